#include "inputs/urdf_writer.h"

#include <Eigen/Geometry>
#include <Eigen/SVD>
#include <algorithm>
#include <cmath>

#include "cli/command_error.h"
#include "cli/number_format.h"

namespace camcal {

namespace {

// How far from a rotation a matrix may be (largest element of R^T R - I and
// of the determinant's distance from 1) and still be taken for one.
constexpr double kRotationTolerance = 1e-3;
// Magnitudes below this are written as 0: they are the rounding of a zero.
constexpr double kZero = 1e-12;

// A value as the file states it: the shortest decimal of its nearest float
// (at most 9 significant digits), which reads back as that float exactly.
std::string number(double value) {
  return formatNumber(static_cast<float>(std::fabs(value) < kZero ? 0.0 : value));
}

std::string triple(const Eigen::Vector3d& v) {
  return number(v.x()) + " " + number(v.y()) + " " + number(v.z());
}

std::string xmlEscaped(const std::string& text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// Whether a value is written as a finite number (number() writes its float).
bool writable(double value) { return std::isfinite(static_cast<float>(value)); }

std::string jointHead(const std::string& name, const char* type, const std::string& parent,
                      const std::string& child) {
  return "  <joint name=\"" + name + "\" type=\"" + type + "\">\n    <parent link=\"" + parent +
         "\"/>\n    <child link=\"" + child + "\"/>\n";
}

}  // namespace

bool nearestRotation(const Eigen::Matrix3d& matrix, Eigen::Matrix3d* rotation) {
  if (!matrix.allFinite()) return false;
  const double error =
      (matrix.transpose() * matrix - Eigen::Matrix3d::Identity()).cwiseAbs().maxCoeff();
  if (!(error <= kRotationTolerance) ||
      !(std::fabs(matrix.determinant() - 1.0) <= kRotationTolerance)) {
    return false;
  }
  // The polar factor U V^T of M = U S V^T; with a determinant near 1 it is a
  // rotation, not a reflection.
  const Eigen::JacobiSVD<Eigen::Matrix3d> svd(matrix, Eigen::ComputeFullU | Eigen::ComputeFullV);
  *rotation = svd.matrixU() * svd.matrixV().transpose();
  return true;
}

bool rollPitchYaw(const Eigen::Matrix3d& matrix, Eigen::Vector3d* rpy) {
  Eigen::Matrix3d R;
  if (!nearestRotation(matrix, &R)) return false;
  // Rz(yaw)^T R = Ry(pitch) Rx(roll), whose first row is (cp, sp sr, sp cr)
  // and second (0, cr, -sr). At pitch +/-pi/2, R(0,0) = R(1,0) = 0 and the yaw
  // is 0; otherwise atan2 of them is the yaw.
  const double yaw = std::atan2(R(1, 0), R(0, 0));
  const double c = std::cos(yaw), s = std::sin(yaw);
  const double roll = std::atan2(s * R(0, 2) - c * R(1, 2), c * R(1, 1) - s * R(0, 1));
  const double pitch = std::atan2(-R(2, 0), c * R(0, 0) + s * R(1, 0));
  *rpy = Eigen::Vector3d(roll, pitch, yaw);
  return true;
}

bool isFrameName(const std::string& name) {
  if (name.empty() || (name[0] >= '0' && name[0] <= '9')) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
  });
}

UrdfDocument::UrdfDocument(const std::string& robot_name, const std::string& root_link)
    : robot_name_(robot_name) {
  addLink(root_link);
}

void UrdfDocument::claim(std::vector<Owned>* names, const char* kind, const std::string& name) {
  const auto taken = std::find_if(names->begin(), names->end(),
                                  [&](const Owned& owned) { return owned.name == name; });
  if (taken != names->end()) {
    throw operationError("the " + std::string(kind) + " '" + name + "' of " + part_ +
                         " would appear twice: " +
                         (taken->part == part_ ? "it has it already" : taken->part + " has it"));
  }
  names->push_back({name, part_});
}

void UrdfDocument::addLink(const std::string& link) {
  if (!isFrameName(link)) throw usageError("'" + link + "' cannot be a frame name");
  claim(&links_, "link", link);
}

void UrdfDocument::checkNewJoint(const std::string& name, const std::string& parent,
                                 const std::string& child) {
  const bool has_parent = std::any_of(links_.begin(), links_.end(),
                                      [&](const Owned& link) { return link.name == parent; });
  if (!has_parent) throw operationError("the joint '" + name + "' has no parent");
  claim(&joint_names_, "joint", name);
  addLink(child);
}

void UrdfDocument::addFixedJoint(const std::string& name, const std::string& parent,
                                 const std::string& child, const Eigen::Matrix4d& child_in_parent) {
  Eigen::Vector3d rpy;
  if (!rollPitchYaw(child_in_parent.topLeftCorner<3, 3>(), &rpy)) {
    throw operationError("the joint '" + name + "': its rotation is not a rotation matrix");
  }
  if (!child_in_parent.block<3, 1>(0, 3).unaryExpr(&writable).all()) {
    throw operationError("the joint '" + name + "': its origin is not a finite position");
  }
  checkNewJoint(name, parent, child);
  joints_.push_back(jointHead(name, "fixed", parent, child) + "    <origin xyz=\"" +
                    triple(child_in_parent.block<3, 1>(0, 3)) + "\" rpy=\"" + triple(rpy) +
                    "\"/>\n  </joint>\n");
}

void UrdfDocument::addRevoluteJoint(const std::string& name, const std::string& parent,
                                    const std::string& child, const Eigen::Vector3d& axis,
                                    bool has_limits, double lower, double upper) {
  if (!axis.unaryExpr(&writable).all() || (has_limits && !(writable(lower) && writable(upper)))) {
    throw operationError("the joint '" + name + "': its axis or limits are not finite numbers");
  }
  checkNewJoint(name, parent, child);
  std::string joint = jointHead(name, has_limits ? "revolute" : "continuous", parent, child) +
                      "    <origin xyz=\"0 0 0\" rpy=\"0 0 0\"/>\n    <axis xyz=\"" + triple(axis) +
                      "\"/>\n";
  if (has_limits) {
    joint += "    <limit lower=\"" + number(lower) + "\" upper=\"" + number(upper) +
             "\" effort=\"0\" velocity=\"0\"/>\n";
  }
  joints_.push_back(joint + "  </joint>\n");
}

std::string UrdfDocument::text() const {
  std::string out = "<?xml version=\"1.0\"?>\n<robot name=\"" + xmlEscaped(robot_name_) + "\">\n";
  for (const auto& link : links_) out += "  <link name=\"" + link.name + "\"/>\n";
  for (const auto& joint : joints_) out += joint;
  return out + "</robot>\n";
}

}  // namespace camcal
