// The PTZ values that the library loads but that no command may use.
#pragma once

#include <string>

#include "calibration_messages/calibration.pb.h"
#include "inputs/calibration_input.h"

namespace camcal {

// Why a PTZ calibration must be refused although the library loads it: a
// value that is not finite (the library reads NaN and infinity as numbers, and
// every angle, pixel and joint limit made of one is NaN), named by its field,
// as "a value is not finite: pan_tilt.pan_scale (nan)"; empty when every
// value is finite.
std::string ptzValuesFault(const dravik::calibration::PTZCameraParameters& params);

// An operation error "PATH: not a valid PTZ calibration: ..." when the PTZ
// calibration in `input` has a fault of ptzValuesFault (or is not one).
void requireFinitePtzValues(const InputFile& input);

}  // namespace camcal
