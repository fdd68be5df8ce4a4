// The module `taldo`: initialisation, from_json with its arguments and options,
// and the members made on first need.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstring>
#include <string_view>

#include "arguments.hpp"
#include "compiler.hpp"
#include "exceptions.hpp"
#include "interpreter_state.hpp"
#include "lossless_float.hpp"
#include "python.hpp"
#include "stream_decoder_type.hpp"
#include "string_cache.hpp"

#ifndef TALDO_VERSION
#error "TALDO_VERSION must be defined by the build"
#endif

namespace taldo {
namespace {

// --- module state ------------------------------------------------------------

// Every module object of an interpreter points at that interpreter's state
// and holds the capsule that keeps it, so that the state outlives each of
// them.
struct ModuleState {
    InterpreterState* interpreter;
    PyObject* capsule;
};

ModuleState* module_state(PyObject* module) { return static_cast<ModuleState*>(PyModule_GetState(module)); }

#if PY_VERSION_HEX < 0x030E0000
// The head of a module object in every version this was written against;
// from_json reads its state from here, without the call and the type test of
// PyModule_GetState (its self is always this module).
struct ModuleObjectHead {
    PyObject_HEAD
    PyObject* md_dict;
    PyModuleDef* md_def;
    void* md_state;
};
#endif

// The state of the module that from_json is bound to.
TALDO_ALWAYS_INLINE InterpreterState* interpreter_of(PyObject* module) {
#if PY_VERSION_HEX < 0x030E0000
    return static_cast<ModuleState*>(reinterpret_cast<ModuleObjectHead*>(module)->md_state)->interpreter;
#else
    return module_state(module)->interpreter;
#endif
}

void free_module(void* module) {
    if (ModuleState* state = module_state(static_cast<PyObject*>(module))) {
        Py_CLEAR(state->capsule);
        state->interpreter = nullptr;
    }
}

// --- from_json ---------------------------------------------------------------

// Below this size a document makes too few containers for a collection during
// the walk to cost more than pausing the collector does.
constexpr uint64_t COLLECTOR_PAUSE_MIN_SIZE = 4096;

// Parses the bytes with options already checked, for a module object of the
// calling interpreter.
TALDO_ALWAYS_INLINE PyObject* parse(PyObject* module, PyObject* json_data, const BuildOptions& options) {
    InterpreterState* interpreter = interpreter_of(module);
    const auto* data = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(json_data));
    const auto len = static_cast<uint64_t>(PyBytes_GET_SIZE(json_data));

    ValueBuilder builder(data, len, *interpreter, interpreter->pool);
    builder.allow_inf_nan = options.allow_inf_nan;
    builder.partial_mode = options.partial_mode;

    BuildDocument build = select_builder(options.cache_mode, options.catch_duplicate_keys, options.float_mode);
    // The walk makes many containers and frees none, so the cyclic collector
    // would only traverse the growing tree again and again; it waits until
    // a large document is built.
    builder.collector_paused = len >= COLLECTOR_PAUSE_MIN_SIZE && PyGC_Disable() != 0;
    PyObject* value = build(builder);
    if (builder.collector_paused) {
        PyGC_Enable();
    }

    builder.finish();

    if (value != nullptr) [[likely]] {
        return value;
    }
    raise_parse_error(*interpreter, builder.error, data, len, json_data);
    return nullptr;
}

// A call with keywords or with something other than one bytes object.
TALDO_NOINLINE PyObject* from_json_with_options(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                                PyObject* kwnames) {
    CallArguments call;
    if (!bind_arguments(args, nargs, kwnames, call)) {
        return nullptr;
    }
    BuildOptions options;
    if (!check_json_data(call.json_data) || !convert_options(call, options)) {
        return nullptr;
    }
    return parse(module, call.json_data, options);
}

PyObject* from_json(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    // The plain call, from_json(data), binds and converts nothing, and its
    // builder is known when this is compiled.
    if (kwnames == nullptr && PyVectorcall_NARGS(nargsf) == 1 && PyBytes_Check(args[0])) [[likely]] {
        return parse(module, args[0], BuildOptions{});
    }
    return from_json_with_options(module, args, PyVectorcall_NARGS(nargsf), kwnames);
}

// The function object's own entry: the interpreter calls it directly, without
// the generic built-in function trampoline (which only adds a recursion
// check, and from_json calls back into Python only through calls that make
// their own).
PyObject* from_json_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject* module = reinterpret_cast<PyCFunctionObject*>(callable)->m_self;
    return from_json(module, args, static_cast<Py_ssize_t>(nargsf), kwnames);
}

PyObject* cache_clear_function(PyObject* module, PyObject* /*unused*/) {
    module_state(module)->interpreter->pool.clear();
    Py_RETURN_NONE;
}

PyObject* cache_usage_function(PyObject* module, PyObject* /*unused*/) {
    return PyLong_FromUnsignedLongLong(module_state(module)->interpreter->pool.usage());
}

// --- members made on first need ------------------------------------------------

// The module's __getattr__, asked only for names its dict lacks: makes
// JSONDecodeError, whose base class needs json imported, and stores it so
// that later look-ups find it directly.
PyObject* module_getattr(PyObject* module, PyObject* name) {
    if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "JSONDecodeError") == 0) {
        PyObject* type = json_decode_error_type(*module_state(module)->interpreter);
        if (type == nullptr || PyObject_SetAttr(module, name, type) != 0) {
            return nullptr;
        }
        return Py_NewRef(type);
    }
    PyRef module_name(PyModule_GetNameObject(module));
    if (module_name) {
        PyErr_Format(PyExc_AttributeError, "module '%U' has no attribute '%S'", module_name.get(), name);
    }
    return nullptr;
}

// The module's __dir__: its dict's names and the ones __getattr__ makes.
PyObject* module_dir(PyObject* module, PyObject* /*unused*/) {
    PyRef names(PyDict_Keys(PyModule_GetDict(module)));
    if (!names) {
        return nullptr;
    }
    PyRef lazy(PyUnicode_FromString("JSONDecodeError"));
    if (!lazy) {
        return nullptr;
    }
    const int present = PySequence_Contains(names.get(), lazy.get());
    if (present < 0 || (present == 0 && PyList_Append(names.get(), lazy.get()) != 0)) {
        return nullptr;
    }
    return names.release();
}

// Each doc text is a signature only: the interpreter derives
// __text_signature__ from it and __doc__ is None.
PyMethodDef FROM_JSON_DEF = {
    "from_json", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(from_json)),
    METH_FASTCALL | METH_KEYWORDS,
    "from_json(json_data, /, *, allow_inf_nan=True, cache_mode=..., partial_mode=..., "
    "catch_duplicate_keys=False, float_mode=...)\n--\n\n"};
PyMethodDef CACHE_CLEAR_DEF = {"cache_clear", cache_clear_function, METH_NOARGS, "cache_clear()\n--\n\n"};
PyMethodDef CACHE_USAGE_DEF = {"cache_usage", cache_usage_function, METH_NOARGS, "cache_usage()\n--\n\n"};
PyMethodDef GETATTR_DEF = {"__getattr__", module_getattr, METH_O, "__getattr__($module, name, /)\n--\n\n"};
PyMethodDef DIR_DEF = {"__dir__", module_dir, METH_NOARGS, "__dir__($module, /)\n--\n\n"};

// --- initialisation ----------------------------------------------------------

// Writes `text` to `out` with every `from` replaced by `to`; returns the
// length written, which is at most the text's.
size_t replace_all(std::string_view text, std::string_view from, char to, char* out) {
    size_t n = 0;
    while (!text.empty()) {
        if (text.starts_with(from)) {
            out[n++] = to;
            text.remove_prefix(from.size());
        } else {
            out[n++] = text.front();
            text.remove_prefix(1);
        }
    }
    return n;
}

// The package version with pre-release spellings shortened ("-alpha" to "a",
// "-beta" to "b").
PyObject* version_object() {
    static constexpr std::string_view version = TALDO_VERSION;
    char shortened[version.size() + 1];
    char text[version.size() + 1];
    const size_t n = replace_all(version, "-alpha", 'a', shortened);
    const size_t length = replace_all(std::string_view(shortened, n), "-beta", 'b', text);
    return PyUnicode_FromStringAndSize(text, static_cast<Py_ssize_t>(length));
}

// Appends `name` to the module's __all__ (made on first use) and sets the
// attribute. Takes the reference to `value`.
bool add_member(PyObject* module, const char* name, PyObject* value) {
    PyRef owned(value);
    if (value == nullptr) {
        return false;
    }
    PyRef all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return false;
        }
        PyErr_Clear();
        all = PyRef(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) {
            return false;
        }
    }
    PyRef name_object(PyUnicode_FromString(name));
    if (!name_object || PyList_Append(all.get(), name_object.get()) != 0) {
        return false;
    }
    return PyObject_SetAttr(module, name_object.get(), value) == 0;
}

// A built-in function bound to the module: its __self__ is the module and its
// __module__ the module's name.
PyObject* module_function(PyMethodDef* def, PyObject* module) {
    PyRef name(PyModule_GetNameObject(module));
    if (!name) {
        return nullptr;
    }
    return PyCMethod_New(def, module, name.get(), nullptr);
}

// Sets the attribute without listing it in __all__. Takes the reference to
// `value`.
bool add_unlisted_member(PyObject* module, const char* name, PyObject* value) {
    PyRef owned(value);
    return value != nullptr && PyObject_SetAttrString(module, name, value) == 0;
}

PyObject* new_reference(PyObject* object) {
    Py_XINCREF(object);
    return object;
}

int exec_module(PyObject* module) {
    if (!PyModule_Check(module)) {
        PyRef qualname(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(module)), "__qualname__"));
        if (qualname) {
            PyErr_Format(PyExc_TypeError, "'%S' object is not an instance of 'module'", qualname.get());
        }
        return -1;
    }
    PyObject* capsule = interpreter_state_capsule();
    if (capsule == nullptr) {
        return -1;
    }
    ModuleState* state = module_state(module);
#if PY_VERSION_HEX < 0x030E0000
    if (reinterpret_cast<ModuleObjectHead*>(module)->md_state != state) {
        Py_DECREF(capsule);
        PyErr_SetString(PyExc_SystemError, "taldo does not know this interpreter's module objects");
        return -1;
    }
#endif
    Py_XSETREF(state->capsule, capsule);
    state->interpreter = state_of_capsule(capsule);
    PyObject* from_json_object = module_function(&FROM_JSON_DEF, module);
#if PY_VERSION_HEX < 0x030E0000
    // Every version this was written against keeps the entry in this field
    // of the built-in function object; a newer one keeps the trampoline.
    if (from_json_object != nullptr) {
        reinterpret_cast<PyCFunctionObject*>(from_json_object)->vectorcall = from_json_vectorcall;
    }
#endif
    bool added =
        add_member(module, "from_json", from_json_object) &&
        add_member(module, "cache_clear", module_function(&CACHE_CLEAR_DEF, module)) &&
        add_member(module, "cache_usage", module_function(&CACHE_USAGE_DEF, module)) &&
        add_member(module, "__version__", version_object()) &&
        add_member(module, "LosslessFloat", new_reference(state->interpreter->lossless_float_type));
    if (!added) {
        return -1;
    }
    if (state->interpreter->stream_decoder_type == nullptr && !make_stream_decoder_type(*state->interpreter)) {
        return -1;
    }
    // Beside the five names of __all__: the stream decoder and the exception
    // classes, of which JSONDecodeError is made on first need (importing json
    // costs more than importing taldo).
    added = add_unlisted_member(module, "StreamDecoder", new_reference(state->interpreter->stream_decoder_type)) &&
            add_unlisted_member(module, "InternalFault", new_reference(state->interpreter->internal_fault_type)) &&
            add_unlisted_member(module, "__getattr__", module_function(&GETATTR_DEF, module)) &&
            add_unlisted_member(module, "__dir__", module_function(&DIR_DEF, module));
    return added ? 0 : -1;
}

PyModuleDef_Slot MODULE_SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    // Every object that outlives a call belongs to one interpreter, and what
    // the whole process shares (the hash seed) is reached atomically.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT, "taldo", "", sizeof(ModuleState), nullptr, MODULE_SLOTS, nullptr, nullptr, free_module,
};

}  // namespace
}  // namespace taldo

PyMODINIT_FUNC PyInit_taldo() { return PyModuleDef_Init(&taldo::MODULE_DEF); }
