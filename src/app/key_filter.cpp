#include "key_filter.h"

#include <QKeyEvent>
#include <QLineEdit>

namespace zelmar {

bool keyFilterAccepts(const QString& currentText, QChar typed) {
    const bool candidate =
        (typed >= QLatin1Char('0') && typed <= QLatin1Char('9')) || typed == QLatin1Char('\b');
    return candidate && currentText.size() <= 4;
}

bool DigitKeyFilter::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress)
        return false;
    auto* box = qobject_cast<QLineEdit*>(watched);
    const auto* key = static_cast<QKeyEvent*>(event);
    // Focus keys belong to the window, not to the box.
    if (!box || key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab)
        return false;
    // Delete keeps its effect: it types nothing, though X11 hands it over with the text "\x7f". Without it a
    // full box could not be emptied by keys at all.
    if (key->key() == Qt::Key_Delete)
        return false;
    // Ctrl+Backspace types a control code of its own, not a backspace: discarded like every other one.
    if (key->key() == Qt::Key_Backspace && key->modifiers().testFlag(Qt::ControlModifier))
        return true;
    const QString typed = key->key() == Qt::Key_Backspace ? QStringLiteral("\b") : key->text();
    if (typed.isEmpty())
        return false; // types nothing: arrows, Home, End keep their effect
    // Several characters at once (an input method) pass only if each would.
    QString text = box->text();
    for (QChar c : typed) {
        if (!keyFilterAccepts(text, c))
            return true;
        text += c;
    }
    return false;
}

} // namespace zelmar
