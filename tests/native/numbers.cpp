// The number readers and the float conversion against the C library: strtod
// (correctly rounded in glibc) for every double, strtoull and a plain
// multiply-add for integers of any length. Texts are drawn from printed
// doubles, random digit strings and the exact midpoints between neighbouring
// doubles, and placed near and far from the end of the input.
#include <cerrno>
#include <cfloat>
#include <cinttypes>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "bigint.hpp"
#include "check.hpp"
#include "number_decoder.hpp"

namespace taldo::native {
namespace {

std::string digits(Rng& rng, uint64_t n, std::string_view alphabet) {
    std::string out;
    for (uint64_t i = 0; i < n; ++i) out += alphabet[rng.below(alphabet.size())];
    return out;
}

// Mostly any digits; now and then long runs of zeros or nines, which sit at
// the edges of rounding.
std::string_view digit_alphabet(Rng& rng) {
    switch (rng.below(6)) {
        case 0:
            return "0000000001";
        case 1:
            return "9999999990";
        default:
            return "0123456789";
    }
}

std::string integer_part(Rng& rng, uint64_t max_digits, std::string_view alphabet) {
    // One draw per statement: the order of a call's arguments is the compiler's.
    if (rng.one_in(5)) return "0";
    std::string text(1, "123456789"[rng.below(9)]);
    text += digits(rng, rng.between(0, max_digits - 1), alphabet);
    return text;
}

std::string grammar_number(Rng& rng) {
    const std::string_view alphabet = digit_alphabet(rng);
    std::string text = rng.one_in(3) ? "-" : "";
    text += integer_part(rng, rng.one_in(8) ? 40 : 20, alphabet);
    if (!rng.one_in(3)) {
        text += '.';
        text += digits(rng, rng.between(1, rng.one_in(8) ? 60 : 20), alphabet);
    }
    if (rng.one_in(2)) {
        text += rng.one_in(2) ? 'e' : 'E';
        if (!rng.one_in(3)) text += rng.one_in(2) ? '-' : '+';
        text += rng.one_in(10) ? digits(rng, rng.between(4, 25), "0123456789")
                               : std::to_string(rng.below(rng.one_in(4) ? 400 : 30));
    }
    return text;
}

double random_finite_double(Rng& rng) {
    for (;;) {
        const double d = std::bit_cast<double>(rng.next());
        if (std::isfinite(d)) return d;
    }
}

std::string printed_double(Rng& rng) {
    char text[64];
    const auto precision = static_cast<int>(rng.between(1, 17));
    std::snprintf(text, sizeof text, "%.*g", precision, random_finite_double(rng));
    return text;
}

// Halfway between a double and the next one up, exactly, and just below and
// above that: the texts where rounding has to look at every digit.
std::string midpoint(Rng& rng) {
    if constexpr (std::numeric_limits<long double>::digits < 54 ||
                  std::numeric_limits<long double>::min_exponent > DBL_MIN_EXP - DBL_MANT_DIG) {
        return printed_double(rng);  // no exact midpoints in this long double
    } else {
        const double low = std::fabs(random_finite_double(rng));
        const double high = std::nextafter(low, INFINITY);
        if (!std::isfinite(high)) return printed_double(rng);
        const long double middle = static_cast<long double>(low) + (static_cast<long double>(high) - low) / 2;
        char printed[900];
        std::snprintf(printed, sizeof printed, "%.800Le", middle);  // exact, then zeros
        std::string text = printed;
        const uint64_t e = text.find('e');
        std::string mantissa = text.substr(0, e);
        const std::string exponent = text.substr(e);
        while (mantissa.back() == '0') mantissa.pop_back();
        if (mantissa.back() == '.') mantissa.pop_back();
        switch (rng.below(3)) {
            case 0:  // below: cut short
                if (mantissa.size() > 20) mantissa.resize(rng.between(19, mantissa.size() - 1));
                while (mantissa.back() == '.') mantissa.pop_back();
                break;
            case 1: {  // above, now and then only past the 780th digit
                if (mantissa.find('.') == std::string::npos) mantissa += '.';
                const uint64_t zeros = rng.one_in(4) ? rng.between(760, 2000) : rng.below(30);
                mantissa += std::string(zeros, '0') + "1";
                break;
            }
            default:  // exactly, now and then with hundreds of zeros after
                if (rng.one_in(4)) {
                    if (mantissa.find('.') == std::string::npos) mantissa += '.';
                    mantissa += std::string(rng.between(760, 2000), '0');
                }
                break;
        }
        if (rng.one_in(3)) {  // the same digits as an integer and a power of ten
            const uint64_t point = mantissa.find('.');
            if (point != std::string::npos) {
                const auto after_point = static_cast<long>(mantissa.size() - point - 1);
                mantissa.erase(point, 1);
                return (rng.one_in(2) ? "-" : "") + mantissa + "e" +
                       std::to_string(std::strtol(exponent.c_str() + 1, nullptr, 10) - after_point);
            }
        }
        return (rng.one_in(2) ? "-" : "") + mantissa + exponent;
    }
}

// Where a number lies in its input: after a few bytes, then at the end of the
// input or before a byte that ends it and maybe many more.
struct Placed {
    std::string input;
    uint64_t start;
};

Placed place(Rng& rng, const std::string& text, bool at_end) {
    static constexpr std::string_view BEFORE = "[, :";
    static constexpr std::string_view AFTER = ",]} \n\r\t";
    Placed p;
    for (uint64_t n = rng.below(4); n > 0; --n) p.input += BEFORE[rng.below(BEFORE.size())];
    p.start = p.input.size();
    p.input += text;
    if (!at_end && !rng.one_in(3)) {
        p.input += AFTER[rng.below(AFTER.size())];
        for (uint64_t n = rng.below(60); n > 0; --n) p.input += static_cast<char>(rng.byte());
    }
    return p;
}

std::string describe(const Placed& p) { return "input \"" + printable(p.input) + "\" at " + std::to_string(p.start); }

void check_double(Tally& tally, Rng& rng, const std::string& text) {
    const double expected = std::strtod(text.c_str(), nullptr);
    const Placed p = place(rng, text, false);
    const Buffer b(p.input);
    Result<Decoded<double>> got = decode_number_float(b.data(), b.size(), p.start, b.data()[p.start], true);
    const bool ok = got.ok() && std::bit_cast<uint64_t>(got.value().value) == std::bit_cast<uint64_t>(expected) &&
                    got.value().end == p.start + text.size();
    char detail[96] = "";
    if (got.ok()) {
        std::snprintf(detail, sizeof detail, ": got %.17g ending at %" PRIu64 ", expected %.17g", got.value().value,
                      got.value().end, expected);
    }
    tally.check(ok, "decode_number_float", describe(p) + detail);
    if (got.ok()) {
        tally.mix(std::bit_cast<uint64_t>(got.value().value));
        tally.mix(got.value().end);
    }
}

// The magnitude of a digit run on 64-bit limbs, least significant first.
std::vector<uint64_t> reference_limbs(std::string_view run) {
    std::vector<uint64_t> limbs;
    for (const char c : run) {
        uint64_t carry = static_cast<uint64_t>(c - '0');
        // limb * 10 + carry in 32-bit halves: plain arithmetic that shares
        // nothing with the core's wide multiplication.
        for (uint64_t& limb : limbs) {
            const uint64_t low = (limb & 0xFFFFFFFFu) * 10 + carry;
            const uint64_t high = (limb >> 32) * 10 + (low >> 32);
            limb = (high << 32) | (low & 0xFFFFFFFFu);
            carry = high >> 32;
        }
        if (carry != 0) limbs.push_back(carry);
    }
    return limbs;
}

std::string integer_text(Rng& rng) {
    static constexpr std::string_view EDGES[] = {
        "9007199254740992",     "9007199254740993",     "9223372036854775807",  "9223372036854775808",
        "9223372036854775809",  "18446744073709551615", "18446744073709551616", "9999999999999999999",
        "10000000000000000000", "999999999999999",      "1000000000000000",     "9999999999999999",
    };
    const std::string sign = rng.one_in(2) ? "-" : "";
    switch (rng.below(8)) {
        case 0:
            return sign + std::string(EDGES[rng.below(std::size(EDGES))]);
        case 1: {
            const uint64_t longest = rng.one_in(20) ? 4300 : 400;
            return sign + integer_part(rng, longest, digit_alphabet(rng));
        }
        default:
            return sign + integer_part(rng, 20, digit_alphabet(rng));
    }
}

void check_integer(Tally& tally, Rng& rng) {
    const std::string text = integer_text(rng);
    const Placed p = place(rng, text, false);
    const Buffer b(p.input);
    const bool negative = text[0] == '-';
    Result<NumberText> read = read_number(b.data(), b.size(), p.start, b.data()[p.start], true, Reading::Value);
    const uint64_t digits_at = p.start + (negative ? 1 : 0);
    if (!tally.check(read.ok() && read.value().kind == NumberText::Kind::Integer && read.value().digits == digits_at &&
                         read.value().int_end == p.start + text.size() && read.value().end == p.start + text.size(),
                     "read_number integer", describe(p))) {
        return;
    }
    const std::string_view run = std::string_view(text).substr(negative ? 1 : 0);
    if (run.size() <= 19) {
        const uint64_t value = short_run_value(b.data(), digits_at, digits_at + run.size());
        tally.check(value == std::strtoull(std::string(run).c_str(), nullptr, 10), "short_run_value", describe(p));
        tally.mix(value);
    } else {
        BigInt big(run.size());
        long_run_value(b.data(), digits_at, digits_at + run.size(), big);
        const std::vector<uint64_t> expected = reference_limbs(run);
        tally.check(big.size() == expected.size() &&
                        std::memcmp(big.limbs(), expected.data(), expected.size() * sizeof(uint64_t)) == 0,
                    "long_run_value", describe(p));
        for (size_t i = 0; i < big.size(); ++i) tally.mix(big.limbs()[i]);
    }

    // The block reader takes every integer that fits in 64 bits, with its value.
    uint8_t padded[PADDED_NUMBER];
    const uint8_t* s = b.data() + p.start;
    const uint8_t* end = b.data() + b.size();
    if (p.start + NUMBER_WINDOW > b.size()) {
        copy_near_end(padded, b.data(), b.size(), p.start);
        s = padded;
        end = padded + PADDED_NUMBER;
    }
    const BlockNumber block = read_block<false>(s, end, negative);
    errno = 0;
    const long long expected = std::strtoll(text.c_str(), nullptr, 10);
    if (errno != ERANGE) {
        tally.check(block.kind == BlockNumber::Kind::Int && block.int_value == expected && block.length == text.size(),
                    "read_block integer", describe(p));
    } else {
        tally.check(block.kind == BlockNumber::Kind::Other, "read_block big integer", describe(p));
    }
    tally.mix(static_cast<uint64_t>(block.kind));
    tally.mix(static_cast<uint64_t>(block.int_value));
}

// Malformed numbers, and the rules that differ between the two readers: the
// builder's (Reading::Value) and LosslessFloat's (decode_number_float).
struct BadNumber {
    std::string_view text;
    bool allow_inf_nan;
    ErrorKind value_kind;
    ErrorKind double_kind;
    uint64_t index;  // from the number's first byte
    bool needs_end;  // the fault is the end of the input
};

constexpr ErrorKind EOF_VALUE = ErrorKind::EofInValue;
constexpr ErrorKind INVALID = ErrorKind::InvalidNumber;
constexpr ErrorKind EXPECTED_VALUE = ErrorKind::ExpectedValue;
constexpr ErrorKind IDENT = ErrorKind::ExpectedIdent;

constexpr BadNumber BAD_NUMBERS[] = {
    {"-", true, EOF_VALUE, EOF_VALUE, 1, true},
    {"-,", true, INVALID, INVALID, 1, false},
    {"--1", true, INVALID, INVALID, 1, false},
    {"01", true, INVALID, INVALID, 1, false},
    {"-00", true, INVALID, INVALID, 2, false},
    {"1.", true, EOF_VALUE, EOF_VALUE, 2, true},
    {"1.]", true, INVALID, INVALID, 2, false},
    {"1.e5", true, INVALID, INVALID, 2, false},
    {"1e", true, EOF_VALUE, EOF_VALUE, 2, true},
    {"1E+", true, EOF_VALUE, EOF_VALUE, 3, true},
    {"1e,", true, INVALID, INVALID, 2, false},
    {"1e-x", true, INVALID, INVALID, 3, false},
    {"12345678901234567.", true, EOF_VALUE, EOF_VALUE, 18, true},
    {"-12345678901234567890.x", true, INVALID, INVALID, 22, false},
    {"0.1234567890123456789e", true, EOF_VALUE, EOF_VALUE, 22, true},
    {"0.12345678901234567890123456789012345e+", true, EOF_VALUE, EOF_VALUE, 39, true},
    {"NaN", false, EXPECTED_VALUE, EXPECTED_VALUE, 0, false},
    {"Na", true, EOF_VALUE, EOF_VALUE, 2, true},
    {"NaX", true, IDENT, IDENT, 2, false},
    {"-NaN", true, INVALID, INVALID, 1, false},
    {"Infinity", false, EXPECTED_VALUE, EXPECTED_VALUE, 0, false},
    {"-Infinity", false, INVALID, INVALID, 1, false},
    {"Infinit", true, EOF_VALUE, EOF_VALUE, 7, true},
    {"-Infinix", true, IDENT, IDENT, 7, false},
    {"x", true, EXPECTED_VALUE, INVALID, 0, false},
    {"+1", true, EXPECTED_VALUE, INVALID, 0, false},
    {".5", true, EXPECTED_VALUE, INVALID, 0, false},
};

void check_bad_number(Tally& tally, Rng& rng, const BadNumber& bad) {
    const Placed p = place(rng, std::string(bad.text), bad.needs_end);
    const Buffer b(p.input);
    const uint8_t first = b.data()[p.start];
    Result<NumberText> value = read_number(b.data(), b.size(), p.start, first, bad.allow_inf_nan, Reading::Value);
    Result<Decoded<double>> as_double = decode_number_float(b.data(), b.size(), p.start, first, bad.allow_inf_nan);
    const uint64_t index = p.start + bad.index;
    tally.check(!value.ok() && value.error().kind() == bad.value_kind && value.error().index() == index,
                "read_number fault", describe(p));
    tally.check(!as_double.ok() && as_double.error().kind() == bad.double_kind && as_double.error().index() == index,
                "decode_number_float fault", describe(p));
    tally.mix(index);
}

// An integer part may have 4300 digits in a value, any number in a double.
void check_digit_limit(Tally& tally, Rng& rng) {
    for (const bool negative : {false, true}) {
        for (const uint64_t n : {MAX_INT_DIGITS, MAX_INT_DIGITS + 1}) {
            std::string text = negative ? "-" : "";
            text.append(n, '7');
            const Placed p = place(rng, text, false);
            const Buffer b(p.input);
            Result<NumberText> read = read_number(b.data(), b.size(), p.start, b.data()[p.start], true, Reading::Value);
            if (n == MAX_INT_DIGITS) {
                tally.check(read.ok() && read.value().end == p.start + text.size(), "4300 digits", describe(p));
            } else {
                tally.check(!read.ok() && read.error().kind() == ErrorKind::NumberOutOfRange &&
                                read.error().index() == p.start + (negative ? 1 : 0) + n,
                            "4301 digits", describe(p));
            }
            check_double(tally, rng, text);
        }
    }
}

}  // namespace

// The 128-bit product against schoolbook multiplication on 16-bit digits,
// which shares nothing with any of mul_64x64's bodies. The products go into
// the digest, so that a build on the plain C++ path (TALDO_PORTABLE_BUILTINS)
// is compared with the compiler's own wide multiplication as well.
void check_wide_product(Tally& tally, uint64_t a, uint64_t b) {
    uint32_t digits[8] = {};
    for (int i = 0; i < 4; ++i) {
        uint32_t carry = 0;
        for (int j = 0; j < 4; ++j) {
            const uint32_t t =
                static_cast<uint32_t>((a >> (16 * i)) & 0xFFFF) * static_cast<uint32_t>((b >> (16 * j)) & 0xFFFF) +
                digits[i + j] + carry;
            digits[i + j] = t & 0xFFFF;
            carry = t >> 16;
        }
        digits[i + 4] = carry;
    }
    uint64_t lo = 0, hi = 0;
    for (int i = 3; i >= 0; --i) lo = (lo << 16) | digits[i];
    for (int i = 7; i >= 4; --i) hi = (hi << 16) | digits[i];
    const U128 got = mul_64x64(a, b);
    char detail[80];
    std::snprintf(detail, sizeof detail, "%016" PRIx64 " * %016" PRIx64, a, b);
    tally.check(got.lo == lo && got.hi == hi, "mul_64x64", detail);
    tally.mix(got.lo);
    tally.mix(got.hi);
}

void check_wide_products(Tally& tally, Rng& rng, unsigned rounds) {
    static constexpr uint64_t EDGES[] = {0,
                                         1,
                                         2,
                                         0xFFFFFFFFu,
                                         0x100000000u,
                                         0x8000000000000000u,
                                         0xFFFFFFFF00000000u,
                                         0xFFFFFFFFFFFFFFFFu,
                                         0xFFFFFFFFFFFFFFFEu};
    for (const uint64_t a : EDGES) {
        for (const uint64_t b : EDGES) check_wide_product(tally, a, b);
    }
    for (unsigned i = 0; i < 20000 * rounds; ++i) {
        // Now and then a factor with long runs of ones, where carries travel.
        const uint64_t a = rng.one_in(4) ? rng.next() | rng.next() | rng.next() : rng.next();
        const uint64_t b = rng.one_in(4) ? ~(uint64_t{1} << rng.below(64)) : rng.next();
        check_wide_product(tally, a, b);
    }
}

void check_numbers(Tally& tally, uint64_t seed, unsigned rounds) {
    Rng rng(seed);
    for (unsigned i = 0; i < 8000 * rounds; ++i) {
        check_double(tally, rng, grammar_number(rng));
        check_double(tally, rng, printed_double(rng));
        check_integer(tally, rng);
        if (i % 4 == 0) check_double(tally, rng, midpoint(rng));
    }
    for (unsigned i = 0; i < 40 * rounds; ++i) {
        for (const BadNumber& bad : BAD_NUMBERS) check_bad_number(tally, rng, bad);
    }
    check_digit_limit(tally, rng);
    check_wide_products(tally, rng, rounds);
}

}  // namespace taldo::native
