// Helpers of the tone-mapping tests: rgbeBuf images built from linear values.
#pragma once

#include <cstdint>
#include <vector>

#include "imagecore/pixel_buffers.h"
#include "tests/support/bracket_generator.h"

namespace tmtest {

// A w x h rgbeBuf from interleaved RGB floats; by default the test scene of that size.
inline std::vector<uint8_t> encode_rgbe(int w, int h, std::vector<float> rgb = {})
{
    if (rgb.empty())
        rgb = testsupport::make_radiance_map(w, h).rgb;
    std::vector<uint8_t> out(size_t(w) * size_t(h) * 4);
    for (size_t i = 0; i < size_t(w) * size_t(h); ++i)
        imagecore::put_rgbe(out.data() + i / size_t(w) * 4 * size_t(w), w, int(i % size_t(w)),
                            rgb[i * 3], rgb[i * 3 + 1], rgb[i * 3 + 2]);
    return out;
}

} // namespace tmtest
