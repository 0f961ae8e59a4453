// Pieces of the local operator's stages 1 and 2 shared between them and with the tests: the
// level layout both stages agree on, the pyramid transfers, the gradient and divergence steps,
// and the slider readings of each stage.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "tonemap/thread_count.h"

namespace tonemap::detail {

// One level of a pyramid in the shared work buffer: w x h floats, row-major, at offset.
struct Level {
    int64_t w = 0, h = 0;
    int64_t offset = 0;
    int64_t pixels() const { return w * h; }
};

// Levels 0 .. count - 1 of a w x h image, each ceil(w / 2) x ceil(h / 2) of the one before,
// back to back from offset 0. A level is halved only while both of its sides exceed 5 (the
// bound of pyramid B), so both stages stop at the same level on very elongated images; fewer
// than count levels come back then. count below 1 gives level 0 alone.
std::vector<Level> halving_levels(int64_t w, int64_t h, int count);

// Stage-1 readings of the method-1 record: attenuation exponent e (Luminosity), the factor of
// epsilon (Microsmoothing), the factor of alpha (Microcontrast), the 360-degree flag.
struct AttenuationParams {
    float e;
    float epsFactor;
    double sldA;
    int is360;
};
AttenuationParams attenuation_params(const float *tmParam);

// in: w x h (both >= 2), out: ceil(w / 2) x ceil(h / 2), each output pixel a binomial 3 x 3
// mean centred on input (2i, 2j), with border weights where input neighbours are missing; with
// is360 the left and right columns are neighbours (corners and the last row excepted) and the
// top row borrows its upper neighbours from the first pixel and the middle of its row. Output
// rows in threads.count bands (below 2 on the calling thread), as in every function here that
// takes a thread count: the values never depend on it.
void reduce_level(const float *in, int64_t w, int64_t h, int is360, float *out,
                  ThreadCount threads = ThreadCount(0));

// Replaces the w x h log luminance in place by its gradient magnitudes (central differences,
// one-sided on the borders, components above 100 in magnitude dropped) times s; with is360 the
// left and right columns wrap and the top row's upper neighbour is the middle of that row.
// Returns the sum of the magnitudes written in double precision (a float sum would drift with
// the level's size): each row's sum in index order, the rows' sums added in row order. Keeps two
// rows of scratch a band, and two rows at each band's edge.
double gradient_magnitudes(float *level, int64_t w, int64_t h, int is360, float s,
                           ThreadCount threads = ThreadCount(0));

// fine (fw x fh) *= coarse (ceil(fw / 2) x ceil(fh / 2)) spread over the fine grid by the means
// of its nearest coarse pixels; with is360 the last column of an even-width level averages with
// the first coarse column.
void multiply_upsampled(const float *coarse, int64_t cw, int64_t ch, float *fine, int64_t fw,
                        int64_t fh, int is360, ThreadCount threads = ThreadCount(0));

// P (w x h, the combined attenuation) is replaced by the divergence of P times the forward
// differences of L: for each existing neighbour, (L(n) - L(p)) x P at the pixel (right, lower)
// or at the neighbour (left, upper). No flux across the border, never wrapped.
void divergence(const float *L, float *P, int64_t w, int64_t h,
                ThreadCount threads = ThreadCount(0));

// Row y of a level held elsewhere (a file); null when it cannot be had. Rows are asked for once
// each, in order, and a row's pointer is read until two more rows have been asked for: a window
// of three rows serves.
using RowSource = std::function<const float *(int64_t y)>;
// divergence with the rows of L from a source; false (P partly written) when a row is missing.
bool divergence_rows(const RowSource &L, float *P, int64_t w, int64_t h);

// coarse (cw x ch, cw = ceil(fw / 2), ch = ceil(fh / 2)) spread over fine (fw x fh) as the
// conjugate-gradient solver's starting guess: coarse pixel, or the mean of the two or four
// around; an even fine side's last column or row repeats the coarse one, except that with
// is360 the last column averages with the first. coarse and fine do not overlap.
void prolongate(const float *coarse, int64_t cw, int64_t ch, float *fine, int64_t fw, int64_t fh,
                int is360, ThreadCount threads = ThreadCount(0));
// Row y of prolongate from coarse row y / 2 (row) and, for an odd y, the row below it (next; null
// past the coarse level's last row).
void prolongate_row(const float *row, const float *next, int64_t cw, float *fine, int64_t fw,
                    int64_t y, int is360);

// Slider readings of stage 2: iteration budget trunc(50 x 3^(s / 10)) from slot 17, base
// tolerance from slot 18 truncated, and the factor of a level of w x h (0.0001 at the coarsest
// level, else 1 up to a mean side of 1600 and 20 ln(mean side / 1000) above).
int cg_max_iterations(float slot17);
float cg_base_tolerance(float slot18);
float cg_tolerance_factor(int64_t w, int64_t h, bool coarsest);

} // namespace tonemap::detail
