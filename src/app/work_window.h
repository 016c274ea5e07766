#pragma once
// Form1, the work window: the four views, the command panel and the tree. Loading it runs the start-up
// sequence; destroying it is the shutdown. Its jobs run on the shared runner: a click starts one and returns,
// and the window stays live while the moves go out.

#include "config/startup_config.h"
#include "image/image_session.h"
#include "job/job_controller.h"
#include "height_map_choice.h"
#include "job_exports.h"
#include "mill/tool_position.h"

#include <QLineEdit>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <array>
#include <memory>
#include <vector>

class QCheckBox;
class QGroupBox;
class QLabel;
class QMessageBox;
class QPushButton;
class QTreeView;

namespace zelmar {

class JobQuestions;
class LayerView;
class RegionTreeModel;
class TabStrip;

class WorkWindow : public QWidget {
    Q_OBJECT
public:
    // locations: where cnc.ini is looked for; tool outlives the window (toolZ survives a reload). The journal of a
    // job on the machine is kept in journalDir.
    WorkWindow(const ConfigLocations& locations, ToolPosition& tool, const QString& journalDir,
               QWidget* parent = nullptr);
    ~WorkWindow() override;

    // Lays the window out for its size and redraws what changed in the layers.
    void RefreshViews();

    const StartupConfig& config() const { return controller_.config(); }
    // Empty when the image loaded; otherwise the text of the "Ошибка" box.
    const QString& startupError() const { return startupError_; }
    // Shows the start-up error, if any, once the window is on screen; then offers to continue a journalled job.
    void reportStartupError();

    JobController& controller() { return controller_; }
    // The steps-per-pixel box's text: the scale of the picture on the stock.
    std::string stepsText() const { return text2_->text().toStdString(); }
    // True while a command that talks to the board runs or a job is paused; the work buttons are disabled.
    bool isBusy() const { return controller_.isBusy(); }
    // "Стоп": the running milling ends after the current move's "OK", with one lift; the job is kept.
    void requestStop() { controller_.stop(); }
    // "Пауза", and "Продолжить" for a paused, stopped or failed job.
    void requestPause() { controller_.pause(); }
    void requestContinue() { controller_.resume(); }

    // "Очистить слой «Фреза»": the mill layer as the picture was loaded, without the marks of earlier millings
    // (a dry run's too), which read as full depth under the old rule. A kept job is forgotten.
    void restoreMillLayer();
    // "Сохранить G-код…": with a region selected, asks whether to write only that one; then asks where.
    void saveGcode() { exports_->saveGcode(); }
    // "Предпросмотр 3D…": what the job under way has cut so far, growing; without one, the carving "Все" would
    // leave. Shaded beside the window.
    void showPreview() { exports_->showPreview(); }
    // "Станок" → "Карта высот…", "Забыть карту высот": the probed surface the G-code file follows.
    void loadHeightMap() { heightMaps_->load(); }
    void forgetHeightMap() { heightMaps_->forget(); }

signals:
    // How the job ended, in the status bar's words.
    void jobFinished(const QString& outcome);
    // What the status bar's buttons may do now: 0 nothing, 1 pause, 2 continue; and whether "Стоп" may.
    void jobControls(int control, bool canStop);
    // A controller that reports its own state (grbl): the state and the machine position, for the status bar;
    // empty for our board.
    void machineStatus(const QString& text);
    // Closing was asked for while a job ran, and the operator said "Нет": the window and the job stay.
    void closeCalledOff();

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildControls();
    void connectController();
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
    void onGradientClicked();
    void onOffsetClicked();
    void showNewTree();
    void showSelection();
    void onJobFinished(JobRunner::Outcome outcome);
    void onStateChanged(JobState state);
    // grbl in alarm: the meaning of its code, and the question whether to unlock it ("$X").
    void showMachineStatus();
    // Enables what the job's state and the line allow.
    void updateControls();
    void showLinkState();
    // Closing while a job runs: "Да" stops it as "Стоп" does, and the window closes once it has ended.
    void askToStopAndClose();

    ToolPosition& tool_;
    ImageSession session_;
    JobController controller_;
    std::unique_ptr<JobExports> exports_;
    std::unique_ptr<JobQuestions> questions_;
    std::unique_ptr<HeightMapChoice> heightMaps_;
    QPointer<QMessageBox> closeBox_;
    bool closeAfterJob_ = false;
    QString startupError_;
    QTimer refreshTimer_;

    RegionTreeModel* treeModel_ = nullptr;
    QGroupBox* frame2_ = nullptr;
    QGroupBox* frame1_ = nullptr;
    TabStrip* tabStrip_ = nullptr;
    std::array<LayerView*, 4> views_{};
    QTreeView* tv_ = nullptr;
    QLabel* label4_ = nullptr;
    QLabel* toolLabel_ = nullptr;
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
