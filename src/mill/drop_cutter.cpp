#include "drop_cutter.h"

#include <algorithm>
#include <array>
#include <limits>
#include <thread>

namespace zelmar {

namespace {

constexpr int levelCount = 256;

struct Transform {
    std::span<const std::uint8_t> targets;
    std::int32_t width;
    std::int32_t height;
    std::int64_t reach;                   // the tool's reach, squared
    std::vector<std::int32_t> unitsAbove; // by squared distance, 0..reach
    int deepest = 0;                      // the deepest target: a bound there or below it lowers no pixel
};

// The depth bound of one level over the picture, folded into depths (min). Column pass into `columns` (the
// distance down or up a column to the nearest pixel at the level or shallower, capped just beyond the reach),
// then each row's lower envelope.
template <typename Distance>
void foldLevel(const Transform& t, int level, std::vector<Distance>& columns, std::vector<std::uint8_t>& depths) {
    const std::size_t w = static_cast<std::size_t>(t.width);
    const std::size_t h = static_cast<std::size_t>(t.height);
    // Where the body stands as high above this level as the deepest target or higher, it lowers no pixel: on a
    // shallow picture a wide tool's reach that matters ends far inside its radius.
    std::int64_t reach = t.reach;
    while (reach >= 0 && level + t.unitsAbove[static_cast<std::size_t>(reach)] >= t.deepest)
        --reach;
    if (reach < 0)
        return;
    // Farther than the cap, a column's pixel lies outside that reach whatever the row distance.
    std::int64_t capValue = 1;
    while (capValue * capValue <= reach && capValue < std::numeric_limits<Distance>::max())
        ++capValue;
    const Distance cap = static_cast<Distance>(capValue);
    columns.resize(w * h);
    // Written as plain element-wise loops, which vectorise.
    const auto atLevel = static_cast<std::uint8_t>(level);
    for (std::size_t y = 0; y < h; ++y) {
        const std::uint8_t* row = t.targets.data() + y * w;
        Distance* out = columns.data() + y * w;
        if (y == 0) {
            for (std::size_t x = 0; x < w; ++x)
                out[x] = row[x] <= atLevel ? Distance{0} : cap;
            continue;
        }
        const Distance* above = out - w;
        for (std::size_t x = 0; x < w; ++x) {
            const Distance fromAbove = static_cast<Distance>(above[x] + 1);
            out[x] = row[x] <= atLevel ? Distance{0} : (fromAbove < cap ? fromAbove : cap);
        }
    }
    for (std::size_t y = h - 1; y-- > 0;) {
        Distance* out = columns.data() + y * w;
        const Distance* below = out + w;
        for (std::size_t x = 0; x < w; ++x) {
            const Distance fromBelow = static_cast<Distance>(below[x] + 1);
            const Distance capped = fromBelow < cap ? fromBelow : cap;
            out[x] = out[x] < capped ? out[x] : capped;
        }
    }
    // A stretch whose deepest pixel is k gains nothing from a site at a column distance of capBelow[k] or
    // more: beyond the largest squared distance at which the bound stays below k (none: 0; only 0: 1).
    std::array<std::int64_t, levelCount + 1> capBelow{};
    for (std::int64_t k = 0, s2 = -1, c = 0; k <= levelCount; ++k) {
        while (s2 < reach && level + t.unitsAbove[static_cast<std::size_t>(s2 + 1)] < k)
            ++s2;
        while (c * c <= s2 && c < capValue)
            ++c;
        capBelow[static_cast<std::size_t>(k)] = c;
    }
    // Lower envelope of the parabolas (x - q)^2 + g(q)^2 over the sites q of a row whose column distance is
    // below the cap. Only pixels deeper than the level are bound, and they are those of g > 0; for one of a
    // stretch of them, no site beyond the stretch's neighbours (g = 0 both) comes nearer than those, so each
    // stretch needs only its own envelope: a row costs what it has below the level, not its width. A site
    // beyond the reach of the stretch's deepest pixel is left out too: the nearest site of any pixel it could
    // have been lies so far that no bound is lowered, and the farther sites that stand in for it lower none
    // either.
    std::vector<std::int64_t> site(w + 2), value(w + 2);
    std::vector<double> from(w + 3);
    for (std::size_t y = 0; y < h; ++y) {
        const Distance* g = columns.data() + y * w;
        std::uint8_t* d = depths.data() + y * w;
        for (std::size_t x = 0; x < w;) {
            while (x < w && g[x] == 0)
                ++x;
            if (x == w)
                break;
            const std::size_t first = x;
            while (x < w && g[x] > 0)
                ++x;
            const std::size_t last = x - 1;
            std::uint8_t deepestHere = 0;
            for (std::size_t p = first; p <= last; ++p)
                deepestHere = std::max(deepestHere, d[p]);
            const std::int64_t stretchCap = capBelow[deepestHere];
            if (stretchCap <= 1)
                continue; // every pixel of it lies at least one pixel from the level
            std::size_t n = 0;
            for (std::size_t q = first > 0 ? first - 1 : first; q <= std::min(last + 1, w - 1); ++q) {
                if (g[q] >= stretchCap)
                    continue;
                const std::int64_t qi = static_cast<std::int64_t>(q);
                const std::int64_t f = std::int64_t{g[q]} * g[q] + qi * qi;
                double s = 0;
                while (n > 0) {
                    s = static_cast<double>(f - value[n - 1]) / static_cast<double>(2 * (qi - site[n - 1]));
                    if (s > from[n - 1])
                        break;
                    --n;
                }
                site[n] = qi;
                value[n] = f;
                from[n] = n == 0 ? -std::numeric_limits<double>::infinity() : s;
                ++n;
            }
            if (n == 0)
                continue;
            std::size_t k = 0;
            for (std::size_t p = first; p <= last; ++p) {
                const double pd = static_cast<double>(p);
                while (k + 1 < n && from[k + 1] < pd)
                    ++k;
                const std::int64_t pi = static_cast<std::int64_t>(p);
                const std::int64_t squared = value[k] - site[k] * site[k] + (pi - site[k]) * (pi - site[k]);
                if (squared > reach || d[p] <= level)
                    continue;
                const std::int64_t bound = level + t.unitsAbove[static_cast<std::size_t>(squared)];
                if (bound < d[p])
                    d[p] = static_cast<std::uint8_t>(bound);
            }
        }
    }
}

template <typename Distance>
void foldLevels(const Transform& t, std::span<const int> levels, std::vector<std::uint8_t>& depths) {
    std::vector<Distance> columns;
    for (int level : levels)
        foldLevel<Distance>(t, level, columns, depths);
}

} // namespace

std::vector<std::uint8_t> dropCutterDepths(std::span<const std::uint8_t> targets, std::int32_t width,
                                           std::int32_t height, const ToolProfile& tool) {
    std::vector<std::uint8_t> depths(targets.begin(), targets.end());
    if (tool.coversOnePixel() || width <= 0 || height <= 0)
        return depths;
    Transform t{targets, width, height, 0, {}};
    // Beyond the picture's diagonal the reach adds nothing.
    const std::int64_t diagonal = std::int64_t{width} * width + std::int64_t{height} * height;
    t.reach = std::min(tool.reachSquared(), diagonal);
    t.unitsAbove.resize(static_cast<std::size_t>(t.reach) + 1);
    for (std::int64_t s = 0; s <= t.reach; ++s)
        t.unitsAbove[static_cast<std::size_t>(s)] = std::min(tool.unitsAbove(s), levelCount);

    // A level binds only pixels deeper than it, and only where it brings pixels in that the level before did not.
    std::array<bool, levelCount> present{};
    for (std::uint8_t v : targets)
        present[v] = true;
    int deepest = levelCount - 1;
    while (deepest > 0 && !present[static_cast<std::size_t>(deepest)])
        --deepest;
    t.deepest = deepest;
    std::vector<int> levels;
    for (int v = 0; v < deepest; ++v)
        if (present[static_cast<std::size_t>(v)])
            levels.push_back(v);

    const bool wide = std::max(width, height) + 2 >= std::numeric_limits<std::uint16_t>::max();
    const auto fold = [&t, wide](std::span<const int> some, std::vector<std::uint8_t>& into) {
        if (wide)
            foldLevels<std::uint32_t>(t, some, into);
        else
            foldLevels<std::uint16_t>(t, some, into);
    };
    // Two cores take every other level each; each folds into its own copy, and the copies meet by their minimum.
    const bool split = levels.size() >= 2 && std::int64_t{width} * height >= 1 << 16;
    if (split) {
        std::vector<int> mine, theirs;
        for (std::size_t i = 0; i < levels.size(); ++i)
            (i % 2 == 0 ? mine : theirs).push_back(levels[i]);
        std::vector<std::uint8_t> other = depths;
        std::thread helper([&] { fold(theirs, other); });
        fold(mine, depths);
        helper.join();
        for (std::size_t i = 0; i < depths.size(); ++i)
            depths[i] = std::min(depths[i], other[i]);
    } else {
        fold(levels, depths);
    }

    // Beyond the picture the stock is at the surface: the nearest pixel outside lies straight across the nearest
    // edge.
    for (std::int32_t y = 0; y < height; ++y) {
        std::uint8_t* row = depths.data() + std::size_t(y) * std::size_t(width);
        const std::int64_t toRowEdge = std::min(y + 1, height - y);
        for (std::int32_t x = 0; x < width; ++x) {
            const std::int64_t e = std::min<std::int64_t>(toRowEdge, std::min(x + 1, width - x));
            if (e * e > t.reach || row[x] == 0)
                continue;
            row[x] = static_cast<std::uint8_t>(std::min<std::int32_t>(row[x], t.unitsAbove[static_cast<std::size_t>(e * e)]));
        }
    }
    return depths;
}

} // namespace zelmar
