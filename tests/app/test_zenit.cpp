// End-to-end tests: the zenit program on the real brackets and on hand-made bad input.
#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "imagecore/jpeg_readers.h"
#include "imagecore/tiff_probe.h"
#include "metadata/exif_reader.h"
#include "metadata/xmp_settings.h"
#include "platform/bitmap.h"
#include "tests/support/bracket_generator.h"
#include "tests/support/fixtures.h"
#include "tests/support/image_compare.h"

extern char **environ;

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
    TempDir tmp;
    std::string errPath = tmp.file("stderr.txt");
    std::vector<char *> argv;
    std::string bin = ZENIT_BINARY;
    argv.push_back(bin.data());
    std::vector<std::string> copy = args;
    for (auto &a : copy)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    ZenitRun r;
    if (posix_spawn(&pid, bin.c_str(), &fa, nullptr, argv.data(), environ) == 0) {
        int st = 0;
        waitpid(pid, &st, 0);
        r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
    posix_spawn_file_actions_destroy(&fa);
    Bytes e = read_file(errPath);
    r.err.assign(e.begin(), e.end());
    return r;
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

// The photo is neither flat nor clipped: a real tone-mapped scene, not a grey or white sheet.
void expect_sane_image(const platform::BitmapImageRep &bmp)
{
    const size_t n = size_t(bmp.pixelsWide()) * bmp.pixelsHigh() * bmp.samplesPerPixel();
    const uint8_t *p = bmp.bitmapData();
    ASSERT_EQ(bmp.bitsPerSample(), 8);
    BufferStats s = buffer_stats(p, n);
    EXPECT_GT(s.mean, 40.0);
    EXPECT_LT(s.mean, 200.0);
    EXPECT_GT(s.stddev, 20.0);
    // The global operator lets the brightest highlights (the sky through a window) reach white;
    // a clipped result would lose far more than a tenth of its samples.
    EXPECT_LT(share_at_or_above(p, n, 255), 0.10);
    EXPECT_LT(share_at_or_below(p, n, 0), 0.10);
}

ExifInfo read_info(const std::string &path, int type)
{
    ExifInfo info;
    EXPECT_GE(getExifData(path.c_str(), type, &info), 0) << path;
    return info;
}

} // namespace

class RealBracket : public ::testing::TestWithParam<const char *> {};

TEST_P(RealBracket, SavesASaneJpegWithTheFirstPhotosMetadata)
{
    auto photos = bracket(GetParam());
    if (photos.empty())
        GTEST_SKIP() << "no photos in " << HDR_TESTDATA_DIR << "/" << GetParam();
    TempDir tmp;
    std::string out = tmp.file("result.jpg");
    std::vector<std::string> args{"--quiet", "-o", out, "--set", "Saturation=1"};
    args.insert(args.end(), photos.begin(), photos.end());
    ZenitRun r = zenit(args);
    ASSERT_EQ(r.status, 0) << r.err;

    auto bmp = platform::BitmapImageRep::imageRepWithContentsOfFile(out);
    ASSERT_TRUE(bmp);
    int info[13] = {};
    ASSERT_EQ(infojpg(photos[0].c_str(), info), 8);
    EXPECT_EQ(bmp->pixelsWide(), info[0]);
    EXPECT_EQ(bmp->pixelsHigh(), info[1]);
    expect_sane_image(*bmp);

    ExifInfo src = read_info(photos[0], 1), dst = read_info(out, 1);
    EXPECT_NEAR(dst.exposureTime, src.exposureTime, src.exposureTime * 1e-3); // rationals of 100
    EXPECT_NEAR(dst.fNumber, src.fNumber, 0.01);
    EXPECT_EQ(dst.iso, src.iso);
    EXPECT_STREQ(dst.model, src.model);
    EXPECT_STREQ(dst.dateTime, src.dateTime);
    EXPECT_EQ(dst.orientation ? dst.orientation : 1, src.orientation ? src.orientation : 1);

    float p[20] = {};
    EXPECT_EQ(parse_xmp(out.c_str(), -1, nullptr), 2);
    EXPECT_GE(parse_xmp(out.c_str(), 2, p), 0);
    EXPECT_FLOAT_EQ(p[13], 1.0f);
}

INSTANTIATE_TEST_SUITE_P(Zenit, RealBracket,
                         ::testing::Values("window_tripod_e995", "stlouis_arch_tripod",
                                           "iphone6_handheld"));

// A synthetic 16-bit bracket with an ICC profile, as TIFF and as PSD: the profile and the
// settings reach the result, and a second run with --settings from it reuses them.
TEST(Zenit, CarriesTheProfileAndReusesSettings)
{
    TempDir tmp;
    RadianceMap scene = make_radiance_map(96, 64);
    Bytes icc = make_icc_profile(3000, "Adobe RGB (1998)");
    for (const char *ext : {"tif", "psd"}) {
        std::vector<std::string> photos;
        for (float e : {0.25f, 1.0f, 4.0f}) {
            auto px = render_photo(scene, e, 16, 3);
            photos.push_back(tmp.file("p" + std::to_string(photos.size()) + "." + ext));
            if (ext[1] == 'i') {
                LibTiffOptions o;
                o.bits = 16;
                o.icc = icc;
                ASSERT_TRUE(write_libtiff(photos.back(), px.data(), 96, 64, 3, o));
            } else {
                PsdBuilder b;
                b.set_interleaved16(reinterpret_cast<const uint16_t *>(px.data()), 96, 64, 3);
                b.resources.push_back({1039, "", icc});
                ASSERT_TRUE(write_file(photos.back(), b.build()));
            }
        }
        std::string out = tmp.file(std::string("r-") + ext + ".tif");
        ZenitRun r =
            zenit({"--quiet", "-o", out, "--set", "Contrast=2", photos[0], photos[1], photos[2]});
        ASSERT_EQ(r.status, 0) << ext << ": " << r.err;
        int info[13] = {};
        ASSERT_EQ(getTiffInfo(out.c_str(), info), 2);
        EXPECT_EQ(info[0] * 1000 + info[1], 96064);
        EXPECT_EQ(info[2], 16);
        std::vector<uint8_t> prof(icc.size() + 1);
        ASSERT_EQ(tif_profile(out.c_str(), prof.data(), prof.size()), int(icc.size())) << ext;
        EXPECT_TRUE(std::equal(icc.begin(), icc.end(), prof.begin()));

        std::string again = tmp.file(std::string("again-") + ext + ".jpg");
        r = zenit({"--quiet", "--settings", out, "-o", again, photos[0], photos[1], photos[2]});
        ASSERT_EQ(r.status, 0) << r.err;
        float p[20] = {};
        EXPECT_GE(parse_xmp(again.c_str(), 2, p), 0);
        EXPECT_FLOAT_EQ(p[2], 2.0f);
        EXPECT_EQ(jpg_profile(again.c_str(), prof.data(), prof.size()), int(icc.size()));
    }
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
    std::string upper = jpg("c.JPG", px, 32, 3), narrow = jpg("n.jpg", small, 16, 3);
    std::string g = jpg("g.jpg", grey, 32, 1);
    std::string corrupt = tmp.file("bad.jpg");
    write_file(corrupt, Bytes{0xFF, 0xD8, 0xFF, 0xE0, 0x00});
    std::string raw = tmp.file("x.nef"), txt = tmp.file("notes.txt");
    write_file(raw, Bytes(100, 0));
    write_file(txt, Bytes(10, 'a'));
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
        {{a, upper}, 3, "extension"},
        {{raw}, 3, "raw"},
        {{txt}, 3, "not a supported"},
        {{a, tmp.file("missing.jpg")}, 3, "missing.jpg"},
        {{a, corrupt}, 3, "bad.jpg"},
        {{a, narrow}, 3, "16 x 24"},
        {{a, g}, 3, "channels"},
        {{t8, t16}, 3, "bits"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args{"--quiet", "-o", out};
        args.insert(args.end(), c.photos.begin(), c.photos.end());
        ZenitRun r = zenit(args);
        EXPECT_EQ(r.status, c.status) << c.says << ": " << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_TRUE(read_file(out).empty()) << "no output for a refused batch";
    }
    EXPECT_EQ(zenit({"--quiet", "-o", out, "--method", "fusion", a}).status, 2);
    EXPECT_EQ(zenit({}).status, 2);
    EXPECT_EQ(zenit({"--help"}).status, 0);
}

// A save that cannot happen leaves neither the target nor a temporary file behind.
TEST(Zenit, FailedSaveLeavesNothingBehind)
{
    TempDir tmp;
    std::vector<uint8_t> px(32 * 24 * 3, 100);
    std::string a = tmp.file("a.jpg");
    write_file(a, encode_jpeg(px.data(), 32, 24, 3, 90));
    ZenitRun r = zenit({"--quiet", "-o", tmp.path() + "/no/such/dir/out.jpg", a});
    EXPECT_EQ(r.status, 4) << r.err;

    // A save replaces an existing file as a whole and leaves no temporary file.
    std::string keep = tmp.file("keep.jpg");
    write_file(keep, Bytes{1, 2, 3});
    r = zenit({"--quiet", "-o", keep, a});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_GT(read_file(keep).size(), 3u); // replaced completely on success
    for (const auto &e : fs::directory_iterator(tmp.path()))
        EXPECT_NE(e.path().filename().string()[0], '.') << "temporary file left: " << e.path();
}
