// camcal undistort and camcal ptz ... undistort: whole images through the
// library's undistortion maps.
#pragma once

#include <functional>

#include "calibration_common/ptz_camera_model.h"
#include "cli/commands.h"

namespace camcal {

// Adds "undistort" under the ptz command; `setting` builds the configuration
// at --at (throwing a usage error without it) when the action runs.
void addPtzUndistortCommand(
    CLI::App* ptz, Subcommands* commands,
    std::function<dravik::calibration::PTZCameraModelConfiguration()> setting);

}  // namespace camcal
