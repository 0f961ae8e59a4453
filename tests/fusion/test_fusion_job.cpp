// The fusion job: what it hands the fusion, what it refuses before, the alerts its failures show
// (through a recording sink), its progress notifications, and a real run against the fusion
// called directly.
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

namespace {

// What the fake fusion was given, and what it answers.
struct EngineLog {
    int calls = 0, rc = 0;
    bool callback = false;
    std::array<float, kTmParamCount> param{};
    std::array<int, 12> ints{}; // n, w, h, rowLen, nbProc, bgr, spp, bpsIn, bpsOut, poids,
                                // fusion, lenPyram
    int is360 = 0;
    std::vector<int> fixed;
    const void *photos = nullptr;
};
EngineLog g_engine;

int fake_fusion(progressCallback callback, const float *tmParam, int n, int w, int h, int rowLen,
                optim_param_struct optim, int bgrOrder, int spp, int bpsIn, int bpsOut,
                int bitDepthPoids, int bitDepthFusion, int lenPyram, int is360, const float *,
                const void *imagesBuffer, const int *indexFixedExpo, const uint8_t *, void *,
                void *out, float)
{
    EngineLog &g = g_engine;
    ++g.calls;
    g.callback = callback != nullptr;
    std::memcpy(g.param.data(), tmParam, sizeof g.param);
    g.ints = {n,   w,     h,      rowLen,        optim.nbProc,   bgrOrder,
              spp, bpsIn, bpsOut, bitDepthPoids, bitDepthFusion, lenPyram};
    g.is360 = is360;
    g.fixed.assign(indexFixedExpo, indexFixedExpo + n);
    g.photos = imagesBuffer;
    uint8_t *bytes = static_cast<uint8_t *>(out);
    for (size_t i = 0; i < size_t(spp) * size_t(lenPyram) * 2; ++i)
        bytes[i] = uint8_t(i * 7);
    return g.rc;
}

DataPtr dims_of(int w, int h, int spp, int bpsIn, int bpsOut)
{
    int32_t d[kImageDimsCount] = {};
    d[kDimsWidth] = w, d[kDimsHeight] = h, d[kDimsSamples] = spp;
    d[kDimsBits] = bpsIn, d[kDimsOutBits] = bpsOut;
    return Data::copy(d, sizeof d);
}

// A job with a fake fusion over n photos of w x h.
struct FakeJob {
    Fusion job;
    FakeJob(int n, int w, int h, int spp = 3, int bpsIn = 8, int bpsOut = 16, int rc = 1)
    {
        g_engine = EngineLog();
        g_engine.rc = rc;
        job.setEngineForTesting(fake_fusion);
        job.setImageDimsFrom(dims_of(w, h, spp, bpsIn, bpsOut));
        job.setImageCount(n);
    }
};

// Records the alerts shown while it lives.
struct AlertLog {
    std::vector<platform::Alert> shown;
    platform::AlertSink previous;
    AlertLog()
    {
        previous =
            platform::set_alert_sink([this](const platform::Alert &a) { shown.push_back(a); });
    }
    ~AlertLog() { platform::set_alert_sink(previous); }
};

DataPtr photos_of(size_t bytes)
{
    return Data::zeroed(bytes);
}

} // namespace

TEST(FusionJob, HandsItsFieldsAndACopyOfTheRecordToTheFusion)
{
    FakeJob f(3, 10, 6);
    EXPECT_EQ(g_engine.calls, 0);
    const DataPtr photos = photos_of(3 * 10 * 6 * 3);
    DataPtr out = f.job.processFusion(photos); // no record set: all zero
    ASSERT_TRUE(out);
    EXPECT_EQ(g_engine.param, (std::array<float, kTmParamCount>{}));
    EXPECT_EQ(g_engine.ints, (std::array<int, 12>{3, 10, 6, 30, platform::processor_count(), 0, 3,
                                                  8, 16, 16, 16, pyram_len(10, 6)}));
    EXPECT_EQ(g_engine.fixed, (std::vector<int>{-1, -1, -1}));
    EXPECT_EQ(g_engine.photos, photos->bytes());
    EXPECT_FALSE(g_engine.callback);
    // The result is the start of the output buffer: w x h x spp samples of the output bits.
    ASSERT_EQ(out->length(), 10u * 6 * 3 * 2);
    for (size_t i = 0; i < out->length(); ++i)
        ASSERT_EQ(out->bytes()[i], uint8_t(i * 7)) << i;

    std::array<float, kTmParamCount> p{};
    p[kFuAccentuation] = 4, p[kFuSaturation] = -2, p[kFuIs360] = 1.7f;
    f.job.setParam(Data::copy(p.data(), sizeof p));
    f.job.setNbProc(100);
    f.job.setShowProgress(1);
    ASSERT_TRUE(f.job.processFusion(photos));
    EXPECT_EQ(g_engine.param, p);
    EXPECT_EQ(g_engine.is360, 1);
    EXPECT_EQ(g_engine.ints[4], 32); // workers
    EXPECT_TRUE(g_engine.callback);
    f.job.setParamToDefault();
    f.job.setNbProc(-3);
    ASSERT_TRUE(f.job.processFusion(photos));
    EXPECT_EQ(g_engine.param, (std::array<float, kTmParamCount>{}));
    EXPECT_EQ(g_engine.ints[4], 0);
    // A short record is read as far as it goes.
    f.job.setParam(Data::copy(p.data(), 8));
    ASSERT_TRUE(f.job.processFusion(photos));
    EXPECT_EQ(g_engine.param[kFuAccentuation], 4);
    EXPECT_EQ(g_engine.param[kFuSaturation], 0);

    FakeJob bytes(2, 5, 4, 3, 8, 8); // 8-bit output: one byte a sample
    out = bytes.job.processFusion(photos_of(2 * 5 * 4 * 3));
    ASSERT_TRUE(out);
    EXPECT_EQ(out->length(), 5u * 4 * 3);
}

TEST(FusionJob, FailuresShowTheirAlert)
{
    platform::set_localized_strings({{"Error", "Fehler"}, {"OK", "OK!"}});
    const DataPtr photos = photos_of(2 * 8 * 8 * 3);
    for (auto [rc, message] : {std::pair{-4, "Insufficient memory to fuse images"},
                               {-2, "Error with exposure fusion"},
                               {-3, "Error with exposure fusion"},
                               {-1000, "Error with exposure fusion"}}) {
        AlertLog alerts;
        FakeJob f(2, 8, 8, 3, 8, 16, rc);
        EXPECT_FALSE(f.job.processFusion(photos)) << rc;
        ASSERT_EQ(alerts.shown.size(), 1u) << rc;
        EXPECT_EQ(alerts.shown[0].title, "Fehler");
        EXPECT_EQ(alerts.shown[0].message, message);
        EXPECT_EQ(alerts.shown[0].button, "OK!");
    }
    platform::set_localized_strings({});
}

TEST(FusionJob, RefusesShortPhotosAndEmptySizesWithTheGenericAlert)
{
    struct Case {
        const char *what;
        int n, w, h, spp;
        size_t bytes;
        DataPtr dims;
    };
    // A dimension record of width and height only: the rest reads as 0, nothing past its end.
    const std::array<int32_t, 2> sides = {8, 8};
    for (const Case &c : std::vector<Case>{
             {"one byte short", 2, 8, 8, 3, 2 * 8 * 8 * 3 - 1, nullptr},
             {"no photos", 0, 8, 8, 3, 0, nullptr},
             {"no width", 2, 0, 8, 3, 100, nullptr},
             {"negative height", 2, 8, -8, 3, 100, nullptr},
             {"no samples", 2, 8, 8, 0, 100, nullptr},
             {"nil photos", 2, 8, 8, 3, SIZE_MAX, nullptr},
             {"two-slot record", 2, 8, 8, 3, 2 * 8 * 8 * 3, Data::copy(sides.data(), 8)},
             {"sizes past every buffer", 2, 1 << 30, 1 << 30, 3, 100, nullptr}}) {
        AlertLog alerts;
        FakeJob f(c.n, c.w, c.h, c.spp);
        if (c.dims)
            f.job.setImageDimsFrom(c.dims);
        EXPECT_FALSE(f.job.processFusion(c.bytes == SIZE_MAX ? nullptr : photos_of(c.bytes)))
            << c.what;
        EXPECT_EQ(g_engine.calls, 0) << c.what;
        ASSERT_EQ(alerts.shown.size(), 1u) << c.what;
        EXPECT_EQ(alerts.shown[0].message, "Error with exposure fusion") << c.what;
    }
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
    const int w = 24, h = 16;
    const auto stack =
        testsupport::render_bracket(testsupport::make_radiance_map(w, h), {0.1f, 1, 8}, 8, 3);
    Fusion job;
    job.setImageDimsFrom(dims_of(w, h, 3, 8, 16));
    job.setImageCount(3);
    ASSERT_TRUE(job.processFusion(Data::copy(stack.data(), stack.size())));
    EXPECT_TRUE(status.empty()); // the preview's run is silent
    job.setShowProgress(1);
    ASSERT_TRUE(job.processFusion(Data::copy(stack.data(), stack.size())));
    ASSERT_EQ(status.size(), 5u);
    const double expected[5] = {30, 46.6667, 63.3333, 80, 95};
    for (size_t k = 0; k < status.size(); ++k)
        EXPECT_NEAR(status[k], expected[k], 1e-3) << k;
    EXPECT_EQ(text[0], "Fusion...");
    platform::set_localized_strings({});
}

TEST(FusionJob, ResultIsTheFusionOfTheStack)
{
    const int w = 48, h = 32;
    const auto stack =
        testsupport::render_bracket(testsupport::make_radiance_map(w, h), {0.05f, 0.5f, 5}, 8, 3);
    std::array<float, kTmParamCount> p{};
    p[kFuAccentuation] = 2, p[kFuMidtonesAdjustment] = 5;
    for (int bpsOut : {8, 16}) {
        Fusion job;
        job.setImageDimsFrom(dims_of(w, h, 3, 8, bpsOut));
        job.setImageCount(3);
        job.setParam(Data::copy(p.data(), sizeof p));
        const DataPtr out = job.processFusion(Data::copy(stack.data(), stack.size()));
        ASSERT_TRUE(out);
        const int len = pyram_len(w, h);
        std::vector<uint16_t> direct(size_t(3 * len));
        optim_param_struct optim;
        init_optim_param(&optim);
        const std::vector<int> fixed(3, -1);
        ASSERT_EQ(kv_fusion(nullptr, p.data(), 3, w, h, 3 * w, optim, 0, 3, 8, bpsOut, 16, 16, len,
                            0, nullptr, stack.data(), fixed.data(), nullptr, nullptr, direct.data(),
                            0),
                  w * h * 3);
        ASSERT_EQ(out->length(), size_t(w * h * 3 * bpsOut / 8));
        EXPECT_EQ(std::memcmp(out->bytes(), direct.data(), out->length()), 0) << bpsOut;
    }
}
