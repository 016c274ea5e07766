#include "image_layer.h"

#include <algorithm>
#include <cstring>

namespace zelmar {

PixelRect PixelRect::united(const PixelRect& other) const {
    if (isEmpty())
        return other;
    if (other.isEmpty())
        return *this;
    return {std::min(left, other.left), std::min(top, other.top), std::max(right, other.right),
            std::max(bottom, other.bottom)};
}

PixelRect PixelRect::clippedTo(std::int32_t width, std::int32_t height) const {
    PixelRect r{std::max(left, 0), std::max(top, 0), std::min(right, width), std::min(bottom, height)};
    return r.isEmpty() ? PixelRect{} : r;
}

ImageLayer::ImageLayer(const BitmapHeader& header, std::vector<std::uint8_t> bits)
    : header_(header), bits_(std::move(bits)) {
    bits_.resize(static_cast<std::size_t>(std::max<std::int64_t>(geometry().byteCount(), 0)));
    markAllChanged();
}

bool ImageLayer::copyInto(PixelBuffer& buffer) const {
    if (buffer.size() != static_cast<std::int64_t>(bits_.size()))
        return false;
    if (!bits_.empty())
        std::memcpy(buffer.data(), bits_.data(), bits_.size());
    return true;
}

bool ImageLayer::copyFrom(const PixelBuffer& buffer) {
    if (buffer.size() != static_cast<std::int64_t>(bits_.size()))
        return false;
    if (!bits_.empty())
        std::memcpy(bits_.data(), buffer.data(), bits_.size());
    markAllChanged();
    return true;
}

bool ImageLayer::copyFrom(const PixelBuffer& buffer, const PixelRect& changed) {
    if (buffer.size() != static_cast<std::int64_t>(bits_.size()))
        return false;
    const PixelRect area = changed.clippedTo(header_.bmWidth, header_.bmHeight);
    if (area.isEmpty())
        return true;
    // Row by row over the changed area only: a milling step changes nine pixels of a possibly huge layer.
    const PixelGeometry g = geometry();
    const auto rowBytes = static_cast<std::size_t>(std::int64_t{area.right - area.left} * g.bytesPerPixel);
    for (std::int32_t y = area.top; y < area.bottom; ++y) {
        const auto offset = static_cast<std::size_t>(g.indexOf(area.left + 1, y + 1) - 1);
        std::memcpy(bits_.data() + offset, buffer.data() + offset, rowBytes);
    }
    markChanged(area);
    return true;
}

PixelBuffer ImageLayer::toBuffer() const {
    PixelBuffer buffer(geometry());
    copyInto(buffer);
    return buffer;
}

void ImageLayer::markChanged(const PixelRect& area) {
    changed_ = changed_.united(area.clippedTo(header_.bmWidth, header_.bmHeight));
}

void ImageLayer::markAllChanged() {
    markChanged(PixelRect{0, 0, header_.bmWidth, header_.bmHeight});
}

PixelRect ImageLayer::takeChangedArea() {
    PixelRect taken = changed_;
    changed_ = {};
    return taken;
}

} // namespace zelmar
