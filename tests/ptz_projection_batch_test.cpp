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

// Several zoom settings (between samples, at a sample, beyond the table) and
// batch lengths that leave every remainder of a vector's width.
TEST(PTZProjectionBatch, AgreesWithTheSinglePointCallToTheLastBit) {
  const auto model = sharedModel(ptzExampleParameters());
  const int settings[][3] = {
      {3100, 900, 5000}, {200, 0, 0}, {7000, 1800, 16000}, {3600, 1200, 99999}};
  const std::vector<Eigen::Vector2f> grid = normalizedGrid(1.3f, 0.1f, 0.9f, 0.15f);
  const int n = int(grid.size());
  for (const auto& setting : settings) {
    const PTZCameraModelConfiguration config(model, setting[0], setting[1], setting[2]);
    // Points all over the view and beyond it, near and far, behind the camera
    // and on its plane: a row of x, one of y, one of z.
    Eigen::Matrix<float, 3, Eigen::Dynamic, Eigen::RowMajor> xyz(3, 6 * n);
    const float depths[] = {0.0f, -2.0f, 0.05f, 1.0f, 7.5f, 300.0f};
    for (int i = 0; i < 6 * n; ++i)
      xyz.col(i) = worldPointAt(config, grid[i % n].x(), grid[i % n].y(), depths[i / n]);
    for (int count : {0, 1, 3, 4, 5, 7, 8, 9, 6 * n}) {
      std::vector<float> u(count + 1, -1.0f), v(count + 1, -1.0f);
      config.project3dToCamera(xyz.row(0).data(), xyz.row(1).data(), xyz.row(2).data(), count,
                               u.data(), v.data());
      for (int i = 0; i < count; ++i) {
        const Eigen::Vector2f single = config.project3dToCamera(Eigen::Vector3f(xyz.col(i)));
        ASSERT_TRUE(sameFloat(u[i], single.x()) && sameFloat(v[i], single.y()))
            << "zoom " << setting[2] << ", point " << i << " of " << count << ": " << u[i] << ", "
            << v[i] << " against " << single.transpose();
      }
      EXPECT_EQ(u[count], -1.0f);  // nothing written past the batch
      EXPECT_EQ(v[count], -1.0f);
    }
  }
}

// The batch of rays, in double precision, against the single-pixel call (in
// float): the same directions, over the image and beyond its edge, and the
// pixel of each ray is the pixel it came from.
TEST(PTZProjectionBatch, RaysOfPixelsAgreeWithTheSinglePixelCall) {
  const auto model = sharedModel(ptzExampleParameters());
  for (const int zoom : {0, 1234, 5000, 16000}) {
    const PTZCameraModelConfiguration config(model, 3100, 900, zoom);
    std::vector<double> uv;
    for (double v = -20; v <= config.calHeight() + 20; v += 97)
      for (double u = -20; u <= config.calWidth() + 20; u += 131) uv.insert(uv.end(), {u, v});
    const std::size_t n = uv.size() / 2;
    std::vector<double> rays(3 * n + 1, -1.0);
    std::vector<std::uint8_t> ok(n);
    config.projectPixelsToRays(uv.data(), n, rays.data(), ok.data());
    EXPECT_EQ(rays[3 * n], -1.0);  // nothing written past the batch
    for (std::size_t i = 0; i < n; ++i) {
      SCOPED_TRACE("zoom " + std::to_string(zoom) + ", pixel " + std::to_string(i));
      ASSERT_EQ(ok[i], 1);
      const Eigen::Vector3d ray = Eigen::Vector3d(&rays[3 * i]).normalized();
      const Eigen::Vector2f pixel = Eigen::Vector2d(&uv[2 * i]).cast<float>();
      EXPECT_LT((ray - config.projectPixelToRay(pixel).cast<double>().normalized()).norm(), 1e-6);
      const Eigen::Vector3f world = config.getCameraCenter() + 3.0f * ray.cast<float>();
      EXPECT_LT((config.project3dToCamera(world) - pixel).norm(), 1e-2);
    }
  }
}

}  // namespace
}  // namespace dravik::calibration
