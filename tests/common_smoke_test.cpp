#include <gtest/gtest.h>

#include "calibration_common/camera_parameters.h"

TEST(Smoke, DefaultSetHasCameras) {
  dravik::calibration::CameraParametersSet set;
  EXPECT_TRUE(set.hasCamera("navigation"));
}
