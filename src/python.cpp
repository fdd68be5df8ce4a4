#include "python.hpp"

#include <array>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "compiler.hpp"
#include "duplicate_keys.hpp"
#include "number_objects.hpp"

namespace taldo {

ParseError fatal_from_python(const char* text) {
    if (PyErr_Occurred()) {
        PyErr_WriteUnraisable(nullptr);
    }
    return ParseError::fatal(text);
}

void exception_description(PyObject* exception, TextBuffer& out) {
    PyRef qualname(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(exception)), "__qualname__"));
    const char* name = qualname ? PyUnicode_AsUTF8(qualname.get()) : nullptr;
    if (name == nullptr) {
        PyErr_Clear();
        name = Py_TYPE(exception)->tp_name;
    }
    out.append(name);
    out.append(": ");
    PyRef text(PyObject_Str(exception));
    Py_ssize_t size = 0;
    const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        out.append("<exception str() failed>");
    } else {
        out.append(std::string_view(utf8, static_cast<size_t>(size)));
    }
}

ParseError internal_error_from_python(uint64_t index) {
    PyRef exception(fetch_exception());
    if (exception && (!PyErr_GivenExceptionMatches(exception.get(), PyExc_Exception) ||
                      PyErr_GivenExceptionMatches(exception.get(), PyExc_MemoryError))) {
        // Ctrl-C, an exit or exhausted memory is no fault of the document.
        restore_exception(exception.release());
        return ParseError(ErrorKind::PythonException, index);
    }
    TextBuffer description;
    if (exception) {
        exception_description(exception.get(), description);
    } else {
        description.append("<no exception>: ");
    }
    if (!description.ok()) [[unlikely]] {
        return ParseError::out_of_memory();
    }
    return ParseError::with_text(ErrorKind::InternalError, index, description.view());
}

// The list's layout (slots in a block of PyMem memory, `allocated` at least
// the size) is the one every version up to 3.13 has; newer versions and the
// free-threaded build take the public way.
#if PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
#define TALDO_FILL_LIST_DIRECTLY 1
#endif

PyObject* ElementStack::make_list(size_t base) {
    const size_t n = size_ - base;
#if defined(TALDO_FILL_LIST_DIRECTLY)
    // PyList_New zeroes the slots that are about to be overwritten; an empty
    // list given an uninitialised block of the interpreter's own allocator
    // (which the list frees) skips that.
    PyObject* list = PyList_New(0);
    if (list == nullptr || n == 0) [[unlikely]] {
        return list;
    }
    auto** slots = static_cast<PyObject**>(PyMem_Malloc(n * sizeof(PyObject*)));
    if (slots == nullptr) [[unlikely]] {
        Py_DECREF(list);
        PyErr_NoMemory();
        return nullptr;
    }
    auto* object = reinterpret_cast<PyListObject*>(list);
    object->ob_item = slots;
    object->allocated = static_cast<Py_ssize_t>(n);
    Py_SET_SIZE(object, static_cast<Py_ssize_t>(n));
#else
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
    if (list == nullptr) [[unlikely]] {
        return nullptr;
    }
    PyObject** slots = reinterpret_cast<PyListObject*>(list)->ob_item;
#endif
    PyObject* const* from = items_ + base;
    for (size_t i = 0; i < n; ++i) {
        slots[i] = from[i];
    }
    size_ = base;
    return list;
}

bool ElementStack::grow() {
    const size_t capacity = capacity_ * 2;
    void* block = native_realloc(items_ == inline_ ? nullptr : items_, capacity * sizeof(PyObject*));
    if (block == nullptr) return false;
    if (items_ == inline_) {
        std::memcpy(block, inline_, size_ * sizeof(PyObject*));
    }
    items_ = static_cast<PyObject**>(block);
    capacity_ = capacity;
    return true;
}

namespace {

// The faults after which a container in partial mode keeps what it has built.
bool tolerated_in_partial_mode(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::EofInList:
        case ErrorKind::EofInObject:
        case ErrorKind::EofInString:
        case ErrorKind::EofInValue:
        case ErrorKind::ExpectedListCommaOrEnd:
        case ErrorKind::ExpectedObjectCommaOrEnd:
            return true;
        default:
            return false;
    }
}

// Records the fault that ends the walk; out of line, so that the hot loops
// only pass the kind and the index.
TALDO_COLD TALDO_NOINLINE PyObject* fail(ValueBuilder& b, ErrorKind kind, uint64_t index) {
    b.error = ParseError(kind, index);
    return nullptr;
}

TALDO_COLD TALDO_NOINLINE PyObject* fail(ValueBuilder& b, ParseError error) {
    b.error = std::move(error);
    return nullptr;
}

TALDO_COLD TALDO_NOINLINE PyObject* fail_fatal(ValueBuilder& b, const char* text) {
    b.error = fatal_from_python(text);
    return nullptr;
}

// The object of a decoder's result, or nullptr with its fault recorded.
TALDO_ALWAYS_INLINE PyObject* unwrap(ValueBuilder& b, Result<PyRef>&& result) {
    if (result.ok()) [[likely]] {
        return result.value().release();
    }
    return fail(b, result.take_error());
}

// Four bytes as one word, in memory order on any machine.
constexpr uint32_t word_of(const char* text) {
    uint32_t word = 0;
    for (int k = 0; k < 4; ++k) {
        const int shift = std::endian::native == std::endian::little ? 8 * k : 8 * (3 - k);
        word |= static_cast<uint32_t>(static_cast<uint8_t>(text[k])) << shift;
    }
    return word;
}

inline uint32_t load_word(const uint8_t* p) {
    uint32_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

// Where a literal whose first letter is at the index goes wrong: the end of
// the input inside it, or its first differing letter.
TALDO_COLD TALDO_NOINLINE PyObject* literal_error(ValueBuilder& b, const char* rest, size_t k) {
    const Scanner& s = b.scanner;
    return fail(b, word_fault(s.data, s.len, s.index + 1, rest, k));
}

// Whether the string whose opening quote is at `quote` and which the decoder
// ended at the end of the input was cut there: its last byte is no closing
// quote, or a quote escaped by an odd run of backslashes.
TALDO_COLD TALDO_NOINLINE bool cut_at_end(const uint8_t* data, uint64_t quote, uint64_t len) {
    uint64_t i = len - 1;
    if (i == quote || data[i] != '"') return true;
    uint64_t backslashes = 0;
    while (i - 1 > quote && data[i - 1] == '\\') {
        --i;
        ++backslashes;
    }
    return backslashes % 2 == 1;
}

// Passes over whitespace. Most gaps are empty or a single space, so only a
// longer gap costs a call. Anything at or below the space may begin one,
// including the NUL after the input; a space is never that NUL, so the byte
// after it can be read.
TALDO_NOINLINE void skip_long_whitespace(Scanner& s) { s.skip_whitespace(); }

TALDO_ALWAYS_INLINE void skip_whitespace(Scanner& s) {
    const uint8_t* p = s.data + s.index;
    if (p[0] <= ' ') [[unlikely]] {
        if (p[0] == ' ' && p[1] > ' ') {
            ++s.index;
        } else {
            skip_long_whitespace(s);
        }
    }
}

template <CacheMode Cache, bool CheckDuplicates, FloatMode Float>
struct Walk {
    static PyObject* document(ValueBuilder& b) {
        Scanner& s = b.scanner;
        skip_whitespace(s);
        if (s.at_end()) {
            return fail(b, ErrorKind::EofInValue, s.len);
        }
        PyObject* value = build_value(b, s.peek());
        if (value == nullptr || b.partial_mode != PartialMode::Off) {
            return value;
        }
        skip_whitespace(s);
        if (!s.at_end()) {
            Py_DECREF(value);
            return fail(b, ErrorKind::TrailingCharacters, s.index);
        }
        return value;
    }

    static PyObject* build_value(ValueBuilder& b, uint8_t lookahead) {
        switch (lookahead) {
            case '[':
                return array(b);
            case '{':
                return object(b);
            default:
                return scalar(b, lookahead);
        }
    }

    // Every value but a container. Inlined into the container loops, so that
    // only nested containers cost a call.
    TALDO_ALWAYS_INLINE static PyObject* scalar(ValueBuilder& b, uint8_t lookahead) {
        switch (lookahead) {
            case '"':
                return string_value(b);
            case 't':
                return literal<'t', 'r', 'u', 'e'>(b, Py_True);
            case 'f':
                return literal<'f', 'a', 'l', 's', 'e'>(b, Py_False);
            case 'n':
                return literal<'n', 'u', 'l', 'l'>(b, Py_None);
            default:
                return unwrap(b, build_number<Float>(b.scanner, lookahead, b.allow_inf_nan, b.collector_paused,
                                                     *b.interpreter));
        }
    }

    // A member of a container, dispatched by one switch; a nested container
    // lowers the nesting budget while it is built.
    TALDO_ALWAYS_INLINE static PyObject* member(ValueBuilder& b, uint8_t lookahead) {
        PyObject* value;
        switch (lookahead) {
            case '[':
                --b.remaining_depth;
                value = array(b);
                ++b.remaining_depth;
                return value;
            case '{':
                --b.remaining_depth;
                value = object(b);
                ++b.remaining_depth;
                return value;
            default:
                return scalar(b, lookahead);
        }
    }

    // The first letter is at the index. The last four letters are compared
    // as one word.
    template <char... Letters>
    TALDO_ALWAYS_INLINE static PyObject* literal(ValueBuilder& b, PyObject* object) {
        constexpr size_t n = sizeof...(Letters);
        static constexpr char letters[n] = {Letters...};
        constexpr uint32_t last_four = word_of(letters + n - 4);
        Scanner& s = b.scanner;
        const uint64_t i = s.index;
        if (i + n <= s.len && load_word(s.data + i + n - 4) == last_four) [[likely]] {
            s.index = i + n;
            Py_INCREF(object);
            return object;
        }
        return literal_error(b, letters + 1, n - 1);
    }

    TALDO_ALWAYS_INLINE static PyObject* string_value(ValueBuilder& b) {
        [[maybe_unused]] const uint64_t quote = b.scanner.index;
        Result<DecodedString> decoded =
            decode_string(b.scanner, b.scratch, b.partial_mode == PartialMode::TrailingStrings);
        if (!decoded.ok()) [[unlikely]] {
            return fail(b, decoded.take_error());
        }
        if constexpr (Cache == CacheMode::All) {
            // A string cut by the end of the input (trailing strings) is not
            // the document's string: it stays out of the cache.
            if (b.partial_mode == PartialMode::TrailingStrings && b.scanner.index == b.scanner.len &&
                cut_at_end(b.scanner.data, quote, b.scanner.len)) [[unlikely]] {
                return unwrap(b, make_py_str(decoded.value()));
            }
            return cached_str(b, decoded.value());
        } else {
            return unwrap(b, make_py_str(decoded.value()));
        }
    }

    TALDO_ALWAYS_INLINE static PyObject* key_str(ValueBuilder& b, const DecodedString& key) {
        if constexpr (Cache == CacheMode::None) {
            return unwrap(b, make_py_str(key));
        } else {
            return cached_str(b, key);
        }
    }

    TALDO_ALWAYS_INLINE static PyObject* cached_str(ValueBuilder& b, const DecodedString& s) {
        PyObject* str = get_or_insert(b.cache_cell, s);
        if (str == nullptr) [[unlikely]] {
            return fail(b, str_fault());
        }
        return str;
    }

    // After `[`. The byte after the input is a NUL, which no branch below
    // takes for a structural byte, so the end is only tested where a fault
    // is already certain.
    static PyObject* array(ValueBuilder& b) {
        Scanner& s = b.scanner;
        const uint8_t* const data = s.data;
        ++s.index;
        skip_whitespace(s);
        uint8_t byte = data[s.index];
        if (byte == ']') {
            ++s.index;
            PyObject* list = PyList_New(0);
            return list != nullptr ? list : fail_fatal(b, "could not create a list");
        }
        ElementFrame frame(b.elements);
        if (s.at_end()) [[unlikely]] {
            return end_array_early(b, frame, ErrorKind::EofInList, s.len);
        }
        // Every member of a container at the deepest level fails, so the
        // budget is tested once, for the first.
        if (b.remaining_depth == 0) [[unlikely]] {
            return fail(b, ErrorKind::RecursionLimitExceeded, s.index);
        }
        for (;;) {
            PyObject* element = member(b, byte);
            if (element == nullptr) [[unlikely]] {
                return end_array_early(b, frame);
            }
            if (!b.elements.push(element)) [[unlikely]] {
                return fail(b, ParseError::fatal("out of memory for the elements of a list"));
            }
            skip_whitespace(s);
            byte = data[s.index];
            if (byte == ',') [[likely]] {
                byte = data[++s.index];
                if (byte <= ' ') [[unlikely]] {
                    skip_whitespace(s);
                    byte = data[s.index];
                    if (s.at_end()) [[unlikely]] {
                        return end_array_early(b, frame, ErrorKind::EofInValue, s.len);
                    }
                }
                if (byte == ']') [[unlikely]] {
                    return fail(b, ErrorKind::TrailingComma, s.index);
                }
                continue;
            }
            if (byte == ']') {
                ++s.index;
                PyObject* list = frame.make_list();
                return list != nullptr ? list : fail_fatal(b, "could not create a list");
            }
            return s.at_end() ? end_array_early(b, frame, ErrorKind::EofInList, s.len)
                              : end_array_early(b, frame, ErrorKind::ExpectedListCommaOrEnd, s.index);
        }
    }

    // An array ended early with the fault in the builder: the fault stands,
    // unless partial mode keeps the elements gathered so far.
    TALDO_NOINLINE static PyObject* end_array_early(ValueBuilder& b, ElementFrame& frame) {
        if (b.partial_mode != PartialMode::Off && tolerated_in_partial_mode(b.error.kind())) {
            PyObject* list = frame.make_list();
            return list != nullptr ? list : fail_fatal(b, "could not create a list");
        }
        return nullptr;
    }

    TALDO_NOINLINE static PyObject* end_array_early(ValueBuilder& b, ElementFrame& frame, ErrorKind kind,
                                                    uint64_t index) {
        fail(b, kind, index);
        return end_array_early(b, frame);
    }

    using KeyCheck = std::conditional_t<CheckDuplicates, DuplicateKeyCheck, Unit>;

    // After `{`; see `array` for the NUL after the input.
    static PyObject* object(ValueBuilder& b) {
        Scanner& s = b.scanner;
        ++s.index;
        skip_whitespace(s);
        PyObject* raw_dict = PyDict_New();
        if (raw_dict == nullptr) [[unlikely]] {
            return fail_fatal(b, "could not create a dict");
        }
        PyRef dict(raw_dict);
        uint8_t byte = s.peek();
        if (byte == '}') {
            ++s.index;
            return dict.release();
        }
        if (byte != '"') [[unlikely]] {
            return s.at_end() ? end_object_early(b, dict, ErrorKind::EofInObject, s.len)
                              : end_object_early(b, dict, ErrorKind::KeyMustBeString, s.index);
        }
        [[maybe_unused]] KeyCheck seen;
        for (;;) {
            // At the opening quote of a key.
            Result<DecodedString> decoded = decode_key(s, b.scratch);
            if (!decoded.ok()) [[unlikely]] {
                fail(b, decoded.take_error());
                return end_object_early(b, dict);
            }
            const DecodedString& key = decoded.value();
            if constexpr (CheckDuplicates) {
                Status fresh = seen.check_and_insert(
                    std::string_view(reinterpret_cast<const char*>(key.bytes), key.length),
                    key.origin == StringOrigin::Input, s.index);
                if (!fresh.ok()) {
                    return fail(b, fresh.take_error());
                }
            }
            PyObject* key_object = key_str(b, key);
            if (key_object == nullptr) [[unlikely]] {
                return nullptr;
            }
            skip_whitespace(s);
            if (s.at_end()) [[unlikely]] {
                Py_DECREF(key_object);
                return end_object_early(b, dict, ErrorKind::EofInValue, s.len);
            }
            // Every member of a container at the deepest level fails; the
            // key before it is read first, for its own faults.
            if (b.remaining_depth == 0) [[unlikely]] {
                Py_DECREF(key_object);
                return fail(b, ErrorKind::RecursionLimitExceeded, s.index);
            }
            PyObject* value = member(b, s.peek());
            if (value == nullptr) [[unlikely]] {
                Py_DECREF(key_object);
                return end_object_early(b, dict);
            }
            const int stored = PyDict_SetItem(dict.get(), key_object, value);
            Py_DECREF(key_object);
            Py_DECREF(value);
            if (stored != 0) [[unlikely]] {
                return fail_fatal(b, "PyDict_SetItem failed");
            }
            skip_whitespace(s);
            byte = s.peek();
            if (byte == ',') [[likely]] {
                ++s.index;
                skip_whitespace(s);
                byte = s.peek();
                if (byte == '"') [[likely]] {
                    continue;
                }
                if (s.at_end()) {
                    return end_object_early(b, dict, ErrorKind::EofInValue, s.len);
                }
                return byte == '}' ? end_object_early(b, dict, ErrorKind::TrailingComma, s.index)
                                   : end_object_early(b, dict, ErrorKind::KeyMustBeString, s.index);
            }
            if (byte == '}') {
                ++s.index;
                return dict.release();
            }
            return s.at_end() ? end_object_early(b, dict, ErrorKind::EofInObject, s.len)
                              : end_object_early(b, dict, ErrorKind::ExpectedObjectCommaOrEnd, s.index);
        }
    }

    // An object ended early with the fault in the builder: the fault stands,
    // unless partial mode keeps the members inserted so far.
    TALDO_NOINLINE static PyObject* end_object_early(ValueBuilder& b, PyRef& dict) {
        if (b.partial_mode != PartialMode::Off && tolerated_in_partial_mode(b.error.kind())) {
            return dict.release();
        }
        return nullptr;
    }

    TALDO_NOINLINE static PyObject* end_object_early(ValueBuilder& b, PyRef& dict, ErrorKind kind, uint64_t index) {
        fail(b, kind, index);
        return end_object_early(b, dict);
    }
};

template <CacheMode C, bool D, FloatMode F>
PyObject* build_document(ValueBuilder& b) {
    return Walk<C, D, F>::document(b);
}

// The instantiation at index cache mode * 6 + duplicate check * 3 + float
// mode, so that choosing one costs a single load.
template <size_t I>
constexpr BuildDocument builder_at() {
    return &build_document<static_cast<CacheMode>(I / 6), (I / 3) % 2 == 1, static_cast<FloatMode>(I % 3)>;
}

template <size_t... I>
constexpr std::array<BuildDocument, sizeof...(I)> make_builders(std::index_sequence<I...>) {
    return {builder_at<I>()...};
}

constexpr auto BUILDERS = make_builders(std::make_index_sequence<18>());

}  // namespace

BuildDocument select_builder(CacheMode cache_mode, bool catch_duplicate_keys, FloatMode float_mode) {
    return BUILDERS[static_cast<size_t>(cache_mode) * 6 + (catch_duplicate_keys ? 3 : 0) + static_cast<size_t>(float_mode)];
}

}  // namespace taldo
