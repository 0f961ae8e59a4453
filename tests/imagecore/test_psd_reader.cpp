// PSD and PSB reader: probe slots and resources, the first-profile rule, PackBits and the
// bias-128 float decode, the channel decoder, and Manip::readPSD's bitmaps.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "imagecore/manip.h"
#include "imagecore/psd_reader.h"
#include "imagecore/records.h"
#include "platform/file_holder.h"
#include "tests/imagecore/reader_test_util.h"
#include "tests/support/fixtures.h"

using readertest::Infos;
using readertest::open_fds;
using readertest::pattern8;
using readertest::psd8;
using readertest::put;
using testsupport::Bytes;
using testsupport::PsdBuilder;
using testsupport::TempDir;

namespace {

testsupport::PsdResource resource(uint16_t id, Bytes data)
{
    return {id, "", std::move(data)};
}

// 1005 with horizontal resolution 300 (01 2C) and vertical 240 at data offset 8.
testsupport::PsdResource resolution_300_240()
{
    return resource(1005, {0x01, 0x2C, 0, 0, 0, 1, 0, 1, 0x00, 0xF0, 0, 0, 0, 1, 0, 1});
}

Infos probe(const std::string &path, int *result = nullptr)
{
    Infos info{};
    int r = getPsdInfo(path.c_str(), info.data());
    if (result)
        *result = r;
    return info;
}

} // namespace

TEST(Fget, BigEndianStreamReaders)
{
    platform::FilePtr f(std::tmpfile());
    ASSERT_TRUE(f);
    const uint8_t b[] = {0x01, 0x02, 0x01, 0x02, 0x03, 0x04, 1, 2, 3, 4, 5, 6, 7, 8};
    std::fwrite(b, 1, sizeof b, f.get());
    std::rewind(f.get());
    EXPECT_EQ(fget2m(f.get()), 0x0102);
    EXPECT_EQ(fget4m(f.get()), 0x01020304u);
    EXPECT_EQ(fget8m(f.get()), 0x0102030405060708ull);
    EXPECT_EQ(fget2m(f.get()), 0xFFFF); // past the end
}

TEST(PackbitsDecode, RunsStopAtThePlaneAndTheDataEnds)
{
    using imagecore::packbits_decode;
    const uint8_t src[] = {0xFE, 0xAA, 0x02, 0x01, 0x02, 0x03, 0x80};
    Bytes out(8, 0);
    size_t pos = 0;
    EXPECT_EQ(packbits_decode(src, sizeof src, pos, out.data(), out.size()), 6u);
    EXPECT_EQ(pos, 7u); // the no-op is consumed and writes nothing
    EXPECT_EQ(out, (Bytes{0xAA, 0xAA, 0xAA, 0x01, 0x02, 0x03, 0, 0}));
    // A repeat of 128 into a 5-byte plane is cut at the plane's end; the next plane goes on
    // after its source bytes.
    const uint8_t rep[] = {0x81, 0x55, 0x00, 0x77};
    pos = 0;
    EXPECT_EQ(packbits_decode(rep, sizeof rep, pos, out.data(), 5), 5u);
    EXPECT_EQ(pos, 2u);
    EXPECT_EQ(packbits_decode(rep, sizeof rep, pos, out.data() + 5, 1), 1u);
    EXPECT_EQ(out, (Bytes{0x55, 0x55, 0x55, 0x55, 0x55, 0x77, 0, 0}));
    // A literal of 128 with two bytes left stops at the data's end.
    const uint8_t lit[] = {0x7F, 0x01, 0x02};
    pos = 0;
    EXPECT_EQ(packbits_decode(lit, sizeof lit, pos, out.data(), out.size()), 2u);
    EXPECT_EQ(pos, 3u);
}

TEST(PsdFloatDecode, ExponentBias128HalvesEveryValue)
{
    const std::pair<std::array<uint8_t, 4>, float> cases[] = {
        {{0x3F, 0x80, 0, 0}, 0.5f},
        {{0, 0, 0, 0}, 0.0f},
        {{0x40, 0, 0, 0}, 1.0f},
        {{0xC0, 0x40, 0, 0}, -1.5f}, // IEEE 2 and -3
        {{0x80, 0, 0, 0}, -std::ldexp(1.0f, -128)},
    };
    for (const auto &[bytes, value] : cases)
        EXPECT_EQ(imagecore::psd_float_decode(bytes.data()), value) << value;
}

TEST(GetPsdInfo, FillsSlotsFromHeaderAndResources)
{
    TempDir dir;
    auto px = pattern8(5, 4, 4);
    PsdBuilder b = psd8(px, 5, 4); // RGB plus alpha is accepted
    b.colorModeData = {1, 2, 3};
    Bytes exif = {'M', 'M', 0, 42, 0, 0, 0, 8, 0, 0, 0, 0};
    // An odd-sized block first: its padding must be skipped.
    b.resources = {resource(1000, Bytes(13, 0x42)), resolution_300_240(),
                   resource(1039, testsupport::make_icc_profile(500, "psd")), resource(1058, exif)};
    int r;
    Infos info = probe(put(dir, "a.psd", b.build()), &r);
    const int layer = int(b.layer_mask_offset());
    EXPECT_EQ(r, layer);
    // The EXIF data's first byte: after the header, the colour-mode data, the resources' length
    // and the blocks before it, and the 1058 block's own 12 bytes.
    const int exifAt = 26 + 4 + 3 + 4 + (12 + 14) + (12 + 16) + (12 + 500) + 12;
    EXPECT_EQ(info, (Infos{5, 4, 8, 4, 300, 240, 500, layer, exifAt, 0, 0, 0, 0}));
}

TEST(GetPsdInfo, WalkStopsQuietlyAtABadBlock)
{
    TempDir dir;
    PsdBuilder b = psd8(pattern8(2, 2), 2, 2);
    b.resources = {resolution_300_240(), resource(1039, Bytes(40, 1))};
    Bytes sig = b.build(), size = sig;
    const size_t second = 26 + 4 + 4 + 12 + 16;
    ASSERT_EQ(sig[second], '8');
    sig[second] = 'X';       // the second block's signature broken
    size[second + 8] = 0x7F; // its size past the end of the resources
    for (const Bytes &file : {sig, size}) {
        int r;
        Infos info = probe(put(dir, "bad.psd", file), &r);
        EXPECT_EQ(r, int(b.layer_mask_offset()));
        EXPECT_EQ(info[kInfoXRes], 300);
        EXPECT_EQ(info[kInfoIccLength], 0);
    }
}

TEST(PsdProfile, TheFirstProfileForProbeAndCopyAndTheBuffersCapacity)
{
    TempDir dir;
    PsdBuilder b = psd8(pattern8(2, 2), 2, 2);
    const Bytes first = testsupport::make_icc_profile(900, "first");
    b.resources = {resource(1039, first), resource(1039, testsupport::make_icc_profile(300, "2"))};
    const std::string path = put(dir, "two.psd", b.build());
    ASSERT_EQ(probe(path)[kInfoIccLength], 900);
    std::vector<uint8_t> dest(900, 0xEE);
    EXPECT_EQ(psd_profile(path.c_str(), dest.data(), 899), -3);
    EXPECT_EQ(dest, std::vector<uint8_t>(900, 0xEE));
    EXPECT_EQ(psd_profile(path.c_str(), dest.data(), 900), 900);
    EXPECT_EQ(Bytes(dest.begin(), dest.end()), first);
    b.resources = {resolution_300_240()};
    EXPECT_EQ(psd_profile(put(dir, "n.psd", b.build()).c_str(), dest.data(), 900), 0);
}

TEST(GetPsdInfo, RefusesWrongFilesAndClosesThem)
{
    TempDir dir;
    const int before = open_fds();
    const auto px = pattern8(2, 2);
    PsdBuilder grey = psd8(px, 2, 2), two = grey, sig = grey, cut = grey;
    grey.mode = 1;
    two.channels = 2;
    sig.signature = "8BPX";
    cut.resources = {resolution_300_240()};
    Bytes c = cut.build();
    c.resize(26 + 4 + 4 + 10); // resources announced longer than the file
    const std::pair<Bytes, int> cases[] = {{grey.build(), -3},
                                           {two.build(), -3},
                                           {sig.build(), -2},
                                           {{'8', 'B'}, -1},
                                           {{'8', 'B', 'P', 'S', 0, 1}, -1},
                                           {c, -1}};
    uint8_t dest[16];
    for (const auto &[bytes, code] : cases) {
        const std::string path = put(dir, "x.psd", bytes);
        EXPECT_EQ(getPsdInfo(path.c_str(), Infos{}.data()), code) << bytes.size();
        if (bytes.size() > 26) {
            EXPECT_EQ(psd_profile(path.c_str(), dest, sizeof dest), code) << bytes.size();
        }
    }
    Infos info = probe(put(dir, "cut.psd", c));
    EXPECT_EQ(info[kInfoWidth], 2); // the header fields found before the failure stay
    EXPECT_EQ(getPsdInfo(dir.file("missing.psd").c_str(), Infos{}.data()), -1);
    EXPECT_EQ(psd_profile(dir.file("missing.psd").c_str(), dest, sizeof dest), -1);
    EXPECT_EQ(open_fds(), before);
}

namespace {

// Probes path and decodes it with the given order and row length.
int decode(const std::string &path, bool psb, int order, int rowLength, void *dest)
{
    Infos info = probe(path);
    info[kInfoPsdKind] = psb ? 64 : 32;
    return load_psd(order, path.c_str(), info.data(), rowLength, dest);
}

} // namespace

TEST(LoadPsd, BothFieldWidthsChannelOrderAndRowSurplus)
{
    TempDir dir;
    const uint32_t w = 7, h = 5;
    auto px = pattern8(w, h, 4);
    for (int version : {1, 2})
        for (int compression : {0, 1}) {
            SCOPED_TRACE(testing::Message() << "version " << version << " comp " << compression);
            PsdBuilder b;
            b.version = version;
            b.compression = compression;
            b.set_interleaved8(px.data(), w, h, 4);
            b.layerMask = {9, 9, 9, 9, 9};
            const std::string path = put(dir, "x.psd", b.build());
            // Order 0 reverses the channels; a row of 3 x 7 + 2 samples keeps its surplus.
            const size_t row = 3 * w + 2;
            std::vector<uint8_t> out(row * h, 0xCD), expected = out;
            for (size_t i = 0; i < size_t(w) * h; ++i)
                for (size_t k = 0; k < 3; ++k)
                    expected[i / w * row + i % w * 3 + k] = px[i * 4 + 2 - k];
            EXPECT_EQ(decode(path, version == 2, 0, int(row), out.data()), int(h));
            EXPECT_EQ(out, expected);
        }
}

TEST(LoadPsd, FloatDocumentBecomesRgbe)
{
    TempDir dir;
    // IEEE 1, 0.5, 0.25 read with the bias 128 are 0.5, 0.25, 0.125: largest 0.5 = 0.5 x 2^0,
    // so mantissas 128, 64, 32 and exponent 128. A black pixel gives four zeros.
    const float px[] = {1.0f, 0.5f, 0.25f, 0.0f, 0.0f, 0.0f};
    PsdBuilder b;
    b.set_interleaved32(px, 2, 1, 3);
    std::vector<uint8_t> out(8, 0x11);
    EXPECT_EQ(decode(put(dir, "f.psd", b.build()), false, 0, 999, out.data()), 1);
    EXPECT_EQ(out, (std::vector<uint8_t>{128, 0, 64, 0, 32, 0, 128, 0}));
    b.compression = 1;
    EXPECT_EQ(decode(put(dir, "r.psd", b.build()), false, 1, 0, out.data()), -2);
}

TEST(LoadPsd, RefusesBadArgumentsAndDamagedData)
{
    TempDir dir;
    const int before = open_fds();
    const uint32_t w = 6, h = 4;
    auto px = pattern8(w, h);
    std::vector<uint8_t> out(w * h * 3);
    PsdBuilder raw = psd8(px, w, h), rle = psd8(px, w, h, 1);
    const std::string path = put(dir, "ok.psd", raw.build());
    const Infos info = probe(path);
    const std::pair<int, int> bad[] = {
        {kInfoBits, 1},   {kInfoBits, 12},  {kInfoBits, 24},   {kInfoWidth, 0},
        {kInfoWidth, -5}, {kInfoHeight, 0}, {kInfoHeight, -5}, {kInfoLayerOffset, 1 << 30}};
    for (const auto &[slot, value] : bad) {
        Infos i = info;
        i[size_t(slot)] = value;
        EXPECT_EQ(load_psd(1, path.c_str(), i.data(), 0, out.data()), -1) << slot << " " << value;
    }
    EXPECT_EQ(load_psd(1, dir.file("missing.psd").c_str(), info.data(), 0, out.data()), -1);

    Bytes cut = raw.build(), rcut = rle.build(), table = rcut;
    cut.resize(cut.size() - 1);                    // raw planes cut short: a short read
    rcut.resize(rcut.size() - 3);                  // PackBits cut short: a plane left unfilled
    table.resize(rle.image_data_offset() + 2 + 5); // a byte-count table longer than the file
    EXPECT_EQ(decode(put(dir, "cut.psd", cut), false, 1, 0, out.data()), -1);
    EXPECT_EQ(decode(put(dir, "rcut.psd", rcut), false, 1, 0, out.data()), -3);
    EXPECT_EQ(decode(put(dir, "table.psd", table), false, 1, 0, out.data()), -3);
    // A PSD read with the large-document field widths.
    EXPECT_LT(decode(put(dir, "wrong.psd", rle.build()), true, 1, 0, out.data()), 0);

    // w x h x 2 past 2^32 (an int would overflow) with a few bytes of data: refused before the
    // plane is allocated.
    for (int compression : {0, 1}) {
        const std::string p = put(dir, "huge.psd", psd8(px, w, h, compression).build());
        Infos i = probe(p);
        i[kInfoWidth] = 1 << 30;
        i[kInfoHeight] = 2;
        i[kInfoBits] = 16;
        EXPECT_EQ(load_psd(1, p.c_str(), i.data(), 0, out.data()), compression ? -3 : -1);
    }
    EXPECT_EQ(open_fds(), before);
}

TEST(ManipReadPSD, EightAndSixteenBitRawAndPackBits)
{
    TempDir dir;
    const uint32_t w = 9, h = 7;
    const auto px8 = pattern8(w, h);
    std::vector<uint16_t> px16(px8.size());
    for (size_t i = 0; i < px16.size(); ++i)
        px16[i] = uint16_t(i * 2741 + 0x0102);
    for (int bits : {8, 16})
        for (int compression : {0, 1}) {
            PsdBuilder b;
            b.compression = compression;
            if (bits == 8)
                b.set_interleaved8(px8.data(), w, h, 3);
            else
                b.set_interleaved16(px16.data(), w, h, 3);
            const std::string path = put(dir, "img.psd", b.build());
            Infos dims = probe(path);
            platform::BitmapPtr bmp = Manip().readPSD(path, dims.data());
            ASSERT_TRUE(bmp) << bits << " " << compression;
            EXPECT_EQ((std::vector<int>{dims[kInfoPsdKind], bmp->pixelsWide(), bmp->pixelsHigh(),
                                        bmp->bitsPerSample(), bmp->samplesPerPixel(),
                                        bmp->bytesPerRow(), bmp->hasAlpha()}),
                      (std::vector<int>{32, int(w), int(h), bits, 3, int(3 * w) * bits / 8, 0}))
                << bits << " " << compression;
            EXPECT_EQ(bmp->colorSpaceName(), platform::kCalibratedRGBColorSpace);
            const void *expected = bits == 8 ? (const void *)px8.data() : px16.data();
            EXPECT_EQ(std::memcmp(bmp->bitmapData(), expected, px8.size() * size_t(bits / 8)), 0)
                << bits << " " << compression;
        }
}

TEST(ManipReadPSD, LargeDocumentExtensionIsCaseSensitive)
{
    TempDir dir;
    const uint32_t w = 5, h = 3;
    const auto px = pattern8(w, h);
    PsdBuilder psb = psd8(px, w, h, 1), psd = psb;
    psb.version = 2;
    psb.layerMask = {1, 2, 3};
    // Only "psb" and "PSB" read the large-document layout; a PSD so named reads normally.
    const std::pair<const char *, int> names[] = {{"doc.psb", 64}, {"doc.PSB", 64},
                                                  {"doc.Psb", 32}, {"doc.pSB", 32},
                                                  {"psb", 32},     {"doc.psb.psd", 32}};
    for (const auto &[name, kind] : names) {
        const std::string path = put(dir, name, (kind == 64 ? psb : psd).build());
        Infos dims = probe(path);
        platform::BitmapPtr bmp = Manip().readPSD(path, dims.data());
        EXPECT_EQ(dims[kInfoPsdKind], kind) << name;
        ASSERT_TRUE(bmp) << name;
        EXPECT_EQ(std::memcmp(bmp->bitmapData(), px.data(), px.size()), 0) << name;
    }
}

TEST(ManipReadPSD, RefusalsAndWhenTheKindIsSet)
{
    TempDir dir;
    const float fpx[] = {1, 2, 3, 4, 5, 6};
    PsdBuilder f;
    f.set_interleaved32(fpx, 2, 1, 3);
    const std::string path = put(dir, "float.psd", f.build());
    Infos dims = probe(path);
    ASSERT_EQ(dims[kInfoBits], 32);
    const Infos before = dims;
    EXPECT_FALSE(Manip().readPSD(path, dims.data())); // 32 bits: nil, dims untouched
    EXPECT_EQ(dims, before);

    for (int compression : {0, 1}) { // damaged pixels: nil with the kind set
        Bytes file = psd8(pattern8(8, 8), 8, 8, compression).build();
        file.resize(file.size() - 4);
        const std::string cut = put(dir, "cut.psd", file);
        dims = probe(cut);
        EXPECT_FALSE(Manip().readPSD(cut, dims.data()));
        EXPECT_EQ(dims[kInfoPsdKind], 32) << compression;
    }
    // Sides the bitmap cannot have leave dims alone; a missing file sets the kind.
    dims = Infos{0, 5, 8};
    EXPECT_FALSE(Manip().readPSD(dir.file("none.psd"), dims.data()));
    dims = Infos{1 << 30, 1 << 30, 8};
    EXPECT_FALSE(Manip().readPSD(dir.file("none.psd"), dims.data()));
    EXPECT_EQ(dims[kInfoPsdKind], 0);
    dims = Infos{4, 4, 8};
    EXPECT_FALSE(Manip().readPSD(dir.file("none.psd"), dims.data()));
    EXPECT_EQ(dims[kInfoPsdKind], 32);
}
