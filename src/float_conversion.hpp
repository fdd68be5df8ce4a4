// Decimal text to the nearest double: round to nearest, ties to even, for any
// number of digits. Too large a value gives an infinity and too small a value a
// signed zero or subnormal; neither is an error.
//
// The conversion reads no grammar of its own: it takes what a number reader
// (number_decoder.hpp) has already found.
#pragma once

#include <cstdint>

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

// The block reader's float step. The number's first byte is at s, with 34
// bytes readable from s and the input ending at input_end; its integer part
// is k (1 to 15) digits, not a zero followed by digits, and the byte after
// them is '.', 'e' or 'E'. `digits` has bit b set when the byte b after the
// sign is a digit, for the first 16. Returns length 0 for any shape it does
// not take, malformed texts included.
PackedFloat convert_block(const uint8_t* s, uint32_t digits, unsigned k, const uint8_t* input_end);

// The double for a number the general reader has read (an integer or a
// float, not a word).
double convert_number_text(const uint8_t* data, const NumberText& text);

}  // namespace taldo
