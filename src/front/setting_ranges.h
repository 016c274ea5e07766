#pragma once
// The numbers a front-end takes for the job's settings, from cnc.ini or the command line: one range each, so that
// both accept the same values.

#include "mill/gcode.h"

#include <charconv>
#include <cstdint>
#include <optional>
#include <string_view>

namespace zelmar {

struct SettingRange {
    std::int32_t least = 0;
    std::int32_t most = 0;
};

namespace settingRanges {
inline constexpr SettingRange timeoutSeconds{1, 24 * 3600};
inline constexpr SettingRange safeHeight{0, 1000};
inline constexpr SettingRange feed{1, 100000};
inline constexpr SettingRange baud{50, 4000000};
inline constexpr SettingRange mergeSteps{0, 1};
inline constexpr SettingRange spindleRpm{0, 100000};
inline constexpr SettingRange stepDown{0, 1000};
inline constexpr SettingRange marksAsDepth{0, 1};
inline constexpr SettingRange axisSign{-1, 1}; // -1 or 1; 0 is refused where read
inline constexpr SettingRange plungeFeed{1, 100000};
} // namespace settingRanges

// The whole number the text holds, when it lies in the range; nothing for anything else (blanks included).
inline std::optional<std::int32_t> wholeNumberIn(std::string_view text, SettingRange range) {
    std::int32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < range.least ||
        value > range.most)
        return std::nullopt;
    return value;
}

// Millimetres a motor step moves: an exact decimal above zero.
inline std::optional<Decimal> millimetresAStep(std::string_view text) {
    const std::optional<Decimal> d = Decimal::parse(text);
    if (!d || d->isZero())
        return std::nullopt;
    return d;
}

} // namespace zelmar
