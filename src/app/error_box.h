#pragma once

#include <QString>

class QWidget;

namespace zelmar {

// The one way the operator sees an error: title "Ошибка", an OK button, no icon. Lines of the text are joined
// by CR LF, which the box shows as line breaks.
void showErrorBox(QWidget* parent, const QString& text);

} // namespace zelmar
