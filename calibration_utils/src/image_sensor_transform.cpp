#include "calibration_utils/image_sensor_transform.h"

#include <algorithm>
#include <cmath>

namespace dravik {
namespace calibration {

namespace {

bool describesDisplacement(const std::vector<float>& radii,
                           const std::vector<float>& displacements) {
  if (radii.size() != displacements.size() || radii.size() < 2) return false;
  for (size_t i = 0; i < radii.size(); ++i) {
    if (!std::isfinite(radii[i]) || !std::isfinite(displacements[i])) return false;
    if (i > 0 && !(radii[i] > radii[i - 1])) return false;
  }
  return true;
}

// Slopes of the monotone cubic through (x_i, y_i) (Fritsch and Carlson): at an
// inner sample the weighted harmonic mean of the neighbouring secants d, or
// zero where the secants change sign (a local extremum stays flat); at the
// ends the end secant.
//   m_i = (w1 + w2) / (w1 / d_{i-1} + w2 / d_i),
//   w1 = 2 h_i + h_{i-1}, w2 = h_i + 2 h_{i-1}, h_i = x_{i+1} - x_i.
std::vector<double> monotoneSlopes(const std::vector<double>& x, const std::vector<double>& y) {
  const size_t n = x.size();
  std::vector<double> h(n - 1), d(n - 1), m(n);
  for (size_t i = 0; i + 1 < n; ++i) {
    h[i] = x[i + 1] - x[i];
    d[i] = (y[i + 1] - y[i]) / h[i];
  }
  m.front() = d.front();
  m.back() = d.back();
  for (size_t i = 1; i + 1 < n; ++i) {
    if (d[i - 1] * d[i] <= 0.0) {
      m[i] = 0.0;
      continue;
    }
    const double w1 = 2.0 * h[i] + h[i - 1];
    const double w2 = h[i] + 2.0 * h[i - 1];
    m[i] = (w1 + w2) / (w1 / d[i - 1] + w2 / d[i]);
  }
  return m;
}

}  // namespace

ImageSensorTransform::~ImageSensorTransform() = default;

AptinaSTE::AptinaSTE(int centre_x, int centre_y, float scale, const std::vector<float>& radii,
                     const std::vector<float>& displacements)
    : centre_(centre_x, centre_y), scale_(scale) {
  if (!describesDisplacement(radii, displacements)) return;
  radii_.assign(radii.begin(), radii.end());
  displacements_.assign(displacements.begin(), displacements.end());
  slopes_ = monotoneSlopes(radii_, displacements_);
}

double AptinaSTE::displacement(double r) const {
  if (radii_.empty()) return 0.0;
  if (r <= radii_.front()) return displacements_.front() + slopes_.front() * (r - radii_.front());
  if (r >= radii_.back()) return displacements_.back() + slopes_.back() * (r - radii_.back());

  // The cubic Hermite segment on [x_i, x_{i+1}], t = (r - x_i) / h:
  //   B = h00 y_i + h10 h m_i + h01 y_{i+1} + h11 h m_{i+1}.
  const size_t i =
      static_cast<size_t>(std::upper_bound(radii_.begin(), radii_.end(), r) - radii_.begin() - 1);
  const double h = radii_[i + 1] - radii_[i];
  const double t = (r - radii_[i]) / h;
  const double t2 = t * t;
  const double t3 = t2 * t;
  const double h00 = 2.0 * t3 - 3.0 * t2 + 1.0;
  const double h10 = t3 - 2.0 * t2 + t;
  const double h01 = -2.0 * t3 + 3.0 * t2;
  const double h11 = t3 - t2;
  return h00 * displacements_[i] + h10 * h * slopes_[i] + h01 * displacements_[i + 1] +
         h11 * h * slopes_[i + 1];
}

double AptinaSTE::mapRadius(double r) const { return scale_ * (r + displacement(r)); }

Eigen::Vector2f AptinaSTE::transformPoint(const Eigen::Vector2f& point) const {
  const Eigen::Vector2d offset = point.cast<double>() - centre_;
  const double r = offset.norm();
  // At the centre r'/r tends to scale (1 + dB/dr) at r = 0, the gain of the
  // first segment (a table whose displacement starts at zero, as the head
  // camera's does).
  constexpr double kCentreRadius = 1e-9;
  const double gain = r > kCentreRadius ? mapRadius(r) / r
                                        : scale_ * (1.0 + (radii_.empty() ? 0.0 : slopes_.front()));
  return (centre_ + offset * gain).cast<float>();
}

}  // namespace calibration
}  // namespace dravik
