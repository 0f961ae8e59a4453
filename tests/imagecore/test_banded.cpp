#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <stdexcept>
#include <vector>

#include "imagecore/banded.h"

using namespace imagecore;

namespace {

// Each band writes its index into its own rows: the result shows the split.
std::vector<int> split_rows(int threads, int rows, BandReport &r,
                            BandFallback fallback = BandFallback::Inline)
{
    std::vector<int> owner(size_t(rows), -1);
    auto work = [&](const Band &b) {
        std::fill(owner.begin() + b.begin, owner.begin() + b.end, b.index);
    };
    r = run_banded(threads, rows, work, fallback);
    return owner;
}

std::atomic<int> g_calls{0};
int fail_second_start(pthread_t *t, const pthread_attr_t *a, void *(*fn)(void *), void *arg)
{
    return g_calls++ == 1 ? EAGAIN : pthread_create(t, a, fn, arg);
}

} // namespace

TEST(RunBanded, LastBandTakesTheRestAndNeverMoreBandsThanRows)
{
    BandReport r;
    EXPECT_EQ(split_rows(3, 10, r), (std::vector<int>{0, 0, 0, 1, 1, 1, 2, 2, 2, 2}));
    EXPECT_EQ(split_rows(1, 3, r), (std::vector<int>{0, 0, 0}));
    EXPECT_EQ(split_rows(8, 3, r), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(r.count, 3);
    EXPECT_TRUE(r.complete());
    EXPECT_EQ(band_count(64, 1000), kMaxBands);
    EXPECT_EQ(band_count(0, 10), 1);
    EXPECT_EQ(run_banded(4, 0, [](const Band &) { FAIL(); }).count, 0);
}

TEST(RunBanded, SameResultForAnyThreadCount)
{
    auto compute = [](int threads) {
        std::vector<double> out(97);
        run_banded(threads, 97, [&](const Band &b) {
            for (int y = b.begin; y < b.end; ++y)
                out[size_t(y)] = y * 0.1 + 1.0 / (y + 1);
        });
        return out;
    };
    const auto one = compute(1);
    for (int t : {2, 3, 8, 32})
        EXPECT_EQ(compute(t), one) << t << " threads";
}

TEST(RunBanded, FailedStartIsReportedOrRunOnTheCallingThread)
{
    set_thread_start_for_testing(fail_second_start);
    BandReport r;
    g_calls = 0;
    EXPECT_EQ(split_rows(4, 8, r, BandFallback::Report),
              (std::vector<int>{0, 0, -1, -1, 2, 2, 3, 3}));
    EXPECT_EQ(r.notStarted, 1);
    EXPECT_FALSE(r.ran[1]);
    for (BandFallback f : {BandFallback::Inline, BandFallback::RedoAll}) {
        g_calls = 0;
        EXPECT_EQ(split_rows(4, 8, r, f), (std::vector<int>{0, 0, 1, 1, 2, 2, 3, 3}));
        EXPECT_TRUE(r.complete());
    }
    set_thread_start_for_testing(nullptr);

    r = run_banded(4, 8, [](const Band &b) {
        if (b.index == 2)
            throw std::runtime_error("band");
    });
    EXPECT_EQ(r.threw, 1); // caught in its thread and counted
    EXPECT_FALSE(r.complete());
}

TEST(RunChunked, ChunksAreMultiplesOfFourAndCoverEveryElementOnce)
{
    // 10 / 3 rounds up to 4; rounding up can leave nothing for the last chunks (empty, in
    // range).
    const std::pair<Band, std::pair<int, int>> cases[] = {{band_chunk(0, 3, 10), {0, 4}},
                                                          {band_chunk(1, 3, 10), {4, 8}},
                                                          {band_chunk(2, 3, 10), {8, 10}},
                                                          {band_chunk(3, 4, 5), {5, 5}}};
    for (const auto &[b, range] : cases)
        EXPECT_EQ(std::make_pair(b.begin, b.end), range) << b.index;
    std::vector<int> hits(1001, 0);
    run_chunked(8, 1001, [&](const Band &b) {
        for (int i = b.begin; i < b.end; ++i)
            hits[size_t(i)]++;
    });
    EXPECT_EQ(hits, std::vector<int>(1001, 1));
}
