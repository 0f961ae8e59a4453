#include <gtest/gtest.h>

#include <csetjmp>
#include <cstring>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "imagecore/byte_order.h"
#include "imagecore/jpeg_readers.h"
#include "imagecore/records.h"
#include "metadata/exif_block.h"
#include "metadata/exif_records.h"
#include "metadata/jpeg_writer.h"
#include "metadata/xmp_settings.h"
#include "tests/metadata/exif_test_util.h"
#include "tests/support/bracket_generator.h"
#include "tests/support/fixtures.h"
#include "tonemap/tm_params.h"

using exiftest::Records;
using imagecore::read_be16;
using imagecore::read_be32;
using testsupport::Bytes;
using testsupport::TempDir;

namespace {

struct Segment {
    uint8_t marker;
    size_t pos;    // of the marker's FF
    size_t length; // the length field (data + 2)
    Bytes data;
};

// The marker segments from SOI up to and including SOS.
std::vector<Segment> segments(const Bytes &f)
{
    std::vector<Segment> out;
    if (f.size() < 2 || f[0] != 0xFF || f[1] != 0xD8)
        return out;
    out.push_back({0xD8, 0, 0, {}});
    size_t p = 2;
    while (p + 4 <= f.size() && f[p] == 0xFF) {
        uint8_t m = f[p + 1];
        size_t len = read_be16(&f[p + 2]);
        if (len < 2 || p + 2 + len > f.size())
            break;
        out.push_back({m, p, len, Bytes(f.begin() + long(p) + 4, f.begin() + long(p + 2 + len))});
        if (m == 0xDA)
            break;
        p += 2 + len;
    }
    return out;
}
std::vector<uint8_t> markers_of(const std::vector<Segment> &s)
{
    std::vector<uint8_t> m;
    for (const Segment &x : s)
        m.push_back(x.marker);
    return m;
}
// Copies: callers often pass a temporary list.
std::vector<Segment> app(const std::vector<Segment> &s, uint8_t marker)
{
    std::vector<Segment> out;
    for (const Segment &x : s)
        if (x.marker == marker)
            out.push_back(x);
    return out;
}
bool starts_with(const Bytes &b, const char *text, size_t n)
{
    return b.size() >= n && std::memcmp(b.data(), text, n) == 0;
}
std::vector<Segment> xmp_segments(const std::vector<Segment> &s)
{
    std::vector<Segment> out;
    for (const Segment &x : app(s, 0xE1))
        if (starts_with(x.data, "http://ns.adobe.com/xap/1.0/", 29))
            out.push_back(x);
    return out;
}

struct Decoded {
    int width = 0, height = 0, components = 0;
    Bytes pixels;
    bool ok = false;
};
struct DecodeErr {
    jpeg_error_mgr pub;
    jmp_buf jump;
};
extern "C" void decode_error_exit(j_common_ptr c)
{
    std::longjmp(reinterpret_cast<DecodeErr *>(c->err)->jump, 1);
}
// libjpeg decode of a whole file (the bytes stay alive in the caller).
bool decode_into(const Bytes *file, Decoded *d)
{
    jpeg_decompress_struct c;
    DecodeErr err;
    c.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = decode_error_exit;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&c);
        return false;
    }
    jpeg_create_decompress(&c);
    jpeg_mem_src(&c, file->data(), static_cast<unsigned long>(file->size()));
    jpeg_read_header(&c, TRUE);
    jpeg_start_decompress(&c);
    d->width = int(c.output_width);
    d->height = int(c.output_height);
    d->components = c.output_components;
    d->pixels.resize(size_t(d->width) * size_t(d->height) * size_t(d->components));
    while (c.output_scanline < c.output_height) {
        JSAMPROW row =
            d->pixels.data() + size_t(c.output_scanline) * size_t(d->width) * size_t(d->components);
        jpeg_read_scanlines(&c, &row, 1);
    }
    jpeg_finish_decompress(&c);
    jpeg_destroy_decompress(&c);
    return true;
}
Decoded decode(const Bytes &file)
{
    Decoded d;
    d.ok = decode_into(&file, &d);
    return d;
}

struct Job {
    int w = 16, h = 8, spp = 3;
    int32_t info[kSaveInfoCount] = {};
    Bytes pixels;
    Records rec;
    Bytes icc;
    Bytes iptc;
    int method = 0;
    float param[kTmParamCount] = {};
    int quality = 90;
    Job()
    {
        pixels = testsupport::render_ramp(w, h, 8, spp);
        set_info();
    }
    void set_info()
    {
        info[kSaveWidth] = w;
        info[kSaveHeight] = h;
        info[kSaveSamples] = spp;
        info[kSaveBits] = 8;
        info[kSaveXDpi] = 300;
        info[kSaveYDpi] = 240;
        info[kSaveIccLength] = int32_t(icc.size());
        info[kSaveOrientation] = 1;
    }
    int write(const std::string &path, int rowBytes = -1)
    {
        info[kSaveIccLength] = int32_t(icc.size());
        return KVwritejpg(path.c_str(), quality, info, rowBytes < 0 ? w * spp : rowBytes,
                          icc.empty() ? nullptr : icc.data(), rec.exif, rec.gps, int(iptc.size()),
                          iptc.empty() ? nullptr : iptc.data(), method, param, pixels.data());
    }
};

} // namespace

TEST(KVwritejpg, PlainImageIsSoiApp0AndTheScanOnly)
{
    TempDir dir;
    Job job;
    std::string path = dir.file("plain.jpg");
    ASSERT_EQ(job.write(path), job.h);
    Bytes f = testsupport::read_file(path);
    auto segs = segments(f);
    ASSERT_GE(segs.size(), 3u);
    EXPECT_EQ(segs[1].marker, 0xE0);
    for (const Segment &s : segs)
        EXPECT_FALSE(s.marker >= 0xE1 && s.marker <= 0xEF) << "APP" << (s.marker - 0xE0);
    EXPECT_EQ(segs.back().marker, 0xDA);
    // JFIF: density unit 1 (dots per inch), X 300, Y 240.
    const Bytes &jfif = segs[1].data;
    ASSERT_TRUE(starts_with(jfif, "JFIF", 5));
    EXPECT_EQ(jfif[7], 1);
    EXPECT_EQ(read_be16(&jfif[8]), 300);
    EXPECT_EQ(read_be16(&jfif[10]), 240);
    EXPECT_EQ(f[f.size() - 2], 0xFF);
    EXPECT_EQ(f[f.size() - 1], 0xD9);

    int infos[kImageInfosCount] = {};
    EXPECT_EQ(infojpg(path.c_str(), infos), 8);
    EXPECT_EQ(infos[0], job.w);
    EXPECT_EQ(infos[1], job.h);
    EXPECT_EQ(infos[2], 3);
    EXPECT_EQ(infos[4], 300);
    EXPECT_EQ(infos[5], 240);
    EXPECT_EQ(infos[6], 0);
    Decoded d = decode(f);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.width, job.w);
    EXPECT_EQ(d.components, 3);
}

TEST(KVwritejpg, GreyImageHasOneComponent)
{
    TempDir dir;
    Job job;
    job.spp = 1;
    job.pixels = testsupport::render_ramp(job.w, job.h, 8, 1);
    job.set_info();
    std::string path = dir.file("grey.jpg");
    ASSERT_EQ(job.write(path), job.h);
    Decoded d = decode(testsupport::read_file(path));
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.components, 1);
}

TEST(KVwritejpg, SixteenBitRowsGiveTheHighBytes)
{
    // A ramp whose low bytes vary: writing the 16-bit buffer with the 16-to-8 flag must make the
    // same file as writing its high bytes as 8-bit samples.
    TempDir dir;
    Job job;
    Bytes p16 = testsupport::render_ramp(job.w, job.h, 16, 3);
    std::vector<uint16_t> s16(p16.size() / 2);
    std::memcpy(s16.data(), p16.data(), p16.size());
    for (size_t i = 0; i < s16.size(); ++i)
        s16[i] = uint16_t((s16[i] & 0xFF00) | (i * 37 & 0xFF));
    s16[0] = 0x12AB;
    Bytes p8(s16.size());
    for (size_t i = 0; i < s16.size(); ++i)
        p8[i] = uint8_t(s16[i] >> 8);
    EXPECT_EQ(p8[0], 0x12);

    job.pixels = p8;
    ASSERT_EQ(job.write(dir.file("eight.jpg")), job.h);
    job.pixels.assign(reinterpret_cast<uint8_t *>(s16.data()),
                      reinterpret_cast<uint8_t *>(s16.data()) + p16.size());
    job.info[kSaveIs16to8] = 1;
    job.info[kSaveBits] = 8;
    ASSERT_EQ(job.write(dir.file("sixteen.jpg")), job.h);
    EXPECT_EQ(testsupport::read_file(dir.file("eight.jpg")),
              testsupport::read_file(dir.file("sixteen.jpg")));
}

TEST(KVwritejpg, RowPitchIsHonoured)
{
    TempDir dir;
    Job job;
    Bytes packed = job.pixels;
    const int pitch = job.w * 3 + 5;
    Bytes padded(size_t(pitch) * size_t(job.h), 0xEE);
    for (int r = 0; r < job.h; ++r)
        std::memcpy(&padded[size_t(r) * size_t(pitch)], &packed[size_t(r) * size_t(job.w) * 3],
                    size_t(job.w) * 3);
    ASSERT_EQ(job.write(dir.file("packed.jpg")), job.h);
    job.pixels = padded;
    ASSERT_EQ(job.write(dir.file("padded.jpg"), pitch), job.h);
    EXPECT_EQ(testsupport::read_file(dir.file("packed.jpg")),
              testsupport::read_file(dir.file("padded.jpg")));

    // 16-bit rows: the pitch counts samples; the samples past a row's width are not read.
    std::vector<uint16_t> wide(size_t(pitch) * size_t(job.h), 0xEEEE);
    for (int r = 0; r < job.h; ++r)
        for (int i = 0; i < job.w * 3; ++i)
            wide[size_t(r) * size_t(pitch) + size_t(i)] =
                uint16_t(packed[size_t(r) * size_t(job.w) * 3 + size_t(i)] << 8 | 0x7F);
    job.pixels.assign(reinterpret_cast<uint8_t *>(wide.data()),
                      reinterpret_cast<uint8_t *>(wide.data() + wide.size()));
    job.info[kSaveIs16to8] = 1;
    ASSERT_EQ(job.write(dir.file("wide.jpg"), pitch), job.h);
    EXPECT_EQ(testsupport::read_file(dir.file("packed.jpg")),
              testsupport::read_file(dir.file("wide.jpg")));
}

TEST(KVwritejpg, ProfileOfOneChunkAndOfTwo)
{
    TempDir dir;
    for (size_t len : {size_t(65519), size_t(65520), size_t(200000)}) {
        Job job;
        job.icc = testsupport::make_icc_profile(len, "Test RGB");
        ASSERT_EQ(job.icc.size(), len);
        std::string path = dir.file("icc" + std::to_string(len) + ".jpg");
        ASSERT_EQ(job.write(path), job.h);
        auto segs = segments(testsupport::read_file(path));
        auto chunks = app(segs, 0xE2);
        const size_t n = (len + 65518) / 65519;
        ASSERT_EQ(chunks.size(), n) << len;
        for (size_t k = 0; k < n; ++k) {
            const Bytes &d = chunks[k].data;
            ASSERT_TRUE(starts_with(d, "ICC_PROFILE", 12));
            EXPECT_EQ(d[12], k + 1);
            EXPECT_EQ(d[13], n);
            const size_t share = k + 1 < n ? 65519 : len - k * 65519;
            EXPECT_EQ(chunks[k].length, share + 16);
        }
        if (len == 65519) {
            EXPECT_EQ(chunks[0].length, 65535u);
        }
        if (len == 65520) {
            EXPECT_EQ(chunks[1].data.size(), 15u); // the header and 1 byte
        }

        int infos[kImageInfosCount] = {};
        ASSERT_EQ(infojpg(path.c_str(), infos), 8);
        EXPECT_EQ(infos[6], int(len));
        Bytes back(len);
        EXPECT_EQ(jpg_profile(path.c_str(), back.data(), back.size()), int(len));
        EXPECT_EQ(back, job.icc);
    }
}

TEST(KVwritejpg, ProfileNeedingMoreThan255ChunksIsLeftOut)
{
    TempDir dir;
    Job job;
    job.icc = testsupport::make_icc_profile(255 * 65519 + 1, "Huge RGB");
    std::string path = dir.file("huge.jpg");
    ASSERT_EQ(job.write(path), job.h);
    Bytes f = testsupport::read_file(path);
    EXPECT_TRUE(app(segments(f), 0xE2).empty());
    EXPECT_TRUE(decode(f).ok);

    job.icc.resize(255 * 65519); // exactly 255 chunks still fit
    ASSERT_EQ(job.write(path), job.h);
    EXPECT_EQ(app(segments(testsupport::read_file(path)), 0xE2).size(), 255u);
    Bytes back(job.icc.size());
    EXPECT_EQ(jpg_profile(path.c_str(), back.data(), back.size()), int(back.size()));
    EXPECT_EQ(back, job.icc);
}

TEST(KVwritejpg, IptcBlockInPhotoshopResource)
{
    TempDir dir;
    Job job;
    job.iptc = {0x1C, 0x02, 0x00, 0x00, 0x02, 0x00, 0x04};
    std::string path = dir.file("iptc.jpg");
    ASSERT_EQ(job.write(path), job.h);
    auto segs = segments(testsupport::read_file(path));
    auto a13 = app(segs, 0xED);
    ASSERT_EQ(a13.size(), 1u);
    const Bytes &d = a13[0].data;
    ASSERT_EQ(d.size(), 34u);
    Bytes expected = {'P', 'h', 'o', 't', 'o', 's',  'h',  'o', 'p', ' ', '3', '.', '0',
                      0,   '8', 'B', 'I', 'M', 0x04, 0x04, 0,   0,   0,   0,   0,   7};
    expected.insert(expected.end(), job.iptc.begin(), job.iptc.end());
    expected.push_back(0);
    EXPECT_EQ(d, expected);

    job.iptc.push_back(0x05); // even: no pad byte
    ASSERT_EQ(job.write(path), job.h);
    a13 = app(segments(testsupport::read_file(path)), 0xED);
    ASSERT_EQ(a13.size(), 1u);
    EXPECT_EQ(a13[0].data.size(), 34u);
    EXPECT_EQ(read_be32(&a13[0].data[22]), 8u);
}

TEST(KVwritejpg, IptcTooLargeForOneSegmentIsLeftOut)
{
    TempDir dir;
    Job job;
    std::string path = dir.file("big.jpg");
    job.iptc.assign(65506, 0x41); // 65506 + 26 = 65533, the largest segment
    ASSERT_EQ(job.write(path), job.h);
    auto a13 = app(segments(testsupport::read_file(path)), 0xED);
    ASSERT_EQ(a13.size(), 1u);
    EXPECT_EQ(a13[0].length, 65534u); // 65532 data bytes

    for (size_t n : {size_t(65507), size_t(65508), size_t(100000)}) {
        job.iptc.assign(n, 0x41); // 65507 needs its pad byte: 65534
        ASSERT_EQ(job.write(path), job.h) << n;
        Bytes f = testsupport::read_file(path);
        EXPECT_TRUE(app(segments(f), 0xED).empty()) << n;
        EXPECT_TRUE(decode(f).ok);
    }
}

TEST(KVwritejpg, XmpFollowsMethodAndLens)
{
    TempDir dir;
    Job job;
    std::string path = dir.file("xmp.jpg");
    // Method 0 without a lens: no packet at all.
    ASSERT_EQ(job.write(path), job.h);
    EXPECT_TRUE(xmp_segments(segments(testsupport::read_file(path))).empty());

    // Method 0 with a lens: the wrapper and the lens description only.
    job.rec.text(kExifLens, "iPhone 6 back camera 4.15mm f/2.2");
    ASSERT_EQ(job.write(path), job.h);
    auto x = xmp_segments(segments(testsupport::read_file(path)));
    ASSERT_EQ(x.size(), 1u);
    Bytes packet(x[0].data.begin() + 29, x[0].data.end());
    EXPECT_EQ(x[0].data[28], 0);
    std::string text(packet.begin(), packet.end());
    EXPECT_NE(text.find("<aux:Lens>iPhone 6 back camera 4.15mm f/2.2</aux:Lens>"),
              std::string::npos);
    EXPECT_EQ(text.find("kvtm"), std::string::npos);
    packet.push_back(0);
    char lens[64] = {};
    EXPECT_GE(get_settings_from_xmp(100, int(packet.size()),
                                    reinterpret_cast<const char *>(packet.data()), lens, nullptr),
              0);
    EXPECT_STREQ(lens, "iPhone 6 back camera 4.15mm f/2.2");
    EXPECT_EQ(get_settings_from_xmp(-1, int(packet.size()),
                                    reinterpret_cast<const char *>(packet.data()), nullptr,
                                    nullptr),
              0); // no program namespace: not a settings packet

    // Method 1: the packet is the one embed_xmp makes, and its settings read back.
    job.method = 1;
    tmparam_default(1, 0, job.param);
    job.param[kDeStrength] = 55;
    ASSERT_EQ(job.write(path), job.h);
    x = xmp_segments(segments(testsupport::read_file(path)));
    ASSERT_EQ(x.size(), 1u);
    packet.assign(x[0].data.begin() + 29, x[0].data.end());
    const char *lensText = reinterpret_cast<const char *>(&job.rec.exif[kExifLens]);
    int len = embed_xmp(0, 1, job.param, int(std::strlen(lensText)) + 1, lensText, nullptr);
    ASSERT_EQ(int(packet.size()), len);
    std::vector<char> expected(size_t(len) + 1, 0);
    embed_xmp(1, 1, job.param, int(std::strlen(lensText)) + 1, lensText, expected.data());
    EXPECT_EQ(std::memcmp(packet.data(), expected.data(), size_t(len)), 0);
    packet.push_back(0);
    float back[kTmParamCount] = {};
    EXPECT_GT(get_settings_from_xmp(1, int(packet.size()),
                                    reinterpret_cast<const char *>(packet.data()), nullptr, back),
              0);
    EXPECT_FLOAT_EQ(back[kDeStrength], 55);
    EXPECT_FLOAT_EQ(back[kDeGamma], 50);
}

TEST(KVwritejpg, ExifBlockFollowsTheRecords)
{
    TempDir dir;
    Job job;
    std::string path = dir.file("exif.jpg");
    // Only the orientation: no EXIF segment.
    job.info[kSaveOrientation] = 6;
    ASSERT_EQ(job.write(path), job.h);
    EXPECT_TRUE(app(segments(testsupport::read_file(path)), 0xE1).empty());

    job.rec.exif[kExifExposureNum] = 100;
    job.rec.exif[kExifExposureDen] = 10000;
    job.rec.exif[kExifFNumberNum] = 800;
    job.rec.exif[kExifFNumberDen] = 100;
    job.rec.exif[kExifIso] = 200;
    job.info[kSaveOrientation] = 9;
    ASSERT_EQ(job.write(path), job.h);
    auto a1 = app(segments(testsupport::read_file(path)), 0xE1);
    ASSERT_EQ(a1.size(), 1u);
    const Bytes &d = a1[0].data;
    ASSERT_EQ(d.size(), 6u + 96);
    EXPECT_TRUE(starts_with(d, "Exif\0\0", 6));
    std::vector<uint8_t> block(96, 0);
    metadata::ExifCounts c = metadata::exif_counts(job.rec.exif, job.rec.gps);
    ASSERT_EQ(write_exif_buf(c.exifCount, c.exifDataLen, c.gpsCount, c.gpsDataLen, c.modelLen,
                             c.datetimeLen, c.gpsDateLen, 1, job.rec.exif, job.rec.gps,
                             block.data()),
              96);
    EXPECT_TRUE(std::equal(block.begin(), block.end(), d.begin() + 6));
    EXPECT_EQ(d[6 + 18], 1); // orientation 9 written as 1
}

TEST(KVwritejpg, SegmentOrderIsExifIptcXmpIcc)
{
    TempDir dir;
    Job job;
    job.rec.text(kExifModel, "Canon PowerShot S3 IS");
    job.rec.text(kExifLens, "6.0-72.0 mm");
    job.iptc = {0x1C, 0x02, 0x00, 0x00, 0x02, 0x00, 0x04};
    job.icc = testsupport::make_icc_profile(3000, "Test RGB");
    job.method = 2;
    tmparam_default(2, 0, job.param);
    std::string path = dir.file("all.jpg");
    ASSERT_EQ(job.write(path), job.h);
    auto segs = segments(testsupport::read_file(path));
    std::vector<uint8_t> apps;
    for (uint8_t m : markers_of(segs))
        if (m >= 0xE0 && m <= 0xEF)
            apps.push_back(m);
    EXPECT_EQ(apps, (std::vector<uint8_t>{0xE0, 0xE1, 0xED, 0xE1, 0xE2}));
    EXPECT_EQ(segs[1].marker, 0xE0);
    EXPECT_TRUE(decode(testsupport::read_file(path)).ok);
}

TEST(KVwritejpg, BadArgumentsAndUnwritablePaths)
{
    TempDir dir;
    Job job;
    EXPECT_EQ(job.write(dir.file("missing/x.jpg")), -1);
    EXPECT_EQ(KVwritejpg(nullptr, 90, job.info, job.w * 3, nullptr, nullptr, nullptr, 0, nullptr, 0,
                         nullptr, job.pixels.data()),
              -1);
    std::string path = dir.file("bad.jpg");
    EXPECT_EQ(KVwritejpg(path.c_str(), 90, job.info, job.w * 3, nullptr, nullptr, nullptr, 0,
                         nullptr, 0, nullptr, nullptr),
              -3);
    EXPECT_EQ(job.write(path, job.w * 3 - 1), -3); // a row shorter than the image's
    job.info[kSaveSamples] = 4;
    EXPECT_EQ(job.write(path), -3);
    job.set_info();
    job.info[kSaveHeight] = 0;
    EXPECT_EQ(job.write(path), -3);
    job.set_info();
    job.method = 1;
    EXPECT_EQ(KVwritejpg(path.c_str(), 90, job.info, job.w * 3, nullptr, nullptr, nullptr, 0,
                         nullptr, 1, nullptr, job.pixels.data()),
              -3);
    job.method = 0;
    job.info[kSaveIccLength] = 100;
    EXPECT_EQ(KVwritejpg(path.c_str(), 90, job.info, job.w * 3, nullptr, nullptr, nullptr, 0,
                         nullptr, 0, nullptr, job.pixels.data()),
              -3);
    EXPECT_TRUE(testsupport::read_file(path).empty()); // none of these made a file
}

TEST(KVwritejpg, LibraryErrorsReturnMinusThree)
{
    TempDir dir;
    Job job;
    // Wider than a JPEG frame can describe: libjpeg refuses it at start.
    job.w = 70000;
    job.h = 2;
    job.pixels.assign(size_t(job.w) * 3 * 2, 128);
    job.set_info();
    EXPECT_EQ(job.write(dir.file("wide.jpg")), -3);
    // A device that takes no bytes: the library's write check fails.
    FILE *full = std::fopen("/dev/full", "wb");
    if (!full)
        GTEST_SKIP() << "no /dev/full on this system";
    std::fclose(full);
    Job small;
    EXPECT_EQ(small.write("/dev/full"), -3);
}
