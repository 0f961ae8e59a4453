// parse_image_description: exposure time, ISO and source flag from the ImageDescription text.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <string>

#include "metadata/exif_records.h"
#include "metadata/image_description.h"
#include "platform/file_holder.h"

namespace {

std::string fields(const std::string &exposure, const std::string &gains)
{
    return "x1, x2, x3, x4, x5, x6, x7, " + exposure + ", " + gains;
}
constexpr int kAny = INT_MIN; // a return value the case does not check

} // namespace

TEST(ParseImageDescription, Examples)
{
    const std::string std30 = fields("1/250s", "R30, G30, B30");
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
        // Incomplete texts store nothing: a 7-character numerator, six separators, no blue
        // gain, a 7-character gain, a count that cuts off the blue gain.
        {fields("1234567/8s", "R30, G30, B30"), -1, 0, 0, 0, 0},
        {"x1, x2, x3, x4, x5, x6, 1/250s", -1, kAny, 0, 0, 0},
        {fields("1/250s", "R30, G35, x"), -1, 35, 0, 0, 0},
        {fields("1/250s", "R1234567, G30, B30"), -1, kAny, 0, 0, 0},
        {std30, int64_t(std30.size() - 5), kAny, 0, 0, 0},
        {"", 0, 0, 0, 0, 0},
        {std30, 1 << 30, -1, 0, 0, 0}, // past the end of the file: a short read
    };
    const std::string prefix = "garbage, , , , , , , , "; // reading starts at the stream position
    for (const auto &c : cases) {
        platform::FilePtr f(std::tmpfile());
        std::fputs((prefix + c.text).c_str(), f.get());
        std::fseek(f.get(), long(prefix.size()), SEEK_SET);
        ExifInfo info;
        init_exifInfo(&info);
        const int rc = parse_image_description(
            f.get(), c.length < 0 ? int64_t(c.text.size()) : c.length, &info);
        EXPECT_EQ(c.rc == kAny ? kAny : rc, c.rc) << c.text;
        EXPECT_FLOAT_EQ(info.exposureTime, c.exposure) << c.text;
        EXPECT_EQ(info.iso, c.iso) << c.text;
        EXPECT_EQ(info.sourceFlag, c.flag) << c.text;
        EXPECT_EQ(parse_image_description(f.get(), -2, &info), -1);
    }
    ExifInfo info{};
    EXPECT_EQ(parse_image_description(nullptr, 3, &info), -3);
    EXPECT_EQ(parse_image_description(stdin, 0, nullptr), -3);
}
