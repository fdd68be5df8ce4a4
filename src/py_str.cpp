#include "py_str.hpp"

namespace taldo {

namespace detail {

namespace {

// The code points, each known to fit, into a str's 1- or 2-byte characters.
template <class Char>
void narrow(const uint32_t* points, uint64_t n, void* data) {
    auto* to = static_cast<Char*>(data);
    for (uint64_t i = 0; i < n; ++i) {
        to[i] = static_cast<Char>(points[i]);
    }
}

}  // namespace

Result<PyRef> make_py_str_from_points(const DecodedString& s) {
    const CodePoints& points = *s.code_points;
    const auto n = static_cast<Py_ssize_t>(points.count);
    PyObject* str;
    if (n <= 1) {
        str = n == 0 ? PyUnicode_New(0, 0) : PyUnicode_FromOrdinal(static_cast<int>(points.data[0]));
    } else if (points.bits < 0x100) {
        str = PyUnicode_New(n, points.bits < 0x80 ? 0x7F : 0xFF);
        if (str != nullptr) narrow<uint8_t>(points.data, points.count, PyUnicode_DATA(str));
    } else if (points.bits < 0x10000) {
        str = PyUnicode_New(n, 0xFFFF);
        if (str != nullptr) narrow<uint16_t>(points.data, points.count, PyUnicode_DATA(str));
    } else {
        str = PyUnicode_New(n, 0x10FFFF);
        if (str != nullptr) std::memcpy(PyUnicode_DATA(str), points.data, points.count * sizeof(uint32_t));
    }
    if (str == nullptr) [[unlikely]] {
        return fatal_from_python("could not create a str");
    }
    return PyRef(str);
}

}  // namespace detail

}  // namespace taldo
