// The named colours of camcal's pictures, one list for every plot, so that
// ink, panels and marks look the same from one picture to the next.
#pragma once

#include "plot/plot_canvas.h"

namespace camcal::palette {

// Text, frames and tick marks.
constexpr Colour kInk{0.1, 0.1, 0.1};
constexpr Colour kWhite{1.0, 1.0, 1.0};
// The background of an image frame or a panel.
constexpr Colour kPanel{0.97, 0.97, 0.97};
// Grid lines behind the marks: faint in the rig's panels, fainter on the
// zoom table, darker (dashed) between the coverage cells.
constexpr Colour kGrid{0.86, 0.86, 0.86};
constexpr Colour kLightGrid{0.88, 0.88, 0.88};
constexpr Colour kCellLine{0.55, 0.55, 0.55};
// Coverage cells without a kept corner.
constexpr Colour kUncovered{0.93, 0.42, 0.35};
// Corners dropped as outliers.
constexpr Colour kDropped{0.45, 0.45, 0.45};
// Residual vectors, and the bars of a histogram.
constexpr Colour kResidual{0.75, 0.1, 0.2};
constexpr Colour kBar{0.25, 0.45, 0.7};
// Pixels of an uncertainty map the views leave unbounded: off the colour scale.
constexpr Colour kUnbounded{0.85, 0.2, 0.25};
// Pixels without a ray in the lens's sound region, and that region's edge.
constexpr Colour kNoRay{0.72, 0.72, 0.72};
constexpr Colour kSoundEdge{0.9, 0.1, 0.55};
// Boards in the rig's picture.
constexpr Colour kBoard{0.45, 0.5, 0.6};
// A frame's x, y and z (optical) axes.
constexpr Colour kAxisColours[3] = {{0.85, 0.15, 0.1}, {0.15, 0.6, 0.2}, {0.15, 0.35, 0.85}};
// The zoom table's curve and samples.
constexpr Colour kCurve{0.12, 0.38, 0.7};
constexpr Colour kSample{0.85, 0.33, 0.1};

}  // namespace camcal::palette
