#include "colour_map.h"

#include <algorithm>
#include <cmath>

namespace camcal {

namespace {
// Anchors at t = 0, 1/8, ..., 1, interpolated linearly.
constexpr double kAnchors[9][3] = {
    {0.267, 0.005, 0.329}, {0.283, 0.141, 0.458}, {0.254, 0.265, 0.530},
    {0.207, 0.372, 0.553}, {0.164, 0.471, 0.558}, {0.128, 0.567, 0.551},
    {0.135, 0.659, 0.518}, {0.478, 0.821, 0.318}, {0.993, 0.906, 0.144},
};
}  // namespace

Colour colourOnScale(double t) {
  if (!(t > 0.0)) t = 0.0;
  t = std::min(t, 1.0) * 8.0;
  const int i = std::min(7, static_cast<int>(std::floor(t)));
  const double w = t - i;
  return {kAnchors[i][0] + w * (kAnchors[i + 1][0] - kAnchors[i][0]),
          kAnchors[i][1] + w * (kAnchors[i + 1][1] - kAnchors[i][1]),
          kAnchors[i][2] + w * (kAnchors[i + 1][2] - kAnchors[i][2])};
}

}  // namespace camcal
