#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "imagecore/pixel_buffers.h"

namespace {

std::vector<int> rank_floats(std::vector<float> v)
{
    std::vector<int> order(v.size(), -7);
    EXPECT_EQ(fClassementCroissant(static_cast<int>(v.size()), v.data(), order.data()),
              static_cast<int>(v.size()));
    return order;
}

float g_seen = -1;
void set_abort(int *abort, float f)
{
    g_seen = f;
    *abort = 1;
}
void keep_going(int *, float f)
{
    g_seen = f;
}

} // namespace

TEST(Progress, NullCallbackGoesOn)
{
    EXPECT_EQ(progress(nullptr, 0.5f), 1);
}

TEST(Progress, CallbackSeesFractionAndCanAbort)
{
    EXPECT_EQ(progress(keep_going, 0.375f), 1);
    EXPECT_EQ(g_seen, 0.375f);
    EXPECT_EQ(progress(set_abort, 0.25f), 0);
    EXPECT_EQ(g_seen, 0.25f);
}

TEST(FClassementCroissant, AscendingWithTiesHigherIndexFirst)
{
    EXPECT_EQ(rank_floats({3.0f, 1.0f, 3.0f, 2.0f}), (std::vector<int>{1, 3, 2, 0}));
    EXPECT_EQ(rank_floats({7.0f}), (std::vector<int>{0}));
    EXPECT_EQ(rank_floats({2.0f, 2.0f, 2.0f, 2.0f}), (std::vector<int>{3, 2, 1, 0}));
}

TEST(FClassementCroissant, SentinelValuesComeFirstInDescendingIndexOrder)
{
    EXPECT_EQ(rank_floats({-1e9f, 5.0f, -1e9f}), (std::vector<int>{2, 0, 1}));
    EXPECT_EQ(rank_floats({-1e8f, -2e8f, -1e8f}), (std::vector<int>{2, 1, 0}));
    // Just above the sentinel bound is still ranked.
    EXPECT_EQ(rank_floats({1.0f, -99999990.0f}), (std::vector<int>{1, 0}));
}

TEST(FClassementCroissant, LeavesValuesAndEmptyInputAlone)
{
    std::vector<float> v{4.0f, -3.0f, 0.5f};
    std::vector<int> order(3);
    fClassementCroissant(3, v.data(), order.data());
    EXPECT_EQ(v, (std::vector<float>{4.0f, -3.0f, 0.5f}));
    EXPECT_EQ(order, (std::vector<int>{1, 2, 0}));
    int untouched = 42;
    EXPECT_EQ(fClassementCroissant(0, v.data(), &untouched), 0);
    EXPECT_EQ(untouched, 42);
}

TEST(Iclassement, DistinctPositiveValuesFirstThenTheRest)
{
    struct Case {
        std::vector<int> values, order;
        int result;
    } cases[] = {
        {{5, 9, 5, 0, 7}, {1, 4, 0, 2, 3}, 3},
        {{0, -3, 0}, {0, 1, 2}, 1},
        {{4, 4, 4}, {0, 1, 2}, 1},
        {{1, 2, 3}, {2, 1, 0}, 3},
        {{100000000, 5}, {1, 0}, 1}, // at or above the bound is never picked
    };
    for (const auto &c : cases) {
        std::vector<int> order(c.values.size(), 0);
        EXPECT_EQ(iclassement(static_cast<int>(c.values.size()), c.values.data(), order.data()),
                  c.result);
        EXPECT_EQ(order, c.order);
    }
    EXPECT_EQ(iclassement(0, nullptr, nullptr), 0);
}

TEST(ExpoMediane, ReturnsMedianIndexAndConsumesValues)
{
    std::vector<float> v{0.5f, 2.0f, 1.0f};
    EXPECT_EQ(expo_mediane(3, v.data()), 2);
    EXPECT_EQ(v, (std::vector<float>{1e8f, 1e8f, 1e8f}));
    std::vector<float> four{4.0f, 1.0f, 3.0f, 2.0f};
    EXPECT_EQ(expo_mediane(4, four.data()), 2); // third smallest
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
    EXPECT_FLOAT_EQ(rgb[0], 1.0f);
    EXPECT_FLOAT_EQ(rgb[1], 0.5f);
    EXPECT_FLOAT_EQ(rgb[2], 0.25f);
    EXPECT_EQ(rgbe2float(row, table, 2, 4, 6, 1, rgb), 0);
    EXPECT_EQ(rgb[0] + rgb[1] + rgb[2], 0.0f);
}
