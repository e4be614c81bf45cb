// camcal ptz FILE [--at PAN,TILT,ZOOM] ACTION ...: the PTZ camera model at
// one pan/tilt/zoom setting, projecting, back-projecting and aiming.
#include <Eigen/Geometry>
#include <cmath>
#include <functional>
#include <memory>
#include <optional>
#include <regex>

#include "calibration_common/ptz_camera_model.h"
#include "cli/command_error.h"
#include "cli/commands.h"
#include "cli/diagnostics.h"
#include "cli/number_format.h"
#include "cli/output_file.h"
#include "cli/text_table.h"
#include "commands/ptz_actions.h"
#include "commands/undistort_command.h"
#include "inputs/calibration_input.h"
#include "inputs/library_load.h"

namespace camcal {

namespace {

using dravik::calibration::PTZCameraModel;
using dravik::calibration::PTZCameraModelConfiguration;

using PtzOptions = PtzCommandLine;

// The model, and the configuration at --at when the action needs one.
struct PtzSetting {
  std::shared_ptr<PTZCameraModel> model;
  std::unique_ptr<PTZCameraModelConfiguration> configuration;
};

using Setting = PtzMotorSetting;

Setting parseSetting(const std::string& text) {
  static const std::regex kSetting("(-?[0-9]{1,9}),(-?[0-9]{1,9}),(-?[0-9]{1,9})");
  std::smatch match;
  if (!std::regex_match(text, match, kSetting)) {
    throw usageError("malformed --at '" + text +
                     "': expected PAN,TILT,ZOOM in whole motor steps, e.g. 0,0,1000");
  }
  return Setting{std::stoi(match[1]), std::stoi(match[2]), std::stoi(match[3])};
}

// "name  values  unit" lines, values right-aligned.
class Answer {
 public:
  void add(const std::string& name, const std::string& value, const std::string& unit) {
    table_.addRow({name, value, unit});
  }
  std::string text() {
    table_.setAlignment("lrl");
    return table_.render("");
  }

 private:
  TextTable table_;
};

// Points from the action's arguments, starting at argument i.
Eigen::Vector2f point2(const std::vector<double>& v, size_t i) {
  return Eigen::Vector2d(v[i], v[i + 1]).cast<float>();
}
Eigen::Vector3f point3(const std::vector<double>& v, size_t i) {
  return Eigen::Vector3d(v[i], v[i + 1], v[i + 2]).cast<float>();
}

std::string pair(float a, float b) { return formatNumber(a) + " " + formatNumber(b); }
std::string triple(const Eigen::Vector3f& v) {
  return formatNumber(v.x()) + " " + formatNumber(v.y()) + " " + formatNumber(v.z());
}

// What one action reads from the command line and how it answers.
struct Action {
  const char* name;
  const char* description;
  // Name and description of each argument.
  std::vector<std::pair<const char*, const char*>> arguments;
  bool needs_setting;
  std::function<std::string(const PtzSetting&, const std::vector<double>&)> answer;
};

std::string imageText(const PTZCameraModelConfiguration& c) {
  return "the " + std::to_string(c.calWidth()) + "x" + std::to_string(c.calHeight()) +
         " calibration image";
}

std::string project(const PtzSetting& s, const std::vector<double>& v) {
  const auto& c = *s.configuration;
  const Eigen::Vector3f point = point3(v, 0);
  const Eigen::Vector4f in_camera = c.getTransform().getTransform() * point.homogeneous();
  if (!(in_camera.z() > 0.0f)) note("the point lies behind the camera: its pixel is not seen");
  const Eigen::Vector2f pixel = c.project3dToCamera(point);
  const bool inside = pixel.x() >= 0.0f && pixel.y() >= 0.0f && pixel.x() <= c.calWidth() &&
                      pixel.y() <= c.calHeight();
  Answer answer;
  answer.add("pixel", pair(pixel.x(), pixel.y()),
             "pixels of " + imageText(c) + (inside ? "" : " (outside it)"));
  return answer.text();
}

std::string ray(const PtzSetting& s, const std::vector<double>& v) {
  const auto& c = *s.configuration;
  const Eigen::Vector3f direction = c.projectPixelToRay(point2(v, 0)).normalized();
  Answer answer;
  answer.add("origin", triple(c.getCameraCenter()), "metres, world frame (the camera centre)");
  answer.add("direction", triple(direction), "unit vector, world frame");
  return answer.text();
}

// Runs one of the head's inverse solutions; when it fails, says what could
// not be done and why, from the library's records.
template <typename Solve>
void solveOrFail(const std::string& what, Solve solve) {
  RecordCapture capture;
  if (solve()) return;
  capture.consume();
  const std::string reason = capture.reason();
  throw operationError("no pan and tilt " + what + ": the head's inverse solution failed" +
                       (reason.empty() ? "" : " (" + reason + ")"));
}

std::string aimPixel(const PtzSetting& s, const std::vector<double>& v) {
  const Eigen::Vector2f pixel = point2(v, 0);
  int pan = 0, tilt = 0;
  solveOrFail("bring pixel " + pair(pixel.x(), pixel.y()) + " to the image centre",
              [&] { return s.configuration->getPanTilt(pixel, &pan, &tilt); });
  Answer answer;
  answer.add("pan", std::to_string(pan), "steps");
  answer.add("tilt", std::to_string(tilt), "steps");
  return answer.text();
}

std::string aimPoint(const PtzSetting& s, const std::vector<double>& v) {
  const Eigen::Vector3f world = point3(v, 0);
  const Eigen::Vector2f pixel = point2(v, 3);
  float pan = 0.0f, tilt = 0.0f;
  solveOrFail("show point " + triple(world) + " at pixel " + pair(pixel.x(), pixel.y()),
              [&] { return s.configuration->getPanTilt(world, pixel, &pan, &tilt); });
  Answer answer;
  answer.add("pan", formatNumber(pan), "steps (fractional, not limited)");
  answer.add("tilt", formatNumber(tilt), "steps (fractional, not limited)");
  return answer.text();
}

std::string aimRegion(const PtzSetting& s, const std::vector<double>& v) {
  const Eigen::Vector2f corner1 = point2(v, 0), corner2 = point2(v, 2);
  int pan = 0, tilt = 0, zoom = 0;
  solveOrFail(
      "centre the region " + pair(corner1.x(), corner1.y()) + " to " +
          pair(corner2.x(), corner2.y()),
      [&] { return s.configuration->getPanTiltZoom(corner1, corner2, &pan, &tilt, &zoom); });
  Answer answer;
  answer.add("pan", std::to_string(pan), "steps");
  answer.add("tilt", std::to_string(tilt), "steps");
  answer.add("zoom", std::to_string(zoom), "steps");
  return answer.text();
}

std::string zoomFactor(const PtzSetting& s, const std::vector<double>& v) {
  const double steps = v[0];
  if (steps != std::floor(steps) || std::abs(steps) > 1e9) {
    throw usageError("ptz zoom-factor: STEPS must be whole motor steps, not " +
                     formatNumber(steps));
  }
  Answer answer;
  answer.add("zoom x factor", formatNumber(s.model->stepsToZoomXFactor(int(steps))),
             "focal length over that of the widest zoom sample");
  return answer.text();
}

std::string zoomSteps(const PtzSetting& s, const std::vector<double>& v) {
  Answer answer;
  answer.add("zoom", std::to_string(s.model->zoomXFactorToSteps(float(v[0]))), "steps");
  return answer.text();
}

const std::vector<Action>& actions() {
  using Arguments = std::vector<std::pair<const char*, const char*>>;
  const Arguments world = {
      {"X", "World x, metres"}, {"Y", "World y, metres"}, {"Z", "World z, metres"}};
  const Arguments pixel = {{"U", "Pixel column of the calibration image"}, {"V", "Pixel row"}};
  Arguments world_and_pixel = world;
  world_and_pixel.insert(world_and_pixel.end(), pixel.begin(), pixel.end());
  const Arguments corners = {{"X1", "Pixel column of one corner"},
                             {"Y1", "Pixel row of that corner"},
                             {"X2", "Pixel column of the opposite corner"},
                             {"Y2", "Pixel row of that corner"}};
  static const std::vector<Action> kActions = {
      {"project", "The pixel at which a world point (metres) is seen", world, true, project},
      {"ray", "The ray (camera centre and unit direction, world frame) seen at a pixel", pixel,
       true, ray},
      {"aim-pixel", "The pan and tilt (steps) that bring a pixel to the image centre", pixel, true,
       aimPixel},
      {"aim-point",
       "The pan and tilt (fractional steps) at which a world point (metres) is seen at a pixel",
       world_and_pixel, true, aimPoint},
      {"aim-region",
       "The pan, tilt and zoom (steps) that centre the rectangle with opposite corners "
       "(X1, Y1) and (X2, Y2) and zoom in as far as it still fits",
       corners, true, aimRegion},
      {"zoom-factor",
       "The zoom x factor at a zoom position (steps)",
       {{"STEPS", "Zoom position, motor steps"}},
       false,
       zoomFactor},
      {"zoom-steps",
       "The zoom position (steps) that gives a zoom x factor",
       {{"FACTOR", "Zoom x factor, 1 at the widest zoom"}},
       false,
       zoomSteps},
  };
  return kActions;
}

int runPtz(const PtzOptions& options, const Action& action, const std::vector<double>& values) {
  std::optional<Setting> setting;
  if (!options.at.empty()) setting = parseSetting(options.at);
  if (action.needs_setting && !setting) {
    throw usageError(std::string("ptz ") + action.name + " needs --at PAN,TILT,ZOOM");
  }
  PtzSetting s;
  s.model = requirePtzModel(readPtzInput(options.file));
  if (action.needs_setting) {
    noteZoomOutsideTable(*s.model, setting->zoom);
    s.configuration = std::make_unique<PTZCameraModelConfiguration>(s.model, setting->pan,
                                                                    setting->tilt, setting->zoom);
  }
  writeOutput("", action.answer(s, values));
  return kExitSuccess;
}

}  // namespace

PtzMotorSetting parsePtzSetting(const std::string& at) { return parseSetting(at); }

void addPtzCommand(CLI::App& app, Subcommands* commands) {
  auto options = std::make_shared<PtzOptions>();
  CLI::App* ptz = app.add_subcommand(
      "ptz", "Project, back-project and aim with a PTZ calibration at one pan/tilt/zoom setting");
  ptz->add_option("FILE", options->file, "PTZ calibration, protobuf text or wire format")
      ->required();
  ptz->add_option("--at", options->at,
                  "The setting PAN,TILT,ZOOM in motor steps (needed by every action but the "
                  "zoom conversions)");
  ptz->require_subcommand(1);
  for (const Action& action : actions()) {
    CLI::App* command = ptz->add_subcommand(action.name, action.description);
    auto values = std::make_shared<std::vector<double>>(action.arguments.size(), 0.0);
    for (size_t i = 0; i < action.arguments.size(); ++i) {
      command->add_option(action.arguments[i].first, (*values)[i], action.arguments[i].second)
          ->required();
    }
    commands->push_back(
        {command, [options, &action, values] { return runPtz(*options, action, *values); }});
  }
  addPtzJointActions(ptz, options, commands);
  addPtzIntrinsicsAction(ptz, options, commands);
  addPtzPlotAction(ptz, options, commands);
  addPtzUndistortCommand(ptz, commands, [options] {
    if (options->at.empty()) throw usageError("ptz undistort needs --at PAN,TILT,ZOOM");
    const Setting setting = parseSetting(options->at);
    const auto model = requirePtzModel(readPtzInput(options->file));
    noteZoomOutsideTable(*model, setting.zoom);
    return PTZCameraModelConfiguration(model, setting.pan, setting.tilt, setting.zoom);
  });
}

}  // namespace camcal
