#include "image_layer.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace zelmar {

namespace {

std::uint64_t freshVersion() {
    static std::atomic<std::uint64_t> last{0};
    return ++last;
}

} // namespace

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

bool operator==(const LayerBytes& a, const LayerBytes& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

ImageLayer::ImageLayer(const BitmapHeader& header, std::vector<std::uint8_t> bits)
    : ImageLayer(header, LargeArray<std::uint8_t>()) {
    if (bytes_ && !bits.empty())
        std::memcpy(bytes_->data(), bits.data(), std::min(bits.size(), bytes_->size()));
}

ImageLayer::ImageLayer(const BitmapHeader& header, LargeArray<std::uint8_t> bits) : header_(header) {
    const auto size = static_cast<std::size_t>(std::max<std::int64_t>(geometry().byteCount(), 0));
    if (size > 0) {
        if (bits.size() != size) {
            LargeArray<std::uint8_t> fitted(size, 0);
            if (!bits.empty())
                std::memcpy(fitted.data(), bits.data(), std::min(bits.size(), size));
            bits = std::move(fitted);
        }
        bits.freeze(); // a copy of the layer's bytes pays only for what is written into it
        bytes_ = std::make_shared<LargeArray<std::uint8_t>>(std::move(bits));
        version_ = freshVersion();
    }
    markAllChanged();
}

void ImageLayer::ownBytes(bool keepContents) {
    if (!bytes_)
        return;
    version_ = freshVersion(); // whoever asks for the bytes to write may change any of them
    if (bytes_.use_count() == 1) {
        bytes_->thaw();
        return;
    }
    if (keepContents && bytes_->frozen()) {
        LargeArray<std::uint8_t> shared(*bytes_); // the pages the writer leaves alone stay shared
        shared.thaw();
        bytes_ = std::make_shared<LargeArray<std::uint8_t>>(std::move(shared));
        return;
    }
    LargeArray<std::uint8_t> own(bytes_->size());
    if (keepContents) {
        // The copy's fresh pages in one request: a fault for each of them costs more than the copy itself.
        pageInForWriting(own.data(), own.size());
        std::memcpy(own.data(), bytes_->data(), own.size());
    }
    bytes_ = std::make_shared<LargeArray<std::uint8_t>>(std::move(own));
}

std::uint8_t* ImageLayer::pixelBytes() {
    ownBytes(true);
    return bytes_ ? bytes_->data() : nullptr;
}

std::uint8_t* ImageLayer::bytesForOverwrite() {
    ownBytes(false);
    return bytes_ ? bytes_->data() : nullptr;
}

bool ImageLayer::copyInto(PixelBuffer& buffer) const {
    if (buffer.size() != static_cast<std::int64_t>(byteSize()))
        return false;
    if (bytes_)
        std::memcpy(buffer.data(), bytes_->data(), bytes_->size());
    return true;
}

bool ImageLayer::copyFrom(const PixelBuffer& buffer) {
    if (buffer.size() != static_cast<std::int64_t>(byteSize()))
        return false;
    if (bytes_)
        std::memcpy(bytesForOverwrite(), buffer.data(), bytes_->size());
    markAllChanged();
    return true;
}

bool ImageLayer::copyFrom(const PixelBuffer& buffer, const PixelRect& changed) {
    if (buffer.size() != static_cast<std::int64_t>(byteSize()))
        return false;
    const PixelRect area = changed.clippedTo(header_.bmWidth, header_.bmHeight);
    if (area.isEmpty())
        return true;
    std::uint8_t* bytes = pixelBytes();
    // Row by row over the changed area only: a milling step changes nine pixels of a possibly huge layer.
    const PixelGeometry g = geometry();
    const auto rowBytes = static_cast<std::size_t>(std::int64_t{area.right - area.left} * g.bytesPerPixel);
    for (std::int32_t y = area.top; y < area.bottom; ++y) {
        const auto offset = static_cast<std::size_t>(g.indexOf(area.left + 1, y + 1) - 1);
        std::memcpy(bytes + offset, buffer.data() + offset, rowBytes);
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
