#pragma once
// The message boxes the operator sees: title "Ошибка", an OK button, no icon; and the one question a job asks.
// Lines of the text are joined by CR LF, which the box shows as line breaks. Boxes are modal but never run an
// event loop of their own: the call returns at once and the program goes on behind the box.

#include <QString>

#include <functional>

class QMessageBox;
class QWidget;

namespace zelmar {

QMessageBox* showErrorBox(QWidget* parent, const QString& text);

// A word for the operator that needs no answer, with an OK button.
QMessageBox* showMessageBox(QWidget* parent, const QString& title, const QString& text);

// A question with the buttons "Да" and "Нет"; answer(true) for "Да". Closing the box answers nothing.
QMessageBox* askYesNo(QWidget* parent, const QString& title, const QString& text,
                      std::function<void(bool yes)> answer);

} // namespace zelmar
