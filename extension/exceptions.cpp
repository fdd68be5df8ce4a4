#include "exceptions.hpp"

#include <iterator>

#include "interpreter_state.hpp"
#include "py_ref.hpp"

namespace taldo {
namespace {

// --- JSONDecodeError -----------------------------------------------------------
//
// A subclass of json.JSONDecodeError whose message and attributes follow
// taldo's rules: the message is "<msg> at line L column C" (its only
// argument), `doc` is the document as given (bytes for from_json) and the
// line and column count as the message does. json's own __init__ (which
// formats json's message and counts lines in a str) and __reduce__ (which
// rebuilds through that __init__) are replaced.

// The attributes json.JSONDecodeError documents, in this order.
constexpr const char* FIELD_NAMES[] = {"msg", "doc", "pos", "lineno", "colno"};

// Sets the attributes json.JSONDecodeError documents.
bool set_fields(PyObject* self, PyObject* msg, PyObject* doc, PyObject* pos, LinePosition position) {
    PyRef lineno(PyLong_FromUnsignedLongLong(position.line));
    PyRef colno(lineno ? PyLong_FromUnsignedLongLong(position.column) : nullptr);
    if (!colno) {
        return false;
    }
    PyObject* const values[] = {msg, doc, pos, lineno.get(), colno.get()};
    for (size_t i = 0; i < std::size(values); ++i) {
        if (PyObject_SetAttrString(self, FIELD_NAMES[i], values[i]) != 0) {
            return false;
        }
    }
    return true;
}

PyObject* compose_message(PyObject* msg, LinePosition position) {
    return PyUnicode_FromFormat("%S at line %llu column %llu", msg, static_cast<unsigned long long>(position.line),
                                static_cast<unsigned long long>(position.column));
}

// A new instance of the interpreter's class with its message and
// attributes, made without running __init__ (which would count the lines
// again) and with its dict filled at once: the fewest steps for a parse
// error.
PyObject* new_decode_error(InterpreterState& state, PyObject* message, PyObject* msg, PyObject* doc, uint64_t index,
                           LinePosition position) {
    PyRef args(PyTuple_Pack(1, message));
    if (!args) {
        return nullptr;
    }
    auto* type = reinterpret_cast<PyTypeObject*>(state.json_decode_error_type);
    PyRef self(type->tp_new(type, args.get(), nullptr));
    PyRef dict(self ? PyDict_New() : nullptr);
    if (!dict) {
        return nullptr;
    }
    PyRef pos(PyLong_FromUnsignedLongLong(index));
    PyRef lineno(pos ? PyLong_FromUnsignedLongLong(position.line) : nullptr);
    PyRef colno(lineno ? PyLong_FromUnsignedLongLong(position.column) : nullptr);
    if (!colno) {
        return nullptr;
    }
    PyObject* const values[] = {msg, doc, pos.get(), lineno.get(), colno.get()};
    for (size_t i = 0; i < std::size(values); ++i) {
        if (PyDict_SetItem(dict.get(), state.json_decode_error_fields[i], values[i]) != 0) {
            return nullptr;
        }
    }
    if (PyObject_GenericSetDict(self.get(), dict.get(), nullptr) != 0) {
        return nullptr;
    }
    return self.release();
}

// The line and column of index `pos` in `doc`, a bytes object (counted in
// bytes) or a str (counted in characters).
bool position_in(PyObject* doc, uint64_t pos, LinePosition& out) {
    if (PyBytes_Check(doc)) {
        out = line_position(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(doc)),
                            static_cast<uint64_t>(PyBytes_GET_SIZE(doc)), pos);
        return true;
    }
    if (PyUnicode_Check(doc)) {
#if PY_VERSION_HEX < 0x030C0000
        if (PyUnicode_READY(doc) < 0) {
            return false;
        }
#endif
        const auto length = static_cast<uint64_t>(PyUnicode_GET_LENGTH(doc));
        const void* units = PyUnicode_DATA(doc);
        switch (PyUnicode_KIND(doc)) {
            case PyUnicode_1BYTE_KIND:
                out = line_position_in_units(static_cast<const Py_UCS1*>(units), length, pos);
                break;
            case PyUnicode_2BYTE_KIND:
                out = line_position_in_units(static_cast<const Py_UCS2*>(units), length, pos);
                break;
            default:
                out = line_position_in_units(static_cast<const Py_UCS4*>(units), length, pos);
                break;
        }
        return true;
    }
    PyErr_Format(PyExc_TypeError, "JSONDecodeError() argument 'doc' must be bytes or str, not %.200s",
                 Py_TYPE(doc)->tp_name);
    return false;
}

// JSONDecodeError(msg, doc, pos): json's signature, taldo's rules.
int decode_error_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"msg", "doc", "pos", nullptr};
    PyObject* msg = nullptr;
    PyObject* doc = nullptr;
    PyObject* pos_argument = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:JSONDecodeError", const_cast<char**>(keywords), &msg, &doc,
                                     &pos_argument)) {
        return -1;
    }
    PyRef pos(PyNumber_Index(pos_argument));
    if (!pos) {
        return -1;
    }
    // An index past the end counts as the end, however large.
    const Py_ssize_t index = PyNumber_AsSsize_t(pos.get(), nullptr);
    if (index < 0) {
        PyErr_SetString(PyExc_ValueError, "JSONDecodeError() argument 'pos' must not be negative");
        return -1;
    }
    LinePosition position{};
    if (!position_in(doc, static_cast<uint64_t>(index), position)) {
        return -1;
    }
    PyRef message(compose_message(msg, position));
    PyRef message_args(message ? PyTuple_Pack(1, message.get()) : nullptr);
    if (!message_args || PyObject_SetAttrString(self, "args", message_args.get()) != 0) {
        return -1;
    }
    return set_fields(self, msg, doc, pos.get(), position) ? 0 : -1;
}

// Rebuilds through __init__ from (msg, doc, pos), then restores the
// instance's dict and its args as they were: attributes set since (notes,
// say) survive, and so does an instance whose line and column were counted
// in other bytes than its doc.
PyObject* decode_error_reduce(PyObject* self, PyObject* /*unused*/) {
    PyRef msg(PyObject_GetAttrString(self, "msg"));
    PyRef doc(msg ? PyObject_GetAttrString(self, "doc") : nullptr);
    PyRef pos(doc ? PyObject_GetAttrString(self, "pos") : nullptr);
    PyRef args(pos ? PyObject_GetAttrString(self, "args") : nullptr);
    PyRef dict(args ? PyObject_GetAttrString(self, "__dict__") : nullptr);
    if (!dict) {
        return nullptr;
    }
    PyRef state(PyDict_Copy(dict.get()));
    if (!state || PyDict_SetItemString(state.get(), "args", args.get()) != 0) {
        return nullptr;
    }
    return Py_BuildValue("(O(OOO)O)", reinterpret_cast<PyObject*>(Py_TYPE(self)), msg.get(), doc.get(), pos.get(),
                         state.get());
}

PyMethodDef DECODE_ERROR_METHODS[] = {
    {"__reduce__", decode_error_reduce, METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot DECODE_ERROR_SLOTS[] = {
    {Py_tp_doc,
     const_cast<char*>("JSONDecodeError(msg, doc, pos)\n--\n\n"
                       "A malformed JSON document: what taldo raises when a document (or the text given to "
                       "LosslessFloat) is not valid JSON. A subclass of json.JSONDecodeError, and so of "
                       "ValueError.\n\n"
                       "Its message, str() of it and its only argument, is \"<msg> at line <lineno> column "
                       "<colno>\". Attributes:\n\n"
                       "msg -- the fault, without its position\n"
                       "doc -- the document as given: the bytes object passed to from_json (not a copy)\n"
                       "pos -- the index of the fault in doc, in bytes\n"
                       "lineno, colno -- the line and column of the fault. Lines end only at a line feed; "
                       "columns count bytes from 1. A fault on a line feed is at column 0 of the next line; "
                       "one at the end of doc is at the column of its last byte (0 when doc is empty or "
                       "ends with a line feed).\n\n"
                       "JSONDecodeError(msg, doc, pos) makes one by the same rules from a bytes doc, or from "
                       "a str doc, in which pos and the columns count characters instead of bytes. pos must "
                       "not be negative; an index past the end counts as the end. Pickles and copies keep "
                       "the message and every attribute.")},
    {Py_tp_init, reinterpret_cast<void*>(decode_error_init)},
    {Py_tp_methods, DECODE_ERROR_METHODS},
    {0, nullptr},
};

PyType_Spec DECODE_ERROR_SPEC = {
    "taldo.JSONDecodeError",
    0,  // the base's size: the attributes live in the instance dict
    0,
    // Not immutable: its base, a class written in Python, is not, and an
    // immutable class of a mutable base is refused from Python 3.14 on.
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    DECODE_ERROR_SLOTS,
};

PyObject* make_json_decode_error_type() {
    PyRef module(PyImport_ImportModule("json.decoder"));
    PyRef base(module ? PyObject_GetAttrString(module.get(), "JSONDecodeError") : nullptr);
    if (!base) {
        return nullptr;
    }
    if (!PyType_Check(base.get()) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(base.get()),
                                                       reinterpret_cast<PyTypeObject*>(PyExc_ValueError))) {
        PyErr_SetString(PyExc_TypeError, "json.decoder.JSONDecodeError is not a subclass of ValueError");
        return nullptr;
    }
    PyRef bases(PyTuple_Pack(1, base.get()));
    return bases ? PyType_FromSpecWithBases(&DECODE_ERROR_SPEC, bases.get()) : nullptr;
}

}  // namespace

// The import runs Python code, which may let another thread in to make the
// class too: whichever is made first is kept, and a later one is dropped.
PyObject* json_decode_error_type(InterpreterState& state) {
    if (state.json_decode_error_type != nullptr) {
        return state.json_decode_error_type;
    }
    PyRef made(make_json_decode_error_type());
    if (!made) {
        return nullptr;
    }
    PyRef names[std::size(FIELD_NAMES)];
    for (size_t i = 0; i < std::size(FIELD_NAMES); ++i) {
        names[i] = PyRef(PyUnicode_InternFromString(FIELD_NAMES[i]));
        if (!names[i]) {
            return nullptr;
        }
    }
    if (state.json_decode_error_type == nullptr) {
        state.json_decode_error_type = made.release();
        for (size_t i = 0; i < std::size(FIELD_NAMES); ++i) {
            state.json_decode_error_fields[i] = names[i].release();
        }
    }
    return state.json_decode_error_type;
}

PyObject* make_internal_fault_type() {
    // It derives from BaseException directly, so that `except Exception` does
    // not swallow it.
    return PyErr_NewExceptionWithDoc("taldo.InternalFault",
                                     "A broken invariant inside taldo ended the call: an object that could not "
                                     "be made, an operation of the interpreter that failed. Derived directly "
                                     "from BaseException, so that `except Exception` does not catch it.",
                                     PyExc_BaseException, nullptr);
}

void raise_internal_fault(InterpreterState& state, std::string_view text) {
    PyRef message(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (message) {
        PyErr_SetObject(state.internal_fault_type, message.get());
    }
}

void raise_parse_error(InterpreterState& state, const ParseError& error, LinePosition position, PyObject* doc) {
    if (error.is_python_exception()) {
        return;  // pending since the walk met it
    }
    if (error.is_fatal()) {
        raise_internal_fault(state, error.text());
        return;
    }
    PyObject* type = json_decode_error_type(state);
    if (type == nullptr) {
        return;
    }
    TextBuffer text;
    kind_text(error, text);
    const size_t fault_size = text.view().size();
    text.append(" at line ");
    text.append_decimal(position.line);
    text.append(" column ");
    text.append_decimal(position.column);
    if (!text.ok()) {
        PyErr_NoMemory();
        return;
    }
    PyRef message(PyUnicode_DecodeUTF8(text.view().data(), static_cast<Py_ssize_t>(text.view().size()), "replace"));
    PyRef msg(message ? PyUnicode_DecodeUTF8(text.view().data(), static_cast<Py_ssize_t>(fault_size), "replace")
                      : nullptr);
    if (!msg) {
        return;
    }
    PyRef exception(new_decode_error(state, message.get(), msg.get(), doc, error.index(), position));
    if (exception) {
        PyErr_SetObject(type, exception.get());
    }
}

void raise_parse_error(InterpreterState& state, const ParseError& error, const uint8_t* data, uint64_t len,
                       PyObject* doc) {
    PyRef made_doc;
    if (doc == nullptr && !error.is_python_exception() && !error.is_fatal()) {
        made_doc = PyRef(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(len)));
        if (!made_doc) {
            return;
        }
        doc = made_doc.get();
    }
    raise_parse_error(state, error, line_position(data, len, error.index()), doc);
}

}  // namespace taldo
