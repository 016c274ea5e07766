#pragma once
// A working copy of one layer's bytes, addressed by the 1-based index rule. It lives for one operation.

#include "pixel_geometry.h"

#include <cstdint>
#include <vector>

namespace zelmar {

class PixelBuffer {
public:
    PixelBuffer() = default;
    explicit PixelBuffer(const PixelGeometry& geometry);

    const PixelGeometry& geometry() const { return geometry_; }
    std::int64_t size() const { return static_cast<std::int64_t>(bytes_.size()); }

    // 1-based, as the index rule counts: at(1) is the first byte of pixel (1, 1).
    std::uint8_t& at(std::int64_t index) { return bytes_[static_cast<std::size_t>(index - 1)]; }
    std::uint8_t at(std::int64_t index) const { return bytes_[static_cast<std::size_t>(index - 1)]; }

    std::uint8_t firstByteOf(std::int32_t x, std::int32_t y) const { return at(geometry_.indexOf(x, y)); }
    bool isLight(std::int32_t x, std::int32_t y) const { return isLightByte(firstByteOf(x, y)); }

    std::uint8_t* data() { return bytes_.data(); }
    const std::uint8_t* data() const { return bytes_.data(); }

private:
    PixelGeometry geometry_;
    std::vector<std::uint8_t> bytes_;
};

} // namespace zelmar
