#pragma once
// One loaded copy of the image. It owns its bytes; operations copy them into a PixelBuffer and back in one
// bulk copy each way, and record the area they changed so the views redraw only that.

#include "pixel_buffer.h"
#include "pixel_geometry.h"

#include <cstdint>
#include <vector>

namespace zelmar {

// Half-open pixel rectangle in 0-based image coordinates.
struct PixelRect {
    std::int32_t left = 0;
    std::int32_t top = 0;
    std::int32_t right = 0;
    std::int32_t bottom = 0;

    bool isEmpty() const { return right <= left || bottom <= top; }
    PixelRect united(const PixelRect& other) const;
    PixelRect clippedTo(std::int32_t width, std::int32_t height) const;
    bool operator==(const PixelRect&) const = default;
};

class ImageLayer {
public:
    ImageLayer() = default;
    // Takes the bits as they are; their length must be the geometry's byteCount().
    ImageLayer(const BitmapHeader& header, std::vector<std::uint8_t> bits);

    const BitmapHeader& header() const { return header_; }
    PixelGeometry geometry() const { return PixelGeometry::of(header_); }
    bool isEmpty() const { return header_.bmWidth <= 0 || header_.bmHeight <= 0; }

    const std::vector<std::uint8_t>& bits() const { return bits_; }
    // For painting a few pixels in place; the painter reports the area with markChanged.
    std::uint8_t* pixelBytes() { return bits_.data(); }

    // The two bulk copies of a pixel operation. A buffer of another length is refused (nothing copied),
    // as a failed copy leaves the buffer or the layer as it was.
    bool copyInto(PixelBuffer& buffer) const;
    bool copyFrom(const PixelBuffer& buffer);
    // Copies back only the given area (0-based pixels): cost and redraw follow what changed, not the image.
    bool copyFrom(const PixelBuffer& buffer, const PixelRect& changed);
    PixelBuffer toBuffer() const;

    // Area changed since the views last took it.
    void markChanged(const PixelRect& area);
    void markAllChanged();
    PixelRect takeChangedArea();
    const PixelRect& changedArea() const { return changed_; }

private:
    BitmapHeader header_;
    std::vector<std::uint8_t> bits_;
    PixelRect changed_;
};

} // namespace zelmar
