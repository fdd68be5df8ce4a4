// The exceptions taldo raises for what goes wrong inside a parse: a
// JSONDecodeError for a malformed document, the internal fault for a broken
// invariant.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <string_view>

#include "compiler.hpp"
#include "errors.hpp"

namespace taldo {

struct InterpreterState;

// A new InternalFault class (each interpreter makes one, with its state), or
// nullptr with an exception set.
PyObject* make_internal_fault_type();

// The interpreter's JSONDecodeError class (borrowed), a subclass of
// json.JSONDecodeError. Importing json costs more than importing taldo, so
// the class is made on first need: the first parse error, or the first look
// at taldo.JSONDecodeError. nullptr with an exception set when json cannot be
// imported or the class cannot be made; nothing is kept then, and the next
// call tries again.
PyObject* json_decode_error_type(InterpreterState& state);

// Raises what a failed parse ends with: a JSONDecodeError for a parse error,
// the internal fault for a broken invariant, or nothing for an error whose
// Python exception is pending already. `data` and `len` are the bytes in
// which the error's index counts (its line and column are found there);
// `doc` is what the exception keeps as its `doc` (borrowed; nullptr makes a
// new bytes object of `data`), so that a caller holding only a chunk of a
// stream can say which object the index refers to. When nothing can be made
// for the exception, a MemoryError (or the error of importing json) is raised
// instead.
TALDO_COLD TALDO_NOINLINE void raise_parse_error(InterpreterState& state, const ParseError& error,
                                                    const uint8_t* data, uint64_t len, PyObject* doc);

// The same for an error whose line and column are known already (a stream's,
// counted over every chunk); `doc` (borrowed, not nullptr) is kept as the
// exception's `doc`.
TALDO_COLD TALDO_NOINLINE void raise_parse_error(InterpreterState& state, const ParseError& error,
                                                    LinePosition position, PyObject* doc);

// Raises the internal fault with `text` as its message.
void raise_internal_fault(InterpreterState& state, std::string_view text);

}  // namespace taldo
