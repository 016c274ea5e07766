#pragma once
// Hand-made image files of every BMP depth (and a GIF), so loading is tested on files Qt did not write.

#include <QByteArray>

#include <functional>

namespace zelmar::testing {

// A BMP of the given depth (1, 4, 8, 16, 24 or 32 bits) whose pixel (x, y), 0-based, has the grey grey(x, y).
// Palette depths use a grey palette: 1 bit black and white, 4 bits steps of 17, 8 bits every grey. 16 bits is
// RGB555, so a grey comes back with its low three bits lost.
QByteArray bmpBytes(int bitsPerPixel, int width, int height, const std::function<int(int, int)>& grey);

// A BMP header that claims the given size but carries no pixels.
QByteArray bmpHeaderOnly(int width, int height);

// A 1 x 1 GIF with a black pixel.
QByteArray blackPixelGif();

} // namespace zelmar::testing
