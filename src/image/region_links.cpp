#include "region_links.h"

#include "helper_threads.h"
#include "large_array.h"
#include "pair_set.h"

#include <algorithm>
#include <atomic>
#include <optional>
#include <thread>
#include <utility>

namespace zelmar::parsing {
namespace {

// The pairs of the scan are settled this many at a time: their slots, fetched ahead as they are offered, are
// still in the cache when they are looked at.
constexpr std::size_t pairsABatch = 256;

// Offers pairs[from .. to) of a scan as pairs of final ids; each pair that known has not met before is handed
// to newPair, in order.
template <typename NewPair>
void offerPairs(const std::uint64_t* pairs, std::size_t from, std::size_t to, const std::int32_t* finalIds,
                PairSet& known, NewPair&& newPair) {
    for (std::size_t at = from; at < to;) {
        const std::size_t end = std::min(to, at + pairsABatch);
        for (; at < end; ++at)
            known.offer(finalIds[BoundaryPairs::leftOf(pairs[at])],
                        finalIds[BoundaryPairs::rightOf(pairs[at])]);
        known.settle(newPair);
    }
}

// The second thread's pairs, each the first of its kind there, in order, read on a second thread and handed
// over a batch at a time: the calling thread merges what there is while the rest is read.
struct LowerPairs {
    LowerPairs(const BoundaryPairs& scanned, const std::int32_t* ids, std::size_t expected, PairSlots& slots)
        : pairs(scanned), finalIds(ids), known(expected, slots), found(scanned.size()) {}

    void readOnThread(const std::atomic<bool>& stop) noexcept {
        try {
            std::size_t n = 0;
            const auto keep = [this, &n](std::int32_t left, std::int32_t right) {
                found[n++] = BoundaryPairs::pairOf(left, right);
            };
            for (std::size_t at = 0; at < pairs.size() && !stop.load(std::memory_order_relaxed);) {
                const std::size_t end = std::min(pairs.size(), at + pairsABatch);
                offerPairs(pairs.data(), at, end, finalIds, known, keep);
                handedOver.store(n, std::memory_order_release);
                read.store(end, std::memory_order_release);
                at = end;
            }
        } catch (...) {
            // the pairs not read are read by the calling thread
        }
        ended.store(true, std::memory_order_release);
    }

    const BoundaryPairs& pairs;
    const std::int32_t* finalIds;
    PairSet known;
    LargeArray<std::uint64_t> found; // room for every pair; only what is written is touched
    std::atomic<std::size_t> handedOver{0};
    std::atomic<std::size_t> read{0}; // the pairs read so far
    std::atomic<bool> ended{false};
};

} // namespace

// Each region but the root usually has one parent link, so the live region count is a good first size of the
// link table. The second thread's first pairs that the upper rows have met already are no links: what is left
// of them follows the upper rows' links in their order, which is raster order of the whole.
void linkRegions(RegionTables& tables, const ScannedPairs& pairs, const std::int32_t* finalIds,
                 const RegionIds& ids, Scratch& scratch, bool secondThread) {
    const std::size_t liveRegions = ids.liveCount();
    PairSet known(liveRegions, scratch.pairs);
    std::vector<NestingLink> links = std::move(scratch.links);
    links.assign(1, NestingLink{});
    links.reserve(liveRegions + 1);
    const auto keep = [&links](std::int32_t left, std::int32_t right) { links.push_back({right, left}); };

    const BoundaryPairs* second =
        pairs.second != nullptr && pairs.second->size() > 0 ? pairs.second : nullptr;
    std::optional<LowerPairs> lower;
    ShareThread reader; // after lower: it ends before what it reads and writes goes
    if (second != nullptr && secondThread) {
        lower.emplace(*second, finalIds, lowerRowPairs(liveRegions), scratch.lowerPairs);
        reader.start([&lower = *lower](const std::atomic<bool>& stop) { lower.readOnThread(stop); });
    }
    offerPairs(pairs.own.data(), 0, pairs.ownRestFrom, finalIds, known, keep);
    if (second != nullptr) {
        std::size_t rest = 0; // the second thread's pairs left to read here
        if (lower && !reader.takeBackUnlessBegun()) {
            std::size_t merged = 0;
            for (bool ended = false; !ended;) {
                ended = lower->ended.load(std::memory_order_acquire);
                const std::size_t handedOver = lower->handedOver.load(std::memory_order_acquire);
                if (merged == handedOver && !ended)
                    std::this_thread::yield();
                const std::size_t from = merged;
                for (; merged < handedOver; ++merged) {
                    const std::uint64_t pair = lower->found[merged];
                    known.offer(BoundaryPairs::leftOf(pair), BoundaryPairs::rightOf(pair));
                    if ((merged - from) % pairsABatch == pairsABatch - 1)
                        known.settle(keep);
                }
                known.settle(keep);
            }
            reader.end(true);
            rest = lower->read.load(std::memory_order_acquire);
        }
        // Every pair met before is in known by now, so these need no set of their own.
        offerPairs(second->data(), rest, second->size(), finalIds, known, keep);
    }
    offerPairs(pairs.own.data(), pairs.ownRestFrom, pairs.own.size(), finalIds, known, keep);

    tables.regionTable = ids.table(std::move(scratch.regionTable));
    tables.linkCount = static_cast<std::int32_t>(links.size() - 1);
    links.resize(static_cast<std::size_t>(doubledSizeFor(tables.linkCount)) + 1);
    tables.linkTable = std::move(links);
}

} // namespace zelmar::parsing
