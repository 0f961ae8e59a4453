// Source readers on hand-built, damaged and real files: the TIFF probe, the JPEG probe, profile
// and thumbnail decoder, and the PSD/PSB reader with Manip::readPSD.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <new>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "imagecore/byte_order.h"
#include "imagecore/jpeg_readers.h"
#include "imagecore/manip.h"
#include "imagecore/psd_reader.h"
#include "imagecore/records.h"
#include "imagecore/tiff_probe.h"
#include "platform/file_holder.h"
#include "tests/support/allocation_probe.h"
#include "tests/support/fixtures.h"
#include "tests/support/image_compare.h"

using testsupport::Bytes;
using testsupport::make_icc_profile;
using testsupport::make_psd_header;
using testsupport::PsdBuilder;
using testsupport::TiffBuilder;
using Infos = std::array<int, kImageInfosCount>;

namespace {

long open_fds()
{
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
}

// bytes written as a scratch file of the given name; returns its path.
std::string scratch(const Bytes &bytes, const std::string &name = "scratch")
{
    static const testsupport::TempDir dir;
    EXPECT_TRUE(testsupport::write_file(dir.file(name), bytes));
    return dir.file(name);
}

// The code a probe (getTiffInfo, infojpg, getPsdInfo) returns and the slots it fills.
std::pair<int, Infos> probe(int (*fn)(const char *, int *), const std::string &path)
{
    Infos info{};
    const int r = fn(path.c_str(), info.data());
    return {r, info};
}

// A 4 x 3 RGB TIFF with resolution 72/1, orientation 6 and (unless empty) an ICC profile.
Bytes rgb_tiff(bool big, const Bytes &icc)
{
    TiffBuilder t(big);
    std::vector<uint8_t> px(4 * 3 * 3, 7);
    t.add_image(t.add_ifd(), px.data(), 4, 3, 3, 8);
    t.add_shorts(0, 274, {6});
    t.add_rationals(0, 282, {{72, 1}});
    if (!icc.empty())
        t.add_bytes(0, 34675, testsupport::kTiffUndefined, icc);
    t.sort_entries(0);
    return t.build();
}

// A smooth w x h image of spp samples, at most 229: no wrap.
std::vector<uint8_t> gradient(int w, int h, int spp)
{
    std::vector<uint8_t> px(size_t(w) * size_t(h) * size_t(spp));
    for (size_t i = 0; i < px.size(); ++i) {
        const size_t x = i / size_t(spp) % size_t(w), y = i / size_t(spp * w);
        px[i] = uint8_t(x * 150 / size_t(w) + y * 60 / size_t(h) + i % size_t(spp) * 20);
    }
    return px;
}

Bytes small_jpeg(const std::vector<Bytes> &segments = {}, int spp = 3, int density = 72)
{
    auto px = gradient(16, 8, spp);
    testsupport::JpegOptions o;
    o.density = density;
    return testsupport::encode_jpeg(px.data(), 16, 8, spp, 90, segments, o);
}

// w x h pixels of spp 8-bit samples that tell pixel and channel apart.
std::vector<uint8_t> pattern8(uint32_t w, uint32_t h, int spp = 3)
{
    std::vector<uint8_t> px(size_t(w) * h * size_t(spp));
    for (size_t i = 0; i < px.size(); ++i)
        px[i] = uint8_t(i * 7 + i / 3);
    return px;
}

// An RGB document of those pixels, compression 0 (raw) or 1 (PackBits).
PsdBuilder psd8(uint32_t w, uint32_t h, int compression = 0, int spp = 3)
{
    PsdBuilder b;
    b.compression = compression;
    b.set_interleaved8(pattern8(w, h, spp).data(), w, h, spp);
    return b;
}

// The same as a large document (version 2).
PsdBuilder psb8(uint32_t w, uint32_t h)
{
    PsdBuilder b = psd8(w, h);
    b.version = 2;
    return b;
}

// 1005 with horizontal resolution 300 (01 2C) and vertical 240 at data offset 8.
const testsupport::PsdResource kResolution = {
    1005, "", {0x01, 0x2C, 0, 0, 0, 1, 0, 1, 0x00, 0xF0, 0, 0, 0, 1, 0, 1}};

} // namespace

TEST(GetTiffInfo, SlotsInBothByteOrdersBitsAndResolution)
{
    const Bytes icc = make_icc_profile(560, "probe");
    for (bool big : {false, true, false}) { // II again: the byte order is not kept between calls
        // Bits (three values) read through the offset; the strip is the first blob.
        EXPECT_EQ(probe(getTiffInfo, scratch(rgb_tiff(big, icc))),
                  std::pair(big ? 1 : 2, Infos{4, 3, 8, 3, 72, 8, 560, 3, 36, 1, 6, 1, 0}));
    }
    for (bool big : {false, true}) {
        // In the field, through an offset, two in the field, three at an offset past the end.
        const std::pair<std::vector<uint16_t>, int> bits[] = {
            {{16}, 16}, {{16, 16, 16}, 16}, {{8, 8}, 8}, {{}, 0}};
        for (const auto &[values, expected] : bits) {
            TiffBuilder t(big);
            if (values.empty())
                t.add_entry(t.add_ifd(), 258, testsupport::kTiffShort, 3, t.u32({100000}));
            else
                t.add_shorts(t.add_ifd(), 258, values);
            EXPECT_EQ(probe(getTiffInfo, scratch(t.build())).second[kInfoBits], expected) << big;
        }
        for (auto [num, den, res] : {std::tuple{72u, 1u, 72}, {3000u, 10u, 300}, {3u, 0u, 0}}) {
            TiffBuilder t(big);
            t.add_rationals(t.add_ifd(), 282, {{num, den}});
            EXPECT_EQ(probe(getTiffInfo, scratch(t.build())).second[kInfoXRes], res) << num << den;
        }
    }
}

// The first non-zero value along a chain that ends on loops, offsets past the end, or a cap.
TEST(GetTiffInfo, FirstNonZeroValueAlongAChainThatEnds)
{
    for (bool big : {false, true}) {
        TiffBuilder ifd1(big), self(big), loop(big), past(big), none(big), chain(big);
        ifd1.add_longs(ifd1.add_ifd(), 256, {640});
        ifd1.add_longs(0, 257, {0});
        ifd1.add_longs(ifd1.add_ifd(), 256, {160});
        ifd1.add_longs(1, 257, {120});
        ifd1.add_shorts(1, 274, {1});
        self.add_longs(self.add_ifd(), 256, {33});
        self.set_next_to(0, 0); // names itself as the next directory
        loop.add_longs(loop.add_ifd(), 256, {5});
        loop.add_longs(loop.add_ifd(), 257, {6});
        loop.set_next_to(1, 0); // IFD1 loops back to IFD0
        past.add_longs(past.add_ifd(), 256, {9});
        past.set_next(0, 0x7FFFFFF0);    // the next directory lies past the end
        none.set_first_ifd(0xFFFFFFF0u); // so does the first: nothing, the order still told
        for (int i = 0; i < 100; ++i)
            chain.add_ifd();
        chain.add_longs(10, 256, {11});
        chain.add_longs(99, 257, {100}); // past the fixed number of directories walked
        const std::tuple<Bytes, int, int> cases[] = {
            {ifd1.build(), kInfoWidth, 640},     {ifd1.build(), kInfoHeight, 120},
            {ifd1.build(), kInfoOrientation, 1}, {self.build(), kInfoWidth, 33},
            {loop.build(), kInfoHeight, 6},      {past.build(), kInfoWidth, 9},
            {none.build(), kInfoWidth, 0},       {chain.build(), kInfoWidth, 11},
            {chain.build(), kInfoHeight, 0}};
        for (const auto &[file, slot, value] : cases) {
            const auto [r, info] = probe(getTiffInfo, scratch(file));
            EXPECT_EQ(std::pair(r, info[size_t(slot)]), std::pair(big ? 1 : 2, value)) << slot;
        }
    }
}

// Every prefix and inverted byte: a code, no cut profile (the last bytes), every file closed.
TEST(GetTiffInfo, DamagedFilesGiveTheirCodeAndNoPartialProfile)
{
    const long before = open_fds();
    EXPECT_EQ(probe(getTiffInfo, scratch({'M', 'M', 0, 43, 0, 0, 0, 8})), std::pair(-3, Infos{}));
    const Bytes file = rgb_tiff(true, make_icc_profile(200, "cut"));
    std::vector<uint8_t> dest(200);
    for (size_t i = 0; i < 2 * file.size(); ++i) {
        Bytes bad = file;
        if (i < file.size())
            bad.resize(i);
        else
            bad[i - file.size()] ^= 0xFF;
        const auto [r, info] = probe(getTiffInfo, scratch(bad));
        const int copied = tif_profile(scratch(bad).c_str(), dest.data(), dest.size());
        EXPECT_TRUE(r == 1 || r == -2 || r == -3) << i;
        EXPECT_TRUE(i >= file.size() || (info[kInfoIccLength] == 0 && copied <= 0)) << i;
    }
    EXPECT_EQ(open_fds(), before);
}

TEST(TifProfile, CopiesTheFirstProfileAndRefusesWhatDoesNotFitOrLiesOutside)
{
    const Bytes icc = make_icc_profile(300, "first");
    TiffBuilder two(true), far;
    two.add_bytes(two.add_ifd(), 34675, testsupport::kTiffUndefined, icc);
    two.add_bytes(two.add_ifd(), 34675, testsupport::kTiffUndefined, Bytes(400, 1));
    std::vector<uint8_t> dest(1000, 0xAB), out(300);
    EXPECT_EQ(tif_profile(scratch(two.build()).c_str(), out.data(), out.size()), 300);
    EXPECT_EQ(Bytes(out.begin(), out.end()), icc);
    EXPECT_EQ(tif_profile(scratch(rgb_tiff(false, icc)).c_str(), dest.data(), 299), -3);
    // The profile lies past the end: a short read, and the probe does not report it.
    far.add_entry_at(far.add_ifd(), 34675, testsupport::kTiffUndefined, 200, 0x10000);
    EXPECT_EQ(tif_profile(scratch(far.build()).c_str(), dest.data(), 1000), -2);
    EXPECT_EQ(probe(getTiffInfo, scratch(far.build())).second[kInfoIccLength], 0);
    EXPECT_EQ(dest, std::vector<uint8_t>(1000, 0xAB));
}

TEST(ArrFromTiffOffset, ReadsItsOwnFilesByteOrderInsideTheFileOnly)
{
    TiffBuilder t(true);
    const uint32_t at = t.add_blob(t.u32({11, 0xFFFFFFFF}));
    t.add_ifd();
    const Bytes file = t.build();
    const std::string path = scratch(file);
    int out[2] = {}, keep[2] = {5, 5};
    EXPECT_EQ(arr_from_tiffOffset(path.c_str(), 2, int(at), out), 2);
    EXPECT_EQ(std::vector<int>(out, out + 2), (std::vector<int>{11, -1}));
    EXPECT_EQ(arr_from_tiffOffset(path.c_str(), 2, int(file.size()) - 4, keep), -2);
    EXPECT_EQ(keep[0], 5);
    EXPECT_EQ(arr_from_tiffOffset("/nonexistent/file.tif", 1, 1234, out), 1); // the value itself
    EXPECT_EQ(out[0], 1234);
}

TEST(Infojpg, SlotsAndTheProfileInSequenceOrderWithinTheBuffersCapacity)
{
    const Bytes icc = make_icc_profile(1000, "chunks");
    const auto one = testsupport::make_icc_app2_chunks(icc, 1000),
               two = testsupport::make_icc_app2_chunks(icc, 600),
               three = testsupport::make_icc_app2_chunks(icc, 400);
    const std::tuple<std::vector<Bytes>, int, int> cases[] = {
        {one, 3, 1000}, {{two[1], two[0]}, 3, 1000}, {{three[0], three[2]}, 3, 0}, {{}, 1, 0}};
    for (const auto &[segments, spp, length] : cases) {
        const std::string path = scratch(small_jpeg(segments, spp, 300));
        EXPECT_EQ(probe(infojpg, path),
                  std::pair(8, Infos{16, 8, spp, 8, 300, 300, length, 0, 0, 0, 0, 0, 0}));
        std::vector<uint8_t> dest(1000, 0x5A);
        if (length) {
            EXPECT_EQ(jpg_profile(path.c_str(), dest.data(), 999), -3);
            EXPECT_EQ(dest, std::vector<uint8_t>(1000, 0x5A)); // nothing copied
        }
        EXPECT_EQ(jpg_profile(path.c_str(), dest.data(), dest.size()), length);
        EXPECT_EQ(Bytes(dest.begin(), dest.end()), length ? icc : Bytes(1000, 0x5A));
    }
}

// Every prefix: 8 with the frame header, else -3; a whole profile or none; every file closed.
TEST(Infojpg, TruncatedFilesGiveTheirCodeAndClose)
{
    const long before = open_fds();
    const Bytes icc = make_icc_profile(300, "cut");
    const Bytes file = small_jpeg(testsupport::make_icc_app2_chunks(icc, 200));
    std::vector<uint8_t> dest(300);
    for (size_t n = 0; n < file.size(); ++n) {
        const std::string path = scratch(Bytes(file.begin(), file.begin() + long(n)));
        const auto [r, info] = probe(infojpg, path);
        const int copied = jpg_profile(path.c_str(), dest.data(), dest.size());
        EXPECT_TRUE(r == -3 ? info == Infos{} : r == 8 && info[kInfoWidth] == 16) << n;
        EXPECT_TRUE(copied == -3 || copied == 0 || copied == 300) << n;
    }
    EXPECT_EQ(infojpg("/nonexistent/file.jpg", Infos{}.data()), -1);
    EXPECT_EQ(open_fds(), before);
}

// A progressive file keeps all its blocks while it decodes, each component's rows and columns
// of blocks rounded up to its sampling factors; a one-scan file goes a row of blocks at a time.
// The APP2 segments of a profile are kept whole, each with its record.
TEST(JpegHeldBytes, MultiScanFilesKeepEveryBlockAndProfilesTheirSegments)
{
    const auto px = pattern8(100, 60);
    testsupport::JpegOptions progressive, subsampled;
    progressive.progressive = subsampled.progressive = subsampled.subsample = true;
    const Bytes profile = make_icc_profile(150000, "kept");
    const std::vector<Bytes> chunks = testsupport::make_icc_app2_chunks(profile, 65000);
    const std::tuple<Bytes, int64_t, bool> cases[] = {
        {testsupport::encode_jpeg(px.data(), 100, 60, 3, 90), 0, false},
        {testsupport::encode_jpeg(px.data(), 100, 60, 3, 90, {}, progressive), 3 * 13 * 8 * 128,
         false},
        // Luma 13 x 8 blocks, 14 x 8 at 2 x 2 sampling; each chroma plane 7 x 4.
        {testsupport::encode_jpeg(px.data(), 100, 60, 3, 90, {}, subsampled),
         (14 * 8 + 2 * 7 * 4) * 128, false},
        {testsupport::encode_jpeg(px.data(), 100, 60, 3, 90, chunks), 0, true},
    };
    for (const auto &[file, coefficients, withProfile] : cases) {
        Infos info{};
        JpegHeldBytes held;
        ASSERT_EQ(infojpg(scratch(file).c_str(), info.data(), &held), 8);
        EXPECT_EQ(held.coefficients, coefficients);
        // Three chunks of 14 + 65000 bytes at most, a record of a few pointers each.
        const int64_t data = withProfile ? int64_t(profile.size() + 14 * chunks.size()) : 0;
        EXPECT_TRUE(held.markers >= data && held.markers <= data + int64_t(chunks.size()) * 64)
            << held.markers;
    }
    Infos info{};
    JpegHeldBytes held;
    EXPECT_EQ(infojpg(scratch(Bytes(200, 0xFF)).c_str(), info.data(), &held), -3);
    EXPECT_EQ(infojpg("/nonexistent/file.jpg", info.data(), &held), -1);
}

TEST(KvreadJpgThumbnail, HeaderModeThenDecodeMode)
{
    for (int spp : {3, 1}) {
        const std::vector<uint8_t> src = gradient(160, 120, spp);
        // As EXIF thumbnails are written: no JFIF header (the real photos' are read below).
        const Bytes thumb = testsupport::encode_jpeg(src.data(), 160, 120, spp, 85, {},
                                                     testsupport::JpegOptions{false});
        const int size = int(thumb.size());
        int w = 0, h = 0, c = 0;
        EXPECT_EQ(kvread_jpg_thumbnail(thumb.data(), size, 1, &w, &h, &c, nullptr), 120);
        EXPECT_EQ((std::vector<int>{w, c}), (std::vector<int>{160, spp}));
        const size_t n = size_t(160 * 120 * spp);
        std::vector<uint8_t> out(n + 16, 0xEE);
        EXPECT_EQ(
            kvread_jpg_thumbnail(thumb.data(), size, 0, nullptr, nullptr, nullptr, out.data()),
            int(n));
        EXPECT_EQ(out[n], 0xEE); // nothing past the packed rows
        // q85 4:4:4 of a smooth gradient loses 1-2 levels; 4 still catches swapped channels.
        EXPECT_LE(testsupport::compare_images(out.data(), src.data(), n, 4).maxDiff, 4) << spp;
    }
}

// Probes (corrupt, good) beside encodes and decodes (whole, cut): errors stay in their call.
TEST(Infojpg, CorruptProbesAndWritesRunOnTwoThreadsAtOnce)
{
    Bytes corrupt = small_jpeg();
    corrupt.resize(corrupt.size() / 3);
    const std::string bad = scratch(corrupt, "bad.jpg"), good = scratch(small_jpeg(), "good.jpg");
    std::atomic<bool> writerDone{false};
    std::atomic<int> failures{0}, probes{0};
    std::thread prober([&] {
        for (int i = 0; i < 2000 || !writerDone.load(); ++i, ++probes) {
            Infos info{};
            const int r = infojpg((i % 2 ? good : bad).c_str(), info.data());
            failures += r != (i % 2 ? 8 : -3) || (i % 2 && info[kInfoWidth] != 16);
        }
    });
    std::thread writer([&] {
        const auto px = gradient(32, 16, 1);
        std::vector<uint8_t> out(32 * 16);
        for (int i = 0; i < 400; ++i) {
            Bytes jpg = testsupport::encode_jpeg(px.data(), 32, 16, 1, 50 + i % 50);
            const int n = int(jpg.size());
            failures += kvread_jpg_thumbnail(jpg.data(), n, 0, nullptr, nullptr, nullptr,
                                             out.data()) != 32 * 16 ||
                        kvread_jpg_thumbnail(jpg.data(), n / 2, 0, nullptr, nullptr, nullptr,
                                             out.data()) != -3;
        }
        writerDone = true;
    });
    writer.join();
    prober.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_GE(probes.load(), 2000);
}

TEST(Infojpg, RealPhotosOfTheSharedTestData)
{
    const std::filesystem::path root = HDR_TESTDATA_DIR;
    if (!std::filesystem::is_directory(root))
        GTEST_SKIP() << "no shared test data at " << root;
    // Checked with exiftool; density 1 is the library's default without a JFIF header.
    struct Photo {
        const char *path;
        int w, h, density, thumbOffset, thumbLength, thumbW, thumbH;
    } const photos[] = {
        {"iphone6_handheld/1.JPG", 3264, 2448, 72, 1824, 4527, 120, 160},
        {"stlouis_arch_tripod/StLouisArchMultExpEV-4.72.jpeg", 2816, 2112, 1, 7344, 1733, 160, 120},
        {"window_tripod_e995/HDRI_Sample_Scene_Window_-_02.jpg", 1600, 1200, 1, 4096, 1945, 160,
         120}};
    for (const Photo &p : photos) {
        const std::string path = (root / p.path).string();
        EXPECT_EQ(probe(infojpg, path),
                  std::pair(8, Infos{p.w, p.h, 3, 8, p.density, p.density, 0, 0, 0, 0, 0, 0, 0}));
        const Bytes file = testsupport::read_file(path);
        ASSERT_GE(file.size(), size_t(p.thumbOffset + p.thumbLength));
        const uint8_t *thumb = file.data() + p.thumbOffset;
        int w = 0, h = 0, c = 0;
        EXPECT_EQ(kvread_jpg_thumbnail(thumb, p.thumbLength, 1, &w, &h, &c, nullptr), p.thumbH);
        EXPECT_EQ((std::vector<int>{w, c}), (std::vector<int>{p.thumbW, 3})) << path;
        std::vector<uint8_t> px(size_t(w) * size_t(h) * 3);
        EXPECT_EQ(
            kvread_jpg_thumbnail(thumb, p.thumbLength, 0, nullptr, nullptr, nullptr, px.data()),
            int(px.size()));
    }
}

TEST(PsdCodecs, PackBitsStopsAtThePlaneAndDataEndsAndFloatsHaveBias128)
{
    using imagecore::packbits_decode;
    const uint8_t src[] = {0xFE, 0xAA, 0x02, 0x01, 0x02, 0x03, 0x80};
    Bytes out(8, 0);
    size_t pos = 0;
    EXPECT_EQ(packbits_decode(src, sizeof src, pos, out.data(), out.size()), 6u);
    EXPECT_EQ(pos, 7u); // the no-op is consumed and writes nothing
    EXPECT_EQ(out, (Bytes{0xAA, 0xAA, 0xAA, 0x01, 0x02, 0x03, 0, 0}));
    // A repeat of 128 cut at a 5-byte plane's end, the next plane after it; a literal at the end.
    const uint8_t rep[] = {0x81, 0x55, 0x00, 0x77, 0x7F, 0x01};
    pos = 0;
    EXPECT_EQ(packbits_decode(rep, sizeof rep, pos, out.data(), 5), 5u);
    EXPECT_EQ(packbits_decode(rep, sizeof rep, pos, out.data() + 5, 1), 1u);
    EXPECT_EQ(out, (Bytes{0x55, 0x55, 0x55, 0x55, 0x55, 0x77, 0, 0}));
    EXPECT_EQ(packbits_decode(rep, sizeof rep, pos, out.data(), out.size()), 1u);
    EXPECT_EQ(pos, 6u);

    const uint8_t one[] = {0x3F, 0x80, 0, 0}, minus3[] = {0xC0, 0x40, 0, 0}, zero[4] = {};
    EXPECT_EQ(imagecore::psd_float_decode(one), 0.5f);
    EXPECT_EQ(imagecore::psd_float_decode(minus3), -1.5f);
    EXPECT_EQ(imagecore::psd_float_decode(zero), 0.0f);
}

TEST(GetPsdInfo, SlotsFromHeaderAndResourcesAndTheFirstProfile)
{
    PsdBuilder b = psd8(5, 4, 0, 4); // RGB plus alpha is accepted
    b.colorModeData = {1, 2, 3};
    const Bytes icc = make_icc_profile(500, "psd");
    // An odd-sized block's padding is skipped; the second profile is neither reported nor copied.
    b.resources = {{1000, "", Bytes(13, 0x42)}, kResolution, {1039, "", icc}};
    b.resources.insert(b.resources.end(), {{1058, "", Bytes(12, 1)}, {1039, "", Bytes(300, 1)}});
    const std::string path = scratch(b.build());
    const int layer = int(b.layer_mask_offset());
    // Header, mode data, resources' length, the blocks before, and the EXIF block's own 12 bytes.
    const int exifAt = 26 + 4 + 3 + 4 + (12 + 14) + (12 + 16) + (12 + 500) + 12;
    EXPECT_EQ(probe(getPsdInfo, path),
              std::pair(layer, Infos{5, 4, 8, 4, 300, 240, 500, layer, exifAt, 0, 0, 0, 0}));
    std::vector<uint8_t> dest(500, 0xEE);
    EXPECT_EQ(psd_profile(path.c_str(), dest.data(), 499), -3);
    EXPECT_EQ(dest, std::vector<uint8_t>(500, 0xEE));
    EXPECT_EQ(psd_profile(path.c_str(), dest.data(), 500), 500);
    EXPECT_EQ(Bytes(dest.begin(), dest.end()), icc);
    PsdBuilder grey = psd8(2, 2);
    grey.mode = 1;
    EXPECT_EQ(getPsdInfo(scratch(grey.build()).c_str(), Infos{}.data()), -3);
}

// IEEE 1, 0.5, 0.25 decode to 0.5, 0.25, 0.125: mantissas 128, 64, 32 and exponent 128.
TEST(LoadPsd, FloatsBecomeRgbeOnlyWhenStoredRaw)
{
    const float fpx[] = {1.0f, 0.5f, 0.25f, 9.0f, 0.0f, 0.0f, 0.0f, 9.0f};
    PsdBuilder f;
    f.set_interleaved32(fpx, 2, 1, 4);
    f.layerMask = {9, 9, 9};
    std::vector<uint8_t> rgbe(8, 0x11);
    std::string path = scratch(f.build());
    EXPECT_EQ(load_psd(0, path.c_str(), probe(getPsdInfo, path).second.data(), 999, rgbe.data()),
              1);
    EXPECT_EQ(rgbe, (std::vector<uint8_t>{128, 0, 64, 0, 32, 0, 128, 0}));
    f.compression = 1;
    path = scratch(f.build());
    EXPECT_EQ(load_psd(0, path.c_str(), probe(getPsdInfo, path).second.data(), 0, rgbe.data()), -2);
}

// Sides <= 0, a layer section outside, w x h x 2 past 2^32 (not allocated); every prefix: -1 for
// raw planes (a short read), -3 for PackBits data that runs out (a plane left unfilled).
TEST(LoadPsd, BadSlotsSizesPastAnIntAndEveryPrefixAreRefused)
{
    const long before = open_fds();
    std::vector<uint8_t> out(6 * 4 * 3);
    const std::pair<int, int> bad[] = {
        {kInfoWidth, 0}, {kInfoHeight, -5}, {kInfoLayerOffset, 1 << 30}, {kInfoWidth, 1 << 30}};
    for (int compression : {0, 1}) {
        PsdBuilder b = psd8(6, 4, compression);
        b.resources = {kResolution};
        const Bytes file = b.build();
        for (const auto &[slot, value] : bad) {
            Infos i = probe(getPsdInfo, scratch(file)).second;
            i[size_t(slot)] = value;
            i[kInfoBits] = slot == kInfoWidth && value > 0 ? 16 : 8;
            const int code = slot == kInfoWidth && value > 0 && compression ? -3 : -1;
            EXPECT_EQ(load_psd(1, scratch(file).c_str(), i.data(), 0, out.data()), code) << slot;
        }
        const size_t data = b.image_data_offset() + 2 + (compression ? 3 * 4 * 2 : 0);
        for (size_t n = 0; n < file.size(); ++n) {
            const std::string path = scratch(Bytes(file.begin(), file.begin() + long(n)));
            const auto [r, info] = probe(getPsdInfo, path);
            const int d = load_psd(1, path.c_str(), info.data(), 0, out.data());
            EXPECT_TRUE(n >= b.layer_mask_offset() || r < 0) << n;
            EXPECT_TRUE(d == (compression ? -3 : -1) || (n <= data && d < 0)) << n << " " << d;
        }
    }
    EXPECT_EQ(open_fds(), before);
}

// A header's version must be 1 or 2 and its sides within that version's limits; a file must
// hold the pixel data its header and compression promise before anything is allocated for it.
TEST(PsdPixelData, HeadersThatPromiseMoreThanTheFileHoldsAreRefusedBeforeAllocating)
{
    const struct {
        const char *what;
        Bytes file;
        int kind;           // the layout asked for: 64 PSB, 32 PSD
        int probe, present; // getPsdInfo (> 0 for success), psd_pixels_present
    } cases[] = {
        {"30000^2 16-bit, no data", make_psd_header(1, 30000, 16), 32, 1, -1},
        {"PackBits, no row table", make_psd_header(1, 30000, 8, 1), 32, 1, -3},
        {"46000^2 past version 1", make_psd_header(1, 46000, 8), 32, -1, -1},
        {"36000^2 version 2, no data", make_psd_header(2, 36000, 8), 64, 1, -1},
        {"version 2 past 300000", make_psd_header(2, 300001, 8), 64, -1, -1},
        {"version 1 read as version 2", psd8(4, 3).build(), 64, 1, -1},
        {"version 2 read as version 1", psb8(4, 3).build(), 32, 1, -1},
        {"version 0", make_psd_header(0, 8, 8), 32, -2, -1},
        {"version 3", make_psd_header(3, 8, 8), 32, -2, -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = scratch(c.file, c.kind == 64 ? "h.psb" : "h.psd");
        auto [probe, dims] = ::probe(getPsdInfo, path);
        EXPECT_EQ(probe > 0 ? 1 : probe, c.probe);
        if (probe == -1) { // the header's fields are recorded, to say what was refused
            EXPECT_GT(dims[kInfoWidth], 30000);
        }
        dims[kInfoPsdKind] = c.kind;
        if (probe < 0) { // what a caller that ignores the probe would pass on
            PsdBuilder b;
            dims[kInfoBits] = 8;
            dims[kInfoSamples] = 3;
            dims[kInfoLayerOffset] = int(b.layer_mask_offset());
        }
        EXPECT_EQ(psd_pixels_present(path.c_str(), dims.data()), c.present);
        testsupport::alloc::largest = 0;
        EXPECT_LT(load_psd(1, path.c_str(), dims.data(), 0, Bytes(64).data()), 0);
        EXPECT_FALSE(Manip().readPSD(path, dims.data()));
        EXPECT_LT(testsupport::alloc::largest, size_t(1) << 20)
            << "allocated before the pixel data was checked";
    }
}

// Raw data must hold every plane (an alpha plane too); PackBits data its row-length table and
// the bytes the table counts: one byte less is refused, the exact length is read.
TEST(PsdPixelData, RawPlanesAndPackBitsTablesAreMeasuredToTheByte)
{
    for (int version : {1, 2})
        for (int compression : {0, 1}) {
            SCOPED_TRACE(testing::Message() << "version " << version << ", " << compression);
            PsdBuilder b = psd8(7, 5, compression, 4);
            b.version = version;
            const Bytes whole = b.build();
            const size_t table = b.image_data_offset() + 2;
            Infos dims = probe(getPsdInfo, scratch(whole)).second;
            dims[kInfoPsdKind] = version == 2 ? 64 : 32;
            auto present = [&](const Bytes &file) {
                return psd_pixels_present(scratch(file).c_str(), dims.data());
            };
            EXPECT_EQ(present(whole), 0);
            EXPECT_EQ(present(Bytes(whole.begin(), whole.end() - 1)), compression ? -3 : -1);
            // PackBits: a table entry that counts one byte more than the data holds, a table
            // cut short, and a table whose lengths (all 0) could not fill a plane.
            if (compression) {
                Bytes more = whole;
                ++more[table + (version == 2 ? 3 : 1)];
                EXPECT_EQ(present(more), -3);
                EXPECT_EQ(present(Bytes(whole.begin(), whole.begin() + long(table) + 7)), -3);
                Bytes none = whole;
                std::fill_n(none.begin() + long(table), 5 * 4 * (version == 2 ? 4 : 2), 0);
                EXPECT_EQ(present(none), -3);
            }
            std::vector<uint8_t> out(7 * 5 * 3), rgb;
            EXPECT_EQ(load_psd(1, scratch(whole).c_str(), dims.data(), 0, out.data()), 5);
            const auto rgba = pattern8(7, 5, 4);
            for (size_t i = 0; i < rgba.size(); ++i)
                if (i % 4 != 3)
                    rgb.push_back(rgba[i]);
            EXPECT_EQ(out, rgb);
        }
}

// The stream readers over bytes in memory answer exactly as the path readers over the file.
TEST(StreamReaders, MemoryStreamsGiveWhatThePathsGive)
{
    const Bytes icc = make_icc_profile(300, "stream");
    PsdBuilder b = psd8(6, 4, 1);
    b.resources = {kResolution, {1039, "", icc}};
    const Bytes files[] = {rgb_tiff(true, icc),
                           small_jpeg(testsupport::make_icc_app2_chunks(icc, 100)), b.build()};
    for (size_t k = 0; k < std::size(files); ++k) {
        SCOPED_TRACE(k);
        Bytes bytes = files[k];
        const std::string path = scratch(bytes);
        FILE *f = fmemopen(bytes.data(), bytes.size(), "rb");
        ASSERT_TRUE(f);
        Infos fromPath{}, fromMemory{};
        std::vector<uint8_t> iccPath(icc.size()), iccMemory(icc.size());
        int r[4];
        if (k == 0) {
            r[0] = getTiffInfo(path.c_str(), fromPath.data());
            r[1] = getTiffInfo(f, fromMemory.data());
            r[2] = tif_profile(path.c_str(), iccPath.data(), iccPath.size());
            r[3] = tif_profile(f, iccMemory.data(), iccMemory.size());
        } else if (k == 1) {
            r[0] = infojpg(path.c_str(), fromPath.data());
            r[1] = infojpg(f, fromMemory.data());
            r[2] = jpg_profile(path.c_str(), iccPath.data(), iccPath.size());
            r[3] = jpg_profile(f, iccMemory.data(), iccMemory.size());
        } else {
            r[0] = getPsdInfo(path.c_str(), fromPath.data());
            r[1] = getPsdInfo(f, fromMemory.data());
            r[2] = psd_profile(path.c_str(), iccPath.data(), iccPath.size());
            r[3] = psd_profile(f, iccMemory.data(), iccMemory.size());
            std::vector<uint8_t> pxPath(6 * 4 * 3), pxMemory(6 * 4 * 3);
            EXPECT_EQ(load_psd(0, path.c_str(), fromPath.data(), 0, pxPath.data()), 4);
            EXPECT_EQ(load_psd(0, f, fromMemory.data(), 0, pxMemory.data()), 4);
            EXPECT_EQ(pxPath, pxMemory);
        }
        std::fclose(f);
        EXPECT_GT(r[0], 0);
        EXPECT_EQ(r[1], r[0]);
        EXPECT_EQ(fromMemory, fromPath);
        EXPECT_EQ(r[2], int(icc.size()));
        EXPECT_EQ(r[3], r[2]);
        EXPECT_EQ(Bytes(iccMemory.begin(), iccMemory.end()), icc);
        EXPECT_EQ(iccPath, iccMemory);
    }
}

// The big-endian stream readers of the PSD module and of the byte-order module over the same
// known bytes: the first byte is the most significant, a high bit is no sign, and a byte past the
// end reads as 0xFF (a value that runs past it keeps the bytes that were there).
TEST(BigEndianStreamReaders, KnownBytesMostSignificantFirstAndFFPastTheEnd)
{
    const Bytes bytes = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0, 0x80, 0x01,
                         0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10, 0xA5};
    Bytes psdBytes = bytes, otherBytes = bytes; // fmemopen wants writable buffers
    const platform::FilePtr psd(fmemopen(psdBytes.data(), psdBytes.size(), "rb")),
        other(fmemopen(otherBytes.data(), otherBytes.size(), "rb"));
    ASSERT_TRUE(psd && other);
    EXPECT_EQ(fget2m(psd.get()), 0x1234u);
    EXPECT_EQ(fget4m(psd.get()), 0x56789ABCu);
    EXPECT_EQ(fget8m(psd.get()), 0xDEF08001FEDCBA98u);
    EXPECT_EQ(fget2m(psd.get()), 0x7654u);
    EXPECT_EQ(fget4m(psd.get()), 0x3210A5FFu);
    EXPECT_EQ(fget8m(psd.get()), 0xFFFFFFFFFFFFFFFFu);
    EXPECT_EQ(fget2m(psd.get()), 0xFFFFu);

    EXPECT_EQ(fgetm2(other.get()), 0x1234u);
    EXPECT_EQ(fgetm4(other.get()), 0x56789ABCu);
    EXPECT_EQ(fgetm4(other.get()), 0xDEF08001u);
    EXPECT_EQ(fgetm2(other.get()), 0xFEDCu);
    ASSERT_EQ(std::fseek(other.get(), 17, SEEK_SET), 0);
    EXPECT_EQ(fgetm2(other.get()), 0x10A5u);
    ASSERT_EQ(std::fseek(other.get(), 16, SEEK_SET), 0);
    EXPECT_EQ(fgetm4(other.get()), 0x3210A5FFu);
}

TEST(ManipReadPSD, EightAndSixteenBitRawAndPackBitsUnderEachNameAndRefusals)
{
    const uint32_t w = 9, h = 7;
    const auto px8 = pattern8(w, h);
    std::vector<uint16_t> px16(px8.size());
    for (size_t i = 0; i < px16.size(); ++i)
        px16[i] = uint16_t(i * 2741 + 0x0102);
    // Only "psb" and "PSB" read the large-document layout; a PSD named otherwise reads normally.
    const std::pair<const char *, int> names[] = {
        {"doc.psd", 32}, {"doc.psb", 64}, {"doc.PSB", 64}, {"doc.Psb", 32}, {"psb", 32}};
    for (const auto &[name, kind] : names)
        for (int bits : {8, 16})
            for (int compression : {0, 1}) {
                SCOPED_TRACE(testing::Message() << name << " " << bits << " " << compression);
                PsdBuilder b;
                b.version = kind == 64 ? 2 : 1;
                b.compression = compression;
                b.layerMask = {1, 2, 3};
                if (bits == 8)
                    b.set_interleaved8(px8.data(), w, h, 3);
                else
                    b.set_interleaved16(px16.data(), w, h, 3);
                const std::string path = scratch(b.build(), name);
                Infos dims = probe(getPsdInfo, path).second;
                platform::BitmapPtr bmp = Manip().readPSD(path, dims.data());
                ASSERT_TRUE(bmp);
                EXPECT_EQ(
                    (std::vector<int>{dims[kInfoPsdKind], bmp->pixelsWide(), bmp->pixelsHigh(),
                                      bmp->bitsPerSample(), bmp->samplesPerPixel(),
                                      bmp->bytesPerRow(), bmp->hasAlpha()}),
                    (std::vector<int>{kind, int(w), int(h), bits, 3, int(3 * w) * bits / 8, 0}));
                EXPECT_EQ(bmp->colorSpaceName(), platform::kCalibratedRGBColorSpace);
                const void *want = bits == 8 ? (const void *)px8.data() : px16.data();
                EXPECT_EQ(std::memcmp(bmp->bitmapData(), want, px8.size() * size_t(bits / 8)), 0);
            }
    const float fpx[] = {1, 2, 3, 4, 5, 6};
    PsdBuilder f;
    f.set_interleaved32(fpx, 2, 1, 3);
    const std::string path = scratch(f.build());
    Infos dims = probe(getPsdInfo, path).second, before = dims;
    EXPECT_FALSE(Manip().readPSD(path, dims.data())); // 32 bits: nil, dims untouched
    EXPECT_EQ(dims, before);
    dims = {1 << 30, 1 << 30, 8}; // sides the bitmap cannot have: nil, dims untouched
    EXPECT_FALSE(Manip().readPSD("/nonexistent/none.psd", dims.data()));
    EXPECT_EQ(dims, (Infos{1 << 30, 1 << 30, 8}));
}
