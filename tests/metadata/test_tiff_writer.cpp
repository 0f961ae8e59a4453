#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <tiffio.h>

#include "imagecore/byte_order.h"
#include "imagecore/jpeg_readers.h"
#include "imagecore/records.h"
#include "imagecore/tiff_probe.h"
#include "metadata/exif_reader.h"
#include "metadata/exif_records.h"
#include "metadata/jpeg_writer.h"
#include "metadata/tiff_writer.h"
#include "metadata/xmp_settings.h"
#include "tests/metadata/exif_test_util.h"
#include "tests/support/bracket_generator.h"
#include "tests/support/fixtures.h"
#include "tests/support/image_compare.h"
#include "tonemap/tm_params.h"

using exiftest::Entry;
using exiftest::find;
using exiftest::Records;
using imagecore::read_le16;
using imagecore::read_le32;
using testsupport::Bytes;
using testsupport::TempDir;

namespace {

struct Job {
    int w = 10, h = 5, spp = 3, bits = 16;
    int32_t info[kSaveInfoCount] = {};
    Bytes pixels;
    Records rec;
    Bytes icc, iptc;
    std::string xmp; // without its terminator
    bool passXmp = false;
    int method = 0;
    float param[kTmParamCount] = {};
    Job() { reset(); }
    void reset()
    {
        if (spp == 1 || spp == 3) {
            pixels = testsupport::render_ramp(w, h, bits, spp);
        } else {
            pixels.resize(size_t(w) * size_t(h) * size_t(spp) * size_t(bits / 8));
            for (size_t i = 0; i < pixels.size(); ++i)
                pixels[i] = uint8_t(i * 7 + 3);
        }
        info[kSaveWidth] = w;
        info[kSaveHeight] = h;
        info[kSaveSamples] = spp;
        info[kSaveBits] = bits;
        info[kSaveXDpi] = 300;
        info[kSaveYDpi] = 77; // not read
        info[kSaveOrientation] = 1;
    }
    int write(const std::string &path, int rowBytes = -1)
    {
        info[kSaveIccLength] = int32_t(icc.size());
        if (rowBytes < 0)
            rowBytes = info[kSaveIs16to8] ? w * spp : w * spp * bits / 8;
        return buf2tif(pixels.data(), info, rowBytes, icc.empty() ? nullptr : icc.data(), rec.exif,
                       rec.gps, int(iptc.size()), iptc.empty() ? nullptr : iptc.data(), method,
                       param, passXmp ? int(xmp.size()) + 1 : 0, passXmp ? xmp.c_str() : nullptr,
                       path.c_str());
    }
};

// The entries of IFD0.
std::vector<Entry> ifd0(const Bytes &f)
{
    return f.size() < 8 ? std::vector<Entry>{} : exiftest::read_ifd(f, read_le32(&f[4]));
}

struct TiffCloser {
    void operator()(TIFF *t) const
    {
        if (t)
            TIFFClose(t);
    }
};
using TiffPtr = std::unique_ptr<TIFF, TiffCloser>;
TiffPtr open_tiff(const std::string &path)
{
    TIFFSetErrorHandler(nullptr);
    TIFFSetWarningHandler(nullptr);
    return TiffPtr(TIFFOpen(path.c_str(), "r"));
}
// The image rows as libtiff decodes them (samples in host order). Row by row: libtiff cuts a
// large single strip into smaller ones of its own.
Bytes strip_of(TIFF *t)
{
    uint32_t h = 0;
    TIFFGetField(t, TIFFTAG_IMAGELENGTH, &h);
    const size_t row = size_t(TIFFScanlineSize(t));
    Bytes out(row * h);
    for (uint32_t r = 0; r < h; ++r)
        if (TIFFReadScanline(t, out.data() + r * row, r, 0) != 1)
            return {};
    return out;
}
// A RATIONAL of a custom directory, whatever width libtiff hands it in.
double rational(TIFF *t, uint32_t tag)
{
    const TIFFField *f = TIFFFieldWithTag(t, tag);
    if (!f)
        return -1;
    if (TIFFFieldSetGetSize(f) == 4) {
        float v = -1;
        return TIFFGetField(t, tag, &v) ? v : -1;
    }
    double v = -1;
    return TIFFGetField(t, tag, &v) ? v : -1;
}

// The shared sample without its lens, which alone would add a settings packet to the file.
Records full_records()
{
    Records r = exiftest::full_records();
    std::memset(r.exif + kExifLens, 0, 64);
    return r;
}

} // namespace

TEST(Buf2tif, TenByFiveRgb16Layout)
{
    TempDir dir;
    Job job;
    std::string path = dir.file("ten.tif");
    ASSERT_EQ(job.write(path), 5);
    Bytes f = testsupport::read_file(path);
    ASSERT_EQ(f.size(), 492u);
    EXPECT_EQ(std::memcmp(f.data(), "II*\0", 4), 0);
    EXPECT_EQ(read_le32(&f[4]), 308u);
    // The strip is the buffer, little-endian.
    for (size_t i = 0; i < 150; ++i) {
        uint16_t v;
        std::memcpy(&v, &job.pixels[2 * i], 2);
        ASSERT_EQ(read_le16(&f[8 + 2 * i]), v) << i;
    }
    EXPECT_EQ(read_le16(&f[308]), 13);
    auto ifd = ifd0(f);
    struct Want {
        uint16_t tag, type;
        uint32_t count, value;
    };
    const std::vector<Want> want = {
        {256, 3, 1, 10},  {257, 3, 1, 5},   {258, 3, 3, 470}, {259, 3, 1, 1}, {262, 3, 1, 2},
        {273, 4, 1, 8},   {274, 3, 1, 1},   {277, 3, 1, 3},   {278, 3, 1, 5}, {279, 4, 1, 300},
        {282, 5, 1, 476}, {283, 5, 1, 484}, {284, 3, 1, 1},
    };
    ASSERT_EQ(ifd.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(ifd[i].tag, want[i].tag);
        EXPECT_EQ(ifd[i].type, want[i].type) << want[i].tag;
        EXPECT_EQ(ifd[i].count, want[i].count) << want[i].tag;
        EXPECT_EQ(ifd[i].value, want[i].value) << want[i].tag;
    }
    EXPECT_EQ(read_le32(&f[308 + 2 + 13 * 12]), 0u); // no next IFD
    for (int s = 0; s < 3; ++s)
        EXPECT_EQ(read_le16(&f[470 + 2 * s]), 16);
    EXPECT_EQ(read_le32(&f[476]), 300000u);
    EXPECT_EQ(read_le32(&f[480]), 1000u);
    EXPECT_EQ(read_le32(&f[484]), 300000u); // slot 5 is not read
    EXPECT_EQ(read_le32(&f[488]), 1000u);

    TiffPtr t = open_tiff(path);
    ASSERT_TRUE(t);
    uint32_t w = 0, h = 0;
    uint16_t bps = 0, spp = 0, photo = 0;
    float xres = 0;
    TIFFGetField(t.get(), TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(t.get(), TIFFTAG_IMAGELENGTH, &h);
    TIFFGetField(t.get(), TIFFTAG_BITSPERSAMPLE, &bps);
    TIFFGetField(t.get(), TIFFTAG_SAMPLESPERPIXEL, &spp);
    TIFFGetField(t.get(), TIFFTAG_PHOTOMETRIC, &photo);
    TIFFGetField(t.get(), TIFFTAG_XRESOLUTION, &xres);
    EXPECT_EQ(w, 10u);
    EXPECT_EQ(h, 5u);
    EXPECT_EQ(bps, 16);
    EXPECT_EQ(spp, 3);
    EXPECT_EQ(photo, PHOTOMETRIC_RGB);
    EXPECT_FLOAT_EQ(xres, 300);
    EXPECT_EQ(strip_of(t.get()), job.pixels);

    int infos[kImageInfosCount] = {};
    EXPECT_EQ(getTiffInfo(path.c_str(), infos), 2);
    EXPECT_EQ(infos[kInfoWidth], 10);
    EXPECT_EQ(infos[kInfoHeight], 5);
    EXPECT_EQ(infos[kInfoBits], 16);
    EXPECT_EQ(infos[kInfoSamples], 3);
    EXPECT_EQ(infos[kInfoXRes], 300);
    EXPECT_EQ(infos[kInfoStripOffsets], 8);
    EXPECT_EQ(infos[kInfoStripByteCounts], 300);
    EXPECT_EQ(infos[kInfoOrientation], 1);
}

TEST(Buf2tif, GreyImagePutsItsBitsInTheEntry)
{
    TempDir dir;
    Job job;
    job.spp = 1;
    job.bits = 8;
    job.w = 7; // odd strip: 35 bytes
    job.reset();
    std::string path = dir.file("grey.tif");
    ASSERT_EQ(job.write(path), 5);
    Bytes f = testsupport::read_file(path);
    EXPECT_EQ(read_le32(&f[4]), 44u); // a pad byte puts IFD0 on a word boundary
    EXPECT_EQ(f[43], 0);
    auto ifd = ifd0(f);
    ASSERT_EQ(ifd.size(), 13u);
    EXPECT_EQ(ifd[2].count, 1u);
    EXPECT_EQ(ifd[2].value, 8u);
    EXPECT_EQ(ifd[4].value, 1u);
    EXPECT_EQ(ifd[9].value, 35u); // StripByteCounts
    EXPECT_EQ(f.size(), 8 + 36 + 162 + 16u);
    TiffPtr t = open_tiff(path);
    ASSERT_TRUE(t);
    EXPECT_EQ(strip_of(t.get()), job.pixels);
}

TEST(Buf2tif, OnlyRgbProfilesAreKept)
{
    TempDir dir;
    Job job;
    job.icc = testsupport::make_icc_profile(601, "Test RGB"); // odd: the next offsets are odd
    std::string path = dir.file("rgb.tif");
    ASSERT_EQ(job.write(path), 5);
    Bytes back(job.icc.size());
    EXPECT_EQ(tif_profile(path.c_str(), back.data(), back.size()), int(back.size()));
    EXPECT_EQ(back, job.icc);
    int infos[kImageInfosCount] = {};
    getTiffInfo(path.c_str(), infos);
    EXPECT_EQ(infos[kInfoIccLength], 601);
    {
        TiffPtr t = open_tiff(path);
        ASSERT_TRUE(t);
        uint32_t n = 0;
        void *data = nullptr;
        ASSERT_TRUE(TIFFGetField(t.get(), TIFFTAG_ICCPROFILE, &n, &data));
        ASSERT_EQ(n, 601u);
        EXPECT_EQ(std::memcmp(data, job.icc.data(), n), 0);
        EXPECT_EQ(strip_of(t.get()), job.pixels);
    }

    job.icc = testsupport::make_icc_profile(600, "Test CMYK", false);
    ASSERT_EQ(job.write(path), 5);
    Bytes f = testsupport::read_file(path);
    EXPECT_FALSE(find(ifd0(f), 34675).has_value());
    EXPECT_EQ(f.size(), 492u);

    job.icc = {1, 2, 3}; // a stub of 20 bytes or fewer is kept as it stands, in the entry
    ASSERT_EQ(job.write(path), 5);
    f = testsupport::read_file(path);
    std::optional<Entry> e = find(ifd0(f), 34675);
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->count, 3u);
    EXPECT_EQ(e->value, 0x030201u);
}

TEST(Buf2tif, SettingsPacketIsMadeCarriedOrLeftOut)
{
    TempDir dir;
    std::string path = dir.file("xmp.tif");
    Job job;
    // Method 0, no lens, no packet: no entry.
    ASSERT_EQ(job.write(path), 5);
    EXPECT_FALSE(find(ifd0(testsupport::read_file(path)), 700).has_value());

    // Method 1: embed_xmp's packet and a space.
    job.method = 1;
    tmparam_default(1, 0, job.param);
    job.param[kDeStrength] = 61;
    ASSERT_EQ(job.write(path), 5);
    Bytes f = testsupport::read_file(path);
    std::optional<Entry> e = find(ifd0(f), 700);
    ASSERT_TRUE(e.has_value());
    int len = embed_xmp(0, 1, job.param, 0, nullptr, nullptr);
    ASSERT_EQ(e->count, uint32_t(len) + 1);
    std::vector<char> expected(size_t(len) + 1, 0);
    embed_xmp(1, 1, job.param, 0, nullptr, expected.data());
    EXPECT_EQ(std::memcmp(&f[e->value], expected.data(), size_t(len)), 0);
    EXPECT_EQ(f[e->value + uint32_t(len)], ' ');
    std::string packet(reinterpret_cast<const char *>(&f[e->value]), e->count);
    float back[kTmParamCount] = {};
    EXPECT_GT(get_settings_from_xmp(1, int(packet.size()) + 1, packet.c_str(), nullptr, back), 0);
    EXPECT_FLOAT_EQ(back[kDeStrength], 61);
    {
        TiffPtr t = open_tiff(path);
        ASSERT_TRUE(t);
        uint32_t n = 0;
        void *data = nullptr;
        ASSERT_TRUE(TIFFGetField(t.get(), TIFFTAG_XMLPACKET, &n, &data));
        EXPECT_EQ(n, e->count);
    }

    // An existing packet of the program is carried as it is, whatever the method asked.
    Job carry;
    carry.xmp = packet.substr(0, size_t(len));
    carry.passXmp = true;
    carry.method = 2;
    tmparam_default(2, 0, carry.param);
    ASSERT_EQ(carry.write(path), 5);
    f = testsupport::read_file(path);
    e = find(ifd0(f), 700);
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&f[e->value]), e->count), carry.xmp);

    // A foreign packet: carried with method 0, replaced with method 2.
    carry.xmp = "<x:xmpmeta xmlns:x='adobe:ns:meta/'>\n</x:xmpmeta>\n";
    carry.method = 0;
    ASSERT_EQ(carry.write(path), 5);
    f = testsupport::read_file(path);
    e = find(ifd0(f), 700);
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&f[e->value]), e->count), carry.xmp);
    carry.method = 2;
    ASSERT_EQ(carry.write(path), 5);
    f = testsupport::read_file(path);
    e = find(ifd0(f), 700);
    ASSERT_TRUE(e.has_value());
    std::string replaced(reinterpret_cast<const char *>(&f[e->value]), e->count);
    EXPECT_EQ(
        get_settings_from_xmp(-1, int(replaced.size()) + 1, replaced.c_str(), nullptr, nullptr), 2);

    // A lens alone makes a packet with the lens description only.
    Job lens;
    lens.rec.text(kExifLens, "EF 24-105mm f/4L IS USM");
    ASSERT_EQ(lens.write(path), 5);
    f = testsupport::read_file(path);
    e = find(ifd0(f), 700);
    ASSERT_TRUE(e.has_value());
    std::string lp(reinterpret_cast<const char *>(&f[e->value]), e->count);
    char lensBack[64] = {};
    EXPECT_GE(get_settings_from_xmp(100, int(lp.size()) + 1, lp.c_str(), lensBack, nullptr), 0);
    EXPECT_STREQ(lensBack, "EF 24-105mm f/4L IS USM");
}

TEST(Buf2tif, IptcIsPaddedToWholeLongs)
{
    TempDir dir;
    Job job;
    job.iptc = {0x1C, 0x02, 0x00, 0x00, 0x02, 0x00, 0x04, 0x1C, 0x02, 0x19};
    std::string path = dir.file("iptc.tif");
    ASSERT_EQ(job.write(path), 5);
    Bytes f = testsupport::read_file(path);
    std::optional<Entry> e = find(ifd0(f), 33723);
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->type, 4);
    EXPECT_EQ(e->count, 3u);
    EXPECT_EQ(Bytes(f.begin() + e->value, f.begin() + e->value + 10), job.iptc);
    EXPECT_EQ(f[e->value + 10], 0);
    EXPECT_EQ(f[e->value + 11], 0);
    EXPECT_EQ(f.size(), 492u + 12 + 12);
    Bytes back(11, 0);
    EXPECT_EQ(read_iptc(path.c_str(), 10, int(e->value), back.data()), 10);
    EXPECT_TRUE(std::equal(job.iptc.begin(), job.iptc.end(), back.begin()));
    TiffPtr t = open_tiff(path);
    ASSERT_TRUE(t);
    uint32_t n = 0;
    void *data = nullptr;
    ASSERT_TRUE(TIFFGetField(t.get(), TIFFTAG_RICHTIFFIPTC, &n, &data));
    ASSERT_EQ(n, 12u); // libtiff counts the bytes of the LONGs
    EXPECT_EQ(std::memcmp(data, job.iptc.data(), 10), 0);
}

TEST(Buf2tif, OrientationOutsideOneToEightIsWrittenAsOne)
{
    TempDir dir;
    Job job;
    std::string path = dir.file("o.tif");
    for (auto [given, written] : {std::pair{0, 1}, {9, 1}, {6, 6}, {8, 8}}) {
        job.info[kSaveOrientation] = given;
        ASSERT_EQ(job.write(path), 5);
        std::optional<Entry> e = find(ifd0(testsupport::read_file(path)), 274);
        ASSERT_TRUE(e.has_value());
        EXPECT_EQ(e->value, uint32_t(written)) << given;
    }
}

TEST(Buf2tif, ExifAndGpsDirectoriesReadBack)
{
    TempDir dir;
    Job job;
    job.rec = full_records();
    job.info[kSaveOrientation] = 6;
    std::string path = dir.file("exif.tif");
    ASSERT_EQ(job.write(path), 5);
    Bytes f = testsupport::read_file(path);
    auto ifd = ifd0(f);
    ASSERT_EQ(ifd.size(), 16u);
    std::optional<Entry> model = find(ifd, 272);
    ASSERT_TRUE(model.has_value());
    EXPECT_EQ(model->value, 512u); // IFD0 at 308 (16 entries, 198 bytes), BitsPerSample
    std::optional<Entry> exifPtr = find(ifd, 34665), gpsPtr = find(ifd, 34853);
    ASSERT_TRUE(exifPtr.has_value());
    ASSERT_TRUE(gpsPtr.has_value());

    TiffPtr t = open_tiff(path);
    ASSERT_TRUE(t);
    char *m = nullptr;
    ASSERT_TRUE(TIFFGetField(t.get(), TIFFTAG_MODEL, &m));
    EXPECT_STREQ(m, "Canon PowerShot S3 IS");
    uint16_t orient = 0;
    TIFFGetField(t.get(), TIFFTAG_ORIENTATION, &orient);
    EXPECT_EQ(orient, 6);
    ASSERT_TRUE(TIFFReadEXIFDirectory(t.get(), exifPtr->value));
    EXPECT_NEAR(rational(t.get(), EXIFTAG_EXPOSURETIME), 0.4, 1e-6); // float storage
    EXPECT_NEAR(rational(t.get(), EXIFTAG_FNUMBER), 2.7, 1e-6);
    EXPECT_NEAR(rational(t.get(), EXIFTAG_FOCALLENGTH), 6.9, 1e-6);
    char *date = nullptr;
    ASSERT_TRUE(TIFFGetField(t.get(), EXIFTAG_DATETIMEORIGINAL, &date));
    EXPECT_STREQ(date, "2008:05:31 22:48:20");
    ASSERT_TRUE(TIFFReadGPSDirectory(t.get(), gpsPtr->value));
    char *ref = nullptr;
    ASSERT_TRUE(TIFFGetField(t.get(), GPSTAG_LATITUDEREF, &ref));
    EXPECT_STREQ(ref, "N");
    char *gdate = nullptr;
    ASSERT_TRUE(TIFFGetField(t.get(), GPSTAG_DATESTAMP, &gdate));
    EXPECT_STREQ(gdate, "2008:06:01");

    // The project's reader gives the records back.
    ExifInfo info;
    ASSERT_EQ(getExifData(path.c_str(), 0, &info), 1);
    EXPECT_EQ(info.orientation, 6);
    int32_t exif[kExifBufCount] = {}, gps[kGpsBufCount] = {};
    metadataBufFromExifInfo(&info, exif, gps);
    EXPECT_EQ(std::memcmp(&exif[kExifModel], &job.rec.exif[kExifModel], 64), 0);
    EXPECT_EQ(std::memcmp(&exif[kExifDateTime], &job.rec.exif[kExifDateTime], 20), 0);
    EXPECT_EQ(exif[kExifIso], 80);
    EXPECT_EQ(std::memcmp(gps, job.rec.gps, kGpsBufBytes), 0);
}

TEST(Buf2tif, ShortTextsSitInTheValueField)
{
    TempDir dir;
    Job job;
    job.rec.text(kExifModel, "S3");
    job.rec.text(kExifDateTime, "abc");
    std::string path = dir.file("short.tif");
    ASSERT_EQ(job.write(path), 5);
    TiffPtr t = open_tiff(path);
    ASSERT_TRUE(t);
    char *m = nullptr;
    ASSERT_TRUE(TIFFGetField(t.get(), TIFFTAG_MODEL, &m));
    EXPECT_STREQ(m, "S3");
    // libtiff wants 20 characters in DateTimeOriginal; the project's reader takes any text.
    Bytes f = testsupport::read_file(path);
    std::optional<Entry> exifPtr = find(ifd0(f), 34665);
    ASSERT_TRUE(exifPtr.has_value());
    EXPECT_EQ(read_le16(&f[exifPtr->value]), 1);
    EXPECT_EQ(std::memcmp(&f[exifPtr->value + 2 + 8], "abc\0", 4), 0);
    EXPECT_EQ(f.size(), exifPtr->value + 18u); // no data area
    ExifInfo info;
    ASSERT_EQ(getExifData(path.c_str(), 0, &info), 1);
    EXPECT_STREQ(info.model, "S3");
    EXPECT_STREQ(info.dateTime, "abc");
}

TEST(Buf2tif, SidesAbove65535AreWrittenAsLong)
{
    TempDir dir;
    for (auto [w, h] : {std::pair{70000, 1}, {1, 70000}}) {
        Job job;
        job.w = w;
        job.h = h;
        job.spp = 1;
        job.bits = 8;
        job.reset();
        std::string path = dir.file("long.tif");
        ASSERT_EQ(job.write(path), h);
        auto ifd = ifd0(testsupport::read_file(path));
        ASSERT_EQ(ifd.size(), 13u);
        EXPECT_EQ(ifd[0].type, w > 65535 ? 4 : 3);
        EXPECT_EQ(ifd[0].value, uint32_t(w));
        EXPECT_EQ(ifd[1].type, h > 65535 ? 4 : 3);
        EXPECT_EQ(ifd[1].value, uint32_t(h));
        EXPECT_EQ(ifd[8].tag, 278);
        EXPECT_EQ(ifd[8].type, h > 65535 ? 4 : 3);
        EXPECT_EQ(ifd[8].value, uint32_t(h));
        TiffPtr t = open_tiff(path);
        ASSERT_TRUE(t);
        uint32_t tw = 0, th = 0;
        TIFFGetField(t.get(), TIFFTAG_IMAGEWIDTH, &tw);
        TIFFGetField(t.get(), TIFFTAG_IMAGELENGTH, &th);
        EXPECT_EQ(tw, uint32_t(w));
        EXPECT_EQ(th, uint32_t(h));
        Bytes strip = strip_of(t.get());
        ASSERT_EQ(strip.size(), job.pixels.size()) << w << " x " << h;
        auto diff = testsupport::compare_images(strip, job.pixels, 0);
        EXPECT_EQ(diff.count, 0u) << w << " x " << h << " first at " << diff.worstIndex;
    }
}

TEST(Buf2tif, FilesPastThirtyTwoBitOffsetsAreRefused)
{
    TempDir dir;
    Bytes row(65537, 0);
    int32_t info[kSaveInfoCount] = {};
    info[kSaveSamples] = 1;
    info[kSaveBits] = 8;
    std::string path = dir.file("huge.tif");
    // 2^32 bytes of strip; then 2^32 - 1, which leaves no room for the directory.
    for (auto [w, h] : {std::pair{65536, 65536}, {65537, 65535}}) {
        info[kSaveWidth] = w;
        info[kSaveHeight] = h;
        EXPECT_EQ(buf2tif(row.data(), info, w, nullptr, nullptr, nullptr, 0, nullptr, 0, nullptr, 0,
                          nullptr, path.c_str()),
                  -1);
        EXPECT_TRUE(testsupport::read_file(path).empty()); // no file was made
    }
}

TEST(Buf2tif, SixteenToEightForcesEightBitsAndDropsTheLastSample)
{
    TempDir dir;
    Job job;
    job.spp = 4;
    job.reset();
    std::vector<uint16_t> s(size_t(job.w) * size_t(job.h) * 4);
    for (size_t i = 0; i < s.size(); ++i)
        s[i] = uint16_t(i * 1031 + 0x12AB);
    job.pixels.assign(reinterpret_cast<uint8_t *>(s.data()),
                      reinterpret_cast<uint8_t *>(s.data() + s.size()));
    job.info[kSaveIs16to8] = 1;
    job.info[kSaveBits] = 16; // forced to 8
    std::string path = dir.file("sixteen.tif");
    ASSERT_EQ(job.write(path), job.h);
    TiffPtr t = open_tiff(path);
    ASSERT_TRUE(t);
    uint16_t bps = 0, spp = 0;
    TIFFGetField(t.get(), TIFFTAG_BITSPERSAMPLE, &bps);
    TIFFGetField(t.get(), TIFFTAG_SAMPLESPERPIXEL, &spp);
    EXPECT_EQ(bps, 8);
    EXPECT_EQ(spp, 3);
    Bytes expected;
    for (size_t p = 0; p < s.size() / 4; ++p)
        for (size_t c = 0; c < 3; ++c)
            expected.push_back(uint8_t(s[4 * p + c] >> 8));
    EXPECT_EQ(expected[0], 0x12);
    EXPECT_EQ(strip_of(t.get()), expected);
}

TEST(Buf2tif, DroppedSampleKeepsTheStoredDepth)
{
    TempDir dir;
    for (auto [spp, bits] : {std::pair{4, 16}, {2, 8}, {4, 8}, {2, 16}}) {
        Job job;
        job.spp = spp;
        job.bits = bits;
        job.reset();
        const size_t bps = size_t(bits / 8), kept = size_t(spp - 1);
        std::string path = dir.file("drop.tif");
        ASSERT_EQ(job.write(path), job.h);
        Bytes expected;
        for (size_t p = 0; p < size_t(job.w * job.h); ++p)
            for (size_t b = 0; b < kept * bps; ++b)
                expected.push_back(job.pixels[p * size_t(spp) * bps + b]);
        TiffPtr t = open_tiff(path);
        ASSERT_TRUE(t);
        uint16_t tspp = 0, tbps = 0;
        TIFFGetField(t.get(), TIFFTAG_SAMPLESPERPIXEL, &tspp);
        TIFFGetField(t.get(), TIFFTAG_BITSPERSAMPLE, &tbps);
        EXPECT_EQ(tspp, kept);
        EXPECT_EQ(tbps, bits);
        EXPECT_EQ(strip_of(t.get()), expected) << spp << " samples, " << bits << " bits";
    }
}

TEST(Buf2tif, RowPitchIsHonoured)
{
    TempDir dir;
    Job job;
    const int row = job.w * 3 * 2, pitch = row + 6;
    Bytes padded(size_t(pitch) * size_t(job.h), 0xEE);
    for (int r = 0; r < job.h; ++r)
        std::memcpy(&padded[size_t(r) * size_t(pitch)], &job.pixels[size_t(r) * size_t(row)],
                    size_t(row));
    ASSERT_EQ(job.write(dir.file("packed.tif")), job.h);
    Bytes packed = job.pixels;
    job.pixels = padded;
    ASSERT_EQ(job.write(dir.file("padded.tif"), pitch), job.h);
    EXPECT_EQ(testsupport::read_file(dir.file("packed.tif")),
              testsupport::read_file(dir.file("padded.tif")));
}

TEST(Buf2tif, BadArgumentsAndWriteFailures)
{
    TempDir dir;
    Job job;
    EXPECT_EQ(job.write(dir.file("missing/x.tif")), -1);
    std::string path = dir.file("bad.tif");
    auto call = [&](const void *px, const int32_t *info, int rowBytes) {
        return buf2tif(px, info, rowBytes, nullptr, nullptr, nullptr, 0, nullptr, 0, nullptr, 0,
                       nullptr, path.c_str());
    };
    EXPECT_EQ(call(nullptr, job.info, 60), -3);
    EXPECT_EQ(call(job.pixels.data(), nullptr, 60), -3);
    EXPECT_EQ(call(job.pixels.data(), job.info, 59), -3); // shorter than a row
    job.info[kSaveBits] = 12;
    EXPECT_EQ(call(job.pixels.data(), job.info, 60), -3);
    job.reset();
    job.info[kSaveSamples] = 5;
    EXPECT_EQ(call(job.pixels.data(), job.info, 60), -3);
    job.reset();
    job.info[kSaveWidth] = 0;
    EXPECT_EQ(call(job.pixels.data(), job.info, 60), -3);
    job.reset();
    job.info[kSaveIccLength] = 10; // and no profile
    EXPECT_EQ(call(job.pixels.data(), job.info, 60), -3);
    job.info[kSaveIccLength] = 0;
    EXPECT_EQ(buf2tif(job.pixels.data(), job.info, 60, nullptr, nullptr, nullptr, 0, nullptr, 1,
                      nullptr, 0, nullptr, path.c_str()),
              -3); // a method without its settings
    EXPECT_EQ(buf2tif(job.pixels.data(), job.info, 60, nullptr, nullptr, nullptr, 0, nullptr, 0,
                      nullptr, 0, nullptr, nullptr),
              -1);
    EXPECT_TRUE(testsupport::read_file(path).empty());

    FILE *full = std::fopen("/dev/full", "wb");
    if (!full)
        GTEST_SKIP() << "no /dev/full on this system";
    std::fclose(full);
    // Small: everything sits in the stream buffer until the close, which fails.
    EXPECT_EQ(job.write("/dev/full"), -12);
    // Large: a row write fails.
    Job big;
    big.w = 4096;
    big.h = 16;
    big.reset();
    EXPECT_EQ(big.write("/dev/full"), -3);
}

TEST(Buf2tif, EveryValueOffsetIsEven)
{
    // Odd lengths everywhere: model (count 9), profile, packet, strip (8-bit grey 7 x 5).
    TempDir dir;
    Job job;
    job.spp = 1;
    job.bits = 8;
    job.w = 7;
    job.reset();
    job.rec = full_records();
    std::memset(job.rec.exif + kExifModel, 0, 64);
    job.rec.text(kExifModel, "iPhone 6");
    job.rec.text(kExifLens, "odd lens");
    job.icc = testsupport::make_icc_profile(701, "Test RGB");
    job.iptc = {0x1C, 0x02, 0x00, 0x00, 0x02, 0x00, 0x04};
    job.method = 10;
    std::string path = dir.file("even.tif");
    ASSERT_EQ(job.write(path), 5);
    Bytes f = testsupport::read_file(path);
    const std::vector<uint32_t> sizes = {0, 1, 1, 2, 4, 8, 0, 1};
    std::vector<uint32_t> ifds = {read_le32(&f[4])};
    for (size_t k = 0; k < ifds.size(); ++k) {
        ASSERT_EQ(ifds[k] % 2, 0u);
        ASSERT_LE(ifds[k] + 2u, f.size());
        const uint16_t n = read_le16(&f[ifds[k]]);
        for (uint16_t i = 0; i < n; ++i) {
            const uint8_t *e = &f[ifds[k] + 2 + 12 * i];
            const uint16_t tag = read_le16(e), type = read_le16(e + 2);
            const uint32_t count = read_le32(e + 4), value = read_le32(e + 8);
            ASSERT_LT(type, sizes.size());
            if (k == 0 && (tag == 34665 || tag == 34853))
                ifds.push_back(value);
            if (count * sizes[type] > 4) {
                EXPECT_EQ(value % 2, 0u) << "tag " << tag;
                EXPECT_LE(uint64_t(value) + count * sizes[type], f.size()) << "tag " << tag;
            }
        }
    }
    EXPECT_EQ(ifds.size(), 3u);
    Bytes back(job.icc.size());
    EXPECT_EQ(tif_profile(path.c_str(), back.data(), back.size()), 701);
    EXPECT_EQ(back, job.icc);
}

namespace {

// The first photo's metadata as the workflow gathers it.
struct Source {
    ExifInfo info;
    int32_t exif[kExifBufCount] = {};
    int32_t gps[kGpsBufCount] = {};
    Bytes iptc;
};
bool load_source(const std::string &path, Source *s)
{
    if (getExifData(path.c_str(), 1, &s->info) != 1)
        return false;
    metadataBufFromExifInfo(&s->info, s->exif, s->gps);
    if (s->info.iptcLength > 0) {
        s->iptc.assign(size_t(s->info.iptcLength) + 1, 0);
        if (read_iptc(path.c_str(), s->info.iptcLength, s->info.iptcOffset, s->iptc.data()) !=
            s->info.iptcLength)
            return false;
        s->iptc.resize(size_t(s->info.iptcLength));
    }
    return true;
}

// The reader turns each rational into a float and encodes it again at scale 100, truncating:
// compare the values, within one unit of the smaller integer plus single precision.
void expect_same_ratio(const int32_t *a, const int32_t *b, int slot, const char *what)
{
    ASSERT_GT(b[slot], 0) << what;
    ASSERT_GT(b[slot + 1], 0) << what;
    const double va = double(a[slot]) / a[slot + 1], vb = double(b[slot]) / b[slot + 1];
    const double unit = 1.0 / std::min(b[slot], b[slot + 1]);
    EXPECT_NEAR(va, vb, (unit + 1e-6) * vb) << what;
}

void expect_records_survive(const Source &src, const ExifInfo &back)
{
    int32_t exif[kExifBufCount] = {}, gps[kGpsBufCount] = {};
    metadataBufFromExifInfo(&back, exif, gps);
    if (src.exif[kExifExposureNum] > 0)
        expect_same_ratio(exif, src.exif, kExifExposureNum, "exposure");
    if (src.exif[kExifFNumberNum] > 0)
        expect_same_ratio(exif, src.exif, kExifFNumberNum, "f-number");
    if (src.exif[kExifFocalNum] > 0)
        expect_same_ratio(exif, src.exif, kExifFocalNum, "focal length");
    EXPECT_EQ(exif[kExifIso], src.exif[kExifIso]);
    EXPECT_STREQ(back.model, src.info.model);
    EXPECT_STREQ(back.dateTime, src.info.dateTime);
    EXPECT_EQ(std::memcmp(gps, src.gps, kGpsBufBytes), 0) << "GPS record";
}

} // namespace

class OutputWriters : public ::testing::TestWithParam<const char *> {};

TEST_P(OutputWriters, RealPhotoMetadataSurvivesBothWriters)
{
    const std::string src = std::string(HDR_TESTDATA_DIR) + "/" + GetParam();
    if (testsupport::read_file(src).empty())
        GTEST_SKIP() << "test photo not found: " << src;
    Source s;
    ASSERT_TRUE(load_source(src, &s));
    ASSERT_GT(s.exif[kExifModel], 0);
    // The lens normally comes from a settings packet; give one to carry it through.
    std::memset(s.exif + kExifLens, 0, 64);
    const char *lens = "4.15mm f/2.2 test lens";
    std::memcpy(s.exif + kExifLens, lens, std::strlen(lens));
    const Bytes icc = testsupport::make_icc_profile(70001, "Test RGB"); // two APP2 chunks
    float param[kTmParamCount];
    tmparam_default(1, 0, param);
    param[kDeStrength] = 63;
    const int orientation = s.info.orientation > 0 ? s.info.orientation : 1;

    const int w = 64, h = 48;
    Bytes pixels = testsupport::render_ramp(w, h, 16, 3);
    int32_t info[kSaveInfoCount] = {w, h, 3, 16, 300, 300, int32_t(icc.size())};
    info[kSaveOrientation] = orientation;
    TempDir dir;
    const std::string tif = dir.file("out.tif"), jpg = dir.file("out.jpg");
    const uint8_t *iptc = s.iptc.empty() ? nullptr : s.iptc.data();
    ASSERT_EQ(buf2tif(pixels.data(), info, w * 6, icc.data(), s.exif, s.gps, int(s.iptc.size()),
                      iptc, 1, param, 0, nullptr, tif.c_str()),
              h);
    info[kSaveBits] = 8;
    info[kSaveIs16to8] = 1;
    ASSERT_EQ(KVwritejpg(jpg.c_str(), 90, info, w * 3, icc.data(), s.exif, s.gps,
                         int(s.iptc.size()), iptc, 1, param, pixels.data()),
              h);

    for (const std::string &out : {tif, jpg}) {
        SCOPED_TRACE(out);
        const bool isTiff = out == tif;
        ExifInfo back;
        ASSERT_EQ(getExifData(out.c_str(), isTiff ? 0 : 1, &back), 1);
        expect_records_survive(s, back);
        EXPECT_EQ(back.orientation, orientation);

        // IPTC: the same bytes (TIFF pads them to whole LONGs).
        if (!s.iptc.empty()) {
            ASSERT_GE(back.iptcLength, int(s.iptc.size()));
            Bytes b(size_t(back.iptcLength) + 1, 0);
            ASSERT_EQ(read_iptc(out.c_str(), back.iptcLength, back.iptcOffset, b.data()),
                      back.iptcLength);
            EXPECT_TRUE(std::equal(s.iptc.begin(), s.iptc.end(), b.begin()));
        } else {
            EXPECT_EQ(back.iptcLength, 0);
        }

        // The settings packet and its lens.
        ASSERT_GT(back.xmpLength, 0);
        Bytes f = testsupport::read_file(out);
        const size_t packetLen = size_t(back.xmpLength) - (isTiff ? 0 : 31);
        ASSERT_LE(size_t(back.xmpOffset) + packetLen, f.size());
        std::string packet(reinterpret_cast<const char *>(&f[size_t(back.xmpOffset)]), packetLen);
        float got[kTmParamCount] = {};
        EXPECT_GT(get_settings_from_xmp(1, int(packet.size()) + 1, packet.c_str(), nullptr, got),
                  0);
        EXPECT_FLOAT_EQ(got[kDeStrength], 63);
        char lensBack[64] = {};
        get_settings_from_xmp(100, int(packet.size()) + 1, packet.c_str(), lensBack, nullptr);
        EXPECT_STREQ(lensBack, lens);

        // The ICC profile.
        Bytes iccBack(icc.size());
        int infos[kImageInfosCount] = {};
        if (isTiff) {
            EXPECT_EQ(getTiffInfo(out.c_str(), infos), 2);
            EXPECT_EQ(infos[kInfoBits], 16);
            EXPECT_EQ(infos[kInfoOrientation], orientation);
            EXPECT_EQ(tif_profile(out.c_str(), iccBack.data(), iccBack.size()), int(icc.size()));
            TiffPtr t = open_tiff(out);
            ASSERT_TRUE(t);
            EXPECT_EQ(strip_of(t.get()), pixels);
        } else {
            EXPECT_EQ(infojpg(out.c_str(), infos), 8);
            EXPECT_EQ(infos[6], int(icc.size()));
            EXPECT_EQ(jpg_profile(out.c_str(), iccBack.data(), iccBack.size()), int(icc.size()));
        }
        EXPECT_EQ(infos[0], w);
        EXPECT_EQ(infos[1], h);
        EXPECT_EQ(iccBack, icc);
    }
}

INSTANTIATE_TEST_SUITE_P(Brackets, OutputWriters,
                         ::testing::Values("stlouis_arch_tripod/StLouisArchMultExpEV+1.51.jpeg",
                                           "iphone6_handheld/1.JPG",
                                           "window_tripod_e995/HDRI_Sample_Scene_Window_-_02.jpg"));
