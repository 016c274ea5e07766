#include "image_session.h"

namespace zelmar {

void parseImage(ImageSession& session, const ProgressCallback& progress) {
    if (!session.hasImage())
        return;
    // Labelling only reads the working layer, so it reads the layer's own bytes rather than a copy.
    const ImageLayer& work = session.layers.workLayer;
    session.regions =
        std::make_shared<RegionAnalysis>(parseRegions(work.geometry(), work.bits().data(), progress, {}, &session.parseScratch));
    session.selectedNode = -1;
}

bool selectNode(ImageSession& session, std::string_view key) {
    const std::optional<std::int32_t> id = regionIdOfKey(key);
    if (!id || key.substr(0, 1) != "P")
        return false;
    const std::int32_t node = session.regions->tree.nodeOfRegion(*id);
    if (node < 0)
        return false;
    session.selectedNode = node;
    highlightIntoSelection(session, *id);
    return true;
}

void restoreMillLayer(ImageSession& session) {
    if (!session.hasImage())
        return;
    session.layers.millLayer = session.layers.sourceLayer; // shares the bytes until the next mark
    session.layers.millLayer.markAllChanged();
}

bool millLayerMarked(const ImageSession& session) {
    const ImageLayer& mill = session.layers.millLayer;
    const ImageLayer& source = session.layers.sourceLayer;
    if (mill.sharesBytesWith(source))
        return false;
    return !(mill.bits() == source.bits());
}

void highlightIntoSelection(ImageSession& session, std::int32_t regionId) {
    if (!session.hasImage())
        return;
    PixelBuffer buffer = session.layers.workLayer.toBuffer();
    highlightRegion(buffer, session.regions->tables.labelMap, regionId);
    session.layers.selectionLayer.copyFrom(buffer);
}

} // namespace zelmar
