// Builds undistortion maps for fuzzed lenses, views and sizes, chooses views
// at fuzzed alphas, and resamples a small image through the maps: bad input
// must be refused, never crash, and every map stays the size it says.
//
// Input layout: width, height (two int8 each, small on purpose: the maps are
// built whole), then K (five floats fx, skew, cx, fy, cy), eight distortion
// floats, a view K (five floats), alpha (one float) and the channel count
// (one byte); zeros once the input is used up.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "calibration_utils/lens_soundness.h"
#include "calibration_utils/undistortion.h"
#include "fuzzed_numbers.h"
#include "quiet_logs.h"

namespace {

using namespace dravik::calibration;

void checkSize(const UndistortionMap& map, int width, int height) {
  const size_t n = size_t(width) * size_t(height);
  if (map.width != width || map.height != height || map.x.size() != n || map.valid.size() != n) {
    __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  quietLogs();
  FuzzedNumbers in(data, size);
  const int width = in.next<int8_t>(), height = in.next<int8_t>();
  const Eigen::Matrix3f K = in.K();
  dravik::LensCoefficients distortion;
  for (float& k : distortion) k = in.f();
  Lens lens;  // the lens of no image where the values make none
  Lens::fromIntrinsics(K, distortion, width, height, &lens);
  PinholeView view{in.next<int8_t>(), in.next<int8_t>(), in.K()};
  const float alpha = in.f();
  const int channels = in.next<uint8_t>() % 5;

  findSoundRegion(distortion);
  UndistortionMap forward, inverse;
  if (buildUndistortionMap(lens, view, &forward)) checkSize(forward, view.width, view.height);
  if (buildInverseUndistortionMap(lens, view, &inverse))
    checkSize(inverse, lens.width(), lens.height());
  PinholeView chosen;
  PixelRect rect;
  if (choosePinholeView(lens, alpha, view.width, view.height, &chosen, &rect)) {
    if (rect.x < 0 || rect.y < 0 || rect.x + rect.width > chosen.width ||
        rect.y + rect.height > chosen.height) {
      __builtin_trap();
    }
    buildUndistortionMap(lens, chosen, &forward);
  }
  if (forward.width > 0 && lens.width() > 0 && lens.height() > 0) {
    const int c = std::max(channels, 1);
    std::vector<uint8_t> src(size_t(lens.width()) * lens.height() * c, 100);
    std::vector<uint8_t> dst(size_t(forward.width) * forward.height * c);
    remapImage(src.data(), lens.width(), lens.height(), channels, size_t(lens.width()) * c, forward,
               dst.data(), size_t(forward.width) * c);
    FixedPointUndistortionMap fixed;
    convertToFixedPoint(forward, &fixed);
    validRectAround(forward, in.next<int8_t>(), in.next<int8_t>());
  }
  return 0;
}
