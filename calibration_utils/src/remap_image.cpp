// Bilinear resampling through a forward map, in OpenCV's fixed point:
// positions rounded to 1/32 pixel, the four weights
//   (32 - a)(32 - b), a (32 - b), (32 - a) b, a b   (a, b the fractions in 1/32)
// applied in integers and rounded once, which is exactly OpenCV's
// INTER_LINEAR table (its entries are these products times 32, no rounding).
// Each row runs in two passes over blocks: one that locates each pixel's
// neighbourhood and fractions, four pixels at a time, and one that gathers
// the neighbours and weighs them (four gray pixels at a time).
#define DRAVIK_LOG_FILE "calibration_utils/remap_image"
#include <algorithm>
#include <cmath>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "calibration_utils/undistortion.h"
#include "dravik/logging.h"
#include "remap_paths.h"
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

// The source image's geometry as the resampling reads it.
struct Source {
  const std::uint8_t* pixels;
  int width, height, stride, channels;
  // The steps to the right and lower neighbours: 0 along a side of one pixel.
  int step_x() const { return width > 1 ? channels : 0; }
  int step_y() const { return height > 1 ? stride : 0; }
  // The bytes from the first pixel to just past the last.
  long long bytes() const { return (long long)(height - 1) * stride + (long long)width * channels; }
};

// Per pixel of a block: the byte offset of the top-left neighbour, the
// fractions a, b in 1/32, and -1 where the pixel is resampled, 0 where it
// gets the border (its offset is then 0, a harmless read).
struct Block {
  int offset[kBlock], a[kBlock], b[kBlock], keep[kBlock];
};

// One pixel of locateBlock. A position on the last column or row with a zero
// fraction moves one pixel back with a full fraction, so that every read
// stays inside the image; the right neighbour is needed when a > 0, the
// lower one when b > 0.
inline void locatePixel(const Source& s, int fixed_x, int fixed_y, bool valid, Block* block,
                        int i) {
  int ix = fixed_x >> kFractionBits, iy = fixed_y >> kFractionBits;
  int a = fixed_x & (kFractions - 1), b = fixed_y & (kFractions - 1);
  const int back_x = (ix == s.width - 1) & (a == 0) & (ix > 0);
  const int back_y = (iy == s.height - 1) & (b == 0) & (iy > 0);
  ix -= back_x;
  iy -= back_y;
  a += back_x * kFractions;
  b += back_y * kFractions;
  const bool keep =
      (ix >= 0) & (iy >= 0) & (ix + (a > 0) < s.width) & (iy + (b > 0) < s.height) & valid;
  block->offset[i] = keep ? iy * s.stride + ix * s.channels : 0;
  block->a[i] = a;
  block->b[i] = b;
  block->keep[i] = keep ? -1 : 0;
}

#ifdef __SSE2__
// The low 32 bits of the lane-wise product (SSE2 has no pmulld).
inline __m128i multiply(__m128i x, __m128i y) {
  const __m128i even = _mm_mul_epu32(x, y);
  const __m128i odd = _mm_mul_epu32(_mm_srli_epi64(x, 32), _mm_srli_epi64(y, 32));
  return _mm_unpacklo_epi32(_mm_shuffle_epi32(even, _MM_SHUFFLE(0, 0, 2, 0)),
                            _mm_shuffle_epi32(odd, _MM_SHUFFLE(0, 0, 2, 0)));
}

// toFixedPoint of four positions: cvtps2dq rounds half to even in the
// default mode, and maxps gives its second operand for a NaN.
inline __m128i toFixedPoint4(const float* x) {
  const __m128 clamped = _mm_min_ps(_mm_max_ps(_mm_loadu_ps(x), _mm_set1_ps(-kPositionLimit)),
                                    _mm_set1_ps(kPositionLimit));
  return _mm_cvtps_epi32(_mm_mul_ps(clamped, _mm_set1_ps(float(kFractions))));
}
#endif

#ifdef __SSE2__
// Four pixels located at once, as locatePixel does one; masks are -1 where true.
struct Located4 {
  __m128i offset, a, b, keep;
};

class Locator4 {
 public:
  explicit Locator4(const Source& s)
      : channels_(s.channels),
        short_rows_(s.stride < 65536 && s.height < 65536),
        last_x_(_mm_set1_epi32(s.width - 1)),
        last_y_(_mm_set1_epi32(s.height - 1)),
        width_(_mm_set1_epi32(s.width)),
        height_(_mm_set1_epi32(s.height)),
        stride_(_mm_set1_epi32(s.stride)) {}

  Located4 operator()(const float* x, const float* y, const std::uint8_t* valid) const {
    const __m128i zero = _mm_setzero_si128(), mask = _mm_set1_epi32(kFractions - 1);
    const __m128i full = _mm_set1_epi32(kFractions), none = _mm_set1_epi32(-1);
    const __m128i fixed_x = toFixedPoint4(x), fixed_y = toFixedPoint4(y);
    __m128i ix = _mm_srai_epi32(fixed_x, kFractionBits);
    __m128i iy = _mm_srai_epi32(fixed_y, kFractionBits);
    __m128i a = _mm_and_si128(fixed_x, mask), b = _mm_and_si128(fixed_y, mask);
    const __m128i back_x =
        _mm_and_si128(_mm_and_si128(_mm_cmpeq_epi32(ix, last_x_), _mm_cmpeq_epi32(a, zero)),
                      _mm_cmpgt_epi32(ix, zero));
    const __m128i back_y =
        _mm_and_si128(_mm_and_si128(_mm_cmpeq_epi32(iy, last_y_), _mm_cmpeq_epi32(b, zero)),
                      _mm_cmpgt_epi32(iy, zero));
    ix = _mm_add_epi32(ix, back_x);
    iy = _mm_add_epi32(iy, back_y);
    a = _mm_add_epi32(a, _mm_and_si128(back_x, full));
    b = _mm_add_epi32(b, _mm_and_si128(back_y, full));
    const __m128i right = _mm_sub_epi32(ix, _mm_cmpgt_epi32(a, zero));
    const __m128i lower = _mm_sub_epi32(iy, _mm_cmpgt_epi32(b, zero));
    int valid4;
    std::memcpy(&valid4, valid, 4);
    const __m128i flags =
        _mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(valid4), zero), zero);
    __m128i keep = _mm_andnot_si128(_mm_cmpeq_epi32(flags, zero), _mm_cmpgt_epi32(ix, none));
    keep = _mm_and_si128(keep, _mm_cmpgt_epi32(iy, none));
    keep = _mm_and_si128(keep, _mm_cmplt_epi32(right, width_));
    keep = _mm_and_si128(keep, _mm_cmplt_epi32(lower, height_));
    // ix channels by shifts; iy stride by 16-bit halves when both fit them (a
    // kept pixel's row does; other pixels' offsets are masked away).
    const __m128i column = channels_ == 1   ? ix
                           : channels_ == 4 ? _mm_slli_epi32(ix, 2)
                                            : _mm_add_epi32(ix, _mm_slli_epi32(ix, 1));
    const __m128i row = short_rows_ ? _mm_or_si128(_mm_mullo_epi16(iy, stride_),
                                                   _mm_slli_epi32(_mm_mulhi_epu16(iy, stride_), 16))
                                    : multiply(iy, stride_);
    return {_mm_and_si128(_mm_add_epi32(row, column), keep), a, b, keep};
  }

 private:
  int channels_;
  bool short_rows_;
  __m128i last_x_, last_y_, width_, height_, stride_;
};
#endif

// locatePixel for every pixel of a block, four at a time with SSE2 on the
// vector path.
template <bool kVector>
void locateBlock(const Source& s, const float* x, const float* y, const std::uint8_t* valid,
                 int count, Block* block) {
  int i = 0;
#ifdef __SSE2__
  const Locator4 locate(s);
  for (; kVector && i + 4 <= count; i += 4) {
    const Located4 l = locate(x + i, y + i, valid + i);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(block->offset + i), l.offset);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(block->a + i), l.a);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(block->b + i), l.b);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(block->keep + i), l.keep);
  }
#endif
  for (; i < count; ++i) {
    locatePixel(s, toFixedPoint(x[i]), toFixedPoint(y[i]), valid[i] != 0, block, i);
  }
}

#ifdef __SSE2__
// Four gray pixels: their 2 x 2 neighbourhoods gathered into one vector (a
// row's two pixels in one 16-bit read where the image is wider than one),
// then the horizontal and vertical weights by pmaddwd.
inline void weighGray4(const Source& s, const int* offsets, __m128i a, __m128i b, __m128i keep,
                       std::uint8_t border, std::uint8_t* dst) {
  const int step_x = s.step_x(), step_y = s.step_y();
  int quads[4];
  for (int k = 0; k < 4; ++k) {
    const std::uint8_t* p = s.pixels + offsets[k];
    if (step_x == 1) {
      std::uint16_t upper, lower;  // little-endian: p[0] in the low byte
      std::memcpy(&upper, p, 2);
      std::memcpy(&lower, p + step_y, 2);
      quads[k] = int(upper) | int(lower) << 16;
    } else {
      quads[k] =
          int(p[0]) | int(p[step_x]) << 8 | int(p[step_y]) << 16 | int(p[step_y + step_x]) << 24;
    }
  }
  const __m128i zero = _mm_setzero_si128(), full = _mm_set1_epi32(kFractions);
  // Built in registers: a 16-byte load of the four 4-byte stores would stall
  // on store forwarding.
  const __m128i pixels = _mm_setr_epi32(quads[0], quads[1], quads[2], quads[3]);
  // (32 - a, a) and (32 - b, b) as 16-bit pairs.
  const __m128i wx = _mm_or_si128(_mm_sub_epi32(full, a), _mm_slli_epi32(a, 16));
  const __m128i wy = _mm_or_si128(_mm_sub_epi32(full, b), _mm_slli_epi32(b, 16));
  const __m128i rows01 =
      _mm_madd_epi16(_mm_unpacklo_epi8(pixels, zero), _mm_unpacklo_epi32(wx, wx));
  const __m128i rows23 =
      _mm_madd_epi16(_mm_unpackhi_epi8(pixels, zero), _mm_unpackhi_epi32(wx, wx));
  const __m128i sums = _mm_madd_epi16(_mm_packs_epi32(rows01, rows23), wy);
  __m128i value = _mm_srai_epi32(_mm_add_epi32(sums, _mm_set1_epi32(512)), 10);
  value = _mm_or_si128(_mm_and_si128(keep, value), _mm_andnot_si128(keep, _mm_set1_epi32(border)));
  const int packed = _mm_cvtsi128_si32(_mm_packus_epi16(_mm_packs_epi32(value, zero), zero));
  std::memcpy(dst, &packed, 4);
}
#endif

// (upper (32 - b) + lower b + 512) >> 10 with upper = p00 (32 - a) + p01 a,
// and lower likewise: OpenCV's (sum of w p + 2^14) >> 15 with w = 32 x these
// products, a and b the fractions in 1/32.
template <int kChannels, bool kVector>
void gatherBlock(const Source& s, const Block& block, int count, std::uint8_t border,
                 std::uint8_t* __restrict dst) {
  const int step_x = s.step_x(), step_y = s.step_y();
  int i = 0;
#ifdef __SSE2__
  if (kVector && kChannels == 1) {
    for (; i + 4 <= count; i += 4, dst += 4) {
      weighGray4(s, block.offset + i,
                 _mm_loadu_si128(reinterpret_cast<const __m128i*>(block.a + i)),
                 _mm_loadu_si128(reinterpret_cast<const __m128i*>(block.b + i)),
                 _mm_loadu_si128(reinterpret_cast<const __m128i*>(block.keep + i)), border, dst);
    }
  }
  if (kVector && kChannels > 1 && step_x == kChannels) {
    // One colour pixel at a time: the two pixels of each row read as eight
    // bytes, weighed by (32 - a) and a per channel, the two halves added,
    // then the rows weighed by (32 - b) and b. A pixel whose eight-byte read
    // would pass the end of the image takes the plain path below.
    const __m128i zero = _mm_setzero_si128(), round = _mm_set1_epi32(512);
    const __m128i first = _mm_setr_epi16(-1, -1, -1, kChannels == 4 ? -1 : 0, 0, 0, 0, 0);
    const __m128i second = _mm_slli_si128(first, 2 * kChannels);
    // The horizontal weights (32 - a, a) per channel, for every fraction a.
    __m128i weights_x[kFractions + 1];
    for (int a = 0; a <= kFractions; ++a) {
      weights_x[a] = _mm_or_si128(_mm_and_si128(first, _mm_set1_epi16(short(kFractions - a))),
                                  _mm_and_si128(second, _mm_set1_epi16(short(a))));
    }
    const int border4 = int(0x01010101u * border);
    const long long last_read = s.bytes() - 8 - step_y;
    for (; i < count && block.offset[i] <= last_read; ++i, dst += kChannels) {
      const std::uint8_t* p = s.pixels + block.offset[i];
      const int b = block.b[i];
      const __m128i wx = weights_x[block.a[i]];
      const __m128i top = _mm_mullo_epi16(
          _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)), zero), wx);
      const __m128i bottom = _mm_mullo_epi16(
          _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + step_y)), zero),
          wx);
      const __m128i upper = _mm_add_epi16(top, _mm_srli_si128(top, 2 * kChannels));
      const __m128i lower = _mm_add_epi16(bottom, _mm_srli_si128(bottom, 2 * kChannels));
      const __m128i wy = _mm_set1_epi32(int(kFractions - b) | b << 16);
      const __m128i sums = _mm_madd_epi16(_mm_unpacklo_epi16(upper, lower), wy);
      const __m128i value = _mm_srai_epi32(_mm_add_epi32(sums, round), 10);
      const int packed = _mm_cvtsi128_si32(_mm_packus_epi16(_mm_packs_epi32(value, zero), zero));
      const int out = block.keep[i] != 0 ? packed : border4;
      // Four bytes where the next pixel of the block follows (it overwrites
      // the fourth); the last pixel of a block writes its own bytes only.
      if (i + 1 < count) {
        std::memcpy(dst, &out, 4);
      } else {
        std::memcpy(dst, &out, kChannels);
      }
    }
  }
#endif
  for (; i < count; ++i, dst += kChannels) {
    const std::uint8_t* p = s.pixels + block.offset[i];
    const int a = block.a[i], b = block.b[i];
    const bool keep = block.keep[i] != 0;
    for (int c = 0; c < kChannels; ++c) {
      const int upper = p[c] * (kFractions - a) + p[c + step_x] * a;
      const int lower = p[c + step_y] * (kFractions - a) + p[c + step_y + step_x] * a;
      const int value = (upper * (kFractions - b) + lower * b + 512) >> 10;
      dst[c] = keep ? std::uint8_t(value) : border;
    }
  }
}

template <bool kVector>
void remapRows(const Source& source, const UndistortionMapView& map, std::uint8_t* dst,
               std::size_t dst_stride, std::uint8_t border) {
  Block block;
  for (int v = 0; v < map.height; ++v) {
    const size_t row = size_t(v) * map.width;
    std::uint8_t* out = dst + size_t(v) * dst_stride;
    for (int begin = 0; begin < map.width; begin += kBlock) {
      const int count = std::min(kBlock, map.width - begin);
      const size_t at = row + begin;
      locateBlock<kVector>(source, map.x + at, map.y + at, map.valid + at, count, &block);
      std::uint8_t* o = out + size_t(begin) * source.channels;
      switch (source.channels) {
        case 1:
          gatherBlock<1, kVector>(source, block, count, border, o);
          break;
        case 3:
          gatherBlock<3, kVector>(source, block, count, border, o);
          break;
        default:
          gatherBlock<4, kVector>(source, block, count, border, o);
          break;
      }
    }
  }
}

}  // namespace

bool remapImageOnPath(RemapPath path, const std::uint8_t* src, int src_width, int src_height,
                      int channels, std::size_t src_stride, const UndistortionMapView& map,
                      std::uint8_t* dst, std::size_t dst_stride, std::uint8_t border) {
  if (!checkImageSize(src_width, src_height, "source image") ||
      !checkImageSize(map.width, map.height, "map")) {
    return false;
  }
  if (map.x == nullptr || map.y == nullptr || map.valid == nullptr) {
    DRAVIK_LOG(2, kUndistortionTag) << "The map's arrays are not given";
    return false;
  }
  const bool recorded = map.source_width != 0 || map.source_height != 0;
  if (recorded && (map.source_width != src_width || map.source_height != src_height)) {
    DRAVIK_LOG(2, kUndistortionTag)
        << "The source image is " << src_width << " x " << src_height << ", the map was built for "
        << map.source_width << " x " << map.source_height;
    return false;
  }
  if (src == nullptr || dst == nullptr || (channels != 1 && channels != 3 && channels != 4) ||
      src_stride < size_t(src_width) * channels || dst_stride < size_t(map.width) * channels ||
      src_stride * size_t(src_height) > (size_t(1) << 31)) {
    DRAVIK_LOG(2, kUndistortionTag)
        << "Images not given, " << channels << " channels (1, 3 or 4 resample), or strides "
        << src_stride << " and " << dst_stride << " too short or too long";
    return false;
  }
  const Source source{src, src_width, src_height, int(src_stride), channels};
  if (path == RemapPath::kVector) {
    remapRows<true>(source, map, dst, dst_stride, border);
  } else {
    remapRows<false>(source, map, dst, dst_stride, border);
  }
  return true;
}

bool remapImage(const std::uint8_t* src, int src_width, int src_height, int channels,
                std::size_t src_stride, const UndistortionMapView& map, std::uint8_t* dst,
                std::size_t dst_stride, std::uint8_t border) {
  return remapImageOnPath(RemapPath::kVector, src, src_width, src_height, channels, src_stride, map,
                          dst, dst_stride, border);
}

bool remapImage(const std::uint8_t* src, int src_width, int src_height, int channels,
                std::size_t src_stride, const UndistortionMap& map, std::uint8_t* dst,
                std::size_t dst_stride, std::uint8_t border) {
  if (!checkMap(map)) return false;
  const UndistortionMapView view{map.width,    map.height,   map.source_width, map.source_height,
                                 map.x.data(), map.y.data(), map.valid.data()};
  return remapImage(src, src_width, src_height, channels, src_stride, view, dst, dst_stride,
                    border);
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
