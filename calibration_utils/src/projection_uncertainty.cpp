#define DRAVIK_LOG_FILE "calibration_utils/projection_uncertainty"

// The projection uncertainty of a fitted camera: how far the covariance of
// its intrinsics lets each pixel's ray move in the image.
#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "calibration_utils/camera_calibration.h"
#include "calibration_utils/rectify.h"
#include "dravik/logging.h"
#include "reprojection_problem.h"

namespace dravik {
namespace calibration {

namespace {

constexpr char kTag[] = "calibration_utils";
// A pixel that an undetermined direction moves by more than this per unit
// of it is not determined by the views.
constexpr double kUnboundedMotionPx = 1e-6;

// Whether p lies inside the counter-clockwise convex polygon or on its border.
bool inside(const std::vector<Eigen::Vector2d>& polygon, const Eigen::Vector2d& p) {
  if (polygon.size() < 3) return false;
  for (size_t i = 0; i < polygon.size(); ++i) {
    const Eigen::Vector2d& a = polygon[i];
    const Eigen::Vector2d& b = polygon[(i + 1) % polygon.size()];
    if ((b.x() - a.x()) * (p.y() - a.y()) - (b.y() - a.y()) * (p.x() - a.x()) < 0.0) return false;
  }
  return true;
}

}  // namespace

bool projectionUncertainty(const CameraFit& calibration, int step, std::vector<float>* sigma_px) {
  const Lens& lens = calibration.lens;
  if (sigma_px == nullptr || step <= 0) {
    DRAVIK_LOG(2, kTag) << "No uncertainty to fill, or a step " << step << " not positive";
    return false;
  }
  bool directions_finite = true;
  for (const CameraFit::UndeterminedDirection& d : calibration.undetermined) {
    directions_finite = directions_finite && d.direction.allFinite();
  }
  if (lens.width() <= 0 || lens.height() <= 0 || lens.width() / step == 0 ||
      lens.height() / step == 0 ||
      static_cast<long long>(lens.width()) * lens.height() > kMaxUndistortionPixels ||
      !lens.K().allFinite() || !(lens.K()(0, 0) > 0.0f) || !(lens.K()(1, 1) > 0.0f) ||
      !calibration.covariance.allFinite() || !directions_finite) {
    DRAVIK_LOG(2, kTag) << "The calibration's lens (" << lens.width() << " x " << lens.height()
                        << ", " << lens.distortion().size()
                        << " coefficients) or covariance is not usable at a step of " << step;
    return false;
  }
  IntrinsicVector intrinsics;
  intrinsics << lens.K()(0, 0), lens.K()(1, 1), lens.K()(0, 2), lens.K()(1, 2), 0, 0, 0, 0, 0, 0, 0,
      0;
  for (int i = 0; i < 8; ++i) intrinsics(kLens + i) = lens.distortion()[i];
  const float principal_point[2] = {lens.K()(0, 2), lens.K()(1, 2)};
  const float focal_length[2] = {lens.K()(0, 0), lens.K()(1, 1)};
  const int columns = lens.width() / step, rows = lens.height() / step;
  sigma_px->assign(static_cast<size_t>(columns) * static_cast<size_t>(rows),
                   std::numeric_limits<float>::quiet_NaN());
  const IntrinsicMatrix& C = calibration.covariance;
  for (int j = 0; j < rows; ++j) {
    for (int i = 0; i < columns; ++i) {
      const Eigen::Vector2f pixel(static_cast<float>(i * step + step / 2),
                                  static_cast<float>(j * step + step / 2));
      const RectifiedPoint ray =
          rectifyPointWithStatus(lens.distortion().data(), principal_point, focal_length, pixel);
      PixelDerivatives d;
      if (!ray.converged ||
          !projectWithDerivatives(intrinsics, Eigen::Vector3d(ray.point.x(), ray.point.y(), 1.0),
                                  &d)) {
        continue;
      }
      const Eigen::Map<const Eigen::Matrix<double, 2, kIntrinsics, Eigen::RowMajor>> J(
          &d.d_intrinsics[0][0]);
      float& out = (*sigma_px)[static_cast<size_t>(j) * columns + i];
      bool unbounded = false;
      for (const CameraFit::UndeterminedDirection& u : calibration.undetermined) {
        unbounded = unbounded || (J * u.direction).norm() > kUnboundedMotionPx;
      }
      if (unbounded) {
        out = std::numeric_limits<float>::infinity();
        continue;
      }
      // The variance of each pixel coordinate, J C J', averaged over the two.
      const double variance = (J * C * J.transpose()).trace();
      out = static_cast<float>(std::sqrt(std::max(0.0, 0.5 * variance)));
    }
  }
  return true;
}

bool summarizeUncertainty(const CameraFit& calibration, int step,
                          const std::vector<float>& sigma_px, UncertaintySummary* summary) {
  const Lens& lens = calibration.lens;
  if (summary == nullptr || step <= 0 || lens.width() <= 0 || lens.height() <= 0 ||
      sigma_px.size() != static_cast<size_t>(lens.width() / step) * (lens.height() / step) ||
      sigma_px.empty()) {
    DRAVIK_LOG(2, kTag) << "No summary to fill, or a grid of " << sigma_px.size()
                        << " values not that of a " << lens.width() << " x " << lens.height()
                        << " image at a step of " << step;
    return false;
  }
  UncertaintySummary out;
  const int columns = lens.width() / step;
  size_t above_1 = 0, above_5 = 0, unbounded = 0;
  for (size_t c = 0; c < sigma_px.size(); ++c) {
    const double sigma = sigma_px[c];
    above_1 += sigma > 1.0;
    above_5 += sigma > 5.0;
    unbounded += std::isinf(sigma);
    const Eigen::Vector2d pixel(
        static_cast<double>(static_cast<int>(c % columns) * step + step / 2),
        static_cast<double>(static_cast<int>(c / columns) * step + step / 2));
    if (sigma > out.largest_covered_px && inside(calibration.covered_region, pixel)) {
      out.largest_covered_px = sigma;
      out.largest_covered_at = pixel;
    }
  }
  const double cells = static_cast<double>(sigma_px.size());
  out.share_above_1px = above_1 / cells;
  out.share_above_5px = above_5 / cells;
  out.share_unbounded = unbounded / cells;
  *summary = out;
  return true;
}

}  // namespace calibration
}  // namespace dravik
