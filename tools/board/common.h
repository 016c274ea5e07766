// What both kinds of simulated board share: the signals that stop them, the log's time stamps, the link to the
// device.
#pragma once

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

} // namespace zelmar::board::detail
