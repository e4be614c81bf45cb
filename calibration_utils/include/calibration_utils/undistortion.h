// Whole images: undistortion maps, their exact inverse, the choice of the
// undistorted camera, and resampling through a map.
//
// Conventions
// - Pixels: centres at integer coordinates; pixel (u, v) of a width x height
//   image covers [u - 0.5, u + 0.5] x [v - 0.5, v + 0.5], and the image's
//   pixel centres span [0, width - 1] x [0, height - 1]. The same convention
//   as the maps OpenCV's remap reads, so either can consume the other's.
// - Lens: calibration_utils/lens.h (Lens, the one lens type, with its model
//   and its sound region). A viewing direction (x, y, 1) is distorted to
//   (xd, yd) and seen at the pixel K (xd, yd, 1); K = [[fx, skew, cx],
//   [0, fy, cy], [0, 0, 1]].
// - The undistorted image is an ideal pinhole camera, the view: the
//   direction (x, y, 1) is seen at K_view (x, y, 1).
// - Sound region: calibration_utils/lens_soundness.h. Beyond it a lens folds
//   back or blows up, so a position there is not an answer: maps mark it
//   invalid.
// - Maps are row-major, one entry per pixel of the image they are indexed by.
//
// Typical use, once per camera and image size, then per frame:
//   PinholeView view;
//   PixelRect crop;
//   choosePinholeView(lens, 0.0f, lens.width(), lens.height(), &view, &crop);
//   UndistortionMap map;
//   buildUndistortionMap(lens, view, &map);
//   remapImage(frame, lens.width(), lens.height(), 3, stride, map, out, out_stride);
// or, for 8-bit frames, the map prepared once and the frames through it:
//   CompactRemapMap prepared;
//   prepareRemap(map, lens.width(), lens.height(), 3, stride, &prepared);
//   remapImage(frame, lens.width(), lens.height(), 3, stride, prepared, out, out_stride);
//
// Failure: false and a level-2 record under the tag "calibration_utils";
// outputs are then left empty or untouched. Inputs refused: sizes not
// positive or above kMaxUndistortionPixels pixels; a K that is not finite
// or whose fx or fy is not positive; a distortion that is not eight finite
// values; channels not 1, 3 or 4; a stride below width x channels; a null
// pointer; a source of another size than the map was built for; a
// negative thread count.
//
// Thread safety: the functions keep no state (remapImage keeps its worker
// threads, idle between calls).
#pragma once

#include <Eigen/Core>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "calibration_utils/lens.h"
#include "dravik/eigen_types.h"

namespace dravik {
namespace calibration {

// The largest image (width x height) a map is built for.
constexpr long long kMaxUndistortionPixels = 1LL << 26;
// The position a forward map stores for a view pixel whose ray leaves the
// sound region: far outside any image, so that a resampler (this one or
// OpenCV's) fills the pixel with its border value rather than a mirrored
// ghost of the image centre.
constexpr float kOutsideSource = -1.0e4f;

struct PinholeView {  // the undistorted image: an ideal pinhole camera
  int width = 0, height = 0;
  dravik::Matrix3f K = dravik::Matrix3f::Identity();
};
struct PixelRect {
  int x = 0, y = 0, width = 0, height = 0;
};
struct UndistortionMap {  // row-major, width * height entries each
  int width = 0, height = 0;
  std::vector<float> x, y;          // a position in the other image, per pixel of this one
  std::vector<std::uint8_t> valid;  // 1 where that position is meaningful
  // The size of the other image, the source a resampling through the map
  // reads; 0 x 0 where not recorded (a map filled by hand).
  int source_width = 0, source_height = 0;
};
// A map held elsewhere (numpy arrays, a memory-mapped file), not owned:
// width * height entries behind each pointer, row-major. Source size as in
// UndistortionMap.
struct UndistortionMapView {
  int width = 0, height = 0;
  int source_width = 0, source_height = 0;
  const float* x = nullptr;
  const float* y = nullptr;
  const std::uint8_t* valid = nullptr;
};

// A view of width x height pixels for the lens. alpha 0: the widest view in
// which every pixel is valid (its rays in the sound region, their source
// positions inside the lens's image). alpha 1: the narrowest view that holds
// every source pixel whose undistortion lies in the sound region. Between
// them fx, fy, cx and cy are interpolated linearly; the view has no skew.
// same_focal_length: square pixels, fx = fy, with the box of directions
// centred; at alpha 0 the widest square-pixel view with every pixel valid,
// at alpha 1 the narrowest square-pixel view that holds every sound source
// pixel. valid_rect, when given: a rectangle of the view in which every
// pixel is valid and none of whose sides can move out by a pixel without
// taking in an invalid one (the whole view at alpha 0). Computed from the
// exact undistortion of every source border pixel (at quarter-pixel steps)
// and checked against the forward map of the chosen view. alpha outside
// [0, 1] extrapolates; it must be finite, and must leave fx and fy positive.
// On failure neither *view nor *valid_rect is written.
bool choosePinholeView(const Lens& lens, float alpha, int width, int height, bool same_focal_length,
                       PinholeView* view, PixelRect* valid_rect = nullptr);
// The same, without square pixels (same_focal_length false).
bool choosePinholeView(const Lens& lens, float alpha, int width, int height, PinholeView* view,
                       PixelRect* valid_rect = nullptr);

// For each pixel (u, v) of the view, the position (x, y) in the lens's image
// (lens.width() x lens.height(), the map's source size) at which the ray
// K_view^-1 (u, v, 1) is seen.
// valid is 1 where the ray lies inside the sound region and (x, y) inside
// [0, width - 1] x [0, height - 1]. Rays beyond the sound region store
// kOutsideSource. Computed in single precision (the map is stored in it):
// within about 1e-4 pixel of the double-precision model on ordinary lenses.
bool buildUndistortionMap(const Lens& lens, const PinholeView& view, UndistortionMap* map);

// The rectangle grown from pixel (u, v) of a map: every pixel in it valid,
// and none of its sides can move out by a pixel without taking in an invalid
// one. Empty (all zero) when (u, v) is outside the map or invalid, or the
// map's arrays do not match its size.
PixelRect validRectAround(const UndistortionMap& map, int u, int v);

// For each pixel of the lens's image, the position (x, y) in the view (the
// map's source size) at which it lands, by the exact inverse of the lens (rectifyPoints of
// calibration_utils/rectify.h: Newton's method in double precision to its
// floor, then rounded to float). valid is 1 where the iteration converged
// inside the sound region; (x, y) may lie outside the view. Where it did not
// converge, (x, y) is the iteration's best estimate.
bool buildInverseUndistortionMap(const Lens& lens, const PinholeView& view, UndistortionMap* map);

// Bilinear resampling of an interleaved image of 1, 3 or 4 channels, 8 or
// 16 bits a sample, through a forward map into dst (map.width x map.height
// pixels, any size: a view smaller than the lens's image is undistorted and
// scaled in the one pass). 8-bit samples: each pixel is the bilinear sample
// at the map's position rounded to 1/8192 pixel, weighed in 32-bit integers
// and rounded half up once: within 0.04 grey levels of the exact sample of
// the map's position (so within one level once rounded, and equal to it at
// more than 99.5 % of the samples of a textured or noisy frame). 16-bit
// samples: the bilinear sample at the map's position itself, weighed in
// single precision and rounded half up. A destination pixel whose map entry
// is invalid, or whose position (for 8 bits, rounded) lies outside [0,
// width - 1] x [0, height - 1] of the source, gets `border` in every
// channel. Strides are in bytes.
// A source whose size is not the one the map records is refused, with a
// record naming both sizes.
// threads: how many threads share the rows (contiguous ranges of rows; the
// bytes do not depend on the count), 0 for every core of the machine, as
// OpenCV's remap does by default; the threads are kept for the next call.
bool remapImage(const std::uint8_t* src, int src_width, int src_height, int channels,
                std::size_t src_stride, const UndistortionMap& map, std::uint8_t* dst,
                std::size_t dst_stride, std::uint8_t border = 0, int threads = 0);
// The same through a map held elsewhere; nothing is copied.
bool remapImage(const std::uint8_t* src, int src_width, int src_height, int channels,
                std::size_t src_stride, const UndistortionMapView& map, std::uint8_t* dst,
                std::size_t dst_stride, std::uint8_t border = 0, int threads = 0);
// 16-bit samples (depth and machine-vision sensors); strides in bytes, even.
bool remapImage(const std::uint16_t* src, int src_width, int src_height, int channels,
                std::size_t src_stride, const UndistortionMap& map, std::uint16_t* dst,
                std::size_t dst_stride, std::uint16_t border = 0, int threads = 0);
bool remapImage(const std::uint16_t* src, int src_width, int src_height, int channels,
                std::size_t src_stride, const UndistortionMapView& map, std::uint16_t* dst,
                std::size_t dst_stride, std::uint16_t border = 0, int threads = 0);

// A forward map prepared once for 8-bit frames of one source size, channel
// count and stride: per pixel the byte offset of the top-left neighbour and
// the two weights, as remapImage derives them from the float map, so that a
// frame resampled through it gets the same bytes with no per-frame position
// work. Filled only by prepareRemap (its contents are checked there, so a
// frame's reads stay in the image); empty until then.
class CompactRemapMap {
 public:
  int width() const { return width_; }  // of the destination
  int height() const { return height_; }
  int sourceWidth() const { return source_width_; }
  int sourceHeight() const { return source_height_; }
  int channels() const { return channels_; }
  std::size_t sourceStride() const { return source_stride_; }  // bytes

 private:
  friend bool prepareRemap(const UndistortionMap& map, int source_width, int source_height,
                           int channels, std::size_t source_stride, CompactRemapMap* compact);
  friend struct CompactRemapAccess;
  int width_ = 0, height_ = 0, source_width_ = 0, source_height_ = 0, channels_ = 0;
  std::size_t source_stride_ = 0;
  // Per pixel: the offset, -1 for a pixel that gets the border; the weights
  // a | b << 16 in 1/8192 pixel.
  std::vector<std::int32_t> offset_;
  std::vector<std::uint32_t> weight_;
};
// Prepares `map` for 8-bit frames of source_width x source_height pixels
// of `channels` channels (1, 3 or 4), rows source_stride bytes apart. False,
// leaving *compact untouched, on the inputs remapImage refuses.
bool prepareRemap(const UndistortionMap& map, int source_width, int source_height, int channels,
                  std::size_t source_stride, CompactRemapMap* compact);
// remapImage through a prepared map: the same bytes as through the float map
// it was prepared from. The source's size, channel count and stride must be
// the ones it was prepared for.
bool remapImage(const std::uint8_t* src, int src_width, int src_height, int channels,
                std::size_t src_stride, const CompactRemapMap& map, std::uint8_t* dst,
                std::size_t dst_stride, std::uint8_t border = 0, int threads = 0);

// A forward map in the fixed-point layout of OpenCV's remap: per pixel the
// integer source position (x, y), interleaved (CV_16SC2), and the fraction
// index 32 fy + fx in 1/32 pixel (CV_16UC1). Invalid entries hold
// (-32768, -32768), outside any image. Hand xy and fraction to cv::remap as
// cv::Mat(height, width, CV_16SC2, xy.data()) and
// cv::Mat(height, width, CV_16UC1, fraction.data()).
struct FixedPointUndistortionMap {
  int width = 0, height = 0;
  std::vector<std::int16_t> xy;
  std::vector<std::uint16_t> fraction;
};
// The fixed-point form of a forward map; false when the map's arrays do not
// match its size, or a valid position does not fit 16 bits.
bool convertToFixedPoint(const UndistortionMap& map, FixedPointUndistortionMap* fixed);

}  // namespace calibration
}  // namespace dravik
