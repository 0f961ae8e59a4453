// Slider mappings and histogram routines: mapping values and their rounding, the preview
// histogram's four tables, and the percentile and float-histogram bins at their ends.
#include <gtest/gtest.h>

#include <climits>
#include <limits>
#include <vector>

#include "tonemap/tm_sliders.h"

TEST(SliderMappings, KnownValuesHalfRoundsDownAndInverse)
{
    const int got[] = {slider2param(50, 1.0),     param2slider(100000.0f, 1.0),
                       paramf2slider(5.0f, 2.0),  slider2param(25, 0.5),
                       paramf2slider(0.25f, 1.0), paramf2slider(0.2578125f, 1.0),
                       slider2param(1000, 10.0)};
    const int want[] = {100000, 50, 25, 100000, 2 /* 2.5 goes down */, 3 /* 2.578 up */, INT_MAX};
    for (size_t i = 0; i < std::size(want); ++i)
        EXPECT_EQ(got[i], want[i]) << "case " << i;
    for (int s = 0; s <= 100; ++s) // exponents e and 1 / e undo each other
        EXPECT_EQ(param2slider(float(slider2param(s, 2.2)), 1 / 2.2), s) << s;
}

TEST(HistogramRoutines, PreviewTablesAndHistoMax)
{
    // Two pixels of four samples: R at 0, G at (4 - 1) / 2 = 1, B at 3; sample 2 is not read.
    const uint8_t px[8] = {255, 0, 77, 0, 10, 200, 99, 30};
    std::vector<int> hist(1024, 1); // added to, not cleared
    EXPECT_EQ(histo4preview(2, 1, 4, px, hist.data()), 2);
    for (int bin : {(54 * 255) >> 8, (54 * 10 + 183 * 200 + 19 * 30) >> 8, 256 + 255, 256 + 10,
                    512 + 0, 512 + 200, 768 + 0, 768 + 30})
        EXPECT_EQ(hist[size_t(bin)], 2) << bin;
    EXPECT_EQ(hist[768 + 77], 1);
    EXPECT_EQ(histo4preview(0, 5, 3, px, hist.data()), 0);
    EXPECT_EQ(histo4preview(65536, 65536, 3, px, hist.data()), -3); // w x h past the int range
    std::vector<int> h(256, 0);
    EXPECT_EQ(getHistoMax(h.data()), 1);
    h[17] = 9;
    EXPECT_EQ(getHistoMax(h.data()), 9);
    h[17] = -20; // a sum below 1
    EXPECT_EQ(getHistoMax(h.data()), 1);
}

TEST(HistogramRoutines, PercentileAndLogHistoBins)
{
    const int counts[3] = {2, 0, 3};
    for (auto [nbins, fraction, want] : {std::tuple{3, 0.5f, 2},
                                         {3, 0.3f, 0},
                                         {3, 0.4f, 2},
                                         {3, 1.0f, 3},
                                         {0, 0.5f, 0},
                                         {3, std::numeric_limits<float>::quiet_NaN(), 0}})
        EXPECT_EQ(percentile(5, nbins, counts, fraction), want) << fraction << " " << nbins;
    EXPECT_EQ(percentile(5, 3, nullptr, 0.5f), -3);

    // Bins of (value - min) x 10 / (max - min) for 11 bins: 0.95 in bin 9, 0.19 in bin 1.
    const float values[] = {0.0f, 0.1f, 0.5f, 1.0f, -4.0f, 9.0f, 0.95f, 0.19f};
    std::vector<int> hist(11, 0);
    EXPECT_EQ(log_histo(8, 11, values, hist.data(), 0.0f, 1.0f), 8);
    EXPECT_EQ(hist, (std::vector<int>{2, 2, 0, 0, 0, 1, 0, 0, 0, 1, 2}));
    // At max: the last bin, also where max x 254 / max rounds below 254 in float.
    for (float mx : {36.927063f, 5.05436039f}) {
        std::vector<int> h(255, 0);
        EXPECT_EQ(log_histo(1, 255, &mx, h.data(), 0.0f, mx), 1);
        EXPECT_EQ(h[254], 1) << mx;
    }
    EXPECT_EQ(log_histo(6, 11, values, hist.data(), 1.0f, 1.0f), -1);
    EXPECT_EQ(log_histo(0, 11, values, hist.data(), 0.0f, 1.0f), 0);
    EXPECT_EQ(log_histo(6, 0, values, hist.data(), 0.0f, 1.0f), -3);
}
