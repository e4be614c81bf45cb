// One camera record: intrinsics by image size, reading a camera message, the
// pose and its rigid inverse. The calibration set: loading, the fallback to the
// embedded default, and sharing between copies.
#include "calibration_common/camera_parameters.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <cmath>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "calibration_common/camera_models.h"
#include "dravik/camera_transform.h"
#include "dravik/file.h"
#include "support/calibration_fixtures.h"
#include "support/log_capture.h"
#include "support/scratch_dir.h"

namespace dravik::calibration {
namespace {

using namespace testing;
using Intrinsics = CameraParameters::Intrinsics;
using Sizes = std::vector<std::pair<int, int>>;
using Records = std::map<std::string, std::shared_ptr<const CameraParameters>>;

constexpr float kRounding = 1e-5f;

std::shared_ptr<CameraParameters> readCamera(const std::string& model, int width = 1280,
                                             int height = 960) {
  auto record = std::make_shared<CameraParameters>();
  EXPECT_TRUE(record->readProto(cameraMessage(cameraText("c", model, width, height))));
  return record;
}

Eigen::Matrix3f kOf(const Intrinsics& i) {
  return (Eigen::Matrix3f() << i.fx, i.skew, i.cx, 0, i.fy, i.cy, 0, 0, 1).finished();
}

// The 1280 x 720 entry is a 120-row crop (cy - 120), not the whole frame
// scaled (fy = 750, what a generic camera serves). Table hits log nothing.
TEST(CameraParametersGetIntrinsics, NavigationCameraServesHalfSizeFullFrameAndA120RowCrop) {
  LogCapture capture;
  const auto nav = readCamera("kv007n");
  ASSERT_EQ(capture.records().size(), 1u);
  expectCameraRecord(capture.records()[0], 5, "CameraParameters::precomputeIntrinsics",
                     "Using Kestovan nav camera model.");
  Eigen::Matrix3f band = kOf(nav->getFullFrame());
  band(1, 2) -= 120.0f;
  EXPECT_EQ(nav->getIntrinsics(1280, 720), band);
  EXPECT_EQ(capture.records().size(), 1u) << "a table hit logged";
  EXPECT_FLOAT_EQ(readCamera("pinhole")->getIntrinsics(1280, 720)(1, 1), 750.0f);
}

// Every size of every model is a crop of the full frame scaled, whatever
// size the message was calibrated at: the full-frame pixel u is the
// streaming pixel (u - crop) scale, no half-pixel shift, which
// fullFramePixel undoes. fullFrameIntrinsics takes the size's K back to the
// full frame, and a record calibrated at that full frame serves the size's
// K again, to float precision.
TEST(CameraParametersGetIntrinsics, EverySizeIsACropScaledThatTheFullFrameFunctionsUndo) {
  const auto near = [](const auto& a, const auto& b) {
    return ((a - b).array().abs() <= 4e-7 * b.array().abs()).all();
  };
  for (const std::string& model : cameraModelIdentifiers()) {
    for (const auto& [width, height] :
         model == "b910" ? Sizes{{2592, 1944}, {1280, 960}} : Sizes{{1280, 960}}) {
      // The head camera's sensor-remapped size is recalibrated from sample
      // points: the embedded default's head camera has them.
      CameraCalibration message = model == "kv006h"
                                      ? CameraParametersSet().getCamera("head")->getCalibration()
                                      : cameraMessage(cameraText("c", model, width, height));
      auto camera = std::make_shared<CameraParameters>();
      ASSERT_TRUE(camera->readProto(message));
      const Eigen::Matrix3f full = camera->getFullFrameIntrinsics();
      for (const CameraModelSize& size : cameraModelSizes(model)) {
        if (size.sensor_remapped) continue;
        SCOPED_TRACE(model + " " + std::to_string(size.output_width) + "x" +
                     std::to_string(size.output_height) + " of " + std::to_string(width));
        const Eigen::Matrix3f K = camera->getIntrinsics(size.output_width, size.output_height);
        for (const float x : {0.0f, -0.4f}) {
          const Eigen::Vector3f ray(x, -0.75f * x, 1.0f);
          const Eigen::Vector2d pixel = (K * ray).head<2>().cast<double>();
          EXPECT_TRUE(near(fullFramePixel(size, pixel), (full * ray).head<2>().cast<double>()));
        }
        const Matrix3d back = fullFrameIntrinsics(size, K.cast<double>());
        EXPECT_TRUE(near(back, full.cast<double>().eval())) << back;
        CameraIntrinsics& intrinsics = *message.mutable_intrinsics();
        intrinsics.set_fx(back(0, 0));
        intrinsics.set_skew(back(0, 1));
        intrinsics.set_cx(back(0, 2));
        intrinsics.set_fy(back(1, 1));
        intrinsics.set_cy(back(1, 2));
        CameraParameters again;
        ASSERT_TRUE(again.readProto(message));
        const Eigen::Matrix3f forward = again.getIntrinsics(size.output_width, size.output_height);
        EXPECT_TRUE(near(forward, K)) << forward;
        EXPECT_EQ(camera->getDistortion(size.output_width, size.output_height),
                  camera->getFullFrameDistortion());
      }
    }
  }
}

// Model identifiers match whole and case-sensitively; a generic camera serves its
// calibrated size, and without a positive one it is rejected, silently.
TEST(CameraParametersGetIntrinsics, GenericCameraServesExactlyItsPositiveCalibratedSize) {
  for (const char* model : {"", "pinhole", "B910", "b910 ", "KV007N", "kv007", "kv007n\t"}) {
    LogCapture capture;
    const auto table = readCamera(model, 752, 480)->getIntrinsicsTable();
    EXPECT_TRUE(table.size() == 1 && table[0].width == 752 && table[0].height == 480) << model;
    EXPECT_TRUE(capture.records().empty()) << model;
  }
  std::vector<std::string> sizeless;
  for (const char* only : {"", "width: 1280", "height: 960"})
    sizeless.push_back(cameraText("c", "pinhole", 0, 0, false, only));
  for (const auto& [w, h] : Sizes{{0, 960}, {1280, 0}, {-1280, 960}, {1280, -1}})
    sizeless.push_back(cameraText("c", "pinhole", w, h));
  for (const std::string& text : sizeless) {
    LogCapture capture;
    CameraParameters record;
    EXPECT_FALSE(record.readProto(cameraMessage(text))) << text;
    EXPECT_TRUE(record.getIntrinsicsTable().empty() && capture.records().empty()) << text;
  }
}

// An absent size scales the full frame, logging both sizes; its distortion
// is the full frame's, by reference.
TEST(CameraParametersGetIntrinsics, AbsentSizeIsTheFullFrameScaledWithARecordOfBothSizes) {
  const auto pinhole = readCamera("pinhole");
  const auto b910 = readCamera("b910", 2592, 1944);
  const CameraParameters empty;
  LogCapture capture;
  EXPECT_EQ(pinhole->getIntrinsics(640, 480),
            (Eigen::Matrix3f() << 500, 0, 320, 0, 500, 240, 0, 0, 1).finished());
  EXPECT_EQ(b910->getIntrinsics(2592, 1944), b910->getFullFrameIntrinsics());
  empty.getIntrinsics(640, 480);
  EXPECT_EQ(&empty.getDistortion(640, 480), &empty.getFullFrameDistortion());
  EXPECT_EQ(&b910->getDistortion(320, 240), &b910->getFullFrameDistortion());
  const auto records = capture.records();
  ASSERT_EQ(records.size(), 3u);
  expectCameraRecord(records[0], 5, "CameraParameters::getIntrinsics", "1280 960 640 480");
  EXPECT_EQ(records[1].text + "|" + records[2].text, "2592 1944 2592 1944|0 0 640 480");
}

// Distortion is reordered to k1 k2 p1 p2 k3 k4 k5 k6; the pose reads the first
// twelve extrinsics values, translation in metres; extra values are ignored.
// A second read gives the same (it once appended eight more coefficients).
TEST(CameraParametersReadProto, TakesTheFullFrameLensAndPoseFromTheMessage) {
  CameraParameters record;
  const CameraCalibration message = cameraMessage(
      "camera { name: \"left\" model: \"pinhole\" intrinsics { fx: 1000.5 fy: 999.25 skew: 0.5 "
      "cx: 641.5 cy: 479.25 width: 1280 height: 960 k: [1, 2, 3, 4, 5, 6, 9] p: [7, 8, 11] } "
      "extrinsics { a: [1, 0, 0, 100, 0, 1, 0, -50, 0, 0, 1, 2500, 12345] } }");
  ASSERT_TRUE(record.readProto(message));
  ASSERT_TRUE(record.readProto(message));
  EXPECT_EQ(record.getFullFrameIntrinsics(),
            (Eigen::Matrix3f() << 1000.5f, 0.5f, 641.5f, 0, 999.25f, 479.25f, 0, 0, 1).finished());
  EXPECT_EQ(record.getFullFrameDistortion(), std::vector<float>({1, 2, 7, 8, 3, 4, 5, 6}));
  EXPECT_EQ(record.getRotation(), Eigen::Matrix3f::Identity());
  EXPECT_TRUE(record.getTranslation().isApprox(Eigen::Vector3f(0.1f, -0.05f, 2.5f)));
}

TEST(CameraParametersReadProto, RejectsAShortParameterListLoggingTheMessage) {
  for (const std::string shortage : {"k", "a", "no extrinsics", "no intrinsics"}) {
    CameraCalibration message = cameraMessage(cameraText("c", "kv007n"));
    if (shortage == "k") message.mutable_intrinsics()->mutable_k()->RemoveLast();
    if (shortage == "a") message.mutable_extrinsics()->mutable_a()->RemoveLast();
    if (shortage == "no extrinsics") message.clear_extrinsics();
    if (shortage == "no intrinsics") message.clear_intrinsics();
    LogCapture capture;
    CameraParameters record;
    EXPECT_FALSE(record.readProto(message)) << shortage;
    ASSERT_EQ(capture.records().size(), 1u) << shortage;
    expectCameraRecord(capture.records()[0], 2, "CameraParameters::readProto",
                       "Parameter list too short in " + message.DebugString());
    EXPECT_TRUE(record.getIntrinsicsTable().empty()) << shortage;
  }
}

// T's bottom row becomes 0 0 0 1 whatever it held, and the split into R and t
// ignores it (message to matrix, in metres: CameraParametersReadProto).
TEST(CameraParametersConvert, GivesARigidBottomRowThatTheSplitIgnores) {
  Eigen::Matrix4f T;
  const Eigen::Matrix3f R = Eigen::AngleAxisf(0.6f, Eigen::Vector3f::UnitY()).toRotationMatrix();
  const Eigen::Vector3f t(0.25f, -1.5f, 3.0f);
  T.setConstant(-3.0f);
  CameraParameters::convert(R, t, &T);
  EXPECT_EQ(Eigen::RowVector4f(T.row(3)), Eigen::RowVector4f(0, 0, 0, 1));
  T.row(3) << 5, 6, 7, 8;
  Eigen::Matrix3f R_back;
  Eigen::Vector3f t_back;
  CameraParameters::convert(T, &R_back, &t_back);
  EXPECT_EQ(std::make_pair(R_back, t_back), std::make_pair(R, t));
}

TEST(CameraParametersConvertDeathTest, ShortExtrinsicsEndTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Eigen::Matrix4f T;
  EXPECT_DEATH(
      CameraParameters::convert(parseText<CameraExtrinsics>("a: [1, 0, 0, 1, 0, 1, 0]"), &T),
      ::testing::HasSubstr("Check failed: src.a_size() >= 12 (7 vs. 12) "));
}

// Kept bit for bit, child-to-parent input the other way round; the inverse is
// the rigid one (R^T, -R^T t) even of a nearly rigid matrix, where a general
// 4x4 inverse would differ.
TEST(CameraTransform, HoldsTheTransformAndItsRigidInverse) {
  for (float angle : {0.0f, 0.4f, -2.0f, 3.1f}) {
    const Eigen::Vector3f axis = Eigen::Vector3f(0.3f, -0.5f, 0.8f).normalized();
    Eigen::Matrix4f T;
    CameraParameters::convert(Eigen::AngleAxisf(angle, axis).toRotationMatrix(),
                              Eigen::Vector3f(0.25f, -0.1f, 0.9f), &T);
    CameraTransform pose, reversed, nearly_rigid;
    pose.setTransform(T, CameraTransform::kParentToChild);
    EXPECT_EQ(pose.getTransform(), T) << angle;
    EXPECT_TRUE((T * pose.getInverseTransform()).isApprox(Eigen::Matrix4f::Identity(), kRounding));
    EXPECT_LT((T * pose.getCameraCenter().homogeneous()).head<3>().norm(), kRounding);
    reversed.setTransform(T, CameraTransform::kChildToParent);
    EXPECT_EQ(reversed.getInverseTransform(), T);
    EXPECT_EQ(reversed.getTransform(), CameraTransform::rigidInverse(T));
    EXPECT_EQ(reversed.getCameraCenter(), Eigen::Vector3f(T.block<3, 1>(0, 3)));

    T.block<3, 3>(0, 0) *= 1.01f;
    T(3, 0) = 0.5f;
    nearly_rigid.setTransform(T, CameraTransform::kParentToChild);
    const Eigen::Matrix4f& inverse = nearly_rigid.getInverseTransform();
    const Eigen::Matrix3f Rt = T.block<3, 3>(0, 0).transpose();
    EXPECT_EQ(Eigen::Matrix3f(inverse.block<3, 3>(0, 0)), Rt);
    EXPECT_TRUE(Eigen::Vector3f(inverse.block<3, 1>(0, 3))
                    .isApprox(-(Rt * T.block<3, 1>(0, 3)), kRounding));
    EXPECT_EQ(Eigen::RowVector4f(inverse.row(3)), Eigen::RowVector4f(0, 0, 0, 1));
  }
}

const char kFallbackText[] = "Loading default camera calibration.";

std::string stereoText() {
  return cameraText("left", "kv007n") + cameraText("right", "b910", 2592, 1944);
}

Records recordsOf(const CameraParametersSet& set) {
  Records records;
  for (const std::string& name : set.getCameraNames()) records[name] = set.getCamera(name);
  return records;
}

bool holdsDefaultMessage(const CameraParametersSet& set) {
  std::string text;
  EXPECT_TRUE(File::readFileToString(
      EmbeddedFile::kEmbeddedPrefix + "calibration/default_head_cal.txt", &text));
  return set.getRawCalData().SerializeAsString() ==
         parseText<RobotCalibration>(text).SerializeAsString();
}

// Records of cameras the loaded message does not name stay, and the later of
// two cameras of one name wins; the message is the loaded one alone.
TEST(CameraParametersSet, LoadMergesTheRecordsByName) {
  CameraParametersSet set;
  const Records defaults = recordsOf(set);
  ASSERT_TRUE(set.loadFromString(stereoText() + cameraText("left", "pinhole", 640, 480)));
  for (const auto& entry : defaults) EXPECT_EQ(set.getCamera(entry.first), entry.second);
  EXPECT_TRUE(set.hasCamera("right") && !set.hasCamera("RIGHT"));
  EXPECT_EQ(set.getCamera("left")->getModel(), "pinhole");
  EXPECT_EQ(set.getRawCalData().camera_size(), 3);
}

// A rejected camera (a size that is not positive, silently; a value not finite
// or beyond float, with a record naming the camera and the field) fails the
// load: the cameras read before it stay, the default is rebuilt, and says so.
TEST(CameraParametersSet, RejectedCameraFallsBackToTheDefault) {
  const auto edited = [](const std::string& from, const std::string& to) {
    std::string text = cameraText("third", "kv007n");
    return text.replace(text.find(from), from.size(), to);
  };
  const std::string not_finite = "Value that is not finite in camera \"third\": ",
                    beyond = "Value beyond the range of float in camera \"third\"";
  const std::pair<std::string, std::string> cases[] = {
      {cameraText("third", "pinhole", 0, 960), ""},
      {edited("fx: 1000", "fx: nan"), not_finite + "intrinsics.fx (nan)"},
      {edited("-50", "-inf"), not_finite + "extrinsics.a[7] (-inf)"},
      {edited("cy: 480", "cy: 1e300"), beyond},
      // Finite, but its inverse overflows: R^T t with entries of 1e30.
      {edited("a: [1, 0, 0, 100", "a: [1e30, 0, 0, 1e33"), beyond},
  };
  for (const auto& [camera, text] : cases) {
    SCOPED_TRACE(camera);
    CameraParametersSet set;
    const Records defaults = recordsOf(set);
    LogCapture capture(3);
    EXPECT_FALSE(set.loadFromString(stereoText() + camera));
    EXPECT_TRUE(set.hasCamera("left") && set.hasCamera("right") && !set.hasCamera("third"));
    EXPECT_TRUE(holdsDefaultMessage(set));
    for (const auto& entry : defaults) EXPECT_NE(set.getCamera(entry.first), entry.second);
    const auto records = capture.records();
    ASSERT_EQ(records.size(), text.empty() ? 1u : 2u);
    if (!text.empty()) expectCameraRecord(records[0], 2, "CameraParameters::readProto", text);
    expectCameraRecord(records.back(), 3, "CameraParametersSet::loadFromString", kFallbackText);
  }
}

// A record quotes at most the first 64 KiB of a message: a camera message of
// a megabyte with a short list gives a record of that size and "...".
TEST(CameraParametersSet, RecordsQuoteAtMostTheStartOfAHugeMessage) {
  auto huge = parseText<RobotCalibration>(cameraText(std::string(1 << 20, 'x'), "kv007n"));
  huge.mutable_camera(0)->mutable_intrinsics()->mutable_k()->RemoveLast();
  CameraParametersSet set;
  LogCapture capture(2);
  EXPECT_FALSE(set.loadFromString(huge.SerializeAsString()));
  const auto records = capture.records();
  ASSERT_EQ(records.size(), 1u);
  const std::string prefix = "Parameter list too short in ";
  EXPECT_TRUE(records[0].text ==
              (prefix + huge.camera(0).DebugString()).substr(0, prefix.size() + (64 << 10)) +
                  "...");
}

// A file loads silently; a missing or unparseable one is logged by its path.
TEST(CameraParametersSet, LoadFromFileNamesThePathOfAFailure) {
  const ScratchDir scratch;
  const std::string good = scratch.write("good.txt", stereoText());
  const std::string bad = scratch.write("bad.txt", "camera { name: \"left\" model: ");
  const std::string missing = scratch.path("missing.txt");
  CameraParametersSet set;
  LogCapture capture(3);
  EXPECT_TRUE(set.loadFromFile(good) && set.hasCamera("left") && capture.records().empty());
  EXPECT_FALSE(set.loadFromFile(missing));
  EXPECT_TRUE(holdsDefaultMessage(set));
  EXPECT_FALSE(set.loadFromFile(bad));
  const auto records = capture.records();
  ASSERT_EQ(records.size(), 3u);
  expectCameraRecord(records[0], 2, "CameraParametersSet::loadFromFile", "Can't open " + missing);
  expectCameraRecord(records[1], 3, "CameraParametersSet::loadFromString", kFallbackText);
  expectCameraRecord(records[2], 2, "CameraParametersSet::loadFromFile",
                     "Error parsing robot calibration from " + bad);
}

// A copy builds its own records from its own message; assignment shares the
// message but not the records; self-assignment changes nothing.
TEST(CameraParametersSet, CopyBuildsItsOwnRecordsAndAssignmentSharesTheMessage) {
  CameraParametersSet a, b;
  ASSERT_TRUE(b.loadFromString(stereoText()));
  const CameraParametersSet copy(b);
  EXPECT_NE(&copy.getRawCalData(), &b.getRawCalData());
  EXPECT_EQ(copy.getCameraNames().size(), 2u) << "only the cameras of the message";
  for (const std::string name : {"left", "right"}) {
    EXPECT_NE(copy.getCamera(name), b.getCamera(name));
    EXPECT_EQ(copy.getCamera(name)->getFullFrameIntrinsics(),
              b.getCamera(name)->getFullFrameIntrinsics());
  }
  a = b;
  const Records b_records = recordsOf(b);
  EXPECT_EQ(recordsOf(a), b_records);
  ASSERT_TRUE(a.loadFromString(cameraText("left", "b910", 2592, 1944)));
  EXPECT_EQ(b.getRawCalData().camera(0).model(), "b910");
  EXPECT_EQ(recordsOf(b), b_records);
  CameraParametersSet& same = b;
  b = same;
  EXPECT_EQ(recordsOf(b), b_records);
}

// A default that is missing (unregistered), unparseable or rejected ends the
// process, making a set or falling back; it is replaced in the dying process only.
TEST(CameraParametersSetDeathTest, BrokenDefaultEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string parse_check =
      "google::protobuf::TextFormat::ParseFromString(data, robotcal_.get())";
  // default text, falling back, the failed check
  const std::tuple<std::string, bool, std::string> cases[] = {
      {"", false,
       "File::readFileToString( EmbeddedFile::kEmbeddedPrefix + "
       "\"calibration/default_head_cal.txt\", &data)"},
      {cameraText("flat", "pinhole", 0, 0, false), false, "readProto()"},
      {"camera { name: ", true, parse_check}};
  const std::string where = "dravik::calibration::CameraParametersSet::setDefault] Check failed ";
  const char* name = "calibration/default_head_cal.txt";
  CameraParametersSet set;
  for (const auto& [text, falling_back, check] : cases) {
    const auto act = [&, &text = text, falling_back = falling_back] {
      if (text.empty()) EmbeddedFile::unregisterFile(name);
      if (!text.empty()) EmbeddedFile::registerFile(name, text.data(), text.size());
      if (falling_back) set.loadFromString("garbage {");
      if (!falling_back) CameraParametersSet();
    };
    EXPECT_DEATH(act(), ::testing::HasSubstr(where + check + " ")) << check;
  }
}

}  // namespace
}  // namespace dravik::calibration
