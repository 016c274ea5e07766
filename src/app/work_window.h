#pragma once
// Form1, the work window: the four views, the command panel and the tree. Loading it runs the start-up
// sequence; destroying it is the shutdown. Its jobs run on the shared runner: a click starts one and returns,
// and the window stays live while the moves go out.

#include "image/image_session.h"
#include "link/board_link.h"
#include "link/grbl_link.h"
#include "link/job_journal.h"
#include "link/job_runner.h"
#include "link/serial_line.h"
#include "mill/job_simulation.h"
#include "mill/mill_job.h"
#include "mill/operations.h"
#include "mill/tool_position.h"
#include "startup_config.h"

#include <QFutureWatcher>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <array>
#include <memory>
#include <vector>

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMessageBox;
class QPushButton;
class QTreeView;

namespace zelmar {

class LayerView;
class RegionTreeModel;
class TabStrip;

class WorkWindow : public QWidget, private JobEvents {
    Q_OBJECT
public:
    // locations: where cnc.ini is looked for; tool outlives the window (toolZ survives a reload). The journal of a
    // job on the machine is kept in journalDir.
    WorkWindow(const ConfigLocations& locations, ToolPosition& tool, const QString& journalDir,
               QWidget* parent = nullptr);
    ~WorkWindow() override;

    // Lays the window out for its size and redraws what changed in the layers.
    void RefreshViews();

    LayerSet& layers() { return session_.layers; }
    const LayerSet& layers() const { return session_.layers; }
    const ImageSession& session() const { return session_; }
    const ToolPosition& tool() const { return tool_; }
    const StartupConfig& config() const { return config_; }
    // Empty when the image loaded; otherwise the text of the "Ошибка" box.
    const QString& startupError() const { return startupError_; }
    // Shows the start-up error, if any, once the window is on screen; then offers to continue a journalled job.
    void reportStartupError();

    LayerView* view(int index) const { return views_.at(static_cast<std::size_t>(index)); }
    TabStrip* tabStrip() const { return tabStrip_; }
    SerialLine& serialLine() { return line_; }
    BoardLink& boardLink() { return link_; }
    // The grbl controller's link, when cnc.ini says Controller=grbl; nullptr otherwise.
    GrblLink* grblLink() const { return grbl_.get(); }
    // The link jobs go through: our board's, or grbl's.
    MachineLink& machineLink() { return grbl_ ? static_cast<MachineLink&>(*grbl_) : link_; }
    JobRunner& runner() { return runner_; }
    // True while a command that talks to the board runs or a job is paused; the work buttons are disabled.
    bool isBusy() const { return busy_; }
    bool isMilling() const { return millingJob_ && runner_.isRunning() && !manualRunning_; }
    // "Стоп": the running milling ends after the current move's "OK", with one lift; the job is kept.
    void requestStop();
    // "Пауза", and "Продолжить" for a paused, stopped or failed job.
    void requestPause();
    void requestContinue();
    // A dry run pauses 1 ms a step, as the operator watches it; tests and benchmarks may turn that off.
    void setDryPauseMs(int ms) { runner_.setDryPauseMs(ms); }
    QString journalPath() const;
    // What ran since the picture was loaded, as operation words (a job's words carry how far it went).
    const std::vector<Operation>& history() const { return history_; }

    // "Сохранить G-код…": with a region selected, asks whether to write only that one; then asks where.
    void saveGcode();
    // Writes the G-code of what "Все" (or, for Selected, "Выделенная") would send now, from a copy of the
    // work: nothing of the program changes. Empty on success, else what went wrong, for the operator.
    QString writeGcodeFile(const QString& path, MillKind kind);
    // True while the count of a job's commands is worked out before it starts.
    bool isEstimating() const { return pendingJob_ != nullptr; }

signals:
    void jobBegun();
    void jobStarted(qint64 totalMoves);
    // Where the board stands after the moves it acknowledged: pixel column and row, depth below the surface.
    void jobProgress(qint64 movesDone, int regionId, int x, int y, int z);
    void jobFinished(const QString& outcome);
    void jobPass(int pass);
    // What the status bar's buttons may do now: 0 nothing, 1 pause, 2 continue; and whether "Стоп" may.
    void jobControls(int control, bool canStop);
    // A job on the machine: its commands and their time on the line, before the first one goes; then the
    // commands done.
    void jobEstimate(qint64 commands, double lineMs);
    void jobCommandsDone(qint64 commands);
    // A controller that reports its own state (grbl): the state and the machine position, for the status bar;
    // empty for our board.
    void machineStatus(const QString& text);

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The job's stages, as the runner reaches them.
    void millingStarts(std::int64_t totalMoves) override;
    void regionStarts(std::int32_t regionId) override;
    void passStarts(int pass) override;
    void workChanged(bool treeRebuilt) override;

    void buildControls();
    void runStartup(const ConfigLocations& locations);
    void refresh();
    void scheduleRefresh();
    QSize outerSize() const;
    void onTabClicked(int selectedIndex);
    void onParseClicked();
    void onTreeClicked();
    void onCurrentNodeChanged();
    void onManualMoveClicked();
    void onMillClicked(MillKind kind);
    // Counts the job's commands on a copy of the work, away from the window's thread, then starts it.
    void startAfterEstimate(std::unique_ptr<MillJob> job, MillKind kind);
    void startPendingJob();
    void onGradientClicked();
    void onOffsetClicked();
    void showNewTree();
    void onMoveDone();
    void onJobEnded(JobRunner::Outcome outcome);
    void onPhaseChanged();
    void askAboutOpenMove();
    void openPort();
    void onGrblConnected();
    void onGrblNotConnected();
    void onGrblAlarm();
    // grbl in alarm: the meaning of its code, and the question whether to unlock it ("$X").
    void askAboutAlarm(const std::string& text);
    void showMachineStatus();
    bool linkReady() const;
    // Disables what sends or changes work while a command runs; enables what the port state allows after.
    void setBusy(bool busy);
    void updateLinkControls();
    void emitProgress();

    // Journal of the job on the machine: made when the job first sends, gone when it completes or is dropped.
    JournalWriter* openJournal(std::int64_t movesDone);
    void forgetKeptJob();
    void removeJournal();
    void recordJobInHistory();
    std::string imageFileHash();
    void offerJournalledJob();
    bool takeUpJournalledJob(const JournalReading& reading);

    ToolPosition& tool_;
    QString journalDir_;
    StartupConfig config_;
    ImageSession session_;
    SerialLine line_;
    BoardLink link_{line_};
    std::unique_ptr<GrblLink> grbl_;
    bool continueWhenConnected_ = false;
    QPointer<QMessageBox> alarmBox_;
    JobRunner runner_;
    MillIndexCache millIndex_;
    MillJob* millingJob_ = nullptr; // the runner's job while it is a milling
    bool manualRunning_ = false;
    bool busy_ = false;
    bool closeAfterJob_ = false;
    bool tickedAtEnd_ = false;
    std::int64_t sentBefore_ = 0; // moves a job taken up from its journal had sent before // "Фрезеровать" when the job last ended: a lost line reopens for it
    ToolPosition toolBefore_;
    std::vector<Operation> history_;
    std::int64_t jobEntry_ = -1; // the job's place in history_
    std::vector<Operation> jobOperations_;
    std::string stepsAtStart_;
    std::string millHashAtStart_;
    std::string imageHash_;
    std::unique_ptr<JournalWriter> journal_;
    QPointer<QMessageBox> questionBox_;
    std::unique_ptr<MillJob> pendingJob_; // waits for its estimate
    QFutureWatcher<JobCount> estimate_;
    QString startupError_;
    QTimer refreshTimer_;

    RegionTreeModel* treeModel_ = nullptr;
    QGroupBox* frame2_ = nullptr;
    QGroupBox* frame1_ = nullptr;
    TabStrip* tabStrip_ = nullptr;
    std::array<LayerView*, 4> views_{};
    QTreeView* tv_ = nullptr;
    QLabel* label4_ = nullptr;
    QCheckBox* check1_ = nullptr;
    QPushButton* command1_ = nullptr; // "Разобрать"
    QPushButton* command2_ = nullptr; // "Выделенная"
    QPushButton* command3_ = nullptr; // "Ручная уст-ка"
    QPushButton* command4_ = nullptr; // "Градиент"
    QPushButton* command5_ = nullptr; // "Отступить"
    QPushButton* command6_ = nullptr; // "Все"
    QPushButton* command7_ = nullptr; // "Резать 3D"
    QLineEdit* text2_ = nullptr;
    QLineEdit* tx_ = nullptr;
    QLineEdit* ty_ = nullptr;
    QLineEdit* tz_ = nullptr;
};

} // namespace zelmar
