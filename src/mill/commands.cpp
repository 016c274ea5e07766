#include "commands.h"

#include <algorithm>
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

std::size_t movesInCommand(std::span<const PlannedMove> ahead, bool mergeSteps, std::size_t longestRun) {
    if (!mergeSteps || ahead.empty() || !straightLevelStep(ahead.front()))
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
        const std::span<const PlannedMove> moves = nextMoves(job.plannedAhead());
        const std::size_t n = moves.size();
        onCommand(commandOf(moves));
        for (std::size_t i = 0; i < n; ++i)
            job.complete();
    }
}

} // namespace zelmar
