#pragma once
// MDIForm1: the frame that holds the work window and the one menu item that (re)opens it.

#include "mill/tool_position.h"
#include "config/startup_config.h"
#include "work_window.h"

#include <QMainWindow>
#include <QPointer>

#include <array>

class QAction;
class QMenu;
class QLabel;
class QMdiArea;
class QMdiSubWindow;

namespace zelmar {

class MainFrame : public QMainWindow {
    Q_OBJECT
public:
    // Where the work window looks for cnc.ini each time it loads.
    explicit MainFrame(ConfigLocations locations, QWidget* parent = nullptr);
    // cnc.ini in the program's folder only, as a portable copy (and most tests) use it.
    explicit MainFrame(const QString& programDir, QWidget* parent = nullptr);

    // Where the work window keeps the journal of a job on the machine (the user's data folder unless set).
    void setJournalFolder(const QString& folder) { journalFolder_ = folder; }

    // "Фрезеровка": loads the work window when it is not loaded (the whole start-up runs), then focuses it.
    void openWorkWindow();

    ~MainFrame() override;
    WorkWindow* workWindow() const { return workWindow_; }
    QAction* millAction() const { return millAction_; }
    QAction* saveGcodeAction() const { return saveGcodeAction_; }
    QAction* restoreMillAction() const { return restoreMillAction_; }
    QAction* previewAction() const { return previewAction_; }
    QAction* heightMapAction() const { return heightMapAction_; }
    QAction* forgetHeightMapAction() const { return forgetHeightMapAction_; }
    // "Станок" → "Пульт станка" (checkable: shows the panel) and the set-up's items, by objectName.
    class MachinePanel* machinePanel() const { return machinePanel_; }
    QAction* machineAction(const QString& objectName) const;
    QMdiArea* mdiArea() const { return mdiArea_; }
    class JobStatus* jobStatus() const {
        return jobStatus_;
    }
    // Left of the job's status: where cnc.ini was just created, or why it could not be; hidden otherwise.
    QLabel* configNote() const { return configNote_; }
    // grbl's state and machine position; hidden with our board.
    QLabel* machineStatus() const { return machineStatus_; }

protected:
    // Closing the program closes the work window first: a running job, once the operator agrees, stops (after
    // its current move, with a lift) before the program ends.
    void closeEvent(QCloseEvent* event) override;

private:
    ConfigLocations locations_;
    QString journalFolder_;
    bool closeWhenWorkWindowGone_ = false;
    ToolPosition tool_; // lives with the program: toolZ is not reset when the work window reloads
    QMdiArea* mdiArea_;
    QAction* millAction_;
    QAction* saveGcodeAction_;
    QAction* restoreMillAction_;
    QAction* heightMapAction_;
    QAction* forgetHeightMapAction_;
    // The items that need the work window's picture.
    std::array<QAction*, 5> workActions() const {
        return {saveGcodeAction_, previewAction_, restoreMillAction_, heightMapAction_, forgetHeightMapAction_};
    }
    QAction* previewAction_;
    class JobStatus* jobStatus_;
    QLabel* configNote_;
    QLabel* machineStatus_;
    // The set-up's items beside the menu "Станок"; they need the work window's controller.
    void addMachineItems(QMenu* menu);
    void enableWorkItems(bool enabled);
    class MachinePanel* machinePanel_ = nullptr;
    class QDockWidget* machineDock_ = nullptr;
    QList<QAction*> machineActions_;
    QPointer<WorkWindow> workWindow_;
    QPointer<QMdiSubWindow> subWindow_;
};

} // namespace zelmar
