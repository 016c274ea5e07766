#include "level_sweep.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace zelmar {

namespace {

__extension__ typedef __int128 Wide; // products of two intersections' terms

// Within this, half-pixel coordinates and their squares stay exact in 64 bits.
constexpr double coordinateLimit = 1 << 24;

bool whole(double v) {
    return std::abs(v) < coordinateLimit && v == std::floor(v);
}

// The largest n with n * n <= v (v >= 0).
std::int64_t rootBelow(std::int64_t v) {
    auto n = static_cast<std::int64_t>(std::sqrt(static_cast<double>(v)));
    while (n > 0 && n * n > v)
        --n;
    while ((n + 1) * (n + 1) <= v)
        ++n;
    return n;
}

// The smallest whole number at or above n / d (d > 0).
std::int64_t ceilOf(std::int64_t n, std::int64_t d) {
    return n >= 0 ? (n + d - 1) / d : -((-n) / d);
}

// A parabola of a row: (X - apex)^2 + offset, in half pixels.
struct Parabola {
    std::int64_t apex;
    std::int64_t offset;
};

// Where parabola j (its apex right of i's) comes below i: at num / den.
struct Crossing {
    std::int64_t num = 0;
    std::int64_t den = 1;
};

Crossing crossing(const Parabola& i, const Parabola& j) {
    return {(j.apex * j.apex + j.offset) - (i.apex * i.apex + i.offset), 2 * (j.apex - i.apex)};
}

bool atOrBefore(const Crossing& a, const Crossing& b) {
    return Wide{a.num} * b.den <= Wide{b.num} * a.den;
}

} // namespace

bool LevelSweep::takes(const ToolSweep& sweep, const TipPoint& a, const TipPoint& b) {
    if (!sweep.cutsByLevels() || !whole(a.x) || !whole(a.y) || !whole(b.x) || !whole(b.y) || !whole(a.depth) ||
        !whole(b.depth))
        return false;
    if (a.x == b.x && a.y == b.y)
        return true;
    return a.depth == b.depth && std::abs(a.x - b.x) <= 1 && std::abs(a.y - b.y) <= 1;
}

void LevelSweep::add(const TipPoint& a, const TipPoint& b) {
    const auto depth = static_cast<std::int32_t>(std::max(a.depth, b.depth));
    const auto ax = static_cast<std::int32_t>(a.x) * 2, ay = static_cast<std::int32_t>(a.y) * 2;
    const auto bx = static_cast<std::int32_t>(b.x) * 2, by = static_cast<std::int32_t>(b.y) * 2;
    points_.push_back({depth, ay, ax});
    if (ax == bx && ay == by)
        return;
    points_.push_back({depth, by, bx});
    if (ax != bx && ay != by)
        points_.push_back({depth, (ay + by) / 2, (ax + bx) / 2});
}

void LevelSweep::settle(const ToolSweep& sweep, std::int32_t width, std::int32_t height,
                        const std::function<void(std::int32_t, std::int32_t, double)>& fold) {
    std::sort(points_.begin(), points_.end());
    points_.erase(std::unique(points_.begin(), points_.end()), points_.end());
    for (auto from = points_.begin(); from != points_.end();) {
        const auto to = std::find_if(from, points_.end(), [&](const Point& p) { return p.depth != from->depth; });
        settleLevel(sweep, &*from, &*from + (to - from), width, height, fold);
        from = to;
    }
    points_.clear();
}

void LevelSweep::settleLevel(const ToolSweep& sweep, const Point* from, const Point* to, std::int32_t width,
                             std::int32_t height, const std::function<void(std::int32_t, std::int32_t, double)>& fold) {
    const double depth = from->depth;
    // Squared half-pixel distances beyond `limit` leave the body above the surface or off the pixel.
    const auto limit = static_cast<std::int64_t>(std::floor(4 * sweep.cutReachSquared(depth)));
    if (depth <= 0 || limit < 0)
        return;
    const std::int64_t across = rootBelow(limit); // in half pixels, the farthest row a point reaches
    std::vector<Parabola> row, hull;
    std::vector<Crossing> starts;
    // The points near a row make a parabola each, but of those with one apex only the lowest counts: each
    // column's lowest is kept by column, and the columns are read in order from a bitmap, with no sort.
    std::int32_t firstX2 = from->x2, lastX2 = from->x2;
    for (const Point* p = from; p != to; ++p) {
        firstX2 = std::min(firstX2, p->x2);
        lastX2 = std::max(lastX2, p->x2);
    }
    const auto columns = static_cast<std::size_t>(lastX2 - firstX2) + 1;
    std::vector<std::int64_t> lowest(columns);
    std::vector<std::uint64_t> seen((columns + 63) / 64);
    const Point* lo = from;
    const Point* hi = from;
    std::int64_t y = std::max<std::int64_t>(1, ceilOf(from->y2 - across, 2));
    const std::int64_t lastRow = std::min<std::int64_t>(height, ((to - 1)->y2 + across) / 2);
    while (y <= lastRow) {
        const std::int64_t y2 = 2 * y;
        while (hi != to && hi->y2 <= y2 + across)
            ++hi;
        while (lo != hi && lo->y2 < y2 - across)
            ++lo;
        if (lo == hi) { // no point near: on to the first row the next one reaches
            if (hi == to)
                break;
            y = std::max(y + 1, ceilOf(hi->y2 - across, 2));
            continue;
        }
        for (const Point* p = lo; p != hi; ++p) {
            const auto c = static_cast<std::size_t>(p->x2 - firstX2);
            const std::int64_t offset = (y2 - p->y2) * (y2 - p->y2);
            std::uint64_t& word = seen[c / 64];
            const std::uint64_t bit = std::uint64_t{1} << (c % 64);
            lowest[c] = (word & bit) != 0 ? std::min(lowest[c], offset) : offset;
            word |= bit;
        }
        row.clear();
        for (std::size_t k = 0; k < seen.size(); ++k)
            for (; seen[k] != 0; seen[k] &= seen[k] - 1) {
                const std::size_t c = k * 64 + static_cast<std::size_t>(std::countr_zero(seen[k]));
                row.push_back({firstX2 + static_cast<std::int64_t>(c), lowest[c]});
            }
        // The lower envelope: hull[k] is lowest from starts[k] to starts[k + 1].
        hull.clear();
        starts.clear();
        for (const Parabola& p : row) {
            if (!hull.empty() && hull.back().apex == p.apex)
                continue; // the lower one of the same apex came first
            Crossing s;
            while (!hull.empty()) {
                s = crossing(hull.back(), p);
                if (hull.size() == 1 || !atOrBefore(s, starts.back()))
                    break;
                hull.pop_back();
                starts.pop_back();
            }
            if (hull.empty())
                starts.push_back({});
            else
                starts.push_back(s);
            hull.push_back(p);
        }
        for (std::size_t k = 0; k < hull.size(); ++k) {
            const Parabola& p = hull[k];
            if (p.offset > limit)
                continue;
            const std::int64_t half = rootBelow(limit - p.offset);
            std::int64_t first = p.apex - half, last = p.apex + half;
            if (k > 0)
                first = std::max(first, ceilOf(starts[k].num, starts[k].den));
            if (k + 1 < hull.size())
                last = std::min(last, ceilOf(starts[k + 1].num, starts[k + 1].den) - 1);
            // Pixel centres are the even half-pixel columns.
            const std::int64_t firstColumn = std::max<std::int64_t>(1, ceilOf(first, 2));
            const std::int64_t lastColumn = std::min<std::int64_t>(width, last >= 0 ? last / 2 : -ceilOf(-last, 2));
            for (std::int64_t x = firstColumn; x <= lastColumn; ++x) {
                const std::int64_t dx = 2 * x - p.apex;
                const double squared = static_cast<double>(dx * dx + p.offset) / 4;
                const double cut = sweep.levelCutAt(depth, squared);
                if (cut != notCovered)
                    fold(static_cast<std::int32_t>(x), static_cast<std::int32_t>(y), cut);
            }
        }
        ++y;
    }
}

} // namespace zelmar
