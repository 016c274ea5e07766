#pragma once
// A deliberately slow, literal transcription of the two-pass region labelling, the nesting-tree walk and the
// highlight, kept as the yardstick the fast code in src/image/regions.* is compared with. Every step is the
// plain one: a whole-map relabel for every merge, a table scan for every new id and every boundary, a
// recursive walk over the link table. Keep it that way: its worth lies in being obviously the algorithm, not
// in speed. It shares nothing with the fast code but the pixel index rule; even the light test is its own.

#include "image/pixel_geometry.h"

#include <cstdint>
#include <vector>

namespace zelmar::reference {

struct Record {
    std::int32_t depth = 0;
    bool isLight = false;
    std::int32_t state = 0; // 0 free, 1 live
};

struct Link {
    std::int32_t childId = 0;
    std::int32_t parentId = 0;
};

// One tree view node, in the order the walk added it.
struct Node {
    std::int32_t regionId = 0;
    std::int32_t parentNode = -1; // index into the node list, -1 for the top-level node
    bool expanded = false;
};

// Region ids of the positions (x, y), x = 0..width, y = 0..height; row 0 and column 0 are the frame.
class Grid {
public:
    Grid() = default;
    Grid(std::int32_t width, std::int32_t height);

    std::int32_t width() const { return width_; }
    std::int32_t height() const { return height_; }
    bool isEmpty() const { return columns_.empty(); }
    std::int32_t& operator()(std::int32_t x, std::int32_t y);
    std::int32_t operator()(std::int32_t x, std::int32_t y) const;

private:
    std::int32_t width_ = 0;
    std::int32_t height_ = 0;
    std::vector<std::vector<std::int32_t>> columns_; // columns_[x][y], as the map is dimensioned
};

struct Tables {
    Grid labelMap;
    std::vector<Record> regionTable; // element 0 unused: ids count from 1
    std::vector<Link> linkTable;     // element 0 unused
    std::int32_t linkCount = 0;
    std::vector<Node> nodes;

    std::int32_t regionTableUpper() const { return static_cast<std::int32_t>(regionTable.size()) - 1; }
    std::int32_t linkTableUpper() const { return static_cast<std::int32_t>(linkTable.size()) - 1; }
    // Index of the node whose key names this region, or -1: the tree view's lookup by key.
    std::int32_t nodeOfRegion(std::int32_t regionId) const;
};

// Both passes of the labelling: map, region table and links. The tree is left empty, every depth 0.
Tables label(const PixelGeometry& geometry, const std::uint8_t* bytes);

// Clears the nodes and builds the tree from linkTable and linkCount, writing the depth of each region
// reached. A region that already has a node when another link reaches it is skipped with that link: no depth,
// no node, no descent, and the link does not expand its parent.
void buildTree(Tables& tables);

// The parse button: labelling, then the tree.
Tables parse(const PixelGeometry& geometry, const std::uint8_t* bytes);

// A copy of the working bytes with every pixel whose cell holds regionId painted 0, 255, 0 from its first
// byte on, whatever a pixel's size; the first write that would fall past the end of the buffer ends the
// marking.
std::vector<std::uint8_t> highlight(const PixelGeometry& geometry, const std::vector<std::uint8_t>& workBytes,
                                    const Grid& labelMap, std::int32_t regionId);

} // namespace zelmar::reference
