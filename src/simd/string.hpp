// 16-byte block operations for the string decoder.
//
// The scans look at the 16 bytes at `p`, all of which must lie inside the
// input: `*_hits` says which of them stop the scan (zero when none does, so
// that a block is skipped with one test) and `first_hit` which comes first;
// `first_special` and `first_quote_backslash_control` give that index, or 16. `widen_block` turns the 16 bytes at
// `p` into 16 code points at `out`. One body per architecture; callers never
// see an intrinsic.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "arch.hpp"
#include "compiler.hpp"

#if defined(TALDO_SIMD_SSE2)
#include <emmintrin.h>
#include <immintrin.h>
#elif defined(TALDO_SIMD_NEON)
#include <arm_neon.h>
#endif

namespace taldo::simd {

constexpr unsigned STRING_BLOCK = 16;

#if defined(TALDO_SIMD_SSE2)

// One bit per byte of the block, in memory order; zero when no byte hits.
using Hits = uint32_t;
inline unsigned first_hit(Hits hits) { return static_cast<unsigned>(std::countr_zero(hits)); }

// A quote, a backslash, or a byte below 0x20 as a signed byte: the last test
// catches the control bytes and every non-ASCII byte at once.
inline Hits special_hits(const uint8_t* p) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i hit = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(0x22)), _mm_cmpeq_epi8(v, _mm_set1_epi8(0x5C))),
        _mm_cmpgt_epi8(_mm_set1_epi8(0x20), v));
    return static_cast<Hits>(_mm_movemask_epi8(hit));
}

// A quote, a backslash or a control byte; non-ASCII bytes pass. Unsigned
// "at most 0x1F" is min(v, 0x1F) == v.
inline Hits quote_backslash_control_hits(const uint8_t* p) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i hit = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(0x22)), _mm_cmpeq_epi8(v, _mm_set1_epi8(0x5C))),
        _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x1F)), v));
    return static_cast<Hits>(_mm_movemask_epi8(hit));
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

// NEON has no byte movemask: narrowing each 16-bit lane by 4 bits leaves a
// 64-bit value with 4 bits per byte, in memory order.
using Hits = uint64_t;
inline unsigned first_hit(Hits hits) { return static_cast<unsigned>(std::countr_zero(hits)) >> 2; }

namespace detail {
inline Hits lane_hits(uint8x16_t hit) {
    return nibble_mask(hit);
}
}  // namespace detail

inline Hits special_hits(const uint8_t* p) {
    const uint8x16_t v = vld1q_u8(p);
    return detail::lane_hits(vorrq_u8(vorrq_u8(vceqq_u8(v, vdupq_n_u8(0x22)), vceqq_u8(v, vdupq_n_u8(0x5C))),
                                      vcltq_s8(vreinterpretq_s8_u8(v), vdupq_n_s8(0x20))));
}

inline Hits quote_backslash_control_hits(const uint8_t* p) {
    const uint8x16_t v = vld1q_u8(p);
    return detail::lane_hits(vorrq_u8(vorrq_u8(vceqq_u8(v, vdupq_n_u8(0x22)), vceqq_u8(v, vdupq_n_u8(0x5C))),
                                      vcleq_u8(v, vdupq_n_u8(0x1F))));
}

inline unsigned first_non_ascii(const uint8_t* p) {
    const Hits hits = detail::lane_hits(vcgeq_u8(vld1q_u8(p), vdupq_n_u8(0x80)));
    return hits == 0 ? STRING_BLOCK : first_hit(hits);
}

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

inline uint64_t zero_bytes(uint64_t x) { return (x - ONES) & ~x & HIGHS; }
inline uint64_t bytes_below_0x20(uint64_t x) { return (x - ONES * 0x20) & ~x & HIGHS; }
inline uint64_t quote_or_backslash(uint64_t x) { return zero_bytes(x ^ (ONES * 0x22)) | zero_bytes(x ^ (ONES * 0x5C)); }

template <bool NonAsciiStops>
inline unsigned first_stop(const uint8_t* p) {
    for (unsigned half = 0; half < STRING_BLOCK; half += 8) {
        const uint64_t x = load_le64(p + half);
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

// Only the first hit of a block is exact here, so that is all the bits say.
using Hits = uint32_t;
inline unsigned first_hit(Hits hits) { return static_cast<unsigned>(std::countr_zero(hits)); }
inline Hits special_hits(const uint8_t* p) { return (uint32_t{1} << detail::first_stop<true>(p)) & 0xFFFF; }
inline Hits quote_backslash_control_hits(const uint8_t* p) {
    return (uint32_t{1} << detail::first_stop<false>(p)) & 0xFFFF;
}

inline unsigned first_non_ascii(const uint8_t* p) {
    for (unsigned half = 0; half < STRING_BLOCK; half += 8) {
        const uint64_t high = load_le64(p + half) & detail::HIGHS;
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

// The index (0-15) of the first byte that stops the scan, or 16.
inline unsigned first_special(const uint8_t* p) {
    const Hits hits = special_hits(p);
    return hits == 0 ? STRING_BLOCK : first_hit(hits);
}
inline unsigned first_quote_backslash_control(const uint8_t* p) {
    const Hits hits = quote_backslash_control_hits(p);
    return hits == 0 ? STRING_BLOCK : first_hit(hits);
}

// 32-byte bodies of the two scans for long strings, on x86-64 processors that
// have AVX2: compiled for that instruction set alone and taken only when the
// processor reports it (see `cpu_has_avx2`).
#if defined(TALDO_SIMD_SSE2) && (defined(__x86_64__) || defined(__i386__) || defined(_M_X64)) && \
    (defined(__GNUC__) || defined(__clang__) || defined(_MSC_VER))
#define TALDO_SIMD_AVX2 1

namespace avx2 {

constexpr unsigned STRING_BLOCK = 32;

using Hits = uint32_t;
inline unsigned first_hit(Hits hits) { return static_cast<unsigned>(std::countr_zero(hits)); }

TALDO_TARGET_AVX2 inline Hits special_hits(const uint8_t* p) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    return static_cast<Hits>(_mm256_movemask_epi8(
        _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(v, _mm256_set1_epi8(0x22)),
                                        _mm256_cmpeq_epi8(v, _mm256_set1_epi8(0x5C))),
                        _mm256_cmpgt_epi8(_mm256_set1_epi8(0x20), v))));
}

TALDO_TARGET_AVX2 inline Hits quote_backslash_control_hits(const uint8_t* p) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    return static_cast<Hits>(_mm256_movemask_epi8(
        _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(v, _mm256_set1_epi8(0x22)),
                                        _mm256_cmpeq_epi8(v, _mm256_set1_epi8(0x5C))),
                        _mm256_cmpeq_epi8(_mm256_min_epu8(v, _mm256_set1_epi8(0x1F)), v))));
}

}  // namespace avx2

// Whether the processor has AVX2 and the operating system saves the 256-bit
// registers on a thread switch. MSVC has no builtin for it: there (and in
// builds with TALDO_PORTABLE_BUILTINS) the processor is asked directly.
inline bool cpu_has_avx2() {
#if defined(TALDO_COMPILER_GNU)
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
#else
    struct Registers {
        uint32_t eax, ebx, ecx, edx;
    };
    const auto cpuid = [](uint32_t leaf, uint32_t subleaf) {
        Registers r{};
#if defined(_MSC_VER) && !defined(__clang__)
        int out[4];
        __cpuidex(out, static_cast<int>(leaf), static_cast<int>(subleaf));
        r = {static_cast<uint32_t>(out[0]), static_cast<uint32_t>(out[1]), static_cast<uint32_t>(out[2]),
             static_cast<uint32_t>(out[3])};
#else
        __asm__("cpuid" : "=a"(r.eax), "=b"(r.ebx), "=c"(r.ecx), "=d"(r.edx) : "a"(leaf), "c"(subleaf));
#endif
        return r;
    };
    // Extended control register 0: which register states the system saves.
    const auto xcr0 = []() -> uint64_t {
#if defined(_MSC_VER) && !defined(__clang__)
        return _xgetbv(0);
#else
        uint32_t lo = 0, hi = 0;
        __asm__("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
        return (uint64_t{hi} << 32) | lo;
#endif
    };
    if (cpuid(0, 0).eax < 7) return false;
    const Registers features = cpuid(1, 0);
    const bool osxsave = (features.ecx >> 27) & 1;
    const bool avx = (features.ecx >> 28) & 1;
    if (!osxsave || !avx) return false;
    if ((xcr0() & 0x6) != 0x6) return false;  // the XMM and YMM states
    return (cpuid(7, 0).ebx >> 5) & 1;
#endif
}
#endif

}  // namespace taldo::simd
