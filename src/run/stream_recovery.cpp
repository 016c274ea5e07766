#include "stream_recovery.h"

namespace zelmar {

namespace {
// Within the report's last digit the machine is where a line took it.
constexpr std::int64_t reportDigit = 1'000'000;
} // namespace

void StreamRecovery::start(const MachinePosition& at) {
    lineEnd_ = confirmed_ = at;
    answered_.clear();
    replay_.clear();
}

std::int64_t StreamRecovery::movesNotDone() const {
    std::int64_t n = 0;
    for (const PathSegment& s : answered_)
        n += s.unacknowledgedMoves;
    return n;
}

StreamRecovery::Carried StreamRecovery::reported(const MachinePosition& at, std::int64_t tolerance) {
    Carried carried;
    if (answered_.empty() || !replay_.empty())
        return carried;
    const std::optional<std::size_t> k = segmentHolding(answered_, at, tolerance);
    if (!k || *k == 0)
        return carried;
    confirmed_ = answered_[*k - 1].end;
    for (std::size_t i = 0; i < *k; ++i)
        carried.push_back(answered_[i].unacknowledgedMoves);
    answered_.erase(answered_.begin(), answered_.begin() + static_cast<std::ptrdiff_t>(*k));
    return carried;
}

StreamRecovery::Carried StreamRecovery::standsIdle() {
    Carried carried;
    for (const PathSegment& s : answered_)
        carried.push_back(s.unacknowledgedMoves);
    if (!answered_.empty())
        confirmed_ = answered_.back().end;
    answered_.clear();
    return carried;
}

void StreamRecovery::dropped(std::vector<PathSegment> unanswered) {
    // In the order sent: answered lines, then unanswered ones (lines of the job again before new ones), then
    // those not sent yet.
    std::deque<PathSegment> path = std::move(answered_);
    for (PathSegment& segment : unanswered)
        path.push_back(std::move(segment));
    for (PathSegment& segment : replay_)
        path.push_back(std::move(segment));
    replay_ = std::move(path);
    answered_.clear();
    stoodKnown_ = false;
    lift_ = 0;
}

bool StreamRecovery::locate(const MachinePosition& at, std::int64_t tolerance, const RawMove& rawMove,
                            Carried& carried) {
    const auto catchUp = [&rawMove](const MachinePosition& from, const MachinePosition& to, bool rapid) {
        return PathSegment{from, to, rawMove({to.x - from.x, to.y - from.y, to.z - from.z}, rapid), rapid, 0};
    };
    MachinePosition on = at; // where the job goes on from, after the plunge of a lifted machine
    const MachinePosition above = expected();
    if (stoodKnown_ && lift_ > 0) {
        if (!samePlace(at, above, tolerance))
            return false;
        on.z -= lift_;
    }
    const auto plunge = [&] {
        if (lift_ > 0)
            replay_.push_front(catchUp(at, on, false));
        lift_ = 0;
    };
    const std::optional<std::size_t> k = segmentHolding(replay_, on, tolerance);
    std::deque<PathSegment> path = std::move(replay_);
    replay_.clear();
    if (k)
        stoodKnown_ = false; // back on the path
    if (!k) {
        if (path.empty() && samePlace(on, confirmed_, tolerance)) {
            if (!samePlace(on, confirmed_, reportDigit))
                replay_.push_back(catchUp(on, confirmed_, false));
            lineEnd_ = confirmed_;
            plunge();
            return true;
        }
        replay_ = std::move(path);
        return false;
    }
    // The lines before the one it stood on were carried out, that one up to where it stands. Plan moves among
    // them count as done now; the rest of the plan goes from the plan.
    for (std::size_t i = 0; i <= *k; ++i)
        carried.push_back(path[i].unacknowledgedMoves);
    const PathSegment& held = path[*k];
    confirmed_ = held.start;
    if (!samePlace(on, held.end, reportDigit))
        replay_.push_back(catchUp(on, held.end, held.rapid));
    lineEnd_ = held.end;
    // Lines beyond it whose moves are done in the plan go again as they are (none stay behind in the plan).
    for (std::size_t i = *k + 1; i < path.size() && path[i].unacknowledgedMoves == 0; ++i) {
        replay_.push_back(std::move(path[i]));
        lineEnd_ = replay_.back().end;
    }
    plunge();
    return true;
}

} // namespace zelmar
