#define DRAVIK_LOG_FILE "calibration_common/camera_parameters"

#include <google/protobuf/text_format.h>

#include <new>

#include "calibration_common/camera_parameters.h"
#include "dravik/calibration_bytes.h"
#include "dravik/file.h"
#include "dravik/logging.h"
#include "log_site.h"

// Defined by the embedded calibration files module; referencing it makes
// every program that links this library load the module, and with it the
// default calibration texts.
extern "C" int embedded_calibration_files_dummy;

namespace dravik {
namespace calibration {

// An object with external linkage, so that the reference survives
// optimisation and the linker records the module as needed.
extern const int* const kEmbeddedCalibrationFilesAnchor;
const int* const kEmbeddedCalibrationFilesAnchor = &embedded_calibration_files_dummy;

CameraParametersSet::CameraParametersSet() : robotcal_(std::make_shared<RobotCalibration>()) {
  setDefault();
}

CameraParametersSet::CameraParametersSet(const CameraParametersSet& other)
    : robotcal_(std::make_shared<RobotCalibration>()) {
  robotcal_->CopyFrom(*other.robotcal_);
  readProto();
}

CameraParametersSet& CameraParametersSet::operator=(const CameraParametersSet& other) {
  if (this != &other) {
    cameras_ = other.cameras_;
    robotcal_ = other.robotcal_;
  }
  return *this;
}

CameraParametersSet::~CameraParametersSet() = default;

bool CameraParametersSet::readProto() {
  if (robotcal_->camera_size() < 1) return true;
  for (int i = 0; i < robotcal_->camera_size(); ++i) {
    auto record = std::make_shared<CameraParameters>();
    const CameraCalibration& camera = robotcal_->camera(i);
    if (!record->readProto(camera)) return false;
    cameras_[camera.name()] = std::move(record);
  }
  return true;
}

bool CameraParametersSet::loadFromString(const std::string& data) {
  try {
    if (!dravik::readCalibrationBytes(data, robotcal_.get())) {
      DRAVIK_LOG(3, kCameraParametersTag) << "Loading default camera calibration.";
      return setDefault();
    }
    if (readProto()) return true;
  } catch (const std::bad_alloc&) {
    DRAVIK_LOG(2, kCameraParametersTag) << "Out of memory loading a robot calibration";
  }
  DRAVIK_LOG(3, kCameraParametersTag) << "Loading default camera calibration.";
  return setDefault();
}

bool CameraParametersSet::loadFromProto(const RobotCalibration& cal) {
  try {
    if (&cal != robotcal_.get()) robotcal_->CopyFrom(cal);
    if (readProto()) return true;
  } catch (const std::bad_alloc&) {
    DRAVIK_LOG(2, kCameraParametersTag) << "Out of memory loading a robot calibration";
  }
  DRAVIK_LOG(3, kCameraParametersTag) << "Loading default camera calibration.";
  return setDefault();
}

bool CameraParametersSet::loadFromFile(const std::string& path) {
  std::string text;
  if (!File::readFileToString(path, &text)) {
    DRAVIK_LOG(2, kCameraParametersTag) << "Can't open " << path;
    return setDefault();
  }
  if (loadFromString(text)) return true;
  DRAVIK_LOG(2, kCameraParametersTag) << "Error parsing robot calibration from " << path;
  setDefault();
  return false;
}

bool CameraParametersSet::setDefault() {
  std::string data;
  DRAVIK_CHECK(File::readFileToString(
      EmbeddedFile::kEmbeddedPrefix + "calibration/default_head_cal.txt", &data));
  DRAVIK_CHECK(google::protobuf::TextFormat::ParseFromString(data, robotcal_.get()));
  DRAVIK_CHECK(readProto());
  return false;
}

std::shared_ptr<const CameraParameters> CameraParametersSet::getCamera(
    const std::string& name) const {
  const auto it = cameras_.find(name);
  if (it == cameras_.end()) return nullptr;
  return it->second;
}

bool CameraParametersSet::hasCamera(const std::string& name) const {
  return cameras_.find(name) != cameras_.end();
}

std::vector<std::string> CameraParametersSet::getCameraNames() const {
  std::vector<std::string> names;
  names.reserve(cameras_.size());
  for (const auto& entry : cameras_) names.push_back(entry.first);
  return names;
}

}  // namespace calibration
}  // namespace dravik
