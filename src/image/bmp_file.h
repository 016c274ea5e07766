#pragma once
// Writing a layer as an uncompressed 24-bit BMP: the sample image and the layer dumps of the command-line
// tool.

#include "image_layer.h"

#include <cstdint>
#include <string>
#include <vector>

namespace zelmar {

// Bottom-up rows padded to four bytes, blue-green-red, as every BMP reader expects. Empty for an empty layer
// or one that is not 3 or 4 bytes per pixel.
std::vector<std::uint8_t> encodeBmp24(const ImageLayer& layer);

// False when the layer cannot be encoded or the file cannot be written completely.
bool writeBmp24(const std::string& path, const ImageLayer& layer);

} // namespace zelmar
