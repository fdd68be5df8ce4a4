// Arbitrary-precision magnitudes on 64-bit limbs, least significant first,
// with just the operations the digit runs and the exact float conversion
// need.
#pragma once

#include <cstddef>
#include <cstdint>

#include "compiler.hpp"

namespace taldo {

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

// A magnitude held inline in at most CAPACITY limbs, for the exact float
// conversion, whose values stay below 2^2700 (see float_conversion.cpp). A
// result that would not fit loses its top limbs rather than write past the
// array, so that a wrong bound can give a wrong double but never touch
// memory it should not.
class FixedBigInt {
public:
    static constexpr size_t CAPACITY = 48;

    // this = value.
    void set(uint64_t value) {
        limbs_[0] = value;
        size_ = value != 0 ? 1 : 0;
    }
    // this = this * factor + addend; factor != 0.
    void multiply_add(uint64_t factor, uint64_t addend);
    // this = this * 5^exponent.
    void multiply_pow5(uint64_t exponent);
    // this = this * 2^bits.
    void shift_left(uint64_t bits);
    // -1, 0 or 1 as a < b, a == b or a > b.
    static int compare(const FixedBigInt& a, const FixedBigInt& b);

    size_t size() const { return size_; }  // no zero limb on top; 0 means zero

private:
    uint64_t limbs_[CAPACITY];
    size_t size_ = 0;
};

}  // namespace taldo
