#pragma once
// Nearest-neighbour stretch of a layer onto a view's picture, source pixels copied unchanged. A view keeps
// its scaled picture and asks only for the part whose source changed, so a nine-pixel milling mark costs
// nine pixels' worth of work whatever the image size.

#include "image/image_layer.h"

#include <cstdint>

namespace zelmar {

struct ScaledTarget {
    std::uint32_t* pixels = nullptr; // 32-bit pixels, 0xAARRGGBB in native order
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int64_t bytesPerLine = 0;
};

// Destination pixels whose source pixel lies in sourceArea (0-based, half-open).
PixelRect scaledAreaOf(const PixelRect& sourceArea, std::int32_t sourceWidth, std::int32_t sourceHeight,
                       std::int32_t targetWidth, std::int32_t targetHeight);

// Redraws those destination pixels from a 4-byte-per-pixel layer and returns them (empty when nothing was
// drawn: an empty layer or target, or a layer that is not 4 bytes per pixel).
PixelRect stretchArea(const ImageLayer& layer, const PixelRect& sourceArea, const ScaledTarget& target);

} // namespace zelmar
