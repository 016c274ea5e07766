// The frame and the work window on the offscreen platform: start-up, the designed controls, the views and
// their modes, the start-up error box, and reloading through the menu.

#include "app/job_status.h"
#include "app/layer_view.h"
#include "app/main_frame.h"
#include "app/preview_dialog.h"
#include "app/qt_translations.h"
#include "app/tab_strip.h"
#include "app/work_window.h"
#include "texts/operator_texts.h"
#include "mill/milling.h"
#include "bmp_bytes.h"
#include "box_catcher.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QProcess>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMessageBox>
#include <QProgressBar>
#include <QRegularExpression>
#include <QPushButton>
#include <QTabBar>
#include <QTemporaryDir>
#include <QKeyEvent>
#include <QTest>
#include <QTimer>
#include <QTreeView>

using namespace zelmar;

namespace {

// The four views and the tab strip, by the names the form's design gives them.
LayerView* viewOf(WorkWindow* form, int index) {
    return form->findChild<LayerView*>(index == 0 ? QStringLiteral("Pict") : QStringLiteral("Pict%1").arg(index));
}

TabStrip* tabStripOf(WorkWindow* form) {
    return form->findChild<TabStrip*>(QStringLiteral("TabStrip1"));
}

// "Сохранить G-код…" through the menu: the answer to the question about the selected region (when one is
// selected), then the file's name. The text of the box that confirms the save, closed; empty when none came.
// Until the modal window of that name is up.
bool modal(const char* name) {
    return QTest::qWaitFor([name] {
        return QApplication::activeModalWidget() && QApplication::activeModalWidget()->objectName() == name;
    });
}

// A 30 x 12 picture with one dark bar, for the G-code files' tests.
QByteArray barPicture() {
    return testing::bmpBytes(24, 30, 12, [](int x, int y) { return y >= 3 && y <= 8 && x >= 4 && x <= 20 ? 0 : 255; });
}

QString saveGcodeThroughMenu(MainFrame& frame, const QString& path, const QString& answer = {}) {
    bool named = false;
    QTimer::singleShot(0, [&] {
        if (!answer.isEmpty()) {
            QVERIFY(modal("questionBox"));
            for (QAbstractButton* b : qobject_cast<QMessageBox*>(QApplication::activeModalWidget())->buttons())
                if (b->text() == answer)
                    b->click();
        }
        QVERIFY(modal("gcodeDialog"));
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        dialog->selectFile(path);
        static_cast<QDialog*>(dialog)->accept(); // as the "Save" button does
        named = true;
    });
    frame.saveGcodeAction()->trigger();
    if (!QTest::qWaitFor([&named] { return named; }) || !modal("messageBox"))
        return {};
    auto* saved = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    const QString text = saved->text();
    saved->accept();
    return text;
}

// The moves of a G-code file, without the feed, which a file gives once, at its first feed move.
QStringList gcodeMovesOf(const QString& path) {
    QFile f(path);
    f.open(QIODevice::ReadOnly);
    QStringList moves;
    for (const QString& line : QString::fromUtf8(f.readAll()).split('\n'))
        if (line.startsWith('G') || line.startsWith('M'))
            moves << QString(line).remove(QStringLiteral(" F300"));
    return moves;
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

int stripes(int x, int) {
    return (x / 4) % 2 ? 255 : 0;
}

// Light, with a dark 4 x 3 block at columns 6..9, rows 5..7 (1-based).
int block(int x, int y) {
    return x >= 5 && x <= 8 && y >= 4 && y <= 6 ? 0 : 255;
}

std::array<std::uint8_t, 4> pixelOf(const ImageLayer& layer, int x, int y) {
    const auto at = static_cast<std::size_t>(layer.geometry().indexOf(x, y) - 1);
    return {layer.bits()[at], layer.bits()[at + 1], layer.bits()[at + 2], layer.bits()[at + 3]};
}

using testing::BoxCatcher;

QMdiSubWindow* subWindowOf(WorkWindow* form) {
    return qobject_cast<QMdiSubWindow*>(form->parentWidget());
}

} // namespace

class WindowsTest : public QObject {
    Q_OBJECT
private:
    QTemporaryDir dir_;

    template <typename T> static T* control(WorkWindow* form, const char* name) {
        return form->findChild<T*>(QString::fromUtf8(name));
    }

private slots:
    void init() {
        QDir(dir_.path()).remove("cnc.ini");
        writeFile(dir_.filePath("test.bmp"), testing::bmpBytes(24, 40, 30, stripes));
    }

    void startupSetsCaptionControlsAndLayers() {
        MainFrame frame(dir_.path());
        frame.show();
        frame.openWorkWindow();
        WorkWindow* form = frame.workWindow();
        QVERIFY(form);
        QCOMPARE(frame.windowTitle(), QStringLiteral("Zelmar CNC"));
        QCOMPARE(frame.millAction()->text(), QStringLiteral("Фрезеровка"));
        QCOMPARE(frame.millAction()->objectName(), QStringLiteral("mill_cl"));
        QCOMPARE(form->windowTitle(), QStringLiteral("Zelmar ЧПУ   ver. 1.0.1"));
        QVERIFY(form->startupError().isEmpty());
        QCOMPARE(form->controller().tool().toolX, 1);
        QCOMPARE(form->controller().tool().toolY, 1);
        QCOMPARE(form->controller().tool().toolZ, 0);
        QCOMPARE(QString::fromStdString(form->config().portName), QStringLiteral("com1"));

        // No port yet: the window looks as it does when the port fails to open.
        auto* label4 = control<QLabel>(form, "Label4");
        QCOMPARE(label4->text(), QStringLiteral("Ошибка открытия Com-порта"));
        QCOMPARE(label4->palette().color(QPalette::WindowText), QColor(192, 0, 0));
        QVERIFY(!control<QCheckBox>(form, "Check1")->isEnabled());
        QVERIFY(!control<QCheckBox>(form, "Check1")->isChecked());
        QVERIFY(!control<QPushButton>(form, "Command3")->isEnabled());
        QVERIFY(control<QPushButton>(form, "Command1")->isEnabled());
        QCOMPARE(control<QLineEdit>(form, "Text2")->text(), QStringLiteral("150"));
        for (const char* box : {"tx", "ty", "tz"})
            QVERIFY(control<QLineEdit>(form, box)->text().isEmpty());

        // Four independent copies of the file.
        const LayerSet& layers = form->controller().session().layers;
        QCOMPARE(layers.header().bmWidth, 40);
        QCOMPARE(layers.header().bmHeight, 30);
        QCOMPARE(layers.header().bmBitsPixel, std::int16_t{32});
        QCOMPARE(layers.workLayer.bits(), layers.sourceLayer.bits());
        QCOMPARE(layers.selectionLayer.bits(), layers.sourceLayer.bits());
        QCOMPARE(layers.millLayer.bits(), layers.sourceLayer.bits());
        // Independent: painting on the mill layer leaves the loaded picture and the others as they were.
        const std::vector<std::uint8_t> loaded = layers.sourceLayer.bits();
        form->controller().session().layers.millLayer.pixelBytes()[0] ^= 0xff;
        QVERIFY(layers.millLayer.bits() != layers.sourceLayer.bits());
        QCOMPARE(layers.sourceLayer.bits(), loaded);
        QCOMPARE(layers.workLayer.bits(), loaded);
        QCOMPARE(layers.selectionLayer.bits(), loaded);
    }

    void controlsStandWhereDesigned() {
        MainFrame frame(dir_.path());
        frame.show();
        frame.openWorkWindow();
        WorkWindow* form = frame.workWindow();
        // 15 twips per pixel offscreen; positions are relative to the container.
        QCOMPARE(control<QPushButton>(form, "Command1")->geometry(), QRect(174, 12, 79, 25));
        QCOMPARE(control<QPushButton>(form, "Command1")->parentWidget()->objectName(),
                 QStringLiteral("Frame2"));
        QCOMPARE(control<QPushButton>(form, "Command3")->geometry(), QRect(183, 51, 53, 32));
        QCOMPARE(control<QPushButton>(form, "Command3")->parentWidget()->objectName(),
                 QStringLiteral("Frame1"));
        QCOMPARE(control<QPushButton>(form, "Command3")->text(), QStringLiteral("Ручная уст-ка"));
        QCOMPARE(control<QGroupBox>(form, "Frame1")->title(), QStringLiteral("Настройка"));
        QCOMPARE(control<QGroupBox>(form, "Frame1")->geometry(), QRect(9, 282, 244, 91));
        QCOMPARE(control<QLabel>(form, "Label4")->geometry(), QRect(57, 381, 196, 19));
        QCOMPARE(control<QGroupBox>(form, "Frame2")->size(), QSize(262, 406));

        // Every caption is readable whole in its designed box.
        for (const char* name : {"Label1", "Label2", "Label3", "Label4"}) {
            auto* label = control<QLabel>(form, name);
            QVERIFY2(label->fontMetrics().horizontalAdvance(label->text().trimmed()) <= label->width(), name);
        }
        for (auto* button : form->findChildren<QPushButton*>())
            QVERIFY2(button->fontMetrics()
                             .boundingRect(button->rect(), Qt::TextWordWrap, button->text())
                             .width() <= button->width(),
                     qPrintable(button->objectName()));

        const QStringList tabs{"Основная", "Градиент", "Выделение", "Фреза"};
        QTabBar* bar = tabStripOf(form)->tabBar();
        QCOMPARE(bar->count(), 4);
        for (int i = 0; i < 4; ++i)
            QCOMPARE(bar->tabText(i), tabs[i]);
        QCOMPARE(tabStripOf(form)->selectedIndex(), 1);

        // Keyboard order of the focusable controls, by their designed tab indexes.
        const QStringList expected{"Command7", "Command6", "Command5", "Command4", "tz",
                                   "ty",       "Text2",    "Check1",   "tx",       "Command3",
                                   "Command2", "tv",       "Command1", "tabBar"};
        const QSet<QString> named(expected.begin(), expected.end());
        for (int i = 0; i + 1 < expected.size(); ++i) {
            QWidget* w = form->findChild<QWidget*>(expected[i])->nextInFocusChain();
            while (!named.contains(w->objectName()))
                w = w->nextInFocusChain();
            QCOMPARE(w->objectName(), expected[i + 1]);
        }
    }

    void firstLayoutIsGridAtTheDesignedSize() {
        MainFrame frame(dir_.path());
        frame.show();
        frame.openWorkWindow();
        WorkWindow* form = frame.workWindow();
        QVERIFY(QTest::qWaitForWindowExposed(&frame));
        const QSize outer = subWindowOf(form)->size();
        const bool grid = (outer.width() * 15 - 3930 - 400) > 6000 && (outer.height() * 15 - 500) > 6000;
        QCOMPARE(tabStripOf(form)->isHidden(), grid);
        // The panel keeps 200 twips (13 pixels) to the window's outer right edge.
        QCOMPARE(control<QGroupBox>(form, "Frame2")->x(),
                 static_cast<int>(std::nearbyint((outer.width() * 15 - 4130) / 15.0)));
    }

    void modesFollowTheWindowSize() {
        MainFrame frame(dir_.path());
        frame.resize(1400, 1000);
        frame.show();
        frame.openWorkWindow();
        WorkWindow* form = frame.workWindow();
        QMdiSubWindow* sub = subWindowOf(form);

        sub->resize(1200, 800); // tab strip 80000/15 wide and high enough: grid
        QVERIFY(tabStripOf(form)->isHidden());
        for (int i = 0; i < 4; ++i)
            QVERIFY(!viewOf(form, i)->isHidden());
        QCOMPARE(viewOf(form, 1)->x(), viewOf(form, 0)->width() + 13);
        QCOMPARE(viewOf(form, 2)->y(), viewOf(form, 0)->height() + 13);

        tabStripOf(form)->tabBar()->setCurrentIndex(2);
        sub->resize(700, 360); // Ht = 5400 - 500 < 6000: tab mode with the selected tab's view
        QVERIFY(!tabStripOf(form)->isHidden());
        QCOMPARE(viewOf(form, 2)->isHidden(), false);
        QVERIFY(viewOf(form, 0)->isHidden() && viewOf(form, 1)->isHidden() && viewOf(form, 3)->isHidden());
        QCOMPARE(viewOf(form, 0)->geometry(), viewOf(form, 3)->geometry());
        QCOMPARE(viewOf(form, 0)->pos(), QPoint(7, 33));

        // Below 6000 x 4000 twips nothing moves.
        const QRect before = viewOf(form, 2)->geometry();
        sub->resize(390, 260);
        QCOMPARE(viewOf(form, 2)->geometry(), before);
        QVERIFY(!tabStripOf(form)->isHidden());
    }

    void tabClickShowsOnlyThatView() {
        MainFrame frame(dir_.path());
        frame.show();
        frame.openWorkWindow();
        WorkWindow* form = frame.workWindow();
        subWindowOf(form)->resize(700, 360); // tab mode
        QTabBar* bar = tabStripOf(form)->tabBar();
        QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(3).center());
        QCOMPARE(tabStripOf(form)->selectedIndex(), 4);
        QVERIFY(!viewOf(form, 3)->isHidden());
        QVERIFY(viewOf(form, 0)->isHidden() && viewOf(form, 1)->isHidden() && viewOf(form, 2)->isHidden());
        // Pict3 shows the mill layer at the drawn size.
        const QImage& picture = viewOf(form, 3)->picture();
        QVERIFY(!picture.isNull());
        QCOMPARE(picture.pixel(0, 0), qRgb(0, 0, 0));
        QCOMPARE(picture.pixel(picture.width() - 1, 0), qRgb(255, 255, 255)); // column 40: stripe 9 is light

        // A click on the tab already selected shows its view again after something hid it.
        viewOf(form, 3)->hide();
        QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(3).center());
        QVERIFY(!viewOf(form, 3)->isHidden());
    }

    void viewsKeepTheAspectAndRedrawOnlyWhatChanged() {
        MainFrame frame(dir_.path());
        frame.show();
        frame.openWorkWindow();
        WorkWindow* form = frame.workWindow();
        subWindowOf(form)->resize(700, 360);
        const QImage& picture = viewOf(form, 3)->picture();
        // 40 x 30 image: the drawn size keeps 4:3.
        QVERIFY(qAbs(picture.width() - qRound(picture.height() * 4 / 3.0)) <= 1);

        ImageLayer& mill = form->controller().session().layers.millLayer;
        PixelBuffer buffer = mill.toBuffer();
        for (int y = 10; y <= 12; ++y)
            for (int x = 2; x <= 4; ++x) {
                const std::int64_t i = buffer.geometry().indexOf(x, y);
                buffer.at(i) = 0;
                buffer.at(i + 1) = 0;
                buffer.at(i + 2) = 255;
            }
        mill.copyFrom(buffer, PixelRect{1, 9, 4, 12});
        form->RefreshViews();
        const double scale = picture.width() / 40.0;
        QVERIFY(viewOf(form, 3)->lastRedrawnPixels() > 0);
        QVERIFY(viewOf(form, 3)->lastRedrawnPixels() <=
                qint64(std::ceil(3 * scale + 1) * std::ceil(3 * scale + 1)));
        QCOMPARE(viewOf(form, 0)->lastRedrawnPixels(), qint64{0});
        QCOMPARE(picture.pixel(int(2.5 * scale), int(10.5 * scale)), qRgb(255, 0, 0));
        QCOMPARE(viewOf(form, 0)->picture().pixel(int(2.5 * scale), int(10.5 * scale)), qRgb(0, 0, 0));
    }

    void parseShowsTheTreeAndAClickPaintsTheRegion() {
        writeFile(dir_.filePath("test.bmp"), testing::bmpBytes(24, 20, 12, block));
        MainFrame frame(dir_.path());
        frame.show();
        frame.openWorkWindow();
        WorkWindow* form = frame.workWindow();
        auto* tv = control<QTreeView>(form, "tv");
        QCOMPARE(tv->model()->rowCount(), 0);

        QTest::mouseClick(control<QPushButton>(form, "Command1"), Qt::LeftButton);
        QAbstractItemModel* model = tv->model();
        QCOMPARE(model->rowCount(), 1);
        const QModelIndex root = model->index(0, 0);
        QCOMPARE(root.data().toString(), QStringLiteral("1"));
        QVERIFY(tv->isExpanded(root));
        QCOMPARE(model->rowCount(root), 1);
        const QModelIndex square = model->index(0, 0, root);
        QCOMPARE(square.data().toString(), QStringLiteral("2"));
        QCOMPARE(square.parent(), root);
        const std::vector<std::uint8_t> selectionBefore = form->controller().session().layers.selectionLayer.bits();

        // A click on empty space of the tree selects nothing and paints nothing.
        QTest::mouseClick(tv->viewport(), Qt::LeftButton, {}, QPoint(5, tv->viewport()->height() - 5));
        QCOMPARE(form->controller().session().layers.selectionLayer.bits(), selectionBefore);

        QTest::mouseClick(tv->viewport(), Qt::LeftButton, {}, tv->visualRect(square).center());
        const LayerSet& layers = form->controller().session().layers;
        QCOMPARE(pixelOf(layers.selectionLayer, 6, 5), (std::array<std::uint8_t, 4>{0, 255, 0, 255}));
        QCOMPARE(pixelOf(layers.selectionLayer, 9, 7), (std::array<std::uint8_t, 4>{0, 255, 0, 255}));
        QCOMPARE(pixelOf(layers.selectionLayer, 5, 5), (std::array<std::uint8_t, 4>{255, 255, 255, 255}));
        QCOMPARE(layers.workLayer.bits(), layers.sourceLayer.bits());
        QCOMPARE(layers.millLayer.bits(), layers.sourceLayer.bits());
        QCOMPARE(form->controller().session().selectedNode, 1);
        // Pict2 shows it: the picture's pixel over (6, 5) is green.
        const QImage& picture = viewOf(form, 2)->picture();
        const double scale = picture.width() / 20.0;
        QCOMPARE(picture.pixel(int(5.5 * scale), int(4.5 * scale)), qRgb(0, 255, 0));

        // Clicking the root paints the background instead, the square as it is.
        QTest::mouseClick(tv->viewport(), Qt::LeftButton, {}, tv->visualRect(root).center());
        QCOMPARE(pixelOf(layers.selectionLayer, 6, 5), (std::array<std::uint8_t, 4>{0, 0, 0, 255}));
        QCOMPARE(pixelOf(layers.selectionLayer, 1, 1), (std::array<std::uint8_t, 4>{0, 255, 0, 255}));

        // A new parse clears the selection and rebuilds the same tree.
        QTest::mouseClick(control<QPushButton>(form, "Command1"), Qt::LeftButton);
        QCOMPARE(form->controller().session().selectedNode, -1);
        QCOMPARE(model->rowCount(model->index(0, 0)), 1);
    }

    // "Выделенная" mills the node the tree shows as selected, however it got there, and the "Выделение" view
    // shows that node: a click, the arrow keys, a parse (none then) and a click anywhere in the tree agree.
    void theSelectedNodeIsWhatTheTreeShows() {
        writeFile(dir_.filePath("test.bmp"), testing::bmpBytes(24, 30, 12, [](int x, int y) {
                      return y >= 3 && y <= 6 && (x % 8 >= 2 && x % 8 <= 4) ? 0 : 255;
                  }));
        MainFrame frame(dir_.path());
        frame.show();
        frame.openWorkWindow();
        WorkWindow* form = frame.workWindow();
        form->controller().setDryPauseMs(0);
        auto* tv = control<QTreeView>(form, "tv");
        QTest::mouseClick(control<QPushButton>(form, "Command1"), Qt::LeftButton);
        QAbstractItemModel* model = tv->model();
        const QModelIndex root = model->index(0, 0);
        QCOMPARE(model->rowCount(root), 4); // four blocks below the background
        const auto regionOf = [](const QModelIndex& i) { return i.data().toString().toInt(); };
        const auto lastSelect = [form]() {
            const std::vector<Operation>& h = form->controller().history();
            return h.size() >= 2 && h[h.size() - 2].kind == Operation::Kind::Select ? h[h.size() - 2].id : -1;
        };
        const auto milled = [form](int region) {
            // A dry "Выделенная" paints the region's outline red in the mill layer.
            const std::int64_t first = MillIndex::build(form->controller().session().regions->tables).firstPixel[std::size_t(region)];
            const int width = form->controller().session().layers.header().bmWidth + 1;
            return pixelOf(form->controller().session().layers.millLayer, int(first % width), int(first / width)) ==
                   std::array<std::uint8_t, 4>{0, 0, 255, 255};
        };

        // A click on the first block, then Down twice: the third block is selected, and milled.
        QTest::mouseClick(tv->viewport(), Qt::LeftButton, {}, tv->visualRect(model->index(0, 0, root)).center());
        QTest::keyClick(tv, Qt::Key_Down);
        QTest::keyClick(tv, Qt::Key_Down);
        const QModelIndex third = model->index(2, 0, root);
        QCOMPARE(tv->currentIndex(), third);
        QTest::mouseClick(control<QPushButton>(form, "Command2"), Qt::LeftButton);
        QTRY_VERIFY(!form->controller().runner().isRunning());
        QCOMPARE(lastSelect(), regionOf(third));
        QVERIFY(milled(regionOf(third)));
        QVERIFY(!milled(regionOf(model->index(0, 0, root))));

        // The highlight followed the keys to the third block; a click on empty space keeps it there.
        // Blocks stand at columns 3..5, 11..13, 19..21 and 27..29.
        const auto green = [form](int x) {
            return pixelOf(form->controller().session().layers.selectionLayer, x, 4) == std::array<std::uint8_t, 4>{0, 255, 0, 255};
        };
        QVERIFY(!green(3) && green(19));
        QTest::mouseClick(tv->viewport(), Qt::LeftButton, {}, QPoint(5, tv->viewport()->height() - 5));
        QCOMPARE(tv->currentIndex(), third);
        QVERIFY(!green(3) && green(19));

        // Down once more, then a click on the root's expand arrow: it folds, and the fourth block is painted.
        QTest::keyClick(tv, Qt::Key_Down);
        const QModelIndex fourth = model->index(3, 0, root);
        QCOMPARE(tv->currentIndex(), fourth);
        const QRect rootRow = tv->visualRect(root);
        QTest::mouseClick(tv->viewport(), Qt::LeftButton, {}, QPoint(rootRow.left() - tv->indentation() / 2, rootRow.center().y()));
        QVERIFY(!tv->isExpanded(root));
        QVERIFY(!green(19) && green(27));

        // A new parse: no node is current, and no highlight is left.
        QTest::mouseClick(control<QPushButton>(form, "Command1"), Qt::LeftButton);
        QVERIFY(!tv->currentIndex().isValid());
        QCOMPARE(form->controller().session().layers.selectionLayer.bits(), form->controller().session().layers.workLayer.bits());
        // After it, a node reached with the keyboard alone is milled: no "Не выбрана фигура.".
        tv->setFocus();
        QTest::keyClick(tv, Qt::Key_Home); // the root, open after a parse
        QTest::keyClick(tv, Qt::Key_Down); // the first block
        const QModelIndex first = model->index(0, 0, model->index(0, 0));
        QCOMPARE(tv->currentIndex(), first);
        BoxCatcher box;
        box.arm();
        QTest::mouseClick(control<QPushButton>(form, "Command2"), Qt::LeftButton);
        QTRY_VERIFY(!form->controller().runner().isRunning());
        QTest::qWait(20);
        QCOMPARE(box.seen, 0);
        QCOMPARE(lastSelect(), regionOf(first));
    }

    // "Сохранить G-код…" writes what "Выделенная" or "Все" would send now, and changes nothing in the program.
    void savingGcodeChangesNothing() {
        writeFile(dir_.filePath("test.bmp"), testing::bmpBytes(24, 30, 12, [](int x, int y) {
                      return y >= 3 && y <= 6 && (x % 8 >= 2 && x % 8 <= 4) ? 0 : 255;
                  }));
        MainFrame frame(dir_.path());
        frame.show();
        frame.openWorkWindow();
        WorkWindow* form = frame.workWindow();
        form->controller().setDryPauseMs(0);
        auto* tv = control<QTreeView>(form, "tv");
        QTest::mouseClick(control<QPushButton>(form, "Command1"), Qt::LeftButton);
        // A dry "Все" first, so that the marks and states the export must leave alone are not the fresh ones.
        QTest::mouseClick(control<QPushButton>(form, "Command6"), Qt::LeftButton);
        QTRY_VERIFY(!form->controller().runner().isRunning());
        QTest::mouseClick(control<QPushButton>(form, "Command1"), Qt::LeftButton);
        const QModelIndex second = tv->model()->index(1, 0, tv->model()->index(0, 0));
        QTest::mouseClick(tv->viewport(), Qt::LeftButton, {}, tv->visualRect(second).center());
        const int region = second.data().toString().toInt();

        const LayerSet before = form->controller().session().layers;
        const RegionAnalysis analysisBefore = *form->controller().session().regions;
        const ToolPosition toolBefore = form->controller().tool();
        const std::size_t historyBefore = form->controller().history().size();
        const std::int32_t selectedBefore = form->controller().session().selectedNode;
        QVERIFY(selectedBefore >= 0);
        const auto unchanged = [&] {
            const LayerSet& now = form->controller().session().layers;
            return now.sourceLayer.bits() == before.sourceLayer.bits() && now.workLayer.bits() == before.workLayer.bits() &&
                   now.selectionLayer.bits() == before.selectionLayer.bits() &&
                   now.millLayer.bits() == before.millLayer.bits() &&
                   form->controller().session().regions->tables.regionTable == analysisBefore.tables.regionTable &&
                   form->controller().session().regions->tables.linkTable == analysisBefore.tables.linkTable &&
                   form->controller().session().regions->tree.nodes == analysisBefore.tree.nodes &&
                   form->controller().tool() == toolBefore && form->controller().history().size() == historyBefore &&
                   form->controller().session().selectedNode == selectedBefore;
        };

        // Through the menu: "Да" writes the selected region only.
        const QString selectedPath = dir_.filePath("selected.nc");
        bool answered = false;
        QTimer::singleShot(0, [&] {
            QVERIFY(QTest::qWaitFor([] { return qobject_cast<QMessageBox*>(QApplication::activeModalWidget()); }));
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            QVERIFY(box->text().contains(QString::number(region)));
            for (QAbstractButton* b : box->buttons())
                if (b->text() == QStringLiteral("Да"))
                    b->click();
            QVERIFY(QTest::qWaitFor([] { return QApplication::activeModalWidget() &&
                                                QApplication::activeModalWidget()->objectName() == "gcodeDialog"; }));
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            dialog->selectFile(selectedPath);
            static_cast<QDialog*>(dialog)->accept(); // as the "Save" button does
            answered = true;
        });
        frame.saveGcodeAction()->trigger();
        QTRY_VERIFY(answered);
        QTRY_VERIFY(QFile::exists(selectedPath));
        QVERIFY(unchanged());
        // The box that confirms the save says where the tool must stand, in Russian throughout.
        QTRY_VERIFY(QApplication::activeModalWidget() &&
                    QApplication::activeModalWidget()->objectName() == QStringLiteral("messageBox"));
        auto* saved = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        const QString right = QString::number((toolBefore.toolX - 1) * 150 * 0.01, 'f', 2);
        const QString down = QString::number((toolBefore.toolY - 1) * 150 * 0.01, 'f', 2);
        const QString savedText = saved->text();
        QVERIFY2(savedText.contains(QStringLiteral("над пикселем %1, %2 (%3 мм правее и %4 мм ниже левого верхнего "
                                                   "пикселя изображения): все перемещения")
                                        .arg(toolBefore.toolX)
                                        .arg(toolBefore.toolY)
                                        .arg(right, down)),
                 qPrintable(savedText));
        QVERIFY2(!QString(savedText).remove(selectedPath).remove(QStringLiteral("G-код")).contains(
                     QRegularExpression(QStringLiteral("[A-Za-z]"))),
                 qPrintable(savedText));
        saved->accept();

        // The preview carves a copy beside the window: its pictures come, and the work stays as it was.
        frame.previewAction()->trigger();
        auto* preview = form->findChild<PreviewDialog*>();
        QVERIFY(preview);
        QTRY_VERIFY(preview->ready());
        QVERIFY(unchanged());
        preview->close();

        // Directly, "Все" as well; both as zelmar-cli writes the same jobs.
        const QString allPath = dir_.filePath("all.nc");
        QVERIFY(saveGcodeThroughMenu(frame, allPath, QStringLiteral("Нет")).contains(allPath));
        QVERIFY(unchanged());
        for (const auto& [path, ops] :
             {std::pair{selectedPath, QStringList{"mill-all", "parse", QStringLiteral("select=%1").arg(region), "mill-selected"}},
              std::pair{allPath, QStringList{"mill-all", "parse", "mill-all"}}}) {
            QProcess cli;
            cli.start(QStringLiteral(ZELMAR_BIN_DIR "/zelmar-cli"),
                      QStringList{dir_.filePath("test.bmp"), "parse"} + ops + QStringList{"--gcode", dir_.filePath("cli.nc")});
            QVERIFY(cli.waitForFinished(30000));
            QCOMPARE(cli.exitCode(), 0);
            // zelmar-cli's file holds the dry "Все" before too: the window's job is its tail. Only the first
            // approach of "Все" differs: a dry job leaves the window's tool where it was, zelmar-cli's where the
            // drawing ended.
            const QStringList cliMoves = gcodeMovesOf(dir_.filePath("cli.nc"));
            const QStringList windowMoves = gcodeMovesOf(path);
            QVERIFY(windowMoves.size() > 4);
            const qsizetype skip = path == allPath ? 4 : 2; // G21, G91 (and the rise to the travel height and that approach)
            QCOMPARE(cliMoves.mid(cliMoves.size() - windowMoves.size() + skip), windowMoves.mid(skip));
        }
    }

    // A cutting edge shorter than the step-down: the window's file cuts its passes as the job on the machine does,
    // within the edge, as zelmar-cli's file does.
    void theFileKeepsThePassesWithinTheCuttingEdge() {
        QTemporaryDir dir;
        writeFile(dir.filePath("test.bmp"), barPicture());
        // At 1.5 mm a pixel the 3 mm edge is 2 depth units: passes of 2, not 5.
        writeFile(dir.filePath("cnc.ini"), "[CNC]\r\nToolShape=flat\r\nToolDiameter=1\r\nToolLength=3\r\nStepDown=5\r\n");
        MainFrame frame(dir.path());
        frame.show();
        frame.openWorkWindow();
        WorkWindow* form = frame.workWindow();
        QTest::mouseClick(control<QPushButton>(form, "Command1"), Qt::LeftButton);
        QVERIFY(saveGcodeThroughMenu(frame, dir.filePath("window.nc")).contains(dir.filePath("window.nc")));
        QProcess cli;
        cli.start(QStringLiteral(ZELMAR_BIN_DIR "/zelmar-cli"),
                  {dir.filePath("test.bmp"), "parse", "mill-all", "--tool", "flat:1:L3", "--step-down", "5", "--gcode",
                   dir.filePath("cli.nc")});
        QVERIFY(cli.waitForFinished(30000));
        QCOMPARE(cli.exitCode(), 0);
        const QStringList windowMoves = gcodeMovesOf(dir.filePath("window.nc"));
        QVERIFY(windowMoves.size() > 4);
        QCOMPARE(windowMoves, gcodeMovesOf(dir.filePath("cli.nc")));
    }

    // "Станок" → "Карта высот…": a file that is no map is refused with its line; a map is described, and the
    // G-code file follows it as zelmar-cli's does.
    void theFileFollowsALoadedHeightMap() {
        QTemporaryDir dir;
        writeFile(dir.filePath("test.bmp"), barPicture());
        writeFile(dir.filePath("bad.txt"), "grid 2 2\norigin 0 0\nstep 10 10\n0 0 0\n");
        writeFile(dir.filePath("map.txt"), "grid 3 2\norigin -1 -20\nstep 5 25\n0 0.5 -0.25\n0.125 1 0\n");
        MainFrame frame(dir.path());
        frame.show();
        frame.openWorkWindow();
        WorkWindow* form = frame.workWindow();
        QTest::mouseClick(control<QPushButton>(form, "Command1"), Qt::LeftButton);
        const auto load = [&frame](const QString& path) {
            QTimer::singleShot(0, [path] {
                QVERIFY(modal("heightMapDialog"));
                auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
                dialog->selectFile(path);
                static_cast<QDialog*>(dialog)->accept();
            });
            frame.heightMapAction()->trigger();
            if (!QTest::qWaitFor([] { return qobject_cast<QMessageBox*>(QApplication::activeModalWidget()); }))
                return QString();
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            const QString text = box->text();
            box->accept();
            return text;
        };
        QVERIFY(load(dir.filePath("bad.txt")).contains(QStringLiteral("строка 4: в строке должно быть высот: 2, а их 3")));
        QVERIFY(!form->controller().heightMap());
        QVERIFY(load(dir.filePath("map.txt")).startsWith(QStringLiteral("Карта высот map.txt: 3 × 2 точек")));
        QVERIFY(saveGcodeThroughMenu(frame, dir.filePath("window.nc")).contains(QStringLiteral("карте высот")));
        QProcess cli;
        cli.start(QStringLiteral(ZELMAR_BIN_DIR "/zelmar-cli"), {dir.filePath("test.bmp"), "parse", "mill-all",
                                                                "--height-map", dir.filePath("map.txt"), "--gcode",
                                                                dir.filePath("cli.nc")});
        QVERIFY(cli.waitForFinished(30000));
        QCOMPARE(cli.exitCode(), 0);
        const QStringList windowMoves = gcodeMovesOf(dir.filePath("window.nc"));
        QCOMPARE(windowMoves, gcodeMovesOf(dir.filePath("cli.nc")));
        frame.forgetHeightMapAction()->trigger();
        QTRY_VERIFY(qobject_cast<QMessageBox*>(QApplication::activeModalWidget()));
        qobject_cast<QMessageBox*>(QApplication::activeModalWidget())->accept();
        QVERIFY(!form->controller().heightMap());
        QVERIFY(!saveGcodeThroughMenu(frame, dir.filePath("flat.nc")).contains(QStringLiteral("карте высот")));
        QVERIFY(gcodeMovesOf(dir.filePath("flat.nc")) != windowMoves);
    }

    void parseOfOneClassLeavesTheTreeEmpty() {
        writeFile(dir_.filePath("test.bmp"), testing::bmpBytes(24, 20, 12, [](int, int) { return 255; }));
        MainFrame frame(dir_.path());
        frame.show();
        frame.openWorkWindow();
        WorkWindow* form = frame.workWindow();
        QTest::mouseClick(control<QPushButton>(form, "Command1"), Qt::LeftButton);
        auto* tv = control<QTreeView>(form, "tv");
        QCOMPARE(tv->model()->rowCount(), 0);
        QTest::mouseClick(tv->viewport(), Qt::LeftButton, {}, QPoint(10, 10));
        QCOMPARE(form->controller().session().layers.selectionLayer.bits(), form->controller().session().layers.sourceLayer.bits());
        QCOMPARE(form->controller().session().regions->tables.labelMap.at(20, 12), 1);
    }

    void reliefButtonsAndCut3D() {
        // A dark block with a dot inside: a tree to start from, and passes that cut inwards.
        writeFile(dir_.filePath("test.bmp"), testing::bmpBytes(24, 30, 24, [](int x, int y) {
                      return x >= 4 && x <= 25 && y >= 4 && y <= 19 ? 0 : 255;
                  }));
        MainFrame frame(dir_.path());
        frame.show();
        frame.openWorkWindow();
        WorkWindow* form = frame.workWindow();
        form->controller().setDryPauseMs(0);
        auto* tv = control<QTreeView>(form, "tv");

        // Without a tree "Резать 3D" refuses and changes nothing.
        BoxCatcher box;
        box.arm();
        QTest::mouseClick(control<QPushButton>(form, "Command7"), Qt::LeftButton);
        QTRY_COMPARE(box.seen, 1);
        QVERIFY(box.text.startsWith(QStringLiteral("Изображение не загружено или не разобрано.")));
        QCOMPARE(form->controller().session().layers.workLayer.bits(), form->controller().session().layers.sourceLayer.bits());

        QTest::mouseClick(control<QPushButton>(form, "Command1"), Qt::LeftButton);
        QCOMPARE(tv->model()->rowCount(), 1);
        // "Градиент": the block's rim turns white in the work layer; the tree of the last parse stays.
        QTest::mouseClick(control<QPushButton>(form, "Command4"), Qt::LeftButton);
        QCOMPARE(pixelOf(form->controller().session().layers.workLayer, 5, 5), (std::array<std::uint8_t, 4>{255, 255, 255, 255}));
        QCOMPARE(pixelOf(form->controller().session().layers.workLayer, 7, 7), (std::array<std::uint8_t, 4>{0, 0, 0, 255}));
        QCOMPARE(tv->model()->rowCount(), 1);
        QCOMPARE(form->controller().session().regions->tables.regionTableSize(), 100);
        // "Отступить": one pixel further in.
        QTest::mouseClick(control<QPushButton>(form, "Command5"), Qt::LeftButton);
        QCOMPARE(pixelOf(form->controller().session().layers.workLayer, 6, 6), (std::array<std::uint8_t, 4>{255, 255, 255, 255}));
        QCOMPARE(pixelOf(form->controller().session().layers.workLayer, 7, 7), (std::array<std::uint8_t, 4>{0, 0, 0, 255}));

        // "Резать 3D", dry: passes two pixels inside the block, then four further in, until nothing is left.
        QTest::mouseClick(control<QPushButton>(form, "Command4"), Qt::LeftButton);
        QTest::mouseClick(control<QPushButton>(form, "Command1"), Qt::LeftButton);
        QTest::mouseClick(control<QPushButton>(form, "Command7"), Qt::LeftButton);
        QTRY_VERIFY(!form->controller().runner().isRunning());
        QCOMPARE(tv->model()->rowCount(), 0);
        const ImageLayer& mill = form->controller().session().layers.millLayer;
        const auto red = [&mill](int x, int y) {
            return pixelOf(mill, x, y) == std::array<std::uint8_t, 4>{0, 0, 255, 255};
        };
        QVERIFY(red(7, 12) && red(11, 12));
        QVERIFY(!red(5, 12));
        QVERIFY(control<QPushButton>(form, "Command7")->isEnabled());
    }

    void numberBoxesTakeDigitsOnly() {
        MainFrame frame(dir_.path());
        frame.show();
        frame.openWorkWindow();
        WorkWindow* form = frame.workWindow();
        for (const char* name : {"tx", "ty", "tz", "Text2"}) {
            auto* box = control<QLineEdit>(form, name);
            box->setFocus();
            box->clear();
            for (Qt::Key k : {Qt::Key_1, Qt::Key_2, Qt::Key_3, Qt::Key_4, Qt::Key_5, Qt::Key_6})
                QTest::keyClick(box, k);
            QCOMPARE(box->text(), QStringLiteral("12345")); // the sixth digit is refused
            QTest::keyClick(box, Qt::Key_Backspace);
            QCOMPARE(box->text(), QStringLiteral("12345")); // backspace too, at five characters
            QTest::keyClick(box, Qt::Key_Left);
            QTest::keyClick(box, Qt::Key_Delete); // Delete types nothing and keeps its effect
            QCOMPARE(box->text(), QStringLiteral("1234"));
            // Under X11 the Delete key comes with the text "\x7f": it must still delete.
            box->setText(QStringLiteral("12345"));
            box->setCursorPosition(0);
            QKeyEvent x11Delete(QEvent::KeyPress, Qt::Key_Delete, Qt::NoModifier, QStringLiteral("\x7f"));
            QApplication::sendEvent(box, &x11Delete);
            QCOMPARE(box->text(), QStringLiteral("2345"));
            box->setText(QStringLiteral("1234"));
            box->setCursorPosition(3);
            QTest::keyClick(box, Qt::Key_End);
            QTest::keyClick(box, Qt::Key_Backspace);
            QCOMPARE(box->text(), QStringLiteral("123"));
            // Ctrl+Backspace types a control code of its own: discarded, the word stays.
            QTest::keyClick(box, Qt::Key_Backspace, Qt::ControlModifier);
            QCOMPARE(box->text(), QStringLiteral("123"));
            for (Qt::Key k :
                 {Qt::Key_A, Qt::Key_Minus, Qt::Key_Plus, Qt::Key_Period, Qt::Key_Comma, Qt::Key_Space})
                QTest::keyClick(box, k);
            QGuiApplication::clipboard()->setText(QStringLiteral("9"));
            QTest::keyClick(box, Qt::Key_V, Qt::ControlModifier); // a control code, refused like the others
            QCOMPARE(box->text(), QStringLiteral("123"));
        }
    }

    void missingImageOpensTheWindowWithABox() {
        writeFile(dir_.filePath("cnc.ini"), "[CNC]\nImage=absent.bmp\n");
        MainFrame frame(dir_.path());
        frame.show();
        BoxCatcher box;
        box.arm();
        frame.openWorkWindow();
        WorkWindow* form = frame.workWindow();
        QVERIFY(form);
        QTRY_COMPARE(box.seen, 1);
        QCOMPARE(box.title, QStringLiteral("Ошибка"));
        QVERIFY(!box.hadIcon);
        QVERIFY2(box.text.contains(dir_.filePath("absent.bmp")), qPrintable(box.text));
        QVERIFY(box.text.contains(QStringLiteral("Файл не найден.")));
        QVERIFY(form->controller().session().layers.isEmpty());
        // Layout, tabs and redraws do nothing harmful without an image.
        subWindowOf(form)->resize(700, 360);
        form->RefreshViews();
        QTest::mouseClick(tabStripOf(form)->tabBar(), Qt::LeftButton, {},
                          tabStripOf(form)->tabBar()->tabRect(1).center());
        QVERIFY(viewOf(form, 0)->picture().isNull());
        QVERIFY(!viewOf(form, 1)->isHidden());
        QTest::mouseClick(control<QPushButton>(form, "Command1"), Qt::LeftButton);
        QCOMPARE(control<QTreeView>(form, "tv")->model()->rowCount(), 0);
        QVERIFY(form->controller().session().regions->tables.labelMap.isEmpty());
    }

    void menuFocusesOrReloadsTheWorkWindow() {
        MainFrame frame(dir_.path());
        frame.show();
        frame.openWorkWindow();
        QPointer<WorkWindow> first = frame.workWindow();
        frame.millAction()->trigger();
        QCOMPARE(frame.workWindow(), first.data()); // loaded already: only focused
        QCOMPARE(frame.mdiArea()->subWindowList().size(), 1);

        // A job stopped and kept: "Продолжить" stands ready, until the window that holds the job is closed.
        QTest::mouseClick(control<QPushButton>(first, "Command1"), Qt::LeftButton);
        QTest::mouseClick(control<QPushButton>(first, "Command6"), Qt::LeftButton);
        // Closing while it runs (a dry run too) asks first; "Нет" leaves the window and its job as they were.
        subWindowOf(first)->close();
        QCOMPARE(testing::answerQuestionNow(false), QStringLiteral("Идёт фрезерование. Остановить и закрыть?"));
        QVERIFY(first && first->isVisible());
        QCOMPARE(first->controller().runner().phase(), JobRunner::Phase::Running);
        first->requestStop();
        QTRY_VERIFY(!first->controller().runner().isRunning());
        QVERIFY(frame.jobStatus()->pauseButton()->isEnabled());
        QLabel* time = frame.jobStatus()->findChild<QLabel*>(QStringLiteral("jobTime"));
        QVERIFY2(time->text().startsWith(QStringLiteral("остановлено")), qPrintable(time->text()));
        QVERIFY(frame.saveGcodeAction()->isEnabled() && frame.restoreMillAction()->isEnabled() &&
                frame.previewAction()->isEnabled());

        // Change a layer, the configuration and the file, then close: the menu starts everything afresh.
        PixelBuffer buffer = first->controller().session().layers.millLayer.toBuffer();
        buffer.at(1) = 77;
        first->controller().session().layers.millLayer.copyFrom(buffer);
        writeFile(dir_.filePath("other.bmp"), testing::bmpBytes(8, 12, 9, stripes));
        writeFile(dir_.filePath("cnc.ini"), "[CNC]\nPort=/dev/null\nImage=other.bmp\n");
        subWindowOf(first)->close();
        QTRY_VERIFY(first.isNull());
        QVERIFY(!frame.workWindow());
        // Nothing is left to continue, stop or export.
        QVERIFY(!frame.jobStatus()->pauseButton()->isEnabled() && !frame.jobStatus()->stopButton()->isEnabled());
        QVERIFY(!frame.saveGcodeAction()->isEnabled() && !frame.restoreMillAction()->isEnabled() &&
                !frame.previewAction()->isEnabled());

        frame.millAction()->trigger();
        WorkWindow* second = frame.workWindow();
        QVERIFY(second);
        // The status bar starts clean: the last window's job is gone with it.
        for (const char* field : {"jobTime", "jobEstimate", "jobRegion", "jobTool"})
            QVERIFY2(frame.jobStatus()->findChild<QLabel*>(QString::fromUtf8(field))->text().isEmpty(), field);
        QCOMPARE(frame.jobStatus()->findChild<QProgressBar*>(QStringLiteral("jobProgress"))->value(), 0);
        QVERIFY(!frame.jobStatus()->findChild<QProgressBar*>(QStringLiteral("jobProgress"))->text().contains(
            QStringLiteral(" из ")));
        QCOMPARE(QString::fromStdString(second->config().portName), QStringLiteral("/dev/null"));
        QCOMPARE(second->controller().session().layers.header().bmWidth, 12);
        QCOMPARE(second->controller().session().layers.millLayer.bits(), second->controller().session().layers.sourceLayer.bits());
        QCOMPARE(second->controller().tool().toolX, 1);
        QCOMPARE(second->windowTitle(), QStringLiteral("Zelmar ЧПУ   ver. 1.0.1"));
        QVERIFY(frame.saveGcodeAction()->isEnabled());
    }

    // Qt's own words read in Russian like the program's; counts agree with their nouns.
    void qtWordsAndCountsAreRussian() {
        QVERIFY(installQtTranslations(*QCoreApplication::instance()));
        QFileDialog dialog;
        dialog.setOption(QFileDialog::DontUseNativeDialog);
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        QStringList words;
        for (const QDialogButtonBox* box : dialog.findChildren<QDialogButtonBox*>())
            for (const QAbstractButton* b : box->buttons())
                words << b->text();
        QVERIFY2(words.contains(QStringLiteral("&Сохранить")) && words.contains(QStringLiteral("Отмена")),
                 qPrintable(words.join(", ")));
        const std::pair<std::int64_t, const char*> counts[] = {
            {0, "0 перемещений"},     {1, "1 перемещение"},      {2, "2 перемещения"},   {4, "4 перемещения"},
            {5, "5 перемещений"},     {11, "11 перемещений"},    {12, "12 перемещений"}, {14, "14 перемещений"},
            {21, "21 перемещение"},   {22, "22 перемещения"},    {82, "82 перемещения"}, {111, "111 перемещений"},
            {1493, "1493 перемещения"}, {1501, "1501 перемещение"}};
        for (const auto& [n, text] : counts)
            QCOMPARE(QString::fromStdString(movesText(n)), QString::fromUtf8(text));
    }

    // At the designed size every field of the status bar shows whole: the longest figures, grbl's state and
    // "Продолжить" at once.
    void theStatusBarShowsEveryFieldWhole() {
        MainFrame frame(dir_.path());
        frame.show();
        JobStatus* status = frame.jobStatus();
        status->begin();
        status->setPauseIsFeedHold(true);
        status->setEstimate(12345, 3723000);
        status->start(123456);
        JobProgress p;
        p.movesDone = 123456;
        p.movesTotal = 123456;
        p.regionId = 12345;
        p.x = -1234;
        p.y = 1234;
        p.z = -25;
        p.commandsDone = 12345;
        p.msLeft = 3723000;
        status->progress(p);
        status->setPass(12);
        status->setControl(JobStatus::Control::CanContinue, true);
        frame.machineStatus()->setText(QStringLiteral("grbl: Hold:0 X-123.456 Y-123.456 Z-12.345"));
        frame.machineStatus()->show();
        QTest::qWait(250); // past the labels' rate limit
        status->progress(p);
        QCoreApplication::processEvents();
        for (QLabel* label : status->findChildren<QLabel*>()) {
            if (!label->isVisible())
                continue;
            const int needed = label->fontMetrics().horizontalAdvance(label->text());
            QVERIFY2(label->contentsRect().width() >= needed,
                     qPrintable(label->objectName() + ": " + label->text() + " " +
                                QString::number(label->contentsRect().width()) + " < " + QString::number(needed)));
        }
        QProgressBar* bar = status->findChild<QProgressBar*>(QStringLiteral("jobProgress"));
        QVERIFY(bar->width() >= bar->fontMetrics().horizontalAdvance(bar->text()));
        for (QPushButton* b : {status->pauseButton(), status->stopButton()})
            QVERIFY2(b->width() >= b->sizeHint().width(), qPrintable(b->text()));
    }

    // An installed program's first start for a user without settings: the user's cnc.ini is made from the
    // example, the packaged sample loads from where the example lies, and the frame's status bar says where
    // the file was made; at the next load the file is simply there, and nothing more is said.
    void firstStartMakesTheUserSettingsAndSaysWhere() {
        QTemporaryDir root;
        ConfigLocations locations;
        locations.programDir = root.filePath("usr/bin").toStdString();
        locations.userDir = root.filePath("home/.config/zelmar").toStdString();
        locations.examplePaths = {root.filePath("usr/share/zelmar/cnc.ini").toStdString()};
        QVERIFY(QDir().mkpath(root.filePath("usr/bin")) && QDir().mkpath(root.filePath("usr/share/zelmar")));
        writeFile(root.filePath("usr/share/zelmar/cnc.ini"),
                  "; example\n[CNC]\nPort=/dev/zelmar-absent\nImage=test.bmp\n");
        writeFile(root.filePath("usr/share/zelmar/test.bmp"), testing::bmpBytes(24, 14, 10, stripes));

        MainFrame frame(locations);
        frame.show();
        frame.openWorkWindow();
        WorkWindow* form = frame.workWindow();
        QVERIFY(form);
        const QString userFile = root.filePath("home/.config/zelmar/cnc.ini");
        QVERIFY(QFileInfo(userFile).isFile());
        QCOMPARE(frame.configNote()->text(), "Создан файл настроек " + userFile);
        QVERIFY(frame.configNote()->isVisible());
        QVERIFY(form->startupError().isEmpty());
        QCOMPARE(form->controller().session().layers.header().bmWidth, 14);
        QCOMPARE(control<QLabel>(form, "Label4")->text(), QStringLiteral("Ошибка открытия Com-порта"));
        QCOMPARE(QDir(root.filePath("usr/bin")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList{});

        // A job needs the room: the note makes way.
        QTest::mouseClick(control<QPushButton>(form, "Command1"), Qt::LeftButton);
        QTest::mouseClick(control<QPushButton>(form, "Command6"), Qt::LeftButton);
        QVERIFY(frame.configNote()->isHidden());

        QPointer<WorkWindow> first = form;
        subWindowOf(form)->close();
        if (form->controller().runner().isRunning())
            QVERIFY(!testing::answerQuestionNow(true).isEmpty());
        QTRY_VERIFY(first.isNull());
        frame.millAction()->trigger();
        QVERIFY(frame.workWindow());
        QVERIFY(frame.configNote()->isHidden());
        QCOMPARE(frame.workWindow()->config().origin, ConfigOrigin::UserFolder);
    }
};

QTEST_MAIN(WindowsTest)
#include "test_windows.moc"
