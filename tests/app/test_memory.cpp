// The memory a run is weighed at before its photos are decoded, against the peak the driver
// reaches (its --timings line), and the runs that do not fit refused before any decoding.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "app/road.h"
#include "tests/support/bracket_generator.h"
#include "tests/support/child_process.h"
#include "tests/support/fixtures.h"
#include "tests/support/jpeg_streams.h"

using namespace testsupport;

namespace {

// Three JPEGs of the generated scene two stops apart, colour or grey, in dir.
std::vector<std::string> bracket(const TempDir &dir, int w, int h, int spp)
{
    const RadianceMap scene = make_radiance_map(w, h);
    std::vector<std::string> paths;
    for (int k = 0; k < 3; ++k) {
        const std::vector<uint8_t> px = render_photo(scene, 0.25f * float(1 << (2 * k)), 8, spp);
        paths.push_back(dir.file(std::to_string(spp) + "-" + std::to_string(k) + ".jpg"));
        EXPECT_TRUE(write_file(paths.back(), encode_jpeg(px.data(), w, h, spp, 90)));
    }
    return paths;
}

} // namespace

// Every method and the stages that raise the peak (noise reduction, both alignments, whose tiles
// of several sizes the grey photos give), on grey photos of 2200 x 1400 or colour ones of 1200 x
// 800: the driver's estimate is at least its peak (each stage taken at its most, which a run need
// not reach) and at most twice it. An instrumented build's peak is its sanitizers'.
TEST(RunMemory, TheEstimateHoldsThePeakOfEveryMethodWithinTwice)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "peaks of an instrumented build are not the program's";
#endif
    TempDir dir;
    const std::vector<std::string> photos[] = {bracket(dir, 2200, 1400, 1),
                                               bracket(dir, 1200, 800, 3)};
    const struct {
        int set; // grey, colour
        const char *out;
        std::vector<std::string> args;
    } cases[] = {
        {0, "out.jpg", {"-m", "deredid", "--denoise", "0", "--align", "none"}},
        {1, "out.jpg", {"-m", "rodo", "--denoise", "0", "--align", "none"}},
        {0, "out.jpg", {"-m", "rodo", "--denoise", "1", "--align", "none"}},
        {0, "out.jpg", {"-m", "fusion", "--align", "none"}},
        {1, "out.jpg", {"-m", "intensive", "--align", "none"}},
        {0, "out.jpg", {"-m", "highlights-shadows", "--align", "none"}},
        {1, "out.jpg", {"-m", "two-photos", "--align", "none"}},
        {1, "out.jpg", {"-m", "mean", "--align", "none"}},
        {1, "out.jpg", {"-m", "mean", "--align", "features", "-j", "8"}},
        {1, "out.tif", {"-m", "mean", "--align", "translation"}},
        {0, "out.jpg", {"-m", "mean", "--align", "features"}},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--timings", "-o", dir.file(c.out)});
        args.insert(args.end(), photos[c.set].begin(), photos[c.set].end());
        const ChildRun r = run_child(ZENIT_BINARY, args);
        ASSERT_EQ(r.status, 0) << r.err;
        // The last line of --timings, in MB of 2^20 bytes. The parent's figure holds this test's
        // own resident size too (the child starts in its address space).
        uintmax_t estimated = 0, peak = 0;
        const size_t at = r.err.rfind("\nMemory  estimated ");
        if (at != std::string::npos)
            std::sscanf(r.err.c_str() + at, "\nMemory  estimated %" SCNuMAX " MB, peak %" SCNuMAX,
                        &estimated, &peak);
        EXPECT_TRUE(peak > 0 && peak <= (r.peakBytes >> 20) + 1 && peak <= estimated &&
                    estimated <= 2 * peak)
            << testing::PrintToString(c.args) << ": estimated " << estimated << ", peak " << peak;
    }
}

// Photos decoded at once each add theirs: a memory for two decoders takes two of the eight
// threads (the mean holds little else). Noise reduction the memory does not hold is left out,
// not the run.
TEST(RunMemory, DecodersFitTheMemoryAndNoiseReductionThatDoesNotIsLeftOut)
{
    TempDir dir;
    app::Document doc;
    ASSERT_FALSE(app::check_and_probe(bracket(dir, 240, 160, 3), &doc));
    app::JobShape job;
    job.method = kMethodMean;
    uint64_t need[4] = {}, weighed = 0;
    for (job.decoders = 1; job.decoders <= 3; ++job.decoders)
        need[job.decoders] = app::job_memory(doc, job).value_or(0);
    ASSERT_TRUE(need[1] < need[2] && need[2] < need[3]);
    ASSERT_FALSE(app::decode_stack(&doc, need[2], 8, job, &weighed));
    EXPECT_EQ(weighed, need[2]);
    ASSERT_FALSE(app::decode_stack(&doc, 0, 8, job, &weighed));
    EXPECT_EQ(weighed, need[3]);

    job = {};
    job.method = kMethodRodo;
    const uint64_t plain = app::job_memory(doc, job).value_or(0);
    job.denoise = 1;
    ASSERT_GT(app::job_memory(doc, job).value_or(0), plain);
    ASSERT_FALSE(app::decode_stack(&doc, plain, 0, job, &weighed));
    EXPECT_EQ(weighed, plain);
}

// An 8 KB arithmetic-coded JPEG whose frame claims 46000 x 46000 grey pixels carries the coded
// bytes the header check asks of that many blocks: it passes as a photo, and the estimate of
// the default road (tens of GB) refuses it before a pixel is allocated, in the driver too when
// the machine has less.
TEST(RunMemory, AFewKilobytesDeclaringAHugePhotoAreRefusedByTheEstimate)
{
    const std::vector<uint8_t> px(16 * 16, 0x80);
    Bytes file = jpeg_claiming_size(recode_jpeg(encode_jpeg(px.data(), 16, 16, 1, 90), true, false),
                                    46000, 46000);
    // 5750 x 5750 blocks / 4096 coded bytes, and more.
    file.insert(file.begin() + ptrdiff_t(jpeg_scans(file).front().end), 8200, 0);
    ASSERT_LT(file.size(), 9000u);

    TempDir dir;
    app::Document doc;
    const std::string path = dir.file("claim.jpg");
    ASSERT_TRUE(write_file(path, file));
    ASSERT_FALSE(app::check_and_probe({path}, &doc));
    const app::RoadError e = app::decode_stack(&doc, uint64_t(16) << 30);
    EXPECT_EQ(e.code, app::kExitFailed);
    EXPECT_NE(e.message.find("1 photo of 46000 x 46000 need"), std::string::npos) << e.message;
    EXPECT_FALSE(doc.stack);

    if (platform::physical_memory() >= app::job_memory(doc, {}).value_or(0))
        GTEST_SKIP() << "this machine holds the run; the driver would make the photo";
    const ChildRun r = run_child(ZENIT_BINARY, {"--quiet", "-o", dir.file("out.jpg"), path});
    EXPECT_EQ(r.status, app::kExitFailed) << r.err;
    EXPECT_NE(r.err.find("not enough memory: 1 photo of 46000 x 46000"), std::string::npos)
        << r.err;
}
