// Projection of many world points at once by a PTZ configuration, against
// the single-point call.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

#include "calibration_common/ptz_camera_model.h"
#include "support/ptz_models.h"

namespace dravik::calibration {
namespace {

using namespace testing;

// Equal to the last bit; any NaN matches any NaN (points on the camera's
// plane), since the bits of a NaN carry no pixel.
bool sameFloat(float a, float b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  return std::memcmp(&a, &b, sizeof(a)) == 0;
}

// Points all over the view and beyond it, near and far, behind the camera
// and on its plane.
std::vector<Eigen::Vector3f> scenePoints(const PTZCameraModelConfiguration& config) {
  std::vector<Eigen::Vector3f> points;
  for (float depth : {0.0f, -2.0f, 0.05f, 1.0f, 7.5f, 300.0f}) {
    for (const Eigen::Vector2f& p : normalizedGrid(1.3f, 0.1f, 0.9f, 0.15f))
      points.push_back(worldPointAt(config, p.x(), p.y(), depth));
  }
  return points;
}

// Several zoom settings (between samples, at a sample, beyond the table) and
// batch lengths that leave every remainder of a vector's width.
TEST(PTZProjectionBatch, AgreesWithTheSinglePointCallToTheLastBit) {
  const auto model = sharedModel(ptzExampleParameters());
  const int settings[][3] = {
      {3100, 900, 5000}, {200, 0, 0}, {7000, 1800, 16000}, {3600, 1200, 99999}};
  for (const auto& setting : settings) {
    const PTZCameraModelConfiguration config(model, setting[0], setting[1], setting[2]);
    const std::vector<Eigen::Vector3f> points = scenePoints(config);
    std::vector<float> x, y, z;
    for (const Eigen::Vector3f& p : points) {
      x.push_back(p.x());
      y.push_back(p.y());
      z.push_back(p.z());
    }
    for (int count : {0, 1, 3, 4, 5, 7, 8, 9, int(points.size())}) {
      std::vector<float> u(count + 1, -1.0f), v(count + 1, -1.0f);
      config.project3dToCamera(x.data(), y.data(), z.data(), count, u.data(), v.data());
      for (int i = 0; i < count; ++i) {
        const Eigen::Vector2f single = config.project3dToCamera(points[i]);
        ASSERT_TRUE(sameFloat(u[i], single.x()) && sameFloat(v[i], single.y()))
            << "zoom " << setting[2] << ", point " << i << " of " << count << ": " << u[i] << ", "
            << v[i] << " against " << single.transpose();
      }
      // Nothing written past the batch.
      EXPECT_EQ(u[count], -1.0f);
      EXPECT_EQ(v[count], -1.0f);
    }
  }
}

// A configuration moved from has given its lens away: it projects as a
// pinhole, so that pixels move in proportion to the normalized coordinates.
TEST(PTZProjectionBatch, ConfigurationMovedFromProjectsWithoutDistortion) {
  PTZCameraModelConfiguration source(sharedModel(ptzExampleParameters()), 3100, 900, 0);
  const PTZCameraModelConfiguration taken(std::move(source));
  // The pixel of normalized (x, y) two metres in front of the camera.
  const auto seen = [](const PTZCameraModelConfiguration& config, float x, float y) {
    return config.project3dToCamera(worldPointAt(config, x, y, 2));
  };
  const Eigen::Vector2f centre = seen(source, 0, 0), near = seen(source, 0.3f, 0.2f);
  const Eigen::Vector2f far = seen(source, 0.6f, 0.4f);
  EXPECT_TRUE(source.distortion().empty());
  EXPECT_NEAR((far - centre).x(), 2 * (near - centre).x(), 0.05);
  EXPECT_NEAR((far - centre).y(), 2 * (near - centre).y(), 0.05);
  // The lens went with the move: the new owner sees the barrel distortion.
  EXPECT_LT((seen(taken, 0.6f, 0.4f) - seen(taken, 0, 0)).x(), (far - centre).x() - 10);
}

}  // namespace
}  // namespace dravik::calibration
