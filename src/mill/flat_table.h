#pragma once
// Open addressing from nonzero 64-bit keys to small values, with linear probing and Fibonacci hashing.
// Emptied in time proportional to what it held: the region pairs of a parse, the end states of one contour,
// millions of which follow each other on a noisy picture.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zelmar {

template <typename Value> class FlatTable {
public:
    static constexpr std::uint64_t noKey = 0;

    explicit FlatTable(std::size_t expected = 32) { reset(expected); }

    // Inserts the key with its value; false, and nothing changed, when the key is there already (the first
    // value stays).
    bool insert(std::uint64_t key, const Value& value) {
        if ((used_.size() + 1) * 2 > keys_.size())
            grow();
        std::size_t i = slot(key);
        while (keys_[i] != noKey) {
            if (keys_[i] == key)
                return false;
            i = (i + 1) & (keys_.size() - 1);
        }
        keys_[i] = key;
        values_[i] = value;
        used_.push_back(i);
        return true;
    }

    const Value* find(std::uint64_t key) const {
        for (std::size_t i = slot(key); keys_[i] != noKey; i = (i + 1) & (keys_.size() - 1))
            if (keys_[i] == key)
                return &values_[i];
        return nullptr;
    }

    std::size_t size() const { return used_.size(); }

    void clear() {
        // After a big contour a big table would scatter the next small one's probes over memory: start small.
        if (keys_.size() > 4096) {
            reset(32);
            return;
        }
        for (std::size_t i : used_)
            keys_[i] = noKey;
        used_.clear();
    }

private:
    void reset(std::size_t expected) {
        const std::size_t slotCount = std::bit_ceil(std::max<std::size_t>(expected * 2, 64));
        keys_.assign(slotCount, noKey);
        values_.assign(slotCount, Value{});
        used_.clear();
        shift_ = 64 - std::countr_zero(slotCount);
    }

    std::size_t slot(std::uint64_t key) const {
        return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> shift_);
    }

    void grow() {
        std::vector<std::uint64_t> keys;
        std::vector<Value> values;
        std::vector<std::size_t> used;
        keys.swap(keys_);
        values.swap(values_);
        used.swap(used_);
        reset(keys.size());
        for (std::size_t i : used)
            insert(keys[i], values[i]);
    }

    std::vector<std::uint64_t> keys_;
    std::vector<Value> values_;
    std::vector<std::size_t> used_;
    int shift_ = 64;
};

} // namespace zelmar
