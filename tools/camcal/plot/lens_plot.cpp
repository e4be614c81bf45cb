#include "plot/lens_plot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "calibration_utils/lens.h"
#include "plot/colour_map.h"
#include "plot/contour_lines.h"

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

// The picture being drawn: the layout, the lens and the displacement field,
// drawn layer by layer from the back.
class LensPicture {
 public:
  LensPicture(const IntrinsicsAtSize& lens, PictureFormat format, int picture_width)
      : lens_(lens),
        region_(lensOf(lens).soundRegion()),
        field_{lensOf(lens), pinholeOf(lens), region_.radius},
        scale_(std::min(kLargestImageWidth / lens.width, kLargestImageHeight / lens.height)),
        image_w_(lens.width * scale_),
        image_h_(lens.height * scale_),
        width_(std::ceil(kLeft + image_w_ + kColourBarSpace)),
        height_(std::ceil(kTop + image_h_ + kBottom)),
        title_("Lens of " + lens.camera + ", " + lens.model_description + ", at " +
               std::to_string(lens.width) + "x" + std::to_string(lens.height)),
        canvas_(int(width_), int(height_), format, title_, picture_width),
        cr_(canvas_.cr()),
        cu_{0.0, double(lens.width), kLeft, kLeft + image_w_},
        cv_{0.0, double(lens.height), kTop, kTop + image_h_},
        centre_(lens.K(0, 2), lens.K(1, 2)) {
    sampleField();
  }

  std::string draw() {
    drawColourMap();
    cairo_save(cr_);
    cairo_rectangle(cr_, kLeft, kTop, image_w_, image_h_);
    cairo_clip(cr_);
    const std::vector<ContourLabel> labels = drawContours();
    drawArrows();
    const bool edge_inside = drawSoundEdge();
    cairo_restore(cr_);
    for (const ContourLabel& label : labels) {
      canvas_.boxedText(label.at.x(), label.at.y(), label.text, 11);
    }
    drawFrame();
    drawColourBar();
    drawLegend(edge_inside);
    return canvas_.finish();
  }

 private:
  // Image pixels of a node of the field's grid.
  double nodeU(double column) const { return lens_.width * column / (field_grid_.columns - 1); }
  double nodeV(double row) const { return lens_.height * row / (field_grid_.rows - 1); }
  Eigen::Vector2d onCanvas(double u, double v) const { return {cu_(u), cv_(v)}; }

  // The displacement on a grid of nodes kContourCell points apart, corners
  // included; NaN where a pixel has no ray.
  void sampleField() {
    field_grid_.columns = static_cast<int>(std::ceil(image_w_ / kContourCell)) + 1;
    field_grid_.rows = static_cast<int>(std::ceil(image_h_ / kContourCell)) + 1;
    for (int r = 0; r < field_grid_.rows; ++r) {
      for (int c = 0; c < field_grid_.columns; ++c) {
        Eigen::Vector2d moved;
        const bool has_ray = field_.displacement(nodeU(c), nodeV(r), &moved);
        field_grid_.values.push_back(has_ray ? moved.norm() : NAN);
        if (has_ray) largest_ = std::max(largest_, moved.norm());
        rayless_ = rayless_ || !has_ray;
      }
    }
    levels_ = niceTicks(0.0, largest_, 6);
    top_ = levels_.size() > 1 ? std::max(largest_, levels_.back()) : std::max(largest_, 1.0);
  }

  // One pixel per node, stretched over the image rectangle.
  void drawColourMap() {
    cairo_surface_t* map =
        cairo_image_surface_create(CAIRO_FORMAT_RGB24, field_grid_.columns, field_grid_.rows);
    unsigned char* data = cairo_image_surface_get_data(map);
    const int stride = cairo_image_surface_get_stride(map);
    for (int r = 0; r < field_grid_.rows; ++r) {
      auto* row = reinterpret_cast<uint32_t*>(data + size_t(r) * stride);
      for (int c = 0; c < field_grid_.columns; ++c) {
        const double value = field_grid_.at(c, r);
        const Colour colour = std::isfinite(value) ? colourOnScale(value / top_) : kNoRay;
        row[c] = (uint32_t(colour.r * 255 + 0.5) << 16) | (uint32_t(colour.g * 255 + 0.5) << 8) |
                 uint32_t(colour.b * 255 + 0.5);
      }
    }
    cairo_surface_mark_dirty(map);
    cairo_save(cr_);
    cairo_rectangle(cr_, kLeft, kTop, image_w_, image_h_);
    cairo_clip(cr_);
    cairo_translate(cr_, kLeft, kTop);
    cairo_scale(cr_, image_w_ / (field_grid_.columns - 1), image_h_ / (field_grid_.rows - 1));
    cairo_translate(cr_, -0.5, -0.5);
    cairo_set_source_surface(cr_, map, 0, 0);
    cairo_pattern_set_filter(cairo_get_source(cr_), CAIRO_FILTER_BILINEAR);
    cairo_paint(cr_);
    cairo_restore(cr_);
    cairo_surface_destroy(map);
  }

  // The contour lines; each is labelled once where it crosses a ray from the
  // principal point: the one towards the farthest corner, or the next of
  // sixteen around where that label would cover another.
  std::vector<ContourLabel> drawContours() {
    const Eigen::Vector2d pp = onCanvas(centre_.x(), centre_.y());
    const Eigen::Vector2d corner = onCanvas(centre_.x() < lens_.width / 2.0 ? lens_.width : 0.0,
                                            centre_.y() < lens_.height / 2.0 ? lens_.height : 0.0);
    const double first_angle = std::atan2(corner.y() - pp.y(), corner.x() - pp.x());
    std::vector<ContourLabel> labels;
    std::vector<Box> taken = {boxAround(pp + Eigen::Vector2d(0, 18), 90, 16)};
    for (double level : levels_) {
      if (level <= 0.0) continue;
      std::vector<Eigen::Vector2d> midpoints;
      canvas_.setColour({1, 1, 1}, 0.9);
      cairo_set_line_width(cr_, 1.2);
      for (const Segment& s : contourSegments(field_grid_, level)) {
        const Eigen::Vector2d from = onCanvas(nodeU(s.from.x()), nodeV(s.from.y()));
        const Eigen::Vector2d to = onCanvas(nodeU(s.to.x()), nodeV(s.to.y()));
        cairo_move_to(cr_, from.x(), from.y());
        cairo_line_to(cr_, to.x(), to.y());
        midpoints.push_back((from + to) / 2);
      }
      cairo_stroke(cr_);
      const std::string text = tickText(level) + " px";
      const double box_width = canvas_.textWidth(text, 11) + 6;
      for (int turn = 0; turn < 16; ++turn) {
        const double angle = first_angle + turn * M_PI / 8;
        const Eigen::Vector2d ray(std::cos(angle), std::sin(angle));
        const Eigen::Vector2d* best = nullptr;
        double nearest = 6.0;  // points off the ray
        for (const auto& mid : midpoints) {
          const Eigen::Vector2d offset = mid - pp;
          const double off_ray = std::abs(offset.x() * ray.y() - offset.y() * ray.x());
          const bool inside = mid.x() > kLeft + box_width / 2 &&
                              mid.x() < kLeft + image_w_ - box_width / 2 && mid.y() > kTop + 10 &&
                              mid.y() < kTop + image_h_ - 10;
          if (inside && offset.dot(ray) > 0 && off_ray < nearest) {
            nearest = off_ray;
            best = &mid;
          }
        }
        if (!best) continue;
        const Box box = boxAround(*best, box_width, 16);
        if (std::any_of(taken.begin(), taken.end(),
                        [&](const Box& b) { return overlap(b, box); })) {
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
  void drawArrows() {
    const double spacing = std::max(image_w_, image_h_) / kArrowsAlongLongerSide;
    std::vector<std::pair<Eigen::Vector2d, Eigen::Vector2d>> arrows;
    double longest = 0.0;
    for (double y = spacing / 2; y < image_h_; y += spacing) {
      for (double x = spacing / 2; x < image_w_; x += spacing) {
        const Eigen::Vector2d pixel(x / scale_, y / scale_);
        Eigen::Vector2d moved;
        if (!field_.displacement(pixel.x(), pixel.y(), &moved)) continue;
        arrows.push_back({pixel, moved});
        longest = std::max(longest, moved.norm());
      }
    }
    if (longest <= 0.0) return;
    canvas_.setColour(kArrow, 0.95);
    cairo_set_line_width(cr_, 1.3);
    for (const auto& [pixel, moved] : arrows) {
      const Eigen::Vector2d tail = onCanvas(pixel.x(), pixel.y());
      const Eigen::Vector2d step = moved / longest * spacing * 0.8;
      if (step.norm() < 1.5) {
        cairo_arc(cr_, tail.x(), tail.y(), 1.2, 0, 2 * M_PI);
        cairo_fill(cr_);
        continue;
      }
      const Eigen::Vector2d head = tail + step;
      cairo_move_to(cr_, tail.x(), tail.y());
      cairo_line_to(cr_, head.x(), head.y());
      cairo_stroke(cr_);
      const Eigen::Vector2d back = -step.normalized() * std::min(6.0, step.norm() * 0.5);
      const Eigen::Vector2d side(-back.y() * 0.5, back.x() * 0.5);
      cairo_move_to(cr_, head.x(), head.y());
      cairo_line_to(cr_, head.x() + back.x() + side.x(), head.y() + back.y() + side.y());
      cairo_line_to(cr_, head.x() + back.x() - side.x(), head.y() + back.y() - side.y());
      cairo_close_path(cr_);
      cairo_fill(cr_);
    }
  }

  void setEdgeStroke() {
    canvas_.setColour(kSoundEdge);
    cairo_set_line_width(cr_, 2.5);
    const double dashes[2] = {9.0, 5.0};
    cairo_set_dash(cr_, dashes, 2, 0.0);
  }

  // The sound region's edge, where the image reaches it: the circle of its
  // distorted radius rd about the principal point, the pinhole pixels of
  // rd (cos a, sin a). True when drawn.
  bool drawSoundEdge() {
    const double rd = region_.distorted_radius;
    if (region_.edge == SoundRegion::Edge::kNone || !std::isfinite(rd) || !(rd > 0.0)) {
      return false;
    }
    std::vector<Eigen::Vector2d> edge;
    bool inside = false;
    for (int i = 0; i <= 360; ++i) {
      const double a = i * M_PI / 180.0;
      const Eigen::Vector2d pixel =
          field_.pinhole.project(Eigen::Vector3d(rd * std::cos(a), rd * std::sin(a), 1.0));
      const double u = pixel.x(), v = pixel.y();
      inside = inside || (u >= 0 && u <= lens_.width && v >= 0 && v <= lens_.height);
      edge.push_back(onCanvas(u, v));
    }
    if (!inside) return false;
    setEdgeStroke();
    cairo_move_to(cr_, edge[0].x(), edge[0].y());
    for (const auto& point : edge) cairo_line_to(cr_, point.x(), point.y());
    cairo_stroke(cr_);
    cairo_set_dash(cr_, nullptr, 0, 0.0);
    return true;
  }

  // Principal point, image border, axes and titles.
  void drawFrame() {
    canvas_.setColour(kInk);
    cairo_set_line_width(cr_, 2.0);
    const Eigen::Vector2d pp = onCanvas(centre_.x(), centre_.y());
    cairo_move_to(cr_, pp.x() - 8, pp.y());
    cairo_line_to(cr_, pp.x() + 8, pp.y());
    cairo_move_to(cr_, pp.x(), pp.y() - 8);
    cairo_line_to(cr_, pp.x(), pp.y() + 8);
    cairo_stroke(cr_);
    canvas_.boxedText(pp.x(), pp.y() + 18, "principal point", 11);
    canvas_.setColour(kInk);
    cairo_set_line_width(cr_, 1.5);
    cairo_rectangle(cr_, kLeft, kTop, image_w_, image_h_);
    cairo_stroke(cr_);
    cairo_set_line_width(cr_, 1.0);
    for (double t : niceTicks(0, lens_.width, 8)) {
      cairo_move_to(cr_, cu_(t), kTop + image_h_);
      cairo_line_to(cr_, cu_(t), kTop + image_h_ + 5);
      cairo_stroke(cr_);
      canvas_.text(cu_(t), kTop + image_h_ + 16, tickText(t), 12, Anchor::kCentre);
    }
    for (double t : niceTicks(0, lens_.height, 6)) {
      cairo_move_to(cr_, kLeft - 5, cv_(t));
      cairo_line_to(cr_, kLeft, cv_(t));
      cairo_stroke(cr_);
      canvas_.text(kLeft - 8, cv_(t), tickText(t), 12, Anchor::kRight);
    }
    canvas_.text(kLeft + image_w_ / 2, kTop + image_h_ + 38, "u (pixels)", 14, Anchor::kCentre);
    canvas_.text(22, kTop + image_h_ / 2, "v (pixels)", 14, Anchor::kCentre, M_PI / 2);
    canvas_.text(width_ / 2.0, 26, title_, 17, Anchor::kCentre, 0.0, true);
    canvas_.text(width_ / 2.0, 50,
                 "how far the lens moves each pixel from the pinhole pixel of its ray; arrows show "
                 "the direction",
                 12, Anchor::kCentre);
  }

  void drawColourBar() {
    const double bar_x = kLeft + image_w_ + 28, bar_w = 18;
    for (int i = 0; i < 200; ++i) {
      canvas_.setColour(colourOnScale(1.0 - i / 199.0));
      cairo_rectangle(cr_, bar_x, kTop + image_h_ * i / 200.0, bar_w, image_h_ / 200.0 + 0.5);
      cairo_fill(cr_);
    }
    canvas_.setColour(kInk);
    cairo_rectangle(cr_, bar_x, kTop, bar_w, image_h_);
    cairo_stroke(cr_);
    const AxisScale bar{0.0, top_, kTop + image_h_, kTop};
    for (double t : niceTicks(0, top_, 6)) {
      cairo_move_to(cr_, bar_x + bar_w, bar(t));
      cairo_line_to(cr_, bar_x + bar_w + 4, bar(t));
      cairo_stroke(cr_);
      canvas_.text(bar_x + bar_w + 7, bar(t), tickText(t), 12, Anchor::kLeft);
    }
    canvas_.text(bar_x + bar_w + 62, kTop + image_h_ / 2, "displacement (pixels)", 14,
                 Anchor::kCentre, M_PI / 2);
  }

  void drawLegend(bool edge_inside) {
    const double y = kTop + image_h_ + 66;
    double x = kLeft;
    std::string text = "the lens is sound over the whole image";
    if (edge_inside) {
      setEdgeStroke();
      cairo_move_to(cr_, x, y);
      cairo_line_to(cr_, x + 30, y);
      cairo_stroke(cr_);
      cairo_set_dash(cr_, nullptr, 0, 0.0);
      x += 38;
      text = "edge of the sound region (" + edgeName(region_) + ")";
    }
    canvas_.setColour(kInk);
    canvas_.text(x, y, text, 12, Anchor::kLeft);
    x += canvas_.textWidth(text, 12) + 24;
    if (rayless_) {
      canvas_.setColour(kNoRay);
      cairo_rectangle(cr_, x, y - 6, 14, 12);
      cairo_fill(cr_);
      canvas_.setColour(kInk);
      canvas_.text(x + 20, y, "pixels without a ray in the sound region", 12, Anchor::kLeft);
    }
  }

  const IntrinsicsAtSize& lens_;
  const SoundRegion region_;
  const LensField field_;
  const double scale_, image_w_, image_h_, width_, height_;
  const std::string title_;
  PlotCanvas canvas_;
  cairo_t* cr_;
  const AxisScale cu_, cv_;  // image pixel (u, v) to canvas
  const Eigen::Vector2d centre_;
  GridField field_grid_;
  double largest_ = 0.0, top_ = 1.0;
  bool rayless_ = false;
  std::vector<double> levels_;
};

}  // namespace

std::string plotLens(const IntrinsicsAtSize& lens, PictureFormat format, int picture_width) {
  return LensPicture(lens, format, picture_width).draw();
}

}  // namespace camcal
