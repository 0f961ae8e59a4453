#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "tonemap/tm_params.h"

TEST(TmparamDefault, MethodDefaults)
{
    float p[kTmParamCount];
    tmparam_default(kMethodDeredid, 0, p);
    const float de[kTmParamCount] = {0, 70, 46, 0.25f, 0, 1, 0, 2, 50, 0,
                                     0, 0,  0,  0,     0, 0, 1, 0, 0,  0};
    for (int i = 0; i < kTmParamCount; ++i)
        EXPECT_EQ(p[i], de[i]) << "slot " << i;
    tmparam_default(kMethodDeredid, 1, p);
    EXPECT_EQ(p[1], 40.0f);
    tmparam_default(kMethodDeredid, -3, p);
    EXPECT_EQ(p[1], 70.0f);

    tmparam_default(kMethodFusionIntensive, 0, p);
    for (int i = 0; i < kTmParamCount; ++i)
        EXPECT_EQ(p[i], i == 2 ? 40.0f : 0.0f) << "slot " << i;
    for (int m : {0, 2, 10, 12, 13, 14, 99}) {
        for (auto &v : p)
            v = 5;
        tmparam_default(m, 1, p);
        for (int i = 0; i < kTmParamCount; ++i)
            EXPECT_EQ(p[i], 0.0f) << "method " << m << " slot " << i;
    }
}

TEST(ExpLut, PowersOfTwoAroundTheOffset)
{
    float t[256];
    EXPECT_EQ(exp_lut(t, -8), 256);
    EXPECT_EQ(t[136], 1.0f);
    EXPECT_EQ(t[137], 2.0f);
    EXPECT_EQ(t[128], std::ldexp(1.0f, -8));
    EXPECT_GT(t[0], 0.0f); // 2^-136 is subnormal, not zero
    exp_lut(t, 0);
    EXPECT_EQ(t[128], 1.0f);
}

TEST(Camcurve, GammaCurveEndsOnWholeCodes)
{
    std::vector<float> lut(65536);
    EXPECT_EQ(camcurve(0, 65536, lut.data()), 65536);
    EXPECT_EQ(lut[65535], 65535.0f);
    float expected = static_cast<float>(65535.0 * std::pow(1.0 / 65535.0, 2.2));
    EXPECT_NEAR(lut[1], expected, expected * 1e-6f); // single-precision position
    EXPECT_EQ(lut[0], lut[1]);
    for (int i = 2; i < 65536; ++i)
        ASSERT_GT(lut[i], lut[i - 1]) << i;
}

TEST(Camcurve, LinearCurveIsIdentity)
{
    std::vector<float> lut(256);
    EXPECT_EQ(camcurve(1, 256, lut.data()), 256);
    // The position i x (1/255) is a single-precision product, so codes land within one unit in
    // the last place of i; the ends are exact.
    for (int i = 1; i < 256; ++i)
        EXPECT_NEAR(lut[i], static_cast<float>(i), std::ldexp(static_cast<float>(i), -23)) << i;
    EXPECT_EQ(lut[1], 1.0f);
    EXPECT_EQ(lut[255], 255.0f);
    EXPECT_EQ(lut[0], 1.0f);
    float two[2];
    EXPECT_EQ(camcurve(0, 2, two), 2);
    EXPECT_EQ(two[1], 1.0f);
    EXPECT_EQ(two[0], 1.0f);
}

TEST(Camcurve, TooShortWritesNothing)
{
    float one[1] = {-1.0f};
    EXPECT_EQ(camcurve(0, 1, one), 0);
    EXPECT_EQ(one[0], -1.0f);
    EXPECT_EQ(camcurve(0, 0, nullptr), 0);
}

TEST(InitRecords, DimAndOptimInitialisers)
{
    int dims[8] = {9, 9, 9, 9, 9, 9, 9, 9};
    init_dim_param(dims);
    const int expected[8] = {0, 0, 3, 8, 8, 0, 0, 0};
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(dims[i], expected[i]);
    optim_param_struct o;
    o.nbProc = 4;
    o.readFromDisk = 1;
    o.tmpPath[3] = "x";
    init_optim_param(&o);
    EXPECT_EQ(o.nbProc, 0);
    EXPECT_EQ(o.readFromDisk, 0);
    for (auto *p : o.tmpPath)
        EXPECT_EQ(p, nullptr);
}
