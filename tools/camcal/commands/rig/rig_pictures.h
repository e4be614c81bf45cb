// The pictures of `camcal rig --report DIR`:
//   rig.png              the cameras' frames and the board's poses in the
//                        robot frame, seen from above and from the side
//                        (plot/rig_plot.h);
//   coverage_CAMERA.png  each camera's kept corners over its image, drawn as
//                        `camcal calibrate --report` draws coverage, one
//                        colour per moment.
#pragma once

#include <string>
#include <vector>

#include "commands/calibrate/calibrate_pictures.h"
#include "plot/rig_plot.h"

namespace camcal {

struct RigCoverage {
  std::string camera;
  CalibrationRun run;  // its corners, the kept ones and the covered cells
};

std::vector<Picture> drawRigPictures(const RigPlot& rig, const std::vector<RigCoverage>& coverage);

// The name of a camera's coverage picture: coverage_CAMERA.png, with every
// character but letters, digits, '-' and '_' written as '_'.
std::string coveragePictureName(const std::string& camera);

}  // namespace camcal
