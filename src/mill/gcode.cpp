#include "gcode.h"

#include <cctype>
#include <charconv>

namespace zelmar {

std::optional<Decimal> Decimal::parse(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    Decimal d;
    bool point = false;
    int digits = 0;
    for (char c : text) {
        if (c == '.' && !point) {
            point = true;
            continue;
        }
        if (!std::isdigit(static_cast<unsigned char>(c)) || ++digits > 9)
            return std::nullopt;
        d.units = d.units * 10 + (c - '0');
        if (point && ++d.places > 9)
            return std::nullopt;
    }
    if (digits == 0)
        return std::nullopt;
    return d;
}

std::string Decimal::times(std::int64_t count) const {
    // Counts are the board's, 32-bit, and units below 10^9: the product fits in 64 bits.
    const bool negative = count < 0;
    std::uint64_t magnitude = (negative ? 0 - static_cast<std::uint64_t>(count) : static_cast<std::uint64_t>(count)) *
                              static_cast<std::uint64_t>(units);
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(magnitude % 10)));
        magnitude /= 10;
    } while (magnitude > 0);
    if (places > 0) {
        if (static_cast<int>(digits.size()) <= places)
            digits.insert(digits.begin(), static_cast<std::size_t>(places + 1) - digits.size(), '0');
        digits.insert(digits.end() - places, '.');
    }
    return negative ? "-" + digits : digits;
}

double Decimal::value() const {
    double scale = 1;
    for (int p = 0; p < places; ++p)
        scale *= 10;
    return static_cast<double>(units) / scale;
}

bool isRapid(MoveKind kind, std::int32_t z) {
    if (kind == MoveKind::Approach)
        return true;
    if (kind == MoveKind::Lift || kind == MoveKind::Manual)
        return z >= 0; // up, or a level move: nothing is being cut
    return false;
}

namespace {

// Comments hold printable ASCII only and no parentheses, which would end them.
std::string commentText(std::string_view text) {
    std::string out;
    for (unsigned char c : text)
        out += c == '(' ? '[' : c == ')' ? ']' : (c >= 32 && c < 127) ? static_cast<char>(c) : '?';
    return out;
}

} // namespace

std::string GcodeWriter::header(const GcodeOrigin& origin, const std::optional<GcodeStart>& start) const {
    std::string operations;
    for (const std::string& op : origin.operations)
        operations += (operations.empty() ? "" : " ") + op;
    std::string h;
    h += "(Zelmar CNC job)\n";
    h += "(image: " + commentText(origin.image) + ")\n";
    h += "(operations: " + commentText(operations) + ")\n";
    h += "(steps per pixel: " + std::to_string(settings_.stepsPerPixel) + ", mm per step: " +
         settings_.mmPerStep.text() + ", feed: " + std::to_string(settings_.feed) + " mm/min)\n";
    h += "(safe height: " + std::to_string(origin.safeHeight) + " depth units, straight runs merged: " +
         (origin.mergeSteps ? "yes" : "no") + ")\n";
    if (origin.travelOneMillimetre)
        h += "(rapid moves travel at least 1 mm above the stock: SafeHeight is 0)\n";
    h += std::string("(axes: X+ is the picture's ") + (settings_.axisX < 0 ? "left" : "right") + ", Y+ its " +
         (settings_.axisY < 0 ? "bottom" : "top") + ", Z+ up)\n";
    if (origin.stepDown > 0)
        h += "(cut in passes of at most " + std::to_string(origin.stepDown) + " depth units)\n";
    if (!origin.mergeTolerance.empty())
        h += "(steps merged within " + commentText(origin.mergeTolerance) + " pixels of a straight line)\n";
    if (!origin.tool.empty())
        h += "(tool: " + commentText(origin.tool) + ", diameter in mm; the depths keep every part of it above the "
             "picture)\n";
    if (start)
        h += "(start: the tool at the surface over " + commentText(startText(*start)) +
             "; every move is relative to it)\n";
    if (!origin.heightMap.empty())
        h += "(height map: " + commentText(origin.heightMap) +
             "; the start is the work zero, and every move follows the surface)\n";
    h += "G21\nG91\n";
    for (const std::string& line : settings_.spindle.startLines())
        h += line + "\n";
    return h;
}

std::string GcodeWriter::footer() const {
    std::string f;
    if (settings_.endRise > 0) // the job ends lifted to where the tool travels
        f += "G0 Z" + settings_.mmPerStep.times(std::int64_t{settings_.endRise} * settings_.stepsPerPixel) + "\n";
    for (const std::string& line : settings_.spindle.stopLines())
        f += line + "\n";
    return f + "M2\n";
}

std::vector<std::string> Spindle::startLines() const {
    if (!used())
        return {};
    return {"M3 S" + std::to_string(rpm), "G4 P" + delaySeconds.text()};
}

std::vector<std::string> Spindle::stopLines() const {
    if (!used())
        return {};
    return {"M5"};
}

std::pair<std::string, std::string> GcodeWriter::startMm(const GcodeStart& start) const {
    const auto mm = [this](std::int32_t pixels) {
        const std::int64_t count = std::int64_t{pixels} * settings_.stepsPerPixel;
        // times() takes the board's 32-bit counts; beyond them the pixels alone say it.
        return count >= -2147483648LL && count <= 2147483647LL ? settings_.mmPerStep.times(count) : std::string();
    };
    return {mm(start.x - 1), mm(start.y - 1)};
}

std::string GcodeWriter::startText(const GcodeStart& start) const {
    const auto [right, down] = startMm(start);
    const auto mm = [](const std::string& number) { return number.empty() ? std::string("?") : number + " mm"; };
    return "pixel " + std::to_string(start.x) + ", " + std::to_string(start.y) + ", " + mm(right) + " right and " +
           mm(down) + " down of the picture's top-left pixel";
}

std::string GcodeWriter::line(const CommandMove& c) const {
    return moveLine(isRapid(c.kind, c.z), countX(c), countY(c), countZ(c), feedOf(c));
}

std::string GcodeWriter::moveLine(bool rapid, std::int64_t x, std::int64_t y, std::int64_t z, std::int32_t feed) const {
    std::string l = rapid ? "G0" : "G1";
    bool any = false;
    const auto axis = [&](char name, std::int64_t count) {
        if (count == 0)
            return;
        l += ' ';
        l += name;
        l += settings_.mmPerStep.times(count);
        any = true;
    };
    axis('X', x);
    axis('Y', y);
    axis('Z', z);
    if (!any)
        l += " Z" + settings_.mmPerStep.times(0); // a move of nothing, still one line for one command
    // The feed on every feed move: a line then means the same on its own, streamed again after a controller's
    // reset as in the file.
    if (!rapid)
        l += " F" + std::to_string(feed);
    return l + "\n";
}

} // namespace zelmar
