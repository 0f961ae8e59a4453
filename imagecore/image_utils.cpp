// Brightening, percentile steering and memory size.
#include "imagecore/image_utils.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <new>
#include <vector>

#include "imagecore/float_clamp.h"
#include "platform/system.h"

namespace {
constexpr int kTraceBrighten = 0;
} // namespace

int raw_brighten(int n, uint16_t *samples)
{
    if (n < 0 || (n > 0 && !samples))
        return -3;
    std::vector<int> histogram;
    try {
        histogram.assign(65536, 0);
    } catch (const std::bad_alloc &) {
        return -1;
    }
    for (int i = 0; i < n; ++i)
        ++histogram[samples[i]];
    const int tail = n / 10;
    int white = -1;
    for (int level = 65535, sum = 0; level >= 0; --level) {
        sum += histogram[size_t(level)];
        if (sum > tail) {
            white = level;
            break;
        }
    }
    if (white <= 0)
        return -1;
    const float w = float(white) / 1.5f;
    const float gain = std::pow(65535.0f / w, 0.45f);
    if (kTraceBrighten)
        std::fprintf(stderr, "White: %d  %1.2f   bright: %1.2f\n", white, double(w), double(gain));
    for (int i = 0; i < n; ++i)
        samples[i] = uint16_t(imagecore::clamp_to_int(float(samples[i]) * gain, 0, 65535));
    return n;
}

int verifPercentile(const int *histos, int index, int iteration, int count)
{
    if (!histos || index < 0 || iteration < 0)
        return -3;
    const int *histo = histos + size_t(index) * 256;
    for (;; ++iteration) {
        int level = 0;
        for (long long cumulative = 0; level < 256; ++level) {
            cumulative += histo[level];
            if (cumulative > count)
                break;
        }
        if (iteration > 39 || (level >= 15 && level <= 235))
            return count;
        const float factor = level <= 14 ? 1.01f : 0.99f;
        count = imagecore::clamp_to_int(float(count) * factor);
    }
}

int getSizeRAM()
{
    return imagecore::saturated_ram_size(platform::physical_memory());
}

namespace imagecore {

int saturated_ram_size(uint64_t bytes)
{
    if (bytes == 0)
        return -1;
    return bytes > uint64_t(INT_MAX) ? INT_MAX : int(bytes);
}

} // namespace imagecore
