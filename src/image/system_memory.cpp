#include "system_memory.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

#if defined(_WIN32)
#include <malloc.h>
#endif
#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
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

void pageInForWriting(void* p, std::size_t bytes) noexcept {
#if defined(__linux__)
#if !defined(MADV_POPULATE_WRITE)
    constexpr int MADV_POPULATE_WRITE = 23; // Linux 5.14; older kernels refuse it
#endif
    static const auto pageSize = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto begin = (reinterpret_cast<std::uintptr_t>(p) + pageSize - 1) & ~(pageSize - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(p) + bytes) & ~(pageSize - 1);
    if (end > begin)
        madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
#else
    (void)p;
    (void)bytes;
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
