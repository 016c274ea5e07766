#include "stream_path.h"

#include <algorithm>
#include <cmath>

namespace zelmar {

bool samePlace(const MachinePosition& a, const MachinePosition& b, std::int64_t tolerance) {
    const auto near = [tolerance](std::int64_t u, std::int64_t v) {
        return (u > v ? static_cast<std::uint64_t>(u) - static_cast<std::uint64_t>(v)
                      : static_cast<std::uint64_t>(v) - static_cast<std::uint64_t>(u)) <=
               static_cast<std::uint64_t>(tolerance);
    };
    return near(a.x, b.x) && near(a.y, b.y) && near(a.z, b.z);
}

namespace {

// The distance from the point to the segment, in the positions' units; long double keeps a metre in 10^-9 mm
// to well below the tolerance.
long double distanceToSegment(const MachinePosition& p, const MachinePosition& a, const MachinePosition& b) {
    const long double dx = static_cast<long double>(b.x) - a.x;
    const long double dy = static_cast<long double>(b.y) - a.y;
    const long double dz = static_cast<long double>(b.z) - a.z;
    const long double px = static_cast<long double>(p.x) - a.x;
    const long double py = static_cast<long double>(p.y) - a.y;
    const long double pz = static_cast<long double>(p.z) - a.z;
    const long double length2 = dx * dx + dy * dy + dz * dz;
    long double t = length2 > 0 ? (px * dx + py * dy + pz * dz) / length2 : 0;
    t = std::clamp<long double>(t, 0, 1);
    const long double ex = px - t * dx, ey = py - t * dy, ez = pz - t * dz;
    return std::sqrt(ex * ex + ey * ey + ez * ez);
}

} // namespace

std::optional<std::size_t> segmentHolding(const std::deque<PathSegment>& path, const MachinePosition& at,
                                          std::int64_t tolerance, std::size_t from) {
    for (std::size_t i = from; i < path.size(); ++i)
        if (distanceToSegment(at, path[i].start, path[i].end) <= static_cast<long double>(tolerance))
            return i;
    return std::nullopt;
}

} // namespace zelmar
