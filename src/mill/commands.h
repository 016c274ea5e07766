#pragma once
// How the moves of a plan go out as commands. Every move is one command, unless steps are merged. Straight runs:
// consecutive steps along one axis, in one direction and without a change of depth, go as one command that moves
// the whole run; diagonal steps and steps that change the depth stay one command each, as a board that moves its
// axes one after the other would cut a diagonal run as a staircase. Within a tolerance: consecutive steps whose
// points all lie within it of the straight line from the run's start to its end (depth included, a depth unit
// as long as a pixel) go as one command, whatever their directions; the merged command ends exactly where the
// steps do.

#include "milling.h"
#include "move_source.h"

#include <cstddef>
#include <functional>
#include <span>

namespace zelmar {

class SurfaceGuard;

// One command: the sum of its moves (pixels and depth units, negative z deeper), what kind of move it is, and
// how many plan moves it stands for.
struct CommandMove {
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::int32_t z = 0;
    MoveKind kind = MoveKind::Step;
    std::int32_t moves = 1;
};

struct MergeRule {
    bool straightRuns = false; // MergeSteps
    double tolerance = 0;      // MergeTolerance in pixels; above 0 it decides alone

    bool merges() const { return straightRuns || tolerance > 0; }
};

// How many moves, from the first of `ahead` (which must not be empty), go out as the next command. A merged run
// is at most longestRun steps, so that its counts still fit where single steps do. With a guard (a shaped tool), a
// run merged within a tolerance goes as one command only where its straight move keeps the whole tool above the
// picture: being near the tip's path is not enough for a tool wider than a pixel.
std::size_t movesInCommand(std::span<const PlannedMove> ahead, const MergeRule& rule, std::size_t longestRun,
                           const SurfaceGuard* guard = nullptr);

// The longest run whose count, at this many motor steps a pixel, fits a 32-bit counter.
std::size_t longestRunAt(std::int32_t stepsPerPixel);

// The command of these moves.
CommandMove commandOf(std::span<const PlannedMove> moves);

// The one way a job's commands are made: for the runner, the dry simulation (the estimate, the G-code export)
// and the journal's resumption alike.
class CommandFeed {
public:
    CommandFeed(const MergeRule& rule, std::int32_t stepsPerPixel)
        : rule_(rule), longest_(longestRunAt(stepsPerPixel)) {}

    // The moves of the next command, from the first of `ahead` (which must not be empty); the guard is the job's
    // (MoveSource::surfaceGuard).
    std::span<const PlannedMove> nextMoves(std::span<const PlannedMove> ahead,
                                           const SurfaceGuard* guard = nullptr) const {
        return ahead.first(movesInCommand(ahead, rule_, longest_, guard));
    }
    // The lift of a pause or a stop to the surface, or the plunge back, by `depth` depth units.
    static CommandMove liftOrPlunge(bool lift, std::int32_t depth);
    // The job's commands from where it stands to its end, each handed over as its moves are done: a simulation,
    // nothing is sent.
    void runThrough(MoveSource& job, const std::function<void(const CommandMove&)>& onCommand) const;

private:
    MergeRule rule_;
    std::size_t longest_;
};

} // namespace zelmar
