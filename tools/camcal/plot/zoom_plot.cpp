#include "plot/zoom_plot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

#include "calibration_common/ptz_camera_model.h"
#include "plot/palette.h"

namespace camcal {

namespace {

constexpr int kWidth = 960;
constexpr int kHeight = 620;
constexpr double kLeft = 90, kRight = 96, kTop = 64, kBottom = 104;
// Points of the interpolated curve across the table.
constexpr int kCurvePoints = 480;

using namespace palette;

// Horizontal field of view, degrees, of a width-pixel image at focal length f.
double horizontalFieldOfView(double width, double f) {
  return 2.0 * std::atan(width / (2.0 * f)) * 180.0 / M_PI;
}

std::string degrees(double value) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.1f\u00b0", value);
  return text;
}

}  // namespace

std::string plotZoomTable(const dravik::calibration::PTZCameraParameters& params,
                          const std::string& source, PictureFormat format, int picture_width) {
  const auto model = std::make_shared<dravik::calibration::PTZCameraModel>(params);
  // The focal length at a zoom, as the library's configuration interpolates it.
  const auto focal_length = [&model](int zoom) {
    return double(
        dravik::calibration::PTZCameraModelConfiguration(model, 0, 0, zoom).getLens().K()(0, 0));
  };
  const auto& samples = params.intrinsics().samples();
  const int width = params.intrinsics().cal_width();
  const int height = params.intrinsics().cal_height();
  const std::string title = "PTZ zoom table: " + source + " (" + std::to_string(width) + "x" +
                            std::to_string(height) + ", " + std::to_string(samples.size()) +
                            (samples.size() == 1 ? " sample)" : " samples)");
  PlotCanvas canvas(kWidth, kHeight, format, title, picture_width);
  cairo_t* cr = canvas.cr();

  // The samples' zoom range and the focal length along it, as the library's
  // configuration interpolates it.
  double zoom_lo = samples.Get(0).zoom(), zoom_hi = zoom_lo;
  for (const auto& s : samples) {
    zoom_lo = std::min(zoom_lo, s.zoom());
    zoom_hi = std::max(zoom_hi, s.zoom());
  }
  if (zoom_hi <= zoom_lo) zoom_hi = zoom_lo + 1.0;
  std::vector<std::pair<double, double>> curve;
  double f_hi = 0.0;
  for (int i = 0; i <= kCurvePoints; ++i) {
    const int zoom =
        static_cast<int>(std::lround(zoom_lo + (zoom_hi - zoom_lo) * i / kCurvePoints));
    const double f = focal_length(zoom);
    curve.push_back({double(zoom), f});
    f_hi = std::max(f_hi, f);
  }
  for (const auto& s : samples) f_hi = std::max(f_hi, s.f());
  const double f0 = focal_length(static_cast<int>(samples.Get(0).zoom()));

  // A table without a positive focal length still gets an axis.
  if (!(f_hi > 0.0) || !std::isfinite(f_hi)) f_hi = 1.0;
  const double pad = 0.03 * (zoom_hi - zoom_lo);
  const AxisScale x{zoom_lo - pad, zoom_hi + pad, kLeft, kWidth - kRight};
  const AxisScale y{0.0, f_hi * 1.08, kHeight - kBottom, kTop};

  // Grid, axes and ticks.
  cairo_set_line_width(cr, 1.0);
  for (double t : niceTicks(x.value_lo, x.value_hi, 8)) {
    canvas.setColour(kLightGrid);
    cairo_move_to(cr, x(t), y.canvas_lo);
    cairo_line_to(cr, x(t), y.canvas_hi);
    cairo_stroke(cr);
    canvas.setColour(kInk);
    canvas.text(x(t), y.canvas_lo + 14, tickText(t), 12, Anchor::kCentre);
  }
  for (double t : niceTicks(y.value_lo, y.value_hi, 8)) {
    canvas.setColour(kLightGrid);
    cairo_move_to(cr, x.canvas_lo, y(t));
    cairo_line_to(cr, x.canvas_hi, y(t));
    cairo_stroke(cr);
    canvas.setColour(kInk);
    canvas.text(x.canvas_lo - 6, y(t), tickText(t), 12, Anchor::kRight);
  }
  canvas.setColour(kInk);
  drawTicks(
      canvas, niceTicks(y.value_lo / f0, y.value_hi / f0, 8),
      [&](double factor) { return y(factor * f0); }, TickSide::kRight, x.canvas_hi);
  canvas.setColour(kInk);
  cairo_rectangle(cr, x.canvas_lo, y.canvas_hi, x.canvas_hi - x.canvas_lo,
                  y.canvas_lo - y.canvas_hi);
  cairo_stroke(cr);
  canvas.text((x.canvas_lo + x.canvas_hi) / 2, y.canvas_lo + 36, "zoom position (motor steps)", 14,
              Anchor::kCentre);
  canvas.text(24, (y.canvas_lo + y.canvas_hi) / 2, "focal length f (pixels)", 14, Anchor::kCentre,
              M_PI / 2);
  canvas.text(kWidth - 28, (y.canvas_lo + y.canvas_hi) / 2,
              "zoom x factor (f / f at the widest zoom)", 14, Anchor::kCentre, M_PI / 2);
  canvas.text(kWidth / 2.0, 28, title, 17, Anchor::kCentre, 0.0, true);

  // The interpolation, then the samples with their field of view.
  canvas.setColour(kCurve);
  cairo_set_line_width(cr, 2.0);
  for (size_t i = 0; i < curve.size(); ++i) {
    if (i == 0) {
      cairo_move_to(cr, x(curve[i].first), y(curve[i].second));
    } else {
      cairo_line_to(cr, x(curve[i].first), y(curve[i].second));
    }
  }
  cairo_stroke(cr);
  for (const auto& s : samples) {
    canvas.setColour(kSample);
    cairo_arc(cr, x(s.zoom()), y(s.f()), 5.0, 0, 2 * M_PI);
    cairo_fill(cr);
    // Up and to the left of the sample, or to the right where that would
    // cross the axis.
    canvas.setColour(kInk);
    const std::string label = degrees(horizontalFieldOfView(width, s.f()));
    const bool fits_left = x(s.zoom()) - 8 - canvas.textWidth(label, 12) > x.canvas_lo + 4;
    canvas.text(x(s.zoom()) + (fits_left ? -8 : 8), y(s.f()) - 12, label, 12,
                fits_left ? Anchor::kRight : Anchor::kLeft);
  }

  // Legend, below the axis title.
  const double legend_y = kHeight - 30;
  double legend_x = kLeft;
  canvas.setColour(kSample);
  cairo_arc(cr, legend_x + 6, legend_y, 5.0, 0, 2 * M_PI);
  cairo_fill(cr);
  canvas.setColour(kInk);
  const std::string sample_text = "zoom sample, labelled with its horizontal field of view";
  canvas.text(legend_x + 18, legend_y, sample_text, 13, Anchor::kLeft);
  legend_x += 18 + canvas.textWidth(sample_text, 13) + 30;
  canvas.setColour(kCurve);
  cairo_set_line_width(cr, 2.0);
  cairo_move_to(cr, legend_x, legend_y);
  cairo_line_to(cr, legend_x + 24, legend_y);
  cairo_stroke(cr);
  canvas.setColour(kInk);
  canvas.text(legend_x + 32, legend_y,
              "focal length between the samples (the library's interpolation)", 13, Anchor::kLeft);
  return canvas.finish();
}

}  // namespace camcal
