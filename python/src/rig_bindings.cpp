// Calibration of a rig of cameras from views of a board at shared moments:
// calibrate_rig and its result RigCalibration.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "bindings.h"
#include "calibration_utils/rig_calibration.h"
#include "log_bridge.h"

CAMERA_PARAMETERS_PYTHON_INITIALIZED(dravik::calibration::RigCalibration)

namespace py = pybind11;
using dravik::calibration::FixtureMoment;
using dravik::calibration::Lens;
using dravik::calibration::RigCalibration;
using dravik::calibration::RigCalibrationOptions;
using dravik::calibration::RigCameraPose;
using dravik::calibration::RigMoment;
using dravik::calibration::RigView;

namespace camera_parameters_python {

namespace {

// An (N, k) array of points as float64 rows, converted once; ValueError
// naming where it came from for any other shape.
py::array_t<double, py::array::c_style> pointRows(const py::handle& points,
                                                  const std::string& where, bool may_have_z) {
  py::array_t<double, py::array::c_style | py::array::forcecast> rows(
      py::reinterpret_borrow<py::object>(points));
  if (rows.ndim() != 2 || !(rows.shape(1) == 2 || (may_have_z && rows.shape(1) == 3))) {
    throw py::value_error(where + " must be " + (may_have_z ? "(N, 3) or (N, 2)" : "(N, 2)") +
                          ", not of shape " + std::string(py::str(rows.attr("shape"))));
  }
  return rows;
}

// Per moment a dict {camera index: (image_points, target_points)}, the
// target points (N, 3), or (N, 2) on the plane z = 0.
std::vector<RigMoment> rigMoments(const py::iterable& moments) {
  std::vector<RigMoment> out;
  for (const py::handle item : moments) {
    const std::string at = "moments[" + std::to_string(out.size()) + "]";
    if (!py::isinstance<py::dict>(item)) {
      throw py::value_error(at + " must be a dict {camera: (image_points, target_points)}");
    }
    RigMoment moment;
    for (const auto& [key, value] : py::reinterpret_borrow<py::dict>(item)) {
      const std::string where = at + "[" + std::string(py::str(key)) + "]";
      if (!py::isinstance<py::int_>(key) || key.cast<long long>() < 0) {
        throw py::value_error(at + ": a camera is an index, not " + std::string(py::repr(key)));
      }
      if (!py::isinstance<py::sequence>(value) || py::len(value) != 2) {
        throw py::value_error(where + " must be a pair (image_points, target_points)");
      }
      const py::sequence pair = py::reinterpret_borrow<py::sequence>(value);
      const auto image = pointRows(pair[0], where + " image_points", false);
      const auto target = pointRows(pair[1], where + " target_points", true);
      RigView view;
      view.camera = key.cast<std::size_t>();
      for (py::ssize_t i = 0; i < image.shape(0); ++i) {
        view.image_points.emplace_back(image.at(i, 0), image.at(i, 1));
      }
      for (py::ssize_t i = 0; i < target.shape(0); ++i) {
        view.target_points.emplace_back(target.at(i, 0), target.at(i, 1),
                                        target.shape(1) == 3 ? target.at(i, 2) : 0.0);
      }
      moment.views.push_back(std::move(view));
    }
    out.push_back(std::move(moment));
  }
  return out;
}

RigCalibration calibrate(const std::vector<Lens>& lenses, const py::iterable& moments,
                         std::size_t reference, const Eigen::Matrix4d& reference_from_robot,
                         const std::vector<std::pair<std::size_t, Eigen::Matrix4d>>& fixture,
                         bool refine_intrinsics, double outlier_sigma) {
  RigCalibrationOptions options;
  options.reference = reference;
  options.reference_from_robot = reference_from_robot;
  for (const auto& [moment, pose] : fixture) options.fixture.push_back(FixtureMoment{moment, pose});
  options.refine_intrinsics = refine_intrinsics;
  options.outlier_sigma = outlier_sigma;
  const std::vector<RigMoment> rig_moments = rigMoments(moments);
  RigCalibration result;
  const FailureReason reason;
  bool fitted;
  {
    py::gil_scoped_release release;
    fitted = dravik::calibration::calibrateRig(lenses, rig_moments, options, &result);
  }
  if (!fitted) reason.raise("the rig could not be calibrated");
  return result;
}

// One matrix or vector per camera, stacked: (C, R, K) or (C, R).
template <typename Get>
py::array_t<double> stacked(const RigCalibration& rig, int rows, int columns, Get get) {
  const py::ssize_t C = static_cast<py::ssize_t>(rig.cameras.size());
  py::array_t<double> out = columns > 0
                                ? py::array_t<double>({C, py::ssize_t(rows), py::ssize_t(columns)})
                                : py::array_t<double>({C, py::ssize_t(rows)});
  double* data = out.mutable_data();
  for (const RigCameraPose& camera : rig.cameras) {
    const auto value = get(camera);
    for (int r = 0; r < rows; ++r) {
      for (int c = 0; c < std::max(columns, 1); ++c) *data++ = value(r, c);
    }
  }
  return out;
}

void bindRigClass(py::class_<RigCalibration>& c) {
  c.doc() = R"(The result of calibrate_rig: every camera's pose relative to the reference
camera and in the robot frame, their covariances and standard deviations, the
board's pose at every moment, the errors and the points kept.

Poses map a frame into the camera frame: camera_from_reference[c] (C x 4 x 4,
metres), camera_from_robot[c]. A covariance (C x 6 x 6) is of the camera's
orientation (a small rotation vector in the axes of the frame, radians), then
its centre in that frame (metres).)";
  c.def_property_readonly(
      "camera_from_reference",
      [](const RigCalibration& rig) {
        return stacked(rig, 4, 4, [](const RigCameraPose& p) { return p.camera_from_reference; });
      },
      "Each camera's pose relative to the reference (C x 4 x 4, metres), the reference's the "
      "identity.");
  c.def_property_readonly(
      "covariance",
      [](const RigCalibration& rig) {
        return stacked(rig, 6, 6, [](const RigCameraPose& p) { return p.covariance; });
      },
      "The covariance (C x 6 x 6) of each camera's orientation and centre in the reference frame, "
      "zero for the reference.");
  c.def_property_readonly(
      "rotation_sigma_deg",
      [](const RigCalibration& rig) {
        return stacked(rig, 3, 0, [](const RigCameraPose& p) { return p.rotation_sigma_deg; });
      },
      "The standard deviations (C x 3) of each orientation about the reference's axes, degrees.");
  c.def_property_readonly(
      "centre_sigma_mm",
      [](const RigCalibration& rig) {
        return stacked(rig, 3, 0, [](const RigCameraPose& p) { return p.centre_sigma_mm; });
      },
      "The standard deviations (C x 3) of each camera centre in the reference frame, millimetres.");
  c.def_property_readonly(
      "camera_from_robot",
      [](const RigCalibration& rig) {
        return stacked(rig, 4, 4, [](const RigCameraPose& p) { return p.camera_from_robot; });
      },
      "Each camera's pose in the robot frame (C x 4 x 4, metres).");
  c.def_property_readonly(
      "robot_covariance",
      [](const RigCalibration& rig) {
        return stacked(rig, 6, 6, [](const RigCameraPose& p) { return p.robot_covariance; });
      },
      "The covariance (C x 6 x 6) of each camera's orientation and centre in the robot frame.");
  c.def_property_readonly(
      "robot_rotation_sigma_deg",
      [](const RigCalibration& rig) {
        return stacked(rig, 3, 0,
                       [](const RigCameraPose& p) { return p.robot_rotation_sigma_deg; });
      },
      "The standard deviations (C x 3) of each orientation about the robot's axes, degrees.");
  c.def_property_readonly(
      "robot_centre_sigma_mm",
      [](const RigCalibration& rig) {
        return stacked(rig, 3, 0, [](const RigCameraPose& p) { return p.robot_centre_sigma_mm; });
      },
      "The standard deviations (C x 3) of each camera centre in the robot frame, millimetres.");
  c.def_property_readonly(
      "lenses",
      [](const RigCalibration& rig) {
        std::vector<Lens> lenses;
        for (const RigCameraPose& camera : rig.cameras) lenses.push_back(camera.lens);
        return lenses;
      },
      "The lens each camera's poses were fitted through (refined or as given).");
  c.def_property_readonly(
      "camera_rms_px",
      [](const RigCalibration& rig) {
        std::vector<double> rms;
        for (const RigCameraPose& camera : rig.cameras) rms.push_back(camera.rms_px);
        return rms;
      },
      "The rms error over each camera's kept points, pixels.");
  c.def_property_readonly(
      "camera_moments",
      [](const RigCalibration& rig) {
        std::vector<std::size_t> moments;
        for (const RigCameraPose& camera : rig.cameras) moments.push_back(camera.moments);
        return moments;
      },
      "The number of moments each camera saw the board at.");
  c.def_property_readonly(
      "reference_from_target",
      [](const RigCalibration& rig) {
        const py::ssize_t M = static_cast<py::ssize_t>(rig.reference_from_target.size());
        py::array_t<double> out({M, py::ssize_t(4), py::ssize_t(4)});
        double* data = out.mutable_data();
        for (const auto& pose : rig.reference_from_target) {
          for (int r = 0; r < 4; ++r) {
            for (int k = 0; k < 4; ++k) *data++ = pose(r, k);
          }
        }
        return out;
      },
      "The board's pose in the reference camera's frame at each moment (M x 4 x 4, metres).");
  c.def_readonly("view_rms_px", &RigCalibration::view_rms_px,
                 "The rms of each view, per moment in the order of its views, pixels.");
  c.def_readonly("kept", &RigCalibration::kept,
                 "Per moment, per view, per point, 1 when the point was used in the final fit.");
  c.def_readonly("rms_px", &RigCalibration::rms_px, "The rms error over every kept point, pixels.");
  c.def_readonly("iterations", &RigCalibration::iterations,
                 "The Levenberg-Marquardt iterations the fit took.");
}

}  // namespace

void bindRig(py::module_& m) {
  py::class_<RigCalibration> rig(m, "RigCalibration");
  bindRigClass(rig);
  m.def("calibrate_rig", &calibrate, py::arg("lenses"), py::arg("moments"),
        py::arg("reference") = 0,
        py::arg("reference_from_robot") = Eigen::Matrix4d::Identity().eval(),
        py::arg("fixture") = std::vector<std::pair<std::size_t, Eigen::Matrix4d>>(),
        py::arg("refine_intrinsics") = false, py::arg("outlier_sigma") = 0.0,
        R"(Every camera's pose relative to a reference camera from views of a board held
still at several moments (calibrateRig).

lenses: one Lens per camera, at the size of its images. moments: per moment a
dict {camera index: (image_points (N, 2) pixels, target_points (N, 3) or
(N, 2) metres)} of the cameras that see the board then. reference: the camera
the poses are relative to; reference_from_robot: its pose in the robot frame
(4 x 4), which it keeps unless a fixture is given. fixture: (moment,
robot_from_target 4 x 4) pairs of moments at which the board sits at a known
pose in the robot frame; they give the reference's pose too.
refine_intrinsics: fit each camera's K and lens as well. outlier_sigma > 0:
drop points beyond outlier_sigma x the rms and fit again.

Returns a RigCalibration. ValueError with the library's reason for what it
refuses (cameras not connected by shared moments, a camera seen at fewer than
two moments, points not finite, ...).)");
}

}  // namespace camera_parameters_python
