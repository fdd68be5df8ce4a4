#include "number_objects.hpp"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace taldo {

namespace {

// The shortest two's-complement little-endian form of the value, as
// _PyLong_FromByteArray reads it. `out` must hold 8 * limbs + 1 bytes.
size_t big_int_bytes(const BigInt& value, uint8_t* out) {
    size_t count = 0;
    for (const uint64_t limb : value.limbs) {
        for (int shift = 0; shift < 64; shift += 8) {
            out[count++] = static_cast<uint8_t>(limb >> shift);
        }
    }
    while (count > 0 && out[count - 1] == 0) {
        --count;
    }
    if (count == 0) {
        out[0] = 0;
        return 1;
    }
    if ((out[count - 1] & 0x80) != 0) {
        // -2^(8m-1) is the one negative value whose magnitude has the top bit
        // set and still fits in m bytes.
        bool lower_zero = out[count - 1] == 0x80;
        for (size_t i = 0; lower_zero && i + 1 < count; ++i) {
            lower_zero = out[i] == 0;
        }
        if (!(value.negative && lower_zero)) {
            out[count++] = 0;
        }
    }
    if (value.negative) {
        // Two's complement: the low zero bytes stay, the first non-zero byte
        // is negated, every byte above it is inverted.
        size_t i = 0;
        while (out[i] == 0) {
            ++i;
        }
        out[i] = static_cast<uint8_t>(-out[i]);
        for (++i; i < count; ++i) {
            out[i] = static_cast<uint8_t>(~out[i]);
        }
    }
    return count;
}

// Decimal and LosslessFloat modes: a float keeps its text exactly as
// written; an integer is valued from its digits.
template <FloatMode F>
[[gnu::noinline]] Result<PyRef> build_text_mode_number(Scanner& scanner, uint8_t first_byte, bool allow_inf_nan) {
    Result<NumberText> read =
        read_number(scanner.data, scanner.len, scanner.index, first_byte, allow_inf_nan, Reading::Value);
    if (!read.ok()) {
        return read.take_error();
    }
    const NumberText& t = read.value();
    if (t.kind == NumberText::Kind::Integer) {
        Result<PyRef> object = make_number_object(int_run_value(scanner.data, t.digits, t.int_end, t.negative));
        if (object.ok()) {
            scanner.index = t.end;
        }
        return object;
    }
    const uint8_t* text = scanner.data + t.start;
    const uint64_t size = t.end - t.start;
    PyObject* object;
    if constexpr (F == FloatMode::Decimal) {
        object = call_decimal(text, size);
    } else {
        auto* raw = static_cast<uint8_t*>(std::malloc(size));  // size >= 1: a float's text is never empty
        if (raw == nullptr) [[unlikely]] {
            return fatal_from_python("could not allocate a LosslessFloat's bytes");
        }
        std::memcpy(raw, text, size);
        object = new_lossless_float(raw, size);  // frees raw when it fails
    }
    if (object == nullptr) {
        return internal_error_from_python(t.end);
    }
    scanner.index = t.end;
    return PyRef(object);
}

[[gnu::noinline]] Result<PyRef> build_float_mode_number(Scanner& scanner, uint8_t first_byte, bool allow_inf_nan) {
    Result<Decoded<DecodedNumber>> number =
        decode_number_any(scanner.data, scanner.len, scanner.index, first_byte, allow_inf_nan);
    if (!number.ok()) {
        return number.take_error();
    }
    Result<PyRef> object = make_number_object(number.value().value);
    if (object.ok()) {
        scanner.index = number.value().end;
    }
    return object;
}

}  // namespace

Result<PyRef> make_big_int(const BigInt& value) {
    constexpr size_t inline_bytes = 8 * 32 + 1;
    uint8_t inline_buffer[inline_bytes];
    std::vector<uint8_t> heap_buffer;
    uint8_t* bytes = inline_buffer;
    if (value.limbs.size() > 32) {
        heap_buffer.resize(8 * value.limbs.size() + 1);
        bytes = heap_buffer.data();
    }
    const size_t count = big_int_bytes(value, bytes);
    PyObject* object = _PyLong_FromByteArray(bytes, count, 1, 1);
    if (object == nullptr) [[unlikely]] {
        return fatal_from_python("could not create an int");
    }
    return PyRef(object);
}

Result<PyRef> make_number_object(const DecodedNumber& number) {
    PyObject* object = nullptr;
    switch (number.type) {
        case DecodedNumber::Type::Int:
            object = PyLong_FromLongLong(number.int_value);
            break;
        case DecodedNumber::Type::BigInt:
            return make_big_int(number.big);
        case DecodedNumber::Type::Float:
            object = PyFloat_FromDouble(number.float_value);
            break;
    }
    if (object == nullptr) [[unlikely]] {
        return fatal_from_python(number.type == DecodedNumber::Type::Int ? "could not create an int"
                                                                         : "could not create a float");
    }
    return PyRef(object);
}

Result<PyRef> number_object_failed(bool is_int) {
    return fatal_from_python(is_int ? "could not create an int" : "could not create a float");
}

template <FloatMode F>
[[gnu::noinline]] Result<PyRef> build_number_slow(Scanner& scanner, uint8_t first_byte, bool allow_inf_nan) {
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
        return build_text_mode_number<F>(scanner, first_byte, allow_inf_nan);
    }
}

template Result<PyRef> build_number_slow<FloatMode::Float>(Scanner&, uint8_t, bool);
template Result<PyRef> build_number_slow<FloatMode::Decimal>(Scanner&, uint8_t, bool);
template Result<PyRef> build_number_slow<FloatMode::LosslessFloat>(Scanner&, uint8_t, bool);

}  // namespace taldo
