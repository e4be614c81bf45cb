// What `camcal calibrate` prints: one row per image, the fitted values with
// their standard deviations, the sound region, the largest projection
// uncertainty and, into a robot calibration, how far the camera moved; as
// text or JSON.
#pragma once

#include <string>

#include "calibrate_fit.h"
#include "calibrate_into.h"

namespace camcal {

// into: null without --into. camera_json: the fitted camera as
// `camcal intrinsics --format json` gives it, put into the JSON report as
// "camera" when not empty.
std::string calibrationReportAsText(const CalibrationRun& run, const IntoCalibration* into);
std::string calibrationReportAsJson(const CalibrationRun& run, const IntoCalibration* into,
                                    const std::string& camera_json);

}  // namespace camcal
