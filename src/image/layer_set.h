#pragma once
// The four copies of the image, one per stage of the work. All four have one size and format; the header
// of sourceLayer describes them all.

#include "image_layer.h"

namespace zelmar {

struct LayerSet {
    ImageLayer sourceLayer;
    ImageLayer workLayer;
    ImageLayer selectionLayer;
    ImageLayer millLayer;

    // Each layer a copy of its own, so a change to one leaves the others alone. They share the loaded bytes
    // until a layer is written (the source layer never is): opening a big picture holds it once.
    static LayerSet copiesOf(ImageLayer loaded) {
        LayerSet set{loaded, loaded, loaded, {}};
        set.millLayer = std::move(loaded);
        return set;
    }

    const BitmapHeader& header() const { return sourceLayer.header(); }
    bool isEmpty() const { return sourceLayer.isEmpty(); }
};

} // namespace zelmar
