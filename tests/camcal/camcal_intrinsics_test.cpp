// camcal intrinsics in each output format: the library's own values for
// every camera and image size.
#include <gtest/gtest.h>
#include <yaml-cpp/yaml.h>

#include <nlohmann/json.hpp>

#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
#include <opencv2/core.hpp>
#endif

#include "calibration_common/camera_parameters.h"
#include "run_camcal.h"

namespace {

using namespace camcal_test;
using dravik::calibration::CameraParametersSet;

// K row by row, the distortion coefficients and the image size of an
// output, read as floats: camcal prints each float so that it reads back as
// the same float.
struct Intrinsics {
  std::vector<float> K, d;
  int width = 0, height = 0;
};

template <typename Numbers>
std::vector<float> floats(const Numbers& numbers) {
  return std::vector<float>(numbers.begin(), numbers.end());
}

// JSON is read as JSON, OpenCV YAML as OpenCV reads it when it is present.
Intrinsics readOutput(const std::string& format, const std::string& text) {
  if (format == "json") {
    const auto json = nlohmann::json::parse(text);
    std::vector<double> K;
    for (const auto& row : json["camera_matrix"]) K.insert(K.end(), row.begin(), row.end());
    return {floats(K), floats(json["distortion_coefficients"].get<std::vector<double>>()),
            json["image_width"], json["image_height"]};
  }
#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
  if (format == "opencv-yaml") {
    cv::FileStorage storage(text, cv::FileStorage::READ | cv::FileStorage::MEMORY);
    cv::Mat K, d;
    storage["camera_matrix"] >> K;
    storage["distortion_coefficients"] >> d;
    return {floats(cv::Mat_<double>(K)), floats(cv::Mat_<double>(d)),
            static_cast<int>(storage["image_width"]), static_cast<int>(storage["image_height"])};
  }
#endif
  const YAML::Node root = YAML::Load(text);
  EXPECT_TRUE(format != "opencv-yaml" ||
              root["camera_matrix"].Tag() == "tag:yaml.org,2002:opencv-matrix");
  return {floats(root["camera_matrix"]["data"].as<std::vector<double>>()),
          floats(root["distortion_coefficients"]["data"].as<std::vector<double>>()),
          root["image_width"].as<int>(), root["image_height"].as<int>()};
}

TEST(CamcalIntrinsics, EachFormatHoldsTheLibrarysValuesForEveryCameraAndSize) {
  const std::string file = fixture("robot_calibration.txt");
  CameraParametersSet set;
  ASSERT_TRUE(set.loadFromFile(file));
  for (const auto& proto : set.getRawCalData().camera()) {
    const auto camera = set.getCamera(proto.name());
    std::vector<std::pair<int, int>> sizes = {{333, 250}};  // one off every table
    for (const auto& entry : camera->getIntrinsicsTable())
      sizes.emplace_back(entry.width, entry.height);
    for (const auto& [width, height] : sizes) {
      const Eigen::Matrix3f K = camera->getIntrinsics(width, height);
      std::vector<float> K_rows, P_rows;  // P = [K | 0]
      for (int r = 0; r < 3; ++r) {
        K_rows.insert(K_rows.end(), {K(r, 0), K(r, 1), K(r, 2)});
        P_rows.insert(P_rows.end(), {K(r, 0), K(r, 1), K(r, 2), 0.0f});
      }
      const std::string size = std::to_string(width) + "x" + std::to_string(height);
      for (const std::string format : {"json", "opencv-yaml", "ros-yaml"}) {
        SCOPED_TRACE(proto.name() + " " + size + " " + format);
        const auto run =
            runCamcal({"-q", "intrinsics", "-c", file, proto.name(), size, "-f", format});
        ASSERT_EQ(run.status, 0) << run.err;
        const Intrinsics read = readOutput(format, run.out);
        EXPECT_EQ(read.K, K_rows);
        EXPECT_EQ(read.d, camera->getDistortion(width, height));
        EXPECT_EQ(read.width, width);
        EXPECT_EQ(read.height, height);
        if (format == "json") {
          const auto json = nlohmann::json::parse(run.out);
          EXPECT_EQ(json["camera"], proto.name());
          EXPECT_EQ(json["from_table"], camera->hasIntrinsics(width, height));
          EXPECT_EQ(json["distortion_model"], "rational_polynomial");
        }
        if (format == "ros-yaml") {
          const YAML::Node info = YAML::Load(run.out);
          EXPECT_EQ(info["camera_name"].as<std::string>(), proto.name());
          EXPECT_EQ(info["distortion_model"].as<std::string>(), "rational_polynomial");
          EXPECT_EQ(info["rectification_matrix"]["data"].as<std::vector<double>>(),
                    std::vector<double>({1, 0, 0, 0, 1, 0, 0, 0, 1}));
          EXPECT_EQ(floats(info["projection_matrix"]["data"].as<std::vector<double>>()), P_rows);
        }
      }
    }
  }
}

}  // namespace
