// Dry milling cost per move, without the 1 ms pause of the window: "Все" on generated images, in the core
// alone (the job's plans made and their moves done) and in the work window on its runner (offscreen). Then the
// window against the simulated board at the protocol's own pace, its journal on the disk or none: the longest
// the mill view went without a paint, and the event loop without running. One JSON line per measurement.
//
//   QT_QPA_PLATFORM=offscreen zelmar-bench-mill [--board-only]

#include "app/main_frame.h"
#include "app/work_window.h"
#include "bench_images.h"
#include "image/bmp_file.h"
#include "image/image_session.h"
#include "mill/mill_job.h"

#include "app/layer_view.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <string>

#include <cstdio>
#include <cstring>

using namespace zelmar;

namespace {

void core(const char* name, const ImageLayer& layer) {
    ImageSession session;
    session.layers = LayerSet::copiesOf(layer);
    parseImage(session);
    ToolPosition tool;
    MillIndexCache cache;
    // The index is made once per parse; it is measured on its own, the moves without it.
    QElapsedTimer t;
    t.start();
    cache.indexFor(session.regions);
    const double indexMs = static_cast<double>(t.nsecsElapsed()) / 1e6;
    t.restart();
    // The job as a runner takes it in a dry run: each move planned, then done (its marks painted).
    MillJob job(MillKind::All, session, tool, cache);
    std::int64_t moves = 0;
    while (job.next()) {
        job.complete();
        ++moves;
    }
    const double us = static_cast<double>(t.nsecsElapsed()) / 1e3;
    std::printf("{\"bench\":\"dry_mill_all_core\",\"image\":\"%s\",\"moves\":%lld,\"total_ms\":%.1f,"
                "\"us_per_move\":%.3f,\"index_once_per_parse_ms\":%.1f}\n",
                name, static_cast<long long>(moves), us / 1000, us / static_cast<double>(moves),
                indexMs);
    std::fflush(stdout);
}

// command: "Command6" ("Все") or "Command7" ("Резать 3D"). Besides the time, the longest the window went
// without running its events: a 5 ms timer notes every gap between its ticks.
void window(const char* name, const ImageLayer& layer, const char* command = "Command6") {
    QTemporaryDir dir;
    writeBmp24((dir.path() + "/test.bmp").toStdString(), layer);
    MainFrame frame(dir.path());
    frame.show();
    frame.openWorkWindow();
    WorkWindow* form = frame.workWindow();
    form->controller().setDryPauseMs(0);
    form->findChild<QPushButton*>("Command1")->click();
    qint64 moves = 0;
    QObject::connect(&form->controller(), &JobController::moveDone,
                     [&moves](const JobProgress& p) { moves = p.movesDone; });
    QElapsedTimer sinceTick;
    double longestGapMs = 0;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        longestGapMs = std::max(longestGapMs, static_cast<double>(sinceTick.nsecsElapsed()) / 1e6);
        sinceTick.restart();
    });
    QElapsedTimer t;
    t.start();
    sinceTick.start();
    tick.start(5);
    qint64 allMoves = 0;
    QObject::connect(&form->controller().runner(), &JobRunner::moveDone, [&allMoves] { ++allMoves; });
    // The click itself from the event loop, so that what it does before the first move counts as well.
    QPushButton* button = form->findChild<QPushButton*>(command);
    bool clicked = false;
    QTimer::singleShot(0, [&] {
        button->click();
        clicked = true;
    });
    while (!clicked || form->controller().runner().isRunning())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    longestGapMs = std::max(longestGapMs, static_cast<double>(sinceTick.nsecsElapsed()) / 1e6);
    tick.stop();
    const double us = static_cast<double>(t.nsecsElapsed()) / 1e3;
    std::printf("{\"bench\":\"dry_%s_window\",\"image\":\"%s\",\"moves\":%lld,\"total_ms\":%.1f,"
                "\"us_per_move\":%.3f,\"longest_gap_between_events_ms\":%.1f}\n",
                std::string(command) == "Command6" ? "mill_all" : "cut3d", name, static_cast<long long>(allMoves),
                us / 1000, us / static_cast<double>(std::max<qint64>(allMoves, 1)), longestGapMs);
    std::fflush(stdout);
}

// Notes the time between paints of one widget.
class PaintGaps : public QObject {
public:
    double longestMs = 0;
    int paints = 0;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            if (paints++ > 0)
                longestMs = std::max(longestMs, static_cast<double>(since_.nsecsElapsed()) / 1e6);
            since_.start();
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QElapsedTimer since_;
};

// "Все" in the window on zelmar-board, ticked, for `moves` moves (then "Стоп"), at the protocol's 100 ms pause.
void windowOnBoard(const char* name, const ImageLayer& layer, bool journal, qint64 moves) {
    QProcess board;
    board.start(QStringLiteral(ZELMAR_BIN_DIR "/zelmar-board"), {"--delay-ms", "0"});
    if (!board.waitForReadyRead(5000))
        return;
    const QString device = QString::fromLocal8Bit(board.readLine().trimmed());
    QTemporaryDir dir;
    QTemporaryDir journals(QDir::home().filePath(QStringLiteral("zelmar-bench-XXXXXX"))); // on the real disk
    writeBmp24((dir.path() + "/test.bmp").toStdString(), layer);
    QFile ini(dir.filePath(QStringLiteral("cnc.ini")));
    ini.open(QIODevice::WriteOnly);
    ini.write(QStringLiteral("[CNC]\r\nPort=%1\r\n").arg(device).toUtf8());
    ini.close();
    MainFrame frame(dir.path());
    frame.setJournalFolder(journal ? journals.path() : QString());
    frame.show();
    frame.openWorkWindow();
    WorkWindow* form = frame.workWindow();
    form->findChild<QCheckBox*>("Check1")->setChecked(true);
    form->findChild<QPushButton*>("Command1")->click();
    PaintGaps paints;
    form->findChild<zelmar::LayerView*>(QStringLiteral("Pict3"))->installEventFilter(&paints);
    QElapsedTimer sinceTick;
    double longestGapMs = 0;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        longestGapMs = std::max(longestGapMs, static_cast<double>(sinceTick.nsecsElapsed()) / 1e6);
        sinceTick.restart();
    });
    qint64 done = 0;
    QObject::connect(&form->controller().runner(), &JobRunner::moveDone, [&] {
        if (++done == moves)
            form->requestStop();
    });
    QElapsedTimer t;
    t.start();
    bool clicked = false;
    QTimer::singleShot(0, [&] {
        form->findChild<QPushButton*>("Command6")->click();
        clicked = true;
        sinceTick.start();
        tick.start(5);
    });
    while (!clicked || form->controller().runner().isRunning() || (form->controller().state() == JobState::Estimating))
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    tick.stop();
    std::printf("{\"bench\":\"window_on_board\",\"image\":\"%s\",\"journal\":%s,\"moves\":%lld,\"total_ms\":%.1f,"
                "\"paints\":%d,\"longest_gap_between_paints_ms\":%.1f,\"longest_gap_between_events_ms\":%.1f}\n",
                name, journal ? "true" : "false", static_cast<long long>(done),
                static_cast<double>(t.nsecsElapsed()) / 1e6, paints.paints, paints.longestMs, longestGapMs);
    std::fflush(stdout);
    board.kill();
    board.waitForFinished(2000);
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc > 1 && std::strcmp(argv[1], "--board-only") == 0) {
        const ImageLayer small = bench::shapesImage(128, 128, 7);
        for (int round = 0; round < 2; ++round)
            for (const bool journal : {true, false})
                windowOnBoard("shapes-128", small, journal, 150);
        return 0;
    }
    const ImageLayer shapes = bench::shapesImage(512, 512, 7);
    core("shapes-512", shapes);
    core("shapes-512-in-corner-of-4096", bench::inCorner(shapes, 4096));
    core("noise-512", bench::noiseImage(512, 512));
    core("noise-4096", bench::noiseImage(4096, 4096));
    window("shapes-512", shapes);
    window("shapes-512-in-corner-of-4096", bench::inCorner(shapes, 4096));
    window("shapes-1024", bench::shapesImage(1024, 1024, 3), "Command7");
    window("shapes-2048", bench::shapesImage(2048, 2048, 3), "Command7");
    windowOnBoard("shapes-128", bench::shapesImage(128, 128, 7), true, 150);
    windowOnBoard("shapes-128", bench::shapesImage(128, 128, 7), false, 150);
    return 0;
}
