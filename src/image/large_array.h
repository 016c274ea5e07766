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

    // Contents undefined, as above; where the system can, copies of it made once it is frozen() share the pages
    // they do not write (system_memory.h), so that a copy costs what is written into it.
    static LargeArray shareable(std::size_t size) {
        if (size > 0 && size <= std::numeric_limits<std::size_t>::max() / sizeof(T)) {
            int file = -1;
            if (void* p = allocateShareablePages(size * sizeof(T), file)) {
                LargeArray array;
                array.size_ = size;
                array.data_ = std::unique_ptr<T[], Free>(static_cast<T*>(p), Free{size * sizeof(T)});
                array.file_ = std::shared_ptr<const int>(new int(file), [](const int* f) {
                    closePagesFile(*f);
                    delete f;
                });
                return array;
            }
        }
        return LargeArray(size);
    }
    // A shareable array is written whole: its copies share its pages from now on.
    void freeze() { frozen_ = file_ != nullptr; }
    // About to be written in place: the copies that share its pages keep them as they were, and later copies
    // are copied. A private mapping's writes are its own already; it keeps its share of the file, which tells
    // the block it was copied from that the file's pages are still read.
    void thaw() {
        frozen_ = false;
        if (!file_ || private_)
            return;
        if (file_.use_count() == 1) {
            file_.reset(); // no copy maps the file: written in place as any array
            return;
        }
        const std::size_t bytes = size_ * sizeof(T);
        if (void* p = privatePages(data_.get(), bytes, *file_)) {
            (void)data_.release(); // unmapped by privatePages
            data_ = std::unique_ptr<T[], Free>(static_cast<T*>(p), Free{bytes});
            private_ = true;
        } else {
            LargeArray own(size_);
            std::memcpy(own.data(), data_.get(), bytes);
            *this = std::move(own);
        }
    }
    bool frozen() const { return frozen_; }

    LargeArray(const LargeArray& other) {
        if (other.frozen_ && other.file_) {
            if (void* p = mapPagesCopy(other.size_ * sizeof(T), *other.file_)) {
                size_ = other.size_;
                data_ = std::unique_ptr<T[], Free>(static_cast<T*>(p), Free{size_ * sizeof(T)});
                file_ = other.file_;
                frozen_ = true;
                private_ = true;
                return;
            }
        }
        size_ = other.size_;
        data_ = allocate(size_);
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
        std::size_t mappedBytes = 0; // a block of shareable pages, not of the heap
        void operator()(T* p) const {
            if (mappedBytes > 0)
                releasePages(p, mappedBytes);
            else
                releaseMemory(p);
        }
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
    std::shared_ptr<const int> file_; // of shareable pages, while copies may map them
    bool frozen_ = false;             // written whole and not since: a copy may map the file
    bool private_ = false;            // a private mapping of the file: its writes stay its own
};

} // namespace zelmar
