// What `camcal rig` reads: the board's corners of every camera at every
// moment, found on the images of one folder per camera or read from a rig
// corners file, and the fixture's known board poses.
//
// A rig corners file is JSON, one corners file of `camcal calibrate` per
// camera (calibrate_corners.h), each view named by its moment:
//   {"cameras": {"navigation": {"image_width": W, "image_height": H,
//                               "views": [{"name": "0007", ...}, ...]},
//                "head": {...}}}
// A fixture file is JSON, the board's pose in the robot frame (robot_from_board,
// a rigid transform whose rows are given, metres) at each fixture moment:
//   {"fixture": [{"moment": "0007", "robot_from_board": [[r00, r01, r02, x],
//                 [r10, r11, r12, y], [r20, r21, r22, z], [0, 0, 0, 1]]}]}
#pragma once

#include <Eigen/Core>
#include <string>
#include <vector>

#include "commands/calibrate/calibrate_corners.h"

namespace camcal {

// One camera's corners; each image (view) named by its moment.
struct CameraCorners {
  std::string camera;
  std::string folder;  // where its images came from, or the corners file
  CornerSet corners;
};

// DIR/CAMERA/MOMENT.png (or .jpg, .jpeg) for every folder of DIR, in the order
// of the folders' names, the images of each in the order of theirs. Throws
// an operation error for a folder that names none of `cameras` (naming it
// and them), a folder without images (naming its camera), and what
// detectBoardCorners throws.
std::vector<CameraCorners> detectRigCorners(const std::string& dir, const Board& board,
                                            const std::vector<std::string>& cameras,
                                            const std::string& calibration_path, int threads,
                                            bool progress);

// A rig corners file (the layout above). Throws an operation error naming
// the file, and the camera whose part is not a corners file.
std::vector<CameraCorners> readRigCornersFile(const std::string& path, const std::string& text);
std::string rigCornersAsJson(const std::vector<CameraCorners>& cameras);

struct FixturePose {
  std::string moment;
  Eigen::Matrix4d robot_from_board = Eigen::Matrix4d::Identity();
};

// A fixture file (the layout above). Throws an operation error naming the
// file for JSON that does not parse or a layout that is not the one above.
std::vector<FixturePose> readFixtureFile(const std::string& path, const std::string& text);

}  // namespace camcal
