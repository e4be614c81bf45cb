// The staged fit of planar views from a start, shared by the multi-view fit
// (camera_calibration.cpp), which runs it on every view, on a subset and on
// every refinement, and the single-view fit (single_image_calibration.cpp),
// which runs it once on its one view.
#pragma once

#include <vector>

#include "calibration_utils/camera_calibration.h"
#include "planar_views.h"
#include "reprojection_problem.h"

namespace dravik {
namespace calibration {

// A sound lens whose rms exceeds the unconstrained fit's by more than this
// fraction is checked against the sound descent from the simplest lens.
constexpr double kSoundCheckFraction = 0.01;

struct FitOutcome {
  CameraState state;
  int iterations = 0;
  bool converged = true;
  // The rms of the state and of the unconstrained fit of every free term
  // (of the simplest lens, without that stage).
  double rms = 0.0, unconstrained_rms = 0.0;
  // Whether the state's lens is sound over the image.
  bool sound = false;
};

// Where a fit's stages depart from the multi-view fit's.
struct StageOptions {
  // The relative decrease of an accepted step at which the stages of every
  // free term stop.
  double relative_decrease = kEveryTermRelativeDecrease;
  // Whether every free term is fitted without the penalties before with
  // them. One view leaves the rational lens's terms a valley along which a
  // fit without the penalties runs to coefficients in the hundreds (the head
  // camera's 640 x 480 mode: a sound lens, its rms 1.5 % lower, its pixels
  // up to 0.4 px from the nearer minimum's); the penalised descent from the
  // simplest lens ends at the nearer minimum.
  bool unconstrained_stage = true;
};

// The staged fit of the views' points from `start`: the simplest lens, every
// free term without penalties, then every free term with the penalties and
// the exact rule keeping the lens sound, from that unconstrained fit (from
// the simplest lens, without its stage: StageOptions). When
// that ends on a lens that is not sound, again from the simplest lens if it
// is sound, else from the same intrinsics and poses without distortion
// (sound), so that the rule holds at every step. With `refine`, `start` is
// already a sound fit of every free term (of some of the views): the
// simplest lens is skipped, the solver starts with a small damping, the
// penalised stage runs only when the unconstrained one ends unsound or
// inside the margins, and `start` stands in for the simplest lens. The
// options' lens terms, principal point and focal lengths say what is free;
// their progress, when set, hears of every iteration (numbered 0).
FitOutcome fitStages(const std::vector<View>& views, int width, int height,
                     const CameraFitOptions& options, const CameraState& start, bool refine,
                     const StageOptions& stages = StageOptions());

}  // namespace calibration
}  // namespace dravik
