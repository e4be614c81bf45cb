#include "calibration_utils/image_sensor_transform.h"

namespace dravik {
namespace calibration {

ImageSensorTransform::~ImageSensorTransform() = default;

}  // namespace calibration
}  // namespace dravik
