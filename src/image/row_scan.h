#pragma once
// Rows split into runs and labelled against the row above, for any bookkeeping of regions: the calling
// thread's, which hands out public ids as it goes, and the second thread's, which records what it would do.

#include "pixel_geometry.h"
#include "row_runs.h"
#include "system_memory.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace zelmar::parsing {

// The row above the one being labelled: its runs, their labels (roots found are written back) and, for a
// row of short runs, the run that holds each column.
struct UpperRow {
    RowRuns runs;
    const std::int32_t* start = nullptr;
    std::int32_t* label = nullptr;
    const std::int32_t* runAt = nullptr; // null: found by a search
};

// Labels the runs of one row against the row above. Regions decides what a new region, a region that an
// upper one swallows at birth, and a join of two regions do.
//
// A run touches the upper runs over columns a - 1 .. b (its first pixel's upper-left and upper neighbours,
// and above the rest); those of its own class are every other one, f, f + 2 .. l. The first pixel takes the
// left neighbour's region (the frame's), else the upper run f's when f reaches column a, else a new one that
// f, if any, swallows at once; each later upper run of its class then joins it. Noise makes every one of
// these choices a coin toss, so they are reduced to the fewest branches: the upper-left and upper
// neighbours are not told apart, and f is never looked up twice.
template <bool columnsAbove, typename Regions>
void labelRow(const RowRuns& cur, const std::int32_t* curStart, std::int32_t* curLabel, const UpperRow& up,
              std::int32_t frame, Regions& regions) {
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
        if constexpr (!columnsAbove)
            u = ub; // the next run's column a - 1 is this one's b
    }
}

// The run arrays a scan writes into: starts and labels of every row's runs, each row closed by a start of
// width + 1 whose label is the frame's.
struct RunArrays {
    std::int32_t* start;
    std::int32_t* label;
    std::vector<RowRuns>& rows;
    std::size_t capacity; // entries of start and of label
};

// Row 0, the frame: one light run over the whole width. Returns where the next row's runs begin.
inline std::size_t writeFrameRow(const RunArrays& runs, std::int32_t width, std::int32_t frame) {
    runs.start[0] = 1;
    runs.label[0] = frame;
    runs.start[1] = width + 1;
    runs.label[1] = frame;
    runs.rows[0] = {0, 1, true};
    return 2;
}

// Splits rows first .. last into runs, written from index at on, and labels them; above is the row before
// first. Stops early when regions.goOn(y) says so. Returns the rows done; at ends past the last run written.
template <typename Regions>
std::int32_t scanRows(const PixelGeometry& g, const std::uint8_t* bytes, std::int32_t first,
                      std::int32_t last, UpperRow above, RunArrays runs, std::size_t& at, std::int32_t frame,
                      Regions& regions) {
    // For rows of short runs (noise), the run of the row that holds each column: the upper runs of a run are
    // then looked up, where a search would stop after a random number of steps, mispredicted half the time.
    // Rows of long runs keep the search, which costs less than writing a column each. A row is taken for
    // short runs when the row above was; a guess gone wrong is put right with a fill by runs. Eight entries
    // of room past the last column take the spill of fillRun.
    const std::int32_t w = g.width;
    std::vector<std::int32_t> upRunAt(static_cast<std::size_t>(w) + 9);
    std::vector<std::int32_t> curRunAt(static_cast<std::size_t>(w) + 9);
    if (above.runAt != nullptr)
        std::copy_n(above.runAt, w + 1, upRunAt.begin());
    bool upColumns = above.runAt != nullptr;
    std::int32_t y = first;
    // The run arrays are paged in a block at a time ahead of the row being written.
    constexpr std::size_t pageInBlock = std::size_t{1} << 16;
    std::size_t pagedIn = at;
    for (; y <= last && regions.goOn(y); ++y) {
        RowRuns& cur = runs.rows[static_cast<std::size_t>(y)];
        cur.first = at;
        if (at + static_cast<std::size_t>(w) + 2 > pagedIn && pagedIn < runs.capacity) {
            const std::size_t block = std::min(pageInBlock, runs.capacity - pagedIn) * sizeof(std::int32_t);
            pageInForWriting(runs.start + pagedIn, block);
            pageInForWriting(runs.label + pagedIn, block);
            pagedIn += pageInBlock;
        }
        const std::uint8_t* pixels = bytes + std::int64_t{y - 1} * g.stride;
        cur.count = upColumns ? rowRuns<true>(pixels, w, g.bytesPerPixel, runs.start + at, curRunAt.data(),
                                              cur.firstIsLight)
                              : longRowRuns(pixels, w, g.bytesPerPixel, runs.start + at, cur.firstIsLight);
        runs.start[at + cur.count] = w + 1;
        runs.label[at + cur.count] = frame;
        at += cur.count + 1;
        const std::int32_t* curStart = runs.start + cur.first;
        const bool curColumns = cur.count * 8 > static_cast<std::size_t>(w);
        if (curColumns && !upColumns)
            for (std::size_t k = 0; k < cur.count; ++k)
                fillRun(curRunAt.data(), curStart[k], curStart[k + 1] - 1, static_cast<std::int32_t>(k),
                        w + 9);

        above.runAt = upRunAt.data();
        if (upColumns)
            labelRow<true>(cur, curStart, runs.label + cur.first, above, frame, regions);
        else
            labelRow<false>(cur, curStart, runs.label + cur.first, above, frame, regions);
        above = {cur, curStart, runs.label + cur.first, nullptr};
        std::swap(upRunAt, curRunAt);
        upColumns = curColumns;
        regions.rowDone(y);
    }
    return y - first;
}

} // namespace zelmar::parsing
