// The pan/tilt head fitted to views of a still board: calibrate_pan_tilt_head
// and its result PanTiltHeadCalibration.
#include <google/protobuf/text_format.h>
#include <pybind11/stl.h>

#include <optional>
#include <string>
#include <vector>

#include "bindings.h"
#include "calibration_common/pan_tilt_head_calibration.h"
#include "log_bridge.h"

namespace py = pybind11;
using dravik::calibration::PanTiltHeadOptions;
using dravik::calibration::PanTiltHeadResult;
using dravik::calibration::PanTiltHeadView;
using dravik::calibration::PanTiltModel;
using dravik::calibration::PTZCameraParameters;

namespace camera_parameters_python {

// What Python gets back: the fitted head as a model and as text, and the
// fit's numbers.
struct HeadCalibration {
  PanTiltHeadResult result;
  PanTiltModel head;
};

}  // namespace camera_parameters_python

CAMERA_PARAMETERS_PYTHON_INITIALIZED(camera_parameters_python::HeadCalibration)

namespace camera_parameters_python {

namespace {

// Each view a tuple (pan, tilt, zoom, image_points (N, 2), target_points
// (N, 3)).
std::vector<PanTiltHeadView> headViews(const py::iterable& views) {
  std::vector<PanTiltHeadView> out;
  for (const py::handle item : views) {
    const std::string at = "views[" + std::to_string(out.size()) + "]";
    if (!py::isinstance<py::sequence>(item) || py::len(item) != 5) {
      throw py::value_error(at + " must be (pan, tilt, zoom, image_points, target_points)");
    }
    const py::sequence view = py::reinterpret_borrow<py::sequence>(item);
    for (int k = 0; k < 3; ++k) {
      if (!py::isinstance<py::int_>(view[k])) {
        throw py::type_error(at + ": the motor positions are whole steps (int), not " +
                             std::string(py::repr(view[k])));
      }
    }
    PanTiltHeadView head_view;
    head_view.pan = view[0].cast<int>();
    head_view.tilt = view[1].cast<int>();
    head_view.zoom = view[2].cast<int>();
    const Batch<2> image = batchOf<2>(view[3]);
    const Batch<3> target = batchOf<3>(view[4]);
    for (Eigen::Index i = 0; i < image.count; ++i)
      head_view.image_points.push_back(image.rows().row(i).transpose());
    for (Eigen::Index i = 0; i < target.count; ++i)
      head_view.target_points.push_back(target.rows().row(i).transpose());
    out.push_back(std::move(head_view));
  }
  return out;
}

HeadCalibration calibrate(const std::string& data, const py::iterable& views,
                          const std::optional<Fixed<double, 4, 4>>& fixture, bool fit_scales) {
  PTZCameraParameters ptz;
  if (!parseCalibration(data, &ptz)) {
    throw py::value_error("not a PTZ calibration (neither wire nor text format)");
  }
  PanTiltHeadOptions options;
  options.fit_scales = fit_scales;
  if (fixture) {
    options.has_fixture = true;
    options.world_from_board = fixture->value;
  }
  const std::vector<PanTiltHeadView> head_views = headViews(views);
  HeadCalibration out;
  const FailureReason reason;
  bool fitted;
  {
    py::gil_scoped_release release;
    fitted = dravik::calibration::calibratePanTiltHead(ptz, head_views, options, &out.result);
  }
  if (!fitted) reason.raise("the pan/tilt head could not be fitted");
  out.head.readFromPB(out.result.parameters);
  return out;
}

template <typename Get>
std::vector<std::string> fittedField(const HeadCalibration& c, Get get) {
  std::vector<std::string> values;
  for (const auto& p : c.result.fitted) values.push_back(get(p));
  return values;
}

}  // namespace

void bindPtzHead(py::module_& m) {
  py::class_<HeadCalibration> c(m, "PanTiltHeadCalibration");
  c.doc() = R"(The result of calibrate_pan_tilt_head: the fitted head, the covariance of
the fitted parameters and the errors of every view.

The fitted parameters (names, units) are the identifiable part of the head: T's
turn about and shift along the axes' common normal, D's turns about its x and
y and its shift, the tilt offset, the board's pose in the pan base (or, with a
fixture, P but for its turn about the pan axis, and the pan offset), with
fit_scales the two scales. changes and sigmas are in units (deg, mm, steps,
deg/step); covariance in radians, metres, steps and radians per step.)";
  c.def_property_readonly(
       "head", [](const HeadCalibration& h) { return h.head; },
       "The fitted head (PanTiltModel), every field not fitted as the calibration had it.")
      .def_property_readonly(
          "head_text",
          [](const HeadCalibration& h) {
            std::string text;
            google::protobuf::TextFormat::PrintToString(h.result.parameters, &text);
            return text;
          },
          "The fitted PanTiltSystemParameters in protobuf text format (the pan_tilt of a PTZ "
          "calibration).")
      .def_property_readonly(
          "names",
          [](const HeadCalibration& h) {
            return fittedField(h, [](const auto& p) { return p.name; });
          },
          "The fitted parameters, in the order of the covariance.")
      .def_property_readonly(
          "units",
          [](const HeadCalibration& h) {
            return fittedField(h, [](const auto& p) { return p.unit; });
          },
          "The unit of each change and sigma.")
      .def_property_readonly(
          "changes",
          [](const HeadCalibration& h) {
            std::vector<double> v;
            for (const auto& p : h.result.fitted) v.push_back(p.change);
            return v;
          },
          "Each parameter's change from the calibration's value, in its unit.")
      .def_property_readonly(
          "sigmas",
          [](const HeadCalibration& h) {
            std::vector<double> v;
            for (const auto& p : h.result.fitted) v.push_back(p.standard_deviation);
            return v;
          },
          "Each parameter's standard deviation, in its unit.")
      .def_property_readonly(
          "covariance",
          [](const HeadCalibration& h) { return Eigen::MatrixXd(h.result.covariance); },
          "The covariance of the fitted parameters (P x P).")
      .def_property_readonly(
          "world_from_board",
          [](const HeadCalibration& h) { return Eigen::Matrix4d(h.result.world_from_board); },
          "The board's pose in the world frame of the fitted head (4 x 4, metres).")
      .def_property_readonly(
          "view_rms_px", [](const HeadCalibration& h) { return h.result.view_rms; },
          "Each view's rms reprojection error, pixels.")
      .def_property_readonly(
          "aiming_error_deg", [](const HeadCalibration& h) { return h.result.aiming_error_deg; },
          "Each view's aiming error at the board's centre through the fitted head, degrees.")
      .def_property_readonly(
          "aiming_error_px", [](const HeadCalibration& h) { return h.result.aiming_error_px; },
          "The same in pixels at the view's zoom.")
      .def_property_readonly(
          "aiming_error_before_px",
          [](const HeadCalibration& h) { return h.result.aiming_error_before_px; },
          "Each view's aiming error through the calibration's own head, pixels.")
      .def_property_readonly(
          "rms_px", [](const HeadCalibration& h) { return h.result.rms; },
          "The rms reprojection error over every corner, pixels.");
  m.def(
      "calibrate_pan_tilt_head",
      [](const std::string& data, const py::iterable& views,
         const std::optional<py::object>& fixture, bool fit_scales) {
        std::optional<Fixed<double, 4, 4>> pose;
        if (fixture && !fixture->is_none()) pose = fixedOf<double, 4, 4>(*fixture);
        return calibrate(data, views, pose, fit_scales);
      },
      py::arg("calibration"), py::arg("views"), py::arg("fixture") = py::none(),
      py::arg("fit_scales") = false,
      R"(Fits the pan/tilt head of a PTZ calibration (bytes: wire or text format; str:
text format) to views of a board that stays still while the head moves. views:
an iterable of (pan, tilt, zoom, image_points (N, 2), target_points (N, 3)),
motor positions in steps, pixels of the calibration image, the board's frame
in metres. fixture: the board's pose in the world frame (4 x 4), when known;
then P and the pan offset are fitted too. Returns a PanTiltHeadCalibration;
raises ValueError with the library's reason when the views cannot fit the
head (too few, or leaving a parameter undetermined, which it names).)");
}

}  // namespace camera_parameters_python
