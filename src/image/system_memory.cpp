#include "system_memory.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

#if defined(_WIN32)
#include <malloc.h>
#endif
#if defined(__linux__)
#include <fcntl.h>
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

#if defined(__linux__)
namespace {

// The advice for the whole pages of p .. p + bytes; the parts of pages at either end are left alone, as they
// may belong to other blocks.
void adviseWholePages(void* p, std::size_t bytes, int advice) noexcept {
    static const auto pageSize = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto begin = (reinterpret_cast<std::uintptr_t>(p) + pageSize - 1) & ~(pageSize - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(p) + bytes) & ~(pageSize - 1);
    if (end > begin)
        madvise(reinterpret_cast<void*>(begin), end - begin, advice);
}

} // namespace
#endif

void pageInForWriting(void* p, std::size_t bytes) noexcept {
#if defined(__linux__)
#if !defined(MADV_POPULATE_WRITE)
    constexpr int MADV_POPULATE_WRITE = 23; // Linux 5.14; older kernels refuse it
#endif
    adviseWholePages(p, bytes, MADV_POPULATE_WRITE);
#else
    (void)p;
    (void)bytes;
#endif
}

void giveBackPages(void* p, std::size_t bytes) noexcept {
#if defined(__linux__)
    adviseWholePages(p, bytes, MADV_DONTNEED);
#else
    (void)p;
    (void)bytes;
#endif
}

#if defined(__linux__)
namespace {

void* mapFile(std::size_t bytes, int flags, int file) noexcept {
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, flags, file, 0);
    return p == MAP_FAILED ? nullptr : p;
}

} // namespace

void* allocateShareablePages(std::size_t bytes, int& file) noexcept {
    file = -1;
    if (bytes == 0)
        return nullptr;
    const int fd = memfd_create("zelmar-layer", MFD_CLOEXEC);
    if (fd < 0)
        return nullptr;
    void* p = nullptr;
    if (ftruncate(fd, static_cast<off_t>(bytes)) == 0) {
        // The file's pages in one request and mapped at once: a fault a page costs more on a file than in
        // anonymous memory. Refused, they come at first touch.
        (void)fallocate(fd, 0, 0, static_cast<off_t>(bytes));
        p = mapFile(bytes, MAP_SHARED | MAP_POPULATE, fd);
    }
    if (p == nullptr) {
        close(fd);
        return nullptr;
    }
    file = fd;
    return p;
}

void* privatePages(void* p, std::size_t bytes, int file) noexcept {
    void* own = mapFile(bytes, MAP_PRIVATE, file);
    if (own != nullptr)
        munmap(p, bytes);
    return own;
}

void* mapPagesCopy(std::size_t bytes, int file) noexcept {
    return mapFile(bytes, MAP_PRIVATE, file);
}

void releasePages(void* p, std::size_t bytes) noexcept {
    munmap(p, bytes);
}

void closePagesFile(int file) noexcept {
    close(file);
}
#else
void* allocateShareablePages(std::size_t, int& file) noexcept {
    file = -1;
    return nullptr;
}

void* privatePages(void*, std::size_t, int) noexcept {
    return nullptr;
}

void* mapPagesCopy(std::size_t, int) noexcept {
    return nullptr;
}

void releasePages(void*, std::size_t) noexcept {}

void closePagesFile(int) noexcept {}
#endif

void releaseMemory(void* p) noexcept {
#if defined(_WIN32)
    _aligned_free(p);
#else
    std::free(p);
#endif
}

} // namespace zelmar
