#pragma once
// Form1, the work window: the four views, the command panel and the tree. Loading it runs the start-up
// sequence; destroying it is the shutdown.

#include "image/image_session.h"
#include "link/motion_link.h"
#include "link/serial_port.h"
#include "mill/cut3d.h"
#include "mill/mill_commands.h"
#include "mill/tool_position.h"
#include "startup_config.h"

#include <QPointer>
#include <QWidget>

#include <array>

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTreeView;

namespace zelmar {

class LayerView;
class TabStrip;

class WorkWindow : public QWidget {
    Q_OBJECT
public:
    // locations: where cnc.ini is looked for; tool outlives the window (toolZ survives a reload).
    WorkWindow(const ConfigLocations& locations, ToolPosition& tool, QWidget* parent = nullptr);
    ~WorkWindow() override;

    // Lays the window out for its size and redraws what changed in the layers. Called by every operation that
    // changes a layer; it lets pending window events run before drawing, as the window does everywhere.
    void RefreshViews();

    LayerSet& layers() { return session_.layers; }
    const LayerSet& layers() const { return session_.layers; }
    const ImageSession& session() const { return session_; }
    const ToolPosition& tool() const { return tool_; }
    const StartupConfig& config() const { return config_; }
    // Empty when the image loaded; otherwise the text of the "Ошибка" box.
    const QString& startupError() const { return startupError_; }
    // Shows the start-up error, if any, once the window is on screen.
    void reportStartupError();

    LayerView* view(int index) const { return views_.at(static_cast<std::size_t>(index)); }
    TabStrip* tabStrip() const { return tabStrip_; }
    int portHandle() const { return portHandle_; }
    MotionLink& motion() { return motion_; }
    SerialPort& serialPort() { return serial_; }
    // True while a command that talks to the board runs; its buttons are disabled meanwhile.
    bool isBusy() const { return busy_; }
    bool isMilling() const { return milling_; }
    // "Стоп": the running milling ends after the current move's "OK", with one lift.
    void requestStop() { stopRequested_ = milling_; }
    // A dry run pauses 1 ms a step, as the operator watches it; tests and benchmarks may turn that off.
    void setDryPauseMs(int ms) { dryPauseMs_ = ms; }

signals:
    void jobBegun();
    void jobStarted(qint64 totalMoves);
    // Where the board stands after the moves it acknowledged: pixel column and row, depth below the surface.
    void jobProgress(qint64 movesDone, int regionId, int x, int y, int z);
    void jobFinished(const QString& outcome);
    void jobPass(int pass);

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void buildControls();
    void runStartup(const ConfigLocations& locations);
    // dispatchPending is false inside the window's own resize, show and activation handlers, where running
    // the event loop again would re-enter them.
    void refresh(bool dispatchPending);
    QSize outerSize() const;
    void onTabClicked(int selectedIndex);
    void onParseClicked();
    void onTreeClicked();
    void onManualMoveClicked();
    enum class Job { Selected, All, Cut3D };
    void onMillClicked(Job job);
    void onGradientClicked();
    void onOffsetClicked();
    void showNewTree();
    friend class WindowMillingHost;
    // Shows a failed or refused move; nothing when the window is closing.
    void reportMove(const MoveResult& result);
    void openPort();
    // Disables what sends or changes work while a command runs; enables what the port state allows after.
    void setBusy(bool busy);
    void updateLinkControls();

    ToolPosition& tool_;
    StartupConfig config_;
    ImageSession session_;
    SerialPort serial_;
    MotionLink motion_{serial_};
    int portHandle_ = SerialPort::cannotOpen;
    bool busy_ = false;
    bool milling_ = false;
    bool stopRequested_ = false;
    bool closeAfterJob_ = false;
    int dryPauseMs_ = 1;
    MillIndexCache millIndex_;
    class RegionTreeModel* treeModel_ = nullptr;
    QString startupError_;
    bool dispatching_ = false;

    QGroupBox* frame2_ = nullptr;
    QGroupBox* frame1_ = nullptr;
    TabStrip* tabStrip_ = nullptr;
    std::array<LayerView*, 4> views_{};
    QTreeView* tv_ = nullptr;
    QLabel* label4_ = nullptr;
    QCheckBox* check1_ = nullptr;
    QPushButton* command3_ = nullptr;
    QLineEdit* text2_ = nullptr;
};

} // namespace zelmar
