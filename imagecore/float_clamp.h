// Float-to-integer conversions that are defined for every input. C++ leaves the conversion of
// NaN or an out-of-range float undefined; the kernels truncate values that can be either.
#pragma once

#include <cstdint>
#include <limits>

namespace imagecore {

// Truncates toward zero and saturates to [lo, hi]; NaN gives nan_value (0 by default,
// clamped into the range).
inline int clamp_to_int(double v, int lo = std::numeric_limits<int>::min(),
                        int hi = std::numeric_limits<int>::max(), int nan_value = 0)
{
    if (v != v)
        return nan_value < lo ? lo : (nan_value > hi ? hi : nan_value);
    if (v <= static_cast<double>(lo))
        return lo;
    if (v >= static_cast<double>(hi))
        return hi;
    return static_cast<int>(v);
}

// The same into 0..255.
inline uint8_t clamp_to_u8(double v)
{
    return static_cast<uint8_t>(clamp_to_int(v, 0, 255));
}

} // namespace imagecore
