#pragma once
// Children grouped by parent in one flat array, in the order they were offered: the children of parent p are
// items[offsets[p] .. offsets[p + 1]). Used for the regions below each region (from the link table) and for
// the nodes below each tree node.

#include <cstdint>
#include <vector>

namespace zelmar {

struct ChildLists {
    std::vector<std::int32_t> offsets; // parentCount + 1 entries
    std::vector<std::int32_t> items;

    std::int32_t begin(std::int32_t parent) const { return offsets[static_cast<std::size_t>(parent)]; }
    std::int32_t end(std::int32_t parent) const { return offsets[static_cast<std::size_t>(parent) + 1]; }
    bool hasParent(std::int32_t parent) const {
        return parent >= 0 && static_cast<std::size_t>(parent) + 1 < offsets.size();
    }

    // pairCount pairs, pairAt(i) giving {parent, child} for i = 0..pairCount-1; a pair whose parent lies
    // outside 0..parentCount-1 is left out.
    template <typename PairAt>
    static ChildLists build(std::int32_t parentCount, std::int64_t pairCount, PairAt&& pairAt) {
        ChildLists lists;
        lists.offsets.assign(static_cast<std::size_t>(parentCount) + 1, 0);
        const auto counted = [parentCount](std::int32_t parent) { return parent >= 0 && parent < parentCount; };
        for (std::int64_t i = 0; i < pairCount; ++i)
            if (const std::int32_t parent = pairAt(i).first; counted(parent))
                ++lists.offsets[static_cast<std::size_t>(parent) + 1];
        for (std::size_t p = 1; p < lists.offsets.size(); ++p)
            lists.offsets[p] += lists.offsets[p - 1];
        lists.items.resize(static_cast<std::size_t>(lists.offsets.back()));
        std::vector<std::int32_t> fill(lists.offsets.begin(), lists.offsets.end() - 1);
        for (std::int64_t i = 0; i < pairCount; ++i) {
            const auto [parent, child] = pairAt(i);
            if (counted(parent))
                lists.items[static_cast<std::size_t>(fill[static_cast<std::size_t>(parent)]++)] = child;
        }
        return lists;
    }
};

} // namespace zelmar
