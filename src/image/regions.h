#pragma once
// Splitting the working image into regions of light and dark pixels, the links between bordering regions, the
// nesting tree, and the highlight of one region.
//
// Ids, tables and tree come out exactly as the two-pass labelling defines them (lowest free id for a new
// region, a merge keeps the upper region's id and frees the other, links in raster order of their first
// boundary, the depth-first tree walk in link order), but in one near-linear pass: union-find over the
// runs of each row instead of a whole-map relabel per merge, a hashed pair set instead of a table scan per
// boundary, children lists and an explicit stack instead of a recursive walk over the link table.

#include "large_array.h"
#include "pixel_buffer.h"
#include "pixel_geometry.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelmar {

struct RegionRecord {
    std::int32_t depth = 0;
    bool isLight = false;
    std::int32_t state = 0; // 0 free, 1 live, 4 live and milled
    bool operator==(const RegionRecord&) const = default;
};

constexpr std::int32_t regionFree = 0;
constexpr std::int32_t regionLive = 1;
constexpr std::int32_t regionMilled = 4;

struct NestingLink {
    std::int32_t childId = 0;
    std::int32_t parentId = 0;
    bool operator==(const NestingLink&) const = default;
};

// Region id of every position (x, y), x = 0..width, y = 0..height; row 0 and column 0 are the frame.
class LabelMap {
public:
    LabelMap() = default;
    // All cells 0.
    LabelMap(std::int32_t width, std::int32_t height);
    // Cells undefined, for a writer that fills every one.
    static LabelMap forOverwrite(std::int32_t width, std::int32_t height);

    std::int32_t width() const { return width_; }
    std::int32_t height() const { return height_; }
    bool isEmpty() const { return cells_.empty(); }

    std::int32_t at(std::int32_t x, std::int32_t y) const { return cells_[offset(x, y)]; }
    std::int32_t& at(std::int32_t x, std::int32_t y) { return cells_[offset(x, y)]; }
    // Cells (0, y) .. (width, y).
    const std::int32_t* row(std::int32_t y) const { return cells_.data() + offset(0, y); }
    std::int32_t* row(std::int32_t y) { return cells_.data() + offset(0, y); }

    bool operator==(const LabelMap& other) const;

private:
    std::size_t offset(std::int32_t x, std::int32_t y) const {
        return static_cast<std::size_t>(y) * static_cast<std::size_t>(width_ + 1) +
               static_cast<std::size_t>(x);
    }

    std::int32_t width_ = 0;
    std::int32_t height_ = 0;
    LargeArray<std::int32_t> cells_;
};

constexpr std::int32_t initialTableSize = 100;

struct RegionTables {
    LabelMap labelMap;
    // Indexed by region id from 1; element 0 is unused. Both tables start at 100 entries and double when
    // full.
    std::vector<RegionRecord> regionTable;
    std::vector<NestingLink> linkTable;
    std::int32_t linkCount = 0;

    std::int32_t regionTableSize() const {
        return regionTable.empty() ? 0 : std::int32_t(regionTable.size() - 1);
    }
    std::int32_t linkTableSize() const { return linkTable.empty() ? 0 : std::int32_t(linkTable.size() - 1); }
    // Entries 1..min(linkCount, linkTableSize()): the links that can be read.
    std::int32_t usableLinkCount() const;
    bool isLive(std::int32_t id) const {
        return id >= 1 && id <= regionTableSize() && regionTable[static_cast<std::size_t>(id)].state > 0;
    }
};

struct TreeNode {
    std::int32_t regionId = 0;
    std::int32_t parentNode = -1; // index in RegionTree::nodes, -1 for the root
    bool expanded = false;
    bool operator==(const TreeNode&) const = default;
};

// The tree view's nodes in the order they were added; the key of a node is "P" + region id, its text the id.
struct RegionTree {
    std::vector<TreeNode> nodes;

    bool isEmpty() const { return nodes.empty(); }
    // Node index of a region, or -1.
    std::int32_t nodeOfRegion(std::int32_t regionId) const;

    // Filled by buildRegionTree: node index by region id (-1: none) and each node's children in order.
    std::vector<std::int32_t> nodeByRegion;
    std::vector<std::int32_t>
        childOffsets; // children of node n: childNodes[childOffsets[n] .. childOffsets[n+1])
    std::vector<std::int32_t> childNodes;
    std::vector<std::int32_t> rowInParent;
};

std::string nodeKey(std::int32_t regionId);
// The key without its first character, as a 32-bit signed number; nothing when that is not a number.
std::optional<std::int32_t> regionIdOfKey(std::string_view key);

// Called now and then with the share of rows done (0..1); cheap enough to leave on.
using ProgressCallback = std::function<void(double)>;

// How a labelling shares its rows with a second thread: that thread scans the lower rows on their own while
// the calling thread scans the upper ones, and its record of new regions and joins is then played back in
// raster order, so ids, tables and tree come out exactly as from one thread. Whatever is set here, only the
// time taken changes; tests choose the split to check that.
struct ParseThreads {
    std::int64_t fromPixels = 1'000'000; // smaller pictures are scanned by the calling thread alone
    std::int32_t splitRow = 0;           // the second thread's first row (2 .. height); 0: the middle
    // This many rows for the second thread (fewer if its share has fewer), waited for; -1: as many as it gets
    // done while the calling thread scans the rows above.
    std::int32_t secondThreadRows = -1;
};

// Working arrays a parse leaves for the next one: a big image's arrays are fresh memory from the system
// otherwise, and their page faults cost as much as the labelling ("Резать 3D" parses again and again). An owner
// that parses repeatedly keeps one; it holds what the largest parse so far needed and goes with its owner. A
// copy starts empty: the arrays are no state of the parse.
class ParseScratch {
public:
    struct Arrays;
    ParseScratch();
    ~ParseScratch();
    ParseScratch(const ParseScratch&);
    ParseScratch& operator=(const ParseScratch&);
    Arrays& arrays() { return *arrays_; }

private:
    std::unique_ptr<Arrays> arrays_;
};

// Labelling and links of an image of at least one byte per pixel. bytes holds geometry.byteCount() bytes.
RegionTables labelRegions(const PixelGeometry& geometry, const std::uint8_t* bytes,
                          const ProgressCallback& progress = {}, const ParseThreads& threads = {},
                          ParseScratch* scratch = nullptr);

// Clears and builds the tree from the links and writes the depth of every region reached. A region already in
// the tree (one that borders two regions of the tree) is skipped with its subtree: no depth, no node, and its
// link does not mark the parent expanded.
RegionTree buildRegionTree(RegionTables& tables, ParseScratch* scratch = nullptr);

struct RegionAnalysis {
    RegionTables tables;
    RegionTree tree;
    // Counts the times the tables were emptied in place ("Градиент", "Отступить"): what was derived from them
    // before is stale.
    std::uint64_t tablesVersion = 0;
};

// "Разобрать": labelling, links and tree.
RegionAnalysis parseRegions(const PixelGeometry& geometry, const std::uint8_t* bytes,
                            const ProgressCallback& progress = {}, const ParseThreads& threads = {},
                            ParseScratch* scratch = nullptr);

// Paints every pixel of the region with the bytes 0, 255, 0 at its first three bytes (running on into the
// next pixels when a pixel has fewer than three bytes) and stops at the end of the buffer. The buffer holds
// the working image; the caller copies it into the selection layer.
void highlightRegion(PixelBuffer& buffer, const LabelMap& labelMap, std::int32_t regionId);

} // namespace zelmar
