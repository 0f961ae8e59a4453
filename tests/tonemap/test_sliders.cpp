// Slider mappings and histogram routines: the mapping values and their rounding, the preview
// histogram's four tables, and the percentile and float-histogram bins at their ends.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>
#include <vector>

#include "tonemap/tm_sliders.h"

TEST(SliderMappings, KnownValuesAndHalfRoundsDown)
{
    struct Case {
        int got, want;
    };
    const Case cases[] = {
        {slider2param(50, 1.0), 100000},     {param2slider(100000.0f, 1.0), 50},
        {paramf2slider(5.0f, 2.0), 25},      {slider2param(100, 3.0), 200000},
        {slider2param(0, 2.0), 0},           {slider2param(25, 0.5), 100000}, // sqrt(0.25) = 0.5
        {paramf2slider(0.5f, 1.0), 5},                                        // 5.0 exactly
        {paramf2slider(0.25f, 1.0), 2},      // 2.5: a fraction of one half goes down
        {paramf2slider(0.2578125f, 1.0), 3}, // 2.578125 goes up
        {param2slider(1000.0f, 1.0), 0},     // 0.5 goes down
        {param2slider(1100.0f, 1.0), 1},     // 0.55 goes up
        {slider2param(1000, 10.0), INT_MAX}, // beyond the int range saturates
    };
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(cases[i].got, cases[i].want) << "case " << i;
    // Each mapping undoes the other at exponents e and 1 / e.
    for (int s = 0; s <= 100; ++s)
        EXPECT_EQ(param2slider(float(slider2param(s, 2.2)), 1 / 2.2), s) << s;
}

TEST(Histo4preview, FourTablesAccumulateFromChannelOffsets)
{
    // Two pixels of four samples: R at 0, G at (4 - 1) / 2 = 1, B at 3 (sample 2 is not read).
    const uint8_t px[8] = {255, 0, 77, 0, 10, 200, 99, 30};
    std::vector<int> hist(1024, 1); // not cleared by the routine
    EXPECT_EQ(histo4preview(2, 1, 4, px, hist.data()), 2);
    const int luma0 = (54 * 255) >> 8, luma1 = (54 * 10 + 183 * 200 + 19 * 30) >> 8;
    EXPECT_EQ(hist[size_t(luma0)], 2);
    EXPECT_EQ(hist[size_t(luma1)], 2);
    EXPECT_EQ(hist[256 + 255], 2);
    EXPECT_EQ(hist[256 + 10], 2);
    EXPECT_EQ(hist[512 + 0], 2);
    EXPECT_EQ(hist[512 + 200], 2);
    EXPECT_EQ(hist[768 + 0], 2);
    EXPECT_EQ(hist[768 + 30], 2);
    EXPECT_EQ(hist[768 + 77], 1);
    long total = 0;
    for (int v : hist)
        total += v;
    EXPECT_EQ(total, 1024 + 8);
    // White in one sample a pixel: every table at 255, luma (256 x 255) >> 8 = 255.
    const uint8_t white = 255;
    std::vector<int> h1(1024, 0);
    EXPECT_EQ(histo4preview(1, 1, 1, &white, h1.data()), 1);
    for (int t = 0; t < 4; ++t)
        EXPECT_EQ(h1[size_t(t * 256 + 255)], 1) << t;

    EXPECT_EQ(histo4preview(0, 5, 3, px, hist.data()), 0);
    EXPECT_EQ(histo4preview(-2, -3, 3, px, hist.data()), 0); // negative sizes count nothing
    EXPECT_EQ(histo4preview(2, 1, 0, px, hist.data()), -3);
    EXPECT_EQ(histo4preview(2, 1, 3, nullptr, hist.data()), -3);
    EXPECT_EQ(histo4preview(65536, 65536, 3, px, hist.data()), -3); // w x h past the int range
}

TEST(GetHistoMax, LargestCountAtLeastOne)
{
    std::vector<int> hist(256, 0);
    EXPECT_EQ(getHistoMax(hist.data()), 1);
    hist[17] = 9;
    hist[200] = 4;
    EXPECT_EQ(getHistoMax(hist.data()), 9);
    hist[17] = -20; // a sum below 1
    EXPECT_EQ(getHistoMax(hist.data()), 1);
    EXPECT_EQ(getHistoMax(nullptr), -3);
}

TEST(Percentile, FirstBinWhoseRunningSumExceedsTheTarget)
{
    const int counts[3] = {2, 0, 3};
    struct Case {
        long total;
        int nbins;
        float fraction;
        int want;
    };
    for (const Case &c : {Case{5, 3, 0.5f, 2}, Case{5, 3, 0.3f, 0}, Case{5, 3, 0.0f, 0},
                          Case{5, 3, 0.4f, 2}, // target 2: bins 0 and 1 sum to 2, not above
                          Case{5, 3, 1.0f, 3}, // target 5: no bin exceeds it
                          Case{5, 0, 0.5f, 0}, Case{5, -1, 0.5f, 0},
                          Case{5, 3, std::numeric_limits<float>::quiet_NaN(), 0}})
        EXPECT_EQ(percentile(c.total, c.nbins, counts, c.fraction), c.want)
            << c.fraction << " " << c.nbins;
    EXPECT_EQ(percentile(5, 3, nullptr, 0.5f), -3);
}

TEST(LogHisto, BinsEndsAndRefusals)
{
    const float values[] = {0.0f, 0.1f,  0.5f, 0.99f,
                            1.0f, -4.0f, 9.0f, std::numeric_limits<float>::quiet_NaN()};
    std::vector<int> hist(11, 0);
    EXPECT_EQ(log_histo(8, 11, values, hist.data(), 0.0f, 1.0f), 8);
    // trunc(v x 10): 0, 1, 5, 9, then max, above and below the range to the end bins, NaN to 0.
    EXPECT_EQ(hist, (std::vector<int>{3, 1, 0, 0, 0, 1, 0, 0, 0, 1, 2}));
    // A value at max lands in the last bin even where (max - min) x (n - 1) / (max - min)
    // rounds below n - 1.
    for (float mx : {36.927063f, 5.05436039f, 0.7f}) {
        std::vector<int> h(255, 0);
        EXPECT_EQ(log_histo(1, 255, &mx, h.data(), 0.0f, mx), 1);
        EXPECT_EQ(h[254], 1) << mx;
    }
    EXPECT_EQ(log_histo(8, 11, values, hist.data(), 1.0f, 1.0f), -1);
    EXPECT_EQ(log_histo(8, 11, values, hist.data(), 2.0f, 1.0f), -1);
    EXPECT_EQ(log_histo(0, 11, values, hist.data(), 0.0f, 1.0f), 0);
    EXPECT_EQ(log_histo(8, 0, values, hist.data(), 0.0f, 1.0f), -3);
    EXPECT_EQ(log_histo(8, 11, nullptr, hist.data(), 0.0f, 1.0f), -3);
}
