// The one runner of banded work: rows split into nbProc horizontal bands of rows / nbProc rows,
// the last band taking the rest, run by the calling thread and long-lived POSIX workers, all
// finished before return. A band writes only its own rows; kernels that reduce combine per-band
// partials in band order, so results never depend on the thread count, nor on which thread ran
// which band.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <pthread.h>

namespace imagecore {

inline constexpr int kMaxBands = 32;

struct Band {
    int index = 0; // 0 .. count - 1
    int count = 1;
    int begin = 0; // first row (or element) of the band
    int end = 0;   // one past the last
};

// Number of bands for nbProc workers over n rows: nbProc clamped to 1..32, never more than n
// (at least 1).
int band_count(int nbProc, int n);
// Rows of band index of count over n rows: n / count each, the last taking the rest.
Band band_rows(int index, int count, int n);
// Vector chunks: n / count rounded up to a multiple of 4, the last chunk taking the rest.
// Chunks past the end are empty (begin == end == n).
Band band_chunk(int index, int count, int n);

// What happened to each band.
struct BandReport {
    int count = 0;                     // bands the work was split into
    std::array<bool, kMaxBands> ran{}; // the band's work ran to its end
    int notStarted = 0;                // with Report, bands left undone for want of a worker
    int threw = 0;                     // bands whose work ended by an exception
    bool complete() const { return notStarted == 0 && threw == 0; }
};

// What to do with bands whose worker did not start. No fallback runs a band twice.
enum class BandFallback {
    Report,  // nothing: they do not run, the caller reads the report (and fails with -2, say)
    Inline,  // they run on the threads of the call that did start (the calling thread at least)
    RedoAll, // every band of the call runs on the calling thread, none on a worker
};

using BandWork = std::function<void(const Band &)>;

// Splits n rows into band_count(nbProc, n) bands and runs work on each. The calling thread and
// the workers of a process-wide set, started on first need and kept until exit, take the bands
// in turn (any thread may run any band, so no band waits for a worker the system has not
// scheduled yet). Band k, from 1 on, needs worker k to have started; a start that failed is
// tried again by the next call. Work must not throw; an exception is caught in its thread and
// counted. n < 1 does nothing.
// Safe from any thread: while the workers serve one call, a call made meanwhile (from band work,
// or from another thread) runs all its bands on its own thread, in band order, and waits for
// nobody; its report is that of a call whose workers all started. Band work must therefore
// never wait for another band of its call.
BandReport run_banded(int nbProc, int n, const BandWork &work,
                      BandFallback fallback = BandFallback::Inline);
// The same over vector chunks (band_chunk).
BandReport run_chunked(int nbProc, int n, const BandWork &work,
                       BandFallback fallback = BandFallback::Inline);

// Runs fn(rowBegin, rowEnd) over rows 0..rows - 1, in bands when nbProc >= 2 (else in one call on
// this thread). For work whose rows are independent; a band whose thread cannot start runs on a
// thread of the call that did.
template <class Fn> void for_row_bands(int nbProc, int rows, const Fn &fn)
{
    if (nbProc < 2 || rows < 2) {
        fn(0, rows);
        return;
    }
    run_banded(nbProc, rows, [&](const Band &b) { fn(b.begin, b.end); });
}

// The same rows in pieces of grain rows (the last taking the rest), for long work whose rows are
// independent: each of the call's band_count(nbProc, n) threads takes the next free piece until
// none is left, so a thread slowed by other programs on its core takes fewer pieces. work gets
// a piece: begin and end its rows, index the thread's band (0 .. count - 1, for per-thread
// scratch). The pieces do not depend on the thread count; which band takes a piece does. Every
// piece runs once, on the threads that started (at least the calling one); threw counts the
// pieces whose work threw.
BandReport run_pieces(int nbProc, int n, int grain, const BandWork &work);

// Passes whose pixels cost a few nanoseconds each stay on the calling thread below this many
// pixels: a banded call costs 1 to 5 microseconds (workers spinning or asleep), a band of 2,000
// pixels about as much.
inline constexpr int64_t kBandedMinPixels = 16384;
// The thread count of such a pass over w x h pixels: nbProc from kBandedMinPixels on, else 0.
constexpr int level_threads(int nbProc, int64_t w, int64_t h)
{
    return w * h >= kBandedMinPixels ? nbProc : 0;
}

// memcpy and memset to 0 of n bytes in nbProc bands of 64 KB blocks: for large fresh buffers,
// whose first touches and copying then spread over the cores. The regions must not overlap.
void copy_banded(int nbProc, void *dst, const void *src, size_t n);
void zero_banded(int nbProc, void *dst, size_t n);

// Tests replace the thread start to make it fail; null restores pthread_create. Changing it
// stops the idle workers (it waits for a call in progress, so never call it from band work);
// while a replacement is set, each call starts its workers through it and stops them at its end,
// so every call sees the replacement's failures as it meets them.
using ThreadStartFn = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
void set_thread_start_for_testing(ThreadStartFn fn);

} // namespace imagecore
