// What `camcal ptz-head` reads besides the calibration: the motor positions
// of its pictures and the board's known pose.
//
// A positions file is CSV with the header `image,pan,tilt,zoom` and one line
// per picture: its path (relative to the file's folder, or absolute) and the
// motor positions in whole steps. Blank lines are skipped.
//
// A fixture file holds the board's pose in the world frame, world_from_board:
// three or four rows of four numbers (the rows of [R t], metres), separated by
// blanks, commas or line ends; a fourth row must be 0 0 0 1.
#pragma once

#include <string>
#include <vector>

#include "dravik/eigen_types.h"

namespace camcal {

struct PicturePosition {
  std::string path;  // as camcal opens it
  int pan = 0, tilt = 0, zoom = 0;
};

// Throws an operation error naming the file and the line for a header that
// is not the one above, a line without four fields, a position that is not a
// whole number, and a file with no picture.
std::vector<PicturePosition> readPositionsFile(const std::string& path, const std::string& text);

// Throws an operation error naming the file for anything but 12 or 16
// numbers, or a last row other than 0 0 0 1.
dravik::Matrix4d readFixturePose(const std::string& path, const std::string& text);

}  // namespace camcal
