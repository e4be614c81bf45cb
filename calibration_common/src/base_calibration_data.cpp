#define DRAVIK_LOG_FILE "calibration_common/base_calibration_data"

#include "calibration_common/base_calibration_data.h"

#include <google/protobuf/text_format.h>

#include <new>

#include "calibration_common/camera_parameters.h"
#include "dravik/calibration_bytes.h"
#include "dravik/file.h"
#include "dravik/logging.h"

namespace dravik {
namespace calibration {

namespace {
constexpr char kBaseCalibrationTag[] = "base_calibration_data";
// The rows of the 3x4 [R t] of the global transform.
constexpr int kGlobalTransformValues = 12;
}  // namespace

BaseCalibrationData::BaseCalibrationData()
    : default_cal_(std::make_unique<BaseCalibrationProto>()),
      cal_(std::make_unique<BaseCalibrationProto>()),
      world_rotation_(Eigen::Matrix3f::Zero()),
      world_translation_(Eigen::Vector3f::Zero()) {
  std::string data;
  DRAVIK_CHECK(File::readFileToString(
      EmbeddedFile::kEmbeddedPrefix + "calibration/default_base_cal.txt", &data));
  DRAVIK_CHECK(google::protobuf::TextFormat::ParseFromString(data, default_cal_.get()));
  setDefault();
}

// Every object holds a default: the default constructor reads it, a copy
// inherits it from its source.
BaseCalibrationData::BaseCalibrationData(const BaseCalibrationData& other)
    : default_cal_(std::make_unique<BaseCalibrationProto>(*other.default_cal_)),
      cal_(std::make_unique<BaseCalibrationProto>(*other.cal_)),
      world_rotation_(Eigen::Matrix3f::Zero()),
      world_translation_(Eigen::Vector3f::Zero()) {
  DRAVIK_CHECK(readProto());
}

BaseCalibrationData::~BaseCalibrationData() = default;

bool BaseCalibrationData::loadFromString(const std::string& data) {
  try {
    if (!dravik::readCalibrationBytes(data, cal_.get())) return setDefault();
    if (readProto()) return true;
  } catch (const std::bad_alloc&) {
    DRAVIK_LOG(2, kBaseCalibrationTag) << "Out of memory loading a base calibration";
  }
  return setDefault();
}

float BaseCalibrationData::getBaseLength() const { return cal_->base_length(); }

float BaseCalibrationData::getBaseWidth() const { return cal_->base_width(); }

float BaseCalibrationData::getWheelBase() const { return cal_->wheel_base(); }

float BaseCalibrationData::getGyroscopeGain() const { return cal_->gyroscope_cal().gain(); }

void BaseCalibrationData::setBaseLength(float value) { cal_->set_base_length(value); }

void BaseCalibrationData::setBaseWidth(float value) { cal_->set_base_width(value); }

void BaseCalibrationData::setWheelBase(float value) { cal_->set_wheel_base(value); }

void BaseCalibrationData::setGlobalTransform(const Eigen::Matrix3f& rotation,
                                             const Eigen::Vector3f& translation,
                                             const CalibrationMetadataProto& metadata) {
  world_rotation_ = rotation;
  world_translation_ = translation;
  updatePBMatrix();
  // CopyFrom of a message onto itself is a no-op, so metadata may be taken
  // from cal() itself.
  cal_->mutable_global_transform()->mutable_metadata()->CopyFrom(metadata);
}

void BaseCalibrationData::setGyroscopeGain(const GyroscopeCalibrationProto& gyroscope) {
  cal_->mutable_gyroscope_cal()->CopyFrom(gyroscope);
  DRAVIK_LOG(5, kBaseCalibrationTag)
      << "Setting gyroscope gain to " << cal_->gyroscope_cal().gain();
}

bool BaseCalibrationData::isGlobalTransformCalibrationValid(const std::string& text) const {
  return cal_->global_transform().metadata().validity_text() == text;
}

bool BaseCalibrationData::isGyroscopeGainCalibrationValid(const std::string& text) const {
  const GyroscopeCalibrationProto& gyroscope = cal_->gyroscope_cal();
  if (!gyroscope.has_gain()) return false;
  return gyroscope.metadata().gain_validity_text() == text;
}

bool BaseCalibrationData::readProto() {
  const std::string not_finite = dravik::firstNonFiniteField(*cal_);
  if (!not_finite.empty()) {
    DRAVIK_LOG(2, kBaseCalibrationTag) << "Base calibration value is not finite: " << not_finite;
    return false;
  }
  const CameraExtrinsics& params = cal_->global_transform().params();
  if (params.a_size() < kGlobalTransformValues) {
    DRAVIK_LOG(2, kBaseCalibrationTag) << "global_transform does not have enough parameters.";
    return false;
  }
  // G = [R t; 0 0 0 1], t turned from millimetres into metres.
  Eigen::Matrix4f pose;
  CameraParameters::convert(params, &pose);
  if (!pose.allFinite()) {
    DRAVIK_LOG(2, kBaseCalibrationTag)
        << "Base calibration value is not finite: global_transform.params beyond the range of "
           "float";
    return false;
  }
  CameraParameters::convert(pose, &world_rotation_, &world_translation_);
  return true;
}

bool BaseCalibrationData::setDefault() {
  cal_->CopyFrom(*default_cal_);
  DRAVIK_CHECK(readProto());
  return false;
}

void BaseCalibrationData::updatePBMatrix() {
  Eigen::Matrix4f pose;
  CameraParameters::convert(world_rotation_, world_translation_, &pose);
  CameraParameters::convert(pose, cal_->mutable_global_transform()->mutable_params());
}

}  // namespace calibration
}  // namespace dravik
