// Fuzz entry point of the TIFF strip readers and the HDR file conversions over the input as a
// file: the probe's layout (strip table from arr_from_tiffOffset) handed to read_strip_tif,
// load_tif, fp2rgbe, tif2exrbuf and tif2hdr (into /dev/null), and rgbe_dim of the same bytes.
// Output buffers are sized from the probe's values, so sizes past a bound are skipped.
#include <cstdint>
#include <vector>

#include "fuzz/memory_file.h"
#include "imagecore/hdr_files.h"
#include "imagecore/records.h"
#include "imagecore/tiff_probe.h"
#include "imagecore/tiff_strips.h"
#include "platform/checked_size.h"

namespace {

constexpr size_t kMaxDecode = size_t(16) << 20;
constexpr int kMaxStrips = 4096;

// Bytes of w x h x spp samples of `bytes` bytes, or 0 beyond the bound.
size_t bounded(int64_t w, int64_t h, int64_t spp, int64_t bytes)
{
    auto n = platform::image_bytes(w, h, spp, bytes);
    return n && *n <= kMaxDecode ? *n : 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static fuzzsupport::MemoryFile file;
    const char *path = file.write(data, size, "tif");
    if (!path)
        return 0;
    int dims[3];
    rgbe_dim(path, dims);
    int info[kImageInfosCount] = {};
    const int order = getTiffInfo(path, info);
    if (order < 1)
        return 0;
    const int w = info[kInfoWidth], h = info[kInfoHeight], spp = info[kInfoSamples];
    const int bps = info[kInfoBits], offset = info[kInfoStripOffsets];
    int rps = info[kInfoRowsPerStrip];
    if (rps < 1 || rps > h)
        rps = h;
    if (h < 1 || (int64_t(h) + rps - 1) / rps > kMaxStrips)
        return 0;
    const int strips = int((int64_t(h) + rps - 1) / rps);
    std::vector<int> table(static_cast<size_t>(strips));
    if (arr_from_tiffOffset(path, strips, offset, table.data()) < 1)
        return 0;
    const int bandHeight = h / 3 > 0 ? h / 3 : 1;
    if (const size_t n = bounded(w, bandHeight, spp, bps == 16 ? 2 : 1)) {
        std::vector<uint8_t> out(n);
        for (int band = 0; band < 4; ++band)
            if (read_strip_tif(path, band, bandHeight, w, bandHeight, spp, bps, rps, h,
                               table.data(), order, out.data()) > bandHeight)
                __builtin_trap();
    }
    if (const size_t n = bounded(w, h, spp, 2)) {
        std::vector<uint16_t> out(n / 2);
        if (load_tif(path, w, h, spp, offset, order, out.data()) > h)
            __builtin_trap();
    }
    if (const size_t n = bounded(w, h, 4, 1)) {
        std::vector<uint8_t> rgbe(n);
        float mn, mx, mean;
        fp2rgbe(path, info, &mn, &mx, &mean, rgbe.data());
        if (tif2exrbuf(path, w, h, spp, offset, rgbe.data()) > h)
            __builtin_trap();
        tif2hdr(path, w, h, spp, offset, "fuzz", "/dev/null");
    }
    return 0;
}
