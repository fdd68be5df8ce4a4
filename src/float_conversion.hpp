// Decimal text to the nearest double: round to nearest, ties to even, for any
// number of digits. Too large a value gives an infinity and too small a value a
// signed zero or subnormal; neither is an error.
//
// The conversion reads no grammar of its own: it takes what a number reader
// (number_decoder.hpp) has already found. The block reader's float step is
// inline here, so that the value builder's common path makes no call before
// the float object; every way out of it is a call.
#pragma once

#include <bit>
#include <cfloat>
#include <cstdint>

#include "bigint.hpp"
#include "compiler.hpp"
#include "pow5_table.hpp"
#include "simd/number.hpp"

namespace taldo {

struct NumberText;

// Exponent digits beyond this value cannot matter: the value is then an
// infinity or a zero for any input that fits in memory.
constexpr int64_t EXPONENT_CAP = 1000000000000000;

// A double and the length of its text, in two registers; length 0 means the
// block reader leaves the number to the general reader.
struct PackedFloat {
    double value;
    uint64_t length;
};

// The double for a number the general reader has read (an integer or a
// float, not a word).
double convert_number_text(const uint8_t* data, const NumberText& text);

// The block reader's ways out of its common path, each given the number's
// first byte s, the significand w (exact) and the power of ten q so far.
//
// A number with an exponent: `marker` is the 'e' or 'E', which lies inside
// the block reader's window; what follows may not.
TALDO_NOINLINE PackedFloat convert_with_exponent(const uint8_t* s, const uint8_t* marker, uint64_t w, int64_t q,
                                                 const uint8_t* input_end);
// A significand of 18 or more digits (leading zeros included) whose first
// 16 (valued in w) begin at p: digits 17 on, all in the fraction, are
// appended. `shape` holds the counts k and n, a byte each, to keep to five
// arguments.
TALDO_NOINLINE PackedFloat convert_long_significand(const uint8_t* s, const uint8_t* p, uint64_t w, uint32_t shape,
                                                    const uint8_t* input_end);
// A significand whose k integer digits (1 to 15) begin at p, followed by a
// '.' and either no digit (length 0: malformed) or fraction digits that fill
// the window's bytes k + 1 to 30 and may go on (length 0 when the first
// digit is a zero).
TALDO_NOINLINE PackedFloat convert_long_fraction(const uint8_t* s, const uint8_t* p, unsigned k,
                                                 const uint8_t* input_end);
// The careful methods, then the exact one, for the number of `length` bytes
// at s, which the fast steps could not decide.
TALDO_NOINLINE PackedFloat convert_slowly(uint64_t w, int64_t q, bool negative, const uint8_t* s, uint64_t length);

namespace conversion_steps {

inline constexpr double POW10_F64[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                  1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

#if defined(FLT_EVAL_METHOD) && FLT_EVAL_METHOD == 0
constexpr bool EXACT_DOUBLE_OPERATIONS = true;
#else
constexpr bool EXACT_DOUBLE_OPERATIONS = false;
#endif

inline double from_bits(uint64_t bits) { return std::bit_cast<double>(bits); }

// Clinger: when w and 10^|q| are both exact doubles, one IEEE operation rounds
// the exact quotient or product correctly.
inline bool clinger_applies(uint64_t w, int64_t q) {
    return EXACT_DOUBLE_OPERATIONS && w <= (uint64_t{1} << 53) && static_cast<uint64_t>(q + 22) <= 44;
}

inline double clinger(uint64_t w, int64_t q, bool negative) {
    const double d = static_cast<double>(w);
    const double value = q < 0 ? d / POW10_F64[-q] : d * POW10_F64[q];
    return negative ? -value : value;
}

// Eisel-Lemire on the high word of the table entry alone, which decides almost
// every input. w * 10^q = E * 2^scale exactly, where E = W * (T + f) with W = w
// normalised to 64 bits, T the 128-bit entry for q and 0 <= f < 1, and
// scale = floor(q * log2(10)) - 127 - lz. The product A = W * T_high is short
// of E by less than 2^128 + 2^64, so E's high word is A's high word or one
// more. When the nine low bits of A's high word are not all ones, adding that
// one changes none of the bits from the rounding bit (bit 9 or 10) up; when
// they are not all zeros either, E's bits below the rounding bit are not all
// zero, so E lies strictly off every halfway point. Rounding A's high word
// half up then rounds E correctly. Anything else (a possible carry, a
// possible tie, w = 0, a result outside the normal range) is left to the
// careful path: false.
//
// The digits of a double printed with 17 significant digits lie within about
// 2^-56 of it, so that the bits just below its last mantissa bit are zeros or
// ones more often than chance would have it: about 1% of such texts take the
// careful path.
//
// For |q| <= 288, w * 10^q with 1 <= w < 2^64 lies between 10^-288 and
// 2^64 * 10^288, inside the table and far from the subnormal and the infinite
// range: callers that know this (q_is_small) skip both checks.
template <bool q_is_small>
TALDO_ALWAYS_INLINE bool lemire_fast(uint64_t w, int64_t q, uint64_t& bits) {
    const uint64_t index = static_cast<uint64_t>(q - pow5::MIN_Q);
    if (!q_is_small && index > static_cast<uint64_t>(pow5::MAX_Q - pow5::MIN_Q)) {
        return false;
    }
    const uint64_t lz = static_cast<unsigned>(std::countl_zero(w | 1));  // w = 0 gives A = 0, which fails below
    const U128 a = mul_64x64(w << lz, pow5::HIGH[index]);
    if (((a.hi + 1) & 0x1FF) <= 1) [[unlikely]] {  // the nine low bits all ones or all zeros
        return false;
    }
    // W * T >= 2^190, so the high word's top bit is bit 63 or bit 62.
    const uint64_t upper = a.hi >> 63;
    const uint64_t mantissa = ((a.hi >> (upper + 9)) + 1) >> 1;  // 2^52 to 2^53
    const int64_t biased = ((q * 217706) >> 16) + 1086 + static_cast<int64_t>(upper - lz);
    if (!q_is_small && static_cast<uint64_t>(biased - 1) >= 2046) {
        return false;  // subnormal, zero or infinite
    }
    // The mantissa's top bit adds one to the exponent field; a mantissa that
    // rounded up to 2^53 adds two, which is the next binade, or the infinity
    // past the largest one, as rounding demands.
    bits = (static_cast<uint64_t>(biased - 1) << 52) + mantissa;
    return true;
}

// Clinger's method or the fast Eisel-Lemire step, for an exact significand;
// false when neither decides. `sign` is the sign bit in place.
template <bool q_is_small>
TALDO_ALWAYS_INLINE bool convert_fast(uint64_t w, int64_t q, uint64_t sign, double& value) {
    if (clinger_applies(w, q)) {
        value = from_bits(std::bit_cast<uint64_t>(clinger(w, q, false)) | sign);
        return true;
    }
    uint64_t bits;
    if (lemire_fast<q_is_small>(w, q, bits)) [[likely]] {
        value = from_bits(bits | sign);
        return true;
    }
    return false;
}

}  // namespace conversion_steps

// The block reader's float step. The number's first byte is at s (a '-'
// when `negative`), with 40 bytes readable from s and the input ending at
// input_end; its integer part is k (1 to 15) digits, not a zero followed by
// digits, and the byte after them is '.', 'e' or 'E'. `digits` has bit b set
// when the byte b after the sign is a digit, for the first 16. Returns
// length 0 for any shape it does not take, malformed texts included.
//
// One scan of 32 bytes (the first half the caller's) finds the integer
// digits, the '.' and the fraction digits; the first 16 digits of the
// significand are valued in one vector step with the '.' skipped, and a 17th
// digit is appended. Exponents, longer significands and the inputs the fast
// steps cannot decide leave through calls, so that the common path stays
// short enough to live inline in the value builder.
TALDO_ALWAYS_INLINE PackedFloat convert_block(const uint8_t* s, bool negative, uint32_t digits, unsigned k,
                                              const uint8_t* input_end) {
    const uint8_t* const p = s + (negative ? 1 : 0);  // the first digit
    // Bit 31 is forced on: a digit run through the whole window then seems to
    // end at byte 31, and anything ending there is left to the general reader.
    const uint32_t non_digits = ~(digits | simd::digit_bits_16(p + 16) << 16) | 0x80000000u;
    unsigned n = k;                                  // digits in the significand, leading zeros included
    const uint8_t* after = p + k;                    // past the digits (and the '.')
    if (*after == '.') {
        // Bit 30 - k of the rest is the forced one.
        const auto f = static_cast<unsigned>(std::countr_zero(non_digits >> (k + 1)));  // fraction digits
        if (f - 1 >= 29 - k) [[unlikely]] {
            return convert_long_fraction(s, p, k, input_end);  // no fraction digit, or a run past the window
        }
        n += f;
        after += f + 1;
    }
    // Up to 16 digits, w carries 16 - n trailing zeros, so that w * 10^(k - 16)
    // is the number either way. Without an exponent q lies in -29..-1: the
    // value is a normal double, which the fast step then need not check.
    uint64_t w = simd::parse_significand_16(p, k, n);
    int64_t q = static_cast<int64_t>(k) - 16;
    if (n > 16) {
        if (n > 17) [[unlikely]] {
            return convert_long_significand(s, p, w, k | n << 8, input_end);
        }
        w = w * 10 + (uint64_t{p[17]} - '0');  // the 17th digit, past the '.'
        q -= 1;
    }
    if ((*after | 0x20) == 'e') {
        // The 'e' lies at most 31 bytes after s, so that a sign and three
        // exponent digits, and the byte after them, lie inside the 40 bytes.
        const uint8_t* i = after + 1;
        const bool exponent_negative = *i == '-';
        i += (exponent_negative || *i == '+') ? 1 : 0;
        const auto d0 = static_cast<uint8_t>(i[0] - '0');
        const auto d1 = static_cast<uint8_t>(i[1] - '0');
        const auto d2 = static_cast<uint8_t>(i[2] - '0');
        int64_t exponent;
        if (d0 > 9) [[unlikely]] {
            return PackedFloat{0, 0};  // no exponent digit
        } else if (d1 > 9) {
            exponent = d0;
            i += 1;
        } else if (d2 > 9) {
            exponent = d0 * 10 + d1;
            i += 2;
        } else {
            if (simd::is_digit(i[3])) [[unlikely]] {
                return convert_with_exponent(s, after, w, q, input_end);  // four digits or more
            }
            exponent = d0 * 100 + d1 * 10 + d2;
            i += 3;
        }
        q += exponent_negative ? -exponent : exponent;
        const auto length = static_cast<uint64_t>(i - s);
        double value;
        if (conversion_steps::convert_fast<false>(w, q, uint64_t{negative} << 63, value)) [[likely]] {
            return PackedFloat{value, length};
        }
        return convert_slowly(w, q, negative, s, length);
    }
    const auto length = static_cast<uint64_t>(after - s);
    double value;
    if (conversion_steps::convert_fast<true>(w, q, uint64_t{negative} << 63, value)) [[likely]] {
        return PackedFloat{value, length};
    }
    return convert_slowly(w, q, negative, s, length);
}

}  // namespace taldo
