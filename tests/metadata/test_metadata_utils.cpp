#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "metadata/metadata_utils.h"

namespace {

// A profile-shaped buffer: a 132-byte header area, then "desc" tags at the given places.
struct ProfileBytes {
    std::vector<uint8_t> b = std::vector<uint8_t>(132, 0);
    void add_desc(const std::string &text, int countHigh = 0)
    {
        const char sig[] = "desc";
        b.insert(b.end(), sig, sig + 4);
        b.insert(b.end(), 4, 0); // reserved
        b.push_back(0);          // count, big-endian
        b.push_back(0);
        b.push_back(static_cast<uint8_t>(countHigh));
        b.push_back(static_cast<uint8_t>(text.size() + 1));
        b.insert(b.end(), text.begin(), text.end());
        b.push_back(0);
        b.insert(b.end(), 40, 0);
    }
    int name(std::string *out)
    {
        char buf[32];
        int r = get_profile_name(static_cast<int>(b.size()), b.data(), buf);
        out->assign(buf, strnlen(buf, 32));
        return r;
    }
};

} // namespace

TEST(GetProfileName, FindsKnownColourSpaces)
{
    std::string name;
    ProfileBytes srgb;
    srgb.add_desc("sRGB IEC61966-2.1");
    EXPECT_EQ(srgb.name(&name), 4);
    EXPECT_EQ(name, "sRGB");

    ProfileBytes adobe;
    adobe.add_desc("Adobe RGB (1998)");
    EXPECT_EQ(adobe.name(&name), 9);
    EXPECT_EQ(name, "Adobe RGB");

    // A later description naming a known space wins over an earlier unknown one.
    ProfileBytes two;
    two.add_desc("Camera profile");
    two.add_desc("ProPhoto RGB");
    EXPECT_EQ(two.name(&name), 12);
    EXPECT_EQ(name, "ProPhoto RGB");
}

TEST(GetProfileName, CopiesUnknownDescriptionOrFails)
{
    std::string name;
    ProfileBytes cam;
    cam.add_desc("Camera profile");
    EXPECT_EQ(cam.name(&name), 32);
    EXPECT_EQ(name, "Camera profile");

    ProfileBytes big;
    big.add_desc("sRGB", 1); // count of 256 or more is not a description
    EXPECT_EQ(big.name(&name), -1);

    uint8_t tiny[48] = {};
    char out[32];
    EXPECT_EQ(get_profile_name(48, tiny, out), -1);
}

TEST(GetProfileName, StaysInsideATruncatedProfile)
{
    ProfileBytes p;
    p.add_desc("sRGB IEC61966-2.1");
    // Cut right after the ASCII count: the text is gone, the scan must not read past the end.
    size_t cut = 132 + 12 + 3;
    std::vector<uint8_t> shortp(p.b.begin(), p.b.begin() + static_cast<long>(cut));
    char out[32];
    int r = get_profile_name(static_cast<int>(shortp.size()), shortp.data(), out);
    EXPECT_TRUE(r == -1 || r == 32);
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
    time_t later = mktime(&t);
    float s = 0;
    EXPECT_EQ(time_from_datetime("2009:06:14 10:30:00", later, &s), 1);
    EXPECT_FLOAT_EQ(s, 3600.0f);
    s = 5;
    EXPECT_EQ(time_from_datetime("2009:06:14", later, &s), -1);
    EXPECT_EQ(time_from_datetime("    :  :     :  :  ", later, &s), -1);
    EXPECT_EQ(s, 5.0f);
}
