// What a view redraw costs: the whole layer stretched at a new size, against the nine pixels a milling step
// changes. Prints one JSON line per measurement, the median of several runs.
//
//   zelmar-bench-views [WIDTH HEIGHT]   (default 4096 4096, drawn at 1200 x 900)

#include "image/image_layer.h"
#include "app/scaled_copy.h"
#include "median_time.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

namespace {

double medianMicroseconds(int runs, const std::function<void()>& work) {
    return zelmar::bench::medianMs(runs, work) * 1000;
}

} // namespace

int main(int argc, char** argv) {
    const int width = argc > 2 ? std::atoi(argv[1]) : 4096;
    const int height = argc > 2 ? std::atoi(argv[2]) : 4096;
    std::vector<std::uint8_t> bits(static_cast<std::size_t>(width) * height * 4);
    for (std::size_t i = 0; i < bits.size(); ++i)
        bits[i] = static_cast<std::uint8_t>(i * 2654435761u >> 24);
    const zelmar::ImageLayer layer(zelmar::BitmapHeader{width, height, 32}, std::move(bits));

    std::vector<std::uint32_t> picture(1200 * 900);
    const zelmar::ScaledTarget target{picture.data(), 1200, 900, 1200 * 4};
    const double full = medianMicroseconds(9, [&] {
        zelmar::stretchArea(layer, zelmar::PixelRect{0, 0, width, height}, target);
    });
    int step = 0;
    const double mark = medianMicroseconds(1001, [&] {
        const int x = (step * 37) % (width - 3);
        const int y = (step++ * 91) % (height - 3);
        zelmar::stretchArea(layer, zelmar::PixelRect{x, y, x + 3, y + 3}, target);
    });
    std::printf("{\"bench\":\"view_redraw_full\",\"width\":%d,\"height\":%d,\"drawn\":\"1200x900\",\"median_"
                "us\":%.1f}\n",
                width, height, full);
    std::printf("{\"bench\":\"view_redraw_3x3_mark\",\"width\":%d,\"height\":%d,\"drawn\":\"1200x900\","
                "\"median_us\":%.3f}\n",
                width, height, mark);
    return 0;
}
