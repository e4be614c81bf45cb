#include "plot/lens_plot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "calibration_utils/lens.h"
#include "cli/options.h"
#include "plot/colour_map.h"
#include "plot/contour_lines.h"
#include "plot/image_frame.h"
#include "plot/palette.h"

namespace camcal {

namespace {

using dravik::calibration::SoundRegion;
using namespace palette;

// The image is drawn at most this large, in canvas points, keeping its shape.
constexpr double kLargestImageWidth = 760, kLargestImageHeight = 560;
constexpr double kColourBarSpace = 130, kBottom = 96;
// Canvas points per contour grid cell, and arrows along the longer side.
constexpr double kContourCell = 4.0;
constexpr int kArrowsAlongLongerSide = 16;

// The lens at one image size: the pixel's ray, and the pixel a pinhole
// camera with the same K gives that ray.
struct LensField {
  dravik::calibration::Lens lens, pinhole;
  // Rays farther off axis lie beyond the sound region's edge.
  double sound_radius;

  // (pixel - pinhole pixel of its ray); false where the pixel has no ray in
  // the sound region (beyond a fold, or beyond a pole where the
  // rectification may find a second root).
  bool displacement(double u, double v, Eigen::Vector2d* moved) const {
    const auto ray = lens.normalize(Eigen::Vector2d(u, v));
    if (!ray.converged || ray.point.norm() > sound_radius) return false;
    *moved =
        Eigen::Vector2d(u, v) - pinhole.project(Eigen::Vector3d(ray.point.x(), ray.point.y(), 1.0));
    return true;
  }
};

// A label's box on the canvas, and its place and text.
struct Box {
  double x0, y0, x1, y1;
};
Box boxAround(const Eigen::Vector2d& centre, double width, double height) {
  return {centre.x() - width / 2, centre.y() - height / 2, centre.x() + width / 2,
          centre.y() + height / 2};
}
bool overlap(const Box& a, const Box& b) {
  return a.x0 < b.x1 && b.x0 < a.x1 && a.y0 < b.y1 && b.y0 < a.y1;
}
struct ContourLabel {
  Eigen::Vector2d at;
  std::string text;
};

std::string number(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof(text), format, value);
  return text;
}

std::string edgeName(const SoundRegion& region) {
  return std::string(region.edge == SoundRegion::Edge::kFold ? "fold" : "pole") + ", " +
         number("%.1f", std::atan(region.radius) * 180.0 / M_PI) + "\u00b0 off axis";
}

// Where the image lies on the canvas: scaled to fit, keeping its shape; the
// canvas's size.
struct Layout {
  ImageFrame frame;
  double width, height;

  Eigen::Vector2d onCanvas(double u, double v) const { return frame.onCanvas({u, v}); }
};

Layout layoutOf(const IntrinsicsAtSize& lens) {
  const ImageFrame frame(lens.width, lens.height, kLargestImageWidth, kLargestImageHeight);
  return {frame, std::ceil(frame.left + frame.w + kColourBarSpace),
          std::ceil(frame.top + frame.h + kBottom)};
}

// The displacement's length on a grid of nodes kContourCell canvas points
// apart, corners included (NaN where a pixel has no ray), and the contour
// levels and colour scale's top it calls for.
struct DisplacementGrid {
  GridField grid;
  double largest = 0.0, top = 1.0;
  bool rayless = false;
  std::vector<double> levels;

  // Image pixels of a node of the grid, which may lie between nodes.
  Eigen::Vector2d pixelOf(const IntrinsicsAtSize& lens, const Eigen::Vector2d& node) const {
    return {lens.width * node.x() / (grid.columns - 1), lens.height * node.y() / (grid.rows - 1)};
  }
};

DisplacementGrid sampleDisplacement(const LensField& field, const IntrinsicsAtSize& lens,
                                    const Layout& layout) {
  DisplacementGrid out;
  out.grid.columns = static_cast<int>(std::ceil(layout.frame.w / kContourCell)) + 1;
  out.grid.rows = static_cast<int>(std::ceil(layout.frame.h / kContourCell)) + 1;
  for (int r = 0; r < out.grid.rows; ++r) {
    for (int c = 0; c < out.grid.columns; ++c) {
      const Eigen::Vector2d pixel = out.pixelOf(lens, Eigen::Vector2d(c, r));
      Eigen::Vector2d moved;
      const bool has_ray = field.displacement(pixel.x(), pixel.y(), &moved);
      out.grid.values.push_back(has_ray ? moved.norm() : NAN);
      if (has_ray) out.largest = std::max(out.largest, moved.norm());
      out.rayless = out.rayless || !has_ray;
    }
  }
  out.levels = niceTicks(0.0, out.largest, 6);
  out.top =
      out.levels.size() > 1 ? std::max(out.largest, out.levels.back()) : std::max(out.largest, 1.0);
  return out;
}

// Everything a layer of the picture is drawn from.
struct Picture {
  const IntrinsicsAtSize& lens;
  const SoundRegion& region;
  const LensField& field;
  const Layout& layout;
  const DisplacementGrid& displacement;
  const std::string& title;

  Eigen::Vector2d centre() const { return {lens.K(0, 2), lens.K(1, 2)}; }
  Eigen::Vector2d nodeOnCanvas(const Eigen::Vector2d& node) const {
    const Eigen::Vector2d pixel = displacement.pixelOf(lens, node);
    return layout.onCanvas(pixel.x(), pixel.y());
  }
};

// One pixel per node, stretched over the image rectangle.
void drawColourMap(PlotCanvas& canvas, const Picture& p) {
  cairo_t* cr = canvas.cr();
  const int columns = p.displacement.grid.columns, rows = p.displacement.grid.rows;
  cairo_save(cr);
  cairo_rectangle(cr, kFrameLeft, kFrameTop, p.layout.frame.w, p.layout.frame.h);
  cairo_clip(cr);
  cairo_translate(cr, kFrameLeft, kFrameTop);
  cairo_scale(cr, p.layout.frame.w / (columns - 1), p.layout.frame.h / (rows - 1));
  cairo_translate(cr, -0.5, -0.5);
  paintHeatMap(
      cr, columns, rows,
      [&](int c, int r) {
        const double value = p.displacement.grid.at(c, r);
        return std::isfinite(value) ? colourOnScale(value / p.displacement.top) : kNoRay;
      },
      false);
  cairo_restore(cr);
}

// The contour lines; each is labelled once where it crosses a ray from the
// principal point: the one towards the farthest corner, or the next of
// sixteen around where that label would cover another.
std::vector<ContourLabel> drawContours(PlotCanvas& canvas, const Picture& p) {
  cairo_t* cr = canvas.cr();
  const Eigen::Vector2d pp = p.layout.onCanvas(p.centre().x(), p.centre().y());
  const Eigen::Vector2d corner =
      p.layout.onCanvas(p.centre().x() < p.lens.width / 2.0 ? p.lens.width : 0.0,
                        p.centre().y() < p.lens.height / 2.0 ? p.lens.height : 0.0);
  const double first_angle = std::atan2(corner.y() - pp.y(), corner.x() - pp.x());
  std::vector<ContourLabel> labels;
  std::vector<Box> taken = {boxAround(pp + Eigen::Vector2d(0, 18), 90, 16)};
  for (double level : p.displacement.levels) {
    if (level <= 0.0) continue;
    std::vector<Eigen::Vector2d> midpoints;
    canvas.setColour({1, 1, 1}, 0.9);
    cairo_set_line_width(cr, 1.2);
    for (const Segment& s : contourSegments(p.displacement.grid, level)) {
      const Eigen::Vector2d from = p.nodeOnCanvas(s.from);
      const Eigen::Vector2d to = p.nodeOnCanvas(s.to);
      cairo_move_to(cr, from.x(), from.y());
      cairo_line_to(cr, to.x(), to.y());
      midpoints.push_back((from + to) / 2);
    }
    cairo_stroke(cr);
    const std::string text = tickText(level) + " px";
    const double box_width = canvas.textWidth(text, 11) + 6;
    for (int turn = 0; turn < 16; ++turn) {
      const double angle = first_angle + turn * M_PI / 8;
      const Eigen::Vector2d ray(std::cos(angle), std::sin(angle));
      const Eigen::Vector2d* best = nullptr;
      double nearest = 6.0;  // points off the ray
      for (const auto& mid : midpoints) {
        const Eigen::Vector2d offset = mid - pp;
        const double off_ray = std::abs(offset.x() * ray.y() - offset.y() * ray.x());
        const bool inside = mid.x() > kFrameLeft + box_width / 2 &&
                            mid.x() < kFrameLeft + p.layout.frame.w - box_width / 2 &&
                            mid.y() > kFrameTop + 10 && mid.y() < kFrameTop + p.layout.frame.h - 10;
        if (inside && offset.dot(ray) > 0 && off_ray < nearest) {
          nearest = off_ray;
          best = &mid;
        }
      }
      if (!best) continue;
      const Box box = boxAround(*best, box_width, 16);
      if (std::any_of(taken.begin(), taken.end(), [&](const Box& b) { return overlap(b, box); })) {
        continue;
      }
      taken.push_back(box);
      labels.push_back({*best, text});
      break;
    }
  }
  return labels;
}

// The way the lens moves each ray from its pinhole pixel, on a sparse grid;
// the longest arrow as long as the spacing.
void drawArrows(PlotCanvas& canvas, const Picture& p) {
  cairo_t* cr = canvas.cr();
  const double spacing = std::max(p.layout.frame.w, p.layout.frame.h) / kArrowsAlongLongerSide;
  std::vector<std::pair<Eigen::Vector2d, Eigen::Vector2d>> arrows;
  double longest = 0.0;
  for (double y = spacing / 2; y < p.layout.frame.h; y += spacing) {
    for (double x = spacing / 2; x < p.layout.frame.w; x += spacing) {
      const Eigen::Vector2d pixel(x / p.layout.frame.scale, y / p.layout.frame.scale);
      Eigen::Vector2d moved;
      if (!p.field.displacement(pixel.x(), pixel.y(), &moved)) continue;
      arrows.push_back({pixel, moved});
      longest = std::max(longest, moved.norm());
    }
  }
  if (longest <= 0.0) return;
  canvas.setColour(kWhite, 0.95);
  cairo_set_line_width(cr, 1.3);
  for (const auto& [pixel, moved] : arrows) {
    const Eigen::Vector2d tail = p.layout.onCanvas(pixel.x(), pixel.y());
    const Eigen::Vector2d step = moved / longest * spacing * 0.8;
    if (step.norm() < 1.5) {
      cairo_arc(cr, tail.x(), tail.y(), 1.2, 0, 2 * M_PI);
      cairo_fill(cr);
      continue;
    }
    const Eigen::Vector2d head = tail + step;
    cairo_move_to(cr, tail.x(), tail.y());
    cairo_line_to(cr, head.x(), head.y());
    cairo_stroke(cr);
    const Eigen::Vector2d back = -step.normalized() * std::min(6.0, step.norm() * 0.5);
    const Eigen::Vector2d side(-back.y() * 0.5, back.x() * 0.5);
    cairo_move_to(cr, head.x(), head.y());
    cairo_line_to(cr, head.x() + back.x() + side.x(), head.y() + back.y() + side.y());
    cairo_line_to(cr, head.x() + back.x() - side.x(), head.y() + back.y() - side.y());
    cairo_close_path(cr);
    cairo_fill(cr);
  }
}

void setEdgeStroke(PlotCanvas& canvas) {
  cairo_t* cr = canvas.cr();
  canvas.setColour(kSoundEdge);
  cairo_set_line_width(cr, 2.5);
  const double dashes[2] = {9.0, 5.0};
  cairo_set_dash(cr, dashes, 2, 0.0);
}

// The sound region's edge, where the image reaches it: the circle of its
// distorted radius rd about the principal point, the pinhole pixels of
// rd (cos a, sin a). True when drawn.
bool drawSoundEdge(PlotCanvas& canvas, const Picture& p) {
  cairo_t* cr = canvas.cr();
  const double rd = p.region.distorted_radius;
  if (p.region.edge == SoundRegion::Edge::kNone || !std::isfinite(rd) || !(rd > 0.0)) {
    return false;
  }
  std::vector<Eigen::Vector2d> edge;
  bool inside = false;
  for (int i = 0; i <= 360; ++i) {
    const double a = i * M_PI / 180.0;
    const Eigen::Vector2d pixel =
        p.field.pinhole.project(Eigen::Vector3d(rd * std::cos(a), rd * std::sin(a), 1.0));
    const double u = pixel.x(), v = pixel.y();
    inside = inside || (u >= 0 && u <= p.lens.width && v >= 0 && v <= p.lens.height);
    edge.push_back(p.layout.onCanvas(u, v));
  }
  if (!inside) return false;
  setEdgeStroke(canvas);
  cairo_move_to(cr, edge[0].x(), edge[0].y());
  for (const auto& point : edge) cairo_line_to(cr, point.x(), point.y());
  cairo_stroke(cr);
  cairo_set_dash(cr, nullptr, 0, 0.0);
  return true;
}

// Principal point, image border, axes and titles.
void drawFrame(PlotCanvas& canvas, const Picture& p) {
  cairo_t* cr = canvas.cr();
  canvas.setColour(kInk);
  cairo_set_line_width(cr, 2.0);
  const Eigen::Vector2d pp = p.layout.onCanvas(p.centre().x(), p.centre().y());
  cairo_move_to(cr, pp.x() - 8, pp.y());
  cairo_line_to(cr, pp.x() + 8, pp.y());
  cairo_move_to(cr, pp.x(), pp.y() - 8);
  cairo_line_to(cr, pp.x(), pp.y() + 8);
  cairo_stroke(cr);
  canvas.boxedText(pp.x(), pp.y() + 18, "principal point", 11);
  p.layout.frame.drawAxes(canvas);
  drawTitles(canvas, p.title,
             "how far the lens moves each pixel from the pinhole pixel of its ray; arrows show "
             "the direction");
}

void drawLegend(PlotCanvas& canvas, const Picture& p, bool edge_inside) {
  cairo_t* cr = canvas.cr();
  const double y = kFrameTop + p.layout.frame.h + 66;
  double x = kFrameLeft;
  std::string text = "the lens is sound over the whole image";
  if (edge_inside) {
    setEdgeStroke(canvas);
    cairo_move_to(cr, x, y);
    cairo_line_to(cr, x + 30, y);
    cairo_stroke(cr);
    cairo_set_dash(cr, nullptr, 0, 0.0);
    x += 38;
    text = "edge of the sound region (" + edgeName(p.region) + ")";
  }
  canvas.setColour(kInk);
  canvas.text(x, y, text, 12, Anchor::kLeft);
  x += canvas.textWidth(text, 12) + 24;
  if (p.displacement.rayless) {
    canvas.setColour(kNoRay);
    cairo_rectangle(cr, x, y - 6, 14, 12);
    cairo_fill(cr);
    canvas.setColour(kInk);
    canvas.text(x + 20, y, "pixels without a ray in the sound region", 12, Anchor::kLeft);
  }
}

}  // namespace

std::string plotLens(const IntrinsicsAtSize& lens, PictureFormat format, int picture_width) {
  const SoundRegion region = lensOf(lens).soundRegion();
  const LensField field{lensOf(lens), pinholeOf(lens), region.radius};
  const Layout layout = layoutOf(lens);
  const DisplacementGrid displacement = sampleDisplacement(field, lens, layout);
  const std::string title = "Lens of " + lens.camera + ", " + lens.model_description + ", at " +
                            formatImageSize(lens.width, lens.height);
  const Picture p{lens, region, field, layout, displacement, title};

  PlotCanvas canvas(int(layout.width), int(layout.height), format, title, picture_width);
  cairo_t* cr = canvas.cr();
  drawColourMap(canvas, p);
  cairo_save(cr);
  cairo_rectangle(cr, kFrameLeft, kFrameTop, layout.frame.w, layout.frame.h);
  cairo_clip(cr);
  const std::vector<ContourLabel> labels = drawContours(canvas, p);
  drawArrows(canvas, p);
  const bool edge_inside = drawSoundEdge(canvas, p);
  cairo_restore(cr);
  for (const ContourLabel& label : labels) {
    canvas.boxedText(label.at.x(), label.at.y(), label.text, 11);
  }
  drawFrame(canvas, p);
  drawColourBar(
      canvas, layout.frame, niceTicks(0, displacement.top, 6),
      AxisScale{0.0, displacement.top, layout.frame.top + layout.frame.h, layout.frame.top},
      "displacement (pixels)");
  drawLegend(canvas, p, edge_inside);
  return canvas.finish();
}

}  // namespace camcal
