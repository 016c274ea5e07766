#include "layer_view.h"

#include "image/image_layer.h"
#include "app/scaled_copy.h"

#include <QPaintEvent>
#include <QPainter>

namespace zelmar {

LayerView::LayerView(QWidget* parent) : QFrame(parent) {
    setFrameStyle(QFrame::Panel | QFrame::Sunken);
    setLineWidth(1);
    setAutoFillBackground(true);
}

void LayerView::drawLayer(ImageLayer& layer, int drawnWidth, int drawnHeight) {
    lastRedrawnPixels_ = 0;
    if (layer.isEmpty() || drawnWidth <= 0 || drawnHeight <= 0)
        return;
    PixelRect source = layer.takeChangedArea();
    if (picture_.width() != drawnWidth || picture_.height() != drawnHeight) {
        picture_ = QImage(drawnWidth, drawnHeight, QImage::Format_RGB32);
        source = PixelRect{0, 0, layer.header().bmWidth, layer.header().bmHeight};
    }
    if (source.isEmpty())
        return;
    const ScaledTarget target{reinterpret_cast<std::uint32_t*>(picture_.bits()), picture_.width(),
                              picture_.height(), picture_.bytesPerLine()};
    const PixelRect drawn = stretchArea(layer, source, target);
    if (drawn.isEmpty())
        return;
    lastRedrawnPixels_ = qint64{drawn.right - drawn.left} * (drawn.bottom - drawn.top);
    update(QRect(drawn.left, drawn.top, drawn.right - drawn.left, drawn.bottom - drawn.top));
}

void LayerView::paintEvent(QPaintEvent* event) {
    QFrame::paintEvent(event);
    if (picture_.isNull())
        return;
    QPainter painter(this);
    const QRect area = event->rect() & picture_.rect();
    if (!area.isEmpty())
        painter.drawImage(area.topLeft(), picture_, area);
}

} // namespace zelmar
