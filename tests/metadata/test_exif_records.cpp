// The partial reset of an ExifInfo record.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include "metadata/exif_records.h"

TEST(InitExifInfo, ClearsTheNumbersAtTheHeadAndPartOfTheLensOnly)
{
    ExifInfo info;
    std::memset(&info, 0x5A, sizeof info);
    ExifInfo before = info;
    ASSERT_EQ(initExifInfo(&info), 0);
    EXPECT_EQ(info.sourceFlag, 0);
    EXPECT_EQ(info.exposureTime, 0.0f);
    EXPECT_EQ(info.fNumber, 0.0f);
    EXPECT_EQ(info.iso, 0);
    EXPECT_EQ(info.focalLength, 0.0f);
    EXPECT_EQ(info.focalLength35, 0);
    EXPECT_EQ(info.focalPlaneXRes, 0.0f);
    EXPECT_EQ(info.focalPlaneUnit, 0);
    for (int i = 0; i < 64; ++i)
        EXPECT_EQ(info.lens[i], i >= 2 && i < 22 ? 0 : 0x5A) << i;
    // Everything else keeps its value: the texts, thumbnail, positions and GPS fields.
    std::memset(before.lens + 2, 0, 20);
    EXPECT_EQ(std::memcmp(info.model, before.model, sizeof info - offsetof(ExifInfo, model)), 0);
    EXPECT_EQ(initExifInfo(nullptr), -3);
}
