#define DRAVIK_LOG_FILE "calibration_utils/planar_views"

#include "planar_views.h"

#include <algorithm>
#include <cmath>
#include <sstream>
#include <string>

#include "dravik/logging.h"
#include "dravik/rational_lens.h"
#include "planar_homography.h"

namespace dravik {
namespace calibration {

namespace {

// The first two points of `points` that are equal, as the pair of their
// indices; false when all differ. By sorting: a view of a million points
// takes no longer than its fit.
template <typename Point>
bool findRepeatedPoint(const std::vector<Point>& points, size_t* first, size_t* second) {
  std::vector<size_t> order(points.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  const auto before = [&](size_t a, size_t b) {
    return std::lexicographical_compare(points[a].data(), points[a].data() + points[a].size(),
                                        points[b].data(), points[b].data() + points[b].size());
  };
  std::sort(order.begin(), order.end(), before);
  for (size_t i = 1; i < order.size(); ++i) {
    if (points[order[i - 1]] == points[order[i]]) {
      *first = std::min(order[i - 1], order[i]);
      *second = std::max(order[i - 1], order[i]);
      return true;
    }
  }
  return false;
}

}  // namespace

FitFailure failureOf(FitReason reason, long long view, long long first, long long second,
                     double value) {
  FitFailure f;
  f.reason = reason;
  f.view = view;
  f.first = first;
  f.second = second;
  f.value = value;
  return f;
}

std::string fitFailureText(const FitFailure& f) {
  std::ostringstream out;
  const auto view = [&]() -> std::ostringstream& {
    out << "View " << f.view << ": ";
    return out;
  };
  switch (f.reason) {
    case FitReason::kNone:
      break;
    case FitReason::kNoResult:
      out << "No calibration to fill";
      break;
    case FitReason::kImageSize:
      out << "Image size " << f.first << " x " << f.second << " not positive or above "
          << kMaxUndistortionPixels << " pixels";
      break;
    case FitReason::kTooFewViews:
      out << "Too few views to calibrate: " << f.first << ", at least " << f.second;
      break;
    case FitReason::kOutlierThreshold:
      out << "Outlier threshold " << f.value << " not a non-negative number";
      break;
    case FitReason::kUnequalPoints:
      view() << "image and target points differ in number: " << f.first << " vs. " << f.second;
      break;
    case FitReason::kTooFewPoints:
      view() << "too few points: " << f.first << ", at least " << f.second;
      break;
    case FitReason::kPointsNotFinite:
      view() << "points not finite";
      break;
    case FitReason::kTargetOnALine:
      view() << "the target's points lie on a line";
      break;
    case FitReason::kRepeatedImagePoint:
    case FitReason::kRepeatedTargetPoint:
      view() << "points " << f.first << " and " << f.second << " have the same "
             << (f.reason == FitReason::kRepeatedImagePoint ? "image" : "target") << " point";
      break;
    case FitReason::kTooFewUsableViews:
      out << "Too few views with a usable homography: " << f.first << " of " << f.view
          << ", at least " << f.second;
      break;
    case FitReason::kPosesBehindCamera:
      out << "The closed-form poses put target points behind the camera";
      break;
    case FitReason::kLensNotSound:
      out << "The fitted lens is not sound over the image";
      break;
    case FitReason::kSingleUnequalPoints:
      out << "Image and target points differ in number: " << f.first << " vs. " << f.second;
      break;
    case FitReason::kSingleTooFewPoints:
      out << "Too few points to calibrate: " << f.first << " for " << f.second << " parameters";
      break;
    case FitReason::kSingleNotFinite:
      out << "Points or target scale not finite";
      break;
    case FitReason::kSingleSizeOrScale:
      out << "Image size " << f.first << " x " << f.second << " not positive, or target scale "
          << f.value << " negative";
      break;
    case FitReason::kSingleGrid:
      out << f.view << " points do not fit a target grid of " << f.first << " x " << f.second;
      break;
    case FitReason::kSingleOnALine:
      out << "The points lie on a line";
      break;
    case FitReason::kSingleNoHomography:
      out << "No homography fits the points: they lie on a line or coincide";
      break;
    case FitReason::kSinglePoseBehindCamera:
      out << "The closed-form pose puts target points behind the camera";
      break;
    case FitReason::kSingleLensFolds:
      out << "The fitted lens folds inside the image";
      break;
  }
  return out.str();
}

bool fitFailureNamesView(FitReason reason) {
  switch (reason) {
    case FitReason::kUnequalPoints:
    case FitReason::kTooFewPoints:
    case FitReason::kPointsNotFinite:
    case FitReason::kTargetOnALine:
    case FitReason::kRepeatedImagePoint:
    case FitReason::kRepeatedTargetPoint:
      return true;
    default:
      return false;
  }
}

bool refuse(const FitFailure& failure, FitFailure* out) {
  DRAVIK_LOG(2, kFitTag) << fitFailureText(failure);
  if (out != nullptr) *out = failure;
  return false;
}

const char* lensTermsName(LensTerms terms) {
  for (const LensTermsName& entry : kLensTermsNames) {
    if (entry.terms == terms) return entry.name;
  }
  return "";
}

bool parseLensTerms(const std::string& name, LensTerms* terms) {
  for (const LensTermsName& entry : kLensTermsNames) {
    if (name == entry.name) {
      *terms = entry.terms;
      return true;
    }
  }
  return false;
}

std::string lensTermsSpellings() {
  std::string names;
  for (const LensTermsName& entry : kLensTermsNames) {
    names += std::string(names.empty() ? "'" : ", '") + entry.name + "'";
  }
  return names;
}

size_t minimumViews(LensTerms terms) { return terms == LensTerms::kRational ? 3 : 2; }

FitFailure checkViews(const std::vector<TargetView>& views, int width, int height,
                      const CameraFitOptions& options) {
  const size_t minimum_views = minimumViews(options.lens_terms);
  if (width <= 0 || height <= 0 ||
      static_cast<long long>(width) * static_cast<long long>(height) > kMaxUndistortionPixels) {
    return failureOf(FitReason::kImageSize, 0, width, height);
  }
  if (views.size() < minimum_views) {
    return failureOf(FitReason::kTooFewViews, 0, static_cast<long long>(views.size()),
                     static_cast<long long>(minimum_views));
  }
  if (!std::isfinite(options.outlier_sigma) || options.outlier_sigma < 0.0) {
    return failureOf(FitReason::kOutlierThreshold, 0, 0, 0, options.outlier_sigma);
  }
  for (size_t v = 0; v < views.size(); ++v) {
    const TargetView& view = views[v];
    const long long index = static_cast<long long>(v);
    if (view.image_points.size() != view.target_points.size()) {
      return failureOf(FitReason::kUnequalPoints, index,
                       static_cast<long long>(view.image_points.size()),
                       static_cast<long long>(view.target_points.size()));
    }
    if (view.image_points.size() < kMinimumPointsPerView) {
      return failureOf(FitReason::kTooFewPoints, index,
                       static_cast<long long>(view.image_points.size()),
                       static_cast<long long>(kMinimumPointsPerView));
    }
    if (!allFinite(view)) return failureOf(FitReason::kPointsNotFinite, index);
    if (!spanPlane(view.target_points)) return failureOf(FitReason::kTargetOnALine, index);
    // Two corners at one pixel, or one corner seen twice, would count as
    // independent measurements and narrow the uncertainty they do not.
    size_t first, second;
    if (findRepeatedPoint(view.image_points, &first, &second)) {
      return failureOf(FitReason::kRepeatedImagePoint, index, static_cast<long long>(first),
                       static_cast<long long>(second));
    }
    if (findRepeatedPoint(view.target_points, &first, &second)) {
      return failureOf(FitReason::kRepeatedTargetPoint, index, static_cast<long long>(first),
                       static_cast<long long>(second));
    }
  }
  return FitFailure();
}

bool prepareView(const TargetView& view, size_t index, PreparedView* prepared) {
  static_cast<TargetPlane&>(*prepared) = planeOf(view.target_points);
  prepared->index = index;
  prepared->plane_points.clear();
  for (const Eigen::Vector3d& p : view.target_points) {
    prepared->plane_points.push_back(inPlane(*prepared, p));
  }
  return spanPlane(view.image_points) &&
         estimateHomography(prepared->plane_points, view.image_points, &prepared->homography);
}

void startWithoutDistortion(const std::vector<PreparedView>& prepared, double f,
                            const Eigen::Vector2d& c, CameraState* state) {
  *state = CameraState();
  state->intrinsics(kFx) = state->intrinsics(kFy) = f;
  state->intrinsics(kCx) = c.x();
  state->intrinsics(kCy) = c.y();
  for (const PreparedView& view : prepared) {
    state->poses.push_back(poseOf(view, view.homography, f, f, c));
  }
}

bool plausibleFocalLength(double f, int width) {
  return f >= kMinimumFocalLengthPerWidth * width && f <= kMaximumFocalLengthPerWidth * width;
}

IntrinsicFreedom freedomOf(LensTerms terms, bool fix_principal_point, bool same_focal_length,
                           bool every_term) {
  IntrinsicFreedom freedom;
  freedom.free.fill(false);
  freedom.free[kFx] = freedom.free[kFy] = true;
  freedom.free[kCx] = freedom.free[kCy] = !fix_principal_point;
  freedom.tie_focal_lengths = same_focal_length;
  const auto release = [&](const auto& coefficients) {
    for (const int term : coefficients) freedom.free[kLens + term] = true;
  };
  switch (terms) {
    case LensTerms::kRational:
      if (every_term) {
        for (int term = 0; term < kLensCoefficientCount; ++term) freedom.free[kLens + term] = true;
      } else {
        release(kSimplestRationalCoefficients);
      }
      break;
    case LensTerms::kPlumbBob:
      if (every_term) {
        release(kPlumbBobCoefficients);
      } else {
        release(kSimplestPlumbBobCoefficients);
      }
      break;
    case LensTerms::kNone:
      break;
  }
  return freedom;
}

IntrinsicFreedom freedomOf(const CameraFitOptions& options, bool every_term) {
  return freedomOf(options.lens_terms, options.fix_principal_point, options.same_focal_length,
                   every_term);
}

double rmsOf(double cost, size_t points) {
  return points > 0 ? std::sqrt(cost / static_cast<double>(points)) : 0.0;
}

}  // namespace calibration
}  // namespace dravik
