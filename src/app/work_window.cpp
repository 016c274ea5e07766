#include "work_window.h"

#include "busy_cursor.h"
#include "caption_button.h"
#include "error_box.h"
#include "image_file.h"
#include "layer_view.h"
#include "link/key_filter.h"
#include "link/manual_move.h"
#include "region_tree_model.h"
#include "relief/relief_commands.h"
#include "tab_strip.h"
#include "twips.h"
#include "view_layout.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMdiSubWindow>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <QTreeView>

#include <algorithm>
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

WorkWindow::WorkWindow(const QString& programDir, ToolPosition& tool, QWidget* parent)
    : QWidget(parent), tool_(tool) {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Zelmar ЧПУ"));
    // The controls were designed for a narrow 8-point system font; wider captions would not fit their boxes.
    QFont designFont = font();
    designFont.setPointSize(8);
    designFont.setStretch(QFont::SemiCondensed);
    setFont(designFont);
    buildControls();
    runStartup(programDir);
}

WorkWindow::~WorkWindow() {
    motion_.abort();
    serial_.ClosePort(portHandle_);
}

void WorkWindow::openPort() {
    portHandle_ = serial_.OpenPort(QString::fromStdString(config_.portName), 9600);
    motion_.setHandle(portHandle_);
    motion_.setTimeoutSeconds(config_.timeoutSeconds);
    updateLinkControls();
}

void WorkWindow::updateLinkControls() {
    const bool open = portHandle_ > 0 && serial_.isOpen();
    if (open)
        label4_->setText(QStringLiteral("Com-порт открыт"));
    else if (serial_.isLost())
        label4_->setText(QStringLiteral("Связь с платой потеряна"));
    else
        label4_->setText(QStringLiteral("Ошибка открытия Com-порта"));
    if (!open)
        check1_->setChecked(
            false); // nothing can be sent: every milling is a dry run until the window reopens
    check1_->setEnabled(open);
    command3_->setEnabled(open && !busy_);
}

void WorkWindow::setBusy(bool busy) {
    // The tree, the tabs, "Фрезеровать" and the scale stay live: what they change takes effect at the next
    // step.
    busy_ = busy;
    for (const char* name : {"Command1", "Command2", "Command4", "Command5", "Command6", "Command7"})
        findChild<QPushButton*>(QString::fromUtf8(name))->setEnabled(!busy);
    updateLinkControls();
}

void WorkWindow::reportMove(const MoveResult& result) {
    if (result.outcome == MoveOutcome::Refused || result.outcome == MoveOutcome::Failed)
        showErrorBox(this, QString::fromStdString(result.message));
}

void WorkWindow::onManualMoveClicked() {
    if (busy_ || !check1_->isChecked())
        return; // unticked, the manual move does nothing at all
    const auto text = [this](const char* box) {
        return findChild<QLineEdit*>(QString::fromUtf8(box))->text().toStdString();
    };
    QPointer<WorkWindow> alive(this);
    setBusy(true);
    const MoveResult result =
        manualMove(motion_, check1_->isChecked(), text("tx"), text("ty"), text("tz"), text("Text2"));
    if (!alive)
        return;
    setBusy(false);
    reportMove(result);
}

// Milling in the window: moves through the motion protocol, every step drawn, the operator's "Стоп".
class WindowMillingHost : public MillingHost {
public:
    explicit WindowMillingHost(WorkWindow& window) : w_(window) {}

    bool millingOn() override { return w_.check1_->isChecked(); }
    void jobStarts(std::int64_t totalMoves) override {
        done_ = 0; // counted per milling: "Резать 3D" shows the moves of its pass
        if (!started_) {
            // Every job ends with a lift, so the tool starts at the surface whatever toolZ still says.
            reachedX_ = w_.tool_.toolX;
            reachedY_ = w_.tool_.toolY;
            reachedDepth_ = 0;
            started_ = true;
        }
        emit w_.jobStarted(totalMoves);
        emit w_.jobProgress(0, region_, static_cast<int>(reachedX_), static_cast<int>(reachedY_),
                            static_cast<int>(reachedDepth_));
    }
    void contourStarts(std::int32_t regionId) override { region_ = regionId; }
    bool sendMove(std::int32_t x, std::int32_t y, std::int32_t z) override {
        const MoveResult r =
            w_.motion_.SendMove(x, y, z, true, w_.check1_->isChecked(),
                                w_.findChild<QLineEdit*>(QStringLiteral("Text2"))->text().toStdString());
        if (!r.jobGoesOn()) {
            failure_ = r;
            return false;
        }
        ++done_;
        if (r.outcome == MoveOutcome::Done)
            ++sentToBoard_;
        // The status bar shows where the board is: toolX, toolY and toolZ run a move ahead of it, and toolZ keeps
        // its depth after a lift. Only acknowledged moves count, so after a failure it shows the last sure place.
        reachedX_ += x;
        reachedY_ += y;
        reachedDepth_ -= z;
        emit w_.jobProgress(done_, region_, static_cast<int>(reachedX_), static_cast<int>(reachedY_),
                            static_cast<int>(reachedDepth_));
        return true;
    }
    void dryStep() override {
        if (w_.dryPauseMs_ > 0)
            QThread::msleep(static_cast<unsigned long>(w_.dryPauseMs_));
    }
    void stepDone(const PixelRect&) override { w_.RefreshViews(); }
    void passStarts(int pass) override { emit w_.jobPass(pass); }
    void workChanged(bool treeRebuilt) override {
        if (treeRebuilt)
            w_.showNewTree();
        w_.RefreshViews();
    }
    bool stopRequested() override { return w_.stopRequested_; }

    const MoveResult& failure() const { return failure_; }
    std::int64_t movesSentToBoard() const { return sentToBoard_; }

private:
    WorkWindow& w_;
    std::int32_t region_ = 0;
    std::int64_t done_ = 0;
    bool started_ = false;
    std::int64_t sentToBoard_ = 0;
    std::int64_t reachedX_ = 0;
    std::int64_t reachedY_ = 0;
    std::int64_t reachedDepth_ = 0;
    MoveResult failure_;
};

void WorkWindow::onMillClicked(Job kind) {
    if (busy_)
        return;
    QPointer<WorkWindow> alive(this);
    setBusy(true);
    milling_ = true;
    stopRequested_ = false;
    if (check1_->isChecked())
        motion_.prepareForJob();
    WindowMillingHost host(*this);
    emit jobBegun();
    const ToolPosition before = tool_;
    const MillCommandResult result = kind == Job::All     ? millAll(session_, tool_, host, millIndex_)
                                     : kind == Job::Cut3D ? cut3D(session_, tool_, host, millIndex_)
                                                          : millSelected(session_, tool_, host, millIndex_);
    if (!alive)
        return;
    // A job that sent the board nothing did not move the tool: the next real job must start its approach from
    // where the tool really is, not from where the drawing ended.
    if (host.movesSentToBoard() == 0)
        tool_ = before;
    milling_ = false;
    setBusy(false);
    RefreshViews();
    if (result.refused()) {
        showErrorBox(this, QString::fromStdString(result.refusal));
        return;
    }
    emit jobFinished(result.outcome == MillOutcome::Completed ? QStringLiteral("готово")
                     : result.outcome == MillOutcome::Stopped ? QStringLiteral("остановлено")
                                                              : QStringLiteral("прервано"));
    if (closeAfterJob_) {
        QTimer::singleShot(0, parentWidget() ? parentWidget() : this, &QWidget::close);
        return;
    }
    if (result.outcome == MillOutcome::Failed)
        reportMove(host.failure());
}

void WorkWindow::closeEvent(QCloseEvent* event) {
    if (milling_ && !closeAfterJob_ && !motion_.isAborted()) {
        // A milling stops as with "Стоп": after the current "OK", with a lift; then the window closes.
        closeAfterJob_ = true;
        stopRequested_ = true;
        event->ignore();
        return;
    }
    // Anything else waiting on the board ends now; the unload goes on when the command has unwound.
    motion_.abort();
    QWidget::closeEvent(event);
}

void WorkWindow::buildControls() {
    const TwipsPerPixel tpp = TwipsPerPixel::of(this);
    resize(twipsToPixels(designedClientWidth, tpp.x), twipsToPixels(designedClientHeight, tpp.y));

    std::vector<std::pair<int, QWidget*>> tabOrder;
    for (const ControlDesign& d : designs) {
        QWidget* container = d.container ? findChild<QWidget*>(QString::fromUtf8(d.container)) : this;
        QWidget* control = createControl(d, container);
        control->setObjectName(QString::fromUtf8(d.name));
        control->setGeometry(pixelRect({d.left, d.top, d.width, d.height}, tpp));
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

    frame2_ = findChild<QGroupBox*>(QStringLiteral("Frame2"));
    frame1_ = findChild<QGroupBox*>(QStringLiteral("Frame1"));
    tabStrip_ = findChild<TabStrip*>(QStringLiteral("TabStrip1"));
    views_ = {findChild<LayerView*>(QStringLiteral("Pict")), findChild<LayerView*>(QStringLiteral("Pict1")),
              findChild<LayerView*>(QStringLiteral("Pict2")), findChild<LayerView*>(QStringLiteral("Pict3"))};
    tv_ = findChild<QTreeView*>(QStringLiteral("tv"));
    label4_ = findChild<QLabel*>(QStringLiteral("Label4"));
    check1_ = findChild<QCheckBox*>(QStringLiteral("Check1"));
    command3_ = findChild<QPushButton*>(QStringLiteral("Command3"));
    text2_ = findChild<QLineEdit*>(QStringLiteral("Text2"));

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
    connect(tv_, &QTreeView::clicked, this, &WorkWindow::onTreeClicked);
    connect(findChild<QPushButton*>(QStringLiteral("Command1")), &QPushButton::clicked, this,
            &WorkWindow::onParseClicked);
    connect(command3_, &QPushButton::clicked, this, &WorkWindow::onManualMoveClicked);
    connect(findChild<QPushButton*>(QStringLiteral("Command2")), &QPushButton::clicked, this,
            [this] { onMillClicked(Job::Selected); });
    connect(findChild<QPushButton*>(QStringLiteral("Command6")), &QPushButton::clicked, this,
            [this] { onMillClicked(Job::All); });
    connect(findChild<QPushButton*>(QStringLiteral("Command7")), &QPushButton::clicked, this,
            [this] { onMillClicked(Job::Cut3D); });
    connect(findChild<QPushButton*>(QStringLiteral("Command4")), &QPushButton::clicked, this,
            &WorkWindow::onGradientClicked);
    connect(findChild<QPushButton*>(QStringLiteral("Command5")), &QPushButton::clicked, this,
            &WorkWindow::onOffsetClicked);

    auto* digitsOnly = new DigitKeyFilter(this);
    for (const char* box : {"tx", "ty", "tz", "Text2"})
        findChild<QLineEdit*>(QString::fromUtf8(box))->installEventFilter(digitsOnly);

    const auto pump = [] { QCoreApplication::processEvents(); };
    serial_.setEventPump(pump);
    motion_.setEventPump(pump);
}

void WorkWindow::runStartup(const QString& programDir) {
    setWindowTitle(QString::fromStdString(workWindowCaption()));
    config_ = readStartupConfig(programDir.toStdString());

    openPort();

    LoadedImage loaded;
    runShowingBusyCursor([&] { loaded = loadImageFile(config_.imagePath); });
    if (loaded.ok())
        session_.layers = LayerSet::copiesOf(std::move(loaded.layer));
    else
        startupError_ = QString::fromStdString(loaded.error);

    tool_.toolX = 1;
    tool_.toolY = 1;
    refresh(false);
}

void WorkWindow::reportStartupError() {
    if (!startupError_.isEmpty())
        showErrorBox(this, startupError_);
}

QSize WorkWindow::outerSize() const {
    if (auto* sub = qobject_cast<QMdiSubWindow*>(parentWidget()))
        return sub->size();
    return frameGeometry().size();
}

void WorkWindow::RefreshViews() {
    refresh(true);
}

void WorkWindow::refresh(bool dispatchPending) {
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

    if (dispatchPending && !dispatching_) {
        QPointer<WorkWindow> alive(this);
        dispatching_ = true;
        QCoreApplication::processEvents();
        if (!alive)
            return;
        dispatching_ = false;
    }

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
    runShowingBusyCursor([this] { parseImage(session_); });
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
    gradientCommand(session_);
    RefreshViews();
}

void WorkWindow::onOffsetClicked() {
    if (busy_)
        return;
    offsetCommand(session_);
    RefreshViews();
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
    refresh(false);
}

void WorkWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    refresh(false);
}

void WorkWindow::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow())
        refresh(false);
}

} // namespace zelmar
