// HDR file conversions: float and 16-bit TIFFs written by libtiff into rgbeBufs and Radiance
// files, an rgbeBuf into a 16-bit TIFF read back by libtiff, and the Radiance header size, each
// against values computed here from the definitions (RGBE bytes from frexp).
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include <tiffio.h>

#include "imagecore/hdr_buffers.h"
#include "imagecore/hdr_files.h"
#include "tests/support/fixtures.h"
#include "tests/support/patterns.h"

namespace {

using testsupport::TempDir;
using Quad = std::array<uint8_t, 4>;

Quad rgbe_of(double r, double g, double b)
{
    const double m = std::max({r, g, b});
    int e;
    const double s = std::frexp(m, &e) * 256.0 / m;
    return m > 1e-32 ? Quad{uint8_t(r * s), uint8_t(g * s), uint8_t(b * s), uint8_t(e + 128)}
                     : Quad{0, 0, 0, 0};
}

// Pixel i of a row-planar rgbeBuf w pixels wide.
Quad planar_at(const std::vector<uint8_t> &rgbe, int w, int i)
{
    const size_t s = size_t(w), p = 4 * s * size_t(i / w) + size_t(i % w);
    return {rgbe[p], rgbe[p + s], rgbe[p + 2 * s], rgbe[p + 3 * s]};
}

// Writes the pixels with libtiff in one strip; returns the strip's offset.
int write_tiff(const std::string &path, const void *px, int w, int h, int spp, int bits,
               bool big = false)
{
    testsupport::LibTiffOptions o;
    o.bits = bits, o.rowsPerStrip = h, o.bigEndian = big;
    EXPECT_TRUE(testsupport::write_libtiff(path, px, w, h, spp, o));
    TIFF *tif = TIFFOpen(path.c_str(), "r");
    uint64_t *offsets = nullptr;
    TIFFGetField(tif, TIFFTAG_STRIPOFFSETS, &offsets);
    const int at = int(offsets[0]);
    TIFFClose(tif);
    return at;
}

} // namespace

TEST(Fp2rgbe, FloatTiffsOfEitherByteOrderGiveHalfTheirValuesOrAreRefused)
{
    const int w = 4, h = 3, spp = 4; // red, green, blue at samples 0, 1, 3
    std::vector<float> px(size_t(w * h * spp));
    for (size_t i = 4; i < px.size(); ++i) // pixel 0 black, out of the minimum
        px[i] = float(i % 7) * 0.37f + 1e-3f * float(i);
    for (bool big : {false, true}) {
        TempDir dir;
        const std::string path = dir.file("f.tif");
        const int info[13] = {w, h, 32, spp, 0, write_tiff(path, px.data(), w, h, spp, 32, big)};
        std::vector<uint8_t> rgbe(size_t(4 * w * h));
        float mn, mx, mean;
        ASSERT_EQ(fp2rgbe(path.c_str(), info, &mn, &mx, &mean, rgbe.data()), 1);
        double lo = 1e11, hi = 0, sum = 0;
        for (int i = 0; i < w * h; ++i) {
            const float *p = &px[size_t(i * spp)];
            EXPECT_EQ(planar_at(rgbe, w, i), rgbe_of(p[0] / 2.0, p[1] / 2.0, p[3] / 2.0)) << i;
            const double v = (0.3 * p[0] + 0.6 * p[1] + 0.1 * p[3]) / 2;
            lo = v > 0 && v < lo ? v : lo, hi = std::max(hi, v), sum += v;
        }
        // Single-precision statistics.
        EXPECT_NEAR(mn, lo * 256, 1e-4 * lo * 256);
        EXPECT_NEAR(mx, hi * 256, 1e-4 * hi * 256);
        EXPECT_NEAR(mean, sum * 256 / (w * h), 1e-4 * sum * 256);

        // Pixels past the end, another byte order mark, a missing file.
        testsupport::Bytes bytes = testsupport::read_file(path);
        const int past[13] = {w, h, 32, spp, 0, int(bytes.size()) - 8};
        EXPECT_EQ(fp2rgbe(path.c_str(), past, &mn, &mx, &mean, rgbe.data()), -2);
        bytes[0] = bytes[1] = 'X';
        ASSERT_TRUE(testsupport::write_file(path, bytes));
        EXPECT_EQ(fp2rgbe(path.c_str(), info, &mn, &mx, &mean, rgbe.data()), -2);
        EXPECT_EQ(fp2rgbe(dir.file("none").c_str(), info, &mn, &mx, &mean, rgbe.data()), -1);
    }
}

TEST(Tif2hdrAndTif2exrbuf, SixteenBitStripsOverTheirScales)
{
    TempDir dir;
    const std::vector<uint16_t> grey(12, 4096);
    const std::string tif = dir.file("g.tif"), hdr = dir.file("o.hdr"), none = dir.file("n.hdr");
    const int at = write_tiff(tif, grey.data(), 2, 2, 3, 16);
    ASSERT_EQ(tif2hdr(tif.c_str(), 2, 2, 3, at, "src.tif\nFORMAT=bogus", hdr.c_str()), 2);
    std::string want = "#?RADIANCE\n# Converted by Kestrovald Zenit 2.1 from src.tif\n"
                       "FORMAT=32-bit_rle_rgbe\n\n-Y 2 +X 2\n";
    for (int p = 0; p < 4; ++p) // 4096 / 4096 = 1.0
        want += std::string{char(128), char(128), char(128), char(129)};
    const testsupport::Bytes bytes = testsupport::read_file(hdr);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), want);
    // A strip that passes the end of its file is refused before the output exists.
    EXPECT_EQ(tif2hdr(tif.c_str(), 2, 200, 3, at, "x", none.c_str()), -1);
    EXPECT_FALSE(std::filesystem::exists(none));
    EXPECT_EQ(tif2hdr(tif.c_str(), 2, 2, 3, at, "x", dir.file("a/b.hdr").c_str()), -1);
    EXPECT_EQ(tif2hdr(tif.c_str(), 0, 2, 3, at, "x", none.c_str()), -3);

    const int w = 5, h = 3, spp = 4;
    auto px = testsupport::seeded_samples<uint16_t>(size_t(w * h * spp), 5, 65536);
    px[0] = px[1] = px[3] = 0; // 1 / 65536, not black
    const std::string seeded = dir.file("s.tif");
    const int sat = write_tiff(seeded, px.data(), w, h, spp, 16);
    std::vector<uint8_t> rgbe(size_t(4 * w * h));
    ASSERT_EQ(tif2exrbuf(seeded.c_str(), w, h, spp, sat, rgbe.data()), h);
    auto lin = [](uint16_t s) { return double(s ? s : 1) / 65536.0; };
    for (int i = 0; i < w * h; ++i) {
        const uint16_t *p = &px[size_t(i * spp)];
        EXPECT_EQ(planar_at(rgbe, w, i), rgbe_of(lin(p[0]), lin(p[1]), lin(p[3])));
    }
    EXPECT_EQ(planar_at(rgbe, w, 0), Quad({128, 128, 128, 113}));
    const int late = int(testsupport::read_file(seeded).size()) - 4 * w * spp;
    EXPECT_EQ(tif2exrbuf(seeded.c_str(), w, h, spp, late, rgbe.data()), -1);
}

TEST(Hdr2tif, LibTiffReadsTheScaledSamplesAsUnsignedAndNoRangeIsRefused)
{
    const int w = 6, h = 4;
    auto rgbe = testsupport::seeded_samples<uint8_t>(size_t(4 * w * h), 9);
    for (int i = 0; i < w * h; ++i) // exponents 120..135, one black pixel
        rgbe[size_t(4 * w * (i / w) + 3 * w + i % w)] = uint8_t(i == 8 ? 0 : 120 + i % 16);
    float mn, mx, mean;
    hdrMinMax(w, h, rgbe.data(), &mn, &mx, &mean);
    TempDir dir;
    const std::string path = dir.file("o.tif");
    for (float gamma : {1.0f, 2.2f}) {
        ASSERT_EQ(hdr2tif(gamma, rgbe.data(), w, h, path.c_str()), h);
        TIFF *tif = TIFFOpen(path.c_str(), "r");
        ASSERT_TRUE(tif);
        uint16_t bps = 0, format = 0;
        TIFFGetField(tif, TIFFTAG_BITSPERSAMPLE, &bps);
        TIFFGetField(tif, TIFFTAG_SAMPLEFORMAT, &format);
        EXPECT_EQ(bps, 16);
        EXPECT_EQ(format, SAMPLEFORMAT_UINT);
        EXPECT_TRUE(TIFFIsBigEndian(tif));
        std::vector<uint16_t> row(size_t(3 * w));
        int inside = 0;
        for (int y = 0; y < h; ++y) {
            ASSERT_EQ(TIFFReadScanline(tif, row.data(), uint32_t(y), 0), 1);
            for (int x = 0; x < w * 3; ++x) {
                const uint8_t *r = &rgbe[size_t(4 * w * y)];
                const int e = r[3 * w + x / 3];
                const double base =
                    (r[(x % 3) * w + x / 3] - mn) / (double(mx) - mn) * std::ldexp(1.0, e - 128);
                double v = gamma == 1 ? base : std::pow(std::max(base, 0.0), 1 / double(gamma));
                v = e == 0 ? 0 : std::min(std::max(65535 * v, 0.0), 65535.0);
                inside += v > 0 && v < 65535;
                // Single-precision products against a double reference: a unit either way.
                EXPECT_NEAR(row[size_t(x)], int(v), 1.0) << x << "," << y;
            }
        }
        EXPECT_GT(inside, 30);
        TIFFClose(tif);
    }
    std::filesystem::remove(path);
    // Exponents outside 51..199 leave min 1e11 above max 0: a negative span. One level: span 0.
    const std::vector<uint8_t> outside(16, 40), flat(16, 128);
    EXPECT_EQ(hdr2tif(1.0f, outside.data(), 2, 2, path.c_str()), -1);
    EXPECT_EQ(hdr2tif(1.0f, flat.data(), 2, 2, path.c_str()), -1);
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(hdr2tif(1.0f, flat.data(), 70000, 1, path.c_str()), -3);
    EXPECT_EQ(hdr2tif(0.0f, flat.data(), 2, 2, path.c_str()), -3);
}

TEST(RgbeDim, HeaderLinesBoundedByTheFileSize)
{
    TempDir dir;
    auto file = [&](int before, const std::string &resolution, size_t size) {
        std::string text = "#?RADIANCE\n";
        for (int i = 1; i < before; ++i)
            text += "# line\n";
        text += resolution;
        text.resize(size, '\0');
        const std::string path = dir.file(std::to_string(before) + ".hdr");
        EXPECT_TRUE(testsupport::write_file(path, testsupport::Bytes(text.begin(), text.end())));
        return path;
    };
    // 20000 bytes: at most 20000 / 128 - 128 = 28 lines are examined.
    int info[3] = {0, 0, 0};
    EXPECT_EQ(rgbe_dim(file(27, "-Y 480 +X 640\n", 20000).c_str(), info), 27);
    EXPECT_EQ(std::vector<int>(info, info + 3), (std::vector<int>{640, 480, 20000}));
    EXPECT_EQ(rgbe_dim(file(28, "-Y 480 +X 640\n", 20000).c_str(), info), -3);
    EXPECT_EQ(rgbe_dim(file(3, "-Y 0 +X 640\n", 20000).c_str(), info), -3);
    EXPECT_EQ(rgbe_dim(file(3, "-Y 480 +X -640\n", 20000).c_str(), info), -3);
    // Sizes past what the kernels take (INT_MAX pixels; rows of 16-bit RGB up to INT_MAX bytes)
    // are refused, the largest they take is not.
    for (auto [res, want] : {std::pair{"-Y 2000000000 +X 32767\n", -3},
                             {"-Y 65536 +X 32768\n", -3},
                             {"-Y 1 +X 357913942\n", -3},
                             {"-Y 65535 +X 32768\n", 3},
                             {"-Y 1 +X 357913941\n", 3}}) {
        info[0] = info[1] = info[2] = 0;
        EXPECT_EQ(rgbe_dim(file(3, res, 20000).c_str(), info), want) << res;
        EXPECT_EQ(info[0] != 0, want == 3) << res;
    }
    EXPECT_EQ(rgbe_dim(file(4, "-Y 480 +X 640\n", 16639).c_str(), info), -1);
    EXPECT_EQ(rgbe_dim(dir.file("none").c_str(), info), -1);
}
