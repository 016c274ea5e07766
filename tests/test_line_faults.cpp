// The faults a real line has, each met by a whole job in the window against the simulated board: the job stops
// (or goes on, where the protocol says so), nothing is sent after a fault, the position the status bar shows is
// where the board stands, and the window works on. Then the soak: "Резать 3D" of a 1024 x 1024 picture, dry
// and on the board, twice in one window session, with the memory it keeps.

#include "board_harness.h"
#include "box_catcher.h"

#include "app/job_status.h"
#include "link/board_link.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QMdiSubWindow>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <QRegularExpression>

#include <cstdio>
#include <fstream>
#include <string>

#include <malloc.h>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZELMAR_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define ZELMAR_ASAN 1
#endif
#ifdef ZELMAR_ASAN
#include <sanitizer/allocator_interface.h>
#endif

using namespace zelmar;
using testing::Board;
using testing::twoBlocks;
using testing::BoxCatcher;
using testing::WindowOnBoard;

namespace {

constexpr int twoBlocksMoves = 26;

struct Position {
    int x = 0;
    int y = 0;
    int z = 0;
};

// What the status bar shows: "X a  Y b  Z c", pixel column and row and depth.
Position shownTool(const WindowOnBoard& w) {
    const QString text = w.frame.findChild<QLabel*>(QStringLiteral("jobTool"))->text();
    const QRegularExpressionMatch m =
        QRegularExpression(QStringLiteral("^X (-?\\d+)  Y (-?\\d+)  Z (-?\\d+)$")).match(text);
    if (!m.hasMatch())
        qWarning() << "status bar tool text:" << text;
    return {m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt()};
}

// The board's own words for a tool that started over pixel (1, 1) at the surface, one step a pixel.
QString boardWordsFor(const Position& p) {
    return QStringLiteral("position %1 %2 %3").arg(-(p.x - 1)).arg(p.y - 1).arg(-p.z);
}

// The window after a fault: the job's buttons are back, and a dry "Все" runs to its end sending nothing.
void checkWindowWorksOn(WindowOnBoard& w, Board& board) {
    const qsizetype sentBefore = board.received().size();
    for (const char* name : {"Command1", "Command2", "Command4", "Command5", "Command6", "Command7"})
        QVERIFY2(w.button(name)->isEnabled(), name);
    QVERIFY(!w.form->isBusy());
    w.check1()->setChecked(false);
    QString outcome;
    QObject::connect(w.form, &WorkWindow::jobFinished, w.form, [&](const QString& o) { outcome = o; });
    QTest::mouseClick(w.button("Command1"), Qt::LeftButton);
    QTest::mouseClick(w.button("Command6"), Qt::LeftButton);
    QVERIFY(w.waitIdle());
    QCOMPARE(outcome, QStringLiteral("готово"));
    QCOMPARE(board.received().size(), sentBefore);
}

// Bytes of heap in use: what a leak makes grow, without the allocator's free lists and caches.
double megabytes(std::size_t bytes) {
    return static_cast<double>(bytes) / 1e6;
}

std::size_t heapInUse() {
#ifdef ZELMAR_ASAN
    return __sanitizer_get_current_allocated_bytes();
#else
    const struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
#endif
}

std::size_t residentBytes() {
    std::ifstream statm("/proc/self/statm");
    std::size_t pages = 0;
    std::size_t resident = 0;
    statm >> pages >> resident;
    return resident * 4096;
}

// Dark discs of a few radii on a white picture 1024 pixels square (3/8 of that under the sanitizers, a seventh
// of the moves, so that a busy machine still runs the soak well inside its time limit): a relief of several
// passes.
constexpr int discsSide = ZELMAR_SANITIZED_BUILD ? 384 : 1024;
int discs(int x, int y) {
    struct Disc {
        int cx, cy, r;
    };
    x = x * 1024 / discsSide;
    y = y * 1024 / discsSide;
    for (const Disc d : {Disc{220, 220, 100}, Disc{700, 300, 80}, Disc{400, 750, 60}, Disc{850, 850, 40}})
        if ((x - d.cx) * (x - d.cx) + (y - d.cy) * (y - d.cy) <= d.r * d.r)
            return 0;
    return 255;
}

} // namespace

class LineFaultsTest : public QObject {
    Q_OBJECT
private:
    QTemporaryDir dir_;
    // A box nobody expected would hold a test until its time-out: one that stays up for two looks is
    // closed, and the test fails with its text.
    QTimer watchdog_;
    QPointer<QWidget> lastModal_;
    QStringList unexpectedBoxes_;

private slots:
    void init() {
        unexpectedBoxes_.clear();
        watchdog_.setInterval(700);
        QObject::connect(&watchdog_, &QTimer::timeout, this, [this] {
            QWidget* modal = QApplication::activeModalWidget();
            if (modal && modal == lastModal_) {
                auto* box = qobject_cast<QMessageBox*>(modal);
                unexpectedBoxes_ << (box ? box->text() : modal->objectName());
                if (box)
                    box->accept();
            }
            lastModal_ = modal;
        });
        watchdog_.start();
    }
    void cleanup() {
        watchdog_.stop();
        watchdog_.disconnect();
        QVERIFY2(unexpectedBoxes_.isEmpty(), qPrintable(unexpectedBoxes_.join(" | ")));
    }

    // The cases are in two functions, as their time-outs and waits for late answers add up to seconds.
    static void lineFaultColumns() {
        QTest::addColumn<QStringList>("faults");
        QTest::addColumn<int>("timeoutSeconds");
        QTest::addColumn<int>("movesSent");         // what the board received in all
        QTest::addColumn<QString>("message");       // in the box; empty: the job ends well, no box
        QTest::addColumn<int>("movesBeyondShown");  // acknowledged moves the board made beyond what is shown
    }
    void jobMeetsALineFault_data() {
        lineFaultColumns();
        QTest::newRow("silence in mid-job")
            << QStringList{"--silent-after", "15"} << 1 << 16 << "не ответила «OK»" << 0;
        QTest::newRow("hang-up in mid-job")
            << QStringList{"--hangup-after", "15"} << 5 << 16 << "Связь с платой потеряна" << 0;
        QTest::newRow("replies split in two") << QStringList{"--split"} << 2 << twoBlocksMoves << "" << 0;
        QTest::newRow("stray bytes around every reply") << QStringList{"--noise"} << 2 << twoBlocksMoves << "" << 0;
        QTest::newRow("board slow but within the time-out")
            << QStringList{"--delay-ms", "40"} << 1 << twoBlocksMoves << "" << 0;
    }
    void jobMeetsAWrongOrLateAnswer_data() {
        lineFaultColumns();
        // The board moved but said "ok": the program cannot know it moved, and says so.
        QTest::newRow("lowercase replies") << QStringList{"--lowercase"} << 1 << 1 << "не ответила «OK»" << 1;
        // The board makes the move and answers after the wait gave up.
        QTest::newRow("board slower than the time-out")
            << QStringList{"--delay-ms", "1600"} << 1 << 1 << "не ответила «OK»" << 1;
    }
    void jobMeetsAWrongOrLateAnswer() { jobMeetsALineFault(); }
    void jobMeetsALineFault() {
        QFETCH(QStringList, faults);
        QFETCH(int, timeoutSeconds);
        QFETCH(int, movesSent);
        QFETCH(QString, message);
        QFETCH(int, movesBeyondShown);
        Board board(faults);
        WindowOnBoard w(dir_, board.path(), timeoutSeconds, twoBlocks, 20, 12);
        w.form->controller().boardLink().setPauseMs(5); // the protocol's 100 ms changes nothing here but the run time
        w.check1()->setChecked(true);
        w.type("Text2", "1");
        QTest::mouseClick(w.button("Command1"), Qt::LeftButton);
        QString outcome;
        QObject::connect(w.form, &WorkWindow::jobFinished, w.form, [&](const QString& o) { outcome = o; });
        BoxCatcher box;
        if (!message.isEmpty())
            box.arm();
        QTest::mouseClick(w.button("Command6"), Qt::LeftButton);
        QVERIFY(w.waitIdle());

        if (message.isEmpty()) {
            QCOMPARE(outcome, QStringLiteral("готово"));
            QCOMPARE(box.seen, 0);
        } else {
            QCOMPARE(outcome, QStringLiteral("прервано"));
            QTRY_COMPARE(box.seen, 1);
            QVERIFY2(box.text.contains(message), qPrintable(box.text));
            QVERIFY(box.text.contains(QStringLiteral("больше ничего не отправлено")));
            QVERIFY(box.text.contains(QStringLiteral("Положение станка теперь известно неточно")));
        }
        QTest::qWait(movesBeyondShown > 0 ? 1800 : 100); // a late answer, or a command sent after the fault
        QCOMPARE(board.received().size(), movesSent);

        const Position shown = shownTool(w);
        const QString boardWords = board.finish();
        if (movesBeyondShown == 0) {
            QCOMPARE(boardWords, boardWordsFor(shown));
        } else {
            // The one unacknowledged move is the approach to the first block: (+2, +2) pixels, no depth.
            QCOMPARE(boardWordsFor(shown), QStringLiteral("position 0 0 0"));
            QCOMPARE(boardWords, QStringLiteral("position -2 2 0"));
        }
        checkWindowWorksOn(w, board);
    }

    void stopInMidJobLeavesTheBoardWhereShown() {
        Board board({"--delay-ms", "2"});
        WindowOnBoard w(dir_, board.path(), 2, twoBlocks, 20, 12);
        w.form->controller().boardLink().setPauseMs(5);
        w.check1()->setChecked(true);
        w.type("Text2", "1");
        QTest::mouseClick(w.button("Command1"), Qt::LeftButton);
        const QMetaObject::Connection stopper =
            QObject::connect(&w.form->controller(), &JobController::moveDone, w.form, [&](const JobProgress& p) {
            const qint64 done = p.movesDone;
                if (done == 18)
                    w.frame.jobStatus()->stopButton()->click();
            });
        QTest::mouseClick(w.button("Command6"), Qt::LeftButton);
        QVERIFY(w.waitIdle());
        QObject::disconnect(stopper);
        QCOMPARE(board.received().size(), 19); // the move under way, then the lift
        const Position shown = shownTool(w);
        QCOMPARE(shown.z, 0);
        QCOMPARE(board.finish(), boardWordsFor(shown));
        checkWindowWorksOn(w, board);
    }

    void aDryRunFirstDoesNotShiftTheRealJob() {
        // The real "Все" after a dry one sends what it sends in a fresh window: the dry run moved no tool.
        QStringList fresh;
        {
            Board board;
            WindowOnBoard w(dir_, board.path(), 2, twoBlocks, 20, 12);
            w.form->controller().boardLink().setPauseMs(5);
            w.type("Text2", "1");
            w.check1()->setChecked(true);
            QTest::mouseClick(w.button("Command1"), Qt::LeftButton);
            QTest::mouseClick(w.button("Command6"), Qt::LeftButton);
            QVERIFY(w.waitIdle());
            fresh = board.received();
        }
        Board board;
        WindowOnBoard w(dir_, board.path(), 2, twoBlocks, 20, 12);
        w.form->controller().boardLink().setPauseMs(5);
        w.form->controller().setDryPauseMs(0);
        w.type("Text2", "1");
        QTest::mouseClick(w.button("Command1"), Qt::LeftButton);
        QTest::mouseClick(w.button("Command6"), Qt::LeftButton); // dry
        QVERIFY(w.waitIdle());
        QCOMPARE(w.form->controller().tool().toolX, 1);
        QCOMPARE(w.form->controller().tool().toolY, 1);
        QTest::mouseClick(w.button("Command1"), Qt::LeftButton);
        w.check1()->setChecked(true);
        QTest::mouseClick(w.button("Command6"), Qt::LeftButton);
        QVERIFY(w.waitIdle());
        QCOMPARE(fresh.size(), twoBlocksMoves);
        QCOMPARE(board.received(), fresh);
        QCOMPARE(board.finish(), boardWordsFor(shownTool(w)));
    }

    void soakCut3dDryAndOnTheBoardTwice() {
        // The operator's round: open the picture, cut it dry, open it again, cut it on the board. "Резать 3D"
        // uses the picture up, so each cut gets a freshly opened work window; the program runs on throughout.
        Board board;
        WindowOnBoard w(dir_, board.path(), 5, discs, discsSide, discsSide);
        // Thousands of moves without the protocol's pause: a journal record on the disk before each would make
        // the soak a matter of the disk; the journal has its own tests.
        w.frame.setJournalFolder({});
        qint64 boardX = 0; // where the board must stand: the sum of each board cut's own travel
        qint64 boardY = 0;
        qint64 sentByFirstRound = 0;
        const auto cut3d = [&](bool onBoard) {
            if (w.form) {
                auto* sub = qobject_cast<QMdiSubWindow*>(w.form->parentWidget());
                sub->close();
                QTRY_VERIFY(w.frame.workWindow() == nullptr);
                QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
                w.frame.openWorkWindow();
                w.form = w.frame.workWindow();
            }
            w.form->controller().setDryPauseMs(0);
            // The protocol's 100 ms after each of thousands of moves would make this an hour; the pause is a
            // sleep, and nothing else about the line changes.
            w.form->controller().boardLink().setPauseMs(0);
            w.type("Text2", "1");
            w.check1()->setChecked(onBoard);
            qint64 moves = 0;
            QString outcome;
            QObject::connect(&w.form->controller(), &JobController::moveDone, w.form,
                             [&](const JobProgress& p) { moves += p.movesDone > 0; });
            QObject::connect(w.form, &WorkWindow::jobFinished, w.form, [&](const QString& o) { outcome = o; });
            QElapsedTimer t;
            t.start();
            BoxCatcher box; // none is expected; one would otherwise hold the test until its time-out
            box.arm();
            QTest::mouseClick(w.button("Command1"), Qt::LeftButton); // the sequence starts from a tree
            QTest::mouseClick(w.button("Command7"), Qt::LeftButton);
            QVERIFY(w.waitIdle(240000));
            QCOMPARE(box.text, QString());
            QCOMPARE(outcome, QStringLiteral("готово"));
            QVERIFY(moves > 1000);
            if (onBoard) {
                const Position shown = shownTool(w);
                QCOMPARE(shown.z, 0);
                boardX -= shown.x - 1;
                boardY += shown.y - 1;
            }
            std::printf("soak: %s cut-3D, %lld moves in %.1f s; heap in use %.1f MB, resident %.1f MB\n",
                        onBoard ? "board" : "dry", static_cast<long long>(moves),
                        static_cast<double>(t.elapsed()) / 1000.0, megabytes(heapInUse()),
                        megabytes(residentBytes()));
        };
        std::printf("soak: start; heap in use %.1f MB, resident %.1f MB\n", megabytes(heapInUse()),
                    megabytes(residentBytes()));
        cut3d(false);
        cut3d(true);
        sentByFirstRound = board.received().size();
        const std::size_t heapAfterRound1 = heapInUse();
        cut3d(false);
        cut3d(true);
        const std::size_t heapAfterRound2 = heapInUse();
        QCOMPARE(board.received().size(), 2 * sentByFirstRound); // the same job sends the same moves
        QCOMPARE(board.finish(), QStringLiteral("position %1 %2 0").arg(boardX).arg(boardY));
        // The second round keeps no more than a megabyte more than the first: what a round needs (layers,
        // tables, index, views) is given back or reused, not piled up.
        const double growthMB = megabytes(heapAfterRound2) - megabytes(heapAfterRound1);
        std::printf("soak: heap growth from round 1 to round 2: %.2f MB\n", growthMB);
        QVERIFY2(growthMB < 1.0, qPrintable(QString::number(growthMB)));
    }
};

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    LineFaultsTest test;
    return QTest::qExec(&test, argc, argv);
}
#include "test_line_faults.moc"
