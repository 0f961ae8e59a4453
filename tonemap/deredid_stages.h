// The three stages of the local (gradient-domain) operator as the tone-mapping job calls them,
// in this order and on one thread: 1 log luminance, pyramid and attenuated gradients; 2 the
// Poisson solve; 3 colour reconstruction into 8- or 16-bit RGB. Each returns an int and keeps
// no state between calls; each may start band threads of its own and joins them before it
// returns.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tonemap/tm_dim.h"
#include "tonemap/tm_params.h"

// Stage 1. docType: source kind 0..2; tmParam: method-1 slots (deredid_slider_mode picks the
// slider or the light variant); dims: the record of tm_dim for this image; lumParam (out, 7
// floats): [0] log-average luminance, [1] largest luminance / [0], [2] smallest luminance, then
// the natural-log luminance at the quantiles [3] f (0.5, moved off the ends of the range),
// [4] f / 2, [5] 1 - (1 - f) / 2 and [6] (100 - WhiteClip) / 100; table: exp_lut with offset
// -8; curve: 65536 floats for 16-bit sources, 256 for 8-bit ones, not read for rgbeBuf; dim: [0]
// width, [1] height, [2] spp, [5] source row length in samples for docType 1 and 2 (0: [6], the
// output row length, which every caller makes equal); hdrInfos: the caller's 28-byte block (not
// read); source: the source at its start, then scratch: sourceCapacity bytes, at least the
// source's size and 4 x max(dims[5], dims[6]), not preserved; work: max(dims[5], dims[6])
// floats, left holding the right-hand side of the Poisson equation over pyramid A (slider:
// levels 0 .. max(A - 2, 0); light: level 0).
// Out of core (opt.readFromDisk): docType 0 only; the source is the Radiance file at
// opt.tmpPath[0] (read by calc_tm0s), hdrInfos its size record as rgbe_dim2 fills it (int[7]),
// source is not used (may be null) and the log-luminance pyramid waits in a temporary file
// (slot 2; the decoded source goes through slot 1); no thread is started; the values are those
// of the run in memory but for pixels without light (calc_tm0s).
// Returns 0 on success; -1 a side of 9 or less or a refused luminance pass (nothing touched);
// -3 a null pointer, a docType outside 0..2, a record that does not fit the image or a buffer
// too small (nothing touched); -4 out of memory. Out of core also: -1 a docType other than 0 or a
// temporary file that cannot be created, -2 a temporary file that comes short, -3 a null
// hdrInfos or path slot 0, and calc_tm0s's codes for the Radiance file.
int calc_tm1(int docType, const float *tmParam, const tm_dims *dims, float *lumParam,
             const float *table, const float *curve, dim_param dim, void *hdrInfos,
             optim_param_struct opt, void *source, size_t sourceCapacity, float *work);

// Stage 2: solves the Poisson equation over pyramid A, whose coarsest level is width x height,
// whose levels hold total floats and number levels (tm_dims slots 7, 8, 5, 11): in slider mode
// by conjugate gradients coarse to fine (calc_tm2new2, levels - 1 levels, at least level 0), in
// light mode by multigrid (calc_tm2old). Leaves the solved luminance in linear units (exp of the
// solved log) in the first dim[0] x dim[1] floats of work. opt.readFromDisk solves out of core
// with the same values (see the two solvers). Returns 0 or more on success; -3 a null pointer or
// a work buffer (total) too small for the levels; -4 out of memory; the solvers' other negative
// codes.
int calc_tm2(int width, int height, int64_t total, int levels, const float *tmParam, float *work,
             dim_param dim, optim_param_struct opt);

// Stage 3: rebuilds each pixel's colour from source (a fresh copy, may be overwritten) and the
// w x h luminance of stage 2 (mapped in place to the display range first) into out, zeroed,
// interleaved, dim[4] = 8 or 16 bits, dim[2] samples a pixel, rows dim[6] samples apart.
// dim[5] is the source row length in samples of docType 1 and 2 (0: dim[6]). A uniform scene
// (lumParam's largest luminance no larger than its smallest) comes out in middle grey rather
// than white (Tm31Constants::flat in tonemap/deredid_colour.h).
// Out of core (opt.readFromDisk): docType 0 only, the source rows decoded one at a time from the
// Radiance file at opt.tmpPath[0] on the calling thread (source is not read; may be null).
// Returns the row count of the last band written (> 0) on success; 0 when nothing was written;
// negative on failure: -2 a worker thread that could not start (the bands of the others are
// written); -3 a null pointer, a docType outside 0..2 or rows shorter than the image (out of
// core: a docType other than 0 or a null path slot 0); -4 out of memory; -101 / -102 a negative
// smallest / largest luminance; out of core -1 the file cannot be opened, -2 it does not hold the
// image whole (the rows before are written). But for -2, nothing is written.
int calc_tm3(int docType, const float *tmParam, const float *lumParam, const float *table,
             const float *curve, void *source, dim_param dim, optim_param_struct opt,
             float *luminance, void *out);
