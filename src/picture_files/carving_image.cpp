#include "carving_image.h"

#include "png_rows.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <fstream>
#include <span>
#include <thread>

namespace zelmar {

namespace {
constexpr int previewGap = 8; // white between the two views
} // namespace

QImage imageOf(const CarvingPicture& picture) {
    QImage image(picture.width, picture.height, QImage::Format_RGB888);
    for (std::int32_t y = 0; y < picture.height; ++y)
        std::copy_n(picture.rgb.data() + static_cast<std::ptrdiff_t>(y) * picture.width * 3, picture.width * 3,
                    image.scanLine(y));
    return image;
}

namespace {

// Rows first to end - 1 of the preview, both views side by side on white, filtered and compressed into part.
void compressRows(const Carving& carving, const CarvingPicture& tilted, std::int32_t first, std::int32_t end,
                  PngPart& part) {
    constexpr std::int32_t band = 64;
    const std::int32_t width = carving.width() + previewGap + tilted.width;
    const auto stride = static_cast<std::size_t>(width) * 3;
    const auto tiltedBytes = static_cast<std::size_t>(tilted.width) * 3;
    const std::size_t tiltedAt = static_cast<std::size_t>(carving.width() + previewGap) * 3;
    std::vector<std::uint8_t> rows(stride * band);
    // The row above the part's first is drawn too: the first is filtered by it.
    for (std::int32_t from = first > 0 ? first - 1 : 0; from < end; from += band) {
        const std::int32_t to = std::min(end, from + band);
        std::fill(rows.begin(), rows.end(), std::uint8_t{255});
        drawAboveRows(carving, from, to, rows.data(), stride);
        for (std::int32_t y = from; y < std::min(to, tilted.height); ++y)
            std::copy_n(tilted.rgb.data() + static_cast<std::size_t>(y) * tiltedBytes, tiltedBytes,
                        rows.data() + static_cast<std::size_t>(y - from) * stride + tiltedAt);
        for (std::int32_t y = from; y < to; ++y) {
            const std::uint8_t* row = rows.data() + static_cast<std::size_t>(y - from) * stride;
            if (y < first)
                part.follow(row);
            else
                part.write(row);
        }
    }
    part.end(end == std::max(carving.height(), tilted.height));
}

} // namespace

bool writePreview(const std::string& path, const Carving& carving) {
    // Only the tilted view is held whole (it is drawn from the nearest row up); the view from above is drawn a
    // band at a time beside it as the rows are compressed, the lower half of them on a second thread.
    const CarvingPicture tilted = pictureOf(carving, CarvingView::Tilted); // the carving settled, read only now on
    const std::int32_t width = carving.width() + previewGap + tilted.width;
    const std::int32_t height = std::max(carving.height(), tilted.height);
    if (carving.width() <= 0 || height <= 0)
        return false;
    const bool split = std::int64_t{width} * height >= std::int64_t{1} << 18;
    const std::int32_t middle = split ? height / 2 : height;
    PngPart upper(width), lower(width);
    std::thread second;
    if (split)
        second = std::thread([&] { compressRows(carving, tilted, middle, height, lower); });
    compressRows(carving, tilted, 0, middle, upper);
    if (second.joinable())
        second.join();
    const std::array<const PngPart*, 2> parts{&upper, &lower};
    return writePng(path, width, height, std::span(parts.data(), split ? 2 : 1));
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
