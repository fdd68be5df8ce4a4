// What differs between compilers, in one place: function attributes and the
// 64x64 -> 128-bit product. GCC and clang (clang-cl too) take their own
// attributes and builtins, MSVC its keywords and intrinsics, and any other
// compiler the plain C++20 below them.
//
// TALDO_PORTABLE_BUILTINS makes GCC and clang take the plain C++ paths as
// well, so that the paths no compiler of ours would otherwise choose are
// built and checked on the machines where the tests run.
#pragma once

#include <cstdint>

#if defined(TALDO_PORTABLE_BUILTINS)
// Nothing compiler-specific.
#elif defined(__GNUC__) || defined(__clang__)
#define TALDO_COMPILER_GNU 1
#elif defined(_MSC_VER)
#define TALDO_COMPILER_MSVC 1
#endif

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#endif

// TALDO_ALWAYS_INLINE stands where `inline` would: the small functions on the
// hottest paths, where a call would cost more than the body. TALDO_NOINLINE
// and TALDO_COLD keep slow and error paths out of the hot loops.
#if defined(TALDO_COMPILER_GNU)
#define TALDO_ALWAYS_INLINE [[gnu::always_inline]] inline
#define TALDO_NOINLINE [[gnu::noinline]]
#define TALDO_COLD [[gnu::cold]]
#define TALDO_RESTRICT __restrict__
#define TALDO_UNREACHABLE() __builtin_unreachable()
#elif defined(TALDO_COMPILER_MSVC)
#define TALDO_ALWAYS_INLINE __forceinline
#define TALDO_NOINLINE __declspec(noinline)
#define TALDO_COLD
#define TALDO_RESTRICT __restrict
#define TALDO_UNREACHABLE() __assume(0)
#else
#define TALDO_ALWAYS_INLINE inline
#define TALDO_NOINLINE
#define TALDO_COLD
#define TALDO_RESTRICT
#define TALDO_UNREACHABLE() ((void)0)
#endif

// A function whose body uses AVX2 instructions, called only after
// `cpu_has_avx2()`. GCC and clang compile such a function for that
// instruction set alone; MSVC takes AVX2 intrinsics anywhere.
#if defined(__GNUC__) || defined(__clang__)
#define TALDO_TARGET_AVX2 __attribute__((target("avx2")))
#else
#define TALDO_TARGET_AVX2
#endif

namespace taldo {

struct U128 {
    uint64_t lo;
    uint64_t hi;
};

// The full 128-bit product of two 64-bit values.
TALDO_ALWAYS_INLINE U128 mul_64x64(uint64_t a, uint64_t b) {
#if defined(TALDO_COMPILER_GNU) && defined(__SIZEOF_INT128__)
    // A GNU extension, which -Wpedantic accepts when it is marked as one.
    __extension__ typedef unsigned __int128 u128;
    const u128 p = static_cast<u128>(a) * b;
    return {static_cast<uint64_t>(p), static_cast<uint64_t>(p >> 64)};
#elif defined(TALDO_COMPILER_MSVC) && defined(_M_X64)
    U128 r;
    r.lo = _umul128(a, b, &r.hi);
    return r;
#elif defined(TALDO_COMPILER_MSVC) && defined(_M_ARM64)
    return {a * b, __umulh(a, b)};
#else
    const uint64_t a_lo = a & 0xFFFFFFFFu, a_hi = a >> 32, b_lo = b & 0xFFFFFFFFu, b_hi = b >> 32;
    const uint64_t ll = a_lo * b_lo, lh = a_lo * b_hi, hl = a_hi * b_lo, hh = a_hi * b_hi;
    const uint64_t middle = (ll >> 32) + (lh & 0xFFFFFFFFu) + (hl & 0xFFFFFFFFu);
    return {(middle << 32) | (ll & 0xFFFFFFFFu), hh + (lh >> 32) + (hl >> 32) + (middle >> 32)};
#endif
}

}  // namespace taldo
