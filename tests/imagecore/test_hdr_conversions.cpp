// The floating-point TIFF written from an rgbeBuf, read back through libtiff; the bias-128
// float decoders; and the in-memory HDR conversions against their definitions.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include <tiffio.h>

#include "imagecore/hdr_buffers.h"
#include "imagecore/manip.h"
#include "tests/support/fixtures.h"
#include "tests/support/patterns.h"

using testsupport::seeded_samples;

namespace {

platform::DataPtr data_of(const std::vector<uint8_t> &v)
{
    return platform::Data::copy(v.data(), v.size());
}

struct TiffCloser {
    void operator()(TIFF *t) const { TIFFClose(t); }
};

// The float RGB pixels of a TIFF as libtiff reads them, after checking the layout it reports.
std::vector<float> read_float_tiff(const std::string &path, uint32_t w, uint32_t h)
{
    std::unique_ptr<TIFF, TiffCloser> tif(TIFFOpen(path.c_str(), "r"));
    if (!tif)
        return {};
    uint32_t width = 0, height = 0, rowsPerStrip = 0;
    uint16_t bps = 0, spp = 0, format = 0, photometric = 0, planar = 0, compression = 0;
    TIFFGetField(tif.get(), TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tif.get(), TIFFTAG_IMAGELENGTH, &height);
    TIFFGetField(tif.get(), TIFFTAG_BITSPERSAMPLE, &bps);
    TIFFGetField(tif.get(), TIFFTAG_SAMPLESPERPIXEL, &spp);
    TIFFGetField(tif.get(), TIFFTAG_SAMPLEFORMAT, &format);
    TIFFGetField(tif.get(), TIFFTAG_PHOTOMETRIC, &photometric);
    TIFFGetField(tif.get(), TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetField(tif.get(), TIFFTAG_COMPRESSION, &compression);
    TIFFGetField(tif.get(), TIFFTAG_ROWSPERSTRIP, &rowsPerStrip);
    EXPECT_EQ(width, w);
    EXPECT_EQ(height, h);
    EXPECT_EQ(bps, 32);
    EXPECT_EQ(spp, 3);
    EXPECT_EQ(format, SAMPLEFORMAT_IEEEFP);
    EXPECT_EQ(photometric, PHOTOMETRIC_RGB);
    EXPECT_EQ(planar, PLANARCONFIG_CONTIG);
    EXPECT_EQ(compression, COMPRESSION_NONE);
    EXPECT_EQ(rowsPerStrip, h);
    EXPECT_FALSE(TIFFIsByteSwapped(tif.get())); // little-endian, as this host
    std::vector<float> pixels(size_t(w) * h * 3);
    for (uint32_t y = 0; y < h; ++y)
        if (TIFFReadScanline(tif.get(), pixels.data() + size_t(y) * w * 3, y, 0) != 1)
            return {};
    return pixels;
}

uint32_t le32(const std::vector<uint8_t> &b, size_t at)
{
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
           uint32_t(b[at + 3]) << 24;
}
uint16_t le16(const std::vector<uint8_t> &b, size_t at)
{
    return uint16_t(b[at] | b[at + 1] << 8);
}

} // namespace

TEST(ManipWriteFpTiff, OnePixelFileHasTheDocumentedLayoutAndValues)
{
    testsupport::TempDir dir;
    const std::string path = dir.file("one.tif");
    ASSERT_EQ(Manip().writeFpTiffFromRgbe(path, data_of({128, 64, 32, 129}), 1, 1), 1);
    const auto bytes = testsupport::read_file(path);
    ASSERT_EQ(bytes.size(), 170u);
    EXPECT_EQ(bytes[0], 'I');
    EXPECT_EQ(bytes[1], 'I');
    EXPECT_EQ(le16(bytes, 2), 42);
    EXPECT_EQ(le32(bytes, 4), 20u);
    EXPECT_EQ(le16(bytes, 20), 11);                     // entries
    EXPECT_EQ(le32(bytes, 20 + 2 + 2 * 12 + 8), 158u);  // BitsPerSample's values
    EXPECT_EQ(le32(bytes, 20 + 2 + 10 * 12 + 8), 164u); // SampleFormat's values
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(le16(bytes, 158 + 2 * size_t(k)), 32);
        EXPECT_EQ(le16(bytes, 164 + 2 * size_t(k)), 3);
    }
    EXPECT_EQ(read_float_tiff(path, 1, 1), (std::vector<float>{256.0f, 128.0f, 64.0f}));
}

TEST(ManipWriteFpTiff, LibTiffReadsBackEveryPixelIncludingExtremeExponents)
{
    const int w = 13, h = 7;
    auto rgbe = seeded_samples<uint8_t>(4 * w * h, 51);
    // Black pixels, the smallest and largest exponents whose values stay finite.
    rgbe[3 * w + 0] = 0;
    rgbe[3 * w + 1] = 1;
    rgbe[4 * w + 3 * w + 2] = 247;
    testsupport::TempDir dir;
    const std::string path = dir.file("busy.tif");
    ASSERT_EQ(Manip().writeFpTiffFromRgbe(path, data_of(rgbe), w, h), 1);
    EXPECT_EQ(testsupport::read_file(path).size(), size_t(8 + 12 * w * h + 150));
    const auto got = read_float_tiff(path, w, h);
    ASSERT_EQ(got.size(), size_t(3 * w * h));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c) {
                const int e = rgbe[size_t(4 * w * y + 3 * w + x)];
                const uint8_t m = rgbe[size_t(4 * w * y + c * w + x)];
                // 256 times the usual decoding m x 2^(e - 136); exact in single precision.
                const float want = e == 0 ? 0.0f : float(std::ldexp(double(m), e - 128));
                ASSERT_EQ(got[size_t((y * w + x) * 3 + c)], want) << x << "," << y;
            }
}

TEST(ManipWriteFpTiff, RefusesWhatTheFormatCannotHoldAndReportsFailures)
{
    testsupport::TempDir dir;
    const std::string path = dir.file("refused.tif");
    const auto small = data_of(std::vector<uint8_t>(4 * 3 * 2, 7));
    const struct {
        platform::DataPtr data;
        int w, h;
    } refused[] = {{small, 3, 3},   {small, 0, 2},     {small, 3, -1},
                   {nullptr, 3, 2}, {small, 65536, 1}, {small, 1, 65536}};
    for (const auto &r : refused) {
        EXPECT_EQ(Manip().writeFpTiffFromRgbe(path, r.data, r.w, r.h), -3) << r.w << "x" << r.h;
        EXPECT_TRUE(testsupport::read_file(path).empty()); // nothing created
    }
    EXPECT_EQ(Manip().writeFpTiffFromRgbe(dir.file("no/such/folder.tif"), small, 3, 2), -1);
    // A device that takes no bytes: the write (or the flush on closing) fails.
    EXPECT_EQ(Manip().writeFpTiffFromRgbe("/dev/full", small, 3, 2), -2);
    const auto wide = data_of(std::vector<uint8_t>(4 * 4000, 9));
    EXPECT_EQ(Manip().writeFpTiffFromRgbe("/dev/full", wide, 4000, 1), -2);
}

TEST(BiasFloatDecoders, HalfTheIeeeValueWithNoSpecialExponents)
{
    const struct {
        uint8_t b[4];
        float want;
    } cases[] = {
        {{0x3F, 0x80, 0x00, 0x00}, 0.5f},
        {{0x40, 0x00, 0x00, 0x00}, 1.0f},
        {{0xC0, 0x00, 0x00, 0x00}, -1.0f},
        {{0x00, 0x00, 0x00, 0x00}, 0.0f},
        {{0x80, 0x00, 0x00, 0x00}, -0x1p-128f},  // exponent field 0 is no subnormal
        {{0x00, 0x80, 0x00, 0x00}, 0x1p-127f},   // IEEE's smallest normal, halved
        {{0x7F, 0x80, 0x00, 0x00}, 0x1p127f},    // IEEE infinity reads as a number
        {{0xFF, 0xC0, 0x00, 0x00}, -0x1.8p127f}, // and a NaN pattern too
        {{0x41, 0x20, 0x00, 0x01}, float(5 * (1 + 0x1p-23 / 1.25))}, // 10 + 1 ulp, halved
    };
    for (const auto &c : cases) {
        EXPECT_EQ(m_order2float(c.b), c.want) << c.want;
        EXPECT_EQ(morder2float(c.b), c.want) << c.want;
    }
    EXPECT_EQ(m_order2float(nullptr), 0.0f);
    EXPECT_EQ(morder2float(nullptr), 0.0f);
}

namespace {

// One rgbeBuf pixel from its definition: M = largest channel, frexp(M) = (f, k), mantissas
// trunc(channel x f x 256 / M), exponent k + 128; M <= 1e-32 is black.
std::array<uint8_t, 4> encode_reference(double r, double g, double b)
{
    const double m = std::max({r, g, b});
    if (m <= 1e-32)
        return {0, 0, 0, 0};
    int k;
    const double f = std::frexp(m, &k);
    return {uint8_t(r * f * 256 / m), uint8_t(g * f * 256 / m), uint8_t(b * f * 256 / m),
            uint8_t(k + 128)};
}

} // namespace

TEST(Fbuf2rgbe, EncodesEachPixelAndReportsScaledLuminance)
{
    const int w = 6, h = 4;
    std::vector<float> src(size_t(w * h * 3));
    for (size_t i = 0; i < src.size(); ++i)
        src[i] = float(std::ldexp(double(i % 11 + 1) * 0.37, int(i % 23) - 11));
    src[0] = src[1] = src[2] = 0; // a black pixel: four zero bytes, no minimum
    std::vector<uint8_t> rgbe(size_t(4 * w * h), 0xEE);
    float mn = 0, mx = 0, mean = 0;
    ASSERT_EQ(fbuf2rgbe(w, h, 3, &mn, &mx, &mean, src.data(), rgbe.data()), h);
    double lo = 1e8, hi = 0, sum = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const float *p = &src[size_t((y * w + x) * 3)];
            const auto want = encode_reference(p[0], p[1], p[2]);
            for (int c = 0; c < 4; ++c)
                ASSERT_EQ(rgbe[size_t(4 * w * y + c * w + x)], want[size_t(c)]) << x << "," << y;
            const float v = float(0.3 * p[0] + 0.6 * p[1] + 0.1 * p[2]);
            if (v > 0)
                lo = std::min(lo, double(v));
            hi = std::max(hi, double(v));
            sum += v;
        }
    EXPECT_FLOAT_EQ(mn, float(lo * 256));
    EXPECT_FLOAT_EQ(mx, float(hi * 256));
    EXPECT_FLOAT_EQ(mean, float(sum * 256 / (w * h)));
}

TEST(Fbuf2rgbe, AlphaIsIgnoredGreyFillsAllChannelsAndBadArgumentsAreRefused)
{
    const std::vector<float> rgb = {1.0f, 0.5f, 0.25f, 3.0f, 2.0f, 1.0f};
    const std::vector<float> rgba = {1.0f, 0.5f, 0.25f, 1e9f, 3.0f, 2.0f, 1.0f, -4.0f};
    std::vector<uint8_t> a(8), b(8);
    float mn, mx, mean;
    ASSERT_EQ(fbuf2rgbe(2, 1, 3, &mn, &mx, &mean, rgb.data(), a.data()), 1);
    ASSERT_EQ(fbuf2rgbe(2, 1, 4, &mn, &mx, &mean, rgba.data(), b.data()), 1);
    EXPECT_EQ(a, b);
    EXPECT_EQ(a, (std::vector<uint8_t>{128, 192, 64, 128, 32, 64, 129, 130}));
    // Six samples: red 0, green 2, blue 5.
    const std::vector<float> six = {1.0f, 9.0f, 0.5f, 9.0f, 9.0f, 0.25f};
    std::vector<uint8_t> s6(4);
    ASSERT_EQ(fbuf2rgbe(1, 1, 6, &mn, &mx, &mean, six.data(), s6.data()), 1);
    EXPECT_EQ(s6, (std::vector<uint8_t>{128, 64, 32, 129}));
    // Two samples: grey (offset 0) in all three channels, the second sample is alpha.
    const std::vector<float> greyAlpha = {0.75f, 100.0f};
    std::vector<uint8_t> g(4);
    ASSERT_EQ(fbuf2rgbe(1, 1, 2, &mn, &mx, &mean, greyAlpha.data(), g.data()), 1);
    EXPECT_EQ(g, (std::vector<uint8_t>{192, 192, 192, 128}));
    EXPECT_FLOAT_EQ(mx, 0.75f * 256);
    // No rows: the starting values, scaled.
    ASSERT_EQ(fbuf2rgbe(3, 0, 3, &mn, &mx, &mean, rgb.data(), a.data()), 0);
    EXPECT_FLOAT_EQ(mn, 2.56e10f);
    EXPECT_EQ(mx, 0.0f);
    EXPECT_EQ(mean, 0.0f);
    EXPECT_EQ(fbuf2rgbe(2, 1, 0, &mn, &mx, &mean, rgb.data(), a.data()), -3);
    EXPECT_EQ(fbuf2rgbe(-2, 1, 3, &mn, &mx, &mean, rgb.data(), a.data()), -3);
    EXPECT_EQ(fbuf2rgbe(2, 1, 3, nullptr, &mx, &mean, rgb.data(), a.data()), -3);
    EXPECT_EQ(fbuf2rgbe(2, 1, 3, &mn, &mx, &mean, nullptr, a.data()), -3);
    EXPECT_EQ(fbuf2rgbe(INT_MAX, INT_MAX, 8, &mn, &mx, &mean, rgb.data(), a.data()),
              -3); // overflows
}

namespace {

// A one-row rgbeBuf of grey pixels (mantissa, exponent).
std::vector<uint8_t> grey_row(const std::vector<std::pair<int, int>> &px)
{
    const size_t w = px.size();
    std::vector<uint8_t> buf(4 * w);
    for (size_t x = 0; x < w; ++x) {
        buf[x] = buf[w + x] = buf[2 * w + x] = uint8_t(px[x].first);
        buf[3 * w + x] = uint8_t(px[x].second);
    }
    return buf;
}

} // namespace

TEST(HdrMinMax, OnlyMiddleExponentsSetTheRangeButAllSetTheMean)
{
    // Grey m has luma (54 + 183 + 19) m / 256 = m. Values: 100 x 2^2, 10 x 2^-20, 200 x 2^72
    // (exponent 200, outside the range), 50 x 2^-78 (exponent 50, outside), and a black pixel.
    const auto row = grey_row({{100, 130}, {10, 108}, {200, 200}, {50, 50}, {77, 0}});
    float mn, mx, mean;
    ASSERT_EQ(hdrMinMax(5, 1, row.data(), &mn, &mx, &mean), 1);
    EXPECT_EQ(mx, 400.0f);
    EXPECT_EQ(mn, float(10 * std::ldexp(1.0, -20)));
    const double sum =
        400 + 10 * std::ldexp(1.0, -20) + 200 * std::ldexp(1.0, 72) + 50 * std::ldexp(1.0, -78);
    EXPECT_FLOAT_EQ(mean, float(sum / 4));

    // Values at or below 1e-7 never set the minimum.
    const auto tiny = grey_row({{1, 104}, {3, 128}});
    ASSERT_EQ(hdrMinMax(2, 1, tiny.data(), &mn, &mx, &mean), 1);
    EXPECT_EQ(mn, 3.0f);

    // Every exponent outside 51..199: the starting values remain, and the span is refused.
    const auto outside = grey_row({{100, 50}, {100, 200}, {100, 255}, {0, 0}});
    ASSERT_EQ(hdrMinMax(4, 1, outside.data(), &mn, &mx, &mean), 1);
    EXPECT_EQ(mn, 1e11f);
    EXPECT_EQ(mx, 0.0f);
    std::vector<float> out(16);
    EXPECT_EQ(hdr2cgbuf(4, 1, outside.data(), out.data()), -1);
    EXPECT_EQ(hdrMinMax(-1, 1, row.data(), &mn, &mx, &mean), -3);
    EXPECT_EQ(hdrMinMax(5, 1, nullptr, &mn, &mx, &mean), -3);
}

TEST(Hdr2cgbuf, NormalisesToTheRangeAndLeavesTheFourthFloat)
{
    // Range from grey luma: min 10 x 2^0 = 10, max 255 x 2^3 = 2040; exponent 220 stays out of
    // the range and clamps to 1.
    const auto row = grey_row({{10, 128}, {100, 130}, {50, 129}, {255, 131}, {9, 0}, {255, 220}});
    std::vector<float> out(24, -7.0f);
    ASSERT_EQ(hdr2cgbuf(6, 1, row.data(), out.data()), 1);
    const float want[6] = {0.0f, 390.0f / 2030.0f, 90.0f / 2030.0f, 1.0f, 0.0f, 1.0f};
    for (int x = 0; x < 6; ++x) {
        for (int c = 0; c < 3; ++c)
            EXPECT_FLOAT_EQ(out[size_t(4 * x + c)], want[x]) << x;
        EXPECT_EQ(out[size_t(4 * x + 3)], -7.0f); // not written
    }
}

TEST(From16to8, KeepsTheHighBytesPackedAtTheStart)
{
    // Two rows of 10 bytes (5 samples); every sample's high byte is its index + 1.
    std::vector<uint16_t> samples(10);
    for (int i = 0; i < 10; ++i)
        samples[size_t(i)] = uint16_t((i + 1) << 8 | 0x7F);
    std::vector<uint8_t> buf(20);
    std::memcpy(buf.data(), samples.data(), 20);
    EXPECT_EQ(from16to8(123, 2, 99, 10, buf.data()), 2);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(buf[size_t(i)], i + 1);
    EXPECT_EQ(from16to8(5, 0, 1, 10, buf.data()), 0);
    EXPECT_EQ(from16to8(5, 2, 1, -10, buf.data()), -3);
    EXPECT_EQ(from16to8(5, 2, 1, 10, nullptr), -3);
}

TEST(BuildLUT, SegmentsBetweenKnotsInsideTheTableOnly)
{
    std::vector<float> lut(16, -1.0f);
    const int x[] = {0, 10};
    const float y[] = {0.0f, 1.0f};
    EXPECT_EQ(buildLUT(2, x, y, lut.data(), 16), 10);
    for (int i = 0; i < 10; ++i)
        EXPECT_FLOAT_EQ(lut[size_t(i)], float(i) / 10) << i;
    EXPECT_EQ(lut[10], -1.0f); // the last knot's own entry

    // Knots before the table start: the negative indices are skipped, the rest is the line.
    std::vector<float> guarded(24, -1.0f);
    float *table = guarded.data() + 8;
    const int xn[] = {-5, 5, 5, 9};
    const float yn[] = {0.0f, 1.0f, 7.0f, 3.0f};
    EXPECT_EQ(buildLUT(4, xn, yn, table, 16), 9); // the equal knots 5, 5 make no segment
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(guarded[size_t(i)], -1.0f) << i;
    for (int i = 0; i < 5; ++i)
        EXPECT_FLOAT_EQ(table[i], 0.5f + 0.1f * float(i)) << i;
    for (int i = 5; i < 9; ++i)
        EXPECT_FLOAT_EQ(table[i], 7.0f - float(i - 5)) << i;
    EXPECT_EQ(table[9], -1.0f);

    // A knot past the table's end stops at its last entry.
    std::vector<float> shortLut(9, -1.0f);
    const int xl[] = {0, 100};
    EXPECT_EQ(buildLUT(2, xl, y, shortLut.data(), 8), 8);
    EXPECT_EQ(shortLut[8], -1.0f);
    EXPECT_EQ(buildLUT(1, xl, y, shortLut.data(), 8), 0);
    EXPECT_EQ(buildLUT(2, nullptr, y, shortLut.data(), 8), -3);
    EXPECT_EQ(buildLUT(2, xl, y, shortLut.data(), -1), -3);
}
