#pragma once
// Where a streamed job stands on the machine, as plain data: the lines the controller answered and may not have
// carried out yet, where the lines sent take it, and, after it dropped its queue (a stop, a fault), the lines to
// send again. A status report places the machine on the path: the lines behind it are carried out, and only then
// are their moves of the plan done, so that what the screen shows follows the machine, not its "ok"s (grbl answers
// a line when it takes it into its queue, long before it moves along it).

#include "stream_path.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

namespace zelmar {

class StreamRecovery {
public:
    // The line that moves the machine by `delta` (a rapid, or at the feed), in its own words.
    using RawMove = std::function<std::string(const MachinePosition& delta, bool rapid)>;

    // The job's first position is known: its lines start there.
    void start(const MachinePosition& at);
    // A line of the job goes out: where it takes the machine.
    const MachinePosition& lineEnd() const { return lineEnd_; }
    void sent(const PathSegment& segment) { lineEnd_ = segment.end; }
    // The controller answered a line; its plan moves are done once the machine is found beyond it.
    void answered(PathSegment segment) { answered_.push_back(std::move(segment)); }
    // Plan moves of answered lines the machine has not been found beyond yet.
    std::int64_t movesNotDone() const;

    // What the machine carried out, each line's plan moves (one entry a line), in order.
    using Carried = std::vector<std::int32_t>;
    // A report: the answered lines behind the machine are carried out. Nothing while lines wait to go again.
    Carried reported(const MachinePosition& at, std::int64_t tolerance);
    // The machine stands idle with every line answered: all of them are carried out.
    Carried standsIdle();

    // The controller dropped its queue: the answered lines, then `unanswered` (sent, never answered), then the
    // lines that waited to go again, are kept until the machine's position says which were carried out.
    void dropped(std::vector<PathSegment> unanswered);
    // Where the machine stood once it had stopped for the drop (a stop reports it; a fault does not).
    void stoodAt(const MachinePosition& at) {
        stood_ = at;
        stoodKnown_ = true;
        lift_ = 0;
    }
    // From where it stood it was lifted straight up by this much: it goes on only from up there, with a plunge
    // back to where it stood as the first line after the modes.
    void liftedBy(std::int64_t up) { lift_ = up; }
    // Where the machine stands after a drop: the lines before the one it stands on were carried out (their
    // plan moves in `carried`), that one up to where it stands; the rest of it goes again as a line from there.
    // False when it stands on none of them (nor, with none kept, where the job left it): it was moved away. A
    // lifted machine must stand where the lift took it.
    bool locate(const MachinePosition& at, std::int64_t tolerance, const RawMove& rawMove, Carried& carried);
    // The lines to send before the job goes on (after locate()), in order.
    std::deque<PathSegment>& replay() { return replay_; }
    // Where the machine should stand for the job to go on: for the operator, when it stands elsewhere.
    MachinePosition expected() const {
        return stoodKnown_ ? MachinePosition{stood_.x, stood_.y, stood_.z + lift_}
               : replay_.empty() ? confirmed_
                                 : replay_.front().start;
    }

private:
    MachinePosition lineEnd_;   // where the lines sent take the machine
    MachinePosition confirmed_; // where the lines known carried out took it
    std::deque<PathSegment> answered_;
    std::deque<PathSegment> replay_;
    MachinePosition stood_;
    bool stoodKnown_ = false;
    std::int64_t lift_ = 0; // above stood_
};

} // namespace zelmar
