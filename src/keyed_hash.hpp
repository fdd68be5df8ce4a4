// A keyed 64-bit hash of byte strings, for the string cache and the
// duplicate-key check. Every hasher draws its own four keys from a
// process-wide random seed and a counter, so that no two hashers (and no two
// processes) agree on which strings collide.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

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

// The 128-bit product of a and b, folded to 64 bits.
inline uint64_t fold_multiply(uint64_t a, uint64_t b) {
#if defined(__SIZEOF_INT128__)
    __extension__ typedef unsigned __int128 u128;
    const u128 product = static_cast<u128>(a) * b;
    return static_cast<uint64_t>(product) ^ static_cast<uint64_t>(product >> 64);
#else
    const uint64_t a_lo = a & 0xFFFFFFFF, a_hi = a >> 32, b_lo = b & 0xFFFFFFFF, b_hi = b >> 32;
    const uint64_t ll = a_lo * b_lo, lh = a_lo * b_hi, hl = a_hi * b_lo, hh = a_hi * b_hi;
    const uint64_t mid = (ll >> 32) + (lh & 0xFFFFFFFF) + (hl & 0xFFFFFFFF);
    const uint64_t lo = (ll & 0xFFFFFFFF) | (mid << 32);
    const uint64_t hi = hh + (lh >> 32) + (hl >> 32) + (mid >> 32);
    return lo ^ hi;
#endif
}

}  // namespace detail

// Reads every byte once, 16 at a time; short strings take one or two
// overlapping loads, so that no byte outside the string is read.
inline uint64_t keyed_hash(const HashKeys& keys, const uint8_t* p, size_t n) {
    using detail::fold_multiply;
    using detail::load32;
    using detail::load64;
    uint64_t a = keys.k[0] ^ n;
    uint64_t b = keys.k[1];
    if (n <= 16) {
        if (n >= 8) {
            a ^= load64(p);
            b ^= load64(p + n - 8);
        } else if (n >= 4) {
            a ^= load32(p);
            b ^= load32(p + n - 4);
        } else if (n > 0) {
            a ^= (uint64_t{p[0]} << 16) | (uint64_t{p[n >> 1]} << 8) | p[n - 1];
        }
    } else {
        size_t i = 0;
        for (; i + 16 < n; i += 16) {
            a = fold_multiply(a ^ load64(p + i), keys.k[2] ^ load64(p + i + 8));
        }
        // The last 16 bytes, overlapping what came before.
        a ^= load64(p + n - 16);
        b ^= load64(p + n - 8);
    }
    return fold_multiply(keys.k[3] ^ fold_multiply(a, b ^ keys.k[2]), n ^ keys.k[1]);
}

}  // namespace taldo
