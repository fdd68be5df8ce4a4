// The block primitives of src/simd against plain byte loops, on random
// blocks whose first stopping byte falls at every offset.
#include <string>

#include "check.hpp"
#include "scanner.hpp"
#include "simd/number.hpp"
#include "simd/string.hpp"
#include "simd/whitespace.hpp"

namespace taldo::native {
namespace {

bool blank(uint8_t b) { return b == ' ' || b == '\t' || b == '\n' || b == '\r'; }
bool digit(uint8_t b) { return b >= '0' && b <= '9'; }
bool quote_backslash_control(uint8_t b) { return b == '"' || b == '\\' || b < 0x20; }
bool string_stop(uint8_t b) { return quote_backslash_control(b) || b >= 0x80; }

template <class Stops>
unsigned first_where(const uint8_t* p, unsigned n, Stops stops) {
    for (unsigned i = 0; i < n; ++i) {
        if (stops(p[i])) return i;
    }
    return n;
}

// `n` bytes: a run of `run` bytes from `passing`, then bytes from `mixed`.
std::string random_block(Rng& rng, unsigned n, std::string_view passing, std::string_view mixed) {
    const auto run = static_cast<unsigned>(rng.between(0, n));
    std::string block;
    for (unsigned i = 0; i < n; ++i) {
        block += static_cast<char>(i < run ? passing[rng.below(passing.size())] : rng.byte_from(mixed));
    }
    return block;
}

std::string at(const std::string& block) { return "block \"" + printable(block) + "\""; }

constexpr std::string_view STRING_PLAIN = "abcxyz /:{}0189~\x7f";
constexpr std::string_view STRING_MIXED = "ab \"\\\x01\x1f\x7f\x80\xbf\xc3\xe2\xff";
constexpr std::string_view BLANKS = " \t\n\r";
constexpr std::string_view BLANK_MIXED = " \t\n\r\x0b\x0c\x00x,]\xa0";
constexpr std::string_view DIGITS = "0123456789";
constexpr std::string_view DIGIT_MIXED = "0123456789/:.eE-+ \x00\xb0";

void check_string_block(Tally& tally, const Buffer& b, const std::string& text) {
    const uint8_t* p = b.data();
    const unsigned special = first_where(p, 16, string_stop);
    const unsigned qbc = first_where(p, 16, quote_backslash_control);
    const unsigned non_ascii = first_where(p, 16, [](uint8_t c) { return c >= 0x80; });
    tally.check(simd::first_special(p) == special, "first_special", at(text));
    tally.check((simd::special_hits(p) == 0) == (special == 16), "special_hits", at(text));
    tally.check(simd::first_quote_backslash_control(p) == qbc, "first_quote_backslash_control", at(text));
    tally.check(simd::first_non_ascii(p) == non_ascii, "first_non_ascii", at(text));
    uint32_t wide[16];
    simd::widen_block(p, wide);
    bool widened = true;
    for (unsigned i = 0; i < 16; ++i) widened = widened && wide[i] == p[i];
    tally.check(widened, "widen_block", at(text));
    tally.mix(special);
    tally.mix(qbc);
    tally.mix(non_ascii);
}

void check_blank_block(Tally& tally, const Buffer& b, const std::string& text) {
    const unsigned expected = first_where(b.data(), 16, [](uint8_t c) { return !blank(c); });
    tally.check(simd::first_non_whitespace(b.data()) == expected, "first_non_whitespace", at(text));
    tally.mix(expected);
}

uint64_t digits_value(const uint8_t* p, unsigned k) {
    uint64_t v = 0;
    for (unsigned i = 0; i < k; ++i) v = v * 10 + (p[i] - '0');
    return v;
}

void check_digit_block(Tally& tally, const Buffer& b, const std::string& text) {
    const uint8_t* p = b.data();
    uint32_t bits = 0;
    for (unsigned i = 0; i < 16; ++i) bits |= digit(p[i]) ? uint32_t{1} << i : 0;
    const unsigned run = first_where(p, 16, [](uint8_t c) { return !digit(c); });
    tally.check(simd::digit_bits_16(p) == bits, "digit_bits_16", at(text));
    tally.check(simd::count_digits_16(p) == run, "count_digits_16", at(text));
    const simd::DigitBlock block = simd::digit_block(p);
    tally.check(block.digits == bits, "digit_block", at(text));
    for (unsigned k = 1; k <= run; ++k) {
        const uint64_t value = simd::leading_value(block, k);
        tally.check(value == digits_value(p, k), "leading_value", at(text) + " k " + std::to_string(k));
        tally.check(simd::parse_leading_digits(p, k) == value, "parse_leading_digits", at(text));
        tally.mix(value);
    }
    if (run == 16) {
        tally.check(simd::parse_sixteen_digits(p) == digits_value(p, 16), "parse_sixteen_digits", at(text));
    }
    tally.mix(bits);
}

// k integer digits, one byte that is skipped (a '.'), then fraction digits,
// 17 bytes in all; the significand's digits from position n on are garbage
// and must count as zeros.
void check_significand(Tally& tally, Rng& rng) {
    const auto k = static_cast<unsigned>(rng.between(1, 16));
    const auto n = static_cast<unsigned>(rng.between(0, 32));
    std::string text;
    uint64_t expected = 0;
    for (unsigned i = 0; i < 16; ++i) {
        if (i == k) text += '.';
        const bool kept = i < n;
        const auto d = static_cast<uint8_t>(rng.below(10));
        text += static_cast<char>(kept || rng.one_in(2) ? '0' + d : rng.byte());
        expected = expected * 10 + (kept ? d : 0);
    }
    if (k == 16) text += rng.one_in(2) ? '.' : static_cast<char>(rng.byte());
    const Buffer b(text);
    const uint64_t value = simd::parse_significand_16(b.data(), k, n);
    tally.check(value == expected, "parse_significand_16",
                at(text) + " k " + std::to_string(k) + " n " + std::to_string(n));
    tally.mix(value);
}

void check_skip_digits(Tally& tally, Rng& rng) {
    std::string text = random_block(rng, static_cast<unsigned>(rng.between(0, 70)), DIGITS, DIGIT_MIXED);
    const Buffer b(text);
    const uint64_t from = rng.between(0, text.size());
    const uint64_t limit = rng.one_in(4) ? rng.between(from, text.size()) : text.size();
    uint64_t expected = from;
    while (expected < limit && digit(b.data()[expected])) ++expected;
    const uint64_t got = simd::skip_digits(b.data(), from, limit);
    tally.check(got == expected, "skip_digits",
                at(text) + " from " + std::to_string(from) + " limit " + std::to_string(limit));
    tally.mix(got);
}

void check_skip_whitespace(Tally& tally, Rng& rng) {
    std::string text = random_block(rng, static_cast<unsigned>(rng.between(0, 80)), BLANKS, BLANK_MIXED);
    const Buffer b(text);
    Scanner scanner{b.data(), b.size(), rng.between(0, text.size())};
    const uint64_t from = scanner.index;
    uint64_t expected = from;
    while (expected < b.size() && blank(b.data()[expected])) ++expected;
    scanner.skip_whitespace();
    tally.check(scanner.index == expected, "skip_whitespace", at(text) + " from " + std::to_string(from));
    tally.mix(scanner.index);
}

#if defined(TALDO_SIMD_AVX2)
void check_avx2_block(Tally& tally, Rng& rng) {
    const std::string text = random_block(rng, 32, STRING_PLAIN, STRING_MIXED);
    const Buffer b(text);
    const unsigned special = first_where(b.data(), 32, string_stop);
    const unsigned qbc = first_where(b.data(), 32, quote_backslash_control);
    const simd::avx2::Hits s = simd::avx2::special_hits(b.data());
    const simd::avx2::Hits q = simd::avx2::quote_backslash_control_hits(b.data());
    tally.check((s == 0 ? 32 : simd::avx2::first_hit(s)) == special, "avx2 special_hits", at(text));
    tally.check((q == 0 ? 32 : simd::avx2::first_hit(q)) == qbc, "avx2 quote_backslash_control_hits", at(text));
}
#endif

}  // namespace

void check_scans(Tally& tally, uint64_t seed, unsigned rounds) {
    Rng rng(seed);
    for (unsigned i = 0; i < 20000 * rounds; ++i) {
        const std::string strings = random_block(rng, 16, STRING_PLAIN, STRING_MIXED);
        check_string_block(tally, Buffer(strings), strings);
        const std::string blanks = random_block(rng, 16, BLANKS, BLANK_MIXED);
        check_blank_block(tally, Buffer(blanks), blanks);
        const std::string digits = random_block(rng, 16, DIGITS, DIGIT_MIXED);
        check_digit_block(tally, Buffer(digits), digits);
        check_significand(tally, rng);
        check_skip_digits(tally, rng);
        check_skip_whitespace(tally, rng);
    }
#if defined(TALDO_SIMD_AVX2)
    // Not part of the digest: only some x86-64 processors have this body.
    if (simd::cpu_has_avx2()) {
        for (unsigned i = 0; i < 20000 * rounds; ++i) check_avx2_block(tally, rng);
    }
#if defined(TALDO_PORTABLE_BUILTINS) && (defined(__GNUC__) || defined(__clang__))
    // Asked directly (as MSVC builds must), the processor gives the answer
    // the compiler's builtin gives.
    __builtin_cpu_init();
    tally.check(simd::cpu_has_avx2() == (__builtin_cpu_supports("avx2") != 0), "cpu_has_avx2",
                "the processor's answer and the compiler's disagree");
#endif
#endif
}

}  // namespace taldo::native
