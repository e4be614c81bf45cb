// The most recent single-image fits, by their exact inputs.
#include <cmath>
#include <list>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

#include "calibration_utils/single_image_calibration.h"

namespace dravik {
namespace calibration {

namespace {

constexpr size_t kRememberedFits = 8;
constexpr size_t kMaxRememberedPoints = 65536;

struct Fit {
  std::string inputs;
  double error;
  // Written only when the fit succeeded (a finite error).
  OpenCVProjection<CalibrationJet> projection;
};

template <typename T>
void appendBytes(const T& value, std::string* out) {
  static_assert(std::is_trivially_copyable<T>::value, "raw bytes of a plain value");
  out->append(reinterpret_cast<const char*>(&value), sizeof(value));
}

// Every input of a fit, as bytes: equal strings mean bit-identical inputs.
std::string fitInputs(const std::vector<Eigen::Vector2f>& image_points,
                      const std::vector<Eigen::Vector2f>& target_points,
                      const Eigen::Vector2i& image_size, double scalar,
                      const Eigen::Vector2i& sample_size) {
  std::string inputs;
  inputs.reserve(sizeof(float) * 2 * (image_points.size() + target_points.size()) + 64);
  appendBytes(image_points.size(), &inputs);
  appendBytes(target_points.size(), &inputs);
  for (const auto* points : {&image_points, &target_points}) {
    for (const Eigen::Vector2f& p : *points) {
      appendBytes(p.x(), &inputs);
      appendBytes(p.y(), &inputs);
    }
  }
  for (const Eigen::Vector2i* size : {&image_size, &sample_size}) {
    appendBytes(size->x(), &inputs);
    appendBytes(size->y(), &inputs);
  }
  appendBytes(scalar, &inputs);
  return inputs;
}

// Most recently used first.
class RememberedFits {
 public:
  bool find(const std::string& inputs, Fit* out) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = fits_.begin(); it != fits_.end(); ++it) {
      if (it->inputs != inputs) continue;
      fits_.splice(fits_.begin(), fits_, it);
      out->error = it->error;
      out->projection = it->projection;
      return true;
    }
    return false;
  }

  void remember(Fit fit) {
    std::lock_guard<std::mutex> lock(mutex_);
    // Another thread may have fitted the same view meanwhile.
    for (const Fit& known : fits_) {
      if (known.inputs == fit.inputs) return;
    }
    fits_.push_front(std::move(fit));
    if (fits_.size() > kRememberedFits) fits_.pop_back();
  }

 private:
  std::mutex mutex_;
  std::list<Fit> fits_;
};

RememberedFits& rememberedFits() {
  static RememberedFits fits;
  return fits;
}

}  // namespace

double calibrateFromSingleImageRemembered(const std::vector<Eigen::Vector2f>& image_points,
                                          const std::vector<Eigen::Vector2f>& target_points,
                                          const Eigen::Vector2i& image_size, double scalar,
                                          const Eigen::Vector2i& sample_size,
                                          OpenCVProjection<CalibrationJet>* projection) {
  if (image_points.size() > kMaxRememberedPoints || target_points.size() > kMaxRememberedPoints) {
    return calibrateFromSingleImage(image_points, target_points, image_size, scalar, sample_size,
                                    projection);
  }
  Fit fit;
  fit.inputs = fitInputs(image_points, target_points, image_size, scalar, sample_size);
  if (!rememberedFits().find(fit.inputs, &fit)) {
    fit.error = calibrateFromSingleImage(image_points, target_points, image_size, scalar,
                                         sample_size, &fit.projection);
    rememberedFits().remember(fit);
  }
  if (std::isfinite(fit.error)) *projection = fit.projection;
  return fit.error;
}

}  // namespace calibration
}  // namespace dravik
