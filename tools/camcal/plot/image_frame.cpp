#include "plot/image_frame.h"

#include <algorithm>
#include <cmath>

#include "plot/colour_map.h"
#include "plot/palette.h"

namespace camcal {

ImageFrame::ImageFrame(int image_width, int image_height, double max_width, double max_height,
                       double left, double top)
    : width(image_width),
      height(image_height),
      scale(std::min(max_width / image_width, max_height / image_height)),
      w(image_width * scale),
      h(image_height * scale),
      left(left),
      top(top),
      cu{0.0, double(image_width), left, left + w},
      cv{0.0, double(image_height), top, top + h} {}

void ImageFrame::clip(cairo_t* cr) const {
  cairo_rectangle(cr, left, top, w, h);
  cairo_clip(cr);
}

void ImageFrame::fill(PlotCanvas& canvas, const Colour& colour) const {
  canvas.setColour(colour);
  cairo_rectangle(canvas.cr(), left, top, w, h);
  cairo_fill(canvas.cr());
}

void ImageFrame::drawAxes(PlotCanvas& canvas) const {
  cairo_t* cr = canvas.cr();
  canvas.setColour(palette::kInk);
  cairo_set_line_width(cr, 1.5);
  cairo_rectangle(cr, left, top, w, h);
  cairo_stroke(cr);
  cairo_set_line_width(cr, 1.0);
  drawTicks(canvas, niceTicks(0, width, 8), cu, TickSide::kBelow, top + h);
  drawTicks(canvas, niceTicks(0, height, 6), cv, TickSide::kLeft, left);
  canvas.text(left + w / 2, top + h + 38, "u (pixels)", 14, Anchor::kCentre);
  canvas.text(left - 56, top + h / 2, "v (pixels)", 14, Anchor::kCentre, M_PI / 2);
}

void drawTitles(PlotCanvas& canvas, const std::string& title, const std::string& subtitle) {
  canvas.setColour(palette::kInk);
  canvas.text(canvas.width() / 2.0, 26, title, 17, Anchor::kCentre, 0.0, true);
  canvas.text(canvas.width() / 2.0, 50, subtitle, 12, Anchor::kCentre);
}

void drawDot(cairo_t* cr, const Eigen::Vector2d& at, double radius) {
  cairo_new_sub_path(cr);
  cairo_arc(cr, at.x(), at.y(), radius, 0, 2 * M_PI);
  cairo_fill(cr);
}

void drawArrow(cairo_t* cr, const Eigen::Vector2d& tail, const Eigen::Vector2d& head,
               double width) {
  const Eigen::Vector2d step = head - tail;
  const double length = step.norm();
  if (!(length > 0.0)) return;
  cairo_set_line_width(cr, width);
  // The head: 6 points long at most, 0.4 of the arrow on short ones.
  const Eigen::Vector2d back = -step / length * std::min(6.0, length * 0.4);
  const Eigen::Vector2d side(-back.y() * 0.45, back.x() * 0.45);
  cairo_move_to(cr, tail.x(), tail.y());
  cairo_line_to(cr, head.x() + back.x() * 0.5, head.y() + back.y() * 0.5);
  cairo_stroke(cr);
  cairo_move_to(cr, head.x(), head.y());
  cairo_line_to(cr, head.x() + back.x() + side.x(), head.y() + back.y() + side.y());
  cairo_line_to(cr, head.x() + back.x() - side.x(), head.y() + back.y() - side.y());
  cairo_close_path(cr);
  cairo_fill(cr);
}

void drawColourBar(PlotCanvas& canvas, const ImageFrame& frame, const std::vector<double>& ticks,
                   const std::function<double(double)>& at, const std::string& title) {
  cairo_t* cr = canvas.cr();
  const double bar_x = frame.left + frame.w + 28, bar_w = 18;
  for (int i = 0; i < 200; ++i) {
    canvas.setColour(colourOnScale(1.0 - i / 199.0));
    cairo_rectangle(cr, bar_x, frame.top + frame.h * i / 200.0, bar_w, frame.h / 200.0 + 0.5);
    cairo_fill(cr);
  }
  canvas.setColour(palette::kInk);
  cairo_set_line_width(cr, 1.0);
  cairo_rectangle(cr, bar_x, frame.top, bar_w, frame.h);
  cairo_stroke(cr);
  drawTicks(canvas, ticks, at, TickSide::kRight, bar_x + bar_w, 12, 4);
  canvas.text(bar_x + bar_w + 62, frame.top + frame.h / 2, title, 14, Anchor::kCentre, M_PI / 2);
}

}  // namespace camcal
