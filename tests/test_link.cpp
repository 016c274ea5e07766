// The line to the board end to end: the program's serial port and motion commands against the simulated
// board on a real pseudo-terminal, the faults a real line has, and the work window's manual move.

#include "app/main_frame.h"
#include "app/work_window.h"
#include "bmp_bytes.h"
#include "board_harness.h"
#include "box_catcher.h"
#include "texts/operator_texts.h"
#include "link/board_link.h"
#include "run/manual_move.h"
#include "link/ok_exchange.h"
#include "link/serial_line.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMdiSubWindow>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QTreeView>

#include "app/job_status.h"

#include <functional>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

using namespace zelmar;

namespace {

// A deadline's clock and a test's own clock may round a millisecond apart each: a lower bound on a wait allows
// for that, never for a wait cut short.
constexpr qint64 clockSkewMs = 2;

// The worked example: a black block at columns 5..7, rows 4..5 of a white 10 x 10 image (0-based below).
int block(int x, int y) {
    return x >= 4 && x <= 6 && y >= 3 && y <= 4 ? 0 : 255;
}

// Black bars across a white 60 x 40 image: a job of some hundreds of moves.
int bars(int x, int y) {
    return (y % 8 >= 2 && y % 8 <= 5 && x >= 2 && x <= 57) ? 0 : 255;
}

using testing::BoxCatcher;
using testing::Board;
using testing::RawLine;
using testing::WindowOnBoard;

// Our board's protocol on a line of its own: one move at a time, run in the test's event loop until the board
// acknowledges it or the link gives up.
struct Link {
    SerialLine line;
    BoardLink board{line};
    bool opened = false;
    explicit Link(const QString& path, qint64 timeoutMs = 3000) {
        opened = line.open(path, 9600);
        board.setTimeoutMs(timeoutMs);
    }

    struct Result {
        enum { Done, Failed, Refused } outcome = Done;
        LinkFault fault;
        std::string message; // as the operator reads it
    };
    Result move(int x, int y, int z, const char* steps = "150") {
        Result r;
        const Checked scale = parseStepsPerPixel(steps);
        const MoveText text = scale.ok() ? board.commandFor(CommandMove{x, y, z, MoveKind::Step, 1}, scale.value) : MoveText{};
        if (!scale.ok() || !text.ok()) {
            r.outcome = Result::Refused;
            r.message = refusalText(scale.ok() ? text.refusal : scale.refusal);
            return r;
        }
        bool ended = false;
        const QMetaObject::Connection done = QObject::connect(&board, &MachineLink::moveDone, [&] { ended = true; });
        const QMetaObject::Connection failed =
            QObject::connect(&board, &MachineLink::failed, [&](const LinkFault& fault) {
                r.outcome = Result::Failed;
                r.fault = fault;
                r.message = faultText(fault, false);
                ended = true;
            });
        board.send(text.text);
        testing::waitFor([&ended] { return ended; });
        QObject::disconnect(done);
        QObject::disconnect(failed);
        if (!ended)
            qFatal("a move neither ended nor failed within a minute");
        return r;
    }
};

} // namespace

class LinkTest : public QObject {
    Q_OBJECT
private:
    QTemporaryDir dir_;

private slots:
    void openingPorts() {
        SerialLine line;
        QVERIFY(!line.open(dir_.filePath("no-such-port"), 9600));
        QCOMPARE(int(line.openFailure()), int(SerialLine::OpenFailure::CannotOpen));
        QVERIFY(!line.open(QStringLiteral("/dev/null"), 9600));
        QVERIFY(line.readAll().isEmpty());
        QVERIFY(!line.write("0,0,0;")); // nothing queued on a closed line

        Board board;
        QVERIFY(line.open(board.path(), 9600));
        QCOMPARE(int(line.openFailure()), int(SerialLine::OpenFailure::None));
        QVERIFY(line.write(""));
        // The same device twice: the second open is refused.
        SerialLine second;
        QVERIFY(!second.open(board.path(), 9600));
        line.close();
        QVERIFY(!line.isOpen());
        QVERIFY(line.readAll().isEmpty());
    }

    void bytesComeAsTheyArrive() {
        RawLine raw;
        SerialLine line;
        QVERIFY(line.open(raw.path, 9600));
        raw.send(QByteArray("\0\xffZ", 3));
        QByteArray got;
        QTRY_COMPARE((got += line.readAll()).size(), 3);
        QCOMPARE(got, QByteArray("\0\xffZ", 3)); // a zero byte is a byte, not "nothing"
    }

    void commandsOfTheExamplesReachTheBoard() {
        Board board;
        Link link(board.path());
        QVERIFY(link.opened);
        QCOMPARE(int(link.move(1, 0, 0).outcome), int(Link::Result::Done));
        QCOMPARE(int(link.move(-2, 3, -5).outcome), int(Link::Result::Done));
        QCOMPARE(int(link.move(7, 8, 9, "1").outcome), int(Link::Result::Done));
        QCOMPARE(board.received(), (QStringList{"-150,0,0;", "300,450,-750;", "-7,8,9;"}));
        QCOMPARE(board.finish(), QStringLiteral("position 143 458 -741"));
    }

    void everyMoveWaitsOutTheProtocolsPause() {
        // The board answers at once; the next command still goes only after the 100 ms pause.
        Board board;
        Link link(board.path());
        QElapsedTimer t;
        t.start();
        for (int i = 0; i < 3; ++i)
            QCOMPARE(int(link.move(1, 0, 0).outcome), int(Link::Result::Done));
        QVERIFY2(t.elapsed() >= 300 - clockSkewMs, qPrintable(QString::number(t.elapsed())));
    }

    void refusalsSendNothing() {
        Board board;
        Link link(board.path());
        // A bad scale or a count past 32 bits: refused before anything goes out.
        for (const char* steps : {"", "0", "abc", "-3"})
            QCOMPARE(int(link.move(1, 0, 0, steps).outcome), int(Link::Result::Refused));
        QCOMPARE(int(link.move(99999, 0, 0, "99999").outcome), int(Link::Result::Refused));
        QCOMPARE(board.received(), QStringList{});
        QCOMPARE(board.finish(), QStringLiteral("position 0 0 0"));
    }

    void acknowledgementInPiecesOrWithNoise() {
        for (const QStringList& mode :
             {QStringList{"--split", "--split-pause-ms", "30"}, QStringList{"--noise"}}) {
            Board board(mode);
            Link link(board.path());
            for (int i = 0; i < 3; ++i)
                QCOMPARE(int(link.move(1, 1, 0).outcome), int(Link::Result::Done));
            QCOMPARE(board.finish(), QStringLiteral("position -450 450 0"));
        }
    }

    void lowercaseOkIsNoAnswer() {
        Board board({"--lowercase"});
        Link link(board.path(), 500);
        QElapsedTimer t;
        t.start();
        const Link::Result r = link.move(1, 0, 0);
        QCOMPARE(int(r.outcome), int(Link::Result::Failed));
        QVERIFY2(t.elapsed() >= 500 - clockSkewMs, qPrintable(QString::number(t.elapsed())));
        QVERIFY(QString::fromStdString(r.message).contains(QStringLiteral("не ответила «OK»")));
        QVERIFY(r.fault.commandWentOut);
        QVERIFY(link.board.positionUncertain());
    }

    void strayOkEndsTheNextWaitUnlessDiscarded() {
        RawLine line;
        Link link(line.path, 800);
        // An "OK" that nobody waited for ends the next wait as soon as the pause is over, before its own answer.
        line.send("OK");
        QTest::qWait(50);
        QElapsedTimer t;
        t.start();
        QCOMPARE(int(link.move(1, 0, 0).outcome), int(Link::Result::Done));
        QVERIFY(t.elapsed() < 400);
        QCOMPARE(line.receive(), QByteArray("-150,0,0;"));

        // After a time-out the late answer is thrown away before the next job: that job waits for its own.
        QCOMPARE(int(link.move(0, 1, 0).outcome), int(Link::Result::Failed));
        line.send("OK"); // late
        QTest::qWait(50);
        link.board.prepareForJob();
        QTimer::singleShot(300, [&line] { line.send("OK"); });
        t.restart();
        QCOMPARE(int(link.move(0, 0, 1).outcome), int(Link::Result::Done));
        QVERIFY(t.elapsed() >= 290);
        QCOMPARE(line.receive(), QByteArray("0,150,0;0,0,150;"));
    }

    void aBoardThatSendsAndSendsButNeverOkIsGivenUpOn() {
        RawLine line;
        Link link(line.path, 300);
        QTimer babble;
        QObject::connect(&babble, &QTimer::timeout, [&line] { line.send("O?"); });
        babble.start(50); // always something within the time-out, never "OK"
        QElapsedTimer t;
        t.start();
        const Link::Result r = link.move(1, 0, 0);
        QCOMPARE(int(r.outcome), int(Link::Result::Failed));
        QVERIFY2(t.elapsed() >= 4 * 300 - clockSkewMs && t.elapsed() < 4 * 300 + 1500, qPrintable(QString::number(t.elapsed())));
        QVERIFY2(QString::fromStdString(r.message).contains(QStringLiteral("не «OK»")), r.message.c_str());
        QVERIFY(link.board.positionUncertain());
    }

    void silentBoardStopsTheJob() {
        Board board({"--silent-after", "1"});
        Link link(board.path(), 400);
        QCOMPARE(int(link.move(1, 0, 0).outcome), int(Link::Result::Done));
        QElapsedTimer t;
        t.start();
        QCOMPARE(int(link.move(1, 0, 0).outcome), int(Link::Result::Failed));
        QVERIFY2(t.elapsed() >= 400 - clockSkewMs && t.elapsed() < 3000, qPrintable(QString::number(t.elapsed())));
        QCOMPARE(board.finish(), QStringLiteral("position -150 0 0")); // the unanswered move was not made
    }

    void hangUpStopsTheJobAndNothingFollows() {
        Board board({"--hangup-after", "2"});
        Link link(board.path(), 5000);
        QCOMPARE(int(link.move(1, 0, 0).outcome), int(Link::Result::Done));
        QCOMPARE(int(link.move(0, 1, 0).outcome), int(Link::Result::Done));
        QElapsedTimer t;
        t.start();
        const Link::Result lost = link.move(0, 0, 1);
        QCOMPARE(int(lost.outcome), int(Link::Result::Failed));
        QVERIFY2(t.elapsed() < 3000, "a hang-up is noticed, not waited out");
        QVERIFY(QString::fromStdString(lost.message).contains(QStringLiteral("Связь с платой потеряна")));
        QVERIFY(lost.fault.commandWentOut);
        QVERIFY(!link.line.isOpen());
        QVERIFY(link.line.loss() != SerialLine::Loss::None);
        QCOMPARE(board.finish(), QStringLiteral("position -150 150 0"));
        // Later moves fail at once, send nothing, and say the command never left.
        t.restart();
        const Link::Result after = link.move(1, 1, 1);
        QCOMPARE(int(after.outcome), int(Link::Result::Failed));
        QVERIFY(!after.fault.commandWentOut);
        QVERIFY(t.elapsed() < 200);
        QCOMPARE(board.received().size(), 3);
    }

    void aCommandStuckInThePortFailsAndLeavesThePositionUncertain() {
        // Nobody reads the far end of the line: once the system's buffer is full, a command cannot get out.
        RawLine raw;
        Link link(raw.path, 1000);
        QVERIFY(link.opened);
        const QByteArray filler(1 << 20, 'x');
        QVERIFY(link.line.write(std::string_view(filler.constData(), std::size_t(filler.size()))));
        QVERIFY(testing::waitFor([&] { return link.line.bytesToWrite() < filler.size(); }, 5000));
        QTest::qWait(100);
        QVERIFY2(link.line.bytesToWrite() > 0, "the line took a megabyte: no way to make a command stick");
        QElapsedTimer t;
        t.start();
        const Link::Result r = link.move(1, 0, 0);
        QCOMPARE(int(r.outcome), int(Link::Result::Failed));
        QCOMPARE(int(r.fault.kind), int(LinkFault::Kind::ShortWrite));
        QVERIFY2(t.elapsed() >= 10 * 9 + 1000 - clockSkewMs, qPrintable(QString::number(t.elapsed()))); // its deadline, not earlier
        QVERIFY(r.fault.commandWentOut && r.fault.positionUncertain);
        QVERIFY(link.board.positionUncertain());
        QVERIFY2(r.message.find("не ушла в порт целиком") != std::string::npos, r.message.c_str());
        QCOMPARE(link.line.bytesToWrite(), qint64{0}); // the remainder is gone, not glued to the next command
    }

    void aWriteThatNeverLeavesLeavesThePositionUncertain() {
        // A port that takes no bytes (RTS/CTS held off on a real line): the command is stuck in the output
        // queue. Its write deadline fails the move, the remainder is thrown away, the position is uncertain.
        OkExchange exchange;
        exchange.setTimeoutMs(1000);
        exchange.begin(9, 0);
        QCOMPARE(int(exchange.poll(1089)), int(OkExchange::State::Writing));
        QCOMPARE(exchange.nextDeadline(), std::int64_t{1090});
        QCOMPARE(int(exchange.poll(1090)), int(OkExchange::State::Failed));
        QCOMPARE(int(exchange.fault()), int(OkExchange::Fault::ShortWrite));
        const LinkFault fault{.kind = LinkFault::Kind::ShortWrite, .command = "-150,0,0;", .positionUncertain = true,
                              .commandWentOut = true};
        const QString text = QString::fromStdString(faultText(fault, false));
        QVERIFY(text.contains(QStringLiteral("не ушла в порт целиком")));
        QVERIFY(text.contains(QStringLiteral("Положение станка теперь известно неточно")));
    }

    void theExchangeWaitsForThePauseAndForTheOk() {
        OkExchange e;
        e.setPauseMs(100);
        e.setTimeoutMs(1000);
        e.begin(9, 0);
        e.bytesOut(3);
        e.received("OK", 10);
        QCOMPARE(int(e.poll(102)), int(OkExchange::State::Pausing)); // an early OK still waits out the pause
        QCOMPARE(e.nextDeadline(), std::int64_t{103});
        QCOMPARE(int(e.poll(103)), int(OkExchange::State::Done));

        e.begin(9, 200);
        e.bytesOut(200);
        e.received("O", 250);
        QCOMPARE(int(e.poll(1250)), int(OkExchange::State::Waiting)); // a time-out after the last byte, not before
        QCOMPARE(int(e.poll(1251)), int(OkExchange::State::Failed));
        QCOMPARE(int(e.fault()), int(OkExchange::Fault::Timeout));
    }

    void windowMovesTheBoardByHand() {
        Board board;
        WindowOnBoard w(dir_, board.path());
        QCOMPARE(w.label("Label4"), QStringLiteral("Com-порт открыт"));
        QVERIFY(w.check1()->isEnabled());
        QVERIFY(!w.check1()->isChecked());
        QVERIFY(w.button("Command3")->isEnabled());

        w.type("tx", "10");
        w.type("ty", "0");
        w.type("tz", "2");
        // Unticked: nothing at all.
        QTest::mouseClick(w.button("Command3"), Qt::LeftButton);
        QCOMPARE(board.received(), QStringList{});

        w.check1()->setChecked(true);
        QTest::mouseClick(w.button("Command3"), Qt::LeftButton);
        QVERIFY(w.waitIdle());
        QCOMPARE(board.received(), QStringList{"-1500,0,300;"});
        // The manual move leaves the position the program keeps alone.
        QCOMPARE(w.form->controller().tool().toolX, 1);
        QCOMPARE(w.form->controller().tool().toolY, 1);
        QCOMPARE(w.form->controller().tool().toolZ, 0);
        QCOMPARE(board.finish(), QStringLiteral("position -1500 0 300"));
    }

    void windowRefusesBoxesWithoutNumbers() {
        Board board;
        WindowOnBoard w(dir_, board.path());
        w.check1()->setChecked(true);
        w.type("tx", "");
        w.type("ty", "5");
        w.type("tz", "1");
        BoxCatcher box;
        box.arm();
        QTest::mouseClick(w.button("Command3"), Qt::LeftButton);
        QTRY_COMPARE(box.seen, 1);
        QVERIFY2(box.text.contains(QStringLiteral("оси X")), qPrintable(box.text));

        // Text that got in by pasting: refused the same way, and so is a bad scale.
        w.box("tx")->setText(QStringLiteral("-3"));
        box.arm();
        QTest::mouseClick(w.button("Command3"), Qt::LeftButton);
        QTRY_COMPARE(box.seen, 2);
        QVERIFY(box.text.contains(QStringLiteral("оси X")));
        w.box("tx")->setText(QStringLiteral("3"));
        w.box("Text2")->setText(QStringLiteral("0"));
        box.arm();
        QTest::mouseClick(w.button("Command3"), Qt::LeftButton);
        QTRY_COMPARE(box.seen, 3);
        QVERIFY(w.waitIdle());
        QVERIFY(box.text.contains(QStringLiteral("шагов на один пиксель")));
        QCOMPARE(board.received(), QStringList{});
    }

    void windowIsBusyWhileTheBoardWorks() {
        Board board({"--delay-ms", "400"});
        WindowOnBoard w(dir_, board.path());
        w.check1()->setChecked(true);
        w.type("tx", "1");
        w.type("ty", "1");
        w.type("tz", "1");
        bool checked = false;
        QTimer::singleShot(200, [&] {
            // Mid-move: nothing that sends or changes work can start, the window still answers.
            for (const char* name :
                 {"Command1", "Command2", "Command3", "Command4", "Command5", "Command6", "Command7"})
                QVERIFY2(!w.button(name)->isEnabled(), name);
            // What takes effect at the next step stays live.
            QVERIFY(w.check1()->isEnabled());
            QVERIFY(w.box("Text2")->isEnabled());
            QVERIFY(w.form->isBusy());
            checked = true;
        });
        QTest::mouseClick(w.button("Command3"), Qt::LeftButton);
        QVERIFY(w.waitIdle());
        QVERIFY(checked);
        QVERIFY(!w.form->isBusy());
        QVERIFY(w.button("Command3")->isEnabled());
        QVERIFY(w.button("Command1")->isEnabled());
        QVERIFY(w.check1()->isChecked());
    }

    void closingTheWindowEndsTheWait() {
        Board board({"--silent-after", "0"});
        WindowOnBoard w(dir_, board.path());
        w.check1()->setChecked(true);
        w.type("tx", "1");
        w.type("ty", "0");
        w.type("tz", "0");
        QPointer<WorkWindow> form = w.form;
        QTimer::singleShot(300, [&] { qobject_cast<QMdiSubWindow*>(form->parentWidget())->close(); });
        QElapsedTimer t;
        t.start();
        QTest::mouseClick(w.button("Command3"), Qt::LeftButton);
        QTRY_VERIFY(form.isNull());
        QVERIFY2(t.elapsed() < 2000, "the wait ended with the window, not at the time-out");
        QTest::qWait(50);
        QVERIFY(QApplication::activeModalWidget() == nullptr); // and said nothing
        QCOMPARE(board.received(), QStringList{"-150,0,0;"});
    }

    void windowAfterAHangUp() {
        Board board({"--hangup-after", "0"});
        WindowOnBoard w(dir_, board.path());
        w.check1()->setChecked(true);
        w.type("tx", "0");
        w.type("ty", "0");
        w.type("tz", "4");
        BoxCatcher box;
        box.arm();
        QTest::mouseClick(w.button("Command3"), Qt::LeftButton);
        QTRY_COMPARE(box.seen, 1);
        QVERIFY2(box.text.contains(QStringLiteral("Связь с платой потеряна")), qPrintable(box.text));
        QVERIFY(box.text.contains(QStringLiteral("Положение станка")));
        QCOMPARE(w.label("Label4"), QStringLiteral("Связь с платой потеряна"));
        QVERIFY(!w.check1()->isChecked());
        QVERIFY(!w.check1()->isEnabled());
        QVERIFY(!w.button("Command3")->isEnabled());
        QVERIFY(w.button("Command1")->isEnabled()); // the rest of the window works on
    }

    void millSelectedSendsTheWorkedExample() {
        Board board;
        WindowOnBoard w(dir_, board.path(), 2, block, 10, 10);
        w.check1()->setChecked(true);
        w.type("Text2", "1");
        QTest::mouseClick(w.button("Command1"), Qt::LeftButton);
        w.clickNode(2);
        QTest::mouseClick(w.button("Command2"), Qt::LeftButton);
        QVERIFY(w.waitIdle());
        QCOMPARE(board.received(), (QStringList{"-4,3,0;", "0,0,-25;", "-1,0,0;", "-1,0,0;", "0,1,0;",
                                                "1,0,0;", "1,0,0;", "0,-1,0;", "0,0,25;"}));
        QCOMPARE(w.form->controller().tool().toolX, 5);
        QCOMPARE(w.form->controller().tool().toolY, 4);
        QCOMPARE(w.form->controller().tool().toolZ, 25);
        QCOMPARE(w.frame.jobStatus()->movesDone(), qint64{9});
        // The path and its 3 x 3 marks are red in the mill layer, clipped to the image; the rest is as
        // loaded.
        const ImageLayer& mill = w.form->controller().session().layers.millLayer;
        const auto red = [&mill](int x, int y) {
            const auto at = static_cast<std::size_t>(mill.geometry().indexOf(x, y) - 1);
            return mill.bits()[at] == 0 && mill.bits()[at + 1] == 0 && mill.bits()[at + 2] == 255;
        };
        QVERIFY(red(4, 3) && red(8, 6) && red(6, 4));
        QVERIFY(!red(3, 3) && !red(9, 6) && !red(1, 1));
        QCOMPARE(board.finish(), QStringLiteral("position -4 3 0"));
    }

    void millCommandsRefuseWithoutATreeOrSelection() {
        Board board;
        WindowOnBoard w(dir_, board.path(), 2, block, 10, 10);
        BoxCatcher box;
        for (const char* command : {"Command2", "Command6"}) {
            const int before = box.seen;
            box.arm();
            QTest::mouseClick(w.button(command), Qt::LeftButton);
            QTRY_COMPARE(box.seen, before + 1);
            QCOMPARE(box.text,
                     QStringLiteral("Изображение не загружено или не разобрано.\n"
                                    "Если изображение загружено, нажмите кнопку 'Разобрать'.\n"
                                    "Необходимо, чтобы программа построила дерево вложения фигур."));
        }
        QTest::mouseClick(w.button("Command1"), Qt::LeftButton);
        box.arm();
        QTest::mouseClick(w.button("Command2"), Qt::LeftButton);
        QTRY_COMPARE(box.seen, 3);
        QCOMPARE(box.text, QStringLiteral("Не выбрана фигура.\nВыберите фигуру в дереве."));
        // A height map loaded: the line does not follow it, so the job does not start rather than cut as if flat.
        w.form->controller().setHeightMap(HeightMap::read("grid 2 2\norigin 0 0\nstep 10 10\n0 1\n0 1\n"), "m.txt");
        w.check1()->setChecked(true);
        box.arm();
        QTest::mouseClick(w.button("Command6"), Qt::LeftButton);
        QTRY_COMPARE(box.seen, 4);
        QVERIFY2(box.text.contains(QStringLiteral("загружена карта высот")), qPrintable(box.text));
        QCOMPARE(board.received(), QStringList{});
    }

    void stopLiftsAndTheToolPositionStaysTrue() {
        Board board({"--delay-ms", "5"});
        WindowOnBoard w(dir_, board.path(), 2, bars, 60, 40);
        w.check1()->setChecked(true);
        w.type("Text2", "3");
        QTest::mouseClick(w.button("Command1"), Qt::LeftButton);
        bool stoppedMidJob = false;
        QObject::connect(&w.form->controller(), &JobController::moveDone, w.form, [&](const JobProgress& p) {
            const qint64 done = p.movesDone;
            if (done == 20) {
                QTest::keyClick(w.form, Qt::Key_Escape); // Esc is "Стоп"
                stoppedMidJob = true;
            }
        });
        QTest::mouseClick(w.button("Command6"), Qt::LeftButton);
        QVERIFY(w.waitIdle());
        QVERIFY(stoppedMidJob);
        const QStringList sent = board.received();
        QCOMPARE(sent.size(), 21); // the move under way, then one lift
        const ToolPosition tool = w.form->controller().tool();
        QCOMPARE(sent.last(), QStringLiteral("0,0,%1;").arg(tool.toolZ * 3));
        // The board stands where the program believes the tool is, back at the surface.
        QCOMPARE(board.finish(),
                 QStringLiteral("position %1 %2 0").arg(-(tool.toolX - 1) * 3).arg((tool.toolY - 1) * 3));
        QVERIFY(w.button("Command6")->isEnabled());
        QVERIFY(!w.frame.jobStatus()->stopButton()->isEnabled());
        // The job is kept: the status bar offers to continue it.
        QCOMPARE(w.frame.jobStatus()->pauseButton()->text(), QStringLiteral("Продолжить"));
        QVERIFY(w.frame.jobStatus()->pauseButton()->isEnabled());
    }

    void closingDuringAMillingStopsItFirst() {
        Board board({"--delay-ms", "5"});
        WindowOnBoard w(dir_, board.path(), 2, bars, 60, 40);
        w.check1()->setChecked(true);
        QTest::mouseClick(w.button("Command1"), Qt::LeftButton);
        QPointer<WorkWindow> form = w.form;
        int toolZ = -1;
        QStringList asked;
        bool stillRunning = false;
        QObject::connect(&w.form->controller(), &JobController::moveDone, w.form, [&](const JobProgress& p) {
            const qint64 done = p.movesDone;
            const auto z = static_cast<int>(p.z);
            // "Нет" changes nothing: the job goes on, and the window stays.
            if (done == 5 && asked.isEmpty()) {
                qobject_cast<QMdiSubWindow*>(form->parentWidget())->close();
                asked << testing::answerQuestionNow(false);
            } else if (done == 6 && asked.size() == 1) {
                stillRunning = form->controller().runner().phase() == JobRunner::Phase::Running;
            } else if (done == 10 && toolZ < 0) { // the lift that follows reports the same count again
                toolZ = z;
                qobject_cast<QMdiSubWindow*>(form->parentWidget())->close();
                asked << testing::answerQuestionNow(true);
            }
        });
        QTest::mouseClick(w.button("Command6"), Qt::LeftButton);
        QTRY_VERIFY2(form.isNull(), qPrintable(asked.join('|')));
        QCOMPARE(asked, QStringList(2, QStringLiteral("Идёт фрезерование. Остановить и закрыть?")));
        QVERIFY(stillRunning);
        QCOMPARE(board.received().size(), 11);
        QCOMPARE(board.received().last(), QStringLiteral("0,0,%1;").arg(toolZ * 150));
        QVERIFY(board.finish().endsWith(" 0"));
    }

    void escapeStillClosesAMessageBox() {
        // Esc is "Стоп" in the frame, but a box keeps its own Esc.
        Board board;
        WindowOnBoard w(dir_, board.path(), 2, block, 10, 10);
        bool closedByEscape = false;
        bool fallback = false;
        QTimer::singleShot(50, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            QVERIFY(box);
            QTest::keyClick(box, Qt::Key_Escape);
            closedByEscape = QApplication::activeModalWidget() == nullptr;
            if (!closedByEscape) {
                fallback = true;
                box->accept();
            }
        });
        QTest::mouseClick(w.button("Command2"), Qt::LeftButton); // no tree yet: the box
        QTRY_VERIFY(closedByEscape || fallback);
        QVERIFY(closedByEscape);
        QVERIFY(!fallback);
    }

    void closingTheProgramStopsTheJobFirst() {
        Board board({"--delay-ms", "5"});
        WindowOnBoard w(dir_, board.path(), 2, bars, 60, 40);
        w.check1()->setChecked(true);
        QTest::mouseClick(w.button("Command1"), Qt::LeftButton);
        QStringList asked;
        QObject::connect(&w.form->controller(), &JobController::moveDone, w.form, [&](const JobProgress& p) {
            const qint64 done = p.movesDone;
            // Asked twice: "Нет" keeps the program and the job, "Да" stops the job and then closes.
            if ((done == 3 && asked.isEmpty()) || (done == 6 && asked.size() == 1)) {
                w.frame.close();
                asked << testing::answerQuestionNow(done == 6);
            }
        });
        QTest::mouseClick(w.button("Command6"), Qt::LeftButton);
        QTRY_VERIFY2(!w.frame.isVisible(), qPrintable(asked.join('|')));
        QCOMPARE(asked, QStringList(2, QStringLiteral("Идёт фрезерование. Остановить и закрыть?")));
        QCOMPARE(board.received().size(), 7); // the move under way, then the lift
        QVERIFY(board.finish().endsWith(" 0"));
    }

    void aSilentBoardStopsTheMillingWithABox() {
        Board board({"--silent-after", "3"});
        WindowOnBoard w(dir_, board.path(), 1, block, 10, 10);
        w.check1()->setChecked(true);
        QTest::mouseClick(w.button("Command1"), Qt::LeftButton);
        BoxCatcher box;
        box.arm();
        QTest::mouseClick(w.button("Command6"), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(box.seen, 1, 10000);
        QVERIFY2(box.text.contains(QStringLiteral("не ответила «OK»")), qPrintable(box.text));
        QCOMPARE(board.received().size(), 4); // the unanswered move, and nothing after it
        QVERIFY(w.button("Command6")->isEnabled());
        // The region was not milled to the end: it stays live for the next "Все".
        QCOMPARE(w.form->controller().session().regions->tables.regionTable[2].state, regionLive);
    }

    void dryRunListsWhatATickedRunSends() {
        // zelmar-cli: the dry run's command list is the very list the board then receives, and the carving the dry
        // run takes from its commands as they go is the one replayed after a run on the board.
        QTemporaryDir dir;
        // Two dark blocks, one of them with a grey hole holding a dot: nesting, depths and several contours
        // in about thirty moves (each a 100 ms pause against the board).
        QFile image(dir.filePath("blocks.bmp"));
        image.open(QIODevice::WriteOnly);
        image.write(testing::bmpBytes(24, 12, 7, [](int x, int y) {
            if (x >= 6 && x <= 10 && y >= 1 && y <= 5)
                return (x == 8 && y == 3) ? 0 : (x >= 7 && x <= 9 && y >= 2 && y <= 4) ? 160 : 40;
            return x >= 1 && x <= 3 && y >= 2 && y <= 3 ? 0 : 255;
        }));
        image.close();
        QProcess dry;
        dry.start(QStringLiteral(ZELMAR_BIN_DIR "/zelmar-cli"),
                  {image.fileName(), "parse", "mill-all", "--tool", "ball:3", "--commands", "-", "--result",
                   dir.filePath("dry.pgm")});
        QVERIFY(dry.waitForFinished(30000));
        QCOMPARE(dry.exitCode(), 0);
        const QStringList planned =
            QString::fromUtf8(dry.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        QVERIFY(planned.size() > 20);

        Board board;
        QProcess real;
        real.start(QStringLiteral(ZELMAR_BIN_DIR "/zelmar-cli"),
                   {image.fileName(), "parse", "mill-all", "--tool", "ball:3", "--port", board.path(), "--result",
                    dir.filePath("board.pgm")});
        QVERIFY(real.waitForFinished(120000));
        QCOMPARE(real.exitCode(), 0);
        QCOMPARE(board.received(), planned);
        QFile dryGrid(dir.filePath("dry.pgm")), boardGrid(dir.filePath("board.pgm"));
        QVERIFY(dryGrid.open(QIODevice::ReadOnly) && boardGrid.open(QIODevice::ReadOnly));
        const QByteArray carved = dryGrid.readAll();
        QCOMPARE(carved, boardGrid.readAll());
        const QByteArray cells = carved.mid(carved.indexOf("65535\n") + 6);
        QCOMPARE(cells.size(), 12 * 7 * 2);
        int untouched = 0;
        for (qsizetype i = 0; i + 1 < cells.size(); i += 2)
            untouched += cells[i] == 0 && cells[i + 1] == 0;
        QVERIFY2(untouched > 0 && untouched < 12 * 7, qPrintable(QString::number(untouched))); // cut here and there

    }

    void perMoveOverheadStaysSmall() {
        // The 100 ms pause is the protocol's own; what the program adds around it must stay small. Not a
        // timing test: a generous bound that only a wait that misses its answer would break.
        Board board;
        Link link(board.path());
        QElapsedTimer t;
        t.start();
        for (int i = 0; i < 5; ++i)
            QCOMPARE(int(link.move(1, 0, 0).outcome), int(Link::Result::Done));
        QVERIFY(t.elapsed() < 5 * 100 + 400);
    }
};

QTEST_MAIN(LinkTest)
#include "test_link.moc"
