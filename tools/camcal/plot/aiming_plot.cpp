#include "plot/aiming_plot.h"

#include <algorithm>
#include <cmath>

#include "cli/number_format.h"
#include "plot/colour_map.h"
#include "plot/palette.h"
#include "plot/plot_canvas.h"

namespace camcal {

namespace {

constexpr double kPanel = 420.0, kLeft = 80.0, kTop = 80.0, kGap = 150.0, kBottom = 70.0;
constexpr double kBarWidth = 14.0;
using palette::kInk;

// One panel at `left`: axes over the views' range, the dots, a colour bar.
void drawPanel(PlotCanvas& canvas, double left, const std::vector<AimedView>& views, bool after,
               const std::string& title) {
  cairo_t* cr = canvas.cr();
  int pan_lo = views.front().pan, pan_hi = pan_lo, tilt_lo = views.front().tilt, tilt_hi = tilt_lo;
  double largest = 0.0;
  for (const AimedView& v : views) {
    pan_lo = std::min(pan_lo, v.pan), pan_hi = std::max(pan_hi, v.pan);
    tilt_lo = std::min(tilt_lo, v.tilt), tilt_hi = std::max(tilt_hi, v.tilt);
    const double e = after ? v.after_px : v.before_px;
    if (std::isfinite(e)) largest = std::max(largest, e);
  }
  const double pan_pad = std::max(10.0, 0.08 * (pan_hi - pan_lo));
  const double tilt_pad = std::max(10.0, 0.08 * (tilt_hi - tilt_lo));
  const AxisScale x{pan_lo - pan_pad, pan_hi + pan_pad, left, left + kPanel};
  const AxisScale y{tilt_lo - tilt_pad, tilt_hi + tilt_pad, kTop + kPanel, kTop};
  canvas.setColour(kInk);
  cairo_set_line_width(cr, 1.2);
  cairo_rectangle(cr, left, kTop, kPanel, kPanel);
  cairo_stroke(cr);
  drawTicks(canvas, niceTicks(x.value_lo, x.value_hi, 5), x, TickSide::kBelow, kTop + kPanel, 11);
  drawTicks(canvas, niceTicks(y.value_lo, y.value_hi, 5), y, TickSide::kLeft, left, 11);
  canvas.text(left + kPanel / 2, kTop + kPanel + 38, "pan (steps)", 13, Anchor::kCentre);
  canvas.text(left - 58, kTop + kPanel / 2, "tilt (steps)", 13, Anchor::kCentre, M_PI / 2);
  canvas.text(left + kPanel / 2, kTop - 16, title, 14, Anchor::kCentre, 0.0, true);
  const double scale = largest > 0.0 ? largest : 1.0;
  for (const AimedView& v : views) {
    const double e = after ? v.after_px : v.before_px;
    canvas.setColour(colourOnScale(std::isfinite(e) ? e / scale : 1.0));
    cairo_new_sub_path(cr);
    cairo_arc(cr, x(v.pan), y(v.tilt), 7.0, 0, 2 * M_PI);
    cairo_fill_preserve(cr);
    canvas.setColour(kInk, 0.6);
    cairo_set_line_width(cr, 0.8);
    cairo_stroke(cr);
  }
  // The colour bar: 0 at the bottom, the largest error at the top.
  const double bar_left = left + kPanel + 18;
  for (int i = 0; i < 100; ++i) {
    canvas.setColour(colourOnScale((i + 0.5) / 100.0));
    cairo_rectangle(cr, bar_left, kTop + kPanel * (1.0 - (i + 1) / 100.0), kBarWidth,
                    kPanel / 100.0 + 0.5);
    cairo_fill(cr);
  }
  canvas.setColour(kInk);
  canvas.text(bar_left + kBarWidth + 4, kTop + kPanel, "0", 11, Anchor::kLeft);
  canvas.text(bar_left + kBarWidth + 4, kTop, formatPrintf("%.3g", scale), 11, Anchor::kLeft);
  canvas.text(bar_left + kBarWidth / 2, kTop + kPanel + 16, "px", 11, Anchor::kCentre);
}

}  // namespace

std::string plotAimingError(const std::vector<AimedView>& views) {
  const int width = int(kLeft + 2 * kPanel + kGap + 80);
  const int height = int(kTop + kPanel + kBottom + 10);
  PlotCanvas canvas(width, height, PictureFormat::kPng, "Aiming error over the pan/tilt range");
  canvas.setColour(kInk);
  canvas.text(width / 2.0, 24, "Aiming error at the board's centre, by motor position", 16,
              Anchor::kCentre, 0.0, true);
  if (!views.empty()) {
    drawPanel(canvas, kLeft, views, false, "the file's head");
    drawPanel(canvas, kLeft + kPanel + kGap, views, true, "the fitted head");
  }
  return canvas.finish();
}

}  // namespace camcal
