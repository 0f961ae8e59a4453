// Selection of the lower median by partitioning (quickselect with a median-of-three pivot that
// also leaves sentinels at both ends of the range, so the scans need no bounds tests).
#pragma once

#include <utility>

namespace merge::detail {

// The value of rank (n - 1) / 2 in ascending order among values[0 .. n - 1]: the median for odd
// n, the lower middle value for even n. values is partly reordered; when perm is not null every
// exchange is applied to perm at the same positions as well, so perm[(n - 1) / 2] then names the
// entry the median came from. n < 1 returns 0 and touches nothing.
inline float quick_select(float *values, int *perm, int n)
{
    if (n < 1)
        return 0.0f;
    auto swap = [&](int a, int b) {
        std::swap(values[a], values[b]);
        if (perm != nullptr)
            std::swap(perm[a], perm[b]);
    };
    const int k = (n - 1) / 2;
    int low = 0, high = n - 1;
    for (;;) {
        if (high <= low)
            return values[k];
        if (high == low + 1) {
            if (values[low] > values[high])
                swap(low, high);
            return values[k];
        }
        const int middle = (low + high) / 2;
        if (values[middle] > values[high])
            swap(middle, high);
        if (values[low] > values[high])
            swap(low, high);
        if (values[middle] > values[low])
            swap(middle, low);
        // values[low + 1] <= pivot = values[low] <= values[high]: the scans stop at these.
        swap(middle, low + 1);
        int ll = low + 1, hh = high;
        for (;;) {
            do
                ++ll;
            while (values[low] > values[ll]);
            do
                --hh;
            while (values[hh] > values[low]);
            if (hh < ll)
                break;
            swap(ll, hh);
        }
        swap(low, hh);
        if (hh <= k)
            low = ll;
        if (hh >= k)
            high = hh - 1;
    }
}

} // namespace merge::detail
