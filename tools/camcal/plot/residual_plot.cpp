#include <algorithm>
#include <cmath>

#include "cli/number_format.h"
#include "cli/options.h"
#include "plot/calibration_plots.h"
#include "plot/image_frame.h"
#include "plot/palette.h"

namespace camcal {

namespace {

using namespace palette;

// A round value (1, 2 or 5 times a power of ten) at most `value`.
double roundDown(double value) {
  const double power = std::pow(10.0, std::floor(std::log10(value)));
  for (double m : {5.0, 2.0, 1.0}) {
    if (m * power <= value) return m * power;
  }
  return power;
}

// The histogram of the kept residuals' lengths (sorted), `width` points wide
// at `left` beside the frame, the rms dashed over it.
void drawHistogram(PlotCanvas& canvas, const ImageFrame& frame, double left, double width,
                   const std::vector<double>& lengths, double rms_px) {
  cairo_t* cr = canvas.cr();
  const int bins = 24;
  const double longest = lengths.empty() ? 0.0 : lengths.back();
  const double top_length = longest > 0.0 ? longest * 1.0001 : 1.0;
  std::vector<int> counts(size_t(bins), 0);
  for (double length : lengths) {
    counts[size_t(std::min(bins - 1, int(length / top_length * bins)))] += 1;
  }
  const int most = std::max(1, *std::max_element(counts.begin(), counts.end()));
  const double top = frame.top + 20, bottom = frame.top + frame.h;
  const AxisScale hx{0.0, top_length, left, left + width};
  const AxisScale hy{0.0, double(most), bottom, top};
  canvas.setColour(kBar);
  for (int b = 0; b < bins; ++b) {
    const double x0 = hx(top_length * b / bins), x1 = hx(top_length * (b + 1) / bins);
    cairo_rectangle(cr, x0 + 0.5, hy(counts[size_t(b)]), x1 - x0 - 1,
                    bottom - hy(counts[size_t(b)]));
  }
  cairo_fill(cr);
  canvas.setColour(kInk);
  cairo_set_line_width(cr, 1.0);
  cairo_move_to(cr, left, top);
  cairo_line_to(cr, left, bottom);
  cairo_line_to(cr, left + width, bottom);
  cairo_stroke(cr);
  drawTicks(canvas, niceTicks(0, top_length, 5), hx, TickSide::kBelow, bottom);
  drawTicks(canvas, niceTicks(0, most, 5), hy, TickSide::kLeft, left);
  canvas.text(left + width / 2, bottom + 38, "residual length (pixels)", 14, Anchor::kCentre);
  canvas.text(left - 50, (top + bottom) / 2, "corners", 14, Anchor::kCentre, M_PI / 2);
  if (rms_px > 0.0 && rms_px < top_length) {
    const double dashes[2] = {5.0, 4.0};
    cairo_set_dash(cr, dashes, 2, 0.0);
    cairo_set_line_width(cr, 1.5);
    cairo_move_to(cr, hx(rms_px), top - 4);
    cairo_line_to(cr, hx(rms_px), bottom);
    cairo_stroke(cr);
    cairo_set_dash(cr, nullptr, 0, 0.0);
    canvas.text(hx(rms_px) + 4, top - 10, "rms " + formatPrintf("%.3f", rms_px) + " px", 12,
                Anchor::kLeft);
  }
}

}  // namespace

std::string plotResiduals(const ResidualPlot& plot) {
  constexpr double kHistogramWidth = 300, kGap = 90;
  const ImageFrame frame(plot.width, plot.height, 640, 480);
  const double hist_left = frame.left + frame.w + kGap;
  PlotCanvas canvas(
      int(std::ceil(hist_left + kHistogramWidth + 30)),
      int(std::ceil(frame.top + frame.h + kFrameBottom)), PictureFormat::kPng,
      "Residuals of the fit to the " + formatImageSize(plot.width, plot.height) + " image");
  cairo_t* cr = canvas.cr();
  std::vector<double> lengths;
  for (const PlottedCorner& corner : plot.corners) {
    if (corner.kept && std::isfinite(corner.residual.norm())) {
      lengths.push_back(corner.residual.norm());
    }
  }
  std::sort(lengths.begin(), lengths.end());
  // The 99th percentile residual is drawn 28 points long.
  const double typical =
      lengths.empty() ? 1.0 : std::max(lengths[size_t(0.99 * (lengths.size() - 1))], 1e-6);
  const double arrow_scale = 28.0 / typical;  // canvas points per pixel of residual
  const double magnification = arrow_scale / frame.scale;

  frame.fill(canvas, kPanel);
  cairo_save(cr);
  frame.clip(cr);
  for (const PlottedCorner& corner : plot.corners) {
    if (!std::isfinite(corner.residual.norm())) continue;
    const Eigen::Vector2d at = frame.onCanvas(corner.at);
    canvas.setColour(corner.kept ? kResidual : kDropped, corner.kept ? 0.85 : 0.6);
    drawDot(cr, at, 1.3);
    // An outlier's vector may be long: it is drawn to the frame's edge.
    drawArrow(cr, at, at + corner.residual * arrow_scale, 1.1);
  }
  cairo_restore(cr);
  frame.drawAxes(canvas);

  // The scale arrow, below the frame.
  const double scale_px = roundDown(typical);
  const double y = frame.top + frame.h + 62;
  canvas.setColour(kResidual);
  drawArrow(cr, {frame.left, y}, {frame.left + scale_px * arrow_scale, y}, 1.5);
  canvas.setColour(kInk);
  canvas.text(frame.left + scale_px * arrow_scale + 10, y,
              tickText(scale_px) + " px of residual (vectors magnified " +
                  formatPrintf("%.0f", magnification) + "x); grey: corners dropped as outliers",
              12, Anchor::kLeft);
  drawHistogram(canvas, frame, hist_left, kHistogramWidth, lengths, plot.rms_px);
  drawTitles(
      canvas,
      "Residuals: measured less fitted corner, " + std::to_string(lengths.size()) + " kept corners",
      "left: each residual at its corner; right: how many have each length");
  return canvas.finish();
}

}  // namespace camcal
