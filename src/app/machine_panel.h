#pragma once
// "Станок" → "Пульт станка": the machine's set-up on grbl beside the work window. The menu's items (homing, the
// unlock, the work zero, the way back to it, the probe) start here too; the panel shows where grbl's reports put
// the machine and the work, jogs by typed millimetres or by held keys, and turns the feed and spindle overrides.
// Everything goes through the work window's controller; refusals and failures come up in the error box.

#include "job/job_controller.h"

#include <QList>
#include <QPointer>
#include <QWidget>

#include <array>

class QLabel;
class QLineEdit;

namespace zelmar {

class JogPad;

class MachinePanel : public QWidget {
    Q_OBJECT
public:
    explicit MachinePanel(QWidget* parent = nullptr);

    // The work window's controller, or none while the work window is closed.
    void setController(JobController* controller);
    // Starts a set-up operation; a refusal is shown in Russian.
    void run(const Operation& operation);
    // "Переместить": the jog by the three typed offsets.
    void jogByTyped();
    void overrideFeed(GrblOverride o);
    void overrideSpindle(GrblOverride o);

private:
    void showCoordinates();
    void showRefusal(Operation::Kind kind, JobController::SetupRefusal refusal);
    void showError(const QString& text);

    QPointer<JobController> controller_;
    QList<QMetaObject::Connection> connections_;
    QLabel* coordinates_;
    QLabel* result_;
    std::array<QLineEdit*, 3> offsets_{};
    JogPad* pad_;
};

} // namespace zelmar
