#pragma once

#include <charconv>
#include <optional>
#include <string_view>

namespace zelmar {

// A word that is a number and nothing else (no sign where Number has none, no spaces, no rest).
template <typename Number> std::optional<Number> numberOf(std::string_view word) {
    Number n{};
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), n);
    if (word.empty() || error != std::errc() || end != word.data() + word.size())
        return std::nullopt;
    return n;
}

} // namespace zelmar
