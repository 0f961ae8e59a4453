// The merge: brightness keys and exposure estimate, the kernel (encoding, markers and clean-up,
// saturation levels, radiance recovered from rendered brackets, refused arguments) and the job.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <numeric>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "imagecore/banded.h"
#include "merge/ev_estimate.h"
#include "merge/hdr_merge.h"
#include "merge/merge_to_hdr.h"
#include "metadata/metadata_class.h"
#include "platform/bitmap.h"
#include "platform/bundle.h"
#include "platform/notification_center.h"
#include "tests/support/bracket_generator.h"
#include "tonemap/tm_params.h"

using platform::Data;
using platform::DataPtr;

namespace {

using Quad = std::array<uint8_t, 4>;
const float kNaN = std::numeric_limits<float>::quiet_NaN();

struct Merged {
    int result = 0;
    std::vector<uint8_t> rgbe;
    std::array<float, 3> stats{};
    std::vector<float> exposures;
    Quad at(int w, int x, int y) const
    {
        const size_t i = size_t(4) * size_t(w) * size_t(y) + size_t(x), s = size_t(w);
        return {rgbe[i], rgbe[i + s], rgbe[i + 2 * s], rgbe[i + 3 * s]};
    }
    std::array<float, 3> decode(int w, int x, int y) const
    {
        float table[256];
        exp_lut(table, -8);
        std::array<float, 3> rgb{};
        rgbe2float(rgbe.data(), table, w, 2 * w, 3 * w, 4 * w * y + x, rgb.data());
        return rgb;
    }
};

// The kernel with its own gamma 2.2, into an output preset to 0xAB (16 bytes for absurd sizes),
// in nbProc bands.
Merged run_merge(const std::vector<uint8_t> &stack, int n, int w, int h, int spp, int bps,
                 std::vector<float> exposures, float evSpacing = -1.0f, int cleanup = 0,
                 int nbProc = 1)
{
    Merged m{0, {}, {}, std::move(exposures)};
    const size_t pixels = size_t(std::max(w, 1)) * size_t(std::max(h, 1));
    m.rgbe.assign(pixels < 4096 * 4096 ? pixels * 4 : 16, 0xAB);
    std::vector<float> lut(size_t(1) << (bps == 16 ? 16 : 8));
    m.exposures.resize(size_t(std::max(n, 0)), 1.0f);
    m.result = kv_hdr_merge(nullptr, cleanup, n, w, h, spp, bps, 0, lut.data(), m.exposures.data(),
                            stack.data(), m.stats.data(), m.rgbe.data(), evSpacing, nbProc);
    return m;
}

// The merge read plainly from its definition, on the exposures t: one pixel after another, the
// weights computed where they are needed, one running sum for the mean.
template <class T>
Merged reference_merge(const std::vector<uint8_t> &bytes, int n, int w, int h, int spp,
                       std::vector<float> t, bool cleanup)
{
    const T *stack = reinterpret_cast<const T *>(bytes.data());
    const int codes = sizeof(T) == 2 ? 65536 : 256, shift = sizeof(T) == 2 ? 8 : 0;
    std::vector<float> lut(static_cast<size_t>(codes));
    for (int i = 1; i < codes; ++i)
        lut[size_t(i)] = float(std::pow(double(i) / codes, double(2.2f)));
    lut[0] = lut[1];
    std::vector<int> order(static_cast<size_t>(n)), level(static_cast<size_t>(n), 64000);
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(),
              [&](int a, int b) { return t[size_t(a)] < t[size_t(b)]; });
    auto log2_of = [](float v) { return std::log(double(v)) / std::log(2.0); };
    const float lmin = float(log2_of(t[size_t(order[0])])),
                lmax = float(log2_of(t[size_t(order[size_t(n - 1)])]));
    for (int k = 0; k < n && lmax > lmin; ++k)
        level[size_t(k)] =
            int(64000 - 3840 * ((log2_of(t[size_t(k)]) - lmin) / double(lmax - lmin)));
    auto weight = [&](int v, int s) {
        const float x = float(v) * (1.0f / 65536.0f) - 0.5f, d = 0.5f - float(s) / 65535.0f;
        const float a = v <= 32768 ? 4.0f : 1.0f / (d * d), hat = 1.0f - a * x * x;
        return v > s ? 0.0f : hat * hat;
    };
    auto encode = [](float r, float g, float b) {
        const float m = std::max({r, g, b});
        if (!(m > 1e-32f))
            return Quad{0, 0, 0, 0};
        if (m >= 999999999.0f)
            return Quad{255, 255, 255, 255};
        int e = 0;
        const float f = float(std::frexp(double(m), &e) * 256.0 / double(m));
        auto byte = [](float v) { return uint8_t(std::clamp(v, 0.0f, 255.0f)); };
        return Quad{byte(r * f), byte(g * f), byte(b * f), uint8_t(std::clamp(e + 128, 0, 255))};
    };
    Merged m{h, std::vector<uint8_t>(size_t(w) * size_t(h) * 4), {}, t};
    float mn = 1e9f, mx = 0;
    double sum = 0;
    int64_t count = 0;
    const size_t photo = size_t(w) * size_t(h) * size_t(spp);
    for (size_t i = 0; i < size_t(w) * size_t(h); ++i) {
        float sw = 0, sr = 0, sg = 0, sb = 0;
        int clipped = 0;
        for (int k : order) {
            const T *px = stack + size_t(k) * photo + i * size_t(spp);
            const unsigned r = px[0], g = px[(spp - 1) / 2], b = px[spp - 1];
            const int v = int(54 * (r >> shift) + 183 * (g >> shift) + 19 * (b >> shift));
            clipped += v > level[size_t(k)];
            const float wt = weight(v, level[size_t(k)]), q = wt * (1.0f / t[size_t(k)]);
            sw += wt, sr += q * lut[r], sg += q * lut[g], sb += q * lut[b];
        }
        float rgb[3] = {0, 0, 0};
        for (int c = 0; c < 3; ++c)
            rgb[c] = clipped == n ? 1e9f : sw > 0 ? std::array{sr, sg, sb}[size_t(c)] / sw : 0.0f;
        const float y = float(0.2 * rgb[0] + 0.7 * rgb[1] + 0.1 * rgb[2]);
        if (double(y) < 999999999.0)
            ++count, mx = std::max(mx, y), sum += y;
        if (y > 0)
            mn = std::min(mn, y);
        const Quad q = encode(rgb[0], rgb[1], rgb[2]);
        for (size_t c = 0; c < 4; ++c)
            m.rgbe[i / size_t(w) * 4 * size_t(w) + c * size_t(w) + i % size_t(w)] = q[c];
    }
    m.stats = {mn * 256.0f, mx * 256.0f, (count ? float(sum / double(count)) : 0.0f) * 256.0f};
    for (size_t i = 0; cleanup && i < size_t(w) * size_t(h); ++i) {
        uint8_t *px = &m.rgbe[i / size_t(w) * 4 * size_t(w) + i % size_t(w)];
        const uint8_t e = px[3 * size_t(w)];
        const float y = e == 255 ? mx : mn;
        const Quad grey = y == 0 ? Quad{0, 0, 0, 128} : encode(y, y, y);
        for (size_t c = 0; (e == 0 || e == 255) && c < 4; ++c)
            px[c * size_t(w)] = grey[c];
    }
    return m;
}

// photos[k] holds one grey code a pixel, expanded to RGB.
std::vector<uint8_t> grey_photos(const std::vector<std::vector<uint8_t>> &photos)
{
    std::vector<uint8_t> s;
    for (const auto &p : photos)
        for (uint8_t v : p)
            s.insert(s.end(), {v, v, v});
    return s;
}

template <class T> DataPtr data_of(const std::vector<T> &v)
{
    return Data::copy(v.data(), v.size() * sizeof(T));
}

// A merge job for count photos of w x h x spp samples of bps bits.
struct Job : MergeToHDR {
    Job(int w, int h, int spp, int bps, int count, DataPtr deltaT = nullptr)
    {
        const int32_t d[4] = {w, h, spp, bps}; // the slots the job reads
        setImageDimsFrom(Data::copy(d, sizeof d));
        setImageCount(count);
        setDeltaT(std::move(deltaT));
    }
};

} // namespace

TEST(MedianeImages, KeysOfDarkOrdinaryAndBrightPhotos)
{
    // 100 grey pixels, n at code a and the rest at b: a median bin <= 4 gives the 95th-percentile
    // bin, >= 253 the 17th-percentile bin x 65536, else the median bin x 256.
    for (auto [n, a, b, key] : {std::array{100, 128, 0, 128 * 256},
                                {96, 2, 200, 2},
                                {18, 10, 255, 10 * 65536},
                                // The switches at their edges: a median bin of 4 is dark, 5
                                // ordinary; 252 gives the key 64512, still ordinary, 253 is bright.
                                {100, 4, 0, 4},
                                {100, 5, 0, 5 * 256},
                                {100, 252, 0, 64512},
                                {18, 10, 252, 64512},
                                {18, 10, 253, 10 * 65536},
                                {100, 253, 0, 253 * 65536}}) {
        std::vector<uint8_t> s(300, uint8_t(b));
        std::fill_n(s.begin(), n * 3, uint8_t(a));
        int k = -1;
        EXPECT_EQ(mediane_images(1, 100, 1, 300, 3, 8, s.data(), &k), 50);
        EXPECT_EQ(k, key) << a;
    }
}

TEST(GuessEv, ExposuresFromKeyRatios)
{
    auto exposures = [](int k0, int k1) {
        int keys[2] = {k0, k1};
        std::vector<float> t(2);
        EXPECT_EQ(guess_ev(0, 2, keys, t.data(), 0.0f), 2);
        return t;
    };
    EXPECT_EQ(exposures(32768, 16384)[1], 1.0f);
    EXPECT_NEAR(exposures(32768, 16384)[0], 3.69536f, 1e-5); // the value's printed digits
    // Midpoint past the table: its top factor, 6 EV a doubling (1 / ln 2 in float: ~1e-7).
    EXPECT_NEAR(exposures(200 * 65536, 100 * 65536)[0], 64.0f, 64e-6);
    const std::vector<float> t = exposures(0, 100 * 256); // a key of 0 counts as 1 in the ratio
    EXPECT_TRUE(t[0] == 1.0f && std::isfinite(t[1]) && t[1] > 1.0f);
}

TEST(EncodeRgbe, KnownPixelsMarkerAndDecoding)
{
    auto quad = [](float r, float g, float b) {
        const merge::Rgbe c = merge::encode_rgbe(r, g, b);
        return Quad({c.r, c.g, c.b, c.e});
    };
    const Merged one{0, {128, 64, 32, 129}, {}, {}};
    EXPECT_EQ(quad(1.0f, 0.5f, 0.25f), Quad({128, 64, 32, 129}));
    EXPECT_EQ(one.decode(1, 0, 0), (std::array<float, 3>{1.0f, 0.5f, 0.25f}));
    EXPECT_EQ(quad(1e9f, 1, 1), Quad({255, 255, 255, 255}));
}

TEST(KvHdrMerge, MarkersSaturationLevelsAndCleanUp)
{
    // Clipped everywhere: markers, and no luminance to scale the grey by.
    const std::vector<uint8_t> white(2 * 2 * 3, 255);
    EXPECT_EQ(run_merge(white, 1, 2, 2, 3, 8, {1}, -1, 2).rgbe, std::vector<uint8_t>(16, 255));
    EXPECT_EQ(run_merge(white, 1, 2, 2, 3, 8, {1}).at(2, 1, 1), Quad({0, 0, 0, 128}));
    // Black everywhere: the smallest positive luminance keeps its start value 1e9.
    const std::vector<uint8_t> black(3 * 3 * 2, 0);
    EXPECT_EQ(run_merge(black, 2, 3, 1, 3, 8, {1, 2}, -1, 2).rgbe, std::vector<uint8_t>(12, 0));
    EXPECT_EQ(run_merge(black, 2, 3, 1, 3, 8, {1, 2}).at(3, 2, 0), Quad({238, 238, 238, 158}));
    // Black, dark, bright and clipped pixels: the markers take the grey of their neighbours.
    const std::vector<uint8_t> mixed = grey_photos({{0, 60, 200, 255}});
    const Merged raw = run_merge(mixed, 1, 4, 1, 3, 8, {1}, -1, 2);
    const Merged cleaned = run_merge(mixed, 1, 4, 1, 3, 8, {1});
    for (auto [x, from] : {std::pair{0, 1}, {1, 1}, {2, 2}, {3, 2}})
        EXPECT_EQ(cleaned.at(4, x, 0), raw.at(4, from, 0)) << x;
    // Grey code c is luma 256 c. Levels 64000 (t = 1), 62080 (t = 4), 60160 (t = 16): pixel 0 is
    // above all three, every other pixel at or under one of them. Photo order: 4, 16, 1.
    const Merged m =
        run_merge(grey_photos({{243, 243, 242, 243}, {236, 236, 236, 235}, {251, 250, 251, 251}}),
                  3, 4, 1, 3, 8, {4, 16, 1}, -1, 2);
    ASSERT_EQ(m.result, 1);
    EXPECT_EQ(m.at(4, 0, 0), Quad({255, 255, 255, 255}));
    for (int x = 1; x < 4; ++x)
        EXPECT_NE(m.at(4, x, 0)[3], 255) << x;
}

TEST(KvHdrMerge, SamplesExactlyAtTheClippingLevelAreWeightedNotClipped)
{
    // Grey code c has luma 256 c: 250 lies exactly on the level 64000 of the shortest exposure,
    // 235 on the level 60160 of the longest; a code more is above them. Without the clean-up.
    // One photo: at its level a pixel is its own linear value, one code above it the marker.
    const Merged one = run_merge(grey_photos({{250, 251}}), 1, 2, 1, 3, 8, {1}, -1, 2);
    ASSERT_EQ(one.result, 1);
    const float lin = std::pow(250 / 256.0f, 2.2f);
    for (float c : one.decode(2, 0, 0)) // RGBE keeps 8 significant bits
        EXPECT_NEAR(c, lin, lin / 128);
    EXPECT_EQ(one.at(2, 1, 0), Quad({255, 255, 255, 255}));
    // Exposures 1 and 16, each photo at or a code above its level: only a pixel above both
    // levels is the marker; the others are weighted as the plain reading says.
    const std::vector<uint8_t> stack = grey_photos({{250, 250, 251, 251}, {235, 236, 235, 236}});
    const Merged two = run_merge(stack, 2, 4, 1, 3, 8, {1, 16}, -1, 2);
    ASSERT_EQ(two.result, 1);
    EXPECT_EQ(two.rgbe, reference_merge<uint8_t>(stack, 2, 4, 1, 3, {1, 16}, false).rgbe);
    for (int x = 0; x < 3; ++x)
        EXPECT_TRUE(two.at(4, x, 0)[3] != 0 && two.at(4, x, 0)[3] != 255) << x;
    EXPECT_EQ(two.at(4, 3, 0), Quad({255, 255, 255, 255}));
}

TEST(KvHdrMerge, RecoversKnownRadianceAtBothDepthsAndLayouts)
{
    // A tinted log ramp, every pixel well exposed in some photo, red clipping only past every
    // saturation level; an odd width ends the rows in the scalar tail after groups of four.
    const int w = 157, h = 3;
    testsupport::RadianceMap map{w, h, {}};
    for (int i = 0; i < w * h; ++i) {
        const float v = 0.04f * std::pow(75.0f, float(i % w) / float(w - 1));
        map.rgb.insert(map.rgb.end(), {v, 0.95f * v, 0.9f * v});
    }
    const std::vector<float> t = {1.0f, 0.25f, 4.0f};
    for (int bits : {8, 16})
        for (int spp : {1, 3}) {
            const Merged m =
                run_merge(testsupport::render_bracket(map, t, bits, spp), 3, w, h, spp, bits, t);
            ASSERT_EQ(m.result, h);
            double worst = 0;
            for (size_t i = 0; i < size_t(w * h); ++i) {
                const auto rgb = m.decode(w, int(i) % w, int(i) / w);
                const float *truth = &map.rgb[i * 3];
                const double y = 0.2126 * truth[0] + 0.7152 * truth[1] + 0.0722 * truth[2];
                for (size_t c = 0; c < 3; ++c) // one shared exponent: relative to the largest
                    worst = std::max(worst, std::fabs(rgb[c] - (spp == 3 ? truth[c] : y)) /
                                                (spp == 3 ? truth[0] : y));
            }
            // 8 bits: the curve's 256 against the photos' 255 (0.86 %), half a code at code 96
            // (1.7 %), mantissa truncation (< 0.8 %); 16 bits: only the truncation.
            EXPECT_LT(worst, bits == 8 ? 0.04 : 0.01) << bits << " bits, " << spp << " samples";
        }
}

// Bands of rows at any count, and bands whose threads cannot start, give the bytes of the plain
// reading and the statistics of one band exactly; against the plain reading's single running
// sum the mean may differ in its last bit (the kernel adds one sum a row, in row order).
TEST(KvHdrMerge, BandsGiveThePlainReadingsBytesAndOneBandsStatistics)
{
    const int w = 67, h = 41; // uneven bands, rows ending in the scalar tail
    const auto map = testsupport::make_radiance_map(w, h);
    struct Case {
        int bits, spp;
        std::vector<float> t;
        float spacing; // 0: the exposures estimated from the photos
        int cleanup;
    } cases[] = {{8, 3, {0.0625f, 4.0f, 0.25f, 1.0f, 0.015625f}, 0.0f, 0},
                 {8, 3, {1.0f, 0.25f, 4.0f}, -1.0f, 2},
                 {16, 1, {0.5f, 0.03125f}, -1.0f, 0},
                 // More photos than a band keeps its row pointers for on its stack.
                 {8, 3, {1, 0.5f, 2, 0.25f, 4, 0.125f, 8, 0.0625f, 16}, -1.0f, 0}};
    for (const Case &c : cases) {
        const int n = int(c.t.size());
        std::vector<uint8_t> stack = testsupport::render_bracket(map, c.t, c.bits, c.spp);
        // Pixels 0 to 4 black in every photo (no weight), besides the sun clipped in all.
        const size_t photo = stack.size() / size_t(n);
        for (int k = 0; k < n; ++k)
            std::fill_n(stack.begin() + long(size_t(k) * photo), 5 * c.spp * c.bits / 8, 0);
        const Merged one = run_merge(stack, n, w, h, c.spp, c.bits, c.t, c.spacing, c.cleanup);
        ASSERT_EQ(one.result, h);
        const Merged plain =
            c.bits == 8
                ? reference_merge<uint8_t>(stack, n, w, h, c.spp, one.exposures, c.cleanup != 2)
                : reference_merge<uint16_t>(stack, n, w, h, c.spp, one.exposures, c.cleanup != 2);
        const std::string label = std::to_string(c.bits) + " bits, " + std::to_string(n);
        EXPECT_EQ(one.rgbe, plain.rgbe) << label;
        EXPECT_EQ(one.stats[0], plain.stats[0]) << label;
        EXPECT_EQ(one.stats[1], plain.stats[1]) << label;
        EXPECT_NEAR(one.stats[2], plain.stats[2], 1e-6 * plain.stats[2]) << label;
        for (int nbProc : {2, 3, 8, 32}) {
            const Merged banded =
                run_merge(stack, n, w, h, c.spp, c.bits, c.t, c.spacing, c.cleanup, nbProc);
            EXPECT_EQ(banded.rgbe, one.rgbe) << label << ", " << nbProc << " bands";
            EXPECT_EQ(banded.stats, one.stats) << label << ", " << nbProc << " bands";
            EXPECT_EQ(banded.exposures, one.exposures) << label << ", " << nbProc << " bands";
        }
        imagecore::set_thread_start_for_testing(
            [](pthread_t *, const pthread_attr_t *, void *(*)(void *), void *) { return EAGAIN; });
        const Merged inline8 =
            run_merge(stack, n, w, h, c.spp, c.bits, c.t, c.spacing, c.cleanup, 8);
        imagecore::set_thread_start_for_testing(nullptr);
        EXPECT_EQ(inline8.rgbe, one.rgbe) << label << ", no thread started";
        EXPECT_EQ(inline8.stats, one.stats) << label << ", no thread started";
    }
}

TEST(KvHdrMerge, BadArgumentsAreRefusedBeforeWriting)
{
    const std::vector<uint8_t> grey(2 * 2 * 3 * 2, 100), untouched(16, 0xAB);
    // Exposures that make NaN saturation levels; a black photo (key 0, counted as 1) beside a
    // white one estimated 6 EV for each of 24 doublings of the key, 2^144, past the float range.
    const Merged refused[] = {
        run_merge(grey, 0, 2, 2, 3, 8, {1}),
        run_merge(grey, 1, 2, 2, 3, 12, {1}),
        run_merge(grey, 1, 1 << 30, 1 << 30, 16, 8, {1}), // 2^64 bytes
        run_merge(grey, 2, 2, 2, 3, 8, {1, 0}),
        run_merge(grey, 2, 2, 2, 3, 8, {1, kNaN}),
        run_merge(grey, 2, 2, 2, 3, 8, {1, std::numeric_limits<float>::infinity()}),
        run_merge(grey, 2, 2, 2, 3, 8, {1, 1e-45f}),
        run_merge(grey_photos({{0, 0, 0, 0}, {255, 255, 255, 255}}), 2, 2, 2, 3, 8, {}, 0.0f)};
    for (const Merged &m : refused) {
        EXPECT_EQ(m.result, -3) << &m - refused;
        EXPECT_EQ(m.rgbe, untouched) << &m - refused;
    }
}

TEST(MergeToHDR, MakeCurveEntries)
{
    const DataPtr c8 = Job(4, 4, 3, 8, 1).makeCurve(2.2f, 1);
    ASSERT_TRUE(c8 && c8->length() == 256 * sizeof(float));
    const float *c = reinterpret_cast<const float *>(c8->bytes());
    // The power is taken with the float gamma 2.2f.
    EXPECT_EQ(c[255], float(std::pow(255.0 / 256.0, double(2.2f))));
    EXPECT_EQ(c[0], float(std::pow(1.0 / 256.0, double(2.2f)))); // entry 0 = entry 1
}

TEST(MergeToHDR, EqualsADirectKernelCall)
{
    // exif > 0: the metadata exposures as they are (spacing -1); exif 0: the estimate at spacing
    // ev, whatever deltaT holds, which finds the shuffled exposures 2 EV apart in photo order.
    const int w = 96, h = 40;
    const std::vector<float> t = {0.25f, 16.0f, 0.0625f, 4.0f, 1.0f};
    for (int bps : {8, 16})
        for (int exif : {1, 0}) {
            const auto stack =
                testsupport::render_bracket(testsupport::make_radiance_map(w, h), t, bps, 3);
            Job job(w, h, 3, bps, 5, data_of(exif ? t : std::vector<float>{9, 5, 0, 1, 1}));
            const DataPtr hdr = job.mergeImagesToHDR(1, data_of(stack), exif, 2.0f, nullptr);
            const Merged direct =
                run_merge(stack, 5, w, h, 3, bps, exif ? t : std::vector<float>{}, exif ? -1 : 2);
            ASSERT_TRUE(hdr && direct.result == h) << bps << " bits, exif " << exif;
            EXPECT_EQ(direct.exposures, t);
            EXPECT_EQ(std::vector<uint8_t>(hdr->bytes(), hdr->bytes() + hdr->length()),
                      direct.rgbe);
            EXPECT_EQ((std::array<float, 3>{job.imMin(), job.imMax(), job.imMoy()}), direct.stats);
        }
}

// The job keeps the camera curve and the profile it is given (one reference each, given up when
// replaced, cleared or destroyed) and hands the curve back; neither they nor the gamma change
// the merge, which always linearises with gamma 2.2: a linear curve and gamma 1 give the bytes
// and statistics of a job without them.
TEST(MergeToHDR, KeepsCurveProfileAndGammaButMergesAtGamma22)
{
    const int w = 40, h = 12;
    const std::vector<float> t = {0.25f, 1.0f, 4.0f};
    const DataPtr stack =
        data_of(testsupport::render_bracket(testsupport::make_radiance_map(w, h), t, 8, 3));
    Job bare(w, h, 3, 8, 3, data_of(t));
    const DataPtr want = bare.mergeImagesToHDR(1, stack, 1, 0.0f, nullptr);
    ASSERT_TRUE(want);
    const DataPtr profile = data_of(std::vector<uint8_t>(300, 7));
    DataPtr linear;
    {
        Job job(w, h, 3, 8, 3, data_of(t));
        EXPECT_FALSE(job.camCurve());
        linear = job.makeCurve(1.0f, 1);
        ASSERT_TRUE(linear);
        job.setCamCurve(linear);
        job.setProfileData(profile);
        job.setTrc(1.0f);
        EXPECT_EQ(job.camCurve(), linear); // the object itself, not a copy
        EXPECT_EQ(std::pair(linear.use_count(), profile.use_count()), std::pair(2L, 2L));
        const DataPtr got = job.mergeImagesToHDR(1, stack, 1, 0.0f, nullptr);
        ASSERT_TRUE(got);
        EXPECT_EQ(std::vector<uint8_t>(got->bytes(), got->bytes() + got->length()),
                  std::vector<uint8_t>(want->bytes(), want->bytes() + want->length()));
        EXPECT_EQ((std::array{job.imMin(), job.imMax(), job.imMoy()}),
                  (std::array{bare.imMin(), bare.imMax(), bare.imMoy()}));
        // A new curve replaces the old one, nil clears; the profile is held until the end.
        const DataPtr gamma = job.makeCurve(2.2f, 1);
        job.setCamCurve(gamma);
        EXPECT_EQ(job.camCurve(), gamma);
        EXPECT_EQ(linear.use_count(), 1L);
        job.setCamCurve(nullptr);
        EXPECT_FALSE(job.camCurve());
        EXPECT_EQ(profile.use_count(), 2L);
        job.setProfileData(nullptr);
        EXPECT_EQ(profile.use_count(), 1L);
        job.setProfileData(profile);
    }
    EXPECT_EQ(profile.use_count(), 1L);
}

TEST(MergeToHDR, RefusesIncompleteConfigurationWithNil)
{
    const DataPtr stack = data_of(std::vector<uint8_t>(2 * 4 * 4 * 3 * 2, 100)),
                  two = data_of(std::vector<float>{1, 2});
    auto run = [&](Job &&job, int exif, float ev) {
        return bool(job.mergeImagesToHDR(1, stack, exif, ev, nullptr));
    };
    EXPECT_TRUE(run(Job(4, 4, 3, 16, 2, two), 1, 0)); // exactly long enough
    EXPECT_TRUE(run(Job(4, 4, 3, 8, 1), 0, -1.0f));   // one photo needs no exposure
    EXPECT_FALSE(run(Job(4, 4, 3, 8, 2), 1, 0));      // exif without deltaT
    EXPECT_FALSE(run(Job(4, 4, 3, 8, 2, data_of(std::vector<float>{1})), 1, 0));
    // One exposure short of five, with a usable exposure lying right past the data's end: the
    // length refuses it, not the value found there.
    auto *five = static_cast<float *>(std::malloc(5 * sizeof(float)));
    ASSERT_TRUE(five);
    std::copy_n(std::array{0.25f, 1.0f, 4.0f, 16.0f, 64.0f}.data(), 5, five);
    const DataPtr fourOfFive = Data::adopt(five, 4 * sizeof(float));
    const DataPtr stack5 = data_of(std::vector<uint8_t>(5 * 4 * 4 * 3, 100));
    EXPECT_FALSE(Job(4, 4, 3, 8, 5, fourOfFive).mergeImagesToHDR(1, stack5, 1, 0, nullptr));
    EXPECT_TRUE(Job(4, 4, 3, 8, 4, fourOfFive).mergeImagesToHDR(1, stack5, 1, 0, nullptr));
    EXPECT_FALSE(run(Job(4, 4, 3, 8, 2, two), 0, -1.0f)); // nobody fills the exposures
    EXPECT_FALSE(run(Job(4, 4, 3, 8, 2, two), 0, kNaN));
    EXPECT_FALSE(run(Job(4, 4, 3, 8, 0, two), 1, 0));
    EXPECT_FALSE(run(Job(0, 4, 3, 8, 2, two), 1, 0));
    EXPECT_FALSE(run(Job(4, 0, 3, 8, 2, two), 1, 0)); // used to be an empty success
    EXPECT_FALSE(run(Job(4, 4, 3, 12, 2, two), 1, 0));
    EXPECT_FALSE(run(Job(4, 4, 3, 16, 3, data_of(std::vector<float>{1, 2, 3})), 1, 0));
    EXPECT_FALSE(run(Job(4, 4, 3, 8, 2, data_of(std::vector<float>{1, 0})), 1, 0));
    Job shortDims(4, 4, 3, 8, 1); // a dimension record without the samples and depth slots
    shortDims.setImageDimsFrom(Data::copy(std::array<int32_t, 2>{4, 4}.data(), 8));
    EXPECT_FALSE(run(std::move(shortDims), 0, 0));
}

TEST(MergeToHDR, ProgressNotificationsOnlyWhenNotSilentFrom816Rows)
{
    platform::set_localized_strings({{"Generating HDR image...", "HDR-Bild wird erzeugt..."}});
    std::vector<platform::Notification> seen;
    platform::ScopedObserver observer("progressReportUpdated", nullptr,
                                      [&](const platform::Notification &n) { seen.push_back(n); });
    auto run = [&](int h, int silent, int nbProc = 1) {
        seen.clear();
        const DataPtr grey = data_of(std::vector<uint8_t>(size_t(h) * 3, 90));
        Job job(1, h, 3, 8, 1);
        job.setNbProc(nbProc);
        EXPECT_TRUE(job.mergeImagesToHDR(silent, grey, 0, 0, nullptr));
        return seen.size();
    };
    // Below 16 rows the kernel's progress step is 0: nothing may divide by it.
    for (int h : {1, 15, 815})
        EXPECT_EQ(run(h, 0, 8), 0u) << h;
    EXPECT_EQ(run(816, 1, 8), 0u);
    ASSERT_EQ(run(816, 0), 16u);
    EXPECT_EQ(*seen[0].userInfo.at("progressText").string(), "HDR-Bild wird erzeugt...");
    EXPECT_EQ(seen[0].userInfo.at("progressStatus").doubleValue(), double(50.0f / 816.0f * 100.0f));
    // Bands report the rows one pass would, once each and in order: 50, 150, ... of 1600.
    auto statuses = [&] {
        std::vector<double> v;
        for (const auto &note : seen)
            v.push_back(note.userInfo.at("progressStatus").doubleValue());
        return v;
    };
    ASSERT_EQ(run(1600, 0), 16u);
    const std::vector<double> single = statuses();
    for (int nbProc : {3, 8}) {
        run(1600, 0, nbProc);
        EXPECT_EQ(statuses(), single) << nbProc << " bands";
    }
    platform::set_localized_strings({});
}

TEST(MergeToHDR, RealBracketsGiveOrderedFiniteStatistics)
{
    const std::string root = HDR_TESTDATA_DIR;
    if (!std::filesystem::is_directory(root))
        GTEST_SKIP() << "no test photos in " << root;
    const MetaData meta;
    for (const char *folder : {"window_tripod_e995", "stlouis_arch_tripod", "iphone6_handheld"}) {
        std::set<std::string> files; // by name: the merge puts them in exposure order itself
        for (const auto &entry : std::filesystem::directory_iterator(root + "/" + folder))
            if (entry.path().extension() != ".md")
                files.insert(entry.path());
        std::vector<uint8_t> stack;
        platform::DataArray exifBufs;
        int w = 0, h = 0;
        for (const std::string &file : files) {
            const DataPtr data = platform::contents_at_path(file);
            exifBufs.push_back(meta.getMetaData(data));
            const platform::BitmapPtr bmp = platform::BitmapImageRep::imageRepWithData(data);
            ASSERT_TRUE(meta.scanExif(exifBufs.back()) == 1 && bmp && bmp->bitsPerSample() == 8 &&
                        bmp->samplesPerPixel() == 3 &&
                        (!w || (bmp->pixelsWide() == w && bmp->pixelsHigh() == h)))
                << file << ": no exposure data, or not a photo like the first";
            w = bmp->pixelsWide();
            h = bmp->pixelsHigh();
            for (int y = 0; y < h; ++y) {
                const uint8_t *row = bmp->bitmapData() + size_t(y) * size_t(bmp->bytesPerRow());
                stack.insert(stack.end(), row, row + size_t(w) * 3);
            }
        }
        const DataPtr deltaT = meta.getEV(exifBufs), stackData = data_of(stack);
        for (int exif : {1, 0}) {
            Job job(w, h, 3, 8, int(files.size()), deltaT);
            ASSERT_TRUE(job.mergeImagesToHDR(1, stackData, exif, 0.0f, nullptr)) << folder;
            EXPECT_TRUE(0 < job.imMin() && job.imMin() < job.imMoy() && job.imMoy() < job.imMax() &&
                        std::isfinite(job.imMax()))
                << folder << ", exif " << exif;
        }
    }
}
