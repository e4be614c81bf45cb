// The two paths of remapImage: with the SSE2 instructions that locate and
// weigh four pixels at a time, and without them, one pixel at a time in
// plain integers. Both give the same bytes; the scalar one is the reference
// the vector one is held to.
#pragma once

#include <cstddef>
#include <cstdint>

#include "calibration_utils/undistortion.h"

namespace dravik {
namespace calibration {

enum class RemapPath { kVector, kScalar };

// remapImage on the chosen path (remapImage itself takes kVector).
bool remapImageOnPath(RemapPath path, const std::uint8_t* src, int src_width, int src_height,
                      int channels, std::size_t src_stride, const UndistortionMapView& map,
                      std::uint8_t* dst, std::size_t dst_stride, std::uint8_t border);

}  // namespace calibration
}  // namespace dravik
