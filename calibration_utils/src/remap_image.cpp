// Bilinear resampling through a forward map, in OpenCV's fixed point:
// positions rounded to 1/32 pixel, the four weights
//   (32 - a)(32 - b), a (32 - b), (32 - a) b, a b   (a, b the fractions in 1/32)
// applied in integers and rounded once, which is exactly OpenCV's
// INTER_LINEAR table (its entries are these products times 32, no rounding).
// Each row runs in two passes over blocks: one that vectorises (positions to
// offsets and fractions), one that gathers the four neighbours.
#define DRAVIK_LOG_FILE "calibration_utils/remap_image"
#include <algorithm>
#include <cmath>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "calibration_utils/undistortion.h"
#include "dravik/logging.h"
#include "undistortion_inputs.h"

namespace dravik {
namespace calibration {

namespace {

constexpr int kFractionBits = 5;
constexpr int kFractions = 1 << kFractionBits;  // 32
constexpr int kBlock = 256;
// Positions are clamped to this many pixels before they are made integers.
constexpr float kPositionLimit = float(1 << 16);

// x rounded to the nearest 1/32 pixel, half to even (as OpenCV rounds), in
// 1/32 pixel. A NaN is clamped to the lower limit.
inline int toFixedPoint(float x) {
  const float low = x > -kPositionLimit ? x : -kPositionLimit;
  return int(std::nearbyint((low < kPositionLimit ? low : kPositionLimit) * kFractions));
}

// toFixedPoint of count positions, four at a time where SSE2 is there (the
// x86-64 baseline): cvtps2dq rounds half to even in the default mode, and
// maxps gives its second operand for a NaN.
void toFixedPoint(const float* __restrict in, int count, int* __restrict out) {
  int i = 0;
#ifdef __SSE2__
  const __m128 low = _mm_set1_ps(-kPositionLimit), high = _mm_set1_ps(kPositionLimit);
  const __m128 scale = _mm_set1_ps(float(kFractions));
  for (; i + 4 <= count; i += 4) {
    const __m128 x = _mm_min_ps(_mm_max_ps(_mm_loadu_ps(in + i), low), high);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_cvtps_epi32(_mm_mul_ps(x, scale)));
  }
#endif
  for (; i < count; ++i) out[i] = toFixedPoint(in[i]);
}

// Per pixel of a block: the position in 1/32 pixel.
struct Block {
  int x[kBlock], y[kBlock];
};

// (top (32 - b) + bottom b + 512) >> 10 with top = p00 (32 - a) + p01 a, and
// bottom likewise: OpenCV's (sum of w p + 2^14) >> 15 with w = 32 x these
// products, a and b the fractions in 1/32. A position on the last column or
// row with a zero fraction moves one pixel back with a full fraction, so that
// every read stays inside the image; a pixel that gets the border reads
// pixel (0, 0) and drops it. step_x and step_y are 0 along a side of one
// pixel. No branch but the loop's.
template <int kChannels>
void gatherBlock(const std::uint8_t* __restrict src, int src_width, int src_height, int stride,
                 const Block& block, const std::uint8_t* __restrict valid, int count,
                 std::uint8_t border, std::uint8_t* __restrict dst) {
  const int step_x = src_width > 1 ? kChannels : 0, step_y = src_height > 1 ? stride : 0;
  for (int i = 0; i < count; ++i, dst += kChannels) {
    const int ix = block.x[i] >> kFractionBits, iy = block.y[i] >> kFractionBits;
    int a = block.x[i] & (kFractions - 1), b = block.y[i] & (kFractions - 1);
    const int back_x = (ix == src_width - 1) & (a == 0) & (ix > 0);
    const int back_y = (iy == src_height - 1) & (b == 0) & (iy > 0);
    const int left = ix - back_x, top = iy - back_y;
    a += back_x * kFractions;
    b += back_y * kFractions;
    // The right neighbour is needed when a > 0, the lower one when b > 0.
    const bool keep = (left >= 0) & (top >= 0) & (left + (a > 0) < src_width) &
                      (top + (b > 0) < src_height) & (valid[i] != 0);
    const std::uint8_t* p = src + (keep ? top * stride + left * kChannels : 0);
    for (int c = 0; c < kChannels; ++c) {
      const int upper = p[c] * (kFractions - a) + p[c + step_x] * a;
      const int lower = p[c + step_y] * (kFractions - a) + p[c + step_y + step_x] * a;
      const int value = (upper * (kFractions - b) + lower * b + 512) >> 10;
      dst[c] = keep ? std::uint8_t(value) : border;
    }
  }
}

}  // namespace

bool remapImage(const std::uint8_t* src, int src_width, int src_height, int channels,
                std::size_t src_stride, const UndistortionMap& map, std::uint8_t* dst,
                std::size_t dst_stride, std::uint8_t border) {
  if (!checkImageSize(src_width, src_height, "source image") || !checkMap(map)) return false;
  if (src == nullptr || dst == nullptr || (channels != 1 && channels != 3 && channels != 4) ||
      src_stride < size_t(src_width) * channels || dst_stride < size_t(map.width) * channels ||
      src_stride * size_t(src_height) > (size_t(1) << 31)) {
    DRAVIK_LOG(2, kUndistortionTag)
        << "Images not given, " << channels << " channels (1, 3 or 4 resample), or strides "
        << src_stride << " and " << dst_stride << " too short or too long";
    return false;
  }
  const int stride = int(src_stride);
  Block block;
  for (int v = 0; v < map.height; ++v) {
    const size_t row = size_t(v) * map.width;
    std::uint8_t* out = dst + size_t(v) * dst_stride;
    for (int begin = 0; begin < map.width; begin += kBlock) {
      const int count = std::min(kBlock, map.width - begin);
      const size_t at = row + begin;
      toFixedPoint(map.x.data() + at, count, block.x);
      toFixedPoint(map.y.data() + at, count, block.y);
      const std::uint8_t* valid = map.valid.data() + at;
      std::uint8_t* o = out + size_t(begin) * channels;
      switch (channels) {
        case 1:
          gatherBlock<1>(src, src_width, src_height, stride, block, valid, count, border, o);
          break;
        case 3:
          gatherBlock<3>(src, src_width, src_height, stride, block, valid, count, border, o);
          break;
        default:
          gatherBlock<4>(src, src_width, src_height, stride, block, valid, count, border, o);
          break;
      }
    }
  }
  return true;
}

bool convertToFixedPoint(const UndistortionMap& map, FixedPointUndistortionMap* fixed) {
  if (!checkMap(map)) return false;
  if (fixed == nullptr) {
    DRAVIK_LOG(2, kUndistortionTag) << "No fixed-point map to fill";
    return false;
  }
  const size_t n = size_t(map.width) * map.height;
  fixed->width = map.width;
  fixed->height = map.height;
  fixed->xy.resize(2 * n);
  fixed->fraction.resize(n);
  constexpr int kOutside = -32768;
  for (size_t i = 0; i < n; ++i) {
    const int fixed_x = toFixedPoint(map.x[i]), fixed_y = toFixedPoint(map.y[i]);
    const int x = fixed_x >> kFractionBits, y = fixed_y >> kFractionBits;
    const bool keep = map.valid[i] != 0;
    if (keep && (x < kOutside || x > 32767 || y < kOutside || y > 32767)) {
      DRAVIK_LOG(2, kUndistortionTag) << "A position of the map does not fit 16 bits";
      return false;
    }
    fixed->xy[2 * i] = std::int16_t(keep ? x : kOutside);
    fixed->xy[2 * i + 1] = std::int16_t(keep ? y : kOutside);
    fixed->fraction[i] = std::uint16_t(
        keep ? (fixed_y & (kFractions - 1)) * kFractions + (fixed_x & (kFractions - 1)) : 0);
  }
  return true;
}

}  // namespace calibration
}  // namespace dravik
