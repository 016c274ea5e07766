#include "milling.h"

#include "tool_sweep.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace zelmar {

namespace {

// The eight directions clockwise on screen (rows grow downwards): E, SE, S, SW, W, NW, N, NE.
constexpr std::int32_t directionX[] = {1, 1, 0, -1, -1, -1, 0, 1};
constexpr std::int32_t directionY[] = {0, 1, 1, 1, 0, -1, -1, -1};
constexpr int east = 0;
constexpr int west = 4;

int clockwise(int d) {
    return (d + 1) & 7;
}
int counterClockwise(int d) {
    return (d + 7) & 7;
}

// Moves the direction by `steps` eighths of a turn clockwise; anything that is no direction stays.
void turn(std::int32_t& dirX, std::int32_t& dirY, int steps) {
    for (int i = 0; i < 8; ++i)
        if (directionX[i] == dirX && directionY[i] == dirY) {
            dirX = directionX[(i + steps) % 8];
            dirY = directionY[(i + steps) % 8];
            return;
        }
}

std::uint64_t pairKey(std::int32_t above, std::int32_t below) {
    return std::uint64_t(std::uint32_t(above)) << 32 | std::uint32_t(below);
}

} // namespace

void TurnClockwise(std::int32_t& dirX, std::int32_t& dirY) {
    turn(dirX, dirY, 1);
}

void TurnCounterClockwise(std::int32_t& dirX, std::int32_t& dirY) {
    turn(dirX, dirY, 7);
}

std::int64_t MillIndex::firstPixelAbove(std::int32_t region, std::int32_t neighbourBelow) const {
    const std::int64_t* at = pairs.find(pairKey(region, neighbourBelow));
    return at ? *at : -1;
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
    index.children = ChildLists::build(highestParent + 1, links, [&tables](std::int64_t i) {
        const NestingLink& l = tables.linkTable[static_cast<std::size_t>(i) + 1];
        return std::pair{l.parentId >= 1 ? l.parentId : -1, l.childId};
    });

    if (map.isEmpty())
        return index;
    // One pass over the map: each region's first pixel, and the first pixel of each vertical pair. Ids beyond
    // the region table (left by a gradient or offset since the parse) get theirs too: the selected region is
    // milled from the map alone.
    index.firstPixel.assign(static_cast<std::size_t>(tableSize) + 1, -1);
    // A pixel whose row and the row below repeat their left neighbours adds nothing: its region's first pixel
    // and its pair were taken there. Such runs, most of a picture, are passed eight pixels at a compare.
    std::uint64_t lastKey = 0;
    const std::int32_t width = map.width();
    const auto repeats = [](const std::int32_t* r, std::int32_t x, std::int32_t n) {
        return std::memcmp(r + x, r + x - 1, static_cast<std::size_t>(n) * sizeof(std::int32_t)) == 0;
    };
    for (std::int32_t y = 1; y <= map.height(); ++y) {
        const std::int32_t* row = map.row(y);
        const std::int32_t* below = y < map.height() ? map.row(y + 1) : nullptr;
        for (std::int32_t x = 1; x <= width; ++x) {
            if (x > 1) {
                while (x + 8 <= width + 1 && repeats(row, x, 8) && (!below || repeats(below, x, 8)))
                    x += 8;
                if (x > width)
                    break;
                if (repeats(row, x, 1) && (!below || repeats(below, x, 1)))
                    continue;
            }
            const std::int32_t id = row[x];
            const std::int64_t at = std::int64_t{y} * (width + 1) + x;
            if (id >= 1) {
                if (static_cast<std::size_t>(id) >= index.firstPixel.size())
                    index.firstPixel.resize(static_cast<std::size_t>(id) + 1, -1);
                if (index.firstPixel[static_cast<std::size_t>(id)] < 0)
                    index.firstPixel[static_cast<std::size_t>(id)] = at;
            }
            if (below && below[x] != id) {
                const std::uint64_t key = pairKey(id, below[x]);
                if (key != lastKey) // a boundary runs along a row: the same pair again and again
                    index.pairs.insert(key, at); // the first pixel in raster order stays
                lastKey = key;
            }
        }
    }
    return index;
}

void TracedRegions::traceNothing(std::int32_t regionId) {
    regions_.push_back({regionId, static_cast<std::uint32_t>(contours_.size()), steps_.size()});
}

void TracedRegions::trace(const LabelMap& map, const MillIndex& index, std::int32_t regionId) {
    const std::size_t contoursBefore = contours_.size();
    const std::size_t stepsBefore = steps_.size();
    width_ = map.width();
    const auto inRegion = [&map, regionId](std::int32_t x, std::int32_t y) {
        return x >= 1 && y >= 1 && x <= map.width() && y <= map.height() && map.at(x, y) == regionId;
    };
    const std::int32_t rowLength = map.width() + 1;
    const auto contour = [&](std::int64_t startPixel, int direction) {
        ContourPath path;
        path.startX = static_cast<std::int32_t>(startPixel % rowLength);
        path.startY = static_cast<std::int32_t>(startPixel / rowLength);
        std::int32_t x = path.startX;
        std::int32_t y = path.startY;
        int d = direction;
        endStates_.clear();
        for (;;) {
            d = counterClockwise(d);
            for (int turns = 0; !inRegion(x + directionX[d], y + directionY[d]) && turns < 8; ++turns)
                d = clockwise(d);
            x += directionX[d];
            y += directionY[d];
            steps_.push_back(static_cast<std::uint8_t>(d));
            ++path.stepCount;
            if (d & 1) // diagonal
                d = counterClockwise(d);
            if (x == path.startX && y == path.startY)
                break;
            // A trace that comes back to a state it has been in would go round for ever.
            // Positions stay within one pixel of the image (at most 10^8 pixels a side): 28 bits each.
            const std::uint64_t state =
                std::uint64_t(x + 2) << 32 | std::uint64_t(y + 2) << 4 | static_cast<std::uint64_t>(d);
            if (!endStates_.insert(state, 0))
                break;
        }
        contours_.push_back(path);
    };

    const bool hasLinks = regionId >= 1 && index.children.hasParent(regionId);
    if (hasLinks)
        for (std::int32_t k = index.children.begin(regionId); k < index.children.end(regionId); ++k) {
            const std::int32_t neighbour = index.children.items[static_cast<std::size_t>(k)];
            const std::int64_t start = neighbour == 0 ? -1 : index.firstPixelAbove(regionId, neighbour);
            if (start >= 0) // no pixel of the region stands on the neighbour: no such contour
                contour(start, west);
        }
    const std::size_t r = static_cast<std::size_t>(regionId);
    const std::int64_t outer = regionId >= 1 && r < index.firstPixel.size() ? index.firstPixel[r] : -1;
    if (outer >= 0) // a region with no pixel is not cut at all
        contour(outer, east);

    regions_.push_back({regionId, static_cast<std::uint32_t>(contours_.size()), stepsBefore});
    totalMoves_ += static_cast<std::int64_t>(3 * (contours_.size() - contoursBefore) + steps_.size() - stepsBefore);
}

bool TracedRegions::hasContours(std::size_t k) const {
    return regions_[k].contourEnd > (k == 0 ? 0 : regions_[k - 1].contourEnd);
}

std::int64_t TracedRegions::moveCount(std::size_t k) const {
    const std::uint32_t contourBegin = k == 0 ? 0 : regions_[k - 1].contourEnd;
    const std::uint64_t stepEnd = k + 1 < regions_.size() ? regions_[k + 1].stepBegin : steps_.size();
    return static_cast<std::int64_t>(3 * (regions_[k].contourEnd - contourBegin) + stepEnd - regions_[k].stepBegin);
}

// Reads depths from the layer as it is: nothing of the region being planned is painted yet.
class RegionPlanner {
public:
    static std::int32_t widthOf(const TracedRegions& traced) { return traced.width_; }

    // Per contour of traced region k: whether the tool of these depths stays at the surface all along it.
    static std::vector<bool> atSurface(const TracedRegions& traced, std::size_t k,
                                       std::span<const std::uint8_t> reachable, std::int32_t width) {
        const std::uint32_t contourBegin = k == 0 ? 0 : traced.regions_[k - 1].contourEnd;
        const std::uint32_t contourEnd = traced.regions_[k].contourEnd;
        std::vector<bool> surface(contourEnd - contourBegin, false);
        if (reachable.empty() || width <= 0)
            return surface;
        const std::int32_t height = static_cast<std::int32_t>(reachable.size() / static_cast<std::size_t>(width));
        const auto depthAt = [&](std::int32_t x, std::int32_t y) -> std::int32_t {
            return x < 1 || y < 1 || x > width || y > height
                       ? 0
                       : reachable[static_cast<std::size_t>(y - 1) * static_cast<std::size_t>(width) +
                                   static_cast<std::size_t>(x - 1)];
        };
        const std::uint8_t* step = traced.steps_.data() + traced.regions_[k].stepBegin;
        for (std::uint32_t c = contourBegin; c < contourEnd; ++c) {
            const ContourPath& path = traced.contours_[c];
            std::int32_t x = path.startX, y = path.startY;
            bool shallow = depthAt(x, y) == 0;
            for (std::uint32_t s = 0; s < path.stepCount; ++s) {
                x += directionX[*step];
                y += directionY[*step];
                ++step;
                shallow = shallow && depthAt(x, y) == 0;
            }
            surface[c - contourBegin] = shallow;
        }
        return surface;
    }

    static RegionPlan plan(const TracedRegions& traced, std::size_t k, const ImageLayer& layer,
                           const ToolPosition& start, const TravelOptions& travel,
                           std::span<const std::uint8_t> reachable, const SurfaceGuard* guard) {
        RegionPlan plan;
        plan.region = traced.regions_[k].id;
        plan.moves.reserve(static_cast<std::size_t>(traced.moveCount(k)) + 1);
        const std::int32_t safe = travel.safeHeight;
        const PixelGeometry g = layer.geometry();
        const std::uint8_t* bytes = layer.bits().data();
        const auto depthAt = [&g, bytes, reachable](std::int32_t x, std::int32_t y) -> std::int32_t {
            if (x < 1 || y < 1 || x > g.width || y > g.height)
                return 0;
            if (!reachable.empty())
                return reachable[static_cast<std::size_t>(y - 1) * static_cast<std::size_t>(g.width) +
                                 static_cast<std::size_t>(x - 1)];
            return cutDepthOf(bytes[static_cast<std::size_t>(g.indexOf(x, y) - 1)]);
        };
        ToolPosition tool = start;
        const std::uint8_t* step = traced.steps_.data() + traced.regions_[k].stepBegin;
        const std::uint32_t contourBegin = k == 0 ? 0 : traced.regions_[k - 1].contourEnd;
        const std::uint32_t contourEnd = traced.regions_[k].contourEnd;
        std::vector<std::int32_t> depths; // of the contour's start and of each step's end
        // A shaped tool that would only graze the stock along a contour does not go there.
        const std::vector<bool> skip =
            atSurface(traced, k, guard ? reachable : std::span<const std::uint8_t>(), g.width);
        std::uint32_t lastCut = contourBegin;
        for (std::uint32_t c = contourBegin; c < contourEnd; ++c)
            if (!skip[c - contourBegin])
                lastCut = c;
        bool travelling = !travel.firstOfMilling; // at the travel height already
        for (std::uint32_t c = contourBegin; c < contourEnd; ++c) {
            const ContourPath& path = traced.contours_[c];
            const std::uint8_t* const firstStep = step;
            if (skip[c - contourBegin]) {
                step += path.stepCount;
                continue;
            }
            const bool endsMilling = c == lastCut && travel.lastOfMilling;
            if (safe > 0 && !travelling)
                plan.moves.push_back({0, 0, safe, MoveKind::Lift, tool}); // up from the surface to travel
            travelling = true;
            if (travel.stepDown <= 0) {
                const std::int32_t startDepth = depthAt(path.startX, path.startY);
                const std::int32_t dx = path.startX - tool.toolX;
                const std::int32_t dy = path.startY - tool.toolY;
                tool.toolX = path.startX;
                tool.toolY = path.startY;
                plan.moves.push_back({dx, dy, 0, MoveKind::Approach, tool});
                tool.toolZ = startDepth;
                plan.moves.push_back({0, 0, -(startDepth + safe), MoveKind::Plunge, tool});
                for (std::uint32_t s = 0; s < path.stepCount; ++s) {
                    const int d = *step++;
                    tool.toolX += directionX[d];
                    tool.toolY += directionY[d];
                    const std::int32_t depth = depthAt(tool.toolX, tool.toolY);
                    const std::int32_t dz = depth - tool.toolZ;
                    tool.toolZ = depth;
                    plan.moves.push_back({directionX[d], directionY[d], -dz, MoveKind::Step, tool});
                }
                plan.moves.push_back({0, 0, tool.toolZ + (endsMilling ? 0 : safe), MoveKind::Lift, tool});
                continue;
            }
            const std::int32_t down = travel.stepDown;
            depths.assign(1, depthAt(path.startX, path.startY));
            std::int32_t x = path.startX, y = path.startY;
            for (std::uint32_t s = 0; s < path.stepCount; ++s) {
                x += directionX[firstStep[s]];
                y += directionY[firstStep[s]];
                depths.push_back(depthAt(x, y));
            }
            step = firstStep + path.stepCount;
            const std::int32_t deepest = *std::max_element(depths.begin(), depths.end());
            const std::int32_t passes = std::max(1, (deepest + down - 1) / down);
            // Down to `depth` from where the tool stands, no part more than `down` below the surface.
            const auto plungeTo = [&plan, &tool, down](std::int32_t depth, std::int32_t above) {
                std::int32_t first = std::min(depth - tool.toolZ, std::max(0, tool.toolZ) + down - tool.toolZ);
                first = std::max(first, 0);
                tool.toolZ += first;
                plan.moves.push_back({0, 0, -(first + above), MoveKind::Plunge, tool});
                while (tool.toolZ < depth) {
                    const std::int32_t part = std::min(down, depth - tool.toolZ);
                    tool.toolZ += part;
                    plan.moves.push_back({0, 0, -part, MoveKind::Plunge, tool});
                }
            };
            for (std::int32_t pass = 1; pass <= passes; ++pass) {
                const std::int32_t level = pass * down;
                const std::int32_t dx = path.startX - tool.toolX;
                const std::int32_t dy = path.startY - tool.toolY;
                tool.toolX = path.startX;
                tool.toolY = path.startY;
                plan.moves.push_back({dx, dy, 0, MoveKind::Approach, tool});
                tool.toolZ = 0;
                plungeTo(std::min(depths[0], level), safe);
                for (std::uint32_t s = 0; s < path.stepCount; ++s) {
                    const int d = firstStep[s];
                    tool.toolX += directionX[d];
                    tool.toolY += directionY[d];
                    const std::int32_t depth = std::min(depths[s + 1], level);
                    const std::int32_t arrive = std::min(depth, std::max(0, tool.toolZ) + down);
                    const std::int32_t dz = arrive - tool.toolZ;
                    tool.toolZ = arrive;
                    plan.moves.push_back({directionX[d], directionY[d], -dz, MoveKind::Step, tool});
                    if (arrive < depth)
                        plungeTo(depth, 0);
                }
                const bool last = pass == passes && endsMilling;
                plan.moves.push_back({0, 0, tool.toolZ + (last ? 0 : safe), MoveKind::Lift, tool});
            }
        }
        if (guard)
            plan.moves = keptAbove(std::move(plan.moves), travel.firstOfMilling ? 0 : -safe, *guard, travel.stepDown);
        return plan;
    }

private:
    // The moves with each step whose straight move would cut below the picture turned into a staircase.
    static std::vector<PlannedMove> keptAbove(std::vector<PlannedMove> moves, std::int32_t startDepth,
                                              const SurfaceGuard& guard, std::int32_t stepDown) {
        std::vector<PlannedMove> out;
        std::int32_t depth = startDepth; // where the tip really is: a lift leaves the tool's depth as it was
        std::size_t kept = 0;            // moves before this were copied to out unchanged
        for (std::size_t i = 0; i < moves.size(); ++i) {
            const PlannedMove& m = moves[i];
            const std::int32_t before = depth;
            depth -= m.z;
            // A level step along an axis passes nearest every pixel at one of its ends, where the depth is
            // safe; a level diagonal step does too, but for the pixels across its middle.
            if (m.kind != MoveKind::Step || (m.z == 0 && (m.x == 0) != (m.y == 0)))
                continue;
            const TipPoint from{double(m.tool.toolX - m.x), double(m.tool.toolY - m.y), double(before)};
            const TipPoint to{double(m.tool.toolX), double(m.tool.toolY), double(depth)};
            const bool levelDiagonal = m.z == 0 && std::abs(m.x) == 1 && std::abs(m.y) == 1;
            if (levelDiagonal ? guard.keepsAboveAcrossTheMiddle(from, to) : guard.keepsAbove(from, to))
                continue;
            if (out.empty())
                out.reserve(moves.size() + 16);
            out.insert(out.end(), moves.begin() + static_cast<std::ptrdiff_t>(kept),
                       moves.begin() + static_cast<std::ptrdiff_t>(i));
            kept = i + 1;
            const std::int32_t level = std::min({before, depth, guard.deepestLevel(from, to)});
            ToolPosition at = m.tool;
            at.toolX -= m.x;
            at.toolY -= m.y;
            at.toolZ = level;
            if (before > level)
                out.push_back({0, 0, before - level, MoveKind::Step, at});
            at.toolX = m.tool.toolX;
            at.toolY = m.tool.toolY;
            out.push_back({m.x, m.y, 0, MoveKind::Step, at});
            while (at.toolZ < depth) {
                const std::int32_t part = stepDown > 0 ? std::min(stepDown, depth - at.toolZ) : depth - at.toolZ;
                at.toolZ += part;
                out.push_back({0, 0, -part, MoveKind::Plunge, at});
            }
        }
        if (kept == 0)
            return moves;
        out.insert(out.end(), moves.begin() + static_cast<std::ptrdiff_t>(kept), moves.end());
        return out;
    }
};

RegionPlan planRegion(const TracedRegions& traced, std::size_t k, const ImageLayer& depthPicture,
                      const ToolPosition& tool, const TravelOptions& travel,
                      std::span<const std::uint8_t> reachableDepths, const SurfaceGuard* guard) {
    return RegionPlanner::plan(traced, k, depthPicture, tool, travel, reachableDepths, guard);
}

bool cutsBelowSurface(const TracedRegions& traced, std::size_t k, std::span<const std::uint8_t> reachableDepths) {
    if (!traced.hasContours(k))
        return false;
    if (reachableDepths.empty())
        return true; // today's tool traces every contour
    const std::vector<bool> surface = RegionPlanner::atSurface(traced, k, reachableDepths, RegionPlanner::widthOf(traced));
    return std::find(surface.begin(), surface.end(), false) != surface.end();
}

std::vector<std::uint8_t> cutDepthsOf(const ImageLayer& millLayer) {
    const PixelGeometry g = millLayer.geometry();
    std::vector<std::uint8_t> depths(static_cast<std::size_t>(g.width) * static_cast<std::size_t>(g.height));
    const std::uint8_t* bytes = millLayer.bits().data();
    for (std::int32_t y = 1; y <= g.height; ++y) {
        std::uint8_t* row = depths.data() + static_cast<std::size_t>(y - 1) * static_cast<std::size_t>(g.width);
        const std::uint8_t* first = bytes + (g.indexOf(1, y) - 1);
        for (std::int32_t x = 0; x < g.width; ++x)
            row[x] = static_cast<std::uint8_t>(cutDepthOf(first[static_cast<std::size_t>(x) * g.bytesPerPixel]));
    }
    return depths;
}

RegionPlan MillRegion(const RegionTables& tables, const MillIndex& index, const ImageLayer& millLayer,
                      const ToolPosition& tool, std::int32_t regionId) {
    TracedRegions traced;
    if (millLayer.isEmpty() || index.width != millLayer.header().bmWidth ||
        index.height != millLayer.header().bmHeight)
        traced.traceNothing(regionId); // no image, or tables of another image: nothing to trace
    else
        traced.trace(tables.labelMap, index, regionId);
    return planRegion(traced, 0, millLayer, tool);
}

PixelRect markMove(ImageLayer& millLayer, const PlannedMove& move) {
    if (move.kind != MoveKind::Step)
        return {};
    const PixelGeometry g = millLayer.geometry();
    const std::int32_t cx = move.tool.toolX;
    const std::int32_t cy = move.tool.toolY;
    const PixelRect area = PixelRect{cx - 2, cy - 2, cx + 1, cy + 1}.clippedTo(g.width, g.height);
    std::uint8_t* bytes = millLayer.pixelBytes();
    for (std::int32_t y = area.top; y < area.bottom; ++y)
        for (std::int32_t x = area.left; x < area.right; ++x) {
            std::uint8_t* p = bytes + (g.indexOf(x + 1, y + 1) - 1);
            p[0] = 0;
            p[1] = 0;
            p[2] = 255;
        }
    millLayer.markChanged(area);
    return area;
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
