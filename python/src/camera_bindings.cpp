#define DRAVIK_LOG_FILE "python/camera_bindings"

// CameraParametersSet, CameraParameters and BaseCalibrationData.
#include <google/protobuf/message.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <filesystem>
#include <memory>

#include "bindings.h"
#include "dravik/calibration_bytes.h"
#include "dravik/file.h"
#include "dravik/logging.h"

namespace py = pybind11;
using dravik::calibration::BaseCalibrationData;
using dravik::calibration::CameraParameters;
using dravik::calibration::CameraParametersSet;

namespace camera_parameters_python {

bool parseCalibration(const std::string& data, google::protobuf::Message* message) {
  return dravik::readCalibrationBytes(data, message);
}

bool readFile(const std::filesystem::path& path, const char* tag, std::string* data) {
  if (dravik::File::readFileToString(path.string(), data)) return true;
  DRAVIK_LOG(2, tag) << "Can't open " << path.string();
  return false;
}

std::string shapeText(const py::array& array) { return py::str(array.attr("shape")); }

py::array realArray(py::handle src, const std::string& expected) {
  const py::array array = py::array::ensure(src);
  const std::string what = "expected an array of real numbers of shape " + expected + ", not ";
  if (!array) throw py::type_error(what + std::string(py::str(py::type::of(src).attr("__name__"))));
  const char kind = array.dtype().kind();
  if (kind != 'b' && kind != 'i' && kind != 'u' && kind != 'f') {
    throw py::type_error(what + "an array of " + std::string(py::str(array.dtype())));
  }
  return array;
}

void checkImageSize(int width, int height) {
  if (width <= 0 || height <= 0) {
    throw py::value_error("width and height must be positive, not " + std::to_string(width) +
                          " x " + std::to_string(height));
  }
}

std::string readFileObject(const py::object& file) {
  if (!py::hasattr(file, "read")) {
    throw py::type_error("expected a path (str, bytes, os.PathLike) or an open file object, not " +
                         std::string(py::str(py::type::of(file).attr("__name__"))));
  }
  return file.attr("read")().cast<std::string>();
}

namespace {

constexpr char kLensAtSize[] = R"(

The lens is the camera's at a width x height image: lens(width, height).
ValueError for a width or height that is not positive.)";

// A call of the camera at a width x height image, refused (ValueError) for a
// size that is not positive.
template <typename Call>
auto atSize(Call call) {
  return [call](const CameraParameters& camera, int width, int height) {
    checkImageSize(width, height);
    return call(camera, width, height);
  };
}

// A batch call of the lens, made on the camera's lens at a width x height
// image.
template <int Cols, typename Result>
auto lensAtSize(Result (*batch)(const dravik::calibration::Lens&, const Batch<Cols>&)) {
  return [batch](const CameraParameters& camera, const Batch<Cols>& rows, int width, int height) {
    checkImageSize(width, height);
    return batch(camera.getLens(width, height), rows);
  };
}

void bindCameraParameters(py::class_<CameraParameters, std::shared_ptr<CameraParameters>>& c) {
  c.doc() = R"(One camera's calibration, from CameraParametersSet.camera(name).

Frames: the pose maps robot coordinates into the camera frame (x right, y
down, z along the optical axis): x_cam = R x_robot + t, t in metres.
Intrinsic matrices are K = [[fx, skew, cx], [0, fy, cy], [0, 0, 1]] in pixels
of the image size asked for; distortion is the eight coefficients k1, k2, p1,
p2, k3, k4, k5, k6 of the rational lens model. A streaming size is the full
frame cropped and scaled, x and y independently, with no half-pixel shift.
Every call that takes an image size raises ValueError for a width or height
that is not positive. The record stays valid for as long as it is held,
whatever its set loads later.)";
  c.def_property_readonly("name", &CameraParameters::getName, "The camera's name.")
      .def_property_readonly("model", &CameraParameters::getModel,
                             "The camera model's identifier, e.g. 'kv007n'.")
      .def("intrinsics", atSize([](const CameraParameters& p, int width, int height) {
             return toDouble(p.getIntrinsics(width, height));
           }),
           py::arg("width"), py::arg("height"),
           R"(K (3 x 3, pixels) for a width x height image: the model's entry for that
size, or else the full frame scaled to it (an INFO record says so).)")
      .def("distortion", atSize([](const CameraParameters& p, int width, int height) {
             const std::vector<float>& d = p.getDistortion(width, height);
             return toDouble(Eigen::Map<const Eigen::VectorXf>(d.data(), Eigen::Index(d.size())));
           }),
           py::arg("width"), py::arg("height"),
           R"(k1, k2, p1, p2, k3, k4, k5, k6 for a width x height image: the model's
entry for that size, or else the full frame's.)")
      .def("has_intrinsics", atSize([](const CameraParameters& p, int width, int height) {
             return p.hasIntrinsics(width, height);
           }),
           py::arg("width"), py::arg("height"),
           "True when the camera model's table has an entry for that size.")
      .def(
          "full_frame_intrinsics",
          [](const CameraParameters& p) { return toDouble(p.getFullFrameIntrinsics()); },
          "K (3 x 3, pixels) at the calibrated full frame.")
      .def(
          "full_frame_distortion",
          [](const CameraParameters& p) {
            const std::vector<float>& d = p.getFullFrameDistortion();
            return toDouble(Eigen::Map<const Eigen::VectorXf>(d.data(), Eigen::Index(d.size())));
          },
          "k1, k2, p1, p2, k3, k4, k5, k6 at the calibrated full frame.")
      .def_property_readonly(
          "full_frame_size",
          [](const CameraParameters& p) {
            return std::make_pair(p.getFullFrame().width, p.getFullFrame().height);
          },
          "(width, height) of the calibrated full frame, pixels.")
      .def_property_readonly(
          "rotation", [](const CameraParameters& p) { return toDouble(p.getRotation()); },
          "R (3 x 3): robot to camera.")
      .def_property_readonly(
          "translation", [](const CameraParameters& p) { return toDouble(p.getTranslation()); },
          "t (3 values, metres): robot to camera.")
      .def_property_readonly(
          "transform",
          [](const CameraParameters& p) { return toDouble(p.getTransform().getTransform()); },
          "[R t; 0 0 0 1] (4 x 4, metres): robot to camera.")
      .def("lens", atSize([](const CameraParameters& p, int width, int height) {
             return p.getLens(width, height);
           }),
           py::arg("width"), py::arg("height"),
           "The Lens for a width x height image: the K and distortion of intrinsics() and\n"
           "distortion().")
      .def("project", lensAtSize<3>(&project), py::arg("points"), py::arg("width"),
           py::arg("height"), (std::string(kProjectDoc) + kLensAtSize).c_str())
      .def("normalize_pixels", lensAtSize<2>(&normalizePixels), py::arg("pixels"), py::arg("width"),
           py::arg("height"), (std::string(kNormalizePixelsDoc) + kLensAtSize).c_str())
      .def("pixel_rays", lensAtSize<2>(&pixelRays), py::arg("pixels"), py::arg("width"),
           py::arg("height"), (std::string(kPixelRaysDoc) + kLensAtSize).c_str())
      .def("__repr__", [](const CameraParameters& p) {
        return "<CameraParameters '" + p.getName() + "', model '" + p.getModel() + "'>";
      });
}

constexpr char kLoadNote[] = R"(

A load adds or replaces cameras by name and never removes one. A load that
fails puts the embedded default back for the default's camera names, but the
cameras the rejected data added before its bad one stay, with the rejected
data's records: make a new CameraParametersSet to start clean.)";

void bindCameraParametersSet(py::class_<CameraParametersSet>& s) {
  s.doc() = R"(The calibration of every camera of one robot, by camera name.

A new set holds the embedded default calibration. Each load returns True when
the whole calibration was loaded; otherwise it logs why (logger
"camera_parameters"), puts the embedded default back in force and returns
False.)";
  s.def(py::init<>())
      .def(
          "load_file",
          [](CameraParametersSet& set, const std::filesystem::path& path) {
            return set.loadFromFile(path.string());
          },
          py::arg("path"),
          (std::string(R"(Loads a robot calibration (wire or text format) from a file.

`path` is a str, bytes or os.PathLike path (one holding a NUL character is
refused with TypeError), or an open file object, whose contents are read (a
closed one raises ValueError, as Python's files do). A missing or unreadable
file returns False with an ERROR record.)") +
           kLoadNote)
              .c_str())
      .def(
          "load_file",
          [](CameraParametersSet& set, const py::object& file) {
            return set.loadFromString(readFileObject(file));
          },
          py::arg("file"))
      .def("load_string", &CameraParametersSet::loadFromString, py::arg("data"),
           (std::string(R"(Loads a robot calibration from bytes or bytearray (wire format is tried
first, then text format) or from str (text format, as UTF-8). Data that is not
a robot calibration returns False with a WARNING record.)") +
            kLoadNote)
               .c_str())
      .def("camera_names", &CameraParametersSet::getCameraNames,
           "The camera names, in byte-wise order.")
      .def("has_camera", &CameraParametersSet::hasCamera, py::arg("name"),
           "True when the set has a camera of exactly that name (case-sensitive).")
      .def(
          "camera",
          [](const CameraParametersSet& set, const std::string& name) {
            // Records are immutable once loaded and only their const
            // operations are bound: the holder drops the const.
            return std::const_pointer_cast<CameraParameters>(set.getCamera(name));
          },
          py::arg("name"), "The camera of exactly that name, or None.")
      .def("adjust_using_base_calibration", &CameraParametersSet::adjustUsingBaseCalibration,
           py::arg("base"),
           R"(Composes every camera's pose with the base calibration's global
transform G: each pose P becomes P G, in the records already handed out
too.)")
      .def("__contains__", &CameraParametersSet::hasCamera, py::arg("name"))
      .def("__repr__", [](const CameraParametersSet& set) {
        std::string names;
        for (const std::string& name : set.getCameraNames()) {
          names += (names.empty() ? "" : ", ") + name;
        }
        return "<CameraParametersSet: " + names + ">";
      });
}

constexpr char kBaseTag[] = "base_calibration_data";

// The library keeps its default silently for data that parses in neither
// format; Python callers get a warning for it.
bool loadBase(BaseCalibrationData& base, const std::string& data) {
  if (base.loadFromString(data)) return true;
  dravik::calibration::BaseCalibrationProto parsed;
  if (!parseCalibration(data, &parsed)) {
    DRAVIK_LOG(3, kBaseTag) << "Not a base calibration (neither wire nor text format)";
  }
  return false;
}

void bindBaseCalibrationData(py::class_<BaseCalibrationData>& b) {
  b.doc() = R"(The calibration of the robot's mobile base: base length and width, wheel
base, gyroscope gain, and the global transform G = [R t; 0 0 0 1] (t in
metres) that CameraParametersSet.adjust_using_base_calibration composes with
every camera pose. A new object holds the embedded default.)";
  constexpr char kLoaded[] = R"(

True: it is in force. False: the embedded default is in force (the data does
not parse, or holds fewer than 12 global-transform values, or a value that
is not finite), with a record saying why.)";
  b.def(py::init<>())
      .def(
          "load_string", &loadBase, py::arg("data"),
          (std::string("Loads a base calibration from bytes or bytearray (wire format first, then\n"
                       "text format) or str (text format).") +
           kLoaded)
              .c_str())
      .def(
          "load_file",
          [](BaseCalibrationData& base, const std::filesystem::path& path) {
            std::string data;
            return readFile(path, kBaseTag, &data) && loadBase(base, data);
          },
          py::arg("path"),
          (std::string("Loads a base calibration (wire or text format) from a file: a str, bytes\n"
                       "or os.PathLike path, or an open file object. A file that cannot be read\n"
                       "returns False with an ERROR record and changes nothing.") +
           kLoaded)
              .c_str())
      .def(
          "load_file",
          [](BaseCalibrationData& base, const py::object& file) {
            return loadBase(base, readFileObject(file));
          },
          py::arg("file"))
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
          [](const BaseCalibrationData& base) { return toDouble(base.getWorldRotation()); },
          "R of the global transform (3 x 3).")
      .def_property_readonly(
          "world_translation",
          [](const BaseCalibrationData& base) { return toDouble(base.getWorldTranslation()); },
          "t of the global transform (3 values, metres).");
}

}  // namespace

void bindCameras(py::module_& m) {
  // Every class is declared before any function names it, so that each
  // signature (and the stubs generated from them) names its types.
  py::class_<CameraParameters, std::shared_ptr<CameraParameters>> parameters(m, "CameraParameters");
  py::class_<CameraParametersSet> set(m, "CameraParametersSet");
  py::class_<BaseCalibrationData> base(m, "BaseCalibrationData");
  bindCameraParameters(parameters);
  bindCameraParametersSet(set);
  bindBaseCalibrationData(base);
}

}  // namespace camera_parameters_python
