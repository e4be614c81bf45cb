#include "calibrate_report.h"

#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "cli/number_format.h"
#include "cli/text_table.h"

namespace camcal {

namespace {

using dravik::calibration::SoundRegion;

// The fitted terms in the order of the covariance.
constexpr const char* kTermNames[12] = {"fx", "fy", "cx", "cy", "k1", "k2",
                                        "p1", "p2", "k3", "k4", "k5", "k6"};

// Value of term i of the covariance order.
float termValue(const CalibrationRun& run, int i) {
  const Eigen::Matrix3f& K = run.fit.lens.K();
  switch (i) {
    case 0:
      return K(0, 0);
    case 1:
      return K(1, 1);
    case 2:
      return K(0, 2);
    case 3:
      return K(1, 2);
    default:
      return run.fit.lens.distortion()[size_t(i - 4)];
  }
}

const char* edgeName(SoundRegion::Edge edge) {
  return edge == SoundRegion::Edge::kFold   ? "fold"
         : edge == SoundRegion::Edge::kPole ? "pole"
                                            : "none";
}

double edgeDegrees(const SoundRegion& region) { return std::atan(region.radius) * 180.0 / M_PI; }

std::string soundRegionText(const CalibrationRun& run) {
  const SoundRegion& region = run.sound_region;
  std::string text =
      region.edge == SoundRegion::Edge::kNone
          ? "no fold or pole out to " + formatPrintf("%.1f", edgeDegrees(region)) + " deg off axis"
          : std::string(edgeName(region.edge)) + " at " +
                formatPrintf("%.1f", edgeDegrees(region)) + " deg off axis";
  return text + "; " +
         (run.soundness_problem.empty()
              ? "sound over the whole image"
              : "NOT sound over the whole image: " + run.soundness_problem);
}

std::string pixelText(const Eigen::Vector2d& at) {
  return formatPrintf("%g", at.x()) + " " + formatPrintf("%g", at.y());
}

// A term's standard deviation: "fixed" for a term the fit held (zero),
// "inf" for one the views do not determine.
std::string deviationText(double deviation) {
  if (std::isinf(deviation)) return "inf";
  return deviation > 0.0 ? formatPrintf("%.2g", deviation) : "fixed";
}

std::string percentText(double share) { return formatPrintf("%.0f", 100.0 * share) + " %"; }

// "above 1 px over 8 % of the image, above 5 px over 3 %, unbounded over 2 %".
std::string sharesText(const CalibrationRun& run) {
  std::string text = "above 1 px over " + percentText(run.share_above_1px) +
                     " of the image, above 5 px over " + percentText(run.share_above_5px);
  if (run.share_unbounded > 0.0) text += ", unbounded over " + percentText(run.share_unbounded);
  return text;
}

// Why a term's deviation is unbounded: the undetermined directions that name it.
std::string unboundedReason(const CalibrationRun& run, const std::string& term) {
  std::string reason;
  for (const auto& undetermined : run.fit.undetermined) {
    const std::string& direction = undetermined.description;
    const bool names = (" " + direction + " ").find(" " + term + " ") != std::string::npos ||
                       direction.find(term + ",") != std::string::npos;
    if (names || run.fit.undetermined.size() == 1) {
      reason += (reason.empty() ? "" : "; ") + direction;
    }
  }
  return "not determined by the views" + (reason.empty() ? "" : ": " + reason);
}

// A number of JSON, or null where it is unbounded.
nlohmann::ordered_json boundedOrNull(double value) {
  return std::isinf(value) ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(value);
}

}  // namespace

std::string calibrationReportAsText(const CalibrationRun& run, const IntoCalibration* into) {
  TextTable images;
  images.setAlignment("lrrrl");
  images.addRow({"image", "corners", "rms px", "outliers", ""});
  for (size_t i = 0; i < run.corners.images.size(); ++i) {
    const ImageCorners& image = run.corners.images[i];
    const int view = run.view_of_image[i];
    if (view < 0) {
      images.addRow({image.name, "-", "-", "-", image.reason});
      continue;
    }
    images.addRow({image.name, std::to_string(image.image_points.size()),
                   formatPrintf("%.3f", run.fit.view_rms_px[size_t(view)]),
                   std::to_string(run.droppedCount(static_cast<int>(i))), ""});
  }
  std::string out = images.render("");
  out += "\nviews        " + std::to_string(run.corners.foundCount()) + " of " +
         std::to_string(run.corners.images.size()) + " images, " + std::to_string(run.keptCount()) +
         " of " + std::to_string(run.residuals.size()) + " corners kept\n";
  out += "rms          " + formatPrintf("%.3f", run.fit.rms_px) + " px\n";
  out += "image size   " + std::to_string(run.corners.width) + "x" +
         std::to_string(run.corners.height) + "\n\n";
  TextTable terms;
  terms.setAlignment("lrr");
  terms.addRow({"", "value", "std dev"});
  for (int i = 0; i < 12; ++i) {
    terms.addRow({kTermNames[i], formatNumber(termValue(run, i)),
                  deviationText(run.fit.standard_deviations[i])});
  }
  out += terms.render("");
  for (const auto& direction : run.fit.undetermined) {
    out += "undetermined  " + direction.description + "\n";
  }
  out += "\nsound region  " + soundRegionText(run) + "\n";
  if (!run.uncertainty.empty()) {
    out += "uncertainty   largest " +
           (std::isinf(run.covered_largest_uncertainty)
                ? std::string("unbounded")
                : formatPrintf("%.3f", run.covered_largest_uncertainty) + " px") +
           " where the kept corners reach, at " + pixelText(run.covered_largest_uncertainty_at) +
           "; " + sharesText(run) + "\n";
  }
  if (into) {
    out += "moved         largest displacement " +
           formatPrintf("%.3f", into->largest.displacement.max) +
           " px against the previous calibration, at " + std::to_string(into->largest.width) + "x" +
           std::to_string(into->largest.height) + " pixel " +
           pixelText(into->largest.displacement.max_at) + "\n";
    if (into->sample_points) out += "sample points from " + into->sample_view + "\n";
  }
  return out;
}

std::string calibrationReportAsJson(const CalibrationRun& run, const IntoCalibration* into,
                                    const std::string& camera_json) {
  nlohmann::ordered_json json;
  json["image_width"] = run.corners.width;
  json["image_height"] = run.corners.height;
  nlohmann::ordered_json images = nlohmann::ordered_json::array();
  for (size_t i = 0; i < run.corners.images.size(); ++i) {
    const ImageCorners& image = run.corners.images[i];
    const int view = run.view_of_image[i];
    nlohmann::ordered_json row;
    row["name"] = image.name;
    row["found"] = view >= 0;
    if (view < 0) {
      row["reason"] = image.reason;
    } else {
      row["corners"] = image.image_points.size();
      row["rms_px"] = run.fit.view_rms_px[size_t(view)];
      row["outliers"] = run.droppedCount(static_cast<int>(i));
      row["detector"] = image.detector;
    }
    images.push_back(row);
  }
  json["images"] = images;
  json["views"] = run.corners.foundCount();
  json["corners_kept"] = run.keptCount();
  json["rms_px"] = run.fit.rms_px;
  json["converged"] = run.fit.converged;
  nlohmann::ordered_json values, deviations;
  for (int i = 0; i < 12; ++i) {
    values[kTermNames[i]] = decimalOf(termValue(run, i));
    deviations[kTermNames[i]] = boundedOrNull(run.fit.standard_deviations[i]);
  }
  json["values"] = values;
  json["standard_deviations"] = deviations;
  // Each null deviation's reason.
  nlohmann::ordered_json unbounded = nlohmann::ordered_json::object();
  for (int i = 0; i < 12; ++i) {
    if (std::isinf(run.fit.standard_deviations[i])) {
      unbounded[kTermNames[i]] = unboundedReason(run, kTermNames[i]);
    }
  }
  json["unbounded_standard_deviations"] = unbounded;
  std::vector<std::string> undetermined;
  for (const auto& direction : run.fit.undetermined) undetermined.push_back(direction.description);
  json["undetermined"] = undetermined;
  json["sound_region"] = {{"edge", edgeName(run.sound_region.edge)},
                          {"edge_deg_off_axis", edgeDegrees(run.sound_region)},
                          {"sound_over_image", run.soundness_problem.empty()},
                          {"problem", run.soundness_problem}};
  if (!run.uncertainty.empty()) {
    // Over the kept corners' convex hull; null, with the reason, when
    // unbounded there.
    json["largest_uncertainty_px"] = boundedOrNull(run.covered_largest_uncertainty);
    if (std::isinf(run.covered_largest_uncertainty)) {
      json["largest_uncertainty_reason"] =
          "unbounded: " + (run.fit.undetermined.empty()
                               ? std::string("the views do not determine the lens")
                               : run.fit.undetermined.front().description);
    }
    json["largest_uncertainty_at"] = {run.covered_largest_uncertainty_at.x(),
                                      run.covered_largest_uncertainty_at.y()};
    json["largest_uncertainty_over"] = "the convex hull of the kept corners";
    json["uncertainty_share_above_1px"] = run.share_above_1px;
    json["uncertainty_share_above_5px"] = run.share_above_5px;
    json["uncertainty_share_unbounded"] = run.share_unbounded;
  }
  if (into) {
    nlohmann::ordered_json moved;
    moved["file"] = into->path;
    moved["camera"] = into->camera;
    moved["model"] = into->model;
    moved["largest_displacement_px"] = into->largest.displacement.max;
    moved["at_size"] = {into->largest.width, into->largest.height};
    moved["max_at"] = {into->largest.displacement.max_at.x(),
                       into->largest.displacement.max_at.y()};
    moved["sample_points_from"] = into->sample_points ? into->sample_view : "";
    json["into"] = moved;
  }
  json["warnings"] = run.warnings;
  if (!camera_json.empty()) json["camera"] = nlohmann::ordered_json::parse(camera_json);
  return json.dump(2) + "\n";
}

}  // namespace camcal
