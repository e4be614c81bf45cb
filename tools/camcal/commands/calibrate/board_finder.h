// Finding a board on one gray image with OpenCV's detectors.
//
// A chessboard is searched on a copy downscaled by a whole factor to a long
// side of at most kFindingLongSide pixels, where OpenCV's detectors are fast
// and robust, through a sequence of detectors and flags until one finds it:
// findChessboardCornersSB with no flags, then with CALIB_CB_EXHAUSTIVE, then
// the classic findChessboardCorners with an adaptive threshold; then
// findChessboardCornersSB on a copy of at most kRefiningLongSide pixels
// (a board too small for the first copy). The corners found are refined by
// cornerSubPix on the full-resolution image, in a window that the board's
// squares bound. No detector ever sees more than kRefiningLongSide pixels
// on a side, which bounds its memory whatever the image's size.
//
// A ChArUco board's markers are found by detectMarkers (on a copy of at most
// kRefiningLongSide pixels), its corners interpolated and refined by
// interpolateCornersCharuco on the full-resolution image (a corner from one
// identified marker beside it) and refined again, each corner kept only
// where its refinement settles; a view needs kLeastCharucoCorners of them.
#pragma once

#include <opencv2/core.hpp>
#include <string>

#include "calibrate_corners.h"

namespace camcal {

constexpr int kFindingLongSide = 800;
constexpr int kRefiningLongSide = 2048;

// OpenCV's predefined ArUco dictionary of that name (DICT_5X5_100, ...), or -1.
int arucoDictionaryByName(const std::string& name);
// The number of markers the dictionary holds.
int arucoDictionarySize(int dictionary_id);

// The board on an 8-bit gray image: image points, target points (metres,
// (column, row, 0) x the square), ChArUco corner ids, and which detector
// with which flags found it (`corners->detector`). False, with the reason in
// `corners->reason`, when it is not found. Never throws.
bool findBoard(const cv::Mat& gray, const Board& board, ImageCorners* corners);

}  // namespace camcal
