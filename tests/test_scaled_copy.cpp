// The views' nearest-neighbour stretch: redrawing only a changed area must give exactly the picture a full
// redraw gives, and touch no more than the pixels that area maps to.

#include "image/image_layer.h"
#include "app/scaled_copy.h"

#include <QTest>

#include <random>

using namespace zelmar;

namespace {

ImageLayer randomLayer(int width, int height, std::mt19937& rng) {
    std::vector<std::uint8_t> bits(static_cast<std::size_t>(width) * height * 4);
    for (auto& b : bits)
        b = static_cast<std::uint8_t>(rng());
    return ImageLayer({width, height, 32}, std::move(bits));
}

std::vector<std::uint32_t> fullStretch(const ImageLayer& layer, int w, int h) {
    std::vector<std::uint32_t> out(static_cast<std::size_t>(w) * h);
    stretchArea(layer, {0, 0, layer.header().bmWidth, layer.header().bmHeight}, {out.data(), w, h, w * 4LL});
    return out;
}

} // namespace

class ScaledCopyTest : public QObject {
    Q_OBJECT
private slots:
    void fullStretchPicksNearestSourcePixels() {
        // 2 x 1 source drawn 4 x 2: each source pixel becomes a 2 x 2 block, opaque.
        ImageLayer layer({2, 1, 32}, {1, 2, 3, 0, 4, 5, 6, 0});
        const auto out = fullStretch(layer, 4, 2);
        const std::uint32_t left = 0xff030201u;
        const std::uint32_t right = 0xff060504u;
        QCOMPARE(out, (std::vector<std::uint32_t>{left, left, right, right, left, left, right, right}));
    }

    void partialRedrawMatchesFullRedraw() {
        std::mt19937 rng(7);
        for (int round = 0; round < 300; ++round) {
            const int sw = 1 + static_cast<int>(rng() % 40);
            const int sh = 1 + static_cast<int>(rng() % 40);
            const int tw = 1 + static_cast<int>(rng() % 60);
            const int th = 1 + static_cast<int>(rng() % 60);
            ImageLayer layer = randomLayer(sw, sh, rng);
            std::vector<std::uint32_t> picture = fullStretch(layer, tw, th);

            // Change a small area of the source, then redraw only that area.
            const int x0 = static_cast<int>(rng() % sw);
            const int y0 = static_cast<int>(rng() % sh);
            const PixelRect area{x0, y0, std::min(sw, x0 + 3), std::min(sh, y0 + 3)};
            PixelBuffer buffer = layer.toBuffer();
            for (int y = area.top; y < area.bottom; ++y)
                for (int x = area.left; x < area.right; ++x)
                    buffer.at(buffer.geometry().indexOf(x + 1, y + 1)) ^= 0x5a;
            layer.copyFrom(buffer, area);
            const PixelRect drawn = stretchArea(layer, area, {picture.data(), tw, th, tw * 4LL});

            QCOMPARE(picture, fullStretch(layer, tw, th));
            // The redrawn area is exactly where the changed pixels land.
            const PixelRect expected = scaledAreaOf(area, sw, sh, tw, th);
            QCOMPARE(drawn, expected);
            for (int dy = 0; dy < th; ++dy)
                for (int dx = 0; dx < tw; ++dx) {
                    const int sx = static_cast<int>(qint64{dx} * sw / tw);
                    const int sy = static_cast<int>(qint64{dy} * sh / th);
                    const bool mapsIn =
                        sx >= area.left && sx < area.right && sy >= area.top && sy < area.bottom;
                    const bool inDrawn =
                        dx >= drawn.left && dx < drawn.right && dy >= drawn.top && dy < drawn.bottom;
                    QCOMPARE(inDrawn, mapsIn);
                }
        }
    }

    void shrinkingSkipsAreasThatMapToNoTargetPixel() {
        // 100 source columns onto 10: column 5 is never sampled, so changing it redraws nothing.
        QVERIFY(scaledAreaOf({5, 0, 6, 1}, 100, 1, 10, 1).isEmpty());
        QCOMPARE(scaledAreaOf({10, 0, 11, 1}, 100, 1, 10, 1), (PixelRect{1, 0, 2, 1}));
    }

    void nothingIsDrawnFromEmptyOrForeignLayers() {
        std::vector<std::uint32_t> out(4, 0);
        QVERIFY(stretchArea(ImageLayer(), {0, 0, 1, 1}, {out.data(), 2, 2, 8}).isEmpty());
        ImageLayer threeBytes({2, 2, 24}, std::vector<std::uint8_t>(12, 9));
        QVERIFY(stretchArea(threeBytes, {0, 0, 2, 2}, {out.data(), 2, 2, 8}).isEmpty());
        ImageLayer fine({2, 2, 32}, std::vector<std::uint8_t>(16, 9));
        QVERIFY(stretchArea(fine, {0, 0, 2, 2}, {out.data(), 0, 2, 0}).isEmpty());
        QCOMPARE(out, std::vector<std::uint32_t>(4, 0));
    }
};

QTEST_APPLESS_MAIN(ScaledCopyTest)
#include "test_scaled_copy.moc"
