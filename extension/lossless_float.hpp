// The LosslessFloat class: a JSON number kept as its exact text.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace taldo {

// A new class object (each interpreter makes one, with its state), or nullptr
// with an exception set.
PyObject* make_lossless_float_type();

}  // namespace taldo
