// getExifData and read_iptc over hand-made TIFF, JPEG and PSD files and truncated or hostile
// variants of them, and over the real brackets of the test-data folder.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "imagecore/byte_order.h"
#include "metadata/compact_exif.h"
#include "metadata/exif_reader.h"
#include "metadata/metadata_class.h"
#include "metadata/metadata_utils.h"
#include "tests/metadata/exif_test_util.h"

using namespace exiftest;
using namespace testsupport;

namespace {

enum : int { kTiff = 0, kJpeg = 1, kPsd = 2 };
// 2:00 record version 4, 2:80 by-line "Anna": two whole records.
const Bytes kIptc = {0x1C, 2, 0, 0, 2, 0, 4, 0x1C, 2, 0x50, 0, 4, 'A', 'n', 'n', 'a'};
const Bytes kThumb = {0xFF, 0xD8, 0x11, 0x22, 0xFF, 0xD9};

int find_bytes(const Bytes &hay, const Bytes &needle)
{
    return int(std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) - hay.begin());
}
std::string write(const Bytes &bytes)
{
    static TempDir dir;
    EXPECT_TRUE(write_file(dir.file("photo.bin"), bytes));
    return dir.file("photo.bin");
}
std::pair<int, ExifInfo> read(const Bytes &bytes, int type)
{
    ExifInfo info;
    const int rc = getExifData(write(bytes).c_str(), type, &info);
    return {rc, info};
}

// IFD0 (model, orientation, thumbnail tags that count only after IFD0), the Exif and GPS IFDs,
// and IFD1 with the thumbnail kThumb.
Bytes exif_structure(bool big)
{
    TiffBuilder t(big);
    size_t ifd0 = t.add_ifd(), exif = t.add_ifd(false), gps = t.add_ifd(false), ifd1 = t.add_ifd();
    const uint32_t thumb = t.add_blob(kThumb);
    t.add_ascii(ifd0, 272, "Zenit Test Camera");
    add_tags(t, ifd0, {{274, 'S', 6, 0}, {513, 'L', 100, 0}, {514, 'L', 10, 0}});
    t.add_ifd_pointer(ifd0, 34665, exif);
    t.add_ifd_pointer(ifd0, 34853, gps);
    add_tags(t, exif, {{33434, 'R', 1, 250}, {33437, 'R', 28, 10}, {34855, 'S', 200, 0}});
    t.add_ascii(exif, 36867, "2020:01:02 03:04:05");
    t.add_rationals(gps, 2, {{38, 1}, {37, 1}, {29950, 881}});
    t.add_ascii(gps, 29, "2008:06:01");
    add_tags(t, ifd1, {{513, 'L', int32_t(thumb), 0}, {514, 'L', int32_t(kThumb.size()), 0}});
    return t.build();
}
void expect_structure_fields(const ExifInfo &in, const Bytes &file)
{
    EXPECT_EQ(std::string(in.model) + "|" + in.dateTime + "|" + in.gpsDate,
              "Zenit Test Camera|2020:01:02 03:04:05|2008:06:01");
    EXPECT_EQ(std::pair(in.exposureTime, in.fNumber), std::pair(1.0f / 250, 2.8f));
    EXPECT_EQ(std::vector<int>({in.orientation, in.iso, in.latitude[4], in.latitude[5],
                                in.thumbLength, in.thumbOffset}),
              std::vector<int>({6, 200, 29950, 881, 6, find_bytes(file, kThumb)}));
}

// The IPTC resource of a Photoshop image-resource block, with the size field given.
Bytes iptc_resource(uint32_t size = uint32_t(kIptc.size()), const Bytes &block = kIptc)
{
    return concat({bytes_of("8BIM"), {4, 4, 0, 0}, TiffBuilder(true).u32({size}), block});
}
// A 2:120 caption whose length, 4, passes by one byte a block that holds 3 of its bytes.
const Bytes kCut = {0x1C, 0x02, 0x78, 0x00, 0x04, 'a', 'b', 'c'};
// A JPEG with the EXIF structure, a settings packet and an IPTC block.
Bytes full_jpeg(bool big, const std::string &packet)
{
    const Bytes xmp = concat({bytes_of(metadata::kXmpApp1Signature), {0}, bytes_of(packet)});
    return in_jpeg(exif_structure(big),
                   {make_segment(0xE2, Bytes(30, 7)), make_segment(0xE1, xmp),
                    make_segment(0xED, concat({bytes_of("Photoshop 3.0"), {0}, iptc_resource()}))});
}
Bytes psd_with_exif(const Bytes &tiff)
{
    PsdBuilder b;
    uint8_t px[4 * 4 * 3] = {};
    b.set_interleaved8(px, 4, 4, 3);
    b.resources = {{1005, "", Bytes(16, 1)}, {1033, "", Bytes(7, 2)}, {1058, "", tiff}};
    return b.build();
}

// Values as exiftool reports them (checked by hand). The PowerShot writes no EXIF ISO tag
// (exiftool's ISO 80 comes from its maker notes), so the reader gives 0 there.
struct Photo {
    const char *name;
    int32_t expNum, expDen;
    double seconds() const { return double(expNum) / expDen; }
};
const struct Bracket {
    const char *dir, *model;
    float fNumber;
    int iso, orientation, iptcLength, latDegrees; // latitude: 0 without GPS
    std::vector<Photo> photos;
} kBrackets[] = { // clang-format off
    {"iphone6_handheld", "iPhone 6", 2.2f, 32, 6, 0, 25,
     {{"1.JPG", 1, 3049}, {"3.JPG", 1, 1014}, {"5.JPG", 1, 250}, {"7.JPG", 1, 100},
      {"8.JPG", 1, 50}}},
    {"stlouis_arch_tripod", "Canon PowerShot S3 IS", 2.7f, 0, 1, 94, 38,
     {{"StLouisArchMultExpEV-4.72.jpeg", 1, 30}, {"StLouisArchMultExpEV-1.82.jpeg", 1, 4},
      {"StLouisArchMultExpEV+1.51.jpeg", 25, 10}, {"StLouisArchMultExpEV+4.09.jpeg", 150, 10}}},
    {"window_tripod_e995", "E995", 7.7f, 100, 1, 0, 0,
     {{"HDRI_Sample_Scene_Window_-_02.jpg", 10, 5000},
      {"HDRI_Sample_Scene_Window_-_04.jpg", 10, 1250},
      {"HDRI_Sample_Scene_Window_-_06.jpg", 10, 300},
      {"HDRI_Sample_Scene_Window_-_08.jpg", 10, 80},
      {"HDRI_Sample_Scene_Window_-_10.jpg", 10, 20}}}};
// clang-format on

std::string path_of(const Bracket &b, const Photo &p)
{
    return std::string(HDR_TESTDATA_DIR) + "/" + b.dir + "/" + p.name;
}

} // namespace

TEST(GetExifData, TiffJpegAndPsdInBothByteOrders)
{
    for (bool big : {false, true}) {
        const Bytes tiff = exif_structure(big), psd = psd_with_exif(tiff);
        const Bytes jpeg = full_jpeg(big, xmp_packet(0, nullptr, "Lens"));
        for (auto [file, type] : {std::pair{&tiff, kTiff}, {&jpeg, kJpeg}, {&psd, kPsd}}) {
            auto [rc, info] = read(*file, type);
            EXPECT_EQ(rc, 1) << big << type;
            expect_structure_fields(info, *file);
        }
    }
}

// The IPTC and XMP tags of IFD0 keep offsets from the TIFF header; the base they count from is
// recorded, so base + offset is the block's file position in every file type. The IPTC block of
// a JPEG's Photoshop segment is a file position already (base 0). The stream readers see the
// same record as the path readers.
TEST(GetExifData, IptcAndXmpTagsRecordTheBaseTheirOffsetsCountFrom)
{
    const Bytes xmp = bytes_of("<x:xmpmeta/>");
    TiffBuilder t;
    const size_t ifd0 = t.add_ifd();
    const uint32_t iptcAt = t.add_blob(kIptc), xmpAt = t.add_blob(xmp);
    t.add_entry_at(ifd0, 700, kTiffByte, uint32_t(xmp.size()), xmpAt);
    t.add_entry_at(ifd0, 33723, kTiffUndefined, uint32_t(kIptc.size()), iptcAt);
    const Bytes tiff = t.build(), psd = psd_with_exif(tiff), jpeg = in_jpeg(tiff);
    const Bytes app13 = in_jpeg(
        tiff, {make_segment(0xED, concat({bytes_of("Photoshop 3.0"), {0}, iptc_resource()}))});
    for (auto [file, type] :
         {std::pair{&tiff, kTiff}, {&jpeg, kJpeg}, {&psd, kPsd}, {&app13, kJpeg}}) {
        SCOPED_TRACE(testing::Message() << "type " << type << ", " << file->size() << " bytes");
        const auto [rc, info] = read(*file, type);
        ASSERT_EQ(rc, 1);
        // The TIFF structure's first byte: its base in this file.
        const int base = find_bytes(*file, Bytes(tiff.begin(), tiff.begin() + 8));
        EXPECT_EQ(std::vector<int>({info.xmpBase, info.xmpOffset, info.xmpLength}),
                  std::vector<int>({base, int(xmpAt), int(xmp.size())}));
        EXPECT_EQ(info.xmpBase + info.xmpOffset, find_bytes(*file, xmp));
        const int iptcFound =
            file == &app13 ? find_bytes(*file, iptc_resource()) + 12 : find_bytes(*file, kIptc);
        EXPECT_EQ(info.iptcBase, file == &app13 ? 0 : base);
        EXPECT_EQ(info.iptcBase + info.iptcOffset, iptcFound);
        std::vector<uint8_t> block(kIptc.size() + 1, 0);
        const std::string path = write(*file);
        EXPECT_EQ(
            read_iptc(path.c_str(), info.iptcLength, info.iptcBase + info.iptcOffset, block.data()),
            int(kIptc.size()));
        EXPECT_EQ(Bytes(block.begin(), block.end() - 1), kIptc);

        Bytes copy = *file;
        FILE *f = fmemopen(copy.data(), copy.size(), "rb");
        ASSERT_TRUE(f);
        ExifInfo fromMemory;
        std::fill_n(block.begin(), block.size(), 0);
        EXPECT_EQ(getExifData(f, type, &fromMemory), 1);
        EXPECT_EQ(std::memcmp(&fromMemory, &info, sizeof info), 0);
        EXPECT_EQ(read_iptc(f, info.iptcLength, info.iptcBase + info.iptcOffset, block.data()),
                  int(kIptc.size()));
        EXPECT_EQ(Bytes(block.begin(), block.end() - 1), kIptc);
        std::fclose(f);
    }
}

TEST(GetExifData, ApexTagsAndAModelCountOf100)
{
    const struct {
        std::vector<Tag> tags;
        float exposure, fNumber;
    } cases[] = {
        {{{37377, 'X', 8, 1}}, 0.00390625f, 0},                    // ShutterSpeedValue 8: 2^-8 s
        {{{33434, 'R', 1, 30}, {37377, 'X', 8, 1}}, 1.0f / 30, 0}, // ExposureTime wins
        {{{37377, 'X', 3, 0}}, 0.125f, 0},    // a zero denominator takes the numerator as Tv
        {{{37378, 'R', 5, 1}}, 0, 5.656854f}, // ApertureValue 5: 2^2.5
    };
    for (const auto &c : cases) {
        ExifInfo in = read(exif_tags(c.tags), kTiff).second;
        EXPECT_FLOAT_EQ(in.exposureTime, c.exposure) << c.tags[0].tag;
        EXPECT_FLOAT_EQ(in.fNumber, c.fNumber) << c.tags[0].tag;
    }
    TiffBuilder t;
    t.add_entry(t.add_ifd(), 272, kTiffAscii, 100, Bytes(100, 'M'));
    EXPECT_EQ(std::string(read(t.build(), kTiff).second.model), std::string(63, 'M'));
}

TEST(ExifReaders, ValuesOfFourBytesLieInTheEntryAndLongerOnesAtTheirOffset)
{
    // A value of up to 4 bytes is held in the entry's value field itself: a model of 3 letters
    // and its terminator, an ISO SHORT of count 2; 5 bytes lie at the offset the field gives.
    // Every reader of IFD entries: the source reader (TIFF, JPEG), the compact one and MetaData.
    for (bool big : {false, true})
        for (const std::string model : {"Cam", "Cams", "Ca"}) {
            TiffBuilder t(big);
            size_t ifd0 = t.add_ifd(), exif = t.add_ifd(false);
            t.add_ascii(ifd0, 272, model);
            t.add_ifd_pointer(ifd0, 34665, exif);
            t.add_shorts(exif, 34855, {400, 9});
            const Bytes tiff = t.build(), jpeg = in_jpeg(tiff);
            const std::string want = model + " 400";
            for (auto [file, type] : {std::pair{&tiff, kTiff}, {&jpeg, kJpeg}}) {
                const ExifInfo e = read(*file, type).second;
                CompactExifInfo c{};
                EXPECT_EQ(getImageExif(write(*file).c_str(), type, &c), 1);
                EXPECT_EQ(std::string(e.model) + " " + std::to_string(e.iso), want) << big << type;
                EXPECT_EQ(std::string(c.model) + " " + std::to_string(c.iso), want) << big << type;
            }
            int32_t rec[kExifBufCount] = {};
            platform::DataPtr d =
                MetaData().getMetaData(platform::Data::copy(jpeg.data(), jpeg.size()));
            ASSERT_TRUE(d && d->length() == sizeof rec);
            d->getBytes(rec, sizeof rec);
            EXPECT_EQ(reinterpret_cast<const char *>(&rec[kExifModel]) +
                          (" " + std::to_string(rec[kExifIso])),
                      want)
                << big;
        }
}

TEST(GetExifData, CountsAreClampedToTheFile)
{
    // Texts: a count past the end of the file is cut there; a text outside the file or of count
    // 0 is not read.
    for (auto [count, at, expected] :
         {std::tuple{60u, 4000u, "Tail"}, {60u, 0xFFFFFF00u, ""}, {0u, 4000u, ""}}) {
        TiffBuilder t;
        t.add_entry_at(t.add_ifd(), 272, kTiffAscii, count, at, bytes_of(at < 5000 ? "Tail" : ""));
        EXPECT_STREQ(read(t.build(), kTiff).second.model, expected);
    }
    // IPTC (LONG counts x 4 overflowing 32 bits: its whole records), XMP and ImageDescription
    // counts; then the size of a Photoshop resource.
    TiffBuilder t;
    size_t ifd0 = t.add_ifd();
    const uint32_t at = t.add_blob(kIptc);
    t.add_entry_at(ifd0, 33723, kTiffLong, 0x40000001u, at);
    t.add_entry_at(ifd0, 700, kTiffByte, 0xFFFFFFF0u, at);
    t.add_entry_at(ifd0, 270, kTiffAscii, 0xFFFFFFF0u, at);
    const Bytes file = t.build();
    auto [rc, in] = read(file, kTiff);
    const int left = int(file.size() - at);
    EXPECT_EQ(std::vector<int>({rc, in.iptcOffset, in.iptcLength, in.xmpOffset, in.xmpLength}),
              std::vector<int>({1, int(at), int(kIptc.size()), int(at), left}));
    TiffBuilder ps;
    ps.add_bytes(ps.add_ifd(), 34377, kTiffUndefined, iptc_resource(0x7F000000));
    EXPECT_EQ(read(ps.build(), kTiff).second.iptcLength, int(kIptc.size()));
}

TEST(GetExifData, JpegMarkerWalksEndAtTheEndOfTheFile)
{
    // Segment lengths below 2 (which would walk backwards), before and in the APP1; a segment
    // past the end of the file.
    for (const Bytes &bad : {Bytes{0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x01, 0xFF, 0xD9},
                             Bytes{0xFF, 0xD8, 0xFF, 0xE1, 0x00, 0x00, 0xFF, 0xD9},
                             Bytes{0xFF, 0xD8, 0xFF, 0xE0, 0x40, 0x00, 0x00}})
        EXPECT_EQ(read(bad, kJpeg).first, -1);
    // The IPTC walk: marker FF with length FFFF at the end stops there, as for no APP13.
    const Bytes file =
        concat({{0xFF, 0xD8}, make_exif_app1(exif_structure(false)), {0xFF, 0xFF, 0xFF, 0xFF}});
    auto [rc, in] = read(file, kJpeg);
    EXPECT_EQ(rc, 1);
    expect_structure_fields(in, file);
}

TEST(GetExifData, TruncatedAndCorruptFilesEndCleanly)
{
    TiffBuilder t; // a description, Photoshop resources, and a chain that loops
    size_t ifd0 = t.add_ifd(), ifd1 = t.add_ifd();
    t.add_ascii(ifd0, 270, "a, b, c, d, e, f, g, 1/125s, R30, G30, B30");
    t.add_bytes(ifd0, 34377, kTiffUndefined, iptc_resource());
    t.add_ascii(ifd1, 272, "Camera");
    t.set_next_to(ifd1, ifd0);
    const Bytes exif = exif_structure(false), tiff = t.build();
    const Bytes jpeg = full_jpeg(true, xmp_packet(0, nullptr, "Lens"));
    Bytes psd = psd_with_exif(exif_structure(true));
    const ExifInfo d = read(tiff, kTiff).second; // the description gives 1/125 s and ISO 400
    EXPECT_EQ(std::vector<float>({d.exposureTime, float(d.iso), float(d.sourceFlag)}),
              std::vector<float>({0.008f, 400, 2}));
    for (auto [file, type] :
         {std::pair{&exif, kTiff}, {&tiff, kTiff}, {&jpeg, kJpeg}, {&psd, kPsd}}) {
        ASSERT_EQ(read(*file, type).first, 1);
        // Every length through the metadata, then a sample through the pixel data.
        for (size_t n = 0; n < file->size(); n += n < 2000 ? 1 : 11) {
            auto [rc, in] = read(Bytes(file->begin(), file->begin() + long(n)), type);
            EXPECT_TRUE(rc == 1 || rc == -1 || rc == -2 || rc == -3 || rc == -10)
                << "type " << type << " length " << n << " rc " << rc;
            EXPECT_TRUE(in.model[63] == 0 && in.dateTime[19] == 0 && in.lens[63] == 0);
        }
    }
    // Every byte of the EXIF structure set to 0xFF in turn: offsets and counts go wild.
    for (size_t i = 0; i < exif.size(); ++i) {
        Bytes bad = exif;
        bad[i] = 0xFF;
        const int rc = read(bad, kTiff).first;
        EXPECT_TRUE(rc == 1 || rc == -2 || rc == -3) << i;
    }
    // A resource whose size points past the PSD.
    imagecore::put_be32(&psd[size_t(find_bytes(psd, bytes_of("8BIM"))) + 8], 0x7FFFFFFF);
    EXPECT_EQ(read(psd, kPsd).first, -1);
}

// Only whole records of an IPTC block are recorded, and read_iptc gives them: in the 2-byte and
// the extended length forms, up to zero padding, garbage or a record cut short. Every holder
// bounds the block, whatever its size or count says: the Photoshop segment of a JPEG, the EXIF
// segment of a JPEG or resource of a PSD holding the IPTC tag, the Photoshop resources tag and
// the IPTC tag of a TIFF, and the file. Past each the bytes would make kCut whole.
TEST(GetExifData, IptcBlocksCarryWholeRecordsInsideWhatHoldsThem)
{
    const Bytes cut = concat({kIptc, kCut});
    const Bytes app13 = concat({bytes_of("Photoshop 3.0"), {0}, iptc_resource(0x1000, cut)});
    // A TIFF structure whose IPTC data comes last, with the count given.
    const auto last = [](const Bytes &block, uint32_t count = 0x7FFFFFFF) {
        TiffBuilder t;
        t.add_entry_at(t.add_ifd(), 33723, kTiffUndefined, count, 400, block);
        return t.build();
    };
    TiffBuilder resources; // other data follows the Photoshop resources
    resources.add_bytes(resources.add_ifd(), 34377, kTiffUndefined, iptc_resource(0x1000, cut));
    resources.add_ascii(0, 305, "data that follows");
    // Extended lengths of 2 and 4 bytes; a record larger than the reader's window.
    const Bytes ext = concat({{0x1C, 0x02, 0x78, 0x80, 0x02, 0x00, 0x03, 'a', 'b', 'c'},
                              {0x1C, 0x02, 0x78, 0x80, 0x04, 0, 0, 0, 1, 'a'},
                              kIptc});
    const Bytes large =
        concat({{0x1C, 0x02, 0x78, 0x80, 0x04, 0x00, 0x01, 0x11, 0x70}, Bytes(70000, 'z'), kIptc});
    const struct {
        const char *what;
        Bytes file;
        int type;
        Bytes carried = kIptc;
    } cases[] = {
        {"Photoshop segment", in_jpeg(exif_tags({}), {make_segment(0xED, app13)}), kJpeg},
        {"EXIF segment", in_jpeg(last(cut)), kJpeg},
        {"EXIF resource", psd_with_exif(last(cut)), kPsd},
        {"Photoshop resources tag", resources.build(), kTiff},
        {"IPTC tag, a count that ends in kCut", last(concat({cut, Bytes(8, 'x')}), 24), kTiff},
        {"file", last(cut), kTiff},
        {"zero padding", last(concat({kIptc, {0, 0, 0, 0}})), kTiff},
        {"garbage", last(concat({kIptc, {0xFF, 0xD8, 0xFF, 0xE0, 0, 16}})), kTiff},
        {"a head cut short", last(concat({kIptc, {0x1C, 0x02, 0x78, 0x00}})), kTiff},
        {"extended lengths", last(ext), kTiff, ext},
        {"a large record", last(large), kTiff, large},
        {"no whole record", last({0x1C, 0x02, 0x78, 0x7F, 0xFF}), kTiff, {}},
        {"an extended length of no bytes", last({0x1C, 0x02, 0x78, 0x80, 0x00, 0x1C}), kTiff, {}},
        {"of 5 bytes", last({0x1C, 0x02, 0x78, 0x80, 0x05, 0, 0, 0, 0, 1, 'a'}), kTiff, {}},
        {"cut short", last({0x1C, 0x02, 0x78, 0x80, 0x02, 0x00}), kTiff, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const auto [rc, info] = read(c.file, c.type);
        ASSERT_EQ(rc, 1);
        ASSERT_EQ(info.iptcLength, int(c.carried.size()));
        if (c.carried.empty())
            continue;
        std::vector<uint8_t> block(c.carried.size() + 1, 0);
        const int64_t where = int64_t(info.iptcBase) + info.iptcOffset;
        EXPECT_EQ(read_iptc(write(c.file).c_str(), info.iptcLength, int(where), block.data()),
                  int(c.carried.size()));
        EXPECT_EQ(Bytes(block.begin(), block.end() - 1), c.carried);
    }
    // A window of a block: the second head lies in its first 12 bytes, the data past them; 10
    // bytes cut the head.
    EXPECT_EQ(iptc_records_length(kIptc.data(), 12, 16), 16u);
    EXPECT_EQ(iptc_records_length(kIptc.data(), 10, 16), 7u);
}

TEST(ReadIptc, RefusesBlocksOutsideTheFile)
{
    const std::string path = write(concat({Bytes(10, 0), kIptc, Bytes(4, 0)}));
    std::vector<uint8_t> buf(kIptc.size() + 5, 0);
    const int len = int(kIptc.size());
    EXPECT_EQ(read_iptc(path.c_str(), len, 10, buf.data()), len);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + len), kIptc);
    // Not at a 0x1C or inside a record; lengths or offsets at or below 0; a block ending at the
    // end of the file (its zero padding not carried), and ones past it; the second record
    // alone; a block that ends inside the second record: the first alone.
    const int cases[][3] = {
        {len, 9, -2},           {len, 11, -2},      {0, 10, 0},       {-5, 10, 0},
        {len, -1, 0},           {len + 4, 10, len}, {len + 5, 10, 0}, {0x7FFFFFFF, 0x7FFFFFFF, 0},
        {len - 7, 17, len - 7}, {len - 1, 10, 7}}; // length, offset, result
    for (const auto &c : cases)
        EXPECT_EQ(read_iptc(path.c_str(), c[0], c[1], buf.data()), c[2]) << c[0] << " at " << c[1];
}

TEST(GetExifData, RealBracketsMatchExiftoolAndKeepTheirRatios)
{
    if (!std::filesystem::is_directory(HDR_TESTDATA_DIR))
        GTEST_SKIP() << "test photos not found at " << HDR_TESTDATA_DIR;
    MetaData m;
    for (const Bracket &b : kBrackets) {
        platform::DataArray records;
        for (const Photo &p : b.photos) {
            const std::string path = path_of(b, p);
            SCOPED_TRACE(path);
            ExifInfo in;
            ASSERT_EQ(getExifData(path.c_str(), 1, &in), 1);
            EXPECT_EQ(std::pair(in.exposureTime, in.fNumber),
                      std::pair(float(p.expNum) / float(p.expDen), b.fNumber));
            EXPECT_STREQ(in.model, b.model);
            EXPECT_EQ(std::vector<int>(
                          {in.iso, in.orientation, in.iptcLength, in.latitude[0], in.latRef}),
                      std::vector<int>({b.iso, b.orientation, b.iptcLength, b.latDegrees,
                                        b.latDegrees ? 'N' : 0}));
            EXPECT_EQ(
                imagecore::read_be16(&testsupport::read_file(path).at(size_t(in.thumbOffset))),
                0xFFD8); // the thumbnail's SOI
            records.push_back(m.getMetaData(platform::contents_at_path(path)));
            ASSERT_TRUE(records.back() && records.back()->length() == kExifBufBytes);
            EXPECT_EQ(reinterpret_cast<const int32_t *>(records.back()->bytes())[kExifIso], b.iso);
        }
        // The in-memory reader keeps the file's own rationals: the ratios are off only by
        // single-precision quotients.
        platform::DataPtr d = m.getEV(records);
        std::vector<float> ev(b.photos.size());
        ASSERT_TRUE(d && d->length() == 4 * ev.size());
        d->getBytes(ev.data(), d->length());
        for (size_t i = 1; i < ev.size(); ++i) {
            const double expected = b.photos[i].seconds() / b.photos[0].seconds();
            EXPECT_NEAR(ev[i] / ev[0], expected, expected * 1e-5) << b.photos[i].name;
        }
    }
}
