// The pan/tilt/zoom camera: its calibrated model over zoom, the model
// evaluated at one pan/tilt/zoom setting, and aiming.
//
// Conventions
// - Motor positions: pan, tilt and zoom in motor steps (int). Pan and tilt
//   turn into angles through the pan/tilt head (pan_tilt_model.h).
// - Zoom samples: the lens calibrated at a few zoom positions (PTZIntrinsicsItem:
//   zoom, focal length f in pixels with fx = fy = f, principal point cx, cy,
//   radial model (1 + k1 r^2) / (1 + k4 r^2), tangential p1, p2), ordered by
//   increasing zoom and strictly increasing f. Sample i was calibrated at
//   zoom_offset + i * zoom_step ("the grid"): the grid picks the samples that
//   bracket a zoom position, a scan of f picks those that bracket a focal
//   length. Interpolation always uses the samples' own zoom and f.
// - Zoom x factor: the focal length at a zoom position over that of sample 0
//   (the widest); 1 at the widest zoom, growing as the lens zooms in.
// - Frames: a configuration's pose maps world coordinates into the camera
//   frame (x right, y down, z along the optical axis), translations in metres;
//   world_from_camera is its inverse, whose rotation turns camera directions
//   into world ones.
// - Images: pixels of the calibration image, cal_width x cal_height.
//   Normalized camera coordinates (x, y) stand for the direction (x, y, 1) in
//   the camera frame; (0, 0) is the optical axis.
// - Distortion: eight coefficients k1, k2, p1, p2, k3, k4, k5, k6 of the
//   rational lens model (dravik/geometry.h).
//
// Failures are a false result and a record under the tag "ptz_camera_model"
// (dravik/logging.h). The only fatal check: asking a model without samples for
// a sample (getIntrinsics, and so constructing a configuration of it).
//
// Thread safety: models and configurations are only read after construction;
// their const operations may run concurrently as long as nobody assigns to
// them.
#pragma once

#include <Eigen/Core>
#include <memory>
#include <vector>

#include "calibration_common/camera_parameters_export.h"
#include "calibration_common/pan_tilt_model.h"
#include "calibration_messages/calibration.pb.h"
#include "calibration_utils/lens.h"
#include "dravik/camera_transform.h"
#include "dravik/geometry.h"

namespace dravik {
namespace calibration {

class CameraParameters;

// The calibrated model of one PTZ camera: the zoom table and the pan/tilt
// head. Shared by its configurations through std::shared_ptr.
class CAMERA_PARAMETERS_EXPORT PTZCameraModel {
 public:
  // Copies params and reads the head from params.pan_tilt(). The model is
  // invalid (logged) when the table has no samples or the head cannot be read.
  explicit PTZCameraModel(const PTZCameraParameters& params);
  PTZCameraModel(const PTZCameraModel& other);
  // Copies the message (the source stays usable) and moves the head.
  PTZCameraModel(PTZCameraModel&& other);
  PTZCameraModel& operator=(const PTZCameraModel& other);
  PTZCameraModel& operator=(PTZCameraModel&& other);
  ~PTZCameraModel();

  bool valid() const { return valid_; }
  // The zoom x factor of the last sample: f_last / f_0 (1 for one sample).
  float maxZoomXFactor() const { return max_zoom_x_factor_; }
  // The pan/tilt head read from the message.
  const PanTiltModel& panTiltModel() const { return pan_tilt_model_; }

  // The sample at index, clamped into the table; never null. The pointer
  // lives as long as the model and is invalidated by assignment. A model
  // without samples fails a fatal check.
  const PTZIntrinsicsItem* getIntrinsics(int index) const;
  // The grid index (zoom - zoom_offset) / zoom_step, truncated toward zero;
  // 0 when zoom_step is 0. Not clamped into the table (getIntrinsics clamps);
  // a quotient beyond the int range saturates.
  int getIntrinsicsIndex(int zoom) const;
  // The zoom x factor at a zoom position (negative positions count as 0):
  // the focal length interpolated linearly in zoom between the two grid
  // samples that bracket the position, over f_0. At least 1; 1 with fewer
  // than two samples.
  float stepsToZoomXFactor(int steps) const;
  // The zoom position giving the zoom x factor x: the focal length x f_0
  // located by a scan of the samples' f (the first sample from sample 1 on
  // with f >= x f_0) and interpolated linearly in zoom, rounded to whole
  // steps (halves away from zero). 0 for x below 1, NaN or fewer than two
  // samples; the last sample's zoom for any factor beyond the table, +infinity
  // included; saturated to the int range. The inverse of stepsToZoomXFactor,
  // up to the rounding, on a table whose samples lie on its grid.
  int zoomXFactorToSteps(float x) const;

 private:
  // Configurations read the message and the head directly.
  friend class PTZCameraModelConfiguration;

  // The grid samples A (below) and B (above) that bracket a zoom position,
  // and the weight of A in a linear interpolation in zoom:
  //   a = (B.zoom - zoom) / (B.zoom - A.zoom),  value = a A + (1 - a) B.
  // Where the clamped grid indices select one sample (below the table, at
  // and beyond its last sample) A = B and a = 1.
  struct ZoomBracket {
    const PTZIntrinsicsItem* below;
    const PTZIntrinsicsItem* above;
    double below_weight;
  };
  ZoomBracket bracketZoom(int zoom) const;

  // How a search of the samples by focal length reads the table; the two
  // searches, zoomXFactorToSteps and the region fit of getPanTiltZoom,
  // differ only in these.
  struct FocalLengthSearch {
    // The first sample looked at.
    int first;
    // The sample found is the first whose f exceeds the target (strict) or
    // reaches it.
    bool strict;
    // Whole steps by rounding, halves away from zero, or by truncation toward
    // zero.
    bool round;
    // The interpolation weight (target - lo.f) / (hi.f - lo.f) is rounded to
    // float before it scales the zoom difference (the region fit); otherwise
    // the zoom difference is scaled in double, multiplied before the division.
    bool float_weight;
  };
  // The zoom, in whole steps, at which the focal length, linear in zoom
  // between the sample found and the one before it, equals target; *found is
  // the index of the sample found. When no sample qualifies (*found is the
  // sample count) the last sample's zoom; when sample 0 does, 0. The table
  // must have a sample.
  double zoomAtFocalLength(double target, const FocalLengthSearch& search, int* found) const;

  PTZCameraParameters params_;
  PanTiltModel pan_tilt_model_;
  float max_zoom_x_factor_;
  bool valid_;
};

// A PTZ camera model evaluated at one pan/tilt/zoom setting: the pose at the
// pan and tilt, the intrinsics and distortion at the zoom, interpolated
// between the two grid samples that bracket it. No setters: a new setting
// takes a new configuration. The model is shared, never copied.
//
// Interpolation, with the weights a1 = (B.zoom - zoom) / (B.zoom - A.zoom) of
// the sample A below and a2 = 1 - a1 of the sample B above:
//   f = a1 A.f + a2 B.f,  (cx, cy) = a1 A.c + a2 B.c,  p = a1 A.p + a2 B.p,
// and the radial mapping from normalized radius to pixels is interpolated
// exactly: f R(r) = a1 A.f RA(r) + a2 B.f RB(r), written over the common
// denominator (1 + A.k4 r^2)(1 + B.k4 r^2) as the coefficients
//   k1 = wA (A.k1 + B.k4) + wB (B.k1 + A.k4),  k2 = wA A.k1 B.k4 + wB B.k1 A.k4,
//   k4 = A.k4 + B.k4,  k5 = A.k4 B.k4,  k3 = k6 = 0,
// with wA = a1 A.f / f and wB = a2 B.f / f. Outside the table (and at its
// last sample) one sample stands alone.
class CAMERA_PARAMETERS_EXPORT PTZCameraModelConfiguration {
 public:
  // Evaluates model (not null) at the setting. A model without samples fails
  // the fatal check of PTZCameraModel::getIntrinsics.
  PTZCameraModelConfiguration(const std::shared_ptr<PTZCameraModel>& model, int pan, int tilt,
                              int zoom);
  // Copyable and movable; a configuration moved from may only be assigned
  // to or destroyed (its lens went with the move).
  PTZCameraModelConfiguration(const PTZCameraModelConfiguration& other);
  PTZCameraModelConfiguration(PTZCameraModelConfiguration&& other) noexcept;
  PTZCameraModelConfiguration& operator=(const PTZCameraModelConfiguration& other);
  PTZCameraModelConfiguration& operator=(PTZCameraModelConfiguration&& other) noexcept;
  ~PTZCameraModelConfiguration();

  int pan() const { return pan_; }
  int tilt() const { return tilt_; }
  int zoom() const { return zoom_; }
  // The calibration image size of the model (0 without intrinsics).
  int calWidth() const;
  int calHeight() const;
  // The lens at this zoom: K, distortion and the calibration image size
  // (calibration_utils/lens.h), for its own operations and for whole-image
  // undistortion (calibration_utils/undistortion.h).
  const Lens& getLens() const { return lens_; }
  // k1, k2, p1, p2, k3, k4, k5, k6 at this zoom.
  const LensCoefficients& distortion() const { return lens_.distortion(); }
  // World to camera at this pan and tilt (and its inverse).
  const CameraTransform& getTransform() const { return transform_; }
  // The camera centre in world coordinates, metres.
  Eigen::Vector3f getCameraCenter() const { return transform_.getCameraCenter(); }
  // Whether the model was valid when this configuration was built, and its
  // setting made a lens.
  bool valid() const { return valid_; }

  // The pixel of a world point (metres).
  Eigen::Vector2f project3dToCamera(const Eigen::Vector3f& p) const;
  // The pixels (u[i], v[i]) of `count` world points (x[i], y[i], z[i]), held
  // as separate coordinate arrays; each equals, to the last bit, the pixel of
  // the single-point call. The outputs must not overlap the inputs.
  void project3dToCamera(const float* x, const float* y, const float* z, int count, float* u,
                         float* v) const;
  // The direction, in world coordinates, of the ray seen at a pixel:
  // world_from_camera (x, y, 1) with (x, y) the pixel rectified. Not normalized; it starts
  // at getCameraCenter(). The inverse of project3dToCamera.
  Eigen::Vector3f projectPixelToRay(const Eigen::Vector2f& pixel) const;
  // The rays xyz[3 i .. 3 i + 2] of the n pixels uv[2 i], uv[2 i + 1], as
  // projectPixelToRay's but in double precision throughout (the lens's
  // normalizePixels, then world_from_camera); ok[i] = 1 where the rectification converged
  // (ok may be null). xyz must not overlap uv.
  void projectPixelsToRays(const double* uv, std::size_t n, double* xyz,
                           std::uint8_t* ok = nullptr) const;
  // The pixels uv[2 i], uv[2 i + 1] of the n world points xyz[3 i .. 3 i + 2],
  // in double precision (the pose and the lens widened once). uv must not
  // overlap xyz.
  void projectPoints(const double* xyz, std::size_t n, double* uv) const;
  // The normalized camera coordinates of an image point given as fractions
  // of the image size: p = (0.5, 0.5) is the image centre.
  Eigen::Vector2f rectifyPoint(const Eigen::Vector2f& p) const;
  // Reserved: leaves out untouched.
  void getCameraParameters(int width, int height, CameraParameters* out) const;

  // Aiming. Positions come from the head's inverse solution and, for the
  // operations answering in whole steps, are rounded (halves away from zero)
  // and limited by the motor limits present in the head's message (a min,
  // then a max, so that the max wins over an inconsistent min). A solution
  // that fails, or a position that does not fit an int, gives false with no
  // output written; so does a null output pointer, with a level-2 record.

  // The pan and tilt that bring the pixel to the optical axis: the point one
  // metre along its ray is put on the axis of the moved camera.
  bool getPanTilt(const Eigen::Vector2f& pixel, int* pan, int* tilt) const;
  // The pan and tilt, in fractional steps, at which the world point is seen
  // at the pixel: the head's inverse solution as it is, neither rounded nor
  // limited; the outputs are as the solution leaves them.
  bool getPanTilt(const Eigen::Vector3f& world, const Eigen::Vector2f& pixel, float* pan,
                  float* tilt) const;
  // The pan, tilt and zoom that centre the axis-aligned rectangle with the
  // opposite corners corner1 and corner2 and zoom in as far as the whole
  // rectangle stays in the image: the largest focal length at which the
  // corners' directions after the move fit in half the image about its
  // centre (lens distortion and the principal point's offset ignored),
  // located in the sample table by a strict scan of f and interpolated
  // linearly in zoom, truncated toward zero. Zoom 0 when even the widest
  // sample is too narrow, the last sample's zoom when the region fits at the
  // longest. False, with pan and tilt written and zoom not, for a model
  // without samples.
  bool getPanTiltZoom(const Eigen::Vector2f& corner1, const Eigen::Vector2f& corner2, int* pan,
                      int* tilt, int* zoom) const;

 private:
  // rectifyPoint of a pixel of the calibration image with this lens.
  Eigen::Vector2f rectifyPixel(const Eigen::Vector2f& pixel) const;
  // The unit direction, in world coordinates, of the ray seen at a pixel.
  Eigen::Vector3f unitRay(const Eigen::Vector2f& pixel) const;
  // Rounds and limits solved positions; false when one does not fit an int.
  bool roundAndLimit(float pan_f, float tilt_f, int* pan, int* tilt) const;

  std::shared_ptr<PTZCameraModel> model_;
  int pan_;
  int tilt_;
  int zoom_;
  bool valid_;
  CameraTransform transform_;
  // The lens at this zoom, at the calibration image size, and its inverse
  // prepared once for the pixel-by-pixel calls.
  Lens lens_;
  LensInverse inverse_;
  // The pose and the lens, widened once to double, ready to project.
  PointProjector projector_;
};

}  // namespace calibration
}  // namespace dravik
