#include "pixel_buffer.h"

namespace zelmar {

PixelBuffer::PixelBuffer(const PixelGeometry& geometry)
    : geometry_(geometry),
      bytes_(static_cast<std::size_t>(geometry.byteCount() > 0 ? geometry.byteCount() : 0)) {}

} // namespace zelmar
