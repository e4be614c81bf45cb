// Projection of many world points, and rays of many pixels, at once by a PTZ
// configuration, against the single-point calls.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
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

// The batch of rays, in double precision, against the single-pixel call (in
// float): the same directions, over the image and beyond its edge, and the
// pixel of each ray is the pixel it came from.
TEST(PTZProjectionBatch, RaysOfPixelsAgreeWithTheSinglePixelCall) {
  const auto model = sharedModel(ptzExampleParameters());
  for (const int zoom : {0, 5000, 16000}) {
    const PTZCameraModelConfiguration config(model, 3100, 900, zoom);
    std::vector<double> uv;
    for (double v = -20; v <= config.calHeight() + 20; v += 97) {
      for (double u = -20; u <= config.calWidth() + 20; u += 131) uv.insert(uv.end(), {u, v});
    }
    const std::size_t n = uv.size() / 2;
    std::vector<double> rays(3 * n + 1, -1.0);
    std::vector<std::uint8_t> ok(n);
    config.projectPixelsToRays(uv.data(), n, rays.data(), ok.data());
    EXPECT_EQ(rays[3 * n], -1.0);  // nothing written past the batch
    for (std::size_t i = 0; i < n; ++i) {
      SCOPED_TRACE("zoom " + std::to_string(zoom) + ", pixel " + std::to_string(i));
      ASSERT_EQ(ok[i], 1);
      const Eigen::Vector3d ray(rays[3 * i], rays[3 * i + 1], rays[3 * i + 2]);
      const Eigen::Vector3f pixel(float(uv[2 * i]), float(uv[2 * i + 1]), 0.0f);
      const Eigen::Vector3d single =
          config.projectPixelToRay(pixel.head<2>()).cast<double>().normalized();
      EXPECT_LT((ray.normalized() - single).norm(), 1e-6);
      const Eigen::Vector3f world =
          config.getCameraCenter() + 3.0f * ray.normalized().cast<float>();
      EXPECT_LT((config.project3dToCamera(world) - pixel.head<2>()).norm(), 1e-2);
    }
  }
}

}  // namespace
}  // namespace dravik::calibration
