// The rational lens model: its coefficient layout and the index sets of its
// terms, in one place.
#pragma once

#include <array>

namespace dravik {

// The eight coefficients in storage order.
enum LensCoefficient : int { kK1 = 0, kK2, kP1, kP2, kK3, kK4, kK5, kK6, kLensCoefficientCount };

// The radial coefficients, numerator then denominator: k1 k2 k3 k4 k5 k6.
inline constexpr std::array<int, 6> kRadialCoefficients = {kK1, kK2, kK3, kK4, kK5, kK6};
// The tangential coefficients: p1 p2.
inline constexpr std::array<int, 2> kTangentialCoefficients = {kP1, kP2};
// Every coefficient of the plumb-bob lens: k1 k2 p1 p2 k3.
inline constexpr std::array<int, 5> kPlumbBobCoefficients = {kK1, kK2, kP1, kP2, kK3};
// The simplest rational lens: k1 p1 p2 k4.
inline constexpr std::array<int, 4> kSimplestRationalCoefficients = {kK1, kP1, kP2, kK4};
// The simplest plumb-bob lens: k1 p1 p2.
inline constexpr std::array<int, 3> kSimplestPlumbBobCoefficients = {kK1, kP1, kP2};

}  // namespace dravik
