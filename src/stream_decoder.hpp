// The stream decoder: a JSON document that arrives in pieces, decoded as it
// comes, each piece costing in proportion to its own size.
//
// The value builder walks a whole document with the call stack, so it cannot
// stop when the input runs out and go on later. This is the same grammar as a
// resumable state machine: the open containers are an explicit stack, and a
// token cut by the end of a piece (a string, a number, a literal) keeps its
// state until the next piece. After every piece the value is exactly what the
// builder gives for the whole input so far in partial mode; at the end of the
// stream, what it gives with partial mode off.
//
// The containers handed out are live: later pieces extend the same list and
// dict objects. A number or a trailing string that the end of a piece cuts
// sits in its container until it is complete, replaced as it grows or taken
// out again as the partial rules say (with the value it displaced put back).
#pragma once

#include <cstdint>

#include "duplicate_keys.hpp"
#include "errors.hpp"
#include "native_memory.hpp"
#include "options.hpp"
#include "py_ref.hpp"
#include "string_cache.hpp"

namespace taldo {

struct InterpreterState;

// A growable array of trivially copyable items in native memory; push_back
// reports exhaustion instead of throwing.
template <class T>
class NativeArray {
public:
    NativeArray() = default;
    NativeArray(const NativeArray&) = delete;
    NativeArray& operator=(const NativeArray&) = delete;
    ~NativeArray() { native_free(items_); }

    T* data() { return items_; }
    const T* data() const { return items_; }
    uint64_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T& operator[](uint64_t i) { return items_[i]; }
    T& back() { return items_[size_ - 1]; }
    void clear() { size_ = 0; }
    void pop_back() { --size_; }
    void truncate(uint64_t size) { size_ = size; }

    [[nodiscard]] bool reserve(uint64_t wanted) {
        if (wanted <= capacity_) return true;
        uint64_t grown = capacity_ * 2;
        if (grown < wanted) grown = wanted;
        if (grown < 16) grown = 16;
        if (grown > SIZE_MAX / sizeof(T)) return false;
        void* block = native_realloc(items_, grown * sizeof(T));
        if (block == nullptr) return false;
        items_ = static_cast<T*>(block);
        capacity_ = grown;
        return true;
    }
    [[nodiscard]] bool push_back(T item) {
        if (size_ == capacity_ && !reserve(size_ + 1)) [[unlikely]] {
            return false;
        }
        items_[size_++] = item;
        return true;
    }
    [[nodiscard]] bool append(const T* items, uint64_t count) {
        if (!reserve(size_ + count)) [[unlikely]] {
            return false;
        }
        if (count != 0) std::memcpy(items_ + size_, items, count * sizeof(T));
        size_ += count;
        return true;
    }

private:
    T* items_ = nullptr;
    uint64_t size_ = 0;
    uint64_t capacity_ = 0;
};

class StreamDecoder {
public:
    // `options.partial_mode` is On or TrailingStrings; `pool` is the
    // interpreter's.
    StreamDecoder(const BuildOptions& options, InterpreterState& interpreter, StringCachePool& pool);
    StreamDecoder(const StreamDecoder&) = delete;
    StreamDecoder& operator=(const StreamDecoder&) = delete;
    ~StreamDecoder() { clear(); }

    enum class Outcome : uint8_t {
        Value,    // `value` is a new reference to the current value
        Pending,  // the input so far ends before the top-level value could begin or be had
        Failed,   // error() and error_position() say why; the decoder takes no more input
    };

    // The next `size` bytes of the stream, which must be followed by a NUL
    // byte (a bytes object's buffer is).
    Outcome feed(const uint8_t* data, uint64_t size, PyObject*& value);
    // The stream has ended: the value under the strict rules, or the fault
    // those rules find (Failed). Afterwards the decoder takes no more input.
    Outcome close(PyObject*& value);

    const ParseError& error() const { return error_; }
    LinePosition error_position() const { return error_position_; }

    // For the cyclic collector: every object the decoder holds.
    int traverse(visitproc visit, void* arg);
    // Releases every object; the decoder takes no more input.
    void clear();

private:
    enum class Expect : uint8_t {
        TopValue,
        Done,  // the top-level value is complete
        ArrayFirst,
        ArrayAfterValue,
        ArrayAfterComma,
        ObjectFirst,
        ObjectColon,
        ObjectBeforeValue,
        ObjectAfterValue,
        ObjectAfterComma,
    };
    enum class Token : uint8_t { None, Key, StringValue, Literal, Number };

    // One open container. An object's `key` is the member whose colon has
    // been read and whose value has not ended yet.
    struct Frame {
        PyObject* container;
        PyObject* key;
        DuplicateKeyCheck* seen;
        Expect expect;
        bool is_object;
    };

    Expect& expect() { return frames_.empty() ? top_expect_ : frames_.back().expect; }

    void process(const uint8_t* data, uint64_t n, uint64_t base);
    uint64_t continue_string(const uint8_t* data, uint64_t n, uint64_t i, uint64_t base);
    uint64_t continue_literal(const uint8_t* data, uint64_t n, uint64_t i, uint64_t base);
    uint64_t continue_number(const uint8_t* data, uint64_t n, uint64_t i, uint64_t base);
    void start_value(uint8_t byte, uint64_t at);
    // Begins a string (a key or a value) whose opening quote is at `at`.
    void start_string(Token token, uint64_t at);
    void open_container(bool is_object);
    void close_container();
    void end_container_early(ErrorKind kind, uint64_t at);
    void string_done();
    void colon_done(uint64_t after);
    // How a number token is read: ended by the byte after its `held` bytes
    // (kept after them), or cut by the end of the piece or of the stream.
    enum class NumberEnd : uint8_t { Terminated, PieceEnd, StreamEnd };
    void number_done(uint64_t held, NumberEnd how);
    void emit(uint32_t code_point);
    void utf8_fault(uint64_t index);

    // The member value that has ended goes into its container (or becomes
    // the top-level value); takes the reference.
    void commit(PyObject* value);
    void set_tentative(PyObject* value);
    void drop_tentative();
    void end_of_piece();
    PyObject* string_object(bool complete, bool is_key);
    PyObject* cached_or_plain(bool use_cache);

    void fail(ParseError error, LinePosition position);
    void fail_at(ErrorKind kind, uint64_t index) { fail(ParseError(kind, index), position_of(index)); }
    void fail_fatal(const char* text);
    void note_strict_fault(ErrorKind kind, uint64_t index);
    LinePosition position_of(uint64_t index) const;

    BuildOptions options_;
    InterpreterState* interpreter_;
    CacheCell cache_cell_;

    NativeArray<Frame> frames_;
    Expect top_expect_ = Expect::TopValue;
    Token token_ = Token::None;
    bool failed_ = false;
    bool closed_ = false;
    PyObject* root_ = nullptr;
    // The value of the token cut at the end of the last piece, when it is in
    // its container (or is the top-level value): a number, or a string with
    // TrailingStrings. In a dict, the value it displaced (nullptr: none).
    bool tentative_ = false;
    PyObject* displaced_ = nullptr;
    PyObject* top_tentative_ = nullptr;

    // The token in progress.
    uint64_t token_start_ = 0;
    NativeArray<uint8_t> text_;  // a number's or literal's bytes; a string's UTF-8
    NativeArray<uint32_t> points_;  // a string's code points, once it has non-ASCII ones
    uint32_t bits_ = 0;
    bool wide_ = false;
    uint8_t literal_length_ = 0;
    const char* literal_ = nullptr;
    // String decoding state: escapes, UTF-8 sequences, the first UTF-8 fault.
    uint8_t escape_ = 0;
    uint8_t hex_count_ = 0;
    uint32_t hex_value_ = 0;
    uint32_t high_surrogate_ = 0;
    uint8_t utf8_need_ = 0;
    uint8_t utf8_low_ = 0x80;
    uint8_t utf8_high_ = 0xBF;
    uint32_t utf8_value_ = 0;
    uint64_t utf8_lead_ = 0;
    bool utf8_faulty_ = false;
    uint64_t utf8_fault_index_ = 0;
    LinePosition utf8_fault_position_{};

    // Where the bytes are: the stream offset and line state before the piece
    // being read, and that piece.
    uint64_t piece_base_ = 0;
    const uint8_t* piece_ = nullptr;
    uint64_t piece_size_ = 0;
    uint64_t lines_ = 0;       // line feeds before the piece
    uint64_t line_start_ = 0;  // the offset after the last of them

    // The first fault the strict rules meet that partial mode lets pass.
    bool has_strict_fault_ = false;
    ParseError strict_fault_;
    LinePosition strict_position_{};

    ParseError error_;
    LinePosition error_position_{};
};

}  // namespace taldo
