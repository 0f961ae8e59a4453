// Exposure fusion, stage 1: how much each photo of the stack contributes to each pixel (Mertens,
// Kautz and Van Reeth's well-exposedness, a Gaussian bell around mid-grey). Per photo a curve of
// the sample value, reshaped by the Shadows setting from how much of the photo is saturated; the
// channels mixed 0.2 / 0.7 / 0.1; an accentuation curve that sharpens the preference for the best
// exposed photo; a BlendingPoint factor favouring the brighter or the darker photos. The weights
// of a pixel are normalised to the full scale of the weight format.
//
// Stack layout (alignedPhotosBuf): photo k at sample k x w x h x spp, rows packed, 8-bit samples
// bytes, 16-bit samples uint16_t. Red, green and blue are samples 0, (spp - 1) / 2 and spp - 1
// of a pixel (a grey photo, spp 1, gives all three from its one sample). Weight maps: photo k's at
// sample k x w x h of poids, one sample a pixel: bitDepthPoids 8 (bytes, full scale 255), 16
// (uint16_t, 65535) or 32 (floats, 1).
#pragma once

#include <cstdint>
#include <cstdio>

// What one band of the weight stage needs, and its result.
struct WeightBandRecord {
    int width = 0;
    int height = 0;
    int spp = 0;
    int bpsIn = 0;
    int bitDepthPoids = 0;
    int n = 0;
    const int *indexFixedExpo = nullptr;
    const float *weightCurve = nullptr;
    const float *accentCurve = nullptr;
    const float *blendFactor = nullptr;
    const void *imagesBuffer = nullptr;
    void *poids = nullptr;
    const uint8_t *ghostMask = nullptr;
    int threadIndex = 0;
    int nbProc = 1; // bands the rows are split into
    int result = 0; // written by the band
};

// The weight maps of n photos into poids. tmParam slots read: kFuAccentuation, kFuBlendingPoint,
// kFuShadows (NaN reads as 0). is32 non-zero (32-bit output) makes the accentuation curve linear.
// Bands of rows on nbProc workers (the banded runner: at most 32); a band whose thread cannot start
// runs on the calling thread. exposureTimes and out are not read. readFromDisk non-zero (the
// out-of-core mode) weighs the rows of the stack written to fpSource (the alignedPhotosBuf layout)
// on the calling thread, reading each row of every photo into rowBuffer (n x w x spp samples);
// imagesBuffer still gives the statistics. indexFixedExpo (n ints, or null) with indexFixedExpo[0]
// >= 0 turns on ghost handling: at a pixel whose bit is set in plane indexPhotoNotMerged[k] of
// ghostMask (planes of w x h bits, plane j from bit j x w x h, most significant bit first), the
// first such photo k takes all the weight. A null ghostMask leaves ghost handling off. Returns the
// rows of the last band (positive); -3 for a null pointer, n, w or h below 1, spp other than 1 or
// 3, bpsIn other than 8 or 16, bitDepthPoids other than 8, 16 or 32, or readFromDisk without
// fpSource and rowBuffer; -3 also when a row cannot be read from fpSource; -4 when memory runs out.
int fusion1(int nbProc, const float *tmParam, int n, int w, int h, int spp, int bpsIn,
            int bitDepthPoids, int is32, const float *exposureTimes, int readFromDisk,
            FILE *fpSource, void *rowBuffer, const void *imagesBuffer, const int *indexFixedExpo,
            const uint8_t *ghostMask, void *out, void *poids);

// Brightness statistics and order of a stack (bps 8 or 16; 16-bit samples enter the luma by their
// high byte):
// - surexNivo[k]: pixels with red, green and blue all above 250 (64000 for 16 bits), counted over
//   photos 0 .. k together (a running total);
// - medianKey[k]: with the luma (54 R + 183 G + 19 B) >> 8 histogram, the first bin whose
//   cumulative count exceeds floor(0.5 w h), times 256 when that bin is 5 or more; otherwise the
//   first bin exceeding floor(0.95 w h) (very dark photos rank below the others, by their
//   highlights);
// - photoOrder: photo indices by medianKey, largest first, ties to the lower index.
// Returns n; 0 when n < 1 (nothing written); -3 for a null pointer, w or h below 1, spp below 1 or
// another bps; -4 when memory runs out.
// The histograms are taken in nThreads bands (the same values at every thread count).
int stats_order_photos(int n, int w, int h, int spp, int bps, const void *imagesBuffer,
                       int *surexNivo, int *medianKey, int *photoOrder, int nThreads = 0);

// The weights of `rows` rows. photos, ghostMask and poids point at the band's first row;
// fullHeight is the image height, which spaces the photos (k x w x fullHeight x spp samples) and
// the maps (k x w x fullHeight samples). maskFirstBit is the bit of *ghostMask (counted from its
// most significant bit) that belongs to the band's first pixel: a band need not start on a byte.
// weightCurve holds n tables of 256 (bpsIn 8) or 65536 (16) floats, accentCurve 65536 floats,
// blendFactor n floats (0: none). Per pixel and photo k, x = trunc(c[R] 13107.2 + c[G] 45875.2 +
// c[B] 6553.6) limited to 65535 (double precision, c photo k's curve), raw weight accentCurve[x]
// times blendFactor[k] when that is above 0 (single precision); the stored weight is raw x
// 2^bitDepthPoids / sum of the raw weights (double precision), rounded to nearest with halves
// down and limited to the full scale, or raw / sum for floats; 0 when the sum is 0.
// readFromDisk non-zero takes the rows from fp instead of photos (which is not read): rows 0 ..
// rows - 1 of the stack written there, photo k's row y at sample (k x fullHeight + y) x w x spp,
// each row of every photo read into rowBuffer (n x w x spp samples) before it is weighed.
// Returns rows (0 when rows < 1); -3 for a null pointer, a bad size or depth, or a row that
// cannot be read from fp; -4 out of memory.
int adj1b_orig(int n, int w, int rows, int fullHeight, int spp, int bpsIn, int bitDepthPoids,
               const float *weightCurve, const float *accentCurve, const float *blendFactor,
               int readFromDisk, FILE *fp, void *rowBuffer, const void *photos,
               const int *indexFixedExpo, const uint8_t *ghostMask, void *poids,
               int maskFirstBit = 0);

// One band of the weight stage: rows threadIndex x floor(height / nbProc) onwards, the last band
// taking the rest; offsets the photo, mask and weight pointers to its first row, runs adj1b_orig
// and stores its result in the record.
void adj1b_threaded(WeightBandRecord *record);
