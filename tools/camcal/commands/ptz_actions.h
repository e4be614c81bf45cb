// The actions of `camcal ptz` that answer with a file format of their own
// (intrinsics in the formats of `camcal intrinsics`, the zoom table as a
// picture) rather than with lines of numbers.
#pragma once

#include <CLI/CLI.hpp>
#include <memory>
#include <string>

#include "calibration_common/ptz_camera_model.h"
#include "calibration_messages/calibration.pb.h"
#include "cli/commands.h"
#include "inputs/calibration_input.h"

namespace camcal {

// What `camcal ptz FILE [--at PAN,TILT,ZOOM]` names before its action.
struct PtzCommandLine {
  std::string file;
  std::string at;
};

// The PTZ calibration file that every action reads: an operation error for
// one that cannot be read or holds a value that is not finite.
InputFile readPtzInput(const std::string& path);

// A pan/tilt/zoom setting in motor steps.
struct PtzMotorSetting {
  int pan, tilt, zoom;
};
// Parses --at; a usage error names the text.
PtzMotorSetting parsePtzSetting(const std::string& at);

// A note when a zoom lies outside the zoom table's samples: the library then
// uses the nearest sample alone, as if the zoom were that sample's.
void noteZoomOutsideTable(const dravik::calibration::PTZCameraModel& model, int zoom);

// `ptz FILE joints PAN TILT [--format F]` and
// `ptz FILE steps --joints PAN_RAD TILT_RAD [--format F]`: motor positions to
// the positions of the URDF joints ptz_pan_joint and ptz_tilt_joint, and back.
void addPtzJointActions(CLI::App* ptz, std::shared_ptr<const PtzCommandLine> line,
                        Subcommands* commands);

// `ptz FILE --at P,T,Z intrinsics [--format F] [-o OUT]`.
void addPtzIntrinsicsAction(CLI::App* ptz, std::shared_ptr<const PtzCommandLine> line,
                            Subcommands* commands);
// `ptz FILE plot -o OUT`.
void addPtzPlotAction(CLI::App* ptz, std::shared_ptr<const PtzCommandLine> line,
                      Subcommands* commands);

}  // namespace camcal
