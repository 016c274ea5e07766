#include "png_rows.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>

namespace zelmar {
namespace {

void putBigEndian(std::uint8_t* at, std::uint32_t v) {
    at[0] = static_cast<std::uint8_t>(v >> 24);
    at[1] = static_cast<std::uint8_t>(v >> 16);
    at[2] = static_cast<std::uint8_t>(v >> 8);
    at[3] = static_cast<std::uint8_t>(v);
}

constexpr std::size_t chunkBytes = 1 << 16; // one IDAT chunk at most

struct FileChunks {
    std::FILE* file;
    bool ok = true;

    void chunk(const char type[4], const std::uint8_t* data, std::size_t size) {
        std::uint8_t head[8];
        putBigEndian(head, static_cast<std::uint32_t>(size));
        std::copy_n(type, 4, head + 4);
        uLong crc = crc32(0, head + 4, 4);
        if (size > 0)
            crc = crc32(crc, data, static_cast<uInt>(size));
        std::uint8_t tail[4];
        putBigEndian(tail, static_cast<std::uint32_t>(crc));
        ok = ok && std::fwrite(head, 1, 8, file) == 8 && (size == 0 || std::fwrite(data, 1, size, file) == size) &&
             std::fwrite(tail, 1, 4, file) == 4;
    }
};

} // namespace

PngPart::PngPart(std::int32_t width)
    : rowBytes_(static_cast<std::size_t>(std::max(width, 0)) * 3), adler_(adler32(0, nullptr, 0)) {
    // Raw deflate at level 1: on a carving's wide even areas it packs nearly as well as the default, several
    // times faster; the stream's header and checksum are the whole picture's, written with the file.
    if (deflateInit2(&zip_, 1, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return;
    ok_ = true;
    previous_.assign(rowBytes_, 0);
    filtered_.resize(rowBytes_ + 1);
}

PngPart::~PngPart() {
    deflateEnd(&zip_); // refuses a stream never begun, harmlessly
}

void PngPart::follow(const std::uint8_t* rgb) {
    std::copy_n(rgb, rowBytes_, previous_.data());
}

void PngPart::deflateAll(int flush) {
    std::array<std::uint8_t, chunkBytes> out;
    do {
        zip_.next_out = out.data();
        zip_.avail_out = static_cast<uInt>(out.size());
        if (deflate(&zip_, flush) == Z_STREAM_ERROR) {
            ok_ = false;
            return;
        }
        compressed_.insert(compressed_.end(), out.data(), out.data() + (out.size() - zip_.avail_out));
    } while (zip_.avail_out == 0);
}

void PngPart::write(const std::uint8_t* rgb) {
    if (!ok_)
        return;
    filtered_[0] = 2; // Up
    std::uint8_t* out = filtered_.data() + 1;
    std::uint8_t* above = previous_.data();
    for (std::size_t i = 0; i < rowBytes_; ++i)
        out[i] = static_cast<std::uint8_t>(rgb[i] - above[i]);
    std::copy_n(rgb, rowBytes_, above);
    adler_ = adler32(adler_, filtered_.data(), static_cast<uInt>(filtered_.size()));
    raw_ += filtered_.size();
    zip_.next_in = filtered_.data();
    zip_.avail_in = static_cast<uInt>(filtered_.size());
    deflateAll(Z_NO_FLUSH);
    ++rows_;
}

void PngPart::end(bool last) {
    if (!ok_)
        return;
    zip_.avail_in = 0;
    // A part before the last ends on a byte boundary with its blocks open to more, as the next part goes on.
    deflateAll(last ? Z_FINISH : Z_SYNC_FLUSH);
}

bool writePng(const std::string& path, std::int32_t width, std::int32_t height, std::span<const PngPart* const> parts) {
    std::int32_t rows = 0;
    for (const PngPart* part : parts)
        if (part->ok())
            rows += part->rows();
        else
            return false;
    if (width <= 0 || height <= 0 || rows != height)
        return false;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "wb"), std::fclose);
    if (!file)
        return false;
    FileChunks out{file.get()};
    static constexpr std::uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    out.ok = std::fwrite(signature, 1, sizeof signature, file.get()) == sizeof signature;
    std::array<std::uint8_t, 13> header{};
    putBigEndian(header.data(), static_cast<std::uint32_t>(width));
    putBigEndian(header.data() + 4, static_cast<std::uint32_t>(height));
    header[8] = 8; // bits a channel
    header[9] = 2; // RGB
    out.chunk("IHDR", header.data(), header.size());

    // The zlib stream: its header (32 K window, fastest), the parts, and the checksum of all they hold.
    std::vector<std::uint8_t> stream = {0x78, 0x01};
    uLong adler = adler32(0, nullptr, 0);
    for (const PngPart* part : parts) {
        stream.insert(stream.end(), part->compressed().begin(), part->compressed().end());
        adler = adler32_combine(adler, part->checksum(), static_cast<z_off_t>(part->rawBytes()));
    }
    stream.resize(stream.size() + 4);
    putBigEndian(stream.data() + stream.size() - 4, static_cast<std::uint32_t>(adler));
    for (std::size_t at = 0; at < stream.size(); at += chunkBytes)
        out.chunk("IDAT", stream.data() + at, std::min(chunkBytes, stream.size() - at));
    out.chunk("IEND", nullptr, 0);
    return std::fclose(file.release()) == 0 && out.ok;
}

} // namespace zelmar
