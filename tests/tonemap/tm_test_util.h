// Helper of the tone-mapping tests and benchmark: the test scene as an rgbeBuf.
#pragma once

#include <cstdint>
#include <vector>

#include "imagecore/pixel_buffers.h"
#include "tests/support/bracket_generator.h"

namespace tmtest {

inline std::vector<uint8_t> encode_rgbe(int w, int h)
{
    const std::vector<float> rgb = testsupport::make_radiance_map(w, h).rgb;
    std::vector<uint8_t> out(size_t(w) * size_t(h) * 4);
    for (size_t i = 0; i < size_t(w) * size_t(h); ++i)
        imagecore::put_rgbe(out.data() + i / size_t(w) * 4 * size_t(w), w, int(i % size_t(w)),
                            rgb[i * 3], rgb[i * 3 + 1], rgb[i * 3 + 2]);
    return out;
}

} // namespace tmtest
