#include "lossless_float.hpp"

#include <cstdlib>
#include <cstring>

#include "py_ref.hpp"

namespace taldo {
namespace {

struct LosslessFloatObject {
    PyObject_HEAD
    char* raw;
    Py_ssize_t size;
};

LosslessFloatObject* as_lossless(PyObject* self) { return reinterpret_cast<LosslessFloatObject*>(self); }

PyObject* lossless_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"raw", nullptr};
    Py_buffer view;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "y*:LosslessFloat", const_cast<char**>(keywords), &view)) {
        return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self != nullptr) {
        char* raw = static_cast<char*>(std::malloc(view.len > 0 ? static_cast<size_t>(view.len) : 1));
        if (raw == nullptr) {
            Py_DECREF(self);
            self = PyErr_NoMemory();
        } else {
            std::memcpy(raw, view.buf, static_cast<size_t>(view.len));
            as_lossless(self)->raw = raw;
            as_lossless(self)->size = view.len;
        }
    }
    PyBuffer_Release(&view);
    return self;
}

void lossless_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    std::free(as_lossless(self)->raw);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* lossless_bytes(PyObject* self, PyObject* /*unused*/) {
    return PyBytes_FromStringAndSize(as_lossless(self)->raw, as_lossless(self)->size);
}

PyMethodDef LOSSLESS_METHODS[] = {
    {"__bytes__", lossless_bytes, METH_NOARGS, "__bytes__($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot LOSSLESS_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>("LosslessFloat(raw)\n--\n\n"
                                  "Represents a float from JSON, by holding the underlying bytes representing a "
                                  "float from JSON.")},
    {Py_tp_new, reinterpret_cast<void*>(lossless_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(lossless_dealloc)},
    {Py_tp_methods, LOSSLESS_METHODS},
    {0, nullptr},
};

PyType_Spec LOSSLESS_SPEC = {
    "taldo.LosslessFloat",
    sizeof(LosslessFloatObject),
    0,
    Py_TPFLAGS_DEFAULT,
    LOSSLESS_SLOTS,
};

}  // namespace

PyObject* lossless_float_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyType_FromSpec(&LOSSLESS_SPEC);
    }
    return type;
}

}  // namespace taldo
