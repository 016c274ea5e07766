#include "row_runs.h"

#include <bit>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zelmar::parsing {
namespace {

// Bit i set: pixel i of the 64 from p on is light. Four-byte pixels, the working image's usual form, are
// classed sixteen at a time where the processor allows.
template <int bytesPerPixel> std::uint64_t lightBits(const std::uint8_t* p) {
#if defined(__SSE2__)
    if constexpr (bytesPerPixel == 4) {
        // A byte is light when it is its maximum with 101; each pixel's first byte is kept and the 16 pixels
        // packed to a byte each, whose top bits make the mask.
        const __m128i lightFrom = _mm_set1_epi8(static_cast<char>(lightThreshold + 1));
        const __m128i firstByte = _mm_set1_epi32(0xff);
        const auto light = [&](const std::uint8_t* q) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
            return _mm_and_si128(_mm_cmpeq_epi8(_mm_max_epu8(v, lightFrom), v), firstByte);
        };
        std::uint64_t bits = 0;
        for (int i = 0; i < 4; ++i) {
            const std::uint8_t* q = p + 64 * i;
            const __m128i low = _mm_packs_epi32(light(q), light(q + 16));
            const __m128i high = _mm_packs_epi32(light(q + 32), light(q + 48));
            bits |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_packus_epi16(low, high)))}
                    << (16 * i);
        }
        return bits;
    }
#endif
    std::uint64_t bits = 0;
    for (int i = 0; i < 64; ++i)
        bits |= std::uint64_t{isLightByte(p[i * bytesPerPixel])} << i;
    return bits;
}

template <int bytesPerPixel>
std::size_t longRowRuns(const std::uint8_t* row, std::int32_t width, std::int32_t* out, bool& firstIsLight) {
    std::uint64_t previous = isLightByte(row[0]) ? 1 : 0;
    firstIsLight = previous != 0;
    out[0] = 1;
    std::size_t n = 1;
    std::int32_t x = 1; // the block's first pixel
    for (; x + 63 <= width; x += 64) {
        const std::uint64_t light = lightBits<bytesPerPixel>(row + std::int64_t{x - 1} * bytesPerPixel);
        std::uint64_t changes = light ^ (light << 1 | previous);
        previous = light >> 63;
        for (; changes != 0; changes &= changes - 1)
            out[n++] = x + std::countr_zero(changes);
    }
    for (; x <= width; ++x) {
        const std::uint64_t light = isLightByte(row[std::int64_t{x - 1} * bytesPerPixel]) ? 1 : 0;
        out[n] = x;
        n += light != previous ? 1 : 0;
        previous = light;
    }
    return n;
}

} // namespace

std::size_t longRowRuns(const std::uint8_t* row, std::int32_t width, std::int32_t bytesPerPixel,
                        std::int32_t* out, bool& firstIsLight) {
    switch (bytesPerPixel) {
    case 1:
        return longRowRuns<1>(row, width, out, firstIsLight);
    case 3:
        return longRowRuns<3>(row, width, out, firstIsLight);
    case 4:
        return longRowRuns<4>(row, width, out, firstIsLight);
    default:
        return rowRuns<false>(row, width, bytesPerPixel, out, nullptr, firstIsLight);
    }
}

} // namespace zelmar::parsing
