// The byte tables of JSON strings, shared by the string decoder and the
// stream decoder's resumable string reader.
#pragma once

#include <cstdint>

namespace taldo::string_tables {

// The byte an escape letter stands for; 0 for letters that are no simple
// escape (no simple escape stands for 0).
constexpr auto SIMPLE_ESCAPE = [] {
    struct Table {
        uint8_t byte[256];
    } table{};
    table.byte[static_cast<uint8_t>('"')] = '"';
    table.byte[static_cast<uint8_t>('\\')] = '\\';
    table.byte[static_cast<uint8_t>('/')] = '/';
    table.byte[static_cast<uint8_t>('b')] = 0x08;
    table.byte[static_cast<uint8_t>('f')] = 0x0C;
    table.byte[static_cast<uint8_t>('n')] = 0x0A;
    table.byte[static_cast<uint8_t>('r')] = 0x0D;
    table.byte[static_cast<uint8_t>('t')] = 0x09;
    return table;
}();

// Hex digit values; NO_HEX for bytes that are no hex digit.
constexpr uint8_t NO_HEX = 0xFF;
constexpr auto HEX_VALUE = [] {
    struct Table {
        uint8_t value[256];
    } table{};
    for (auto& v : table.value) v = NO_HEX;
    for (int i = 0; i < 10; ++i) table.value['0' + i] = static_cast<uint8_t>(i);
    for (int i = 0; i < 6; ++i) {
        table.value['a' + i] = static_cast<uint8_t>(10 + i);
        table.value['A' + i] = static_cast<uint8_t>(10 + i);
    }
    return table;
}();

// For each UTF-8 lead byte, the number of continuation bytes after it and the
// range of the first of them, narrower after E0 and F0 (which would otherwise
// begin overlong forms), ED (surrogates) and F4 (values above U+10FFFF).
struct Lead {
    uint8_t trailing;
    uint8_t low;
    uint8_t high;
};
constexpr uint8_t NOT_A_LEAD = 0xFF;
constexpr auto LEADS = [] {
    struct Table {
        Lead lead[256];
    } table{};
    for (int b = 0; b < 256; ++b) {
        uint8_t trailing = NOT_A_LEAD;  // continuation bytes, C0, C1 and F5-FF
        if (b < 0x80) trailing = 0;
        else if (b >= 0xC2 && b < 0xE0) trailing = 1;
        else if (b >= 0xE0 && b < 0xF0) trailing = 2;
        else if (b >= 0xF0 && b < 0xF5) trailing = 3;
        table.lead[b] = {trailing, 0x80, 0xBF};
    }
    table.lead[0xE0].low = 0xA0;
    table.lead[0xED].high = 0x9F;
    table.lead[0xF0].low = 0x90;
    table.lead[0xF4].high = 0x8F;
    return table;
}();

// Writes the code point as UTF-8; returns the number of bytes written (1-4).
inline unsigned write_utf8(uint8_t* out, uint32_t cp) {
    if (cp < 0x80) {
        out[0] = static_cast<uint8_t>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<uint8_t>(0xC0 | (cp >> 6));
        out[1] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<uint8_t>(0xE0 | (cp >> 12));
        out[1] = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<uint8_t>(0xF0 | (cp >> 18));
    out[1] = static_cast<uint8_t>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
    return 4;
}

}  // namespace taldo::string_tables
