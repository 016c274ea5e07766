#include "motion_time.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace zelmar {

void MotionClock::add(const CommandMove& command) {
    const bool rapid = isRapid(command.kind, command.z);
    const std::int32_t feed = writer_.feedOf(command);
    if (!map_) {
        addMove(writer_.countX(command), writer_.countY(command), writer_.countZ(command), rapid, feed,
                writer_.line(command).size());
        return;
    }
    const StepPoint to{planned_.x + writer_.countX(command), planned_.y + writer_.countY(command),
                       planned_.z + writer_.countZ(command)};
    for (const StepPoint& end : mappedMove(*map_, mmPerStep_, planned_, to)) {
        const StepPoint d{end.x - tool_.x, end.y - tool_.y, end.z - tool_.z};
        addMove(d.x, d.y, d.z, rapid, feed, writer_.moveLine(rapid, d.x, d.y, d.z, feed).size());
        tool_ = end;
    }
    planned_ = to;
}

void MotionClock::addMove(std::int64_t x, std::int64_t y, std::int64_t z, bool rapid, std::int32_t feed,
                          std::size_t bytes) {
    lines_ += static_cast<double>(bytes) * 10.0 / std::max(baud_, 1);
    const std::array<double, 3> d{static_cast<double>(x) * mmPerStep_, static_cast<double>(y) * mmPerStep_,
                                  static_cast<double>(z) * mmPerStep_};
    const double length = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
    if (!(length > 0))
        return;
    // The move's own limits: no axis beyond its rate or its acceleration.
    Move m{{d[0] / length, d[1] / length, d[2] / length}, length, std::numeric_limits<double>::infinity(),
           std::numeric_limits<double>::infinity()};
    for (std::size_t i = 0; i < 3; ++i) {
        const double share = std::abs(m.unit[i]);
        if (share <= 0)
            continue;
        m.speed = std::min(m.speed, rates_.maxRate[i] / share);
        m.acceleration = std::min(m.acceleration, rates_.acceleration[i] / share);
    }
    if (!rapid)
        m.speed = std::min(m.speed, static_cast<double>(feed));
    m.speed /= 60; // mm/s
    if (m.speed > 0 && m.acceleration > 0)
        moves_.push_back(m);
}

double MotionClock::seconds() const {
    const std::size_t n = moves_.size();
    // The fastest each move may be entered at: its corner with the one before (grbl's junction deviation).
    std::vector<double> entry(n + 1, 0.0); // entry[n]: the end, at a standstill
    for (std::size_t i = 1; i < n; ++i) {
        const Move& a = moves_[i - 1];
        const Move& b = moves_[i];
        const double cosine = -(a.unit[0] * b.unit[0] + a.unit[1] * b.unit[1] + a.unit[2] * b.unit[2]);
        double limit = std::min(a.speed, b.speed);
        if (cosine > 0.999999) {
            limit = 0; // straight back: a standstill
        } else if (cosine > -0.999999) {
            const double halfSine = std::sqrt(0.5 * (1 - cosine));
            limit = std::min(limit, std::sqrt(b.acceleration * rates_.junctionDeviation * halfSine / (1 - halfSine)));
        }
        entry[i] = limit;
    }
    // Backwards: each move can still slow down to the next one's entry; forwards: it can speed up only so much.
    for (std::size_t i = n; i-- > 0;)
        entry[i] = std::min(entry[i], std::sqrt(entry[i + 1] * entry[i + 1] + 2 * moves_[i].acceleration * moves_[i].length));
    for (std::size_t i = 0; i < n; ++i)
        entry[i + 1] = std::min(entry[i + 1], std::sqrt(entry[i] * entry[i] + 2 * moves_[i].acceleration * moves_[i].length));
    double total = lines_;
    for (std::size_t i = 0; i < n; ++i) {
        const Move& m = moves_[i];
        const double in = entry[i], out = entry[i + 1], a = m.acceleration;
        const double up = (m.speed * m.speed - in * in) / (2 * a), down = (m.speed * m.speed - out * out) / (2 * a);
        if (up + down <= m.length) {
            total += (m.speed - in) / a + (m.speed - out) / a + (m.length - up - down) / m.speed;
        } else { // never at full speed: up to the peak and down again
            const double peak = std::sqrt((2 * a * m.length + in * in + out * out) / 2);
            total += (peak - in) / a + (peak - out) / a;
        }
    }
    return total;
}

} // namespace zelmar
