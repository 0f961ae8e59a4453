// Brightening by the bright tail, the percentile count steering and the memory size.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <vector>

#include "imagecore/image_utils.h"
#include "tests/support/patterns.h"

TEST(RawBrighten, WhiteFromTheTopTenthAndGainToTheTop)
{
    // 11 of 100 samples at 60000: the white level is 60000, w = 40000.
    std::vector<uint16_t> s(100, 1000);
    for (int i = 0; i < 11; ++i)
        s[size_t(i * 9)] = 60000;
    ASSERT_EQ(raw_brighten(100, s.data()), 100);
    const double gain = std::pow(65535.0 / 40000.0, 0.45); // 1.2488
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(s[size_t(i)], i % 9 == 0 && i < 99 ? 65535 : int(1000 * gain)) << i;
    EXPECT_EQ(int(1000 * gain), 1248);
}

TEST(RawBrighten, BrightensEveryDarkSampleAndRefusesWhatHasNoWhite)
{
    auto s = testsupport::seeded_samples<uint16_t>(5000, 61, 20000);
    const auto before = s;
    ASSERT_EQ(raw_brighten(5000, s.data()), 5000);
    for (size_t i = 0; i < s.size(); ++i)
        ASSERT_GE(s[i], before[i]); // the white of a dark buffer lies below 65535 / 1.5
    // The samples keep their order: the gain is one factor.
    for (size_t i = 1; i < s.size(); ++i)
        ASSERT_EQ(s[i] > s[i - 1], before[i] > before[i - 1]) << i;

    std::vector<uint16_t> black(50, 0);
    EXPECT_EQ(raw_brighten(0, black.data()), -1);
    EXPECT_EQ(raw_brighten(50, black.data()), -1); // white level 0
    EXPECT_EQ(black, std::vector<uint16_t>(50, 0));
    EXPECT_EQ(raw_brighten(-1, black.data()), -3);
    EXPECT_EQ(raw_brighten(5, nullptr), -3);
}

namespace {

// The steering loop from its definition, on one histogram.
int percentile_reference(const std::vector<int> &histo, int iteration, int count)
{
    for (;;) {
        int level = 0;
        long long cumulative = 0;
        while (level < 256 && (cumulative += histo[size_t(level)]) <= count)
            ++level;
        if (iteration > 39 || (level > 14 && level < 236))
            return count;
        count = int(float(count) * (level < 15 ? 1.01f : 0.99f));
        ++iteration;
    }
}

} // namespace

TEST(VerifPercentile, StepsTheCountUntilItsLevelIsUsable)
{
    // Three images back to back; image 1 has all 1000 counts in bin 0, image 2 400 in each bin.
    std::vector<int> histos(3 * 256, 0);
    histos[256] = 1000;
    for (int i = 0; i < 256; ++i)
        histos[size_t(512 + i)] = 400;
    const std::vector<int> bin0(histos.begin() + 256, histos.begin() + 512);
    const std::vector<int> flatH(histos.begin() + 512, histos.end());

    EXPECT_EQ(verifPercentile(histos.data(), 1, 0, 50), 50);    // 50 x 1.01 truncates to 50
    EXPECT_EQ(verifPercentile(histos.data(), 1, 40, 990), 990); // one search, then returned
    // 990 grows to 999 and 1008, then passes the total (level 256) and shrinks, and so on.
    const int settled = verifPercentile(histos.data(), 1, 0, 990);
    EXPECT_EQ(settled, percentile_reference(bin0, 0, 990));
    EXPECT_GE(settled, 990);
    EXPECT_LE(settled, 1010);
    // Flat: 10000 lies at level 25 and is returned; 5800 (level 14) grows 5858, 5916, 5975,
    // 6034, which is level 15; 100000 (level 250) shrinks below 400 x 236.
    EXPECT_EQ(verifPercentile(histos.data(), 2, 0, 10000), 10000);
    EXPECT_EQ(verifPercentile(histos.data(), 2, 0, 5800), 6034);
    const int shrunk = verifPercentile(histos.data(), 2, 0, 100000);
    EXPECT_EQ(shrunk, percentile_reference(flatH, 0, 100000));
    EXPECT_LT(shrunk, 94400);
    EXPECT_GT(shrunk, 93400);
    // Only 40 steps are taken: 2000 (level 5) grows to about 2000 x 1.01^40, still level 7.
    const int capped = verifPercentile(histos.data(), 2, 0, 2000);
    EXPECT_EQ(capped, percentile_reference(flatH, 0, 2000));
    EXPECT_NEAR(capped, 2000 * std::pow(1.01, 40), 40);

    EXPECT_EQ(verifPercentile(nullptr, 0, 0, 10), -3);
    EXPECT_EQ(verifPercentile(histos.data(), -1, 0, 10), -3);
    EXPECT_EQ(verifPercentile(histos.data(), 0, -5, 10), -3);
}

TEST(GetSizeRAM, SaturatesInsteadOfKeepingTheLowBits)
{
    const struct {
        uint64_t bytes;
        int want;
    } cases[] = {{0, -1},
                 {uint64_t(1) << 20, 1 << 20},
                 {uint64_t(INT_MAX), INT_MAX},
                 {uint64_t(1) << 31, INT_MAX},
                 {uint64_t(4) << 30, INT_MAX}, // 4 GiB: its low 32 bits are 0
                 {(uint64_t(4) << 30) + 4096, INT_MAX},
                 {UINT64_MAX, INT_MAX}};
    for (const auto &c : cases)
        EXPECT_EQ(imagecore::saturated_ram_size(c.bytes), c.want) << c.bytes;
    EXPECT_GT(getSizeRAM(), 0);
}
