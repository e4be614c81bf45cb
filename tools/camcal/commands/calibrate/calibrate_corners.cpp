// Board sizes, square sizes and corners files.
#include "calibrate_corners.h"

#include <cmath>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <regex>

#include "cli/command_error.h"

namespace camcal {

namespace {

using nlohmann::json;

// Line and column (both from 1) of the byte at `offset` of text.
std::string lineAndColumn(const std::string& text, size_t offset) {
  offset = std::min(offset, text.size());
  int line = 1, column = 1;
  for (size_t i = 0; i < offset; ++i) {
    if (text[i] == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  }
  return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

// A finite number; throws the layout error otherwise.
double numberAt(const json& value, const std::string& where) {
  if (!value.is_number() || !std::isfinite(value.get<double>())) {
    throw std::invalid_argument(where + " is not a finite number");
  }
  return value.get<double>();
}

int sizeAt(const json& root, const char* key) {
  const auto it = root.find(key);
  if (it == root.end() || !it->is_number_integer() || it->get<long long>() <= 0 ||
      it->get<long long>() > 1000000) {
    throw std::invalid_argument(std::string("\"") + key + "\" is not a positive whole number");
  }
  return static_cast<int>(it->get<long long>());
}

// The point list `key` of a view: arrays of `dimensions` numbers (2 or 3 for
// target points, whose z is then 0).
std::vector<Eigen::Vector3d> pointsAt(const json& view, const char* key, int least, int most,
                                      const std::string& where) {
  const auto it = view.find(key);
  if (it == view.end() || !it->is_array()) {
    throw std::invalid_argument(where + " has no \"" + key + "\" array");
  }
  std::vector<Eigen::Vector3d> points;
  for (size_t i = 0; i < it->size(); ++i) {
    const json& point = (*it)[i];
    const std::string at = where + " " + key + "[" + std::to_string(i) + "]";
    const int n = point.is_array() ? static_cast<int>(point.size()) : 0;
    if (n < least || n > most) {
      throw std::invalid_argument(at + " is not " +
                                  (least == most
                                       ? std::to_string(least)
                                       : std::to_string(least) + " or " + std::to_string(most)) +
                                  " numbers");
    }
    Eigen::Vector3d p = Eigen::Vector3d::Zero();
    for (int k = 0; k < n; ++k) p[k] = numberAt(point[size_t(k)], at);
    points.push_back(p);
  }
  return points;
}

}  // namespace

int CornerSet::foundCount() const {
  int found = 0;
  for (const ImageCorners& image : images) found += image.found ? 1 : 0;
  return found;
}

void parseBoardSize(const std::string& text, Board* board) {
  static const std::regex kSize("([0-9]{1,4})x([0-9]{1,4})");
  std::smatch match;
  if (std::regex_match(text, match, kSize)) {
    board->columns = std::atoi(match[1].str().c_str());
    board->rows = std::atoi(match[2].str().c_str());
    if (board->columns >= 2 && board->rows >= 2) return;
  }
  throw operationError("malformed board size '" + text +
                       "': expected COLSxROWS, inner corners, both at least 2, e.g. 9x6");
}

double parseSquareSize(const std::string& text) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(value) ||
      !(value > 0.0)) {
    throw operationError("malformed square size '" + text +
                         "': expected a positive number of metres, e.g. 0.025");
  }
  return value;
}

CornerSet readCornersFile(const std::string& path, const std::string& text) {
  json root;
  try {
    root = json::parse(text);
  } catch (const json::parse_error& e) {
    std::string message = e.what();
    // The library's text after its position: "syntax error while parsing ...".
    const size_t colon = message.find(": ", message.find("parse error"));
    if (colon != std::string::npos) message = message.substr(colon + 2);
    throw operationError(path + ": not a corners file (JSON, " + lineAndColumn(text, e.byte - 1) +
                         ": " + message + ")");
  }
  CornerSet corners;
  try {
    if (!root.is_object()) throw std::invalid_argument("the top level is not an object");
    corners.width = sizeAt(root, "image_width");
    corners.height = sizeAt(root, "image_height");
    const auto views = root.find("views");
    if (views == root.end() || !views->is_array()) {
      throw std::invalid_argument("there is no \"views\" array");
    }
    for (size_t v = 0; v < views->size(); ++v) {
      const json& view = (*views)[v];
      const std::string where = "view " + std::to_string(v);
      if (!view.is_object()) throw std::invalid_argument(where + " is not an object");
      ImageCorners image;
      const auto name = view.find("name");
      image.name = name != view.end() && name->is_string() ? name->get<std::string>() : where;
      for (const Eigen::Vector3d& p : pointsAt(view, "image_points", 2, 2, where)) {
        image.image_points.push_back(p.head<2>());
      }
      image.target_points = pointsAt(view, "target_points", 2, 3, where);
      if (image.image_points.size() != image.target_points.size()) {
        throw std::invalid_argument(
            where + " (" + image.name + ") has " + std::to_string(image.image_points.size()) +
            " image points and " + std::to_string(image.target_points.size()) + " target points");
      }
      image.found = true;
      corners.images.push_back(std::move(image));
    }
  } catch (const std::invalid_argument& e) {
    throw operationError(path + ": not a corners file: " + e.what());
  } catch (const json::exception& e) {
    throw operationError(path + ": not a corners file: " + e.what());
  }
  return corners;
}

std::string cornersAsJson(const CornerSet& corners) {
  // One view per block, one point per line: readable, and diffable.
  std::string text = "{\n  \"image_width\": " + std::to_string(corners.width) +
                     ",\n  \"image_height\": " + std::to_string(corners.height) +
                     ",\n  \"views\": [";
  bool first_view = true;
  for (const ImageCorners& image : corners.images) {
    if (!image.found) continue;
    text += std::string(first_view ? "" : ",") +
            "\n    {\n      \"name\": " + json(image.name).dump() + ",\n      \"image_points\": [";
    first_view = false;
    for (size_t i = 0; i < image.image_points.size(); ++i) {
      const Eigen::Vector2d& p = image.image_points[i];
      text += std::string(i ? "," : "") + "\n        " + json::array({p.x(), p.y()}).dump();
    }
    text += "\n      ],\n      \"target_points\": [";
    for (size_t i = 0; i < image.target_points.size(); ++i) {
      const Eigen::Vector3d& p = image.target_points[i];
      text += std::string(i ? "," : "") + "\n        " + json::array({p.x(), p.y(), p.z()}).dump();
    }
    text += "\n      ]\n    }";
  }
  return text + (first_view ? "]\n}\n" : "\n  ]\n}\n");
}

}  // namespace camcal
