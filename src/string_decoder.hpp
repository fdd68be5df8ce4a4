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
#include "simd/string.hpp"

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
    ~ScratchBuffer() {
        if (data_ != nullptr) std::free(data_);
    }

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

    [[nodiscard]] bool append(const uint8_t* bytes, uint64_t count) {
        if (!reserve(length_ + count)) return false;
        if (count != 0) std::memcpy(data_ + length_, bytes, count);
        length_ += count;
        return true;
    }

    static ParseError out_of_memory() { return ParseError::fatal("out of memory for the scratch buffer"); }

    void free_memory() {
        if (data_ == nullptr) return;
        std::free(data_);
        data_ = nullptr;
        length_ = capacity_ = 0;
    }

private:
    uint8_t* data_ = nullptr;
    uint64_t length_ = 0;
    uint64_t capacity_ = 0;
};

// Whether the bytes are UTF-8 as RFC 3629 defines it: no overlong forms, no
// surrogates, nothing above U+10FFFF.
bool is_valid_utf8(const uint8_t* bytes, uint64_t length);

namespace detail {

// The bytes a string scan walks over without stopping: 0x20-0x7F except the
// quote and the backslash.
inline constexpr auto PLAIN_BYTE = [] {
    struct Table {
        bool plain[256];
    } table{};
    for (int b = 0x20; b < 0x80; ++b) {
        table.plain[b] = b != '"' && b != '\\';
    }
    return table;
}();

// Everything past the common case: the scan stopped at `p` on a byte that is
// not plain (or at the end of the input) and the string so far is plain ASCII.
// Handles escapes, non-ASCII content, the end of the input and every fault.
Result<DecodedString> decode_string_rest(Scanner& scanner, ScratchBuffer& scratch, bool allow_partial, uint64_t p);

// The key is decoded and the next byte is not its colon.
Result<DecodedString> find_key_colon(Scanner& scanner, const DecodedString& key);

}  // namespace detail

// On entry the scanner's index is at the opening quote. On success it is one
// past the closing quote (or at the end of the input for a partial ending,
// only possible with allow_partial). On failure it stays at the opening quote.
//
// Every string and key goes through here, so the common case, a string of
// plain ASCII without escapes, is inline and returns a span of the input.
inline Result<DecodedString> decode_string(Scanner& scanner, ScratchBuffer& scratch, bool allow_partial) {
    const uint8_t* const data = scanner.data;
    const uint64_t len = scanner.len;
    const uint64_t start = scanner.index + 1;
    uint64_t p = start;
    for (;;) {
        if (p + simd::STRING_BLOCK <= len) [[likely]] {
            const unsigned k = simd::first_special(data + p);
            p += k;
            if (k == simd::STRING_BLOCK) continue;
        } else {
            while (p < len && detail::PLAIN_BYTE.plain[data[p]]) ++p;
        }
        break;
    }
    if (p < len && data[p] == '"') [[likely]] {
        scanner.index = p + 1;
        return DecodedString{data + start, p - start, StringOrigin::Input, true};
    }
    return detail::decode_string_rest(scanner, scratch, allow_partial, p);
}

// Decodes an object key (as decode_string without partial ending), then skips
// whitespace and consumes the `:`. Past the key, the index is left at the
// fault: at the end of the input (EofInObject) or at the byte that is not the
// colon (ExpectedColon).
inline Result<DecodedString> decode_key(Scanner& scanner, ScratchBuffer& scratch) {
    Result<DecodedString> key = decode_string(scanner, scratch, false);
    if (!key.ok()) [[unlikely]] {
        return key;
    }
    const uint64_t i = scanner.index;
    if (i < scanner.len && scanner.data[i] == ':') [[likely]] {
        scanner.index = i + 1;
        return key;
    }
    return detail::find_key_colon(scanner, key.value());
}

}  // namespace taldo
