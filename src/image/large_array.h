#pragma once
// Arrays of image size (label maps, run lists) that are written whole before they are read: allocated without
// initialising, and on Linux backed by huge pages where the kernel allows it, so a fresh 67 MB label map
// costs a few dozen page faults instead of sixteen thousand.

#include "system_memory.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

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

    static std::unique_ptr<T[], Free> allocate(std::size_t size);

    std::size_t size_ = 0;
    std::unique_ptr<T[], Free> data_;
};

} // namespace zelmar

namespace zelmar {

// The same memory for a std::vector: tables of a million records that a parse fills at once.
template <typename T> struct HugePageAllocator {
    using value_type = T;

    HugePageAllocator() = default;
    template <typename U> HugePageAllocator(const HugePageAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        constexpr std::size_t hugePage = std::size_t{2} << 20;
        const std::size_t bytes = n * sizeof(T);
        const std::size_t alignment = bytes >= hugePage ? hugePage : alignof(std::max_align_t);
        void* p = allocateAligned(alignment, bytes);
        if (p == nullptr)
            throw std::bad_alloc();
        if (alignment == hugePage)
            adviseHugePages(p, bytes);
        return static_cast<T*>(p);
    }
    void deallocate(T* p, std::size_t) noexcept { releaseMemory(p); }

    template <typename U> bool operator==(const HugePageAllocator<U>&) const noexcept {
        return true;
    }
};

template <typename T> using BigVector = std::vector<T, HugePageAllocator<T>>;

template <typename T>
std::unique_ptr<T[], typename LargeArray<T>::Free> LargeArray<T>::allocate(std::size_t size) {
    if (size == 0)
        return nullptr;
    return std::unique_ptr<T[], Free>(HugePageAllocator<T>().allocate(size));
}

} // namespace zelmar
