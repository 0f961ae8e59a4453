// MetaData: relative exposures (getEV), the usable-exposure test (scanExif), the in-memory EXIF
// reader (getMetaData / getExifTags) and relativeEVfromExifBuf.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "imagecore/byte_order.h"
#include "metadata/exif_records.h"
#include "metadata/metadata_class.h"
#include "tests/metadata/exif_test_util.h"

using namespace exiftest;
using platform::Data;
using platform::DataPtr;
using testsupport::TiffBuilder;

namespace {

Records exposure(int32_t num, int32_t den, int32_t fNum = 0, int32_t fDen = 0, int32_t iso = 0)
{
    Records r;
    const int32_t s[] = {num, den, fNum, fDen, 0, iso};
    std::memcpy(r.exif, s, sizeof s);
    return r;
}
DataPtr data(const Records &r)
{
    return Data::copy(r.exif, sizeof r.exif);
}

std::vector<float> deltas(const platform::DataArray &records)
{
    DataPtr d = MetaData().getEV(records);
    std::vector<float> out(records.size(), -1);
    EXPECT_TRUE(d && d->length() == records.size() * 4);
    if (d && d->length() == records.size() * 4)
        d->getBytes(out.data(), d->length());
    return out;
}

std::vector<int32_t> meta(const Bytes &bytes)
{
    std::vector<int32_t> out(kExifBufCount, -1);
    DataPtr rec = MetaData().getMetaData(Data::copy(bytes.data(), bytes.size()));
    EXPECT_TRUE(rec && rec->length() == size_t(kExifBufBytes));
    if (rec && rec->length() == size_t(kExifBufBytes))
        rec->getBytes(out.data(), kExifBufBytes);
    return out;
}
std::string text_slot(const std::vector<int32_t> &s, int slot, size_t bytes)
{
    const char *p = reinterpret_cast<const char *>(&s[size_t(slot)]);
    return std::string(p, strnlen(p, bytes));
}

// A small JPEG whose first APP1 holds the TIFF structure.
Bytes in_jpeg(const Bytes &tiff)
{
    return jpeg_with({testsupport::make_exif_app1(tiff)});
}

} // namespace

TEST(MetaDataGetEV, RatiosDefaultsAndOffsets)
{
    std::vector<float> d =
        deltas({data(exposure(1, 250, 56, 10, 200)), data(exposure(1, 60, 56, 10, 200)),
                data(exposure(1, 15, 56, 10, 200))});
    // The 1 : 4.17 : 16.7 ratio; single-precision quotients are a few ulps off.
    EXPECT_NEAR(d[1] / d[0], 250.0 / 60.0, 1e-5);
    EXPECT_NEAR(d[2] / d[0], 250.0 / 15.0, 1e-4);

    Records plus = exposure(0, 0), minus = exposure(0, 0);
    plus.exif[kExifExposureOffset] = 1000;
    minus.exif[kExifExposureOffset] = -2000;
    d = deltas({data(exposure(0, 0)), data(exposure(1, 100)), data(plus), data(minus),
                data(exposure(1, 0)), data(exposure(0, 5)), data(exposure(1, 60, 4, 1, 200)),
                nullptr, Data::copy("\1", 1)});
    ASSERT_EQ(d.size(), 9u);
    EXPECT_EQ(d[0], 1.0f);            // no data at all: 2^0
    EXPECT_NEAR(d[1], 0.32258, 1e-5); // 0.01 x 100 x 20.64516 / 8^2, to the digits given
    EXPECT_FLOAT_EQ(d[2], 2.0f);      // one stop more
    EXPECT_FLOAT_EQ(d[3], 0.25f);     // two stops less
    EXPECT_EQ(d[4], 0.0f);            // a numerator without a denominator
    EXPECT_EQ(d[5], 0.0f);
    EXPECT_NEAR(d[6], 1.0 / 60 * 200 * 20.64516 / 16, 1e-5); // single-precision product
    EXPECT_EQ(d[7], 1.0f);                                   // a null record reads as zeros
    EXPECT_EQ(d[8], 0.0f); // a 1-byte record: (1, 0) after zero-filling
    EXPECT_EQ(deltas({}).size(), 0u);
}

TEST(MetaDataScanExif, Cases)
{
    MetaData m;
    Records text = exposure(1, 250);
    text.exif[kExifSourceFlag] = 2;
    EXPECT_EQ(m.scanExif(data(exposure(1, 0))), 0);
    EXPECT_EQ(m.scanExif(data(exposure(0, 250))), 0);
    EXPECT_EQ(m.scanExif(data(exposure(1, 250))), 1);
    EXPECT_EQ(m.scanExif(data(text)), 2);
    text.exif[kExifExposureDen] = 0;
    EXPECT_EQ(m.scanExif(data(text)), 0);
    EXPECT_EQ(m.scanExif(nullptr), 0);
}

TEST(RelativeEVfromExifBuf, Cases)
{
    const struct {
        Records r;
        int rc;
        float v;
    } cases[] = {{exposure(1, 50, 4, 1, 200), 1, 0.25f},
                 {exposure(1, 50), 1, 0.02f}, // no f-number or ISO: the time alone
                 {exposure(1, 0), 0, 0.0f},
                 {exposure(-1, 50), 0, -0.02f}};
    for (const auto &c : cases) {
        float v = -1;
        EXPECT_EQ(relativeEVfromExifBuf(c.r.exif, &v), c.rc);
        EXPECT_FLOAT_EQ(v, c.v);
    }
    float v = 0;
    EXPECT_EQ(relativeEVfromExifBuf(nullptr, &v), 0);
    EXPECT_EQ(relativeEVfromExifBuf(exposure(1, 50).exif, nullptr), 0);
}

TEST(MetaDataGetMetaData, JpegAndBareBlocksInBothByteOrders)
{
    const Bytes thumb = {0xFF, 0xD8, 0x55, 0x66, 0xFF, 0xD9};
    for (bool big : {false, true}) {
        TiffBuilder t(big);
        size_t ifd0 = t.add_ifd(), e = t.add_ifd(false), ifd1 = t.add_ifd();
        t.add_ifd_pointer(ifd0, 34665, e);
        t.add_ascii(ifd0, 272, "Zenit Model");
        t.add_ascii(e, 36867, "2021:02:03 04:05:06");
        add_tags(t, e,
                 {{33434, 'R', 1, 200},
                  {33437, 'R', 56, 10},
                  {34855, 'S', 400, 0},
                  {41493, 'R', 800, 1}, // ISO already set: ignored
                  {37386, 'R', 35, 1},
                  {41486, 'R', 4000, 3},
                  {41488, 'S', 3, 0},
                  {41989, 'S', 52, 0}});
        add_tags(t, ifd1, {{513, 'L', int32_t(t.add_blob(thumb)), 0}, {514, 'L', 6, 0}});
        Bytes tiff = t.build();
        tiff.insert(tiff.end(), 16, 0); // the walker keeps 16 bytes from the end free of IFDs
        for (const Bytes &in : {in_jpeg(tiff), tiff}) {
            std::vector<int32_t> s = meta(in);
            EXPECT_EQ(
                std::vector<int32_t>(s.begin(), s.begin() + 16),
                std::vector<int32_t>({1, 200, 56, 10, 0, 400, 0, 0, 0, 0, 35, 1, 52, 4000, 3, 3}))
                << big;
            EXPECT_EQ(text_slot(s, kExifModel, 64), "Zenit Model");
            EXPECT_EQ(text_slot(s, kExifDateTime, 20), "2021:02:03 04:05:06");
            ASSERT_EQ(s[kExifThumbLength], 6);
            ASSERT_GT(s[kExifThumbOffset], 0);
            EXPECT_TRUE(std::equal(thumb.begin(), thumb.end(), in.begin() + s[kExifThumbOffset]));
        }
    }
}

TEST(MetaDataGetMetaData, ApexTagsTypesAndTexts)
{
    const struct {
        std::vector<Tag> tags;
        std::vector<int32_t> head; // slots 0..5
    } cases[] = {
        {{{37377, 'X', 6, 1}}, {1, 64, 0, 0, 0, 0}},                      // Tv 6: 1/64 s
        {{{37377, 'X', -20, 10}}, {4, 1, 0, 0, 0, 0}},                    // Tv -2: 4 s
        {{{37377, 'X', 6, 1}, {33434, 'R', 1, 50}}, {1, 50, 0, 0, 0, 0}}, // ExposureTime wins
        {{{37378, 'R', 5, 1}}, {0, 0, 565, 100, 0, 0}},                   // Av 5: f/5.657
        {{{37378, 'R', 5, 1}, {33437, 'R', 8, 1}, {37381, 'R', 3, 1}}, {0, 0, 8, 1, 0, 0}},
        {{{41493, 'R', 640, 2}}, {0, 0, 0, 0, 0, 320}}, // ExposureIndex alone gives the ISO
        // Wrong types are skipped: ISO as LONG, ExposureTime as SRATIONAL, Tv as RATIONAL.
        {{{34855, 'L', 400, 0}, {33434, 'X', 1, 60}, {37377, 'R', 6, 1}}, {0, 0, 0, 0, 0, 0}},
    };
    for (const auto &c : cases) {
        std::vector<int32_t> s = meta(in_jpeg(exif_tags(c.tags)));
        EXPECT_EQ(std::vector<int32_t>(s.begin(), s.begin() + 6), c.head) << c.tags[0].tag;
    }
    // A Model count of 100 gives 63 characters; four bytes or fewer sit in the entry; a Model
    // that is not ASCII is skipped.
    const struct {
        uint16_t type;
        uint32_t count;
        std::string data, expected;
    } models[] = {{2, 100, std::string(100, 'M'), std::string(63, 'M')},
                  {2, 3, std::string("E9", 3), "E9"},
                  {7, 6, std::string("ABCDE", 6), ""}};
    for (const auto &m : models) {
        TiffBuilder t;
        t.add_entry(t.add_ifd(), 272, m.type, m.count, bytes_of(m.data));
        EXPECT_EQ(text_slot(meta(in_jpeg(t.build())), kExifModel, 64), m.expected);
    }
}

TEST(MetaDataGetMetaData, EachCallStartsFreshOnEveryThread)
{
    MetaData m;
    Bytes rich = in_jpeg(exif_tags({{34855, 'S', 800, 0}, {37377, 'X', 5, 1}}));
    Bytes poor = in_jpeg(exif_tags({{41989, 'S', 28, 0}}));
    const std::vector<Bytes> inputs = {rich, poor};
    const std::vector<std::vector<int32_t>> expected = {meta(rich), meta(poor)};
    EXPECT_EQ(expected[0][kExifIso], 800);
    EXPECT_EQ(expected[0][1], 32);
    std::vector<int32_t> poorExpected(kExifBufCount, 0);
    poorExpected[kExifFocal35] = 28;
    EXPECT_EQ(expected[1], poorExpected); // nothing left over from the rich read

    // Concurrent reads on 8 threads give what one thread gives.
    std::vector<int> failures(8, 0);
    std::vector<std::thread> threads;
    for (int k = 0; k < 8; ++k)
        threads.emplace_back([&, k] {
            for (int rep = 0; rep < 200; ++rep) {
                const size_t i = size_t((k + rep) % 2);
                std::vector<int32_t> got(kExifBufCount);
                m.getMetaData(Data::copy(inputs[i].data(), inputs[i].size()))
                    ->getBytes(got.data(), kExifBufBytes);
                failures[size_t(k)] += got != expected[i];
            }
        });
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(failures, std::vector<int>(8, 0));
}

TEST(MetaDataGetMetaData, HostileData)
{
    MetaData m;
    EXPECT_EQ(m.getMetaData(nullptr), nullptr);
    const std::vector<int32_t> zero(kExifBufCount, 0);
    EXPECT_EQ(meta({}), zero);
    EXPECT_EQ(meta({0xE1}), zero);
    EXPECT_EQ(meta({'I', 'I', 42, 0, 8, 0, 0, 0}), zero);

    // A chain that loops on itself, and an IFD1 that leads back to IFD0, end.
    for (bool backToZero : {false, true}) {
        TiffBuilder t;
        size_t ifd0 = t.add_ifd(), e = t.add_ifd(false), ifd1 = t.add_ifd();
        t.add_ifd_pointer(ifd0, 34665, e);
        t.add_rationals(e, 33434, {{1, 8}});
        t.add_longs(ifd1, 514, {0});
        t.set_next_to(ifd1, backToZero ? ifd0 : ifd1);
        EXPECT_EQ(meta(in_jpeg(t.build()))[1], 8);
    }
    // Data offsets outside the object are skipped.
    TiffBuilder t;
    size_t ifd0 = t.add_ifd(), e = t.add_ifd(false);
    t.add_ifd_pointer(ifd0, 34665, e);
    t.add_entry_at(e, 33434, testsupport::kTiffRational, 1, 0x7FFFFFF0u);
    t.add_entry_at(ifd0, 272, testsupport::kTiffAscii, 40, 0xFFFFFFF0u);
    t.add_entry_at(ifd0, 34665, testsupport::kTiffLong, 1, 0x7FFFFFF0u);
    EXPECT_EQ(meta(in_jpeg(t.build())), zero);

    // Every truncation and every corrupted byte of a valid JPEG reads without fault.
    TiffBuilder c;
    size_t c0 = c.add_ifd(), ce = c.add_ifd(false);
    c.add_ifd_pointer(c0, 34665, ce);
    c.add_ascii(c0, 272, "Camera");
    add_tags(c, ce, {{33434, 'R', 1, 125}, {37377, 'X', 7, 1}});
    const Bytes jpeg = in_jpeg(c.build());
    for (size_t n = 0; n <= jpeg.size(); n += 3)
        EXPECT_TRUE(m.getMetaData(Data::copy(jpeg.data(), n))) << n;
    for (size_t i = 0; i < 400 && i < jpeg.size(); ++i) {
        Bytes bad = jpeg;
        bad[i] = 0xFF;
        EXPECT_EQ(reinterpret_cast<const char *>(&meta(bad)[kExifModel])[63], 0) << i;
    }
}

TEST(MetaDataGetExifTags, ReadsOnlyInsideTheBlock)
{
    MetaData m;
    // One entry (ExposureTime, RATIONAL) whose value at 14 fills the block's last 8 bytes.
    uint8_t block[] = {1, 0, 0x9A, 0x82, 5, 0, 1, 0, 0, 0, 14, 0, 0, 0, 1, 0, 0, 0, 30, 0, 0, 0};
    MetaDataParseState st, st2;
    EXPECT_EQ(m.getExifTags(0, block, sizeof block, 1, 0, st), 0);
    EXPECT_EQ(st.denExposure, 30);
    // One byte short: the rational is not read; entries past the block are not either.
    EXPECT_EQ(m.getExifTags(0, block, sizeof block - 1, 5, 0, st2), 0);
    EXPECT_EQ(m.getExifTags(-100, block, sizeof block, 3, 0, st2), 0);
    EXPECT_EQ(m.getExifTags(0, nullptr, 10, 3, 0, st2), 0);
    EXPECT_EQ(st2.numExposure, 0);
    // The Exif IFD pointer is returned.
    imagecore::put_le16(block + 2, 34665);
    imagecore::put_le32(block + 10, 1234);
    EXPECT_EQ(m.getExifTags(0, block, sizeof block, 1, 0, st2), 1234);
}
