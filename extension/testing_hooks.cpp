// _taldo_testing: the decoding core's internals, exposed to the test suite so
// that they can be checked below the public API. Not part of taldo's API.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>

#include "errors.hpp"
#include "py_ref.hpp"

namespace taldo {
namespace {

PyObject* text_to_str(const std::string& text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
}

// line_position(data: bytes, index: int) -> (line, column)
PyObject* line_position_hook(PyObject* /*module*/, PyObject* args) {
    const char* data = nullptr;
    Py_ssize_t size = 0;
    unsigned long long index = 0;
    if (!PyArg_ParseTuple(args, "y#K", &data, &size, &index)) {
        return nullptr;
    }
    const LinePosition p = line_position(reinterpret_cast<const uint8_t*>(data), static_cast<uint64_t>(size), index);
    return Py_BuildValue("(KK)", static_cast<unsigned long long>(p.line), static_cast<unsigned long long>(p.column));
}

// debug_quote(text: str) -> str
PyObject* debug_quote_hook(PyObject* /*module*/, PyObject* text) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (utf8 == nullptr) {
        return nullptr;
    }
    return text_to_str(debug_quote(std::string_view(utf8, static_cast<size_t>(size))));
}

// error_message(kind: int, index: int, data: bytes, payload: str = "") -> str
// For KindMismatch (kind 100) the payload is "expected,found" as two JsonKind
// codes.
PyObject* error_message_hook(PyObject* /*module*/, PyObject* args) {
    int kind = 0;
    unsigned long long index = 0;
    const char* data = nullptr;
    Py_ssize_t size = 0;
    const char* payload = "";
    if (!PyArg_ParseTuple(args, "iKy#|s", &kind, &index, &data, &size, &payload)) {
        return nullptr;
    }
    ParseError error(static_cast<ErrorKind>(kind), index);
    if (kind == static_cast<int>(ErrorKind::KindMismatch)) {
        int expected = 0, found = 0;
        if (std::sscanf(payload, "%d,%d", &expected, &found) != 2) {
            PyErr_SetString(PyExc_ValueError, "payload must be 'expected,found'");
            return nullptr;
        }
        error = ParseError::kind_mismatch(static_cast<JsonKind>(expected), static_cast<JsonKind>(found), index);
    } else if (kind == static_cast<int>(ErrorKind::DuplicateKey) || kind == static_cast<int>(ErrorKind::InternalError)) {
        error = ParseError::with_text(static_cast<ErrorKind>(kind), index, payload);
    } else if (kind < 0 || kind > static_cast<int>(ErrorKind::RecursionLimitExceeded)) {
        PyErr_SetString(PyExc_ValueError, "no such kind");
        return nullptr;
    }
    return text_to_str(message(error, reinterpret_cast<const uint8_t*>(data), static_cast<uint64_t>(size)));
}

PyMethodDef HOOKS[] = {
    {"line_position", line_position_hook, METH_VARARGS, nullptr},
    {"debug_quote", debug_quote_hook, METH_O, nullptr},
    {"error_message", error_message_hook, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot SLOTS[] = {{0, nullptr}};

PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT, "_taldo_testing", nullptr, 0, HOOKS, SLOTS, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace taldo

PyMODINIT_FUNC PyInit__taldo_testing() { return PyModuleDef_Init(&taldo::MODULE_DEF); }
