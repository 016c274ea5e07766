#pragma once
// "Ручная уст-ка" as a job of one move. The tool position the program keeps is not touched: the operator sets
// the machine up by hand, milling starts from where the program believes the tool is.

#include "mill/move_source.h"
#include "link/move_command.h"

#include <optional>
#include <string_view>

namespace zelmar {

// The move of the three boxes, read in the order tz, ty, tx; a box that holds no number refuses it.
struct ManualMovePlan {
    std::optional<PlannedMove> move;
    NumberRefusal refusal;
};
ManualMovePlan manualMovePlan(std::string_view tx, std::string_view ty, std::string_view tz);

} // namespace zelmar
