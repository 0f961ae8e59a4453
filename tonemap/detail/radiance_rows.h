// Rows of a Radiance file one at a time, for the out-of-core reader and the out-of-core colour
// reconstruction, which read the same files under the same header rules and codes (decomp2's).
#pragma once

#include <cstdint>
#include <vector>

#include "imagecore/radiance.h"
#include "platform/file_holder.h"

namespace tonemap::detail {

class RadianceRows {
public:
    // Opens path, scans its header and checks the resolution against width x height, then
    // decides the layout of the rows. Returns 0; -1 the file cannot be opened; -2 a header line
    // or the first pixel bytes cannot be read, or no resolution line; -3 another resolution;
    // -4 out of memory.
    int open(const char *path, int width, int height);

    // Decodes the next row into row, an rgbeBuf row of 4 x width bytes. Returns 0 or decomp2's
    // codes of a scanline (-1, -2, -4, -5, -6).
    int next(uint8_t *row);

private:
    platform::FilePtr m_file;
    int m_width = 0;
    imagecore::RadianceLayout m_layout = imagecore::RadianceLayout::kFlat;
    std::vector<uint8_t> m_work; // one flat row
};

// The number of header lines the readers examine in a file of size bytes.
long radiance_header_lines(long size);

} // namespace tonemap::detail
