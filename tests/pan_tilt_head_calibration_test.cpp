#include "calibration_common/pan_tilt_head_calibration.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "support/head_board_views.h"
#include "support/log_capture.h"
#include "support/ptz_models.h"

namespace dravik::calibration {
namespace {

using testing::boardInWorld;
using testing::headView;
using testing::headViews;

constexpr double kNoise = 0.2;

// The rms distance between the board's corners at a motor position through
// two heads, each with its own idea of where the board is.
double corneredRms(const PTZCameraParameters& a, const dravik::Matrix4d& a_world_from_board,
                   const PTZCameraParameters& b, int pan, int tilt, int zoom) {
  const auto model_a = std::make_shared<PTZCameraModel>(a);
  const auto model_b = std::make_shared<PTZCameraModel>(b);
  const PTZCameraModelConfiguration ca(model_a, pan, tilt, zoom), cb(model_b, pan, tilt, zoom);
  double sum = 0.0;
  const auto corners = testing::boardCorners();
  for (const Eigen::Vector3d& corner : corners) {
    const Eigen::Vector3d wa = (a_world_from_board * corner.homogeneous()).head<3>();
    const Eigen::Vector3d wb = (boardInWorld() * corner.homogeneous()).head<3>();
    Eigen::Vector2d pa, pb;
    ca.projectPoints(wa.data(), 1, pa.data());
    cb.projectPoints(wb.data(), 1, pb.data());
    sum += (pa - pb).squaredNorm();
  }
  return std::sqrt(sum / static_cast<double>(corners.size()));
}

PTZCameraParameters withHead(PTZCameraParameters ptz, const PanTiltSystemParameters& head) {
  *ptz.mutable_pan_tilt() = head;
  return ptz;
}

class PanTiltHeadFit : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    file_ = new PTZCameraParameters(testing::ptzExampleParameters());
    truth_ = new PTZCameraParameters(testing::movedHead(*file_, 0.0f, 40.0f, 1.0));
    result_ = new PanTiltHeadResult;
    ok_ = calibratePanTiltHead(*file_, headViews(*truth_, 6, 5, 120, 80, 0, kNoise), {}, result_);
  }
  static void TearDownTestSuite() {
    delete file_;
    delete truth_;
    delete result_;
  }
  static PTZCameraParameters* file_;
  static PTZCameraParameters* truth_;
  static PanTiltHeadResult* result_;
  static bool ok_;
};
PTZCameraParameters* PanTiltHeadFit::file_ = nullptr;
PTZCameraParameters* PanTiltHeadFit::truth_ = nullptr;
PanTiltHeadResult* PanTiltHeadFit::result_ = nullptr;
bool PanTiltHeadFit::ok_ = false;

TEST_F(PanTiltHeadFit, AimsAtHeldOutPositionsWithinNoiseWhereTheFilesHeadMissesByTensOfPixels) {
  ASSERT_TRUE(ok_);
  EXPECT_LT(result_->rms, 1.5 * kNoise);
  ASSERT_EQ(result_->view_rms.size(), 30u);
  EXPECT_GT(*std::min_element(result_->aiming_error_before_px.begin(),
                              result_->aiming_error_before_px.end()),
            5.0);
  EXPECT_LT(*std::max_element(result_->aiming_error_px.begin(), result_->aiming_error_px.end()),
            0.5);
  const PTZCameraParameters fitted = withHead(*file_, result_->parameters);
  std::mt19937 random(7);
  std::uniform_int_distribution<int> pan(-350, 350), tilt(-200, 200);
  for (int i = 0; i < 10; ++i) {
    const int tilt_step = tilt(random);  // one draw a statement: the same order everywhere
    const Eigen::Vector2i at = testing::aimedAtBoard(*truth_, pan(random), tilt_step);
    EXPECT_LT(corneredRms(fitted, result_->world_from_board, *truth_, at.x(), at.y(), 0), 0.5)
        << at.transpose();
    EXPECT_GT(corneredRms(*file_, boardInWorld(), *truth_, at.x(), at.y(), 0), 20.0);
  }
  // Every fitted parameter has a name, a unit and a finite deviation.
  ASSERT_EQ(result_->fitted.size(), static_cast<size_t>(result_->covariance.rows()));
  for (const PanTiltHeadParameter& p : result_->fitted) {
    EXPECT_TRUE(std::isfinite(p.standard_deviation) && p.standard_deviation > 0.0) << p.name;
  }
}

TEST_F(PanTiltHeadFit, FittedHeadAimsItsAxisAtTheBoardsCornersWithinTheNoise) {
  ASSERT_TRUE(ok_);
  PanTiltModel fitted, truth;
  ASSERT_TRUE(fitted.readFromPB(result_->parameters));
  ASSERT_TRUE(truth.readFromPB(truth_->pan_tilt()));
  const double f = file_->intrinsics().samples(0).f();
  for (const Eigen::Vector3d& corner : {Eigen::Vector3d(0, 0, 0), Eigen::Vector3d(0.8, 0.5, 0)}) {
    const Eigen::Vector3d world = (result_->world_from_board * corner.homogeneous()).head<3>();
    float pan = 0.0f, tilt = 0.0f;
    ASSERT_TRUE(fitted.computePanTilt(world.cast<float>(), Eigen::Vector2f::Zero(), &pan, &tilt));
    const Eigen::Vector3d true_world = (boardInWorld() * corner.homogeneous()).head<3>();
    const Eigen::Vector4f seen =
        truth.getFullTransform(pan, tilt).getTransform() * true_world.cast<float>().homogeneous();
    EXPECT_LT(f * std::hypot(seen.x() / seen.z(), seen.y() / seen.z()), 3 * kNoise);
  }
}

TEST(PanTiltHeadFitFixture, RecoversAMovedPanOffsetWithinTwoSteps) {
  const PTZCameraParameters file = testing::ptzExampleParameters();
  const PTZCameraParameters truth = testing::movedHead(file, 40.0f, 40.0f, 1.0);
  PanTiltHeadOptions options;
  options.has_fixture = true;
  options.world_from_board = boardInWorld();
  PanTiltHeadResult result;
  ASSERT_TRUE(
      calibratePanTiltHead(file, headViews(truth, 6, 5, 120, 80, 0, kNoise), options, &result));
  EXPECT_NEAR(result.parameters.pan_offset(), truth.pan_tilt().pan_offset(), 2.0);
}

TEST(PanTiltHeadFitRefusal, RefusesPositionsThatLeaveAParameterUndeterminedOrTooFew) {
  const PTZCameraParameters file = testing::ptzExampleParameters();
  const PTZCameraParameters truth = testing::movedHead(file, 0.0f, 40.0f, 1.0);
  struct Row {
    const char* what;
    std::vector<PanTiltHeadView> views;
    const char* said;
  };
  const std::vector<Row> rows = {
      {"one tilt", headViews(truth, 6, 1, 120, 80, 0, kNoise), "undetermined"},
      {"two positions", headViews(truth, 2, 1, 120, 80, 0, kNoise), "motor positions needed"},
  };
  for (const Row& row : rows) {
    testing::LogCapture log;
    PanTiltHeadResult result;
    result.rms = -1.0;
    EXPECT_FALSE(calibratePanTiltHead(file, row.views, {}, &result)) << row.what;
    EXPECT_EQ(result.rms, -1.0) << row.what;
    const auto records = log.recordsUpTo(2);
    ASSERT_EQ(records.size(), 1u) << row.what;
    EXPECT_NE(records[0].text.find(row.said), std::string::npos) << records[0].text;
  }
}

}  // namespace
}  // namespace dravik::calibration
