// Board replies -> one command's exchange with the board and its wait for "OK". A script plays the board:
// replies in pieces after chosen delays, noise, silence, hang-ups, writes that never get out, and scales and
// moves of any size. Time is the script's own clock, so a run takes microseconds whatever the delays; the
// exchange is driven as the port adapter drives it, from the events and the deadlines it asks for. Checked
// besides crashes: exactly the move's command goes out, and a refused one sends nothing; a move counts as done
// only once the pause is over and its wait read an "OK"; an "OK" that came in time is never reported as a
// time-out; a time-out is reported only after the time-out; a write that never got out is reported as such;
// nothing is sent after a lost line; every wait ends.

#include "byte_script.h"
#include "fuzz_check.h"
#include "link/move_command.h"
#include "link/ok_exchange.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

namespace zelmar::fuzz {
namespace {

constexpr std::int64_t timeoutMs = 1000;
constexpr std::int64_t pauseMs = 100;

struct Piece {
    std::int64_t arrival = 0;
    std::string bytes;
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

// The line as the port adapter sees it: what arrived and nobody read waits in the port.
class ScriptedLine {
public:
    void answer(std::int64_t from, const std::vector<std::pair<std::int64_t, std::string>>& pieces) {
        std::int64_t at = from;
        for (const auto& [delay, bytes] : pieces) {
            at += delay;
            pending_.push_back({at, bytes});
        }
        std::stable_sort(pending_.begin(), pending_.end(),
                         [](const Piece& a, const Piece& b) { return a.arrival < b.arrival; });
    }
    bool hasPending() const { return !pending_.empty(); }
    std::int64_t nextArrival() const { return pending_.empty() ? OkExchange::never : pending_.front().arrival; }
    // Moves what has arrived by `now` into the port.
    void arrive(std::int64_t now) {
        while (!pending_.empty() && pending_.front().arrival <= now) {
            waiting_ += pending_.front().bytes;
            pending_.pop_front();
        }
    }
    std::string takeAll() { return std::exchange(waiting_, {}); }

private:
    std::deque<Piece> pending_;
    std::string waiting_;
};

} // namespace
} // namespace zelmar::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace zelmar;
    using fuzz::require;
    fuzz::ByteScript script(data, size);
    fuzz::ScriptedLine line;
    OkExchange exchange;
    exchange.setPauseMs(fuzz::pauseMs);
    exchange.setTimeoutMs(fuzz::timeoutMs);
    const std::string steps = fuzz::stepsText(script);
    std::int64_t now = 0;
    bool lineGone = false;

    for (int move = 0; move < 64 && !script.empty() && !lineGone; ++move) {
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
        const bool writeStuck = (flags & 0x1F) == 2;
        const std::int64_t hangUpAt = hangUp ? now + std::int64_t{script.byte()} * 10 : OkExchange::never;
        if (flags & 0x20)
            line.takeAll(); // a new job throws away what a timed-out command left in the port

        // As the runner does: the scale and the command first; a refusal sends nothing.
        const Checked scale = parseStepsPerPixel(steps);
        const MoveText command = scale.ok() ? formatMoveCommand(x, y, z, scale.value) : MoveText{};
        if (!scale.ok() || !command.ok()) {
            const NumberRefusal& why = scale.ok() ? command.refusal : scale.refusal;
            require(why.kind != NumberRefusal::Kind::None, "a refusal says why");
            continue;
        }
        fuzz::checkCommand(command.text, x, y, z, scale.value);
        const bool onlyThisAnswer = !line.hasPending();
        line.answer(now, pieces);

        exchange.begin(command.text.size(), now);
        std::string heard = line.takeAll(); // what waited in the port counts for this command
        exchange.received(heard, now);
        if (!writeStuck)
            exchange.bytesOut(now);
        const std::int64_t begun = now;
        int rounds = 0;
        OkExchange::State state = exchange.poll(now);
        while (state != OkExchange::State::Done && state != OkExchange::State::Failed) {
            require(++rounds < 100000, "every wait for the board ends");
            const std::int64_t next = std::min({exchange.nextDeadline(), line.nextArrival(), hangUpAt});
            require(next != OkExchange::never && next >= now, "the exchange always has a next moment");
            now = next;
            if (now >= hangUpAt) {
                lineGone = true; // the adapter reports the lost line and nothing more is sent
                break;
            }
            line.arrive(now);
            const std::string arrived = line.takeAll();
            heard += arrived;
            exchange.received(arrived, now);
            state = exchange.poll(now);
        }
        if (lineGone)
            break;

        if (state == OkExchange::State::Done) {
            require(!writeStuck, "a command that never got out is not done");
            require(heard.find("OK") != std::string::npos, "a move is done only when its wait read OK");
            require(now >= begun + fuzz::pauseMs, "the protocol's pause comes before the next command");
        } else {
            const OkExchange::Fault fault = exchange.fault();
            require(writeStuck == (fault == OkExchange::Fault::ShortWrite),
                    "a write that never got out, and only that, is reported as one");
            if (fault == OkExchange::Fault::Timeout || fault == OkExchange::Fault::Babbling)
                require(heard.find("OK") == std::string::npos, "a wait that read OK is not a time-out");
        }

        // Every piece before the OK came within the time-out, the line stayed up, the write went out whole and
        // no late piece of an earlier answer could come between "O" and "K": the move must be done.
        if (onlyThisAnswer && !writeStuck) {
            std::string wanted;
            std::int64_t silence = 0; // since the last byte, or since the write
            std::int64_t sinceWrite = 0;
            bool inTime = true;
            for (const auto& [delay, bytes] : pieces) {
                silence += delay;
                sinceWrite += delay;
                inTime = inTime && silence <= fuzz::timeoutMs &&
                         sinceWrite <= OkExchange::babblingLimitFactor * fuzz::timeoutMs;
                if (!bytes.empty())
                    silence = 0;
                wanted += bytes;
                if (!inTime || wanted.find("OK") != std::string::npos)
                    break;
            }
            if (inTime && wanted.find("OK") != std::string::npos)
                require(state == OkExchange::State::Done, "an OK that came in time ends the wait");
        }
        // A failed exchange leaves the job; the next command may only follow once the operator goes on.
        if (state == OkExchange::State::Failed)
            exchange.reset();
    }
    return 0;
}
