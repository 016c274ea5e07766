// The stock's top under the simulated grbl's tool: what a probe touches and what the cut log measures depths from.
// Heights are machine Z in millimetres over the machine's fixed frame (millimetres from where the board started).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zelmar::board::grbl {

class Surface {
public:
    // No stock at all: nothing is ever touched.
    Surface() = default;

    // "flat:Z", "tilt:DX,DY", "tilt:Z0,DX,DY", "twist:Z0,DX,DY,T" (a tilt plus T mm of rise per 100 mm along X
    // per 100 mm along Y: a stock warped like a propeller, bilinear everywhere) or the path of a PGM file (plain or binary) whose grey levels are
    // hundredths of a millimetre above `baseZ`, each pixel a square of `cellMm`. Null, and why in `error`, when the
    // text or the file is not one.
    static std::optional<Surface> parse(std::string_view spec, double cellMm, double baseZ, std::string& error);

    bool any() const { return kind_ != Kind::None; }
    // The top's machine Z at machine X, Y (mm); only when any().
    double height(double x, double y) const;
    // The lowest and highest the top is over the rectangle between the two corners.
    std::pair<double, double> bounds(double x0, double y0, double x1, double y1) const;

private:
    enum class Kind { None, Flat, Tilt, Map };
    Kind kind_ = Kind::None;
    double z0_ = 0;
    double dx_ = 0; // mm of rise per 100 mm along X
    double dy_ = 0;
    double twist_ = 0;
    double cell_ = 1;
    std::int64_t width_ = 0;
    std::int64_t rows_ = 0;
    // Row by row, the top row (largest Y) first, as a PGM file holds them; shared by the copies of the options.
    std::shared_ptr<const std::vector<double>> heights_;
    double lowest_ = 0;
    double highest_ = 0;
};

// A decimal number of millimetres, the whole text; null when it is not one.
std::optional<double> decimal(std::string_view text);

} // namespace zelmar::board::grbl
