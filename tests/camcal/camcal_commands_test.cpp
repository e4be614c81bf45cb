// camcal's commands run on the fixtures, each with the exit status, stdout
// and stderr it must give: 0 on success, 1 for a failed operation and 2 for
// a command-line mistake, with one line on stderr naming the input.
#include <gtest/gtest.h>

#include "calibration_common/camera_parameters.h"
#include "run_camcal.h"

namespace {

using namespace camcal_test;
using dravik::calibration::CameraParametersSet;

const std::string robot = fixture("robot_calibration.txt");
const std::string base = fixture("base_calibration.txt");
const std::string lens_faults = fixture("robot_calibration_lens_faults.txt");
const std::string short_k = fixture("robot_calibration_short_k.txt");
const std::string malformed = fixture("robot_calibration_malformed.txt");
const std::string missing = fixture("no_such_calibration.txt");

TEST(CamcalCommands, ShowTheCamerasIntrinsicsAndBaseOfTheDefaultOrAFile) {
  std::vector<std::string> default_cameras;
  for (const auto& name : CameraParametersSet().getCameraNames())
    default_cameras.push_back(name + "\n model");
  expectRuns({
      {{"cameras"}, 0, default_cameras},
      // Each size the library serves; the navigation camera at 640x480 is
      // half its 1280x960 full frame.
      {{"cameras", robot}, 0,
       {"navigation\n model kv007n (navigation camera)", "\n 640x480 310.7 310.4 0 319.45 241.3\n",
        "\n 1280x720 621.4 620.8 0 638.9 362.6\n", "front\n model b910 (B910 camera)",
        "rear\n model ov-rear-2 (generic camera)"}},
      // The set keeps the embedded default's cameras; the file names only these.
      {{"cameras", lens_faults}, 0, {"wide\n", "pole\n"}, "", "navigation"},
      {{"intrinsics", "navigation", "640x480"}, 0, {"image size 640x480, from the model's table"}},
      // A size off the table: the full frame scaled, and a note.
      {{"intrinsics", "navigation", "800x600"}, 0, {"image size 800x600, not in the model's table"},
       "note: 800x600 is not an image size of camera 'navigation' (its model's table); K is its "
       "full frame 1280x960 scaled to 800x600\n"},
      {{"-q", "intrinsics", "navigation", "800x600"}, 0, {}},
      {{"base"}, 0, {"(validity \"factory default\")"}},
      // The translation column in metres: (10, -20, 5) millimetres.
      {{"base", base}, 0,
       {"wheel base 0.412\n", "gyroscope gain 1.0213 (validity \"calibrated 2024-03-18\")\n",
        "| 0.01\n", "| -0.02\n", "| 0.005\n"}},
      {{"--version"}, 0, {"camcal "}},
  });
  for (const std::string command :
       {"cameras", "intrinsics", "validate", "convert", "base", "adjust", "ptz"}) {
    expectRuns({{{command, "--help"}, 0, {"Usage:"}}});
  }
}

TEST(CamcalCommands, FailuresExitWithTheirStatusAndOneLineNamingTheInput) {
  ScratchDir scratch;
  const std::string no_samples = scratch.path("no_samples.txt");
  writeFile(no_samples, "intrinsics { cal_width: 1920 }\n");
  std::string default_cameras;
  for (const auto& name : CameraParametersSet().getCameraNames())
    default_cameras += (default_cameras.empty() ? "" : ", ") + name;
  const std::string unwritable = fixture("no_such_dir/out.txt");
  std::vector<Expected> runs = {
      {{"cameras", CAMCAL_TEST_DATA}, kFailed, {},
       std::string(CAMCAL_TEST_DATA) + ": cannot read: Is a directory"},
      {{"intrinsics", "Navigation", "640x480"}, kFailed, {},
       "unknown camera 'Navigation' in the embedded default calibration (cameras: " +
           default_cameras + ")"},
      // A camera of the default that the file does not name is unknown too.
      {{"intrinsics", "-c", lens_faults, "front", "640x480"}, kFailed, {},
       "unknown camera 'front' in " + lens_faults + " (cameras: wide, pole)"},
      {{"cameras", malformed}, kFailed, {},
       malformed + ": not a robot calibration (neither wire nor text format; as text, line 7, "
                   "column 8: Expected \":\", found \"2474.9\".)"},
      {{"cameras", short_k}, kFailed, {},
       short_k + ": not a valid robot calibration: camera \"front\": Parameter list too short in "
                 "name: \"front\" ..."},
      {{"cameras", base}, kFailed, {}, base + ": is a base calibration, not a robot calibration"},
      {{"adjust", robot, robot}, kFailed, {},
       robot + ": is a robot calibration, not a base calibration"},
      {{"convert", base, "--to", "text", "-o", unwritable}, kFailed, {},
       unwritable + ": cannot write: No such file or directory"},
      {{"frobnicate"}, kUsage, {}, "unknown command 'frobnicate' (see 'camcal --help')"},
      {{"intrinsics", "navigation"}, kUsage, {},
       "intrinsics: SIZE is required (see 'camcal intrinsics --help')"},
      {{"intrinsics", "navigation", "640x480", "-f", "xml"}, kUsage, {}, "xml"},
      {{"convert", base}, kUsage, {}, "convert: --to is required"},
      {{"ptz", ptzExample(), "project", "1", "2", "3"}, kUsage, {},
       "ptz project needs --at PAN,TILT,ZOOM"},
      {{"ptz", ptzExample(), "--at", "1,2", "ray", "1", "2"}, kUsage, {},
       "malformed --at '1,2': expected PAN,TILT,ZOOM in whole motor steps, e.g. 0,0,1000"},
      {{"ptz", no_samples, "zoom-factor", "100"}, kFailed, {},
       no_samples + ": not a valid PTZ calibration: Invalid intrinsics"},
      {{"ptz", robot, "zoom-factor", "1"}, kFailed, {},
       robot + ": is a robot calibration, not a PTZ calibration"},
  };
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"cameras", missing}, {"convert", missing, "--to", "text"},
        {"intrinsics", "-c", missing, "front", "640x480"}, {"base", missing}}) {
    runs.push_back({args, kFailed, {}, missing + ": cannot read: No such file or directory"});
  }
  for (const std::string size :
       {"640", "640x", "x480", "640x480x3", "-640x480", "0x480", "640 x 480", "1234567x480"}) {
    runs.push_back({{"intrinsics", "navigation", size}, kUsage, {},
                    "malformed image size '" + size + "': expected WIDTHxHEIGHT, e.g. 640x480"});
  }
  expectRuns(runs);
}

TEST(CamcalCommands, ValidateGivesEachFileAVerdictWithItsReasons) {
  ScratchDir scratch;
  // A front camera whose lens folds 20 degrees off axis: inside the full
  // frame and inside the crop that every B910 streaming size scales.
  const std::string folding = scratch.path("folding_front.txt");
  writeFile(folding, replaced(readFile(robot), "k: [0.058, -0.137, 0.0, 0.0, 0.0, 0.0]",
                              "k: [-2.5, 0.0, 0.0, 0.0, 0.0, 0.0]"));
  const std::string no_size = scratch.path("no_size.txt");
  writeFile(no_size, R"(camera {
      name: "rear" model: "ov-rear-2"
      intrinsics { fx: 1000 fy: 1000 cx: 960 cy: 540 k: [0, 0, 0, 0, 0, 0] p: [0, 0]
                   width: 1920 height: 0 }
      extrinsics { a: [1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0] } })");
  // Two zoom samples out of order: the lookups assume rising zoom and focal length.
  const std::string swapped = scratch.path("ptz.txt");
  writeFile(swapped, replaced(readFile(ptzExample()), "zoom: 2000", "zoom: 4500"));

  const std::string folds = "the radial mapping is not monotone: it turns back at ";
  const std::string corner = "of the way from the principal point to the farthest image corner\n";
  expectRuns({
      {{"validate", robot, base, ptzExample()}, 0,
       {robot + ": valid robot calibration (text, 3 cameras)\n",
        base + ": valid base calibration (text)\n",
        ptzExample() + ": valid PTZ calibration (text, 9 zoom samples)\n"}},
      // Lens models that fold or near a pole inside the image.
      {{"validate", lens_faults}, 0,
       {"valid robot calibration (text, 2 cameras), 2 warnings\n",
        "\n warning: camera \"wide\" at 1280x960 (full frame): " + folds + "46.5 deg off axis",
        "\n warning: camera \"pole\" at 1280x960 (full frame): the rational denominator 1 + k4 "
        "r^2 + k5 r^4 + k6 r^6 falls to 0.0"}},
      {{"validate", "--strict", lens_faults}, kFailed, {"2 warnings: INVALID with --strict"}},
      // Every image size a camera serves is checked; the sizes that share a
      // finding share a warning.
      {{"validate", folding}, 0,
       {"\n warning: camera \"front\" at 2592x1944 (full frame): " + folds +
            "20.1 deg off axis, 37% " + corner,
        "\n warning: camera \"front\" at 640x480, 800x600, 1024x768, 1280x960: " + folds +
            "20.1 deg off axis, 43% " + corner}},
      // The library's own record explains a fallback; it is not repeated on stderr.
      {{"validate", robot, short_k}, kFailed,
       {robot + ": valid",
        short_k + ": INVALID robot calibration (text, 1 camera): camera \"front\": Parameter list "
                  "too short in name: \"front\" ...\n"}},
      {{"validate", no_size}, kFailed,
       {"INVALID robot calibration (text, 1 camera): camera \"rear\": a generic camera needs a "
        "positive intrinsics width and height"}},
      // Unreadable and malformed files are reported, and validate goes on.
      {{"validate", missing, malformed, base}, kFailed,
       {missing + ": INVALID: cannot read: No such file or directory\n",
        malformed + ": INVALID: not a robot, base or PTZ calibration (neither wire nor text "
                    "format; as text, line 7, column 8: Expected \":\", found \"2474.9\".)\n",
        base + ": valid base calibration"}},
      {{"validate", "--kind", "base", robot}, kFailed,
       {": INVALID: not a base calibration (neither wire nor text format; as text, line 5, column "
        "8: Message type \"dravik.calibration.BaseCalibrationProto\" has no field named "
        "\"camera\".)"}},
      {{"validate", "--kind", "robot", robot}, 0, {}},
      {{"validate", "--strict", swapped}, kFailed,
       {"warning: zoom sample 1 (zoom 4500) is off the zoom grid zoom_offset + 1 zoom_step = 2000",
        "warning: zoom sample 2 (zoom 4000): samples must rise in zoom and strictly in f"}},
  });
}

}  // namespace
