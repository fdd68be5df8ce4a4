// An owned reference to a Python object: one owner, released exactly once.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace taldo {

class PyRef {
public:
    PyRef() = default;
    // Takes over a new reference (or nullptr).
    explicit PyRef(PyObject* owned) : ptr_(owned) {}
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(ptr_);
            ptr_ = other.ptr_;
            other.ptr_ = nullptr;
        }
        return *this;
    }
    ~PyRef() { Py_XDECREF(ptr_); }

    // A new reference to a borrowed object.
    static PyRef borrow(PyObject* borrowed) {
        Py_INCREF(borrowed);
        return PyRef(borrowed);
    }

    PyObject* get() const { return ptr_; }
    explicit operator bool() const { return ptr_ != nullptr; }
    // Hands the reference to the caller.
    [[nodiscard]] PyObject* release() { return std::exchange(ptr_, nullptr); }

private:
    PyObject* ptr_ = nullptr;
};

// Takes the pending exception from the interpreter (none is pending
// afterwards): a new reference to the exception object, or nullptr.
inline PyObject* fetch_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr && traceback != nullptr) {
        PyException_SetTraceback(value, traceback);
    }
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

// Makes `exception` (a reference that is taken over) the pending exception.
inline void restore_exception(PyObject* exception) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception);
#else
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception));
    Py_INCREF(type);
    PyErr_Restore(type, exception, PyException_GetTraceback(exception));
#endif
}

}  // namespace taldo
