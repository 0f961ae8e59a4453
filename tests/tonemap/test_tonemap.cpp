// Tone mapping: tables, colour conversions, the global operator, and the job (its
// stages and progress through fake stages, refused fields and records, failures without leaks).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "imagecore/banded.h"
#include "platform/bundle.h"
#include "platform/notification_center.h"
#include "tests/tonemap/alloc_failure.h"
#include "tests/tonemap/tm_test_util.h"
#include "tonemap/rodo.h"
#include "tonemap/tm_color.h"
#include "tonemap/tone_map.h"

using platform::Data;
using platform::DataPtr;

namespace {

// An rgbeBuf image (the test scene by default) with its statistics.
struct Hdr {
    int w, h;
    std::vector<uint8_t> rgbe;
    float lum[kLumParamCount] = {}, table[256];
    Hdr(int w_, int h_, std::vector<uint8_t> bytes = {})
        : w(w_), h(h_), rgbe(bytes.empty() ? tmtest::encode_rgbe(w, h) : std::move(bytes))
    {
        exp_lut(table, -8);
        EXPECT_EQ(logMinMaxMoy(w, h, table, rgbe.data(), lum), h);
    }
    DataPtr data() const { return Data::copy(rgbe.data(), rgbe.size()); }
};

// Method-2 slots (all 0 but the given ones).
using Params = std::array<float, kTmParamCount>;
Params params(std::initializer_list<std::pair<int, float>> slots = {})
{
    Params p{};
    for (auto [slot, v] : slots)
        p[size_t(slot)] = v;
    return p;
}

// tm_simple into RGB rows of rowLength samples (default w x 3) preset to 7 (uint16_t at 16 bits):
// its result and the output samples.
std::pair<int, std::vector<int>> map_image(const Hdr &img, const Params &p, int bits,
                                           int nbProc = 1, int rowLength = 0)
{
    rowLength = rowLength ? rowLength : img.w * 3;
    std::vector<uint16_t> out16(size_t(img.h) * size_t(std::max(rowLength, img.w * 3)), 7);
    std::vector<uint8_t> out8(out16.begin(), out16.end());
    const int rc = tm_simple(p.data(), img.lum, img.table, img.rgbe.data(),
                             bits == 16 ? static_cast<void *>(out16.data()) : out8.data(),
                             {{img.w, img.h, 3, 8, bits, 0, rowLength, 0}}, {nbProc, 0, {}});
    return {rc, bits == 16 ? std::vector<int>(out16.begin(), out16.end())
                           : std::vector<int>(out8.begin(), out8.end())};
}

// convert_to_rgbe of one row of w RGB pixels through an identity curve (exact expected bytes)
// into pixels preset to 0xAB: the result, then the four bytes of each pixel.
std::vector<int> convert(int bits, int w, int rowLength, int swap, const void *src)
{
    std::vector<float> identity(65536);
    std::iota(identity.begin(), identity.end(), 0.0f);
    std::vector<uint8_t> out(size_t(w) * 4, 0xAB);
    std::vector<int> px{
        convert_to_rgbe(bits, w, 1, 3, rowLength, swap, identity.data(), src, out.data())};
    for (size_t i = 0, s = size_t(w); i < s; ++i)
        px.insert(px.end(), {out[i], out[i + s], out[i + 2 * s], out[i + 3 * s]});
    return px;
}

const char *const kPart[3] = {"Tone mapping with Deredid Edazozed - part 1...",
                              "Tone mapping with Deredid Edazozed - part 2...",
                              "Tone mapping with Deredid Edazozed - part 3..."};

DataPtr image_dims(int w, int h, int spp, int bitsOut)
{
    const int32_t rec[13] = {w, h, spp, 8, bitsOut, 300, 0, 0, 0, 0, 1, 0, 0};
    return Data::copy(rec, sizeof rec);
}

struct StageLog { // what the fake stages saw and what they answer
    int rc[3] = {0, 0, 1}, calls = 0, rowLength = -1; // dim_param word 5 of stage 3
    std::vector<float> param, curve, lum;
} g_log;

int fake_tm1(int docType, const float *tmParam, const tm_dims *dims, float *lumParam, const float *,
             const float *curve, dim_param, void *, optim_param_struct, void *source,
             size_t capacity, float *work)
{
    ++g_log.calls;
    g_log.param.assign(tmParam, tmParam + kTmParamCount);
    g_log.curve.assign(curve, curve + (docType == 1 ? 65536 : docType == 2 ? 256 : 0));
    // All the scratch a real stage may use (the sanitizer build catches a short buffer).
    const size_t total = size_t(std::max(dims->v[kTdTotalA], dims->v[kTdTotalB]));
    EXPECT_GE(capacity, total * 4);
    std::memset(source, 0xEE, capacity);
    std::memset(work, 0, total * 4);
    std::fill_n(lumParam, 4, 1.0f);
    return g_log.rc[0];
}

int fake_tm2(int, int, int64_t, int, const float *, float *, dim_param, optim_param_struct)
{
    return g_log.rc[1];
}

int fake_tm3(int, const float *, const float *lumParam, const float *, const float *, void *,
             dim_param dim, optim_param_struct, float *, void *out)
{
    g_log.rowLength = dim.v[kDimSrcRowLen];
    g_log.lum.assign(lumParam, lumParam + kLumParamCount);
    const int bytes = dim.v[kDimWidth] * dim.v[kDimHeight] * dim.v[kDimSpp] * dim.v[kDimOutBits];
    std::memset(out, 3, size_t(bytes / 8));
    return g_log.rc[2];
}

// A job with the default records and the fake stages, its notifications; a fresh log.
struct FakeRun {
    ToneMap job;
    std::vector<double> status;
    std::vector<std::string> text;
    // Only what the job posts as itself: a wrong sender leaves the lists empty.
    platform::ScopedObserver observer{
        "progressReportUpdated", &job, [this](const platform::Notification &n) {
            status.push_back(n.userInfo.at("progressStatus").doubleValue());
            text.push_back(*n.userInfo.at("progressText").string());
        }};
    FakeRun(int w, int h, int spp, int bits, int docType = 0)
    {
        g_log = StageLog();
        job.setStagesForTesting({fake_tm1, fake_tm2, fake_tm3});
        job.setParamToDefault();
        job.setImageDimsFrom(image_dims(w, h, spp, bits));
        job.setDocType(docType);
    }
};

} // namespace

TEST(TmParams, MethodDefaultsExpLutAndCamcurve)
{
    std::vector<float> p(kTmParamCount, 5.0f);
    tmparam_default(kMethodDeredid, 0, p.data());
    EXPECT_EQ(
        p, (std::vector<float>{0, 70, 46, 0.25f, 0, 1, 0, 2, 50, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0}));
    tmparam_default(kMethodDeredid, 1, p.data());
    EXPECT_EQ(p[1], 40.0f);
    tmparam_default(kMethodFusionIntensive, 0, p.data());
    EXPECT_EQ(p[2], 40.0f);
    float t[256], one[1] = {-1.0f};
    EXPECT_EQ(exp_lut(t, -8), 256);
    EXPECT_EQ(t[136], 1.0f);
    std::vector<float> lut(65536);
    EXPECT_EQ(camcurve(0, 65536, lut.data()), 65536);
    EXPECT_EQ(lut[65535], 65535.0f);
    // The position 1 x (1 / 65535) is a single-precision product: within a float ulp or so.
    const float first = float(65535.0 * std::pow(1.0 / 65535.0, 2.2));
    EXPECT_NEAR(lut[1], first, first * 1e-6f);
    EXPECT_EQ(lut[0], lut[1]);
    EXPECT_EQ(camcurve(1, 256, lut.data()), 256); // linear
    EXPECT_TRUE(lut[0] == 1.0f && lut[255] == 255.0f);
    EXPECT_EQ(camcurve(0, 1, one), 0); // fewer than two entries: nothing written
    EXPECT_EQ(one[0], -1.0f);
}

TEST(ConvertToRgbe, MidRangeDarkAndSaturatedPixelsLayoutsAndRefusals)
{
    // A colour (100 = 0.78125 x 2^7), a dark pixel, a saturated pixel, a grey: dark gets the grey
    // of the smallest 0.3 R + 0.6 G + 0.1 B (60), saturated the grey of the largest (62.5).
    const uint8_t src[] = {100, 50, 25, 2, 2, 2, 255, 255, 255, 60, 60, 60};
    EXPECT_EQ(convert(8, 4, 12, 0, src),
              (std::vector<int>{1, 200, 100, 50, 135, 240, 240, 240, 134, 250, 250, 250, 134, 240,
                                240, 240, 134}));
    // No mid-range pixel: black stays black (no 0 / 0 greys), saturated pixels take the curve's
    // top, 255 = 0.99609375 x 2^8.
    EXPECT_EQ(convert(8, 2, 6, 0, src + 3), (std::vector<int>{1, 0, 0, 0, 0, 255, 255, 255, 136}));
    // 16 bits, swapped (blue, green, red): 0x4000 = 0.5 x 2^15.
    const uint16_t deep[] = {0x1000, 0x2000, 0x4000};
    EXPECT_EQ(convert(16, 1, 3, 1, deep), (std::vector<int>{1, 128, 64, 32, 143}));
    // Refused before writing: depth 12, a row shorter than w x spp.
    EXPECT_EQ(convert(12, 1, 3, 0, src), (std::vector<int>{0, 171, 171, 171, 171}));
    EXPECT_EQ(convert(8, 1, 2, 0, src), (std::vector<int>{0, 171, 171, 171, 171}));
}

TEST(Rgb2hslNorm, RedAndRoundTrips)
{
    float hsl[3], rgb[3];
    const float red[3] = {1, 0, 0};
    EXPECT_EQ(rgb2hsl_norm(red, hsl), 1);
    EXPECT_EQ(std::vector<float>(hsl, hsl + 3), (std::vector<float>{0, 1, 0.5f}));
    for (int i = 0; i < 11 * 11 * 11; ++i) {
        const float c[3] = {float(i % 11) / 10, float(i / 11 % 11) / 10, float(i / 121) / 10};
        rgb2hsl_norm(c, hsl);
        hsl2rgb_norm(hsl, rgb);
        // Single-precision conversions both ways plus the 1/3 hue shifts: a few float ulps.
        for (int k = 0; k < 3; ++k)
            EXPECT_NEAR(rgb[k], c[k], 2e-6f) << i;
    }
}

TEST(LogMinMaxMoy, UniformAndNegativeLogsAndExponentZero)
{
    // Every pixel 137 x 2^(137 - 136): median and percentile fall back to the mean and the
    // maximum.
    Hdr flat(20, 10, std::vector<uint8_t>(20 * 10 * 4, 137));
    for (int i = 0; i < 5; ++i)
        EXPECT_FLOAT_EQ(flat.lum[i], std::log(274.0f)) << i;
    // Pixels: exponent 0 with mantissas set, zero mantissas, 0.25, 0.5.
    Hdr img(4, 1, {200, 0, 128, 128, 200, 0, 128, 128, 200, 0, 128, 128, 0, 140, 127, 128});
    EXPECT_FLOAT_EQ(img.lum[0], std::log(0.25f));
    EXPECT_EQ(img.lum[1], 0.0f); // both logs negative
    EXPECT_FLOAT_EQ(img.lum[2], (std::log(0.25f) + std::log(0.5f)) / 2);
    // Exponent 0 is black whatever the settings.
    const Params p = params({{kRoBrightness, -10}, {kRoBlackClip, -20}, {kRoColorTemperature, 3}});
    const auto [rc, v] = map_image(img, p, 8);
    ASSERT_EQ(rc, 1);
    EXPECT_EQ(std::vector<int>(v.begin(), v.begin() + 3), std::vector<int>(3, 0));
}

// Past 40000 pixels only every step-th pixel of the image is a sample: bands of rows must pick
// the very pixels one pass picks (a grainy scene moves the median with any other choice).
TEST(LogMinMaxMoy, BandsSampleThePixelsOnePassSamples)
{
    const Hdr img(301, 203, tmtest::encode_rgbe(301, 203, 0.3));
    for (int nbProc : {3, 8}) {
        float lum[kLumParamCount] = {};
        ASSERT_EQ(logMinMaxMoy(301, 203, img.table, img.rgbe.data(), lum, nbProc), 203);
        EXPECT_EQ(0, std::memcmp(lum, img.lum, sizeof lum)) << nbProc;
    }
}

// A flat scene is a photograph: with no range to stretch, its luminance keeps the curve's own
// value at the key, V k / (k + (k f)^m) with k = e^-1.5 and m = 0.3 (no upper tail), whatever
// that luminance is, above or below 1; brightness and compression still act on it.
TEST(TmSimple, AFlatImageMapsToTheCurvesGreyForAnyLuminance)
{
    const double k = std::exp(-1.5);
    struct Case {
        uint8_t mantissa, exponent;
        float brightness, compression;
        double f, m; // the brightness factor e^-g and the exponent, from their definitions
    } const cases[] = {
        {137, 137, 0, 0, 1, 0.3},
        {200, 120, 0, 0, 1, 0.3},                          // log luminance 5.6 and -10.1
        {128, 136, 0, 0, 1, 0.3},                          // luminance 128 x 2^0 / 256
        {90, 140, 2, 0, std::exp(-2 * (0.4 - 0.02)), 0.3}, // brighter
        {90, 140, -3, 0, std::exp(1.5), 0.3},              // darker
        {90, 140, 0, 5, 1, 0.9 - 0.5 * (0.9 - 0.3)},       // compression 5
    };
    for (const Case &c : cases) {
        std::vector<uint8_t> rgbe(12 * 5 * 4, c.mantissa);
        for (int y = 0; y < 5; ++y)
            std::fill_n(rgbe.begin() + (y * 4 + 3) * 12, 12, c.exponent);
        const Hdr img(12, 5, rgbe);
        const Params p = params({{kRoBrightness, c.brightness}, {kRoCompression, c.compression}});
        for (int bits : {8, 16}) {
            const double top = bits == 16 ? 65535 : 255;
            const double grey = top * k / (k + std::pow(k * c.f, c.m));
            const auto [rc1, one] = map_image(img, p, bits, 1);
            const auto [rc3, three] = map_image(img, p, bits, 3);
            ASSERT_EQ(rc1, 5);
            ASSERT_EQ(rc3, 3); // the last band's rows
            EXPECT_EQ(one, three);
            // The statistics' and the operator's luminance weights differ in the fourth
            // decimal: within one code of the exact grey.
            for (int v : one)
                ASSERT_NEAR(v, grey, 1.0)
                    << int(c.mantissa) << "/" << int(c.exponent) << " " << bits;
        }
    }
    // More brightness is a brighter grey.
    const Hdr img(4, 2, std::vector<uint8_t>(4 * 2 * 4, 150));
    EXPECT_GT(map_image(img, params({{kRoBrightness, 3}}), 8).second[0],
              map_image(img, params({{kRoBrightness, -3}}), 8).second[0]);
    // No light at all (a zero grey with a live exponent): black, and the run succeeds.
    std::vector<uint8_t> dark(6 * 2 * 4, 0);
    for (int y = 0; y < 2; ++y)
        std::fill_n(dark.begin() + (y * 4 + 3) * 6, 6, 128);
    const auto [rc, black] = map_image(Hdr(6, 2, dark), params(), 16, 2);
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(black, std::vector<int>(black.size(), 0));
}

TEST(TmSimple, RefusedDepthsAndLayoutsWriteNothing)
{
    Hdr img(16, 8);
    for (auto [bits, rowLength] : {std::pair{12, 0}, {32, 0}, {8, 47}})
        for (int nbProc : {1, 3}) {
            const auto [rc, v] = map_image(img, params(), bits, nbProc, rowLength);
            EXPECT_EQ(rc, 0) << bits << " bits, " << nbProc << " threads";
            EXPECT_EQ(v, std::vector<int>(v.size(), 7));
        }
}

// The operator and its statistics as their definition reads, in double precision wherever it
// names no other: a second reading of the same formulas that disagrees when either slips.
namespace reference {

void stats(const Hdr &img, float *l)
{
    const int64_t n = int64_t(img.w) * img.h, step = n / 40000 + 1;
    std::vector<float> samples;
    double sum = 0;
    int64_t count = 0;
    float mn = 1e11f, mx = 0;
    for (int64_t i = 0; i < n; ++i) {
        const uint8_t *row = &img.rgbe[size_t(i / img.w) * 4 * size_t(img.w)];
        const size_t x = size_t(i % img.w), s = size_t(img.w);
        const int e = row[x + 3 * s];
        const double L = 0.2125 * row[x] + 0.7154 * row[x + s] + 0.0721 * row[x + 2 * s];
        if (e == 0 || !(float(L) > 0))
            continue;
        const float v = std::log(float(L * std::ldexp(1.0, e - 136)));
        ++count, sum += v, mn = std::min(mn, v), mx = std::max(mx, v);
        if (i % step == 0)
            samples.push_back(v);
    }
    l[0] = mn, l[1] = mx, l[2] = count ? float(sum / double(count)) : 0.0f;
    l[3] = l[2], l[4] = l[1];
    if (mn >= mx)
        return;
    std::vector<int> hist(65536);
    for (float v : samples)
        ++hist[size_t(std::clamp(int((v - mn) * 65535.0 / (mx - mn)), 0, 65535))];
    const int64_t k = int64_t(samples.size());
    for (int q = 0; q < 2; ++q) {
        const int64_t target = int64_t(double(k) * (q == 0 ? 0.5 : 0.995));
        int64_t run = 0;
        for (int b = 0; b < 65536; ++b)
            if ((run += hist[size_t(b)]) > target) {
                l[3 + q] = float(mn + b * (double(mx) - mn) / 65536.0);
                break;
            }
    }
}

// One output image, interleaved RGB of the given depth.
std::vector<int> tm_simple(const Hdr &img, const Params &p, int bits)
{
    const float *l = img.lum;
    const double V = bits == 16 ? 65535 : 255;
    const float d = l[4] - l[3];
    const float a = d <= 4 ? -1.5f : float((d * -0.5 - 1.5) + 2.0);
    const float r = float(std::exp(double(a)) / std::exp(double(l[3])));
    const double lr = std::log(double(r));
    const double lmin = l[0] + lr, lmax = l[1] + lr, lmed = l[3] + lr, l995 = l[4] + lr;
    const double p0 = p[0], p1 = p[1], p2 = p[2], q = 0.1 * p1 + 1;
    const double alpha = p2 > 0 && p1 > 0 ? (p2 + 10 * q) / (20 * q) : (p2 + 10) / 20;
    const double A = (1 - alpha) * std::exp(double(l[3])) * r;
    double m = 0.3 + 0.6 * std::pow((l995 - lmed) / (lmax - lmin), 1.4);
    if (p1 < 0)
        m = ((p1 + 10) / 10) * (m - 0.01) + 0.01;
    if (p1 > 0)
        m = 0.9 - ((10 - p1) / 10) * (0.9 - m);
    const double g = p0 > 0    ? p0 * (0.4 - 0.01 * p0)
                     : p0 > -6 ? 0.5 * p0
                               : p0 * (0.5 + 0.1 * (-6 - p0));
    const double f = std::exp(-g);
    double T[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    const bool temperature = int(p[12]) != 0;
    if (temperature) {
        float w[3] = {0.950456f, 1, 1.088754f};
        kelvin2XYZ(int(6500 - 200 * p[12]), w);
        const double M[3][3] = {
            {0.4124, 0.3576, 0.1805}, {0.2126, 0.7152, 0.0722}, {0.0193, 0.1192, 0.9505}};
        const double N[3][3] = {
            {3.2406, -1.5372, -0.4986}, {-0.9689, 1.8758, 0.0415}, {0.0557, -0.2040, 1.0570}};
        const double D[3] = {w[0] / 0.950456, 1, w[2] / 1.088754};
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) {
                T[i][j] = 0;
                for (int k = 0; k < 3; ++k)
                    T[i][j] += N[i][k] * D[k] * M[k][j];
            }
    }
    const bool saturation = int(p[13]) != 0;
    auto phi = [&](double W) { return V * W / (W + 1e-20 + std::pow((alpha * W + A) * f, m)); };
    const double hi = phi(std::exp(lmax)), lo0 = phi(std::exp(lmin)), span = hi - lo0;
    const double lo = lo0 + 0.02 * p[4] * span, gain = V / ((hi - 0.03 * p[3] * span) - lo);

    std::vector<int> out;
    const size_t s = size_t(img.w);
    for (int y = 0; y < img.h; ++y)
        for (size_t x = 0; x < s; ++x) {
            const uint8_t *row = &img.rgbe[size_t(y) * 4 * s];
            const int e = row[x + 3 * s];
            if (e == 0) {
                out.insert(out.end(), {0, 0, 0});
                continue;
            }
            const double c[3] = {double(row[x]), double(row[x + s]), double(row[x + 2 * s])};
            const double Y = 0.2126 * c[0] + 0.7152 * c[1] + 0.0722 * c[2];
            const double k = r * std::ldexp(1.0, e - 136);
            const double P = std::pow((Y * k * alpha + A) * f, m);
            float v[3];
            for (int i = 0; i < 3; ++i) {
                const double X = (T[i][0] * c[0] + T[i][1] * c[1] + T[i][2] * c[2]) * k;
                v[i] = float((V * X / (X + 1e-20 + P) - lo) * gain);
            }
            if (saturation) {
                float hsl[3];
                rgb2hsl(v, hsl, float(V));
                hsl[1] = std::min(1.0f, hsl[1] * (0.1f * p[13] + 1));
                hsl2rgb(hsl, v, float(V));
            }
            for (float c0 : v)
                out.push_back(int(std::clamp(double(c0), 0.0, V)));
        }
    return out;
}

} // namespace reference

TEST(TmSimple, MatchesAPlainReadingOfTheOperatorOverRandomImagesAndSettings)
{
    std::mt19937 rng(20240611);
    auto uniform = [&](double lo, double hi) {
        return std::uniform_real_distribution<double>(lo, hi)(rng);
    };
    for (int run = 0; run < 24; ++run) {
        const int w = 1 + int(rng() % 40), h = 1 + int(rng() % 30);
        std::vector<uint8_t> bytes(size_t(w) * size_t(h) * 4);
        for (size_t i = 0; i < bytes.size(); ++i) // a tenth of the exponents 0 (black)
            bytes[i] = (i / size_t(w)) % 4 == 3 ? (rng() % 10 ? uint8_t(118 + rng() % 36) : 0)
                                                : uint8_t(rng());
        const Hdr img(w, h, bytes);
        float ref[5], banded[kLumParamCount] = {};
        reference::stats(img, ref);
        // Bands of rows give one band's statistics to the bit (the sum is kept by rows).
        ASSERT_EQ(logMinMaxMoy(w, h, img.table, img.rgbe.data(), banded, 8), h);
        ASSERT_EQ(0, std::memcmp(banded, img.lum, sizeof banded)) << run;
        const float bin = (ref[1] - ref[0]) / 65536 * 1.01f; // float against double binning
        for (int i = 0; i < 5; ++i)
            ASSERT_NEAR(img.lum[i], ref[i], std::max(bin, 1e-5f * std::fabs(ref[i]))) << run;
        if (!(img.lum[0] < img.lum[1]))
            continue;
        // Settings across the ranges the driver accepts, fractions of the integer ones too.
        const Params p = params({{kRoBrightness, float(uniform(-10, 10))},
                                 {kRoCompression, float(uniform(-10, 10))},
                                 {kRoContrast, float(uniform(-10, 10))},
                                 {kRoWhiteClip, float(uniform(0, 10))},
                                 {kRoBlackClip, float(uniform(0, 10))},
                                 {kRoColorTemperature, float(run % 3 ? uniform(-10, 10) : 0.6)},
                                 {kRoSaturation, float(run % 4 ? uniform(-10, 10) : -0.9)}});
        for (int bits : {8, 16}) {
            const auto [rc, one] = map_image(img, p, bits, 1);
            ASSERT_EQ(rc, h);
            const std::vector<int> expected = reference::tm_simple(img, p, bits);
            size_t off = 0;
            for (size_t i = 0; i < expected.size(); ++i) {
                // The kernel rounds its per-pixel value to float before truncating, as the
                // reference does, but its intermediate steps may differ in the last bits: a
                // code either side of a truncation boundary.
                ASSERT_NEAR(one[i], expected[i], 1) << "run " << run << ", sample " << i;
                off += one[i] != expected[i];
            }
            EXPECT_LT(off, expected.size() / 50 + 2) << run;
            EXPECT_EQ(map_image(img, p, bits, 8).second, one) << "8 bands, run " << run;
        }
    }
}

// Whatever the constants: more Brightness is brighter everywhere, a red pixel stays red, and a
// pixel over the white point reaches full scale in every channel.
TEST(TmSimple, BrightnessRaisesEverySampleRedStaysRedAndOverWhiteIsFull)
{
    const Hdr img(96, 48);
    const testsupport::ScenePatch red = testsupport::scene_patches()[0];
    const size_t redPixel =
        (size_t((red.y0 + red.y1) / 2 * 48) * 96 + size_t((red.x0 + red.x1) / 2 * 96)) * 3;
    std::vector<int> previous;
    for (float b : {-10.0f, -6.0f, -3.0f, 0.0f, 3.0f, 10.0f}) {
        const std::vector<int> v = map_image(img, params({{kRoBrightness, b}}), 16).second;
        if (!previous.empty()) {
            double gained = 0;
            for (size_t i = 0; i < v.size(); ++i) {
                ASSERT_GE(v[i], previous[i]) << "brightness " << b << ", sample " << i;
                gained += v[i] - previous[i];
            }
            EXPECT_GT(gained / double(v.size()), 100.0) << b; // not just at the clips
        }
        previous = v;
    }
    for (const Params &p : {params(), params({{kRoContrast, 10}, {kRoCompression, 10}}),
                            params({{kRoColorTemperature, -10}}), params({{kRoSaturation, 10}}),
                            params({{kRoBrightness, 10}, {kRoContrast, -10}})}) {
        const std::vector<int> v = map_image(img, p, 16).second;
        EXPECT_TRUE(v[redPixel] > 1000 &&
                    v[redPixel] > 3 * std::max(v[redPixel + 1], v[redPixel + 2]))
            << v[redPixel] << " " << v[redPixel + 1] << " " << v[redPixel + 2];
    }
    // The sun, a neutral disc at the image's largest radiance, past a white clip of 1 %.
    const size_t sun = (size_t(0.3 * 48) * 96 + size_t(0.75 * 96)) * 3;
    for (int bits : {8, 16}) {
        const int top = bits == 16 ? 65535 : 255;
        const std::vector<int> v = map_image(img, params({{kRoWhiteClip, 1}}), bits).second;
        EXPECT_EQ(std::vector<int>(v.begin() + long(sun), v.begin() + long(sun) + 3),
                  std::vector<int>(3, top));
    }
}

TEST(TmSimple, AThreadThatCannotStartFailsTheRunButNotTheStatistics)
{
    // One band runs on the calling thread and needs none.
    Hdr img(16, 8);
    imagecore::set_thread_start_for_testing(
        [](pthread_t *, const pthread_attr_t *, void *(*)(void *), void *) { return EAGAIN; });
    const int rc4 = map_image(img, params(), 8, 4).first,
              rc1 = map_image(img, params(), 8, 1).first;
    // The statistics only read: their bands run on the calling thread instead.
    float lum[kLumParamCount] = {};
    const int stats = logMinMaxMoy(16, 8, img.table, img.rgbe.data(), lum, 4);
    imagecore::set_thread_start_for_testing(nullptr);
    EXPECT_EQ(rc4, -2);
    EXPECT_EQ(rc1, 8);
    EXPECT_EQ(stats, 8);
    EXPECT_EQ(0, std::memcmp(lum, img.lum, sizeof lum));
}

TEST(Kelvin2XYZ, DaylightWhiteAndNoTemperature)
{
    float xyz[3] = {}, d65[3] = {0.950456f, 1, 1.088754f};
    kelvin2XYZ(6500, xyz);
    // The reference values are given to five decimals.
    EXPECT_NEAR(xyz[0], 0.95017f, 1e-4f);
    EXPECT_EQ(xyz[1], 1.0f);
    EXPECT_NEAR(xyz[2], 1.08765f, 1e-4f);
    for (int k : {0, -1, std::numeric_limits<int>::min()})
        kelvin2XYZ(k, d65); // no temperature: nothing written
    EXPECT_EQ(std::vector<float>(d65, d65 + 3), (std::vector<float>{0.950456f, 1, 1.088754f}));
}

TEST(ToneMapEnhancer, RunsTheStagesInOrderForEachSourceKindUntilOneFails)
{
    const int w = 40, h = 30;
    std::vector<float> c16(65536), c8(256);
    camcurve(0, 65536, c16.data());
    camcurve(0, 256, c8.data());
    // Source size, curve and source row length (dim_param word 5) of each kind.
    for (const auto &[docType, bytes, curve, rowLength] :
         {std::tuple{0, size_t(w) * h * 4, std::vector<float>(), 0},
          {1, size_t(w) * h * 3 * 2, c16, w * 3},
          {2, size_t(w) * h * 3, c8, w * 3}}) {
        const std::vector<uint8_t> src(bytes, 9);
        // One byte short of the size the fields imply: nil before anything runs.
        FakeRun shortRun(w, h, 3, 16, docType);
        EXPECT_FALSE(shortRun.job.enhancerToneMap(1, Data::copy(src.data(), bytes - 1)));
        EXPECT_TRUE(shortRun.status.empty() && g_log.calls == 0);
        FakeRun run(w, h, 3, 16, docType);
        const DataPtr result = run.job.enhancerToneMap(1, Data::copy(src.data(), src.size()));
        ASSERT_TRUE(result && result->length() == size_t(w) * h * 3 * 2) << docType;
        EXPECT_EQ(result->bytes()[result->length() - 1], 3); // stage 3's output
        EXPECT_EQ(run.status, (std::vector<double>{5, 45, 78}));
        EXPECT_EQ(run.text, std::vector<std::string>(kPart, kPart + 3));
        EXPECT_EQ(g_log.curve, curve);
        EXPECT_EQ(g_log.rowLength, rowLength);
        // Stage 3 gets stage 1's statistics, the slots it left unwritten 0.
        EXPECT_EQ(g_log.lum, (std::vector<float>{1, 1, 1, 1, 0, 0, 0}));
    }
    // A failing stage ends the run after its step; its -4 is told as memory running short.
    for (int rc : {-4, -1}) {
        FakeRun failing(w, h, 3, 16);
        g_log.rc[1] = rc;
        EXPECT_FALSE(failing.job.enhancerToneMap(1, Hdr(w, h).data()));
        EXPECT_EQ(failing.status, (std::vector<double>{5, 45}));
        EXPECT_EQ(failing.job.outOfMemory(), rc == -4);
    }
}

TEST(ToneMap, FieldsThatDescribeNoImageGiveNil)
{
    const DataPtr source = Hdr(20, 20).data();
    const int bad[][4] = {{0, 20, 3, 8}, {20, -1, 3, 8}, {20, 20, 0, 8}, {20, 20, 3, 12}};
    for (const auto &c : bad) {
        FakeRun run(c[0], c[1], c[2], c[3]);
        EXPECT_FALSE(run.job.enhancerToneMap(1, source)) << c[0] << c[1] << c[2] << c[3];
        EXPECT_FALSE(run.job.compressorToneMap(0, source));
        EXPECT_TRUE(g_log.calls == 0 && run.status.empty());
    }
    FakeRun run(20, 20, 3, 8);
    EXPECT_FALSE(run.job.compressorToneMap(0, Data::copy(source->bytes(), 20 * 20 * 4 - 1)));
    const int32_t sides[2] = {20, 20}; // no samples-per-pixel slot
    run.job.setImageDimsFrom(Data::copy(sides, sizeof sides));
    EXPECT_FALSE(run.job.compressorToneMap(0, source));
    // A side of 9 is too small for the enhancer's pyramids only.
    FakeRun narrow(9, 100, 3, 8);
    EXPECT_FALSE(narrow.job.enhancerToneMap(1, Hdr(9, 100).data()));
    const DataPtr result = narrow.job.compressorToneMap(0, Hdr(9, 100).data());
    EXPECT_TRUE(result && result->length() == size_t(9) * 100 * 3);
}

TEST(ToneMap, RecordsThatAreNotEightyBytesReadAsZeros)
{
    std::vector<float> junk(21);
    std::iota(junk.begin(), junk.end(), 99.0f);
    for (size_t len : {size_t(0), size_t(79), size_t(84), size_t(kTmParamBytes)}) {
        FakeRun run(20, 20, 3, 8);
        run.job.setTMParam1(len ? Data::copy(junk.data(), len) : nullptr);
        ASSERT_TRUE(run.job.enhancerToneMap(0, Hdr(20, 20).data())) << len;
        EXPECT_TRUE(run.status.empty()); // no progress asked
        EXPECT_EQ(g_log.param, len == kTmParamBytes
                                   ? std::vector<float>(junk.begin(), junk.end() - 1)
                                   : std::vector<float>(kTmParamCount, 0.0f));
    }
}

TEST(ToneMapCompressor, GivesTheOperatorsImageAtEveryLayout)
{
    const Hdr img(33, 21);
    const Params p = params({{kRoBrightness, 1}, {kRoContrast, 3}, {kRoSaturation, 2}});
    for (int spp : {3, 4})
        for (int bits : {8, 16}) {
            ToneMap job; // in 8 bands
            job.setTMParam2(Data::copy(p.data(), kTmParamBytes));
            job.setImageDimsFrom(image_dims(33, 21, spp, bits));
            job.setNbProc(8);
            const DataPtr out = job.compressorToneMap(0, img.data());
            ASSERT_TRUE(out && out->length() == 33 * 21 * size_t(spp * bits / 8)) << spp << bits;
            const std::vector<int> expected = reference::tm_simple(img, p, bits);
            for (size_t i = 0; i < 33 * 21 * size_t(spp); ++i) {
                const int v = bits == 16 ? reinterpret_cast<const uint16_t *>(out->bytes())[i]
                                         : out->bytes()[i];
                // Red, green and blue at 0, (spp - 1) / 2 and spp - 1; a sample between stays
                // as allocated. A code either side of a truncation boundary, as in the
                // kernel's own comparison.
                const size_t k = i % size_t(spp), c = k == 0 ? 0 : k == size_t(spp - 1) ? 2 : 1;
                if (spp == 4 && k == 2)
                    ASSERT_EQ(v, 0) << i;
                else
                    ASSERT_NEAR(v, expected[i / size_t(spp) * 3 + c], 1) << i;
            }
        }
}

// Every allocation of a run fails in turn (the sanitizer build's leak check sees what is lost),
// and the job tells it from a failure of another kind.
TEST(ToneMap, AllocationFailuresGiveNilWithoutLeaks)
{
    const Hdr img(24, 20);
    const DataPtr source = img.data();
    for (bool enhancer : {true, false}) {
        long total = 0;
        for (long n = 0; n == 0 || n <= total; ++n) {
            FakeRun run(24, 20, 3, 16);
            tmtest::fail_allocation_at(n);
            const DataPtr r = enhancer ? run.job.enhancerToneMap(1, source)
                                       : run.job.compressorToneMap(0, source);
            const long seen = tmtest::allocations_seen();
            tmtest::fail_allocation_at(0);
            total = n == 0 ? seen : total;
            EXPECT_EQ(bool(r), n == 0 || n > seen) << enhancer << ", allocation " << n;
            EXPECT_EQ(run.job.outOfMemory(), !r) << enhancer << ", allocation " << n;
        }
        EXPECT_GT(total, 2);
    }
    for (long n : {1, 2}) { // the statistics' sample buffer, then the histogram
        float lum[kLumParamCount] = {9, 9, 9, 9, 9, 9, 9};
        tmtest::fail_allocation_at(n);
        const int rc = logMinMaxMoy(24, 20, img.table, img.rgbe.data(), lum);
        tmtest::fail_allocation_at(0);
        EXPECT_EQ(rc, -4) << n;
        EXPECT_EQ(std::vector<float>(lum, lum + 7), std::vector<float>(7, 9.0f));
    }
}
