// zelmar-board as the program meets it: a raw serial device that answers move commands, and its fault modes.

#include "board_process.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <memory>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

using zelmar::testing::boardBinary;
using zelmar::testing::openRaw;

struct Received {
    QByteArray bytes;
    bool lost = false; // the line hung up or failed
};

// What arrives until `until` is among it, the line is lost or `ms` pass.
Received receive(int fd, QByteArrayView until, int ms) {
    Received r;
    QElapsedTimer clock;
    clock.start();
    while (!(until.size() > 0 && r.bytes.contains(until))) {
        const auto left = ms - clock.elapsed();
        if (left <= 0)
            break;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0)
            continue;
        char buffer[256];
        const auto n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            r.bytes.append(buffer, static_cast<qsizetype>(n));
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            r.lost = true;
            break;
        }
    }
    return r;
}

// Everything that arrives within `ms`.
QByteArray receiveFor(int fd, int ms) {
    return receive(fd, {}, ms).bytes;
}

bool send(int fd, QByteArrayView bytes) {
    return ::write(fd, bytes.data(), static_cast<std::size_t>(bytes.size())) == bytes.size();
}

QByteArray positionLine(qint64 x, qint64 y, qint64 z) {
    return QByteArray("position ") + QByteArray::number(x) + ' ' + QByteArray::number(y) + ' ' +
           QByteArray::number(z) + '\n';
}

// A running board with a client connected to its device.
class Board : public zelmar::testing::BoardProcess {
public:
    explicit Board(const QStringList& args) : BoardProcess(args) {
        if (!device.isEmpty())
            fd = openRaw(device);
    }
    ~Board() { disconnect(); }
    void disconnect() {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    // One command and its answer, taken to be complete once `expected` has arrived.
    Received command(QByteArrayView text, QByteArrayView expected = "OK", int ms = 2000) {
        if (!send(fd, text))
            return {{}, true};
        return receive(fd, expected, ms);
    }
    // Closes standard input of a board run with --stdin-control; returns the lines printed after the device.
    QByteArray stop() {
        process.closeWriteChannel();
        return finished();
    }

    int fd = -1;
};

// The usual setup: answers at once, stopped through standard input.
QStringList quick(const QStringList& extra = {}) {
    return QStringList{"--stdin-control", "--delay-ms", "0"} + extra;
}

QByteArray readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class BoardTest : public QObject {
    Q_OBJECT
private slots:
    void theDeviceIsARawTerminal() {
        Board board(quick());
        QVERIFY(board.device.startsWith("/dev/"));
        QVERIFY(board.fd >= 0);
        QVERIFY(::isatty(board.fd));
        termios line{};
        QCOMPARE(::tcgetattr(board.fd, &line), 0);
        QCOMPARE(::cfgetispeed(&line), speed_t(B9600));
        QCOMPARE(line.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), tcflag_t(CS8 | CRTSCTS));
        QCOMPARE(board.stop(), positionLine(0, 0, 0));
    }

    void eachCommandIsAnsweredWithOkAndMovesTheBoard() {
        Board board(quick());
        for (const char* command : {"-150,0,450;", "300,450,-750;", "-1500,0,300;"}) {
            const Received r = board.command(command);
            QCOMPARE(r.bytes, QByteArray("OK"));
        }
        QCOMPARE(receiveFor(board.fd, 50), QByteArray()); // exactly one answer each
        QCOMPARE(board.stop(), positionLine(-1350, 450, 0));
    }

    void commandsMayArriveInPiecesOrTogether() {
        Board board(quick());
        QVERIFY(send(board.fd, "-15"));
        QVERIFY(send(board.fd, "0,0,4"));
        QCOMPARE(receiveFor(board.fd, 30), QByteArray());
        QCOMPARE(board.command("50;").bytes, QByteArray("OK"));
        QCOMPARE(board.command("1,1,1;2,2,2;", "OKOK").bytes, QByteArray("OKOK"));
        // Line ends and blanks a terminal program might send before a command are not part of it.
        QCOMPARE(board.command("\r\n \t3,0,0;").bytes, QByteArray("OK"));
        QCOMPARE(board.stop(), positionLine(-144, 3, 453));
    }

    void thePositionOutgrowsTheCounts() {
        Board board(quick());
        for (int i = 0; i < 3; ++i)
            QCOMPARE(board.command("2147483647,-2147483648,-0;").bytes, QByteArray("OK"));
        QCOMPARE(board.stop(), positionLine(3 * 2147483647LL, -3 * 2147483648LL, 0));
    }

    void malformedCommandsAreIgnored() {
        Board board(quick());
        QByteArray all;
        for (const char* bad :
             {"1,2;", "1,2,3,4;", "+1,2,3;", "1, 2,3;", "1,2,3 ;", "a,b,c;", "1,,3;", "--1,2,3;", "1.5,0,0;",
              "2147483648,0,0;", "0,-2147483649,0;", ";", "1\r\n,2,3;"})
            all += bad;
        all += QByteArray(1000, '7') + ",0,0;"; // far too long for any count
        // Anything answered before the valid command would show up ahead of its "OK".
        QCOMPARE(board.command(all + "10,20,30;").bytes, QByteArray("OK"));
        QCOMPARE(board.stop(), positionLine(10, 20, 30));
    }

    void malformedCommandsAreRejectedOnRequest() {
        Board board(quick({"--reject-malformed"}));
        for (const char* bad : {"1,2;", "1,2,3,4;", "+1,2,3;", "1, 2,3;", "a,b,c;", "-,0,0;", "1,2,3x;",
                                "2147483648,0,0;", "0,0,-2147483649;", "99999999999999999999,0,0;", ";"}) {
            const Received r = board.command(bad, "ERR");
            QVERIFY2(r.bytes == "ERR", bad);
        }
        // The edges of the grammar that are valid.
        for (const char* good : {"2147483647,0,0;", "-2147483648,0,0;", "007,-0,0;"})
            QVERIFY2(board.command(good).bytes == "OK", good);
        QCOMPARE(board.stop(), positionLine(6, 0, 0));
    }

    void theAnswerWaitsForTheLongestAxis() {
        {
            Board board({"--stdin-control", "--step-rate", "1000", "--max-delay-ms", "1000"});
            QElapsedTimer clock;
            clock.start();
            // 200 ms for each axis: the longest is 200 ms, the sum 600 ms, three times as long, so that a
            // machine busy with other work does not blur the two.
            QCOMPARE(board.command("-200,200,200;").bytes, QByteArray("OK"));
            QVERIFY2(clock.elapsed() >= 195 && clock.elapsed() < 600,
                     qPrintable(QString::number(clock.elapsed())));
            board.stop();
        }
        {
            Board board({"--stdin-control", "--step-rate", "1000", "--max-delay-ms", "100"});
            QElapsedTimer clock;
            clock.start();
            // Capped: uncapped this would take 1000 s.
            QCOMPARE(board.command("0,0,-1000000;").bytes, QByteArray("OK"));
            QVERIFY2(clock.elapsed() >= 95 && clock.elapsed() < 900,
                     qPrintable(QString::number(clock.elapsed())));
            board.stop();
        }
    }

    void aFixedDelayAndLateAnswers() {
        Board board(quick({"--delay-ms", "80", "--answer-late-ms", "40"}));
        QElapsedTimer clock;
        clock.start();
        QVERIFY(send(board.fd, "0,0,0;1000000,0,0;"));
        // Whatever the move, 120 ms each; the board takes one move after the other.
        QCOMPARE(receive(board.fd, "OK", 2000).bytes, QByteArray("OK"));
        QVERIFY2(clock.elapsed() >= 115, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(receive(board.fd, "OK", 2000).bytes, QByteArray("OK"));
        QVERIFY2(clock.elapsed() >= 235, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(board.stop(), positionLine(1000000, 0, 0));
    }

    void aSplitAnswerComesInTwoWrites() {
        Board board(quick({"--split", "--split-pause-ms", "60"}));
        for (int i = 0; i < 2; ++i) {
            QVERIFY(send(board.fd, "5,6,7;"));
            QCOMPARE(receive(board.fd, "O", 2000).bytes, QByteArray("O"));
            QElapsedTimer clock;
            clock.start();
            QCOMPARE(receive(board.fd, "K", 2000).bytes, QByteArray("K"));
            QVERIFY2(clock.elapsed() >= 45, qPrintable(QString::number(clock.elapsed())));
        }
        QCOMPARE(board.stop(), positionLine(10, 12, 14));
    }

    void noiseSurroundsTheAnswer() {
        Board board(quick({"--noise", "--seed", "7"}));
        QSet<QByteArray> answers;
        for (int i = 0; i < 8; ++i) {
            Received r = board.command("1,-1,2;");
            r.bytes += receiveFor(board.fd, 20); // the tail of the same answer
            QCOMPARE(r.bytes.count("OK"), 1);
            QVERIFY2(r.bytes.size() > 2, r.bytes.constData());
            QVERIFY(!r.bytes.contains("ok"));
            for (const char c : r.bytes)
                QVERIFY2((c >= ' ' && c <= '~') || c == '\r' || c == '\n', r.bytes.constData());
            answers.insert(r.bytes);
        }
        QVERIFY(answers.size() > 1); // not one fixed decoration
        QCOMPARE(board.stop(), positionLine(8, -8, 16));
    }

    void lowercaseAnswers() {
        Board board(quick({"--lowercase"}));
        QCOMPARE(board.command("1,0,0;", "ok").bytes, QByteArray("ok"));
        QCOMPARE(board.command("1,0,0;", "ok").bytes, QByteArray("ok"));
        QCOMPARE(board.stop(), positionLine(2, 0, 0));
    }

    void aSilentBoardNeitherAnswersNorMoves() {
        QTemporaryDir dir;
        Board board(quick({"--silent-after", "2", "--log", dir.filePath("log")}));
        QCOMPARE(board.command("1,2,3;").bytes, QByteArray("OK"));
        QCOMPARE(board.command("1,2,3;").bytes, QByteArray("OK"));
        const Received r = board.command("1,2,3;", "OK", 150);
        QCOMPARE(r.bytes, QByteArray());
        QVERIFY(!r.lost);
        QCOMPARE(board.command("4,5,6;", "OK", 50).bytes, QByteArray());
        QCOMPARE(board.stop(), positionLine(2, 4, 6));
        const QList<QByteArray> lines = readFile(dir.filePath("log")).split('\n');
        QCOMPARE(lines.size(), 5); // four commands and the end of the last line
        QVERIFY(lines[2].endsWith("\"1,2,3;\" ignored (silent)"));
        QVERIFY(lines[3].endsWith("\"4,5,6;\" ignored (silent)"));
    }

    void aHangUpEndsTheLineAndTheBoard() {
        for (const int answered : {0, 2}) {
            Board board({"--hangup-after", QString::number(answered)});
            for (int i = 0; i < answered; ++i)
                QCOMPARE(board.command("-3,0,1;").bytes, QByteArray("OK"));
            // The command after the last answer is not carried out: the client waits and the line goes.
            const Received r = board.command("-3,0,1;", "OK", 2000);
            QVERIFY(r.lost);
            QVERIFY(!r.bytes.contains("OK"));
            QCOMPARE(board.finished(), positionLine(-3 * answered, 0, answered));
        }
    }

    void aClientMayCloseAndReopenTheLine() {
        Board board(quick());
        QCOMPARE(board.command("100,0,0;").bytes, QByteArray("OK"));
        board.disconnect();
        board.fd = openRaw(board.device);
        QVERIFY(board.fd >= 0);
        QCOMPARE(board.command("0,100,0;").bytes, QByteArray("OK"));
        QCOMPARE(board.stop(), positionLine(100, 100, 0));
    }

    void aSignalOrACommandCountStopsTheBoard() {
        {
            Board board({"--delay-ms", "0"});
            QCOMPARE(board.command("7,8,9;").bytes, QByteArray("OK"));
            board.process.terminate();
            QCOMPARE(board.finished(), positionLine(7, 8, 9));
        }
        {
            Board board({"--delay-ms", "30", "--exit-after-commands", "2"});
            QCOMPARE(board.command("1,1,1;").bytes, QByteArray("OK"));
            // It stops after answering the second, whatever else arrives.
            const Received r = board.command("1,1,1;5,5,5;", "OK", 2000);
            QCOMPARE(r.bytes, QByteArray("OK"));
            QCOMPARE(board.finished(), positionLine(2, 2, 2));
        }
    }

    void theLinkPointsToTheDeviceWhileTheBoardRuns() {
        QTemporaryDir dir;
        const QString link = dir.filePath("port");
        QVERIFY(QFile::link("/nonexistent/stale", link)); // a stale link from an earlier run is replaced
        {
            Board board(quick({"--link", link}));
            QCOMPARE(QFileInfo(link).symLinkTarget(), board.device);
            const int fd = openRaw(link);
            QVERIFY(fd >= 0);
            QVERIFY(send(fd, "0,0,-5;"));
            QCOMPARE(receive(fd, "OK", 2000).bytes, QByteArray("OK"));
            ::close(fd);
            QCOMPARE(board.stop(), positionLine(0, 0, -5));
        }
        QVERIFY(!QFileInfo(link).isSymLink());
        QVERIFY(!QFileInfo::exists(link));

        // A file that is not a link is never replaced.
        const QString file = dir.filePath("file");
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("keep");
        f.close();
        QProcess p;
        p.start(boardBinary, {"--link", file});
        QVERIFY(p.waitForFinished(5000));
        QCOMPARE(p.exitCode(), 1);
        QCOMPARE(readFile(file), QByteArray("keep"));
    }

    void theLogHasALinePerCommand() {
        QTemporaryDir dir;
        const QString path = dir.filePath("board.log");
        const QDateTime before = QDateTime::currentDateTimeUtc().addMSecs(-1);
        Board board(quick({"--log", path, "--reject-malformed", "--hangup-after", "3"}));
        QCOMPARE(board.command("-150,0,450;").bytes, QByteArray("OK"));
        QCOMPARE(board.command("\r\n1,x\"\x01,3;", "ERR").bytes, QByteArray("ERR"));
        QCOMPARE(board.command("300,450,-750;").bytes, QByteArray("OK"));
        QVERIFY(board.command("1,1,1;").lost);
        QCOMPARE(board.finished(), positionLine(150, 450, -300));
        const QDateTime after = QDateTime::currentDateTimeUtc().addMSecs(1);

        const QList<QByteArray> lines = readFile(path).split('\n');
        QCOMPARE(lines.size(), 5);
        QVERIFY(lines[4].isEmpty());
        const QRegularExpression form(R"re(^(\S+) "(.*)" (.*)$)re");
        const QStringList texts{"-150,0,450;", R"(1,x\"\x01,3;)", "300,450,-750;", "1,1,1;"};
        const QStringList outcomes{"position -150 0 450", "malformed (answered ERR)", "position 150 450 -300",
                                   "hang-up"};
        QDateTime previous = before;
        for (int i = 0; i < 4; ++i) {
            const auto m = form.match(QString::fromLatin1(lines[i]));
            QVERIFY2(m.hasMatch(), lines[i].constData());
            const QDateTime stamp = QDateTime::fromString(m.captured(1), Qt::ISODateWithMs);
            QVERIFY2(stamp.isValid() && m.captured(1).endsWith('Z'), lines[i].constData());
            QVERIFY(stamp >= previous && stamp <= after);
            previous = stamp;
            QCOMPARE(m.captured(2), texts[i]);
            QCOMPARE(m.captured(3), outcomes[i]);
        }
    }

    void theLogMayGoToStandardError() {
        Board board(quick({"--log", "-"}));
        QCOMPARE(board.command("2,0,0;").bytes, QByteArray("OK"));
        QCOMPARE(board.stop(), positionLine(2, 0, 0));
        const QByteArray err = board.process.readAllStandardError();
        QCOMPARE(err.count('\n'), 1);
        QVERIFY(err.endsWith("\"2,0,0;\" position 2 0 0\n"));
    }

    void usage() {
        QProcess help;
        help.start(boardBinary, {"--help"});
        QVERIFY(help.waitForFinished(5000));
        QCOMPARE(help.exitCode(), 0);
        const QByteArray text = help.readAllStandardOutput();
        QVERIFY(text.startsWith("usage: zelmar-board"));
        for (const char* option :
             {"--link", "--log", "--step-rate", "--max-delay-ms", "--delay-ms", "--answer-late-ms",
              "--reject-malformed", "--silent-after", "--hangup-after", "--split", "--split-pause-ms",
              "--noise", "--lowercase", "--exit-after-commands", "--stdin-control"})
            QVERIFY2(text.contains(option), option);

        for (const QStringList& bad :
             {QStringList{"--bogus"}, QStringList{"--delay-ms"}, QStringList{"--delay-ms", "x"},
              QStringList{"--delay-ms", "-1"}, QStringList{"--step-rate", "0"}, QStringList{"--log"},
              QStringList{"--split=1"}, QStringList{"stray"}}) {
            QProcess p;
            p.start(boardBinary, bad);
            QVERIFY(p.waitForFinished(5000));
            QVERIFY2(p.exitCode() == 2, qPrintable(bad.join(' ')));
            QVERIFY(p.readAllStandardOutput().isEmpty());
            QVERIFY(p.readAllStandardError().contains("usage: zelmar-board"));
        }
    }
};

QTEST_GUILESS_MAIN(BoardTest)
#include "test_board.moc"
