#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <stdexcept>
#include <vector>

#include "imagecore/banded.h"

using namespace imagecore;

namespace {

// Each band writes its index into its own rows: the result shows the split.
std::vector<int> split_rows(int threads, int rows, BandReport *report = nullptr)
{
    std::vector<int> owner(static_cast<size_t>(rows), -1);
    BandReport r = run_banded(threads, rows, [&](const Band &b) {
        for (int y = b.begin; y < b.end; ++y)
            owner[static_cast<size_t>(y)] = b.index;
    });
    if (report)
        *report = r;
    return owner;
}

std::atomic<int> g_calls{0};
int fail_second_start(pthread_t *t, const pthread_attr_t *a, void *(*fn)(void *), void *arg)
{
    if (g_calls++ == 1)
        return EAGAIN;
    return pthread_create(t, a, fn, arg);
}

struct StartGuard {
    ~StartGuard() { set_thread_start_for_testing(nullptr); }
};

} // namespace

TEST(RunBanded, LastBandTakesTheRest)
{
    EXPECT_EQ(split_rows(3, 10), (std::vector<int>{0, 0, 0, 1, 1, 1, 2, 2, 2, 2}));
    EXPECT_EQ(split_rows(1, 3), (std::vector<int>{0, 0, 0}));
}

TEST(RunBanded, NeverMoreBandsThanRows)
{
    BandReport r;
    EXPECT_EQ(split_rows(8, 3, &r), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(r.count, 3);
    EXPECT_TRUE(r.complete());
    EXPECT_EQ(band_count(64, 1000), kMaxBands);
    EXPECT_EQ(band_count(0, 10), 1);
    EXPECT_EQ(run_banded(4, 0, [](const Band &) { FAIL(); }).count, 0);
}

TEST(RunBanded, SameResultForAnyThreadCount)
{
    // A per-row computation gives the same buffer at 1 and at N threads.
    auto compute = [](int threads) {
        std::vector<double> out(97);
        run_banded(threads, 97, [&](const Band &b) {
            for (int y = b.begin; y < b.end; ++y)
                out[static_cast<size_t>(y)] = y * 0.1 + 1.0 / (y + 1);
        });
        return out;
    };
    auto one = compute(1);
    for (int t : {2, 3, 8, 32})
        EXPECT_EQ(compute(t), one) << t << " threads";
}

TEST(RunBanded, FailedStartIsReportedOrRunInline)
{
    StartGuard guard;
    set_thread_start_for_testing(fail_second_start);

    g_calls = 0;
    std::vector<int> owner(8, -1);
    auto work = [&](const Band &b) {
        for (int y = b.begin; y < b.end; ++y)
            owner[static_cast<size_t>(y)] = b.index;
    };
    BandReport r = run_banded(4, 8, work, BandFallback::Report);
    EXPECT_EQ(r.notStarted, 1);
    EXPECT_FALSE(r.ran[1]);
    EXPECT_EQ(owner, (std::vector<int>{0, 0, -1, -1, 2, 2, 3, 3}));

    g_calls = 0;
    owner.assign(8, -1);
    r = run_banded(4, 8, work, BandFallback::Inline);
    EXPECT_TRUE(r.complete());
    EXPECT_EQ(owner, (std::vector<int>{0, 0, 1, 1, 2, 2, 3, 3}));
}

TEST(RunBanded, ExceptionInWorkIsCounted)
{
    BandReport r = run_banded(4, 8, [](const Band &b) {
        if (b.index == 2)
            throw std::runtime_error("band");
    });
    EXPECT_EQ(r.threw, 1);
    EXPECT_FALSE(r.complete());
}

TEST(RunChunked, ChunksAreMultiplesOfFour)
{
    Band b0 = band_chunk(0, 3, 10), b1 = band_chunk(1, 3, 10), b2 = band_chunk(2, 3, 10);
    EXPECT_EQ(b0.begin, 0);
    EXPECT_EQ(b0.end, 4);
    EXPECT_EQ(b1.begin, 4);
    EXPECT_EQ(b1.end, 8);
    EXPECT_EQ(b2.begin, 8);
    EXPECT_EQ(b2.end, 10);
    // Rounding up can leave nothing for the last chunks; they stay empty and in range.
    Band last = band_chunk(3, 4, 5);
    EXPECT_EQ(last.begin, 5);
    EXPECT_EQ(last.end, 5);

    std::vector<int> hits(1001, 0);
    run_chunked(8, 1001, [&](const Band &b) {
        for (int i = b.begin; i < b.end; ++i)
            hits[static_cast<size_t>(i)]++;
    });
    for (int h : hits)
        ASSERT_EQ(h, 1);
}
