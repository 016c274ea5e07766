#pragma once
// Runs zelmar-cli's operations on the window's job controller, under the program's event loop.

#include "cli_state.h"
#include "job/job_controller.h"
#include "mill/carving.h"
#include "mill/gcode.h"
#include "mill/mapped_gcode.h"
#include "mill/motion_time.h"
#include "options.h"
#include "terminal.h"

#include <QObject>
#include <QTimer>

#include <csignal>
#include <optional>
#include <string>
#include <vector>

namespace zelmar::cli {

// Set by Ctrl+C; looked at by a timer, as a signal handler may do nothing more.
extern volatile std::sig_atomic_t interrupted;
extern "C" void onInterrupt(int);

// Runs the operations one after the other; a moving one on the runner, the next when it has ended.
class Driver : public QObject {
public:
    Driver(const Options& options, zelmar::cli::Session& session);

    // Opens the port and takes up the journal; then the operations run from the event loop.
    bool prepare();

    void start() { QTimer::singleShot(0, this, &Driver::runNext); }
    const std::vector<std::string>& commands() const { return commands_; }
    // The G-code of the commands, ended; empty without --gcode.
    std::string gcode() const { return gcode_ ? gcodeText_ + gcode_->footer() : std::string(); }
    zelmar::MillSettings millSettings() const { return controller_.millSettingsAt(options_.steps); }
    const zelmar::JobCount& counted() const { return counted_; }
    const std::optional<zelmar::MotionClock>& motion() const { return motion_; }
    // What the millings cut, carved as their commands went out; null unless that is the whole of it (every
    // operation run dry from the start and ended well, the picture and the tool as at the start): the carving is
    // then replayed.
    const zelmar::Carving* carving() const;

private:
    void finish(int status);

    void fail(const std::string& message);
    // The map probe-map gave, to --height-map's file; false (and the run ended) when it cannot be written.
    bool saveProbedMap();

    void runNext();

    void onEnded(zelmar::JobRunner::Outcome outcome);

    // Replays what the journal says was done, then keeps the job it was in for the controller to continue.
    bool takeUpJournal();

    void showProgress(const zelmar::JobProgress& progress);

    // Progress of a long parse, only for a person watching a terminal.
    zelmar::ProgressCallback parseProgress(const zelmar::Operation& op) const;

public:
    bool usageError() const { return usageError_; }
    // The job a journal was taken up in goes on first.
    void go();

private:
    const Options& options_;
    zelmar::cli::Session& session_;
    zelmar::JobController controller_;
    bool waitingForGrbl_ = false;
    QTimer interruptWatch_;
    std::vector<std::string> commands_;
    zelmar::JobCount counted_;
    std::optional<zelmar::MotionClock> motion_; // the grbl job's time
    std::optional<zelmar::GcodeWriter> gcode_;
    std::optional<zelmar::MappedGcode> mappedGcode_;
    std::string gcodeText_;
    std::size_t next_ = 0;
    bool stopRequested_ = false;
    bool resumeKept_ = false;
    bool usageError_ = false;
    const bool showProgress_ = zelmar::cli::standardErrorIsTerminal();
    int status_ = 0;
    std::optional<zelmar::Carving> carving_; // with --preview or --result, on a dry run
    zelmar::ToolProfile carvedWith_;
};

} // namespace zelmar::cli
