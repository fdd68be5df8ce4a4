#include "float_conversion.hpp"

#include <bit>
#include <cfloat>
#include <charconv>
#include <cstring>
#include <limits>
#include <system_error>

#include "bigint.hpp"
#include "pow5_table.hpp"
#include "simd/number.hpp"

namespace taldo {

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

constexpr double POW10_F64[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                  1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

constexpr uint64_t SIGN_BIT = 0x8000000000000000ull;
constexpr uint64_t INFINITY_BITS = 0x7FF0000000000000ull;
constexpr int MAX_SIGNIFICANT = 19;  // 10^19 - 1 < 2^64
// Exponent digits beyond this value cannot matter: the value is then an
// infinity or a zero for any input that fits in memory.
constexpr int64_t EXPONENT_CAP = 1000000000000000;

inline double from_bits(uint64_t bits) { return std::bit_cast<double>(bits); }

// Reads a digit run from i; w becomes w * 10^n + its value (mod 2^64, which
// only matters for runs the caller will read again).
inline uint64_t read_digits(const uint8_t* data, uint64_t len, uint64_t i, uint64_t& w) {
    while (i + simd::DIGIT_BLOCK <= len) {
        const unsigned k = simd::count_digits_16(data + i);
        if (k == 0) {
            return i;
        }
        w = w * POW10_U64[k] + simd::parse_leading_digits(data + i, k);
        i += k;
        if (k < simd::DIGIT_BLOCK) {
            return i;
        }
    }
    while (i < len && is_digit(data[i])) {
        w = w * 10 + (data[i] - '0');
        ++i;
    }
    return i;
}

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
    const int top = 63 - std::countl_zero(x.hi);            // highest set bit of the high word
    const int64_t exponent = top + 128 + scale;              // of the leading bit
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

// The text is known to be a number; the fast methods could not decide.
double convert_with_library(const uint8_t* data, uint64_t start, uint64_t end, int64_t q, bool negative) {
    double value = 0;
    const char* first = reinterpret_cast<const char*>(data + start);
    const char* last = reinterpret_cast<const char*>(data + end);
    const std::from_chars_result r = std::from_chars(first, last, value);
    if (r.ec == std::errc::result_out_of_range) {
        // Only a zero or an infinity is out of range; which one the exponent
        // says (q > 0 means the value is at least 10).
        value = q > 0 ? std::numeric_limits<double>::infinity() : 0.0;
        return negative ? -value : value;
    }
    return value;
}

// Collects the first 19 significant digits of the digits in [a, b) followed by
// those in [c, d), for a significand too long to read in one go.
struct Significand {
    uint64_t w = 0;
    int64_t dropped = 0;  // digits after the first 19 significant ones
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

// Inlined into the conversion, whose hot path it is.
inline bool nearest_double(uint64_t w, int64_t q, bool negative, bool truncated, double& out) {
    const uint64_t sign = negative ? SIGN_BIT : 0;
    if (w == 0) {
        out = from_bits(sign);
        return true;
    }
#if defined(FLT_EVAL_METHOD) && FLT_EVAL_METHOD == 0
    // Clinger: w and 10^|q| are exact doubles, so one IEEE operation rounds
    // the exact quotient or product correctly.
    if (!truncated && w <= (uint64_t{1} << 53)) {
        if (q >= -22 && q <= 22) {
            const double d = static_cast<double>(w);
            const double value = q < 0 ? d / POW10_F64[-q] : d * POW10_F64[q];
            out = negative ? -value : value;
            return true;
        }
        if (q > 22 && q <= 22 + 15 && w <= (uint64_t{1} << 53) / POW10_U64[q - 22]) {
            const double value = static_cast<double>(w * POW10_U64[q - 22]) * 1e22;
            out = negative ? -value : value;
            return true;
        }
    }
#endif
    if (q > pow5::MAX_Q) {
        out = from_bits(sign | INFINITY_BITS);
        return true;
    }
    if (q < pow5::MIN_Q) {
        out = from_bits(sign);
        return true;
    }
    // Eisel-Lemire: w * 10^q = W * T * 2^scale with W = w normalised to 64
    // bits and T the 128-bit truncation of 5^q. The exact value lies between
    // the product and an upper bound; when both round to the same double, so
    // does the value (rounding is monotonic).
    const int lz = std::countl_zero(w);
    const uint64_t W = w << lz;
    const uint64_t* t = pow5::TABLE[q - pow5::MIN_Q];
    const U128 low_part = mul_64x64(W, t[1]);
    const U128 high_part = mul_64x64(W, t[0]);
    U192 x{high_part.hi, high_part.lo + low_part.hi, low_part.lo};
    x.hi += x.mid < low_part.hi ? 1 : 0;
    const int64_t scale = ((q * 217706) >> 16) - 127 - lz;  // floor(q * log2(10)) - 127 - lz

    const uint64_t low_bits = round_to_bits(x, scale);
    const bool exact_table = q >= 0 && q <= 55;
    if (!truncated && (exact_table || (x.mid != 0 && x.mid != ~uint64_t{0}))) [[likely]] {
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

}  // namespace

bool decimal_to_double(uint64_t w, int64_t q, bool negative, bool truncated, double& out) {
    return nearest_double(w, q, negative, truncated, out);
}

ConvertedFloat convert_float(const uint8_t* data, uint64_t len, uint64_t start) {
    ConvertedFloat result;
    uint64_t i = start;
    const bool negative = i < len && data[i] == '-';
    i += negative ? 1 : 0;
    if (i >= len || !is_digit(data[i])) {
        return result;
    }
    uint64_t w = 0;
    const uint64_t int_start = i;
    if (data[i] == '0') {
        ++i;
        if (i < len && is_digit(data[i])) {
            return result;
        }
    } else {
        i = read_digits(data, len, i, w);
    }
    const uint64_t int_end = i;
    uint64_t frac_start = i;
    uint64_t frac_end = i;
    if (i < len && data[i] == '.') {
        ++i;
        if (i >= len || !is_digit(data[i])) {
            return result;
        }
        frac_start = i;
        i = read_digits(data, len, i, w);
        frac_end = i;
    }
    int64_t exponent = 0;
    if (i < len && (data[i] | 0x20) == 'e') {
        ++i;
        bool exponent_negative = false;
        if (i < len && (data[i] == '+' || data[i] == '-')) {
            exponent_negative = data[i] == '-';
            ++i;
        }
        if (i >= len || !is_digit(data[i])) {
            return result;
        }
        for (; i < len && is_digit(data[i]); ++i) {
            if (exponent < EXPONENT_CAP) {
                exponent = exponent * 10 + (data[i] - '0');
            }
        }
        exponent = exponent_negative ? -exponent : exponent;
    }
    result.end = i;
    result.ok = true;

    const uint64_t frac_digits = frac_end - frac_start;
    int64_t q = exponent - static_cast<int64_t>(frac_digits);
    bool truncated = false;
    if ((int_end - int_start) + frac_digits > static_cast<uint64_t>(MAX_SIGNIFICANT)) [[unlikely]] {
        const Significand s = collect_significand(data, int_start, int_end, frac_start, frac_end);
        w = s.w;
        q += s.dropped;
        truncated = s.truncated;
    }
    if (!nearest_double(w, q, negative, truncated, result.value)) [[unlikely]] {
        result.value = convert_with_library(data, start, result.end, q, negative);
    }
    return result;
}

}  // namespace taldo
