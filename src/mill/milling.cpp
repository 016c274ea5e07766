#include "milling.h"

#include <algorithm>
#include <bit>
#include <vector>

namespace zelmar {

const char* const noTreeMessage = "Изображение не загружено или не разобрано.\r\n"
                                  "Если изображение загружено, нажмите кнопку 'Разобрать'.\r\n"
                                  "Необходимо, чтобы программа построила дерево вложения фигур.";
const char* const noSelectionMessage = "Не выбрана фигура.\r\nВыберите фигуру в дереве.";

namespace {

// The eight directions clockwise on screen (rows grow downwards): E, SE, S, SW, W, NW, N, NE.
constexpr std::int32_t directionX[] = {1, 1, 0, -1, -1, -1, 0, 1};
constexpr std::int32_t directionY[] = {0, 1, 1, 1, 0, -1, -1, -1};

// Moves the direction by `steps` eighths of a turn clockwise; anything that is no direction stays.
void turn(std::int32_t& dirX, std::int32_t& dirY, int steps) {
    for (int i = 0; i < 8; ++i)
        if (directionX[i] == dirX && directionY[i] == dirY) {
            dirX = directionX[(i + steps) % 8];
            dirY = directionY[(i + steps) % 8];
            return;
        }
}

} // namespace

void TurnClockwise(std::int32_t& dirX, std::int32_t& dirY) {
    turn(dirX, dirY, 1);
}

void TurnCounterClockwise(std::int32_t& dirX, std::int32_t& dirY) {
    turn(dirX, dirY, 7);
}

namespace {

std::uint64_t pairKey(std::int32_t above, std::int32_t below) {
    return std::uint64_t(std::uint32_t(above)) << 32 | std::uint32_t(below);
}

std::size_t pairSlot(std::uint64_t key, std::size_t slots) {
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> (64 - std::countr_zero(slots)));
}

} // namespace

std::int64_t MillIndex::firstPixelAbove(std::int32_t region, std::int32_t neighbourBelow) const {
    if (pairKeys.empty())
        return -1;
    const std::uint64_t key = pairKey(region, neighbourBelow);
    for (std::size_t i = pairSlot(key, pairKeys.size());; i = (i + 1) & (pairKeys.size() - 1)) {
        if (pairKeys[i] == key)
            return pairPixels[i];
        if (pairKeys[i] == 0)
            return -1;
    }
}

MillIndex MillIndex::build(const RegionTables& tables) {
    MillIndex index;
    const LabelMap& map = tables.labelMap;
    index.width = map.width();
    index.height = map.height();
    const std::int32_t tableSize = tables.regionTableSize();

    // Children by parent, in link order; a link counts whatever the region table says of its parent.
    const std::int32_t links = tables.usableLinkCount();
    std::int32_t highestParent = tableSize;
    for (std::int32_t i = 1; i <= links; ++i)
        highestParent = std::max(highestParent, tables.linkTable[static_cast<std::size_t>(i)].parentId);
    const auto known = [highestParent](std::int32_t id) { return id >= 1 && id <= highestParent; };
    index.childOffsets.assign(static_cast<std::size_t>(highestParent) + 2, 0);
    for (std::int32_t i = 1; i <= links; ++i) {
        const std::int32_t parent = tables.linkTable[static_cast<std::size_t>(i)].parentId;
        if (known(parent))
            ++index.childOffsets[static_cast<std::size_t>(parent) + 1];
    }
    for (std::size_t i = 1; i < index.childOffsets.size(); ++i)
        index.childOffsets[i] += index.childOffsets[i - 1];
    index.childOf.resize(static_cast<std::size_t>(index.childOffsets.back()));
    BigVector<std::int32_t> fill(index.childOffsets.begin(), index.childOffsets.end() - 1);
    for (std::int32_t i = 1; i <= links; ++i) {
        const NestingLink& l = tables.linkTable[static_cast<std::size_t>(i)];
        if (known(l.parentId))
            index.childOf[static_cast<std::size_t>(fill[static_cast<std::size_t>(l.parentId)]++)] = l.childId;
    }

    if (map.isEmpty())
        return index;
    // One pass over the map: each region's first pixel, and the first pixel of each vertical pair. Ids beyond
    // the region table (left by a gradient or offset since the parse) get theirs too: the selected region is
    // milled from the map alone.
    index.firstPixel.assign(static_cast<std::size_t>(tableSize) + 1, -1);
    // First pixel of each vertical pair, straight into the open-addressed table (grown at half full).
    std::size_t pairCount = 0;
    index.pairKeys.assign(1024, 0);
    index.pairPixels.assign(1024, -1);
    const auto insertPair = [&index, &pairCount](std::uint64_t key, std::int64_t at) {
        if ((pairCount + 1) * 2 > index.pairKeys.size()) {
            BigVector<std::uint64_t> keys(index.pairKeys.size() * 2, 0);
            BigVector<std::int64_t> pixels(keys.size(), -1);
            for (std::size_t k = 0; k < index.pairKeys.size(); ++k) {
                if (index.pairKeys[k] == 0)
                    continue;
                std::size_t i = pairSlot(index.pairKeys[k], keys.size());
                while (keys[i] != 0)
                    i = (i + 1) & (keys.size() - 1);
                keys[i] = index.pairKeys[k];
                pixels[i] = index.pairPixels[k];
            }
            index.pairKeys.swap(keys);
            index.pairPixels.swap(pixels);
        }
        std::size_t i = pairSlot(key, index.pairKeys.size());
        while (index.pairKeys[i] != 0) {
            if (index.pairKeys[i] == key)
                return; // the first pixel in raster order stays
            i = (i + 1) & (index.pairKeys.size() - 1);
        }
        index.pairKeys[i] = key;
        index.pairPixels[i] = at;
        ++pairCount;
    };
    std::uint64_t lastKey = 0;
    for (std::int32_t y = 1; y <= map.height(); ++y) {
        const std::int32_t* row = map.row(y);
        const std::int32_t* below = y < map.height() ? map.row(y + 1) : nullptr;
        for (std::int32_t x = 1; x <= map.width(); ++x) {
            const std::int32_t id = row[x];
            const std::int64_t at = std::int64_t{y} * (map.width() + 1) + x;
            if (id >= 1) {
                if (static_cast<std::size_t>(id) >= index.firstPixel.size())
                    index.firstPixel.resize(static_cast<std::size_t>(id) + 1, -1);
                if (index.firstPixel[static_cast<std::size_t>(id)] < 0)
                    index.firstPixel[static_cast<std::size_t>(id)] = at;
            }
            if (below && below[x] != id) {
                const std::uint64_t key = pairKey(id, below[x]);
                if (key != lastKey) // a boundary runs along a row: the same pair again and again
                    insertPair(key, at);
                lastKey = key;
            }
        }
    }
    return index;
}

namespace {

// A small open-addressed table from nonzero 64-bit keys to a byte, emptied in time proportional to what it
// held: a contour or a region of a noisy picture is a handful of steps, and millions of them follow each
// other.
class FlatTable {
public:
    FlatTable() : keys_(64, 0), values_(64, 0) {}

    // False, and nothing changed, when the key is there already.
    bool insert(std::uint64_t key, std::uint8_t value) {
        if ((used_.size() + 1) * 2 > keys_.size())
            grow();
        std::size_t i = slot(key);
        while (keys_[i] != 0) {
            if (keys_[i] == key)
                return false;
            i = (i + 1) & (keys_.size() - 1);
        }
        keys_[i] = key;
        values_[i] = value;
        used_.push_back(static_cast<std::uint32_t>(i));
        return true;
    }

    const std::uint8_t* find(std::uint64_t key) const {
        for (std::size_t i = slot(key); keys_[i] != 0; i = (i + 1) & (keys_.size() - 1))
            if (keys_[i] == key)
                return &values_[i];
        return nullptr;
    }

    std::size_t size() const { return used_.size(); }

    template <typename Visit> void forEach(Visit&& visit) const {
        for (std::uint32_t i : used_)
            visit(keys_[i], values_[i]);
    }

    void clear() {
        // After a big region, a big table would scatter the next small one's lookups over memory: start
        // small.
        if (keys_.size() > 4096) {
            *this = FlatTable();
            return;
        }
        for (std::uint32_t i : used_)
            keys_[i] = 0;
        used_.clear();
    }

private:
    std::size_t slot(std::uint64_t key) const {
        return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >>
                                        (64 - std::countr_zero(keys_.size())));
    }

    void grow() {
        std::vector<std::uint64_t> keys(keys_.size() * 2, 0);
        std::vector<std::uint8_t> values(keys.size(), 0);
        keys.swap(keys_);
        values.swap(values_);
        std::vector<std::uint32_t> used;
        used.swap(used_);
        for (std::uint32_t i : used)
            insert(keys[i], values[i]);
    }

    std::vector<std::uint64_t> keys_;
    std::vector<std::uint8_t> values_;
    std::vector<std::uint32_t> used_;
};

// The first bytes of the pixels this milling has painted, as they were before: a byte and a bit per pixel of
// the image, so that the lookups along a path stay in the cache lines the path is in. Emptied in proportion
// to what was painted; made only when a bigger image comes, and then only the pages painted cost anything.
class PaintedPixels {
public:
    void reset(std::size_t pixels) {
        for (std::size_t p : painted_)
            bits_[p >> 6] &= ~(std::uint64_t{1} << (p & 63));
        painted_.clear();
        if (original_.size() < pixels) {
            bits_ = LargeArray<std::uint64_t>::zeroed((pixels + 63) / 64);
            original_ = LargeArray<std::uint8_t>(pixels);
        }
    }

    const std::uint8_t* find(std::size_t p) const {
        return (bits_[p >> 6] >> (p & 63)) & 1 ? &original_[p] : nullptr;
    }

    // Only the first value counts: later paints of the same pixel find it painted already.
    void remember(std::size_t p, std::uint8_t firstByte) {
        std::uint64_t& word = bits_[p >> 6];
        const std::uint64_t bit = std::uint64_t{1} << (p & 63);
        if (word & bit)
            return;
        word |= bit;
        original_[p] = firstByte;
        painted_.push_back(p);
    }

private:
    LargeArray<std::uint64_t> bits_;
    LargeArray<std::uint8_t> original_;
    std::vector<std::size_t> painted_;
};

// One region's trace. Without a host it only counts the moves it would send.
class RegionTrace {
public:
    RegionTrace(const RegionTables& tables, const MillIndex& index, ToolPosition& tool, std::int32_t region,
                MillingHost* host, ImageLayer* layer)
        : map_(tables.labelMap), index_(index), tool_(tool), region_(region), host_(host), layer_(layer) {
        paintedFew_.clear();
    }

    MillOutcome run() {
        const std::size_t r = static_cast<std::size_t>(region_);
        const bool hasLinks = region_ >= 1 && r + 1 < index_.childOffsets.size();
        if (hasLinks)
            for (std::int32_t k = index_.childOffsets[r]; k < index_.childOffsets[r + 1]; ++k) {
                const std::int32_t neighbour = index_.childOf[static_cast<std::size_t>(k)];
                const std::int64_t start = neighbour == 0 ? -1 : index_.firstPixelAbove(region_, neighbour);
                if (start < 0)
                    continue; // no pixel of the region stands on the neighbour: no such contour
                if (const MillOutcome o = contour(start, -1); o != MillOutcome::Completed)
                    return o;
            }
        const std::int64_t outer = region_ >= 1 && r < index_.firstPixel.size() ? index_.firstPixel[r] : -1;
        if (outer < 0)
            return MillOutcome::Completed; // the region has no pixel
        return contour(outer, 1);
    }

    std::int64_t moves() const { return moves_; }

private:
    bool inRegion(std::int32_t x, std::int32_t y) const {
        return x >= 1 && y >= 1 && x <= map_.width() && y <= map_.height() && map_.at(x, y) == region_;
    }

    // Depth from the mill layer as it was when this region's milling began.
    std::int32_t depthAt(std::int32_t x, std::int32_t y) const {
        if (!layer_ || x < 1 || y < 1 || x > map_.width() || y > map_.height())
            return 0;
        const PixelGeometry g = layer_->geometry();
        const std::size_t n = pixelNumber(x - 1, y - 1);
        const std::uint8_t* kept = paintedMany_ ? paintedAll_.find(n) : paintedFew_.find(n + 1);
        return cutDepthOf(kept ? *kept : layer_->bits()[static_cast<std::size_t>(g.indexOf(x, y) - 1)]);
    }

    PixelRect mark(std::int32_t cx, std::int32_t cy) {
        const PixelGeometry g = layer_->geometry();
        const PixelRect area = PixelRect{cx - 2, cy - 2, cx + 1, cy + 1}.clippedTo(g.width, g.height);
        std::uint8_t* bytes = layer_->pixelBytes();
        for (std::int32_t y = area.top; y < area.bottom; ++y)
            for (std::int32_t x = area.left; x < area.right; ++x) {
                const std::int64_t at = g.indexOf(x + 1, y + 1) - 1;
                std::uint8_t* p = bytes + at;
                remember(pixelNumber(x, y), p[0]);
                p[0] = 0;
                p[1] = 0;
                p[2] = 255;
            }
        layer_->markChanged(area);
        return area;
    }

    // A move; false when the job must end (the line failed).
    bool send(std::int32_t x, std::int32_t y, std::int32_t z) {
        ++moves_;
        return !host_ || host_->sendMove(x, y, z);
    }

    bool stopWanted() { return host_ && host_->stopRequested(); }

    MillOutcome liftAndStop() { return send(0, 0, tool_.toolZ) ? MillOutcome::Stopped : MillOutcome::Failed; }

    // direction: -1 for a contour around a neighbour (starts west), +1 for the outer one (starts east).
    MillOutcome contour(std::int64_t startPixel, std::int32_t direction) {
        const std::int32_t rowLength = map_.width() + 1;
        const auto startX = static_cast<std::int32_t>(startPixel % rowLength);
        const auto startY = static_cast<std::int32_t>(startPixel / rowLength);
        if (host_)
            host_->contourStarts(region_);

        const std::int32_t startDepth = depthAt(startX, startY);
        if (!send(startX - tool_.toolX, startY - tool_.toolY, 0))
            return MillOutcome::Failed;
        tool_.toolX = startX;
        tool_.toolY = startY;
        if (stopWanted())
            return MillOutcome::Stopped; // still up: nothing to lift
        if (!send(0, 0, -startDepth))
            return MillOutcome::Failed;
        tool_.toolZ = startDepth;
        if (stopWanted())
            return liftAndStop();

        std::int32_t dirX = direction;
        std::int32_t dirY = 0;
        FlatTable& endStates = endStates_;
        endStates.clear();
        for (;;) {
            TurnCounterClockwise(dirX, dirY);
            for (int turns = 0; !inRegion(tool_.toolX + dirX, tool_.toolY + dirY) && turns < 8; ++turns)
                TurnClockwise(dirX, dirY);
            tool_.toolX += dirX;
            tool_.toolY += dirY;
            const std::int32_t depth = depthAt(tool_.toolX, tool_.toolY);
            const std::int32_t dz = depth - tool_.toolZ;
            tool_.toolZ = depth;
            if (host_ && !host_->millingOn())
                host_->dryStep();
            if (!send(dirX, dirY, -dz))
                return MillOutcome::Failed;
            if (host_)
                host_->stepDone(mark(tool_.toolX, tool_.toolY));
            if (dirX != 0 && dirY != 0)
                TurnCounterClockwise(dirX, dirY);
            if (stopWanted())
                return liftAndStop();
            if (tool_.toolX == startX && tool_.toolY == startY)
                break;
            // A trace that comes back to a state it has been in would go round for ever.
            // Positions stay within one pixel of the image (at most 10^8 pixels a side): 28 bits each.
            const std::uint64_t state = std::uint64_t(tool_.toolX + 2) << 32 |
                                        std::uint64_t(tool_.toolY + 2) << 4 |
                                        std::uint64_t((dirX + 1) * 3 + (dirY + 1));
            if (!endStates.insert(state, 0))
                break;
        }
        if (!send(0, 0, tool_.toolZ))
            return MillOutcome::Failed;
        return stopWanted() ? MillOutcome::Stopped : MillOutcome::Completed;
    }

    const LabelMap& map_;
    const MillIndex& index_;
    ToolPosition& tool_;
    std::int32_t region_;
    MillingHost* host_;
    ImageLayer* layer_;
    // First bytes of the pixels this milling has painted, as they were before.
    // Both kept from one region to the next: a noisy picture has hundreds of thousands of tiny regions.
    // 0-based pixel (x, y) as a number from 0.
    std::size_t pixelNumber(std::int32_t x, std::int32_t y) const {
        return static_cast<std::size_t>(y) * static_cast<std::size_t>(map_.width()) +
               static_cast<std::size_t>(x);
    }

    // The first byte a pixel had before this milling painted it. A small region's few pixels sit in a small
    // table; past a few thousand the per-pixel arrays take over, so a huge region's lookups stay local.
    void remember(std::size_t n, std::uint8_t firstByte) {
        if (paintedMany_) {
            paintedAll_.remember(n, firstByte);
            return;
        }
        paintedFew_.insert(n + 1, firstByte);
        if (paintedFew_.size() < manyPainted)
            return;
        paintedMany_ = true;
        paintedAll_.reset(static_cast<std::size_t>(map_.width()) * static_cast<std::size_t>(map_.height()));
        paintedFew_.forEach(
            [](std::uint64_t key, std::uint8_t value) { paintedAll_.remember(key - 1, value); });
        paintedFew_.clear();
    }

    static constexpr std::size_t manyPainted = 16384;
    bool paintedMany_ = false;
    static thread_local FlatTable paintedFew_;
    static thread_local PaintedPixels paintedAll_;
    static thread_local FlatTable endStates_;
    std::int64_t moves_ = 0;
};

thread_local FlatTable RegionTrace::paintedFew_;
thread_local PaintedPixels RegionTrace::paintedAll_;
thread_local FlatTable RegionTrace::endStates_;

} // namespace

MillOutcome MillRegion(MillingJob& job, std::int32_t regionId) {
    if (job.millLayer.isEmpty() || job.index.width != job.millLayer.header().bmWidth ||
        job.index.height != job.millLayer.header().bmHeight)
        return MillOutcome::Completed; // no image, or tables of another image: nothing to trace
    RegionTrace trace(job.tables, job.index, job.tool, regionId, &job.host, &job.millLayer);
    return trace.run();
}

std::int64_t countMillMoves(const RegionTables& tables, const MillIndex& index, ToolPosition tool,
                            std::int32_t regionId) {
    RegionTrace trace(tables, index, tool, regionId, nullptr, nullptr);
    trace.run();
    return trace.moves();
}

std::vector<std::int32_t> millAllOrder(const RegionTables& tables, const MillIndex& index) {
    std::vector<std::int32_t> order;
    const std::int32_t tableSize = tables.regionTableSize();
    for (std::int32_t id = 1; id <= tableSize && static_cast<std::size_t>(id) < index.firstPixel.size();
         ++id) {
        const RegionRecord& r = tables.regionTable[static_cast<std::size_t>(id)];
        if (r.state > 0 && r.state < regionMilled && !r.isLight &&
            index.firstPixel[static_cast<std::size_t>(id)] >= 0)
            order.push_back(id);
    }
    std::sort(order.begin(), order.end(), [&](std::int32_t a, std::int32_t b) {
        const std::int32_t da = tables.regionTable[static_cast<std::size_t>(a)].depth;
        const std::int32_t db = tables.regionTable[static_cast<std::size_t>(b)].depth;
        if (da != db)
            return da > db;
        return index.firstPixel[static_cast<std::size_t>(a)] < index.firstPixel[static_cast<std::size_t>(b)];
    });
    return order;
}

} // namespace zelmar
