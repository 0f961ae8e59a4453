// parse_image_description: exposure time, ISO and source flag from the ImageDescription text.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <memory>
#include <string>

#include "metadata/exif_records.h"
#include "metadata/image_description.h"

namespace {

struct FileCloser {
    void operator()(FILE *f) const { std::fclose(f); }
};

struct Parsed {
    int rc;
    ExifInfo info;
};

// Writes prefix + text to a scratch stream, positions it after the prefix and parses length
// bytes (the text's length when negative).
Parsed parse(const std::string &text, int64_t length = -1, const std::string &prefix = "")
{
    std::unique_ptr<FILE, FileCloser> f(std::tmpfile());
    EXPECT_TRUE(f);
    std::string all = prefix + text;
    std::fwrite(all.data(), 1, all.size(), f.get());
    std::fseek(f.get(), long(prefix.size()), SEEK_SET);
    Parsed p{};
    init_exifInfo(&p.info);
    p.rc = parse_image_description(f.get(), length < 0 ? int64_t(text.size()) : length, &p.info);
    return p;
}

std::string fields(const std::string &exposure, const std::string &gains)
{
    return "x1, x2, x3, x4, x5, x6, x7, " + exposure + ", " + gains;
}

} // namespace

TEST(ParseImageDescription, ElevenFieldsGiveExposureIsoAndFlag)
{
    Parsed p = parse(fields("1/250s", "R30, G30, B30"));
    EXPECT_EQ(p.rc, 30);
    EXPECT_FLOAT_EQ(p.info.exposureTime, 0.004f);
    EXPECT_EQ(p.info.iso, 400); // m = 30: rint(2^1) x 200
    EXPECT_EQ(p.info.sourceFlag, 2);
}

TEST(ParseImageDescription, IsoFollowsTheRoundedMeanOfTheExtremeGains)
{
    // (40 + 21) / 2 = 30.5 rounds to even: 30.
    EXPECT_EQ(parse(fields("1/250s", "R21, G40, B31")).info.iso, 400);
    // 2^1.5 = 2.83 rounds to 3.
    EXPECT_EQ(parse(fields("1/250s", "R45, G45, B45")).info.iso, 600);
    Parsed zero = parse(fields("1/250s", "R0, G0, B0"));
    EXPECT_EQ(zero.info.iso, 200);
    EXPECT_EQ(zero.info.sourceFlag, 0); // the last gain is 0
    EXPECT_EQ(zero.rc, 0);
}

TEST(ParseImageDescription, FractionForms)
{
    // No denominator: no exposure time and no flag, the ISO is still set.
    Parsed half = parse(fields("0.5s", "R30, G30, B30"));
    EXPECT_EQ(half.info.exposureTime, 0.0f);
    EXPECT_EQ(half.info.sourceFlag, 0);
    EXPECT_EQ(half.info.iso, 400);

    // Only the digits after the '.' count: 1/2.5s reads as 1/5.
    EXPECT_FLOAT_EQ(parse(fields("1/2.5s", "R30, G30, B30")).info.exposureTime, 0.2f);

    // A number ends at the comma of the separator: 1/250 read as 1/250, not 1/2496.
    Parsed bare = parse(fields("1/250", "R30, G30, B30"));
    EXPECT_FLOAT_EQ(bare.info.exposureTime, 0.004f);
    EXPECT_EQ(bare.info.sourceFlag, 2);
}

TEST(ParseImageDescription, IncompleteTextsStoreNothing)
{
    // A numerator run of 7 characters stops every later parse: the gains stay unset.
    Parsed longRun = parse(fields("1234567/8s", "R30, G30, B30"));
    EXPECT_EQ(longRun.rc, 0);
    EXPECT_EQ(longRun.info.iso, 0);
    EXPECT_EQ(longRun.info.exposureTime, 0.0f);

    Parsed sixSeparators = parse("x1, x2, x3, x4, x5, x6, 1/250s");
    EXPECT_EQ(sixSeparators.info.exposureTime, 0.0f);
    EXPECT_EQ(sixSeparators.info.iso, 0);

    Parsed noBlue = parse(fields("1/250s", "R30, G35, x"));
    EXPECT_EQ(noBlue.rc, 35);
    EXPECT_EQ(noBlue.info.exposureTime, 0.0f);
    EXPECT_EQ(noBlue.info.iso, 0);
    EXPECT_EQ(noBlue.info.sourceFlag, 0);

    // A gain of more than six characters reads 0 and stops the scan.
    Parsed longGain = parse(fields("1/250s", "R1234567, G30, B30"));
    EXPECT_EQ(longGain.info.iso, 0);
}

TEST(ParseImageDescription, HugeGainsSaturateTheIso)
{
    Parsed p = parse(fields("1/250s", "R999999, G999999, B999999"));
    EXPECT_EQ(p.info.iso, INT_MAX);
    EXPECT_EQ(p.info.sourceFlag, 0); // 999999 is past the flag's range
}

TEST(ParseImageDescription, ReadsFromTheStreamPosition)
{
    Parsed p = parse(fields("1/60s", "R30, G30, B30"), -1, "garbage, , , , , , , , ");
    EXPECT_FLOAT_EQ(p.info.exposureTime, 1.0f / 60.0f);
    EXPECT_EQ(p.info.sourceFlag, 2);
}

TEST(ParseImageDescription, LengthsAndArguments)
{
    Parsed empty = parse("", 0);
    EXPECT_EQ(empty.rc, 0);
    EXPECT_EQ(empty.info.iso, 0);

    // A count past the end of the file is a short read: nothing is allocated or stored.
    Parsed past = parse(fields("1/250s", "R30, G30, B30"), 1 << 30);
    EXPECT_EQ(past.rc, -1);
    EXPECT_EQ(past.info.iso, 0);

    ExifInfo info{};
    EXPECT_EQ(parse_image_description(nullptr, 3, &info), -3);
    std::unique_ptr<FILE, FileCloser> f(std::tmpfile());
    EXPECT_EQ(parse_image_description(f.get(), -2, &info), -1);
    EXPECT_EQ(parse_image_description(f.get(), 0, nullptr), -3);
}

TEST(ParseImageDescription, OnlyTheCountedBytesAreRead)
{
    std::string text = fields("1/250s", "R30, G30, B30");
    // Cut before the blue gain: the text lacks B and stores nothing.
    Parsed cut = parse(text, int64_t(text.size() - 5));
    EXPECT_EQ(cut.info.iso, 0);
}
