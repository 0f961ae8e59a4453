// The memory a run is weighed at before its photos are decoded, against the peak the driver
// reaches (its --timings line), and the runs that do not fit refused before any decoding.
#include <gtest/gtest.h>

#include <algorithm>
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

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kInstrumented = true;
#else
constexpr bool kInstrumented = false;
#endif

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

// The last line of --timings: "Memory  estimated N MB, peak M MB"; zeros when it is not there.
std::pair<uint64_t, uint64_t> memory_line(const std::string &err)
{
    const size_t at = err.rfind("\nMemory  estimated ");
    uintmax_t estimated = 0, peak = 0;
    if (at == std::string::npos ||
        std::sscanf(err.c_str() + at + 1, "Memory  estimated %" SCNuMAX " MB, peak %" SCNuMAX " MB",
                    &estimated, &peak) != 2)
        return {0, 0};
    return {estimated, peak};
}

struct Probed {
    TempDir dir;
    app::Document doc;
};

} // namespace

// Every method, grey and colour, and the stages that raise the peak (noise reduction, both
// alignments): the driver's estimate is at least its peak and at most twice it. The estimate
// takes each stage at its most (a failed photo's second decoding, the buffers the allocator
// may keep, a baseline above the program's own few MB), which a run need not reach: 1.0 to 1.8
// times the peak at this size. An instrumented build's peak is its sanitizers'.
TEST(RunMemory, TheEstimateHoldsThePeakOfEveryMethodWithinTwice)
{
    if (kInstrumented)
        GTEST_SKIP() << "peaks of an instrumented build are not the program's";
    TempDir dir;
    const std::vector<std::string> grey = bracket(dir, 1200, 800, 1);
    const std::vector<std::string> colour = bracket(dir, 1200, 800, 3);
    // Photos the aligner cuts into tiles of several sizes, whose buffers the allocator keeps
    // side by side.
    const std::vector<std::string> large = bracket(dir, 2200, 1400, 1);
    struct Case {
        std::vector<std::string> args;
        bool grey;
        const char *out = "out.jpg";
        bool large = false;
    };
    std::vector<Case> cases;
    for (const char *method : {"deredid", "rodo"})
        for (bool g : {false, true})
            cases.push_back({{"-m", method, "--denoise", "0", "--align", "none"}, g});
    for (const char *method : {"fusion", "intensive", "highlights-shadows", "two-photos", "mean"})
        for (bool g : {false, true})
            cases.push_back({{"-m", method, "--align", "none"}, g});
    cases.push_back({{"-m", "rodo", "--denoise", "1", "--align", "none"}, true});
    cases.push_back({{"-m", "mean", "--align", "features", "-j", "8"}, false});
    cases.push_back({{"-m", "mean", "--align", "translation"}, false, "out.tif"});
    cases.push_back({{"-m", "mean", "--align", "features"}, true, "out.jpg", true});
    for (const Case &c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--timings", "-o", dir.file(c.out)});
        const std::vector<std::string> &photos = c.large ? large : c.grey ? grey : colour;
        args.insert(args.end(), photos.begin(), photos.end());
        const ChildRun r = run_child(ZENIT_BINARY, args);
        std::string label = c.grey ? "grey:" : "colour:";
        for (const std::string &a : c.args)
            label += " " + a;
        ASSERT_EQ(r.status, 0) << label << r.err;
        const auto [estimated, peak] = memory_line(r.err);
        // MB of 2^20 bytes. The parent's figure holds this test's own resident size too (the
        // child starts in its address space).
        EXPECT_GT(peak, 0u) << label;
        EXPECT_LE(peak, (r.peakBytes >> 20) + 1) << label;
        EXPECT_LE(peak, estimated) << label;
        EXPECT_LE(estimated, 2 * peak) << label;
    }
}

// Photos decoded at once each add theirs: a memory for two decoders takes two of the eight
// threads (the mean holds little else). Noise reduction the memory does not hold is left out,
// not the run, and says so.
TEST(RunMemory, DecodersFitTheMemoryAndNoiseReductionThatDoesNotIsLeftOut)
{
    Probed run;
    ASSERT_FALSE(app::check_and_probe(bracket(run.dir, 240, 160, 3), &run.doc));
    app::JobShape job;
    job.method = kMethodMean;
    uint64_t need[4] = {};
    for (job.decoders = 1; job.decoders <= 3; ++job.decoders)
        need[job.decoders] = app::job_memory(run.doc, job).value_or(0);
    ASSERT_TRUE(need[1] < need[2] && need[2] < need[3]);
    uint64_t weighed = 0;
    ASSERT_FALSE(app::decode_stack(&run.doc, need[2], 8, job, &weighed));
    EXPECT_EQ(weighed, need[2]);
    ASSERT_FALSE(app::decode_stack(&run.doc, 0, 8, job, &weighed));
    EXPECT_EQ(weighed, need[3]);

    job = {};
    job.method = kMethodRodo;
    const uint64_t plain = app::job_memory(run.doc, job).value_or(0);
    job.denoise = 1;
    ASSERT_GT(app::job_memory(run.doc, job).value_or(0), plain);
    ASSERT_FALSE(app::decode_stack(&run.doc, plain, 0, job, &weighed));
    EXPECT_EQ(weighed, plain);
    const std::string note = app::denoise_stack(&run.doc, 1, 1, plain);
    EXPECT_NE(note.find("noise reduction skipped: it needs"), std::string::npos) << note;
}

// An 8 KB arithmetic-coded JPEG whose frame claims 46000 x 46000 grey pixels carries the coded
// bytes the header check asks of that many blocks: it passes as a photo, and the estimate of
// the default road (tens of GB) refuses it before a pixel is allocated, in the driver too when
// the machine has less.
TEST(RunMemory, AFewKilobytesDeclaringAHugePhotoAreRefusedByTheEstimate)
{
    std::vector<uint8_t> px(16 * 16);
    for (size_t i = 0; i < px.size(); ++i)
        px[i] = uint8_t(i * 7);
    Bytes file = jpeg_claiming_size(recode_jpeg(encode_jpeg(px.data(), 16, 16, 1, 90), true, false),
                                    46000, 46000);
    const size_t end = jpeg_scans(file).front().end;
    file.insert(file.begin() + ptrdiff_t(end), 8200, 0); // 5750 x 5750 blocks / 4096, and more
    ASSERT_LT(file.size(), 9000u);

    Probed run;
    const std::string path = run.dir.file("claim.jpg");
    ASSERT_TRUE(write_file(path, file));
    ASSERT_FALSE(app::check_and_probe({path}, &run.doc));
    const uint64_t need = app::job_memory(run.doc, {}).value_or(0);
    EXPECT_GT(need, uint64_t(20) << 30);
    const app::RoadError e = app::decode_stack(&run.doc, uint64_t(16) << 30);
    EXPECT_EQ(e.code, app::kExitFailed);
    EXPECT_NE(e.message.find("1 photo of 46000 x 46000 need"), std::string::npos) << e.message;
    EXPECT_FALSE(run.doc.stack);

    if (platform::physical_memory() >= need)
        GTEST_SKIP() << "this machine holds the run; the driver would make the photo";
    const ChildRun r = run_child(ZENIT_BINARY, {"--quiet", "-o", run.dir.file("out.jpg"), path});
    EXPECT_EQ(r.status, app::kExitFailed) << r.err;
    EXPECT_NE(r.err.find("not enough memory: 1 photo of 46000 x 46000"), std::string::npos)
        << r.err;
}
