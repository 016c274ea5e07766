#pragma once
// The keyboard jog of "Пульт станка": while this field has the focus, ← → move X, ↑ ↓ Y and PgUp PgDn Z for as
// long as the key is held. Elsewhere the keys keep their usual effect. One key at a time; a release, the focus
// leaving or the field hiding cancel the jog.

#include "job/job_controller.h"

#include <QFrame>
#include <QPointer>

namespace zelmar {

class JogPad : public QFrame {
    Q_OBJECT
public:
    explicit JogPad(QWidget* parent = nullptr);
    void setController(JobController* controller) { controller_ = controller; }

signals:
    // The controller refused the jog a key started.
    void refused(zelmar::JobController::SetupRefusal refusal);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void stop();

    QPointer<JobController> controller_;
    int heldKey_ = 0;
};

} // namespace zelmar
