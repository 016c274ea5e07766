#include "carving_image.h"


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

QImage previewImage(const Carving& carving) {
    // Both views drawn straight into the one picture: no copy of either is held beside it.
    const PictureSize above = pictureSize(carving, CarvingView::Above);
    const PictureSize tilted = pictureSize(carving, CarvingView::Tilted);
    constexpr int gap = 8;
    QImage both(above.width + gap + tilted.width, std::max(above.height, tilted.height), QImage::Format_RGB888);
    both.fill(Qt::white);
    const auto stride = static_cast<std::size_t>(both.bytesPerLine());
    if (above.width > 0)
        drawPicture(carving, CarvingView::Above, both.bits(), stride);
    if (tilted.width > 0)
        drawPicture(carving, CarvingView::Tilted, both.bits() + static_cast<std::size_t>(above.width + gap) * 3, stride);
    return both;
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
