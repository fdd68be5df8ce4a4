// make_py_str: the one rule for making a str from a DecodedString without the
// cache (the cache itself makes each str it stores this way).
#pragma once

#include <cstdint>
#include <cstring>

#include "errors.hpp"
#include "py_ref.hpp"
#include "string_decoder.hpp"

namespace taldo {

// The interpreter could not make an object (defined with the value builder).
ParseError fatal_from_python(const char* text);

namespace detail {
// Every string that is not plain ASCII: made from its code points.
Result<PyRef> make_py_str_from_points(const DecodedString& s);
}  // namespace detail

// A new str holding the decoded value. Nothing is decoded a second time: an
// ASCII string is copied into a compact object, a non-ASCII one is made from
// the code points the decoder left, and strings of no or one character are
// the interpreter's ready-made objects.
inline Result<PyRef> make_py_str(const DecodedString& s) {
    if (!s.ascii_only) {
        return detail::make_py_str_from_points(s);
    }
    PyObject* str;
    if (s.length >= 2) [[likely]] {
        str = PyUnicode_New(static_cast<Py_ssize_t>(s.length), 127);
        if (str != nullptr) {
            auto* chars = static_cast<uint8_t*>(PyUnicode_DATA(str));
            std::memcpy(chars, s.bytes, s.length);
            chars[s.length] = 0;
        }
    } else if (s.length == 1) {
        str = PyUnicode_FromOrdinal(s.bytes[0]);
    } else {
        str = PyUnicode_New(0, 0);
    }
    if (str == nullptr) [[unlikely]] {
        return fatal_from_python("could not create a str");
    }
    return PyRef(str);
}

}  // namespace taldo
