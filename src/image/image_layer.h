#pragma once
// One loaded copy of the image. Operations copy its bytes into a PixelBuffer and back in one bulk copy each
// way, and record the area they changed so the views redraw only that.
//
// Copies of a layer share their bytes until one of them is written: the four layers of a freshly loaded
// picture are one buffer, and only a layer that is painted on pays for its own. Every write goes through
// pixelBytes(), bytesForOverwrite() or copyFrom(), which first give the layer bytes of its own.

#include "large_array.h"
#include "pixel_buffer.h"
#include "pixel_geometry.h"

#include <cstdint>
#include <memory>
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

// A layer's bytes to read. A view taken before the layer is written may keep showing the bytes as they were.
class LayerBytes {
public:
    LayerBytes() = default;
    LayerBytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    const std::uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    const std::uint8_t& operator[](std::size_t i) const { return data_[i]; }
    const std::uint8_t* begin() const { return data_; }
    const std::uint8_t* end() const { return data_ + size_; }

    // A copy to keep, e.g. to compare the layer with later.
    operator std::vector<std::uint8_t>() const { return std::vector<std::uint8_t>(begin(), end()); }

    friend bool operator==(const LayerBytes& a, const LayerBytes& b);
    friend bool operator==(const LayerBytes& a, const std::vector<std::uint8_t>& b) {
        return a == LayerBytes(b.data(), b.size());
    }

private:
    const std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

class ImageLayer {
public:
    ImageLayer() = default;
    // Takes the bits; a length other than the geometry's byteCount() is cut or padded with zeros.
    ImageLayer(const BitmapHeader& header, std::vector<std::uint8_t> bits);
    ImageLayer(const BitmapHeader& header, LargeArray<std::uint8_t> bits);

    const BitmapHeader& header() const { return header_; }
    PixelGeometry geometry() const { return PixelGeometry::of(header_); }
    bool isEmpty() const { return header_.bmWidth <= 0 || header_.bmHeight <= 0; }

    LayerBytes bits() const { return bytes_ ? LayerBytes(bytes_->data(), bytes_->size()) : LayerBytes(); }
    // For painting a few pixels in place; the painter reports the area with markChanged. Cheap once the
    // layer has bytes of its own; the first call on a shared layer copies them.
    std::uint8_t* pixelBytes();
    // For a writer that sets every byte: bytes of the layer's own without copying the old ones, whose
    // contents are then undefined.
    std::uint8_t* bytesForOverwrite();
    // Names the layer's contents: a new layer and every write access take a number no other contents had; copies
    // that share the bytes share it. Lets a reader keep what it worked out of the bytes until they change.
    std::uint64_t contentVersion() const { return version_; }
    // Whether another layer reads the same bytes (no write has separated them yet).
    bool sharesBytesWith(const ImageLayer& other) const { return bytes_ && bytes_ == other.bytes_; }

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
    std::size_t byteSize() const { return bytes_ ? bytes_->size() : 0; }
    void ownBytes(bool keepContents);

    BitmapHeader header_;
    std::shared_ptr<LargeArray<std::uint8_t>> bytes_; // null for an empty layer
    std::uint64_t version_ = 0;                       // 0: empty, no bytes
    PixelRect changed_;
};

} // namespace zelmar
