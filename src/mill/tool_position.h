#pragma once
// Where the program believes the tool stands: pixel column and row from 1, and the cut depth 0..25.

#include <cstdint>

namespace zelmar {

struct ToolPosition {
    std::int32_t toolX = 1;
    std::int32_t toolY = 1;
    // Not touched when the work window loads again: the tool has not moved in Z because a window reopened.
    std::int32_t toolZ = 0;

    bool operator==(const ToolPosition&) const = default;
};

} // namespace zelmar
