#pragma once
// The window program's command line: --help and --version, answered before any window (and so without a
// display); anything else that Qt did not take for itself is bad usage.

#include <QStringList>

#include <optional>

namespace zelmar {

// The text of zelmar --help, in Russian like the rest of what the operator reads.
QString windowProgramHelp();

// Before the application object exists: prints the help or the version on standard output and gives the exit
// status 0 when asked for; nothing otherwise.
std::optional<int> answerInfoOptions(int argc, char** argv);

// After the application object has taken its own options (-platform, -style, ...) out: an option or an
// argument left over is reported on standard error, with status 2.
std::optional<int> refuseLeftoverArguments(const QStringList& arguments);

} // namespace zelmar
