// Binding and validation of from_json's arguments and options.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "options.hpp"

namespace taldo {

// The arguments of one call, borrowed from the caller's vector.
struct CallArguments {
    PyObject* json_data = nullptr;
    PyObject* allow_inf_nan = nullptr;
    PyObject* cache_mode = nullptr;
    PyObject* partial_mode = nullptr;
    PyObject* catch_duplicate_keys = nullptr;
    PyObject* float_mode = nullptr;
};

// Each returns false with a TypeError or ValueError set.
bool bind_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, CallArguments& call);
bool check_json_data(PyObject* json_data);
bool convert_options(const CallArguments& call, BuildOptions& options);
// As convert_options for a StreamDecoder, whose partial mode is On unless
// given as "trailing-strings": it takes no other.
bool convert_stream_options(const CallArguments& call, BuildOptions& options);

}  // namespace taldo
