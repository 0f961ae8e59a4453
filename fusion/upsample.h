// Up-sampling of one pyramid level to the size of the next finer level by the 2 x 2
// interpolation of the fusion collapse, written alone into a separate buffer: no addition, no
// offset, no limiting. The opposite direction of fusion21a.
#pragma once

// Enlarges the coarse level (coarseW x (fineH + 1) / 2 pixels of spp samples at sample
// initCoarse of source) to the fine level (fineW x fineH at sample initFine of destination).
// Samples are bytes (bps 8), uint16_t (16) or floats (32), the same in both buffers. Odd fine
// pixels average their two or four coarse neighbours (truncating shifts for integers); where a
// neighbour is missing (last column or row of an even side) the pixel takes its own coarse
// column or row alone, except that with is360 the last column averages towards column 0.
// coarseHeight is not read.
// Returns fineH when it is odd, fineH - 1 when even (the last row counted apart); 0 for another
// bps (nothing written); -3 for a null buffer, a side or spp below 1, coarseW other than the
// halved fineW, or a negative offset.
int adjust22b(int fineW, int fineH, int coarseW, int coarseHeight, int spp, int bps, int is360,
              int initFine, int initCoarse, const void *source, void *destination);
