// Which body the 16-byte block scans use: SSE2 on x86-64, NEON on aarch64,
// the portable scalar body elsewhere or when TALDO_FORCE_SCALAR is defined.
#pragma once

#if defined(TALDO_FORCE_SCALAR)
#define TALDO_SIMD_SCALAR 1
#elif defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#define TALDO_SIMD_SSE2 1
#elif defined(__aarch64__) || defined(_M_ARM64)
#define TALDO_SIMD_NEON 1
#else
#define TALDO_SIMD_SCALAR 1
#endif

#include <bit>
#include <cstdint>
#include <cstring>

#include "../compiler.hpp"

#if defined(TALDO_SIMD_NEON)
#include <arm_neon.h>
#endif

namespace taldo::simd {

// Eight bytes with the first in the lowest bits, on any byte order.
TALDO_ALWAYS_INLINE uint64_t load_le64(const uint8_t* p) {
    uint64_t word;
    std::memcpy(&word, p, sizeof word);
    if constexpr (std::endian::native == std::endian::big) {
        word = ((word & 0x00000000000000FFull) << 56) | ((word & 0x000000000000FF00ull) << 40) |
               ((word & 0x0000000000FF0000ull) << 24) | ((word & 0x00000000FF000000ull) << 8) |
               ((word & 0x000000FF00000000ull) >> 8) | ((word & 0x0000FF0000000000ull) >> 24) |
               ((word & 0x00FF000000000000ull) >> 40) | ((word & 0xFF00000000000000ull) >> 56);
    }
    return word;
}

#if defined(TALDO_SIMD_NEON)
// NEON has no byte movemask: narrowing each 16-bit lane by 4 bits leaves a
// 64-bit value with 4 bits per byte (all set for a set byte), in memory order.
TALDO_ALWAYS_INLINE uint64_t nibble_mask(uint8x16_t bytes) {
    return vget_lane_u64(vreinterpret_u64_u8(vshrn_n_u16(vreinterpretq_u16_u8(bytes), 4)), 0);
}
#endif

}  // namespace taldo::simd
