#include <algorithm>
#include <cmath>

#include "cli/number_format.h"
#include "cli/options.h"
#include "plot/calibration_plots.h"
#include "plot/colour_map.h"
#include "plot/contour_lines.h"
#include "plot/image_frame.h"
#include "plot/palette.h"

namespace camcal {

namespace {

using namespace palette;

// The colour scale spans at most this many decades up from the smallest
// value; larger values take its top colour (noted under the bar).
constexpr double kDecades = 4.0;

// The percentage of a share, as the report gives it.
std::string percentText(double share) { return formatPrintf("%.0f", 100.0 * share) + " %"; }

// A logarithmic scale, from the smallest value (the covered middle) up
// kDecades at most: linear, the bare corners' thousands of pixels would
// leave the covered region one flat colour.
struct LogScale {
  double lo, hi;
  bool clipped;  // values above hi take its colour
  double operator()(double value) const { return std::log(value / lo) / std::log(hi / lo); }
};

LogScale scaleOf(const std::vector<float>& values) {
  double largest = 0.0, smallest = INFINITY;
  for (const float value : values) {
    if (!std::isfinite(value) || !(value > 0.0f)) continue;
    largest = std::max(largest, double(value));
    smallest = std::min(smallest, double(value));
  }
  const double lo = std::isfinite(smallest) ? smallest : 1e-3;
  const double hi = std::max(lo * 1.01, std::min(largest, lo * std::pow(10.0, kDecades)));
  return {lo, hi, largest > hi};
}

// Contours at 1, 2 and 5 times the powers of ten inside the scale.
std::vector<double> contourLevels(const LogScale& scale) {
  std::vector<double> levels;
  for (double decade = std::pow(10.0, std::floor(std::log10(scale.lo))); decade <= scale.hi;
       decade *= 10.0) {
    for (double m : {1.0, 2.0, 5.0}) {
      if (m * decade > scale.lo && m * decade < scale.hi) levels.push_back(m * decade);
    }
  }
  return levels;
}

void drawMap(PlotCanvas& canvas, const ImageFrame& frame, const UncertaintyPlot& plot,
             const LogScale& scaled) {
  if (plot.columns <= 0 || plot.rows <= 0) return;
  cairo_t* cr = canvas.cr();
  cairo_save(cr);
  frame.clip(cr);
  // Cell (c, r) covers pixels [c step, (c + 1) step): its centre is the
  // pixel the value belongs to.
  cairo_translate(cr, frame.left, frame.top);
  cairo_scale(cr, frame.scale * plot.step, frame.scale * plot.step);
  paintHeatMap(
      cr, plot.columns, plot.rows,
      [&](int c, int r) {
        const double value = plot.values[size_t(r) * plot.columns + c];
        return std::isinf(value) ? kUnbounded : colourOnScale(scaled(value));
      },
      true);
  cairo_restore(cr);
}

struct Label {
  Eigen::Vector2d at;
  std::string text;
};

// The contour lines (clipped by the caller), each labelled once where its
// label covers no other.
std::vector<Label> drawContours(PlotCanvas& canvas, const ImageFrame& frame,
                                const UncertaintyPlot& plot, const std::vector<double>& levels) {
  cairo_t* cr = canvas.cr();
  // Unbounded cells far above every level.
  GridField field;
  field.columns = plot.columns;
  field.rows = plot.rows;
  for (const float value : plot.values) {
    field.values.push_back(std::isinf(value) ? 1e30 : double(value));
  }
  const double step = plot.step;
  const auto node = [&](const Eigen::Vector2d& grid) {
    return frame.onCanvas(grid * step + Eigen::Vector2d::Constant(step / 2));
  };
  std::vector<Label> labels;
  for (double level : levels) {
    const std::vector<Segment> segments = contourSegments(field, level);
    canvas.setColour(kWhite, 0.9);
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
  return labels;
}

// Light dots: the map is darkest where the corners are; a dashed line
// round them, the region the largest value below is taken over.
void drawCornersAndHull(PlotCanvas& canvas, const ImageFrame& frame, const UncertaintyPlot& plot) {
  cairo_t* cr = canvas.cr();
  canvas.setColour(kPanel, 0.8);
  for (const Eigen::Vector2d& corner : plot.kept_corners) drawDot(cr, frame.onCanvas(corner), 1.3);
  const std::vector<Eigen::Vector2d>& hull = plot.covered_region;
  if (hull.size() < 3) return;
  const double dashes[] = {6.0, 4.0};
  cairo_set_dash(cr, dashes, 2, 0.0);
  cairo_set_line_width(cr, 1.5);
  canvas.setColour(kWhite, 0.95);
  for (size_t i = 0; i < hull.size(); ++i) {
    const Eigen::Vector2d at = frame.onCanvas(hull[i]);
    i == 0 ? cairo_move_to(cr, at.x(), at.y()) : cairo_line_to(cr, at.x(), at.y());
  }
  cairo_close_path(cr);
  cairo_stroke(cr);
  cairo_set_dash(cr, nullptr, 0, 0.0);
}

// The lines under the frame: the largest value inside the hull, the shares,
// and where the map is unbounded, why.
void drawSummary(PlotCanvas& canvas, const ImageFrame& frame, const UncertaintyPlot& plot) {
  canvas.setColour(kInk);
  const std::string largest_text = std::isinf(plot.covered_largest)
                                       ? std::string("unbounded")
                                       : formatPrintf("%.3f", plot.covered_largest) + " px";
  canvas.text(frame.left, frame.top + frame.h + 62,
              "largest inside the hull " + largest_text + ", at pixel " +
                  formatPrintf("%g", plot.covered_largest_at.x()) + " " +
                  formatPrintf("%g", plot.covered_largest_at.y()) +
                  " (circled); over the image: above 1 px " + percentText(plot.share_above_1px) +
                  ", above 5 px " + percentText(plot.share_above_5px),
              12, Anchor::kLeft);
  if (plot.share_unbounded > 0.0) {
    canvas.setColour(kUnbounded);
    canvas.text(
        frame.left, frame.top + frame.h + 80,
        "unbounded (red) over " + percentText(plot.share_unbounded) + ": " + plot.unbounded_reason,
        12, Anchor::kLeft);
  }
  // The circle in white on a dark rim: the covered region is the scale's
  // dark end.
  cairo_t* cr = canvas.cr();
  const Eigen::Vector2d worst = frame.onCanvas(plot.covered_largest_at);
  for (const auto& [colour, width] : {std::pair<Colour, double>{kInk, 3.5}, {kWhite, 1.5}}) {
    canvas.setColour(colour);
    cairo_set_line_width(cr, width);
    cairo_new_path(cr);
    cairo_arc(cr, worst.x(), worst.y(), 7, 0, 2 * M_PI);
    cairo_stroke(cr);
  }
}

}  // namespace

std::string plotUncertainty(const UncertaintyPlot& plot) {
  constexpr double kColourBarSpace = 130;
  const std::string size = formatImageSize(plot.width, plot.height);
  const ImageFrame frame(plot.width, plot.height, 760, 560);
  PlotCanvas canvas(int(std::ceil(frame.left + frame.w + kColourBarSpace)),
                    int(std::ceil(frame.top + frame.h + kFrameBottom + 18)), PictureFormat::kPng,
                    "Projection uncertainty over the " + size + " image");
  cairo_t* cr = canvas.cr();
  const LogScale scaled = scaleOf(plot.values);
  const std::vector<double> levels = contourLevels(scaled);
  drawMap(canvas, frame, plot, scaled);
  cairo_save(cr);
  frame.clip(cr);
  const std::vector<Label> labels = drawContours(canvas, frame, plot, levels);
  drawCornersAndHull(canvas, frame, plot);
  cairo_restore(cr);
  for (const Label& label : labels) canvas.boxedText(label.at.x(), label.at.y(), label.text, 11);
  frame.drawAxes(canvas);

  // The colour bar's ticks: the contours' levels, or only the powers of ten
  // when they are many.
  std::vector<double> ticks = levels;
  if (ticks.size() > 8) {
    ticks.clear();
    for (double level : levels) {
      if (std::abs(std::log10(level) - std::round(std::log10(level))) < 1e-9)
        ticks.push_back(level);
    }
  }
  const AxisScale bar{0.0, 1.0, frame.top + frame.h, frame.top};
  drawColourBar(
      canvas, frame, ticks, [&](double t) { return bar(scaled(t)); },
      "standard deviation (pixels, logarithmic)");
  if (scaled.clipped) {
    canvas.text(frame.left + frame.w + 28 - 6, frame.top - 10,
                "top: " + tickText(scaled.hi) + " px and above", 11, Anchor::kLeft);
  }
  drawTitles(canvas, "Projection uncertainty of the fitted camera, " + size,
             "the standard deviation of where a fixed ray is seen; dots: the kept corners, "
             "dashed: their hull");
  drawSummary(canvas, frame, plot);
  return canvas.finish();
}

}  // namespace camcal
