#pragma once
// The frame's status bar while a milling runs: moves done of the job's total, the region being milled, where
// the tool stands, time spent and time left, "Пауза" (reading "Продолжить" while a job waits to be continued)
// and "Стоп" (also the Esc key).

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
    void start(std::int64_t totalMoves);
    // Cheap enough for every move: the labels are rewritten at most a few times a second.
    void progress(std::int64_t movesDone, std::int32_t regionId, std::int32_t x, std::int32_t y,
                  std::int32_t z);
    void finish(const QString& outcome);
    // "Резать 3D" runs in passes; 0 for a job without passes.
    void setPass(int pass);
    // Before a job on the machine sends its first command: its commands and their time on the line (the
    // protocol's pauses and the bytes; the machine's own motion shows once the first commands are done). A
    // negative count: the commands are being counted.
    void setEstimate(std::int64_t commands, double lineMs);
    void commandsDone(std::int64_t commands);

    // What the two buttons offer: pause while a job runs, continue while one is paused or kept.
    enum class Control { None, CanPause, CanContinue };
    void setControl(Control control, bool canStop);
    // A controller whose pause is its own feed hold (grbl): the machine stops where it is, with no lift.
    void setPauseIsFeedHold(bool feedHold) { feedHold_ = feedHold; }

    QPushButton* stopButton() const { return stop_; }
    QPushButton* pauseButton() const { return pause_; }
    std::int64_t movesDone() const { return done_; }

signals:
    void stopClicked();
    void pauseClicked();
    void continueClicked();

private:
    void show(bool force);

    QProgressBar* bar_;
    QLabel* region_;
    QLabel* tool_;
    QLabel* time_;
    QPushButton* pause_;
    QPushButton* stop_;
    Control control_ = Control::None;
    bool feedHold_ = false;
    QElapsedTimer elapsed_;
    QElapsedTimer sinceStart_;
    QElapsedTimer sinceShown_;
    // A change held back by the rate limit is shown when it runs out: the last move's figures never go stale.
    QTimer* lateShow_;
    std::int64_t total_ = 0;
    std::int64_t done_ = 0;
    std::int64_t commandsTotal_ = 0; // 0: no estimate (a dry run)
    std::int64_t commandsDone_ = 0;
    double estimatedMs_ = 0;
    QElapsedTimer sinceFirstCommand_;
    std::int32_t regionId_ = 0;
    int pass_ = 0;
    std::int32_t x_ = 0, y_ = 0, z_ = 0;
};

} // namespace zelmar
