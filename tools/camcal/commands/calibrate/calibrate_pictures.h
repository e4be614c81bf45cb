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
#include <vector>

#include "calibrate_fit.h"
#include "inputs/intrinsics_formats.h"

namespace camcal {

// camera, when given, is named in the title.
std::string plotCoverage(const CalibrationRun& run, const std::string& camera = "");
std::string plotResiduals(const CalibrationRun& run);
std::string plotUncertainty(const CalibrationRun& run);

struct Picture {
  std::string name;  // "coverage.png", ...
  std::string png;
};

// The four pictures (uncertainty.png only when the fit gave one). lens: the
// fitted camera at the images' size.
std::vector<Picture> drawCalibrationPictures(const CalibrationRun& run,
                                             const IntrinsicsAtSize& lens);
// Writes them into dir, created when missing.
void writeCalibrationPictures(const std::vector<Picture>& pictures, const std::string& dir);

}  // namespace camcal
