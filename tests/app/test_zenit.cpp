// End-to-end tests: the zenit program on the real brackets, on the generator's brackets of a known
// scene (pixels against the scene), and on hand-made bad input and usage.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "app/options.h"
#include "app/road.h"
#include "app/settings.h"
#include "fusion/combination.h"
#include "imagecore/jpeg_readers.h"
#include "imagecore/records.h"
#include "imagecore/tiff_probe.h"
#include "metadata/exif_reader.h"
#include "metadata/jpeg_writer.h"
#include "metadata/xmp_settings.h"
#include "platform/bitmap.h"
#include "platform/user_defaults.h"
#include "tests/metadata/exif_test_util.h"
#include "tests/support/bracket_generator.h"
#include "tests/support/child_process.h"
#include "tests/support/fixtures.h"
#include "tests/support/image_compare.h"
#include "tests/support/shot_records.h"
#include "tests/support/warp.h"
#include "tonemap/tm_params.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

struct ZenitRun {
    int status = -1;
    std::string err;
};

// Runs zenit with the arguments; its standard error is captured.
ZenitRun zenit(const std::vector<std::string> &args)
{
    const ChildRun c = run_child(ZENIT_BINARY, args);
    return ZenitRun{c.status, c.err};
}

std::vector<std::string> bracket(const std::string &name)
{
    std::vector<std::string> files;
    std::error_code ec;
    for (const auto &e : fs::directory_iterator(std::string(HDR_TESTDATA_DIR) + "/" + name, ec))
        if (e.path().extension() != ".md")
            files.push_back(e.path().string());
    std::sort(files.begin(), files.end());
    return files;
}

// A decoded result or photo: samples scaled to 0..1, interleaved, 1 or 3 a pixel.
struct Picture {
    int w = 0, h = 0, spp = 0, bits = 0;
    std::vector<double> v;
    std::vector<double> luminance() const
    {
        std::vector<double> y(size_t(w) * size_t(h));
        for (size_t i = 0; i < y.size(); ++i) {
            const double *p = &v[i * size_t(spp)];
            y[i] = spp == 3 ? 0.2126 * p[0] + 0.7152 * p[1] + 0.0722 * p[2] : p[0];
        }
        return y;
    }
    // The w x h part whose top-left pixel is (x0, y0).
    Picture crop(int x0, int y0, int cw, int ch) const
    {
        Picture c{cw, ch, spp, bits, {}};
        for (int y = y0; y < y0 + ch; ++y)
            c.v.insert(c.v.end(), v.begin() + ptrdiff_t((size_t(y) * w + x0) * spp),
                       v.begin() + ptrdiff_t((size_t(y) * w + x0 + cw) * spp));
        return c;
    }
};

// The photo cut to an aligned result's size: the crop keeps the area all photos cover, which
// the test takes as centred (it is off by a few pixels at most, which the comparisons allow).
Picture as_aligned(const Picture &photo, const Picture &result)
{
    return photo.crop((photo.w - result.w) / 2, (photo.h - result.h) / 2, result.w, result.h);
}

Picture load(const std::string &path)
{
    Picture pic;
    auto bmp = platform::BitmapImageRep::imageRepWithContentsOfFile(path);
    if (!bmp)
        return pic;
    pic.w = bmp->pixelsWide(), pic.h = bmp->pixelsHigh(), pic.spp = bmp->samplesPerPixel();
    pic.bits = bmp->bitsPerSample();
    for (int y = 0; y < pic.h; ++y) {
        const uint8_t *row = bmp->bitmapData() + size_t(y) * size_t(bmp->bytesPerRow());
        for (size_t i = 0; i < size_t(pic.w) * size_t(pic.spp); ++i)
            pic.v.push_back(pic.bits == 16 ? reinterpret_cast<const uint16_t *>(row)[i] / 65535.0
                                           : row[i] / 255.0);
    }
    return pic;
}

// The result shows the scene: its luminance follows the scene's log luminance (a global curve
// is monotonic, the local operator nearly so; noise, swapped bytes or a lost exposure order are
// not), and every coloured patch keeps its hue, that of the patch's colour raised to
// patchExponent: the local operator's saturation power (0.46 by default), 1 for the global
// operator, 1 / 2.2 for fusion (which blends the photos' gamma-encoded values).
void expect_scene(const Picture &pic, const RadianceMap &scene, const std::string &label,
                  double patchExponent = 0.46, double minCorrelation = 0.9)
{
    ASSERT_EQ(pic.w * 10000 + pic.h, scene.width * 10000 + scene.height) << label;
    ASSERT_EQ(pic.spp, 3) << label;
    const SceneMatch m = scene_match(pic.v, 3, scene, patchExponent);
    // The curve flattens at the sun and in the deepest shadow, so not a straight line: 0.96;
    // a merge of photos taken as equal exposures gives 0.62, noise 0.
    EXPECT_GT(m.correlation, minCorrelation) << label;
    // Each channel goes through its own compressive curve, which moves the hue by a degree or
    // two; a lost exposure order moves it by six, swapped channels by a hundred.
    for (size_t k = 0; k < m.hueError.size(); ++k)
        EXPECT_LT(m.hueError[k], 4.0) << label << ": patch " << k;
}

enum class Kind { Jpeg, JpegNoExif, Tiff8, Tiff16, Psd8, Psd16 };

// The bracket a camera would take of the scene at 1/1024, 1/64 and 1/4 s (four stops apart,
// radiance factors 1/64, 1/4 and 4), as files of one kind. The JPEGs come from the project's
// writer with their exposures, f/8, ISO 100 and the orientation in EXIF (none for JpegNoExif);
// the TIFFs from libtiff and the PSDs from the builder, both without EXIF, carrying icc.
std::vector<std::string> write_bracket(const TempDir &dir, Kind kind, const RadianceMap &scene,
                                       const Bytes &icc, int orientation = 1)
{
    const char *ext = kind <= Kind::JpegNoExif ? "jpg" : kind <= Kind::Tiff16 ? "tif" : "psd";
    const int bits = kind == Kind::Tiff16 || kind == Kind::Psd16 ? 16 : 8;
    const int w = scene.width, h = scene.height;
    std::vector<std::string> paths;
    for (int den : {1024, 64, 4}) {
        const std::vector<uint8_t> px = render_photo(scene, 16.0f / float(den), bits, 3);
        paths.push_back(dir.file("shot" + std::to_string(den) + "." + ext));
        if (kind == Kind::Jpeg || kind == Kind::JpegNoExif) {
            ShotRecords r = shot_records(w, h, kind == Kind::Jpeg ? den : 0, 0);
            r.info[kSaveOrientation] = orientation;
            r.info[kSaveIccLength] = int32_t(icc.size());
            EXPECT_EQ(KVwritejpg(paths.back().c_str(), 95, r.info, w * 3, icc.data(), r.exif, r.gps,
                                 0, nullptr, 0, nullptr, px.data()),
                      h);
        } else if (kind == Kind::Tiff8 || kind == Kind::Tiff16) {
            LibTiffOptions o;
            o.bits = bits;
            o.icc = icc;
            EXPECT_TRUE(write_libtiff(paths.back(), px.data(), w, h, 3, o));
        } else {
            PsdBuilder b;
            b.set_interleaved(px.data(), uint32_t(w), uint32_t(h), 3, bits);
            b.resources.push_back({1039, "", icc});
            EXPECT_TRUE(write_file(paths.back(), b.build()));
        }
    }
    return paths;
}

std::vector<std::string> args(std::vector<std::string> options,
                              const std::vector<std::string> &photos)
{
    options.insert(options.end(), photos.begin(), photos.end());
    return options;
}

// Points XDG_CONFIG_HOME, the home of the user defaults, at a folder while it lives.
class ConfigHome {
public:
    explicit ConfigHome(const std::string &dir)
    {
        if (const char *old = std::getenv("XDG_CONFIG_HOME"))
            m_old = old, m_had = true;
        ::setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
    }
    ~ConfigHome()
    {
        if (m_had)
            ::setenv("XDG_CONFIG_HOME", m_old.c_str(), 1);
        else
            ::unsetenv("XDG_CONFIG_HOME");
    }

private:
    std::string m_old;
    bool m_had = false;
};

ExifInfo read_info(const std::string &path, int type)
{
    ExifInfo info;
    EXPECT_GE(getExifData(path.c_str(), type, &info), 0) << path;
    return info;
}

} // namespace

class RealBracket : public ::testing::TestWithParam<const char *> {};

TEST_P(RealBracket, FollowsTheMiddlePhotoAndCarriesItsMetadata)
{
    auto photos = bracket(GetParam());
    if (photos.empty())
        GTEST_SKIP() << "no photos in " << HDR_TESTDATA_DIR << "/" << GetParam();
    TempDir tmp;
    std::string out = tmp.file("result.jpg");
    // Each method with one setting changed (its slot in the packet).
    for (auto [method, id, setting, slot, value] :
         {std::tuple{"deredid", 1, "ColorSaturation=50", 2, 50.0f},
          {"rodo", 2, "Saturation=1", 13, 1.0f},
          {"fusion", 10, "Saturation=1", 3, 1.0f}}) {
        ZenitRun r = zenit(args({"--quiet", "-o", out, "-m", method, "--set", setting}, photos));
        ASSERT_EQ(r.status, 0) << r.err;

        // The scene is unknown, but the result must still look like it: its luminance follows
        // the middle exposure's (darker where the photo is darker), which noise or a scrambled
        // merge does not; the brightest highlights may clip, a tenth of the picture may not.
        // Fusion takes the middle photo's highlights and shadows from the others: it clips less.
        // The photos are aligned first: a tripod bracket keeps nearly all of each side, the
        // hand-held one most of it.
        const Picture result = load(out), whole = load(photos[photos.size() / 2]);
        const double kept = GetParam() == std::string("iphone6_handheld") ? 0.9 : 0.97;
        ASSERT_TRUE(result.w <= whole.w && result.w >= kept * whole.w) << result.w;
        ASSERT_TRUE(result.h <= whole.h && result.h >= kept * whole.h) << result.h;
        const Picture middle = as_aligned(whole, result);
        EXPECT_GT(correlation(result.luminance(), middle.luminance()), 0.6) << method;
        auto share = [](const Picture &p, double v) {
            return double(std::count(p.v.begin(), p.v.end(), v)) / double(p.v.size());
        };
        EXPECT_LT(share(result, 1.0), 0.10) << method;
        EXPECT_LT(share(result, 0.0), 0.10) << method;
        if (id == 10) {
            EXPECT_LT(share(result, 1.0) + share(result, 0.0),
                      share(middle, 1.0) + share(middle, 0.0));
        }

        ExifInfo src = read_info(photos[0], 1), dst = read_info(out, 1);
        EXPECT_NEAR(dst.exposureTime, src.exposureTime,
                    src.exposureTime * 1e-3); // rationals of 100
        EXPECT_NEAR(dst.fNumber, src.fNumber, 0.01);
        EXPECT_EQ(dst.iso, src.iso);
        EXPECT_STREQ(dst.model, src.model);
        EXPECT_STREQ(dst.dateTime, src.dateTime);
        EXPECT_STREQ(dst.lens, src.lens);
        EXPECT_EQ(dst.orientation ? dst.orientation : 1, src.orientation ? src.orientation : 1);
        float p[20] = {};
        EXPECT_EQ(parse_xmp(out.c_str(), -1, nullptr), id);
        EXPECT_GE(parse_xmp(out.c_str(), id, p), 0);
        EXPECT_FLOAT_EQ(p[slot], value) << method;
    }
}

// Methods 11 to 14 on a real bracket: each result follows the middle photo (two-photos: the two
// photos it mixes, the darkest and the brightest, first and last here) and clips less than a
// tenth of the picture.
TEST(Zenit, CombinationMethodsOnARealBracket)
{
    const auto photos = bracket("window_tripod_e995");
    if (photos.empty())
        GTEST_SKIP() << "no photos in " << HDR_TESTDATA_DIR << "/window_tripod_e995";
    TempDir tmp;
    const std::string out = tmp.file("result.jpg");
    for (const std::string method : {"intensive", "highlights-shadows", "two-photos", "mean"}) {
        ZenitRun r = zenit(args({"--quiet", "-o", out, "-m", method}, photos));
        ASSERT_EQ(r.status, 0) << r.err;
        const Picture result = load(out);
        const std::vector<double> middle =
            as_aligned(load(photos[photos.size() / 2]), result).luminance();
        std::vector<double> ends = as_aligned(load(photos.front()), result).luminance();
        const std::vector<double> last = as_aligned(load(photos.back()), result).luminance();
        for (size_t i = 0; i < ends.size(); ++i)
            ends[i] += last[i];
        EXPECT_GT(correlation(result.luminance(), method == "two-photos" ? ends : middle), 0.6)
            << method;
        EXPECT_LT(std::count(result.v.begin(), result.v.end(), 1.0) +
                      std::count(result.v.begin(), result.v.end(), 0.0),
                  long(result.v.size() / 10))
            << method;
    }
}

// The local operator in both solver modes on a real bracket: where the middle photo is clipped
// (the garden through the window) the result follows the darkest photo, where it is nearly black
// (under the furniture) the brightest, so the detail of both ends survives; both modes show the
// same scene, and the settings packet says which mode ran.
TEST(Zenit, LocalOperatorKeepsTheEndsOfARealBracketInBothModes)
{
    const auto photos = bracket("window_tripod_e995");
    if (photos.empty())
        GTEST_SKIP() << "no photos in " << HDR_TESTDATA_DIR << "/window_tripod_e995";
    std::vector<Picture> shots;
    for (const auto &f : photos)
        shots.push_back(load(f));
    auto mean = [](const std::vector<double> &v) {
        double s = 0;
        for (double a : v)
            s += a;
        return s / double(v.size());
    };
    std::sort(shots.begin(), shots.end(), [&](const Picture &a, const Picture &b) {
        return mean(a.luminance()) < mean(b.luminance());
    });
    const Picture &middle = shots[shots.size() / 2];
    const std::vector<double> dark = shots.front().luminance(), bright = shots.back().luminance();
    // Pixels whose every channel the middle photo clips, or nearly blackens.
    std::vector<size_t> clipped, black;
    for (size_t i = 0; i < dark.size(); ++i) {
        const double *px = &middle.v[i * 3];
        if (std::min({px[0], px[1], px[2]}) >= 0.98)
            clipped.push_back(i);
        else if (std::max({px[0], px[1], px[2]}) <= 0.06)
            black.push_back(i);
    }
    ASSERT_GT(clipped.size(), dark.size() / 100);
    ASSERT_GT(black.size(), dark.size() / 100);
    auto within = [](const std::vector<double> &v, const std::vector<size_t> &at) {
        std::vector<double> out;
        for (size_t i : at)
            out.push_back(v[i]);
        return out;
    };
    TempDir tmp;
    std::vector<std::vector<double>> results;
    for (auto [mode, slot16] : {std::pair{"Slider", 1.0f}, {"Light", 0.0f}}) {
        const std::string out = tmp.file(std::string(mode) + ".jpg");
        // A tripod bracket (under a pixel apart): unaligned, the result keeps the photos' grid.
        const ZenitRun r = zenit(args({"--quiet", "-o", out, "--align", "none", "--set",
                                       std::string("SmoothingMode=") + mode},
                                      photos));
        ASSERT_EQ(r.status, 0) << r.err;
        float p[20] = {};
        ASSERT_GE(parse_xmp(out.c_str(), 1, p), 0);
        EXPECT_EQ(p[16], slot16) << mode;
        const std::vector<double> y = load(out).luminance();
        ASSERT_EQ(y.size(), dark.size());
        EXPECT_GT(correlation(y, middle.luminance()), 0.7) << mode;
        // 0.76 to 0.84 and 0.66 here; a clipped or crushed end gives no correlation.
        EXPECT_GT(correlation(within(y, clipped), within(dark, clipped)), 0.6) << mode;
        EXPECT_GT(correlation(within(y, black), within(bright, black)), 0.5) << mode;
        EXPECT_LT(mean(within(y, clipped)), 0.95) << mode;
        EXPECT_GT(mean(within(y, black)), 0.1) << mode;
        results.push_back(y);
    }
    EXPECT_GT(correlation(results[0], results[1]), 0.95);
}

INSTANTIATE_TEST_SUITE_P(Zenit, RealBracket,
                         ::testing::Values("window_tripod_e995", "stlouis_arch_tripod",
                                           "iphone6_handheld"));

// The thread count changes no byte of the result, whatever the method; a photo cut short in the
// middle of photos decoding side by side stops the run with its name, before anything is saved.
TEST(Zenit, OneAndEightThreadsGiveTheSameFileAndABadPhotoWritesNothing)
{
    const auto photos = bracket("window_tripod_e995");
    if (photos.empty())
        GTEST_SKIP() << "no photos in " << HDR_TESTDATA_DIR << "/window_tripod_e995";
    TempDir tmp;
    for (const std::string method : {"rodo", "deredid"}) {
        const std::string one = tmp.file(method + "-1.tif"), eight = tmp.file(method + "-8.tif");
        ZenitRun r = zenit(args({"--quiet", "-m", method, "-j", "1", "-o", one}, photos));
        ASSERT_EQ(r.status, 0) << r.err;
        r = zenit(args({"--quiet", "-m", method, "-j", "8", "-o", eight}, photos));
        ASSERT_EQ(r.status, 0) << r.err;
        const Bytes a = read_file(one), b = read_file(eight);
        EXPECT_TRUE(!a.empty() && a == b) << method;
    }

    std::vector<std::string> copies;
    for (size_t k = 0; k < photos.size(); ++k) {
        Bytes bytes = read_file(photos[k]);
        if (k == photos.size() / 2)
            bytes.resize(bytes.size() / 2);
        copies.push_back(tmp.file("photo" + std::to_string(k) + ".jpg"));
        ASSERT_TRUE(write_file(copies.back(), bytes));
    }
    const std::string out = tmp.file("result.jpg");
    const ZenitRun r = zenit(args({"--quiet", "-j", "8", "-o", out}, copies));
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("photo" + std::to_string(photos.size() / 2) + ".jpg cannot be decoded"),
              std::string::npos)
        << r.err;
    EXPECT_FALSE(fs::exists(out));
    for (const auto &e : fs::directory_iterator(tmp.path()))
        EXPECT_NE(e.path().filename().string()[0], '.') << "temporary file left: " << e.path();
}

// An 8-megapixel hand-held bracket through every stage the method takes (noise reduction,
// alignment, merge, each tone mapper in each of the local operator's modes, fusion and the
// combinations): 1, 3 and 8 threads write the same file, byte for byte. The local operator's
// solver sums its dot products in chunks of a fixed size, so this holds for it at this size too.
class EveryThreadCount : public ::testing::TestWithParam<const char *> {};

TEST_P(EveryThreadCount, OneThreeAndEightThreadsWriteTheSameFile)
{
    const auto photos = bracket("iphone6_handheld");
    if (photos.empty())
        GTEST_SKIP() << "no photos in " << HDR_TESTDATA_DIR << "/iphone6_handheld";
    TempDir tmp;
    const std::string param = GetParam();
    const bool light = param == "deredid-light"; // the multigrid solver
    const std::string method = light ? "deredid" : param;
    Bytes first;
    for (const char *threads : {"1", "3", "8"}) {
        const std::string out = tmp.file(param + "-" + threads + ".tif");
        std::vector<std::string> options{"--quiet", "-m", method, "-j", threads, "-o", out};
        if (method == "intensive") // a smaller window: the same pieces, a fraction of the time
            options.insert(options.end(), {"--set", "Radius=8"});
        if (light)
            options.insert(options.end(), {"--set", "SmoothingMode=Light"});
        const ZenitRun r = zenit(args(options, photos));
        ASSERT_EQ(r.status, 0) << threads << ": " << r.err;
        const Bytes b = read_file(out);
        ASSERT_FALSE(b.empty());
        if (first.empty())
            first = b;
        else
            EXPECT_TRUE(b == first) << param << " at " << threads << " threads";
    }
}

INSTANTIATE_TEST_SUITE_P(Zenit, EveryThreadCount,
                         ::testing::Values("deredid", "deredid-light", "rodo", "fusion",
                                           "intensive", "highlights-shadows", "two-photos", "mean"),
                         [](const ::testing::TestParamInfo<const char *> &param) {
                             std::string name = param.param;
                             name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
                             return name;
                         });

// Every kind of source: the 16-bit result shows the scene and carries the profile; a second
// run with --settings from it reuses its settings.
TEST(Zenit, ResultsShowTheSceneFromEveryKindOfBracket)
{
    const RadianceMap scene = make_radiance_map(192, 128);
    const Bytes icc = make_icc_profile(3000, "Adobe RGB (1998)");
    for (Kind kind : {Kind::Jpeg, Kind::Tiff8, Kind::Tiff16, Kind::Psd8, Kind::Psd16}) {
        TempDir tmp;
        const std::string label = "kind " + std::to_string(int(kind));
        const auto photos = write_bracket(tmp, kind, scene, icc);
        const std::string out = tmp.file("result.tif");
        ZenitRun r = zenit(args({"--quiet", "-o", out, "--set", "Strength=60"}, photos));
        ASSERT_EQ(r.status, 0) << label << ": " << r.err;
        const Picture pic = load(out);
        EXPECT_EQ(pic.bits, 16);
        expect_scene(pic, scene, label);
        std::vector<uint8_t> prof(icc.size() + 1);
        ASSERT_EQ(tif_profile(out.c_str(), prof.data(), prof.size()), int(icc.size())) << label;
        EXPECT_TRUE(std::equal(icc.begin(), icc.end(), prof.begin()));

        const std::string again = tmp.file("again.jpg");
        r = zenit(args({"--quiet", "--settings", out, "-o", again}, photos));
        ASSERT_EQ(r.status, 0) << r.err;
        float p[20] = {};
        EXPECT_GE(parse_xmp(again.c_str(), 1, p), 0);
        EXPECT_FLOAT_EQ(p[1], 60.0f);
    }
}

// Fusion from every kind of source shows the scene; the packet of its result brings fusion and
// its settings back; the stage is timed as "Fusing".
TEST(Zenit, FusionShowsTheSceneFromEveryKindOfBracket)
{
    const RadianceMap scene = make_radiance_map(192, 128);
    for (Kind kind : {Kind::Jpeg, Kind::Tiff16, Kind::Psd8}) {
        TempDir tmp;
        const std::string label = "fusion, kind " + std::to_string(int(kind));
        const auto photos = write_bracket(tmp, kind, scene, {});
        const std::string out = tmp.file("result.tif");
        ZenitRun r = zenit(args({"--timings", "-o", out, "-m", "fusion", "--set", "Accentuation=3",
                                 "--set", "MidtonesAdjustment=-4"},
                                photos));
        ASSERT_EQ(r.status, 0) << label << ": " << r.err;
        EXPECT_NE(r.err.find("Fusing"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("Merging"), std::string::npos) << "fusion needs no merge";
        const Picture pic = load(out);
        EXPECT_EQ(pic.bits, 16);
        expect_scene(pic, scene, label, 1 / 2.2);

        const std::string again = tmp.file("again.jpg");
        r = zenit(args({"--quiet", "--settings", out, "-o", again}, photos));
        ASSERT_EQ(r.status, 0) << r.err;
        float p[20] = {};
        EXPECT_EQ(parse_xmp(again.c_str(), -1, nullptr), 10);
        EXPECT_GE(parse_xmp(again.c_str(), 10, p), 0);
        EXPECT_FLOAT_EQ(p[0], 3.0f);
        EXPECT_FLOAT_EQ(p[6], -4.0f);
    }
}

// Grey photos fuse into a grey photograph of the scene (colour runs give 0.98).
TEST(Zenit, GreyPhotosFuseIntoAGreyPhotograph)
{
    TempDir tmp;
    const RadianceMap scene = make_radiance_map(160, 96);
    std::vector<std::string> photos;
    for (float exposure : {1 / 64.0f, 0.25f, 4.0f}) {
        photos.push_back(tmp.file(std::to_string(exposure) + ".jpg"));
        write_file(photos.back(),
                   encode_jpeg(render_photo(scene, exposure, 8, 1).data(), 160, 96, 1, 95));
    }
    ASSERT_EQ(zenit(args({"--quiet", "-m", "fusion", "-o", tmp.file("g.jpg")}, photos)).status, 0);
    const Picture pic = load(tmp.file("g.jpg"));
    ASSERT_EQ(pic.spp, 1);
    EXPECT_GT(scene_match(pic.v, 1, scene).correlation, 0.95);
}

// Methods 11 to 14 combine the photos without a merge: each shows the scene under its own stage
// name; the packet records method 11 with its settings, and the others' version alone (they
// have no entry in the packet).
TEST(Zenit, CombinationMethodsShowTheScene)
{
    const RadianceMap scene = make_radiance_map(192, 128);
    TempDir tmp;
    const auto photos = write_bracket(tmp, Kind::Jpeg, scene, {});
    for (auto [method, stage] : {std::pair{"intensive", "Fusing (intensive)"},
                                 {"highlights-shadows", "Combining (highlights and shadows)"},
                                 {"two-photos", "Combining (two photos)"},
                                 {"mean", "Combining (mean)"}}) {
        const std::string out = tmp.file(std::string(method) + ".tif"), m = method;
        std::vector<std::string> options = {"--timings", "-o", out, "-m", method};
        if (m == "intensive")
            options.insert(options.end(), {"--set", "Strength=5", "--set", "Radius=20"});
        ZenitRun r = zenit(args(options, photos));
        ASSERT_EQ(r.status, 0) << method << ": " << r.err;
        EXPECT_NE(r.err.find(stage), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("Merging"), std::string::npos) << method;
        // The intensive blend flattens the gradient locally, as a local operator does; two-photos
        // mixes two photos eight stops apart, between which the midtones fall: 0.86 each.
        expect_scene(load(out), scene, method, 1 / 2.2,
                     m == "intensive" || m == "two-photos" ? 0.8 : 0.9);
        float p[20] = {};
        const Bytes file = read_file(out);
        const std::string text(file.begin(), file.end());
        EXPECT_NE(text.find("<kvtm:Version>4.0</kvtm:Version>"), std::string::npos) << method;
        if (m == "intensive") {
            EXPECT_GE(parse_xmp(out.c_str(), 11, p), 0);
            EXPECT_FLOAT_EQ(p[0], 5.0f);
            EXPECT_FLOAT_EQ(p[2], 20.0f);
        } else {
            EXPECT_EQ(parse_xmp(out.c_str(), -1, nullptr), -5) << method << ": no method element";
        }
    }
}

// The intensive blend samples its window every 4th pixel in both directions, every r-th for a
// radius r below 4: the driver's result is the blend at that step of the photos as given, and
// the steps either side give other pictures (step 8 moves a tenth of a real bracket's samples by
// up to 3758).
TEST(Zenit, IntensiveSamplesItsWindowEveryFourthPixel)
{
    const int w = 128, h = 96;
    const RadianceMap scene = make_radiance_map(w, h);
    TempDir tmp;
    const auto photos = write_bracket(tmp, Kind::Tiff8, scene, {});
    Bytes stack; // what the 8-bit TIFFs hold, in the order given
    for (float exposure : {16.0f / 1024, 16.0f / 64, 16.0f / 4}) {
        const Bytes px = render_photo(scene, exposure, 8, 3);
        stack.insert(stack.end(), px.begin(), px.end());
    }
    auto blend = [&](int step, int radius) {
        std::vector<uint16_t> out(size_t(w) * h * 3);
        EXPECT_EQ(kv_combi_intensive(step, radius, 3, w, h, w * 3, 3, 8, 16, stack.data(),
                                     reinterpret_cast<uint8_t *>(out.data()), 0, 0),
                  h);
        return out;
    };
    // Radius 40 is the default.
    for (auto [radius, step, other1, other2] :
         {std::array{40, 4, 2, 8}, {12, 4, 3, 5}, {3, 3, 2, 4}, {1, 1, 2, 2}}) {
        const std::string out = tmp.file("r" + std::to_string(radius) + ".tif");
        std::vector<std::string> options = {"--quiet", "-o", out, "-m", "intensive"};
        if (radius != 40)
            options.insert(options.end(), {"--set", "Radius=" + std::to_string(radius)});
        ASSERT_EQ(zenit(args(options, photos)).status, 0) << radius;
        const Picture pic = load(out);
        std::vector<uint16_t> got;
        for (double v : pic.v)
            got.push_back(uint16_t(std::lround(v * 65535)));
        EXPECT_EQ(got, blend(step, radius)) << "radius " << radius;
        EXPECT_NE(got, blend(other1, radius)) << "radius " << radius << ", step " << other1;
        EXPECT_NE(got, blend(other2, radius)) << "radius " << radius << ", step " << other2;
    }
}

// two-photos combines the darkest and the brightest photo by their EXIF exposures (by the
// estimate from the pixels without EXIF), in whatever order they are given; --pair names any
// two.
TEST(Zenit, TwoPhotosTakesTheDarkestAndTheBrightestUnlessPaired)
{
    const RadianceMap scene = make_radiance_map(96, 64);
    for (Kind kind : {Kind::Jpeg, Kind::JpegNoExif}) {
        TempDir tmp;
        const auto shots = write_bracket(tmp, kind, scene, {}); // dark, middle, bright
        const std::vector<std::string> photos = {shots[1], shots[2], shots[0]};
        auto result = [&](std::vector<std::string> options) {
            const std::string out = tmp.file("r.tif");
            options.insert(options.end(), {"--quiet", "-m", "two-photos", "-o", out});
            EXPECT_EQ(zenit(args(options, photos)).status, 0);
            return load(out).v;
        };
        const auto chosen = result({});
        EXPECT_EQ(chosen, result({"--pair", "3,2"})) << int(kind);
        EXPECT_NE(chosen, result({"--pair", "1,3"})) << int(kind);
        EXPECT_NE(chosen, result({"--pair", "1,2"})) << int(kind);
    }
}

// The JPEG result is the 16-bit result's high bytes (up to JPEG's own losses), and both carry
// the source's orientation 8 unapplied.
TEST(Zenit, JpegResultIsTheTiffResultsHighBytesBothKeepTheOrientation)
{
    TempDir tmp;
    const RadianceMap scene = make_radiance_map(192, 128);
    const auto photos = write_bracket(tmp, Kind::Jpeg, scene, {}, 8);
    const std::string jpg = tmp.file("r.jpg"), tif = tmp.file("r.tif");
    ASSERT_EQ(zenit(args({"--quiet", "-q", "100", "-o", jpg}, photos)).status, 0);
    ASSERT_EQ(zenit(args({"--quiet", "-o", tif}, photos)).status, 0);
    EXPECT_EQ(read_info(jpg, 1).orientation, 8);
    EXPECT_EQ(read_info(tif, 0).orientation, 8);
    const Picture j = load(jpg), t = load(tif);
    ASSERT_EQ(j.v.size(), t.v.size());
    std::vector<uint8_t> a, b;
    for (size_t i = 0; i < j.v.size(); ++i) {
        a.push_back(uint8_t(std::lround(j.v[i] * 255)));
        b.push_back(uint8_t(std::lround(t.v[i] * 65535) >> 8));
    }
    // Quality 100 with halved chroma: a few codes where the colour changes sharply.
    const ImageDiff d = compare_images(a, b, 6);
    EXPECT_LT(d.shareOver, 0.02) << "largest difference " << d.maxDiff;
}

// Without exposures in EXIF the merge estimates them from the photos: the picture is the one
// the exposures would give, not a merge of photos taken as equal. The global operator's curve
// keeps the scene's order of luminances, which these thresholds are set by.
TEST(Zenit, BracketWithoutExposuresGivesThePictureOfTheExposures)
{
    TempDir withDir, withoutDir;
    const RadianceMap scene = make_radiance_map(192, 128);
    const std::string with = withDir.file("r.tif"), without = withoutDir.file("r.tif");
    ASSERT_EQ(zenit(args({"--quiet", "-m", "rodo", "-o", with},
                         write_bracket(withDir, Kind::Jpeg, scene, {})))
                  .status,
              0);
    ASSERT_EQ(zenit(args({"--quiet", "-m", "rodo", "-o", without},
                         write_bracket(withoutDir, Kind::JpegNoExif, scene, {})))
                  .status,
              0);
    const Picture a = load(with), b = load(without);
    expect_scene(b, scene, "no EXIF", 1.0);
    ASSERT_EQ(a.v.size(), b.v.size());
    double sum = 0;
    for (size_t i = 0; i < a.v.size(); ++i)
        sum += std::fabs(a.v[i] - b.v[i]);
    // The estimate finds the four-stop spacing to within a fraction of a stop (3 % of full
    // scale on average); photos taken as equal exposures differ by 20 %.
    EXPECT_LT(sum / double(a.v.size()), 0.06);
}

// --denoise 0 is the road without noise reduction; --denoise N, else the
// "NoiseReductionSettings" user default, says how many photos are denoised; exposure fusion
// blends the photos as they are; the thread count changes nothing.
TEST(Zenit, NoiseReductionFollowsTheOptionAndTheUserDefault)
{
    TempDir tmp, config;
    const ConfigHome home(config.path());
    const auto photos = write_bracket(tmp, Kind::Jpeg, make_radiance_map(192, 128), {});
    const std::string out = tmp.file("r.tif");
    auto result = [&](std::vector<std::string> options) {
        options.insert(options.end(), {"--quiet", "-o", out});
        const ZenitRun r = zenit(args(options, photos));
        EXPECT_EQ(r.status, 0) << r.err;
        return read_file(out);
    };
    auto set_default = [&](const platform::Value &settings) {
        platform::UserDefaults defaults(config.path() + "/zenit/defaults");
        defaults.setObject(settings, "NoiseReductionSettings");
        ASSERT_TRUE(defaults.synchronize());
    };

    // The road's pieces without noise reduction, as the driver ran them before it had any.
    app::Options opt;
    opt.photos = photos;
    int method = 0;
    float p[kTmParamCount] = {};
    ASSERT_FALSE(app::resolve_settings(opt, &method, p));
    app::Document doc;
    platform::DataPtr merged;
    ASSERT_FALSE(app::check_and_probe(photos, &doc));
    ASSERT_FALSE(app::decode_stack(&doc));
    ASSERT_FALSE(app::process(doc, method, p, 1, false, nullptr, &merged));
    const std::string plain = tmp.file("plain.tif");
    ASSERT_FALSE(app::save_result(doc, merged, method, p, app::OutputFormat::Tiff, 100, plain));

    const Bytes none = result({"--denoise", "0"}), one = result({"--denoise", "1"});
    EXPECT_EQ(none, read_file(plain));
    EXPECT_NE(one, none);
    EXPECT_EQ(result({}), one) << "no user default: the darkest photo";
    EXPECT_EQ(result({"-j", "1", "--denoise", "1"}), result({"-j", "8", "--denoise", "1"}));
    const Bytes two = result({"--denoise", "2"});
    EXPECT_NE(two, one);

    set_default(platform::Dictionary{{"NeedNoiseReduction", 2}, {"NoiseReductionWhere", 2}});
    EXPECT_EQ(result({}), none) << "never";
    EXPECT_EQ(result({"--denoise", "1"}), one) << "the option before the user default";
    set_default(platform::Dictionary{{"NeedNoiseReduction", 0}, {"NoiseReductionWhere", 2}});
    EXPECT_EQ(result({}), two) << "ask, with nobody to ask: as always";
    set_default(platform::Dictionary{{"NeedNoiseReduction", 1}});
    EXPECT_EQ(result({}), one) << "always, where missing: the darkest photo";

    // A defaults file that is a named pipe (no writer: a blocking open would wait for ever) or a
    // huge sparse file is named and ignored: the run takes the built-in preferences, without
    // waiting and without reading it.
    const std::string stored = config.path() + "/zenit/defaults";
    set_default(platform::Dictionary{{"NeedNoiseReduction", 2}});
    ASSERT_EQ(std::remove(stored.c_str()), 0);
    ASSERT_EQ(::mkfifo(stored.c_str(), 0600), 0);
    const ChildStop limit{0, {}, std::chrono::seconds(60)};
    ChildRun ignored = run_child(ZENIT_BINARY, args({"-o", out}, photos), limit);
    EXPECT_EQ(ignored.status, 0) << ignored.err;
    EXPECT_NE(ignored.err.find(stored + " is not a regular file"), std::string::npos)
        << ignored.err;
    EXPECT_EQ(read_file(out), one) << "the built-in preference: the darkest photo";
    ASSERT_EQ(std::remove(stored.c_str()), 0);
    ASSERT_TRUE(write_file(stored, Bytes{'D'}));
    ASSERT_EQ(::truncate(stored.c_str(), 3LL << 30), 0);
    ignored = run_child(ZENIT_BINARY, args({"-o", out}, photos), limit);
    EXPECT_EQ(ignored.status, 0) << ignored.err;
    EXPECT_NE(ignored.err.find("has 3221225472 bytes"), std::string::npos) << ignored.err;
    EXPECT_LT(ignored.peakBytes, uint64_t(200) << 20) << "the file was read";
    EXPECT_EQ(read_file(out), one);

    // The other methods do not merge: --denoise with them is a usage error that says why.
    for (const char *other : {"fusion", "intensive", "highlights-shadows", "two-photos", "mean"}) {
        const ZenitRun r =
            zenit(args({"--quiet", "-o", out, "-m", other, "--denoise", "1"}, photos));
        EXPECT_EQ(r.status, 2) << other;
        EXPECT_NE(r.err.find("does not merge"), std::string::npos) << r.err;
    }
    EXPECT_FALSE(result({"-m", "fusion", "--denoise", "0"}).empty());
}

// Every check of the batch refuses with a message naming the problem and a non-zero status.
TEST(Zenit, RefusesBadBatches)
{
    TempDir tmp;
    std::vector<uint8_t> px(32 * 24 * 3, 128), small(16 * 24 * 3, 128), grey(32 * 24, 128);
    auto jpg = [&](const std::string &name, const std::vector<uint8_t> &p, int w, int spp) {
        std::string path = tmp.file(name);
        write_file(path, encode_jpeg(p.data(), w, 24, spp, 90));
        return path;
    };
    std::string a = jpg("a.jpg", px, 32, 3), b = jpg("b.jpg", px, 32, 3);
    std::string narrow = jpg("n.jpg", small, 16, 3), g = jpg("g.jpg", grey, 32, 1);
    std::string corrupt = tmp.file("bad.jpg");
    write_file(corrupt, Bytes{0xFF, 0xD8, 0xFF, 0xE0, 0x00});
    // The frame header of a 12-bit JPEG: its sample precision (the byte after the length) is 12.
    Bytes deep = read_file(a);
    const uint8_t sof[] = {0xFF, 0xC0};
    deep[size_t(std::search(deep.begin(), deep.end(), sof, sof + 2) - deep.begin()) + 4] = 12;
    std::string twelve = tmp.file("twelve.jpg");
    write_file(twelve, deep);
    std::string raw = tmp.file("x.nef"), txt = tmp.file("notes.txt"), dir = tmp.file("d.jpg");
    write_file(raw, Bytes(100, 0));
    write_file(txt, Bytes(10, 'a'));
    ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
    std::string out = tmp.file("o.jpg");
    auto t8 = tmp.file("t8.tif"), t16 = tmp.file("t16.tif");
    LibTiffOptions o16;
    o16.bits = 16;
    std::vector<uint16_t> px16(32 * 24 * 3, 30000);
    ASSERT_TRUE(write_libtiff(t8, px.data(), 32, 24, 3));
    ASSERT_TRUE(write_libtiff(t16, px16.data(), 32, 24, 3, o16));

    struct Case {
        std::vector<std::string> photos;
        int status;
        const char *says;
    } cases[] = {
        {{a, b, a, b, a, b}, 2, "1 to 5"},
        {{a, t8}, 3, "one file type"},
        {{a, dir}, 3, "d.jpg is a directory"},
        {{raw}, 3, "raw"},
        {{txt}, 3, "not a supported"},
        {{a, tmp.file("missing.jpg")}, 3, "missing.jpg"},
        {{a, corrupt}, 3, "bad.jpg"},
        {{a, twelve}, 3, "twelve.jpg has 12-bit samples; only 8-bit JPEGs are read"},
        {{twelve}, 3, "twelve.jpg has 12-bit samples; only 8-bit JPEGs are read"},
        {{a, narrow}, 3, "16 x 24"},
        {{a, g}, 3, "channels"},
        {{t8, t16}, 3, "bits"},
    };
    for (const auto &c : cases) {
        ZenitRun r = zenit(args({"--quiet", "-o", out}, c.photos));
        EXPECT_EQ(r.status, c.status) << c.says << ": " << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_TRUE(read_file(out).empty()) << "no output for a refused batch";
    }
    // Photos too small for the method are bad input, said before decoding with its smallest
    // size; the smallest size works.
    const struct {
        const char *method;
        int w, h;
    } sizes[] = {{"fusion", 32, 3}, {"fusion", 3, 32}, {"deredid", 40, 9}, {"deredid", 9, 9}};
    for (const auto &c : sizes) {
        const int side = std::string(c.method) == "fusion" ? 4 : 10;
        for (int more : {0, 1}) {
            // One pixel more on each short side reaches the smallest size.
            const int w = c.w + (more && c.w < side), h = c.h + (more && c.h < side);
            std::vector<uint8_t> tiny(size_t(w * h * 3));
            for (size_t i = 0; i < tiny.size(); ++i)
                tiny[i] = uint8_t(60 + i * 7 % 120);
            const std::string thin = tmp.file("thin.jpg");
            write_file(thin, encode_jpeg(tiny.data(), w, h, 3, 90));
            std::remove(out.c_str());
            ZenitRun r = zenit({"--quiet", "-o", out, "--method", c.method, thin, thin});
            if (more) {
                EXPECT_EQ(r.status, 0) << c.method << " " << w << " x " << h << ": " << r.err;
                continue;
            }
            EXPECT_EQ(r.status, 3) << c.method << " " << w << " x " << h;
            EXPECT_NE(r.err.find(std::to_string(w) + " x " + std::to_string(h) +
                                 " pixels, too small for " + c.method + ", which needs at least " +
                                 std::to_string(side) + " x " + std::to_string(side)),
                      std::string::npos)
                << r.err;
            EXPECT_EQ(r.err.find("Decoding"), std::string::npos) << r.err;
            EXPECT_TRUE(read_file(out).empty());
        }
    }
    EXPECT_EQ(zenit({"--help"}).status, 0);
}

// Usage errors print one line and a pointer to --help; the output is checked before any photo
// is read, and a photo is never the output.
TEST(Zenit, UsageAndOutputErrorsComeBeforeAnyWork)
{
    TempDir tmp;
    std::vector<uint8_t> px(32 * 24 * 3, 100);
    const std::string a = tmp.file("a.jpg"), b = tmp.file("b.JPEG");
    write_file(a, encode_jpeg(px.data(), 32, 24, 3, 90));
    write_file(b, encode_jpeg(px.data(), 32, 24, 3, 70));
    const Bytes before = read_file(a);
    const struct {
        std::vector<std::string> args;
        int status;
        const char *says;
    } cases[] = {
        {{"--frobnicate", a}, 2, "zenit: unknown option '--frobnicate'\nTry 'zenit --help'"},
        {{}, 2, "zenit: no photos given\nTry 'zenit --help'"},
        {{"-o", a, a, b}, 2, "is the photo"},
        {{"-o", tmp.file("out.png"), a, b}, 2, "needs the extension"},
        {{"-q", "19", a, b}, 2, "20 to 100"},
        {{"--denoise", "6", a, b}, 2, "zenit: --denoise takes a number from 0 to 5, not '6'\nTry"},
        {{"--set", "Strength=nan", a, b}, 2, "Strength takes a number from 0 to 100"},
        {{"-o", tmp.file("no/such/out.jpg"), a, b}, 4, "there is no folder"},
        {{"-o", "", a, b}, 2, "-o takes a file name, not an empty one"},
        {{"-o", tmp.file("fifo.jpg"), a, b}, 4, "fifo.jpg: it is a named pipe, not a regular"},
        {{"-o", tmp.file("null.jpg"), a, b}, 4, "null.jpg: it is a device, not a regular file"},
        {{"-o", tmp.path(), a, b}, 4, ": it is a directory"},
    };
    ASSERT_EQ(::mkfifo(tmp.file("fifo.jpg").c_str(), 0600), 0);
    ASSERT_EQ(::symlink("/dev/null", tmp.file("null.jpg").c_str()), 0);
    for (const auto &c : cases) {
        ZenitRun r = zenit(c.args);
        EXPECT_EQ(r.status, c.status) << c.says;
        EXPECT_EQ(r.err.rfind("zenit: ", 0), 0u) << r.err; // the first line, no stage before it
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("Options:"), std::string::npos) << "not the whole help";
    }
    EXPECT_EQ(read_file(a), before);
    struct stat st;
    EXPECT_TRUE(::stat(tmp.file("fifo.jpg").c_str(), &st) == 0 && S_ISFIFO(st.st_mode));

    // Another existing file may be replaced, as a whole, with no temporary file left.
    const std::string keep = tmp.file("keep.jpg");
    write_file(keep, Bytes{1, 2, 3});
    ZenitRun r = zenit({"--quiet", "-o", keep, a, b});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_GT(read_file(keep).size(), 3u);
    for (const auto &e : fs::directory_iterator(tmp.path()))
        EXPECT_NE(e.path().filename().string()[0], '.') << "temporary file left: " << e.path();
}

// Saving that cannot happen: a file-size limit met while writing is a failed write like any other
// (exit 4, the system's reason, the file at -o kept, nothing left behind); another user's file in
// a sticky folder is refused before any photo is read. What a JPEG result cannot carry of the
// first photo's metadata is told, and nothing is said when it is carried.
TEST(Zenit, SavingThatCannotHappenIsToldAndLeavesNothing)
{
    TempDir tmp;
    const auto photos = write_bracket(tmp, Kind::Jpeg, make_radiance_map(160, 120), {});
    const std::string keep = tmp.file("keep.jpg");
    write_file(keep, Bytes{1, 2, 3});
    auto only_photos_and = [&](const std::string &also) {
        for (const auto &e : fs::directory_iterator(tmp.path())) {
            const std::string name = e.path().filename().string();
            EXPECT_TRUE(name.rfind("shot", 0) == 0 || name == "keep.jpg" || name == also)
                << "left behind: " << name;
        }
    };

    // The limit is the test's own while the child starts, which inherits it.
    struct rlimit old {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    struct rlimit small = old;
    small.rlim_cur = 1024; // less than the result's metadata alone
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const ZenitRun big =
        zenit(args({"--quiet", "-m", "mean", "--align", "none", "-o", keep}, photos));
    const ZenitRun named =
        zenit(args({"--quiet", "-m", "mean", "--align", "none", "-f", "tiff"}, photos));
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &old), 0);
    EXPECT_EQ(big.status, 4) << big.err;
    EXPECT_NE(big.err.find("could not save " + keep + ": File too large"), std::string::npos)
        << big.err;
    EXPECT_EQ(named.status, 4) << named.err;
    EXPECT_EQ(read_file(keep), (Bytes{1, 2, 3}));
    only_photos_and("");

    // A first photo whose profile no JPEG holds: left out with a word, kept in a TIFF.
    const auto tiffs = write_bracket(tmp, Kind::Tiff8, make_radiance_map(40, 30),
                                     make_icc_profile(kJpegMaxIccBytes + 1, "large"));
    const ZenitRun jpeg = zenit(args({"-m", "mean", "-o", tmp.file("icc.jpg")}, tiffs));
    EXPECT_EQ(jpeg.status, 0) << jpeg.err;
    EXPECT_NE(jpeg.err.find("zenit: the ICC profile of shot1024.tif (15.9 MB) is left out of the "
                            "result: a JPEG holds at most 15.9 MB of profile (-f tiff keeps it)"),
              std::string::npos)
        << jpeg.err;
    const ZenitRun tiff = zenit(args({"-m", "mean", "-o", tmp.file("icc.tif")}, tiffs));
    EXPECT_EQ(tiff.status, 0) << tiff.err;
    EXPECT_EQ(tiff.err.find("left out"), std::string::npos) << tiff.err;
    EXPECT_EQ(read_file(tmp.file("icc.tif")).size() > kJpegMaxIccBytes, true);

    if (::geteuid() != 0)
        GTEST_SKIP() << "another user's file in a sticky folder needs root to be made";
    const std::string sticky = tmp.file("sticky"), theirs = sticky + "/theirs.jpg";
    ASSERT_EQ(::chmod(tmp.path().c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(sticky.c_str(), 01777), 0);
    ASSERT_EQ(::chmod(sticky.c_str(), 01777), 0);
    write_file(theirs, Bytes{4, 5, 6});
    const std::string err = tmp.file("sticky.err");
    std::vector<std::string> argv = args({"-m", "mean", "-o", theirs}, photos);
    argv.insert(argv.begin(), ZENIT_BINARY);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) { // another user, as the folder's others are
        const int fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        std::vector<char *> av;
        for (std::string &a : argv)
            av.push_back(a.data());
        av.push_back(nullptr);
        if (fd < 0 || ::dup2(fd, 2) < 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(99);
        ::setenv("XDG_CONFIG_HOME", "/nonexistent", 1);
        ::execv(av[0], av.data());
        ::_exit(98);
    }
    int st = 0;
    ASSERT_EQ(::waitpid(child, &st, 0), child);
    const Bytes said = read_file(err);
    const std::string text(said.begin(), said.end());
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 4) << st << " " << text;
    EXPECT_EQ(text.rfind("zenit: cannot save " + theirs + ": Operation not permitted", 0), 0u)
        << text; // the first line: no photo was read
    EXPECT_EQ(read_file(theirs), (Bytes{4, 5, 6}));
}

// Run twice on the same folder: the first result is not taken in as a photo, and the default
// output is numbered instead of replacing it.
TEST(Zenit, SecondRunRefusesTheFirstResultAndNumbersItsOwn)
{
    TempDir tmp;
    const auto photos = write_bracket(tmp, Kind::Jpeg, make_radiance_map(48, 32), {});
    ASSERT_EQ(zenit(args({"--quiet"}, photos)).status, 0);
    const std::string first = tmp.file("shot1024_hdr.jpg");
    ASSERT_FALSE(read_file(first).empty());
    ZenitRun r = zenit(args({"--quiet"}, {photos[0], photos[1], photos[2], first}));
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("shot1024_hdr.jpg is an earlier result"), std::string::npos) << r.err;
    ASSERT_EQ(zenit(args({"--quiet"}, photos)).status, 0);
    EXPECT_FALSE(read_file(tmp.file("shot1024_hdr-2.jpg")).empty());

    // A result cropped by alignment is smaller than the photos: still told as a result.
    const std::string cropped = tmp.file("cropped.jpg");
    std::vector<uint8_t> px(40 * 30 * 3, 128);
    int32_t exif[kExifBufCount] = {}, gps[kGpsBufCount] = {}, info[kSaveInfoCount] = {};
    info[kSaveWidth] = 40, info[kSaveHeight] = 30, info[kSaveSamples] = 3, info[kSaveBits] = 8;
    float p[kTmParamCount];
    tmparam_default(kMethodDeredid, 0, p);
    ASSERT_EQ(KVwritejpg(cropped.c_str(), 90, info, 40 * 3, nullptr, exif, gps, 0, nullptr,
                         kMethodDeredid, p, px.data()),
              30);
    r = zenit(args({"--quiet"}, {photos[0], cropped}));
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("cropped.jpg is an earlier result"), std::string::npos) << r.err;

    // A default name that no longer fits the file system once numbered is refused before any
    // photo is read; -o's long names (whose hidden temporary forms are longer still) save.
    const std::string stem = tmp.file(std::string(247, 'x')), longPhoto = stem + ".jpg";
    ASSERT_EQ(::link(photos[0].c_str(), longPhoto.c_str()), 0);
    ASSERT_EQ(zenit({"--quiet", longPhoto}).status, 0); // "<stem>_hdr.jpg": 255 bytes
    r = zenit({longPhoto});
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.err.rfind("zenit: cannot save " + stem + "_hdr-2.jpg: the name is longer than", 0),
              0u)
        << r.err;
    EXPECT_NE(r.err.find("(give -o)"), std::string::npos) << r.err;
    const std::string longOut = tmp.file(std::string(251, 'y') + ".jpg");
    EXPECT_EQ(zenit(args({"--quiet", "-o", longOut}, photos)).status, 0);
    EXPECT_FALSE(read_file(longOut).empty());
    for (const auto &e : fs::directory_iterator(tmp.path()))
        EXPECT_NE(e.path().filename().string()[0], '.') << "temporary file left: " << e.path();
}

// Results of the methods without settings, whose packet names no method, are told as earlier
// results on a second run too (here past five photos, where all are named); a result whose
// packet an editor rewrote (sorted, after a title of its own) still renders again through its
// settings.
TEST(Zenit, EveryResultIsToldOnASecondRunAndARewrittenPacketStillRenders)
{
    TempDir tmp;
    const auto photos = write_bracket(tmp, Kind::Jpeg, make_radiance_map(48, 32), {});
    std::vector<std::string> six = photos;
    ZenitRun r;
    for (const std::string method : {"highlights-shadows", "two-photos", "mean"}) {
        six.push_back(tmp.file(method + ".jpg"));
        r = zenit(args({"--quiet", "--align", "none", "-m", method, "-o", six.back()}, photos));
        ASSERT_EQ(r.status, 0) << r.err;
    }
    r = zenit(six);
    EXPECT_NE(r.err.find("(highlights-shadows.jpg, two-photos.jpg and mean.jpg are earlier"),
              std::string::npos)
        << r.err;

    const std::string first = tmp.file("first.jpg"), titled = tmp.file("titled.jpg"),
                      again = tmp.file("again.jpg");
    r = zenit(args({"--quiet", "-o", first, "--set", "Strength=60", "--set", "Gamma=1.5"}, photos));
    ASSERT_EQ(r.status, 0) << r.err;
    if (!exiftest::exiftool("-q -XMP-dc:Title=holiday -o " + titled + " " + first))
        GTEST_SKIP() << "exiftool not found: the rewritten packet is not checked";
    const Bytes bytes = read_file(titled);
    const std::string text(bytes.begin(), bytes.end());
    ASSERT_LT(text.find("holiday"), text.find("<kvtm:Method>")) << "not after the title";
    ASSERT_LT(text.find("<kvtm:Method>"), text.find("<kvtm:Version>")) << "not sorted";
    r = zenit(args({"--quiet", "--settings", titled, "-o", again}, photos));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(again), read_file(first));
}

namespace {

// The photos through the road up to the save, with method's defaults; no result when a stage
// fails.
struct Rendered {
    app::Document doc;
    platform::DataPtr result;
    float p[kTmParamCount];
};
Rendered render(const std::vector<std::string> &photos, int method)
{
    Rendered r;
    tmparam_default(method, 0, r.p);
    if (app::check_and_probe(photos, &r.doc) || app::decode_stack(&r.doc) ||
        app::process(r.doc, method, r.p, 1, false, nullptr, &r.result))
        r.result = nullptr;
    return r;
}

} // namespace

// Near the system's path limit the output checks pass exactly when the save can take its name,
// through an unnamed file or, where the folder takes none, a hidden named one: a second run's
// "-2", and the hidden name built from the first default name, fit, or the run is refused
// before its work.
TEST(Zenit, TheOutputChecksMeasureWhatTheSaveWrites)
{
    TempDir tmp;
    const auto photos = write_bracket(tmp, Kind::Jpeg, make_radiance_map(24, 16), {});
    const Rendered r = render(photos, kMethodMean);
    ASSERT_TRUE(r.result);
    // Folders down to 200 bytes short of the limit: the names below fit a name's 255 bytes.
    std::string dir = tmp.path();
    while (dir.size() < PATH_MAX - 200) {
        dir += "/" + std::string(std::min<size_t>(250, PATH_MAX - 201 - dir.size()), 'd');
        ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
    }
    for (const bool unnamed : {true, false}) {
        app::set_unnamed_files_for_testing(unnamed);
        for (size_t length = PATH_MAX - 10; length < PATH_MAX - 1; ++length) {
            // The first default name, already taken: the save takes "-2".
            const std::string first =
                dir + "/" + std::string(length - dir.size() - 9, 'n') + "_hdr.jpg";
            ASSERT_EQ(first.size(), length);
            write_file(first, Bytes{1});
            const bool checked = !app::check_output(photos, first, false);
            std::string saved;
            const app::RoadError e =
                app::save_result(r.doc, r.result, kMethodMean, r.p, app::OutputFormat::Jpeg, 90,
                                 app::OutputTarget{first, true}, &saved);
            EXPECT_EQ(checked, !e) << length << (unnamed ? " unnamed: " : " named: ") << e.message;
            // "-2"; the hidden name's "." and ".XXXXXX"
            EXPECT_EQ(checked, length + (unnamed ? 2 : 8) < PATH_MAX) << length;
            if (!e) {
                EXPECT_EQ(saved, app::numbered_output_path(first, 2));
            }
            ::unlink(first.c_str());
            ::unlink(app::numbered_output_path(first, 2).c_str()); // past the limit: none
        }
    }
    app::set_unnamed_files_for_testing(true);
}

// SIGTERM the moment -o's result has its hidden name, before that name has its handler: the
// signal waits for the handler, which removes the name; nothing is left in the folder.
TEST(Zenit, AStopWhileTheResultGetsItsHiddenNameLeavesNothing)
{
    TempDir tmp;
    const auto photos = write_bracket(tmp, Kind::Jpeg, make_radiance_map(48, 32), {});
    const Rendered r = render(photos, kMethodRodo);
    ASSERT_TRUE(r.result);
    const std::string out = tmp.file("out.jpg");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        app::set_hidden_link_hook_for_testing([] { ::raise(SIGTERM); });
        app::save_result(r.doc, r.result, kMethodRodo, r.p, app::OutputFormat::Jpeg, 90, out);
        ::_exit(0);
    }
    int st = 0;
    ASSERT_EQ(::waitpid(child, &st, 0), child);
    EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGTERM) << st;
    for (const auto &e : fs::directory_iterator(tmp.path()))
        EXPECT_NE(e.path().filename().string()[0], '.') << "left behind: " << e.path();
    EXPECT_FALSE(fs::exists(out));
}

// Names the user gave come out escaped in every message, never raw.
TEST(Zenit, NamesAreShownEscaped)
{
    TempDir tmp;
    const std::string odd = tmp.file("x\ny\x1b[2J\xff.jpg");
    write_file(odd, Bytes{0xFF, 0xD8, 0xFF});
    fs::create_directories(tmp.path() + "/c\tfg/zenit/defaults"); // a folder: named, ignored
    const ConfigHome home(tmp.path() + "/c\tfg");
    const ZenitRun r = zenit({"-o", tmp.file("r.jpg"), odd});
    EXPECT_NE(r.err.find("c\\tfg/zenit/defaults is a directory"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("x\\ny\\x1b[2J\\xff.jpg "), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find_first_of("\x1b\t\xff"), std::string::npos) << r.err;
}

// Settings finer than the packet records are rounded before rendering, and said: the result's
// own settings then render it again, byte for byte.
TEST(Zenit, AResultRendersAgainThroughItsSettings)
{
    TempDir tmp;
    const auto photos = write_bracket(tmp, Kind::Jpeg, make_radiance_map(96, 64), {});
    const std::string first = tmp.file("first.jpg"), again = tmp.file("again.jpg");
    const struct {
        std::vector<std::string> set;
        const char *says;
    } cases[] = {
        {{"--set", "Gamma=0.75", "--set", "Strength=60.25"}, "Gamma 0.75 is taken as 0.7"},
        {{"-m", "fusion", "--set", "MidtonesAdjustment=3.33"},
         "MidtonesAdjustment 3.33 is taken as 3.3"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> options = c.set;
        options.insert(options.end(), {"-o", first});
        const ZenitRun made = zenit(args(options, photos));
        ASSERT_EQ(made.status, 0) << made.err;
        EXPECT_NE(made.err.find(std::string("zenit: ") + c.says), std::string::npos) << made.err;
        const ZenitRun back = zenit(args({"--settings", first, "-o", again}, photos));
        ASSERT_EQ(back.status, 0) << back.err;
        EXPECT_EQ(back.err.find("is taken as"), std::string::npos) << back.err;
        EXPECT_EQ(read_file(again), read_file(first)) << c.says;
    }
}

// A preset's texts are what XML makes of them: a comment is no text, CDATA and references are;
// a number too small for a setting is 0, said; a packet that is not well-formed is bad input.
TEST(Zenit, SettingsFilesAreReadAsXml)
{
    TempDir tmp;
    const auto photos = write_bracket(tmp, Kind::Jpeg, make_radiance_map(96, 64), {});
    const auto preset = [&](const std::string &name, const std::string &settings) {
        const std::string path = tmp.file(name);
        const std::string text =
            "<?xml version='1.0'?>\n<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF xmlns:rdf='" +
            std::string(metadata::kRdfNamespace) + "'><rdf:Description xmlns:kvtm='" +
            metadata::kKvtmNamespace +
            "'><kvtm:Version>4.0</kvtm:Version><kvtm:Method>Deredid<!-- Rodo --> "
            "Edazozed</kvtm:Method>\n" +
            settings + "</rdf:Description></rdf:RDF></x:xmpmeta>";
        write_file(path, Bytes(text.begin(), text.end()));
        return path;
    };
    const std::string set = tmp.file("set.jpg"), read = tmp.file("read.jpg");
    ZenitRun r =
        zenit(args({"--set", "Strength=60", "--set", "ColorSaturation=50", "-o", set}, photos));
    ASSERT_EQ(r.status, 0) << r.err;
    r = zenit(args({"--settings",
                    preset("xml.xmp", "<kvtm:Strength>6<!-- 7 -->0</kvtm:Strength><kvtm:"
                                      "ColorSaturation><![CDATA[5]]>&#48;</kvtm:ColorSaturation>"),
                    "-o", read},
                   photos));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(read), read_file(set));

    r = zenit(args({"--settings", preset("tiny.xmp", "<kvtm:Strength>1e-46</kvtm:Strength>"), "-o",
                    tmp.file("tiny.jpg")},
                   photos));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("zenit: Strength 1e-46 is taken as 0.0"), std::string::npos) << r.err;
    float p[kTmParamCount] = {};
    EXPECT_GE(parse_xmp(tmp.file("tiny.jpg").c_str(), 1, p), 0);
    EXPECT_EQ(p[kDeStrength], 0.0f);

    r = zenit(args({"--settings", preset("zero.xmp", "<kvtm:Strength>6&#0;0</kvtm:Strength>"), "-o",
                    tmp.file("zero.jpg")},
                   photos));
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_NE(r.err.find("zero.xmp: its settings packet is not well-formed XML (line 3, column "
                         "17: reference to invalid character number)"),
              std::string::npos)
        << r.err;
    EXPECT_FALSE(std::filesystem::exists(tmp.file("zero.jpg")));
}

// Alignment before every method: --align, --keep-size and the "AlignmentSettings" user default
// (missing: features, cropped; NeedAlignment 2 never; AlignmentType 0 translation; Crop 0 keeps
// the size). The darkest photo of a textured bracket lies 6 right of and 4 below the others.
TEST(Zenit, AlignsByTheOptionOrTheUserDefaultAndTheResultTakesTheCrop)
{
    TempDir tmp, config;
    const ConfigHome home(config.path());
    const int w = 360, h = 240;
    const Bytes grey = testsupport::speckle_photo(w, h, 700, 17);
    std::vector<std::string> photos;
    for (auto [gain, dx, dy] : {std::tuple{0.5, 6, 4}, {1.0, 0, 0}, {1.6, 0, 0}}) {
        Bytes rgb(size_t(w * h) * 3);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const int v =
                    grey[size_t(std::clamp(y - dy, 0, h - 1) * w + std::clamp(x - dx, 0, w - 1))];
                std::fill_n(&rgb[size_t(y * w + x) * 3], 3, uint8_t(std::min(255.0, v * gain)));
            }
        photos.push_back(tmp.file("p" + std::to_string(photos.size()) + ".tif"));
        ASSERT_TRUE(write_libtiff(photos.back(), rgb.data(), w, h, 3));
    }
    const std::string out = tmp.file("r.tif");
    auto run = [&](std::vector<std::string> options, bool quiet = true) {
        if (quiet)
            options.push_back("--quiet");
        options.insert(options.end(), {"-o", out});
        const ZenitRun r = zenit(args(options, photos));
        EXPECT_EQ(r.status, 0) << r.err;
        const Picture p = load(out);
        return std::tuple{p.w, p.h, r.err};
    };
    auto size = [&](std::vector<std::string> options) {
        auto [pw, ph, err] = run(std::move(options));
        return std::pair{pw, ph};
    };
    auto set_default = [&](const platform::Value &settings) {
        platform::UserDefaults defaults(config.path() + "/zenit/defaults");
        defaults.setObject(settings, "AlignmentSettings");
        ASSERT_TRUE(defaults.synchronize());
    };
    const std::pair full{w, h}, shifted{w - 6, h - 4};
    for (const char *method : {"mean", "fusion", "deredid"}) {
        EXPECT_EQ(size({"-m", method, "--align", "translation"}), shifted) << method;
        EXPECT_EQ(size({"-m", method, "--align", "none"}), full) << method;
    }
    EXPECT_EQ(size({"-m", "mean", "--align", "translation", "--keep-size"}), full);
    const auto features = size({"-m", "mean"});
    EXPECT_EQ(size({"-m", "mean", "--align", "features"}), features);
    EXPECT_TRUE(features.first >= w - 8 && features.first <= w - 6 && features.second >= h - 6 &&
                features.second <= h - 4)
        << features.first << " x " << features.second;
    EXPECT_EQ(size({"-m", "mean", "--keep-size"}), full);

    // The aligner's lines go with the progress, and --quiet silences them.
    auto [fw, fh, said] = run({"-m", "mean"}, false);
    EXPECT_NE(said.find("photo: 0 "), std::string::npos) << said;
    EXPECT_NE(said.find("rt_align: "), std::string::npos) << said;
    EXPECT_EQ(std::get<2>(run({"-m", "mean"})), "");

    set_default(platform::Dictionary{{"NeedAlignment", 2}, {"AlignmentType", 0}});
    EXPECT_EQ(size({"-m", "mean"}), full) << "never";
    EXPECT_EQ(size({"-m", "mean", "--align", "translation"}), shifted) << "the option first";
    set_default(platform::Dictionary{{"NeedAlignment", 0}, {"AlignmentType", 0}});
    EXPECT_EQ(size({"-m", "mean"}), shifted) << "ask, with nobody to ask: as always";
    set_default(platform::Dictionary{{"AlignmentType", 0}, {"Crop", 0}});
    EXPECT_EQ(size({"-m", "mean"}), full) << "keep the size";
    set_default(platform::Dictionary{{"NeedAlignment", 1}, {"Crop", 1}});
    EXPECT_EQ(size({"-m", "mean"}), features) << "always, by features where missing";
}
