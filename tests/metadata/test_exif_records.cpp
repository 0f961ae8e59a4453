// The rational encoding at scale 100 and the exifBuf slots built from an ExifInfo (texts and
// GPS fields are checked by the writers' round trips).
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

#include "metadata/exif_records.h"

TEST(RationalFromFloat, TableSaturationAndNonPositive)
{
    const int32_t kMax = std::numeric_limits<int32_t>::max();
    const struct {
        float v;
        int32_t num, den; // -1, -1: nothing written
    } cases[] = {
        {1.0f / 250.0f, 100, 24999},
        {2.8f, 279, 100},
        {5.6f, 559, 100},
        {0.125f, 100, 800},
        {0.3f, 100, 333},
        {10.0f, 1000, 100},
        {1.0f, 100, 100},
        {0.5f, 100, 200},
        {1e30f, kMax, 100},
        {1e-30f, 100, kMax},
        {0.0f, -1, -1},
        {-3.0f, -1, -1},
        {std::numeric_limits<float>::quiet_NaN(), -1, -1},
    };
    for (const auto &c : cases) {
        int32_t num = -1, den = -1;
        EXPECT_EQ(rational_from_float(c.v, &num, &den), c.num != -1) << c.v;
        EXPECT_EQ(num, c.num) << c.v;
        EXPECT_EQ(den, c.den) << c.v;
    }
}

TEST(MetadataBufFromExifInfo, FillsTheSlotsAndKeepsAbsentRationals)
{
    ExifInfo info;
    init_exifInfo(&info);
    info.focalLength = -5.0f; // not positive: absent
    int32_t exif[kExifBufCount], gps[kGpsBufCount] = {};
    std::fill(exif, exif + kExifBufCount, 7);
    EXPECT_EQ(metadataBufFromExifInfo(&info, exif, gps), 7);
    for (int s = 0; s < kExifBufCount; ++s) // rationals and unused slots are kept
        EXPECT_EQ(exif[s], s <= 4 || (s >= 7 && s <= 11) || s == 13 || s == 14 ? 7 : 0) << s;

    info.sourceFlag = 2;
    info.exposureTime = 1.0f / 250.0f;
    info.fNumber = 2.8f;
    info.iso = 200;
    info.focalLength = 35.0f;
    info.focalLength35 = 52;
    info.focalPlaneXRes = 4000.0f;
    info.focalPlaneUnit = 2;
    info.thumbLength = 5678;
    info.thumbOffset = 1234;
    info.orientation = 6;
    info.iptcLength = 12;
    info.iptcOffset = 90;
    info.xmpLength = 400;
    info.xmpOffset = 300;
    std::fill(exif, exif + kExifBufCount, 0);
    EXPECT_EQ(metadataBufFromExifInfo(&info, exif, gps), 100);
    const int32_t expected[] = {100, 24999,  279, 100, 0,    200,  2,  0,  0, 0,   3500, 100,
                                52,  400000, 100, 2,   1234, 5678, 90, 12, 6, 300, 400};
    EXPECT_TRUE(std::equal(expected, expected + 23, exif));
}
