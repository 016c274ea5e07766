#pragma once
// A push button whose caption wraps onto a second line when it does not fit, as the designed buttons expect
// ("Ручная уст-ка" stands on two lines in its 53-pixel-wide button).

#include <QPushButton>

namespace zelmar {

class CaptionButton : public QPushButton {
public:
    CaptionButton(const QString& caption, QWidget* parent) : QPushButton(caption, parent) {}

protected:
    void paintEvent(QPaintEvent* event) override;
};

} // namespace zelmar
