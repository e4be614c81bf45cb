// The text and JSON forms of a comparison of two calibrations.
#include <cmath>
#include <cstdio>
#include <iterator>
#include <nlohmann/json.hpp>

#include "analysis/calibration_diff.h"
#include "cli/text_table.h"

namespace camcal {

namespace {

std::string fixed(double value, int digits) {
  char text[64];
  std::snprintf(text, sizeof(text), "%.*f", digits, value);
  // -0.000 reads as 0.000: the sign of a zero change means nothing.
  std::string result = text;
  if (result.find_first_not_of("-0.") == std::string::npos && result[0] == '-') result.erase(0, 1);
  return result;
}

// A displacement: "no ray" for one that B cannot see.
std::string displacement(double value) { return std::isfinite(value) ? fixed(value, 3) : "no ray"; }

std::string signedFixed(double value, int digits) {
  const std::string text = fixed(value, digits);
  return text[0] == '-' ? text : "+" + text;
}

std::string rowLabel(const SizeDiff& size) {
  if (size.ptz_zoom) return "zoom " + std::to_string(size.zoom);
  return std::to_string(size.width) + "x" + std::to_string(size.height);
}

std::string namesOrNone(const std::vector<std::string>& names) {
  std::string text;
  for (const auto& name : names) text += (text.empty() ? "" : ", ") + name;
  return text;
}

// Rounded to the digits the text shows, so that JSON readers see the same
// numbers and not float noise.
double rounded(double value, int digits) {
  const double scale = std::pow(10.0, digits);
  const double r = std::round(value * scale) / scale;
  return r == 0.0 ? 0.0 : r;
}

}  // namespace

std::string diffAsText(const CalibrationDiff& diff) {
  std::string out = "A  " + diff.path_a + "\nB  " + diff.path_b + "\n";
  for (const CameraDiff& camera : diff.cameras) {
    out += "\n" + camera.name + "  " +
           (camera.model_a == camera.model_b ? camera.model_a
                                             : camera.model_a + " -> " + camera.model_b) +
           "\n";
    out += "  pose  centre moved " + fixed(camera.centre_moved_mm, 2) + " mm, turned " +
           fixed(camera.rotation_deg, 4) + " deg\n";
    TextTable table;
    table.setAlignment("lrrrll");
    table.addRow({diff.ptz ? "zoom sample" : "size", "max px", "median", "p99", "max at u v",
                  "change fx fy cx cy (px)"});
    for (const SizeDiff& size : camera.sizes) {
      const auto& d = size.displacement;
      std::string counts;
      if (d.skipped > 0)
        counts += std::to_string(d.skipped) + " grid pixels without a ray left out";
      if (d.unseen > 0) {
        counts +=
            (counts.empty() ? "" : ", ") + std::to_string(d.unseen) + " rays that B cannot see";
      }
      table.addRow({rowLabel(size), displacement(d.max), displacement(d.median),
                    displacement(d.p99),
                    d.max > 0.0 ? fixed(d.max_at.x(), 0) + " " + fixed(d.max_at.y(), 0) : "-",
                    signedFixed(size.fx_change, 3) + " " + signedFixed(size.fy_change, 3) + " " +
                        signedFixed(size.cx_change, 3) + " " + signedFixed(size.cy_change, 3) +
                        (counts.empty() ? "" : "  (" + counts + ")")});
    }
    out += table.render("  ");
  }
  if (!diff.only_in_a.empty()) out += "\nonly in A: " + namesOrNone(diff.only_in_a) + "\n";
  if (!diff.only_in_b.empty()) out += "\nonly in B: " + namesOrNone(diff.only_in_b) + "\n";
  const int unseen = diff.unseen();
  if (unseen > 0) {
    out += "\nno ray: " + std::to_string(unseen) +
           " rays of A that B cannot see (behind its camera or beyond the sound region of its "
           "lens): over --max-px " +
           fixed(diff.max_px, 3) + "\n";
  } else {
    out += "\nlargest displacement " + fixed(diff.largest(), 3) +
           " px: " + (diff.withinThreshold() ? "within" : "over") + " --max-px " +
           fixed(diff.max_px, 3) + "\n";
  }
  return out;
}

std::string diffAsJson(const CalibrationDiff& diff) {
  nlohmann::ordered_json json;
  json["a"] = diff.path_a;
  json["b"] = diff.path_b;
  json["kind"] = diff.ptz ? "ptz" : "robot";
  json["max_px"] = diff.max_px;
  json["largest_px"] = rounded(diff.largest(), 6);
  json["within_threshold"] = diff.withinThreshold();
  json["rays_not_seen_by_b"] = diff.unseen();
  json["cameras"] = nlohmann::ordered_json::array();
  for (const CameraDiff& camera : diff.cameras) {
    nlohmann::ordered_json entry;
    entry["name"] = camera.name;
    entry["model_a"] = camera.model_a;
    entry["model_b"] = camera.model_b;
    entry["pose"] = {{"centre_moved_mm", rounded(camera.centre_moved_mm, 6)},
                     {"rotation_deg", rounded(camera.rotation_deg, 6)}};
    nlohmann::ordered_json rows = nlohmann::ordered_json::array();
    for (const SizeDiff& size : camera.sizes) {
      nlohmann::ordered_json row;
      if (size.ptz_zoom) row["zoom"] = size.zoom;
      row["width"] = size.width;
      row["height"] = size.height;
      const auto& d = size.displacement;
      row["max_px"] = rounded(d.max, 6);
      row["median_px"] = rounded(d.median, 6);
      row["p99_px"] = rounded(d.p99, 6);
      row["max_at"] = {d.max_at.x(), d.max_at.y()};
      row["rays"] = d.rays;
      row["rays_left_out"] = d.skipped;
      row["rays_not_seen_by_b"] = d.unseen;
      row["fx_change"] = rounded(size.fx_change, 6);
      row["fy_change"] = rounded(size.fy_change, 6);
      row["cx_change"] = rounded(size.cx_change, 6);
      row["cy_change"] = rounded(size.cy_change, 6);
      rows.push_back(row);
    }
    entry[diff.ptz ? "zoom_samples" : "sizes"] = rows;
    json["cameras"].push_back(entry);
  }
  json["only_in_a"] = diff.only_in_a;
  json["only_in_b"] = diff.only_in_b;
  return json.dump(2) + "\n";
}

}  // namespace camcal
