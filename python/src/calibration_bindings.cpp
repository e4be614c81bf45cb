// Calibration of a camera from views of a rigid target: calibrate_camera,
// its result CameraCalibration (the library's CameraFit), and
// projection_uncertainty.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "bindings.h"
#include "calibration_utils/camera_calibration.h"
#include "log_bridge.h"

namespace py = pybind11;
using dravik::calibration::CameraFitOptions;
using dravik::calibration::LensTerms;
using dravik::calibration::TargetView;
using Calibration = dravik::calibration::CameraFit;

namespace camera_parameters_python {

namespace {

// The free lens terms spelt as the library's table spells them (camcal
// calibrate's --lens too).
LensTerms lensTerms(const std::string& name) {
  LensTerms terms;
  if (dravik::calibration::parseLensTerms(name, &terms)) return terms;
  throw py::value_error("lens_terms must be one of " + dravik::calibration::lensTermsSpellings() +
                        ", not '" + name + "'");
}

// One (N, k) array of a view as float64 rows, converted once; ValueError
// naming the view for any other shape.
py::array_t<double, py::array::c_style> pointRows(const py::handle& points, std::size_t view,
                                                  const char* name, bool may_have_z) {
  const std::string expected = may_have_z ? "(N, 3) or (N, 2)" : "(N, 2)";
  const std::string where = "views[" + std::to_string(view) + "]: " + name + ": ";
  py::array array;
  try {
    array = realArray(points, expected);
  } catch (const py::type_error& e) {
    throw py::type_error(where + e.what());
  }
  py::array_t<double, py::array::c_style | py::array::forcecast> rows(array);
  if (rows.ndim() != 2 || !(rows.shape(1) == 2 || (may_have_z && rows.shape(1) == 3))) {
    throw py::value_error("views[" + std::to_string(view) + "]: " + name + " must be " + expected +
                          ", not of shape " + shapeText(rows));
  }
  return rows;
}

// The views as the library takes them: per view an (image_points,
// target_points) pair of (N, 2) pixels and (N, 3) or (N, 2) target points,
// the latter on the plane z = 0. Unequal lengths are the library's to refuse.
std::vector<TargetView> targetViews(const py::iterable& views) {
  std::vector<TargetView> out;
  for (const py::handle item : views) {
    const std::size_t v = out.size();
    if (!py::isinstance<py::sequence>(item) || py::len(item) != 2) {
      throw py::value_error("views[" + std::to_string(v) +
                            "] must be a pair (image_points, target_points)");
    }
    const py::sequence pair = py::reinterpret_borrow<py::sequence>(item);
    const auto image = pointRows(pair[0], v, "image_points", false);
    const auto target = pointRows(pair[1], v, "target_points", true);
    TargetView view;
    for (py::ssize_t i = 0; i < image.shape(0); ++i) {
      view.image_points.emplace_back(image.at(i, 0), image.at(i, 1));
    }
    for (py::ssize_t i = 0; i < target.shape(0); ++i) {
      view.target_points.emplace_back(target.at(i, 0), target.at(i, 1),
                                      target.shape(1) == 3 ? target.at(i, 2) : 0.0);
    }
    out.push_back(std::move(view));
  }
  return out;
}

Calibration calibrate(const py::iterable& views, const std::pair<int, int>& image_size,
                      const std::string& lens_terms, bool fix_principal_point,
                      bool same_focal_length, double outlier_sigma) {
  checkImageSize(image_size.first, image_size.second);
  CameraFitOptions options;
  options.lens_terms = lensTerms(lens_terms);
  options.fix_principal_point = fix_principal_point;
  options.same_focal_length = same_focal_length;
  options.outlier_sigma = outlier_sigma;
  const std::vector<TargetView> target_views = targetViews(views);
  Calibration result;
  dravik::calibration::FitFailure failure;
  bool fitted;
  {
    py::gil_scoped_release release;
    fitted = dravik::calibration::calibrateCamera(target_views, image_size.first, image_size.second,
                                                  options, &result, &failure);
  }
  if (!fitted) throw py::value_error(dravik::calibration::fitFailureText(failure));
  return result;
}

py::array_t<double> uncertainty(const Calibration& calibration, int step) {
  std::vector<float> sigma;
  const FailureReason reason;
  bool computed;
  {
    py::gil_scoped_release release;
    computed = dravik::calibration::projectionUncertainty(calibration, step, &sigma);
  }
  if (!computed) reason.raise("no projection uncertainty");
  const py::ssize_t rows = calibration.lens.height() / step,
                    columns = calibration.lens.width() / step;
  py::array_t<double> out({rows, columns});
  std::copy(sigma.begin(), sigma.end(), out.mutable_data());
  return out;
}

void bindCalibrationClass(py::class_<Calibration>& c) {
  c.doc() = R"(The result of calibrate_camera: the fitted lens, one pose per view, the
errors and the covariance of the intrinsics.

Frames: camera_from_target[v] maps a point of view v's target frame (metres)
into the camera frame: X_camera = camera_from_target[v] @ (X_target, 1).
Errors are reprojection errors |p - project(P)| in pixels; an rms is over
the points it covers. Covariance order: fx, fy, cx, cy, k1, k2, p1, p2, k3,
k4, k5, k6 (zero rows for terms held fixed), the poses marginalised.)";
  c.def_property_readonly(
       "lens", [](const Calibration& r) { return r.lens; },
       "The fitted Lens (no skew), sound over the whole image.")
      .def_property_readonly(
          "camera_from_target",
          [](const Calibration& r) {
            py::array_t<double> poses(
                {py::ssize_t(r.camera_from_target.size()), py::ssize_t(4), py::ssize_t(4)});
            auto out = poses.mutable_unchecked<3>();
            for (py::ssize_t v = 0; v < out.shape(0); ++v) {
              for (int i = 0; i < 4; ++i) {
                for (int j = 0; j < 4; ++j) out(v, i, j) = r.camera_from_target[v](i, j);
              }
            }
            return poses;
          },
          "One pose per view (V x 4 x 4, metres); the identity for a view dropped as\n"
          "degenerate.")
      .def_readonly("rms_px", &Calibration::rms_px, "The rms error over the points kept, pixels.")
      .def_property_readonly(
          "view_rms_px",
          [](const Calibration& r) {
            return py::array_t<double>(py::ssize_t(r.view_rms_px.size()), r.view_rms_px.data());
          },
          "The rms error of each view (V), pixels; NaN for a view dropped as degenerate.")
      .def_property_readonly(
          "kept",
          [](const Calibration& r) {
            py::list kept;
            static_assert(sizeof(bool) == sizeof(std::uint8_t), "flags read as bytes of 0 and 1");
            for (const std::vector<std::uint8_t>& flags : r.kept) {
              kept.append(py::array_t<bool>(py::ssize_t(flags.size()),
                                            reinterpret_cast<const bool*>(flags.data())));
            }
            return kept;
          },
          "For each view, one flag per point, True where the point was used in the\n"
          "final fit (a list of V bool arrays).")
      .def_property_readonly(
          "covariance", [](const Calibration& r) { return r.covariance; },
          "The covariance (12 x 12) of fx fy cx cy k1 k2 p1 p2 k3 k4 k5 k6: sigma^2\n"
          "(J'J)^-1 with sigma^2 = |r|^2 / (2 n - p); zero when the views do not\n"
          "determine the intrinsics.")
      .def_property_readonly(
          "standard_deviations", [](const Calibration& r) { return r.standard_deviations; },
          "The square roots of the covariance's diagonal (12).")
      .def_readonly("iterations", &Calibration::iterations,
                    "The Levenberg-Marquardt iterations the fit took.")
      .def_readonly("converged", &Calibration::converged,
                    "False when the fit stopped at its step budget (with a WARNING record).")
      .def("__repr__", [](const Calibration& r) {
        return "<CameraCalibration " + std::to_string(r.lens.width()) + "x" +
               std::to_string(r.lens.height()) + ", " +
               std::to_string(r.camera_from_target.size()) + " views, rms " +
               std::to_string(r.rms_px) + " px>";
      });
}

}  // namespace

void bindCalibration(py::module_& m) {
  py::class_<Calibration> calibration(m, "CameraCalibration");
  bindCalibrationClass(calibration);
  m.def("calibrate_camera", &calibrate, py::arg("views"), py::arg("image_size"),
        py::arg("lens_terms") =
            std::string(dravik::calibration::lensTermsName(CameraFitOptions().lens_terms)),
        py::arg("fix_principal_point") = false, py::arg("same_focal_length") = false,
        py::arg("outlier_sigma") = 0.0,
        R"(Fits the camera of an image of image_size = (width, height) pixels to views
of a rigid target: the rational lens and every view's pose together, by
Levenberg-Marquardt from Zhang's closed form, sound over the whole image.

views: a list of (image_points, target_points) pairs, per view the measured
pixels (N x 2, centres at integers) and the same points in the target's
frame (N x 3 metres, or N x 2 for a board's z = 0). lens_terms: the free
terms, 'rational' (all eight), 'plumb-bob' (k1 k2 p1 p2 k3) or 'none'.
fix_principal_point holds it at ((width - 1) / 2, (height - 1) / 2);
same_focal_length makes fx = fy; outlier_sigma > 0 drops the points whose
error exceeds outlier_sigma x the rms and fits again, until none does.
Returns a CameraCalibration. ValueError with the library's reason for what it
refuses: fewer than 2 views (3 for 'rational'), a view with fewer than 6
points or unequal lengths, points not finite, a target whose points lie on
a line, a size not positive or too large. A view seen edge-on is dropped
with a WARNING record. The GIL is released while it fits.)");
  m.def("projection_uncertainty", &uncertainty, py::arg("calibration"), py::arg("step"),
        R"(The standard deviation, in pixels, of where the fixed camera-frame ray of
each pixel is seen, from the calibration's covariance: an (height // step,
width // step) array whose entry [j, i] is that of the pixel
(i step + step // 2, j step + step // 2); NaN where the pixel has no ray.
ValueError with the library's reason for a step not positive or larger than
the image, or a calibration whose lens or covariance is not usable.)");
}

}  // namespace camera_parameters_python
