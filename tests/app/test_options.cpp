#include <gtest/gtest.h>

#include <vector>

#include "app/options.h"
#include "app/road.h"

using namespace app;

namespace {
bool parse(std::vector<const char *> args, Options *o, std::string *err)
{
    args.insert(args.begin(), "zenit");
    return parse_options(static_cast<int>(args.size()), args.data(), o, err);
}
} // namespace

TEST(ParseOptions, ReadsOptionsAndRefusesBadUsage)
{
    Options o;
    std::string err;
    ASSERT_TRUE(parse({"-o", "out.TIFF", "--method=deredid", "--set", "Strength=50", "-q", "90",
                       "-j", "8", "a.tif", "b.tif"},
                      &o, &err))
        << err;
    EXPECT_EQ(o.method, 1);
    ASSERT_EQ(o.settings.size(), 1u);
    EXPECT_EQ(o.settings[0].second, "50");
    EXPECT_EQ(o.format, OutputFormat::Tiff); // from the output's extension
    EXPECT_EQ(o.photos.size(), 2u);
    for (std::vector<const char *> args :
         std::vector<std::vector<const char *>>{{},
                                                {"--frobnicate", "a.jpg"},
                                                {"-o"},
                                                {"--set", "Strength", "a.jpg"},
                                                {"--method", "magic", "a.jpg"},
                                                {"--threads", "0", "a.jpg"}}) {
        Options bad;
        EXPECT_FALSE(parse(args, &bad, &err)) << (args.empty() ? "(none)" : args[0]);
    }
    // The "GeneralQuality" rule: 20..100 as given, anything else 100.
    EXPECT_EQ(jpeg_quality(20), 20);
    EXPECT_EQ(jpeg_quality(19), 100);
    EXPECT_EQ(jpeg_quality(101), 100);
}

TEST(ResolveSettings, SetTakesPacketValuesAndRefusesUnknownNames)
{
    Options o;
    o.method = 1;
    o.settings = {{"Gamma", "1.0"}, {"strength", "55"}};
    int method = 0;
    float p[20];
    ASSERT_FALSE(resolve_settings(o, &method, p));
    EXPECT_FLOAT_EQ(p[8], 50.0f); // gamma 1.0 is the slider's middle
    EXPECT_FLOAT_EQ(p[1], 55.0f);
    EXPECT_FLOAT_EQ(p[2], 46.0f); // untouched defaults stay

    o.settings = {{"Brightness", "1"}}; // a setting of the other method
    RoadError e = resolve_settings(o, &method, p);
    EXPECT_EQ(e.code, kExitUsage);
    EXPECT_NE(e.message.find("Strength"), std::string::npos); // lists what exists
}
