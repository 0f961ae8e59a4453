#include "platform/value.h"

namespace platform {

int64_t Value::intValue(int64_t fallback) const
{
    if (auto p = std::get_if<int64_t>(&v))
        return *p;
    if (auto d = std::get_if<double>(&v)) {
        // Saturate instead of the undefined conversion of an out-of-range double.
        if (!(*d == *d))
            return fallback;
        if (*d >= 9.2e18)
            return INT64_MAX;
        if (*d <= -9.2e18)
            return INT64_MIN;
        return static_cast<int64_t>(*d);
    }
    return fallback;
}

double Value::doubleValue(double fallback) const
{
    if (auto p = std::get_if<int64_t>(&v))
        return static_cast<double>(*p);
    if (auto d = std::get_if<double>(&v))
        return *d;
    return fallback;
}

} // namespace platform
