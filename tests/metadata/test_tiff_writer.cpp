// buf2tif: the exact layout of a small file, each kind of metadata it carries, sizes past the
// SHORT and 32-bit limits, the 16-to-8 and dropped-sample paths, and its failures; files read
// back with libtiff and the project's readers.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include <tiffio.h>

#include "imagecore/tiff_probe.h"
#include "metadata/exif_reader.h"
#include "metadata/xmp_settings.h"
#include "tests/metadata/exif_test_util.h"

using namespace exiftest;
using imagecore::read_le16;
using imagecore::read_le32;

namespace {

struct TiffCloser {
    void operator()(TIFF *t) const { TIFFClose(t); }
};
using TiffPtr = std::unique_ptr<TIFF, TiffCloser>;
TiffPtr open_tiff(const std::string &path)
{
    TIFFSetErrorHandler(nullptr);
    TIFFSetWarningHandler(nullptr);
    return TiffPtr(TIFFOpen(path.c_str(), "r"));
}
// The image as libtiff decodes it (samples in host order), with its width, height, bits per
// sample, samples per pixel and photometric interpretation.
std::pair<std::vector<uint32_t>, Bytes> decode(const std::string &path)
{
    TiffPtr t = open_tiff(path);
    uint32_t w = 0, h = 0;
    uint16_t bps = 0, spp = 0, photo = 0;
    if (!t || !TIFFGetField(t.get(), TIFFTAG_IMAGEWIDTH, &w) ||
        !TIFFGetField(t.get(), TIFFTAG_IMAGELENGTH, &h))
        return {};
    TIFFGetField(t.get(), TIFFTAG_BITSPERSAMPLE, &bps);
    TIFFGetField(t.get(), TIFFTAG_SAMPLESPERPIXEL, &spp);
    TIFFGetField(t.get(), TIFFTAG_PHOTOMETRIC, &photo);
    const size_t row = size_t(TIFFScanlineSize(t.get()));
    Bytes out(row * h);
    for (uint32_t r = 0; r < h; ++r)
        if (TIFFReadScanline(t.get(), out.data() + r * row, r, 0) != 1)
            return {};
    return {{w, h, bps, spp, photo}, out};
}
// The data of IFD0's tag, count bytes of it.
std::optional<std::string> tag_data(const Bytes &f, uint16_t tag)
{
    std::optional<Entry> e = find(ifd0_of(f), tag);
    if (!e)
        return std::nullopt;
    return std::string(reinterpret_cast<const char *>(&f[e->value]), e->count);
}

} // namespace

TEST(Buf2tif, TenByFiveRgb16Layout)
{
    Job job;
    Bytes f = job.file(true);
    ASSERT_EQ(f.size(), 492u);
    EXPECT_EQ(Bytes(f.begin(), f.begin() + 8), Bytes({'I', 'I', 42, 0, 52, 1, 0, 0})); // IFD 308
    std::vector<std::vector<uint32_t>> ifd;
    for (const Entry &e : ifd0_of(f))
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
    const auto [shape, pixels] = decode(job.path(true));
    EXPECT_EQ(shape, std::vector<uint32_t>({10, 5, 16, 3, PHOTOMETRIC_RGB}));
    EXPECT_EQ(pixels, job.pixels);
    int infos[kImageInfosCount] = {};
    EXPECT_EQ(getTiffInfo(job.path(true).c_str(), infos), 2);
    EXPECT_EQ(std::vector<int>(infos, infos + 11),
              std::vector<int>({10, 5, 16, 3, 300, 8, 0, 5, 300, 1, 1}));
}

TEST(Buf2tif, OnlyRgbProfilesAreKept)
{
    Job job;
    job.icc = testsupport::make_icc_profile(601, "Test RGB"); // odd: later offsets need a pad
    job.file(true);
    Bytes back(job.icc.size());
    EXPECT_EQ(tif_profile(job.path(true).c_str(), back.data(), back.size()), 601);
    EXPECT_EQ(back, job.icc);
    EXPECT_EQ(decode(job.path(true)).second, job.pixels);
    job.icc = testsupport::make_icc_profile(600, "Test CMYK", false);
    EXPECT_EQ(job.file(true).size(), 492u); // dropped
    job.icc = {1, 2, 3}; // a stub of 20 bytes or fewer is kept as it stands, in the entry
    std::optional<Entry> e = find(ifd0_of(job.file(true)), 34675);
    ASSERT_TRUE(e);
    EXPECT_EQ(std::pair(e->count, e->value), std::pair(3u, 0x030201u));
}

TEST(Buf2tif, SettingsPacketIsMadeCarriedOrLeftOut)
{
    Job job;
    EXPECT_FALSE(tag_data(job.file(true), 700)); // method 0, no lens, no packet: no entry
    // Method 1: embed_xmp's packet and a space.
    job.method = 1;
    tmparam_default(1, 0, job.param);
    std::string expected(size_t(embed_xmp(0, 1, job.param, 0, nullptr, nullptr)), 0);
    embed_xmp(1, 1, job.param, 0, nullptr, expected.data());
    EXPECT_EQ(tag_data(job.file(true), 700), expected + ' ');
    // A packet of the program is carried as it is, whatever the method; a foreign one is
    // carried with method 0 and replaced with method 2.
    const std::string foreign = "<x:xmpmeta xmlns:x='adobe:ns:meta/'>\n</x:xmpmeta>\n";
    for (auto [xmp, method] : {std::pair{expected, 2}, {foreign, 0}, {foreign, 2}}) {
        Job carry;
        carry.xmp = xmp;
        carry.method = method;
        tmparam_default(2, 0, carry.param);
        std::optional<std::string> packet = tag_data(carry.file(true), 700);
        ASSERT_TRUE(packet);
        if (xmp == foreign && method == 2)
            EXPECT_EQ(get_settings_from_xmp(-1, int(packet->size()) + 1, packet->c_str(), nullptr,
                                            nullptr),
                      2);
        else
            EXPECT_EQ(*packet, xmp);
    }
    // A lens alone makes a packet with the lens description only.
    Job lens;
    lens.rec.text(kExifLens, "EF 24-105mm");
    std::string lensPacket(size_t(embed_xmp(0, 0, lens.param, 64, "EF 24-105mm", nullptr)), 0);
    embed_xmp(1, 0, lens.param, 64, "EF 24-105mm", lensPacket.data());
    EXPECT_EQ(tag_data(lens.file(true), 700), lensPacket + ' ');
}

TEST(Buf2tif, IptcIsPaddedToWholeLongs)
{
    Job job;
    job.iptc = {0x1C, 0x02, 0x00, 0x00, 0x02, 0x00, 0x04, 0x1C, 0x02, 0x19};
    Bytes f = job.file(true);
    EXPECT_EQ(f.size(), 492u + 12 + 12);
    std::optional<Entry> e = find(ifd0_of(f), 33723);
    ASSERT_TRUE(e);
    EXPECT_EQ(std::pair(e->type, e->count), std::pair(uint16_t(4), 3u));
    EXPECT_EQ(Bytes(f.begin() + e->value, f.begin() + e->value + 12), concat({job.iptc, {0, 0}}));
    Bytes back(11, 0);
    EXPECT_EQ(read_iptc(job.path(true).c_str(), 10, int(e->value), back.data()), 10);
    TiffPtr t = open_tiff(job.path(true));
    uint32_t n = 0;
    uint8_t *data = nullptr;
    ASSERT_TRUE(t && TIFFGetField(t.get(), TIFFTAG_RICHTIFFIPTC, &n, &data));
    EXPECT_EQ(Bytes(data, data + n), concat({job.iptc, {0, 0}})); // n counts the LONGs' bytes
}

TEST(Buf2tif, ExifAndGpsDirectoriesReadBack)
{
    Job job;
    for (auto [given, written] : {std::pair{0, 1}, {9, 1}, {8, 8}}) {
        job.info[kSaveOrientation] = given;
        EXPECT_EQ(find(ifd0_of(job.file(true)), 274)->value, uint32_t(written)) << given;
    }
    job.rec = full_records();
    job.rec.text(kExifLens, "", 64); // a lens alone would add a settings packet
    job.info[kSaveOrientation] = 6;
    const std::vector<Entry> ifd = ifd0_of(job.file(true));
    ASSERT_EQ(ifd.size(), 16u);
    EXPECT_EQ(find(ifd, 272)->value, 512u); // IFD0 at 308 (16 entries, 198 bytes), BitsPerSample

    TiffPtr t = open_tiff(job.path(true));
    char *model = nullptr, *date = nullptr, *ref = nullptr, *gpsDate = nullptr;
    uint16_t orientation = 0;
    ASSERT_TRUE(t && TIFFGetField(t.get(), TIFFTAG_MODEL, &model));
    TIFFGetField(t.get(), TIFFTAG_ORIENTATION, &orientation);
    EXPECT_EQ(std::pair(std::string(model), orientation),
              std::pair(std::string("Canon PowerShot S3 IS"), uint16_t(6)));
    ASSERT_TRUE(TIFFReadEXIFDirectory(t.get(), find(ifd, 34665)->value));
    ASSERT_TRUE(TIFFGetField(t.get(), EXIFTAG_DATETIMEORIGINAL, &date));
    EXPECT_STREQ(date, "2008:05:31 22:48:20");
    ASSERT_TRUE(TIFFReadGPSDirectory(t.get(), find(ifd, 34853)->value));
    ASSERT_TRUE(TIFFGetField(t.get(), GPSTAG_LATITUDEREF, &ref));
    ASSERT_TRUE(TIFFGetField(t.get(), GPSTAG_DATESTAMP, &gpsDate));
    EXPECT_EQ(std::string(ref) + gpsDate, "N2008:06:01");
    // The project's reader gives the records back (exposure 100/250 reads as 0.4 s).
    ExifInfo info;
    ASSERT_EQ(getExifData(job.path(true).c_str(), 0, &info), 1);
    EXPECT_EQ(std::vector<float>({info.exposureTime, info.fNumber, info.focalLength}),
              std::vector<float>({0.4f, 2.7f, 6.9f}));
    Records back;
    metadataBufFromExifInfo(&info, back.exif, back.gps);
    EXPECT_EQ(std::memcmp(&back.exif[kExifModel], &job.rec.exif[kExifModel], 84), 0);
    EXPECT_EQ(std::memcmp(back.gps, job.rec.gps, kGpsBufBytes), 0);
    EXPECT_EQ(std::pair(info.orientation, back.exif[kExifIso]), std::pair(6, 80));
}

TEST(Buf2tif, ShortTextsSitInTheValueField)
{
    Job job;
    job.rec.text(kExifModel, "S3");
    job.rec.text(kExifDateTime, "abc");
    Bytes f = job.file(true);
    const uint32_t exifAt = find(ifd0_of(f), 34665)->value;
    EXPECT_EQ(std::memcmp(find(ifd0_of(f), 272)->field, "S3\0\0", 4), 0);
    EXPECT_EQ(std::memcmp(read_ifd(f, exifAt)[0].field, "abc\0", 4), 0);
    EXPECT_EQ(f.size(), exifAt + 18u); // no data area
    ExifInfo info;
    ASSERT_EQ(getExifData(job.path(true).c_str(), 0, &info), 1);
    EXPECT_EQ(std::string(info.model) + info.dateTime, "S3abc");
    TiffPtr t = open_tiff(job.path(true));
    char *m = nullptr;
    ASSERT_TRUE(t && TIFFGetField(t.get(), TIFFTAG_MODEL, &m));
    EXPECT_STREQ(m, "S3");
}

TEST(Buf2tif, SidesAbove65535AreWrittenAsLong)
{
    for (auto [w, h] : {std::pair{70000, 1}, {1, 70000}}) {
        Job job(w, h, 1, 8);
        const std::vector<Entry> ifd = ifd0_of(job.file(true));
        ASSERT_EQ(ifd.size(), 13u);
        for (auto [i, v] : {std::pair{0, w}, {1, h}, {8, h}}) // width, length, RowsPerStrip
            EXPECT_EQ(std::pair(ifd[size_t(i)].type, ifd[size_t(i)].value),
                      std::pair(uint16_t(v > 65535 ? 4 : 3), uint32_t(v)));
        const auto [shape, pixels] = decode(job.path(true));
        EXPECT_EQ(shape, std::vector<uint32_t>({uint32_t(w), uint32_t(h), 8, 1, 1}));
        EXPECT_EQ(pixels, job.pixels) << w << " x " << h;
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

TEST(Buf2tif, SixteenToEightRowPitchAndDroppedSamples)
{
    // The 16-to-8 flag writes the high bytes at 8 bits, whatever [3] says; a 2- or 4-sample
    // buffer loses its last sample and keeps its depth; rows may be longer than the image's.
    for (auto [spp, bits, to8, pad] : {std::tuple{4, 16, 1, 0},
                                       {4, 16, 0, 0},
                                       {2, 8, 0, 0},
                                       {4, 8, 0, 0},
                                       {2, 16, 0, 0},
                                       {3, 16, 0, 6},
                                       {3, 16, 1, 2}}) {
        Job job(10, 5, spp, bits);
        job.info[kSaveIs16to8] = to8;
        const size_t in = size_t(bits / 8), row = size_t(10 * spp) * in, kept = size_t(spp - 1);
        Bytes expected, padded;
        for (size_t i = 0; i < job.pixels.size(); i += in) {
            uint16_t v = 0;
            if (spp == 3 || i / in % size_t(spp) < kept) {
                if (to8 && std::memcpy(&v, &job.pixels[i], 2))
                    expected.push_back(uint8_t(v >> 8));
                else
                    expected.insert(expected.end(), &job.pixels[i], &job.pixels[i] + in);
            }
            padded.insert(padded.end(), &job.pixels[i], &job.pixels[i] + in);
            if ((i + in) % row == 0)
                padded.insert(padded.end(), size_t(pad) * in, 0xEE);
        }
        job.pixels = padded;
        ASSERT_EQ(job.tif(job.path(true), int((row / in + size_t(pad)) * (to8 ? 1 : in))), 5);
        const auto [shape, pixels] = decode(job.path(true));
        const std::vector<uint32_t> want = {uint32_t(to8 ? 8 : bits),
                                            uint32_t(spp == 3 ? 3 : kept)};
        EXPECT_EQ(std::vector<uint32_t>(shape.begin() + 2, shape.begin() + 4), want);
        EXPECT_EQ(pixels, expected) << spp << " x " << bits << " " << to8 << " " << pad;
    }
}

TEST(Buf2tif, BadArgumentsAndWriteFailures)
{
    Job job;
    const std::string path = job.dir.file("bad.tif");
    auto call = [&](const void *px, const int32_t *info, int rowBytes, int method, const char *to) {
        return buf2tif(px, info, rowBytes, nullptr, nullptr, nullptr, 0, nullptr, method, nullptr,
                       0, nullptr, to);
    };
    const uint8_t *px = job.pixels.data();
    EXPECT_EQ(job.tif(job.dir.file("missing/x.tif")), -1);
    EXPECT_EQ(call(px, job.info, 60, 0, nullptr), -1);
    EXPECT_EQ(call(nullptr, job.info, 60, 0, path.c_str()), -3);
    EXPECT_EQ(call(px, nullptr, 60, 0, path.c_str()), -3);
    EXPECT_EQ(call(px, job.info, 59, 0, path.c_str()), -3); // shorter than a row
    EXPECT_EQ(call(px, job.info, 60, 1, path.c_str()), -3); // a method without its settings
    // Bits other than 8 or 16, five samples, no width, a profile length and no profile.
    for (auto [slot, value] :
         {std::pair{kSaveBits, 12}, {kSaveSamples, 5}, {kSaveWidth, 0}, {kSaveIccLength, 10}}) {
        job.reset();
        job.info[slot] = value;
        EXPECT_EQ(call(px, job.info, 60, 0, path.c_str()), -3) << slot;
    }
    EXPECT_TRUE(testsupport::read_file(path).empty());

    if (FILE *full = std::fopen("/dev/full", "wb")) {
        std::fclose(full);
        job.reset();
        EXPECT_EQ(job.tif("/dev/full"), -12); // all in the stream buffer until the close fails
        Job big(4096, 16);
        EXPECT_EQ(big.tif("/dev/full"), -3); // a row write fails
    }
}

TEST(Buf2tif, EveryValueOffsetIsEven)
{
    // Odd lengths everywhere: strip (8-bit grey 7 x 5), model (count 9), date (count 19),
    // profile, IPTC block, settings packet.
    Job job(7, 5, 1, 8);
    Bytes f = job.file(true);
    EXPECT_EQ(std::pair(read_le32(&f[4]), f.size()), std::pair(44u, 8 + 36 + 162 + 16ul));
    job.rec = full_records();
    job.rec.text(kExifModel, "iPhone 6", 64);
    job.rec.text(kExifDateTime, "2016:03:28 15:40:5", 20);
    job.rec.text(kExifLens, "odd lens", 64);
    job.icc = testsupport::make_icc_profile(701, "Test RGB");
    job.iptc = {0x1C, 0x02, 0x00, 0x00, 0x02, 0x00, 0x04};
    job.method = 10;
    f = job.file(true);
    const uint32_t sizes[] = {0, 1, 1, 2, 4, 8, 0, 1};
    std::vector<uint32_t> ifds = {read_le32(&f[4])};
    for (size_t k = 0; k < ifds.size(); ++k) {
        ASSERT_EQ(ifds[k] % 2, 0u);
        for (const Entry &e : read_ifd(f, ifds[k])) {
            ASSERT_LT(e.type, 8);
            if (k == 0 && (e.tag == 34665 || e.tag == 34853))
                ifds.push_back(e.value);
            const uint32_t n = e.count * sizes[e.type];
            EXPECT_TRUE(n <= 4 || (e.value % 2 == 0 && e.value + n <= f.size())) << e.tag;
        }
    }
    EXPECT_EQ(ifds.size(), 3u);
    Bytes back(job.icc.size());
    EXPECT_EQ(tif_profile(job.path(true).c_str(), back.data(), back.size()), 701);
    EXPECT_EQ(back, job.icc);
    ExifInfo info;
    ASSERT_EQ(getExifData(job.path(true).c_str(), 0, &info), 1);
    EXPECT_STREQ(info.dateTime, "2016:03:28 15:40:5");
    EXPECT_EQ(info.focalLength, 6.9f); // the entry after the odd date
}
