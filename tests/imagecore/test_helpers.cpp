#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>

#include "imagecore/byte_order.h"
#include "imagecore/float_clamp.h"
#include "platform/file_holder.h"

using namespace imagecore;
using platform::file_length;
using platform::FilePtr;

TEST(FloatClamp, SaturatesAndHandlesNaN)
{
    EXPECT_EQ(clamp_to_int(1e20), std::numeric_limits<int>::max());
    EXPECT_EQ(clamp_to_int(-1e20), std::numeric_limits<int>::min());
    EXPECT_EQ(clamp_to_int(std::nan("")), 0);
    EXPECT_EQ(clamp_to_int(-2.9), -2);
    EXPECT_EQ(clamp_to_u8(300.0), 255);
    EXPECT_EQ(clamp_to_u8(-1.0), 0);
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
