#include "helper_threads.h"

#include "pair_set.h"
#include "region_links.h"

#include <algorithm>
#include <vector>

namespace zelmar::parsing {
namespace {

// Writes value over data[0 .. size) a megabyte at a time; false when told to stop first.
template <typename T>
bool fillUnlessStopped(T* data, std::size_t size, const T& value, const std::atomic<bool>& stop) {
    constexpr std::size_t chunk = (std::size_t{1} << 20) / sizeof(T);
    for (std::size_t at = 0; at < size; at += chunk) {
        if (stop.load(std::memory_order_relaxed))
            return false;
        std::fill_n(data + at, std::min(chunk, size - at), value);
    }
    return true;
}

// The same for an emptied vector that grows to size.
template <typename T>
bool growUnlessStopped(std::vector<T>& vector, std::size_t size, const T& value,
                       const std::atomic<bool>& stop) {
    constexpr std::size_t chunk = (std::size_t{1} << 20) / sizeof(T);
    vector.clear();
    vector.reserve(size);
    while (vector.size() < size) {
        if (stop.load(std::memory_order_relaxed))
            return false;
        vector.resize(std::min(size, vector.size() + chunk), value);
    }
    return true;
}

} // namespace

// In a one-shot parse all of it is fresh from the system, and the first touch of a page costs about as much
// as the work then done in it; a helper makes those touches while the calling thread plays back the second
// thread's record and the other core would stand idle. An estimate that falls short only leaves the rest to
// be paged in where it is used.
void warmUp(Scratch& scratch, std::size_t regions, const std::atomic<bool>& stop) noexcept {
    try {
        const std::size_t table =
            static_cast<std::size_t>(doubledSizeFor(static_cast<std::int64_t>(regions))) + 1;
        const std::size_t nodes = regions + regions / 32 + 64; // links, nearly one a region, and tree nodes
        const auto fill = [&stop](auto& array, std::size_t size, auto value) {
            return fillUnlessStopped(atLeast(array, size).data(), size, value, stop);
        };
        const auto grow = [&stop](auto& vector, std::size_t size, auto value) {
            return growUnlessStopped(vector, size, value, stop);
        };
        RegionTree& tree = scratch.tree;
        // In the order of use; the tree's arrays by id have room for the ids 0 .. table and one more.
        const auto emptyPairs = [&fill](PairSlots& pairs, std::size_t expected) {
            const std::size_t slots = PairSet::slotsFor(expected);
            if (!fill(pairs.slots, slots, PairSet::empty))
                return false;
            pairs.emptyAhead = slots;
            return true;
        };
        if (!emptyPairs(scratch.pairs, regions) || !emptyPairs(scratch.lowerPairs, lowerRowPairs(regions)))
            return;
        grow(scratch.links, table, NestingLink{}) && grow(scratch.regionTable, table, RegionRecord{}) &&
            grow(tree.nodeByRegion, table, std::int32_t{-1}) &&
            fill(scratch.isChild, table + 1, std::uint8_t{0}) &&
            fill(scratch.childOffsets, table + 1, std::int32_t{0}) &&
            fill(scratch.fill, table + 1, std::int32_t{0}) &&
            fill(scratch.children, nodes, std::int32_t{0}) && grow(tree.nodes, nodes, TreeNode{}) &&
            grow(tree.childOffsets, nodes + 1, std::int32_t{0}) &&
            grow(tree.childNodes, nodes, std::int32_t{0}) && grow(tree.rowInParent, nodes, std::int32_t{0});
    } catch (...) {
        // what is not paged in here is paged in where it is used
    }
}

} // namespace zelmar::parsing
