#pragma once
// The image side of the work window's state: the four layers, the result of the last parse and the selected
// tree node, with the commands that change them. The window and the command-line tool both run these.

#include "layer_set.h"
#include "regions.h"

#include <memory>
#include <string_view>

namespace zelmar {

struct ImageSession {
    LayerSet layers;
    // Shared, so that work still running on an earlier parse keeps the tables it reads alive.
    // "Все" marks the regions it has milled in the table.
    std::shared_ptr<RegionAnalysis> regions = std::make_shared<RegionAnalysis>();
    std::int32_t selectedNode = -1; // index in regions->tree.nodes, -1: none
    ParseScratch parseScratch;

    bool hasImage() const { return !layers.isEmpty(); }
};

// "Разобрать": labels the working layer, records the links, builds the tree; the selection is cleared.
// Does nothing without an image.
void parseImage(ImageSession& session, const ProgressCallback& progress = {});

// A click on the tree node with this key: selects it and paints its region into the selection layer.
// False, with nothing changed, when the tree has no such node.
bool selectNode(ImageSession& session, std::string_view key);

// The mill layer as the picture was loaded: the marks of earlier millings (full depth under the old rule) are gone.
void restoreMillLayer(ImageSession& session);
// Whether the mill layer holds marks of earlier millings (it differs from the picture as loaded).
bool millLayerMarked(const ImageSession& session);

// The working image with one region painted green, written into the selection layer. A region with no pixel
// paints nothing: the selection layer then shows the working image as it is.
void highlightIntoSelection(ImageSession& session, std::int32_t regionId);

} // namespace zelmar
