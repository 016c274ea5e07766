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

// "Станок" → "Снять карту высот…": the point being probed ("Точка 2 из 6"), the margin or clearance typed that is no
// millimetres, the default clearance as the box's placeholder, where the probed map went, and where the grid lies.
std::string probePointText(int count, int of);
std::string badProbeNumbersText();
std::string clearancePlaceholderText(const std::string& retractMm);
std::string probedMapSavedText(const std::string& path);
std::string probedMapNotSavedText();
std::string probedMapWriteFailedText(const std::string& path, const std::string& why);
std::string probeGridHintText();
// What a probed map not yet in a file is called.
std::string unsavedMapName();

} // namespace zelmar
