#include "common.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string_view>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zelmar::board::detail {

namespace {

int signalPipe[2] = {-1, -1};

extern "C" void onSignal(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

} // namespace

bool setFlags(int fd, int flags) {
    const int old = ::fcntl(fd, F_GETFL);
    return old >= 0 && ::fcntl(fd, F_SETFL, old | flags) == 0;
}

bool installSignals() {
    if (::pipe(signalPipe) != 0 || !setFlags(signalPipe[0], O_NONBLOCK) ||
        !setFlags(signalPipe[1], O_NONBLOCK))
        return false;
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: poll must wake up
    for (const int s : {SIGINT, SIGTERM, SIGHUP})
        if (::sigaction(s, &action, nullptr) != 0)
            return false;
    // A reader of our standard output that went away must not kill the board before it cleans up.
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}

int signalFd() {
    return signalPipe[0];
}

std::string timestamp() {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    std::array<char, 32> date{};
    std::strftime(date.data(), date.size(), "%Y-%m-%dT%H:%M:%S", &utc);
    std::array<char, 48> text{};
    std::snprintf(text.data(), text.size(), "%s.%03dZ", date.data(), static_cast<int>(ms % 1000));
    return text.data();
}

bool makeLink(const std::string& path, const std::string& device) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            std::fprintf(stderr, "zelmar-board: %s exists and is not a symbolic link\n", path.c_str());
            return false;
        }
        ::unlink(path.c_str());
    }
    if (::symlink(device.c_str(), path.c_str()) != 0) {
        std::perror(("zelmar-board: " + path).c_str());
        return false;
    }
    return true;
}

void removeLink(const std::string& path, const std::string& device) {
    // Only our own link: someone may have pointed the path elsewhere meanwhile.
    std::array<char, 4096> target{};
    const auto n = ::readlink(path.c_str(), target.data(), target.size() - 1);
    if (n >= 0 && std::string_view(target.data(), static_cast<std::size_t>(n)) == device)
        ::unlink(path.c_str());
}

bool openPseudoTerminal(speed_t speed, bool rtscts, int& master, int& slave, std::string& device) {
    master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        std::perror("zelmar-board: pseudo-terminal");
        return false;
    }
    const char* name = ::ptsname(master);
    if (!name) {
        std::perror("zelmar-board: ptsname");
        return false;
    }
    device = name;
    slave = ::open(device.c_str(), O_RDWR | O_NOCTTY);
    if (slave < 0) {
        std::perror(("zelmar-board: " + device).c_str());
        return false;
    }
    termios line{};
    if (::tcgetattr(slave, &line) != 0) {
        std::perror("zelmar-board: tcgetattr");
        return false;
    }
    ::cfmakeraw(&line);
    ::cfsetispeed(&line, speed);
    ::cfsetospeed(&line, speed);
    line.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | HUPCL | CRTSCTS);
    line.c_cflag |= CS8 | CREAD | CLOCAL | (rtscts ? CRTSCTS : 0);
    line.c_cc[VMIN] = 1;
    line.c_cc[VTIME] = 0;
    if (::tcsetattr(slave, TCSANOW, &line) != 0) {
        std::perror("zelmar-board: tcsetattr");
        return false;
    }
    for (const int fd : {master, slave})
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    if (!setFlags(master, O_NONBLOCK)) {
        std::perror("zelmar-board: fcntl");
        return false;
    }
    return true;
}

void TimedOutput::sendDue(Clock::time_point now, int master) {
    while (!pieces_.empty() && pieces_.front().due <= now) {
        out_ += pieces_.front().bytes;
        pieces_.pop_front();
        writeOut(master);
    }
}

void TimedOutput::sendAll(int master) {
    for (const Piece& piece : pieces_)
        out_ += piece.bytes;
    pieces_.clear();
    writeOut(master);
}

void TimedOutput::writeOut(int master) {
    while (!out_.empty() && master >= 0) {
        const auto n = ::write(master, out_.data(), out_.size());
        if (n > 0) {
            out_.erase(0, static_cast<std::size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
                out_.clear(); // nobody can ever read it
            return;
        }
    }
}

int pollTimeoutMs(std::optional<std::chrono::steady_clock::time_point> wakeAt,
                  std::chrono::steady_clock::time_point now) {
    if (!wakeAt)
        return -1;
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(*wakeAt - now).count();
    return static_cast<int>(std::clamp<std::int64_t>((us + 999) / 1000, 0, 60'000));
}

bool standardInputEnded() {
    std::array<char, 256> buffer{};
    const auto n = ::read(STDIN_FILENO, buffer.data(), buffer.size());
    return n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN);
}

void lingerUntilRead(int slave) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    int emptyLooks = 0;
    while (emptyLooks < 3 && std::chrono::steady_clock::now() < deadline) {
        int waiting = 0;
        if (::ioctl(slave, FIONREAD, &waiting) != 0)
            return;
        emptyLooks = waiting == 0 ? emptyLooks + 1 : 0;
        pollfd signal{signalFd(), POLLIN, 0};
        if (::poll(&signal, 1, 5) > 0)
            return;
    }
}

} // namespace zelmar::board::detail
