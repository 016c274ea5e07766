#pragma once
// MDIForm1: the frame that holds the work window and the one menu item that (re)opens it.

#include "mill/tool_position.h"
#include "work_window.h"

#include <QMainWindow>
#include <QPointer>

class QAction;
class QMdiArea;
class QMdiSubWindow;

namespace zelmar {

class MainFrame : public QMainWindow {
    Q_OBJECT
public:
    explicit MainFrame(const QString& programDir, QWidget* parent = nullptr);

    // Where the work window keeps the journal of a job on the machine (the user's data folder unless set).
    void setJournalFolder(const QString& folder) { journalFolder_ = folder; }

    // "Фрезеровка": loads the work window when it is not loaded (the whole start-up runs), then focuses it.
    void openWorkWindow();

    ~MainFrame() override;
    WorkWindow* workWindow() const { return workWindow_; }
    QAction* millAction() const { return millAction_; }
    QMdiArea* mdiArea() const { return mdiArea_; }
    class JobStatus* jobStatus() const {
        return jobStatus_;
    }

protected:
    // Closing the program closes the work window first: a running job stops (after its current move, with a
    // lift) before the program ends.
    void closeEvent(QCloseEvent* event) override;

private:
    QString programDir_;
    QString journalFolder_;
    bool closeWhenWorkWindowGone_ = false;
    ToolPosition tool_; // lives with the program: toolZ is not reset when the work window reloads
    QMdiArea* mdiArea_;
    QAction* millAction_;
    class JobStatus* jobStatus_;
    QPointer<WorkWindow> workWindow_;
    QPointer<QMdiSubWindow> subWindow_;
};

} // namespace zelmar
