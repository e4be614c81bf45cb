// The paths of remapImage: the vector one (several pixels at a time,
// gathering the neighbours: AVX2 on x86-64 processors that have it,
// Advanced SIMD on aarch64) and the portable one, one pixel at a time in
// plain C++. Both do the same
// arithmetic in the same order (8-bit samples: the same integer sums;
// 16-bit ones: the same single-precision operations, the file built
// without fused multiply-adds), so they give the same bytes; the portable
// one is the reference the vector one is held to, and the one a process
// run with CAMERA_PARAMETERS_BASELINE=1 takes.
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
bool remapImageOnPath(RemapPath path, const std::uint8_t* src, int src_width, int src_height,
                      int channels, std::size_t src_stride, const CompactRemapMap& map,
                      std::uint8_t* dst, std::size_t dst_stride, std::uint8_t border, int threads);

}  // namespace calibration
}  // namespace dravik
