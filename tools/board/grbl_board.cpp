// zelmar-board --grbl: the line side of the simulated grbl controller. A client's open of the device is seen through
// inotify, which reports every open and close even when they follow each other faster than the board looks; the
// master's hang-up would miss a quick close and reopen. Without inotify the board cannot tell, and behaves as a board
// that was already running (--no-welcome).

#include "board.h"
#include "common.h"
#include "grbl.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/inotify.h>
#endif

namespace zelmar::board {

namespace {

std::optional<speed_t> speedOf(std::int64_t baud) {
    switch (baud) {
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    default: return std::nullopt;
    }
}

grbl::Config configOf(const Options& options) {
    grbl::Config config;
    config.homing = options.homing;
    config.surface = options.stock;
    config.cutLog = !options.cutLog.empty();
    config.cutLogEvery = options.cutLogEvery;
    config.blockMs = options.fixedDelayMs;
    config.maxRate = options.maxRate;
    config.travel = options.travel;
    config.alarmAt = options.alarmAt;
    config.silentAfter = options.silentAfter;
    config.hangupAfter = options.hangupAfter;
    config.exitAfterAnswers = options.exitAfterCommands;
    config.welcomeAtOpen = options.welcomeAtOpen;
    return config;
}

class GrblBoard {
public:
    explicit GrblBoard(const Options& options)
        : options_(options), machine_(configOf(options)), rng_(options.seed) {}
    ~GrblBoard();
    int run();

private:
    using Clock = std::chrono::steady_clock;
    bool openLine();
    void finish();
    void watchEvents(Clock::time_point now);
    void clientOpened(Clock::time_point now);
    grbl::Micros at(Clock::time_point t) const {
        return std::chrono::duration_cast<std::chrono::microseconds>(t - epoch_).count();
    }
    void collect(Clock::time_point now);
    std::string noiseLine();

    Options options_;
    grbl::Controller machine_;
    std::mt19937 rng_;
    const Clock::time_point epoch_ = Clock::now();
    int master_ = -1;
    int slave_ = -1; // held, as by the plain board: the line survives its clients
    int watch_ = -1; // inotify on the device
    std::string device_;
    bool linked_ = false;
    std::FILE* log_ = nullptr;
    std::FILE* cutLog_ = nullptr;
    detail::TimedOutput output_;
    Clock::time_point lastDue_{};
};

GrblBoard::~GrblBoard() {
    finish();
    if (log_ && log_ != stderr)
        std::fclose(log_);
    if (cutLog_)
        std::fclose(cutLog_);
}

void GrblBoard::finish() {
    for (int* fd : {&master_, &slave_, &watch_}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
    if (linked_) {
        linked_ = false;
        detail::removeLink(options_.link, device_);
    }
}

bool GrblBoard::openLine() {
    if (!detail::openPseudoTerminal(speedOf(options_.baud).value_or(B115200), false, master_, slave_, device_))
        return false;
#if defined(__linux__)
    // Watched only now: our own open above is no client.
    watch_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch_ < 0 || ::inotify_add_watch(watch_, device_.c_str(), IN_OPEN | IN_CLOSE) < 0) {
        std::perror("zelmar-board: inotify");
        return false;
    }
#endif
    return true;
}

// A real board loses what it sent to a port nobody held open; here it would wait in the terminal for the next client.
// Hence the flush at a close, and again at an open in case the board saw the close only then.
void GrblBoard::clientOpened(Clock::time_point now) {
    output_.clear();
    ::tcflush(slave_, TCIFLUSH);
    machine_.clientOpened(at(now));
}

// Identical events not yet read are merged into one: two opens may count as one, but a close and an open never do,
// and every open resets the board anyway.
void GrblBoard::watchEvents(Clock::time_point now) {
#if defined(__linux__)
    std::array<char, 4096> buffer{};
    for (;;) {
        const auto n = ::read(watch_, buffer.data(), buffer.size());
        if (n <= 0)
            return;
        for (std::size_t offset = 0; offset + sizeof(inotify_event) <= static_cast<std::size_t>(n);) {
            inotify_event event{};
            std::memcpy(&event, buffer.data() + offset, sizeof event);
            if (event.mask & IN_OPEN)
                clientOpened(now);
            if (event.mask & IN_CLOSE) {
                ::tcflush(slave_, TCIFLUSH);
                machine_.clientClosed(at(now));
            }
            offset += sizeof(inotify_event) + event.len;
        }
    }
#else
    (void)now;
#endif
}

std::string GrblBoard::noiseLine() {
    // Lines a grbl sender skips: an empty one, or a message it does not know.
    std::uniform_int_distribution<int> length(0, 6);
    std::uniform_int_distribution<int> byte(' ', '~');
    const int n = length(rng_);
    if (n == 0)
        return "\r\n";
    std::string text = "[MSG:";
    while (static_cast<int>(text.size()) < 5 + n) {
        const char c = static_cast<char>(byte(rng_));
        if (c != ']')
            text += c;
    }
    return text + "]\r\n";
}

void GrblBoard::collect(Clock::time_point now) {
    for (grbl::Output& output : machine_.takeOutput()) {
        // Everything keeps its order: a late answer holds back what follows it.
        Clock::time_point due = std::max(now, lastDue_);
        if (output.answer) {
            due = std::max(due, now + std::chrono::milliseconds(options_.answerLateMs));
            if (options_.noise)
                output_.add(due, noiseLine());
            if (options_.split) {
                output_.add(due, output.text.substr(0, 1));
                due += std::chrono::milliseconds(options_.splitPauseMs);
                output.text.erase(0, 1);
            }
        }
        output_.add(due, std::move(output.text));
        lastDue_ = due;
    }
    for (const std::string& entry : machine_.takeLog())
        if (log_)
            std::fprintf(log_, "%s %s\n", detail::timestamp().c_str(), entry.c_str());
    if (log_)
        std::fflush(log_);
    const auto cuts = machine_.takeCutLog();
    for (const std::string& line : cuts)
        std::fprintf(cutLog_, "%s\n", line.c_str());
    // Whole lines only, for a reader that looks while the board runs.
    if (!cuts.empty())
        std::fflush(cutLog_);
}




int GrblBoard::run() {
    if (!options_.log.empty()) {
        log_ = options_.log == "-" ? stderr : std::fopen(options_.log.c_str(), "w");
        if (!log_) {
            std::perror(("zelmar-board: " + options_.log).c_str());
            return 1;
        }
    }
    if (!options_.cutLog.empty()) {
        cutLog_ = std::fopen(options_.cutLog.c_str(), "w");
        if (!cutLog_) {
            std::perror(("zelmar-board: " + options_.cutLog).c_str());
            return 1;
        }
    }
    if (!detail::installSignals() || !openLine())
        return 1;
    if (!options_.link.empty()) {
        if (!detail::makeLink(options_.link, device_))
            return 1;
        linked_ = true;
    }
    std::printf("%s\n", device_.c_str());
    std::fflush(stdout);

    for (;;) {
        const Clock::time_point now = Clock::now();
        machine_.advance(at(now));
        collect(now);
        output_.sendDue(now, master_);
        if (machine_.hungUp() && master_ >= 0) {
            // What was said before the hang-up still reaches the client.
            output_.sendAll(master_);
            detail::lingerUntilRead(slave_);
            finish();
            output_.clear();
        }
        // Stopping by itself, the board lets the machine finish what it accepted.
        const bool ending = machine_.hungUp() || machine_.finished();
        if (ending && !machine_.busy() && output_.empty()) {
            if (master_ >= 0)
                detail::lingerUntilRead(slave_);
            break;
        }

        std::optional<Clock::time_point> wakeAt;
        const auto sooner = [&wakeAt](Clock::time_point t) { wakeAt = wakeAt ? std::min(*wakeAt, t) : t; };
        if (const auto due = output_.nextDue())
            sooner(*due);
        if (const auto due = machine_.nextDue())
            sooner(epoch_ + std::chrono::microseconds(*due));
        const int timeoutMs = detail::pollTimeoutMs(wakeAt, now);

        std::array<pollfd, 4> fds{};
        fds[0] = {detail::signalFd(), POLLIN, 0};
        short masterEvents = 0;
        if (!ending)
            masterEvents |= POLLIN;
        if (output_.waitsForLine())
            masterEvents |= POLLOUT;
        fds[1] = {masterEvents ? master_ : -1, masterEvents, 0};
        fds[2] = {options_.stdinControl ? STDIN_FILENO : -1, POLLIN, 0};
        fds[3] = {watch_, POLLIN, 0};
        if (::poll(fds.data(), fds.size(), timeoutMs) < 0) {
            if (errno == EINTR)
                continue;
            std::perror("zelmar-board: poll");
            break;
        }
        if (fds[0].revents)
            break;
        if (fds[2].revents && detail::standardInputEnded())
            break;
        // What came before an open belongs to the session before it: a reset at the open drops what the new
        // client sent at once, as a board still starting up would.
        if (fds[1].revents & POLLIN) {
            std::array<char, 4096> buffer{};
            for (;;) {
                const auto n = ::read(master_, buffer.data(), buffer.size());
                if (n > 0) {
                    machine_.receive(std::string_view(buffer.data(), static_cast<std::size_t>(n)),
                                     at(Clock::now()));
                    continue;
                }
                if (n < 0 && errno == EINTR)
                    continue;
                break;
            }
        }
        if (fds[3].revents)
            watchEvents(Clock::now());
        if (fds[1].revents & POLLOUT)
            output_.writeOut(master_);
    }

    const auto position = machine_.position(at(Clock::now()));
    collect(Clock::now()); // the log's last entries
    finish();
    std::printf("position %s %s %s overrun %lld\n", grbl::millimetres(position[0]).c_str(),
                grbl::millimetres(position[1]).c_str(), grbl::millimetres(position[2]).c_str(),
                static_cast<long long>(machine_.bytesLost()));
    std::fflush(stdout);
    if (machine_.bytesLost() > 0)
        std::fprintf(stderr, "zelmar-board: the receive buffer overran: %lld bytes lost\n",
                     static_cast<long long>(machine_.bytesLost()));
    return 0;
}

} // namespace

bool validBaud(std::int64_t baud) {
    return speedOf(baud).has_value();
}

int runGrbl(const Options& options) {
    GrblBoard board(options);
    return board.run();
}

} // namespace zelmar::board
