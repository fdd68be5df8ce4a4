// Decimal text to the nearest double: round to nearest, ties to even, for any
// number of digits. Too large a value gives an infinity and too small a value a
// signed zero or subnormal; neither is an error.
#pragma once

#include <cstdint>

namespace taldo {

struct ConvertedFloat {
    double value = 0;
    uint64_t end = 0;  // index just past the number
    bool ok = false;   // false: the text at start is not a number
};

// The same result in two registers: `end` is 0 when the text is not a number
// (a number always ends past index 0).
struct PackedFloat {
    double value;
    uint64_t end;
};

// Reads the number that begins at `start` (an optional '-', an integer part,
// an optional fraction and exponent; no words) up to the first byte that
// cannot continue it. A '.', 'e' or 'E' that begins a fraction or exponent
// must be followed by a complete one, or the text is rejected.
PackedFloat convert_float_packed(const uint8_t* data, uint64_t len, uint64_t start);

inline ConvertedFloat convert_float(const uint8_t* data, uint64_t len, uint64_t start) {
    const PackedFloat f = convert_float_packed(data, len, start);
    return ConvertedFloat{f.value, f.end, f.end != 0};
}

// The nearest double to w * 10^q, or to a value in (w * 10^q, (w + 1) * 10^q)
// when `truncated` (digits after the first 19 significant ones were dropped
// and not all of them were zero). Returns false when the fast methods cannot
// decide; the caller then converts the text itself.
bool decimal_to_double(uint64_t w, int64_t q, bool negative, bool truncated, double& out);

}  // namespace taldo
