// get_profile_name over profile-shaped buffers, and time_from_datetime.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "metadata/metadata_utils.h"

namespace {

// A 132-byte header area, then one "desc" tag per text: signature, 4 reserved bytes, the
// big-endian ASCII count (text + NUL, plus 256 x countHigh), the text, its NUL, 40 zero bytes.
std::vector<uint8_t> profile(const std::vector<std::string> &texts, int countHigh = 0)
{
    std::vector<uint8_t> b(132, 0);
    for (const std::string &t : texts) {
        const uint8_t head[] = {
            'd', 'e', 's', 'c', 0, 0, 0, 0, 0, 0, uint8_t(countHigh), uint8_t(t.size() + 1)};
        b.insert(b.end(), head, head + 12);
        b.insert(b.end(), t.begin(), t.end());
        b.insert(b.end(), 41, 0);
    }
    return b;
}

} // namespace

TEST(GetProfileName, KnownSpacesDescriptionsAndFailures)
{
    const struct {
        std::vector<uint8_t> bytes;
        int rc;
        const char *name;
    } cases[] = {
        {profile({"sRGB IEC61966-2.1"}), 4, "sRGB"},
        {profile({"Adobe RGB (1998)"}), 9, "Adobe RGB"},
        // A later description naming a known space wins over an earlier unknown one.
        {profile({"Camera profile", "ProPhoto RGB"}), 12, "ProPhoto RGB"},
        {profile({"Camera profile"}), 32, "Camera profile"},
        {profile({"sRGB"}, 1), -1, ""}, // an ASCII count of 256 or more is no description
        {std::vector<uint8_t>(48, 0), -1, ""},
    };
    for (const auto &c : cases) {
        char out[32];
        EXPECT_EQ(get_profile_name(int(c.bytes.size()), c.bytes.data(), out), c.rc) << c.name;
        if (c.rc > 0) {
            EXPECT_EQ(std::string(out, strnlen(out, 32)), c.name);
        }
    }
    // Cut right after the ASCII count: the scan must not read past the end (ASan watches).
    std::vector<uint8_t> cut = profile({"sRGB IEC61966-2.1"});
    cut.resize(132 + 12 + 3);
    char out[32];
    int r = get_profile_name(int(cut.size()), cut.data(), out);
    EXPECT_TRUE(r == -1 || r == 32) << r;
}

TEST(TimeFromDatetime, DifferenceInSeconds)
{
    setenv("TZ", "UTC", 1);
    tzset();
    struct tm t = {};
    t.tm_year = 109;
    t.tm_mon = 5;
    t.tm_mday = 14;
    t.tm_hour = 11;
    t.tm_min = 30;
    t.tm_isdst = -1;
    const time_t later = mktime(&t);
    float s = 0;
    EXPECT_EQ(time_from_datetime("2009:06:14 10:30:00", later, &s), 1);
    EXPECT_EQ(s, 3600.0f);
    s = 5;
    EXPECT_EQ(time_from_datetime("2009:06:14", later, &s), -1);
    EXPECT_EQ(time_from_datetime("    :  :     :  :  ", later, &s), -1);
    EXPECT_EQ(time_from_datetime("-2147483648:1:1 0:0:0", later, &s), -1); // no overflow
    EXPECT_EQ(s, 5.0f);
}
