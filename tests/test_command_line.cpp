// --help and --version of the three programs: on standard output, status 0, no display needed, one version
// for all; bad usage keeps its old answers (zelmar-cli: the usage on standard error, status 2).

#include "config/startup_config.h"
#include "config/version.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QRegularExpression>
#include <QTest>

namespace {

struct Run {
    int status = -1;
    QString out;
    QString err;
};

// Without any display: a program that built its window application object would abort here.
Run runProgram(const QString& name, const QStringList& args) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* var : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(var);
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(ZELMAR_BIN_DIR "/") + name, args);
    p.waitForFinished(30000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            QString::fromUtf8(p.readAllStandardOutput()), QString::fromUtf8(p.readAllStandardError())};
}

const QStringList programs{"zelmar", "zelmar-cli", "zelmar-board"};

} // namespace

class CommandLineTest : public QObject {
    Q_OBJECT
private slots:
    void versionOfEachProgram_data() {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("option");
        for (const QString& p : programs)
            QTest::newRow(qPrintable(p + " --version")) << p << "--version";
        QTest::newRow("zelmar -v") << "zelmar"
                                   << "-v";
    }
    void versionOfEachProgram() {
        QFETCH(QString, program);
        QFETCH(QString, option);
        const Run r = runProgram(program, {option});
        QCOMPARE(r.status, 0);
        QCOMPARE(r.out, program + " " + zelmar::versionText + "\n");
        QCOMPARE(r.err, QString());
        // The one version: the window's caption carries the same.
        QVERIFY(QString::fromStdString(zelmar::workWindowCaption())
                    .endsWith(QString(" ver. ") + zelmar::versionText));
    }

    void helpOfEachProgram_data() {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("begins");
        QTest::newRow("zelmar --help")
            << "zelmar" << QStringList{"--help"} << "Использование: zelmar [ПАРАМЕТРЫ]\n";
        QTest::newRow("zelmar -h") << "zelmar" << QStringList{"-h"} << "Использование: zelmar";
        QTest::newRow("zelmar -hv, compacted")
            << "zelmar" << QStringList{"-platform", "offscreen", "-hv"} << "Использование: zelmar";
        QTest::newRow("zelmar-cli --help")
            << "zelmar-cli" << QStringList{"--help"} << "usage: zelmar-cli IMAGE";
        QTest::newRow("zelmar-cli, after an image")
            << "zelmar-cli" << QStringList{"x.bmp", "parse", "--help"} << "usage: zelmar-cli IMAGE";
        QTest::newRow("zelmar-board --help")
            << "zelmar-board" << QStringList{"--help"} << "usage: zelmar-board";
        QTest::newRow("zelmar-board -h") << "zelmar-board" << QStringList{"-h"} << "usage: zelmar-board";
    }
    void helpOfEachProgram() {
        QFETCH(QString, program);
        QFETCH(QStringList, args);
        QFETCH(QString, begins);
        if (args.contains("-platform")) {
            // Reaches the window application object: give it the platform that needs no display.
            QProcess p;
            p.start(QStringLiteral(ZELMAR_BIN_DIR "/") + program, args);
            QVERIFY(p.waitForFinished(30000));
            QCOMPARE(p.exitCode(), 0);
            QVERIFY(QString::fromUtf8(p.readAllStandardOutput()).startsWith(begins));
            return;
        }
        const Run r = runProgram(program, args);
        QCOMPARE(r.status, 0);
        QVERIFY2(r.out.startsWith(begins), qPrintable(r.out));
        QVERIFY(r.out.contains("--help") && r.out.contains("--version"));
        QCOMPARE(r.err, QString());
    }

    // The usage lines scripts know are all still there, in their order, with the new ones after them.
    void zelmarCliUsageKeepsItsLines() {
        const Run help = runProgram("zelmar-cli", {"--help"});
        const QStringList lines = help.out.split('\n', Qt::SkipEmptyParts);
        QVERIFY(lines.size() > 19);
        QCOMPARE(lines[0], QStringLiteral("usage: zelmar-cli IMAGE [OPERATION ...] [--steps N] [--port PATH] "
                                          "[--commands FILE] [--state FILE]"));
        QVERIFY(lines[16].startsWith("  --layers DIR   write DIR/source.bmp"));
        QVERIFY(lines[17].startsWith("  --journal FILE "));
        QVERIFY(lines[19].startsWith("  --resume "));
        QVERIFY(lines[21].startsWith("  --last-move done|redo "));
        QVERIFY(lines.filter(QRegularExpression("^  --(merge|safe-height|gcode|mm-per-step|feed|estimate|tool|merge-tolerance|spindle|spindle-delay|step-down|preview|result) ")).size() == 13);
        QVERIFY(lines[lines.size() - 2].startsWith("  --help "));
        QVERIFY(lines[lines.size() - 1].startsWith("  --version "));
        const Run bad = runProgram("zelmar-cli", {"--bogus"});
        QCOMPARE(bad.status, 2);
        QCOMPARE(bad.err, help.out);
        QCOMPARE(bad.out, QString());
    }

    // A value that happens to read "--help" is the option's value, not a request for help.
    void zelmarCliTakesHelpAsAValueWhereOneIsDue() {
        QTemporaryDir dir;
        const Run r = runProgram("zelmar-cli", {dir.filePath("none.bmp"), "--commands", "--help"});
        QCOMPARE(r.status, 1); // the image is missing: not usage, not help
        QVERIFY(r.out.isEmpty());
        QVERIFY(r.err.contains("Файл не найден."));
    }

    void zelmarRefusesWhatItDoesNotKnow_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("named");
        QTest::newRow("long option") << QStringList{"--bogus"} << "«--bogus»";
        QTest::newRow("short option") << QStringList{"-x"} << "«-x»";
        QTest::newRow("argument") << QStringList{"picture.bmp"} << "«picture.bmp»";
    }
    void zelmarRefusesWhatItDoesNotKnow() {
        QFETCH(QStringList, args);
        QFETCH(QString, named);
        QProcess p;
        p.start(QStringLiteral(ZELMAR_BIN_DIR "/zelmar"), QStringList{"-platform", "offscreen"} + args);
        QVERIFY(p.waitForFinished(30000));
        QCOMPARE(p.exitCode(), 2);
        const QString err = QString::fromUtf8(p.readAllStandardError());
        QVERIFY2(err.contains("zelmar: непонятный параметр " + named + "\nСправка: zelmar --help\n"),
                 qPrintable(err));
        QVERIFY(p.readAllStandardOutput().isEmpty());
    }
};

QTEST_GUILESS_MAIN(CommandLineTest)
#include "test_command_line.moc"
