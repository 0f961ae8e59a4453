// Exposure fusion, the multi-resolution blend: Gaussian pyramids of a photo and of its weight map
// by a 3 x 3 binomial reduce step, and the photo's band-pass (Laplacian) levels, each multiplied
// by the weights of its level, added into one blended pyramid (Burt and Adelson's pyramid
// blending as used by Mertens, Kautz and Van Reeth's exposure fusion).
//
// Pyramid layout: levels 0 .. L one after another, level 0 w x h, level k + 1 of
// ceil(w_k / 2) x ceil(h_k / 2) pixels, rows top to bottom with the samples of a pixel
// interleaved; offsets passed in are sample indices of the start of a level. Coarse pixel (i, j)
// sits on fine pixel (2i, 2j).
// Samples by bit depth: 8 unsigned bytes (weights only, W / 256), 16 unsigned 16-bit integers
// (photos at 15 bits, 0..32767; weights W / 65536; the blended band levels offset by 32767, the
// coarsest level without offset), 32 floats (weights are the fraction itself).
// is360 non-zero wraps columns, never rows: the left and right image borders are neighbours.
// Everything runs over the caller's buffers and allocates nothing; nThreads splits the rows of
// each level of at least 16384 pixels into bands (below 2, or weights read from a file: the
// calling thread). Every row's values are the same in any band, so the results are the same at
// every thread count.
#pragma once

#include <cstdio>

// The reduce step: filters the fine level (fineW x fineH at sample initFine of buffer, spp
// samples a pixel) with the binomial kernel (4, 2, 1 sixteenths) and keeps every second pixel
// into the coarse level at sample initCoarse of the same buffer (the two must not overlap).
// Integer depths shift each of the kernel's three terms on its own. Pixels on a border take a
// kernel of the neighbours inside the image: centre 0.333, the three neighbours along and across
// the border 0.1667, the two inner diagonals 1/12, in double precision, truncated for integers;
// corners half the centre and a quarter of each of their two neighbours.
// Returns coarseH; 0 (nothing written) when the bit depth is not 8, 16 or 32, a fine side is
// below 2, the coarse sides are not the halved fine ones, spp is below 1, an offset is negative,
// the levels overlap or buffer is null.
int fusion21a(int fineW, int fineH, int coarseW, int coarseH, int spp, int bitDepth, int is360,
              int initFine, int initCoarse, void *buffer, int nThreads = 0);

// The Gaussian pyramid of one weight map, in place: level 0 (w x h, one sample a pixel, at the
// start of pyramPoids, bitDepthPoids 8, 16 or 32) must be filled; levels 1 .. rangMax are written.
// Returns rangMax; 0 when rangMax is below 1 (nothing written); -3 when pyramPoids is null, the
// depth is not 8, 16 or 32, or rangMax exceeds pyram_levels(w, h).
int fusion21(int rangMax, int w, int h, int bitDepthPoids, int is360, void *pyramPoids,
             int nThreads = 0);

// The blend of one photo. Level 0 of out (spp x pyram_len(w, h) samples of bitDepthFusion bits)
// holds the photo; pyramPoids holds its weight pyramid (fusion21). Builds the photo's Gaussian
// pyramid in out (levels 0 .. rangMax) and adds, level by level, its band values times the
// weights of the level into fusionPyramid (the layout of out), and at level rangMax its weighted
// low-pass values (with rangMax below 1 only that, on level 0). 16-bit: the band levels are
// limited to 0..65535 after the photo, the coarsest level saturates at 65535. bpsOut is not
// read. Out of core (pyramPoids null) the weight pyramid is read from fpPyramPoids (the layout of
// pyramPoids from its start): level 0 a row at a time into rowBuffer (w weights), every other
// level whole into the start of out, whose level 0 is no longer needed then; the sums are the
// same.
// Returns rangMax + 1 (the levels blended, at least 1); -1 when neither pyramPoids nor
// fpPyramPoids is given; -3 for a null out or fusionPyramid (or rowBuffer out of core), spp other
// than 1 or 3, bitDepthFusion other than 16 or 32, bitDepthPoids other than 8, 16 or 32, rangMax
// above pyram_levels(w, h), or a failed seek or short read of fpPyramPoids.
int fusion22(int rangMax, int w, int h, int spp, int bpsOut, int bitDepthFusion, int bitDepthPoids,
             int is360, const void *pyramPoids, FILE *fpPyramPoids, void *rowBuffer, void *out,
             void *fusionPyramid, int nThreads = 0);

// The band blend of one level: expands coarse level (coarseW x coarseH at sample initCoarse of
// out) to the fine level's size (fineW x fineH at initFine), and adds (fine - expanded) times the
// weight fraction at sample positPoidsPyram of pyramPoids (one sample a pixel) into fusionPyramid
// at initFine. 16 bits: the product in single precision truncated toward zero, the sum limited to
// 0..65535; 32 bits: floats, unlimited. fromDisk non-zero reads the weights from fpPyramPoids
// instead (sample positPoidsPyram on), a row at a time into rowBuffer (fineW weights).
// Returns fineH; 0 (nothing written) for a bitDepthFusion other than 16 or 32, a bitDepthPoids
// other than 8, 16 or 32, coarse sides that are not the halved fine ones, a side or spp below 1,
// a negative offset or a null buffer; -3 when fromDisk is set without fpPyramPoids or rowBuffer,
// or a weight row cannot be read (the rows before it are blended).
int fusion22et23(int fineW, int fineH, int coarseW, int coarseH, int spp, int bitDepthFusion,
                 int bitDepthPoids, int is360, int fromDisk, FILE *fpPyramPoids, void *rowBuffer,
                 int positPoidsPyram, int initFine, int initCoarse, const void *pyramPoids,
                 const void *out, void *fusionPyramid, int nThreads = 0);
