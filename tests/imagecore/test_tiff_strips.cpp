// The TIFF strip and block readers over files libtiff wrote (both byte orders, one and several
// strips) and over files cut short; the bias-128 float sample; the in-place flip against an
// out-of-place permutation written from its definition.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include <tiffio.h>

#include "imagecore/tiff_strips.h"
#include "tests/support/fixtures.h"
#include "tests/support/patterns.h"

namespace {

using testsupport::TempDir;

// Writes w x h x 3 seeded samples with libtiff; returns them, the strip offsets and the order.
std::vector<uint16_t> write_image(const std::string &path, int w, int h, int bits, int rps,
                                  bool big, std::vector<int> &offsets, int &order)
{
    auto px = testsupport::seeded_samples<uint16_t>(size_t(w * h * 3), uint64_t(bits + big),
                                                    bits == 8 ? 256 : 65536);
    const std::vector<uint8_t> px8(px.begin(), px.end());
    testsupport::LibTiffOptions o;
    o.bits = bits, o.rowsPerStrip = rps, o.bigEndian = big;
    EXPECT_TRUE(testsupport::write_libtiff(
        path, bits == 8 ? static_cast<const void *>(px8.data()) : px.data(), w, h, 3, o));
    TIFF *tif = TIFFOpen(path.c_str(), "r");
    uint64_t *strips = nullptr;
    TIFFGetField(tif, TIFFTAG_STRIPOFFSETS, &strips);
    offsets.assign(strips, strips + TIFFNumberOfStrips(tif));
    order = TIFFIsBigEndian(tif) ? 1 : 2;
    TIFFClose(tif);
    return px;
}

} // namespace

TEST(ReadStripTif, BandsReadBackWhatLibTiffWrote)
{
    struct Case {
        const char *name;
        int rowsPerStrip, band, bandHeight, rows;
        int firstRow, rowsRead, result;
    };
    // A 5 x 40 image: 16 rows a strip and bands of 8 put band 3 8 rows into strip 1.
    const std::vector<Case> cases = {
        {"inside strip 1", 16, 3, 8, 8, 24, 8, 8},
        {"cut at the strip's end", 16, 1, 12, 12, 12, 4, 4},
        {"two whole strips", 4, 2, 8, 8, 16, 8, 4},
        {"one strip", 40, 1, 30, 30, 30, 10, 10},
        {"short last strip", 16, 1, 16, 32, 32, 8, 8},
    };
    for (int bits : {8, 16})
        for (bool big : {false, true})
            for (const Case &c : cases) {
                SCOPED_TRACE(testing::Message() << c.name << " " << bits << (big ? " MM" : " II"));
                TempDir dir;
                std::vector<int> offsets;
                int order = 0;
                const std::string path = dir.file("s.tif");
                const auto px = write_image(path, 5, 40, bits, c.rowsPerStrip, big, offsets, order);
                std::vector<uint16_t> got(size_t(c.rows) * 15);
                std::vector<uint8_t> got8(got.size());
                void *out = bits == 8 ? static_cast<void *>(got8.data()) : got.data();
                EXPECT_EQ(read_strip_tif(path.c_str(), c.band, c.bandHeight, 5, c.rows, 3, bits,
                                         c.rowsPerStrip, 40, offsets.data(), order, out),
                          c.result);
                if (bits == 8)
                    got.assign(got8.begin(), got8.end());
                got.resize(size_t(c.rowsRead) * 15);
                EXPECT_EQ(got, std::vector<uint16_t>(px.begin() + c.firstRow * 15,
                                                     px.begin() + (c.firstRow + c.rowsRead) * 15));
            }
}

TEST(ReadStripTif, ShortReadsGiveMinusTheRowAtEveryDepthAndBadArgumentsAreRefused)
{
    TempDir dir;
    // Three rows of 6 bytes and a part of the fourth.
    const std::string path = dir.file("short.bin"), none = dir.file("none");
    ASSERT_TRUE(testsupport::write_file(path, testsupport::Bytes(21, 7)));
    const int at0[1] = {0}, at18[1] = {18};
    std::vector<uint8_t> b(64);
    struct Case {
        const char *path;
        int width, rows, bps, rowsPerStrip;
        const int *offsets;
        int order;
        void *out;
        int result;
    };
    const std::vector<Case> cases = {
        {path.c_str(), 2, 5, 8, 5, at0, 2, b.data(), -4},
        {path.c_str(), 1, 5, 16, 5, at0, 2, b.data(), -4},
        {path.c_str(), 2, 5, 8, 5, at18, 2, b.data(), -1}, // not "nothing read"
        {path.c_str(), 2, 2, 8, 4, at0, 2, b.data(), 0},   // no whole strip in the band
        {none.c_str(), 2, 5, 8, 5, at0, 2, b.data(), -1},
        {path.c_str(), 2, 5, 8, 0, at0, 2, b.data(), -1},
        {path.c_str(), 1, 5, 16, 5, at0, 3, b.data(), -3},
        {path.c_str(), 2, 5, 12, 5, at0, 2, b.data(), -3},
        {path.c_str(), 2, 5, 8, 5, at0, 2, nullptr, -3},
        {path.c_str(), 1 << 30, 5, 16, 5, at0, 2, b.data(), -3},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case &c = cases[i];
        EXPECT_EQ(read_strip_tif(c.path, 0, 5, c.width, c.rows, 3, c.bps, c.rowsPerStrip, 5,
                                 c.offsets, c.order, c.out),
                  c.result)
            << i;
    }
}

TEST(LoadTif, BlockReadBackInBothByteOrdersAndRefusals)
{
    for (bool big : {false, true}) {
        TempDir dir;
        std::vector<int> at;
        int order = 0;
        const std::string path = dir.file("b.tif");
        const auto px = write_image(path, 7, 5, 16, 5, big, at, order);
        std::vector<uint16_t> got(px.size());
        EXPECT_EQ(load_tif(path.c_str(), 7, 5, 3, at[0], order, got.data()), 5);
        EXPECT_EQ(got, px);
        // Another byte order is refused instead of returning the offset.
        EXPECT_EQ(load_tif(path.c_str(), 7, 5, 3, at[0], 3, got.data()), -3);
        EXPECT_EQ(load_tif(path.c_str(), 7, 0, 3, at[0], order, got.data()), 0);
        // From a later offset the last row comes short: minus its number.
        const int late = int(testsupport::read_file(path).size()) - 42 * 4 - 1;
        EXPECT_EQ(load_tif(path.c_str(), 7, 5, 3, late, order, got.data()), -5);
        EXPECT_EQ(load_tif(dir.file("none").c_str(), 7, 5, 3, 8, order, got.data()), -1);
    }
}

TEST(Readfloat, BiasOneTwentyEightInEitherByteOrder)
{
    uint8_t bytes[] = {0x00, 0x00, 0x80, 0x3F, 0x3F, 0x80, 0x00, 0x00, 0x00,
                       0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x12};
    FILE *f = fmemopen(bytes, sizeof bytes, "rb");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(readfloat(0x4949, f), 0.5f); // IEEE 1.0, least significant byte first
    EXPECT_EQ(readfloat(0x4D4D, f), 0.5f);
    EXPECT_EQ(readfloat(0x4949, f), 0.0f);
    EXPECT_EQ(readfloat(0x4949, f), -1.0f); // IEEE -2.0
    EXPECT_FALSE(std::feof(f));
    EXPECT_EQ(readfloat(0x4949, f), 0.0f); // one byte left
    EXPECT_TRUE(std::feof(f));
    std::fclose(f);
}

TEST(KvFlipImage, EveryCodeMatchesThePermutationDefinition)
{
    std::vector<uint64_t> two = {10, 11, 12, 13}, three = {0, 1, 2, 3, 4, 5};
    kv_flip_image(3, 2, 2, two.data());
    EXPECT_EQ(two, (std::vector<uint64_t>{13, 12, 11, 10}));
    kv_flip_image(4, 3, 2, three.data());
    EXPECT_EQ(three[2], 1u);

    const int W = 5, H = 3;
    std::vector<uint64_t> src(W * H);
    for (size_t i = 0; i < src.size(); ++i)
        src[i] = 1000 + i;
    for (int code = 0; code < 8; ++code) {
        std::vector<uint64_t> want(src.size()), got = src;
        for (int d = 0; d < W * H; ++d) {
            int row = code & 4 ? d % H : d / W, col = code & 4 ? d / H : d % W;
            row = code & 2 ? H - 1 - row : row;
            col = code & 1 ? W - 1 - col : col;
            want[size_t(d)] = src[size_t(row * W + col)];
        }
        kv_flip_image(code, W, H, got.data());
        EXPECT_EQ(got, want) << code;
    }
}
