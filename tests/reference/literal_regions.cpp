#include "literal_regions.h"

#include <string>

namespace zelmar::reference {

Grid::Grid(std::int32_t width, std::int32_t height)
    : width_(width), height_(height),
      columns_(static_cast<std::size_t>(width) + 1,
               std::vector<std::int32_t>(static_cast<std::size_t>(height) + 1)) {}

std::int32_t& Grid::operator()(std::int32_t x, std::int32_t y) {
    return columns_.at(static_cast<std::size_t>(x)).at(static_cast<std::size_t>(y));
}

std::int32_t Grid::operator()(std::int32_t x, std::int32_t y) const {
    return columns_.at(static_cast<std::size_t>(x)).at(static_cast<std::size_t>(y));
}

std::int32_t Tables::nodeOfRegion(std::int32_t regionId) const {
    // The tree view compares the keys as text; "P" and a number in decimal make the same text exactly when
    // the numbers are equal, so the numbers are compared.
    for (std::size_t n = 0; n < nodes.size(); ++n)
        if (nodes[n].regionId == regionId)
            return static_cast<std::int32_t>(n);
    return -1;
}

namespace {

constexpr std::int32_t firstTableUpper = 100;

// Bounds-checked everywhere: a slip in the transcription should throw, not read a neighbour's memory.
Record& recordOf(Tables& t, std::int32_t id) {
    return t.regionTable.at(static_cast<std::size_t>(id));
}

Link& linkOf(Tables& t, std::int32_t i) {
    return t.linkTable.at(static_cast<std::size_t>(i));
}

std::int32_t newRegion(Tables& t, bool isLight) {
    for (std::int32_t i = 1; i <= t.regionTableUpper(); ++i) {
        if (recordOf(t, i).state == 0) {
            recordOf(t, i).state = 1;
            recordOf(t, i).isLight = isLight;
            return i;
        }
    }
    const std::int32_t id = t.regionTableUpper() + 1;
    t.regionTable.resize(static_cast<std::size_t>(2 * t.regionTableUpper()) + 1);
    recordOf(t, id).state = 1;
    recordOf(t, id).isLight = isLight;
    return id;
}

void mergeRegions(Tables& t, std::int32_t removedId, std::int32_t keptId) {
    recordOf(t, removedId).state = 0;
    for (std::int32_t y = 0; y <= t.labelMap.height(); ++y)
        for (std::int32_t x = 0; x <= t.labelMap.width(); ++x)
            if (t.labelMap(x, y) == removedId)
                t.labelMap(x, y) = keptId;
}

void linkRegions(Tables& t, std::int32_t leftId, std::int32_t rightId) {
    for (std::int32_t i = 1; i <= t.linkCount; ++i) {
        const Link& link = linkOf(t, i);
        if ((link.parentId == leftId && link.childId == rightId) ||
            (link.parentId == rightId && link.childId == leftId))
            return;
    }
    t.linkCount += 1;
    if (t.linkCount > t.linkTableUpper())
        t.linkTable.resize(static_cast<std::size_t>(2 * t.linkTableUpper()) + 1);
    linkOf(t, t.linkCount).parentId = leftId;
    linkOf(t, t.linkCount).childId = rightId;
}

void addTreeChildren(Tables& t, std::int32_t parentId, std::int32_t depth) {
    const std::int32_t count = t.linkCount;
    for (std::int32_t k = 1; k <= count; ++k) {
        if (linkOf(t, k).parentId != parentId)
            continue;
        const std::int32_t childId = linkOf(t, k).childId;
        // A region bordering two regions of the tree keeps its first node; the later link is ignored whole.
        if (t.nodeOfRegion(childId) >= 0)
            continue;
        recordOf(t, childId).depth = depth;
        t.nodes.push_back(Node{childId, t.nodeOfRegion(parentId), false});
        addTreeChildren(t, childId, depth + 1);
        t.nodes.at(static_cast<std::size_t>(t.nodeOfRegion(parentId))).expanded = true;
    }
}

} // namespace

Tables label(const PixelGeometry& geometry, const std::uint8_t* bytes) {
    const std::int32_t width = geometry.width;
    const std::int32_t height = geometry.height;

    Tables t;
    t.regionTable.assign(firstTableUpper + 1, Record{});
    t.linkTable.assign(firstTableUpper + 1, Link{});
    t.labelMap = Grid(width, height);
    t.linkCount = 0;

    // Bytes are addressed 1-based, as the index rule counts them.
    auto byteAt = [&](std::int64_t index) { return bytes[index - 1]; };

    const std::int32_t frameId = newRegion(t, true);
    t.labelMap(0, 0) = frameId;
    for (std::int32_t y = 1; y <= height; ++y)
        t.labelMap(0, y) = frameId;
    for (std::int32_t x = 1; x <= width; ++x)
        t.labelMap(x, 0) = frameId;

    for (std::int32_t y = 1; y <= height; ++y) {
        for (std::int32_t x = 1; x <= width; ++x) {
            const bool c = byteAt(geometry.indexOf(x, y)) > 100; // light: the first byte above 100
            const std::int32_t left = t.labelMap(x - 1, y);
            const std::int32_t upper = t.labelMap(x, y - 1);
            const std::int32_t upperLeft = t.labelMap(x - 1, y - 1);
            if (recordOf(t, left).isLight == c)
                t.labelMap(x, y) = left;
            else if (recordOf(t, upper).isLight == c)
                t.labelMap(x, y) = upper;
            else if (recordOf(t, upperLeft).isLight == c)
                t.labelMap(x, y) = upperLeft;
            else
                t.labelMap(x, y) = newRegion(t, c);

            const std::int32_t own = t.labelMap(x, y);
            if (upper != own && recordOf(t, upper).isLight == recordOf(t, own).isLight)
                mergeRegions(t, own, upper);
        }
    }

    for (std::int32_t y = 1; y <= height; ++y)
        for (std::int32_t x = 2; x <= width; ++x)
            if (t.labelMap(x, y) != t.labelMap(x - 1, y))
                linkRegions(t, t.labelMap(x - 1, y), t.labelMap(x, y));

    return t;
}

void buildTree(Tables& t) {
    t.nodes.clear();

    bool found = false;
    std::int32_t rootId = 0;
    for (std::int32_t i = 1; i <= t.linkCount && !found; ++i) {
        bool isSomebodysChild = false;
        for (std::int32_t j = 1; j <= t.linkCount; ++j)
            if (linkOf(t, j).childId == linkOf(t, i).parentId)
                isSomebodysChild = true;
        if (!isSomebodysChild) {
            found = true;
            rootId = linkOf(t, i).parentId;
        }
    }
    if (!found)
        return;

    recordOf(t, rootId).depth = 0;
    t.nodes.push_back(Node{rootId, -1, false});
    addTreeChildren(t, rootId, 1);
    t.nodes.at(static_cast<std::size_t>(t.nodeOfRegion(rootId))).expanded = true;
}

Tables parse(const PixelGeometry& geometry, const std::uint8_t* bytes) {
    Tables t = label(geometry, bytes);
    buildTree(t);
    return t;
}

std::vector<std::uint8_t> highlight(const PixelGeometry& geometry, const std::vector<std::uint8_t>& workBytes,
                                    const Grid& labelMap, std::int32_t regionId) {
    std::vector<std::uint8_t> buffer = workBytes;
    const auto size = static_cast<std::int64_t>(buffer.size());
    // Returns false for a write past the end: that write does not happen and the marking is over.
    auto write = [&](std::int64_t index, std::uint8_t value) {
        if (index < 1 || index > size)
            return false;
        buffer[static_cast<std::size_t>(index - 1)] = value;
        return true;
    };
    for (std::int32_t y = 1; y <= geometry.height; ++y) {
        for (std::int32_t x = 1; x <= geometry.width; ++x) {
            if (labelMap(x, y) != regionId)
                continue;
            const std::int64_t i = geometry.indexOf(x, y);
            if (!write(i, 0) || !write(i + 1, 255) || !write(i + 2, 0))
                return buffer;
        }
    }
    return buffer;
}

} // namespace zelmar::reference
