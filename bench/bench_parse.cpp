// "Разобрать" on big images: labelling, links and tree data, the median of several runs, as JSON lines.
//
//   zelmar-bench-parse [--runs N] [IMAGE-FILE ...]
//
// Without files it measures generated shapes and 50 % noise at 2048 x 2048 and 4096 x 4096 (the pair shows
// how time grows with the pixel count).

#include "picture_files/image_file.h"
#include "bench_images.h"
#include "image/regions.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

using namespace zelmar;

namespace {

void measure(const std::string& name, const ImageLayer& layer, int runs) {
    std::vector<double> ms;
    RegionAnalysis last;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        RegionAnalysis a = parseRegions(layer.geometry(), layer.bits().data());
        ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        if (i + 1 == runs)
            last = std::move(a);
    }
    std::sort(ms.begin(), ms.end());
    std::int64_t live = 0;
    for (std::int32_t id = 1; id <= last.tables.regionTableSize(); ++id)
        live += last.tables.isLive(id) ? 1 : 0;
    std::printf(
        "{\"bench\":\"parse\",\"image\":\"%s\",\"width\":%d,\"height\":%d,\"runs\":%d,\"median_ms\":%.2f,"
        "\"min_ms\":%.2f,\"regions\":%lld,\"links\":%d,\"tree_nodes\":%zu}\n",
        name.c_str(), layer.header().bmWidth, layer.header().bmHeight, runs, ms[ms.size() / 2], ms.front(),
        static_cast<long long>(live), last.tables.linkCount, last.tree.nodes.size());
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    int runs = 7;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else
            files.emplace_back(argv[i]);
    }
    if (files.empty()) {
        for (const char* kind : {"shapes", "noise"})
            for (int size : {2048, 4096})
                measure(std::string(kind) + "-" + std::to_string(size), bench::imageOfKind(kind, size, size),
                        runs);
        return 0;
    }
    for (const std::string& file : files) {
        const LoadedImage loaded = loadImageFile(file);
        if (!loaded.ok()) {
            std::fprintf(stderr, "%s\n", loaded.error.c_str());
            return 1;
        }
        measure(file, loaded.layer, runs);
    }
    return 0;
}
