// The machine's set-up on the simulated grbl (zelmar-board --grbl), from the command line and the window: homing,
// the work zero, jogs, the probe on a plate, a height map probed over the picture (by the window's dialog too) and
// followed by the job, and the machine panel. The probed map keeps every cut at its depth below a warped stock's top.

#include "app/machine_panel.h"
#include "box_catcher.h"
#include "grbl_harness.h"
#include "job/job_controller.h"
#include "link/grbl_link.h"
#include "mill/height_map.h"
#include "run/job_runner.h"
#include "texts/line_texts.h"
#include "texts/setup_texts.h"

#include <QAction>
#include <QFileDialog>
#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>

using namespace zelmar;
using namespace zelmar::testing;

class MachineSetupTest : public QObject {
    Q_OBJECT
private:
    QTemporaryDir dir_;
    QString blocks_;
    QString rings_;

private slots:
    void initTestCase() {
        blocks_ = writePicture(dir_, "blocks.bmp", twoBlocks, 20, 12);
        rings_ = writePicture(dir_, "rings.bmp", rings, 30, 23);
    }

    // Set up as an operator does before a job: homed out of the power-up alarm (the unlock after it harmless), zeroed
    // where it stands, jogged over
    // the stock, the tool's height probed on a plate, then back to the work zero. The stock rises 1 mm every
    // 100 mm along X, so the contact's height also tells where the jog went.
    void theMachineIsSetUpBeforeAJob() {
        Board board(grblBoardArgs({"--homing", "--surface", "tilt:-4,1,0"}));
        const Run r = cli({blocks_, "home", "unlock", "zero", "jog=20,-2.5,0", "probe-z", "goto-zero", "--plate", "1.5",
                           "--controller", "grbl", "--port", board.path()});
        QVERIFY2(r.status == 0, qPrintable(r.err));
        QCOMPARE(answeredLines(board),
                 (QStringList{"$$", "$H", "$X", "G10 L20 P1 X0 Y0 Z0", "$J=G91 G21 X20 Y-2.5 Z0 F300", "G91 G38.2 Z-10 F50",
                              "G10 L20 P1 Z1.5", "G91 G0 Z5", "G90 G0 Z1.50", "G0 X0 Y0", "G1 Z0 F300", "G91"}));
        // The tool touched the plate at the stock's -3.8 mm under X 20 (within a motor step) and read the plate's
        // 1.5 mm there: the work zero, where the way back ends, is 1.5 mm lower, over the machine's origin.
        const QStringList end = board.finish().split(' ');
        QCOMPARE(end.size(), 6);
        QCOMPARE(end.mid(0, 3), (QStringList{"position", "0.000", "0.000"}));
        QVERIFY2(std::abs(end[3].toDouble() - (-3.8 - 1.5)) <= 0.004 + 1e-9, qPrintable(end.join(' ')));
    }

    // The stock warped: a height map probed over the picture, then "Все" following it. Every point of every cut, as
    // the machine carried it out, lies as deep below the stock's top there as on a flat stock: within one motor step
    // (0.01 mm) and the probe's own resolution, the simulated machine's step (0.004 mm), which measured the map.
    // Without the map the depth is off by the warp.
    void aProbedMapKeepsEveryCutAtItsDepthBelowAWarpedStock_data() {
        QTest::addColumn<QString>("surface");
        QTest::newRow("tilted") << "tilt:-1,3,-2";
        QTest::newRow("warped") << "twist:-1,2,-1.5,40";
    }
    void aProbedMapKeepsEveryCutAtItsDepthBelowAWarpedStock() {
        QFETCH(QString, surface);
        QTemporaryDir dir;
        const QString map = dir.filePath("map.txt");
        const auto cuts = [&](const QString& stock, const QStringList& more) {
            const QString log = dir.filePath("cuts");
            Board board(grblBoardArgs({"--delay-ms", "0", "--surface", stock, "--cut-log", log}));
            const Run r = cli(QStringList{rings_, "zero=XY", "probe-z", "--probe-feed", "1000"} + more +
                              QStringList{"goto-zero", "parse", "mill-all", "--controller", "grbl", "--port", board.path()});
            [&] { QVERIFY2(r.status == 0, qPrintable(r.err)); }();
            board.finish();
            return cutPoints(log);
        };
        const auto flat = cuts("flat:-1", {});
        QVERIFY(flat.size() > 100);
        const auto worst = [&](const std::vector<CutPoint>& run, bool& samePath) {
            return worstDepthOff(flat, run, samePath);
        };
        bool samePath = false;
        const double mapped = worst(cuts(surface, {"probe-map=5,4", "--height-map", map}), samePath);
        QVERIFY(samePath);
        QVERIFY2(mapped <= 0.01 + 0.004 + 1e-6, qPrintable(QString::number(mapped)));
        QFile saved(map);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        const std::optional<HeightMap> probed = HeightMap::read(saved.readAll().toStdString());
        QVERIFY(probed && probed->nx == 5 && probed->ny == 4);
        const double unmapped = worst(cuts(surface, {}), samePath);
        QVERIFY(samePath);
        QVERIFY2(unmapped > 0.3, qPrintable(QString::number(unmapped)));
    }

    // A stop in the cut on a tilted stock that a map describes: the tool goes up to the safe height above the top
    // where it stopped, not where the job began, and the job continued cuts on at its depth below the top.
    void aStopOnAMappedStockLiftsAboveItsTopAndCutsOnAtDepth() {
        QTemporaryDir dir;
        const QString flatLog = dir.filePath("flat"), log = dir.filePath("tilted");
        {
            Board flat(grblBoardArgs({"--delay-ms", "0", "--surface", "flat:0", "--cut-log", flatLog}));
            const Run r = cli({blocks_, "parse", "mill-all", "--safe-height", "1", "--controller", "grbl", "--port",
                               flat.path()});
            QVERIFY2(r.status == 0, qPrintable(r.err));
            flat.finish();
        }
        // 4 mm of rise every 100 mm along X; the work zero is where the board started.
        Board board(grblBoardArgs({"--delay-ms", "25", "--surface", "tilt:0,4,0", "--cut-log", log}));
        WindowOnBoard w(dir, board.path(), 2, twoBlocks, 20, 12, {}, "Controller=grbl\r\nSafeHeight=1\r\n");
        w.form->controller().setHeightMap(HeightMap::read("grid 2 2\norigin 0 -20\nstep 40 40\n0 1.6\n0 1.6\n"),
                                          "tilt");
        connectWindow(w);
        w.click("Command6");
        QTest::qWait(150);
        w.form->requestStop();
        QVERIFY(waitFor([&] { return w.form->controller().runner().phase() == JobRunner::Phase::Kept; }, 5000));
        const GrblStatus stood = *w.form->controller().grblLink()->status();
        QVERIFY2(stood.x > 0, "stopped before the first cut");
        const double top = 0.04 * static_cast<double>(stood.x) / 1000.0;
        QVERIFY2(std::abs(static_cast<double>(stood.z) / 1000.0 - (top + 1.5)) <= 0.01,
                 qPrintable(QStringLiteral("stood at Z %1 over the top at %2").arg(stood.z).arg(top)));
        w.form->requestContinue();
        QVERIFY(w.waitIdle(20000));
        board.finish();
        bool samePath = false;
        const double off = worstDepthOff(cutPoints(flatLog), cutPoints(log), samePath);
        QVERIFY(samePath);
        QVERIFY2(off <= 0.01 + 0.004 + 1e-6, qPrintable(QString::number(off)));
    }

    // A probe that finds nothing: grbl's alarm is left for the operator, the Russian word says why, and the job
    // after it never starts.
    void aProbeWithoutContactStopsEverythingAfterIt_data() {
        QTest::addColumn<QStringList>("surface");
        QTest::addColumn<QString>("probe");
        QTest::addColumn<QString>("said");
        QTest::addColumn<QStringList>("answered");
        const QStringList plate{"$$", "G91 G38.2 Z-2 F500"};
        QTest::newRow("no stock") << QStringList{} << "probe-z" << QStringLiteral("Щуп не коснулся пластины: касания нет")
                                  << plate;
        QTest::newRow("already touching") << QStringList{"--surface", "flat:0"} << "probe-z"
                                          << QStringLiteral("Щуп уже касался пластины до начала измерения (ALARM:4)")
                                          << plate;
        // A map's first point finds no stock: no map is saved, and the job does not start on a flat one.
        QTest::newRow("a map over no stock")
            << QStringList{"--surface", "flat:-3"} << "probe-map=3,2"
            << QStringLiteral("Щуп не коснулся заготовки: касания нет в пределах хода измерения (ALARM:5). Карта "
                              "высот не снята.")
            << QStringList{"$$", "G90 G0 Z5", "G0 X0 Y-16.5", "G38.2 Z-2 F500"};
    }
    void aProbeWithoutContactStopsEverythingAfterIt() {
        QFETCH(QStringList, surface);
        QFETCH(QString, probe);
        QFETCH(QString, said);
        QFETCH(QStringList, answered);
        QTemporaryDir dir;
        const QString cuts = dir.filePath("cuts");
        const QString map = dir.filePath("map.txt");
        Board board(QStringList{"--grbl", "--cut-log", cuts} + surface);
        const QStringList saved = probe.startsWith("probe-map") ? QStringList{"--height-map", map} : QStringList{};
        const Run r = cli(QStringList{blocks_, "parse", probe, "mill-all", "--probe-depth", "2", "--probe-feed", "500",
                                      "--controller", "grbl", "--port", board.path()} +
                          saved);
        QCOMPARE(r.status, 1);
        QVERIFY2(r.err.contains(said), qPrintable(r.err));
        QVERIFY2(r.err.contains(QStringLiteral("снимите блокировку ($X)")), qPrintable(r.err));
        QCOMPARE(answeredLines(board), answered);
        QVERIFY(!QFile::exists(map));
        board.finish();
        QFile log(cuts);
        QVERIFY(!log.exists() || (log.open(QIODevice::ReadOnly) && log.readAll().trimmed().isEmpty()));
    }

    // The controller's set-up as a front-end's menu uses it: refused while another runs, done in turn, and the work
    // position read from grbl's reports, the offset kept through the reports that do not repeat it.
    void theControllerSetsUpAndTellsWhereTheWorkIs() {
        Board board(grblBoardArgs());
        QTemporaryDir dir;
        WindowOnBoard w(dir, board.path(), 2, twoBlocks, 20, 12, {}, "Controller=grbl\r\nFeed=3000\r\nProbeFeed=0\r\n");
        if (auto* list = w.frame.findChild<QMessageBox*>(QStringLiteral("settingProblems")))
            list->accept();
        QVERIFY(waitFor([&] { return w.label("Label4") == QStringLiteral("Com-порт открыт"); }, 10000));
        JobController& c = w.form->controller();
        // The bad probe feed holds back the probe, and nothing else.
        QCOMPARE(c.startSetup(*operationOf("probe-z")), JobController::SetupRefusal::BadSetting);
        const QString refusal = QString::fromStdString(
            setupRefusalText(Operation::Kind::ProbeZ, JobController::SetupRefusal::BadSetting, c.blockingSettings()));
        QVERIFY2(refusal.startsWith(QStringLiteral("Измерение высоты щупом не начато: в файле настроек неверно задано "
                                                   "то, что ему нужно.\r\n• ProbeFeed=0 — подача щупа")),
                 qPrintable(refusal));
        QSignalSpy done(&c, &JobController::setupDone);
        QSignalSpy failed(&c, &JobController::setupFailed);
        using Refusal = JobController::SetupRefusal;
        QCOMPARE(c.startSetup(*operationOf("jog=2,0,-1")), Refusal::None);
        QCOMPARE(c.startSetup(*operationOf("zero")), Refusal::SettingUp);
        QCOMPARE(c.startSetup(*operationOf("parse")), Refusal::NotSetUp);
        QVERIFY(waitFor([&] { return done.size() == 1; }, 5000));
        QCOMPARE(c.startSetup(*operationOf("zero=XZ")), Refusal::None);
        QVERIFY(waitFor([&] { return done.size() == 2; }, 5000));
        QCOMPARE(c.startSetup(*operationOf("jog=1,1.5,1")), Refusal::None);
        QVERIFY(waitFor([&] { return done.size() == 3; }, 5000));
        QCOMPARE(done.at(2).at(0).value<Operation::Kind>(), Operation::Kind::Jog);
        const auto at = [&](GrblTriple machine) {
            const std::optional<MachineCoordinates> m = c.machineCoordinates();
            return m && m->machine == machine && m->state == "Idle";
        };
        QVERIFY(waitFor([&] { return at({3000, 1500, 0}); }, 5000));
        // Reports come five a second and repeat the offset every tenth: over two seconds, it is never lost.
        for (int i = 0; i < 10; ++i) {
            QTest::qWait(200);
            const std::optional<MachineCoordinates> m = c.machineCoordinates();
            QVERIFY(m && m->work());
            QCOMPARE(*m->work(), (GrblTriple{1000, 1500, 1000}));
        }
        QCOMPARE(failed.size(), 0);
        QCOMPARE(answeredLines(board),
                 (QStringList{"$$", "$J=G91 G21 X2 Y0 Z-1 F3000", "G10 L20 P1 X0 Z0", "$J=G91 G21 X1 Y1.5 Z1 F3000"}));
        // The overrides' bytes, each to its own rate, as grbl reports them back; the status line shows them.
        c.overrideFeed(GrblOverride::Plus10);
        c.overrideFeed(GrblOverride::Plus10);
        c.overrideFeed(GrblOverride::Minus1);
        c.overrideSpindle(GrblOverride::Minus10);
        c.overrideSpindle(GrblOverride::Plus1);
        QVERIFY(waitFor([&] {
            const auto m = c.machineCoordinates();
            return m && m->overrides == GrblOverrides{119, 100, 91};
        }, 5000));
        QVERIFY(QString::fromStdString(machineStatusText(c)).endsWith(QStringLiteral(", подача 119 %, шпиндель 91 %")));
        c.overrideFeed(GrblOverride::Reset);
        c.overrideSpindle(GrblOverride::Reset);
        QVERIFY(waitFor([&] {
            const auto m = c.machineCoordinates();
            return m && m->overrides == GrblOverrides{};
        }, 5000));
        QVERIFY(!QString::fromStdString(machineStatusText(c)).contains(QStringLiteral("подача")));
    }

    // "Станок" and its panel as the operator uses them: homed out of the power-up alarm, jogged by typed
    // millimetres, zeroed, then jogged by a held key and by one whose release never comes. What the board reports
    // is where the machine stands; the held jogs stop on the release, and without it within the lease.
    void theMachinePanelDrivesTheMachine() {
        Board board(grblBoardArgs({"--homing", "--delay-ms", "200"}));
        QTemporaryDir dir;
        QuestionAnswerer alarm(QStringLiteral("Тревога grbl"), false);
        alarm.arm();
        WindowOnBoard w(dir, board.path(), 2, twoBlocks, 20, 12, {}, "Controller=grbl\r\n");
        QVERIFY(waitFor([&] { return w.label("Label4") == QStringLiteral("Com-порт открыт"); }, 10000));
        QVERIFY(waitFor([&] { return alarm.seen == 1; }, 5000));
        JobController& c = w.form->controller();
        QSignalSpy done(&c, &JobController::setupDone);
        QSignalSpy failed(&c, &JobController::setupFailed);
        const auto at = [&](GrblTriple machine, GrblTriple work) {
            const std::optional<MachineCoordinates> m = c.machineCoordinates();
            return m && m->state == "Idle" && m->machine == machine && m->work() == work;
        };
        w.frame.machineAction(QStringLiteral("setupHome"))->trigger();
        QVERIFY(waitFor([&] { return done.size() == 1; }, 10000));
        w.frame.findChild<QAction*>(QStringLiteral("machinePanelShown"))->trigger();
        MachinePanel* panel = w.frame.machinePanel();
        QVERIFY(panel->isVisible());
        panel->findChild<QLineEdit*>(QStringLiteral("jogX"))->setText(QStringLiteral("2.5"));
        panel->findChild<QLineEdit*>(QStringLiteral("jogY"))->setText(QStringLiteral("-1"));
        QTest::mouseClick(panel->findChild<QPushButton*>(QStringLiteral("jogGo")), Qt::LeftButton);
        QVERIFY(waitFor([&] { return done.size() == 2; }, 10000));
        w.frame.machineAction(QStringLiteral("setupZero"))->trigger();
        QVERIFY(waitFor([&] { return done.size() == 3 && at({2500, -1000, 0}, {0, 0, 0}); }, 10000));
        QVERIFY(waitFor([&] {
            return panel->findChild<QLabel*>(QStringLiteral("machineCoordinates"))->text().contains(
                QStringLiteral("Станок X 2.500 Y -1.000 Z 0.000,\nзаготовка X 0.000 Y 0.000 Z 0.000 (мм)"));
        }, 5000));
        QCOMPARE(panel->findChild<QLabel*>(QStringLiteral("setupResult"))->text(),
                 QStringLiteral("Установка нуля заготовки выполнена."));

        // Held about 0.7 s with the keyboard's auto-repeat, then let go: it went, and it stands.
        QWidget* pad = panel->findChild<QWidget*>(QStringLiteral("jogPad"));
        QElapsedTimer heldFor;
        heldFor.start();
        QTest::keyPress(pad, Qt::Key_Right);
        for (int i = 0; i < 14; ++i) {
            QTest::qWait(50);
            QKeyEvent repeat(QEvent::KeyPress, Qt::Key_Right, Qt::NoModifier, QString(), true);
            QApplication::sendEvent(pad, &repeat);
        }
        QTest::keyRelease(pad, Qt::Key_Right);
        const qint64 heldMs = heldFor.elapsed();
        const auto standing = [&] {
            std::optional<MachineCoordinates> m;
            [&] { QVERIFY(waitFor([&] { return (m = c.machineCoordinates()) && m->state == "Idle"; }, 5000)); }();
            QTest::qWait(600);
            const std::optional<MachineCoordinates> later = c.machineCoordinates();
            [&] { QVERIFY(later && later->state == "Idle" && later->machine == m->machine); }();
            return m ? *m->machine : GrblTriple{};
        };
        const GrblTriple afterRelease = standing();
        // 5 mm/s at the jog's 300 mm/min: more than a segment's 1 mm, no more than the time held and a segment.
        QVERIFY2(afterRelease.x > 2500 + 1000 && afterRelease.x <= 2500 + (heldMs + heldJogSegmentMs) * 5,
                 qPrintable(QString::number(afterRelease.x)));
        QCOMPARE(afterRelease.y, -1000);

        // The release is lost: no repeat renews the lease, and the jog ends by itself within it.
        QTest::keyPress(pad, Qt::Key_PageUp);
        QTest::qWait(HeldJog::leaseMs + 500);
        const GrblTriple lost = standing();
        QVERIFY2(lost.z > 0 && lost.z <= (HeldJog::leaseMs + 2 * heldJogSegmentMs) * 5, qPrintable(QString::number(lost.z)));
        QTest::keyRelease(pad, Qt::Key_PageUp);
        QCOMPARE(failed.size(), 0);
        const QStringList lines = answeredLines(board);
        QCOMPARE(lines.mid(0, 4), (QStringList{"$$", "$H", "$J=G91 G21 X2.5 Y-1 Z0 F300", "G10 L20 P1 X0 Y0 Z0"}));
        const QStringList held = lines.mid(4);
        QVERIFY2(held.count(QStringLiteral("$J=G91 G21 X1.000 F300")) >= 2 &&
                     held.count(QStringLiteral("$J=G91 G21 Z1.000 F300")) >= 2 &&
                     held.size() == held.count(QStringLiteral("$J=G91 G21 X1.000 F300")) +
                                        held.count(QStringLiteral("$J=G91 G21 Z1.000 F300")),
                 qPrintable(held.join('|')));
        const auto mm = [](qint64 um) { return QStringLiteral("%1.%2").arg(um / 1000).arg(um % 1000, 3, 10, QLatin1Char('0')); };
        QCOMPARE(board.finish().section(' ', 0, 3),
                 QStringLiteral("position %1 -1.000 %2").arg(mm(afterRelease.x), mm(lost.z)));
    }

    // "Станок" → "Снять карту высот…" on a tilted stock: the dialog's numbers reach grbl's lines, each point shows
    // as it is probed, and the map is saved where the operator says, read back with the stock's heights, and taken
    // by the controller under the file's name.
    void theMenuProbesAMapThroughItsDialog() {
        Board board(grblBoardArgs({"--delay-ms", "0", "--surface", "tilt:-1,3,-2"}));
        QTemporaryDir dir;
        WindowOnBoard w(dir, board.path(), 2, twoBlocks, 20, 12, {}, "Controller=grbl\r\n");
        JobController& c = w.form->controller();
        // The map's heights are the work's: grbl must have said where its zero lies.
        QVERIFY(waitFor([&] { return c.machineCoordinates() && c.machineCoordinates()->work(); }, 10000));
        const auto modal = [](const char* name) {
            return QTest::qWaitFor([name] {
                return QApplication::activeModalWidget() && QApplication::activeModalWidget()->objectName() == name;
            });
        };
        QSignalSpy touched(&c, &JobController::probeTouched);
        w.frame.machineAction(QStringLiteral("probeHeightMap"))->trigger();
        QVERIFY(modal("probeMapDialog"));
        QWidget* dialog = QApplication::activeModalWidget();
        dialog->findChild<QSpinBox*>(QStringLiteral("probeNx"))->setValue(3);
        dialog->findChild<QSpinBox*>(QStringLiteral("probeNy"))->setValue(2);
        dialog->findChild<QLineEdit*>(QStringLiteral("probeClearance"))->setText(QStringLiteral("7,5"));
        dialog->findChild<QSpinBox*>(QStringLiteral("probeFeed"))->setValue(500);
        // Millimetres only: a signed margin is refused before anything is sent.
        auto* margin = dialog->findChild<QLineEdit*>(QStringLiteral("probeMargin"));
        margin->setText(QStringLiteral("-1"));
        testing::BoxCatcher box;
        box.arm();
        QTest::mouseClick(dialog->findChild<QPushButton*>(QStringLiteral("probeStart")), Qt::LeftButton);
        QVERIFY(waitFor([&] { return box.seen == 1; }, 5000));
        QVERIFY2(box.text.startsWith(QStringLiteral("Снятие карты высот не начато: поля и высота подъёма — миллиметры")),
                 qPrintable(box.text));
        margin->setText(QStringLiteral("0"));
        QVERIFY(modal("probeMapDialog"));
        QStringList points;
        connect(&c, &JobController::probeTouched, dialog,
                [&] { points << dialog->findChild<QLabel*>(QStringLiteral("probePoint"))->text(); });
        QTest::mouseClick(dialog->findChild<QPushButton*>(QStringLiteral("probeStart")), Qt::LeftButton);
        QVERIFY(modal("probedMapSave"));
        QCOMPARE(touched.size(), 6);
        QCOMPARE(points.first(), QStringLiteral("Точка 2 из 6"));
        QCOMPARE(points.last(), QStringLiteral("Точка 6 из 6"));
        // Saved under the name offered, in the folder the operator picks.
        auto* save = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        save->setDirectory(dir.path());
        static_cast<QDialog*>(save)->accept();
        const QString path = dir.filePath(QStringLiteral("карта-высот.txt"));
        QVERIFY(modal("probeMapDialog"));
        QVERIFY2(dialog->findChild<QLabel*>(QStringLiteral("probedMap"))->text().startsWith(
                     QStringLiteral("Карта высот карта-высот.txt: 3 × 2 точек")),
                 qPrintable(dialog->findChild<QLabel*>(QStringLiteral("probedMap"))->text()));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const std::optional<HeightMap> map = HeightMap::read(file.readAll().toStdString());
        QVERIFY(map && map->nx == 3 && map->ny == 2);
        QVERIFY(map->stepX > 5 && map->stepY > 5);
        for (int j = 0; j < 2; ++j)
            for (int i = 0; i < 3; ++i) {
                const double x = map->originX + map->stepX * i, y = map->originY + map->stepY * j;
                const double stock = -1 + 3 * x / 100 - 2 * y / 100;
                QVERIFY2(std::abs(map->at(i, j) - stock) <= 0.01,
                         qPrintable(QStringLiteral("%1 at %2, %3 on a stock at %4").arg(map->at(i, j)).arg(x).arg(y).arg(stock)));
            }
        QVERIFY(c.heightMap() && c.heightMap()->z == map->z);
        QCOMPARE(c.heightMapName(), std::string("карта-высот.txt"));
        const QStringList lines = answeredLines(board);
        QVERIFY2(lines.size() == 2 + 6 * 3 + 1 && lines[1] == QStringLiteral("G90 G0 Z7.5") &&
                     lines[3] == QStringLiteral("G38.2 Z-10 F500"),
                 qPrintable(lines.join('|')));
        dialog->findChild<QPushButton*>(QStringLiteral("probeClose"))->click();
        QVERIFY(QTest::qWaitFor([] { return !QApplication::activeModalWidget(); }));
    }

    // While a job runs the menu's set-up and the keyboard jog are refused in Russian, and nothing reaches grbl.
    void theMachineItemsWaitForTheJob() {
        Board board(grblBoardArgs({"--delay-ms", "25"}));
        QTemporaryDir dir;
        WindowOnBoard w(dir, board.path(), 2, twoBlocks, 20, 12, {}, "Controller=grbl\r\n");
        connectWindow(w);
        w.click("Command6");
        QVERIFY(waitFor([&] { return w.form->controller().runner().isRunning(); }, 10000));
        testing::BoxCatcher box;
        box.arm();
        w.frame.machineAction(QStringLiteral("setupHome"))->trigger();
        QVERIFY(waitFor([&] { return box.seen == 1; }, 5000));
        QCOMPARE(box.text, QStringLiteral("Поиск нуля станка не начат: идёт задание; дождитесь его конца или остановите его."));
        box.arm();
        QWidget* pad = w.frame.machinePanel()->findChild<QWidget*>(QStringLiteral("jogPad"));
        QTest::keyPress(pad, Qt::Key_Left);
        QVERIFY(waitFor([&] { return box.seen == 2; }, 5000));
        QVERIFY2(box.text.startsWith(QStringLiteral("Перемещение станка не начато: идёт задание")), qPrintable(box.text));
        QTest::keyRelease(pad, Qt::Key_Left);
        w.form->requestStop();
        QVERIFY(waitFor([&] { return w.form->controller().runner().phase() == JobRunner::Phase::Kept; }, 10000));
        for (const QString& line : answeredLines(board))
            QVERIFY2(line != QStringLiteral("$H") && !line.startsWith(QStringLiteral("$J=")), qPrintable(line));
    }
};

QTEST_MAIN(MachineSetupTest)
#include "test_machine_setup.moc"
