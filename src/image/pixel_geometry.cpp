#include "pixel_geometry.h"

#include <cmath>

namespace zelmar {

std::int32_t bytesPerPixelFor(std::int16_t bmBitsPixel) {
    // nearbyint rounds half to even under the default rounding mode, as the rule requires (4 bits -> 0.5 ->
    // 0).
    return static_cast<std::int32_t>(std::nearbyint(static_cast<double>(bmBitsPixel) / 8.0));
}

std::int32_t strideFor(std::int32_t bmWidth, std::int32_t bytesPerPixel) {
    std::int32_t stride = bmWidth * bytesPerPixel;
    if (stride % 2 > 0)
        stride += 1;
    return stride;
}

PixelGeometry PixelGeometry::of(const BitmapHeader& header) {
    PixelGeometry g;
    g.width = header.bmWidth;
    g.height = header.bmHeight;
    g.bytesPerPixel = bytesPerPixelFor(header.bmBitsPixel);
    g.stride = strideFor(header.bmWidth, g.bytesPerPixel);
    return g;
}

} // namespace zelmar
