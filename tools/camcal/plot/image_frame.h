// An image drawn as a rectangle of a canvas, for the pictures laid over an
// image's pixels (the lens plot, coverage, residuals, uncertainty): the
// frame, its axes in pixels, and the marks those pictures share.
#pragma once

#include <Eigen/Core>
#include <functional>
#include <string>
#include <vector>

#include "plot/plot_canvas.h"

namespace camcal {

// The margins round the frame shared by these pictures.
constexpr double kFrameLeft = 78, kFrameTop = 74, kFrameBottom = 84;

// The image at most max_width x max_height points, its shape kept, its top
// left corner at (left, top); image pixel (u, v) at (cu(u), cv(v)).
struct ImageFrame {
  ImageFrame(int image_width, int image_height, double max_width, double max_height,
             double left = kFrameLeft, double top = kFrameTop);

  Eigen::Vector2d onCanvas(const Eigen::Vector2d& pixel) const {
    return {cu(pixel.x()), cv(pixel.y())};
  }
  // Clips drawing to the frame (undone by the caller's cairo_restore).
  void clip(cairo_t* cr) const;
  // The frame filled with `colour`.
  void fill(PlotCanvas& canvas, const Colour& colour) const;
  // The border, ticks in pixels and the axis titles.
  void drawAxes(PlotCanvas& canvas) const;

  int width, height;
  double scale, w, h, left, top;
  AxisScale cu, cv;
};

// The bold title and the subtitle under it, centred on the canvas.
void drawTitles(PlotCanvas& canvas, const std::string& title, const std::string& subtitle);

// A filled dot, and a filled arrow from tail to head, `width` points wide,
// in the current colour.
void drawDot(cairo_t* cr, const Eigen::Vector2d& at, double radius);
void drawArrow(cairo_t* cr, const Eigen::Vector2d& tail, const Eigen::Vector2d& head, double width);

// The colour scale beside the frame, 0 at the bottom and 1 at the top, with
// ticks at `ticks` placed by `at` (value to canvas y) and the title along it.
void drawColourBar(PlotCanvas& canvas, const ImageFrame& frame, const std::vector<double>& ticks,
                   const std::function<double(double)>& at, const std::string& title);

}  // namespace camcal
