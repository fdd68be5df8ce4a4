// The options of one from_json call, after validation.
#pragma once

#include <cstdint>

namespace taldo {

// Where the string cache is used.
enum class CacheMode : uint8_t { All = 0, Keys = 1, None = 2 };

// Whether an incomplete document is accepted.
enum class PartialMode : uint8_t { Off = 0, On = 1, TrailingStrings = 2 };

// What a JSON number with a fraction or exponent becomes.
enum class FloatMode : uint8_t { Float = 0, Decimal = 1, LosslessFloat = 2 };

struct BuildOptions {
    bool allow_inf_nan = true;
    CacheMode cache_mode = CacheMode::All;
    PartialMode partial_mode = PartialMode::Off;
    bool catch_duplicate_keys = false;
    FloatMode float_mode = FloatMode::Float;
};

}  // namespace taldo
