#pragma once
// The job controller: the one place where the work on a picture becomes moves of the machine, for the window and
// the command-line tool alike. It keeps the job's state and progress and composes the rest: the machine line,
// the runner, the journal of a job on the machine and its take-up after a crash, the estimate of a job, the
// history of what ran on the picture and the G-code export. The front-ends ask it to run operations and show
// only what it reports: the state of the job, its progress, where the machine stands, and its faults with their
// details. It has no widgets and words nothing: the front-ends turn its codes into the operator's words.

#include "config/startup_config.h"
#include "gcode_export.h"
#include "image/image_session.h"
#include "job_estimate.h"
#include "journal_keeper.h"
#include "link/board_link.h"
#include "link/grbl_link.h"
#include "link/serial_line.h"
#include "machine_line.h"
#include "machine_setup_part.h"
#include "mill/carving.h"
#include "mill/mill_job.h"
#include "mill/operations.h"
#include "mill/tool_position.h"
#include "port_hint.h"
#include "run/job_journal.h"
#include "run/job_runner.h"
#include "run/manual_move.h"
#include "sending_settings.h"
#include "work_history.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zelmar {

// What the controller is doing, as the front-ends offer their commands.
enum class JobState {
    Idle,       // nothing runs and nothing waits to be continued
    Estimating, // a job's commands are being counted before it starts
    Running,    // a job's moves go out or are drawn
    Aside,      // the manual move runs (a kept or paused job waits meanwhile)
    Paused,     // "Пауза": only "Продолжить" and "Стоп" act
    Kept,       // stopped or failed: the job waits to be continued
    Asking,     // the operator must say whether the unanswered move was made
};

// How far the job has got: moves of the current milling, where the machine stands after them (pixel column and row,
// depth below the surface), the commands on the machine and the time left.
struct JobProgress {
    std::int64_t movesDone = 0;
    std::int64_t movesTotal = 0;
    std::int32_t regionId = 0;
    std::int64_t x = 0;
    std::int64_t y = 0;
    std::int64_t z = 0;
    std::int64_t commandsDone = 0;
    std::int64_t commandsTotal = 0; // 0: no estimate (a dry run)
    std::int64_t msLeft = -1;       // -1: not known yet
    std::int64_t msRun = 0;         // the job's running time, without its pauses
};

class JobController : public QObject, private JobEvents {
    Q_OBJECT
public:
    using LinkState = MachineLine::State;
    using WorkRunner = WorkHistory::WorkRunner;
    using GcodeResult = zelmar::GcodeResult;

    // The picture's work and the tool position the program keeps; both outlive the controller.
    JobController(ImageSession& session, ToolPosition& tool, QObject* parent = nullptr);
    ~JobController() override;

    // The settings, as cnc.ini or the command line give them; before the port is opened.
    void configure(const StartupConfig& config);
    // How a job at the steps a pixel of this text sends its moves, on this line.
    SendingSettings sendingAt(const std::string& stepsText) const;
    // How the millings cut with these settings: the travel height, the tool in pixels, the step-down.
    MillSettings millSettingsAt(const std::string& stepsText) const { return sendingAt(stepsText).mill; }
    // How the job's moves go out as commands at this scale (merged runs, as the machine will make them).
    CommandFeed commandFeedAt(const std::string& stepsText) const { return sendingAt(stepsText).commandFeed(); }
    GcodeSettings gcodeSettingsAt(std::int32_t stepsPerPixel, std::int32_t travelHeight) const {
        return gcodeSettingsOf(config_, stepsPerPixel, travelHeight);
    }
    std::int32_t travelHeightAt(const Checked& scale, bool standardMachine) const {
        return travelHeightOf(config_, scale, standardMachine);
    }
    // The job's commands go to a G-code file (a dry run of zelmar-cli with --gcode): they travel as on grbl.
    void setStandardMachineTravel(bool on) { standardTravel_ = on; }
    const StartupConfig& config() const { return config_; }
    // Refuses work of these needs (settingNeeds) while a setting it needs holds a bad value: BadSetting, and
    // blockingSettings() names them.
    MillRefusal checkSettings(unsigned needs);
    const std::vector<SettingProblem>& blockingSettings() const { return blockingSettings_; }
    // Where the journal of a job on the machine is kept; empty: none is kept.
    void setJournalPath(const QString& path) { journal_.setPath(path); }
    const QString& journalPath() const { return journal_.path(); }
    // A job on the machine is counted before it starts, for its estimate (the window shows it).
    void setEstimateFirst(bool estimate) { estimateFirst_ = estimate; }
    // "Фрезеровать": whether moves go to the machine, asked as each falls due. Off, and staying off, while the
    // line is not ready: every milling is then a dry run.
    void setMilling(bool on);
    bool milling() const { return milling_; }
    // Whether each milling job keeps a picture of what it cuts (jobCarving()); off, none is made.
    void setKeepsCarving(bool keep) { keepsCarving_ = keep; }
    // The command-line tool's operations are a script: a dry one starts where the last one's drawing ended, as
    // it would on the machine, and a milling records its own word alone.
    void setScript(bool script) { history_.setScript(script); }
    // Sees every command sent, and in a dry run those that would be sent.
    void setCommandLog(std::function<void(const LoggedCommand&)> log) { runner_.setCommandLog(std::move(log)); }
    // The pause of a dry step (1 ms as the operator watches it; 0 as fast as it goes).
    void setDryPauseMs(int ms) { runner_.setDryPauseMs(ms); }
    // The command-line tool's run: one journal for all its operations, moves counted over them all.
    void journalOperations(std::vector<Operation> operations) { journal_.journalOperations(std::move(operations)); }

    // --- The line
    // Opens the configured port: our board at once; grbl once it says hello (linkChanged() follows). False
    // when the port itself did not open.
    bool openPort();
    LinkState linkState() const { return line_.state(); }
    bool linkReady() const { return line_.ready(); }
    // Why the port did not open, or that it did.
    const PortHint& portHint() const { return line_.hint(); }
    SerialLine& serialLine() { return line_.serialLine(); }
    BoardLink& boardLink() { return line_.boardLink(); }
    GrblLink* grblLink() const { return line_.grblLink(); }
    MachineLink& machineLink() { return line_.machineLink(); }
    JobRunner& runner() { return runner_; }
    const JobRunner& runner() const { return runner_; }

    // The picture the jobs work on, and where the program believes the tool stands.
    ImageSession& session() { return session_; }
    const ImageSession& session() const { return session_; }
    const ToolPosition& tool() const { return tool_; }

    // --- Operations, one call for every one either front-end starts
    using SetupRefusal = MachineSetupPart::Refusal;
    struct StartRefusal {
        MillRefusal mill = MillRefusal::None;
        NumberRefusal numbers;
        bool noNode = false; // a select names a node the tree does not have
        SetupRefusal setup = SetupRefusal::None;
        bool any() const {
            return mill != MillRefusal::None || numbers.kind != NumberRefusal::Kind::None || noNode ||
                   setup != SetupRefusal::None;
        }
    };
    // An operation that moves nothing runs at once and goes into the history (a kept job is forgotten first; a
    // select keeps it); the parse's own work may be handed to `run` (the window shows a wait cursor meanwhile).
    // One that moves starts its job with the text of the steps-per-pixel box: a milling is refused when the tree
    // has no node, nothing is selected or a setting it needs is bad; a manual move run as a job of its own (so
    // that its journal counts it) when a box holds no number.
    StartRefusal start(const Operation& operation, const std::string& stepsText = {},
                       const ProgressCallback& progress = {}, const WorkRunner& run = {});
    // --- The machine's set-up, grbl only (start() takes these operations too)
    // Homing, unlock, zero, the way to the work zero, a jog or the probe: setupDone() or setupFailed() follows.
    // Refused when the line is no grbl or not ready, while a job runs or waits paused or another set-up runs, and
    // a probe while a probe setting is bad (blockingSettings() names it). The way to the work zero rises to the
    // travel height of a job at this steps text.
    SetupRefusal startSetup(const Operation& operation, const std::string& stepsText = {});
    bool settingUp() const { return setup_.running(); }
    // A key held in the window: a jog along "X", "Y" or "Z" (direction +1 or -1) in short segments at the jog
    // feed, for as long as the call is repeated (the key's auto-repeat) and until cancelJog(); refused as
    // startSetup() is. A segment refused fails as a Jog.
    SetupRefusal holdJog(char axis, int direction) {
        // A jog takes the feed alone: no scale is needed.
        return setup_.holdJog(axis, direction, setupSettingsOf(config_, parseStepsPerPixel({})),
                              busy_ || runner_.isRunning());
    }
    void cancelJog() { setup_.cancelJog(); }
    // Feed and spindle overrides: while a job runs as at any other time.
    void overrideFeed(GrblOverride o) { setup_.overrideFeed(o); }
    void overrideSpindle(GrblOverride o) { setup_.overrideSpindle(o); }
    // Where grbl's last report put the machine and the work (machineStatusChanged() tells of a new one).
    std::optional<MachineCoordinates> machineCoordinates() const { return setup_.coordinates(); }

    // The node "Выделенная" mills and the "Выделение" view shows nothing now; also after a parse, whose tree
    // has no node selected.
    void clearSelection();

    // "Ручная уст-ка": a move aside, a kept job stays as it was. Refused while a job runs or is paused, when a
    // box holds no number, or when the machine takes no move now.
    enum class MoveRefusal { None, Busy, Paused, NotOnMachine, MachineBusy, Numbers, Settings };
    MoveRefusal manualMove(const std::string& tx, const std::string& ty, const std::string& tz,
                           const std::string& stepsText, NumberRefusal* numbers = nullptr);
    void pause() { runner_.pause(); }
    void stop();
    // Continues a paused or kept job: asks about an unanswered move first, and opens a lost line again.
    void resume();
    // The operator's word on the move that went out unanswered.
    void answerOpenMove(bool carriedOut) { runner_.answer(carriedOut); }
    // The operator's word on a job whose depths the marks of earlier millings change: start it, or not.
    void answerMarks(bool go);
    // A kept job is let go (and its journal).
    void forgetKeptJob();
    // The window is closing: nothing more is sent, no signal follows; a kept job stays in its journal.
    void abort();

    JobState state() const;
    // A job is under way or waits (paused): the commands that start or change work are locked.
    bool isBusy() const { return busy_; }
    // What the current (or last) milling job has cut so far, moves drawn in a dry run included; null before
    // the first, after the mill layer is cleared, and when jobs keep none. It grows on this thread as moves are done.
    const Carving* jobCarving() const { return carving_.get(); }
    bool canContinue() const { return millingJob_ && runner_.canContinue(); }
    MillJob* millingJob() const { return millingJob_; }
    const JobProgress& progress() const { return progress_; }
    // The tool was moved by hand after the job stopped: where the program believes it stands is no longer
    // certain, and the operator must confirm before the job goes on.
    bool movedSinceStop() const { return movedSinceStop_; }
    void confirmPosition() { movedSinceStop_ = false; }

    // --- History and journal
    // What ran since the picture was loaded, as operation words (a job's words carry how far it went).
    const std::vector<Operation>& history() const { return history_.operations(); }
    // The journal a crash left for this picture, when there is one to continue (our board only).
    std::optional<JournalReading> journalToContinue() { return journal_.toContinue(line_.isGrbl()); }
    // Replays what the journal says was done, without sending, and keeps the job it was in for resume().
    JournalTakeUp takeUpJournal(const JournalReading& reading, const JournalExpectation& expected);
    JournalTakeUp takeUpJournalFile(const JournalExpectation& expected) {
        return takeUpJournal(journal_.readFile(), expected);
    }
    // A journal is being kept for the job (made at its first command, or taken up).
    bool keepsJournal() const { return journal_.keeps(); }
    // The steps per pixel of the job taken up, as they were typed.
    const std::string& stepsText() const { return sending_.stepsText; }

    // --- G-code
    // Writes what the milling would send now, from a copy of the work: nothing of the program changes. Empty
    // on success; else a refusal's code, or the file's error.
    GcodeResult writeGcode(const QString& path, MillKind kind, const std::string& stepsText);
    // The probed surface of the stock, and its file's name: the G-code file and a job on grbl follow it; a job on
    // our board is refused while one is loaded. None: a flat stock.
    void setHeightMap(std::optional<HeightMap> map, const std::string& name) {
        runner_.setHeightMap(map);
        estimate_.setHeightMap(map);
        gcode_.setHeightMap(std::move(map), name);
    }
    const std::optional<HeightMap>& heightMap() const { return gcode_.heightMap(); }
    const std::string& heightMapName() const { return gcode_.heightMapName(); }

signals:
    // A job begins (its clock starts), and a milling of it starts with this many moves (each pass of
    // "Резать 3D" is one).
    void jobBegun();
    void jobStarted(qint64 totalMoves);
    void passStarted(int pass);
    // A move was done: the job's figures.
    void moveDone(const zelmar::JobProgress& progress);
    // The job's figures changed (a move, a command done, the clock).
    void figuresChanged(const zelmar::JobProgress& progress);
    // The work changed between millings (the picture, or the tree too).
    void pictureChanged(bool treeRebuilt);
    // The job's commands and their time, before the first goes: on our board the line's, on grbl its motion's
    // at the rates it reported; a negative count: being counted.
    void estimated(qint64 commands, double lineMs);
    void stateChanged(zelmar::JobState state);
    void paused();
    void stopped();
    // A job, or the manual move, ended with a fault of the line or a refusal; the details are the runner's.
    void faulted(const zelmar::LinkFault& fault, bool manualMove);
    void refused(const zelmar::NumberRefusal& refusal, bool manualMove);
    void journalFailed(const QString& path);
    // A job ran to its end, or ended otherwise (the outcome).
    void finished(zelmar::JobRunner::Outcome outcome);
    // The operator must say whether the move that went out unanswered was made (answerOpenMove()).
    void question(const zelmar::JobRunner::OpenMove& move);
    // Under the old rule, a job on the machine would read full depth where earlier millings left their marks (the
    // job's commands differ from those without the marks): the operator must say whether it starts
    // (answerMarks()).
    void marksInDoubt();
    // "Продолжить" after the tool was moved by hand: the operator must confirm that the machine stands where the
    // program believes (confirmPosition(), then resume()).
    void positionInDoubt();
    // The line changed (opened, lost, grbl answered or not); grbl's state and position.
    void linkChanged();
    // "Фрезеровать" was turned on or off: by the operator, by a line that is lost, or by a job taken up.
    void millingChanged(bool on);
    // The lost line was opened again to continue, but grbl did not answer.
    void reopenFailed();
    void machineStatusChanged();
    // grbl went into alarm while no job ran (a job reports it as its fault).
    void alarmRaised(int code);
    // A set-up operation ran to its end, or ended early (the failed probe leaves grbl's alarm to the operator).
    void setupDone(zelmar::Operation::Kind kind);
    // A probe of a set-up touched: `count` of its `of` probes are done.
    void probeTouched(int count, int of);
    void setupFailed(zelmar::Operation::Kind kind, const zelmar::SetupFailure& failure);

private:
    // The job's stages, as the runner reaches them.
    void millingStarts(std::int64_t totalMoves) override;
    void regionStarts(std::int32_t regionId) override;
    void passStarts(int pass) override;
    void workChanged(bool treeRebuilt) override;

    // A height map's points over the picture as it lies from the tool's start pixel; none when they do not fit.
    std::optional<ProbeGrid> probeGridFor(const Operation& op, const Checked& scale) const;
    void onSetupDone(Operation::Kind kind);
    // A command that moves nothing, run on the picture and recorded; not while a job is under way.
    void runStill(const Operation& op, const ProgressCallback& progress, const WorkRunner& run);
    MillRefusal startMilling(MillKind kind, const std::string& stepsText);
    NumberRefusal startMove(const Operation& operation, const std::string& stepsText);
    void beginJob(std::unique_ptr<MoveSource> job, std::vector<Operation> operations, const std::string& stepsText);
    void startPendingJob();
    void runJob(std::unique_ptr<MoveSource> job);
    // A journal's job, replayed up to where it stopped, waits to be continued.
    void keepTakenUpJob(JournalKeeper::Kept& kept);
    void onMoveDone();
    void onJobEnded(JobRunner::Outcome outcome);
    void onPhaseChanged();
    void updateProgress();
    void updateFigures();
    void recordJobInHistory();
    void setBusy(bool busy) { busy_ = busy; }
    // The line was opened again and grbl said hello: the job goes on.
    void continueJob();
    // What a job or a move on the machine needs beside the milling; nothing in a dry run.
    unsigned machineNeeds() const { return milling_ ? line_.needs() : 0; }
    void onGrblAlarm();

    ImageSession& session_;
    ToolPosition& tool_;
    std::unique_ptr<Carving> carving_; // outlives the jobs that draw on it
    StartupConfig config_;
    std::vector<SettingProblem> blockingSettings_;
    bool standardTravel_ = false;
    bool estimateFirst_ = false;
    bool keepsCarving_ = false;
    bool milling_ = false;

    MachineLine line_;
    JobRunner runner_;
    MillIndexCache millIndex_;
    WorkHistory history_{session_, tool_};
    JournalKeeper journal_{session_, tool_, millIndex_, history_};
    JobEstimate estimate_{line_};
    GcodeExport gcode_{session_, config_};
    MachineSetupPart setup_{line_};

    MillJob* millingJob_ = nullptr; // the runner's job while it is a milling
    bool manualRunning_ = false;
    bool busy_ = false;
    bool tickedAtEnd_ = false; // the job last ended on the machine: a lost line is opened again for it
    bool movedSinceStop_ = false;
    std::int64_t sentBefore_ = 0; // moves a job taken up from its journal had sent before
    std::int64_t startedAt_ = 0;  // moves the runner's job had done when it started (taken up: more than none)
    SendingSettings sending_;     // the job's, settled when it starts
    JobProgress progress_;
};

} // namespace zelmar
