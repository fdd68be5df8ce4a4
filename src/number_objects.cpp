#include "number_objects.hpp"

#include <bit>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "compiler.hpp"
#include "native_memory.hpp"

namespace taldo {

namespace {

#if PY_VERSION_HEX < 0x030E0000
// The interpreter's own digits (PyLong_SHIFT bits each, least significant
// first) are written directly, through the layout of CPython 3.10 to 3.13.
#define TALDO_INT_FROM_DIGITS 1
#endif

#if defined(TALDO_INT_FROM_DIGITS)

// The magnitude's bits cut into its `ndigits` digits, least significant
// first.
void limbs_to_digits(const uint64_t* limbs, size_t count, digit* out, size_t ndigits) {
    size_t n = 0;
    uint64_t carried = 0;  // the low `have` bits left over from the previous limb
    unsigned have = 0;     // below PyLong_SHIFT
    for (size_t i = 0; i < count && n < ndigits; ++i) {
        const uint64_t limb = limbs[i];
        out[n++] = static_cast<digit>((carried | limb << have) & PyLong_MASK);
        uint64_t rest = limb >> (PyLong_SHIFT - have);
        unsigned left = 64 - (PyLong_SHIFT - have);
        for (; left >= PyLong_SHIFT && n < ndigits; left -= PyLong_SHIFT) {
            out[n++] = static_cast<digit>(rest & PyLong_MASK);
            rest >>= PyLong_SHIFT;
        }
        carried = rest;
        have = left;
    }
    if (n < ndigits) {
        out[n] = static_cast<digit>(carried);
    }
}

PyObject* int_from_digits(const uint64_t* limbs, size_t count, bool negative) {
    const auto bits = static_cast<size_t>(64 * (count - 1) + std::bit_width(limbs[count - 1]));
    const size_t ndigits = (bits + PyLong_SHIFT - 1) / PyLong_SHIFT;
    PyLongObject* object = _PyLong_New(static_cast<Py_ssize_t>(ndigits));
    if (object == nullptr) {
        return nullptr;
    }
#if PY_VERSION_HEX >= 0x030C0000
    limbs_to_digits(limbs, count, object->long_value.ob_digit, ndigits);
    // _PyLong_New made it positive; the sign lies in the tag's two low bits,
    // 2 for negative.
    if (negative) {
        object->long_value.lv_tag |= 2;
    }
#else
    limbs_to_digits(limbs, count, object->ob_digit, ndigits);
    if (negative) {
        Py_SET_SIZE(object, -static_cast<Py_ssize_t>(ndigits));
    }
#endif
    return reinterpret_cast<PyObject*>(object);
}

#else

// The shortest two's-complement little-endian form of the value, as
// _PyLong_FromByteArray reads it. `out` must hold 8 * count + 1 bytes.
size_t big_int_bytes(const uint64_t* limbs, size_t count, bool negative, uint8_t* out) {
    size_t length = 0;
    for (size_t i = 0; i < count; ++i) {
        for (int shift = 0; shift < 64; shift += 8) {
            out[length++] = static_cast<uint8_t>(limbs[i] >> shift);
        }
    }
    while (length > 0 && out[length - 1] == 0) {
        --length;
    }
    if (length == 0) {
        out[0] = 0;
        return 1;
    }
    if ((out[length - 1] & 0x80) != 0) {
        // -2^(8m-1) is the one negative value whose magnitude has the top bit
        // set and still fits in m bytes.
        bool lower_zero = out[length - 1] == 0x80;
        for (size_t i = 0; lower_zero && i + 1 < length; ++i) {
            lower_zero = out[i] == 0;
        }
        if (!(negative && lower_zero)) {
            out[length++] = 0;
        }
    }
    if (negative) {
        // Two's complement: the low zero bytes stay, the first non-zero byte
        // is negated, every byte above it is inverted.
        size_t i = 0;
        while (out[i] == 0) {
            ++i;
        }
        out[i] = static_cast<uint8_t>(-out[i]);
        for (++i; i < length; ++i) {
            out[i] = static_cast<uint8_t>(~out[i]);
        }
    }
    return length;
}

#endif

// An integer's digits [from, to) with its sign, as an int.
Result<PyRef> make_integer(const uint8_t* data, uint64_t from, uint64_t to, bool negative) {
    PyObject* object;
    if (to - from <= 19) {
        const uint64_t v = short_run_value(data, from, to);
        constexpr uint64_t limit = uint64_t{1} << 63;
        if (v < limit || (negative && v == limit)) {
            // Unsigned negation then conversion is exact for -2^63 as well;
            // -0 is 0.
            object = make_int(static_cast<int64_t>(negative ? uint64_t{0} - v : v));
        } else {
            return make_big_int(&v, 1, negative);
        }
    } else {
        BigInt magnitude(to - from);
        if (!magnitude.ok()) [[unlikely]] {
            return ParseError::out_of_memory();
        }
        long_run_value(data, from, to, magnitude);
        return make_big_int(magnitude.limbs(), magnitude.size(), negative);
    }
    if (object == nullptr) [[unlikely]] {
        return fatal_from_python("could not create an int");
    }
    return PyRef(object);
}

// Reads the number at the index. A fault, or an integer made and passed over,
// is the finished result; anything else is left in `t` for the caller.
std::optional<Result<PyRef>> read_then_make_integer(Scanner& scanner, uint8_t first_byte, bool allow_inf_nan,
                                                     NumberText& t) {
    Result<NumberText> read =
        read_number(scanner.data, scanner.len, scanner.index, first_byte, allow_inf_nan, Reading::Value);
    if (!read.ok()) {
        return Result<PyRef>(read.take_error());
    }
    t = read.value();
    if (t.kind != NumberText::Kind::Integer) {
        return std::nullopt;
    }
    Result<PyRef> object = make_integer(scanner.data, t.digits, t.int_end, t.negative);
    if (object.ok()) {
        scanner.index = t.end;
    }
    return object;
}

// Making a Decimal runs Python code, which may switch the collector itself
// (or let another thread do so). That code sees the collector as the caller
// left it; a disable() of its own ends this call's ownership of the pause.
PyObject* call_decimal_as_left(InterpreterState& interpreter, const uint8_t* text, uint64_t size,
                               bool& collector_paused) {
    if (!collector_paused) {
        return call_decimal(interpreter, text, size);
    }
    PyGC_Enable();
    PyObject* object = call_decimal(interpreter, text, size);
    if (PyGC_IsEnabled()) {
        PyGC_Disable();
    } else {
        collector_paused = false;
    }
    return object;
}

// Decimal and LosslessFloat modes: a float keeps its text exactly as
// written; an integer is valued from its digits.
template <FloatMode F>
TALDO_NOINLINE Result<PyRef> build_text_mode_number(Scanner& scanner, uint8_t first_byte, bool allow_inf_nan,
                                                    [[maybe_unused]] bool& collector_paused,
                                                    InterpreterState& interpreter) {
    NumberText t;
    if (std::optional<Result<PyRef>> done = read_then_make_integer(scanner, first_byte, allow_inf_nan, t)) {
        return std::move(*done);
    }
    const uint8_t* text = scanner.data + t.start;
    const uint64_t size = t.end - t.start;
    PyObject* object;
    if constexpr (F == FloatMode::Decimal) {
        object = call_decimal_as_left(interpreter, text, size, collector_paused);
    } else {
        auto* raw = static_cast<uint8_t*>(native_malloc(size));  // size >= 1: a float's text is never empty
        if (raw == nullptr) [[unlikely]] {
            return ParseError::out_of_memory();
        }
        std::memcpy(raw, text, size);
        object = new_lossless_float(interpreter, raw, size);  // frees raw when it fails
    }
    if (object == nullptr) {
        return internal_error_from_python(t.end);
    }
    scanner.index = t.end;
    return PyRef(object);
}

TALDO_NOINLINE Result<PyRef> build_float_mode_number(Scanner& scanner, uint8_t first_byte, bool allow_inf_nan) {
    NumberText t;
    if (std::optional<Result<PyRef>> done = read_then_make_integer(scanner, first_byte, allow_inf_nan, t)) {
        return std::move(*done);
    }
    const double value = t.kind == NumberText::Kind::Word ? t.word : convert_number_text(scanner.data, t);
    PyObject* object = PyFloat_FromDouble(value);
    if (object == nullptr) [[unlikely]] {
        return number_object_failed(false);
    }
    scanner.index = t.end;
    return PyRef(object);
}

}  // namespace

Result<PyRef> make_big_int(const uint64_t* limbs, size_t count, bool negative) {
    PyObject* object;
#if defined(TALDO_INT_FROM_DIGITS)
    object = int_from_digits(limbs, count, negative);
#else
    constexpr size_t inline_bytes = 8 * 32 + 1;
    uint8_t inline_buffer[inline_bytes];
    uint8_t* bytes = inline_buffer;
    if (count > 32) {
        bytes = static_cast<uint8_t*>(native_malloc(8 * count + 1));
        if (bytes == nullptr) [[unlikely]] {
            return ParseError::out_of_memory();
        }
    }
    const size_t length = big_int_bytes(limbs, count, negative, bytes);
    object = _PyLong_FromByteArray(bytes, length, 1, 1);
    if (bytes != inline_buffer) native_free(bytes);
#endif
    if (object == nullptr) [[unlikely]] {
        return fatal_from_python("could not create an int");
    }
    return PyRef(object);
}

#if PY_VERSION_HEX < 0x030E0000
PyObject* make_wide_int(int64_t value) {
    const uint64_t magnitude = value < 0 ? uint64_t{0} - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    // As many digits as the magnitude needs, so that the top one is not zero.
    const auto ndigits = static_cast<Py_ssize_t>((std::bit_width(magnitude) + PyLong_SHIFT - 1) / PyLong_SHIFT);
#if PY_VERSION_HEX >= 0x030C0000
    constexpr size_t header = offsetof(PyLongObject, long_value.ob_digit);
#else
    constexpr size_t header = offsetof(PyLongObject, ob_digit);
#endif
    auto* object = static_cast<PyLongObject*>(PyObject_Malloc(header + static_cast<size_t>(ndigits) * sizeof(digit)));
    if (object == nullptr) {
        return PyErr_NoMemory();
    }
#if PY_VERSION_HEX >= 0x030C0000
    PyObject_Init(reinterpret_cast<PyObject*>(object), &PyLong_Type);
    // The sign in the two low bits of the tag: 0 positive, 2 negative.
    object->long_value.lv_tag = static_cast<uintptr_t>(ndigits) << _PyLong_NON_SIZE_BITS | (value < 0 ? 2 : 0);
    digit* digits = object->long_value.ob_digit;
#else
    PyObject_InitVar(reinterpret_cast<PyVarObject*>(object), &PyLong_Type, value < 0 ? -ndigits : ndigits);
    digit* digits = object->ob_digit;
#endif
    uint64_t rest = magnitude;
    for (Py_ssize_t i = 0; i < ndigits; ++i) {
        digits[i] = static_cast<digit>(rest & PyLong_MASK);
        rest >>= PyLong_SHIFT;
    }
    return reinterpret_cast<PyObject*>(object);
}
#endif

Result<PyRef> number_object_failed(bool is_int) {
    return fatal_from_python(is_int ? "could not create an int" : "could not create a float");
}

template <FloatMode F>
TALDO_NOINLINE Result<PyRef> build_number_slow(Scanner& scanner, uint8_t first_byte, bool allow_inf_nan,
                                               [[maybe_unused]] bool& collector_paused,
                                               [[maybe_unused]] InterpreterState& interpreter) {
    const uint64_t start = scanner.index;
    if (start + NUMBER_WINDOW > scanner.len) {
        uint8_t buffer[PADDED_NUMBER];
        copy_near_end(buffer, scanner.data, scanner.len, start);
        const BlockNumber n = read_block<F == FloatMode::Float>(buffer, buffer + PADDED_NUMBER, first_byte == '-');
        PyObject* object = nullptr;
        if (n.kind == BlockNumber::Kind::Int) {
            object = PyLong_FromLongLong(n.int_value);
        } else if (n.kind == BlockNumber::Kind::Float) {
            object = PyFloat_FromDouble(n.float_value);
        }
        if (object != nullptr) [[likely]] {
            scanner.index = start + n.length;
            return PyRef(object);
        }
        if (n.kind != BlockNumber::Kind::Other) [[unlikely]] {
            return number_object_failed(n.kind == BlockNumber::Kind::Int);
        }
    }
    if constexpr (F == FloatMode::Float) {
        return build_float_mode_number(scanner, first_byte, allow_inf_nan);
    } else {
        return build_text_mode_number<F>(scanner, first_byte, allow_inf_nan, collector_paused, interpreter);
    }
}

template Result<PyRef> build_number_slow<FloatMode::Float>(Scanner&, uint8_t, bool, bool&, InterpreterState&);
template Result<PyRef> build_number_slow<FloatMode::Decimal>(Scanner&, uint8_t, bool, bool&, InterpreterState&);
template Result<PyRef> build_number_slow<FloatMode::LosslessFloat>(Scanner&, uint8_t, bool, bool&, InterpreterState&);

}  // namespace taldo
