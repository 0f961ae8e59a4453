// The fusion job: what it hands the fusion, what it refuses first, the alerts its failures show
// (through a recording sink), and its progress notifications in a real run.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fusion/fusion_job.h"
#include "imagecore/preview.h"
#include "imagecore/records.h"
#include "platform/alerts.h"
#include "platform/bundle.h"
#include "platform/notification_center.h"
#include "platform/system.h"
#include "tests/support/bracket_generator.h"

using platform::Data;
using platform::DataPtr;
using Record = std::array<float, kTmParamCount>;

namespace {

// What the fake fusion was given: the record, then n, w, h, rowLen, workers, bgr, spp, bpsIn,
// bpsOut, weight and blending depths, lenPyram, is360, the first ghost index and the callback.
struct EngineLog {
    int calls = 0, rc = 1;
    Record param{};
    std::vector<int> ints;
};
EngineLog g_engine;

int fake_fusion(progressCallback cb, const float *p, int n, int w, int h, int rowLen,
                optim_param_struct optim, int bgr, int spp, int in, int out, int poids, int depth,
                int len, int is360, const float *, const void *, const int *fixed, const uint8_t *,
                void *, void *buffer, float)
{
    ++g_engine.calls;
    std::memcpy(g_engine.param.data(), p, sizeof(Record));
    g_engine.ints = {n,   w,     h,     rowLen, optim.nbProc, bgr,          spp,          in,
                     out, poids, depth, len,    is360,        fixed[n - 1], cb != nullptr};
    for (size_t i = 0; i < size_t(spp) * size_t(len) * 2; ++i)
        static_cast<uint8_t *>(buffer)[i] = uint8_t(i * 7);
    return g_engine.rc;
}

DataPtr dims_of(int w, int h, int spp, int bpsIn, int bpsOut)
{
    int32_t d[kImageDimsCount] = {w, h, spp, bpsIn, bpsOut};
    return Data::copy(d, sizeof d);
}

Fusion fake_job(int n, int w, int h, int spp = 3, int bpsOut = 16, int rc = 1)
{
    g_engine = EngineLog();
    g_engine.rc = rc;
    Fusion job;
    job.setEngineForTesting(fake_fusion);
    job.setImageDimsFrom(dims_of(w, h, spp, 8, bpsOut));
    job.setImageCount(n);
    return job;
}

} // namespace

TEST(FusionJob, HandsItsFieldsAndACopyOfTheRecordToTheFusion)
{
    Fusion job = fake_job(3, 10, 6);
    const DataPtr photos = Data::zeroed(3 * 10 * 6 * 3);
    DataPtr out = job.processFusion(photos); // no record: all zero
    ASSERT_TRUE(out);
    EXPECT_EQ(g_engine.param, Record{});
    EXPECT_EQ(g_engine.ints, (std::vector<int>{3, 10, 6, 30, platform::processor_count(), 0, 3, 8,
                                               16, 16, 16, pyram_len(10, 6), 0, -1, 0}));
    // The result is the start of the output buffer: w x h x spp samples of the output bits.
    ASSERT_EQ(out->length(), 10u * 6 * 3 * 2);
    for (size_t i = 0; i < out->length(); ++i)
        ASSERT_EQ(out->bytes()[i], uint8_t(i * 7)) << i;

    Record p{};
    p[kFuAccentuation] = 4, p[kFuSaturation] = -2, p[kFuIs360] = 1.7f;
    job.setParam(Data::copy(p.data(), sizeof p));
    job.setNbProc(100);
    job.setShowProgress(1);
    ASSERT_TRUE(job.processFusion(photos));
    EXPECT_EQ(g_engine.param, p);
    EXPECT_EQ(g_engine.ints[4] * 100 + g_engine.ints[12] * 10 + g_engine.ints[14],
              3211);                       // 32 workers, is360, callback
    job.setParam(Data::copy(p.data(), 8)); // a short record as far as it goes
    ASSERT_TRUE(job.processFusion(photos));
    EXPECT_EQ(g_engine.param[kFuAccentuation] * 10 + g_engine.param[kFuSaturation], 40);
    job.setParamToDefault();
    ASSERT_TRUE(job.processFusion(photos));
    EXPECT_EQ(g_engine.param, Record{});
    EXPECT_EQ(fake_job(2, 5, 4, 3, 8).processFusion(Data::zeroed(120))->length(), 60u);
}

TEST(FusionJob, FailuresShowTheirAlert)
{
    platform::set_localized_strings({{"Error", "Fehler"}, {"OK", "OK!"}});
    const std::array<int32_t, 2> sides = {8, 8}; // a dimension record without samples and depths
    struct Case {
        const char *what;
        int n, w, h, spp, rc;
        size_t bytes;
        const char *message;
    };
    const char *kMemory = "Insufficient memory to fuse images",
               *kOther = "Error with exposure fusion";
    for (const Case &c :
         std::vector<Case>{{"out of memory", 2, 8, 8, 3, -4, 384, kMemory},
                           {"bad argument", 2, 8, 8, 3, -3, 384, kOther},
                           {"short read", 2, 8, 8, 3, -2, 384, kOther},
                           {"one byte short", 2, 8, 8, 3, 1, 383, kOther},
                           {"nil photos", 2, 8, 8, 3, 1, 0, kOther},
                           {"no photos", 0, 8, 8, 3, 1, 384, kOther},
                           {"no width", 2, 0, 8, 3, 1, 384, kOther},
                           {"negative height", 2, 8, -8, 3, 1, 384, kOther},
                           {"short dimensions", 2, 8, 8, -1, 1, 384, kOther},
                           {"past every buffer", 2, 1 << 30, 1 << 30, 3, 1, 384, kOther}}) {
        std::vector<platform::Alert> shown;
        const auto previous =
            platform::set_alert_sink([&](const platform::Alert &a) { shown.push_back(a); });
        Fusion job = fake_job(c.n, c.w, c.h, c.spp, 16, c.rc);
        if (c.spp < 0)
            job.setImageDimsFrom(Data::copy(sides.data(), 8));
        EXPECT_FALSE(job.processFusion(c.bytes ? Data::zeroed(c.bytes) : nullptr)) << c.what;
        platform::set_alert_sink(previous);
        EXPECT_EQ(g_engine.calls, c.rc < 0 ? 1 : 0) << c.what;
        ASSERT_EQ(shown.size(), 1u) << c.what;
        EXPECT_EQ(shown[0].title + shown[0].message + shown[0].button,
                  std::string("Fehler") + c.message + "OK!")
            << c.what;
    }
    platform::set_localized_strings({});
}

TEST(FusionJob, PostsFusingProgressWhenAsked)
{
    platform::set_localized_strings({{"Fusing images...", "Fusion..."}});
    std::vector<double> status;
    std::vector<std::string> text;
    platform::ScopedObserver observer(
        "progressReportUpdated", nullptr, [&](const platform::Notification &n) {
            status.push_back(n.userInfo.at("progressStatus").doubleValue());
            text.push_back(*n.userInfo.at("progressText").string());
        });
    const auto stack =
        testsupport::render_bracket(testsupport::make_radiance_map(24, 16), {0.1f, 1, 8}, 8, 3);
    Fusion job;
    job.setImageDimsFrom(dims_of(24, 16, 3, 8, 16));
    job.setImageCount(3);
    ASSERT_TRUE(job.processFusion(Data::copy(stack.data(), stack.size())));
    EXPECT_TRUE(status.empty()); // the preview's run is silent
    job.setShowProgress(1);
    ASSERT_TRUE(job.processFusion(Data::copy(stack.data(), stack.size())));
    const std::vector<double> expected = {30, 46.6667, 63.3333, 80, 95};
    ASSERT_EQ(status.size(), expected.size());
    for (size_t k = 0; k < status.size(); ++k)
        EXPECT_NEAR(status[k], expected[k], 1e-3) << k;
    EXPECT_EQ(text[0], "Fusion...");
    platform::set_localized_strings({});
}
