// The overlapping tiles a photo side is cut into: tiles of step pixels whose covered ranges
// reach 32 pixels into their neighbours, plus 8 pixels of padding at each image edge.
#pragma once

namespace denoise::detail {

inline constexpr int kTileOverlap = 32;
inline constexpr int kTileEdgePad = 8;
inline constexpr int kMinTile = 64; // the overlap of both sides must fit inside a step

// One tile along one side, in image coordinates (half-open ranges).
struct TileSpan {
    int begin = 0, end = 0;          // covered pixels, read from the image
    int padBefore = 0, padAfter = 0; // repeated edge pixels at an image edge
    int mainBegin = 0, mainEnd = 0; // pixels this tile delivers; the main ranges partition the side
    int extent() const { return end - begin + padBefore + padAfter; }
};

struct TileGrid {
    int side = 0, step = 0, count = 0;
    int maxExtent = 0; // the largest padded extent over all tiles of the side
    TileSpan tile(int k) const;
};

// The grid of a side of 1 .. 2^30 pixels with tiles of maxTile (at least kMinTile):
// step = min(side + 16, maxTile), count = (side + 16) / step.
TileGrid tile_grid(int side, int maxTile);

} // namespace denoise::detail
