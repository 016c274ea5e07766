#pragma once
// Rows split into runs and labelled against the row above, for any bookkeeping of regions: the calling
// thread's, which hands out public ids as it goes, and the second thread's, which records what it would do.
// The labels wait in the map or as runs (row_labels.h) until every label's region is settled.

#include "boundary_pairs.h"
#include "pixel_geometry.h"
#include "regions.h"
#include "row_labels.h"
#include "row_runs.h"
#include "system_memory.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zelmar::parsing {

// The row above the one being labelled: its runs, their labels (roots found are written back) and, for a
// row of short runs, the run that holds each column.
struct UpperRow {
    RowRuns runs;
    const std::int32_t* start = nullptr;
    std::int32_t* label = nullptr;
    const std::int32_t* runAt = nullptr; // null: found by a search
};

// Labels the runs of one row against the row above, and notes whether each reaches an upper run of its class.
// Regions decides what a new region, a region that an upper one swallows at birth, and a join of two regions
// do.
//
// A run touches the upper runs over columns a - 1 .. b (its first pixel's upper-left and upper neighbours,
// and above the rest); those of its own class are every other one, f, f + 2 .. l. The first pixel takes the
// left neighbour's region (the frame's), else the upper run f's when f reaches column a, else a new one that
// f, if any, swallows at once; each later upper run of its class then joins it. Noise makes every one of
// these choices a coin toss, so they are reduced to the fewest branches: the upper-left and upper
// neighbours are not told apart, and f is never looked up twice.
template <bool columnsAbove, typename Regions>
void labelRow(const RowRuns& cur, const std::int32_t* curStart, std::int32_t* curLabel, bool* reachesUp,
              const UpperRow& up, std::int32_t frame, Regions& regions) {
    const std::int32_t* upStart = up.start;
    std::int32_t* upLabel = up.label;
    // Upper run k is light when its parity is this; the indices are compared signed, as l may fall below 0.
    const std::ptrdiff_t upLightParity = up.runs.firstIsLight ? 0 : 1;
    std::ptrdiff_t u = 0; // the upper run that holds column max(a - 1, 1)
    for (std::size_t k = 0; k < cur.count; ++k) {
        const std::int32_t a = curStart[k];
        const std::int32_t b = curStart[k + 1] - 1;
        const bool light = runIsLight(cur, k);
        std::ptrdiff_t ub; // the upper run that holds column b
        if constexpr (columnsAbove) {
            u = up.runAt[static_cast<std::size_t>(std::max(a - 1, 1))];
            ub = up.runAt[static_cast<std::size_t>(b)];
        } else {
            for (ub = u; upStart[ub + 1] <= b;)
                ++ub;
        }
        const std::ptrdiff_t parity = light ? upLightParity : 1 - upLightParity;
        const std::ptrdiff_t f = u + ((u & 1) != parity ? 1 : 0);
        const std::ptrdiff_t l = ub - ((ub & 1) != parity ? 1 : 0);
        std::ptrdiff_t v = f;
        std::int32_t mine;
        if ((a == 1) & light) {
            mine = regions.find(frame); // the frame column on the left
        } else if (l >= f) {
            if (upStart[f] > a)
                regions.swallowedAtBirth(light);
            mine = regions.find(upLabel[f]);
            upLabel[f] = mine;
            v += 2;
        } else {
            mine = regions.created(light);
        }
        // Roots found are written back, so later rows start their search from them.
        for (; v <= l; v += 2) {
            const std::int32_t upper = regions.find(upLabel[v]);
            upLabel[v] = upper;
            if (upper != mine)
                mine = regions.join(mine, upper);
        }
        curLabel[k] = mine;
        reachesUp[k] = l >= f;
        if constexpr (!columnsAbove)
            u = ub; // the next run's column a - 1 is this one's b
    }
}

// A row's runs and their labels, kept while the next row is labelled against it and handed from one scan to
// the next: start has room for a run at every pixel and the closing start (width + 1, labelled the frame),
// and for a row of short runs runAt holds the run of each column, with eight entries of room past the last
// column for the spill of fillRun.
struct LabelledRow {
    LabelledRow() = default;
    explicit LabelledRow(std::int32_t width)
        : start(static_cast<std::size_t>(width) + 2), label(static_cast<std::size_t>(width) + 2),
          runAt(static_cast<std::size_t>(width) + 9) {}

    // Row 0, the frame: one light run over the whole width.
    static LabelledRow frameRow(std::int32_t width, std::int32_t frame) {
        LabelledRow row(width);
        row.start[0] = 1;
        row.label[0] = frame;
        row.start[1] = width + 1;
        row.label[1] = frame;
        row.runs = {1, true};
        return row;
    }

    UpperRow upper() { return {runs, start.data(), label.data(), columns ? runAt.data() : nullptr}; }

    RowRuns runs;
    bool columns = false; // runAt is filled
    std::vector<std::int32_t> start;
    std::vector<std::int32_t> label;
    std::vector<std::int32_t> runAt;
};

// The labels of a row of short runs into its cells of the map, column by column from the run of each, which
// costs no branch.
inline void writeMapRow(const LabelledRow& row, std::int32_t width, std::int32_t frame, std::int32_t* cells) {
    cells[0] = frame;
    const std::int32_t* label = row.label.data();
    const std::int32_t* runAt = row.runAt.data();
    std::int32_t x = 1;
#if defined(__SSE2__)
    // Streamed past the cache: the map is read again only once the whole picture is scanned, and a store that
    // misses would first read the line it writes.
    for (; x <= width && reinterpret_cast<std::uintptr_t>(cells + x) % 16 != 0; ++x)
        cells[x] = label[runAt[x]];
    for (; x + 3 <= width; x += 4)
        _mm_stream_si128(
            reinterpret_cast<__m128i*>(cells + x),
            _mm_setr_epi32(label[runAt[x]], label[runAt[x + 1]], label[runAt[x + 2]], label[runAt[x + 3]]));
#endif
    for (; x <= width; ++x)
        cells[x] = label[runAt[x]];
}

// Splits rows first .. last into runs, labels them against above (the row before first, left holding the last
// row done), puts the labels in out, as keeper, and offers each row's pairs of neighbouring labels to pairs.
// Stops early when regions.goOn(y) says so. Returns the rows done.
template <typename Regions>
std::int32_t scanRows(const PixelGeometry& g, const std::uint8_t* bytes, std::int32_t first,
                      std::int32_t last, LabelledRow& above, RowLabels& out, std::uint8_t keeper,
                      std::int32_t frame, Regions& regions, BoundaryPairs& pairs) {
    // For rows of short runs (noise), the run of the row that holds each column: the upper runs of a run are
    // then looked up, where a search would stop after a random number of steps, mispredicted half the time.
    // Rows of long runs keep the search, which costs less than writing a column each. A row is taken for
    // short runs when the row above was; a guess gone wrong is put right with a fill by runs.
    const std::int32_t w = g.width;
    const std::size_t rowBytes = (static_cast<std::size_t>(w) + 1) * sizeof(std::int32_t);
    LabelledRow current(w);
    // Of the row's runs; not bytes, which the compiler must take to alias everything the labelling reads.
    const auto reachesUp = std::make_unique<bool[]>(static_cast<std::size_t>(w) + 1);
    // The map is paged in a block of rows at a time ahead of the row being written.
    constexpr std::int32_t pageInRows = 16;
    std::int32_t pagedIn = first;
    std::int32_t y = first;
    for (; y <= last && regions.goOn(y); ++y) {
        const std::uint8_t* pixels = bytes + std::int64_t{y - 1} * g.stride;
        RowRuns& cur = current.runs;
        std::int32_t* curStart = current.start.data();
        cur.count = above.columns ? rowRuns<true>(pixels, w, g.bytesPerPixel, curStart, current.runAt.data(),
                                                  cur.firstIsLight)
                                  : longRowRuns(pixels, w, g.bytesPerPixel, curStart, cur.firstIsLight);
        curStart[cur.count] = w + 1;
        current.label[cur.count] = frame;
        current.columns = cur.count * 8 > static_cast<std::size_t>(w);
        if (current.columns && !above.columns)
            for (std::size_t k = 0; k < cur.count; ++k)
                fillRun(current.runAt.data(), curStart[k], curStart[k + 1] - 1, static_cast<std::int32_t>(k),
                        w + 9);

        std::int32_t* curLabel = current.label.data();
        if (above.columns)
            labelRow<true>(cur, curStart, curLabel, reachesUp.get(), above.upper(), frame, regions);
        else
            labelRow<false>(cur, curStart, curLabel, reachesUp.get(), above.upper(), frame, regions);
        pairs.offerRow(curLabel, reachesUp.get(), cur.count);
        if (current.columns) {
            if (y >= pagedIn) {
                pagedIn = std::min(last + 1, y + pageInRows);
                pageInForWriting(out.mapRow(y), static_cast<std::size_t>(pagedIn - y) * rowBytes);
            }
            writeMapRow(current, w, frame, out.mapRow(y));
            out.putInMap(y);
        } else {
            out.keep(y, curStart, curLabel, cur.count, keeper);
        }
        std::swap(above, current);
        regions.rowDone(y);
    }
#if defined(__SSE2__)
    _mm_sfence(); // the streamed rows are seen by whoever reads the map next, on any thread
#endif
    return y - first;
}

} // namespace zelmar::parsing
