// Tone mapping: tables, pyramid sizes, colour conversions, the global operator, and the job (its
// stages and progress through fake stages, refused fields and records, failures without leaks).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <numeric>
#include <string>
#include <tuple>
#include <vector>

#include "imagecore/banded.h"
#include "platform/bundle.h"
#include "platform/notification_center.h"
#include "tests/support/allocation_probe.h"
#include "tests/tonemap/tm_test_util.h"
#include "tonemap/rodo.h"
#include "tonemap/tm_color.h"
#include "tonemap/tone_map.h"

using platform::Data;
namespace alloc = testsupport::alloc;
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
             const float *curve, dim_param, void *, optim_param_struct, void *source, float *work)
{
    ++g_log.calls;
    g_log.param.assign(tmParam, tmParam + kTmParamCount);
    g_log.curve.assign(curve, curve + (docType == 1 ? 65536 : docType == 2 ? 256 : 0));
    // All the scratch a real stage may use (the sanitizer build catches a short buffer).
    const size_t total = size_t(std::max(dims->v[kTdTotalA], dims->v[kTdTotalB]));
    std::memset(source, 0xEE, total * 4);
    std::memset(work, 0, total * 4);
    std::fill_n(lumParam, 4, 1.0f);
    return g_log.rc[0];
}

int fake_tm2(int, int, int64_t, int, const float *, float *, dim_param, optim_param_struct)
{
    return g_log.rc[1];
}

int fake_tm3(int, const float *, const float *lumParam, const float *, const float *, void *,
             dim_param dim, optim_param_struct, const float *, void *out)
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

TEST(TmDim, AbsurdLevelsFromAStoredRecordStayBounded)
{
    float p[kTmParamCount];
    tmparam_default(kMethodDeredid, 0, p);
    p[kDeSmoothingMode] = 0; // light mode reads the level slot
    tm_dims d{};
    for (float light : {-1e30f, 1e30f, NAN}) {
        p[kDeLightSmoothing] = light;
        const int levels = tm_dim(600, 400, p, &d);
        EXPECT_TRUE(levels >= 1 && levels < 2000) << light << ": " << levels;
    }
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

TEST(TmSimple, SettingsAndTheirTruncation)
{
    Hdr img(32, 8);
    auto with = [&](int slot, float v) { return map_image(img, params({{slot, v}}), 8).second; };
    const std::vector<int> plain = map_image(img, params(), 8).second;
    // Temperature and saturation are integers: fractions truncate to off.
    EXPECT_EQ(with(kRoColorTemperature, 0.5f), plain);
    EXPECT_EQ(with(kRoSaturation, -0.9f), plain);
    EXPECT_NE(with(kRoColorTemperature, 1.0f), plain);
    EXPECT_NE(with(kRoSaturation, -1.0f), plain);
    // A temperature out of range (K <= 0) leaves the gains at 1: the D65 white's, within a code.
    const std::vector<int> noTemperature = with(kRoColorTemperature, 1e6f);
    for (size_t i = 0; i < plain.size(); ++i)
        ASSERT_NEAR(noTemperature[i], plain[i], 1) << i;
    // Clip settings that bring the tone curve's denominator to 0 or below: the stores saturate
    // and the run still succeeds.
    for (float clip : {100.0f / 3.0f, 40.0f, 1e30f}) {
        const Params p = params({{kRoWhiteClip, clip}, {kRoBlackClip, 50 - clip}});
        EXPECT_EQ(map_image(img, p, 8).first, 8) << clip;
        EXPECT_EQ(map_image(img, p, 16).first, 8) << clip;
    }
}

TEST(TmSimple, BandsEqualOneThreadBitForBit)
{
    const Params p = params({{kRoBrightness, 1.5f}, {kRoColorTemperature, -4}, {kRoSaturation, 3}});
    for (auto [w, h] : {std::pair{37, 29}, std::pair{5, 1}}) // fewer rows than threads too
        for (int bits : {8, 16}) {
            Hdr img(w, h);
            const auto [rc, one] = map_image(img, p, bits, 1);
            ASSERT_EQ(rc, h);
            for (int n : {2, 3, 8})
                EXPECT_EQ(map_image(img, p, bits, n).second, one) << w << "x" << h << ", " << n;
        }
    // A thread that cannot start fails the run; one band runs on the calling thread.
    Hdr img(16, 8);
    imagecore::set_thread_start_for_testing(
        [](pthread_t *, const pthread_attr_t *, void *(*)(void *), void *) { return EAGAIN; });
    const int rc4 = map_image(img, params(), 8, 4).first,
              rc1 = map_image(img, params(), 8, 1).first;
    imagecore::set_thread_start_for_testing(nullptr);
    EXPECT_EQ(rc4, -2);
    EXPECT_EQ(rc1, 8);
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
    FakeRun failing(w, h, 3, 16); // a failing stage ends the run after its step
    g_log.rc[1] = -4;
    EXPECT_FALSE(failing.job.enhancerToneMap(1, Hdr(w, h).data()));
    EXPECT_EQ(failing.status, (std::vector<double>{5, 45}));
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

TEST(ToneMapCompressor, InBandsSameAsTheKernelsForEveryLayout)
{
    const Hdr img(33, 21);
    const Params p = params({{kRoBrightness, 1}, {kRoContrast, 3}, {kRoSaturation, 2}});
    for (int spp : {3, 4})
        for (int bits : {8, 16}) {
            std::vector<uint8_t> expected(33 * 21 * size_t(spp) * size_t(bits / 8));
            ASSERT_EQ(tm_simple(p.data(), img.lum, img.table, img.rgbe.data(), expected.data(),
                                dim_param{{33, 21, spp, 8, bits, 0, 33 * spp, 0}},
                                optim_param_struct{1, 0, {}}),
                      21);
            ToneMap job; // in 8 bands
            job.setTMParam2(Data::copy(p.data(), kTmParamBytes));
            job.setImageDimsFrom(image_dims(33, 21, spp, bits));
            job.setNbProc(8);
            const DataPtr out = job.compressorToneMap(0, img.data());
            ASSERT_TRUE(out) << spp << " samples, " << bits << " bits";
            EXPECT_EQ(std::vector<uint8_t>(out->bytes(), out->bytes() + out->length()), expected);
        }
}

// Every allocation of a run fails in turn (the sanitizer build's leak check sees what is lost).
TEST(ToneMap, AllocationFailuresGiveNilWithoutLeaks)
{
    const Hdr img(24, 20);
    const DataPtr source = img.data();
    for (bool enhancer : {true, false}) {
        long total = 0;
        for (long n = 0; n == 0 || n <= total; ++n) {
            FakeRun run(24, 20, 3, 16);
            alloc::failAt = n, alloc::seen = 0;
            const DataPtr r = enhancer ? run.job.enhancerToneMap(1, source)
                                       : run.job.compressorToneMap(0, source);
            const long seen = alloc::seen;
            alloc::failAt = 0;
            total = n == 0 ? seen : total;
            EXPECT_EQ(bool(r), n == 0 || n > seen) << enhancer << ", allocation " << n;
        }
        EXPECT_GT(total, 2);
    }
    for (long n : {1, 2}) { // the statistics' sample buffer, then the histogram
        float lum[kLumParamCount] = {9, 9, 9, 9, 9, 9, 9};
        alloc::failAt = n, alloc::seen = 0;
        const int rc = logMinMaxMoy(24, 20, img.table, img.rgbe.data(), lum);
        alloc::failAt = 0;
        EXPECT_EQ(rc, -4) << n;
        EXPECT_EQ(std::vector<float>(lum, lum + 7), std::vector<float>(7, 9.0f));
    }
}
