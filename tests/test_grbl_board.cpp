// zelmar-board --grbl as a grbl sender meets it on the line: the welcome, answers in order, the receive buffer and
// the planner, status reports that follow the moves, feed hold, soft reset and alarms, and the line faults.

#include "board_process.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

using zelmar::testing::boardBinary;
using zelmar::testing::openRaw;

const QByteArray welcome = "\r\nGrbl 1.1h ['$' for help]\r\n";
const QByteArray unlock = "[MSG:'$H'|'$X' to unlock]\r\n";

QByteArray positionLine(const char* x, const char* y, const char* z, int overrun = 0) {
    return QByteArray("position ") + x + ' ' + y + ' ' + z + " overrun " + QByteArray::number(overrun) + '\n';
}

// zelmar-board --grbl and a client on its line; what arrives waits in `buffer` until a test takes it.
class Grbl : public zelmar::testing::BoardProcess {
public:
    explicit Grbl(const QStringList& args) : BoardProcess(QStringList{"--grbl", "--stdin-control"} + args) {
        if (!device.isEmpty())
            open();
    }
    ~Grbl() { close(); }
    void open() {
        fd = openRaw(device);
        lost = false;
    }
    void close() {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
        buffer.clear();
    }
    bool send(QByteArrayView bytes) const {
        return ::write(fd, bytes.data(), static_cast<std::size_t>(bytes.size())) == bytes.size();
    }
    // Everything up to and including `marker` once it has arrived; all there is if it does not come in time.
    QByteArray until(QByteArrayView marker, int ms = 3000) {
        QElapsedTimer clock;
        clock.start();
        while ((marker.isEmpty() || !buffer.contains(marker)) && !lost) {
            const auto left = ms - clock.elapsed();
            if (left <= 0)
                break;
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0)
                continue;
            char bytes[512];
            const auto n = ::read(fd, bytes, sizeof bytes);
            if (n > 0)
                buffer.append(bytes, static_cast<qsizetype>(n));
            else if (n == 0 || (errno != EAGAIN && errno != EINTR))
                lost = true;
        }
        const qsizetype at = marker.isEmpty() ? -1 : buffer.indexOf(marker);
        if (at < 0)
            return std::exchange(buffer, {});
        const QByteArray taken = buffer.left(at + marker.size());
        buffer.remove(0, at + marker.size());
        return taken;
    }
    // What arrives within `ms`.
    QByteArray within(int ms) { return until({}, ms); }
    // The next `count` answers ("ok" or "error:N" lines) with whatever came before them.
    QByteArray answers(int count, int ms = 3000) {
        QElapsedTimer clock;
        clock.start();
        QByteArray all;
        while (count > 0) {
            const QByteArray line = until("\r\n", static_cast<int>(std::max<qint64>(1, ms - clock.elapsed())));
            all += line;
            if (!line.endsWith("\r\n"))
                break;
            if (line == "ok\r\n" || line.startsWith("error:"))
                --count;
        }
        return all;
    }
    QByteArray status() {
        send("?");
        return until(">\r\n");
    }
    // Status reports until the machine stands; the last one.
    QByteArray waitIdle(int ms = 5000) {
        QElapsedTimer clock;
        clock.start();
        QByteArray report;
        while (!(report = status()).startsWith("<Idle") && clock.elapsed() < ms)
            within(10);
        return report;
    }
    // Closes standard input; what the board printed after the device.
    QByteArray stop() {
        close();
        process.closeWriteChannel();
        return finished();
    }

    int fd = -1;
    QByteArray buffer;
    bool lost = false;
};

// The MPos (or WPos) field of a status report.
QByteArray position(const QByteArray& report) {
    const auto m = QRegularExpression("[MW]Pos:([^|>]*)").match(QString::fromLatin1(report));
    return m.hasMatch() ? m.captured(1).toLatin1() : QByteArray();
}

double axis(const QByteArray& report, int i) {
    return position(report).split(',').value(i).toDouble();
}

// The board's clock of each program, first move to program end, from its log.
QList<int> programTimes(const QString& log) {
    QFile file(log);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QList<int> times;
    auto it = QRegularExpression("program from its first move to its end: (\\d+) ms").globalMatch(file.readAll());
    while (it.hasNext())
        times << it.next().captured(1).toInt();
    return times;
}

} // namespace

class GrblBoardTest : public QObject {
    Q_OBJECT
private slots:
    void aClientsOpenResetsTheBoard() {
        Grbl board({"--delay-ms", "0"});
        QVERIFY(board.fd >= 0);
        termios line{};
        QCOMPARE(::tcgetattr(board.fd, &line), 0);
        QCOMPARE(::cfgetispeed(&line), speed_t(B115200));
        QCOMPARE(line.c_cflag & CRTSCTS, tcflag_t(0));
        QCOMPARE(board.until(welcome), welcome);
        QVERIFY(board.send("G91 G0 X1\n"));
        QCOMPARE(board.answers(1), QByteArray("ok\r\n"));
        QCOMPARE(board.status(), QByteArray("<Idle|MPos:1.000,0.000,0.000|FS:0,0|WCO:0.000,0.000,0.000>\r\n"));

        // What the last client left unread does not reach the next one.
        QVERIFY(board.send("$$\n"));
        QTest::qSleep(100);
        board.close();
        QTest::qSleep(100);
        board.open();
        QCOMPARE(board.until(welcome), welcome);
        // A close and an open are two even when the board looks only after both. Opened again, it starts afresh as
        // a board reset by its DTR line does: it counts from where it stands.
        QVERIFY(board.send("G91 G0 X1\n"));
        QCOMPARE(board.answers(1), QByteArray("ok\r\n"));
        QCOMPARE(::kill(static_cast<pid_t>(board.process.processId()), SIGSTOP), 0);
        board.close();
        board.open();
        QCOMPARE(::kill(static_cast<pid_t>(board.process.processId()), SIGCONT), 0);
        QCOMPARE(board.until(welcome), welcome);
        QCOMPARE(board.status(), QByteArray("<Idle|MPos:0.000,0.000,0.000|FS:0,0|WCO:0.000,0.000,0.000>\r\n"));
        QVERIFY(board.send("G91 G0 Y-2\n"));
        QCOMPARE(board.answers(1), QByteArray("ok\r\n"));
        // A soft reset greets again and keeps the position.
        QVERIFY(board.send("\x18"));
        QCOMPARE(board.until(welcome), welcome);
        QCOMPARE(board.status(), QByteArray("<Idle|MPos:0.000,-2.000,0.000|FS:0,0|WCO:0.000,0.000,0.000>\r\n"));
        QCOMPARE(board.within(50), QByteArray());
        // The last line: where the machine stands since the board started.
        QCOMPARE(board.stop(), positionLine("2.000", "-2.000", "0.000"));
    }

    void aBoardThatWasRunningSaysNothingUntilReset() {
        Grbl board({"--no-welcome", "--delay-ms", "0", "--baud", "9600"});
        termios line{};
        QCOMPARE(::tcgetattr(board.fd, &line), 0);
        QCOMPARE(::cfgetispeed(&line), speed_t(B9600));
        QCOMPARE(board.within(200), QByteArray());
        QCOMPARE(board.status(), QByteArray("<Idle|MPos:0.000,0.000,0.000|FS:0,0|WCO:0.000,0.000,0.000>\r\n"));
        QVERIFY(board.send("G91 G0 Z3\n"));
        QCOMPARE(board.answers(1), QByteArray("ok\r\n"));
        board.close();
        board.open();
        QCOMPARE(board.within(200), QByteArray());
        QCOMPARE(board.status(), QByteArray("<Idle|MPos:0.000,0.000,3.000|FS:0,0|Ov:100,100,100>\r\n"));
        QVERIFY(board.send("\x18"));
        QCOMPARE(board.until(welcome), welcome);
        QCOMPARE(board.stop(), positionLine("0.000", "0.000", "3.000"));
    }

    void everyLineIsAnsweredInOrder() {
        Grbl board({"--delay-ms", "0"});
        QCOMPARE(board.until(welcome), welcome);
        const QByteArray longest = "G1X" + QByteArray(75, '0') + "1\n"; // 79 characters: the most a line holds
        const QByteArray tooLong = "G1X" + QByteArray(76, '0') + "1\n";
        const QList<std::pair<QByteArray, QByteArray>> exchange{
            {"G1 X1\n", "error:22\r\n"}, // no feed rate yet
            {"G21\n", "ok\r\n"},
            {"G91\n", "ok\r\n"},
            {"G0 X-1.500 Y0 Z0\n", "ok\r\n"},
            {"G1 X-0.01 F300\n", "ok\r\n"},
            {"(a comment) g1 y.5 ; lower case\n", "ok\r\n"},
            {"\n", "ok\r\n"},
            {"G21\r\n", "ok\r\nok\r\n"}, // "\r" ends a line as "\n" does: this is two
            {"G5 X3\n", "error:20\r\n"},
            {"M7\n", "error:20\r\n"},
            {"Q1\n", "error:20\r\n"},
            {"1X\n", "error:1\r\n"},
            {"G1 X1.2.3\n", "error:1\r\n"},
            {"G1 X\n", "error:2\r\n"},
            {"G1 X-\n", "error:2\r\n"},
            {"G1 X1000000000\n", "error:2\r\n"},
            {"F-1\n", "error:4\r\n"},
            {"G0 G1 X1\n", "error:21\r\n"},
            {"G90 G91\n", "error:21\r\n"},
            {"X1 X2\n", "error:25\r\n"},
            {"G4\n", "error:28\r\n"},
            {"G1 X1 I1\n", "error:36\r\n"},
            {"N10000000 G1 X1\n", "error:27\r\n"},
            {tooLong, "error:11\r\n"},
            {longest, "ok\r\n"},
            {"G1 X" + QByteArray(40, ' ') + "0000000000000000000000000000000000000000000000000000000000000000000000001\n",
             "ok\r\n"}, // blanks do not count
            {"$\n", "[HLP:$$ $# $G $I $N $x=val $Nx=line $J=line $SLP $C $X $H ~ ! ? ctrl-x]\r\nok\r\n"},
            {"$Q\n", "error:3\r\n"},
            {"$H\n", "error:5\r\n"},
            {"$J G91 X1 F10\n", "error:16\r\n"},
            {"$J=G91 X1\n", "error:22\r\n"},
            {"$J=G1 G91 X1 F10\n", "error:16\r\n"},
            {"$J=G91 F10\n", "error:26\r\n"},
            {"M2\n", "[MSG:Pgm End]\r\nok\r\n"},
            {"G1 X1\n", "ok\r\n"}, // the program end went back to G90: X=1
        };
        QByteArray lines, expected;
        int count = 0;
        for (const auto& [line, answer] : exchange) {
            lines += line;
            expected += answer;
            count += static_cast<int>(answer.count("ok\r\n") + answer.count("error:"));
        }
        // All at once: the board takes the lines as fast as they come, and answers them in order.
        QVERIFY(board.send(lines));
        QCOMPARE(board.answers(count), expected);
        QCOMPARE(board.within(50), QByteArray());
        QCOMPARE(board.stop(), positionLine("1.000", "0.500", "0.000"));
    }

    void positionsAreExactSumsOfDecimals() {
        Grbl board({"--delay-ms", "1"});
        QCOMPARE(board.until(welcome), welcome);
        QList<QByteArray> lines{"G91 G1 F1000\n"};
        for (int i = 0; i < 400; ++i)
            lines << "X0.001 Y-0.0025 Z0.0001\n";
        // An inch is 25.4 mm exactly; the steps follow the rounded absolute target, never a sum of roundings.
        lines << "G20 X1\n" << "G21 X-25.4\n" << "X+.5 Y-0. Z0.0000000004\n" << "G20 Y0.01\n" << "G21\n";
        // Character counting, as a sender streams: never more than the 128 bytes of the receive buffer unanswered.
        QList<int> inFlight;
        int bytes = 0;
        int answered = 0;
        for (qsizetype next = 0; next < lines.size() || !inFlight.isEmpty();) {
            while (next < lines.size() && bytes + lines[next].size() <= 128) {
                QVERIFY(board.send(lines[next]));
                inFlight << static_cast<int>(lines[next].size());
                bytes += static_cast<int>(lines[next++].size());
            }
            const QByteArray answer = board.answers(1);
            QVERIFY2(answer == "ok\r\n", answer.constData());
            bytes -= inFlight.takeFirst();
            ++answered;
        }
        QCOMPARE(answered, lines.size());
        // X: 0.4 + 25.4 - 25.4 + 0.5; Y: -1.0 + 0.254 = -0.746 mm, -186.5 steps, rounded away from zero.
        QCOMPARE(position(board.waitIdle()), QByteArray("0.900,-0.748,0.040"));
        QCOMPARE(board.stop(), positionLine("0.900", "-0.748", "0.040"));
    }

    void theReceiveBufferLosesWhatOverflowsIt() {
        QTemporaryDir dir;
        const QString log = dir.filePath("board.log");
        Grbl board({"--delay-ms", "0", "--log", log});
        QCOMPARE(board.until(welcome), welcome);
        QVERIFY(board.send("$10=3\nG91\n!")); // Bf: in the reports; held, nothing runs
        QCOMPARE(board.answers(2), QByteArray("ok\r\nok\r\n"));
        const QByteArray line = "G1 X0.1 F600\n"; // 13 bytes
        QVERIFY(board.send(line.repeated(40)));
        // 15 blocks fill the planner, the 16th line waits for a place, 128 bytes fill the receive buffer (nine lines
        // and 11 bytes), the other 184 are lost.
        QCOMPARE(board.answers(15), QByteArray("ok\r\n").repeated(15));
        QCOMPARE(board.within(100), QByteArray());
        // A real-time byte passes a full buffer.
        const QByteArray full = board.status();
        QVERIFY2(full.startsWith("<Hold:0|MPos:0.000,0.000,0.000|Bf:0,0|FS:0,0|"), full.constData());
        // Instant moves are done by the time the next byte is looked at.
        QVERIFY(board.send("~?"));
        QCOMPARE(board.answers(10), QByteArray("ok\r\n").repeated(10));
        const QByteArray resumed = board.until(">\r\n");
        QVERIFY2(resumed.startsWith("<Idle|MPos:2.500,0.000,0.000|Bf:15,128|"), resumed.constData());
        QCOMPARE(board.within(100), QByteArray());
        // The torn line's head is still there and makes a line with whatever comes next.
        QVERIFY(board.send("\n"));
        QCOMPARE(board.answers(1), QByteArray("ok\r\n"));
        const QByteArray idle = board.waitIdle();
        QVERIFY2(idle.startsWith("<Idle|MPos:2.600,0.000,0.000|Bf:15,128|"), idle.constData());
        QCOMPARE(board.stop(), positionLine("2.600", "0.000", "0.000", 184));
        QVERIFY(board.process.readAllStandardError().contains("the receive buffer overran: 184 bytes lost"));
        QFile file(log);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray text = file.readAll();
        QVERIFY(text.contains("receive buffer overrun: "));
        QVERIFY(text.contains(" (184 in all): "));
    }

    void statusReportsFollowTheMoves() {
        Grbl board({"--max-rate", "600"});
        QCOMPARE(board.until(welcome), welcome);
        QElapsedTimer clock;
        clock.start();
        QVERIFY(board.send("G91 G1 X2 F600\n")); // 200 ms
        QCOMPARE(board.answers(1), QByteArray("ok\r\n"));
        QList<double> xs;
        QByteArray report;
        while (!(report = board.status()).startsWith("<Idle") && clock.elapsed() < 3000) {
            QVERIFY2(report.startsWith("<Run|MPos:") && report.contains("|FS:600,0"), report.constData());
            xs << axis(report, 0);
            board.within(15);
        }
        QVERIFY2(clock.elapsed() >= 190, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(position(report), QByteArray("2.000,0.000,0.000"));
        QSet<double> between;
        for (qsizetype i = 0; i < xs.size(); ++i) {
            QVERIFY(xs[i] >= 0 && xs[i] <= 2);
            QVERIFY(i == 0 || xs[i] >= xs[i - 1]);
            if (xs[i] > 0 && xs[i] < 2)
                between.insert(xs[i]);
        }
        QVERIFY2(between.size() >= 3, qPrintable(QString::number(between.size())));
        // A rapid goes at the maximum rate of each axis: on the diagonal faster than either.
        QVERIFY(board.send("G0 X10 Y10\n"));
        QCOMPARE(board.answers(1), QByteArray("ok\r\n"));
        report = board.status();
        QVERIFY2(report.startsWith("<Run|") && report.contains("|FS:849,0"), report.constData());
        QCOMPARE(position(board.waitIdle()), QByteArray("12.000,10.000,0.000"));
        QCOMPARE(board.stop(), positionLine("12.000", "10.000", "0.000"));
    }

    void programEndAndDwellWaitForTheMachine() {
        Grbl board({"--delay-ms", "300"});
        QCOMPARE(board.until(welcome), welcome);
        QElapsedTimer clock;
        clock.start();
        QVERIFY(board.send("G91 G0 X1\nM2\n"));
        QCOMPARE(board.answers(1), QByteArray("ok\r\n"));
        QVERIFY2(clock.elapsed() < 250, qPrintable(QString::number(clock.elapsed())));
        // The program end is answered once the machine stands, and brings back G90.
        QCOMPARE(board.answers(1), QByteArray("[MSG:Pgm End]\r\nok\r\n"));
        QVERIFY2(clock.elapsed() >= 295, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(board.status().startsWith("<Idle|MPos:1.000,0.000,0.000|"));
        clock.restart();
        QVERIFY(board.send("G4 P0.2\nG0 X3\n"));
        QCOMPARE(board.answers(2), QByteArray("ok\r\nok\r\n"));
        QVERIFY2(clock.elapsed() >= 195, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(position(board.waitIdle()), QByteArray("3.000,0.000,0.000"));
        QCOMPARE(board.stop(), positionLine("3.000", "0.000", "0.000"));
    }

    void feedHoldAndCycleStart() {
        Grbl board({"--delay-ms", "400"});
        QCOMPARE(board.until(welcome), welcome);
        QElapsedTimer clock;
        clock.start();
        QVERIFY(board.send("G91 G0 X1\nG0 X1\n"));
        QCOMPARE(board.answers(2), QByteArray("ok\r\nok\r\n"));
        board.within(100);
        QVERIFY(board.send("!"));
        const QByteArray held = board.status();
        QVERIFY2(held.startsWith("<Hold:0|") && held.contains("|FS:0,0"), held.constData());
        QVERIFY(axis(held, 0) > 0 && axis(held, 0) < 1);
        board.within(150);
        QCOMPARE(position(board.status()), position(held));
        QVERIFY(board.send("~"));
        QVERIFY(board.status().startsWith("<Run|"));
        QCOMPARE(position(board.waitIdle()), QByteArray("2.000,0.000,0.000"));
        QVERIFY2(clock.elapsed() >= 950, qPrintable(QString::number(clock.elapsed())));

        // Held while idle, the board still takes moves but starts none.
        QVERIFY(board.send("!G0 Y1\n"));
        QCOMPARE(board.answers(1), QByteArray("ok\r\n"));
        board.within(450);
        QVERIFY(board.status().startsWith("<Hold:0|MPos:2.000,0.000,0.000|"));
        QVERIFY(board.send("~"));
        QCOMPARE(position(board.waitIdle()), QByteArray("2.000,1.000,0.000"));

        // A hold cancels a jog, and G-code is taken again at once.
        QVERIFY(board.send("$J=G91 Z5 F600\n"));
        QCOMPARE(board.answers(1), QByteArray("ok\r\n"));
        QVERIFY(board.status().startsWith("<Jog|"));
        board.within(100);
        QVERIFY(board.send("!"));
        const QByteArray cancelled = board.status();
        QVERIFY2(cancelled.startsWith("<Idle|"), cancelled.constData());
        const double z = axis(cancelled, 2);
        QVERIFY(z > 0 && z < 5);
        QVERIFY(board.send("G0 X1\n"));
        QCOMPARE(board.answers(1), QByteArray("ok\r\n"));
        QCOMPARE(position(board.waitIdle()), "3.000,1.000," + position(cancelled).split(',')[2]);
        QCOMPARE(board.stop(), positionLine("3.000", "1.000", position(cancelled).split(',')[2].constData()));
    }

    void aSoftResetInMotionRaisesAnAlarm() {
        Grbl board({"--delay-ms", "500"});
        QCOMPARE(board.until(welcome), welcome);
        QVERIFY(board.send("G91 G0 X1\nG0 X1\nG0 X1\n"));
        QCOMPARE(board.answers(3), QByteArray("ok\r\n").repeated(3));
        board.within(100);
        QVERIFY(board.send("\x18"));
        QCOMPARE(board.until(unlock), "ALARM:3\r\n" + welcome + unlock);
        const QByteArray alarm = board.status();
        QVERIFY2(alarm.startsWith("<Alarm|"), alarm.constData());
        QVERIFY(axis(alarm, 0) > 0 && axis(alarm, 0) < 1); // the rest of the queue is gone
        QVERIFY(board.send("G0 X1\n$J=G91 X1 F100\n$X\n"));
        QCOMPARE(board.answers(3), QByteArray("error:9\r\nerror:8\r\n[MSG:Caution: Unlocked]\r\nok\r\n"));
        QVERIFY(board.status().startsWith("<Idle|"));

        // Standing still, or held, a reset is no alarm; the modes go back to G0 G90 G21.
        QVERIFY(board.send("\x18"));
        QCOMPARE(board.until(welcome), welcome);
        QVERIFY(board.send("G0 X2\n"));
        QCOMPARE(board.answers(1), QByteArray("ok\r\n"));
        board.within(100);
        QVERIFY(board.send("!\x18"));
        QCOMPARE(board.until(welcome), welcome);
        QCOMPARE(board.within(50), QByteArray());
        QVERIFY(board.status().startsWith("<Idle|"));
        QVERIFY(board.send("G0 X1\n"));
        QCOMPARE(board.answers(1), QByteArray("ok\r\n"));
        QCOMPARE(position(board.waitIdle()), QByteArray("1.000,0.000,0.000"));
        QCOMPARE(board.stop(), positionLine("1.000", "0.000", "0.000"));
    }

    void aHardLimitStopsEverythingUntilReset() {
        Grbl board({"--alarm-at", "3", "--delay-ms", "30"});
        QCOMPARE(board.until(welcome), welcome);
        QVERIFY(board.send(QByteArray("G91 G0 X1\n").repeated(5)));
        QCOMPARE(board.answers(5), QByteArray("ok\r\n").repeated(5));
        QCOMPARE(board.until("continue]\r\n"), QByteArray("ALARM:1\r\n[MSG:Reset to continue]\r\n"));
        // Nothing but a reset is taken now: no status, no lines.
        QVERIFY(board.send("?G0 Y1\n!~"));
        QCOMPARE(board.within(300), QByteArray());
        QVERIFY(board.send("\x18"));
        QCOMPARE(board.until(unlock), welcome + unlock);
        QVERIFY(board.status().startsWith("<Alarm|MPos:3.000,0.000,0.000|"));
        QVERIFY(board.send("G0 Y1\n$X\nG91 G0 Y1\n"));
        QCOMPARE(board.answers(3), QByteArray("error:9\r\n[MSG:Caution: Unlocked]\r\nok\r\nok\r\n"));
        QCOMPARE(position(board.waitIdle()), QByteArray("3.000,1.000,0.000"));
        QCOMPARE(board.stop(), positionLine("3.000", "1.000", "0.000"));
    }

    void joggingAndTheTravel() {
        Grbl board({"--travel", "5", "--max-rate", "6000"});
        QCOMPARE(board.until(welcome), welcome);
        QVERIFY(board.send("$J=G91 X1 F300\n")); // 200 ms
        QCOMPARE(board.answers(1), QByteArray("ok\r\n"));
        QVERIFY(board.status().startsWith("<Jog|"));
        QVERIFY(board.send("G0 Y1\n"));
        QCOMPARE(board.answers(1), QByteArray("error:9\r\n"));
        QCOMPARE(position(board.waitIdle()), QByteArray("1.000,0.000,0.000"));
        // A jog leaves the modes alone: G90 holds for the next line.
        QVERIFY(board.send("$J=G91 X1 F6000\n"));
        QCOMPARE(board.answers(1), QByteArray("ok\r\n"));
        board.waitIdle();
        QVERIFY(board.send("G0 X0.5\n$J=G91 X1 F600\n"));
        QCOMPARE(board.answers(2), QByteArray("ok\r\nerror:8\r\n")); // no jog while G-code runs
        QCOMPARE(position(board.waitIdle()), QByteArray("0.500,0.000,0.000"));
        QVERIFY(board.send("$J=G91 X4.6 F600\n$J=G53 X-5 F6000\n"));
        QCOMPARE(board.answers(2), QByteArray("error:15\r\nok\r\n"));
        QCOMPARE(position(board.waitIdle()), QByteArray("-5.000,0.000,0.000"));
        // G-code beyond the travel is a limit alarm; the line is never answered.
        QVERIFY(board.send("G0 X5.001\n"));
        QCOMPARE(board.until("continue]\r\n"), QByteArray("ALARM:2\r\n[MSG:Reset to continue]\r\n"));
        QVERIFY(board.send("\x18"));
        QCOMPARE(board.until(unlock), welcome + unlock);
        QVERIFY(board.send("$X\n$J=G91 Y3 F60\n")); // 3 s
        QCOMPARE(board.answers(2), QByteArray("[MSG:Caution: Unlocked]\r\nok\r\nok\r\n"));
        board.within(100);
        QVERIFY(board.send("\x85")); // jog cancel
        const QByteArray cancelled = board.status();
        QVERIFY2(cancelled.startsWith("<Idle|"), cancelled.constData());
        QVERIFY(axis(cancelled, 1) > 0 && axis(cancelled, 1) < 3);
        QCOMPARE(board.stop(),
                 positionLine("-5.000", position(cancelled).split(',')[1].constData(), "0.000"));
    }

    void settingsAndReports() {
        Grbl board({"--max-rate", "600"});
        QCOMPARE(board.until(welcome), welcome);
        QVERIFY(board.send("$$\n"));
        const QByteArray settings = board.answers(1);
        for (const char* expected : {"$10=1\r\n", "$100=250.000\r\n$101=250.000\r\n$102=250.000\r\n",
                                     "$110=600.000\r\n$111=600.000\r\n$112=600.000\r\n",
                                     "$120=10.000\r\n$121=10.000\r\n$122=10.000\r\n"})
            QVERIFY2(settings.contains(expected), expected);
        QVERIFY(settings.startsWith("$0=10\r\n"));
        QVERIFY(settings.endsWith("$132=200.000\r\nok\r\n"));
        QVERIFY(board.send("$100=100\n$110=-5\n$110=abc\n$999=1\n$I\n$G\n"));
        QCOMPARE(board.answers(6), QByteArray("error:3\r\nerror:4\r\nerror:2\r\nerror:3\r\n"
                                              "[VER:1.1h.20190830:]\r\n[OPT:V,15,128]\r\nok\r\n"
                                              "[GC:G0 G54 G17 G21 G90 G94 M5 M9 T0 F0 S0]\r\nok\r\n"));
        // Written settings count: $10 chooses the report's fields, $110 the rate.
        QVERIFY(board.send("$10=2\n$110=1200\nG91 G0 X10\n"));
        QCOMPARE(board.answers(3), QByteArray("ok\r\nok\r\nok\r\n"));
        const QByteArray report = board.status();
        QVERIFY2(report.startsWith("<Run|WPos:") && report.contains("|Bf:14,128|FS:1200,0"), report.constData());
        QVERIFY(board.send("$10=1\n$$\n")); // not while a cycle runs
        QCOMPARE(board.answers(2), QByteArray("error:8\r\nerror:8\r\n"));
        QCOMPARE(position(board.waitIdle()), QByteArray("10.000,0.000,0.000"));
        QVERIFY(board.send("$$\n"));
        QVERIFY(board.answers(1).contains("$110=1200.000\r\n$111=600.000\r\n"));
        QCOMPARE(board.stop(), positionLine("10.000", "0.000", "0.000"));
    }

    void theLineFaults() {
        {
            Grbl board({"--silent-after", "2", "--delay-ms", "0"});
            QCOMPARE(board.until(welcome), welcome);
            QVERIFY(board.send("G91 G0 X1\nG0 X1\n"));
            QCOMPARE(board.answers(2), QByteArray("ok\r\nok\r\n"));
            QVERIFY(board.send("G0 X1\n?\x18"));
            QCOMPARE(board.within(300), QByteArray());
            QVERIFY(!board.lost);
            QCOMPARE(board.stop(), positionLine("2.000", "0.000", "0.000"));
        }
        {
            // The answers before the hang-up arrive; the moves accepted are carried out before the board stops.
            Grbl board({"--hangup-after", "2", "--delay-ms", "100"});
            QCOMPARE(board.until(welcome), welcome);
            QVERIFY(board.send("G91 G0 X1\nG0 Y1\nG0 Z1\n"));
            QCOMPARE(board.answers(2), QByteArray("ok\r\nok\r\n"));
            QCOMPARE(board.within(2000), QByteArray());
            QVERIFY(board.lost);
            QCOMPARE(board.finished(), positionLine("1.000", "1.000", "0.000"));
        }
        {
            Grbl board({"--split", "--split-pause-ms", "60", "--delay-ms", "0"});
            QCOMPARE(board.until(welcome), welcome);
            for (const auto& [line, rest] : {std::pair{"G21\n", "k\r\n"}, std::pair{"G5\n", "rror:20\r\n"}}) {
                QVERIFY(board.send(line));
                QCOMPARE(board.until(QByteArray(1, *line == 'G' && line[1] == '2' ? 'o' : 'e')).size(), 1);
                QElapsedTimer clock;
                clock.start();
                QCOMPARE(board.until("\r\n"), QByteArray(rest));
                QVERIFY2(clock.elapsed() >= 45, qPrintable(QString::number(clock.elapsed())));
            }
            QCOMPARE(board.stop(), positionLine("0.000", "0.000", "0.000"));
        }
        {
            Grbl board({"--noise", "--seed", "3", "--delay-ms", "0"});
            QCOMPARE(board.until(welcome), welcome);
            QSet<QByteArray> noise;
            const QRegularExpression message(R"(^\[MSG:[^\]]*\]$)");
            for (int i = 0; i < 10; ++i) {
                QVERIFY(board.send("G91 G0 X1\n"));
                QList<QByteArray> lines = board.answers(1).split('\n');
                QCOMPARE(lines.takeLast(), QByteArray());
                QCOMPARE(lines.takeLast(), QByteArray("ok\r"));
                QVERIFY(!lines.isEmpty());
                for (const QByteArray& line : lines) {
                    QVERIFY2(line == "\r" || message.match(QString::fromLatin1(line.chopped(1))).hasMatch(),
                             line.constData());
                    noise.insert(line);
                }
            }
            QVERIFY(noise.size() > 2);
            QCOMPARE(board.stop(), positionLine("10.000", "0.000", "0.000"));
        }
        {
            Grbl board({"--exit-after-commands", "3", "--delay-ms", "150"});
            QCOMPARE(board.until(welcome), welcome);
            QElapsedTimer clock;
            clock.start();
            QVERIFY(board.send(QByteArray("G91 G0 X1\n").repeated(4)));
            QCOMPARE(board.answers(3), QByteArray("ok\r\n").repeated(3));
            QCOMPARE(board.finished(), positionLine("3.000", "0.000", "0.000"));
            QVERIFY2(clock.elapsed() >= 440, qPrintable(QString::number(clock.elapsed())));
        }
        {
            // A late answer holds back the report that follows it.
            Grbl board({"--answer-late-ms", "150", "--delay-ms", "0"});
            QCOMPARE(board.until(welcome), welcome);
            QElapsedTimer clock;
            clock.start();
            QVERIFY(board.send("G21\n?"));
            QCOMPARE(board.until(">\r\n"), QByteArray("ok\r\n<Idle|MPos:0.000,0.000,0.000|FS:0,0|WCO:0.000,0.000,0.000>\r\n"));
            QVERIFY2(clock.elapsed() >= 145, qPrintable(QString::number(clock.elapsed())));
        }
    }

    void theLogHasALinePerLine() {
        QTemporaryDir dir;
        const QString path = dir.filePath("board.log");
        {
            Grbl board({"--log", path, "--delay-ms", "0"});
            QCOMPARE(board.until(welcome), welcome);
            QVERIFY(board.send("G91 G0 X1.5\nG5\n!~"));
            QCOMPARE(board.answers(2), QByteArray("ok\r\nerror:20\r\n"));
            board.within(50);
            board.close();
            QTest::qSleep(100); // the board notices the client's close
            QCOMPARE(board.stop(), positionLine("1.500", "0.000", "0.000"));
        }
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = file.readAll().split('\n');
        const QStringList expected{"client opened the line: the board resets",
                                   R"("G91 G0 X1.5" ok, to 1.500 0.000 0.000)",
                                   R"("G5" error:20 (unsupported command))", R"("!" feed hold)", R"("~" cycle start)",
                                   "client closed the line"};
        QCOMPARE(lines.size(), expected.size() + 1);
        const QRegularExpression stamp(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z (.*)$)");
        for (qsizetype i = 0; i < expected.size(); ++i) {
            const auto m = stamp.match(QString::fromLatin1(lines[i]));
            QVERIFY2(m.hasMatch(), lines[i].constData());
            QCOMPARE(m.captured(1), expected[i]);
        }
    }

    void homingFromTheAlarmAndUnlocking() {
        Grbl board({"--homing"});
        QCOMPARE(board.until(unlock), welcome + unlock);
        QVERIFY(board.status().startsWith("<Alarm|MPos:0.000,0.000,0.000|"));
        QVERIFY(board.send("G91 G0 X1\n$J=G91 X1 F100\n$$\n"));
        const QByteArray locked = board.answers(3);
        QVERIFY2(locked.startsWith("error:9\r\nerror:8\r\n") && locked.contains("\r\n$22=1\r\n"), locked.constData());
        // Homing only from a standing machine.
        QVERIFY(board.send("$X\nG91 G0 X3 Y-2 Z1\n$H\n"));
        QCOMPARE(board.answers(3), QByteArray("[MSG:Caution: Unlocked]\r\nok\r\nok\r\nerror:8\r\n"));
        QCOMPARE(position(board.waitIdle()), QByteArray("3.000,-2.000,1.000"));
        QVERIFY(board.send("$H\n"));
        const QByteArray homing = board.status();
        QVERIFY2(homing.startsWith("<Home|") && axis(homing, 0) > 0, homing.constData());
        QCOMPARE(board.answers(1), QByteArray("ok\r\n"));
        QVERIFY(board.status().startsWith("<Idle|MPos:0.000,0.000,0.000|"));

        // A power-up loses the position and locks again; the switches stay where the board started.
        QVERIFY(board.send("G0 X6\n"));
        QCOMPARE(board.answers(1), QByteArray("ok\r\n"));
        board.waitIdle();
        board.close();
        board.open();
        QCOMPARE(board.until(unlock), welcome + unlock);
        QVERIFY(board.status().startsWith("<Alarm|MPos:0.000,0.000,0.000|"));
        QVERIFY(board.send("$H\n"));
        QVERIFY(board.status().startsWith("<Home|"));
        QVERIFY(board.send("\x18"));
        QCOMPARE(board.until(unlock), "ALARM:6\r\n" + welcome + unlock);
        QVERIFY(board.send("$H\n"));
        QCOMPARE(board.answers(1), QByteArray("ok\r\n"));
        QVERIFY(board.status().startsWith("<Idle|MPos:0.000,0.000,0.000|"));
        QCOMPARE(board.stop(), positionLine("0.000", "0.000", "0.000"));
    }

    void workOffsetsJogsAndReports() {
        Grbl board({"--max-rate", "600"});
        QCOMPARE(board.until(welcome), welcome);
        QVERIFY(board.status().endsWith("|WCO:0.000,0.000,0.000>\r\n"));
        // The offset is written once the machine stands, and the first report after it shows it.
        QVERIFY(board.send("G91 G0 X5 Y3 Z-1\nG10 L20 P1 X0 Y0\n"));
        QCOMPARE(board.answers(1), QByteArray("ok\r\n"));
        const QByteArray running = board.status();
        QVERIFY2(running.startsWith("<Run|") && !running.contains("WCO"), running.constData());
        QCOMPARE(board.answers(1), QByteArray("ok\r\n"));
        QCOMPARE(board.status(), QByteArray("<Idle|MPos:5.000,3.000,-1.000|FS:0,0|WCO:5.000,3.000,0.000>\r\n"));
        QVERIFY(!board.status().contains("WCO"));

        // G90 moves and jogs are in work coordinates, G53 ones in the machine's; $10=0 reports the work position.
        QVERIFY(board.send("$10=0\nG90 G0 X1 Y1\n"));
        QCOMPARE(board.answers(2), QByteArray("ok\r\nok\r\n"));
        QCOMPARE(position(board.waitIdle()), QByteArray("1.000,1.000,-1.000"));
        QVERIFY(board.send("G10 L20 P1 Z2\n"));
        QCOMPARE(board.answers(1), QByteArray("ok\r\n"));
        const QByteArray work = board.status();
        QVERIFY2(work.startsWith("<Idle|WPos:1.000,1.000,2.000|") && work.contains("|WCO:5.000,3.000,-3.000"),
                 work.constData());
        QVERIFY(board.send("$10=1\nG53 G0 X0 Y0\n"));
        QCOMPARE(board.answers(2), QByteArray("ok\r\nok\r\n"));
        QCOMPARE(position(board.waitIdle()), QByteArray("0.000,0.000,-1.000"));
        QVERIFY(board.send("$J=G90 X1 Y1 F6000\n"));
        QCOMPARE(board.answers(1), QByteArray("ok\r\n"));
        QCOMPARE(position(board.waitIdle()), QByteArray("6.000,4.000,-1.000"));
        QVERIFY(board.send("$J=G53 X0 F6000\n"));
        QCOMPARE(board.answers(1), QByteArray("ok\r\n"));
        QCOMPARE(position(board.waitIdle()), QByteArray("0.000,4.000,-1.000"));

        // A jog cancel stops at once and drops every jog still planned.
        QVERIFY(board.send("$J=G91 Y10 F600\n$J=G91 Y10 F600\n"));
        QCOMPARE(board.answers(2), QByteArray("ok\r\nok\r\n"));
        board.within(150);
        QVERIFY(board.send("\x85"));
        const QByteArray cancelled = board.status();
        QVERIFY2(cancelled.startsWith("<Idle|") && axis(cancelled, 1) > 4 && axis(cancelled, 1) < 14,
                 cancelled.constData());
        board.within(300);
        QCOMPARE(position(board.status()), position(cancelled));

        QVERIFY(board.send("G10 L2 P1 X-1.5\nG10 L2 P2 Y7\n$#\n"));
        const QByteArray parameters = board.answers(3);
        QVERIFY2(parameters.startsWith("ok\r\nok\r\n[G54:-1.500,3.000,-3.000]\r\n[G55:0.000,7.000,0.000]\r\n"),
                 parameters.constData());
        QVERIFY(board.send("G10 P1 X1\nG10 L20 P1\nG10 L20 P7 X1\nG0 G10 L20 P1 X1\nG0 L2 X1\nG10 X1\n"));
        QCOMPARE(board.answers(6),
                 QByteArray("error:20\r\nerror:26\r\nerror:29\r\nerror:24\r\nerror:36\r\nerror:28\r\n"));
        // Without a surface a probe never touches.
        QVERIFY(board.send("G91 G38.2 Z-0.1 F600\n"));
        QCOMPARE(board.answers(1), QByteArray("ALARM:5\r\n[PRB:0.000,0.000,0.000:0]\r\nok\r\n"));
        QVERIFY(board.stop().startsWith("position 0.000 "));
    }

    void probingFindsTheSurface() {
        {
            Grbl board({"--surface", "flat:-5.001", "--max-rate", "6000"});
            QCOMPARE(board.until(welcome), welcome);
            // The first step at or below the surface, in machine coordinates whatever the work offset.
            QVERIFY(board.send("G10 L2 P1 Z7\nG91 G38.2 Z-10 F3000\n"));
            QCOMPARE(board.answers(2), QByteArray("ok\r\n[PRB:0.000,0.000,-5.004:1]\r\nok\r\n"));
            QVERIFY(board.status().startsWith("<Idle|MPos:0.000,0.000,-5.004|"));
            QVERIFY(board.send("$#\n"));
            QVERIFY(board.answers(1).endsWith("[TLO:0.000]\r\n[PRB:0.000,0.000,-5.004:1]\r\nok\r\n"));
            // Touching already: no motion, an alarm that $X lifts.
            QVERIFY(board.send("G38.3 Z-1\nG0 Z1\n$X\n"));
            QCOMPARE(board.answers(3), QByteArray("ALARM:4\r\nok\r\nerror:9\r\n[MSG:Caution: Unlocked]\r\nok\r\n"));
            // No contact: G38.3 records where it ended, G38.2 keeps the last probe and raises an alarm.
            QVERIFY(board.send("G0 Z2\nG38.3 Z-1\n"));
            QCOMPARE(board.answers(2), QByteArray("ok\r\n[PRB:0.000,0.000,-4.004:0]\r\nok\r\n"));
            QVERIFY(board.status().startsWith("<Idle|MPos:0.000,0.000,-4.004|"));
            QVERIFY(board.send("G38.2 Z-0.5\nG0 Z1\n"));
            QCOMPARE(board.answers(2), QByteArray("ALARM:5\r\n[PRB:0.000,0.000,-4.004:0]\r\nok\r\nerror:9\r\n"));
            QVERIFY(board.status().startsWith("<Alarm|MPos:0.000,0.000,-4.504|"));
            QVERIFY(board.send("$X\nG38.2 Z0\nG38.1 Z-1\n"));
            QCOMPARE(board.answers(3), QByteArray("[MSG:Caution: Unlocked]\r\nok\r\nerror:33\r\nerror:20\r\n"));
            QCOMPARE(board.stop(), positionLine("0.000", "0.000", "-4.504"));
        }
        QTemporaryDir dir;
        // 16-bit samples, the top row first: 3 x 2 pixels of 10 mm.
        QFile map(dir.filePath("map.pgm"));
        QVERIFY(map.open(QIODevice::WriteOnly));
        map.write("P5\n# stock\n3 2\n1000\n");
        for (const int grey : {100, 200, 300, 400, 500, 600}) {
            map.putChar(static_cast<char>(grey >> 8));
            map.putChar(static_cast<char>(grey & 0xff));
        }
        map.close();
        struct Probe {
            double x, y, surface;
        };
        const QList<std::pair<QStringList, QList<Probe>>> surfaces{
            {{"--surface", "tilt:-5,1,-2"}, {{50, 20, -4.9}, {0, 0, -5}, {-30, 10, -5.5}}},
            {{"--surface", map.fileName(), "--surface-cell", "10", "--surface-z", "-8"},
             {{15, 5, -3}, {25, 15, -5}, {-5, 25, -7}, {29.9, -3, -2}}},
        };
        for (const auto& [args, probes] : surfaces) {
            Grbl board(args + QStringList{"--max-rate", "6000"});
            QCOMPARE(board.until(welcome), welcome);
            for (const Probe& p : probes) {
                QVERIFY(board.send(QByteArray("G90 G0 Z0 X") + QByteArray::number(p.x) + " Y" +
                                   QByteArray::number(p.y) + "\nG38.2 Z-10 F6000\n"));
                const QByteArray answer = board.answers(2);
                const auto m = QRegularExpression(R"(^ok\r\n\[PRB:([-\d.]+),([-\d.]+),([-\d.]+):1\]\r\nok\r\n$)")
                                   .match(QString::fromLatin1(answer));
                QVERIFY2(m.hasMatch(), answer.constData());
                QCOMPARE(m.captured(1).toDouble(), p.x);
                QCOMPARE(m.captured(2).toDouble(), p.y);
                const double z = m.captured(3).toDouble();
                QVERIFY2(z <= p.surface + 1e-9 && z > p.surface - 0.004 - 1e-9, answer.constData());
            }
            board.stop();
        }
    }

    void overridesChangeTheRateAndTheTime() {
        QTemporaryDir dir;
        const QString log = dir.filePath("board.log");
        Grbl board({"--max-rate", "6000", "--log", log});
        QCOMPARE(board.until(welcome), welcome);
        QVERIFY(board.status().contains("|WCO:"));
        QVERIFY(board.status().contains("|Ov:100,100,100>"));
        // 100 % + 12 x 10 % and + 1 %: 200 %; the spindle 10 x -10 %: 10 %. Ov comes in the report after a change.
        QVERIFY(board.send(QByteArray("\x91").repeated(12) + "\x93\x96" + QByteArray("\x9b").repeated(10)));
        QVERIFY(board.status().endsWith("|Ov:200,50,10>\r\n"));
        QVERIFY(!board.status().contains("Ov:"));
        QVERIFY(board.send("\x9b\x91"));
        QVERIFY(!board.status().contains("Ov:")); // both at their limits: nothing changed
        QVERIFY(board.send("\x99"));
        QVERIFY(board.status().endsWith("|Ov:200,50,100>\r\n"));

        // The same feed move at 200 %, 100 % and 50 %, then at 100 % sped up to 200 % on its way; rapids at 50 %
        // and 100 %. Each program's time on the board's own clock is in its log.
        const QList<std::pair<QByteArray, QByteArray>> runs{
            {"", "FS:1200,0"}, {"\x90", "FS:600,0"}, {"\x92\x92\x92\x92\x92", "FS:300,0"}, {"\x90", ""},
        };
        for (const auto& [bytes, rate] : runs) {
            QVERIFY(board.send(bytes + "G91 G1 X6 F600\nM2\n"));
            QCOMPARE(board.answers(1), QByteArray("ok\r\n"));
            if (rate.isEmpty()) {
                board.within(100);
                QVERIFY(board.send(QByteArray("\x91").repeated(10)));
            }
            const QByteArray report = board.status();
            QVERIFY2(report.startsWith("<Run|") && report.contains(rate.isEmpty() ? "FS:1200,0" : rate),
                     report.constData());
            QCOMPARE(board.answers(1), QByteArray("[MSG:Pgm End]\r\nok\r\n"));
        }
        for (const char* bytes : {"\x96", "\x95"}) {
            QVERIFY(board.send(QByteArray(bytes) + "G91 G0 X6\nM2\n"));
            QCOMPARE(board.answers(2), QByteArray("ok\r\n[MSG:Pgm End]\r\nok\r\n"));
        }
        QCOMPARE(board.stop(), positionLine("36.000", "0.000", "0.000"));
        const QList<int> times = programTimes(log);
        QCOMPARE(times.size(), 6);
        QVERIFY2(times[0] < times[1] && times[1] < times[2], qPrintable(QString::number(times[1])));
        QVERIFY2(times[0] < times[3] && times[3] < times[1], qPrintable(QString::number(times[3])));
        QVERIFY2(times[4] > times[5], qPrintable(QString::number(times[5])));
    }

    void theCutLogFollowsTheFeedMoves() {
        QTemporaryDir dir;
        // Plain PGM: the bottom row (Y 0 to 1) rises 0.1 mm a pixel from -0.4, the top row stands apart.
        QFile map(dir.filePath("map.pgm"));
        QVERIFY(map.open(QIODevice::WriteOnly));
        map.write("P2\n5 2\n# greys\n255\n90 90 90 90 90\n10 20 30 40 50\n");
        map.close();
        const QString cuts = dir.filePath("cuts.txt");
        {
            Grbl board({"--surface", map.fileName(), "--surface-z", "-0.5", "--cut-log", cuts, "--cut-log-every", "1",
                        "--max-rate", "6000"});
            QCOMPARE(board.until(welcome), welcome);
            QVERIFY(board.send("G0 X1 Y0.5 Z2\nG1 Z-1 F6000\nX3.5\nG0 Z1\nM2\n"));
            QCOMPARE(board.answers(5), QByteArray("ok\r\nok\r\nok\r\nok\r\n[MSG:Pgm End]\r\nok\r\n"));
            // A feed move that a reset stops has cut as far as it went.
            QVERIFY(board.send("G1 X10 F60\n"));
            QCOMPARE(board.answers(1), QByteArray("ok\r\n"));
            board.within(200);
            QVERIFY(board.send("\x18"));
            QCOMPARE(board.until(unlock), "ALARM:3\r\n" + welcome + unlock);
            board.stop();
        }
        QFile file(cuts);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QList<QByteArray> lines = file.readAll().split('\n');
        QCOMPARE(lines.takeLast(), QByteArray());
        QCOMPARE(lines.size(), 7);
        const QByteArray stopped = lines.takeLast();
        const QList<QByteArray> expected{
            "1.0000 0.5000 1.0000 -0.3000",  "1.0000 0.5000 0.0000 -0.3000",  "1.0000 0.5000 -1.0000 -0.3000",
            "2.0000 0.5000 -1.0000 -0.2000", "3.0000 0.5000 -1.0000 -0.1000", "3.5000 0.5000 -1.0000 -0.1000",
        };
        QCOMPARE(lines, expected);
        const QList<QByteArray> fields = stopped.split(' ');
        QCOMPARE(fields.size(), 4);
        QVERIFY2(fields[0].toDouble() > 3.5 && fields[0].toDouble() < 10, stopped.constData());
        QCOMPARE(fields.mid(1, 2), (QList<QByteArray>{"0.5000", "1.0000"}));
        QVERIFY(fields[3] == "-0.1000" || fields[3] == "0.0000");
    }

    void usage() {
        QProcess help;
        help.start(boardBinary, {"--help"});
        QVERIFY(help.waitForFinished(5000));
        const QByteArray text = help.readAllStandardOutput();
        for (const char* option : {"--grbl", "--baud", "--no-welcome", "--max-rate", "--travel", "--alarm-at", "--homing",
                                   "--surface", "--surface-cell", "--surface-z", "--cut-log", "--cut-log-every"})
            QVERIFY2(text.contains(option), option);
        for (const QStringList& bad :
             {QStringList{"--grbl", "--lowercase"}, QStringList{"--grbl", "--step-rate", "5"},
              QStringList{"--travel", "5"}, QStringList{"--no-welcome"}, QStringList{"--grbl", "--baud", "1234"},
              QStringList{"--grbl", "--alarm-at", "0"}, QStringList{"--grbl", "--no-welcome=1"},
              QStringList{"--homing"}, QStringList{"--grbl", "--surface", "tilt:1"},
              QStringList{"--grbl", "--surface", "flat:-1", "--surface-cell", "0"},
              QStringList{"--grbl", "--surface-z", "-1"}, QStringList{"--grbl", "--surface", "/nonexistent/map.pgm"},
              QStringList{"--grbl", "--cut-log-every", "1"}}) {
            QProcess p;
            p.start(boardBinary, bad);
            QVERIFY(p.waitForFinished(5000));
            QVERIFY2(p.exitCode() == 2, qPrintable(bad.join(' ')));
            QVERIFY(p.readAllStandardError().contains("usage: zelmar-board"));
        }
    }
};

QTEST_GUILESS_MAIN(GrblBoardTest)
#include "test_grbl_board.moc"
