#define DRAVIK_LOG_FILE "calibration_utils/calibration_covariance"

#include "calibration_covariance.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "calibration_utils/rectify.h"
#include "dravik/logging.h"

namespace dravik {
namespace calibration {

namespace {

constexpr char kTag[] = "calibration_utils";

// The covariance of the free intrinsics, sigma^2 S^-1, S the information of
// the intrinsics with the poses marginalised, sigma^2 = |r|^2 / (2 n - p).
bool covarianceOf(const std::vector<View>& views, int width, int height,
                  const IntrinsicFreedom& freedom, const CameraState& state,
                  IntrinsicMatrix* covariance) {
  ReprojectionProblem problem(views, width, height, state);
  problem.setPenalties(false);
  NormalEquations normal;
  problem.linearize(&normal);
  IntrinsicMatrix information;
  int free_count = 0;
  if (!marginalInformation(normal, freedom, &information, &free_count)) return false;
  size_t points = 0;
  for (const View& view : views) points += view.image.size();
  const double dof = 2.0 * static_cast<double>(points) - free_count -
                     static_cast<double>(kPoseParameters * views.size());
  std::array<bool, kIntrinsics> used{};
  for (int i = 0; i < kIntrinsics; ++i) used[i] = information(i, i) > 0.0;
  IntrinsicMatrix inverse;
  if (!(dof > 0.0) || !invertSymmetric(information, used, &inverse)) return false;
  *covariance = inverse * (normal.cost / dof);
  if (freedom.tie_focal_lengths) {
    // fy is fx: it shares fx's row and column.
    covariance->row(kFy) = covariance->row(kFx);
    covariance->col(kFy) = covariance->col(kFx);
  }
  return true;
}

}  // namespace

void formCovariance(const std::vector<View>& views, int width, int height,
                    const IntrinsicFreedom& freedom, const CameraState& state,
                    views::CameraCalibration* result) {
  IntrinsicMatrix covariance;
  if (!covarianceOf(views, width, height, freedom, state, &covariance)) {
    DRAVIK_LOG(3, kTag) << "The views do not determine the intrinsics: no covariance";
    covariance.setZero();
  }
  result->covariance = covariance;
  for (int i = 0; i < kIntrinsics; ++i) {
    result->standard_deviations(i) = std::sqrt(std::max(0.0, covariance(i, i)));
  }
}

inline namespace views {

bool projectionUncertainty(const CameraCalibration& calibration, int step,
                           std::vector<float>* sigma_px) {
  const Lens& lens = calibration.lens;
  if (sigma_px == nullptr || step <= 0) {
    DRAVIK_LOG(2, kTag) << "No uncertainty to fill, or a step " << step << " not positive";
    return false;
  }
  if (lens.width <= 0 || lens.height <= 0 || lens.width / step == 0 || lens.height / step == 0 ||
      static_cast<long long>(lens.width) * lens.height > kMaxUndistortionPixels ||
      lens.distortion.size() != 8 || !lens.K.allFinite() || !(lens.K(0, 0) > 0.0f) ||
      !(lens.K(1, 1) > 0.0f) || !calibration.covariance.allFinite()) {
    DRAVIK_LOG(2, kTag) << "The calibration's lens (" << lens.width << " x " << lens.height << ", "
                        << lens.distortion.size()
                        << " coefficients) or covariance is not usable at a step of " << step;
    return false;
  }
  IntrinsicVector intrinsics;
  intrinsics << lens.K(0, 0), lens.K(1, 1), lens.K(0, 2), lens.K(1, 2), 0, 0, 0, 0, 0, 0, 0, 0;
  for (int i = 0; i < 8; ++i) intrinsics(kLens + i) = lens.distortion[i];
  const float principal_point[2] = {lens.K(0, 2), lens.K(1, 2)};
  const float focal_length[2] = {lens.K(0, 0), lens.K(1, 1)};
  const int columns = lens.width / step, rows = lens.height / step;
  sigma_px->assign(static_cast<size_t>(columns) * static_cast<size_t>(rows),
                   std::numeric_limits<float>::quiet_NaN());
  const IntrinsicMatrix& C = calibration.covariance;
  for (int j = 0; j < rows; ++j) {
    for (int i = 0; i < columns; ++i) {
      const Eigen::Vector2f pixel(static_cast<float>(i * step + step / 2),
                                  static_cast<float>(j * step + step / 2));
      const RectifiedPoint ray =
          rectifyPointWithStatus(lens.distortion.data(), principal_point, focal_length, pixel);
      PixelDerivatives d;
      if (!ray.converged ||
          !projectWithDerivatives(intrinsics, Eigen::Vector3d(ray.point.x(), ray.point.y(), 1.0),
                                  &d)) {
        continue;
      }
      // The variance of each pixel coordinate, J C J', averaged over the two.
      double variance = 0.0;
      for (int axis = 0; axis < 2; ++axis) {
        const double* J = d.d_intrinsics[axis];
        for (int a = 0; a < kIntrinsics; ++a) {
          double row = 0.0;
          for (int b = 0; b < kIntrinsics; ++b) row += C(a, b) * J[b];
          variance += J[a] * row;
        }
      }
      (*sigma_px)[static_cast<size_t>(j) * columns + i] =
          static_cast<float>(std::sqrt(std::max(0.0, 0.5 * variance)));
    }
  }
  return true;
}

}  // namespace views
}  // namespace calibration
}  // namespace dravik
