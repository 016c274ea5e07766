#include "view_layout.h"

#include <cmath>

namespace zelmar {

std::int64_t roundHalfEven(double value) {
    return static_cast<std::int64_t>(std::nearbyint(value));
}

double snappedToPixels(double twips, double twipsPerPixel) {
    return static_cast<double>(roundHalfEven(twips / twipsPerPixel)) * twipsPerPixel;
}

void fitImage(std::int32_t imageWidth, std::int32_t imageHeight, std::int32_t& viewWidth,
              std::int32_t& viewHeight) {
    if (imageWidth <= 0 || imageHeight <= 0 || viewWidth <= 0 || viewHeight <= 0) {
        viewWidth = 0;
        viewHeight = 0;
        return;
    }
    const double imageRatio = static_cast<double>(imageWidth) / imageHeight;
    const double viewRatio = static_cast<double>(viewWidth) / viewHeight;
    // The products are 64-bit: a 32-bit product overflows on a long thin image.
    if (viewRatio >= imageRatio)
        viewWidth = static_cast<std::int32_t>(
            roundHalfEven(static_cast<double>(std::int64_t{viewHeight} * imageWidth) / imageHeight));
    else
        viewHeight = static_cast<std::int32_t>(
            roundHalfEven(static_cast<double>(std::int64_t{viewWidth} * imageHeight) / imageWidth));
}

ViewVisibility visibilityAfterTabClick(ViewVisibility visibility, int selectedTab) {
    visibility.views.fill(false);
    if (selectedTab >= 1 && selectedTab <= viewCount)
        visibility.views[static_cast<std::size_t>(selectedTab - 1)] = true;
    return visibility;
}

ViewLayout layOutViews(const ViewLayoutInput& in) {
    using namespace layout;
    ViewLayout out;
    out.visibility = in.visibility;
    if (in.windowWidth < minWindowWidth || in.windowHeight < minWindowHeight)
        return out;
    out.laidOut = true;

    const double tx = in.twipsPerPixelX;
    const double ty = in.twipsPerPixelY;
    out.panelLeft = snappedToPixels(in.windowWidth - in.panelWidth - panelRightMargin, tx);
    out.tabStrip = {tabStripOrigin, tabStripOrigin,
                    snappedToPixels(in.windowWidth - in.panelWidth - tabStripWidthAllowance, tx),
                    snappedToPixels(in.windowHeight - tabStripHeightAllowance, ty)};
    const double wt = out.tabStrip.width;
    const double ht = out.tabStrip.height;

    out.gridMode = wt > gridThreshold && ht > gridThreshold;
    if (out.gridMode) {
        if (in.visibility.tabStrip) {
            out.visibility.tabStrip = false;
            out.visibility.views.fill(true);
        }
        const double w = snappedToPixels(wt / 2 - viewInset, tx);
        const double h = snappedToPixels(ht / 2 - viewInset, ty);
        out.views = {TwipRect{viewInset, viewInset, w, h}, TwipRect{w + gridStep, viewInset, w, h},
                     TwipRect{viewInset, h + gridStep, w, h}, TwipRect{w + gridStep, h + gridStep, w, h}};
    } else {
        if (!in.visibility.tabStrip) {
            out.visibility.tabStrip = true;
            out.visibility = visibilityAfterTabClick(out.visibility, in.selectedTab);
        }
        const TwipRect r{viewInset, tabModeTop, snappedToPixels(wt - tabModeWidthAllowance, tx),
                         snappedToPixels(ht - tabModeHeightAllowance, ty)};
        out.views = {r, r, r, r};
    }

    for (TwipRect& v : out.views) {
        v.left = snappedToPixels(v.left, tx);
        v.top = snappedToPixels(v.top, ty);
    }

    std::int32_t pw = static_cast<std::int32_t>(roundHalfEven(out.views[0].width / tx));
    std::int32_t ph = static_cast<std::int32_t>(roundHalfEven(out.views[0].height / ty));
    fitImage(in.imageWidth, in.imageHeight, pw, ph);
    out.drawnWidth = pw;
    out.drawnHeight = ph;
    return out;
}

} // namespace zelmar
