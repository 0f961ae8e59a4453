// Smaller copies of an image for thumbnails and previews (nearest-sample decimation, bilinear
// resampling, power-of-two subsampling), the pyramid sizes the fusion and the preset thumbnails
// allocate for, and rectangles cut out of one image or a stack.
//
// Interleaved routines copy channels 0, (spp - 1) / 2 and spp - 1 of a pixel (every channel for
// 1 or 3 samples) into the same positions of a destination pixel of spp samples; other samples
// are left as they are. Halving a side d gives d / 2 + d % 2. The 1-bit layout packs bits most
// significant first, rows unpadded: pixel (x, y) is bit y x width + x. Source coordinates are
// computed in single precision and truncated. Nothing is allocated; nothing is written before a
// negative return.
#pragma once

#include <cstdint>

// Nearest-sample reduction of an interleaved image (srcBps 8 or 16, packed rows) to an 8-bit one
// (packed rows): destination (i, j) takes source (trunc(i x srcW / dstW), trunc(j x srcH / dstH)),
// each quotient in single precision; 16-bit samples give their high byte.
// Returns dstH; 0 when dstW or dstH is below 1 (nothing written); -1 when dstBps is not 8,
// srcBps is neither 8 nor 16, a source side or spp is below 1; -3 when a buffer is null.
int downsample_decimate(int srcW, int srcH, int dstW, int dstH, int srcSpp, int dstSpp, int srcBps,
                        int dstBps, const void *source, uint8_t *destination);

// Bilinear resampling. bps 8 or 16: interleaved, spp samples a pixel, rows srcStride and
// dstStride samples apart; channels at offsets 0, 1, 2 (0, 0, 0 for spp 1). bps 32: rgbeBuf in
// and out, strides not read. Columns 0 .. dstW - 2 of rows 0 .. dstH - 2 are interpolated; the
// last column and the last row copy their neighbours. Neighbours past the source's last row or
// column are taken from it, so any size is safe.
// Returns dstH - 1 (the rows interpolated); 0 when dstW or dstH is below 2 (nothing written);
// -3 for a null buffer, a source side or spp below 1, a stride shorter than its row or another
// bps.
int kv_downsample(int srcW, int srcH, int srcStride, int dstW, int dstH, int dstStride, int spp,
                  int bps, const void *source, void *destination);

// The outW x outH preview that keeps every 2^k-th pixel of every 2^k-th row, k the number of
// halvings of both sides that brings the width to outW (at most log2 of the mean side; sides
// halve only while both exceed 3). bps 8 (rowStride in bytes) and 16 (rowStride in samples;
// with to8bit non-zero the destination takes the high bytes, else 16-bit samples), packed
// destination rows of spp samples; bps 32 rgbeBuf in and out; bps 1 bits OR-ed into a
// zero-filled destination. unused is not read.
// Returns outH (the rows written); 0 for another bps; -1 when a side of the input or the output
// is 4 or less, or spp is below 1, or rowStride is shorter than a row; -3 for a null buffer;
// -5 when no number of halvings gives exactly outW x outH.
int extract_basepreview(int bps, int inW, int inH, int spp, int rowStride, int outW, int outH,
                        int to8bit, const void *source, void *unused, void *destination);

// Level count L of the pyramid of a w x h image: trunc(ln(min side) / ln 2) - 1, the quotient in
// single precision; -1 when a side is 1 or less.
int pyram_levels(int w, int h);

// Pixels of all levels 0 .. L of the pyramid of a w x h image (pyram_levels), each level the
// halved size of the one before; w x h when L < 1 (a side of 1 or less).
// Returns that count; -1 when a side is negative or the count exceeds the int range.
int pyram_len(int w, int h);

// Picks the pyramid level of a w x h image whose larger side suits target: halvings of both sides
// (each only while both exceed 3) until the larger side is at most target, at most
// trunc(log2((w + h) / 2)) of them; the level is the number of halvings before the one that
// fitted, less one when the side before that halving lay nearer the target than the side after
// it. Stores the level's size in outW and outH (w and h for level 0).
// Returns the level, 0 when the image already fits or the level is below 1; -3 when a side is
// below 1 or an out-parameter is null (nothing stored).
int levelForTargetDim(int target, int w, int h, int *outW, int *outH);

// Copies the outW x outH rectangle whose top-left pixel is (x0, y0).
// One image (nPhotos below 2): bps 8 (rowStride bytes) and 16 (rowStride samples) into packed
// rows of spp samples; bps 32 the four rgbeBuf planes (rowStride not read); bps 1 bits OR-ed into
// a zero-filled destination. Returns outH; 0 for another bps.
// A stack (nPhotos 2 or more, photo k at sample k x inH x rowStride): the rectangle of every photo
// in turn, photo after photo, into 8-bit packed rows of spp samples (16-bit samples give their
// high byte). Returns y0 + outH for bps 8 and 16; 0 for another bps (nothing written).
// Either: -1 when a side of the input or output is below 5, spp is below 1 or rowStride (bps 8,
// 16) is shorter than a row; -2 when the rectangle does not lie wholly inside the source;
// -3 for a null buffer.
int extract_crop(int nPhotos, int inW, int inH, int spp, int rowStride, int bps, int outW, int outH,
                 int x0, int y0, const void *source, void *destination);
