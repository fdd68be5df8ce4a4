// The cursor over the input bytes of one document.
#pragma once

#include <cstdint>

#include "simd/whitespace.hpp"

namespace taldo {

struct Scanner {
    const uint8_t* data;  // borrowed for the call, never copied
    uint64_t len;
    uint64_t index;  // 0 <= index <= len; index == len means the input is exhausted

    bool at_end() const { return index >= len; }
    uint8_t peek() const { return data[index]; }

    // Afterwards either index == len or the byte at index is not whitespace.
    // Most gaps are one byte or none; a longer run (a line feed and the next
    // line's indentation) is passed over 16 bytes at a time.
    void skip_whitespace() {
        uint64_t i = index;
        if (i < len && is_whitespace(data[i])) {
            ++i;
            while (i + simd::WHITESPACE_BLOCK <= len) {
                const unsigned k = simd::first_non_whitespace(data + i);
                i += k;
                if (k != simd::WHITESPACE_BLOCK) {
                    index = i;
                    return;
                }
            }
            while (i < len && is_whitespace(data[i])) ++i;
        }
        index = i;
    }
};

}  // namespace taldo
