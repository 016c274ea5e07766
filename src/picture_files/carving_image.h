#pragma once
// The carved result as files and pictures for the front-ends: the shaded views side by side, and the height grid
// as a 16-bit PGM.

#include "mill/carving.h"
#include "mill/gcode.h"

#include <QImage>

#include <string>

namespace zelmar {

QImage imageOf(const CarvingPicture& picture);

// The preview as a PNG file: from above on the left, tilted on the right, on white. False when the file cannot be
// written.
bool writePreview(const std::string& path, const Carving& carving);

// One value a cell: how deep the stock is cut there in motor steps (0: untouched), big-endian as PGM has it; the
// comment gives the scale. False when the file cannot be written.
bool writeHeightGrid(const std::string& path, const Carving& carving, std::int32_t stepsPerPixel,
                     const Decimal& mmPerStep);

} // namespace zelmar
