// The pyramid noise filter of one tile: four levels, each cleaned by a similarity-weighted 5 x 5
// filter and a similarity-weighted sharpening, coarser levels made by decimation, and an
// edge-aware upsampling that carries the cleaned coarse levels back up while each level keeps
// its own detail as a difference (a guided, Laplacian-like pyramid).
//
// Buffers hold 3 floats a pixel (R, G, B, or a triple of the filter) in 8-bit units, row-major,
// each level with its own width as the row stride. procRect is {x0, x1, y0, y1}, half-open.
#pragma once

#include "denoise/nr_params.h"

// Per-band work record of the two threaded passes.
struct bandJob {
    int width = 0, height = 0, spp = 3;
    int procRect[4] = {};
    int level = 0;
    const NrDerived *params = nullptr;
    float *detail = nullptr;
    float *filteredBuf = nullptr;
    float *scratchBuf = nullptr;
    float *image = nullptr;
    int band = 0, bandCount = 1; // rows of the band: imagecore::band_rows over procRect's rows
    int result = 0;
};

// Filters the padded w x h tile held in level 0 of pyramidBuf in place. Level L + 1 is
// ((w_L + 1) / 2) x ((h_L + 1) / 2); pyramidBuf and detailBuf hold levels 0..3 back to back
// (3 floats a pixel), filteredBuf and scratchBuf 3 w h floats each. procRect: the level-0 pixels
// to deliver, at least 2 from the tile's border; rewritten with the coarse levels' rectangles.
// nThreads: row bands of levels 0 and 1 (below 2: the calling thread). tileEdges is not read.
// Every buffer value it reads it has written first, so the result depends on the tile alone.
// Returns 0; -3 when w or h is below 9 (too small for three halvings that the upsampling can
// take), spp is not 3, a pointer is null or procRect does not lie
// 2 inside the tile (nothing written).
int denoise_tile(int w, int h, int *procRect, int spp, const int *tileEdges, int nThreads,
                 const NrDerived &params, float *detailBuf, float *filteredBuf, float *scratchBuf,
                 float *pyramidBuf);

// One level step on image (w x h): scratchBuf gets the luma/chroma triple (Y, Cb, Cr) of every
// pixel, filteredBuf the filtered level, detail the filter's triple (strength, threshold,
// rolloff) inside procRect; then image inside procRect is replaced by its sharpened form.
// procRect lies at least 2 inside the level.
void noiseReduce_set(int level, int w, int h, int *procRect, int spp, int nThreads,
                     const NrDerived &params, float *detail, float *filteredBuf, float *scratchBuf,
                     float *image);

// Filter pass over the rows and columns of procRect: reads image and scratchBuf (neighbours up to
// 2 away), writes filteredBuf and detail at those pixels only. Returns the rows done.
int noiseReduce_orig(int level, int w, int h, const int *procRect, int spp, const NrDerived &params,
                     const float *image, const float *scratchBuf, float *detail,
                     float *filteredBuf);

// Sharpening pass over procRect: reads filteredBuf (neighbours up to 2 away) and detail, writes
// image at those pixels only. Returns the rows done.
int sharpen_orig(int level, int w, int h, const int *procRect, int spp, const NrDerived &params,
                 const float *filteredBuf, const float *detail, float *image);

// Band workers: run the pass above on the job's band of rows and store its result.
void nr_threaded(bandJob *job);
void sharpen_threaded(bandJob *job);

// Upsamples coarse ((w + 1) / 2 x (h + 1) / 2) to w x h into out, each pixel from the coarse
// pixels around it weighted by the similarity of fine (the w x h guide) at the matching
// positions. Rows 0 and h - 1 and columns 0 and w - 1, which the interpolation does not reach,
// repeat their nearest inner neighbour. Nothing happens when h or w is below 3. tileEdges is
// not read. Returns h (0 when nothing was written).
int similarityReconstruct(int w, int h, const int *tileEdges, const float *coarse,
                          const float *fine, float *out);
