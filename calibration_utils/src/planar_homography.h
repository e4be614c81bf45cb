// Closed-form geometry of a single view of a planar target: the homography
// from the target plane to the image, the focal length its perspective
// implies, and the target's pose.
#pragma once

#include <Eigen/Core>
#include <vector>

namespace dravik {
namespace calibration {

// The focal length a start assumes when the views' perspective gives none,
// per pixel of image width: a 60 degree horizontal field of view,
// f = (w / 2) / tan(30 deg).
constexpr double kFallbackFocalLengthPerWidth = 0.8660254037844386;
// A closed-form focal length outside these bounds, per pixel of image width,
// is not a camera (a field of view above 170 or below 0.3 degrees).
constexpr double kMinimumFocalLengthPerWidth = 0.0437;
constexpr double kMaximumFocalLengthPerWidth = 200.0;

// H with image ~ H (target, 1), by the normalised direct linear transform:
// both point sets are moved to their centroid and scaled to a mean distance
// of sqrt(2), and H is the right singular vector of the smallest singular
// value, scaled to |H| = 1. False when the points leave H undetermined (the
// two smallest singular values too close).
bool estimateHomography(const std::vector<Eigen::Vector2d>& target,
                        const std::vector<Eigen::Vector2d>& image, Eigen::Matrix3d* H);

// 1 / f^2 from the orthogonality of the target's axes, for a camera with
// square pixels, no skew and principal point c: with h1, h2 the first two
// columns of H moved to c (image coordinates minus c),
//   (h11 h12 + h21 h22) w + h31 h32 = 0,
//   (h11^2 + h21^2 - h12^2 - h22^2) w + h31^2 - h32^2 = 0,
// solved for w in the least-squares sense. Not positive (or not finite) when
// the view shows no usable perspective.
double inverseSquaredFocalFromHomography(const Eigen::Matrix3d& H, const Eigen::Vector2d& c);

// 1 / fx^2 and 1 / fy^2 from the orthogonality of the target's axes in
// several views, for a camera without skew and principal point c (Zhang's
// closed form with the principal point known): the two constraints above of
// every homography, with 1 / fx^2 and 1 / fy^2 apart, in the least-squares
// sense. False when the views leave them undetermined or not positive.
bool inverseSquaredFocalsFromHomographies(const std::vector<Eigen::Matrix3d>& homographies,
                                          const Eigen::Vector2d& c, double* wx, double* wy);

// The pose of the target for K = [fx 0 cx; 0 fy cy; 0 0 1]: [r1 r2 t] = s K^-1 H
// with s = 2 / (|K^-1 h1| + |K^-1 h2|) and the sign that puts the target in
// front (t_z > 0), r3 = r1 x r2, and R the nearest rotation to [r1 r2 r3].
void poseFromHomography(const Eigen::Matrix3d& H, double fx, double fy, const Eigen::Vector2d& c,
                        Eigen::Matrix3d* R, Eigen::Vector3d* t);

}  // namespace calibration
}  // namespace dravik
