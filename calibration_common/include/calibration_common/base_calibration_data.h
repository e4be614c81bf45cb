// Calibration of the robot's mobile base: base length and width, wheel base,
// gyroscope gain, and the global transform composed with every camera pose
// (CameraParametersSet::adjustUsingBaseCalibration).
//
// Conventions: the global transform G = [R t; 0 0 0 1], t in metres in
// memory and millimetres in the message (the translation column of the 12
// params values). Base length, base width and wheel base pass through in the
// units of the calibration file.
//
// A failed load puts the embedded default ("calibration/default_base_cal.txt")
// in force and returns false; records go to dravik/logging.h under the tag
// "base_calibration_data". The process ends (a fatal check) only when the
// embedded default cannot be read, does not parse, or holds fewer than 12
// global-transform values.
//
// Thread safety: const operations may run concurrently; loading or setting
// must not overlap with any other use of the object.
#pragma once

#include <Eigen/Core>
#include <memory>
#include <string>

#include "calibration_common/camera_parameters_export.h"
#include "calibration_messages/calibration.pb.h"
#include "dravik/eigen_types.h"

namespace dravik {
namespace calibration {

class CAMERA_PARAMETERS_EXPORT BaseCalibrationData {
 public:
  // Loads the embedded default and puts it in force.
  BaseCalibrationData();
  // Copies other's calibration in force and also other's default
  // calibration, so that a failed load on the copy falls back to the same
  // default as on other, and never lacks one.
  BaseCalibrationData(const BaseCalibrationData& other);
  BaseCalibrationData& operator=(const BaseCalibrationData&) = delete;
  ~BaseCalibrationData();

  // Wire format first, then text format. True: data is in force. False: the
  // default is in force (data unparseable, or fewer than 12 transform values).
  bool loadFromString(const std::string& data);

  // The fields of cal(); zero when absent.
  float getBaseLength() const;
  float getBaseWidth() const;
  float getWheelBase() const;
  float getGyroscopeGain() const;
  // The global transform G = [R t; 0 0 0 1]: its rotation R, and its
  // translation t in metres.
  dravik::Matrix3f getWorldRotation() const { return world_rotation_; }
  Eigen::Vector3f getWorldTranslation() const { return world_translation_; }

  // Store the value in cal() and mark the field present.
  void setBaseLength(float value);
  void setBaseWidth(float value);
  void setWheelBase(float value);
  // Replaces G (translation in metres) and writes it into cal() as 12 values,
  // translation in millimetres, with a copy of metadata.
  void setGlobalTransform(const dravik::Matrix3f& rotation, const Eigen::Vector3f& translation,
                          const CalibrationMetadataProto& metadata);
  // Replaces the gyroscope calibration of cal() with a copy of gyroscope and
  // logs the stored gain (level 5).
  void setGyroscopeGain(const GyroscopeCalibrationProto& gyroscope);

  // True when the global transform's validity text equals text (an absent
  // one reads as empty).
  bool isGlobalTransformCalibrationValid(const std::string& text) const;
  // True when the gyroscope calibration has a gain and its validity text
  // equals text. The presence of the gain field is what makes a gyroscope
  // calibration present: one without a gain is never valid, one with a gain
  // but no metadata is valid for the empty text only.
  bool isGyroscopeGainCalibrationValid(const std::string& text) const;

  // The calibration in force.
  const BaseCalibrationProto& cal() const { return *cal_; }

 protected:
  // Refreshes G from cal(); false (and a level-2 record) when cal() holds
  // fewer than 12 global-transform values, G then keeps its previous value.
  bool readProto();
  // Puts the default in force; always returns false.
  bool setDefault();
  // Writes G into cal() as 12 values; the metadata is left as it is.
  void updatePBMatrix();

 private:
  // The embedded default; every object holds one (see the copy constructor).
  std::unique_ptr<BaseCalibrationProto> default_cal_;
  // The calibration in force.
  std::unique_ptr<BaseCalibrationProto> cal_;
  // G, a cache of cal_'s global_transform params.
  dravik::Matrix3f world_rotation_;
  Eigen::Vector3f world_translation_;
};

}  // namespace calibration
}  // namespace dravik
