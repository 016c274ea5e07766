// The job journal: read back from any byte a crash may have cut it at, refused when it contradicts itself, and
// zelmar-cli continuing a job from it after SIGKILL and after Ctrl+C against a new simulated board, so that
// the two boards together receive the job once.

#include "board_harness.h"
#include "run/job_journal.h"
#include "run/job_runner.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>

using namespace zelmar;
using testing::Board;
using testing::twoBlocks;

namespace {

JournalHeader someHeader() {
    JournalHeader h;
    h.imageHash = "0123456789abcdef";
    h.imageName = "/tmp/a picture with blanks.bmp";
    h.stepsText = " 150";
    h.prelude = {"parse", "mill-all@12!"};
    h.operations = {"select=3", "mill-selected"};
    h.millHash = "fedcba9876543210";
    return h;
}

QByteArray fileBytes(const QString& path) {
    QFile f(path);
    f.open(QIODevice::ReadOnly);
    return f.readAll();
}

JournalReading read(const QByteArray& bytes) {
    return readJournal(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
}

struct CliRun {
    int status = -1;
    QString out;
    QString err;
};

CliRun cli(const QStringList& args) {
    QProcess p;
    p.start(QStringLiteral(ZELMAR_BIN_DIR "/zelmar-cli"), args);
    p.waitForFinished(60000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

// A machine that looks at the journal on the disk at each step of each command: when it is handed the
// command, the journal must already name it as sent; while its "OK" has come and the protocol's pause still
// runs, the journal must name nothing more as sent (a crash then would leave a move open that never went).
// It fails the command numbered failAt (from 1) as one that went out unanswered.
class JournalCheckingLink : public MachineLink {
public:
    QString journalPath;
    int failAt = 0;
    int sent = 0;
    QStringList problems;

    bool isOpen() const override { return true; }
    MoveText commandFor(const CommandMove& c, std::int32_t stepsPerPixel) const override {
        return formatMoveCommand(c.x, c.y, c.z, stepsPerPixel);
    }
    bool canSend(std::size_t) const override { return !busy_; }
    void prepareForJob() override {}
    void abort() override {}
    void send(const std::string& command) override {
        busy_ = true;
        const int number = ++sent;
        const JournalState onDisk = read(fileBytes(journalPath)).state;
        if (onDisk.pending != JournalState::Pending::Move || onDisk.pendingMove != number - 1)
            problems << QStringLiteral("command %1 handed over before the journal named it").arg(number);
        QTimer::singleShot(1, this, [this, number, command] {
            if (number == failAt) {
                busy_ = false;
                emit failed({.kind = LinkFault::Kind::Timeout, .command = command, .positionUncertain = true,
                             .commandWentOut = true});
                return;
            }
            emit acknowledged();
            QTimer::singleShot(5, this, [this, number] { // the protocol's pause
                if (read(fileBytes(journalPath)).state.pending != JournalState::Pending::None)
                    problems << QStringLiteral("during the pause after command %1 a move stood open").arg(number);
                busy_ = false;
                emit moveDone();
            });
        });
    }

private:
    bool busy_ = false;
};

} // namespace

class JournalTest : public QObject {
    Q_OBJECT
private:
    QTemporaryDir dir_;
    QString image_;
    QStringList job_;     // the operations and options of the job, without port and journal
    QStringList oneBlockJob_; // the same on the first block alone
    QStringList planned_; // what the board receives when the job runs uninterrupted

private slots:
    void initTestCase() {
        image_ = dir_.filePath("blocks.bmp");
        QFile f(image_);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(testing::bmpBytes(24, 20, 12, twoBlocks));
        f.close();
        job_ = QStringList{image_, "parse", "mill-all", "--steps", "1"};
        const QString oneBlock = dir_.filePath("one block.bmp");
        QFile g(oneBlock);
        QVERIFY(g.open(QIODevice::WriteOnly));
        g.write(testing::bmpBytes(24, 20, 12, [](int x, int y) { return y < 6 ? twoBlocks(x, y) : 255; }));
        g.close();
        oneBlockJob_ = QStringList{oneBlock, "parse", "mill-all", "--steps", "1"};
        const CliRun dry = cli(job_ + QStringList{"--commands", "-"});
        QCOMPARE(dry.status, 0);
        planned_ = dry.out.split('\n', Qt::SkipEmptyParts);
        QCOMPARE(planned_.size(), 26);
    }

    void headerAndRecordsReadBack() {
        JournalHeader shaped = someHeader();
        shaped.toolWord = "v:3:90";
        shaped.mmPerStep = "0.01";
        shaped.mergeTolerance = "0.5";
        shaped.stepDown = "4";
        for (const JournalHeader& header : {someHeader(), shaped}) {
        const QString path = dir_.filePath("plain.journal");
        JournalWriter w;
        QVERIFY(w.create(path.toStdString(), header));
        for (int i = 0; i < 3; ++i) {
            w.sent(i);
            w.acknowledged(i);
        }
        w.doneDry(3);
        w.liftSent(7);
        w.liftDone();
        w.plungeSent(7);
        w.plungeDone();
        w.sent(4);
        QVERIFY(w.commit());
        w.close();
        const JournalReading r = read(fileBytes(path));
        QVERIFY(r.readable());
        QVERIFY(r.header == header);
        QCOMPARE(r.state.done, std::int64_t{4});
        QCOMPARE(int(r.state.pending), int(JournalState::Pending::Move));
        QCOMPARE(r.state.pendingMove, std::int64_t{4});
        QVERIFY(!r.state.lifted);
        QVERIFY(!r.state.ended);
        }
    }

    // A crash may stop the writing at any byte: each cut reads up to its last whole record, or, inside the
    // header, is refused; nothing in between.
    void aJournalCutAtAnyByteReadsUpToItsLastWholeRecord() {
        const QString path = dir_.filePath("cut.journal");
        JournalWriter w;
        QVERIFY(w.create(path.toStdString(), someHeader()));
        const qint64 headerBytes = fileBytes(path).size();
        // The records, and after each one the state a reader must see.
        std::vector<std::pair<qint64, JournalState>> after;
        JournalState s;
        const auto note = [&](const std::function<void()>& record, const std::function<void(JournalState&)>& effect) {
            record();
            QVERIFY(w.commit());
            effect(s);
            after.emplace_back(fileBytes(path).size(), s);
        };
        using P = JournalState::Pending;
        note([&] { w.sent(0); }, [](JournalState& t) { t.pending = P::Move; t.pendingMove = 0; });
        note([&] { w.acknowledged(0); }, [](JournalState& t) { t.pending = P::None; t.done = 1; });
        note([&] { w.sent(1); }, [](JournalState& t) { t.pending = P::Move; t.pendingMove = 1; });
        note([&] { w.acknowledged(1); }, [](JournalState& t) { t.pending = P::None; t.done = 2; });
        note([&] { w.liftSent(12); }, [](JournalState& t) { t.pending = P::Lift; t.pendingDepth = 12; });
        note([&] { w.liftDone(); }, [](JournalState& t) { t.pending = P::None; t.lifted = true; t.liftDepth = 12; });
        note([&] { w.plungeSent(12); }, [](JournalState& t) { t.pending = P::Plunge; t.pendingDepth = 12; });
        note([&] { w.answered(true); }, [](JournalState& t) { t.pending = P::None; t.lifted = false; t.liftDepth = 0; });
        note([&] { w.sent(2); }, [](JournalState& t) { t.pending = P::Move; t.pendingMove = 2; });
        note([&] { w.unsent(); }, [](JournalState& t) { t.pending = P::None; });
        note([&] { w.doneDry(2); }, [](JournalState& t) { t.done = 3; });
        note([&] { w.ended(); }, [](JournalState& t) { t.ended = true; });
        w.close();
        const QByteArray whole = fileBytes(path);
        for (qint64 cut = 0; cut <= whole.size(); ++cut) {
            for (const bool garbage : {false, true}) {
                QByteArray bytes = whole.left(cut);
                if (garbage)
                    bytes += QByteArray("\x00\x00\xff S 9 #00000000\nA", 20); // what a power cut may leave
                const JournalReading r = read(bytes);
                const QString where = QStringLiteral("cut at %1 of %2%3").arg(cut).arg(whole.size()).arg(garbage ? " + garbage" : "");
                if (cut < headerBytes) {
                    QVERIFY2(!r.readable(), qPrintable(where));
                    continue;
                }
                QVERIFY2(r.readable(), qPrintable(where));
                QVERIFY2(r.header == someHeader(), qPrintable(where));
                JournalState expected;
                qint64 expectedBytes = headerBytes;
                for (const auto& [end, state] : after)
                    if (end <= cut) {
                        expected = state;
                        expectedBytes = end;
                    }
                QVERIFY2(r.state == expected, qPrintable(where));
                QCOMPARE(qint64(r.wholeBytes), expectedBytes);
            }
        }
    }

    void recordsThatContradictEachOtherAreRefused() {
        const QString path = dir_.filePath("bad.journal");
        const auto journalWith = [&](const std::vector<std::string>& records) {
            JournalWriter w;
            w.create(path.toStdString(), someHeader());
            w.close();
            QFile f(path);
            f.open(QIODevice::Append);
            for (const std::string& r : records)
                f.write(QByteArray::fromStdString(journalLine(r)));
            f.close();
            return read(fileBytes(path));
        };
        QVERIFY(journalWith({"S 0", "A 0", "S 1"}).readable());
        for (const std::vector<std::string>& bad :
             {std::vector<std::string>{"A 0"}, {"S 1"}, {"S 0", "S 0"}, {"S 0", "A 1"}, {"D 0", "D 2"},
              {"LA"}, {"PS 3"}, {"LS 3", "LA", "PS 4"}, {"Y"}, {"U"}, {"LS 2", "U"}, {"E", "S 0"}, {"S 0", "E"},
              {"Q 1"}, {"S x"}}) {
            QByteArray shown;
            for (const std::string& r : bad)
                shown += QByteArray::fromStdString(r) + "; ";
            QVERIFY2(journalWith(bad).verdict == JournalReading::Verdict::Damaged, shown.constData());
        }
        QCOMPARE(int(read("").verdict), int(JournalReading::Verdict::NotAJournal));
        QCOMPARE(int(read("[CNC]\nPort=com1\n").verdict), int(JournalReading::Verdict::NotAJournal));
        // A header line whose check does not hold is damage, not a cut.
        QByteArray tampered = fileBytes(path);
        tampered.replace("steps %20150", "steps %20151");
        QCOMPARE(int(read(tampered).verdict), int(JournalReading::Verdict::Damaged));
    }

    // zelmar-cli killed at several points of the job, then continued against a new board: together the two
    // boards receive the job, once.
    // Each case runs the whole job at the protocol's pace, and more under the sanitizers: the last is a
    // function of its own, so that neither comes near the time limit of a function. With a shaped tool and
    // passes the moves differ, and the replay must make them again from the journal's settings; that case is
    // a function of its own too, on one block, as its passes make the job three times as long.
    void killedMidJobResumesOnANewBoard_data() {
        QTest::addColumn<int>("killAfter");
        QTest::addColumn<QStringList>("settings");
        QTest::addColumn<bool>("oneBlock");
        QTest::newRow("in the first contour") << 6 << QStringList() << false;
        QTest::newRow("at the end of the first block") << 13 << QStringList() << false;
    }
    void killedLateInTheJobResumesOnANewBoard_data() {
        QTest::addColumn<int>("killAfter");
        QTest::addColumn<QStringList>("settings");
        QTest::addColumn<bool>("oneBlock");
        QTest::newRow("in the second contour") << 20 << QStringList() << false;
    }
    void killedLateInTheJobResumesOnANewBoard() { killedMidJobResumesOnANewBoard(); }
    void killedInPassesResumesOnANewBoard_data() {
        QTest::addColumn<int>("killAfter");
        QTest::addColumn<QStringList>("settings");
        QTest::addColumn<bool>("oneBlock");
        QTest::newRow("in the second contour, a ball nose in passes")
            << 20
            << QStringList{"--tool", "ball:0.15", "--mm-per-step", "0.1", "--step-down", "12"}
            // wider would not fit the blocks
            << true;
    }
    void killedInPassesResumesOnANewBoard() { killedMidJobResumesOnANewBoard(); }
    void killedMidJobResumesOnANewBoard() {
        QFETCH(int, killAfter);
        QFETCH(QStringList, settings);
        QFETCH(bool, oneBlock);
        const QString journal = dir_.filePath(QStringLiteral("kill%1%2.journal").arg(killAfter).arg(settings.size()));
        const QStringList job = (oneBlock ? oneBlockJob_ : job_) + settings;
        QStringList planned = planned_;
        if (!settings.isEmpty()) {
            const CliRun dry = cli(job + QStringList{"--commands", "-"});
            QCOMPARE(dry.status, 0);
            planned = dry.out.split('\n', Qt::SkipEmptyParts);
            QVERIFY(planned != planned_);
        }
        QStringList first;
        {
            Board board;
            QProcess p;
            p.start(QStringLiteral(ZELMAR_BIN_DIR "/zelmar-cli"),
                    job + QStringList{"--port", board.path(), "--journal", journal});
            QVERIFY(testing::waitFor([&] { return board.received().size() >= killAfter; }, 30000));
            p.kill(); // SIGKILL: no lift, no last word
            QVERIFY(p.waitForFinished(5000));
            first = board.received();
        }
        const JournalReading r = read(fileBytes(journal));
        QVERIFY(r.readable());
        QVERIFY(!r.state.ended);
        Board board;
        QStringList lastMove;
        if (r.state.pending == JournalState::Pending::None) {
            // Killed between two acknowledged moves: nothing is open.
            QCOMPARE(first.size(), r.state.done);
        } else {
            QVERIFY(r.state.pending == JournalState::Pending::Move);
            // Was the open move really sent? Then the machine made it: "done"; otherwise it goes again.
            const bool wentOut = first.size() == r.state.pendingMove + 1;
            QVERIFY2(wentOut || first.size() == r.state.pendingMove, qPrintable(QString::number(first.size())));
            // Without the operator's word nothing is sent, and the message names the move.
            const CliRun refused = cli(job + QStringList{"--port", board.path(), "--journal", journal, "--resume"});
            QCOMPARE(refused.status, 1);
            QVERIFY2(refused.err.contains(QStringLiteral("перемещение %1 задания").arg(r.state.pendingMove + 1)),
                     qPrintable(refused.err));
            QVERIFY(refused.err.contains(QStringLiteral("--last-move")));
            QCOMPARE(board.received(), QStringList{});
            lastMove = QStringList{"--last-move", wentOut ? "done" : "redo"};
        }

        const CliRun resumed =
            cli(job + QStringList{"--port", board.path(), "--journal", journal, "--resume"} + lastMove);
        QVERIFY2(resumed.status == 0, qPrintable(resumed.err));
        QCOMPARE(first + board.received(), planned);
        QCOMPARE(board.finish(), QStringLiteral("position ") + testing::countsAfter(planned.mid(first.size())));
        QVERIFY(read(fileBytes(journal)).state.ended);
    }

    // Ctrl+C is "Стоп": the current move's OK, a lift, exit 1; continued, the first command is the plunge back.
    void ctrlCStopsWithALiftAndResumesWithAPlunge() {
        const QString journal = dir_.filePath("interrupt.journal");
        QStringList first;
        {
            Board board;
            QProcess p;
            p.start(QStringLiteral(ZELMAR_BIN_DIR "/zelmar-cli"),
                    job_ + QStringList{"--port", board.path(), "--journal", journal});
            QVERIFY(testing::waitFor([&] { return board.received().size() >= 5; }, 30000)); // in the contour
            ::kill(static_cast<pid_t>(p.processId()), SIGINT);
            QVERIFY(p.waitForFinished(10000));
            QCOMPARE(p.exitCode(), 1);
            QVERIFY(QString::fromUtf8(p.readAllStandardError()).contains(QStringLiteral("фреза поднята")));
            first = board.received();
        }
        const QString lift = first.last();
        QVERIFY2(lift.startsWith(QStringLiteral("0,0,")) && !lift.startsWith(QStringLiteral("0,0,-")), qPrintable(lift));
        const QStringList done = first.mid(0, first.size() - 1);
        QCOMPARE(done, planned_.mid(0, done.size()));
        const JournalReading r = read(fileBytes(journal));
        QVERIFY(r.readable() && r.state.lifted && r.state.pending == JournalState::Pending::None);

        Board board;
        const CliRun resumed = cli(job_ + QStringList{"--port", board.path(), "--journal", journal, "--resume"});
        QVERIFY2(resumed.status == 0, qPrintable(resumed.err));
        const QStringList second = board.received();
        const QString plunge = QStringLiteral("0,0,-") + lift.mid(4);
        QCOMPARE(second.first(), plunge);
        QCOMPARE(done + second.mid(1), planned_);
        // The lift and the plunge cancel out: the two boards end where the uninterrupted job does.
        QCOMPARE(board.finish(), QStringLiteral("position ") + testing::countsAfter(second));
        QCOMPARE(testing::countsAfter(first + second), testing::countsAfter(planned_));
    }

    // The runner against a machine that reads the journal as it works, the job cut off by a fault at every
    // command in turn: each command is on the disk as sent before its bytes go and not before, and the move
    // the journal leaves open is the one the runner asks the operator about.
    void theJournalNamesACommandSentOnlyOnceItGoes() {
        constexpr int moves = 6;
        for (int failAt = 1; failAt <= moves + 1; ++failAt) {
            const QString path = dir_.filePath(QStringLiteral("checked%1.journal").arg(failAt));
            JournalCheckingLink link;
            link.journalPath = path;
            link.failAt = failAt;
            JournalWriter writer;
            JobRunner runner;
            runner.setLink(&link);
            runner.setMillingSwitch([] { return true; });
            runner.setJournalSource([&](std::int64_t) {
                return writer.create(path.toStdString(), someHeader()) ? &writer : nullptr;
            });
            bool ended = false;
            QObject::connect(&runner, &JobRunner::ended, &runner, [&] { ended = true; });
            PlannedMove step;
            step.x = 1;
            runner.start(std::make_unique<MoveList>(std::vector<PlannedMove>(moves, step)), parseStepsPerPixel("1"), {});
            QVERIFY(QTest::qWaitFor([&] { return ended; }, 10000));
            QVERIFY2(link.problems.isEmpty(), qPrintable(link.problems.join("; ")));
            const JournalState state = read(fileBytes(path)).state;
            if (failAt > moves) {
                QVERIFY(state.ended);
                QCOMPARE(state.done, std::int64_t{moves});
                continue;
            }
            QVERIFY(runner.openMove());
            QCOMPARE(state.pending, JournalState::Pending::Move);
            QCOMPARE(state.pendingMove, runner.openMove()->index);
            QCOMPARE(state.pendingMove, std::int64_t{failAt - 1});
            QCOMPARE(state.done, std::int64_t{failAt - 1});
        }
    }

    void aJournalOfAnotherJobOrADamagedOneIsRefused() {
        const QString journal = dir_.filePath("other.journal");
        {
            Board board;
            const CliRun run = cli(job_ + QStringList{"--port", board.path(), "--journal", journal});
            QCOMPARE(run.status, 0);
        }
        const QString otherImage = dir_.filePath("other.bmp");
        QFile f(otherImage);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(testing::bmpBytes(24, 20, 12, [](int x, int y) { return twoBlocks(x, y) == 0 || x == 19 ? 0 : 255; }));
        f.close();
        QFile::copy(journal, dir_.filePath("damaged.journal"));
        QFile damaged(dir_.filePath("damaged.journal"));
        QVERIFY(damaged.open(QIODevice::ReadWrite));
        damaged.seek(40);
        damaged.write("XX");
        damaged.close();
        QFile notAJournal(dir_.filePath("cnc.ini"));
        QVERIFY(notAJournal.open(QIODevice::WriteOnly));
        notAJournal.write("[CNC]\nPort=com1\n");
        notAJournal.close();

        const QString other = QStringLiteral("другому заданию");
        struct Case {
            QStringList args;
            QString says;
        };
        for (const Case& c : {Case{{image_, "parse", "cut3d", "--steps", "1", "--journal", journal}, other},
                              Case{{image_, "parse", "mill-all", "--steps", "2", "--journal", journal}, other},
                              Case{{otherImage, "parse", "mill-all", "--steps", "1", "--journal", journal}, other},
                              Case{job_ + QStringList{"--tool", "flat:0.3", "--mm-per-step", "0.1", "--journal", journal}, other},
                              Case{job_ + QStringList{"--journal", dir_.filePath("damaged.journal")}, "повреждён"},
                              Case{job_ + QStringList{"--journal", dir_.filePath("cnc.ini")}, "не является журналом"},
                              Case{job_ + QStringList{"--journal", dir_.filePath("absent.journal")}, "не является журналом"}}) {
            Board board;
            const CliRun r = cli(c.args + QStringList{"--resume", "--port", board.path()});
            QCOMPARE(r.status, 1);
            QVERIFY2(r.err.contains(c.says) && r.err.contains(QStringLiteral("ничего не отправлено")), qPrintable(r.err));
            QCOMPARE(board.received(), QStringList{});
        }
        // A shaped tool's journal goes on only with the same shape, diameter, angle and millimetres a step. With
        // a move left open the same tool gets as far as the question about it; any other is refused.
        for (const auto& [word, others] :
             {std::pair{QStringLiteral("ball:0.15"), QStringList{"ball:2", "flat:0.15", "ball:0.15@0.2"}},
              std::pair{QStringLiteral("v:0.5:60"), QStringList{"v:0.5:90", "v:1:60"}}}) {
            JournalHeader header = read(fileBytes(journal)).header;
            header.toolWord = word.toStdString();
            header.mmPerStep = "0.1";
            const QString shaped = dir_.filePath("shaped.journal");
            JournalWriter writer;
            QVERIFY(writer.create(shaped.toStdString(), header));
            writer.sent(0);
            QVERIFY(writer.commit());
            writer.close();
            for (const QString& tool : QStringList{word} + others) {
                const QStringList toolAndScale = tool.split('@');
                Board board;
                const CliRun r = cli(job_ + QStringList{"--tool", toolAndScale[0], "--mm-per-step",
                                                        toolAndScale.value(1, "0.1"), "--journal", shaped,
                                                        "--resume", "--port", board.path()});
                QCOMPARE(r.status, 1);
                QVERIFY2(r.err.contains(tool == word ? QStringLiteral("--last-move") : other),
                         qPrintable(tool + ": " + r.err));
                QCOMPARE(board.received(), QStringList{});
            }
        }
        // --resume without --journal, or --last-move without --resume, is bad usage.
        QCOMPARE(cli(job_ + QStringList{"--resume"}).status, 2);
        QCOMPARE(cli(job_ + QStringList{"--last-move", "done"}).status, 2);
        QCOMPARE(cli(job_ + QStringList{"--journal", journal, "--resume", "--last-move", "maybe"}).status, 2);
    }
};

QTEST_GUILESS_MAIN(JournalTest)
#include "test_journal.moc"
