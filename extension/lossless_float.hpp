// The LosslessFloat class: a JSON number kept as its exact text.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace taldo {

// The class object, created on first need and shared by every module object
// of the process. A borrowed reference, or nullptr with an exception set.
PyObject* lossless_float_type();

}  // namespace taldo
