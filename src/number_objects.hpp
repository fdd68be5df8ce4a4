// The number handler of the value builder: a JSON number becomes an int, or,
// by the call's float mode, a float, a decimal.Decimal or a LosslessFloat.
#pragma once

#include <cstdint>

#include "errors.hpp"
#include "float_conversion.hpp"
#include "number_decoder.hpp"
#include "options.hpp"
#include "py_ref.hpp"
#include "python.hpp"
#include "scanner.hpp"
#include "simd/number.hpp"

namespace taldo {

// On entry the scanner's index is at the number's first byte (`first_byte`).
// On success the index is one past the number; on failure it is unchanged.
template <FloatMode F>
Result<PyRef> build_number(Scanner& scanner, uint8_t first_byte, bool allow_inf_nan);

// The Python object for a decoded number: int for Int and BigInt, float for
// Float. Fails only when the interpreter cannot make the object.
Result<PyRef> make_number_object(const DecodedNumber& number);

// The int for an arbitrary-precision value.
Result<PyRef> make_big_int(const BigInt& value);

// Every number the fast path below does not take: NaN and the infinities,
// integer parts of 16 digits or more, numbers near the end of the input, and
// every malformed number.
Result<PyRef> build_float_mode_number_general(Scanner& scanner, uint8_t first_byte, bool allow_inf_nan);

// The common numbers, inline in the builder: an integer part of 1 to 15
// digits with 16 bytes of input at its first digit is classified and valued
// by one block scan, and a float goes straight to the conversion.
template <>
inline Result<PyRef> build_number<FloatMode::Float>(Scanner& scanner, uint8_t first_byte, bool allow_inf_nan) {
    const uint8_t* data = scanner.data;
    const uint64_t start = scanner.index;
    const bool negative = first_byte == '-';
    const uint64_t p = start + (negative ? 1 : 0);
    if (p + simd::DIGIT_BLOCK <= scanner.len) [[likely]] {
        const uint8_t b = data[p];
        const unsigned k = simd::count_digits_16(data + p);
        // A leading zero must stand alone; 16 digits or more take the long way.
        if (k != 0 && k < simd::DIGIT_BLOCK && (b != '0' || k == 1)) [[likely]] {
            if (!is_float_marker(data[p + k])) [[likely]] {
                const uint64_t v = simd::parse_leading_digits(data + p, k);
                PyObject* object = PyLong_FromLongLong(static_cast<int64_t>(negative ? uint64_t{0} - v : v));
                if (object == nullptr) [[unlikely]] {
                    return fatal_from_python("could not create an int");
                }
                scanner.index = p + k;
                return PyRef(object);
            }
            const ConvertedFloat f = convert_float(data, scanner.len, start);
            if (f.ok) [[likely]] {
                PyObject* object = PyFloat_FromDouble(f.value);
                if (object == nullptr) [[unlikely]] {
                    return fatal_from_python("could not create a float");
                }
                scanner.index = f.end;
                return PyRef(object);
            }
        }
    }
    return build_float_mode_number_general(scanner, first_byte, allow_inf_nan);
}

// Decimal and LosslessFloat: the number's text decides; only integers are
// valued.
template <>
Result<PyRef> build_number<FloatMode::Decimal>(Scanner& scanner, uint8_t first_byte, bool allow_inf_nan);
template <>
Result<PyRef> build_number<FloatMode::LosslessFloat>(Scanner& scanner, uint8_t first_byte, bool allow_inf_nan);

}  // namespace taldo
