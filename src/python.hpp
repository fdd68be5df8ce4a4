// The value builder: one walk over the document that makes the Python objects
// as it goes, with no intermediate tree.
//
// Everything here runs with the interpreter lock held, inside one from_json
// call. Faults travel up as ParseError values; the only Python exceptions that
// escape are raised by the module boundary.
#pragma once

#include <cstdlib>

#include "errors.hpp"
#include "native_memory.hpp"
#include "options.hpp"
#include "py_ref.hpp"
#include "py_str.hpp"
#include "scanner.hpp"
#include "string_cache.hpp"
#include "string_decoder.hpp"

namespace taldo {

// The elements of every array still open, innermost last: an array pushes
// its elements here and moves them into its list at its end. One block serves
// the whole call (the first 64 slots inline), so that arrays do not allocate
// for their elements. Owns the references it holds.
class ElementStack {
public:
    ElementStack() = default;
    ElementStack(const ElementStack&) = delete;
    ElementStack& operator=(const ElementStack&) = delete;
    ~ElementStack() {
        release_from(0);
        if (items_ != inline_) native_free(items_);
    }

    size_t size() const { return size_; }

    // Takes the reference. False when memory is exhausted (the reference is
    // then released).
    [[nodiscard]] bool push(PyObject* item) {
        if (size_ == capacity_) [[unlikely]] {
            if (!grow()) {
                Py_DECREF(item);
                return false;
            }
        }
        items_[size_++] = item;
        return true;
    }

    // A list of the elements from `base` on, which leave the stack; nullptr
    // when the list cannot be made (the elements stay).
    PyObject* make_list(size_t base);

    // Releases the elements from `base` on.
    void release_from(size_t base) {
        while (size_ > base) Py_DECREF(items_[--size_]);
    }

private:
    bool grow();

    PyObject** items_ = inline_;
    size_t size_ = 0;
    size_t capacity_ = INLINE_SLOTS;
    static constexpr size_t INLINE_SLOTS = 64;
    PyObject* inline_[INLINE_SLOTS];
};

// One array's share of the stack: whatever it has not moved into its list
// when it ends (a fault) is released.
class ElementFrame {
public:
    explicit ElementFrame(ElementStack& stack) : stack_(stack), base_(stack.size()) {}
    ElementFrame(const ElementFrame&) = delete;
    ElementFrame& operator=(const ElementFrame&) = delete;
    ~ElementFrame() { stack_.release_from(base_); }

    PyObject* make_list() { return stack_.make_list(base_); }

private:
    ElementStack& stack_;
    size_t base_;
};

// The nesting budget at the start of every call.
constexpr uint8_t MAX_DEPTH = 200;

// What the running interpreter keeps between calls: the string cache pool,
// the LosslessFloat class, decimal.Decimal (extension/interpreter_state.hpp).
struct InterpreterState;

// The state of one from_json call.
//
// The input must be followed by a NUL byte (every bytes object is): the walk
// reads the byte at the end of the input as a sentinel instead of testing for
// the end before every structural byte.
struct ValueBuilder {
    // A builder for one call over the `len` bytes at `data`, for the
    // interpreter with this state and string cache pool.
    ValueBuilder(const uint8_t* data, uint64_t len, InterpreterState& state, StringCachePool& pool)
        : scanner{data, len, 0}, interpreter(&state) {
        cache_cell.pool = &pool;
    }
    ValueBuilder(const ValueBuilder&) = delete;
    ValueBuilder& operator=(const ValueBuilder&) = delete;

    // Gives back what the call borrowed and frees its buffers, on every path,
    // before the result or the exception goes out.
    void finish() {
        scratch.free_memory();
        give_back(cache_cell);
    }

    ScratchBuffer scratch;
    Scanner scanner;
    CacheCell cache_cell;
    // The calling interpreter's; cache_cell.pool is its pool.
    InterpreterState* interpreter = nullptr;
    ElementStack elements;
    // The fault that ended the walk: set whenever a step returns nullptr.
    ParseError error;
    bool allow_inf_nan = true;
    PartialMode partial_mode = PartialMode::Off;
    uint8_t remaining_depth = MAX_DEPTH;
    // Whether this call has paused the cyclic collector and still owns the
    // pause: the call enables it again at its end only then.
    bool collector_paused = false;
};


// The interpreter could not make an object (memory is exhausted): any pending
// Python error is reported as unraisable and the call ends with the internal
// fault carrying `text`.
ParseError fatal_from_python(const char* text);

// "<type qualname>: <str(exception)>", for an InternalError, appended to
// `out`.
void exception_description(PyObject* exception, TextBuffer& out);

// Takes the pending Python exception from the interpreter (none is pending
// afterwards) and turns it into an InternalError at `index`; an exception that
// is no Exception, or a MemoryError, stays pending instead, as a
// PythonException fault.
ParseError internal_error_from_python(uint64_t index);

// Supplied by the LosslessFloat class (extension/lossless_float.cpp), for the
// exact float modes. Each returns nullptr with a Python exception set on
// failure.
//
// The decimal.Decimal type, looked up once per interpreter (a failed lookup
// is tried again by the next call). A borrowed reference.
PyObject* decimal_type(InterpreterState& state);
// decimal.Decimal of the UTF-8 text.
PyObject* call_decimal(InterpreterState& state, const uint8_t* text, uint64_t size);
// A LosslessFloat that takes over `raw` (allocated with malloc), or frees it.
PyObject* new_lossless_float(InterpreterState& state, uint8_t* raw, uint64_t size);

// Walks the whole document: one of 18 instantiations, chosen once per call by
// the three options that shape the walk. Returns a new reference, or nullptr
// with the fault in the builder's `error`.
using BuildDocument = PyObject* (*)(ValueBuilder&);
BuildDocument select_builder(CacheMode cache_mode, bool catch_duplicate_keys, FloatMode float_mode);

}  // namespace taldo
