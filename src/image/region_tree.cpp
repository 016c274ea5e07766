#include "regions.h"

#include "parse_scratch.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace zelmar {

using parsing::atLeast;

RegionTree buildRegionTree(RegionTables& tables, ParseScratch* given) {
    ParseScratch own;
    parsing::Scratch& scratch = (given ? *given : own).arrays();
    // The room paged in ahead for this tree, if any; the arrays not emptied here are assigned whole below.
    RegionTree tree = std::exchange(scratch.tree, RegionTree());
    tree.nodes.clear();
    tree.childNodes.clear();
    const std::int32_t tableSize = tables.regionTableSize();
    tree.nodeByRegion.assign(static_cast<std::size_t>(tableSize) + 1, -1);
    const std::int32_t count = tables.usableLinkCount();
    const auto link = [&](std::int32_t i) -> const NestingLink& {
        return tables.linkTable[static_cast<std::size_t>(i)];
    };
    const auto inTable = [&](std::int32_t id) { return id >= 1 && id <= tableSize; };

    // The root: the parent of the first link whose parent is no link's child.
    const auto slots = static_cast<std::size_t>(tableSize) + 2;
    std::uint8_t* isChild = atLeast(scratch.isChild, slots).data();
    std::fill_n(isChild, slots, std::uint8_t{0});
    for (std::int32_t i = 1; i <= count; ++i)
        if (inTable(link(i).childId))
            isChild[static_cast<std::size_t>(link(i).childId)] = 1;
    std::int32_t root = 0;
    for (std::int32_t i = 1; i <= count && root == 0; ++i) {
        const std::int32_t p = link(i).parentId;
        if (inTable(p) && !isChild[static_cast<std::size_t>(p)])
            root = p;
    }
    if (root != 0) {
        // Children of every region in link order: each region's entry first counts its children up to its
        // end, then the links, taken from the last, put each child below its parent's end and move it down,
        // which leaves the entry at the start. No second array of cursors.
        std::int32_t* offsets = atLeast(scratch.childOffsets, slots).data();
        std::fill_n(offsets, slots, 0);
        for (std::int32_t i = 1; i <= count; ++i)
            if (inTable(link(i).parentId))
                ++offsets[static_cast<std::size_t>(link(i).parentId)];
        for (std::size_t id = 1; id < slots; ++id)
            offsets[id] += offsets[id - 1];
        std::int32_t* children =
            atLeast(scratch.children, static_cast<std::size_t>(offsets[slots - 1]) + 1).data();
        tree.nodes.reserve(static_cast<std::size_t>(count) + 1);
        for (std::int32_t i = count; i >= 1; --i)
            if (inTable(link(i).parentId))
                children[static_cast<std::size_t>(--offsets[static_cast<std::size_t>(link(i).parentId)])] =
                    link(i).childId;

        // Depth-first, each child's subtree before the next child; an explicit stack, as nesting can run
        // deep.
        struct Frame {
            std::int32_t regionId;
            std::int32_t node;
            std::int32_t next; // position in children
            std::int32_t depth;
        };
        tables.regionTable[static_cast<std::size_t>(root)].depth = 0;
        tree.nodes.push_back({root, -1, false});
        tree.nodeByRegion[static_cast<std::size_t>(root)] = 0;
        std::vector<Frame> stack{{root, 0, offsets[static_cast<std::size_t>(root)], 1}};
        const std::int32_t childCount = offsets[slots - 1];
        while (!stack.empty()) {
            Frame& top = stack.back();
            if (top.next == offsets[static_cast<std::size_t>(top.regionId) + 1]) {
                stack.pop_back();
                continue;
            }
            // Most children are leaves, so the children a few places on are met soon. Ids are handed out
            // again as regions merge, which scatters their entries: those are fetched ahead.
            if (const std::int32_t ahead = top.next + 32; ahead < childCount) {
                const std::int32_t id = children[static_cast<std::size_t>(ahead)];
                if (inTable(id)) {
                    __builtin_prefetch(tree.nodeByRegion.data() + id);
                    __builtin_prefetch(tables.regionTable.data() + id);
                    __builtin_prefetch(offsets + id);
                }
            }
            const std::int32_t child = children[static_cast<std::size_t>(top.next++)];
            if (!inTable(child) || tree.nodeByRegion[static_cast<std::size_t>(child)] != -1)
                continue; // already in the tree: skipped with its subtree
            tables.regionTable[static_cast<std::size_t>(child)].depth = top.depth;
            const auto node = static_cast<std::int32_t>(tree.nodes.size());
            tree.nodes.push_back({child, top.node, false});
            tree.nodeByRegion[static_cast<std::size_t>(child)] = node;
            tree.nodes[static_cast<std::size_t>(top.node)].expanded = true;
            // A leaf, as most are, needs no frame of its own.
            const std::int32_t first = offsets[static_cast<std::size_t>(child)];
            if (first != offsets[static_cast<std::size_t>(child) + 1])
                stack.push_back(Frame{child, node, first, top.depth + 1});
        }
    }

    // Children of each node, for the tree view's model.
    const std::size_t n = tree.nodes.size();
    tree.childOffsets.assign(n + 1, 0);
    for (const TreeNode& node : tree.nodes)
        if (node.parentNode >= 0)
            ++tree.childOffsets[static_cast<std::size_t>(node.parentNode) + 1];
    for (std::size_t i = 1; i <= n; ++i)
        tree.childOffsets[i] += tree.childOffsets[i - 1];
    tree.childNodes.resize(n > 0 ? n - 1 : 0);
    tree.rowInParent.assign(n, 0);
    // The regions' children are not needed any more: their room holds each node's next free slot.
    std::int32_t* fill = atLeast(scratch.children, n + 1).data();
    std::copy_n(tree.childOffsets.data(), n, fill);
    for (std::size_t i = 0; i < n; ++i) {
        const std::int32_t parent = tree.nodes[i].parentNode;
        if (parent < 0)
            continue;
        const std::int32_t slot = fill[static_cast<std::size_t>(parent)]++;
        tree.childNodes[static_cast<std::size_t>(slot)] = static_cast<std::int32_t>(i);
        tree.rowInParent[i] = slot - tree.childOffsets[static_cast<std::size_t>(parent)];
    }
    return tree;
}

} // namespace zelmar
