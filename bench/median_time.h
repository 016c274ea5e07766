#pragma once
// The benchmarks' clock: the median of several runs, in milliseconds.

#include <algorithm>
#include <chrono>
#include <vector>

namespace zelmar::bench {

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

} // namespace zelmar::bench
