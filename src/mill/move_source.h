#pragma once
// What a runner sends: moves that are data. A milling job and the manual move both offer their moves this
// way; the runner decides when each falls due, whether it is sent or only drawn, and reports it done.

#include "image/image_layer.h"
#include "milling.h"

#include <span>
#include <vector>

namespace zelmar {

class SurfaceGuard;

class MoveSource {
public:
    virtual ~MoveSource() = default;
    // The next move due; nullptr once there is none left.
    virtual const PlannedMove* next() = 0;
    // Moves known beyond the one next() gave (that one first), which may be sent before it is done.
    virtual std::span<const PlannedMove> plannedAhead() const = 0;
    // The move next() gave is done; the area of the mill layer it painted (0-based pixels).
    virtual PixelRect complete() = 0;
    // Moves done so far.
    virtual std::int64_t movesDone() const = 0;
    // What the moves must keep the tool above, for a shaped tool: steps are merged only where the merged move
    // keeps above too. Nothing for today's tool.
    virtual const SurfaceGuard* surfaceGuard() const { return nullptr; }
};

// A job of moves given in advance that paints nothing.
class MoveList : public MoveSource {
public:
    explicit MoveList(std::vector<PlannedMove> moves) : moves_(std::move(moves)) {}

    const PlannedMove* next() override { return done_ < moves_.size() ? &moves_[done_] : nullptr; }
    std::span<const PlannedMove> plannedAhead() const override {
        return std::span<const PlannedMove>(moves_).subspan(done_);
    }
    PixelRect complete() override {
        ++done_;
        return {};
    }
    std::int64_t movesDone() const override { return static_cast<std::int64_t>(done_); }

private:
    std::vector<PlannedMove> moves_;
    std::size_t done_ = 0;
};

// The manual move: a job of one move.
class SingleMove : public MoveList {
public:
    explicit SingleMove(const PlannedMove& move) : MoveList({move}) {}
};

} // namespace zelmar
