// "Градиент" and "Отступить" on a 4096 x 4096 picture of shapes: median of several runs, JSON lines.
//
//   zelmar-bench-relief [SIZE]

#include "bench_images.h"
#include "relief/relief.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

using namespace zelmar;

namespace {

template <typename Work> double medianMs(int runs, Work work) {
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        work();
        ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

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
