// The tone-mapping job: validation of fields and records, the stage sequence and its progress
// (through fake stages), the global operator's results, and failure paths without leaks.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/bundle.h"
#include "platform/notification_center.h"
#include "tests/support/bracket_generator.h"
#include "tests/tonemap/alloc_hook.h"
#include "tests/tonemap/tm_test_util.h"
#include "tonemap/rodo.h"
#include "tonemap/tm_params.h"
#include "tonemap/tone_map.h"

using platform::Data;
using platform::DataPtr;

namespace {

const char *const kPart1 = "Tone mapping with Deredid Edazozed - part 1...";
const char *const kPart2 = "Tone mapping with Deredid Edazozed - part 2...";
const char *const kPart3 = "Tone mapping with Deredid Edazozed - part 3...";

DataPtr image_dims(int w, int h, int spp, int bitsOut)
{
    int32_t rec[13] = {w, h, spp, 8, bitsOut, 300, 0, 0, 0, 0, 1, 0, 0};
    return Data::copy(rec, sizeof rec);
}

DataPtr hdr_source(int w, int h)
{
    testsupport::RadianceMap map = testsupport::make_radiance_map(w, h);
    std::vector<uint8_t> rgbe = tmtest::encode_rgbe(w, h, map.rgb);
    return Data::copy(rgbe.data(), rgbe.size());
}

// What the fake stages saw, and what they answer.
struct StageLog {
    int rc1 = 0, rc2 = 0, rc3 = 1;
    bool writeLumParam = true;
    int calls[3] = {0, 0, 0};
    int postsBefore[3] = {-1, -1, -1};
    size_t sourceBytes = 0; // bytes of the source the test handed in
    std::vector<uint8_t> source;
    int docType = -1;
    std::vector<float> param;
    tm_dims dims{};
    dim_param dim1{}, dim3{};
    std::vector<float> curve;
    int64_t tm2Args[4] = {};
    bool lumMatches = false, sourceMatches = false, lumParamKept = false;
};
StageLog g_log;
int g_posts = 0;

size_t curve_entries(int docType)
{
    return docType == 1 ? 65536 : docType == 2 ? 256 : 0;
}

int fake_tm1(int docType, const float *tmParam, const tm_dims *dims, float *lumParam, const float *,
             const float *curve, dim_param dim, void *, optim_param_struct, void *source,
             float *work)
{
    StageLog &g = g_log;
    ++g.calls[0];
    g.postsBefore[0] = g_posts;
    g.docType = docType;
    g.param.assign(tmParam, tmParam + kTmParamCount);
    g.dims = *dims;
    g.dim1 = dim;
    g.curve.assign(curve, curve + curve_entries(docType));
    const uint8_t *s = static_cast<const uint8_t *>(source);
    g.source.assign(s, s + g.sourceBytes);
    // The whole scratch a real stage may use: the copy and the work buffer of the larger
    // pyramid (the sanitizer build catches a short buffer here).
    const int64_t total = std::max(dims->v[kTdTotalA], dims->v[kTdTotalB]);
    std::memset(source, 0xEE, size_t(total) * 4);
    std::memset(work, 0, size_t(total) * 4);
    if (g.writeLumParam)
        for (int i = 0; i < kLumParamCount; ++i)
            lumParam[i] = float(i + 1);
    return g.rc1;
}

int fake_tm2(int width, int height, int64_t total, int levels, const float *, float *work,
             dim_param dim, optim_param_struct)
{
    StageLog &g = g_log;
    ++g.calls[1];
    g.postsBefore[1] = g_posts;
    g.tm2Args[0] = width;
    g.tm2Args[1] = height;
    g.tm2Args[2] = total;
    g.tm2Args[3] = levels;
    const size_t n = size_t(dim.v[kDimWidth]) * size_t(dim.v[kDimHeight]);
    for (size_t i = 0; i < n; ++i)
        work[i] = float(i) * 0.5f;
    return g.rc2;
}

int fake_tm3(int, const float *, const float *lumParam, const float *, const float *, void *source,
             dim_param dim, optim_param_struct, const float *luminance, void *out)
{
    StageLog &g = g_log;
    ++g.calls[2];
    g.postsBefore[2] = g_posts;
    g.dim3 = dim;
    const size_t n = size_t(dim.v[kDimWidth]) * size_t(dim.v[kDimHeight]);
    g.lumMatches = true;
    for (size_t i = 0; i < n; ++i)
        g.lumMatches = g.lumMatches && luminance[i] == float(i) * 0.5f;
    g.sourceMatches = std::memcmp(source, g.source.data(), g.sourceBytes) == 0;
    g.lumParamKept = true;
    for (int i = 0; i < kLumParamCount; ++i)
        g.lumParamKept = g.lumParamKept && lumParam[i] == (g.writeLumParam ? float(i + 1) : 0.0f);
    const size_t bytes = n * size_t(dim.v[kDimSpp]) * size_t(dim.v[kDimOutBits] / 8);
    uint8_t *o = static_cast<uint8_t *>(out);
    for (size_t i = 0; i < bytes; ++i)
        o[i] = uint8_t(i * 7 + 3);
    return g.rc3;
}

const DeredidStages kFakes{fake_tm1, fake_tm2, fake_tm3};

struct Progress {
    std::vector<double> status;
    std::vector<std::string> text;
    std::vector<const void *> sender;
};

// A job for a w x h source with the fake stages; the log is reset.
struct EnhancerRun {
    ToneMap job;
    Progress progress;
    platform::ScopedObserver observer;
    EnhancerRun(int w, int h, int spp, int bits, int docType, size_t sourceBytes)
        : observer("progressReportUpdated", nullptr, [this](const platform::Notification &n) {
              ++g_posts;
              progress.status.push_back(n.userInfo.at("progressStatus").doubleValue());
              const std::string *t = n.userInfo.at("progressText").string();
              progress.text.push_back(t ? *t : "");
              progress.sender.push_back(n.object);
          })
    {
        g_log = StageLog();
        g_log.sourceBytes = sourceBytes;
        g_posts = 0;
        job.setStagesForTesting(kFakes);
        job.setParamToDefault();
        job.setImageDimsFrom(image_dims(w, h, spp, bits));
        job.setDocType(docType);
    }
};

std::vector<uint8_t> bytes_of(const DataPtr &d)
{
    return d ? std::vector<uint8_t>(d->bytes(), d->bytes() + d->length()) : std::vector<uint8_t>();
}

} // namespace

TEST(ToneMapEnhancer, PostsThreeStepsAndReturnsTheStage3Output)
{
    const int w = 40, h = 30;
    EnhancerRun run(w, h, 3, 16, 0, size_t(w) * h * 4);
    DataPtr result = run.job.enhancerToneMap(1, hdr_source(w, h));
    ASSERT_TRUE(result);
    ASSERT_EQ(result->length(), size_t(w) * h * 3 * 2);
    for (size_t i = 0; i < result->length(); ++i)
        ASSERT_EQ(result->bytes()[i], uint8_t(i * 7 + 3));

    EXPECT_EQ(run.progress.status, (std::vector<double>{5, 45, 78}));
    EXPECT_EQ(run.progress.text, (std::vector<std::string>{kPart1, kPart2, kPart3}));
    for (const void *s : run.progress.sender)
        EXPECT_EQ(s, &run.job);
    // Each step is announced before its stage runs.
    EXPECT_EQ(g_log.postsBefore[0], 1);
    EXPECT_EQ(g_log.postsBefore[1], 2);
    EXPECT_EQ(g_log.postsBefore[2], 3);
}

TEST(ToneMapEnhancer, HandsTheStagesTheirRecordsAndBuffers)
{
    const int w = 40, h = 30;
    EnhancerRun run(w, h, 3, 8, 0, size_t(w) * h * 4);
    DataPtr source = hdr_source(w, h);
    ASSERT_TRUE(run.job.enhancerToneMap(0, source));
    EXPECT_EQ(g_log.docType, 0);
    float defaults[kTmParamCount];
    tmparam_default(kMethodDeredid, 0, defaults);
    EXPECT_EQ(g_log.param, std::vector<float>(defaults, defaults + kTmParamCount));
    tm_dims expected{};
    ASSERT_GT(tm_dim(w, h, defaults, &expected), 0);
    for (int i = 0; i < kTmDimsCount; ++i)
        EXPECT_EQ(g_log.dims.v[i], expected.v[i]) << "slot " << i;
    EXPECT_EQ(g_log.tm2Args[0], expected.v[kTdCoarseWidthA]);
    EXPECT_EQ(g_log.tm2Args[1], expected.v[kTdCoarseHeightA]);
    EXPECT_EQ(g_log.tm2Args[2], expected.v[kTdTotalA]);
    EXPECT_EQ(g_log.tm2Args[3], expected.v[kTdLevelsA]);
    EXPECT_EQ(g_log.source, bytes_of(source));
    const int dim1[8] = {w, h, 3, 8, 8, 0, w * 3, 0};
    const int dim3[8] = {w, h, 3, 8, 8, 0, w * 3, 0};
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(g_log.dim1.v[i], dim1[i]) << "stage 1 slot " << i;
        EXPECT_EQ(g_log.dim3.v[i], dim3[i]) << "stage 3 slot " << i;
    }
    // Stage 3 gets stage 2's luminance, stage 1's statistics and a fresh copy of the source.
    EXPECT_TRUE(g_log.lumMatches);
    EXPECT_TRUE(g_log.lumParamKept);
    EXPECT_TRUE(g_log.sourceMatches);
}

TEST(ToneMapEnhancer, StatisticsAStageLeavesUnwrittenAreZero)
{
    EnhancerRun run(20, 20, 3, 8, 0, 20 * 20 * 4);
    g_log.writeLumParam = false;
    ASSERT_TRUE(run.job.enhancerToneMap(0, hdr_source(20, 20)));
    EXPECT_TRUE(g_log.lumParamKept);
}

TEST(ToneMapEnhancer, NoProgressAskedPostsNothing)
{
    EnhancerRun run(20, 20, 3, 8, 0, 20 * 20 * 4);
    ASSERT_TRUE(run.job.enhancerToneMap(0, hdr_source(20, 20)));
    EXPECT_TRUE(run.progress.status.empty());
}

TEST(ToneMapEnhancer, StepTextsAreLocalized)
{
    EnhancerRun run(20, 20, 3, 8, 0, 20 * 20 * 4);
    platform::set_localized_strings({{kPart2, "Partie 2"}});
    DataPtr result = run.job.enhancerToneMap(1, hdr_source(20, 20));
    platform::set_localized_strings({});
    ASSERT_TRUE(result);
    EXPECT_EQ(run.progress.text, (std::vector<std::string>{kPart1, "Partie 2", kPart3}));
}

TEST(ToneMapEnhancer, AnyStageFailureGivesNil)
{
    const int w = 20, h = 20;
    DataPtr source = hdr_source(w, h);
    {
        EnhancerRun run(w, h, 3, 16, 0, size_t(w) * h * 4);
        g_log.rc1 = -4;
        EXPECT_FALSE(run.job.enhancerToneMap(1, source));
        EXPECT_EQ(run.progress.status, (std::vector<double>{5}));
        EXPECT_EQ(g_log.calls[1] + g_log.calls[2], 0);
    }
    {
        EnhancerRun run(w, h, 3, 16, 0, size_t(w) * h * 4);
        g_log.rc2 = -20;
        EXPECT_FALSE(run.job.enhancerToneMap(1, source));
        EXPECT_EQ(run.progress.status, (std::vector<double>{5, 45}));
        EXPECT_EQ(g_log.calls[2], 0);
    }
    for (int rc3 : {0, -2, -101}) {
        EnhancerRun run(w, h, 3, 16, 0, size_t(w) * h * 4);
        g_log.rc3 = rc3;
        EXPECT_FALSE(run.job.enhancerToneMap(1, source)) << rc3;
        EXPECT_EQ(g_log.calls[2], 1);
    }
}

TEST(ToneMapEnhancer, StagesNotYetBuiltGiveNil)
{
    ToneMap job;
    job.setParamToDefault();
    job.setImageDimsFrom(image_dims(20, 20, 3, 8));
    EXPECT_FALSE(job.enhancerToneMap(0, hdr_source(20, 20)));
}

TEST(ToneMap, NineByHundredIsTooSmallForTheEnhancerOnly)
{
    EnhancerRun run(9, 100, 3, 8, 0, 9 * 100 * 4);
    DataPtr source = hdr_source(9, 100);
    EXPECT_FALSE(run.job.enhancerToneMap(1, source));
    EXPECT_EQ(g_log.calls[0], 0);
    EXPECT_TRUE(run.progress.status.empty());
    DataPtr result = run.job.compressorToneMap(0, source);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->length(), size_t(9) * 100 * 3);
}

TEST(ToneMapEnhancer, SixteenBitSourcesAndTheirCurve)
{
    const int w = 16, h = 12, spp = 3;
    const size_t bytes = size_t(w) * h * spp * 2;
    std::vector<uint8_t> src(bytes);
    for (size_t i = 0; i < bytes; ++i)
        src[i] = uint8_t(i * 13);
    EnhancerRun run(w, h, spp, 16, 1, bytes);
    ASSERT_TRUE(run.job.enhancerToneMap(0, Data::copy(src.data(), bytes)));
    std::vector<float> curve(65536);
    camcurve(0, 65536, curve.data());
    EXPECT_EQ(g_log.curve, curve);
    EXPECT_EQ(g_log.dim1.v[kDimSrcRowLen], w * spp);
    EXPECT_EQ(g_log.dim3.v[kDimSrcRowLen], w * spp);
    EXPECT_TRUE(g_log.sourceMatches);
    // One byte short of the size the fields imply.
    EXPECT_FALSE(run.job.enhancerToneMap(0, Data::copy(src.data(), bytes - 1)));
}

TEST(ToneMapEnhancer, EightBitSourcesGetAGammaCurveAndTheirOwnSize)
{
    const int w = 16, h = 12, spp = 3;
    const size_t bytes = size_t(w) * h * spp; // not w x h x 4
    std::vector<uint8_t> src(bytes, 90);
    EnhancerRun run(w, h, spp, 8, 2, bytes);
    ASSERT_TRUE(run.job.enhancerToneMap(0, Data::copy(src.data(), bytes)));
    std::vector<float> curve(256);
    camcurve(0, 256, curve.data());
    EXPECT_EQ(g_log.curve, curve);
    EXPECT_EQ(g_log.dim1.v[kDimSrcRowLen], w * spp);
    EXPECT_EQ(g_log.dim3.v[kDimSrcRowLen], w * spp);
    EXPECT_FALSE(run.job.enhancerToneMap(0, Data::copy(src.data(), bytes - 1)));
}

TEST(ToneMapEnhancer, RgbeSourceMustHoldFourBytesAPixel)
{
    const int w = 20, h = 20;
    EnhancerRun run(w, h, 3, 8, 0, size_t(w) * h * 4);
    std::vector<uint8_t> src = bytes_of(hdr_source(w, h));
    EXPECT_FALSE(run.job.enhancerToneMap(0, Data::copy(src.data(), src.size() - 1)));
    EXPECT_EQ(g_log.calls[0], 0);
    // A longer source is read up to the size.
    src.resize(src.size() + 100, 0x55);
    EXPECT_TRUE(run.job.enhancerToneMap(0, Data::copy(src.data(), src.size())));
}

TEST(ToneMap, FieldsThatDescribeNoImageGiveNil)
{
    DataPtr source = hdr_source(20, 20);
    struct Case {
        int w, h, spp, bits;
    };
    for (Case c : {Case{0, 20, 3, 8}, Case{20, -1, 3, 8}, Case{20, 20, 0, 8}, Case{20, 20, 3, 12},
                   Case{20, 20, 3, 0}, Case{20, 20, 3, 32}}) {
        EnhancerRun run(c.w, c.h, c.spp, c.bits, 0, 0);
        EXPECT_FALSE(run.job.enhancerToneMap(1, source))
            << c.w << " " << c.h << " " << c.spp << " " << c.bits;
        EXPECT_FALSE(run.job.compressorToneMap(0, source));
        EXPECT_EQ(g_log.calls[0], 0);
        EXPECT_TRUE(run.progress.status.empty());
    }
    EnhancerRun run(20, 20, 3, 8, 0, 0);
    EXPECT_FALSE(run.job.enhancerToneMap(1, nullptr));
    EXPECT_FALSE(run.job.compressorToneMap(1, nullptr));
    // A dimension record short of the samples-per-pixel slot leaves it 0.
    int32_t two[2] = {20, 20};
    run.job.setImageDimsFrom(Data::copy(two, sizeof two));
    EXPECT_FALSE(run.job.compressorToneMap(0, source));
    run.job.setImageDimsFrom(nullptr);
    EXPECT_FALSE(run.job.compressorToneMap(0, source));
}

TEST(ToneMap, RecordsThatAreNotEightyBytesReadAsZeros)
{
    const int w = 20, h = 20;
    const size_t bytes = size_t(w) * h * 4;
    float junk[21];
    for (int i = 0; i < 21; ++i)
        junk[i] = 99.0f + float(i);
    for (size_t len : {size_t(0), size_t(79), size_t(84)}) {
        EnhancerRun run(w, h, 3, 8, 0, bytes);
        run.job.setTMParam1(len ? Data::copy(junk, len) : nullptr);
        ASSERT_TRUE(run.job.enhancerToneMap(0, hdr_source(w, h))) << len;
        EXPECT_EQ(g_log.param, std::vector<float>(kTmParamCount, 0.0f)) << len;
    }
    EnhancerRun run(w, h, 3, 8, 0, bytes);
    run.job.setTMParam1(Data::copy(junk, kTmParamBytes));
    ASSERT_TRUE(run.job.enhancerToneMap(0, hdr_source(w, h)));
    EXPECT_EQ(g_log.param, std::vector<float>(junk, junk + kTmParamCount));

    // The compressor: a fresh job (no record), a zero record and a short record agree.
    DataPtr source = hdr_source(32, 24);
    auto compress = [&](DataPtr record, bool set) {
        ToneMap job;
        job.setImageDimsFrom(image_dims(32, 24, 3, 8));
        if (set)
            job.setTMParam2(record);
        return bytes_of(job.compressorToneMap(0, source));
    };
    std::vector<uint8_t> none = compress(nullptr, false);
    ASSERT_FALSE(none.empty());
    EXPECT_EQ(compress(Data::zeroed(kTmParamBytes), true), none);
    EXPECT_EQ(compress(Data::copy(junk, 79), true), none);
    EXPECT_NE(compress(Data::copy(junk, kTmParamBytes), true), none);
}

TEST(ToneMapCompressor, OutputLengthFollowsSamplesAndBits)
{
    const int w = 33, h = 21;
    DataPtr source = hdr_source(w, h);
    for (int spp : {3, 4})
        for (int bits : {8, 16}) {
            ToneMap job;
            job.setParamToDefault();
            job.setImageDimsFrom(image_dims(w, h, spp, bits));
            DataPtr result = job.compressorToneMap(1, source);
            ASSERT_TRUE(result);
            EXPECT_EQ(result->length(), size_t(w) * h * spp * (bits / 8));
        }
}

TEST(ToneMapCompressor, SameAsTheKernelsAndIgnoresTheSourceKind)
{
    const int w = 48, h = 32;
    DataPtr source = hdr_source(w, h);
    float p[kTmParamCount] = {};
    p[kRoBrightness] = 1;
    p[kRoContrast] = 3;
    p[kRoSaturation] = 2;
    float table[256], lum[kLumParamCount] = {};
    exp_lut(table, -8);
    ASSERT_EQ(logMinMaxMoy(w, h, table, source->bytes(), lum), h);
    std::vector<uint16_t> expected(size_t(w) * h * 3);
    dim_param d;
    init_dim_param(d.v);
    d.v[kDimWidth] = w;
    d.v[kDimHeight] = h;
    d.v[kDimOutBits] = 16;
    d.v[kDimOutRowLen] = w * 3;
    optim_param_struct o;
    init_optim_param(&o);
    ASSERT_EQ(tm_simple(p, lum, table, source->bytes(), expected.data(), d, o), h);

    for (int docType : {0, 1, 2})
        for (int nbProc : {1, 8}) {
            ToneMap job;
            job.setTMParam2(Data::copy(p, kTmParamBytes));
            job.setImageDimsFrom(image_dims(w, h, 3, 16));
            job.setDocType(docType);
            job.setNbProc(nbProc);
            DataPtr result = job.compressorToneMap(0, source);
            ASSERT_TRUE(result);
            ASSERT_EQ(result->length(), expected.size() * 2);
            EXPECT_EQ(std::memcmp(result->bytes(), expected.data(), result->length()), 0)
                << docType << " " << nbProc;
        }
}

TEST(ToneMapCompressor, UniformImageGivesNil)
{
    // Every pixel 128 x 2^(137 - 136) = 256: a positive log luminance that never varies.
    std::vector<uint8_t> rgbe(size_t(16) * 16 * 4, 128);
    for (int y = 0; y < 16; ++y)
        std::memset(&rgbe[size_t(y) * 64 + 48], 137, 16);
    ToneMap job;
    job.setParamToDefault();
    job.setImageDimsFrom(image_dims(16, 16, 3, 8));
    EXPECT_FALSE(job.compressorToneMap(0, Data::copy(rgbe.data(), rgbe.size())));
    EXPECT_FALSE(job.compressorToneMap(0, Data::copy(rgbe.data(), rgbe.size() - 1)));
}

// Every allocation of a run fails in turn: each failure gives nil, never a crash; the sanitizer
// build's leak check at exit shows nothing was lost on the way.
TEST(ToneMap, AllocationFailuresGiveNilWithoutLeaks)
{
    const int w = 24, h = 20;
    DataPtr source = hdr_source(w, h);
    for (int which = 0; which < 2; ++which) {
        long total = -1;
        for (long n = 0; n == 0 || n <= total; ++n) {
            EnhancerRun run(w, h, 3, 16, 0, size_t(w) * h * 4);
            alloc_hook::Disarm disarm;
            alloc_hook::fail_nth(n);
            DataPtr r = which == 0 ? run.job.enhancerToneMap(1, source)
                                   : run.job.compressorToneMap(0, source);
            const bool fired = alloc_hook::fired();
            const long seen = alloc_hook::seen();
            alloc_hook::fail_nth(0);
            if (n == 0) {
                ASSERT_TRUE(r);
                total = seen;
                ASSERT_GT(total, 2);
            } else {
                EXPECT_TRUE(fired) << which << " allocation " << n;
                EXPECT_FALSE(r) << which << " allocation " << n;
            }
        }
    }
}
