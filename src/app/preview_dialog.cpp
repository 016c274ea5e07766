#include "preview_dialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPixmap>
#include <QRadioButton>
#include <QScrollArea>
#include <QVBoxLayout>

namespace zelmar {

PreviewDialog::PreviewDialog(const QString& what, QWidget* parent)
    : QDialog(parent), picture_(new QLabel(this)), note_(new QLabel(what + QStringLiteral(": считается…"), this)),
      fromAbove_(new QRadioButton(QStringLiteral("Сверху"), this)),
      tilted_(new QRadioButton(QStringLiteral("Под углом"), this)) {
    setObjectName(QStringLiteral("previewDialog"));
    setWindowTitle(QStringLiteral("Предпросмотр 3D"));
    note_->setObjectName(QStringLiteral("previewNote"));
    picture_->setObjectName(QStringLiteral("previewPicture"));
    picture_->setAlignment(Qt::AlignCenter);
    auto* scroll = new QScrollArea(this);
    scroll->setWidget(picture_);
    scroll->setWidgetResizable(true);
    scroll->setAlignment(Qt::AlignCenter);
    fromAbove_->setChecked(true);
    fromAbove_->setEnabled(false);
    tilted_->setEnabled(false);
    connect(fromAbove_, &QRadioButton::toggled, this, &PreviewDialog::showChosen);
    auto* choice = new QHBoxLayout;
    choice->addWidget(fromAbove_);
    choice->addWidget(tilted_);
    choice->addStretch();
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(note_);
    layout->addLayout(choice);
    layout->addWidget(scroll, 1);
    resize(720, 560);
}

void PreviewDialog::showPictures(const QImage& above, const QImage& tilted) {
    above_ = above;
    tiltedImage_ = tilted;
    note_->setText(note_->text().replace(QStringLiteral(": считается…"), QString()));
    fromAbove_->setEnabled(true);
    tilted_->setEnabled(true);
    showChosen();
}

void PreviewDialog::showChosen() {
    picture_->setPixmap(QPixmap::fromImage(fromAbove_->isChecked() ? above_ : tiltedImage_));
}

} // namespace zelmar
