// Constants and small helpers that the parts of the simulated grbl share: the words it writes, its limits.
#pragma once

#include "grbl.h"

#include <array>
#include <cstdio>
#include <string>
#include <string_view>

namespace zelmar::board::grbl::detail {

inline constexpr std::int64_t billion = 1'000'000'000;
inline constexpr std::size_t lineLimit = 79;          // grbl's line buffer of 80, one kept for the terminator
inline constexpr std::int64_t maxTarget = 1'000'000'000'000'000; // nm: 1000 km, far beyond any machine
inline constexpr Micros longestBlock = 1'000'000'000'000'000;    // about 30 years
inline constexpr std::string_view welcome = "\r\nGrbl 1.1h ['$' for help]";

// a / b rounded half away from zero, b > 0.
inline std::int64_t divRound(std::int64_t a, std::int64_t b) {
    return a >= 0 ? (a + b / 2) / b : -((-a + b / 2) / b);
}

inline std::int64_t stepsOf(std::int64_t nm) {
    return divRound(nm, nmPerStep);
}

inline double mmPerMin(std::int64_t billionths, bool inches) {
    return static_cast<double>(billionths) / static_cast<double>(billion) * (inches ? 25.4 : 1.0);
}

// Millimetres with three decimals of nanometres, rounded half away from zero, as grbl prints a float.
inline std::string mmText(std::int64_t nm) {
    const std::int64_t um = divRound(nm, 1000);
    const std::uint64_t magnitude =
        um < 0 ? std::uint64_t(0) - static_cast<std::uint64_t>(um) : static_cast<std::uint64_t>(um);
    std::array<char, 48> text{};
    std::snprintf(text.data(), text.size(), "%s%llu.%03llu", um < 0 ? "-" : "",
                  static_cast<unsigned long long>(magnitude / 1000), static_cast<unsigned long long>(magnitude % 1000));
    return text.data();
}

inline std::string triple(const std::array<std::int64_t, 3>& nm) {
    return mmText(nm[0]) + "," + mmText(nm[1]) + "," + mmText(nm[2]);
}

inline double mmOfSteps(std::int64_t steps) {
    return static_cast<double>(steps * nmPerStep) / 1e6;
}

inline std::string threeDecimals(double value) {
    std::array<char, 64> text{};
    std::snprintf(text.data(), text.size(), "%.3f", value);
    return text.data();
}

inline std::string trimmed(double value) {
    std::string s = threeDecimals(value);
    while (s.back() == '0')
        s.pop_back();
    if (s.back() == '.')
        s.pop_back();
    return s;
}

inline std::string_view meaning(int error) {
    switch (error) {
    case 1: return "expected command letter";
    case 2: return "bad number format";
    case 3: return "invalid statement";
    case 4: return "negative value";
    case 5: return "homing not enabled";
    case 8: return "not idle";
    case 9: return "G-code locked out during alarm or jog";
    case 11: return "line overflow";
    case 15: return "jog beyond the travel";
    case 16: return "invalid jog command";
    case 20: return "unsupported command";
    case 21: return "modal group violation";
    case 22: return "undefined feed rate";
    case 25: return "word repeated";
    case 26: return "no axis words";
    case 27: return "invalid line number";
    case 24: return "two commands use the axis words";
    case 28: return "value word missing";
    case 29: return "unsupported coordinate system";
    case 33: return "invalid target";
    case 36: return "unused words";
    default: return "";
    }
}

} // namespace zelmar::board::grbl::detail
