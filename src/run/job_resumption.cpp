#include "job_resumption.h"

namespace zelmar {

std::optional<JobRunner::Resumption> resumptionOf(const JournalState& state, MillJob& job, const MachineLink& link,
                                                  const Checked& scale, const MergeRule& merge) {
    JobRunner::Resumption at;
    const ToolPosition tool = job.tool();
    at.toolDown = job.toolInMaterial() && !state.lifted;
    at.depth = at.toolDown ? tool.toolZ : 0;
    at.board = {tool.toolX, tool.toolY, at.depth};
    at.owesPlunge = state.lifted;
    at.plungeDepth = state.liftDepth;
    using Pending = JournalState::Pending;
    if (state.pending == Pending::None)
        return at;
    JobRunner::OpenMove open;
    if (state.pending == Pending::Move) {
        if (!job.next())
            return std::nullopt;
        // The command the journal names must be the one the job's feed makes there.
        const std::span<const PlannedMove> moves =
            CommandFeed(scale.ok() ? merge : MergeRule{}, scale.ok() ? scale.value : 1).nextMoves(job.plannedAhead(), job.surfaceGuard());
        if (moves.size() != static_cast<std::size_t>(state.pendingMoves))
            return std::nullopt;
        const CommandMove command = commandOf(moves);
        open.kind = JobRunner::OpenMove::Kind::Plan;
        open.index = state.pendingMove;
        open.moves = state.pendingMoves;
        open.command = scale.ok() ? link.commandFor(command, scale.value).text : std::string();
    } else {
        const bool lift = state.pending == Pending::Lift;
        const CommandMove command = CommandFeed::liftOrPlunge(lift, state.pendingDepth);
        open.kind = lift ? JobRunner::OpenMove::Kind::Lift : JobRunner::OpenMove::Kind::Plunge;
        open.depth = state.pendingDepth;
        open.command = scale.ok() ? link.commandFor(command, scale.value).text : std::string();
    }
    at.open = open;
    return at;
}

} // namespace zelmar
