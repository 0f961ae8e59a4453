// The one runner of banded work: rows split into nbProc horizontal bands of rows / nbProc rows,
// the last band taking the rest, one joinable POSIX thread per band, all joined before return.
// A band writes only its own rows; kernels that reduce combine per-band partials in band order,
// so results never depend on the thread count.
#pragma once

#include <array>
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
    int notStarted = 0;                // bands whose thread could not be started
    int threw = 0;                     // bands whose work ended by an exception
    bool complete() const { return notStarted == 0 && threw == 0; }
};

// What to do with bands whose thread did not start.
enum class BandFallback {
    Report,  // nothing: the caller reads the report (and fails with -2, say)
    Inline,  // run just those bands on the calling thread, after the join
    RedoAll, // run every band again on the calling thread (work that can be repeated)
};

using BandWork = std::function<void(const Band &)>;

// Splits n rows into band_count(nbProc, n) bands and runs work on each. One band runs on the
// calling thread without a thread; with more, each band gets a joinable thread. Work must not
// throw; an exception is caught in its thread and counted. n < 1 does nothing.
BandReport run_banded(int nbProc, int n, const BandWork &work,
                      BandFallback fallback = BandFallback::Inline);
// The same over vector chunks (band_chunk).
BandReport run_chunked(int nbProc, int n, const BandWork &work,
                       BandFallback fallback = BandFallback::Inline);

// Tests replace the thread start to make it fail; null restores pthread_create.
using ThreadStartFn = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
void set_thread_start_for_testing(ThreadStartFn fn);

} // namespace imagecore
