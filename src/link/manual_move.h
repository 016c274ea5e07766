#pragma once
// "Ручная уст-ка": one relative move from the three boxes. The tool position the program keeps is not
// touched: the operator sets the machine up by hand, milling starts from where it believes the tool is.

#include "motion_link.h"

#include <string_view>

namespace zelmar {

// With milling off nothing happens (a kept command log still sees the would-be command). Otherwise the boxes
// are read in the order tz, ty, tx; one that holds no number refuses the move before anything is sent.
MoveResult manualMove(MotionLink& link, bool milling, std::string_view tx, std::string_view ty,
                      std::string_view tz, std::string_view stepsText);

} // namespace zelmar
