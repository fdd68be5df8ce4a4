#include "bigint.hpp"

#include "native_memory.hpp"

namespace taldo {

BigInt::BigInt(uint64_t decimal_digits) {
    // log2(10) < 3.33 bits a digit, and one spare limb for the last carry.
    const uint64_t capacity = decimal_digits * 333 / 6400 + 2;
    if (capacity > INLINE_LIMBS) {
        limbs_ = static_cast<uint64_t*>(native_malloc(capacity * sizeof(uint64_t)));
    }
}

BigInt::~BigInt() {
    if (limbs_ != inline_) native_free(limbs_);
}

void BigInt::multiply_add(uint64_t factor, uint64_t addend) {
    uint64_t carry = addend;
    for (size_t i = 0; i < size_; ++i) {
        const U128 product = mul_64x64(limbs_[i], factor);
        limbs_[i] = product.lo + carry;
        // limb * factor + carry < 2^128, so the high word takes the carry.
        carry = product.hi + (limbs_[i] < carry ? 1 : 0);
    }
    if (carry != 0) {
        limbs_[size_++] = carry;
    }
}

}  // namespace taldo
