// The yardstick for "Разобрать": OpenCV's connected components (8-connectivity) and contour tree on the same
// generated images, single-threaded, fresh output each run like our parse. Built only where OpenCV is
// installed; never linked into the program.
//
//   zelmar-bench-opencv [--runs N]

#include "bench_images.h"
#include "median_time.h"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using zelmar::bench::medianMs;

} // namespace

int main(int argc, char** argv) {
    int runs = 7;
    if (argc > 2 && std::strcmp(argv[1], "--runs") == 0)
        runs = std::max(1, std::atoi(argv[2]));
    cv::setNumThreads(1);
    {
        // The relief yardsticks: a 3 x 3 morphological gradient with a threshold, and a 3 x 3 dilation, on
        // the first bytes of the shapes picture.
        const zelmar::ImageLayer layer = zelmar::bench::imageOfKind("shapes", 4096, 4096);
        cv::Mat bgra(4096, 4096, CV_8UC4, const_cast<std::uint8_t*>(layer.bits().data()));
        std::vector<cv::Mat> channels;
        cv::split(bgra, channels);
        const cv::Mat kernel = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(3, 3));
        cv::Mat gradient, edges, dilated;
        const double gradientMs = medianMs(runs, [&] {
            cv::morphologyEx(channels[0], gradient, cv::MORPH_GRADIENT, kernel);
            cv::threshold(gradient, edges, 10, 255, cv::THRESH_BINARY);
        });
        const double dilateMs = medianMs(runs, [&] { cv::dilate(channels[0], dilated, kernel); });
        std::printf(
            "{\"bench\":\"opencv_relief\",\"size\":4096,\"gradient_threshold_ms\":%.2f,\"dilate_ms\":%.2f}\n",
            gradientMs, dilateMs);
        std::fflush(stdout);
    }
    for (const char* kind : {"shapes", "noise"}) {
        for (int size : {2048, 4096}) {
            const zelmar::ImageLayer layer = zelmar::bench::imageOfKind(kind, size, size);
            // The same light test as ours (first byte > 100), done once outside the timing: OpenCV wants a
            // mask.
            cv::Mat bgra(size, size, CV_8UC4, const_cast<std::uint8_t*>(layer.bits().data()));
            std::vector<cv::Mat> channels;
            cv::split(bgra, channels);
            cv::Mat dark = channels[0] <= 100;
            const double components = medianMs(runs, [&] {
                cv::Mat labels;
                cv::connectedComponents(dark, labels, 8, CV_32S);
            });
            // The same with the label image allocated once and reused: no page faults for the output.
            cv::Mat reused;
            const double componentsReused =
                medianMs(runs, [&] { cv::connectedComponents(dark, reused, 8, CV_32S); });
            double contours = -1;
            if (std::string(kind) == "shapes")
                contours = medianMs(runs, [&] {
                    cv::Mat labels;
                    cv::connectedComponents(dark, labels, 8, CV_32S);
                    std::vector<std::vector<cv::Point>> found;
                    std::vector<cv::Vec4i> hierarchy;
                    cv::findContours(dark, found, hierarchy, cv::RETR_TREE, cv::CHAIN_APPROX_NONE);
                });
            std::printf(
                "{\"bench\":\"opencv\",\"image\":\"%s-%d\",\"runs\":%d,\"connectedComponents_ms\":%.2f,"
                "\"connectedComponents_reused_output_ms\":%.2f,\"components_plus_contour_tree_ms\":%.2f}\n",
                kind, size, runs, components, componentsReused, contours);
            std::fflush(stdout);
        }
    }
    return 0;
}
