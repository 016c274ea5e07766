#pragma once
// Closes the next modal message box once it is up, and keeps what it said: a click that opens a box does not
// return until the box is closed.

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

namespace zelmar::testing {

struct BoxCatcher {
    QString title;
    QString text;
    bool hadIcon = false;
    int seen = 0;
    int tries = 0;

    void arm() {
        QTimer::singleShot(0, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box) {
                if (++tries < 10000)
                    arm(); // not up yet: look again on the next pass
                return;
            }
            title = box->windowTitle();
            text = box->text();
            hadIcon = box->icon() != QMessageBox::NoIcon;
            ++seen;
            box->accept();
        });
    }
};

} // namespace zelmar::testing
