#pragma once
// A streaming controller's pacing (grbl): its modes before the job's lines, the program end after them; the
// machine's position on the job's path after each report; a feed hold for "Пауза", a dropped queue for "Стоп"
// and a fault, and, to go on, the lines it may not have carried out from where it says it stands.

#include "link/streaming_link.h"
#include "run_pacing.h"
#include "stream_recovery.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <utility>

namespace zelmar {

class StreamPacing : public RunPacing {
public:
    StreamPacing(StreamingLink& link, PacedRun& run) : link_(link), run_(run) {}

    bool readyForPlan() override;
    void regionOut() override;
    std::size_t movesAnswered() const override;
    bool closeRun() override;
    bool placeCommand(std::string& line, const CommandMove& command, std::size_t moves,
                      std::optional<PathSegment>& segment, bool& refused) override;
    bool answered(LineRole role, std::optional<PathSegment> segment) override;
    bool pause() override;
    bool stop() override;
    bool resume() override;
    void dropHeld() override;
    bool failed(const LinkFault& fault) override;
    bool settlesUnansweredCommands() const override { return false; }
    bool takesMoveAside() const override { return link_.takesMoveAside(); }
    bool wroteLines() const override { return st_.wrote; }
    void beginRun() override { st_ = State{}; }
    void putAside() override { aside_ = std::move(st_); }
    void takeBack() override;
    void forgetAside() override { aside_.reset(); }
    void stoppedAt(const MachinePosition& at) override;
    void idleAt(const MachinePosition& at) override;
    void reportedAt(const MachinePosition& at) override;
    void unlocked() override;

private:
    // The controller's side of the run.
    struct State {
        bool positionKnown = false; // where the machine stands (start, or after a drop)
        bool started = false;       // the job's first position was taken
        std::size_t modesSent = 0;  // of the modal lines, since the controller last dropped its queue
        bool modesDone = false;     // all of them: not asked for again line after line
        bool wrote = false;         // a line of the job went out: the program end follows
        // The closing lines go out one by one as room allows (Sending), the last of them the program end.
        enum class Closing { No, Sending, EndSent, AwaitingIdle } closing = Closing::No;
        std::size_t closingSent = 0;
        bool locating = false;      // asked where the machine stands
        bool stopping = false;      // asked to stop and drop its queue
        bool holding = false;       // in a feed hold ("Пауза")
        bool regionEnd = false;     // the region's lines are all out: waiting for the machine to stand after them
        std::int64_t surfaceZ = 0;  // the machine's Z at the stock's surface, taken with the job's first position
        // After a dropped queue the tool goes up out of the stock first: the lift's lines are out, and the machine
        // is awaited to stand above (`lift` over where it stopped); a stop ends only then.
        bool lifting = false;
        bool liftEndsStop = false;
        std::int64_t lift = 0;
        bool liftAfterUnlock = false; // an alarm that kept the position: the lift follows the operator's unlock
        bool settling = false;        // unlocked: asked where the machine stands, for the lift
        bool liftWhenStopped = false; // a refused line: the lift follows the stop the controller makes of it
        int positionLostBy = 0;       // the alarm after which grbl no longer knows its position (-1: no code)
        std::uint64_t epoch = 0;    // the controller's coordinates the positions are in
        StreamRecovery path;
        // The probed surface moved to the job's start: its zero there, and no rise there. The tool then starts
        // at the surface wherever the map says it lies, as on a flat stock.
        std::optional<HeightMap> map;
        MachinePosition origin;         // the job's start, where the map's steps count from
        std::deque<PathSegment> pieces; // of the command going out, bent to the map, not out yet
    };
    using Closing = State::Closing;

    // Where the job's surface plus the safe height is above the machine standing at `at`, the lift out of the
    // stock goes out and true is returned: idleAt() then finds the machine standing above.
    bool liftFrom(const MachinePosition& at, bool endsStop);
    // An alarm: whether its lift waits for the unlock, or the job may not go on at all.
    void noteAlarm(const LinkFault& fault);
    // How far one depth unit moves the machine's Z, in its reported units; 0 when the scale does not hold.
    std::int64_t depthTravel() const;
    // A job whose lines went, or are about to go, to the controller.
    bool streamed() const;
    bool sendLine(const std::string& text, LineRole role, std::optional<PathSegment> segment);
    // The controller dropped its queue (stop or fault): the lines it may not have carried out are kept.
    void drop();
    bool locate(const MachinePosition& at);
    std::int64_t positionTolerance() const;
    // How far one pixel of the job moves the machine, in its reported units; 0 when the scale does not hold.
    std::int64_t pixelTravel() const;
    // One pixel along X (or one depth unit along Z), as pixelTravel() and depthTravel() give it.
    std::int64_t travelOfOne(bool depth) const;
    void offPath(const MachinePosition& at);
    // The map, moved to the job's start at `at`; false when the controller has not said where the work lies.
    bool placeMap(const MachinePosition& at);
    // Motor steps from the job's start, to the nearest; and the map's rise there, in motor steps.
    StepPoint stepsAt(const MachinePosition& at) const;
    std::int64_t riseAt(const StepPoint& at) const;
    // The command's pieces along the map from where the last line ends.
    bool bend(const CommandMove& command, std::size_t moves);

    StreamingLink& link_;
    PacedRun& run_;
    State st_;
    std::optional<State> aside_; // the job's, while the manual move runs
};

} // namespace zelmar
