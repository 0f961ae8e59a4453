// The banded runner: the split into bands, every band run exactly once on its own rows at any
// thread count, workers that cannot start, calls made from band work and from several threads at
// once, and exceptions caught in the band that threw.
#include <csignal>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "imagecore/banded.h"

using namespace imagecore;

namespace {

// What one call did: the band that wrote each row (-1 none, -2 more than one), how often each
// band ran, the rows each band was given, and how many bands ran on the calling thread.
struct Split {
    std::vector<int> owner;
    std::vector<int> runs = std::vector<int>(kMaxBands, 0);
    std::vector<Band> given = std::vector<Band>(kMaxBands);
    BandReport report;
    int onCaller = 0;
};

// effort: arithmetic a row, so that workers take bands before the calling thread has run them
// all.
Split split(int threads, int n, BandFallback fallback = BandFallback::Inline, bool chunks = false,
            int effort = 0)
{
    Split s;
    s.owner.assign(size_t(n), -1);
    std::array<std::atomic<int>, kMaxBands> runs{};
    std::atomic<int> onCaller{0};
    const std::thread::id caller = std::this_thread::get_id();
    auto work = [&](const Band &b) {
        runs[size_t(b.index)]++;
        onCaller += std::this_thread::get_id() == caller;
        s.given[size_t(b.index)] = b;
        for (int y = b.begin; y < b.end; ++y) {
            volatile uint32_t h = uint32_t(y);
            for (int k = 0; k < effort; ++k)
                h = h * 2654435761u + 1;
            int &o = s.owner[size_t(y)];
            o = o == -1 || o == b.index ? b.index : -2;
        }
    };
    s.report =
        chunks ? run_chunked(threads, n, work, fallback) : run_banded(threads, n, work, fallback);
    for (size_t i = 0; i < runs.size(); ++i)
        s.runs[i] = runs[i];
    s.onCaller = onCaller;
    return s;
}

// Every band of the call ran exactly once, on the rows n / count each (the last taking the
// rest), or for chunks on consecutive runs of a multiple of 4 elements; no row was left out.
::testing::AssertionResult each_band_once(const Split &s, int threads, int n, bool chunks)
{
    const int count = std::min(std::max(threads, 1), std::min(kMaxBands, n));
    if (s.report.count != count || !s.report.complete())
        return ::testing::AssertionFailure() << "report of " << s.report.count << " bands";
    int next = 0;
    for (int i = 0; i < count; ++i) {
        const Band &b = s.given[size_t(i)];
        if (s.runs[size_t(i)] != 1 || !s.report.ran[size_t(i)])
            return ::testing::AssertionFailure() << "band " << i << " ran " << s.runs[size_t(i)];
        const int begin = chunks ? next : i * (n / count);
        const int end = i == count - 1 ? n : chunks ? b.end : (i + 1) * (n / count);
        if (b.index != i || b.count != count || b.begin != begin || b.end != end ||
            (chunks && i < count - 1 && b.end < n && (b.end - b.begin) % 4 != 0))
            return ::testing::AssertionFailure()
                   << "band " << i << " given " << b.begin << ".." << b.end;
        for (int y = b.begin; y < b.end; ++y)
            if (s.owner[size_t(y)] != i)
                return ::testing::AssertionFailure() << "row " << y << " of band " << i;
        next = b.end;
    }
    if (next != n)
        return ::testing::AssertionFailure() << "rows from " << next << " left out";
    return ::testing::AssertionSuccess();
}

std::atomic<int> g_starts{0}, g_failed{0};
int fail_every_start(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *)
{
    ++g_failed;
    return EAGAIN;
}
int fail_every_second_start(pthread_t *t, const pthread_attr_t *a, void *(*fn)(void *), void *arg)
{
    if (g_starts++ % 2 == 0)
        return pthread_create(t, a, fn, arg);
    ++g_failed;
    return EAGAIN;
}

} // namespace

TEST(RunBanded, LastBandTakesTheRestNeverMoreBandsThanRowsChunksOfFour)
{
    BandReport r;
    EXPECT_EQ(split(3, 10).owner, (std::vector<int>{0, 0, 0, 1, 1, 1, 2, 2, 2, 2}));
    const Split few = split(8, 3);
    EXPECT_EQ(few.owner, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(few.report.count, 3);
    EXPECT_EQ(band_count(64, 1000), kMaxBands);
    EXPECT_EQ(band_count(0, 1000), 1);
    EXPECT_EQ(run_banded(4, 0, [](const Band &) { FAIL(); }).count, 0);
    EXPECT_EQ(band_chunk(1, 3, 10).end, 8); // 10 / 3 rounds up to a multiple of 4
    EXPECT_EQ(band_chunk(2, 3, 10).begin, 8);
    EXPECT_EQ(band_chunk(3, 4, 5).begin, 5); // chunks of 4: the last one is empty
}

TEST(RunBanded, EveryBandRunsOnceOnItsOwnRowsAtAnyThreadCount)
{
    for (bool chunks : {false, true})
        for (int threads : {1, 3, 8, 32})
            for (int n : {1, 2, 7, 31, 97, 1000})
                EXPECT_TRUE(each_band_once(split(threads, n, BandFallback::Inline, chunks), threads,
                                           n, chunks))
                    << threads << " threads, " << n << (chunks ? " elements" : " rows");
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
    for (int t : {2, 3, 8, 32})
        EXPECT_EQ(compute(t), compute(1)) << t << " threads";
}

TEST(RunBanded, RepeatedCallsOfEveryShape)
{
    // Calls of changing band counts back to back, as a solver makes them, some with work enough
    // for the workers to take part: workers left over from a wider call, or still waking for an
    // earlier one, never run a band of the next, and every call waits for its bands.
    for (int r = 0; r < 600; ++r) {
        const int threads = 1 + (r * 7) % 32, n = 1 + (r * 13) % 150;
        const bool chunks = r % 3 == 0;
        const Split s = split(threads, n, BandFallback::Inline, chunks, r % 2 ? 3000 : 0);
        ASSERT_TRUE(each_band_once(s, threads, n, chunks))
            << "call " << r << ": " << threads << " threads, " << n;
    }
}

TEST(RunBanded, WorkersThatCannotStartLeaveTheirBandsToTheCaller)
{
    // Inline: the bands whose worker did not start run on the threads that did; RedoAll: every
    // band on the calling thread; Report: those bands stay undone and are counted. No band runs
    // twice, band 0 needs no worker.
    for (auto start : {fail_every_start, fail_every_second_start})
        for (int threads : {3, 8, 32}) {
            const std::string label =
                std::to_string(threads) + (start == fail_every_start ? ", no start" : ", half");
            set_thread_start_for_testing(start);
            g_starts = 0;
            g_failed = 0;
            EXPECT_TRUE(each_band_once(split(threads, 64), threads, 64, false)) << label;
            EXPECT_GT(g_failed, 0) << label;

            const Split redo = split(threads, 64, BandFallback::RedoAll);
            EXPECT_TRUE(each_band_once(redo, threads, 64, false)) << label;
            EXPECT_EQ(redo.onCaller, threads) << label;

            g_starts = 0;
            g_failed = 0;
            const Split report = split(threads, 64, BandFallback::Report);
            EXPECT_EQ(report.report.notStarted, g_failed) << label;
            EXPECT_FALSE(report.report.complete()) << label;
            EXPECT_TRUE(report.report.ran[0]) << label;
            int undone = 0;
            for (int i = 0; i < threads; ++i) {
                const Band rows{i, threads, i * (64 / threads),
                                i == threads - 1 ? 64 : (i + 1) * (64 / threads)};
                const bool ran = report.report.ran[size_t(i)];
                undone += !ran;
                EXPECT_EQ(report.runs[size_t(i)], ran ? 1 : 0) << label << ", band " << i;
                for (int y = rows.begin; y < rows.end; ++y)
                    ASSERT_EQ(report.owner[size_t(y)], ran ? i : -1) << label << ", row " << y;
            }
            EXPECT_EQ(undone, g_failed) << label;
        }
    set_thread_start_for_testing(nullptr);
    // Workers start again once the start succeeds.
    EXPECT_TRUE(each_band_once(split(8, 64, BandFallback::Report), 8, 64, false));
}

TEST(RunBanded, CallsFromBandWorkRunEveryBand)
{
    // Each outer band runs a banded call of its own over its slice, two levels deep: nothing
    // waits for the busy workers, every inner band runs once.
    const int outer = 8, inner = 8, rows = 16;
    std::vector<int> hits(size_t(outer * inner * rows), 0);
    std::array<BandReport, outer> innerReports{};
    const BandReport r = run_banded(outer, outer, [&](const Band &o) {
        innerReports[size_t(o.index)] = run_banded(inner, inner, [&](const Band &i) {
            const BandReport deepest = run_chunked(3, rows, [&](const Band &d) {
                for (int y = d.begin; y < d.end; ++y)
                    hits[size_t((o.index * inner + i.index) * rows + y)]++;
            });
            if (!deepest.complete() || deepest.count != 3)
                throw std::runtime_error("deepest call incomplete");
        });
    });
    EXPECT_TRUE(r.complete());
    for (const BandReport &ir : innerReports) {
        EXPECT_TRUE(ir.complete());
        EXPECT_EQ(ir.count, inner);
    }
    EXPECT_EQ(hits, std::vector<int>(hits.size(), 1));
}

TEST(RunBanded, CallsFromSeveralThreadsAtOnce)
{
    // Photos processed side by side by threads of the caller's own: each call's bands run once,
    // whichever call has the workers.
    std::array<int, 4> bad{};
    std::vector<std::thread> threads;
    for (size_t t = 0; t < bad.size(); ++t)
        threads.emplace_back([&bad, t] {
            for (int r = 0; r < 150; ++r) {
                const int nb = r % 2 ? 8 : 3, n = 40 + int(t) + r % 17;
                bad[t] += !each_band_once(split(nb, n, BandFallback::Report, r % 4 == 1), nb, n,
                                          r % 4 == 1);
            }
        });
    for (std::thread &th : threads)
        th.join();
    EXPECT_EQ(bad, (std::array<int, 4>{}));
}

TEST(RunBanded, ExceptionsAreCaughtInTheirBandAndCounted)
{
    auto throwing = [](int threads, int n, auto which) {
        return run_banded(threads, n, [&](const Band &b) {
            if (which(b.index))
                throw std::runtime_error("band");
        });
    };
    BandReport r = throwing(4, 8, [](int i) { return i == 2; });
    EXPECT_EQ(r.threw, 1);
    EXPECT_EQ(r.notStarted, 0);
    EXPECT_FALSE(r.complete());
    EXPECT_EQ((std::vector<bool>(r.ran.begin(), r.ran.begin() + 4)),
              (std::vector<bool>{true, true, false, true}));
    EXPECT_EQ(throwing(4, 8, [](int i) { return i == 0; }).threw, 1); // the caller's own band
    EXPECT_EQ(throwing(32, 64, [](int) { return true; }).threw, 32);
    EXPECT_EQ(throwing(1, 8, [](int) { return true; }).threw, 1); // no worker involved
    // Inside band work (the workers busy): caught in the inner call, the outer band unharmed.
    std::array<int, 4> innerThrew{};
    r = run_banded(4, 4, [&](const Band &o) {
        innerThrew[size_t(o.index)] = throwing(8, 8, [](int i) { return i % 2 == 1; }).threw;
    });
    EXPECT_TRUE(r.complete());
    EXPECT_EQ(innerThrew, (std::array<int, 4>{4, 4, 4, 4}));
}

TEST(RunBanded, AChildForkedWhileWorkersRunFinishesItsCallsAndExits)
{
    // Forked while the parent's workers spin after a call, then while they sleep: the child's
    // calls run every band (on its own thread) and its exit, static destructors included,
    // returns. No worker may be starting at the fork, and the child allocates nothing before its
    // exit: the sanitizers' allocators are not safe across a fork.
    for (bool asleep : {false, true}) {
        ASSERT_TRUE(each_band_once(split(8, 64, BandFallback::Report, false, 3000), 8, 64, false));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (!asleep) {
            ASSERT_TRUE(
                each_band_once(split(8, 64, BandFallback::Report, false, 3000), 8, 64, false));
        }
        static std::array<int, 64> hits;
        hits.fill(0);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            alarm(60); // a child stuck at exit dies instead of holding up the suite
            const BandReport r = run_banded(8, 64, [](const Band &b) {
                for (int y = b.begin; y < b.end; ++y)
                    hits[size_t(y)]++;
            });
            const bool once = std::all_of(hits.begin(), hits.end(), [](int h) { return h == 1; });
            std::exit(r.complete() && r.count == 8 && once ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << (asleep ? "asleep, " : "spinning, ") << status;
    }
}

// Pieces taken in turn: every row exactly once, each piece grain rows on the grid from 0 (the
// last one shorter), slots within the call's band count, whether the workers start or not.
TEST(RunPieces, EveryPieceOnceOnTheThreadsThatStarted)
{
    for (auto start : {ThreadStartFn(nullptr), ThreadStartFn(fail_every_start),
                       ThreadStartFn(fail_every_second_start)}) {
        set_thread_start_for_testing(start);
        for (int threads : {0, 1, 3, 8, 32})
            for (int n : {1, 7, 97, 1000})
                for (int grain : {0, 1, 8, 1000}) {
                    std::vector<std::atomic<int>> runs(static_cast<size_t>(n));
                    std::atomic<bool> onGrid{true}, slotsInside{true};
                    const int step = std::max(grain, 1);
                    const BandReport r = run_pieces(threads, n, grain, [&](const Band &b) {
                        if (b.begin % step != 0 || b.end != std::min(b.begin + step, n))
                            onGrid = false;
                        if (b.index < 0 || b.index >= b.count || b.count > band_count(threads, n))
                            slotsInside = false;
                        for (int i = b.begin; i < b.end; ++i)
                            ++runs[size_t(i)];
                    });
                    const std::string label = std::to_string(threads) + " threads, " +
                                              std::to_string(n) + " rows, grain " +
                                              std::to_string(grain);
                    EXPECT_TRUE(std::all_of(runs.begin(), runs.end(),
                                            [](const std::atomic<int> &k) { return k == 1; }))
                        << label;
                    EXPECT_TRUE(onGrid && slotsInside) << label;
                    EXPECT_EQ(r.threw, 0) << label;
                }
    }
    set_thread_start_for_testing(nullptr);
    int calls = 0;
    EXPECT_EQ(run_pieces(8, 0, 4, [&](const Band &) { ++calls; }).count, 0);
    // A piece that throws is counted and the others still run.
    std::atomic<int> done{0};
    const BandReport r = run_pieces(4, 40, 4, [&](const Band &b) {
        if (b.begin == 8)
            throw std::runtime_error("piece");
        done += b.end - b.begin;
    });
    EXPECT_EQ(r.threw, 1);
    EXPECT_EQ(done, 36);
    EXPECT_EQ(calls, 0);
}

// Banded copies and clears: every byte of the range, none past it, at every thread count.
TEST(CopyBanded, EveryByteOfTheRangeAndNoneBeyond)
{
    for (size_t n : {size_t(0), size_t(1), size_t(65535), size_t(65536), size_t(3 * 65536 + 17)})
        for (int threads : {0, 1, 3, 8}) {
            std::vector<uint8_t> src(n + 2), dst(n + 2, 0xEE), zero(n + 2, 0xEE);
            for (size_t i = 0; i < src.size(); ++i)
                src[i] = uint8_t(i * 31 + 7);
            copy_banded(threads, dst.data() + 1, src.data() + 1, n);
            zero_banded(threads, zero.data() + 1, n);
            const std::string label = std::to_string(n) + " bytes, " + std::to_string(threads);
            EXPECT_TRUE(std::equal(src.begin() + 1, src.begin() + 1 + ptrdiff_t(n),
                                   dst.begin() + 1))
                << label;
            EXPECT_TRUE(std::all_of(zero.begin() + 1, zero.begin() + 1 + ptrdiff_t(n),
                                    [](uint8_t v) { return v == 0; }))
                << label;
            for (const auto *v : {&dst, &zero})
                EXPECT_TRUE(v->front() == 0xEE && v->back() == 0xEE) << label;
        }
}

// Stop signals reach the thread that called, never a worker: a caller that holds them back for a
// moment (around a temporary file) must not lose the process to a worker's default action.
TEST(RunBanded, WorkersKeepTheStopSignalsBlocked)
{
    const pthread_t caller = pthread_self();
    std::atomic<int> onWorkers{0}, unblocked{0};
    run_banded(8, 8, [&](const Band &) {
        // Long enough that the workers wake and take bands of their own.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (pthread_equal(pthread_self(), caller))
            return;
        ++onWorkers;
        sigset_t now;
        pthread_sigmask(SIG_SETMASK, nullptr, &now);
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
            unblocked += sigismember(&now, sig) != 1;
    });
    EXPECT_GT(onWorkers.load(), 0);
    EXPECT_EQ(unblocked.load(), 0);
    sigset_t mine;
    pthread_sigmask(SIG_SETMASK, nullptr, &mine);
    EXPECT_EQ(sigismember(&mine, SIGTERM), 0) << "the caller's mask is its own";
}
