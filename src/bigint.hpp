// Arbitrary-precision magnitudes on 64-bit limbs, least significant first,
// with just the operations the digit runs need.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_MSC_VER) && !defined(__clang__) && defined(_M_X64)
#include <intrin.h>
#endif

namespace taldo {

#if defined(__SIZEOF_INT128__)
// A GNU extension, which -Wpedantic accepts when it is marked as one.
__extension__ typedef unsigned __int128 uint128_builtin;
#endif

struct U128 {
    uint64_t lo;
    uint64_t hi;
};

// The full 128-bit product of two 64-bit values.
inline U128 mul_64x64(uint64_t a, uint64_t b) {
#if defined(__SIZEOF_INT128__)
    const uint128_builtin p = static_cast<uint128_builtin>(a) * b;
    return {static_cast<uint64_t>(p), static_cast<uint64_t>(p >> 64)};
#elif defined(_MSC_VER) && defined(_M_X64)
    U128 r;
    r.lo = _umul128(a, b, &r.hi);
    return r;
#else
    const uint64_t a_lo = a & 0xFFFFFFFFu, a_hi = a >> 32, b_lo = b & 0xFFFFFFFFu, b_hi = b >> 32;
    const uint64_t ll = a_lo * b_lo, lh = a_lo * b_hi, hl = a_hi * b_lo, hh = a_hi * b_hi;
    const uint64_t middle = (ll >> 32) + (lh & 0xFFFFFFFFu) + (hl & 0xFFFFFFFFu);
    return {(middle << 32) | (ll & 0xFFFFFFFFu), hh + (lh >> 32) + (hl >> 32) + (middle >> 32)};
#endif
}

// The magnitude of a decimal digit run, built where it is used: the limbs of
// any run of up to about 300 digits live inline, longer runs take one heap
// block, sized once for the whole run.
class BigInt {
public:
    // Room for the value of `decimal_digits` digits, set to zero.
    // `ok()` is false when the limbs of a long run could not be allocated.
    explicit BigInt(uint64_t decimal_digits);
    BigInt(const BigInt&) = delete;
    BigInt& operator=(const BigInt&) = delete;
    ~BigInt();

    bool ok() const { return limbs_ != nullptr; }

    // this = high * 2^64 + low.
    void set(uint64_t low, uint64_t high) {
        limbs_[0] = low;
        limbs_[1] = high;
        size_ = high != 0 ? 2 : low != 0 ? 1 : 0;
    }
    // this = this * factor + addend, in one pass over the limbs; factor != 0.
    void multiply_add(uint64_t factor, uint64_t addend);

    const uint64_t* limbs() const { return limbs_; }
    size_t size() const { return size_; }  // no zero limb on top; 0 means zero

private:
    static constexpr size_t INLINE_LIMBS = 16;
    uint64_t inline_[INLINE_LIMBS];
    uint64_t* limbs_ = inline_;
    size_t size_ = 0;
};

}  // namespace taldo
