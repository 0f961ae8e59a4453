// Method defaults, the two tables every tone-mapping run builds first, and the pyramid sizes
// of the local operator.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "tonemap/tm_dim.h"
#include "tonemap/tm_params.h"

TEST(TmparamDefault, MethodDefaults)
{
    std::vector<float> p(kTmParamCount);
    tmparam_default(kMethodDeredid, 0, p.data());
    EXPECT_EQ(
        p, (std::vector<float>{0, 70, 46, 0.25f, 0, 1, 0, 2, 50, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0}));
    tmparam_default(kMethodDeredid, 1, p.data());
    EXPECT_EQ(p[1], 40.0f);
    tmparam_default(kMethodFusionIntensive, 0, p.data());
    std::vector<float> expected(kTmParamCount, 0.0f);
    expected[2] = 40;
    EXPECT_EQ(p, expected);
    for (int m : {0, 2, 10, 99}) {
        std::fill(p.begin(), p.end(), 5.0f);
        tmparam_default(m, 1, p.data());
        EXPECT_EQ(p, std::vector<float>(kTmParamCount, 0.0f)) << "method " << m;
    }
}

TEST(ExpLut, PowersOfTwoAroundTheOffset)
{
    float t[256];
    EXPECT_EQ(exp_lut(t, -8), 256);
    EXPECT_EQ(t[136], 1.0f);
    EXPECT_EQ(t[137], 2.0f);
    EXPECT_GT(t[0], 0.0f); // 2^-136 is subnormal, not zero
}

TEST(Camcurve, GammaAndLinearCurvesEndOnWholeCodes)
{
    std::vector<float> lut(65536);
    EXPECT_EQ(camcurve(0, 65536, lut.data()), 65536);
    EXPECT_EQ(lut[65535], 65535.0f);
    // The position 1 x (1 / 65535) is a single-precision product: within a float ulp or so.
    const float first = float(65535.0 * std::pow(1.0 / 65535.0, 2.2));
    EXPECT_NEAR(lut[1], first, first * 1e-6f);
    EXPECT_EQ(lut[0], lut[1]);
    EXPECT_EQ(camcurve(1, 256, lut.data()), 256);
    // Linear: i x (1 / 255) in single precision lands within an ulp of i; the ends are exact.
    for (int i = 1; i < 256; ++i)
        EXPECT_NEAR(lut[size_t(i)], float(i), std::ldexp(float(i), -23)) << i;
    EXPECT_EQ(lut[255], 255.0f);
    EXPECT_EQ(lut[0], 1.0f);
    // Fewer than two entries: nothing written.
    float one[1] = {-1.0f};
    EXPECT_EQ(camcurve(0, 1, one), 0);
    EXPECT_EQ(one[0], -1.0f);
    EXPECT_EQ(camcurve(0, 0, nullptr), 0);
}

namespace {

// Method-1 defaults (slider mode), or light mode at the given smoothing level.
struct Params {
    float p[kTmParamCount];
    explicit Params(float light = -1)
    {
        tmparam_default(kMethodDeredid, 0, p);
        if (light != -1) {
            p[kDeSmoothingMode] = 0;
            p[kDeLightSmoothing] = light;
        }
    }
};

std::vector<int64_t> slots(const tm_dims &d)
{
    return std::vector<int64_t>(d.v, d.v + kTmDimsCount);
}

} // namespace

TEST(TmDim, ExactPyramidsOfTwoSizes)
{
    tm_dims d;
    std::fill(d.v, d.v + kTmDimsCount, -77);
    // A: 600x400, 300x200, 150x100, 75x50, 38x25. B: 7 halvings while both sides exceed 5:
    // ... 38x25, 19x13, 10x7, 5x4. Slot 0 is the caller's.
    ASSERT_EQ(tm_dim(600, 400, Params().p, &d), 4);
    EXPECT_EQ(slots(d),
              (std::vector<int64_t>{-77, 600, 400, 600, 400, 319700,
                                    319700 + 19 * 13 + 10 * 7 + 5 * 4, 38, 25, 5, 4, 4, 7}));
    // 10x10: log2(10 / 32) truncates to -1, at least one level; B's 5x5 cannot be halved and is
    // counted again at the same size.
    ASSERT_EQ(tm_dim(10, 10, Params().p, &d), 1);
    EXPECT_EQ(slots(d), (std::vector<int64_t>{-77, 10, 10, 10, 10, 125, 200, 5, 5, 5, 5, 1, 4}));
    // B's level count given: 2 halvings; none leaves it at full size.
    ASSERT_EQ(tm_dimSAV(600, 400, 0, 2, &d), 4);
    EXPECT_EQ(d.v[kTdTotalB], 240000 + 60000 + 15000);
    ASSERT_EQ(tm_dimSAV(600, 400, 0, -3, &d), 4);
    EXPECT_EQ(d.v[kTdTotalB], 240000);
}

TEST(TmDim, LevelCountsFromSizesAndSmoothing)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    // Light level 1.9 reads as 1. 10x20: (-1 + 0) >> 1 = -1, not a division toward zero.
    // log2(49 / 32) = 0.61 rounds up; log2(45 / 32) = 0.49 and log2(1448 / 32) = 5.4998 down.
    const struct {
        int w, h;
        float light; // -1: slider mode
        int levels;
    } rows[] = {{600, 400, 0, 6}, {600, 400, 2, 4},    {600, 400, 4, 2},
                {10, 10, 4, 1},   {600, 400, 1.9f, 5}, {600, 400, 1e30f, 1},
                {10, 20, 0, 1},   {49, 1448, -1, 3},   {45, 1448, -1, 2}};
    for (const auto &r : rows) {
        tm_dims d{};
        EXPECT_EQ(tm_dim(r.w, r.h, Params(r.light).p, &d), r.levels)
            << r.w << "x" << r.h << " light " << r.light;
    }
    // Absurd slots from a stored record stay bounded; A stops at 10x7, too small to halve.
    tm_dims d{};
    const int many = tm_dim(600, 400, Params(-1e30f).p, &d);
    EXPECT_TRUE(many > 6 && many < 2000) << many;
    EXPECT_EQ(d.v[kTdCoarseWidthA], 10);
    EXPECT_EQ(d.v[kTdCoarseHeightA], 7);
    EXPECT_GE(tm_dim(600, 400, Params(nan).p, &d), 1);
}

TEST(TmDim, SideOfNineOrLessLeavesTheRecordUntouched)
{
    for (auto [w, h] : {std::pair{9, 1000}, std::pair{1000, 9}, std::pair{-5, 50}}) {
        tm_dims d;
        std::fill(d.v, d.v + kTmDimsCount, -77);
        EXPECT_EQ(tm_dim(w, h, Params().p, &d), -1);
        EXPECT_EQ(tm_dimSAV(w, h, 0, 0, &d), -1);
        EXPECT_EQ(slots(d), std::vector<int64_t>(kTmDimsCount, -77)) << w << "x" << h;
    }
}
