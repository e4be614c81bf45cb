// The paths of remapImage: the vector one (AVX2 on x86-64 processors that
// have it, eight pixels at a time, gathering the neighbours) and the
// portable one, one pixel at a time in plain C++. Both weigh in single
// precision with the same operations in the same order (the file is built
// without fused multiply-adds), so they give the same bytes; the portable
// one is the reference the vector one is held to.
#pragma once

#include <cstddef>
#include <cstdint>

#include "calibration_utils/undistortion.h"

namespace dravik {
namespace calibration {

enum class RemapPath { kVector, kPortable };

// True where the vector path has a vector form on this processor (else it
// runs the portable code).
bool remapHasVectorForm();

// remapImage on the chosen path (remapImage itself takes kVector).
bool remapImageOnPath(RemapPath path, const std::uint8_t* src, int src_width, int src_height,
                      int channels, std::size_t src_stride, const UndistortionMapView& map,
                      std::uint8_t* dst, std::size_t dst_stride, std::uint8_t border, int threads);
bool remapImageOnPath(RemapPath path, const std::uint16_t* src, int src_width, int src_height,
                      int channels, std::size_t src_stride, const UndistortionMapView& map,
                      std::uint16_t* dst, std::size_t dst_stride, std::uint16_t border,
                      int threads);

}  // namespace calibration
}  // namespace dravik
