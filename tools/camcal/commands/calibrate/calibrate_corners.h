// The corners `camcal calibrate` fits: found on board images by OpenCV's
// chessboard detector, or read from a corners file, and written back to one.
//
// A corners file is JSON:
//   {"image_width": W, "image_height": H,
//    "views": [{"name": "...", "image_points": [[u, v], ...],
//               "target_points": [[x, y, z], ...]}, ...]}
// image points in pixels of the W x H image (centres at integers), target
// points in metres in the board's frame, the i-th of one matching the i-th
// of the other.
#pragma once

#include <Eigen/Core>
#include <string>
#include <vector>

namespace camcal {

// A chessboard by its inner corners (as OpenCV's and ROS's calibrators count
// them) and the side of one square.
struct Board {
  int columns = 0, rows = 0;
  double square_m = 0.0;
};

// "COLSxROWS", both at least 2; throws an operation error naming the text.
void parseBoardSize(const std::string& text, Board* board);
// A positive number of metres; throws an operation error naming the text.
double parseSquareSize(const std::string& text);

// One image (or one view of a corners file) and what was found on it.
struct ImageCorners {
  std::string name;
  bool found = false;
  std::string reason;  // why nothing was found
  std::vector<Eigen::Vector2d> image_points;
  std::vector<Eigen::Vector3d> target_points;
};

struct CornerSet {
  int width = 0, height = 0;
  std::vector<ImageCorners> images;  // in the order given
  int foundCount() const;
};

// The board's corners on every image, row by row as the detector orders
// them, with the target points (column, row, 0) x the square. Images are
// read and searched on up to `threads` threads (at most one per image); the
// result keeps the order of `paths`. With `progress`, "detected 7/20" is
// kept up to date on stderr. Throws an operation error, naming the file,
// for a file that cannot be read or is not a whole image, and for images
// of different sizes.
CornerSet detectBoardCorners(const std::vector<std::string>& paths, const Board& board, int threads,
                             bool progress);

// The threads detection uses by default: one per core.
int detectionThreads();

// A corners file. Throws an operation error naming the file and, for JSON
// that does not parse, the line and column; and for a layout that is not the
// one above (a view whose image and target points differ in number, a
// point that is not 2 or 3 numbers, a size that is not positive).
CornerSet readCornersFile(const std::string& path, const std::string& text);

// The images where a board was found, in the layout above.
std::string cornersAsJson(const CornerSet& corners);

}  // namespace camcal
