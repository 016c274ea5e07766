#pragma once
// Reads a fuzzer's input as a script: small numbers and byte strings taken from the front, zero once it runs
// out, so every input is a valid script.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace zelmar::fuzz {

class ByteScript {
public:
    ByteScript(const std::uint8_t* data, std::size_t size)
        : text_(reinterpret_cast<const char*>(data), size) {}

    bool empty() const { return text_.empty(); }
    std::uint8_t byte() {
        if (text_.empty())
            return 0;
        const auto b = static_cast<std::uint8_t>(text_.front());
        text_.remove_prefix(1);
        return b;
    }
    std::int32_t int32() {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v = v << 8 | byte();
        return static_cast<std::int32_t>(v);
    }
    // Up to n bytes (fewer at the end of the input).
    std::string_view bytes(std::size_t n) {
        const std::string_view taken = text_.substr(0, n);
        text_.remove_prefix(taken.size());
        return taken;
    }
    std::string_view rest() { return bytes(text_.size()); }

private:
    std::string_view text_;
};

} // namespace zelmar::fuzz
