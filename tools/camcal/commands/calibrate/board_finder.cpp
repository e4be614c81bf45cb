// OpenCV's chessboard and ChArUco detectors, found on a downscaled copy and
// refined at full resolution.
#include "board_finder.h"

#include <algorithm>
#include <cmath>
#include <opencv2/aruco/charuco.hpp>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>
#include <utility>
#include <vector>

#include "corner_refinement.h"

namespace camcal {

namespace {

// OpenCV's predefined dictionaries by name.
const std::vector<std::pair<std::string, int>>& arucoDictionaries() {
  using namespace cv::aruco;
  static const std::vector<std::pair<std::string, int>> kDictionaries = {
      {"DICT_4X4_50", DICT_4X4_50},
      {"DICT_4X4_100", DICT_4X4_100},
      {"DICT_4X4_250", DICT_4X4_250},
      {"DICT_4X4_1000", DICT_4X4_1000},
      {"DICT_5X5_50", DICT_5X5_50},
      {"DICT_5X5_100", DICT_5X5_100},
      {"DICT_5X5_250", DICT_5X5_250},
      {"DICT_5X5_1000", DICT_5X5_1000},
      {"DICT_6X6_50", DICT_6X6_50},
      {"DICT_6X6_100", DICT_6X6_100},
      {"DICT_6X6_250", DICT_6X6_250},
      {"DICT_6X6_1000", DICT_6X6_1000},
      {"DICT_7X7_50", DICT_7X7_50},
      {"DICT_7X7_100", DICT_7X7_100},
      {"DICT_7X7_250", DICT_7X7_250},
      {"DICT_7X7_1000", DICT_7X7_1000},
      {"DICT_ARUCO_ORIGINAL", DICT_ARUCO_ORIGINAL},
      {"DICT_APRILTAG_16h5", DICT_APRILTAG_16h5},
      {"DICT_APRILTAG_25h9", DICT_APRILTAG_25h9},
      {"DICT_APRILTAG_36h10", DICT_APRILTAG_36h10},
      {"DICT_APRILTAG_36h11", DICT_APRILTAG_36h11},
  };
  return kDictionaries;
}

// A copy of the image downscaled by the least whole factor that brings its
// long side to `long_side` pixels or fewer; the image itself at factor 1.
struct Level {
  cv::Mat image;
  int factor = 1;
  double scale_x = 1.0, scale_y = 1.0;  // full-resolution pixels per pixel of the copy

  // A pixel of the copy at full resolution (pixel centres at integers).
  cv::Point2f toFull(const cv::Point2f& p) const {
    return {float((p.x + 0.5) * scale_x - 0.5), float((p.y + 0.5) * scale_y - 0.5)};
  }
};

Level levelOf(const cv::Mat& gray, int long_side) {
  Level level;
  const int longest = std::max(gray.cols, gray.rows);
  level.factor = std::max(1, (longest + long_side - 1) / long_side);
  if (level.factor == 1) {
    level.image = gray;
    return level;
  }
  const cv::Size size(std::max(1, gray.cols / level.factor), std::max(1, gray.rows / level.factor));
  cv::resize(gray, level.image, size, 0.0, 0.0, cv::INTER_AREA);
  level.scale_x = double(gray.cols) / size.width;
  level.scale_y = double(gray.rows) / size.height;
  return level;
}

std::string scaleText(const Level& level) {
  return level.factor == 1 ? "" : ", 1/" + std::to_string(level.factor) + " scale";
}

// One way of finding a chessboard on a copy.
struct ChessboardAttempt {
  bool sector_based;  // findChessboardCornersSB, else findChessboardCorners
  int flags;
  const char* name;
};

constexpr ChessboardAttempt kFindingAttempts[] = {
    {true, 0, "findChessboardCornersSB(0)"},
    {true, cv::CALIB_CB_EXHAUSTIVE, "findChessboardCornersSB(EXHAUSTIVE)"},
    {false, cv::CALIB_CB_ADAPTIVE_THRESH | cv::CALIB_CB_NORMALIZE_IMAGE,
     "findChessboardCorners(ADAPTIVE_THRESH|NORMALIZE_IMAGE)"},
};
constexpr ChessboardAttempt kRefiningAttempt = {true, 0, "findChessboardCornersSB(0)"};

bool attempt(const ChessboardAttempt& how, const Level& level, const cv::Size& pattern,
             std::vector<cv::Point2f>* found) {
  found->clear();
  const bool ok = how.sector_based
                      ? cv::findChessboardCornersSB(level.image, pattern, *found, how.flags)
                      : cv::findChessboardCorners(level.image, pattern, *found, how.flags);
  return ok && found->size() == size_t(pattern.area());
}

// Each corner's half window, as a fraction of the distance to its nearest
// neighbour: within the four squares around the corner, yet averaging as
// much of their edges as it can.
constexpr double kChessboardWindowFraction = 0.4;

// Keeps the corners that converged in refinement, in order, with what
// names each (its grid place or its id); the detector's text says how many
// were dropped, and `why`.
template <typename Names>
void keepConverged(const std::vector<bool>& converged, std::vector<cv::Point2f>* points,
                   Names* names, std::string* detector,
                   const char* why = "cornerSubPix did not converge") {
  size_t kept = 0;
  for (size_t i = 0; i < points->size(); ++i) {
    if (!converged[i]) continue;
    (*points)[kept] = (*points)[i];
    (*names)[kept] = (*names)[i];
    ++kept;
  }
  const size_t dropped = points->size() - kept;
  points->resize(kept);
  names->resize(kept);
  if (dropped > 0) {
    *detector += ", " + std::to_string(dropped) + (dropped == 1 ? " corner" : " corners") +
                 " dropped (" + why + ")";
  }
}

bool findChessboard(const cv::Mat& gray, const Board& board, ImageCorners* corners) {
  const cv::Size pattern(board.columns, board.rows);
  std::vector<cv::Point2f> found;
  const Level finding = levelOf(gray, kFindingLongSide);
  const ChessboardAttempt* used = nullptr;
  const Level* level = &finding;
  for (const ChessboardAttempt& how : kFindingAttempts) {
    if (attempt(how, finding, pattern, &found)) {
      used = &how;
      break;
    }
  }
  Level refining;
  if (!used) {
    refining = levelOf(gray, kRefiningLongSide);
    if (refining.factor < finding.factor && attempt(kRefiningAttempt, refining, pattern, &found)) {
      used = &kRefiningAttempt;
      level = &refining;
    }
  }
  if (!used) {
    corners->reason =
        "no " + std::to_string(board.columns) + "x" + std::to_string(board.rows) + " board found";
    return false;
  }
  for (cv::Point2f& p : found) p = level->toFull(p);
  std::vector<GridPlace> places;
  for (int r = 0; r < board.rows; ++r)
    for (int c = 0; c < board.columns; ++c) places.push_back({c, r});
  corners->detector = std::string(used->name) + scaleText(*level) + ", cornerSubPix";
  keepConverged(refineCorners(gray, places, kChessboardWindowFraction, &found), &found, &places,
                &corners->detector);
  if (found.size() < size_t(kLeastCharucoCorners)) {
    corners->reason = "the board's corners did not converge in refinement";
    return false;
  }
  for (size_t i = 0; i < found.size(); ++i) {
    corners->image_points.emplace_back(found[i].x, found[i].y);
    corners->target_points.emplace_back(places[i].column * board.square_m,
                                        places[i].row * board.square_m, 0.0);
  }
  return true;
}

bool findCharuco(const cv::Mat& gray, const Board& board, ImageCorners* corners) {
  const cv::Ptr<cv::aruco::Dictionary> dictionary =
      cv::aruco::getPredefinedDictionary(board.dictionary_id);
  const cv::Ptr<cv::aruco::CharucoBoard> charuco = cv::aruco::CharucoBoard::create(
      board.squares_x, board.squares_y, float(board.square_m), float(board.marker_m), dictionary);
  const Level level = levelOf(gray, kRefiningLongSide);
  std::vector<std::vector<cv::Point2f>> markers;
  std::vector<int> marker_ids;
  cv::aruco::detectMarkers(level.image, dictionary, markers, marker_ids);
  for (std::vector<cv::Point2f>& marker : markers)
    for (cv::Point2f& p : marker) p = level.toFull(p);
  std::vector<cv::Point2f> found;
  std::vector<int> ids;
  // A corner from one identified marker beside it, not OpenCV's default two:
  // where the edge cuts the board, or the lens squeezes the markers beyond
  // reading, the last corners have one; the refinement below keeps those it
  // can place.
  if (!marker_ids.empty()) {
    cv::aruco::interpolateCornersCharuco(markers, marker_ids, gray, charuco, found, ids,
                                         cv::noArray(), cv::noArray(), 1);
  }
  if (ids.size() < size_t(kLeastCharucoCorners)) {
    corners->reason = "ChArUco board: " + std::to_string(marker_ids.size()) + " markers and " +
                      std::to_string(ids.size()) + " corners identified, " +
                      std::to_string(kLeastCharucoCorners) + " corners needed";
    return false;
  }
  // OpenCV's interpolation refines in a window of its own, too wide for
  // small squares; refined again in a window that stays within the light
  // band between a corner and the markers beside it, whose edges would pull
  // the corner towards them: three quarters of the band, since a square
  // window reaches farther along its diagonals, towards the markers' corners
  // (measured: a narrower window averages too little, a wider one is pulled).
  // The band is a fraction of the square's shortest side, which the markers
  // beside the corner give where the lens squeezes the squares one way; only
  // the corners that settle are kept (corner_refinement.h).
  std::vector<GridPlace> places;
  for (const int id : ids) places.push_back({id % board.columns, id / board.columns});
  std::vector<double> marker_sides(size_t(arucoDictionarySize(board.dictionary_id)), 0.0);
  for (size_t m = 0; m < markers.size(); ++m) {
    double side = 0.0;
    for (size_t k = 0; k < 4; ++k) {
      const double d = cv::norm(markers[m][k] - markers[m][(k + 1) % 4]);
      if (side == 0.0 || d < side) side = d;
    }
    if (marker_ids[m] >= 0 && size_t(marker_ids[m]) < marker_sides.size()) {
      marker_sides[size_t(marker_ids[m])] = side * board.square_m / board.marker_m;
    }
  }
  std::vector<double> square_sides(ids.size(), 0.0);
  for (size_t i = 0; i < ids.size(); ++i) {
    for (const int beside : charuco->nearestMarkerIdx[size_t(ids[i])]) {
      const double side = marker_sides[size_t(charuco->ids[size_t(beside)])];
      if (side > 0.0 && (square_sides[i] == 0.0 || side < square_sides[i])) square_sides[i] = side;
    }
  }
  const double band = 0.75 * (board.square_m - board.marker_m) / (2.0 * board.square_m);
  std::string dropped;
  keepConverged(refineCorners(gray, places, band, &found, &square_sides), &found, &ids, &dropped,
                "cornerSubPix did not converge or settle");
  if (ids.size() < size_t(kLeastCharucoCorners)) {
    corners->reason = "ChArUco board: " + std::to_string(ids.size()) +
                      " corners converged in refinement, " + std::to_string(kLeastCharucoCorners) +
                      " needed";
    return false;
  }
  std::vector<size_t> order(ids.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return ids[a] < ids[b]; });
  // Each corner where OpenCV's layout of the board puts it, in whole
  // squares from corner 0 (exact multiples of the square, not OpenCV's floats).
  const std::vector<cv::Point3f>& layout = charuco->chessboardCorners;
  const float square = charuco->getSquareLength();
  for (const size_t i : order) {
    const int id = ids[i];
    corners->corner_ids.push_back(id);
    corners->image_points.emplace_back(found[i].x, found[i].y);
    corners->target_points.emplace_back(
        std::round((layout[size_t(id)].x - layout[0].x) / square) * board.square_m,
        std::round((layout[size_t(id)].y - layout[0].y) / square) * board.square_m, 0.0);
  }
  corners->detector = "detectMarkers(" + board.dictionary + ")" + scaleText(level) +
                      ", interpolateCornersCharuco" + dropped;
  return true;
}

}  // namespace

int arucoDictionaryByName(const std::string& name) {
  for (const auto& [known, id] : arucoDictionaries()) {
    if (known == name) return id;
  }
  return -1;
}

int arucoDictionarySize(int dictionary_id) {
  return cv::aruco::getPredefinedDictionary(dictionary_id)->bytesList.rows;
}

bool findBoard(const cv::Mat& gray, const Board& board, ImageCorners* corners) {
  corners->image_points.clear();
  corners->target_points.clear();
  corners->corner_ids.clear();
  try {
    if (board.charuco ? findCharuco(gray, board, corners) : findChessboard(gray, board, corners)) {
      return true;
    }
  } catch (const cv::Exception& e) {
    corners->reason = "the detector failed: " + e.err;
  }
  corners->image_points.clear();
  corners->target_points.clear();
  corners->corner_ids.clear();
  corners->detector.clear();
  return false;
}

}  // namespace camcal
