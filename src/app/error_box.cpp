#include "error_box.h"

#include <QMessageBox>
#include <QPushButton>

namespace zelmar {

namespace {

QMessageBox* modalBox(QWidget* parent, const QString& title, const QString& text) {
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    auto* box = new QMessageBox(QMessageBox::NoIcon, title, shown, QMessageBox::NoButton, parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::ApplicationModal);
    return box;
}

} // namespace

QMessageBox* showErrorBox(QWidget* parent, const QString& text) {
    QMessageBox* box = modalBox(parent, QStringLiteral("Ошибка"), text);
    box->setObjectName(QStringLiteral("errorBox"));
    box->setStandardButtons(QMessageBox::Ok);
    box->show();
    return box;
}

QMessageBox* showMessageBox(QWidget* parent, const QString& title, const QString& text) {
    QMessageBox* box = modalBox(parent, title, text);
    box->setObjectName(QStringLiteral("messageBox"));
    box->setStandardButtons(QMessageBox::Ok);
    box->show();
    return box;
}

QMessageBox* askYesNo(QWidget* parent, const QString& title, const QString& text,
                      std::function<void(bool yes)> answer) {
    QMessageBox* box = modalBox(parent, title, text);
    box->setObjectName(QStringLiteral("questionBox"));
    QPushButton* yes = box->addButton(QStringLiteral("Да"), QMessageBox::YesRole);
    QPushButton* no = box->addButton(QStringLiteral("Нет"), QMessageBox::NoRole);
    box->setEscapeButton(static_cast<QAbstractButton*>(nullptr));
    QObject::connect(yes, &QPushButton::clicked, box, [answer] { answer(true); });
    QObject::connect(no, &QPushButton::clicked, box, [answer] { answer(false); });
    box->show();
    return box;
}

} // namespace zelmar
