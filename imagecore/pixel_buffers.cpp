// The rankings follow a selection scheme (repeated maximum or minimum search) rather than a
// sort, because callers rely on its exact tie and sentinel rules.
#include "imagecore/pixel_buffers.h"

#include <algorithm>
#include <cstddef>
#include <new>
#include <vector>

namespace {

// Replaces each entry equal to the one before it (the first compared with -1) by the next index
// of 0..n-1 missing from the list, in increasing order. Returns the number replaced.
int replace_repeats(int n, int *list)
{
    int repeats = 0;
    int prev = -1;
    for (int k = 0; k < n; ++k) {
        if (list[k] == prev)
            ++repeats;
        prev = list[k];
    }
    if (repeats == 0)
        return 0;
    std::vector<char> listed(static_cast<size_t>(n), 0);
    for (int k = 0; k < n; ++k)
        if (list[k] >= 0 && list[k] < n)
            listed[static_cast<size_t>(list[k])] = 1;
    int next = 0;
    prev = -1;
    for (int k = 0; k < n; ++k) {
        if (list[k] == prev) {
            while (next < n && listed[static_cast<size_t>(next)])
                ++next;
            list[k] = next < n ? next++ : list[k];
        } else {
            prev = list[k];
        }
    }
    return repeats;
}

} // namespace

int progress(progressCallback callback, float fraction)
{
    if (callback == nullptr)
        return 1;
    int abort = 0;
    callback(&abort, fraction);
    return abort == 0 ? 1 : 0;
}

int fClassementCroissant(int n, const float *values, int *order)
{
    if (n < 1)
        return 0;
    try {
        std::vector<float> s(values, values + n);
        std::vector<int> list(static_cast<size_t>(n));
        int pick = 0;
        for (int r = 0; r < n; ++r) {
            float best = -1e8f;
            for (int i = 0; i < n; ++i) {
                if (static_cast<double>(s[i]) > -99999999.0 && s[i] > best) {
                    best = s[i];
                    pick = i;
                }
            }
            list[r] = pick;
            s[pick] = -1e8f;
        }
        replace_repeats(n, list.data());
        for (int k = 0; k < n; ++k)
            order[k] = list[n - 1 - k];
    } catch (const std::bad_alloc &) {
        return -4;
    }
    return n;
}

int iclassement(int n, const int *values, int *order)
{
    if (n < 1)
        return n;
    int bound = 100000000;
    int pick = 0;
    for (int r = 0; r < n; ++r) {
        int best = 0;
        for (int i = 0; i < n; ++i) {
            if (bound > values[i] && values[i] > best) {
                best = values[i];
                pick = i;
            }
        }
        order[r] = pick;
        bound = best;
        // Once a round finds nothing every later round repeats it: O(n x distinct values).
        if (best == 0) {
            std::fill(order + r + 1, order + n, pick);
            break;
        }
    }
    try {
        return n - replace_repeats(n, order);
    } catch (const std::bad_alloc &) {
        return -4;
    }
}

int expo_mediane(int n, float *values)
{
    if (n < 1)
        return -1;
    try {
        std::vector<int> list(static_cast<size_t>(n));
        int pick = 0;
        for (int r = 0; r < n; ++r) {
            float best = 1e8f;
            for (int i = 0; i < n; ++i) {
                if (99999999.0 > static_cast<double>(values[i]) && best > values[i]) {
                    best = values[i];
                    pick = i;
                }
            }
            list[r] = pick;
            values[pick] = 1e8f;
        }
        return list[n / 2];
    } catch (const std::bad_alloc &) {
        return -4;
    }
}

int rgbe2float(const uint8_t *buf, const float *table, int gOffset, int bOffset, int eOffset,
               int index, float *rgb)
{
    int e = buf[index + eOffset];
    if (e == 0) {
        rgb[0] = rgb[1] = rgb[2] = 0.0f;
        return 0;
    }
    rgb[0] = buf[index] * table[e];
    rgb[1] = buf[index + gOffset] * table[e];
    rgb[2] = buf[index + bOffset] * table[e];
    return e;
}

int exp_lut(float *table, int offset)
{
    for (int i = 0; i < 256; ++i)
        table[i] = static_cast<float>(std::ldexp(1.0, i - 128 + offset));
    return 256;
}
