#include "commands.h"

#include "tool_sweep.h"

#include <algorithm>
#include <array>
#include <limits>

namespace zelmar {

namespace {

bool straightLevelStep(const PlannedMove& m) {
    return m.kind == MoveKind::Step && m.z == 0 && (m.x == 0) != (m.y == 0);
}

} // namespace

std::size_t longestRunAt(std::int32_t stepsPerPixel) {
    return stepsPerPixel <= 0 ? 1
                              : std::max<std::size_t>(1, static_cast<std::size_t>(
                                                             std::numeric_limits<std::int32_t>::max() / stepsPerPixel));
}

namespace {

// Steps from the start of the run while every point passed stays within the tolerance of the line from the start
// to the last point. Each longer run is checked whole: a point near the line to one end may be far from the line
// to a later one. A run of equal steps lies on its line exactly and needs no check.
std::size_t stepsWithin(std::span<const PlannedMove> ahead, double tolerance, std::size_t longestRun) {
    // A bound on the work a command costs: each try looks at every point of the run.
    constexpr std::size_t longestChecked = 256;
    const double limit = tolerance * tolerance;
    std::array<std::array<double, 3>, longestChecked> points; // after each step, from the run's start
    std::array<double, 3> at{0, 0, 0};
    bool equalSteps = true;
    std::size_t n = 0;
    while (n < ahead.size() && n < longestRun && ahead[n].kind == MoveKind::Step) {
        const PlannedMove& m = ahead[n];
        equalSteps = equalSteps && m.x == ahead[0].x && m.y == ahead[0].y && m.z == ahead[0].z;
        if (!equalSteps && n >= longestChecked)
            break;
        const std::array<double, 3> end{at[0] + m.x, at[1] + m.y, at[2] + m.z};
        if (!equalSteps) {
            const double ll = end[0] * end[0] + end[1] * end[1] + end[2] * end[2];
            for (std::size_t i = 0; i < n; ++i) {
                const auto& p = points[i];
                const double t = ll > 0 ? std::clamp((p[0] * end[0] + p[1] * end[1] + p[2] * end[2]) / ll, 0.0, 1.0) : 0;
                const double dx = p[0] - t * end[0], dy = p[1] - t * end[1], dz = p[2] - t * end[2];
                if (dx * dx + dy * dy + dz * dz > limit)
                    return std::max<std::size_t>(n, 1);
            }
        }
        if (n < longestChecked)
            points[n] = end;
        at = end;
        ++n;
    }
    return std::max<std::size_t>(n, 1);
}

} // namespace

std::size_t movesInCommand(std::span<const PlannedMove> ahead, const MergeRule& rule, std::size_t longestRun,
                           const SurfaceGuard* guard) {
    if (!rule.merges() || ahead.empty() || ahead.front().kind != MoveKind::Step)
        return 1;
    if (rule.tolerance > 0) {
        std::size_t n = stepsWithin(ahead, rule.tolerance, longestRun);
        // Every single step keeps above; a shorter run is within the tolerance as well.
        while (guard && n > 1 && !guard->keepsAbove(tipBefore(ahead.front()), tipAfter(ahead[n - 1])))
            n /= 2;
        return n;
    }
    if (!straightLevelStep(ahead.front()))
        return 1;
    const PlannedMove& first = ahead.front();
    std::size_t n = 1;
    while (n < ahead.size() && n < longestRun && straightLevelStep(ahead[n]) && ahead[n].x == first.x &&
           ahead[n].y == first.y)
        ++n;
    return n;
}

CommandMove commandOf(std::span<const PlannedMove> moves) {
    CommandMove c;
    c.kind = moves.front().kind;
    c.moves = static_cast<std::int32_t>(moves.size());
    for (const PlannedMove& m : moves) {
        c.x += m.x;
        c.y += m.y;
        c.z += m.z;
    }
    return c;
}

CommandMove CommandFeed::liftOrPlunge(bool lift, std::int32_t depth) {
    CommandMove command;
    command.z = lift ? depth : -depth;
    command.kind = lift ? MoveKind::Lift : MoveKind::Plunge;
    return command;
}

void CommandFeed::runThrough(MoveSource& job, const std::function<void(const CommandMove&)>& onCommand) const {
    while (job.next()) {
        const std::span<const PlannedMove> moves = nextMoves(job.plannedAhead(), job.surfaceGuard());
        const std::size_t n = moves.size();
        onCommand(commandOf(moves));
        for (std::size_t i = 0; i < n; ++i)
            job.complete();
    }
}

} // namespace zelmar
