// A job in the window paused, stopped, cut off by a line fault or by a crash, and continued, against the
// simulated board: the board receives the uninterrupted job's moves once, with one lift and one plunge more
// where the tool was taken out of the material, and nothing before the operator has settled a move that went
// out without an answer.

#include "app/job_status.h"
#include "app/main_frame.h"
#include "job/time_left.h"
#include "mill/carving.h"
#include "board_harness.h"
#include "box_catcher.h"

#include <QApplication>
#include <QAction>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QProgressBar>
#include <QRegularExpression>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>

using namespace zelmar;
using testing::Board;
using testing::twoBlocks;
using testing::BoxCatcher;
using testing::WindowOnBoard;
using testing::waitFor;

namespace {

// Where a board that started at 0 stands after these commands.
QString positionAfter(const QStringList& commands) {
    return QStringLiteral("position ") + testing::countsAfter(commands);
}

// Answers the next question box with "Да" or "Нет", noting what the board had received when it came up.
struct QuestionAnswerer {
    bool yes = true;
    std::function<int()> sentSoFar;
    int sentWhenAsked = -1;
    QString text;
    QObject guard;

    void arm() {
        QTimer::singleShot(5, &guard, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box || box->objectName() != QStringLiteral("questionBox")) {
                arm();
                return;
            }
            text = box->text();
            sentWhenAsked = sentSoFar();
            for (QAbstractButton* b : box->buttons())
                if (b->text() == (yes ? QStringLiteral("Да") : QStringLiteral("Нет")))
                    b->click();
        });
    }
};

} // namespace

class ContinueTest : public QObject {
    Q_OBJECT
private:
    QTemporaryDir dir_;
    QStringList planned_; // what the board receives when "Все" runs uninterrupted

    // The window on a board, ready for a ticked "Все" of the two blocks at one step a pixel.
    void prepare(WindowOnBoard& w) {
        w.form->controller().boardLink().setPauseMs(5);
        w.type("Text2", "1");
        w.check1()->setChecked(true);
        w.click("Command1");
    }

    // Calls `act` once, right after the job's move number n (from 1) is done.
    static void afterMove(WindowOnBoard& w, int n, const std::function<void()>& act) {
        auto fired = std::make_shared<bool>(false);
        QObject::connect(&w.form->controller().runner(), &JobRunner::moveDone, w.form, [&w, n, act, fired] {
            MoveSource* job = w.form->controller().runner().job();
            if (!*fired && job && job->movesDone() == n) {
                *fired = true;
                act();
            }
        });
    }

private slots:
    void initTestCase() {
        QFile image(dir_.filePath("blocks.bmp"));
        QVERIFY(image.open(QIODevice::WriteOnly));
        image.write(testing::bmpBytes(24, 20, 12, twoBlocks));
        image.close();
        QProcess dry;
        dry.start(QStringLiteral(ZELMAR_BIN_DIR "/zelmar-cli"),
                  {image.fileName(), "parse", "mill-all", "--steps", "1", "--commands", "-"});
        QVERIFY(dry.waitForFinished(30000));
        planned_ = QString::fromUtf8(dry.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(planned_.size(), 26);
    }

    void pauseAndContinue_data() {
        QTest::addColumn<int>("pauseAfter");
        QTest::addColumn<bool>("inTheMaterial");
        QTest::newRow("after the approach") << 1 << false;
        QTest::newRow("after the plunge") << 2 << true;
        QTest::newRow("in mid-contour") << 7 << true;
        QTest::newRow("after the first block's lift") << 13 << false;
        QTest::newRow("in the second contour") << 20 << true;
    }
    void pauseAndContinue() {
        QFETCH(int, pauseAfter);
        QFETCH(bool, inTheMaterial);
        Board board;
        WindowOnBoard w(dir_, board.path(), 2, twoBlocks, 20, 12);
        prepare(w);
        afterMove(w, pauseAfter, [&w] { w.frame.jobStatus()->pauseButton()->click(); });
        w.click("Command6");
        QVERIFY(waitFor([&] { return w.form->controller().runner().phase() == JobRunner::Phase::Paused; }));
        // Paused: the button reads "Продолжить", the work stays locked, and the tool is out of the material.
        QCOMPARE(w.frame.jobStatus()->pauseButton()->text(), QStringLiteral("Продолжить"));
        QVERIFY(w.frame.jobStatus()->pauseButton()->isEnabled());
        QVERIFY(!w.button("Command6")->isEnabled());
        const QStringList done = planned_.mid(0, pauseAfter);
        QStringList expected = done;
        QString lift;
        if (inTheMaterial) {
            lift = QStringLiteral("0,0,25;"); // black: 25 depth units at one step each
            expected << lift;
        }
        QTest::qWait(50);
        QCOMPARE(board.received(), expected);
        // Paused, the manual move is locked too: it would shift the rest of the job.
        QVERIFY(!w.button("Command3")->isEnabled());
        w.type("tx", "1");
        w.type("ty", "0");
        w.type("tz", "0");
        QCOMPARE(w.form->controller().manualMove("1", "0", "0", "1"), JobController::MoveRefusal::Paused);
        QTest::qWait(50);
        QCOMPARE(board.received(), expected);

        w.frame.jobStatus()->pauseButton()->click(); // "Продолжить"
        QVERIFY(w.waitIdle());
        if (inTheMaterial)
            expected << QStringLiteral("0,0,-25;");
        expected << planned_.mid(pauseAfter);
        QCOMPARE(board.received(), expected);
        QCOMPARE(board.finish(), positionAfter(planned_));
        QCOMPARE(w.frame.jobStatus()->pauseButton()->text(), QStringLiteral("Пауза"));
        QVERIFY(!w.frame.jobStatus()->pauseButton()->isEnabled());
    }

    // Straight runs merged and a safe height: the board receives what zelmar-cli lists for the same settings,
    // the status bar knows the number of commands before the first one goes, and a pause still inserts one
    // lift and one plunge.
    void mergedRunsAndASafeHeightOnTheBoard() {
        QProcess dry;
        dry.start(QStringLiteral(ZELMAR_BIN_DIR "/zelmar-cli"), {dir_.filePath("blocks.bmp"), "parse", "mill-all", "--steps",
                                                                 "1", "--merge", "--safe-height", "3", "--commands", "-"});
        QVERIFY(dry.waitForFinished(30000));
        const QStringList planned = QString::fromUtf8(dry.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(planned.size(), 15); // the rise, then for each block approach, plunge, four runs, lift

        Board board;
        WindowOnBoard w(dir_, board.path(), 2, twoBlocks, 20, 12, {}, QStringLiteral("MergeSteps=1\r\nSafeHeight=3\r\n"));
        prepare(w);
        qint64 estimated = -1;
        int sentWhenEstimated = -1;
        QObject::connect(&w.form->controller(), &JobController::estimated, w.form, [&](qint64 commands, double) {
            estimated = commands;
            sentWhenEstimated = static_cast<int>(board.received().size());
        });
        afterMove(w, 6, [&w] { w.frame.jobStatus()->pauseButton()->click(); }); // in the first contour
        w.click("Command6");
        QVERIFY(waitFor([&] { return w.form->controller().runner().phase() == JobRunner::Phase::Paused; }));
        QCOMPARE(estimated, qint64{15});
        QCOMPARE(sentWhenEstimated, 0);
        w.frame.jobStatus()->pauseButton()->click();
        QVERIFY(w.waitIdle());
        // The estimate stays readable until the next job, whatever the progress wrote meanwhile.
        const QString estimate = w.frame.findChild<QLabel*>(QStringLiteral("jobEstimate"))->text();
        QVERIFY2(estimate.startsWith(QStringLiteral("15 команд, на плате ≈ ")), qPrintable(estimate));
        QStringList received = board.received();
        // After the fourth command (the first run of three steps: moves 4..6) the pause's lift to the surface,
        // then the plunge back.
        QCOMPARE(received.mid(4, 2), (QStringList{"0,0,25;", "0,0,-25;"}));
        received.remove(4, 2);
        QCOMPARE(received, planned);
        QCOMPARE(board.finish(), positionAfter(planned));
    }

    // A cutter named in cnc.ini: "Настройка" names it, the board receives the depths zelmar-cli plans for the
    // same tool, and what the job cut is the carving zelmar-cli writes for it.
    void aToolInTheSettingsCutsAsTheCommandLinePlansIt() {
        QProcess dry;
        dry.start(QStringLiteral(ZELMAR_BIN_DIR "/zelmar-cli"), {dir_.filePath("blocks.bmp"), "parse", "mill-all", "--steps",
                                                                 "1", "--tool", "v:0.5:20", "--mm-per-step", "0.1", "--commands", "-",
                                                                 "--result", dir_.filePath("blocks.pgm")});
        QVERIFY(dry.waitForFinished(30000));
        const QStringList planned = QString::fromUtf8(dry.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(planned.size(), planned_.size());
        QVERIFY(planned != planned_);

        Board board;
        WindowOnBoard w(dir_, board.path(), 2, twoBlocks, 20, 12, {},
                        QStringLiteral("ToolShape=V\r\nToolDiameter=0.5\r\nToolAngle=20\r\nMmPerStep=0.1\r\n"));
        QCOMPARE(w.label("ToolLabel"), QStringLiteral("Фреза: V 0.5 мм, 20°"));
        prepare(w);
        w.click("Command6");
        QVERIFY(w.waitIdle());
        QCOMPARE(board.received(), planned);
        const Carving* cut = w.form->controller().jobCarving();
        QVERIFY(cut && cut->deepest() > 0);
        QFile grid(dir_.filePath("blocks.pgm"));
        QVERIFY(grid.open(QIODevice::ReadOnly));
        const QByteArray values = grid.readAll().right(20 * 12 * 2);
        for (std::int32_t i = 0; i < cut->width() * cut->height(); ++i)
            QCOMPARE((std::uint8_t(values[qsizetype(i * 2)]) << 8) | std::uint8_t(values[qsizetype(i * 2 + 1)]),
                     int(std::lround(cut->depthAt(i % cut->width(), i / cut->width()))));
    }

    void stopKeepsTheJobUntilAnotherStarts() {
        Board board;
        WindowOnBoard w(dir_, board.path(), 2, twoBlocks, 20, 12);
        prepare(w);
        afterMove(w, 9, [&w] { w.frame.jobStatus()->stopButton()->click(); });
        w.click("Command6");
        QVERIFY(w.waitIdle());
        QCOMPARE(board.received(), planned_.mid(0, 9) << QStringLiteral("0,0,25;"));
        // Stopped: the window is free, and the job can be continued.
        QVERIFY(w.button("Command6")->isEnabled());
        QVERIFY(QFile::exists(w.form->controller().journalPath()));
        QCOMPARE(w.frame.jobStatus()->pauseButton()->text(), QStringLiteral("Продолжить"));
        QLabel* time = w.frame.findChild<QLabel*>(QStringLiteral("jobTime"));
        QVERIFY2(time->text().startsWith(QStringLiteral("остановлено, ")), qPrintable(time->text()));
        // Continued, the job runs again, and the status bar says so with the time it has left, from the moment
        // it goes on to its last move.
        static const QRegularExpression running(QStringLiteral("^прошло \\d+:\\d\\d:\\d\\d, осталось \\d+:\\d\\d:\\d\\d$"));
        QStringList shownWhileRunning;
        QObject::connect(&w.form->controller().runner(), &JobRunner::moveDone, time, [&] {
            if (w.form->controller().runner().phase() == JobRunner::Phase::Running)
                shownWhileRunning << time->text();
        });
        w.frame.jobStatus()->pauseButton()->click();
        QVERIFY2(running.match(time->text()).hasMatch(), qPrintable(time->text()));
        QVERIFY(w.waitIdle());
        QCOMPARE(shownWhileRunning.size(), planned_.size() - 9 + 1); // the plunge, then the rest
        for (const QString& shown : shownWhileRunning)
            QVERIFY2(running.match(shown).hasMatch(), qPrintable(shown));
        QVERIFY2(time->text().startsWith(QStringLiteral("готово, ")), qPrintable(time->text()));
        QCOMPARE(board.received(),
                 planned_.mid(0, 9) << QStringLiteral("0,0,25;") << QStringLiteral("0,0,-25;") << planned_.mid(9));
        QVERIFY(!QFile::exists(w.form->controller().journalPath())); // done: nothing left to continue

        // Stopped again, then another job: the kept one is forgotten, with its journal.
        w.click("Command1");
        afterMove(w, 4, [&w] { w.form->requestStop(); });
        w.click("Command6");
        QVERIFY(w.waitIdle());
        QVERIFY(QFile::exists(w.form->controller().journalPath()));
        w.check1()->setChecked(false);
        w.form->controller().setDryPauseMs(0);
        w.click("Command1"); // a parse drops it too
        QVERIFY(!QFile::exists(w.form->controller().journalPath()));
        QVERIFY(!w.frame.jobStatus()->pauseButton()->isEnabled());
        QCOMPARE(w.form->controller().runner().phase(), JobRunner::Phase::Idle);
    }

    // After a stop the tool may be set by hand; the job then goes on only once the operator says the machine
    // stands where the program believes, and a "Нет" sends nothing.
    void aManualMoveAfterAStopIsConfirmedBeforeContinuing() {
        Board board;
        WindowOnBoard w(dir_, board.path(), 2, twoBlocks, 20, 12);
        prepare(w);
        afterMove(w, 9, [&w] { w.frame.jobStatus()->stopButton()->click(); });
        w.click("Command6");
        QVERIFY(w.waitIdle());
        QStringList expected = planned_.mid(0, 9) << QStringLiteral("0,0,25;");
        w.type("tx", "1");
        w.type("ty", "0");
        w.type("tz", "0");
        QVERIFY(w.button("Command3")->isEnabled());
        w.click("Command3");
        QVERIFY(waitFor([&] { return !w.form->controller().runner().isRunning(); }));
        expected << QStringLiteral("-1,0,0;");
        QCOMPARE(board.received(), expected);
        for (const bool yes : {false, true}) {
            QuestionAnswerer answerer;
            answerer.yes = yes;
            answerer.sentSoFar = [&board] { return static_cast<int>(board.received().size()); };
            answerer.arm();
            w.frame.jobStatus()->pauseButton()->click(); // "Продолжить"
            QVERIFY(waitFor([&] { return answerer.sentWhenAsked >= 0; }));
            QVERIFY2(answerer.text.contains(QStringLiteral("перемещали вручную")), qPrintable(answerer.text));
            QCOMPARE(answerer.sentWhenAsked, static_cast<int>(expected.size()));
            if (!yes) {
                QTest::qWait(50);
                QCOMPARE(board.received(), expected);
                QCOMPARE(w.form->controller().runner().phase(), JobRunner::Phase::Kept);
            }
        }
        QVERIFY(w.waitIdle());
        expected << QStringLiteral("0,0,-25;") << planned_.mid(9);
        QCOMPARE(board.received(), expected);
    }

    // A dry run leaves its marks in the mill layer. They deepen nothing: the job on the machine then sends what the
    // picture gives, and asks nothing. Under the old rule (MarksAsDepth=1) they read as full depth: a job whose
    // commands they change (grey blocks, cut half deep) asks first ("Нет": nothing is sent), and once the layer is
    // cleared through the menu it sends what the fresh picture gives.
    void marksOfADryRunAreNoSurprise() {
        const auto greyBlocks = [](int x, int y) { return twoBlocks(x, y) == 0 ? 60 : 255; };
        QStringList planned;
        // "Все" goes out, with no question, as the picture gives it.
        const auto sendsThePicture = [&planned](WindowOnBoard& w, Board& board) {
            BoxCatcher none;
            none.arm();
            w.click("Command6");
            QVERIFY(w.waitIdle());
            QCOMPARE(none.seen, 0);
            QCOMPARE(board.received(), planned);
        };
        for (const bool oldRule : {false, true}) {
            Board board;
            WindowOnBoard w(dir_, board.path(), 2, greyBlocks, 20, 12, {}, oldRule ? "MarksAsDepth=1\r\n" : "");
            if (planned.isEmpty()) {
                QProcess dry;
                dry.start(QStringLiteral(ZELMAR_BIN_DIR "/zelmar-cli"),
                          {dir_.filePath("test.bmp"), "parse", "mill-all", "--steps", "1", "--commands", "-"});
                QVERIFY(dry.waitForFinished(30000));
                planned = QString::fromUtf8(dry.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
            }
            prepare(w);
            w.check1()->setChecked(false);
            w.form->controller().setDryPauseMs(0);
            w.click("Command6");
            QVERIFY(w.waitIdle());
            w.check1()->setChecked(true);
            w.click("Command1");
            if (!oldRule) {
                sendsThePicture(w, board);
                continue;
            }
            QuestionAnswerer answerer;
            answerer.yes = false;
            answerer.sentSoFar = [&board] { return static_cast<int>(board.received().size()); };
            answerer.arm();
            w.click("Command6");
            QVERIFY(waitFor([&] { return answerer.sentWhenAsked >= 0; }));
            QVERIFY2(answerer.text.contains(QStringLiteral("отметки прошлых проходов")), qPrintable(answerer.text));
            QVERIFY(w.waitIdle());
            QTest::qWait(50);
            QCOMPARE(board.received(), QStringList{});
            QVERIFY(w.button("Command6")->isEnabled());

            w.frame.restoreMillAction()->trigger();
            QCOMPARE(w.form->controller().session().layers.millLayer.bits(), w.form->controller().session().layers.sourceLayer.bits());
            w.click("Command1");
            sendsThePicture(w, board);
        }
    }

    // The time left follows the pace of the work measured while the job runs: it stands still while the job
    // stands (a pause, a question), and the job's estimate stands in until enough is measured.
    void timeLeftCountsOnlyTheRunningTime() {
        TimeLeft t;
        t.begin(100, 10.0, 0); // 100 commands, estimated 10 ms each
        QCOMPARE(t.msLeft(0), std::int64_t{1000});
        t.setDone(1);
        QCOMPARE(t.msLeft(100), std::int64_t{990}); // one command is no pace yet
        t.setDone(10);
        QCOMPARE(t.msLeft(3000), std::int64_t{27000}); // ten in three seconds: 300 ms each
        t.setRunning(false, 3000);
        QCOMPARE(t.msLeft(60000), std::int64_t{27000}); // paused a minute: the same
        QCOMPARE(t.msRun(60000), std::int64_t{3000});
        t.setRunning(true, 60000);
        t.setDone(20);
        QCOMPARE(t.msLeft(61000), std::int64_t{16000}); // twenty in four seconds of running: 200 ms each
        t.setTotal(50);                                  // a further pass: the pace stays
        t.setDone(0);
        QCOMPARE(t.msLeft(61000), std::int64_t{10000});
        TimeLeft unknown;
        unknown.begin(100, 0, 0);
        QCOMPARE(unknown.msLeft(0), std::int64_t{-1});
        // Taken up from its journal with 60 done: those took none of this run's time.
        TimeLeft takenUp;
        takenUp.begin(100, 0, 0, 60);
        takenUp.setDone(80);
        QCOMPARE(takenUp.msLeft(4000), std::int64_t{4000}); // twenty in four seconds, twenty left
    }

    // The board hangs up in mid-job; a new board is plugged in where the old one was. "Продолжить" opens the
    // line again, and asks about the move that went out without an answer before it sends anything.
    void aHangUpThenContinueWithEachAnswer_data() {
        QTest::addColumn<bool>("carriedOut");
        QTest::newRow("Да: counted done") << true;
        QTest::newRow("Нет: sent again") << false;
    }
    void aHangUpThenContinueWithEachAnswer() {
        QFETCH(bool, carriedOut);
        const QString port = dir_.filePath(QStringLiteral("port-%1").arg(carriedOut));
        Board first({"--hangup-after", "15"});
        QFile::remove(port);
        QVERIFY(QFile::link(first.path(), port));
        WindowOnBoard w(dir_, port, 2, twoBlocks, 20, 12);
        prepare(w);
        BoxCatcher box;
        box.arm();
        w.click("Command6");
        QVERIFY(w.waitIdle());
        QTRY_COMPARE(box.seen, 1);
        QVERIFY2(box.text.contains(QStringLiteral("Связь с платой потеряна")), qPrintable(box.text));
        QVERIFY(box.text.contains(QStringLiteral("Продолжить")));
        QCOMPARE(w.label("Label4"), QStringLiteral("Связь с платой потеряна"));
        QCOMPARE(first.received(), planned_.mid(0, 16)); // fifteen answered, the sixteenth met the hang-up
        const QString firstWords = first.finish();
        QCOMPARE(firstWords, positionAfter(planned_.mid(0, 15)));

        Board second;
        QFile::remove(port);
        QVERIFY(QFile::link(second.path(), port));
        QuestionAnswerer answerer;
        answerer.yes = carriedOut;
        answerer.sentSoFar = [&second] { return static_cast<int>(second.received().size()); };
        answerer.arm();
        w.frame.jobStatus()->pauseButton()->click(); // "Продолжить"
        QVERIFY(waitFor([&] { return answerer.sentWhenAsked >= 0; }));
        QCOMPARE(answerer.sentWhenAsked, 0); // nothing before the answer
        QVERIFY2(answerer.text.contains(QStringLiteral("перемещение 16 задания")) &&
                     answerer.text.contains(planned_[15]),
                 qPrintable(answerer.text));
        QVERIFY(w.waitIdle());
        QCOMPARE(w.label("Label4"), QStringLiteral("Com-порт открыт"));
        const QStringList rest = planned_.mid(carriedOut ? 16 : 15);
        QCOMPARE(second.received(), rest);
        // What each board did adds up: with "Да" the move the first board never made is missing, as it must be
        // when the operator's word was wrong; with "Нет" the two together are the job.
        QCOMPARE(second.finish(), positionAfter(rest));
        QCOMPARE(positionAfter(planned_.mid(0, 15) + rest),
                 positionAfter(carriedOut ? planned_.mid(0, 15) + planned_.mid(16) : planned_));
    }

    void continuingWithNoBoardToOpenSaysSoAndKeepsTheJob() {
        const QString port = dir_.filePath("port-gone");
        Board first({"--hangup-after", "4"});
        QFile::remove(port);
        QVERIFY(QFile::link(first.path(), port));
        WindowOnBoard w(dir_, port, 2, twoBlocks, 20, 12);
        prepare(w);
        BoxCatcher box;
        box.arm();
        w.click("Command6");
        QVERIFY(w.waitIdle());
        QTRY_COMPARE(box.seen, 1);
        first.finish();
        QFile::remove(port); // nothing there any more
        w.frame.jobStatus()->pauseButton()->click();
        QCOMPARE(w.label("Label4"), QStringLiteral("Ошибка открытия Com-порта"));
        QVERIFY(!w.check1()->isEnabled());
        QCOMPARE(w.form->controller().runner().phase(), JobRunner::Phase::Kept);
        QCOMPARE(w.frame.jobStatus()->pauseButton()->text(), QStringLiteral("Продолжить"));
    }

    // The program dies in mid-job (nothing is stopped or lifted); started again on the same picture, it offers
    // the journalled job, rebuilds the state without sending, asks about a move that was on its way (and only
    // then: the journal records a move as sent right before its bytes are written), and goes on.
    void afterACrashTheJobIsOfferedAndContinued_data() {
        QTest::addColumn<int>("crashAfterMs");
        QTest::newRow("between two moves") << -1;
        QTest::newRow("while a move is on its way") << 2; // how often to look
    }
    void afterACrashTheJobIsOfferedAndContinued() {
        QFETCH(int, crashAfterMs);
        QTemporaryDir journals;
        QStringList before;
        {
            Board board({"--delay-ms", "30"});
            WindowOnBoard w(dir_, board.path(), 2, twoBlocks, 20, 12, journals.path());
            prepare(w);
            // As good as a crash: no stop, no lift, nothing more read or written.
            // On its way: once the board has the next command, within the 30 ms it takes to answer; a fixed
            // wait could come before the command went out on a busy machine.
            QTimer watch;
            watch.setInterval(crashAfterMs);
            QObject::connect(&watch, &QTimer::timeout, w.form, [&w, &board, &watch] {
                if (board.received().size() >= 18) {
                    watch.stop();
                    w.form->controller().runner().abort();
                }
            });
            afterMove(w, 17, [&w, &watch, crashAfterMs] {
                if (crashAfterMs < 0)
                    w.form->controller().runner().abort();
                else
                    watch.start();
            });
            w.click("Command6");
            QVERIFY(w.waitIdle());
            QTest::qWait(100); // the move under way may still reach the board and be made
            before = board.received();
        } // the window and its line go away without a word, as at a crash
        // Between two moves nothing is open; a move on its way reached the board, which made it.
        QCOMPARE(before.size(), crashAfterMs < 0 ? 17 : 18);

        Board board;
        bool offered = false;
        QTimer::singleShot(0, [&] {
            QVERIFY(waitFor([] {
                auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
                return box && box->objectName() == QStringLiteral("questionBox");
            }));
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            offered = box->text().contains(QStringLiteral("незаконченное задание"));
            for (QAbstractButton* b : box->buttons())
                if (b->text() == QStringLiteral("Да"))
                    b->click();
        });
        QuestionAnswerer answerer;
        answerer.yes = before.size() == 18; // the move under way did reach the board
        answerer.sentSoFar = [&board] { return static_cast<int>(board.received().size()); };
        WindowOnBoard w(dir_, board.path(), 2, twoBlocks, 20, 12, journals.path());
        QVERIFY(waitFor([&] { return offered; }));
        answerer.arm();
        QVERIFY(waitFor([&] {
            return (crashAfterMs < 0 || answerer.sentWhenAsked >= 0) && !w.form->controller().runner().isRunning() &&
                   before.size() + board.received().size() >= planned_.size();
        }));
        QCOMPARE(answerer.sentWhenAsked, crashAfterMs < 0 ? -1 : 0);
        QCOMPARE(before + board.received(), planned_);
        QCOMPARE(board.finish(), positionAfter(planned_.mid(before.size())));
        QVERIFY(!QFile::exists(w.form->controller().journalPath()));
        // The state was rebuilt: the tree of the parse, both blocks milled.
        QCOMPARE(w.form->controller().session().regions->tree.nodes.size(), std::size_t{3});
        // The status bar counted the commands left when the job was taken up, and shows their estimate.
        const qsizetype left = planned_.size() - 17;
        const QString estimate = w.frame.findChild<QLabel*>(QStringLiteral("jobEstimate"))->text();
        QVERIFY2(estimate.startsWith(QStringLiteral("%1 команд, на плате ≈ 0:00:0").arg(left)), qPrintable(estimate));
        const QString bar = w.frame.findChild<QProgressBar*>(QStringLiteral("jobProgress"))->text();
        QVERIFY2(bar.endsWith(QStringLiteral(" · команд %1 из %1").arg(left)), qPrintable(bar));
    }
};

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    ContinueTest test;
    return QTest::qExec(&test, argc, argv);
}
#include "test_continue.moc"
