#include "lossless_float.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "compiler.hpp"
#include "errors.hpp"
#include "exceptions.hpp"
#include "interpreter_state.hpp"
#include "native_memory.hpp"
#include "number_decoder.hpp"
#include "python.hpp"
#include "py_ref.hpp"
#include "scanner.hpp"
#include "string_decoder.hpp"

namespace taldo {
namespace {

struct LosslessFloatObject {
    PyObject_HEAD
    uint8_t* raw;  // owned; never changed after creation
    Py_ssize_t size;
};

LosslessFloatObject* as_lossless(PyObject* self) { return reinterpret_cast<LosslessFloatObject*>(self); }

// Reads `raw` as a whole document that must be one number, with optional
// whitespace around it.
Result<double> parse_raw_float(const uint8_t* raw, uint64_t len) {
    Scanner s{raw, len, 0};
    s.skip_whitespace();
    if (s.at_end()) {
        return ParseError(ErrorKind::EofInValue, len);
    }
    const uint64_t start = s.index;
    const uint8_t first = s.peek();
    Result<Decoded<double>> number = decode_number_float(raw, len, start, first, true);
    if (!number.ok()) {
        const bool could_start_number = (first >= '0' && first <= '9') || first == '-' || first == 'I' || first == 'N';
        if (could_start_number) {
            return number.take_error();
        }
        JsonKind found;
        switch (first) {
            case '"': found = JsonKind::String; break;
            case '[': found = JsonKind::Array; break;
            case '{': found = JsonKind::Object; break;
            case 't':
            case 'f': found = JsonKind::Bool; break;
            case 'n': found = JsonKind::Null; break;
            default: return ParseError(ErrorKind::ExpectedValue, start);
        }
        return ParseError::kind_mismatch(JsonKind::Float, found, start);
    }
    s.index = number.value().end;
    s.skip_whitespace();
    if (!s.at_end()) {
        return ParseError(ErrorKind::TrailingCharacters, s.index);
    }
    return number.value().value;
}

// A text that is no JSON number is a malformed document of its own: it
// raises the interpreter's JSONDecodeError, with `doc` the bytes object given
// (nullptr: a new one of the bytes). Late in the interpreter's shutdown, when
// its state is gone, a ValueError with the same message instead.
void raise_value_error(const ParseError& error, const uint8_t* raw, uint64_t len, PyObject* doc) {
    PyRef capsule(find_interpreter_state_capsule());
    if (capsule) {
        raise_parse_error(*state_of_capsule(capsule.get()), error, raw, len, doc);
        return;
    }
    TextBuffer text;
    message(error, raw, len, text);
    if (!text.ok()) {
        PyErr_NoMemory();
        return;
    }
    PyRef value(PyUnicode_FromStringAndSize(text.view().data(), static_cast<Py_ssize_t>(text.view().size())));
    if (value) {
        PyErr_SetObject(PyExc_ValueError, value.get());
    }
}

bool raw_is_utf8(PyObject* self) {
    const LosslessFloatObject* object = as_lossless(self);
    if (is_valid_utf8(object->raw, static_cast<uint64_t>(object->size))) {
        return true;
    }
    PyErr_SetString(PyExc_ValueError, "Invalid UTF-8");
    return false;
}

// Appends the bytes to `out`; a MemoryError when no memory is left for them.
bool append_bytes(ScratchBuffer& out, const void* bytes, uint64_t count) {
    if (!out.append(static_cast<const uint8_t*>(bytes), count)) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

// The bytes of `raw`: bytes and bytearray as they are, any other sequence
// item by item, each item an int from 0 to 255. A str is refused.
bool extract_raw(PyObject* raw, ScratchBuffer& out) {
    if (PyBytes_Check(raw)) {
        return append_bytes(out, PyBytes_AS_STRING(raw), static_cast<uint64_t>(PyBytes_GET_SIZE(raw)));
    }
    if (PyByteArray_Check(raw)) {
        return append_bytes(out, PyByteArray_AS_STRING(raw), static_cast<uint64_t>(PyByteArray_GET_SIZE(raw)));
    }
    if (PyUnicode_Check(raw)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    const Py_ssize_t size = PySequence_Size(raw);
    if (size < 0) {
        return false;
    }
    // The length is the sequence's claim (range(10**12) makes it): reserve
    // only a little up front, since a bad item usually ends the loop early.
    if (!out.reserve(static_cast<uint64_t>(std::min<Py_ssize_t>(size, 4096)))) {
        PyErr_NoMemory();
        return false;
    }
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyRef item(PySequence_GetItem(raw, i));
        if (!item) {
            return false;
        }
        PyRef index(PyNumber_Index(item.get()));
        if (!index) {
            return false;
        }
        const long value = PyLong_AsLong(index.get());
        if (value == -1 && PyErr_Occurred()) {
            return false;
        }
        if (value < 0 || value > 255) {
            PyErr_SetString(PyExc_OverflowError, "byte value out of range (0 to 255)");
            return false;
        }
        const auto byte = static_cast<uint8_t>(value);
        if (!append_bytes(out, &byte, 1)) {
            return false;
        }
    }
    return true;
}

// Takes the buffer; frees it if no instance can be made.
PyObject* wrap_raw(PyTypeObject* type, uint8_t* raw, uint64_t size) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) {
        native_free(raw);
        return nullptr;
    }
    as_lossless(self)->raw = raw;
    as_lossless(self)->size = static_cast<Py_ssize_t>(size);
    return self;
}

uint8_t* copy_bytes(const void* bytes, uint64_t size) {
    auto* copy = static_cast<uint8_t*>(native_malloc(size != 0 ? size : 1));
    if (copy != nullptr && size != 0) {
        std::memcpy(copy, bytes, size);
    }
    return copy;
}

PyObject* look_up_decimal() {
    PyRef name(PyUnicode_FromString("decimal"));
    PyRef module(name ? PyImport_Import(name.get()) : nullptr);
    if (!module) {
        return nullptr;
    }
    PyRef type(PyObject_GetAttrString(module.get(), "Decimal"));
    if (!type) {
        return nullptr;
    }
    if (!PyType_Check(type.get())) {
        PyErr_SetString(PyExc_TypeError, "decimal.Decimal is not a type");
        return nullptr;
    }
    return type.release();
}

PyObject* call_decimal_type(PyObject* type, const uint8_t* text, uint64_t size) {
    PyRef str(PyUnicode_FromStringAndSize(reinterpret_cast<const char*>(text), static_cast<Py_ssize_t>(size)));
    if (!str) {
        return nullptr;
    }
    PyObject* argument = str.get();
    return PyObject_Vectorcall(type, &argument, 1, nullptr);
}

PyObject* lossless_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"raw", nullptr};
    PyObject* raw_argument = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:LosslessFloat", const_cast<char**>(keywords),
                                     &raw_argument)) {
        return nullptr;
    }
    ScratchBuffer raw;
    if (!extract_raw(raw_argument, raw)) {
        return nullptr;
    }
    Result<double> checked = parse_raw_float(raw.data(), raw.length());
    if (!checked.ok()) {
        PyObject* doc = PyBytes_Check(raw_argument) ? raw_argument : nullptr;
        raise_value_error(checked.error(), raw.data(), raw.length(), doc);
        return nullptr;
    }
    uint8_t* copy = copy_bytes(raw.data(), raw.length());
    if (copy == nullptr) {
        return PyErr_NoMemory();
    }
    return wrap_raw(type, copy, raw.length());
}

void lossless_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    native_free(as_lossless(self)->raw);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* lossless_float(PyObject* self) {
    const LosslessFloatObject* object = as_lossless(self);
    Result<double> value = parse_raw_float(object->raw, static_cast<uint64_t>(object->size));
    if (!value.ok()) {
        raise_value_error(value.error(), object->raw, static_cast<uint64_t>(object->size), nullptr);
        return nullptr;
    }
    return PyFloat_FromDouble(value.value());
}

PyObject* lossless_str(PyObject* self) {
    if (!raw_is_utf8(self)) {
        return nullptr;
    }
    return PyUnicode_FromStringAndSize(reinterpret_cast<const char*>(as_lossless(self)->raw), as_lossless(self)->size);
}

PyObject* lossless_repr(PyObject* self) {
    if (!raw_is_utf8(self)) {
        return nullptr;
    }
    PyRef text(lossless_str(self));
    return text ? PyUnicode_FromFormat("LosslessFloat(%U)", text.get()) : nullptr;
}

PyObject* lossless_bytes(PyObject* self, PyObject* /*unused*/) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(as_lossless(self)->raw), as_lossless(self)->size);
}

PyObject* lossless_as_decimal(PyObject* self, PyObject* /*unused*/) {
    // The interpreter that made the instance keeps the type; the capsule is
    // held while the lookup runs Python code. Late in the interpreter's
    // shutdown, when its state is gone, the type is looked up for this call
    // alone.
    PyRef capsule(find_interpreter_state_capsule());
    PyRef looked_up;
    PyObject* type;
    if (capsule) {
        type = decimal_type(*state_of_capsule(capsule.get()));
    } else {
        looked_up = PyRef(look_up_decimal());
        type = looked_up.get();
    }
    if (type == nullptr || !raw_is_utf8(self)) {
        return nullptr;
    }
    return call_decimal_type(type, as_lossless(self)->raw, static_cast<uint64_t>(as_lossless(self)->size));
}

// Pickles as a call of the class (by its public name, taldo.LosslessFloat)
// with the bytes, so that any process with taldo loads it.
PyObject* lossless_reduce(PyObject* self, PyObject* /*unused*/) {
    PyRef raw(lossless_bytes(self, nullptr));
    return raw ? Py_BuildValue("(O(O))", reinterpret_cast<PyObject*>(Py_TYPE(self)), raw.get()) : nullptr;
}

// An instance never changes: a copy, shallow or deep, is the instance itself.
PyObject* lossless_copy(PyObject* self, PyObject* /*unused*/) { return Py_NewRef(self); }

PyObject* lossless_deepcopy(PyObject* self, PyObject* /*memo*/) { return Py_NewRef(self); }

bool same_text(PyObject* a, PyObject* b) {
    const LosslessFloatObject* x = as_lossless(a);
    const LosslessFloatObject* y = as_lossless(b);
    return x->size == y->size && (x->size == 0 || std::memcmp(x->raw, y->raw, static_cast<size_t>(x->size)) == 0);
}

// Equal when the texts are: 1.10 and 1.1 are different texts. Anything else
// (a float, an int, a Decimal, an ordering) is left to Python's fallback.
PyObject* lossless_richcompare(PyObject* self, PyObject* other, int op) {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != Py_TYPE(self)) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    return PyBool_FromLong(same_text(self, other) == (op == Py_EQ));
}

// The hash of the text as bytes, so that equal instances hash alike.
Py_hash_t lossless_hash(PyObject* self) {
    PyRef raw(lossless_bytes(self, nullptr));
    return raw ? PyObject_Hash(raw.get()) : -1;
}

PyMethodDef LOSSLESS_METHODS[] = {
    {"as_decimal", lossless_as_decimal, METH_NOARGS, "as_decimal($self)\n--\n\n"},
    {"__bytes__", lossless_bytes, METH_NOARGS, "__bytes__($self)\n--\n\n"},
    {"__reduce__", lossless_reduce, METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {"__copy__", lossless_copy, METH_NOARGS, "__copy__($self)\n--\n\n"},
    {"__deepcopy__", lossless_deepcopy, METH_O, "__deepcopy__($self, memo, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot LOSSLESS_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>("LosslessFloat(raw)\n--\n\n"
                                  "Represents a float from JSON, by holding the underlying bytes representing a "
                                  "float from JSON.")},
    {Py_tp_new, reinterpret_cast<void*>(lossless_new)},
    {Py_nb_float, reinterpret_cast<void*>(lossless_float)},
    {Py_tp_str, reinterpret_cast<void*>(lossless_str)},
    {Py_tp_repr, reinterpret_cast<void*>(lossless_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(lossless_dealloc)},
    {Py_tp_richcompare, reinterpret_cast<void*>(lossless_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(lossless_hash)},
    {Py_tp_methods, LOSSLESS_METHODS},
    {0, nullptr},
};

PyType_Spec LOSSLESS_SPEC = {
    "taldo.LosslessFloat",
    sizeof(LosslessFloatObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    LOSSLESS_SLOTS,
};

}  // namespace

PyObject* make_lossless_float_type() { return PyType_FromSpec(&LOSSLESS_SPEC); }

PyObject* new_lossless_float(InterpreterState& state, uint8_t* raw, uint64_t size) {
    return wrap_raw(reinterpret_cast<PyTypeObject*>(state.lossless_float_type), raw, size);
}

// The lookup runs Python code (an import, an attribute of a module), which
// may let other threads run, fork the process, or come back here: a call it
// makes to from_json in decimal mode looks the type up again. So no lock is
// held while it runs; whichever lookup finishes first is kept, and a later
// one is dropped.
TALDO_NOINLINE PyObject* look_up_decimal_for(InterpreterState& state) {
    PyObject* found = look_up_decimal();
    if (found == nullptr) {
        return nullptr;  // nothing is kept: the next call tries again
    }
    if (state.decimal_type == nullptr) {
        state.decimal_type = found;
    } else {
        Py_DECREF(found);
    }
    return state.decimal_type;
}

PyObject* decimal_type(InterpreterState& state) {
    if (state.decimal_type != nullptr) [[likely]] {
        return state.decimal_type;
    }
    return look_up_decimal_for(state);
}

PyObject* call_decimal(InterpreterState& state, const uint8_t* text, uint64_t size) {
    PyObject* type = decimal_type(state);
    if (type == nullptr) {
        return nullptr;
    }
    return call_decimal_type(type, text, size);
}

}  // namespace taldo
