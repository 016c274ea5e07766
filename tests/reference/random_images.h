#pragma once
// Small random images for differential tests of the region code: every kind of pattern that stresses one of
// its rules (merges, id reuse, the frame losing id 1, links in both orders, shared children, the light
// threshold, the run-on of highlight bytes), in 1 to 4 bytes per pixel, all reproducible from a seed.

#include "image/pixel_geometry.h"

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace zelmar::reference {

// SplitMix64: the same numbers on every compiler and library, unlike the standard distributions.
class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next();
    // A number in lo..hi, both included.
    std::int32_t between(std::int32_t lo, std::int32_t hi);
    // True with the given chance in percent.
    bool percent(std::int32_t chance) { return between(1, 100) <= chance; }

private:
    std::uint64_t state_;
};

enum class ImageKind {
    AllLight,
    AllDark,
    Noise,
    NoiseOfDensity,
    HorizontalStripes,
    VerticalStripes,
    NestedRings,
    NestedRectangles,
    DiagonalJoints,
    EdgeShapes,
    Threshold,
    Checkerboard,
    Combs,
    Dots,
};
constexpr int imageKindCount = 14;

const char* kindName(ImageKind kind);

struct TestImage {
    std::string kind;
    std::uint64_t seed = 0;
    PixelGeometry geometry;
    std::vector<std::uint8_t> bytes; // geometry.byteCount() bytes, padding included

    bool isLight(std::int32_t x, std::int32_t y) const;
    // Rows of L and D, top row first, one line each.
    std::string classGrid() const;
    // Kind, seed, size, bytes per pixel and the class grid, for a failure message.
    std::string describe() const;
};

// An image of the kind the seed picks, 1..24 pixels a side (a little more for the kinds that need many
// regions).
TestImage randomImage(std::uint64_t seed);
TestImage randomImage(ImageKind kind, std::uint64_t seed);

// Concentric one-pixel rings, the outermost dark, the centre a single pixel: rings - 1 levels of nesting
// below the outermost ring.
TestImage nestedRings(std::int32_t rings, std::int32_t bytesPerPixel);

// The pixels of an image, each its bytesPerPixel bytes, row by row; and an image built from such pixels with
// padding bytes of the given value. Used to shrink a failing image.
std::vector<std::array<std::uint8_t, 4>> pixelsOf(const TestImage& image);
TestImage fromPixels(std::string kind, std::uint64_t seed, std::int32_t width, std::int32_t height,
                     std::int32_t bytesPerPixel, const std::vector<std::array<std::uint8_t, 4>>& pixels,
                     std::uint8_t padding);

// The smallest image, found by dropping rows and columns and making pixels plain, on which fails still holds;
// pixels are rebuilt with the given bytes per pixel and padding. An image whose failure depends on its
// padding bytes is kept whole.
TestImage shrinkFailingImage(const TestImage& failing, const std::function<bool(const TestImage&)>& fails,
                             std::int32_t bytesPerPixel, std::uint8_t padding);

// A count from the environment (to run a differential test longer or from another seed), or the fallback.
std::uint64_t envNumber(const char* name, std::uint64_t fallback);

// The random images a differential test compares: ZELMAR_DIFFERENTIAL_IMAGES when set; otherwise as many as the
// build affords within the time limit of a test function on a busy machine. Under the sanitizers a sample is
// enough to let them look at every path.
std::uint64_t differentialImages(std::uint64_t normalBuild, std::uint64_t sanitizedBuild);

} // namespace zelmar::reference
