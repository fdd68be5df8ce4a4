// What the native checks share: a seeded generator, input buffers of exactly
// their size (so that a sanitizer build catches any read past the end), and
// the tally, which also folds every outcome into a digest that each body of
// the block scans must reproduce.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace taldo::native {

// splitmix64: the same sequence on every machine, whatever the compiler.
class Rng {
public:
    explicit Rng(uint64_t seed) : state_(seed) {}
    uint64_t next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // 0 to n - 1 (n > 0); the slight bias of the modulo does not matter here.
    uint64_t below(uint64_t n) { return next() % n; }
    // lo to hi, both included.
    uint64_t between(uint64_t lo, uint64_t hi) { return lo + below(hi - lo + 1); }
    bool one_in(uint64_t n) { return below(n) == 0; }
    uint8_t byte() { return static_cast<uint8_t>(next()); }
    // Mostly a byte of `common`, now and then any byte at all.
    uint8_t byte_from(std::string_view common) {
        return one_in(8) ? byte() : static_cast<uint8_t>(common[below(common.size())]);
    }

private:
    uint64_t state_;
};

// A heap block of exactly `size` bytes holding a copy of `text`'s first bytes.
class Buffer {
public:
    explicit Buffer(std::string_view text) : size_(text.size()), data_(new uint8_t[text.size()]) {
        if (size_ != 0) std::memcpy(data_.get(), text.data(), size_);
    }
    const uint8_t* data() const { return data_.get(); }
    uint64_t size() const { return size_; }

private:
    uint64_t size_;
    std::unique_ptr<uint8_t[]> data_;
};

// The bytes as C would write them, for failure reports.
inline std::string printable(std::string_view bytes) {
    std::string out;
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b < 0x7F && b != '\\') {
            out += c;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", b);
            out += escaped;
        }
    }
    return out;
}

class Tally {
public:
    // Counts one check; a failure is reported (the first few in full) with
    // its section and whatever `detail` says about the input.
    bool check(bool ok, const char* section, const std::string& detail) {
        if (ok) {
            ++passed_;
            return true;
        }
        if (++failed_ <= 20) {
            std::printf("FAIL %s: %s\n", section, detail.c_str());
        }
        return false;
    }

    void mix(uint64_t value) {
        digest_ ^= value + 0x9E3779B97F4A7C15ull + (digest_ << 6) + (digest_ >> 2);
        digest_ *= 0x100000001B3ull;
    }
    void mix(std::string_view bytes) {
        mix(bytes.size());
        for (const char c : bytes) mix(static_cast<uint8_t>(c));
    }

    uint64_t passed() const { return passed_; }
    uint64_t failed() const { return failed_; }
    uint64_t digest() const { return digest_; }
    void set_digest(uint64_t digest) { digest_ = digest; }

private:
    uint64_t passed_ = 0;
    uint64_t failed_ = 0;
    uint64_t digest_ = 0xCBF29CE484222325ull;
};

// The sections; `rounds` scales how many random inputs each draws.
void check_scans(Tally& tally, uint64_t seed, unsigned rounds);
void check_strings(Tally& tally, uint64_t seed, unsigned rounds);
void check_numbers(Tally& tally, uint64_t seed, unsigned rounds);

}  // namespace taldo::native
