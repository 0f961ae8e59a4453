// The tone-mapping job: the stage sequence and its progress (through fake stages), validation
// of fields and records, the global operator's results, and failure paths without leaks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "platform/bundle.h"
#include "platform/notification_center.h"
#include "tests/tonemap/tm_test_util.h"
#include "tonemap/rodo.h"
#include "tonemap/tone_map.h"

using platform::Data;
using platform::DataPtr;

// This program's operator new counts allocations on each thread and, when armed, throws at the
// chosen one, so that every allocation of a run can be made to fail in turn.
namespace {
thread_local long t_failAt = 0, t_seen = 0;
void *allocate(std::size_t n)
{
    if (++t_seen == t_failAt)
        throw std::bad_alloc();
    if (void *p = std::malloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}
} // namespace
void *operator new(std::size_t n)
{
    return allocate(n);
}
void operator delete(void *p) noexcept
{
    std::free(p);
}
void operator delete(void *p, std::size_t) noexcept
{
    std::free(p);
}

namespace {

// Arms the failure of the n-th allocation from here on this thread (0: none).
void fail_allocation(long n)
{
    t_failAt = n;
    t_seen = 0;
}

const char *const kPart[3] = {"Tone mapping with Deredid Edazozed - part 1...",
                              "Tone mapping with Deredid Edazozed - part 2...",
                              "Tone mapping with Deredid Edazozed - part 3..."};

DataPtr image_dims(int w, int h, int spp, int bitsOut)
{
    const int32_t rec[13] = {w, h, spp, 8, bitsOut, 300, 0, 0, 0, 0, 1, 0, 0};
    return Data::copy(rec, sizeof rec);
}

DataPtr hdr_source(int w, int h)
{
    const std::vector<uint8_t> rgbe = tmtest::encode_rgbe(w, h);
    return Data::copy(rgbe.data(), rgbe.size());
}

std::vector<uint8_t> bytes_of(const DataPtr &d)
{
    return d ? std::vector<uint8_t>(d->bytes(), d->bytes() + d->length()) : std::vector<uint8_t>();
}

// What the fake stages saw and what they answer.
struct StageLog {
    int rc[3] = {0, 0, 1};
    int calls[3] = {}, postsBefore[3] = {};
    size_t sourceBytes = 0; // how much of the source to keep
    std::vector<uint8_t> source1, source3;
    std::vector<float> param, curve;
    tm_dims dims{};
    dim_param dim1{}, dim3{};
    std::vector<int64_t> tm2Args;
    bool lumOk = false; // stage 3 got stage 2's luminance, stage 1's statistics, zeros after
} g_log;
int g_posts = 0;

int fake_tm1(int docType, const float *tmParam, const tm_dims *dims, float *lumParam, const float *,
             const float *curve, dim_param dim, void *, optim_param_struct, void *source,
             float *work)
{
    g_log.postsBefore[0] = g_posts;
    ++g_log.calls[0];
    g_log.param.assign(tmParam, tmParam + kTmParamCount);
    g_log.curve.assign(curve, curve + (docType == 1 ? 65536 : docType == 2 ? 256 : 0));
    g_log.dims = *dims;
    g_log.dim1 = dim;
    g_log.source1.assign(static_cast<uint8_t *>(source),
                         static_cast<uint8_t *>(source) + g_log.sourceBytes);
    // All the scratch a real stage may use (the sanitizer build catches a short buffer).
    const size_t total = size_t(std::max(dims->v[kTdTotalA], dims->v[kTdTotalB]));
    std::memset(source, 0xEE, total * 4);
    std::memset(work, 0, total * 4);
    for (int i = 0; i < 4; ++i)
        lumParam[i] = float(i + 1);
    return g_log.rc[0];
}

int fake_tm2(int width, int height, int64_t total, int levels, const float *, float *work,
             dim_param dim, optim_param_struct)
{
    g_log.postsBefore[1] = g_posts;
    ++g_log.calls[1];
    g_log.tm2Args = {width, height, total, levels};
    for (int i = 0; i < dim.v[kDimWidth] * dim.v[kDimHeight]; ++i)
        work[i] = float(i) * 0.5f;
    return g_log.rc[1];
}

int fake_tm3(int, const float *, const float *lumParam, const float *, const float *, void *source,
             dim_param dim, optim_param_struct, const float *luminance, void *out)
{
    g_log.postsBefore[2] = g_posts;
    ++g_log.calls[2];
    g_log.dim3 = dim;
    g_log.source3.assign(static_cast<uint8_t *>(source),
                         static_cast<uint8_t *>(source) + g_log.sourceBytes);
    const int n = dim.v[kDimWidth] * dim.v[kDimHeight];
    g_log.lumOk = std::vector<float>(lumParam, lumParam + kLumParamCount) ==
                  std::vector<float>{1, 2, 3, 4, 0, 0, 0};
    for (int i = 0; i < n; ++i)
        g_log.lumOk = g_log.lumOk && luminance[i] == float(i) * 0.5f;
    const size_t bytes = size_t(n) * size_t(dim.v[kDimSpp]) * size_t(dim.v[kDimOutBits] / 8);
    for (size_t i = 0; i < bytes; ++i)
        static_cast<uint8_t *>(out)[i] = uint8_t(i * 7 + 3);
    return g_log.rc[2];
}

// A job with the default records and the fake stages, its notifications; a fresh log.
struct FakeRun {
    ToneMap job;
    std::vector<double> status;
    std::vector<std::string> text;
    // Only what the job posts as itself: a wrong sender leaves the lists empty.
    platform::ScopedObserver observer{
        "progressReportUpdated", &job, [this](const platform::Notification &n) {
            ++g_posts;
            status.push_back(n.userInfo.at("progressStatus").doubleValue());
            text.push_back(*n.userInfo.at("progressText").string());
        }};
    FakeRun(int w, int h, int spp, int bits, int docType = 0, size_t sourceBytes = 0)
    {
        g_log = StageLog();
        g_log.sourceBytes = sourceBytes;
        g_posts = 0;
        job.setStagesForTesting({fake_tm1, fake_tm2, fake_tm3});
        job.setParamToDefault();
        job.setImageDimsFrom(image_dims(w, h, spp, bits));
        job.setDocType(docType);
    }
};

} // namespace

TEST(ToneMapEnhancer, RunsTheStagesInOrderForEachSourceKind)
{
    const int w = 40, h = 30;
    float defaults[kTmParamCount];
    tmparam_default(kMethodDeredid, 0, defaults);
    tm_dims dims{};
    ASSERT_GT(tm_dim(w, h, defaults, &dims), 0);
    std::vector<float> c16(65536), c8(256);
    camcurve(0, 65536, c16.data());
    camcurve(0, 256, c8.data());
    // Source size, curve and source row length (dim_param word 5) of each kind.
    const struct {
        int docType;
        size_t bytes;
        std::vector<float> curve;
        int rowLength;
    } kinds[] = {{0, size_t(w) * h * 4, {}, 0},
                 {1, size_t(w) * h * 3 * 2, c16, w * 3},
                 {2, size_t(w) * h * 3, c8, w * 3}};
    platform::set_localized_strings({{kPart[1], "Partie 2"}});
    for (const auto &k : kinds) {
        SCOPED_TRACE(testing::Message() << "source kind " << k.docType);
        std::vector<uint8_t> src(k.bytes + 50);
        for (size_t i = 0; i < src.size(); ++i)
            src[i] = uint8_t(i * 13);
        // One byte short of the size the fields imply: nil before anything runs.
        FakeRun shortRun(w, h, 3, 16, k.docType, k.bytes);
        EXPECT_FALSE(shortRun.job.enhancerToneMap(1, Data::copy(src.data(), k.bytes - 1)));
        EXPECT_TRUE(shortRun.status.empty() && g_log.calls[0] == 0);
        // A longer source is read up to that size. The result is stage 3's output.
        FakeRun run(w, h, 3, 16, k.docType, k.bytes);
        const DataPtr result = run.job.enhancerToneMap(1, Data::copy(src.data(), src.size()));
        ASSERT_TRUE(result && result->length() == size_t(w) * h * 3 * 2);
        for (size_t i = 0; i < result->length(); ++i)
            ASSERT_EQ(result->bytes()[i], uint8_t(i * 7 + 3));
        // Each step is announced before its stage runs.
        EXPECT_EQ(run.status, (std::vector<double>{5, 45, 78}));
        EXPECT_EQ(run.text, (std::vector<std::string>{kPart[0], "Partie 2", kPart[2]}));
        EXPECT_EQ(std::vector<int>(g_log.postsBefore, g_log.postsBefore + 3),
                  (std::vector<int>{1, 2, 3}));
        EXPECT_EQ(g_log.param, std::vector<float>(defaults, defaults + kTmParamCount));
        EXPECT_EQ(g_log.curve, k.curve);
        EXPECT_EQ(0, std::memcmp(&g_log.dims, &dims, sizeof dims));
        EXPECT_EQ(g_log.tm2Args,
                  (std::vector<int64_t>{dims.v[kTdCoarseWidthA], dims.v[kTdCoarseHeightA],
                                        dims.v[kTdTotalA], dims.v[kTdLevelsA]}));
        std::vector<int> dim = {w, h, 3, 8, 8, k.rowLength, w * 3, 0};
        EXPECT_EQ(std::vector<int>(g_log.dim1.v, g_log.dim1.v + 8), dim);
        dim[kDimOutBits] = 16;
        EXPECT_EQ(std::vector<int>(g_log.dim3.v, g_log.dim3.v + 8), dim);
        // Stage 3 gets a fresh copy of the source, stage 2's luminance and stage 1's statistics
        // (the slots it left unwritten 0).
        const std::vector<uint8_t> expected(src.begin(), src.begin() + long(k.bytes));
        EXPECT_EQ(g_log.source1, expected);
        EXPECT_EQ(g_log.source3, expected);
        EXPECT_TRUE(g_log.lumOk);
    }
    platform::set_localized_strings({});
}

TEST(ToneMapEnhancer, AnyStageFailureGivesNil)
{
    const DataPtr source = hdr_source(20, 20);
    // Stage, its failing answer, the steps announced by then.
    const struct {
        int stage, rc;
        std::vector<double> status;
    } rows[] = {{0, -4, {5}}, {1, -20, {5, 45}}, {2, 0, {5, 45, 78}}, {2, -101, {5, 45, 78}}};
    for (const auto &r : rows) {
        FakeRun run(20, 20, 3, 16);
        g_log.rc[r.stage] = r.rc;
        EXPECT_FALSE(run.job.enhancerToneMap(1, source)) << r.stage << ": " << r.rc;
        EXPECT_EQ(run.status, r.status);
        EXPECT_EQ(g_log.calls[2], int(r.stage == 2));
    }
    // The stages not yet built fail.
    ToneMap job;
    job.setParamToDefault();
    job.setImageDimsFrom(image_dims(20, 20, 3, 8));
    EXPECT_FALSE(job.enhancerToneMap(0, source));
}

TEST(ToneMap, FieldsThatDescribeNoImageGiveNil)
{
    const DataPtr source = hdr_source(20, 20);
    const int bad[][4] = {{0, 20, 3, 8},   {20, -1, 3, 8}, {20, 20, 0, 8},
                          {20, 20, 3, 12}, {20, 20, 3, 0}, {20, 20, 3, 32}};
    for (const auto &c : bad) {
        FakeRun run(c[0], c[1], c[2], c[3]);
        EXPECT_FALSE(run.job.enhancerToneMap(1, source))
            << c[0] << " " << c[1] << " " << c[2] << " " << c[3];
        EXPECT_FALSE(run.job.compressorToneMap(0, source));
        EXPECT_EQ(g_log.calls[0], 0);
        EXPECT_TRUE(run.status.empty());
    }
    FakeRun run(20, 20, 3, 8);
    EXPECT_FALSE(run.job.enhancerToneMap(1, nullptr));
    EXPECT_FALSE(run.job.compressorToneMap(1, nullptr));
    EXPECT_FALSE(run.job.compressorToneMap(0, Data::copy(source->bytes(), 20 * 20 * 4 - 1)));
    // A dimension record short of the samples-per-pixel slot leaves it 0; nil is all 0.
    const int32_t two[2] = {20, 20};
    run.job.setImageDimsFrom(Data::copy(two, sizeof two));
    EXPECT_FALSE(run.job.compressorToneMap(0, source));
    run.job.setImageDimsFrom(nullptr);
    EXPECT_FALSE(run.job.compressorToneMap(0, source));
    // A side of 9 is too small for the enhancer's pyramids only.
    FakeRun narrow(9, 100, 3, 8);
    EXPECT_FALSE(narrow.job.enhancerToneMap(1, hdr_source(9, 100)));
    EXPECT_EQ(g_log.calls[0], 0);
    const DataPtr result = narrow.job.compressorToneMap(0, hdr_source(9, 100));
    ASSERT_TRUE(result);
    EXPECT_EQ(result->length(), size_t(9) * 100 * 3);
}

TEST(ToneMap, RecordsThatAreNotEightyBytesReadAsZeros)
{
    float junk[21];
    for (int i = 0; i < 21; ++i)
        junk[i] = 99.0f + float(i);
    const DataPtr source = hdr_source(20, 20);
    for (size_t len : {size_t(0), size_t(79), size_t(84), size_t(kTmParamBytes)}) {
        FakeRun run(20, 20, 3, 8);
        run.job.setTMParam1(len ? Data::copy(junk, len) : nullptr);
        ASSERT_TRUE(run.job.enhancerToneMap(0, source)) << len;
        EXPECT_TRUE(run.status.empty()); // no progress asked
        EXPECT_EQ(g_log.param, len == kTmParamBytes ? std::vector<float>(junk, junk + kTmParamCount)
                                                    : std::vector<float>(kTmParamCount, 0.0f))
            << len;
    }
}

TEST(ToneMapCompressor, SameAsTheKernelsForEveryLayoutAndThreadCount)
{
    const int w = 33, h = 21;
    const DataPtr source = hdr_source(w, h);
    float p[kTmParamCount] = {1, 0, 3}, table[256], lum[kLumParamCount] = {};
    p[kRoSaturation] = 2;
    exp_lut(table, -8);
    ASSERT_EQ(logMinMaxMoy(w, h, table, source->bytes(), lum), h);
    for (int spp : {3, 4})
        for (int bits : {8, 16}) {
            std::vector<uint8_t> expected(size_t(w) * h * size_t(spp) * size_t(bits / 8));
            const dim_param d{{w, h, spp, 8, bits, 0, w * spp, 0}};
            ASSERT_EQ(tm_simple(p, lum, table, source->bytes(), expected.data(), d,
                                optim_param_struct{1, 0, {}}),
                      h);
            for (int nbProc : {1, 8}) {
                ToneMap job;
                job.setTMParam2(Data::copy(p, kTmParamBytes));
                job.setImageDimsFrom(image_dims(w, h, spp, bits));
                job.setDocType(2); // not read
                job.setNbProc(nbProc);
                EXPECT_EQ(bytes_of(job.compressorToneMap(0, source)), expected)
                    << spp << " samples, " << bits << " bits, " << nbProc << " threads";
            }
        }
    // Uniform luminance: every pixel 137 x 2^(137 - 136), nothing to map.
    std::vector<uint8_t> flat(size_t(w) * h * 4, 137);
    ToneMap job;
    job.setImageDimsFrom(image_dims(w, h, 3, 8));
    EXPECT_FALSE(job.compressorToneMap(0, Data::copy(flat.data(), flat.size())));
}

// Every allocation of a run fails in turn: each failure gives nil, never a crash; the sanitizer
// build's leak check at exit shows nothing was lost on the way.
TEST(ToneMap, AllocationFailuresGiveNilWithoutLeaks)
{
    const DataPtr source = hdr_source(24, 20);
    for (bool enhancer : {true, false}) {
        long total = 0;
        for (long n = 0; n == 0 || n <= total; ++n) {
            FakeRun run(24, 20, 3, 16);
            fail_allocation(n);
            const DataPtr r = enhancer ? run.job.enhancerToneMap(1, source)
                                       : run.job.compressorToneMap(0, source);
            const long seen = t_seen;
            fail_allocation(0);
            if (n == 0)
                total = seen;
            EXPECT_EQ(bool(r), n == 0 || n > seen) << enhancer << ", allocation " << n;
        }
        EXPECT_GT(total, 2);
    }
    // The statistics' scratch memory: the sample buffer, then the histogram.
    const std::vector<uint8_t> rgbe = bytes_of(source);
    float table[256];
    exp_lut(table, -8);
    for (long n : {1, 2}) {
        float lum[kLumParamCount] = {9, 9, 9, 9, 9, 9, 9};
        fail_allocation(n);
        const int rc = logMinMaxMoy(24, 20, table, rgbe.data(), lum);
        fail_allocation(0);
        EXPECT_EQ(rc, -4) << n;
        EXPECT_EQ(std::vector<float>(lum, lum + 7), std::vector<float>(7, 9.0f));
    }
}
