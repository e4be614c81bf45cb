#include "commands/ptz_actions.h"

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <utility>

#include "analysis/ptz_checks.h"
#include "cli/command_error.h"
#include "cli/diagnostics.h"
#include "cli/number_format.h"
#include "cli/options.h"
#include "cli/output_file.h"
#include "cli/text_table.h"
#include "inputs/calibration_input.h"
#include "inputs/camera_lookup.h"
#include "inputs/intrinsics_formats.h"
#include "inputs/library_load.h"
#include "plot/zoom_plot.h"

namespace camcal {

InputFile readPtzInput(const std::string& path) {
  InputFile input = readInput(path);
  requireFinitePtzValues(input);
  return input;
}

void noteZoomOutsideTable(const dravik::calibration::PTZCameraModel& model, int zoom) {
  if (!model.valid()) return;
  // getIntrinsics clamps its index into the table: 0 and the int maximum are
  // its first and last samples.
  const double first = model.getIntrinsics(0)->zoom();
  const double last = model.getIntrinsics(std::numeric_limits<int>::max())->zoom();
  const auto range = [&] {
    return "samples at " + formatNumber(first) + " to " + formatNumber(last);
  };
  if (zoom > last) {
    note("zoom " + std::to_string(zoom) + " is beyond the zoom table (" + range() +
         "): clamped to its last sample, zoom " + formatNumber(last));
  } else if (zoom < first) {
    note("zoom " + std::to_string(zoom) + " is below the zoom table (" + range() +
         "): clamped to its first sample, zoom " + formatNumber(first));
  }
}

namespace {

const char kPanJoint[] = "ptz_pan_joint";
const char kTiltJoint[] = "ptz_tilt_joint";

struct JointOptions {
  double pan = 0.0, tilt = 0.0;
  std::vector<double> joints;
  std::string format = "text";
};

// Two named values, as lines "name  value  unit" or as one JSON object.
struct NamedValue {
  const char* name;
  nlohmann::ordered_json value;
  std::string text;
};
std::string namedPair(const std::string& format, const NamedValue& first, const NamedValue& second,
                      const char* unit) {
  if (format == "json") {
    const auto member = [](const NamedValue& v) {
      return nlohmann::json(v.name).dump() + ": " + v.value.dump();
    };
    return "{" + member(first) + ", " + member(second) + "}\n";
  }
  TextTable table;
  table.addRow({first.name, first.text, unit});
  table.addRow({second.name, second.text, unit});
  table.setAlignment("lrl");
  return table.render("");
}

NamedValue angle(const char* name, float value) {
  return {name, decimalOf(value), formatNumber(value)};
}
NamedValue steps(const char* name, int value) { return {name, value, std::to_string(value)}; }

// Positions as the head takes them (float), refused unless both are finite:
// the motor-to-joint conversion would carry NaN through, the reverse has no
// motor position for it.
std::pair<float, float> finitePositions(double pan, double tilt, const char* what,
                                        const char* unit) {
  const float p = static_cast<float>(pan), t = static_cast<float>(tilt);
  if (!std::isfinite(p) || !std::isfinite(t)) {
    throw operationError(std::string("the ") + what + " " + formatNumber(pan) + " " +
                         formatNumber(tilt) + " " + unit + " are not finite numbers (as float)");
  }
  return {p, t};
}

int runJoints(const PtzCommandLine& line, const JointOptions& options) {
  const auto [pan, tilt] = finitePositions(options.pan, options.tilt, "motor positions", "steps");
  const PtzHead head = requirePtzHead(readPtzInput(line.file));
  const Eigen::Vector2f joints = head.model.jointPositions(pan, tilt);
  writeOutput("", namedPair(options.format, angle(kPanJoint, joints.x()),
                            angle(kTiltJoint, joints.y()), "rad"));
  return kExitSuccess;
}

int runSteps(const PtzCommandLine& line, const JointOptions& options) {
  const auto [pan_angle, tilt_angle] =
      finitePositions(options.joints[0], options.joints[1], "joint positions", "rad");
  const PtzHead head = requirePtzHead(readPtzInput(line.file));
  float pan_f = 0.0f, tilt_f = 0.0f;
  {
    RecordCapture capture;
    if (!head.model.motorSteps(pan_angle, tilt_angle, &pan_f, &tilt_f)) {
      capture.consume();
      throw operationError("no motor position for the joint positions " + formatNumber(pan_angle) +
                           " " + formatNumber(tilt_angle) + " rad (" + capture.reason() + ")");
    }
  }
  int pan = 0, tilt = 0, pan_unlimited = 0, tilt_unlimited = 0;
  if (!dravik::calibration::roundAndLimitMotorSteps(head.params, pan_f, tilt_f, &pan, &tilt) ||
      !dravik::calibration::roundAndLimitMotorSteps({}, pan_f, tilt_f, &pan_unlimited,
                                                    &tilt_unlimited)) {
    throw operationError("the joint positions " + formatNumber(pan_angle) + " " +
                         formatNumber(tilt_angle) + " rad are beyond the motor range (pan " +
                         formatNumber(pan_f) + ", tilt " + formatNumber(tilt_f) + " steps)");
  }
  if (pan != pan_unlimited || tilt != tilt_unlimited) {
    note("steps " + std::to_string(pan_unlimited) + " " + std::to_string(tilt_unlimited) +
         " are beyond the motor limits: limited to " + std::to_string(pan) + " " +
         std::to_string(tilt));
  }
  writeOutput("", namedPair(options.format, steps("pan", pan), steps("tilt", tilt), "steps"));
  return kExitSuccess;
}

struct IntrinsicsOptions {
  std::string format = "text";
  std::string output;
};

struct PlotOptions {
  std::string output;
  int picture_width = 0;
};

int runPtzIntrinsics(const PtzCommandLine& line, const IntrinsicsOptions& options) {
  if (line.at.empty()) throw usageError("ptz intrinsics needs --at PAN,TILT,ZOOM");
  const PtzMotorSetting at = parsePtzSetting(line.at);
  const InputFile input = readPtzInput(line.file);
  const auto model = requirePtzModel(input);
  noteZoomOutsideTable(*model, at.zoom);
  const dravik::calibration::PTZCameraModelConfiguration setting(model, at.pan, at.tilt, at.zoom);
  writeOutput(options.output, formatIntrinsics(intrinsicsOf(setting), options.format));
  return kExitSuccess;
}

int runPtzPlot(const PtzCommandLine& line, const PlotOptions& options) {
  const PictureFormat format = pictureFormatOf(options.output);
  const InputFile input = readPtzInput(line.file);
  writeOutput(options.output, plotZoomTable(requirePtzParameters(input), input.path, format,
                                            options.picture_width));
  return kExitSuccess;
}

}  // namespace

void addPtzJointActions(CLI::App* ptz, std::shared_ptr<const PtzCommandLine> line,
                        Subcommands* commands) {
  const std::vector<std::string> formats = {"text", "json"};
  auto options = std::make_shared<JointOptions>();
  CLI::App* joints = ptz->add_subcommand(
      "joints",
      "The positions (radians) of the URDF joints ptz_pan_joint and ptz_tilt_joint (see 'camcal "
      "urdf --ptz') at motor positions, as a sensor_msgs/JointState carries them");
  joints->add_option("PAN", options->pan, "Pan motor position, steps")->required();
  joints->add_option("TILT", options->tilt, "Tilt motor position, steps")->required();
  addFormatOption(joints, &options->format, formats);
  commands->push_back({joints, [line, options] { return runJoints(*line, *options); }});

  CLI::App* steps = ptz->add_subcommand(
      "steps",
      "The motor positions (whole steps, limited as aiming limits them) of the URDF joints' "
      "positions");
  steps->add_option("--joints", options->joints, "PAN_RAD TILT_RAD: the joint positions, radians")
      ->expected(2)
      ->required();
  addFormatOption(steps, &options->format, formats);
  commands->push_back({steps, [line, options] { return runSteps(*line, *options); }});
}

void addPtzIntrinsicsAction(CLI::App* ptz, std::shared_ptr<const PtzCommandLine> line,
                            Subcommands* commands) {
  auto options = std::make_shared<IntrinsicsOptions>();
  CLI::App* command = ptz->add_subcommand(
      "intrinsics",
      "K and distortion (k1 k2 p1 p2 k3 k4 k5 k6) at the setting, for the calibration image, in "
      "the formats of 'camcal intrinsics'");
  addFormatOption(command, &options->format, intrinsicsFormatNames());
  addOutputOption(command, &options->output);
  commands->push_back({command, [line, options] { return runPtzIntrinsics(*line, *options); }});
}

void addPtzPlotAction(CLI::App* ptz, std::shared_ptr<const PtzCommandLine> line,
                      Subcommands* commands) {
  auto options = std::make_shared<PlotOptions>();
  CLI::App* command = ptz->add_subcommand(
      "plot",
      "Picture of the zoom table: focal length and zoom x factor against zoom steps, the "
      "samples with their horizontal field of view; SVG or PNG by the extension of OUT");
  addPictureOptions(command, &options->output, &options->picture_width);
  commands->push_back({command, [line, options] { return runPtzPlot(*line, *options); }});
}

}  // namespace camcal
