#include "grbl_surface.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <fstream>
#include <iterator>
#include <utility>

namespace zelmar::board::grbl {

namespace {

// The PGM header's next whole number, past blanks and "#" comments.
std::optional<std::int64_t> headerNumber(const std::string& bytes, std::size_t& at) {
    for (;;) {
        while (at < bytes.size() && std::isspace(static_cast<unsigned char>(bytes[at])))
            ++at;
        if (at < bytes.size() && bytes[at] == '#') {
            while (at < bytes.size() && bytes[at] != '\n' && bytes[at] != '\r')
                ++at;
            continue;
        }
        break;
    }
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(bytes.data() + at, bytes.data() + bytes.size(), value);
    if (error != std::errc{} || value < 0)
        return std::nullopt;
    at = static_cast<std::size_t>(end - bytes.data());
    return value;
}

} // namespace

std::optional<double> decimal(std::string_view text) {
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || !std::isfinite(value) || std::abs(value) > 1e6)
        return std::nullopt;
    return value;
}

std::optional<Surface> Surface::parse(std::string_view spec, double cellMm, double baseZ, std::string& error) {
    Surface s;
    const auto numbers = [](std::string_view list) {
        std::vector<double> values;
        for (;;) {
            const auto comma = list.find(',');
            const auto value = decimal(list.substr(0, comma));
            if (!value)
                return std::vector<double>{};
            values.push_back(*value);
            if (comma == std::string_view::npos)
                return values;
            list.remove_prefix(comma + 1);
        }
    };
    if (spec.starts_with("flat:")) {
        const auto v = numbers(spec.substr(5));
        if (v.size() != 1) {
            error = "flat:Z takes one number of millimetres";
            return std::nullopt;
        }
        s.kind_ = Kind::Flat;
        s.z0_ = v[0];
        return s;
    }
    if (spec.starts_with("tilt:")) {
        const auto v = numbers(spec.substr(5));
        if (v.size() != 2 && v.size() != 3) {
            error = "tilt takes DX,DY or Z0,DX,DY in millimetres";
            return std::nullopt;
        }
        s.kind_ = Kind::Tilt;
        s.z0_ = v.size() == 3 ? v[0] : 0.0;
        s.dx_ = v[v.size() - 2];
        s.dy_ = v[v.size() - 1];
        return s;
    }
    if (spec.starts_with("twist:")) {
        const auto v = numbers(spec.substr(6));
        if (v.size() != 4) {
            error = "twist takes Z0,DX,DY,T in millimetres";
            return std::nullopt;
        }
        s.kind_ = Kind::Tilt;
        s.z0_ = v[0];
        s.dx_ = v[1];
        s.dy_ = v[2];
        s.twist_ = v[3];
        return s;
    }

    std::ifstream file{std::string(spec), std::ios::binary};
    if (!file) {
        error = std::string(spec) + ": cannot be read";
        return std::nullopt;
    }
    const std::string bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    error = std::string(spec) + ": not a PGM picture";
    if (bytes.size() < 2 || bytes[0] != 'P' || (bytes[1] != '2' && bytes[1] != '5'))
        return std::nullopt;
    const bool plain = bytes[1] == '2';
    std::size_t at = 2;
    const auto width = headerNumber(bytes, at);
    const auto rows = headerNumber(bytes, at);
    const auto maxval = headerNumber(bytes, at);
    if (!width || !rows || !maxval || *width < 1 || *rows < 1 || *maxval < 1 || *maxval > 65535 ||
        *width * *rows > 100'000'000)
        return std::nullopt;
    const std::int64_t count = *width * *rows;
    std::vector<double> heights;
    heights.reserve(static_cast<std::size_t>(count));
    if (plain) {
        for (std::int64_t i = 0; i < count; ++i) {
            const auto grey = headerNumber(bytes, at);
            if (!grey || *grey > *maxval)
                return std::nullopt;
            heights.push_back(baseZ + static_cast<double>(*grey) / 100.0);
        }
    } else {
        // One blank after the header, then the samples, two bytes each (most significant first) beyond 255.
        const std::size_t size = *maxval > 255 ? 2 : 1;
        ++at;
        if (at + static_cast<std::size_t>(count) * size > bytes.size())
            return std::nullopt;
        for (std::int64_t i = 0; i < count; ++i, at += size) {
            std::int64_t grey = static_cast<unsigned char>(bytes[at]);
            if (size == 2)
                grey = grey * 256 + static_cast<unsigned char>(bytes[at + 1]);
            if (grey > *maxval)
                return std::nullopt;
            heights.push_back(baseZ + static_cast<double>(grey) / 100.0);
        }
    }
    error.clear();
    const auto [lowest, highest] = std::minmax_element(heights.begin(), heights.end());
    s.lowest_ = *lowest;
    s.highest_ = *highest;
    s.heights_ = std::make_shared<const std::vector<double>>(std::move(heights));
    s.kind_ = Kind::Map;
    s.cell_ = cellMm;
    s.width_ = *width;
    s.rows_ = *rows;
    return s;
}

double Surface::height(double x, double y) const {
    switch (kind_) {
    case Kind::Flat: return z0_;
    case Kind::Tilt: return z0_ + dx_ * x / 100.0 + dy_ * y / 100.0 + twist_ * x * y / 10000.0;
    case Kind::Map: {
        // Beyond the picture its edge goes on.
        const auto index = [this](double v, std::int64_t n) {
            return static_cast<std::int64_t>(std::clamp(std::floor(v / cell_), 0.0, static_cast<double>(n - 1)));
        };
        const std::int64_t column = index(x, width_);
        const std::int64_t row = rows_ - 1 - index(y, rows_);
        return (*heights_)[static_cast<std::size_t>(row * width_ + column)];
    }
    case Kind::None: break;
    }
    return 0;
}

std::pair<double, double> Surface::bounds(double x0, double y0, double x1, double y1) const {
    if (kind_ == Kind::Map)
        return {lowest_, highest_};
    // A plane, and a twisted one, is lowest and highest at corners; the margin covers the rounding of its sums.
    const double corners[] = {height(x0, y0), height(x0, y1), height(x1, y0), height(x1, y1)};
    const auto [lowest, highest] = std::minmax_element(std::begin(corners), std::end(corners));
    return {*lowest - 1e-9, *highest + 1e-9};
}

} // namespace zelmar::board::grbl
