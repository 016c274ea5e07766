// The depths a shaped tool may reach, over a whole picture: median of several runs, JSON lines. Pictures: the
// shapes (two depths) and a photograph-like field of every depth; tools at 0.1 mm a pixel. Then the preview of
// "Все": the parse, the job carved on a copy and both shaded views, on the sample and on SIZE x SIZE shapes, with
// today's tool and with a 6 mm ball at the default 1.5 mm a pixel.
//
//   zelmar-bench-tool [SIZE]

#include "bench_images.h"
#include "median_time.h"
#include "picture_files/image_file.h"
#include "mill/carving.h"
#include "mill/drop_cutter.h"
#include "mill/job_simulation.h"
#include "mill/milling.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace zelmar;

namespace {

std::vector<std::uint8_t> depthsOf(const ImageLayer& layer) {
    const PixelGeometry g = layer.geometry();
    std::vector<std::uint8_t> depths(static_cast<std::size_t>(g.width) * static_cast<std::size_t>(g.height));
    for (std::int32_t y = 1; y <= g.height; ++y)
        for (std::int32_t x = 1; x <= g.width; ++x)
            depths[static_cast<std::size_t>(y - 1) * static_cast<std::size_t>(g.width) + static_cast<std::size_t>(x - 1)] =
                static_cast<std::uint8_t>(cutDepthOf(layer.bits()[static_cast<std::size_t>(g.indexOf(x, y) - 1)]));
    return depths;
}

// Smooth hills and valleys with a grain: every depth 0..25 appears, in broad areas and in small specks.
std::vector<std::uint8_t> photographDepths(std::int32_t size) {
    std::vector<std::uint8_t> depths(static_cast<std::size_t>(size) * static_cast<std::size_t>(size));
    std::uint32_t grain = 1;
    for (std::int32_t y = 0; y < size; ++y)
        for (std::int32_t x = 0; x < size; ++x) {
            grain = grain * 1664525u + 1013904223u;
            const double v = 12.5 + 6 * std::sin(x * 0.004) * std::cos(y * 0.003) + 4 * std::sin((x + 2 * y) * 0.02) +
                             2 * std::sin(x * 0.11 + y * 0.07) + static_cast<double>(grain >> 29) * 0.3;
            depths[static_cast<std::size_t>(y) * static_cast<std::size_t>(size) + static_cast<std::size_t>(x)] =
                static_cast<std::uint8_t>(std::clamp(static_cast<int>(v), 0, 25));
        }
    return depths;
}

} // namespace

int main(int argc, char** argv) {
    const int size = argc > 1 ? std::atoi(argv[1]) : 4096;
    const std::vector<std::pair<std::string, std::vector<std::uint8_t>>> pictures{
        {"shapes", depthsOf(bench::shapesImage(size, size))}, {"photograph", photographDepths(size)}};
    // The preview first: what the window and --preview do.
    std::vector<std::pair<std::string, ImageLayer>> jobs;
    LoadedImage sample = loadImageFile(ZELMAR_BIN_DIR "/test.bmp");
    if (sample.ok())
        jobs.emplace_back("sample", std::move(sample.layer));
    jobs.emplace_back("shapes", bench::shapesImage(size, size));
    for (const auto& [name, layer] : jobs)
        for (const std::string word : {"", "ball:6"}) {
            ImageSession loaded;
            loaded.layers = LayerSet::copiesOf(ImageLayer(layer));
            MillSettings settings;
            settings.tool = ToolProfile(*toolShapeOf(word), 1.5);
            float deepest = 0;
            std::size_t pictureBytes = 0;
            const double ms = bench::medianMs(3, [&] {
                ImageSession s = loaded;
                s.regions = std::make_shared<RegionAnalysis>(*loaded.regions);
                parseImage(s);
                ImageSession copy = copyForSimulation(s, MillKind::All);
                const Carving carving = carveJob(MillKind::All, copy, ToolPosition{}, settings);
                const CarvingPicture above = pictureOf(carving, CarvingView::Above);
                const CarvingPicture tilted = pictureOf(carving, CarvingView::Tilted);
                deepest = carving.deepest();
                pictureBytes = above.rgb.size() + tilted.rgb.size();
            });
            std::printf("{\"bench\":\"preview\",\"picture\":\"%s\",\"width\":%d,\"tool\":\"%s\",\"ms\":%.1f,"
                        "\"deepest\":%.1f,\"picture_bytes\":%zu}\n",
                        name.c_str(), layer.header().bmWidth, word.empty() ? "pixel" : word.c_str(), ms,
                        static_cast<double>(deepest), pictureBytes);
        }
    for (const std::string word : {"ball:6", "flat:3", "v:6:60"}) {
        const ToolProfile tool(*toolShapeOf(word), 0.1);
        for (const auto& [name, targets] : pictures) {
            std::vector<std::uint8_t> out;
            const double ms = bench::medianMs(3, [&] { out = dropCutterDepths(targets, size, size, tool); });
            std::printf("{\"bench\":\"drop_cutter\",\"picture\":\"%s\",\"size\":%d,\"tool\":\"%s\",\"mm_a_pixel\":0.1,"
                        "\"ms\":%.1f}\n",
                        name.c_str(), size, word.c_str(), ms);
        }
    }
}
