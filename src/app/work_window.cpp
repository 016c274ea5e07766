#include "work_window.h"

#include "busy_cursor.h"
#include "caption_button.h"
#include "error_box.h"
#include "image_file.h"
#include "layer_view.h"
#include "image/content_hash.h"
#include "key_filter.h"
#include "link/manual_move.h"
#include "link/job_resumption.h"
#include "link/port_access.h"
#include "mill/gcode.h"
#include "operator_texts.h"
#include "region_tree_model.h"
#include "relief/relief_commands.h"
#include "tab_strip.h"
#include "twips.h"
#include "view_layout.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QtConcurrent/QtConcurrentRun>
#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QHash>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QMdiSubWindow>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QTreeView>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <iterator>
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
    : QWidget(parent), tool_(tool), journalDir_(journalDir) {
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

    runner_.setLink(&link_);
    runner_.setMillingSwitch([this] { return check1_->isChecked(); });
    runner_.setJournalSource([this](std::int64_t done) { return openJournal(done); });
    connect(&runner_, &JobRunner::moveDone, this, &WorkWindow::onMoveDone);
    connect(&runner_, &JobRunner::ended, this, &WorkWindow::onJobEnded);
    connect(&runner_, &JobRunner::phaseChanged, this, &WorkWindow::onPhaseChanged);
    connect(&runner_, &JobRunner::question, this, &WorkWindow::askAboutOpenMove);
    connect(&line_, &SerialLine::lost, this, &WorkWindow::updateLinkControls);
    connect(&runner_, &JobRunner::commandDone, this, [this] {
        if (!manualRunning_)
            emit jobCommandsDone(runner_.commandsSent());
    });
    connect(&estimate_, &QFutureWatcher<JobCount>::finished, this, &WorkWindow::startPendingJob);

    runStartup(locations);
}

WorkWindow::~WorkWindow() {
    runner_.abort();
    link_.abort();
    if (grbl_)
        grbl_->abort();
    line_.close();
}

void WorkWindow::openPort() {
    runner_.setMergeSteps(config_.mergeSteps);
    const QString portName = QString::fromStdString(config_.portName);
    if (config_.controller == StartupConfig::Controller::Grbl) {
        if (!grbl_) {
            grbl_ = std::make_unique<GrblLink>(line_, Decimal::parse(config_.mmPerStep).value_or(Decimal{1, 2}),
                                               config_.feed);
            connect(grbl_.get(), &GrblLink::connected, this, &WorkWindow::onGrblConnected);
            connect(grbl_.get(), &GrblLink::notConnected, this, &WorkWindow::onGrblNotConnected);
            connect(grbl_.get(), &GrblLink::statusChanged, this, &WorkWindow::showMachineStatus);
            connect(grbl_.get(), &GrblLink::alarmRaised, this, &WorkWindow::onGrblAlarm);
            runner_.setLink(grbl_.get());
        }
        grbl_->setTimeoutMs(std::int64_t{config_.timeoutSeconds} * 1000);
        // "Com-порт открыт" only once grbl has answered.
        grbl_->connectTo(portName, config_.baud);
    } else {
        line_.open(portName, BoardLink::baudRate);
    }
    // The status line keeps its words; what to do about a port that did not open is in its tooltip.
    label4_->setToolTip(line_.isOpen() ? QStringLiteral("Порт: %1").arg(portName)
                        : line_.openFailure() == SerialLine::OpenFailure::SettingsRefused
                            ? settingsRefusedHint(portName)
                            : openFailureHint(portName, line_.openError()));
    link_.setTimeoutMs(std::int64_t{config_.timeoutSeconds} * 1000);
    updateLinkControls();
}

bool WorkWindow::linkReady() const {
    return line_.isOpen() && (!grbl_ || grbl_->isConnected());
}

void WorkWindow::updateLinkControls() {
    const bool open = linkReady();
    if (open)
        label4_->setText(QStringLiteral("Com-порт открыт"));
    else if (line_.loss() != SerialLine::Loss::None)
        label4_->setText(grbl_ ? QStringLiteral("Связь с grbl потеряна") : QStringLiteral("Связь с платой потеряна"));
    else if (grbl_ && line_.isOpen())
        label4_->setText(QStringLiteral("Ожидание ответа grbl…"));
    else
        label4_->setText(QStringLiteral("Ошибка открытия Com-порта"));
    if (!open)
        check1_->setChecked(false); // nothing can be sent: every milling is a dry run until the port opens
    check1_->setEnabled(open);
    command3_->setEnabled(open && !runner_.isRunning() && !manualRunning_);
}

void WorkWindow::setBusy(bool busy) {
    // The tree, the tabs, "Фрезеровать" and the scale stay live: what they change takes effect at the next
    // step.
    busy_ = busy;
    for (QPushButton* b : {command1_, command2_, command4_, command5_, command6_, command7_})
        b->setEnabled(!busy);
    updateLinkControls();
}

void WorkWindow::onGrblConnected() {
    updateLinkControls();
    showMachineStatus();
    if (continueWhenConnected_) {
        continueWhenConnected_ = false;
        check1_->setChecked(true);
        setBusy(true);
        runner_.resume();
    }
}

void WorkWindow::onGrblNotConnected() {
    label4_->setToolTip(QStringLiteral("Порт %1 открыт, но grbl не прислал приветствия ни сразу, ни после "
                                       "программного сброса (Ctrl-X). Проверьте скорость порта (Baud в cnc.ini, "
                                       "сейчас %2) и что на плате grbl.")
                            .arg(QString::fromStdString(config_.portName))
                            .arg(config_.baud));
    label4_->setText(QStringLiteral("grbl не отвечает"));
    if (continueWhenConnected_) {
        continueWhenConnected_ = false;
        showErrorBox(this, label4_->toolTip());
    }
}

void WorkWindow::showMachineStatus() {
    if (!grbl_ || !grbl_->status()) {
        emit machineStatus(QString());
        return;
    }
    // Short: the status bar shares its room with the job's figures and buttons.
    const GrblStatus& st = *grbl_->status();
    QString text = QStringLiteral("grbl: ") + QString::fromStdString(st.state);
    if (st.hasPosition)
        text += QStringLiteral(" X%1 Y%2 Z%3")
                    .arg(static_cast<double>(st.x) / 1000, 0, 'f', 3)
                    .arg(static_cast<double>(st.y) / 1000, 0, 'f', 3)
                    .arg(static_cast<double>(st.z) / 1000, 0, 'f', 3);
    emit machineStatus(text);
}

void WorkWindow::onGrblAlarm() {
    // A running job reports the alarm as its fault, when it ends.
    if (runner_.isRunning() || runner_.phase() == JobRunner::Phase::Paused)
        return;
    askAboutAlarm(grblAlarmText(grbl_->alarm()));
}

void WorkWindow::askAboutAlarm(const std::string& text) {
    if (alarmBox_ || !grbl_)
        return;
    alarmBox_ = askYesNo(this, QStringLiteral("Тревога grbl"),
                         QString::fromStdString(text) + QStringLiteral("\r\n\r\nСнять блокировку сейчас ($X)?"),
                         [this](bool yes) {
                             if (yes && grbl_)
                                 grbl_->clearAlarm();
                         });
}

void WorkWindow::onManualMoveClicked() {
    if (runner_.isRunning() || !check1_->isChecked())
        return; // unticked, the manual move does nothing at all
    if (grbl_ && !grbl_->takesMoveAside()) {
        // A jog in feed hold or alarm would be refused by grbl, and the refusal would drop the held job.
        showErrorBox(this, QStringLiteral("grbl сейчас не принимает ручное перемещение (состояние %1).\r\n"
                                          "Нажмите «Продолжить» или «Стоп».")
                               .arg(QString::fromStdString(grbl_->status()->state)));
        return;
    }
    const ManualMovePlan plan =
        manualMovePlan(tx_->text().toStdString(), ty_->text().toStdString(), tz_->text().toStdString());
    if (!plan.move) {
        showErrorBox(this, QString::fromStdString(refusalText(plan.refusal)));
        return;
    }
    manualRunning_ = true;
    setBusy(true);
    runner_.runAside(std::make_unique<SingleMove>(*plan.move), parseStepsPerPixel(text2_->text().toStdString()));
}

void WorkWindow::onMillClicked(MillKind kind) {
    if (busy_ || runner_.isRunning())
        return;
    const MillRefusal refusal = checkMillCommand(kind, session_);
    if (refusal != MillRefusal::None) {
        showErrorBox(this, QString::fromStdString(refusalText(refusal)));
        return;
    }
    forgetKeptJob();
    sentBefore_ = 0;
    JobEvents* events = this;
    auto job = std::make_unique<MillJob>(kind, session_, tool_, millIndex_, events);
    job->setSafeHeight(config_.safeHeight);
    millingJob_ = job.get();
    toolBefore_ = tool_;
    Operation op;
    op.kind = kind == MillKind::Selected ? Operation::Kind::MillSelected
              : kind == MillKind::All    ? Operation::Kind::MillAll
                                         : Operation::Kind::Cut3D;
    jobOperations_.clear();
    if (kind == MillKind::Selected) {
        Operation select;
        select.kind = Operation::Kind::Select;
        select.id = job->selectedRegion();
        jobOperations_.push_back(select);
        history_.push_back(select);
    }
    jobOperations_.push_back(op);
    jobEntry_ = static_cast<std::int64_t>(history_.size());
    history_.push_back(op);
    stepsAtStart_ = text2_->text().toStdString();
    const std::vector<std::uint8_t>& mill = session_.layers.millLayer.bits();
    millHashAtStart_ = ContentHash::hexOf(mill.data(), mill.size());

    setBusy(true);
    emit jobBegun();
    if (check1_->isChecked()) {
        startAfterEstimate(std::move(job), kind);
        return;
    }
    const ToolPosition from = job->tool();
    runner_.start(std::move(job), parseStepsPerPixel(stepsAtStart_), {from.toolX, from.toolY, 0});
}

void WorkWindow::startAfterEstimate(std::unique_ptr<MillJob> job, MillKind kind) {
    pendingJob_ = std::move(job);
    emit jobEstimate(-1, 0); // counting
    emit jobControls(0, true); // "Стоп" calls the job off before it starts
    auto copy = std::make_shared<ImageSession>(copyForSimulation(session_, kind));
    const Checked scale = parseStepsPerPixel(stepsAtStart_);
    const SimulationSettings settings{config_.mergeSteps, config_.safeHeight, scale.ok() ? scale.value : 1};
    const ToolPosition tool = tool_;
    estimate_.setFuture(QtConcurrent::run([copy, settings, tool, kind] {
        JobCount count;
        simulateJob(kind, *copy, tool, settings, [&count, &settings](const CommandMove& c) {
            ++count.commands;
            count.moves += c.moves;
            count.bytes += static_cast<std::int64_t>(
                formatMoveCommand(c.x, c.y, c.z, settings.stepsPerPixel).text.size());
        });
        return count;
    }));
}

void WorkWindow::startPendingJob() {
    if (!pendingJob_)
        return; // stopped, or the window is going
    const JobCount count = estimate_.result();
    // grbl's time is its motion's, which the count does not know: only the lines are shown.
    emit jobEstimate(count.commands,
                     grbl_ ? 0.0 : lineTimeMs(count, BoardLink::protocolPauseMs, BoardLink::baudRate));
    const ToolPosition from = pendingJob_->tool();
    runner_.start(std::move(pendingJob_), parseStepsPerPixel(stepsAtStart_), {from.toolX, from.toolY, 0});
}

void WorkWindow::millingStarts(std::int64_t totalMoves) {
    emit jobStarted(totalMoves);
    emitProgress();
}

void WorkWindow::regionStarts(std::int32_t) {
    emitProgress();
}

void WorkWindow::passStarts(int pass) {
    emit jobPass(pass);
}

void WorkWindow::workChanged(bool treeRebuilt) {
    if (treeRebuilt)
        showNewTree();
    scheduleRefresh();
}

void WorkWindow::emitProgress() {
    if (!millingJob_)
        return;
    const JobRunner::Board& b = runner_.board();
    emit jobProgress(millingJob_->millingDone(), millingJob_->region(), static_cast<int>(b.x),
                     static_cast<int>(b.y), static_cast<int>(b.depth));
}

void WorkWindow::onMoveDone() {
    if (manualRunning_)
        return;
    scheduleRefresh();
    emitProgress();
}

void WorkWindow::recordJobInHistory() {
    if (!millingJob_ || jobEntry_ < 0)
        return;
    Operation& entry = history_[static_cast<std::size_t>(jobEntry_)];
    entry.reached = millingJob_->finished() ? -1 : millingJob_->movesDone();
    entry.sentNothing = runner_.movesSent() + sentBefore_ == 0;
    // A job that sent the board nothing did not move the tool: the next real job must start its approach from
    // where the tool really is, not from where the drawing ended.
    tool_ = entry.sentNothing ? toolBefore_ : millingJob_->tool();
}

void WorkWindow::onJobEnded(JobRunner::Outcome outcome) {
    if (manualRunning_) {
        manualRunning_ = false;
        setBusy(runner_.phase() == JobRunner::Phase::Paused);
        if (outcome == JobRunner::Outcome::Failed)
            showErrorBox(this, QString::fromStdString(faultText(runner_.fault(), false)));
        else if (outcome == JobRunner::Outcome::Refused)
            showErrorBox(this, QString::fromStdString(refusalText(runner_.refusal())));
        onPhaseChanged();
        return;
    }
    recordJobInHistory();
    tickedAtEnd_ = check1_->isChecked() || runner_.movesSent() > 0;
    setBusy(false);
    RefreshViews();
    emit jobFinished(outcome == JobRunner::Outcome::Completed ? QStringLiteral("готово")
                     : outcome == JobRunner::Outcome::Stopped ? QStringLiteral("остановлено")
                                                              : QStringLiteral("прервано"));
    if (outcome == JobRunner::Outcome::Completed) {
        removeJournal();
        millingJob_ = nullptr;
    }
    if (closeAfterJob_) {
        QTimer::singleShot(0, parentWidget() ? parentWidget() : this, &QWidget::close);
        return;
    }
    if (outcome == JobRunner::Outcome::Failed && runner_.fault().kind == LinkFault::Kind::Alarm)
        askAboutAlarm(faultText(runner_.fault(), true));
    else if (outcome == JobRunner::Outcome::Failed)
        showErrorBox(this, QString::fromStdString(faultText(runner_.fault(), true)));
    else if (outcome == JobRunner::Outcome::Refused)
        showErrorBox(this, QString::fromStdString(refusalText(runner_.refusal())));
    else if (outcome == JobRunner::Outcome::JournalFailed)
        showErrorBox(this, QString::fromStdString(journalFailureText(journalPath().toStdString())));
}

void WorkWindow::onPhaseChanged() {
    const JobRunner::Phase phase = runner_.phase();
    const bool aside = manualRunning_;
    int control = 0;
    bool canStop = false;
    switch (phase) {
    case JobRunner::Phase::Running:
        control = aside ? 0 : 1;
        canStop = !aside;
        break;
    case JobRunner::Phase::Paused:
        control = 2;
        canStop = true;
        break;
    case JobRunner::Phase::Kept:
        control = millingJob_ ? 2 : 0;
        break;
    case JobRunner::Phase::Asking:
        canStop = true;
        break;
    case JobRunner::Phase::Idle:
        break;
    }
    if (phase == JobRunner::Phase::Paused && millingJob_)
        recordJobInHistory();
    emit jobControls(control, canStop);
    emitProgress();
}

void WorkWindow::requestStop() {
    if (pendingJob_) {
        // Stopped before its first command: nothing happened, nothing is kept.
        pendingJob_.reset();
        millingJob_ = nullptr;
        if (jobEntry_ >= 0)
            history_.resize(static_cast<std::size_t>(jobEntry_) - (jobOperations_.size() > 1 ? 1 : 0));
        jobEntry_ = -1;
        setBusy(false);
        emit jobFinished(QStringLiteral("остановлено"));
        onPhaseChanged();
        return;
    }
    runner_.stop();
}

void WorkWindow::requestPause() {
    runner_.pause();
}

void WorkWindow::requestContinue() {
    if (runner_.phase() == JobRunner::Phase::Asking) {
        if (!questionBox_)
            askAboutOpenMove();
        return;
    }
    if (!runner_.canContinue() || !millingJob_)
        return;
    if (tickedAtEnd_ && !linkReady()) {
        // A lost line is opened again as at start; failing, the window says so as it does then.
        openPort();
        if (!line_.isOpen())
            return;
        if (grbl_) {
            continueWhenConnected_ = true; // once grbl has said hello
            return;
        }
        check1_->setChecked(true);
    }
    setBusy(true);
    runner_.resume();
}

void WorkWindow::askAboutOpenMove() {
    if (!runner_.openMove())
        return;
    questionBox_ = askYesNo(this, QStringLiteral("Продолжение задания"),
                            QString::fromStdString(openMoveQuestion(*runner_.openMove())),
                            [this](bool yes) { runner_.answer(yes); });
}

QString WorkWindow::journalPath() const {
    return journalDir_.isEmpty() ? QString() : QDir(journalDir_).filePath(QStringLiteral("job.journal"));
}

std::string WorkWindow::imageFileHash() {
    if (imageHash_.empty()) {
        std::ifstream file(config_.imagePath, std::ios::binary);
        const std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        imageHash_ = ContentHash::hexOf(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    }
    return imageHash_;
}

JournalWriter* WorkWindow::openJournal(std::int64_t movesDone) {
    if (journalDir_.isEmpty())
        return nullptr; // no journal kept (long soak tests of the line)
    JournalHeader header;
    header.imageHash = imageFileHash();
    header.imageName = config_.imagePath;
    header.stepsText = stepsAtStart_;
    header.mergeSteps = config_.mergeSteps;
    header.safeHeight = config_.safeHeight;
    for (std::int64_t i = 0; i < jobEntry_ - (jobOperations_.size() > 1 ? 1 : 0); ++i)
        header.prelude.push_back(wordOf(history_[static_cast<std::size_t>(i)]));
    for (const Operation& op : jobOperations_)
        header.operations.push_back(wordOf(op));
    header.millHash = millHashAtStart_;
    auto journal = std::make_unique<JournalWriter>();
    if (!journal->create(journalPath().toStdString(), header))
        return nullptr;
    for (std::int64_t i = 0; i < movesDone; ++i)
        journal->doneDry(i);
    journal_ = std::move(journal);
    return journal_.get();
}

void WorkWindow::removeJournal() {
    journal_.reset();
    if (!journalPath().isEmpty())
        QFile::remove(journalPath());
}

void WorkWindow::forgetKeptJob() {
    if (runner_.isRunning())
        return;
    millingJob_ = nullptr; // before the runner lets the job go
    jobEntry_ = -1;
    runner_.dropKept();
    removeJournal();
    onPhaseChanged();
}

void WorkWindow::offerJournalledJob() {
    if (journalPath().isEmpty() || grbl_)
        return; // a journal is our board's: grbl's own report says where a job stands
    QFile file(journalPath());
    if (!session_.hasImage() || !file.open(QIODevice::ReadOnly))
        return;
    const QByteArray bytes = file.readAll();
    file.close();
    auto reading = std::make_shared<JournalReading>(
        readJournal(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size()))));
    if (!reading->readable() || reading->state.ended || reading->header.imageHash != imageFileHash())
        return; // another picture's job, or nothing to continue: left for that picture
    const QString text =
        QStringLiteral("Для этого изображения есть незаконченное задание: %1 перемещений из него уже сделано.\n"
                       "Продолжить его? Сделанное будет восстановлено без отправки на станок, затем задание "
                       "продолжится с того места, где оно прервалось.\n«Нет» — забыть это задание.")
            .arg(reading->state.done);
    askYesNo(this, QStringLiteral("Незаконченное задание"), text, [this, reading](bool yes) {
        if (!yes) {
            removeJournal();
            return;
        }
        if (!takeUpJournalledJob(*reading))
            showErrorBox(this, QStringLiteral("Незаконченное задание не удалось восстановить: изображение или "
                                              "его обработка дают не то, что было при записи журнала.\n"
                                              "Задание не продолжено, ничего не отправлено."));
    });
}

bool WorkWindow::takeUpJournalledJob(const JournalReading& reading) {
    std::vector<Operation> prelude;
    std::vector<Operation> operations;
    for (const std::string& word : reading.header.prelude) {
        const std::optional<Operation> op = operationOf(word);
        if (!op)
            return false;
        prelude.push_back(*op);
    }
    for (const std::string& word : reading.header.operations) {
        const std::optional<Operation> op = operationOf(word);
        if (!op || op->reached >= 0)
            return false;
        operations.push_back(*op);
    }
    if (operations.empty() || !operations.back().isMilling())
        return false;
    // The commands must go out as they went: the same merging and the same travel.
    if (reading.header.mergeSteps != config_.mergeSteps || reading.header.safeHeight != config_.safeHeight)
        return false;
    if (!replayHistory(session_, tool_, millIndex_, prelude, config_.safeHeight))
        return false;
    const std::vector<std::uint8_t>& mill = session_.layers.millLayer.bits();
    if (ContentHash::hexOf(mill.data(), mill.size()) != reading.header.millHash)
        return false;
    history_ = prelude;
    toolBefore_ = tool_;
    ReplayPoint point =
        replayOperations(session_, tool_, millIndex_, operations, reading.state.done, config_.safeHeight);
    if (!point.ok || !point.job)
        return false;
    auto* job = dynamic_cast<MillJob*>(point.job.get());
    if (!job)
        return false;
    job->setEvents(this);
    millingJob_ = job;
    jobOperations_ = operations;
    for (const Operation& op : operations)
        history_.push_back(op);
    jobEntry_ = static_cast<std::int64_t>(history_.size()) - 1;
    stepsAtStart_ = reading.header.stepsText;
    millHashAtStart_ = reading.header.millHash;
    text2_->setText(QString::fromStdString(stepsAtStart_));
    showNewTree();

    const Checked scale = parseStepsPerPixel(stepsAtStart_);
    const std::optional<JobRunner::Resumption> at =
        resumptionOf(reading.state, *job, link_, scale, config_.mergeSteps);
    if (!at)
        return false;
    journal_ = std::make_unique<JournalWriter>();
    if (!journal_->resume(journalPath().toStdString(), reading.wholeBytes))
        journal_.reset();
    point.job.release();
    runner_.keep(std::unique_ptr<MoveSource>(job), scale, *at, journal_.get());
    tickedAtEnd_ = true;
    sentBefore_ = reading.state.done + (reading.state.pending != JournalState::Pending::None ? 1 : 0);
    recordJobInHistory();
    if (line_.isOpen())
        check1_->setChecked(true); // the operator asked for the job on the machine
    RefreshViews();
    emit jobBegun();
    emit jobStarted(job->millingTotal());
    onPhaseChanged();
    requestContinue();
    return true;
}

void WorkWindow::saveGcode() {
    if (busy_ || runner_.isRunning())
        return;
    const MillRefusal refusal = checkMillCommand(MillKind::All, session_);
    if (refusal != MillRefusal::None) {
        showErrorBox(this, QString::fromStdString(refusalText(refusal)));
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
            const QString problem = writeGcodeFile(path, kind);
            if (!problem.isEmpty())
                showErrorBox(this, problem);
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

QString WorkWindow::writeGcodeFile(const QString& path, MillKind kind) {
    const MillRefusal refusal = checkMillCommand(kind, session_);
    if (refusal != MillRefusal::None)
        return QString::fromStdString(refusalText(refusal));
    const Checked scale = parseStepsPerPixel(text2_->text().toStdString());
    if (!scale.ok())
        return QString::fromStdString(refusalText(scale.refusal));
    const std::optional<Decimal> mmPerStep = Decimal::parse(config_.mmPerStep);
    GcodeWriter writer({scale.value, mmPerStep.value_or(Decimal{1, 2}), config_.feed});
    std::vector<std::string> operations;
    if (kind == MillKind::Selected)
        operations.push_back(
            "select=" +
            std::to_string(session_.regions->tree.nodes[static_cast<std::size_t>(session_.selectedNode)].regionId));
    operations.push_back(kind == MillKind::Selected ? "mill-selected" : "mill-all");
    std::string text = writer.header({config_.imagePath, operations, config_.safeHeight, config_.mergeSteps});
    ImageSession copy = copyForSimulation(session_, kind);
    const SimulationSettings settings{config_.mergeSteps, config_.safeHeight, scale.value};
    bool fits = true;
    simulateJob(kind, copy, tool_, settings, [&](const CommandMove& c) {
        fits = fits && formatMoveCommand(c.x, c.y, c.z, scale.value).ok();
        text += writer.line(c);
    });
    if (!fits)
        return QString::fromStdString(refusalText(NumberRefusal{NumberRefusal::Kind::CountTooLarge, {}, {}, scale.value}));
    text += writer.footer();
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(text.data(), static_cast<qint64>(text.size())) != static_cast<qint64>(text.size()) ||
        !file.flush())
        return QStringLiteral("Файл G-кода не удалось записать: %1\n%2").arg(path, file.errorString());
    return {};
}

void WorkWindow::closeEvent(QCloseEvent* event) {
    if (pendingJob_)
        requestStop();
    if (isMilling() && !closeAfterJob_) {
        // A milling stops as with "Стоп": after the current "OK", with a lift; then the window closes.
        closeAfterJob_ = true;
        runner_.stop();
        event->ignore();
        return;
    }
    // Anything else waiting on the board ends now; a kept job stays in its journal.
    runner_.abort();
    link_.abort();
    if (grbl_)
        grbl_->abort();
    QWidget::closeEvent(event);
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
    config_ = readStartupConfig(locations);

    openPort();

    LoadedImage loaded;
    runShowingBusyCursor([&] { loaded = loadImageFile(config_.imagePath); });
    if (loaded.ok())
        session_.layers = LayerSet::copiesOf(std::move(loaded.layer));
    else
        startupError_ = QString::fromStdString(loaded.error);

    tool_.toolX = 1;
    tool_.toolY = 1;
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
    if (!session_.hasImage() || busy_)
        return;
    forgetKeptJob();
    runShowingBusyCursor([this] { parseImage(session_); });
    history_.push_back(*operationOf("parse"));
    showNewTree();
    RefreshViews();
}

void WorkWindow::showNewTree() {
    treeModel_->setAnalysis(session_.regions);
    // Every node with children is expanded after a parse: the whole tree stands open.
    tv_->expandAll();
}

void WorkWindow::onGradientClicked() {
    if (busy_)
        return;
    forgetKeptJob();
    gradientCommand(session_);
    history_.push_back(*operationOf("gradient"));
    RefreshViews();
}

void WorkWindow::onOffsetClicked() {
    if (busy_)
        return;
    forgetKeptJob();
    offsetCommand(session_);
    history_.push_back(*operationOf("offset"));
    RefreshViews();
}

void WorkWindow::onCurrentNodeChanged() {
    // "Выделенная" mills the node the tree shows as selected, also one reached with the keyboard.
    session_.selectedNode = treeModel_->nodeOf(tv_->currentIndex());
}

void WorkWindow::onTreeClicked() {
    const QModelIndex current = tv_->currentIndex();
    if (!current.isValid())
        return;
    selectNode(session_, treeModel_->data(current, RegionTreeModel::keyRole).toString().toStdString());
    RefreshViews();
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
