// Radiance files: byte-exact write-read round trips at the run-length and flat widths, the
// headers the writers make and the metadata scan reads, crafted streams through both readers,
// the reduced read's selection and limits, strips, the marker replacement and write failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "merge/rgbe_io.h"
#include "metadata/exif_records.h"
#include "tests/support/fixtures.h"

using testsupport::Bytes;
using testsupport::read_file;
using testsupport::TempDir;
using testsupport::write_file;

namespace {

// An rgbeBuf whose planes alternate runs (of 3 to 6 bytes, by plane) with changing bytes, so
// the coder writes both packet kinds; exponents never 0.
Bytes pattern(int w, int h)
{
    Bytes b(4 * size_t(w) * size_t(h));
    for (int y = 0; y < h; ++y)
        for (int c = 0; c < 4; ++c)
            for (int x = 0; x < w; ++x) {
                const bool run = (x / (c + 3)) % 2 == 0;
                uint8_t v = run ? uint8_t(c * 50 + y) : uint8_t(x * 37 + y * 11 + c);
                if (c == 3)
                    v = uint8_t(100 + v % 50);
                b[(4 * size_t(y) + size_t(c)) * size_t(w) + size_t(x)] = v;
            }
    return b;
}

Bytes text(const std::string &s)
{
    return Bytes(s.begin(), s.end());
}

std::string header_of(const Bytes &file)
{
    const std::string s(file.begin(), file.end());
    const size_t res = s.find("\n-Y ");
    return res == std::string::npos ? s : s.substr(0, s.find('\n', res + 1) + 1);
}

void put_text(int32_t *exif, int slot, const char *t, size_t n)
{
    std::memcpy(&exif[slot], t, n);
}

const char *const kMinimalHeader = "#?RADIANCE\n"
                                   "Generated with Kestrovald Zenit 4.0 for Mac OS X\n"
                                   "FORMAT=32-bit_rle_rgbe\n\n";

// ---------------------------------------------------------------------------------------------
// Round trips and headers

TEST(KvIoRgbeWrite, RoundTripsByteExactAtRunLengthAndFlatWidths)
{
    TempDir dir;
    const int h = 3;
    for (int w : {1, 5, 7, 8, 127, 128, 129, 32767, 32768}) {
        const std::string path = dir.file("rt.hdr");
        const Bytes img = pattern(w, h);
        const int32_t exif[kExifBufCount] = {};
        ASSERT_EQ(kv_io_rgbe_write(path.c_str(), w, h, exif, "", img.data()), h) << w;
        const Bytes file = read_file(path);
        const std::string head = header_of(file);
        EXPECT_EQ(head, std::string(kMinimalHeader) + "-Y 3 +X " + std::to_string(w) + "\n");
        if (w >= 8 && w <= 32767) // every scanline starts 2, 2, width high, width low
            EXPECT_EQ(Bytes(file.begin() + long(head.size()), file.begin() + long(head.size()) + 4),
                      (Bytes{2, 2, uint8_t(w >> 8), uint8_t(w & 255)}))
                << w;
        else // flat: the first pixel's R G B E, then the rest
            EXPECT_TRUE(
                file.size() == head.size() + img.size() &&
                Bytes(file.begin() + long(head.size()), file.begin() + long(head.size()) + 4) ==
                    (Bytes{img[0], img[size_t(w)], img[2 * size_t(w)], img[3 * size_t(w)]}))
                << "flat " << w;

        Bytes back(img.size(), 0xAB);
        ASSERT_EQ(kv_io_read_rgbe(w, h, path.c_str(), back.data()), h) << w;
        EXPECT_TRUE(back == img) << "width " << w;
    }
}

TEST(KvIoReadRgbe, NarrowRunLengthScanlinesOfEarlierFilesAreStillRead)
{
    // Width 5, two rows, each component one run of 5 (rows 1 and 2 told apart).
    TempDir dir;
    std::string file = std::string(kMinimalHeader) + "-Y 2 +X 5\n";
    Bytes want;
    for (int y = 0; y < 2; ++y) {
        file += std::string{2, 2, 0, 5};
        for (int c = 0; c < 4; ++c) {
            file += {char(133), char(10 * c + y + 1)};
            want.insert(want.end(), 5, uint8_t(10 * c + y + 1));
        }
    }
    const std::string path = dir.file("narrow.hdr");
    write_file(path, text(file));
    Bytes back(want.size(), 0xAB);
    ASSERT_EQ(kv_io_read_rgbe(5, 2, path.c_str(), back.data()), 2);
    EXPECT_EQ(back, want);
}

TEST(KvIoRgbeWrite, HeaderLinesFromTheRecordReadBackByTheScan)
{
    int32_t exif[kExifBufCount] = {};
    put_text(exif, kExifModel, "Kestrel X100", 12);
    put_text(exif, kExifDateTime, "2021:06:30 12:34:56\n", 20); // no terminator
    exif[kExifExposureNum] = 1, exif[kExifExposureDen] = 250;
    exif[kExifFNumberNum] = 56, exif[kExifFNumberDen] = 10;
    exif[kExifIso] = 400;
    exif[kExifFocalNum] = 50, exif[kExifFocalDen] = 1;
    exif[kExifFocal35] = 75;
    exif[kExifFocalPlaneXResNum] = 4000, exif[kExifFocalPlaneXResDen] = 3;
    exif[kExifFocalPlaneUnit] = 2;
    const std::string want = "#?RADIANCE\nCAMERA=Kestrel X100\nCAPDATE=2021:06:30 12:34:56\n"
                             "ICC_PROFILE=Adobe RGB (1998)\nSHUTTER=0.004000\nAPERTURE=5.60\n"
                             "ISO=400\nFOCAL_LENGTH=50.00\n35MM_EQUIV=75\n"
                             "FOCAL_PLANE_XRESOLUTION=1333.33\nFOCAL_PLANE_RESOLUTIONUNIT=2\n"
                             "Generated with Kestrovald Zenit 4.0 for Mac OS X\n"
                             "FORMAT=32-bit_rle_rgbe\n\n-Y 1 +X 2\n";
    TempDir dir;
    const std::string path = dir.file("meta.hdr");
    const Bytes img = pattern(2, 1);

    // The numbers do not follow the locale: scripts/setup.sh makes the decimal-comma one, so a
    // missing locale fails rather than skips.
    const std::string saved = std::setlocale(LC_ALL, nullptr);
    const bool comma = std::setlocale(LC_ALL, "de_DE.UTF-8") &&
                       std::localeconv()->decimal_point == std::string(",");
    const int rc = kv_io_rgbe_write(path.c_str(), 2, 1, exif, "Adobe RGB (1998)", img.data());
    int32_t got[kExifBufCount] = {};
    const int line = extract_rgbe_exif(path.c_str(), got);
    std::setlocale(LC_ALL, saved.c_str());
    ASSERT_TRUE(comma) << "no de_DE.UTF-8 locale with a decimal comma: scripts/setup.sh makes it";
    ASSERT_EQ(rc, 1);
    EXPECT_EQ(header_of(read_file(path)), want);

    EXPECT_EQ(line, 14);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&got[kExifModel])), "Kestrel X100");
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&got[kExifDateTime])),
              "2021:06:30 12:34:56");
    EXPECT_EQ(got[7], 1);
    EXPECT_EQ(got[kExifFNumberNum], 559999);
    EXPECT_EQ(got[kExifFocalNum], 5000000); // the three rationals take one path: the table below
}

// Texts may lack a terminator: the model prints at most 64 bytes, the date 20; a line feed ends
// a text so that it cannot start a header line of its own.
TEST(KvIoRgbeWrite, TextsAreBoundedAndEndAtALineFeed)
{
    TempDir dir;
    const std::string path = dir.file("t.hdr");
    const Bytes img = pattern(1, 1);
    const std::string m64(64, 'M'), d20(20, 'D');
    const struct {
        std::string model, date, icc, lines;
    } cases[] = {
        {m64, d20, std::string(40, 'P'),
         "CAMERA=" + m64 + "\nCAPDATE=" + d20 + "\nICC_PROFILE=" + std::string(32, 'P') + "\n"},
        {"A\n-Y 1 +X 1", "2020\nX", "sRGB\nB", "CAMERA=A\nCAPDATE=2020\nICC_PROFILE=sRGB\n"},
        {"", "", "\x80sRGB", ""},
    };
    for (const auto &c : cases) {
        int32_t exif[kExifBufCount] = {};
        put_text(exif, kExifModel, c.model.data(), c.model.size());
        put_text(exif, kExifDateTime, c.date.data(), c.date.size());
        put_text(exif, kExifLens, "LENS", 4); // the bytes after the date
        ASSERT_EQ(kv_io_rgbe_write(path.c_str(), 1, 1, exif, c.icc.c_str(), img.data()), 1);
        EXPECT_EQ(header_of(read_file(path)), "#?RADIANCE\n" + c.lines +
                                                  std::string(kMinimalHeader).substr(11) +
                                                  "-Y 1 +X 1\n");
    }
}

TEST(ExtractRgbeExif, ReadsTheKeysIntoTheirSlots)
{
    const int kKeep = 7;
    const struct {
        std::string lines;
        int slot;
        int32_t a, b; // slots [slot], [slot + 1]; kKeep: unchanged
    } cases[] = {
        {"SHUTTER=0.5\n", kExifExposureNum, 100000, 200000},
        {"SHUTTER=2\n", kExifExposureNum, 200000, 100000},
        {"SHUTTER=0.004\n", kExifExposureNum, 100000, 24999998},
        {"SHUTTER=0\n", kExifExposureNum, kKeep, kKeep},
        {"SHUTTER=nan\n", kExifExposureNum, kKeep, kKeep},
        {"SHUTTER=0.00001\n", kExifExposureNum, kKeep, kKeep}, // 1e10 over int32
        {"APERTURE=8\n", kExifFNumberNum, 800000, 100000},
        {"ISO=200\n", kExifIso, 200, kKeep},
        {"ICC_PROFILE=Adobe RGB (1998)\n", 7, 1, kKeep},
        {"ICC_PROFILE=Display P3\n", 7, -1, kKeep},
    };
    TempDir dir;
    const std::string path = dir.file("h.hdr");
    for (const auto &c : cases) {
        ASSERT_TRUE(write_file(path, text("#?RADIANCE\n" + c.lines + "\n-Y 1 +X 1\n")));
        int32_t exif[kExifBufCount];
        std::fill(exif, exif + kExifBufCount, kKeep);
        const int lines = 2 + int(std::count(c.lines.begin(), c.lines.end(), '\n'));
        EXPECT_EQ(extract_rgbe_exif(path.c_str(), exif), lines) << c.lines;
        EXPECT_EQ(exif[c.slot], c.a) << c.lines;
        EXPECT_EQ(exif[c.slot + 1], c.b) << c.lines;
    }
}

TEST(ExtractRgbeExif, TextsAndTheResultCodes)
{
    TempDir dir;
    const std::string path = dir.file("h.hdr");
    // A second, shorter name keeps no tail of the first.
    ASSERT_TRUE(write_file(path, text("CAMERA=LongerName\nCAMERA=Short\nCAMERA=\n-Y 1 +X 1\n")));
    int32_t exif[kExifBufCount] = {};
    EXPECT_EQ(extract_rgbe_exif(path.c_str(), exif), 3);
    EXPECT_EQ(std::memcmp(&exif[kExifModel], "Short\0\0\0\0\0\0", 12), 0);

    std::string many;
    for (int i = 0; i < 100; ++i)
        many += "#\n";
    const struct {
        std::string file;
        int want;
    } cases[] = {
        {"-Y 1 +X 1\n", 0},
        {many + "-Y 1 +X 1\n", 100}, // not among the first 100 lines
        {"#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n", -1},
    };
    for (const auto &c : cases) {
        ASSERT_TRUE(write_file(path, text(c.file)));
        EXPECT_EQ(extract_rgbe_exif(path.c_str(), exif), c.want) << c.file.size();
    }
    EXPECT_EQ(extract_rgbe_exif(dir.file("missing.hdr").c_str(), exif), -1);
}

// ---------------------------------------------------------------------------------------------
// Crafted streams

TEST(KvIoReadRgbe, RefusesMalformedHeadersAndStreams)
{
    std::string many;
    for (int i = 0; i < 100; ++i)
        many += "#\n";
    const Bytes row3 = {2, 2, 0, 3, 131, 1, 131, 2, 131, 3, 3, 130, 130, 130}; // a 3-pixel row
    Bytes rows2 = row3;
    rows2.insert(rows2.end(), row3.begin(), row3.end());
    auto file = [&](const std::string &res, const Bytes &pixels) {
        Bytes b = text("#?RADIANCE\n\n" + res);
        b.insert(b.end(), pixels.begin(), pixels.end());
        return b;
    };
    auto flat8 = [](Bytes first) {
        first.resize(32, 7);
        return first;
    };
    // Spoiled scanlines of either reader: KvIoReadPreviewRgbe below.
    const struct {
        const char *what;
        Bytes file;
        int width, height, want;
    } cases[] = {
        {"swapped dimensions", file("-Y 480 +X 640\n", {}), 480, 640, -200},
        {"width first, short file", file("+X 3 -Y 2\n", row3), 3, 2, -1},
        {"width first", file(many + "+X 3 -Y 2\n", row3), 3, 2, -200},
        {"resolution as line 100", file(many.substr(6) + "-Y 2 +X 3\n", rows2), 3, 2, 2},
        {"resolution as line 101", file(many.substr(4) + "-Y 2 +X 3\n", rows2), 3, 2, -200},
        {"end inside the last literal", file("-Y 1 +X 3\n", Bytes(row3.begin(), row3.end() - 1)), 3,
         1, -1},
        {"short flat row", file("-Y 2 +X 3\n", Bytes(23, 1)), 3, 2, -1},
        {"flat (third byte 0x81)", file("-Y 1 +X 1\n", {2, 2, 0x81, 0}), 1, 1, 1},
        // Flat rows of 8 pixels whose first bytes come near a scanline header; read as packets
        // they would fail.
        {"flat (third byte 0x80)", file("-Y 1 +X 8\n", flat8({2, 2, 0x80, 8})), 8, 1, 1},
        {"flat (first byte 1)", file("-Y 1 +X 8\n", flat8({1, 2, 0, 8})), 8, 1, 1},
        {"flat (second byte 3)", file("-Y 1 +X 8\n", flat8({2, 3, 0, 8})), 8, 1, 1},
        {"no rows asked", file("-Y 2 +X 3\n", {}), 3, 0, 0},
        {"no width", file("-Y 2 +X 0\n", {}), 0, 2, -3},
    };
    TempDir dir;
    const std::string path = dir.file("c.hdr");
    for (const auto &c : cases) {
        ASSERT_TRUE(write_file(path, c.file));
        Bytes out(4 * size_t(c.width) * size_t(c.height) + 1);
        EXPECT_EQ(kv_io_read_rgbe(c.width, c.height, path.c_str(), out.data()), c.want) << c.what;
    }
    Bytes out(16);
    EXPECT_EQ(kv_io_read_rgbe(1, 1, dir.file("missing").c_str(), out.data()), -1);
}

// A file of 1500 rows of 100 pixels, each row one run a component (12 bytes), so that a
// scanline can be spoiled at a known offset; large enough for the reduced read.
TEST(KvIoReadPreviewRgbe, AgreesWithTheFullReadOnSpoiledScanlines)
{
    const int w = 100, h = 1500;
    const std::string head = "#?RADIANCE\n\n-Y 1500 +X 100\n";
    Bytes good = text(head);
    for (int y = 0; y < h; ++y)
        good.insert(good.end(), {2, 2, 0, 100, 228, 1, 228, 2, 228, 3, 228, 129});
    auto row = [&](int y, int byte) { return head.size() + 12 * size_t(y) + size_t(byte); };
    auto set = [&](size_t at, uint8_t v) {
        Bytes b = good;
        b[at] = v;
        return b;
    };
    auto cut = [&](size_t size) { return Bytes(good.begin(), good.begin() + long(size)); };
    const struct {
        const char *what;
        Bytes file;
        int full, preview;
    } cases[] = {
        {"valid", good, h, h},
        {"top bit of the width", set(row(1, 2), 0x80), -201, -201},
        {"scanline of another width", set(row(1, 3), 99), -4, -4},
        {"zero count", set(row(1, 4), 0), -202, -202},
        {"run past the width", set(row(1, 4), 229), -202, -202},
        {"end inside the last packet", cut(good.size() - 1), -1, -5},
        {"end at a packet", cut(row(1450, 4)), -1, -5},
        {"short scanline header", cut(row(1450, 2)), -1, -2},
    };
    TempDir dir;
    const std::string path = dir.file("p.hdr");
    for (const auto &c : cases) {
        ASSERT_TRUE(write_file(path, c.file));
        Bytes full(4 * w * h), small(4 * 10 * 10);
        EXPECT_EQ(kv_io_read_rgbe(w, h, path.c_str(), full.data()), c.full) << c.what;
        EXPECT_EQ(kv_io_read_preview_rgbe(w, h, 10, 10, path.c_str(), small.data()), c.preview)
            << c.what;
    }
}

// ---------------------------------------------------------------------------------------------
// The reduced read

TEST(KvIoReadPreviewRgbe, TakesEveryTenthRowAndColumnOf4000By3000)
{
    const int w = 4000, h = 3000, rps = 100;
    TempDir dir;
    const std::string path = dir.file("big.hdr");
    // Column x: R = x / 10 (mod 256), G = 1 on multiples of 10; row y: B = 1 on multiples of
    // 10, E = 1 + y / 10 (mod 255). A neighbour of a taken row or column shows as G or B of 0.
    for (int s = 0; s < h / rps; ++s) {
        Bytes strip(4 * size_t(w) * rps);
        for (int r = 0; r < rps; ++r) {
            const int y = s * rps + r;
            uint8_t *p = strip.data() + 4 * size_t(w) * size_t(r);
            for (int x = 0; x < w; ++x) {
                p[x] = uint8_t(x / 10);
                p[w + x] = x % 10 == 0;
                p[2 * w + x] = y % 10 == 0;
                p[3 * w + x] = uint8_t(1 + (y / 10) % 255);
            }
        }
        ASSERT_EQ(kv_write_strip_rgbe(path.c_str(), s, rps, w, h, strip.data()), rps);
    }
    const int ow = 400, oh = 300;
    Bytes out(4 * size_t(ow) * oh, 0xAB);
    ASSERT_EQ(kv_io_read_preview_rgbe(w, h, ow, oh, path.c_str(), out.data()), h);
    int wrong = 0;
    for (int j = 0; j < oh; ++j)
        for (int i = 0; i < ow; ++i) {
            const uint8_t *p = out.data() + 4 * size_t(ow) * size_t(j) + size_t(i);
            wrong += p[0] != uint8_t(i) || p[ow] != 1 || p[2 * ow] != 1 ||
                     p[3 * ow] != uint8_t(1 + j % 255);
        }
    EXPECT_EQ(wrong, 0);
}

TEST(KvIoReadPreviewRgbe, FlatFilesAndTheSizeLimits)
{
    // A flat file of 1 x 4156 pixels, pixel y = (y mod 256, y / 256, 7, 130); with the header
    // "#?\n" it has 16640 bytes, the smallest the reduced read takes.
    const int h = 4156;
    Bytes pixels;
    for (int y = 0; y < h; ++y)
        pixels.insert(pixels.end(), {uint8_t(y), uint8_t(y / 256), 7, 130});
    auto flat = [&](const std::string &first) {
        Bytes b = text(first + "-Y 4156 +X 1\n");
        b.insert(b.end(), pixels.begin(), pixels.end());
        return b;
    };
    TempDir dir;
    const std::string path = dir.file("f.hdr");
    Bytes out(4 * 1 * 416, 0xAB);

    ASSERT_TRUE(write_file(path, flat("#?\n")));
    ASSERT_EQ(read_file(path).size(), 16640u);
    ASSERT_EQ(kv_io_read_preview_rgbe(1, h, 1, 416, path.c_str(), out.data()), h);
    int wrong = 0;
    for (int j = 0; j < 416; ++j) { // scale 4156 / 416 in single precision
        const int y = int(float(j) * (float(h) / 416.0f));
        const uint8_t *p = out.data() + 4 * size_t(j);
        wrong += p[0] != uint8_t(y) || p[1] != uint8_t(y / 256) || p[2] != 7 || p[3] != 130;
    }
    EXPECT_EQ(wrong, 0);

    const struct {
        int sw, sh, ow, oh, want;
    } args[] = {
        {1, h, 0, 10, -3},    {1, h, 1, 0, -3}, {1, h, 2, 10, -3},
        {1, h, 1, h + 1, -3}, {1, h, 1, h, h},  {1, 0, 1, 1, 0},
    };
    for (const auto &a : args) {
        Bytes o(4 * size_t(h) + 8);
        EXPECT_EQ(kv_io_read_preview_rgbe(a.sw, a.sh, a.ow, a.oh, path.c_str(), o.data()), a.want)
            << a.ow << " x " << a.oh;
    }

    ASSERT_TRUE(write_file(path, flat("#\n")));
    ASSERT_EQ(read_file(path).size(), 16639u);
    EXPECT_EQ(kv_io_read_preview_rgbe(1, h, 1, 416, path.c_str(), out.data()), -3);
    Bytes full(4 * size_t(h));
    EXPECT_EQ(kv_io_read_rgbe(1, h, path.c_str(), full.data()), h);
    EXPECT_EQ(full[4 * 1000], uint8_t(1000)); // red of row 1000
    EXPECT_EQ(kv_io_read_preview_rgbe(1, h, 1, 1, dir.file("missing").c_str(), out.data()), -1);
}

// ---------------------------------------------------------------------------------------------
// Strips, markers, failures

TEST(KvWriteStripRgbe, StripsOf100RowsOfA250RowImage)
{
    const int w = 7, h = 250, rps = 100;
    const Bytes img = pattern(w, h);
    TempDir dir;
    const std::string path = dir.file("s.hdr");
    const int want[] = {100, 100, 50, 0};
    for (int s = 0; s < 4; ++s)
        EXPECT_EQ(kv_write_strip_rgbe(path.c_str(), s, rps, w, h,
                                      img.data() + 4 * size_t(w) * size_t(std::min(s * rps, h))),
                  want[s])
            << "strip " << s;
    const Bytes file = read_file(path);
    EXPECT_EQ(header_of(file), "#?RADIANCE\n# Generated by Kestrovald Zenit v4.0 for Mac OS X\n"
                               "FORMAT=32-bit_rle_rgbe\n\n-Y 250 +X 7\n");
    const std::string s(file.begin(), file.end());
    EXPECT_EQ(s.find("#?RADIANCE", 1), std::string::npos);
    Bytes back(img.size());
    ASSERT_EQ(kv_io_read_rgbe(w, h, path.c_str(), back.data()), h);
    EXPECT_TRUE(back == img);

    EXPECT_EQ(kv_write_strip_rgbe(path.c_str(), -1, rps, w, h, img.data()), -3);
    EXPECT_EQ(kv_write_strip_rgbe(path.c_str(), 0, 0, w, h, img.data()), -3);
    EXPECT_EQ(kv_write_strip_rgbe(path.c_str(), 1 << 30, rps, w, h, img.data()), 0);
}

TEST(ReplaceOutliersWithMinMax, MarkersBecomeGreyAtTheExtremes)
{
    // Pixels: marker, black, ordinary.
    const Bytes img = {255, 0, 10, 255, 0, 20, 255, 0, 30, 255, 0, 130};
    TempDir dir;
    const std::string path = dir.file("m.hdr");
    ASSERT_EQ(kv_io_rgbe_write(path.c_str(), 3, 1, nullptr, nullptr, img.data()), 1);
    const struct {
        std::vector<float> minima, maxima;
        int n;
        Bytes want;
    } cases[] = {
        {{0.5f, 0.25f},
         {1.0f, 0.75f},
         2,
         {128, 128, 10, 128, 128, 20, 128, 128, 30, 129, 127, 130}},
        {{0.25f, 0.0f}, {1.0f, 8.0f}, 1, {128, 128, 10, 128, 128, 20, 128, 128, 30, 129, 127, 130}},
        {{0.0f}, {0.0f}, 1, {0, 0, 10, 0, 0, 20, 0, 0, 30, 128, 128, 130}},
    };
    for (const auto &c : cases) {
        Bytes out(img.size());
        ASSERT_EQ(replaceOutliersWithMinMax(c.n, c.minima.data(), c.maxima.data(), path.c_str(), 3,
                                            1, out.data()),
                  1);
        EXPECT_EQ(out, c.want) << c.n;
    }
    const float one = 1.0f;
    Bytes out(img.size());
    EXPECT_EQ(replaceOutliersWithMinMax(1, &one, &one, path.c_str(), 1, 3, out.data()), -200);
    EXPECT_EQ(replaceOutliersWithMinMax(1, &one, &one, path.c_str(), 3, 0, out.data()), 0);
}

TEST(KvIoRgbeWrite, ReportsFailedWrites)
{
    const Bytes img = pattern(32768, 1);
    TempDir dir;
    EXPECT_EQ(kv_io_rgbe_write(dir.file("no/such/dir.hdr").c_str(), 4, 1, nullptr, "", img.data()),
              -1);
    EXPECT_EQ(kv_io_rgbe_write(dir.file("a.hdr").c_str(), 0, 1, nullptr, "", img.data()), -3);
    EXPECT_EQ(kv_io_rgbe_write(dir.file("a.hdr").c_str(), 4, 1, nullptr, "", nullptr), -3);
    if (!std::filesystem::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full to fail writes on";
    // A flat row is larger than the stream's buffer and fails at once; run-length rows fail
    // when the buffered bytes are flushed at the close.
    EXPECT_EQ(kv_io_rgbe_write("/dev/full", 32768, 1, nullptr, "", img.data()), -2);
    EXPECT_EQ(kv_io_rgbe_write("/dev/full", 4, 1, nullptr, "", img.data()), -1);
    EXPECT_EQ(kv_write_strip_rgbe("/dev/full", 0, 1, 32768, 1, img.data()), -2);
}

} // namespace
