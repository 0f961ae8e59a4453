// JPEG readers: the probe's slots, the ICC chunk rules, the thumbnail decoder at both modes, the
// per-call error handling under two threads, and the real photos of the shared test data.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "imagecore/file_holder.h"
#include "imagecore/jpeg_error.h"
#include "imagecore/jpeg_readers.h"
#include "imagecore/records.h"
#include "platform/bitmap.h"
#include "tests/imagecore/reader_test_util.h"
#include "tests/support/fixtures.h"

using readertest::Infos;
using readertest::open_fds;
using readertest::put;
using testsupport::Bytes;
using testsupport::TempDir;

namespace {

std::vector<uint8_t> gradient(int w, int h, int spp)
{
    std::vector<uint8_t> px(size_t(w) * size_t(h) * size_t(spp));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < spp; ++c)
                px[(size_t(y) * size_t(w) + size_t(x)) * size_t(spp) + size_t(c)] =
                    uint8_t(x * 150 / w + y * 60 / h + c * 20); // at most 229: no wrap
    return px;
}

Bytes small_jpeg(const std::vector<Bytes> &segments = {}, int spp = 3, int density = 72)
{
    auto px = gradient(16, 8, spp);
    testsupport::JpegOptions o;
    o.density = density;
    return testsupport::encode_jpeg(px.data(), 16, 8, spp, 90, segments, o);
}

// An APP2 payload "ICC_PROFILE\0", seq, count, bytes.
Bytes icc_chunk(int seq, int count, const Bytes &bytes)
{
    Bytes p(14 + bytes.size());
    std::memcpy(p.data(), "ICC_PROFILE", 12); // with its terminating zero
    p[12] = uint8_t(seq);
    p[13] = uint8_t(count);
    std::copy(bytes.begin(), bytes.end(), p.begin() + 14);
    return testsupport::make_segment(0xE2, p);
}

Bytes slice(const Bytes &b, size_t from, size_t n)
{
    return Bytes(b.begin() + long(from), b.begin() + long(from + n));
}

// Probe and profile of one file: [6] and jpg_profile's result must agree.
struct IccOutcome {
    int slot6;
    int copied;
    Bytes profile;
};

IccOutcome icc_of(const std::string &path)
{
    Infos info{};
    EXPECT_EQ(infojpg(path.c_str(), info.data()), 8);
    std::vector<uint8_t> dest(70000, 0);
    int n = jpg_profile(path.c_str(), dest.data(), dest.size());
    return {info[kInfoIccLength], n, Bytes(dest.begin(), dest.begin() + std::max(n, 0))};
}

} // namespace

TEST(Infojpg, FillsTheJpegSlots)
{
    TempDir dir;
    Infos info{};
    EXPECT_EQ(infojpg(put(dir, "c.jpg", small_jpeg({}, 3, 300)).c_str(), info.data()), 8);
    const Infos expected = {16, 8, 3, 8, 300, 300, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(info, expected);

    Infos grey{};
    EXPECT_EQ(infojpg(put(dir, "g.jpg", small_jpeg({}, 1)).c_str(), grey.data()), 8);
    EXPECT_EQ(grey[kInfoBits], 1);
    EXPECT_EQ(grey[kInfoXRes], 72);
}

TEST(Infojpg, ErrorsAreCodesAndCloseTheFile)
{
    TempDir dir;
    int before = open_fds();
    Infos info{};
    EXPECT_EQ(infojpg(dir.file("missing.jpg").c_str(), info.data()), -1);
    EXPECT_EQ(infojpg(put(dir, "text.jpg", {'h', 'e', 'l', 'l', 'o'}).c_str(), info.data()), -3);
    Bytes cut = small_jpeg();
    cut.resize(40);
    EXPECT_EQ(infojpg(put(dir, "cut.jpg", cut).c_str(), info.data()), -3);
    EXPECT_EQ(infojpg(put(dir, "empty.jpg", {}).c_str(), info.data()), -3);
    EXPECT_EQ(info, Infos{});
    uint8_t dest[8];
    EXPECT_EQ(jpg_profile(dir.file("missing.jpg").c_str(), dest, sizeof dest), -1);
    EXPECT_EQ(jpg_profile(dir.file("cut.jpg").c_str(), dest, sizeof dest), -3);
    EXPECT_EQ(open_fds(), before);
}

TEST(JpgProfile, ChunkOrderingsFollowTheRules)
{
    TempDir dir;
    Bytes icc = testsupport::make_icc_profile(1000, "chunks");
    Bytes a = slice(icc, 0, 600), b = slice(icc, 600, 400);

    // One chunk, numbered 1 of 1 and 0 of 1.
    for (int seq : {1, 0}) {
        SCOPED_TRACE(seq);
        IccOutcome o = icc_of(put(dir, "one.jpg", small_jpeg({icc_chunk(seq, 1, icc)})));
        EXPECT_EQ(o.slot6, 1000);
        EXPECT_EQ(o.copied, 1000);
        EXPECT_EQ(o.profile, icc);
    }
    // 2 of 2 before 1 of 2: put back in sequence order.
    IccOutcome rev =
        icc_of(put(dir, "rev.jpg", small_jpeg({icc_chunk(2, 2, b), icc_chunk(1, 2, a)})));
    EXPECT_EQ(rev.slot6, 1000);
    EXPECT_EQ(rev.copied, 1000);
    EXPECT_EQ(rev.profile, icc);
    // The fixture's own chunking (many small chunks) reassembles too.
    std::vector<Bytes> many = testsupport::make_icc_app2_chunks(icc, 97);
    IccOutcome m = icc_of(put(dir, "many.jpg", small_jpeg(many)));
    EXPECT_EQ(m.copied, 1000);
    EXPECT_EQ(m.profile, icc);

    // Incomplete or inconsistent sets give no profile.
    const std::vector<std::vector<Bytes>> broken = {
        {icc_chunk(1, 3, a), icc_chunk(3, 3, b)}, // 2 of 3 missing
        {icc_chunk(1, 2, a), icc_chunk(2, 3, b)}, // counts disagree
        {icc_chunk(1, 2, a), icc_chunk(1, 2, b)}, // 1 twice
        {icc_chunk(0, 2, a), icc_chunk(2, 2, b)}, // 0 only stands for 1 of 1
        {icc_chunk(3, 2, a)},                     // beyond the count
        {icc_chunk(1, 0, a)},                     // no chunks at all
    };
    for (size_t i = 0; i < broken.size(); ++i) {
        SCOPED_TRACE(i);
        IccOutcome o = icc_of(put(dir, "broken.jpg", small_jpeg(broken[i])));
        EXPECT_EQ(o.slot6, 0);
        EXPECT_EQ(o.copied, 0);
    }

    // "ICC_PROFILE" without its zero byte is not a chunk; the real chunk next to it counts.
    Bytes noNul = {'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 'X', 1, 1, 5, 5, 5};
    IccOutcome n =
        icc_of(put(dir, "nonul.jpg",
                   small_jpeg({testsupport::make_segment(0xE2, noNul), icc_chunk(1, 1, icc)})));
    EXPECT_EQ(n.copied, 1000);
    // Without any chunk.
    IccOutcome none = icc_of(put(dir, "none.jpg", small_jpeg()));
    EXPECT_EQ(none.slot6, 0);
    EXPECT_EQ(none.copied, 0);
}

TEST(JpgProfile, LongerThanTheBufferIsRefused)
{
    TempDir dir;
    Bytes icc = testsupport::make_icc_profile(800, "cap");
    std::string path = put(dir, "cap.jpg", small_jpeg({icc_chunk(1, 1, icc)}));
    std::vector<uint8_t> dest(800, 0x5A);
    EXPECT_EQ(jpg_profile(path.c_str(), dest.data(), 799), -3);
    EXPECT_EQ(dest, std::vector<uint8_t>(800, 0x5A));
    EXPECT_EQ(jpg_profile(path.c_str(), dest.data(), 800), 800);
}

namespace {

// A JPEG whose EXIF IFD1 carries a 160 x 120 thumbnail; returns the whole file and the
// thumbnail as the thumbnail builder cuts it out.
Bytes jpeg_with_thumbnail(Bytes *thumbOut, std::vector<uint8_t> *thumbPixels, int spp = 3)
{
    *thumbPixels = gradient(160, 120, spp);
    Bytes thumb = testsupport::encode_jpeg(thumbPixels->data(), 160, 120, spp, 85, {},
                                           testsupport::JpegOptions{false});
    testsupport::TiffBuilder t;
    size_t ifd0 = t.add_ifd();
    size_t ifd1 = t.add_ifd();
    t.add_shorts(ifd0, 274, {1});
    uint32_t at = t.add_blob(thumb);
    t.add_longs(ifd1, 513, {at});
    t.add_longs(ifd1, 514, {uint32_t(thumb.size())});
    auto big = gradient(64, 48, 3);
    Bytes file = testsupport::encode_jpeg(big.data(), 64, 48, 3, 90,
                                          {testsupport::make_exif_app1(t.build())});
    // Cut out as the application does: the TIFF header follows "Exif\0\0".
    const uint8_t sig[] = {'E', 'x', 'i', 'f', 0, 0};
    auto it = std::search(file.begin(), file.end(), std::begin(sig), std::end(sig));
    size_t base = size_t(it - file.begin()) + 6;
    *thumbOut = slice(file, base + at, thumb.size());
    return file;
}

} // namespace

TEST(KvreadJpgThumbnail, HeaderModeThenDecodeMode)
{
    for (int spp : {3, 1}) {
        SCOPED_TRACE(spp);
        Bytes thumb;
        std::vector<uint8_t> src;
        jpeg_with_thumbnail(&thumb, &src, spp);
        ASSERT_EQ(thumb[0], 0xFF);
        ASSERT_EQ(thumb[1], 0xD8);
        ASSERT_EQ(thumb[thumb.size() - 2], 0xFF);
        ASSERT_EQ(thumb.back(), 0xD9);

        int w = 0, h = 0, c = 0;
        EXPECT_EQ(kvread_jpg_thumbnail(thumb.data(), int(thumb.size()), 1, &w, &h, &c, nullptr),
                  120);
        EXPECT_EQ(w, 160);
        EXPECT_EQ(h, 120);
        EXPECT_EQ(c, spp);

        std::vector<uint8_t> out(size_t(w) * size_t(h) * size_t(c) + 16, 0xEE);
        EXPECT_EQ(kvread_jpg_thumbnail(thumb.data(), int(thumb.size()), 0, nullptr, nullptr,
                                       nullptr, out.data()),
                  w * h * c);
        EXPECT_EQ(out[size_t(w * h * c)], 0xEE); // nothing past the packed rows
        out.resize(size_t(w * h * c));

        // The same bytes through the bitmap decoder: same library, same settings, same pixels.
        auto ref = platform::BitmapImageRep::imageRepWithData(
            platform::Data::copy(thumb.data(), thumb.size()));
        ASSERT_TRUE(ref);
        EXPECT_TRUE(std::equal(out.begin(), out.end(), ref->bitmapData()));
        // And close to what was encoded: quality 85 of a smooth gradient without chroma
        // subsampling loses 1 or 2 levels; 4 leaves room for another DCT implementation while
        // still catching swapped channels or shifted rows.
        int worst = 0;
        for (size_t i = 0; i < out.size(); ++i)
            worst = std::max(worst, std::abs(int(out[i]) - int(src[i])));
        EXPECT_LE(worst, 4);
    }
}

TEST(KvreadJpgThumbnail, TruncatedOrEmptyDataFails)
{
    Bytes thumb;
    std::vector<uint8_t> src;
    jpeg_with_thumbnail(&thumb, &src);
    std::vector<uint8_t> out(160 * 120 * 3);
    int w, h, c;
    // Cut before its end: the header still reads, the decode fails.
    Bytes cut = slice(thumb, 0, thumb.size() / 2);
    EXPECT_EQ(kvread_jpg_thumbnail(cut.data(), int(cut.size()), 1, &w, &h, &c, nullptr), 120);
    EXPECT_EQ(
        kvread_jpg_thumbnail(cut.data(), int(cut.size()), 0, nullptr, nullptr, nullptr, out.data()),
        -3);
    EXPECT_EQ(kvread_jpg_thumbnail(thumb.data(), 100, 1, &w, &h, &c, nullptr), -3);
    EXPECT_EQ(kvread_jpg_thumbnail(thumb.data(), 0, 1, &w, &h, &c, nullptr), -3);
    EXPECT_EQ(kvread_jpg_thumbnail(nullptr, 10, 1, &w, &h, &c, nullptr), -3);
    EXPECT_EQ(kvread_jpg_thumbnail(thumb.data(), int(thumb.size()), 0, &w, &h, &c, nullptr), -3);
    const uint8_t junk[] = {0xFF, 0xD8, 0xFF, 0xD9};
    EXPECT_EQ(kvread_jpg_thumbnail(junk, 4, 1, &w, &h, &c, nullptr), -3);
}

namespace {

// Encodes a 32 x 16 grey image into f with the program's error manager; a bad call asks the
// library for a zero-width image, a fatal error that must come back here. Only plain data lives
// in this frame.
int encode_guarded(FILE *f, bool bad)
{
    JpegErrorManager jerr;
    jpeg_compress_struct cinfo;
    std::memset(&cinfo, 0, sizeof cinfo);
    cinfo.err = jpeg_error_init(&jerr);
    if (setjmp(jerr.jpeglib_erreur)) {
        jpeg_destroy_compress(&cinfo);
        return -3;
    }
    jpeg_create_compress(&cinfo);
    jpeg_stdio_dest(&cinfo, f);
    cinfo.image_width = bad ? 0 : 32;
    cinfo.image_height = 16;
    cinfo.input_components = 1;
    cinfo.in_color_space = JCS_GRAYSCALE;
    jpeg_set_defaults(&cinfo);
    jpeg_start_compress(&cinfo, TRUE);
    JSAMPLE row[32];
    for (int x = 0; x < 32; ++x)
        row[x] = JSAMPLE(x * 8);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW p = row;
        jpeg_write_scanlines(&cinfo, &p, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return 0;
}

} // namespace

TEST(Infojpg, CorruptProbesAndEncodesRunOnTwoThreadsAtOnce)
{
    TempDir dir;
    Bytes corrupt = small_jpeg();
    corrupt.resize(corrupt.size() / 3); // header cut: every probe jumps back with an error
    std::string bad = put(dir, "bad.jpg", corrupt);
    std::string good = put(dir, "good.jpg", small_jpeg());
    std::atomic<bool> writerDone{false};
    std::atomic<int> probeFailures{0}, probes{0}, writerFailures{0};

    std::thread prober([&] {
        // Keeps probing for as long as the writer runs (and at least a fixed number of times).
        for (int i = 0; i < 2000 || !writerDone.load(); ++i) {
            Infos info{};
            int r = infojpg((i % 2 ? good : bad).c_str(), info.data());
            if (r != (i % 2 ? 8 : -3) || (i % 2 && info[kInfoWidth] != 16))
                ++probeFailures;
            ++probes;
        }
    });
    std::thread writer([&] {
        for (int i = 0; i < 400; ++i) {
            imagecore::FilePtr f(std::tmpfile());
            if (!f) {
                ++writerFailures;
                continue;
            }
            const bool wantBad = i % 3 == 0;
            int r = encode_guarded(f.get(), wantBad);
            if (r != (wantBad ? -3 : 0)) {
                ++writerFailures;
                continue;
            }
            if (wantBad)
                continue;
            // Read back what was written: a 32 x 16 grey image.
            long n = imagecore::file_length(f.get());
            std::vector<uint8_t> bytes(size_t(std::max(n, 0L)));
            std::rewind(f.get());
            if (std::fread(bytes.data(), 1, bytes.size(), f.get()) != bytes.size()) {
                ++writerFailures;
                continue;
            }
            int w = 0, h = 0, c = 0;
            if (kvread_jpg_thumbnail(bytes.data(), int(bytes.size()), 1, &w, &h, &c, nullptr) !=
                    16 ||
                w != 32 || c != 1)
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
    // Values confirmed with exiftool: stored size, 3 components, the JFIF density where there
    // is a JFIF header (72 for the phone photos; the library's default 1 without one), no ICC
    // profile; the EXIF thumbnail's offset, length and size.
    struct Photo {
        const char *path;
        int w, h, density;
        int thumbOffset, thumbLength, thumbW, thumbH;
    };
    const Photo photos[] = {
        {"iphone6_handheld/1.JPG", 3264, 2448, 72, 1824, 4527, 120, 160},
        {"iphone6_handheld/3.JPG", 3264, 2448, 72, 1824, 4812, 120, 160},
        {"iphone6_handheld/5.JPG", 3264, 2448, 72, 1824, 4480, 120, 160},
        {"iphone6_handheld/7.JPG", 3264, 2448, 72, 1824, 4581, 120, 160},
        {"iphone6_handheld/8.JPG", 3264, 2448, 72, 1824, 5047, 120, 160},
        {"stlouis_arch_tripod/StLouisArchMultExpEV+1.51.jpeg", 2816, 2112, 1, 7344, 4390, 160, 120},
        {"stlouis_arch_tripod/StLouisArchMultExpEV+4.09.jpeg", 2816, 2112, 1, 7344, 4193, 160, 120},
        {"stlouis_arch_tripod/StLouisArchMultExpEV-1.82.jpeg", 2816, 2112, 1, 7344, 3040, 160, 120},
        {"stlouis_arch_tripod/StLouisArchMultExpEV-4.72.jpeg", 2816, 2112, 1, 7344, 1733, 160, 120},
        {"window_tripod_e995/HDRI_Sample_Scene_Window_-_02.jpg", 1600, 1200, 1, 4096, 1945, 160,
         120},
        {"window_tripod_e995/HDRI_Sample_Scene_Window_-_04.jpg", 1600, 1200, 1, 4096, 2716, 160,
         120},
        {"window_tripod_e995/HDRI_Sample_Scene_Window_-_06.jpg", 1600, 1200, 1, 4096, 3577, 160,
         120},
        {"window_tripod_e995/HDRI_Sample_Scene_Window_-_08.jpg", 1600, 1200, 1, 4096, 3807, 160,
         120},
        {"window_tripod_e995/HDRI_Sample_Scene_Window_-_10.jpg", 1600, 1200, 1, 4096, 3134, 160,
         120},
    };
    for (const Photo &p : photos) {
        SCOPED_TRACE(p.path);
        const std::string path = (root / p.path).string();
        if (!std::filesystem::exists(path)) {
            ADD_FAILURE() << "missing " << path;
            continue;
        }
        Infos info{};
        ASSERT_EQ(infojpg(path.c_str(), info.data()), 8);
        const Infos expected = {p.w, p.h, 3, 8, p.density, p.density, 0, 0, 0, 0, 0, 0, 0};
        EXPECT_EQ(info, expected);
        uint8_t dest[4];
        EXPECT_EQ(jpg_profile(path.c_str(), dest, sizeof dest), 0);

        Bytes file = testsupport::read_file(path);
        ASSERT_GE(file.size(), size_t(p.thumbOffset + p.thumbLength));
        Bytes thumb = slice(file, size_t(p.thumbOffset), size_t(p.thumbLength));
        int w = 0, h = 0, c = 0;
        EXPECT_EQ(kvread_jpg_thumbnail(thumb.data(), int(thumb.size()), 1, &w, &h, &c, nullptr),
                  p.thumbH);
        EXPECT_EQ(w, p.thumbW);
        EXPECT_EQ(c, 3);
        std::vector<uint8_t> px(size_t(w) * size_t(h) * 3);
        EXPECT_EQ(kvread_jpg_thumbnail(thumb.data(), int(thumb.size()), 0, nullptr, nullptr,
                                       nullptr, px.data()),
                  int(px.size()));
    }
}
