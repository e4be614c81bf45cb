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
                                double fraction, std::vector<cv::Point2f>* points) {
  std::vector<double> spacing = neighbourSpacing(places, *points);
  double shortest = 0.0;
  for (const double d : spacing) {
    if (d > 0.0 && (shortest == 0.0 || d < shortest)) shortest = d;
  }
  // The corners of each half window refined together.
  std::map<int, std::vector<size_t>> by_window;
  for (size_t i = 0; i < points->size(); ++i) {
    const double d = spacing[i] > 0.0 ? spacing[i] : shortest;
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
      converged[members[k]] = some[k] != start[k];
    }
  }
  return converged;
}

}  // namespace camcal
