// Running the installed camcal as a user would, and checking a table of runs.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "support/ptz_models.h"
#include "support/scratch_dir.h"

namespace camcal_test {

constexpr int kFailed = 1;  // a failed operation
constexpr int kUsage = 2;   // a command-line mistake

using Args = std::vector<std::string>;
inline Args cat(Args head, const Args& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

struct Run {
  int status = -1;
  std::string out, err;
};
// The installed camcal, with no library path of the build tree in the
// environment and standard input from stdin_path (/dev/null when empty).
Run runCamcal(const Args& args, const std::string& stdin_path = "");
// The stdout of a run that must succeed.
std::string outputOf(const Args& args);

// A run must give status, these parts of stdout in order (runs of spaces
// squeezed to one), and one stderr line "camcal: ...err..." (none when err is
// empty); a failure with a message prints nothing on stdout.
struct Expected {
  Args args;
  int status;
  std::vector<std::string> out;
  std::string err = "";
};
void expectRuns(const std::vector<Expected>& runs);
inline Expected prints(Args args, std::vector<std::string> out, std::string err = "") {
  return {std::move(args), 0, std::move(out), std::move(err)};
}
inline Expected fails(int status, Args args, std::string err) {
  return {std::move(args), status, {}, std::move(err)};
}

inline std::string fixture(const std::string& name) { return CAMCAL_TEST_DATA "/" + name; }
// The calibrations most tests read.
const std::string kRobotCal = fixture("robot_calibration.txt"),
                  kBaseCal = fixture("base_calibration.txt"),
                  kLensFaults = fixture("robot_calibration_lens_faults.txt"),
                  kPtzCal = dravik::testing::ptzExamplePath();
using dravik::testing::readFile;
using dravik::testing::ScratchDir;
// A double as camcal's arguments take it back exactly (17 significant digits).
std::string exactText(double value);
// K row by row, the distortion coefficients, the image width and height of an
// output of camcal intrinsics in `format`.
std::vector<float> readIntrinsics(const std::string& format, const std::string& text);
// A gray PNG file of width x height pixels, row by row, 8 or 16 bits deep.
template <typename Pixel>
void writeGrayPng(const std::string& path, int width, int height, const std::vector<Pixel>& pixels);
// Width and height of a PNG file; 0 x 0 when it does not decode.
std::pair<int, int> pngSize(const std::string& path);

}  // namespace camcal_test
