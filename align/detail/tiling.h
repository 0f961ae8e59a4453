// The tiles of the feature-based aligner: tiles of at most 1024 x 1024 pixels over the photo,
// an extra column or row for a remainder of 257 pixels or more, each detected over a region
// that reaches 20 pixels into its neighbours.
#pragma once

#include <utility>
#include <vector>

namespace align::detail {

// A tile's detection region: x0 <= x < x0 + w, y0 <= y < y0 + h.
struct Region {
    int x0, y0, w, h;
};

struct Tiling {
    int nx = 0, ny = 0;     // tiles across and down
    int matchesPerTile = 0; // pair budget of each tile
    std::vector<std::pair<int, int>> origins; // top-left corner of each tile, x fastest
    std::vector<Region> regions;
};

// The tiling of a width x height photo with a pair budget shared by the tiles of whole size;
// no tile for a side below 1.
Tiling make_tiling(int width, int height, int budget);

} // namespace align::detail
