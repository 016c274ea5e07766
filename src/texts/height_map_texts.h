#pragma once
// What is said about a height map: why a file is not one (zelmar-cli's English line, the window's Russian), and
// what a loaded one holds.

#include "mill/height_map.h"

#include <string>

namespace zelmar {

// "line 4: a row holds 3 heights, 2 given".
std::string heightMapProblemLine(const HeightMapProblem& problem);
// The same, in the operator's words.
std::string heightMapProblemText(const HeightMapProblem& problem);
// The map's grid, extent and heights, and what follows it.
std::string heightMapText(const HeightMap& map, const std::string& name);

} // namespace zelmar
