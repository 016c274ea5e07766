#include "board.h"
#include "common.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace zelmar::board {

std::optional<Move> parseMove(std::string_view command) {
    if (command.empty() || command.back() != ';')
        return std::nullopt;
    command.remove_suffix(1);
    const char* p = command.data();
    const char* const end = p + command.size();
    std::array<std::int32_t, 3> counts{};
    for (std::size_t i = 0; i < counts.size(); ++i) {
        if (i > 0) {
            if (p == end || *p != ',')
                return std::nullopt;
            ++p;
        }
        // from_chars takes an optional "-" and digits only (no "+", no blanks) and reports overflow: the
        // grammar as it stands.
        const auto [next, error] = std::from_chars(p, end, counts[i]);
        if (error != std::errc{})
            return std::nullopt;
        p = next;
    }
    if (p != end)
        return std::nullopt;
    return Move{counts[0], counts[1], counts[2]};
}

std::int64_t answerDelayUs(const Options& options, std::int64_t steps) {
    std::int64_t us = 0;
    if (options.fixedDelayMs) {
        us = *options.fixedDelayMs * 1000;
    } else {
        // Rounded up, so that any real move takes some time.
        us = std::min((steps * 1'000'000 + options.stepRate - 1) / options.stepRate,
                      options.maxDelayMs * 1000);
    }
    return us + options.answerLateMs * 1000;
}

namespace {

// Printable bytes that can never form the acknowledgement in either case.
std::string garbage(std::mt19937& rng) {
    std::uniform_int_distribution<int> length(0, 5);
    std::uniform_int_distribution<int> byte('!', '~');
    std::string text;
    for (int n = length(rng); n > 0;) {
        const char c = static_cast<char>(byte(rng));
        if (c == 'O' || c == 'K' || c == 'o' || c == 'k')
            continue;
        text += c;
        --n;
    }
    return text;
}

} // namespace

std::vector<std::string> answerPieces(const Options& options, bool accepted, std::mt19937& rng) {
    const std::string word = !accepted ? "ERR" : options.lowercase ? "ok" : "OK";
    std::string before, after;
    if (options.noise) {
        before = garbage(rng) + "\r\n#";
        after = "\r\n" + garbage(rng);
    }
    if (options.split && accepted)
        return {before + word.substr(0, 1), word.substr(1) + after};
    return {before + word + after};
}

std::string escaped(std::string_view raw) {
    std::string text;
    for (const char c : raw) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '\r') {
            text += "\\r";
        } else if (c == '\n') {
            text += "\\n";
        } else if (c == '"' || c == '\\') {
            text += '\\';
            text += c;
        } else if (u < 0x20 || u >= 0x7f) {
            std::array<char, 8> hex{};
            std::snprintf(hex.data(), hex.size(), "\\x%02x", u);
            text += hex.data();
        } else {
            text += c;
        }
    }
    return text;
}

namespace {

using detail::signalFd;
using detail::timestamp;

class Board {
public:
    explicit Board(const Options& options) : options_(options), rng_(options.seed) {}
    ~Board();
    int run();

private:
    using Clock = std::chrono::steady_clock;
    bool openLine();
    void closeLine();
    bool makeLink();
    void finish();
    bool accepting() const {
        return !hungUp_ && !(options_.exitAfterCommands && commands_ >= *options_.exitAfterCommands);
    }
    void receive(const char* data, std::size_t size);
    void handle(const std::string& raw, bool tooLong);
    void answer(bool accepted, std::int64_t steps);
    void log(std::string_view raw, std::string_view outcome);

    // Longer than any sensible command; the rest up to the ";" is dropped and the command is malformed.
    static constexpr std::size_t maxCommand = 256;

    Options options_;
    std::mt19937 rng_;
    int master_ = -1;
    int slave_ = -1; // held so that the line survives the client closing and reopening it
    std::string device_;
    bool linked_ = false;
    std::FILE* log_ = nullptr;
    std::string command_;
    bool tooLong_ = false;
    detail::TimedOutput output_;
    Clock::time_point idleAt_{}; // when the board has finished the moves taken so far
    std::optional<Clock::time_point> masterPausedUntil_;
    std::array<std::int64_t, 3> position_{};
    std::int64_t commands_ = 0;
    std::int64_t answers_ = 0;
    bool hungUp_ = false;
};

Board::~Board() {
    finish();
    if (log_ && log_ != stderr)
        std::fclose(log_);
}

void Board::finish() {
    closeLine();
    if (linked_) {
        linked_ = false;
        detail::removeLink(options_.link, device_);
    }
}

bool Board::openLine() {
    if (!detail::openPseudoTerminal(B9600, true, master_, slave_, device_))
        return false;
    return true;
}

void Board::closeLine() {
    for (int* fd : {&master_, &slave_}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
}

bool Board::makeLink() {
    if (!detail::makeLink(options_.link, device_))
        return false;
    linked_ = true;
    return true;
}

void Board::log(std::string_view raw, std::string_view outcome) {
    if (!log_)
        return;
    std::fprintf(log_, "%s \"%s\" %.*s\n", timestamp().c_str(), escaped(raw).c_str(),
                 static_cast<int>(outcome.size()), outcome.data());
    std::fflush(log_);
}

void Board::receive(const char* data, std::size_t size) {
    for (std::size_t i = 0; i < size && accepting(); ++i) {
        const char c = data[i];
        if (command_.empty() && !tooLong_ && (c == ' ' || c == '\t' || c == '\r' || c == '\n'))
            continue;
        if (command_.size() < maxCommand)
            command_ += c;
        else
            tooLong_ = true;
        if (c == ';') {
            handle(command_, tooLong_);
            command_.clear();
            tooLong_ = false;
        }
    }
}

void Board::handle(const std::string& raw, bool tooLong) {
    ++commands_;
    const std::string text = tooLong ? raw + "..." : raw;
    if (options_.hangupAfter && answers_ >= *options_.hangupAfter) {
        log(text, "hang-up");
        hungUp_ = true;
        return;
    }
    if (options_.silentAfter && answers_ >= *options_.silentAfter) {
        log(text, "ignored (silent)");
        return;
    }
    const std::optional<Move> move = tooLong ? std::nullopt : parseMove(raw);
    if (!move) {
        log(text, options_.rejectMalformed ? "malformed (answered ERR)" : "malformed");
        if (options_.rejectMalformed)
            answer(false, 0);
        return;
    }
    const std::array<std::int64_t, 3> steps{move->x, move->y, move->z};
    std::int64_t longest = 0;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        position_[i] += steps[i];
        longest = std::max(longest, steps[i] < 0 ? -steps[i] : steps[i]);
    }
    log(text, "position " + std::to_string(position_[0]) + " " + std::to_string(position_[1]) + " " +
                  std::to_string(position_[2]));
    answer(true, longest);
}

void Board::answer(bool accepted, std::int64_t steps) {
    ++answers_;
    // The board takes one move at a time: a command that arrives while it is busy waits its turn.
    Clock::time_point at =
        std::max(Clock::now(), idleAt_) + std::chrono::microseconds(answerDelayUs(options_, steps));
    bool first = true;
    for (std::string& bytes : answerPieces(options_, accepted, rng_)) {
        if (!first)
            at += std::chrono::milliseconds(options_.splitPauseMs);
        first = false;
        output_.add(at, std::move(bytes));
    }
    idleAt_ = at;
}

int Board::run() {
    if (!options_.log.empty()) {
        log_ = options_.log == "-" ? stderr : std::fopen(options_.log.c_str(), "w");
        if (!log_) {
            std::perror(("zelmar-board: " + options_.log).c_str());
            return 1;
        }
    }
    if (!detail::installSignals() || !openLine() || (!options_.link.empty() && !makeLink()))
        return 1;
    std::printf("%s\n", device_.c_str());
    std::fflush(stdout);

    bool stop = false;
    while (!stop && !hungUp_) {
        const Clock::time_point now = Clock::now();
        output_.sendDue(now, master_);
        if (!accepting() && output_.empty()) {
            if (!hungUp_)
                detail::lingerUntilRead(slave_);
            break;
        }
        if (masterPausedUntil_ && *masterPausedUntil_ <= now)
            masterPausedUntil_.reset();

        std::optional<Clock::time_point> wakeAt = output_.nextDue();
        if (masterPausedUntil_)
            wakeAt = wakeAt ? std::min(*wakeAt, *masterPausedUntil_) : *masterPausedUntil_;
        const int timeoutMs = detail::pollTimeoutMs(wakeAt, now);

        std::array<pollfd, 3> fds{};
        fds[0] = {signalFd(), POLLIN, 0};
        short masterEvents = 0;
        if (accepting())
            masterEvents |= POLLIN;
        if (output_.waitsForLine())
            masterEvents |= POLLOUT;
        fds[1] = {masterPausedUntil_ || masterEvents == 0 ? -1 : master_, masterEvents, 0};
        fds[2] = {options_.stdinControl ? STDIN_FILENO : -1, POLLIN, 0};
        if (::poll(fds.data(), fds.size(), timeoutMs) < 0) {
            if (errno == EINTR)
                continue;
            std::perror("zelmar-board: poll");
            break;
        }

        if (fds[0].revents)
            stop = true;
        if (fds[2].revents && detail::standardInputEnded())
            stop = true;
        if (stop)
            break;
        if (fds[1].revents & POLLIN) {
            std::array<char, 4096> buffer{};
            for (;;) {
                const auto n = ::read(master_, buffer.data(), buffer.size());
                if (n > 0) {
                    receive(buffer.data(), static_cast<std::size_t>(n));
                    if (!accepting())
                        break;
                    continue;
                }
                if (n < 0 && errno == EINTR)
                    continue;
                if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
                    masterPausedUntil_ =
                        Clock::now() + std::chrono::milliseconds(50); // no client: retry later
                break;
            }
        } else if (fds[1].revents & (POLLHUP | POLLERR)) {
            // Without a slave open the master reports a hang-up on every poll; back off instead of spinning.
            masterPausedUntil_ = Clock::now() + std::chrono::milliseconds(50);
        }
        if (fds[1].revents & POLLOUT)
            output_.writeOut(master_);
    }

    // The last line means the board is gone: line and link first.
    finish();
    std::printf("position %lld %lld %lld\n", static_cast<long long>(position_[0]),
                static_cast<long long>(position_[1]), static_cast<long long>(position_[2]));
    std::fflush(stdout);
    return 0;
}

} // namespace

int run(const Options& options) {
    if (options.grbl)
        return runGrbl(options);
    Board board(options);
    return board.run();
}

} // namespace zelmar::board
