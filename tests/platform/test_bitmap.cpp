// Tests of the bitmap stand-in: creation rules, the ICC chunk rules, decoding of files written by
// libtiff and libjpeg (pixels, layout, ICC profile), and refusal of damaged or hostile files.
#include <algorithm>
#include <climits>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <tiffio.h>

#include "platform/bitmap.h"
#include "platform/data.h"
#include "platform/icc_chunks.h"
#include "tests/support/allocation_probe.h"
#include "tests/support/bracket_generator.h"
#include "tests/support/fixtures.h"
#include "tests/support/image_compare.h"
#include "tests/support/jpeg_streams.h"

namespace {

using namespace platform;
using testsupport::Bytes;
using testsupport::jpeg_scans;
using testsupport::LibTiffOptions;
using testsupport::recode_jpeg;
using testsupport::spliced;
using testsupport::TempDir;

BitmapPtr decode(const Bytes &bytes)
{
    return BitmapImageRep::imageRepWithData(Data::copy(bytes.data(), bytes.size()));
}

// check_pixel_data of bytes written to a file in dir.
PixelDataCheck check_bytes(const TempDir &dir, const Bytes &file)
{
    const std::string path = dir.file("checked");
    PixelLayout layout;
    return testsupport::write_file(path, file) ? check_pixel_data(path, &layout)
                                               : PixelDataCheck::NotDecodable;
}

Bytes as_bytes(const DataPtr &d)
{
    return d ? Bytes(d->bytes(), d->bytes() + d->length()) : Bytes{};
}

constexpr uint8_t kSof[] = {0xFF, 0xC0}, kSos[] = {0xFF, 0xDA};

// n bytes that all differ from their neighbours.
Bytes noise(size_t n)
{
    Bytes out(n);
    for (size_t i = 0; i < n; ++i)
        out[i] = uint8_t((i * 2654435761u) >> 13);
    return out;
}

// An APP2 payload: "ICC_PROFILE\0", seq, count, the bytes.
Bytes chunk(int seq, int count, const Bytes &bytes)
{
    Bytes p(14 + bytes.size());
    std::memcpy(p.data(), "ICC_PROFILE", 12);
    p[12] = uint8_t(seq);
    p[13] = uint8_t(count);
    std::copy(bytes.begin(), bytes.end(), p.begin() + 14);
    return p;
}

BitmapPtr via_libtiff(const Bytes &pixels, int w, int h, int spp, const LibTiffOptions &o)
{
    TempDir dir;
    if (!testsupport::write_libtiff(dir.file("i.tif"), pixels.data(), w, h, spp, o)) {
        ADD_FAILURE() << "libtiff could not write the fixture";
        return nullptr;
    }
    return BitmapImageRep::imageRepWithContentsOfFile(dir.file("i.tif"));
}

// Packed interleaved rows of spp samples holding pixels (when not empty).
void expect_bitmap(const BitmapPtr &b, int w, int h, int spp, int bits, const Bytes &pixels)
{
    ASSERT_NE(b, nullptr);
    EXPECT_EQ((std::vector<int>{b->pixelsWide(), b->pixelsHigh(), b->samplesPerPixel(),
                                b->bitsPerSample(), b->bytesPerRow(), b->hasAlpha()}),
              (std::vector<int>{w, h, spp, bits, w * spp * bits / 8, 0}));
    EXPECT_EQ(b->colorSpaceName(),
              spp == 1 ? kCalibratedWhiteColorSpace : kCalibratedRGBColorSpace);
    if (!pixels.empty() && b->bytesPerRow() == w * spp * bits / 8) {
        EXPECT_EQ(Bytes(b->bitmapData(), b->bitmapData() + pixels.size()), pixels);
    }
}

// An RGB file claiming w x h pixels, its strip at offset (written only at 1024) of count bytes.
Bytes tiff_claiming(uint32_t w, uint32_t h, const Bytes &strip, uint32_t offset = 1024,
                    uint32_t count = 0, uint16_t bits = 8)
{
    testsupport::TiffBuilder t;
    size_t ifd = t.add_ifd();
    t.add_longs(ifd, 256, {w});
    t.add_longs(ifd, 257, {h});
    t.add_shorts(ifd, 258, {bits, bits, bits});
    t.add_shorts(ifd, 259, {1});
    t.add_shorts(ifd, 262, {2});
    t.add_entry_at(ifd, 273, testsupport::kTiffLong, 1, offset, offset == 1024 ? strip : Bytes{});
    t.add_shorts(ifd, 277, {3});
    t.add_longs(ifd, 278, {h});
    t.add_longs(ifd, 279, {count ? count : uint32_t(strip.size())});
    return t.build();
}

TEST(BitmapImageRepCreate, ZeroedBufferOrNullForInvalidAndOversizedLayouts)
{
    expect_bitmap(BitmapImageRep::create(5, 3, 16, 3, false, false, kCalibratedRGBColorSpace, 0, 0),
                  5, 3, 3, 16, Bytes(90, 0));
    EXPECT_EQ(BitmapImageRep::create(5, 4, 8, 4, true, false, "", 64, 32)->bytesPerRow(), 64);
    // Bad layouts; a row longer than an int, 2^31 pixels and more, rows x row length past 8 GiB.
    const int rows[][7] = {{0, 4, 8, 3, 0, 0, 0},         {4, 4, 12, 3, 0, 0, 0},
                           {4, 4, 8, 6, 0, 0, 0},         {4, 4, 8, 3, 1, 0, 0},
                           {4, 4, 8, 3, 0, 11, 0},        {4, 4, 8, 3, 0, 0, 32},
                           {INT_MAX, 1, 16, 3, 0, 0, 0},  {INT_MAX, INT_MAX, 16, 5, 0, 0, 0},
                           {65536, 32769, 8, 1, 0, 0, 0}, {1, INT_MAX / 2, 8, 1, 0, INT_MAX, 0},
                           {65536, 32768, 8, 1, 0, 0, 0}};
    for (const auto &[w, h, bps, spp, planar, rowBytes, bpp] : rows)
        EXPECT_EQ(BitmapImageRep::create(w, h, bps, spp, false, planar != 0, "", rowBytes, bpp),
                  nullptr)
            << w << "x" << h << " " << bps << "/" << spp << " " << rowBytes;
}

TEST(IccChunks, SequenceOrderConsistentCountsAndTheDestinationsCapacity)
{
    const Bytes icc = testsupport::make_icc_profile(300, "views");
    const Bytes a(icc.begin(), icc.begin() + 200), b(icc.begin() + 200, icc.end());
    const Bytes whole = chunk(1, 1, icc), cut(whole.begin(), whole.begin() + 13); // no count
    struct Row {
        const char *what;
        std::vector<std::pair<int, Bytes>> markers; // code, payload
        size_t total;
    } const rows[] = {
        {"1 of 1", {{0xE2, whole}}, 300},
        {"0 stands for 1 of 1", {{0xE2, chunk(0, 1, icc)}}, 300},
        {"2 then 1 of 2", {{0xE2, chunk(2, 2, b)}, {0xE2, chunk(1, 2, a)}}, 300},
        {"APP1 ignored", {{0xE1, chunk(1, 1, a)}, {0xE2, whole}}, 300},
        {"shorter than the header", {{0xE2, cut}, {0xE2, whole}}, 300},
        {"1 and 3 of 3", {{0xE2, chunk(1, 3, a)}, {0xE2, chunk(3, 3, b)}}, 0},
        {"counts disagree", {{0xE2, chunk(1, 2, a)}, {0xE2, chunk(2, 3, b)}}, 0},
        {"1 twice", {{0xE2, chunk(1, 2, a)}, {0xE2, chunk(1, 2, b)}}, 0},
    };
    for (const Row &r : rows) {
        IccChunks chunks;
        for (const auto &[code, payload] : r.markers)
            chunks.add(code, payload.data(), payload.size());
        Bytes out(300, 0);
        EXPECT_EQ(chunks.copy(out.data(), 299), r.total) << r.what; // too small: untouched
        EXPECT_EQ(out, Bytes(300, 0)) << r.what;
        EXPECT_EQ(chunks.copy(out.data(), out.size()), r.total) << r.what;
        EXPECT_EQ(out, r.total ? icc : Bytes(300, 0)) << r.what;
    }
}

TEST(BitmapDecodeTiff, LibtiffFilesDecodeExactlyInEveryLayoutOtherKindsAreRefused)
{
    const int w = 37, h = 23; // short last strips, partial tiles on the right and bottom
    const int none = COMPRESSION_NONE, white = PHOTOMETRIC_MINISWHITE;
    // Samples past the colour ones are dropped, MinIsWhite inverted, orientation kept. Rows:
    // samples, bits, separate, big-endian, compression, photometric, rows a strip, tile side.
    using Row = std::tuple<int, int, bool, bool, int, int, int, int>;
    const Row rows[] = {
        {3, 8, 0, 0, none, -1, 0, 0},    {3, 16, 0, 1, none, -1, 5, 0},
        {3, 16, 1, 0, none, -1, 5, 0},   {3, 16, 1, 1, COMPRESSION_LZW, -1, 0, 16},
        {3, 8, 0, 0, none, -1, 0, 16},   {3, 16, 0, 1, COMPRESSION_ADOBE_DEFLATE, -1, 7, 0},
        {4, 8, 0, 0, none, -1, 0, 0},    {3, 8, 0, 0, COMPRESSION_PACKBITS, -1, 7, 0},
        {4, 16, 1, 0, none, -1, 0, 0},   {2, 8, 0, 0, COMPRESSION_LZW, -1, 7, 0},
        {1, 16, 0, 0, none, -1, 0, 0},   {1, 8, 0, 0, none, white, 0, 0},
        {1, 16, 0, 1, none, white, 0, 0}};
    for (size_t row = 0; row < std::size(rows); ++row) {
        SCOPED_TRACE(row);
        LibTiffOptions o;
        int spp;
        std::tie(spp, o.bits, o.separate, o.bigEndian, o.compression, o.photometric, o.rowsPerStrip,
                 o.tileSize) = rows[row];
        const int b = o.bits / 8, keep = spp >= 3 ? 3 : 1;
        const Bytes px = noise(size_t(w * h * spp * b));
        Bytes expected;
        for (size_t i = 0; i < px.size(); i += size_t(spp * b))
            for (size_t k = 0; k < size_t(keep * b); ++k) // 65535 - v is 255 - v bytewise
                expected.push_back(o.photometric == white ? uint8_t(255 - px[i + k]) : px[i + k]);
        o.orientation = 6;
        o.icc = testsupport::make_icc_profile(3000, "Test RGB profile");
        BitmapPtr bmp = via_libtiff(px, w, h, spp, o);
        expect_bitmap(bmp, w, h, keep, o.bits, expected); // 16-bit samples in host order
        if (bmp) {
            EXPECT_EQ(as_bytes(bmp->iccProfile()), o.icc);
        }
    }
    LibTiffOptions cmyk, flt;
    cmyk.photometric = PHOTOMETRIC_SEPARATED;
    flt.bits = 32;
    EXPECT_EQ(via_libtiff(noise(64), 4, 4, 4, cmyk), nullptr);
    EXPECT_EQ(via_libtiff(noise(192), 4, 4, 3, flt), nullptr);
    EXPECT_EQ(decode(tiff_claiming(4, 4, Bytes(96, 1), 1024, 0, 12)), nullptr);
}

TEST(BitmapDecodeJpeg, RgbAndGreyWithTheirProfileAndProgressive)
{
    const int w = 64, h = 48;
    const testsupport::RadianceMap scene = testsupport::make_radiance_map(w, h);
    const Bytes icc = testsupport::make_icc_profile(5000, "Two chunks");
    auto chunks = testsupport::make_icc_app2_chunks(icc, 2600);
    for (int spp : {3, 1}) {
        const Bytes px = testsupport::render_photo(scene, 1.0f, 8, spp);
        BitmapPtr b =
            decode(testsupport::encode_jpeg(px.data(), w, h, spp, 95, {chunks[1], chunks[0]}));
        expect_bitmap(b, w, h, spp, 8, {});
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(as_bytes(b->iccProfile()), icc); // put back in sequence order
        // Lossy q95 4:4:4: measured at most 15 codes off (grey 8), 1.7% over 6, at hard edges.
        auto d = testsupport::compare_images(b->bitmapData(), px.data(), px.size(), 6);
        EXPECT_LT(d.maxDiff, spp == 3 ? 24 : 12);
        EXPECT_LT(d.shareOver, 0.04);
    }
    // Progressive coding is lossless over the same quantised coefficients: identical pixels.
    const Bytes px = testsupport::render_photo(scene, 1.0f, 8, 3);
    testsupport::JpegOptions prog;
    prog.progressive = true;
    BitmapPtr base = decode(testsupport::encode_jpeg(px.data(), w, h, 3, 90));
    ASSERT_NE(base, nullptr);
    expect_bitmap(decode(testsupport::encode_jpeg(px.data(), w, h, 3, 90, {}, prog)), w, h, 3, 8,
                  Bytes(base->bitmapData(), base->bitmapData() + px.size()));
    EXPECT_EQ(decode(testsupport::encode_jpeg(noise(1024).data(), 16, 16, 4, 90)), nullptr);
}

// Straight into a caller's rows: the bitmap's pixels exactly, for RGB, grey and progressive
// files; another geometry, a damaged file or a TIFF is refused.
TEST(DecodeJpegInto, TheBitmapsPixelsOrRefused)
{
    const int w = 61, h = 37;
    const Bytes px = testsupport::render_photo(testsupport::make_radiance_map(w, h), 1.0f, 8, 3);
    testsupport::JpegOptions prog;
    prog.progressive = true;
    for (const Bytes &file : {testsupport::encode_jpeg(px.data(), w, h, 3, 90),
                              testsupport::encode_jpeg(px.data(), w, h, 3, 90, {}, prog),
                              testsupport::encode_jpeg(px.data(), w * 3, h, 1, 90)}) {
        const BitmapPtr b = decode(file);
        ASSERT_NE(b, nullptr);
        const int spp = b->samplesPerPixel(), width = b->pixelsWide();
        const DataPtr data = Data::copy(file.data(), file.size());
        Bytes rows(size_t(width) * h * size_t(spp), 7);
        ASSERT_EQ(decode_jpeg_into(data, width, h, spp, rows.data()), DecodeOutcome::Ok);
        EXPECT_EQ(rows, Bytes(b->bitmapData(), b->bitmapData() + rows.size()));
        EXPECT_EQ(decode_jpeg_into(data, width, h + 1, spp, rows.data()), DecodeOutcome::OtherSize);
        EXPECT_EQ(decode_jpeg_into(data, width, h, 4 - spp, rows.data()),
                  DecodeOutcome::OtherLayout);
        const DataPtr cut = Data::copy(file.data(), file.size() * 3 / 4);
        EXPECT_EQ(decode_jpeg_into(cut, width, h, spp, rows.data()), DecodeOutcome::Damaged);
    }
    TempDir dir;
    ASSERT_TRUE(testsupport::write_libtiff(dir.file("i.tif"), px.data(), w, h, 3));
    Bytes rows(size_t(w) * h * 3);
    EXPECT_EQ(decode_jpeg_into(contents_at_path(dir.file("i.tif")), w, h, 3, rows.data()),
              DecodeOutcome::Damaged);
}

// Damaged files make libtiff and libjpeg complain; none of it may be printed.
TEST(BitmapDecode, DamagedAndHostileFilesAreRefusedSilentlyOrDecodeSafely)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(BitmapImageRep::imageRepWithContentsOfFile("/nonexistent/file.tif"), nullptr);
    const Bytes px = noise(20 * 10 * 3);
    testsupport::TiffBuilder t;
    t.add_image(t.add_ifd(), px.data(), 20, 10, 3, 8);
    testsupport::JpegOptions prog;
    prog.progressive = true;
    const Bytes files[] = {t.build(), testsupport::encode_jpeg(px.data(), 20, 10, 3, 90),
                           testsupport::encode_jpeg(px.data(), 20, 10, 3, 90, {}, prog)};
    for (const Bytes &file : files) {
        // The strip precedes the directory: a cut TIFF that still decodes decodes exactly. A cut
        // JPEG decodes only after a scan's data, up to the next scan's marker code (its end
        // marker lost, or the later scans of a progressive file).
        const bool tiff = &file == files;
        const auto scans = tiff ? std::vector<testsupport::JpegSegment>{} : jpeg_scans(file);
        for (size_t n = 0; n < file.size(); ++n) {
            BitmapPtr b = decode(Bytes(file.begin(), file.begin() + long(n)));
            const bool afterScan = std::any_of(scans.begin(), scans.end(), [&](auto &s) {
                return n >= s.end && (&s == &scans.back() || n <= (&s + 1)->begin + 1);
            });
            EXPECT_TRUE(!b || (tiff ? n > 8 + px.size() : afterScan)) << n;
            if (b && tiff)
                expect_bitmap(b, 20, 10, 3, 8, px);
        }
    }
    for (const Bytes &file : files) // includes sides of 0 and up to 0xFFxx in the frame header
        for (size_t i = 2; i < file.size(); ++i)
            for (uint8_t v : {uint8_t(0x00), uint8_t(0xFF), uint8_t(file[i] ^ 0x5A)}) {
                Bytes bad = file;
                bad[i] = v;
                if (BitmapPtr b = decode(bad)) {
                    EXPECT_LE(uint64_t(b->bytesPerRow()) * uint64_t(b->pixelsHigh()), 1u << 20);
                }
            }

    const Bytes strip(px.begin(), px.begin() + 48);
    expect_bitmap(decode(tiff_claiming(4, 4, strip)), 4, 4, 3, 8, strip);
    // A strip count past the end is cut to the file by libtiff: what is there decodes.
    expect_bitmap(decode(tiff_claiming(4, 4, strip, 1024, 1u << 30)), 4, 4, 3, 8, strip);
    t.set_next_to(0, 0);         // a self-looping chain: the first directory is read
    t.add_shorts(0, 65000, {1}); // an unknown tag, and tags out of order: warnings only
    expect_bitmap(decode(t.build()), 20, 10, 3, 8, px);
    const Bytes refused[] = {tiff_claiming(100000, 100000, strip), // past 2^31 pixels
                             tiff_claiming(20000, 20000, strip),   // 1.2 GB from 48 bytes
                             tiff_claiming(4, 4, strip, 1u << 30), // strip past the end
                             tiff_claiming(4, 4, Bytes(20, 1)),    // strip shorter than the image
                             tiff_claiming(0, 4, strip)};
    for (const Bytes &file : refused)
        EXPECT_EQ(decode(file), nullptr) << &file - refused;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// Tiny TIFFs whose headers claim gigabytes: samples a pixel past what the decoder takes, and a
// strip far shorter than the rows it claims. Refused before any buffer is sized from the header.
TEST(BitmapHostileTiff, TinyFilesThatClaimGigabytesAllocateNothingLarge)
{
    using testsupport::make_strip_tiff;
    TempDir dir;
    const struct {
        Bytes file;
        PixelDataCheck check;
    } cases[] = {
        {make_strip_tiff(64255, 1, 65533, 8), PixelDataCheck::NotDecodable}, // a 4 GB scanline
        {make_strip_tiff(30000, 1, 65535, 8), PixelDataCheck::NotDecodable},
        {make_strip_tiff(350000000, 1, 3, 8), PixelDataCheck::Truncated}, // a 1 GB row
        {make_strip_tiff(100, 1, 3, 8), PixelDataCheck::Truncated},       // 300 bytes in the file?
        // Compressed: the strip must be able to expand to the pixels, as far as its codec can.
        {make_strip_tiff(32769, 1, 1, 8, COMPRESSION_ADOBE_DEFLATE), PixelDataCheck::Truncated},
        {make_strip_tiff(40000, 40000, 3, 16, COMPRESSION_LZW), PixelDataCheck::Truncated},
        // Codecs that code a constant image in its header whatever its size.
        {make_strip_tiff(20000, 20000, 3, 8, COMPRESSION_WEBP), PixelDataCheck::NotDecodable},
        {make_strip_tiff(20000, 20000, 1, 8, COMPRESSION_LERC), PixelDataCheck::NotDecodable},
    };
    for (const auto &c : cases) {
        const size_t at = size_t(&c - cases);
        EXPECT_LT(c.file.size(), 160u) << at;
        testsupport::alloc::largest = 0;
        EXPECT_EQ(decode(c.file), nullptr) << at;
        EXPECT_LT(testsupport::alloc::largest, size_t(64) << 10) << at;
        const std::string path = dir.file(std::to_string(at) + ".tif");
        ASSERT_TRUE(testsupport::write_file(path, c.file));
        PixelLayout layout;
        EXPECT_EQ(check_pixel_data(path, &layout), c.check) << at;
        if (c.check == PixelDataCheck::Truncated) {
            EXPECT_GT(layout.width, 1) << at;
            EXPECT_EQ(layout.bits, 8) << at;
        }
    }
    // The same layouts with their bytes: RGB and RGBA (alpha dropped) decode, and a compressed
    // strip that could expand to its pixels is not refused before it is decoded.
    const struct {
        Bytes file;
        int spp;
    } fine[] = {{make_strip_tiff(2, 1, 3, 6), 3},
                {make_strip_tiff(2, 1, 3, 8), 3},
                {make_strip_tiff(2, 1, 4, 8), 3},
                {make_strip_tiff(8, 1, 1, 8), 1}};
    for (const auto &c : fine) {
        const BitmapPtr b = decode(c.file);
        ASSERT_NE(b, nullptr) << &c - fine;
        EXPECT_EQ(b->samplesPerPixel(), c.spp);
        EXPECT_EQ(b->bitmapData()[0], 7);
    }
    // An 8-byte strip holds up to 8 times its codec's bound: exactly that passes.
    const std::pair<uint16_t, int> bounds[] = {
        {COMPRESSION_PACKBITS, 64},   {COMPRESSION_DEFLATE, 1032},
        {COMPRESSION_PIXARLOG, 1032}, {COMPRESSION_ADOBE_DEFLATE, 1032},
        {COMPRESSION_LZW, 4096},      {COMPRESSION_LZMA, 8192},
        {COMPRESSION_ZSTD, 32768}};
    for (const auto &[codec, bound] : bounds)
        for (int w : {8 * bound, 8 * bound + 1}) {
            const std::string path = dir.file("codec.tif");
            ASSERT_TRUE(testsupport::write_file(path, make_strip_tiff(w, 1, 1, 8, codec)));
            PixelLayout layout;
            EXPECT_EQ(check_pixel_data(path, &layout),
                      w % 8 ? PixelDataCheck::Truncated : PixelDataCheck::Ok)
                << codec << " " << w;
            EXPECT_EQ(std::vector<int>({layout.width, layout.height, layout.spp, layout.bits}),
                      std::vector<int>({w, 1, 1, 8}));
        }
}

// A Huffman-coded sequential or DC scan spends a bit at least on each 8 x 8 block it codes (in
// whole MCUs when interleaved): a file that ends sooner is truncated, judged from its headers and
// length by the check and the decoder; exactly enough bytes pass. So is a frame with a component
// no scan codes (progressive: no DC scan, a refinement not coding it); AC bands may stay uncoded.
TEST(CheckPixelData, JpegScansTooShortForTheirBlocksAreTruncated)
{
    TempDir dir;
    const Bytes px = noise(64 * 48 * 3);
    testsupport::JpegOptions progressive, subsampled;
    progressive.progressive = true;
    subsampled.subsample = true;
    // The frame header changed to claim w x h.
    auto claiming = [&](uint16_t w, uint16_t h) {
        Bytes j = testsupport::encode_jpeg(px.data(), 16, 8, 3, 90);
        const size_t sof = size_t(std::search(j.begin(), j.end(), kSof, kSof + 2) - j.begin());
        j[sof + 5] = uint8_t(h >> 8), j[sof + 6] = uint8_t(h);
        j[sof + 7] = uint8_t(w >> 8), j[sof + 8] = uint8_t(w);
        return j;
    };
    // The file cut `bytes` after its first scan header.
    auto scan_cut = [](Bytes j, size_t bytes) {
        const size_t sos = size_t(std::search(j.begin(), j.end(), kSos, kSos + 2) - j.begin());
        j.resize(sos + 2 + size_t(j[sos + 2] << 8 | j[sos + 3]) + bytes);
        return j;
    };
    const Bytes baseline = testsupport::encode_jpeg(px.data(), 64, 48, 3, 90);
    const Bytes grey = testsupport::encode_jpeg(px.data(), 64, 48, 1, 90);
    const Bytes sub = testsupport::encode_jpeg(px.data(), 64, 48, 3, 90, {}, subsampled);
    // Its frame made 4:2:2 at 72 x 40: MCUs of 16 x 8 pixels, not square.
    Bytes sub422 = sub;
    const size_t sof =
        size_t(std::search(sub422.begin(), sub422.end(), kSof, kSof + 2) - sub422.begin());
    sub422[sof + 5] = 0, sub422[sof + 6] = 40, sub422[sof + 7] = 0, sub422[sof + 8] = 72;
    sub422[sof + 11] = 0x21;
    // A scan for each component; the DC of all at bit 1, luma AC 1 to 5, the DC refined.
    const Bytes sequential = recode_jpeg(
        baseline, 0, 0, 0, {{1, {0}, 0, 63, 0, 0}, {1, {1}, 0, 63, 0, 0}, {1, {2}, 0, 63, 0, 0}});
    const Bytes someBands =
        recode_jpeg(baseline, 0, 0, 0,
                    {{3, {0, 1, 2}, 0, 0, 0, 1}, {1, {0}, 1, 5, 0, 0}, {3, {0, 1, 2}, 0, 0, 1, 0}});
    const struct {
        Bytes file;
        PixelDataCheck check;
    } cases[] = {
        {baseline, PixelDataCheck::Ok},
        {testsupport::encode_jpeg(px.data(), 64, 48, 3, 90, {}, progressive), PixelDataCheck::Ok},
        {sub, PixelDataCheck::Ok},
        {grey, PixelDataCheck::Ok},
        {scan_cut(baseline, 5), PixelDataCheck::Truncated},
        // 4 x 3 MCUs of four luma and two chroma blocks: 72 bits.
        {scan_cut(sub, 9), PixelDataCheck::Ok},
        {scan_cut(sub, 8), PixelDataCheck::Truncated},
        // 5 x 5 MCUs of two luma and two chroma blocks: 100 bits.
        {scan_cut(sub422, 13), PixelDataCheck::Ok},
        {scan_cut(sub422, 12), PixelDataCheck::Truncated},
        {scan_cut(grey, 5), PixelDataCheck::Truncated},
        {sequential, PixelDataCheck::Ok},
        {testsupport::jpeg_without_scan(sequential, 2), PixelDataCheck::Truncated},
        {someBands, PixelDataCheck::Ok},
        {testsupport::jpeg_without_scan(someBands, 0), PixelDataCheck::Truncated},
        {claiming(46000, 46000), PixelDataCheck::Truncated}, // 4 MB of bits in 600 bytes
        {claiming(65500, 65500), PixelDataCheck::TooLarge},
        {Bytes(baseline.begin(), baseline.begin() + 200), PixelDataCheck::Truncated},
        {Bytes{0xFF, 0xD8, 0xFF, 0xD9}, PixelDataCheck::NotDecodable},
        {Bytes{'P', '6', '\n', '1'}, PixelDataCheck::NotDecodable},
    };
    for (const auto &c : cases) {
        const std::string path = dir.file(std::to_string(&c - cases) + ".jpg");
        ASSERT_TRUE(testsupport::write_file(path, c.file));
        PixelLayout layout;
        EXPECT_EQ(check_pixel_data(path, &layout), c.check) << &c - cases;
        if (c.check != PixelDataCheck::Ok) {
            EXPECT_EQ(decode(c.file), nullptr) << &c - cases;
        }
    }
    const Bytes expected = testsupport::libjpeg_pixels(someBands);
    ASSERT_EQ(expected.size(), px.size());
    expect_bitmap(decode(someBands), 64, 48, 3, 8, expected);
    PixelLayout layout;
    const std::string path = dir.file("grey.jpg");
    ASSERT_TRUE(testsupport::write_file(path, grey));
    ASSERT_EQ(check_pixel_data(path, &layout), PixelDataCheck::Ok);
    EXPECT_EQ(std::vector<int>({layout.width, layout.height, layout.spp, layout.bits}),
              std::vector<int>({64, 48, 1, 8}));
    // What is not a regular file is not read at all: a named pipe would block.
    const std::string pipe = dir.file("pipe.jpg");
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    EXPECT_EQ(check_pixel_data(pipe, &layout), PixelDataCheck::NotDecodable);
    EXPECT_EQ(check_pixel_data(dir.path(), &layout), PixelDataCheck::NotDecodable);
}

// Arithmetic coding spends far less than a bit on a flat block: the entropy-coded data of all
// scans must hold a byte for each 4096 blocks of all components, exactly enough passing; bytes
// outside it (a comment, bytes after the end of image) count for nothing. A Huffman-coded
// progressive file opening with an AC scan is held by its DC scans' bits. A file of more scans
// than the cap is refused, and one of other than 8-bit samples by the check, with its layout.
// The decoder refuses them too, before it sizes anything from the header.
TEST(CheckPixelData, CodedByteFloorScanCapAndPrecision)
{
    TempDir dir;
    const Bytes grey = testsupport::encode_jpeg(noise(256).data(), 16, 16, 1, 90);
    const Bytes arith = recode_jpeg(grey, true, false);
    const Bytes arithProgressive = recode_jpeg(grey, true, true);
    const Bytes acFirst = testsupport::jpeg_with_first_scan_last(recode_jpeg(grey, 0, 1));
    // 8 d x (32768 + more) grey pixels: 4096 blocks for each of the d entropy-coded bytes (from
    // each scan header to the marker after), and d blocks more for each row of blocks more.
    auto at_floor = [](const Bytes &j, size_t more) {
        size_t d = 0;
        for (const testsupport::JpegSegment &s : jpeg_scans(j))
            d += s.end - s.begin - 2 - size_t(j[s.begin + 2] << 8 | j[s.begin + 3]);
        return testsupport::jpeg_claiming_size(j, uint16_t(8 * d), uint16_t(32768 + 8 * more));
    };
    // 20000 x 20000 (1526 bytes at the floor), padded in a comment or after the end of image.
    auto bomb = [](const Bytes &file, size_t pad, bool inComment) {
        const Bytes j = testsupport::jpeg_claiming_size(file, 20000, 20000);
        return inComment ? spliced(j, j.size() - 2, 0, testsupport::make_segment(0xFE, Bytes(pad)))
                         : spliced(j, j.size(), 0, Bytes(pad));
    };
    // Progressive files whose last scan is repeated: noise, whose scans hold stuffed zero bytes.
    testsupport::JpegOptions prog;
    prog.progressive = true;
    const Bytes noisy = testsupport::encode_jpeg(noise(4096).data(), 64, 64, 1, 90, {}, prog);
    auto scans = [](const Bytes &j, int n) { return testsupport::jpeg_of_scans(j, size_t(n)); };
    Bytes twelveBit = grey;
    twelveBit[size_t(std::search(grey.begin(), grey.end(), kSof, kSof + 2) - grey.begin()) + 4] =
        12;
    const struct {
        Bytes file;
        PixelDataCheck check;
    } cases[] = {
        {arith, PixelDataCheck::Ok},
        {arithProgressive, PixelDataCheck::Ok},
        {at_floor(arith, 0), PixelDataCheck::Ok},
        {at_floor(arith, 1), PixelDataCheck::Truncated},
        {at_floor(arithProgressive, 0), PixelDataCheck::Ok},
        {at_floor(arithProgressive, 1), PixelDataCheck::Truncated},
        {bomb(arith, 0, false), PixelDataCheck::Truncated},
        {bomb(arith, 1600, true), PixelDataCheck::Truncated},
        {bomb(arith, 1600, false), PixelDataCheck::Truncated},
        {acFirst, PixelDataCheck::Ok},
        {bomb(acFirst, 60000, true), PixelDataCheck::Truncated},
        {bomb(acFirst, 60000, false), PixelDataCheck::Truncated},
        {scans(noisy, kMaxJpegScans), PixelDataCheck::Ok},
        {scans(noisy, kMaxJpegScans + 1), PixelDataCheck::TooManyScans},
        {twelveBit, PixelDataCheck::NotDecodable},
    };
    testsupport::alloc::largest = 0;
    for (const auto &c : cases) {
        const std::string path = dir.file(std::to_string(&c - cases) + ".jpg");
        ASSERT_TRUE(testsupport::write_file(path, c.file));
        PixelLayout layout;
        EXPECT_EQ(check_pixel_data(path, &layout), c.check) << &c - cases;
        EXPECT_EQ(layout.bits, c.check == PixelDataCheck::NotDecodable ? 12 : 8) << &c - cases;
        if (c.check != PixelDataCheck::Ok) {
            EXPECT_EQ(decode(c.file), nullptr) << &c - cases;
        }
    }
    EXPECT_LT(testsupport::alloc::largest, size_t(1) << 20);
    // A valid script at the cap decodes: the DC, each AC coefficient at bit 1, then refined.
    std::vector<jpeg_scan_info> script = {{1, {0}, 0, 0, 0, 0}};
    for (int k = 0; k < kMaxJpegScans - 1; ++k)
        script.push_back({1, {0}, k % 63 + 1, k % 63 + 1, k >= 63, k < 63});
    const Bytes many = recode_jpeg(grey, false, false, 0, script);
    expect_bitmap(decode(many), 16, 16, 1, 8, testsupport::libjpeg_pixels(many));
}

// The check and the decoders find markers as libjpeg's reader does: bytes between segments are
// skipped, FF 00 among them (a reader that took it for a marker with a length would skip the
// 40000 x 40000 frame behind it and weigh the 64 x 64 one), and what the reader refuses stops
// both: reserved markers, frame types it does not decode, a second SOI or frame, tables it
// cannot read, an empty height, a second scan after a whole sequential one, scans naming
// components out of the frame's order or bands no progression has. Whatever the check takes,
// libjpeg decodes, to the pixels the decoder gives.
TEST(CheckPixelData, MarkersAreFoundAndRefusedAsLibjpegReadsThem)
{
    TempDir dir;
    const Bytes px = testsupport::render_photo(testsupport::make_radiance_map(32, 24), 1, 8, 3);
    const Bytes grey = testsupport::encode_jpeg(px.data(), 96, 8, 1, 90);
    const Bytes rgb = testsupport::encode_jpeg(px.data(), 32, 24, 3, 90);
    const Bytes hidden = testsupport::jpeg_hiding(
        grey, testsupport::jpeg_claiming_size(recode_jpeg(rgb, true, false), 40000, 40000));
    auto at = [](const Bytes &j, const uint8_t *marker) {
        return size_t(std::search(j.begin(), j.end(), marker, marker + 2) - j.begin());
    };
    auto segment = [](int marker, const Bytes &payload) {
        return testsupport::make_segment(uint8_t(marker), payload);
    };
    auto first = [](const Bytes &j, const Bytes &insert) { return spliced(j, 2, 0, insert); };
    // A byte of the file changed: at a marker's offset from the frame header or the first scan.
    auto patched = [&](Bytes j, const uint8_t *marker, size_t offset, uint8_t value) {
        j[at(j, marker) + offset] = value;
        return j;
    };
    const testsupport::JpegSegment scan = jpeg_scans(rgb)[0];
    Bytes outOfOrder = rgb; // the scan names the third component before the second
    std::swap_ranges(outOfOrder.begin() + long(scan.begin) + 7,
                     outOfOrder.begin() + long(scan.begin) + 9,
                     outOfOrder.begin() + long(scan.begin) + 9);
    // Two components of the same id, named twice in the scan: libjpeg takes them in order.
    const Bytes sameIds = patched(patched(rgb, kSof, 13, 1), kSos, 7, 1);
    const Bytes progressive = recode_jpeg(grey, false, true);
    Bytes wideBand = progressive; // its first AC scan's band ends past the 64th coefficient
    const testsupport::JpegSegment ac = jpeg_scans(progressive)[1];
    wideBand[ac.begin + 2 + size_t(wideBand[ac.begin + 2] << 8 | wideBand[ac.begin + 3]) - 2] = 64;
    const struct {
        const char *what;
        Bytes file;
        PixelDataCheck check;
    } cases[] = {
        {"FF 00 and garbage", first(grey, {0xFF, 0x00, 0x12, 0xFF, 0x00, 0x34}),
         PixelDataCheck::Ok},
        {"hidden frame", hidden, PixelDataCheck::Truncated},
        {"TEM and RST", first(grey, {0xFF, 0x01, 0xFF, 0xD3}), PixelDataCheck::Ok},
        {"reserved", first(grey, segment(0x02, Bytes(2))), PixelDataCheck::NotDecodable},
        {"JPG13", first(grey, segment(0xF3, Bytes(2))), PixelDataCheck::NotDecodable},
        {"DHP", first(grey, segment(0xDE, Bytes(2))), PixelDataCheck::NotDecodable},
        {"second SOI", first(grey, {0xFF, 0xD8}), PixelDataCheck::NotDecodable},
        {"extended", patched(grey, kSof, 1, 0xC1), PixelDataCheck::Ok},
        {"lossless", patched(grey, kSof, 1, 0xC3), PixelDataCheck::NotDecodable},
        {"hierarchical", patched(grey, kSof, 1, 0xC5), PixelDataCheck::NotDecodable},
        {"arithmetic lossless", patched(grey, kSof, 1, 0xCB), PixelDataCheck::NotDecodable},
        {"height 0", patched(patched(grey, kSof, 5, 0), kSof, 6, 0), PixelDataCheck::NotDecodable},
        {"second frame",
         spliced(
             grey, at(grey, kSos), 0,
             Bytes(grey.begin() + long(at(grey, kSof)), grey.begin() + long(at(grey, kSof)) + 13)),
         PixelDataCheck::NotDecodable},
        {"restart interval", first(grey, segment(0xDD, {0, 0})), PixelDataCheck::Ok},
        {"restart interval long", first(grey, segment(0xDD, {0, 0, 0})),
         PixelDataCheck::NotDecodable},
        {"DQT index", first(grey, segment(0xDB, Bytes(65, 4))), PixelDataCheck::NotDecodable},
        {"DQT byte over", first(grey, segment(0xDB, Bytes(66, 1))), PixelDataCheck::NotDecodable},
        {"DHT index", first(grey, segment(0xC4, spliced(Bytes(17), 0, 1, {4}))),
         PixelDataCheck::NotDecodable},
        {"DHT count", first(grey, segment(0xC4, spliced(Bytes(18), 1, 1, {2}))),
         PixelDataCheck::NotDecodable},
        {"DAC odd", first(grey, segment(0xCC, Bytes(3))), PixelDataCheck::NotDecodable},
        {"DAC bounds", first(grey, segment(0xCC, {1, 0x21})), PixelDataCheck::Ok},
        {"DAC bounds crossed", first(grey, segment(0xCC, {1, 0x12})), PixelDataCheck::NotDecodable},
        {"second scan",
         spliced(rgb, rgb.size() - 2, 0,
                 Bytes(rgb.begin() + long(scan.begin), rgb.begin() + long(scan.end))),
         PixelDataCheck::NotDecodable},
        {"scan out of order", outOfOrder, PixelDataCheck::NotDecodable},
        {"same ids", sameIds, PixelDataCheck::Ok},
        {"band past 63", wideBand, PixelDataCheck::NotDecodable},
    };
    testing::internal::CaptureStderr();
    testsupport::alloc::largest = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(check_bytes(dir, c.file), c.check);
        const BitmapPtr b = decode(c.file);
        EXPECT_EQ(b != nullptr, c.check == PixelDataCheck::Ok);
        if (c.check == PixelDataCheck::Truncated)
            continue; // libjpeg would size the hidden frame
        const Bytes pixels = testsupport::libjpeg_pixels(c.file, true);
        EXPECT_EQ(pixels.empty(), c.check != PixelDataCheck::Ok);
        if (b) {
            EXPECT_TRUE(Bytes(b->bitmapData(), b->bitmapData() + pixels.size()) == pixels);
        }
    }
    EXPECT_LT(testsupport::alloc::largest, size_t(1) << 20);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    // The hidden frame is what the check weighs, and what the decoder tells from its headers.
    PixelLayout layout;
    ASSERT_TRUE(testsupport::write_file(dir.file("h.jpg"), hidden));
    check_pixel_data(dir.file("h.jpg"), &layout);
    EXPECT_EQ(std::vector<int>({layout.width, layout.height, layout.spp, layout.bits}),
              std::vector<int>({40000, 40000, 3, 8}));
    Bytes rows(96 * 8);
    EXPECT_EQ(decode_jpeg_into(Data::copy(hidden.data(), hidden.size()), 96, 8, 1, rows.data()),
              DecodeOutcome::OtherSize);
}

// libjpeg is held to the frame and scans its stream's walk found: a stream read otherwise (here
// a walk of other bytes, as no file makes the two differ) is refused as the reading starts,
// before anything is sized from it. Another frame (20000 x 20000 where the walk saw 16 x 16,
// progressive where it saw baseline, arithmetic where it saw Huffman), another first scan, a
// scan whose data starts elsewhere; and data that ends before the scans libjpeg counts code
// every coefficient.
TEST(DecodeJpegInto, AFrameOrScanReadOtherwiseThanWalkedIsRefusedBeforeAnythingIsSized)
{
    const Bytes px = noise(16 * 16 * 3);
    const Bytes grey = testsupport::encode_jpeg(px.data(), 16, 16, 1, 90);
    const Bytes rgb = testsupport::encode_jpeg(px.data(), 16, 16, 3, 90);
    const Bytes perComponent = recode_jpeg(
        rgb, 0, 0, 0, {{1, {0}, 0, 63, 0, 0}, {1, {1}, 0, 63, 0, 0}, {1, {2}, 0, 63, 0, 0}});
    const Bytes progressive = recode_jpeg(grey, false, true);
    const Bytes comment =
        spliced(grey, size_t(std::search(grey.begin(), grey.end(), kSos, kSos + 2) - grey.begin()),
                0, testsupport::make_segment(0xFE, Bytes(5)));
    const struct {
        Bytes walked, decoded;
        int spp;
        DecodeOutcome outcome;
    } cases[] = {
        {grey, grey, 1, DecodeOutcome::Ok},
        {grey, testsupport::jpeg_claiming_size(grey, 20000, 20000), 1, DecodeOutcome::Damaged},
        {grey, progressive, 1, DecodeOutcome::Damaged},
        {grey, recode_jpeg(grey, true, false), 1, DecodeOutcome::Damaged},
        {rgb, perComponent, 3, DecodeOutcome::Damaged},
        {comment, grey, 1, DecodeOutcome::Damaged},
        {grey, comment, 1, DecodeOutcome::Damaged},
        // libjpeg's own count of what is coded: its data ends before the last scans.
        {progressive,
         Bytes(progressive.begin(), progressive.begin() + long(jpeg_scans(progressive)[3].end)), 1,
         DecodeOutcome::Damaged},
    };
    testsupport::alloc::largest = 0;
    for (const auto &c : cases) {
        set_jpeg_walk_for_testing(Data::copy(c.walked.data(), c.walked.size()));
        const DataPtr data = Data::copy(c.decoded.data(), c.decoded.size());
        Bytes rows(16 * 16 * size_t(c.spp));
        EXPECT_EQ(decode_jpeg_into(data, 16, 16, c.spp, rows.data()), c.outcome) << &c - cases;
        EXPECT_EQ(decode(c.decoded) != nullptr, c.outcome == DecodeOutcome::Ok) << &c - cases;
    }
    set_jpeg_walk_for_testing(nullptr);
    EXPECT_LT(testsupport::alloc::largest, size_t(1) << 20);
}

// libjpeg resynchronises after damaged data and only warns: damage found while a scan still has
// rows to decode fails the decode; bytes before the end of image (or the next scan), or a
// missing end, after a scan's last row leave the picture whole, arithmetic-coded too (its
// decoder reads some bytes of zeros past a whole scan's end). Data that ends between scans of a
// progressive file before every coefficient is coded is cut (with its end marker, the format
// allows it), and so is arithmetic-coded data cut short and closed by an end marker, which its
// decoder takes as zeros without a word. A scan that repeats a refinement breaks the
// progression; a sequential scan's band and bits written as zeros are not read.
TEST(BitmapDecodeJpeg, DamageWhileRowsRemainFailsAfterTheLastRowPasses)
{
    const int w = 320, h = 240;
    const Bytes px = testsupport::render_photo(testsupport::make_radiance_map(w, h), 1, 8, 3);
    const Bytes plain = testsupport::encode_jpeg(px.data(), w, h, 3, 90);
    // A restart marker after each row of MCUs.
    const Bytes restart = recode_jpeg(plain, false, false, 1);
    const Bytes arith = recode_jpeg(plain, true, false, 1);
    const Bytes progressive = recode_jpeg(plain, false, true);
    const Bytes arithOnly = recode_jpeg(plain, true, false), arithProg = recode_jpeg(plain, 1, 1);
    // Flat: its refinement repeated holds no data to warn of.
    const Bytes flat =
        recode_jpeg(testsupport::encode_jpeg(Bytes(64, 128).data(), 8, 8, 1, 90), 0, 1);
    const testsupport::JpegSegment scan = jpeg_scans(restart)[0];
    const size_t n = restart.size(), scan3 = jpeg_scans(progressive)[3].begin;
    auto no_end = [](const Bytes &j) { return Bytes(j.begin(), j.end() - 2); };
    // The file up to the end of its scan k's data, closed by an end marker when asked.
    auto after_scan = [](const Bytes &j, size_t k, bool closed) {
        Bytes cut(j.begin(), j.begin() + long(jpeg_scans(j)[k].end));
        if (closed)
            cut.insert(cut.end(), {0xFF, 0xD9});
        return cut;
    };
    // Its last scan's data cut `lost` bytes before its end (0: at half), closed by an end
    // marker.
    auto cut_closed = [](const Bytes &j, size_t lost) {
        const testsupport::JpegSegment last = jpeg_scans(j).back();
        const size_t at = lost ? last.end - lost : (last.begin + last.end) / 2;
        return spliced(j, at, j.size() - at, Bytes{0xFF, 0xD9});
    };
    // The scan's band and bits (the last three bytes of its header) written as zeros.
    auto zero_band = [](Bytes j) {
        const testsupport::JpegSegment s = jpeg_scans(j)[0];
        const size_t header = s.begin + 2 + size_t(j[s.begin + 2] << 8 | j[s.begin + 3]);
        j[header - 3] = j[header - 2] = j[header - 1] = 0;
        return j;
    };
    const Bytes cutEnded = after_scan(progressive, 1, true);
    // Flat below its first tenth: a whole arithmetic-coded scan ends in zeros its encoder left
    // out (13 bytes of them read sequential; 405 in the DC refinement, a bit a block).
    Bytes flatBelow = px;
    std::fill(flatBelow.begin() + w * 3 * 24, flatBelow.end(), 128);
    const Bytes flatJpeg = testsupport::encode_jpeg(flatBelow.data(), w, h, 3, 90);
    const Bytes flatArith = recode_jpeg(flatJpeg, true, false),
                flatProg = recode_jpeg(flatJpeg, 1, 1);
    const struct {
        Bytes file;
        bool decodes;
        const Bytes *pixels = nullptr; // what it decodes to, when not the whole file's
    } cases[] = {
        {spliced(restart, (scan.begin + scan.end) / 2, 64, noise(64)), false}, // resynchronised
        {spliced(restart, n - 2, 0, noise(40)), true},
        {no_end(restart), true},
        {spliced(restart, n / 2, n / 2 - 2), false}, // cut, its end marker kept
        {arith, true},
        {no_end(arith), true},
        {no_end(arithOnly), true},
        {no_end(arithProg), true},
        {no_end(progressive), true},
        {spliced(progressive, scan3, 0, noise(40)), true},
        {testsupport::jpeg_of_scans(flat, jpeg_scans(flat).size() + 1), false},
        {after_scan(progressive, 1, false), false},
        {after_scan(progressive, 4, false), false},
        {after_scan(progressive, 8, false), false},
        {after_scan(arithProg, 4, false), false},
        {cutEnded, true, &cutEnded},
        {flatArith, true, &flatArith},
        {flatProg, true, &flatProg},
        {cut_closed(arithOnly, 0), false},
        {cut_closed(arithOnly, 200), false},
        {cut_closed(arith, 200), false},
        {cut_closed(arithProg, 0), false},
        {zero_band(plain), true},
        {zero_band(arithOnly), true},
    };
    const Bytes expected = testsupport::libjpeg_pixels(plain);
    testing::internal::CaptureStderr();
    for (const auto &c : cases) {
        const BitmapPtr b = decode(c.file);
        EXPECT_EQ(b != nullptr, c.decodes) << &c - cases;
        if (b)
            expect_bitmap(b, w, h, 3, 8,
                          c.pixels ? testsupport::libjpeg_pixels(*c.pixels) : expected);
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// The test photos coded again, arithmetic-coded, progressive and with restart markers, decode
// through both decoders to the pixels libjpeg gives and pass the header check; cut short, they
// are refused. One photo of each camera.
TEST(BitmapDecodeJpeg, TestPhotosCodedAgainDecodeAsLibjpegDoes)
{
    if (!std::filesystem::is_directory(HDR_TESTDATA_DIR))
        GTEST_SKIP() << "test photos not found at " << HDR_TESTDATA_DIR;
    std::map<std::string, std::string> firstOfFolder;
    int photos = 0;
    for (const auto &e : std::filesystem::recursive_directory_iterator(HDR_TESTDATA_DIR)) {
        const std::string ext = e.path().extension().string(), path = e.path().string();
        std::string &first = firstOfFolder[e.path().parent_path().string()];
        if ((ext == ".jpg" || ext == ".JPG" || ext == ".jpeg") && (first.empty() || path < first))
            first = path;
    }
    TempDir dir;
    for (const auto &[folder, path] : firstOfFolder) {
        if (path.empty())
            continue;
        ++photos;
        const Bytes photo = testsupport::read_file(path);
        const Bytes expected = testsupport::libjpeg_pixels(photo);
        ASSERT_FALSE(expected.empty()) << path;
        for (const auto &[arithmetic, progressive, restart] :
             {std::tuple{1, 0, 0}, {0, 1, 0}, {1, 1, 0}, {0, 0, 1}, {1, 0, 2}, {0, 1, 1}}) {
            SCOPED_TRACE(path + " " + std::to_string(arithmetic) + std::to_string(progressive) +
                         std::to_string(restart));
            const Bytes file = testsupport::recode_jpeg(photo, arithmetic, progressive, restart);
            ASSERT_TRUE(testsupport::write_file(dir.file("p.jpg"), file));
            PixelLayout layout;
            EXPECT_EQ(check_pixel_data(dir.file("p.jpg"), &layout), PixelDataCheck::Ok);
            const BitmapPtr b = decode(file);
            ASSERT_NE(b, nullptr);
            EXPECT_TRUE(Bytes(b->bitmapData(), b->bitmapData() + expected.size()) == expected);
            Bytes rows(expected.size());
            EXPECT_EQ(decode_jpeg_into(Data::copy(file.data(), file.size()), layout.width,
                                       layout.height, layout.spp, rows.data()),
                      DecodeOutcome::Ok);
            EXPECT_TRUE(rows == expected);
            EXPECT_EQ(decode(Bytes(file.begin(), file.end() - long(file.size() / 3))), nullptr);
        }
    }
    EXPECT_GE(photos, 3);
}

// Strips that share bytes hold them once: four one-row strips of 12 bytes in a 48-byte blob
// hold the rows only when they cover all of it. A JPEG-compressed strip that ends before its
// rows fails the decode instead of giving grey rows, among whole strips too.
TEST(BitmapHostileTiff, SharedStripBytesCountOnceAndCutJpegStripsFail)
{
    TempDir dir;
    const Bytes px = noise(48);
    const struct {
        std::vector<uint32_t> at;
        PixelDataCheck check;
    } cases[] = {{{36, 0, 24, 12}, PixelDataCheck::Ok},
                 {{0, 12, 24, 35}, PixelDataCheck::Truncated},
                 {{0, 6, 12, 18}, PixelDataCheck::Truncated},
                 {{0, 0, 0, 0}, PixelDataCheck::Truncated}};
    for (const auto &c : cases) {
        testsupport::TiffBuilder t;
        const uint32_t base = t.add_blob(px);
        std::vector<uint32_t> at = c.at;
        for (uint32_t &a : at)
            a += base;
        const size_t ifd = t.add_ifd();
        t.add_longs(ifd, 256, {4});
        t.add_longs(ifd, 257, {4});
        t.add_shorts(ifd, 258, {8, 8, 8});
        t.add_shorts(ifd, 262, {2});
        t.add_longs(ifd, 273, at);
        t.add_shorts(ifd, 277, {3});
        t.add_longs(ifd, 278, {1});
        t.add_longs(ifd, 279, {12, 12, 12, 12});
        const std::string path = dir.file(std::to_string(&c - cases) + ".tif");
        ASSERT_TRUE(testsupport::write_file(path, t.build()));
        PixelLayout layout;
        EXPECT_EQ(check_pixel_data(path, &layout), c.check) << &c - cases;
        EXPECT_EQ(decode(t.build()) != nullptr, c.check == PixelDataCheck::Ok) << &c - cases;
    }
    const Bytes rgb = testsupport::render_photo(testsupport::make_radiance_map(64, 48), 1, 8, 3);
    auto cut = [](Bytes s) { return Bytes(s.begin(), s.begin() + long(s.size() / 2)); };
    expect_bitmap(decode(testsupport::jpeg_tiff(rgb.data(), 64, 48)), 64, 48, 3, 8, {});
    testing::internal::CaptureStderr();
    EXPECT_EQ(decode(testsupport::jpeg_tiff(rgb.data(), 64, 48, cut)), nullptr);
    // The second strip alone cut: the strip that warns is the one decoded again.
    for (bool ycbcr : {false, true}) {
        int strip = 0;
        auto second = [&](Bytes s) { return strip++ == 1 ? cut(s) : s; };
        EXPECT_EQ(decode(testsupport::jpeg_tiff(rgb.data(), 64, 48, second, ycbcr)), nullptr);
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// The JPEG streams of a TIFF's strips are held to the rules of standalone files. Each frame is
// its strip (another width or row count is refused by the check); only the entropy-coded bytes
// count (a strip cut short is truncated whatever follows its end of image), each byte once: d
// strips laid over one stream of d bytes of data (8 blocks, a byte at the least) pass, d + 1 do
// not. Arithmetic coding ends silently, so each arithmetic-coded strip is decoded again: one cut
// at half its data and closed by its end marker is refused, one missing only its end marker is
// whole.
TEST(BitmapHostileTiff, JpegStripsAreHeldToTheRulesOfStandaloneFiles)
{
    TempDir dir;
    const Bytes rgb = testsupport::render_photo(testsupport::make_radiance_map(64, 48), 1, 8, 3);
    auto claiming = [](uint16_t w, uint16_t h) {
        return [=](const Bytes &s) { return testsupport::jpeg_claiming_size(s, w, h); };
    };
    // A byte of entropy-coded data, the end marker, then padding.
    auto padded_cut = [](Bytes s) {
        const size_t at = jpeg_scans(s)[0].begin;
        s.resize(at + 2 + size_t(s[at + 2] << 8 | s[at + 3]) + 1);
        s.insert(s.end(), {0xFF, 0xD9});
        s.resize(s.size() + 3000);
        return s;
    };
    // A grey TIFF, 64 wide, of n strips of `rows` rows, strip k holding streams[k % size].
    auto strips_tiff = [](const std::vector<Bytes> &streams, uint32_t n, uint32_t rows) {
        testsupport::TiffBuilder t;
        std::vector<uint32_t> at, counts;
        for (const Bytes &stream : streams)
            at.push_back(t.add_blob(stream));
        const size_t ifd = t.add_ifd();
        t.add_longs(ifd, 256, {64});
        t.add_longs(ifd, 257, {n * rows});
        t.add_shorts(ifd, 258, {8});
        t.add_shorts(ifd, 259, {COMPRESSION_JPEG});
        t.add_shorts(ifd, 262, {PHOTOMETRIC_MINISBLACK});
        std::vector<uint32_t> offsets;
        for (uint32_t k = 0; k < n; ++k) {
            offsets.push_back(at[k % at.size()]);
            counts.push_back(uint32_t(streams[k % streams.size()].size()));
        }
        t.add_longs(ifd, 273, offsets);
        t.add_shorts(ifd, 277, {1});
        t.add_longs(ifd, 278, {rows});
        t.add_longs(ifd, 279, counts);
        return t.build();
    };
    const Bytes flat = testsupport::encode_jpeg(Bytes(64 * 8, 100).data(), 64, 8, 1, 50);
    const testsupport::JpegSegment scan = jpeg_scans(flat)[0];
    const uint32_t d = uint32_t(scan.end - scan.begin - 2 -
                                size_t(flat[scan.begin + 2] << 8 | flat[scan.begin + 3]));
    const Bytes grey = noise(64 * 64);
    std::vector<Bytes> arith;
    Bytes whole;
    for (size_t k = 0; k < 4; ++k) {
        arith.push_back(recode_jpeg(
            testsupport::encode_jpeg(grey.data() + k * 64 * 16, 64, 16, 1, 90), true, false));
        const Bytes pixels = testsupport::libjpeg_pixels(arith.back());
        whole.insert(whole.end(), pixels.begin(), pixels.end());
    }
    std::vector<Bytes> arithCut = arith, arithOpen = arith;
    const testsupport::JpegSegment data = jpeg_scans(arith[2])[0];
    arithCut[2] = spliced(arith[2], (data.begin + data.end) / 2,
                          arith[2].size() - (data.begin + data.end) / 2, Bytes{0xFF, 0xD9});
    arithOpen[2].resize(arithOpen[2].size() - 2);
    const struct {
        const char *what;
        Bytes file;
        PixelDataCheck check;
        bool decodes;
    } cases[] = {
        {"rows", testsupport::jpeg_tiff(rgb.data(), 64, 48, claiming(64, 17)),
         PixelDataCheck::NotDecodable, false},
        {"width", testsupport::jpeg_tiff(rgb.data(), 64, 48, claiming(63, 16)),
         PixelDataCheck::NotDecodable, false},
        {"padded cut", testsupport::jpeg_tiff(rgb.data(), 64, 48, padded_cut),
         PixelDataCheck::Truncated, false},
        {"shared", strips_tiff({flat}, d, 8), PixelDataCheck::Ok, true},
        {"shared once more", strips_tiff({flat}, d + 1, 8), PixelDataCheck::Truncated, false},
        {"arithmetic", strips_tiff(arith, 4, 16), PixelDataCheck::Ok, true},
        {"arithmetic cut", strips_tiff(arithCut, 4, 16), PixelDataCheck::Ok, false},
        {"arithmetic open", strips_tiff(arithOpen, 4, 16), PixelDataCheck::Ok, true},
    };
    testing::internal::CaptureStderr();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(check_bytes(dir, c.file), c.check);
        const BitmapPtr b = decode(c.file);
        EXPECT_EQ(b != nullptr, c.decodes);
        if (b && c.file.size() > whole.size())
            expect_bitmap(b, 64, 64, 1, 8, whole);
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

} // namespace
