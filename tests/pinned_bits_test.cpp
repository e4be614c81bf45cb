// Results pinned to the bit, the same on every processor the library is built
// for (x86-64 and aarch64 run this suite): point projection and its exact
// inverse, single and batch, and the multi-view fit. The values are written
// as hexadecimal floating-point literals, the bits themselves. The build-time
// head fit's bits are pinned in head_camera_intrinsics_test.cpp.
//
// These pins hold the processors and the compilers to one answer. That the
// variants of the vector loops agree with each other is checked apart, with
// nothing pinned: vector_paths_fingerprint.cpp writes the outputs of every
// dispatched loop on the detected variants and on the baseline, and ctest
// compares the two runs byte for byte (VectorPaths.*). A change of the solver
// that moves every variant alike is re-pinned here once; the variants'
// agreement needs no pins.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "dravik/wide_vectors.h"
#include "support/calibration_views.h"
#include "support/undistortion_lenses.h"

namespace dravik::calibration {
namespace {

std::string hex(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%a", value);
  return text;
}

struct PinnedPoint {
  Eigen::Vector3d camera_point;  // metres, camera frame
  Eigen::Vector2d pixel;         // its pixel through the navigation lens at 1280 x 960
  Eigen::Vector2d normalized;    // that pixel's exact inverse
  // The batch inverse's (the same method, its own Newton path: here and there
  // a last bit apart from the single pixel's).
  Eigen::Vector2d batch_normalized;
};

// From the centre of the image out to its corners.
const PinnedPoint kPinned[] = {
    {{0.0, 0.0, 1.0}, {0x1.40d99ap+9, 0x1.de4cccp+8}, {0x0p+0, 0x0p+0}, {0x0p+0, 0x0p+0}},
    {{0.13, -0.07, 1.0},
     {0x1.68bdc26735ebep+9, 0x1.b35e22e2fd338p+8},
     {0x1.0a3d70a3d70a9p-3, -0x1.1eb851eb851edp-4},
     {0x1.0a3d70a3d70a7p-3, -0x1.1eb851eb851edp-4}},
    {{-0.61, 0.33, 1.4},
     {0x1.88b902817425ap+8, 0x1.3279e95bc1d14p+9},
     {-0x1.be2be2be2be1fp-2, 0x1.e2be2be2be2b4p-3},
     {-0x1.be2be2be2be2ep-2, 0x1.e2be2be2be2c3p-3}},
    {{0.92, 0.71, 0.9},
     {0x1.04fb099a38a39p+10, 0x1.8a97c44cf1b3ap+9},
     {0x1.05b05b05b05b1p+0, 0x1.93e93e93e93e8p-1},
     {0x1.05b05b05b05b1p+0, 0x1.93e93e93e93e8p-1}},
    {{-1.3, -0.95, 1.1},
     {0x1.a5e308f04b806p+7, 0x1.4907541f27c62p+7},
     {-0x1.2e8ba2e8ba333p+0, -0x1.ba2e8ba2e8c17p-1},
     {-0x1.2e8ba2e8ba333p+0, -0x1.ba2e8ba2e8c17p-1}},
};

TEST(LensBits, ProjectionAndItsInverseArePinnedSingleAndBatch) {
  const Lens lens = dravik::testing::navigationLens();
  std::vector<double> xyz, uv(2 * std::size(kPinned)), xy(2 * std::size(kPinned));
  std::vector<std::uint8_t> ok(std::size(kPinned));
  for (const PinnedPoint& p : kPinned)
    xyz.insert(xyz.end(), p.camera_point.data(), p.camera_point.data() + 3);
  lens.projectPoints(xyz.data(), std::size(kPinned), uv.data());
  lens.normalizePixels(uv.data(), std::size(kPinned), xy.data(), ok.data());
  for (std::size_t i = 0; i < std::size(kPinned); ++i) {
    const PinnedPoint& p = kPinned[i];
    const Eigen::Vector2d pixel = lens.project(p.camera_point);
    const RectifiedPoint inverse = lens.normalize(pixel);
    SCOPED_TRACE(i);
    EXPECT_TRUE(inverse.converged && ok[i]);
    EXPECT_EQ(pixel, p.pixel) << hex(pixel.x()) << ", " << hex(pixel.y());
    EXPECT_EQ(inverse.point, p.normalized)
        << hex(inverse.point.x()) << ", " << hex(inverse.point.y());
    EXPECT_EQ(Eigen::Vector2d(uv[2 * i], uv[2 * i + 1]), p.pixel);
    EXPECT_EQ(Eigen::Vector2d(xy[2 * i], xy[2 * i + 1]), p.batch_normalized)
        << hex(xy[2 * i]) << ", " << hex(xy[2 * i + 1]);
  }
}

TEST(CalibrateCameraBits, TwentyViewsOfTheNavigationLensFitToPinnedBits) {
  const Lens truth = dravik::testing::navigationLens();
  dravik::testing::BoardViewOptions options;
  CameraFit fit;
  ASSERT_TRUE(calibrateCamera(dravik::testing::boardViews(truth, options), truth.width(),
                              truth.height(), {}, &fit));
  std::string bits = hex(fit.rms_px);
  for (int i : {0, 1}) bits += " " + hex(fit.lens.K()(i, i)) + " " + hex(fit.lens.K()(i, 2));
  for (float d : fit.lens.distortion()) bits += " " + hex(d);
  // rms, fx, cx, fy, cy, then k1 k2 p1 p2 k3 k4 k5 k6.
  EXPECT_EQ(bits,
            "0x1.180c85529aa39p-2 0x1.3545a4p+9 0x1.40ee98p+9 0x1.350466p+9 0x1.de0a0cp+8 "
            "0x1.cbe2ap-3 -0x1.98c2a4p-10 0x1.b3b56ap-12 -0x1.47ec78p-12 0x1.ccefbep-6 "
            "0x1.1d59bap-1 0x1.88ba14p-4 0x1.1cfb8cp-5");
}

// ctest runs this suite twice, the second time with CAMERA_PARAMETERS_BASELINE=1
// (tests/CMakeLists.txt): the baseline variants give the same pinned bits.
TEST(VectorPaths, TheEnvironmentCanForceTheBaselineOfEveryLoop) {
  const char* baseline = std::getenv("CAMERA_PARAMETERS_BASELINE");
  const dravik::VectorPaths& paths = dravik::vectorPaths();
  EXPECT_EQ(&paths, &dravik::vectorPaths());  // decided once
  if (baseline != nullptr && std::strcmp(baseline, "1") == 0) {
    EXPECT_TRUE(!paths.wide && !paths.fused && std::string(paths.name) == "baseline");
  } else {
#if defined(__aarch64__)
    EXPECT_TRUE(!paths.wide && paths.fused && std::string(paths.name) == "neon+fma");
#elif defined(__x86_64__)
    __builtin_cpu_init();
    EXPECT_EQ(paths.wide, bool(__builtin_cpu_supports("avx2")));
#endif
  }
}

}  // namespace
}  // namespace dravik::calibration
