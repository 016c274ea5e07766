#pragma once
// "Предпросмотр 3D": the carving a job would leave, shaded, from above or tilted. Opens at once and shows the
// pictures when they are ready, the window staying live meanwhile.

#include <QDialog>
#include <QImage>

class QLabel;
class QRadioButton;

namespace zelmar {

class PreviewDialog : public QDialog {
    Q_OBJECT
public:
    explicit PreviewDialog(const QString& what, QWidget* parent = nullptr);

    void showPictures(const QImage& above, const QImage& tilted);
    bool ready() const { return !above_.isNull(); }

private:
    void showChosen();

    QLabel* picture_;
    QLabel* note_;
    QRadioButton* fromAbove_;
    QRadioButton* tilted_;
    QImage above_;
    QImage tiltedImage_;
};

} // namespace zelmar
