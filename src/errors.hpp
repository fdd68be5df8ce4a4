// Parse errors: what went wrong and where, as plain values.
//
// Every fault found while reading a document is a ParseError that travels up
// through return values. Nothing is formatted while parsing: the message
// (kind text, line and column) is composed only at the module boundary.
#pragma once

#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

#include "native_memory.hpp"

namespace taldo {

// The numbered kinds keep their order: the code of a kind is its position.
enum class ErrorKind : uint8_t {
    FloatExpectingInt = 0,
    DuplicateKey = 1,   // carries the key
    InternalError = 2,  // carries a description
    EofInList = 3,
    EofInObject = 4,
    EofInString = 5,
    EofInValue = 6,
    ExpectedColon = 7,
    ExpectedListCommaOrEnd = 8,
    ExpectedObjectCommaOrEnd = 9,
    ExpectedIdent = 10,
    ExpectedValue = 11,
    InvalidEscape = 12,
    InvalidNumber = 13,
    NumberOutOfRange = 14,
    InvalidCodePoint = 15,
    ControlCharInString = 16,
    KeyMustBeString = 17,
    LoneLeadingSurrogate = 18,
    TrailingComma = 19,
    TrailingCharacters = 20,
    EofInHexEscape = 21,
    RecursionLimitExceeded = 22,
    // Unnumbered: carries an expected and a found JsonKind.
    KindMismatch = 100,
    // Not a parse error at all: a broken invariant (an object that could not
    // be made, a failing PyDict_SetItem). It ends the call with the
    // internal-fault exception, never with ValueError, and no partial-document
    // rule tolerates it. Carries the fault's text.
    Fatal = 101,
    // Not a parse error either: Python code that the walk ran (making a
    // Decimal) raised an exception that is no Exception (KeyboardInterrupt,
    // SystemExit, ...) or a MemoryError. The exception is left pending and
    // ends the call as it stands.
    PythonException = 102,
};

enum class JsonKind : uint8_t { Null, Bool, Int, Float, String, Array, Object };

std::string_view json_kind_name(JsonKind kind);

struct LinePosition {
    uint64_t line;
    uint64_t column;
};

class ParseError {
public:
    ParseError() = default;
    ParseError(ErrorKind kind, uint64_t index) : index_(index), kind_(kind) {}
    ParseError(ParseError&& other) noexcept
        : text_(std::exchange(other.text_, nullptr)),
          index_(other.index_),
          kind_(other.kind_),
          expected_(other.expected_),
          found_(other.found_),
          owns_text_(std::exchange(other.owns_text_, false)) {}
    ParseError& operator=(ParseError&& other) noexcept {
        if (this != &other) {
            release_text();
            text_ = std::exchange(other.text_, nullptr);
            owns_text_ = std::exchange(other.owns_text_, false);
            index_ = other.index_;
            kind_ = other.kind_;
            expected_ = other.expected_;
            found_ = other.found_;
        }
        return *this;
    }
    ParseError(const ParseError&) = delete;
    ParseError& operator=(const ParseError&) = delete;
    ~ParseError() { release_text(); }

    // The error with a copy of `text` as its payload; when no memory is left
    // for the copy, the out-of-memory fault instead.
    static ParseError with_text(ErrorKind kind, uint64_t index, std::string_view text) {
        auto* block = static_cast<char*>(native_malloc(sizeof(uint64_t) + text.size()));
        if (block == nullptr) [[unlikely]] {
            return out_of_memory();
        }
        const uint64_t size = text.size();
        std::memcpy(block, &size, sizeof size);
        if (size != 0) std::memcpy(block + sizeof size, text.data(), size);
        ParseError e(kind, index);
        e.text_ = block;
        e.owns_text_ = true;
        return e;
    }
    static ParseError kind_mismatch(JsonKind expected, JsonKind found, uint64_t index) {
        ParseError e(ErrorKind::KindMismatch, index);
        e.expected_ = expected;
        e.found_ = found;
        return e;
    }
    // A broken invariant, with a text that lives for the whole process (a
    // literal), so that making the error allocates nothing. Any pending
    // Python error has been dealt with by the caller (see python.hpp:
    // `fatal_from_python`).
    static ParseError fatal(const char* static_text) {
        ParseError e(ErrorKind::Fatal, 0);
        e.text_ = const_cast<char*>(static_text);
        return e;
    }
    // Native memory is exhausted.
    static ParseError out_of_memory() { return fatal("out of memory"); }

    ErrorKind kind() const { return kind_; }
    uint64_t index() const { return index_; }
    bool is_fatal() const { return kind_ == ErrorKind::Fatal; }
    bool is_python_exception() const { return kind_ == ErrorKind::PythonException; }
    // The payload of DuplicateKey, InternalError and Fatal; empty otherwise.
    std::string_view text() const {
        if (text_ == nullptr) return {};
        if (!owns_text_) return std::string_view(text_);
        uint64_t size;
        std::memcpy(&size, text_, sizeof size);
        return std::string_view(text_ + sizeof size, size);
    }
    JsonKind expected() const { return expected_; }
    JsonKind found() const { return found_; }

private:
    void release_text() {
        if (owns_text_) native_free(text_);
    }

    // Owned: a block of the text's size (8 bytes) then its bytes. Otherwise
    // a NUL-terminated static text, or nullptr.
    char* text_ = nullptr;
    uint64_t index_ = 0;
    ErrorKind kind_ = ErrorKind::FloatExpectingInt;
    JsonKind expected_ = JsonKind::Null;
    JsonKind found_ = JsonKind::Null;
    bool owns_text_ = false;
};

// A value or a ParseError. Only the alternative that is held is ever
// constructed, so that passing a result up costs one move of it.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : value_(std::move(value)), ok_(true) {}  // NOLINT: implicit by design
    Result(ParseError error) : error_(std::move(error)), ok_(false) {}  // NOLINT
    Result(Result&& other) noexcept : ok_(other.ok_) {
        if (ok_) {
            new (&value_) T(std::move(other.value_));
        } else {
            new (&error_) ParseError(std::move(other.error_));
        }
    }
    Result& operator=(Result&& other) noexcept {
        if (this != &other) {
            this->~Result();
            new (this) Result(std::move(other));
        }
        return *this;
    }
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;
    ~Result() {
        if (ok_) {
            value_.~T();
        } else {
            error_.~ParseError();
        }
    }

    bool ok() const { return ok_; }
    T& value() { return value_; }
    T take_value() { return std::move(value_); }
    ParseError& error() { return error_; }
    ParseError take_error() { return std::move(error_); }

private:
    union {
        T value_;
        ParseError error_;
    };
    bool ok_;
};

// Nothing, or a ParseError.
struct Unit {};
using Status = Result<Unit>;
inline Status ok_status() { return Status(Unit{}); }

// Where the n bytes `rest` expected at `pos` go wrong: the end of the input
// (EofInValue at len) or the first byte that differs (ExpectedIdent there).
// Only asked once the whole comparison has failed.
ParseError word_fault(const uint8_t* data, uint64_t len, uint64_t pos, const char* rest, uint64_t n);

// Text composed for a message, in a block that grows as needed. Appending
// never fails outright: when memory runs out the text stops growing and
// `ok()` turns false, to be tested once at the end.
class TextBuffer {
public:
    TextBuffer() = default;
    TextBuffer(const TextBuffer&) = delete;
    TextBuffer& operator=(const TextBuffer&) = delete;
    ~TextBuffer() {
        if (data_ != inline_) native_free(data_);
    }

    void append(std::string_view text) {
        if (reserve(text.size())) {
            std::memcpy(data_ + size_, text.data(), text.size());
            size_ += text.size();
        }
    }
    void append(char c) {
        if (reserve(1)) data_[size_++] = c;
    }
    void append_decimal(uint64_t value);

    bool ok() const { return ok_; }
    std::string_view view() const { return std::string_view(data_, size_); }

private:
    // Room for `more` bytes beyond the size.
    bool reserve(size_t more) {
        if (size_ + more <= capacity_) [[likely]] {
            return ok_;
        }
        return grow(more);
    }
    bool grow(size_t more);

    static constexpr size_t INLINE_SIZE = 160;
    char inline_[INLINE_SIZE];
    char* data_ = inline_;
    size_t size_ = 0;
    size_t capacity_ = INLINE_SIZE;
    bool ok_ = true;
};

// The text of a kind, with its payload rendered, appended to `out`.
void kind_text(const ParseError& error, TextBuffer& out);

// Line (1-based, lines end only at line feed) and column (in bytes) of a byte
// index. An index at or past the end reports the column of the last byte.
LinePosition line_position(const uint8_t* bytes, uint64_t length, uint64_t index);

// The same rules over code units of any width (the characters of a str, in
// any of its storage kinds): columns count units.
template <class Unit>
LinePosition line_position_in_units(const Unit* units, uint64_t length, uint64_t index) {
    const uint64_t m = index < length ? index : length;
    uint64_t line = 1;
    uint64_t line_start = 0;
    for (uint64_t i = 0; i < length; ++i) {
        if (units[i] == Unit{'\n'}) {
            ++line;
            line_start = i + 1;
        }
        // The unit at the index is looked at first: an index on a line feed is
        // reported at column 0 of the next line.
        if (i == index) {
            return {line, m + 1 - line_start};
        }
    }
    return {line, m >= line_start ? m - line_start : 0};
}

// "<kind text> at line L column C", appended to `out`.
void message(const ParseError& error, const uint8_t* bytes, uint64_t length, TextBuffer& out);
// The same, with the error's position already known (a stream's bytes are
// not kept).
void message(const ParseError& error, LinePosition position, TextBuffer& out);

// The text in double quotes, with quotes, backslashes, control characters and
// non-printable or combining characters escaped, appended to `out`. `text` is
// valid UTF-8.
void debug_quote(std::string_view text, TextBuffer& out);

}  // namespace taldo
