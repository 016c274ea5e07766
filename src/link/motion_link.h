#pragma once
// Moves sent to the board one at a time, each waiting for its "OK". Nothing at all is read, sent or awaited
// while milling is off (a dry run). The wait is bounded: a silent board, a lost line or a closing window end
// it, the job stops, and the operator is told why.

#include "board_line.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace zelmar {

enum class MoveOutcome {
    Dry,     // milling off: nothing happened
    Done,    // sent and acknowledged (or sent without waiting)
    Refused, // nothing sent: the numbers were not acceptable
    Failed,  // the line failed or the board did not answer: the job must stop
    Aborted, // the window is closing: the job stops without a message
};

struct MoveResult {
    MoveOutcome outcome = MoveOutcome::Done;
    std::string message; // Russian, lines joined by CR LF; empty for Dry, Done and Aborted

    bool jobGoesOn() const { return outcome == MoveOutcome::Dry || outcome == MoveOutcome::Done; }
};

class MotionLink {
public:
    static constexpr int defaultTimeoutSeconds = 30;
    // However much the board sends, a wait without "OK" ends this many time-outs after the command.
    static constexpr int babblingLimitFactor = 4;

    explicit MotionLink(BoardLine& port);

    void setHandle(int handle) { handle_ = handle; }
    void setTimeoutSeconds(int seconds) { timeoutMs_ = static_cast<std::int64_t>(seconds) * 1000; }
    void setTimeoutMs(std::int64_t ms) { timeoutMs_ = ms; }
    // Runs pending window events while waiting.
    void setEventPump(std::function<void()> pump) { pump_ = std::move(pump); }
    // Sees the text of every command: those sent, and in a dry run those that would have been sent.
    void setCommandLog(std::function<void(const std::string&)> log) { log_ = std::move(log); }

    // One relative move: x and y in pixels, z in depth units, scaled by the steps per pixel in stepsText.
    MoveResult SendMove(std::int32_t x, std::int32_t y, std::int32_t z, bool wait, bool milling,
                        std::string_view stepsText);
    MoveResult WaitForOK(bool milling);

    // Before a job: a late answer to a timed-out command would otherwise acknowledge the job's first move.
    void prepareForJob();
    // The window is closing: a running wait ends at once and nothing more is sent.
    void abort() { aborted_ = true; }
    bool isAborted() const { return aborted_; }
    // A command went out whose "OK" never came: where the machine stands is no longer certain.
    bool positionUncertain() const { return positionUncertain_; }

private:
    MoveResult failure(const std::string& what, bool positionUncertain);

    BoardLine& port_;
    int handle_ = -1; // no port open
    std::int64_t timeoutMs_ = defaultTimeoutSeconds * 1000;
    std::function<void()> pump_;
    std::function<void(const std::string&)> log_;
    bool aborted_ = false;
    bool positionUncertain_ = false;
};

} // namespace zelmar
