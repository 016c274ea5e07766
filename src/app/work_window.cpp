#include "work_window.h"

#include "busy_cursor.h"
#include "caption_button.h"
#include "error_box.h"
#include "picture_files/carving_image.h"
#include "picture_files/image_file.h"
#include "texts/operator_texts.h"
#include "key_filter.h"
#include "layer_view.h"
#include "mill/carving.h"
#include "mill/job_simulation.h"
#include "preview_dialog.h"
#include "region_tree_model.h"
#include "tab_strip.h"
#include "twips.h"
#include "view_layout.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFutureWatcher>
#include <QGroupBox>
#include <QHash>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QMdiSubWindow>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTimer>
#include <QTreeView>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <functional>
#include <vector>

namespace zelmar {
namespace {

enum class Kind { Frame, Button, Tree, Label, TextBox, CheckBox, TabStrip, Picture };

// The work window as designed: positions and sizes in twips relative to the container; tabIndex is the
// keyboard order.
struct ControlDesign {
    const char* name;
    Kind kind;
    const char* container; // nullptr: the window itself
    const char* caption;
    double left, top, width, height;
    int tabIndex;
};

// Containers come before what they hold.
const ControlDesign designs[] = {
    {"Frame2", Kind::Frame, nullptr, "", 6525, 0, 3930, 6090, 4},
    {"Command4", Kind::Button, "Frame2", "Градиент", 90, 180, 1230, 375, 8},
    {"Command5", Kind::Button, "Frame2", "Отступить", 1395, 180, 1140, 375, 7},
    {"Command1", Kind::Button, "Frame2", "Разобрать", 2610, 180, 1185, 375, 20},
    {"tv", Kind::Tree, "Frame2", "", 135, 630, 3660, 3075, 19},
    {"Command2", Kind::Button, "Frame2", "Выделенная", 90, 3780, 1230, 375, 18},
    {"Command6", Kind::Button, "Frame2", "Все", 1395, 3780, 1185, 375, 6},
    {"Command7", Kind::Button, "Frame2", "Резать 3D", 2655, 3780, 1140, 375, 5},
    {"Frame1", Kind::Frame, "Frame2", "Настройка", 135, 4230, 3660, 1365, 9},
    {"Label2", Kind::Label, "Frame1", "1 пиксель - ", 150, 270, 915, 240, 17},
    {"Text2", Kind::TextBox, "Frame1", "150", 1095, 225, 510, 285, 12},
    {"Label3", Kind::Label, "Frame1", "шагов", 1725, 270, 690, 240, 16},
    {"Check1", Kind::CheckBox, "Frame1", "Фрезеровать", 150, 540, 1455, 285, 13},
    {"tx", Kind::TextBox, "Frame1", "", 135, 855, 780, 375, 14},
    {"ty", Kind::TextBox, "Frame1", "", 990, 855, 780, 375, 11},
    {"tz", Kind::TextBox, "Frame1", "", 1845, 855, 780, 375, 10},
    {"Command3", Kind::Button, "Frame1", "Ручная уст-ка", 2745, 765, 795, 480, 15},
    // The cutter, when cnc.ini names one; empty for the one-pixel tool.
    {"ToolLabel", Kind::Label, "Frame1", "", 1650, 570, 1950, 240, 24},
    {"Label1", Kind::Label, "Frame2", "Статус:", 225, 5715, 600, 240, 22},
    {"Label4", Kind::Label, "Frame2", "Ошибка открытия Com-порта", 855, 5715, 2940, 285, 23},
    {"TabStrip1", Kind::TabStrip, nullptr, "", 45, 45, 4290, 3660, 21},
    {"Pict", Kind::Picture, nullptr, "", 135, 450, 2000, 1500, 0},
    {"Pict1", Kind::Picture, nullptr, "", 2205, 450, 2000, 1500, 1},
    {"Pict2", Kind::Picture, nullptr, "", 135, 2025, 2000, 1500, 2},
    {"Pict3", Kind::Picture, nullptr, "", 2205, 2025, 2000, 1500, 3},
};

constexpr double designedClientWidth = 10455;
constexpr double designedClientHeight = 6105;

QWidget* createControl(const ControlDesign& d, QWidget* container) {
    const QString caption = QString::fromUtf8(d.caption);
    switch (d.kind) {
    case Kind::Frame:
        return new QGroupBox(caption, container);
    case Kind::Button:
        return new CaptionButton(caption, container);
    case Kind::Tree: {
        auto* tree = new QTreeView(container);
        tree->setHeaderHidden(true);
        return tree;
    }
    case Kind::Label:
        return new QLabel(caption, container);
    case Kind::TextBox:
        return new QLineEdit(caption, container);
    case Kind::CheckBox:
        return new QCheckBox(caption, container);
    case Kind::TabStrip:
        return new TabStrip({QStringLiteral("Основная"), QStringLiteral("Градиент"),
                             QStringLiteral("Выделение"), QStringLiteral("Фреза")},
                            container);
    case Kind::Picture:
        return new LayerView(container);
    }
    return nullptr;
}

} // namespace


WorkWindow::WorkWindow(const ConfigLocations& locations, ToolPosition& tool, const QString& journalDir,
                       QWidget* parent)
    : QWidget(parent), tool_(tool), controller_(session_, tool) {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Zelmar ЧПУ"));
    // The controls were designed for a narrow 8-point system font; wider captions would not fit their boxes.
    QFont designFont = font();
    designFont.setPointSize(8);
    designFont.setStretch(QFont::SemiCondensed);
    setFont(designFont);
    refreshTimer_.setSingleShot(true);
    refreshTimer_.setInterval(0);
    connect(&refreshTimer_, &QTimer::timeout, this, &WorkWindow::RefreshViews);
    buildControls();

    controller_.setEstimateFirst(true);
    if (!journalDir.isEmpty())
        controller_.setJournalPath(QDir(journalDir).filePath(QStringLiteral("job.journal")));
    connectController();
    runStartup(locations);
}

WorkWindow::~WorkWindow() {
    controller_.abort();
}

void WorkWindow::connectController() {
    JobController* c = &controller_;
    // The switch is the controller's: it turns it off when the line goes, on when a job is taken up.
    connect(check1_, &QCheckBox::toggled, c, &JobController::setMilling);
    connect(c, &JobController::millingChanged, check1_, [this](bool on) {
        const QSignalBlocker quiet(check1_);
        check1_->setChecked(on);
    });
    connect(c, &JobController::linkChanged, this, &WorkWindow::showLinkState);
    connect(c, &JobController::reopenFailed, this, [this] { showErrorBox(this, label4_->toolTip()); });
    connect(c, &JobController::machineStatusChanged, this, &WorkWindow::showMachineStatus);
    connect(c, &JobController::alarmRaised, this, [this](int code) { askAboutAlarm(grblAlarmText(code)); });
    connect(c, &JobController::jobBegun, this, &WorkWindow::jobBegun);
    connect(c, &JobController::jobStarted, this, &WorkWindow::jobStarted);
    connect(c, &JobController::passStarted, this, &WorkWindow::jobPass);
    connect(c, &JobController::estimated, this, &WorkWindow::jobEstimate);
    connect(c, &JobController::pictureChanged, this, [this](bool treeRebuilt) {
        if (treeRebuilt)
            showNewTree();
        scheduleRefresh();
    });
    connect(c, &JobController::moveDone, this, [this](const JobProgress& p) {
        scheduleRefresh();
        emit jobProgress(p.movesDone, p.regionId, static_cast<int>(p.x), static_cast<int>(p.y), static_cast<int>(p.z));
    });
    connect(c, &JobController::figuresChanged, this, &WorkWindow::jobFigures);
    connect(c, &JobController::stateChanged, this, &WorkWindow::onStateChanged);
    connect(c, &JobController::finished, this, &WorkWindow::onJobFinished);
    connect(c, &JobController::faulted, this, &WorkWindow::onFault);
    connect(c, &JobController::refused, this, [this](const NumberRefusal& refusal, bool) {
        if (!closeAfterJob_)
            showErrorBox(this, QString::fromStdString(refusalText(refusal)));
    });
    connect(c, &JobController::journalFailed, this, [this](const QString& path) {
        if (!closeAfterJob_)
            showErrorBox(this, QString::fromStdString(journalFailureText(path.toStdString())));
    });
    connect(c, &JobController::question, this, &WorkWindow::askAboutOpenMove);
    connect(c, &JobController::positionInDoubt, this, &WorkWindow::onPositionInDoubt);
    connect(c, &JobController::marksInDoubt, this, [this] {
        askYesNo(this, QStringLiteral("Отметки в слое «Фреза»"),
                 QStringLiteral("В слое «Фреза» есть отметки прошлых проходов (или пробного прогона без "
                                "«Фрезеровать»): там глубина будет полной.\r\nПродолжить? «Нет» — задание не "
                                "начнётся; убрать отметки можно командой меню «Очистить слой «Фреза»»."),
                 [this](bool yes) { controller_.answerMarks(yes); });
    });
}

void WorkWindow::showLinkState() {
    const QString portName = QString::fromStdString(config().portName);
    switch (controller_.linkState()) {
    case JobController::LinkState::Open:
        label4_->setText(QStringLiteral("Com-порт открыт"));
        label4_->setToolTip(QStringLiteral("Порт: %1").arg(portName));
        break;
    case JobController::LinkState::Lost:
        label4_->setText(grblLink() ? QStringLiteral("Связь с grbl потеряна") : QStringLiteral("Связь с платой потеряна"));
        break;
    case JobController::LinkState::AwaitingGrbl:
        label4_->setText(QStringLiteral("Ожидание ответа grbl…"));
        label4_->setToolTip(QStringLiteral("Порт: %1").arg(portName));
        break;
    case JobController::LinkState::GrblSilent:
        onGrblNotConnected();
        break;
    case JobController::LinkState::NotOpen:
        label4_->setText(QStringLiteral("Ошибка открытия Com-порта"));
        // The status line keeps its words; what to do about a port that did not open is in its tooltip.
        label4_->setToolTip(QString::fromStdString(portHintText(controller_.portHint())));
        break;
    }
    updateControls();
    showMachineStatus();
}

void WorkWindow::updateControls() {
    const JobState state = controller_.state();
    const bool busy = controller_.isBusy() || state == JobState::Paused || state == JobState::Asking;
    // The tree, the tabs, "Фрезеровать" and the scale stay live: what they change takes effect at the next step.
    for (QPushButton* b : {command1_, command2_, command4_, command5_, command6_, command7_})
        b->setEnabled(!busy);
    check1_->setEnabled(controller_.linkReady());
    // While a job is paused only "Продолжить" and "Стоп" act; after a stop the tool may be set by hand.
    command3_->setEnabled(controller_.linkReady() && (state == JobState::Idle || state == JobState::Kept));
}

void WorkWindow::onGrblNotConnected() {
    label4_->setToolTip(QStringLiteral("Порт %1 открыт, но grbl не прислал приветствия ни сразу, ни после "
                                       "программного сброса (Ctrl-X). Проверьте скорость порта (Baud в cnc.ini, "
                                       "сейчас %2) и что на плате grbl.")
                            .arg(QString::fromStdString(config().portName))
                            .arg(config().baud));
    label4_->setText(QStringLiteral("grbl не отвечает"));
}

void WorkWindow::showMachineStatus() {
    GrblLink* grbl = grblLink();
    if (!grbl) {
        emit machineStatus(QString());
        return;
    }
    // What grbl is known to be doing now: a line that is lost says nothing more, an alarm stands until cleared.
    // Short: the status bar shares its room with the job's figures and buttons.
    const JobController::LinkState link = controller_.linkState();
    if (link == JobController::LinkState::Lost || link == JobController::LinkState::NotOpen ||
        link == JobController::LinkState::GrblSilent) {
        emit machineStatus(QStringLiteral("grbl: нет связи"));
        return;
    }
    if (!grbl->status()) {
        emit machineStatus(QString());
        return;
    }
    const GrblStatus& st = *grbl->status();
    QString text = QStringLiteral("grbl: ") +
                   (grbl->alarm() != 0 ? QStringLiteral("Alarm") : QString::fromStdString(st.state));
    if (st.hasPosition)
        text += QStringLiteral(" X%1 Y%2 Z%3")
                    .arg(static_cast<double>(st.x) / 1000, 0, 'f', 3)
                    .arg(static_cast<double>(st.y) / 1000, 0, 'f', 3)
                    .arg(static_cast<double>(st.z) / 1000, 0, 'f', 3);
    emit machineStatus(text);
}

void WorkWindow::askAboutAlarm(const std::string& text) {
    if (alarmBox_ || !grblLink())
        return;
    alarmBox_ = askYesNo(this, QStringLiteral("Тревога grbl"),
                         QString::fromStdString(text) + QStringLiteral("\r\n\r\nСнять блокировку сейчас ($X)?"),
                         [this](bool yes) {
                             if (yes && grblLink())
                                 grblLink()->clearAlarm();
                         });
}

void WorkWindow::onManualMoveClicked() {
    NumberRefusal numbers;
    switch (controller_.manualMove(tx_->text().toStdString(), ty_->text().toStdString(), tz_->text().toStdString(),
                                   text2_->text().toStdString(), &numbers)) {
    case JobController::MoveRefusal::None:
    case JobController::MoveRefusal::Busy:
    case JobController::MoveRefusal::NotOnMachine: // unticked, the manual move does nothing at all
        break;
    case JobController::MoveRefusal::Paused:
        showErrorBox(this, QStringLiteral("Задание на паузе: станок ждёт «Продолжить» или «Стоп».\r\n"
                                          "Ручное перемещение сейчас сдвинуло бы всё оставшееся задание."));
        break;
    case JobController::MoveRefusal::MachineBusy:
        // A jog in feed hold or alarm would be refused by grbl, and the refusal would drop the held job.
        showErrorBox(this, QStringLiteral("grbl сейчас не принимает ручное перемещение (состояние %1).\r\n"
                                          "Нажмите «Продолжить» или «Стоп».")
                               .arg(grblLink() && grblLink()->status()
                                        ? QString::fromStdString(grblLink()->status()->state)
                                        : QStringLiteral("неизвестно")));
        break;
    case JobController::MoveRefusal::Numbers:
        showErrorBox(this, QString::fromStdString(refusalText(numbers)));
        break;
    case JobController::MoveRefusal::Settings:
        showErrorBox(this, QString::fromStdString(badSettingsRefusalText(controller_.blockingSettings())));
        break;
    }
    updateControls();
}

QString WorkWindow::millRefusalText(MillRefusal refusal) const {
    return QString::fromStdString(refusal == MillRefusal::BadSetting
                                      ? badSettingsRefusalText(controller_.blockingSettings())
                                      : refusalText(refusal));
}

void WorkWindow::onMillClicked(MillKind kind) {
    const MillRefusal refusal = controller_.startMilling(kind, text2_->text().toStdString());
    if (refusal != MillRefusal::None)
        showErrorBox(this, millRefusalText(refusal));
    updateControls();
}

void WorkWindow::onStateChanged(JobState state) {
    int control = 0;
    bool canStop = false;
    switch (state) {
    case JobState::Running:
        control = 1;
        canStop = true;
        break;
    case JobState::Paused:
        control = 2;
        canStop = true;
        break;
    case JobState::Kept:
        control = 2;
        break;
    case JobState::Asking:
    case JobState::Estimating: // "Стоп" calls the job off before it starts
        canStop = true;
        break;
    case JobState::Aside:
    case JobState::Idle:
        break;
    }
    emit jobControls(control, canStop);
    updateControls();
}

void WorkWindow::onJobFinished(JobRunner::Outcome outcome) {
    RefreshViews();
    emit jobFinished(outcome == JobRunner::Outcome::Completed ? QStringLiteral("готово")
                     : outcome == JobRunner::Outcome::Stopped ? QStringLiteral("остановлено")
                                                              : QStringLiteral("прервано"));
    updateControls();
    if (closeAfterJob_)
        QTimer::singleShot(0, parentWidget() ? parentWidget() : this, &QWidget::close);
}

void WorkWindow::onFault(const LinkFault& fault, bool manualMove) {
    if (closeAfterJob_)
        return;
    if (!manualMove && fault.kind == LinkFault::Kind::Alarm)
        askAboutAlarm(faultText(fault, true));
    else
        showErrorBox(this, QString::fromStdString(faultText(fault, !manualMove)));
}

void WorkWindow::askAboutOpenMove(const JobRunner::OpenMove& move) {
    if (questionBox_)
        return;
    questionBox_ = askYesNo(this, QStringLiteral("Продолжение задания"),
                            QString::fromStdString(openMoveQuestion(move)),
                            [this](bool yes) { controller_.answerOpenMove(yes); });
}

void WorkWindow::onPositionInDoubt() {
    const JobProgress& at = controller_.progress();
    askYesNo(this, QStringLiteral("Продолжение задания"),
             QStringLiteral("После остановки станок перемещали вручную («Ручная уст-ка»). Задание продолжится "
                            "оттуда, где, по расчёту программы, стоит фреза: X %1, Y %2 (пиксели), глубина %3 "
                            "(над поверхностью, если меньше нуля).\r\nВерните станок в это положение.\r\n\r\n"
                            "Станок стоит там? «Да» — продолжить задание, «Нет» — не продолжать.")
                 .arg(at.x)
                 .arg(at.y)
                 .arg(at.z),
             [this](bool yes) {
                 if (!yes)
                     return;
                 controller_.confirmPosition();
                 controller_.resume();
             });
}

void WorkWindow::offerJournalledJob() {
    const std::optional<JournalReading> found = controller_.journalToContinue();
    if (!found)
        return;
    auto reading = std::make_shared<JournalReading>(*found);
    const QString text =
        QStringLiteral("Для этого изображения есть незаконченное задание: %1 из него уже сделано.\n"
                       "Продолжить его? Сделанное будет восстановлено без отправки на станок, затем задание "
                       "продолжится с того места, где оно прервалось.\n«Нет» — забыть это задание.")
            .arg(QString::fromStdString(movesText(reading->state.done)));
    askYesNo(this, QStringLiteral("Незаконченное задание"), text, [this, reading](bool yes) {
        if (!yes) {
            controller_.forgetKeptJob();
            QFile::remove(controller_.journalPath());
            return;
        }
        const JournalTakeUp taken = controller_.takeUpJournal(*reading, {{}, {}, false});
        if (taken.verdict != JournalTakeUp::Verdict::Taken) {
            showErrorBox(this, QStringLiteral("Незаконченное задание не удалось восстановить: изображение или "
                                              "его обработка дают не то, что было при записи журнала.\n"
                                              "Задание не продолжено, ничего не отправлено."));
            return;
        }
        text2_->setText(QString::fromStdString(controller_.stepsText()));
        showNewTree();
        RefreshViews();
        controller_.resume();
    });
}

void WorkWindow::restoreMillLayer() {
    if (controller_.isBusy()) {
        showErrorBox(this, QStringLiteral("Идёт задание: слой «Фреза» можно очистить, когда оно закончится или "
                                          "будет остановлено."));
        return;
    }
    controller_.restoreMill();
    RefreshViews();
}

namespace {

struct PreviewPictures {
    QImage above, tilted;
};

PreviewPictures picturesOf(const Carving& carving) {
    return {imageOf(pictureOf(carving, CarvingView::Above)), imageOf(pictureOf(carving, CarvingView::Tilted))};
}

// Shades the carving beside the window and hands the pictures to the dialog.
void shadeInto(PreviewDialog* dialog, std::function<Carving()> carve) {
    auto* watcher = new QFutureWatcher<PreviewPictures>(dialog);
    QObject::connect(watcher, &QFutureWatcher<PreviewPictures>::finished, dialog, [dialog, watcher] {
        const PreviewPictures p = watcher->result();
        dialog->showPictures(p.above, p.tilted);
        watcher->deleteLater();
    });
    watcher->setFuture(QtConcurrent::run([carve = std::move(carve)] { return picturesOf(carve()); }));
}

} // namespace

void WorkWindow::showPreview() {
    const std::string cutter = toolText(config().tool);
    const QString tool = cutter.empty() ? QString() : QStringLiteral(", ") + QString::fromStdString(cutter).toLower();
    const Carving* cut = controller_.jobCarving();
    if (cut && (cut->deepest() > 0 || controller_.isBusy() || controller_.runner().isRunning())) {
        // What the last job has cut, in a dry run too, growing while it runs and the dialog stays open.
        auto* dialog = new PreviewDialog(QStringLiteral("Вырезано заданием") + tool, this);
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        dialog->show();
        auto* timer = new QTimer(dialog);
        const auto refresh = [this, dialog] {
            if (!controller_.jobCarving() || dialog->findChild<QFutureWatcher<PreviewPictures>*>())
                return; // the last pictures are still being shaded
            auto snapshot = std::make_shared<Carving>(*controller_.jobCarving());
            shadeInto(dialog, [snapshot] { return *snapshot; });
        };
        connect(timer, &QTimer::timeout, dialog, refresh);
        timer->start(1000);
        refresh();
        return;
    }
    MillRefusal refusal = checkMillCommand(MillKind::All, session_);
    if (refusal == MillRefusal::None)
        refusal = controller_.checkSettings(settingNeeds::milling);
    if (refusal != MillRefusal::None) {
        showErrorBox(this, millRefusalText(refusal));
        return;
    }
    // "Все" from where the tool stands, on a copy: the work is left alone.
    auto copy = std::make_shared<ImageSession>(copyForSimulation(session_, MillKind::All));
    const MillSettings settings = controller_.millSettingsAt(text2_->text().toStdString());
    const CommandFeed feed = controller_.commandFeedAt(text2_->text().toStdString());
    const ToolPosition start = tool_;
    auto* dialog = new PreviewDialog(QStringLiteral("Результат «Все»") + tool, this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->show();
    shadeInto(dialog, [copy, settings, feed, start] { return carveJob(MillKind::All, *copy, start, settings, feed); });
}

void WorkWindow::saveGcode() {
    if (controller_.isBusy() || controller_.runner().isRunning()) {
        showErrorBox(this, QStringLiteral("Идёт задание: G-код можно сохранить, когда оно закончится или будет "
                                          "остановлено."));
        return;
    }
    MillRefusal refusal = checkMillCommand(MillKind::All, session_);
    if (refusal == MillRefusal::None) // before the file is named: nothing could be written
        refusal = controller_.checkSettings(settingNeeds::milling | settingNeeds::gcode);
    if (refusal != MillRefusal::None) {
        showErrorBox(this, millRefusalText(refusal));
        return;
    }
    const auto askWhere = [this](MillKind kind) {
        auto* dialog = new QFileDialog(this, QStringLiteral("Сохранить G-код"), QString(),
                                       QStringLiteral("G-код (*.nc *.ngc *.gcode);;Все файлы (*)"));
        dialog->setObjectName(QStringLiteral("gcodeDialog"));
        dialog->setAcceptMode(QFileDialog::AcceptSave);
        dialog->setDefaultSuffix(QStringLiteral("nc"));
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        connect(dialog, &QFileDialog::fileSelected, this, [this, kind](const QString& path) {
            QString startText;
            const QString problem = writeGcodeFile(path, kind, &startText);
            if (!problem.isEmpty()) {
                showErrorBox(this, problem);
                return;
            }
            showMessageBox(this, QStringLiteral("G-код сохранён"),
                           QStringLiteral("G-код записан в %1.\r\nПеред запуском поставьте фрезу на поверхность "
                                          "над %2: все перемещения файла отсчитываются от этого места.")
                               .arg(path, startText));
        });
        dialog->open();
    };
    const RegionTree& tree = session_.regions->tree;
    if (session_.selectedNode < 0 || static_cast<std::size_t>(session_.selectedNode) >= tree.nodes.size()) {
        askWhere(MillKind::All);
        return;
    }
    const std::int32_t region = tree.nodes[static_cast<std::size_t>(session_.selectedNode)].regionId;
    askYesNo(this, QStringLiteral("Сохранить G-код"),
             QStringLiteral("В дереве выбрана фигура %1.\nЗаписать только её, как её фрезерует «Выделенная»?\n"
                            "«Нет» — записать все фигуры, как «Все».")
                 .arg(region),
             [askWhere](bool onlySelected) { askWhere(onlySelected ? MillKind::Selected : MillKind::All); });
}

QString WorkWindow::writeGcodeFile(const QString& path, MillKind kind, QString* startText) {
    const JobController::GcodeResult r = controller_.writeGcode(path, kind, text2_->text().toStdString());
    if (startText)
        *startText = QString::fromStdString(gcodeStartText(r.start.toolX, r.start.toolY, r.startRightMm, r.startDownMm));
    if (r.refusal != MillRefusal::None)
        return millRefusalText(r.refusal);
    if (r.numbers.kind != NumberRefusal::Kind::None)
        return QString::fromStdString(refusalText(r.numbers));
    if (!r.fileError.isEmpty())
        return QStringLiteral("Файл G-кода не удалось записать: %1\n%2").arg(path, r.fileError);
    return {};
}

void WorkWindow::closeEvent(QCloseEvent* event) {
    const JobState state = controller_.state();
    if ((state == JobState::Running || state == JobState::Estimating) && !closeAfterJob_) {
        event->ignore();
        askToStopAndClose();
        return;
    }
    // Anything else waiting on the board ends now (a second close while the stop is under way, too); a kept
    // job stays in its journal.
    controller_.abort();
    QWidget::closeEvent(event);
}

void WorkWindow::askToStopAndClose() {
    if (closeBox_)
        return;
    closeBox_ = askYesNo(this, QStringLiteral("Закрытие окна"), QStringLiteral("Идёт фрезерование. Остановить и закрыть?"),
                         [this](bool yes) {
                             if (!yes)
                                 return;
                             closeAfterJob_ = true;
                             const JobState state = controller_.state();
                             // A milling stops as with "Стоп": after the current "OK", with a lift; the window
                             // closes when it has ended. One that ended while the box stood closes it at once.
                             if (state == JobState::Running || state == JobState::Estimating)
                                 controller_.stop();
                             else
                                 QTimer::singleShot(0, parentWidget() ? parentWidget() : this, &QWidget::close);
                         });
    // "Нет", or the box closed without a word: the window stays. The box finishes before its buttons' answer
    // runs, hence the wait for it.
    connect(closeBox_, &QDialog::finished, this, [this] {
        QTimer::singleShot(0, this, [this] {
            if (!closeAfterJob_)
                emit closeCalledOff();
        });
    });
}

void WorkWindow::buildControls() {
    const TwipsPerPixel tpp = TwipsPerPixel::of(this);
    resize(twipsToPixels(designedClientWidth, tpp.x), twipsToPixels(designedClientHeight, tpp.y));

    QHash<QString, QWidget*> made;
    std::vector<std::pair<int, QWidget*>> tabOrder;
    for (const ControlDesign& d : designs) {
        QWidget* container = d.container ? made.value(QString::fromUtf8(d.container)) : this;
        QWidget* control = createControl(d, container);
        control->setObjectName(QString::fromUtf8(d.name));
        control->setGeometry(pixelRect({d.left, d.top, d.width, d.height}, tpp));
        made.insert(control->objectName(), control);
        tabOrder.emplace_back(d.tabIndex, control);
    }
    std::sort(tabOrder.begin(), tabOrder.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    QWidget* previous = nullptr;
    for (const auto& [index, control] : tabOrder) {
        QWidget* focusable = control;
        if (auto* strip = qobject_cast<TabStrip*>(control))
            focusable = strip->tabBar();
        if (focusable->focusPolicy() == Qt::NoFocus)
            continue;
        if (previous)
            QWidget::setTabOrder(previous, focusable);
        previous = focusable;
    }

    const auto take = [&made](auto*& member, const char* name) {
        member = dynamic_cast<std::remove_reference_t<decltype(member)>>(made.value(QString::fromUtf8(name)));
        Q_ASSERT(member);
    };
    take(frame2_, "Frame2");
    take(frame1_, "Frame1");
    take(tabStrip_, "TabStrip1");
    take(views_[0], "Pict");
    take(views_[1], "Pict1");
    take(views_[2], "Pict2");
    take(views_[3], "Pict3");
    take(tv_, "tv");
    take(label4_, "Label4");
    take(toolLabel_, "ToolLabel");
    take(check1_, "Check1");
    take(command1_, "Command1");
    take(command2_, "Command2");
    take(command3_, "Command3");
    take(command4_, "Command4");
    take(command5_, "Command5");
    take(command6_, "Command6");
    take(command7_, "Command7");
    take(text2_, "Text2");
    take(tx_, "tx");
    take(ty_, "ty");
    take(tz_, "tz");

    // The views lie above the tab strip.
    for (LayerView* v : views_)
        v->raise();
    QPalette red = label4_->palette();
    red.setColor(QPalette::WindowText, QColor(192, 0, 0));
    label4_->setPalette(red);
    connect(tabStrip_, &TabStrip::tabClicked, this, &WorkWindow::onTabClicked);

    treeModel_ = new RegionTreeModel(this);
    tv_->setModel(treeModel_);
    tv_->setUniformRowHeights(true); // lets the view skip measuring every row of a big tree
    tv_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    // Every click in the tree counts, on a node, on empty space or on an expand arrow; it highlights the node
    // the tree shows as selected, however that was selected.
    tv_->viewport()->installEventFilter(this);
    connect(tv_->selectionModel(), &QItemSelectionModel::currentChanged, this, &WorkWindow::onCurrentNodeChanged);
    connect(command1_, &QPushButton::clicked, this, &WorkWindow::onParseClicked);
    connect(command3_, &QPushButton::clicked, this, &WorkWindow::onManualMoveClicked);
    connect(command2_, &QPushButton::clicked, this, [this] { onMillClicked(MillKind::Selected); });
    connect(command6_, &QPushButton::clicked, this, [this] { onMillClicked(MillKind::All); });
    connect(command7_, &QPushButton::clicked, this, [this] { onMillClicked(MillKind::Cut3D); });
    connect(command4_, &QPushButton::clicked, this, &WorkWindow::onGradientClicked);
    connect(command5_, &QPushButton::clicked, this, &WorkWindow::onOffsetClicked);

    auto* digitsOnly = new DigitKeyFilter(this);
    for (QLineEdit* box : {tx_, ty_, tz_, text2_})
        box->installEventFilter(digitsOnly);
}

bool WorkWindow::eventFilter(QObject* watched, QEvent* event) {
    // The press has already moved the selection (and toggled an expand arrow): the release is the click.
    if (watched == tv_->viewport() && event->type() == QEvent::MouseButtonRelease)
        onTreeClicked();
    return QWidget::eventFilter(watched, event);
}

void WorkWindow::runStartup(const ConfigLocations& locations) {
    setWindowTitle(QString::fromStdString(workWindowCaption()));
    controller_.configure(readStartupConfig(locations));
    toolLabel_->setText(QString::fromStdString(toolText(config().tool)));

    controller_.openPort();

    LoadedImage loaded;
    runShowingBusyCursor([&] { loaded = loadImageFile(config().imagePath); });
    if (loaded.ok())
        session_.layers = LayerSet::copiesOf(std::move(loaded.layer));
    else
        startupError_ = QString::fromStdString(loaded.error);

    tool_.toolX = 1;
    tool_.toolY = 1;
    updateControls();
    refresh();
}

void WorkWindow::reportStartupError() {
    if (!startupError_.isEmpty()) {
        showErrorBox(this, startupError_);
        return;
    }
    offerJournalledJob();
}

QSize WorkWindow::outerSize() const {
    if (auto* sub = qobject_cast<QMdiSubWindow*>(parentWidget()))
        return sub->size();
    return frameGeometry().size();
}

void WorkWindow::RefreshViews() {
    refreshTimer_.stop();
    refresh();
}

void WorkWindow::scheduleRefresh() {
    // Moves come faster than a screen shows them: one redraw takes the area of all the marks since the last.
    if (!refreshTimer_.isActive())
        refreshTimer_.start();
}

void WorkWindow::refresh() {
    const TwipsPerPixel tpp = TwipsPerPixel::of(this);
    const QSize outer = outerSize();

    ViewLayoutInput in;
    in.windowWidth = outer.width() * tpp.x;
    in.windowHeight = outer.height() * tpp.y;
    in.panelWidth = frame2_->width() * tpp.x;
    in.twipsPerPixelX = tpp.x;
    in.twipsPerPixelY = tpp.y;
    in.imageWidth = layers().header().bmWidth;
    in.imageHeight = layers().header().bmHeight;
    in.visibility.tabStrip = !tabStrip_->isHidden();
    for (std::size_t i = 0; i < views_.size(); ++i)
        in.visibility.views[i] = !views_[i]->isHidden();
    in.selectedTab = tabStrip_->selectedIndex();

    const ViewLayout layout = layOutViews(in);
    if (!layout.laidOut)
        return;

    frame2_->move(twipsToPixels(layout.panelLeft, tpp.x), frame2_->y());
    tabStrip_->resize(twipsToPixels(layout.tabStrip.width, tpp.x),
                      twipsToPixels(layout.tabStrip.height, tpp.y));
    for (std::size_t i = 0; i < views_.size(); ++i)
        views_[i]->setGeometry(pixelRect(layout.views[i], tpp));
    if (layout.visibility.tabStrip != in.visibility.tabStrip)
        tabStrip_->setVisible(layout.visibility.tabStrip);
    for (std::size_t i = 0; i < views_.size(); ++i)
        if (layout.visibility.views[i] != in.visibility.views[i])
            views_[i]->setVisible(layout.visibility.views[i]);

    // Every view is drawn, visible or not, so a tab switch shows a current picture.
    LayerSet& l = session_.layers;
    ImageLayer* layerOfView[] = {&l.sourceLayer, &l.workLayer, &l.selectionLayer, &l.millLayer};
    for (std::size_t i = 0; i < views_.size(); ++i)
        views_[i]->drawLayer(*layerOfView[i], layout.drawnWidth, layout.drawnHeight);
}

void WorkWindow::onTabClicked(int selectedIndex) {
    const ViewVisibility shown = visibilityAfterTabClick({}, selectedIndex);
    for (std::size_t i = 0; i < views_.size(); ++i)
        views_[i]->setVisible(shown.views[i]);
    RefreshViews();
}

void WorkWindow::onParseClicked() {
    if (!session_.hasImage() || controller_.isBusy())
        return;
    controller_.parse({}, [](const std::function<void()>& work) { runShowingBusyCursor(work); });
    // No node is selected in the new tree: the "Выделение" view shows no highlight either.
    highlightIntoSelection(session_, 0);
    showNewTree();
    RefreshViews();
}

void WorkWindow::showNewTree() {
    treeModel_->setAnalysis(session_.regions);
    // Every node with children is expanded after a parse: the whole tree stands open.
    tv_->expandAll();
    showSelection();
}

void WorkWindow::showSelection() {
    // The tree's current node is the one "Выделенная" mills and the "Выделение" view shows.
    const QSignalBlocker quiet(tv_->selectionModel());
    const QModelIndex index = session_.selectedNode >= 0 ? treeModel_->indexOfNode(session_.selectedNode) : QModelIndex();
    tv_->selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect);
    updateControls();
}

void WorkWindow::onGradientClicked() {
    controller_.gradient();
    RefreshViews();
}

void WorkWindow::onOffsetClicked() {
    controller_.offset();
    RefreshViews();
}

void WorkWindow::onCurrentNodeChanged() {
    // However the node became current (a click, the keyboard), it is the one milled and highlighted.
    const std::int32_t node = treeModel_->nodeOf(tv_->currentIndex());
    if (node < 0) {
        controller_.clearSelection();
        highlightIntoSelection(session_, 0);
    } else if (node != session_.selectedNode) {
        controller_.select(session_.regions->tree.nodes[static_cast<std::size_t>(node)].regionId);
    }
    updateControls();
    RefreshViews();
}

void WorkWindow::onTreeClicked() {
    // A click on the current node, on empty space or on an expand arrow shows the current node highlighted.
    const QModelIndex current = tv_->currentIndex();
    if (!current.isValid())
        return;
    const std::int32_t node = treeModel_->nodeOf(current);
    if (node >= 0 && node != session_.selectedNode) {
        controller_.select(session_.regions->tree.nodes[static_cast<std::size_t>(node)].regionId);
        updateControls();
        RefreshViews();
    }
}

void WorkWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    refresh();
}

void WorkWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    refresh();
}

void WorkWindow::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow())
        refresh();
}

} // namespace zelmar
