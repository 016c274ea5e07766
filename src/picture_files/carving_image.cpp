#include "carving_image.h"

#include "png_rows.h"


#include <algorithm>
#include <cmath>
#include <fstream>

namespace zelmar {

QImage imageOf(const CarvingPicture& picture) {
    QImage image(picture.width, picture.height, QImage::Format_RGB888);
    for (std::int32_t y = 0; y < picture.height; ++y)
        std::copy_n(picture.rgb.data() + static_cast<std::ptrdiff_t>(y) * picture.width * 3, picture.width * 3,
                    image.scanLine(y));
    return image;
}

bool writePreview(const std::string& path, const Carving& carving) {
    // Only the tilted view is held whole (it is drawn from the nearest row up); the view from above is drawn
    // a band at a time beside it as the rows are written.
    const PictureSize above = pictureSize(carving, CarvingView::Above);
    const CarvingPicture tilted = pictureOf(carving, CarvingView::Tilted);
    constexpr int gap = 8;
    const std::int32_t width = above.width + gap + tilted.width;
    const std::int32_t height = std::max(above.height, tilted.height);
    PngRows png(path, width, height);
    if (!png.ok())
        return false;
    constexpr std::int32_t band = 64;
    const auto stride = static_cast<std::size_t>(width) * 3;
    std::vector<std::uint8_t> rows(stride * band);
    const auto tiltedBytes = static_cast<std::size_t>(tilted.width) * 3;
    const std::size_t tiltedAt = static_cast<std::size_t>(above.width + gap) * 3;
    for (std::int32_t first = 0; first < height; first += band) {
        const std::int32_t end = std::min(height, first + band);
        std::fill(rows.begin(), rows.end(), std::uint8_t{255});
        drawAboveRows(carving, first, end, rows.data(), stride);
        for (std::int32_t y = first; y < std::min(end, tilted.height); ++y)
            std::copy_n(tilted.rgb.data() + static_cast<std::size_t>(y) * tiltedBytes, tiltedBytes,
                        rows.data() + static_cast<std::size_t>(y - first) * stride + tiltedAt);
        for (std::int32_t y = first; y < end; ++y)
            png.write(rows.data() + static_cast<std::size_t>(y - first) * stride);
    }
    return png.finish();
}

bool writeHeightGrid(const std::string& path, const Carving& carving, std::int32_t stepsPerPixel,
                     const Decimal& mmPerStep) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        return false;
    out << "P5\n# zelmar: each value the depth cut below the surface in motor steps of " << mmPerStep.text()
        << " mm; one cell a pixel of " << stepsPerPixel << " steps (" << mmPerStep.times(stepsPerPixel) << " mm)\n"
        << carving.width() << " " << carving.height() << "\n65535\n";
    std::string row;
    for (std::int32_t y = 0; y < carving.height(); ++y) {
        row.clear();
        for (std::int32_t x = 0; x < carving.width(); ++x) {
            const double steps = std::round(carving.depthAt(x, y) * static_cast<double>(stepsPerPixel));
            const auto v = static_cast<std::uint16_t>(std::clamp(steps, 0.0, 65535.0));
            row += static_cast<char>(v >> 8);
            row += static_cast<char>(v & 0xFF);
        }
        out.write(row.data(), static_cast<std::streamsize>(row.size()));
    }
    return static_cast<bool>(out.flush());
}

} // namespace zelmar
