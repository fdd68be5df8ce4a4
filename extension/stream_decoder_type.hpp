// The StreamDecoder class: a JSON document fed in pieces (src/stream_decoder.hpp).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "errors.hpp"
#include "interpreter_state.hpp"

namespace taldo {

// Makes the interpreter's StreamDecoder class and its PENDING object and
// stores them in its state; false with an exception set on failure.
bool make_stream_decoder_type(InterpreterState& state);

}  // namespace taldo
