#include "number_decoder.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

#include "float_conversion.hpp"
#include "simd/number.hpp"

namespace taldo {

namespace {

using simd::is_digit;

constexpr uint64_t POW10_16 = 10000000000000000ull;

// Integers of up to 19 digits: v < 2^64 always; the signed 64-bit range is
// [-2^63, 2^63 - 1].
inline void set_small_integer(DecodedNumber& number, uint64_t v, bool negative) {
    constexpr uint64_t limit = uint64_t{1} << 63;
    if (v < limit || (negative && v == limit)) {
        number.type = DecodedNumber::Type::Int;
        // Unsigned negation then conversion is exact for -2^63 as well.
        number.int_value = static_cast<int64_t>(negative ? uint64_t{0} - v : v);
    } else {
        number.type = DecodedNumber::Type::BigInt;
        number.big = BigInt::from_u64(v, negative);
    }
}

// More than 19 digits: found 16 at a time, valued 16 at a time, with the
// first chunk taking the remainder so that every later chunk is whole.
[[gnu::noinline]] Result<IntRunOutcome> decode_long_run(const uint8_t* data, uint64_t len, uint64_t p,
                                                        bool negative) {
    const uint64_t limit = p + MAX_INT_DIGITS;
    const uint64_t end = simd::skip_digits(data, p + 19, std::min(limit, len));
    if (end == limit && limit < len && is_digit(data[limit])) {
        return ParseError(ErrorKind::NumberOutOfRange, p + MAX_INT_DIGITS + 1);
    }
    IntRunOutcome out;
    if (end < len && is_float_marker(data[end])) {
        out.kind = IntRunOutcome::Kind::FloatMarker;
        return out;
    }
    const uint64_t n = end - p;
    const uint64_t first = (n - 1) % 16 + 1;
    uint64_t head = 0;
    for (uint64_t i = p; i < p + first; ++i) {
        head = head * 10 + (data[i] - '0');
    }
    BigInt big = BigInt::from_u64(head, negative);
    // log2(10^16) < 54 bits per chunk; one spare limb for the last carry.
    big.limbs.reserve(static_cast<size_t>((n / 16 + 1) * 54 / 64 + 2));
    for (uint64_t i = p + first; i < end; i += 16) {
        big.multiply_add(POW10_16, simd::parse_sixteen_digits(data + i));
    }
    out.number.type = DecodedNumber::Type::BigInt;
    out.number.big = std::move(big);
    out.end = end;
    return out;
}

// The byte-at-a-time comparison that finds where an expected word goes wrong:
// the end of the input, or the first byte that differs.
[[gnu::noinline, gnu::cold]] ParseError word_error(const uint8_t* data, uint64_t len, uint64_t pos,
                                                   const char* rest, uint64_t n) {
    for (uint64_t j = 0; j < n; ++j) {
        if (pos + j >= len) {
            return ParseError(ErrorKind::EofInValue, len);
        }
        if (data[pos + j] != static_cast<uint8_t>(rest[j])) {
            return ParseError(ErrorKind::ExpectedIdent, pos + j);
        }
    }
    // The caller only asks after the whole comparison failed.
    return ParseError::with_text(ErrorKind::InternalError, pos, "word comparison disagrees");
}

// Whether the n bytes at pos are `rest`; false also when the input ends first.
inline bool word_follows(const uint8_t* data, uint64_t len, uint64_t pos, const char* rest, uint64_t n) {
    return pos + n <= len && std::memcmp(data + pos, rest, n) == 0;
}

constexpr char NAN_REST[] = "aN";
constexpr char INFINITY_REST[] = "nfinity";

// The outcome of the rules shared by the three operations, up to the point
// where they part: a word's value, an integer part at p, or an error.
struct Dispatch {
    enum class Next : uint8_t { Word, Zero, Digits, Error };
    Next next;
    bool negative = false;
    uint64_t p = 0;        // first byte after the sign
    double word = 0;       // Word: NaN or an infinity
    uint64_t word_end = 0;
    ParseError error;
};

// `expected_value_error`: whether a first byte that begins no number is
// ExpectedValue (the value builder's view) or InvalidNumber.
Dispatch dispatch(const uint8_t* data, uint64_t len, uint64_t start, uint8_t first_byte, bool allow_inf_nan,
                  bool expected_value_error) {
    Dispatch d{};
    d.p = start;
    uint8_t b = first_byte;
    if (first_byte == '-') {
        if (start + 1 >= len) {
            d.next = Dispatch::Next::Error;
            d.error = ParseError(ErrorKind::EofInValue, start + 1);
            return d;
        }
        d.negative = true;
        d.p = start + 1;
        b = data[d.p];
    } else if (first_byte == 'N') {
        if (!allow_inf_nan) {
            d.next = Dispatch::Next::Error;
            d.error = ParseError(ErrorKind::ExpectedValue, start);
        } else if (word_follows(data, len, start + 1, NAN_REST, 2)) {
            d.next = Dispatch::Next::Word;
            d.word = std::numeric_limits<double>::quiet_NaN();
            d.word_end = start + 3;
        } else {
            d.next = Dispatch::Next::Error;
            d.error = word_error(data, len, start + 1, NAN_REST, 2);
        }
        return d;
    }
    if (b == '0') {
        d.next = Dispatch::Next::Zero;
    } else if (b >= '1' && b <= '9') {
        d.next = Dispatch::Next::Digits;
    } else if (b == 'I') {
        if (!allow_inf_nan) {
            d.next = Dispatch::Next::Error;
            d.error = ParseError(d.negative ? ErrorKind::InvalidNumber : ErrorKind::ExpectedValue, d.p);
        } else if (word_follows(data, len, d.p + 1, INFINITY_REST, 7)) {
            d.next = Dispatch::Next::Word;
            d.word = d.negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
            d.word_end = d.p + 8;
        } else {
            d.next = Dispatch::Next::Error;
            d.error = word_error(data, len, d.p + 1, INFINITY_REST, 7);
        }
    } else {
        d.next = Dispatch::Next::Error;
        d.error = !d.negative && expected_value_error ? ParseError(ErrorKind::ExpectedValue, start)
                                                      : ParseError(ErrorKind::InvalidNumber, d.p);
    }
    return d;
}

// Passes over a fraction's or exponent's digits from q (just after the '.'
// or the 'e'), by the grammar; no value is computed.
Result<NumberRange> walk_fraction_or_exponent(const uint8_t* data, uint64_t len, uint64_t start, uint64_t q,
                                              bool fraction) {
    if (fraction) {
        if (q >= len) {
            return ParseError(ErrorKind::EofInValue, q);
        }
        if (!is_digit(data[q])) {
            return ParseError(ErrorKind::InvalidNumber, q);
        }
        const uint64_t f = simd::skip_digits(data, q, len);
        if (f >= len || (data[f] | 0x20) != 'e') {
            return NumberRange{start, f, false};
        }
        q = f + 1;
    }
    if (q < len && (data[q] == '+' || data[q] == '-')) {
        ++q;
    }
    if (q >= len) {
        return ParseError(ErrorKind::EofInValue, q);
    }
    if (!is_digit(data[q])) {
        return ParseError(ErrorKind::InvalidNumber, q);
    }
    return NumberRange{start, simd::skip_digits(data, q, len), false};
}

// The range walk; `bounded` applies the MAX_INT_DIGITS limit to the integer
// part (the float-only operation has none).
Result<NumberRange> range_walk(const uint8_t* data, uint64_t len, uint64_t start, uint8_t first_byte,
                               bool allow_inf_nan, bool bounded, bool expected_value_error) {
    Dispatch d = dispatch(data, len, start, first_byte, allow_inf_nan, expected_value_error);
    uint64_t e = 0;
    switch (d.next) {
        case Dispatch::Next::Error:
            return std::move(d.error);
        case Dispatch::Next::Word:
            return NumberRange{start, d.word_end, false};
        case Dispatch::Next::Zero:
            e = d.p + 1;
            if (e < len && is_digit(data[e])) {
                return ParseError(ErrorKind::InvalidNumber, e);
            }
            break;
        case Dispatch::Next::Digits: {
            const uint64_t limit = bounded ? std::min(d.p + MAX_INT_DIGITS, len) : len;
            e = simd::skip_digits(data, d.p + 1, limit);
            if (bounded && e == d.p + MAX_INT_DIGITS && e < len && is_digit(data[e])) {
                return ParseError(ErrorKind::NumberOutOfRange, d.p + MAX_INT_DIGITS + 1);
            }
            break;
        }
    }
    if (e < len && is_float_marker(data[e])) {
        return walk_fraction_or_exponent(data, len, start, e + 1, data[e] == '.');
    }
    return NumberRange{start, e, true};
}

// The error for a text the float conversion rejected.
ParseError conversion_error(const uint8_t* data, uint64_t len, uint64_t start, bool allow_inf_nan, bool bounded) {
    if (start >= len) {
        return ParseError::with_text(ErrorKind::InternalError, start, "number decoder asked about an empty text");
    }
    Result<NumberRange> range = range_walk(data, len, start, data[start], allow_inf_nan, bounded, true);
    if (!range.ok()) {
        return range.take_error();
    }
    // Both halves follow one grammar; reaching this means they disagree.
    return ParseError::with_text(ErrorKind::InternalError, start, "float conversion rejected a valid number");
}

// The float conversion step, from start.
Result<Decoded<DecodedNumber>> convert_any(const uint8_t* data, uint64_t len, uint64_t start, bool allow_inf_nan) {
    const ConvertedFloat f = convert_float(data, len, start);
    if (!f.ok) [[unlikely]] {
        return float_error(data, len, start, allow_inf_nan);
    }
    Decoded<DecodedNumber> out;
    out.value.type = DecodedNumber::Type::Float;
    out.value.float_value = f.value;
    out.end = f.end;
    return out;
}

}  // namespace

Result<IntRunOutcome> decode_int_run(const uint8_t* data, uint64_t len, uint64_t p, bool negative) {
    IntRunOutcome out;
    if (p + simd::DIGIT_BLOCK > len) {
        // Fewer than 16 bytes left: at most 15 digits, which always fit.
        uint64_t v = 0;
        uint64_t i = p;
        for (; i < len && is_digit(data[i]); ++i) {
            v = v * 10 + (data[i] - '0');
        }
        if (i < len && is_float_marker(data[i])) {
            out.kind = IntRunOutcome::Kind::FloatMarker;
            return out;
        }
        out.number.int_value = static_cast<int64_t>(negative ? uint64_t{0} - v : v);
        out.end = i;
        return out;
    }
    const unsigned k = simd::count_digits_16(data + p);
    if (k < simd::DIGIT_BLOCK) {
        const uint64_t e = p + k;  // < len
        if (is_float_marker(data[e])) {
            out.kind = IntRunOutcome::Kind::FloatMarker;
            return out;
        }
        const uint64_t v = simd::parse_leading_digits(data + p, k);
        out.number.int_value = static_cast<int64_t>(negative ? uint64_t{0} - v : v);
        out.end = e;
        return out;
    }
    // 16 digits: up to three more fit in 64 bits (10^19 - 1 < 2^64).
    uint64_t e = p + 16;
    uint64_t extra = 0;
    uint64_t scale = 1;
    for (; e < p + 19 && e < len && is_digit(data[e]); ++e) {
        extra = extra * 10 + (data[e] - '0');
        scale *= 10;
    }
    if (e == p + 19 && e < len && is_digit(data[e])) {
        return decode_long_run(data, len, p, negative);
    }
    if (e < len && is_float_marker(data[e])) {
        out.kind = IntRunOutcome::Kind::FloatMarker;
        return out;
    }
    set_small_integer(out.number, simd::parse_sixteen_digits(data + p) * scale + extra, negative);
    out.end = e;
    return out;
}

Result<Decoded<DecodedNumber>> decode_number_any(const uint8_t* data, uint64_t len, uint64_t start,
                                                 uint8_t first_byte, bool allow_inf_nan) {
    Dispatch d = dispatch(data, len, start, first_byte, allow_inf_nan, true);
    Decoded<DecodedNumber> out;
    switch (d.next) {
        case Dispatch::Next::Error:
            return std::move(d.error);
        case Dispatch::Next::Word:
            out.value.type = DecodedNumber::Type::Float;
            out.value.float_value = d.word;
            out.end = d.word_end;
            return out;
        case Dispatch::Next::Zero: {
            const uint64_t q = d.p + 1;
            if (q < len && is_digit(data[q])) {
                return ParseError(ErrorKind::InvalidNumber, q);
            }
            if (q < len && is_float_marker(data[q])) {
                return convert_any(data, len, start, allow_inf_nan);
            }
            out.end = q;  // Int 0, whatever the sign
            return out;
        }
        case Dispatch::Next::Digits:
            break;
    }
    Result<IntRunOutcome> run = decode_int_run(data, len, d.p, d.negative);
    if (!run.ok()) {
        return run.take_error();
    }
    if (run.value().kind == IntRunOutcome::Kind::FloatMarker) {
        return convert_any(data, len, start, allow_inf_nan);
    }
    out.value = std::move(run.value().number);
    out.end = run.value().end;
    return out;
}

Result<Decoded<double>> decode_number_float(const uint8_t* data, uint64_t len, uint64_t start, uint8_t first_byte,
                                            bool allow_inf_nan) {
    Dispatch d = dispatch(data, len, start, first_byte, allow_inf_nan, false);
    switch (d.next) {
        case Dispatch::Next::Error:
            return std::move(d.error);
        case Dispatch::Next::Word:
            return Decoded<double>{d.word, d.word_end};
        case Dispatch::Next::Zero:
        case Dispatch::Next::Digits:
            break;
    }
    const ConvertedFloat f = convert_float(data, len, start);
    if (!f.ok) {
        // This operation reads integer parts of any length, so the error is
        // found without the digit limit.
        return conversion_error(data, len, start, allow_inf_nan, false);
    }
    return Decoded<double>{f.value, f.end};
}

Result<NumberRange> decode_number_range(const uint8_t* data, uint64_t len, uint64_t start, uint8_t first_byte,
                                        bool allow_inf_nan) {
    return range_walk(data, len, start, first_byte, allow_inf_nan, true, true);
}

ParseError float_error(const uint8_t* data, uint64_t len, uint64_t start, bool allow_inf_nan) {
    return conversion_error(data, len, start, allow_inf_nan, true);
}

}  // namespace taldo
