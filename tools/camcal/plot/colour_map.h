// A perceptually even colour scale, dark blue through green to yellow, for
// magnitudes drawn as colour: viridis, from its published 256-entry table,
// interpolated linearly between entries.
#pragma once

#include "plot/plot_canvas.h"

namespace camcal {

// The colour of t in [0, 1]: entry k of the table at t = k / 255, linear in
// between. Below 0 (and NaN) the first entry, above 1 the last.
Colour colourOnScale(double t);

}  // namespace camcal
