#pragma once
// The work window's controls as they were designed: their names, kinds, captions, places in twips and keyboard
// order. The names stay those of the design (Command1, Text2, Check1, tx, ...): tests and the guide use them.

#include <QHash>
#include <QString>

class QWidget;

namespace zelmar {

// Makes every designed control inside `form` at its designed place for the screen's twips, sizes `form` to its
// designed client area, sets the keyboard order, and returns the controls by name.
QHash<QString, QWidget*> buildDesignedControls(QWidget* form);

} // namespace zelmar
