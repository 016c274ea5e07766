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

    // Each layer its own copy, so a change to one leaves the others alone. The loaded layer itself becomes
    // the last of them: a big image is not held five times over while the set is made.
    static LayerSet copiesOf(ImageLayer loaded) {
        LayerSet set{loaded, loaded, loaded, {}};
        set.millLayer = std::move(loaded);
        return set;
    }

    const BitmapHeader& header() const { return sourceLayer.header(); }
    bool isEmpty() const { return sourceLayer.isEmpty(); }
};

} // namespace zelmar
