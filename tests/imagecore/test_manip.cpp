// Manip::readPSD: bitmaps from 8- and 16-bit PSD files, the case-sensitive large-document
// extension rule, and the refusals.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "imagecore/manip.h"
#include "imagecore/psd_reader.h"
#include "imagecore/records.h"
#include "tests/imagecore/reader_test_util.h"
#include "tests/support/fixtures.h"

using readertest::Infos;
using readertest::pattern8;
using readertest::psd8;
using readertest::put;
using testsupport::Bytes;
using testsupport::PsdBuilder;
using testsupport::TempDir;

namespace {

Infos probe(const std::string &path)
{
    Infos info{};
    EXPECT_GT(getPsdInfo(path.c_str(), info.data()), 0) << path;
    return info;
}

} // namespace

TEST(ManipReadPSD, SixteenBitThreeByTwo)
{
    TempDir dir;
    std::vector<uint16_t> px(3 * 2 * 3);
    for (size_t i = 0; i < px.size(); ++i)
        px[i] = uint16_t(0x1000 * i + 0x00FF);
    PsdBuilder b;
    b.set_interleaved16(px.data(), 3, 2, 3);
    std::string path = put(dir, "img.psd", b.build());
    Infos dims = probe(path);
    platform::BitmapPtr bmp = Manip().readPSD(path, dims.data());
    ASSERT_TRUE(bmp);
    EXPECT_EQ(bmp->pixelsWide(), 3);
    EXPECT_EQ(bmp->pixelsHigh(), 2);
    EXPECT_EQ(bmp->bitsPerSample(), 16);
    EXPECT_EQ(bmp->samplesPerPixel(), 3);
    EXPECT_EQ(bmp->bitsPerPixel(), 48);
    EXPECT_EQ(bmp->bytesPerRow(), 18);
    EXPECT_FALSE(bmp->hasAlpha());
    EXPECT_FALSE(bmp->isPlanar());
    EXPECT_EQ(bmp->colorSpaceName(), platform::kCalibratedRGBColorSpace);
    EXPECT_EQ(dims[kInfoPsdKind], 32);
    EXPECT_EQ(std::memcmp(bmp->bitmapData(), px.data(), px.size() * 2), 0);
}

TEST(ManipReadPSD, EightBitRawAndPackBits)
{
    TempDir dir;
    const uint32_t w = 9, h = 7;
    auto px = pattern8(w, h);
    for (int compression : {0, 1}) {
        SCOPED_TRACE(compression);
        PsdBuilder b = psd8(px, w, h, compression);
        std::string path = put(dir, "img.psd", b.build());
        Infos dims = probe(path);
        platform::BitmapPtr bmp = Manip().readPSD(path, dims.data());
        ASSERT_TRUE(bmp);
        EXPECT_EQ(bmp->bitsPerSample(), 8);
        EXPECT_EQ(bmp->bytesPerRow(), int(3 * w));
        EXPECT_EQ(std::memcmp(bmp->bitmapData(), px.data(), px.size()), 0);
    }
}

TEST(ManipReadPSD, LargeDocumentExtensionIsCaseSensitive)
{
    TempDir dir;
    const uint32_t w = 5, h = 3;
    auto px = pattern8(w, h);
    PsdBuilder psb;
    psb.version = 2;
    psb.compression = 1;
    psb.layerMask = {1, 2, 3};
    psb.set_interleaved8(px.data(), w, h, 3);
    for (const char *name : {"doc.psb", "doc.PSB"}) {
        SCOPED_TRACE(name);
        std::string path = put(dir, name, psb.build());
        Infos dims = probe(path);
        platform::BitmapPtr bmp = Manip().readPSD(path, dims.data());
        EXPECT_EQ(dims[kInfoPsdKind], 64);
        ASSERT_TRUE(bmp);
        EXPECT_EQ(std::memcmp(bmp->bitmapData(), px.data(), px.size()), 0);
    }
    // Any other capitalisation counts as a PSD: a PSD file so named reads normally.
    PsdBuilder psd = psd8(px, w, h, 1);
    for (const char *name : {"doc.Psb", "doc.pSB", "psb", "doc.psb.psd"}) {
        SCOPED_TRACE(name);
        std::string path = put(dir, name, psd.build());
        Infos dims = probe(path);
        platform::BitmapPtr bmp = Manip().readPSD(path, dims.data());
        EXPECT_EQ(dims[kInfoPsdKind], 32);
        ASSERT_TRUE(bmp);
        EXPECT_EQ(std::memcmp(bmp->bitmapData(), px.data(), px.size()), 0);
    }
}

TEST(ManipReadPSD, RefusesOtherDepthsWithoutTouchingDims)
{
    TempDir dir;
    const float px[] = {1, 2, 3, 4, 5, 6};
    PsdBuilder b;
    b.set_interleaved32(px, 2, 1, 3);
    std::string path = put(dir, "float.psd", b.build());
    Infos dims = probe(path);
    ASSERT_EQ(dims[kInfoBits], 32);
    const Infos before = dims;
    EXPECT_FALSE(Manip().readPSD(path, dims.data()));
    EXPECT_EQ(dims, before);
    dims[kInfoBits] = 1;
    EXPECT_FALSE(Manip().readPSD(path, dims.data()));
    EXPECT_EQ(dims[kInfoPsdKind], 0);
}

TEST(ManipReadPSD, DamagedPixelsGiveNullWithKindSet)
{
    TempDir dir;
    const uint32_t w = 8, h = 8;
    auto px = pattern8(w, h);
    for (int compression : {0, 1}) {
        SCOPED_TRACE(compression);
        PsdBuilder b = psd8(px, w, h, compression);
        Bytes file = b.build();
        file.resize(file.size() - 4);
        std::string path = put(dir, "cut.psd", file);
        Infos dims = probe(path);
        EXPECT_FALSE(Manip().readPSD(path, dims.data()));
        EXPECT_EQ(dims[kInfoPsdKind], 32);
    }
    // Sides the bitmap cannot have.
    Infos dims{};
    dims[kInfoWidth] = 0;
    dims[kInfoHeight] = 5;
    dims[kInfoBits] = 8;
    EXPECT_FALSE(Manip().readPSD(dir.file("none.psd"), dims.data()));
    dims[kInfoWidth] = 1 << 30;
    dims[kInfoHeight] = 1 << 30;
    EXPECT_FALSE(Manip().readPSD(dir.file("none.psd"), dims.data()));
    // A missing file.
    dims[kInfoWidth] = 4;
    dims[kInfoHeight] = 4;
    EXPECT_FALSE(Manip().readPSD(dir.file("none.psd"), dims.data()));
    EXPECT_EQ(dims[kInfoPsdKind], 32);
}
