#include "number_decoder.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace taldo {

namespace {

using simd::is_digit;

constexpr uint64_t POW10_16 = 10000000000000000ull;

// Whether the n bytes at pos are `rest`; false also when the input ends first.
inline bool word_follows(const uint8_t* data, uint64_t len, uint64_t pos, const char* rest, uint64_t n) {
    return pos + n <= len && std::memcmp(data + pos, rest, n) == 0;
}

constexpr char NAN_REST[] = "aN";
constexpr char INFINITY_REST[] = "nfinity";

// The block reader at `start`, in place or on a padded copy near the end.
template <bool WithFloats>
inline BlockNumber read_block_anywhere(const uint8_t* data, uint64_t len, uint64_t start, bool negative) {
    if (start + NUMBER_WINDOW <= len) {
        return read_block<WithFloats>(data + start, data + len, negative);
    }
    uint8_t buffer[PADDED_NUMBER];
    copy_near_end(buffer, data, len, start);
    return read_block<WithFloats>(buffer, buffer + PADDED_NUMBER, negative);
}

}  // namespace

LongInt read_long_int(const uint8_t* d, bool negative) {
    const auto extra = static_cast<unsigned>(std::countr_zero(~simd::digit_bits_16(d + 16)));
    // 20 digits or more, or a float: the general reader's.
    if (extra > 3 || is_float_marker(d[16 + extra])) {
        return LongInt{0, 0};
    }
    // The first `extra` digits, then the 16 that end the run.
    uint64_t head = 0;
    for (unsigned i = 0; i < extra; ++i) {
        head = head * 10 + (d[i] - '0');
    }
    const uint64_t v = head * POW10_16 + simd::parse_sixteen_digits(d + extra);  // < 10^19 < 2^64
    constexpr uint64_t limit = uint64_t{1} << 63;
    if (v > limit - (negative ? 0 : 1)) {
        return LongInt{0, 0};  // a BigInt
    }
    return LongInt{static_cast<int64_t>(negative ? uint64_t{0} - v : v), 16 + extra + (negative ? 1 : 0)};
}

Result<NumberText> read_number(const uint8_t* data, uint64_t len, uint64_t start, uint8_t first_byte,
                               bool allow_inf_nan, Reading reading) {
    NumberText t;
    t.start = start;
    uint64_t p = start;
    uint8_t b = first_byte;
    if (first_byte == '-') {
        if (start + 1 >= len) {
            return ParseError(ErrorKind::EofInValue, start + 1);
        }
        t.negative = true;
        p = start + 1;
        b = data[p];
    } else if (first_byte == 'N') {
        // Only a first byte can begin NaN.
        if (!allow_inf_nan) {
            return ParseError(ErrorKind::ExpectedValue, start);
        }
        if (!word_follows(data, len, start + 1, NAN_REST, 2)) {
            return word_fault(data, len, start + 1, NAN_REST, 2);
        }
        t.kind = NumberText::Kind::Word;
        t.word = std::numeric_limits<double>::quiet_NaN();
        t.end = start + 3;
        return t;
    }
    uint64_t e;
    if (b == '0') {
        e = p + 1;
        if (e < len && is_digit(data[e])) {
            return ParseError(ErrorKind::InvalidNumber, e);
        }
    } else if (b >= '1' && b <= '9') {
        if (reading == Reading::Value) {
            const uint64_t limit = p + MAX_INT_DIGITS;
            e = simd::skip_digits(data, p + 1, std::min(limit, len));
            if (e == limit && e < len && is_digit(data[e])) {
                return ParseError(ErrorKind::NumberOutOfRange, p + MAX_INT_DIGITS + 1);
            }
        } else {
            e = simd::skip_digits(data, p + 1, len);
        }
    } else if (b == 'I') {
        if (!allow_inf_nan) {
            return ParseError(t.negative ? ErrorKind::InvalidNumber : ErrorKind::ExpectedValue, p);
        }
        if (!word_follows(data, len, p + 1, INFINITY_REST, 7)) {
            return word_fault(data, len, p + 1, INFINITY_REST, 7);
        }
        t.kind = NumberText::Kind::Word;
        t.word = t.negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
        t.end = p + 8;
        return t;
    } else {
        // The builder sends every byte that begins no other value here.
        if (!t.negative && reading == Reading::Value) {
            return ParseError(ErrorKind::ExpectedValue, start);
        }
        return ParseError(ErrorKind::InvalidNumber, p);
    }
    t.digits = p;
    t.int_end = e;
    t.frac_start = e;
    t.frac_end = e;
    if (e < len && data[e] == '.') {
        const uint64_t q = e + 1;
        if (q >= len) {
            return ParseError(ErrorKind::EofInValue, q);
        }
        if (!is_digit(data[q])) {
            return ParseError(ErrorKind::InvalidNumber, q);
        }
        t.kind = NumberText::Kind::Float;
        t.frac_start = q;
        e = simd::skip_digits(data, q + 1, len);
        t.frac_end = e;
    }
    if (e < len && (data[e] | 0x20) == 'e') {
        uint64_t q = e + 1;
        bool exponent_negative = false;
        if (q < len && (data[q] == '+' || data[q] == '-')) {
            exponent_negative = data[q] == '-';
            ++q;
        }
        if (q >= len) {
            return ParseError(ErrorKind::EofInValue, q);
        }
        if (!is_digit(data[q])) {
            return ParseError(ErrorKind::InvalidNumber, q);
        }
        int64_t exponent = 0;
        for (; q < len && is_digit(data[q]); ++q) {
            if (exponent < EXPONENT_CAP) {
                exponent = exponent * 10 + (data[q] - '0');
            }
        }
        t.kind = NumberText::Kind::Float;
        t.exponent = exponent_negative ? -exponent : exponent;
        e = q;
    }
    t.end = e;
    return t;
}

uint64_t short_run_value(const uint8_t* data, uint64_t from, uint64_t to) {
    uint64_t v = 0;
    for (uint64_t i = from; i < to; ++i) {
        v = v * 10 + (data[i] - '0');
    }
    return v;
}

// Valued 16 digits at a time, with the first chunk taking the remainder so
// that every later chunk is whole (and 16 bytes are readable at the first).
// The first two chunks (more than 19 digits make at least two) fit in 128
// bits.
void long_run_value(const uint8_t* data, uint64_t from, uint64_t to, BigInt& out) {
    const uint64_t first = (to - from - 1) % 16 + 1;
    const uint64_t head = simd::parse_leading_digits(data + from, static_cast<unsigned>(first));
    const U128 two = mul_64x64(head, POW10_16);
    const uint64_t low = two.lo + simd::parse_sixteen_digits(data + from + first);
    out.set(low, two.hi + (low < two.lo ? 1 : 0));
    for (uint64_t i = from + first + 16; i < to; i += 16) {
        out.multiply_add(POW10_16, simd::parse_sixteen_digits(data + i));
    }
}

Result<Decoded<double>> decode_number_float(const uint8_t* data, uint64_t len, uint64_t start, uint8_t first_byte,
                                            bool allow_inf_nan) {
    const bool negative = first_byte == '-';
    const BlockNumber n = read_block_anywhere<true>(data, len, start, negative);
    if (n.kind == BlockNumber::Kind::Float) {
        return Decoded<double>{n.float_value, start + n.length};
    }
    // Integers within 2^53 are exact doubles; -0 is the negative zero.
    constexpr int64_t exact = int64_t{1} << 53;
    if (n.kind == BlockNumber::Kind::Int && n.int_value >= -exact && n.int_value <= exact) {
        const double value = static_cast<double>(n.int_value);
        return Decoded<double>{negative ? -std::fabs(value) : value, start + n.length};
    }
    Result<NumberText> read = read_number(data, len, start, first_byte, allow_inf_nan, Reading::DoubleOnly);
    if (!read.ok()) {
        return read.take_error();
    }
    const NumberText& t = read.value();
    const double value = t.kind == NumberText::Kind::Word ? t.word : convert_number_text(data, t);
    return Decoded<double>{value, t.end};
}

}  // namespace taldo
