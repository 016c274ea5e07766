#pragma once
// The working arrays a parse leaves for the next one, and the sizing rules its stages share.

#include "large_array.h"
#include "regions.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zelmar {

// The slots of a set of id pairs.
struct PairSlots {
    LargeArray<std::uint64_t> slots;
    std::size_t emptyAhead = 0; // the leading slots known to hold no pair, filled ahead
};

struct ParseScratch::Arrays {
    LargeArray<std::int32_t> parent;
    PairSlots pairs;      // the links of the upper rows, and at last of all
    PairSlots lowerPairs; // the links of the lower rows, read on a second thread
    LargeArray<std::uint8_t> isChild;
    LargeArray<std::int32_t> childOffsets;
    LargeArray<std::int32_t> children;
    // Room for the link table, the region table and the tree of the parse under way, paged in ahead of them;
    // each is taken by the step that builds it.
    std::vector<NestingLink> links;
    std::vector<RegionRecord> regionTable;
    RegionTree tree;
};

namespace parsing {

using Scratch = ParseScratch::Arrays;

// Table sizes start at 100 and double whenever an entry past the end is needed.
inline std::int32_t doubledSizeFor(std::int64_t highestIndex) {
    std::int64_t size = initialTableSize;
    while (size < highestIndex)
        size *= 2;
    return static_cast<std::int32_t>(size);
}

template <typename T> LargeArray<T>& atLeast(LargeArray<T>& array, std::size_t size) {
    if (array.size() < size)
        array = LargeArray<T>(size);
    return array;
}

} // namespace parsing
} // namespace zelmar
