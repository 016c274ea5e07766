// Board replies -> the wait for "OK". A scripted line plays the board: replies in pieces after chosen delays,
// noise, silence, hang-ups, short writes, the window closing mid-wait, and scales and moves of any size. Time
// is the line's own clock, so a run takes microseconds whatever the delays. Checked besides crashes: exactly
// the move's command goes out; a refusal sends nothing; a move counts as done only when its wait read an "OK";
// a wait that had its "OK" in time never reports a time-out; a time-out is reported only after the time-out;
// after a lost line or a closing window nothing more is sent; every wait ends.

#include "byte_script.h"
#include "fuzz_check.h"
#include "link/motion_link.h"
#include "link/move_command.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace zelmar::fuzz {
namespace {

constexpr std::int64_t timeoutMs = 1000;
constexpr std::int64_t writePauseMs = 100;

struct Piece {
    std::int64_t arrival = 0; // on the line's clock
    std::string bytes;
};

class ScriptedLine : public BoardLine {
public:
    static constexpr int handle = 7;

    void WritePort(int h, const std::string& text) override {
        require(h == handle, "the link writes with the handle it was given");
        if (!open_) {
            status_ = -1;
            return;
        }
        writes.push_back(text);
        status_ = failNextWrite ? -1 : 0;
        failNextWrite = false;
        activity_ = now_;
        writeEnd = now_;
        now_ += writePauseMs;
        readThisWait.clear();
    }
    int ReadPortByte(int h) override {
        require(h == handle, "the link reads with the handle it was given");
        deliverArrived();
        if (!open_ || available_.empty()) {
            status_ = -1;
            return -1;
        }
        const char c = available_.front();
        available_.pop_front();
        readThisWait.push_back(c);
        activity_ = now_;
        status_ = 0;
        return static_cast<unsigned char>(c);
    }
    int portStatus() const override { return status_; }
    bool isOpen() const override { return open_; }
    bool isLost() const override { return lost_; }
    std::string lostReasonText() const override { return "линия оборвана"; }
    bool waitForInput(int ms) override {
        require(++waits_ < 10'000'000, "every wait for the board ends");
        deliverArrived();
        if (!open_)
            return false;
        if (!available_.empty())
            return true;
        std::int64_t until = now_ + ms;
        if (!pending_.empty())
            until = std::min(until, pending_.front().arrival);
        if (hangUpAt_ >= 0)
            until = std::min(until, hangUpAt_);
        now_ = std::max(now_, until);
        deliverArrived();
        return open_ && !available_.empty();
    }
    void discardInput() override {
        deliverArrived();
        available_.clear();
    }
    std::int64_t msSinceActivity() const override { return now_ - activity_; }
    std::int64_t msSinceWrite() const override { return now_ - writeEnd; }

    // The board's answer to the last command: a piece arrives delay ms after the one before (the first after
    // the write).
    void answer(const std::vector<std::pair<std::int64_t, std::string>>& pieces) {
        std::int64_t at = writeEnd;
        for (const auto& [delay, bytes] : pieces) {
            at += delay;
            pending_.push_back({at, bytes});
        }
        std::stable_sort(pending_.begin(), pending_.end(),
                         [](const Piece& a, const Piece& b) { return a.arrival < b.arrival; });
    }
    void hangUpAfter(std::int64_t delay) { hangUpAt_ = writeEnd + delay; }
    // Pieces of earlier answers still on their way: they may arrive between this answer's pieces.
    bool hasPending() const { return !pending_.empty(); }
    std::int64_t now() const { return now_; }

    std::vector<std::string> writes;
    std::string readThisWait;
    std::int64_t writeEnd = 0;
    bool failNextWrite = false;

private:
    void deliverArrived() {
        while (open_ && !pending_.empty() && pending_.front().arrival <= now_) {
            available_.insert(available_.end(), pending_.front().bytes.begin(), pending_.front().bytes.end());
            pending_.pop_front();
        }
        if (open_ && hangUpAt_ >= 0 && hangUpAt_ <= now_) {
            open_ = false;
            lost_ = true;
            status_ = -1;
        }
    }

    std::int64_t now_ = 0;
    std::int64_t activity_ = 0;
    std::deque<Piece> pending_;
    std::deque<char> available_;
    std::int64_t hangUpAt_ = -1;
    bool open_ = true;
    bool lost_ = false;
    int status_ = 0;
    std::int64_t waits_ = 0;
};

std::int64_t numberAt(std::string_view text, std::size_t& from) {
    std::int64_t v = 0;
    const auto [end, error] = std::from_chars(text.data() + from, text.data() + text.size(), v);
    require(error == std::errc(), "every count in a command is a number");
    from = static_cast<std::size_t>(end - text.data()) + 1;
    return v;
}

// "X,Y,Z;" with X = -x * steps, Y = y * steps, Z = z * steps.
void checkCommand(const std::string& text, std::int32_t x, std::int32_t y, std::int32_t z, std::int64_t steps) {
    require(!text.empty() && text.back() == ';' && std::count(text.begin(), text.end(), ',') == 2,
            "a command is three counts and a semicolon, with no line end");
    std::size_t at = 0;
    require(numberAt(text, at) == -std::int64_t{x} * steps, "X is the move scaled, with its sign turned");
    require(numberAt(text, at) == std::int64_t{y} * steps, "Y is the move scaled");
    require(numberAt(text, at) == std::int64_t{z} * steps, "Z is the move scaled");
}

std::int32_t moveCount(ByteScript& script) {
    const std::uint8_t kind = script.byte();
    if (kind < 240)
        return static_cast<std::int8_t>(script.byte()) / 32; // a one-pixel step or a short traverse
    return script.int32();
}

std::string stepsText(ByteScript& script) {
    const std::uint8_t kind = script.byte();
    if (kind < 200)
        return std::to_string(1 + kind % 160);
    if (kind < 230)
        return std::to_string(static_cast<std::uint32_t>(script.int32()));
    return std::string(script.bytes(script.byte() % 12));
}

} // namespace
} // namespace zelmar::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace zelmar;
    using fuzz::require;
    fuzz::ByteScript script(data, size);
    fuzz::ScriptedLine line;
    MotionLink link(line);
    link.setHandle(fuzz::ScriptedLine::handle);
    link.setTimeoutMs(fuzz::timeoutMs);
    const std::string steps = fuzz::stepsText(script);
    const std::uint8_t abortAfterPumps = script.byte();
    int pumps = 0;
    link.setEventPump([&] {
        if (abortAfterPumps >= 200 && ++pumps == abortAfterPumps - 199)
            link.abort();
    });

    bool lineGone = false;
    for (int move = 0; move < 64 && !script.empty(); ++move) {
        const std::uint8_t flags = script.byte();
        const std::int32_t x = fuzz::moveCount(script);
        const std::int32_t y = fuzz::moveCount(script);
        const std::int32_t z = fuzz::moveCount(script);
        std::vector<std::pair<std::int64_t, std::string>> pieces(script.byte() % 5);
        for (auto& [delay, bytes] : pieces) {
            delay = std::int64_t{script.byte()} * 10;
            bytes = std::string(script.bytes(script.byte() % 8));
        }
        const bool hangUp = (flags & 0x1F) == 1;
        const bool writeFails = (flags & 0x1F) == 2;
        line.failNextWrite = writeFails;
        if (flags & 0x20)
            link.prepareForJob(); // the operator starts another job

        const std::size_t writesBefore = line.writes.size();
        const std::int64_t sentAt = line.now();
        // The board's answer is known once the command is out; the line plays it while the link waits.
        line.writeEnd = sentAt;
        const bool onlyThisAnswer = !line.hasPending();
        line.answer(pieces);
        if (hangUp)
            line.hangUpAfter(std::int64_t{script.byte()} * 10);
        const MoveResult result = link.SendMove(x, y, z, true, true, steps);
        const std::size_t written = line.writes.size() - writesBefore;

        require(written <= 1, "one move sends at most one command");
        require(!lineGone || written == 0, "nothing is sent after the line is lost or the window closes");
        switch (result.outcome) {
        case MoveOutcome::Refused:
            require(written == 0 && !result.message.empty(), "a refused move sends nothing and says why");
            break;
        case MoveOutcome::Done: {
            require(written == 1, "a done move was sent");
            const Checked scale = parseStepsPerPixel(steps);
            require(scale.ok(), "a move was sent only with a valid scale");
            fuzz::checkCommand(line.writes.back(), x, y, z, scale.value);
            require(line.readThisWait.find("OK") != std::string::npos, "a move is done only when its wait read OK");
            break;
        }
        case MoveOutcome::Failed:
            require(!result.message.empty(), "a failure says why");
            require(result.message.find("Задание остановлено") != std::string::npos, "a failure says the job stopped");
            if (written == 1 && line.isOpen() && !writeFails) {
                // The line is there and the command went out: only a time-out can end the wait like this.
                require(line.msSinceActivity() > fuzz::timeoutMs ||
                            line.msSinceWrite() > MotionLink::babblingLimitFactor * fuzz::timeoutMs,
                        "a time-out is reported only after the time-out");
                require(line.readThisWait.find("OK") == std::string::npos, "a wait that read OK is not a time-out");
            }
            break;
        case MoveOutcome::Aborted:
            require(link.isAborted(), "only a closing window aborts");
            break;
        case MoveOutcome::Dry:
            require(false, "a move with milling on is never dry");
        }
        if (!result.jobGoesOn() && result.outcome != MoveOutcome::Refused && written == 1)
            require(link.positionUncertain(), "a command without its OK leaves the position uncertain");

        // Every piece before the OK came within the time-out, the line stayed up, the write went out whole and
        // no late piece of an earlier answer could come between "O" and "K": the move must be done.
        if (written == 1 && onlyThisAnswer && !hangUp && !writeFails && line.isOpen() && !link.isAborted()) {
            std::string heard;
            std::int64_t silence = 0; // since the last byte, or since the write
            std::int64_t sinceWrite = 0;
            bool inTime = true;
            for (const auto& [delay, bytes] : pieces) {
                silence += delay;
                sinceWrite += delay;
                inTime = inTime && silence <= fuzz::timeoutMs - 10 &&
                         sinceWrite <= MotionLink::babblingLimitFactor * fuzz::timeoutMs - 10;
                if (!bytes.empty())
                    silence = 0;
                heard += bytes;
                if (!inTime || heard.find("OK") != std::string::npos)
                    break;
            }
            if (inTime && heard.find("OK") != std::string::npos)
                require(result.outcome == MoveOutcome::Done, "an OK that came in time ends the wait");
        }
        lineGone = lineGone || !line.isOpen() || link.isAborted();
    }
    return 0;
}
