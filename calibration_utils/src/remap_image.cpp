// Bilinear resampling through a forward map.
//
// 8-bit samples are weighed in integers: the map's position (x, y) is
// rounded to 1/8192 pixel, X = round(8192 x), its integer part i and its
// weight a = X - 8192 i in [0, 8192] (on the last column i steps back by one
// and a is 8192, so that no read passes the image), likewise j and b, and
//   upper = (8192 - a) p(i, j) + a p(i + 1, j),  lower likewise on row j + 1,
//   value = (2048 upper + b floor((lower - upper) / 4) + 2^23) >> 24
// in 32 bits (the largest sum, 255 x 2^24 + 2^23, fits unsigned; the
// smallest stays above 0). The position moves by at most 1/16384 pixel and
// the difference's dropped bits weigh under 1/2048 of a grey level, so the
// value is the exact bilinear sample of the map's position to within 0.04
// levels, rounded half up.
// 16-bit samples are weighed in single precision from the map's positions
// themselves: with fractions (a, b),
//   upper = p(i, j) + a (p(i + 1, j) - p(i, j)),  lower likewise,
//   value = upper + b (lower - upper), rounded half up.
// The file is built without fused multiply-adds, so that the vector path and
// the portable one, which do the same operations in the same order, give
// the same bytes.
//
// Rows are split among threads in contiguous ranges; a pixel's value does
// not depend on the split.
#define DRAVIK_LOG_FILE "calibration_utils/remap_image"
#include <algorithm>
#include <cmath>
#include <cstring>
#include <type_traits>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define DRAVIK_REMAP_AVX2 1
#elif defined(__aarch64__)
#include <arm_neon.h>
#define DRAVIK_REMAP_NEON 1
#endif

#include "calibration_utils/undistortion.h"
#include "dravik/logging.h"
#include "dravik/wide_vectors.h"
#include "remap_paths.h"
#include "row_threads.h"
#include "undistortion_inputs.h"

namespace dravik {
namespace calibration {

namespace {

constexpr int kFractionBits = 5;
constexpr int kFractions = 1 << kFractionBits;  // 32, OpenCV's fixed point
// Positions are clamped to this many pixels before they are made integers.
constexpr float kPositionLimit = float(1 << 16);

// x rounded to the nearest 1/32 pixel, half to even (as OpenCV rounds), in
// 1/32 pixel. A NaN is clamped to the lower limit.
inline int toFixedPoint(float x) {
  const float low = x > -kPositionLimit ? x : -kPositionLimit;
  return int(std::nearbyint((low < kPositionLimit ? low : kPositionLimit) * kFractions));
}

// The source image as the resampling reads it, T the type of a sample.
template <typename T>
struct Source {
  const T* pixels;
  int width, height, channels;
  std::size_t stride;  // bytes
  // Bytes from the first sample to just past the last.
  std::size_t bytes() const {
    return std::size_t(height - 1) * stride + std::size_t(width) * channels * sizeof(T);
  }
};

// The samples of the pixel at a byte offset of the source.
template <typename T>
inline const T* at(const T* pixels, std::size_t offset) {
  return reinterpret_cast<const T*>(reinterpret_cast<const std::uint8_t*>(pixels) + offset);
}

// One 16-bit destination pixel on the portable path. A position is resampled when
// the map marks it valid and every pixel of non-zero weight lies in the
// image, that is when 0 <= x <= width - 1 and 0 <= y <= height - 1 (a NaN
// fails); on the last column or row the integer part steps back by one, with
// a fraction of 1, so that no read passes the image.
template <typename T, int kChannels>
inline void remapPixel(const Source<T>& s, float x, float y, bool valid, T border, T* out) {
  const bool keep =
      valid & (x >= 0.0f) & (x <= float(s.width - 1)) & (y >= 0.0f) & (y <= float(s.height - 1));
  if (!keep) {
    for (int c = 0; c < kChannels; ++c) out[c] = border;
    return;
  }
  const float fx = std::min(std::floor(x), float(std::max(s.width - 2, 0)));
  const float fy = std::min(std::floor(y), float(std::max(s.height - 2, 0)));
  const float a = x - fx, b = y - fy;
  const std::size_t step_x = s.width > 1 ? kChannels * sizeof(T) : 0;
  const std::size_t step_y = s.height > 1 ? s.stride : 0;
  const std::size_t offset = std::size_t(fy) * s.stride + std::size_t(fx) * kChannels * sizeof(T);
  const T* p00 = at(s.pixels, offset);
  const T* p01 = at(s.pixels, offset + step_x);
  const T* p10 = at(s.pixels, offset + step_y);
  const T* p11 = at(s.pixels, offset + step_y + step_x);
  for (int c = 0; c < kChannels; ++c) {
    const float upper = float(p00[c]) + a * (float(p01[c]) - float(p00[c]));
    const float lower = float(p10[c]) + a * (float(p11[c]) - float(p10[c]));
    out[c] = T(int(upper + b * (lower - upper) + 0.5f));
  }
}

// The 8-bit weighing: positions in 1/8192 pixel; the difference of the two
// rows' sums with its last kRowShift bits dropped, so that the last sum fits
// 32 bits.
constexpr int kWeightBits = 13;
constexpr int kWeightOne = 1 << kWeightBits;
constexpr int kRowShift = 2 * kWeightBits - 24;
constexpr int kValueShift = 2 * kWeightBits - kRowShift;
// Positions at or beyond 2^31 / 8192 pixels are outside every image the
// integer form takes.
constexpr float kWeightLimit = 2147483648.0f;

// x in 1/8192 pixel, rounded to nearest (half to even, as the vector
// conversion rounds), into *fixed; false where it lies outside [0, last].
inline bool toWeightUnits(float x, int last, std::int64_t* fixed) {
  const float scaled = x * float(kWeightOne);
  if (!(scaled > -1.0f && scaled < kWeightLimit)) return false;  // NaN included
  *fixed = std::int64_t(std::nearbyint(scaled));
  return *fixed >= 0 && *fixed <= std::int64_t(last) * kWeightOne;
}

// The integer weighing of one sample from its four neighbours, weights in
// 1/8192: modulo 2^32, as the vector lanes compute it.
inline std::uint8_t weigh8(std::uint32_t p00, std::uint32_t p01, std::uint32_t p10,
                           std::uint32_t p11, std::uint32_t a, std::uint32_t b) {
  const std::uint32_t upper = (kWeightOne - a) * p00 + a * p01;
  const std::uint32_t lower = (kWeightOne - a) * p10 + a * p11;
  // An arithmetic shift of the signed difference, as the vector lanes do.
  const std::uint32_t step = std::uint32_t(std::int32_t(lower - upper) >> kRowShift);
  const std::uint32_t value = (upper << (kWeightBits - kRowShift)) + step * b;
  return std::uint8_t((value + (1u << (kValueShift - 1))) >> kValueShift);
}

// The integer weighing of the pixel whose top-left neighbour lies at byte
// `offset` of the source, its right and lower neighbours step_x and step_y
// bytes on (0 on an image one pixel wide or high).
template <int kChannels>
inline void weighPixel8(const std::uint8_t* pixels, std::size_t step_x, std::size_t step_y,
                        std::size_t offset, std::uint32_t a, std::uint32_t b, std::uint8_t* out) {
  const std::uint8_t* p00 = pixels + offset;
  const std::uint8_t* p10 = p00 + step_y;
  for (int c = 0; c < kChannels; ++c) {
    out[c] = weigh8(p00[c], p00[step_x + c], p10[c], p10[step_x + c], a, b);
  }
}

// The top-left neighbour's byte offset and the weights (a, b) of an 8-bit
// pixel at (x, y); false where the pixel gets the border.
inline bool placePixel8(const Source<std::uint8_t>& s, int channels, float x, float y, bool valid,
                        std::size_t* offset, std::uint32_t* a, std::uint32_t* b) {
  std::int64_t fixed_x, fixed_y;
  if (!valid || !toWeightUnits(x, s.width - 1, &fixed_x) ||
      !toWeightUnits(y, s.height - 1, &fixed_y)) {
    return false;
  }
  const std::int64_t i = std::min<std::int64_t>(fixed_x >> kWeightBits, std::max(s.width - 2, 0));
  const std::int64_t j = std::min<std::int64_t>(fixed_y >> kWeightBits, std::max(s.height - 2, 0));
  *a = std::uint32_t(fixed_x - (i << kWeightBits));
  *b = std::uint32_t(fixed_y - (j << kWeightBits));
  *offset = std::size_t(j) * s.stride + std::size_t(i) * channels;
  return true;
}

// The neighbours' steps of a source (see weighPixel8).
inline std::size_t stepX8(const Source<std::uint8_t>& s) { return s.width > 1 ? s.channels : 0; }
inline std::size_t stepY8(const Source<std::uint8_t>& s) { return s.height > 1 ? s.stride : 0; }

// One 8-bit destination pixel on the portable path, by the integer weighing.
template <int kChannels>
inline void remapPixel8(const Source<std::uint8_t>& s, float x, float y, bool valid,
                        std::uint8_t border, std::uint8_t* out) {
  std::size_t offset;
  std::uint32_t a, b;
  if (!placePixel8(s, kChannels, x, y, valid, &offset, &a, &b)) {
    for (int c = 0; c < kChannels; ++c) out[c] = border;
    return;
  }
  weighPixel8<kChannels>(s.pixels, stepX8(s), stepY8(s), offset, a, b, out);
}

// The weights' word of a prepared map: a in the low 16 bits, b in the high.
constexpr std::uint32_t kWeightMask = 0xFFFF;
constexpr int kLowerWeightShift = 16;

// Pixels of a prepared map on the portable path.
template <int kChannels>
void remapCompactPortable(const Source<std::uint8_t>& s, const std::int32_t* offset,
                          const std::uint32_t* weight, int count, std::uint8_t border,
                          std::uint8_t* out) {
  const std::size_t step_x = stepX8(s), step_y = stepY8(s);
  for (int i = 0; i < count; ++i, out += kChannels) {
    if (offset[i] < 0) {
      for (int c = 0; c < kChannels; ++c) out[c] = border;
    } else {
      weighPixel8<kChannels>(s.pixels, step_x, step_y, std::size_t(offset[i]),
                             weight[i] & kWeightMask, weight[i] >> kLowerWeightShift, out);
    }
  }
}

template <typename T, int kChannels>
void remapSpanPortable(const Source<T>& s, const float* x, const float* y,
                       const std::uint8_t* valid, int count, T border, T* out) {
  for (int i = 0; i < count; ++i, out += kChannels) {
    if constexpr (sizeof(T) == 1) {
      remapPixel8<kChannels>(s, x[i], y[i], valid[i] != 0, border, out);
    } else {
      remapPixel<T, kChannels>(s, x[i], y[i], valid[i] != 0, border, out);
    }
  }
}

#ifdef DRAVIK_REMAP_NEON
// Eight 8-bit destination pixels at once on Advanced SIMD, by the integer
// weighing of remapPixel8, lane for lane the portable sums: the positions
// made fixed-point and tested in vectors; gray: each row's pair of
// neighbours in one 16-bit lane, eight pixels a vector; colour: a pixel's
// row read as eight bytes (its channels and its right neighbour's), the
// channels interleaved in the lanes, weighed by the pixel's scalar weights.
template <int kChannels>
struct Neon8 {
  // Bytes read per row (gray: 2, colour: 8). The lower row's read starts
  // kBack bytes before its left neighbour, so that it ends with the right
  // neighbour, and no read passes the image (as Fixed8's).
  static constexpr int kReach = kChannels == 1 ? 2 : 8;
  static constexpr int kBack = kReach - 2 * kChannels;

  explicit Neon8(const Source<std::uint8_t>& s)
      : pixels(s.pixels),
        stride(std::ptrdiff_t(s.stride)),
        width(s.width),
        height(s.height),
        sample_stride(std::uint32_t(s.stride)) {}

  // At least 2 x 2 pixels, positions in 1/8192 pixel and offsets in 32 bits.
  static bool fits(const Source<std::uint8_t>& s) {
    constexpr int kSide = 1 << (30 - kWeightBits);
    return s.width >= 2 && s.height >= 2 && s.width <= kSide && s.height <= kSide &&
           s.bytes() < (std::size_t(1) << 31);
  }

  // Four positions in 1/8192 pixel (the conversion rounds to nearest, ties
  // to even, as the portable path does), their integer parts (clamped to
  // base) and weights; the mask of those that lie in [0, last] (NaN fails:
  // the comparison with -1 is false for it).
  static uint32x4_t place(float32x4_t p, int last, int base, uint32x4_t* whole,
                          uint32x4_t* weight) {
    const float32x4_t scaled = vmulq_n_f32(p, float(kWeightOne));
    const uint32x4_t fixed = vreinterpretq_u32_s32(vcvtnq_s32_f32(scaled));
    const uint32x4_t inside =
        vandq_u32(vandq_u32(vcgtq_f32(scaled, vdupq_n_f32(-1.0f)),
                            vcltq_f32(scaled, vdupq_n_f32(kWeightLimit))),
                  vcleq_u32(fixed, vdupq_n_u32(std::uint32_t(last) * kWeightOne)));
    *whole = vminq_u32(vshrq_n_u32(fixed, kWeightBits), vdupq_n_u32(std::uint32_t(base)));
    *weight = vsubq_u32(fixed, vshlq_n_u32(*whole, kWeightBits));
    return inside;
  }

  // False, writing nothing, where a pixel of the eight is resampled and
  // another is not: the portable path takes those eight.
  bool operator()(const float* mx, const float* my, const std::uint8_t* mv, std::uint8_t border,
                  std::uint8_t* out) const {
    alignas(16) std::int32_t offsets[8];
    alignas(16) std::uint16_t a[8], b[8];
    const uint8x8_t flags = vld1_u8(mv);
    // All ones where the flag is set.
    const int16x8_t set = vmovl_s8(vreinterpret_s8_u8(vtst_u8(flags, flags)));
    std::uint32_t kept_all = ~0u, kept_any = 0;
    for (int h = 0; h < 2; ++h) {
      uint32x4_t i, j, fa, fb;
      uint32x4_t keep = vandq_u32(place(vld1q_f32(mx + 4 * h), width - 1, width - 2, &i, &fa),
                                  place(vld1q_f32(my + 4 * h), height - 1, height - 2, &j, &fb));
      keep = vandq_u32(
          keep, vreinterpretq_u32_s32(vmovl_s16(h == 0 ? vget_low_s16(set) : vget_high_s16(set))));
      kept_all &= vminvq_u32(keep);
      kept_any |= vmaxvq_u32(keep);
      const uint32x4_t offset =
          vmlaq_n_u32(vmulq_n_u32(i, std::uint32_t(kChannels)), j, sample_stride);
      vst1q_s32(offsets + 4 * h, vreinterpretq_s32_u32(offset));
      vst1_u16(a + 4 * h, vmovn_u32(fa));
      vst1_u16(b + 4 * h, vmovn_u32(fb));
    }
    if (kept_all == 0) {
      if (kept_any != 0) return false;
      std::memset(out, border, 8 * kChannels);
      return true;
    }
    weigh(offsets, a, b, out);
    return true;
  }

  // Eight pixels of a prepared map, all resampled: their offsets and their
  // weights' words.
  void operator()(const std::int32_t* offsets, const std::uint32_t* weights,
                  std::uint8_t* out) const {
    alignas(16) std::uint16_t a[8], b[8];
    const uint16x8x2_t halves = vld2q_u16(reinterpret_cast<const std::uint16_t*>(weights));
    vst1q_u16(a, halves.val[0]);
    vst1q_u16(b, halves.val[1]);
    weigh(offsets, a, b, out);
  }

  // The two rows' weighed sums (upper, lower) weighed by b and rounded, as
  // weigh8 does.
  static uint32x4_t blendRows(uint32x4_t upper, uint32x4_t lower, uint32x4_t b) {
    const uint32x4_t step = vreinterpretq_u32_s32(
        vshrq_n_s32(vreinterpretq_s32_u32(vsubq_u32(lower, upper)), kRowShift));
    const uint32x4_t value = vmlaq_u32(vshlq_n_u32(upper, kWeightBits - kRowShift), step, b);
    return vshrq_n_u32(vaddq_u32(value, vdupq_n_u32(1u << (kValueShift - 1))), kValueShift);
  }

  // Eight pixels weighed from the top-left neighbours' offsets and the
  // weights a and b.
  void weigh(const std::int32_t* offsets, const std::uint16_t* a, const std::uint16_t* b,
             std::uint8_t* out) const {
    if constexpr (kChannels == 1) {
      // Each row's pair of neighbours, the left one in the low byte.
      std::uint16_t u[8], l[8];
      for (int k = 0; k < 8; ++k) {
        std::memcpy(&u[k], pixels + offsets[k], 2);
        std::memcpy(&l[k], pixels + stride + offsets[k], 2);
      }
      const uint16x8_t upper = vld1q_u16(u), lower = vld1q_u16(l);
      const uint16x8_t right = vld1q_u16(a);
      const uint16x8_t left = vsubq_u16(vdupq_n_u16(kWeightOne), right);
      const uint16x8_t low = vdupq_n_u16(0xFF);
      const uint16x8_t weights_b = vld1q_u16(b);
      uint16x4_t values[2];
      for (int h = 0; h < 2; ++h) {
        const auto half = [h](uint16x8_t v) { return h == 0 ? vget_low_u16(v) : vget_high_u16(v); };
        const uint32x4_t top = vmlal_u16(vmull_u16(half(vandq_u16(upper, low)), half(left)),
                                         half(vshrq_n_u16(upper, 8)), half(right));
        const uint32x4_t bottom = vmlal_u16(vmull_u16(half(vandq_u16(lower, low)), half(left)),
                                            half(vshrq_n_u16(lower, 8)), half(right));
        values[h] = vmovn_u32(blendRows(top, bottom, vmovl_u16(half(weights_b))));
      }
      vst1_u8(out, vmovn_u16(vcombine_u16(values[0], values[1])));
    } else {
      const std::uint8_t* lower_row = pixels + stride - kBack;
      for (int q = 0; q < 8; q += 4) {
        uint16x4_t values[4];
        for (int k = 0; k < 4; ++k) {
          const int p = q + k;
          const std::uint16_t right = a[p], left = std::uint16_t(kWeightOne - a[p]);
          const uint16x8_t up = vmovl_u8(vld1_u8(pixels + offsets[p]));
          const uint16x8_t down = vmovl_u8(vld1_u8(lower_row + offsets[p]));
          const uint32x4_t top = vmlal_n_u16(vmull_n_u16(vget_low_u16(up), left),
                                             vget_low_u16(vextq_u16(up, up, kChannels)), right);
          const uint32x4_t bottom =
              vmlal_n_u16(vmull_n_u16(vget_low_u16(vextq_u16(down, down, kBack)), left),
                          vget_low_u16(vextq_u16(down, down, kBack + kChannels)), right);
          values[k] = vmovn_u32(blendRows(top, bottom, vdupq_n_u32(b[p])));
        }
        const uint8x16_t bytes = vcombine_u8(vmovn_u16(vcombine_u16(values[0], values[1])),
                                             vmovn_u16(vcombine_u16(values[2], values[3])));
        std::uint8_t* o = out + q * kChannels;
        if constexpr (kChannels == 4) {
          vst1q_u8(o, bytes);
        } else {
          const std::uint8_t order[16] = {0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, 0, 0, 0, 0};
          const uint8x16_t tight = vqtbl1q_u8(bytes, vld1q_u8(order));
          vst1_u8(o, vget_low_u8(tight));
          const std::uint32_t last = vgetq_lane_u32(vreinterpretq_u32_u8(tight), 2);
          std::memcpy(o + 8, &last, 4);
        }
      }
    }
  }

  const std::uint8_t* pixels;
  std::ptrdiff_t stride;
  int width, height;
  std::uint32_t sample_stride;
};

// Four 16-bit destination pixels at once on Advanced SIMD, as remapPixel
// does one, its single-precision operations in its order: the keep test and
// the integer parts in vectors; gray: each row's pair of neighbours in one
// 32-bit lane; colour: each neighbour's channels read as four samples, the
// pixel weighed by its scalar fractions.
template <int kChannels>
struct Neon16 {
  static constexpr int kPixelBytes = 2 * kChannels;
  // Bytes read per row from the top-left neighbour's offset.
  static constexpr int kReach = kChannels == 1 ? 4 : kPixelBytes + 8;

  explicit Neon16(const Source<std::uint16_t>& s)
      : pixels(reinterpret_cast<const std::uint8_t*>(s.pixels)),
        stride(std::ptrdiff_t(s.stride)),
        last_x(float(s.width - 1)),
        last_y(float(s.height - 1)),
        base_x(float(s.width - 2)),
        base_y(float(s.height - 2)),
        sample_stride(std::uint32_t(s.stride)),
        last_offset(std::uint32_t(s.bytes() - s.stride - kReach)) {}

  static bool fits(const Source<std::uint16_t>& s) {
    return s.width >= 2 && s.height >= 2 && s.bytes() >= s.stride + kReach &&
           s.bytes() < (std::size_t(1) << 31);
  }

  // The neighbours weighed, rounded half up and made integers.
  static uint32x4_t weigh(float32x4_t p00, float32x4_t p01, float32x4_t p10, float32x4_t p11,
                          float32x4_t a, float32x4_t b) {
    const float32x4_t upper = vaddq_f32(p00, vmulq_f32(a, vsubq_f32(p01, p00)));
    const float32x4_t lower = vaddq_f32(p10, vmulq_f32(a, vsubq_f32(p11, p10)));
    const float32x4_t value =
        vaddq_f32(vaddq_f32(upper, vmulq_f32(b, vsubq_f32(lower, upper))), vdupq_n_f32(0.5f));
    return vcvtq_u32_f32(value);
  }

  // Four samples from `at` (16-bit words) as floats.
  static float32x4_t four(const std::uint8_t* at) {
    std::uint16_t s[4];
    std::memcpy(s, at, 8);
    return vcvtq_f32_u32(vmovl_u16(vld1_u16(s)));
  }

  // False, writing nothing, where a pixel's reads could pass the end of the
  // image: the portable path takes those four.
  bool operator()(const float* mx, const float* my, const std::uint8_t* mv, std::uint16_t border,
                  std::uint16_t* out) const {
    float32x4_t x = vld1q_f32(mx), y = vld1q_f32(my);
    std::uint32_t flag_bytes;
    std::memcpy(&flag_bytes, mv, 4);
    const uint32x4_t flags =
        vmovl_u16(vget_low_u16(vmovl_u8(vreinterpret_u8_u32(vdup_n_u32(flag_bytes)))));
    uint32x4_t keep = vandq_u32(vcgeq_f32(x, vdupq_n_f32(0.0f)), vcleq_f32(x, vdupq_n_f32(last_x)));
    keep = vandq_u32(keep,
                     vandq_u32(vcgeq_f32(y, vdupq_n_f32(0.0f)), vcleq_f32(y, vdupq_n_f32(last_y))));
    keep = vandq_u32(keep, vtstq_u32(flags, flags));
    // Pixels not kept read the first pixel, harmlessly.
    x = vreinterpretq_f32_u32(vandq_u32(vreinterpretq_u32_f32(x), keep));
    y = vreinterpretq_f32_u32(vandq_u32(vreinterpretq_u32_f32(y), keep));
    const float32x4_t fx = vminq_f32(vrndmq_f32(x), vdupq_n_f32(base_x));
    const float32x4_t fy = vminq_f32(vrndmq_f32(y), vdupq_n_f32(base_y));
    const float32x4_t a = vsubq_f32(x, fx), b = vsubq_f32(y, fy);
    const uint32x4_t offset =
        vmlaq_n_u32(vmulq_n_u32(vcvtq_u32_f32(fx), std::uint32_t(kPixelBytes)), vcvtq_u32_f32(fy),
                    sample_stride);
    if (vmaxvq_u32(offset) > last_offset) return false;
    alignas(16) std::uint32_t offsets[4];
    vst1q_u32(offsets, offset);
    const std::uint8_t* lower_row = pixels + stride;
    if constexpr (kChannels == 1) {
      std::uint32_t u[4], l[4];
      for (int k = 0; k < 4; ++k) {
        std::memcpy(&u[k], pixels + offsets[k], 4);
        std::memcpy(&l[k], lower_row + offsets[k], 4);
      }
      const uint32x4_t upper = vld1q_u32(u), lower = vld1q_u32(l);
      const uint32x4_t low = vdupq_n_u32(0xFFFF);
      const uint32x4_t value =
          weigh(vcvtq_f32_u32(vandq_u32(upper, low)), vcvtq_f32_u32(vshrq_n_u32(upper, 16)),
                vcvtq_f32_u32(vandq_u32(lower, low)), vcvtq_f32_u32(vshrq_n_u32(lower, 16)), a, b);
      vst1_u16(out, vmovn_u32(vbslq_u32(keep, value, vdupq_n_u32(border))));
    } else {
      alignas(16) float fa[4], fb[4];
      alignas(16) std::uint32_t kept[4];
      vst1q_f32(fa, a);
      vst1q_f32(fb, b);
      vst1q_u32(kept, keep);
      for (int k = 0; k < 4; ++k, out += kChannels) {
        const std::uint8_t* p = pixels + offsets[k];
        const std::uint8_t* q = lower_row + offsets[k];
        const uint32x4_t value =
            weigh(four(p), four(p + kPixelBytes), four(q), four(q + kPixelBytes),
                  vdupq_n_f32(fa[k]), vdupq_n_f32(fb[k]));
        std::uint16_t samples[4];
        vst1_u16(samples, vmovn_u32(kept[k] != 0 ? value : vdupq_n_u32(border)));
        std::memcpy(out, samples, kPixelBytes);
      }
    }
    return true;
  }

  const std::uint8_t* pixels;
  std::ptrdiff_t stride;
  float last_x, last_y, base_x, base_y;
  std::uint32_t sample_stride, last_offset;
};

// The pixels of a float map, eight 8-bit or four 16-bit ones at a time, on
// Advanced SIMD.
template <typename T, int kChannels>
void remapSpanNeon(const Source<T>& s, const float* x, const float* y, const std::uint8_t* valid,
                   int count, T border, T* out) {
  using Kernel = std::conditional_t<sizeof(T) == 1, Neon8<kChannels>, Neon16<kChannels>>;
  constexpr int kStep = sizeof(T) == 1 ? 8 : 4;
  int i = 0;
  if (Kernel::fits(s)) {
    const Kernel remap(s);
    for (; i + kStep <= count; i += kStep) {
      T* o = out + std::size_t(i) * kChannels;
      if (!remap(x + i, y + i, valid + i, border, o)) {
        remapSpanPortable<T, kChannels>(s, x + i, y + i, valid + i, kStep, border, o);
      }
    }
  }
  remapSpanPortable<T, kChannels>(s, x + i, y + i, valid + i, count - i, border,
                                  out + std::size_t(i) * kChannels);
}

// Pixels of a prepared map, eight at a time where all eight are resampled,
// on Advanced SIMD.
template <int kChannels>
void remapCompactNeon(const Source<std::uint8_t>& s, const std::int32_t* offset,
                      const std::uint32_t* weight, int count, std::uint8_t border,
                      std::uint8_t* out) {
  int i = 0;
  if (Neon8<kChannels>::fits(s)) {
    const Neon8<kChannels> remap8(s);
    for (; i + 8 <= count; i += 8) {
      std::uint8_t* o = out + std::size_t(i) * kChannels;
      const int32x4_t low = vld1q_s32(offset + i), high = vld1q_s32(offset + i + 4);
      const std::int32_t least = std::min(vminvq_s32(low), vminvq_s32(high));
      const std::int32_t most = std::max(vmaxvq_s32(low), vmaxvq_s32(high));
      if (least >= 0) {
        remap8(offset + i, weight + i, o);
      } else if (most < 0) {
        std::memset(o, border, 8 * kChannels);
      } else {
        remapCompactPortable<kChannels>(s, offset + i, weight + i, 8, border, o);
      }
    }
  }
  remapCompactPortable<kChannels>(s, offset + i, weight + i, count - i, border,
                                  out + std::size_t(i) * kChannels);
}
#endif

#ifdef DRAVIK_REMAP_AVX2
#define DRAVIK_AVX2 __attribute__((target("avx2"), always_inline)) inline

// Four 3-byte pixels in the low 12 bytes of each half of `pixels`, written
// as 24 bytes to out, nothing beyond: 16 bytes for the first half (the
// second overwrites the last four), 8 + 4 for the second.
__attribute__((target("avx2"), always_inline)) inline void storeTwelvePerHalf(__m256i pixels,
                                                                              std::uint8_t* out) {
  const __m128i second = _mm256_extracti128_si256(pixels, 1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(pixels));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 12), second);
  const int last = _mm_extract_epi32(second, 2);
  std::memcpy(out + 20, &last, 4);
}

// A frame's rows come from memory as the map's curves first reach them, and
// waiting for those reads took most of the vector loops' time. The next
// output rows read the source rows just below the current ones, so each
// eight pixels ask early for the line kPrefetchRows rows below their first
// pixel's neighbourhood: when the curves get there, it is in the cache.
// Measured: from 3 rows on the gain is flat, on gray and colour alike; one
// request per eight pixels is enough, and asking further along the same
// rows as well adds nothing.
constexpr int kPrefetchRows = 6;

// The request for the line kPrefetchRows rows below the byte `offset` of
// `pixels`, where that lies in the image's `bytes`.
DRAVIK_AVX2 void prefetchRowsBelow(const std::uint8_t* pixels, std::ptrdiff_t stride,
                                   std::ptrdiff_t bytes, std::ptrdiff_t offset) {
  const std::ptrdiff_t ahead = offset + kPrefetchRows * stride;
  if (ahead < bytes) _mm_prefetch(reinterpret_cast<const char*>(pixels + ahead), _MM_HINT_T0);
}

// Eight 16-bit destination pixels at once, as remapPixel does one: the keep
// test and the integer parts in vectors, the weighing in single precision
// in the portable order. Gray: a 32-bit read per row holds a pixel and its
// right neighbour, eight such reads put in one register. Colour: a 16-byte
// read per row holds a pixel's channels and its right neighbour's, two
// pixels to a register (one a half), the channels kept interleaved: each
// neighbour's samples shuffled to 32-bit lanes, weighed, and packed back in
// the pixels' order.
template <int kChannels>
struct Vector16 {
  static constexpr int kPixelBytes = 2 * kChannels;
  // Bytes read per row from the top-left neighbour's offset.
  static constexpr int kReach = kChannels == 1 ? 4 : 16;

  __attribute__((target("avx2"))) explicit Vector16(const Source<std::uint16_t>& s)
      : pixels(reinterpret_cast<const std::uint8_t*>(s.pixels)),
        stride(std::ptrdiff_t(s.stride)),
        bytes(std::ptrdiff_t(s.bytes())),
        last_x(_mm256_set1_ps(float(s.width - 1))),
        last_y(_mm256_set1_ps(float(s.height - 1))),
        base_x(_mm256_set1_ps(float(s.width - 2))),
        base_y(_mm256_set1_ps(float(s.height - 2))),
        stride8(_mm256_set1_epi32(int(s.stride))),
        last_offset(_mm256_set1_epi32(int(s.bytes() - s.stride - kReach))) {}

  // The width and height (at least 2, for the paired and lower reads) and
  // the size (offsets in 32 bits) the vector form needs.
  static bool fits(const Source<std::uint16_t>& s) {
    return s.width >= 2 && s.height >= 2 && s.bytes() >= s.stride + kReach &&
           s.bytes() < (std::size_t(1) << 31);
  }

  // The 32-bit words at the eight offsets from `from`: scalar reads put in
  // place, faster than the gather instruction on the processors measured.
  DRAVIK_AVX2 static __m256i gather(const std::uint8_t* from, const int* offsets) {
    int w[8];
    for (int k = 0; k < 8; ++k) std::memcpy(&w[k], from + offsets[k], 4);
    return _mm256_setr_epi32(w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7]);
  }

  // The 16 bytes at from + first in the low half, at from + second in the
  // high one.
  DRAVIK_AVX2 static __m256i twoReads(const std::uint8_t* from, int first, int second) {
    const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + first));
    const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + second));
    return _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
  }

  // The four neighbours weighed as remapPixel weighs them, rounded half up
  // and made integers; `border` where keep is not set.
  DRAVIK_AVX2 static __m256i weigh(__m256 p00, __m256 p01, __m256 p10, __m256 p11, __m256 a,
                                   __m256 b, __m256i keep, std::uint16_t border) {
    const __m256 upper = _mm256_add_ps(p00, _mm256_mul_ps(a, _mm256_sub_ps(p01, p00)));
    const __m256 lower = _mm256_add_ps(p10, _mm256_mul_ps(a, _mm256_sub_ps(p11, p10)));
    const __m256 value = _mm256_add_ps(
        _mm256_add_ps(upper, _mm256_mul_ps(b, _mm256_sub_ps(lower, upper))), _mm256_set1_ps(0.5f));
    return _mm256_blendv_epi8(_mm256_set1_epi32(border), _mm256_cvttps_epi32(value), keep);
  }

  // The 16-bit samples of `words` picked by the byte shuffle `pick`, as floats.
  DRAVIK_AVX2 static __m256 samples(__m256i words, __m256i pick) {
    return _mm256_cvtepi32_ps(_mm256_shuffle_epi8(words, pick));
  }

  // False, writing nothing, where a pixel's reads could pass the end of the
  // image: the portable path takes those eight.
  DRAVIK_AVX2 bool operator()(const float* mx, const float* my, const std::uint8_t* mv,
                              std::uint16_t border, std::uint16_t* out) const {
    const __m256 zero = _mm256_setzero_ps();
    __m256 x = _mm256_loadu_ps(mx), y = _mm256_loadu_ps(my);
    std::int64_t valid8;
    std::memcpy(&valid8, mv, 8);
    const __m256i flags = _mm256_cvtepu8_epi32(_mm_cvtsi64_si128(valid8));
    __m256 inside =
        _mm256_and_ps(_mm256_cmp_ps(x, zero, _CMP_GE_OQ), _mm256_cmp_ps(x, last_x, _CMP_LE_OQ));
    inside = _mm256_and_ps(inside, _mm256_cmp_ps(y, zero, _CMP_GE_OQ));
    inside = _mm256_and_ps(inside, _mm256_cmp_ps(y, last_y, _CMP_LE_OQ));
    const __m256i keep = _mm256_andnot_si256(_mm256_cmpeq_epi32(flags, _mm256_setzero_si256()),
                                             _mm256_castps_si256(inside));
    // Pixels not kept read the first pixel, harmlessly.
    x = _mm256_and_ps(x, _mm256_castsi256_ps(keep));
    y = _mm256_and_ps(y, _mm256_castsi256_ps(keep));
    const __m256 fx = _mm256_min_ps(_mm256_floor_ps(x), base_x);
    const __m256 fy = _mm256_min_ps(_mm256_floor_ps(y), base_y);
    const __m256 a = _mm256_sub_ps(x, fx), b = _mm256_sub_ps(y, fy);
    const __m256i column = _mm256_cvttps_epi32(fx), row = _mm256_cvttps_epi32(fy);
    const __m256i offset =
        _mm256_add_epi32(_mm256_mullo_epi32(row, stride8),
                         _mm256_mullo_epi32(column, _mm256_set1_epi32(kPixelBytes)));
    if (_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpgt_epi32(offset, last_offset))) != 0) {
      return false;
    }
    alignas(32) int offsets[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(offsets), offset);
    prefetchRowsBelow(pixels, stride, bytes, offsets[0]);
    const std::uint8_t* lower_row = pixels + stride;
    if constexpr (kChannels == 1) {
      const __m256i upper = gather(pixels, offsets), lower = gather(lower_row, offsets);
      const __m256i low = _mm256_set1_epi32(0xffff);
      const __m256i value =
          weigh(_mm256_cvtepi32_ps(_mm256_and_si256(upper, low)),
                _mm256_cvtepi32_ps(_mm256_srli_epi32(upper, 16)),
                _mm256_cvtepi32_ps(_mm256_and_si256(lower, low)),
                _mm256_cvtepi32_ps(_mm256_srli_epi32(lower, 16)), a, b, keep, border);
      _mm_storeu_si128(
          reinterpret_cast<__m128i*>(out),
          _mm_packus_epi32(_mm256_castsi256_si128(value), _mm256_extracti128_si256(value, 1)));
    } else {
      // A pixel's samples to lanes 0 to kChannels - 1 of 32 bits (its right
      // neighbour's from kPixelBytes on), the lanes left zero.
      alignas(32) char pick[2][32];
      for (int n = 0; n < 2; ++n) {
        for (int k = 0; k < 32; ++k) {
          const int lane = k % 16 / 4, byte = k % 4;
          pick[n][k] =
              lane < kChannels && byte < 2 ? char(n * kPixelBytes + 2 * lane + byte) : char(-1);
        }
      }
      const __m256i left = _mm256_load_si256(reinterpret_cast<const __m256i*>(pick[0]));
      const __m256i right = _mm256_load_si256(reinterpret_cast<const __m256i*>(pick[1]));
      __m256i pairs[4];
      for (int k = 0; k < 4; ++k) {
        const int p = 2 * k;
        const __m256i spread = _mm256_setr_epi32(p, p, p, p, p + 1, p + 1, p + 1, p + 1);
        const __m256i upper = twoReads(pixels, offsets[p], offsets[p + 1]);
        const __m256i lower = twoReads(lower_row, offsets[p], offsets[p + 1]);
        pairs[k] = weigh(samples(upper, left), samples(upper, right), samples(lower, left),
                         samples(lower, right), _mm256_permutevar8x32_ps(a, spread),
                         _mm256_permutevar8x32_ps(b, spread),
                         _mm256_permutevar8x32_epi32(keep, spread), border);
      }
      // Packed, each 64-bit word a pixel, put back in the pixels' order.
      const __m256i first = _mm256_permute4x64_epi64(_mm256_packus_epi32(pairs[0], pairs[1]), 0xD8);
      const __m256i second =
          _mm256_permute4x64_epi64(_mm256_packus_epi32(pairs[2], pairs[3]), 0xD8);
      if constexpr (kChannels == 4) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), first);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 16), second);
      } else {
        // Each half's two 6-byte pixels to its low 12 bytes.
        const char z = char(-1);
        const __m256i tight = _mm256_setr_epi8(0, 1, 2, 3, 4, 5, 8, 9, 10, 11, 12, 13, z, z, z, z,
                                               0, 1, 2, 3, 4, 5, 8, 9, 10, 11, 12, 13, z, z, z, z);
        std::uint8_t* bytes = reinterpret_cast<std::uint8_t*>(out);
        storeTwelvePerHalf(_mm256_shuffle_epi8(first, tight), bytes);
        storeTwelvePerHalf(_mm256_shuffle_epi8(second, tight), bytes + 24);
      }
    }
    return true;
  }

  const std::uint8_t* pixels;
  std::ptrdiff_t stride, bytes;
  __m256 last_x, last_y, base_x, base_y;
  __m256i stride8, last_offset;
};

// Eight 8-bit destination pixels at once, by the integer weighing of
// remapPixel8: the positions made fixed-point and tested in vectors, the
// neighbours gathered by scalar reads at byte offsets (gray: a 32-bit read
// per row holds a pixel and its right neighbour; colour: a 64-bit one), each
// row's pair of samples weighed by one multiply-add of 16-bit lanes, the two
// rows by a 32-bit multiply.
template <int kChannels>
struct Fixed8 {
  // Bytes read per row (gray: 4, colour: 8). The lower row's read starts
  // kBack bytes before its left neighbour, so that it ends with the right
  // neighbour, and no read passes the image: the upper row's ends at most
  // kBack bytes after the end of a row that is not the last.
  static constexpr int kReach = kChannels == 1 ? 4 : 8;
  static constexpr int kBack = kReach - 2 * kChannels;

  __attribute__((target("avx2"))) explicit Fixed8(const Source<std::uint8_t>& s)
      : pixels(s.pixels),
        stride(std::ptrdiff_t(s.stride)),
        bytes(std::ptrdiff_t(s.bytes())),
        limit_x(_mm256_set1_epi32((s.width - 1) * kWeightOne)),
        limit_y(_mm256_set1_epi32((s.height - 1) * kWeightOne)),
        base_x(_mm256_set1_epi32(s.width - 2)),
        base_y(_mm256_set1_epi32(s.height - 2)),
        stride8(_mm256_set1_epi32(int(s.stride))),
        upper01(pairs(0, 0)),
        upper23(kChannels == 3 ? thirdPairs(0, false) : pairs(2, 0)),
        lower01(pairs(0, kBack)),
        lower23(kChannels == 3 ? thirdPairs(kBack, false) : pairs(2, kBack)),
        upper2_high(thirdPairs(0, true)),
        lower2_high(thirdPairs(kBack, true)) {}

  // At least 2 x 2 pixels (for the paired and lower reads), positions in
  // 1/8192 pixel and offsets in 32 bits.
  static bool fits(const Source<std::uint8_t>& s) {
    constexpr int kSide = 1 << (30 - kWeightBits);
    return s.width >= 2 && s.height >= 2 && s.width <= kSide && s.height <= kSide &&
           s.bytes() < (std::size_t(1) << 31);
  }

  // A shuffle of each 128-bit half that takes, from every `word`-byte word
  // read at byte `at` of it, the (left, right) pairs of channels c and c + 1
  // (gray: channel c alone) into 16-bit lanes of 32-bit lanes.
  __attribute__((target("avx2"))) static __m256i pairs(int c, int at) {
    alignas(32) char pick[32];
    for (int lane = 0; lane < 8; ++lane) {
      // Gray: one word a lane; colour: one word per two lanes.
      const int word = kChannels == 1 ? lane % 4 * 4 : lane % 4 / 2 * 8;
      const int channel = kChannels == 1 ? c : c + lane % 2;
      char* out = pick + 4 * lane;
      out[0] = char(word + at + channel);
      out[2] = char(word + at + kChannels + channel);
      out[1] = out[3] = char(-1);
    }
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(pick));
  }

  // Three channels: a shuffle of each half that takes channel 2's (left,
  // right) pair of its two 64-bit words (read at byte `at` of each) into
  // 32-bit lanes 0 and 1 (`high` false) or 2 and 3, zeros elsewhere.
  __attribute__((target("avx2"))) static __m256i thirdPairs(int at, bool high) {
    alignas(32) char pick[32];
    for (int lane = 0; lane < 8; ++lane) {
      const int h = lane % 4, word = (high ? h - 2 : h) * 8;
      const bool used = high ? h >= 2 : h < 2;
      char* out = pick + 4 * lane;
      out[0] = used ? char(word + at + 2) : char(-1);
      out[2] = used ? char(word + at + 5) : char(-1);
      out[1] = out[3] = char(-1);
    }
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(pick));
  }

  // The two rows' weighed pairs (upper, lower) weighed by b and rounded.
  DRAVIK_AVX2 static __m256i blendRows(__m256i upper, __m256i lower, __m256i b) {
    const __m256i step = _mm256_srai_epi32(_mm256_sub_epi32(lower, upper), kRowShift);
    const __m256i value = _mm256_add_epi32(_mm256_slli_epi32(upper, kWeightBits - kRowShift),
                                           _mm256_mullo_epi32(step, b));
    return _mm256_srli_epi32(_mm256_add_epi32(value, _mm256_set1_epi32(1 << (kValueShift - 1))),
                             kValueShift);
  }

  // The 64-bit words at the offsets of pixels k0, k1, k2, k3.
  DRAVIK_AVX2 static __m256i quads(const std::uint8_t* from, const int* offsets, int k0, int k1,
                                   int k2, int k3) {
    std::int64_t q[4];
    std::memcpy(&q[0], from + offsets[k0], 8);
    std::memcpy(&q[1], from + offsets[k1], 8);
    std::memcpy(&q[2], from + offsets[k2], 8);
    std::memcpy(&q[3], from + offsets[k3], 8);
    return _mm256_setr_epi64x(q[0], q[1], q[2], q[3]);
  }

  // False, writing nothing, where a pixel of the eight is resampled and
  // another is not: the portable path takes those eight.
  DRAVIK_AVX2 bool operator()(const float* mx, const float* my, const std::uint8_t* mv,
                              std::uint8_t border, std::uint8_t* out) const {
    const __m256 scale = _mm256_set1_ps(float(kWeightOne));
    const __m256i x = _mm256_cvtps_epi32(_mm256_mul_ps(_mm256_loadu_ps(mx), scale));
    const __m256i y = _mm256_cvtps_epi32(_mm256_mul_ps(_mm256_loadu_ps(my), scale));
    // Unsigned, so that a negative position (and the conversion's value for
    // NaN and for the out-of-range) fails.
    __m256i keep = _mm256_and_si256(_mm256_cmpeq_epi32(_mm256_min_epu32(x, limit_x), x),
                                    _mm256_cmpeq_epi32(_mm256_min_epu32(y, limit_y), y));
    std::uint64_t valid8;
    std::memcpy(&valid8, mv, 8);
    constexpr std::uint64_t kOnes = 0x0101010101010101ull;
    if (((valid8 - kOnes) & ~valid8 & (kOnes << 7)) != 0) {  // a flag is 0
      const __m256i flags = _mm256_cvtepu8_epi32(_mm_cvtsi64_si128(std::int64_t(valid8)));
      keep = _mm256_andnot_si256(_mm256_cmpeq_epi32(flags, _mm256_setzero_si256()), keep);
    }
    const int kept = _mm256_movemask_ps(_mm256_castsi256_ps(keep));
    if (kept != 0xFF) {
      if (kept != 0) return false;
      std::memset(out, border, 8 * kChannels);
      return true;
    }
    const __m256i i = _mm256_min_epi32(_mm256_srai_epi32(x, kWeightBits), base_x);
    const __m256i j = _mm256_min_epi32(_mm256_srai_epi32(y, kWeightBits), base_y);
    // The weights (8192 - a, a) in the low and high 16 bits: 65535 a + 8192.
    const __m256i a =
        _mm256_add_epi32(_mm256_mullo_epi32(_mm256_sub_epi32(x, _mm256_slli_epi32(i, kWeightBits)),
                                            _mm256_set1_epi32(65535)),
                         _mm256_set1_epi32(kWeightOne));
    const __m256i b = _mm256_sub_epi32(y, _mm256_slli_epi32(j, kWeightBits));
    const __m256i offset =
        _mm256_add_epi32(_mm256_mullo_epi32(j, stride8),
                         kChannels == 1 ? i : _mm256_mullo_epi32(i, _mm256_set1_epi32(kChannels)));
    alignas(32) int offsets[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(offsets), offset);
    weigh(offsets, a, b, out);
    return true;
  }

  // Eight pixels of a prepared map, all resampled: their offsets and their
  // weights' words.
  DRAVIK_AVX2 void operator()(const std::int32_t* offsets, const std::uint32_t* weights,
                              std::uint8_t* out) const {
    const __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(weights));
    const __m256i low = _mm256_and_si256(w, _mm256_set1_epi32(int(kWeightMask)));
    const __m256i a = _mm256_or_si256(_mm256_sub_epi32(_mm256_set1_epi32(kWeightOne), low),
                                      _mm256_slli_epi32(low, 16));
    weigh(offsets, a, _mm256_srli_epi32(w, kLowerWeightShift), out);
  }

  // Eight pixels weighed from the top-left neighbours' offsets, the pairs of
  // weights (8192 - a, a) in the low and high 16 bits and the weights b.
  DRAVIK_AVX2 void weigh(const int* offsets, __m256i a, __m256i b, std::uint8_t* out) const {
    prefetchRowsBelow(pixels, stride, bytes, offsets[0]);
    const std::uint8_t* lower_row = pixels + stride - kBack;
    if constexpr (kChannels == 1) {
      const __m256i upper =
          _mm256_madd_epi16(_mm256_shuffle_epi8(gather(pixels, offsets), upper01), a);
      const __m256i lower =
          _mm256_madd_epi16(_mm256_shuffle_epi8(gather(lower_row, offsets), lower01), a);
      const __m256i value = blendRows(upper, lower, b);
      const __m128i words =
          _mm_packus_epi32(_mm256_castsi256_si128(value), _mm256_extracti128_si256(value, 1));
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(words, words));
    } else {
      // Pixels 0, 1, 4, 5 in the first register and 2, 3, 6, 7 in the
      // second, so that the packing below puts pixels 0 to 3 in the low
      // half and 4 to 7 in the high one. Each 64-bit word holds a pixel's
      // channels and then its right neighbour's: shuffled to two lanes of
      // (left, right) pairs, channels 0 and 1, and channels 2 and 3; for
      // three channels, channel 2 of both registers into one, its lanes in
      // the pixels' order.
      const __m256i dup_low = _mm256_setr_epi32(0, 0, 1, 1, 4, 4, 5, 5);
      const __m256i dup_high = _mm256_setr_epi32(2, 2, 3, 3, 6, 6, 7, 7);
      const __m256i a_low = _mm256_permutevar8x32_epi32(a, dup_low);
      const __m256i a_high = _mm256_permutevar8x32_epi32(a, dup_high);
      __m256i rows[2][4];
      for (int r = 0; r < 2; ++r) {
        const std::uint8_t* from = r == 0 ? pixels : lower_row;
        const __m256i pick01 = r == 0 ? upper01 : lower01;
        const __m256i pick23 = r == 0 ? upper23 : lower23;
        const __m256i low = quads(from, offsets, 0, 1, 4, 5);
        const __m256i high = quads(from, offsets, 2, 3, 6, 7);
        rows[r][0] = _mm256_madd_epi16(_mm256_shuffle_epi8(low, pick01), a_low);
        rows[r][1] = _mm256_madd_epi16(_mm256_shuffle_epi8(high, pick01), a_high);
        if constexpr (kChannels == 3) {
          const __m256i third =
              _mm256_or_si256(_mm256_shuffle_epi8(low, pick23),
                              _mm256_shuffle_epi8(high, r == 0 ? upper2_high : lower2_high));
          rows[r][2] = _mm256_madd_epi16(third, a);
        } else {
          rows[r][2] = _mm256_madd_epi16(_mm256_shuffle_epi8(low, pick23), a_low);
          rows[r][3] = _mm256_madd_epi16(_mm256_shuffle_epi8(high, pick23), a_high);
        }
      }
      const __m256i b_low = _mm256_permutevar8x32_epi32(b, dup_low);
      const __m256i b_high = _mm256_permutevar8x32_epi32(b, dup_high);
      // Per half: channels 0 and 1 of pixels 0 to 3, then channels 2 and 3
      // (three channels: channel 2 twice).
      const __m256i first = _mm256_packus_epi32(blendRows(rows[0][0], rows[1][0], b_low),
                                                blendRows(rows[0][1], rows[1][1], b_high));
      __m256i second;
      if constexpr (kChannels == 3) {
        const __m256i third = blendRows(rows[0][2], rows[1][2], b);
        second = _mm256_packus_epi32(third, third);
      } else {
        second = _mm256_packus_epi32(blendRows(rows[0][2], rows[1][2], b_low),
                                     blendRows(rows[0][3], rows[1][3], b_high));
      }
      const __m256i bytes = _mm256_packus_epi16(first, second);
      const char z = char(-1);
      if constexpr (kChannels == 4) {
        const __m256i order =
            _mm256_setr_epi8(0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15, 0, 1, 8, 9, 2, 3,
                             10, 11, 4, 5, 12, 13, 6, 7, 14, 15);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_shuffle_epi8(bytes, order));
      } else {
        const __m256i order = _mm256_setr_epi8(0, 1, 8, 2, 3, 9, 4, 5, 10, 6, 7, 11, z, z, z, z, 0,
                                               1, 8, 2, 3, 9, 4, 5, 10, 6, 7, 11, z, z, z, z);
        storeTwelvePerHalf(_mm256_shuffle_epi8(bytes, order), out);
      }
    }
  }

  // The 32-bit words at the eight offsets from `from`.
  DRAVIK_AVX2 static __m256i gather(const std::uint8_t* from, const int* offsets) {
    int w[8];
    for (int k = 0; k < 8; ++k) std::memcpy(&w[k], from + offsets[k], 4);
    return _mm256_setr_epi32(w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7]);
  }

  const std::uint8_t* pixels;
  std::ptrdiff_t stride, bytes;
  __m256i limit_x, limit_y, base_x, base_y, stride8;
  // The shuffles of pairs(): channels 0 and 1 and channels 2 and 3 of the
  // upper and the lower row's reads.
  __m256i upper01, upper23, lower01, lower23;
  // Three channels: the shuffles of thirdPairs() for the second register.
  __m256i upper2_high, lower2_high;
};

template <typename T, int kChannels>
__attribute__((target("avx2"))) void remapSpanVector(const Source<T>& s, const float* x,
                                                     const float* y, const std::uint8_t* valid,
                                                     int count, T border, T* out) {
  using Kernel = std::conditional_t<sizeof(T) == 1, Fixed8<kChannels>, Vector16<kChannels>>;
  int i = 0;
  if (Kernel::fits(s)) {
    const Kernel remap8(s);
    for (; i + 8 <= count; i += 8) {
      T* o = out + std::size_t(i) * kChannels;
      if (!remap8(x + i, y + i, valid + i, border, o)) {
        remapSpanPortable<T, kChannels>(s, x + i, y + i, valid + i, 8, border, o);
      }
    }
  }
  remapSpanPortable<T, kChannels>(s, x + i, y + i, valid + i, count - i, border,
                                  out + std::size_t(i) * kChannels);
}

// Pixels of a prepared map, eight at a time where all eight are resampled.
template <int kChannels>
__attribute__((target("avx2"))) void remapCompactVector(const Source<std::uint8_t>& s,
                                                        const std::int32_t* offset,
                                                        const std::uint32_t* weight, int count,
                                                        std::uint8_t border, std::uint8_t* out) {
  int i = 0;
  if (Fixed8<kChannels>::fits(s)) {
    const Fixed8<kChannels> remap8(s);
    for (; i + 8 <= count; i += 8) {
      std::uint8_t* o = out + std::size_t(i) * kChannels;
      const __m256i eight = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(offset + i));
      const int bordered = _mm256_movemask_ps(_mm256_castsi256_ps(eight));
      if (bordered == 0) {
        remap8(offset + i, weight + i, o);
      } else if (bordered == 0xFF) {
        std::memset(o, border, 8 * kChannels);
      } else {
        remapCompactPortable<kChannels>(s, offset + i, weight + i, 8, border, o);
      }
    }
  }
  // The upper halves cleared before the scalar code (the compiler does not
  // here), so that the caller's SSE code pays no transition.
  _mm256_zeroupper();
  remapCompactPortable<kChannels>(s, offset + i, weight + i, count - i, border,
                                  out + std::size_t(i) * kChannels);
}
#endif

// The rows [begin, end) of the map resampled on the chosen path.
template <typename T, int kChannels>
void remapRows(RemapPath path, const Source<T>& s, const UndistortionMapView& map, T* dst,
               std::size_t dst_stride, T border, int begin, int end) {
  auto span = &remapSpanPortable<T, kChannels>;
  const bool vector = path == RemapPath::kVector && remapHasVectorForm();
#if defined(DRAVIK_REMAP_AVX2)
  if (vector) span = &remapSpanVector<T, kChannels>;
#elif defined(DRAVIK_REMAP_NEON)
  if (vector) span = &remapSpanNeon<T, kChannels>;
#endif
  (void)vector;
  for (int v = begin; v < end; ++v) {
    const std::size_t row = std::size_t(v) * map.width;
    T* out =
        reinterpret_cast<T*>(reinterpret_cast<std::uint8_t*>(dst) + std::size_t(v) * dst_stride);
    span(s, map.x + row, map.y + row, map.valid + row, map.width, border, out);
  }
}

// The source's size against the map's record (none: 0 x 0), its channels
// and stride, and the destination's stride for a map `width` pixels wide.
bool checkSourceLayout(int src_width, int src_height, int channels, std::size_t src_stride,
                       std::size_t sample_bytes, int width, int recorded_width, int recorded_height,
                       std::size_t dst_stride) {
  const bool recorded = recorded_width != 0 || recorded_height != 0;
  if (recorded && (recorded_width != src_width || recorded_height != src_height)) {
    DRAVIK_LOG(2, kUndistortionTag)
        << "The source image is " << src_width << " x " << src_height << ", the map was built for "
        << recorded_width << " x " << recorded_height;
    return false;
  }
  const std::size_t pixel_bytes = std::size_t(channels) * sample_bytes;
  if ((channels != 1 && channels != 3 && channels != 4) || src_stride < src_width * pixel_bytes ||
      dst_stride < width * pixel_bytes || src_stride % sample_bytes != 0 ||
      dst_stride % sample_bytes != 0 ||
      src_stride * std::size_t(src_height) > (std::size_t(1) << 31)) {
    DRAVIK_LOG(2, kUndistortionTag)
        << channels << " channels (1, 3 or 4 resample), or strides " << src_stride << " and "
        << dst_stride << " too short, too long or not whole samples";
    return false;
  }
  return true;
}

bool checkThreads(int threads) {
  if (threads < 0) {
    DRAVIK_LOG(2, kUndistortionTag) << "A thread count of " << threads << " (0: every core)";
    return false;
  }
  return true;
}

int threadParts(int threads) {
  return threads == 0 ? everyCoreThreadCount() : std::min(threads, 256);
}

template <typename T>
bool remapChecked(RemapPath path, const T* src, int src_width, int src_height, int channels,
                  std::size_t src_stride, const UndistortionMapView& map, T* dst,
                  std::size_t dst_stride, T border, int threads) {
  if (!checkImageSize(src_width, src_height, "source image") ||
      !checkImageSize(map.width, map.height, "map")) {
    return false;
  }
  if (map.x == nullptr || map.y == nullptr || map.valid == nullptr || src == nullptr ||
      dst == nullptr) {
    DRAVIK_LOG(2, kUndistortionTag) << "The map's arrays or the images are not given";
    return false;
  }
  if (!checkSourceLayout(src_width, src_height, channels, src_stride, sizeof(T), map.width,
                         map.source_width, map.source_height, dst_stride) ||
      !checkThreads(threads)) {
    return false;
  }
  const Source<T> source{src, src_width, src_height, channels, src_stride};
  forRowRanges(map.height, threadParts(threads), [&](int begin, int end) {
    switch (channels) {
      case 1:
        remapRows<T, 1>(path, source, map, dst, dst_stride, border, begin, end);
        break;
      case 3:
        remapRows<T, 3>(path, source, map, dst, dst_stride, border, begin, end);
        break;
      default:
        remapRows<T, 4>(path, source, map, dst, dst_stride, border, begin, end);
        break;
    }
  });
  return true;
}

// The rows [begin, end) of a prepared map resampled on the chosen path.
template <int kChannels>
void remapCompactRows(RemapPath path, const Source<std::uint8_t>& s, const std::int32_t* offset,
                      const std::uint32_t* weight, int width, std::uint8_t* dst,
                      std::size_t dst_stride, std::uint8_t border, int begin, int end) {
  auto span = &remapCompactPortable<kChannels>;
  const bool vector = path == RemapPath::kVector && remapHasVectorForm();
#if defined(DRAVIK_REMAP_AVX2)
  if (vector) span = &remapCompactVector<kChannels>;
#elif defined(DRAVIK_REMAP_NEON)
  if (vector) span = &remapCompactNeon<kChannels>;
#endif
  (void)vector;
  for (int v = begin; v < end; ++v) {
    const std::size_t row = std::size_t(v) * width;
    span(s, offset + row, weight + row, width, border, dst + std::size_t(v) * dst_stride);
  }
}

// The view of a map the library owns, checked first.
template <typename T>
bool remapOwned(const T* src, int src_width, int src_height, int channels, std::size_t src_stride,
                const UndistortionMap& map, T* dst, std::size_t dst_stride, T border, int threads) {
  if (!checkMap(map)) return false;
  const UndistortionMapView view{map.width,    map.height,   map.source_width, map.source_height,
                                 map.x.data(), map.y.data(), map.valid.data()};
  return remapChecked(RemapPath::kVector, src, src_width, src_height, channels, src_stride, view,
                      dst, dst_stride, border, threads);
}

}  // namespace

bool remapHasVectorForm() {
#if defined(DRAVIK_REMAP_AVX2)
  return vectorPaths().wide;
#elif defined(DRAVIK_REMAP_NEON)
  // Every 64-bit ARM processor has Advanced SIMD: the vector form unless the
  // process runs the baseline.
  return std::strcmp(vectorPaths().name, "baseline") != 0;
#else
  return false;
#endif
}

bool remapImageOnPath(RemapPath path, const std::uint8_t* src, int src_width, int src_height,
                      int channels, std::size_t src_stride, const UndistortionMapView& map,
                      std::uint8_t* dst, std::size_t dst_stride, std::uint8_t border, int threads) {
  return remapChecked(path, src, src_width, src_height, channels, src_stride, map, dst, dst_stride,
                      border, threads);
}

bool remapImageOnPath(RemapPath path, const std::uint16_t* src, int src_width, int src_height,
                      int channels, std::size_t src_stride, const UndistortionMapView& map,
                      std::uint16_t* dst, std::size_t dst_stride, std::uint16_t border,
                      int threads) {
  return remapChecked(path, src, src_width, src_height, channels, src_stride, map, dst, dst_stride,
                      border, threads);
}

bool remapImage(const std::uint8_t* src, int src_width, int src_height, int channels,
                std::size_t src_stride, const UndistortionMapView& map, std::uint8_t* dst,
                std::size_t dst_stride, std::uint8_t border, int threads) {
  return remapChecked(RemapPath::kVector, src, src_width, src_height, channels, src_stride, map,
                      dst, dst_stride, border, threads);
}

bool remapImage(const std::uint8_t* src, int src_width, int src_height, int channels,
                std::size_t src_stride, const UndistortionMap& map, std::uint8_t* dst,
                std::size_t dst_stride, std::uint8_t border, int threads) {
  return remapOwned(src, src_width, src_height, channels, src_stride, map, dst, dst_stride, border,
                    threads);
}

bool remapImage(const std::uint16_t* src, int src_width, int src_height, int channels,
                std::size_t src_stride, const UndistortionMapView& map, std::uint16_t* dst,
                std::size_t dst_stride, std::uint16_t border, int threads) {
  return remapChecked(RemapPath::kVector, src, src_width, src_height, channels, src_stride, map,
                      dst, dst_stride, border, threads);
}

bool remapImage(const std::uint16_t* src, int src_width, int src_height, int channels,
                std::size_t src_stride, const UndistortionMap& map, std::uint16_t* dst,
                std::size_t dst_stride, std::uint16_t border, int threads) {
  return remapOwned(src, src_width, src_height, channels, src_stride, map, dst, dst_stride, border,
                    threads);
}

// The prepared map's arrays, which only this file reads.
struct CompactRemapAccess {
  static const std::int32_t* offsets(const CompactRemapMap& map) { return map.offset_.data(); }
  static const std::uint32_t* weights(const CompactRemapMap& map) { return map.weight_.data(); }
  // False for a map not prepared, or moved from (its arrays taken).
  static bool prepared(const CompactRemapMap& map) {
    const std::size_t n = std::size_t(map.width_) * std::size_t(map.height_);
    return n != 0 && map.offset_.size() == n && map.weight_.size() == n;
  }
};

bool prepareRemap(const UndistortionMap& map, int source_width, int source_height, int channels,
                  std::size_t source_stride, CompactRemapMap* compact) {
  if (!checkMap(map) || !checkImageSize(source_width, source_height, "source image")) return false;
  if (compact == nullptr) {
    DRAVIK_LOG(2, kUndistortionTag) << "No prepared map to fill";
    return false;
  }
  if (!checkSourceLayout(source_width, source_height, channels, source_stride, 1, map.width,
                         map.source_width, map.source_height, std::size_t(map.width) * channels)) {
    return false;
  }
  const Source<std::uint8_t> s{nullptr, source_width, source_height, channels, source_stride};
  const std::size_t n = std::size_t(map.width) * map.height;
  std::vector<std::int32_t> offset(n);
  std::vector<std::uint32_t> weight(n);
  for (std::size_t k = 0; k < n; ++k) {
    std::size_t at;
    std::uint32_t a, b;
    const bool kept = placePixel8(s, channels, map.x[k], map.y[k], map.valid[k] != 0, &at, &a, &b);
    offset[k] = kept ? std::int32_t(at) : -1;
    weight[k] = kept ? a | b << kLowerWeightShift : 0;
  }
  compact->width_ = map.width;
  compact->height_ = map.height;
  compact->source_width_ = source_width;
  compact->source_height_ = source_height;
  compact->channels_ = channels;
  compact->source_stride_ = source_stride;
  compact->offset_ = std::move(offset);
  compact->weight_ = std::move(weight);
  return true;
}

bool remapImageOnPath(RemapPath path, const std::uint8_t* src, int src_width, int src_height,
                      int channels, std::size_t src_stride, const CompactRemapMap& map,
                      std::uint8_t* dst, std::size_t dst_stride, std::uint8_t border, int threads) {
  if (!CompactRemapAccess::prepared(map)) {
    DRAVIK_LOG(2, kUndistortionTag) << "The map is not prepared";
    return false;
  }
  if (src == nullptr || dst == nullptr) {
    DRAVIK_LOG(2, kUndistortionTag) << "The images are not given";
    return false;
  }
  if (src_width != map.sourceWidth() || src_height != map.sourceHeight() ||
      channels != map.channels() || src_stride != map.sourceStride()) {
    DRAVIK_LOG(2, kUndistortionTag)
        << "The source image is " << src_width << " x " << src_height << " x " << channels
        << ", rows " << src_stride << " bytes apart; the map was prepared for " << map.sourceWidth()
        << " x " << map.sourceHeight() << " x " << map.channels() << ", " << map.sourceStride();
    return false;
  }
  if (dst_stride < std::size_t(map.width()) * channels) {
    DRAVIK_LOG(2, kUndistortionTag) << "A destination stride of " << dst_stride << " is too short";
    return false;
  }
  if (!checkThreads(threads)) return false;
  const Source<std::uint8_t> s{src, src_width, src_height, channels, src_stride};
  const std::int32_t* offset = CompactRemapAccess::offsets(map);
  const std::uint32_t* weight = CompactRemapAccess::weights(map);
  forRowRanges(map.height(), threadParts(threads), [&](int begin, int end) {
    switch (channels) {
      case 1:
        remapCompactRows<1>(path, s, offset, weight, map.width(), dst, dst_stride, border, begin,
                            end);
        break;
      case 3:
        remapCompactRows<3>(path, s, offset, weight, map.width(), dst, dst_stride, border, begin,
                            end);
        break;
      default:
        remapCompactRows<4>(path, s, offset, weight, map.width(), dst, dst_stride, border, begin,
                            end);
        break;
    }
  });
  return true;
}

bool remapImage(const std::uint8_t* src, int src_width, int src_height, int channels,
                std::size_t src_stride, const CompactRemapMap& map, std::uint8_t* dst,
                std::size_t dst_stride, std::uint8_t border, int threads) {
  return remapImageOnPath(RemapPath::kVector, src, src_width, src_height, channels, src_stride, map,
                          dst, dst_stride, border, threads);
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
