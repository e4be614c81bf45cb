#include "lens_plot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "calibration_utils/lens_soundness.h"
#include "calibration_utils/rectify.h"
#include "colour_map.h"
#include "contour_lines.h"

namespace camcal {

namespace {

using dravik::calibration::SoundRegion;

// The image is drawn at most this large, in canvas points, keeping its shape.
constexpr double kLargestImageWidth = 760, kLargestImageHeight = 560;
constexpr double kLeft = 78, kTop = 74, kColourBarSpace = 130, kBottom = 96;
// Canvas points per contour grid cell, and arrows along the longer side.
constexpr double kContourCell = 4.0;
constexpr int kArrowsAlongLongerSide = 16;

const Colour kInk{0.1, 0.1, 0.1};
const Colour kNoRay{0.72, 0.72, 0.72};
const Colour kSoundEdge{0.9, 0.1, 0.55};
const Colour kArrow{1.0, 1.0, 1.0};

// The lens at one image size: the pixel's ray, and the pixel a pinhole
// camera with the same K gives that ray.
struct LensField {
  const IntrinsicsAtSize& lens;
  float distortion[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  float principal_point[2];
  float focal_length[2];

  explicit LensField(const IntrinsicsAtSize& in)
      : lens(in), principal_point{in.K(0, 2), in.K(1, 2)}, focal_length{in.K(0, 0), in.K(1, 1)} {
    std::copy_n(in.distortion.begin(), std::min<size_t>(in.distortion.size(), 8), distortion);
  }

  // (pixel - pinhole pixel of its ray); false where the pixel has no ray
  // (beyond a fold of the lens).
  bool displacement(double u, double v, Eigen::Vector2d* moved) const {
    const double skew = lens.K(0, 1);
    const double yd = (v - principal_point[1]) / focal_length[1];
    const auto ray = dravik::calibration::rectifyPointWithStatus(
        distortion, principal_point, focal_length, Eigen::Vector2f(float(u - skew * yd), float(v)));
    if (!ray.converged) return false;
    const double x = ray.point.x(), y = ray.point.y();
    const Eigen::Vector2d pinhole(focal_length[0] * x + skew * y + principal_point[0],
                                  focal_length[1] * y + principal_point[1]);
    *moved = Eigen::Vector2d(u, v) - pinhole;
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

}  // namespace

std::string plotLens(const IntrinsicsAtSize& lens, PictureFormat format, int picture_width) {
  const double scale = std::min(kLargestImageWidth / lens.width, kLargestImageHeight / lens.height);
  const double image_w = lens.width * scale, image_h = lens.height * scale;
  const int width = static_cast<int>(std::ceil(kLeft + image_w + kColourBarSpace));
  const int height = static_cast<int>(std::ceil(kTop + image_h + kBottom));
  const std::string size = std::to_string(lens.width) + "x" + std::to_string(lens.height);
  const std::string title =
      "Lens of " + lens.camera + ", " + lens.model_description + ", at " + size;
  PlotCanvas canvas(width, height, format, title, picture_width);
  cairo_t* cr = canvas.cr();
  // Image pixel (u, v) to canvas.
  const AxisScale cu{0.0, double(lens.width), kLeft, kLeft + image_w};
  const AxisScale cv{0.0, double(lens.height), kTop, kTop + image_h};
  const LensField field(lens);

  // The displacement on a grid of nodes kContourCell points apart, corners
  // included.
  GridField magnitude;
  magnitude.columns = static_cast<int>(std::ceil(image_w / kContourCell)) + 1;
  magnitude.rows = static_cast<int>(std::ceil(image_h / kContourCell)) + 1;
  const auto nodeU = [&](double c) { return lens.width * c / (magnitude.columns - 1); };
  const auto nodeV = [&](double r) { return lens.height * r / (magnitude.rows - 1); };
  double largest = 0.0;
  for (int r = 0; r < magnitude.rows; ++r) {
    for (int c = 0; c < magnitude.columns; ++c) {
      Eigen::Vector2d moved;
      const bool has_ray = field.displacement(nodeU(c), nodeV(r), &moved);
      magnitude.values.push_back(has_ray ? moved.norm() : NAN);
      if (has_ray) largest = std::max(largest, moved.norm());
    }
  }
  const std::vector<double> levels = niceTicks(0.0, largest, 6);
  const double top = levels.size() > 1 ? std::max(largest, levels.back()) : std::max(largest, 1.0);

  // Colour map: one pixel per node, drawn over the image rectangle.
  cairo_surface_t* map =
      cairo_image_surface_create(CAIRO_FORMAT_RGB24, magnitude.columns, magnitude.rows);
  unsigned char* data = cairo_image_surface_get_data(map);
  const int stride = cairo_image_surface_get_stride(map);
  for (int r = 0; r < magnitude.rows; ++r) {
    auto* row = reinterpret_cast<uint32_t*>(data + size_t(r) * stride);
    for (int c = 0; c < magnitude.columns; ++c) {
      const double value = magnitude.at(c, r);
      const Colour colour = std::isfinite(value) ? colourOnScale(value / top) : kNoRay;
      row[c] = (uint32_t(colour.r * 255 + 0.5) << 16) | (uint32_t(colour.g * 255 + 0.5) << 8) |
               uint32_t(colour.b * 255 + 0.5);
    }
  }
  cairo_surface_mark_dirty(map);
  cairo_save(cr);
  cairo_rectangle(cr, kLeft, kTop, image_w, image_h);
  cairo_clip(cr);
  cairo_translate(cr, kLeft, kTop);
  cairo_scale(cr, image_w / (magnitude.columns - 1), image_h / (magnitude.rows - 1));
  cairo_translate(cr, -0.5, -0.5);
  cairo_set_source_surface(cr, map, 0, 0);
  cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_BILINEAR);
  cairo_paint(cr);
  cairo_restore(cr);
  cairo_surface_destroy(map);

  // Contour lines, each labelled once where it crosses a ray from the
  // principal point: the one towards the farthest corner, or the next of
  // sixteen around where that label would cover another.
  const Eigen::Vector2d centre(lens.K(0, 2), lens.K(1, 2));
  const Eigen::Vector2d pp(cu(centre.x()), cv(centre.y()));
  const Eigen::Vector2d corner(cu(centre.x() < lens.width / 2.0 ? lens.width : 0.0),
                               cv(centre.y() < lens.height / 2.0 ? lens.height : 0.0));
  const double first_angle = std::atan2(corner.y() - pp.y(), corner.x() - pp.x());
  std::vector<ContourLabel> labels;
  std::vector<Box> taken = {boxAround(pp + Eigen::Vector2d(0, 18), 90, 16)};
  cairo_save(cr);
  cairo_rectangle(cr, kLeft, kTop, image_w, image_h);
  cairo_clip(cr);
  for (double level : levels) {
    if (level <= 0.0) continue;
    std::vector<Eigen::Vector2d> midpoints;
    canvas.setColour({1, 1, 1}, 0.9);
    cairo_set_line_width(cr, 1.2);
    for (const Segment& s : contourSegments(magnitude, level)) {
      const Eigen::Vector2d from(cu(nodeU(s.from.x())), cv(nodeV(s.from.y())));
      const Eigen::Vector2d to(cu(nodeU(s.to.x())), cv(nodeV(s.to.y())));
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
        const bool inside = mid.x() > kLeft + box_width / 2 &&
                            mid.x() < kLeft + image_w - box_width / 2 && mid.y() > kTop + 10 &&
                            mid.y() < kTop + image_h - 10;
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

  // Arrows: the way the lens moves each ray from its pinhole pixel, the
  // longest as long as the spacing.
  const double spacing = std::max(image_w, image_h) / kArrowsAlongLongerSide;
  std::vector<std::pair<Eigen::Vector2d, Eigen::Vector2d>> arrows;
  double longest = 0.0;
  for (double y = spacing / 2; y < image_h; y += spacing) {
    for (double x = spacing / 2; x < image_w; x += spacing) {
      const Eigen::Vector2d pixel(x / scale, y / scale);
      Eigen::Vector2d moved;
      if (!field.displacement(pixel.x(), pixel.y(), &moved)) continue;
      arrows.push_back({pixel, moved});
      longest = std::max(longest, moved.norm());
    }
  }
  canvas.setColour(kArrow, 0.95);
  cairo_set_line_width(cr, 1.3);
  for (const auto& [pixel, moved] : arrows) {
    if (longest <= 0.0) break;
    const Eigen::Vector2d tail(cu(pixel.x()), cv(pixel.y()));
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

  // The sound region's edge, where the image reaches it: the circle of its
  // distorted radius about the principal point, in pixels.
  const SoundRegion region = dravik::calibration::findSoundRegion(lens.distortion);
  bool edge_inside = false;
  const bool edge_drawn = region.edge != SoundRegion::Edge::kNone &&
                          std::isfinite(region.distorted_radius) && region.distorted_radius > 0.0;
  if (edge_drawn) {
    const double rd = region.distorted_radius;
    canvas.setColour(kSoundEdge);
    cairo_set_line_width(cr, 2.5);
    const double dashes[2] = {9.0, 5.0};
    cairo_set_dash(cr, dashes, 2, 0.0);
    for (int i = 0; i <= 360; ++i) {
      const double a = i * M_PI / 180.0;
      const double u =
          lens.K(0, 0) * rd * std::cos(a) + lens.K(0, 1) * rd * std::sin(a) + centre.x();
      const double v = lens.K(1, 1) * rd * std::sin(a) + centre.y();
      edge_inside = edge_inside || (u >= 0 && u <= lens.width && v >= 0 && v <= lens.height);
      if (i == 0) {
        cairo_move_to(cr, cu(u), cv(v));
      } else {
        cairo_line_to(cr, cu(u), cv(v));
      }
    }
    cairo_stroke(cr);
    cairo_set_dash(cr, nullptr, 0, 0.0);
  }
  cairo_restore(cr);

  for (const ContourLabel& label : labels) {
    canvas.boxedText(label.at.x(), label.at.y(), label.text, 11);
  }

  // Principal point, image border, axes.
  canvas.setColour(kInk);
  cairo_set_line_width(cr, 2.0);
  const double px = cu(centre.x()), py = cv(centre.y());
  cairo_move_to(cr, px - 8, py);
  cairo_line_to(cr, px + 8, py);
  cairo_move_to(cr, px, py - 8);
  cairo_line_to(cr, px, py + 8);
  cairo_stroke(cr);
  canvas.boxedText(px, py + 18, "principal point", 11);
  canvas.setColour(kInk);
  cairo_set_line_width(cr, 1.5);
  cairo_rectangle(cr, kLeft, kTop, image_w, image_h);
  cairo_stroke(cr);
  cairo_set_line_width(cr, 1.0);
  for (double t : niceTicks(0, lens.width, 8)) {
    cairo_move_to(cr, cu(t), kTop + image_h);
    cairo_line_to(cr, cu(t), kTop + image_h + 5);
    cairo_stroke(cr);
    canvas.text(cu(t), kTop + image_h + 16, tickText(t), 12, Anchor::kCentre);
  }
  for (double t : niceTicks(0, lens.height, 6)) {
    cairo_move_to(cr, kLeft - 5, cv(t));
    cairo_line_to(cr, kLeft, cv(t));
    cairo_stroke(cr);
    canvas.text(kLeft - 8, cv(t), tickText(t), 12, Anchor::kRight);
  }
  canvas.text(kLeft + image_w / 2, kTop + image_h + 38, "u (pixels)", 14, Anchor::kCentre);
  canvas.text(22, kTop + image_h / 2, "v (pixels)", 14, Anchor::kCentre, M_PI / 2);
  canvas.text(width / 2.0, 26, title, 17, Anchor::kCentre, 0.0, true);
  canvas.text(width / 2.0, 50,
              "how far the lens moves each pixel from the pinhole pixel of its ray; arrows show "
              "the direction",
              12, Anchor::kCentre);

  // Colour bar with its units.
  const double bar_x = kLeft + image_w + 28, bar_w = 18;
  for (int i = 0; i < 200; ++i) {
    canvas.setColour(colourOnScale(1.0 - i / 199.0));
    cairo_rectangle(cr, bar_x, kTop + image_h * i / 200.0, bar_w, image_h / 200.0 + 0.5);
    cairo_fill(cr);
  }
  canvas.setColour(kInk);
  cairo_rectangle(cr, bar_x, kTop, bar_w, image_h);
  cairo_stroke(cr);
  const AxisScale bar{0.0, top, kTop + image_h, kTop};
  for (double t : niceTicks(0, top, 6)) {
    cairo_move_to(cr, bar_x + bar_w, bar(t));
    cairo_line_to(cr, bar_x + bar_w + 4, bar(t));
    cairo_stroke(cr);
    canvas.text(bar_x + bar_w + 7, bar(t), tickText(t), 12, Anchor::kLeft);
  }
  canvas.text(bar_x + bar_w + 62, kTop + image_h / 2, "displacement (pixels)", 14, Anchor::kCentre,
              M_PI / 2);

  // Legend.
  const double legend_y = kTop + image_h + 66;
  double legend_x = kLeft;
  if (edge_drawn && edge_inside) {
    canvas.setColour(kSoundEdge);
    cairo_set_line_width(cr, 2.5);
    const double dashes[2] = {9.0, 5.0};
    cairo_set_dash(cr, dashes, 2, 0.0);
    cairo_move_to(cr, legend_x, legend_y);
    cairo_line_to(cr, legend_x + 30, legend_y);
    cairo_stroke(cr);
    cairo_set_dash(cr, nullptr, 0, 0.0);
    legend_x += 38;
    canvas.setColour(kInk);
    const std::string text = "edge of the sound region (" + edgeName(region) + ")";
    canvas.text(legend_x, legend_y, text, 12, Anchor::kLeft);
    legend_x += canvas.textWidth(text, 12) + 24;
  } else {
    canvas.setColour(kInk);
    const std::string text = "the lens is sound over the whole image";
    canvas.text(legend_x, legend_y, text, 12, Anchor::kLeft);
    legend_x += canvas.textWidth(text, 12) + 24;
  }
  if (std::any_of(magnitude.values.begin(), magnitude.values.end(),
                  [](double v) { return !std::isfinite(v); })) {
    canvas.setColour(kNoRay);
    cairo_rectangle(cr, legend_x, legend_y - 6, 14, 12);
    cairo_fill(cr);
    canvas.setColour(kInk);
    canvas.text(legend_x + 20, legend_y, "pixels without a ray (beyond the fold)", 12,
                Anchor::kLeft);
  }
  return canvas.finish();
}

}  // namespace camcal
