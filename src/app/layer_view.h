#pragma once
// One of the four picture boxes. It keeps the layer's picture at the drawn size and, when the layer changed
// in a few pixels, rescales only those: a milling step redraws nine pixels, not the image.

#include <QFrame>
#include <QImage>

namespace zelmar {

class ImageLayer;

class LayerView : public QFrame {
public:
    explicit LayerView(QWidget* parent);

    // Stretches the layer into the top-left corner at drawnWidth x drawnHeight. Only the layer's changed area
    // is redrawn unless the size changed; an empty size leaves the picture alone.
    void drawLayer(ImageLayer& layer, int drawnWidth, int drawnHeight);

    const QImage& picture() const { return picture_; }
    // Pixels rescaled by the last drawLayer call, for the check that small changes cost little.
    qint64 lastRedrawnPixels() const { return lastRedrawnPixels_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage picture_;
    qint64 lastRedrawnPixels_ = 0;
};

} // namespace zelmar
