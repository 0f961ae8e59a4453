// Sharing a budget of points or pairs among the cells of a grid over a tile, so that a fit
// through them sees the whole tile rather than its most textured corner.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

namespace align::detail {

// Cells of the grid along each side.
inline constexpr int kSpreadGrid = 8;

// The cell of position (x, y) in an area of width x height (positions inside the area).
inline int spread_cell(int x, int y, int width, int height)
{
    const int cx = int(long(x) * kSpreadGrid / width), cy = int(long(y) * kSpreadGrid / height);
    return (cy < 0              ? 0
            : cy >= kSpreadGrid ? kSpreadGrid - 1
                                : cy) *
               kSpreadGrid +
           (cx < 0              ? 0
            : cx >= kSpreadGrid ? kSpreadGrid - 1
                                : cx);
}

// Which of the items (item i in cell cells[i]) to keep when there are more than budget: round
// after round every cell gives its next best item (better(a, b): a comes first), and the round
// that overflows the budget keeps its best. Returns the indices kept in ascending order; all of
// them when they fit the budget.
std::vector<size_t> spread_over_cells(const std::vector<int> &cells, size_t budget,
                                      const std::function<bool(size_t, size_t)> &better);

} // namespace align::detail
