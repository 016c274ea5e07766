#include "system_memory.h"

#include <cstdlib>
#include <cstring>
#include <limits>

#if defined(_WIN32)
#include <malloc.h>
#endif

namespace zelmar {

void* allocateAligned(std::size_t alignment, std::size_t bytes) noexcept {
    const std::size_t rounded = (bytes + alignment - 1) / alignment * alignment;
    if (rounded < bytes)
        return nullptr;
#if defined(_WIN32)
    // The Windows C library has no aligned_alloc; its aligned blocks need their own free.
    return _aligned_malloc(rounded == 0 ? alignment : rounded, alignment);
#else
    return std::aligned_alloc(alignment, rounded);
#endif
}

void* allocateZeroed(std::size_t count, std::size_t size) noexcept {
    // Checked here rather than left to calloc: a checking allocator may treat the overflow as a fault.
    if (size != 0 && count > std::numeric_limits<std::size_t>::max() / size)
        return nullptr;
#if defined(_WIN32)
    const std::size_t bytes = count * size;
    void* p = allocateAligned(alignof(std::max_align_t), bytes);
    if (p != nullptr)
        std::memset(p, 0, bytes);
    return p;
#else
    return std::calloc(count, size);
#endif
}

void releaseMemory(void* p) noexcept {
#if defined(_WIN32)
    _aligned_free(p);
#else
    std::free(p);
#endif
}

} // namespace zelmar
