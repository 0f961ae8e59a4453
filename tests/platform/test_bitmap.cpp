// Tests of the bitmap stand-in: creation rules, decoding of TIFF files written by libtiff and
// JPEG files written by libjpeg (pixels, layout, ICC profile), and refusal of damaged files.
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <tiffio.h>

#include "platform/bitmap.h"
#include "platform/data.h"
#include "tests/support/bracket_generator.h"
#include "tests/support/fixtures.h"
#include "tests/support/image_compare.h"

namespace {

using namespace platform;
using testsupport::Bytes;
using testsupport::LibTiffOptions;
using testsupport::TempDir;

BitmapPtr decode(const Bytes &bytes)
{
    return BitmapImageRep::imageRepWithData(Data::copy(bytes.data(), bytes.size()));
}

Bytes as_bytes(const DataPtr &d)
{
    return d ? Bytes(d->bytes(), d->bytes() + d->length()) : Bytes{};
}

// A photo of the generated scene: smooth gradients, coloured patches and a bright disc.
Bytes scene(int w, int h, int bits, int spp)
{
    return testsupport::render_photo(testsupport::make_radiance_map(w, h), 1.0f, bits, spp);
}

// w x h x spp samples of bits that all differ from their neighbours.
Bytes distinct_samples(int w, int h, int spp, int bits)
{
    Bytes out(size_t(w) * size_t(h) * size_t(spp) * size_t(bits / 8));
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = uint8_t((i * 2654435761u) >> 13);
    return out;
}

// Keeps the first keep samples of each group of spp.
Bytes first_samples(const Bytes &src, int spp, int keep, int bits)
{
    const size_t b = size_t(bits / 8), group = size_t(spp) * b;
    Bytes out;
    for (size_t i = 0; i < src.size(); i += group)
        out.insert(out.end(), src.begin() + long(i), src.begin() + long(i + size_t(keep) * b));
    return out;
}

BitmapPtr write_and_decode(const TempDir &dir, const Bytes &pixels, int w, int h, int spp,
                           const LibTiffOptions &o)
{
    const std::string path = dir.file("image.tif");
    if (!testsupport::write_libtiff(path, pixels.data(), w, h, spp, o)) {
        ADD_FAILURE() << "libtiff could not write the fixture";
        return nullptr;
    }
    return BitmapImageRep::imageRepWithContentsOfFile(path);
}

// Packed interleaved layout of spp samples and the expected pixels.
void expect_bitmap(const BitmapPtr &b, int w, int h, int spp, int bits, const Bytes &pixels)
{
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->pixelsWide(), w);
    EXPECT_EQ(b->pixelsHigh(), h);
    EXPECT_EQ(b->samplesPerPixel(), spp);
    EXPECT_EQ(b->bitsPerSample(), bits);
    EXPECT_EQ(b->bitsPerPixel(), spp * bits);
    EXPECT_EQ(b->bytesPerRow(), w * spp * bits / 8);
    EXPECT_FALSE(b->hasAlpha());
    EXPECT_EQ(b->colorSpaceName(),
              spp == 1 ? kCalibratedWhiteColorSpace : kCalibratedRGBColorSpace);
    if (!pixels.empty()) {
        EXPECT_EQ(Bytes(b->bitmapData(), b->bitmapData() + size_t(b->bytesPerRow()) * size_t(h)),
                  pixels);
    }
}

// A baseline RGB file claiming w x h pixels of bits with its one strip at offset 1024 (or at
// stripOffset, with nothing written there); stripBytes overrides the byte count.
Bytes tiff_claiming(uint32_t w, uint32_t h, const Bytes &strip, uint32_t stripOffset = 0,
                    uint32_t stripBytes = 0, uint16_t bits = 8)
{
    testsupport::TiffBuilder t;
    size_t ifd = t.add_ifd();
    t.add_longs(ifd, 256, {w});
    t.add_longs(ifd, 257, {h});
    t.add_shorts(ifd, 258, {bits, bits, bits});
    t.add_shorts(ifd, 259, {1});
    t.add_shorts(ifd, 262, {2});
    if (stripOffset)
        t.add_entry_at(ifd, 273, testsupport::kTiffLong, 1, stripOffset);
    else
        t.add_entry_at(ifd, 273, testsupport::kTiffLong, 1, 1024, strip);
    t.add_shorts(ifd, 277, {3});
    t.add_longs(ifd, 278, {h});
    t.add_longs(ifd, 279, {stripBytes ? stripBytes : uint32_t(strip.size())});
    return t.build();
}

// A hand-made 4 x 4 RGB file of px (8 bits unless told), for structural damage; out keeps the
// builder.
Bytes hand_made(const Bytes &px, int bits = 8, bool big = false,
                testsupport::TiffBuilder *out = nullptr)
{
    testsupport::TiffBuilder t(big);
    t.add_image(t.add_ifd(), px.data(), 4, 4, 3, bits);
    if (out)
        *out = t;
    return t.build();
}

TEST(BitmapImageRepCreate, ZeroedBufferOfTheGivenRowLength)
{
    BitmapPtr b = BitmapImageRep::create(5, 3, 16, 3, false, false, kCalibratedRGBColorSpace, 0, 0);
    expect_bitmap(b, 5, 3, 3, 16, Bytes(90, 0));
    EXPECT_EQ(b->iccProfile(), nullptr);
    BitmapPtr wide = BitmapImageRep::create(5, 4, 8, 4, true, false, kDeviceRGBColorSpace, 64, 32);
    ASSERT_NE(wide, nullptr);
    EXPECT_EQ(wide->bytesPerRow(), 64);
    EXPECT_TRUE(wide->hasAlpha());
    EXPECT_EQ(wide->colorSpaceName(), kDeviceRGBColorSpace);
    EXPECT_EQ(Bytes(wide->bitmapData(), wide->bitmapData() + 256), Bytes(256, 0));
}

TEST(BitmapImageRepCreate, RefusesInvalidArgumentsAndOversizes)
{
    EXPECT_NE(BitmapImageRep::create(4, 4, 8, 3, false, false, "", 12, 24), nullptr);
    EXPECT_NE(BitmapImageRep::create(1, 1, 8, 5, false, false, "", 0, 0), nullptr);
    // Sides, depths, sample counts, planar layout; a row of 11 or -12 bytes where 12 are
    // packed; 32 bits a pixel for 24; then sizes that overflow, a row longer than an int,
    // past 2^31 pixels, and rows x row length past 8 GiB.
    struct Row {
        int w, h, bps, spp, planar, rowBytes, bpp;
    } const rows[] = {{0, 4, 8, 3, 0, 0, 0},         {4, -1, 8, 3, 0, 0, 0},
                      {4, 4, 12, 3, 0, 0, 0},        {4, 4, 32, 3, 0, 0, 0},
                      {4, 4, 8, 0, 0, 0, 0},         {4, 4, 8, 6, 0, 0, 0},
                      {4, 4, 8, 3, 1, 0, 0},         {4, 4, 8, 3, 0, 11, 0},
                      {4, 4, 8, 3, 0, -12, 0},       {4, 4, 8, 3, 0, 0, 32},
                      {INT_MAX, 1, 16, 3, 0, 0, 0},  {INT_MAX, INT_MAX, 16, 5, 0, 0, 0},
                      {65536, 32769, 8, 1, 0, 0, 0}, {1, INT_MAX / 2, 8, 1, 0, INT_MAX, 0}};
    for (const Row &r : rows)
        EXPECT_EQ(BitmapImageRep::create(r.w, r.h, r.bps, r.spp, false, r.planar != 0,
                                         kCalibratedRGBColorSpace, r.rowBytes, r.bpp),
                  nullptr)
            << r.w << "x" << r.h << " " << r.bps << "/" << r.spp << " " << r.rowBytes << " "
            << r.bpp;
}

TEST(BitmapDecodeTiff, LibtiffFilesRoundTripInEveryLayout)
{
    TempDir dir;
    const int w = 37, h = 23; // short last strips, partial tiles on the right and bottom
    const Bytes icc = testsupport::make_icc_profile(3000, "Test RGB profile");
    // The first row's orientation 6 is not applied by the decoder.
    struct Row {
        int bits, big, separate, compression, rowsPerStrip, tile, orientation;
    } const rows[] = {
        {8, 0, 0, COMPRESSION_NONE, 0, 0, 6},           {16, 0, 0, COMPRESSION_NONE, 5, 0, 0},
        {16, 1, 0, COMPRESSION_NONE, 5, 0, 0},          {16, 0, 1, COMPRESSION_NONE, 5, 0, 0},
        {16, 1, 1, COMPRESSION_NONE, 5, 0, 0},          {8, 0, 0, COMPRESSION_LZW, 7, 0, 0},
        {16, 1, 0, COMPRESSION_ADOBE_DEFLATE, 7, 0, 0}, {8, 0, 0, COMPRESSION_PACKBITS, 7, 0, 0},
        {16, 0, 0, COMPRESSION_PACKBITS, 7, 0, 0},      {8, 0, 0, COMPRESSION_NONE, 0, 16, 0},
        {16, 1, 1, COMPRESSION_LZW, 0, 16, 0}};
    for (const Row &r : rows) {
        SCOPED_TRACE(testing::Message()
                     << r.bits << " bits " << (r.big ? "MM" : "II") << " sep " << r.separate
                     << " comp " << r.compression << " tile " << r.tile);
        Bytes px = scene(w, h, r.bits, 3);
        LibTiffOptions o;
        o.bits = r.bits;
        o.bigEndian = r.big != 0;
        o.separate = r.separate != 0;
        o.compression = r.compression;
        o.rowsPerStrip = r.rowsPerStrip;
        o.tileSize = r.tile;
        o.orientation = r.orientation;
        o.icc = icc;
        BitmapPtr b = write_and_decode(dir, px, w, h, 3, o);
        expect_bitmap(b, w, h, 3, r.bits, px); // 16-bit samples come out in host order
        EXPECT_EQ(as_bytes(b->iccProfile()), icc);
    }
}

TEST(BitmapDecodeTiff, ExtraSamplesAreDroppedAndGreyStaysGrey)
{
    TempDir dir;
    const int w = 9, h = 7;
    struct Row {
        int spp, bits;
        bool separate;
        int keep;
    } const rows[] = {{4, 8, false, 3}, {4, 16, true, 3}, {2, 8, false, 1}, {1, 16, false, 1}};
    for (const Row &r : rows) {
        SCOPED_TRACE(testing::Message() << r.spp << " samples " << r.bits << " bits");
        Bytes px = distinct_samples(w, h, r.spp, r.bits);
        LibTiffOptions o;
        o.bits = r.bits;
        o.separate = r.separate;
        BitmapPtr b = write_and_decode(dir, px, w, h, r.spp, o);
        expect_bitmap(b, w, h, r.keep, r.bits, first_samples(px, r.spp, r.keep, r.bits));
    }
    for (int bits : {8, 16}) {
        Bytes px = scene(w, h, bits, 1);
        LibTiffOptions o;
        o.bits = bits;
        o.photometric = PHOTOMETRIC_MINISWHITE;
        Bytes inverted = px;
        for (size_t i = 0; i < inverted.size(); ++i)
            inverted[i] = uint8_t(255 - inverted[i]); // 65535 - v bytewise, in either order
        expect_bitmap(write_and_decode(dir, px, w, h, 1, o), w, h, 1, bits, inverted);
    }
}

TEST(BitmapDecodeTiff, PaletteAndJpegCompressedYCbCrComeOutAsRgb8)
{
    TempDir dir;
    Bytes index(256);
    LibTiffOptions o;
    o.photometric = PHOTOMETRIC_PALETTE;
    o.colormap.resize(3 * 256);
    Bytes expected;
    for (int i = 0; i < 256; ++i) {
        index[size_t(i)] = uint8_t(i);
        o.colormap[size_t(i)] = uint16_t(i * 257);
        o.colormap[256 + size_t(i)] = uint16_t((255 - i) * 257);
        o.colormap[512 + size_t(i)] = uint16_t((i * 7 % 256) * 257);
        expected.insert(expected.end(), {uint8_t(i), uint8_t(255 - i), uint8_t(i * 7 % 256)});
    }
    expect_bitmap(write_and_decode(dir, index, 16, 16, 1, o), 16, 16, 3, 8, expected);

    const int w = 48, h = 32;
    Bytes px = scene(w, h, 8, 3);
    LibTiffOptions jpeg;
    jpeg.compression = COMPRESSION_JPEG;
    jpeg.photometric = PHOTOMETRIC_YCBCR;
    jpeg.rowsPerStrip = 16;
    BitmapPtr b = write_and_decode(dir, px, w, h, 3, jpeg);
    expect_bitmap(b, w, h, 3, 8, {});
    // Lossy: quality 95 with 2x2 chroma subsampling (measured: at most 59 codes, 5% over 8);
    // subsampled chroma smears the saturated patches' and the bright disc's hard edges.
    auto d = testsupport::compare_images(b->bitmapData(), px.data(), px.size(), 8);
    EXPECT_LT(d.maxDiff, 80);
    EXPECT_LT(d.shareOver, 0.08);
}

TEST(BitmapDecodeTiff, CmykFloatAndTwelveBitFilesAreRefused)
{
    TempDir dir;
    LibTiffOptions cmyk;
    cmyk.photometric = PHOTOMETRIC_SEPARATED;
    EXPECT_EQ(write_and_decode(dir, distinct_samples(4, 4, 4, 8), 4, 4, 4, cmyk), nullptr);
    std::vector<float> f(4 * 4 * 3, 0.5f);
    Bytes fb(f.size() * 4);
    std::memcpy(fb.data(), f.data(), fb.size());
    LibTiffOptions flt;
    flt.bits = 32;
    EXPECT_EQ(write_and_decode(dir, fb, 4, 4, 3, flt), nullptr);
    EXPECT_EQ(decode(tiff_claiming(4, 4, Bytes(96, 1), 0, 0, 12)), nullptr);
}

TEST(BitmapDecodeJpeg, RgbWithAProfileInChunksGreyAndProgressive)
{
    const int w = 64, h = 48;
    Bytes px = scene(w, h, 8, 3);
    Bytes icc = testsupport::make_icc_profile(5000, "Two chunks");
    auto chunks = testsupport::make_icc_app2_chunks(icc, 2600);
    ASSERT_EQ(chunks.size(), 2u);
    BitmapPtr b = decode(testsupport::encode_jpeg(px.data(), w, h, 3, 95, {chunks[1], chunks[0]}));
    expect_bitmap(b, w, h, 3, 8, {});
    EXPECT_EQ(as_bytes(b->iccProfile()), icc); // put back in sequence order
    // Lossy: quality 95 without chroma subsampling leaves only DCT quantisation (measured: at
    // most 15 codes, 1.7% over 6), the most as ringing at the hard edges.
    auto d = testsupport::compare_images(b->bitmapData(), px.data(), px.size(), 6);
    EXPECT_LT(d.maxDiff, 24);
    EXPECT_LT(d.shareOver, 0.04);

    // An inconsistent chunk set (2 of 2 alone) gives no profile but the image decodes.
    b = decode(testsupport::encode_jpeg(px.data(), w, h, 3, 95, {chunks[1]}));
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->iccProfile(), nullptr);

    Bytes grey = scene(33, 17, 8, 1);
    b = decode(testsupport::encode_jpeg(grey.data(), 33, 17, 1, 95));
    expect_bitmap(b, 33, 17, 1, 8, {});
    // Grey has no colour conversion and no saturated edges (measured: at most 5 codes).
    EXPECT_LT(testsupport::compare_images(b->bitmapData(), grey.data(), grey.size(), 6).maxDiff, 8);

    // Progressive coding is lossless over the same quantised coefficients: identical pixels.
    testsupport::JpegOptions prog;
    prog.progressive = true;
    BitmapPtr base = decode(testsupport::encode_jpeg(px.data(), w, h, 3, 90));
    BitmapPtr p = decode(testsupport::encode_jpeg(px.data(), w, h, 3, 90, {}, prog));
    ASSERT_NE(base, nullptr);
    expect_bitmap(p, w, h, 3, 8, Bytes(base->bitmapData(), base->bitmapData() + px.size()));

    Bytes cmyk = distinct_samples(16, 16, 4, 8);
    EXPECT_EQ(decode(testsupport::encode_jpeg(cmyk.data(), 16, 16, 4, 90)), nullptr);
}

TEST(BitmapDecode, MissingUnknownAndTruncatedFilesAreRefusedOrDecodeExactly)
{
    EXPECT_EQ(BitmapImageRep::imageRepWithData(nullptr), nullptr);
    EXPECT_EQ(BitmapImageRep::imageRepWithContentsOfFile("/nonexistent/file.tif"), nullptr);
    EXPECT_EQ(decode({'G', 'I', 'F', '8', '9', 'a', 0, 0}), nullptr);
    // Every prefix below, from the empty file and the bare byte-order or SOI mark on.
    TempDir dir;
    const int w = 20, h = 10;
    Bytes px = scene(w, h, 8, 3);
    LibTiffOptions o;
    o.rowsPerStrip = 3;
    o.icc = testsupport::make_icc_profile(200, "Cut");
    ASSERT_TRUE(testsupport::write_libtiff(dir.file("t.tif"), px.data(), w, h, 3, o));
    Bytes tif = testsupport::read_file(dir.file("t.tif"));
    ASSERT_GT(tif.size(), px.size());
    for (size_t n = 0; n < tif.size(); ++n) {
        // libtiff writes the strips before the directory: a cut file loses its directory
        // (refused) or a trailing tag value; any bitmap it still gives has every pixel right.
        BitmapPtr b = decode(Bytes(tif.begin(), tif.begin() + long(n)));
        if (n <= px.size() + 8)
            EXPECT_EQ(b, nullptr) << n;
        else if (b)
            expect_bitmap(b, w, h, 3, 8, px);
    }
    for (bool progressive : {false, true}) {
        testsupport::JpegOptions jo;
        jo.progressive = progressive;
        Bytes jpg = testsupport::encode_jpeg(px.data(), w, h, 3, 90, {}, jo);
        ASSERT_NE(decode(jpg), nullptr);
        for (size_t n = 0; n < jpg.size(); ++n)
            EXPECT_EQ(decode(Bytes(jpg.begin(), jpg.begin() + long(n))), nullptr)
                << n << (progressive ? " progressive" : "");
    }
}

TEST(BitmapDecode, CorruptBytesNeverCrash)
{
    Bytes scenePx = scene(32, 24, 8, 3);
    const Bytes files[] = {testsupport::encode_jpeg(scenePx.data(), 32, 24, 3, 90),
                           hand_made(distinct_samples(4, 4, 3, 8))};
    for (const Bytes &full : files)
        for (size_t i = 2; i < full.size(); ++i)
            for (uint8_t v : {uint8_t(0x00), uint8_t(0xFF), uint8_t(full[i] ^ 0x5A)}) {
                Bytes bad = full;
                bad[i] = v;
                if (BitmapPtr b = decode(bad)) {
                    EXPECT_GE(b->pixelsWide(), 1);
                    EXPECT_LE(uint64_t(b->bytesPerRow()) * uint64_t(b->pixelsHigh()), uint64_t(8)
                                                                                          << 30);
                }
            }
}

// Every TIFF here makes libtiff complain; none of it may be printed.
TEST(BitmapDecode, HostileTiffStructureIsRefusedSilently)
{
    testing::internal::CaptureStderr();
    Bytes strip(48);
    for (size_t i = 0; i < strip.size(); ++i)
        strip[i] = uint8_t(3 * i);
    expect_bitmap(decode(tiff_claiming(4, 4, strip)), 4, 4, 3, 8, strip);
    // An uncompressed strip's count past the end of the file is cut to the file by libtiff:
    // the pixels that are there decode and nothing is read past the end.
    expect_bitmap(decode(tiff_claiming(4, 4, strip, 0, 1u << 30)), 4, 4, 3, 8, strip);
    EXPECT_EQ(decode(tiff_claiming(100000, 100000, strip)), nullptr); // past 2^31 pixels
    EXPECT_EQ(decode(tiff_claiming(20000, 20000, strip)), nullptr);   // 1.2 GB from 48 bytes
    EXPECT_EQ(decode(tiff_claiming(4, 4, strip, 1u << 30)), nullptr); // strip past the end
    EXPECT_EQ(decode(tiff_claiming(4, 4, strip, 1000)), nullptr);
    EXPECT_EQ(decode(tiff_claiming(4, 4, Bytes(20, 1))), nullptr); // strip shorter than image
    EXPECT_EQ(decode(tiff_claiming(0, 4, strip)), nullptr);

    Bytes px16 = distinct_samples(4, 4, 3, 16);
    for (bool big : {false, true})
        expect_bitmap(decode(hand_made(px16, 16, big)), 4, 4, 3, 16, px16);
    Bytes px = distinct_samples(4, 4, 3, 8);
    for (uint32_t first : {0u, 1u << 30}) { // no directory, directory past the end
        testsupport::TiffBuilder t;
        t.set_first_ifd(first);
        t.add_image(t.add_ifd(), px.data(), 4, 4, 3, 8);
        EXPECT_EQ(decode(t.build()), nullptr) << first;
    }
    testsupport::TiffBuilder t;
    t.set_magic(44);
    t.add_image(t.add_ifd(), px.data(), 4, 4, 3, 8);
    EXPECT_EQ(decode(t.build()), nullptr);
    Bytes file = hand_made(px, 8, false, &t);
    t.set_next_to(0, 0);         // a self-looping chain: the first directory is read
    t.add_shorts(0, 65000, {1}); // an unknown tag, and tags out of order: warnings only
    t.add_longs(0, 254, {0});
    expect_bitmap(decode(t.build()), 4, 4, 3, 8, px);
    file[t.ifd_offset(0)] = 0xFF; // an entry count running past the end of the file
    file[t.ifd_offset(0) + 1] = 0x7F;
    EXPECT_EQ(decode(file), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(BitmapDecode, JpegHeaderPromisingMoreThanItsDataIsRefusedSilently)
{
    testing::internal::CaptureStderr();
    Bytes px = scene(16, 16, 8, 3);
    for (bool progressive : {false, true}) {
        testsupport::JpegOptions o;
        o.progressive = progressive;
        Bytes jpg = testsupport::encode_jpeg(px.data(), 16, 16, 3, 90, {}, o);
        const uint8_t sofCode = progressive ? 0xC2 : 0xC0;
        size_t sof = 0;
        for (size_t i = 2; i + 9 < jpg.size() && !sof; ++i)
            if (jpg[i] == 0xFF && jpg[i + 1] == sofCode)
                sof = i;
        if (!sof) {
            ADD_FAILURE() << "no frame header";
            continue;
        }
        for (uint16_t side : {uint16_t(40000), uint16_t(0)}) { // 1.6 G pixels (inside the cap)
            Bytes bad = jpg;
            bad[sof + 5] = bad[sof + 7] = uint8_t(side >> 8);
            bad[sof + 6] = bad[sof + 8] = uint8_t(side & 0xFF);
            EXPECT_EQ(decode(bad), nullptr) << side << (progressive ? " progressive" : "");
        }
        jpg.insert(jpg.end() - 2, {0x00, 0x00, 0x00}); // extraneous bytes before EOI: a warning
        EXPECT_NE(decode(jpg), nullptr);
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

} // namespace
