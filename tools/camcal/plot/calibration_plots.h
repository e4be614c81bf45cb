// The pictures of a camera's calibration from views of a board
// (`camcal calibrate --report DIR`, and each camera's coverage of
// `camcal rig --report DIR`), drawn from plain data in image pixels:
//   plotCoverage     every corner over the image frame, coloured by view,
//                    dropped ones crossed, the cells of the coverage grid
//                    without a kept corner shaded;
//   plotResiduals    the residual vectors, magnified, drawn at their corners,
//                    with a scale arrow in pixels, and a histogram of their
//                    lengths;
//   plotUncertainty  the projection uncertainty as colour with contours in
//                    pixels, the kept corners dotted over it, their hull
//                    dashed and the largest value inside it circled.
// Each returns PNG bytes.
#pragma once

#include <Eigen/Core>
#include <string>
#include <vector>

namespace camcal {

// A corner of a view: where it was measured and its residual (measured less
// fitted), image pixels; whether the fit kept it or dropped it as an outlier.
struct PlottedCorner {
  Eigen::Vector2d at = Eigen::Vector2d::Zero();
  Eigen::Vector2d residual = Eigen::Vector2d::Zero();
  int view = 0;
  bool kept = true;
};

// The image cut into columns x rows equal cells, row-major from the top left:
// whether each holds a kept corner.
struct CoverageGrid {
  int columns = 0, rows = 0;
  std::vector<bool> covered;
};

struct CoveragePlot {
  int width = 0, height = 0;  // the image, pixels
  std::string camera;         // named in the title when not empty
  int views = 0;              // the views the corners come from
  std::vector<PlottedCorner> corners;
  CoverageGrid grid;
};
std::string plotCoverage(const CoveragePlot& plot);

struct ResidualPlot {
  int width = 0, height = 0;
  std::vector<PlottedCorner> corners;
  double rms_px = 0.0;  // marked on the histogram when inside it
};
std::string plotResiduals(const ResidualPlot& plot);

struct UncertaintyPlot {
  int width = 0, height = 0;
  // The standard deviation (pixels, +infinity where unbounded) on a grid of
  // cells `step` pixels wide, row-major, cell (c, r) the value at the pixel
  // of its centre.
  int step = 0, columns = 0, rows = 0;
  std::vector<float> values;
  std::vector<Eigen::Vector2d> kept_corners;
  // The region the corners cover (their hull), and the largest value inside
  // it and where.
  std::vector<Eigen::Vector2d> covered_region;
  double covered_largest = 0.0;
  Eigen::Vector2d covered_largest_at = Eigen::Vector2d::Zero();
  // The shares of the grid (0 to 1) above 1 px, above 5 px and unbounded,
  // and why the views leave it unbounded.
  double share_above_1px = 0.0, share_above_5px = 0.0, share_unbounded = 0.0;
  std::string unbounded_reason;
};
std::string plotUncertainty(const UncertaintyPlot& plot);

}  // namespace camcal
