// camcal ptz-head --board BOARD --square METRES --positions FILE --calibration PTZ_CAL
//                 [--into PTZ_CAL | -o OUT] [--fixture POSE] [--fit-scales] [--report DIR]
// The PTZ camera's pan/tilt head fitted to pictures of a board held still
// while the head moves: the board found on each picture as calibrate finds
// it, the library's head fit (calibration_common/pan_tilt_head_calibration.h)
// through the lens of each picture's zoom, the report, and the fitted head
// written into the PTZ calibration as calibrate --into writes.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <memory>

#include "calibration_common/pan_tilt_head_calibration.h"
#include "calibration_common/ptz_camera_model.h"
#include "cli/command_error.h"
#include "cli/commands.h"
#include "cli/diagnostics.h"
#include "cli/fit_gate.h"
#include "cli/number_format.h"
#include "cli/options.h"
#include "cli/output_file.h"
#include "cli/text_table.h"
#include "commands/calibrate/calibrate_corners.h"
#include "commands/calibrate/calibrate_into.h"
#include "inputs/calibration_input.h"
#include "inputs/library_load.h"
#include "plot/aiming_plot.h"
#include "ptz_head/ptz_head_inputs.h"

namespace camcal {

namespace {

using dravik::calibration::PanTiltHeadResult;
using dravik::calibration::PanTiltHeadView;
using dravik::calibration::PTZCameraParameters;

constexpr char kAimingPicture[] = "aiming_error.png";
constexpr double kDegreesPerRadian = 57.29577951308232;
// A turn of P beyond this is more than a remounted head.
constexpr double kLargePTurnDeg = 10.0;

struct PtzHeadOptions {
  std::string board;
  std::string square;
  std::string positions;
  std::string calibration;
  std::string into;
  std::string output;
  std::string fixture;
  std::string report;
  bool fit_scales = false;
  int threads = 0;
  FitGate gate;
};

// Refuses, before anything is read, --into naming another file than
// --calibration, and an output naming an input.
void checkFiles(const PtzHeadOptions& options, const std::vector<PicturePosition>& positions) {
  if (!options.into.empty() && !options.output.empty()) {
    throw usageError("ptz-head: give --into PTZ_CAL or -o OUT, not both");
  }
  if (!options.into.empty() && !(fileIdentity(options.into) == fileIdentity(options.calibration))) {
    throw usageError("ptz-head: --into " + options.into +
                     " is not the --calibration file; to write elsewhere, use -o");
  }
  std::vector<std::pair<std::string, std::string>> inputs = {{"--calibration", options.calibration},
                                                             {"--positions", options.positions}};
  if (!options.fixture.empty()) inputs.push_back({"--fixture", options.fixture});
  for (const PicturePosition& p : positions) inputs.push_back({"the image", p.path});
  std::vector<std::pair<std::string, std::string>> outputs;
  if (!isStandardOutput(options.output)) outputs.push_back({"-o", options.output});
  if (!options.report.empty()) {
    outputs.push_back({"--report", options.report + "/" + kAimingPicture});
  }
  for (const auto& [option, path] : outputs) {
    const FileIdentity out = fileIdentity(path);
    if (out.exists && out.type != S_IFREG) continue;
    for (const auto& [name, input] : inputs) {
      if (fileIdentity(input) == out) {
        throw usageError("ptz-head: " + option + " " + path + " is " + name + " " + input +
                         ": an output never replaces an input");
      }
    }
  }
}

std::string fixed(double value, int digits) {
  return formatPrintf(("%." + std::to_string(digits) + "f").c_str(), value);
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n == 0 ? 0.0 : n % 2 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

double largest(const std::vector<double>& values) {
  return values.empty() ? 0.0 : *std::max_element(values.begin(), values.end());
}

std::string reportText(const PtzHeadOptions& options, const std::vector<PicturePosition>& pictures,
                       const std::vector<size_t>& used,
                       const dravik::calibration::PanTiltSystemParameters& old_head,
                       const PanTiltHeadResult& fit) {
  std::string text = "pan/tilt head fitted to " + std::to_string(used.size()) + " of " +
                     std::to_string(pictures.size()) + " pictures, rms " + fixed(fit.rms, 3) +
                     " px" + (options.fixture.empty() ? "" : ", board pose from the fixture") +
                     "\n\nfitted parameters (change from the file, standard deviation):\n";
  TextTable parameters;
  parameters.setAlignment("lrrl");
  for (const auto& p : fit.fitted) {
    // A scale's changes are millionths of a degree per step.
    const auto shown = [&](double value) {
      return p.unit == "deg/step" ? formatPrintf("%.3e", value) : fixed(value, 4);
    };
    parameters.addRow({p.name, shown(p.change), "+- " + shown(p.standard_deviation), p.unit});
  }
  text += parameters.render("  ");

  text += "\nmotor terms (old, new, change):\n";
  TextTable terms;
  terms.setAlignment("lrrrr");
  const auto offset = [&](const char* name, double old_value, double new_value, double scale) {
    const double change = new_value - old_value;
    terms.addRow({name, fixed(old_value, 2), fixed(new_value, 2), fixed(change, 2) + " steps",
                  fixed(change * scale * kDegreesPerRadian, 4) + " deg"});
  };
  const auto& head = fit.parameters;
  offset("pan offset", old_head.pan_offset(), head.pan_offset(), old_head.pan_scale());
  offset("tilt offset", old_head.tilt_offset(), head.tilt_offset(), old_head.tilt_scale());
  terms.addRow({"pan scale", formatNumber(old_head.pan_scale()), formatNumber(head.pan_scale()),
                "rad/step", ""});
  terms.addRow({"tilt scale", formatNumber(old_head.tilt_scale()), formatNumber(head.tilt_scale()),
                "rad/step", ""});
  text += terms.render("  ");
  if (options.fixture.empty()) text += "  (the pan offset and P are held: no fixture)\n";

  text += "\naiming error at the board's centre:\n";
  TextTable aim;
  aim.setAlignment("lrrrr");
  aim.addRow({"", "median deg", "largest deg", "median px", "largest px"});
  aim.addRow({"the file's head", fixed(median(fit.aiming_error_before_deg), 4),
              fixed(largest(fit.aiming_error_before_deg), 4),
              fixed(median(fit.aiming_error_before_px), 2),
              fixed(largest(fit.aiming_error_before_px), 2)});
  aim.addRow({"the fitted head", fixed(median(fit.aiming_error_deg), 4),
              fixed(largest(fit.aiming_error_deg), 4), fixed(median(fit.aiming_error_px), 2),
              fixed(largest(fit.aiming_error_px), 2)});
  text += aim.render("  ");

  text += "\nper picture:\n";
  TextTable views;
  views.setAlignment("lrrrrrr");
  views.addRow({"image", "pan", "tilt", "zoom", "rms px", "aim before px", "aim after px"});
  for (size_t v = 0; v < used.size(); ++v) {
    const PicturePosition& p = pictures[used[v]];
    views.addRow({p.path, std::to_string(p.pan), std::to_string(p.tilt), std::to_string(p.zoom),
                  fixed(fit.view_rms[v], 3), fixed(fit.aiming_error_before_px[v], 2),
                  fixed(fit.aiming_error_px[v], 3)});
  }
  text += views.render("  ");
  return text;
}

int ptzHead(const PtzHeadOptions& options) {
  Board board;
  try {
    board = parseBoard(options.board, options.square);
  } catch (const CommandError& error) {
    throw usageError(std::string("ptz-head: ") + error.what());
  }
  const InputFile positions_input = readInput(options.positions);
  const std::vector<PicturePosition> pictures =
      readPositionsFile(positions_input.path, positions_input.data);
  checkFiles(options, pictures);
  const InputFile calibration_input = readInput(options.calibration);
  const PTZCameraParameters ptz = requirePtzParameters(calibration_input);
  const ParsedCalibration parsed = parseExpected(calibration_input, CalibrationKind::kPtz);
  dravik::calibration::PanTiltHeadOptions fit_options;
  fit_options.fit_scales = options.fit_scales;
  if (!options.fixture.empty()) {
    const InputFile fixture_input = readInput(options.fixture);
    fit_options.has_fixture = true;
    fit_options.world_from_board = readFixturePose(fixture_input.path, fixture_input.data);
  }

  std::vector<std::string> paths;
  for (const PicturePosition& p : pictures) paths.push_back(p.path);
  const int threads = options.threads > 0 ? options.threads : detectionThreads();
  const CornerSet corners = detectBoardCorners(paths, board, threads, ::isatty(STDERR_FILENO) != 0);
  const int width = ptz.intrinsics().cal_width(), height = ptz.intrinsics().cal_height();
  if (corners.width != width || corners.height != height) {
    throw operationError(options.positions + ": the pictures are " +
                         formatImageSize(corners.width, corners.height) + ", the calibration's " +
                         formatImageSize(width, height));
  }
  std::vector<PanTiltHeadView> views;
  std::vector<size_t> used;
  for (size_t i = 0; i < corners.images.size(); ++i) {
    const ImageCorners& image = corners.images[i];
    if (!image.found) continue;
    views.push_back({pictures[i].pan, pictures[i].tilt, pictures[i].zoom, image.image_points,
                     image.target_points});
    used.push_back(i);
  }
  PanTiltHeadResult fit;
  {
    RecordCapture capture;
    if (!dravik::calibration::calibratePanTiltHead(ptz, views, fit_options, &fit)) {
      capture.consume();
      const std::string reason = capture.reason();
      throw operationError("cannot fit the pan/tilt head: " +
                           (reason.empty() ? std::string("the fit failed") : reason));
    }
  }
  // A picture at another zoom than it says, or a board that moved, fits far
  // above the corners' noise: not written without --force.
  const std::string forced =
      applyFitGate("ptz-head", {fit.rms, fit.converged, fit.iterations}, options.gate);

  // The calibration with the fitted head, checked to load before anything
  // is written.
  auto message = std::unique_ptr<google::protobuf::Message>(parsed.message->New());
  message->CopyFrom(*parsed.message);
  auto& fitted = static_cast<PTZCameraParameters&>(*message);
  *fitted.mutable_pan_tilt() = fit.parameters;
  std::shared_ptr<dravik::calibration::PTZCameraModel> loaded_model;
  if (!loadPtzModel(fitted, &loaded_model).loaded) {
    throw operationError(options.calibration + ": the fitted head does not load, nothing written");
  }
  const std::string report = reportText(options, pictures, used, ptz.pan_tilt(), fit);
  std::vector<AimedView> aimed;
  for (size_t v = 0; v < views.size(); ++v) {
    aimed.push_back(
        {views[v].pan, views[v].tilt, fit.aiming_error_before_px[v], fit.aiming_error_px[v]});
  }

  OutputBatch batch;
  if (!options.report.empty()) {
    batch.addDirectory(options.report);
    batch.add(options.report + "/" + kAimingPicture, plotAimingError(aimed));
  }
  if (!options.into.empty() || !options.output.empty()) {
    IntoCalibration into;
    into.path = options.calibration;
    into.old_content = calibration_input.data;
    into.content = encodeMessage(fitted, parsed.encoding);
    const bool in_place = !options.into.empty();
    addInto(into, in_place ? "" : options.output, in_place ? backupPath(options.into) : "", &batch);
  }
  batch.add("", report);
  batch.commit();
  if (!forced.empty()) note(forced);
  // A fixture naming another corner of the board as its origin than the
  // detector does turns P by about half a turn: worth a word.
  if (fit_options.has_fixture) {
    for (const auto& p : fit.fitted) {
      if (p.unit == "deg" && p.name.rfind("P ", 0) == 0 && std::fabs(p.change) > kLargePTurnDeg) {
        note("--fixture " + options.fixture + ": P turned by " + fixed(p.change, 1) +
             " deg: does the fixture's board frame start at the corner the detector numbers "
             "first?");
        break;
      }
    }
  }
  return kExitSuccess;
}

int runPtzHead(const PtzHeadOptions& options) {
  RecordCapture held;
  try {
    return ptzHead(options);
  } catch (...) {
    held.consume();
    throw;
  }
}

}  // namespace

void addPtzHeadCommand(CLI::App& app, Subcommands* commands) {
  auto options = std::make_shared<PtzHeadOptions>();
  CLI::App* command = app.add_subcommand(
      "ptz-head",
      "The PTZ camera's pan/tilt head fitted to pictures of a board held still while the head "
      "moves through many motor positions");
  command
      ->add_option("--board", options->board,
                   "The board as calibrate takes it: COLSxROWS inner corners (e.g. 9x6), or "
                   "charuco:COLSxROWS:SQUARE:MARKER:DICTIONARY")
      ->required();
  command->add_option("--square", options->square, "Side of one square, metres");
  command
      ->add_option("--positions", options->positions,
                   "CSV with the header image,pan,tilt,zoom: each picture (relative to the file) "
                   "and its motor positions in steps")
      ->required();
  command->add_option("--calibration", options->calibration, "PTZ calibration the fit starts from")
      ->required();
  command->add_option("--into", options->into,
                      "Write the fitted head back into PTZ_CAL (the --calibration file), the old "
                      "file kept as PTZ_CAL.bak");
  addOutputOption(command, &options->output,
                  "Write the calibration with the fitted head here; the report goes to standard "
                  "output");
  command->add_option("--fixture", options->fixture,
                      "The board's pose in the world frame (3 or 4 rows of 4 numbers, metres): "
                      "then P and the pan offset are fitted too");
  command->add_flag("--fit-scales", options->fit_scales, "Fit the pan and tilt scales too");
  addFitGateOptions(command, &options->gate, "the rms, a fit not converged");
  command->add_option("--report", options->report, "Directory for aiming_error.png");
  command
      ->add_option("--threads", options->threads, "Threads for detection; one per core by default")
      ->check(CLI::PositiveNumber);
  commands->push_back({command, [options] { return runPtzHead(*options); }});
}

}  // namespace camcal
