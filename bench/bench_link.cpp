// What the program adds to each move beyond the protocol's own pacing (the 100 ms pause after a write and the
// board's answer), against the simulated board answering at once. One JSON line.
//
//   zelmar-bench-link [MOVES]   (default 50; zelmar-board must stand beside this program)

#include "link/motion_link.h"
#include "link/serial_port.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace zelmar;

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int moves = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;

    QProcess board;
    board.start(QCoreApplication::applicationDirPath() + "/zelmar-board",
                {"--stdin-control", "--delay-ms", "0"});
    if (!board.waitForReadyRead(5000)) {
        std::fprintf(stderr, "zelmar-board did not start\n");
        return 1;
    }
    const QString path = QString::fromUtf8(board.readLine()).trimmed();

    SerialPort port;
    MotionLink link(port);
    link.setHandle(port.OpenPort(path, 9600));
    link.setEventPump([] { QCoreApplication::processEvents(); });
    port.setEventPump([] { QCoreApplication::processEvents(); });

    std::vector<double> overheadMs;
    for (int i = 0; i < moves; ++i) {
        QElapsedTimer t;
        t.start();
        const MoveResult r = link.SendMove(1, -1, 0, true, true, "150");
        const double ms = static_cast<double>(t.nsecsElapsed()) / 1e6;
        if (r.outcome != MoveOutcome::Done) {
            std::fprintf(stderr, "move %d failed: %s\n", i, r.message.c_str());
            return 1;
        }
        overheadMs.push_back(ms - 100.0);
    }
    board.closeWriteChannel();
    board.waitForFinished(5000);
    std::sort(overheadMs.begin(), overheadMs.end());
    std::printf(
        "{\"bench\":\"move_overhead\",\"moves\":%d,\"median_ms\":%.3f,\"p95_ms\":%.3f,\"max_ms\":%.3f}\n",
        moves, overheadMs[overheadMs.size() / 2], overheadMs[overheadMs.size() * 95 / 100],
        overheadMs.back());
    return 0;
}
