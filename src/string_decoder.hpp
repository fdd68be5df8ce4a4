// JSON string bodies to UTF-8 bytes.
//
// A string without escapes comes back as a span of the input (no copy); one
// with escapes is assembled in the call's single ScratchBuffer. The result is
// always valid UTF-8.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "errors.hpp"
#include "scanner.hpp"

namespace taldo {

enum class StringOrigin : uint8_t { Input, Scratch };

// Valid as long as the input (origin Input) or until the next decode that uses
// the same ScratchBuffer (origin Scratch): consumers copy before decoding again.
struct DecodedString {
    const uint8_t* bytes = nullptr;
    uint64_t length = 0;
    StringOrigin origin = StringOrigin::Input;
    // Every byte below 0x80 and no \u escape decoded.
    bool ascii_only = true;
};

// A growable byte buffer owned by one from_json call and reused by every
// escaped string of it. Starts with nothing allocated.
class ScratchBuffer {
public:
    ScratchBuffer() = default;
    ScratchBuffer(const ScratchBuffer&) = delete;
    ScratchBuffer& operator=(const ScratchBuffer&) = delete;
    ~ScratchBuffer() { std::free(data_); }

    uint8_t* data() { return data_; }
    uint64_t length() const { return length_; }
    uint64_t capacity() const { return capacity_; }
    bool allocated() const { return data_ != nullptr; }

    void clear() { length_ = 0; }
    void truncate(uint64_t length) { length_ = length; }

    // Capacity of at least `wanted`: grows by at least doubling, to no less
    // than 8 bytes. False when memory is exhausted (the content is kept); the
    // caller ends the call with `out_of_memory()`.
    [[nodiscard]] bool reserve(uint64_t wanted) {
        if (wanted <= capacity_) {
            return true;
        }
        uint64_t grown = capacity_ * 2;
        if (grown < wanted) grown = wanted;
        if (grown < 8) grown = 8;
        auto* fresh = static_cast<uint8_t*>(std::realloc(data_, grown));
        if (fresh == nullptr) {
            return false;
        }
        data_ = fresh;
        capacity_ = grown;
        return true;
    }

    // Room for `count` more bytes at the end, which now count as content; the
    // caller writes them. Null when memory is exhausted.
    [[nodiscard]] uint8_t* extend(uint64_t count) {
        if (!reserve(length_ + count)) return nullptr;
        uint8_t* end = data_ + length_;
        length_ += count;
        return end;
    }

    [[nodiscard]] bool append(const uint8_t* bytes, uint64_t count) {
        if (!reserve(length_ + count)) return false;
        if (count != 0) std::memcpy(data_ + length_, bytes, count);
        length_ += count;
        return true;
    }

    static ParseError out_of_memory() { return ParseError::fatal("out of memory for the scratch buffer"); }

    void free_memory() {
        std::free(data_);
        data_ = nullptr;
        length_ = capacity_ = 0;
    }

private:
    uint8_t* data_ = nullptr;
    uint64_t length_ = 0;
    uint64_t capacity_ = 0;
};

Result<DecodedString> decode_string(Scanner& scanner, ScratchBuffer& scratch, bool allow_partial);
Result<DecodedString> decode_key(Scanner& scanner, ScratchBuffer& scratch);
}  // namespace taldo
