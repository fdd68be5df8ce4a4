// 16-byte block operations for the string decoder.
//
// The scans look at the 16 bytes at `p`, all of which must lie inside the
// input, and return the index (0-15) of the first byte that stops the scan, or
// 16 when the whole block can be skipped. `widen_block` turns the 16 bytes at
// `p` into 16 code points at `out`. One body per architecture; callers never
// see an intrinsic.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "arch.hpp"

#if defined(TALDO_SIMD_SSE2)
#include <emmintrin.h>
#elif defined(TALDO_SIMD_NEON)
#include <arm_neon.h>
#endif

namespace taldo::simd {

constexpr unsigned STRING_BLOCK = 16;

#if defined(TALDO_SIMD_SSE2)

// A quote, a backslash, or a byte below 0x20 as a signed byte: the last test
// catches the control bytes and every non-ASCII byte at once.
inline unsigned first_special(const uint8_t* p) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i hit = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(0x22)), _mm_cmpeq_epi8(v, _mm_set1_epi8(0x5C))),
        _mm_cmplt_epi8(v, _mm_set1_epi8(0x20)));
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
    return mask == 0 ? STRING_BLOCK : static_cast<unsigned>(std::countr_zero(mask));
}

// A quote, a backslash or a control byte; non-ASCII bytes pass. Unsigned
// "at most 0x1F" is min(v, 0x1F) == v.
inline unsigned first_quote_backslash_control(const uint8_t* p) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i hit = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(0x22)), _mm_cmpeq_epi8(v, _mm_set1_epi8(0x5C))),
        _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x1F)), v));
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
    return mask == 0 ? STRING_BLOCK : static_cast<unsigned>(std::countr_zero(mask));
}

// The first byte of 0x80 or above.
inline unsigned first_non_ascii(const uint8_t* p) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(v));
    return mask == 0 ? STRING_BLOCK : static_cast<unsigned>(std::countr_zero(mask));
}

inline void widen_block(const uint8_t* p, uint32_t* out) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i zero = _mm_setzero_si128();
    const __m128i low = _mm_unpacklo_epi8(v, zero);
    const __m128i high = _mm_unpackhi_epi8(v, zero);
    auto* o = reinterpret_cast<__m128i*>(out);
    _mm_storeu_si128(o, _mm_unpacklo_epi16(low, zero));
    _mm_storeu_si128(o + 1, _mm_unpackhi_epi16(low, zero));
    _mm_storeu_si128(o + 2, _mm_unpacklo_epi16(high, zero));
    _mm_storeu_si128(o + 3, _mm_unpackhi_epi16(high, zero));
}

#elif defined(TALDO_SIMD_NEON)

namespace detail {
// NEON has no byte movemask: narrowing each 16-bit lane by 4 bits leaves a
// 64-bit value with 4 bits per byte, in memory order.
inline unsigned first_set_lane(uint8x16_t hit) {
    const uint8x8_t nibbles = vshrn_n_u16(vreinterpretq_u16_u8(hit), 4);
    const uint64_t mask = vget_lane_u64(vreinterpret_u64_u8(nibbles), 0);
    return mask == 0 ? STRING_BLOCK : static_cast<unsigned>(std::countr_zero(mask)) >> 2;
}
}  // namespace detail

inline unsigned first_special(const uint8_t* p) {
    const uint8x16_t v = vld1q_u8(p);
    const uint8x16_t hit =
        vorrq_u8(vorrq_u8(vceqq_u8(v, vdupq_n_u8(0x22)), vceqq_u8(v, vdupq_n_u8(0x5C))),
                 vcltq_s8(vreinterpretq_s8_u8(v), vdupq_n_s8(0x20)));
    return detail::first_set_lane(hit);
}

inline unsigned first_quote_backslash_control(const uint8_t* p) {
    const uint8x16_t v = vld1q_u8(p);
    const uint8x16_t hit = vorrq_u8(vorrq_u8(vceqq_u8(v, vdupq_n_u8(0x22)), vceqq_u8(v, vdupq_n_u8(0x5C))),
                                    vcleq_u8(v, vdupq_n_u8(0x1F)));
    return detail::first_set_lane(hit);
}

inline unsigned first_non_ascii(const uint8_t* p) { return detail::first_set_lane(vcgeq_u8(vld1q_u8(p), vdupq_n_u8(0x80))); }

inline void widen_block(const uint8_t* p, uint32_t* out) {
    const uint8x16_t v = vld1q_u8(p);
    const uint16x8_t low = vmovl_u8(vget_low_u8(v));
    const uint16x8_t high = vmovl_u8(vget_high_u8(v));
    vst1q_u32(out, vmovl_u16(vget_low_u16(low)));
    vst1q_u32(out + 4, vmovl_u16(vget_high_u16(low)));
    vst1q_u32(out + 8, vmovl_u16(vget_low_u16(high)));
    vst1q_u32(out + 12, vmovl_u16(vget_high_u16(high)));
}

#else  // TALDO_SIMD_SCALAR

// Eight bytes at a time in a 64-bit word. The byte-wise tests below may raise
// false hits, but only in bytes above a true hit (a borrow travels upwards), so
// the lowest hit is always exact, which is all the scan needs.
namespace detail {

constexpr uint64_t ONES = 0x0101010101010101ULL;
constexpr uint64_t HIGHS = 0x8080808080808080ULL;

// The word with its first byte in the lowest 8 bits, on any byte order.
inline uint64_t load_word(const uint8_t* p) {
    uint64_t word;
    std::memcpy(&word, p, sizeof word);
    if constexpr (std::endian::native == std::endian::big) {
        uint64_t swapped = 0;
        for (int i = 0; i < 8; ++i) {
            swapped = (swapped << 8) | ((word >> (8 * i)) & 0xFF);
        }
        word = swapped;
    }
    return word;
}

inline uint64_t zero_bytes(uint64_t x) { return (x - ONES) & ~x & HIGHS; }
inline uint64_t bytes_below_0x20(uint64_t x) { return (x - ONES * 0x20) & ~x & HIGHS; }
inline uint64_t quote_or_backslash(uint64_t x) { return zero_bytes(x ^ (ONES * 0x22)) | zero_bytes(x ^ (ONES * 0x5C)); }

template <bool NonAsciiStops>
inline unsigned first_hit(const uint8_t* p) {
    for (unsigned half = 0; half < STRING_BLOCK; half += 8) {
        const uint64_t x = load_word(p + half);
        uint64_t hit = quote_or_backslash(x) | bytes_below_0x20(x);
        if constexpr (NonAsciiStops) {
            hit |= x & HIGHS;
        }
        if (hit != 0) {
            return half + (static_cast<unsigned>(std::countr_zero(hit)) >> 3);
        }
    }
    return STRING_BLOCK;
}

}  // namespace detail

inline unsigned first_special(const uint8_t* p) { return detail::first_hit<true>(p); }
inline unsigned first_quote_backslash_control(const uint8_t* p) { return detail::first_hit<false>(p); }

inline unsigned first_non_ascii(const uint8_t* p) {
    for (unsigned half = 0; half < STRING_BLOCK; half += 8) {
        const uint64_t high = detail::load_word(p + half) & detail::HIGHS;
        if (high != 0) {
            return half + (static_cast<unsigned>(std::countr_zero(high)) >> 3);
        }
    }
    return STRING_BLOCK;
}

inline void widen_block(const uint8_t* p, uint32_t* out) {
    for (unsigned k = 0; k < STRING_BLOCK; ++k) out[k] = p[k];
}

#endif

}  // namespace taldo::simd
