#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "metadata/exif_records.h"

namespace {
struct Rational {
    int32_t num, den;
    bool operator==(const Rational &) const = default;
};
Rational encode(float v)
{
    Rational r{-1, -1};
    rational_from_float(v, &r.num, &r.den);
    return r;
}
} // namespace

TEST(RationalFromFloat, CarriesSinglePrecisionError)
{
    EXPECT_EQ(encode(1.0f / 250.0f), (Rational{100, 24999}));
    EXPECT_EQ(encode(2.8f), (Rational{279, 100}));
    EXPECT_EQ(encode(5.6f), (Rational{559, 100}));
    EXPECT_EQ(encode(0.125f), (Rational{100, 800}));
    EXPECT_EQ(encode(0.3f), (Rational{100, 333}));
    EXPECT_EQ(encode(10.0f), (Rational{1000, 100}));
    EXPECT_EQ(encode(1.0f), (Rational{100, 100}));
    EXPECT_EQ(encode(0.5f), (Rational{100, 200}));
}

TEST(RationalFromFloat, SaturatesAndIgnoresNonPositive)
{
    EXPECT_EQ(encode(1e30f), (Rational{std::numeric_limits<int32_t>::max(), 100}));
    EXPECT_EQ(encode(1e-30f), (Rational{100, std::numeric_limits<int32_t>::max()}));
    EXPECT_EQ(encode(0.0f), (Rational{-1, -1}));
    EXPECT_EQ(encode(-3.0f), (Rational{-1, -1}));
    EXPECT_EQ(encode(std::numeric_limits<float>::quiet_NaN()), (Rational{-1, -1}));
}

TEST(MetadataBufFromExifInfo, EmptyRecordLeavesRationalsAndZeroesTheRest)
{
    ExifInfo info;
    init_exifInfo(&info);
    int32_t exif[kExifBufCount], gps[kGpsBufCount];
    for (auto &v : exif)
        v = 7;
    std::memset(gps, 0, sizeof gps);
    EXPECT_EQ(metadataBufFromExifInfo(&info, exif, gps), 7); // slot 0 kept
    for (int s : {0, 1, 2, 3, 10, 11, 13, 14, 4, 7, 8, 9})
        EXPECT_EQ(exif[s], 7) << "slot " << s;
    for (int s : {5, 6, 12, 15, 16, 17, 18, 19, 20, 21, 22})
        EXPECT_EQ(exif[s], 0) << "slot " << s;
    for (int s = kExifModel; s < kExifBufCount; ++s)
        EXPECT_EQ(exif[s], 0) << "slot " << s;
}

TEST(MetadataBufFromExifInfo, FillsEverySlotFromTheRecord)
{
    ExifInfo info;
    init_exifInfo(&info);
    info.exposureTime = 1.0f / 250.0f;
    info.fNumber = 2.8f;
    info.iso = 200;
    info.sourceFlag = 2;
    info.focalLength = 35.0f;
    info.focalLength35 = 52;
    info.focalPlaneXRes = 4000.0f;
    info.focalPlaneUnit = 2;
    info.thumbOffset = 1234;
    info.thumbLength = 5678;
    info.iptcOffset = 90;
    info.iptcLength = 12;
    info.orientation = 6;
    info.xmpOffset = 300;
    info.xmpLength = 400;
    std::strcpy(info.model, "Camera X");
    std::strcpy(info.dateTime, "2009:06:14 10:30:00");
    std::strcpy(info.lens, "50mm f/1.8");
    info.latRef = 'N';
    info.lonRef = 'W';
    info.altRef = 1;
    const int32_t lat[6] = {38, 1, 37, 1, 3400, 100};
    std::memcpy(info.latitude, lat, sizeof lat);
    info.longitude[0] = 90;
    info.altitude[0] = 150;
    info.altitude[1] = 1;
    info.gpsTime[0] = 22;
    std::memcpy(info.gpsDate, "2008:05:31", 11);

    int32_t exif[kExifBufCount] = {}, gps[kGpsBufCount] = {};
    EXPECT_EQ(metadataBufFromExifInfo(&info, exif, gps), 100);
    const int32_t expected[] = {100, 24999,  279, 100, 0,    200,  2,  0,  0, 0,   3500, 100,
                                52,  400000, 100, 2,   1234, 5678, 90, 12, 6, 300, 400};
    for (int s = 0; s < 23; ++s)
        EXPECT_EQ(exif[s], expected[s]) << "slot " << s;
    EXPECT_STREQ(reinterpret_cast<const char *>(&exif[kExifModel]), "Camera X");
    EXPECT_STREQ(reinterpret_cast<const char *>(&exif[kExifDateTime]), "2009:06:14 10:30:00");
    EXPECT_STREQ(reinterpret_cast<const char *>(&exif[kExifLens]), "50mm f/1.8");

    EXPECT_EQ(std::memcmp(gps, lat, sizeof lat), 0);
    EXPECT_EQ(gps[kGpsLongitude], 90);
    EXPECT_EQ(gps[kGpsAltitude], 150);
    EXPECT_EQ(gps[kGpsAltitude + 1], 1);
    EXPECT_EQ(gps[kGpsTimeStamp], 22);
    const auto *g = reinterpret_cast<const uint8_t *>(gps);
    EXPECT_EQ(g[kGpsLatRefByte], 'N');
    EXPECT_EQ(g[kGpsLonRefByte], 'W');
    EXPECT_EQ(g[kGpsAltRefByte], 1);
    EXPECT_EQ(std::memcmp(g + kGpsDateByte, "2008:05:31", 11), 0);
    EXPECT_EQ(g[83], 0);
    EXPECT_EQ(g[95], 0);
}

TEST(MetadataBufFromExifInfo, NegativeFocalLengthKeepsSlots)
{
    ExifInfo info;
    init_exifInfo(&info);
    info.focalLength = -5.0f;
    int32_t exif[kExifBufCount] = {}, gps[kGpsBufCount] = {};
    exif[kExifFocalNum] = 11;
    exif[kExifFocalDen] = 22;
    metadataBufFromExifInfo(&info, exif, gps);
    EXPECT_EQ(exif[kExifFocalNum], 11);
    EXPECT_EQ(exif[kExifFocalDen], 22);
}
