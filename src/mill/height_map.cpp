#include "height_map.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace zelmar {

namespace {

// Where x falls on a grid axis: the cell's index and the fraction into it, both held to the grid.
std::pair<std::int32_t, double> cellOf(double x, double origin, double step, std::int32_t points) {
    const double u = (x - origin) / step;
    const auto cell = static_cast<std::int32_t>(std::clamp(std::floor(u), 0.0, double(points - 2)));
    return {cell, std::clamp(u - cell, 0.0, 1.0)};
}

std::optional<double> plainNumber(std::string_view word) {
    // from_chars would take "1e3"; a map is written by people too, and an exponent is a typing slip there.
    if (word.empty() || word.find_first_not_of("+-.0123456789") != std::string_view::npos)
        return std::nullopt;
    if (word.front() == '+')
        word.remove_prefix(1);
    double value = 0;
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
    if (error != std::errc() || end != word.data() + word.size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

// A word of the file as a message may quote it: short, and printable whatever the file holds.
std::string shown(std::string_view word) {
    std::string out;
    for (const unsigned char c : word.substr(0, 24))
        out += c >= 32 && c < 127 ? static_cast<char>(c) : '?';
    return word.size() > 24 ? out + "..." : out;
}

std::vector<std::string_view> wordsOf(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            ++i;
        const std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t')
            ++i;
        if (i > start)
            words.push_back(line.substr(start, i - start));
    }
    return words;
}

std::string numberText(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.4f", value);
    return std::string(text) == "-0.0000" ? "0.0000" : text;
}

} // namespace

double HeightMap::heightAt(double x, double y) const {
    const auto [i, fx] = cellOf(x, originX, stepX, nx);
    const auto [j, fy] = cellOf(y, originY, stepY, ny);
    const double bottom = at(i, j) * (1 - fx) + at(i + 1, j) * fx;
    const double top = at(i, j + 1) * (1 - fx) + at(i + 1, j + 1) * fx;
    return bottom * (1 - fy) + top * fy;
}

std::optional<HeightMap> HeightMap::read(std::string_view text, HeightMapProblem* problem) {
    using Kind = HeightMapProblem::Kind;
    const auto fail = [problem](Kind kind, std::size_t line, std::string word = {}, std::int64_t expected = 0,
                                std::int64_t given = 0) -> std::optional<HeightMap> {
        if (problem)
            *problem = {kind, line, std::move(word), expected, given};
        return std::nullopt;
    };
    HeightMap map;
    std::vector<std::vector<double>> rows;
    bool grid = false, origin = false, step = false;
    std::size_t number = 0;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        const std::vector<std::string_view> words = wordsOf(line);
        if (words.empty() || words.front().front() == '#')
            continue;
        std::vector<double> values;
        for (std::size_t w = words.front() == "grid" || words.front() == "origin" || words.front() == "step" ? 1 : 0;
             w < words.size(); ++w) {
            const std::optional<double> value = plainNumber(words[w]);
            if (!value)
                return fail(Kind::NotANumber, number, shown(words[w]));
            values.push_back(*value);
        }
        if (words.front() == "grid" || words.front() == "origin" || words.front() == "step") {
            if (values.size() != 2)
                return fail(Kind::TwoNumbers, number, std::string(words.front()));
            if (words.front() == "grid") {
                if (values[0] != std::floor(values[0]) || values[1] != std::floor(values[1]) || values[0] < 2 ||
                    values[1] < 2 || values[0] * values[1] > 1e6)
                    return fail(Kind::BadGrid, number);
                map.nx = static_cast<std::int32_t>(values[0]);
                map.ny = static_cast<std::int32_t>(values[1]);
                grid = true;
            } else if (words.front() == "origin") {
                map.originX = values[0];
                map.originY = values[1];
                origin = true;
            } else {
                if (values[0] <= 0 || values[1] <= 0)
                    return fail(Kind::BadStep, number);
                map.stepX = values[0];
                map.stepY = values[1];
                step = true;
            }
            continue;
        }
        if (!grid || !origin || !step)
            return fail(Kind::HeightsTooEarly, number);
        if (values.size() != static_cast<std::size_t>(map.nx))
            return fail(Kind::RowLength, number, {}, map.nx, std::int64_t(values.size()));
        rows.push_back(std::move(values));
    }
    if (!grid || !origin || !step)
        return fail(Kind::HeaderMissing, 0);
    if (rows.size() != static_cast<std::size_t>(map.ny))
        return fail(Kind::RowCount, 0, {}, map.ny, std::int64_t(rows.size()));
    for (const std::vector<double>& row : rows)
        map.z.insert(map.z.end(), row.begin(), row.end());
    return map;
}

std::string HeightMap::text() const {
    // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) of a literal added to a temporary string.
    std::string out = "# zelmar height map: the stock's surface in work coordinates, mm\n";
    const auto pair = [&out](const char* name, const std::string& a, const std::string& b) {
        out += name;
        out += ' ';
        out += a;
        out += ' ';
        out += b;
        out += '\n';
    };
    pair("grid", std::to_string(nx), std::to_string(ny));
    pair("origin", numberText(originX), numberText(originY));
    pair("step", numberText(stepX), numberText(stepY));
    for (std::int32_t j = 0; j < ny; ++j) {
        for (std::int32_t i = 0; i < nx; ++i) {
            if (i > 0)
                out += ' ';
            out += numberText(at(i, j));
        }
        out += '\n';
    }
    return out;
}

StepPoint mappedPoint(const HeightMap& map, double mmPerStep, const StepPoint& planned) {
    const double rise = map.heightAt(double(planned.x) * mmPerStep, double(planned.y) * mmPerStep);
    return {planned.x, planned.y, planned.z + std::llround(rise / mmPerStep)};
}

std::vector<StepPoint> mappedMove(const HeightMap& map, double mmPerStep, const StepPoint& from, const StepPoint& to) {
    // Where along the move (0..1) it crosses a line of the grid, strictly inside it.
    std::vector<double> cuts;
    const auto crossings = [&cuts](double a, double b, double origin, double step, std::int32_t points) {
        if (a == b)
            return;
        // The inner lines only: beyond the grid the surface is its edge's, a plane along the move.
        for (std::int32_t k = 1; k + 1 < points; ++k) {
            const double line = origin + step * k;
            const double t = (line - a) / (b - a);
            if (t > 0 && t < 1)
                cuts.push_back(t);
        }
    };
    crossings(double(from.x) * mmPerStep, double(to.x) * mmPerStep, map.originX, map.stepX, map.nx);
    crossings(double(from.y) * mmPerStep, double(to.y) * mmPerStep, map.originY, map.stepY, map.ny);
    std::sort(cuts.begin(), cuts.end());
    std::vector<StepPoint> ends;
    ends.reserve(cuts.size() + 1);
    StepPoint last = from;
    for (const double t : cuts) {
        const auto along = [t](std::int64_t a, std::int64_t b) { return a + std::llround(t * double(b - a)); };
        const StepPoint planned{along(from.x, to.x), along(from.y, to.y), along(from.z, to.z)};
        if (planned == last || planned == to)
            continue;
        ends.push_back(mappedPoint(map, mmPerStep, planned));
        last = planned;
    }
    ends.push_back(mappedPoint(map, mmPerStep, to));
    return ends;
}

} // namespace zelmar
