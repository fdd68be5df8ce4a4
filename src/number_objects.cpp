#include "number_objects.hpp"

namespace taldo {

// Numbers are not read yet: every byte that begins no other value is refused.
template <FloatMode F>
Result<PyRef> build_number(Scanner& scanner, uint8_t /*first_byte*/, bool /*allow_inf_nan*/) {
    return ParseError(ErrorKind::ExpectedValue, scanner.index);
}

template Result<PyRef> build_number<FloatMode::Float>(Scanner&, uint8_t, bool);
template Result<PyRef> build_number<FloatMode::Decimal>(Scanner&, uint8_t, bool);
template Result<PyRef> build_number<FloatMode::LosslessFloat>(Scanner&, uint8_t, bool);

}  // namespace taldo
