// What the operator can type or configure wrongly, answered before anything moves: the number boxes of the
// window with pasted, negative and huge numbers; the same texts given to zelmar-cli; cnc.ini files that are
// binary, overlong, doubled or without a section; and pictures only one pixel wide or high, run through every
// command.

#include "board_harness.h"
#include "box_catcher.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>

using namespace zelmar;
using testing::Board;
using testing::BoxCatcher;
using testing::WindowOnBoard;

namespace {

struct CliRun {
    int status = -1;
    QString err;
};

CliRun runCli(const QStringList& args) {
    QProcess p;
    p.start(QStringLiteral(ZELMAR_BIN_DIR "/zelmar-cli"), args);
    p.waitForFinished(120000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, QString::fromUtf8(p.readAllStandardError())};
}

const QString huge = QStringLiteral("99999999999999999999");
const QString oneOver32Bits = QStringLiteral("2147483648");

} // namespace

class BadInputTest : public QObject {
    Q_OBJECT
private:
    QTemporaryDir dir_;

    static void addBoxRows() {
        QTest::addColumn<QString>("tx");
        QTest::addColumn<QString>("ty");
        QTest::addColumn<QString>("tz");
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("answer");
        QTest::newRow("pasted text in X") << "abc" << "1" << "1" << "150" << "Перемещение по оси X";
        QTest::newRow("pasted number with a unit in Y") << "1" << "5mm" << "1" << "150" << "Перемещение по оси Y";
        QTest::newRow("pasted fraction in Z") << "1" << "1" << "2.5" << "150" << "Перемещение по оси Z";
        QTest::newRow("negative X") << "-3" << "1" << "1" << "150" << "Перемещение по оси X";
        QTest::newRow("huge Y") << "1" << huge << "1" << "150" << "Перемещение по оси Y";
        QTest::newRow("one past 32 bits in Z") << "1" << "1" << oneOver32Bits << "150" << "Перемещение по оси Z";
        QTest::newRow("empty X") << "" << "1" << "1" << "150" << "Перемещение по оси X";
        QTest::newRow("pasted text as the scale") << "1" << "1" << "1" << "много" << "шагов на один пиксель";
        QTest::newRow("zero scale") << "1" << "1" << "1" << "0" << "шагов на один пиксель";
        QTest::newRow("negative scale") << "1" << "1" << "1" << "-150" << "шагов на один пиксель";
        QTest::newRow("huge scale") << "1" << "1" << "1" << huge << "шагов на один пиксель";
        QTest::newRow("counts past the board's 32 bits") << "99999" << "0" << "0" << "99999" << "слишком велико";
    }

    struct BoxRow {
        QString tx, ty, tz, steps, answer;
    };
    static BoxRow fetchBoxRow() {
        QFETCH(QString, tx);
        QFETCH(QString, ty);
        QFETCH(QString, tz);
        QFETCH(QString, steps);
        QFETCH(QString, answer);
        return {tx, ty, tz, steps, answer};
    }

private slots:
    void windowBoxesRefuseBeforeSending_data() { addBoxRows(); }
    void windowBoxesRefuseBeforeSending() {
        const BoxRow row = fetchBoxRow();
        Board board;
        WindowOnBoard w(dir_, board.path());
        w.check1()->setChecked(true);
        // As if pasted: the key filter never sees these texts.
        w.box("tx")->setText(row.tx);
        w.box("ty")->setText(row.ty);
        w.box("tz")->setText(row.tz);
        w.box("Text2")->setText(row.steps);
        BoxCatcher box;
        box.arm();
        QTest::mouseClick(w.button("Command3"), Qt::LeftButton);
        QTRY_COMPARE(box.seen, 1);
        QCOMPARE(box.title, QStringLiteral("Ошибка"));
        QVERIFY2(box.text.contains(row.answer), qPrintable(box.text));
        QVERIFY(box.text.contains(QStringLiteral("Команда не отправлена")));
        QVERIFY(w.button("Command3")->isEnabled());
        QCOMPARE(board.received(), QStringList{});
        QCOMPARE(board.finish(), QStringLiteral("position 0 0 0"));
    }

    void aBadScaleStopsAMillingBeforeItsFirstMove() {
        Board board;
        WindowOnBoard w(dir_, board.path());
        w.check1()->setChecked(true);
        w.box("Text2")->setText(QStringLiteral("-1"));
        QTest::mouseClick(w.button("Command1"), Qt::LeftButton);
        BoxCatcher box;
        box.arm();
        QTest::mouseClick(w.button("Command6"), Qt::LeftButton);
        QTRY_COMPARE(box.seen, 1);
        QVERIFY2(box.text.contains(QStringLiteral("шагов на один пиксель")), qPrintable(box.text));
        QCOMPARE(board.received(), QStringList{});
    }

    void cliRefusesTheSameTexts_data() { addBoxRows(); }
    void cliRefusesTheSameTexts() {
        const BoxRow row = fetchBoxRow();
        Board board;
        const CliRun r = runCli({QStringLiteral(ZELMAR_BIN_DIR "/test.bmp"),
                                 QStringLiteral("move=%1,%2,%3").arg(row.tx, row.ty, row.tz), "--steps", row.steps, "--port",
                                 board.path()});
        QCOMPARE(r.status, 1);
        QVERIFY2(r.err.contains(row.answer), qPrintable(r.err));
        QCOMPARE(board.received(), QStringList{});
    }

    // cnc.ini files an editor or a disk fault could leave: the window still opens, says what it could not use,
    // and never opens a port it was not given.
    void odd_cnc_ini_files_data() {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QString>("status");    // Label4
        QTest::addColumn<QString>("boxText");   // the image box, empty: the picture loads
        QTest::newRow("binary bytes") << QByteArray("[CNC]\nPort=\x01\x02\xff\xfe\nImage=") + QByteArray(1, '\0') +
                                             QByteArray("\xd0.bmp\n")
                                      << "Ошибка открытия Com-порта" << "Файл не найден.";
        QTest::newRow("very long lines") << "[CNC]\nPort=" + QByteArray(100000, 'p') + "\nImage=" +
                                                QByteArray(100000, 'i') + ".bmp\n"
                                         << "Ошибка открытия Com-порта" << "Файл не найден.";
        QTest::newRow("duplicate keys: the first wins") << QByteArray("[CNC]\nImage=test.bmp\nImage=none.bmp\n")
                                                        << "Ошибка открытия Com-порта" << "";
        QTest::newRow("no section: defaults") << QByteArray("Port=/dev/null\nImage=none.bmp\n")
                                              << "Ошибка открытия Com-порта" << "";
        QTest::newRow("empty file") << QByteArray() << "Ошибка открытия Com-порта" << "";
    }
    void odd_cnc_ini_files() {
        QFETCH(QByteArray, ini);
        QFETCH(QString, status);
        QFETCH(QString, boxText);
        QTemporaryDir dir;
        QFile image(dir.filePath("test.bmp"));
        image.open(QIODevice::WriteOnly);
        image.write(testing::bmpBytes(24, 8, 8, [](int x, int) { return x < 4 ? 0 : 255; }));
        image.close();
        QFile file(dir.filePath("cnc.ini"));
        file.open(QIODevice::WriteOnly);
        file.write(ini);
        file.close();
        MainFrame frame(dir.path());
        frame.show();
        BoxCatcher box;
        box.arm();
        frame.openWorkWindow();
        WorkWindow* form = frame.workWindow();
        QVERIFY(form);
        if (boxText.isEmpty()) {
            QTest::qWait(50);
            QCOMPARE(box.seen, 0);
            QVERIFY(form->controller().session().hasImage());
        } else {
            QTRY_COMPARE(box.seen, 1);
            QCOMPARE(box.title, QStringLiteral("Ошибка"));
            QVERIFY2(box.text.contains(boxText), qPrintable(box.text));
            QVERIFY(!form->controller().session().hasImage());
        }
        QVERIFY2(form->findChild<QLabel*>("Label4")->text().contains(status),
                 qPrintable(form->findChild<QLabel*>("Label4")->text()));
        QVERIFY(!form->findChild<QCheckBox*>("Check1")->isEnabled()); // no port: nothing can be sent
    }

    // Values of cnc.ini out of their range: all listed when the window opens, each keeps its default, and the work
    // that needs one refuses to start, naming it, with nothing sent; work that does not need it is not held back.
    void badSettingsAreListedAndHoldBackTheirWork_data() {
        QTest::addColumn<QString>("settings");
        QTest::addColumn<QStringList>("listed");
        QTest::addColumn<bool>("gcode"); // the work tried: saving G-code, else "Все" on the machine
        QTest::addColumn<QStringList>("named");
        QTest::addColumn<QString>("notNamed");
        QTest::newRow("the board's job needs the milling's settings, not the spindle's")
            << "Spindle=12000rpm\r\nStepDown=-1\r\nMergeTolerance=-0.5\r\nSpindleDelay=-3\r\n"
            << QStringList{"Spindle=12000rpm", "StepDown=-1", "MergeTolerance=-0.5", "SpindleDelay=-3"} << false
            << QStringList{"StepDown=-1", "MergeTolerance=-0.5"} << "Spindle";
        QTest::newRow("the G-code needs the spindle, not the probe")
            << "Spindle=99999999\r\nProbePlate=60\r\n" << QStringList{"Spindle=99999999", "ProbePlate=60"} << true
            << QStringList{"Spindle=99999999"} << "ProbePlate";
        QTest::newRow("a cutter that does not fit is no one-pixel tool")
            << "ToolShape=ball\r\nToolDiameter=0\r\n" << QStringList{"ToolDiameter=0"} << false
            << QStringList{"ToolDiameter=0"} << "";
        QTest::newRow("a controller it does not know")
            << "Controller=grbll\r\n" << QStringList{"Controller=grbll"} << false << QStringList{"Controller=grbll"}
            << "";
    }
    void badSettingsAreListedAndHoldBackTheirWork() {
        QFETCH(QString, settings);
        QFETCH(QStringList, listed);
        QFETCH(bool, gcode);
        QFETCH(QStringList, named);
        QFETCH(QString, notNamed);
        Board board;
        QTemporaryDir dir;
        WindowOnBoard w(dir, board.path(), 2, [](int x, int) { return x < 8 ? 0 : 255; }, 16, 12, {}, settings);
        auto* list = w.frame.findChild<QMessageBox*>(QStringLiteral("settingProblems"));
        QVERIFY(list);
        for (const QString& value : listed)
            QVERIFY2(list->text().contains(value + QStringLiteral(" — ")), qPrintable(list->text()));
        QCOMPARE(list->text().count(QStringLiteral("\n• ")), listed.size());
        list->accept();
        QTest::mouseClick(w.button("Command1"), Qt::LeftButton);
        w.check1()->setChecked(true);
        BoxCatcher box;
        box.arm();
        if (gcode)
            w.form->saveGcode();
        else
            QTest::mouseClick(w.button("Command6"), Qt::LeftButton);
        QTRY_COMPARE(box.seen, 1);
        QVERIFY2(box.text.startsWith(QStringLiteral("Задание не начато")), qPrintable(box.text));
        for (const QString& value : named)
            QVERIFY2(box.text.contains(value), qPrintable(box.text));
        if (!notNamed.isEmpty())
            QVERIFY2(!box.text.contains(notNamed), qPrintable(box.text));
        QVERIFY(!w.form->isBusy());
        QCOMPARE(board.received(), QStringList{});
    }

    // Pictures of a single pixel, a single column and a single row, dark and light, through every command: 32
    // runs of the command-line tool, in two functions, as each costs a third of a second under the sanitizers.
    void thinPicturesGoThroughEveryCommand_data() {
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::newRow("1 x 1") << 1 << 1;
        QTest::newRow("1 x 9") << 1 << 9;
    }
    void smallPicturesGoThroughEveryCommand_data() {
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::newRow("9 x 1") << 9 << 1;
        QTest::newRow("2 x 2") << 2 << 2;
    }
    void smallPicturesGoThroughEveryCommand() { thinPicturesGoThroughEveryCommand(); }
    void thinPicturesGoThroughEveryCommand() {
        QFETCH(int, width);
        QFETCH(int, height);
        for (const bool dark : {true, false}) {
            const QString path = dir_.filePath(QStringLiteral("thin%1x%2%3.bmp").arg(width).arg(height).arg(dark));
            QFile file(path);
            file.open(QIODevice::WriteOnly);
            file.write(testing::bmpBytes(24, width, height,
                                         [dark](int x, int y) { return (x + y) % 2 == 0 && dark ? 0 : 255; }));
            file.close();
            for (const QStringList& ops : {QStringList{"parse", "mill-all"},
                                           QStringList{"parse", "select=1", "mill-selected"},
                                           QStringList{"gradient", "offset", "parse", "mill-all"},
                                           QStringList{"parse", "cut3d"}}) {
                const CliRun r = runCli(QStringList{path} + ops);
                // A refusal (no tree, no such node) is an answer too; a crash or a hang is not.
                QVERIFY2(r.status == 0 || r.status == 1 || r.status == 2,
                         qPrintable(ops.join(' ') + ": " + QString::number(r.status) + " " + r.err));
                if (r.status != 0)
                    QVERIFY2(!r.err.isEmpty(), qPrintable(ops.join(' ')));
            }
        }
    }
};

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    BadInputTest test;
    return QTest::qExec(&test, argc, argv);
}
#include "test_bad_input.moc"
