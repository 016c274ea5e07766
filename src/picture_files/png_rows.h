#pragma once
// A PNG written row by row as the rows are drawn, so that a picture several times the size of the one it shows
// is never held whole. 8-bit RGB; each row filtered by the row above ("Up"), which suits pictures of wide
// even areas and costs no choosing, and compressed fast: a preview is written far more often than it is kept.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <zlib.h>

namespace zelmar {

class PngRows {
public:
    // Opens the file and writes the header; ok() tells whether it could.
    PngRows(const std::string& path, std::int32_t width, std::int32_t height);
    ~PngRows();
    PngRows(const PngRows&) = delete;
    PngRows& operator=(const PngRows&) = delete;

    bool ok() const { return ok_; }
    // The next row, width * 3 bytes R, G, B.
    void write(const std::uint8_t* rgb);
    // After the last row: the file complete and closed. False when any of it could not be written, or rows
    // are missing.
    bool finish();

private:
    void deflateInto(int flush);
    void chunk(const char type[4], const std::uint8_t* data, std::size_t size);

    std::FILE* file_ = nullptr;
    std::size_t rowBytes_;
    std::int32_t rowsLeft_;
    bool ok_ = false;
    z_stream zip_{};
    bool zipOpen_ = false;
    std::vector<std::uint8_t> previous_, filtered_, out_;
};

} // namespace zelmar
