// The number grammar: integers, big integers, correctly rounded doubles, and
// the NaN / Infinity words.
//
// Every operation reads the number that begins at `start` of the span
// (data, len), stops at the first byte that cannot continue it, and returns the
// result with the end index, or a ParseError. The byte after the number is the
// caller's business.
#pragma once

#include <cstdint>

#include "bigint.hpp"
#include "errors.hpp"

namespace taldo {

struct DecodedNumber {
    enum class Type : uint8_t { Int, BigInt, Float };
    Type type = Type::Int;
    int64_t int_value = 0;    // Type::Int
    double float_value = 0;   // Type::Float
    BigInt big;               // Type::BigInt
};

struct NumberRange {
    uint64_t start = 0;
    uint64_t end = 0;
    bool is_int = false;  // false for floats, NaN and the infinities
};

template <class T>
struct Decoded {
    T value{};
    uint64_t end = 0;
};

// The most digits an integer part may have.
constexpr uint64_t MAX_INT_DIGITS = 4300;

// A byte after an integer part that makes the number a float.
constexpr bool is_float_marker(uint8_t byte) { return byte == '.' || (byte | 0x20) == 'e'; }

// The integer part that begins at a digit 1 to 9.
struct IntRunOutcome {
    enum class Kind : uint8_t {
        Integer,      // `number` holds the value (Int or BigInt, sign applied)
        FloatMarker,  // '.', 'e' or 'E' follows the digits; no value computed
    };
    Kind kind = Kind::Integer;
    DecodedNumber number;
    uint64_t end = 0;  // Integer: index just past the last digit
};

// The digit run at p (the byte at p is 1 to 9), read in one pass. Fails only
// with NumberOutOfRange, for more than MAX_INT_DIGITS digits.
Result<IntRunOutcome> decode_int_run(const uint8_t* data, uint64_t len, uint64_t p, bool negative);

// `first_byte` is the byte at `start` (already looked at by the caller);
// start < len.
Result<Decoded<DecodedNumber>> decode_number_any(const uint8_t* data, uint64_t len, uint64_t start,
                                                 uint8_t first_byte, bool allow_inf_nan);
Result<Decoded<double>> decode_number_float(const uint8_t* data, uint64_t len, uint64_t start,
                                            uint8_t first_byte, bool allow_inf_nan);
Result<NumberRange> decode_number_range(const uint8_t* data, uint64_t len, uint64_t start,
                                        uint8_t first_byte, bool allow_inf_nan);
// The error to report when the float conversion rejected the text at start.
ParseError float_error(const uint8_t* data, uint64_t len, uint64_t start, bool allow_inf_nan);

}  // namespace taldo
