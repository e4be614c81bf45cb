// Where a rational lens is sound: the one rule for every map, check, plot and
// fit. A camera's lens asks it through Lens::soundRegion and
// Lens::isSoundOverImage (calibration_utils/lens.h).
//
// The radial part of the rational lens (dravik/rational_lens.h) maps the
// normalized undistorted radius r of a viewing direction to the distorted
// radius r R(r), R = N / D (D, the denominator M there).
// A fitted lens is constrained only where its samples were; farther out it
// may turn back (r R(r) stops increasing: two directions land on one pixel,
// a fold) or its denominator may approach zero (r R(r) blows up, a pole).
// The sound region runs from the optical axis out to the first of these.
//
// Both edges are roots of polynomials in s = r^2:
//   d(r R)/dr = [(N + 2 s N_s) D - 2 s N D_s] / D^2   (N_s = dN/ds, D_s = dD/ds),
// a fold where the bracket, of degree six in s, first reaches zero; a pole
// where D - kDenominatorFloor, of degree three, first does. Each is located
// by splitting [0, kLargestSoundRadius^2] where the polynomial's derivatives
// vanish, so that it is monotone on every piece, and bisecting the first
// piece on which it reaches zero down to adjacent doubles: exact, not sampled.
// Tangential terms do not enter the edge. They enter the one-to-one radius:
// the displacement T(x, y) has a Jacobian of norm at most 6 P r and a
// length of at most 3 P r^2 (P = hypot(p1, p2)); out to the first r at which
// R or d(r R)/dr falls to 6 P r (a root of a polynomial in s again, found the
// same way), the lens's Jacobian has a positive definite symmetric part, so
// the disc maps one to one and its image covers the distorted radius
// r R(r) - 3 P r^2.
//
// Thread safety: the function keeps no state.
#pragma once

#include "dravik/rational_lens.h"

namespace dravik {
namespace calibration {

// Below this value of the rational denominator M the lens counts
// as near its pole (it multiplies the numerator by ten or more).
constexpr double kDenominatorFloor = 0.1;
// The largest normalized radius examined, about 87 degrees off axis.
constexpr double kLargestSoundRadius = 20.0;

// The sound region of a rational lens: from the optical axis out to the first normalized
// (undistorted) radius r where the radial mapping r R(r) stops increasing (a fold) or the
// denominator falls below kDenominatorFloor (a pole). Tangential terms do not enter.
struct SoundRegion {
  enum class Edge { kNone, kFold, kPole };
  Edge edge = Edge::kNone;  // what ends the region; kNone: sound out to kLargestSoundRadius
  double radius = kLargestSoundRadius;  // normalized undistorted radius of the edge
  double distorted_radius = 0.0;        // r R(r) at that radius
  double denominator = 1.0;             // the rational denominator at that radius
  // The distorted radius within which every point has exactly one viewing direction inside
  // the region, the tangential terms included: distorted_radius without them, less with
  // them (where they are large against the radial slope, about a flat stretch or near the
  // edge). Zero when no disc about the axis is provably one to one.
  double one_to_one_radius = 0.0;
};

// The sound region of the eight coefficients (a camera's lens at an image size:
// Lens::soundRegion, calibration_utils/lens.h). Coefficients that are not finite leave no
// sound region: a pole at radius 0, with a denominator that is not a number.
SoundRegion findSoundRegion(const LensCoefficients& distortion);

}  // namespace calibration
}  // namespace dravik
