#pragma once
// How a machine takes a job's commands: the one place where our board and a streaming controller differ for
// the runner. Our board takes one command at a time, keeps no queue, and is paused or stopped by the runner
// itself (a lift after the current command); its unanswered command is settled by the operator and a journal
// records the job. A streaming controller (grbl) takes as many lines as its buffer holds, holds and goes on by
// itself, drops its queue to stop, and says where it stands: the lines it carried out follow from its reports,
// and it is done with a job only when it stands idle after its last line.
//
// The runner makes a pacing for the machine on the line; it sees the run only through PacedRun.

#include "link/machine_link.h"
#include "link/move_command.h"
#include "mill/height_map.h"
#include "mill/commands.h"
#include "stream_path.h"
#include "stream_recovery.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zelmar {

enum class RunPhase {
    Idle,    // nothing to run or continue
    Running, // moves go out or are drawn
    Paused,  // lifted, waiting for "Продолжить"
    Kept,    // stopped or failed: the job waits to be continued
    Asking,  // waiting for the operator's word on a command sent without an answer
};

// What a line to the machine is for: our board gets the job's commands alone, a streaming controller lines of
// its own too.
enum class LineRole {
    Job,    // a command of the job
    Modes,  // the modes of the job's lines
    Replay, // a line of the job again, or the rest of one, after the controller dropped its queue
    Piece,  // a piece of a command cut where it crosses the height map's grid, before the command's last
    Ending, // the program end
};

// The run as its pacing sees it: what of the run in hand the pacing may read, and the few things it may have the
// runner do. The runner offers it; nothing else of the runner is the pacing's.
class PacedRun {
public:
    virtual RunPhase runPhase() const = 0;
    // A move of its own (the manual move) rather than a job.
    virtual bool runsAside() const = 0;
    // "Фрезеровать" is on: the job goes to the machine, not only to the drawing.
    virtual bool milling() const = 0;
    virtual const Checked& scale() const = 0;
    // Plan moves the machine acknowledged, and the board's depth below the surface after the moves done.
    virtual std::int64_t movesAcknowledged() const = 0;
    virtual std::int64_t boardDepth() const = 0;
    // Depth units above the surface the tool travels at, and where a stop takes it.
    virtual std::int32_t safeHeight() const = 0;
    // The probed surface the moves follow, in the work's coordinates; none: a flat stock.
    virtual const HeightMap* heightMap() const = 0;
    // Lines that went out unanswered: any at all, and any that carries a command of the job.
    virtual bool linesUnanswered() const = 0;
    virtual bool jobLinesUnanswered() const = 0;

    // A line of the pacing's own (the modes, the program end, a line of the job again after a drop): the command
    // log sees it, and it goes out after the lines before it.
    virtual void logLine(const std::string& line) = 0;
    virtual void sendLine(const std::string& line, LineRole role, std::optional<PathSegment> segment) = 0;
    // The machine dropped its queue: the unanswered lines are forgotten, the segments of its path they carried
    // handed back, in order.
    virtual std::vector<PathSegment> dropUnanswered() = 0;
    // Plan moves carried out on the machine, each entry one command's.
    virtual void carriedOut(const StreamRecovery::Carried& carried) = 0;
    // The job moves on once the events in hand are handled.
    virtual void schedulePump() = 0;
    // The machine holds ("Пауза"); it goes on (its faults forgotten); it stopped, and the job is kept; it stands
    // after the job's last line; a fault ended the run, and the job is kept.
    virtual void enterPause() = 0;
    virtual void goOn() = 0;
    virtual void endStopped() = 0;
    virtual void endCompleted() = 0;
    virtual void endFailed(const LinkFault& fault) = 0;

protected:
    ~PacedRun() = default;
};

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
    // Gives a plan command (its line, what it moves, the plan moves it carries) its place on the machine's path
    // as it goes out, the segment of a streaming controller's path in `segment`. A command bent to a height map
    // goes out in pieces: those before its last go out here, and `line` becomes its last. False when it cannot go
    // now: `refused` says whether it never can.
    virtual bool placeCommand(std::string& line, const CommandMove& command, std::size_t moves,
                              std::optional<PathSegment>& segment, bool& refused) = 0;
    // A line was answered: true when its plan moves are done now (the runner completes them), false when they
    // wait for the machine to get past them, or it was no command of the plan.
    virtual bool answered(LineRole role, std::optional<PathSegment> segment) = 0;
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
    // A move may be sent aside now (the manual move): a controller in feed hold takes no jog.
    virtual bool takesMoveAside() const = 0;
    // Lines of the job went to the machine beyond the commands the runner counts (a controller may not have
    // carried them out yet).
    virtual bool wroteLines() const = 0;

    // What the pacing keeps of the run in hand follows the runner's: begun afresh (a job starts, is kept or
    // forgotten), put aside with the job while the manual move runs, taken back with it, or forgotten with it.
    virtual void beginRun() {}
    virtual void putAside() {}
    virtual void takeBack() {}
    virtual void forgetAside() {}

    // What a streaming controller reports.
    virtual void stoppedAt(const MachinePosition&) {}
    virtual void idleAt(const MachinePosition&) {}
    virtual void reportedAt(const MachinePosition&) {}
    virtual void unlocked() {}
};

} // namespace zelmar
