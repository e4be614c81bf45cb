// The fitted camera into a robot calibration (`camcal calibrate --into`):
// the camera's intrinsics replaced, its pose and model kept.
//
// The images are one streaming size of the camera's model. The fit's K is
// carried back to the model's full frame through that size's crop and scale,
// inverted (fullFrameIntrinsics, calibration_common/camera_models.h); the
// distortion, a function of normalized coordinates, is unchanged by a crop
// and a scale. A sensor-remapped size has no crop and scale back and is
// refused. A camera whose model has a sensor-remapped size keeps sample
// points, from which the library recomputes that size: they become the kept
// corners of the view that covers most of the image, in full-frame pixels
// (fullFramePixel), with the board's grid and its target units (millimetres).
#pragma once

#include <memory>
#include <string>

#include "analysis/calibration_diff.h"
#include "calibrate_corners.h"
#include "calibrate_fit.h"
#include "calibration_common/camera_models.h"
#include "calibration_common/camera_parameters.h"
#include "cli/output_file.h"
#include "inputs/calibration_input.h"

namespace camcal {

struct IntoCalibration {
  std::string path;          // ROBOT_CAL as given
  std::string old_content;   // its bytes as read
  ParsedCalibration parsed;  // ROBOT_CAL as read
  std::shared_ptr<const dravik::calibration::CameraParametersSet>
      old_set;          // as the library loads it
  std::string content;  // the new calibration, in ROBOT_CAL's encoding, loaded once
  std::string camera;
  std::string model;
  // The crop and scale the images came through, in the camera's table.
  dravik::calibration::CameraModelSize size;
  bool sample_points = false;  // kept by the camera; after fillInto, written
  std::string sample_view;     // the view they come from
  // The largest displacement against the camera's previous calibration over
  // every size it serves, as `camcal diff` measures it, and at which size.
  SizeDiff largest;
};

// ROBOT_CAL read and checked before anything is fitted: throws an operation
// error for a file the library cannot load, a camera not in it (naming those
// that are), an image size not among the camera's sizes (naming them), the
// sensor-remapped size (naming the sizes that can be used).
IntoCalibration openInto(const std::string& path, const std::string& camera, int width, int height);

// The new robot calibration from the fit: board is null for corners from a
// file (the grid then comes from the target points). Throws an operation
// error for a result that does not load.
void fillInto(const CalibrationRun& run, const Board* board, IntoCalibration* into);

// Adds the new calibration to the outputs of the run: to output, or, when a
// backup is named (output empty, or the file itself), over the file itself,
// with the old bytes as that new backup file, of the original's permissions
// at most and its owner; the batch places the backup before the
// calibration.
void addInto(const IntoCalibration& into, const std::string& output, const std::string& backup,
             OutputBatch* batch);

// Whether the old calibration is text holding comments, which protobuf's
// text format does not keep: the new file goes without them.
bool hasComments(const IntoCalibration& into);

}  // namespace camcal
