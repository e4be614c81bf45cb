// The picture of `camcal ptz-head --report DIR` (aiming_error.png): the
// aiming error of every view over the pan/tilt range, through the file's
// head and the fitted one.
#pragma once

#include <string>
#include <vector>

namespace camcal {

struct AimedView {
  int pan = 0, tilt = 0;  // motor steps
  double before_px = 0.0, after_px = 0.0;
};

// PNG bytes: two panels, pan across and tilt up in motor steps, each view a
// dot coloured by its aiming error in pixels on the panel's own scale.
std::string plotAimingError(const std::vector<AimedView>& views);

}  // namespace camcal
