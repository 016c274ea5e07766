// Why the board's port did not open: no permission (the dialout group), held by another program, or no such
// device; told in Label4's tooltip (its text stays "Ошибка открытия Com-порта") and after zelmar-cli's
// message. Root may open any device whatever its modes, so as root the permission cases run as the user
// nobody.

#include "board_harness.h"
#include "link/port_access.h"
#include "texts/port_texts.h"

#include <QApplication>
#include <QLabel>
#include <QProcess>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace zelmar;
using testing::RawLine;
using testing::WindowOnBoard;

namespace {

constexpr const char* nobody = "65534";

struct Run {
    int status = -1;
    QString err;
};

Run run(const QString& program, const QStringList& args) {
    QProcess p;
    p.start(program, args);
    p.waitForFinished(60000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            QString::fromUtf8(p.readAllStandardError() + p.readAllStandardOutput())};
}

QStringList asNobody(const QStringList& command) {
    return QStringList{"--reuid", nobody, "--regid", nobody, "--clear-groups", "--"} + command;
}

bool canBecomeNobody() {
    return run(QStringLiteral("setpriv"), asNobody({"true"})).status == 0;
}

// Copies of files that nobody can read and run: the build tree may lie in a folder closed to it.
QString openCopy(const QTemporaryDir& dir, const QString& path) {
    const QString copy = dir.filePath(QFileInfo(path).fileName());
    QFile::copy(path, copy);
    ::chmod(QFile::encodeName(dir.path()).constData(), 0755);
    ::chmod(QFile::encodeName(copy).constData(), 0755);
    return copy;
}

QString tooltipOfLabel4(const WindowOnBoard& w) {
    return w.form->findChild<QLabel*>("Label4")->toolTip();
}

PortProbe probe(bool exists, bool accessible, const QString& group = "dialout", bool processInGroup = false,
                bool listed = false) {
    PortProbe p;
    p.devicePath = "/dev/ttyUSB0";
    p.exists = exists;
    p.accessible = accessible;
    p.groupName = group;
    p.processInGroup = processInGroup;
    p.userListedInGroup = listed;
    p.userName = "ivan";
    return p;
}

} // namespace

class PortAccessTest : public QObject {
    Q_OBJECT
private slots:
    void devicePathsAsQtCompletesThem() {
        QCOMPARE(portDevicePath("ttyUSB0"), QStringLiteral("/dev/ttyUSB0"));
        QCOMPARE(portDevicePath("/dev/ttyACM1"), QStringLiteral("/dev/ttyACM1"));
        QCOMPARE(portDevicePath("./board-port"), QStringLiteral("./board-port"));
        QCOMPARE(portDevicePath("../board-port"), QStringLiteral("../board-port"));
        QCOMPARE(portDevicePath("build/bin/board-port"), QStringLiteral("/dev/build/bin/board-port"));
    }

    void classification_data() {
        QTest::addColumn<int>("error");
        QTest::addColumn<bool>("exists");
        QTest::addColumn<bool>("accessible");
        QTest::addColumn<int>("problem");
        QTest::newRow("no permission")
            << int(QSerialPort::PermissionError) << true << false << int(PortProblem::NoPermission);
        // Qt's word for a port locked by another program is the same PermissionError.
        QTest::newRow("allowed but locked: busy")
            << int(QSerialPort::PermissionError) << true << true << int(PortProblem::Busy);
        QTest::newRow("not there") << int(QSerialPort::DeviceNotFoundError) << false << true
                                   << int(PortProblem::NotFound);
        QTest::newRow("gone between open and probe")
            << int(QSerialPort::PermissionError) << false << false << int(PortProblem::NotFound);
        QTest::newRow("not a serial device")
            << int(QSerialPort::UnsupportedOperationError) << true << true << int(PortProblem::Other);
        QTest::newRow("any error, modes forbid it")
            << int(QSerialPort::OpenError) << true << false << int(PortProblem::NoPermission);
    }
    void classification() {
        QFETCH(int, error);
        QFETCH(bool, exists);
        QFETCH(bool, accessible);
        QFETCH(int, problem);
        QCOMPARE(int(classifyOpenFailure(QSerialPort::SerialPortError(error), probe(exists, accessible))),
                 problem);
    }

    void hints_data() {
        QTest::addColumn<int>("problem");
        QTest::addColumn<QString>("group");
        QTest::addColumn<bool>("processInGroup");
        QTest::addColumn<bool>("listed");
        QTest::addColumn<QStringList>("says");
        QTest::addColumn<QStringList>("doesNotSay");
        const int noPermission = int(PortProblem::NoPermission);
        QTest::newRow("outside dialout") << noPermission << "dialout" << false << false
                                         << QStringList{"Нет прав на порт /dev/ttyUSB0", "группы dialout",
                                                        "sudo usermod -aG dialout ivan", "войдите снова"}
                                         << QStringList{"уже в группе"};
        QTest::newRow("another group owns the device")
            << noPermission << "uucp" << false << false
            << QStringList{"группы uucp", "sudo usermod -aG uucp ivan"} << QStringList{"dialout"};
        QTest::newRow("root or tty: dialout is the usual answer")
            << noPermission << "tty" << false << false
            << QStringList{"обычно доступны группе dialout", "-aG dialout ivan"} << QStringList{"группы tty"};
        QTest::newRow("joined, not logged in again")
            << noPermission << "dialout" << false << true
            << QStringList{"ivan уже в группе dialout", "выйдите из системы и войдите снова"}
            << QStringList{"usermod"};
        QTest::newRow("in the group, modes still forbid")
            << noPermission << "dialout" << true << true
            << QStringList{"хотя пользователь в группе dialout", "ls -l /dev/ttyUSB0"}
            << QStringList{"usermod"};
        QTest::newRow("busy") << int(PortProblem::Busy) << "dialout" << false << false
                              << QStringList{"Порт /dev/ttyUSB0 занят другой программой"}
                              << QStringList{"dialout", "usermod"};
        QTest::newRow("not found") << int(PortProblem::NotFound) << "" << false << false
                                   << QStringList{"Устройство /dev/ttyUSB0 не найдено", "ищется в /dev"}
                                   << QStringList{"dialout"};
    }
    void hints() {
        QFETCH(int, problem);
        QFETCH(QString, group);
        QFETCH(bool, processInGroup);
        QFETCH(bool, listed);
        QFETCH(QStringList, says);
        QFETCH(QStringList, doesNotSay);
        const QString hint =
            portProblemHint(PortProblem(problem), probe(true, false, group, processInGroup, listed));
        for (const QString& s : says)
            QVERIFY2(hint.contains(s), qPrintable(hint));
        for (const QString& s : doesNotSay)
            QVERIFY2(!hint.contains(s), qPrintable(hint));
    }

    // The line reports a code; each code reads as its own sentence, and an open port as none.
    void hintCodesInWords_data() {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("says");
        QTest::addColumn<QString>("doesNotSay");
        using Code = PortHint::Code;
        QTest::newRow("opened") << int(Code::None) << "" << "Порт";
        QTest::newRow("settings refused")
            << int(Code::SettingsRefused) << "Порт /dev/ttyUSB0 открылся, но не принял настройки линии" << "Нет прав";
        QTest::newRow("no permission") << int(Code::NoPermission) << "Нет прав на порт /dev/ttyUSB0" << "настройки";
        QTest::newRow("busy") << int(Code::Busy) << "занят другой программой" << "Нет прав";
        QTest::newRow("not found") << int(Code::NotFound) << "Устройство /dev/ttyUSB0 не найдено" << "занят";
        QTest::newRow("other") << int(Code::Other) << "Порт /dev/ttyUSB0 не открылся." << "настройки";
    }
    void hintCodesInWords() {
        QFETCH(int, code);
        QFETCH(QString, says);
        QFETCH(QString, doesNotSay);
        PortHint hint;
        hint.code = PortHint::Code(code);
        hint.portName = "ttyUSB0";
        hint.probe = probe(true, false);
        const QString words = QString::fromStdString(portHintText(hint));
        if (says.isEmpty())
            QVERIFY2(words.isEmpty(), qPrintable(words));
        QVERIFY2(words.contains(says), qPrintable(words));
        QVERIFY2(!words.contains(doesNotSay), qPrintable(words));
    }

    void probingARealDevice() {
        RawLine line;
        const PortProbe there = probePort(line.path);
        QVERIFY(there.exists);
        QVERIFY(there.accessible); // ours
        QVERIFY(!there.groupName.isEmpty());
        QVERIFY(!probePort("/dev/zelmar-no-such-device").exists);
    }

    // The port exists, the user may not open it: the status line keeps its words, the tooltip says what to
    // do.
    void theWindowSaysWhatToDoWithoutPermission() {
        if (::geteuid() == 0) {
            if (!canBecomeNobody())
                QSKIP("root, and setpriv cannot switch to nobody here");
            QTemporaryDir dir;
            const QString self = openCopy(dir, QCoreApplication::applicationFilePath());
            QProcess p;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("HOME", dir.path());
            env.insert("XDG_RUNTIME_DIR", dir.path());
            p.setProcessEnvironment(env);
            p.start("setpriv", asNobody({self, "theWindowSaysWhatToDoWithoutPermission"}));
            QVERIFY(p.waitForFinished(60000));
            const QString out = QString::fromUtf8(p.readAllStandardOutput() + p.readAllStandardError());
            QVERIFY2(p.exitCode() == 0 &&
                         out.contains("PASS   : PortAccessTest::theWindowSaysWhatToDoWithoutPermission"),
                     qPrintable(out));
            return;
        }
        RawLine line;
        QVERIFY(::chmod(QFile::encodeName(line.path).constData(), 0) == 0);
        QTemporaryDir dir;
        WindowOnBoard w(dir, line.path);
        QCOMPARE(w.label("Label4"), QStringLiteral("Ошибка открытия Com-порта"));
        // Mode 000 shuts out even the device's owner and group, so the hint may be the one about its modes.
        const QString tip = tooltipOfLabel4(w);
        QVERIFY2(tip.startsWith("Нет прав на") && tip.contains(line.path), qPrintable(tip));
        QVERIFY(tip.contains("usermod -aG") || tip.contains("ls -l " + line.path));
    }

    void zelmarCliSaysWhatToDoWithoutPermission() {
        RawLine line;
        QString cli = QStringLiteral(ZELMAR_BIN_DIR "/zelmar-cli");
        QString image = QStringLiteral(ZELMAR_BIN_DIR "/test.bmp");
        QTemporaryDir dir;
        Run r;
        const QStringList args{"move=1,0,0", "--port", line.path};
        if (::geteuid() == 0) {
            if (!canBecomeNobody())
                QSKIP("root, and setpriv cannot switch to nobody here");
            cli = openCopy(dir, cli);
            image = openCopy(dir, image);
            r = run("setpriv", asNobody(QStringList{cli, image} + args)); // a root-owned device, mode 620
            QVERIFY2(r.err.contains("sudo usermod -aG dialout nobody"), qPrintable(r.err));
        } else {
            QVERIFY(::chmod(QFile::encodeName(line.path).constData(), 0) == 0);
            r = run(cli, QStringList{image} + args);
        }
        QCOMPARE(r.status, 1);
        const QStringList lines = r.err.split('\n', Qt::SkipEmptyParts);
        QVERIFY2(lines.size() >= 2, qPrintable(r.err));
        QCOMPARE(lines[0], "Ошибка открытия Com-порта: " + line.path); // the line scripts know, unchanged
        QVERIFY2(lines[1].startsWith("Нет прав на") && lines[1].contains(line.path), qPrintable(r.err));
        QCOMPARE(line.receive(), QByteArray()); // nothing reached the line
    }

    // Held by another program (here, this test): allowed, and still refused.
    void aBusyPortIsNotCalledAPermissionProblem() {
        RawLine line;
        QSerialPort holder(line.path);
        QVERIFY(holder.open(QIODevice::ReadWrite));

        const Run r = run(ZELMAR_BIN_DIR "/zelmar-cli",
                          {ZELMAR_BIN_DIR "/test.bmp", "move=1,0,0", "--port", line.path});
        QCOMPARE(r.status, 1);
        QVERIFY2(r.err.contains("Ошибка открытия Com-порта: " + line.path + "\nПорт " + line.path +
                                " занят другой программой"),
                 qPrintable(r.err));
        QVERIFY(!r.err.contains("Нет прав"));

        QTemporaryDir dir;
        WindowOnBoard w(dir, line.path);
        QCOMPARE(w.label("Label4"), QStringLiteral("Ошибка открытия Com-порта"));
        QVERIFY2(tooltipOfLabel4(w).contains("занят другой программой"), qPrintable(tooltipOfLabel4(w)));
    }

    void theTooltipNamesThePort_data() {
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("label");
        QTest::addColumn<QString>("tooltip");
        QTest::newRow("missing device") << "/dev/zelmar-absent"
                                        << "Ошибка открытия Com-порта"
                                        << "Устройство /dev/zelmar-absent не найдено";
        QTest::newRow("bare name under /dev") << "zelmar-absent"
                                              << "Ошибка открытия Com-порта"
                                              << "Устройство /dev/zelmar-absent не найдено";
        QTest::newRow("not a serial device") << "/dev/null"
                                             << "Ошибка открытия Com-порта"
                                             << "Порт /dev/null не открылся.";
    }
    void theTooltipNamesThePort() {
        QFETCH(QString, port);
        QFETCH(QString, label);
        QFETCH(QString, tooltip);
        QTemporaryDir dir;
        WindowOnBoard w(dir, port);
        QCOMPARE(w.label("Label4"), label);
        QVERIFY2(tooltipOfLabel4(w).startsWith(tooltip), qPrintable(tooltipOfLabel4(w)));
    }

    void anOpenPortShowsItsName() {
        RawLine line;
        QTemporaryDir dir;
        WindowOnBoard w(dir, line.path);
        QCOMPARE(w.label("Label4"), QStringLiteral("Com-порт открыт"));
        QCOMPARE(tooltipOfLabel4(w), "Порт: " + line.path);
    }
};

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    PortAccessTest test;
    return QTest::qExec(&test, argc, argv);
}
#include "test_port_access.moc"
