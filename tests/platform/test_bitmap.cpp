// Tests of the bitmap stand-in: creation rules, and decoding of TIFF files written by libtiff and
// JPEG files written by libjpeg (pixels, layout and ICC profile), and refusal of damaged files.
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
Bytes scene(int w, int h, int bits, int spp, float exposure = 1.0f)
{
    return testsupport::render_photo(testsupport::make_radiance_map(w, h), exposure, bits, spp);
}

// spp samples per pixel where every sample differs: channel c of pixel i is a distinct pattern.
Bytes distinct_samples(int w, int h, int spp, int bits)
{
    const size_t n = size_t(w) * size_t(h) * size_t(spp);
    Bytes out(n * size_t(bits / 8));
    for (size_t i = 0; i < n; ++i) {
        uint32_t v = uint32_t(i * 2654435761u >> 7);
        if (bits == 16) {
            uint16_t u = uint16_t(v);
            std::memcpy(&out[i * 2], &u, 2);
        } else {
            out[i] = uint8_t(v);
        }
    }
    return out;
}

// Keeps the first keep samples of each group of spp.
Bytes first_samples(const Bytes &src, int spp, int keep, int bits)
{
    const size_t b = size_t(bits / 8), pixels = src.size() / (size_t(spp) * b);
    Bytes out;
    for (size_t i = 0; i < pixels; ++i)
        out.insert(out.end(), src.begin() + long(i * size_t(spp) * b),
                   src.begin() + long((i * size_t(spp) + size_t(keep)) * b));
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

void expect_layout(const BitmapPtr &b, int w, int h, int spp, int bits)
{
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->pixelsWide(), w);
    EXPECT_EQ(b->pixelsHigh(), h);
    EXPECT_EQ(b->samplesPerPixel(), spp);
    EXPECT_EQ(b->bitsPerSample(), bits);
    EXPECT_EQ(b->bitsPerPixel(), spp * bits);
    EXPECT_EQ(b->bytesPerRow(), w * spp * bits / 8);
    EXPECT_FALSE(b->isPlanar());
    EXPECT_FALSE(b->hasAlpha());
    EXPECT_EQ(b->colorSpaceName(),
              spp == 1 ? kCalibratedWhiteColorSpace : kCalibratedRGBColorSpace);
}

bool same_pixels(const BitmapPtr &b, const Bytes &expected)
{
    size_t n = size_t(b->bytesPerRow()) * size_t(b->pixelsHigh());
    return n == expected.size() && std::memcmp(b->bitmapData(), expected.data(), n) == 0;
}

// ---------------------------------------------------------------------------------------------
// create

TEST(BitmapImageRepCreate, PackedRowsAndAZeroedBuffer)
{
    BitmapPtr b = BitmapImageRep::create(5, 3, 16, 3, false, false, kCalibratedRGBColorSpace, 0, 0);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->bytesPerRow(), 30);
    EXPECT_EQ(b->bitsPerPixel(), 48);
    EXPECT_EQ(b->colorSpaceName(), kCalibratedRGBColorSpace);
    for (int i = 0; i < 90; ++i)
        ASSERT_EQ(b->bitmapData()[i], 0) << i;
    b->bitmapData()[89] = 1; // the last byte belongs to the buffer
    EXPECT_EQ(b->iccProfile(), nullptr);
}

TEST(BitmapImageRepCreate, KeepsALongerRowLengthAndTheGivenFlags)
{
    BitmapPtr b = BitmapImageRep::create(5, 4, 8, 4, true, false, kDeviceRGBColorSpace, 64, 32);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->bytesPerRow(), 64);
    EXPECT_TRUE(b->hasAlpha());
    EXPECT_EQ(b->colorSpaceName(), kDeviceRGBColorSpace);
    for (int i = 0; i < 64 * 4; ++i)
        ASSERT_EQ(b->bitmapData()[i], 0) << i;
}

TEST(BitmapImageRepCreate, RefusesInvalidArguments)
{
    auto make = [](int w, int h, int bps, int spp, bool planar, int rowBytes, int bpp) {
        return BitmapImageRep::create(w, h, bps, spp, false, planar, kCalibratedRGBColorSpace,
                                      rowBytes, bpp);
    };
    EXPECT_EQ(make(0, 4, 8, 3, false, 0, 0), nullptr);
    EXPECT_EQ(make(4, -1, 8, 3, false, 0, 0), nullptr);
    EXPECT_EQ(make(4, 4, 12, 3, false, 0, 0), nullptr);
    EXPECT_EQ(make(4, 4, 32, 3, false, 0, 0), nullptr);
    EXPECT_EQ(make(4, 4, 8, 0, false, 0, 0), nullptr);
    EXPECT_EQ(make(4, 4, 8, 6, false, 0, 0), nullptr);
    EXPECT_EQ(make(4, 4, 8, 3, true, 0, 0), nullptr);
    EXPECT_EQ(make(4, 4, 8, 3, false, 11, 0), nullptr); // packed rows need 12 bytes
    EXPECT_EQ(make(4, 4, 8, 3, false, -12, 0), nullptr);
    EXPECT_EQ(make(4, 4, 8, 3, false, 0, 32), nullptr); // bitsPerPixel must be 24
    EXPECT_NE(make(4, 4, 8, 3, false, 12, 24), nullptr);
    EXPECT_NE(make(1, 1, 8, 5, false, 0, 0), nullptr);
}

TEST(BitmapImageRepCreate, RefusesSizesThatOverflowOrPassTheCap)
{
    auto make = [](int w, int h, int bps, int spp, int rowBytes) {
        return BitmapImageRep::create(w, h, bps, spp, false, false, kCalibratedRGBColorSpace,
                                      rowBytes, 0);
    };
    EXPECT_EQ(make(INT_MAX, INT_MAX, 16, 5, 0), nullptr);
    EXPECT_EQ(make(INT_MAX, 1, 16, 3, 0), nullptr);          // a row longer than an int
    EXPECT_EQ(make(65536, 32769, 8, 1, 0), nullptr);         // past 2^31 pixels
    EXPECT_EQ(make(1, INT_MAX / 2, 8, 1, INT_MAX), nullptr); // rows x row length past 8 GiB
}

// ---------------------------------------------------------------------------------------------
// TIFF decoding

TEST(BitmapDecodeTiff, Rgb8ContigRoundTripsWithItsProfile)
{
    TempDir dir;
    const int w = 37, h = 23;
    Bytes px = scene(w, h, 8, 3);
    LibTiffOptions o;
    o.icc = testsupport::make_icc_profile(3000, "Test RGB profile");
    BitmapPtr b = write_and_decode(dir, px, w, h, 3, o);
    expect_layout(b, w, h, 3, 8);
    EXPECT_TRUE(same_pixels(b, px));
    EXPECT_EQ(as_bytes(b->iccProfile()), o.icc);
}

TEST(BitmapDecodeTiff, Rgb16InBothByteOrdersAndLayoutsComesOutInHostOrder)
{
    TempDir dir;
    const int w = 37, h = 23;
    Bytes px = scene(w, h, 16, 3, 0.25f);
    for (bool big : {false, true})
        for (bool separate : {false, true}) {
            LibTiffOptions o;
            o.bits = 16;
            o.bigEndian = big;
            o.separate = separate;
            o.rowsPerStrip = 5; // several strips, the last one short
            o.icc = testsupport::make_icc_profile(700, "Wide");
            BitmapPtr b = write_and_decode(dir, px, w, h, 3, o);
            SCOPED_TRACE(std::string(big ? "MM" : "II") + (separate ? " separate" : " contig"));
            expect_layout(b, w, h, 3, 16);
            EXPECT_TRUE(same_pixels(b, px));
            EXPECT_EQ(as_bytes(b->iccProfile()), o.icc);
        }
}

TEST(BitmapDecodeTiff, CompressedStripsDecode)
{
    TempDir dir;
    const int w = 40, h = 30;
    for (int bits : {8, 16})
        for (int compression : {COMPRESSION_LZW, COMPRESSION_ADOBE_DEFLATE, COMPRESSION_PACKBITS}) {
            Bytes px = scene(w, h, bits, 3);
            LibTiffOptions o;
            o.bits = bits;
            o.compression = compression;
            o.rowsPerStrip = 7;
            BitmapPtr b = write_and_decode(dir, px, w, h, 3, o);
            SCOPED_TRACE(testing::Message() << bits << " bits, compression " << compression);
            expect_layout(b, w, h, 3, bits);
            EXPECT_TRUE(same_pixels(b, px));
        }
}

TEST(BitmapDecodeTiff, TiledFilesDecode)
{
    TempDir dir;
    const int w = 37, h = 23; // partial tiles on the right and at the bottom
    for (int bits : {8, 16})
        for (bool separate : {false, true}) {
            Bytes px = scene(w, h, bits, 3);
            LibTiffOptions o;
            o.bits = bits;
            o.separate = separate;
            o.tileSize = 16;
            BitmapPtr b = write_and_decode(dir, px, w, h, 3, o);
            SCOPED_TRACE(testing::Message() << bits << " bits, separate " << separate);
            expect_layout(b, w, h, 3, bits);
            EXPECT_TRUE(same_pixels(b, px));
        }
}

TEST(BitmapDecodeTiff, AlphaAndExtraSamplesAreDropped)
{
    TempDir dir;
    const int w = 9, h = 7;
    for (int bits : {8, 16})
        for (bool separate : {false, true}) {
            Bytes px = distinct_samples(w, h, 4, bits);
            LibTiffOptions o;
            o.bits = bits;
            o.separate = separate;
            BitmapPtr b = write_and_decode(dir, px, w, h, 4, o);
            SCOPED_TRACE(testing::Message() << bits << " bits, separate " << separate);
            expect_layout(b, w, h, 3, bits);
            EXPECT_TRUE(same_pixels(b, first_samples(px, 4, 3, bits)));
        }
}

TEST(BitmapDecodeTiff, GreyStaysOneSampleAndMinIsWhiteIsInverted)
{
    TempDir dir;
    const int w = 11, h = 5;
    for (int bits : {8, 16}) {
        Bytes px = scene(w, h, bits, 1);
        LibTiffOptions o;
        o.bits = bits;
        BitmapPtr b = write_and_decode(dir, px, w, h, 1, o);
        expect_layout(b, w, h, 1, bits);
        EXPECT_TRUE(same_pixels(b, px));

        o.photometric = PHOTOMETRIC_MINISWHITE;
        b = write_and_decode(dir, px, w, h, 1, o);
        expect_layout(b, w, h, 1, bits);
        Bytes inverted = px;
        if (bits == 8) {
            for (uint8_t &v : inverted)
                v = uint8_t(255 - v);
        } else {
            for (size_t i = 0; i < inverted.size(); i += 2) {
                uint16_t v;
                std::memcpy(&v, &inverted[i], 2);
                v = uint16_t(65535 - v);
                std::memcpy(&inverted[i], &v, 2);
            }
        }
        EXPECT_TRUE(same_pixels(b, inverted));
    }
}

TEST(BitmapDecodeTiff, GreyWithAlphaKeepsTheGrey)
{
    TempDir dir;
    Bytes px = distinct_samples(6, 4, 2, 8);
    BitmapPtr b = write_and_decode(dir, px, 6, 4, 2, {});
    expect_layout(b, 6, 4, 1, 8);
    EXPECT_TRUE(same_pixels(b, first_samples(px, 2, 1, 8)));
}

TEST(BitmapDecodeTiff, PaletteExpandsToRgb8)
{
    TempDir dir;
    const int w = 16, h = 16;
    Bytes index(size_t(w) * h);
    for (size_t i = 0; i < index.size(); ++i)
        index[i] = uint8_t(i);
    LibTiffOptions o;
    o.photometric = PHOTOMETRIC_PALETTE;
    o.colormap.resize(3 * 256);
    for (int i = 0; i < 256; ++i) {
        o.colormap[size_t(i)] = uint16_t(i * 257);
        o.colormap[256 + size_t(i)] = uint16_t((255 - i) * 257);
        o.colormap[512 + size_t(i)] = uint16_t((i * 7 % 256) * 257);
    }
    BitmapPtr b = write_and_decode(dir, index, w, h, 1, o);
    expect_layout(b, w, h, 3, 8);
    Bytes expected;
    for (uint8_t i : index)
        expected.insert(expected.end(), {i, uint8_t(255 - i), uint8_t(i * 7 % 256)});
    EXPECT_TRUE(same_pixels(b, expected));
}

TEST(BitmapDecodeTiff, JpegCompressedYCbCrComesOutAsRgb)
{
    TempDir dir;
    const int w = 48, h = 32;
    Bytes px = scene(w, h, 8, 3);
    LibTiffOptions o;
    o.compression = COMPRESSION_JPEG;
    o.photometric = PHOTOMETRIC_YCBCR;
    o.rowsPerStrip = 16;
    BitmapPtr b = write_and_decode(dir, px, w, h, 3, o);
    expect_layout(b, w, h, 3, 8);
    // Lossy: quality 95 with 2x2 chroma subsampling (measured: at most 59 codes, 5% over 8).
    // Subsampled chroma smears the saturated patches' and the bright disc's hard edges; the
    // smooth gradient stays within a few codes.
    auto d = testsupport::compare_images(b->bitmapData(), px.data(), px.size(), 8);
    EXPECT_LT(d.maxDiff, 80);
    EXPECT_LT(d.shareOver, 0.08);
}

TEST(BitmapDecodeTiff, OrientationIsNotApplied)
{
    TempDir dir;
    Bytes px = distinct_samples(5, 3, 3, 8);
    LibTiffOptions o;
    o.orientation = 6;
    BitmapPtr b = write_and_decode(dir, px, 5, 3, 3, o);
    expect_layout(b, 5, 3, 3, 8);
    EXPECT_TRUE(same_pixels(b, px));
}

TEST(BitmapDecodeTiff, RefusesCmykFloatAndOddDepths)
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

    // A hand-made 12-bit header.
    testsupport::TiffBuilder t;
    size_t ifd = t.add_ifd();
    Bytes px = distinct_samples(4, 4, 3, 16);
    t.add_image(ifd, px.data(), 4, 4, 3, 16);
    Bytes ok = t.build();
    EXPECT_NE(decode(ok), nullptr);
    testsupport::TiffBuilder t12;
    ifd = t12.add_ifd();
    uint32_t off = t12.add_blob(px);
    t12.add_longs(ifd, 256, {4});
    t12.add_longs(ifd, 257, {4});
    t12.add_shorts(ifd, 258, {12, 12, 12});
    t12.add_shorts(ifd, 262, {2});
    t12.add_longs(ifd, 273, {off});
    t12.add_shorts(ifd, 277, {3});
    t12.add_longs(ifd, 279, {uint32_t(px.size())});
    EXPECT_EQ(decode(t12.build()), nullptr);
}

TEST(BitmapDecodeTiff, HandMadeFilesInBothByteOrdersDecode)
{
    const int w = 6, h = 4;
    Bytes px = distinct_samples(w, h, 3, 16);
    for (bool big : {false, true}) {
        testsupport::TiffBuilder t(big);
        size_t ifd = t.add_ifd();
        t.add_image(ifd, px.data(), w, h, 3, 16);
        BitmapPtr b = decode(t.build());
        expect_layout(b, w, h, 3, 16);
        EXPECT_TRUE(same_pixels(b, px));
    }
}

// ---------------------------------------------------------------------------------------------
// JPEG decoding

TEST(BitmapDecodeJpeg, RgbAndATwoChunkProfileRoundTrip)
{
    const int w = 64, h = 48;
    Bytes px = scene(w, h, 8, 3);
    Bytes icc = testsupport::make_icc_profile(5000, "Two chunks");
    auto chunks = testsupport::make_icc_app2_chunks(icc, 2600);
    ASSERT_EQ(chunks.size(), 2u);
    Bytes jpg = testsupport::encode_jpeg(px.data(), w, h, 3, 95, chunks);
    BitmapPtr b = decode(jpg);
    expect_layout(b, w, h, 3, 8);
    EXPECT_EQ(as_bytes(b->iccProfile()), icc);
    // Lossy: quality 95 without chroma subsampling leaves only DCT quantisation (measured: at
    // most 15 codes, 1.7% over 6): a few codes on the gradient, more ringing at the disc's and
    // the saturated patches' hard edges.
    auto d = testsupport::compare_images(b->bitmapData(), px.data(), px.size(), 6);
    EXPECT_LT(d.maxDiff, 24);
    EXPECT_LT(d.shareOver, 0.04);
}

TEST(BitmapDecodeJpeg, GreyIsOneSample)
{
    const int w = 33, h = 17;
    Bytes px = scene(w, h, 8, 1);
    BitmapPtr b = decode(testsupport::encode_jpeg(px.data(), w, h, 1, 95));
    expect_layout(b, w, h, 1, 8);
    EXPECT_EQ(b->iccProfile(), nullptr);
    // Lossy as above, but grey has no colour conversion and no saturated edges (measured: at
    // most 5 codes).
    auto d = testsupport::compare_images(b->bitmapData(), px.data(), px.size(), 6);
    EXPECT_LT(d.maxDiff, 8);
    EXPECT_LT(d.shareOver, 0.01);
}

TEST(BitmapDecodeJpeg, ProgressiveMatchesBaseline)
{
    const int w = 40, h = 24;
    Bytes px = scene(w, h, 8, 3);
    testsupport::JpegOptions prog;
    prog.progressive = true;
    BitmapPtr a = decode(testsupport::encode_jpeg(px.data(), w, h, 3, 90));
    BitmapPtr b = decode(testsupport::encode_jpeg(px.data(), w, h, 3, 90, {}, prog));
    ASSERT_NE(a, nullptr);
    expect_layout(b, w, h, 3, 8);
    // Progressive coding is lossless over the same quantised coefficients: identical pixels.
    auto d = testsupport::compare_images(a->bitmapData(), b->bitmapData(), px.size(), 0);
    EXPECT_EQ(d.maxDiff, 0);
}

TEST(BitmapDecodeJpeg, ProfileChunksAreAssembledInSequenceOrder)
{
    Bytes px = scene(16, 16, 8, 3);
    Bytes icc = testsupport::make_icc_profile(900, "Reordered");
    auto chunks = testsupport::make_icc_app2_chunks(icc, 300);
    ASSERT_EQ(chunks.size(), 3u);
    BitmapPtr b = decode(
        testsupport::encode_jpeg(px.data(), 16, 16, 3, 90, {chunks[2], chunks[0], chunks[1]}));
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(as_bytes(b->iccProfile()), icc);
}

TEST(BitmapDecodeJpeg, ASingleChunkNumberedZeroCounts)
{
    Bytes px = scene(16, 16, 8, 3);
    Bytes icc = testsupport::make_icc_profile(400, "Zero");
    const char head[14] = {'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0, 0, 1};
    Bytes payload(14 + icc.size());
    std::memcpy(payload.data(), head, 14);
    std::memcpy(payload.data() + 14, icc.data(), icc.size());
    BitmapPtr b = decode(testsupport::encode_jpeg(px.data(), 16, 16, 3, 90,
                                                  {testsupport::make_segment(0xE2, payload)}));
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(as_bytes(b->iccProfile()), icc);
}

TEST(BitmapDecodeJpeg, InconsistentChunkSetsGiveNoProfileButStillDecode)
{
    Bytes px = scene(16, 16, 8, 3);
    Bytes icc = testsupport::make_icc_profile(900, "Broken");
    auto three = testsupport::make_icc_app2_chunks(icc, 300);
    auto two = testsupport::make_icc_app2_chunks(icc, 450);
    Bytes noZero = testsupport::make_segment(
        0xE2, Bytes{'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 1, 1, 9, 9});
    const std::vector<std::vector<Bytes>> cases = {
        {three[0], three[2]},                     // chunk 2 of 3 missing
        {two[0], three[1], three[2]},             // counts disagree
        {three[0], three[0], three[1], three[2]}, // a chunk repeated
        {noZero},                                 // signature without its zero byte
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        BitmapPtr b = decode(testsupport::encode_jpeg(px.data(), 16, 16, 3, 90, cases[i]));
        ASSERT_NE(b, nullptr) << i;
        EXPECT_EQ(b->iccProfile(), nullptr) << i;
    }
}

TEST(BitmapDecodeJpeg, RefusesCmyk)
{
    Bytes px = distinct_samples(16, 16, 4, 8);
    EXPECT_EQ(decode(testsupport::encode_jpeg(px.data(), 16, 16, 4, 90)), nullptr);
}

// ---------------------------------------------------------------------------------------------
// Damaged and hostile input

TEST(BitmapDecode, RefusesNullEmptyAndUnknownBytes)
{
    EXPECT_EQ(BitmapImageRep::imageRepWithData(nullptr), nullptr);
    EXPECT_EQ(decode({}), nullptr);
    EXPECT_EQ(decode({'I', 'I'}), nullptr);
    EXPECT_EQ(decode({0xFF, 0xD8}), nullptr);
    EXPECT_EQ(decode({'G', 'I', 'F', '8', '9', 'a', 0, 0}), nullptr);
    EXPECT_EQ(BitmapImageRep::imageRepWithContentsOfFile("/nonexistent/file.tif"), nullptr);
}

TEST(BitmapDecode, TruncatedTiffNeverCrashesAndLosesNoPixelsSilently)
{
    TempDir dir;
    const int w = 20, h = 10;
    Bytes px = scene(w, h, 8, 3);
    LibTiffOptions o;
    o.rowsPerStrip = 3;
    o.icc = testsupport::make_icc_profile(200, "Cut");
    ASSERT_TRUE(testsupport::write_libtiff(dir.file("t.tif"), px.data(), w, h, 3, o));
    Bytes full = testsupport::read_file(dir.file("t.tif"));
    ASSERT_GT(full.size(), px.size());
    for (size_t n = 0; n < full.size(); ++n) {
        BitmapPtr b = decode(Bytes(full.begin(), full.begin() + long(n)));
        // libtiff writes the strips before the directory: a cut file either loses its directory
        // (refused) or a trailing tag value; any bitmap it still gives has every pixel right.
        if (b) {
            EXPECT_TRUE(same_pixels(b, px)) << n;
        }
        if (n <= px.size() + 8) {
            EXPECT_EQ(b, nullptr) << n;
        }
    }
}

TEST(BitmapDecode, TruncatedJpegIsRefused)
{
    Bytes px = scene(32, 24, 8, 3);
    for (bool progressive : {false, true}) {
        testsupport::JpegOptions o;
        o.progressive = progressive;
        Bytes full = testsupport::encode_jpeg(px.data(), 32, 24, 3, 90, {}, o);
        ASSERT_NE(decode(full), nullptr);
        for (size_t n = 0; n < full.size(); ++n)
            EXPECT_EQ(decode(Bytes(full.begin(), full.begin() + long(n))), nullptr)
                << n << (progressive ? " progressive" : "");
    }
}

TEST(BitmapDecode, CorruptJpegBytesNeverCrash)
{
    Bytes px = scene(32, 24, 8, 3);
    Bytes full = testsupport::encode_jpeg(px.data(), 32, 24, 3, 90);
    for (size_t i = 2; i < full.size(); ++i) {
        for (uint8_t v : {uint8_t(0x00), uint8_t(0xFF), uint8_t(full[i] ^ 0x5A)}) {
            Bytes bad = full;
            bad[i] = v;
            BitmapPtr b = decode(bad);
            if (b) {
                EXPECT_GE(b->pixelsWide(), 1);
                EXPECT_EQ(size_t(b->bytesPerRow()),
                          size_t(b->pixelsWide()) * size_t(b->samplesPerPixel()));
            }
        }
    }
}

TEST(BitmapDecode, CorruptTiffBytesNeverCrash)
{
    const int w = 6, h = 5;
    Bytes px = distinct_samples(w, h, 3, 8);
    testsupport::TiffBuilder t;
    size_t ifd = t.add_ifd();
    t.add_image(ifd, px.data(), w, h, 3, 8);
    Bytes full = t.build();
    for (size_t i = 0; i < full.size(); ++i) {
        for (uint8_t v : {uint8_t(0x00), uint8_t(0xFF), uint8_t(0x7F)}) {
            Bytes bad = full;
            bad[i] = v;
            BitmapPtr b = decode(bad);
            if (b) {
                uint64_t bytes = uint64_t(b->bytesPerRow()) * uint64_t(b->pixelsHigh());
                EXPECT_GE(b->pixelsWide(), 1);
                EXPECT_LE(bytes, uint64_t(8) << 30);
            }
        }
    }
}

// A baseline RGB file claiming w x h pixels with its one strip at the end of the file (offset
// 1024, or stripOffset with nothing written there); stripBytes overrides the byte count.
Bytes tiff_claiming(uint32_t w, uint32_t h, const Bytes &strip, uint32_t stripOffset = 0,
                    uint32_t stripBytes = 0)
{
    testsupport::TiffBuilder t;
    size_t ifd = t.add_ifd();
    t.add_longs(ifd, 256, {w});
    t.add_longs(ifd, 257, {h});
    t.add_shorts(ifd, 258, {8, 8, 8});
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

TEST(BitmapDecode, HostileTiffHeadersAreRefused)
{
    Bytes strip(48);
    for (size_t i = 0; i < strip.size(); ++i)
        strip[i] = uint8_t(i);
    BitmapPtr good = decode(tiff_claiming(4, 4, strip));
    ASSERT_NE(good, nullptr);
    EXPECT_TRUE(same_pixels(good, strip));
    // Past 2^31 pixels: refused before anything is allocated.
    EXPECT_EQ(decode(tiff_claiming(100000, 100000, strip)), nullptr);
    // Within the cap but with 48 bytes of data for 1.2 GB of pixels.
    EXPECT_EQ(decode(tiff_claiming(20000, 20000, strip)), nullptr);
    // Strip past the end of the file.
    EXPECT_EQ(decode(tiff_claiming(4, 4, strip, 1u << 30)), nullptr);
    EXPECT_EQ(decode(tiff_claiming(4, 4, strip, 1000)), nullptr);
    // A strip shorter than the image.
    EXPECT_EQ(decode(tiff_claiming(4, 4, Bytes(20, 1))), nullptr);
    // Zero width.
    EXPECT_EQ(decode(tiff_claiming(0, 4, strip)), nullptr);
}

TEST(BitmapDecode, OverlongStripByteCountIsReadToTheEndOfTheFile)
{
    // libtiff recomputes an uncompressed strip's count that passes the end of the file; the
    // pixels that are there decode and nothing is read past the end.
    Bytes strip(48);
    for (size_t i = 0; i < strip.size(); ++i)
        strip[i] = uint8_t(3 * i);
    BitmapPtr b = decode(tiff_claiming(4, 4, strip, 0, 1u << 30));
    ASSERT_NE(b, nullptr);
    EXPECT_TRUE(same_pixels(b, strip));
}

TEST(BitmapDecode, BadTiffStructureIsRefused)
{
    Bytes px = distinct_samples(4, 4, 3, 8);
    {
        testsupport::TiffBuilder t;
        t.set_magic(43 + 1);
        t.add_image(t.add_ifd(), px.data(), 4, 4, 3, 8);
        EXPECT_EQ(decode(t.build()), nullptr);
    }
    {
        testsupport::TiffBuilder t;
        t.set_first_ifd(1u << 30); // directory past the end
        t.add_image(t.add_ifd(), px.data(), 4, 4, 3, 8);
        EXPECT_EQ(decode(t.build()), nullptr);
    }
    {
        testsupport::TiffBuilder t;
        t.set_first_ifd(0);
        t.add_image(t.add_ifd(), px.data(), 4, 4, 3, 8);
        EXPECT_EQ(decode(t.build()), nullptr);
    }
    {
        // A directory whose next offset points to itself: only the first directory is read.
        testsupport::TiffBuilder t;
        size_t ifd = t.add_ifd();
        t.add_image(ifd, px.data(), 4, 4, 3, 8);
        t.set_next_to(ifd, ifd);
        BitmapPtr b = decode(t.build());
        ASSERT_NE(b, nullptr);
        EXPECT_TRUE(same_pixels(b, px));
    }
    {
        // An entry count running past the end of the file.
        testsupport::TiffBuilder t;
        size_t ifd = t.add_ifd();
        t.add_image(ifd, px.data(), 4, 4, 3, 8);
        Bytes b = t.build();
        uint32_t at = t.ifd_offset(ifd);
        b[at] = 0xFF;
        b[at + 1] = 0x7F;
        EXPECT_EQ(decode(b), nullptr);
    }
}

TEST(BitmapDecode, JpegHeaderPromisingMoreThanItsDataIsRefused)
{
    Bytes px = scene(16, 16, 8, 3);
    Bytes jpg = testsupport::encode_jpeg(px.data(), 16, 16, 3, 90);
    // Patch the SOF0 frame size to 40000 x 40000 (1.6 G pixels, inside the cap).
    size_t sof = 0;
    for (size_t i = 2; i + 9 < jpg.size(); ++i)
        if (jpg[i] == 0xFF && jpg[i + 1] == 0xC0) {
            sof = i;
            break;
        }
    ASSERT_NE(sof, 0u);
    Bytes big = jpg;
    big[sof + 5] = 40000 >> 8;
    big[sof + 6] = 40000 & 0xFF;
    big[sof + 7] = 40000 >> 8;
    big[sof + 8] = 40000 & 0xFF;
    EXPECT_EQ(decode(big), nullptr);
    Bytes empty = jpg;
    empty[sof + 5] = 0;
    empty[sof + 6] = 0;
    EXPECT_EQ(decode(empty), nullptr);
}

TEST(BitmapDecode, ProgressiveJpegHeaderPromisingMoreThanItsDataIsRefused)
{
    Bytes px = scene(16, 16, 8, 3);
    testsupport::JpegOptions o;
    o.progressive = true;
    Bytes jpg = testsupport::encode_jpeg(px.data(), 16, 16, 3, 90, {}, o);
    size_t sof = 0;
    for (size_t i = 2; i + 9 < jpg.size(); ++i)
        if (jpg[i] == 0xFF && jpg[i + 1] == 0xC2) {
            sof = i;
            break;
        }
    ASSERT_NE(sof, 0u);
    jpg[sof + 5] = 30000 >> 8;
    jpg[sof + 6] = 30000 & 0xFF;
    jpg[sof + 7] = 30000 >> 8;
    jpg[sof + 8] = 30000 & 0xFF;
    EXPECT_EQ(decode(jpg), nullptr);
}

TEST(BitmapDecode, LibraryMessagesAreNotPrinted)
{
    Bytes px = scene(16, 16, 8, 3);
    Bytes jpg = testsupport::encode_jpeg(px.data(), 16, 16, 3, 90);
    Bytes junk = jpg;
    junk.insert(junk.end() - 2, {0x00, 0x00, 0x00}); // extraneous bytes before EOI: a warning
    // Tags out of order and an unknown tag: libtiff warnings on a file that still decodes.
    Bytes rgb = distinct_samples(4, 4, 3, 8);
    testsupport::TiffBuilder t;
    size_t ifd = t.add_ifd();
    t.add_image(ifd, rgb.data(), 4, 4, 3, 8);
    t.add_shorts(ifd, 65000, {1});
    t.add_longs(ifd, 254, {0});
    Bytes warnTiff = t.build();

    testing::internal::CaptureStderr();
    BitmapPtr a = decode(junk);
    BitmapPtr b = decode(warnTiff);
    BitmapPtr c = decode(Bytes(jpg.begin(), jpg.begin() + long(jpg.size() / 2)));
    BitmapPtr d = decode(tiff_claiming(4, 4, Bytes(48, 1), 1u << 30));
    BitmapPtr e = decode(tiff_claiming(4, 4, Bytes(20, 1)));
    std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_EQ(printed, "");
    EXPECT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_TRUE(same_pixels(b, rgb));
    EXPECT_EQ(c, nullptr);
    EXPECT_EQ(d, nullptr);
    EXPECT_EQ(e, nullptr);
}

} // namespace
