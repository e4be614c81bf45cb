// The choice of the undistorted camera: the box of normalized directions the
// view must show, from the exact undistortion of the lens image's border,
// and the largest all-valid rectangle of the view's forward map.
#define DRAVIK_LOG_FILE "calibration_utils/pinhole_view"
#include <algorithm>
#include <cmath>
#include <vector>

#include "calibration_utils/undistortion.h"
#include "dravik/logging.h"
#include "undistortion_inputs.h"

namespace dravik {
namespace calibration {

namespace {

// Border samples per source pixel along each side.
constexpr int kBorderSamplesPerPixel = 4;
// The border is sampled this far (pixels) inside the image, so that the
// edge pixels of an alpha-0 view land inside it after float rounding.
constexpr double kBorderInset = 1e-3;
// The alpha-0 box keeps its corners this far (relative) inside the sound
// region's edge, for the same reason.
constexpr double kEdgeInset = 1e-6;
// Shrinkings of the alpha-0 box tried when rounding still leaves an invalid
// pixel in its view, and the relative amount of each.
constexpr int kMaxShrinks = 8;
constexpr double kShrink = 1e-4;

// An axis-aligned box of normalized directions.
struct Box {
  double x0, y0, x1, y1;
  bool empty() const { return !(x1 > x0) || !(y1 > y0); }
};

// The undistortion of the lens image's border, side by side.
struct Border {
  Box inner{-HUGE_VAL, -HUGE_VAL, HUGE_VAL, HUGE_VAL};  // sides pushed in by the border
  Box outer{HUGE_VAL, HUGE_VAL, -HUGE_VAL, -HUGE_VAL};  // every sound border direction
};

// Extends the boxes by the undistortion of the lens image's border, sampled
// kBorderSamplesPerPixel times per pixel along each side, all in one batch:
// each sample that converges inside the sound region widens the outer box,
// and pushes in the side of the inner box it lies on.
Border undistortBorder(const Lens& lens, double sound_r2) {
  const double last_u = lens.width() - 1 - kBorderInset, last_v = lens.height() - 1 - kBorderInset;
  const int across = (lens.width() - 1) * kBorderSamplesPerPixel;
  const int down = (lens.height() - 1) * kBorderSamplesPerPixel;
  // Pixels, in pairs (u, v), and the side each lies on: 0 left, 1 right,
  // 2 top, 3 bottom.
  std::vector<double> pixels;
  std::vector<int> sides;
  pixels.reserve(4 * (size_t(across) + size_t(down) + 2));
  for (int i = 0; i <= down; ++i) {
    const double v = kBorderInset + (last_v - kBorderInset) * i / std::max(down, 1);
    pixels.insert(pixels.end(), {kBorderInset, v, last_u, v});
    sides.insert(sides.end(), {0, 1});
  }
  for (int i = 0; i <= across; ++i) {
    const double u = kBorderInset + (last_u - kBorderInset) * i / std::max(across, 1);
    pixels.insert(pixels.end(), {u, kBorderInset, u, last_v});
    sides.insert(sides.end(), {2, 3});
  }
  std::vector<std::uint8_t> converged(sides.size());
  lens.normalizePixels(pixels.data(), sides.size(), pixels.data(), converged.data());

  Border border;
  for (size_t i = 0; i < sides.size(); ++i) {
    const double x = pixels[2 * i], y = pixels[2 * i + 1];
    if (!converged[i] || !(x * x + y * y <= sound_r2)) continue;
    border.outer = {std::min(border.outer.x0, x), std::min(border.outer.y0, y),
                    std::max(border.outer.x1, x), std::max(border.outer.y1, y)};
    Box& in = border.inner;
    if (sides[i] == 0) in.x0 = std::max(in.x0, x);
    if (sides[i] == 1) in.x1 = std::min(in.x1, x);
    if (sides[i] == 2) in.y0 = std::max(in.y0, y);
    if (sides[i] == 3) in.y1 = std::min(in.y1, y);
  }
  return border;
}

// True when the direction (x, y) is seen inside the lens's image.
bool seenInside(const Lens& lens, double x, double y) {
  const Eigen::Vector2d pixel = lens.project(Eigen::Vector3d(x, y, 1.0));
  return pixel.x() >= 0 && pixel.y() >= 0 && pixel.x() <= lens.width() - 1 &&
         pixel.y() <= lens.height() - 1;
}

// The outer box also takes in the sound region's own edge where the image
// extends past it: its extremes along the axes.
void addEdgeExtremes(const Lens& lens, double radius, Box* outer) {
  const double points[4][2] = {{-radius, 0}, {radius, 0}, {0, -radius}, {0, radius}};
  for (const auto& p : points) {
    if (!seenInside(lens, p[0], p[1])) continue;
    *outer = {std::min(outer->x0, p[0]), std::min(outer->y0, p[1]), std::max(outer->x1, p[0]),
              std::max(outer->y1, p[1])};
  }
}

// The inner box within the sound region: sides the border left unbounded go
// to the region's edge, then the box shrinks about the optical axis until
// its corners lie inside the edge.
Box clipToSoundRegion(Box box, double radius) {
  const double edge = radius * (1.0 - kEdgeInset);
  box = {std::max(box.x0, -edge), std::max(box.y0, -edge), std::min(box.x1, edge),
         std::min(box.y1, edge)};
  const double corner = std::sqrt(std::max(box.x0 * box.x0, box.x1 * box.x1) +
                                  std::max(box.y0 * box.y0, box.y1 * box.y1));
  if (corner > edge) {
    const double scale = edge / corner;
    box = {box.x0 * scale, box.y0 * scale, box.x1 * scale, box.y1 * scale};
  }
  return box;
}

// How a view's pixels take a box of directions.
enum class Fit {
  kStretch,       // fx and fy each spread the box over the view
  kSquareInside,  // fx = fy, the view's directions all inside the box
  kSquareAround,  // fx = fy, the box's directions all inside the view
};

// The view K that spreads a box over the pixel centres 0 .. width - 1 and
// 0 .. height - 1: fx = (width - 1) / (x1 - x0), cx = -fx x0, and so in y.
// With square pixels f is the larger of the two (the view inside the box)
// or the smaller (the box inside the view), and the box is centred.
Eigen::Matrix3f viewOfBox(const Box& box, int width, int height, Fit fit) {
  double fx = std::max(width - 1, 1) / (box.x1 - box.x0);
  double fy = std::max(height - 1, 1) / (box.y1 - box.y0);
  double cx = -fx * box.x0, cy = -fy * box.y0;
  if (fit != Fit::kStretch) {
    fx = fy = fit == Fit::kSquareInside ? std::max(fx, fy) : std::min(fx, fy);
    cx = 0.5 * (width - 1) - fx * 0.5 * (box.x0 + box.x1);
    cy = 0.5 * (height - 1) - fy * 0.5 * (box.y0 + box.y1);
  }
  Eigen::Matrix3f K = Eigen::Matrix3f::Identity();
  K(0, 0) = float(fx);
  K(0, 2) = float(cx);
  K(1, 1) = float(fy);
  K(1, 2) = float(cy);
  return K;
}

Box shrunk(const Box& box, double amount) {
  const double dx = (box.x1 - box.x0) * amount, dy = (box.y1 - box.y0) * amount;
  return {box.x0 + dx, box.y0 + dy, box.x1 - dx, box.y1 - dy};
}

bool allValid(const UndistortionMap& map, const PixelRect& r) {
  for (int v = r.y; v < r.y + r.height; ++v) {
    const std::uint8_t* row = map.valid.data() + size_t(v) * map.width;
    if (!std::all_of(row + r.x, row + r.x + r.width, [](std::uint8_t b) { return b != 0; })) {
      return false;
    }
  }
  return true;
}

// From a seed rectangle: shrink until every pixel is valid, then push each
// side out by a pixel while the new row or column is all valid.
PixelRect largestValidRect(const UndistortionMap& map, PixelRect r) {
  while (r.width > 0 && r.height > 0 && !allValid(map, r))
    r = {r.x + 1, r.y + 1, r.width - 2, r.height - 2};
  if (r.width <= 0 || r.height <= 0) return PixelRect{};
  for (bool grew = true; grew;) {
    grew = false;
    if (r.x > 0 && allValid(map, {r.x - 1, r.y, 1, r.height})) --r.x, ++r.width, grew = true;
    if (r.x + r.width < map.width && allValid(map, {r.x + r.width, r.y, 1, r.height})) {
      ++r.width, grew = true;
    }
    if (r.y > 0 && allValid(map, {r.x, r.y - 1, r.width, 1})) --r.y, ++r.height, grew = true;
    if (r.y + r.height < map.height && allValid(map, {r.x, r.y + r.height, r.width, 1})) {
      ++r.height, grew = true;
    }
  }
  return r;
}

// v limited to [lo, hi] before it becomes an int: a box edge far outside
// the view (or not a number, which gives lo) must not overflow the int.
int clampedInt(double v, int lo, int hi) { return v >= hi ? hi : (v > lo ? int(v) : lo); }

// The pixels of the view K that show the box.
PixelRect pixelsOfBox(const Box& box, const Eigen::Matrix3f& K, int width, int height) {
  const int u0 = clampedInt(std::ceil(K(0, 0) * box.x0 + K(0, 2)), 0, width);
  const int v0 = clampedInt(std::ceil(K(1, 1) * box.y0 + K(1, 2)), 0, height);
  const int u1 = clampedInt(std::floor(K(0, 0) * box.x1 + K(0, 2)), -1, width - 1);
  const int v1 = clampedInt(std::floor(K(1, 1) * box.y1 + K(1, 2)), -1, height - 1);
  return {u0, v0, std::max(0, u1 - u0 + 1), std::max(0, v1 - v0 + 1)};
}

}  // namespace

PixelRect validRectAround(const UndistortionMap& map, int u, int v) {
  if (!checkMap(map) || u < 0 || v < 0 || u >= map.width || v >= map.height) return PixelRect{};
  return largestValidRect(map, {u, v, 1, 1});
}

bool choosePinholeView(const Lens& lens, float alpha, int width, int height, bool same_focal_length,
                       PinholeView* view, PixelRect* valid_rect) {
  if (!checkLens(lens) || !checkImageSize(width, height, "view")) return false;
  if (view == nullptr || !std::isfinite(alpha)) {
    DRAVIK_LOG(2, kUndistortionTag) << "No view to fill, or alpha " << alpha << " not finite";
    return false;
  }
  const double radius = lens.soundRegion().radius;
  const double sound_r2 = radius * radius;
  Border border = undistortBorder(lens, sound_r2);
  addEdgeExtremes(lens, radius, &border.outer);
  Box inner = clipToSoundRegion(border.inner, radius);
  if (inner.empty() || border.outer.empty()) {
    DRAVIK_LOG(2, kUndistortionTag) << "The lens leaves no sound part of its image to view";
    return false;
  }

  // alpha 0: the view inside the inner box, every pixel valid. Rounding may
  // still leave an edge pixel of it just outside the image: shrink its box a
  // little until its forward map is all valid.
  const Fit inside = same_focal_length ? Fit::kSquareInside : Fit::kStretch;
  PinholeView every_pixel_valid{width, height, viewOfBox(inner, width, height, inside)};
  UndistortionMap map;
  for (int i = 0; i < kMaxShrinks; ++i) {
    if (!buildUndistortionMap(lens, every_pixel_valid, &map)) return false;
    if (allValid(map, {0, 0, width, height})) break;
    inner = shrunk(inner, kShrink);
    every_pixel_valid.K = viewOfBox(inner, width, height, inside);
  }
  // alpha 1: the view around the outer box, every sound source pixel in it.
  const Eigen::Matrix3f every_source_pixel = viewOfBox(
      border.outer, width, height, same_focal_length ? Fit::kSquareAround : Fit::kStretch);

  // Nothing is written until the view is known to be one.
  PinholeView chosen{width, height,
                     every_pixel_valid.K + alpha * (every_source_pixel - every_pixel_valid.K)};
  if (!checkView(chosen)) return false;
  if (valid_rect != nullptr) {
    if (!buildUndistortionMap(lens, chosen, &map)) return false;
    *valid_rect = largestValidRect(map, pixelsOfBox(inner, chosen.K, width, height));
  }
  *view = chosen;
  return true;
}

bool choosePinholeView(const Lens& lens, float alpha, int width, int height, PinholeView* view,
                       PixelRect* valid_rect) {
  return choosePinholeView(lens, alpha, width, height, false, view, valid_rect);
}

}  // namespace calibration
}  // namespace dravik
