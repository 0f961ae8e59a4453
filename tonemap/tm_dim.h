// Pyramid dimensions of the local (gradient-domain) operator: the level counts and sizes of its
// two image pyramids and the float counts that size the one shared work buffer.
// Pyramid A halves each side (rounding up) while both exceed 9 pixels, pyramid B while both
// exceed 5; a level that can no longer be halved is counted again at the same size.
#pragma once

#include <cstdint>

// tm_dims: thirteen signed 64-bit integers.
inline constexpr int kTmDimsCount = 13;
enum TmDimsSlot : int {
    kTdReserved = 0, // set to 0 by the caller, never written here
    kTdWidth = 1,
    kTdHeight = 2,
    kTdGridWidth = 3, // the grid the log-luminance map lies on (equal to the image)
    kTdGridHeight = 4,
    kTdTotalA = 5, // pixels of all levels of pyramid A
    kTdTotalB = 6,
    kTdCoarseWidthA = 7,
    kTdCoarseHeightA = 8,
    kTdCoarseWidthB = 9,
    kTdCoarseHeightB = 10,
    kTdLevelsA = 11, // halvings below full size
    kTdLevelsB = 12,
};
struct tm_dims {
    int64_t v[kTmDimsCount];
};

// Fills slots 1..12 of out for a w x h image with the tmParam record p (method-1 slots; reads
// p[16], the smoothing mode, and in light mode (p[16] truncated to 0) the level p[5], truncated
// and clamped to 0..4, which adds 2 - level levels to A and fixes B at 4 levels). Returns the
// level count of A (at least 1); -1 when w <= 9 or h <= 9, out then untouched; -3 when a
// pointer is null.
int tm_dim(int w, int h, const float *p, tm_dims *out);

// The same with the extra levels of A and the level count of B given (levelsB 0 stands for the
// level count of A plus 3). Returns the level count of A; -1 for a side of 9 or less; -3 when
// out is null.
int tm_dimSAV(int w, int h, int extraLevels, int levelsB, tm_dims *out);
