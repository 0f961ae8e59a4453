// The banded runner's workers: up to 31 long-lived threads, started on first need, that spin
// briefly after each call and then sleep, each on its condition variable. A call publishes its
// bands in one claim word; the caller and its workers take them until none is left.
#include "imagecore/banded.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <thread>

namespace imagecore {
namespace {

using Clock = std::chrono::steady_clock;

// How long a thread that waits spins before it sleeps. Solvers call the runner back to back with
// a few microseconds of their own work between calls; a worker still spinning takes the next
// call at once, a sleeping one costs a wake-up of tens of microseconds (milliseconds when the
// machine is loaded). Short enough to leave a shared machine its cores soon after the last call.
constexpr auto kSpin = std::chrono::microseconds(50);

std::atomic<ThreadStartFn> g_start{nullptr};

struct Record {
    const BandWork *work;
    Band band;
    bool ran = false;
    bool threw = false;
};

void run_record(Record &r)
{
    try {
        (*r.work)(r.band);
        r.ran = true;
    } catch (...) {
        r.threw = true;
    }
}

void relax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// Spins until done() holds or kSpin has passed; says which.
template <class Done> bool spin_until(const Done &done)
{
    const Clock::time_point t0 = Clock::now();
    for (unsigned i = 1;; ++i) {
        if (done())
            return true;
        relax();
        if (i % 64 == 0 && Clock::now() - t0 > kSpin)
            return false;
    }
}

class Pool;
Pool &pool();

// The workers. Worker k (1 .. kMaxBands - 1) is what lets band k start; once a call is posted,
// the calling thread and its workers claim the call's bands in one claim word, each its own band
// first and then any still free, so a worker the system has not scheduled yet delays nobody. One
// call at a time: the caller takes the pool with try_acquire, and a call that finds it taken runs
// inline instead, so nothing ever waits for the pool but a change of the test hook.
class Pool {
public:
    Pool()
    {
        pthread_atfork(nullptr, nullptr, [] { pool().forget_workers(); });
    }
    Pool(const Pool &) = delete;
    Pool &operator=(const Pool &) = delete;
    // At exit. A pool still in use (exit called from band work) is left to the process's end.
    ~Pool()
    {
        if (try_acquire())
            stop_workers();
    }

    bool try_acquire() { return !m_busy.exchange(true, std::memory_order_acquire); }
    void acquire()
    {
        while (!try_acquire())
            std::this_thread::yield();
    }
    void release() { m_busy.store(false, std::memory_order_release); }

    // Runs the bands rec[0 .. count - 1] and returns how many had no worker: band k has one when
    // worker k runs or can be started (band 0 is the caller's). Which bands run, on any thread
    // of the call: with Inline every band; with Report those that had a worker; with RedoAll
    // every band when all had one, else none (the caller then runs each once). The pool must be
    // held.
    int run(Record *rec, int count, BandFallback fallback)
    {
        const ThreadStartFn start = g_start.load();
        int missing = 0, n = 0;
        uint32_t closed = count == kMaxBands ? 0 : ~0u << count; // bands not to be taken
        for (int k = 0; k < count; ++k) {
            const bool started = k == 0 || m_workers[size_t(k)].running || start_worker(k, start);
            missing += !started;
            if (started || fallback == BandFallback::Inline)
                ++n;
            else
                closed |= 1u << k;
        }
        if (missing == 0 || fallback != BandFallback::RedoAll) {
            const uint32_t call = ++m_call;
            m_rec = rec;
            m_pending.store(n, std::memory_order_relaxed);
            m_claim.store(uint64_t(call) << 32 | closed, std::memory_order_release);
            uint32_t posted = 0;
            for (int k = 1; k < count; ++k)
                if (m_workers[size_t(k)].running) {
                    m_workers[size_t(k)].posted.store(call, std::memory_order_release);
                    posted |= 1u << k;
                }
            // Each wake-up costs its waker microseconds (an interrupt to another processor, in a
            // virtual machine an exit too), and on a loaded machine the thread woken can take
            // the waker's processor for long: the caller wakes one worker, and every worker
            // woken helps wake the rest.
            m_toWake.store(posted, std::memory_order_release);
            wake_posted();
            take_bands(call, 0);
            if (!spin_until([&] { return m_pending.load(std::memory_order_acquire) == 0; })) {
                std::unique_lock<std::mutex> lock(m_doneMutex);
                m_callerSleeps = true;
                m_done.wait(lock, [&] { return m_pending.load(std::memory_order_acquire) == 0; });
                m_callerSleeps = false;
            }
        }
        if (start)
            stop_workers();
        return missing;
    }

    // Stops and joins every running worker. The pool must be held.
    void stop_workers()
    {
        for (Worker &w : m_workers)
            if (w.running) {
                w.posted.store(kStop, std::memory_order_release);
                w.wake_if_asleep();
                pthread_join(w.thread, nullptr);
                w.running = false;
                w.posted.store(0, std::memory_order_relaxed);
            }
    }

private:
    // In a child forked while workers ran: they were the parent's, so there are none here to
    // post, wake or join. The mutexes and condition variables may be held or waited on by
    // threads that do not exist here (destroying such a condition variable never returns), so
    // they are made anew over the old ones. The child starts no thread of its own (little is
    // safe in the child of a threaded process until it calls exec): the pool stays taken, and
    // every call runs on the calling thread.
    void forget_workers()
    {
        for (Worker &w : m_workers) {
            new (&w.mutex) std::mutex;
            new (&w.wake) std::condition_variable;
            w.sleeps = false;
            w.running = false;
            w.posted.store(0, std::memory_order_relaxed);
        }
        new (&m_doneMutex) std::mutex;
        new (&m_done) std::condition_variable;
        m_callerSleeps = false;
        m_toWake.store(0, std::memory_order_relaxed);
        m_busy.store(true, std::memory_order_relaxed);
    }

    static constexpr uint64_t kStop = ~uint64_t(0);

    struct alignas(64) Worker {
        Pool *pool = nullptr;
        int index = 0;
        bool running = false; // touched by the pool's holder only
        pthread_t thread{};
        std::atomic<uint64_t> posted{0}; // the last call posted to it, or kStop
        std::mutex mutex;
        std::condition_variable wake;
        bool sleeps = false; // under mutex

        // After a store to posted. Under the mutex, the worker is either before its last look
        // at posted or asleep.
        void wake_if_asleep()
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (sleeps)
                wake.notify_one();
        }

        uint64_t await(uint64_t seen)
        {
            auto moved = [&] { return posted.load(std::memory_order_acquire) != seen; };
            if (!spin_until(moved)) {
                std::unique_lock<std::mutex> lock(mutex);
                sleeps = true;
                wake.wait(lock, moved);
                sleeps = false;
            }
            return posted.load(std::memory_order_acquire);
        }
    };

    // Wakes workers of m_toWake, one at a time, until none is left; the caller stops after the
    // first. The workers may be a later call's (this thread woke late): waking them is harmless.
    void wake_posted(bool caller = true)
    {
        uint32_t m = m_toWake.load(std::memory_order_acquire);
        while (m != 0) {
            const uint32_t lowest = m & (~m + 1);
            if (!m_toWake.compare_exchange_weak(m, m & ~lowest, std::memory_order_acq_rel,
                                                std::memory_order_acquire))
                continue;
            m_workers[size_t(std::countr_zero(lowest))].wake_if_asleep();
            if (caller)
                return;
            m &= ~lowest;
        }
    }

    static void *worker_main(void *arg)
    {
        Worker &w = *static_cast<Worker *>(arg);
        for (uint64_t call = 0; (call = w.await(call)) != kStop;) {
            w.pool->wake_posted(false);
            w.pool->take_bands(uint32_t(call), w.index);
        }
        return nullptr;
    }

    // A band of call still free, own if it is, else the lowest; -1 when none is left. The claim
    // word holds the call (high half) and a bit a band taken or not to be taken (low half): a
    // worker that wakes after its call has ended claims nothing and touches none of its records.
    int claim(uint32_t call, int own)
    {
        uint64_t v = m_claim.load(std::memory_order_acquire);
        for (;;) {
            const uint32_t free = ~uint32_t(v);
            if (uint32_t(v >> 32) != call || free == 0)
                return -1;
            const int i = free >> own & 1 ? own : std::countr_zero(free);
            if (m_claim.compare_exchange_weak(v, v | 1u << i, std::memory_order_acq_rel,
                                              std::memory_order_acquire))
                return i;
        }
    }

    // Runs bands of call until none is left, band own first: worker k takes band k whenever it
    // is in time, so a band's rows stay in the same core's cache from call to call. The call
    // cannot end before the bands taken here are counted, so its records stay valid until then.
    void take_bands(uint32_t call, int own)
    {
        int ran = 0;
        for (int i; (i = claim(call, own)) >= 0; ++ran)
            run_record(m_rec[i]);
        if (ran > 0 && m_pending.fetch_sub(ran, std::memory_order_acq_rel) == ran) {
            std::lock_guard<std::mutex> lock(m_doneMutex);
            if (m_callerSleeps)
                m_done.notify_one();
        }
    }

    bool start_worker(int k, ThreadStartFn start)
    {
        Worker &w = m_workers[size_t(k)];
        w.pool = this;
        w.index = k;
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_JOINABLE);
        // Workers start with the stop signals blocked (a thread inherits its creator's mask), so
        // the process's signals reach the threads that called: a caller that holds them back
        // for a moment is not undone by a worker taking the default action meanwhile.
        sigset_t stops, old;
        sigemptyset(&stops);
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
            sigaddset(&stops, sig);
        pthread_sigmask(SIG_BLOCK, &stops, &old);
        const int rc = start ? start(&w.thread, &attr, worker_main, &w)
                             : pthread_create(&w.thread, &attr, worker_main, &w);
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        pthread_attr_destroy(&attr);
        w.running = rc == 0;
        return w.running;
    }

    std::atomic<bool> m_busy{false};
    std::array<Worker, kMaxBands> m_workers; // [0] unused: the caller needs no worker
    // The call in progress, written by the holder before the claim word.
    uint32_t m_call = 0;
    Record *m_rec = nullptr;
    alignas(64) std::atomic<uint64_t> m_claim{0};
    std::atomic<uint32_t> m_toWake{0};         // workers of the call still to wake, a bit each
    alignas(64) std::atomic<int> m_pending{0}; // bands to be taken not yet run to their end
    std::mutex m_doneMutex;
    std::condition_variable m_done;
    bool m_callerSleeps = false; // under m_doneMutex
};

Pool &pool()
{
    static Pool p;
    return p;
}

BandReport run(int nbProc, int n, const BandWork &work, BandFallback fallback, bool chunks)
{
    BandReport report;
    if (n < 1)
        return report;
    int count = band_count(nbProc, n);
    report.count = count;
    std::array<Record, kMaxBands> rec;
    for (int i = 0; i < count; ++i)
        rec[size_t(i)] = Record{&work, chunks ? band_chunk(i, count, n) : band_rows(i, count, n)};

    Pool &workers = pool();
    if (count == 1 || !workers.try_acquire()) {
        // One band, or the workers are serving another call (perhaps the one this call is
        // band work of): every band here, in order.
        for (int i = 0; i < count; ++i)
            run_record(rec[size_t(i)]);
    } else {
        const int missing = workers.run(rec.data(), count, fallback);
        workers.release();
        if (fallback == BandFallback::Report)
            report.notStarted = missing;
        else if (missing > 0 && fallback == BandFallback::RedoAll)
            for (int i = 0; i < count; ++i)
                run_record(rec[size_t(i)]);
    }
    for (int i = 0; i < count; ++i) {
        report.ran[size_t(i)] = rec[size_t(i)].ran;
        if (rec[size_t(i)].threw)
            ++report.threw;
    }
    return report;
}

} // namespace

int band_count(int nbProc, int n)
{
    int c = nbProc < 1 ? 1 : (nbProc > kMaxBands ? kMaxBands : nbProc);
    if (n >= 1 && c > n)
        c = n;
    return c;
}

Band band_rows(int index, int count, int n)
{
    int h = n / count;
    Band b{index, count, index * h, index == count - 1 ? n : (index + 1) * h};
    return b;
}

Band band_chunk(int index, int count, int n)
{
    long len = n / count;
    len = (len + 3) / 4 * 4;
    long begin = len * index, end = index == count - 1 ? n : len * (index + 1);
    if (begin > n)
        begin = n;
    if (end > n)
        end = n;
    return Band{index, count, static_cast<int>(begin), static_cast<int>(end)};
}

BandReport run_banded(int nbProc, int n, const BandWork &work, BandFallback fallback)
{
    return run(nbProc, n, work, fallback, false);
}

BandReport run_chunked(int nbProc, int n, const BandWork &work, BandFallback fallback)
{
    return run(nbProc, n, work, fallback, true);
}

BandReport run_pieces(int nbProc, int n, int grain, const BandWork &work)
{
    if (n < 1)
        return {};
    const int step = std::max(grain, 1);
    std::atomic<int> next{0};
    std::atomic<int> threw{0};
    // Each band takes the next free piece until none is left; a band whose worker did not start
    // takes none, and the others take its pieces.
    BandReport report = run(
        nbProc, std::max(1, std::min(n, band_count(nbProc, n))),
        [&](const Band &slot) {
            for (int first; (first = next.fetch_add(step)) < n;) {
                try {
                    work({slot.index, slot.count, first, std::min(first + step, n)});
                } catch (...) {
                    threw.fetch_add(1);
                }
            }
        },
        BandFallback::Inline, false);
    report.threw += threw.load();
    return report;
}

namespace {

// fn(offset, length) over n bytes in blocks of 64 KB, the blocks in nbProc bands.
template <class Fn> void byte_blocks(int nbProc, size_t n, Fn &&fn)
{
    constexpr size_t kBlock = size_t(1) << 16;
    const size_t blocks = (n + kBlock - 1) / kBlock;
    if (blocks < 2 || blocks > size_t(std::numeric_limits<int>::max())) {
        if (n > 0)
            fn(size_t(0), n);
        return;
    }
    run_banded(nbProc, int(blocks), [&](const Band &b) {
        const size_t first = size_t(b.begin) * kBlock;
        fn(first, std::min(n, size_t(b.end) * kBlock) - first);
    });
}

} // namespace

void copy_banded(int nbProc, void *dst, const void *src, size_t n)
{
    byte_blocks(nbProc, n, [&](size_t at, size_t len) {
        std::memcpy(static_cast<char *>(dst) + at, static_cast<const char *>(src) + at, len);
    });
}

void zero_banded(int nbProc, void *dst, size_t n)
{
    byte_blocks(nbProc, n,
                [&](size_t at, size_t len) { std::memset(static_cast<char *>(dst) + at, 0, len); });
}

void set_thread_start_for_testing(ThreadStartFn fn)
{
    Pool &workers = pool();
    workers.acquire();
    g_start.store(fn);
    workers.stop_workers();
    workers.release();
}

} // namespace imagecore
