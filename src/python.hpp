// The value builder: one walk over the document that makes the Python objects
// as it goes, with no intermediate tree.
//
// Everything here runs with the interpreter lock held, inside one from_json
// call. Faults travel up as ParseError values; the only Python exceptions that
// escape are raised by the module boundary.
#pragma once

#include <string>

#include "errors.hpp"
#include "options.hpp"
#include "py_ref.hpp"
#include "py_str.hpp"
#include "scanner.hpp"
#include "string_cache.hpp"
#include "string_decoder.hpp"

namespace taldo {

// The state of one from_json call.
struct ValueBuilder {
    ScratchBuffer scratch;
    Scanner scanner;
    CacheCell cache_cell;
    bool allow_inf_nan = true;
    PartialMode partial_mode = PartialMode::Off;
    uint8_t remaining_depth = 200;
};

// The nesting budget at the start of every call.
constexpr uint8_t MAX_DEPTH = 200;

// The interpreter could not make an object (memory is exhausted): any pending
// Python error is reported as unraisable and the call ends with the internal
// fault carrying `text`.
ParseError fatal_from_python(const char* text);

// "<type qualname>: <str(exception)>", for an InternalError.
std::string exception_description(PyObject* exception);

// Takes the pending Python exception from the interpreter (none is pending
// afterwards) and turns it into an InternalError at `index`.
ParseError internal_error_from_python(uint64_t index);

// Supplied by the LosslessFloat class (extension/lossless_float.cpp), for the
// exact float modes. Each returns nullptr with a Python exception set on
// failure.
//
// The decimal.Decimal type, looked up once per process (a failed lookup is
// tried again by the next call). A borrowed reference.
PyObject* decimal_type();
// decimal.Decimal of the UTF-8 text.
PyObject* call_decimal(const uint8_t* text, uint64_t size);
// A LosslessFloat that takes over `raw` (allocated with malloc), or frees it.
PyObject* new_lossless_float(uint8_t* raw, uint64_t size);

// Walks the whole document: one of 18 instantiations, chosen once per call by
// the three options that shape the walk.
using BuildDocument = Result<PyRef> (*)(ValueBuilder&);
BuildDocument select_builder(CacheMode cache_mode, bool catch_duplicate_keys, FloatMode float_mode);

}  // namespace taldo
