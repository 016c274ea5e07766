// What both kinds of simulated board share: the signals that stop them, the log's time stamps, the link to the
// device.
#pragma once

#include <chrono>
#include <deque>
#include <optional>
#include <string>

#include <termios.h>

namespace zelmar::board::detail {

bool setFlags(int fd, int flags);

// SIGINT, SIGTERM and SIGHUP make signalFd() readable instead of killing the board, so that it can clean up.
bool installSignals();
int signalFd();

// UTC with milliseconds, e.g. "2026-12-07T08:39:40.232Z".
std::string timestamp();

// A raw pseudo-terminal at the given speed, 8N1, with or without RTS/CTS: its master end non-blocking, both
// ends closed on exec, the device's name in `device`. False, the reason on standard error, when it fails.
bool openPseudoTerminal(speed_t speed, bool rtscts, int& master, int& slave, std::string& device);

// Makes `path` a symbolic link to `device`, replacing an old link but never anything else.
bool makeLink(const std::string& path, const std::string& device);
// Removes `path` if it is still our link to `device`.
void removeLink(const std::string& path, const std::string& device);

// What a board says on its line: pieces each due at a time of their own, each a write of its own (so that a split
// answer reaches the client in two reads), and what the line would not take yet.
class TimedOutput {
public:
    using Clock = std::chrono::steady_clock;

    void add(Clock::time_point due, std::string bytes) { pieces_.push_back({due, std::move(bytes)}); }
    // Writes the pieces due by now.
    void sendDue(Clock::time_point now, int master);
    // Writes what is left, as far as the line takes it.
    void writeOut(int master);
    // Every piece at once, whenever due (what was said before a hang-up).
    void sendAll(int master);
    std::optional<Clock::time_point> nextDue() const {
        return pieces_.empty() ? std::nullopt : std::optional<Clock::time_point>(pieces_.front().due);
    }
    bool waitsForLine() const { return !out_.empty(); }
    bool empty() const { return pieces_.empty() && out_.empty(); }
    void clear() {
        pieces_.clear();
        out_.clear();
    }

private:
    struct Piece {
        Clock::time_point due;
        std::string bytes;
    };
    std::deque<Piece> pieces_;
    std::string out_;
};

// poll's time-out until `wakeAt` (none: for ever), rounded up, since waking before the due time would spin.
int pollTimeoutMs(std::optional<std::chrono::steady_clock::time_point> wakeAt,
                  std::chrono::steady_clock::time_point now);

// Reads what standard input holds; true once it is closed or fails (the board's controller went away).
bool standardInputEnded();

// Closing the master flushes whatever the client has not read yet, so the last answer of a run that ends by
// itself would be lost. The bytes pass a kernel work queue before the slave counts them, hence the repeated
// look, and a client that never reads is not waited for long (a second); a stop signal ends the wait.
void lingerUntilRead(int slave);

} // namespace zelmar::board::detail
