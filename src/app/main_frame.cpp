#include "main_frame.h"

#include "error_box.h"
#include "job_status.h"
#include "machine_panel.h"
#include "probe_map_dialog.h"
#include "twips.h"
#include "work_window.h"

#include <QAction>
#include <QCloseEvent>
#include <QDockWidget>
#include <QLabel>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QShortcut>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTimer>

namespace zelmar {

namespace {
constexpr double designedClientWidth = 11115;
constexpr double designedClientHeight = 6660;
} // namespace

MainFrame::MainFrame(const QString& programDir, QWidget* parent)
    : MainFrame(ConfigLocations::programFolderOnly(programDir.toStdString()), parent) {}

MainFrame::MainFrame(ConfigLocations locations, QWidget* parent)
    : QMainWindow(parent), locations_(std::move(locations)),
      journalFolder_(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)), mdiArea_(new QMdiArea(this)) {
    setObjectName(QStringLiteral("MDIForm1"));
    setWindowTitle(QStringLiteral("Zelmar CNC"));
    mdiArea_->setBackground(palette().brush(QPalette::Dark));
    setCentralWidget(mdiArea_);
    millAction_ = menuBar()->addAction(QStringLiteral("Фрезеровка"));
    millAction_->setObjectName(QStringLiteral("mill_cl"));
    connect(millAction_, &QAction::triggered, this, &MainFrame::openWorkWindow);
    // What "Все" (or "Выделенная") would send now, as G-code for other machines and viewers.
    saveGcodeAction_ = menuBar()->addAction(QStringLiteral("Сохранить G-код…"));
    saveGcodeAction_->setObjectName(QStringLiteral("saveGcode"));
    connect(saveGcodeAction_, &QAction::triggered, this, [this] {
        if (workWindow_)
            workWindow_->saveGcode();
    });
    // What "Все" would carve, shaded, before it runs.
    previewAction_ = menuBar()->addAction(QStringLiteral("Предпросмотр 3D…"));
    previewAction_->setObjectName(QStringLiteral("preview3d"));
    connect(previewAction_, &QAction::triggered, this, [this] {
        if (workWindow_)
            workWindow_->showPreview();
    });
    // The marks a dry run (or an earlier job) left in the mill layer: this takes them away (under MarksAsDepth=1
    // they read as full depth).
    restoreMillAction_ = menuBar()->addAction(QStringLiteral("Очистить слой «Фреза»"));
    restoreMillAction_->setObjectName(QStringLiteral("restoreMill"));
    connect(restoreMillAction_, &QAction::triggered, this, [this] {
        if (workWindow_)
            workWindow_->restoreMillLayer();
    });
    // The machine and the stock: the probed surface the G-code file follows.
    QMenu* machine = menuBar()->addMenu(QStringLiteral("Станок"));
    machine->setObjectName(QStringLiteral("machineMenu"));
    addMachineItems(machine);
    machine->addSeparator();
    // A map probed over the picture on grbl: a set-up item, greyed with them.
    QAction* probeMap = machine->addAction(QStringLiteral("Снять карту высот…"));
    probeMap->setObjectName(QStringLiteral("probeHeightMap"));
    connect(probeMap, &QAction::triggered, this, [this] {
        if (!workWindow_)
            return;
        auto* dialog = new ProbeMapDialog(this, workWindow_->controller(), workWindow_->stepsText());
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        dialog->open();
    });
    machineActions_ << probeMap;
    heightMapAction_ = machine->addAction(QStringLiteral("Карта высот…"));
    heightMapAction_->setObjectName(QStringLiteral("heightMap"));
    connect(heightMapAction_, &QAction::triggered, this, [this] {
        if (workWindow_)
            workWindow_->loadHeightMap();
    });
    forgetHeightMapAction_ = machine->addAction(QStringLiteral("Забыть карту высот"));
    forgetHeightMapAction_->setObjectName(QStringLiteral("forgetHeightMap"));
    connect(forgetHeightMapAction_, &QAction::triggered, this, [this] {
        if (workWindow_)
            workWindow_->forgetHeightMap();
    });
    // Without the work window there is no picture and no machine: the items wait for "Фрезеровка".
    enableWorkItems(false);

    configNote_ = new QLabel(this);
    configNote_->setObjectName(QStringLiteral("configNote"));
    configNote_->hide();
    statusBar()->addWidget(configNote_);
    jobStatus_ = new JobStatus(this);
    machineStatus_ = jobStatus_->machineLabel();
    statusBar()->addPermanentWidget(jobStatus_, 1);
    const auto stop = [this] {
        if (workWindow_)
            workWindow_->requestStop();
    };
    connect(jobStatus_, &JobStatus::stopClicked, this, stop);
    connect(jobStatus_, &JobStatus::pauseClicked, this, [this] {
        if (workWindow_)
            workWindow_->requestPause();
    });
    connect(jobStatus_, &JobStatus::continueClicked, this, [this] {
        if (workWindow_)
            workWindow_->requestContinue();
    });
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    // The frame and the work window inside it; a message box keeps its own Esc.
    escape->setContext(Qt::WindowShortcut);
    connect(escape, &QShortcut::activated, this, stop);

    const TwipsPerPixel tpp = TwipsPerPixel::of(this);
    resize(twipsToPixels(designedClientWidth, tpp.x), twipsToPixels(designedClientHeight, tpp.y) +
                                                          menuBar()->sizeHint().height() +
                                                          statusBar()->sizeHint().height());
}

void MainFrame::addMachineItems(QMenu* menu) {
    machinePanel_ = new MachinePanel;
    machineDock_ = new QDockWidget(QStringLiteral("Пульт станка"), this);
    machineDock_->setObjectName(QStringLiteral("machineDock"));
    machineDock_->setWidget(machinePanel_);
    machineDock_->setAllowedAreas(Qt::LeftDockWidgetArea | Qt::RightDockWidgetArea);
    addDockWidget(Qt::RightDockWidgetArea, machineDock_);
    machineDock_->hide();
    QAction* show = machineDock_->toggleViewAction();
    show->setText(QStringLiteral("Пульт станка"));
    show->setObjectName(QStringLiteral("machinePanelShown"));
    // The frame widens by the panel rather than squeezing the work window, which keeps its designed size.
    connect(show, &QAction::triggered, this, [this](bool shown) {
        if (isMaximized() || isFullScreen())
            return;
        const int width = machineDock_->sizeHint().width();
        resize(size().width() + (shown ? width : -width), size().height());
    });
    menu->addAction(show);
    menu->addSeparator();
    const auto item = [&](QMenu* into, const QString& caption, const char* name, const char* word) {
        QAction* a = into->addAction(caption);
        a->setObjectName(QString::fromLatin1(name));
        const std::optional<Operation> op = operationOf(word);
        connect(a, &QAction::triggered, this, [this, op] { machinePanel_->run(*op); });
        machineActions_ << a;
    };
    item(menu, QStringLiteral("Домой ($H)"), "setupHome", "home");
    item(menu, QStringLiteral("Снять блокировку ($X)"), "setupUnlock", "unlock");
    item(menu, QStringLiteral("Ноль заготовки здесь"), "setupZero", "zero");
    QMenu* axes = menu->addMenu(QStringLiteral("Ноль заготовки по оси"));
    axes->setObjectName(QStringLiteral("zeroAxisMenu"));
    item(axes, QStringLiteral("X"), "setupZeroX", "zero=X");
    item(axes, QStringLiteral("Y"), "setupZeroY", "zero=Y");
    item(axes, QStringLiteral("Z"), "setupZeroZ", "zero=Z");
    item(menu, QStringLiteral("К нулю заготовки"), "setupGotoZero", "goto-zero");
    item(menu, QStringLiteral("Щуп по Z"), "setupProbeZ", "probe-z");
}

QAction* MainFrame::machineAction(const QString& objectName) const {
    for (QAction* a : machineActions_)
        if (a->objectName() == objectName)
            return a;
    return nullptr;
}

void MainFrame::enableWorkItems(bool enabled) {
    QList<QAction*> items = machineActions_;
    for (QAction* a : workActions())
        items << a;
    for (QAction* a : items) {
        a->setEnabled(enabled);
        a->setToolTip(enabled ? QString() : QStringLiteral("Сначала откройте рабочее окно («Фрезеровка»)"));
    }
}

MainFrame::~MainFrame() {
    // The base class deletes the sub-window later, when this object is no longer a MainFrame: its "destroyed"
    // must not reach the handler that reads our members.
    if (subWindow_)
        subWindow_->disconnect(this);
}

void MainFrame::closeEvent(QCloseEvent* event) {
    if (subWindow_ && workWindow_ && workWindow_->isBusy()) {
        closeWhenWorkWindowGone_ = true;
        subWindow_->close();
        event->ignore();
        return;
    }
    QMainWindow::closeEvent(event);
}

void MainFrame::openWorkWindow() {
    if (workWindow_ && subWindow_) {
        mdiArea_->setActiveSubWindow(subWindow_);
        workWindow_->setFocus();
        return;
    }
    // The last window's job went with it: its figures are no one's now.
    jobStatus_->clear();
    auto* form = new WorkWindow(locations_, tool_, journalFolder_);
    workWindow_ = form;
    // "Нет" to stopping the job: the program stays, too.
    connect(form, &WorkWindow::closeCalledOff, this, [this] { closeWhenWorkWindowGone_ = false; });
    const QString note = QString::fromStdString(form->config().note);
    configNote_->setText(note);
    configNote_->setToolTip(note);
    configNote_->setVisible(!note.isEmpty());
    // The job's figures come from the controller; the window words only how a job ended and what may be clicked.
    const JobController* controller = &form->controller();
    connect(controller, &JobController::jobBegun, configNote_, &QWidget::hide); // the job's figures need the room
    if (const StartupConfig& config = form->config(); !config.problems.empty()) {
        // All of them at once and whole: a line in the status bar would show one, cut off.
        QMessageBox* box = showMessageBox(this, QStringLiteral("Неверные настройки"),
                                          QString::fromStdString(settingProblemsText(config.configPath, config.problems)));
        box->setObjectName(QStringLiteral("settingProblems"));
    }
    jobStatus_->setPauseIsFeedHold(form->controller().grblLink() != nullptr);
    connect(form, &WorkWindow::machineStatus, machineStatus_, [this](const QString& text) {
        machineStatus_->setText(text);
        machineStatus_->setVisible(!text.isEmpty());
    });
    connect(controller, &JobController::jobBegun, jobStatus_, &JobStatus::begin);
    connect(controller, &JobController::jobStarted, jobStatus_, &JobStatus::start);
    connect(controller, &JobController::figuresChanged, jobStatus_, &JobStatus::progress);
    connect(controller, &JobController::passStarted, jobStatus_, &JobStatus::setPass);
    connect(controller, &JobController::estimated, jobStatus_, &JobStatus::setEstimate);
    connect(form, &WorkWindow::jobFinished, jobStatus_, &JobStatus::finish);
    connect(form, &WorkWindow::jobControls, jobStatus_, [this](int control, bool canStop) {
        jobStatus_->setControl(static_cast<JobStatus::Control>(control), canStop);
    });
    subWindow_ = mdiArea_->addSubWindow(form);
    subWindow_->setAttribute(Qt::WA_DeleteOnClose);
    machinePanel_->setController(&form->controller());
    enableWorkItems(true);
    connect(subWindow_, &QObject::destroyed, this, [this] {
        // The job went with the window: nothing is left to pause, continue, stop or export.
        jobStatus_->setControl(JobStatus::Control::None, false);
        enableWorkItems(false);
        machineStatus_->hide();
        if (closeWhenWorkWindowGone_)
            QTimer::singleShot(0, this, &QWidget::close);
    });
    // The form was built at its designed client size; the sub-window adds its own title bar and borders.
    const QSize client = form->size();
    subWindow_->show();
    subWindow_->resize(client.grownBy(subWindow_->contentsMargins()));
    subWindow_->move(0, 0);
    form->setFocus();
    form->reportStartupError();
}

} // namespace zelmar
