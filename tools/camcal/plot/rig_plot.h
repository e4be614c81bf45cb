// The picture of a calibrated rig (`camcal rig --report DIR`): every
// camera's frame and the board at every moment in the robot frame, drawn
// twice at one scale, seen from above (x forward to the right, y left
// upwards) and from the right side (x to the right, z up), the two panels
// one above the other so that their x axes line up.
#pragma once

#include <Eigen/Core>
#include <string>
#include <vector>

namespace camcal {

struct RigPlotCamera {
  std::string name;
  Eigen::Matrix4d camera_from_robot = Eigen::Matrix4d::Identity();
  bool reference = false;
};

struct RigPlot {
  std::vector<RigPlotCamera> cameras;
  // The board's pose in the robot frame at each moment it was seen.
  std::vector<Eigen::Matrix4d> robot_from_board;
  // The board's outline in its own frame (its corner points' bounding
  // rectangle), metres.
  std::vector<Eigen::Vector3d> board_outline;
};

// The PNG bytes of the picture.
std::string plotRig(const RigPlot& rig);

}  // namespace camcal
