#include "move_command.h"

#include <charconv>
#include <limits>
#include <optional>

namespace zelmar {
namespace {

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

// Digits only, no sign: the boxes take nothing else from the keyboard, and a pasted sign is refused.
std::optional<std::int64_t> wholeNumber(std::string_view text) {
    text = trimmed(text);
    if (text.empty() || text.size() > 18)
        return std::nullopt;
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.front() == '-' ||
        text.front() == '+')
        return std::nullopt;
    return value;
}

constexpr std::int64_t int32Max = std::numeric_limits<std::int32_t>::max();
constexpr std::int64_t int32Min = std::numeric_limits<std::int32_t>::min();

} // namespace

Checked parseStepsPerPixel(std::string_view text) {
    const std::optional<std::int64_t> n = wholeNumber(text);
    if (!n || *n < 1 || *n > int32Max)
        return {0, {NumberRefusal::Kind::StepsPerPixel, std::string(text), {}, 0}};
    return {static_cast<std::int32_t>(*n), {}};
}

Checked parseIncrement(std::string_view text, std::string_view axis) {
    const std::optional<std::int64_t> n = wholeNumber(text);
    if (!n || *n > int32Max)
        return {0, {NumberRefusal::Kind::Increment, std::string(text), std::string(axis), 0}};
    return {static_cast<std::int32_t>(*n), {}};
}

MoveText formatMoveCommand(std::int32_t x, std::int32_t y, std::int32_t z, std::int32_t stepsPerPixel) {
    const std::int64_t counts[] = {-std::int64_t{x} * stepsPerPixel, std::int64_t{y} * stepsPerPixel,
                                   std::int64_t{z} * stepsPerPixel};
    for (std::int64_t c : counts)
        if (c < int32Min || c > int32Max)
            return {{}, {NumberRefusal::Kind::CountTooLarge, {}, {}, stepsPerPixel}};
    return {std::to_string(counts[0]) + "," + std::to_string(counts[1]) + "," + std::to_string(counts[2]) +
                ";",
            {}};
}

} // namespace zelmar
