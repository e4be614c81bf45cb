#include "curvature_start.h"

#include <Eigen/Cholesky>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>

#include "calibration_utils/lens.h"
#include "planar_homography.h"

namespace dravik {
namespace calibration {

namespace {

// The terms are found on the views reaching farthest from the centre, at
// most this many: they bend the most, and a start needs no more.
constexpr size_t kMostViews = 6;
// The search: steps at most, the numeric derivatives' step (the terms are of
// order 0.01 to 1), and the relative decrease of the cost it stops at.
constexpr int kMostSteps = 40;
constexpr double kDerivativeStep = 1e-4;
constexpr double kStopDecrease = 1e-3;
constexpr int kMaxFree = 4;

class CurvatureProblem {
 public:
  CurvatureProblem(const std::vector<const PlanarView*>& views, int width, int height)
      : views_(views), width_(width), height_(height) {
    centre_ = Eigen::Vector2d(0.5 * (width - 1), 0.5 * (height - 1));
    half_diagonal_ = 0.5 * std::hypot(width, height);
    size_t points = 0;
    for (const PlanarView* view : views_) points += view->image.size();
    residual_count_ = 2 * points;
  }

  size_t residualCount() const { return residual_count_; }

  // The residuals, in units of the half diagonal, of the lens's terms; false
  // when the lens cannot undo a point or no homography fits.
  bool residuals(const CurvatureLens& terms, Eigen::VectorXd* r,
                 std::vector<Eigen::Matrix3d>* homographies = nullptr) const {
    r->resize(static_cast<Eigen::Index>(residual_count_));
    if (homographies != nullptr) homographies->clear();
    Lens lens;
    if (!lensOf(terms, &lens)) return false;
    Eigen::Index k = 0;
    for (const PlanarView* view : views_) {
      Eigen::Matrix3d H;
      if (!undistortedHomography(lens, *view, &H)) return false;
      if (homographies != nullptr) homographies->push_back(H);
      for (size_t i = 0; i < view->plane.size(); ++i) {
        const Eigen::Vector3d q = H * Eigen::Vector3d(view->plane[i].x(), view->plane[i].y(), 1.0);
        const Eigen::Vector2d seen = lens.distort(q.head<2>() / q.z());
        const Eigen::Vector2d measured = (view->image[i] - centre_) / half_diagonal_;
        (*r)(k++) = seen.x() - measured.x();
        (*r)(k++) = seen.y() - measured.y();
      }
    }
    return r->allFinite();
  }

  // The homography from the view's plane to its points with the lens undone,
  // in units of the half diagonal about the centre.
  bool undistortedHomography(const Lens& lens, const PlanarView& view, Eigen::Matrix3d* H) const {
    xy_.resize(2 * view.image.size());
    ok_.resize(view.image.size());
    lens.normalizePixels(view.image.front().data(), view.image.size(), xy_.data(), ok_.data());
    undistorted_.clear();
    for (size_t i = 0; i < view.image.size(); ++i) {
      if (!ok_[i]) return false;
      undistorted_.emplace_back(xy_[2 * i], xy_[2 * i + 1]);
    }
    return estimateHomography(view.plane, undistorted_, H);
  }

  // The lens of the terms about the centre, false where they make none (a
  // term that is not finite).
  bool lensOf(const CurvatureLens& terms, Lens* lens) const {
    Eigen::Matrix3f K;
    K << static_cast<float>(half_diagonal_), 0.0f, static_cast<float>(centre_.x()), 0.0f,
        static_cast<float>(half_diagonal_), static_cast<float>(centre_.y()), 0.0f, 0.0f, 1.0f;
    LensCoefficients distortion;
    for (int i = 0; i < 8; ++i) distortion[i] = static_cast<float>(terms[i]);
    return bool(Lens::fromIntrinsicsQuietly(K, distortion, width_, height_, lens));
  }

  // The similarity from units of the half diagonal about the centre to pixels.
  Eigen::Matrix3d toPixels() const {
    Eigen::Matrix3d S;
    S << half_diagonal_, 0.0, centre_.x(), 0.0, half_diagonal_, centre_.y(), 0.0, 0.0, 1.0;
    return S;
  }

 private:
  std::vector<const PlanarView*> views_;
  int width_, height_;
  Eigen::Vector2d centre_;
  double half_diagonal_;
  size_t residual_count_ = 0;
  mutable std::vector<double> xy_;
  mutable std::vector<std::uint8_t> ok_;
  mutable std::vector<Eigen::Vector2d> undistorted_;
};

// J^T J, each entry summed down the rows in order. Eigen's matrix product
// (its blocked kernel) fuses its multiply-adds on aarch64 whatever the build
// says, and the terms are nearly dependent (k1 against k4, k2 against k5):
// its last bits there moved the start, and the fit after it, by float ulps.
// The plain sums round each multiply and add on their own, as the kernel
// does on x86-64, and give the same bits on both.
Eigen::MatrixXd gramMatrix(const Eigen::MatrixXd& J) {
  Eigen::MatrixXd A(J.cols(), J.cols());
  for (Eigen::Index i = 0; i < J.cols(); ++i) {
    for (Eigen::Index j = 0; j <= i; ++j) {
      double sum = 0.0;
      for (Eigen::Index k = 0; k < J.rows(); ++k) sum += J(k, i) * J(k, j);
      A(i, j) = A(j, i) = sum;
    }
  }
  return A;
}

// The views whose points reach farthest from the image's centre, at most
// kMostViews, in their order.
std::vector<const PlanarView*> farthestViews(const std::vector<PlanarView>& views, int width,
                                             int height) {
  const Eigen::Vector2d centre(0.5 * (width - 1), 0.5 * (height - 1));
  std::vector<double> reach(views.size(), 0.0);
  for (size_t v = 0; v < views.size(); ++v) {
    for (const Eigen::Vector2d& p : views[v].image) {
      reach[v] = std::max(reach[v], (p - centre).squaredNorm());
    }
  }
  std::vector<size_t> order(views.size());
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return reach[a] > reach[b]; });
  order.resize(std::min(order.size(), kMostViews));
  std::sort(order.begin(), order.end());
  std::vector<const PlanarView*> picked;
  for (const size_t v : order) picked.push_back(&views[v]);
  return picked;
}

}  // namespace

bool lensFromCurvature(const std::vector<PlanarView>& views, int width, int height, bool rational,
                       CurvatureLens* lens, std::vector<Eigen::Matrix3d>* homographies) {
  if (views.empty()) return false;
  const CurvatureProblem search(farthestViews(views, width, height), width, height);
  // k1, k2, k4, k5: the radial terms of the numerator and the denominator.
  const int free_terms[kMaxFree] = {0, 1, 5, 6};
  const int free_count = rational ? 4 : 2;

  CurvatureLens terms{};
  Eigen::VectorXd r, trial_r;
  if (!search.residuals(terms, &r)) return false;
  double cost = r.squaredNorm();
  double damping = 1e-3;
  Eigen::MatrixXd J(r.size(), free_count);
  for (int step = 0; step < kMostSteps; ++step) {
    for (int j = 0; j < free_count; ++j) {
      CurvatureLens moved = terms;
      moved[free_terms[j]] += kDerivativeStep;
      if (!search.residuals(moved, &trial_r)) {
        moved[free_terms[j]] = terms[free_terms[j]] - kDerivativeStep;
        if (!search.residuals(moved, &trial_r)) return false;
        J.col(j) = (r - trial_r) / kDerivativeStep;
      } else {
        J.col(j) = (trial_r - r) / kDerivativeStep;
      }
    }
    const Eigen::MatrixXd A = gramMatrix(J);
    const Eigen::VectorXd g = J.transpose() * r;
    bool accepted = false;
    while (!accepted && damping < 1e10) {
      Eigen::MatrixXd damped = A;
      for (int i = 0; i < free_count; ++i) damped(i, i) += damping * std::max(A(i, i), 1e-12);
      const Eigen::VectorXd delta = -damped.ldlt().solve(g);
      CurvatureLens trial = terms;
      for (int j = 0; j < free_count; ++j) trial[free_terms[j]] += delta(j);
      if (delta.allFinite() && search.residuals(trial, &trial_r) && trial_r.squaredNorm() < cost) {
        accepted = true;
        const double previous = cost;
        terms = trial;
        r.swap(trial_r);
        cost = r.squaredNorm();
        damping *= 0.3;
        if (previous - cost <= kStopDecrease * previous) step = kMostSteps;
      } else {
        damping *= 10.0;
      }
    }
    if (!accepted) break;
  }

  // Every view's homography through the lens found, in pixels.
  const CurvatureProblem all(
      [&] {
        std::vector<const PlanarView*> every;
        for (const PlanarView& view : views) every.push_back(&view);
        return every;
      }(),
      width, height);
  Lens found;
  if (!all.lensOf(terms, &found)) return false;
  homographies->clear();
  for (const PlanarView& view : views) {
    Eigen::Matrix3d H;
    if (!all.undistortedHomography(found, view, &H)) return false;
    homographies->push_back(all.toPixels() * H);
  }
  *lens = terms;
  return true;
}

CurvatureLens curvatureLensAtFocalLength(const CurvatureLens& lens, int width, int height,
                                         double f) {
  const double s = f / (0.5 * std::hypot(width, height));
  const double s2 = s * s, s4 = s2 * s2, s6 = s4 * s2;
  // r in units of the half diagonal is r_f s: each radial term of r^(2n)
  // scales by s^(2n), the tangential ones (a displacement over r^2) by s.
  return {lens[0] * s2, lens[1] * s4, lens[2] * s,  lens[3] * s,
          lens[4] * s6, lens[5] * s2, lens[6] * s4, lens[7] * s6};
}

}  // namespace calibration
}  // namespace dravik
