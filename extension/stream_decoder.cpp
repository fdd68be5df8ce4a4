// The Python side of the stream decoder: options, the busy and closed states,
// the collector, and the exceptions.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <new>

#include <structmember.h>

#include "arguments.hpp"
#include "exceptions.hpp"
#include "interpreter_state.hpp"
#include "native_memory.hpp"
#include "py_ref.hpp"
#include "stream_decoder.hpp"
#include "stream_decoder_type.hpp"

namespace taldo {
namespace {

enum class Status : uint8_t { Open, Failed, Closed };

struct DecoderObject {
    PyObject_HEAD
    // Keeps the interpreter's state (and its pool) alive for the decoder.
    PyObject* capsule;
    InterpreterState* interpreter;
    StreamDecoder* core;
    Status status;
    // A feed() or close() is running. A Decimal made in decimal mode runs
    // Python code, which may switch threads or call the decoder again.
    bool busy;
    PyObject* weak_references;
};

DecoderObject* as_decoder(PyObject* self) { return reinterpret_cast<DecoderObject*>(self); }

PyObject* decoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"allow_inf_nan", "cache_mode", "partial_mode", "catch_duplicate_keys",
                                     "float_mode", nullptr};
    CallArguments call;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$OOOOO:StreamDecoder", const_cast<char**>(keywords),
                                     &call.allow_inf_nan, &call.cache_mode, &call.partial_mode,
                                     &call.catch_duplicate_keys, &call.float_mode)) {
        return nullptr;
    }
    BuildOptions options;
    if (!convert_stream_options(call, options)) {
        return nullptr;
    }
    PyRef capsule(interpreter_state_capsule());
    if (!capsule) {
        return nullptr;
    }
    PyRef self(type->tp_alloc(type, 0));
    if (!self) {
        return nullptr;
    }
    DecoderObject* decoder = as_decoder(self.get());
    decoder->interpreter = state_of_capsule(capsule.get());
    void* block = native_malloc(sizeof(StreamDecoder));
    if (block == nullptr) {
        return PyErr_NoMemory();
    }
    decoder->core = new (block) StreamDecoder(options, *decoder->interpreter, decoder->interpreter->pool);
    decoder->capsule = capsule.release();
    decoder->status = Status::Open;
    decoder->busy = false;
    return self.release();
}

int decoder_traverse(PyObject* self, visitproc visit, void* arg) {
    DecoderObject* decoder = as_decoder(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(decoder->capsule);
    return decoder->core != nullptr ? decoder->core->traverse(visit, arg) : 0;
}

int decoder_clear(PyObject* self) {
    DecoderObject* decoder = as_decoder(self);
    if (decoder->core != nullptr) {
        decoder->core->clear();
        decoder->status = Status::Closed;
    }
    return 0;
}

void decoder_dealloc(PyObject* self) {
    DecoderObject* decoder = as_decoder(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (decoder->weak_references != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    if (decoder->core != nullptr) {
        decoder->core->~StreamDecoder();
        native_free(decoder->core);
        decoder->core = nullptr;
    }
    Py_CLEAR(decoder->capsule);
    type->tp_free(self);
    Py_DECREF(type);
}

// Whether the decoder may take a call now; raises ValueError when not.
bool usable(DecoderObject* decoder, const char* method) {
    if (decoder->busy) {
        PyErr_Format(PyExc_ValueError, "StreamDecoder.%s() called while another call on the decoder is running",
                     method);
        return false;
    }
    if (decoder->core == nullptr || decoder->status == Status::Closed) {
        PyErr_Format(PyExc_ValueError, "StreamDecoder.%s() called on a decoder that is closed", method);
        return false;
    }
    if (decoder->status == Status::Failed) {
        PyErr_Format(PyExc_ValueError, "StreamDecoder.%s() called on a decoder that failed earlier", method);
        return false;
    }
    return true;
}

// `doc` is what a parse error keeps as its doc: the chunk being fed (its
// position counts over the whole stream), or empty bytes for close().
PyObject* outcome_object(DecoderObject* decoder, StreamDecoder::Outcome outcome, PyObject* value, PyObject* doc) {
    switch (outcome) {
        case StreamDecoder::Outcome::Value:
            return value;
        case StreamDecoder::Outcome::Pending:
            Py_INCREF(decoder->interpreter->stream_pending);
            return decoder->interpreter->stream_pending;
        case StreamDecoder::Outcome::Failed:
            break;
    }
    decoder->status = Status::Failed;
    raise_parse_error(*decoder->interpreter, decoder->core->error(), decoder->core->error_position(), doc);
    return nullptr;
}

PyObject* decoder_feed(PyObject* self, PyObject* chunk) {
    DecoderObject* decoder = as_decoder(self);
    if (!usable(decoder, "feed")) {
        return nullptr;
    }
    if (!PyBytes_Check(chunk)) {
        PyRef qualname(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(chunk)), "__qualname__"));
        if (qualname) {
            PyErr_Format(PyExc_TypeError, "'%S' object is not an instance of 'bytes'", qualname.get());
        }
        return nullptr;
    }
    PyRef held = PyRef::borrow(chunk);
    decoder->busy = true;
    PyObject* value = nullptr;
    const StreamDecoder::Outcome outcome =
        decoder->core->feed(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(chunk)),
                            static_cast<uint64_t>(PyBytes_GET_SIZE(chunk)), value);
    decoder->busy = false;
    return outcome_object(decoder, outcome, value, chunk);
}

PyObject* decoder_close(PyObject* self, PyObject* /*unused*/) {
    DecoderObject* decoder = as_decoder(self);
    if (!usable(decoder, "close")) {
        return nullptr;
    }
    decoder->busy = true;
    PyObject* value = nullptr;
    const StreamDecoder::Outcome outcome = decoder->core->close(value);
    decoder->busy = false;
    PyObject* result = nullptr;
    if (outcome == StreamDecoder::Outcome::Failed) {
        PyRef empty(PyBytes_FromStringAndSize(nullptr, 0));
        result = empty ? outcome_object(decoder, outcome, value, empty.get()) : nullptr;
    } else {
        result = outcome_object(decoder, outcome, value, nullptr);
    }
    decoder->status = Status::Closed;  // whatever the outcome
    return result;
}

PyMethodDef DECODER_METHODS[] = {
    {"feed", decoder_feed, METH_O,
     "feed($self, chunk, /)\n--\n\n"
     "Takes the next bytes of the stream and returns the current value: what\n"
     "from_json(<every byte fed so far>, partial_mode=<mode>, <the same options>)\n"
     "returns, or StreamDecoder.PENDING where that call fails only because the\n"
     "input ends too early (nothing but whitespace yet, a cut top-level literal,\n"
     "number or string). Any other fault raises the exception from_json raises."},
    {"close", decoder_close, METH_NOARGS,
     "close($self, /)\n--\n\n"
     "Ends the stream and returns the final value under the strict rules: what\n"
     "from_json(<every byte fed>) returns with partial_mode off, raising as it\n"
     "would for an incomplete document or anything but whitespace after it."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef DECODER_MEMBERS[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(DecoderObject, weak_references), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot DECODER_SLOTS[] = {
    {Py_tp_members, DECODER_MEMBERS},
    {Py_tp_doc, const_cast<char*>(
                    "StreamDecoder(*, allow_inf_nan=True, cache_mode=..., partial_mode='on', "
                    "catch_duplicate_keys=False, float_mode=...)\n--\n\n"
                    "Decodes one JSON document that arrives in pieces, each piece costing in\n"
                    "proportion to its own length. The options are from_json's; partial_mode\n"
                    "is 'on' (True) or 'trailing-strings'.\n\n"
                    "The lists and dicts that feed() returns are live: later feeds extend the\n"
                    "same objects, and a number or trailing string cut at the end of a piece\n"
                    "is replaced as it grows, or taken out again (with the member it displaced\n"
                    "put back) when the partial rules drop it. Take copy.deepcopy() of a value\n"
                    "to keep a snapshot. After close(), or after a call has raised, the decoder\n"
                    "takes no more calls.")},
    {Py_tp_new, reinterpret_cast<void*>(decoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(decoder_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(decoder_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(decoder_clear)},
    {Py_tp_methods, DECODER_METHODS},
    {0, nullptr},
};

PyType_Spec DECODER_SPEC = {
    "taldo.StreamDecoder",
    sizeof(DecoderObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    DECODER_SLOTS,
};

PyObject* pending_repr(PyObject* /*self*/) { return PyUnicode_FromString("taldo.StreamDecoder.PENDING"); }

// PENDING is one object: copies are itself, and a pickle names it.
PyObject* pending_self(PyObject* self, PyObject* /*unused*/) {
    Py_INCREF(self);
    return self;
}

PyObject* pending_reduce(PyObject* /*self*/, PyObject* /*unused*/) {
    PyRef capsule(find_interpreter_state_capsule());
    PyObject* type = capsule ? state_of_capsule(capsule.get())->stream_decoder_type : nullptr;
    if (type == nullptr) {
        PyErr_SetString(PyExc_TypeError, "taldo is not imported in this interpreter");
        return nullptr;
    }
    PyRef builtins(PyImport_ImportModule("builtins"));
    PyRef getattr_function(builtins ? PyObject_GetAttrString(builtins.get(), "getattr") : nullptr);
    if (!getattr_function) {
        return nullptr;
    }
    return Py_BuildValue("(O(Os))", getattr_function.get(), type, "PENDING");
}

PyMethodDef PENDING_METHODS[] = {
    {"__copy__", pending_self, METH_NOARGS, nullptr},
    {"__deepcopy__", pending_self, METH_O, nullptr},
    {"__reduce__", pending_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot PENDING_SLOTS[] = {
    {Py_tp_repr, reinterpret_cast<void*>(pending_repr)},
    {Py_tp_methods, PENDING_METHODS},
    {0, nullptr},
};

// The one PENDING object is made here; its class makes no more.
PyType_Spec PENDING_SPEC = {
    "taldo.StreamDecoderPending",
    sizeof(PyObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    PENDING_SLOTS,
};

}  // namespace

bool make_stream_decoder_type(InterpreterState& state) {
    PyRef type(PyType_FromSpec(&DECODER_SPEC));
    if (!type) {
        return false;
    }
    PyRef pending_type(PyType_FromSpec(&PENDING_SPEC));
    if (!pending_type) {
        return false;
    }
    auto* pending_class = reinterpret_cast<PyTypeObject*>(pending_type.get());
    PyRef pending(pending_class->tp_alloc(pending_class, 0));
    if (!pending || PyObject_SetAttrString(type.get(), "PENDING", pending.get()) != 0) {
        return false;
    }
    state.stream_decoder_type = type.release();
    state.stream_pending = pending.release();
    return true;
}

}  // namespace taldo
