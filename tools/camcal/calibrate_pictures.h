// The pictures of `camcal calibrate --report DIR`, drawn with camcal's
// plotting code (plot_canvas.h, colour_map.h, contour_lines.h, lens_plot.h):
//   coverage.png     every kept corner over the image frame, coloured by view,
//                    the cells of the coverage grid without one shaded;
//   residuals.png    the residual vectors, magnified, drawn at their corners,
//                    with a scale arrow in pixels, and a histogram of their
//                    lengths;
//   uncertainty.png  the projection uncertainty as colour with contours in
//                    pixels, the kept corners dotted over it;
//   lens.png         the lens plot of `camcal plot` for the fitted lens.
#pragma once

#include <string>

#include "calibrate_fit.h"
#include "inputs/intrinsics_formats.h"

namespace camcal {

std::string plotCoverage(const CalibrationRun& run);
std::string plotResiduals(const CalibrationRun& run);
std::string plotUncertainty(const CalibrationRun& run);

// Writes the four pictures into dir (created when missing). lens: the
// fitted camera at the images' size.
void writeCalibrationPictures(const CalibrationRun& run, const IntrinsicsAtSize& lens,
                              const std::string& dir);

}  // namespace camcal
