#include "jog_pad.h"

#include <QKeyEvent>
#include <QLabel>
#include <QVBoxLayout>

namespace zelmar {

namespace {

struct KeyJog {
    char axis = 0;
    int direction = 0;
};

KeyJog jogOf(int key) {
    switch (key) {
    case Qt::Key_Right: return {'X', 1};
    case Qt::Key_Left: return {'X', -1};
    case Qt::Key_Up: return {'Y', 1};
    case Qt::Key_Down: return {'Y', -1};
    case Qt::Key_PageUp: return {'Z', 1};
    case Qt::Key_PageDown: return {'Z', -1};
    default: return {};
    }
}

} // namespace

JogPad::JogPad(QWidget* parent) : QFrame(parent) {
    setObjectName(QStringLiteral("jogPad"));
    setFocusPolicy(Qt::StrongFocus);
    setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    auto* caption = new QLabel(QStringLiteral("Клавиатурный толчок: щёлкните здесь и держите ← → (X), ↑ ↓ (Y), "
                                              "PgUp PgDn (Z)"),
                               this);
    caption->setWordWrap(true);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(caption);
}

void JogPad::keyPressEvent(QKeyEvent* event) {
    const KeyJog jog = jogOf(event->key());
    if (!jog.axis || !controller_)
        return QFrame::keyPressEvent(event);
    event->accept();
    if (event->isAutoRepeat()) {
        // The key is still down: the held jog's lease goes on.
        if (event->key() == heldKey_)
            controller_->holdJog(jog.axis, jog.direction);
        return;
    }
    if (heldKey_)
        return;
    const JobController::SetupRefusal refusal = controller_->holdJog(jog.axis, jog.direction);
    if (refusal == JobController::SetupRefusal::None)
        heldKey_ = event->key();
    else
        emit refused(refusal);
}

void JogPad::keyReleaseEvent(QKeyEvent* event) {
    if (!jogOf(event->key()).axis)
        return QFrame::keyReleaseEvent(event);
    event->accept();
    if (!event->isAutoRepeat() && event->key() == heldKey_)
        stop();
}

void JogPad::focusInEvent(QFocusEvent* event) {
    QFrame::focusInEvent(event);
    setFrameStyle(QFrame::Box | QFrame::Plain);
    setLineWidth(2);
}

void JogPad::focusOutEvent(QFocusEvent* event) {
    stop();
    setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    setLineWidth(1);
    QFrame::focusOutEvent(event);
}

void JogPad::hideEvent(QHideEvent* event) {
    stop();
    QFrame::hideEvent(event);
}

void JogPad::stop() {
    if (!heldKey_)
        return;
    heldKey_ = 0;
    if (controller_)
        controller_->cancelJog();
}

} // namespace zelmar
