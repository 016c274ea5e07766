#include "bench_images.h"

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

namespace zelmar::bench {
namespace {

class Canvas {
public:
    Canvas(std::int32_t width, std::int32_t height)
        : width_(width), height_(height), bits_(static_cast<std::size_t>(width) * height * 4, 255) {}

    void rect(int left, int top, int w, int h, std::uint8_t grey) {
        for (int y = std::max(top, 0); y < std::min(top + h, height_); ++y)
            for (int x = std::max(left, 0); x < std::min(left + w, width_); ++x)
                set(x, y, grey);
    }

    void ring(int cx, int cy, int r, int hole, std::uint8_t grey) {
        for (int y = std::max(cy - r, 0); y <= std::min(cy + r, height_ - 1); ++y)
            for (int x = std::max(cx - r, 0); x <= std::min(cx + r, width_ - 1); ++x) {
                const long d2 = long(x - cx) * (x - cx) + long(y - cy) * (y - cy);
                if (d2 <= long(r) * r && d2 >= long(hole) * hole)
                    set(x, y, grey);
            }
    }

    ImageLayer layer() { return ImageLayer({width_, height_, 32}, std::move(bits_)); }

private:
    void set(int x, int y, std::uint8_t grey) {
        std::uint8_t* p = &bits_[(static_cast<std::size_t>(y) * width_ + x) * 4];
        p[0] = p[1] = p[2] = grey;
    }

    std::int32_t width_;
    std::int32_t height_;
    std::vector<std::uint8_t> bits_;
};

} // namespace

ImageLayer shapesImage(std::int32_t width, std::int32_t height, std::uint32_t seed) {
    Canvas c(width, height);
    std::mt19937 rng(seed);
    const auto uniform = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    const long shapes = std::max(1L, long(width) * height / 40000);
    for (long i = 0; i < shapes; ++i) {
        const int x = uniform(0, width - 1);
        const int y = uniform(0, height - 1);
        const int r = uniform(8, 90);
        switch (uniform(0, 3)) {
        case 0:
            c.ring(x, y, r, 0, 0);
            break;
        case 1:
            c.ring(x, y, r, r * 2 / 3, 20);
            c.ring(x, y, r / 4, 0, 40);
            break;
        case 2:
            c.rect(x, y, 2 * r, r + 10, 0);
            c.rect(x + r / 4, y + r / 4, r / 2, r / 2, 255);
            c.rect(x + r, y + r / 4, r / 2, r / 2, 230);
            break;
        default:
            c.rect(x, y, 2 * r, 2 * r, 10);
            c.rect(x + r / 3, y + r / 3, 4 * r / 3, 4 * r / 3, 240);
            c.ring(x + r, y + r, r / 3, 0, 30);
        }
    }
    return c.layer();
}

ImageLayer noiseImage(std::int32_t width, std::int32_t height, std::uint32_t seed) {
    std::vector<std::uint8_t> bits(static_cast<std::size_t>(width) * height * 4);
    std::mt19937 rng(seed);
    for (std::size_t i = 0; i < bits.size(); i += 4) {
        const std::uint8_t grey = (rng() & 1) ? 255 : 0;
        bits[i] = bits[i + 1] = bits[i + 2] = grey;
        bits[i + 3] = 255;
    }
    return ImageLayer({width, height, 32}, std::move(bits));
}

ImageLayer ringsImage(std::int32_t size) {
    std::vector<std::uint8_t> bits(static_cast<std::size_t>(size) * size * 4, 255);
    for (std::int32_t y = 0; y < size; ++y)
        for (std::int32_t x = 0; x < size; ++x) {
            const std::int32_t ring = std::min(std::min(x, y), std::min(size - 1 - x, size - 1 - y));
            if (ring % 2 == 1)
                std::fill_n(bits.begin() + (static_cast<std::ptrdiff_t>(y) * size + x) * 4, 3,
                            std::uint8_t{0});
        }
    return ImageLayer({size, size, 32}, std::move(bits));
}

ImageLayer inCorner(const ImageLayer& small, std::int32_t size) {
    std::vector<std::uint8_t> bits(static_cast<std::size_t>(size) * static_cast<std::size_t>(size) * 4, 255);
    const std::int32_t w = std::min(small.header().bmWidth, size);
    for (std::int32_t y = 0; y < std::min(small.header().bmHeight, size); ++y)
        std::memcpy(bits.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(size) * 4,
                    small.bits().data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(small.header().bmWidth) * 4,
                    static_cast<std::size_t>(w) * 4);
    return ImageLayer({size, size, 32}, std::move(bits));
}

ImageLayer imageOfKind(const std::string& kind, std::int32_t width, std::int32_t height) {
    return kind == "noise" ? noiseImage(width, height) : shapesImage(width, height);
}

} // namespace zelmar::bench
