#pragma once
// How a machine takes a job's commands: the one place where our board and a streaming controller differ for
// the runner. Our board takes one command at a time, keeps no queue, and is paused or stopped by the runner
// itself (a lift after the current command); its unanswered command is settled by the operator and a journal
// records the job. A streaming controller (grbl) takes as many lines as its buffer holds, holds and goes on by
// itself, drops its queue to stop, and says where it stands: the lines it carried out follow from its reports,
// and it is done with a job only when it stands idle after its last line.

#include "job_runner.h"

namespace zelmar {

class RunPacing {
public:
    virtual ~RunPacing() = default;

    // Before the plan's next command: false while the machine needs other lines first, or a report.
    virtual bool readyForPlan() = 0;
    // All of the current region's plan is out: the next region is planned once its moves are done.
    virtual void regionOut() = 0;
    // Plan moves the machine answered and has not been found to carry out yet.
    virtual std::size_t movesAnswered() const = 0;
    // The plan is used up: true when the run ends only once the machine stands after its last line.
    virtual bool closeRun() = 0;
    // Gives a plan command its place on the machine's path as it goes out. False when it cannot go now:
    // `refused` says whether it never can.
    virtual bool placeCommand(JobRunner::InFlight& item, const CommandMove& command, bool& refused) = 0;
    // A line was answered: true when its plan moves are done now (the runner completes them), false when they
    // wait for the machine to get past them, or it was no command of the plan.
    virtual bool answered(JobRunner::InFlight& item) = 0;
    // "Пауза", "Стоп" and "Продолжить" done by the machine itself; false: by the runner.
    virtual bool pause() = 0;
    virtual bool stop() = 0;
    virtual bool resume() = 0;
    // A job the machine holds is let go (another starts, the kept one is forgotten).
    virtual void dropHeld() = 0;
    // A fault of the line; true when the pacing has ended the run itself.
    virtual bool failed(const LinkFault& fault) = 0;
    // A command that went out unanswered is settled by the operator, and a journal records the job.
    virtual bool settlesUnansweredCommands() const = 0;

    // What a streaming controller reports.
    virtual void stoppedAt(const MachinePosition&) {}
    virtual void idleAt(const MachinePosition&) {}
    virtual void reportedAt(const MachinePosition&) {}
    virtual void unlocked() {}
};

// Our board: one command at a time, nothing of its own.
class BoardPacing : public RunPacing {
public:
    bool readyForPlan() override { return true; }
    void regionOut() override {}
    std::size_t movesAnswered() const override { return 0; }
    bool closeRun() override { return false; }
    bool placeCommand(JobRunner::InFlight&, const CommandMove&, bool&) override { return true; }
    bool answered(JobRunner::InFlight&) override { return true; }
    bool pause() override { return false; }
    bool stop() override { return false; }
    bool resume() override { return false; }
    void dropHeld() override {}
    bool failed(const LinkFault&) override { return false; }
    bool settlesUnansweredCommands() const override { return true; }
};

// A streaming controller (grbl): its modes before the job's lines, the program end after them; the machine's
// position on the job's path after each report; a feed hold for "Пауза", a dropped queue for "Стоп" and a fault,
// and, to go on, the lines it may not have carried out from where it says it stands.
class StreamPacing : public RunPacing {
public:
    explicit StreamPacing(JobRunner& runner) : runner_(runner) {}

    bool readyForPlan() override;
    void regionOut() override;
    std::size_t movesAnswered() const override;
    bool closeRun() override;
    bool placeCommand(JobRunner::InFlight& item, const CommandMove& command, bool& refused) override;
    bool answered(JobRunner::InFlight& item) override;
    bool pause() override;
    bool stop() override;
    bool resume() override;
    void dropHeld() override;
    bool failed(const LinkFault& fault) override;
    bool settlesUnansweredCommands() const override { return false; }
    void stoppedAt(const MachinePosition& at) override;
    void idleAt(const MachinePosition& at) override;
    void reportedAt(const MachinePosition& at) override;
    void unlocked() override;

private:
    // Where the job's surface plus the safe height is above the machine standing at `at`, the lift out of the
    // stock goes out and true is returned: idleAt() then finds the machine standing above.
    bool liftFrom(const MachinePosition& at, bool endsStop);
    // An alarm: whether its lift waits for the unlock, or the job may not go on at all.
    void noteAlarm(const LinkFault& fault);
    // How far one depth unit moves the machine's Z, in its reported units; 0 when the scale does not hold.
    std::int64_t depthTravel() const;
    JobRunner::Stream& stream() const { return runner_.run_.stream; }
    // A job whose lines went, or are about to go, to the controller.
    bool streamed() const;
    bool sendLine(const std::string& text, JobRunner::Role role, std::optional<PathSegment> segment);
    // The controller dropped its queue (stop or fault): the lines it may not have carried out are kept.
    void drop();
    bool locate(const MachinePosition& at);
    std::int64_t positionTolerance() const;
    // How far one pixel of the job moves the machine, in its reported units; 0 when the scale does not hold.
    std::int64_t pixelTravel() const;
    // One pixel along X (or one depth unit along Z), as pixelTravel() and depthTravel() give it.
    std::int64_t travelOfOne(bool depth) const;
    void offPath(const MachinePosition& at);

    JobRunner& runner_;
};

} // namespace zelmar
