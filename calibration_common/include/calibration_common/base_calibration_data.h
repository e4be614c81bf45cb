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
// "base_calibration_data".
#pragma once

#include <memory>
#include <string>

#include <Eigen/Core>

#include "calibration_common/camera_parameters_export.h"
#include "calibration_messages/calibration.pb.h"

namespace dravik {
namespace calibration {

class CAMERA_PARAMETERS_EXPORT BaseCalibrationData {
 public:
  // Loads the embedded default and puts it in force.
  BaseCalibrationData();
  // Copies other's calibration in force, and its default calibration, so that
  // a failed load on the copy falls back to the same default as on other.
  BaseCalibrationData(const BaseCalibrationData& other);
  BaseCalibrationData& operator=(const BaseCalibrationData&) = delete;
  ~BaseCalibrationData();

  // Wire format first, then text format. True: data is in force. False: the
  // default is in force (data unparseable, or fewer than 12 transform values).
  bool loadFromString(const std::string& data);

  float getBaseLength() const;
  float getBaseWidth() const;
  float getWheelBase() const;
  float getGyroscopeGain() const;
  Eigen::Matrix3f getWorldRotation() const { return world_rotation_; }
  // Metres.
  Eigen::Vector3f getWorldTranslation() const { return world_translation_; }

  void setBaseLength(float value);
  void setBaseWidth(float value);
  void setWheelBase(float value);
  // translation in metres.
  void setGlobalTransform(const Eigen::Matrix3f& rotation, const Eigen::Vector3f& translation,
                          const CalibrationMetadataProto& metadata);
  void setGyroscopeGain(const GyroscopeCalibrationProto& gyroscope);

  // True when the global transform's validity text equals text (an absent
  // one reads as empty).
  bool isGlobalTransformCalibrationValid(const std::string& text) const;
  // True when the gyroscope calibration has a gain and its validity text
  // equals text.
  bool isGyroscopeGainCalibrationValid(const std::string& text) const;

  // The calibration in force.
  const BaseCalibrationProto& cal() const { return *cal_; }

 protected:
  bool readProto();
  bool setDefault();
  void updatePBMatrix();

 private:
  std::unique_ptr<BaseCalibrationProto> default_cal_;
  std::unique_ptr<BaseCalibrationProto> cal_;
  Eigen::Matrix3f world_rotation_;
  Eigen::Vector3f world_translation_;
};

}  // namespace calibration
}  // namespace dravik
