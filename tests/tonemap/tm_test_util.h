// Helpers of the tone-mapping tests and benchmarks: the test scene as an rgbeBuf, plain or with
// fine texture.
#pragma once

#include <cstdint>
#include <vector>

#include "imagecore/pixel_buffers.h"
#include "tests/support/bracket_generator.h"
#include "tests/support/warp.h"

namespace tmtest {

// texture > 0 multiplies every pixel by 1 +- texture (seeded grain, the same for every run), so
// that the gradients carry detail everywhere as in a real photograph.
inline std::vector<uint8_t> encode_rgbe(int w, int h, double texture = 0)
{
    const std::vector<float> rgb = testsupport::make_radiance_map(w, h).rgb;
    std::vector<uint8_t> out(size_t(w) * size_t(h) * 4);
    testsupport::SeededRandom grain(15);
    for (size_t i = 0; i < size_t(w) * size_t(h); ++i) {
        const float f = texture > 0 ? float(1 + texture * (2 * grain.uniform() - 1)) : 1.0f;
        imagecore::put_rgbe(out.data() + i / size_t(w) * 4 * size_t(w), w, int(i % size_t(w)),
                            rgb[i * 3] * f, rgb[i * 3 + 1] * f, rgb[i * 3 + 2] * f);
    }
    return out;
}

} // namespace tmtest
