#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>

#include "imagecore/byte_order.h"
#include "imagecore/checked_size.h"
#include "imagecore/file_holder.h"
#include "imagecore/float_clamp.h"

using namespace imagecore;

TEST(CheckedSize, RefusesOverflowAndNegatives)
{
    EXPECT_EQ(image_bytes(10, 5, 3, 2).value(), 300u);
    EXPECT_FALSE(image_bytes(0, 5, 3, 1));
    EXPECT_FALSE(image_bytes(-1, 5, 3, 1));
    EXPECT_FALSE(checked_product({1LL << 32, 1LL << 32, 1LL << 2}));
    EXPECT_FALSE(checked_mul(SIZE_MAX, 2));
    EXPECT_TRUE(range_inside(10, 5, 15));
    EXPECT_FALSE(range_inside(10, 6, 15));
    EXPECT_FALSE(range_inside(16, 0, 15));
}

TEST(FloatClamp, SaturatesAndHandlesNaN)
{
    EXPECT_EQ(clamp_to_int(1e20), std::numeric_limits<int>::max());
    EXPECT_EQ(clamp_to_int(-1e20), std::numeric_limits<int>::min());
    EXPECT_EQ(clamp_to_int(std::nan("")), 0);
    EXPECT_EQ(clamp_to_int(-2.9), -2);
    EXPECT_EQ(clamp_to_u8(300.0), 255);
    EXPECT_EQ(clamp_to_u8(-1.0), 0);
    EXPECT_EQ(clamp_to_u16(std::numeric_limits<double>::infinity()), 65535);
    EXPECT_EQ(clamp_to_u16(std::nan("")), 0);
}

TEST(ByteOrder, StreamReadersFollowTheMark)
{
    FilePtr f(std::tmpfile());
    ASSERT_TRUE(f);
    const unsigned char bytes[] = {0x12, 0x34, 0x12, 0x34, 0x01, 0x02, 0x03, 0x04, 0xAB};
    std::fwrite(bytes, 1, sizeof bytes, f.get());
    std::rewind(f.get());
    EXPECT_EQ(fgetmi2(f.get(), 0x4949), 0x3412);
    EXPECT_EQ(fgetmi2(f.get(), 0x4D4D), 0x1234);
    EXPECT_EQ(fgetm4(f.get()), 0x01020304u);
    // A missing byte reads as 0xFF.
    EXPECT_EQ(fgetm2(f.get()), 0xABFF);
    EXPECT_EQ(file_length(f.get()), 9);
}

TEST(ByteOrder, MemoryCursorNeverReadsPastTheEnd)
{
    const uint8_t b[] = {0x49, 0x49, 0x2A, 0x00, 0x08};
    ByteReader r(b, sizeof b, kOrderII);
    EXPECT_EQ(r.u16(), 0x4949);
    EXPECT_EQ(r.u16(), 42);
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(r.u32(), 0u); // only one byte left
    EXPECT_FALSE(r.ok());
    EXPECT_FALSE(r.seek(6));
    uint8_t out[4];
    put_le32(out, 0x01020304);
    EXPECT_EQ(read_le32(out), 0x01020304u);
    put_be16(out, 0xBEEF);
    EXPECT_EQ(read_be16(out), 0xBEEF);
}
