// PSD and PSB reader: probe slots and resources, the first-profile rule, PackBits and the
// bias-128 float decode, and the channel decoder on raw, PackBits and float documents.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "imagecore/file_holder.h"
#include "imagecore/psd_reader.h"
#include "imagecore/records.h"
#include "tests/imagecore/reader_test_util.h"
#include "tests/support/fixtures.h"

using readertest::Infos;
using readertest::open_fds;
using readertest::pattern8;
using readertest::psd8;
using readertest::put;
using testsupport::Bytes;
using testsupport::PsdBuilder;
using testsupport::PsdResource;
using testsupport::TempDir;

namespace {

std::vector<uint16_t> pattern16(uint32_t w, uint32_t h)
{
    std::vector<uint16_t> px(size_t(w) * h * 3);
    for (size_t i = 0; i < px.size(); ++i)
        px[i] = uint16_t(i * 2741 + 0x0102);
    return px;
}

PsdResource resource(uint16_t id, Bytes data)
{
    PsdResource r;
    r.id = id;
    r.data = std::move(data);
    return r;
}

// 1005 with horizontal resolution 300 (01 2C) and vertical 240 at data offset 8.
PsdResource resolution_300_240()
{
    return resource(1005, {0x01, 0x2C, 0, 0, 0, 1, 0, 1, 0x00, 0xF0, 0, 0, 0, 1, 0, 1});
}

Infos probe(const std::string &path, int *result)
{
    Infos info{};
    *result = getPsdInfo(path.c_str(), info.data());
    return info;
}

} // namespace

TEST(Fget, BigEndianStreamReaders)
{
    imagecore::FilePtr f(std::tmpfile());
    ASSERT_TRUE(f);
    const uint8_t b[] = {0x01, 0x02, 0x01, 0x02, 0x03, 0x04, 1, 2, 3, 4, 5, 6, 7, 8};
    std::fwrite(b, 1, sizeof b, f.get());
    std::rewind(f.get());
    EXPECT_EQ(fget2m(f.get()), 0x0102);
    EXPECT_EQ(fget4m(f.get()), 0x01020304u);
    EXPECT_EQ(fget8m(f.get()), 0x0102030405060708ull);
    EXPECT_EQ(fget2m(f.get()), 0xFFFF); // past the end
}

TEST(PackbitsDecode, RepeatLiteralAndNoOp)
{
    const uint8_t src[] = {0xFE, 0xAA, 0x02, 0x01, 0x02, 0x03, 0x80};
    // With room to spare, all seven bytes are consumed and the no-op writes nothing.
    uint8_t out[8] = {};
    size_t pos = 0;
    EXPECT_EQ(imagecore::packbits_decode(src, sizeof src, pos, out, sizeof out), 6u);
    EXPECT_EQ(pos, 7u);
    const uint8_t expected[] = {0xAA, 0xAA, 0xAA, 0x01, 0x02, 0x03};
    EXPECT_EQ(std::memcmp(out, expected, 6), 0);
    // A plane of exactly six bytes stops at its end.
    uint8_t six[6] = {};
    pos = 0;
    EXPECT_EQ(imagecore::packbits_decode(src, sizeof src, pos, six, sizeof six), 6u);
    EXPECT_EQ(std::memcmp(six, expected, 6), 0);
}

TEST(PackbitsDecode, StopsAtThePlaneAndTheDataEnds)
{
    // A repeat of 128 into a 5-byte plane: cut at the plane's end, its source bytes consumed.
    const uint8_t rep[] = {0x81, 0x55, 0x00, 0x77};
    uint8_t out[5] = {};
    size_t pos = 0;
    EXPECT_EQ(imagecore::packbits_decode(rep, sizeof rep, pos, out, sizeof out), 5u);
    EXPECT_EQ(pos, 2u);
    EXPECT_EQ(out[4], 0x55);
    // The next plane goes on from there.
    uint8_t next[1] = {};
    EXPECT_EQ(imagecore::packbits_decode(rep, sizeof rep, pos, next, 1), 1u);
    EXPECT_EQ(next[0], 0x77);

    // A literal of 128 announced with two bytes left; a repeat without its byte.
    const uint8_t lit[] = {0x7F, 0x01, 0x02};
    uint8_t big[200] = {};
    pos = 0;
    EXPECT_EQ(imagecore::packbits_decode(lit, sizeof lit, pos, big, sizeof big), 2u);
    EXPECT_EQ(pos, 3u);
    const uint8_t lone[] = {0xFF};
    pos = 0;
    EXPECT_EQ(imagecore::packbits_decode(lone, sizeof lone, pos, big, sizeof big), 0u);
    EXPECT_EQ(pos, 1u);
}

TEST(PsdFloatDecode, ExponentBias128HalvesEveryValue)
{
    const uint8_t one[] = {0x3F, 0x80, 0x00, 0x00};
    const uint8_t zero[] = {0, 0, 0, 0};
    const uint8_t negzero[] = {0x80, 0, 0, 0};
    const uint8_t two[] = {0x40, 0x00, 0x00, 0x00};
    const uint8_t half3[] = {0xC0, 0x40, 0x00, 0x00}; // IEEE -3
    EXPECT_EQ(imagecore::psd_float_decode(one), 0.5f);
    EXPECT_EQ(imagecore::psd_float_decode(zero), 0.0f);
    EXPECT_EQ(imagecore::psd_float_decode(negzero), -std::ldexp(1.0f, -128));
    EXPECT_EQ(imagecore::psd_float_decode(two), 1.0f);
    EXPECT_EQ(imagecore::psd_float_decode(half3), -1.5f);
}

TEST(GetPsdInfo, FillsSlotsFromHeaderAndResources)
{
    TempDir dir;
    auto px = pattern8(5, 4, 4);
    PsdBuilder b = psd8(px, 5, 4); // RGB plus alpha is accepted
    b.colorModeData = {1, 2, 3};
    Bytes icc = testsupport::make_icc_profile(500, "psd");
    Bytes exif = {'M', 'M', 0, 42, 0, 0, 0, 8, 0, 0, 0, 0};
    b.resources = {resolution_300_240(), resource(1039, icc), resource(1058, exif)};
    int r;
    Infos info = probe(put(dir, "a.psd", b.build()), &r);
    EXPECT_EQ(r, int(b.layer_mask_offset()));
    EXPECT_EQ(info[kInfoWidth], 5);
    EXPECT_EQ(info[kInfoHeight], 4);
    EXPECT_EQ(info[kInfoBits], 8);
    EXPECT_EQ(info[kInfoSamples], 4);
    EXPECT_EQ(info[kInfoXRes], 300);
    EXPECT_EQ(info[kInfoYRes], 240);
    EXPECT_EQ(info[kInfoIccLength], 500);
    EXPECT_EQ(info[kInfoLayerOffset], int(b.layer_mask_offset()));
    // The EXIF data's first byte: after the header, the colour-mode data, the resources' length,
    // two blocks and the 1058 block's own 12 bytes.
    size_t exifAt = 26 + 4 + 3 + 4 + (12 + 16) + (12 + 500) + 12;
    EXPECT_EQ(info[kInfoExifOffset], int(exifAt));
    EXPECT_EQ(info[kInfoPsdKind], 0);
}

TEST(GetPsdInfo, OddResourceSizeIsPadded)
{
    TempDir dir;
    auto px = pattern8(2, 2);
    PsdBuilder b = psd8(px, 2, 2);
    Bytes odd(13, 0x42);
    b.resources = {resource(1000, odd), resolution_300_240()};
    int r;
    Infos info = probe(put(dir, "odd.psd", b.build()), &r);
    EXPECT_GT(r, 0);
    EXPECT_EQ(info[kInfoXRes], 300);
}

TEST(GetPsdInfo, WalkStopsQuietlyAtABadBlock)
{
    TempDir dir;
    auto px = pattern8(2, 2);
    PsdBuilder b = psd8(px, 2, 2);
    b.resources = {resolution_300_240(), resource(1039, Bytes(40, 1))};
    Bytes file = b.build();
    // Break the second block's signature.
    size_t second = 26 + 4 + 0 + 4 + 12 + 16;
    ASSERT_EQ(file[second], '8');
    file[second] = 'X';
    int r;
    Infos info = probe(put(dir, "bad.psd", file), &r);
    EXPECT_EQ(r, int(b.layer_mask_offset()));
    EXPECT_EQ(info[kInfoXRes], 300);
    EXPECT_EQ(info[kInfoIccLength], 0);

    // A block whose size passes the end of the resources: not taken.
    Bytes big = b.build();
    size_t sizeField = second + 8;
    big[sizeField] = 0x7F;
    info = probe(put(dir, "big.psd", big), &r);
    EXPECT_EQ(r, int(b.layer_mask_offset()));
    EXPECT_EQ(info[kInfoIccLength], 0);
}

TEST(GetPsdInfo, FirstProfileResourceWinsForProbeAndCopy)
{
    TempDir dir;
    auto px = pattern8(2, 2);
    PsdBuilder b = psd8(px, 2, 2);
    Bytes first = testsupport::make_icc_profile(900, "first");
    Bytes second = testsupport::make_icc_profile(300, "second");
    b.resources = {resource(1039, first), resource(1039, second)};
    std::string path = put(dir, "two.psd", b.build());
    int r;
    Infos info = probe(path, &r);
    ASSERT_EQ(info[kInfoIccLength], 900);
    // A buffer of the length the probe reported receives the same (first) profile.
    std::vector<uint8_t> dest(static_cast<size_t>(info[kInfoIccLength]));
    EXPECT_EQ(psd_profile(path.c_str(), dest.data(), dest.size()), 900);
    EXPECT_EQ(Bytes(dest.begin(), dest.end()), first);
}

TEST(GetPsdInfo, RefusesWrongFilesAndClosesThem)
{
    TempDir dir;
    int before = open_fds();
    auto px = pattern8(2, 2);
    uint8_t dest[16];
    int r;

    PsdBuilder grey = psd8(px, 2, 2);
    grey.mode = 1;
    std::string g = put(dir, "grey.psd", grey.build());
    EXPECT_EQ(getPsdInfo(g.c_str(), Infos{}.data()), -3);
    EXPECT_EQ(psd_profile(g.c_str(), dest, sizeof dest), -3);

    PsdBuilder two = psd8(px, 2, 2);
    two.channels = 2;
    std::string t = put(dir, "two.psd", two.build());
    EXPECT_EQ(getPsdInfo(t.c_str(), Infos{}.data()), -3);
    EXPECT_EQ(psd_profile(t.c_str(), dest, sizeof dest), -3);

    PsdBuilder sig = psd8(px, 2, 2);
    sig.signature = "8BPX";
    std::string s = put(dir, "sig.psd", sig.build());
    EXPECT_EQ(getPsdInfo(s.c_str(), Infos{}.data()), -2);
    EXPECT_EQ(psd_profile(s.c_str(), dest, sizeof dest), -2);

    EXPECT_EQ(getPsdInfo(put(dir, "short.psd", {'8', 'B'}).c_str(), Infos{}.data()), -1);
    EXPECT_EQ(getPsdInfo(put(dir, "hdr.psd", {'8', 'B', 'P', 'S', 0, 1}).c_str(), Infos{}.data()),
              -1);
    EXPECT_EQ(getPsdInfo(dir.file("missing.psd").c_str(), Infos{}.data()), -1);
    EXPECT_EQ(psd_profile(dir.file("missing.psd").c_str(), dest, sizeof dest), -1);

    // Resources announced longer than the file.
    PsdBuilder cut = psd8(px, 2, 2);
    cut.resources = {resolution_300_240()};
    Bytes c = cut.build();
    c.resize(26 + 4 + 4 + 10);
    Infos info = probe(put(dir, "cut.psd", c), &r);
    EXPECT_EQ(r, -1);
    EXPECT_EQ(info[kInfoWidth], 2); // the header fields found before the failure stay
    EXPECT_EQ(info[kInfoIccLength], 0);
    EXPECT_EQ(open_fds(), before);
}

TEST(PsdProfile, CapacityAndMissingProfile)
{
    TempDir dir;
    auto px = pattern8(2, 2);
    PsdBuilder b = psd8(px, 2, 2);
    Bytes icc = testsupport::make_icc_profile(400, "p");
    b.resources = {resource(1039, icc)};
    std::string path = put(dir, "p.psd", b.build());
    std::vector<uint8_t> dest(400, 0xEE);
    EXPECT_EQ(psd_profile(path.c_str(), dest.data(), 399), -3);
    EXPECT_EQ(dest, std::vector<uint8_t>(400, 0xEE));
    EXPECT_EQ(psd_profile(path.c_str(), dest.data(), 400), 400);
    EXPECT_EQ(Bytes(dest.begin(), dest.end()), icc);

    PsdBuilder none = psd8(px, 2, 2);
    none.resources = {resolution_300_240()};
    EXPECT_EQ(psd_profile(put(dir, "n.psd", none.build()).c_str(), dest.data(), 400), 0);
}

namespace {

// Probes path and decodes it with the given order and row length.
int decode(const std::string &path, bool psb, int order, int rowLength, void *dest,
           Infos *infoOut = nullptr)
{
    Infos info{};
    if (getPsdInfo(path.c_str(), info.data()) < 1)
        return -100;
    info[kInfoPsdKind] = psb ? 64 : 32;
    if (infoOut)
        *infoOut = info;
    return load_psd(order, path.c_str(), info.data(), rowLength, dest);
}

} // namespace

TEST(LoadPsd, EightBitRawAndPackBitsInBothFieldWidths)
{
    TempDir dir;
    const uint32_t w = 7, h = 5;
    auto px = pattern8(w, h, 4);
    std::vector<uint8_t> rgb;
    for (size_t i = 0; i < px.size(); i += 4)
        rgb.insert(rgb.end(), {px[i], px[i + 1], px[i + 2]});
    for (int version : {1, 2})
        for (int compression : {0, 1}) {
            SCOPED_TRACE(testing::Message()
                         << "version " << version << " compression " << compression);
            PsdBuilder b;
            b.version = version;
            b.compression = compression;
            b.set_interleaved8(px.data(), w, h, 4);
            b.layerMask = {9, 9, 9, 9, 9};
            std::string path = put(dir, "x.psd", b.build());
            std::vector<uint8_t> out(rgb.size(), 0);
            EXPECT_EQ(decode(path, version == 2, 1, 0, out.data()), int(h));
            EXPECT_EQ(out, rgb);
        }
}

TEST(LoadPsd, ChannelOrderAndRowSurplus)
{
    TempDir dir;
    const uint32_t w = 3, h = 2;
    auto px = pattern8(w, h);
    PsdBuilder b = psd8(px, w, h);
    std::string path = put(dir, "o.psd", b.build());
    const int rowLength = 3 * int(w) + 2;
    std::vector<uint8_t> out(size_t(rowLength) * h, 0xCD);
    EXPECT_EQ(decode(path, false, 0, rowLength, out.data()), int(h));
    for (uint32_t y = 0; y < h; ++y) {
        for (uint32_t x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c)
                EXPECT_EQ(out[y * size_t(rowLength) + 3 * x + size_t(c)],
                          px[(y * w + x) * 3 + size_t(2 - c)]);
        EXPECT_EQ(out[y * size_t(rowLength) + 9], 0xCD); // surplus untouched
        EXPECT_EQ(out[y * size_t(rowLength) + 10], 0xCD);
    }
}

TEST(LoadPsd, SixteenBitSamplesInHostOrder)
{
    TempDir dir;
    const uint32_t w = 4, h = 3;
    auto px = pattern16(w, h);
    for (int compression : {0, 1}) {
        SCOPED_TRACE(compression);
        PsdBuilder b;
        b.compression = compression;
        b.set_interleaved16(px.data(), w, h, 3);
        std::string path = put(dir, "s.psd", b.build());
        std::vector<uint16_t> out(px.size());
        EXPECT_EQ(decode(path, false, 1, 0, out.data()), int(h));
        EXPECT_EQ(out, px);
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
    std::string path = put(dir, "f.psd", b.build());
    uint8_t out[8];
    std::memset(out, 0x11, sizeof out);
    EXPECT_EQ(decode(path, false, 0, 999, out), 1);
    const uint8_t expected[] = {128, 0, 64, 0, 32, 0, 128, 0};
    EXPECT_EQ(std::memcmp(out, expected, sizeof out), 0);

    b.compression = 1;
    std::string rle = put(dir, "r.psd", b.build());
    EXPECT_EQ(decode(rle, false, 1, 0, out), -2);
}

TEST(LoadPsd, RefusesBadArgumentsAndDamagedData)
{
    TempDir dir;
    int before = open_fds();
    const uint32_t w = 6, h = 4;
    auto px = pattern8(w, h);
    std::vector<uint8_t> out(w * h * 3);

    PsdBuilder raw = psd8(px, w, h);
    std::string path = put(dir, "ok.psd", raw.build());
    Infos info{};
    ASSERT_GT(getPsdInfo(path.c_str(), info.data()), 0);
    for (int bits : {1, 12, 24}) {
        Infos i = info;
        i[kInfoBits] = bits;
        EXPECT_EQ(load_psd(1, path.c_str(), i.data(), 0, out.data()), -1);
    }
    for (int side : {kInfoWidth, kInfoHeight}) {
        Infos i = info;
        i[side] = 0;
        EXPECT_EQ(load_psd(1, path.c_str(), i.data(), 0, out.data()), -1);
        i[side] = -5;
        EXPECT_EQ(load_psd(1, path.c_str(), i.data(), 0, out.data()), -1);
    }
    Infos farOffset = info;
    farOffset[kInfoLayerOffset] = 1 << 30;
    EXPECT_EQ(load_psd(1, path.c_str(), farOffset.data(), 0, out.data()), -1);
    EXPECT_EQ(load_psd(1, dir.file("missing.psd").c_str(), info.data(), 0, out.data()), -1);

    // Raw planes cut short: a short read.
    Bytes cut = raw.build();
    cut.resize(cut.size() - 1);
    EXPECT_EQ(decode(put(dir, "cut.psd", cut), false, 1, 0, out.data()), -1);

    // PackBits data cut short: a plane left unfilled.
    PsdBuilder rle = psd8(px, w, h, 1);
    Bytes rcut = rle.build();
    rcut.resize(rcut.size() - 3);
    EXPECT_EQ(decode(put(dir, "rcut.psd", rcut), false, 1, 0, out.data()), -3);
    // A byte-count table longer than the file.
    Bytes table = rle.build();
    table.resize(rle.image_data_offset() + 2 + 5);
    EXPECT_EQ(decode(put(dir, "table.psd", table), false, 1, 0, out.data()), -3);
    // A PSD read with the large-document field widths.
    EXPECT_LT(decode(put(dir, "wrong.psd", rle.build()), true, 1, 0, out.data()), 0);
    EXPECT_EQ(open_fds(), before);
}

TEST(LoadPsd, AbsurdSizeIsRefusedBeforeAllocating)
{
    TempDir dir;
    auto px = pattern8(2, 2);
    uint8_t dummy[16];
    for (int compression : {0, 1}) {
        SCOPED_TRACE(compression);
        PsdBuilder b = psd8(px, 2, 2, compression);
        std::string path = put(dir, "huge.psd", b.build());
        Infos info{};
        ASSERT_GT(getPsdInfo(path.c_str(), info.data()), 0);
        // w x h x 2 passes 2^32 (an int would overflow), and the few bytes of data cannot hold
        // it: refused without allocating the plane.
        info[kInfoWidth] = 1 << 30;
        info[kInfoHeight] = 2;
        info[kInfoBits] = 16;
        EXPECT_EQ(load_psd(1, path.c_str(), info.data(), 0, dummy), compression ? -3 : -1);
    }
}
