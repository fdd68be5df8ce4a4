// A keyed 64-bit hash of byte strings, for the string cache and the
// duplicate-key check. Every hasher draws its own four keys from a
// process-wide random seed and a counter, so that no two hashers (and no two
// processes) agree on which strings collide.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "compiler.hpp"

namespace taldo {

struct HashKeys {
    uint64_t k[4];
};

// Fresh keys for a new hasher: the seed is read from the operating system
// once per process; the counter makes every hasher's keys different.
HashKeys new_hash_keys();

namespace detail {

inline uint64_t load64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline uint64_t load32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline uint64_t load16(const uint8_t* p) {
    uint16_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// The 128-bit product of a and b, folded to 64 bits.
inline uint64_t fold_multiply(uint64_t a, uint64_t b) {
    const U128 product = mul_64x64(a, b);
    return product.lo ^ product.hi;
}

// More than 64 bytes: 16 at a time, the last 16 overlapping what came before.
uint64_t keyed_hash_long(const HashKeys& keys, const uint8_t* p, size_t n);

}  // namespace detail

// Every byte is read, none outside the string. Keys and cached strings are
// mostly short, so they take no loop: one keyed multiplication per 16 bytes
// (at most four, up to 64 bytes), from overlapping loads. The low bits of a
// folded product depend on every bit of both factors through its high half.
// No two products share a pair of keys, nor a pair in swapped order, so that
// moving bytes from one product to another is no way to a collision.
namespace detail {

// 2 to 64 bytes: the string cache's lengths, without the tests for others.
TALDO_ALWAYS_INLINE uint64_t keyed_hash_2_to_64(const HashKeys& keys, const uint8_t* p, size_t n) {
    const uint64_t* k = keys.k;
    if (n <= 16) {
        uint64_t a;
        uint64_t b;
        if (n >= 8) {
            a = load64(p);
            b = load64(p + n - 8);
        } else if (n >= 4) {
            a = load32(p);
            b = load32(p + n - 4);
        } else {
            a = load16(p);
            b = load16(p + n - 2);
        }
        return fold_multiply(a ^ k[0], b ^ k[1] ^ n);
    }
    if (n <= 32) {
        return fold_multiply(load64(p) ^ k[0], load64(p + 8) ^ k[1]) +
               fold_multiply(load64(p + n - 16) ^ k[2], load64(p + n - 8) ^ k[3] ^ n);
    }
    return fold_multiply(load64(p) ^ k[0], load64(p + 8) ^ k[1]) +
           fold_multiply(load64(p + 16) ^ k[2], load64(p + 24) ^ k[3]) +
           fold_multiply(load64(p + n - 32) ^ k[0] ^ k[2], load64(p + n - 24) ^ k[1] ^ k[3]) +
           fold_multiply(load64(p + n - 16) ^ k[0] ^ k[3], load64(p + n - 8) ^ k[1] ^ k[2] ^ n);
}

}  // namespace detail

inline uint64_t keyed_hash(const HashKeys& keys, const uint8_t* p, size_t n) {
    if (n - 2 <= 64 - 2) {
        return detail::keyed_hash_2_to_64(keys, p, n);
    }
    if (n < 2) {
        const uint64_t a = n == 1 ? p[0] : 0;
        return detail::fold_multiply(a ^ keys.k[0], keys.k[1] ^ n);
    }
    return detail::keyed_hash_long(keys, p, n);
}

}  // namespace taldo
