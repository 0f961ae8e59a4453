// The global operator: statistics, the mapping and its settings, bands against one thread, and
// the colour-temperature white.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "imagecore/banded.h"
#include "tests/tonemap/alloc_hook.h"
#include "tests/tonemap/tm_test_util.h"
#include "tonemap/rodo.h"
#include "tonemap/tm_params.h"

namespace {

struct Table {
    float t[256];
    Table() { exp_lut(t, -8); }
};

// An rgbeBuf image with its statistics.
struct Hdr {
    int w, h;
    std::vector<uint8_t> rgbe;
    float lum[kLumParamCount] = {};
    Table table;
    Hdr(int w_, int h_, std::vector<uint8_t> bytes) : w(w_), h(h_), rgbe(std::move(bytes))
    {
        EXPECT_EQ(logMinMaxMoy(w, h, table.t, rgbe.data(), lum), h);
    }
};

Hdr ramp_image(int w, int h)
{
    return Hdr(w, h, tmtest::encode_rgbe(w, h, tmtest::tinted_ramp(w, h, -8, 8)));
}

dim_param dims_for(int w, int h, int spp, int bits)
{
    dim_param d;
    init_dim_param(d.v);
    d.v[kDimWidth] = w;
    d.v[kDimHeight] = h;
    d.v[kDimSpp] = spp;
    d.v[kDimOutBits] = bits;
    d.v[kDimOutRowLen] = w * spp;
    return d;
}

optim_param_struct threads(int n)
{
    optim_param_struct o;
    init_optim_param(&o);
    o.nbProc = n;
    return o;
}

struct Params {
    float p[kTmParamCount] = {};
};

// Runs tm_simple into a fresh buffer of samples; result code in *rc.
template <class T>
std::vector<T> map_image(const Hdr &img, const Params &p, int bits, int nbProc, int *rc,
                         int spp = 3)
{
    std::vector<T> out(size_t(img.w) * size_t(img.h) * size_t(spp), T(7));
    *rc = tm_simple(p.p, img.lum, img.table.t, img.rgbe.data(), out.data(),
                    dims_for(img.w, img.h, spp, bits), threads(nbProc));
    return out;
}

// One row of n pixels of the same grey value v (exponent byte 136 + k).
std::vector<uint8_t> uniform_grey(int w, int h, uint8_t mantissa, uint8_t exponent)
{
    std::vector<uint8_t> rgbe(size_t(w) * size_t(h) * 4);
    for (int y = 0; y < h; ++y) {
        uint8_t *row = rgbe.data() + size_t(y) * 4 * size_t(w);
        std::memset(row, mantissa, size_t(3 * w));
        std::memset(row + 3 * w, exponent, size_t(w));
    }
    return rgbe;
}

struct StartGuard {
    ~StartGuard() { imagecore::set_thread_start_for_testing(nullptr); }
};
int refuse_start(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *)
{
    return EAGAIN;
}

} // namespace

TEST(LogMinMaxMoy, UniformLuminanceGivesMeanAndMaximumAndTheOperatorRefusesIt)
{
    // Mantissa 128 with exponent 137: every pixel is 256.
    Hdr img(20, 10, uniform_grey(20, 10, 128, 137));
    const float l = std::log(256.0f);
    EXPECT_FLOAT_EQ(img.lum[0], l);
    EXPECT_FLOAT_EQ(img.lum[1], l);
    EXPECT_FLOAT_EQ(img.lum[2], l);
    EXPECT_FLOAT_EQ(img.lum[3], img.lum[2]);
    EXPECT_FLOAT_EQ(img.lum[4], img.lum[1]);
    int rc;
    std::vector<uint8_t> out = map_image<uint8_t>(img, Params(), 8, 1, &rc);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(map_image<uint8_t>(img, Params(), 8, 4, &rc), out);
    EXPECT_EQ(rc, -1);
}

TEST(LogMinMaxMoy, AllNegativeLogsLeaveTheMaximumAtZero)
{
    // Values 0.25 and 0.5: both logs negative.
    std::vector<uint8_t> rgbe = uniform_grey(2, 1, 128, 127);
    rgbe[7] = 128; // exponent of pixel 1
    Hdr img(2, 1, rgbe);
    EXPECT_FLOAT_EQ(img.lum[0], std::log(0.25f));
    EXPECT_EQ(img.lum[1], 0.0f);
    EXPECT_FLOAT_EQ(img.lum[2], (std::log(0.25f) + std::log(0.5f)) / 2);
}

TEST(LogMinMaxMoy, BlackAndLightlessPixelsAreSkipped)
{
    // Pixel 0 exponent 0 (black), pixel 1 zero mantissas, pixel 2 the value 2.
    std::vector<uint8_t> rgbe(3 * 4, 0);
    rgbe[0] = rgbe[3] = rgbe[6] = 200; // mantissas of pixel 0, exponent left 0
    rgbe[10] = 140;                    // pixel 1: exponent, mantissas 0
    rgbe[2] = rgbe[5] = rgbe[8] = 128; // pixel 2
    rgbe[11] = 130;                    // 128 x 2^-6 = 2
    Hdr img(3, 1, rgbe);
    EXPECT_FLOAT_EQ(img.lum[0], std::log(2.0f));
    EXPECT_FLOAT_EQ(img.lum[2], std::log(2.0f));
    // Nothing to measure: minimum 1e11, maximum 0, mean 0.
    Hdr black(3, 1, std::vector<uint8_t>(12, 0));
    EXPECT_EQ(black.lum[0], 1e11f);
    EXPECT_EQ(black.lum[1], 0.0f);
    EXPECT_EQ(black.lum[2], 0.0f);
}

TEST(LogMinMaxMoy, MedianAndUpperPercentileOfTheSamples)
{
    // 100 x 100 pixels: the spacing is 1, every pixel is a sample.
    Hdr img = ramp_image(100, 100);
    std::vector<float> logs;
    for (int y = 0; y < img.h; ++y)
        for (int x = 0; x < img.w; ++x) {
            float rgb[3];
            const uint8_t *row = img.rgbe.data() + size_t(y) * 400;
            uint8_t e = row[x + 300];
            for (int c = 0; c < 3; ++c)
                rgb[c] = row[x + c * 100] * img.table.t[e];
            logs.push_back(std::log(0.2125f * rgb[0] + 0.7154f * rgb[1] + 0.0721f * rgb[2]));
        }
    std::sort(logs.begin(), logs.end());
    EXPECT_FLOAT_EQ(img.lum[0], logs.front());
    EXPECT_FLOAT_EQ(img.lum[1], logs.back());
    // The percentiles come back from a 65536-bin histogram: within two bin widths below the
    // sample (binning truncates, the way back uses 1/65536).
    const float bin = (logs.back() - logs.front()) / 65536.0f;
    EXPECT_NEAR(img.lum[3], logs[5000], 2 * bin);
    EXPECT_LE(img.lum[3], logs[5000] + bin / 4);
    EXPECT_NEAR(img.lum[4], logs[9950], 2 * bin);
}

TEST(LogMinMaxMoy, NoRowsOrColumnsWriteNothing)
{
    Table t;
    float lum[kLumParamCount] = {9, 9, 9, 9, 9, 9, 9};
    uint8_t px[4] = {1, 1, 1, 130};
    EXPECT_EQ(logMinMaxMoy(1, 0, t.t, px, lum), 0);
    EXPECT_EQ(logMinMaxMoy(0, 1, t.t, px, lum), 0);
    for (float v : lum)
        EXPECT_EQ(v, 9.0f);
}

TEST(LogMinMaxMoy, ScratchMemoryShortGivesMinus4AndWritesNothing)
{
    Hdr img = ramp_image(16, 8);
    // Allocation 1 is the sample buffer, 2 the histogram.
    for (long n : {1, 2}) {
        float lum[kLumParamCount] = {9, 9, 9, 9, 9, 9, 9};
        alloc_hook::Disarm disarm;
        alloc_hook::fail_nth(n);
        const int rc = logMinMaxMoy(img.w, img.h, img.table.t, img.rgbe.data(), lum);
        const bool fired = alloc_hook::fired();
        alloc_hook::fail_nth(0);
        EXPECT_TRUE(fired) << n;
        EXPECT_EQ(rc, -4) << n;
        for (float v : lum)
            EXPECT_EQ(v, 9.0f);
    }
}

TEST(TmSimple, DepthOtherThan8Or16WritesNothing)
{
    Hdr img = ramp_image(16, 8);
    int rc;
    for (int bits : {12, 0, 32}) {
        std::vector<uint16_t> out = map_image<uint16_t>(img, Params(), bits, 1, &rc);
        EXPECT_EQ(rc, 0) << bits;
        for (uint16_t v : out)
            ASSERT_EQ(v, 7);
        out = map_image<uint16_t>(img, Params(), bits, 3, &rc);
        EXPECT_EQ(rc, 0) << bits;
        for (uint16_t v : out)
            ASSERT_EQ(v, 7);
    }
}

TEST(TmSimple, BadLayoutWritesNothing)
{
    Hdr img = ramp_image(16, 8);
    std::vector<uint8_t> out(16 * 8 * 3, 7);
    Params p;
    dim_param d = dims_for(16, 8, 3, 8);
    d.v[kDimOutRowLen] = 47;
    EXPECT_EQ(tm_simple(p.p, img.lum, img.table.t, img.rgbe.data(), out.data(), d, threads(1)), 0);
    d = dims_for(16, 8, 0, 8);
    EXPECT_EQ(tm_simple(p.p, img.lum, img.table.t, img.rgbe.data(), out.data(), d, threads(2)), 0);
    d = dims_for(16, 0, 3, 8);
    EXPECT_EQ(tm_simple(p.p, img.lum, img.table.t, img.rgbe.data(), out.data(), d, threads(1)), 0);
    for (uint8_t v : out)
        ASSERT_EQ(v, 7);
}

TEST(TmSimple, DarkestGreyToZeroBrightestToTheTop)
{
    // A pure grey ramp: the curve's ends are the image's extremes.
    const int w = 64, h = 4;
    std::vector<float> rgb(size_t(w) * h * 3);
    for (size_t i = 0; i < size_t(w) * h; ++i)
        rgb[i * 3] = rgb[i * 3 + 1] = rgb[i * 3 + 2] =
            float(std::exp2(-6.0 + 12.0 * i / (w * h - 1)));
    Hdr img(w, h, tmtest::encode_rgbe(w, h, rgb));
    for (int bits : {8, 16}) {
        int rc;
        std::vector<uint16_t> out16;
        std::vector<uint8_t> out8;
        std::vector<int> v;
        if (bits == 8) {
            out8 = map_image<uint8_t>(img, Params(), 8, 1, &rc);
            v.assign(out8.begin(), out8.end());
        } else {
            out16 = map_image<uint16_t>(img, Params(), 16, 1, &rc);
            v.assign(out16.begin(), out16.end());
        }
        ASSERT_EQ(rc, h);
        const int top = bits == 8 ? 255 : 65535;
        EXPECT_EQ(v[0], 0);
        // The brightest pixel lands on the top value; the gain's rounding may truncate it one
        // code below.
        EXPECT_GE(v[v.size() - 1], top - 1);
        for (size_t i = 0; i + 3 < v.size(); i += 3) {
            EXPECT_EQ(v[i], v[i + 1]);
            EXPECT_EQ(v[i], v[i + 2]);
            EXPECT_LE(v[i], v[i + 3]) << "not monotonic at " << i / 3;
        }
    }
}

TEST(TmSimple, ExponentZeroIsBlackWhateverTheSettings)
{
    std::vector<float> rgb = tmtest::tinted_ramp(8, 4, -4, 4);
    std::vector<uint8_t> rgbe = tmtest::encode_rgbe(8, 4, rgb);
    // Pixel (3, 2): mantissas set, exponent 0.
    uint8_t *row = rgbe.data() + 2 * 32;
    row[3] = row[3 + 8] = row[3 + 16] = 200;
    row[3 + 24] = 0;
    Hdr img(8, 4, rgbe);
    Params p;
    p.p[kRoBrightness] = -10;
    p.p[kRoContrast] = 8;
    p.p[kRoBlackClip] = -20;
    p.p[kRoColorTemperature] = 3;
    p.p[kRoSaturation] = 5;
    int rc;
    std::vector<uint8_t> out = map_image<uint8_t>(img, p, 8, 1, &rc);
    ASSERT_EQ(rc, 4);
    const size_t i = (2 * 8 + 3) * 3;
    EXPECT_EQ(out[i], 0);
    EXPECT_EQ(out[i + 1], 0);
    EXPECT_EQ(out[i + 2], 0);
}

TEST(TmSimple, FractionalSlotsAreTruncatedToOff)
{
    Hdr img = ramp_image(24, 6);
    int rc;
    std::vector<uint8_t> plain = map_image<uint8_t>(img, Params(), 8, 1, &rc);
    Params p;
    p.p[kRoColorTemperature] = 0.5f;
    p.p[kRoSaturation] = -0.9f;
    EXPECT_EQ(map_image<uint8_t>(img, p, 8, 1, &rc), plain);
    p.p[kRoColorTemperature] = 1.0f;
    EXPECT_NE(map_image<uint8_t>(img, p, 8, 1, &rc), plain);
    p.p[kRoColorTemperature] = 0;
    p.p[kRoSaturation] = -1.0f;
    EXPECT_NE(map_image<uint8_t>(img, p, 8, 1, &rc), plain);
}

TEST(TmSimple, TemperatureOutOfRangeKeepsGreysGrey)
{
    // 6500 - 200 x 40 < 0: no white point, the gains stay 1.
    const int w = 32, h = 2;
    std::vector<float> rgb(size_t(w) * h * 3);
    for (size_t i = 0; i < size_t(w) * h; ++i)
        rgb[i * 3] = rgb[i * 3 + 1] = rgb[i * 3 + 2] =
            float(std::exp2(-4.0 + 8.0 * i / (w * h - 1)));
    Hdr img(w, h, tmtest::encode_rgbe(w, h, rgb));
    int rc;
    std::vector<uint8_t> plain = map_image<uint8_t>(img, Params(), 8, 1, &rc);
    for (float slot : {32.5f, 40.0f, 1e6f}) {
        Params p;
        p.p[kRoColorTemperature] = slot;
        std::vector<uint8_t> out = map_image<uint8_t>(img, p, 8, 1, &rc);
        ASSERT_EQ(rc, h);
        // The colour matrix is then the standard's rounded inverse times the forward matrix,
        // the identity to about 1e-4: at most one code off the plain mapping.
        for (size_t i = 0; i < out.size(); ++i)
            ASSERT_NEAR(out[i], plain[i], 1) << slot << " at " << i;
    }
}

TEST(TmSimple, ClipSettingsSaturateInsteadOfOverflowing)
{
    Hdr img = ramp_image(32, 8);
    int rc;
    std::vector<uint8_t> plain = map_image<uint8_t>(img, Params(), 8, 1, &rc);
    auto count = [](const std::vector<uint8_t> &v, uint8_t x) {
        return std::count(v.begin(), v.end(), x);
    };
    Params white;
    white.p[kRoWhiteClip] = 5;
    EXPECT_GT(count(map_image<uint8_t>(img, white, 8, 1, &rc), 255), count(plain, 255));
    Params black;
    black.p[kRoBlackClip] = 5;
    EXPECT_GT(count(map_image<uint8_t>(img, black, 8, 1, &rc), 0), count(plain, 0));
    // Denominator at zero and below: the stores saturate, the run still succeeds.
    for (float clip : {100.0f / 3.0f, 40.0f, 1e30f}) {
        Params p;
        p.p[kRoWhiteClip] = clip;
        p.p[kRoBlackClip] = 50 - clip;
        map_image<uint8_t>(img, p, 8, 1, &rc);
        EXPECT_EQ(rc, 8) << clip;
        std::vector<uint16_t> out = map_image<uint16_t>(img, p, 16, 1, &rc);
        EXPECT_EQ(rc, 8) << clip;
    }
}

TEST(TmSimple, SaturationWidensTheChannelSpread)
{
    Hdr img = ramp_image(32, 9);
    int rc;
    std::vector<uint8_t> plain = map_image<uint8_t>(img, Params(), 8, 1, &rc);
    Params p;
    p.p[kRoSaturation] = 5;
    std::vector<uint8_t> sat = map_image<uint8_t>(img, p, 8, 1, &rc);
    long spreadPlain = 0, spreadSat = 0;
    for (size_t i = 0; i < plain.size(); i += 3) {
        spreadPlain += std::max({plain[i], plain[i + 1], plain[i + 2]}) -
                       std::min({plain[i], plain[i + 1], plain[i + 2]});
        spreadSat +=
            std::max({sat[i], sat[i + 1], sat[i + 2]}) - std::min({sat[i], sat[i + 1], sat[i + 2]});
    }
    EXPECT_GT(spreadSat, spreadPlain);
}

TEST(TmSimple, BrightnessRaisesTheMidtones)
{
    Hdr img = ramp_image(32, 8);
    int rc;
    std::vector<uint8_t> plain = map_image<uint8_t>(img, Params(), 8, 1, &rc);
    Params p;
    p.p[kRoBrightness] = 3;
    std::vector<uint8_t> bright = map_image<uint8_t>(img, p, 8, 1, &rc);
    const size_t mid = plain.size() / 2 + 1; // a green sample in the middle of the ramp
    EXPECT_GT(bright[mid], plain[mid]);
}

TEST(TmSimple, ChannelOrderSampleOffsetsAndRowPadding)
{
    Hdr img = ramp_image(10, 5);
    Params p;
    int rc;
    std::vector<uint8_t> rgb = map_image<uint8_t>(img, p, 8, 1, &rc);
    // Four samples a pixel in rows of 44 samples, blue first.
    std::vector<uint8_t> out(44 * 5, 7);
    dim_param d = dims_for(10, 5, 4, 8);
    d.v[kDimOutRowLen] = 44;
    d.v[kDimChannelOrder] = 1;
    // Two bands of 2 and 3 rows: the result is the last band's.
    ASSERT_EQ(tm_simple(p.p, img.lum, img.table.t, img.rgbe.data(), out.data(), d, threads(2)), 3);
    for (int y = 0; y < 5; ++y) {
        for (int x = 0; x < 10; ++x) {
            const uint8_t *o = &out[size_t(y) * 44 + size_t(x) * 4];
            const uint8_t *e = &rgb[(size_t(y) * 10 + size_t(x)) * 3];
            EXPECT_EQ(o[3], e[0]);
            EXPECT_EQ(o[1], e[1]);
            EXPECT_EQ(o[0], e[2]);
            EXPECT_EQ(o[2], 7); // the fourth sample is not ours
        }
        for (int k = 40; k < 44; ++k)
            EXPECT_EQ(out[size_t(y) * 44 + size_t(k)], 7);
    }
}

TEST(TmSimple, BandsEqualOneThreadBitForBit)
{
    Params p;
    p.p[kRoBrightness] = 1.5f;
    p.p[kRoCompression] = 3;
    p.p[kRoContrast] = 2;
    p.p[kRoWhiteClip] = 1;
    p.p[kRoBlackClip] = 0.5f;
    p.p[kRoColorTemperature] = -4;
    p.p[kRoSaturation] = 3;
    for (auto wh : {std::pair{37, 29}, std::pair{16, 3}, std::pair{5, 1}}) {
        Hdr img = ramp_image(wh.first, wh.second);
        int rc1;
        std::vector<uint8_t> one8 = map_image<uint8_t>(img, p, 8, 1, &rc1);
        std::vector<uint16_t> one16 = map_image<uint16_t>(img, p, 16, 1, &rc1);
        ASSERT_EQ(rc1, wh.second);
        for (int n : {2, 3, 8}) {
            int rc;
            EXPECT_EQ(map_image<uint8_t>(img, p, 8, n, &rc), one8) << n << " threads";
            EXPECT_GT(rc, 0);
            EXPECT_EQ(map_image<uint16_t>(img, p, 16, n, &rc), one16) << n << " threads";
            // The last band holds h - (bands - 1) x (h / bands) rows, bands = min(n, h).
            const int bands = std::min(n, wh.second);
            EXPECT_EQ(rc, wh.second - (bands - 1) * (wh.second / bands));
        }
    }
}

TEST(TmSimple, ThreadThatCannotStartFailsWithMinus2)
{
    Hdr img = ramp_image(16, 8);
    StartGuard guard;
    imagecore::set_thread_start_for_testing(refuse_start);
    int rc;
    map_image<uint8_t>(img, Params(), 8, 4, &rc);
    EXPECT_EQ(rc, -2);
    map_image<uint8_t>(img, Params(), 8, 1, &rc);
    EXPECT_EQ(rc, 8); // one band runs on the calling thread
}

TEST(Kelvin2XYZ, DaylightWhites)
{
    float xyz[3] = {0, 0, 0};
    kelvin2XYZ(6500, xyz);
    // The reference values are given to five decimals.
    EXPECT_NEAR(xyz[0], 0.95017f, 1e-4f);
    EXPECT_EQ(xyz[1], 1.0f);
    EXPECT_NEAR(xyz[2], 1.08765f, 1e-4f);
    // Warmer whites have less blue, cooler ones more, across the 7000 K switch of formulas.
    float warm[3], cool[3], at7000[3], above[3];
    kelvin2XYZ(4000, warm);
    kelvin2XYZ(12000, cool);
    kelvin2XYZ(7000, at7000);
    kelvin2XYZ(7001, above);
    EXPECT_LT(warm[2], xyz[2]);
    EXPECT_GT(cool[2], xyz[2]);
    EXPECT_GT(warm[0], cool[0]);
    // The two formulas meet at 7000 K to about 1e-3.
    EXPECT_NEAR(at7000[0], above[0], 2e-3f);
    EXPECT_NEAR(at7000[2], above[2], 2e-3f);
}

TEST(Kelvin2XYZ, NoTemperatureWritesNothing)
{
    for (int k : {0, -1, -6500, std::numeric_limits<int>::min()}) {
        float xyz[3] = {0.950456f, 1, 1.088754f};
        kelvin2XYZ(k, xyz);
        EXPECT_EQ(xyz[0], 0.950456f) << k;
        EXPECT_EQ(xyz[1], 1.0f);
        EXPECT_EQ(xyz[2], 1.088754f);
    }
}
