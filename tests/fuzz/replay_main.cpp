// Runs a fuzz target over files and folders of saved inputs (the seed corpus and every input that once made it
// fail), so the normal test suite keeps them as regression tests. A failing input aborts inside the target.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

int replay(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    const std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (!in.eof() && in.fail()) {
        std::fprintf(stderr, "cannot read %s\n", file.c_str());
        return 1;
    }
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize)
        LLVMFuzzerInitialize(&argc, &argv);
    int files = 0;
    int unreadable = 0;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path path(argv[i]);
        if (std::filesystem::is_directory(path)) {
            std::vector<std::filesystem::path> entries;
            for (const auto& entry : std::filesystem::directory_iterator(path))
                if (entry.is_regular_file())
                    entries.push_back(entry.path());
            std::sort(entries.begin(), entries.end());
            for (const auto& entry : entries) {
                unreadable += replay(entry);
                ++files;
            }
        } else if (std::filesystem::exists(path)) {
            unreadable += replay(path);
            ++files;
        }
    }
    std::printf("%d inputs replayed\n", files);
    // A corpus that went missing would make this test pass while checking nothing.
    return files == 0 || unreadable > 0 ? 1 : 0;
}
