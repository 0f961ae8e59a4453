// The compact EXIF layer: getImageExif over TIFF files and JPEG EXIF blocks (against the source
// metadata reader and exiftool), parseExif, parsePhotoshopData, bufFromExifInfo at scale 100000,
// and hostile files.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <string>
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
const Bytes kThumb = {0xFF, 0xD8, 0x01, 0x02, 0x03, 0xFF, 0xD9};

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
int find(const Bytes &hay, const Bytes &needle)
{
    return int(std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) - hay.begin());
}
// The fields both records have, on one line.
template <class Record> std::string fields(const Record &r)
{
    char s[300];
    std::snprintf(s, sizeof s, "%.9g %.9g %.9g %.9g %d %d %d %d %s|%s thumb %d %d %d %d %d",
                  r.exposureTime, r.fNumber, r.focalLength, r.focalPlaneXRes, r.iso, r.sourceFlag,
                  r.focalLength35, r.focalPlaneUnit, r.model, r.dateTime, r.thumbWidth,
                  r.thumbHeight, r.thumbRowBytes, r.thumbLength, r.thumbOffset);
    return s;
}

// Photoshop image resources: another resource, then the thumbnail (1036) of a w x h image.
Bytes photoshop_block(uint32_t w, uint32_t h)
{
    const TiffBuilder be(true);
    const Bytes data = concat(
        {be.u32({1, w, h, w * 3, w * h * 3, uint32_t(kThumb.size())}), be.u16({24, 1}), kThumb});
    return concat({bytes_of("8BIM"),
                   {0x03, 0xED, 0, 0, 0, 0, 0, 2, 1, 2},
                   bytes_of("8BIM"),
                   {0x04, 0x0C, 0, 0},
                   be.u32({uint32_t(data.size())}),
                   data});
}

// IFD0: ImageDescription, Model, the Exif IFD; IFD1, second in the chain: the thumbnail.
Bytes structure(bool big)
{
    TiffBuilder t(big);
    size_t ifd0 = t.add_ifd(), exif = t.add_ifd(false), ifd1 = t.add_ifd();
    t.add_ascii(ifd0, 270, "a, b, c, d, e, f, g, 1/125s, R30, G30, B30");
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
// The description's ISO 400 gives way to the Exif IFD's 200; its source flag stays.
std::string structure_fields(int thumbOffset)
{
    return "0.00400000019 2.79999995 50 1333.33337 200 2 75 2 Zenit Compact|2021:02:03 04:05:06 "
           "thumb " +
           (thumbOffset ? "160 120 480 7 " + std::to_string(thumbOffset) : "0 0 0 0 0");
}

} // namespace

TEST(GetImageExif, TiffChainAndJpegBlockGiveTheSameFieldsInBothByteOrders)
{
    for (bool big : {false, true}) {
        const Bytes tiff = structure(big), jpeg = in_jpeg(tiff);
        ExifInfo e;
        ASSERT_EQ(getExifData(write(tiff).c_str(), kTiff, &e), 1);
        // A completed read gives 1 for "II" data as for "MM"; JPEG offsets count from the byte
        // after "Exif\0\0", and the thumbnail offset from the file's start.
        for (auto [file, type, thumb] : {std::tuple{&tiff, kTiff, find(tiff, kThumb)},
                                         {&jpeg, kJpeg, find(jpeg, kThumb)},
                                         {&tiff, kOther, 0}}) {
            auto [rc, c] = read(*file, type);
            EXPECT_EQ(rc, 1) << big << type;
            EXPECT_EQ(fields(c), structure_fields(thumb)) << big << type;
            EXPECT_TRUE(type != kTiff || fields(c) == fields(e))
                << fields(e); // as the source reader
        }
    }
}

TEST(GetImageExif, HeaderAndJpegMarkerCodes)
{
    const Bytes app1 = make_exif_app1(structure(false)), soi = {0xFF, 0xD8}, ff4(4, 0xFF);
    Bytes badMagic = structure(true);
    badMagic[3] = 43;
    const struct {
        Bytes file;
        int type, rc;
    } cases[] = {
        {concat({soi, make_segment(0xE0, Bytes(14, 0)), make_segment(0xE2, Bytes(40, 7)), app1}),
         kJpeg, 1},
        {concat({soi, ff4, {0xFF}, app1}), kJpeg, 1},               // six FF of padding
        {concat({soi, ff4, {0xFF, 0xFF}, app1}), kJpeg, -1},        // seven
        {concat({{0xFF, 0xD9}, app1}), kJpeg, -1},                  // no SOI
        {concat({soi, {0xFF, 0xD9}, app1}), kJpeg, -1},             // end of image first
        {concat({soi, {0xFF, 0xDA, 0x00, 0x08}, app1}), kJpeg, -2}, // the scan first
        {concat({soi, make_segment(0xE1, bytes_of("http://ns")), app1}), kJpeg, -2}, // not EXIF
        {concat({soi, {0xFF, 0xE0, 0x00, 0x01}, app1}), kJpeg, -1},                  // length 1
        {concat({soi, {0xFF, 0xE0, 0x40, 0x00}, Bytes(8, 0)}), kJpeg, -1},           // past the end
        {concat({soi, make_exif_app1(badMagic)}), kJpeg, -3},
        {badMagic, kTiff, -3},
        {{'I', 'X', 42, 0}, kTiff, -2},
    };
    for (const auto &c : cases)
        EXPECT_EQ(read(c.file, c.type).first, c.rc) << &c - cases;
    CompactExifInfo info{};
    EXPECT_EQ(getImageExif("/nonexistent/zenit.tif", kTiff, &info), -1);
    EXPECT_EQ(getImageExif(nullptr, kTiff, &info), -3);
}

TEST(GetImageExif, LoopsLongDirectoriesAndCorruptFilesEndCleanly)
{
    TiffBuilder loop;
    size_t a = loop.add_ifd(), b = loop.add_ifd();
    loop.add_ascii(b, 272, "Looped");
    loop.set_next_to(b, a);
    EXPECT_STREQ(read(loop.build(), kTiff).second.model, "Looped");
    for (uint16_t entries : {254, 255}) { // 255 entries end the chain
        TiffBuilder t;
        size_t d0 = t.add_ifd(), d1 = t.add_ifd();
        for (uint16_t tag = 1; tag <= entries; ++tag)
            t.add_shorts(d0, tag, {1});
        t.add_ascii(d1, 272, "Next");
        EXPECT_STREQ(read(t.build(), kTiff).second.model, entries == 255 ? "" : "Next");
    }
    // Every truncation, and every byte set to FF in turn.
    for (bool big : {false, true}) {
        const Bytes tiff = structure(big), jpeg = in_jpeg(tiff);
        for (auto [file, type] : {std::pair{&tiff, kTiff}, {&jpeg, kJpeg}})
            for (size_t n = 0; n < file->size(); n += n < 300 ? 1 : 7) {
                auto [rc, c] = read(Bytes(file->begin(), file->begin() + long(n)), type);
                EXPECT_TRUE(rc == 1 || rc == -1 || rc == -2 || rc == -3) << n << " " << rc;
                EXPECT_TRUE(c.model[63] == 0 && c.dateTime[19] == 0) << n;
            }
        for (size_t i = 0; i < tiff.size(); ++i) {
            Bytes bad = tiff;
            bad[i] = 0xFF;
            auto [rc, c] = read(bad, kTiff);
            EXPECT_TRUE((rc == 1 || rc == -2 || rc == -3) && c.model[63] == 0) << i;
        }
    }
}

TEST(ParseExifAndPhotoshopData, FileOffsetsAndThumbnailBounds)
{
    for (bool big : {false, true}) {
        const Bytes tiff = exif_tags({{33434, 'R', 1, 60}, {33437, 'R', 4, 1}}, big);
        const uint16_t order = big ? imagecore::kOrderMM : imagecore::kOrderII;
        platform::FilePtr f = platform::open_file(write(tiff), "rb");
        // IFD0 at 8 holds only the Exif IFD pointer.
        std::fseek(f.get(), long(imagecore::read_tiff_entry(&tiff[10], order).word), SEEK_SET);
        CompactExifInfo c{};
        EXPECT_EQ(parseExif(f.get(), 0, &c, order), 1);
        EXPECT_EQ(std::pair(c.exposureTime, c.fNumber), std::pair(1.0f / 60.0f, 4.0f)); // 0.0166667
    }
    // Blocks cut 26 and 27 bytes after the thumbnail's signature while the file goes on; the
    // first of two thumbnails; a block of 26 bytes; lengths past the file and below 0.
    const Bytes one = photoshop_block(32, 24), two = concat({one, photoshop_block(64, 48)});
    const int64_t sig = find(one, {0x04, 0x0C}) - 4, thumb = int64_t(kThumb.size());
    for (auto [block, length, rc] : {std::tuple{&one, sig + 26, int64_t(1)},
                                     {&one, sig + 27, thumb},
                                     {&two, int64_t(two.size()), thumb},
                                     {&one, int64_t(26), int64_t(1)},
                                     {&one, int64_t(1) << 40, thumb},
                                     {&one, int64_t(-7), int64_t(1)}}) {
        const Bytes file = concat({Bytes(5, 0), *block});
        platform::FilePtr f = platform::open_file(write(file), "rb");
        std::fseek(f.get(), 5, SEEK_SET);
        CompactExifInfo c{};
        EXPECT_EQ(parsePhotoshopData(f.get(), length, &c), rc) << length;
        EXPECT_EQ(std::pair(c.thumbWidth, c.thumbOffset),
                  rc == 1 ? std::pair(0, 0) : std::pair(32, find(file, kThumb)));
    }
}

TEST(BufFromExifInfo, ScaleOf100000SaturatesAndKeepsOtherSlots)
{
    const struct {
        float v;
        int32_t num, den; // -7, -7: left as they were
    } cases[] = {{1.0f / 250.0f, 100000, 24999998},
                 {2.5f, 250000, 100000},
                 {21475.0f, INT32_MAX, 100000},
                 {1e-9f, 100000, INT32_MAX},
                 {0, -7, -7},
                 {-2, -7, -7}};
    for (const auto &c : cases) {
        CompactExifInfo info{};
        info.exposureTime = info.fNumber = info.focalLength = info.focalPlaneXRes = c.v;
        info.iso = 400;
        info.thumbOffset = 1234;
        std::strcpy(info.model, "Camera");
        Records r;
        std::fill(std::begin(r.exif), std::end(r.exif), -7);
        EXPECT_EQ(bufFromExifInfo(&info, r.exif), c.num) << c.v;
        for (int slot : {0, 2, 10, 13})
            EXPECT_EQ(std::pair(r.exif[slot], r.exif[slot + 1]), std::pair(c.num, c.den)) << c.v;
        EXPECT_EQ(std::vector<int>({r.exif[4], r.exif[5], r.exif[16], r.exif[18], r.exif[44]}),
                  std::vector<int>({-7, 400, 1234, -7, -7}));
        EXPECT_STREQ(reinterpret_cast<const char *>(&r.exif[kExifModel]), "Camera");
    }
}

TEST(GetImageExif, RealPhotosMatchTheSourceReaderAndExiftool)
{
    if (!std::filesystem::is_directory(HDR_TESTDATA_DIR))
        GTEST_SKIP() << "test photos not found at " << HDR_TESTDATA_DIR;
    // exiftool's numbers, a line a photo: exposure time, f-number, focal length, path.
    const auto table = exiftool("-r -q -p '$ExposureTime# $FNumber# $FocalLength# $FilePath' "
                                "-ext jpg -ext jpeg \"" HDR_TESTDATA_DIR "\"");
    if (!table)
        std::printf("exiftool not found: the comparison with it is skipped\n");
    int compared = 0;
    for (size_t at = 0; table && at < table->size(); at = table->find('\n', at) + 1) {
        double t = 0, n = 0, fl = 0;
        char path[4096] = {};
        ASSERT_EQ(std::sscanf(table->c_str() + at, "%lf %lf %lf %4095[^\n]", &t, &n, &fl, path), 4);
        SCOPED_TRACE(path);
        CompactExifInfo c{};
        ExifInfo e;
        ASSERT_EQ(getImageExif(path, kJpeg, &c), 1);
        ASSERT_EQ(getExifData(path, kJpeg, &e), 1);
        e.thumbLength = e.thumbOffset = 0; // the compact reader takes no IFD1 thumbnail
        EXPECT_EQ(fields(c), fields(e));
        EXPECT_NEAR(c.exposureTime, t, t * 1e-6);
        EXPECT_NEAR(c.fNumber, n, 1e-6);
        EXPECT_NEAR(c.focalLength, fl, 1e-5);
        int32_t buf[kExifBufCount] = {}; // the rational at scale 100000 keeps the exposure
        bufFromExifInfo(&c, buf);
        EXPECT_NEAR(double(buf[0]) / buf[1], t, t * 1e-6);
        ++compared;
    }
    EXPECT_TRUE(!table || compared == 14) << compared;
}
