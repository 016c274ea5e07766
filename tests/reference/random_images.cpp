#include "random_images.h"

#include <functional>

#include <algorithm>
#include <cstdlib>
#include <utility>

namespace zelmar::reference {

std::uint64_t Random::next() {
    state_ += 0x9E3779B97F4A7C15ULL;
    std::uint64_t z = state_;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

std::int32_t Random::between(std::int32_t lo, std::int32_t hi) {
    if (hi <= lo)
        return lo;
    const auto span = static_cast<std::uint64_t>(std::int64_t{hi} - lo + 1);
    return static_cast<std::int32_t>(lo + static_cast<std::int64_t>(next() % span));
}

const char* kindName(ImageKind kind) {
    switch (kind) {
    case ImageKind::AllLight:
        return "all light";
    case ImageKind::AllDark:
        return "all dark";
    case ImageKind::Noise:
        return "noise";
    case ImageKind::NoiseOfDensity:
        return "noise of some density";
    case ImageKind::HorizontalStripes:
        return "horizontal stripes";
    case ImageKind::VerticalStripes:
        return "vertical stripes";
    case ImageKind::NestedRings:
        return "nested rings";
    case ImageKind::NestedRectangles:
        return "nested rectangles";
    case ImageKind::DiagonalJoints:
        return "diagonal joints";
    case ImageKind::EdgeShapes:
        return "shapes on every edge";
    case ImageKind::Threshold:
        return "first bytes 100 and 101";
    case ImageKind::Checkerboard:
        return "checkerboard";
    case ImageKind::Combs:
        return "combs";
    case ImageKind::Dots:
        return "dots";
    }
    return "?";
}

bool TestImage::isLight(std::int32_t x, std::int32_t y) const {
    return isLightByte(bytes[static_cast<std::size_t>(geometry.indexOf(x, y) - 1)]);
}

std::string TestImage::classGrid() const {
    std::string grid;
    for (std::int32_t y = 1; y <= geometry.height; ++y) {
        for (std::int32_t x = 1; x <= geometry.width; ++x)
            grid += isLight(x, y) ? 'L' : 'D';
        grid += '\n';
    }
    return grid;
}

std::string TestImage::describe() const {
    return kind + ", seed " + std::to_string(seed) + ", " + std::to_string(geometry.width) + " x " +
           std::to_string(geometry.height) + ", " + std::to_string(geometry.bytesPerPixel) +
           " bytes per pixel:\n" + classGrid();
}

namespace {

// Pixel classes, 1-based like the images.
class Canvas {
public:
    Canvas(std::int32_t width, std::int32_t height, bool light)
        : width_(width), height_(height), light_(static_cast<std::size_t>(width * height), light) {}

    std::int32_t width() const { return width_; }
    std::int32_t height() const { return height_; }
    bool at(std::int32_t x, std::int32_t y) const { return light_[index(x, y)]; }
    void set(std::int32_t x, std::int32_t y, bool light) {
        if (x >= 1 && y >= 1 && x <= width_ && y <= height_)
            light_[index(x, y)] = light;
    }
    void fillRect(std::int32_t x0, std::int32_t y0, std::int32_t x1, std::int32_t y1, bool light) {
        for (std::int32_t y = y0; y <= y1; ++y)
            for (std::int32_t x = x0; x <= x1; ++x)
                set(x, y, light);
    }

private:
    std::size_t index(std::int32_t x, std::int32_t y) const {
        return static_cast<std::size_t>((y - 1) * width_ + (x - 1));
    }

    std::int32_t width_;
    std::int32_t height_;
    std::vector<bool> light_;
};

// Mostly 1..24, with the degenerate one- to three-pixel sides often enough to matter.
std::int32_t side(Random& random) {
    return random.percent(20) ? random.between(1, 3) : random.between(1, 24);
}

std::uint8_t lightByte(Random& random) {
    const std::int32_t roll = random.between(1, 100);
    if (roll <= 25)
        return 101;
    if (roll <= 40)
        return 255;
    return static_cast<std::uint8_t>(random.between(101, 255));
}

std::uint8_t darkByte(Random& random) {
    const std::int32_t roll = random.between(1, 100);
    if (roll <= 25)
        return 100;
    if (roll <= 40)
        return 0;
    return static_cast<std::uint8_t>(random.between(0, 100));
}

// Every byte random (the bytes after the first and the row padding must not matter), then the first byte of
// each pixel set to its class.
TestImage render(ImageKind kind, std::uint64_t seed, const Canvas& canvas, std::int32_t bytesPerPixel,
                 Random& random, bool exactThreshold = false) {
    TestImage image;
    image.kind = kindName(kind);
    image.seed = seed;
    image.geometry =
        PixelGeometry::of({canvas.width(), canvas.height(), static_cast<std::int16_t>(bytesPerPixel * 8)});
    image.bytes.resize(static_cast<std::size_t>(image.geometry.byteCount()));
    for (auto& b : image.bytes)
        b = static_cast<std::uint8_t>(random.between(0, 255));
    for (std::int32_t y = 1; y <= canvas.height(); ++y) {
        for (std::int32_t x = 1; x <= canvas.width(); ++x) {
            const bool light = canvas.at(x, y);
            std::uint8_t first = 0;
            if (exactThreshold)
                first = light ? 101 : 100;
            else
                first = light ? lightByte(random) : darkByte(random);
            image.bytes[static_cast<std::size_t>(image.geometry.indexOf(x, y) - 1)] = first;
        }
    }
    return image;
}

void noise(Canvas& canvas, Random& random, std::int32_t lightPercent) {
    for (std::int32_t y = 1; y <= canvas.height(); ++y)
        for (std::int32_t x = 1; x <= canvas.width(); ++x)
            canvas.set(x, y, random.percent(lightPercent));
}

// Bands along one axis: mostly alternating, sometimes two of one class in a row so that they join.
std::vector<bool> bands(std::int32_t length, Random& random) {
    std::vector<bool> classes;
    bool light = random.percent(50);
    while (static_cast<std::int32_t>(classes.size()) < length) {
        const std::int32_t thickness = random.between(1, 3);
        for (std::int32_t i = 0; i < thickness; ++i)
            classes.push_back(light);
        light = random.percent(25) ? random.percent(50) : !light;
    }
    classes.resize(static_cast<std::size_t>(length));
    return classes;
}

void nestedRingsOn(Canvas& canvas, Random& random) {
    const std::int32_t thickness = random.between(1, 3);
    const bool phase = random.percent(50);
    const bool centred = random.percent(50);
    const std::int32_t cx = random.between(1, canvas.width());
    const std::int32_t cy = random.between(1, canvas.height());
    for (std::int32_t y = 1; y <= canvas.height(); ++y) {
        for (std::int32_t x = 1; x <= canvas.width(); ++x) {
            // Centred: rings around the image's middle. Otherwise around a random pixel, cut off by the
            // edges.
            const std::int32_t ring = centred
                                          ? std::min({x - 1, y - 1, canvas.width() - x, canvas.height() - y})
                                          : std::max(std::abs(x - cx), std::abs(y - cy));
            canvas.set(x, y, ((ring / thickness) % 2 == 0) != phase);
        }
    }
}

void nestedRectanglesOn(Canvas& canvas, Random& random) {
    if (random.percent(50)) {
        // Each rectangle inside the last, mostly of the other class; a margin of 0 lets it touch its
        // grandparent.
        std::int32_t x0 = 1, y0 = 1, x1 = canvas.width(), y1 = canvas.height();
        bool light = random.percent(50);
        while (x0 <= x1 && y0 <= y1) {
            canvas.fillRect(x0, y0, x1, y1, light);
            const std::int32_t left = random.between(0, 2), top = random.between(0, 2);
            const std::int32_t right = random.between(0, 2), bottom = random.between(0, 2);
            x0 += left;
            y0 += top;
            x1 -= right;
            y1 -= bottom;
            if (left + top + right + bottom == 0) {
                ++x0;
                ++y0;
            }
            light = random.percent(85) ? !light : light;
        }
    } else {
        // Overlapping rectangles of either class.
        canvas.fillRect(1, 1, canvas.width(), canvas.height(), random.percent(50));
        const std::int32_t count = random.between(1, 8);
        for (std::int32_t i = 0; i < count; ++i) {
            const std::int32_t xa = random.between(1, canvas.width()), xb = random.between(1, canvas.width());
            const std::int32_t ya = random.between(1, canvas.height()),
                               yb = random.between(1, canvas.height());
            canvas.fillRect(std::min(xa, xb), std::min(ya, yb), std::max(xa, xb), std::max(ya, yb),
                            random.percent(50));
        }
    }
}

// Lines along both diagonals: pixels that touch only at corners, which join on the falling diagonal only.
void diagonalJointsOn(Canvas& canvas, Random& random) {
    const bool background = random.percent(50);
    canvas.fillRect(1, 1, canvas.width(), canvas.height(), background);
    const std::int32_t count = random.between(1, (canvas.width() + canvas.height()) / 2 + 1);
    const std::int32_t longest = std::max(canvas.width(), canvas.height());
    for (std::int32_t i = 0; i < count; ++i) {
        std::int32_t x = random.between(1, canvas.width());
        std::int32_t y = random.between(1, canvas.height());
        const std::int32_t dx = random.percent(50) ? 1 : -1;
        const std::int32_t dy = random.percent(50) ? 1 : -1;
        const std::int32_t length = random.between(1, longest);
        for (std::int32_t step = 0; step < length; ++step, x += dx, y += dy)
            canvas.set(x, y, !background);
    }
}

void edgeShapesOn(Canvas& canvas, Random& random) {
    const bool background = random.percent(50);
    const std::int32_t w = canvas.width(), h = canvas.height();
    canvas.fillRect(1, 1, w, h, background);
    auto shapeClass = [&] { return random.percent(80) ? !background : random.percent(50); };
    // A bar along each edge, of random extent and thickness.
    for (int edge = 0; edge < 4; ++edge) {
        if (!random.percent(85))
            continue;
        const std::int32_t thickness = random.between(1, 2);
        const bool horizontal = edge < 2;
        const std::int32_t length = horizontal ? w : h;
        const std::int32_t a = random.between(1, length), b = random.between(1, length);
        const std::int32_t from = std::min(a, b), to = std::max(a, b);
        const bool light = shapeClass();
        if (edge == 0)
            canvas.fillRect(from, 1, to, thickness, light);
        else if (edge == 1)
            canvas.fillRect(from, h - thickness + 1, to, h, light);
        else if (edge == 2)
            canvas.fillRect(1, from, thickness, to, light);
        else
            canvas.fillRect(w - thickness + 1, from, w, to, light);
    }
    // A band right across the image, from one edge to the opposite one.
    if (random.percent(50)) {
        const bool light = shapeClass();
        if (random.percent(50)) {
            const std::int32_t y = random.between(1, h);
            canvas.fillRect(1, y, w, y + random.between(0, 1), light);
        } else {
            const std::int32_t x = random.between(1, w);
            canvas.fillRect(x, 1, x + random.between(0, 1), h, light);
        }
    }
    // Corner pixels.
    for (auto [x, y] : {std::pair{1, 1}, std::pair{w, 1}, std::pair{1, h}, std::pair{w, h}})
        if (random.percent(30))
            canvas.set(x, y, !canvas.at(x, y));
}

void checkerboardOn(Canvas& canvas, Random& random) {
    const std::int32_t cellWidth = random.between(1, 3), cellHeight = random.between(1, 3);
    const std::int32_t ox = random.between(0, 5), oy = random.between(0, 5);
    const bool phase = random.percent(50);
    for (std::int32_t y = 1; y <= canvas.height(); ++y)
        for (std::int32_t x = 1; x <= canvas.width(); ++x)
            canvas.set(x, y, (((x + ox) / cellWidth + (y + oy) / cellHeight) % 2 == 0) != phase);
}

// Teeth of one class joined by a bar along one edge: labelling meets each tooth as a region of its own and
// merges them all at the bar, giving ids up on the way.
void combsOn(Canvas& canvas, Random& random) {
    const std::int32_t w = canvas.width(), h = canvas.height();
    const bool teeth = random.percent(50);
    canvas.fillRect(1, 1, w, h, !teeth);
    const int joinedAt = random.between(0, 3); // bottom, top, right, left
    const bool alongColumns = joinedAt < 2;
    const std::int32_t across = alongColumns ? w : h;
    const std::int32_t along = alongColumns ? h : w;
    const std::int32_t spacing = random.between(2, 4);
    const std::int32_t offset = random.between(0, spacing - 1);
    std::vector<std::int32_t> start(static_cast<std::size_t>(across) + 1);
    for (auto& s : start)
        s = random.between(1, along);
    for (std::int32_t y = 1; y <= h; ++y) {
        for (std::int32_t x = 1; x <= w; ++x) {
            const std::int32_t u = alongColumns ? x : y;
            std::int32_t v = alongColumns ? y : x;
            if (joinedAt % 2 == 1)
                v = along + 1 - v;
            const bool tooth = (u + offset) % spacing == 0 && v >= start[static_cast<std::size_t>(u)];
            if (v == along || tooth)
                canvas.set(x, y, teeth);
        }
    }
}

// Many small separate regions: enough to grow both tables past 100 entries, and past 200 on the bigger ones.
void dotsOn(Canvas& canvas, Random& random) {
    const bool dot = random.percent(50);
    canvas.fillRect(1, 1, canvas.width(), canvas.height(), !dot);
    const std::int32_t sx = random.between(2, 3), sy = random.between(2, 3);
    const std::int32_t ox = random.between(0, 2), oy = random.between(0, 2);
    for (std::int32_t y = 1; y <= canvas.height(); ++y)
        for (std::int32_t x = 1; x <= canvas.width(); ++x)
            if ((x + ox) % sx == 0 && (y + oy) % sy == 0 && random.percent(90))
                canvas.set(x, y, dot);
}

} // namespace

TestImage randomImage(std::uint64_t seed) {
    Random random(seed);
    const auto kind = static_cast<ImageKind>(random.between(0, imageKindCount - 1));
    return randomImage(kind, seed);
}

TestImage randomImage(ImageKind kind, std::uint64_t seed) {
    // A stream of its own per kind, so that the same seed gives different images of different kinds.
    Random random(seed * 31 + static_cast<std::uint64_t>(kind) + 1);
    const std::int32_t bytesPerPixel = random.between(1, 4);
    const bool big = kind == ImageKind::Dots;
    const std::int32_t width = big ? random.between(8, 40) : side(random);
    const std::int32_t height = big ? random.between(8, 40) : side(random);
    Canvas canvas(width, height, false);
    switch (kind) {
    case ImageKind::AllLight:
        canvas.fillRect(1, 1, width, height, true);
        break;
    case ImageKind::AllDark:
        break;
    case ImageKind::Noise:
        noise(canvas, random, 50);
        break;
    case ImageKind::NoiseOfDensity: {
        static constexpr std::int32_t densities[] = {3, 10, 25, 40, 60, 75, 90, 97};
        noise(canvas, random, densities[random.between(0, 7)]);
        break;
    }
    case ImageKind::HorizontalStripes: {
        const std::vector<bool> rows = bands(height, random);
        for (std::int32_t y = 1; y <= height; ++y)
            canvas.fillRect(1, y, width, y, rows[static_cast<std::size_t>(y - 1)]);
        break;
    }
    case ImageKind::VerticalStripes: {
        const std::vector<bool> columns = bands(width, random);
        for (std::int32_t x = 1; x <= width; ++x)
            canvas.fillRect(x, 1, x, height, columns[static_cast<std::size_t>(x - 1)]);
        break;
    }
    case ImageKind::NestedRings:
        nestedRingsOn(canvas, random);
        break;
    case ImageKind::NestedRectangles:
        nestedRectanglesOn(canvas, random);
        break;
    case ImageKind::DiagonalJoints:
        diagonalJointsOn(canvas, random);
        break;
    case ImageKind::EdgeShapes:
        edgeShapesOn(canvas, random);
        break;
    case ImageKind::Threshold:
        noise(canvas, random, random.between(20, 80));
        return render(kind, seed, canvas, bytesPerPixel, random, true);
    case ImageKind::Checkerboard:
        checkerboardOn(canvas, random);
        break;
    case ImageKind::Combs:
        combsOn(canvas, random);
        break;
    case ImageKind::Dots:
        dotsOn(canvas, random);
        break;
    }
    return render(kind, seed, canvas, bytesPerPixel, random);
}

TestImage nestedRings(std::int32_t rings, std::int32_t bytesPerPixel) {
    const std::int32_t size = 2 * rings - 1;
    Canvas canvas(size, size, false);
    for (std::int32_t y = 1; y <= size; ++y)
        for (std::int32_t x = 1; x <= size; ++x)
            canvas.set(x, y, std::min({x - 1, y - 1, size - x, size - y}) % 2 == 1);
    Random random(static_cast<std::uint64_t>(rings));
    TestImage image = render(ImageKind::NestedRings, 0, canvas, bytesPerPixel, random);
    image.kind = std::to_string(rings) + " nested rings";
    return image;
}

std::vector<std::array<std::uint8_t, 4>> pixelsOf(const TestImage& image) {
    std::vector<std::array<std::uint8_t, 4>> pixels;
    for (std::int32_t y = 1; y <= image.geometry.height; ++y) {
        for (std::int32_t x = 1; x <= image.geometry.width; ++x) {
            std::array<std::uint8_t, 4> pixel{};
            const auto at = static_cast<std::size_t>(image.geometry.indexOf(x, y) - 1);
            for (std::size_t b = 0; b < static_cast<std::size_t>(image.geometry.bytesPerPixel); ++b)
                pixel[b] = image.bytes[at + b];
            pixels.push_back(pixel);
        }
    }
    return pixels;
}

TestImage fromPixels(std::string kind, std::uint64_t seed, std::int32_t width, std::int32_t height,
                     std::int32_t bytesPerPixel, const std::vector<std::array<std::uint8_t, 4>>& pixels,
                     std::uint8_t padding) {
    TestImage image;
    image.kind = std::move(kind);
    image.seed = seed;
    image.geometry = PixelGeometry::of({width, height, static_cast<std::int16_t>(bytesPerPixel * 8)});
    image.bytes.assign(static_cast<std::size_t>(image.geometry.byteCount()), padding);
    for (std::int32_t y = 1; y <= height; ++y) {
        for (std::int32_t x = 1; x <= width; ++x) {
            const auto& pixel = pixels[static_cast<std::size_t>((y - 1) * width + (x - 1))];
            const auto at = static_cast<std::size_t>(image.geometry.indexOf(x, y) - 1);
            for (std::size_t b = 0; b < static_cast<std::size_t>(bytesPerPixel); ++b)
                image.bytes[at + b] = pixel[b];
        }
    }
    return image;
}

TestImage shrinkFailingImage(const TestImage& failing, const std::function<bool(const TestImage&)>& fails,
                             std::int32_t bpp, std::uint8_t padding) {
    std::int32_t w = failing.geometry.width, h = failing.geometry.height;
    std::vector<std::array<std::uint8_t, 4>> pixels = pixelsOf(failing);
    auto build = [&](std::int32_t width, std::int32_t height,
                     const std::vector<std::array<std::uint8_t, 4>>& p) {
        return fromPixels(failing.kind + " (shrunk)", failing.seed, width, height, bpp, p, padding);
    };
    if (!fails(build(w, h, pixels)))
        return failing; // depends on the padding bytes: keep it whole

    for (bool changed = true; changed;) {
        changed = false;
        for (std::int32_t y = h; y >= 1 && h > 1; --y) {
            auto p = pixels;
            p.erase(p.begin() + (y - 1) * w, p.begin() + y * w);
            if (fails(build(w, h - 1, p))) {
                pixels = std::move(p);
                --h;
                changed = true;
            }
        }
        for (std::int32_t x = w; x >= 1 && w > 1; --x) {
            std::vector<std::array<std::uint8_t, 4>> p;
            for (std::int32_t i = 0; i < w * h; ++i)
                if (i % w != x - 1)
                    p.push_back(pixels[static_cast<std::size_t>(i)]);
            if (fails(build(w - 1, h, p))) {
                pixels = std::move(p);
                --w;
                changed = true;
            }
        }
        // Fewer dark pixels, then plain bytes (0 dark, 255 light), as long as the failure stays.
        for (auto& pixel : pixels) {
            for (const std::array<std::uint8_t, 4> plain :
                 {std::array<std::uint8_t, 4>{255, 0, 0, 0}, std::array<std::uint8_t, 4>{0, 0, 0, 0}}) {
                if (pixel == plain || (plain[0] == 0 && isLightByte(pixel[0])))
                    continue;
                const auto before = pixel;
                pixel = plain;
                if (fails(build(w, h, pixels))) {
                    changed = true; // each pixel only ever moves towards plain light, so this ends
                    break;
                }
                pixel = before;
            }
        }
    }
    return build(w, h, pixels);
}

std::uint64_t envNumber(const char* name, std::uint64_t fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0')
        return fallback;
    return std::strtoull(text, nullptr, 10);
}

std::uint64_t differentialImages(std::uint64_t normalBuild, std::uint64_t sanitizedBuild) {
    return envNumber("ZELMAR_DIFFERENTIAL_IMAGES", ZELMAR_SANITIZED_BUILD ? sanitizedBuild : normalBuild);
}

} // namespace zelmar::reference
