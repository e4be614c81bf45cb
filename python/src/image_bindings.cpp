// Whole images: Lens, PinholeView, the choice of the view, the forward and
// inverse undistortion maps and resampling through a map.
#include <memory>
#include <string>

#include "arrays.h"
#include "bindings.h"
#include "calibration_utils/undistortion.h"

namespace py = pybind11;
using dravik::calibration::Lens;
using dravik::calibration::PinholeView;
using dravik::calibration::PixelRect;
using dravik::calibration::UndistortionMap;

namespace camera_parameters_python {

namespace {

// (map_x, map_y, valid) sharing the map's own storage, which lives as long as
// any of the three arrays; None when the library refused to build it.
using MapBuilder = bool (*)(const Lens&, const PinholeView&, UndistortionMap*);
py::object mapArrays(MapBuilder build, const Lens& lens, const PinholeView& view) {
  auto map = std::make_unique<UndistortionMap>();
  bool built;
  {
    py::gil_scoped_release release;
    built = build(lens, view, map.get());
  }
  if (!built) return py::none();
  const std::vector<py::ssize_t> shape = {map->height, map->width};
  UndistortionMap* owned = map.release();
  const py::capsule owner(owned, [](void* p) { delete static_cast<UndistortionMap*>(p); });
  return py::make_tuple(py::array_t<float>(shape, owned->x.data(), owner),
                        py::array_t<float>(shape, owned->y.data(), owner),
                        py::array_t<std::uint8_t>(shape, owned->valid.data(), owner));
}

// The (H, W) arrays of a forward map as the library's map. The arrays may
// come from this module or from anywhere else (cv2.initUndistortRectifyMap).
UndistortionMap mapOfArrays(const py::object& map_x, const py::object& map_y,
                            const py::object& valid) {
  const auto x = py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(map_x);
  const auto y = py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(map_y);
  const auto v =
      py::array_t<std::uint8_t, py::array::c_style | py::array::forcecast>::ensure(valid);
  if (!x || !y || !v) throw py::type_error("map_x, map_y and valid must be numeric arrays");
  if (x.ndim() != 2 || y.ndim() != 2 || v.ndim() != 2 || x.shape(0) != y.shape(0) ||
      x.shape(1) != y.shape(1) || x.shape(0) != v.shape(0) || x.shape(1) != v.shape(1)) {
    throw py::value_error("map_x, map_y and valid must be (H, W) arrays of one shape, not " +
                          std::string(py::str(x.attr("shape"))) + ", " +
                          std::string(py::str(y.attr("shape"))) + ", " +
                          std::string(py::str(v.attr("shape"))));
  }
  UndistortionMap map;
  map.height = static_cast<int>(x.shape(0));
  map.width = static_cast<int>(x.shape(1));
  map.x.assign(x.data(), x.data() + x.size());
  map.y.assign(y.data(), y.data() + y.size());
  map.valid.assign(v.data(), v.data() + v.size());
  return map;
}

py::array_t<std::uint8_t> remap(const py::object& image, const py::object& map_x,
                                const py::object& map_y, const py::object& valid, int border) {
  const py::array any = py::module_::import("numpy").attr("asarray")(image);
  if (any.dtype().kind() != 'u' || any.itemsize() != 1) {
    throw py::type_error("image must be a uint8 array, not " + std::string(py::str(any.dtype())));
  }
  const bool gray = any.ndim() == 2;
  const py::ssize_t channels = gray ? 1 : any.ndim() == 3 ? any.shape(2) : 0;
  if (channels != 1 && channels != 3 && channels != 4) {
    throw py::value_error("image must have shape (H, W) or (H, W, C) with C 1, 3 or 4, not " +
                          std::string(py::str(any.attr("shape"))));
  }
  if (border < 0 || border > 255) throw py::value_error("border must be a grey level, 0 to 255");
  const auto src = py::array_t<std::uint8_t, py::array::c_style>::ensure(any);
  const UndistortionMap map = mapOfArrays(map_x, map_y, valid);
  std::vector<py::ssize_t> shape = {map.height, map.width};
  if (!gray) shape.push_back(channels);
  py::array_t<std::uint8_t> out(shape);
  const int width = static_cast<int>(src.shape(1));
  const std::size_t src_stride = static_cast<std::size_t>(width * channels);
  const std::size_t dst_stride = static_cast<std::size_t>(map.width * channels);
  std::uint8_t* dst = out.mutable_data();
  bool remapped;
  {
    py::gil_scoped_release release;
    remapped = dravik::calibration::remapImage(src.data(), width, static_cast<int>(src.shape(0)),
                                               static_cast<int>(channels), src_stride, map, dst,
                                               dst_stride, static_cast<std::uint8_t>(border));
  }
  if (!remapped) throw py::value_error("the image cannot be remapped: see the log record");
  return out;
}

py::object choosePinholeView(const Lens& lens, float alpha, int width, int height) {
  PinholeView view;
  PixelRect rect;
  bool chosen;
  {
    py::gil_scoped_release release;
    chosen = dravik::calibration::choosePinholeView(lens, alpha, width, height, &view, &rect);
  }
  if (!chosen) return py::none();
  return py::make_tuple(view, py::make_tuple(rect.x, rect.y, rect.width, rect.height));
}

void bindLensAndView(py::module_& m) {
  py::class_<Lens>(m, "Lens", R"(
A camera's lens at one image size: width x height pixels, K =
[[fx, skew, cx], [0, fy, cy], [0, 0, 1]] (pixels) and the distortion k1, k2,
p1, p2, k3, k4, k5, k6 of the rational model. Pixel centres at integer
coordinates, as in OpenCV's maps.)")
      .def(py::init([](int width, int height, const py::object& K, const py::object& distortion) {
             return Lens{width, height, matrix3Argument(K, "K"),
                         valuesArgument(distortion, 8, "distortion")};
           }),
           py::arg("width"), py::arg("height"), py::arg("K"), py::arg("distortion"))
      .def_readwrite("width", &Lens::width, "Image width, pixels.")
      .def_readwrite("height", &Lens::height, "Image height, pixels.")
      .def_property(
          "K", [](const Lens& l) { return toArray(l.K); },
          [](Lens& l, const py::object& K) { l.K = matrix3Argument(K, "K"); },
          "K (3 x 3 float64, pixels).")
      .def_property(
          "distortion",
          [](const Lens& l) { return toArray(l.distortion.data(), l.distortion.size()); },
          [](Lens& l, const py::object& d) { l.distortion = valuesArgument(d, 8, "distortion"); },
          "k1, k2, p1, p2, k3, k4, k5, k6 (float64).")
      .def("__repr__", [](const Lens& l) {
        return "<Lens " + std::to_string(l.width) + "x" + std::to_string(l.height) + ">";
      });

  py::class_<PinholeView>(m, "PinholeView", R"(
The undistorted image: an ideal pinhole camera of width x height pixels, in
which the direction (x, y, 1) is seen at K (x, y, 1).)")
      .def(py::init([](int width, int height, const py::object& K) {
             return PinholeView{width, height, matrix3Argument(K, "K")};
           }),
           py::arg("width"), py::arg("height"), py::arg("K"))
      .def_readwrite("width", &PinholeView::width, "Image width, pixels.")
      .def_readwrite("height", &PinholeView::height, "Image height, pixels.")
      .def_property(
          "K", [](const PinholeView& v) { return toArray(v.K); },
          [](PinholeView& v, const py::object& K) { v.K = matrix3Argument(K, "K"); },
          "K (3 x 3 float64, pixels).")
      .def("__repr__", [](const PinholeView& v) {
        return "<PinholeView " + std::to_string(v.width) + "x" + std::to_string(v.height) + ">";
      });
}

void bindMaps(py::module_& m) {
  m.def("choose_pinhole_view", &choosePinholeView, py::arg("lens"), py::arg("alpha"),
        py::arg("width"), py::arg("height"),
        R"(A width x height view of the lens and the rectangle of it in which every
pixel is valid: (view, (x, y, width, height)).

alpha 0: the widest view in which every pixel is valid; alpha 1: the
narrowest that holds every source pixel whose undistortion lies in the lens's
sound region (before the radial mapping folds back or its denominator
falls below 0.1); linear in between. None, with an ERROR record, for a lens
or size the library refuses.)");
  m.def(
      "undistortion_map",
      [](const Lens& lens, const PinholeView& view) {
        return mapArrays(&dravik::calibration::buildUndistortionMap, lens, view);
      },
      py::arg("lens"), py::arg("view"),
      R"((map_x, map_y, valid): for each pixel of the view (H x W arrays, float32,
float32, uint8), the position in the lens's image at which its ray is seen,
and 1 where that ray lies in the sound region and the position inside the
image. cv2.remap(image, map_x, map_y, cv2.INTER_LINEAR) takes them as they
are; rays beyond the sound region point far outside the image, so they get
the border value. None, with an ERROR record, for a lens or view the library
refuses.)");
  m.def(
      "inverse_undistortion_map",
      [](const Lens& lens, const PinholeView& view) {
        return mapArrays(&dravik::calibration::buildInverseUndistortionMap, lens, view);
      },
      py::arg("lens"), py::arg("view"),
      R"((map_x, map_y, valid): for each pixel of the lens's image (H x W arrays),
the position in the view at which it lands, by the exact inverse of the lens,
and 1 where that inverse converged inside the sound region (the position may
lie outside the view). None, with an ERROR record, on refusal.)");
  m.def("remap_image", &remap, py::arg("image"), py::arg("map_x"), py::arg("map_y"),
        py::arg("valid"), py::arg("border") = 0,
        R"(Bilinear resampling of an H x W or H x W x C (C = 1, 3, 4) uint8 image
through a forward map (map_x, map_y, valid of one shape h x w, e.g. from
undistortion_map): an h x w (x C) uint8 image. Pixels whose map entry is
invalid, or whose 2 x 2 neighbourhood leaves the image, get `border`.)");
}

}  // namespace

void bindImages(py::module_& m) {
  bindLensAndView(m);
  bindMaps(m);
}

}  // namespace camera_parameters_python
