#pragma once
// Closes the next modal message box once it is up, and keeps what it said: a click that opens a box does not
// return until the box is closed.

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QTimer>

namespace zelmar::testing {

struct BoxCatcher {
    QString title;
    QString text;
    bool hadIcon = false;
    int seen = 0;
    int tries = 0;
    QElapsedTimer armedFor;
    QObject guard;

    void arm() {
        if (tries == 0)
            armedFor.start();
        // Tied to guard: a catcher that goes out of scope stops looking.
        QTimer::singleShot(tries < 1000 ? 0 : 5, &guard, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box) {
                // Not up yet: look again on the next pass, for up to a minute (a sanitized build under load
                // is slow to get to its box).
                ++tries;
                if (armedFor.elapsed() < 60000)
                    arm();
                return;
            }
            title = box->windowTitle();
            text = box->text();
            hadIcon = box->icon() != QMessageBox::NoIcon;
            ++seen;
            tries = 0; // the next arm() looks for a minute again
            box->accept();
        });
    }
};

// Answers the question box that is up now ("Да" or "Нет") and returns its text; empty when none is up.
inline QString answerQuestionNow(bool yes) {
    QMessageBox* box = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->isVisible() && w->objectName() == QStringLiteral("questionBox"))
            box = qobject_cast<QMessageBox*>(w);
    if (!box)
        return {};
    const QString text = box->text();
    for (QAbstractButton* b : box->buttons())
        if (b->text() == (yes ? QStringLiteral("Да") : QStringLiteral("Нет")))
            b->click();
    return text;
}

} // namespace zelmar::testing
