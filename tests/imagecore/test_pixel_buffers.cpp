#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "imagecore/pixel_buffers.h"

namespace {
float g_seen = -1;
} // namespace

TEST(Progress, CallbackSeesTheFractionAndCanAbort)
{
    EXPECT_EQ(progress(nullptr, 0.5f), 1);
    EXPECT_EQ(progress([](int *, float f) { g_seen = f; }, 0.375f), 1);
    EXPECT_EQ(g_seen, 0.375f);
    EXPECT_EQ(progress([](int *abort, float) { *abort = 1; }, 0.25f), 0);
}

TEST(FClassementCroissant, AscendingTiesHigherIndexFirstSentinelsFirst)
{
    struct Case {
        std::vector<float> values;
        std::vector<int> order;
    } const cases[] = {
        {{3.0f, 1.0f, 3.0f, 2.0f}, {1, 3, 2, 0}},
        {{2.0f, 2.0f, 2.0f}, {2, 1, 0}},
        {{4.0f, -3.0f, 0.5f}, {1, 2, 0}},
        {{-1e9f, 5.0f, -1e9f}, {2, 0, 1}}, // at or below -1e8: first, descending index
        {{-1e8f, -2e8f, -1e8f}, {2, 1, 0}},
        {{1.0f, -99999990.0f}, {1, 0}}, // just above the bound is ranked
    };
    for (const Case &c : cases) {
        std::vector<float> v = c.values;
        std::vector<int> order(v.size(), -7);
        EXPECT_EQ(fClassementCroissant(int(v.size()), v.data(), order.data()), int(v.size()));
        EXPECT_EQ(order, c.order) << c.values[0];
        EXPECT_EQ(v, c.values); // values are not changed
    }
    int untouched = 42;
    EXPECT_EQ(fClassementCroissant(0, nullptr, &untouched), 0);
    EXPECT_EQ(untouched, 42);
}

TEST(Iclassement, DistinctPositiveValuesFirstThenTheRest)
{
    struct Case {
        std::vector<int> values, order;
        int result;
    } const cases[] = {
        {{5, 9, 5, 0, 7}, {1, 4, 0, 2, 3}, 3},
        {{0, -3, 0}, {0, 1, 2}, 1},
        {{4, 4, 4}, {0, 1, 2}, 1},
        {{1, 2, 3}, {2, 1, 0}, 3},
        {{100000000, 5}, {1, 0}, 1}, // at or above the bound is never picked
    };
    for (const Case &c : cases) {
        std::vector<int> order(c.values.size(), 0);
        EXPECT_EQ(iclassement(int(c.values.size()), c.values.data(), order.data()), c.result);
        EXPECT_EQ(order, c.order) << c.values[0];
    }
    EXPECT_EQ(iclassement(0, nullptr, nullptr), 0);
}

TEST(ExpoMediane, ReturnsMedianIndexAndConsumesValues)
{
    std::vector<float> v{0.5f, 2.0f, 1.0f};
    EXPECT_EQ(expo_mediane(3, v.data()), 2);
    EXPECT_EQ(v, (std::vector<float>{1e8f, 1e8f, 1e8f}));
    std::vector<float> four{4.0f, 1.0f, 3.0f, 2.0f};
    EXPECT_EQ(expo_mediane(4, four.data()), 2); // the upper middle one
    EXPECT_EQ(expo_mediane(0, four.data()), -1);
}

TEST(Rgbe2float, DecodesAndTreatsExponentZeroAsBlack)
{
    // One row of two pixels, row-planar: R R G G B B E E.
    const uint8_t row[8] = {128, 10, 64, 20, 32, 30, 129, 0};
    float table[256];
    for (int i = 0; i < 256; ++i)
        table[i] = static_cast<float>(std::ldexp(1.0, i - 136));
    float rgb[3];
    EXPECT_EQ(rgbe2float(row, table, 2, 4, 6, 0, rgb), 129);
    EXPECT_EQ(std::vector<float>(rgb, rgb + 3), (std::vector<float>{1.0f, 0.5f, 0.25f}));
    EXPECT_EQ(rgbe2float(row, table, 2, 4, 6, 1, rgb), 0);
    EXPECT_EQ(rgb[0] + rgb[1] + rgb[2], 0.0f);
}

TEST(PutRgbe, LargestChannelSetsTheExponentAndTinyOrNaNIsBlack)
{
    uint8_t row[8] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}; // 2 pixels, row-planar
    imagecore::put_rgbe(row, 2, 0, 1.0, 0.5, 0.25);
    imagecore::put_rgbe(row, 2, 1, 1e-33, 0.0, 1e-32);
    EXPECT_EQ(std::vector<uint8_t>(row, row + 8),
              (std::vector<uint8_t>{128, 0, 64, 0, 32, 0, 129, 0}));
    imagecore::put_rgbe(row, 2, 1, std::nan(""), std::nan(""), std::nan(""));
    EXPECT_EQ((std::vector<uint8_t>{row[1], row[3], row[5], row[7]}),
              (std::vector<uint8_t>{0, 0, 0, 0}));
    // The float nearest 1e-32 lies just above it (0.811 x 2^-106): encoded, not black. A
    // negative or NaN channel beside it gets a zero mantissa.
    imagecore::put_rgbe(row, 2, 1, double(1e-32f), -1.0, std::nan(""));
    EXPECT_EQ((std::vector<uint8_t>{row[1], row[3], row[5], row[7]}),
              (std::vector<uint8_t>{207, 0, 0, 22}));
}
