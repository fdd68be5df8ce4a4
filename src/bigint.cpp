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

void FixedBigInt::multiply_add(uint64_t factor, uint64_t addend) {
    uint64_t carry = addend;
    for (size_t i = 0; i < size_; ++i) {
        const U128 product = mul_64x64(limbs_[i], factor);
        limbs_[i] = product.lo + carry;
        carry = product.hi + (limbs_[i] < carry ? 1 : 0);
    }
    if (carry != 0 && size_ < CAPACITY) {
        limbs_[size_++] = carry;
    }
}

void FixedBigInt::multiply_pow5(uint64_t exponent) {
    constexpr uint64_t POW5_27 = 7450580596923828125ull;  // the largest power of 5 below 2^64
    for (; exponent >= 27; exponent -= 27) {
        multiply_add(POW5_27, 0);
    }
    uint64_t factor = 1;
    for (; exponent != 0; --exponent) {
        factor *= 5;
    }
    if (factor != 1) {
        multiply_add(factor, 0);
    }
}

void FixedBigInt::shift_left(uint64_t bits) {
    if (size_ == 0) {
        return;
    }
    const uint64_t words = bits / 64;
    const unsigned shift = static_cast<unsigned>(bits % 64);
    if (words >= CAPACITY) {
        size_ = 0;  // cannot happen within the documented bound
        return;
    }
    size_t top = size_;
    if (shift != 0) {
        const uint64_t spill = limbs_[size_ - 1] >> (64 - shift);
        for (size_t i = size_ - 1; i > 0; --i) {
            limbs_[i] = (limbs_[i] << shift) | (limbs_[i - 1] >> (64 - shift));
        }
        limbs_[0] <<= shift;
        if (spill != 0 && top < CAPACITY) {
            limbs_[top++] = spill;
        }
    }
    if (words != 0) {
        const size_t moved = top + words > CAPACITY ? CAPACITY - words : top;
        for (size_t i = moved; i > 0; --i) {
            limbs_[i - 1 + words] = limbs_[i - 1];
        }
        for (size_t i = 0; i < words; ++i) {
            limbs_[i] = 0;
        }
        top = moved + words;
    }
    size_ = top;
}

int FixedBigInt::compare(const FixedBigInt& a, const FixedBigInt& b) {
    if (a.size_ != b.size_) {
        return a.size_ < b.size_ ? -1 : 1;
    }
    for (size_t i = a.size_; i > 0; --i) {
        if (a.limbs_[i - 1] != b.limbs_[i - 1]) {
            return a.limbs_[i - 1] < b.limbs_[i - 1] ? -1 : 1;
        }
    }
    return 0;
}

}  // namespace taldo
