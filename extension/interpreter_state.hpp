// What taldo keeps for each interpreter: the string cache pool and the Python
// classes it makes or looks up.
//
// Every Python object that outlives a call belongs to one interpreter: its
// allocator made it, and with their own GIL two interpreters may run at the
// same time. So nothing here is shared between interpreters. Within one, every
// module object shares one state (one LosslessFloat class, one pool), kept in
// a capsule in the interpreter's own dict and released when the interpreter
// ends. Every field is used with that interpreter's lock held.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "string_cache.hpp"

namespace taldo {

struct InterpreterState {
    InterpreterState() = default;
    InterpreterState(const InterpreterState&) = delete;
    InterpreterState& operator=(const InterpreterState&) = delete;
    ~InterpreterState();

    StringCachePool pool;
    // Made with the state; owned.
    PyObject* lossless_float_type = nullptr;
    PyObject* internal_fault_type = nullptr;
    // taldo.JSONDecodeError, owned once made (on first need: see
    // exceptions.hpp), then never changed.
    PyObject* json_decode_error_type = nullptr;
    // Its attribute names (msg, doc, pos, lineno, colno), interned, made with it.
    PyObject* json_decode_error_fields[5] = {};
    // The StreamDecoder class and its PENDING object, made by the first
    // module object of the interpreter; owned.
    PyObject* stream_decoder_type = nullptr;
    PyObject* stream_pending = nullptr;
    // decimal.Decimal, owned once a lookup has succeeded, then never changed.
    PyObject* decimal_type = nullptr;
};

// A new reference to the capsule that holds the running interpreter's state,
// which is made on first need; nullptr with an exception set when that fails.
PyObject* interpreter_state_capsule();

// A new capsule holding a fresh state for the running interpreter that is
// stored nowhere: the test module's own, whose objects its own allocator
// makes and frees. nullptr with an exception set when that fails.
PyObject* new_interpreter_state_capsule();

// The state in a capsule from interpreter_state_capsule().
InterpreterState* state_of_capsule(PyObject* capsule);

// A new reference to the running interpreter's capsule if it has one, else
// nullptr (with no exception set).
PyObject* find_interpreter_state_capsule();

}  // namespace taldo
