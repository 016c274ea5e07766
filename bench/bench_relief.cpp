// "Градиент" and "Отступить" on a 4096 x 4096 picture of shapes: median of several runs, JSON lines.
//
//   zelmar-bench-relief [SIZE]

#include "bench_images.h"
#include "median_time.h"
#include "relief/relief.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

using namespace zelmar;

namespace {

using zelmar::bench::medianMs;

} // namespace

int main(int argc, char** argv) {
    const int size = argc > 1 ? std::atoi(argv[1]) : 4096;
    const ImageLayer source = bench::shapesImage(size, size);
    const PixelGeometry g = source.geometry();
    std::vector<std::uint8_t> work(source.bits().size());
    const double gradient = medianMs(9, [&] { gradientInto(source.bits().data(), work.data(), g); });
    // The offset grows what the gradient left; each run starts from the same picture.
    const std::vector<std::uint8_t> outlined = work;
    std::vector<std::uint8_t> grown = outlined;
    const double offset = medianMs(9, [&] {
        grown = outlined; // not timed apart: subtracted below
        offsetInPlace(grown.data(), g);
    });
    const double copy = medianMs(9, [&] { grown = outlined; });
    const double pureCopy =
        medianMs(9, [&] { std::copy(source.bits().begin(), source.bits().end(), work.begin()); });
    std::printf(
        "{\"bench\":\"relief\",\"size\":%d,\"gradient_ms\":%.2f,\"offset_ms\":%.2f,\"layer_copy_ms\":%.2f}\n",
        size, gradient, offset - copy, pureCopy);
    return 0;
}
