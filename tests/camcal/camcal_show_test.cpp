// camcal cameras, intrinsics and base: what they print, checked against the
// library's own values.
#include <gtest/gtest.h>
#include <yaml-cpp/yaml.h>

#include <cmath>
#include <nlohmann/json.hpp>
#include <regex>

#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
#include <opencv2/core.hpp>
#endif

#include "calibration_common/camera_parameters.h"
#include "run_camcal.h"

namespace {

using camcal_test::fixture;
using camcal_test::lines;
using camcal_test::runCamcal;
using dravik::calibration::CameraParametersSet;

// camcal prints every float so that it reads back as the same float.
constexpr float kReadBackTolerance = 0.0f;

CameraParametersSet loadFixture(const std::string& name) {
  CameraParametersSet set;
  EXPECT_TRUE(set.loadFromFile(fixture(name)));
  return set;
}

// The cameras a calibration file names (the set also keeps the default's).
std::vector<std::string> camerasOfFile(const CameraParametersSet& set) {
  std::vector<std::string> names;
  for (const auto& camera : set.getRawCalData().camera()) names.push_back(camera.name());
  return names;
}

// The image sizes worth asking for: each table entry and one that is not.
std::vector<std::pair<int, int>> sizesOf(const dravik::calibration::CameraParameters& camera) {
  std::vector<std::pair<int, int>> sizes = {{333, 250}};
  for (const auto& entry : camera.getIntrinsicsTable())
    sizes.emplace_back(entry.width, entry.height);
  return sizes;
}

std::string sizeArg(const std::pair<int, int>& size) {
  return std::to_string(size.first) + "x" + std::to_string(size.second);
}

// The camera_matrix and distortion_coefficients of camcal's OpenCV YAML,
// read as OpenCV reads it when it is present, through yaml-cpp otherwise.
void readOpenCvYaml(const std::string& text, std::vector<double>* K, std::vector<double>* d,
                    int* width, int* height) {
#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
  cv::FileStorage storage(text, cv::FileStorage::READ | cv::FileStorage::MEMORY);
  ASSERT_TRUE(storage.isOpened());
  cv::Mat camera_matrix, distortion;
  storage["camera_matrix"] >> camera_matrix;
  storage["distortion_coefficients"] >> distortion;
  storage["image_width"] >> *width;
  storage["image_height"] >> *height;
  ASSERT_EQ(camera_matrix.rows, 3);
  ASSERT_EQ(camera_matrix.cols, 3);
  ASSERT_EQ(distortion.total(), 8u);
  K->assign(camera_matrix.begin<double>(), camera_matrix.end<double>());
  d->assign(distortion.begin<double>(), distortion.end<double>());
#else
  const YAML::Node root = YAML::Load(text);
  ASSERT_EQ(root["camera_matrix"].Tag(), "tag:yaml.org,2002:opencv-matrix");
  *K = root["camera_matrix"]["data"].as<std::vector<double>>();
  *d = root["distortion_coefficients"]["data"].as<std::vector<double>>();
  *width = root["image_width"].as<int>();
  *height = root["image_height"].as<int>();
#endif
}

void expectSameMatrix(const Eigen::Matrix3f& K, const std::vector<double>& row_major) {
  ASSERT_EQ(row_major.size(), 9u);
  for (int i = 0; i < 9; ++i) {
    EXPECT_NEAR(static_cast<float>(row_major[i]), K(i / 3, i % 3), kReadBackTolerance) << i;
  }
}

void expectSameCoefficients(const std::vector<float>& expected, const std::vector<double>& read) {
  ASSERT_EQ(read.size(), expected.size());
  for (size_t i = 0; i < read.size(); ++i) {
    EXPECT_NEAR(static_cast<float>(read[i]), expected[i], kReadBackTolerance) << i;
  }
}

TEST(CamcalCameras, ShowsEveryCameraOfTheEmbeddedDefault) {
  const auto run = runCamcal({"cameras"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  for (const auto& name : CameraParametersSet().getCameraNames()) {
    EXPECT_NE(run.out.find(name + "\n  model"), std::string::npos) << name;
  }
}

TEST(CamcalCameras, ShowsOnlyTheCamerasOfTheFileWithEachSizeTheLibraryServes) {
  const auto run = runCamcal({"cameras", fixture("robot_calibration.txt")});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("navigation\n  model       kv007n (navigation camera)"),
            std::string::npos);
  EXPECT_NE(run.out.find("front\n  model       b910 (B910 camera)"), std::string::npos);
  EXPECT_NE(run.out.find("rear\n  model       ov-rear-2 (generic camera)"), std::string::npos);
  // The navigation camera at 640x480: half its 1280x960 full frame.
  EXPECT_TRUE(std::regex_search(run.out,
                                std::regex(R"(\n +640x480 +310\.7 +310\.4 +0 +319\.45 +241\.3\n)")))
      << run.out;
  EXPECT_TRUE(std::regex_search(
      run.out, std::regex(R"(\n +1280x720 +621\.4 +620\.8 +0 +638\.9 +362\.6\n)")));

  const auto faults = runCamcal({"cameras", fixture("robot_calibration_lens_faults.txt")});
  ASSERT_EQ(faults.status, 0) << faults.err;
  // The set keeps the embedded default's cameras; the file names only these.
  EXPECT_EQ(faults.out.find("navigation"), std::string::npos);
  EXPECT_NE(faults.out.find("wide\n"), std::string::npos);
}

TEST(CamcalIntrinsics, TextNamesTheSizeAndWhetherTheModelsTableServesIt) {
  const auto hit = runCamcal({"intrinsics", "navigation", "640x480"});
  ASSERT_EQ(hit.status, 0) << hit.err;
  EXPECT_NE(hit.out.find("image size  640x480, from the model's table"), std::string::npos);
  EXPECT_EQ(hit.err, "");

  const auto miss = runCamcal({"intrinsics", "navigation", "800x600"});
  ASSERT_EQ(miss.status, 0) << miss.err;
  EXPECT_NE(miss.out.find("not in the model's table"), std::string::npos);
  EXPECT_EQ(miss.err,
            "camcal: note: 800x600 is not an image size of camera 'navigation' (its model's "
            "table); K is its full frame 1280x960 scaled to 800x600\n");

  const auto quiet = runCamcal({"-q", "intrinsics", "navigation", "800x600"});
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.err, "");
}

TEST(CamcalIntrinsics, JsonHoldsTheLibrarysValuesForEveryCameraAndSize) {
  const auto set = loadFixture("robot_calibration.txt");
  for (const auto& name : camerasOfFile(set)) {
    const auto camera = set.getCamera(name);
    for (const auto& size : sizesOf(*camera)) {
      const auto run =
          runCamcal({"-q", "intrinsics", "--calibration", fixture("robot_calibration.txt"), name,
                     sizeArg(size), "--format", "json"});
      ASSERT_EQ(run.status, 0) << run.err;
      const auto json = nlohmann::json::parse(run.out);
      EXPECT_EQ(json["camera"], name);
      EXPECT_EQ(json["image_width"], size.first);
      EXPECT_EQ(json["from_table"], camera->hasIntrinsics(size.first, size.second));
      EXPECT_EQ(json["distortion_model"], "rational_polynomial");
      std::vector<double> K;
      for (const auto& row : json["camera_matrix"]) {
        for (const auto& value : row) K.push_back(value.get<double>());
      }
      expectSameMatrix(camera->getIntrinsics(size.first, size.second), K);
      expectSameCoefficients(camera->getDistortion(size.first, size.second),
                             json["distortion_coefficients"].get<std::vector<double>>());
    }
  }
}

TEST(CamcalIntrinsics, OpenCvYamlReadsBackAsTheLibrarysValues) {
  const auto set = loadFixture("robot_calibration.txt");
  for (const auto& name : camerasOfFile(set)) {
    const auto camera = set.getCamera(name);
    for (const auto& size : sizesOf(*camera)) {
      const auto run = runCamcal({"-q", "intrinsics", "-c", fixture("robot_calibration.txt"), name,
                                  sizeArg(size), "-f", "opencv-yaml"});
      ASSERT_EQ(run.status, 0) << run.err;
      std::vector<double> K, d;
      int width = 0, height = 0;
      readOpenCvYaml(run.out, &K, &d, &width, &height);
      EXPECT_EQ(width, size.first);
      EXPECT_EQ(height, size.second);
      expectSameMatrix(camera->getIntrinsics(size.first, size.second), K);
      expectSameCoefficients(camera->getDistortion(size.first, size.second), d);
    }
  }
}

TEST(CamcalIntrinsics, RosYamlIsACameraInfoWithTheRationalModel) {
  const auto run = runCamcal({"intrinsics", "front", "1024x768", "--format", "ros-yaml"});
  ASSERT_EQ(run.status, 0) << run.err;
  const YAML::Node info = YAML::Load(run.out);
  const auto front = CameraParametersSet().getCamera("front");
  const Eigen::Matrix3f K = front->getIntrinsics(1024, 768);
  EXPECT_EQ(info["image_width"].as<int>(), 1024);
  EXPECT_EQ(info["image_height"].as<int>(), 768);
  EXPECT_EQ(info["camera_name"].as<std::string>(), "front");
  EXPECT_EQ(info["distortion_model"].as<std::string>(), "rational_polynomial");
  expectSameMatrix(K, info["camera_matrix"]["data"].as<std::vector<double>>());
  expectSameCoefficients(front->getDistortion(1024, 768),
                         info["distortion_coefficients"]["data"].as<std::vector<double>>());
  EXPECT_EQ(info["rectification_matrix"]["data"].as<std::vector<double>>(),
            std::vector<double>({1, 0, 0, 0, 1, 0, 0, 0, 1}));
  // P = [K | 0].
  const auto P = info["projection_matrix"]["data"].as<std::vector<double>>();
  ASSERT_EQ(P.size(), 12u);
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 4; ++c) {
      EXPECT_EQ(static_cast<float>(P[4 * r + c]), c < 3 ? K(r, c) : 0.0f);
    }
  }
}

TEST(CamcalIntrinsics, WritesTheSameTextToAFileWithOutput) {
  camcal_test::ScratchDir scratch;
  const std::string out = scratch.path("navigation.yaml");
  const auto to_file =
      runCamcal({"intrinsics", "navigation", "1280x720", "-f", "opencv-yaml", "-o", out});
  ASSERT_EQ(to_file.status, 0) << to_file.err;
  EXPECT_EQ(to_file.out, "");
  const auto to_stdout = runCamcal({"intrinsics", "navigation", "1280x720", "-f", "opencv-yaml"});
  EXPECT_EQ(camcal_test::readFile(out), to_stdout.out);
  EXPECT_EQ(scratch.entries(), std::vector<std::string>{"navigation.yaml"});
}

TEST(CamcalBase, ShowsTheEmbeddedDefaultAndAFile) {
  const auto standard = runCamcal({"base"});
  ASSERT_EQ(standard.status, 0) << standard.err;
  EXPECT_NE(standard.out.find("(validity \"factory default\")"), std::string::npos);

  const auto run = runCamcal({"base", fixture("base_calibration.txt")});
  ASSERT_EQ(run.status, 0) << run.err;
  const auto out = lines(run.out);
  ASSERT_EQ(out.size(), 8u) << run.out;
  EXPECT_EQ(out[2], "wheel base        0.412");
  EXPECT_EQ(out[3], "gyroscope gain    1.0213 (validity \"calibrated 2024-03-18\")");
  // The translation column, in metres: (10, -20, 5) millimetres.
  EXPECT_TRUE(std::regex_search(out[5], std::regex(R"(\|  +0\.01$)"))) << out[5];
  EXPECT_TRUE(std::regex_search(out[6], std::regex(R"(\|  +-0\.02$)"))) << out[6];
  EXPECT_TRUE(std::regex_search(out[7], std::regex(R"(\|  +0\.005$)"))) << out[7];
}

}  // namespace
