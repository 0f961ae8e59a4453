#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "imagecore/byte_order.h"
#include "metadata/exif_block.h"
#include "metadata/exif_records.h"
#include "tests/metadata/exif_test_util.h"

using exiftest::Entry;
using exiftest::find;
using exiftest::full_records;
using exiftest::read_ifd;
using exiftest::Records;
using exiftest::text_of;
using imagecore::read_le16;
using imagecore::read_le32;

namespace {

struct Block {
    int result = 0;
    metadata::ExifCounts c;
    std::vector<uint8_t> bytes;
};

// Counts, then writes into a zero-filled buffer of the size the counts give (plus a guard
// area that must stay untouched).
Block make_block(const Records &r, int orientation)
{
    Block b;
    int n = get_exif_count(r.exif, &b.c.exifCount, &b.c.exifDataLen, r.gps, &b.c.gpsCount,
                           &b.c.gpsDataLen, &b.c.modelLen, &b.c.datetimeLen, &b.c.gpsDateLen,
                           &b.c.lensLen);
    EXPECT_EQ(n, b.c.exifCount + b.c.gpsCount);
    b.bytes.assign(1024, 0);
    b.result =
        write_exif_buf(b.c.exifCount, b.c.exifDataLen, b.c.gpsCount, b.c.gpsDataLen, b.c.modelLen,
                       b.c.datetimeLen, b.c.gpsDateLen, orientation, r.exif, r.gps, b.bytes.data());
    if (b.result > 0) {
        for (size_t i = size_t(b.result); i < b.bytes.size(); ++i)
            EXPECT_EQ(b.bytes[i], 0) << "byte past the block at " << i;
        b.bytes.resize(size_t(b.result));
    }
    return b;
}

} // namespace

TEST(WriteExifBuf, ExposureApertureIsoGiveThe96ByteBlock)
{
    Records r;
    r.exif[kExifExposureNum] = 100;
    r.exif[kExifExposureDen] = 10000;
    r.exif[kExifFNumberNum] = 800;
    r.exif[kExifFNumberDen] = 100;
    r.exif[kExifIso] = 200;
    Block b = make_block(r, 1);
    EXPECT_EQ(b.c.exifCount, 3);
    EXPECT_EQ(b.c.exifDataLen, 16);
    EXPECT_EQ(b.c.gpsCount, 0);
    EXPECT_EQ(b.c.gpsDataLen, 0);
    EXPECT_EQ(b.c.modelLen, 0);
    ASSERT_EQ(b.result, 96);

    const std::vector<uint8_t> expected = {
        'I',  'I',  42, 0, 8,    0,    0, 0,               // header
        2,    0,                                           // IFD0: Orientation, Exif pointer
        0x12, 0x01, 3,  0, 1,    0,    0, 0, 1,   0, 0, 0, // 274 SHORT 1 = 1
        0x69, 0x87, 4,  0, 1,    0,    0, 0, 38,  0, 0, 0, // 34665 LONG 1 -> 38
        0,    0,    0,  0,                                 // next IFD
        3,    0,                                           // Exif IFD at 38
        0x9a, 0x82, 5,  0, 1,    0,    0, 0, 80,  0, 0, 0, // 33434 RATIONAL -> 80
        0x9d, 0x82, 5,  0, 1,    0,    0, 0, 88,  0, 0, 0, // 33437 RATIONAL -> 88
        0x27, 0x88, 3,  0, 1,    0,    0, 0, 200, 0, 0, 0, // 34855 SHORT 200
        0,    0,    0,  0,                                 // next IFD
        100,  0,    0,  0, 0x10, 0x27, 0, 0,               // 100 / 10000
        0x20, 0x03, 0,  0, 100,  0,    0, 0,               // 800 / 100
    };
    EXPECT_EQ(b.bytes, expected);
}

TEST(WriteExifBuf, NothingButOrientationIsRefused)
{
    Records r;
    r.exif[kExifExposureNum] = 100; // a pair with a zero denominator is absent
    r.gpsBytes()[kGpsAltRefByte] = 0;
    Block b = make_block(r, 6);
    EXPECT_EQ(b.c.exifCount + b.c.gpsCount + b.c.modelLen, 0);
    EXPECT_EQ(b.result, -1);
    for (uint8_t v : b.bytes)
        ASSERT_EQ(v, 0); // nothing written

    int counts[8];
    EXPECT_EQ(get_exif_count(nullptr, &counts[0], &counts[1], nullptr, &counts[2], &counts[3],
                             &counts[4], &counts[5], &counts[6], &counts[7]),
              0);
}

TEST(WriteExifBuf, OrientationOutsideOneToEightIsWrittenAsOne)
{
    Records r;
    r.exif[kExifIso] = 100;
    for (auto [given, written] : {std::pair{0, 1}, {9, 1}, {-3, 1}, {6, 6}, {8, 8}, {1, 1}}) {
        Block b = make_block(r, given);
        ASSERT_GT(b.result, 0);
        std::optional<Entry> o = find(read_ifd(b.bytes, 8), 274);
        ASSERT_TRUE(o.has_value());
        EXPECT_EQ(read_le16(o->field), written) << "orientation " << given;
        EXPECT_EQ(read_le16(o->field + 2), 0);
    }
}

TEST(WriteExifBuf, FullRecordsLayOutEveryEntryInOrder)
{
    Records r = full_records();
    Block b = make_block(r, 6);
    EXPECT_EQ(b.c.exifCount, 5);
    EXPECT_EQ(b.c.exifDataLen, 8 + 8 + 20 + 8);
    EXPECT_EQ(b.c.gpsCount, 9);
    EXPECT_EQ(b.c.gpsDataLen, 24 + 24 + 8 + 24 + 11);
    EXPECT_EQ(b.c.modelLen, 22);
    EXPECT_EQ(b.c.datetimeLen, 20);
    EXPECT_EQ(b.c.gpsDateLen, 11);
    EXPECT_EQ(b.c.lensLen, 12);
    // 14 + 12 x 4 + 22, then 6 + 60 + 44, then 6 + 108 + 91.
    ASSERT_EQ(b.result, 84 + 110 + 205);

    auto ifd0 = read_ifd(b.bytes, 8);
    ASSERT_EQ(ifd0.size(), 4u);
    EXPECT_EQ(ifd0[0].tag, 272);
    EXPECT_EQ(ifd0[0].type, 2);
    EXPECT_EQ(ifd0[0].value, 62u); // 14 + 12 x 4
    EXPECT_EQ(text_of(b.bytes, ifd0[0]), std::string("Canon PowerShot S3 IS", 22));
    EXPECT_EQ(read_le16(ifd0[1].field), 6);
    EXPECT_EQ(ifd0[2].tag, 34665);
    EXPECT_EQ(ifd0[2].value, 84u);
    EXPECT_EQ(ifd0[3].tag, 34853);
    EXPECT_EQ(ifd0[3].value, 194u);

    auto ex = read_ifd(b.bytes, 84);
    std::vector<uint16_t> tags;
    for (const Entry &e : ex)
        tags.push_back(e.tag);
    EXPECT_EQ(tags, (std::vector<uint16_t>{33434, 33437, 34855, 36867, 37386}));
    EXPECT_EQ(ex[0].value, 84u + 66);
    EXPECT_EQ(read_le32(&b.bytes[ex[0].value]), 100u);
    EXPECT_EQ(read_le32(&b.bytes[ex[0].value + 4]), 250u);
    EXPECT_EQ(read_le16(ex[2].field), 80);
    EXPECT_EQ(ex[3].count, 20u);
    EXPECT_EQ(ex[3].value, 84u + 66 + 16);
    EXPECT_EQ(text_of(b.bytes, ex[3]), std::string("2008:05:31 22:48:20", 20));
    EXPECT_EQ(ex[4].value, 84u + 66 + 36);
    EXPECT_EQ(read_le32(&b.bytes[ex[4].value]), 690u);

    auto gps = read_ifd(b.bytes, 194);
    tags.clear();
    for (const Entry &e : gps)
        tags.push_back(e.tag);
    EXPECT_EQ(tags, (std::vector<uint16_t>{0, 1, 2, 3, 4, 5, 6, 7, 29}));
    EXPECT_EQ(gps[0].type, 1);
    EXPECT_EQ(gps[0].count, 4u);
    EXPECT_EQ(read_le32(gps[0].field), 0x0202u);
    EXPECT_EQ(gps[1].count, 2u);
    EXPECT_EQ(read_le32(gps[1].field), uint32_t('N'));
    EXPECT_EQ(read_le32(gps[3].field), uint32_t('W'));
    EXPECT_EQ(gps[5].type, 1);
    EXPECT_EQ(read_le32(gps[5].field), 1u);
    uint32_t data = 194 + 2 + 12 * 9 + 4;
    EXPECT_EQ(gps[2].value, data);
    EXPECT_EQ(gps[4].value, data + 24);
    EXPECT_EQ(gps[6].value, data + 48);
    EXPECT_EQ(gps[7].value, data + 56);
    EXPECT_EQ(gps[8].value, data + 80);
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(read_le32(&b.bytes[data + 4 * i]), uint32_t(r.gps[kGpsLatitude + i]));
    EXPECT_EQ(read_le32(&b.bytes[data + 48]), 1425u);
    EXPECT_EQ(std::memcmp(&b.bytes[data + 80], "2008:06:01", 11), 0);
}

TEST(WriteExifBuf, GpsDateAloneGivesVersionAndDate)
{
    Records r;
    std::memcpy(r.gpsBytes() + kGpsDateByte, "2016:03:28", 11);
    Block b = make_block(r, 1);
    EXPECT_EQ(b.c.gpsCount, 2);
    EXPECT_EQ(b.c.gpsDataLen, 11);
    EXPECT_EQ(b.c.gpsDateLen, 11);
    ASSERT_EQ(b.result, 38 + 6 + 24 + 11);
    auto ifd0 = read_ifd(b.bytes, 8);
    ASSERT_EQ(ifd0.size(), 2u);
    EXPECT_EQ(ifd0[1].tag, 34853);
    EXPECT_EQ(ifd0[1].value, 38u);
    auto gps = read_ifd(b.bytes, 38);
    ASSERT_EQ(gps.size(), 2u);
    EXPECT_EQ(gps[0].tag, 0);
    EXPECT_EQ(gps[1].tag, 29);
    EXPECT_EQ(gps[1].count, 11u);
    EXPECT_EQ(text_of(b.bytes, gps[1]), std::string("2016:03:28", 11));
}

TEST(WriteExifBuf, ZeroLatitudeDegreesDropLatitudeButKeepItsReference)
{
    Records r;
    const int32_t lat[6] = {0, 1, 37, 1, 34, 1};
    std::memcpy(r.gps + kGpsLatitude, lat, sizeof lat);
    r.gpsBytes()[kGpsLatRefByte] = 'S';
    Block b = make_block(r, 1);
    EXPECT_EQ(b.c.gpsCount, 2);
    EXPECT_EQ(b.c.gpsDataLen, 0);
    auto gps = read_ifd(b.bytes, 38);
    ASSERT_EQ(gps.size(), 2u);
    EXPECT_EQ(gps[1].tag, 1);
    EXPECT_EQ(gps[1].field[0], 'S');
}

TEST(WriteExifBuf, AltitudeReferenceZeroIsLeftOutAndOneWrittenAsByte)
{
    Records r;
    r.gps[kGpsAltitude] = 5;
    r.gps[kGpsAltitude + 1] = 1;
    Block above = make_block(r, 1);
    auto gps = read_ifd(above.bytes, 38);
    ASSERT_EQ(gps.size(), 2u); // version, altitude
    EXPECT_EQ(gps[1].tag, 6);

    r.gpsBytes()[kGpsAltRefByte] = 1;
    Block below = make_block(r, 1);
    gps = read_ifd(below.bytes, 38);
    ASSERT_EQ(gps.size(), 3u);
    EXPECT_EQ(gps[1].tag, 5);
    EXPECT_EQ(gps[1].type, 1);
    EXPECT_EQ(gps[1].count, 1u);
    EXPECT_EQ(read_le32(gps[1].field), 1u);

    r.gpsBytes()[kGpsAltRefByte] = 0x80; // negative as a signed byte: absent
    EXPECT_EQ(make_block(r, 1).c.gpsCount, 2);
}

TEST(WriteExifBuf, SixtyFourCharacterModelGetsItsTerminator)
{
    Records r;
    std::string model(64, 'M');
    r.text(kExifModel, model);
    r.text(kExifDateTime, "2008:05:31 22:48:20X"); // 20 characters, no zero byte
    Block b = make_block(r, 1);
    EXPECT_EQ(b.c.modelLen, 65);
    EXPECT_EQ(b.c.datetimeLen, 21);
    auto ifd0 = read_ifd(b.bytes, 8);
    ASSERT_EQ(ifd0.size(), 3u);
    EXPECT_EQ(ifd0[0].count, 65u);
    EXPECT_EQ(text_of(b.bytes, ifd0[0]), model + '\0');
    EXPECT_EQ(ifd0[2].value, 50u + 66); // the odd model takes a pad byte
    auto ex = read_ifd(b.bytes, ifd0[2].value);
    ASSERT_EQ(ex.size(), 1u);
    EXPECT_EQ(ex[0].count, 21u);
    EXPECT_EQ(text_of(b.bytes, ex[0]), std::string("2008:05:31 22:48:20X") + '\0');
    EXPECT_EQ(b.c.exifDataLen, 22);
    EXPECT_EQ(b.result, 14 + 36 + 66 + 6 + 12 + 22);
}

TEST(WriteExifBuf, TextsOfFourBytesSitInTheValueField)
{
    Records r;
    r.text(kExifModel, "S3");      // count 3
    r.text(kExifDateTime, "2008"); // count 5: data area
    Block b = make_block(r, 1);
    EXPECT_EQ(b.c.modelLen, 3);
    EXPECT_EQ(b.c.datetimeLen, 5);
    EXPECT_EQ(b.c.exifDataLen, 6); // and a pad byte
    ASSERT_EQ(b.result, 14 + 36 + 0 + 6 + 12 + 6);
    auto ifd0 = read_ifd(b.bytes, 8);
    ASSERT_EQ(ifd0.size(), 3u);
    EXPECT_EQ(ifd0[0].tag, 272);
    EXPECT_EQ(ifd0[0].count, 3u);
    EXPECT_EQ(std::memcmp(ifd0[0].field, "S3\0\0", 4), 0);
    EXPECT_EQ(ifd0[2].value, 50u); // the Exif IFD follows IFD0 directly
    auto ex = read_ifd(b.bytes, 50);
    ASSERT_EQ(ex.size(), 1u);
    EXPECT_EQ(ex[0].value, 50u + 18);
    EXPECT_EQ(text_of(b.bytes, ex[0]), std::string("2008", 5));

    Records four;
    four.text(kExifDateTime, "abc"); // count 4, the largest that fits
    Block f = make_block(four, 1);
    EXPECT_EQ(f.c.datetimeLen, 4);
    EXPECT_EQ(f.c.exifDataLen, 0);
    ASSERT_EQ(f.result, 38 + 18);
    auto fe = read_ifd(f.bytes, 38);
    ASSERT_EQ(fe.size(), 1u);
    EXPECT_EQ(std::memcmp(fe[0].field, "abc\0", 4), 0);
}

TEST(WriteExifBuf, EveryOffsetIsEven)
{
    // An odd model ("iPhone 6", count 9) and an odd date before the focal length.
    Records r = full_records();
    std::memset(r.exif + kExifModel, 0, 64);
    r.text(kExifModel, "iPhone 6");
    std::memset(r.exif + kExifDateTime, 0, 20);
    r.text(kExifDateTime, "2016:03:28 15:40:5");
    Block b = make_block(r, 6);
    ASSERT_GT(b.result, 0);
    auto ifd0 = read_ifd(b.bytes, 8);
    ASSERT_EQ(ifd0.size(), 4u);
    EXPECT_EQ(ifd0[0].count, 9u);
    EXPECT_EQ(text_of(b.bytes, ifd0[0]), std::string("iPhone 6", 9));
    std::vector<Entry> all = ifd0;
    for (uint32_t pos : {ifd0[2].value, ifd0[3].value}) {
        EXPECT_EQ(pos % 2, 0u);
        auto sub = read_ifd(b.bytes, pos);
        all.insert(all.end(), sub.begin(), sub.end());
    }
    const std::vector<uint16_t> sizes = {0, 1, 1, 2, 4, 8};
    for (const Entry &e : all) {
        uint32_t bytes = e.count * sizes[e.type];
        if (bytes > 4) {
            EXPECT_EQ(e.value % 2, 0u) << "tag " << e.tag;
            EXPECT_LE(e.value + bytes, uint32_t(b.result)) << "tag " << e.tag;
        }
    }
    auto ex = read_ifd(b.bytes, ifd0[2].value);
    ASSERT_EQ(ex.size(), 5u);
    EXPECT_EQ(text_of(b.bytes, ex[3]), std::string("2016:03:28 15:40:5", 19));
}

TEST(WriteExifBuf, LargeIsoSaturatesTheShort)
{
    Records r;
    r.exif[kExifIso] = 102400;
    Block b = make_block(r, 1);
    auto ex = read_ifd(b.bytes, 38);
    ASSERT_EQ(ex.size(), 1u);
    EXPECT_EQ(read_le32(ex[0].field), 65535u);
}

TEST(WriteExifBuf, CountsThatDoNotMatchTheRecordsAreRefused)
{
    Records r = full_records();
    Block b = make_block(r, 1);
    ASSERT_GT(b.result, 0);
    std::vector<uint8_t> out(1024, 0);
    const auto &c = b.c;
    EXPECT_EQ(write_exif_buf(c.exifCount + 1, c.exifDataLen, c.gpsCount, c.gpsDataLen, c.modelLen,
                             c.datetimeLen, c.gpsDateLen, 1, r.exif, r.gps, out.data()),
              -3);
    EXPECT_EQ(write_exif_buf(c.exifCount, c.exifDataLen, c.gpsCount, c.gpsDataLen - 11, c.modelLen,
                             c.datetimeLen, 0, 1, r.exif, r.gps, out.data()),
              -3);
    EXPECT_EQ(write_exif_buf(c.exifCount, c.exifDataLen, c.gpsCount, c.gpsDataLen, 0, c.datetimeLen,
                             c.gpsDateLen, 1, r.exif, r.gps, out.data()),
              -3);
    EXPECT_EQ(write_exif_buf(c.exifCount, c.exifDataLen, c.gpsCount, c.gpsDataLen, c.modelLen,
                             c.datetimeLen, c.gpsDateLen, 1, r.exif, r.gps, nullptr),
              -3);
    for (uint8_t v : out)
        ASSERT_EQ(v, 0);
    int n;
    EXPECT_EQ(get_exif_count(r.exif, &n, &n, r.gps, &n, &n, &n, &n, &n, nullptr), -3);
}
