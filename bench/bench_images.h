#pragma once
// Test pictures for the benchmarks, 4 bytes per pixel like every layer of the program, drawn the same way for
// our code and for the comparison with other libraries.

#include "image/image_layer.h"

#include <cstdint>
#include <string>

namespace zelmar::bench {

// Dark shapes on white: discs, rings with dots, plates with windows, some nested; about one shape per 40 000
// pixels.
ImageLayer shapesImage(std::int32_t width, std::int32_t height, std::uint32_t seed = 1);

// Every pixel dark or light at random, half and half.
ImageLayer noiseImage(std::int32_t width, std::int32_t height, std::uint32_t seed = 1);

// Concentric square rings, alternately dark and light, one pixel wide: the deepest nesting a picture can
// have.
ImageLayer ringsImage(std::int32_t size);

// The picture in the top-left corner of a bigger white one, size x size: the same drawing, more pixels.
ImageLayer inCorner(const ImageLayer& small, std::int32_t size);

ImageLayer imageOfKind(const std::string& kind, std::int32_t width, std::int32_t height);

} // namespace zelmar::bench
