#define DRAVIK_LOG_FILE "python/ptz_bindings"

// PTZCameraModel, PTZCameraModelConfiguration and PanTiltModel.
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <utility>

#include "bindings.h"
#include "dravik/logging.h"

namespace py = pybind11;
using dravik::calibration::PanTiltModel;
using dravik::calibration::PTZCameraModel;
using dravik::calibration::PTZCameraModelConfiguration;
using dravik::calibration::PTZCameraParameters;

namespace camera_parameters_python {

// The Python PTZCameraModel: the model its name stands for. A load replaces
// the model; configurations made before keep the one they were made of.
struct PtzModel {
  std::shared_ptr<PTZCameraModel> model;
};

}  // namespace camera_parameters_python

CAMERA_PARAMETERS_PYTHON_INITIALIZED(camera_parameters_python::PtzModel)

namespace camera_parameters_python {

namespace {

constexpr char kPtzTag[] = "ptz_camera_model";

std::shared_ptr<PTZCameraModel> modelOfData(const std::string& data) {
  PTZCameraParameters params;
  if (!parseCalibration(data, &params)) {
    DRAVIK_LOG(3, kPtzTag) << "Not a PTZ calibration (neither wire nor text format)";
    params.Clear();
  }
  return std::make_shared<PTZCameraModel>(params);
}

// World points (N x 3) to pixels (N x 2), the library's batch projection.
py::array_t<double> projectWorld(const PTZCameraModelConfiguration& config,
                                 const Batch<3>& points) {
  py::array_t<double> pixels = resultRows(points, 2);
  double* uv = pixels.mutable_data();
  py::gil_scoped_release release;
  config.projectPoints(points.data, std::size_t(points.count), uv);
  return pixels;
}

py::array_t<double> worldRays(const PTZCameraModelConfiguration& config, const Batch<2>& pixels) {
  py::array_t<double> rays = resultRows(pixels, 3);
  Eigen::Map<Rows<3>> out(rays.mutable_data(), pixels.count, 3);
  py::gil_scoped_release release;
  config.projectPixelsToRays(pixels.data, std::size_t(pixels.count), out.data());
  out.rowwise().normalize();
  return rays;
}

std::optional<std::pair<float, float>> panTilt(bool solved, float pan, float tilt) {
  if (!solved) return std::nullopt;
  return std::make_pair(pan, tilt);
}

void bindPanTiltModel(py::class_<PanTiltModel>& p) {
  p.doc() = R"(Kinematics of the motorised pan/tilt head carrying the PTZ camera, from
PTZCameraModel.pan_tilt_model.

A world point X (metres) maps into the camera frame as
X_cam = D Rz(theta_t) T Rz(theta_p) P X, with the fixed transforms P, T, D of
the head and the joint angles theta_p = pan_scale (pan - pan_offset),
theta_t = tilt_scale (tilt - tilt_offset) in radians; pan and tilt are motor
steps.)";
  p.def(
       "full_transform",
       [](const PanTiltModel& head, float pan, float tilt) {
         return toDouble(head.getFullTransform(pan, tilt).getTransform());
       },
       py::arg("pan"), py::arg("tilt"),
       "The camera pose, world to camera (4 x 4, metres), at motor positions in steps.")
      .def(
          "compute_pan_tilt",
          [](const PanTiltModel& head, const Fixed<float, 3, 1>& world,
             const Fixed<float, 2, 1>& ray) {
            float pan = 0.0f, tilt = 0.0f;
            const bool solved = head.computePanTilt(world.value, ray.value, &pan, &tilt);
            return panTilt(solved, pan, tilt);
          },
          py::arg("world"), py::arg("ray"),
          R"((pan, tilt) in fractional motor steps at which the camera sees the world
point `world` (3 values, metres) along the ray (ray[0], ray[1], 1) of its own
frame; None when the inverse solution fails (an ERROR or WARNING record says
why).)")
      .def(
          "joint_positions",
          [](const PanTiltModel& head, float pan, float tilt) {
            return toDouble(head.jointPositions(pan, tilt));
          },
          py::arg("pan"), py::arg("tilt"),
          R"((theta_p, theta_t): the angles of the head's two revolute joints, radians,
at motor positions in steps, as full_transform forms them. A robot
description turning the pan link by Rz(theta_p) and the tilt link by
Rz(theta_t) reproduces full_transform at these positions.)")
      .def(
          "motor_steps",
          [](const PanTiltModel& head, float pan_rad, float tilt_rad) {
            float pan = 0.0f, tilt = 0.0f;
            const bool solved = head.motorSteps(pan_rad, tilt_rad, &pan, &tilt);
            return panTilt(solved, pan, tilt);
          },
          py::arg("pan_rad"), py::arg("tilt_rad"),
          R"((pan, tilt) in fractional motor steps, neither rounded nor limited, at which
the joints stand at the angles pan_rad and tilt_rad (radians): the inverse of
joint_positions. None, with an ERROR record, when a position is not finite.)")
      .def_property_readonly("pan_offset", &PanTiltModel::pan_offset, "Pan offset, steps.")
      .def_property_readonly("tilt_offset", &PanTiltModel::tilt_offset, "Tilt offset, steps.");
}

void bindPtzCameraModel(py::class_<PtzModel>& p) {
  p.doc() = R"(The calibrated model of the PTZ camera: its zoom table and pan/tilt head.

Zoom positions are motor steps; the zoom x factor at a position is its focal
length over that of the widest sample (1 at the widest zoom).)";
  p.def(py::init([](const std::string& data) { return PtzModel{modelOfData(data)}; }),
        py::arg("data"),
        R"(Reads a PTZCameraParameters calibration from bytes or bytearray (wire format
first, then text format) or str (text format). Data that is not one gives an
invalid model (`valid` is False) and a record saying why.)")
      .def(
          "load_file",
          [](PtzModel& m, const std::filesystem::path& path) {
            std::string data;
            if (!readFile(path, kPtzTag, &data)) data.clear();
            m.model = modelOfData(data);
            return m.model->valid();
          },
          py::arg("path"),
          R"(Replaces the model by the PTZ calibration (wire or text format) of a file: a
str, bytes or os.PathLike path, or an open file object. Returns `valid`: a
file that cannot be read, or holds no valid PTZ calibration, leaves an
invalid model and a record saying why. Configurations made before keep the
model they were made of.)")
      .def(
          "load_file",
          [](PtzModel& m, const py::object& file) {
            m.model = modelOfData(readFileObject(file));
            return m.model->valid();
          },
          py::arg("file"))
      .def_property_readonly(
          "valid", [](const PtzModel& m) { return m.model->valid(); },
          "False when the zoom table has no samples or the head cannot be read.")
      .def_property_readonly(
          "max_zoom_x_factor", [](const PtzModel& m) { return m.model->maxZoomXFactor(); },
          "The zoom x factor of the last sample (1 for one sample).")
      .def(
          "steps_to_zoom_x_factor",
          [](const PtzModel& m, int steps) { return m.model->stepsToZoomXFactor(steps); },
          py::arg("steps"),
          "The zoom x factor at a zoom position (steps; negative positions count as 0).")
      .def(
          "zoom_x_factor_to_steps",
          [](const PtzModel& m, float factor) { return m.model->zoomXFactorToSteps(factor); },
          py::arg("factor"),
          R"(The zoom position (whole steps) giving a zoom x factor: 0 below 1, for a
non-finite factor or fewer than two samples; the last sample's zoom beyond
the table.)")
      .def_property_readonly(
          "pan_tilt_model",
          [](const PtzModel& m) -> std::optional<PanTiltModel> {
            if (!m.model->valid()) return std::nullopt;
            return m.model->panTiltModel();
          },
          "The pan/tilt head (PanTiltModel), or None when the model is not valid.")
      .def("__repr__", [](const PtzModel& m) {
        return std::string("<PTZCameraModel ") + (m.model->valid() ? "valid" : "invalid") + ">";
      });
}

void bindPtzConfiguration(py::class_<PTZCameraModelConfiguration>& c) {
  using Config = PTZCameraModelConfiguration;
  c.doc() = R"(The PTZ camera at one pan/tilt/zoom setting (motor steps): its pose, and its
lens interpolated between the zoom samples that bracket the zoom.

Frames: the pose maps world coordinates (metres) into the camera frame (x
right, y down, z along the optical axis). Pixels are those of the model's
calibration image (cal_width x cal_height). Normalized camera coordinates
(x, y) stand for the direction (x, y, 1) of the camera frame. Batch calls
take (N, k) arrays (float64 C-contiguous ones are read where they lie, any
other real array is converted once) or one (k,) row, run in double
precision and release the GIL.)";
  c.def(py::init([](const PtzModel& model, int pan, int tilt, int zoom) {
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
          [](const Config& config) {
            const auto& d = config.distortion();
            return toDouble(Eigen::Map<const Eigen::VectorXf>(d.data(), Eigen::Index(d.size())));
          },
          "k1, k2, p1, p2, k3, k4, k5, k6 at this zoom.")
      .def_property_readonly(
          "intrinsics", [](const Config& config) { return toDouble(config.getLens().K()); },
          "K = [[f, 0, cx], [0, f, cy], [0, 0, 1]] (3 x 3, pixels) at this zoom.")
      .def_property_readonly(
          "transform",
          [](const Config& config) { return toDouble(config.getTransform().getTransform()); },
          "The pose, world to camera (4 x 4, metres), at this pan and tilt.")
      .def_property_readonly(
          "camera_center", [](const Config& config) { return toDouble(config.getCameraCenter()); },
          "The camera centre in world coordinates (3 values, metres).")
      .def("project", &projectWorld, py::arg("points"),
           R"(The pixels (N x 2) at which world points (N x 3, metres) are seen. A point
on the camera's plane gives pixels that are not finite; NaN and infinite
inputs propagate. One point (3,) gives one pixel (2,).)")
      .def(
          "rectify_pixels",
          [](const Config& config, const Batch<2>& pixels) {
            return normalizedPoints(config.getLens(), pixels);
          },
          py::arg("pixels"),
          R"(The normalized camera coordinates (N x 2) of pixels (N x 2) of the
calibration image: the exact inverse of the lens (Newton's method to the
double-precision floor). A pixel beyond the fold of a strong barrel lens has
no direction: it gets the point nearest to one, at the fold
(lens().normalize_pixels also says which pixels converged). NaN and
infinite inputs propagate. One pixel (2,) gives one point (2,).)")
      .def("pixel_rays", &worldRays, py::arg("pixels"),
           "The unit directions (N x 3), world frame, of the rays seen at pixels (N x 2); they\n"
           "start at camera_center. One pixel (2,) gives one direction (3,).")
      .def(
          "get_pan_tilt",
          [](const Config& config,
             const Fixed<float, 2, 1>& pixel) -> std::optional<std::pair<int, int>> {
            int pan = 0, tilt = 0;
            if (!config.getPanTilt(pixel.value, &pan, &tilt)) return std::nullopt;
            return std::make_pair(pan, tilt);
          },
          py::arg("pixel"),
          R"((pan, tilt) in whole steps, within the head's motor limits, that bring
the pixel (2 values) to the optical axis; None when the head's inverse
solution fails.)")
      .def(
          "get_pan_tilt_for_point",
          [](const Config& config, const Fixed<float, 3, 1>& world,
             const Fixed<float, 2, 1>& pixel) {
            float pan = 0.0f, tilt = 0.0f;
            const bool solved = config.getPanTilt(world.value, pixel.value, &pan, &tilt);
            return panTilt(solved, pan, tilt);
          },
          py::arg("world"), py::arg("pixel"),
          R"((pan, tilt) in fractional steps, neither rounded nor limited, at which the
world point (3 values, metres) is seen at the pixel (2 values); None when
the head's inverse solution fails.)")
      .def(
          "get_pan_tilt_zoom",
          [](const Config& config, const Fixed<float, 2, 1>& corner1,
             const Fixed<float, 2, 1>& corner2) -> std::optional<std::tuple<int, int, int>> {
            int pan = 0, tilt = 0, zoom = 0;
            if (!config.getPanTiltZoom(corner1.value, corner2.value, &pan, &tilt, &zoom)) {
              return std::nullopt;
            }
            return std::make_tuple(pan, tilt, zoom);
          },
          py::arg("corner1"), py::arg("corner2"),
          R"((pan, tilt, zoom) in whole steps that centre the axis-aligned rectangle
with opposite corners corner1 and corner2 (pixels) and zoom in as far as it
stays in the image; None when the head's inverse solution fails.)")
      .def("lens", &Config::getLens,
           "The Lens at this zoom: its K, distortion and calibration image size.")
      .def("__repr__", [](const Config& config) {
        return "<PTZCameraModelConfiguration pan " + std::to_string(config.pan()) + ", tilt " +
               std::to_string(config.tilt()) + ", zoom " + std::to_string(config.zoom()) + ">";
      });
}

}  // namespace

void bindPtz(py::module_& m) {
  py::class_<PanTiltModel> head(m, "PanTiltModel");
  py::class_<PtzModel> model(m, "PTZCameraModel");
  py::class_<PTZCameraModelConfiguration> configuration(m, "PTZCameraModelConfiguration");
  bindPanTiltModel(head);
  bindPtzCameraModel(model);
  bindPtzConfiguration(configuration);
}

}  // namespace camera_parameters_python
