// 16-byte block primitives for digit runs.
//
// Every function that takes a pointer reads exactly the bytes it says it reads;
// the 16-byte ones must only be called when all 16 bytes lie inside the input.
// One body per architecture; callers never see an intrinsic.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "../compiler.hpp"
#include "arch.hpp"

#if defined(TALDO_SIMD_SSE2)
#include <emmintrin.h>
#elif defined(TALDO_SIMD_NEON)
#include <arm_neon.h>
#endif

// The primitives are a few instructions each and sit on the hottest paths:
// a call would cost more than the body, so all are TALDO_ALWAYS_INLINE.

namespace taldo::simd {

constexpr unsigned DIGIT_BLOCK = 16;

constexpr bool is_digit(uint8_t byte) { return static_cast<uint8_t>(byte - '0') <= 9; }

// The value of eight digit values (bytes already reduced by '0', the first
// digit in the lowest byte). Multiplying by 2561 = 10 * 256 + 1 puts every
// adjacent pair's value (first * 10 + second) in one byte; the pairs at bytes
// 0/4 (from t >> 8) and 2/6 (from t >> 24) are then weighted and summed by one
// multiplication each, with the result landing in the upper half.
constexpr uint64_t parse_eight_digits(uint64_t word) {
    constexpr uint64_t pair_mask = 0x000000FF000000FFull;
    const uint64_t t = word * 2561;
    const uint64_t a = (t >> 8) & pair_mask;
    const uint64_t b = (t >> 24) & pair_mask;
    return (a * (100 + (1000000ull << 32)) + b * (1 + (10000ull << 32))) >> 32;
}

// The eight bytes at p as digit values. Bytes below '0' borrow only from the
// bytes above them, so the first k digit values are right whatever follows.
TALDO_ALWAYS_INLINE uint64_t digit_values8(const uint8_t* p) { return load_le64(p) - 0x3030303030303030ull; }

constexpr uint64_t POW10_8[9] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};

// The inverse of an odd value modulo 2^64, by Newton's iteration: x = a is
// right in its low three bits, and every step doubles the right bits.
constexpr uint64_t inverse_mod_2_64(uint64_t a) {
    uint64_t x = a;
    for (int i = 0; i < 5; ++i) {
        x *= 2 - a * x;
    }
    return x;
}

// 5^-m modulo 2^64, for m = 0 to 15. A multiple of 10^m divided by it is
// (value >> m) * 5^-m, exact in 64 bits.
struct InversePowersOfFive {
    uint64_t values[16];
    constexpr InversePowersOfFive() : values() {
        uint64_t power = 1;
        for (uint64_t& value : values) {
            value = inverse_mod_2_64(power);
            power *= 5;
        }
    }
};
inline constexpr InversePowersOfFive INVERSE_POW5{};
static_assert(INVERSE_POW5.values[15] * 30517578125ull == 1, "5^15 times its inverse");

// The sixteen bytes read at FROM_MASK_END - x (0 <= x <= 32) select the bytes
// of a block from its x-th on: byte d is 0xFF when d >= x.
alignas(16) inline constexpr uint8_t FROM_MASK[48] = {
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
inline constexpr const uint8_t* FROM_MASK_END = FROM_MASK + 32;

// The primitives for a number, whose integer digits may be followed by a '.'
// and fraction digits:
//
// DigitBlock digit_block(p): the 16 bytes at p, loaded once: `digits` has
// bit b set when the byte at p + b is a digit (bits 16 up clear), and the
// bytes are kept, reduced by '0', for leading_value.
//
// leading_value(block, k): the value of the block's first k (1 to 16) bytes,
// which are digits.
//
// digit_bits_16(p): the `digits` bits of the 16 bytes at p, alone.
//
// parse_significand_16(p, k, n): the value of the significand's first 16
// digits, as a 16-digit number, when its k (1 to 16) integer digits begin at
// p and the byte after them (a '.' or anything else) is skipped. The digits
// from position n on (counting from 0, n up to 32) count as zeros, so the
// bytes there may be anything. Reads the 17 bytes at p.

#if defined(TALDO_SIMD_SSE2)

TALDO_ALWAYS_INLINE __m128i load16(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

// The value of 16 digit values, the first in the lowest byte. SSE2 has no byte
// multiply-add, so the digits are taken from the 16-bit lanes directly.
TALDO_ALWAYS_INLINE uint64_t sixteen_digit_values(__m128i v) {
    // Digits 0 and 2 of each group of four from the low bytes, 1 and 3 from
    // the high bytes, each pair weighted and summed by one multiply-add.
    const __m128i even = _mm_madd_epi16(_mm_and_si128(v, _mm_set1_epi16(0x00FF)), _mm_set1_epi32(0x000A03E8));
    const __m128i odd = _mm_madd_epi16(_mm_srli_epi16(v, 8), _mm_set1_epi32(0x00010064));
    const __m128i quads = _mm_add_epi32(even, odd);  // first * 1000 + second * 100 + third * 10 + fourth
    const __m128i packed = _mm_packs_epi32(quads, quads);                      // 4-digit values fit in int16
    const __m128i octs = _mm_madd_epi16(packed, _mm_set1_epi32(0x00012710));   // first * 10000 + second
#if defined(__x86_64__) || defined(_M_X64)
    const auto both = static_cast<uint64_t>(_mm_cvtsi128_si64(octs));  // both eight-digit halves in one move
    return (both & 0xFFFFFFFFu) * 100000000u + (both >> 32);
#else
    const auto first = static_cast<uint32_t>(_mm_cvtsi128_si32(octs));
    const auto second = static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(octs, 4)));
    return uint64_t{first} * 100000000u + second;
#endif
}

// The value of the 16 digits at p.
TALDO_ALWAYS_INLINE uint64_t parse_sixteen_digits(const uint8_t* p) {
    return sixteen_digit_values(_mm_sub_epi8(load16(p), _mm_set1_epi8('0')));
}

struct DigitBlock {
    __m128i values;
    uint32_t digits;
};

// A byte less '0' is a digit value when it is at most 9 as an unsigned byte.
TALDO_ALWAYS_INLINE DigitBlock digit_block(const uint8_t* p) {
    const __m128i v = _mm_sub_epi8(load16(p), _mm_set1_epi8('0'));
    const __m128i digit = _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(9)), v);
    return DigitBlock{v, static_cast<uint32_t>(_mm_movemask_epi8(digit))};
}

// The 16 digits with those from the k-th on zeroed are the value times
// 10^(16 - k); dividing that exactly needs no branch on k.
TALDO_ALWAYS_INLINE uint64_t leading_value(const DigitBlock& block, unsigned k) {
    const __m128i digits = _mm_andnot_si128(load16(FROM_MASK_END - k), block.values);
    const unsigned m = 16 - k;
    return (sixteen_digit_values(digits) >> m) * INVERSE_POW5.values[m];
}

// Adding 0x80 - '0' moves the digits to -128..-119, below every other byte as
// a signed value, so that one signed comparison finds them.
TALDO_ALWAYS_INLINE uint32_t digit_bits_16(const uint8_t* p) {
    const __m128i shifted = _mm_add_epi8(load16(p), _mm_set1_epi8(static_cast<char>(0x80 - '0')));
    return static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpgt_epi8(_mm_set1_epi8(-128 + 10), shifted)));
}

TALDO_ALWAYS_INLINE uint64_t parse_significand_16(const uint8_t* p, unsigned k, unsigned n) {
    const __m128i from_next = load16(FROM_MASK_END - k);  // bytes k on come from p + 1 on
    const __m128i bytes = _mm_or_si128(_mm_andnot_si128(from_next, load16(p)), _mm_and_si128(from_next, load16(p + 1)));
    return sixteen_digit_values(_mm_andnot_si128(load16(FROM_MASK_END - n), _mm_sub_epi8(bytes, _mm_set1_epi8('0'))));
}

#elif defined(TALDO_SIMD_NEON)

TALDO_ALWAYS_INLINE uint64_t sixteen_digit_values(uint8x16_t v) {
    const uint16x8_t v16 = vreinterpretq_u16_u8(v);
    const uint16x8_t pairs = vmlaq_n_u16(vshrq_n_u16(v16, 8), vandq_u16(v16, vdupq_n_u16(0xFF)), 10);
    const uint32x4_t p32 = vreinterpretq_u32_u16(pairs);
    const uint32x4_t quads = vmlaq_n_u32(vshrq_n_u32(p32, 16), vandq_u32(p32, vdupq_n_u32(0xFFFF)), 100);
    const uint64_t first = uint64_t{vgetq_lane_u32(quads, 0)} * 10000 + vgetq_lane_u32(quads, 1);
    const uint64_t second = uint64_t{vgetq_lane_u32(quads, 2)} * 10000 + vgetq_lane_u32(quads, 3);
    return first * 100000000u + second;
}

TALDO_ALWAYS_INLINE uint64_t parse_sixteen_digits(const uint8_t* p) {
    return sixteen_digit_values(vsubq_u8(vld1q_u8(p), vdupq_n_u8('0')));
}

struct DigitBlock {
    uint8x16_t values;
    uint32_t digits;
};

// NEON has no byte movemask: each digit byte keeps its own bit of a byte
// weight, and the two halves are summed across.
TALDO_ALWAYS_INLINE DigitBlock digit_block(const uint8_t* p) {
    constexpr uint8_t weights[16] = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
    const uint8x16_t v = vsubq_u8(vld1q_u8(p), vdupq_n_u8('0'));
    const uint8x16_t bits = vandq_u8(vcleq_u8(v, vdupq_n_u8(9)), vld1q_u8(weights));
    return DigitBlock{v, uint32_t{vaddv_u8(vget_low_u8(bits))} | uint32_t{vaddv_u8(vget_high_u8(bits))} << 8};
}

TALDO_ALWAYS_INLINE uint32_t digit_bits_16(const uint8_t* p) { return digit_block(p).digits; }

TALDO_ALWAYS_INLINE uint64_t leading_value(const DigitBlock& block, unsigned k) {
    const uint8x16_t digits = vbicq_u8(block.values, vld1q_u8(FROM_MASK_END - k));
    const unsigned m = 16 - k;
    return (sixteen_digit_values(digits) >> m) * INVERSE_POW5.values[m];
}

TALDO_ALWAYS_INLINE uint64_t parse_significand_16(const uint8_t* p, unsigned k, unsigned n) {
    const uint8x16_t bytes = vbslq_u8(vld1q_u8(FROM_MASK_END - k), vld1q_u8(p + 1), vld1q_u8(p));
    const uint8x16_t digits = vsubq_u8(bytes, vdupq_n_u8('0'));
    return sixteen_digit_values(vbicq_u8(digits, vld1q_u8(FROM_MASK_END - n)));
}

#else

// Per byte, without carries between bytes: a byte is a digit when its high bit
// is clear and its low seven bits lie in '0'..'9'.
TALDO_ALWAYS_INLINE uint64_t non_digit_bits(uint64_t word) {
    const uint64_t high = 0x8080808080808080ull;
    const uint64_t low7 = word & ~high;
    const uint64_t above_nine = (low7 + 0x4646464646464646ull) & high;       // low7 > '9'
    const uint64_t at_least_zero = ((low7 | high) - 0x3030303030303030ull) & high;  // low7 >= '0'
    return (word & high) | above_nine | (at_least_zero ^ high);
}

TALDO_ALWAYS_INLINE uint64_t parse_sixteen_digits(const uint8_t* p) {
    return parse_eight_digits(digit_values8(p)) * 100000000u + parse_eight_digits(digit_values8(p + 8));
}

// One bit per byte of a word whose bytes are 0x80 or 0: the multiplication
// moves byte i's bit to bit 56 + i, with no two partial products meeting.
constexpr uint32_t byte_bits(uint64_t high_bits) {
    return static_cast<uint32_t>(((high_bits >> 7) * 0x0102040810204080ull) >> 56);
}

TALDO_ALWAYS_INLINE uint32_t digit_bits_16(const uint8_t* p) {
    return ~(byte_bits(non_digit_bits(load_le64(p))) | byte_bits(non_digit_bits(load_le64(p + 8))) << 8) & 0xFFFFu;
}

// The two words of digit values; a byte below '0' borrows only from the
// bytes above it, so that the leading digits' values are right.
struct DigitBlock {
    uint64_t first;
    uint64_t second;
    uint32_t digits;
};

TALDO_ALWAYS_INLINE DigitBlock digit_block(const uint8_t* p) {
    return DigitBlock{digit_values8(p), digit_values8(p + 8), digit_bits_16(p)};
}

// The shifts move the digits to the top of the word so that the zero bytes
// shifted in act as leading zeros.
TALDO_ALWAYS_INLINE uint64_t leading_value(const DigitBlock& block, unsigned k) {
    if (k <= 8) {
        return parse_eight_digits(block.first << (8 * (8 - k)));
    }
    return parse_eight_digits(block.first) * POW10_8[k - 8] + parse_eight_digits(block.second << (8 * (16 - k)));
}

// Eight significand bytes as digit values: `next` (the bytes one further on)
// where `from_next` is set, `here` elsewhere, and zero where `dropped` is set.
// XOR rather than subtraction, so that no byte borrows from its neighbour.
constexpr uint64_t significand_word(uint64_t here, uint64_t next, uint64_t from_next, uint64_t dropped) {
    return (((here & ~from_next) | (next & from_next)) ^ 0x3030303030303030ull) & ~dropped;
}

TALDO_ALWAYS_INLINE uint64_t parse_significand_16(const uint8_t* p, unsigned k, unsigned n) {
    const uint8_t* from_next = FROM_MASK_END - k;
    const uint8_t* dropped = FROM_MASK_END - n;
    const uint64_t first =
        significand_word(load_le64(p), load_le64(p + 1), load_le64(from_next), load_le64(dropped));
    const uint64_t second =
        significand_word(load_le64(p + 8), load_le64(p + 9), load_le64(from_next + 8), load_le64(dropped + 8));
    return parse_eight_digits(first) * 100000000u + parse_eight_digits(second);
}

#endif

// Leading digits (0 to 16) of the 16 bytes at p.
TALDO_ALWAYS_INLINE unsigned count_digits_16(const uint8_t* p) {
    return static_cast<unsigned>(std::countr_zero(~digit_bits_16(p)));  // bit 16 up is set: at most 16
}

// The value of the first k (1 to 16) digits at p; all 16 bytes at p must be
// readable.
TALDO_ALWAYS_INLINE uint64_t parse_leading_digits(const uint8_t* p, unsigned k) {
    return leading_value(digit_block(p), k);
}

// The index of the first byte at or after `from` that is not a digit, or
// `limit` if the walk gets there first. `limit` is the input's length or a
// bound before it: no byte at or past `limit` is read.
inline uint64_t skip_digits(const uint8_t* data, uint64_t from, uint64_t limit) {
    uint64_t i = from;
    while (i + DIGIT_BLOCK <= limit) {
        const unsigned count = count_digits_16(data + i);
        i += count;
        if (count < DIGIT_BLOCK) {
            return i;
        }
    }
    while (i < limit && is_digit(data[i])) {
        ++i;
    }
    return i;
}

}  // namespace taldo::simd
