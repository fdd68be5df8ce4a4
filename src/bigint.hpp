// Arbitrary-precision integers on 64-bit limbs, least significant first, with
// just the operations the digit runs need.
#pragma once

#include <cstdint>
#include <vector>

namespace taldo {

struct BigInt {
    bool negative = false;
    std::vector<uint64_t> limbs;  // magnitude; empty means zero

    static BigInt from_u64(uint64_t value, bool negative);
    void multiply(uint64_t factor);
    void add(uint64_t addend);
};

}  // namespace taldo
