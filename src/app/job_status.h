#pragma once
// The frame's status bar while a milling runs: moves done of the job's total, the region being milled, where
// the tool stands, time spent and time left, the job's estimate (which stays until the next job), grbl's state,
// "Пауза" (reading "Продолжить" while a job waits to be continued) and "Стоп" (also the Esc key). Two rows, so
// that every field shows whole at the window's designed width.

#include "job/job_controller.h"

#include <QElapsedTimer>
#include <QWidget>

#include <cstdint>

class QLabel;
class QTimer;
class QProgressBar;
class QPushButton;

namespace zelmar {

class JobStatus : public QWidget {
    Q_OBJECT
public:
    explicit JobStatus(QWidget* parent = nullptr);

    // A job begins: the clock starts. Its millings (one, or one a pass of "Резать 3D") each start with their
    // own total of moves.
    void begin();
    // No job: the fields as a status bar that has shown none (a work window loaded anew starts from here).
    void clear();
    void start(std::int64_t totalMoves);
    // Cheap enough for every move: the labels are rewritten at most a few times a second.
    void progress(const JobProgress& progress);
    void finish(const QString& outcome);
    // "Резать 3D" runs in passes; 0 for a job without passes.
    void setPass(int pass);
    // Before a job on the machine sends its first command: its commands and their time on the line (the
    // protocol's pauses and the bytes). A negative count: the commands are being counted.
    void setEstimate(std::int64_t commands, double lineMs);

    // What the two buttons offer: pause while a job runs, continue while one is paused or kept. A job that can
    // be paused runs: whatever ended it before ("Стоп", a fault) no longer stands in the time field.
    enum class Control { None, CanPause, CanContinue };
    void setControl(Control control, bool canStop);
    // A controller whose pause is its own feed hold (grbl): the machine stops where it is, with no lift.
    void setPauseIsFeedHold(bool feedHold) { feedHold_ = feedHold; }

    QPushButton* stopButton() const { return stop_; }
    QPushButton* pauseButton() const { return pause_; }
    // grbl's state and machine position; hidden with our board.
    QLabel* machineLabel() const { return machine_; }
    std::int64_t movesDone() const { return figures_.movesDone; }

signals:
    void stopClicked();
    void pauseClicked();
    void continueClicked();

private:
    void show(bool force);

    QProgressBar* bar_;
    QLabel* region_;
    QLabel* tool_;
    QLabel* machine_;
    QLabel* time_;
    QLabel* estimate_;
    QPushButton* pause_;
    QPushButton* stop_;
    Control control_ = Control::None;
    bool feedHold_ = false;
    QElapsedTimer elapsed_;
    QElapsedTimer sinceShown_;
    // A change held back by the rate limit is shown when it runs out: the last move's figures never go stale.
    QTimer* lateShow_;
    JobProgress figures_;
    int pass_ = 0;
    QString outcome_; // once the job has ended
};

} // namespace zelmar
