#pragma once
// The arrangement of the work window for its current size, as a function of plain numbers (twips in, twips
// and pixels out), so that every rule of it can be checked without a window.

#include <array>
#include <cstdint>

namespace zelmar {

struct TwipRect {
    double left = 0;
    double top = 0;
    double width = 0;
    double height = 0;
    bool operator==(const TwipRect&) const = default;
};

constexpr int viewCount = 4;

struct ViewVisibility {
    bool tabStrip = true;
    std::array<bool, viewCount> views{true, true, true, true};
    bool operator==(const ViewVisibility&) const = default;
};

struct ViewLayoutInput {
    double windowWidth = 0; // outer size, frame and caption included
    double windowHeight = 0;
    double panelWidth = 3930;
    double twipsPerPixelX = 15;
    double twipsPerPixelY = 15;
    std::int32_t imageWidth = 0;
    std::int32_t imageHeight = 0;
    ViewVisibility visibility;
    int selectedTab = 1; // 1-based
};

struct ViewLayout {
    bool laidOut = false; // false below the minimum window size: nothing is moved, shown or drawn
    bool gridMode = false;
    double panelLeft = 0;
    TwipRect tabStrip;
    std::array<TwipRect, viewCount> views{};
    ViewVisibility visibility;
    // The image's drawn size in each view, pixels; 0 x 0 when there is no image to draw.
    std::int32_t drawnWidth = 0;
    std::int32_t drawnHeight = 0;
};

namespace layout {
constexpr double minWindowWidth = 6000;
constexpr double minWindowHeight = 4000;
constexpr double gridThreshold = 6000;
constexpr double panelRightMargin = 200;
constexpr double tabStripWidthAllowance = 400;
constexpr double tabStripHeightAllowance = 500;
constexpr double tabStripOrigin = 45;
constexpr double viewInset = 100;
constexpr double gridStep = 200;
constexpr double tabModeTop = 500;
constexpr double tabModeWidthAllowance = 200;
constexpr double tabModeHeightAllowance = 550;
} // namespace layout

// Round half to even, as the platform's conversions do.
std::int64_t roundHalfEven(double value);

// A size or position as the platform holds it after assignment: a whole number of screen pixels.
double snappedToPixels(double twips, double twipsPerPixel);

ViewLayout layOutViews(const ViewLayoutInput& input);

// Largest size with the image's aspect that fits a view of viewWidth x viewHeight pixels, at its top-left.
void fitImage(std::int32_t imageWidth, std::int32_t imageHeight, std::int32_t& viewWidth,
              std::int32_t& viewHeight);

// A tab click hides all four views and shows the selected tab's (none for an index outside 1..4).
ViewVisibility visibilityAfterTabClick(ViewVisibility visibility, int selectedTab);

} // namespace zelmar
