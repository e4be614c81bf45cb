// The derivatives written out by hand (dravik/rational_lens.h's Jacobians and
// radial slope, a pixel's rows, a view's normal equations) against
// forward-mode automatic differentiation of the plain model, column by
// column, on every test lens; and the homography of exact points.
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

// Point (3) then intrinsics (12) then pose (6): the variables of every check.
constexpr int kVariables = 3 + kIntrinsics + kPoseParameters;
constexpr int kIntrinsicsAt = 3, kPoseAt = 3 + kIntrinsics;
using Jet = autodiff::AutoDiff1<double, kVariables>;
constexpr double kTolerance = 1e-10;

std::vector<std::pair<std::string, Lens>> testLenses() {
  Lens rational = testing::wideLens();
  rational.distortion = {2.1f, 0.4f, 0.0008f, -0.0006f, 0.01f, 2.4f, 0.9f, 0.05f};
  return {{"navigation", testing::navigationLens()},
          {"head", CameraParametersSet().getCamera("head")->getLens(1280, 960)},
          {"folded", testing::foldedLens()},
          {"wide", testing::wideLens()},
          {"wide_rational", testing::wideRationalLens()},
          {"wide_rational_7", testing::wideRationalLens(7)},
          {"rational", rational}};
}

// K^-1 of a 5 x 5 grid of pixels out to the image's corners.
std::vector<Eigen::Vector2d> normalizedPoints(const Lens& lens) {
  std::vector<Eigen::Vector2d> points;
  for (int i = 0; i < 25; ++i) {
    points.emplace_back((lens.width * (i % 5) / 4.0 - lens.K(0, 2)) / lens.K(0, 0),
                        (lens.height * (i / 5) / 4.0 - lens.K(1, 2)) / lens.K(1, 1));
  }
  return points;
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
std::string where(const std::string& name, const Eigen::Vector2d& p) {
  return name + " at " + std::to_string(p.x()) + ", " + std::to_string(p.y());
}

// The lens's pixel of the camera point P = R(w) R0 target + t as jets, the
// point's and the pose's variables seeded when asked: R(w) is the rotation
// of the unit quaternion (1, w / 2) / |(1, w / 2)| at w = 0.
void pixelJets(const Jet* k, const Eigen::Matrix3d& R0, const Eigen::Vector3d& t,
               const Eigen::Vector3d& target, bool seed_pose, Jet (&pixel)[2]) {
  Jet w[3], P[3];
  for (int i = 0; i < 3; ++i) w[i] = seed_pose ? Jet(0.0, kPoseAt + i) : Jet(0.0);
  const Jet norm = sqrt(1.0 + 0.25 * (w[0] * w[0] + w[1] * w[1] + w[2] * w[2]));
  const Eigen::Quaternion<Jet> q(1.0 / norm, 0.5 * w[0] / norm, 0.5 * w[1] / norm,
                                 0.5 * w[2] / norm);
  const Eigen::Matrix<Jet, 3, 3> R = q.toRotationMatrix() * R0;
  for (int r = 0; r < 3; ++r) {
    P[r] = seed_pose ? Jet(t(r), kPoseAt + 3 + r) : Jet(t(r), r);
    for (int c = 0; c < 3; ++c) P[r] += R(r, c) * target(c);
  }
  Jet xd, yd;
  distortNormalized(k + kLens, P[0] / P[2], P[1] / P[2], &xd, &yd);
  pixelOfDistorted(k[kFx], k[kCx], k[kFy], k[kCy], xd, yd, &pixel[0], &pixel[1]);
}

TEST(LensDerivatives, LensJacobianInThePointAndTheCoefficientsIsTheModelsDerivative) {
  for (const auto& [name, lens] : testLenses()) {
    const IntrinsicVector k = intrinsicsOf(lens);
    Jet d[8];
    for (int i = 0; i < 8; ++i) d[i] = Jet(k(kLens + i), kIntrinsicsAt + kLens + i);
    for (const Eigen::Vector2d& p : normalizedPoints(lens)) {
      Jet jets[2];
      distortNormalized(d, Jet(p.x(), 0), Jet(p.y(), 1), &jets[0], &jets[1]);
      double xd, yd, jxx, jxy, jyy, dxd[2][8];
      RadialTerms<double> f;
      distortNormalizedWithJacobian(k.data() + kLens, p.x(), p.y(), &xd, &yd, &jxx, &jxy, &jyy, &f);
      distortionCoefficientJacobian(p.x(), p.y(), f, dxd[0], dxd[1]);
      const std::string at = where(name, p);
      const Rows automatic = partials(jets);
      expectColumns((Eigen::Matrix2d() << jxx, jxy, jxy, jyy).finished(), automatic.leftCols<2>(),
                    at);
      expectColumns(Eigen::Map<const Eigen::Matrix<double, 2, 8, Eigen::RowMajor>>(&dxd[0][0]),
                    automatic.middleCols<8>(kIntrinsicsAt + kLens), at);
      // The radial mapping's slope: dxd/dx along the x axis, no tangential terms.
      double radial_only[8];
      for (int i = 0; i < 8; ++i) radial_only[i] = (i == kP1 || i == kP2) ? 0.0 : k(kLens + i);
      const RadialProfile<double> profile = radialProfile<double>(radial_only, p.norm());
      Jet along, across;
      distortNormalized(radial_only, Jet(p.norm(), 0), Jet(0.0), &along, &across);
      EXPECT_NEAR(profile.slope, along.partial(0), kTolerance * std::abs(along.partial(0))) << at;
    }
  }
}

TEST(LensDerivatives, PixelRowsInThePointAndTheIntrinsicsAreTheModelsDerivative) {
  for (const auto& [name, lens] : testLenses()) {
    const IntrinsicVector k = intrinsicsOf(lens);
    Jet kj[kIntrinsics];
    for (int i = 0; i < kIntrinsics; ++i) kj[i] = Jet(k(i), kIntrinsicsAt + i);
    for (const Eigen::Vector2d& p : normalizedPoints(lens)) {
      const Eigen::Vector3d X = 2.5 * Eigen::Vector3d(p.x(), p.y(), 1.0);
      Jet jets[2];
      pixelJets(kj, Eigen::Matrix3d::Identity(), X, Eigen::Vector3d::Zero(), false, jets);
      PixelDerivatives d;
      ASSERT_TRUE(projectWithDerivatives(k, X, &d));
      const std::string at = where(name, p);
      // The plain model is the lens's own projection.
      const Eigen::Vector2d pixel = storedLens(k, lens.width, lens.height).project(X);
      EXPECT_LE((d.pixel - pixel).norm(), 1e-9) << at;
      EXPECT_LE((d.pixel - Eigen::Vector2d(jets[0].value, jets[1].value)).norm(), 1e-9) << at;
      const Rows automatic = partials(jets);
      expectColumns(
          Eigen::Map<const Eigen::Matrix<double, 2, 3, Eigen::RowMajor>>(&d.d_point[0][0]),
          automatic.leftCols<3>(), at);
      expectColumns(Eigen::Map<const Eigen::Matrix<double, 2, kIntrinsics, Eigen::RowMajor>>(
                        &d.d_intrinsics[0][0]),
                    automatic.middleCols<kIntrinsics>(kIntrinsicsAt), at);
    }
  }
}

// One view of a tilted board of 5 x 4 points (two batches of rows), its image
// points off the projections so that the residuals count: U, W, V, u and v of
// linearize equal J'J and J'r of the jets' rows.
TEST(LensDerivatives, ViewNormalEquationsAreThoseOfTheModelsRows) {
  for (const auto& [name, lens] : testLenses()) {
    const IntrinsicVector k = intrinsicsOf(lens);
    Pose pose;
    pose.camera_from_target_rotation =
        Eigen::AngleAxisd(0.3, Eigen::Vector3d(1.0, -0.5, 0.2).normalized()).toRotationMatrix();
    pose.translation = Eigen::Vector3d(-0.1, 0.05, 0.8);
    Jet kj[kIntrinsics];
    for (int i = 0; i < kIntrinsics; ++i) kj[i] = Jet(k(i), kIntrinsicsAt + i);
    View view;
    Eigen::MatrixXd J(40, kIntrinsics + kPoseParameters);
    Eigen::VectorXd e(40);
    for (int i = 0; i < 20; ++i) {
      view.target.emplace_back(0.06 * (i % 5), 0.06 * (i / 5), 0.0);
      Jet jets[2];
      pixelJets(kj, pose.camera_from_target_rotation, pose.translation, view.target.back(), true,
                jets);
      view.image.emplace_back(jets[0].value + 0.3 * (i % 3) - 0.2, jets[1].value - 0.1 * (i % 4));
      J.middleRows<2>(2 * i) = partials(jets).rightCols<kIntrinsics + kPoseParameters>();
      e.segment<2>(2 * i) = Eigen::Vector2d(jets[0].value, jets[1].value) - view.image.back();
    }
    const std::vector<View> views = {view};
    ReprojectionProblem problem(views, lens.width, lens.height, {k, {pose}});
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
