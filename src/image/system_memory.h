#pragma once
// The few memory calls that differ between systems, for arrays of image size: aligned blocks and blocks that
// come zero-filled. Everything allocated here is given back with releaseMemory.

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace zelmar {

// alignment: a power of two, at least alignof(std::max_align_t). nullptr when the memory cannot be had.
void* allocateAligned(std::size_t alignment, std::size_t bytes) noexcept;
// count * size bytes, all zero: where the system's calloc hands out fresh pages, nothing is written until
// used. nullptr when the memory cannot be had or the product overflows.
void* allocateZeroed(std::size_t count, std::size_t size) noexcept;
void releaseMemory(void* p) noexcept;
// Pages in the whole pages of p .. p + bytes as if written, in one call where the system can: a fresh page
// costs a fault at its first touch otherwise, and faults cost more than a bulk request. The contents stay as
// they are; where the call is missing or refused, the pages come in at first touch as before.
void pageInForWriting(void* p, std::size_t bytes) noexcept;
// Gives the whole pages of p .. p + bytes back to the system, where it can, while the block stays allocated:
// for a part that will not be read again. Their contents are undefined from here on.
void giveBackPages(void* p, std::size_t bytes) noexcept;

// The pages of an array that a writer fills from its start, paged in a block at a time by the bulk call just
// before the writer gets to them, rather than a fault a page. follow() is told now and then how far the
// writer has got; what it writes past a margin's worth between two calls comes in at first touch.
class PagesAhead {
public:
    PagesAhead() = default;
    PagesAhead(void* begin, std::size_t bytes)
        : next_(reinterpret_cast<std::uintptr_t>(begin)), end_(next_ + bytes) {}

    void follow(const void* writtenUpTo) noexcept {
        const auto at = reinterpret_cast<std::uintptr_t>(writtenUpTo);
        if (at + margin < next_ || next_ == end_)
            return;
        next_ = std::max(next_, std::min(at, end_));
        const std::size_t bytes = std::min<std::size_t>(block, end_ - next_);
        pageInForWriting(reinterpret_cast<void*>(next_), bytes);
        next_ += bytes;
    }

private:
    // A block is a few dozen pages: a big one would page in much that a small picture never writes.
    static constexpr std::size_t block = std::size_t{256} << 10;
    static constexpr std::size_t margin = std::size_t{128} << 10;
    std::uintptr_t next_ = 0; // paged in up to here
    std::uintptr_t end_ = 0;
};

// Blocks whose copies share the pages they have not written, where the system can (Linux: a memory file).
// A block is a shared mapping of its file; a copy maps the file privately, so that its writes stay its own,
// and costs only the pages it writes. Before the block itself is written in place while copies map the file,
// privatePages() turns it into a private mapping of the file too (at another address; p is given back).
// Elsewhere, or when the system refuses, each call fails (nullptr) and the caller copies as before. Blocks
// are given back with releasePages, the file (-1 on failure) with closePagesFile.
void* allocateShareablePages(std::size_t bytes, int& file) noexcept;
void* privatePages(void* p, std::size_t bytes, int file) noexcept;
void* mapPagesCopy(std::size_t bytes, int file) noexcept;
void releasePages(void* p, std::size_t bytes) noexcept;
void closePagesFile(int file) noexcept;

} // namespace zelmar
