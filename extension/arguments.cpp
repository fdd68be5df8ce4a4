#include "arguments.hpp"

#include <cstring>
#include <string_view>

#include "py_ref.hpp"

namespace taldo {
namespace {

// Offers the pending exception the note "while processing 'NAME'". Where
// exceptions have no add_note (Python 3.10) the exception stays as it is.
void note_argument(const char* name) {
    PyObject* exception = fetch_exception();
    if (exception == nullptr) {
        return;
    }
    PyRef note(PyUnicode_FromFormat("while processing '%s'", name));
    PyRef added(note ? PyObject_CallMethod(exception, "add_note", "O", note.get()) : nullptr);
    if (!added) {
        PyErr_Clear();
    }
    restore_exception(exception);
}

// Formatted with %S: a metaclass can make __qualname__ any object, not only a
// str.
PyRef qualified_type_name(PyObject* object) {
    return PyRef(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
}

// "'T' object is not an instance of 'X'", or "'None' is not an instance of
// 'X'", with the argument's note.
void raise_wrong_type(PyObject* value, const char* expected, const char* name) {
    if (value == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
    } else if (PyRef qualname = qualified_type_name(value)) {
        PyErr_Format(PyExc_TypeError, "'%S' object is not an instance of '%s'", qualname.get(), expected);
    }
    note_argument(name);
}

void raise_for_option(PyObject* type, const char* message, const char* name) {
    PyErr_SetString(type, message);
    note_argument(name);
}

bool attribute_equals(PyObject* object, const char* attribute, const char* text) {
    PyRef value(PyObject_GetAttrString(object, attribute));
    if (!value) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_Check(value.get()) && PyUnicode_CompareWithASCIIString(value.get(), text) == 0;
}

// NumPy's boolean scalars, recognised by their type's module and name so that
// NumPy need not be imported.
bool is_numpy_bool(PyObject* value) {
    auto* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    return attribute_equals(type, "__module__", "numpy") &&
           (attribute_equals(type, "__name__", "bool_") || attribute_equals(type, "__name__", "bool"));
}

bool convert_bool(PyObject* value, const char* name, bool& out) {
    if (PyBool_Check(value)) {
        out = value == Py_True;
        return true;
    }
    if (!is_numpy_bool(value)) {
        raise_wrong_type(value, "bool", name);
        return false;
    }
    PyNumberMethods* number = Py_TYPE(value)->tp_as_number;
    if (number == nullptr || number->nb_bool == nullptr) {
        if (PyRef qualname = qualified_type_name(value)) {
            PyErr_Format(PyExc_TypeError, "object of type '%S' does not define a '__bool__' conversion",
                         qualname.get());
        }
        note_argument(name);
        return false;
    }
    const int truth = number->nb_bool(value);
    if (truth < 0) {
        note_argument(name);
        return false;
    }
    out = truth != 0;
    return true;
}

// The text of a str option; false for anything else, including a str that
// cannot be had as UTF-8 (it then counts as a value of another type).
bool option_text(PyObject* value, std::string_view& text) {
    if (!PyUnicode_Check(value)) {
        return false;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return false;
    }
    text = std::string_view(utf8, static_cast<size_t>(size));
    return true;
}

template <class Mode, size_t N>
struct ModeOption {
    const char* name;
    const char* message;
    bool takes_bool;
    Mode if_true;
    Mode if_false;
    std::pair<std::string_view, Mode> texts[N];

    bool convert(PyObject* value, Mode& out) const {
        if (PyBool_Check(value)) {
            if (!takes_bool) {
                raise_for_option(PyExc_TypeError, message, name);
                return false;
            }
            out = value == Py_True ? if_true : if_false;
            return true;
        }
        std::string_view text;
        if (!option_text(value, text)) {
            raise_for_option(PyExc_TypeError, message, name);
            return false;
        }
        for (const auto& [spelling, mode] : texts) {
            if (text == spelling) {
                out = mode;
                return true;
            }
        }
        raise_for_option(PyExc_ValueError, message, name);
        return false;
    }
};

constexpr ModeOption<CacheMode, 3> CACHE_MODE = {
    "cache_mode",
    "Invalid string cache mode, should be `'all'`, '`keys`', `'none`' or a `bool`",
    true,
    CacheMode::All,
    CacheMode::None,
    {{"all", CacheMode::All}, {"keys", CacheMode::Keys}, {"none", CacheMode::None}},
};

constexpr ModeOption<PartialMode, 3> PARTIAL_MODE = {
    "partial_mode",
    "Invalid partial mode, should be `'off'`, `'on'`, `'trailing-strings'` or a `bool`",
    true,
    PartialMode::On,
    PartialMode::Off,
    {{"off", PartialMode::Off}, {"on", PartialMode::On}, {"trailing-strings", PartialMode::TrailingStrings}},
};

constexpr ModeOption<FloatMode, 3> FLOAT_MODE = {
    "float_mode",
    "Invalid float mode, should be `'float'`, `'decimal'` or `'lossless-float'`",
    false,
    FloatMode::Float,
    FloatMode::Float,
    {{"float", FloatMode::Float}, {"decimal", FloatMode::Decimal}, {"lossless-float", FloatMode::LosslessFloat}},
};

// A stream is always read in partial mode: only its two forms are accepted.
constexpr ModeOption<PartialMode, 2> STREAM_PARTIAL_MODE = {
    "partial_mode",
    "Invalid partial mode for a stream, should be `'on'`, `'trailing-strings'` or `True`",
    true,
    PartialMode::On,
    PartialMode::Off,
    {{"on", PartialMode::On}, {"trailing-strings", PartialMode::TrailingStrings}},
};

// The keyword slot for a name, matched by length first; nullptr for
// json_data (positional only) and for unknown names.
PyObject** keyword_slot(std::string_view name, CallArguments& call, bool& is_json_data) {
    switch (name.size()) {
        case 9:
            is_json_data = name == "json_data";
            return nullptr;
        case 10:
            if (name == "cache_mode") return &call.cache_mode;
            if (name == "float_mode") return &call.float_mode;
            return nullptr;
        case 12:
            return name == "partial_mode" ? &call.partial_mode : nullptr;
        case 13:
            return name == "allow_inf_nan" ? &call.allow_inf_nan : nullptr;
        case 20:
            return name == "catch_duplicate_keys" ? &call.catch_duplicate_keys : nullptr;
        default:
            return nullptr;
    }
}

}  // namespace

bool bind_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, CallArguments& call) {
    if (nargs > 1) {
        PyErr_Format(PyExc_TypeError, "from_json() takes 1 positional arguments but %zd were given", nargs);
        return false;
    }
    if (nargs == 1) {
        call.json_data = args[0];
    }
    bool json_data_by_keyword = false;
    const Py_ssize_t count = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, i);
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
        if (utf8 == nullptr) {
            PyErr_Clear();
        }
        bool is_json_data = false;
        PyObject** slot =
            utf8 != nullptr ? keyword_slot(std::string_view(utf8, static_cast<size_t>(size)), call, is_json_data)
                            : nullptr;
        if (is_json_data) {
            json_data_by_keyword = true;
            continue;
        }
        if (slot == nullptr) {
            PyErr_Format(PyExc_TypeError, "from_json() got an unexpected keyword argument '%U'", name);
            return false;
        }
        if (*slot != nullptr) {
            PyErr_Format(PyExc_TypeError, "from_json() got multiple values for argument '%U'", name);
            return false;
        }
        *slot = args[nargs + i];
    }
    if (json_data_by_keyword) {
        PyErr_SetString(PyExc_TypeError,
                        "from_json() got some positional-only arguments passed as keyword arguments: 'json_data'");
        return false;
    }
    if (call.json_data == nullptr) {
        PyErr_SetString(PyExc_TypeError, "from_json() missing 1 required positional argument: 'json_data'");
        return false;
    }
    return true;
}

bool check_json_data(PyObject* json_data) {
    if (PyType_HasFeature(Py_TYPE(json_data), Py_TPFLAGS_BYTES_SUBCLASS)) {
        return true;
    }
    raise_wrong_type(json_data, "bytes", "json_data");
    return false;
}

bool convert_options(const CallArguments& call, BuildOptions& options) {
    return (call.allow_inf_nan == nullptr || convert_bool(call.allow_inf_nan, "allow_inf_nan", options.allow_inf_nan)) &&
           (call.cache_mode == nullptr || CACHE_MODE.convert(call.cache_mode, options.cache_mode)) &&
           (call.partial_mode == nullptr || PARTIAL_MODE.convert(call.partial_mode, options.partial_mode)) &&
           (call.catch_duplicate_keys == nullptr ||
            convert_bool(call.catch_duplicate_keys, "catch_duplicate_keys", options.catch_duplicate_keys)) &&
           (call.float_mode == nullptr || FLOAT_MODE.convert(call.float_mode, options.float_mode));
}

bool convert_stream_options(const CallArguments& call, BuildOptions& options) {
    options.partial_mode = PartialMode::On;
    if (!(call.allow_inf_nan == nullptr || convert_bool(call.allow_inf_nan, "allow_inf_nan", options.allow_inf_nan)) ||
        !(call.cache_mode == nullptr || CACHE_MODE.convert(call.cache_mode, options.cache_mode))) {
        return false;
    }
    if (call.partial_mode != nullptr) {
        if (!STREAM_PARTIAL_MODE.convert(call.partial_mode, options.partial_mode)) {
            return false;
        }
        if (options.partial_mode == PartialMode::Off) {
            raise_for_option(PyExc_ValueError, STREAM_PARTIAL_MODE.message, STREAM_PARTIAL_MODE.name);
            return false;
        }
    }
    return (call.catch_duplicate_keys == nullptr ||
            convert_bool(call.catch_duplicate_keys, "catch_duplicate_keys", options.catch_duplicate_keys)) &&
           (call.float_mode == nullptr || FLOAT_MODE.convert(call.float_mode, options.float_mode));
}

}  // namespace taldo
