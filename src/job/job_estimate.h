#pragma once
// A job's figures in time: its commands counted before it starts, on a copy of the work in the background, and
// the time it has left as it runs. On grbl a job takes its motion's time at the rates grbl listed; on our board,
// the line's time of its commands.

#include "image/image_session.h"
#include "machine_line.h"
#include "mill/job_simulation.h"
#include "mill/mill_job.h"
#include "mill/motion_time.h"
#include "mill/tool_position.h"
#include "sending_settings.h"
#include "time_left.h"

#include <QElapsedTimer>
#include <QFutureWatcher>
#include <QObject>

#include <cstdint>
#include <memory>
#include <optional>

namespace zelmar {

class JobEstimate : public QObject {
    Q_OBJECT
public:
    // A job's commands and their time on the machine.
    struct Count {
        JobCount count;
        double ms = 0;
    };
    struct Times {
        std::int64_t msLeft = -1; // -1: not known yet
        std::int64_t msRun = 0;   // without the job's pauses
    };

    // The line tells whether grbl's motion or our board's line sets the pace.
    explicit JobEstimate(const MachineLine& line, QObject* parent = nullptr);

    // Counts the job's commands from the tool position on a copy of the work, while the job waits here;
    // counted() follows when it is done.
    void count(std::unique_ptr<MillJob> job, const ImageSession& session, const ToolPosition& tool,
               const SendingSettings& sending);
    // A job waits for its count.
    bool counting() const { return waiting_ != nullptr; }
    // Under the old rule, the marks of earlier millings change what the counted job sends.
    bool marksMatter() const { return watcher_.result().marksMatter; }
    Count result() const;
    std::unique_ptr<MillJob> takeJob() { return std::move(waiting_); }
    void drop() { waiting_.reset(); }

    // The stock's probed surface the jobs on grbl follow: their motion is that of the bent moves.
    void setHeightMap(std::optional<HeightMap> map) { map_ = std::move(map); }

    // The clock of the time left. A job begins: its total is not known yet.
    void restart();
    // The job's counted commands are its units of work.
    void begin(const Count& count);
    // A job taken up from its journal, standing: its rest is counted on the work as it stood when the job began
    // (from `tool`, what the job has done left out) when that work is given; else its moves are the units.
    std::optional<Count> beginKept(const MillJob& job, ImageSession* work, const ToolPosition& tool,
                                   const SendingSettings& sending);
    void setTotalMoves(std::int64_t total) { timeLeft_.setTotal(total); }
    void setRunning(bool running) { timeLeft_.setRunning(running, clock_.elapsed()); }
    Times times(std::int64_t done);
    std::int64_t msRun() const { return timeLeft_.msRun(clock_.elapsed()); }

signals:
    void counted();

private:
    std::optional<HeightMap> map_;
    struct Result {
        JobCount count;
        bool marksMatter = false; // the marks in the mill layer change what it sends
        double motionMs = 0;      // grbl's motion along its commands
    };

    // The commands of a job of this kind run on `work` from `tool`, after its first movesDone moves.
    Count countRest(MillKind kind, ImageSession& work, const ToolPosition& tool, const SendingSettings& sending,
                    std::int64_t movesDone) const;
    // grbl's clock for a job's motion, at the rates it listed (its defaults until then); none for our board.
    std::optional<MotionClock> motionClock(const SendingSettings& sending) const;
    // The time of the counted commands on the machine: grbl's motion (motionMs), our board's line.
    double jobTimeMs(const JobCount& count, double motionMs) const;

    const MachineLine& line_;
    std::unique_ptr<MillJob> waiting_;
    QFutureWatcher<Result> watcher_;
    TimeLeft timeLeft_;
    QElapsedTimer clock_;
};

} // namespace zelmar
