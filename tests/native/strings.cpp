// decode_string and decode_key on random strings whose value is known from
// how they were written: every mix of plain runs, simple and \u escapes,
// surrogate pairs and raw UTF-8, cut anywhere, and with one fault of a known
// kind and place put between any two characters.
#include <algorithm>
#include <string>
#include <vector>

#include "check.hpp"
#include "string_decoder.hpp"

namespace taldo::native {
namespace {

std::string utf8(uint32_t cp) {
    std::string out;
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | cp >> 6);
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | cp >> 12);
        out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | cp >> 18);
        out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
    return out;
}

std::string hex4(Rng& rng, uint32_t unit) {
    const char* digits = rng.one_in(2) ? "0123456789abcdef" : "0123456789ABCDEF";
    std::string out = "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) out += digits[unit >> shift & 0xF];
    return out;
}

// A code point of 1 to 4 UTF-8 bytes, never a surrogate.
uint32_t random_code_point(Rng& rng) {
    static constexpr uint32_t LIMITS[][2] = {{0, 0x7F}, {0x80, 0x7FF}, {0x800, 0xFFFF}, {0x10000, 0x10FFFF}};
    const auto& range = LIMITS[rng.below(4)];
    uint32_t cp = static_cast<uint32_t>(rng.between(range[0], range[1]));
    if (cp >= 0xD800 && cp <= 0xDFFF) cp -= 0x800;
    return cp;
}

// A string body as JSON text (with the opening quote, without the closing
// one) and the value it stands for.
struct Written {
    std::string text = "\"";
    std::string value;                 // UTF-8
    std::vector<uint32_t> points;      // the value's code points
    std::vector<uint64_t> text_ends;   // where each character ends in `text`
    std::vector<uint64_t> value_ends;  // and in `value`
    bool escaped = false;
    bool ascii_only = true;  // no byte of 0x80 or above and no \u escape

    void add(const std::string& written, uint32_t cp) {
        text += written;
        value += utf8(cp);
        points.push_back(cp);
        text_ends.push_back(text.size());
        value_ends.push_back(value.size());
    }
};

Written random_string(Rng& rng) {
    static constexpr std::string_view PLAIN = "abcdefghijklmnopqrstuvwxyz ABC012789 !#$%&'()*+,-./:;<=>?@[]^_`{|}~\x7f";
    static constexpr char SIMPLE[][2] = {{'"', '"'},  {'\\', '\\'}, {'/', '/'},  {'b', '\b'},
                                         {'f', '\f'}, {'n', '\n'},  {'r', '\r'}, {'t', '\t'}};
    Written w;
    const uint64_t pieces = rng.between(0, rng.one_in(8) ? 40 : 6);
    for (uint64_t piece = 0; piece < pieces; ++piece) {
        switch (rng.below(8)) {
            case 0:
            case 1:
            case 2: {  // a plain run, now and then past the inline scan's reach
                const uint64_t run = rng.one_in(10) ? rng.between(100, 300) : rng.between(1, 40);
                for (uint64_t i = 0; i < run; ++i) {
                    const auto c = static_cast<uint8_t>(PLAIN[rng.below(PLAIN.size())]);
                    w.add(std::string(1, static_cast<char>(c)), c);
                }
                break;
            }
            case 3: {
                const auto& e = SIMPLE[rng.below(8)];
                w.add(std::string{'\\', e[0]}, static_cast<uint8_t>(e[1]));
                w.escaped = true;
                break;
            }
            case 4: {
                uint32_t cp = random_code_point(rng);
                if (cp > 0xFFFF) cp &= 0xFFFF;
                if (cp >= 0xD800 && cp <= 0xDFFF) cp -= 0x800;
                w.add(hex4(rng, cp), cp);
                w.escaped = true;
                w.ascii_only = false;
                break;
            }
            case 5: {
                const auto cp = static_cast<uint32_t>(rng.between(0x10000, 0x10FFFF));
                std::string pair = hex4(rng, 0xD800 + ((cp - 0x10000) >> 10));
                pair += hex4(rng, 0xDC00 + ((cp - 0x10000) & 0x3FF));
                w.add(pair, cp);
                w.escaped = true;
                w.ascii_only = false;
                break;
            }
            default: {
                uint32_t cp = random_code_point(rng);
                if (cp < 0x80) cp = static_cast<uint8_t>(PLAIN[rng.below(PLAIN.size())]);
                w.add(utf8(cp), cp);
                w.ascii_only = w.ascii_only && cp < 0x80;
            }
        }
    }
    return w;
}

// One outcome of a decode, folded into the digest and compared.
struct Outcome {
    bool ok = false;
    std::string value;
    uint64_t index = 0;  // the scanner's index, or the fault's
    int kind = -1;
};

Outcome run(Result<DecodedString>& result, const Scanner& scanner) {
    Outcome o;
    o.ok = result.ok();
    if (o.ok) {
        const DecodedString& s = result.value();
        o.value.assign(reinterpret_cast<const char*>(s.bytes), s.length);
        o.index = scanner.index;
    } else {
        o.kind = static_cast<int>(result.error().kind());
        o.index = result.error().index();
    }
    return o;
}

std::string describe(const std::string& input, const Outcome& got) {
    std::string s = "input \"" + printable(input) + "\" gave ";
    if (got.ok) return s + "\"" + printable(got.value) + "\" ending at " + std::to_string(got.index);
    return s + "kind " + std::to_string(got.kind) + " at " + std::to_string(got.index);
}

void expect_fault(Tally& tally, const char* section, const std::string& input, const Outcome& got, ErrorKind kind,
                  uint64_t index) {
    tally.check(!got.ok && got.kind == static_cast<int>(kind) && got.index == index, section,
                describe(input, got) + ", expected kind " + std::to_string(static_cast<int>(kind)) + " at " +
                    std::to_string(index));
}

void mix(Tally& tally, const Outcome& o) {
    tally.mix(o.ok);
    tally.mix(o.value);
    tally.mix(o.index);
    tally.mix(static_cast<uint64_t>(o.kind));
}

// The whole string, followed by anything.
void check_whole(Tally& tally, Rng& rng, const Written& w, ScratchBuffer& scratch) {
    std::string input = w.text + '"';
    for (uint64_t n = rng.between(0, rng.one_in(2) ? 0 : 20); n > 0; --n) input += static_cast<char>(rng.byte());
    const Buffer b(input);
    Scanner scanner{b.data(), b.size(), 0};
    Result<DecodedString> result = decode_string(scanner, scratch, rng.one_in(2));
    const Outcome got = run(result, scanner);
    mix(tally, got);
    if (!tally.check(got.ok && got.value == w.value && got.index == w.text.size() + 1, "decode_string",
                     describe(input, got) + ", expected \"" + printable(w.value) + "\"")) {
        return;
    }
    const DecodedString& s = result.value();
    tally.check(s.origin == (w.escaped ? StringOrigin::Scratch : StringOrigin::Input), "decode_string origin",
                describe(input, got));
    tally.check(s.ascii_only == w.ascii_only, "decode_string ascii_only", describe(input, got));
    if (!s.ascii_only) {
        // `bits` need only pick the narrowest str kind, as the maximum would.
        uint32_t widest = 0;
        for (const uint32_t cp : w.points) widest = std::max(widest, cp);
        const auto kind = [](uint32_t v) { return v < 0x80 ? 0 : v < 0x100 ? 1 : v < 0x10000 ? 2 : 3; };
        const bool same = s.code_points != nullptr && s.code_points->count == w.points.size() &&
                          std::memcmp(s.code_points->data, w.points.data(), w.points.size() * 4) == 0;
        tally.check(same, "decode_string code points", describe(input, got));
        tally.check(same && kind(s.code_points->bits) == kind(widest), "decode_string code point bits",
                    describe(input, got));
    }
}

// The string cut after its first `cut` bytes: the end of the input, or with
// a partial ending the characters that are whole.
void check_cut(Tally& tally, Rng& rng, const Written& w, ScratchBuffer& scratch) {
    const uint64_t cut = rng.between(1, w.text.size());
    const std::string input = w.text.substr(0, cut);
    const Buffer b(input);
    const bool partial = rng.one_in(2);
    Scanner scanner{b.data(), b.size(), 0};
    Result<DecodedString> result = decode_string(scanner, scratch, partial);
    const Outcome got = run(result, scanner);
    mix(tally, got);
    if (!partial) {
        expect_fault(tally, "cut string", input, got, ErrorKind::EofInString, cut);
        return;
    }
    uint64_t whole = 0;
    for (uint64_t i = 0; i < w.text_ends.size() && w.text_ends[i] <= cut; ++i) whole = w.value_ends[i];
    const std::string expected = w.value.substr(0, whole);
    tally.check(got.ok && got.value == expected && got.index == cut, "cut string, partial",
                describe(input, got) + ", expected \"" + printable(expected) + "\"");
}

// A fault of a known kind and place, written before character `at`.
struct Fault {
    std::string text;
    ErrorKind kind;
    uint64_t offset;  // of the reported index from the fault's first byte
};

Fault random_fault(Rng& rng) {
    static constexpr std::string_view BAD_UTF8[] = {
        "\xff",
        "\x80",
        "\xbf",
        "\xc0\x80",
        "\xc1\xbf",
        "\xc3",
        "\xe2\x82",
        "\xe0\x80\xaf",
        "\xed\xa0\x80",
        "\xed\xbf\xbf",
        "\xf0\x8f\xbf\xbf",
        "\xf0\x9f\x98",
        "\xf4\x90\x80\x80",
        "\xf5\x80\x80\x80",
        "\xf8",
    };
    static constexpr std::string_view NOT_ESCAPES = "aqxU0 '\x01\x7f\x80\xff";
    static constexpr std::string_view NOT_HEX = "gGx:/@`\"\\ ";
    switch (rng.below(6)) {
        case 0:
            return {std::string(1, static_cast<char>(rng.below(0x20))), ErrorKind::ControlCharInString, 0};
        case 1:
            return {std::string(BAD_UTF8[rng.below(std::size(BAD_UTF8))]), ErrorKind::InvalidCodePoint, 0};
        case 2:
            return {std::string{'\\', NOT_ESCAPES[rng.below(NOT_ESCAPES.size())]}, ErrorKind::InvalidEscape, 1};
        case 3: {
            std::string text = hex4(rng, static_cast<uint32_t>(rng.below(0x10000)));
            const uint64_t bad = rng.below(4);
            text[2 + bad] = NOT_HEX[rng.below(NOT_HEX.size())];
            return {text, ErrorKind::InvalidEscape, 2 + bad};
        }
        case 4:
            return {hex4(rng, static_cast<uint32_t>(rng.between(0xDC00, 0xDFFF))), ErrorKind::LoneLeadingSurrogate, 5};
        default: {
            const std::string high = hex4(rng, static_cast<uint32_t>(rng.between(0xD800, 0xDBFF)));
            switch (rng.below(4)) {
                case 0:
                    return {high + "x", ErrorKind::EofInHexEscape, 6};
                case 1:
                    return {high + "\\n", ErrorKind::EofInHexEscape, 7};
                case 2:
                    return {high + hex4(rng, static_cast<uint32_t>(rng.between(0, 0xD7FF))),
                            ErrorKind::LoneLeadingSurrogate, 11};
                default:
                    return {high + hex4(rng, static_cast<uint32_t>(rng.between(0xD800, 0xDBFF))),
                            ErrorKind::LoneLeadingSurrogate, 11};
            }
        }
    }
}

void check_fault(Tally& tally, Rng& rng, const Written& w, ScratchBuffer& scratch) {
    const uint64_t at = rng.between(0, w.text_ends.size());
    const uint64_t place = at == 0 ? 1 : w.text_ends[at - 1];
    const Fault fault = random_fault(rng);
    std::string input = w.text.substr(0, place) + fault.text + w.text.substr(place) + '"';
    if (rng.one_in(2)) input += std::string(rng.between(1, 20), ' ');
    const Buffer b(input);
    Scanner scanner{b.data(), b.size(), 0};
    Result<DecodedString> result = decode_string(scanner, scratch, rng.one_in(2));
    const Outcome got = run(result, scanner);
    mix(tally, got);
    expect_fault(tally, "string fault", input, got, fault.kind, place + fault.offset);
}

// A key: the colon after any whitespace, another byte, or the end.
void check_key(Tally& tally, Rng& rng, const Written& w, ScratchBuffer& scratch) {
    std::string input = w.text + '"';
    for (uint64_t n = rng.between(0, rng.one_in(4) ? 40 : 2); n > 0; --n) input += " \t\n\r"[rng.below(4)];
    const uint64_t gap_end = input.size();
    const uint64_t ending = rng.below(3);
    if (ending == 0) input += ':';
    if (ending == 1) input += "x,1}"[rng.below(4)];
    if (ending != 2 && rng.one_in(2)) input += " 1}";
    const Buffer b(input);
    Scanner scanner{b.data(), b.size(), 0};
    Result<DecodedString> result = decode_key(scanner, scratch);
    const Outcome got = run(result, scanner);
    mix(tally, got);
    if (ending == 0) {
        tally.check(got.ok && got.value == w.value && got.index == gap_end + 1, "decode_key", describe(input, got));
    } else {
        expect_fault(tally, "decode_key", input, got, ending == 1 ? ErrorKind::ExpectedColon : ErrorKind::EofInObject,
                     gap_end);
    }
}

void check_all(Tally& tally, uint64_t seed, unsigned rounds) {
    Rng rng(seed);
    ScratchBuffer scratch;
    for (unsigned i = 0; i < 6000 * rounds; ++i) {
        const Written w = random_string(rng);
        check_whole(tally, rng, w, scratch);
        check_cut(tally, rng, w, scratch);
        check_fault(tally, rng, w, scratch);
        check_key(tally, rng, w, scratch);
    }
}

}  // namespace

// Once with each body of the long-string scan this processor has, which must
// all reach the same outcomes.
void check_strings(Tally& tally, uint64_t seed, unsigned rounds) {
    const detail::ScanBody best = detail::best_scan_body();
    const uint64_t before = tally.digest();
    uint64_t first_digest = 0;
    for (const detail::ScanBody body : {detail::ScanBody::Block16, detail::ScanBody::Avx2}) {
        if (!detail::set_scan_body(body)) continue;
        tally.set_digest(before);
        check_all(tally, seed, rounds);
        if (body == detail::ScanBody::Block16) {
            first_digest = tally.digest();
        } else {
            tally.check(tally.digest() == first_digest, "string scan bodies agree", "AVX2 against 16-byte blocks");
        }
    }
    tally.set_digest(first_digest);
    (void)detail::set_scan_body(best);
}

}  // namespace taldo::native
