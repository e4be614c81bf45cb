#define DRAVIK_LOG_FILE "python/camera_bindings"

// CameraParametersSet, CameraParameters and BaseCalibrationData.
#include <pybind11/stl.h>

#include <memory>

#include "arrays.h"
#include "bindings.h"
#include "calibration_common/base_calibration_data.h"
#include "calibration_common/camera_parameters.h"
#include "calibration_utils/undistortion.h"
#include "dravik/logging.h"

namespace py = pybind11;
using dravik::calibration::BaseCalibrationData;
using dravik::calibration::BaseCalibrationProto;
using dravik::calibration::CameraParameters;
using dravik::calibration::CameraParametersSet;

namespace camera_parameters_python {

namespace {

constexpr char kBaseTag[] = "base_calibration_data";

// The data of a load: a path, or the contents of an open file object.
bool loadFile(CameraParametersSet& set, const py::object& file) {
  if (py::hasattr(file, "read") && !py::isinstance<py::str>(file)) {
    return set.loadFromString(calibrationData(file.attr("read")()));
  }
  return set.loadFromFile(filePath(file));
}

void bindCameraParameters(py::module_& m) {
  // Records are shared, immutable after their load: the holder drops the
  // const of the library's shared_ptr<const>, and only const operations are
  // bound.
  py::class_<CameraParameters, std::shared_ptr<CameraParameters>>(m, "CameraParameters", R"(
One camera's calibration, from CameraParametersSet.camera(name).

Frames: the pose maps robot coordinates into the camera frame (x right, y
down, z along the optical axis): x_cam = R x_robot + t, t in metres.
Intrinsic matrices are K = [[fx, skew, cx], [0, fy, cy], [0, 0, 1]] in pixels
of the image size asked for; distortion is the eight coefficients k1, k2, p1,
p2, k3, k4, k5, k6 of the rational lens model. A streaming size is the full
frame cropped and scaled, x and y independently, with no half-pixel shift.
The record stays valid for as long as it is held, whatever its set loads
later.)")
      .def_property_readonly("name", &CameraParameters::getName, "The camera's name.")
      .def_property_readonly("model", &CameraParameters::getModel,
                             "The camera model's identifier, e.g. 'kv007n'.")
      .def(
          "intrinsics",
          [](const CameraParameters& c, int width, int height) {
            return toArray(c.getIntrinsics(width, height));
          },
          py::arg("width"), py::arg("height"),
          R"(K (3 x 3 float64, pixels) for a width x height image.

The model's entry for that size, or else the full frame scaled to it (an
INFO record says so).)")
      .def(
          "distortion",
          [](const CameraParameters& c, int width, int height) {
            const std::vector<float>& d = c.getDistortion(width, height);
            return toArray(d.data(), d.size());
          },
          py::arg("width"), py::arg("height"),
          "k1, k2, p1, p2, k3, k4, k5, k6 (float64) for a width x height image: the model's\n"
          "entry for that size, or else the full frame's.")
      .def(
          "has_intrinsics",
          [](const CameraParameters& c, int width, int height) {
            return c.hasIntrinsics(width, height);
          },
          py::arg("width"), py::arg("height"),
          "True when the camera model's table has an entry for that size.")
      .def(
          "full_frame_intrinsics",
          [](const CameraParameters& c) { return toArray(c.getFullFrameIntrinsics()); },
          "K (3 x 3 float64) at the calibrated full frame.")
      .def(
          "full_frame_distortion",
          [](const CameraParameters& c) {
            const std::vector<float>& d = c.getFullFrameDistortion();
            return toArray(d.data(), d.size());
          },
          "k1, k2, p1, p2, k3, k4, k5, k6 (float64) at the calibrated full frame.")
      .def_property_readonly(
          "full_frame_size",
          [](const CameraParameters& c) {
            return py::make_tuple(c.getFullFrame().width, c.getFullFrame().height);
          },
          "(width, height) of the calibrated full frame, pixels.")
      .def_property_readonly(
          "rotation", [](const CameraParameters& c) { return toArray(c.getRotation()); },
          "R (3 x 3 float64): robot to camera.")
      .def_property_readonly(
          "translation", [](const CameraParameters& c) { return toArray(c.getTranslation()); },
          "t (3 float64, metres): robot to camera.")
      .def_property_readonly(
          "transform",
          [](const CameraParameters& c) { return toArray(c.getTransform().getTransform()); },
          "[R t; 0 0 0 1] (4 x 4 float64, metres): robot (world) to camera.")
      .def(
          "lens",
          [](const CameraParameters& c, int width, int height) { return c.getLens(width, height); },
          py::arg("width"), py::arg("height"),
          "The Lens for a width x height image: the K and distortion of intrinsics() and\n"
          "distortion().")
      .def("__repr__", [](const CameraParameters& c) {
        return "<CameraParameters '" + c.getName() + "', model '" + c.getModel() + "'>";
      });
}

void bindCameraParametersSet(py::module_& m) {
  py::class_<CameraParametersSet>(m, "CameraParametersSet", R"(
The calibration of every camera of one robot, by camera name.

A new set holds the embedded default calibration. Each load returns True when
the whole calibration was loaded; otherwise it logs why (logger
"camera_parameters"), puts the embedded default back in force and returns
False. A load adds or replaces cameras by name and never removes one.)")
      .def(py::init<>())
      .def("load_file", &loadFile, py::arg("path"),
           R"(Loads a robot calibration (wire or text format) from a file.

`path` is a str, bytes or os.PathLike path, or an open file object, whose
contents are read (a closed one raises ValueError, as Python's files do). A
missing or unreadable file returns False with an ERROR record.)")
      .def(
          "load_string",
          [](CameraParametersSet& s, const py::object& data) {
            return s.loadFromString(calibrationData(data));
          },
          py::arg("data"),
          R"(Loads a robot calibration from bytes (wire format is tried first, then
text format) or from str (text format). Data that is not a robot calibration
returns False with a WARNING record.)")
      .def("camera_names", &CameraParametersSet::getCameraNames,
           "The camera names, in byte-wise order.")
      .def("has_camera", &CameraParametersSet::hasCamera, py::arg("name"),
           "True when the set has a camera of exactly that name (case-sensitive).")
      .def(
          "camera",
          [](const CameraParametersSet& s, const std::string& name) {
            return std::const_pointer_cast<CameraParameters>(s.getCamera(name));
          },
          py::arg("name"), "The camera of exactly that name, or None.")
      .def("adjust_using_base_calibration", &CameraParametersSet::adjustUsingBaseCalibration,
           py::arg("base"),
           R"(Composes every camera's pose with the base calibration's global
transform G: each pose P becomes P G, in the records already handed out
too.)")
      .def("__contains__", &CameraParametersSet::hasCamera)
      .def("__repr__", [](const CameraParametersSet& s) {
        std::string names;
        for (const std::string& name : s.getCameraNames()) {
          names += (names.empty() ? "" : ", ") + name;
        }
        return "<CameraParametersSet: " + names + ">";
      });
}

void bindBaseCalibrationData(py::module_& m) {
  py::class_<BaseCalibrationData>(m, "BaseCalibrationData", R"(
The calibration of the robot's mobile base: base length and width, wheel
base, gyroscope gain, and the global transform G = [R t; 0 0 0 1] (t in
metres) that CameraParametersSet.adjust_using_base_calibration composes with
every camera pose. A new object holds the embedded default.)")
      .def(py::init<>())
      .def(
          "load_string",
          [](BaseCalibrationData& b, const py::object& data) {
            const std::string bytes = calibrationData(data);
            if (b.loadFromString(bytes)) return true;
            // The library keeps its default silently for data that parses in
            // neither format; Python callers get a warning for it.
            BaseCalibrationProto parsed;
            if (!parseEitherFormat(bytes, &parsed)) {
              DRAVIK_LOG(3, kBaseTag) << "Not a base calibration (neither wire nor text format)";
            }
            return false;
          },
          py::arg("data"),
          R"(Loads a base calibration from bytes (wire format first, then text
format) or str (text format). True: it is in force. False: the embedded
default is in force (the data does not parse, or holds fewer than 12
global-transform values).)")
      .def_property_readonly("base_length", &BaseCalibrationData::getBaseLength,
                             "Base length, in the units of the calibration file; 0 when absent.")
      .def_property_readonly("base_width", &BaseCalibrationData::getBaseWidth,
                             "Base width, in the units of the calibration file; 0 when absent.")
      .def_property_readonly("wheel_base", &BaseCalibrationData::getWheelBase,
                             "Wheel base, in the units of the calibration file; 0 when absent.")
      .def_property_readonly("gyroscope_gain", &BaseCalibrationData::getGyroscopeGain,
                             "The gyroscope gain; 0 when absent.")
      .def_property_readonly(
          "world_rotation",
          [](const BaseCalibrationData& b) { return toArray(b.getWorldRotation()); },
          "R of the global transform (3 x 3 float64).")
      .def_property_readonly(
          "world_translation",
          [](const BaseCalibrationData& b) { return toArray(b.getWorldTranslation()); },
          "t of the global transform (3 float64, metres).");
}

}  // namespace

void bindCameras(py::module_& m) {
  bindCameraParameters(m);
  bindCameraParametersSet(m);
  bindBaseCalibrationData(m);
}

}  // namespace camera_parameters_python
