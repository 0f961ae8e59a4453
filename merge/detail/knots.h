// Tables given as knots joined by straight lines (the exposure estimate's EV factors, the ghost
// test's exposure slopes).
#pragma once

#include <cstddef>

namespace merge::detail {

struct Knot {
    int x;
    float y;
};

// The line through the knots around x, in single precision as slope and intercept; x from the
// first knot's x up to (not including) the last knot's.
inline float knot_value(const Knot *knots, size_t count, int x)
{
    size_t s = 0;
    while (s + 2 < count && x >= knots[s + 1].x)
        ++s;
    const Knot &k0 = knots[s], &k1 = knots[s + 1];
    const float slope = (k1.y - k0.y) / float(k1.x - k0.x);
    const float intercept = k0.y - float(k0.x) * slope;
    return float(x) * slope + intercept;
}

} // namespace merge::detail
