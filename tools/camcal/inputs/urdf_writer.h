// A URDF robot description: links joined by fixed and revolute joints, and
// the geometry that turns a rigid transform into a joint's origin.
//
// Conventions of the format: a joint's origin places the child link's frame
// in the parent's, x_parent = [R(rpy) xyz] x_child, with
// R(rpy) = Rz(yaw) Ry(pitch) Rx(roll); a revolute joint at position q turns
// the child by the rotation of q about its axis, before the origin. Lengths
// in metres, angles in radians.
#pragma once

#include <Eigen/Core>
#include <string>
#include <vector>

namespace camcal {

// Roll, pitch and yaw of a rotation, R = Rz(yaw) Ry(pitch) Rx(roll), pitch in
// [-pi/2, pi/2]. The matrix is first replaced by the nearest rotation (its
// polar factor, in double), so that a rotation rounded to float gives the
// angles of a true rotation. The yaw is taken first and the roll and pitch
// from the matrix turned back by it, so that the three reproduce the
// rotation to the double-precision floor at every pitch, +/-pi/2 included
// (where only the difference or sum of roll and yaw is defined, the roll
// takes it and the yaw is 0). False for a matrix that is not within 1e-3 of
// a rotation (a reflection, a scaled or degenerate matrix, NaN).
bool rollPitchYaw(const Eigen::Matrix3d& rotation, Eigen::Vector3d* rpy);

// The nearest rotation to a 3x3 matrix, as rollPitchYaw takes it; false under
// the same condition.
bool nearestRotation(const Eigen::Matrix3d& matrix, Eigen::Matrix3d* rotation);

// Whether a name can be a frame name: letters, digits and underscores, not
// starting with a digit, not empty.
bool isFrameName(const std::string& name);

// A URDF document under construction. Every joint adds its child link; link
// and joint names must be new (a repeated one is an operation error naming
// it and the parts of the robot that both want it), and a joint's parent must
// be a link already added. Every number written is finite: a joint whose
// origin, axis or limits are not (as a float) is an operation error naming
// the joint.
class UrdfDocument {
 public:
  // The root link belongs to the part "the robot frame".
  UrdfDocument(const std::string& robot_name, const std::string& root_link);

  // The part of the robot, e.g. "camera 'front'", that the joints and links
  // added from now on belong to.
  void setPart(const std::string& part) { part_ = part; }

  // A fixed joint placing the child's frame at `child_in_parent` (a rigid
  // transform mapping child coordinates into parent coordinates). An
  // operation error, naming the joint, when its rotation is not one.
  void addFixedJoint(const std::string& name, const std::string& parent, const std::string& child,
                     const Eigen::Matrix4d& child_in_parent);
  // A joint of zero origin turning about `axis`: revolute within
  // [lower, upper] when has_limits, continuous otherwise. Effort and velocity
  // limits are 0 (not known).
  void addRevoluteJoint(const std::string& name, const std::string& parent,
                        const std::string& child, const Eigen::Vector3d& axis, bool has_limits,
                        double lower, double upper);

  // The document: an XML declaration and the robot element with its links
  // and joints, in the order added.
  std::string text() const;

 private:
  // A name and the part of the robot it belongs to.
  struct Owned {
    std::string name, part;
  };
  // Adds `name` to `names` for the current part; an operation error when a
  // part already has it.
  void claim(std::vector<Owned>* names, const char* kind, const std::string& name);
  void addLink(const std::string& link);
  void checkNewJoint(const std::string& name, const std::string& parent, const std::string& child);

  std::string robot_name_;
  std::string part_ = "the robot frame";
  std::vector<Owned> links_;
  std::vector<Owned> joint_names_;
  std::vector<std::string> joints_;  // each joint's element, indented
};

}  // namespace camcal
