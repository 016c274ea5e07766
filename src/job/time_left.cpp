#include "time_left.h"

#include <algorithm>

namespace zelmar {

void TimeLeft::begin(std::int64_t total, double estimateMsPerUnit, std::int64_t now, std::int64_t done) {
    *this = TimeLeft{};
    total_ = total;
    done_ = done;
    doneBefore_ = done;
    estimate_ = estimateMsPerUnit;
    runningSince_ = now;
}

void TimeLeft::setTotal(std::int64_t total) {
    // The pace is measured over all stages: what the new total counts starts from none done.
    doneAtStage_ += done_;
    done_ = 0;
    total_ = total;
}

void TimeLeft::setRunning(bool running, std::int64_t now) {
    if (running && runningSince_ < 0) {
        runningSince_ = now;
    } else if (!running && runningSince_ >= 0) {
        runMs_ += now - runningSince_;
        runningSince_ = -1;
    }
}

std::int64_t TimeLeft::msRun(std::int64_t now) const {
    return runMs_ + (runningSince_ >= 0 ? now - runningSince_ : 0);
}

std::int64_t TimeLeft::msLeft(std::int64_t now) const {
    const std::int64_t left = std::max<std::int64_t>(total_ - done_, 0);
    const std::int64_t measured = doneAtStage_ + done_ - doneBefore_;
    const std::int64_t ran = msRun(now);
    if (measured >= unitsToMeasure || (measured > 0 && ran >= msToMeasure))
        return static_cast<std::int64_t>(static_cast<double>(ran) / static_cast<double>(measured) *
                                         static_cast<double>(left));
    if (estimate_ > 0)
        return static_cast<std::int64_t>(estimate_ * static_cast<double>(left));
    return -1;
}

} // namespace zelmar
