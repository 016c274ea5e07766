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

bool valid(const PixelGeometry& g) {
    return g.width > 0 && g.height > 0 && g.bytesPerPixel > 0;
}

// The layers of the program are 4 bytes a pixel: a pixel is one 32-bit word whose low byte is the first byte,
// and "255 in the first three bytes" is an OR with 0x00ffffff. Loops of that shape vectorise.
using Word = std::uint32_t;
constexpr Word whiteBytes = 0x00ffffffu;

Word* wordRow(std::uint8_t* bytes, const PixelGeometry& g, std::int32_t y) {
    return reinterpret_cast<Word*>(bytes + std::int64_t{y - 1} * g.stride);
}
const Word* wordRow(const std::uint8_t* bytes, const PixelGeometry& g, std::int32_t y) {
    return reinterpret_cast<const Word*>(bytes + std::int64_t{y - 1} * g.stride);
}

// Sets the first three bytes of the marked inner pixels of a row; true when a byte changed. Blocks that are
// already white are not written, so untouched memory stays clean.
bool whitenMarked(Word* __restrict row, const std::uint8_t* __restrict mark, std::size_t width) {
    bool changed = false;
    constexpr std::size_t block = 64;
    std::size_t start = 1;
    const std::size_t last = width - 1; // the last column is never written
    for (; start + block <= last; start += block) {
        Word needed = 0;
        for (std::size_t i = 0; i < block; ++i)
            needed |= (Word{0} - mark[start + i]) & ~row[start + i] & whiteBytes;
        if (needed == 0)
            continue;
        changed = true;
        for (std::size_t i = 0; i < block; ++i)
            row[start + i] |= (Word{0} - mark[start + i]) & whiteBytes;
    }
    for (std::size_t x = start; x < last; ++x) {
        const Word add = (Word{0} - mark[x]) & whiteBytes;
        changed |= (add & ~row[x]) != 0;
        row[x] |= add;
    }
    return changed;
}

// The OR of three neighbouring columns, and of three rows.
std::uint8_t orOfThree(const std::uint8_t* __restrict f, std::uint8_t* __restrict out, std::size_t w) {
    std::uint8_t any = 0;
    for (std::size_t x = 1; x + 1 < w; ++x) {
        out[x] = f[x - 1] | f[x] | f[x + 1];
        any |= out[x];
    }
    return any;
}

void orOfRows(const std::uint8_t* __restrict a, const std::uint8_t* __restrict b,
              const std::uint8_t* __restrict c, std::uint8_t* __restrict out, std::size_t w) {
    for (std::size_t x = 1; x + 1 < w; ++x)
        out[x] = a[x] | b[x] | c[x];
}

// Minimum and maximum over three neighbouring columns. The rows never overlap; saying so lets it vectorise.
void minMaxOfThree(const std::uint8_t* __restrict f, std::uint8_t* __restrict lo, std::uint8_t* __restrict hi,
                   std::size_t w) {
    for (std::size_t x = 1; x + 1 < w; ++x) {
        const std::uint8_t a = f[x - 1], b = f[x], c = f[x + 1];
        const std::uint8_t ab = a < b ? a : b;
        const std::uint8_t AB = a < b ? b : a;
        lo[x] = ab < c ? ab : c;
        hi[x] = AB < c ? c : AB;
    }
}

void gradientWords(const std::uint8_t* source, std::uint8_t* work, const PixelGeometry& g) {
    const auto w = static_cast<std::size_t>(g.width);
    std::vector<std::uint8_t> lows(3 * w), highs(3 * w), mid(3 * w), mark(w, 0);
    const auto prepare = [&](std::int32_t y, std::size_t slot) {
        const Word* r = wordRow(source, g, y);
        std::uint8_t* f = mid.data() + slot * w;
        for (std::size_t x = 0; x < w; ++x)
            f[x] = static_cast<std::uint8_t>(r[x]);
        minMaxOfThree(f, lows.data() + slot * w, highs.data() + slot * w, w);
    };
    // Row by row: the copy of a row and its marks while the row is in the cache.
    std::memcpy(wordRow(work, g, 1), wordRow(source, g, 1), w * 4);
    prepare(1, 0);
    prepare(2, 1);
    for (std::int32_t y = 2; y < g.height; ++y) {
        std::memcpy(wordRow(work, g, y), wordRow(source, g, y), w * 4);
        prepare(y + 1, static_cast<std::size_t>(y % 3));
        const std::uint8_t* centre = mid.data() + static_cast<std::size_t>((y - 1) % 3) * w;
        const std::uint8_t *lo0 = lows.data(), *lo1 = lo0 + w, *lo2 = lo1 + w;
        const std::uint8_t *hi0 = highs.data(), *hi1 = hi0 + w, *hi2 = hi1 + w;
        std::uint8_t any = 0;
        for (std::size_t x = 1; x + 1 < w; ++x) {
            // The centre is among the nine, so both differences are 0..255 in bytes.
            const std::uint8_t low = std::min(std::min(lo0[x], lo1[x]), lo2[x]);
            const std::uint8_t high = std::max(std::max(hi0[x], hi1[x]), hi2[x]);
            const std::uint8_t up = static_cast<std::uint8_t>(high - centre[x]);
            const std::uint8_t down = static_cast<std::uint8_t>(centre[x] - low);
            mark[x] = static_cast<std::uint8_t>(std::max(up, down) > edgeThreshold);
            any |= mark[x];
        }
        if (any)
            whitenMarked(wordRow(work, g, y), mark.data(), w);
    }
    std::memcpy(wordRow(work, g, g.height), wordRow(source, g, g.height), w * 4);
}

bool offsetWords(std::uint8_t* work, const PixelGeometry& g) {
    const auto w = static_cast<std::size_t>(g.width);
    std::vector<std::uint8_t> seed(w), spread(3 * w, 0), mark(w, 0);
    std::uint8_t rowHasSeed[3] = {0, 0, 0};
    const auto prepare = [&](std::int32_t y, std::size_t slot) {
        const Word* r = wordRow(work, g, y);
        for (std::size_t x = 0; x < w; ++x)
            seed[x] = static_cast<std::uint8_t>(static_cast<std::uint8_t>(r[x]) == offsetSeed);
        rowHasSeed[slot] = orOfThree(seed.data(), spread.data() + slot * w, w);
    };
    prepare(1, 0);
    prepare(2, 1);
    bool changed = false;
    for (std::int32_t y = 2; y < g.height; ++y) {
        prepare(y + 1, static_cast<std::size_t>(y % 3)); // read before row y is written
        if (!(rowHasSeed[0] | rowHasSeed[1] | rowHasSeed[2]))
            continue;
        orOfRows(spread.data(), spread.data() + w, spread.data() + 2 * w, mark.data(), w);
        changed = whitenMarked(wordRow(work, g, y), mark.data(), w) || changed;
    }
    return changed;
}

} // namespace

void gradientInto(const std::uint8_t* source, std::uint8_t* work, const PixelGeometry& g) {
    if (!valid(g))
        return;
    if (g.bytesPerPixel == 4 && g.width >= 3 && g.height >= 3) {
        gradientWords(source, work, g);
        return;
    }
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
    if (g.bytesPerPixel == 4)
        return offsetWords(work, g);
    const auto w = static_cast<std::size_t>(g.width);
    // Seeds of three rows, read before any of them is written, and spread over three columns.
    std::vector<std::uint8_t> first(w), spread(3 * w);
    std::vector<std::uint8_t> rowHasSeed(3);
    const auto prepare = [&](std::int32_t y, std::size_t slot) {
        firstBytes(work, g, y, first.data());
        std::uint8_t* s = spread.data() + slot * w;
        std::uint8_t any = 0;
        for (std::size_t x = 1; x + 1 < w; ++x) {
            s[x] = static_cast<std::uint8_t>(int(first[x - 1] == offsetSeed) | int(first[x] == offsetSeed) |
                                             int(first[x + 1] == offsetSeed));
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
