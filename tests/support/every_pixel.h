// Whether a lens inverts every pixel of its image: the promise of a lens
// sound over its image (calibration_utils/lens.h).
#pragma once

#include <cstdint>
#include <vector>

#include "calibration_utils/lens.h"

namespace dravik {
namespace testing {

// The pixels of the lens's image, centres at integer coordinates, that
// normalizePixels leaves unconverged.
inline int unconvergedPixels(const calibration::Lens& lens) {
  std::vector<double> uv;
  uv.reserve(2 * std::size_t(lens.width()) * lens.height());
  for (int v = 0; v < lens.height(); ++v) {
    for (int u = 0; u < lens.width(); ++u) uv.insert(uv.end(), {double(u), double(v)});
  }
  const std::size_t n = uv.size() / 2;
  std::vector<std::uint8_t> ok(n);
  lens.normalizePixels(uv.data(), n, uv.data(), ok.data());
  int unconverged = 0;
  for (const std::uint8_t converged : ok) unconverged += converged ? 0 : 1;
  return unconverged;
}

}  // namespace testing
}  // namespace dravik
