#pragma once
// What a runner sends: moves that are data. A milling job and the manual move both offer their moves this
// way; the runner decides when each falls due, whether it is sent or only drawn, and reports it done.

#include "image/image_layer.h"
#include "milling.h"

#include <span>

namespace zelmar {

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
};

// A job of one move that paints nothing: the manual move.
class SingleMove : public MoveSource {
public:
    explicit SingleMove(const PlannedMove& move) : move_(move) {}

    const PlannedMove* next() override { return done_ ? nullptr : &move_; }
    std::span<const PlannedMove> plannedAhead() const override {
        return done_ ? std::span<const PlannedMove>() : std::span<const PlannedMove>(&move_, 1);
    }
    PixelRect complete() override {
        done_ = true;
        return {};
    }
    std::int64_t movesDone() const override { return done_ ? 1 : 0; }

private:
    PlannedMove move_;
    bool done_ = false;
};

} // namespace zelmar
