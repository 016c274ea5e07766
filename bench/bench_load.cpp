// Opening a big picture as the operator meets it: whole processes, cold, ours beside OpenCV's (when
// libopencv-dev is installed), measured in turns within one run so that both sides share the machine's
// load. One JSON line per picture and side, medians with their spread.
//
//   zelmar-bench-load [--runs N] [--idle SECONDS] [--dir DIR] [--size S] [IMAGE ...]
//
// Without images it draws the parse benchmark's shapes and 50 % noise at S x S (4096) as 24-bit BMP files in
// DIR (default: the temporary folder), once. Each round runs, as separate processes:
//   zelmar-cli IMAGE          our load, the whole process, and its peak resident size
//   zelmar-cli IMAGE parse    the same with the parse: peak resident size
//   ourselves --once ours     load, then the first parse of the process, each timed inside
//   ourselves --once window   the work window opening on the picture (offscreen)
//   ourselves --once opencv-load   imread and the threshold, the whole process
//   ourselves --once opencv-parse  imread and threshold, then connectedComponents (8), the first of
//                                  the process
//   ourselves --once opencv-tree   the same followed by findContours (tree), the yardstick of our links
//                                  and tree; only for pictures of under 100 000 tree nodes (on noise it
//                                  takes minutes)
//
// With --idle every child starts after that long a pause, as a user opens a picture after other work: the
// memory that children before it gave back is then settled again (on a virtual machine, often handed back
// to the host), and fresh memory costs what it costs at first.
//
// The --once modes are the measured children; they print one JSON line.
//
//   zelmar-bench-load --dry-job [--runs N] [--dir DIR] [--cli PATH ...]
//
// A dry "Все" as whole processes: the shapes of a 512 x 512 picture alone and in the corner of a 4096 x 4096
// white one (the same moves, 64 times the pixels), each as `zelmar-cli PICTURE parse` and `zelmar-cli PICTURE
// parse mill-all --commands FILE`. Every --cli given (default: ours, beside this program) takes its turn in each
// round. Per program: what the job costs beyond the parse at each size, what the big picture adds to it, the
// job's cost a command at 4096, and the peak resident sizes, the job's beyond the parse's in bytes a pixel.
//
//   zelmar-bench-load --preview [--runs N] [--dir DIR] [--size S] [--cli PATH ...] [--tool SHAPE ...]
//
// The carving preview of a dry "Все" as whole processes: `zelmar-cli SHAPES parse mill-all --steps 15 --tool
// SHAPE --preview FILE` on the S x S shapes (4096) at 0.15 mm a pixel, for each tool (default ball:6 and
// ball:30) and each --cli in turn. Per program and tool: wall time and peak resident size in bytes a pixel,
// medians with their spread, and the same of the parse alone.

#include "picture_files/image_file.h"
#include "app/work_window.h"
#include "bench_images.h"
#include "image/bmp_file.h"
#include "image/image_session.h"

#include <QApplication>

#if defined(ZELMAR_WITH_OPENCV)
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#endif

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

using namespace zelmar;
namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// ---- the measured children ----

int onceOurs(const std::string& file) {
    const auto start = Clock::now();
    LoadedImage loaded = loadImageFile(file);
    if (!loaded.ok()) {
        std::fprintf(stderr, "%s\n", loaded.error.c_str());
        return 1;
    }
    ImageSession session;
    session.layers = LayerSet::copiesOf(std::move(loaded.layer));
    const double loadMs = msSince(start);
    const auto parseStart = Clock::now();
    parseImage(session);
    const double parseMs = msSince(parseStart);
    const BitmapHeader& h = session.layers.header();
    std::printf("{\"load_ms\":%.3f,\"parse_ms\":%.3f,\"tree_nodes\":%zu,\"pixels\":%lld}\n", loadMs, parseMs,
                session.regions->tree.nodes.size(),
                static_cast<long long>(std::int64_t{h.bmWidth} * h.bmHeight));
    return 0;
}

// The window reads cnc.ini in its program folder, and its picture from there. A folder of its own stands in
// for it, with a link to the picture: a cnc.ini beside the picture is somebody's settings, left as they are.
// The application comes first: where Qt cannot start, it ends the process before there is a folder to leave.
int onceWindow(const std::string& file) {
    int argc = 1;
    char program[] = "zelmar-bench-load";
    char* argv[] = {program, nullptr};
    QApplication app(argc, argv);
    std::string folder = (fs::temp_directory_path() / "zelmar-bench-window-XXXXXX").string();
    if (mkdtemp(folder.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path dir = folder;
    const fs::path name = fs::path(file).filename();
    std::error_code error;
    fs::create_symlink(fs::absolute(file), dir / name, error);
    {
        std::ofstream ini(dir / "cnc.ini", std::ios::trunc);
        ini << "[CNC]\nPort=no-such-port\nImage=" << name.string() << "\n";
    }
    double ms = 0;
    int width = 0;
    if (!error) {
        ToolPosition tool;
        const auto start = Clock::now();
        WorkWindow window(ConfigLocations::programFolderOnly(dir.string()), tool, QString());
        window.show();
        ms = msSince(start);
        width = window.controller().session().layers.header().bmWidth;
    }
    fs::remove_all(dir, error);
    if (width == 0)
        return 1;
    std::printf("{\"window_ms\":%.3f,\"width\":%d}\n", ms, width);
    return 0;
}

#if defined(ZELMAR_WITH_OPENCV)
// The same light test as ours: the first (blue) byte above 100 is light; OpenCV labels the dark pixels.
cv::Mat darkMask(const std::string& file) {
    const cv::Mat picture = cv::imread(file, cv::IMREAD_COLOR);
    if (picture.empty())
        return {};
    cv::Mat blue, dark;
    cv::extractChannel(picture, blue, 0);
    cv::threshold(blue, dark, 100, 255, cv::THRESH_BINARY_INV);
    return dark;
}

int onceOpencv(const std::string& file, bool parse, bool tree) {
    cv::setNumThreads(1);
    const auto start = Clock::now();
    const cv::Mat dark = darkMask(file);
    const double loadMs = msSince(start);
    if (dark.empty())
        return 1;
    if (!parse) {
        std::printf("{\"load_ms\":%.3f}\n", loadMs);
        return 0;
    }
    auto t = Clock::now();
    cv::Mat labels;
    const int count = cv::connectedComponents(dark, labels, 8, CV_32S);
    const double componentsMs = msSince(t);
    double contoursMs = -1;
    if (tree) {
        t = Clock::now();
        std::vector<std::vector<cv::Point>> found;
        std::vector<cv::Vec4i> hierarchy;
        cv::findContours(dark, found, hierarchy, cv::RETR_TREE, cv::CHAIN_APPROX_NONE);
        contoursMs = msSince(t);
    }
    std::printf("{\"load_ms\":%.3f,\"components_ms\":%.3f,\"contours_ms\":%.3f,\"components\":%d}\n", loadMs,
                componentsMs, contoursMs, count);
    return 0;
}
#endif

// ---- the parent: runs the children in turns ----

struct Child {
    double wallMs = 0;
    double peakMb = 0;
    std::map<std::string, double> numbers; // from the child's JSON line
    bool ok = false;
};

// Numbers of a flat JSON line; enough for what the children print.
std::map<std::string, double> numbersOf(const std::string& line) {
    std::map<std::string, double> out;
    std::size_t at = 0;
    while ((at = line.find('"', at)) != std::string::npos) {
        const std::size_t end = line.find('"', at + 1);
        if (end == std::string::npos || end + 1 >= line.size() || line[end + 1] != ':')
            break;
        const std::string key = line.substr(at + 1, end - at - 1);
        char* stop = nullptr;
        const double value = std::strtod(line.c_str() + end + 2, &stop);
        if (stop != line.c_str() + end + 2)
            out[key] = value;
        at = end + 1;
    }
    return out;
}

double idleSeconds = 0;

void idle() {
    if (idleSeconds > 0)
        std::this_thread::sleep_for(std::chrono::duration<double>(idleSeconds));
}

Child run(const std::vector<std::string>& args, bool offscreen = false) {
    idle();
    Child child;
    int out[2];
    if (pipe(out) != 0)
        return child;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (!offscreen || std::strncmp(*e, "QT_QPA_PLATFORM=", 16) != 0)
            env.emplace_back(*e);
    if (offscreen)
        env.emplace_back("QT_QPA_PLATFORM=offscreen");
    std::vector<char*> envp;
    for (std::string& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    const auto start = Clock::now();
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    std::string text;
    char buffer[4096];
    for (ssize_t n; spawned == 0 && (n = read(out[0], buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(n));
    close(out[0]);
    if (spawned != 0)
        return child;
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    child.wallMs = msSince(start);
    child.peakMb = static_cast<double>(usage.ru_maxrss) / 1024.0;
    child.numbers = numbersOf(text);
    child.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return child;
}

struct Series {
    std::vector<double> values;
    void add(double v) { values.push_back(v); }
    double median() const {
        std::vector<double> v = values;
        std::sort(v.begin(), v.end());
        return v.empty() ? -1 : v[v.size() / 2];
    }
    double low() const { return values.empty() ? -1 : *std::min_element(values.begin(), values.end()); }
    double high() const { return values.empty() ? -1 : *std::max_element(values.begin(), values.end()); }
};

std::string json(const std::string& key, const Series& s) {
    char text[200];
    std::snprintf(text, sizeof text, ",\"%s\":{\"median\":%.1f,\"min\":%.1f,\"max\":%.1f}", key.c_str(),
                  s.median(), s.low(), s.high());
    return text;
}

std::string secondsText(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", seconds);
    return text;
}

// Only with OpenCV is there a side to compare with.
[[maybe_unused]] std::string ratio(const std::string& key, const Series& ours, const Series& theirs) {
    char text[100];
    std::snprintf(text, sizeof text, ",\"%s\":%.2f", key.c_str(), ours.median() / theirs.median());
    return text;
}

fs::path binDir() {
    return fs::read_symlink("/proc/self/exe").parent_path();
}

// The peak resident sizes are those of the children alone: the parent never holds a picture, as a child's
// peak counts what its parent held when it was spawned.
void measure(const std::string& file, int runs) {
    const std::string cli = (binDir() / "zelmar-cli").string();
    const std::string self = (binDir() / "zelmar-bench-load").string();
    std::map<std::string, Series> s;
    bool failed = false;
    for (int r = 0; r < runs; ++r) {
        const auto note = [&](const Child& c) {
            failed = failed || !c.ok;
            return c;
        };
        Child inside = note(run({self, "--once", "ours", file}));
        const double pixels = std::max(1.0, inside.numbers["pixels"]);
        Child load = note(run({cli, file}));
        s["cli_load_ms"].add(load.wallMs);
        s["cli_load_peak_bytes_per_pixel"].add(load.peakMb * 1048576.0 / pixels);
        Child parse = note(run({cli, file, "parse"}));
        s["cli_parse_process_ms"].add(parse.wallMs);
        s["cli_parse_peak_bytes_per_pixel"].add(parse.peakMb * 1048576.0 / pixels);
        s["load_in_process_ms"].add(inside.numbers["load_ms"]);
        s["parse_cold_ms"].add(inside.numbers["parse_ms"]);
        Child window = note(run({self, "--once", "window", file}, true));
        s["window_process_ms"].add(window.wallMs);
        s["window_open_ms"].add(window.numbers["window_ms"]);
#if defined(ZELMAR_WITH_OPENCV)
        Child cvLoad = note(run({self, "--once", "opencv-load", file}));
        s["opencv_load_ms"].add(cvLoad.wallMs);
        Child cvParse = note(run({self, "--once", "opencv-parse", file}));
        s["opencv_load_in_process_ms"].add(cvParse.numbers["load_ms"]);
        s["opencv_components_cold_ms"].add(cvParse.numbers["components_ms"]);
        if (inside.numbers["tree_nodes"] < 100'000) {
            Child cvTree = note(run({self, "--once", "opencv-tree", file}));
            s["opencv_components_contours_cold_ms"].add(cvTree.numbers["components_ms"] +
                                                        cvTree.numbers["contours_ms"]);
        }
#endif
    }
    std::string line = "{\"bench\":\"load\",\"image\":\"" + fs::path(file).filename().string() +
                       "\",\"runs\":" + std::to_string(runs) + ",\"idle_s\":" + secondsText(idleSeconds) +
                       (failed ? ",\"failed\":true" : "");
    for (const auto& [key, series] : s)
        line += json(key, series);
#if defined(ZELMAR_WITH_OPENCV)
    line += ratio("load_ratio", s["cli_load_ms"], s["opencv_load_ms"]);
    line += ratio("parse_ratio_components", s["parse_cold_ms"], s["opencv_components_cold_ms"]);
    if (s.count("opencv_components_contours_cold_ms"))
        line += ratio("parse_ratio_components_contours", s["parse_cold_ms"],
                      s["opencv_components_contours_cold_ms"]);
#else
    line += ",\"opencv\":null";
#endif
    std::printf("%s}\n", line.c_str());
    std::fflush(stdout);
}

// The number of lines of a file: the commands a job sent.
double linesOf(const fs::path& file) {
    std::ifstream in(file);
    double lines = 0;
    for (std::string line; std::getline(in, line);)
        ++lines;
    return lines;
}

// The drawings of the dry job, written by a child of their own: a child's peak resident size counts what its parent
// held when it was spawned.
int onceDrawings(const fs::path& dir) {
    fs::create_directories(dir);
    const ImageLayer small = bench::shapesImage(512, 512, 7);
    for (const std::int32_t size : {512, 4096}) {
        const fs::path file = dir / ("drawing-512-on-" + std::to_string(size) + ".bmp");
        if (!writeBmp24(file.string(), size == 512 ? small : bench::inCorner(small, size))) {
            std::fprintf(stderr, "cannot write %s\n", file.string().c_str());
            return 1;
        }
    }
    return 0;
}

void measureDryJob(const fs::path& dir, int runs, const std::vector<std::string>& clis) {
    const std::vector<std::pair<std::string, std::int32_t>> sizes = {{"512", 512}, {"4096", 4096}};
    if (!run({(binDir() / "zelmar-bench-load").string(), "--once", "drawings", dir.string()}).ok)
        return;
    std::map<std::string, fs::path> files;
    for (const auto& [name, size] : sizes)
        files[name] = dir / ("drawing-512-on-" + name + ".bmp");
    const fs::path commands = dir / "dry-job-commands.txt";
    std::vector<std::map<std::string, Series>> s(clis.size());
    std::vector<double> steps(clis.size(), 0);
    std::vector<bool> failed(clis.size(), false);
    for (int r = 0; r < runs; ++r)
        for (std::size_t c = 0; c < clis.size(); ++c)
            for (const auto& [name, size] : sizes) {
                const std::string file = files[name].string();
                const Child parse = run({clis[c], file, "parse"});
                const Child job = run({clis[c], file, "parse", "mill-all", "--commands", commands.string()});
                failed[c] = failed[c] || !parse.ok || !job.ok;
                steps[c] = linesOf(commands);
                s[c]["parse_" + name + "_ms"].add(parse.wallMs);
                s[c]["job_" + name + "_ms"].add(job.wallMs);
                s[c]["parse_" + name + "_peak_mb"].add(parse.peakMb);
                s[c]["job_" + name + "_peak_mb"].add(job.peakMb);
            }
    for (std::size_t c = 0; c < clis.size(); ++c) {
        auto& m = s[c];
        const double own512 = m["job_512_ms"].median() - m["parse_512_ms"].median();
        const double own4096 = m["job_4096_ms"].median() - m["parse_4096_ms"].median();
        char figures[400];
        std::snprintf(figures, sizeof figures,
                      ",\"commands\":%.0f,\"job_beyond_parse_512_ms\":%.1f,\"job_beyond_parse_4096_ms\":%.1f,"
                      "\"job_4096_adds_over_512_ms\":%.1f,\"job_4096_us_per_command\":%.2f,"
                      "\"job_peak_beyond_parse_4096_bytes_per_pixel\":%.2f",
                      steps[c], own512, own4096, own4096 - own512, own4096 * 1000 / std::max(steps[c], 1.0),
                      (m["job_4096_peak_mb"].median() - m["parse_4096_peak_mb"].median()) * 1048576.0 /
                          (4096.0 * 4096.0));
        std::string line = "{\"bench\":\"dry_job_process\",\"cli\":\"" + clis[c] + "\",\"runs\":" +
                           std::to_string(runs) + (failed[c] ? ",\"failed\":true" : "") + figures;
        for (const auto& [key, series] : m)
            line += json(key, series);
        std::printf("%s}\n", line.c_str());
    }
    std::fflush(stdout);
}

// The S x S shapes, written once by a child of its own (the parent holds no picture).
int onceShapes(const fs::path& file, std::int32_t size) {
    fs::create_directories(file.parent_path());
    const auto expectedBytes = static_cast<std::uintmax_t>(54 + std::int64_t{(size * 3 + 3) / 4 * 4} * size);
    std::error_code ignored;
    if (fs::file_size(file, ignored) == expectedBytes)
        return 0;
    if (!writeBmp24(file.string(), bench::shapesImage(size, size))) {
        std::fprintf(stderr, "cannot write %s\n", file.string().c_str());
        return 1;
    }
    return 0;
}

void measurePreview(const fs::path& dir, int runs, std::int32_t size, const std::vector<std::string>& clis,
                    const std::vector<std::string>& tools) {
    const fs::path file = dir / ("shapes-" + std::to_string(size) + ".bmp");
    if (!run({(binDir() / "zelmar-bench-load").string(), "--once", "shapes", file.string(), std::to_string(size)}).ok)
        return;
    const double pixels = static_cast<double>(size) * size;
    const fs::path preview = dir / "preview.png";
    std::map<std::string, std::map<std::string, Series>> s; // by cli and tool
    std::map<std::string, bool> failed;
    for (int r = 0; r < runs; ++r)
        for (const std::string& cli : clis) {
            const Child parse = run({cli, file.string(), "parse"});
            failed[cli] = failed[cli] || !parse.ok;
            s[cli + " parse"]["ms"].add(parse.wallMs);
            s[cli + " parse"]["peak_bytes_per_pixel"].add(parse.peakMb * 1048576.0 / pixels);
            for (const std::string& tool : tools) {
                const Child job = run({cli, file.string(), "parse", "mill-all", "--steps", "15", "--tool", tool,
                                       "--preview", preview.string()});
                failed[cli + " " + tool] = !job.ok || failed[cli + " " + tool];
                s[cli + " " + tool]["ms"].add(job.wallMs);
                s[cli + " " + tool]["peak_bytes_per_pixel"].add(job.peakMb * 1048576.0 / pixels);
            }
        }
    for (const std::string& cli : clis)
        for (const std::string& tool : tools) {
            std::string line = "{\"bench\":\"preview_process\",\"cli\":\"" + cli + "\",\"size\":" +
                               std::to_string(size) + ",\"mm_a_pixel\":0.15,\"tool\":\"" + tool + "\",\"runs\":" +
                               std::to_string(runs) + (failed[cli + " " + tool] ? ",\"failed\":true" : "");
            for (const auto& [key, series] : s[cli + " " + tool])
                line += json(key, series);
            for (const auto& [key, series] : s[cli + " parse"])
                line += json("parse_" + key, series);
            std::printf("%s}\n", line.c_str());
        }
    std::fflush(stdout);
}

} // namespace

int usage(std::FILE* to) {
    std::fputs("usage: zelmar-bench-load [--runs N] [--idle SECONDS] [--dir DIR] [--size S] [IMAGE ...]\n"
               "       zelmar-bench-load --dry-job [--runs N] [--dir DIR] [--cli PATH ...]\n"
               "       zelmar-bench-load --preview [--runs N] [--dir DIR] [--size S] [--cli PATH ...] [--tool SHAPE ...]\n",
               to);
    return to == stdout ? 0 : 2;
}

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--once") == 0) {
        const std::string mode = argv[2];
        if (mode == "ours")
            return onceOurs(argv[3]);
        if (mode == "window")
            return onceWindow(argv[3]);
        if (mode == "drawings")
            return onceDrawings(argv[3]);
#if defined(ZELMAR_WITH_OPENCV)
        if (mode == "opencv-load" || mode == "opencv-parse" || mode == "opencv-tree")
            return onceOpencv(argv[3], mode != "opencv-load", mode == "opencv-tree");
#endif
        return 2;
    }
    if (argc == 5 && std::strcmp(argv[1], "--once") == 0 && std::strcmp(argv[2], "shapes") == 0)
        return onceShapes(argv[3], std::max(16, std::atoi(argv[4])));

    int runs = 5;
    int size = 4096;
    fs::path dir = fs::temp_directory_path() / "zelmar-bench-load";
    std::vector<std::string> files;
    std::vector<std::string> clis;
    bool dryJob = false;
    bool preview = false;
    std::vector<std::string> tools;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--idle") == 0 && i + 1 < argc)
            idleSeconds = std::clamp(std::atof(argv[++i]), 0.0, 60.0);
        else if (std::strcmp(argv[i], "--dir") == 0 && i + 1 < argc)
            dir = argv[++i];
        else if (std::strcmp(argv[i], "--size") == 0 && i + 1 < argc)
            size = std::max(16, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--dry-job") == 0)
            dryJob = true;
        else if (std::strcmp(argv[i], "--preview") == 0)
            preview = true;
        else if (std::strcmp(argv[i], "--tool") == 0 && i + 1 < argc)
            tools.emplace_back(argv[++i]);
        else if (std::strcmp(argv[i], "--cli") == 0 && i + 1 < argc)
            clis.emplace_back(fs::absolute(argv[++i]).string());
        else if (std::strncmp(argv[i], "--", 2) == 0)
            return usage(std::strcmp(argv[i], "--help") == 0 ? stdout : stderr);
        else
            files.emplace_back(fs::absolute(argv[i]).string());
    }
    if (clis.empty())
        clis.push_back((binDir() / "zelmar-cli").string());
    if (dryJob) {
        measureDryJob(dir, runs, clis);
        return 0;
    }
    if (preview) {
        if (tools.empty())
            tools = {"ball:6", "ball:30"};
        measurePreview(dir, runs, size, clis, tools);
        return 0;
    }
    if (files.empty()) {
        fs::create_directories(dir);
        for (const char* kind : {"shapes", "noise"}) {
            const fs::path file = dir / (std::string(kind) + "-" + std::to_string(size) + ".bmp");
            const auto expectedBytes =
                static_cast<std::uintmax_t>(54 + std::int64_t{(size * 3 + 3) / 4 * 4} * size);
            std::error_code ignored;
            if (fs::file_size(file, ignored) != expectedBytes &&
                !writeBmp24(file.string(), bench::imageOfKind(kind, size, size))) {
                std::fprintf(stderr, "cannot write %s\n", file.string().c_str());
                return 1;
            }
            files.push_back(fs::absolute(file).string());
        }
    }
    for (const std::string& file : files)
        measure(file, runs);
    return 0;
}
