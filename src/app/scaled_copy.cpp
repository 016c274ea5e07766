#include "scaled_copy.h"

#include <cstring>

namespace zelmar {
namespace {

// Smallest d with floor(d * from / to) >= s, i.e. ceil(s * to / from).
std::int32_t firstTargetOf(std::int64_t s, std::int64_t from, std::int64_t to) {
    return static_cast<std::int32_t>((s * to + from - 1) / from);
}

} // namespace

PixelRect scaledAreaOf(const PixelRect& sourceArea, std::int32_t sourceWidth, std::int32_t sourceHeight,
                       std::int32_t targetWidth, std::int32_t targetHeight) {
    if (sourceWidth <= 0 || sourceHeight <= 0 || targetWidth <= 0 || targetHeight <= 0)
        return {};
    const PixelRect s = sourceArea.clippedTo(sourceWidth, sourceHeight);
    if (s.isEmpty())
        return {};
    PixelRect d{firstTargetOf(s.left, sourceWidth, targetWidth),
                firstTargetOf(s.top, sourceHeight, targetHeight),
                firstTargetOf(s.right, sourceWidth, targetWidth),
                firstTargetOf(s.bottom, sourceHeight, targetHeight)};
    return d.clippedTo(targetWidth, targetHeight);
}

PixelRect stretchArea(const ImageLayer& layer, const PixelRect& sourceArea, const ScaledTarget& target) {
    const PixelGeometry g = layer.geometry();
    if (layer.isEmpty() || g.bytesPerPixel != 4 || target.pixels == nullptr)
        return {};
    const PixelRect d = scaledAreaOf(sourceArea, g.width, g.height, target.width, target.height);
    if (d.isEmpty())
        return {};
    const std::uint8_t* bits = layer.bits().data();
    auto* targetBytes = reinterpret_cast<std::uint8_t*>(target.pixels);
    for (std::int32_t dy = d.top; dy < d.bottom; ++dy) {
        const std::int64_t sy = std::int64_t{dy} * g.height / target.height;
        const std::uint8_t* sourceRow = bits + sy * g.stride;
        auto* row = reinterpret_cast<std::uint32_t*>(targetBytes + dy * target.bytesPerLine);
        for (std::int32_t dx = d.left; dx < d.right; ++dx) {
            const std::int64_t sx = std::int64_t{dx} * g.width / target.width;
            std::uint32_t pixel;
            std::memcpy(&pixel, sourceRow + sx * 4, 4);
            // The fourth byte is the layer's own; the view's picture wants it opaque.
            row[dx] = pixel | 0xff000000u;
        }
    }
    return d;
}

} // namespace zelmar
