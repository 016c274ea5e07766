#pragma once
// A set of non-negative ids that hands out its lowest: the region ids freed by merges, taken again by new
// regions.

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zelmar {

// Freed region ids, lowest first: a bit per id under two levels of summary bits (a bit per non-empty word
// below), so taking the lowest or freeing one costs a few word operations instead of a heap's logarithm of
// mispredicted branches; a noisy picture frees and takes millions. The lowest is kept at hand, and the set
// is mostly empty or holds one id, so emptying it is made cheap.
// Each id is in the set at most once: insert only an absent id, erase only a present one.
class FreeIds {
public:
    bool empty() const { return count_ == 0; }

    void insert(std::int32_t id) {
        const auto i = static_cast<std::size_t>(id);
        const std::size_t word = i >> 6;
        if (word >= bits_.size())
            grow(word);
        if (bits_[word] == 0) {
            if (words_[word >> 6] == 0) {
                blocks_[word >> 12] |= std::uint64_t{1} << ((word >> 6) & 63);
                firstBlock_ = std::min(firstBlock_, word >> 12);
            }
            words_[word >> 6] |= std::uint64_t{1} << (word & 63);
        }
        bits_[word] |= std::uint64_t{1} << (i & 63);
        if (count_ == 0 || i < lowest_)
            lowest_ = i;
        ++count_;
    }

    // Only when not empty.
    std::int32_t lowest() const { return static_cast<std::int32_t>(lowest_); }

    void erase(std::int32_t id) {
        const auto i = static_cast<std::size_t>(id);
        const std::size_t word = i >> 6;
        if (--count_ == 0) {
            // The last one: its bits are the only ones set.
            bits_[word] = 0;
            words_[word >> 6] = 0;
            blocks_[word >> 12] = 0;
            firstBlock_ = blocks_.size();
            return;
        }
        bits_[word] &= ~(std::uint64_t{1} << (i & 63));
        if (bits_[word] != 0) {
            // Nothing lies below the lowest, so the next lowest is the first bit left in its word.
            if (i == lowest_)
                lowest_ = (word << 6) + static_cast<std::size_t>(std::countr_zero(bits_[word]));
            return;
        }
        words_[word >> 6] &= ~(std::uint64_t{1} << (word & 63));
        if (words_[word >> 6] == 0) {
            blocks_[word >> 12] &= ~(std::uint64_t{1} << ((word >> 6) & 63));
            while (firstBlock_ < blocks_.size() && blocks_[firstBlock_] == 0)
                ++firstBlock_;
        }
        if (i == lowest_)
            lowest_ = searchLowest();
    }

private:
    std::size_t searchLowest() const {
        const std::size_t block = firstBlock_;
        const std::size_t group = (block << 6) + static_cast<std::size_t>(std::countr_zero(blocks_[block]));
        const std::size_t word = (group << 6) + static_cast<std::size_t>(std::countr_zero(words_[group]));
        return (word << 6) + static_cast<std::size_t>(std::countr_zero(bits_[word]));
    }

    void grow(std::size_t word) {
        const std::size_t words = std::max<std::size_t>(std::bit_ceil(word + 1), 4096);
        bits_.resize(words, 0);
        words_.resize(words >> 6, 0);
        blocks_.resize(std::max<std::size_t>(words >> 12, 1), 0);
        if (count_ == 0)
            firstBlock_ = blocks_.size();
    }

    std::vector<std::uint64_t> bits_;
    std::vector<std::uint64_t> words_;
    std::vector<std::uint64_t> blocks_;
    std::size_t firstBlock_ = 0;
    std::size_t count_ = 0;
    std::size_t lowest_ = 0; // kept at hand: a parse takes the lowest millions of times
};

} // namespace zelmar
