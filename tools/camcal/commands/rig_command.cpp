// camcal rig --board COLSxROWS --square METRES DIR --into ROBOT_CAL [options]
// camcal rig --corners FILE --into ROBOT_CAL [options]
// Every camera's pose on the robot from pictures of a board held still at
// several moments: DIR/CAMERA/MOMENT.png, the corners found on each, the
// library's rig calibration (calibration_utils/rig_calibration.h), the
// report, and the poses written into the robot calibration.
#include <unistd.h>

#include <Eigen/LU>
#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <set>

#include "analysis/calibration_checks.h"
#include "calibration_common/base_calibration_data.h"
#include "calibration_common/camera_parameters.h"
#include "calibration_utils/rig_calibration.h"
#include "calibration_utils/view_coverage.h"
#include "cli/command_error.h"
#include "cli/commands.h"
#include "cli/diagnostics.h"
#include "cli/fit_gate.h"
#include "cli/options.h"
#include "cli/output_file.h"
#include "commands/calibrate/calibrate_into.h"
#include "inputs/calibration_input.h"
#include "inputs/camera_lookup.h"
#include "inputs/library_load.h"
#include "rig/rig_inputs.h"
#include "rig/rig_pictures.h"
#include "rig/rig_report.h"

namespace camcal {

namespace {

using dravik::calibration::BaseCalibrationData;
using dravik::calibration::CameraParameters;
using dravik::calibration::CameraParametersSet;
using dravik::calibration::RobotCalibration;

// The moments at which a camera must see the board.
constexpr int kMinimumMoments = static_cast<int>(dravik::calibration::kMinimumRigViews);

struct RigOptions {
  std::string board;
  std::string square;
  std::string dir;
  std::string corners;
  std::string save_corners;
  std::string into;
  std::string reference;
  std::string fixture;
  std::string base;
  std::string output;
  std::string report;
  std::string format = "text";
  bool refine_intrinsics = false;
  double outlier_sigma = 0.0;
  int threads = 0;
  FitGate gate;
};

void checkCombination(const RigOptions& options) {
  const bool from_images =
      !options.board.empty() || !options.square.empty() || !options.dir.empty();
  if (!options.corners.empty() && from_images) {
    throw usageError("rig: give board images (--board, --square, DIR) or --corners FILE, not both");
  }
  if (options.corners.empty() &&
      (options.board.empty() || options.square.empty() || options.dir.empty())) {
    throw usageError("rig: needs --board COLSxROWS, --square METRES and DIR, or --corners FILE");
  }
  if (options.into == "-" && options.output.empty()) {
    throw usageError("rig: --into - (standard input) needs -o OUT");
  }
}

Eigen::Matrix4d baseTransform(const BaseCalibrationData& base) {
  Eigen::Matrix4d G = Eigen::Matrix4d::Identity();
  G.topLeftCorner<3, 3>() = base.getWorldRotation().cast<double>();
  G.topRightCorner<3, 1>() = base.getWorldTranslation().cast<double>();
  return G;
}

// One camera of the rig as the command holds it.
struct RigMember {
  std::string camera;
  IntoCalibration into;  // its model, size and lens there, checked as calibrate --into does
  dravik::calibration::Lens lens;
  std::vector<int> moment_of_image;  // per image, its moment, or -1 without a board
};

// The moments named by the images where a board was found, in name order.
std::vector<std::string> momentNames(const std::vector<CameraCorners>& cameras) {
  std::set<std::string> names;
  for (const CameraCorners& camera : cameras) {
    for (const ImageCorners& image : camera.corners.images) {
      if (image.found) names.insert(image.name);
    }
  }
  return {names.begin(), names.end()};
}

// The cameras that the reference reaches through shared moments.
std::vector<bool> joinedToReference(const std::vector<std::vector<int>>& shared, size_t reference) {
  std::vector<bool> joined(shared.size(), false);
  std::vector<size_t> open = {reference};
  joined[reference] = true;
  while (!open.empty()) {
    const size_t at = open.back();
    open.pop_back();
    for (size_t other = 0; other < shared.size(); ++other) {
      if (!joined[other] && shared[at][other] > 0) {
        joined[other] = true;
        open.push_back(other);
      }
    }
  }
  return joined;
}

// The camera's run for calibrate --into's writer and the coverage picture:
// its found images, the refined lens, the kept corners (each of the view of
// its moment) and the cells of the coverage grid they reach, so that K goes
// back to the full frame and sample points are written as calibrate --into
// writes them.
CalibrationRun cameraRun(const CameraCorners& corners, const RigMember& member,
                         const dravik::calibration::RigCalibration& rig, size_t camera,
                         const std::vector<dravik::calibration::RigMoment>& moments) {
  CalibrationRun run;
  run.corners = corners.corners;
  run.fit.lens = rig.cameras[camera].lens;
  for (size_t i = 0; i < run.corners.images.size(); ++i) {
    const int m = member.moment_of_image[i];
    run.view_of_image.push_back(m < 0 ? -1 : static_cast<int>(run.fit.kept.size()));
    if (m < 0) continue;
    for (size_t k = 0; k < moments[size_t(m)].views.size(); ++k) {
      if (moments[size_t(m)].views[k].camera != camera) continue;
      run.fit.kept.push_back(rig.kept[size_t(m)][k]);
      const ImageCorners& image = run.corners.images[i];
      for (size_t p = 0; p < image.image_points.size(); ++p) {
        const Eigen::Vector2d& at = image.image_points[p];
        const bool kept = rig.kept[size_t(m)][k][p] != 0;
        run.residuals.push_back({at, Eigen::Vector2d::Zero(), m, kept});
        run.covered[size_t(dravik::calibration::coverageCell(
            at, run.corners.width, run.corners.height, kCoverageColumns, kCoverageRows))] |= kept;
      }
    }
  }
  return run;
}

// The pictures of --report: the rig in the robot frame, and each camera's
// coverage.
std::vector<Picture> rigPictures(const std::vector<RigMember>& members,
                                 const std::vector<CameraCorners>& corners,
                                 const std::vector<dravik::calibration::RigMoment>& moments,
                                 const dravik::calibration::RigCalibration& fit, size_t reference) {
  RigPlot plot;
  for (size_t c = 0; c < members.size(); ++c) {
    plot.cameras.push_back({members[c].camera, fit.cameras[c].camera_from_robot, c == reference});
  }
  const Eigen::Matrix4d robot_from_reference = fit.cameras[reference].camera_from_robot.inverse();
  Eigen::Vector3d lo = Eigen::Vector3d::Constant(INFINITY), hi = -lo;
  for (size_t m = 0; m < moments.size(); ++m) {
    if (moments[m].views.empty()) continue;
    plot.robot_from_board.push_back(robot_from_reference * fit.reference_from_target[m]);
    for (const Eigen::Vector3d& p : moments[m].views.front().target_points) {
      lo = lo.cwiseMin(p);
      hi = hi.cwiseMax(p);
    }
  }
  plot.board_outline = {
      {lo.x(), lo.y(), 0.0}, {hi.x(), lo.y(), 0.0}, {hi.x(), hi.y(), 0.0}, {lo.x(), hi.y(), 0.0}};
  std::vector<RigCoverage> coverage;
  for (size_t c = 0; c < members.size(); ++c) {
    coverage.push_back({members[c].camera, cameraRun(corners[c], members[c], fit, c, moments)});
  }
  return drawRigPictures(plot, coverage);
}

// Refuses a picture of --report that would replace an input or another
// output, once every link is followed, or a report directory that is a
// folder of images.
void refuseReportOverInputs(const RigOptions& options, const std::vector<std::string>& cameras) {
  if (options.report.empty()) return;
  std::vector<std::pair<std::string, std::string>> named = {
      {"--into", options.into},
      {"--corners", options.corners},
      {"--fixture", options.fixture},
      {"--base", options.base},
      {"--save-corners", options.save_corners},
      {"-o", options.output}};
  std::vector<std::string> pictures = {"rig.png"};
  for (const std::string& camera : cameras) {
    pictures.push_back(coveragePictureName(camera));
    if (options.corners.empty()) {
      named.push_back({"the images of " + camera, options.dir + "/" + camera});
    }
  }
  if (options.corners.empty()) named.push_back({"DIR", options.dir});
  const FileIdentity dir = fileIdentity(options.report);
  for (const auto& [option, path] : named) {
    if (path.empty() || path == "-" || isStandardOutput(path)) continue;
    const FileIdentity input = fileIdentity(path);
    if (input == dir) {
      throw usageError("rig: --report " + options.report + " is " + option + " " + path +
                       ": the report never goes among the inputs");
    }
    for (const std::string& picture : pictures) {
      if (input == fileIdentity(options.report + "/" + picture)) {
        throw usageError("rig: --report " + options.report + "/" + picture + " is " + option + " " +
                         path + ": an output never replaces an input or another output");
      }
    }
  }
}

int rig(const RigOptions& options) {
  Board board;
  if (options.corners.empty()) {
    parseBoardSize(options.board, &board);
    board.square_m = parseSquareSize(options.square);
  }
  // The robot calibration and the base calibration, before any image is read.
  const InputFile calibration_input = readInput(options.into);
  CameraParametersSet file_set;
  requireRobotCalibration(calibration_input, &file_set);
  const ParsedCalibration parsed = parseExpected(calibration_input, CalibrationKind::kRobot);
  const std::vector<std::string> names =
      cameraNamesOf(static_cast<const RobotCalibration&>(*parsed.message));
  Eigen::Matrix4d G = Eigen::Matrix4d::Identity();
  CameraParametersSet adjusted = file_set;
  if (!options.base.empty()) {
    const InputFile base_input = readInput(options.base);
    BaseCalibrationData base;
    requireBaseCalibration(base_input, &base);
    const std::string rotation = checkRotation(base.getWorldRotation(), kAppliedRotationTolerance);
    if (!rotation.empty()) {
      throw operationError(base_input.path + ": the rotation of the global transform " + rotation);
    }
    adjusted.adjustUsingBaseCalibration(base);
    G = baseTransform(base);
  }
  std::vector<FixturePose> fixture;
  if (!options.fixture.empty()) {
    const InputFile fixture_input = readInput(options.fixture);
    fixture = readFixtureFile(fixture_input.path, fixture_input.data);
  }

  refuseReportOverInputs(options, names);

  std::vector<CameraCorners> corners;
  if (options.corners.empty()) {
    const int threads = options.threads > 0 ? options.threads : detectionThreads();
    corners = detectRigCorners(options.dir, board, names, options.into, threads,
                               ::isatty(STDERR_FILENO) != 0);
  } else {
    const InputFile input = readInput(options.corners);
    corners = readRigCornersFile(input.path, input.data);
    for (const CameraCorners& camera : corners) {
      if (std::find(names.begin(), names.end(), camera.camera) == names.end()) {
        throw operationError(input.path + ": camera '" + camera.camera + "' is no camera of " +
                             options.into + " (cameras: " + joinNames(names) + ")");
      }
    }
  }

  // The cameras in the calibration's order, so that the report and the
  // default reference do not depend on where the corners came from.
  const auto rank = [&](const CameraCorners& camera) {
    return std::find(names.begin(), names.end(), camera.camera) - names.begin();
  };
  std::stable_sort(
      corners.begin(), corners.end(),
      [&](const CameraCorners& a, const CameraCorners& b) { return rank(a) < rank(b); });

  // Each camera: a board found, images of a size of its model, its lens there.
  const std::vector<std::string> moment_names = momentNames(corners);
  std::vector<RigMember> members;
  std::vector<dravik::calibration::RigMoment> moments(moment_names.size());
  for (size_t c = 0; c < corners.size(); ++c) {
    const CameraCorners& camera = corners[c];
    if (camera.corners.foundCount() == 0) {
      throw operationError("camera '" + camera.camera + "': no board found in any of its " +
                           std::to_string(camera.corners.images.size()) + " images (" +
                           camera.folder + ")");
    }
    RigMember member{
        camera.camera,
        openInto(options.into, camera.camera, camera.corners.width, camera.corners.height),
        {},
        {}};
    member.lens = member.into.old_set->getCamera(camera.camera)
                      ->getLens(camera.corners.width, camera.corners.height);
    int seen = 0;
    for (const ImageCorners& image : camera.corners.images) {
      if (!image.found) {
        member.moment_of_image.push_back(-1);
        continue;
      }
      const size_t m =
          size_t(std::lower_bound(moment_names.begin(), moment_names.end(), image.name) -
                 moment_names.begin());
      member.moment_of_image.push_back(int(m));
      moments[m].views.push_back({c, image.image_points, image.target_points});
      ++seen;
    }
    if (seen < kMinimumMoments) {
      throw operationError("camera '" + camera.camera + "': the board found at " +
                           std::to_string(seen) + " moment" + (seen == 1 ? "" : "s") +
                           ", at least " + std::to_string(kMinimumMoments));
    }
    members.push_back(std::move(member));
  }
  size_t reference = 0;
  if (!options.reference.empty()) {
    const auto at = std::find_if(members.begin(), members.end(),
                                 [&](const RigMember& m) { return m.camera == options.reference; });
    if (at == members.end()) {
      std::vector<std::string> rig_names;
      for (const RigMember& m : members) rig_names.push_back(m.camera);
      throw operationError("--reference '" + options.reference +
                           "' is not a camera of the rig (cameras: " + joinNames(rig_names) + ")");
    }
    reference = size_t(at - members.begin());
  }
  std::vector<std::vector<int>> shared(members.size(), std::vector<int>(members.size(), 0));
  for (const auto& moment : moments) {
    for (const auto& a : moment.views) {
      for (const auto& b : moment.views) shared[a.camera][b.camera] += a.camera != b.camera;
    }
  }
  const std::vector<bool> joined = joinedToReference(shared, reference);
  for (size_t c = 0; c < members.size(); ++c) {
    if (!joined[c]) {
      throw operationError("camera '" + members[c].camera +
                           "' shares no moment with the reference camera '" +
                           members[reference].camera + "', directly or through other cameras");
    }
  }

  // The poses as the calibration has them (with the base calibration).
  std::vector<Eigen::Matrix4d> previous;
  for (const RigMember& member : members) {
    previous.push_back(
        adjusted.getCamera(member.camera)->getTransform().getTransform().cast<double>());
  }
  dravik::calibration::RigCalibrationOptions rig_options;
  rig_options.reference = reference;
  rig_options.reference_from_robot = previous[reference];
  rig_options.refine_intrinsics = options.refine_intrinsics;
  rig_options.outlier_sigma = options.outlier_sigma;
  for (const FixturePose& pose : fixture) {
    const auto at = std::lower_bound(moment_names.begin(), moment_names.end(), pose.moment);
    if (at == moment_names.end() || *at != pose.moment) {
      throw operationError(options.fixture + ": fixture moment '" + pose.moment +
                           "' is not a moment at which a camera sees the board");
    }
    rig_options.fixture.push_back({size_t(at - moment_names.begin()), pose.robot_from_board});
  }
  std::vector<dravik::calibration::Lens> lenses;
  for (const RigMember& member : members) lenses.push_back(member.lens);
  dravik::calibration::RigCalibration fit;
  {
    RecordCapture capture;
    if (!dravik::calibration::calibrateRig(lenses, moments, rig_options, &fit)) {
      capture.consume();
      const std::string reason = capture.reason();
      throw operationError("cannot calibrate the rig: " +
                           (reason.empty() ? std::string("the fit failed") : reason));
    }
  }
  // A camera given another's images, or a board that moved within a moment,
  // fits far above the corners' noise: not written without --force.
  const std::string forced =
      applyFitGate("rig", {fit.rms_px, fit.converged, fit.iterations}, options.gate);

  // The new calibration: each camera's stored pose P with P G the measured
  // one, and with --refine-intrinsics its lens, as calibrate --into writes it.
  IntoCalibration& writer = members.front().into;
  if (options.refine_intrinsics) {
    for (size_t c = 0; c < members.size(); ++c) {
      IntoCalibration& into = members[c].into;
      writer.camera = into.camera;
      writer.model = into.model;
      writer.size = into.size;
      writer.sample_points = into.sample_points;
      fillInto(cameraRun(corners[c], members[c], fit, c, moments),
               options.corners.empty() ? &board : nullptr, &writer);
    }
  }
  auto& message = static_cast<RobotCalibration&>(*writer.parsed.message);
  const Eigen::Matrix4d G_inverse = G.inverse();
  for (size_t c = 0; c < members.size(); ++c) {
    const Eigen::Matrix4f stored = (fit.cameras[c].camera_from_robot * G_inverse).cast<float>();
    for (auto& camera : *message.mutable_camera()) {
      if (camera.name() == members[c].camera) {
        CameraParameters::convert(dravik::Matrix4f(stored), camera.mutable_extrinsics());
      }
    }
  }
  writer.content = encodeMessage(message, writer.parsed.encoding);
  CameraParametersSet new_set;
  const LoadResult loaded = loadRobotCalibration(writer.content, &new_set);
  if (!loaded.loaded) {
    throw operationError(options.into +
                         ": the calibrated rig does not load, nothing written: " + loaded.reason);
  }

  RigResult result;
  result.reference = members[reference].camera;
  result.fixture = !fixture.empty();
  result.rms_px = fit.rms_px;
  for (size_t c = 0; c < members.size(); ++c) {
    result.cameras.push_back({members[c].camera, int(fit.cameras[c].moments), fit.cameras[c].rms_px,
                              fit.cameras[c].camera_from_robot, previous[c],
                              fit.cameras[c].robot_covariance});
    for (size_t d = c + 1; d < members.size(); ++d) {
      result.pairs.push_back({members[c].camera, members[d].camera, shared[c][d]});
    }
  }
  const std::string report =
      options.format == "json" ? rigReportAsJson(result) : rigReportAsText(result);
  // As calibrate --into writes: every output to a temporary file, renamed
  // into place together, the robot calibration last and its old bytes kept
  // as a new backup when it is written in place.
  const bool in_place =
      options.into != "-" &&
      (options.output.empty() || fileIdentity(options.output) == fileIdentity(options.into));
  const std::vector<Picture> pictures =
      options.report.empty() ? std::vector<Picture>()
                             : rigPictures(members, corners, moments, fit, reference);
  OutputBatch batch;
  if (!options.save_corners.empty()) batch.add(options.save_corners, rigCornersAsJson(corners));
  if (!options.report.empty()) {
    batch.addDirectory(options.report);
    for (const Picture& picture : pictures) {
      batch.add(options.report + "/" + picture.name, picture.png);
    }
  }
  addInto(writer, in_place ? "" : options.output, in_place ? backupPath(options.into) : "", &batch);
  batch.add("", report);
  batch.commit();
  if (!forced.empty()) note(forced);
  return kExitSuccess;
}

int runRig(const RigOptions& options) {
  checkCombination(options);
  RecordCapture held;
  try {
    return rig(options);
  } catch (...) {
    held.consume();
    throw;
  }
}

}  // namespace

void addRigCommand(CLI::App& app, Subcommands* commands) {
  auto options = std::make_shared<RigOptions>();
  CLI::App* command = app.add_subcommand(
      "rig",
      "Every camera's pose on the robot from images of a chessboard held still at several "
      "moments (DIR/CAMERA/MOMENT.png), written into a robot calibration");
  command->add_option("--board", options->board,
                      "Inner corners of the chessboard, COLSxROWS, e.g. 9x6");
  command->add_option("--square", options->square, "Side of one square, metres");
  command->add_option("DIR", options->dir,
                      "One folder per camera, named after it, of images named by moment");
  command->add_option("--corners", options->corners,
                      "Corners of every camera and moment, JSON (instead of images)");
  command->add_option("--save-corners", options->save_corners,
                      "Write the corners found to this JSON file, for --corners");
  command
      ->add_option("--into", options->into,
                   "Robot calibration whose cameras' poses are replaced; written back in place "
                   "(the old file kept as ROBOT_CAL.bak) unless -o is given")
      ->required();
  command->add_option(
      "--reference", options->reference,
      "The camera that keeps its pose (by default the first of ROBOT_CAL's cameras in the rig)");
  command->add_option("--fixture", options->fixture,
                      "The board's known poses in the robot frame at some moments, JSON: every "
                      "pose, the reference's included, follows from them");
  command->add_option("--base", options->base,
                      "Base calibration the poses are measured with; the poses written give "
                      "the measured ones once it is applied");
  command->add_flag("--refine-intrinsics", options->refine_intrinsics,
                    "Fit each camera's K and lens too, and write them");
  addFitGateOptions(command, &options->gate, "the rms, a fit not converged");
  command
      ->add_option("--outlier-sigma", options->outlier_sigma,
                   "Drop corners whose residual exceeds S x the rms, and fit again (0: keep all)")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  addOutputOption(command, &options->output,
                  "Write the calibration here; the report goes to standard output");
  addFormatOption(command, &options->format, {"text", "json"}, "Format of the report");
  command->add_option("--report", options->report,
                      "Write pictures into this directory: the rig seen from above and from the "
                      "side (rig.png), and each camera's coverage (coverage_CAMERA.png)");
  command
      ->add_option("--threads", options->threads, "Threads for detection; one per core by default")
      ->check(CLI::PositiveNumber);
  commands->push_back({command, [options] { return runRig(*options); }});
}

}  // namespace camcal
