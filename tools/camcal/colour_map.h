// A perceptually even colour scale, dark blue through green to yellow, for
// magnitudes drawn as colour.
#pragma once

#include "plot_canvas.h"

namespace camcal {

// The colour of t in [0, 1] (clamped).
Colour colourOnScale(double t);

}  // namespace camcal
