// JSON string bodies to UTF-8 bytes.
//
// A string without escapes comes back as a span of the input (no copy); one
// with escapes is assembled in the call's single ScratchBuffer. The result is
// always valid UTF-8. A string with non-ASCII content also comes with its code
// points, so that its str is made without decoding the UTF-8 a second time.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "errors.hpp"
#include "native_memory.hpp"
#include "scanner.hpp"
#include "simd/string.hpp"

namespace taldo {

enum class StringOrigin : uint8_t { Input, Scratch };

// The code points of a non-ASCII string, kept in the ScratchBuffer beside its
// UTF-8 bytes, so that its str is made without decoding those a second time.
struct CodePoints {
    const uint32_t* data;
    uint64_t count;
    // The bitwise OR of the code points: below 0x80, 0x100 or 0x10000 exactly
    // when all of them are, so it picks the narrowest str kind as their
    // maximum would.
    uint32_t bits;
};

// Valid as long as the input (origin Input) or until the next decode that uses
// the same ScratchBuffer (origin Scratch): consumers copy before decoding again.
struct DecodedString {
    const uint8_t* bytes = nullptr;
    uint64_t length = 0;
    // When ascii_only is false: the value's code points. They lie in the
    // ScratchBuffer whatever the origin, so they are valid only until the
    // next decode.
    const CodePoints* code_points = nullptr;
    StringOrigin origin = StringOrigin::Input;
    // Every byte below 0x80 and no \u escape decoded.
    bool ascii_only = true;
};

// A growable byte buffer owned by one from_json call and reused by every
// escaped string of it, with a second area for the code points of non-ASCII
// strings. Starts with nothing allocated.
class ScratchBuffer {
public:
    ScratchBuffer() = default;
    ScratchBuffer(const ScratchBuffer&) = delete;
    ScratchBuffer& operator=(const ScratchBuffer&) = delete;
    ~ScratchBuffer() { free_memory(); }

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
        auto* fresh = static_cast<uint8_t*>(native_realloc(data_, grown));
        if (fresh == nullptr) {
            return false;
        }
        data_ = fresh;
        capacity_ = grown;
        return true;
    }

    uint32_t* points() { return points_; }
    uint64_t points_capacity() const { return points_capacity_; }

    // Records the code points of the string just decoded, for its DecodedString.
    const CodePoints* set_code_points(uint64_t count, uint32_t bits) {
        summary_ = CodePoints{points_, count, bits};
        return &summary_;
    }

    // Room for at least `wanted` code points, grown like the bytes. The code
    // points written so far are kept.
    [[nodiscard]] bool reserve_points(uint64_t wanted) {
        if (wanted <= points_capacity_) {
            return true;
        }
        uint64_t grown = points_capacity_ * 2;
        if (grown < wanted) grown = wanted;
        if (grown < 8) grown = 8;
        if (grown > UINT64_MAX / sizeof(uint32_t)) return false;
        auto* fresh = static_cast<uint32_t*>(native_realloc(points_, grown * sizeof(uint32_t)));
        if (fresh == nullptr) {
            return false;
        }
        points_ = fresh;
        points_capacity_ = grown;
        return true;
    }

    [[nodiscard]] bool append(const uint8_t* bytes, uint64_t count) {
        if (!reserve(length_ + count)) return false;
        if (count != 0) std::memcpy(data_ + length_, bytes, count);
        length_ += count;
        return true;
    }

    static ParseError out_of_memory() { return ParseError::fatal("out of memory for the scratch buffer"); }

    // Most calls never allocate either area: no call into the allocator then.
    void free_memory() {
        if (data_ != nullptr) {
            native_free(data_);
            data_ = nullptr;
            length_ = capacity_ = 0;
        }
        if (points_ != nullptr) {
            native_free(points_);
            points_ = nullptr;
            points_capacity_ = 0;
        }
    }

private:
    uint8_t* data_ = nullptr;
    uint64_t length_ = 0;
    uint64_t capacity_ = 0;
    uint32_t* points_ = nullptr;
    uint64_t points_capacity_ = 0;
    CodePoints summary_;  // set before each use: left uninitialised, like the buffers' content
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

// Everything past the common case: the scan stopped at `p` (on a byte that is
// not plain, at the end of the input, or because the string is long) and the
// string so far is plain ASCII.
// Handles escapes, non-ASCII content, the end of the input and every fault.
Result<DecodedString> decode_string_rest(Scanner& scanner, ScratchBuffer& scratch, bool allow_partial, uint64_t p);

// The scan of long strings: 16 bytes at a time, or 32 on x86-64 processors
// with AVX2. The widest the processor has is chosen when the module loads;
// tests force either (false if the processor lacks it).
enum class ScanBody : uint8_t { Block16, Avx2 };
bool set_scan_body(ScanBody body);
ScanBody best_scan_body();

// Past this many bytes a string leaves the inline scan for the long-string one.
constexpr uint64_t INLINE_SCAN_LIMIT = 128;

// The key is decoded and the next byte is not its colon: skips whitespace and
// consumes the colon, or fails.
Status find_key_colon(Scanner& scanner);

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
            const simd::Hits hits = simd::special_hits(data + p);
            if (hits == 0) {
                p += simd::STRING_BLOCK;
                if (p - start < detail::INLINE_SCAN_LIMIT) continue;
                break;
            }
            p += simd::first_hit(hits);
        } else {
            while (p < len && detail::PLAIN_BYTE.plain[data[p]]) ++p;
        }
        break;
    }
    if (p < len && data[p] == '"') [[likely]] {
        scanner.index = p + 1;
        return DecodedString{.bytes = data + start, .length = p - start};
    }
    return detail::decode_string_rest(scanner, scratch, allow_partial, p);
}

// Decodes an object key (as decode_string without partial ending), then skips
// whitespace and consumes the `:`. Past the key, the index is left at the
// fault: at the end of the input (EofInObject) or at the byte that is not the
// colon (ExpectedColon).
//
// Every path returns the one result object, so that it is built in place.
inline Result<DecodedString> decode_key(Scanner& scanner, ScratchBuffer& scratch) {
    Result<DecodedString> key = decode_string(scanner, scratch, false);
    if (key.ok()) [[likely]] {
        const uint64_t i = scanner.index;
        if (i < scanner.len && scanner.data[i] == ':') [[likely]] {
            scanner.index = i + 1;
        } else if (Status colon = detail::find_key_colon(scanner); !colon.ok()) {
            key = colon.take_error();
        }
    }
    return key;
}

}  // namespace taldo
