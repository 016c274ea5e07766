#pragma once
// The byte layout every pixel operation shares: how many bytes a pixel takes, how long a row is, where a
// 1-based pixel starts in a buffer, and when a pixel counts as light.

#include <cstdint>

namespace zelmar {

// The three fields of the platform bitmap header the system reads.
struct BitmapHeader {
    std::int32_t bmWidth = 0;
    std::int32_t bmHeight = 0;
    std::int16_t bmBitsPixel = 0;
};

// bmBitsPixel / 8 rounded half to even: 8, 16, 24, 32 bits give 1..4, and 1 or 4 bits give 0.
std::int32_t bytesPerPixelFor(std::int16_t bmBitsPixel);

// bmWidth x bytesPerPixel raised to even, the row length in which device bitmaps come.
std::int32_t strideFor(std::int32_t bmWidth, std::int32_t bytesPerPixel);

struct PixelGeometry {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t bytesPerPixel = 0;
    std::int32_t stride = 0;

    static PixelGeometry of(const BitmapHeader& header);

    // Buffer length in bytes; 64-bit because a large image overflows the 32-bit product.
    std::int64_t byteCount() const { return std::int64_t{stride} * height; }

    // 1-based index of the first byte of pixel (x, y), both 1-based.
    std::int64_t indexOf(std::int32_t x, std::int32_t y) const {
        return std::int64_t{y - 1} * stride + std::int64_t{x - 1} * bytesPerPixel + 1;
    }

    bool contains(std::int32_t x, std::int32_t y) const {
        return x >= 1 && y >= 1 && x <= width && y <= height;
    }
};

constexpr std::uint8_t lightThreshold = 100;

// Only the first byte of a pixel decides (the blue one for 3 and 4 bytes per pixel).
constexpr bool isLightByte(std::uint8_t firstByte) {
    return firstByte > lightThreshold;
}

} // namespace zelmar
