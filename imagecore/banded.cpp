#include "imagecore/banded.h"

#include <atomic>

namespace imagecore {
namespace {

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

void *trampoline(void *arg)
{
    run_record(*static_cast<Record *>(arg));
    return nullptr;
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
        rec[i] = Record{&work, chunks ? band_chunk(i, count, n) : band_rows(i, count, n)};

    if (count == 1) {
        run_record(rec[0]);
    } else {
        std::array<pthread_t, kMaxBands> tid;
        std::array<bool, kMaxBands> started{};
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_JOINABLE);
        ThreadStartFn start = g_start.load();
        for (int i = 0; i < count; ++i) {
            int rc = start ? start(&tid[i], &attr, trampoline, &rec[i])
                           : pthread_create(&tid[i], &attr, trampoline, &rec[i]);
            started[i] = rc == 0;
        }
        pthread_attr_destroy(&attr);
        for (int i = 0; i < count; ++i)
            if (started[i])
                pthread_join(tid[i], nullptr);
        for (int i = 0; i < count; ++i)
            if (!started[i])
                ++report.notStarted;
        if (report.notStarted > 0 && fallback != BandFallback::Report) {
            for (int i = 0; i < count; ++i) {
                if (fallback == BandFallback::RedoAll || !started[i]) {
                    rec[i].ran = false;
                    rec[i].threw = false;
                    run_record(rec[i]);
                }
            }
        }
    }
    for (int i = 0; i < count; ++i) {
        report.ran[i] = rec[i].ran;
        if (rec[i].threw)
            ++report.threw;
    }
    // A band rerun on the calling thread counts as recovered.
    if (fallback != BandFallback::Report) {
        report.notStarted = 0;
        for (int i = 0; i < count; ++i)
            if (!rec[i].ran && !rec[i].threw)
                ++report.notStarted;
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

void set_thread_start_for_testing(ThreadStartFn fn)
{
    g_start.store(fn);
}

} // namespace imagecore
