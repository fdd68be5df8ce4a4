// The number grammar: integers, big integers, correctly rounded doubles, and
// the NaN / Infinity words.
//
// Every operation reads the number that begins at `start` of the span
// (data, len), stops at the first byte that cannot continue it, and returns the
// result with the end index, or a ParseError. The byte after the number is the
// caller's business.
//
// Two readers share the grammar. The block reader (read_block) takes the
// common shapes from one or two 16-byte scans and values them on the way; it
// never rejects a text, it only leaves what it does not take to the general
// reader (read_number), which reads any number one part at a time, records
// where its parts lie, and is the one place where malformed numbers are
// judged. The float conversion and LosslessFloat read no grammar of their
// own: they take what these two found.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "bigint.hpp"
#include "compiler.hpp"
#include "errors.hpp"
#include "float_conversion.hpp"
#include "simd/number.hpp"

namespace taldo {

template <class T>
struct Decoded {
    T value{};
    uint64_t end = 0;
};

// The most digits an integer part may have.
constexpr uint64_t MAX_INT_DIGITS = 4300;

// A byte after an integer part that makes the number a float.
constexpr bool is_float_marker(uint8_t byte) { return byte == '.' || (byte | 0x20) == 'e'; }

// Where the parts of a number lie, as the general reader found them.
struct NumberText {
    enum class Kind : uint8_t {
        Integer,  // neither fraction nor exponent
        Float,
        Word,  // NaN or an infinity; `word` holds it
    };
    Kind kind = Kind::Integer;
    bool negative = false;
    uint64_t start = 0;       // the first byte, the '-' when there is one
    uint64_t digits = 0;      // the first digit of the integer part
    uint64_t int_end = 0;     // past the integer digits
    uint64_t frac_start = 0;  // the fraction's digits are [frac_start, frac_end):
    uint64_t frac_end = 0;    // empty when there is no fraction
    int64_t exponent = 0;     // the exponent's value (magnitude capped at EXPONENT_CAP), 0 without one
    uint64_t end = 0;         // past the number
    double word = 0;
};

// What the reader is asked for, which decides two rules: a number read for
// its value (the builder) has at most MAX_INT_DIGITS integer digits, and a
// first byte that begins no number is ExpectedValue there; a number read only
// as a double (LosslessFloat) has no digit limit, and such a byte is
// InvalidNumber.
enum class Reading : uint8_t { Value, DoubleOnly };

// The general reader: any number, with every error placed.
Result<NumberText> read_number(const uint8_t* data, uint64_t len, uint64_t start, uint8_t first_byte,
                               bool allow_inf_nan, Reading reading);

// The value of the integer digits [from, to): up to 19 of them (< 10^19 <
// 2^64), or more into `out`, made with room for them.
uint64_t short_run_value(const uint8_t* data, uint64_t from, uint64_t to);
void long_run_value(const uint8_t* data, uint64_t from, uint64_t to, BigInt& out);

// The block reader's verdict on one number.
struct BlockNumber {
    enum class Kind : uint8_t {
        Int,
        Float,
        Other,  // anything else, malformed texts included: the general reader's
    };
    Kind kind;
    int64_t int_value;
    double float_value;
    uint64_t length;  // bytes from the number's first byte to its end
};

// The bytes the block reader may read from a number's first byte on. A
// number nearer the end of the input is read from a zero-padded copy: a zero
// byte ends a number exactly as the end of the input does.
constexpr uint64_t NUMBER_WINDOW = 40;
constexpr uint64_t PADDED_NUMBER = 48;

// The block reader's way out for an integer part of 16 digits or more, with
// no leading zero, at d (after the sign): an integer of up to 19 digits that
// fits in 64 bits, with the length of its text, sign included; length 0 for
// anything else.
struct LongInt {
    int64_t value;
    uint64_t length;
};
LongInt read_long_int(const uint8_t* d, bool negative);

// The block reader, for the number whose first byte is at s, with
// NUMBER_WINDOW bytes readable from s and the input ending at input_end.
// One 16-byte block after the sign gives the integer digits and, for an
// integer, its value; a float (WithFloats) goes on to the float conversion
// with the block's digit bits.
template <bool WithFloats>
TALDO_ALWAYS_INLINE BlockNumber read_block(const uint8_t* s, const uint8_t* input_end, bool negative) {
    BlockNumber n{BlockNumber::Kind::Other, 0, 0, 0};
    const uint8_t* d = s + (negative ? 1 : 0);
    const simd::DigitBlock block = simd::digit_block(d);
    const auto k = static_cast<unsigned>(std::countr_zero(~block.digits));  // 0 to 16
    // No digit, or 16 and maybe more; a leading zero must stand alone.
    if (k - 1 >= 15 || (*d == '0' && k != 1)) [[unlikely]] {
        if (k == 16 && *d != '0') {
            const LongInt v = read_long_int(d, negative);
            if (v.length != 0) {
                n.kind = BlockNumber::Kind::Int;
                n.int_value = v.value;
                n.length = v.length;
            }
        }
        return n;
    }
    if (!is_float_marker(d[k])) [[likely]] {
        const uint64_t v = simd::leading_value(block, k);
        n.kind = BlockNumber::Kind::Int;
        n.int_value = static_cast<int64_t>(negative ? uint64_t{0} - v : v);
        n.length = k + (negative ? 1 : 0);
        return n;
    }
    if constexpr (WithFloats) {
        const PackedFloat f = convert_block(s, negative, block.digits, k, input_end);
        if (f.length != 0) [[likely]] {
            n.kind = BlockNumber::Kind::Float;
            n.float_value = f.value;
            n.length = f.length;
        }
    }
    return n;
}

// Copies the rest of the input from `start` (fewer than NUMBER_WINDOW bytes)
// into `buffer`, zero-padded, for the block reader. The copy is made of two
// or three fixed-size moves that may overlap, which is cheaper than a call.
inline void copy_near_end(uint8_t (&buffer)[PADDED_NUMBER], const uint8_t* data, uint64_t len, uint64_t start) {
    static_assert(NUMBER_WINDOW <= PADDED_NUMBER && NUMBER_WINDOW <= 48, "the copy must hold the window");
    std::memset(buffer, 0, sizeof buffer);
    const uint8_t* from = data + start;
    const uint64_t n = len - start;  // 1 to NUMBER_WINDOW - 1
    if (n >= 16) {
        std::memcpy(buffer, from, 16);
        if (n > 32) {
            std::memcpy(buffer + 16, from + 16, 16);
        }
        std::memcpy(buffer + n - 16, from + n - 16, 16);
    } else if (n >= 8) {
        std::memcpy(buffer, from, 8);
        std::memcpy(buffer + n - 8, from + n - 8, 8);
    } else if (n >= 4) {
        std::memcpy(buffer, from, 4);
        std::memcpy(buffer + n - 4, from + n - 4, 4);
    } else {
        buffer[0] = from[0];
        buffer[n / 2] = from[n / 2];
        buffer[n - 1] = from[n - 1];
    }
}

// The number at `start` as a double, integers included; `first_byte` is the
// byte at `start` (start < len). For LosslessFloat, which reads by
// Reading::DoubleOnly.
Result<Decoded<double>> decode_number_float(const uint8_t* data, uint64_t len, uint64_t start,
                                            uint8_t first_byte, bool allow_inf_nan);

}  // namespace taldo
