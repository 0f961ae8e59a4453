// The driver's checks in process: options, setting values and packets, the output path, and the
// batch checks of the road (directories, file types, earlier results, metadata kept after a
// reader failure).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "app/options.h"
#include "app/road.h"
#include "app/settings.h"
#include "imagecore/records.h"
#include "metadata/exif_reader.h"
#include "metadata/exif_records.h"
#include "metadata/jpeg_writer.h"
#include "metadata/tiff_writer.h"
#include "metadata/xmp_settings.h"
#include "tests/support/fixtures.h"
#include "tonemap/tm_params.h"

using namespace app;
using namespace testsupport;

namespace {

bool parse(std::vector<const char *> args, Options *o, std::string *err)
{
    args.insert(args.begin(), "zenit");
    return parse_options(static_cast<int>(args.size()), args.data(), o, err);
}

bool contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

// A settings packet of method with p, wrapped for a preset file.
std::string packet_text(int method, const float *p)
{
    std::string s(size_t(embed_xmp(0, method, p, 0, nullptr, nullptr)), '\0');
    embed_xmp(1, method, p, 0, nullptr, s.data());
    return s;
}

// A 32 x 24 JPEG (or TIFF, by the name) by the project's writers with an exposure of 1/den s
// (none, and no EXIF at all, for 0), and, when method > 0, the settings packet that method's
// result carries.
std::string write_photo(const TempDir &dir, const std::string &name, int den, int method = 0)
{
    std::vector<uint8_t> px(32 * 24 * 3, 120);
    int32_t exif[kExifBufCount] = {}, gps[kGpsBufCount] = {}, info[kSaveInfoCount] = {};
    exif[kExifExposureNum] = den > 0;
    exif[kExifExposureDen] = den;
    info[kSaveWidth] = 32, info[kSaveHeight] = 24, info[kSaveSamples] = 3, info[kSaveBits] = 8;
    float p[kTmParamCount] = {};
    const std::string path = dir.file(name);
    EXPECT_EQ(name.back() == 'f' ? buf2tif(px.data(), info, 32 * 3, nullptr, exif, gps, 0, nullptr,
                                           method, p, 0, nullptr, path.c_str())
                                 : KVwritejpg(path.c_str(), 90, info, 32 * 3, nullptr, exif, gps, 0,
                                              nullptr, method, p, px.data()),
              24);
    return path;
}

// The exposure time of a photo's record, in seconds.
double exposure(const SourcePhoto &photo)
{
    const int32_t *exif = reinterpret_cast<const int32_t *>(photo.exifBuf->bytes());
    return exif[kExifExposureDen] ? double(exif[kExifExposureNum]) / exif[kExifExposureDen] : 0;
}

} // namespace

TEST(ParseOptions, ReadsOptionsAndRefusesBadUsage)
{
    Options o;
    std::string err;
    ASSERT_TRUE(parse({"-o", "out.TIFF", "--method=deredid", "--set", "Strength=50", "-q", "20",
                       "-j", "8", "--denoise", "0", "a.tif", "b.tif"},
                      &o, &err))
        << err;
    EXPECT_EQ(o.method, 1);
    EXPECT_EQ(o.denoise, 0);
    ASSERT_EQ(o.settings.size(), 1u);
    EXPECT_EQ(o.settings[0].second, "50");
    EXPECT_EQ(o.quality, 20);
    EXPECT_EQ(o.format, OutputFormat::Tiff); // from the output's extension
    EXPECT_EQ(o.photos.size(), 2u);
    Options plain; // without --method: the local operator
    ASSERT_TRUE(parse({"-f", "jpeg", "-o", "x.JPEG", "a.jpg"}, &plain, &err)) << err;
    EXPECT_EQ(plain.method, 1);
    EXPECT_FALSE(plain.methodGiven);
    Options paired;
    ASSERT_TRUE(parse({"-m", "Two-Photos", "--pair", "3,1", "a", "b", "c"}, &paired, &err)) << err;
    EXPECT_EQ(paired.method, 13);
    EXPECT_EQ(paired.pair[0] * 10 + paired.pair[1], 31);
    for (int id : {11, 12, 14})
        EXPECT_EQ(method_from_name(method_name(id)), id);
    EXPECT_EQ(plain.denoise, -1); // the user default decides
    ASSERT_TRUE(parse({"--denoise=5", "a.jpg"}, &plain, &err)) << err;
    EXPECT_EQ(plain.denoise, 5);

    const struct {
        std::vector<const char *> args;
        const char *says;
    } bad[] = {
        {{}, "no photos"},
        {{"--frobnicate", "a.jpg"}, "--frobnicate"},
        {{"-o"}, "needs a value"},
        {{"--set", "Strength", "a.jpg"}, "NAME=VALUE"},
        {{"--method", "magic", "a.jpg"}, "magic"},
        {{"--threads", "0", "a.jpg"}, "1 to 32"},
        {{"--quality", "19", "a.jpg"}, "20 to 100"},
        {{"-q", "101", "a.jpg"}, "20 to 100"},
        {{"--denoise", "6", "a.jpg"}, "--denoise takes a number from 0 to 5, not '6'"},
        {{"--denoise=-1", "a.jpg"}, "0 to 5"},
        {{"--denoise", "one", "a.jpg"}, "0 to 5"},
        {{"--denoise", "1.5", "a.jpg"}, "0 to 5"},
        {{"-o", "out.png", "a.jpg"}, "out.png needs the extension"},
        {{"-o", "result", "a.jpg"}, "result needs the extension"},
        {{"-f", "tiff", "-o", "x.jpg", "a.jpg"}, "does not fit the output x.jpg"},
        {{"-f", "jpeg", "-o", "x.tif", "a.jpg"}, "does not fit the output x.tif"},
        {{"--pair", "2,2", "a.jpg", "b.jpg"}, "two different photo numbers"},
        {{"--pair", "0,1", "a.jpg", "b.jpg"}, "two different photo numbers"},
        {{"--pair", "1;2", "a.jpg", "b.jpg"}, "two different photo numbers"},
        {{"--pair", "1,3", "a.jpg", "b.jpg"}, "names a photo past the 2 given"},
    };
    for (const auto &c : bad) {
        Options refused;
        EXPECT_FALSE(parse(c.args, &refused, &err)) << c.says;
        EXPECT_TRUE(contains(err, c.says)) << err;
    }
    // The "GeneralQuality" preference keeps its own rule: a whole 20..100 as given, anything
    // else 100, however wide the integer (2^32 + 20 must not wrap to 20).
    EXPECT_EQ(jpeg_quality(20), 20);
    EXPECT_EQ(jpeg_quality(19), 100);
    EXPECT_EQ(jpeg_quality(55.0), 55);
    for (const platform::Value &v : {platform::Value(int64_t(4294967316)),
                                     platform::Value(INT64_MIN + 20), platform::Value(55.5)})
        EXPECT_EQ(jpeg_quality(v), 100) << v.doubleValue();
}

// Controls and bytes that are not UTF-8 (a stray byte, an overlong form, a surrogate, past
// U+10FFFF, cut short) come out as C escapes; valid UTF-8 as it is.
TEST(Printable, EscapesControlsAndBytesThatAreNotUtf8)
{
    const std::string valid = "\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\xb7 \xc2\xa0 \xf4\x8f\xbf\xbf";
    EXPECT_EQ(printable(valid + "a\nb\tc\rd\\e\x1b[2J\x7f\xc2\x9bJ \xff \xc0\xaf \xed\xa0\x80 "
                                "\xf4\x90\x80\x80 \xe2\x82"),
              valid + "a\\nb\\tc\\rd\\\\e\\x1b[2J\\x7f\\xc2\\x9bJ \\xff \\xc0\\xaf \\xed\\xa0\\x80 "
                      "\\xf4\\x90\\x80\\x80 \\xe2\\x82");
}

// The forms getopt_long takes: attached values, "=" values, abbreviations, grouped flags, "--";
// the photo count is checked with the options.
TEST(ParseOptions, TakesTheFormsGetoptLongTakes)
{
    const struct {
        std::vector<const char *> args;
        int threads, quality;
        size_t photos;
    } good[] = {
        {{"-j3", "a.jpg"}, 3, -1, 1},
        {{"-q90", "-j", "2", "a.jpg"}, 2, 90, 1},
        {{"--threads=3", "a.jpg", "--quality", "95"}, 3, 95, 1},
        {{"--thr=4", "--qual=80", "a.jpg"}, 4, 80, 1}, // unambiguous abbreviations
        {{"-hj5", "a.jpg"}, 5, -1, 1},                 // a flag grouped before a valued one
        {{"-j1", "--", "-j2", "--quiet"}, 1, -1, 2},   // after "--" only photos
        {{"-", "a.jpg"}, -1, -1, 2},                   // "-" is a name
    };
    for (const auto &c : good) {
        Options o;
        std::string err;
        ASSERT_TRUE(parse(c.args, &o, &err)) << c.args[0] << ": " << err;
        EXPECT_EQ(o.threads, c.threads) << c.args[0];
        EXPECT_EQ(o.quality, c.quality) << c.args[0];
        EXPECT_EQ(o.photos.size(), c.photos) << c.args[0];
        EXPECT_FALSE(o.quiet) << c.args[0];
    }
    Options o;
    std::string err;
    ASSERT_TRUE(parse({"-hmfusion", "--set=Shadows=5", "--settings", "p.xmp", "a.jpg"}, &o, &err))
        << err;
    EXPECT_TRUE(o.help);
    EXPECT_EQ(o.method, 10);
    ASSERT_EQ(o.settings.size(), 1u);
    EXPECT_EQ(o.settings[0], (std::pair<std::string, std::string>{"Shadows", "5"}));
    EXPECT_EQ(o.settingsFile, "p.xmp"); // --set is no abbreviation of --settings, nor the reverse
    Options aligned;
    ASSERT_TRUE(parse({"--align=translation", "--keep", "a.jpg"}, &aligned, &err)) << err;
    EXPECT_EQ(aligned.align, kAlignTranslation);
    EXPECT_TRUE(aligned.keepSize);

    const struct {
        std::vector<const char *> args;
        const char *says;
    } bad[] = {
        {{"--se", "x", "a.jpg"}, "'--se' is ambiguous (--settings, --set)"},
        {{"--quiet=1", "a.jpg"}, "--quiet takes no value"},
        {{"-x", "a.jpg"}, "unknown option '-x'"},
        {{"-hx", "a.jpg"}, "unknown option '-x' in '-hx'"},
        {{"-j"}, "option -j needs a value"},
        {{"-j0", "a.jpg"}, "-j takes a number from 1 to 32, not '0'"},
        {{"-j=3", "a.jpg"}, "not '=3'"},
        {{"a", "b", "c", "d", "e", "f"}, "give 1 to 5 photos, not 6"},
    };
    for (const auto &c : bad) {
        Options refused;
        EXPECT_FALSE(parse(c.args, &refused, &err)) << c.says;
        EXPECT_TRUE(contains(err, c.says)) << err;
    }
}

// "NoiseReductionSettings": never (2) denoises nothing; always (1), ask (0, with nobody to ask)
// or missing take "NoiseReductionWhere" photos, where 0 or missing is the darkest one.
TEST(NoiseReductionCount, ReadsTheUserDefault)
{
    using platform::Dictionary;
    const struct {
        platform::Value settings;
        int count;
    } cases[] = {
        {platform::Value(), 1},
        {platform::Value(2), 1}, // not a dictionary: as missing
        {Dictionary{}, 1},
        {Dictionary{{"NeedNoiseReduction", 2}}, 0},
        {Dictionary{{"NeedNoiseReduction", 2.0}, {"NoiseReductionWhere", 3}}, 0},
        {Dictionary{{"NeedNoiseReduction", 1}, {"NoiseReductionWhere", 0}}, 1},
        {Dictionary{{"NeedNoiseReduction", 0}, {"NoiseReductionWhere", 2}}, 2},
        {Dictionary{{"NoiseReductionWhere", 3}}, 3},
        {Dictionary{{"NoiseReductionWhere", 99}}, 5},
        {Dictionary{{"NoiseReductionWhere", -4}}, 1},
        {Dictionary{{"NoiseReductionWhere", "2"}}, 1}, // text is no number
    };
    for (size_t k = 0; k < std::size(cases); ++k)
        EXPECT_EQ(noise_reduction_count(cases[k].settings), cases[k].count) << "case " << k;
}

// "AlignmentSettings": never (2) aligns nothing; always (1), ask (0, with nobody to ask) or
// missing align by features unless "AlignmentType" is 0; "Crop" 0 keeps the size.
TEST(AlignmentSettings, ReadsTheUserDefaultAndTheOptions)
{
    using platform::Dictionary;
    const struct {
        platform::Value settings;
        int alignType;
        bool crop;
    } cases[] = {
        {platform::Value(), kAlignFeatures, true},
        {platform::Value(3), kAlignFeatures, true}, // not a dictionary: as missing
        {Dictionary{{"NeedAlignment", 2}, {"AlignmentType", 0}}, kAlignNone, true},
        {Dictionary{{"NeedAlignment", 0}, {"AlignmentType", 0}}, kAlignTranslation, true},
        {Dictionary{{"NeedAlignment", 1}, {"AlignmentType", 1}, {"Crop", 0}}, kAlignFeatures,
         false},
        {Dictionary{{"Crop", 5}}, kAlignFeatures, true},
    };
    for (size_t k = 0; k < std::size(cases); ++k) {
        const AlignmentChoice c = alignment_settings(cases[k].settings);
        EXPECT_EQ(c.alignType, cases[k].alignType) << "case " << k;
        EXPECT_EQ(c.crop, cases[k].crop) << "case " << k;
    }
    for (auto [word, type] : {std::pair{"features", kAlignFeatures},
                              {"Translation", kAlignTranslation},
                              {"none", kAlignNone}}) {
        Options o;
        std::string error;
        const char *argv[] = {"zenit", "--align", word, "--keep-size", "a.jpg"};
        ASSERT_TRUE(parse_options(5, argv, &o, &error)) << error;
        EXPECT_EQ(o.align, type);
        EXPECT_TRUE(o.keepSize);
    }
    Options o;
    std::string error;
    const char *bad[] = {"zenit", "--align", "shift", "a.jpg"};
    EXPECT_FALSE(parse_options(4, bad, &o, &error));
    EXPECT_NE(error.find("features, translation or none"), std::string::npos) << error;
    const char *plain[] = {"zenit", "a.jpg"};
    Options d;
    ASSERT_TRUE(parse_options(2, plain, &d, &error));
    EXPECT_EQ(d.align, kAlignFromDefaults);
    EXPECT_FALSE(d.keepSize);
}

TEST(ResolveSettings, ValuesParseWholeAndLieInTheirRange)
{
    struct Case {
        int method;
        std::vector<std::pair<std::string, std::string>> set;
        int slot;         // checked slot when accepted, -1 when refused
        float value;      // its value
        const char *says; // in the message when refused
    } cases[] = {
        {2, {{"brightness", "+2.5"}}, 0, 2.5f, ""},
        {2, {{"Compression", "-10"}, {"Saturation", "1e1"}}, 13, 10.0f, ""},
        {2, {{"WhiteClip", "0.25"}}, 3, 0.25f, ""},
        {1, {{"Gamma", "1.0"}}, 8, 50.0f, ""}, // the slider's middle
        {1, {{"Gamma", "0.5"}}, 8, 100.0f, ""},
        {1, {{"SmoothingMode", "light"}, {"Smoothing", "Medium"}}, 5, 2.0f, ""},
        {1, {{"SmoothingMode", "Light"}, {"Smoothing", "4"}}, 5, 4.0f, ""},
        {1, {{"Smoothing", "-10"}}, 17, -10.0f, ""},
        {10, {{"MidtonesAdjustment", "20"}}, 6, 20.0f, ""},
        {11, {{"Strength", "-20"}, {"Radius", "100"}}, 2, 100.0f, ""},
        {11, {{"Saturation", "3.5"}}, 1, 3.5f, ""},
        {2, {{"Brightness", "abc"}}, -1, 0, "Brightness takes a number from -10 to 10"},
        {2, {{"Brightness", "2x"}}, -1, 0, "Brightness=2x"},
        {2, {{"Brightness", ""}}, -1, 0, "-10 to 10"},
        {2, {{"Brightness", "nan"}}, -1, 0, "-10 to 10"},
        {2, {{"Brightness", "inf"}}, -1, 0, "-10 to 10"},
        {2, {{"Brightness", "1e9"}}, -1, 0, "-10 to 10"},
        {2, {{"Brightness", "10.01"}}, -1, 0, "-10 to 10"},
        {2, {{"Compression", "100"}}, -1, 0, "Compression takes a number from -10 to 10"},
        {2, {{"BlackClip", "-1"}}, -1, 0, "BlackClip takes a number from 0 to 10"},
        {1, {{"Strength", "101"}}, -1, 0, "Strength takes a number from 0 to 100"},
        {1, {{"Gamma", "0.4"}}, -1, 0, "Gamma takes a number from 0.5 to 2"},
        {1, {{"SmoothingMode", "Heavy"}}, -1, 0, "Slider or Light"},
        {1, {{"SmoothingMode", "Light"}, {"Smoothing", "5"}}, -1, 0, "Very High"},
        {1, {{"Smoothing", "High"}}, -1, 0, "-10 to 10"}, // Slider mode by default
        {10, {{"Accentuation", "11"}}, -1, 0, "Accentuation takes a number from -10 to 10"},
        {1, {{"Brightness", "1"}}, -1, 0, "Strength, ColorSaturation"}, // lists what exists
        {11, {{"Strength", "11"}}, -1, 0, "Strength takes a number from -20 to 10"},
        {11, {{"Radius", "0.5"}}, -1, 0, "Radius takes a number from 1 to 100"},
        {14, {{"Strength", "1"}}, -1, 0, "mean has no settings"},
    };
    for (const Case &c : cases) {
        Options o;
        o.method = c.method;
        o.settings = c.set;
        int method = 0;
        float p[kTmParamCount];
        RoadError e = resolve_settings(o, &method, p);
        const std::string label = c.set.back().first + "=" + c.set.back().second;
        if (c.slot >= 0) {
            ASSERT_FALSE(e) << label << ": " << e.message;
            EXPECT_FLOAT_EQ(p[c.slot], c.value) << label;
        } else {
            EXPECT_EQ(e.code, kExitUsage) << label;
            EXPECT_TRUE(contains(e.message, c.says)) << label << ": " << e.message;
        }
    }
}

TEST(ResolveSettings, PairIsForTwoPhotosAlone)
{
    // Without --pair the road chooses (-1); --pair numbers from 1, the slots from 0.
    for (auto [method, pair, slots, says] :
         {std::tuple{13, std::array{0, 0}, std::array{-1.0f, -1.0f}, ""},
          {13, {3, 1}, {2.0f, 0.0f}, ""},
          {11,
           {1, 2},
           {},
           "--pair chooses the photos of two-photos (method 13), not of "
           "Fusion/Intensive"}}) {
        Options o;
        o.method = method;
        std::copy(pair.begin(), pair.end(), o.pair);
        int m = 0;
        float p[kTmParamCount] = {};
        RoadError e = resolve_settings(o, &m, p);
        EXPECT_TRUE(contains(e.message, says)) << e.message;
        if (!e) {
            EXPECT_EQ(p[kTwoPhotoA], slots[0]);
            EXPECT_EQ(p[kTwoPhotoB], slots[1]);
        }
    }
}

TEST(ResolveSettings, PacketsAreCheckedAndSettingsFilesCapped)
{
    TempDir tmp;
    float p[kTmParamCount] = {};
    p[kRoBrightness] = 2;
    const std::string good = packet_text(2, p);
    auto file = [&](const std::string &name, const std::string &text) {
        write_file(tmp.file(name), Bytes(text.begin(), text.end()));
        return tmp.file(name);
    };
    auto with = [&](const std::string &from, const std::string &to) {
        std::string s = good;
        return s.replace(s.find(from), from.size(), to);
    };
    // A setting before the version, the version and method as attributes: the check finds each
    // where it is, in its own form.
    const std::string mixed = "<d xmlns:kvtm='" + std::string(metadata::kKvtmNamespace) +
                              "'><kvtm:Brightness>99</kvtm:Brightness><e kvtm:Version='4.0' "
                              "kvtm:Method='Rodo Vizezadadu'/></d>";
    const struct {
        std::string path;
        int code;
        const char *says;
    } cases[] = {
        {file("good.xmp", good), kExitOk, ""},
        {file("nan.xmp", with(">2.0<", ">nan<")), kExitUsage, "nan.xmp: Brightness is nan"},
        {file("big.xmp", with(">2.0<", ">50<")), kExitUsage, "Brightness is 50, outside -10..10"},
        {file("clip.xmp", with("<kvtm:BlackClip>0.000000", "<kvtm:BlackClip>-3")), kExitUsage,
         "BlackClip is -3"},
        {file("huge.xmp", good + std::string(size_t(kMaxSettingsFileBytes), ' ')), kExitBadInput,
         "too large for a settings file"},
        {file("none.xmp", "<x:xmpmeta/>"), kExitBadInput, "holds no settings packet"},
        {tmp.path(), kExitBadInput, "is a directory"},
        {write_photo(tmp, "result.jpg", 100, 2), kExitOk, ""},
        {write_photo(tmp, "photo.jpg", 100), kExitBadInput, "holds no settings packet"},
        {file("mixed.xmp", mixed), kExitUsage, "Brightness is 99, outside -10..10"},
        {write_photo(tmp, "mean.jpg", 100, kMethodMean), kExitBadInput,
         "mean.jpg holds no settings: it is a result of highlights-shadows, two-photos or mean, "
         "which have none (give -m)"},
        {file("future.xmp", with("Rodo Vizezadadu", "Fusion/Panorama")), kExitBadInput,
         "holds the settings of a method this version does not know"},
    };
    for (const auto &c : cases) {
        Options o;
        o.settingsFile = c.path;
        int method = 0;
        float q[kTmParamCount];
        RoadError e = resolve_settings(o, &method, q);
        EXPECT_EQ(e.code, c.code) << c.path << ": " << e.message;
        EXPECT_TRUE(contains(e.message, c.says)) << e.message;
        EXPECT_EQ(method, e ? 0 : 2);
    }
    // With -m given, the refusal does not ask for it.
    Options o;
    o.settingsFile = tmp.file("mean.jpg");
    o.method = kMethodMean;
    o.methodGiven = true;
    int method = 0;
    float q[kTmParamCount];
    const RoadError e = resolve_settings(o, &method, q);
    EXPECT_EQ(e.code, kExitBadInput);
    EXPECT_TRUE(contains(e.message, "which have none (leave out --settings)")) << e.message;
}

// A packet's texts are told as --set values are: a value the reader would skip or read in part
// is refused (exit 2, naming the file and the setting), not replaced by the default. Older
// packets keep what their reader takes; "-0" is zero.
TEST(ResolveSettings, PacketTextsAreToldAsSetValuesAre)
{
    TempDir tmp;
    float p[kTmParamCount];
    tmparam_default(kMethodDeredid, 0, p);
    const std::string good = packet_text(kMethodDeredid, p);
    auto with = [&](const std::string &name, const std::string &text) {
        const std::string open = "<kvtm:" + name + ">";
        std::string s = good;
        const size_t b = s.find(open) + open.size();
        return s.replace(b, s.find('<', b) - b, text);
    };
    const struct {
        std::string name, text, says;
    } cases[] = {
        {"Strength", "abc", "Strength is abc, not a number (0..100)"},
        {"Strength", "", "Strength is empty, not a number"},
        {"Strength", "60x", "Strength is 60x, not a number"},
        {"Strength", "&#54;0x", "Strength is 60x, not a number"}, // as XML reads it
        {"Strength", "6<!-- 0 -->1<![CDATA[x]]>", "Strength is 61x, not a number"},
        {"Strength", "101", "Strength is 101, outside 0..100"},
        {"Strength", "1e400", "Strength is 1e400, outside 0..100"},
        {"Strength", "-1e-400", "Strength is -1e-400, outside 0..100"}, // below 0, however little
        {"SmoothingMode", "Bogus", "SmoothingMode is Bogus, not Slider or Light"},
        {"SmoothingMode", "light", "SmoothingMode is light, not Slider or Light"}, // as read
        {"Gamma", "9", "Gamma is 9, outside 0.5..2"},
        {"Microcontrast", "Medium Low", "Microcontrast is Medium Low, not a number"},
    };
    int method = 0;
    float q[kTmParamCount];
    // The packet text as a settings file, resolved.
    auto resolve = [&](const std::string &name, const std::string &text) {
        const std::string path = tmp.file(name);
        EXPECT_TRUE(write_file(path, Bytes(text.begin(), text.end())));
        Options o;
        o.settingsFile = path;
        return resolve_settings(o, &method, q);
    };
    for (const auto &c : cases) {
        const std::string path = tmp.file(c.name + ".xmp");
        const RoadError e = resolve(c.name + ".xmp", with(c.name, c.text));
        EXPECT_EQ(e.code, kExitUsage) << c.text;
        EXPECT_TRUE(contains(e.message, path + ": " + c.says)) << e.message;
    }
    // A packet that is not well-formed XML is bad input, told where and why.
    const std::pair<std::string, std::string> faults[] = {
        {with("Strength", "6&#0;0"), "line 8, column 17: reference to invalid character number"},
        {with("Strength", "&nbsp;"), "line 8, column 16: undefined entity"},
        // Where it stands after kilobytes of bytes read as U+FFFD (three bytes for one).
        {with("Strength", "<!--" + std::string(6000, '\xC0') + "\n-->6&#0;0"),
         "line 9, column 5: reference to invalid character number"},
        {good.substr(0, good.find("</rdf:RDF>")), "line 26, column 1: it ends inside a tag or an"},
    };
    for (const auto &[text, says] : faults) {
        const RoadError e = resolve("fault.xmp", text);
        EXPECT_EQ(e.code, kExitBadInput) << text;
        EXPECT_TRUE(contains(e.message, tmp.file("fault.xmp") +
                                            ": its settings packet is not well-formed XML (" +
                                            says))
            << e.message;
    }
    // Good texts: padded words and numbers, Light mode's level word, the attribute form.
    std::string light = with("SmoothingMode", " Light ");
    light.replace(light.find("<kvtm:Smoothing>"),
                  light.find("</kvtm:Smoothing>") - light.find("<kvtm:Smoothing>"),
                  "<kvtm:Smoothing>Low     ");
    const std::string fine[] = {with("Strength", " 61.5 "), light, with("Strength", "&#54;0"),
                                "<x:xmpmeta><rdf:Description xmlns:kvtm=\"" +
                                    std::string(metadata::kKvtmNamespace) +
                                    "\" kvtm:Version=\"4.0\" kvtm:Method=\"Rodo "
                                    "Vizezadadu\" kvtm:Brightness=\"-3\"/></x:xmpmeta>"};
    for (const auto &text : fine) {
        const RoadError e = resolve("fine.xmp", text);
        EXPECT_FALSE(e) << e.message << "\n" << text;
    }
    // A packet of version 2.4 writes Microcontrast as a word, which its reader takes.
    Options old;
    old.settingsFile =
        std::string(HDR_SOURCE_DIR) + "/tests/data/corrupt/xmp/version_2_4_words.xmp";
    EXPECT_FALSE(resolve_settings(old, &method, q)) << "version 2.4";
    // "-0" in a packet is zero too.
    ASSERT_FALSE(resolve("zero.xmp", with("Strength", "-0")));
    EXPECT_FALSE(std::signbit(q[kDeStrength])) << "a packet's -0";

    Options zero;
    zero.method = kMethodDeredid;
    zero.settings = {{"Strength", "-0"}};
    ASSERT_FALSE(resolve_settings(zero, &method, q));
    EXPECT_EQ(q[kDeStrength], 0.0f);
    EXPECT_FALSE(std::signbit(q[kDeStrength])) << "written as -0.0";
    EXPECT_TRUE(contains(packet_text(kMethodDeredid, q), "<kvtm:Strength>0.0<"));
}

// Values are taken as the result's packet records them, whatever order they were set in, and
// each rounded one is told; a packet read back then gives the same settings.
TEST(ResolveSettings, ValuesAreTakenAtThePrecisionThePacketRecords)
{
    const struct {
        int method;
        std::vector<std::pair<std::string, std::string>> set;
        std::vector<std::string> notes;
    } cases[] = {
        {1,
         {{"Gamma", "0.75"},
          {"Strength", "60.25"},
          {"WhiteClip", "0.1234567"},
          {"Luminosity", "1"}},
         {"Strength 60.25 is taken as 60.2", "WhiteClip 0.1234567 is taken as 0.123457",
          "Gamma 0.75 is taken as 0.7"}},
        {1,
         {{"ColorSaturation", "33.333"}, {"Microcontrast", "-2.5"}, {"Smoothing", "1.25"}},
         {"ColorSaturation 33.333 is taken as 33.3", "Smoothing 1.25 is taken as 1.2"}},
        {2, {{"Brightness", "1.25"}, {"Contrast", "-3"}}, {"Brightness 1.25 is taken as 1.2"}},
        {10,
         {{"MidtonesAdjustment", "3.33"}, {"Accentuation", "1.25"}},
         {"Accentuation 1.25 is taken as 1.2", "MidtonesAdjustment 3.33 is taken as 3.3"}},
        {11, {{"Radius", "12.25"}}, {"Radius 12.25 is taken as 12.2"}},
        {1, {{"Luminosity", "-0.04"}}, {"Luminosity -0.04 is taken as 0.0"}}, // as recorded
        // Too small for the setting's float, or for a double: zero, told all the same.
        {1,
         {{"Strength", "1e-46"}, {"Luminosity", "-1e-400"}, {"WhiteClip", "4.9e-324"}},
         {"Strength 1e-46 is taken as 0.0", "Luminosity -1e-400 is taken as 0.0",
          "WhiteClip 4.9e-324 is taken as 0.000000"}},
        {1, {{"Strength", "1e-45"}}, {"Strength 1e-45 is taken as 0.0"}}, // a float's least
        {1, {{"SmoothingMode", "Light"}, {"Smoothing", "3"}, {"Gamma", "2"}}, {}},
        {14, {}, {}},
    };
    for (const auto &c : cases) {
        Options o;
        o.method = c.method;
        o.settings = c.set;
        int method = 0;
        float p[kTmParamCount], back[kTmParamCount];
        std::vector<std::string> notes;
        ASSERT_FALSE(resolve_settings(o, &method, p, &notes)) << c.set.size();
        std::string told;
        for (const std::string &n : notes)
            told += n + "\n";
        for (const std::string &n : c.notes)
            EXPECT_TRUE(contains(told, n + ", as the result's settings packet records it\n"))
                << n << " in\n"
                << told;
        EXPECT_EQ(notes.size(), c.notes.size()) << told; // -2.5, 1, 3 and 2 are kept as given
        if (c.method == 14)
            continue;
        // The packet the result carries gives every value back exactly.
        const std::string packet = packet_text(c.method, p);
        std::copy(p, p + kTmParamCount, back);
        ASSERT_GE(
            get_settings_from_xmp(c.method, int(packet.size() + 1), packet.c_str(), nullptr, back),
            0);
        for (int i = 0; i < kTmParamCount; ++i)
            EXPECT_EQ(back[i], p[i]) << "slot " << i << " of method " << c.method;
    }
    // Defaults are recorded as they stand: nothing is told.
    for (int m : {1, 2, 10, 11}) {
        Options o;
        o.method = m;
        int method = 0;
        float p[kTmParamCount];
        std::vector<std::string> notes;
        ASSERT_FALSE(resolve_settings(o, &method, p, &notes));
        EXPECT_TRUE(notes.empty()) << m << ": " << notes.front();
    }
}

TEST(CheckOutput, RefusesAPhotoItsFolderMissingOrADirectory)
{
    TempDir tmp;
    const std::string a = tmp.file("a.jpg"), linked = tmp.file("linked.jpg"),
                      sym = tmp.file("sym.jpg"), other = tmp.file("other.jpg");
    write_file(a, Bytes{1, 2, 3});
    write_file(other, Bytes{4});
    ASSERT_EQ(::link(a.c_str(), linked.c_str()), 0);
    ASSERT_EQ(::symlink(a.c_str(), sym.c_str()), 0);
    const std::vector<std::string> photos{tmp.file("b.jpg"), a};
    for (const std::string &out : {a, linked, sym, tmp.path() + "/./a.jpg"}) {
        RoadError e = check_output(photos, out);
        EXPECT_EQ(e.code, kExitUsage) << out;
        EXPECT_TRUE(contains(e.message, "is the photo " + a)) << e.message;
    }
    EXPECT_FALSE(check_output(photos, other)); // another existing file may be replaced
    EXPECT_FALSE(check_output(photos, tmp.file("new.jpg")));
    EXPECT_EQ(check_output(photos, tmp.file("no/such/out.jpg")).code, kExitFailed);
    EXPECT_EQ(check_output(photos, a + "/out.jpg").code, kExitFailed); // a file, not a folder
    EXPECT_EQ(check_output(photos, tmp.path()).code, kExitFailed);

    // A name the file system cannot take: one byte past the folder's longest, or a path past the
    // system's (a folder deep enough that a long name overruns it).
    const std::string longest =
        std::string(size_t(pathconf(tmp.path().c_str(), _PC_NAME_MAX)) - 4, 'n');
    EXPECT_FALSE(check_output(photos, tmp.file(longest + ".jpg")));
    RoadError e = check_output(photos, tmp.file(longest + "x.jpg"));
    EXPECT_EQ(e.code, kExitFailed);
    EXPECT_TRUE(contains(e.message, "the name is longer than the")) << e.message;
    std::string deep = tmp.path(); // ends 256 to 356 bytes short of the system's limit
    while (deep.size() < PATH_MAX - 256) {
        deep += "/" + std::string(100, 'd');
        ASSERT_EQ(::mkdir(deep.c_str(), 0755), 0);
    }
    EXPECT_FALSE(check_output(photos, deep + "/" + std::string(60, 's') + ".jpg"));
    e = check_output(photos, deep + "/" + std::string(250, 's') + ".jpg");
    EXPECT_EQ(e.code, kExitFailed);
    EXPECT_TRUE(contains(e.message, "longer than the " + std::to_string(PATH_MAX - 1) + " bytes"))
        << e.message;
    // So must the hidden names of the save, ".NAME.PID-99" beside -o's file or ".NAME.XXXXXX".
    const std::string deeper = deep + "/" + std::string(PATH_MAX - 101 - deep.size(), 'e');
    ASSERT_EQ(::mkdir(deeper.c_str(), 0755), 0);
    const size_t suffix = std::max<size_t>(7, ("." + std::to_string(::getpid()) + "-99").size());
    const size_t fits = PATH_MAX - 3 - suffix - deeper.size(); // the longest name
    EXPECT_FALSE(check_output(photos, deeper + "/" + std::string(fits - 4, 'h') + ".jpg"));
    e = check_output(photos, deeper + "/" + std::string(fits - 3, 'h') + ".jpg");
    EXPECT_EQ(e.code, kExitFailed);
    EXPECT_TRUE(contains(e.message, "the hidden temporary file")) << e.message;
}

TEST(CheckAndProbe, TypesNotSpellingsDirectoriesAndEarlierResults)
{
    TempDir tmp;
    const std::string a = write_photo(tmp, "a.jpg", 100), b = write_photo(tmp, "b.JPG", 25),
                      c = write_photo(tmp, "c.jpeg", 6), result = write_photo(tmp, "r.jpg", 50, 2);
    std::vector<uint8_t> px(32 * 24 * 3, 120);
    const std::string t = tmp.file("t.tif");
    ASSERT_TRUE(write_libtiff(t, px.data(), 32, 24, 3));
    Document doc;
    ASSERT_FALSE(check_and_probe({a, b, c}, &doc));
    ASSERT_EQ(doc.photos.size(), 3u);
    EXPECT_NEAR(exposure(doc.photos[2]), 1.0 / 6, 1e-3); // rationals of scale 100: 100/599

    const std::string rtif = write_photo(tmp, "r.tif", 50, 2), fifo = tmp.file("p.jpg"),
                      psd = tmp.file("x.psd"), mjpg = write_photo(tmp, "m.jpg", 50, kMethodMean);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    write_file(psd, read_file(result));
    const struct {
        std::vector<std::string> photos;
        const char *says;
        int code = kExitBadInput;
    } refused[] = {
        {{a, t}, "t.tif is a TIFF photo, but a.jpg is a JPEG"},
        {{a, tmp.path() + "/dir.jpg"}, "dir.jpg is a directory"},
        {{a, result}, "r.jpg is an earlier result (made with Rodo Vizezadadu)"},
        {{write_photo(tmp, "bare.jpg", 0, 1)}, "bare.jpg is an earlier result"}, // no EXIF
        {{rtif}, "r.tif is an earlier result"},
        // The methods without settings record no method: their results are told all the same.
        {{write_photo(tmp, "m.tif", 50, kMethodMean)},
         "m.tif is an earlier result (made with highlights-shadows, two-photos or mean: its "
         "packet does not say which), not a photo of the bracket"},
        // Past five photos the earlier results among them are named; only regular JPEG and TIFF
        // files are read for it (a named pipe would block the reader).
        {{a, fifo, psd, a, tmp.path(), result}, "not 6 (r.jpg is an earlier result)", kExitUsage},
        {{rtif, a, mjpg, result, a, fifo, rtif},
         "not 7 (r.tif, m.jpg, r.jpg and r.tif are earlier results)",
         kExitUsage},
    };
    ExifInfo mean; // the metadata reader keeps the place of such a packet too
    ASSERT_EQ(getExifData(mjpg.c_str(), 1, &mean), 1);
    EXPECT_GT(mean.xmpLength, 0);
    ASSERT_EQ(::mkdir((tmp.path() + "/dir.jpg").c_str(), 0755), 0);
    for (const auto &r : refused) {
        RoadError e = check_and_probe(r.photos, &doc);
        EXPECT_EQ(e.code, r.code) << r.says;
        EXPECT_TRUE(contains(e.message, r.says)) << e.message;
    }
}

// A JPEG whose IPTC walk fails (a stray byte where the next marker should be, which the decoder
// skips with a warning) after its EXIF was read: the exposure read before the failure stays.
TEST(CheckAndProbe, KeepsTheExposureReadBeforeTheMetadataReaderFailed)
{
    TempDir tmp;
    const Bytes photo = read_file(write_photo(tmp, "p.jpg", 320));
    size_t app1 = 2;
    while (photo[app1 + 1] != 0xE1) // past the JFIF segment to the EXIF segment
        app1 += 2 + size_t(photo[app1 + 2] << 8 | photo[app1 + 3]);
    const size_t after = app1 + 2 + size_t(photo[app1 + 2] << 8 | photo[app1 + 3]);
    Bytes broken(photo.begin(), photo.begin() + long(after));
    broken.push_back(0x00);
    broken.insert(broken.end(), photo.begin() + long(after), photo.end());
    const std::string path = tmp.file("broken.jpg");
    write_file(path, broken);
    ExifInfo info;
    ASSERT_LT(getExifData(path.c_str(), 1, &info), 0);
    Document doc;
    ASSERT_FALSE(check_and_probe({path}, &doc));
    EXPECT_NEAR(exposure(doc.photos[0]), 1.0 / 320, 1e-7);
}
