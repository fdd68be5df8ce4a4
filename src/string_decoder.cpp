#include "string_decoder.hpp"

#include <algorithm>

namespace taldo {

namespace {

constexpr uint64_t NONE = UINT64_MAX;

// Escaped strings are usually short: reserving the whole rest of a large
// document up front would waste memory, reserving nothing would mean growing
// in small steps.
constexpr uint64_t SCRATCH_FIRST_RESERVATION = 8192;

// The byte an escape letter stands for; 0 for letters that are no simple
// escape (no simple escape stands for 0).
constexpr auto SIMPLE_ESCAPE = [] {
    struct Table {
        uint8_t byte[256];
    } table{};
    table.byte['"'] = '"';
    table.byte['\\'] = '\\';
    table.byte['/'] = '/';
    table.byte['b'] = 0x08;
    table.byte['f'] = 0x0C;
    table.byte['n'] = 0x0A;
    table.byte['r'] = 0x0D;
    table.byte['t'] = 0x09;
    return table;
}();

// Hex digit values; 0xFF for bytes that are no hex digit.
constexpr auto HEX_VALUE = [] {
    struct Table {
        uint8_t value[256];
    } table{};
    for (auto& v : table.value) v = 0xFF;
    for (int i = 0; i < 10; ++i) table.value['0' + i] = static_cast<uint8_t>(i);
    for (int i = 0; i < 6; ++i) {
        table.value['a' + i] = static_cast<uint8_t>(10 + i);
        table.value['A' + i] = static_cast<uint8_t>(10 + i);
    }
    return table;
}();

// The first quote, backslash or control byte at or after p, or len. The first
// non-ASCII byte passed over is recorded in `first_non_ascii` (if it is still
// NONE): once one is known the cheaper test that lets non-ASCII bytes through
// is enough.
inline uint64_t scan_run(const uint8_t* data, uint64_t p, uint64_t len, uint64_t& first_non_ascii) {
    while (p + simd::STRING_BLOCK <= len) {
        if (first_non_ascii == NONE) {
            const unsigned k = simd::first_special(data + p);
            if (k == simd::STRING_BLOCK) {
                p += simd::STRING_BLOCK;
                continue;
            }
            if (data[p + k] < 0x80) {
                return p + k;
            }
            first_non_ascii = p + k;
        }
        const unsigned k = simd::first_quote_backslash_control(data + p);
        if (k != simd::STRING_BLOCK) {
            return p + k;
        }
        p += simd::STRING_BLOCK;
    }
    for (; p < len; ++p) {
        const uint8_t byte = data[p];
        if (byte >= 0x80) {
            if (first_non_ascii == NONE) first_non_ascii = p;
        } else if (!detail::PLAIN_BYTE.plain[byte]) {
            return p;
        }
    }
    return len;
}

struct Utf8Check {
    uint64_t valid;  // length of the valid prefix
    bool cut;        // the fault is a sequence that the end of the bytes cuts short
};

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

inline bool is_continuation(uint8_t byte) { return (byte & 0xC0) == 0x80; }

// The sequence at `s` needs more than the `available` bytes left: it is cut
// short if those it has are right so far.
Utf8Check cut_sequence(const uint8_t* s, uint64_t available, uint64_t offset, const Lead& lead) {
    bool right = available < 2 || (s[1] >= lead.low && s[1] <= lead.high);
    for (uint64_t k = 2; k < available; ++k) right = right && is_continuation(s[k]);
    return {offset, right};
}

// Where the first fault of invalid bytes lies and whether the end cuts it
// short. Only run once a fault is known to exist.
Utf8Check locate_utf8_fault(const uint8_t* s, uint64_t n) {
    uint64_t i = 0;
    while (i < n) {
        const Lead lead = LEADS.lead[s[i]];
        if (lead.trailing == NOT_A_LEAD) return {i, false};
        if (n - i <= lead.trailing) return cut_sequence(s + i, n - i, i, lead);
        if (lead.trailing >= 1 && (s[i + 1] < lead.low || s[i + 1] > lead.high)) return {i, false};
        for (uint64_t k = 2; k <= lead.trailing; ++k) {
            if (!is_continuation(s[i + k])) return {i, false};
        }
        i += lead.trailing + 1u;
    }
    return {n, false};
}

// UTF-8 as a state machine whose transitions are packed into one 64-bit row
// per byte: the next state is the 6 bits of ROW[byte] at the offset that is
// the current state. One load and one shift per byte, with no branch that
// depends on the text, so mixed 1- to 4-byte text costs the same as any other.
namespace dfa {
constexpr uint64_t ACCEPT = 0, ERROR = 6, TAIL1 = 12, TAIL2 = 18, TAIL3 = 24;
// The second byte after E0, ED, F0 and F4 has a narrower range.
constexpr uint64_t AFTER_E0 = 30, AFTER_ED = 36, AFTER_F0 = 42, AFTER_F4 = 48;

constexpr uint64_t next_state(uint64_t state, int b) {
    const bool tail = b >= 0x80 && b <= 0xBF;
    switch (state) {
        case ACCEPT:
            if (b < 0x80) return ACCEPT;
            if (b >= 0xC2 && b <= 0xDF) return TAIL1;
            if (b == 0xE0) return AFTER_E0;
            if (b == 0xED) return AFTER_ED;
            if (b >= 0xE1 && b <= 0xEF) return TAIL2;
            if (b == 0xF0) return AFTER_F0;
            if (b == 0xF4) return AFTER_F4;
            if (b >= 0xF1 && b <= 0xF3) return TAIL3;
            return ERROR;
        case TAIL1:
            return tail ? ACCEPT : ERROR;
        case TAIL2:
            return tail ? TAIL1 : ERROR;
        case TAIL3:
            return tail ? TAIL2 : ERROR;
        case AFTER_E0:
            return b >= 0xA0 && b <= 0xBF ? TAIL1 : ERROR;
        case AFTER_ED:
            return b >= 0x80 && b <= 0x9F ? TAIL1 : ERROR;
        case AFTER_F0:
            return b >= 0x90 && b <= 0xBF ? TAIL2 : ERROR;
        case AFTER_F4:
            return b >= 0x80 && b <= 0x8F ? TAIL2 : ERROR;
        default:
            return ERROR;
    }
}

constexpr auto ROWS = [] {
    struct Table {
        uint64_t row[256];
    } table{};
    for (int b = 0; b < 256; ++b) {
        for (uint64_t state = ACCEPT; state <= AFTER_F4; state += 6) {
            table.row[b] |= next_state(state, b) << state;
        }
    }
    return table;
}();

// The state is kept as the whole shifted row: only its low 6 bits count, and
// masking the shift count to 6 bits is free on common machines, so each byte
// costs one shift on the dependency chain.
inline uint64_t step(uint64_t row_state, uint8_t byte) { return ROWS.row[byte] >> (row_state & 63); }
inline uint64_t state_of(uint64_t row_state) { return row_state & 63; }
}  // namespace dfa

Utf8Check check_utf8(const uint8_t* s, uint64_t n) {
    constexpr uint64_t HIGHS = 0x8080808080808080ULL;
    uint64_t state = dfa::ACCEPT;
    uint64_t i = 0;
    while (i + 16 <= n) {
        if (dfa::state_of(state) == dfa::ACCEPT) {
            uint64_t words[2];
            std::memcpy(words, s + i, 16);
            if (((words[0] | words[1]) & HIGHS) == 0) {
                i += 16;
                continue;
            }
        }
        for (unsigned k = 0; k < 16; ++k) state = dfa::step(state, s[i + k]);
        i += 16;
        if (dfa::state_of(state) == dfa::ERROR) [[unlikely]] {
            return locate_utf8_fault(s, n);
        }
    }
    for (; i < n; ++i) state = dfa::step(state, s[i]);
    if (dfa::state_of(state) != dfa::ACCEPT) [[unlikely]] {
        return locate_utf8_fault(s, n);
    }
    return {n, false};
}

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

// A \u escape read, or the fault that ends the decode. Kept free of ParseError
// (and its owned payload) because escape-heavy strings read many of these.
struct UnicodeEscape {
    bool ok;
    ErrorKind fault;
    uint32_t code_point;
    uint64_t index;  // ok: the escape's last hex digit; otherwise the fault's index
};

inline UnicodeEscape escape_fault(ErrorKind kind, uint64_t index) { return {false, kind, 0, index}; }

// The value of the four hex digits after the `u` at index u (u + 5 <= len).
// When one of them is no hex digit, `bad_digit` becomes its index.
inline uint32_t hex_quad(const uint8_t* data, uint64_t u, uint64_t& bad_digit) {
    const uint8_t a = HEX_VALUE.value[data[u + 1]], b = HEX_VALUE.value[data[u + 2]];
    const uint8_t c = HEX_VALUE.value[data[u + 3]], d = HEX_VALUE.value[data[u + 4]];
    if (((a | b | c | d) & 0xF0) != 0) [[unlikely]] {
        uint64_t i = u + 1;
        while (HEX_VALUE.value[data[i]] != 0xFF) ++i;
        bad_digit = i;
        return 0;
    }
    return (uint32_t{a} << 12) | (uint32_t{b} << 8) | (uint32_t{c} << 4) | d;
}

// The \u escape whose `u` is at index u, together with the trailing surrogate
// escape a leading one needs. Every unpaired surrogate is an error, so none
// reaches the output. EofInString means the input ended inside the escape.
UnicodeEscape unicode_escape(const uint8_t* data, uint64_t len, uint64_t u) {
    if (len - u < 5) {
        return escape_fault(ErrorKind::EofInString, len);
    }
    uint64_t bad_digit = NONE;
    const uint32_t high = hex_quad(data, u, bad_digit);
    if (bad_digit != NONE) {
        return escape_fault(ErrorKind::InvalidEscape, bad_digit);
    }
    if (high < 0xD800 || high > 0xDFFF) [[likely]] {
        return {true, ErrorKind::InvalidEscape, high, u + 4};
    }
    if (high >= 0xDC00) {
        return escape_fault(ErrorKind::LoneLeadingSurrogate, u + 4);
    }
    const uint64_t e = u + 5;
    if (len - e < 2) {
        if (e == len || data[e] == '\\') {
            return escape_fault(ErrorKind::EofInString, len);
        }
        return escape_fault(ErrorKind::EofInHexEscape, e);
    }
    if (data[e] != '\\') {
        return escape_fault(ErrorKind::EofInHexEscape, e);
    }
    if (data[e + 1] != 'u') {
        return escape_fault(ErrorKind::EofInHexEscape, e + 1);
    }
    const uint64_t u2 = e + 1;
    if (len - u2 < 5) {
        return escape_fault(ErrorKind::EofInString, len);
    }
    const uint32_t low = hex_quad(data, u2, bad_digit);
    if (bad_digit != NONE) {
        return escape_fault(ErrorKind::InvalidEscape, bad_digit);
    }
    if (low < 0xDC00 || low > 0xDFFF) {
        return escape_fault(ErrorKind::LoneLeadingSurrogate, u2 + 4);
    }
    return {true, ErrorKind::InvalidEscape, 0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00), u2 + 4};
}

// As scan_run, and copies the bytes it passes over into the scratch buffer at
// `out`, which advances with p. Whole blocks are copied before they are
// tested; the bytes past the stop lie beyond `out` and are overwritten later.
// False when memory is exhausted.
inline bool scan_run_copying(const uint8_t* data, uint64_t& p, uint64_t len, uint64_t& first_non_ascii,
                             ScratchBuffer& scratch, uint64_t& out) {
    while (p + simd::STRING_BLOCK <= len) {
        if (!scratch.reserve(out + simd::STRING_BLOCK)) [[unlikely]] {
            return false;
        }
        std::memcpy(scratch.data() + out, data + p, simd::STRING_BLOCK);
        unsigned k;
        if (first_non_ascii == NONE) {
            k = simd::first_special(data + p);
            if (k != simd::STRING_BLOCK && data[p + k] >= 0x80) {
                first_non_ascii = p + k;
                k = simd::first_quote_backslash_control(data + p);
            }
        } else {
            k = simd::first_quote_backslash_control(data + p);
        }
        p += k;
        out += k;
        if (k != simd::STRING_BLOCK) {
            return true;
        }
    }
    if (!scratch.reserve(out + simd::STRING_BLOCK)) [[unlikely]] {
        return false;
    }
    uint8_t* const to = scratch.data();
    for (; p < len; ++p, ++out) {
        const uint8_t byte = data[p];
        if (byte >= 0x80) {
            if (first_non_ascii == NONE) first_non_ascii = p;
        } else if (!detail::PLAIN_BYTE.plain[byte]) {
            break;
        }
        to[out] = byte;
    }
    return true;
}

}  // namespace

bool is_valid_utf8(const uint8_t* bytes, uint64_t length) { return check_utf8(bytes, length).valid == length; }

namespace detail {

// The UTF-8 check works on the raw runs of the input between escapes, not on
// the decoded bytes: a fault is then reported at its own position in the
// input. That is equivalent to checking the decoded bytes, because an escape
// always yields complete, valid UTF-8 that begins with a lead byte: it can
// neither complete a sequence that a run leaves open nor be completed by one.
// A run checked at an escape or at the closing quote was not cut by the end of
// the input, so a sequence left open there is a fault in every mode; only the
// run that meets the end of the input may drop an unfinished character when
// partial strings are allowed. The first fault is kept until the string is
// done, so that faults the scan finds (control bytes, bad escapes, the end of
// the input) are reported first, wherever they lie.
Result<DecodedString> decode_string_rest(Scanner& scanner, ScratchBuffer& scratch, bool allow_partial, uint64_t p) {
    const uint8_t* const data = scanner.data;
    const uint64_t len = scanner.len;
    const uint64_t start = scanner.index + 1;
    uint64_t run_non_ascii = NONE;  // first non-ASCII byte of the current raw run
    uint64_t utf8_fault = NONE;     // first invalid byte of a raw run
    bool ascii_only = true;

    // A raw run that ends at `end` for a reason other than the end of the input.
    auto check_closed_run = [&](uint64_t end) {
        if (run_non_ascii == NONE) return;
        ascii_only = false;
        if (utf8_fault != NONE) return;
        const Utf8Check check = check_utf8(data + run_non_ascii, end - run_non_ascii);
        if (check.valid != end - run_non_ascii) {
            utf8_fault = run_non_ascii + check.valid;
        }
    };
    // The raw run that meets the end of the input; returns where the bytes to
    // keep end.
    auto check_last_run = [&]() -> uint64_t {
        if (run_non_ascii == NONE) return len;
        ascii_only = false;
        const Utf8Check check = check_utf8(data + run_non_ascii, len - run_non_ascii);
        if (check.valid == len - run_non_ascii) return len;
        if (check.cut) return run_non_ascii + check.valid;
        if (utf8_fault == NONE) utf8_fault = run_non_ascii + check.valid;
        return len;
    };

    // Without escapes so far: the result can still be a span of the input.
    p = scan_run(data, p, len, run_non_ascii);
    if (p == len) {
        if (!allow_partial) {
            return ParseError(ErrorKind::EofInString, len);
        }
        const uint64_t end = check_last_run();
        if (utf8_fault != NONE) {
            return ParseError(ErrorKind::InvalidCodePoint, utf8_fault);
        }
        scanner.index = len;
        return DecodedString{data + start, end - start, StringOrigin::Input, ascii_only};
    }
    if (data[p] == '"') {
        check_closed_run(p);
        if (utf8_fault != NONE) {
            return ParseError(ErrorKind::InvalidCodePoint, utf8_fault);
        }
        scanner.index = p + 1;
        return DecodedString{data + start, p - start, StringOrigin::Input, ascii_only};
    }
    if (data[p] != '\\') {
        return ParseError(ErrorKind::ControlCharInString, p);
    }

    // The first escape: from here on the value is assembled in the scratch
    // buffer, whose length is kept in `out` until the end.
    check_closed_run(p);
    scratch.clear();
    if (!scratch.reserve(std::max(std::min(SCRATCH_FIRST_RESERVATION, len - start), p - start + 4))) [[unlikely]] {
        return ScratchBuffer::out_of_memory();
    }
    if (p != start) {
        std::memcpy(scratch.data(), data + start, p - start);
    }
    uint64_t out = p - start;
    bool ended_in_escape = false;
    for (;;) {
        // p is at a backslash.
        if (p + 1 == len) {
            ended_in_escape = true;
            break;
        }
        if (!scratch.reserve(out + 4)) [[unlikely]] {
            return ScratchBuffer::out_of_memory();
        }
        const uint8_t letter = data[p + 1];
        if (const uint8_t simple = SIMPLE_ESCAPE.byte[letter]; simple != 0) {
            scratch.data()[out++] = simple;
            p += 2;
        } else if (letter == 'u') {
            const UnicodeEscape escape = unicode_escape(data, len, p + 1);
            if (!escape.ok) {
                if (escape.fault == ErrorKind::EofInString) {
                    ended_in_escape = true;
                    break;
                }
                return ParseError(escape.fault, escape.index);
            }
            out += write_utf8(scratch.data() + out, escape.code_point);
            ascii_only = false;
            p = escape.index + 1;
        } else {
            return ParseError(ErrorKind::InvalidEscape, p + 1);
        }
        run_non_ascii = NONE;
        if (p < len && data[p] == '\\') {
            continue;  // escapes in a row: no raw run between them
        }
        if (!scan_run_copying(data, p, len, run_non_ascii, scratch, out)) [[unlikely]] {
            return ScratchBuffer::out_of_memory();
        }
        if (p == len) break;
        const uint8_t byte = data[p];
        if (byte == '"') {
            check_closed_run(p);
            if (utf8_fault != NONE) {
                return ParseError(ErrorKind::InvalidCodePoint, utf8_fault);
            }
            scanner.index = p + 1;
            scratch.truncate(out);
            return DecodedString{scratch.data(), out, StringOrigin::Scratch, ascii_only};
        }
        if (byte != '\\') {
            return ParseError(ErrorKind::ControlCharInString, p);
        }
        check_closed_run(p);
    }

    // The input ended inside the string, after at least one escape. An
    // unfinished escape contributes nothing.
    if (!allow_partial) {
        return ParseError(ErrorKind::EofInString, len);
    }
    if (!ended_in_escape) {
        out -= len - check_last_run();
    }
    if (utf8_fault != NONE) {
        return ParseError(ErrorKind::InvalidCodePoint, utf8_fault);
    }
    scanner.index = len;
    scratch.truncate(out);
    return DecodedString{scratch.data(), out, StringOrigin::Scratch, ascii_only};
}

Result<DecodedString> find_key_colon(Scanner& scanner, const DecodedString& key) {
    uint64_t i = scanner.index;
    while (i < scanner.len && is_whitespace(scanner.data[i])) ++i;
    if (i == scanner.len) {
        scanner.index = i;
        return ParseError(ErrorKind::EofInObject, i);
    }
    if (scanner.data[i] != ':') {
        scanner.index = i;
        return ParseError(ErrorKind::ExpectedColon, i);
    }
    scanner.index = i + 1;
    return key;
}

}  // namespace detail

}  // namespace taldo
