// The pictures of `camcal calibrate --report DIR`: the run's data gathered
// into the plain inputs of plot/calibration_plots.h and plot/lens_plot.h,
//   coverage.png     the kept corners over the image, the uncovered cells;
//   residuals.png    the residual vectors and a histogram of their lengths;
//   uncertainty.png  the projection uncertainty over the image;
//   lens.png         the lens plot of `camcal plot` for the fitted lens.
#pragma once

#include <string>
#include <vector>

#include "calibrate_fit.h"
#include "inputs/intrinsics_formats.h"
#include "plot/calibration_plots.h"

namespace camcal {

// The cells of the run's coverage grid that hold a kept corner: the one
// place the coverage picture takes its grid from.
CoverageGrid coverageGridOf(const CalibrationRun& run);
// camera, when given, is named in the title.
CoveragePlot coveragePlotOf(const CalibrationRun& run, const std::string& camera = "");

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
