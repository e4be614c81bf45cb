// The camera models and the streaming resolutions of each, as crops and
// scales of the calibrated full frame. Adding a model is adding its row to
// kCameraModels.
#define DRAVIK_LOG_FILE "calibration_common/camera_parameters"

#include "calibration_common/camera_models.h"

#include "calibration_common/camera_parameters.h"
#include "camera_model_table.h"
#include "dravik/logging.h"
#include "log_site.h"

namespace dravik {
namespace calibration {

namespace {

// The B910's four sizes all show the central 2232 x 1672 of its sensor.
constexpr CropAndScale kB910Rows[] = {
    {176, 136, 2232, 1672, 640, 480},
    {176, 136, 2232, 1672, 800, 600},
    {176, 136, 2232, 1672, 1024, 768},
    {176, 136, 2232, 1672, 1280, 960},
};

// The Kestovan cameras stream half size, full frame and a 720-row band.
constexpr CropAndScale kKestovanRows[] = {
    {0, 0, 1280, 960, 640, 480},
    {0, 0, 1280, 960, 1280, 960},
    {0, 120, 1280, 720, 1280, 720},
};

template <int n>
constexpr CameraModel model(const char* identifier, const char* description,
                            const char* announcement, const CropAndScale (&rows)[n],
                            bool first_row_recalibrated) {
  static_assert(n <= kMaxCameraModelRows, "raise kMaxCameraModelRows");
  return CameraModel{identifier, description, announcement, rows, n, first_row_recalibrated};
}

// The head camera's 640 x 480 mode passes the image through a sensor
// spatial transform: its row 0 maps the record recalibrated through it
// (head_camera_intrinsics.cpp), scaled by one half like the navigation
// camera's.
constexpr CameraModel kCameraModels[] = {
    model("kv006h", "head camera", "Using Kestovan head camera model.", kKestovanRows, true),
    model("kv007n", "navigation camera", "Using Kestovan nav camera model.", kKestovanRows, false),
    model("b910", "B910 camera", "Using B910 camera model.", kB910Rows, false),
};

}  // namespace

const CameraModel* findCameraModel(const std::string& identifier) {
  for (const CameraModel& model : kCameraModels) {
    if (identifier == model.identifier) return &model;
  }
  return nullptr;
}

const char* cameraModelDescription(const std::string& model) {
  const CameraModel* found = findCameraModel(model);
  return found ? found->description : nullptr;
}

std::vector<std::string> cameraModelIdentifiers() {
  std::vector<std::string> identifiers;
  for (const CameraModel& model : kCameraModels) identifiers.push_back(model.identifier);
  return identifiers;
}

std::vector<CameraModelSize> cameraModelSizes(const std::string& model) {
  std::vector<CameraModelSize> sizes;
  const CameraModel* found = findCameraModel(model);
  if (found == nullptr) return sizes;
  for (int i = 0; i < found->row_count; ++i) {
    const int* c = found->rows[i];
    sizes.push_back({c[0], c[1], c[2], c[3], c[4], c[5], i == 0 && found->first_row_recalibrated});
  }
  return sizes;
}

void CameraParameters::fillTable(const Intrinsics* const* sources, const int (*crops)[6],
                                 int count) {
  intrinsics_table_.resize(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    const int* c = crops[i];
    affineIntrinsics(*sources[i], c[0], c[1], c[2], c[3], c[4], c[5], &intrinsics_table_[i]);
  }
}

bool CameraParameters::precomputeIntrinsics() {
  const Intrinsics* sources[kMaxCameraModelRows] = {&full_frame_, &full_frame_, &full_frame_,
                                                    &full_frame_};
  const CameraModel* model = findCameraModel(model_);
  if (model == nullptr) {
    // A generic camera serves its calibrated size only. A size that is
    // absent, zero or negative cannot be served: every K derived from it
    // would hold infinities or NaNs.
    const CameraIntrinsics& intrinsics = calibration_->intrinsics();
    if (!intrinsics.has_width() || !intrinsics.has_height() || intrinsics.width() <= 0 ||
        intrinsics.height() <= 0) {
      return false;
    }
    const CropAndScale calibrated_size[1] = {
        {0, 0, intrinsics.width(), intrinsics.height(), intrinsics.width(), intrinsics.height()}};
    fillTable(sources, calibrated_size, 1);
    return true;
  }

  DRAVIK_LOG(5, kCameraParametersTag) << model->announcement;
  Intrinsics recalibrated;
  if (model->first_row_recalibrated) {
    if (!recomputeSensorRemappedIntrinsics(&recalibrated)) return false;
    sources[0] = &recalibrated;
  }
  fillTable(sources, model->rows, model->row_count);
  return true;
}

}  // namespace calibration
}  // namespace dravik
