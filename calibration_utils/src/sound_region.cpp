#include <algorithm>
#include <cmath>

#include "calibration_utils/lens_soundness.h"

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

}  // namespace

SoundRegion findSoundRegion(const std::vector<float>& distortion) {
  SoundRegion region;
  double k[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  if (distortion.size() == 8) std::copy_n(distortion.begin(), 8, k);
  for (const int i : {0, 1, 4, 5, 6, 7}) {
    if (distortion.size() != 8 || !std::isfinite(k[i])) {
      region.edge = SoundRegion::Edge::kPole;
      region.radius = 0.0;
      region.denominator = std::nan("");
      return region;
    }
  }
  const Polynomial numerator = {1.0, k[0], k[1], k[4]};
  const Polynomial denominator = {1.0, k[5], k[6], k[7]};
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
  return region;
}

}  // namespace calibration
}  // namespace dravik
