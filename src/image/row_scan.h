#pragma once
// Rows split into runs and labelled against the row above, for any bookkeeping of regions: the calling
// thread's, which hands out public ids as it goes, and the second thread's, which records what it would do.

#include "pixel_geometry.h"
#include "row_runs.h"

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
template <bool columnsAbove, typename Regions>
void labelRow(const RowRuns& cur, const std::int32_t* curStart, std::int32_t* curLabel, const UpperRow& up,
              std::int32_t frame, Regions& regions) {
    const std::int32_t* upStart = up.start;
    std::int32_t* upLabel = up.label;
    const std::size_t upCount = up.runs.count;
    std::size_t u = 0; // the upper run that holds column max(a - 1, 1)
    for (std::size_t k = 0; k < cur.count; ++k) {
        const std::int32_t a = curStart[k];
        const std::int32_t b = curStart[k + 1] - 1;
        const bool light = runIsLight(cur, k);
        const std::int32_t left = std::max(a - 1, 1);
        std::size_t ua; // the upper run above column a
        if constexpr (columnsAbove) {
            u = static_cast<std::size_t>(up.runAt[static_cast<std::size_t>(left)]);
            ua = static_cast<std::size_t>(up.runAt[static_cast<std::size_t>(a)]);
        } else {
            while (upStart[u + 1] <= left)
                ++u;
            ua = upStart[u + 1] <= a ? u + 1 : u;
        }

        // The first pixel takes the left, upper or upper-left neighbour's region, or a new one; the rest of
        // the run takes its left neighbour's. Which neighbour is a coin toss in noise, so the choice is made
        // by selection, not by branches.
        const bool onFrame = (a == 1) & light; // the frame column on the left
        const bool sameAbove = runIsLight(up.runs, ua) == light;
        const bool sameUpperLeft = (a != 1) & (runIsLight(up.runs, u) == light);
        // The first upper run of the run's class from column a on.
        std::size_t v = ua + (sameAbove ? 0 : 1);
        std::int32_t mine;
        if (onFrame | sameAbove | sameUpperLeft) {
            mine = regions.find(onFrame ? frame : upLabel[sameAbove ? ua : u]);
        } else if (v < upCount && upStart[v] <= b) {
            // A new region that the upper one at v swallows at once: it keeps the upper region's set.
            regions.swallowedAtBirth(light);
            mine = regions.find(upLabel[v]);
            upLabel[v] = mine;
            v += 2;
        } else {
            mine = regions.created(light);
        }

        // Each upper region of the same class above the run joins it, keeping the upper region's id. Roots
        // found are written back, so later rows start their search from them.
        for (; v < upCount && upStart[v] <= b; v += 2) {
            const std::int32_t upper = regions.find(upLabel[v]);
            upLabel[v] = upper;
            if (upper != mine)
                mine = regions.join(mine, upper);
        }
        curLabel[k] = mine;
    }
}

// The run arrays a scan writes into: starts and labels of every row's runs, each row closed by a start of
// width + 1 whose label is the frame's.
struct RunArrays {
    std::int32_t* start;
    std::int32_t* label;
    std::vector<RowRuns>& rows;
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
    for (; y <= last && regions.goOn(y); ++y) {
        RowRuns& cur = runs.rows[static_cast<std::size_t>(y)];
        cur.first = at;
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
