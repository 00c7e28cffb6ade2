// Conversions that clamp a value to the range it must fit instead of overflowing: the
// engine's answer wherever a result cannot be represented in its type.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace tio {

// `value` clamped to the range of To. From is a signed integer type (__int128 included) at
// least as wide as To.
template <typename To, typename From>
constexpr To saturate(From value) {
    static_assert(std::numeric_limits<To>::is_integer && sizeof(From) >= sizeof(To));
    constexpr To kMax = std::numeric_limits<To>::max();
    constexpr To kMin = std::numeric_limits<To>::min();
    if (value > static_cast<From>(kMax)) return kMax;
    if (value < static_cast<From>(kMin)) return kMin;
    return static_cast<To>(value);
}

// `value` truncated toward zero; NaN gives 0 and values beyond the range saturate.
inline int64_t saturate_truncated(double value) {
    if (std::isnan(value)) return 0;
    // 2^63 is exact as a double; INT64_MAX is not, so the bound is tested inclusively.
    if (value >= 9223372036854775808.0) return std::numeric_limits<int64_t>::max();
    if (value <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(value);
}

}  // namespace tio
