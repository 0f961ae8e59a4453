// JPEG readers: the probe's slots, the ICC chunks, the thumbnail decoder at both modes, the
// per-call error handling under two threads, and the real photos of the shared test data.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "imagecore/jpeg_readers.h"
#include "imagecore/records.h"
#include "tests/imagecore/reader_test_util.h"
#include "tests/support/fixtures.h"

using readertest::Infos;
using readertest::open_fds;
using readertest::put;
using testsupport::Bytes;
using testsupport::TempDir;

namespace {

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

// An APP2 segment "ICC_PROFILE\0", seq, count, bytes.
Bytes icc_chunk(int seq, int count, const Bytes &bytes)
{
    Bytes p(14 + bytes.size());
    std::memcpy(p.data(), "ICC_PROFILE", 12);
    p[12] = uint8_t(seq);
    p[13] = uint8_t(count);
    std::copy(bytes.begin(), bytes.end(), p.begin() + 14);
    return testsupport::make_segment(0xE2, p);
}

Bytes slice(const Bytes &b, size_t from, size_t n)
{
    return Bytes(b.begin() + long(from), b.begin() + long(from + n));
}

} // namespace

TEST(Infojpg, FillsTheJpegSlotsOrReturnsACodeAndClosesTheFile)
{
    TempDir dir;
    const int before = open_fds();
    Infos info{};
    EXPECT_EQ(infojpg(put(dir, "c.jpg", small_jpeg({}, 3, 300)).c_str(), info.data()), 8);
    EXPECT_EQ(info, (Infos{16, 8, 3, 8, 300, 300, 0, 0, 0, 0, 0, 0, 0}));
    info = {};
    EXPECT_EQ(infojpg(put(dir, "g.jpg", small_jpeg({}, 1)).c_str(), info.data()), 8);
    EXPECT_EQ(info[kInfoBits], 1);
    EXPECT_EQ(info[kInfoXRes], 72);

    info = {};
    Bytes cut = small_jpeg();
    cut.resize(40);
    EXPECT_EQ(infojpg(dir.file("missing.jpg").c_str(), info.data()), -1);
    for (const Bytes &bad : {Bytes{'h', 'e', 'l', 'l', 'o'}, cut, Bytes{}})
        EXPECT_EQ(infojpg(put(dir, "bad.jpg", bad).c_str(), info.data()), -3) << bad.size();
    EXPECT_EQ(info, Infos{});
    uint8_t dest[8];
    EXPECT_EQ(jpg_profile(dir.file("missing.jpg").c_str(), dest, sizeof dest), -1);
    EXPECT_EQ(jpg_profile(put(dir, "cut.jpg", cut).c_str(), dest, sizeof dest), -3);
    EXPECT_EQ(open_fds(), before);
}

TEST(JpgProfile, ChunksInSequenceOrderAndTheBuffersCapacity)
{
    TempDir dir;
    const Bytes icc = testsupport::make_icc_profile(1000, "chunks");
    const Bytes a = slice(icc, 0, 600), b = slice(icc, 600, 400);
    struct Case {
        const char *what;
        std::vector<Bytes> segments;
        int length;
    } const cases[] = {
        {"1 of 1", {icc_chunk(1, 1, icc)}, 1000},
        {"2 then 1 of 2", {icc_chunk(2, 2, b), icc_chunk(1, 2, a)}, 1000},
        {"many", testsupport::make_icc_app2_chunks(icc, 97), 1000},
        {"1 and 3 of 3", {icc_chunk(1, 3, a), icc_chunk(3, 3, b)}, 0},
        {"none", {}, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = put(dir, "p.jpg", small_jpeg(c.segments));
        Infos info{};
        EXPECT_EQ(infojpg(path.c_str(), info.data()), 8);
        EXPECT_EQ(info[kInfoIccLength], c.length); // the probe and the copy agree
        std::vector<uint8_t> dest(1000, 0);
        EXPECT_EQ(jpg_profile(path.c_str(), dest.data(), dest.size()), c.length);
        if (c.length) {
            EXPECT_EQ(Bytes(dest.begin(), dest.end()), icc);
            std::vector<uint8_t> small(1000, 0x5A);
            EXPECT_EQ(jpg_profile(path.c_str(), small.data(), 999), -3);
            EXPECT_EQ(small, std::vector<uint8_t>(1000, 0x5A));
        }
    }
}

TEST(KvreadJpgThumbnail, HeaderModeThenDecodeMode)
{
    for (int spp : {3, 1}) {
        SCOPED_TRACE(spp);
        const std::vector<uint8_t> src = gradient(160, 120, spp);
        // As EXIF thumbnails are written: no JFIF header (the real photos' are read below).
        const Bytes thumb = testsupport::encode_jpeg(src.data(), 160, 120, spp, 85, {},
                                                     testsupport::JpegOptions{false});
        int w = 0, h = 0, c = 0;
        EXPECT_EQ(kvread_jpg_thumbnail(thumb.data(), int(thumb.size()), 1, &w, &h, &c, nullptr),
                  120);
        EXPECT_EQ(w, 160);
        EXPECT_EQ(c, spp);
        const size_t n = size_t(w) * size_t(h) * size_t(c);
        std::vector<uint8_t> out(n + 16, 0xEE);
        EXPECT_EQ(kvread_jpg_thumbnail(thumb.data(), int(thumb.size()), 0, nullptr, nullptr,
                                       nullptr, out.data()),
                  int(n));
        EXPECT_EQ(out[n], 0xEE); // nothing past the packed rows
        // Quality 85 of a smooth gradient without chroma subsampling loses 1 or 2 levels; 4
        // leaves room for another DCT while catching swapped channels or shifted rows.
        int worst = 0;
        for (size_t i = 0; i < n; ++i)
            worst = std::max(worst, std::abs(int(out[i]) - int(src[i])));
        EXPECT_LE(worst, 4);

        // Cut before its end: the header still reads, the decode fails.
        std::vector<uint8_t> px(n);
        Bytes cut = slice(thumb, 0, thumb.size() / 2);
        EXPECT_EQ(kvread_jpg_thumbnail(cut.data(), int(cut.size()), 1, &w, &h, &c, nullptr), 120);
        EXPECT_EQ(kvread_jpg_thumbnail(cut.data(), int(cut.size()), 0, &w, &h, &c, px.data()), -3);
    }
    const uint8_t junk[] = {0xFF, 0xD8, 0xFF, 0xD9};
    const Bytes thumb = small_jpeg();
    int w, h, c;
    EXPECT_EQ(kvread_jpg_thumbnail(junk, 4, 1, &w, &h, &c, nullptr), -3);
    EXPECT_EQ(kvread_jpg_thumbnail(thumb.data(), 100, 1, &w, &h, &c, nullptr), -3);
    EXPECT_EQ(kvread_jpg_thumbnail(thumb.data(), 0, 1, &w, &h, &c, nullptr), -3);
    EXPECT_EQ(kvread_jpg_thumbnail(nullptr, 10, 1, &w, &h, &c, nullptr), -3);
    EXPECT_EQ(kvread_jpg_thumbnail(thumb.data(), int(thumb.size()), 0, &w, &h, &c, nullptr), -3);
}

// Probes of a corrupt and a good file on one thread while the other writes JPEGs and decodes
// them whole and cut: each side's library errors jump back into its own call.
TEST(Infojpg, CorruptProbesAndWritesRunOnTwoThreadsAtOnce)
{
    TempDir dir;
    Bytes corrupt = small_jpeg();
    corrupt.resize(corrupt.size() / 3);
    const std::string bad = put(dir, "bad.jpg", corrupt), good = put(dir, "good.jpg", small_jpeg());
    std::atomic<bool> writerDone{false};
    std::atomic<int> probeFailures{0}, probes{0}, writerFailures{0};
    std::thread prober([&] {
        for (int i = 0; i < 2000 || !writerDone.load(); ++i, ++probes) {
            Infos info{};
            int r = infojpg((i % 2 ? good : bad).c_str(), info.data());
            if (r != (i % 2 ? 8 : -3) || (i % 2 && info[kInfoWidth] != 16))
                ++probeFailures;
        }
    });
    std::thread writer([&] {
        const auto px = gradient(32, 16, 1);
        std::vector<uint8_t> out(32 * 16);
        for (int i = 0; i < 400; ++i) {
            Bytes jpg = testsupport::encode_jpeg(px.data(), 32, 16, 1, 50 + i % 50);
            const int n = int(jpg.size());
            if (kvread_jpg_thumbnail(jpg.data(), n, 0, nullptr, nullptr, nullptr, out.data()) !=
                    32 * 16 ||
                kvread_jpg_thumbnail(jpg.data(), n / 2, 0, nullptr, nullptr, nullptr, out.data()) !=
                    -3)
                ++writerFailures;
        }
        writerDone = true;
    });
    writer.join();
    prober.join();
    EXPECT_EQ(probeFailures.load(), 0);
    EXPECT_EQ(writerFailures.load(), 0);
    EXPECT_GE(probes.load(), 2000);
}

TEST(Infojpg, RealPhotosOfTheSharedTestData)
{
    const std::filesystem::path root = HDR_TESTDATA_DIR;
    if (!std::filesystem::is_directory(root))
        GTEST_SKIP() << "no shared test data at " << root;
    // Values confirmed with exiftool: stored size, 3 components, the JFIF density (72 for the
    // phone photos; the library's default 1 without a JFIF header), no ICC profile; the EXIF
    // thumbnail's offset and size, and each photo's thumbnail length.
    struct Camera {
        const char *prefix; // folder and the start of the file names
        int w, h, density, thumbOffset, thumbW, thumbH;
        std::vector<std::pair<const char *, int>> photos;
    } const cameras[] = {
        {"iphone6_handheld/",
         3264,
         2448,
         72,
         1824,
         120,
         160,
         {{"1.JPG", 4527}, {"3.JPG", 4812}, {"5.JPG", 4480}, {"7.JPG", 4581}, {"8.JPG", 5047}}},
        {"stlouis_arch_tripod/StLouisArchMultExpEV",
         2816,
         2112,
         1,
         7344,
         160,
         120,
         {{"+1.51.jpeg", 4390}, {"+4.09.jpeg", 4193}, {"-1.82.jpeg", 3040}, {"-4.72.jpeg", 1733}}},
        {"window_tripod_e995/HDRI_Sample_Scene_Window_-_",
         1600,
         1200,
         1,
         4096,
         160,
         120,
         {{"02.jpg", 1945},
          {"04.jpg", 2716},
          {"06.jpg", 3577},
          {"08.jpg", 3807},
          {"10.jpg", 3134}}},
    };
    for (const Camera &cam : cameras)
        for (const auto &[name, thumbLength] : cam.photos) {
            const std::string path = (root / (std::string(cam.prefix) + name)).string();
            SCOPED_TRACE(path);
            Infos info{};
            ASSERT_EQ(infojpg(path.c_str(), info.data()), 8);
            EXPECT_EQ(info,
                      (Infos{cam.w, cam.h, 3, 8, cam.density, cam.density, 0, 0, 0, 0, 0, 0, 0}));
            uint8_t dest[4];
            EXPECT_EQ(jpg_profile(path.c_str(), dest, sizeof dest), 0);
            Bytes file = testsupport::read_file(path);
            ASSERT_GE(file.size(), size_t(cam.thumbOffset + thumbLength));
            Bytes thumb = slice(file, size_t(cam.thumbOffset), size_t(thumbLength));
            int w = 0, h = 0, c = 0;
            EXPECT_EQ(kvread_jpg_thumbnail(thumb.data(), thumbLength, 1, &w, &h, &c, nullptr),
                      cam.thumbH);
            EXPECT_EQ(w, cam.thumbW);
            EXPECT_EQ(c, 3);
            std::vector<uint8_t> px(size_t(w) * size_t(h) * 3);
            EXPECT_EQ(kvread_jpg_thumbnail(thumb.data(), thumbLength, 0, nullptr, nullptr, nullptr,
                                           px.data()),
                      int(px.size()));
        }
}
