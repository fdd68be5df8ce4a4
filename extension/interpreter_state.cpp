#include "interpreter_state.hpp"

#include <cstdlib>
#include <new>

#include "exceptions.hpp"
#include "lossless_float.hpp"
#include "py_ref.hpp"

namespace taldo {
namespace {

// The capsule's name, and the key under which the interpreter's dict keeps
// it.
constexpr const char* STATE_NAME = "taldo.interpreter_state";

void delete_state(InterpreterState* state) {
    state->~InterpreterState();
    std::free(state);
}

void destroy_state(PyObject* capsule) {
    delete_state(static_cast<InterpreterState*>(PyCapsule_GetPointer(capsule, STATE_NAME)));
}

// The interpreter's dict for extension modules (borrowed), or nullptr with
// an exception set.
PyObject* interpreter_dict() {
    PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (dict == nullptr && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_RuntimeError, "the interpreter has no dict for extension modules");
    }
    return dict;
}

}  // namespace

PyObject* new_interpreter_state_capsule() {
    // Not operator new: even its nothrow form throws and catches inside.
    void* block = std::malloc(sizeof(InterpreterState));
    if (block == nullptr) {
        return PyErr_NoMemory();
    }
    auto* state = new (block) InterpreterState();
    PyRef capsule(PyCapsule_New(state, STATE_NAME, destroy_state));
    if (!capsule) {
        delete_state(state);
        return nullptr;
    }
    // From here on the capsule deletes the state.
    state->lossless_float_type = make_lossless_float_type();
    if (state->lossless_float_type == nullptr) {
        return nullptr;
    }
    state->internal_fault_type = make_internal_fault_type();
    if (state->internal_fault_type == nullptr) {
        return nullptr;
    }
    return capsule.release();
}

namespace {

PyObject* checked_capsule(PyObject* capsule) {
    if (!PyCapsule_IsValid(capsule, STATE_NAME)) {
        PyErr_Format(PyExc_RuntimeError, "the interpreter's '%s' is not taldo's state", STATE_NAME);
        return nullptr;
    }
    Py_INCREF(capsule);
    return capsule;
}

}  // namespace

InterpreterState::~InterpreterState() {
    Py_XDECREF(lossless_float_type);
    Py_XDECREF(internal_fault_type);
    Py_XDECREF(json_decode_error_type);
    for (PyObject* name : json_decode_error_fields) {
        Py_XDECREF(name);
    }
    Py_XDECREF(decimal_type);
    Py_XDECREF(stream_decoder_type);
    Py_XDECREF(stream_pending);
}

PyObject* interpreter_state_capsule() {
    PyObject* dict = interpreter_dict();
    if (dict == nullptr) {
        return nullptr;
    }
    PyRef key(PyUnicode_InternFromString(STATE_NAME));
    if (!key) {
        return nullptr;
    }
    if (PyObject* stored = PyDict_GetItemWithError(dict, key.get())) {
        return checked_capsule(stored);
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }
    PyRef made(new_interpreter_state_capsule());
    if (!made) {
        return nullptr;
    }
    // Making the classes may run a collection, and with it another thread
    // that imports taldo too: the first state stored is the one every module
    // object of the interpreter shares.
    PyObject* stored = PyDict_SetDefault(dict, key.get(), made.get());
    return stored != nullptr ? checked_capsule(stored) : nullptr;
}

InterpreterState* state_of_capsule(PyObject* capsule) {
    return static_cast<InterpreterState*>(PyCapsule_GetPointer(capsule, STATE_NAME));
}

PyObject* find_interpreter_state_capsule() {
    PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
    PyObject* stored = dict != nullptr ? PyDict_GetItemString(dict, STATE_NAME) : nullptr;
    if (stored == nullptr || !PyCapsule_IsValid(stored, STATE_NAME)) {
        return nullptr;
    }
    Py_INCREF(stored);
    return stored;
}

}  // namespace taldo
