#pragma once
// The two picture operations that prepare a relief cut. "Градиент" paints white every pixel at a sharp edge of
// the loaded image (its first byte differs by more than 10 from one of its eight neighbours'); "Отступить"
// whitens every pixel that has a pure-white neighbour (first byte exactly 255), so the white grows by one pixel
// a call. The first and last rows and columns are never written. A marked pixel gets 255 in its first three
// bytes (with fewer bytes a pixel, they run on into the next pixels, never past the buffer).
//
// Both are one pass over the image: the first bytes of three rows are kept at a time, compared with their
// neighbours in bulk, and rows with nothing to do are skipped.

#include "image/pixel_geometry.h"

#include <cstdint>

namespace zelmar {

constexpr int edgeThreshold = 10;
constexpr std::uint8_t offsetSeed = 255;

// work becomes source with every inner edge pixel white. Both hold geometry.byteCount() bytes; they must not
// overlap.
void gradientInto(const std::uint8_t* source, std::uint8_t* work, const PixelGeometry& geometry);

// Grows the white of work by one pixel in place, exactly as if it read a copy taken before the call. Returns
// whether any byte changed.
bool offsetInPlace(std::uint8_t* work, const PixelGeometry& geometry);

} // namespace zelmar
