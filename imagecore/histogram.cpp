// Running-sum search over a histogram.
#include "imagecore/histogram.h"

#include <algorithm>
#include <cstdint>

int percentile(long total, int nbins, const int *hist, float fraction)
{
    if (nbins < 1)
        return 0;
    if (hist == nullptr)
        return -3;
    // Truncated as a float product; NaN or an absurd fraction saturates rather than wrapping.
    const double product = float(total) * fraction;
    const int64_t target = product != product ? 0 : int64_t(std::clamp(product, -9e18, 9e18));
    int64_t run = 0;
    for (int i = 0; i < nbins; ++i) {
        run += hist[i];
        if (run > target)
            return i;
    }
    return nbins;
}
