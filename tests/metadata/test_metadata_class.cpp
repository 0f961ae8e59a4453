// The exposure records and what derives from them: the rational encoding at scale 100, the
// exposure data of the ImageDescription text, MetaData's relative exposures (getEV), usable-
// exposure test (scanExif) and in-memory EXIF reader (getMetaData); the profile name and the
// capture-time difference.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "metadata/image_description.h"
#include "metadata/metadata_class.h"
#include "metadata/metadata_utils.h"
#include "platform/file_holder.h"
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
    if (d && d->length() == records.size() * 4)
        d->getBytes(out.data(), d->length());
    return out;
}
const MetaData kReader; // one for every test and thread
std::vector<int32_t> meta(const Bytes &b)
{
    std::vector<int32_t> out(kExifBufCount, -1);
    DataPtr rec = kReader.getMetaData(Data::copy(b.data(), b.size()));
    if (rec && rec->length() == size_t(kExifBufBytes))
        rec->getBytes(out.data(), kExifBufBytes);
    return out;
}

} // namespace

TEST(RationalFromFloat, TableSaturationAndNonPositive)
{
    const int32_t kMax = std::numeric_limits<int32_t>::max();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float v[] = {1.0f / 250.0f, 2.8f, 5.6f, 0.125f, 0.3f, 10.0f, 1e30f, 1e-30f, 0, -3, nan};
    const int32_t want[][2] = {{100, 24999}, {279, 100},  {559, 100},  {100, 800},
                               {100, 333},   {1000, 100}, {kMax, 100}, {100, kMax},
                               {-1, -1},     {-1, -1},    {-1, -1}}; // -1, -1: nothing written
    for (size_t i = 0; i < std::size(v); ++i) {
        int32_t num = -1, den = -1;
        EXPECT_EQ(rational_from_float(v[i], &num, &den, kRationalScale), want[i][0] != -1) << v[i];
        EXPECT_EQ(std::pair(num, den), std::pair(want[i][0], want[i][1])) << v[i];
    }
}

TEST(ParseImageDescription, Examples)
{
    auto fields = [](const std::string &exposure, const std::string &gains) {
        return "x1, x2, x3, x4, x5, x6, x7, " + exposure + ", " + gains;
    };
    const std::string std30 = fields("1/250s", "R30, G30, B30");
    const int kAny = INT_MIN; // a return value the case does not check
    const struct {
        std::string text;
        int64_t length; // -1: the text's own
        int rc;
        float exposure;
        int iso, flag;
    } cases[] = {
        {std30, -1, 30, 0.004f, 400, 2}, // m = 30: rint(2^1) x 200
        // (40 + 21) / 2 = 30.5 rounds to even: 30. 2^1.5 = 2.83 rounds to 3.
        {fields("1/250s", "R21, G40, B31"), -1, 31, 0.004f, 400, 2},
        {fields("1/250s", "R45, G45, B45"), -1, 45, 0.004f, 600, 2},
        {fields("1/250s", "R0, G0, B0"), -1, 0, 0.004f, 200, 0},   // the last gain is 0: no flag
        {fields("0.5s", "R30, G30, B30"), -1, 30, 0, 400, 0},      // no denominator
        {fields("1/2.5s", "R30, G30, B30"), -1, 30, 0.2f, 400, 2}, // digits after '.' count
        // A number ends at the separator's comma: 1/250, not 1/2496.
        {fields("1/250", "R30, G30, B30"), -1, 30, 0.004f, 400, 2},
        {fields("1/250s", "R999999, G999999, B999999"), -1, kAny, 0.004f, INT_MAX, 0},
        // Nothing stored: a 7-character numerator, six separators, no blue gain, empty.
        {fields("1234567/8s", "R30, G30, B30"), -1, 0, 0, 0, 0},
        {"x1, x2, x3, x4, x5, x6, 1/250s", -1, kAny, 0, 0, 0},
        {fields("1/250s", "R30, G35, x"), -1, 35, 0, 0, 0},
        {"", 0, 0, 0, 0, 0},
        {std30, 1 << 30, -1, 0, 0, 0}, // past the end of the file: a short read
        {std30, -2, -1, 0, 0, 0},
    };
    const std::string prefix = "garbage, , , , , , , , "; // reading starts at the stream position
    for (const auto &c : cases) {
        platform::FilePtr f(std::tmpfile());
        std::fputs((prefix + c.text).c_str(), f.get());
        std::fseek(f.get(), long(prefix.size()), SEEK_SET);
        ExifInfo info;
        init_exifInfo(&info);
        const int rc = parse_image_description(
            f.get(), c.length == -1 ? int64_t(c.text.size()) : c.length, &info);
        EXPECT_EQ(c.rc == kAny ? kAny : rc, c.rc) << c.text;
        EXPECT_FLOAT_EQ(info.exposureTime, c.exposure) << c.text;
        EXPECT_EQ(std::pair(info.iso, info.sourceFlag), std::pair(c.iso, c.flag)) << c.text;
    }
}

TEST(GetProfileName, KnownSpaceAndACutProfile)
{
    // A 132-byte header area, then a "desc" tag: signature, 4 reserved bytes, the big-endian
    // ASCII count, the text and its NUL; then the same cut after the count.
    const std::string t = "sRGB IEC61966-2.1", b = std::string(132, '\0') + "desc" +
                                                   std::string(7, '\0') + char(t.size() + 1) + t +
                                                   std::string(41, '\0');
    const std::vector<uint8_t> whole(b.begin(), b.end()), cut(b.begin(), b.begin() + 147);
    char out[32];
    EXPECT_EQ(get_profile_name(int(whole.size()), whole.data(), out), 4);
    EXPECT_STREQ(out, "sRGB");
    EXPECT_EQ(get_profile_name(int(cut.size()), cut.data(), out), -1);
}

TEST(TimeFromDatetime, DifferenceInSecondsWithoutOverflow)
{
    setenv("TZ", "UTC", 1);
    tzset();
    float s = 0;
    EXPECT_EQ(time_from_datetime("2009:06:14 10:30:00", 1244979000, &s), 1); // 11:30:00 UTC
    EXPECT_EQ(s, 3600.0f);
    EXPECT_EQ(time_from_datetime("-2147483648:1:1 0:0:0", 1244979000, &s), -1);
}

TEST(MetaDataGetEV, RatiosDefaultsAndOffsets)
{
    std::vector<float> d =
        deltas({data(exposure(1, 250, 56, 10, 200)), data(exposure(1, 60, 56, 10, 200)),
                data(exposure(1, 15, 56, 10, 200))});
    // The 1 : 4.17 : 16.7 ratio; single-precision quotients are a few ulps off.
    EXPECT_NEAR(d[1] / d[0], 250.0 / 60.0, 1e-5);
    EXPECT_NEAR(d[2] / d[0], 250.0 / 15.0, 1e-4);

    Records plus = exposure(0, 0);
    plus.exif[kExifExposureOffset] = 1000;
    d = deltas({data(exposure(1, 100)), data(exposure(0, 0)), data(plus), data(exposure(1, 0)),
                nullptr, Data::copy("\1", 1)});
    EXPECT_NEAR(d[0], 0.32258, 1e-5); // 0.01 x 100 x 20.64516 / 8^2, to the digits given
    // No data: 2^0; one stop more; a numerator without a denominator; a null record reads as
    // zeros; a 1-byte record is (1, 0) after zero-filling.
    EXPECT_EQ(std::vector<float>(d.begin() + 1, d.end()), std::vector<float>({1, 2, 0, 1, 0}));
}

TEST(MetaDataScanExif, Cases)
{
    auto scan = [](int32_t num, int32_t den, int32_t flag) {
        Records r = exposure(num, den);
        r.exif[kExifSourceFlag] = flag;
        return MetaData().scanExif(data(r));
    };
    EXPECT_EQ(std::vector<int>({scan(1, 0, 0), scan(0, 250, 0), scan(1, 250, 0), scan(1, 250, 2),
                                scan(1, 0, 2), MetaData().scanExif(nullptr)}),
              std::vector<int>({0, 0, 1, 2, 0, 0}));
}

TEST(MetaDataGetMetaData, ApexTagsTypesAndModelCountInBothByteOrders)
{
    const struct {
        std::vector<Tag> tags;
        std::vector<int32_t> head; // slots 0..5
    } cases[] = {
        {{{37377, 'X', 6, 1}}, {1, 64, 0, 0, 0, 0}},                      // Tv 6: 1/64 s
        {{{37377, 'X', -20, 10}}, {4, 1, 0, 0, 0, 0}},                    // Tv -2: 4 s
        {{{37377, 'X', 6, 1}, {33434, 'R', 1, 50}}, {1, 50, 0, 0, 0, 0}}, // ExposureTime wins
        {{{37378, 'R', 5, 1}}, {0, 0, 565, 100, 0, 0}},                   // Av 5: f/5.657
        {{{41493, 'R', 640, 2}}, {0, 0, 0, 0, 0, 320}}, // ExposureIndex alone gives the ISO
        {{{34855, 'L', 400, 0}, {33434, 'X', 1, 60}}, {0, 0, 0, 0, 0, 0}}, // wrong types: skipped
    };
    for (const auto &c : cases)
        for (bool big : {false, true}) { // in a JPEG, and a bare block
            const Bytes tiff = concat({exif_tags(c.tags, big), Bytes(16, 0)});
            std::vector<int32_t> s = meta(big ? tiff : in_jpeg(tiff));
            EXPECT_EQ(std::vector<int32_t>(s.begin(), s.begin() + 6), c.head) << c.tags[0].tag;
        }
    TiffBuilder t; // a Model count of 100 gives 63 characters
    t.add_entry(t.add_ifd(), 272, testsupport::kTiffAscii, 100, Bytes(100, 'M'));
    const std::vector<int32_t> s = meta(in_jpeg(t.build()));
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&s[kExifModel])), std::string(63, 'M'));
}

TEST(MetaDataGetMetaData, EachCallStartsFreshOnEveryThread)
{
    const std::vector<Bytes> inputs = {in_jpeg(exif_tags({{34855, 'S', 800, 0}})),
                                       in_jpeg(exif_tags({{41989, 'S', 28, 0}}))};
    std::vector<int32_t> expected[2] = {meta(inputs[0]), std::vector<int32_t>(kExifBufCount, 0)};
    EXPECT_EQ(expected[0][kExifIso], 800);
    expected[1][kExifFocal35] = 28;
    EXPECT_EQ(meta(inputs[1]), expected[1]); // nothing left over from the first read
    // Concurrent reads on 8 threads give what one thread gives.
    std::vector<int> failures(8, 0);
    std::vector<std::thread> threads;
    for (int k = 0; k < 8; ++k)
        threads.emplace_back([&, k] {
            for (int rep = 0; rep < 200; ++rep)
                failures[size_t(k)] +=
                    meta(inputs[size_t((k + rep) % 2)]) != expected[(k + rep) % 2];
        });
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(failures, std::vector<int>(8, 0));
}

TEST(MetaDataGetMetaData, HostileData)
{
    EXPECT_EQ(kReader.getMetaData(nullptr), nullptr);
    TiffBuilder t; // an IFD1 that leads back to IFD0
    size_t ifd0 = t.add_ifd(), e = t.add_ifd(false), ifd1 = t.add_ifd();
    t.add_ifd_pointer(ifd0, 34665, e);
    t.add_rationals(e, 33434, {{1, 8}});
    t.add_longs(ifd1, 514, {0});
    t.set_next_to(ifd1, ifd0);
    EXPECT_EQ(meta(in_jpeg(t.build()))[1], 8);
    // Every truncation and every corrupted byte of a valid JPEG reads without fault.
    const Bytes jpeg =
        in_jpeg(exif_tags({{33434, 'R', 1, 125}, {37377, 'X', 7, 1}}, false, "Camera"));
    for (size_t n = 0; n <= jpeg.size(); n += 3)
        EXPECT_NE(meta(Bytes(jpeg.begin(), jpeg.begin() + long(n)))[0], -1) << n;
    for (size_t i = 0; i < 400 && i < jpeg.size(); ++i) {
        Bytes bad = jpeg;
        bad[i] = 0xFF;
        EXPECT_EQ(reinterpret_cast<const char *>(&meta(bad)[kExifModel])[63], 0) << i;
    }
}
