// An 8-bit TIFF result whose strip has an odd length: the directory after it starts on the next
// even offset, the byte between is zero, and libtiff and the project's probe read the image back.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include <tiffio.h>

#include "imagecore/byte_order.h"
#include "imagecore/records.h"
#include "imagecore/tiff_probe.h"
#include "metadata/tiff_writer.h"
#include "tests/support/fixtures.h"
#include "tests/support/patterns.h"

namespace {

struct TiffCloser {
    void operator()(TIFF *t) const { TIFFClose(t); }
};

} // namespace

TEST(Buf2tif, OddStripOf8BitSamplesIsFollowedByAZeroPadByte)
{
    testsupport::TempDir dir;
    for (auto [w, h, spp] : {std::tuple{3, 3, 3}, {5, 1, 1}, {7, 3, 3}, {1, 1, 3}}) {
        SCOPED_TRACE(testing::Message() << w << " x " << h << " x " << spp);
        const size_t strip = size_t(w) * size_t(h) * size_t(spp);
        ASSERT_EQ(strip % 2, 1u);
        const std::vector<uint8_t> pixels =
            testsupport::seeded_samples<uint8_t>(strip, uint64_t(strip));
        int32_t info[kSaveInfoCount] = {};
        info[kSaveWidth] = w, info[kSaveHeight] = h, info[kSaveSamples] = spp;
        info[kSaveBits] = 8, info[kSaveXDpi] = info[kSaveYDpi] = 72, info[kSaveOrientation] = 1;
        const std::string path = dir.file("odd.tif");
        ASSERT_EQ(buf2tif(pixels.data(), info, w * spp, nullptr, nullptr, nullptr, 0, nullptr, 0,
                          nullptr, 0, nullptr, path.c_str()),
                  h);

        const testsupport::Bytes file = testsupport::read_file(path);
        ASSERT_GT(file.size(), 8 + strip + 1);
        EXPECT_EQ(imagecore::read_le32(&file[4]), 8 + strip + 1); // the directory, word-aligned
        EXPECT_EQ(file[8 + strip], 0);                            // the pad byte
        EXPECT_EQ(testsupport::Bytes(file.begin() + 8, file.begin() + long(8 + strip)), pixels);

        // The strip's byte count is the strip itself, without the pad byte.
        int probed[kImageInfosCount] = {};
        ASSERT_EQ(getTiffInfo(path.c_str(), probed), 2);
        EXPECT_EQ(probed[kInfoWidth], w);
        EXPECT_EQ(probed[kInfoHeight], h);
        EXPECT_EQ(probed[kInfoStripOffsets], 8);
        EXPECT_EQ(probed[kInfoStripByteCounts], int(strip));

        std::unique_ptr<TIFF, TiffCloser> tif(TIFFOpen(path.c_str(), "r"));
        ASSERT_TRUE(tif);
        uint16_t bps = 0, samples = 0;
        TIFFGetField(tif.get(), TIFFTAG_BITSPERSAMPLE, &bps);
        TIFFGetField(tif.get(), TIFFTAG_SAMPLESPERPIXEL, &samples);
        EXPECT_EQ(bps, 8);
        EXPECT_EQ(samples, spp);
        std::vector<uint8_t> back(strip);
        for (int y = 0; y < h; ++y)
            ASSERT_EQ(TIFFReadScanline(tif.get(), back.data() + size_t(y) * size_t(w * spp),
                                       uint32_t(y), 0),
                      1);
        EXPECT_EQ(back, pixels);
    }
}
