#pragma once
// Arrays of image size (label maps, run lists) that are written whole before they are read: allocated without
// initialising, so that no page is touched twice and none that is never written is touched at all.
// Deliberately in ordinary pages: asking for huge ones made a cold parse of a noisy picture two to three
// times slower whenever the kernel had to find or back fresh 2 MiB blocks, and only a little faster
// otherwise.

#include "system_memory.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <type_traits>

namespace zelmar {

template <typename T> class LargeArray {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    LargeArray() = default;
    // Contents undefined: every element must be written before it is read.
    explicit LargeArray(std::size_t size) : size_(size), data_(allocate(size)) {}
    LargeArray(std::size_t size, const T& value) : LargeArray(size) { std::fill_n(data_.get(), size, value); }

    // All zero without writing a byte: fresh pages from the system are zero, and only those touched later
    // cost anything. For a per-pixel table of which few entries will ever be set.
    static LargeArray zeroed(std::size_t size) {
        LargeArray array;
        if (size == 0)
            return array;
        void* p = allocateZeroed(size, sizeof(T));
        if (p == nullptr)
            throw std::bad_alloc();
        array.size_ = size;
        array.data_.reset(static_cast<T*>(p));
        return array;
    }

    LargeArray(const LargeArray& other) : LargeArray(other.size_) {
        if (size_ > 0)
            std::memcpy(data_.get(), other.data_.get(), size_ * sizeof(T));
    }
    LargeArray& operator=(const LargeArray& other) {
        if (this != &other)
            *this = LargeArray(other);
        return *this;
    }
    LargeArray(LargeArray&&) noexcept = default;
    LargeArray& operator=(LargeArray&&) noexcept = default;

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T* data() { return data_.get(); }
    const T* data() const { return data_.get(); }
    T& operator[](std::size_t i) { return data_[i]; }
    const T& operator[](std::size_t i) const { return data_[i]; }

private:
    struct Free {
        void operator()(T* p) const { releaseMemory(p); }
    };

    static std::unique_ptr<T[], Free> allocate(std::size_t size) {
        if (size == 0)
            return nullptr;
        if (size > std::numeric_limits<std::size_t>::max() / sizeof(T))
            throw std::bad_alloc();
        void* p = allocateAligned(std::max(alignof(T), alignof(std::max_align_t)), size * sizeof(T));
        if (p == nullptr)
            throw std::bad_alloc();
        return std::unique_ptr<T[], Free>(static_cast<T*>(p));
    }

    std::size_t size_ = 0;
    std::unique_ptr<T[], Free> data_;
};

} // namespace zelmar
