#include "string_decoder.hpp"

#include <algorithm>
#include <bit>

#include "compiler.hpp"
#include "string_tables.hpp"

namespace taldo {

namespace {

constexpr uint64_t NONE = UINT64_MAX;

// Escaped strings are usually short: reserving the whole rest of a large
// document up front would waste memory, reserving nothing would mean growing
// in small steps.
constexpr uint64_t SCRATCH_FIRST_RESERVATION = 8192;

using namespace string_tables;

// The first quote, backslash or control byte at or after p, or len. The first
// non-ASCII byte passed over is recorded in `first_non_ascii` (if it is still
// NONE): once one is known the cheaper test that lets non-ASCII bytes through
// is enough. `Block` is a width of block test; the bytes after the last whole
// block are examined one by one.
template <unsigned Block, class Hits, Hits (*SpecialHits)(const uint8_t*),
          Hits (*QuoteBackslashControlHits)(const uint8_t*), unsigned (*FirstHit)(Hits)>
TALDO_ALWAYS_INLINE uint64_t scan_blocks(const uint8_t* data, uint64_t p, uint64_t len, uint64_t& first_non_ascii) {
    if (len < Block) {
        return p;
    }
    const uint64_t last = len - Block;  // the last p with a whole block
    if (first_non_ascii == NONE) {
        for (;; p += Block) {
            if (p > last) {
                return p;
            }
            const Hits hits = SpecialHits(data + p);
            if (hits == 0) continue;
            const uint64_t at = p + FirstHit(hits);
            if (data[at] < 0x80) {
                return at;
            }
            first_non_ascii = at;
            break;
        }
    }
    for (; p <= last; p += Block) {
        const Hits hits = QuoteBackslashControlHits(data + p);
        if (hits != 0) {
            return p + FirstHit(hits);
        }
    }
    return p;
}

inline uint64_t scan_tail(const uint8_t* data, uint64_t p, uint64_t len, uint64_t& first_non_ascii) {
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

inline uint64_t scan_run(const uint8_t* data, uint64_t p, uint64_t len, uint64_t& first_non_ascii) {
    uint64_t non_ascii = first_non_ascii;
    const uint64_t q = scan_blocks<simd::STRING_BLOCK, simd::Hits, simd::special_hits,
                                   simd::quote_backslash_control_hits, simd::first_hit>(data, p, len, non_ascii);
    first_non_ascii = non_ascii;
    return q + simd::STRING_BLOCK <= len ? q : scan_tail(data, q, len, first_non_ascii);
}

#if defined(TALDO_SIMD_AVX2)
// As scan_run, 32 bytes at a time; the last bytes of the input take the
// 16-byte body.
TALDO_TARGET_AVX2 uint64_t scan_run_avx2(const uint8_t* data, uint64_t p, uint64_t len, uint64_t& first_non_ascii) {
    uint64_t non_ascii = first_non_ascii;
    const uint64_t q = scan_blocks<simd::avx2::STRING_BLOCK, simd::avx2::Hits, simd::avx2::special_hits,
                                   simd::avx2::quote_backslash_control_hits, simd::avx2::first_hit>(
        data, p, len, non_ascii);
    first_non_ascii = non_ascii;
    return q + simd::avx2::STRING_BLOCK <= len ? q : scan_run(data, q, len, first_non_ascii);
}

detail::ScanBody detect_scan_body() { return simd::cpu_has_avx2() ? detail::ScanBody::Avx2 : detail::ScanBody::Block16; }
#else
detail::ScanBody detect_scan_body() { return detail::ScanBody::Block16; }
#endif

// Chosen once per process, from what the processor offers.
detail::ScanBody scan_body = detect_scan_body();

// scan_run with the widest body the processor has: for the long strings that
// leave the inline scan.
inline uint64_t scan_long_run(const uint8_t* data, uint64_t p, uint64_t len, uint64_t& first_non_ascii) {
#if defined(TALDO_SIMD_AVX2)
    if (scan_body == detail::ScanBody::Avx2) {
        // Most runs end within two blocks, too soon to repay the wide body's
        // setup.
        const uint64_t near = std::min(len, p + 2 * simd::STRING_BLOCK);
        uint64_t non_ascii = first_non_ascii;
        const uint64_t q = scan_blocks<simd::STRING_BLOCK, simd::Hits, simd::special_hits,
                                       simd::quote_backslash_control_hits, simd::first_hit>(data, p, near, non_ascii);
        first_non_ascii = non_ascii;
        if (q + simd::STRING_BLOCK <= near) {
            return q;
        }
        return scan_run_avx2(data, q, len, first_non_ascii);
    }
#endif
    return scan_run(data, p, len, first_non_ascii);
}

struct Utf8Check {
    uint64_t valid;  // length of the valid prefix
    bool cut;        // the fault is a sequence that the end of the bytes cuts short
};

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

inline void store_le32(uint8_t* p, uint32_t w) {
    if constexpr (std::endian::native == std::endian::big) {
        w = (w >> 24) | ((w >> 8) & 0xFF00) | ((w << 8) & 0xFF0000) | (w << 24);
    }
    std::memcpy(p, &w, 4);
}

// As write_utf8, with a single 4-byte store: there must be room for 4 bytes,
// and those past the character's are overwritten later.
inline unsigned write_utf8_word(uint8_t* out, uint32_t cp) {
    uint32_t w;
    unsigned n;
    if (cp < 0x80) {
        w = cp;
        n = 1;
    } else if (cp < 0x800) {
        w = 0x80C0 | (cp >> 6) | ((cp & 0x3F) << 8);
        n = 2;
    } else if (cp < 0x10000) {
        w = 0x8080E0 | (cp >> 12) | ((cp & 0xFC0) << 2) | ((cp & 0x3F) << 16);
        n = 3;
    } else {
        w = 0x808080F0 | (cp >> 18) | ((cp & 0x3F000) >> 4) | ((cp & 0xFC0) << 10) | ((cp & 0x3F) << 24);
        n = 4;
    }
    store_le32(out, w);
    return n;
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

// The fault for a \u escape at index u that the input ends inside (u + 5 >
// len): the first of the bytes present that is no hex digit, or EofInString
// when every one of them is a hex digit and more input could finish it.
UnicodeEscape cut_escape_fault(const uint8_t* data, uint64_t len, uint64_t u) {
    for (uint64_t i = u + 1; i < len; ++i) {
        if (HEX_VALUE.value[data[i]] == 0xFF) {
            return escape_fault(ErrorKind::InvalidEscape, i);
        }
    }
    return escape_fault(ErrorKind::EofInString, len);
}

// The \u escape whose `u` is at index u, together with the trailing surrogate
// escape a leading one needs. Every unpaired surrogate is an error, so none
// reaches the output. EofInString means the input ended inside the escape.
UnicodeEscape unicode_escape(const uint8_t* data, uint64_t len, uint64_t u) {
    if (len - u < 5) {
        return cut_escape_fault(data, len, u);
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
        return cut_escape_fault(data, len, u2);
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

// Room kept past the end of what has been written, so that whole 16-byte
// blocks can be stored without testing how much of them counts.
constexpr uint64_t SLACK = simd::STRING_BLOCK;

// The four bytes at p as a little-endian word.
inline uint32_t load_le32(const uint8_t* p) {
    uint32_t w;
    std::memcpy(&w, p, 4);
    if constexpr (std::endian::native == std::endian::big) {
        w = (w >> 24) | ((w >> 8) & 0xFF00) | ((w << 8) & 0xFF0000) | (w << 24);
    }
    return w;
}

// The four bytes at p as a little-endian word. Bytes past `readable` (the end
// of the input) read as 0, which no sequence accepts as a continuation.
inline uint32_t load_sequence(const uint8_t* p, uint64_t readable) {
    if (readable >= 4) [[likely]] {
        return load_le32(p);
    }
    uint32_t w = 0;
    for (uint64_t k = 0; k < readable; ++k) w |= uint32_t{p[k]} << (8 * k);
    return w;
}

// The multi-byte sequence that begins the word `w` (its lead byte is 0x80 or
// above): its code point and length, or length 0 when it is not UTF-8 as RFC
// 3629 defines it. The masks test lead and continuation bits of all bytes at
// once; overlong forms, surrogates and values above U+10FFFF show in the code
// point itself.
struct Sequence {
    uint32_t code_point;
    unsigned length;
};
inline Sequence decode_sequence(uint32_t w) {
    if ((w & 0xFF) < 0xE0) {
        const uint32_t cp = ((w & 0x1F) << 6) | ((w >> 8) & 0x3F);
        return {cp, (w & 0xC0E0) == 0x80C0 && cp >= 0x80 ? 2u : 0u};
    }
    if ((w & 0xFF) < 0xF0) {
        const uint32_t cp = ((w & 0x0F) << 12) | ((w >> 2) & 0xFC0) | ((w >> 16) & 0x3F);
        return {cp, (w & 0xC0C0F0) == 0x8080E0 && cp >= 0x800 && (cp & 0xF800) != 0xD800 ? 3u : 0u};
    }
    const uint32_t cp = ((w & 0x07) << 18) | ((w << 4) & 0x3F000) | ((w >> 10) & 0xFC0) | ((w >> 24) & 0x3F);
    return {cp, (w & 0xC0C0C0F8) == 0x808080F0 && cp - 0x10000 < 0x100000 ? 4u : 0u};
}

// Checks the UTF-8 of [s, s + n) and writes its code points at `out`, which
// has room for n + SLACK of them, up to the first fault. Returns the length of
// the valid prefix (n when all of it is valid), advances `out` past the code
// points written and ORs into `bits` those of 0x80 and above. `readable` (at
// least n) bytes may be read at s; the byte at n, if any, is a quote, a
// backslash or a control byte, never a continuation, so a sequence cannot run
// past n and be taken as complete.
//
// One pass does both jobs: validating first and decoding afterwards would read
// every byte twice.
TALDO_ALWAYS_INLINE uint64_t utf8_to_points(const uint8_t* s, uint64_t n, uint64_t readable, uint32_t*& out,
                                            uint32_t& bits) {
    const uint8_t* p = s;
    const uint8_t* const end = s + n;
    // Four bytes can be read at every position before `words_end`, sixteen
    // at every position before `blocks_end`.
    const uint8_t* const words_end = readable >= 4 ? s + std::min(n, readable - 3) : s;
    const uint8_t* const blocks_end =
        readable >= simd::STRING_BLOCK ? s + (readable - (simd::STRING_BLOCK - 1)) : s;
    uint32_t* o = out;
    uint32_t seen = 0;
    while (p < words_end) {
        const uint32_t w = load_le32(p);
        if ((w & 0x80) == 0) {
            // A lone ASCII byte between wider characters is common in mixed
            // text; a block is worth it only when the next byte is ASCII too.
            if ((w & 0x8000) == 0 && p < blocks_end) {
                auto k = static_cast<uint64_t>(simd::first_non_ascii(p));
                simd::widen_block(p, o);
                if (k > static_cast<uint64_t>(end - p)) k = static_cast<uint64_t>(end - p);
                p += k;
                o += k;
            } else {
                *o++ = w & 0x7F;
                ++p;
            }
            continue;
        }
        // The code point is the bytes' sum less their marker bits; that is
        // only right once the marker bits have been checked, which the same
        // test does. Overlong forms, surrogates and values above U+10FFFF
        // show in the code point itself.
        const uint32_t b0 = w & 0xFF;
        uint32_t cp;
        if (b0 < 0xE0) {
            cp = (b0 << 6) + p[1] - 0x3080;
            if ((w & 0xC0E0) != 0x80C0 || cp < 0x80) break;
            p += 2;
        } else if (b0 < 0xF0) {
            cp = (b0 << 12) + (uint32_t{p[1]} << 6) + p[2] - 0xE2080;
            // Below U+0800 (cp >> 11 == 0) or a surrogate (0x1B).
            if ((w & 0xC0C0F0) != 0x8080E0 || ((0x08000001u >> (cp >> 11)) & 1) != 0) break;
            p += 3;
        } else {
            cp = (b0 << 18) + (uint32_t{p[1]} << 12) + (uint32_t{p[2]} << 6) + p[3] - 0x3C82080;
            if ((w & 0xC0C0C0F8) != 0x808080F0 || cp - 0x10000 >= 0x100000) break;
            p += 4;
        }
        *o++ = cp;
        seen |= cp;
    }
    // The last bytes of the input, where a word would reach past it.
    if (p >= words_end) {
        while (p < end) {
            const uint32_t w = load_sequence(p, readable - static_cast<uint64_t>(p - s));
            if ((w & 0x80) == 0) {
                *o++ = w & 0x7F;
                ++p;
                continue;
            }
            const Sequence sequence = decode_sequence(w);
            if (sequence.length == 0) break;
            *o++ = sequence.code_point;
            seen |= sequence.code_point;
            p += sequence.length;
        }
    }
    out = o;
    bits |= seen;
    return static_cast<uint64_t>(p - s);
}

// Writes the ASCII bytes [s, s + n) as code points at `out` (room for n +
// SLACK); `readable` bytes may be read at s.
inline void widen_ascii(const uint8_t* s, uint64_t n, uint64_t readable, uint32_t* out) {
    uint64_t i = 0;
    for (; i < n && readable - i >= simd::STRING_BLOCK; i += simd::STRING_BLOCK) {
        simd::widen_block(s + i, out + i);
    }
    for (; i < n; ++i) out[i] = s[i];
}

// Whether the fault at the start of the n bytes at s is a sequence that the
// end of those bytes cuts short (and is right so far).
TALDO_COLD TALDO_NOINLINE bool cut_at_end(const uint8_t* s, uint64_t n) { return locate_utf8_fault(s, n).cut; }

// A string without escapes that holds non-ASCII bytes: [start, end) is its
// content, `end` the closing quote or, for a partial ending, the end of the
// input.
TALDO_ALWAYS_INLINE Result<DecodedString> decode_wide_span(Scanner& scanner, ScratchBuffer& scratch, uint64_t end,
                                                           bool at_input_end) {
    const uint8_t* const data = scanner.data;
    const uint64_t start = scanner.index + 1;
    const uint64_t n = end - start;
    if (!scratch.reserve_points(std::max(n, std::min(SCRATCH_FIRST_RESERVATION, scanner.len - start)) + SLACK))
        [[unlikely]] {
        return ScratchBuffer::out_of_memory();
    }
    uint32_t* out = scratch.points();
    uint32_t bits = 0;
    const uint64_t valid = utf8_to_points(data + start, n, scanner.len - start, out, bits);
    if (valid != n) [[unlikely]] {
        if (!at_input_end || !cut_at_end(data + start + valid, n - valid)) {
            return ParseError(ErrorKind::InvalidCodePoint, start + valid);
        }
    }
    scanner.index = at_input_end ? end : end + 1;
    return DecodedString{.bytes = data + start,
                         .length = valid,
                         .code_points = scratch.set_code_points(static_cast<uint64_t>(out - scratch.points()), bits),
                         .ascii_only = false};
}

// The value of four hex digits as the OR of one entry per digit, each already
// shifted into place; a byte that is no hex digit gives -1, so any such byte
// makes the result negative.
constexpr auto HEX_QUAD = [] {
    struct Table {
        int32_t digit[4][256];
    } table{};
    for (int k = 0; k < 4; ++k) {
        for (int b = 0; b < 256; ++b) {
            const uint8_t v = HEX_VALUE.value[b];
            table.digit[k][b] = v == 0xFF ? -1 : int32_t{v} << (12 - 4 * k);
        }
    }
    return table;
}();

inline int32_t hex_quad_fast(const uint8_t* digits) {
    return HEX_QUAD.digit[0][digits[0]] | HEX_QUAD.digit[1][digits[1]] | HEX_QUAD.digit[2][digits[2]] |
           HEX_QUAD.digit[3][digits[3]];
}

// Why the assembly loop stopped: the string is done, or something rare needs
// the general code (which then lets the loop go on).
enum class Stop : uint8_t {
    Quote,       // at the closing quote
    Edge,        // near the end of the input, or the buffers need to grow first
    Widen,       // a raw non-ASCII byte comes: the code points must be kept from here on
    SlowEscape,  // an escape the loop does not take: the first \\u, lone surrogates, faults
    NonAscii,    // a raw non-ASCII byte, which needs the UTF-8 check
    Control,     // a control byte
};

// A string with escapes, assembled in the scratch buffer: its UTF-8 bytes and,
// once the first non-ASCII character has come (`wide`), its code points too.
//
// Room: no step writes more bytes than it reads, so `out` never exceeds
// `p - start`; while p stays at or below `limit` the bytes therefore have room
// for a whole block more. There are never more code points than bytes, and
// the code points' capacity follows the bytes', so the same holds for them.
struct Assembly {
    const uint8_t* data;
    uint64_t len;
    uint64_t start;
    ScratchBuffer& scratch;
    uint64_t p;           // the next input byte
    uint64_t out = 0;     // bytes written
    uint64_t count = 0;   // code points written, once wide
    uint64_t limit = 0;   // see above
    uint64_t edge = 0;    // the loop stops past this: min(limit, len - 16)
    uint32_t bits = 0;    // OR of the code points of 0x80 and above
    bool wide = false;
    uint8_t* bytes = nullptr;
    uint32_t* points = nullptr;

    // Room for `wanted` bytes (and as many code points once wide).
    [[nodiscard]] bool reserve(uint64_t wanted) {
        if (!scratch.reserve(wanted)) return false;
        if (wide && !scratch.reserve_points(scratch.capacity())) return false;
        bytes = scratch.data();
        points = scratch.points();
        limit = start + scratch.capacity() - SLACK;
        // A whole block (and a surrogate pair) can be read at every p up to
        // `edge`; the last bytes of the input take the general code.
        edge = len >= simd::STRING_BLOCK ? std::min(limit, len - simd::STRING_BLOCK) : 0;
        return true;
    }

    // From now on the code points are kept; the bytes so far are ASCII.
    [[nodiscard]] bool go_wide() {
        if (!scratch.reserve_points(scratch.capacity())) return false;
        points = scratch.points();
        widen_ascii(bytes, out, out, points);
        count = out;
        wide = true;
        return true;
    }

    void put(uint32_t code_point) {
        out += write_utf8(bytes + out, code_point);
        points[count++] = code_point;
        bits |= code_point;
    }
};

// The string the assembly holds, once it is complete.
inline DecodedString assembled(ScratchBuffer& scratch, const Assembly& a) {
    scratch.truncate(a.out);
    return DecodedString{.bytes = a.bytes,
                         .length = a.out,
                         .code_points = scratch.set_code_points(a.count, a.bits),
                         .origin = StringOrigin::Scratch,
                         .ascii_only = !a.wide};
}

// The common steps of an escaped string: simple escapes, \u escapes outside
// the surrogates, and runs of plain ASCII bytes a block at a time (copied, and
// widened to code points once wide, before they are tested; what lies past
// the stop is overwritten later). Everything else goes back to the caller.
// The state lives in locals meanwhile: the byte stores could alias it.
template <bool Wide>
Stop assemble(Assembly& a) {
    const uint8_t* const data = a.data;
    const uint64_t edge = a.edge;
    uint8_t* const bytes = a.bytes;
    uint32_t* const points = a.points;
    uint64_t p = a.p;
    uint64_t out = a.out;
    uint64_t count = a.count;
    uint32_t bits = a.bits;
    Stop stop;
    for (;;) {
        if (p > edge) [[unlikely]] {
            stop = Stop::Edge;
            break;
        }
        const uint8_t byte = data[p];
        if (byte == '\\') {
            const uint8_t letter = data[p + 1];
            if (const uint8_t simple = SIMPLE_ESCAPE.byte[letter]; simple != 0) {
                bytes[out++] = simple;
                if constexpr (Wide) points[count++] = simple;
                p += 2;
                continue;
            }
            // The first \u escape goes the slow way too: it makes the string
            // wide, but only once it has turned out complete.
            if (letter != 'u' || !Wide) [[unlikely]] {
                stop = Stop::SlowEscape;
                break;
            }
            if constexpr (Wide) {
                const int32_t value = hex_quad_fast(data + p + 2);
                uint32_t code_point = static_cast<uint32_t>(value);
                if (static_cast<uint32_t>(value - 0xD800) < 0x400) {
                    // A leading surrogate: with its trailing one right behind, a
                    // character beyond U+FFFF.
                    const int32_t low = data[p + 6] == '\\' && data[p + 7] == 'u' ? hex_quad_fast(data + p + 8) : -1;
                    if (static_cast<uint32_t>(low - 0xDC00) >= 0x400) [[unlikely]] {
                        stop = Stop::SlowEscape;
                        break;
                    }
                    code_point = 0x10000 + ((code_point - 0xD800) << 10) + static_cast<uint32_t>(low - 0xDC00);
                    p += 6;
                } else if (value < 0 || static_cast<uint32_t>(value - 0xDC00) < 0x400) [[unlikely]] {
                    stop = Stop::SlowEscape;
                    break;
                }
                out += write_utf8_word(bytes + out, code_point);
                points[count++] = code_point;
                bits |= code_point;
                p += 6;
                continue;
            }
        }
        if (detail::PLAIN_BYTE.plain[byte]) {
            if (!detail::PLAIN_BYTE.plain[data[p + 1]]) {
                // A run of one byte, common between escapes: cheaper alone.
                bytes[out++] = byte;
                if constexpr (Wide) points[count++] = byte;
                ++p;
                continue;
            }
            for (;;) {
                std::memcpy(bytes + out, data + p, simd::STRING_BLOCK);
                if constexpr (Wide) simd::widen_block(data + p, points + count);
                const unsigned k = simd::first_special(data + p);
                p += k;
                out += k;
                if constexpr (Wide) count += k;
                if (k != simd::STRING_BLOCK || p > edge) break;
            }
            continue;
        }
        stop = byte == '"' ? Stop::Quote : byte < 0x20 ? Stop::Control : Wide ? Stop::NonAscii : Stop::Widen;
        break;
    }
    a.p = p;
    a.out = out;
    a.count = count;
    a.bits = bits;
    return stop;
}

// From the first backslash at p on; the raw run before it, from the content
// start, has its first non-ASCII byte at `run_non_ascii` (or none).
//
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
TALDO_NOINLINE Result<DecodedString> decode_escaped(Scanner& scanner, ScratchBuffer& scratch, bool allow_partial,
                                                    uint64_t p, uint64_t run_non_ascii) {
    const uint8_t* const data = scanner.data;
    const uint64_t len = scanner.len;
    const uint64_t start = scanner.index + 1;
    uint64_t utf8_fault = NONE;  // first invalid byte of a raw run

    Assembly a{data, len, start, scratch, p};
    scratch.clear();
    if (!a.reserve(std::max(std::min(SCRATCH_FIRST_RESERVATION, len - start), p - start) + SLACK)) [[unlikely]] {
        return ScratchBuffer::out_of_memory();
    }
    std::memcpy(a.bytes, data + start, p - start);
    a.out = p - start;
    if (run_non_ascii != NONE) {
        a.out = 0;
        if (!a.go_wide()) [[unlikely]] {
            return ScratchBuffer::out_of_memory();
        }
        a.out = p - start;
        uint32_t* to = a.points;
        const uint64_t valid = utf8_to_points(data + start, p - start, len - start, to, a.bits);
        a.count = static_cast<uint64_t>(to - a.points);
        if (valid != p - start) {
            utf8_fault = start + valid;
        }
    }

    for (;;) {
        const Stop stop = a.wide ? assemble<true>(a) : assemble<false>(a);
        p = a.p;
        switch (stop) {
            case Stop::Quote:
            quote:
                if (utf8_fault != NONE) {
                    return ParseError(ErrorKind::InvalidCodePoint, utf8_fault);
                }
                scanner.index = p + 1;
                return assembled(scratch, a);
            case Stop::Edge:
                if (p > a.limit) {
                    if (!a.reserve(scratch.capacity() + 1)) [[unlikely]] {
                        return ScratchBuffer::out_of_memory();
                    }
                    continue;
                }
                // The last bytes of the input, one step at a time.
                if (p == len) {
                    break;
                }
                if (data[p] == '\\') {
                    goto slow_escape;
                }
                if (detail::PLAIN_BYTE.plain[data[p]]) {
                    a.bytes[a.out++] = data[p];
                    if (a.wide) a.points[a.count++] = data[p];
                    a.p = p + 1;
                    continue;
                }
                if (data[p] == '"') {
                    goto quote;
                }
                if (data[p] < 0x20) {
                    return ParseError(ErrorKind::ControlCharInString, p);
                }
                if (!a.wide) {
                    goto widen;
                }
                goto non_ascii;
            case Stop::Widen:
            widen:
                if (!a.go_wide()) [[unlikely]] {
                    return ScratchBuffer::out_of_memory();
                }
                continue;
            case Stop::Control:
                return ParseError(ErrorKind::ControlCharInString, p);
            case Stop::SlowEscape:
            slow_escape: {
                if (p + 1 == len) {
                    break;  // an unfinished escape contributes nothing
                }
                const uint8_t letter = data[p + 1];
                if (const uint8_t simple = SIMPLE_ESCAPE.byte[letter]; simple != 0) {
                    a.bytes[a.out++] = simple;
                    if (a.wide) a.points[a.count++] = simple;
                    a.p = p + 2;
                    continue;
                }
                if (letter != 'u') {
                    return ParseError(ErrorKind::InvalidEscape, p + 1);
                }
                const UnicodeEscape escape = unicode_escape(data, len, p + 1);
                if (!escape.ok) {
                    if (escape.fault == ErrorKind::EofInString) {
                        break;
                    }
                    return ParseError(escape.fault, escape.index);
                }
                if (!a.wide && !a.go_wide()) [[unlikely]] {
                    return ScratchBuffer::out_of_memory();
                }
                a.put(escape.code_point);
                a.p = escape.index + 1;
                continue;
            }
            case Stop::NonAscii:
            non_ascii: {
                // The rest of the raw run, checked from its first non-ASCII byte.
                uint64_t ignored = NONE;
                const uint64_t end = scan_long_run(data, p, len, ignored);
                uint64_t n = end - p;
                if (!a.reserve(a.out + n + SLACK)) [[unlikely]] {
                    return ScratchBuffer::out_of_memory();
                }
                std::memcpy(a.bytes + a.out, data + p, n);
                if (utf8_fault == NONE) {
                    uint32_t* to = a.points + a.count;
                    const uint64_t valid = utf8_to_points(data + p, n, len - p, to, a.bits);
                    a.count = static_cast<uint64_t>(to - a.points);
                    if (valid != n) [[unlikely]] {
                        if (end == len && allow_partial && cut_at_end(data + p + valid, n - valid)) {
                            n = valid;
                        } else {
                            utf8_fault = p + valid;
                        }
                    }
                }
                a.out += n;
                a.p = end;
                continue;
            }
        }
        break;  // the input ended inside the string
    }

    if (!allow_partial) {
        return ParseError(ErrorKind::EofInString, len);
    }
    if (utf8_fault != NONE) {
        return ParseError(ErrorKind::InvalidCodePoint, utf8_fault);
    }
    scanner.index = len;
    return assembled(scratch, a);
}

}  // namespace

bool is_valid_utf8(const uint8_t* bytes, uint64_t length) { return check_utf8(bytes, length).valid == length; }

namespace detail {

bool set_scan_body(ScanBody body) {
#if !defined(TALDO_SIMD_AVX2)
    if (body == ScanBody::Avx2) return false;
#else
    if (body == ScanBody::Avx2 && !simd::cpu_has_avx2()) return false;
#endif
    scan_body = body;
    return true;
}

ScanBody best_scan_body() { return detect_scan_body(); }

Result<DecodedString> decode_string_rest(Scanner& scanner, ScratchBuffer& scratch, bool allow_partial, uint64_t p) {
    const uint8_t* const data = scanner.data;
    const uint64_t len = scanner.len;
    const uint64_t start = scanner.index + 1;
    uint64_t run_non_ascii = NONE;

    // Without escapes so far: the result can still be a span of the input.
    p = scan_long_run(data, p, len, run_non_ascii);
    if (p < len && data[p] == '"') {
        if (run_non_ascii != NONE) {
            return decode_wide_span(scanner, scratch, p, false);
        }
        scanner.index = p + 1;
        return DecodedString{.bytes = data + start, .length = p - start};
    }
    if (p == len) {
        if (!allow_partial) {
            return ParseError(ErrorKind::EofInString, len);
        }
        if (run_non_ascii != NONE) {
            return decode_wide_span(scanner, scratch, len, true);
        }
        scanner.index = len;
        return DecodedString{.bytes = data + start, .length = len - start};
    }
    if (data[p] != '\\') {
        return ParseError(ErrorKind::ControlCharInString, p);
    }
    return decode_escaped(scanner, scratch, allow_partial, p, run_non_ascii);
}

Status find_key_colon(Scanner& scanner) {
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
    return ok_status();
}

}  // namespace detail

}  // namespace taldo
