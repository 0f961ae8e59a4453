// KVwritejpg: the segments it writes for each kind of metadata and their limits, the row
// layouts it reads, and its failures; files read back with libjpeg and the project's readers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "imagecore/jpeg_readers.h"
#include "metadata/exif_block.h"
#include "metadata/xmp_settings.h"
#include "platform/bitmap.h"
#include "tests/metadata/exif_test_util.h"

using namespace exiftest;
using imagecore::read_be16;

namespace {

struct Segment {
    uint8_t marker;
    size_t length; // the length field (data + 2)
    Bytes data;
};
// The marker segments after SOI up to and including SOS (only those of one marker if given).
std::vector<Segment> segments(const Bytes &f, int only = -1)
{
    std::vector<Segment> out;
    for (size_t p = 2, len; p + 4 <= f.size() && f[p] == 0xFF && f[p + 1] != 0xDA; p += 2 + len) {
        len = read_be16(&f[p + 2]);
        if (len < 2 || p + 2 + len > f.size())
            break;
        if (only < 0 || f[p + 1] == only)
            out.push_back(
                {f[p + 1], len, Bytes(f.begin() + long(p) + 4, f.begin() + long(p + 2 + len))});
    }
    return out;
}
bool starts_with(const Bytes &b, const std::string &text)
{
    return b.size() >= text.size() && std::equal(text.begin(), text.end(), b.begin());
}
// The XMP packets of the APP1 segments.
std::vector<std::string> xmp_packets(const Bytes &f)
{
    std::vector<std::string> out;
    for (const Segment &s : segments(f, 0xE1))
        if (starts_with(s.data, std::string("http://ns.adobe.com/xap/1.0/", 29)))
            out.emplace_back(s.data.begin() + 29, s.data.end());
    return out;
}
// The components of the decoded image; 0 when libjpeg cannot decode it.
int decoded_components(const Bytes &f)
{
    auto b = platform::BitmapImageRep::imageRepWithData(platform::Data::copy(f.data(), f.size()));
    return b ? b->samplesPerPixel() : 0;
}

} // namespace

TEST(KVwritejpg, PlainImageIsSoiApp0AndTheScanOnly)
{
    for (int spp : {3, 1}) {
        Job job(16, 8, spp, 8);
        Bytes f = job.file(false);
        std::vector<Segment> segs = segments(f);
        EXPECT_TRUE(f[0] == 0xFF && f[1] == 0xD8 && f[f.size() - 2] == 0xFF && f.back() == 0xD9);
        for (const Segment &s : segs)
            EXPECT_TRUE(s.marker < 0xE1 || s.marker > 0xEF) << "APP" << (s.marker - 0xE0);
        // JFIF: density unit 1 (dots per inch), X 300, Y 240.
        ASSERT_TRUE(segs.size() > 1 && segs[0].marker == 0xE0 && starts_with(segs[0].data, "JFIF"));
        EXPECT_EQ(std::vector<int>(
                      {segs[0].data[7], read_be16(&segs[0].data[8]), read_be16(&segs[0].data[10])}),
                  std::vector<int>({1, 300, 240}));
        int infos[kImageInfosCount] = {};
        EXPECT_EQ(infojpg(job.path(false).c_str(), infos), 8);
        EXPECT_EQ(std::vector<int>(infos, infos + 7),
                  std::vector<int>({16, 8, spp, 8, 300, 240, 0}));
        EXPECT_EQ(decoded_components(f), spp);
    }
}

TEST(KVwritejpg, RowLayoutsGiveTheSameFile)
{
    // Packed 8-bit rows; the same at a longer pitch; 16-bit rows whose high bytes are those
    // samples (low bytes varying) with the 16-to-8 flag, packed and at a pitch in samples.
    Job job(16, 8, 3, 8);
    const Bytes packed = job.pixels, reference = job.file(false);
    const size_t row = 48, pitch = row + 5;
    Bytes padded(pitch * 8, 0xEE);
    std::vector<uint16_t> p16(packed.size()), wide(pitch * 8, 0xEEEE);
    for (size_t i = 0; i < packed.size(); ++i) {
        padded[i / row * pitch + i % row] = packed[i];
        p16[i] = uint16_t(packed[i] << 8 | (i * 37 & 0xFF));
        wide[i / row * pitch + i % row] = uint16_t(packed[i] << 8 | 0x7F);
    }
    auto bytes = [](const std::vector<uint16_t> &v) {
        return Bytes(reinterpret_cast<const uint8_t *>(v.data()),
                     reinterpret_cast<const uint8_t *>(v.data() + v.size()));
    };
    const std::tuple<Bytes, size_t, int> layouts[] = {
        {padded, pitch, 0}, {bytes(p16), row, 1}, {bytes(wide), pitch, 1}};
    for (const auto &[pixels, rowBytes, is16to8] : layouts) {
        job.pixels = pixels;
        job.info[kSaveIs16to8] = is16to8;
        ASSERT_EQ(job.jpg(job.path(false), int(rowBytes)), 8);
        EXPECT_EQ(testsupport::read_file(job.path(false)), reference) << rowBytes << is16to8;
    }
}

TEST(KVwritejpg, ProfileChunksUpTo255)
{
    // 65519 bytes fill one chunk (length field 65535); a profile needing more than 255 chunks
    // is left out, the count being one byte.
    for (size_t len : {65519u, 65520u, 200000u, 255u * 65519, 255u * 65519 + 1}) {
        Job job(16, 8, 3, 8);
        job.icc = testsupport::make_icc_profile(len, "Test RGB");
        const Bytes f = job.file(false);
        const std::vector<Segment> chunks = segments(f, 0xE2);
        const size_t n = len <= 255 * 65519 ? (len + 65518) / 65519 : 0;
        ASSERT_EQ(chunks.size(), n) << len;
        for (size_t k = 0; k < n; ++k) {
            EXPECT_TRUE(starts_with(chunks[k].data, std::string("ICC_PROFILE", 12)));
            EXPECT_TRUE(chunks[k].data[12] == k + 1 && chunks[k].data[13] == n);
            EXPECT_EQ(chunks[k].length, (k + 1 < n ? 65519 : len - k * 65519) + 16);
        }
        Bytes back(len);
        EXPECT_EQ(jpg_profile(job.path(false).c_str(), back.data(), len), n ? int(len) : 0);
        EXPECT_TRUE(n ? back == job.icc : decoded_components(f) == 3);
    }
}

TEST(KVwritejpg, IptcBlockInPhotoshopResource)
{
    Job job(16, 8, 3, 8);
    job.iptc = {0x1C, 0x02, 0x00, 0x00, 0x02, 0x00, 0x04};
    std::vector<Segment> a13 = segments(job.file(false), 0xED);
    ASSERT_EQ(a13.size(), 1u);
    EXPECT_EQ(a13[0].data, concat({bytes_of(std::string("Photoshop 3.0\0008BIM", 18)),
                                   {4, 4, 0, 0, 0, 0, 0, 7},
                                   job.iptc,
                                   {0}})); // 34 bytes
    // Even: no pad byte. The largest block kept is 65506 bytes (segment length 65534); one
    // whose segment would pass the limit is left out and the file stays whole.
    for (auto [n, length] : {std::pair{8, 36}, {65506, 65534}, {65507, 0}, {100000, 0}}) {
        job.iptc.assign(size_t(n), 0x41);
        const Bytes f = job.file(false);
        a13 = segments(f, 0xED);
        EXPECT_EQ(a13.empty() ? 0 : a13[0].length, size_t(length)) << n;
        EXPECT_EQ(decoded_components(f), 3);
    }
}

TEST(KVwritejpg, XmpFollowsMethodAndLens)
{
    Job job(16, 8, 3, 8);
    EXPECT_TRUE(xmp_packets(job.file(false)).empty()); // method 0 without a lens: no packet
    const char *lens = "iPhone 6 back camera 4.15mm f/2.2";
    job.rec.text(kExifLens, lens);
    for (int method : {0, 1}) { // method 0 with a lens: the wrapper and the lens only
        job.method = method;
        tmparam_default(method, 0, job.param);
        job.param[kDeStrength] = 55;
        const std::vector<std::string> x = xmp_packets(job.file(false));
        ASSERT_EQ(x.size(), 1u);
        std::string expected(size_t(embed_xmp(0, method, job.param, 64, lens, nullptr)), 0);
        embed_xmp(1, method, job.param, 64, lens, expected.data());
        EXPECT_EQ(x[0], expected);
    }
}

TEST(KVwritejpg, ExifBlockAndSegmentOrder)
{
    Job job(16, 8, 3, 8);
    job.info[kSaveOrientation] = 6;
    EXPECT_TRUE(segments(job.file(false), 0xE1).empty()); // the orientation alone: no EXIF
    // The 96-byte block of write_exif_buf, orientation 9 written as 1.
    const int32_t e[] = {100, 10000, 800, 100, 0, 200};
    std::memcpy(job.rec.exif, e, sizeof e);
    job.info[kSaveOrientation] = 9;
    const std::vector<Segment> a1 = segments(job.file(false), 0xE1);
    ASSERT_EQ(a1.size(), 1u);
    Bytes block(96, 0);
    metadata::ExifCounts c = metadata::exif_counts(job.rec.exif, job.rec.gps);
    ASSERT_EQ(write_exif_buf(c.exifCount, c.exifDataLen, c.gpsCount, c.gpsDataLen, c.modelLen,
                             c.datetimeLen, c.gpsDateLen, 1, job.rec.exif, job.rec.gps,
                             block.data()),
              96);
    EXPECT_EQ(a1[0].data, concat({bytes_of(std::string("Exif\0\0", 6)), block}));
    // Everything: APP0, EXIF, IPTC, XMP, ICC in that order.
    job.rec = full_records();
    job.iptc = {0x1C, 0x02, 0x00, 0x00, 0x02, 0x00, 0x04};
    job.icc = testsupport::make_icc_profile(3000, "Test RGB");
    job.method = 2;
    tmparam_default(2, 0, job.param);
    const Bytes f = job.file(false);
    std::vector<uint8_t> apps;
    for (const Segment &s : segments(f))
        if (s.marker >= 0xE0 && s.marker <= 0xEF)
            apps.push_back(s.marker);
    EXPECT_EQ(apps, (std::vector<uint8_t>{0xE0, 0xE1, 0xED, 0xE1, 0xE2}));
    EXPECT_EQ(decoded_components(f), 3);
}

TEST(KVwritejpg, BadArgumentsAndLibraryErrors)
{
    Job job(16, 8, 3, 8);
    const std::string path = job.dir.file("bad.jpg");
    auto call = [&](const char *to, const int32_t *info, int rowBytes, int method,
                    const void *pixels) {
        return KVwritejpg(to, 90, info, rowBytes, nullptr, nullptr, nullptr, 0, nullptr, method,
                          nullptr, pixels);
    };
    const uint8_t *px = job.pixels.data();
    EXPECT_EQ(job.jpg(job.dir.file("missing/x.jpg")), -1);
    EXPECT_EQ(call(nullptr, job.info, 48, 0, px), -1);
    EXPECT_EQ(call(path.c_str(), job.info, 48, 0, nullptr), -3);
    EXPECT_EQ(call(path.c_str(), nullptr, 48, 0, px), -3);
    EXPECT_EQ(call(path.c_str(), job.info, 47, 0, px), -3); // a row shorter than the image's
    EXPECT_EQ(call(path.c_str(), job.info, 48, 1, px), -3); // a method without its settings
    // Four samples, no height, a profile length and no profile.
    for (auto [slot, value] : {std::pair{kSaveSamples, 4}, {kSaveHeight, 0}, {kSaveIccLength, 9}}) {
        job.reset();
        job.info[slot] = value;
        EXPECT_EQ(call(path.c_str(), job.info, 48, 0, px), -3) << slot;
    }
    EXPECT_TRUE(testsupport::read_file(path).empty()); // none of these made a file

    Job wide(70000, 2, 3, 8); // wider than a JPEG frame can describe: libjpeg refuses it
    EXPECT_EQ(wide.jpg(path), -3);
    if (FILE *full = std::fopen("/dev/full", "wb")) { // the library's write check fails
        std::fclose(full);
        job.reset();
        EXPECT_EQ(job.jpg("/dev/full"), -3);
    }
}
