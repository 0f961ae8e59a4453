// Pyramid sizes of the local operator: level counts, totals and the light-mode slots.
#include <gtest/gtest.h>

#include <limits>

#include "tonemap/tm_dim.h"
#include "tonemap/tm_params.h"

namespace {

struct Params {
    float p[kTmParamCount];
    Params() { tmparam_default(kMethodDeredid, 0, p); }
    Params &light(float level)
    {
        p[kDeSmoothingMode] = 0;
        p[kDeLightSmoothing] = level;
        return *this;
    }
};

tm_dims sentinel_record()
{
    tm_dims d;
    for (auto &v : d.v)
        v = -77;
    return d;
}

} // namespace

TEST(TmDim, SixHundredByFourHundredWithTheDefaults)
{
    Params p;
    tm_dims d = sentinel_record();
    ASSERT_EQ(tm_dim(600, 400, p.p, &d), 4);
    EXPECT_EQ(d.v[kTdReserved], -77); // the caller's word
    EXPECT_EQ(d.v[kTdWidth], 600);
    EXPECT_EQ(d.v[kTdHeight], 400);
    EXPECT_EQ(d.v[kTdGridWidth], 600);
    EXPECT_EQ(d.v[kTdGridHeight], 400);
    // 600x400, 300x200, 150x100, 75x50, 38x25
    EXPECT_EQ(d.v[kTdTotalA], 319700);
    EXPECT_EQ(d.v[kTdCoarseWidthA], 38);
    EXPECT_EQ(d.v[kTdCoarseHeightA], 25);
    EXPECT_EQ(d.v[kTdLevelsA], 4);
    // B: 7 halvings while both sides exceed 5: ... 19x13, 10x7, 5x4
    EXPECT_EQ(d.v[kTdLevelsB], 7);
    EXPECT_EQ(d.v[kTdTotalB], 319700 + 19 * 13 + 10 * 7 + 5 * 4);
    EXPECT_EQ(d.v[kTdCoarseWidthB], 5);
    EXPECT_EQ(d.v[kTdCoarseHeightB], 4);
}

TEST(TmDim, SmallImageKeepsOneLevelAndRepeatsTheCoarsest)
{
    Params p;
    tm_dims d{};
    // log2(10 / 32) = -1.68 truncates to -1; (-1 + -1) >> 1 = -1; at least one level.
    ASSERT_EQ(tm_dim(10, 10, p.p, &d), 1);
    EXPECT_EQ(d.v[kTdTotalA], 100 + 25);
    EXPECT_EQ(d.v[kTdCoarseWidthA], 5);
    // B: 4 levels; 5x5 cannot be halved again and is counted at the same size.
    EXPECT_EQ(d.v[kTdLevelsB], 4);
    EXPECT_EQ(d.v[kTdTotalB], 100 + 4 * 25);
    EXPECT_EQ(d.v[kTdCoarseWidthB], 5);
    EXPECT_EQ(d.v[kTdCoarseHeightB], 5);
}

TEST(TmDim, SideOfNineOrLessLeavesTheRecordUntouched)
{
    Params p;
    for (auto wh : {std::pair{9, 1000}, std::pair{1000, 9}, std::pair{0, 50}, std::pair{-5, 50}}) {
        tm_dims d = sentinel_record();
        EXPECT_EQ(tm_dim(wh.first, wh.second, p.p, &d), -1);
        for (auto v : d.v)
            EXPECT_EQ(v, -77);
    }
}

TEST(TmDim, LightModeSmoothingShiftsTheLevelsOfA)
{
    tm_dims d{};
    ASSERT_EQ(tm_dim(600, 400, Params().light(0).p, &d), 6);
    EXPECT_EQ(d.v[kTdLevelsB], 4);
    ASSERT_EQ(tm_dim(600, 400, Params().light(2).p, &d), 4);
    ASSERT_EQ(tm_dim(600, 400, Params().light(4).p, &d), 2);
    ASSERT_EQ(tm_dim(10, 10, Params().light(4).p, &d), 1);
    // 1.9 is read as level 1, one extra level.
    ASSERT_EQ(tm_dim(600, 400, Params().light(1.9f).p, &d), 5);
}

TEST(TmDim, HalvedSumRoundsDownForNegativeOddSums)
{
    tm_dims d{};
    // 10 -> -1, 20 -> log2(0.625) = -0.68 -> 0; (-1) >> 1 = -1, plus 2 extra levels gives 1
    // (a division toward zero would give 2).
    EXPECT_EQ(tm_dim(10, 20, Params().light(0).p, &d), 1);
}

TEST(TmDim, FractionAboveOneHalfRoundsUp)
{
    tm_dims d{};
    // log2(49 / 32) = 0.61 -> 1 and log2(45 / 32) = 0.49 -> 0; log2(1448 / 32) = 5.4998 -> 5.
    EXPECT_EQ(tm_dim(49, 1448, Params().p, &d), 3);
    EXPECT_EQ(tm_dim(45, 1448, Params().p, &d), 2);
}

TEST(TmDim, AbsurdSmoothingSlotStaysBounded)
{
    tm_dims d{};
    Params huge;
    huge.light(1e30f);
    EXPECT_EQ(tm_dim(600, 400, huge.p, &d), 1);
    Params negative;
    negative.light(-1e30f);
    int levels = tm_dim(600, 400, negative.p, &d);
    EXPECT_GT(levels, 6);
    EXPECT_LT(levels, 2000);
    EXPECT_EQ(d.v[kTdCoarseWidthA], 10); // 19x13 halves once more to 10x7, then stops
    EXPECT_EQ(d.v[kTdCoarseHeightA], 7);
    Params nan;
    nan.light(std::numeric_limits<float>::quiet_NaN());
    EXPECT_GE(tm_dim(600, 400, nan.p, &d), 1);
}

TEST(TmDimSAV, ExplicitLevelCountOfB)
{
    tm_dims d{};
    ASSERT_EQ(tm_dimSAV(600, 400, 0, 2, &d), 4);
    EXPECT_EQ(d.v[kTdLevelsB], 2);
    EXPECT_EQ(d.v[kTdTotalB], 240000 + 60000 + 15000);
    // A non-positive count leaves B at full size only.
    ASSERT_EQ(tm_dimSAV(600, 400, 0, -3, &d), 4);
    EXPECT_EQ(d.v[kTdTotalB], 240000);
    EXPECT_EQ(d.v[kTdCoarseWidthB], 600);
}
