#include "region_links.h"

#include "helper_threads.h"
#include "large_array.h"
#include "pair_set.h"

#include <array>
#include <atomic>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zelmar::parsing {
namespace {

// The columns x (2 .. width) of a map row where the label differs from the one before, from out[0] on;
// returns how many. The cells of a run share a label and neighbouring runs are of two classes, so these are
// where the runs begin. out has room for width + 3 entries. Noise changes the label at most columns, so no
// column costs a branch: four are compared at a time where the processor allows, and their changes written at
// once.
std::size_t labelChanges(const std::int32_t* cells, std::int32_t width, std::int32_t* out) {
    std::size_t n = 0;
    std::int32_t x = 2;
#if defined(__SSE2__)
    // Lane i of row m: the i-th set bit of m, the rest of the row anything.
    static constexpr auto setBits = [] {
        std::array<std::array<std::int32_t, 4>, 16> table{};
        for (int m = 0; m < 16; ++m)
            for (int bit = 0, lane = 0; bit < 4; ++bit)
                if ((m >> bit & 1) != 0)
                    table[static_cast<std::size_t>(m)][static_cast<std::size_t>(lane++)] = bit;
        return table;
    }();
    static constexpr std::array<std::uint8_t, 16> bitCount = {0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4};
    for (; x + 3 <= width; x += 4) {
        const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cells + x));
        const __m128i before = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cells + x - 1));
        const int same = _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(here, before)));
        const auto changed = static_cast<std::size_t>(~same & 15);
        const __m128i lanes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(setBits[changed].data()));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + n), _mm_add_epi32(lanes, _mm_set1_epi32(x)));
        n += bitCount[changed];
    }
#endif
    for (; x <= width; ++x) {
        out[n] = x;
        n += cells[x] != cells[x - 1] ? 1 : 0;
    }
    return n;
}

// Reads the boundaries of a row left to right and offers the pair of final ids met at each.
class BoundaryReader {
public:
    BoundaryReader(const RowLabels& rows, const std::int32_t* finalIds)
        : rows_(rows), finalIds_(finalIds), changes_(static_cast<std::size_t>(rows.width()) + 3) {}

    // Each pair of the row that known has not met before is handed to newPair, in order.
    template <typename NewPair> void readRow(std::int32_t y, PairSet& known, NewPair&& newPair) {
        const RowPlace& place = rows_.place(y);
        if (place.inMap()) {
            const std::int32_t* cells = rows_.mapRow(y);
            const std::size_t n = labelChanges(cells, rows_.width(), changes_.data());
            std::int32_t previous = finalIds_[cells[1]];
            for (std::size_t i = 0; i < n; ++i) {
                const std::int32_t id = finalIds_[cells[changes_[i]]];
                known.offer(previous, id);
                previous = id;
            }
        } else {
            const std::int32_t* labels = rows_.labels(place);
            std::int32_t previous = finalIds_[labels[0]];
            for (std::size_t k = 1; k < place.count; ++k) {
                const std::int32_t id = finalIds_[labels[k]];
                known.offer(previous, id);
                previous = id;
            }
        }
        known.settle(newPair);
    }

private:
    const RowLabels& rows_;
    const std::int32_t* finalIds_;
    std::vector<std::int32_t> changes_;
};

// The pairs of the lower rows, each the first of its kind there, in order, read on a second thread and handed
// over as each row is done: the calling thread merges what there is while the rest is read.
struct LowerRows {
    LowerRows(const RowLabels& rows, const std::int32_t* finalIds, std::int32_t first, std::size_t expected,
              PairSlots& slots)
        : reader(rows, finalIds), known(expected, slots),
          found(static_cast<std::size_t>(rows.width()) * static_cast<std::size_t>(rows.height() - first + 1)),
          rowsDone(first) {}

    void readOnThread(std::int32_t last, const std::atomic<bool>& stop) noexcept {
        try {
            std::size_t n = 0;
            for (std::int32_t y = rowsDone.load(std::memory_order_relaxed);
                 y <= last && !stop.load(std::memory_order_relaxed); ++y) {
                reader.readRow(y, known, [this, &n](std::int32_t left, std::int32_t right) {
                    found[n++] = std::uint64_t(std::uint32_t(left)) << 32 | std::uint32_t(right);
                });
                handedOver.store(n, std::memory_order_release);
                rowsDone.store(y + 1, std::memory_order_release);
            }
        } catch (...) {
            // the rows not done are read by the calling thread
        }
        ended.store(true, std::memory_order_release);
    }

    BoundaryReader reader;
    PairSet known;
    LargeArray<std::uint64_t> found; // room for a pair a boundary; only what is written is touched
    std::atomic<std::size_t> handedOver{0};
    std::atomic<std::int32_t> rowsDone; // the first row not done
    std::atomic<bool> ended{false};
};

} // namespace

// Each region but the root usually has one parent link, so the live region count is a good first size of the
// link table. The lower rows' first pairs that the upper rows have met already are no links: what is left of
// them follows the upper rows' links in their order, which is raster order of the whole.
void linkRegions(RegionTables& tables, const RowLabels& rows, const std::int32_t* finalIds,
                 const RegionIds& ids, Scratch& scratch, std::int32_t splitRow) {
    const std::int32_t height = rows.height();
    const bool split = splitRow >= 2 && splitRow <= height;
    const std::size_t liveRegions = ids.liveCount();
    PairSet known(liveRegions, scratch.pairs);
    std::vector<NestingLink> links = std::move(scratch.links);
    links.assign(1, NestingLink{});
    links.reserve(liveRegions + 1);
    const auto keep = [&links](std::int32_t left, std::int32_t right) { links.push_back({right, left}); };

    std::optional<LowerRows> lower;
    ShareThread second; // after lower: it ends before what it reads and writes goes
    if (split) {
        lower.emplace(rows, finalIds, splitRow, lowerRowPairs(liveRegions), scratch.lowerPairs);
        second.start(
            [&lower = *lower, height](const std::atomic<bool>& stop) { lower.readOnThread(height, stop); });
    }
    BoundaryReader reader(rows, finalIds);
    for (std::int32_t y = 1; y <= (split ? splitRow - 1 : height); ++y)
        reader.readRow(y, known, keep);
    if (split) {
        std::int32_t rest = splitRow; // the lower rows left to read here
        if (!second.takeBackUnlessBegun()) {
            // Merged a few at a time, while the slots fetched ahead for them are still in the cache.
            constexpr std::size_t batch = 64;
            std::size_t merged = 0;
            for (bool ended = false; !ended;) {
                ended = lower->ended.load(std::memory_order_acquire);
                const std::size_t handedOver = lower->handedOver.load(std::memory_order_acquire);
                if (merged == handedOver && !ended)
                    std::this_thread::yield();
                for (; merged < handedOver; ++merged) {
                    const std::uint64_t pair = lower->found[merged];
                    known.offer(static_cast<std::int32_t>(pair >> 32),
                                static_cast<std::int32_t>(pair & 0xffffffffu));
                    if (merged % batch == batch - 1)
                        known.settle(keep);
                }
                known.settle(keep);
            }
            second.end(true);
            rest = lower->rowsDone.load(std::memory_order_acquire);
        }
        // Every pair of the rows above is in known by now, so these rows need no set of their own.
        for (std::int32_t y = rest; y <= height; ++y)
            reader.readRow(y, known, keep);
    }

    tables.regionTable = ids.table(std::move(scratch.regionTable));
    tables.linkCount = static_cast<std::int32_t>(links.size() - 1);
    links.resize(static_cast<std::size_t>(doubledSizeFor(tables.linkCount)) + 1);
    tables.linkTable = std::move(links);
}

} // namespace zelmar::parsing
