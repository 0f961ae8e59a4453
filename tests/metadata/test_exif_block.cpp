// get_exif_count and write_exif_buf: the exact 96-byte block, the layout of every entry, the
// GPS date alone, where texts go, and counts that do not match the records.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "metadata/exif_block.h"
#include "tests/metadata/exif_test_util.h"

using namespace exiftest;
using imagecore::read_le16;
using imagecore::read_le32;

namespace {

struct Block {
    int result = 0;
    metadata::ExifCounts c;
    Bytes bytes;
};

// Counts, then writes into 1024 zero bytes, of which those past the block must stay untouched.
Block make_block(const Records &r, int orientation = 1)
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
    const long end = std::max(b.result, 0);
    EXPECT_EQ(std::count(b.bytes.begin() + end, b.bytes.end(), 0), 1024 - end);
    b.bytes.resize(size_t(end));
    return b;
}

} // namespace

TEST(WriteExifBuf, ExposureApertureIsoGiveThe96ByteBlock)
{
    Records r;
    const int32_t e[] = {100, 10000, 800, 100, 0, 200};
    std::memcpy(r.exif, e, sizeof e);
    Block b = make_block(r);
    EXPECT_EQ(std::vector<int>({b.c.exifCount, b.c.exifDataLen, b.c.gpsCount, b.c.modelLen}),
              std::vector<int>({3, 16, 0, 0}));
    const Bytes expected = {
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

TEST(WriteExifBuf, OrientationIsoAndNothingToWrite)
{
    Records r;
    r.exif[kExifIso] = 102400; // saturates the SHORT
    for (auto [given, written] : {std::pair{0, 1}, {9, 1}, {-3, 1}, {6, 6}, {8, 8}}) {
        Block b = make_block(r, given);
        ASSERT_EQ(b.result, 38 + 18);
        EXPECT_EQ(read_le32(read_ifd(b.bytes, 8)[0].field), uint32_t(written)) << given;
        EXPECT_EQ(read_le32(read_ifd(b.bytes, 38)[0].field), 65535u);
    }
    // Nothing but the orientation (a pair with a zero denominator is absent): refused.
    Records none;
    none.exif[kExifExposureNum] = 100;
    EXPECT_EQ(make_block(none, 6).result, -1);
    int n[8];
    EXPECT_EQ(get_exif_count(nullptr, n, n + 1, nullptr, n + 2, n + 3, n + 4, n + 5, n + 6, n + 7),
              0);
    EXPECT_EQ(get_exif_count(none.exif, n, n, none.gps, n, n, n, n, n, nullptr), -3);
}

TEST(WriteExifBuf, FullRecordsLayOutEveryEntryInOrder)
{
    Records r = full_records();
    Block b = make_block(r, 6);
    const metadata::ExifCounts &c = b.c;
    EXPECT_EQ(std::vector<int>({c.exifCount, c.exifDataLen, c.gpsCount, c.gpsDataLen, c.modelLen,
                                c.datetimeLen, c.gpsDateLen, c.lensLen}),
              std::vector<int>({5, 8 + 8 + 20 + 8, 9, 24 + 24 + 8 + 24 + 11, 22, 20, 11, 12}));
    // 14 + 12 x 4 + 22, then 6 + 60 + 44, then 6 + 108 + 91.
    ASSERT_EQ(b.result, 84 + 110 + 205);
    auto ifd0 = read_ifd(b.bytes, 8), ex = read_ifd(b.bytes, 84), gps = read_ifd(b.bytes, 194);
    EXPECT_EQ(tags_of(ifd0), std::vector<uint16_t>({272, 274, 34665, 34853}));
    EXPECT_EQ(tags_of(ex), std::vector<uint16_t>({33434, 33437, 34855, 36867, 37386}));
    EXPECT_EQ(tags_of(gps), std::vector<uint16_t>({0, 1, 2, 3, 4, 5, 6, 7, 29}));
    EXPECT_EQ(std::vector<uint32_t>({ifd0[0].value, ifd0[2].value, ifd0[3].value}),
              std::vector<uint32_t>({62, 84, 194}));
    EXPECT_EQ(text_of(b.bytes, ifd0[0]), std::string("Canon PowerShot S3 IS", 22));
    EXPECT_EQ(read_le16(ifd0[1].field), 6);

    EXPECT_EQ(ex[0].value, 84u + 66);
    EXPECT_EQ(read_le32(&b.bytes[ex[0].value]), 100u);
    EXPECT_EQ(read_le32(&b.bytes[ex[0].value + 4]), 250u);
    EXPECT_EQ(read_le16(ex[2].field), 80);
    EXPECT_EQ(ex[3].value, 84u + 66 + 16);
    EXPECT_EQ(text_of(b.bytes, ex[3]), std::string("2008:05:31 22:48:20", 20));
    EXPECT_EQ(read_le32(&b.bytes[ex[4].value]), 690u);

    EXPECT_EQ(read_le32(gps[0].field), 0x0202u); // version 2.2.0.0 as 4 BYTEs
    EXPECT_EQ(std::vector<uint32_t>({read_le32(gps[1].field), read_le32(gps[3].field), gps[5].type,
                                     read_le32(gps[5].field)}),
              std::vector<uint32_t>({'N', 'W', 1, 1}));
    const uint32_t data = 194 + 2 + 12 * 9 + 4;
    EXPECT_EQ(std::vector<uint32_t>(
                  {gps[2].value, gps[4].value, gps[6].value, gps[7].value, gps[8].value}),
              std::vector<uint32_t>({data, data + 24, data + 48, data + 56, data + 80}));
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(read_le32(&b.bytes[data + 4 * i]), uint32_t(r.gps[kGpsLatitude + i]));
    EXPECT_EQ(read_le32(&b.bytes[data + 48]), 1425u);
    EXPECT_EQ(std::memcmp(&b.bytes[data + 80], "2008:06:01", 11), 0);
}

TEST(WriteExifBuf, GpsDateAloneGivesVersionAndDate)
{
    Records date;
    std::memcpy(date.gpsBytes() + kGpsDateByte, "2016:03:28", 11);
    Block b = make_block(date);
    ASSERT_EQ(b.result, 38 + 6 + 24 + 11);
    EXPECT_EQ(tags_of(read_ifd(b.bytes, 8)), std::vector<uint16_t>({274, 34853}));
    auto gps = read_ifd(b.bytes, 38);
    EXPECT_EQ(tags_of(gps), std::vector<uint16_t>({0, 29}));
    EXPECT_EQ(text_of(b.bytes, gps[1]), std::string("2016:03:28", 11));
}

TEST(WriteExifBuf, TextsOfFourBytesOrFewerSitInTheValueField)
{
    Records r;
    r.text(kExifModel, "S3");      // count 3: in the entry
    r.text(kExifDateTime, "2008"); // count 5: data area, and a pad byte
    Block b = make_block(r);
    EXPECT_EQ(std::vector<int>({b.c.modelLen, b.c.datetimeLen, b.c.exifDataLen}),
              std::vector<int>({3, 5, 6}));
    ASSERT_EQ(b.result, 14 + 36 + 0 + 6 + 12 + 6);
    auto ifd0 = read_ifd(b.bytes, 8);
    EXPECT_EQ(std::memcmp(ifd0[0].field, "S3\0\0", 4), 0);
    EXPECT_EQ(ifd0[2].value, 50u); // the Exif IFD follows IFD0 directly
    EXPECT_EQ(read_ifd(b.bytes, 50)[0].value, 50u + 18);

    Records four;
    four.text(kExifDateTime, "abc"); // count 4, the largest that fits
    b = make_block(four);
    ASSERT_EQ(b.result, 38 + 18);
    EXPECT_EQ(std::memcmp(read_ifd(b.bytes, 38)[0].field, "abc\0", 4), 0);

    // Texts that fill their slots get a terminator: model count 65 (odd: a pad byte), date 21.
    Records full;
    full.text(kExifModel, std::string(64, 'M'));
    full.text(kExifDateTime, "2008:05:31 22:48:20X");
    b = make_block(full);
    ASSERT_EQ(b.result, 14 + 36 + 66 + 6 + 12 + 22);
    ifd0 = read_ifd(b.bytes, 8);
    EXPECT_EQ(text_of(b.bytes, ifd0[0]), std::string(64, 'M') + '\0');
    EXPECT_EQ(text_of(b.bytes, read_ifd(b.bytes, 50 + 66)[0]),
              std::string("2008:05:31 22:48:20X") + '\0');
}

TEST(WriteExifBuf, CountsThatDoNotMatchTheRecordsAreRefused)
{
    Records r = full_records();
    const metadata::ExifCounts c = make_block(r).c;
    Bytes out(1024, 0);
    const struct {
        int exifCount, gpsDataLen, modelLen, gpsDateLen;
        uint8_t *out;
    } bad[] = {{c.exifCount + 1, c.gpsDataLen, c.modelLen, c.gpsDateLen, out.data()},
               {c.exifCount, c.gpsDataLen - 11, c.modelLen, 0, out.data()},
               {c.exifCount, c.gpsDataLen, 0, c.gpsDateLen, out.data()},
               {c.exifCount, c.gpsDataLen, c.modelLen, c.gpsDateLen, nullptr}};
    for (const auto &x : bad)
        EXPECT_EQ(write_exif_buf(x.exifCount, c.exifDataLen, c.gpsCount, x.gpsDataLen, x.modelLen,
                                 c.datetimeLen, x.gpsDateLen, 1, r.exif, r.gps, x.out),
                  -3);
    EXPECT_EQ(out, Bytes(1024, 0));
}
