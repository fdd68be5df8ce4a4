#include "bigint.hpp"

namespace taldo {

BigInt BigInt::from_u64(uint64_t value, bool negative) {
    BigInt result;
    result.negative = negative;
    if (value != 0) {
        result.limbs.push_back(value);
    }
    return result;
}

void BigInt::multiply_add(uint64_t factor, uint64_t addend) {
    uint64_t carry = addend;
    for (uint64_t& limb : limbs) {
        const U128 product = mul_64x64(limb, factor);
        limb = product.lo + carry;
        // limb * factor + carry < 2^128, so the high word takes the carry.
        carry = product.hi + (limb < carry ? 1 : 0);
    }
    if (carry != 0) {
        limbs.push_back(carry);
    }
}

}  // namespace taldo
