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

TEST(ParseOptions, MethodsByNameOrId)
{
    EXPECT_EQ(method_from_name("1"), 1);
    EXPECT_EQ(method_from_name("Deredid"), 1);
    EXPECT_EQ(method_from_name("rodo"), 2);
    EXPECT_EQ(method_from_name("2"), 2);
    EXPECT_EQ(method_from_name("fusion"), 10);
    EXPECT_EQ(method_from_name("10"), 10);
    EXPECT_EQ(method_from_name("3"), 0);
    Options o;
    std::string err;
    EXPECT_FALSE(parse({"--method", "magic", "a.jpg"}, &o, &err));
    EXPECT_NE(err.find("magic"), std::string::npos);
}

TEST(ParseOptions, QualityFollowsTheGeneralQualityRule)
{
    EXPECT_EQ(jpeg_quality(20), 20);
    EXPECT_EQ(jpeg_quality(85), 85);
    EXPECT_EQ(jpeg_quality(100), 100);
    EXPECT_EQ(jpeg_quality(19), 100);
    EXPECT_EQ(jpeg_quality(101), 100);
    EXPECT_EQ(jpeg_quality(-1), 100);
}

TEST(ParseOptions, ReadsEveryOption)
{
    Options o;
    std::string err;
    ASSERT_TRUE(
        parse({"-o", "out.TIFF", "--method=deredid", "--set", "Strength=50", "--set=Gamma=1.2",
               "-q", "90", "-j", "8", "--timings", "--quiet", "a.tif", "b.tif"},
              &o, &err))
        << err;
    EXPECT_EQ(o.output, "out.TIFF");
    EXPECT_EQ(o.method, 1);
    EXPECT_TRUE(o.methodGiven);
    ASSERT_EQ(o.settings.size(), 2u);
    EXPECT_EQ(o.settings[0], (std::pair<std::string, std::string>{"Strength", "50"}));
    EXPECT_EQ(o.settings[1], (std::pair<std::string, std::string>{"Gamma", "1.2"}));
    EXPECT_EQ(o.format, OutputFormat::Tiff); // from the output's extension
    EXPECT_EQ(o.quality, 90);
    EXPECT_EQ(o.threads, 8);
    EXPECT_TRUE(o.timings && o.quiet);
    EXPECT_EQ(o.photos, (std::vector<std::string>{"a.tif", "b.tif"}));
}

TEST(ParseOptions, RefusesBadUsage)
{
    std::string err;
    for (std::vector<const char *> args : std::vector<std::vector<const char *>>{
             {},
             {"--frobnicate", "a.jpg"},
             {"-o"},
             {"--set", "Strength", "a.jpg"},
             {"--format", "png", "a.jpg"},
             {"--threads", "0", "a.jpg"},
             {"--quality", "high", "a.jpg"},
         }) {
        Options o;
        EXPECT_FALSE(parse(args, &o, &err)) << (args.empty() ? "(none)" : args[0]);
        EXPECT_FALSE(err.empty());
    }
    Options o;
    EXPECT_TRUE(parse({"--help"}, &o, &err));
    EXPECT_TRUE(o.help);
}

TEST(DefaultOutputPath, BesideTheFirstPhotoWithoutReplacingFiles)
{
    EXPECT_EQ(default_output_path("/nonexistent/dir/IMG_1.JPG", OutputFormat::Jpeg),
              "/nonexistent/dir/IMG_1_hdr.jpg");
    EXPECT_EQ(default_output_path("shot.tiff", OutputFormat::Tiff), "shot_hdr.tif");
}

TEST(ResolveSettings, SetTakesPacketValuesAndRefusesUnknownNames)
{
    Options o;
    o.method = 2;
    o.settings = {{"Brightness", "3.5"}, {"saturation", "-2"}};
    int method = 0;
    float p[20];
    ASSERT_FALSE(resolve_settings(o, &method, p));
    EXPECT_EQ(method, 2);
    EXPECT_FLOAT_EQ(p[0], 3.5f);
    EXPECT_FLOAT_EQ(p[13], -2.0f);

    o.method = 1;
    o.settings = {{"Gamma", "1.0"}, {"Strength", "55"}};
    ASSERT_FALSE(resolve_settings(o, &method, p));
    EXPECT_FLOAT_EQ(p[8], 50.0f); // gamma 1.0 is the slider's middle
    EXPECT_FLOAT_EQ(p[1], 55.0f);
    EXPECT_FLOAT_EQ(p[2], 46.0f); // untouched defaults stay

    o.settings = {{"Brightness", "1"}}; // a setting of the other method
    RoadError e = resolve_settings(o, &method, p);
    EXPECT_EQ(e.code, kExitUsage);
    EXPECT_NE(e.message.find("Strength"), std::string::npos); // lists what exists
}
