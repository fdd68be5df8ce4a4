#include "float_conversion.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "compiler.hpp"
#include "number_decoder.hpp"

namespace taldo {

using namespace conversion_steps;

namespace {

using simd::is_digit;

constexpr uint64_t POW10_U64[20] = {1ull,
                                    10ull,
                                    100ull,
                                    1000ull,
                                    10000ull,
                                    100000ull,
                                    1000000ull,
                                    10000000ull,
                                    100000000ull,
                                    1000000000ull,
                                    10000000000ull,
                                    100000000000ull,
                                    1000000000000ull,
                                    10000000000000ull,
                                    100000000000000ull,
                                    1000000000000000ull,
                                    10000000000000000ull,
                                    100000000000000000ull,
                                    1000000000000000000ull,
                                    10000000000000000000ull};

constexpr uint64_t SIGN_BIT = 0x8000000000000000ull;
constexpr uint64_t INFINITY_BITS = 0x7FF0000000000000ull;
constexpr int MAX_SIGNIFICANT = 19;  // 10^19 - 1 < 2^64

// A 192-bit unsigned value, in three words.
struct U192 {
    uint64_t hi, mid, lo;
};

// Adds y to x; false when the sum does not fit in 192 bits.
inline bool add_to(U192& x, const U192& y) {
    const uint64_t lo = x.lo + y.lo;
    const uint64_t carry_lo = lo < y.lo ? 1 : 0;
    const uint64_t mid_sum = x.mid + y.mid;
    const uint64_t mid = mid_sum + carry_lo;
    const uint64_t carry_mid = (mid_sum < y.mid ? 1 : 0) + (mid < carry_lo ? 1 : 0);
    const uint64_t hi_sum = x.hi + y.hi;
    const uint64_t hi = hi_sum + carry_mid;
    const bool overflow = hi_sum < y.hi || hi < carry_mid;
    x = U192{hi, mid, lo};
    return !overflow;
}

// The bits of the double nearest to x * 2^scale, ties to even, for x >= 2^190
// (the high word has bit 62 or 63 set, so at least 10 bits lie below the
// result's last bit).
inline uint64_t round_to_bits(const U192& x, int64_t scale) {
    const int top = 63 - std::countl_zero(x.hi);  // highest set bit of the high word
    const int64_t exponent = top + 128 + scale;   // of the leading bit
    if (exponent > 1023) {
        return INFINITY_BITS;
    }
    // The high word's bit `shift` has the weight of the result's last bit:
    // 2^(exponent - 52) for a normal result, 2^-1074 for a subnormal one.
    const bool subnormal = exponent < -1022;
    const int64_t shift = subnormal ? -1202 - scale : top - 52;  // at least 10 in both cases
    if (shift > 64) {
        return 0;  // below half the smallest subnormal
    }
    const uint64_t kept = shift == 64 ? 0 : x.hi >> shift;
    const uint64_t round = (x.hi >> (shift - 1)) & 1;
    const uint64_t below = x.hi & ((uint64_t{1} << (shift - 1)) - 1);
    const bool sticky = below != 0 || x.mid != 0 || x.lo != 0;
    const uint64_t mantissa = kept + (round & ((sticky ? 1 : 0) | (kept & 1)));
    if (subnormal) {
        return mantissa;  // 2^52 after rounding is the smallest normal's bit pattern
    }
    // A mantissa that rounded up to 2^53 carries into the exponent field.
    const uint64_t bits = (static_cast<uint64_t>(exponent + 1023) << 52) + mantissa - (uint64_t{1} << 52);
    return bits >= INFINITY_BITS ? INFINITY_BITS : bits;
}

// Every input the fast methods leave: zero, exponents beyond the table,
// truncated significands, subnormals, infinities and the inputs near a tie or
// a carry. The full 192-bit product W * T settles those too unless the exact
// value and an upper bound on it round differently; false then.
TALDO_NOINLINE bool nearest_double_careful(uint64_t w, int64_t q, bool negative, bool truncated, double& out) {
    const uint64_t sign = negative ? SIGN_BIT : 0;
    if (w == 0) {
        out = from_bits(sign);
        return true;
    }
    if (!truncated && clinger_applies(w, q)) {
        out = clinger(w, q, negative);
        return true;
    }
    // w * 10^(q - 22) is still an exact double here, and 1e22 is one.
    if (EXACT_DOUBLE_OPERATIONS && !truncated && q > 22 && q <= 22 + 15 &&
        w <= (uint64_t{1} << 53) / POW10_U64[q - 22]) {
        const double value = static_cast<double>(w * POW10_U64[q - 22]) * 1e22;
        out = negative ? -value : value;
        return true;
    }
    if (q > pow5::MAX_Q) {
        out = from_bits(sign | INFINITY_BITS);
        return true;
    }
    if (q < pow5::MIN_Q) {
        out = from_bits(sign);
        return true;
    }
    // The exact value lies between the product W * T and an upper bound; when
    // both round to the same double, so does the value (rounding is monotonic).
    const int lz = std::countl_zero(w);
    const uint64_t W = w << lz;
    const uint64_t t[2] = {pow5::HIGH[q - pow5::MIN_Q], pow5::LOW[q - pow5::MIN_Q]};
    const U128 low_part = mul_64x64(W, t[1]);
    const U128 high_part = mul_64x64(W, t[0]);
    U192 x{high_part.hi, high_part.lo + low_part.hi, low_part.lo};
    x.hi += x.mid < low_part.hi ? 1 : 0;
    const int64_t scale = ((q * 217706) >> 16) - 127 - lz;  // floor(q * log2(10)) - 127 - lz

    const uint64_t low_bits = round_to_bits(x, scale);
    const bool exact_table = q >= 0 && q <= 55;
    if (!truncated && (exact_table || (x.mid != 0 && x.mid != ~uint64_t{0}))) {
        // Less than W (< 2^64) separates the product from the exact value: it
        // cannot carry past a middle word that is not all ones, and a middle
        // word that is not zero already makes the bits below the rounding
        // position non-zero, so the rounding is the same.
        out = from_bits(sign | low_bits);
        return true;
    }
    U192 upper = x;
    U192 error{0, 0, W};
    if (truncated) {
        // The value is below (W + 2^lz) * (T + 1) = W*T + W + 2^lz * T + 2^lz.
        if (!add_to(error, U192{0, 0, uint64_t{1} << lz})) {
            return false;
        }
        const U192 shifted_t{lz == 0 ? 0 : t[0] >> (64 - lz), lz == 0 ? t[0] : (t[0] << lz) | (t[1] >> (64 - lz)),
                             t[1] << lz};
        if (!add_to(error, shifted_t)) {
            return false;
        }
    }
    // T is short of 5^q * 2^-s by less than 1, so W * T by less than W.
    if (!add_to(upper, error) || round_to_bits(upper, scale) != low_bits) {
        return false;
    }
    out = from_bits(sign | low_bits);
    return true;
}

// Eisel-Lemire for a significand cut to its first 19 digits (w >= 10^18)
// with non-zero digits dropped after them: the value lies strictly between
// w * 10^q and (w + 1) * 10^q, and is (W + d) * (T + f) * 2^scale with
// W = w * 2^lz, 0 < d < 2^lz, T the table entry and 0 <= f < 1. Over the
// product A = W * T_high, whose high word has the weight 2^128 in W * T,
// that adds d * (T + f) < 2^lz * 2^128, W * T_low + W * f < 2^128 + 2^64 and
// A's low word: less than MARGIN = 2^lz + 3 units of A's high word. When the
// bits of that word from the rounding bit down are above the halfway pattern,
// or at least MARGIN below it, the whole interval rounds as the high word
// does: it cannot reach the halfway point from below, nor fall under it from
// above. Near the halfway point only the exact method decides; a result
// outside the normal range is left to the careful method.
enum class CutVerdict : uint8_t { Decided, NearHalfway, OutOfRange };

inline CutVerdict lemire_cut(uint64_t w, int64_t q, uint64_t& bits) {
    const uint64_t index = static_cast<uint64_t>(q - pow5::MIN_Q);
    if (index > static_cast<uint64_t>(pow5::MAX_Q - pow5::MIN_Q)) {
        return CutVerdict::OutOfRange;
    }
    const auto lz = static_cast<unsigned>(std::countl_zero(w));  // at most 4
    const U128 a = mul_64x64(w << lz, pow5::HIGH[index]);
    const uint64_t upper = a.hi >> 63;
    const uint64_t margin = (uint64_t{1} << lz) + 3;
    const uint64_t half = uint64_t{1} << (upper + 9);  // the rounding bit
    const uint64_t low = a.hi & (2 * half - 1);
    // Near the halfway point, or so near the top of the word that the
    // interval may reach the next binade.
    if (low - (half - margin) <= margin || ((a.hi + margin) >> 63) != upper) {
        return CutVerdict::NearHalfway;
    }
    const uint64_t mantissa = ((a.hi >> (upper + 9)) + 1) >> 1;
    const int64_t biased = ((q * 217706) >> 16) + 1086 + static_cast<int64_t>(upper) - static_cast<int64_t>(lz);
    if (static_cast<uint64_t>(biased - 1) >= 2046) {
        return CutVerdict::OutOfRange;
    }
    bits = (static_cast<uint64_t>(biased - 1) << 52) + mantissa;
    return CutVerdict::Decided;
}

inline bool nearest_double(uint64_t w, int64_t q, bool negative, bool truncated, double& out) {
    if (truncated) {
        uint64_t bits;
        const CutVerdict verdict = lemire_cut(w, q, bits);
        if (verdict == CutVerdict::Decided) [[likely]] {
            out = from_bits(bits | (negative ? SIGN_BIT : 0));
            return true;
        }
        if (verdict == CutVerdict::NearHalfway) {
            return false;
        }
    } else {
        if (clinger_applies(w, q)) {
            out = clinger(w, q, negative);
            return true;
        }
        uint64_t bits;
        if (lemire_fast<false>(w, q, bits)) {
            out = from_bits(bits | (negative ? SIGN_BIT : 0));
            return true;
        }
    }
    return nearest_double_careful(w, q, negative, truncated, out);
}

// The exact method, for the texts that the fast and the careful methods
// leave: an exact decimal halfway between two doubles, or a value so near
// such a point that their error bounds cannot tell on which side it lies (a
// few random texts in a thousand when more than 19 digits are cut off, a few
// in a billion otherwise).
//
// The first 19 significant digits give a lower bound on the value and the
// double b just below it, with the value lying under b + 3/2 ulp; the value is
// then compared, exactly, with the halfway point h = b + ulp/2 between b and
// the next double up: below h it rounds to b, above h to the next double, and
// on h to the even one of the two.
//
// The comparison of D * 10^E (D the significant digits) with
// h = m * 2^e is that of D * 5^E * 2^E with m * 2^e for E >= 0, and of D with
// m * 5^-E * 2^(e - E) for E < 0, after the power of two of the side whose
// exponent is the larger has been multiplied in. Halfway points have at most
// 768 significant digits, so that digits beyond the first KEPT_DIGITS are
// replaced by one non-zero digit: that moves the value but never across h.
// The value lies between 10^-325 and 10^310, the other values being a zero
// or an infinity, which bounds both sides below 2^2700 (FixedBigInt).
constexpr uint64_t KEPT_DIGITS = 780;

// The parts of a number's text: [digits, int_end) the integer digits,
// [frac_start, frac_end) the fraction's (empty without one).
struct TextParts {
    uint64_t digits = 0, int_end = 0, frac_start = 0, frac_end = 0;
    int64_t exponent = 0;
};

TextParts split_number_text(const uint8_t* text, uint64_t length) {
    TextParts t;
    uint64_t p = (length != 0 && text[0] == '-') ? 1 : 0;
    t.digits = p;
    while (p < length && is_digit(text[p])) ++p;
    t.int_end = p;
    t.frac_start = t.frac_end = p;
    if (p < length && text[p] == '.') {
        t.frac_start = ++p;
        while (p < length && is_digit(text[p])) ++p;
        t.frac_end = p;
    }
    if (p < length && (text[p] | 0x20) == 'e') {
        ++p;
        const bool exponent_negative = p < length && text[p] == '-';
        if (p < length && (text[p] == '-' || text[p] == '+')) ++p;
        for (; p < length && is_digit(text[p]); ++p) {
            if (t.exponent < EXPONENT_CAP) {
                t.exponent = t.exponent * 10 + (text[p] - '0');
            }
        }
        if (exponent_negative) t.exponent = -t.exponent;
    }
    return t;
}

// The double just below w * 10^q (w >= 1, q inside the table), or exactly
// it when it is a double, as bits: the 192-bit product W * T, a lower bound
// on the value, cut to 53 bits (fewer for a subnormal). INFINITY_BITS for a
// value of 2^1024 or more.
uint64_t truncated_bits(uint64_t w, int64_t q) {
    const int lz = std::countl_zero(w);
    const uint64_t W = w << lz;
    const U128 low_part = mul_64x64(W, pow5::LOW[q - pow5::MIN_Q]);
    const U128 high_part = mul_64x64(W, pow5::HIGH[q - pow5::MIN_Q]);
    const uint64_t mid = high_part.lo + low_part.hi;
    const uint64_t hi = high_part.hi + (mid < low_part.hi ? 1 : 0);
    const int64_t scale = ((q * 217706) >> 16) - 127 - lz;
    const int top = 63 - std::countl_zero(hi);
    const int64_t exponent = top + 128 + scale;  // of the leading bit
    if (exponent > 1023) {
        return INFINITY_BITS;
    }
    if (exponent < -1022) {
        const int64_t shift = -1202 - scale;  // the bit of weight 2^-1074
        return shift >= 64 ? 0 : hi >> shift;
    }
    return (static_cast<uint64_t>(exponent + 1023) << 52) + (hi >> (top - 52)) - (uint64_t{1} << 52);
}

TALDO_NOINLINE double convert_exactly(const uint8_t* text, const TextParts& t, bool negative) {
    const uint64_t sign = negative ? SIGN_BIT : 0;
    // The significant digits, without leading and trailing zeros, and the
    // power of ten of the first one (without the exponent).
    uint64_t first = t.digits;
    while (first < t.int_end && text[first] == '0') ++first;
    if (first == t.int_end) {
        first = t.frac_start;
        while (first < t.frac_end && text[first] == '0') ++first;
        if (first == t.frac_end) {
            return from_bits(sign);
        }
    }
    uint64_t last = t.frac_end;  // past the last non-zero digit
    while (last > t.frac_start && text[last - 1] == '0') --last;
    if (last <= t.int_end) {
        last = t.int_end;
        while (text[last - 1] == '0') --last;  // stops at `first`, which is not a zero
    }
    const auto weight = [&](uint64_t i) -> int64_t {  // the power of ten of the digit at i
        return i < t.int_end ? static_cast<int64_t>(t.int_end - 1 - i) : -static_cast<int64_t>(i + 1 - t.frac_start);
    };
    const int64_t lead = weight(first) + t.exponent;
    if (lead > 309) {
        return from_bits(sign | INFINITY_BITS);  // at least 10^310
    }
    if (lead < -325) {
        return from_bits(sign);  // below 10^-325, under half the smallest subnormal
    }
    // The significant digits, at most KEPT_DIGITS and a final 1 for the rest,
    // copied together without the '.', between runs of '0' that let every
    // group of digits be read 16 at a time.
    constexpr uint64_t PAD = 24;
    uint8_t buffer[PAD + KEPT_DIGITS + 1 + PAD];
    uint8_t* const digits = buffer + PAD;
    std::memset(buffer, '0', PAD);
    uint64_t n = 0;
    if (first < t.int_end) {
        n = std::min<uint64_t>((last < t.int_end ? last : t.int_end) - first, KEPT_DIGITS);
        std::memcpy(digits, text + first, n);
        if (last > t.int_end && n < KEPT_DIGITS) {
            const uint64_t more = std::min<uint64_t>(last - t.frac_start, KEPT_DIGITS - n);
            std::memcpy(digits + n, text + t.frac_start, more);
            n += more;
        }
    } else {
        n = std::min<uint64_t>(last - first, KEPT_DIGITS);
        std::memcpy(digits, text + first, n);
    }
    const int64_t all = lead - (weight(last - 1) + t.exponent) + 1;  // significant digits in the text
    if (static_cast<uint64_t>(all) > n) {
        digits[n++] = '1';
    }
    std::memset(digits + n, '0', PAD);
    const int64_t E = lead - static_cast<int64_t>(n) + 1;  // the power of ten of the last digit

    // The double b just below the value, from its first 19 digits (zeros
    // after the last).
    const uint64_t head = simd::parse_sixteen_digits(digits - 13) * POW10_U64[16] + simd::parse_sixteen_digits(digits + 3);
    const uint64_t bits = truncated_bits(head, lead - (MAX_SIGNIFICANT - 1));
    if (bits == INFINITY_BITS) {
        return from_bits(sign | INFINITY_BITS);
    }
    // h = m * 2^e.
    const uint64_t field = bits >> 52;
    const uint64_t fraction = bits & ((uint64_t{1} << 52) - 1);
    const uint64_t m = 2 * (field == 0 ? fraction : fraction | (uint64_t{1} << 52)) + 1;
    const int64_t e = (field == 0 ? -1074 : static_cast<int64_t>(field) - 1075) - 1;

    FixedBigInt value;  // D, digits taken 16 at a time (the first group padded with zeros)
    FixedBigInt halfway;
    uint64_t i = (n - 1) % simd::DIGIT_BLOCK + 1;
    value.set(simd::parse_sixteen_digits(digits + i - simd::DIGIT_BLOCK));
    for (; i < n; i += simd::DIGIT_BLOCK) {
        value.multiply_add(POW10_U64[16], simd::parse_sixteen_digits(digits + i));
    }
    halfway.set(m);
    int64_t value_twos, halfway_twos;
    if (E >= 0) {
        value.multiply_pow5(static_cast<uint64_t>(E));
        value_twos = E;
        halfway_twos = e;
    } else {
        halfway.multiply_pow5(static_cast<uint64_t>(-E));
        value_twos = 0;
        halfway_twos = e - E;
    }
    if (value_twos > halfway_twos) {
        value.shift_left(static_cast<uint64_t>(value_twos - halfway_twos));
    } else {
        halfway.shift_left(static_cast<uint64_t>(halfway_twos - value_twos));
    }
    const int order = FixedBigInt::compare(value, halfway);
    // b + 1 ulp is the next double up: the next binade's first, or the
    // infinity after the largest.
    const uint64_t rounded = bits + (order > 0 ? 1 : order < 0 ? 0 : (bits & 1));
    return from_bits(sign | rounded);
}
}  // namespace

PackedFloat convert_slowly(uint64_t w, int64_t q, bool negative, const uint8_t* s, uint64_t length) {
    PackedFloat result{0, length};
    if (!nearest_double_careful(w, q, negative, false, result.value)) [[unlikely]] {
        result.value = convert_exactly(s, split_number_text(s, length), negative);
    }
    return result;
}

namespace {

// w * 10^n + the value of the n digits [from, to), mod 2^64 (the caller keeps
// n + the digits already in w to at most 19).
inline uint64_t append_digits(const uint8_t* data, uint64_t from, uint64_t to, uint64_t w) {
    for (; from + simd::DIGIT_BLOCK <= to; from += simd::DIGIT_BLOCK) {
        w = w * POW10_U64[16] + simd::parse_sixteen_digits(data + from);
    }
    for (; from < to; ++from) {
        w = w * 10 + (data[from] - '0');
    }
    return w;
}

// Whether a digit in [from, to) is not a zero.
inline bool any_non_zero(const uint8_t* data, uint64_t from, uint64_t to) {
    for (; from + 8 <= to; from += 8) {
        if (simd::load_le64(data + from) != 0x3030303030303030ull) {
            return true;
        }
    }
    for (; from < to; ++from) {
        if (data[from] != '0') {
            return true;
        }
    }
    return false;
}

// Collects the first 19 significant digits of the digits in [a, b) followed by
// those in [c, d), for a significand too long to read in one go.
struct Significand {
    uint64_t w = 0;
    int64_t dropped = 0;     // digits after the first 19 significant ones
    bool truncated = false;  // one of them was not zero
};

Significand collect_significand(const uint8_t* data, uint64_t a, uint64_t b, uint64_t c, uint64_t d) {
    Significand s;
    int taken = 0;
    const auto visit = [&](uint64_t from, uint64_t to) {
        for (uint64_t i = from; i < to; ++i) {
            const uint8_t digit = static_cast<uint8_t>(data[i] - '0');
            if (taken < MAX_SIGNIFICANT) {
                if (taken == 0 && digit == 0) {
                    continue;  // leading zero
                }
                s.w = s.w * 10 + digit;
                ++taken;
            } else {
                ++s.dropped;
                s.truncated |= digit != 0;
            }
        }
    };
    visit(a, b);
    visit(c, d);
    return s;
}

// The exponent's digits from i, where a digit is known to be; returns the
// index past them. Most exponents have one to three digits: the two bytes
// after the first are read with one bounds check and no loop.
inline const uint8_t* read_exponent_digits(const uint8_t* i, const uint8_t* input_end, int64_t& exponent) {
    exponent = *i - '0';
    ++i;
    if (i + 2 <= input_end) [[likely]] {
        const auto second = static_cast<uint8_t>(i[0] - '0');
        if (second > 9) {
            return i;
        }
        const auto third = static_cast<uint8_t>(i[1] - '0');
        if (third > 9) {
            exponent = exponent * 10 + second;
            return i + 1;
        }
        exponent = exponent * 100 + second * 10 + third;
        i += 2;
    }
    for (; i < input_end && is_digit(*i); ++i) {
        if (exponent < EXPONENT_CAP) {
            exponent = exponent * 10 + (*i - '0');
        }
    }
    return i;
}

// The exponent after its marker ('e' or 'E' at `marker`): its sign and
// digits, as a signed value; returns the index past it, or nullptr when no
// digit follows the marker and its sign (the general reader reports that).
inline const uint8_t* read_exponent(const uint8_t* marker, const uint8_t* input_end, int64_t& exponent) {
    const uint8_t* i = marker + 1;
    bool negative = false;
    if (i < input_end && (*i == '+' || *i == '-')) {
        negative = *i == '-';
        ++i;
    }
    if (i >= input_end || !is_digit(*i)) [[unlikely]] {
        return nullptr;
    }
    i = read_exponent_digits(i, input_end, exponent);
    if (negative) {
        exponent = -exponent;
    }
    return i;
}

}  // namespace

PackedFloat convert_with_exponent(const uint8_t* s, const uint8_t* marker, uint64_t w, int64_t q,
                                  const uint8_t* input_end) {
    int64_t exponent;
    const uint8_t* i = read_exponent(marker, input_end, exponent);
    if (i == nullptr) [[unlikely]] {
        return PackedFloat{0, 0};
    }
    q += exponent;
    const bool negative = *s == '-';
    const auto length = static_cast<uint64_t>(i - s);
    double value;
    if (convert_fast<false>(w, q, uint64_t{negative} << 63, value)) [[likely]] {
        return PackedFloat{value, length};
    }
    return convert_slowly(w, q, negative, s, length);
}

namespace {

// convert_long_significand's way for 20 digits or more, the first not a zero:
// the first 19 are valued, and the others only looked at for a non-zero.
TALDO_NOINLINE PackedFloat convert_cut_significand(const uint8_t* s, const uint8_t* p, uint64_t w, uint32_t shape,
                                                   const uint8_t* input_end) {
    const unsigned k = shape & 0xFF;
    const unsigned n = shape >> 8;
    const unsigned e = n + 1;  // past the fraction
    // Digits 17 to 19 lie at p + 17 on, past the '.'; the rest up to p + e.
    w = w * 1000 + (uint64_t{p[17]} - '0') * 100 + (uint64_t{p[18]} - '0') * 10 + (uint64_t{p[19]} - '0');
    int64_t q = static_cast<int64_t>(k) - MAX_SIGNIFICANT;
    const bool truncated = any_non_zero(p, 20, e);
    const uint8_t* end = p + e;
    if ((*end | 0x20) == 'e') {
        int64_t exponent;
        end = read_exponent(end, input_end, exponent);
        if (end == nullptr) [[unlikely]] {
            return PackedFloat{0, 0};
        }
        q += exponent;
    }
    const bool negative = *s == '-';
    const auto length = static_cast<uint64_t>(end - s);
    PackedFloat result{0, length};
    if (!nearest_double(w, q, negative, truncated, result.value)) {
        result.value = convert_exactly(s, split_number_text(s, length), negative);
    }
    return result;
}

}  // namespace

PackedFloat convert_long_fraction(const uint8_t* s, const uint8_t* p, unsigned k, const uint8_t* input_end) {
    if (!is_digit(p[k + 1]) || *p == '0') {
        return PackedFloat{0, 0};  // the general reader's
    }
    // Digits lie from p + k + 1 to p + 31 at least.
    const uint64_t frac_end = simd::skip_digits(p, 31, static_cast<uint64_t>(input_end - p));
    // The first 16 digits, then digits 17 to 19, past the '.' (k <= 15).
    uint64_t w = simd::parse_significand_16(p, k, 32);
    w = w * 1000 + (uint64_t{p[17]} - '0') * 100 + (uint64_t{p[18]} - '0') * 10 + (uint64_t{p[19]} - '0');
    const bool truncated = any_non_zero(p, 20, frac_end);
    int64_t exponent = 0;
    const uint8_t* end = p + frac_end;
    if (end < input_end && (*end | 0x20) == 'e') {
        end = read_exponent(end, input_end, exponent);
        if (end == nullptr) [[unlikely]] {
            return PackedFloat{0, 0};
        }
    }
    const bool negative = *s == '-';
    const auto length = static_cast<uint64_t>(end - s);
    PackedFloat result{0, length};
    if (!nearest_double(w, static_cast<int64_t>(k) - MAX_SIGNIFICANT + exponent, negative, truncated, result.value)) {
        const auto digits = static_cast<uint64_t>(p - s);
        const TextParts parts{digits, digits + k, digits + k + 1, digits + frac_end, exponent};
        result.value = convert_exactly(s, parts, negative);
    }
    return result;
}

PackedFloat convert_long_significand(const uint8_t* s, const uint8_t* p, uint64_t w, uint32_t shape,
                                     const uint8_t* input_end) {
    const unsigned k = shape & 0xFF;
    const unsigned n = shape >> 8;
    const unsigned e = n + 1;  // a fraction follows
    const unsigned extra = n - 16;
    // w * 10^extra + the rest < 10^19 < 2^64 while w < 10^(19 - extra): always
    // so for up to 19 digits, and for more only with leading zeros; the
    // general reader takes the others.
    if (w >= POW10_U64[19 - extra]) {
        if (extra < 4 || w < POW10_U64[15]) {
            return PackedFloat{0, 0};  // leading zeros before the first digit that counts
        }
        return convert_cut_significand(s, p, w, shape, input_end);
    }
    w = w * POW10_U64[extra] + simd::parse_leading_digits(p + 17, extra);
    const int64_t q = static_cast<int64_t>(k) - static_cast<int64_t>(n);
    if ((p[e] | 0x20) == 'e') {
        return convert_with_exponent(s, p + e, w, q, input_end);
    }
    const bool negative = *s == '-';
    const auto length = static_cast<uint64_t>(p + e - s);
    double value;
    if (convert_fast<true>(w, q, uint64_t{negative} << 63, value)) [[likely]] {
        return PackedFloat{value, length};
    }
    return convert_slowly(w, q, negative, s, length);
}

double convert_number_text(const uint8_t* data, const NumberText& text) {
    const uint64_t int_digits = text.int_end - text.digits;
    const uint64_t frac_digits = text.frac_end - text.frac_start;
    int64_t q = text.exponent - static_cast<int64_t>(frac_digits);
    uint64_t w = 0;
    bool truncated = false;
    if (int_digits + frac_digits <= static_cast<uint64_t>(MAX_SIGNIFICANT)) {
        w = append_digits(data, text.digits, text.int_end, 0);
        w = append_digits(data, text.frac_start, text.frac_end, w);
    } else if (data[text.digits] != '0') {
        // The first 19 digits are the significant ones: the integer part's,
        // then the fraction's first, read 16 at a time.
        const uint64_t from_int = std::min<uint64_t>(int_digits, MAX_SIGNIFICANT);
        const uint64_t from_frac = MAX_SIGNIFICANT - from_int;
        w = append_digits(data, text.digits, text.digits + from_int, 0);
        w = append_digits(data, text.frac_start, text.frac_start + from_frac, w);
        q += static_cast<int64_t>(int_digits + frac_digits) - MAX_SIGNIFICANT;
        truncated = any_non_zero(data, text.digits + from_int, text.int_end) ||
                    any_non_zero(data, text.frac_start + from_frac, text.frac_end);
    } else {
        const Significand s = collect_significand(data, text.digits, text.int_end, text.frac_start, text.frac_end);
        w = s.w;
        q += s.dropped;
        truncated = s.truncated;
    }
    double value;
    if (!nearest_double(w, q, text.negative, truncated, value)) {
        const TextParts parts{text.digits, text.int_end, text.frac_start, text.frac_end, text.exponent};
        value = convert_exactly(data, parts, text.negative);
    }
    return value;
}

}  // namespace taldo
