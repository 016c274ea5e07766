#pragma once
// The time a job has left: its remaining units of work (commands on the machine, moves in a dry run) at the pace
// measured so far, counted only while the job runs. A pause, a question or an error box stops the clock, so
// that the figure neither grows while the machine stands nor jumps when it goes on. Until enough work has been
// measured, the job's own estimate stands in (when there is one).

#include <cstdint>

namespace zelmar {

class TimeLeft {
public:
    // Work measured before the measured pace replaces the estimate.
    static constexpr std::int64_t unitsToMeasure = 20;
    static constexpr std::int64_t msToMeasure = 3000;

    // A job of `total` units begins at `now` (ms), `done` of them done already (a job taken up from its journal:
    // those took no time of this run); estimateMsPerUnit: its time a unit before any is measured (0: unknown).
    void begin(std::int64_t total, double estimateMsPerUnit, std::int64_t now, std::int64_t done = 0);
    // A further stage of the same job brings a new total (a pass of "Резать 3D"); the pace measured stays.
    void setTotal(std::int64_t total);
    // The job goes on or stands (paused, stopped, waiting for the operator's word).
    void setRunning(bool running, std::int64_t now);
    void setDone(std::int64_t done) { done_ = done; }
    // Milliseconds left; -1 when nothing is known yet.
    std::int64_t msLeft(std::int64_t now) const;
    // Milliseconds the job has run, without the time it stood.
    std::int64_t msRun(std::int64_t now) const;

private:
    std::int64_t total_ = 0;
    std::int64_t done_ = 0;
    std::int64_t doneAtStage_ = 0; // units done before the current total began
    std::int64_t doneBefore_ = 0;  // units done before the job's run began
    double estimate_ = 0;
    std::int64_t runMs_ = 0;       // run time before the current stretch
    std::int64_t runningSince_ = -1;
};

} // namespace zelmar
