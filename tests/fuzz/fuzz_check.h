#pragma once
// A broken promise inside a fuzz target: say which and abort, which the fuzzer records as a crash with its
// input.

#include <cstdio>
#include <cstdlib>

namespace zelmar::fuzz {

inline void require(bool holds, const char* promise) {
    if (!holds) {
        std::fprintf(stderr, "broken: %s\n", promise);
        std::abort();
    }
}

} // namespace zelmar::fuzz
