#define DRAVIK_LOG_FILE "python/ptz_bindings"

// PTZCameraModel, PTZCameraModelConfiguration and PanTiltModel.
#include <pybind11/stl.h>

#include <algorithm>
#include <memory>

#include "arrays.h"
#include "bindings.h"
#include "calibration_common/pan_tilt_model.h"
#include "calibration_common/ptz_camera_model.h"
#include "calibration_utils/lens.h"
#include "dravik/logging.h"

namespace py = pybind11;
using dravik::calibration::Lens;
using dravik::calibration::PanTiltModel;
using dravik::calibration::PTZCameraModel;
using dravik::calibration::PTZCameraModelConfiguration;
using dravik::calibration::PTZCameraParameters;

namespace camera_parameters_python {

namespace {

constexpr char kPtzTag[] = "ptz_camera_model";
// Points projected, or pixels undistorted, per call of the vectorised batch
// forms: small enough for their coordinate arrays to stay in the first-level
// cache.
constexpr std::size_t kRectifyChunk = 512;

// A PTZ camera model with the message it was built from: the head is read
// from it again for PanTiltModel, which the model does not hand out.
struct PtzModel {
  PTZCameraParameters params;
  std::shared_ptr<PTZCameraModel> model;
};

PtzModel newPtzModel(const py::object& data) {
  PtzModel m;
  const std::string bytes = calibrationData(data);
  if (!parseEitherFormat(bytes, &m.params)) {
    DRAVIK_LOG(3, kPtzTag) << "Not a PTZ calibration (neither wire nor text format)";
    m.params.Clear();
  }
  m.model = std::make_shared<PTZCameraModel>(m.params);
  return m;
}

py::object optionalPanTilt(bool solved, float pan, float tilt) {
  if (!solved) return py::none();
  return py::make_tuple(pan, tilt);
}

// The vectorised Newton iteration over chunks of (N, 2) pixels, each result
// handed to write(x, y, out_row) with rows of `columns` values.
template <typename Write>
void rectifyInChunks(const Lens& lens, const PointRows& rows, int columns, double* data,
                     Write write) {
  double uv[2 * kRectifyChunk];
  for (std::size_t start = 0; start < rows.count(); start += kRectifyChunk) {
    const std::size_t n = std::min(kRectifyChunk, rows.count() - start);
    const float* in = rows.row(start);
    std::copy_n(in, 2 * n, uv);
    lens.normalizePixels(uv, n, uv, nullptr);
    for (std::size_t i = 0; i < n; ++i)
      write(uv[2 * i], uv[2 * i + 1], data + (start + i) * columns);
  }
}

// A new output of `columns` values per pixel of `pixels`, filled without the
// GIL: single(lens, pixel, out) for one (2,) pixel, by the library's
// per-point call; for an (N, 2) array, rectifyInChunks. The two iterations
// give the same results.
template <typename Single, typename Write>
py::array_t<double> perRectifiedPixel(const PTZCameraModelConfiguration& c,
                                      const py::object& pixels, int columns, Single single,
                                      Write write) {
  const PointRows rows(pixels, 2, "pixels");
  const Lens& lens = c.getLens();
  py::array_t<double> out = rows.newOutput(columns);
  double* data = out.mutable_data();
  {
    py::gil_scoped_release release;
    if (rows.single()) {
      single(lens, Eigen::Vector2f(rows.row(0)[0], rows.row(0)[1]), data);
    } else {
      rectifyInChunks(lens, rows, columns, data, write);
    }
  }
  return out;
}

// The library's batch projection (to the last bit its per-point call) over
// chunks of n points of `rows` (x, y, z in turn), written as (u, v) rows.
template <typename Real>
void projectInChunks(const PTZCameraModelConfiguration& c, const Real* rows, std::size_t n,
                     double* out) {
  float x[kRectifyChunk], y[kRectifyChunk], z[kRectifyChunk], u[kRectifyChunk], v[kRectifyChunk];
  for (std::size_t start = 0; start < n; start += kRectifyChunk) {
    const std::size_t count = std::min(kRectifyChunk, n - start);
    const Real* in = rows + 3 * start;
    for (std::size_t i = 0; i < count; ++i) {
      x[i] = static_cast<float>(in[3 * i]);
      y[i] = static_cast<float>(in[3 * i + 1]);
      z[i] = static_cast<float>(in[3 * i + 2]);
    }
    c.project3dToCamera(x, y, z, static_cast<int>(count), u, v);
    double* o = out + 2 * start;
    for (std::size_t i = 0; i < count; ++i) {
      o[2 * i] = u[i];
      o[2 * i + 1] = v[i];
    }
  }
}

// (N, 3) points to (N, 2) pixels with the GIL released. A C-contiguous
// float64 (N, 3) array, numpy's default, is read in place (each value
// rounded to float as the conversion of any other array is); any other input
// goes through PointRows, which converts it or names the expected shape.
py::array_t<double> projectPoints(const PTZCameraModelConfiguration& c, const py::object& points) {
  using Doubles = py::array_t<double, py::array::c_style>;
  if (Doubles::check_(points)) {
    const Doubles rows = py::reinterpret_borrow<Doubles>(points);
    if (rows.ndim() == 2 && rows.shape(1) == 3) {
      const std::size_t n = static_cast<std::size_t>(rows.shape(0));
      py::array_t<double> out({static_cast<py::ssize_t>(n), py::ssize_t(2)});
      double* data = out.mutable_data();
      py::gil_scoped_release release;
      projectInChunks(c, rows.data(), n, data);
      return out;
    }
  }
  const PointRows rows(points, 3, "points");
  py::array_t<double> out = rows.newOutput(2);
  double* data = out.mutable_data();
  py::gil_scoped_release release;
  projectInChunks(c, rows.row(0), rows.count(), data);
  return out;
}

py::array_t<double> rectifyPixels(const PTZCameraModelConfiguration& c, const py::object& pixels) {
  return perRectifiedPixel(
      c, pixels, 2,
      [](const Lens& lens, const Eigen::Vector2f& pixel, double* out) {
        const double uv[2] = {pixel.x(), pixel.y()};
        lens.normalizePixels(uv, 1, out, nullptr);
      },
      [](double x, double y, double* out) {
        out[0] = x;
        out[1] = y;
      });
}

// The batch form repeats projectPixelToRay's rotation of the rectified point.
py::array_t<double> pixelRays(const PTZCameraModelConfiguration& c, const py::object& pixels) {
  const Eigen::Matrix4f& camera_to_world = c.getTransform().getInverseTransform();
  return perRectifiedPixel(
      c, pixels, 3,
      [&c](const Lens&, const Eigen::Vector2f& pixel, double* out) {
        const Eigen::Vector3f ray = c.projectPixelToRay(pixel).normalized();
        std::copy_n(ray.data(), 3, out);
      },
      [&camera_to_world](double x, double y, double* out) {
        const Eigen::Vector3f ray =
            (camera_to_world.topLeftCorner<3, 3>() * Eigen::Vector3f(float(x), float(y), 1.0f))
                .normalized();
        std::copy_n(ray.data(), 3, out);
      });
}

void bindPanTiltModel(py::module_& m) {
  py::class_<PanTiltModel>(m, "PanTiltModel", R"(
Kinematics of the motorised pan/tilt head carrying the PTZ camera, from
PTZCameraModel.pan_tilt_model.

A world point X (metres) maps into the camera frame as
X_cam = D Rz(theta_t) T Rz(theta_p) P X, with the fixed transforms P, T, D of
the head and the motor angles theta_p = pan_scale (pan - pan_offset),
theta_t = tilt_scale (tilt - tilt_offset) in radians; pan and tilt are motor
steps.)")
      .def(
          "full_transform",
          [](const PanTiltModel& p, float pan, float tilt) {
            return toArray(p.getFullTransform(pan, tilt).getTransform());
          },
          py::arg("pan"), py::arg("tilt"),
          "The camera pose, world to camera (4 x 4 float64, metres), at motor positions in steps.")
      .def(
          "compute_pan_tilt",
          [](const PanTiltModel& p, const py::object& world, const py::object& ray) {
            const Eigen::Vector3f w = vector3Argument(world, "world");
            const Eigen::Vector2f dev = vector2Argument(ray, "ray");
            float pan = 0.0f, tilt = 0.0f;
            const bool solved = p.computePanTilt(w, dev, &pan, &tilt);
            return optionalPanTilt(solved, pan, tilt);
          },
          py::arg("world"), py::arg("ray"),
          R"((pan, tilt) in fractional motor steps at which the camera sees the world
point `world` (3 values, metres) along the ray (ray[0], ray[1], 1) of its own
frame; None when the inverse solution fails (an ERROR or WARNING record says
why).)")
      .def_property_readonly("pan_offset", &PanTiltModel::pan_offset, "Pan offset, steps.")
      .def_property_readonly("tilt_offset", &PanTiltModel::tilt_offset, "Tilt offset, steps.");
}

void bindPtzCameraModel(py::module_& m) {
  py::class_<PtzModel>(m, "PTZCameraModel", R"(
The calibrated model of the PTZ camera: its zoom table and pan/tilt head.

Zoom positions are motor steps; the zoom x factor at a position is its focal
length over that of the widest sample (1 at the widest zoom).)")
      .def(py::init(&newPtzModel), py::arg("data"),
           R"(Reads a PTZCameraParameters calibration from bytes (wire format first,
then text format) or str (text format). Data that is not one gives an
invalid model (`valid` is False) and a record saying why.)")
      .def_property_readonly(
          "valid", [](const PtzModel& p) { return p.model->valid(); },
          "False when the zoom table has no samples or the head cannot be read.")
      .def_property_readonly(
          "max_zoom_x_factor", [](const PtzModel& p) { return p.model->maxZoomXFactor(); },
          "The zoom x factor of the last sample (1 for one sample).")
      .def(
          "steps_to_zoom_x_factor",
          [](const PtzModel& p, int steps) { return p.model->stepsToZoomXFactor(steps); },
          py::arg("steps"),
          "The zoom x factor at a zoom position (steps; negative positions count as 0).")
      .def(
          "zoom_x_factor_to_steps",
          [](const PtzModel& p, float factor) { return p.model->zoomXFactorToSteps(factor); },
          py::arg("factor"),
          R"(The zoom position (whole steps) giving a zoom x factor: 0 below 1, for a
non-finite factor or fewer than two samples; the last sample's zoom beyond
the table.)")
      .def_property_readonly(
          "pan_tilt_model",
          [](const PtzModel& p) -> py::object {
            PanTiltModel head;
            if (!head.readFromPB(p.params.pan_tilt())) return py::none();
            return py::cast(head);
          },
          "The pan/tilt head (PanTiltModel), or None when it cannot be read.")
      .def("__repr__", [](const PtzModel& p) {
        return std::string("<PTZCameraModel ") + (p.model->valid() ? "valid" : "invalid") + ", " +
               std::to_string(p.params.intrinsics().samples_size()) + " zoom samples>";
      });
}

void bindPtzConfiguration(py::module_& m) {
  using Config = PTZCameraModelConfiguration;
  py::class_<Config>(m, "PTZCameraModelConfiguration", R"(
The PTZ camera at one pan/tilt/zoom setting (motor steps): its pose, and its
intrinsics and distortion interpolated between the zoom samples that bracket
the zoom.

Frames: the pose maps world coordinates (metres) into the camera frame (x
right, y down, z along the optical axis). Pixels are those of the model's
calibration image (cal_width x cal_height). Normalized camera coordinates
(x, y) stand for the direction (x, y, 1) of the camera frame. Batch calls
take (N, k) arrays of any real dtype (converted to float32, the library's
precision), or one (k,) row, return float64 arrays of the library's float
results, and release the GIL.)")
      .def(py::init([](const PtzModel& model, int pan, int tilt, int zoom) {
             // A model without samples would end the process here.
             if (!model.model->valid()) {
               throw py::value_error("the PTZ camera model is not valid: see its log records");
             }
             return Config(model.model, pan, tilt, zoom);
           }),
           py::arg("model"), py::arg("pan"), py::arg("tilt"), py::arg("zoom"),
           "Evaluates a valid PTZCameraModel at pan, tilt and zoom (steps); ValueError for an\n"
           "invalid one.")
      .def_property_readonly("pan", &Config::pan, "Pan, motor steps.")
      .def_property_readonly("tilt", &Config::tilt, "Tilt, motor steps.")
      .def_property_readonly("zoom", &Config::zoom, "Zoom, motor steps.")
      .def_property_readonly("cal_width", &Config::calWidth, "Calibration image width, pixels.")
      .def_property_readonly("cal_height", &Config::calHeight, "Calibration image height, pixels.")
      .def_property_readonly(
          "distortion",
          [](const Config& c) { return toArray(c.distortion().data(), c.distortion().size()); },
          "k1, k2, p1, p2, k3, k4, k5, k6 (float64) at this zoom.")
      .def_property_readonly(
          "intrinsics", [](const Config& c) { return toArray(c.getLens().K); },
          "K = [[f, 0, cx], [0, f, cy], [0, 0, 1]] (3 x 3 float64, pixels) at this zoom.")
      .def_property_readonly(
          "transform", [](const Config& c) { return toArray(c.getTransform().getTransform()); },
          "The pose, world to camera (4 x 4 float64, metres), at this pan and tilt.")
      .def_property_readonly(
          "camera_center", [](const Config& c) { return toArray(c.getCameraCenter()); },
          "The camera centre in world coordinates (3 float64, metres).")
      .def("project", &projectPoints, py::arg("points"),
           R"(The pixels (N x 2) at which world points (N x 3, metres) are seen.

A point on the camera's plane gives non-finite pixels; NaN and infinite
inputs propagate.)")
      .def("rectify_pixels", &rectifyPixels, py::arg("pixels"),
           R"(The normalized camera coordinates (N x 2) of pixels (N x 2) of the
calibration image: the exact inverse of the lens (Newton's method to the
double-precision floor). A pixel beyond the fold of a
strong barrel lens has no direction: it gets the point nearest to one, at
the fold. NaN and infinite inputs propagate.)")
      .def("pixel_rays", &pixelRays, py::arg("pixels"),
           "The unit directions (N x 3), world frame, of the rays seen at pixels (N x 2); they\n"
           "start at camera_center.")
      .def(
          "get_pan_tilt",
          [](const Config& c, const py::object& pixel) -> py::object {
            int pan = 0, tilt = 0;
            if (!c.getPanTilt(vector2Argument(pixel, "pixel"), &pan, &tilt)) return py::none();
            return py::make_tuple(pan, tilt);
          },
          py::arg("pixel"),
          R"((pan, tilt) in whole steps, within the head's motor limits, that bring
the pixel (2 values) to the optical axis; None when the head's inverse
solution fails.)")
      .def(
          "get_pan_tilt_for_point",
          [](const Config& c, const py::object& world, const py::object& pixel) {
            const Eigen::Vector3f w = vector3Argument(world, "world");
            const Eigen::Vector2f px = vector2Argument(pixel, "pixel");
            float pan = 0.0f, tilt = 0.0f;
            const bool solved = c.getPanTilt(w, px, &pan, &tilt);
            return optionalPanTilt(solved, pan, tilt);
          },
          py::arg("world"), py::arg("pixel"),
          R"((pan, tilt) in fractional steps, neither rounded nor limited, at which the
world point (3 values, metres) is seen at the pixel (2 values); None when
the head's inverse solution fails.)")
      .def(
          "get_pan_tilt_zoom",
          [](const Config& c, const py::object& corner1, const py::object& corner2) -> py::object {
            const Eigen::Vector2f a = vector2Argument(corner1, "corner1");
            const Eigen::Vector2f b = vector2Argument(corner2, "corner2");
            int pan = 0, tilt = 0, zoom = 0;
            if (!c.getPanTiltZoom(a, b, &pan, &tilt, &zoom)) return py::none();
            return py::make_tuple(pan, tilt, zoom);
          },
          py::arg("corner1"), py::arg("corner2"),
          R"((pan, tilt, zoom) in whole steps that centre the axis-aligned rectangle
with opposite corners corner1 and corner2 (pixels) and zoom in as far as it
stays in the image; None when the head's inverse solution fails.)")
      .def("lens", &Config::getLens,
           "The Lens at this zoom: its K, distortion and calibration image size.")
      .def("__repr__", [](const Config& c) {
        return "<PTZCameraModelConfiguration pan " + std::to_string(c.pan()) + ", tilt " +
               std::to_string(c.tilt()) + ", zoom " + std::to_string(c.zoom()) + ">";
      });
}

}  // namespace

void bindPtz(py::module_& m) {
  bindPanTiltModel(m);
  bindPtzCameraModel(m);
  bindPtzConfiguration(m);
}

}  // namespace camera_parameters_python
