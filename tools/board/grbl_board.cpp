// zelmar-board --grbl: the line side of the simulated grbl controller. Unlike the plain board it does not keep the
// device open itself, so that the master side's hang-up tells when a client opens and closes the line: a board that
// resets when the port opens greets each client.

#include "board.h"
#include "common.h"
#include "grbl.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <deque>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

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
    struct Piece {
        Clock::time_point due;
        std::string bytes;
    };

    bool openLine();
    void finish();
    bool clientPresent() const;
    void disconnect(Clock::time_point now);
    grbl::Micros at(Clock::time_point t) const {
        return std::chrono::duration_cast<std::chrono::microseconds>(t - epoch_).count();
    }
    void collect(Clock::time_point now);
    std::string noiseLine();
    void sendDue(Clock::time_point now);
    void writeOut();
    void lingerUntilRead();

    Options options_;
    grbl::Controller machine_;
    std::mt19937 rng_;
    const Clock::time_point epoch_ = Clock::now();
    int master_ = -1;
    std::string device_;
    bool linked_ = false;
    std::FILE* log_ = nullptr;
    bool connected_ = false;
    std::deque<Piece> pieces_;
    Clock::time_point lastDue_{};
    std::string out_;
};

GrblBoard::~GrblBoard() {
    finish();
    if (log_ && log_ != stderr)
        std::fclose(log_);
}

void GrblBoard::finish() {
    if (master_ >= 0)
        ::close(master_);
    master_ = -1;
    if (linked_) {
        linked_ = false;
        detail::removeLink(options_.link, device_);
    }
}

bool GrblBoard::openLine() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
        std::perror("zelmar-board: pseudo-terminal");
        return false;
    }
    const char* name = ::ptsname(master_);
    if (!name) {
        std::perror("zelmar-board: ptsname");
        return false;
    }
    device_ = name;
    // The settings outlive this open: the terminal keeps them while the master is open.
    const int slave = ::open(device_.c_str(), O_RDWR | O_NOCTTY);
    if (slave < 0) {
        std::perror(("zelmar-board: " + device_).c_str());
        return false;
    }
    termios line{};
    bool ok = ::tcgetattr(slave, &line) == 0;
    if (ok) {
        ::cfmakeraw(&line);
        const speed_t speed = speedOf(options_.baud).value_or(B115200);
        ::cfsetispeed(&line, speed);
        ::cfsetospeed(&line, speed);
        line.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | HUPCL | CRTSCTS);
        line.c_cflag |= CS8 | CREAD | CLOCAL;
        line.c_cc[VMIN] = 1;
        line.c_cc[VTIME] = 0;
        ok = ::tcsetattr(slave, TCSANOW, &line) == 0;
    }
    if (!ok)
        std::perror("zelmar-board: terminal settings");
    ::close(slave);
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
    if (ok && !detail::setFlags(master_, O_NONBLOCK)) {
        std::perror("zelmar-board: fcntl");
        ok = false;
    }
    return ok;
}

// With no client the master reports a hang-up.
bool GrblBoard::clientPresent() const {
    pollfd p{master_, POLLIN, 0};
    return ::poll(&p, 1, 0) >= 0 && !(p.revents & POLLHUP);
}

void GrblBoard::disconnect(Clock::time_point now) {
    connected_ = false;
    pieces_.clear();
    out_.clear();
    machine_.clientClosed(at(now));
    // What the last client left unread would greet the next one; a real adapter drops it with the port.
    const int slave = ::open(device_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (slave >= 0) {
        ::tcflush(slave, TCIFLUSH);
        ::close(slave);
    }
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
        if (!connected_)
            continue; // nobody hears it
        // Everything keeps its order: a late answer holds back what follows it.
        Clock::time_point due = std::max(now, lastDue_);
        if (output.answer) {
            due = std::max(due, now + std::chrono::milliseconds(options_.answerLateMs));
            if (options_.noise)
                pieces_.push_back({due, noiseLine()});
            if (options_.split) {
                pieces_.push_back({due, output.text.substr(0, 1)});
                due += std::chrono::milliseconds(options_.splitPauseMs);
                output.text.erase(0, 1);
            }
        }
        pieces_.push_back({due, std::move(output.text)});
        lastDue_ = due;
    }
    for (const std::string& entry : machine_.takeLog())
        if (log_)
            std::fprintf(log_, "%s %s\n", detail::timestamp().c_str(), entry.c_str());
    if (log_)
        std::fflush(log_);
}

void GrblBoard::sendDue(Clock::time_point now) {
    while (!pieces_.empty() && pieces_.front().due <= now) {
        out_ += pieces_.front().bytes;
        pieces_.pop_front();
        // A piece is a write of its own, so that a split answer reaches the client in two reads.
        writeOut();
    }
}

void GrblBoard::writeOut() {
    while (!out_.empty() && master_ >= 0) {
        const auto n = ::write(master_, out_.data(), out_.size());
        if (n > 0) {
            out_.erase(0, static_cast<std::size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
                out_.clear();
            return;
        }
    }
}

// As the plain board: closing the master would flush what the client has not read yet.
void GrblBoard::lingerUntilRead() {
    const int slave = ::open(device_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (slave < 0)
        return;
    const auto deadline = Clock::now() + std::chrono::seconds(1);
    int emptyLooks = 0;
    while (emptyLooks < 3 && Clock::now() < deadline) {
        int waiting = 0;
        if (::ioctl(slave, FIONREAD, &waiting) != 0)
            break;
        emptyLooks = waiting == 0 ? emptyLooks + 1 : 0;
        pollfd signal{detail::signalFd(), POLLIN, 0};
        if (::poll(&signal, 1, 5) > 0)
            break;
    }
    ::close(slave);
}

int GrblBoard::run() {
    if (!options_.log.empty()) {
        log_ = options_.log == "-" ? stderr : std::fopen(options_.log.c_str(), "w");
        if (!log_) {
            std::perror(("zelmar-board: " + options_.log).c_str());
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
        if (master_ >= 0 && !connected_ && clientPresent()) {
            connected_ = true;
            machine_.clientOpened(at(now));
        }
        machine_.advance(at(now));
        collect(now);
        sendDue(now);
        if (machine_.hungUp() && master_ >= 0) {
            // What was said before the hang-up still reaches the client.
            for (const Piece& piece : pieces_)
                out_ += piece.bytes;
            writeOut();
            if (connected_)
                lingerUntilRead();
            ::close(master_);
            master_ = -1;
            connected_ = false;
            pieces_.clear();
            out_.clear();
        }
        // Stopping by itself, the board lets the machine finish what it accepted.
        const bool ending = machine_.hungUp() || machine_.finished();
        if (ending && !machine_.busy() && pieces_.empty() && out_.empty()) {
            if (connected_)
                lingerUntilRead();
            break;
        }

        std::optional<Clock::time_point> wakeAt;
        const auto sooner = [&wakeAt](Clock::time_point t) { wakeAt = wakeAt ? std::min(*wakeAt, t) : t; };
        if (!pieces_.empty())
            sooner(pieces_.front().due);
        if (const auto due = machine_.nextDue())
            sooner(epoch_ + std::chrono::microseconds(*due));
        if (master_ >= 0 && !connected_)
            sooner(now + std::chrono::milliseconds(10)); // look for a client now and then
        int timeoutMs = -1;
        if (wakeAt) {
            const auto us = std::chrono::duration_cast<std::chrono::microseconds>(*wakeAt - now).count();
            timeoutMs = static_cast<int>(std::clamp<std::int64_t>((us + 999) / 1000, 0, 60'000));
        }

        std::array<pollfd, 3> fds{};
        fds[0] = {detail::signalFd(), POLLIN, 0};
        short masterEvents = 0;
        if (!ending)
            masterEvents |= POLLIN;
        if (!out_.empty())
            masterEvents |= POLLOUT;
        fds[1] = {connected_ ? master_ : -1, masterEvents, 0};
        fds[2] = {options_.stdinControl ? STDIN_FILENO : -1, POLLIN, 0};
        if (::poll(fds.data(), fds.size(), timeoutMs) < 0) {
            if (errno == EINTR)
                continue;
            std::perror("zelmar-board: poll");
            break;
        }
        if (fds[0].revents)
            break;
        if (fds[2].revents) {
            std::array<char, 256> buffer{};
            const auto n = ::read(STDIN_FILENO, buffer.data(), buffer.size());
            if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN))
                break;
        }
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
                if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
                    disconnect(Clock::now());
                break;
            }
        } else if (fds[1].revents & (POLLHUP | POLLERR)) {
            disconnect(Clock::now());
        }
        if (connected_ && (fds[1].revents & POLLOUT))
            writeOut();
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
