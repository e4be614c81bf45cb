#include "corner_refinement.h"

#include <algorithm>
#include <map>
#include <opencv2/imgproc.hpp>
#include <utility>

namespace camcal {

namespace {

const cv::TermCriteria kRefinementCriteria(cv::TermCriteria::EPS + cv::TermCriteria::COUNT, 40,
                                           0.001);
constexpr int kLeastHalfWindow = 2;
constexpr int kMostHalfWindow = 11;
// How far a settled corner's refinements from other starts and windows may
// land from it, pixels (measured: a corner that settles lands within
// hundredths, one that slides along a band a pixel or more away).
constexpr double kSettledPx = 0.5;

// `point` refined in a half window `half`; false when cornerSubPix put it
// back where it started (its estimate left the window).
bool refineOne(const cv::Mat& gray, int half, cv::Point2f* point) {
  std::vector<cv::Point2f> one = {*point};
  cv::cornerSubPix(gray, one, cv::Size(half, half), cv::Size(-1, -1), kRefinementCriteria);
  const bool moved = one[0] != *point;
  *point = one[0];
  return moved;
}

// Whether a refined corner lands within kSettledPx of itself when refined
// from starts half a window off along each diagonal, and in a window one
// pixel wider; and whether that window, with the pixel beyond it that its
// gradients take, lies inside the image (beyond, cornerSubPix repeats the
// edge's pixels, which pull the corner off without keeping it from settling).
bool settles(const cv::Mat& gray, int half, const cv::Point2f& corner) {
  const float reach = float(half + 2);
  if (corner.x < reach || corner.y < reach || corner.x > gray.cols - 1 - reach ||
      corner.y > gray.rows - 1 - reach)
    return false;
  const float off = 0.5f * half;
  const cv::Point2f starts[] = {{off, off}, {off, -off}, {-off, off}, {-off, -off}, {0, 0}};
  for (const cv::Point2f& start : starts) {
    cv::Point2f point = corner + start;
    const bool wider = start == cv::Point2f(0, 0);
    if (!refineOne(gray, wider ? half + 1 : half, &point) || cv::norm(point - corner) > kSettledPx)
      return false;
  }
  return true;
}

// The distance from each corner to its nearest neighbour on the grid (left,
// right, above, below) among the corners found; 0 when none was found.
std::vector<double> neighbourSpacing(const std::vector<GridPlace>& places,
                                     const std::vector<cv::Point2f>& points) {
  std::map<std::pair<int, int>, size_t> at;
  for (size_t i = 0; i < places.size(); ++i) at[{places[i].column, places[i].row}] = i;
  std::vector<double> spacing(points.size(), 0.0);
  constexpr int kSteps[4][2] = {{1, 0}, {-1, 0}, {0, 1}, {0, -1}};
  for (size_t i = 0; i < places.size(); ++i) {
    for (const auto& step : kSteps) {
      const auto j = at.find({places[i].column + step[0], places[i].row + step[1]});
      if (j == at.end()) continue;
      const double d = cv::norm(points[i] - points[j->second]);
      if (spacing[i] == 0.0 || d < spacing[i]) spacing[i] = d;
    }
  }
  return spacing;
}

}  // namespace

std::vector<bool> refineCorners(const cv::Mat& gray, const std::vector<GridPlace>& places,
                                double fraction, std::vector<cv::Point2f>* points,
                                const std::vector<double>* square_sides) {
  std::vector<double> spacing = neighbourSpacing(places, *points);
  double shortest = 0.0;
  for (const double d : spacing) {
    if (d > 0.0 && (shortest == 0.0 || d < shortest)) shortest = d;
  }
  // The corners of each half window refined together.
  std::map<int, std::vector<size_t>> by_window;
  for (size_t i = 0; i < points->size(); ++i) {
    double d = spacing[i] > 0.0 ? spacing[i] : shortest;
    if (square_sides && (*square_sides)[i] > 0.0) {
      d = d > 0.0 ? std::min(d, (*square_sides)[i]) : (*square_sides)[i];
    }
    by_window[std::clamp(int(d * fraction), kLeastHalfWindow, kMostHalfWindow)].push_back(i);
  }
  std::vector<bool> converged(points->size(), true);
  for (const auto& [half, members] : by_window) {
    std::vector<cv::Point2f> some;
    for (const size_t i : members) some.push_back((*points)[i]);
    const std::vector<cv::Point2f> start = some;
    cv::cornerSubPix(gray, some, cv::Size(half, half), cv::Size(-1, -1), kRefinementCriteria);
    for (size_t k = 0; k < members.size(); ++k) {
      (*points)[members[k]] = some[k];
      converged[members[k]] =
          some[k] != start[k] && (!square_sides || settles(gray, half, some[k]));
    }
  }
  return converged;
}

}  // namespace camcal
