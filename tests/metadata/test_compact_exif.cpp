// The compact EXIF layer: getImageExif over TIFF files and JPEG EXIF blocks (compared with the
// source metadata reader and with exiftool), parseExif, parsePhotoshopData, bufFromExifInfo at
// scale 100000 and parseImageDescription, and hostile files.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "imagecore/tiff_ifd.h"
#include "metadata/compact_exif.h"
#include "metadata/exif_reader.h"
#include "platform/file_holder.h"
#include "tests/metadata/exif_test_util.h"

using namespace exiftest;
using namespace testsupport;

namespace {

enum : int { kTiff = 0, kJpeg = 1, kOther = 5 };
const Bytes kThumbJpeg = {0xFF, 0xD8, 0x01, 0x02, 0x03, 0xFF, 0xD9};
const char kDescription[] = "a, b, c, d, e, f, g, 1/125s, R30, G30, B30";

std::string write(const Bytes &bytes)
{
    static TempDir dir;
    EXPECT_TRUE(write_file(dir.file("compact.bin"), bytes));
    return dir.file("compact.bin");
}
std::pair<int, CompactExifInfo> read(const Bytes &bytes, int type)
{
    CompactExifInfo info{};
    const int rc = getImageExif(write(bytes).c_str(), type, &info);
    return {rc, info};
}
int find_bytes(const Bytes &hay, const Bytes &needle)
{
    return int(std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) - hay.begin());
}

// Photoshop image resources: a resource of another id, then the thumbnail resource (1036) of a
// w x h thumbnail whose JPEG data is jpeg.
Bytes photoshop_block(uint32_t w, uint32_t h, const Bytes &jpeg = kThumbJpeg)
{
    const TiffBuilder be(true);
    const Bytes data =
        concat({be.u32({1, w, h, w * 3, w * h * 3, uint32_t(jpeg.size())}), be.u16({24, 1}), jpeg});
    return concat({bytes_of("8BIM"),
                   {0x03, 0xED, 0, 0},
                   be.u32({4}),
                   {1, 2, 3, 4},
                   bytes_of("8BIM"),
                   {0x04, 0x0C, 0, 0},
                   be.u32({uint32_t(data.size())}),
                   data});
}

// IFD0: ImageDescription, Model and the Exif IFD; IFD1 (second in the chain): the Photoshop
// resources with the thumbnail.
Bytes structure(bool big)
{
    TiffBuilder t(big);
    size_t ifd0 = t.add_ifd(), exif = t.add_ifd(false), ifd1 = t.add_ifd();
    t.add_ascii(ifd0, 270, kDescription);
    t.add_ascii(ifd0, 272, "Zenit Compact");
    t.add_ifd_pointer(ifd0, 34665, exif);
    add_tags(t, exif,
             {{33434, 'R', 1, 250},
              {33437, 'R', 28, 10},
              {34855, 'S', 200, 0},
              {37386, 'R', 50, 1},
              {41486, 'R', 4000, 3},
              {41488, 'S', 2, 0},
              {41989, 'S', 75, 0}});
    t.add_ascii(exif, 36867, "2021:02:03 04:05:06");
    t.add_bytes(ifd1, 34377, kTiffUndefined, photoshop_block(160, 120));
    return t.build();
}

// The fields of structure(); thumbnail fields only when IFD1 was read.
void expect_structure(const CompactExifInfo &c, const Bytes &file, bool thumb)
{
    EXPECT_EQ(std::string(c.model) + "|" + c.dateTime, "Zenit Compact|2021:02:03 04:05:06");
    EXPECT_EQ(std::vector<float>({c.exposureTime, c.fNumber, c.focalLength, c.focalPlaneXRes}),
              std::vector<float>({1.0f / 250, 2.8f, 50, 4000.0f / 3}));
    // The description's ISO 400 is overwritten by the Exif IFD's; its source flag stays.
    EXPECT_EQ(std::vector<int>({c.iso, c.sourceFlag, c.focalLength35, c.focalPlaneUnit}),
              std::vector<int>({200, 2, 75, 2}));
    const std::vector<int> t = {c.thumbWidth, c.thumbHeight, c.thumbRowBytes, c.thumbLength,
                                c.thumbOffset};
    EXPECT_EQ(t, thumb ? std::vector<int>(
                             {160, 120, 480, int(kThumbJpeg.size()), find_bytes(file, kThumbJpeg)})
                       : std::vector<int>(5, 0));
}

} // namespace

TEST(GetImageExif, TiffChainAndJpegBlockGiveTheSameFieldsInBothByteOrders)
{
    for (bool big : {false, true}) {
        SCOPED_TRACE(big ? "MM" : "II");
        const Bytes tiff = structure(big), jpeg = in_jpeg(tiff);
        // A completed read gives 1 for "II" data as for "MM".
        auto [rc, c] = read(tiff, kTiff);
        EXPECT_EQ(rc, 1);
        expect_structure(c, tiff, true);
        std::tie(rc, c) = read(jpeg, kJpeg);
        EXPECT_EQ(rc, 1);
        expect_structure(c, jpeg, true);      // the thumbnail offset counts from the JPEG's start
        std::tie(rc, c) = read(tiff, kOther); // IFD0 alone
        EXPECT_EQ(rc, 1);
        expect_structure(c, tiff, false);

        // The source metadata reader agrees on every field the two records share.
        ExifInfo e;
        ASSERT_EQ(getExifData(write(tiff).c_str(), 0, &e), 1);
        std::tie(rc, c) = read(tiff, kTiff);
        EXPECT_EQ(std::vector<float>({e.exposureTime, e.fNumber, e.focalLength, e.focalPlaneXRes,
                                      float(e.iso), float(e.sourceFlag), float(e.thumbOffset),
                                      float(e.thumbLength)}),
                  std::vector<float>({c.exposureTime, c.fNumber, c.focalLength, c.focalPlaneXRes,
                                      float(c.iso), float(c.sourceFlag), float(c.thumbOffset),
                                      float(c.thumbLength)}));
        EXPECT_EQ(std::string(e.model) + e.dateTime, std::string(c.model) + c.dateTime);
    }
}

TEST(GetImageExif, HeaderAndJpegMarkerCodes)
{
    const Bytes app1 = make_exif_app1(structure(false));
    const Bytes soi = {0xFF, 0xD8}, ff = {0xFF};
    const Bytes xmpApp1 = make_segment(0xE1, concat({bytes_of(metadata::kXmpApp1Signature), {0}}));
    Bytes badOrder = structure(false), badMagic = structure(true);
    badOrder[0] = 'X';
    badMagic[3] = 43;
    const struct {
        const char *what;
        Bytes file;
        int type, rc;
    } cases[] = {
        {"APP0 and APP2 are passed",
         concat({soi, make_segment(0xE0, Bytes(14, 0)), make_segment(0xE2, Bytes(40, 7)), app1}),
         kJpeg, 1},
        {"six FF of padding", concat({soi, ff, ff, ff, ff, ff, app1}), kJpeg, 1},
        {"seven FF of padding", concat({soi, ff, ff, ff, ff, ff, ff, app1}), kJpeg, -1},
        {"no SOI", concat({{0xFF, 0xD9}, app1}), kJpeg, -1},
        {"end of image first", concat({soi, {0xFF, 0xD9}, app1}), kJpeg, -1},
        {"scan first", concat({soi, {0xFF, 0xDA, 0x00, 0x08}, app1}), kJpeg, -2},
        {"first APP1 is XMP", concat({soi, xmpApp1, app1}), kJpeg, -2},
        {"segment length 1", concat({soi, {0xFF, 0xE0, 0x00, 0x01}, app1}), kJpeg, -1},
        {"segment past the end", concat({soi, {0xFF, 0xE0, 0x40, 0x00}, Bytes(8, 0)}), kJpeg, -1},
        {"APP1 EXIF with a bad magic", concat({soi, make_exif_app1(badMagic)}), kJpeg, -3},
        {"byte order XI", badOrder, kTiff, -2},
        {"magic 43", badMagic, kTiff, -3},
        {"a single byte", {'I'}, kTiff, -2},
    };
    for (const auto &c : cases)
        EXPECT_EQ(read(c.file, c.type).first, c.rc) << c.what;
    CompactExifInfo info{};
    EXPECT_EQ(getImageExif("/nonexistent/zenit.tif", kTiff, &info), -1);
    EXPECT_EQ(getImageExif(nullptr, kTiff, &info), -3);
    EXPECT_EQ(getImageExif(write(structure(false)).c_str(), kTiff, nullptr), -3);
}

TEST(GetImageExif, HostileFilesEndCleanly)
{
    // Chains that loop, a directory of 255 entries that ends the chain, counts past the file.
    TiffBuilder loop;
    size_t a = loop.add_ifd(), b = loop.add_ifd();
    loop.add_ascii(b, 272, "Looped");
    loop.set_next_to(b, a);
    TiffBuilder counts;
    size_t c0 = counts.add_ifd();
    const uint32_t at = counts.add_blob(photoshop_block(8, 8));
    counts.add_entry_at(c0, 34377, kTiffUndefined, 0xFFFFFFF0u, at);
    counts.add_entry_at(c0, 270, kTiffAscii, 0xFFFFFFF0u, at);
    counts.add_entry_at(c0, 272, kTiffAscii, 0xFFFFFFF0u, 0xFFFFFF00u);
    const Bytes countsFile = counts.build();
    auto [rc, c] = read(loop.build(), kTiff);
    EXPECT_EQ(std::pair(rc, std::string(c.model)), std::pair(1, std::string("Looped")));
    for (uint16_t entries : {254, 255}) { // 255 entries end the chain
        TiffBuilder full;
        size_t f0 = full.add_ifd(), f1 = full.add_ifd();
        for (uint16_t tag = 1; tag <= entries; ++tag)
            full.add_shorts(f0, tag, {1});
        full.add_ascii(f1, 272, "Next");
        std::tie(rc, c) = read(full.build(), kTiff);
        EXPECT_EQ(std::pair(rc, std::string(c.model)),
                  std::pair(1, std::string(entries == 255 ? "" : "Next")));
    }
    std::tie(rc, c) = read(countsFile, kTiff);
    EXPECT_EQ(std::vector<int>({rc, c.thumbWidth, c.thumbOffset}),
              std::vector<int>({1, 8, find_bytes(countsFile, kThumbJpeg)}));

    // Every truncation, and every byte set to FF in turn, of both byte orders and the JPEG.
    for (bool big : {false, true}) {
        const Bytes tiff = structure(big), jpeg = in_jpeg(tiff);
        for (auto [file, type] : {std::pair{&tiff, kTiff}, {&jpeg, kJpeg}}) {
            for (size_t n = 0; n < file->size(); n += n < 300 ? 1 : 7) {
                std::tie(rc, c) = read(Bytes(file->begin(), file->begin() + long(n)), type);
                EXPECT_TRUE(rc == 1 || rc == -1 || rc == -2 || rc == -3) << n << " " << rc;
                EXPECT_TRUE(c.model[63] == 0 && c.dateTime[19] == 0) << n;
            }
        }
        for (size_t i = 0; i < tiff.size(); ++i) {
            Bytes bad = tiff;
            bad[i] = 0xFF;
            std::tie(rc, c) = read(bad, kTiff);
            EXPECT_TRUE(rc == 1 || rc == -2 || rc == -3) << i;
            EXPECT_TRUE(c.model[63] == 0 && c.dateTime[19] == 0) << i;
        }
    }
}

TEST(ParseExif, FileOffsetsInTheGivenByteOrder)
{
    for (bool big : {false, true}) {
        const Bytes tiff = exif_tags({{33434, 'R', 1, 60}, {33437, 'R', 4, 1}}, big);
        const uint16_t order = big ? imagecore::kOrderMM : imagecore::kOrderII;
        // IFD0 at 8 holds only the Exif IFD pointer.
        const uint32_t exifAt = imagecore::read_tiff_entry(&tiff[10], order).word;
        platform::FilePtr f = platform::open_file(write(tiff), "rb");
        ASSERT_TRUE(f && std::fseek(f.get(), long(exifAt), SEEK_SET) == 0);
        CompactExifInfo c{};
        EXPECT_EQ(parseExif(f.get(), 0, &c, order), 1);
        EXPECT_EQ(c.exposureTime, 1.0f / 60.0f); // 0.0166667, divided in single precision
        EXPECT_EQ(c.fNumber, 4.0f);
    }
    CompactExifInfo c{};
    EXPECT_EQ(parseExif(nullptr, 0, &c, imagecore::kOrderII), -3);
}

TEST(ParsePhotoshopData, ShortBlocksFirstThumbnailAndBlocksPastTheFile)
{
    const Bytes one = photoshop_block(32, 24), two = concat({one, photoshop_block(64, 48)});
    // A block that ends 26 bytes after the thumbnail resource's signature (the file goes on).
    const int64_t nearEnd = find_bytes(one, {0x04, 0x0C}) - 4 + 26;
    const int thumb = int(kThumbJpeg.size());
    const struct {
        Bytes block;
        int64_t length;
        int rc, width;
    } cases[] = {
        {Bytes(26, 0), 26, 1, 0},
        {one, int64_t(one.size()), thumb, 32},
        {two, int64_t(two.size()), thumb, 32}, // the first one
        {one, nearEnd, 1, 0},
        {one, nearEnd + 1, thumb, 32},
        {one, 1 << 30, thumb, 32}, // a length past the file is cut to it
        {one, -7, 1, 0},
    };
    for (const auto &c : cases) {
        const Bytes file = concat({Bytes(5, 0), c.block});
        platform::FilePtr f = platform::open_file(write(file), "rb");
        ASSERT_TRUE(f && std::fseek(f.get(), 5, SEEK_SET) == 0);
        CompactExifInfo info{};
        EXPECT_EQ(parsePhotoshopData(f.get(), c.length, &info), c.rc) << c.length;
        EXPECT_EQ(std::pair(info.thumbWidth, info.thumbOffset),
                  std::pair(c.width, c.width ? find_bytes(file, kThumbJpeg) : 0));
    }
}

TEST(BufFromExifInfo, ScaleOf100000SaturatesAndKeepsOtherSlots)
{
    const int32_t kMax = INT32_MAX;
    const struct {
        float v;
        int32_t num, den; // -7, -7: left as they were
    } cases[] = {
        {1.0f / 250.0f, 100000, 24999998},
        {2.5f, 250000, 100000},
        {1.0f, 100000, 100000},
        {21475.0f, kMax, 100000},
        {1e-9f, 100000, kMax},
        {0, -7, -7},
        {-2, -7, -7},
    };
    for (const auto &c : cases) {
        CompactExifInfo info{};
        info.exposureTime = info.fNumber = info.focalLength = info.focalPlaneXRes = c.v;
        int32_t buf[kExifBufCount];
        std::fill(std::begin(buf), std::end(buf), -7);
        EXPECT_EQ(bufFromExifInfo(&info, buf), c.num) << c.v;
        for (int slot : {0, 2, 10, 13})
            EXPECT_EQ(std::pair(buf[slot], buf[slot + 1]), std::pair(c.num, c.den)) << c.v;
    }
    CompactExifInfo info{};
    info.iso = 400;
    info.sourceFlag = 2;
    info.focalLength35 = 28;
    info.focalPlaneUnit = 3;
    info.thumbOffset = 1234;
    info.thumbLength = 567;
    std::strcpy(info.model, "Camera");
    std::strcpy(info.dateTime, "2020:01:02 03:04:05");
    Records r;
    std::fill(std::begin(r.exif), std::end(r.exif), -7);
    EXPECT_EQ(bufFromExifInfo(&info, r.exif), -7);
    const int set[] = {5, 6, 12, 15, 16, 17};
    const int32_t want[] = {400, 2, 28, 3, 1234, 567};
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(r.exif[set[i]], want[i]) << set[i];
    for (int slot : {4, 7, 8, 9, 18, 19, 20, 21, 22, 44, 59})
        EXPECT_EQ(r.exif[slot], -7) << slot;
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&r.exif[kExifModel])) + "|" +
                  reinterpret_cast<const char *>(&r.exif[kExifDateTime]),
              "Camera|2020:01:02 03:04:05");
    EXPECT_EQ(bufFromExifInfo(nullptr, r.exif), -3);
}

TEST(ParseImageDescription, CompactRecordTakesExposureIsoAndFlag)
{
    const std::string text = "x1, x2, x3, x4, x5, x6, x7, 1/250s, R30, G30, B30";
    const std::string path = write(bytes_of(text));
    platform::FilePtr f = platform::open_file(path, "rb");
    CompactExifInfo c{};
    c.fNumber = 5.6f; // untouched
    EXPECT_EQ(parseImageDescription(f.get(), int64_t(text.size()), &c), 30);
    EXPECT_EQ(std::tuple(c.exposureTime, c.iso, c.sourceFlag, c.fNumber),
              std::tuple(0.004f, 400, 2, 5.6f));
    EXPECT_EQ(parseImageDescription(f.get(), 1000, &c), -1); // past the end of the file
}

TEST(GetImageExif, RealPhotosMatchTheSourceReaderAndExiftool)
{
    if (!std::filesystem::is_directory(HDR_TESTDATA_DIR))
        GTEST_SKIP() << "test photos not found at " << HDR_TESTDATA_DIR;
    // exiftool's numbers (-n), one line a photo: path, exposure time, f-number, focal length.
    const auto table = exiftool("-r -T -n -ext jpg -ext jpeg -FilePath -ExposureTime -FNumber "
                                "-FocalLength \"" HDR_TESTDATA_DIR "\"");
    if (!table)
        std::printf("exiftool not found: the comparison with it is skipped\n");
    std::map<std::string, std::array<double, 3>> byPath;
    for (size_t at = 0; table && at < table->size();) {
        const size_t end = std::min(table->find('\n', at), table->size());
        const std::string line = table->substr(at, end - at);
        const size_t tab = line.find('\t');
        std::array<double, 3> v{};
        if (tab != std::string::npos &&
            std::sscanf(line.c_str() + tab, "%lf %lf %lf", &v[0], &v[1], &v[2]) == 3)
            byPath[std::filesystem::canonical(line.substr(0, tab)).string()] = v;
        at = end + 1;
    }
    int compared = 0;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(HDR_TESTDATA_DIR)) {
        const std::string path = std::filesystem::canonical(entry.path()).string();
        const std::string ext = entry.path().extension().string();
        if (ext != ".jpg" && ext != ".JPG" && ext != ".jpeg")
            continue;
        SCOPED_TRACE(path);
        CompactExifInfo c{};
        ExifInfo e;
        ASSERT_EQ(getImageExif(path.c_str(), kJpeg, &c), 1);
        ASSERT_EQ(getExifData(path.c_str(), kJpeg, &e), 1);
        EXPECT_EQ(std::vector<float>({c.exposureTime, c.fNumber, c.focalLength, float(c.iso)}),
                  std::vector<float>({e.exposureTime, e.fNumber, e.focalLength, float(e.iso)}));
        EXPECT_EQ(std::string(c.model) + "|" + c.dateTime, std::string(e.model) + "|" + e.dateTime);
        // The exifBuf's rational at scale 100000 keeps the exposure to single precision.
        int32_t buf[kExifBufCount] = {};
        bufFromExifInfo(&c, buf);
        EXPECT_NEAR(double(buf[0]) / buf[1], c.exposureTime, c.exposureTime * 1e-6);
        if (!table)
            continue;
        ASSERT_EQ(byPath.count(path), 1u) << *table;
        const auto [t, n, fl] = byPath[path];
        EXPECT_NEAR(c.exposureTime, t, t * 1e-6);
        EXPECT_NEAR(c.fNumber, n, 1e-6);
        EXPECT_NEAR(c.focalLength, fl, 1e-5);
        ++compared;
    }
    EXPECT_TRUE(!table || compared > 0);
}
