#pragma once
// One runner for every job of the window and of the command-line tool. It takes a job's moves as they fall
// due and, while "Фрезеровать" is on, sends them through the machine's line protocol as commands (one a move,
// or a straight run merged into one) and goes on as they are acknowledged; otherwise it only draws them, a dry
// step on a 1 ms timer. Everything is driven by events and timers: there is no nested event loop, so the
// window stays live and a job can be paused, stopped and continued. A protocol that takes several commands at
// once (a streaming controller) gets as many as it has room for, within the current region's plan.
//
// "Пауза" ends after the current acknowledgement and lifts the tool to the surface; continuing plunges back
// first, so the board receives the uninterrupted job's commands with one lift and one plunge more. "Стоп" does
// the same and ends the run, but the job is kept and can be continued until another one starts. So is a job
// that met a line fault: the command that went out without an answer must then be settled by the operator
// (carried out or not) before anything more is sent.
//
// A streaming controller (grbl) gets its modes first and the program end last, and the job is done only once it
// stands idle. "Пауза" is its feed hold, continuing its cycle start. "Стоп" and a fault drop its queue; the
// lines it may not have carried out are kept. The tool then goes straight up out of the stock where the controller
// still knows its position (a stop, a refused line, an alarm that keeps it, after the unlock), and continuing
// asks where it stands: the spindle starts up there, the tool plunges back, the line it stood on is finished from
// there, the ones after it go again, and the job goes on. There is no question and no journal.

#include "board_position.h"
#include "job_journal.h"
#include "journal_policy.h"
#include "link/machine_link.h"
#include "link/move_command.h"
#include "mill/commands.h"
#include "mill/move_source.h"
#include "run_pacing.h"
#include "stream_recovery.h"

#include <QObject>

#include <span>
#include <QTimer>

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace zelmar {

// A command as it went out, or would have in a dry run: its text and what it moves. A streaming controller also
// gets lines that carry no command of the job: its modes, the program end, and after a stop the lines that
// take it on from where it stood.
struct LoggedCommand {
    std::string text;
    CommandMove move;
    bool ofJob = true; // false: one of those other lines
    // The plan's moves the command makes, a merged run as one; empty for a lift, a plunge or another line.
    // Valid only during the call.
    std::span<const PlannedMove> planMoves;
};

class JobRunner : public QObject, private PacedRun {
    Q_OBJECT
public:
    // Where the runner stands; its pacing reads it too (run_pacing.h).
    using Phase = RunPhase;
    enum class Outcome { Completed, Stopped, Failed, Refused, JournalFailed };

    // Where the board stands after the moves done (sent and acknowledged, or drawn only): pixel column and
    // row, depth below the surface (negative above it).
    struct Board {
        std::int64_t x = 0;
        std::int64_t y = 0;
        std::int64_t depth = 0;
    };

    // A command that went out and was never acknowledged.
    struct OpenMove {
        enum class Kind { Plan, Lift, Plunge };
        Kind kind = Kind::Plan;
        std::int64_t index = 0; // plan moves: the first one's number in the job, from 0
        std::int32_t moves = 1; // plan moves: how many the command stands for
        std::int32_t depth = 0; // a lift or plunge: by how much
        std::string command;
    };

    // What a job taken up again (after a crash) stands at.
    struct Resumption {
        Board board;
        bool toolDown = false;   // the tool is in the material
        std::int32_t depth = 0;  // and this deep
        bool owesPlunge = false; // a pause or a stop lifted it by plungeDepth
        std::int32_t plungeDepth = 0;
        std::optional<OpenMove> open;
    };

    explicit JobRunner(QObject* parent = nullptr);
    ~JobRunner() override;

    void setLink(MachineLink* link);
    // "Фрезеровать", read when each move falls due.
    void setMillingSwitch(std::function<bool()> on) { millingOn_ = std::move(on); }
    // Depth units above the surface the tool travels at, and where a streaming controller's stop takes it.
    void setSafeHeight(std::int32_t safeHeight) { safeHeight_ = safeHeight; }
    // The stock's probed surface the next runs on a streaming controller follow; none: a flat stock.
    void setHeightMap(std::optional<HeightMap> map) { heightMap_ = std::move(map); }
    // Sees every command sent, and in a dry run those that would be sent.
    void setCommandLog(std::function<void(const LoggedCommand&)> log) { log_ = std::move(log); }
    // Straight runs of steps go out as one command each.
    void setMergeSteps(bool merge) { merge_.straightRuns = merge; }
    // Steps within this many pixels of a straight line go as one command; 0: none.
    void setMergeTolerance(double pixels) { merge_.tolerance = pixels; }
    // The pause of a dry step; 0 draws dry moves as fast as they go, in slices that keep events flowing.
    void setDryPauseMs(int ms) { dryPauseMs_ = ms; }
    // Asked when a job is about to send its first command, with the moves it has done so far, for the journal
    // that records it (nullptr: none).
    void setJournalSource(std::function<JournalWriter*(std::int64_t movesDone)> source) {
        journalSource_ = std::move(source);
    }
    // Plan moves of earlier jobs counted in the journal before this job's (the command-line tool runs several).
    void setJournalBase(std::int64_t base) { journalBase_ = base; }

    // Starts a job; a kept one is dropped. The scale is checked once, for the whole job.
    void start(std::unique_ptr<MoveSource> job, const Checked& scale, const Board& at);
    // A move of its own (the manual move): a kept job stays as it is.
    void runAside(std::unique_ptr<MoveSource> move, const Checked& scale);
    // A job done up to where a journal says, kept to be continued, its journal going on.
    void keep(std::unique_ptr<MoveSource> job, const Checked& scale, const Resumption& at, JournalWriter* journal);

    void pause();
    void stop();
    // Continues a paused or kept job; first asks about an unacknowledged command, if there is one.
    void resume();
    // The operator's word on openMove(): carried out (counted done) or not (sent again).
    void answer(bool carriedOut);
    // Forgets a kept or paused job.
    void dropKept();
    // The window is closing: nothing more is sent, no signal follows.
    void abort();

    Phase phase() const { return phase_; }
    bool isRunning() const { return phase_ == Phase::Running || phase_ == Phase::Asking; }
    bool canContinue() const { return phase_ == Phase::Paused || phase_ == Phase::Kept; }
    bool isAside() const { return run_.aside; }
    MoveSource* job() const { return run_.source.get(); }
    Board board() const { return {run_.at.x, run_.at.y, run_.at.depth}; }
    const LinkFault& fault() const { return fault_; }
    const NumberRefusal& refusal() const { return refusal_; }
    // Plan moves of the job that went to the board and were acknowledged, and the commands that carried them.
    std::int64_t movesSent() const { return run_.at.sent; }
    std::int64_t commandsSent() const { return run_.commandsSent; }
    // Something of the job went to the machine (a controller may not have carried it out yet).
    bool wroteToMachine() const { return run_.at.sent > 0 || run_.open || pacing_->wroteLines(); }
    const std::optional<OpenMove>& openMove() const { return run_.open; }

signals:
    // A move was done; the area of the mill layer it painted.
    void moveDone(const zelmar::PixelRect& marked);
    // A command was acknowledged (or drawn, in a dry run): the moves it carried are done.
    void commandDone();
    void phaseChanged();
    // A run ended: completed, stopped, failed or refused. A stopped or failed job is kept.
    void ended(zelmar::JobRunner::Outcome outcome);
    // The operator must settle openMove() with answer().
    void question();

private:
    // A line that went to the machine and is not answered yet.
    struct InFlight {
        OpenMove::Kind kind = OpenMove::Kind::Plan;
        std::vector<PlannedMove> moves; // the plan moves of the command, or the lift or plunge as a move
        std::int64_t index = 0;
        std::string command;
        LineRole role = LineRole::Job;
        std::optional<PathSegment> segment = std::nullopt; // a move on a streaming controller
        bool acknowledgementJournalled = false;
    };
    struct Run {
        std::unique_ptr<MoveSource> source;
        Checked scale;
        bool aside = false;
        BoardPosition at;
        bool owesPlunge = false;
        std::int32_t plungeDepth = 0;
        std::optional<OpenMove> open;
        std::int64_t commandsSent = 0;
        JournalWriter* journal = nullptr;
        bool journalAsked = false;
        std::int64_t journalBase = 0;
        std::int32_t dryCommandLeft = 0; // moves of the dry command being drawn
    };
    enum class Halt { None, Pause, Stop };

    // The run as its pacing sees it.
    RunPhase runPhase() const override { return phase_; }
    bool runsAside() const override { return run_.aside; }
    bool milling() const override { return millingOn(); }
    const Checked& scale() const override { return run_.scale; }
    std::int64_t movesAcknowledged() const override { return run_.at.sent; }
    std::int64_t boardDepth() const override { return run_.at.depth; }
    std::int32_t safeHeight() const override { return safeHeight_; }
    const HeightMap* heightMap() const override { return heightMap_ ? &*heightMap_ : nullptr; }
    bool linesUnanswered() const override { return !inFlight_.empty(); }
    bool jobLinesUnanswered() const override;
    void logLine(const std::string& line) override;
    void sendLine(const std::string& line, LineRole role, std::optional<PathSegment> segment) override;
    std::vector<PathSegment> dropUnanswered() override;
    // Plan moves carried out on the machine, each entry one command's.
    void carriedOut(const StreamRecovery::Carried& carried) override;
    void schedulePump() override;
    void enterPause() override { setPhase(Phase::Paused); }
    void goOn() override;
    void endStopped() override;
    void endCompleted() override { finish(Outcome::Completed); }
    void endFailed(const LinkFault& fault) override;

    // The run in hand begins afresh; the job in hand is put aside while the manual move runs, taken back after
    // it, or forgotten once another job takes its place. What the pacing keeps of them goes along.
    void beginRun();
    void putAside();
    void takeBack();
    void forgetAside();

    bool millingOn() const { return millingOn_ && millingOn_(); }
    void setPhase(Phase phase);
    // A run starts or goes on: last run's fault forgotten, the link ready for a job, the moves due.
    void runFromHere();
    void pump();
    // Plan moves sent and not yet done: in flight, or answered by a controller that has not carried them out.
    std::size_t movesOut() const;
    // The moves of the next command, from `offset` moves into the current plan.
    std::span<const PlannedMove> nextCommandMoves(std::size_t offset) const;
    MoveText textOf(const CommandMove& command) const;
    void logCommand(const std::string& text, const CommandMove& command,
                    std::span<const PlannedMove> planMoves = {});
    bool sendPlanCommand(std::span<const PlannedMove> moves, std::size_t offset);
    void sendInserted(OpenMove::Kind kind, std::int32_t depth);
    // Hands the command to the journal's policy, which writes it once its record is on the disk.
    void sendCommand(InFlight item);
    void drawDry();
    void completeDry();
    void completePlanMove(const PlannedMove& move, bool live);
    // A lift or plunge of a pause: done on the machine (live), or in the drawing only.
    void insertedDone(OpenMove::Kind kind, std::int32_t depth, bool live);
    void drawInserted(OpenMove::Kind kind, std::int32_t depth);
    void onLinkAcknowledged();
    void onLinkDone();
    void onLinkFailed(const LinkFault& fault);
    void halt();
    void finish(Outcome outcome);
    JournalWriter* journal();
    // The run now in hand keeps this journal (nullptr: none, a manual move's).
    void useJournal(JournalWriter* journal);

    MachineLink* link_ = nullptr;
    std::vector<QMetaObject::Connection> linkConnections_;
    // How this machine takes a job's commands: one at a time (our board), or streamed (grbl).
    std::unique_ptr<RunPacing> pacing_;
    JournalPolicy journalPolicy_;
    std::function<bool()> millingOn_;
    std::function<void(const LoggedCommand&)> log_;
    std::function<JournalWriter*(std::int64_t)> journalSource_;
    std::int64_t journalBase_ = 0;
    MergeRule merge_;
    int dryPauseMs_ = 1;
    std::int32_t safeHeight_ = 0;
    std::optional<HeightMap> heightMap_;
    QTimer dryTimer_;
    QTimer pumpTimer_;
    Phase phase_ = Phase::Idle;
    Halt halt_ = Halt::None;
    Run run_;
    // The job put aside while the manual move runs, and the phase it was in.
    std::optional<Run> keptAside_;
    Phase keptPhase_ = Phase::Idle;
    std::deque<InFlight> inFlight_;
    LinkFault fault_;
    NumberRefusal refusal_;
    bool pumping_ = false;
};

} // namespace zelmar
