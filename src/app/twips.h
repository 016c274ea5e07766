#pragma once
// Designed positions are in twips; the screen has 1440 / logical DPI twips per pixel.

#include <QRect>
#include <QWidget>

#include "view_layout.h"

namespace zelmar {

struct TwipsPerPixel {
    double x = 15;
    double y = 15;
    static TwipsPerPixel of(const QWidget* widget) {
        return {1440.0 / widget->logicalDpiX(), 1440.0 / widget->logicalDpiY()};
    }
};

inline int twipsToPixels(double twips, double twipsPerPixel) {
    return static_cast<int>(roundHalfEven(twips / twipsPerPixel));
}

inline QRect pixelRect(const TwipRect& r, const TwipsPerPixel& tpp) {
    return {twipsToPixels(r.left, tpp.x), twipsToPixels(r.top, tpp.y), twipsToPixels(r.width, tpp.x),
            twipsToPixels(r.height, tpp.y)};
}

} // namespace zelmar
