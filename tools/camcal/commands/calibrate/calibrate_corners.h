// The corners `camcal calibrate` fits: found on board images by OpenCV's
// chessboard detector, or read from a corners file, and written back to one.
//
// A corners file is JSON:
//   {"image_width": W, "image_height": H,
//    "views": [{"name": "...", "detector": "...", "corner_ids": [...],
//               "image_points": [[u, v], ...],
//               "target_points": [[x, y, z], ...]}, ...]}
// image points in pixels of the W x H image (centres at integers), target
// points in metres in the board's frame, the i-th of one matching the i-th
// of the other. "detector" (which detector and flags found the board) and
// "corner_ids" (a ChArUco board's corner identifiers, one per point) are
// optional: files without them read as before.
#pragma once

#include <Eigen/Core>
#include <cstddef>
#include <limits>
#include <string>
#include <vector>

namespace camcal {

// A chessboard by its inner corners (as OpenCV's and ROS's calibrators count
// them) and the side of one square; or a ChArUco board (a chessboard with
// ArUco markers in its white squares, every inner corner identified by the
// markers around it).
struct Board {
  int columns = 0, rows = 0;  // inner corners, also of a ChArUco board
  double square_m = 0.0;
  bool charuco = false;
  // ChArUco only: the squares as OpenCV counts them (inner corners + 1), the
  // side of a marker and OpenCV's name and number of its dictionary.
  int squares_x = 0, squares_y = 0;
  double marker_m = 0.0;
  std::string dictionary;
  int dictionary_id = -1;
};

// The least number of identified ChArUco corners that makes a view.
constexpr int kLeastCharucoCorners = 6;

// "COLSxROWS", both at least 2; throws an operation error naming the text.
void parseBoardSize(const std::string& text, Board* board);
// A positive number of metres; throws an operation error naming the text.
double parseSquareSize(const std::string& text);
// Whether --board names a ChArUco board ("charuco:...").
bool isCharucoBoard(const std::string& text);
// The board of --board and --square: "COLSxROWS" with --square (as the two
// functions above), or "charuco:COLSxROWS:SQUARE:MARKER:DICTIONARY" (squares,
// metres, OpenCV's dictionary name such as DICT_5X5_100), where --square may
// be left out or must agree. A malformed ChArUco board, an unknown
// dictionary, one too small for the board's markers, or a marker not
// smaller than its square is a usage error naming the text.
Board parseBoard(const std::string& board_text, const std::string& square);
// The board as --board spells it, with its square: "9x6, 45 mm squares", ...
std::string describeBoard(const Board& board);

// One image (or one view of a corners file) and what was found on it.
struct ImageCorners {
  std::string name;
  bool found = false;
  std::string reason;           // why nothing was found
  std::string detector;         // which detector and flags found the board
  std::vector<int> corner_ids;  // a ChArUco board's corner of each point; else empty
  std::vector<Eigen::Vector2d> image_points;
  std::vector<Eigen::Vector3d> target_points;
};

struct CornerSet {
  int width = 0, height = 0;
  std::vector<ImageCorners> images;  // in the order given
  int foundCount() const;
};

// The board's corners on every image, row by row as the detector orders
// them (a ChArUco board's by corner id), with the target points (column,
// row, 0) x the square. Every file is read and decoded first: a file that
// cannot be read or is not a whole image fails the command, all such named
// in one operation error, before any board is searched. Images of another
// size than the most common one are skipped with the reason, as an image
// without a board is; when no size is the most common, an operation error.
// Images are searched on up to `threads` threads (at most one per image);
// the result keeps the order of `paths`. With `progress`, "detected 7/20" is
// kept up to date on stderr.
CornerSet detectBoardCorners(const std::vector<std::string>& paths, const Board& board, int threads,
                             bool progress);

// The threads detection uses by default: one per core.
int detectionThreads();

// A corners file. Throws an operation error naming the file and, for JSON
// that does not parse, the line and column; and for a layout that is not the
// one above (a view whose image and target points differ in number, a
// point that is not 2 or 3 numbers, a size that is not positive); and, as
// soon as the views array begins its element max_views + 1, for more views
// than max_views, the rest of the text unread.
CornerSet readCornersFile(const std::string& path, const std::string& text,
                          size_t max_views = std::numeric_limits<size_t>::max());

// The images where a board was found, in the layout above.
std::string cornersAsJson(const CornerSet& corners);

}  // namespace camcal
