// 16-byte block test for runs of whitespace (indentation in pretty-printed
// documents).
//
// `first_non_whitespace` looks at the 16 bytes at `p`, all of which must lie
// inside the input, and returns the index (0-15) of the first byte that is not
// space, tab, line feed or carriage return, or 16 when all of them are.
#pragma once

#include <bit>
#include <cstdint>

#include "arch.hpp"

#if defined(TALDO_SIMD_SSE2)
#include <emmintrin.h>
#elif defined(TALDO_SIMD_NEON)
#include <arm_neon.h>
#endif

namespace taldo {

// Whitespace is exactly space, tab, line feed and carriage return: one
// comparison and one bit test against a mask with bits 9, 10, 13 and 32 set.
constexpr bool is_whitespace(uint8_t byte) {
    return byte <= 0x20 && ((uint64_t{0x100002600} >> byte) & 1) != 0;
}

}  // namespace taldo

namespace taldo::simd {

constexpr unsigned WHITESPACE_BLOCK = 16;

#if defined(TALDO_SIMD_SSE2)

inline unsigned first_non_whitespace(const uint8_t* p) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i space = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(' ')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\n')));
    const __m128i other = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\t')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\r')));
    const unsigned mask = ~static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(space, other))) & 0xFFFF;
    return mask == 0 ? WHITESPACE_BLOCK : static_cast<unsigned>(std::countr_zero(mask));
}

#elif defined(TALDO_SIMD_NEON)

inline unsigned first_non_whitespace(const uint8_t* p) {
    const uint8x16_t v = vld1q_u8(p);
    const uint8x16_t blank = vorrq_u8(vorrq_u8(vceqq_u8(v, vdupq_n_u8(' ')), vceqq_u8(v, vdupq_n_u8('\n'))),
                                      vorrq_u8(vceqq_u8(v, vdupq_n_u8('\t')), vceqq_u8(v, vdupq_n_u8('\r'))));
    const uint64_t mask = nibble_mask(vmvnq_u8(blank));
    return mask == 0 ? WHITESPACE_BLOCK : static_cast<unsigned>(std::countr_zero(mask)) >> 2;
}

#else  // TALDO_SIMD_SCALAR

inline unsigned first_non_whitespace(const uint8_t* p) {
    for (unsigned i = 0; i < WHITESPACE_BLOCK; ++i) {
        const uint8_t byte = p[i];
        if (!is_whitespace(byte)) {
            return i;
        }
    }
    return WHITESPACE_BLOCK;
}

#endif

}  // namespace taldo::simd
