#pragma once
// The filter of the four number boxes (tx, ty, tz and the steps per pixel): digits and backspace only, and
// only while the box holds at most four characters. Keys that type nothing (Delete, arrows, Tab) pass.

#include <QObject>
#include <QString>

namespace zelmar {

// Whether a typed character (backspace is '\b') may reach a box that holds currentText.
bool keyFilterAccepts(const QString& currentText, QChar typed);

class DigitKeyFilter : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};

} // namespace zelmar
