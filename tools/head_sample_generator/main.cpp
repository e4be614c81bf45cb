// Writes the "head" camera of the default calibration (protobuf text format)
// to standard output: a wide 1280 x 960 lens, its pose on the robot's head,
// and sample points that are a synthetic view of a planar grid through that
// very lens.
//
// The view is oblique (the grid turned 26 degrees about the camera's x axis
// and 23 about its y axis), so that a single view fixes the focal length, and
// the grid is as large as the image allows: the view spans about nine tenths
// of the image's width and height, as a good calibration capture does. Grid
// corners are 1 target unit = 1 mm apart times the chosen spacing; the sample
// scalar converts target units to metres.
#include <Eigen/Geometry>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "calibration_utils/opencv_projection.h"

namespace {

using dravik::calibration::OpenCVProjection;
using Camera = OpenCVProjection<double>;

constexpr int kWidth = 1280;
constexpr int kHeight = 960;
constexpr int kColumns = 15;
constexpr int kRows = 11;
// Projected grid corners stay this far inside the image.
constexpr double kMarginPixels = 36.0;
constexpr double kDistanceMetres = 0.5;

// The head camera's full-frame lens.
Camera headLens() {
  Camera c;
  c.fx = 758.4;
  c.fy = 757.9;
  c.cx = 643.1;
  c.cy = 478.6;
  c.k1 = 0.35;
  c.k2 = 0.02;
  c.k3 = 0.0;
  c.k4 = 0.62;
  c.k5 = 0.06;
  c.k6 = 0.0;
  c.p1 = 0.0006;
  c.p2 = -0.0004;
  return c;
}

struct Box {
  double min_u = 1e300, max_u = -1e300, min_v = 1e300, max_v = -1e300;
};

// The grid's pose: turned by the fixed angles, its centre at `offset`
// (metres, camera frame) from the point kDistanceMetres along the axis.
void placeGrid(double spacing_m, const Eigen::Vector2d& offset, Camera* c) {
  const Eigen::Matrix3d R = (Eigen::AngleAxisd(0.05, Eigen::Vector3d::UnitZ()) *
                             Eigen::AngleAxisd(-0.40, Eigen::Vector3d::UnitY()) *
                             Eigen::AngleAxisd(0.45, Eigen::Vector3d::UnitX()))
                                .toRotationMatrix();
  const Eigen::Vector3d centre(0.5 * (kColumns - 1) * spacing_m, 0.5 * (kRows - 1) * spacing_m,
                               0.0);
  const Eigen::Vector3d t = Eigen::Vector3d(offset.x(), offset.y(), kDistanceMetres) - R * centre;
  for (int r = 0; r < 3; ++r) {
    for (int k = 0; k < 3; ++k) c->rotation[r][k] = R(r, k);
    c->translation[r] = t(r);
  }
}

Box projectedBox(const Camera& c, double spacing_m) {
  Box box;
  for (int row = 0; row < kRows; ++row) {
    for (int col = 0; col < kColumns; ++col) {
      double u, v;
      c.projectTargetPoint(col * spacing_m, row * spacing_m, &u, &v);
      box.min_u = std::min(box.min_u, u);
      box.max_u = std::max(box.max_u, u);
      box.min_v = std::min(box.min_v, v);
      box.max_v = std::max(box.max_v, v);
    }
  }
  return box;
}

bool fitsInside(const Box& b) {
  return b.min_u >= kMarginPixels && b.min_v >= kMarginPixels &&
         b.max_u <= kWidth - kMarginPixels && b.max_v <= kHeight - kMarginPixels;
}

// The largest whole-millimetre spacing whose view fits inside the margins,
// with the grid moved sideways so that its view is centred in the image.
double largestSpacing(Camera* c) {
  Eigen::Vector2d offset = Eigen::Vector2d::Zero();
  double spacing_mm = 1.0;
  for (int round = 0; round < 20; ++round) {
    spacing_mm = 1.0;
    placeGrid(0.001 * spacing_mm, offset, c);
    while (true) {
      placeGrid(0.001 * (spacing_mm + 1.0), offset, c);
      if (!fitsInside(projectedBox(*c, 0.001 * (spacing_mm + 1.0)))) break;
      spacing_mm += 1.0;
    }
    placeGrid(0.001 * spacing_mm, offset, c);
    const Box box = projectedBox(*c, 0.001 * spacing_mm);
    // Move the grid by the box's offset from the image centre, seen at the
    // grid's distance.
    offset.x() -= 0.5 * (box.min_u + box.max_u - kWidth) / c->fx * kDistanceMetres;
    offset.y() -= 0.5 * (box.min_v + box.max_v - kHeight) / c->fy * kDistanceMetres;
  }
  placeGrid(0.001 * spacing_mm, offset, c);
  return spacing_mm;
}

// The robot-to-camera pose in millimetres: x_camera = R x_robot + t, robot
// x forward, y left, z up; the camera 60 mm ahead of and 1420 mm above the
// robot origin, looking ahead and 5 degrees down.
void printExtrinsics() {
  const double pitch = 5.0 * M_PI / 180.0;
  Eigen::Matrix3d R;
  R << 0.0, -1.0, 0.0, -std::sin(pitch), 0.0, -std::cos(pitch), std::cos(pitch), 0.0,
      -std::sin(pitch);
  const Eigen::Vector3d centre(60.0, 0.0, 1420.0);
  const Eigen::Vector3d t = -R * centre;
  std::printf("  extrinsics {\n    a: [");
  for (int r = 0; r < 3; ++r) {
    std::printf("%s%.14g, %.14g, %.14g, %.10g", r == 0 ? "" : ",\n        ", R(r, 0), R(r, 1),
                R(r, 2), t(r));
  }
  std::printf("]\n  }\n");
}

}  // namespace

int main() {
  Camera c = headLens();
  const double spacing_mm = largestSpacing(&c);
  const Box box = projectedBox(c, 0.001 * spacing_mm);

  std::printf("# Head camera: a wide lens (about 113 degrees across the diagonal) on the\n");
  std::printf("# robot's head, looking ahead and 5 degrees down, 0.06 m ahead of and\n");
  std::printf("# 1.42 m above the robot origin. Its sample points are a synthetic view of\n");
  std::printf("# a %d x %d grid of %.0f mm squares through this very lens, spanning\n", kColumns,
              kRows, spacing_mm);
  std::printf("# %.0f%% of the image's width and %.0f%% of its height. Written by\n",
              100.0 * (box.max_u - box.min_u) / kWidth, 100.0 * (box.max_v - box.min_v) / kHeight);
  std::printf("# tools/head_sample_generator.\n");
  std::printf("camera {\n  name: \"head\"\n  model: \"kv006h\"\n  intrinsics {\n");
  std::printf("    fx: %.10g\n    fy: %.10g\n    skew: 0\n    cx: %.10g\n    cy: %.10g\n", c.fx,
              c.fy, c.cx, c.cy);
  std::printf("    k: [%.10g, %.10g, %.10g, %.10g, %.10g, %.10g]\n", c.k1, c.k2, c.k3, c.k4, c.k5,
              c.k6);
  std::printf("    p: [%.10g, %.10g]\n", c.p1, c.p2);
  std::printf("    width: %d\n    height: %d\n", kWidth, kHeight);
  for (int row = 0; row < kRows; ++row) {
    for (int col = 0; col < kColumns; ++col) {
      double u, v;
      c.projectTargetPoint(0.001 * spacing_mm * col, 0.001 * spacing_mm * row, &u, &v);
      std::printf(
          "    sample_points { pixel_x: %.4f pixel_y: %.4f target_x: %.0f target_y: %.0f }\n", u, v,
          spacing_mm * col, spacing_mm * row);
    }
  }
  std::printf("    sample_scalar: 0.001\n    sample_width: %d\n    sample_height: %d\n", kColumns,
              kRows);
  std::printf("  }\n");
  printExtrinsics();
  std::printf("}\n");
  return 0;
}
