// Camera calibration of the robot: one record per camera, and the set that
// loads them.
//
// Conventions
// - Frames: a camera pose maps robot coordinates into the camera frame
//   (x right, y down, z along the optical axis): x_cam = R x_robot + t.
//   getTransform() holds it as a 4x4 [R t; 0 0 0 1] and its inverse.
// - Units: metres in memory; millimetres in the calibration messages (the
//   translation column of the 12 extrinsics values); pixels of the image whose
//   size an operation names.
// - Intrinsic matrix: K = [fx skew cx; 0 fy cy; 0 0 1].
// - Distortion: eight coefficients in the order k1, k2, p1, p2, k3, k4, k5, k6
//   of the rational lens model (see dravik/geometry.h). A message stores them
//   as k (k1..k6) and p (p1, p2).
// - Image sizes: a camera is calibrated once at its full frame. A streaming
//   size is produced by a crop (crop_x, crop_y, crop_width, crop_height, in
//   full-frame pixels) scaled to (output_width, output_height), x and y
//   independently:
//     fx' = sx fx, skew' = sx skew, cx' = sx cx - sx crop_x,
//     fy' = sy fy, cy' = sy cy - sy crop_y,
//   with sx = output_width / crop_width and sy = output_height / crop_height.
//   Pixel coordinates are scaled as they are: there is no half-pixel shift and
//   no rounding. (Libraries that treat pixel centres at +0.5 would give a
//   principal point that differs by 0.5 (1 - s) pixels; this one does not.)
//
// Failure is reported by a false result and a log record (dravik/logging.h,
// tag "camera_parameters"); a failed load puts the embedded default back in
// force. Records are handed out as shared pointers to const and stay valid
// for as long as the caller holds them.
//
// Thread safety: const operations may run concurrently on a set and its
// records; loading, assigning or adjusting a set must not overlap with any
// other use of it.
#pragma once

#include <Eigen/Core>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "calibration_common/camera_parameters_export.h"
#include "calibration_messages/calibration.pb.h"
#include "dravik/camera_transform.h"
#include "dravik/eigen_types.h"

namespace dravik {
namespace calibration {

class BaseCalibrationData;
class ImageSensorTransform;
class Lens;  // calibration_utils/lens.h
struct LensCheck;
template <typename T>
struct OpenCVProjection;
struct FitFailure;  // calibration_utils/camera_calibration.h

// One camera's calibration: full-frame intrinsics and distortion, the model
// identifier, the pose, and the intrinsics of each streaming resolution of
// its model. Built once by readProto; neither copyable nor movable.
class CAMERA_PARAMETERS_EXPORT CameraParameters {
 public:
  // A single-image calibration: (image points, target points, image size,
  // sample scalar, sample grid size, projection to fill, reason of a failure
  // to fill when not null) -> error per point.
  using SingleImageCalibration =
      std::function<double(const std::vector<Eigen::Vector2f>&, const std::vector<Eigen::Vector2f>&,
                           const Eigen::Vector2i&, double, const Eigen::Vector2i&,
                           OpenCVProjection<double>*, FitFailure*)>;

  // One set of intrinsics, valid for a width x height image.
  struct Intrinsics {
    int width = 0;
    int height = 0;
    // k1, k2, p1, p2, k3, k4, k5, k6.
    std::vector<float> distortion;
    float fx = 0.0f;
    float fy = 0.0f;
    float skew = 0.0f;
    float cx = 0.0f;
    float cy = 0.0f;
  };

  CameraParameters();
  ~CameraParameters();
  CameraParameters(const CameraParameters&) = delete;
  CameraParameters& operator=(const CameraParameters&) = delete;

  // Reads one camera message: full-frame intrinsics, the eight distortion
  // coefficients, the model and the pose, then the per-resolution table of the
  // model. Returns false (and logs why) when a coefficient or extrinsics list
  // is short, a value is NaN or infinite (or beyond the range of float), or
  // the model cannot be served. Call once, on a new record.
  bool readProto(const CameraCalibration& cal);

  const dravik::Matrix3f& getRotation() const { return rotation_; }
  // Metres.
  const Eigen::Vector3f& getTranslation() const { return translation_; }
  const CameraTransform& getTransform() const { return transform_; }
  const std::string& getModel() const { return model_; }
  const std::string& getName() const;
  const CameraCalibration& getCalibration() const { return *calibration_; }

  // K and distortion at the calibrated full frame.
  dravik::Matrix3f getFullFrameIntrinsics() const;
  const std::vector<float>& getFullFrameDistortion() const { return full_frame_.distortion; }
  const Intrinsics& getFullFrame() const { return full_frame_; }

  // K for a width x height image: the model's entry for that size, or else
  // the full frame scaled to it (logged at level 5 as "W H w h"). Allocates
  // nothing on a table hit.
  dravik::Matrix3f getIntrinsics(int width, int height) const;
  // The distortion of the model's entry for that size, or else the full
  // frame's. The reference lives as long as the record.
  const std::vector<float>& getDistortion(int width, int height) const;
  // The lens (calibration_utils/lens.h) for a width x height image:
  // getIntrinsics and getDistortion at that size, with the same fallback,
  // checked without a record (Lens::fromIntrinsicsQuietly): written to
  // *lens unless refused (a size that is not positive), the reason returned.
  LensCheck getLens(int width, int height, Lens* lens) const;
  // The same lens, or the default lens (the lens of no image, 0 x 0) where
  // it is refused.
  Lens getLens(int width, int height) const;
  // True when the model's table has an entry for that size.
  bool hasIntrinsics(int width, int height) const { return findEntry(width, height) != nullptr; }
  // The per-resolution entries, in the order the model wrote them.
  const std::vector<Intrinsics>& getIntrinsicsTable() const { return intrinsics_table_; }

  // Conversions between poses and extrinsics messages. A 4x4 pose is
  // [R t; 0 0 0 1] with t in metres; a message holds the rows of [R t] with t
  // in millimetres.
  static void convert(const dravik::Matrix3f& R, const Eigen::Vector3f& t, dravik::Matrix4f* T);
  static void convert(const dravik::Matrix4f& T, dravik::Matrix3f* R, Eigen::Vector3f* t);
  static void convert(const dravik::Matrix4f& T, CameraExtrinsics* e);
  // Ends the process (a fatal check) when src holds fewer than 12 values.
  static void convert(const CameraExtrinsics& src, dravik::Matrix4f* T);

 protected:
  friend class CameraParametersSet;

  // Fills intrinsics_table_ for model_ from the table of camera models
  // (camera_models.h); false when the model cannot be served.
  bool precomputeIntrinsics();
  // The record of a sensor-remapped mode: recomputeIntrinsics through the
  // head camera's sensor transform. The embedded default's head camera was
  // fitted so when the library was built; its record is that fit.
  bool recomputeSensorRemappedIntrinsics(Intrinsics* out) const;

  // K of `in` mapped through a crop and a scale (see the top of this file).
  dravik::Matrix3f recomputeKMatrix(const Intrinsics& in, int crop_x, int crop_y, int crop_width,
                                    int crop_height, int output_width, int output_height) const;
  // `in` mapped through a crop and a scale; out may alias in.
  void affineIntrinsics(const Intrinsics& in, int crop_x, int crop_y, int crop_width,
                        int crop_height, int output_width, int output_height,
                        Intrinsics* out) const;

  // Recalibrates from the message's sample points mapped through transform.
  bool recomputeIntrinsics(const ImageSensorTransform& transform, Intrinsics* out) const;

  // recomputeIntrinsics with the calibration to run passed in; the overload
  // above passes calibrateFromSingleImage. Tests pass one whose error they
  // choose.
  bool recomputeIntrinsics(const ImageSensorTransform& transform,
                           const SingleImageCalibration& calibrate, Intrinsics* out) const;

  // Composes the pose with the base calibration's global transform and writes
  // it into message's extrinsics.
  void adjustUsingBaseCalibration(const BaseCalibrationData& base, CameraCalibration* message);

 private:
  const Intrinsics* findEntry(int width, int height) const;
  // Resizes the table to the entries of a model and fills entry i from
  // sources[i] mapped through crops[i] (crop_x, crop_y, crop_width, crop_height,
  // output_width, output_height).
  void fillTable(const Intrinsics* const* sources, const int (*crops)[6], int count);

  std::vector<Intrinsics> intrinsics_table_;
  Intrinsics full_frame_;
  std::string model_;
  CameraTransform transform_;
  dravik::Matrix3f rotation_;
  Eigen::Vector3f translation_;
  std::unique_ptr<CameraCalibration> calibration_;
};

// The calibration of every camera of one robot, by camera name. A new set
// holds the embedded default calibration.
class CAMERA_PARAMETERS_EXPORT CameraParametersSet {
 public:
  CameraParametersSet();
  // Builds new records from other's message (no fallback to the default).
  CameraParametersSet(const CameraParametersSet& other);
  // Shares other's message and records.
  CameraParametersSet& operator=(const CameraParametersSet& other);
  ~CameraParametersSet();

  // Each load returns true when the whole calibration was loaded; otherwise
  // it logs why, puts the embedded default back in force and returns false.
  // A load adds or replaces records by name and never removes one.
  //
  // A failed load does not start from scratch: the default's cameras get
  // their default records again, but every other name keeps what it holds,
  // a camera that the rejected calibration inserted before its bad one
  // included (a file with a good "rear"
  // camera and then a bad one returns false, yet getCamera("rear") answers).
  // To be sure of holding nothing but the default after a failure, use a new
  // set: load into a fresh CameraParametersSet and assign it on success.
  //
  // A file holds at most File::kMaxFileBytes (dravik/file.h); a larger one
  // fails to load.
  bool loadFromFile(const std::string& path);
  // Protobuf wire format is tried first, then text format
  // (dravik/calibration_bytes.h). Zero bytes are an empty wire-format
  // calibration, which loads: the set's message then holds no camera, and
  // every record stays as it was.
  bool loadFromString(const std::string& data);
  bool loadFromProto(const RobotCalibration& cal);
  // Loads the embedded default; always returns false.
  bool setDefault();

  // Exact, case-sensitive lookup; empty when there is no such camera.
  std::shared_ptr<const CameraParameters> getCamera(const std::string& name) const;
  bool hasCamera(const std::string& name) const;
  // Camera names in byte-wise order.
  std::vector<std::string> getCameraNames() const;
  const RobotCalibration& getRawCalData() const { return *robotcal_; }

  // Composes every camera's pose with the base calibration's global
  // transform, in the records and in the set's message.
  void adjustUsingBaseCalibration(const BaseCalibrationData& base);

 protected:
  bool readProto();

 private:
  std::map<std::string, std::shared_ptr<CameraParameters>> cameras_;
  std::shared_ptr<RobotCalibration> robotcal_;
};

}  // namespace calibration
}  // namespace dravik
