#pragma once
// "Градиент" and "Отступить" on the work window's state. Both leave the label map and the link count as they
// are and empty the region and link tables (100 empty records each) until the next parse.

#include "image/image_session.h"

namespace zelmar {

// The work layer becomes the outline picture of the loaded image. Does nothing without an image.
void gradientCommand(ImageSession& session);

// The white of the work layer grows by one pixel. Returns whether the work layer changed.
bool offsetCommand(ImageSession& session);

} // namespace zelmar
