#include <cmath>

#include "cli/options.h"
#include "plot/calibration_plots.h"
#include "plot/image_frame.h"
#include "plot/palette.h"

namespace camcal {

namespace {

using namespace palette;

// A well-separated colour per view: hues a golden angle apart.
Colour viewColour(int view) {
  const double hue = std::fmod(view * 0.618033988749895, 1.0) * 6.0;
  const double s = 0.8, v = 0.82;
  const int sector = static_cast<int>(hue) % 6;
  const double f = hue - std::floor(hue);
  const double p = v * (1 - s), q = v * (1 - s * f), t = v * (1 - s * (1 - f));
  switch (sector) {
    case 0:
      return {v, t, p};
    case 1:
      return {q, v, p};
    case 2:
      return {p, v, t};
    case 3:
      return {p, q, v};
    case 4:
      return {t, p, v};
    default:
      return {v, p, q};
  }
}

// The grid's cells without a kept corner shaded, the cells' borders dashed;
// how many are covered.
int drawCoverageGrid(PlotCanvas& canvas, const ImageFrame& frame, const CoverageGrid& grid) {
  cairo_t* cr = canvas.cr();
  const double cell_w = frame.w / grid.columns, cell_h = frame.h / grid.rows;
  int covered = 0;
  for (int row = 0; row < grid.rows; ++row) {
    for (int column = 0; column < grid.columns; ++column) {
      if (grid.covered[size_t(row * grid.columns + column)]) {
        ++covered;
        continue;
      }
      canvas.setColour(kUncovered, 0.35);
      cairo_rectangle(cr, frame.left + column * cell_w, frame.top + row * cell_h, cell_w, cell_h);
      cairo_fill(cr);
    }
  }
  canvas.setColour(kCellLine);
  cairo_set_line_width(cr, 1.0);
  const double dashes[2] = {4.0, 4.0};
  cairo_set_dash(cr, dashes, 2, 0.0);
  for (int column = 1; column < grid.columns; ++column) {
    cairo_move_to(cr, frame.left + column * cell_w, frame.top);
    cairo_line_to(cr, frame.left + column * cell_w, frame.top + frame.h);
  }
  for (int row = 1; row < grid.rows; ++row) {
    cairo_move_to(cr, frame.left, frame.top + row * cell_h);
    cairo_line_to(cr, frame.left + frame.w, frame.top + row * cell_h);
  }
  cairo_stroke(cr);
  cairo_set_dash(cr, nullptr, 0, 0.0);
  return covered;
}

// Kept corners as dots in their view's colour, dropped ones as grey crosses.
void drawCorners(PlotCanvas& canvas, const ImageFrame& frame,
                 const std::vector<PlottedCorner>& corners) {
  cairo_t* cr = canvas.cr();
  cairo_save(cr);
  frame.clip(cr);
  for (const PlottedCorner& corner : corners) {
    const Eigen::Vector2d at = frame.onCanvas(corner.at);
    if (corner.kept) {
      canvas.setColour(viewColour(corner.view), 0.9);
      drawDot(cr, at, 2.6);
    } else {
      canvas.setColour(kDropped);
      cairo_set_line_width(cr, 1.2);
      cairo_move_to(cr, at.x() - 3, at.y() - 3);
      cairo_line_to(cr, at.x() + 3, at.y() + 3);
      cairo_move_to(cr, at.x() - 3, at.y() + 3);
      cairo_line_to(cr, at.x() + 3, at.y() - 3);
      cairo_stroke(cr);
    }
  }
  cairo_restore(cr);
}

}  // namespace

std::string plotCoverage(const CoveragePlot& plot) {
  const std::string size = formatImageSize(plot.width, plot.height);
  const ImageFrame frame(plot.width, plot.height, 760, 560);
  PlotCanvas canvas(int(std::ceil(frame.left + frame.w + 40)),
                    int(std::ceil(frame.top + frame.h + kFrameBottom)), PictureFormat::kPng,
                    "Coverage of the " + size + " image");
  frame.fill(canvas, kPanel);
  const int covered = drawCoverageGrid(canvas, frame, plot.grid);
  drawCorners(canvas, frame, plot.corners);
  frame.drawAxes(canvas);
  drawTitles(canvas,
             (plot.camera.empty() ? "Coverage" : "Coverage of " + plot.camera) +
                 ": the kept corners of " + std::to_string(plot.views) + " views over the " + size +
                 " image",
             "one colour per view; crosses: corners dropped as outliers");
  // The legend of the shaded cells.
  cairo_t* cr = canvas.cr();
  const double y = frame.top + frame.h + 62;
  canvas.setColour(kUncovered, 0.35);
  cairo_rectangle(cr, frame.left, y - 7, 16, 14);
  cairo_fill(cr);
  canvas.setColour(kInk);
  canvas.text(frame.left + 24, y,
              "cells of the " + std::to_string(plot.grid.columns) + " x " +
                  std::to_string(plot.grid.rows) + " grid without a kept corner (" +
                  std::to_string(covered) + " of " +
                  std::to_string(plot.grid.columns * plot.grid.rows) + " covered)",
              12, Anchor::kLeft);
  return canvas.finish();
}

}  // namespace camcal
