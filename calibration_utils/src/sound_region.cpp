#include <algorithm>
#include <cmath>

#include "calibration_utils/lens_soundness.h"
#include "lens_inverse.h"

namespace dravik {
namespace calibration {

namespace {

// A polynomial in s, c[0] + c[1] s + c[2] s^2 + ..., ascending.
using Polynomial = std::vector<double>;

double evaluate(const Polynomial& p, double s) {
  double value = 0.0;
  for (auto c = p.rbegin(); c != p.rend(); ++c) value = value * s + *c;
  return value;
}

Polynomial derivative(const Polynomial& p) {
  Polynomial d;
  for (size_t i = 1; i < p.size(); ++i) d.push_back(double(i) * p[i]);
  return d;
}

Polynomial multiply(const Polynomial& a, const Polynomial& b) {
  Polynomial product(a.size() + b.size() - 1, 0.0);
  for (size_t i = 0; i < a.size(); ++i) {
    for (size_t j = 0; j < b.size(); ++j) product[i + j] += a[i] * b[j];
  }
  return product;
}

Polynomial add(Polynomial a, const Polynomial& b, double scale) {
  a.resize(std::max(a.size(), b.size()), 0.0);
  for (size_t i = 0; i < b.size(); ++i) a[i] += scale * b[i];
  return a;
}

// The degree of p once zero leading coefficients are dropped (0 for a constant).
size_t degree(const Polynomial& p) {
  size_t n = p.size();
  while (n > 1 && p[n - 1] == 0.0) --n;
  return n == 0 ? 0 : n - 1;
}

// Between a, where p > 0, and b, where p <= 0, with p monotone between them:
// the first double at which p <= 0, by bisection down to adjacent doubles.
double bisect(const Polynomial& p, double a, double b) {
  for (int i = 0; i < 2200; ++i) {
    const double middle = a + 0.5 * (b - a);
    if (!(middle > a && middle < b)) break;
    (evaluate(p, middle) > 0.0 ? a : b) = middle;
  }
  return b;
}

std::vector<double> roots(const Polynomial& p, double lo, double hi);

// lo, the points of (lo, hi) where p's derivative changes sign or vanishes,
// and hi, ascending: p is monotone between each two.
std::vector<double> monotonePieces(const Polynomial& p, double lo, double hi) {
  std::vector<double> breaks = {lo};
  if (degree(p) >= 2) {
    const std::vector<double> turns = roots(derivative(p), lo, hi);
    breaks.insert(breaks.end(), turns.begin(), turns.end());
  }
  breaks.push_back(hi);
  return breaks;
}

// The points of (lo, hi) at which p changes sign or touches zero, ascending.
std::vector<double> roots(const Polynomial& p, double lo, double hi) {
  const std::vector<double> breaks = monotonePieces(p, lo, hi);
  std::vector<double> found;
  for (size_t i = 0; i + 1 < breaks.size(); ++i) {
    const double a = breaks[i], b = breaks[i + 1];
    const double pa = evaluate(p, a), pb = evaluate(p, b);
    if (pb == 0.0 && b < hi) {
      found.push_back(b);
    } else if ((pa > 0.0 && pb < 0.0) || (pa < 0.0 && pb > 0.0)) {
      const Polynomial oriented = pa > 0.0 ? p : add(Polynomial(), p, -1.0);
      found.push_back(bisect(oriented, a, b));
    }
  }
  return found;
}

// The first s of [0, hi] at which p, positive at 0, is at most zero; hi when
// it stays positive.
double firstNonPositive(const Polynomial& p, double hi) {
  const std::vector<double> breaks = monotonePieces(p, 0.0, hi);
  for (size_t i = 0; i + 1 < breaks.size(); ++i) {
    if (evaluate(p, breaks[i + 1]) <= 0.0) return bisect(p, breaks[i], breaks[i + 1]);
  }
  return hi;
}

// The radial polynomials of a lens, N(s) and D(s), s = r^2.
struct RadialMapping {
  Polynomial numerator, denominator;
  explicit RadialMapping(const double* k)
      : numerator{1.0, k[kK1], k[kK2], k[kK3]}, denominator{1.0, k[kK4], k[kK5], k[kK6]} {}
  double distortedRadius(double r) const {
    return r * evaluate(numerator, r * r) / evaluate(denominator, r * r);
  }
};

// The distorted radius out to which every point has one viewing direction
// with the tangential terms of size P = hypot(p1, p2) added to the radial
// mapping, sound out to s = edge. The tangential displacement T has a
// symmetric Jacobian with eigenvalues 4 (p1 y + p2 x) +/- 2 P r, of norm at
// most 6 P r, and a length of at most 3 P r^2. Where the radial Jacobian's two eigenvalues, R and
// d(r R)/dr, both exceed 6 P r over the disc r <= rt, the lens's Jacobian has a positive definite
// symmetric part on the disc: the lens maps the disc one to one, without mirroring, and its image
// covers the disc of radius rt R(rt) - 3 P rt^2. With d(r R)/dr = slope / D^2 and N, D, slope
// positive inside the region, the two conditions are, squared,
//   slope^2 > 36 P^2 s D^4,   N^2 > 36 P^2 s D^2.
double tangentialReach(const RadialMapping& radial, const Polynomial& slope, double p1, double p2,
                       double edge) {
  const double p = std::hypot(p1, p2);
  const double r_edge = std::sqrt(edge);
  if (p == 0.0) return radial.distortedRadius(r_edge);
  const Polynomial scaled_s = {0.0, 36.0 * p * p};
  const Polynomial d2 = multiply(radial.denominator, radial.denominator);
  const Polynomial steep = add(multiply(slope, slope), multiply(scaled_s, multiply(d2, d2)), -1.0);
  const Polynomial wide =
      add(multiply(radial.numerator, radial.numerator), multiply(scaled_s, d2), -1.0);
  const double s = std::min(firstNonPositive(steep, edge), firstNonPositive(wide, edge));
  const double r = std::sqrt(s);
  return std::max(0.0, radial.distortedRadius(r) - 3.0 * p * s);
}

}  // namespace

SoundRegion findSoundRegion(const LensCoefficients& distortion) {
  SoundRegion region;
  double k[kLensCoefficientCount];
  std::copy(distortion.begin(), distortion.end(), k);
  for (const double coefficient : k) {
    if (!std::isfinite(coefficient)) {
      region.edge = SoundRegion::Edge::kPole;
      region.radius = 0.0;
      region.denominator = std::nan("");
      return region;
    }
  }
  const RadialMapping radial(k);
  const Polynomial& numerator = radial.numerator;
  const Polynomial& denominator = radial.denominator;
  // (N + 2 s N_s) D - 2 s N D_s: the sign of the slope of r R(r).
  const Polynomial s = {0.0, 1.0};
  const Polynomial widened = add(numerator, multiply(s, derivative(numerator)), 2.0);
  const Polynomial slope = add(multiply(widened, denominator),
                               multiply(multiply(s, numerator), derivative(denominator)), -2.0);
  const Polynomial clearance = add(denominator, {kDenominatorFloor}, -1.0);

  const double largest = kLargestSoundRadius * kLargestSoundRadius;
  const double fold = firstNonPositive(slope, largest);
  const double pole = firstNonPositive(clearance, largest);
  const double edge = std::min(fold, pole);
  if (edge < largest) {
    region.edge = pole <= fold ? SoundRegion::Edge::kPole : SoundRegion::Edge::kFold;
  }
  region.radius = region.edge == SoundRegion::Edge::kNone ? kLargestSoundRadius : std::sqrt(edge);
  region.denominator = evaluate(denominator, edge);
  region.distorted_radius = region.radius * evaluate(numerator, edge) / region.denominator;
  region.one_to_one_radius = k[kP1] == 0.0 && k[kP2] == 0.0
                                 ? region.distorted_radius
                                 : tangentialReach(radial, slope, k[kP1], k[kP2], edge);
  return region;
}

bool radialInverseStart(const LensInverse& lens, double tx, double ty, double* x, double* y) {
  const double* d = lens.lens.d;
  LensCoefficients coefficients;
  std::copy(d, d + kLensCoefficientCount, coefficients.begin());
  const SoundRegion region = findSoundRegion(coefficients);
  const RadialMapping radial(d);
  // r R(r) rises over [0, region.radius]: the r at which it reaches rd, by
  // bisection down to adjacent doubles.
  const auto undistortedRadius = [&](double rd, double* r) {
    if (!(rd >= 0.0 && rd <= region.distorted_radius)) return false;
    double below = 0.0, above = region.radius;
    for (int i = 0; i < 2200; ++i) {
      const double middle = below + 0.5 * (above - below);
      if (!(middle > below && middle < above)) break;
      (radial.distortedRadius(middle) < rd ? below : above) = middle;
    }
    *r = above;
    return true;
  };
  // x R(|x|) = t - T(x): the radial mapping inverted exactly for the
  // target less the tangential displacement at the current estimate, a
  // contraction wherever the tangential terms are small against the
  // radial slope (the one-to-one disc of tangentialReach).
  double px = 0.0, py = 0.0;
  for (int i = 0; i < kRadialStartIterations; ++i) {
    double dx, dy;
    tangentialDisplacement(d, px, py, &dx, &dy);
    const double ux = tx - dx, uy = ty - dy;
    const double rd = std::hypot(ux, uy);
    double r;
    if (!undistortedRadius(rd, &r)) return false;
    const double scale = rd > 0.0 ? r / rd : 1.0;
    const double nx = ux * scale, ny = uy * scale;
    const bool settled = std::abs(nx - px) + std::abs(ny - py) <= 1e-15 * (1.0 + r);
    px = nx;
    py = ny;
    if (settled) break;
  }
  *x = px;
  *y = py;
  return std::isfinite(px) && std::isfinite(py);
}

}  // namespace calibration
}  // namespace dravik
