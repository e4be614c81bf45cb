// The pan/tilt head fit of the example PTZ camera: a 9 x 6 board 2.5 m away
// seen at 30 motor positions (6 pans x 5 tilts) at the widest zoom, 0.2 px of
// Gaussian noise per coordinate, the true head's tilt offset 40 steps and D
// one degree from the file's (tests/support/head_board_views.h). No other
// program fits a head's kinematics to pictures, so there is no peer to
// compare with: the time is the fit's alone. Counters of the last iteration:
// `rms` (pixels, every corner), `aim_px` the largest aiming error.
//   build/dev/bench/pan_tilt_head_calibration_bench --benchmark_repetitions=5
//       --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>

#include "dravik/calibration_bytes.h"
#include "dravik/file.h"
#include "support/head_board_views.h"

namespace {

using dravik::calibration::PanTiltHeadOptions;
using dravik::calibration::PanTiltHeadResult;
using dravik::calibration::PTZCameraParameters;

void BM_PanTiltHeadFit(benchmark::State& state, bool fixture) {
  std::string bytes;
  PTZCameraParameters file;
  if (!dravik::File::readFileToString(CAMERA_PARAMETERS_SOURCE_DIR "/data/ptz_camera_example.txt",
                                      &bytes) ||
      !dravik::readCalibrationBytes(bytes, &file)) {
    state.SkipWithError("the example PTZ calibration cannot be read");
    return;
  }
  const PTZCameraParameters truth = dravik::testing::movedHead(file, 0.0f, 40.0f, 1.0);
  const auto views = dravik::testing::headViews(truth, 6, 5, 120, 80, 0, 0.2);
  PanTiltHeadOptions options;
  options.has_fixture = fixture;
  options.world_from_board = dravik::testing::boardInWorld();
  PanTiltHeadResult result;
  for (auto _ : state) {
    if (!dravik::calibration::calibratePanTiltHead(file, views, options, &result)) {
      state.SkipWithError("the fit failed");
      return;
    }
    benchmark::ClobberMemory();
  }
  state.counters["rms"] = result.rms;
  state.counters["aim_px"] =
      *std::max_element(result.aiming_error_px.begin(), result.aiming_error_px.end());
}

BENCHMARK_CAPTURE(BM_PanTiltHeadFit, board_pose_fitted, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_PanTiltHeadFit, fixture, true)->Unit(benchmark::kMillisecond);

}  // namespace
