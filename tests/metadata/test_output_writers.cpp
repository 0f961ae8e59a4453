// The EXIF/GPS block (get_exif_count, write_exif_buf) and the two writers (KVwritejpg, buf2tif):
// exact layouts, limits, and files read back with the libraries and the project's readers.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "imagecore/byte_order.h"
#include "imagecore/jpeg_readers.h"
#include "imagecore/records.h"
#include "imagecore/tiff_probe.h"
#include "metadata/exif_block.h"
#include "metadata/exif_reader.h"
#include "metadata/jpeg_writer.h"
#include "metadata/tiff_writer.h"
#include "platform/bitmap.h"
#include "tests/metadata/exif_test_util.h"

using namespace exiftest;
using imagecore::read_le16;
using imagecore::read_le32;

namespace {

// Every field the EXIF block writes: 1/2.5 s, f/2.7, ISO 80, 6.9 mm, model, date, the GPS set.
Records full_records()
{
    Records r;
    const int32_t e[] = {100, 250, 270, 100, 0, 80, 0, 0, 0, 0, 690, 100};
    const int32_t g[] = {38,   1,   37,   1,  3400, 100, 90, 1, 11, 1,
                         2800, 100, 1425, 10, 3,    1,   48, 1, 20, 1};
    std::memcpy(r.exif, e, sizeof e);
    std::memcpy(r.gps, g, sizeof g);
    r.text(kExifModel, "Canon PowerShot S3 IS");
    r.text(kExifDateTime, "2008:05:31 22:48:20");
    std::memcpy(r.gpsBytes() + kGpsLatRefByte, "NW\1", 3);
    std::memcpy(r.gpsBytes() + kGpsDateByte, "2008:06:01", 11);
    return r;
}

// One job of either writer, its pixels a byte pattern.
struct Job {
    int w, h;
    int32_t info[kSaveInfoCount] = {};
    Bytes pixels, icc, iptc;
    Records rec;
    int method = 0;
    float param[kTmParamCount] = {};
    testsupport::TempDir dir;
    explicit Job(int width = 10, int height = 5, int spp = 3, int bits = 16) : w(width), h(height)
    {
        pixels.resize(size_t(w) * size_t(h) * size_t(spp) * size_t(bits / 8));
        for (size_t i = 0; i < pixels.size(); ++i)
            pixels[i] = uint8_t(i * 7 + 3);
        const int32_t v[] = {w, h, spp, bits, 300, 240, 0, 0, 0, 0, 1};
        std::memcpy(info, v, sizeof v);
    }
    int tif(const std::string &path, int rowBytes = -1)
    {
        const int spp = info[kSaveSamples];
        info[kSaveIccLength] = int32_t(icc.size());
        return buf2tif(
            pixels.data(), info,
            rowBytes >= 0 ? rowBytes : w * spp * (info[kSaveIs16to8] ? 1 : info[kSaveBits] / 8),
            icc.empty() ? nullptr : icc.data(), rec.exif, rec.gps, int(iptc.size()),
            iptc.empty() ? nullptr : iptc.data(), method, param, 0, nullptr, path.c_str());
    }
    int jpg(const std::string &path, int rowBytes = -1)
    {
        info[kSaveIccLength] = int32_t(icc.size());
        return KVwritejpg(path.c_str(), 90, info, rowBytes < 0 ? w * info[kSaveSamples] : rowBytes,
                          icc.empty() ? nullptr : icc.data(), rec.exif, rec.gps, int(iptc.size()),
                          iptc.empty() ? nullptr : iptc.data(), method, param, pixels.data());
    }
    std::string path(bool tiff) const { return dir.file(tiff ? "out.tif" : "out.jpg"); }
    // Writes out.tif or out.jpg and returns its bytes.
    Bytes file(bool tiff)
    {
        EXPECT_EQ(tiff ? tif(path(true)) : jpg(path(false)), h);
        return testsupport::read_file(path(tiff));
    }
};

struct Entry {
    uint16_t tag, type;
    uint32_t count, value;
    const uint8_t *field; // the 4-byte value field, inside the bytes read
};
// The entries of the little-endian IFD at pos (IFD0 when 0), as many as lie inside b.
std::vector<Entry> read_ifd(const Bytes &b, uint32_t pos = 0)
{
    pos = pos || b.size() < 8 ? pos : read_le32(&b[4]);
    std::vector<Entry> out;
    for (uint16_t i = 0; pos + 2 + 12 * (i + 1u) <= b.size() && i < read_le16(&b[pos]); ++i) {
        const uint8_t *e = &b[pos + 2 + 12 * i];
        out.push_back({read_le16(e), read_le16(e + 2), read_le32(e + 4), read_le32(e + 8), e + 8});
    }
    return out;
}

// Counts, then writes into 1024 zero bytes, of which those past the block must stay untouched.
Bytes make_block(const Records &r, int orientation = 1, metadata::ExifCounts *counts = nullptr)
{
    metadata::ExifCounts c;
    const int k =
        get_exif_count(r.exif, &c.exifCount, &c.exifDataLen, r.gps, &c.gpsCount, &c.gpsDataLen,
                       &c.modelLen, &c.datetimeLen, &c.gpsDateLen, &c.lensLen);
    EXPECT_EQ(k, c.exifCount + c.gpsCount);
    Bytes b(1024, 0);
    const int n = write_exif_buf(c.exifCount, c.exifDataLen, c.gpsCount, c.gpsDataLen, c.modelLen,
                                 c.datetimeLen, c.gpsDateLen, orientation, r.exif, r.gps, b.data());
    EXPECT_EQ(std::count(b.begin() + std::max(n, 0), b.end(), 0), 1024 - std::max(n, 0));
    b.resize(size_t(std::max(n, 0)));
    if (counts)
        *counts = c;
    return b;
}

struct Segment {
    uint8_t marker;
    size_t length; // the length field (data + 2)
    Bytes data;
};
// The marker segments after SOI up to SOS (only those of one marker if given).
std::vector<Segment> segments(const Bytes &f, int only = -1)
{
    std::vector<Segment> out;
    for (size_t p = 2, len; p + 4 <= f.size() && f[p] == 0xFF && f[p + 1] != 0xDA; p += 2 + len) {
        len = imagecore::read_be16(&f[p + 2]);
        if (len < 2 || p + 2 + len > f.size())
            break;
        if (only < 0 || f[p + 1] == only)
            out.push_back({f[p + 1], len, Bytes(&f[p + 4], &f[p + 2 + len])});
    }
    return out;
}
// The components of the image libjpeg decodes; 0 when it cannot.
int decoded_components(const Bytes &f)
{
    auto b = platform::BitmapImageRep::imageRepWithData(platform::Data::copy(f.data(), f.size()));
    return b ? b->samplesPerPixel() : 0;
}

// Width, height, bits and samples, then the pixels, as the libtiff-backed decoder reads them.
std::pair<std::vector<int>, Bytes> decode(const std::string &path)
{
    auto b = platform::BitmapImageRep::imageRepWithContentsOfFile(path);
    if (!b)
        return {};
    const uint8_t *p = b->bitmapData();
    return {{b->pixelsWide(), b->pixelsHigh(), b->bitsPerSample(), b->samplesPerPixel()},
            Bytes(p, p + size_t(b->bytesPerRow()) * size_t(b->pixelsHigh()))};
}
} // namespace

TEST(WriteExifBuf, ExposureApertureIsoGiveThe96ByteBlock)
{
    Records r;
    const int32_t e[] = {100, 10000, 800, 100, 0, 200};
    std::memcpy(r.exif, e, sizeof e);
    const Bytes expected = {
        'I',  'I',  42, 0, 8,   0, 0, 0, 2,    0, // header; IFD0: Orientation, Exif pointer
        0x12, 0x01, 3,  0, 1,   0, 0, 0, 1,    0,    0, 0, // 274 SHORT 1 = 1
        0x69, 0x87, 4,  0, 1,   0, 0, 0, 38,   0,    0, 0, // 34665 LONG 1 -> 38
        0,    0,    0,  0, 3,   0,                         // next IFD; Exif IFD at 38
        0x9a, 0x82, 5,  0, 1,   0, 0, 0, 80,   0,    0, 0, // 33434 RATIONAL -> 80
        0x9d, 0x82, 5,  0, 1,   0, 0, 0, 88,   0,    0, 0, // 33437 RATIONAL -> 88
        0x27, 0x88, 3,  0, 1,   0, 0, 0, 200,  0,    0, 0, // 34855 SHORT 200
        0,    0,    0,  0, 100, 0, 0, 0, 0x10, 0x27, 0, 0, // next IFD; 100 / 10000
        0x20, 0x03, 0,  0, 100, 0, 0, 0,                   // 800 / 100
    };
    EXPECT_EQ(make_block(r, 9), expected); // orientation 9 is written as 1
    r.exif[kExifIso] = 102400;             // saturates the SHORT
    EXPECT_EQ(read_le32(read_ifd(make_block(r), 38)[2].field), 65535u);
    EXPECT_TRUE(make_block(Records(), 6).empty()); // nothing but the orientation: no block
}

TEST(WriteExifBuf, GpsDateAloneGivesVersionAndDate)
{
    Records date;
    std::memcpy(date.gpsBytes() + kGpsDateByte, "2016:03:28", 11);
    Bytes b = make_block(date);
    ASSERT_EQ(b.size(), 38u + 6 + 24 + 11);
    EXPECT_EQ(read_ifd(b, 8)[1].tag, 34853);
    auto gps = read_ifd(b, 38);
    EXPECT_EQ(std::pair(gps[0].tag, gps[1].tag), std::pair(uint16_t(0), uint16_t(29)));
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&b[gps[1].value]), 11),
              std::string("2016:03:28", 11));
}

TEST(WriteExifBuf, TextsOfFourBytesOrFewerSitInTheValueFieldAndCountsMustMatch)
{
    Records r;
    r.text(kExifModel, "abc");     // count 4: in the entry
    r.text(kExifDateTime, "2008"); // count 5: data area, and a pad byte
    metadata::ExifCounts c;
    Bytes b = make_block(r, 1, &c);
    EXPECT_EQ(std::vector<int>({c.modelLen, c.datetimeLen, c.exifDataLen}),
              std::vector<int>({4, 5, 6}));
    ASSERT_EQ(b.size(), 14u + 36 + 0 + 6 + 12 + 6);
    auto ifd0 = read_ifd(b, 8);
    EXPECT_EQ(std::memcmp(ifd0[0].field, "abc\0", 4), 0);
    EXPECT_EQ(ifd0[2].value, 50u); // the Exif IFD follows IFD0 directly
    EXPECT_EQ(std::memcmp(&b[read_ifd(b, 50)[0].value], "2008\0", 5), 0);
    // Counts that do not match the records are refused, nothing written.
    Bytes out(1024, 0);
    EXPECT_EQ(write_exif_buf(c.exifCount, c.exifDataLen, c.gpsCount, c.gpsDataLen, 3, c.datetimeLen,
                             c.gpsDateLen, 1, r.exif, r.gps, out.data()),
              -3);
    EXPECT_EQ(out, Bytes(1024, 0));
}

TEST(KVwritejpg, PlainImageIsSoiApp0AndTheScanOnly)
{
    for (int spp : {3, 1}) {
        Job job(16, 8, spp, 8);
        const Bytes f = job.file(false);
        EXPECT_TRUE(f[0] == 0xFF && f[1] == 0xD8 && f[f.size() - 2] == 0xFF && f.back() == 0xD9);
        EXPECT_EQ(segments(f).at(0).marker, 0xE0);
        for (const Segment &s : segments(f))
            EXPECT_FALSE(s.marker > 0xE0 && s.marker <= 0xEF) << int(s.marker);
        int infos[kImageInfosCount] = {};
        EXPECT_EQ(infojpg(job.path(false).c_str(), infos), 8);
        EXPECT_EQ(std::vector<int>(infos, infos + 6), std::vector<int>({16, 8, spp, 8, 300, 240}));
        EXPECT_EQ(decoded_components(f), spp);
    }
}

TEST(KVwritejpg, ProfileChunksUpTo255)
{
    // 65519 bytes fill one chunk (length field 65535); a profile needing more than 255 chunks
    // is left out, the count being one byte.
    for (size_t len : {65519u, 65520u, 255u * 65519, 255u * 65519 + 1}) {
        Job job(16, 8, 3, 8);
        job.icc = testsupport::make_icc_profile(len, "Test RGB");
        const Bytes f = job.file(false);
        const std::vector<Segment> chunks = segments(f, 0xE2);
        const size_t n = len <= 255 * 65519 ? (len + 65518) / 65519 : 0;
        ASSERT_EQ(chunks.size(), n) << len;
        for (size_t k = 0; k < n; ++k)
            EXPECT_EQ(chunks[k].length, (k + 1 < n ? 65519 : len - k * 65519) + 16);
        Bytes back(len);
        EXPECT_EQ(jpg_profile(job.path(false).c_str(), back.data(), len), n ? int(len) : 0);
        EXPECT_TRUE(n ? back == job.icc : decoded_components(f) == 3);
    }
}

TEST(KVwritejpg, IptcBlockInPhotoshopResource)
{
    // 7 bytes: a 34-byte segment. The largest block kept is 65506 bytes (segment length 65534);
    // one whose segment would pass the limit is left out and the file stays whole.
    for (auto [n, length] : {std::pair{7, 36}, {65506, 65534}, {65507, 0}}) {
        Job job(16, 8, 3, 8);
        job.iptc.assign(size_t(n), 0x1C);
        const Bytes f = job.file(false);
        const std::vector<Segment> a13 = segments(f, 0xED);
        EXPECT_EQ(a13.empty() ? 0 : a13[0].length, size_t(length)) << n;
        EXPECT_EQ(decoded_components(f), 3);
        const Bytes head = bytes_of(std::string("Photoshop 3.0\0008BIM\4\4\0\0\0\0\0\7", 26));
        EXPECT_TRUE(n != 7 || a13[0].data == concat({head, job.iptc, {0}}));
    }
}

TEST(KVwritejpg, SegmentsFollowTheLayout)
{
    // Method 0 without a lens, the orientation alone: no EXIF and no XMP segment.
    Job job(16, 8, 3, 8);
    job.info[kSaveOrientation] = 6;
    EXPECT_TRUE(segments(job.file(false), 0xE1).empty());
    // The block of write_exif_buf.
    const int32_t e[] = {100, 10000, 800, 100, 0, 200};
    std::memcpy(job.rec.exif, e, sizeof e);
    EXPECT_EQ(segments(job.file(false), 0xE1).at(0).data,
              concat({bytes_of(std::string("Exif\0\0", 6)), make_block(job.rec, 6)}));
    // Everything: APP0, EXIF, IPTC, XMP, ICC in that order.
    job.rec = full_records();
    job.iptc = {0x1C, 0x02, 0x00, 0x00, 0x02, 0x00, 0x04};
    job.icc = testsupport::make_icc_profile(3000, "Test RGB");
    job.method = 2;
    tmparam_default(2, 0, job.param);
    const Bytes f = job.file(false);
    std::vector<uint8_t> markers;
    for (const Segment &s : segments(f))
        markers.push_back(s.marker);
    EXPECT_EQ(Bytes(markers.begin(), markers.begin() + 5), Bytes({0xE0, 0xE1, 0xED, 0xE1, 0xE2}));
    EXPECT_EQ(decoded_components(f), 3);
}

TEST(KVwritejpg, RefusesShortRowsAndReportsLibraryErrors)
{
    Job job(16, 8, 3, 8);
    EXPECT_EQ(job.jpg(job.path(false), 47), -3); // a row shorter than the image's: no file
    EXPECT_TRUE(testsupport::read_file(job.path(false)).empty());
    EXPECT_EQ(Job(70000, 2, 3, 8).jpg(job.path(false)), -3); // wider than a JPEG frame allows
    EXPECT_EQ(job.jpg("/dev/full"), -3);                     // libjpeg's write check fails
}

TEST(Buf2tif, TenByFiveRgb16LayoutAndCmykProfileDropped)
{
    Job job;
    Bytes f = job.file(true);
    ASSERT_EQ(f.size(), 492u);
    EXPECT_EQ(Bytes(f.begin(), f.begin() + 8), Bytes({'I', 'I', 42, 0, 52, 1, 0, 0})); // IFD 308
    std::vector<std::vector<uint32_t>> ifd;
    for (const Entry &e : read_ifd(f))
        ifd.push_back({e.tag, e.type, e.count, e.value});
    const std::vector<std::vector<uint32_t>> want = {
        {256, 3, 1, 10},  {257, 3, 1, 5},   {258, 3, 3, 470}, {259, 3, 1, 1}, {262, 3, 1, 2},
        {273, 4, 1, 8},   {274, 3, 1, 1},   {277, 3, 1, 3},   {278, 3, 1, 5}, {279, 4, 1, 300},
        {282, 5, 1, 476}, {283, 5, 1, 484}, {284, 3, 1, 1}};
    EXPECT_EQ(ifd, want);
    // No next IFD; BitsPerSample; both resolutions 300 / 1 (saveInfo [5] is not read).
    EXPECT_EQ(std::vector<uint32_t>({read_le32(&f[466]), read_le16(&f[470]), read_le16(&f[474]),
                                     read_le32(&f[476]), read_le32(&f[480]), read_le32(&f[484]),
                                     read_le32(&f[488])}),
              std::vector<uint32_t>({0, 16, 16, 300000, 1000, 300000, 1000}));
    EXPECT_EQ(decode(job.path(true)), std::pair(std::vector<int>({10, 5, 16, 3}), job.pixels));
    int infos[kImageInfosCount] = {};
    EXPECT_EQ(getTiffInfo(job.path(true).c_str(), infos), 2);
    EXPECT_EQ(std::vector<int>(infos, infos + 5), std::vector<int>({10, 5, 16, 3, 300}));
    job.icc = testsupport::make_icc_profile(600, "Test CMYK", false); // dropped
    EXPECT_EQ(job.file(true), f);
}

TEST(Buf2tif, SidesAbove65535AreWrittenAsLong)
{
    for (auto [w, h] : {std::pair{70000, 1}, {1, 70000}}) {
        Job job(w, h, 1, 8);
        const std::vector<Entry> ifd = read_ifd(job.file(true));
        ASSERT_EQ(ifd.size(), 13u);
        for (auto [i, v] : {std::pair{0, w}, {1, h}, {8, h}}) // width, length, RowsPerStrip
            EXPECT_EQ(std::pair(ifd[size_t(i)].type, ifd[size_t(i)].value),
                      std::pair(uint16_t(v > 65535 ? 4 : 3), uint32_t(v)));
        EXPECT_EQ(decode(job.path(true)), std::pair(std::vector<int>({w, h, 8, 1}), job.pixels));
    }
}

TEST(Buf2tif, FilesPastThirtyTwoBitOffsetsAreRefused)
{
    Job job;
    Bytes row(65537, 0);
    // 2^32 bytes of strip; then 2^32 - 1, which leaves no room for the directory.
    for (auto [w, h] : {std::pair{65536, 65536}, {65537, 65535}}) {
        const int32_t info[kSaveInfoCount] = {w, h, 1, 8};
        EXPECT_EQ(buf2tif(row.data(), info, w, nullptr, nullptr, nullptr, 0, nullptr, 0, nullptr, 0,
                          nullptr, job.path(true).c_str()),
                  -1);
        EXPECT_TRUE(testsupport::read_file(job.path(true)).empty()); // no file was made
    }
}

TEST(Buf2tif, SixteenToEightAndDroppedSamples)
{
    // The 16-to-8 flag writes the high bytes at 8 bits, whatever [3] says; a 2- or 4-sample
    // buffer loses its last sample and keeps its depth.
    for (auto [spp, bits, to8] : {std::tuple{4, 16, 1}, {4, 16, 0}, {2, 8, 0}, {3, 16, 1}}) {
        Job job(10, 5, spp, bits);
        job.info[kSaveIs16to8] = to8;
        const size_t in = size_t(bits / 8), kept = spp == 3 ? 3 : size_t(spp - 1);
        Bytes expected; // a 16-bit sample's high byte is its second on a little-endian host
        for (size_t i = 0; i < job.pixels.size(); i += in)
            if (i / in % size_t(spp) < kept)
                expected.insert(expected.end(), &job.pixels[i] + to8, &job.pixels[i] + in);
        ASSERT_EQ(job.tif(job.path(true)), 5);
        const auto [shape, pixels] = decode(job.path(true));
        EXPECT_EQ(std::vector<int>(shape.begin() + 2, shape.end()),
                  std::vector<int>({to8 ? 8 : bits, int(kept)}));
        EXPECT_EQ(pixels, expected) << spp << " x " << bits << " " << to8;
    }
}

TEST(Buf2tif, RefusesShortRowsAndReportsWriteFailures)
{
    Job job;
    EXPECT_EQ(job.tif(job.path(true), 59), -3); // shorter than a row: no file
    EXPECT_TRUE(testsupport::read_file(job.path(true)).empty());
    EXPECT_EQ(job.tif("/dev/full"), -12);          // all in the stream buffer until the close fails
    EXPECT_EQ(Job(4096, 16).tif("/dev/full"), -3); // a row write fails
}

TEST(OutputWriters, MetadataRoundTripsThroughBothWriters)
{
    std::vector<std::string> sources = {""}; // "": the full records; then real photos
    const bool photos = std::filesystem::is_directory(HDR_TESTDATA_DIR);
    for (const char *p :
         {"iphone6_handheld/1.JPG", "stlouis_arch_tripod/StLouisArchMultExpEV-4.72.jpeg",
          "window_tripod_e995/HDRI_Sample_Scene_Window_-_02.jpg"})
        if (photos)
            sources.push_back(std::string(HDR_TESTDATA_DIR) + "/" + p);
    for (const std::string &src : sources) {
        SCOPED_TRACE(src);
        Job job(64, 48, 3, 16);
        job.rec = full_records();
        job.info[kSaveOrientation] = 6;
        job.iptc = {0x1C, 0x02, 0x00, 0x00, 0x02, 0x00, 0x04};
        if (!src.empty()) {
            ExifInfo info;
            ASSERT_EQ(getExifData(src.c_str(), 1, &info), 1);
            job.rec = Records();
            metadataBufFromExifInfo(&info, job.rec.exif, job.rec.gps);
            job.info[kSaveOrientation] = info.orientation;
            const Bytes file = testsupport::read_file(src);
            job.iptc.assign(&file[size_t(info.iptcOffset)],
                            &file[size_t(info.iptcOffset)] + info.iptcLength);
        }
        job.rec.text(kExifLens, "6.0-72.0 mm", 64); // normally from a settings packet
        job.icc = testsupport::make_icc_profile(70001, "Test RGB"); // two APP2 chunks
        job.method = 1;
        tmparam_default(1, 0, job.param);
        // Both writers (the JPEG from the high bytes), each file read back with the project's
        // readers.
        const Bytes tif = job.file(true);
        job.info[kSaveBits] = 8;
        job.info[kSaveIs16to8] = 1;
        const Bytes jpg = job.file(false);
        const std::string expected = xmp_packet(
            job.method, job.param, reinterpret_cast<const char *>(job.rec.exif + kExifLens));
        for (const bool isTiff : {true, false}) {
            SCOPED_TRACE(isTiff ? "TIFF" : "JPEG");
            const std::string out = job.path(isTiff);
            const Bytes &f = isTiff ? tif : jpg;
            ExifInfo back;
            ASSERT_EQ(getExifData(out.c_str(), isTiff ? 0 : 1, &back), 1);
            Records r;
            metadataBufFromExifInfo(&back, r.exif, r.gps);
            auto ratio = [&](int s) { return float(job.rec.exif[s]) / float(job.rec.exif[s + 1]); };
            EXPECT_EQ(std::vector<float>({back.exposureTime, back.fNumber, back.focalLength}),
                      std::vector<float>({ratio(0), ratio(kExifFNumberNum), ratio(kExifFocalNum)}));
            EXPECT_EQ(std::pair(r.exif[kExifIso], back.orientation),
                      std::pair(job.rec.exif[kExifIso], job.info[kSaveOrientation]));
            EXPECT_EQ(std::memcmp(&r.exif[kExifModel], &job.rec.exif[kExifModel], 84), 0);
            EXPECT_EQ(std::memcmp(r.gps, job.rec.gps, kGpsBufBytes), 0) << "GPS record";
            // The whole records come back, without the zeros that pad them to whole LONGs in a
            // TIFF.
            EXPECT_EQ(back.iptcLength, int(job.iptc.size()));
            EXPECT_TRUE(std::equal(job.iptc.begin(), job.iptc.end(), f.begin() + back.iptcOffset));
            // The settings packet (the JPEG's length counts the 31 bytes of its segment head).
            const size_t len = size_t(back.xmpLength) - (isTiff ? 0 : 31);
            ASSERT_TRUE(back.xmpLength > 31 && size_t(back.xmpOffset) + len <= f.size());
            const std::string packet(f.begin() + back.xmpOffset,
                                     f.begin() + back.xmpOffset + long(len));
            EXPECT_EQ(packet.substr(0, expected.size()), expected);
            EXPECT_STREQ(back.lens, isTiff ? "" : "6.0-72.0 mm"); // read from JPEG packets only
            Bytes icc(job.icc.size());
            EXPECT_EQ(isTiff ? tif_profile(out.c_str(), icc.data(), icc.size())
                             : jpg_profile(out.c_str(), icc.data(), icc.size()),
                      int(icc.size()));
            EXPECT_EQ(icc, job.icc);
        }
    }
    if (!photos)
        GTEST_SKIP() << "full records only: test photos not found at " << HDR_TESTDATA_DIR;
}

// A source packet that names its lens in bytes that are not UTF-8 or XML characters, which the
// reader takes as the writer writes them, with U+FFFD for each ill-formed sequence and spaces for
// control bytes: the packets of both writers' results parse, and carry that name.
TEST(OutputWriters, AnIllFormedLensFromTheSourceGivesWellFormedPackets)
{
    const std::string R = "\xEF\xBF\xBD", cjkEmoji = "\xE6\xA8\x99\xF0\x9F\x93\xB7";
    const std::string lens = "Zoom \xC0\xAF \xED\xA0\x80 \xF4\x90\x80\x80\x1B \xE2\x82 "
                             "\xEF\xBF\xBE &lt;&amp;&gt; " +
                             cjkEmoji;
    const std::string want = "Zoom " + R + R + " " + R + R + R + " " + R + R + R + R + "  " + R +
                             " " + R + " <&> " + cjkEmoji;
    const std::string packet = "<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF><rdf:Description "
                               "xmlns:aux='http://ns.adobe.com/exif/1.0/aux/'><aux:Lens>" +
                               lens + "</aux:Lens></rdf:Description></rdf:RDF></x:xmpmeta>";
    const Bytes xmp = concat({bytes_of(metadata::kXmpApp1Signature), {0}, bytes_of(packet)});
    Job job(24, 16, 3, 8);
    const std::string source = job.dir.file("source.jpg");
    ASSERT_TRUE(testsupport::write_file(source, in_jpeg(exif_tags({{33434, 'R', 1, 250}}),
                                                        {testsupport::make_segment(0xE1, xmp)})));
    ExifInfo info;
    ASSERT_EQ(getExifData(source.c_str(), 1, &info), 1);
    ASSERT_EQ(std::string(info.lens), want);
    metadataBufFromExifInfo(&info, job.rec.exif, job.rec.gps);
    job.method = 2;
    tmparam_default(2, 0, job.param);
    std::vector<std::string> packets;
    for (const bool isTiff : {true, false}) {
        const Bytes f = job.file(isTiff);
        const std::string out = job.path(isTiff);
        ExifInfo back;
        ASSERT_EQ(getExifData(out.c_str(), isTiff ? 0 : 1, &back), 1);
        EXPECT_EQ(std::string(back.lens), isTiff ? "" : want); // read from JPEG packets only
        const size_t len = size_t(back.xmpLength) - (isTiff ? 0 : 31);
        ASSERT_TRUE(back.xmpLength > 31 && size_t(back.xmpOffset) + len <= f.size());
        packets.push_back(job.dir.file(isTiff ? "tif.xmp" : "jpg.xmp"));
        testsupport::write_file(packets.back(), Bytes(f.begin() + back.xmpOffset,
                                                      f.begin() + back.xmpOffset + long(len)));
        // exiftool takes the name back as written (its -validate does not look at UTF-8).
        if (const auto said = exiftool("-s3 -XMP-aux:Lens " + out)) {
            EXPECT_EQ(*said, want + "\n") << out;
        }
    }
    const auto parsed = parsed_lens_texts(packets);
    if (!parsed)
        GTEST_SKIP() << "python3 not found: the packets were not given to an XML parser";
    EXPECT_EQ(*parsed, std::vector<std::string>(2, hex_of(want)));
}
