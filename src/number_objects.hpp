// The number handler of the value builder: a JSON number becomes an int, or,
// by the call's float mode, a float, a decimal.Decimal or a LosslessFloat.
#pragma once

#include <cstdint>

#include "errors.hpp"
#include "options.hpp"
#include "py_ref.hpp"
#include "scanner.hpp"

namespace taldo {

// On entry the scanner's index is at the number's first byte (`first_byte`).
// On success the index is one past the number; on failure it is unchanged.
template <FloatMode F>
Result<PyRef> build_number(Scanner& scanner, uint8_t first_byte, bool allow_inf_nan);

}  // namespace taldo
