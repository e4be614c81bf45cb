// The one lens type: its checks, its model and exact inverse with skew, the
// batch forms against the single-point ones, and soundness over the image.
#include "calibration_utils/lens.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "calibration_common/camera_parameters.h"
#include "support/log_capture.h"
#include "support/undistortion_lenses.h"

namespace dravik::calibration {
namespace {

Lens lensOf(float fx, float skew, float fy, const LensCoefficients& distortion, int width = 1280,
            int height = 960) {
  return testing::makeLens(
      width, height,
      (Eigen::Matrix3f() << fx, skew, width / 2.0f + 3.5f, 0, fy, height / 2.0f - 2.25f, 0, 0, 1)
          .finished(),
      distortion);
}

// Sound over their 1280 x 960 image; one with a skewed K, one with
// tangential terms, one with a strong rational denominator.
std::vector<std::pair<std::string, Lens>> soundLenses() {
  return {
      {"navigation", testing::navigationLens()},
      {"skewed", lensOf(700, 12.5f, 690, {-0.18f, 0.03f, 0.0008f, -0.0006f, 0, 0, 0.02f, 0})},
      {"rational", lensOf(650, 0, 650, {2.1f, 0.4f, 0.0008f, -0.0006f, 0.01f, 2.4f, 0.9f, 0.05f})}};
}

bool sameBits(double a, double b) { return std::memcmp(&a, &b, sizeof(a)) == 0; }

TEST(Lens, FromIntrinsicsRefusesWhatIsNoLensWithOneRecord) {
  const Eigen::Matrix3f K = (Eigen::Matrix3f() << 500, 0, 320, 0, 500, 240, 0, 0, 1).finished();
  const std::vector<float> eight = {-0.2f, 0.05f, 0, 0, 0, 0, 0, 0};
  Eigen::Matrix3f zero_fx = K, nan_cx = K;
  zero_fx(0, 0) = 0;
  nan_cx(0, 2) = NAN;
  // The record's words, as they were before the problem became a value.
  struct Row {
    const char* what;
    Eigen::Matrix3f K;
    std::vector<float> distortion;
    const char* words;
    int width = 640;
  };
  const Row rows[] = {
      {"five coefficients",
       K,
       {-0.2f, 0.05f, 0, 0, 0},
       "The lens distortion is not eight finite coefficients (5 given)"},
      {"a coefficient not finite",
       K,
       {-0.2f, INFINITY, 0, 0, 0, 0, 0, 0},
       "The lens distortion is not eight finite coefficients (8 given)"},
      {"fx zero", zero_fx, eight,
       "The lens's K is not finite or its fx 0 or fy 500 is not positive"},
      {"cx not a number", nan_cx, eight,
       "The lens's K is not finite or its fx 500 or fy 500 is not positive"},
      {"no image", K, eight, "The lens image size 0 x 480 is not positive", 0},
  };
  for (const Row& row : rows) {
    testing::LogCapture log;
    Lens lens = lensOf(1, 0, 1, {1, 2, 3, 4, 5, 6, 7, 8});
    const Lens before = lens;
    const LensCheck check = Lens::fromIntrinsics(row.K, row.distortion, row.width, 480, &lens);
    EXPECT_FALSE(check) << row.what;
    EXPECT_EQ(describeLensProblem(check), row.words) << row.what;
    const auto records = log.recordsUpTo(2);
    ASSERT_EQ(records.size(), 1u) << row.what;
    EXPECT_EQ(records[0].text, row.words) << row.what;
    EXPECT_EQ(records[0].tag, "calibration_utils") << row.what;
    // The quiet form: the same answer, no record.
    const LensCheck quiet =
        Lens::fromIntrinsicsQuietly(row.K, row.distortion, row.width, 480, &lens);
    EXPECT_EQ(describeLensProblem(quiet) + std::to_string(log.recordsUpTo(5).size()),
              row.words + std::string("1"))
        << row.what;
    EXPECT_EQ(lens.distortion(), before.distortion()) << row.what;
    EXPECT_EQ(lens.width(), before.width()) << row.what;
  }
  // The default lens is the lens of no image.
  EXPECT_FALSE(Lens().isSoundOverImage());
  Lens lens;
  EXPECT_TRUE(Lens::fromIntrinsicsQuietly(K, eight, 640, 480, &lens));
  EXPECT_EQ(lens.distortionList(), eight);
  EXPECT_EQ(lens.K(), K);
}

// Over the whole image of each sound lens, skew included, normalize
// converges and inverts project to the double floor in pixels; the pixel of
// the optical axis is the principal point. The batch forms give the
// single-point results (projection to the bit), on lengths that leave every
// kind of remainder of a block and of a vector, in place for
// normalizePixels, and write nothing past the end; beyond the fold of a
// folding lens (towards its corners) both report no convergence.
TEST(Lens, NormalizeInvertsProjectAndTheBatchFormsAgreeWithTheSinglePointCalls) {
  auto lenses = soundLenses();
  lenses.emplace_back("folded", testing::foldedLens());
  for (const auto& [name, lens] : lenses) {
    const bool sound = name != "folded";
    ASSERT_EQ(lens.isSoundOverImage(), sound) << name;
    std::vector<double> pixels, points;
    for (double v = -40; v <= lens.height() + 40; v += 37) {
      for (double u = -40; u <= lens.width() + 40; u += 41) pixels.insert(pixels.end(), {u, v});
    }
    for (double z : {0.5, 3.0, -1.0, 0.0}) {
      for (double y = -1.2; y <= 1.2; y += 0.3) {
        for (double x = -1.6; x <= 1.6; x += 0.4) points.insert(points.end(), {x * z, y * z, z});
      }
    }
    const std::size_t most_pixels = pixels.size() / 2, most_points = points.size() / 3;
    for (const std::size_t n : std::vector<std::size_t>{0, 1, 3, 63, 64, 65, 130, most_pixels}) {
      std::vector<double> xy(pixels.begin(), pixels.begin() + 2 * n);
      xy.push_back(-7.0);
      std::vector<std::uint8_t> ok(n + 1, 9);
      lens.normalizePixels(xy.data(), n, xy.data(), ok.data());
      for (std::size_t i = 0; i < n; ++i) {
        const Eigen::Vector2d pixel(pixels[2 * i], pixels[2 * i + 1]);
        const RectifiedPoint p = lens.normalize(pixel);
        const bool inside = pixel.x() >= 0 && pixel.x() < lens.width() && pixel.y() >= 0 &&
                            pixel.y() < lens.height();
        // The folded lens's image ends 352 px from its centre.
        const double off_axis = (pixel - lens.K().col(2).head<2>().cast<double>()).norm();
        ASSERT_EQ(ok[i], p.converged ? 1 : 0) << name << " pixel " << i;
        if (inside && (sound || off_axis > 400)) {
          ASSERT_EQ(p.converged, sound) << name << " pixel " << i;
        }
        if (!p.converged) continue;
        EXPECT_NEAR(xy[2 * i], p.point.x(), 1e-12) << name << " pixel " << i;
        EXPECT_NEAR(xy[2 * i + 1], p.point.y(), 1e-12) << name << " pixel " << i;
        const Eigen::Vector2d back = lens.project(Eigen::Vector3d(p.point.x(), p.point.y(), 1));
        EXPECT_LT((back - pixel).norm(), 1e-9) << name << " pixel " << i;
      }
      EXPECT_EQ(xy[2 * n], -7.0);
      EXPECT_EQ(ok[n], 9);

      const std::size_t m = std::min(n, most_points);
      std::vector<double> uv(2 * m + 1, -7.0);
      lens.projectPoints(points.data(), m, uv.data());
      for (std::size_t i = 0; i < m; ++i) {
        const Eigen::Vector2d single =
            lens.project(Eigen::Vector3d(points[3 * i], points[3 * i + 1], points[3 * i + 2]));
        // Any NaN matches any NaN (points on the camera's plane).
        const bool same = (std::isnan(single.x()) && std::isnan(uv[2 * i])) ||
                          (sameBits(uv[2 * i], single.x()) && sameBits(uv[2 * i + 1], single.y()));
        ASSERT_TRUE(same) << name << " point " << i;
      }
      EXPECT_EQ(uv[2 * m], -7.0);
    }
    const Eigen::Vector2d axis = lens.project(Eigen::Vector3d(0, 0, 2));
    EXPECT_EQ(axis, Eigen::Vector2d(lens.K()(0, 2), lens.K()(1, 2))) << name;
  }
}

// Sound over the image exactly when r R(r) reaches the farthest corner
// inside the sound region: the rule is exact where a sampled one is not.
TEST(Lens, IsSoundOverImageWhenTheSoundRegionReachesTheFarthestCorner) {
  // Folds between r = 0.7086 and 0.7175, a band narrower than a sampled
  // rule's step: 30 % of the way to the corner of its 1280 x 960 image at
  // f = 500 px.
  const LensCoefficients narrow_fold = {-0.4776f, -0.3130f, 0,       0,
                                        0.8206f,  0.4961f,  0.4436f, 0.1775f};
  const SoundRegion fold = lensOf(500, 0, 500, narrow_fold).soundRegion();
  ASSERT_EQ(fold.edge, SoundRegion::Edge::kFold);
  EXPECT_NEAR(fold.radius, 0.71, 0.01);
  struct Row {
    const char* what;
    Lens lens;
    bool sound;
  };
  // The corner at f: hypot(640 + 3.5, 480 + 2.25) / f.
  const double corner_px = std::hypot(643.5, 482.25);
  const float just_inside = float(corner_px / (fold.distorted_radius * 0.999));
  const float just_outside = float(corner_px / (fold.distorted_radius * 1.001));
  const Row rows[] = {
      {"narrow fold just beyond the corner", lensOf(just_inside, 0, just_inside, narrow_fold),
       true},
      {"narrow fold just inside the corner", lensOf(just_outside, 0, just_outside, narrow_fold),
       false},
      // r / (1 + 0.002 r^2) rises out to r = 22.4, past the largest radius
      // examined, but only to 11.1 there: the corner at radius 16 is never
      // reached.
      {"sound everywhere examined, corner never reached",
       lensOf(50, 0, 50, {0, 0, 0, 0, 0, 0.002f, 0, 0}), false},
      {"fx not positive", lensOf(-500, 0, 500, {-0.1f, 0, 0, 0, 0, 0, 0, 0}), false},
      // No radial distortion: R = 1 exceeds 6 P r out to r = 1 / (6 P), and
      // that disc's image out to 1 / (12 P) covers the corner at 1.6 for
      // P = 0.005 but not for P = 0.07.
      {"small tangential terms", lensOf(500, 0, 500, {0, 0, 0.005f, 0, 0, 0, 0, 0}), true},
      {"tangential terms large against the radial slope",
       lensOf(500, 0, 500, {0, 0, 0.05f, 0.05f, 0, 0, 0, 0}), false},
  };
  for (const Row& row : rows) EXPECT_EQ(row.lens.isSoundOverImage(), row.sound) << row.what;
  // Skew moves the corners: a skewed K reaches farther at two of them.
  const Lens skewed = lensOf(500, 200, 500, {0, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_NEAR(skewed.farthestCornerRadius(),
              std::hypot((643.5 + 200 * 482.25 / 500) / 500, 482.25 / 500), 1e-9);
}

}  // namespace
}  // namespace dravik::calibration
