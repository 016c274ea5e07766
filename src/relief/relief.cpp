#include "relief.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace zelmar {
namespace {

// The first byte of every pixel of row y (1-based), compacted.
void firstBytes(const std::uint8_t* bytes, const PixelGeometry& g, std::int32_t y, std::uint8_t* out) {
    const std::uint8_t* p = bytes + std::int64_t{y - 1} * g.stride;
    const std::int32_t step = g.bytesPerPixel;
    for (std::int32_t x = 0; x < g.width; ++x)
        out[x] = p[x * step];
}

// Marks pixel (x, y) of an inner position: the three bytes from its first one, kept inside the buffer.
void paintWhite(std::uint8_t* bytes, const PixelGeometry& g, std::int32_t x, std::int32_t y) {
    const std::int64_t at = g.indexOf(x, y) - 1;
    const std::int64_t end = std::min<std::int64_t>(at + 3, g.byteCount());
    for (std::int64_t i = at; i < end; ++i)
        bytes[i] = 255;
}

bool valid(const PixelGeometry& g) { return g.width > 0 && g.height > 0 && g.bytesPerPixel > 0; }

} // namespace

void gradientInto(const std::uint8_t* source, std::uint8_t* work, const PixelGeometry& g) {
    if (!valid(g))
        return;
    std::memcpy(work, source, static_cast<std::size_t>(g.byteCount()));
    if (g.width < 3 || g.height < 3)
        return;
    const auto w = static_cast<std::size_t>(g.width);
    // Rows of first bytes, and their minimum and maximum over three columns.
    std::vector<std::uint8_t> rows(3 * w), lows(3 * w), highs(3 * w), mark(w);
    const auto prepare = [&](std::int32_t y, std::size_t slot) {
        std::uint8_t* r = rows.data() + slot * w;
        firstBytes(source, g, y, r);
        std::uint8_t* lo = lows.data() + slot * w;
        std::uint8_t* hi = highs.data() + slot * w;
        for (std::size_t x = 1; x + 1 < w; ++x) {
            lo[x] = std::min(std::min(r[x - 1], r[x]), r[x + 1]);
            hi[x] = std::max(std::max(r[x - 1], r[x]), r[x + 1]);
        }
    };
    prepare(1, 0);
    prepare(2, 1);
    for (std::int32_t y = 2; y < g.height; ++y) {
        prepare(y + 1, static_cast<std::size_t>(y % 3));
        const std::uint8_t* mid = rows.data() + static_cast<std::size_t>((y - 1) % 3) * w;
        const std::uint8_t* lo[3] = {lows.data(), lows.data() + w, lows.data() + 2 * w};
        const std::uint8_t* hi[3] = {highs.data(), highs.data() + w, highs.data() + 2 * w};
        bool any = false;
        for (std::size_t x = 1; x + 1 < w; ++x) {
            const int low = std::min(std::min(lo[0][x], lo[1][x]), lo[2][x]);
            const int high = std::max(std::max(hi[0][x], hi[1][x]), hi[2][x]);
            const int v = mid[x];
            mark[x] = (high - v > edgeThreshold) | (v - low > edgeThreshold);
            any |= mark[x] != 0;
        }
        if (!any)
            continue; // nothing sharp in this row
        for (std::size_t x = 1; x + 1 < w; ++x)
            if (mark[x])
                paintWhite(work, g, static_cast<std::int32_t>(x) + 1, y);
    }
}

bool offsetInPlace(std::uint8_t* work, const PixelGeometry& g) {
    if (!valid(g) || g.width < 3 || g.height < 3)
        return false;
    const auto w = static_cast<std::size_t>(g.width);
    // Seeds of three rows, read before any of them is written, and spread over three columns.
    std::vector<std::uint8_t> first(w), spread(3 * w);
    std::vector<std::uint8_t> rowHasSeed(3);
    const auto prepare = [&](std::int32_t y, std::size_t slot) {
        firstBytes(work, g, y, first.data());
        std::uint8_t* s = spread.data() + slot * w;
        std::uint8_t any = 0;
        for (std::size_t x = 1; x + 1 < w; ++x) {
            s[x] = (first[x - 1] == offsetSeed) | (first[x] == offsetSeed) | (first[x + 1] == offsetSeed);
            any |= s[x];
        }
        rowHasSeed[slot] = any;
    };
    prepare(1, 0);
    prepare(2, 1);
    bool changed = false;
    for (std::int32_t y = 2; y < g.height; ++y) {
        // Row y + 1 is read before row y is written: a mark's bytes may run on into it.
        prepare(y + 1, static_cast<std::size_t>(y % 3));
        if (!rowHasSeed[0] && !rowHasSeed[1] && !rowHasSeed[2])
            continue;
        const std::uint8_t* s[3] = {spread.data(), spread.data() + w, spread.data() + 2 * w};
        for (std::size_t x = 1; x + 1 < w; ++x) {
            if (!(s[0][x] | s[1][x] | s[2][x]))
                continue;
            const std::int64_t at = g.indexOf(static_cast<std::int32_t>(x) + 1, y) - 1;
            const std::int64_t end = std::min<std::int64_t>(at + 3, g.byteCount());
            for (std::int64_t i = at; i < end; ++i) {
                changed |= work[i] != 255;
                work[i] = 255;
            }
        }
    }
    return changed;
}

} // namespace zelmar
