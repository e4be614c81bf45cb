// The lens and whole images: Lens, its sound region, PinholeView, the choice
// of the view, the forward and inverse undistortion maps, their fixed-point
// form and resampling through a map.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "bindings.h"
#include "calibration_utils/lens_soundness.h"
#include "log_bridge.h"

// The prepared map is cast only here: refused, as the others, when its
// __init__ never ran.
CAMERA_PARAMETERS_PYTHON_INITIALIZED(dravik::calibration::CompactRemapMap)

namespace py = pybind11;
using dravik::calibration::CompactRemapMap;
using dravik::calibration::describeLensProblem;
using dravik::calibration::FixedPointUndistortionMap;
using dravik::calibration::Lens;
using dravik::calibration::LensCheck;
using dravik::calibration::LensProblem;
using dravik::calibration::PinholeView;
using dravik::calibration::PixelRect;
using dravik::calibration::SoundRegion;
using dravik::calibration::UndistortionMap;

namespace camera_parameters_python {

const char kProjectDoc[] =
    R"(The pixels (N x 2) at which camera points (N x 3: X, Y, Z in the camera
frame, Z > 0 in front) are seen, through the lens and K, in double precision.
A point behind the camera (Z < 0) is seen at no pixel: it gives NaN (the
central projection alone would put it at the mirrored pixel of (-X, -Y, -Z)).
A point on the camera's plane gives pixels that are not finite; NaN and
infinite inputs propagate. One point (3,) gives one pixel (2,).)";
const char kNormalizePixelsDoc[] =
    R"((normalized, converged): the normalized camera coordinates (N x 2) of
pixels (N x 2), the exact inverse of the lens (Newton's method to the
double-precision floor, with skew), and per pixel whether the inverse
converged inside the lens's sound region (N bool). A pixel beyond the fold of
a strong barrel lens has no direction: it gets the point nearest to one, at
the fold, and converged False. One pixel (2,) gives ((2,), bool).)";
const char kPixelRaysDoc[] =
    R"(The unit directions (N x 3), camera frame, of the rays seen at pixels
(N x 2): (x, y, 1) / |(x, y, 1)| with (x, y) of normalize_pixels. One pixel
(2,) gives one direction (3,).)";

py::array_t<double> project(const Lens& lens, const Batch<3>& points) {
  py::array_t<double> pixels = resultRows(points, 2);
  double* uv = pixels.mutable_data();
  py::gil_scoped_release release;
  lens.projectPoints(points.data, std::size_t(points.count), uv);
  for (Eigen::Index i = 0; i < points.count; ++i) {
    if (points.data[3 * i + 2] < 0.0) uv[2 * i] = uv[2 * i + 1] = std::nan("");
  }
  return pixels;
}

namespace {

// The normalized points of pixels into `xy` (and the converged flags into
// `ok`, when not null), without the GIL.
void normalizeInto(const Lens& lens, const Batch<2>& pixels, double* xy, std::uint8_t* ok) {
  py::gil_scoped_release release;
  lens.normalizePixels(pixels.data, std::size_t(pixels.count), xy, ok);
}

}  // namespace

py::tuple normalizePixels(const Lens& lens, const Batch<2>& pixels) {
  py::array_t<double> normalized = resultRows(pixels, 2);
  py::array_t<bool> converged(py::ssize_t(pixels.count));
  static_assert(sizeof(bool) == sizeof(std::uint8_t), "flags written as bytes of 0 and 1");
  normalizeInto(lens, pixels, normalized.mutable_data(),
                reinterpret_cast<std::uint8_t*>(converged.mutable_data()));
  if (pixels.single) return py::make_tuple(normalized, converged.at(0));
  return py::make_tuple(normalized, converged);
}

py::array_t<double> normalizedPoints(const Lens& lens, const Batch<2>& pixels) {
  py::array_t<double> normalized = resultRows(pixels, 2);
  normalizeInto(lens, pixels, normalized.mutable_data(), nullptr);
  return normalized;
}

py::array_t<double> pixelRays(const Lens& lens, const Batch<2>& pixels) {
  py::array_t<double> rays = resultRows(pixels, 3);
  Eigen::Map<Rows<3>> out(rays.mutable_data(), pixels.count, 3);
  py::gil_scoped_release release;
  Rows<2> normalized(pixels.count, 2);
  lens.normalizePixels(pixels.data, std::size_t(pixels.count), normalized.data(), nullptr);
  out << normalized, Eigen::VectorXd::Ones(pixels.count);
  out.rowwise().normalize();
  return rays;
}

namespace {

py::object choosePinholeView(const Lens& lens, float alpha, int width, int height,
                             bool same_focal_length) {
  checkImageSize(width, height);
  PinholeView view;
  PixelRect rect;
  bool chosen;
  {
    py::gil_scoped_release release;
    chosen = dravik::calibration::choosePinholeView(lens, alpha, width, height, same_focal_length,
                                                    &view, &rect);
  }
  if (!chosen) return py::none();
  return py::make_tuple(view, py::make_tuple(rect.x, rect.y, rect.width, rect.height));
}

// A map built by the library, or None when it refused to build one.
using MapBuilder = bool (*)(const Lens&, const PinholeView&, UndistortionMap*);
std::unique_ptr<UndistortionMap> buildMap(MapBuilder build, const Lens& lens,
                                          const PinholeView& view) {
  auto map = std::make_unique<UndistortionMap>();
  py::gil_scoped_release release;
  if (!build(lens, view, map.get())) map.reset();
  return map;
}

// The getter of an (H, W) array over one of a map's planes, which the map
// object (the array's base) keeps alive.
template <typename T>
auto plane(std::vector<T> UndistortionMap::*member) {
  return [member](const py::object& self) {
    const UndistortionMap& map = self.cast<const UndistortionMap&>();
    return py::array_t<T>({map.height, map.width}, (map.*member).data(), self);
  };
}

// The arguments of remap_image: an array of real numbers (float, integer,
// or bool for the validity) converted once to T; None, lists and arrays of
// other kinds (objects, strings, complex) raise TypeError.
template <typename T>
py::array_t<T, py::array::c_style> planeArgument(const py::array& array, const char* name,
                                                 const char* kinds) {
  if (std::string(kinds).find(array.dtype().kind()) == std::string::npos) {
    throw py::type_error(std::string(name) + " must be an array of real numbers, not " +
                         std::string(py::str(array.dtype())));
  }
  return py::array_t<T, py::array::c_style | py::array::forcecast>::ensure(array);
}

// The map whose planes these arrays are, when they came from a map of this
// module as they were handed out; null for any other arrays.
const UndistortionMap* mapOfPlanes(const py::array& x, const py::array& y, const py::array& valid) {
  const py::object owner = x.base();  // null for an array that owns its data
  if (!owner || !py::isinstance<UndistortionMap>(owner)) return nullptr;
  const UndistortionMap& map = owner.cast<const UndistortionMap&>();
  const bool same = x.data() == static_cast<const void*>(map.x.data()) &&
                    y.data() == static_cast<const void*>(map.y.data()) &&
                    valid.data() == static_cast<const void*>(map.valid.data()) && x.ndim() == 2 &&
                    x.shape(0) == map.height && x.shape(1) == map.width && y.ndim() == 2 &&
                    y.shape(0) == map.height && y.shape(1) == map.width && valid.ndim() == 2 &&
                    valid.shape(0) == map.height && valid.shape(1) == map.width;
  return same ? &map : nullptr;
}

// The source image of a resampling: interleaved uint8 or uint16 pixels,
// rows at any positive stride (a crop of a larger image is read in place).
struct SourceImage {
  py::array array;
  int width = 0, height = 0, channels = 0, sample_bytes = 0;
  std::size_t stride = 0;
};

SourceImage sourceImage(const py::array& image) {
  const py::ssize_t sample = image.itemsize();
  if (image.dtype().kind() != 'u' || (sample != 1 && sample != 2)) {
    throw py::type_error("image must be a uint8 or uint16 array, not " +
                         std::string(py::str(image.dtype())));
  }
  const py::ssize_t channels = image.ndim() == 2 ? 1 : image.ndim() == 3 ? image.shape(2) : 0;
  if (channels != 1 && channels != 3 && channels != 4) {
    throw py::value_error("image must have shape (H, W) or (H, W, C) with C 1, 3 or 4, not " +
                          std::string(py::str(image.attr("shape"))));
  }
  SourceImage source;
  const bool interleaved =
      image.strides(1) == channels * sample && (image.ndim() == 2 || image.strides(2) == sample) &&
      image.strides(0) >= image.shape(1) * channels * sample && image.strides(0) % sample == 0;
  if (interleaved) {
    source.array = image;
  } else if (sample == 1) {
    source.array =
        py::array_t<std::uint8_t, py::array::c_style | py::array::forcecast>::ensure(image);
  } else {
    source.array =
        py::array_t<std::uint16_t, py::array::c_style | py::array::forcecast>::ensure(image);
  }
  source.height = static_cast<int>(image.shape(0));
  source.width = static_cast<int>(image.shape(1));
  source.channels = static_cast<int>(channels);
  source.sample_bytes = static_cast<int>(sample);
  source.stride = static_cast<std::size_t>(source.array.strides(0));
  return source;
}

// The library's view of a map of this module, read where it lies.
dravik::calibration::UndistortionMapView viewOf(const UndistortionMap& map) {
  return {map.width,    map.height,   map.source_width, map.source_height,
          map.x.data(), map.y.data(), map.valid.data()};
}

// The resampled image, of the source's sample type, on `threads` threads
// (0: every core) with the GIL released.
template <typename T, typename Map>
py::array remapSamples(const SourceImage& source, const std::vector<py::ssize_t>& shape,
                       const Map& map, int border, int threads) {
  constexpr int kMaxSample = (1 << (8 * sizeof(T))) - 1;
  if (border < 0 || border > kMaxSample) {
    throw py::value_error("border must be a grey level, 0 to " + std::to_string(kMaxSample));
  }
  if (threads < 0) throw py::value_error("threads must be 0 (every core) or more");
  py::array_t<T> out(shape);
  T* dst = out.mutable_data();
  const FailureReason reason;
  bool remapped;
  {
    py::gil_scoped_release release;
    remapped = dravik::calibration::remapImage(
        static_cast<const T*>(source.array.data()), source.width, source.height, source.channels,
        source.stride, map, dst, std::size_t(shape[1]) * std::size_t(source.channels) * sizeof(T),
        static_cast<T>(border), threads);
  }
  if (!remapped) reason.raise("the image cannot be remapped");
  return std::move(out);
}

py::array remap(const py::array& image, const dravik::calibration::UndistortionMapView& map,
                int border, int threads) {
  const SourceImage source = sourceImage(image);
  std::vector<py::ssize_t> shape = {map.height, map.width};
  if (image.ndim() == 3) shape.push_back(source.channels);
  return source.sample_bytes == 1
             ? remapSamples<std::uint8_t>(source, shape, map, border, threads)
             : remapSamples<std::uint16_t>(source, shape, map, border, threads);
}

// An 8-bit image through a prepared map (of the image's layout).
py::array remapPrepared(const py::array& image, const CompactRemapMap& map, int border,
                        int threads) {
  const SourceImage source = sourceImage(image);
  if (source.sample_bytes != 1) throw py::type_error("a prepared map resamples uint8 images");
  std::vector<py::ssize_t> shape = {map.height(), map.width()};
  if (image.ndim() == 3) shape.push_back(source.channels);
  return remapSamples<std::uint8_t>(source, shape, map, border, threads);
}

// The width and height of an image-sized object, each refused (ValueError)
// when set to a value that is not positive.
template <typename Sized>
void bindImageSize(py::class_<Sized>& c) {
  c.def_property(
       "width", [](const Sized& sized) { return sized.width; },
       [](Sized& sized, int width) {
         checkImageSize(width, sized.height);
         sized.width = width;
       },
       "Image width, pixels (positive).")
      .def_property(
          "height", [](const Sized& sized) { return sized.height; },
          [](Sized& sized, int height) {
            checkImageSize(sized.width, height);
            sized.height = height;
          },
          "Image height, pixels (positive).");
}

// The lens of K and distortion at width x height, checked without a record:
// ValueError with the reason where they make none (the size's first).
Lens checkedLens(const dravik::Matrix3f& K, const std::vector<float>& distortion, int width,
                 int height) {
  checkImageSize(width, height);
  Lens lens;
  const LensCheck check = Lens::fromIntrinsicsQuietly(K, distortion, width, height, &lens);
  if (!check) throw py::value_error(describeLensProblem(check));
  return lens;
}

void bindLens(py::class_<Lens>& l) {
  l.doc() = R"(A camera's lens at one image size: width x height pixels, K =
[[fx, skew, cx], [0, fy, cy], [0, 0, 1]] (pixels) and the distortion k1, k2,
p1, p2, k3, k4, k5, k6 of the rational model,
  R = (1 + k1 r^2 + k2 r^4 + k3 r^6) / (1 + k4 r^2 + k5 r^4 + k6 r^6),
  xd = x R + 2 p1 x y + p2 (r^2 + 2 x^2),  yd = y R + p1 (r^2 + 2 y^2) + 2 p2 x y,
  (u, v) = (fx xd + skew yd + cx, fy yd + cy).
Pixel centres at integer coordinates, as in OpenCV's maps. Its operations
run in double precision. A lens holds exactly eight coefficients.)";
  l.def(py::init([](int width, int height, const Fixed<float, 3, 3>& K,
                    const std::vector<float>& distortion) {
          return checkedLens(K.value, distortion, width, height);
        }),
        py::arg("width"), py::arg("height"), py::arg("K"), py::arg("distortion"),
        "ValueError for a width or height that is not positive, K not of shape (3, 3), or a "
        "distortion that is not eight coefficients.")
      .def_static(
          "from_intrinsics",
          [](const Fixed<float, 3, 3>& K, const std::vector<float>& distortion, int width,
             int height) -> py::object {
            checkImageSize(width, height);
            Lens lens;
            if (!Lens::fromIntrinsics(K.value, distortion, width, height, &lens)) {
              return py::none();
            }
            return py::cast(std::move(lens));
          },
          py::arg("K"), py::arg("distortion"), py::arg("width"), py::arg("height"),
          R"(The lens of K and distortion at width x height, checked: None, with an
ERROR record saying why, unless K is finite with fx and fy positive and the
distortion is exactly eight finite coefficients. ValueError for a width or
height that is not positive.)")
      .def_property(
          "K", [](const Lens& lens) { return toDouble(lens.K()); },
          [](Lens& lens, const Fixed<float, 3, 3>& K) {
            lens = checkedLens(K.value, lens.distortionList(), lens.width(), lens.height());
          },
          "K (3 x 3, pixels).")
      .def_property(
          "distortion",
          [](const Lens& lens) {
            return toDouble(Eigen::Map<const Eigen::VectorXf>(
                lens.distortion().data(), Eigen::Index(lens.distortion().size())));
          },
          [](Lens& lens, const std::vector<float>& distortion) {
            lens = checkedLens(lens.K(), distortion, lens.width(), lens.height());
          },
          "k1, k2, p1, p2, k3, k4, k5, k6. Setting it checks the lens (Lens.from_intrinsics): "
          "ValueError with the reason when it makes none.")
      .def_property(
          "width", [](const Lens& lens) { return lens.width(); },
          [](Lens& lens, int width) {
            lens = checkedLens(lens.K(), lens.distortionList(), width, lens.height());
          },
          "Image width, pixels (positive).")
      .def_property(
          "height", [](const Lens& lens) { return lens.height(); },
          [](Lens& lens, int height) {
            lens = checkedLens(lens.K(), lens.distortionList(), lens.width(), height);
          },
          "Image height, pixels (positive).")
      .def("project", &project, py::arg("points"), kProjectDoc)
      .def("normalize_pixels", &normalizePixels, py::arg("pixels"), kNormalizePixelsDoc)
      .def("pixel_rays", &pixelRays, py::arg("pixels"), kPixelRaysDoc)
      .def("sound_region", &Lens::soundRegion,
           "The lens's sound region (SoundRegion), by the exact rule of find_sound_region.")
      .def("is_sound_over_image", &Lens::isSoundOverImage,
           R"(True when the lens is sound out to the radius at which its radial mapping
reaches the image corner farthest from the principal point: every pixel of
the image has one viewing direction.)")
      .def("__repr__", [](const Lens& lens) {
        return "<Lens " + std::to_string(lens.width()) + "x" + std::to_string(lens.height()) + ">";
      });
}

void bindSoundRegion(py::module_& m, py::class_<SoundRegion>& r) {
  py::enum_<SoundRegion::Edge>(r, "Edge", "What ends a sound region.")
      .value("NONE", SoundRegion::Edge::kNone, "Sound out to the largest radius examined.")
      .value("FOLD", SoundRegion::Edge::kFold, "The radial mapping r R(r) turns back.")
      .value("POLE", SoundRegion::Edge::kPole, "The rational denominator falls below 0.1.");
  r.doc() = R"(Where a rational lens is sound: from the optical axis out to the first
normalized (undistorted) radius where the radial mapping r R(r) stops
increasing (a fold) or its denominator falls below 0.1 (a pole), located
exactly as polynomial roots. Tangential terms do not enter.)";
  r.def_readonly("edge", &SoundRegion::edge, "What ends the region (SoundRegion.Edge).")
      .def_readonly("radius", &SoundRegion::radius,
                    "Normalized undistorted radius of the edge (the largest examined for NONE).")
      .def_readonly("distorted_radius", &SoundRegion::distorted_radius, "r R(r) at that radius.")
      .def_readonly("denominator", &SoundRegion::denominator,
                    "The rational denominator at that radius.")
      .def("__repr__", [](const SoundRegion& s) {
        static const char* const kEdges[] = {"none", "fold", "pole"};
        return "<SoundRegion " + std::string(kEdges[int(s.edge)]) + " at r " +
               std::to_string(s.radius) + ">";
      });
  m.def("find_sound_region", &dravik::calibration::findSoundRegion, py::arg("distortion"),
        R"(The sound region (SoundRegion) of the rational lens with distortion k1, k2,
p1, p2, k3, k4, k5, k6. A list that is not eight finite coefficients leaves
no sound region: a pole at radius 0.)");
}

void bindView(py::class_<PinholeView>& v) {
  v.doc() = R"(The undistorted image: an ideal pinhole camera of width x height pixels, in
which the direction (x, y, 1) is seen at K (x, y, 1).)";
  v.def(py::init([](int width, int height, const Fixed<float, 3, 3>& K) {
          checkImageSize(width, height);
          return PinholeView{width, height, K.value};
        }),
        py::arg("width"), py::arg("height"), py::arg("K"),
        "ValueError for a width or height that is not positive, or K not of shape (3, 3).")
      .def_property(
          "K", [](const PinholeView& view) { return toDouble(view.K); },
          [](PinholeView& view, const Fixed<float, 3, 3>& K) { view.K = K.value; },
          "K (3 x 3, pixels).")
      .def("__repr__", [](const PinholeView& view) {
        return "<PinholeView " + std::to_string(view.width) + "x" + std::to_string(view.height) +
               ">";
      });
}

void bindMap(py::class_<UndistortionMap>& c) {
  c.doc() = R"(A map between two images, built by undistortion_map or
inverse_undistortion_map: for each pixel of the image it is indexed by, a
position (x, y) in the other image and whether that position is meaningful.
It unpacks as its three H x W planes, which share its storage:
  map_x, map_y, valid = cp.undistortion_map(lens, view)
(float32, float32, uint8; cv2.remap(image, map_x, map_y, cv2.INTER_LINEAR)
takes them as they are).)";
  c.def_readonly("width", &UndistortionMap::width, "Width of the image the map is indexed by.")
      .def_readonly("height", &UndistortionMap::height,
                    "Height of the image the map is indexed by.")
      .def_property_readonly("x", plane(&UndistortionMap::x),
                             "x of the position in the other image, per pixel (H x W float32).")
      .def_property_readonly("y", plane(&UndistortionMap::y),
                             "y of the position in the other image, per pixel (H x W float32).")
      .def_property_readonly("valid", plane(&UndistortionMap::valid),
                             "1 where the position is meaningful, 0 elsewhere (H x W uint8).")
      .def("__len__", [](const UndistortionMap&) { return 3; })
      .def("__iter__",
           [](const py::object& self) {
             return py::iter(py::make_tuple(self.attr("x"), self.attr("y"), self.attr("valid")));
           })
      .def("__repr__", [](const UndistortionMap& map) {
        return "<UndistortionMap " + std::to_string(map.width) + "x" + std::to_string(map.height) +
               ">";
      });
}

void bindMapFunctions(py::module_& m) {
  m.def("choose_pinhole_view", &choosePinholeView, py::arg("lens"), py::arg("alpha"),
        py::arg("width"), py::arg("height"), py::arg("same_focal_length") = false,
        R"(A width x height view of the lens and the rectangle of it in which every
pixel is valid: (view, (x, y, width, height)).

alpha 0: the widest view in which every pixel is valid; alpha 1: the
narrowest that holds every source pixel whose undistortion lies in the lens's
sound region (before the radial mapping folds back or its denominator
falls below 0.1); linear in between. same_focal_length: square pixels
(fx = fy), the box of directions centred, the widest (alpha 0) or
narrowest (alpha 1) such view that keeps the same promise. None, with an ERROR record, for a lens
or size the library refuses.)");
  m.def(
      "undistortion_map",
      [](const Lens& lens, const PinholeView& view) {
        return buildMap(&dravik::calibration::buildUndistortionMap, lens, view);
      },
      py::arg("lens"), py::arg("view"),
      R"(The forward map (UndistortionMap, unpacking as map_x, map_y, valid): for
each pixel of the view, the position in the lens's image at which its ray is
seen, and 1 where that ray lies in the sound region and the position inside
the image. Rays beyond the sound region point far outside the image, so they
get the border value. None, with an ERROR record, for a lens or view the
library refuses.)");
  m.def(
      "inverse_undistortion_map",
      [](const Lens& lens, const PinholeView& view) {
        return buildMap(&dravik::calibration::buildInverseUndistortionMap, lens, view);
      },
      py::arg("lens"), py::arg("view"),
      R"(The inverse map (UndistortionMap): for each pixel of the lens's image, the
position in the view at which it lands, by the exact inverse of the lens,
and 1 where that inverse converged inside the sound region (the position may
lie outside the view). None, with an ERROR record, on refusal.)");
  m.def(
      "valid_rect_around",
      [](const UndistortionMap& map, int u, int v) {
        const PixelRect rect = dravik::calibration::validRectAround(map, u, v);
        return py::make_tuple(rect.x, rect.y, rect.width, rect.height);
      },
      py::arg("map"), py::arg("u"), py::arg("v"),
      R"((x, y, width, height): the rectangle grown from pixel (u, v) of the map,
every pixel in it valid, none of whose sides can move out by a pixel without
taking in an invalid one. All zero when (u, v) is outside the map or
invalid.)");
  m.def(
      "convert_to_fixed_point",
      [](const UndistortionMap& map) -> py::object {
        auto fixed = std::make_unique<FixedPointUndistortionMap>();
        if (!dravik::calibration::convertToFixedPoint(map, fixed.get())) return py::none();
        const py::ssize_t h = fixed->height, w = fixed->width;
        FixedPointUndistortionMap* owned = fixed.release();
        const py::capsule owner(owned,
                                [](void* p) { delete static_cast<FixedPointUndistortionMap*>(p); });
        return py::make_tuple(
            py::array_t<std::int16_t>({h, w, py::ssize_t(2)}, owned->xy.data(), owner),
            py::array_t<std::uint16_t>({h, w}, owned->fraction.data(), owner));
      },
      py::arg("map"),
      R"((xy, fraction): the forward map in the fixed-point layout of OpenCV's remap,
per pixel the integer source position (H x W x 2 int16, CV_16SC2) and the
fraction index 32 fy + fx in 1/32 pixel (H x W uint16, CV_16UC1):
cv2.remap(image, xy, fraction, cv2.INTER_LINEAR) takes them. Invalid entries
hold (-32768, -32768). None when a valid position does not fit 16 bits.)");

  constexpr char kRemapDoc[] =
      R"(Bilinear resampling of an H x W or H x W x C (C = 1, 3, 4) uint8 or
uint16 image through a forward map (an UndistortionMap, or its planes map_x,
map_y, valid of one shape h x w, or such planes from elsewhere, e.g.
cv2.initUndistortRectifyMap): an h x w (x C) image of the same type. Each
pixel is the bilinear sample at the map's position (uint8: rounded to
1/8192 pixel, weighed in integers; uint16: the position itself,
weighed in single precision; not rounded to 1/32 pixel as cv2.remap does),
rounded half up: within one grey level of the exact sample. Pixels whose map
entry is invalid, or whose position lies outside the image, get `border`. `threads` share the rows
(0: every core, as cv2.remap by default; the bytes do not depend on it), with
the GIL released. The map is read where it lies (planes from elsewhere too,
when they are C-contiguous float32, float32 and uint8; others are converted
once); the image too, when its pixels are interleaved (a crop of a larger
image included). An image of another size than the map of this module was
built for raises ValueError with the library's reason.)";
  m.def(
      "remap_image",
      [](const py::array& image, const UndistortionMap& map, int border, int threads) {
        return remap(image, viewOf(map), border, threads);
      },
      py::arg("image"), py::arg("map"), py::arg("border") = 0, py::arg("threads") = 0, kRemapDoc);
  m.def(
      "remap_image",
      [](const py::array& image, const py::array& map_x, const py::array& map_y,
         const py::array& valid, int border, int threads) {
        if (const UndistortionMap* map = mapOfPlanes(map_x, map_y, valid)) {
          return remap(image, viewOf(*map), border, threads);
        }
        const auto x = planeArgument<float>(map_x, "map_x", "fiu");
        const auto y = planeArgument<float>(map_y, "map_y", "fiu");
        const auto v = planeArgument<std::uint8_t>(valid, "valid", "fiub");
        if (x.ndim() != 2 || y.ndim() != 2 || v.ndim() != 2 || x.shape(0) != y.shape(0) ||
            x.shape(1) != y.shape(1) || x.shape(0) != v.shape(0) || x.shape(1) != v.shape(1)) {
          throw py::value_error("map_x, map_y and valid must be (H, W) arrays of one shape, not " +
                                std::string(py::str(x.attr("shape"))) + ", " +
                                std::string(py::str(y.attr("shape"))) + ", " +
                                std::string(py::str(v.attr("shape"))));
        }
        // Planes of the right type and layout are read where they lie; no
        // source size is recorded for them.
        dravik::calibration::UndistortionMapView map;
        map.height = static_cast<int>(x.shape(0));
        map.width = static_cast<int>(x.shape(1));
        map.x = x.data();
        map.y = y.data();
        map.valid = v.data();
        return remap(image, map, border, threads);
      },
      py::arg("image"), py::arg("map_x"), py::arg("map_y"), py::arg("valid"), py::arg("border") = 0,
      py::arg("threads") = 0);

  py::class_<CompactRemapMap>(m, "CompactRemapMap",
                              "A map prepared by prepare_remap for uint8 images of one layout.")
      .def_property_readonly("width", &CompactRemapMap::width, "Width of the resampled image.")
      .def_property_readonly("height", &CompactRemapMap::height, "Height of the resampled image.")
      .def_property_readonly("source_width", &CompactRemapMap::sourceWidth,
                             "Width of the frames it resamples.")
      .def_property_readonly("source_height", &CompactRemapMap::sourceHeight,
                             "Height of the frames it resamples.")
      .def_property_readonly("channels", &CompactRemapMap::channels,
                             "Channels of the frames it resamples.")
      .def_property_readonly("source_stride", &CompactRemapMap::sourceStride,
                             "Bytes between the rows of the frames it resamples.");
  m.def(
      "prepare_remap",
      [](const UndistortionMap& map, const py::array& image) {
        const SourceImage source = sourceImage(image);
        if (source.sample_bytes != 1) throw py::type_error("a prepared map resamples uint8 images");
        CompactRemapMap compact;
        const FailureReason reason;
        if (!dravik::calibration::prepareRemap(map, source.width, source.height, source.channels,
                                               source.stride, &compact)) {
          reason.raise("the map cannot be prepared");
        }
        return compact;
      },
      py::arg("map"), py::arg("image"),
      R"(The map prepared once for uint8 images of the layout of `image` (its
size, channels and row stride; its pixels are not read): remap_image(frame,
prepared) then gives the bytes remap_image(frame, map) gives, faster. A frame
of another layout raises ValueError.)");
  m.def("remap_image", &remapPrepared, py::arg("image"), py::arg("map"), py::arg("border") = 0,
        py::arg("threads") = 0);
}

}  // namespace

void bindImages(py::module_& m) {
  py::class_<Lens> lens(m, "Lens");
  py::class_<SoundRegion> region(m, "SoundRegion");
  py::class_<PinholeView> view(m, "PinholeView");
  py::class_<UndistortionMap> map(m, "UndistortionMap");
  bindLens(lens);
  bindSoundRegion(m, region);
  bindView(view);
  bindImageSize(view);
  bindMap(map);
  bindMapFunctions(m);
}

}  // namespace camera_parameters_python
