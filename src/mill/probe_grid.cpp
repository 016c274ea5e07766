#include "probe_grid.h"

#include <algorithm>
#include <cmath>

namespace zelmar {

std::vector<std::pair<std::int32_t, std::int32_t>> ProbeGrid::order() const {
    std::vector<std::pair<std::int32_t, std::int32_t>> sequence;
    sequence.reserve(points());
    for (std::int32_t j = 0; j < ny; ++j)
        for (std::int32_t k = 0; k < nx; ++k)
            sequence.emplace_back(j % 2 == 0 ? k : nx - 1 - k, j);
    return sequence;
}

HeightMap ProbeGrid::mapOf(const std::vector<std::int64_t>& heights) const {
    HeightMap map;
    map.nx = nx;
    map.ny = ny;
    map.originX = static_cast<double>(originX) / 1000.0;
    map.originY = static_cast<double>(originY) / 1000.0;
    map.stepX = static_cast<double>(stepX) / 1000.0;
    map.stepY = static_cast<double>(stepY) / 1000.0;
    map.z.assign(points(), 0.0);
    const auto sequence = order();
    for (std::size_t k = 0; k < sequence.size() && k < heights.size(); ++k)
        map.z[static_cast<std::size_t>(sequence[k].second) * static_cast<std::size_t>(nx) +
              static_cast<std::size_t>(sequence[k].first)] = static_cast<double>(heights[k]) / 1000.0;
    return map;
}

std::optional<ProbeGrid> probeGridOver(const ProbeArea& a, std::int32_t nx, std::int32_t ny) {
    if (nx < 2 || ny < 2 || a.width < 1 || a.height < 1 || !(a.pixelMm > 0) || !(a.marginMm >= 0))
        return std::nullopt;
    // The tool's centre over the first and the last pixel, along the machine's axes: the picture's right is
    // X+, its top Y+, unless an axis is turned.
    const auto span = [&](std::int32_t first, std::int32_t last, std::int32_t sign) {
        const double a0 = static_cast<double>(first) * sign, a1 = static_cast<double>(last) * sign;
        return std::pair(std::min(a0, a1), std::max(a0, a1));
    };
    const auto [x0, x1] = span(1 - a.startX, a.width - a.startX, a.axisX < 0 ? -1 : 1);
    const auto [y0, y1] = span(a.startY - 1, a.startY - a.height, a.axisY < 0 ? -1 : 1);
    const auto um = [](double mm) { return static_cast<std::int64_t>(std::llround(mm * 1000.0)); };
    ProbeGrid grid;
    grid.nx = nx;
    grid.ny = ny;
    grid.originX = um(x0 * a.pixelMm + a.marginMm);
    grid.originY = um(y0 * a.pixelMm + a.marginMm);
    // Steps rounded down: the last point never lies beyond the far margin.
    grid.stepX = (um(x1 * a.pixelMm - a.marginMm) - grid.originX) / (nx - 1);
    grid.stepY = (um(y1 * a.pixelMm - a.marginMm) - grid.originY) / (ny - 1);
    if (grid.stepX <= 0 || grid.stepY <= 0)
        return std::nullopt;
    return grid;
}

std::string micrometreText(std::int64_t um) {
    const bool negative = um < 0;
    const std::int64_t v = negative ? -um : um;
    std::string text = std::to_string(v / 1000);
    if (const std::int64_t fraction = v % 1000; fraction != 0) {
        std::string digits = std::to_string(fraction);
        digits.insert(digits.begin(), 3 - digits.size(), '0');
        while (digits.back() == '0')
            digits.pop_back();
        text += '.';
        text += digits;
    }
    if (negative)
        text.insert(text.begin(), '-');
    return text;
}

} // namespace zelmar
