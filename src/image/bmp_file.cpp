#include "bmp_file.h"

#include <fstream>

namespace zelmar {
namespace {

void put16(std::vector<std::uint8_t>& out, std::uint32_t v) {
    out.push_back(static_cast<std::uint8_t>(v & 0xff));
    out.push_back(static_cast<std::uint8_t>((v >> 8) & 0xff));
}

void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    put16(out, v & 0xffff);
    put16(out, v >> 16);
}

} // namespace

std::vector<std::uint8_t> encodeBmp24(const ImageLayer& layer) {
    const PixelGeometry g = layer.geometry();
    if (layer.isEmpty() || (g.bytesPerPixel != 3 && g.bytesPerPixel != 4))
        return {};
    const std::uint64_t rowBytes = (std::uint64_t{static_cast<std::uint32_t>(g.width)} * 3 + 3) / 4 * 4;
    const std::uint64_t imageBytes = rowBytes * static_cast<std::uint32_t>(g.height);
    const std::uint64_t fileBytes = 54 + imageBytes;
    if (fileBytes > 0xffffffffu)
        return {};

    std::vector<std::uint8_t> out;
    out.reserve(static_cast<std::size_t>(fileBytes));
    out.push_back('B');
    out.push_back('M');
    put32(out, static_cast<std::uint32_t>(fileBytes));
    put32(out, 0);
    put32(out, 54);
    put32(out, 40);
    put32(out, static_cast<std::uint32_t>(g.width));
    put32(out, static_cast<std::uint32_t>(g.height));
    put16(out, 1);
    put16(out, 24);
    put32(out, 0);
    put32(out, static_cast<std::uint32_t>(imageBytes));
    put32(out, 2835); // 72 dpi
    put32(out, 2835);
    put32(out, 0);
    put32(out, 0);

    const std::uint8_t* bits = layer.bits().data();
    for (std::int32_t y = g.height; y >= 1; --y) {
        const std::size_t rowStart = out.size();
        for (std::int32_t x = 1; x <= g.width; ++x) {
            const std::uint8_t* p = bits + (g.indexOf(x, y) - 1);
            out.insert(out.end(), p, p + 3);
        }
        out.resize(rowStart + static_cast<std::size_t>(rowBytes), 0);
    }
    return out;
}

bool writeBmp24(const std::string& path, const ImageLayer& layer) {
    const std::vector<std::uint8_t> bytes = encodeBmp24(layer);
    if (bytes.empty())
        return false;
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    file.close();
    return static_cast<bool>(file);
}

} // namespace zelmar
