#pragma once
// Loading the operator's image into a layer: any depth and format Qt reads, converted to 4 bytes per pixel
// (blue, green, red, fourth byte), with every failure named in a message the operator can act on.

#include "image/image_layer.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace zelmar {

// Four layers of 4 bytes per pixel plus the label map come to some 30 bytes a pixel: past this the machine
// runs out of memory long before the mill runs out of work.
constexpr std::int64_t maxImagePixels = 100'000'000;

struct LoadedImage {
    ImageLayer layer;
    std::string error; // Russian, lines joined by CR LF; empty on success

    bool ok() const { return error.empty(); }
};

LoadedImage loadImageFile(const std::string& path);
// The same from bytes in memory; name stands for the file in messages. A lower pixel limit lets a caller that
// only wants small pictures refuse big ones before they are decoded.
LoadedImage loadImageBytes(std::string_view bytes, const std::string& name,
                           std::int64_t pixelLimit = maxImagePixels);

} // namespace zelmar
