// A grbl controller driven through the simulated one (zelmar-board --grbl): the job streamed is the exported
// G-code, the receive buffer is never overrun, pause, stop and continue end where the uninterrupted job ends,
// and every fault (a refused line, an alarm, silence, a hang-up, a missing welcome) ends in a clear word with
// nothing sent after it. Our board's bytes stay what they were without the setting.

#include "texts/operator_texts.h"
#include "texts/line_texts.h"
#include "texts/setup_texts.h"
#include "config/startup_config.h"
#include "app/machine_panel.h"
#include "board_harness.h"
#include "box_catcher.h"
#include "grbl_harness.h"
#include "link/grbl_link.h"
#include "job/job_controller.h"
#include "run/job_runner.h"
#include "mill/motion_time.h"
#include "mill/move_source.h"
#include "mill/height_map.h"

#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <array>
#include <cmath>

using namespace zelmar;
using namespace testing;
using testing::twoBlocks;
using testing::waitFor;
using testing::WindowOnBoard;

namespace {

// A grbl link whose job line number `bad` (from 1) reads as grbl refuses it ("G5 X1": error:20).
class RefusedLineLink : public GrblLink {
public:
    RefusedLineLink(SerialLine& line, int bad) : GrblLink(line, Decimal{1, 2}, 300), bad_(bad) {}
    MoveText commandFor(const CommandMove& command, std::int32_t stepsPerPixel) const override {
        if (++made_ == bad_)
            return {"G5 X1", {}};
        return GrblLink::commandFor(command, stepsPerPixel);
    }

private:
    int bad_;
    mutable int made_ = 0;
};

// A job of level moves, each a pixel along X: a line each, nothing to parse.
std::unique_ptr<MoveList> straightMoves(int count) {
    PlannedMove move;
    move.x = 1;
    move.kind = MoveKind::Approach;
    return std::make_unique<MoveList>(std::vector<PlannedMove>(static_cast<std::size_t>(count), move));
}

// A grbl of the test's own on a bare pseudo-terminal, with a runner streaming to it: it answers "ok" to its
// first lines and "?" with `status`, nothing else; "$$" is answered "ok" (by the test itself when it holds
// it), and is none of those lines.
struct ScriptedGrbl {
    explicit ScriptedGrbl(int answered) : answers(answered) {
        runner.setLink(&link);
        runner.setMillingSwitch([] { return true; });
        runner.setCommandLog([this](const LoggedCommand&) { ++sent; });
        QObject::connect(&runner, &JobRunner::ended, &controller, [this] { ended = true; });
        QObject::connect(&controller, &QTimer::timeout, [this] {
            QByteArray out;
            for (char c : raw.receive()) {
                if (c == '?') {
                    out += status;
                } else if (c != '\n') {
                    received += c;
                } else if (received == "$$") {
                    settingsAsked = true;
                    if (!holdSettings)
                        out += "ok\r\n";
                } else if (++lines <= answers) {
                    out += "ok\r\n";
                }
                if (c == '\n')
                    received.clear();
            }
            if (!out.isEmpty())
                raw.send(out);
        });
    }
    // Opens the line, greets, and starts answering.
    bool connect() {
        if (!link.connectTo(raw.path, GrblLink::defaultBaud))
            return false;
        welcome();
        controller.start(10);
        return waitFor([this] { return link.isConnected(); }, 3000);
    }
    void welcome() const { raw.send("\r\nGrbl 1.1h ['$' for help]\r\n"); }

    testing::RawLine raw;
    SerialLine line;
    GrblLink link{line, Decimal{1, 2}, 300};
    JobRunner runner;
    int answers = 0;
    QByteArray status = "<Idle|MPos:0.000,0.000,0.000|FS:0,0>\r\n";
    int lines = 0; // lines the controller received
    QByteArray received; // of the line coming
    bool holdSettings = false;
    bool settingsAsked = false;
    int sent = 0;  // lines the runner sent
    bool ended = false;
    QTimer controller;
};

} // namespace

class GrblTest : public QObject {
    Q_OBJECT
private:
    QTemporaryDir dir_;
    QString blocks_;
    QString rings_;

    // What a dry run exports for these operations and options: the lines grbl must get.
    QStringList exported(const QString& image, const QStringList& more) {
        const Run dry = cli(QStringList{image, "parse", "mill-all", "--gcode", "-"} + more);
        [&] { QCOMPARE(dry.status, 0); }();
        return streamedLinesOf(dry.out);
    }

private slots:
    void initTestCase() {
        blocks_ = writePicture(dir_, "blocks.bmp", twoBlocks, 20, 12);
        rings_ = writePicture(dir_, "rings.bmp", rings, 30, 23);
    }

    void theSettings() {
        StartupConfig c = startupConfigFromText("[CNC]\r\nPort=COM1\r\n", "/p");
        QCOMPARE(c.controller, StartupConfig::Controller::Zelmar);
        QCOMPARE(c.baud, 115200);
        QVERIFY(c.note.empty());
        c = startupConfigFromText("[CNC]\r\nController= GRBL \r\nBaud=250000\r\n", "/p");
        QCOMPARE(c.controller, StartupConfig::Controller::Grbl);
        QCOMPARE(c.baud, 250000);
        // A speed or a name it does not know: the default, and the problem listed for the operator.
        c = startupConfigFromText("[CNC]\r\nController=zelmar\r\nBaud=fast\r\n", "/p");
        QCOMPARE(c.controller, StartupConfig::Controller::Zelmar);
        QCOMPARE(c.baud, 115200);
        QCOMPARE(c.problems.size(), std::size_t{1});
        QCOMPARE(c.problems[0].setting, Setting::Baud);
        c = startupConfigFromText("[CNC]\r\nController=marlin\r\n", "/p");
        QCOMPARE(c.controller, StartupConfig::Controller::Zelmar);
        QCOMPARE(c.problems.size(), std::size_t{1});
        QVERIFY(QString::fromStdString(settingProblemText(c.problems[0])).contains(QStringLiteral("marlin")));
    }

    void theCommandLineOptions_data() {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("unknown controller") << QStringList{"--controller", "marlin"};
        QTest::newRow("baud for our board") << QStringList{"--baud", "115200"};
        QTest::newRow("baud of no number") << QStringList{"--controller", "grbl", "--baud", "fast"};
        QTest::newRow("no journal on grbl") << QStringList{"--controller", "grbl", "--journal", "j"};
        QTest::newRow("a probed map saved nowhere") << QStringList{"--controller", "grbl", "--port", "p", "probe-map=3,2"};
        QTest::newRow("a map of one point a row")
            << QStringList{"--controller", "grbl", "--port", "p", "probe-map=1,2", "--height-map", "m"};
    }
    void theCommandLineOptions() {
        QFETCH(QStringList, args);
        const Run r = cli(QStringList{blocks_, "parse"} + args);
        QCOMPARE(r.status, 2);
        QVERIFY(r.out.isEmpty());
    }

    void theStreamedJobIsTheExportedFile_data() {
        QTest::addColumn<QString>("picture");
        QTest::addColumn<QStringList>("options");
        QTest::newRow("blocks") << "blocks" << QStringList{};
        QTest::newRow("rings, merged") << "rings" << QStringList{"--merge"};
        QTest::newRow("rings, safe height, fine steps")
            << "rings" << QStringList{"--safe-height", "3", "--mm-per-step", "0.0025", "--feed", "1200"};
        QTest::newRow("rings, one step a pixel, merged")
            << "rings" << QStringList{"--steps", "1", "--merge", "--mm-per-step", "0.004"};
        QTest::newRow("blocks, a V-bit") << "blocks" << QStringList{"--tool", "v:6:60"};
        QTest::newRow("rings, within a pixel") << "rings" << QStringList{"--merge-tolerance", "1", "--steps", "7"};
        QTest::newRow("blocks, the spindle") << "blocks" << QStringList{"--spindle", "24000", "--spindle-delay", "0.2"};
    }
    void theStreamedJobIsTheExportedFile() {
        QFETCH(QString, picture);
        QFETCH(QStringList, options);
        const QString image = picture == "blocks" ? blocks_ : rings_;
        const QStringList lines = exported(image, options);
        QVERIFY(lines.size() > 20);
        QCOMPARE(lines.first(), QStringLiteral("G21"));
        QCOMPARE(lines.last(), QStringLiteral("M2"));

        Board board(grblBoardArgs());
        const Run run = cli(QStringList{image, "parse", "mill-all", "--controller", "grbl", "--port", board.path(),
                                        "--commands", "-"} +
                            options);
        QCOMPARE(run.status, 0);
        // Each line once, whole, in order: what the program says it sent and what grbl answered.
        QCOMPARE(run.out.split('\n', Qt::SkipEmptyParts), lines);
        // The settings were asked for before the job, and nothing else.
        QCOMPARE(answeredLines(board), QStringList{"$$"} + lines);
        // Character counting never overran the receive buffer; the machine stands where the file takes it.
        QCOMPARE(board.finish(), positionAfter(lines) + QStringLiteral(" overrun 0"));
    }

    void withoutTheSettingOurBoardGetsTodaysBytes() {
        const Run dry = cli({blocks_, "parse", "mill-all", "--commands", "-"});
        QCOMPARE(dry.status, 0);
        const QStringList planned = dry.out.split('\n', Qt::SkipEmptyParts);
        QCOMPARE(planned.size(), 26);
        QVERIFY(planned.first().endsWith(';'));
        for (const QStringList& extra : {QStringList{}, QStringList{"--controller", "zelmar"}}) {
            Board board;
            const Run run =
                cli(QStringList{blocks_, "parse", "mill-all", "--port", board.path(), "--commands", "-"} + extra);
            QCOMPARE(run.status, 0);
            QCOMPARE(board.received(), planned);
        }
        // The window without Controller: our board's link, our board's bytes.
        QTemporaryDir dir;
        Board board;
        WindowOnBoard w(dir, board.path(), 2, twoBlocks, 20, 12);
        QVERIFY(w.form->controller().grblLink() == nullptr);
        QVERIFY(w.frame.machineStatus()->isHidden());
        w.form->controller().boardLink().setPauseMs(0);
        w.check1()->setChecked(true);
        w.click("Command1");
        w.click("Command6");
        QVERIFY(w.waitIdle());
        QCOMPARE(board.received(), planned);
    }

    // grbl answers a line as it takes it into its queue, long before the machine moves along it: the progress
    // follows the machine's reports, so that the oks run ahead of what the status bar counts done. The job's
    // time, told before it starts, is its motion's at the rates grbl lists, not at grbl's defaults.
    void progressFollowsTheMachineNotItsAnswers() {
        const QStringList lines = exported(blocks_, {});
        // Every move takes 30 ms whatever its rate; the rates listed are a fifth of the feed.
        Board board(grblBoardArgs({"--delay-ms", "30", "--max-rate", "60"}));
        QTemporaryDir dir;
        WindowOnBoard w(dir, board.path(), 2, twoBlocks, 20, 12, {}, "Controller=grbl\r\n");
        connectWindow(w);
        QVERIFY(waitFor([&] { return w.form->controller().grblLink()->ratesRead(); }, 3000));
        QCOMPARE(w.form->controller().grblLink()->rates().maxRate, (std::array<double, 3>{60, 60, 60}));
        double estimateMs = -1;
        connect(&w.form->controller(), &JobController::estimated, this, [&](qint64 commands, double ms) {
            if (commands >= 0)
                estimateMs = ms;
        });
        std::vector<CommandMove> sent;
        w.form->controller().setCommandLog([&](const LoggedCommand& c) {
            if (c.ofJob)
                sent.push_back(c.move);
        });
        qsizetype mostAhead = 0;
        QTimer sampler;
        QObject::connect(&sampler, &QTimer::timeout, [&] {
            const qsizetype answered = answeredLines(board).size() - 3; // after $$, G21 and G91
            mostAhead = std::max(mostAhead, answered - w.form->controller().progress().commandsDone);
        });
        sampler.start(20);
        w.click("Command6");
        QVERIFY(w.waitIdle(20000));
        sampler.stop();
        QVERIFY2(mostAhead >= 5, qPrintable(QString::number(mostAhead)));
        const JobProgress& done = w.form->controller().progress();
        QCOMPARE(done.commandsDone, lines.size() - 4); // the job's lines, without G21, G91, the last rise and M2
        QCOMPARE(done.movesDone, done.movesTotal);
        QCOMPARE(board.finish(), positionAfter(lines) + QStringLiteral(" overrun 0"));
        const GcodeSettings gcode = w.form->controller().gcodeSettingsAt(
            parseStepsPerPixel(w.box("Text2")->text().toStdString()).value, 0);
        MotionClock listed(gcode, w.form->controller().grblLink()->rates(), GrblLink::defaultBaud);
        MotionClock asGrblComes(gcode, MachineRates{}, GrblLink::defaultBaud);
        for (const CommandMove& c : sent) {
            listed.add(c);
            asGrblComes.add(c);
        }
        QVERIFY2(std::abs(estimateMs - listed.seconds() * 1000) < 1e-6 * estimateMs,
                 qPrintable(QStringLiteral("%1 ms, the motion %2 s").arg(estimateMs).arg(listed.seconds())));
        QVERIFY2(estimateMs > 3000 * asGrblComes.seconds(), qPrintable(QString::number(estimateMs)));
        const QString shown = w.frame.findChild<QLabel*>(QStringLiteral("jobEstimate"))->text();
        QVERIFY2(shown.contains(QStringLiteral(" ≈ ")), qPrintable(shown));
    }

    void connectingWaitsForTheWelcome() {
        // A board that was running says nothing at the open: one soft reset, then its welcome.
        Board board(grblBoardArgs({"--no-welcome"}));
        QTemporaryDir dir;
        WindowOnBoard w(dir, board.path(), 2, twoBlocks, 20, 12, {}, "Controller=grbl\r\n");
        QVERIFY(w.form->controller().grblLink() != nullptr);
        QCOMPARE(w.label("Label4"), QStringLiteral("Ожидание ответа grbl…"));
        QVERIFY(!w.check1()->isEnabled());
        QVERIFY(waitFor([&] { return w.label("Label4") == QStringLiteral("Com-порт открыт"); }, 5000));
        QVERIFY(w.check1()->isEnabled());
        QVERIFY(board.logLines().join('\n').contains(QStringLiteral("soft reset")));
        // Its state and where it stands, in the status bar, from its own reports.
        QVERIFY(waitFor([&] { return w.frame.machineStatus()->text().startsWith(QStringLiteral("grbl: Idle")); },
                        2000));
        QCOMPARE(w.frame.machineStatus()->text(), QStringLiteral("grbl: Idle X0.000 Y0.000 Z0.000"));
    }

    void noWelcomeAtAll() {
        // Our own board on the port: no welcome, not even after the reset.
        Board board;
        QTemporaryDir dir;
        WindowOnBoard w(dir, board.path(), 2, twoBlocks, 20, 12, {}, "Controller=grbl\r\n");
        QVERIFY(waitFor([&] { return w.label("Label4") == QStringLiteral("grbl не отвечает"); }, 8000));
        QVERIFY(!w.check1()->isEnabled());
        QVERIFY(w.form->findChild<QLabel*>("Label4")->toolTip().contains(QStringLiteral("Baud")));
        QVERIFY(board.received().isEmpty());
    }

    // A function of its own: each side waits out the welcome twice, four seconds.
    void noWelcomeAtAllOnTheCommandLine() {
        // The command-line tool gives up as clearly as the window, with nothing sent.
        Board another;
        const Run r = cli({blocks_, "parse", "mill-all", "--controller", "grbl", "--port", another.path()});
        QCOMPARE(r.status, 1);
        QVERIFY2(r.err.contains(QStringLiteral("не прислал приветствия")), qPrintable(r.err));
        QVERIFY(another.received().isEmpty());
    }

    // Each case runs a job against the simulated grbl: the stops in the cut are a function of their own, so that
    // neither comes near the time limit of a function.
    static void addPauseColumns() {
        QTest::addColumn<int>("pauseAtMs");
        QTest::addColumn<int>("stopAfterMs");
        QTest::addColumn<bool>("spindle");
        QTest::addColumn<int>("safeHeight");
    }
    void pauseContinueStopContinue_data() {
        addPauseColumns();
        QTest::newRow("early") << 60 << 60 << false << 0;
        QTest::newRow("mid-job") << 250 << 150 << false << 0;
        QTest::newRow("late") << 500 << 120 << false << 0;
        QTest::newRow("mid-job, the spindle") << 250 << 150 << true << 0;
    }
    void aStopInTheCutLiftsAndContinuesAbove_data() {
        addPauseColumns();
        QTest::newRow("in the cut, the spindle, a safe height") << 120 << 100 << true << 2;
        QTest::newRow("in the cut, a safe height") << 120 << 100 << false << 1;
        QTest::newRow("stopped while held in the cut") << 200 << -1 << true << 1; // no cycle start before the stop
    }
    void aStopInTheCutLiftsAndContinuesAbove() { pauseContinueStopContinue(); }
    void pauseContinueStopContinue() {
        QFETCH(int, pauseAtMs);
        QFETCH(int, stopAfterMs);
        QFETCH(bool, spindle);
        QFETCH(int, safeHeight);
        QStringList more{"--safe-height", QString::number(safeHeight)};
        if (spindle)
            more << "--spindle" << "9000" << "--spindle-delay" << "0.05";
        const QStringList lines = exported(blocks_, more);
        // Every block takes 25 ms: the job runs long enough to be held and stopped anywhere in it.
        Board board(grblBoardArgs({"--delay-ms", "25"}));
        QTemporaryDir dir;
        WindowOnBoard w(dir, board.path(), 2, twoBlocks, 20, 12, {},
                        QStringLiteral("Controller=grbl\r\nSafeHeight=%1\r\n").arg(safeHeight) +
                            (spindle ? "Spindle=9000\r\nSpindleDelay=0.05\r\n" : ""));
        // A depth unit is 150 steps of 0.01 mm: the stock's surface is where the job began, Z 0.
        const double safeMm = safeHeight * 1.5;
        connectWindow(w);
        w.click("Command6");
        QTest::qWait(pauseAtMs);
        w.form->requestPause();
        QCOMPARE(w.form->controller().runner().phase(), JobRunner::Phase::Paused);
        // Held: the machine stands still.
        QVERIFY(waitFor([&] { return w.frame.machineStatus()->text().startsWith(QStringLiteral("grbl: Hold")); },
                        2000));
        const QString held = w.frame.machineStatus()->text();
        QTest::qWait(300);
        QCOMPARE(w.frame.machineStatus()->text(), held);
        if (stopAfterMs >= 0) {
            w.form->requestContinue();
            QCOMPARE(w.form->controller().runner().phase(), JobRunner::Phase::Running);
            QTest::qWait(stopAfterMs);
        }
        w.form->requestStop();
        QVERIFY(waitFor([&] {
            return !w.form->controller().runner().isRunning() && w.form->controller().runner().phase() != JobRunner::Phase::Paused;
        }, 5000));
        const bool finishedFirst = w.form->controller().runner().phase() == JobRunner::Phase::Idle;
        if (!finishedFirst) {
            QCOMPARE(w.form->controller().runner().phase(), JobRunner::Phase::Kept);
            QVERIFY(board.logLines().join('\n').contains(QStringLiteral("soft reset")));
            // Stopped means out of the stock: the report that ended the stop has grbl standing at the surface plus
            // the safe height, or higher.
            const GrblStatus stood = *w.form->controller().grblLink()->status();
            QCOMPARE(QString::fromStdString(stood.state), QStringLiteral("Idle"));
            QVERIFY2(stood.z >= std::llround(safeMm * 1000), qPrintable(QString::number(stood.z)));
            // A tool stopped lower went straight up to exactly there, whatever depth it had.
            static const QRegularExpression lift(QStringLiteral("\"G21 G91 G0 Z[0-9.]+\" ok, to \\S+ \\S+ (\\S+)"));
            for (const QString& l : board.logLines())
                if (const QRegularExpressionMatch m = lift.match(l); m.hasMatch())
                    QCOMPARE(m.captured(1).toDouble(), safeMm);
            w.form->requestContinue();
            QVERIFY(w.waitIdle(20000));
            QCOMPARE(w.form->controller().runner().phase(), JobRunner::Phase::Idle);
        }
        // The stop dropped the queue without an alarm, and the machine ends where the uninterrupted job does.
        QVERIFY(!board.logLines().join('\n').contains(QStringLiteral("ALARM")));
        QCOMPARE(board.finish(), positionAfter(lines) + QStringLiteral(" overrun 0"));
        // What went again after the stop are the job's own lines (and the catch-up of a cut-off one), in order.
        const QStringList answered = answeredLines(board);
        qsizetype at = 0;
        for (const QString& line : answered)
            if (at < lines.size() && line == lines[at])
                ++at;
        QCOMPARE(at, lines.size());
        if (!spindle)
            return;
        // No move into the stock while the spindle stands: it starts (and comes up to speed) above the stock
        // before the first one, again after the reset of a stop, and stops only after the last; the one move
        // without it is the stop's lift straight up out of the stock.
        bool turning = false, started = false;
        int starts = 0, resets = 0;
        static const QRegularExpression entry(QStringLiteral("^\\S+ \"(.*)\" ok(.*)$"));
        static const QRegularExpression spindleAt(QStringLiteral("spindle on at \\S+ \\S+ (\\S+)"));
        for (const QString& l : board.logLines()) {
            if (l.contains(QStringLiteral("soft reset"))) {
                turning = started = false;
                ++resets;
                continue;
            }
            const QRegularExpressionMatch m = entry.match(l);
            const QString line = m.captured(1);
            if (line == QStringLiteral("M3 S9000")) {
                started = true;
                const QRegularExpressionMatch height = spindleAt.match(m.captured(2));
                QVERIFY2(height.hasMatch() && height.captured(1).toDouble() >= (resets > 0 ? safeMm : 0.0) - 0.0005,
                         qPrintable(l));
            } else if (line == QStringLiteral("G4 P0.05") && started) {
                turning = true, ++starts;
            } else if (line == QStringLiteral("M5")) {
                turning = false;
            } else if (line.startsWith(QLatin1String("G21 G91 G0 Z")) && !turning && resets > 0) {
                QVERIFY2(line.mid(12).toDouble() > 0, qPrintable(line));
            } else if (line.startsWith('G') && line != QStringLiteral("G21") && line != QStringLiteral("G91")) {
                QVERIFY2(turning, qPrintable(QStringLiteral("a move with the spindle standing: ") + line));
            }
        }
        QVERIFY(!turning);
        QCOMPARE(starts, finishedFirst ? 1 : 2);
        QCOMPARE(lines.mid(2, 2), (QStringList{"M3 S9000", "G4 P0.05"}));
        QCOMPARE(lines.mid(lines.size() - 2), (QStringList{"M5", "M2"}));
    }

    void aRefusedLineStopsTheJobAndNothingFollows() {
        Board board(grblBoardArgs({"--delay-ms", "20"}));
        SerialLine line;
        RefusedLineLink link(line, 12);
        JobRunner runner;
        runner.setLink(&link);
        runner.setMillingSwitch([] { return true; });
        QStringList sent;
        runner.setCommandLog([&](const LoggedCommand& c) { sent << QString::fromStdString(c.text); });
        QSignalSpy connected(&link, &GrblLink::connected);
        QVERIFY(link.connectTo(board.path(), GrblLink::defaultBaud));
        QVERIFY(waitFor([&] { return !connected.isEmpty(); }, 5000));
        qsizetype sentAtFault = -1;
        connect(&runner, &JobRunner::ended, this, [&] { sentAtFault = sent.size(); });
        // The tool starts 2 depth units (3 mm) into the stock, so that the refusal finds it there.
        runner.start(straightMoves(30), parseStepsPerPixel("150"), {0, 0, 2});
        QVERIFY(waitFor([&] { return sentAtFault >= 0; }, 10000));
        QCOMPARE(runner.phase(), JobRunner::Phase::Kept);
        const LinkFault& fault = runner.fault();
        QCOMPARE(fault.kind, LinkFault::Kind::Rejected);
        QCOMPARE(fault.code, 20);
        QCOMPARE(fault.command, std::string("G5 X1"));
        QCOMPARE(fault.lineNumber, 14); // after G21 and G91
        const QString text = QString::fromStdString(faultText(fault, true));
        QVERIFY(text.contains(QStringLiteral("строку 14 задания «G5 X1»: error:20 — команда G-кода не поддерживается")));
        // The hold and the reset drop what was queued; nothing more goes out but the lift out of the stock.
        QVERIFY(waitFor([&] { return board.logLines().join('\n').contains(QStringLiteral("soft reset")); }, 3000));
        QTest::qWait(400);
        QCOMPARE(sent.mid(sentAtFault), QStringList{QStringLiteral("G21 G91 G0 Z3")});
        QCOMPARE(answeredLines(board).last(), sent.last());
        QVERIFY(!board.logLines().join('\n').contains(QStringLiteral("ALARM")));
        QVERIFY2(board.finish().endsWith(QStringLiteral(" 3.000 overrun 0")), qPrintable(board.finish()));
    }

    void aLineLostOnTheWayIsNamed() {
        // It answers the first two lines and the status, never the third.
        ScriptedGrbl grbl(2);
        QVERIFY(grbl.connect());
        grbl.runner.start(straightMoves(3), parseStepsPerPixel("150"), {});
        QVERIFY(waitFor([&] { return grbl.ended; }, 8000));
        const LinkFault& fault = grbl.runner.fault();
        QCOMPARE(fault.kind, LinkFault::Kind::Timeout);
        QCOMPARE(fault.lineNumber, 3);
        QCOMPARE(fault.command, std::string("G0 X1.50"));
        QVERIFY(QString::fromStdString(faultText(fault, true)).contains(QStringLiteral("потерялась по пути")));
    }

    // The settings asked for after the welcome are a line of our own: its bytes count in grbl's buffer, its
    // listing gives the rates, and its "ok" unlocks no alarm that came meanwhile.
    void theSettingsAreReadAfterTheWelcome() {
        ScriptedGrbl grbl(0);
        grbl.holdSettings = true;
        QSignalSpy unlocked(&grbl.link, &StreamingLink::unlocked);
        QVERIFY(grbl.connect());
        QVERIFY(waitFor([&] { return grbl.settingsAsked; }, 2000));
        QVERIFY(grbl.link.canSend(124)); // and its line end: 128 bytes with "$$\n"
        QVERIFY(!grbl.link.canSend(125));
        grbl.status = "<Alarm|MPos:0.000,0.000,0.000|FS:0,0>\r\n";
        QVERIFY(waitFor([&] { return grbl.link.alarm() != 0; }, 2000));
        QVERIFY(!grbl.link.ratesRead());
        grbl.raw.send("$0=10\r\n$1=25\r\n$11=0.020\r\n$12=0.002\r\n$110=1200.000\r\n$111=800.000\r\n"
                      "$112=250.000\r\n$120=30.000\r\n$121=20.000\r\n$122=5.000\r\n$130=200.000\r\nok\r\n");
        QVERIFY(waitFor([&] { return grbl.link.ratesRead(); }, 2000));
        QCOMPARE(grbl.link.rates().maxRate, (std::array<double, 3>{1200, 800, 250}));
        QCOMPARE(grbl.link.rates().acceleration, (std::array<double, 3>{30, 20, 5}));
        QCOMPARE(grbl.link.rates().junctionDeviation, 0.02);
        QCOMPARE(grbl.link.alarm(), -1);
        QVERIFY(unlocked.isEmpty());
    }

    void aControllerThatRestartsInTheMiddleOfAJob() {
        // Restarted by its power or a button: a welcome nobody asked for, its queue and coordinates gone.
        ScriptedGrbl grbl(4);
        QVERIFY(grbl.connect());
        const std::uint64_t epoch = grbl.link.positionEpoch();
        grbl.runner.start(straightMoves(40), parseStepsPerPixel("150"), {});
        QVERIFY(waitFor([&] { return grbl.lines > 4; }, 5000));
        grbl.status = "<Run|MPos:1.000,0.000,0.000|FS:0,0>\r\n";
        grbl.welcome();
        QVERIFY(waitFor([&] { return grbl.ended; }, 5000));
        QCOMPARE(grbl.runner.fault().kind, LinkFault::Kind::Restarted);
        QCOMPARE(grbl.link.positionEpoch(), epoch + 1);
        QCOMPARE(grbl.runner.phase(), JobRunner::Phase::Kept);
        // Continuing is refused, nothing sent: where the machine stands means nothing now.
        const int before = grbl.sent;
        grbl.ended = false;
        grbl.runner.resume();
        QVERIFY(waitFor([&] { return grbl.ended; }, 5000));
        QCOMPARE(grbl.runner.fault().kind, LinkFault::Kind::Restarted);
        QTest::qWait(100);
        QCOMPARE(grbl.sent, before);
    }

    void anAlarmIsShownAndClearedOnlyByTheOperator_data() {
        QTest::addColumn<bool>("hardLimit");
        QTest::newRow("a hard limit: the position is lost") << true;
        QTest::newRow("a soft limit in the cut: the position is kept") << false;
    }
    void anAlarmIsShownAndClearedOnlyByTheOperator() {
        QFETCH(bool, hardLimit);
        // The rings' outer contour reaches Y 30 mm, further than anything before it: a soft limit at 29 mm trips
        // as grbl reads that line, with the machine some fifteen lines behind, in the same cut.
        const QStringList lines = exported(hardLimit ? blocks_ : rings_, {"--safe-height", "1"});
        Board board(hardLimit ? grblBoardArgs({"--delay-ms", "15", "--alarm-at", "8"}) : grblBoardArgs({"--delay-ms", "15"}));
        QTemporaryDir dir;
        WindowOnBoard w(dir, board.path(), 2, hardLimit ? twoBlocks : rings, hardLimit ? 20 : 30, hardLimit ? 12 : 23,
                        {}, "Controller=grbl\r\nSafeHeight=1\r\n");
        connectWindow(w);
        if (!hardLimit) {
            for (const char* setting : {"$20=1", "$131=29"})
                w.form->controller().grblLink()->send(setting);
            QVERIFY(waitFor([&] { return answeredLines(board).size() == 3; }, 5000)); // after $$
        }
        QuestionAnswerer no(QStringLiteral("Тревога grbl"), false);
        no.arm();
        w.click("Command6");
        QVERIFY(waitFor([&] { return no.seen == 1; }, 10000));
        QVERIFY2(no.text.contains(hardLimit ? QStringLiteral("ALARM:1 — сработал концевой выключатель")
                                            : QStringLiteral("ALARM:2 — цель перемещения за пределами хода")),
                 qPrintable(no.text));
        QVERIFY2(no.text.contains(QStringLiteral("продолжить задание нельзя")) == hardLimit, qPrintable(no.text));
        QVERIFY2(w.frame.machineStatus()->text().startsWith(QStringLiteral("grbl: Alarm")),
                 qPrintable(w.frame.machineStatus()->text()));
        QCOMPARE(w.form->controller().runner().phase(), JobRunner::Phase::Kept);
        QCOMPARE(w.form->controller().grblLink()->alarm(), hardLimit ? 1 : 2);
        const qsizetype answeredAtAlarm = answeredLines(board).size();
        // Continuing while it is locked: the alarm again (or, the position lost, the refusal), nothing sent.
        testing::BoxCatcher refused;
        if (hardLimit)
            refused.arm();
        else
            no.arm();
        w.form->requestContinue();
        QVERIFY(waitFor([&] { return (hardLimit ? refused.seen : no.seen - 1) == 1; }, 5000));
        if (hardLimit)
            QVERIFY2(refused.text.contains(QStringLiteral("После тревоги ALARM:1 grbl не знает точно, где стоит станок")),
                     qPrintable(refused.text));
        QCOMPARE(answeredLines(board).size(), answeredAtAlarm);
        QCOMPARE(w.form->controller().grblLink()->alarm(), hardLimit ? 1 : 2);
        // The operator unlocks it.
        QuestionAnswerer yes(QStringLiteral("Тревога grbl"), true);
        yes.arm();
        if (hardLimit) {
            // The refusal stands; the unlock is asked for as a box of its own when continuing is refused again.
            w.form->controller().grblLink()->clearAlarm();
        } else {
            w.form->requestContinue();
            QVERIFY(waitFor([&] { return yes.seen == 1; }, 5000));
        }
        QVERIFY(waitFor([&] { return w.form->controller().grblLink()->alarm() == 0; }, 5000));
        QLabel* time = w.frame.findChild<QLabel*>(QStringLiteral("jobTime"));
        QVERIFY2(time->text().startsWith(QStringLiteral("прервано, ")), qPrintable(time->text()));
        if (hardLimit) {
            // Unlocked, the machine still may not be where grbl thinks: nothing of the job moves it again.
            testing::BoxCatcher again;
            again.arm();
            w.form->requestContinue();
            QVERIFY(waitFor([&] { return again.seen == 1; }, 5000));
            QVERIFY2(again.text.contains(QStringLiteral("Выставьте ноль заново и начните задание заново")),
                     qPrintable(again.text));
            QTest::qWait(200);
            QCOMPARE(answeredLines(board).mid(answeredAtAlarm), QStringList{QStringLiteral("$X")});
            QCOMPARE(w.form->controller().runner().phase(), JobRunner::Phase::Kept);
            return;
        }
        // Kept: once unlocked the tool goes straight up to the safe height, cut below the surface as it was.
        QVERIFY(waitFor([&] {
            const std::optional<GrblStatus>& st = w.form->controller().grblLink()->status();
            return st && st->state == "Idle" && st->z == 1500;
        }, 5000));
        const QStringList afterUnlock = answeredLines(board).mid(answeredAtAlarm);
        QCOMPARE(afterUnlock.size(), 2);
        QVERIFY2(afterUnlock[1].startsWith(QLatin1String("G21 G91 G0 Z")) && afterUnlock[1].mid(12).toDouble() > 1.5,
                 qPrintable(afterUnlock.join(" | ")));
        // With the limit widened the job goes on, the plunge back first, and ends where it should.
        w.form->controller().grblLink()->send("$131=200");
        QVERIFY(waitFor([&] { return answeredLines(board).size() == answeredAtAlarm + 3; }, 5000));
        w.form->requestContinue();
        // Running again: the fault no longer stands in the status bar.
        QCOMPARE(w.form->controller().runner().phase(), JobRunner::Phase::Running);
        QVERIFY2(time->text().startsWith(QStringLiteral("прошло ")), qPrintable(time->text()));
        QVERIFY(w.waitIdle(20000));
        QVERIFY2(time->text().startsWith(QStringLiteral("готово, ")), qPrintable(time->text()));
        QCOMPARE(w.form->controller().runner().phase(), JobRunner::Phase::Idle);
        QCOMPARE(answeredLines(board).at(answeredAtAlarm + 5), QStringLiteral("G1 X0 Y0 Z-%1 F300").arg(afterUnlock[1].mid(12)));
        QCOMPARE(board.finish(), positionAfter(lines) + QStringLiteral(" overrun 0"));
    }

    void silenceAndHangUp_data() {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("says");
        QTest::newRow("silent") << "--silent-after" << "grbl не отвечает — ни на строки, ни на запрос состояния";
        QTest::newRow("hang-up") << "--hangup-after" << "Связь с контроллером grbl потеряна";
    }
    void silenceAndHangUp() {
        QFETCH(QString, fault);
        QFETCH(QString, says);
        Board board(grblBoardArgs({"--delay-ms", "10", fault, "9"}));
        QTemporaryDir dir;
        WindowOnBoard w(dir, board.path(), 1, twoBlocks, 20, 12, {}, "Controller=grbl\r\n");
        connectWindow(w);
        testing::BoxCatcher box;
        box.arm();
        w.click("Command6");
        QVERIFY(waitFor([&] { return box.seen == 1; }, 10000));
        QVERIFY2(box.text.contains(says), qPrintable(box.text));
        QVERIFY(box.text.contains(QStringLiteral("Продолжить")));
        if (fault == QStringLiteral("--hangup-after")) // the last report's state is over
            QCOMPARE(w.frame.machineStatus()->text(), QStringLiteral("grbl: нет связи"));
        QCOMPARE(w.form->controller().runner().phase(), JobRunner::Phase::Kept);
        const QStringList sent = board.received();
        QTest::qWait(300);
        QCOMPARE(board.received(), sent);
    }

    void aJobContinuedOnARestartedControllerIsRefused() {
        // The controller hangs up; the one that answers next has its position from power-up, not the job's.
        QTemporaryDir dir;
        const QString link = dir.filePath("port");
        auto first = std::make_unique<Board>(grblBoardArgs({"--delay-ms", "15", "--hangup-after", "12", "--link", link}));
        WindowOnBoard w(dir, link, 2, twoBlocks, 20, 12, {}, "Controller=grbl\r\n");
        connectWindow(w);
        testing::BoxCatcher lost;
        lost.arm();
        w.click("Command6");
        QVERIFY(waitFor([&] { return lost.seen == 1; }, 10000));
        QVERIFY(waitFor([&] { return w.label("Label4") == QStringLiteral("Связь с grbl потеряна"); }, 3000));
        first.reset();
        Board second(grblBoardArgs({"--link", link}));
        testing::BoxCatcher refused;
        refused.arm();
        w.form->requestContinue();
        QVERIFY(waitFor([&] { return refused.seen == 1; }, 10000));
        QVERIFY2(refused.text.contains(QStringLiteral("grbl перезапустился")), qPrintable(refused.text));
        QCOMPARE(w.label("Label4"), QStringLiteral("Com-порт открыт"));
        QCOMPARE(w.form->controller().runner().phase(), JobRunner::Phase::Kept);
        // Its settings are asked for once it has said hello, maybe after the refusal: they, and nothing of the job.
        QVERIFY(waitFor([&] { return !answeredLines(second).isEmpty(); }, 3000));
        QTest::qWait(200);
        QCOMPARE(answeredLines(second), QStringList{"$$"});
    }

    void theManualMoveIsAJog() {
        Board board(grblBoardArgs({"--travel", "10"}));
        QTemporaryDir dir;
        WindowOnBoard w(dir, board.path(), 2, twoBlocks, 20, 12, {}, "Controller=grbl\r\n");
        QVERIFY(waitFor([&] { return w.label("Label4") == QStringLiteral("Com-порт открыт"); }, 10000));
        w.check1()->setChecked(true);
        w.type("tx", "2");
        w.type("ty", "1");
        w.type("tz", "0");
        w.click("Command3");
        QVERIFY(waitFor([&] { return !w.form->controller().runner().isRunning(); }, 5000));
        QCOMPARE(answeredLines(board),
                 (QStringList{"$$", "$J=G91 G21 X3.00 Y-1.50 Z0.00 F300"})); // X+ right, Y+ up
        // Beyond the machine's travel: grbl refuses the jog, and the operator reads why.
        testing::BoxCatcher box;
        box.arm();
        w.type("tx", "10");
        w.click("Command3");
        QVERIFY(waitFor([&] { return box.seen == 1; }, 5000));
        QVERIFY2(box.text.contains(QStringLiteral("error:15 — толчковое перемещение выходит за пределы хода")),
                 qPrintable(box.text));
        QCOMPARE(board.finish(), QStringLiteral("position 3.000 -1.500 0.000 overrun 0"));
    }

    void aLineTheControllerRefusesInTheWindow() {
        // Steps this coarse make numbers grbl cannot read (ten digits before the point in a run of ten pixels): the
        // first such line is refused, and the box names it, its number in the job and what grbl's code means.
        const QStringList lines = exported(blocks_, {"--mm-per-step", "10", "--steps", "10000000", "--merge"});
        Board board(grblBoardArgs());
        QTemporaryDir dir;
        WindowOnBoard w(dir, board.path(), 2, twoBlocks, 20, 12, {}, "Controller=grbl\r\nMmPerStep=10\r\nMergeSteps=1\r\n");
        w.box("Text2")->setText("10000000");
        connectWindow(w);
        testing::BoxCatcher box;
        box.arm();
        w.click("Command6");
        QVERIFY(waitFor([&] { return box.seen == 1; }, 10000));
        static const QRegularExpression named(
            QStringLiteral("grbl отверг строку (\\d+) задания «(.*)»: error:(\\d+) — (.+)\\."));
        const auto m = named.match(box.text);
        QVERIFY2(m.hasMatch(), qPrintable(box.text));
        const qsizetype number = m.captured(1).toLongLong();
        QVERIFY(number >= 3 && number <= lines.size());
        QCOMPARE(m.captured(2), lines[number - 1]);
        QCOMPARE(m.captured(4), QString::fromStdString(grblErrorMeaning(m.captured(3).toInt())));
        QVERIFY(!m.captured(4).contains(QStringLiteral("неизвестный")));
        // Lines already in grbl's buffer behind the refused one may have been taken; once the reset has dropped
        // them, nothing more is answered, as nothing more was sent.
        QVERIFY(waitFor([&] { return board.logLines().join('\n').contains(QStringLiteral("soft reset")); }, 3000));
        QTest::qWait(300);
        const QStringList log = board.logLines();
        qsizetype reset = -1;
        for (qsizetype i = 0; i < log.size(); ++i)
            if (log[i].contains(QStringLiteral("soft reset")))
                reset = i;
        for (qsizetype i = reset + 1; i < log.size(); ++i)
            QVERIFY2(!log[i].contains(QStringLiteral("\" ok")), qPrintable(log[i]));
        QCOMPARE(w.form->controller().runner().phase(), JobRunner::Phase::Kept);
    }

    void continuingAfterTheMachineWasMovedAway() {
        // Stopped, then moved by hand: continuing is refused while the machine stands off the job's path, and
        // goes on once it is back.
        const QStringList lines = exported(blocks_, {});
        Board board(grblBoardArgs({"--delay-ms", "25"}));
        QTemporaryDir dir;
        WindowOnBoard w(dir, board.path(), 2, twoBlocks, 20, 12, {}, "Controller=grbl\r\n");
        connectWindow(w);
        w.click("Command6");
        QTest::qWait(200);
        w.form->requestStop();
        QVERIFY(waitFor([&] { return w.form->controller().runner().phase() == JobRunner::Phase::Kept; }, 5000));
        w.type("tx", "0");
        w.type("ty", "0");
        w.type("tz", "5");
        w.click("Command3");
        QVERIFY(waitFor([&] { return !w.form->controller().runner().isAside(); }, 5000));
        testing::BoxCatcher box;
        box.arm();
        w.form->requestContinue();
        QVERIFY(waitFor([&] { return box.seen == 1; }, 5000));
        QVERIFY2(box.text.contains(QStringLiteral("Станок стоит не там, куда его привело задание")),
                 qPrintable(box.text));
        // It quotes where grbl stands now, and what brings it back: not "Ручная уст-ка", which cannot go down.
        const QRegularExpressionMatch now = QRegularExpression(QStringLiteral("X(\\S+) Y(\\S+) Z(\\S+)$"))
                                                .match(w.frame.machineStatus()->text());
        QVERIFY(now.hasMatch());
        QVERIFY2(box.text.contains(QStringLiteral("grbl сообщает X %1 Y %2 Z %3 мм")
                                       .arg(now.captured(1), now.captured(2), now.captured(3))),
                 qPrintable(box.text + " / " + w.frame.machineStatus()->text()));
        QVERIFY2(box.text.contains(QStringLiteral("сдвинуть на X 0.000 Y 0.000 Z -7.500 мм")) &&
                     box.text.contains(QStringLiteral("«Ручная уст-ка» так не может")),
                 qPrintable(box.text));
        QCOMPARE(w.form->controller().runner().phase(), JobRunner::Phase::Kept);
        // Back down by the same amount: the job goes on and ends where it would have.
        const qsizetype before = answeredLines(board).size();
        QCOMPARE(answeredLines(board).last(), QStringLiteral("$J=G91 G21 X0.00 Y0.00 Z7.50 F300"));
        // The boxes take no negative increments: the jog back down is the test's own.
        w.form->controller().grblLink()->send("$J=G91 G21 X0 Y0 Z-7.50 F300");
        QVERIFY(waitFor([&] { return answeredLines(board).size() == before + 1; }, 5000));
        w.form->requestContinue();
        QVERIFY(w.waitIdle(20000));
        QCOMPARE(w.form->controller().runner().phase(), JobRunner::Phase::Idle);
        QCOMPARE(board.finish(), positionAfter(lines) + QStringLiteral(" overrun 0"));
    }
};

QTEST_MAIN(GrblTest)
#include "test_grbl.moc"
