#pragma once
// A 64-bit fingerprint of bytes, for telling whether a picture file or a layer is the one a journal was
// written for. Not cryptographic: it guards against mix-ups, not against forgery. Eight bytes a round, so a
// 64 MB layer takes milliseconds.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace zelmar {

class ContentHash {
public:
    void add(const std::uint8_t* bytes, std::size_t n) {
        length_ += n;
        for (; n >= 8; bytes += 8, n -= 8) {
            std::uint64_t word;
            std::memcpy(&word, bytes, 8);
            mix(word);
        }
        if (n > 0) {
            std::uint64_t word = 0;
            std::memcpy(&word, bytes, n);
            mix(word ^ (std::uint64_t{n} << 56));
        }
    }

    std::uint64_t value() const {
        std::uint64_t h = state_ ^ length_;
        h ^= h >> 33;
        h *= 0xFF51AFD7ED558CCDull;
        h ^= h >> 33;
        h *= 0xC4CEB9FE1A85EC53ull;
        h ^= h >> 33;
        return h;
    }

    // Sixteen lower-case hexadecimal digits.
    std::string hex() const {
        static const char digits[] = "0123456789abcdef";
        std::string text(16, '0');
        std::uint64_t v = value();
        for (int i = 15; i >= 0; --i, v >>= 4)
            text[static_cast<std::size_t>(i)] = digits[v & 15];
        return text;
    }

    static std::string hexOf(const std::uint8_t* bytes, std::size_t n) {
        ContentHash h;
        h.add(bytes, n);
        return h.hex();
    }

private:
    void mix(std::uint64_t word) {
        state_ ^= word * 0x9E3779B97F4A7C15ull;
        state_ = (state_ << 27 | state_ >> 37) * 0x94D049BB133111EBull + 0x2545F4914F6CDD1Dull;
    }

    std::uint64_t state_ = 0x6A09E667F3BCC908ull;
    std::uint64_t length_ = 0;
};

} // namespace zelmar
