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

namespace {

constexpr uint64_t POW5_27 = 7450580596923828125ull;  // the largest power of 5 below 2^64
constexpr uint64_t POW5_STEPS = 41;                  // 27 * 41 = 1107: every exponent the conversion needs

// 5^(27 j) for j = 1 to POW5_STEPS, in j limbs each (5^27 < 2^64 and
// 5^(27 j) >= 2^(64 (j - 1))), one after the other from limb j (j - 1) / 2 on.
struct Pow5Steps {
    uint64_t limbs[POW5_STEPS * (POW5_STEPS + 1) / 2] = {};
    constexpr Pow5Steps() {
        uint64_t power[POW5_STEPS] = {1};
        uint64_t size = 1;
        for (uint64_t j = 1; j <= POW5_STEPS; ++j) {
            uint64_t carry = 0;
            for (uint64_t i = 0; i < size; ++i) {
                // power[i] * 5^27 in 32-bit halves: the table is built by
                // the compiler, where no 128-bit type may be at hand.
                const uint64_t a_lo = power[i] & 0xFFFFFFFFu, a_hi = power[i] >> 32;
                const uint64_t b_lo = POW5_27 & 0xFFFFFFFFu, b_hi = POW5_27 >> 32;
                const uint64_t ll = a_lo * b_lo, lh = a_lo * b_hi, hl = a_hi * b_lo, hh = a_hi * b_hi;
                const uint64_t mid = (ll >> 32) + (lh & 0xFFFFFFFFu) + (hl & 0xFFFFFFFFu);
                const uint64_t product_lo = (mid << 32) | (ll & 0xFFFFFFFFu);
                const uint64_t product_hi = hh + (lh >> 32) + (hl >> 32) + (mid >> 32);
                const uint64_t sum = product_lo + carry;
                carry = product_hi + (sum < carry ? 1 : 0);
                power[i] = sum;
            }
            if (carry != 0) {
                power[size++] = carry;
            }
            for (uint64_t i = 0; i < j; ++i) {
                limbs[j * (j - 1) / 2 + i] = i < size ? power[i] : 0;
            }
        }
    }
};

constexpr Pow5Steps POW5_STEP_TABLE{};
static_assert(POW5_STEP_TABLE.limbs[0] == POW5_27);
static_assert(POW5_STEP_TABLE.limbs[1] == 0x6664242d97d9f649ull && POW5_STEP_TABLE.limbs[2] == 0x29c30f1029939b14ull);  // 5^54
static_assert(POW5_STEP_TABLE.limbs[POW5_STEPS * (POW5_STEPS + 1) / 2 - 1] != 0);

constexpr uint64_t POW5_SMALL[27] = {
    1ull, 5ull, 25ull, 125ull, 625ull, 3125ull, 15625ull, 78125ull, 390625ull, 1953125ull, 9765625ull,
    48828125ull, 244140625ull, 1220703125ull, 6103515625ull, 30517578125ull, 152587890625ull,
    762939453125ull, 3814697265625ull, 19073486328125ull, 95367431640625ull, 476837158203125ull,
    2384185791015625ull, 11920928955078125ull, 59604644775390625ull, 298023223876953125ull,
    1490116119384765625ull};

}  // namespace

void FixedBigInt::multiply_add(uint64_t factor, uint64_t addend) {
    uint64_t* const limbs = limbs_;
    const size_t size = size_;
    uint64_t carry = addend;
    for (size_t i = 0; i < size; ++i) {
        const U128 product = mul_64x64(limbs[i], factor);
        const uint64_t sum = product.lo + carry;
        carry = product.hi + (sum < carry ? 1 : 0);
        limbs[i] = sum;
    }
    if (carry != 0 && size < CAPACITY) {
        limbs[size] = carry;
        size_ = size + 1;
    }
}

void FixedBigInt::multiply_pow5(uint64_t exponent) {
    if (size_ == 0) {
        return;
    }
    // The table's powers first, while the multiplicand is short enough for
    // the one- and two-limb passes; the rest, 5^0 to 5^26, in one pass.
    for (uint64_t steps = exponent / 27; steps != 0;) {
        const uint64_t j = steps < POW5_STEPS ? steps : POW5_STEPS;
        steps -= j;
        const uint64_t* const factor = POW5_STEP_TABLE.limbs + j * (j - 1) / 2;
        if (size_ <= 2 && j + 2 <= CAPACITY) {
            // The common case, a multiplicand of one or two limbs (a halfway
            // point, or a short significand): one or two passes over the
            // power, straight into place.
            uint64_t* const limbs = limbs_;
            const uint64_t a0 = limbs[0];
            const uint64_t a1 = size_ == 2 ? limbs[1] : 0;
            uint64_t carry = 0;
            for (size_t k = 0; k < j; ++k) {
                const U128 p = mul_64x64(a0, factor[k]);
                const uint64_t sum = p.lo + carry;
                carry = p.hi + (sum < carry ? 1 : 0);
                limbs[k] = sum;
            }
            limbs[j] = carry;
            size_t top = j + 1;
            if (a1 != 0) {
                carry = 0;
                for (size_t k = 0; k < j; ++k) {
                    const U128 p = mul_64x64(a1, factor[k]);
                    const uint64_t sum = p.lo + carry;
                    const uint64_t result = limbs[k + 1] + sum;
                    carry = p.hi + (sum < carry ? 1 : 0) + (result < sum ? 1 : 0);
                    limbs[k + 1] = result;
                }
                limbs[j + 1] = carry;
                top = j + 2;
            }
            while (top > 0 && limbs[top - 1] == 0) --top;
            size_ = top;
            continue;
        }
        // Schoolbook product with the j limbs of 5^(27 j).
        uint64_t product[CAPACITY];
        const size_t size = size_;
        const size_t total = size + j < CAPACITY ? size + j : CAPACITY;
        for (size_t i = 0; i < total; ++i) {
            product[i] = 0;
        }
        for (size_t i = 0; i < size; ++i) {
            uint64_t carry = 0;
            const uint64_t a = limbs_[i];
            for (size_t k = 0; k < j && i + k < total; ++k) {
                const U128 p = mul_64x64(a, factor[k]);
                const uint64_t sum = p.lo + carry;
                const uint64_t with_carry = (sum < carry ? 1 : 0);
                const uint64_t result = product[i + k] + sum;
                carry = p.hi + with_carry + (result < sum ? 1 : 0);
                product[i + k] = result;
            }
            if (i + j < total) {
                product[i + j] = carry;
            }
        }
        size_t top = total;
        while (top > 0 && product[top - 1] == 0) --top;
        for (size_t i = 0; i < top; ++i) {
            limbs_[i] = product[i];
        }
        size_ = top;
    }
    if (exponent % 27 != 0) {
        multiply_add(POW5_SMALL[exponent % 27], 0);
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
