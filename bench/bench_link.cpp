// What the program adds to each move beyond the protocol's own pacing (the 100 ms pause after a write and the
// board's answer), against the simulated board answering at once: a job of moves on the runner, as the window
// and zelmar-cli send them, without and with the job journal (a record on the disk before each command).
// One JSON line each.
//
//   zelmar-bench-link [MOVES] [PAUSE_MS]   (default 50 moves and the protocol's 100 ms; zelmar-board must stand
//   beside this program). A shorter pause shows the program's own cost per move in a longer run.

#include "link/board_link.h"
#include "run/job_journal.h"
#include "run/job_runner.h"
#include "link/serial_line.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

using namespace zelmar;

namespace {

// A job of identical one-pixel steps.
std::unique_ptr<MoveList> steps(int count) {
    return std::make_unique<MoveList>(
        std::vector<PlannedMove>(static_cast<std::size_t>(count), PlannedMove{1, -1, 0, MoveKind::Step, {}}));
}

bool measure(const QString& port, int moves, int pauseMs, bool journalled) {
    SerialLine line;
    if (!line.open(port, 9600)) {
        std::fprintf(stderr, "cannot open %s\n", qPrintable(port));
        return false;
    }
    BoardLink link(line);
    link.setPauseMs(pauseMs);
    JobRunner runner;
    runner.setLink(&link);
    runner.setMillingSwitch([] { return true; });
    QTemporaryDir dir;
    JournalWriter journal;
    if (journalled) {
        JournalHeader header;
        header.operations = {"bench"};
        if (!journal.create(dir.filePath("bench.journal").toStdString(), header))
            return false;
        runner.setJournalSource([&journal](std::int64_t) { return &journal; });
    }
    std::vector<double> intervalsMs;
    QElapsedTimer sinceLast;
    QObject::connect(&runner, &JobRunner::moveDone, [&] {
        if (sinceLast.isValid())
            intervalsMs.push_back(static_cast<double>(sinceLast.nsecsElapsed()) / 1e6 - pauseMs);
        sinceLast.start();
    });
    bool completed = false;
    QObject::connect(&runner, &JobRunner::ended, [&](JobRunner::Outcome o) {
        completed = o == JobRunner::Outcome::Completed;
        QCoreApplication::quit();
    });
    runner.start(steps(moves), parseStepsPerPixel("150"), {});
    QCoreApplication::exec();
    if (!completed || intervalsMs.empty()) {
        std::fprintf(stderr, "the job did not complete\n");
        return false;
    }
    std::sort(intervalsMs.begin(), intervalsMs.end());
    std::printf("{\"bench\":\"move_overhead\",\"journal\":%s,\"pause_ms\":%d,\"moves\":%d,\"median_ms\":%.3f,"
                "\"p95_ms\":%.3f,\"max_ms\":%.3f}\n",
                journalled ? "true" : "false", pauseMs, moves, intervalsMs[intervalsMs.size() / 2],
                intervalsMs[intervalsMs.size() * 95 / 100], intervalsMs.back());
    std::fflush(stdout);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int moves = argc > 1 ? std::max(2, std::atoi(argv[1])) : 50;
    const int pauseMs = argc > 2 ? std::max(0, std::atoi(argv[2])) : BoardLink::protocolPauseMs;

    QProcess board;
    board.start(QCoreApplication::applicationDirPath() + "/zelmar-board", {"--stdin-control", "--delay-ms", "0"});
    if (!board.waitForReadyRead(5000)) {
        std::fprintf(stderr, "zelmar-board did not start\n");
        return 1;
    }
    const QString path = QString::fromUtf8(board.readLine()).trimmed();
    const bool ok = measure(path, moves, pauseMs, false) && measure(path, moves, pauseMs, true);
    board.closeWriteChannel();
    board.waitForFinished(5000);
    return ok ? 0 : 1;
}
