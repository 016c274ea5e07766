#pragma once
// The few memory calls that differ between systems, for arrays of image size: aligned blocks and blocks that
// come zero-filled. Everything allocated here is given back with releaseMemory.

#include <cstddef>

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

} // namespace zelmar
