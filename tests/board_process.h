#pragma once
// zelmar-board as a child process of a test, and a client's end of the device it opens.

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace zelmar::testing {

inline const QString boardBinary = QStringLiteral(ZELMAR_BIN_DIR "/zelmar-board");

// Opens a serial device the way a client does: raw, non-blocking, not as controlling terminal; -1 when it
// cannot.
inline int openRaw(const QString& path) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return -1;
    termios line{};
    if (::tcgetattr(fd, &line) != 0) {
        ::close(fd);
        return -1;
    }
    ::cfmakeraw(&line);
    ::tcsetattr(fd, TCSANOW, &line);
    return fd;
}

// zelmar-board started with `args`: `device` is the first line it prints (empty when none comes within 5 s),
// and a board still running when this goes is killed.
class BoardProcess {
public:
    explicit BoardProcess(const QStringList& args) {
        process.start(boardBinary, args);
        QElapsedTimer clock;
        clock.start();
        while (!process.canReadLine() && process.state() != QProcess::NotRunning && clock.elapsed() < 5000)
            process.waitForReadyRead(100);
        if (process.canReadLine())
            device = QString::fromLocal8Bit(process.readLine().trimmed());
    }
    BoardProcess(const BoardProcess&) = delete;
    BoardProcess& operator=(const BoardProcess&) = delete;
    ~BoardProcess() {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(2000);
        }
    }

    // What the board printed after the device, once it has ended by itself; otherwise why not.
    QByteArray finished() {
        if (!process.waitForFinished(5000) || process.exitStatus() != QProcess::NormalExit)
            return "did not finish";
        if (process.exitCode() != 0)
            return "exit status " + QByteArray::number(process.exitCode());
        return process.readAllStandardOutput();
    }

    QProcess process;
    QString device;
};

} // namespace zelmar::testing
