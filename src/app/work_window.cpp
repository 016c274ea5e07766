#include "work_window.h"

#include "busy_cursor.h"
#include "error_box.h"
#include "form_design.h"
#include "job_exports.h"
#include "job_questions.h"
#include "picture_files/image_file.h"
#include "texts/line_texts.h"
#include "texts/operator_texts.h"
#include "texts/port_texts.h"
#include "key_filter.h"
#include "layer_view.h"
#include "region_tree_model.h"
#include "tab_strip.h"
#include "twips.h"
#include "view_layout.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QGroupBox>
#include <QHash>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QMdiSubWindow>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTimer>
#include <QTreeView>

#include <functional>
#include <vector>

namespace zelmar {

WorkWindow::WorkWindow(const ConfigLocations& locations, ToolPosition& tool, const QString& journalDir,
                       QWidget* parent)
    : QWidget(parent), tool_(tool), controller_(session_, tool),
      exports_(std::make_unique<JobExports>(this, controller_, session_, tool_,
                                            [this] { return text2_->text().toStdString(); })),
      questions_(std::make_unique<JobQuestions>(this, controller_, [this] { return closeAfterJob_; })),
      heightMaps_(std::make_unique<HeightMapChoice>(this, controller_)) {
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
    // "Предпросмотр 3D…" may be opened at any moment of a job and shows all it has cut by then.
    controller_.setKeepsCarving(true);
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
    connect(c, &JobController::alarmRaised, this, [this](int code) { questions_->askAboutAlarm(grblAlarmText(code)); });
    connect(c, &JobController::pictureChanged, this, [this](bool treeRebuilt) {
        if (treeRebuilt)
            showNewTree();
        scheduleRefresh();
    });
    connect(c, &JobController::moveDone, this, &WorkWindow::scheduleRefresh);
    connect(c, &JobController::stateChanged, this, &WorkWindow::onStateChanged);
    connect(c, &JobController::finished, this, &WorkWindow::onJobFinished);
    connect(c, &JobController::faulted, questions_.get(), &JobQuestions::onFault);
    connect(c, &JobController::refused, this, [this](const NumberRefusal& refusal, bool) {
        if (!closeAfterJob_)
            showErrorBox(this, QString::fromStdString(refusalText(refusal)));
    });
    connect(c, &JobController::journalFailed, this, [this](const QString& path) {
        if (!closeAfterJob_)
            showErrorBox(this, QString::fromStdString(journalFailureText(path.toStdString())));
    });
    connect(c, &JobController::question, questions_.get(), &JobQuestions::askAboutOpenMove);
    connect(questions_.get(), &JobQuestions::jobTakenUp, this, [this] {
        text2_->setText(QString::fromStdString(controller_.stepsText()));
        showNewTree();
        RefreshViews();
    });
    connect(c, &JobController::positionInDoubt, questions_.get(), &JobQuestions::onPositionInDoubt);
    connect(c, &JobController::marksInDoubt, this, [this] {
        askYesNo(this, QStringLiteral("Отметки в слое «Фреза»"),
                 QStringLiteral("В слое «Фреза» есть отметки прошлых проходов (или пробного прогона без "
                                "«Фрезеровать»): там глубина будет полной.\r\nПродолжить? «Нет» — задание не "
                                "начнётся; убрать отметки можно командой меню «Очистить слой «Фреза»»."),
                 [this](bool yes) { controller_.answerMarks(yes); });
    });
}

void WorkWindow::showLinkState() {
    const StatusLine line = statusLineOf(controller_.linkState(), config(), portHintText(controller_.portHint()));
    label4_->setText(QString::fromStdString(line.text));
    if (line.tip)
        label4_->setToolTip(QString::fromStdString(*line.tip));
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

void WorkWindow::showMachineStatus() {
    // Short: the status bar shares its room with the job's figures and buttons.
    emit machineStatus(QString::fromStdString(machineStatusText(controller_)));
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
                               .arg(controller_.grblLink() && controller_.grblLink()->status()
                                        ? QString::fromStdString(controller_.grblLink()->status()->state)
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

void WorkWindow::onMillClicked(MillKind kind) {
    const MillRefusal refusal = controller_.start(millingOperation(kind), text2_->text().toStdString()).mill;
    if (refusal != MillRefusal::None)
        showErrorBox(this, millRefusalText(controller_, refusal));
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

void WorkWindow::restoreMillLayer() {
    if (controller_.isBusy()) {
        showErrorBox(this, QStringLiteral("Идёт задание: слой «Фреза» можно очистить, когда оно закончится или "
                                          "будет остановлено."));
        return;
    }
    controller_.start(Operation{.kind = Operation::Kind::RestoreMill});
    RefreshViews();
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
    const QHash<QString, QWidget*> made = buildDesignedControls(this);
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
    questions_->offerJournalledJob();
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
    in.imageWidth = session_.layers.header().bmWidth;
    in.imageHeight = session_.layers.header().bmHeight;
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
    controller_.start(Operation{.kind = Operation::Kind::Parse}, {}, {},
                      [](const std::function<void()>& work) { runShowingBusyCursor(work); });
    // No node is selected in the new tree: the "Выделение" view shows no highlight either.
    controller_.clearSelection();
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
    controller_.start(Operation{.kind = Operation::Kind::Gradient});
    RefreshViews();
}

void WorkWindow::onOffsetClicked() {
    controller_.start(Operation{.kind = Operation::Kind::Offset});
    RefreshViews();
}

void WorkWindow::onCurrentNodeChanged() {
    // However the node became current (a click, the keyboard), it is the one milled and highlighted.
    const std::int32_t node = treeModel_->nodeOf(tv_->currentIndex());
    if (node < 0) {
        controller_.clearSelection();
    } else if (node != session_.selectedNode) {
        controller_.start(Operation{.kind = Operation::Kind::Select,
                                    .id = session_.regions->tree.nodes[static_cast<std::size_t>(node)].regionId});
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
        controller_.start(Operation{.kind = Operation::Kind::Select,
                                    .id = session_.regions->tree.nodes[static_cast<std::size_t>(node)].regionId});
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
