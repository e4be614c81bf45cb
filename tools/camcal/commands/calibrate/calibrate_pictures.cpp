#include "calibrate_pictures.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "cli/command_error.h"
#include "cli/output_file.h"
#include "plot/lens_plot.h"

namespace camcal {

namespace {

std::vector<PlottedCorner> cornersOf(const CalibrationRun& run) {
  std::vector<PlottedCorner> corners;
  for (const CornerResidual& corner : run.residuals) {
    corners.push_back({corner.at, corner.residual, corner.view, corner.kept});
  }
  return corners;
}

ResidualPlot residualPlotOf(const CalibrationRun& run) {
  return {run.corners.width, run.corners.height, cornersOf(run), run.fit.rms_px};
}

UncertaintyPlot uncertaintyPlotOf(const CalibrationRun& run) {
  UncertaintyPlot plot;
  plot.width = run.corners.width;
  plot.height = run.corners.height;
  plot.step = run.uncertainty_step;
  plot.columns = run.uncertainty_columns;
  plot.rows = run.uncertainty_rows;
  plot.values = run.uncertainty;
  for (const CornerResidual& corner : run.residuals) {
    if (corner.kept) plot.kept_corners.push_back(corner.at);
  }
  plot.covered_region = run.fit.covered_region;
  plot.covered_largest = run.covered_largest_uncertainty;
  plot.covered_largest_at = run.covered_largest_uncertainty_at;
  plot.share_above_1px = run.share_above_1px;
  plot.share_above_5px = run.share_above_5px;
  plot.share_unbounded = run.share_unbounded;
  plot.unbounded_reason = run.fit.undetermined.empty() ? "the views do not determine the lens"
                                                       : run.fit.undetermined.front().description;
  return plot;
}

}  // namespace

CoverageGrid coverageGridOf(const CalibrationRun& run) {
  return {kCoverageColumns, kCoverageRows,
          std::vector<bool>(run.covered.begin(), run.covered.end())};
}

CoveragePlot coveragePlotOf(const CalibrationRun& run, const std::string& camera) {
  return {run.corners.width,        run.corners.height, camera,
          run.corners.foundCount(), cornersOf(run),     coverageGridOf(run)};
}

std::vector<Picture> drawCalibrationPictures(const CalibrationRun& run,
                                             const IntrinsicsAtSize& lens) {
  std::vector<Picture> pictures = {{"coverage.png", plotCoverage(coveragePlotOf(run))},
                                   {"residuals.png", plotResiduals(residualPlotOf(run))}};
  if (!run.uncertainty.empty()) {
    pictures.push_back({"uncertainty.png", plotUncertainty(uncertaintyPlotOf(run))});
  }
  pictures.push_back({"lens.png", plotLens(lens, PictureFormat::kPng, 0)});
  return pictures;
}

void writeCalibrationPictures(const std::vector<Picture>& pictures, const std::string& dir) {
  if (::mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) {
    throw operationError(dir + ": cannot create the report directory: " + std::strerror(errno));
  }
  struct stat info;
  if (::stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    throw operationError(dir + ": not a directory");
  }
  for (const Picture& picture : pictures) writeOutput(dir + "/" + picture.name, picture.png);
}

}  // namespace camcal
