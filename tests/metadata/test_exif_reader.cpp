// getExifData, read_iptc and parse_photoshop_data over hand-made TIFF, JPEG and PSD files and
// truncated or hostile variants of them.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "metadata/exif_reader.h"
#include "metadata/xmp_settings.h"
#include "platform/file_holder.h"
#include "tests/metadata/exif_test_util.h"

using namespace exiftest;
using testsupport::kTiffAscii;
using testsupport::TiffBuilder;

namespace {

enum : int { kTiff = 0, kJpeg = 1, kPsd = 2 };

const Bytes kIptc = {0x1C, 0x02, 0x00, 0x00, 0x02, 0x00, 0x04, 0x1C,
                     0x02, 0x50, 0x00, 0x03, 'Z',  'e',  'n',  0x00};
const Bytes kThumb = {0xFF, 0xD8, 0x11, 0x22, 0xFF, 0xD9};

struct Read {
    int rc;
    ExifInfo info;
};

class ExifFiles : public ::testing::Test {
protected:
    std::string write(const Bytes &bytes, const std::string &name = "photo.bin")
    {
        std::string path = m_dir.file(name);
        EXPECT_TRUE(testsupport::write_file(path, bytes));
        return path;
    }
    Read read(const Bytes &bytes, int type)
    {
        Read r{};
        r.rc = getExifData(write(bytes).c_str(), type, &r.info);
        return r;
    }
    testsupport::TempDir m_dir;
};

// IFD0 (model, orientation, thumbnail tags that count only after IFD0), the Exif and GPS IFDs,
// and IFD1 with the thumbnail kThumb.
Bytes exif_structure(bool big, const std::function<void(TiffBuilder &, size_t)> &extraIfd0 = {})
{
    TiffBuilder t(big);
    size_t ifd0 = t.add_ifd(), exif = t.add_ifd(false), gps = t.add_ifd(false), ifd1 = t.add_ifd();
    const uint32_t thumb = t.add_blob(kThumb);
    t.add_ascii(ifd0, 272, "Zenit Test Camera");
    add_tags(t, ifd0, {{274, 'S', 6, 0}, {513, 'L', 100, 0}, {514, 'L', 10, 0}});
    t.add_ifd_pointer(ifd0, 34665, exif);
    t.add_ifd_pointer(ifd0, 34853, gps);
    if (extraIfd0)
        extraIfd0(t, ifd0);
    add_tags(t, exif, {{33434, 'R', 1, 250}, {33437, 'R', 28, 10}, {34855, 'S', 200, 0}});
    t.add_ascii(exif, 36867, "2020:01:02 03:04:05");
    add_tags(t, exif, {{37386, 'R', 50, 1}, {41486, 'R', 3000, 1}, {41488, 'S', 2, 0}});
    add_tags(t, exif, {{41989, 'S', 75, 0}});
    t.add_bytes(gps, 1, kTiffAscii, {'N', 0});
    t.add_rationals(gps, 2, {{38, 1}, {37, 1}, {29950, 881}});
    t.add_bytes(gps, 3, kTiffAscii, {'W', 0});
    t.add_rationals(gps, 4, {{90, 1}, {11, 1}, {73000, 2603}});
    t.add_bytes(gps, 5, testsupport::kTiffByte, {1});
    t.add_rationals(gps, 6, {{147, 1}});
    t.add_rationals(gps, 7, {{3, 1}, {51, 1}, {33, 1}});
    t.add_ascii(gps, 29, "2008:06:01");
    add_tags(t, ifd1, {{513, 'L', int32_t(thumb), 0}, {514, 'L', int32_t(kThumb.size()), 0}});
    return t.build();
}

// The fields of exif_structure, read from file.
void expect_structure_fields(const ExifInfo &in, const Bytes &file)
{
    EXPECT_STREQ(in.model, "Zenit Test Camera");
    EXPECT_STREQ(in.dateTime, "2020:01:02 03:04:05");
    EXPECT_STREQ(in.gpsDate, "2008:06:01");
    EXPECT_EQ(std::vector<float>({in.exposureTime, in.fNumber, in.focalLength, in.focalPlaneXRes}),
              std::vector<float>({1.0f / 250, 2.8f, 50, 3000}));
    EXPECT_EQ(std::vector<int>({in.orientation, in.iso, in.focalPlaneUnit, in.focalLength35,
                                in.latRef, in.lonRef, in.altRef, in.thumbLength, in.thumbOffset}),
              std::vector<int>({6, 200, 2, 75, 'N', 'W', 1, 6, int(find_bytes(file, kThumb))}));
    std::vector<int32_t> gps(in.latitude, in.latitude + 6);
    gps.insert(gps.end(), in.longitude, in.longitude + 6);
    gps.insert(gps.end(), in.altitude, in.altitude + 2);
    gps.insert(gps.end(), in.gpsTime, in.gpsTime + 6);
    EXPECT_EQ(gps, std::vector<int32_t>({38,    1,    37,  1, 29950, 881, 90, 1, 11, 1,
                                         73000, 2603, 147, 1, 3,     1,   51, 1, 33, 1}));
}

Bytes xmp_app1(const std::string &packet)
{
    return testsupport::make_segment(
        0xE1, concat({bytes_of("http://ns.adobe.com/xap/1.0/"), {0}, bytes_of(packet)}));
}
Bytes photoshop_resource(uint16_t id, const Bytes &data)
{
    Bytes r = concat({bytes_of("8BIM"), {uint8_t(id >> 8), uint8_t(id), 0, 0, 0, 0, 0, 0}, data});
    imagecore::put_be32(&r[8], uint32_t(data.size()));
    if (data.size() % 2)
        r.push_back(0);
    return r;
}
Bytes app13(const Bytes &resources)
{
    return testsupport::make_segment(0xED, concat({bytes_of("Photoshop 3.0"), {0}, resources}));
}
// Thumbnail resource: format 1, width 160, height 120, row bytes 480, total size, JPEG size,
// 24 bits per pixel, 1 plane, then the JPEG bytes.
Bytes thumbnail_resource(const Bytes &jpeg)
{
    Bytes d(28, 0);
    const uint32_t v[] = {1, 160, 120, 480, 480 * 120, uint32_t(jpeg.size()), 0x180001};
    for (int i = 0; i < 7; ++i)
        imagecore::put_be32(&d[size_t(4 * i)], v[i]);
    return photoshop_resource(1036, concat({d, jpeg}));
}
std::string settings_packet(int method, const char *lens)
{
    float p[kTmParamCount];
    tmparam_default(method, 0, p);
    std::string s(size_t(embed_xmp(0, method, p, 64, lens, nullptr)), '\0');
    embed_xmp(1, method, p, 64, lens, s.data());
    return s;
}
testsupport::PsdBuilder psd_with_exif(const Bytes &tiff)
{
    testsupport::PsdBuilder b;
    uint8_t px[4 * 4 * 3] = {};
    b.set_interleaved8(px, 4, 4, 3);
    b.resources = {{1005, "", Bytes(16, 1)}, {1033, "", Bytes(7, 2)}, {1058, "", tiff}};
    return b;
}
bool is_zero(const ExifInfo &in)
{
    const auto *p = reinterpret_cast<const uint8_t *>(&in);
    return std::all_of(p, p + sizeof in, [](uint8_t b) { return b == 0; });
}

} // namespace

TEST_F(ExifFiles, TiffInBothByteOrders)
{
    for (bool big : {false, true}) {
        Bytes f = exif_structure(big);
        Read r = read(f, kTiff);
        EXPECT_EQ(r.rc, 1) << big;
        expect_structure_fields(r.info, f);
        EXPECT_EQ(read(f, 7).rc, 1); // any unknown type reads as TIFF
    }
}

TEST_F(ExifFiles, ApexAndFallbackTags)
{
    const struct {
        std::vector<Tag> tags;
        float exposure, fNumber;
        int iso;
    } cases[] = {
        {{{37377, 'X', 8, 1}}, 0.00390625f, 0, 0}, // ShutterSpeedValue 8: 2^-8 s
        {{{37377, 'X', 0, 1}}, 0, 0, 0},
        {{{33434, 'R', 1, 30}, {37377, 'X', 8, 1}}, 1.0f / 30, 0, 0}, // ExposureTime wins
        {{{37377, 'X', 3, 0}}, 0.125f, 0, 0},    // a zero denominator takes the numerator as Tv
        {{{37378, 'R', 5, 1}}, 0, 5.656854f, 0}, // ApertureValue 5: 2^2.5
        // FNumber later in the file overwrites; MaxApertureValue once it is set is ignored.
        {{{37378, 'R', 5, 1}, {33437, 'R', 4, 1}, {37381, 'R', 2, 1}}, 0, 4, 0},
        {{{37381, 'R', 2, 1}}, 0, 2, 0},
        {{{34855, 'S', 100, 0}, {41493, 'R', 200, 1}}, 0, 0, 100}, // ExposureIndex never wins
        {{{41493, 'R', 400, 2}}, 0, 0, 200},
        {{{41493, 'R', 160, 0}}, 0, 0, 160},
        {{{33434, 'R', 1, 0}, {33437, 'R', 4, 0}}, 0, 0, 0}, // no denominator: ignored
    };
    for (const auto &c : cases) {
        Read r = read(exif_tags(c.tags), kTiff);
        EXPECT_EQ(r.rc, 1);
        EXPECT_FLOAT_EQ(r.info.exposureTime, c.exposure) << c.tags[0].tag;
        EXPECT_FLOAT_EQ(r.info.fNumber, c.fNumber) << c.tags[0].tag;
        EXPECT_EQ(r.info.iso, c.iso) << c.tags[0].tag;
    }
}

TEST_F(ExifFiles, ModelTexts)
{
    const struct {
        uint32_t count, at; // at 0: the data after the IFD (or in the entry)
        std::string data, expected;
    } cases[] = {
        {100, 0, std::string(100, 'M'), std::string(63, 'M')}, // 63 characters and the NUL
        {10, 0, std::string("Line\nNext", 10), "Line\n"},      // reading stops after a newline
        {3, 0, std::string("E9", 3), "E9"}, // four bytes or fewer sit in the entry
        {60, 4000, "Tail", "Tail"},         // a count past the end of the file is cut there
        {60, 0xFFFFFF00u, "", ""},          // a text outside the file is not read
    };
    for (const auto &c : cases) {
        TiffBuilder t;
        if (c.at)
            t.add_entry_at(t.add_ifd(), 272, kTiffAscii, c.count, c.at, bytes_of(c.data));
        else
            t.add_entry(t.add_ifd(), 272, kTiffAscii, c.count, bytes_of(c.data));
        EXPECT_EQ(std::string(read(t.build(), kTiff).info.model), c.expected);
    }
    // Later IFDs overwrite; a count of 0 reads nothing.
    for (uint32_t count : {7u, 0u}) {
        TiffBuilder t;
        t.add_ascii(t.add_ifd(), 272, "First");
        t.add_entry(t.add_ifd(), 272, kTiffAscii, count, bytes_of(std::string("Second", count)));
        EXPECT_STREQ(read(t.build(), kTiff).info.model, count ? "Second" : "First");
    }
}

TEST_F(ExifFiles, DataOutsideTheRulesIsNotRead)
{
    // Data outside the file; a GPS date of more than ten characters; a count of 0; an
    // Orientation that is not a SHORT; a GPS pointer outside the file; an IFD chain that loops.
    TiffBuilder t;
    size_t ifd0 = t.add_ifd(), exif = t.add_ifd(false), gps = t.add_ifd(false);
    t.add_ifd_pointer(ifd0, 34665, exif);
    t.add_ifd_pointer(ifd0, 34853, gps);
    add_tags(t, ifd0, {{274, 'L', 3, 0}});
    t.add_entry_at(exif, 33434, testsupport::kTiffRational, 1, 0x10000u);
    t.add_entry_at(exif, 36867, kTiffAscii, 20, 0xFFFFFFF0u);
    add_tags(t, exif, {{33437, 'R', 8, 1}});
    t.add_entry(gps, 29, kTiffAscii, 11, bytes_of("2024:12:31XYZ"));
    t.add_entry(gps, 2, testsupport::kTiffRational, 0, Bytes(8, 1));
    t.set_next_to(ifd0, ifd0);
    Read r = read(t.build(), kTiff);
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(std::vector<float>({r.info.exposureTime, r.info.fNumber}),
              std::vector<float>({0, 8}));
    EXPECT_STREQ(r.info.dateTime, "");
    EXPECT_STREQ(r.info.gpsDate, "2024:12:31");
    EXPECT_EQ(r.info.latitude[0] + r.info.orientation, 0);

    TiffBuilder far;
    far.add_entry_at(far.add_ifd(), 34853, testsupport::kTiffLong, 1, 0x7FFFFFF0u);
    EXPECT_EQ(read(far.build(), kTiff).rc, 1);
    TiffBuilder four; // four chained IFDs: the fourth is never read
    for (int i = 0; i < 4; ++i)
        four.add_ascii(four.add_ifd(), 272, "ifd" + std::to_string(i));
    EXPECT_STREQ(read(four.build(), kTiff).info.model, "ifd2");
}

TEST_F(ExifFiles, ImageDescriptionPhotoshopXmpAndIptcTagsOfTiff)
{
    const Bytes thumbJpeg = {0xFF, 0xD8, 0xFF, 0xD9};
    const Bytes resources =
        concat({photoshop_resource(1005, Bytes(16, 0)), photoshop_resource(1028, kIptc),
                thumbnail_resource(thumbJpeg)});
    for (bool big : {false, true}) {
        TiffBuilder t(big);
        size_t ifd0 = t.add_ifd();
        t.add_ascii(ifd0, 270, "a, b, c, d, e, f, g, 1/125s, R30, G30, B30");
        t.add_bytes(ifd0, 34377, testsupport::kTiffUndefined, resources);
        Bytes file = t.build();
        Read r = read(file, kTiff);
        EXPECT_EQ(r.rc, 1);
        EXPECT_FLOAT_EQ(r.info.exposureTime, 0.008f);
        EXPECT_EQ(std::vector<int>({r.info.iso, r.info.sourceFlag, r.info.iptcOffset,
                                    r.info.iptcLength, r.info.thumbOffset, r.info.thumbLength,
                                    r.info.thumbWidth, r.info.thumbHeight, r.info.thumbRowBytes}),
                  std::vector<int>({400, 2, int(find_bytes(file, kIptc)), int(kIptc.size()),
                                    int(find_bytes(file, thumbJpeg)), 4, 160, 120, 480}));
        // The same block inside a JPEG's EXIF: neither tag is read there.
        Read j = read(jpeg_with({testsupport::make_exif_app1(file)}), kJpeg);
        EXPECT_EQ(j.rc, 1);
        EXPECT_EQ(j.info.exposureTime, 0.0f);
        EXPECT_EQ(j.info.iptcLength + j.info.thumbLength, 0);
    }

    const std::string packet = settings_packet(2, nullptr);
    TiffBuilder t;
    size_t ifd0 = t.add_ifd();
    t.add_bytes(ifd0, 700, testsupport::kTiffByte, bytes_of(packet));
    t.add_entry(ifd0, 33723, testsupport::kTiffLong, uint32_t(kIptc.size() / 4), kIptc);
    Bytes file = t.build();
    Read r = read(file, kTiff); // LONG counts of the IPTC tag are 4-byte units
    EXPECT_EQ(std::vector<int>(
                  {r.info.xmpOffset, r.info.xmpLength, r.info.iptcOffset, r.info.iptcLength}),
              std::vector<int>({int(find_bytes(file, bytes_of(packet))), int(packet.size()),
                                int(find_bytes(file, kIptc)), int(kIptc.size())}));
    TiffBuilder u; // UNDEFINED counts bytes
    u.add_bytes(u.add_ifd(), 33723, testsupport::kTiffUndefined, kIptc);
    EXPECT_EQ(read(u.build(), kTiff).info.iptcLength, int(kIptc.size()));
    // Counts past the end of the file (x 4 overflowing 32 bits) are clamped to what is left.
    TiffBuilder huge;
    size_t h0 = huge.add_ifd();
    uint32_t at = huge.add_blob(kIptc);
    huge.add_entry_at(h0, 33723, testsupport::kTiffLong, 0x40000001u, at);
    huge.add_entry_at(h0, 700, testsupport::kTiffByte, 0xFFFFFFF0u, at);
    file = huge.build();
    r = read(file, kTiff);
    const int left = int(file.size() - at);
    EXPECT_EQ(std::vector<int>({r.info.iptcOffset, r.info.iptcLength, r.info.xmpLength}),
              std::vector<int>({int(at), left, left}));
}

TEST_F(ExifFiles, TiffHeaderErrors)
{
    Bytes file = exif_structure(false);
    file[0] = 'X';
    EXPECT_EQ(read(file, kTiff).rc, -2);
    EXPECT_EQ(read({}, kTiff).rc, -2);
    file = exif_structure(true);
    file[3] = 43;
    Read r = read(file, kTiff);
    EXPECT_EQ(r.rc, -3);
    EXPECT_TRUE(is_zero(r.info));
    const std::string absent = m_dir.file("absent.tif");
    EXPECT_EQ(getExifData(absent.c_str(), kTiff, &r.info), -1);
    EXPECT_EQ(getExifData(nullptr, kTiff, &r.info), -3);
    EXPECT_EQ(getExifData(absent.c_str(), kTiff, nullptr), -3);
}

TEST_F(ExifFiles, JpegWithSettingsPacketAndIptc)
{
    const std::string packet = settings_packet(1, "Prime 35mm f/1.4");
    Bytes file = jpeg_with({testsupport::make_exif_app1(exif_structure(false)),
                            testsupport::make_segment(0xE2, Bytes(30, 7)), xmp_app1(packet),
                            app13(photoshop_resource(1028, kIptc))});
    Read r = read(file, kJpeg);
    ASSERT_EQ(r.rc, 1);
    expect_structure_fields(r.info, file);
    EXPECT_STREQ(r.info.lens, "Prime 35mm f/1.4");
    EXPECT_EQ(std::vector<int>(
                  {r.info.xmpOffset, r.info.xmpLength, r.info.iptcOffset, r.info.iptcLength}),
              std::vector<int>({int(find_bytes(file, bytes_of(packet))),
                                int(packet.size()) + 31, // the segment's length field
                                int(find_bytes(file, kIptc)), int(kIptc.size())}));
    // A packet of another program gives the lens but no position.
    r = read(jpeg_with({testsupport::make_exif_app1(exif_structure(true)),
                        xmp_app1(settings_packet(0, "Zoom 18-55"))}),
             kJpeg);
    EXPECT_EQ(r.rc, 1);
    EXPECT_STREQ(r.info.lens, "Zoom 18-55");
    EXPECT_EQ(r.info.xmpOffset + r.info.xmpLength, 0);
}

TEST_F(ExifFiles, JpegStructureErrors)
{
    const Bytes exif = testsupport::make_exif_app1(exif_structure(false));
    const Bytes tail(exif.begin() + 1, exif.end()); // the APP1 without its FF
    // The first APP1 is XMP, not EXIF; no APP1 before the scan; not a JPEG.
    Read r = read(jpeg_with({xmp_app1(settings_packet(1, nullptr)), exif}), kJpeg);
    EXPECT_EQ(r.rc, -2);
    EXPECT_TRUE(is_zero(r.info));
    EXPECT_EQ(read(jpeg_with({}), kJpeg).rc, -2);
    EXPECT_EQ(read(exif_structure(false), kJpeg).rc, -1);
    // Four padding bytes are fine, five are not.
    EXPECT_EQ(read(concat({{0xFF, 0xD8, 0xFF, 0xFF, 0xFF, 0xFF}, tail}), kJpeg).rc, 1);
    EXPECT_EQ(read(concat({{0xFF, 0xD8, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, tail}), kJpeg).rc, -1);
    // Segment lengths below 2, before and in the APP1; a segment past the end of the file.
    EXPECT_EQ(read({0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x01, 0xFF, 0xD9}, kJpeg).rc, -1);
    EXPECT_EQ(read({0xFF, 0xD8, 0xFF, 0xE1, 0x00, 0x00, 0xFF, 0xD9}, kJpeg).rc, -1);
    EXPECT_EQ(read({0xFF, 0xD8, 0xFF, 0xE0, 0x40, 0x00, 0x00}, kJpeg).rc, -1);

    // The IPTC walk: marker FF with length FFFF at the end stops at the end of the file, as
    // does a file that ends after the APP1.
    Bytes file = concat({{0xFF, 0xD8}, exif, {0xFF, 0xFF, 0xFF, 0xFF}});
    r = read(file, kJpeg);
    EXPECT_EQ(r.rc, 1);
    expect_structure_fields(r.info, file);
    EXPECT_EQ(read(concat({{0xFF, 0xD8}, exif}), kJpeg).rc, 1);
    // A byte other than FF where the walk expects a marker; what was read before stays.
    r = read(concat({{0xFF, 0xD8}, exif, {0x12, 0x00, 0x04, 0x00, 0x00}}), kJpeg);
    EXPECT_EQ(r.rc, -10);
    EXPECT_EQ(r.info.iso, 200);
    // An APP13 that is not a Photoshop block.
    r = read(jpeg_with({exif, testsupport::make_segment(0xED, bytes_of("Something"))}), kJpeg);
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.info.iptcLength, 0);
}

TEST_F(ExifFiles, PsdResourceAndErrors)
{
    const Bytes tiff = exif_structure(true);
    Bytes file = psd_with_exif(tiff).build();
    Read r = read(file, kPsd);
    ASSERT_EQ(r.rc, 1);
    expect_structure_fields(r.info, file);
    const int expected[] = {-2, -3, -3, -1, -1};
    for (int k = 0; k < 5; ++k) {
        testsupport::PsdBuilder b = psd_with_exif(tiff);
        b.signature = k == 0 ? "8BPX" : "8BPS";
        b.channels = k == 1 ? 2 : -1;
        b.mode = k == 2 ? 1 : 3;
        b.resources.resize(k == 3 ? 2 : k == 4 ? 0 : 3); // no EXIF resource: -1 at their end
        EXPECT_EQ(read(b.build(), kPsd).rc, expected[k]) << k;
    }
    EXPECT_EQ(read({'8', 'B'}, kPsd).rc, -1);
    // A resource whose size points past the file.
    imagecore::put_be32(&file[size_t(find_bytes(file, bytes_of("8BIM"))) + 8], 0x7FFFFFFF);
    EXPECT_EQ(read(file, kPsd).rc, -1);
}

TEST_F(ExifFiles, TruncatedAndCorruptFilesEndCleanly)
{
    Bytes tiff = exif_structure(false, [](TiffBuilder &t, size_t ifd0) {
        t.add_ascii(ifd0, 270, "a, b, c, d, e, f, g, 1/125s, R30, G30, B30");
        t.add_bytes(ifd0, 34377, testsupport::kTiffUndefined,
                    thumbnail_resource({0xFF, 0xD8, 0xFF, 0xD9}));
    });
    Bytes jpeg =
        jpeg_with({testsupport::make_exif_app1(exif_structure(true)),
                   xmp_app1(settings_packet(1, "Lens")), app13(photoshop_resource(1028, kIptc))});
    Bytes psd = psd_with_exif(exif_structure(true)).build();
    for (auto [file, type] : {std::pair{&tiff, kTiff}, {&jpeg, kJpeg}, {&psd, kPsd}}) {
        ASSERT_EQ(read(*file, type).rc, 1);
        // Every length through the metadata, then a sample through the pixel data.
        for (size_t n = 0; n < file->size(); n += n < 2000 ? 1 : 11) {
            Read r = read(Bytes(file->begin(), file->begin() + long(n)), type);
            EXPECT_TRUE(r.rc == 1 || r.rc == -1 || r.rc == -2 || r.rc == -3 || r.rc == -10)
                << "type " << type << " length " << n << " rc " << r.rc;
            EXPECT_TRUE(r.info.model[63] == 0 && r.info.dateTime[19] == 0 && r.info.lens[63] == 0);
        }
    }
    // Every byte of the EXIF structure set to 0xFF in turn: offsets and counts go wild.
    for (size_t i = 0; i < tiff.size(); ++i) {
        Bytes bad = tiff;
        bad[i] = 0xFF;
        int rc = read(bad, kTiff).rc;
        EXPECT_TRUE(rc == 1 || rc == -2 || rc == -3) << i;
    }
}

TEST_F(ExifFiles, ReadIptc)
{
    const std::string path = write(concat({Bytes(10, 0), kIptc, Bytes(4, 0)}), "iptc.bin");
    std::vector<uint8_t> buf(kIptc.size() + 5, 0);
    const int len = int(kIptc.size());
    EXPECT_EQ(read_iptc(path.c_str(), len, 10, buf.data()), len);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + len), kIptc);
    // Not at a 0x1C; lengths or offsets at or below 0; a block ending exactly at the end of the
    // file, and ones past it.
    const int cases[][3] = {{len, 9, -2},
                            {0, 10, 0},
                            {-5, 10, 0},
                            {len, -1, 0},
                            {len + 4, 10, len + 4},
                            {len + 5, 10, 0},
                            {0x7FFFFFFF, 0x7FFFFFFF, 0}};
    for (const auto &c : cases)
        EXPECT_EQ(read_iptc(path.c_str(), c[0], c[1], buf.data()), c[2]) << c[0] << " at " << c[1];
    EXPECT_EQ(read_iptc(m_dir.file("absent").c_str(), len, 10, buf.data()), -1);
    EXPECT_EQ(read_iptc(path.c_str(), len, 10, nullptr), -3);
}

TEST_F(ExifFiles, PhotoshopScanBounds)
{
    Bytes block = concat({Bytes(10, 0), photoshop_resource(1028, kIptc)});
    std::string path = write(block, "ps.bin");
    ExifInfo info;
    auto scan = [&](int64_t length) {
        platform::FilePtr f = platform::open_file(path, "rb");
        std::memset(&info, 0, sizeof info);
        EXPECT_EQ(parse_photoshop_data(f.get(), length, &info), 1);
        return std::vector<int>({info.iptcOffset, info.iptcLength});
    };
    // Only "8BI", or the signature and the id but fewer than 8 bytes from it: no match. A
    // length past the end of the file is clamped, and so is a resource size.
    const int n = int(kIptc.size());
    EXPECT_EQ(scan(13), std::vector<int>({0, 0}));
    EXPECT_EQ(scan(17), std::vector<int>({0, 0}));
    EXPECT_EQ(scan(18), std::vector<int>({22, n}));
    EXPECT_EQ(scan(int64_t(1) << 40), std::vector<int>({22, n}));
    block[20] = 0x7F;
    path = write(block, "ps.bin");
    EXPECT_EQ(scan(int64_t(block.size())), std::vector<int>({22, int(block.size()) - 22}));
    EXPECT_EQ(parse_photoshop_data(nullptr, 4, &info), -3);
}
