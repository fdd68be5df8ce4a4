// The number handler of the value builder: a JSON number becomes an int, or,
// by the call's float mode, a float, a decimal.Decimal or a LosslessFloat.
#pragma once

#include <cstdint>

#include "compiler.hpp"
#include "errors.hpp"
#include "number_decoder.hpp"
#include "options.hpp"
#include "py_ref.hpp"
#include "python.hpp"
#include "scanner.hpp"

namespace taldo {

// The int for a magnitude of `count` 64-bit limbs (least significant first,
// the top one not zero) and a sign, at least 2^63 in magnitude. Fails only
// when the interpreter cannot make the object.
Result<PyRef> make_big_int(const uint64_t* limbs, size_t count, bool negative);

// Every number the block reader in build_number does not take where it lies:
// numbers near the end of the input (read from a padded copy), NaN and the
// infinities, integers of 20 digits or more or outside 64 bits, floats with
// 16 or more integer digits, and every malformed number. For Decimal and
// LosslessFloat every float as well.
template <FloatMode F>
Result<PyRef> build_number_slow(Scanner& scanner, uint8_t first_byte, bool allow_inf_nan, bool& collector_paused,
                                InterpreterState& interpreter);

// The interpreter could not make the object.
TALDO_COLD Result<PyRef> number_object_failed(bool is_int);

#if PY_VERSION_HEX < 0x030E0000
// An int of more than one interpreter digit (`value` lies outside one
// digit's range), built in place through the layout of CPython 3.10 to 3.13:
// PyLong_FromLongLong would count the digits in a loop and go through
// _PyLong_New.
PyObject* make_wide_int(int64_t value);
#endif

// A new int for a 64-bit value, or nullptr with an exception set. Values of
// one interpreter digit take CPython's own path, its cached small ints
// included.
TALDO_ALWAYS_INLINE PyObject* make_int(int64_t value) {
#if PY_VERSION_HEX < 0x030E0000
    constexpr uint64_t one_digit = PyLong_MASK;
    if (static_cast<uint64_t>(value) + one_digit > 2 * one_digit) [[unlikely]] {
        return make_wide_int(value);
    }
#endif
    return PyLong_FromLongLong(value);
}

// `interpreter` is the calling interpreter's state, for Decimal and
// LosslessFloat; `collector_paused` says whether the call has paused the
// cyclic collector and still owns the pause (see python.hpp), for Decimal. On entry the scanner's index is at the number's first byte (`first_byte`).
// On success the index is one past the number; on failure it is unchanged.
//
// The common numbers, inline in the builder: an integer of up to 19 digits
// (16 to 19 through one call), and in Float mode a float with up to 15
// integer digits and an exponent of up to three digits, taken by the block
// reader where 40 bytes of input remain. Decimal and LosslessFloat value only
// integers; their floats keep their text and go out of line.
template <FloatMode F>
TALDO_ALWAYS_INLINE Result<PyRef> build_number(Scanner& scanner, uint8_t first_byte, bool allow_inf_nan,
                                               bool& collector_paused, InterpreterState& interpreter) {
    const uint64_t start = scanner.index;
    if (start + NUMBER_WINDOW <= scanner.len) [[likely]] {
        const BlockNumber n =
            read_block<F == FloatMode::Float>(scanner.data + start, scanner.data + scanner.len, first_byte == '-');
        if (n.kind == BlockNumber::Kind::Int) [[likely]] {
            PyObject* object = make_int(n.int_value);
            if (object == nullptr) [[unlikely]] {
                return number_object_failed(true);
            }
            scanner.index = start + n.length;
            return PyRef(object);
        }
        if (F == FloatMode::Float && n.kind == BlockNumber::Kind::Float) [[likely]] {
            PyObject* object = PyFloat_FromDouble(n.float_value);
            if (object == nullptr) [[unlikely]] {
                return number_object_failed(false);
            }
            scanner.index = start + n.length;
            return PyRef(object);
        }
    }
    return build_number_slow<F>(scanner, first_byte, allow_inf_nan, collector_paused, interpreter);
}

}  // namespace taldo
