// Refining a board's corners at full resolution with cornerSubPix, each in a
// window its own neighbours bound.
//
// A corner's window is a fraction of the distance to its nearest neighbour
// on the board's grid: under a strong lens or a steep view the squares of
// one board differ several times in size, and a window sized by the
// smallest square is too narrow for a large, sheared one, where
// cornerSubPix then cannot converge. cornerSubPix puts a corner back where
// it started when its estimate leaves the window; such a corner has not
// converged, keeps the error of the downscaled search (pixels, not tenths),
// and is dropped rather than passed to the fit.
//
// Where a board's light squares hold markers, its squeezed cells show a
// corner as the crossing of two thin light bands, along which cornerSubPix
// slides pixels away from it, or, in a window sized by a far neighbour, is
// pulled to a marker's edge. There the square's own side, from the markers
// beside the corner, bounds the window too, and a corner is kept only where
// it settles: refined again from starts half a window off each way, and in
// a window one pixel wider, it lands where it did, its window inside the
// image.
#pragma once

#include <opencv2/core.hpp>
#include <vector>

namespace camcal {

// A corner's place on the board's grid, in whole squares.
struct GridPlace {
  int column = 0, row = 0;
};

// Refines `points` (full-resolution estimates) in place, corner i in a half
// window of `fraction` of its nearest grid neighbour's distance (2 to 11
// pixels; a corner without a neighbour found takes the board's shortest).
// True for the corners that converged. With `square_sides` (a board with
// markers: per corner, the shortest side, pixels, of a square beside it; 0
// where unknown), a window is also at most `fraction` of that side, and
// true only for the corners that settled.
std::vector<bool> refineCorners(const cv::Mat& gray, const std::vector<GridPlace>& places,
                                double fraction, std::vector<cv::Point2f>* points,
                                const std::vector<double>* square_sides = nullptr);

}  // namespace camcal
