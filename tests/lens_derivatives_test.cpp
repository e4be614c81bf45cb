// The fit's derivatives written out by hand (a view's normal equations, from
// the pixel rows in the point and the intrinsics) against forward-mode
// automatic differentiation of the plain model, column by column, on every
// test lens (the lens's own Jacobians: rational_lens_test.cpp); and the
// homography of exact points.
#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <string>
#include <utility>
#include <vector>

#include "dravik/autodiff.h"
#include "dravik/rational_lens.h"
#include "planar_homography.h"
#include "reprojection_problem.h"
#include "support/calibration_views.h"
#include "support/undistortion_lenses.h"
#include "view_geometry.h"

namespace dravik::calibration {
namespace {

// Intrinsics (12) then pose (6): the variables of every check.
constexpr int kVariables = kIntrinsics + kPoseParameters;
constexpr int kPoseAt = kIntrinsics;
using Jet = autodiff::AutoDiff1<double, kVariables>;
constexpr double kTolerance = 1e-10;

std::vector<std::pair<std::string, Lens>> testLenses() {
  const Lens wide = testing::wideLens();
  const Lens rational =
      testing::makeLens(wide.width(), wide.height(), wide.K(),
                        {2.1f, 0.4f, 0.0008f, -0.0006f, 0.01f, 2.4f, 0.9f, 0.05f});
  return {{"navigation", testing::navigationLens()},
          {"head", CameraParametersSet().getCamera("head")->getLens(1280, 960)},
          {"folded", testing::foldedLens()},
          {"wide", testing::wideLens()},
          {"wide_rational", testing::wideRationalLens()},
          {"wide_rational_7", testing::wideRationalLens(7)},
          {"rational", rational}};
}

// Each column of a hand-written Jacobian against the automatic one, relative
// to the column's size.
void expectColumns(const Eigen::MatrixXd& hand, const Eigen::MatrixXd& automatic,
                   const std::string& what) {
  for (int c = 0; c < automatic.cols(); ++c) {
    EXPECT_LE((hand.col(c) - automatic.col(c)).lpNorm<Eigen::Infinity>(),
              kTolerance * automatic.col(c).lpNorm<Eigen::Infinity>() + 1e-300)
        << what << ", column " << c;
  }
}

// The jets' values and, row by row, their partials.
using Rows = Eigen::Matrix<double, 2, kVariables, Eigen::RowMajor>;
Rows partials(const Jet (&jets)[2]) {
  Rows rows;
  rows << jets[0].partial.transpose(), jets[1].partial.transpose();
  return rows;
}

// The lens's pixel of the camera point P = R(w) R0 target + t as jets, the
// pose's variables seeded: R(w) is the rotation of the unit quaternion
// (1, w / 2) / |(1, w / 2)| at w = 0.
void pixelJets(const Jet* k, const Eigen::Matrix3d& R0, const Eigen::Vector3d& t,
               const Eigen::Vector3d& target, Jet (&pixel)[2]) {
  Jet w[3], P[3];
  for (int i = 0; i < 3; ++i) w[i] = Jet(0.0, kPoseAt + i);
  const Jet norm = sqrt(1.0 + 0.25 * (w[0] * w[0] + w[1] * w[1] + w[2] * w[2]));
  const Eigen::Quaternion<Jet> q(1.0 / norm, 0.5 * w[0] / norm, 0.5 * w[1] / norm,
                                 0.5 * w[2] / norm);
  const Eigen::Matrix<Jet, 3, 3> R = q.toRotationMatrix() * R0;
  for (int r = 0; r < 3; ++r) {
    P[r] = Jet(t(r), kPoseAt + 3 + r);
    for (int c = 0; c < 3; ++c) P[r] += R(r, c) * target(c);
  }
  Jet xd, yd;
  distortNormalized(k + kLens, P[0] / P[2], P[1] / P[2], &xd, &yd);
  pixelOfDistorted(k[kFx], k[kCx], k[kFy], k[kCy], xd, yd, &pixel[0], &pixel[1]);
}

// One view of a tilted board of 5 x 4 points (two batches of rows), its image
// points off the projections so that the residuals count: U, W, V, u and v of
// linearize equal J'J and J'r of the jets' rows (whose pixels are the stored
// lens's own), which checks every pixel row in the point and the intrinsics.
TEST(LensDerivatives, ViewNormalEquationsAreThoseOfTheModelsRows) {
  for (const auto& [name, lens] : testLenses()) {
    const IntrinsicVector k = intrinsicsOf(lens);
    Pose pose;
    pose.camera_from_target_rotation =
        Eigen::AngleAxisd(0.3, Eigen::Vector3d(1.0, -0.5, 0.2).normalized()).toRotationMatrix();
    pose.translation = Eigen::Vector3d(-0.1, 0.05, 0.8);
    Jet kj[kIntrinsics];
    for (int i = 0; i < kIntrinsics; ++i) kj[i] = Jet(k(i), i);
    View view;
    Eigen::MatrixXd J(40, kIntrinsics + kPoseParameters);
    Eigen::VectorXd e(40);
    for (int i = 0; i < 20; ++i) {
      view.target.emplace_back(0.06 * (i % 5), 0.06 * (i / 5), 0.0);
      Jet jets[2];
      pixelJets(kj, pose.camera_from_target_rotation, pose.translation, view.target.back(), jets);
      const Eigen::Vector3d X =
          pose.camera_from_target_rotation * view.target.back() + pose.translation;
      EXPECT_LE((storedLens(k, lens.width(), lens.height()).project(X) -
                 Eigen::Vector2d(jets[0].value, jets[1].value))
                    .norm(),
                1e-9)
          << name;
      view.image.emplace_back(jets[0].value + 0.3 * (i % 3) - 0.2, jets[1].value - 0.1 * (i % 4));
      J.middleRows<2>(2 * i) = partials(jets);
      e.segment<2>(2 * i) = Eigen::Vector2d(jets[0].value, jets[1].value) - view.image.back();
    }
    const std::vector<View> views = {view};
    ReprojectionProblem problem(views, lens.width(), lens.height(), {k, {pose}});
    problem.setPenalties(false);
    NormalEquations normal;
    problem.linearize(&normal);
    const auto a = J.leftCols<kIntrinsics>();
    const auto p = J.rightCols<kPoseParameters>();
    expectColumns(normal.U, a.transpose() * a, name + ", U");
    expectColumns(normal.views[0].W, a.transpose() * p, name + ", W");
    expectColumns(normal.views[0].V, p.transpose() * p, name + ", V");
    expectColumns(normal.u, a.transpose() * e, name + ", u");
    expectColumns(normal.views[0].v, p.transpose() * e, name + ", v");
    EXPECT_NEAR(normal.cost, e.squaredNorm(), 1e-12 * e.squaredNorm()) << name;
  }
}

TEST(EstimateHomography, RecoversTheHomographyOfExactPointsAndRefusesDegenerateOnes) {
  Eigen::Matrix3d H_true;
  H_true << 610.0, -35.0, 640.0, 20.0, 590.0, 470.0, 0.05, -0.08, 1.0;
  H_true.normalize();
  std::vector<Eigen::Vector2d> target, image, line_target, line_image;
  for (int i = 0; i < 24; ++i) {
    target.emplace_back(0.04 * (i % 6), 0.04 * (i / 6));
    image.push_back((H_true * target.back().homogeneous()).hnormalized());
    line_target.emplace_back(0.04 * i, 0.02 * i);  // all on one line
    line_image.push_back((H_true * line_target.back().homogeneous()).hnormalized());
  }
  Eigen::Matrix3d H;
  ASSERT_TRUE(estimateHomography(target, image, &H));
  if (H(2, 2) * H_true(2, 2) < 0.0) H = -H;
  EXPECT_LE((H - H_true).norm(), 1e-9);
  EXPECT_FALSE(estimateHomography(line_target, line_image, &H));
  target.resize(3), image.resize(3);  // too few points
  EXPECT_FALSE(estimateHomography(target, image, &H));
}

}  // namespace
}  // namespace dravik::calibration
