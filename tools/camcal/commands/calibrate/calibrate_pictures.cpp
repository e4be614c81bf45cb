#include "calibrate_pictures.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "cli/command_error.h"
#include "cli/number_format.h"
#include "cli/options.h"
#include "cli/output_file.h"
#include "plot/colour_map.h"
#include "plot/contour_lines.h"
#include "plot/lens_plot.h"
#include "plot/plot_canvas.h"

namespace camcal {

namespace {

const Colour kInk{0.1, 0.1, 0.1};
const Colour kImageBackground{0.97, 0.97, 0.97};
const Colour kUncovered{0.93, 0.42, 0.35};
const Colour kGridLine{0.55, 0.55, 0.55};
const Colour kDropped{0.45, 0.45, 0.45};
const Colour kResidual{0.75, 0.1, 0.2};
const Colour kBar{0.25, 0.45, 0.7};

constexpr double kLeft = 78, kTop = 74, kBottom = 84;

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

// The image drawn as a rectangle of the canvas, at most max_width x
// max_height points, its shape kept; image pixel (u, v) at (cu(u), cv(v)).
struct ImageFrame {
  ImageFrame(int image_width, int image_height, double max_width, double max_height, double left,
             double top)
      : width(image_width),
        height(image_height),
        scale(std::min(max_width / image_width, max_height / image_height)),
        w(image_width * scale),
        h(image_height * scale),
        left(left),
        top(top),
        cu{0.0, double(image_width), left, left + w},
        cv{0.0, double(image_height), top, top + h} {}

  Eigen::Vector2d onCanvas(const Eigen::Vector2d& pixel) const {
    return {cu(pixel.x()), cv(pixel.y())};
  }
  void clip(cairo_t* cr) const {
    cairo_rectangle(cr, left, top, w, h);
    cairo_clip(cr);
  }
  // The border, ticks in pixels and the axis titles.
  void drawAxes(PlotCanvas& canvas) const {
    cairo_t* cr = canvas.cr();
    canvas.setColour(kInk);
    cairo_set_line_width(cr, 1.5);
    cairo_rectangle(cr, left, top, w, h);
    cairo_stroke(cr);
    cairo_set_line_width(cr, 1.0);
    for (double t : niceTicks(0, width, 8)) {
      cairo_move_to(cr, cu(t), top + h);
      cairo_line_to(cr, cu(t), top + h + 5);
      cairo_stroke(cr);
      canvas.text(cu(t), top + h + 16, tickText(t), 12, Anchor::kCentre);
    }
    for (double t : niceTicks(0, height, 6)) {
      cairo_move_to(cr, left - 5, cv(t));
      cairo_line_to(cr, left, cv(t));
      cairo_stroke(cr);
      canvas.text(left - 8, cv(t), tickText(t), 12, Anchor::kRight);
    }
    canvas.text(left + w / 2, top + h + 38, "u (pixels)", 14, Anchor::kCentre);
    canvas.text(left - 56, top + h / 2, "v (pixels)", 14, Anchor::kCentre, M_PI / 2);
  }

  int width, height;
  double scale, w, h, left, top;
  AxisScale cu, cv;
};

void titles(PlotCanvas& canvas, const std::string& title, const std::string& subtitle) {
  canvas.setColour(kInk);
  canvas.text(canvas.width() / 2.0, 26, title, 17, Anchor::kCentre, 0.0, true);
  canvas.text(canvas.width() / 2.0, 50, subtitle, 12, Anchor::kCentre);
}

void dot(cairo_t* cr, const Eigen::Vector2d& at, double radius) {
  cairo_new_sub_path(cr);
  cairo_arc(cr, at.x(), at.y(), radius, 0, 2 * M_PI);
  cairo_fill(cr);
}

// A filled arrow from tail to head.
void arrow(cairo_t* cr, const Eigen::Vector2d& tail, const Eigen::Vector2d& head, double width) {
  const Eigen::Vector2d step = head - tail;
  const double length = step.norm();
  if (!(length > 0.0)) return;
  cairo_set_line_width(cr, width);
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

// A round value (1, 2 or 5 times a power of ten) at most `value`.
double roundDown(double value) {
  const double power = std::pow(10.0, std::floor(std::log10(value)));
  for (double m : {5.0, 2.0, 1.0}) {
    if (m * power <= value) return m * power;
  }
  return power;
}

std::string sizeText(const CalibrationRun& run) {
  return formatImageSize(run.corners.width, run.corners.height);
}

}  // namespace

std::string plotCoverage(const CalibrationRun& run, const std::string& camera) {
  const ImageFrame frame(run.corners.width, run.corners.height, 760, 560, kLeft, kTop);
  PlotCanvas canvas(int(std::ceil(kLeft + frame.w + 40)), int(std::ceil(kTop + frame.h + kBottom)),
                    PictureFormat::kPng, "Coverage of the " + sizeText(run) + " image");
  cairo_t* cr = canvas.cr();
  canvas.setColour(kImageBackground);
  cairo_rectangle(cr, frame.left, frame.top, frame.w, frame.h);
  cairo_fill(cr);
  const double cell_w = frame.w / kCoverageColumns, cell_h = frame.h / kCoverageRows;
  int covered = 0;
  for (int row = 0; row < kCoverageRows; ++row) {
    for (int column = 0; column < kCoverageColumns; ++column) {
      if (run.covered[size_t(row * kCoverageColumns + column)]) {
        ++covered;
        continue;
      }
      canvas.setColour(kUncovered, 0.35);
      cairo_rectangle(cr, frame.left + column * cell_w, frame.top + row * cell_h, cell_w, cell_h);
      cairo_fill(cr);
    }
  }
  canvas.setColour(kGridLine);
  cairo_set_line_width(cr, 1.0);
  const double dashes[2] = {4.0, 4.0};
  cairo_set_dash(cr, dashes, 2, 0.0);
  for (int column = 1; column < kCoverageColumns; ++column) {
    cairo_move_to(cr, frame.left + column * cell_w, frame.top);
    cairo_line_to(cr, frame.left + column * cell_w, frame.top + frame.h);
  }
  for (int row = 1; row < kCoverageRows; ++row) {
    cairo_move_to(cr, frame.left, frame.top + row * cell_h);
    cairo_line_to(cr, frame.left + frame.w, frame.top + row * cell_h);
  }
  cairo_stroke(cr);
  cairo_set_dash(cr, nullptr, 0, 0.0);

  cairo_save(cr);
  frame.clip(cr);
  for (const CornerResidual& corner : run.residuals) {
    const Eigen::Vector2d at = frame.onCanvas(corner.at);
    if (corner.kept) {
      canvas.setColour(viewColour(corner.view), 0.9);
      dot(cr, at, 2.6);
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
  frame.drawAxes(canvas);
  titles(canvas,
         (camera.empty() ? "Coverage" : "Coverage of " + camera) + ": the kept corners of " +
             std::to_string(run.corners.foundCount()) + " views over the " + sizeText(run) +
             " image",
         "one colour per view; crosses: corners dropped as outliers");
  const double y = frame.top + frame.h + 62;
  canvas.setColour(kUncovered, 0.35);
  cairo_rectangle(cr, frame.left, y - 7, 16, 14);
  cairo_fill(cr);
  canvas.setColour(kInk);
  canvas.text(frame.left + 24, y,
              "cells of the " + std::to_string(kCoverageColumns) + " x " +
                  std::to_string(kCoverageRows) + " grid without a kept corner (" +
                  std::to_string(covered) + " of " +
                  std::to_string(kCoverageColumns * kCoverageRows) + " covered)",
              12, Anchor::kLeft);
  return canvas.finish();
}

std::string plotResiduals(const CalibrationRun& run) {
  constexpr double kHistogramWidth = 300, kGap = 90;
  const ImageFrame frame(run.corners.width, run.corners.height, 640, 480, kLeft, kTop);
  const double hist_left = frame.left + frame.w + kGap;
  PlotCanvas canvas(int(std::ceil(hist_left + kHistogramWidth + 30)),
                    int(std::ceil(kTop + frame.h + kBottom)), PictureFormat::kPng,
                    "Residuals of the fit to the " + sizeText(run) + " image");
  cairo_t* cr = canvas.cr();
  std::vector<double> lengths;
  for (const CornerResidual& corner : run.residuals) {
    if (corner.kept && std::isfinite(corner.residual.norm())) {
      lengths.push_back(corner.residual.norm());
    }
  }
  std::sort(lengths.begin(), lengths.end());
  const double longest = lengths.empty() ? 0.0 : lengths.back();
  // The 99th percentile residual is drawn 28 points long.
  const double typical =
      lengths.empty() ? 1.0 : std::max(lengths[size_t(0.99 * (lengths.size() - 1))], 1e-6);
  const double arrow_scale = 28.0 / typical;  // canvas points per pixel of residual
  const double magnification = arrow_scale / frame.scale;

  canvas.setColour(kImageBackground);
  cairo_rectangle(cr, frame.left, frame.top, frame.w, frame.h);
  cairo_fill(cr);
  cairo_save(cr);
  frame.clip(cr);
  for (const CornerResidual& corner : run.residuals) {
    if (!std::isfinite(corner.residual.norm())) continue;
    const Eigen::Vector2d at = frame.onCanvas(corner.at);
    canvas.setColour(corner.kept ? kResidual : kDropped, corner.kept ? 0.85 : 0.6);
    dot(cr, at, 1.3);
    // An outlier's vector may be long: it is drawn to the frame's edge.
    arrow(cr, at, at + corner.residual * arrow_scale, 1.1);
  }
  cairo_restore(cr);
  frame.drawAxes(canvas);

  // The scale arrow, below the frame.
  const double scale_px = roundDown(typical);
  const double y = frame.top + frame.h + 62;
  canvas.setColour(kResidual);
  arrow(cr, {frame.left, y}, {frame.left + scale_px * arrow_scale, y}, 1.5);
  canvas.setColour(kInk);
  canvas.text(frame.left + scale_px * arrow_scale + 10, y,
              tickText(scale_px) + " px of residual (vectors magnified " +
                  formatPrintf("%.0f", magnification) + "x); grey: corners dropped as outliers",
              12, Anchor::kLeft);

  // The histogram of the kept residuals' lengths.
  const int bins = 24;
  const double top_length = longest > 0.0 ? longest * 1.0001 : 1.0;
  std::vector<int> counts(size_t(bins), 0);
  for (double length : lengths) {
    counts[size_t(std::min(bins - 1, int(length / top_length * bins)))] += 1;
  }
  const int most = std::max(1, *std::max_element(counts.begin(), counts.end()));
  const double hist_top = frame.top + 20, hist_bottom = frame.top + frame.h;
  const AxisScale hx{0.0, top_length, hist_left, hist_left + kHistogramWidth};
  const AxisScale hy{0.0, double(most), hist_bottom, hist_top};
  canvas.setColour(kBar);
  for (int b = 0; b < bins; ++b) {
    const double x0 = hx(top_length * b / bins), x1 = hx(top_length * (b + 1) / bins);
    cairo_rectangle(cr, x0 + 0.5, hy(counts[size_t(b)]), x1 - x0 - 1,
                    hist_bottom - hy(counts[size_t(b)]));
  }
  cairo_fill(cr);
  canvas.setColour(kInk);
  cairo_set_line_width(cr, 1.0);
  cairo_move_to(cr, hist_left, hist_top);
  cairo_line_to(cr, hist_left, hist_bottom);
  cairo_line_to(cr, hist_left + kHistogramWidth, hist_bottom);
  cairo_stroke(cr);
  for (double t : niceTicks(0, top_length, 5)) {
    cairo_move_to(cr, hx(t), hist_bottom);
    cairo_line_to(cr, hx(t), hist_bottom + 5);
    cairo_stroke(cr);
    canvas.text(hx(t), hist_bottom + 16, tickText(t), 12, Anchor::kCentre);
  }
  for (double t : niceTicks(0, most, 5)) {
    cairo_move_to(cr, hist_left - 5, hy(t));
    cairo_line_to(cr, hist_left, hy(t));
    cairo_stroke(cr);
    canvas.text(hist_left - 8, hy(t), tickText(t), 12, Anchor::kRight);
  }
  canvas.text(hist_left + kHistogramWidth / 2, hist_bottom + 38, "residual length (pixels)", 14,
              Anchor::kCentre);
  canvas.text(hist_left - 50, (hist_top + hist_bottom) / 2, "corners", 14, Anchor::kCentre,
              M_PI / 2);
  if (run.fit.rms_px > 0.0 && run.fit.rms_px < top_length) {
    const double dashes[2] = {5.0, 4.0};
    cairo_set_dash(cr, dashes, 2, 0.0);
    cairo_set_line_width(cr, 1.5);
    cairo_move_to(cr, hx(run.fit.rms_px), hist_top - 4);
    cairo_line_to(cr, hx(run.fit.rms_px), hist_bottom);
    cairo_stroke(cr);
    cairo_set_dash(cr, nullptr, 0, 0.0);
    canvas.text(hx(run.fit.rms_px) + 4, hist_top - 10,
                "rms " + formatPrintf("%.3f", run.fit.rms_px) + " px", 12, Anchor::kLeft);
  }
  titles(
      canvas,
      "Residuals: measured less fitted corner, " + std::to_string(lengths.size()) + " kept corners",
      "left: each residual at its corner; right: how many have each length");
  return canvas.finish();
}

// The percentage of a share, as the report gives it.
std::string percentText(double share) { return formatPrintf("%.0f", 100.0 * share) + " %"; }

std::string plotUncertainty(const CalibrationRun& run) {
  constexpr double kColourBarSpace = 130;
  // The colour scale spans at most this many decades up from the smallest
  // value; larger values take its top colour (noted under the bar).
  constexpr double kDecades = 4.0;
  // Unbounded cells: a colour off the scale.
  const Colour kUnbounded{0.85, 0.2, 0.25};
  const ImageFrame frame(run.corners.width, run.corners.height, 760, 560, kLeft, kTop);
  PlotCanvas canvas(int(std::ceil(kLeft + frame.w + kColourBarSpace)),
                    int(std::ceil(kTop + frame.h + kBottom + 18)), PictureFormat::kPng,
                    "Projection uncertainty over the " + sizeText(run) + " image");
  cairo_t* cr = canvas.cr();
  const int columns = run.uncertainty_columns, rows = run.uncertainty_rows;
  const double step = run.uncertainty_step;
  double largest = 0.0, smallest = INFINITY;
  for (const float value : run.uncertainty) {
    if (!std::isfinite(value) || !(value > 0.0f)) continue;
    largest = std::max(largest, double(value));
    smallest = std::min(smallest, double(value));
  }
  // A logarithmic scale, from the smallest value (the covered middle) up
  // kDecades at most: linear, the bare corners' thousands of pixels would
  // leave the covered region one flat colour.
  const double lo = std::isfinite(smallest) ? smallest : 1e-3;
  const double hi = std::max(lo * 1.01, std::min(largest, lo * std::pow(10.0, kDecades)));
  const bool clipped = largest > hi;
  const auto scaled = [&](double value) { return std::log(value / lo) / std::log(hi / lo); };
  // The contours' field: unbounded cells far above every level.
  GridField field;
  field.columns = columns;
  field.rows = rows;
  for (const float value : run.uncertainty) {
    field.values.push_back(std::isinf(value) ? 1e30 : double(value));
  }
  // Contours at 1, 2 and 5 times the powers of ten inside the scale.
  std::vector<double> levels;
  for (double decade = std::pow(10.0, std::floor(std::log10(lo))); decade <= hi; decade *= 10.0) {
    for (double m : {1.0, 2.0, 5.0}) {
      if (m * decade > lo && m * decade < hi) levels.push_back(m * decade);
    }
  }

  if (columns > 0 && rows > 0) {
    cairo_save(cr);
    frame.clip(cr);
    // Cell (c, r) covers pixels [c step, (c + 1) step): its centre is the
    // pixel the value belongs to.
    cairo_translate(cr, frame.left, frame.top);
    cairo_scale(cr, frame.scale * step, frame.scale * step);
    paintHeatMap(
        cr, columns, rows,
        [&](int c, int r) {
          const double value = run.uncertainty[size_t(r) * columns + c];
          return std::isinf(value) ? kUnbounded : colourOnScale(scaled(value));
        },
        true);
    cairo_restore(cr);
  }

  // Contours, each labelled once where its label covers no other.
  const auto node = [&](const Eigen::Vector2d& grid) {
    return frame.onCanvas(grid * step + Eigen::Vector2d::Constant(step / 2));
  };
  struct Label {
    Eigen::Vector2d at;
    std::string text;
  };
  std::vector<Label> labels;
  cairo_save(cr);
  frame.clip(cr);
  for (double level : levels) {
    const std::vector<Segment> segments = contourSegments(field, level);
    canvas.setColour({1, 1, 1}, 0.9);
    cairo_set_line_width(cr, 1.2);
    for (const Segment& s : segments) {
      const Eigen::Vector2d from = node(s.from), to = node(s.to);
      cairo_move_to(cr, from.x(), from.y());
      cairo_line_to(cr, to.x(), to.y());
    }
    cairo_stroke(cr);
    const std::string text = tickText(level) + " px";
    const double half_width = canvas.textWidth(text, 11) / 2 + 4;
    for (size_t k = 0; k < segments.size(); k += std::max<size_t>(1, segments.size() / 12)) {
      const Eigen::Vector2d mid = (node(segments[k].from) + node(segments[k].to)) / 2;
      const bool inside = mid.x() > frame.left + half_width &&
                          mid.x() < frame.left + frame.w - half_width && mid.y() > frame.top + 10 &&
                          mid.y() < frame.top + frame.h - 10;
      const bool clear = std::none_of(labels.begin(), labels.end(), [&](const Label& l) {
        return std::abs(l.at.x() - mid.x()) < 2 * half_width + 30 &&
               std::abs(l.at.y() - mid.y()) < 24;
      });
      if (inside && clear) {
        labels.push_back({mid, text});
        break;
      }
    }
  }
  // Light dots: the map is darkest where the corners are; a dashed line
  // round them, the region the headline's largest value is taken over.
  canvas.setColour(kImageBackground, 0.8);
  for (const CornerResidual& corner : run.residuals) {
    if (corner.kept) dot(cr, frame.onCanvas(corner.at), 1.3);
  }
  const std::vector<Eigen::Vector2d>& hull = run.fit.covered_region;
  if (hull.size() >= 3) {
    const double dashes[] = {6.0, 4.0};
    cairo_set_dash(cr, dashes, 2, 0.0);
    cairo_set_line_width(cr, 1.5);
    canvas.setColour({1, 1, 1}, 0.95);
    for (size_t i = 0; i < hull.size(); ++i) {
      const Eigen::Vector2d at = frame.onCanvas(hull[i]);
      i == 0 ? cairo_move_to(cr, at.x(), at.y()) : cairo_line_to(cr, at.x(), at.y());
    }
    cairo_close_path(cr);
    cairo_stroke(cr);
    cairo_set_dash(cr, nullptr, 0, 0.0);
  }
  cairo_restore(cr);
  for (const Label& label : labels) canvas.boxedText(label.at.x(), label.at.y(), label.text, 11);
  frame.drawAxes(canvas);

  const double bar_x = frame.left + frame.w + 28, bar_w = 18;
  for (int i = 0; i < 200; ++i) {
    canvas.setColour(colourOnScale(1.0 - i / 199.0));
    cairo_rectangle(cr, bar_x, frame.top + frame.h * i / 200.0, bar_w, frame.h / 200.0 + 0.5);
    cairo_fill(cr);
  }
  canvas.setColour(kInk);
  cairo_set_line_width(cr, 1.0);
  cairo_rectangle(cr, bar_x, frame.top, bar_w, frame.h);
  cairo_stroke(cr);
  const AxisScale bar{0.0, 1.0, frame.top + frame.h, frame.top};
  std::vector<double> ticks = levels;
  if (ticks.size() > 8) {
    ticks.clear();
    for (double level : levels) {
      if (std::abs(std::log10(level) - std::round(std::log10(level))) < 1e-9)
        ticks.push_back(level);
    }
  }
  for (double t : ticks) {
    cairo_move_to(cr, bar_x + bar_w, bar(scaled(t)));
    cairo_line_to(cr, bar_x + bar_w + 4, bar(scaled(t)));
    cairo_stroke(cr);
    canvas.text(bar_x + bar_w + 7, bar(scaled(t)), tickText(t), 12, Anchor::kLeft);
  }
  canvas.text(bar_x + bar_w + 62, frame.top + frame.h / 2,
              "standard deviation (pixels, logarithmic)", 14, Anchor::kCentre, M_PI / 2);
  if (clipped) {
    canvas.text(bar_x - 6, frame.top - 10, "top: " + tickText(hi) + " px and above", 11,
                Anchor::kLeft);
  }
  titles(canvas, "Projection uncertainty of the fitted camera, " + sizeText(run),
         "the standard deviation of where a fixed ray is seen; dots: the kept corners, dashed: "
         "their hull");
  canvas.setColour(kInk);
  const std::string largest_text =
      std::isinf(run.covered_largest_uncertainty)
          ? std::string("unbounded")
          : formatPrintf("%.3f", run.covered_largest_uncertainty) + " px";
  canvas.text(frame.left, frame.top + frame.h + 62,
              "largest inside the hull " + largest_text + ", at pixel " +
                  formatPrintf("%g", run.covered_largest_uncertainty_at.x()) + " " +
                  formatPrintf("%g", run.covered_largest_uncertainty_at.y()) +
                  " (circled); over the image: above 1 px " + percentText(run.share_above_1px) +
                  ", above 5 px " + percentText(run.share_above_5px),
              12, Anchor::kLeft);
  if (run.share_unbounded > 0.0) {
    canvas.setColour(kUnbounded);
    canvas.text(
        frame.left, frame.top + frame.h + 80,
        "unbounded (red) over " + percentText(run.share_unbounded) + ": " +
            (run.fit.undetermined.empty() ? std::string("the views do not determine the lens")
                                          : run.fit.undetermined.front().description),
        12, Anchor::kLeft);
  }
  // The circle in white on a dark rim: the covered region is the scale's
  // dark end.
  const Eigen::Vector2d worst = frame.onCanvas(run.covered_largest_uncertainty_at);
  for (const auto& [colour, width] : {std::pair<Colour, double>{kInk, 3.5}, {{1, 1, 1}, 1.5}}) {
    canvas.setColour(colour);
    cairo_set_line_width(cr, width);
    cairo_new_path(cr);
    cairo_arc(cr, worst.x(), worst.y(), 7, 0, 2 * M_PI);
    cairo_stroke(cr);
  }
  return canvas.finish();
}

std::vector<Picture> drawCalibrationPictures(const CalibrationRun& run,
                                             const IntrinsicsAtSize& lens) {
  std::vector<Picture> pictures = {{"coverage.png", plotCoverage(run)},
                                   {"residuals.png", plotResiduals(run)}};
  if (!run.uncertainty.empty()) pictures.push_back({"uncertainty.png", plotUncertainty(run)});
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
