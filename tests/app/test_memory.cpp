// The memory a run is weighed at before its photos are decoded, against the peak the driver
// reaches (its --timings line), and the runs that do not fit the machine, the control group or
// the process's limits refused before any decoding.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "app/road.h"
#include "tests/support/bracket_generator.h"
#include "tests/support/child_process.h"
#include "tests/support/fixtures.h"
#include "tests/support/jpeg_streams.h"
#include "tests/support/noise.h"

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

// Writes RGB pixels of bits a sample (16-bit in host order) as a file at path.
using PhotoWriter = std::function<bool(const std::string &path, const std::vector<uint8_t> &px,
                                       int w, int h, int bits)>;

// n colour photos of the generated scene with camera grain (files of camera size), two stops
// apart, named name-k.ext in dir.
std::vector<std::string> photos(const TempDir &dir, const std::string &name, const std::string &ext,
                                int n, int w, int h, int bits, const PhotoWriter &write)
{
    const RadianceMap scene = make_radiance_map(w, h);
    std::vector<std::string> paths;
    for (int k = 0; k < n; ++k) {
        const std::vector<uint8_t> px =
            render_noisy_photo(scene, 0.25f * float(1 << (2 * k)), bits, 3.0, uint64_t(k + 1));
        paths.push_back(dir.file(name + "-" + std::to_string(k) + ext));
        EXPECT_TRUE(write(paths.back(), px, w, h, bits)) << name;
    }
    return paths;
}

// Runs the driver with --timings and checks its estimate against its peak: at least the peak (each
// stage taken at its most, which a run need not reach) and at most twice it. An instrumented
// build's peak is its sanitizers'.
void expect_estimate_within_twice(std::vector<std::string> args, const std::string &out,
                                  const std::vector<std::string> &photos, const std::string &label)
{
    args.insert(args.end(), {"--timings", "-o", out});
    args.insert(args.end(), photos.begin(), photos.end());
    const ChildRun r = run_child(ZENIT_BINARY, args);
    ASSERT_EQ(r.status, 0) << label << ": " << r.err;
    // The last line of --timings, in MB of 2^20 bytes. The parent's figure holds this test's own
    // resident size too (the child starts in its address space).
    uintmax_t estimated = 0, peak = 0;
    const size_t at = r.err.rfind("\nMemory  estimated ");
    if (at != std::string::npos)
        std::sscanf(r.err.c_str() + at, "\nMemory  estimated %" SCNuMAX " MB, peak %" SCNuMAX,
                    &estimated, &peak);
    EXPECT_TRUE(peak > 0 && peak <= (r.peakBytes >> 20) + 1 && peak <= estimated &&
                estimated <= 2 * peak)
        << label << ": estimated " << estimated << ", peak " << peak;
}

// The document of three 16-bit deflate TIFFs of 240 x 160 in dir after their checks: photos
// that decode through a bitmap beside the stack.
app::Document probed_tiffs(const TempDir &dir)
{
    const std::vector<std::string> tiffs =
        photos(dir, "tiff", ".tif", 3, 240, 160, 16,
               [](const std::string &path, const std::vector<uint8_t> &px, int w, int h, int bits) {
                   LibTiffOptions o;
                   o.bits = bits;
                   o.compression = 8; // Adobe deflate
                   return write_libtiff(path, px.data(), w, h, 3, o);
               });
    app::Document doc;
    EXPECT_FALSE(app::check_and_probe(tiffs, &doc));
    return doc;
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
    for (const auto &c : cases)
        expect_estimate_within_twice(c.args, dir.file(c.out), photos[c.set],
                                     testing::PrintToString(c.args));
}

// The same of every kind of file the decoders and the metadata readers hold differently: 8- and
// 16-bit TIFFs of many strips, one strip (libtiff reads it whole) and tiles; raw and PackBits
// PSDs, streamed; baseline and progressive JPEGs (the coefficients of every block); and photos
// of a few pixels carrying a 16 MB ICC profile or XMP packet, which the readers hold in copies.
// Each at one decoder and at five (the photos at once): beside the mean's stack and result, and
// beside the local operator's steps, which the decoders add to as far as they overlap.
TEST(RunMemory, TheEstimateHoldsThePeakOfEveryKindOfFileWithinTwice)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "peaks of an instrumented build are not the program's";
#endif
    const auto tiff = [](LibTiffOptions o) -> PhotoWriter {
        return [o](const std::string &path, const std::vector<uint8_t> &px, int w, int h,
                   int bits) mutable {
            o.bits = bits;
            return write_libtiff(path, px.data(), w, h, 3, o);
        };
    };
    const auto psd = [](int compression) -> PhotoWriter {
        return [compression](const std::string &path, const std::vector<uint8_t> &px, int w, int h,
                             int bits) {
            PsdBuilder b;
            b.set_interleaved(px.data(), uint32_t(w), uint32_t(h), 3, bits);
            b.compression = compression;
            b.resources.push_back({1039, "", make_icc_profile(4 << 20, "large")});
            return write_file(path, b.build());
        };
    };
    const auto jpeg = [](JpegOptions o, size_t profile) -> PhotoWriter {
        return [o, profile](const std::string &path, const std::vector<uint8_t> &px, int w, int h,
                            int) {
            const std::vector<Bytes> chunks =
                profile ? make_icc_app2_chunks(make_icc_profile(profile, "large"), 65519)
                        : std::vector<Bytes>{};
            return write_file(path, encode_jpeg(px.data(), w, h, 3, 92, chunks, o));
        };
    };
    LibTiffOptions deflate, oneStrip, tiled, plain, withIcc, withXmp;
    deflate.compression = oneStrip.compression = tiled.compression = 8; // Adobe deflate
    oneStrip.rowsPerStrip = 1500;
    tiled.tileSize = 256;
    withIcc.icc = make_icc_profile(16 << 20, "large");
    const std::string packet =
        "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\">" + std::string(16 << 20, ' ') + "</x:xmpmeta>";
    withXmp.xmp.assign(packet.begin(), packet.end());
    JpegOptions baseline, progressive;
    progressive.progressive = true;
    const struct {
        const char *name, *ext;
        int n, w, h, bits;
        PhotoWriter write;
    } inputs[] = {
        {"tiff16-strips", ".tif", 3, 1200, 800, 16, tiff(deflate)},
        {"tiff16-one-strip", ".tif", 3, 2000, 1500, 16, tiff(oneStrip)},
        {"tiff16-tiles", ".tif", 3, 1200, 800, 16, tiff(tiled)},
        {"tiff8-strips", ".tif", 3, 1200, 800, 8, tiff(plain)},
        {"psd8", ".psd", 3, 1200, 800, 8, psd(0)},
        {"psd16-packbits", ".psd", 3, 2000, 1500, 16, psd(1)},
        {"jpeg-baseline", ".jpg", 3, 1200, 800, 8, jpeg(baseline, 0)},
        {"jpeg-progressive", ".jpg", 3, 1200, 800, 8, jpeg(progressive, 0)},
        // 255 chunks, as many as a JPEG holds.
        {"jpeg-icc", ".jpg", 2, 64, 48, 8, jpeg(baseline, 255 * 65519)},
        {"tiff-icc", ".tif", 2, 64, 48, 8, tiff(withIcc)},
        {"tiff-xmp", ".tif", 2, 64, 48, 8, tiff(withXmp)},
    };
    for (const auto &in : inputs) {
        TempDir dir;
        const std::vector<std::string> files =
            photos(dir, in.name, in.ext, in.n, in.w, in.h, in.bits, in.write);
        for (const char *threads : {"1", "5"}) {
            // Photos of a few pixels: the local operator's steps would be nothing beside their
            // metadata.
            const bool local = std::string(threads) == "5" && in.w > 100;
            std::vector<std::string> args = {"-j",   threads, "--align",
                                             "none", "-m",    local ? "deredid" : "mean"};
            if (local)
                args.insert(args.end(), {"--denoise", "0"});
            expect_estimate_within_twice(args, dir.file("out.jpg"), files,
                                         std::string(in.name) + " " + testing::PrintToString(args));
        }
    }
}

// Photos decoded at once each add theirs: a memory for two decoders takes two of the eight
// threads (the mean holds little else; 16-bit TIFFs decode through a bitmap). Noise reduction
// the memory does not hold is left out, not the run.
TEST(RunMemory, DecodersFitTheMemoryAndNoiseReductionThatDoesNotIsLeftOut)
{
    TempDir dir;
    app::Document doc = probed_tiffs(dir);
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

// Every limit holds the run's resident need; the address-space and data limits also what the
// process holds beyond it and every thread's stack. One byte short of one decoder's need is
// refused (exit 4), naming the limit and what it counts; the need of two decoders takes two.
// Of several limits the one passed by the most is named.
TEST(RunMemory, EachLimitIsWeighedWithWhatItCountsAndTheOneThatBindsIsNamed)
{
    TempDir dir;
    app::Document doc = probed_tiffs(dir);
    app::JobShape job;
    job.method = kMethodMean;
    job.decoders = 1;
    const uint64_t one = app::job_memory(doc, job).value_or(0);
    job.decoders = 2;
    const uint64_t two = app::job_memory(doc, job).value_or(0);
    const uint64_t stack = uint64_t(3) << 20, beyond = uint64_t(7) << 20, threads = 4;
    const uint64_t reserved = beyond + threads * stack;
    using app::LimitKind;
    const struct {
        LimitKind kind;
        uint64_t counted; // beyond the resident need
        const char *says;
    } limits[] = {
        {LimitKind::Physical, 0, ", this machine has "},
        {LimitKind::ControlGroup, 0, ", the memory limit of the process's control group is "},
        {LimitKind::AddressSpace, reserved,
         " of address space with 4 threads, the process's address-space limit (ulimit -v) is "},
        {LimitKind::DataSegment, reserved,
         " of data segment with 4 threads, the process's data-segment limit (ulimit -d) is "},
    };
    for (const auto &l : limits) {
        app::MemoryBudget budget;
        budget.threadStack = stack;
        const uint64_t beside = l.counted ? beyond : 0;
        budget.limits = {{l.kind, one + l.counted - 1, beside}};
        doc.stack = nullptr;
        uint64_t weighed = 0;
        const app::RoadError e = app::decode_stack(&doc, budget, int(threads), job, &weighed);
        EXPECT_EQ(e.code, app::kExitFailed);
        EXPECT_EQ(e.message, "not enough memory: 3 photos of 240 x 160 need " +
                                 app::memory_size(one + l.counted) + l.says +
                                 app::memory_size(one + l.counted - 1));
        EXPECT_FALSE(doc.stack);
        budget.limits = {{l.kind, two + l.counted, beside}};
        ASSERT_FALSE(app::decode_stack(&doc, budget, int(threads), job, &weighed)) << e.message;
        EXPECT_EQ(weighed, two);
    }
    app::MemoryBudget several;
    several.threadStack = stack;
    several.limits = {{LimitKind::Physical, uint64_t(1) << 40, 0},
                      {LimitKind::ControlGroup, one - 1, 0},
                      {LimitKind::DataSegment, one + reserved - 2, beyond},
                      {LimitKind::AddressSpace, one + reserved + 5, beyond}};
    const app::RoadError e = app::decode_stack(&doc, several, int(threads), job);
    EXPECT_NE(e.message.find("(ulimit -d) is"), std::string::npos) << e.message;
}

// The control group's limit is the least of its own and its ancestors' (version 2's memory.max,
// "max" for none; version 1's memory.limit_in_bytes, under the memory controller's mount), found
// from /proc/self/cgroup under the root given; a group without them, or with a figure that is
// not one, sets none.
TEST(RunMemory, TheControlGroupsLimitIsTheLeastOfItsOwnAndItsAncestors)
{
    using Files = std::vector<std::pair<std::string, std::string>>;
    const uint64_t none = 0;
    const struct {
        const char *cgroup;
        Files files;
        uint64_t limit;
    } cases[] = {
        {"0::/user/run\n",
         {{"user/run/memory.max", "max\n"}, {"user/memory.max", "300000000\n"}},
         300000000},
        {"0::/user/run\n",
         {{"user/run/memory.max", "200000000\n"}, {"user/memory.max", "max\n"}},
         200000000},
        {"0::/\n", {{"memory.max", "123456789\n"}}, 123456789}, // a namespace's own root
        {"1:name=systemd:/a\n0::/a\n", {{"unified/a/memory.max", "5000000\n"}}, 5000000},
        {"4:memory:/docker/x\n",
         {{"memory/docker/x/memory.limit_in_bytes", "9223372036854771712\n"},
          {"memory/memory.limit_in_bytes", "150000000\n"}},
         150000000},
        {"5:cpu,memory,pids:/b\n", {{"memory/b/memory.limit_in_bytes", "64000000"}}, 64000000},
        {"4:cpuset:/c\n", {{"memory/c/memory.limit_in_bytes", "1000"}}, none},
        {"0::/d\n", {{"d/memory.max", "max\n"}}, none},
        {"0::/e\n", {{"e/memory.max", "-5\n"}}, none},
        {"0::/e\n", {{"e/memory.max", "12abc\n"}}, none},
        {"0::/e\n", {{"e/memory.max", "99999999999999999999999\n"}}, none},
        {"", {}, none},
    };
    for (const auto &c : cases) {
        TempDir root;
        const auto put = [&](const std::string &path, const std::string &text) {
            std::filesystem::create_directories(
                std::filesystem::path(root.file(path)).parent_path());
            ASSERT_TRUE(write_file(root.file(path), Bytes(text.begin(), text.end())));
        };
        if (*c.cgroup)
            put("proc/self/cgroup", c.cgroup);
        for (const auto &[file, text] : c.files)
            put("sys/fs/cgroup/" + file, text);
        uint64_t found = none;
        for (const app::MemoryLimit &l : app::memory_budget(root.path()).limits)
            if (l.kind == app::LimitKind::ControlGroup)
                found = l.bytes;
        EXPECT_EQ(found, c.limit) << c.cgroup;
    }
}

// Under a limit on the process's address space or data segment, set in the child before the
// driver starts, a run is refused before any photo is decoded, naming the limit and what the
// run needs of it (by the checks themselves when their readers run short), or completes: the
// threads' stacks, the mappings beyond the resident memory and what the allocator reserves are
// weighed, not met half-way. A run given a megabyte more than it was said to need completes, and
// so does one given more, one given two less is refused.
TEST(RunMemory, UnderAProcessLimitARunIsRefusedUpFrontOrCompletes)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "an instrumented program reserves terabytes of address space";
#endif
    TempDir dir;
    const std::vector<std::string> jpegs = bracket(dir, 640, 480, 3);
    LibTiffOptions withIcc;
    withIcc.icc = make_icc_profile(24 << 20, "large");
    const std::vector<std::string> tiffs =
        photos(dir, "icc", ".tif", 2, 64, 48, 8,
               [&](const std::string &path, const std::vector<uint8_t> &px, int w, int h, int) {
                   return write_libtiff(path, px.data(), w, h, 3, withIcc);
               });
    // The driver's outcome under `ulimit flag mb`.
    const auto run = [&](const char *flag, int mb, const std::vector<std::string> &options,
                         const std::vector<std::string> &files) {
        std::vector<std::string> args = {"-c",
                                         std::string("ulimit ") + flag + " " +
                                             std::to_string(mb * 1024) + " && exec \"$0\" \"$@\"",
                                         ZENIT_BINARY,
                                         "--quiet",
                                         "-o",
                                         dir.file("out.jpg")};
        args.insert(args.end(), options.begin(), options.end());
        args.insert(args.end(), files.begin(), files.end());
        return run_child("/bin/sh", args);
    };
    const struct {
        const char *flag, *counts, *says;
        std::vector<std::string> options;
    } limits[] = {
        {"-v",
         " of address space with 4 threads, ",
         "the process's address-space limit (ulimit -v) is ",
         {"-m", "deredid", "-j", "4"}},
        {"-d",
         " of data segment with 8 threads, ",
         "the process's data-segment limit (ulimit -d) is ",
         {"-m", "fusion", "-j", "8"}},
    };
    for (const auto &l : limits) {
        const std::string label = std::string(l.flag) + " " + testing::PrintToString(l.options);
        ChildRun r = run(l.flag, 24, l.options, jpegs);
        unsigned need = 0;
        const size_t at = r.err.find(" need ");
        ASSERT_EQ(r.status, app::kExitFailed) << label << ": " << r.err;
        ASSERT_TRUE(r.err.rfind("zenit: not enough memory: 3 photos of 640 x 480 need ", 0) == 0 &&
                    std::sscanf(r.err.c_str() + at, " need %u MB", &need) == 1)
            << label << ": " << r.err;
        EXPECT_NE(r.err.find(std::to_string(need) + " MB" + l.counts + l.says + "24 MB\n"),
                  std::string::npos)
            << label << ": " << r.err;
        // Above the need, where the allocator could reserve room of its own (an arena of 64 MB a
        // thread) that starves a later stage.
        for (unsigned mb = need + 1; mb <= need + 257; mb += 16) {
            r = run(l.flag, int(mb), l.options, jpegs);
            EXPECT_EQ(r.status, 0) << label << " at " << mb << " MB: " << r.err;
        }
        r = run(l.flag, int(need) - 2, l.options, jpegs);
        EXPECT_EQ(r.status, app::kExitFailed) << label << " at " << need - 2 << " MB: " << r.err;
        EXPECT_NE(r.err.find(l.says + std::to_string(need - 2) + " MB\n"), std::string::npos)
            << r.err;
    }
    // The checks' readers run short first: libtiff loads a 24 MB profile twice over.
    const ChildRun r = run("-v", 40, {"-m", "mean"}, tiffs);
    EXPECT_EQ(r.status, app::kExitFailed) << r.err;
    EXPECT_EQ(r.err, std::string("zenit: ") + app::kReadingOutOfMemory +
                         ": the process's address-space limit (ulimit -v) is 40 MB\n");
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
