// Board sizes, square sizes and corners files.
#include "calibrate_corners.h"

#include <cmath>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <regex>

#include "board_finder.h"
#include "cli/command_error.h"
#include "cli/number_format.h"

namespace camcal {

namespace {

using nlohmann::json;

// The library's DOM builder that keeps where parsing stopped instead of
// throwing: a number too large for a double (1e999) is reported by the
// library without its position.
// It also counts the elements of the top level's "views" array as they
// begin, and stops at the one past `max_views`, before the rest is read.
class PositionedParser : public nlohmann::detail::json_sax_dom_parser<json> {
  using Base = nlohmann::detail::json_sax_dom_parser<json>;

 public:
  PositionedParser(json& root, size_t max_views) : Base(root, false), max_views_(max_views) {}

  bool key(std::string& name) {
    views_key_ = depth_ == 1 && name == "views";
    return Base::key(name);
  }
  bool start_object(std::size_t size) { return begin() && Base::start_object(size); }
  bool start_array(std::size_t size) {
    if (depth_ == 1 && views_key_) views_depth_ = 2;
    return begin() && Base::start_array(size);
  }
  bool end_object() { return end() && Base::end_object(); }
  bool end_array() {
    if (depth_ == views_depth_) views_depth_ = 0;
    return end() && Base::end_array();
  }
  template <class Exception>
  bool parse_error(std::size_t byte, const std::string& token, const Exception& error) {
    failed = true;
    // A syntax error is reported after the byte that broke it; a number too
    // large after the whole number (the token): at the number's start.
    const size_t back = error.id == kNumberOverflow ? token.size() : 1;
    byte_ = byte - std::min(byte, back);
    message = error.what();
    // Without the library's "[json.exception.parse_error.101] parse error at
    // line 1, column 2: " prefix: the position is given as line and column.
    const size_t bracket = message.find("] ");
    if (bracket != std::string::npos) message = message.substr(bracket + 2);
    const size_t colon = message.find(": ", message.find("parse error"));
    if (message.rfind("parse error", 0) == 0 && colon != std::string::npos) {
      message = message.substr(colon + 2);
    }
    return false;
  }
  size_t byte() const { return byte_; }

  static constexpr int kNumberOverflow = 406;  // the library's out_of_range id

  bool failed = false;
  bool too_many_views = false;
  std::string message;

 private:
  // An object or array begins: one more view when it is an element of the
  // views array.
  bool begin() {
    if (views_depth_ != 0 && depth_ == views_depth_ && ++views_ > max_views_) {
      too_many_views = true;
      return false;
    }
    ++depth_;
    return true;
  }
  bool end() {
    --depth_;
    return true;
  }

  size_t byte_ = 0;
  size_t max_views_;
  size_t depth_ = 0, views_depth_ = 0, views_ = 0;
  bool views_key_ = false;
};

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

bool isCharucoBoard(const std::string& text) { return text.rfind("charuco:", 0) == 0; }

Board parseBoard(const std::string& board_text, const std::string& square) {
  Board board;
  if (!isCharucoBoard(board_text)) {
    parseBoardSize(board_text, &board);
    board.square_m = parseSquareSize(square);
    return board;
  }
  static const std::regex kCharuco(
      "charuco:([0-9]{1,4})x([0-9]{1,4}):([^:]+):([^:]+):([A-Za-z0-9_]+)");
  std::smatch match;
  const auto malformed = [&board_text](const std::string& why) {
    return usageError("malformed ChArUco board '" + board_text + "': " + why);
  };
  if (!std::regex_match(board_text, match, kCharuco)) {
    throw malformed(
        "expected charuco:COLSxROWS:SQUARE:MARKER:DICTIONARY, squares and metres, e.g. "
        "charuco:11x8:0.04:0.03:DICT_5X5_100");
  }
  board.charuco = true;
  board.squares_x = std::atoi(match[1].str().c_str());
  board.squares_y = std::atoi(match[2].str().c_str());
  if (board.squares_x < 3 || board.squares_y < 3) {
    throw malformed("a ChArUco board has at least 3x3 squares");
  }
  board.columns = board.squares_x - 1;
  board.rows = board.squares_y - 1;
  try {
    board.square_m = parseSquareSize(match[3].str());
    board.marker_m = parseSquareSize(match[4].str());
  } catch (const CommandError&) {
    throw malformed("the square and the marker are positive numbers of metres");
  }
  if (!(board.marker_m < board.square_m)) {
    throw malformed("the marker (" + match[4].str() + " m) must be smaller than its square (" +
                    match[3].str() + " m)");
  }
  board.dictionary = match[5].str();
  board.dictionary_id = arucoDictionaryByName(board.dictionary);
  if (board.dictionary_id < 0) {
    throw usageError("unknown ArUco dictionary '" + board.dictionary + "' in '" + board_text +
                     "': OpenCV's names, DICT_4X4_50 to DICT_7X7_1000, DICT_ARUCO_ORIGINAL, "
                     "DICT_APRILTAG_16h5 to DICT_APRILTAG_36h11");
  }
  const int markers = board.squares_x * board.squares_y / 2;
  const int held = arucoDictionarySize(board.dictionary_id);
  if (markers > held) {
    throw malformed("its " + std::to_string(markers) + " markers are more than " +
                    board.dictionary + " holds (" + std::to_string(held) + ")");
  }
  if (!square.empty()) {
    double given = 0.0;
    try {
      given = parseSquareSize(square);
    } catch (const CommandError& e) {
      throw usageError(e.what());
    }
    if (std::fabs(given - board.square_m) > 1e-9 * board.square_m) {
      throw usageError("--square " + square + " disagrees with the square of the ChArUco board '" +
                       board_text + "' (leave --square out: the board gives it)");
    }
  }
  return board;
}

std::string describeBoard(const Board& board) {
  const std::string square = formatPrintf("%g", board.square_m * 1000.0) + " mm squares";
  if (!board.charuco) {
    return std::to_string(board.columns) + "x" + std::to_string(board.rows) + " inner corners, " +
           square;
  }
  return "ChArUco " + std::to_string(board.squares_x) + "x" + std::to_string(board.squares_y) +
         " squares, " + square + ", " + formatPrintf("%g", board.marker_m * 1000.0) +
         " mm markers, " + board.dictionary;
}

CornerSet readCornersFile(const std::string& path, const std::string& text, size_t max_views) {
  json root;
  PositionedParser parser(root, max_views);
  const bool parsed = json::sax_parse(text, &parser);
  if (parser.too_many_views) {
    throw operationError(path + ": " + std::to_string(max_views + 1) +
                         " views or more, more than --max-views " + std::to_string(max_views) +
                         " (read no further)");
  }
  if (!parsed || parser.failed) {
    throw operationError(path + ": not a corners file (JSON, " +
                         lineAndColumn(text, parser.byte()) + ": " + parser.message + ")");
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
      const auto detector = view.find("detector");
      if (detector != view.end() && detector->is_string()) image.detector = *detector;
      const auto ids = view.find("corner_ids");
      if (ids != view.end()) {
        if (!ids->is_array() || ids->size() != image.image_points.size()) {
          throw std::invalid_argument(where + " (" + image.name +
                                      ") has \"corner_ids\" that are not one per point");
        }
        for (const json& id : *ids) {
          if (!id.is_number_integer()) {
            throw std::invalid_argument(where + " (" + image.name +
                                        ") has a corner id that is not a whole number");
          }
          image.corner_ids.push_back(id.get<int>());
        }
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
            "\n    {\n      \"name\": " + json(image.name).dump() + ",";
    if (!image.detector.empty())
      text += "\n      \"detector\": " + json(image.detector).dump() + ",";
    if (!image.corner_ids.empty()) {
      text += "\n      \"corner_ids\": " + json(image.corner_ids).dump() + ",";
    }
    text += "\n      \"image_points\": [";
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
