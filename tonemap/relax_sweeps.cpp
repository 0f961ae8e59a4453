// Red-black relaxation of one pyramid level: each cell becomes (sum of its neighbours - s x f)
// times 1 / (number of neighbours), with 0.3333 (not 1/3) for three neighbours, applied in
// double precision; edges and corners have fewer neighbours unless the 360-degree wrap joins
// the left and right borders.
#include "tonemap/relax_sweeps.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <new>
#include <sys/types.h>
#include <vector>

#include "imagecore/banded.h"

namespace {

constexpr int kTraceBlur = 0;

inline float by_quarter(float sum, float sf)
{
    return (sum - sf) * 0.25f;
}
inline float by_half(float sum, float sf)
{
    return (sum - sf) * 0.5f;
}
inline float by_third(float sum, float sf)
{
    return static_cast<float>(static_cast<double>(sum - sf) * 0.3333);
}

// Top row (u and f at the level's start), cells of colour from left to right.
void relax_top_row(int colour, int64_t w, int is360, float *u, const float *f, float s)
{
    const float *below = u + w;
    for (int64_t c = colour; c < w; c += 2) {
        const float sf = s * f[c];
        if (is360) {
            const float p = u[w / 2]; // as it stands now: it may have moved earlier in this row
            if (c == 0)
                u[c] = by_quarter(p + u[w - 1] + u[1] + below[0], sf);
            else if (c == w - 1)
                u[c] = by_quarter(p + u[w - 2] + u[0] + below[c], sf);
            else
                u[c] = by_quarter(p + u[c - 1] + u[c + 1] + below[c], sf);
        } else if (c == 0) {
            u[c] = by_half(u[1] + below[0], sf);
        } else if (c == w - 1) {
            u[c] = by_half(u[w - 2] + below[c], sf);
        } else {
            u[c] = by_third(u[c - 1] + u[c + 1] + below[c], sf);
        }
    }
}

// Bottom row (u and f at the row's start), cells of parity first.
void relax_bottom_row(int64_t first, int64_t w, int is360, float *u, const float *f, float s)
{
    const float *above = u - w;
    for (int64_t c = first; c < w; c += 2) {
        const float sf = s * f[c];
        if (c == 0)
            u[c] = is360 ? by_third(u[w - 1] + u[1] + above[0], sf) : by_half(u[1] + above[0], sf);
        else if (c == w - 1)
            u[c] =
                is360 ? by_third(u[w - 2] + u[0] + above[c], sf) : by_half(u[w - 2] + above[c], sf);
        else
            u[c] = by_third(u[c - 1] + u[c + 1] + above[c], sf);
    }
}

// An interior row (u and f at the row's start), cells of parity first: the edge cells outside
// the tight loop over every second cell.
void relax_interior_row(int64_t first, int64_t w, int is360, float *u, const float *f, float s)
{
    const float *up = u - w, *down = u + w;
    int64_t c = first;
    if (c == 0) {
        const float sf = s * f[0];
        u[0] = is360 ? by_quarter(up[0] + down[0] + u[w - 1] + u[1], sf)
                     : by_third(up[0] + down[0] + u[1], sf);
        c = 2;
    }
    for (; c < w - 1; c += 2)
        u[c] = by_quarter(up[c] + down[c] + u[c - 1] + u[c + 1], s * f[c]);
    if (c == w - 1) {
        const float sf = s * f[c];
        u[c] = is360 ? by_quarter(up[c] + down[c] + u[c - 1] + u[0], sf)
                     : by_third(up[c] + down[c] + u[c - 1], sf);
    }
}

bool level_ok(int64_t w, int64_t h, int64_t o, const float *u, const float *f)
{
    return u && f && w >= 2 && h >= 2 && w <= INT_MAX && h <= INT_MAX && o >= 0 &&
           o <= INT64_MAX - w * h;
}

// One sweep: red then black, each top row, interior rows (in bands), bottom row.
void sweep(int nbProc, int64_t w, int64_t h, int is360, int64_t o, float *u, const float *f,
           float s)
{
    float *top = u + o, *bottom = u + o + (h - 1) * w;
    const float *ftop = f + o, *fbottom = f + o + (h - 1) * w;
    for (int colour = 0; colour < 2; ++colour) {
        relax_top_row(colour, w, is360, top, ftop, s);
        blur2i(nbProc, colour, w, h, is360, o, u, f, s);
        relax_bottom_row((colour + (h - 1)) % 2, w, is360, bottom, fbottom, s);
    }
}

// Row r of the level (u and f at the row's start), cells of colour: the top, an interior or the
// bottom row, as one sweep relaxes it.
void relax_row(int colour, int64_t r, int64_t w, int64_t h, int is360, float *u, const float *f,
               float s)
{
    if (r == 0)
        relax_top_row(colour, w, is360, u, f, s);
    else if (r < h - 1)
        relax_interior_row((colour + r) % 2, w, is360, u, f, s);
    else
        relax_bottom_row((colour + r) % 2, w, is360, u, f, s);
}

// One sweep with f read row by row from stream, the level's rows from byte 4 x o: the rows of
// each colour in order, as sweep takes them. Returns 0, or blur1's codes.
int streamed_sweep(int64_t w, int64_t h, int is360, int64_t o, float *u, FILE *stream, float *frow,
                   float s)
{
    for (int colour = 0; colour < 2; ++colour) {
        if (::fseeko(stream, static_cast<off_t>(4 * o), SEEK_SET) != 0) {
            if (kTraceBlur)
                std::printf(colour == 0 ? "fseek blur1 failed for %ld\n"
                                        : "fseek2 blur1 failed for %ld\n",
                            static_cast<long>(colour == 0 ? o : 4 * o));
            return -1;
        }
        for (int64_t r = 0; r < h; ++r) {
            if (std::fread(frow, sizeof(float), static_cast<size_t>(w), stream) !=
                static_cast<size_t>(w)) {
                if (kTraceBlur && colour == 0 && r == 0)
                    std::printf("could not read from temporary file iofp11");
                return -2;
            }
            relax_row(colour, r, w, h, is360, u + o + r * w, frow, s);
        }
    }
    return 0;
}

} // namespace

void blur2i_orig(int colour, int64_t w, int64_t rows, int is360, int64_t start, float *u,
                 const float *f, float s)
{
    for (int64_t r = 1; r < rows - 1; ++r) {
        const int64_t first = colour == 0 ? r % 2 : 1 - r % 2;
        relax_interior_row(first, w, is360, u + start + r * w, f + start + r * w, s);
    }
}

void *blur2i_threaded(void *record)
{
    const blur_band_record &rec = *static_cast<const blur_band_record *>(record);
    if (rec.bandCount < 1 || rec.band < 0 || rec.band >= rec.bandCount || rec.h < 2)
        return nullptr;
    const imagecore::Band band =
        imagecore::band_rows(rec.band, rec.bandCount, static_cast<int>(rec.h));
    // The region reaches the row above the band and the row below it: the neighbours the band
    // reads but leaves to the bands beside it.
    const int64_t g0 = band.begin == 0 ? 0 : band.begin - 1;
    const int64_t last = std::min<int64_t>(band.end, rec.h - 1);
    const int colour = g0 % 2 == 0 ? rec.colour : 1 - rec.colour;
    blur2i_orig(colour, rec.w, last - g0 + 1, rec.is360, rec.o + g0 * rec.w, rec.u, rec.f, rec.s);
    return nullptr;
}

void blur2i(int nbProc, int colour, int64_t w, int64_t h, int is360, int64_t o, float *u,
            const float *f, float s)
{
    const blur_band_record shared{w, h, s, o, is360, colour, u, f, 0, 1};
    // A band that could not start runs alone on the calling thread after the join; redoing every
    // band there would relax the wrapped column twice and change the values.
    imagecore::run_banded(
        nbProc, static_cast<int>(h),
        [&shared](const imagecore::Band &band) {
            blur_band_record rec = shared;
            rec.band = band.index;
            rec.bandCount = band.count;
            blur2i_threaded(&rec);
        },
        imagecore::BandFallback::Inline);
}

int blur1(int64_t w, int64_t h, int sweeps, int is360, int64_t o, float *u, int streaming,
          FILE *stream, const float *f, float s)
{
    if (sweeps < 1)
        return 0;
    if (streaming) {
        // f is not in memory: the level's shape is checked against a stand-in.
        if (!stream || !level_ok(w, h, o, u, u) || o > INT64_MAX / 4)
            return -3;
        std::vector<float> frow;
        try {
            frow.resize(static_cast<size_t>(w));
        } catch (const std::bad_alloc &) {
            return -4;
        }
        for (int i = 0; i < sweeps; ++i)
            if (const int rc = streamed_sweep(w, h, is360, o, u, stream, frow.data(), s); rc < 0)
                return rc;
        return sweeps;
    }
    if (!level_ok(w, h, o, u, f))
        return -3;
    for (int i = 0; i < sweeps; ++i)
        sweep(1, w, h, is360, o, u, f, s);
    return sweeps;
}

int blur2(int nbProc, int64_t w, int64_t h, int sweeps, int is360, int64_t o, float *u,
          const float *f, float s)
{
    if (sweeps < 1)
        return 1;
    if (!level_ok(w, h, o, u, f))
        return -3;
    for (int i = 0; i < sweeps; ++i)
        sweep(nbProc, w, h, is360, o, u, f, s);
    return 1;
}

int blur0(int nbProc, int64_t w, int64_t h, int sweeps, int is360, int64_t o, float *u,
          int streaming, FILE *stream, const float *f, float s)
{
    if (sweeps < 1)
        return 1;
    if (nbProc > 1 && w > 0 && h > 0 && w > kBlurMinThreadedPixels / h)
        return blur2(nbProc, w, h, sweeps, is360, o, u, f, s);
    return blur1(w, h, sweeps, is360, o, u, streaming, stream, f, s);
}
