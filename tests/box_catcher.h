#pragma once
// Closes the next modal message box once it is up, and keeps what it said: a click that opens a box does not
// return until the box is closed.

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

} // namespace zelmar::testing
