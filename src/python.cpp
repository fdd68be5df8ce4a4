#include "python.hpp"

#include <cstdlib>
#include <cstring>
#include <optional>

#include "duplicate_keys.hpp"
#include "number_objects.hpp"

namespace taldo {

ParseError fatal_from_python(const char* text) {
    if (PyErr_Occurred()) {
        PyErr_WriteUnraisable(nullptr);
    }
    return ParseError::fatal(text);
}

std::string exception_description(PyObject* exception) {
    std::string out;
    PyRef qualname(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(exception)), "__qualname__"));
    const char* name = qualname ? PyUnicode_AsUTF8(qualname.get()) : nullptr;
    if (name == nullptr) {
        PyErr_Clear();
        name = Py_TYPE(exception)->tp_name;
    }
    out += name;
    out += ": ";
    PyRef text(PyObject_Str(exception));
    Py_ssize_t size = 0;
    const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        out += "<exception str() failed>";
    } else {
        out.append(utf8, static_cast<size_t>(size));
    }
    return out;
}

ParseError internal_error_from_python(uint64_t index) {
    PyRef exception(fetch_exception());
    std::string description = exception ? exception_description(exception.get()) : std::string("<no exception>: ");
    return ParseError::with_text(ErrorKind::InternalError, index, std::move(description));
}

namespace {

// An array's elements, gathered before the list is made at its final size.
// The first 8 live inline; the 9th moves them to a heap block of 16 slots,
// which doubles when full. Owns the references it holds.
class ElementBuffer {
public:
    ElementBuffer() = default;
    ElementBuffer(const ElementBuffer&) = delete;
    ElementBuffer& operator=(const ElementBuffer&) = delete;
    ~ElementBuffer() {
        for (size_t i = 0; i < length_; ++i) {
            Py_DECREF(items_[i]);
        }
        if (items_ != inline_) {
            std::free(items_);
        }
    }

    // Takes the reference. False when memory is exhausted (the reference is
    // then released).
    [[nodiscard]] bool push(PyRef item) {
        if (length_ == capacity_) [[unlikely]] {
            if (!grow()) return false;
        }
        items_[length_++] = item.release();
        return true;
    }

    // The list, its slots filled by moving the references in; the buffer is
    // left empty.
    Result<PyRef> make_list() {
        PyObject* list = PyList_New(static_cast<Py_ssize_t>(length_));
        if (list == nullptr) [[unlikely]] {
            return fatal_from_python("could not create a list");
        }
        if (length_ != 0) {
            std::memcpy(reinterpret_cast<PyListObject*>(list)->ob_item, items_, length_ * sizeof(PyObject*));
        }
        length_ = 0;
        return PyRef(list);
    }

private:
    bool grow() {
        size_t capacity = items_ == inline_ ? 16 : capacity_ * 2;
        void* block = items_ == inline_ ? std::malloc(capacity * sizeof(PyObject*))
                                        : std::realloc(items_, capacity * sizeof(PyObject*));
        if (block == nullptr) return false;
        if (items_ == inline_) {
            std::memcpy(block, inline_, length_ * sizeof(PyObject*));
        }
        items_ = static_cast<PyObject**>(block);
        capacity_ = capacity;
        return true;
    }

    PyObject* inline_[8];
    PyObject** items_ = inline_;
    size_t length_ = 0;
    size_t capacity_ = 8;
};

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

PyRef new_ref(PyObject* singleton) { return PyRef::borrow(singleton); }

// Where a literal whose first letter is at the index goes wrong: the end of
// the input inside it, or its first differing letter.
[[gnu::cold, gnu::noinline]] ParseError literal_error(const Scanner& s, const char* rest, size_t k) {
    const uint64_t i = s.index;
    for (uint64_t p = i + 1; p <= i + k; ++p) {
        if (p == s.len) {
            return ParseError(ErrorKind::EofInValue, s.len);
        }
        if (s.data[p] != static_cast<uint8_t>(rest[p - i - 1])) {
            return ParseError(ErrorKind::ExpectedIdent, p);
        }
    }
    // Not reached: the whole literal matched.
    return ParseError(ErrorKind::ExpectedIdent, i);
}

#define TALDO_INLINE inline __attribute__((always_inline))

// What a container step found: its end, or the next member.
enum class Step : uint8_t { End, Member };

template <CacheMode Cache, bool CheckDuplicates, FloatMode Float>
struct Walk {
    static Result<PyRef> document(ValueBuilder& b) {
        Scanner& s = b.scanner;
        s.skip_whitespace();
        if (s.at_end()) {
            return ParseError(ErrorKind::EofInValue, s.len);
        }
        Result<PyRef> value = build_value(b, s.peek());
        if (!value.ok() || b.partial_mode != PartialMode::Off) {
            return value;
        }
        s.skip_whitespace();
        if (!s.at_end()) {
            return ParseError(ErrorKind::TrailingCharacters, s.index);
        }
        return value;
    }

    static Result<PyRef> build_value(ValueBuilder& b, uint8_t lookahead) {
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
    static TALDO_INLINE Result<PyRef> scalar(ValueBuilder& b, uint8_t lookahead) {
        switch (lookahead) {
            case '"':
                return string_value(b);
            case 't':
                return literal<'r', 'u', 'e'>(b.scanner, Py_True);
            case 'f':
                return literal<'a', 'l', 's', 'e'>(b.scanner, Py_False);
            case 'n':
                return literal<'u', 'l', 'l'>(b.scanner, Py_None);
            default:
                return build_number<Float>(b.scanner, lookahead, b.allow_inf_nan);
        }
    }

    // A member of a container. The nesting budget is tested for every member
    // and held while a nested container is built.
    static TALDO_INLINE Result<PyRef> member(ValueBuilder& b, uint8_t lookahead) {
        if (b.remaining_depth == 0) [[unlikely]] {
            return ParseError(ErrorKind::RecursionLimitExceeded, b.scanner.index);
        }
        if (lookahead != '[' && lookahead != '{') {
            return scalar(b, lookahead);
        }
        --b.remaining_depth;
        Result<PyRef> value = lookahead == '[' ? array(b) : object(b);
        ++b.remaining_depth;
        return value;
    }

    // The first letter is at the index; `Rest` are the letters after it.
    template <char... Rest>
    static TALDO_INLINE Result<PyRef> literal(Scanner& s, PyObject* object) {
        constexpr size_t k = sizeof...(Rest);
        static constexpr char rest[k] = {Rest...};
        const uint64_t i = s.index;
        if (i + k < s.len && std::memcmp(s.data + i + 1, rest, k) == 0) [[likely]] {
            s.index = i + k + 1;
            return new_ref(object);
        }
        return literal_error(s, rest, k);
    }

    static TALDO_INLINE Result<PyRef> string_value(ValueBuilder& b) {
        Result<DecodedString> decoded =
            decode_string(b.scanner, b.scratch, b.partial_mode == PartialMode::TrailingStrings);
        if (!decoded.ok()) {
            return decoded.take_error();
        }
        if constexpr (Cache == CacheMode::All) {
            return get_or_insert(b.cache_cell, decoded.value());
        } else {
            return make_py_str(decoded.value());
        }
    }

    static TALDO_INLINE Result<PyRef> key_str(ValueBuilder& b, const DecodedString& key) {
        if constexpr (Cache == CacheMode::None) {
            return make_py_str(key);
        } else {
            return get_or_insert(b.cache_cell, key);
        }
    }

    // After `[`: the end, or the first element with its lookahead byte.
    static TALDO_INLINE Result<Step> array_first(Scanner& s, uint8_t& lookahead) {
        ++s.index;
        s.skip_whitespace();
        if (s.at_end()) {
            return ParseError(ErrorKind::EofInList, s.len);
        }
        if (s.peek() == ']') {
            ++s.index;
            return Step::End;
        }
        lookahead = s.peek();
        return Step::Member;
    }

    // After an element: the end, or the next element with its lookahead byte.
    static TALDO_INLINE Result<Step> array_next(Scanner& s, uint8_t& lookahead) {
        s.skip_whitespace();
        if (s.at_end()) {
            return ParseError(ErrorKind::EofInList, s.len);
        }
        const uint8_t byte = s.peek();
        if (byte == ',') {
            ++s.index;
            s.skip_whitespace();
            if (s.at_end()) {
                return ParseError(ErrorKind::EofInValue, s.len);
            }
            if (s.peek() == ']') {
                return ParseError(ErrorKind::TrailingComma, s.index);
            }
            lookahead = s.peek();
            return Step::Member;
        }
        if (byte == ']') {
            ++s.index;
            return Step::End;
        }
        return ParseError(ErrorKind::ExpectedListCommaOrEnd, s.index);
    }

    static Result<PyRef> array(ValueBuilder& b) {
        Scanner& s = b.scanner;
        uint8_t lookahead = 0;
        Result<Step> step = array_first(s, lookahead);
        if (step.ok() && step.value() == Step::End) {
            PyObject* list = PyList_New(0);
            if (list == nullptr) [[unlikely]] {
                return fatal_from_python("could not create a list");
            }
            return PyRef(list);
        }
        ElementBuffer elements;
        while (step.ok()) {
            Result<PyRef> element = member(b, lookahead);
            if (!element.ok()) {
                return end_array_early(b, elements, element.take_error());
            }
            if (!elements.push(element.take_value())) [[unlikely]] {
                return ParseError::fatal("out of memory for the elements of a list");
            }
            step = array_next(s, lookahead);
            if (step.ok() && step.value() == Step::End) {
                return elements.make_list();
            }
        }
        return end_array_early(b, elements, step.take_error());
    }

    // An array step failed: the error stands, unless partial mode keeps the
    // elements gathered so far.
    static Result<PyRef> end_array_early(ValueBuilder& b, ElementBuffer& elements, ParseError error) {
        if (b.partial_mode != PartialMode::Off && tolerated_in_partial_mode(error.kind())) {
            return elements.make_list();
        }
        return error;
    }

    // After `{` or after a member's `,`: decode the key that starts at the
    // index (a quote).
    static Result<Step> object_key(ValueBuilder& b, DecodedString& key) {
        Result<DecodedString> decoded = decode_key(b.scanner, b.scratch);
        if (!decoded.ok()) {
            return decoded.take_error();
        }
        key = decoded.value();
        return Step::Member;
    }

    static Result<Step> object_first(ValueBuilder& b, DecodedString& key) {
        Scanner& s = b.scanner;
        ++s.index;
        s.skip_whitespace();
        if (s.at_end()) {
            return ParseError(ErrorKind::EofInObject, s.len);
        }
        const uint8_t byte = s.peek();
        if (byte == '"') {
            return object_key(b, key);
        }
        if (byte == '}') {
            ++s.index;
            return Step::End;
        }
        return ParseError(ErrorKind::KeyMustBeString, s.index);
    }

    static TALDO_INLINE Result<Step> object_next(ValueBuilder& b, DecodedString& key) {
        Scanner& s = b.scanner;
        s.skip_whitespace();
        if (s.at_end()) {
            return ParseError(ErrorKind::EofInObject, s.len);
        }
        const uint8_t byte = s.peek();
        if (byte == ',') {
            ++s.index;
            s.skip_whitespace();
            if (s.at_end()) {
                return ParseError(ErrorKind::EofInValue, s.len);
            }
            const uint8_t next = s.peek();
            if (next == '"') {
                return object_key(b, key);
            }
            if (next == '}') {
                return ParseError(ErrorKind::TrailingComma, s.index);
            }
            return ParseError(ErrorKind::KeyMustBeString, s.index);
        }
        if (byte == '}') {
            ++s.index;
            return Step::End;
        }
        return ParseError(ErrorKind::ExpectedObjectCommaOrEnd, s.index);
    }

    using KeyCheck = std::conditional_t<CheckDuplicates, DuplicateKeyCheck, Unit>;

    static Result<PyRef> object(ValueBuilder& b) {
        Scanner& s = b.scanner;
        PyObject* raw_dict = PyDict_New();
        if (raw_dict == nullptr) [[unlikely]] {
            return fatal_from_python("could not create a dict");
        }
        PyRef dict(raw_dict);
        [[maybe_unused]] KeyCheck seen;
        DecodedString key;
        Result<Step> step = object_first(b, key);
        while (step.ok()) {
            if (step.value() == Step::End) {
                return dict;
            }
            if constexpr (CheckDuplicates) {
                Status fresh = seen.check_and_insert(
                    std::string_view(reinterpret_cast<const char*>(key.bytes), key.length), s.index);
                if (!fresh.ok()) {
                    return fresh.take_error();
                }
            }
            Result<PyRef> key_object = key_str(b, key);
            if (!key_object.ok()) {
                return key_object.take_error();
            }
            s.skip_whitespace();
            if (s.at_end()) {
                return end_object_early(b, dict, ParseError(ErrorKind::EofInValue, s.len));
            }
            Result<PyRef> value = member(b, s.peek());
            if (!value.ok()) {
                return end_object_early(b, dict, value.take_error());
            }
            if (PyDict_SetItem(dict.get(), key_object.value().get(), value.value().get()) != 0) [[unlikely]] {
                return fatal_from_python("PyDict_SetItem failed");
            }
            step = object_next(b, key);
        }
        return end_object_early(b, dict, step.take_error());
    }

    // An object step failed: the error stands, unless partial mode keeps the
    // members inserted so far.
    static Result<PyRef> end_object_early(ValueBuilder& b, PyRef& dict, ParseError error) {
        if (b.partial_mode != PartialMode::Off && tolerated_in_partial_mode(error.kind())) {
            return std::move(dict);
        }
        return error;
    }
};

template <CacheMode C, bool D, FloatMode F>
Result<PyRef> build_document(ValueBuilder& b) {
    return Walk<C, D, F>::document(b);
}

// Indexed by cache mode, then duplicate check, then float mode.
template <CacheMode C, bool D>
constexpr BuildDocument by_float[3] = {
    &build_document<C, D, FloatMode::Float>,
    &build_document<C, D, FloatMode::Decimal>,
    &build_document<C, D, FloatMode::LosslessFloat>,
};

template <CacheMode C>
constexpr const BuildDocument* by_check[2] = {by_float<C, false>, by_float<C, true>};

constexpr const BuildDocument* const* by_cache[3] = {
    by_check<CacheMode::All>,
    by_check<CacheMode::Keys>,
    by_check<CacheMode::None>,
};

}  // namespace

BuildDocument select_builder(CacheMode cache_mode, bool catch_duplicate_keys, FloatMode float_mode) {
    return by_cache[static_cast<int>(cache_mode)][catch_duplicate_keys ? 1 : 0][static_cast<int>(float_mode)];
}

}  // namespace taldo
