#pragma once
// A PNG made row by row as the rows are drawn, so that a picture several times the size of the one it shows is
// never held whole. 8-bit RGB; each row filtered by the row above ("Up"), which suits pictures of wide even areas
// and costs no choosing, and compressed fast: a preview is written far more often than it is kept. The rows may
// be compressed in parts on several threads: each part ends on a byte boundary, and the parts are joined into the
// one stream PNG has.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include <zlib.h>

namespace zelmar {

class PngPart {
public:
    explicit PngPart(std::int32_t width);
    ~PngPart();
    PngPart(const PngPart&) = delete;
    PngPart& operator=(const PngPart&) = delete;

    // The row before this part's first, which the first is filtered by; without it, zeros (the picture's top).
    void follow(const std::uint8_t* rgb);
    // The next row, width * 3 bytes R, G, B.
    void write(const std::uint8_t* rgb);
    // After its last row; `last`: the picture's last part.
    void end(bool last);

    bool ok() const { return ok_; }
    std::int32_t rows() const { return rows_; }
    const std::vector<std::uint8_t>& compressed() const { return compressed_; }
    std::uint32_t checksum() const { return static_cast<std::uint32_t>(adler_); }
    std::size_t rawBytes() const { return raw_; }

private:
    void deflateAll(int flush);

    std::size_t rowBytes_;
    bool ok_ = false;
    z_stream zip_{};
    std::vector<std::uint8_t> previous_, filtered_, compressed_;
    std::int32_t rows_ = 0;
    uLong adler_;
    std::size_t raw_ = 0;
};

// The PNG file of the parts in order; false when it cannot be written or a part failed.
bool writePng(const std::string& path, std::int32_t width, std::int32_t height, std::span<const PngPart* const> parts);

} // namespace zelmar
