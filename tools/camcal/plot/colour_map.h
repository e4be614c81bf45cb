// A perceptually even colour scale, dark blue through green to yellow, for
// magnitudes drawn as colour: viridis, from its published 256-entry table,
// interpolated linearly between entries.
#pragma once

#include <functional>

#include "plot/plot_canvas.h"

namespace camcal {

// The colour of t in [0, 1]: entry k of the table at t = k / 255, linear in
// between. Below 0 (and NaN) the first entry, above 1 the last.
Colour colourOnScale(double t);

// Paints a heat map of columns x rows cells through the current transform,
// cell (c, r) the unit square [c, c + 1) x [r, r + 1) of user space in
// colourAt(c, r), interpolated bilinearly between cell centres. pad: the
// edge cells extend beyond the grid (else it fades out past them).
void paintHeatMap(cairo_t* cr, int columns, int rows,
                  const std::function<Colour(int column, int row)>& colourAt, bool pad);

}  // namespace camcal
