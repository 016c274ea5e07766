#pragma once
// What the end-to-end tests of the line use: the simulated board on a pseudo-terminal, a bare pseudo-terminal
// the test drives itself, and the frame and work window opened on a port and a picture of the test's own.

#include "app/main_frame.h"
#include "app/work_window.h"
#include "bmp_bytes.h"

#include <QAbstractItemModel>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QTest>
#include <QTreeView>

#include <functional>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace zelmar::testing {

// Two dark blocks on white, 20 x 12: the job "Все" has 26 moves, each block 13 (approach, plunge, ten steps,
// lift).
inline int twoBlocks(int x, int y) {
    const bool first = x >= 2 && x <= 5 && y >= 2 && y <= 4;
    const bool second = x >= 11 && x <= 14 && y >= 6 && y <= 8;
    return first || second ? 0 : 255;
}

// Where our board, started at 0, stands after these commands: its summed counts "X Y Z".
inline QString countsAfter(const QStringList& commands) {
    long long x = 0, y = 0, z = 0;
    for (const QString& c : commands) {
        const QStringList n = QString(c).remove(';').split(',');
        x += n.value(0).toLongLong();
        y += n.value(1).toLongLong();
        z += n.value(2).toLongLong();
    }
    return QStringLiteral("%1 %2 %3").arg(x).arg(y).arg(z);
}

// zelmar-board on a fresh pseudo-terminal, stopped by closing its standard input.
class Board {
public:
    explicit Board(const QStringList& faults = {}) {
        log_ = dir_.filePath("board.log");
        process_.start(QStringLiteral(ZELMAR_BIN_DIR "/zelmar-board"),
                       QStringList{"--stdin-control", "--delay-ms", "0", "--log", log_} + faults);
        process_.waitForReadyRead(5000);
        path_ = QString::fromUtf8(process_.readLine()).trimmed();
    }
    ~Board() {
        process_.kill();
        process_.waitForFinished(2000);
    }

    const QString& path() const { return path_; }
    bool isRunning() { return process_.state() == QProcess::Running; }

    // The board's last word: "position X Y Z".
    QString finish() {
        process_.closeWriteChannel();
        process_.waitForFinished(5000);
        const QStringList lines =
            QString::fromUtf8(process_.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        return lines.isEmpty() ? QString() : lines.last();
    }

    // The raw text of every command the board received, in order.
    QStringList received() const {
        QFile file(log_);
        file.open(QIODevice::ReadOnly);
        QStringList commands;
        for (const QByteArray& line : file.readAll().split('\n')) {
            const qsizetype open = line.indexOf('"');
            const qsizetype close = line.indexOf('"', open + 1);
            if (open >= 0 && close > open)
                commands << QString::fromUtf8(line.mid(open + 1, close - open - 1));
        }
        return commands;
    }

    // The board's log, line by line.
    QStringList logLines() const {
        QFile file(log_);
        file.open(QIODevice::ReadOnly);
        return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
    }

private:
    QTemporaryDir dir_;
    QString log_;
    QProcess process_;
    QString path_;
};

// A bare pseudo-terminal whose far end the test drives itself, byte by byte.
struct RawLine {
    int master = -1;
    QString path;
    RawLine() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        grantpt(master);
        unlockpt(master);
        path = QString::fromLocal8Bit(ptsname(master));
        termios t{};
        const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
        tcgetattr(slave, &t);
        cfmakeraw(&t);
        tcsetattr(slave, TCSANOW, &t);
        ::close(slave);
    }
    ~RawLine() { ::close(master); }
    void send(const QByteArray& bytes) const {
        QVERIFY(::write(master, bytes.data(), size_t(bytes.size())) == bytes.size());
    }
    QByteArray receive() const {
        QByteArray all;
        char buffer[256];
        const int flags = fcntl(master, F_GETFL);
        fcntl(master, F_SETFL, flags | O_NONBLOCK);
        for (ssize_t n; (n = ::read(master, buffer, sizeof buffer)) > 0;)
            all.append(buffer, n);
        fcntl(master, F_SETFL, flags);
        return all;
    }
};

// Runs events until the condition holds or the time is up; whether it holds. It sleeps only while no event is
// due, as the program's own event loop does (QTest::qWait sleeps between passes and would slow a job down).
inline bool waitFor(const std::function<bool()>& condition, int ms = 60000) {
    QElapsedTimer t;
    t.start();
    QTimer wakeUp; // a wait for events ends now and then, to look at the clock
    wakeUp.start(20);
    while (!condition() && t.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return condition();
}

// The frame and work window in a folder whose cnc.ini names the given port; the job journal goes to a folder
// of its own.
struct WindowOnBoard {
    QTemporaryDir journalDir;
    MainFrame frame;
    WorkWindow* form = nullptr;
    WindowOnBoard(
        const QTemporaryDir& dir, const QString& port, int timeoutSeconds = 2,
        const std::function<int(int, int)>& picture = [](int x, int) { return x < 8 ? 0 : 255; },
        int width = 16, int height = 12, const QString& journalFolder = {}, const QString& moreSettings = {})
        : frame(dir.path()) {
        QFile ini(dir.filePath("cnc.ini"));
        ini.open(QIODevice::WriteOnly | QIODevice::Truncate);
        ini.write(QStringLiteral("[CNC]\r\nPort=%1\r\nTimeout=%2\r\n%3")
                      .arg(port)
                      .arg(timeoutSeconds)
                      .arg(moreSettings)
                      .toUtf8());
        ini.close();
        QFile image(dir.filePath("test.bmp"));
        image.open(QIODevice::WriteOnly | QIODevice::Truncate);
        image.write(testing::bmpBytes(24, width, height, picture));
        image.close();
        frame.setJournalFolder(journalFolder.isEmpty() ? journalDir.path() : journalFolder);
        frame.show();
        frame.openWorkWindow();
        form = frame.workWindow();
    }
    QPushButton* button(const char* name) const { return form->findChild<QPushButton*>(name); }
    QLineEdit* box(const char* name) const { return form->findChild<QLineEdit*>(name); }
    QCheckBox* check1() const { return form->findChild<QCheckBox*>("Check1"); }
    QString label(const char* name) const { return form->findChild<QLabel*>(name)->text(); }
    void clickNode(int regionId) const {
        auto* tv = form->findChild<QTreeView*>("tv");
        QAbstractItemModel* model = tv->model();
        QModelIndexList found = model->match(model->index(0, 0), Qt::DisplayRole, QString::number(regionId),
                                             1, Qt::MatchExactly | Qt::MatchRecursive);
        QVERIFY(!found.isEmpty());
        QTest::mouseClick(tv->viewport(), Qt::LeftButton, {}, tv->visualRect(found.first()).center());
    }
    // Until the job or move that runs has ended.
    bool waitIdle(int ms = 60000) const {
        return waitFor([this] { return !form || (!form->controller().runner().isRunning() && !(form->controller().state() == JobState::Estimating)); }, ms);
    }
    void click(const char* name) const { QTest::mouseClick(button(name), Qt::LeftButton); }
    void type(const char* name, const QString& text) const {
        box(name)->clear();
        for (QChar c : text)
            QTest::keyClick(box(name), c.toLatin1());
        QCOMPARE(box(name)->text(), text);
    }
};

} // namespace zelmar::testing
