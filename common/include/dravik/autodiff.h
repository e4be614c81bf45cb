// Forward-mode automatic differentiation with first derivatives.
//
// AutoDiff1<T, N> carries a value and its N partial derivatives with respect
// to N chosen variables, in that order. Arithmetic propagates them by the
// chain rule: for f(x) = x * x at x = 3 seeded as variable 0,
//   AutoDiff1<double, 1> x(3.0, 0);   // value 3, partials (1)
//   AutoDiff1<double, 1> y = x * x;   // value 9, partials (6)
// A constant has all partials zero. Comparisons look at values only. The
// partials are an Eigen vector, so a gradient is used as one:
//   Eigen::Matrix<double, 1, 1> g = y.partial;   // (6)
//
// It is a scalar Eigen understands (the specialisations at the end of this
// file), so matrices of it work like matrices of double, and matrices of
// double and of AutoDiff1<double, N> multiply and add to matrices of
// AutoDiff1<double, N>:
//   Eigen::Matrix<AutoDiff1<double, 2>, 2, 2> R;  // a rotation by a variable
//   Eigen::Matrix<AutoDiff1<double, 2>, 3, 2> DR = D * R;  // D: 3x2 double
#pragma once

#include <Eigen/Core>
#include <cmath>

namespace dravik {
namespace autodiff {

template <typename T, int N>
struct AutoDiff1 {
  using Partials = Eigen::Matrix<T, N, 1>;

  T value;
  Partials partial;

  // A constant: value v, every partial zero.
  AutoDiff1() : value(T(0)) { setPartials(T(0)); }
  AutoDiff1(T v) : value(v) { setPartials(T(0)); }  // NOLINT: constants convert implicitly
  // A variable: value v, partial 1 for variable `index`, 0 for the others.
  AutoDiff1(T v, int index) : value(v) {
    setPartials(T(0));
    if (index >= 0 && index < N) partial(index) = T(1);
  }

  void setPartials(T p) { partial.setConstant(p); }

  AutoDiff1& operator+=(const AutoDiff1& b) { return *this = *this + b; }
  AutoDiff1& operator-=(const AutoDiff1& b) { return *this = *this - b; }
  AutoDiff1& operator*=(const AutoDiff1& b) { return *this = *this * b; }
  AutoDiff1& operator/=(const AutoDiff1& b) { return *this = *this / b; }
};

// Builds a result with value v and partials s * a.partial.
template <typename T, int N>
inline AutoDiff1<T, N> scaled(T v, T s, const AutoDiff1<T, N>& a) {
  AutoDiff1<T, N> r;
  r.value = v;
  r.partial = s * a.partial;
  return r;
}

template <typename T, int N>
inline AutoDiff1<T, N> operator+(const AutoDiff1<T, N>& a, const AutoDiff1<T, N>& b) {
  AutoDiff1<T, N> r;
  r.value = a.value + b.value;
  r.partial = a.partial + b.partial;
  return r;
}

template <typename T, int N>
inline AutoDiff1<T, N> operator-(const AutoDiff1<T, N>& a, const AutoDiff1<T, N>& b) {
  AutoDiff1<T, N> r;
  r.value = a.value - b.value;
  r.partial = a.partial - b.partial;
  return r;
}

template <typename T, int N>
inline AutoDiff1<T, N> operator-(const AutoDiff1<T, N>& a) {
  return scaled(-a.value, T(-1), a);
}

// (a b)' = a' b + a b'
template <typename T, int N>
inline AutoDiff1<T, N> operator*(const AutoDiff1<T, N>& a, const AutoDiff1<T, N>& b) {
  AutoDiff1<T, N> r;
  r.value = a.value * b.value;
  r.partial = a.value * b.partial + b.value * a.partial;
  return r;
}

// (a / b)' = (a' - (a / b) b') / b
template <typename T, int N>
inline AutoDiff1<T, N> operator/(const AutoDiff1<T, N>& a, const AutoDiff1<T, N>& b) {
  AutoDiff1<T, N> r;
  const T inverse = T(1) / b.value;
  r.value = a.value * inverse;
  r.partial = (a.partial - r.value * b.partial) * inverse;
  return r;
}

// Mixed operations with plain scalars.
template <typename T, int N>
inline AutoDiff1<T, N> operator+(const AutoDiff1<T, N>& a, T b) {
  AutoDiff1<T, N> r = a;
  r.value += b;
  return r;
}
template <typename T, int N>
inline AutoDiff1<T, N> operator+(T a, const AutoDiff1<T, N>& b) {
  return b + a;
}
template <typename T, int N>
inline AutoDiff1<T, N> operator-(const AutoDiff1<T, N>& a, T b) {
  return a + (-b);
}
template <typename T, int N>
inline AutoDiff1<T, N> operator-(T a, const AutoDiff1<T, N>& b) {
  return scaled(a - b.value, T(-1), b);
}
template <typename T, int N>
inline AutoDiff1<T, N> operator*(const AutoDiff1<T, N>& a, T b) {
  return scaled(a.value * b, b, a);
}
template <typename T, int N>
inline AutoDiff1<T, N> operator*(T a, const AutoDiff1<T, N>& b) {
  return scaled(a * b.value, a, b);
}
template <typename T, int N>
inline AutoDiff1<T, N> operator/(const AutoDiff1<T, N>& a, T b) {
  const T inverse = T(1) / b;
  return scaled(a.value * inverse, inverse, a);
}
template <typename T, int N>
inline AutoDiff1<T, N> operator/(T a, const AutoDiff1<T, N>& b) {
  return AutoDiff1<T, N>(a) / b;
}

// sin' = cos, cos' = -sin
template <typename T, int N>
inline AutoDiff1<T, N> sin(const AutoDiff1<T, N>& a) {
  using std::cos;
  using std::sin;
  return scaled(sin(a.value), cos(a.value), a);
}
template <typename T, int N>
inline AutoDiff1<T, N> cos(const AutoDiff1<T, N>& a) {
  using std::cos;
  using std::sin;
  return scaled(cos(a.value), -sin(a.value), a);
}

// sqrt' = 1 / (2 sqrt); at zero the partials are infinite, as the derivative is.
template <typename T, int N>
inline AutoDiff1<T, N> sqrt(const AutoDiff1<T, N>& a) {
  using std::sqrt;
  const T root = sqrt(a.value);
  return scaled(root, T(0.5) / root, a);
}

// Comparisons look at the values only; a plain scalar compares as a constant.
#define DRAVIK_AUTODIFF_COMPARISON(op)                                          \
  template <typename T, int N>                                                  \
  inline bool operator op(const AutoDiff1<T, N>& a, const AutoDiff1<T, N>& b) { \
    return a.value op b.value;                                                  \
  }                                                                             \
  template <typename T, int N>                                                  \
  inline bool operator op(const AutoDiff1<T, N>& a, T b) {                      \
    return a.value op b;                                                        \
  }                                                                             \
  template <typename T, int N>                                                  \
  inline bool operator op(T a, const AutoDiff1<T, N>& b) {                      \
    return a op b.value;                                                        \
  }
DRAVIK_AUTODIFF_COMPARISON(<)
DRAVIK_AUTODIFF_COMPARISON(>)
DRAVIK_AUTODIFF_COMPARISON(<=)
DRAVIK_AUTODIFF_COMPARISON(>=)
#undef DRAVIK_AUTODIFF_COMPARISON

}  // namespace autodiff
}  // namespace dravik

namespace Eigen {

// AutoDiff1 as a real scalar of Eigen. The costs are those of a plain
// scalar, as for other automatic-differentiation scalars, so that Eigen
// unrolls the small fixed-size expressions of them.
template <typename T, int N>
struct NumTraits<dravik::autodiff::AutoDiff1<T, N>> {
  using Real = dravik::autodiff::AutoDiff1<T, N>;
  using NonInteger = Real;
  using Nested = Real;
  using Literal = Real;
  enum {
    IsComplex = 0,
    IsInteger = 0,
    IsSigned = 1,
    RequireInitialization = 1,
    ReadCost = 1,
    AddCost = 1,
    MulCost = 3,
  };
  static Real epsilon() { return Real(NumTraits<T>::epsilon()); }
  static Real dummy_precision() { return Real(NumTraits<T>::dummy_precision()); }
  static Real highest() { return Real(NumTraits<T>::highest()); }
  static Real lowest() { return Real(NumTraits<T>::lowest()); }
  static int digits10() { return NumTraits<T>::digits10(); }
};

// A plain T and an AutoDiff1 of T combine into an AutoDiff1, on either side.
template <typename T, int N, typename BinaryOp>
struct ScalarBinaryOpTraits<dravik::autodiff::AutoDiff1<T, N>, T, BinaryOp> {
  using ReturnType = dravik::autodiff::AutoDiff1<T, N>;
};
template <typename T, int N, typename BinaryOp>
struct ScalarBinaryOpTraits<T, dravik::autodiff::AutoDiff1<T, N>, BinaryOp> {
  using ReturnType = dravik::autodiff::AutoDiff1<T, N>;
};

}  // namespace Eigen
