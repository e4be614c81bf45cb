#define DRAVIK_LOG_FILE "calibration_common/camera_parameters"

#include "calibration_common/camera_parameters.h"

#include <cmath>

#include "calibration_utils/lens.h"
#include "dravik/calibration_bytes.h"
#include "dravik/logging.h"
#include "dravik/text_format.h"
#include "log_site.h"

namespace dravik {
namespace calibration {

namespace {
constexpr int kRadialCoefficients = 6;
constexpr int kTangentialCoefficients = 2;
constexpr int kExtrinsicsValues = 12;
constexpr double kMillimetresPerMetre = 1000.0;
constexpr double kMetresPerMillimetre = 0.001;

// Every number of a record is finite: a double of the message beyond the
// range of float becomes infinite when it is stored.
bool isFinite(const CameraParameters::Intrinsics& intrinsics) {
  for (float value : intrinsics.distortion) {
    if (!std::isfinite(value)) return false;
  }
  return std::isfinite(intrinsics.fx) && std::isfinite(intrinsics.fy) &&
         std::isfinite(intrinsics.skew) && std::isfinite(intrinsics.cx) &&
         std::isfinite(intrinsics.cy);
}
}  // namespace

CameraParameters::CameraParameters()
    : rotation_(Eigen::Matrix3f::Zero()),
      translation_(Eigen::Vector3f::Zero()),
      calibration_(std::make_unique<CameraCalibration>()) {}

CameraParameters::~CameraParameters() = default;

const std::string& CameraParameters::getName() const { return calibration_->name(); }

bool CameraParameters::readProto(const CameraCalibration& cal) {
  calibration_->CopyFrom(cal);
  // Read through our own copy: `cal` may be a message that a later step of
  // the caller changes.
  const CameraIntrinsics& intrinsics = calibration_->intrinsics();
  const CameraExtrinsics& extrinsics = calibration_->extrinsics();

  full_frame_.fx = static_cast<float>(intrinsics.fx());
  full_frame_.fy = static_cast<float>(intrinsics.fy());
  full_frame_.skew = static_cast<float>(intrinsics.skew());
  full_frame_.cx = static_cast<float>(intrinsics.cx());
  full_frame_.cy = static_cast<float>(intrinsics.cy());
  full_frame_.width = intrinsics.width();
  full_frame_.height = intrinsics.height();

  if (intrinsics.k_size() < kRadialCoefficients || intrinsics.p_size() < kTangentialCoefficients ||
      extrinsics.a_size() < kExtrinsicsValues) {
    DRAVIK_LOG(2, kCameraParametersTag) << "Parameter list too short in " << quoteMessage(cal);
    return false;
  }
  const std::string not_finite = firstNonFiniteField(*calibration_);
  if (!not_finite.empty()) {
    DRAVIK_LOG(2, kCameraParametersTag)
        << "Value that is not finite in camera \"" << calibration_->name() << "\": " << not_finite;
    return false;
  }

  const LensCoefficients full_frame = lensCoefficientsOf(intrinsics);
  full_frame_.distortion.assign(full_frame.begin(), full_frame.end());

  model_ = calibration_->model();

  Eigen::Matrix4f T;
  convert(extrinsics, &T);
  convert(T, &rotation_, &translation_);
  transform_.setTransform(T, CameraTransform::kParentToChild);

  if (!precomputeIntrinsics()) return false;
  // The inverse pose too: a finite pose of huge entries can overflow it.
  bool finite =
      isFinite(full_frame_) && T.allFinite() && transform_.getInverseTransform().allFinite();
  for (const Intrinsics& entry : intrinsics_table_) finite = finite && isFinite(entry);
  if (!finite) {
    DRAVIK_LOG(2, kCameraParametersTag)
        << "Value beyond the range of float in camera \"" << calibration_->name() << "\"";
    return false;
  }
  return true;
}

void CameraParameters::convert(const Eigen::Matrix3f& R, const Eigen::Vector3f& t,
                               Eigen::Matrix4f* T) {
  T->setIdentity();
  T->block<3, 3>(0, 0) = R;
  T->block<3, 1>(0, 3) = t;
}

void CameraParameters::convert(const Eigen::Matrix4f& T, Eigen::Matrix3f* R, Eigen::Vector3f* t) {
  *R = T.block<3, 3>(0, 0);
  *t = T.block<3, 1>(0, 3);
}

void CameraParameters::convert(const Eigen::Matrix4f& T, CameraExtrinsics* e) {
  e->Clear();
  for (int r = 0; r < 3; ++r) {
    e->add_a(static_cast<double>(T(r, 0)));
    e->add_a(static_cast<double>(T(r, 1)));
    e->add_a(static_cast<double>(T(r, 2)));
    e->add_a(static_cast<double>(T(r, 3)) * kMillimetresPerMetre);
  }
}

void CameraParameters::convert(const CameraExtrinsics& src, Eigen::Matrix4f* T) {
  DRAVIK_CHECK_GE(src.a_size(), 12);
  T->setIdentity();
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) (*T)(r, c) = static_cast<float>(src.a(4 * r + c));
    (*T)(r, 3) = static_cast<float>(src.a(4 * r + 3) * kMetresPerMillimetre);
  }
}

}  // namespace calibration
}  // namespace dravik
