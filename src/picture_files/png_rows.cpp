#include "png_rows.h"

#include <algorithm>
#include <array>

namespace zelmar {
namespace {

void putBigEndian(std::uint8_t* at, std::uint32_t v) {
    at[0] = static_cast<std::uint8_t>(v >> 24);
    at[1] = static_cast<std::uint8_t>(v >> 16);
    at[2] = static_cast<std::uint8_t>(v >> 8);
    at[3] = static_cast<std::uint8_t>(v);
}

constexpr std::size_t outBlock = 1 << 16; // one IDAT chunk at most

} // namespace

PngRows::PngRows(const std::string& path, std::int32_t width, std::int32_t height)
    : rowBytes_(static_cast<std::size_t>(std::max(width, 0)) * 3), rowsLeft_(height) {
    if (width <= 0 || height <= 0)
        return;
    file_ = std::fopen(path.c_str(), "wb");
    if (file_ == nullptr)
        return;
    // Level 1: on a carving's wide even areas it packs nearly as well as the default, several times faster.
    if (deflateInit(&zip_, 1) != Z_OK)
        return;
    zipOpen_ = true;
    previous_.assign(rowBytes_, 0);
    filtered_.resize(rowBytes_ + 1);
    out_.resize(outBlock);
    static constexpr std::uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    ok_ = std::fwrite(signature, 1, sizeof signature, file_) == sizeof signature;
    std::array<std::uint8_t, 13> header{};
    putBigEndian(header.data(), static_cast<std::uint32_t>(width));
    putBigEndian(header.data() + 4, static_cast<std::uint32_t>(height));
    header[8] = 8; // bits a channel
    header[9] = 2; // RGB
    chunk("IHDR", header.data(), header.size());
}

PngRows::~PngRows() {
    if (zipOpen_)
        deflateEnd(&zip_);
    if (file_ != nullptr)
        std::fclose(file_);
}

void PngRows::chunk(const char type[4], const std::uint8_t* data, std::size_t size) {
    std::uint8_t head[8];
    putBigEndian(head, static_cast<std::uint32_t>(size));
    std::copy_n(type, 4, head + 4);
    uLong crc = crc32(0, head + 4, 4);
    if (size > 0)
        crc = crc32(crc, data, static_cast<uInt>(size));
    std::uint8_t tail[4];
    putBigEndian(tail, static_cast<std::uint32_t>(crc));
    ok_ = ok_ && std::fwrite(head, 1, 8, file_) == 8 && (size == 0 || std::fwrite(data, 1, size, file_) == size) &&
          std::fwrite(tail, 1, 4, file_) == 4;
}

void PngRows::deflateInto(int flush) {
    do {
        zip_.next_out = out_.data();
        zip_.avail_out = static_cast<uInt>(out_.size());
        const int status = deflate(&zip_, flush);
        if (status == Z_STREAM_ERROR) {
            ok_ = false;
            return;
        }
        const std::size_t produced = out_.size() - zip_.avail_out;
        if (produced > 0)
            chunk("IDAT", out_.data(), produced);
    } while (zip_.avail_out == 0);
}

void PngRows::write(const std::uint8_t* rgb) {
    if (!ok_ || rowsLeft_ <= 0) {
        ok_ = false;
        return;
    }
    filtered_[0] = 2; // Up
    std::uint8_t* out = filtered_.data() + 1;
    std::uint8_t* above = previous_.data();
    for (std::size_t i = 0; i < rowBytes_; ++i)
        out[i] = static_cast<std::uint8_t>(rgb[i] - above[i]);
    std::copy_n(rgb, rowBytes_, above);
    zip_.next_in = filtered_.data();
    zip_.avail_in = static_cast<uInt>(filtered_.size());
    deflateInto(Z_NO_FLUSH);
    --rowsLeft_;
}

bool PngRows::finish() {
    if (!ok_ || rowsLeft_ != 0 || file_ == nullptr)
        return false;
    zip_.avail_in = 0;
    deflateInto(Z_FINISH);
    chunk("IEND", nullptr, 0);
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    return ok_ && closed;
}

} // namespace zelmar
