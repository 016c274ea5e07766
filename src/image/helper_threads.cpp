#include "helper_threads.h"

#include "pair_set.h"
#include "region_links.h"
#include "system_memory.h"

#include <algorithm>
#include <vector>

namespace zelmar::parsing {
namespace {

constexpr std::size_t chunkBytes = std::size_t{1} << 20;

// Pages in data[0 .. size) a megabyte at a time, contents as they are; false when told to stop first.
template <typename T> bool pageInUnlessStopped(T* data, std::size_t size, const std::atomic<bool>& stop) {
    const std::size_t bytes = size * sizeof(T);
    auto* at = reinterpret_cast<unsigned char*>(data);
    for (std::size_t done = 0; done < bytes; done += chunkBytes) {
        if (stop.load(std::memory_order_relaxed))
            return false;
        pageInForWriting(at + done, std::min(chunkBytes, bytes - done));
    }
    return true;
}

// Writes value over data[0 .. size) a megabyte at a time; false when told to stop first.
template <typename T>
bool fillUnlessStopped(T* data, std::size_t size, const T& value, const std::atomic<bool>& stop) {
    constexpr std::size_t chunk = chunkBytes / sizeof(T);
    for (std::size_t at = 0; at < size; at += chunk) {
        if (stop.load(std::memory_order_relaxed))
            return false;
        std::fill_n(data + at, std::min(chunk, size - at), value);
    }
    return true;
}

// The room of an emptied vector for size elements, paged in; its users write every element they use.
template <typename T>
bool reserveUnlessStopped(std::vector<T>& vector, std::size_t size, const std::atomic<bool>& stop) {
    vector.clear();
    vector.reserve(size);
    return pageInUnlessStopped(vector.data(), vector.capacity(), stop);
}

// A pair set's slots, all empty: fresh ones come zero (the empty key) from the system and need only paging
// in; the room of an earlier parse is emptied.
bool emptySlotsUnlessStopped(PairSlots& pairs, std::size_t slots, const std::atomic<bool>& stop) {
    static_assert(PairSet::empty == 0);
    if (pairs.slots.size() < slots) {
        pairs.slots = LargeArray<std::uint64_t>();
        pairs.slots = LargeArray<std::uint64_t>::zeroed(slots);
        if (!pageInUnlessStopped(pairs.slots.data(), slots, stop))
            return false;
    } else if (!fillUnlessStopped(pairs.slots.data(), slots, PairSet::empty, stop)) {
        return false;
    }
    pairs.emptyAhead = slots;
    return true;
}

} // namespace

// In a one-shot parse all of it is fresh from the system, and the first touch of a page costs about as much
// as the work then done in it; a helper pages it in while the calling thread plays back the second thread's
// record and the other core would stand idle. Paged in by the bulk call rather than written, a page costs
// about two thirds as much, so the helper gets through nearly all of it in that time. An estimate that falls
// short only leaves the rest to be paged in where it is used.
void warmUp(Scratch& scratch, std::size_t regions, const std::atomic<bool>& stop) noexcept {
    try {
        const std::size_t table =
            static_cast<std::size_t>(doubledSizeFor(static_cast<std::int64_t>(regions))) + 1;
        const std::size_t nodes = regions + regions / 32 + 64; // links, nearly one a region, and tree nodes
        const auto pageIn = [&stop](auto& array, std::size_t size) {
            return pageInUnlessStopped(atLeast(array, size).data(), size, stop);
        };
        const auto reserve = [&stop](auto& vector, std::size_t size) {
            return reserveUnlessStopped(vector, size, stop);
        };
        RegionTree& tree = scratch.tree;
        // In the order of use; the tree's arrays by id have room for the ids 0 .. table and one more.
        emptySlotsUnlessStopped(scratch.pairs, PairSet::slotsFor(regions), stop) &&
            emptySlotsUnlessStopped(scratch.lowerPairs, PairSet::slotsFor(lowerRowPairs(regions)), stop) &&
            reserve(scratch.links, table) && reserve(scratch.regionTable, table) &&
            reserve(tree.nodeByRegion, table) && pageIn(scratch.isChild, table + 1) &&
            pageIn(scratch.childOffsets, table + 1) && pageIn(scratch.children, nodes) &&
            reserve(tree.nodes, nodes) && reserve(tree.childOffsets, nodes + 1) &&
            reserve(tree.childNodes, nodes) && reserve(tree.rowInParent, nodes);
    } catch (...) {
        // what is not paged in here is paged in where it is used
    }
}

} // namespace zelmar::parsing
