#define DRAVIK_LOG_FILE "calibration_common/pan_tilt_head_calibration"

// The fit of the pan/tilt head to views of a still board: the problem the
// calibration solver minimises (the head's fitted parameters in its shared
// block, the board's pose or P in one pose block), its start from the views'
// own poses, and the covariance and errors of the result.
#include "calibration_common/pan_tilt_head_calibration.h"

#include <Eigen/Dense>
#include <cmath>
#include <limits>
#include <map>
#include <memory>

#include "calibration_common/ptz_camera_model.h"
#include "dravik/logging.h"
#include "levenberg_marquardt.h"
#include "reprojection_problem.h"
#include "view_geometry.h"

namespace dravik {
namespace calibration {

namespace {

constexpr char kTag[] = "pan_tilt_model";
constexpr int kMinimumCorners = 6;
constexpr int kMaxEvaluations = 200;
constexpr double kDegreesPerRadian = 57.29577951308232;
constexpr double kMillimetresPerMetre = 1000.0;
// The smallest eigenvalue of the information matrix scaled to a unit
// diagonal below which a direction of the parameters is not seen.
constexpr double kUndeterminedEigenvalue = 1e-9;
// A head parameter with this share of the unseen directions is named before
// the board's pose.
constexpr double kNamedShare = 0.1;
// A fixture whose rotation is off a rotation by more than this (|R'R - I|).
constexpr double kRotationTolerance = 1e-6;

// The shared block's slots. The two left over stay fixed.
enum Slot {
  kAxesTurn,
  kAxesShift,
  kDeviceTurnX,
  kDeviceTurnY,
  kDeviceShiftX,
  kDeviceShiftY,
  kDeviceShiftZ,
  kTiltOffset,
  kPanScale,
  kTiltScale,
};
// The pose block: turns about x, y, z, shifts along x, y, z of the pan base;
// with a fixture the turn about z is the pan offset's.
constexpr int kPanOffsetSlot = 2;

const Eigen::Vector3d kAxisZ(0.0, 0.0, 1.0);

struct Rigid {
  Eigen::Matrix3d R = Eigen::Matrix3d::Identity();
  Eigen::Vector3d t = Eigen::Vector3d::Zero();
  Eigen::Vector3d operator*(const Eigen::Vector3d& x) const { return R * x + t; }
  Rigid operator*(const Rigid& b) const { return {R * b.R, R * b.t + t}; }
  Rigid inverse() const { return {R.transpose(), -(R.transpose() * t)}; }
};

Rigid rigidOf(const CameraExtrinsics& e) {
  Rigid m;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) m.R(r, c) = e.a(4 * r + c);
    m.t(r) = e.a(4 * r + 3) / kMillimetresPerMetre;
  }
  return m;
}

void writeRigid(const Rigid& m, CameraExtrinsics* e) {
  e->Clear();
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) e->add_a(m.R(r, c));
    e->add_a(m.t(r) * kMillimetresPerMetre);
  }
}

Rigid rigidOf(const Pose& pose) { return {pose.camera_from_target_rotation, pose.translation}; }

Eigen::Matrix3d rotationOf(const Eigen::Vector3d& w) {
  const double angle = w.norm();
  if (angle == 0.0) return Eigen::Matrix3d::Identity();
  return Eigen::AngleAxisd(angle, w / angle).toRotationMatrix();
}

Eigen::Matrix3d rotationZ(double angle) { return rotationOf(angle * kAxisZ); }

// What the fit moves: the pan base's pose of the source frame (the board's
// frame, or with a fixture the world, P), T, D and the motor terms.
struct HeadState {
  Rigid base, tilt, device;
  double pan_offset = 0.0, tilt_offset = 0.0, pan_scale = 0.0, tilt_scale = 0.0;

  // The axes' common normal in the tilt base: the tilt axis crossed with
  // the pan axis.
  Eigen::Vector3d axesNormal() const { return kAxisZ.cross(tilt.R * kAxisZ).normalized(); }
  Rigid panRotation(double pan) const {
    return {rotationZ(pan_scale * (pan - pan_offset)), Eigen::Vector3d::Zero()};
  }
  Rigid tiltRotation(double tilt_steps) const {
    return {rotationZ(tilt_scale * (tilt_steps - tilt_offset)), Eigen::Vector3d::Zero()};
  }
  // camera_from_pan_base at the motor positions.
  Rigid cameraFromPanBase(double pan, double tilt_steps) const {
    return device * tiltRotation(tilt_steps) * tilt * panRotation(pan);
  }
};

// One view as the fit holds it: its lens, its motor positions and its
// corners, the target points in the source frame.
struct HeadView {
  IntrinsicVector lens;
  double pan = 0.0, tilt = 0.0;
  std::vector<Eigen::Vector2d> image;
  std::vector<Eigen::Vector3d> source;
};

HeadState stepped(const HeadState& s, const Step& step, bool fixture) {
  HeadState out = s;
  const IntrinsicVector& g = step.intrinsics;
  const PoseVector& b = step.poses[0];
  Eigen::Vector3d base_turn = b.head<3>();
  if (fixture) {
    out.pan_offset += b(kPanOffsetSlot);
    base_turn(2) = 0.0;
  }
  const Eigen::Matrix3d base_rotation = rotationOf(base_turn);
  out.base = {base_rotation * s.base.R, base_rotation * s.base.t + b.tail<3>()};
  const Eigen::Vector3d n = s.axesNormal();
  const Eigen::Matrix3d axes_rotation = rotationOf(g(kAxesTurn) * n);
  out.tilt = {axes_rotation * s.tilt.R, axes_rotation * s.tilt.t + g(kAxesShift) * n};
  const Eigen::Vector3d device_shift(g(kDeviceShiftX), g(kDeviceShiftY), g(kDeviceShiftZ));
  out.device = s.device * Rigid{rotationOf({g(kDeviceTurnX), g(kDeviceTurnY), 0.0}), device_shift};
  out.tilt_offset += g(kTiltOffset);
  out.pan_scale += g(kPanScale);
  out.tilt_scale += g(kTiltScale);
  return out;
}

// The derivatives of a camera point in the shared block's slots and the pose
// block's, at the state.
struct ChainColumns {
  Eigen::Matrix<double, 3, kIntrinsics> shared = Eigen::Matrix<double, 3, kIntrinsics>::Zero();
  Eigen::Matrix<double, 3, kPoseParameters> pose;
};

class HeadProblem : public LeastSquaresProblem {
 public:
  HeadProblem(const std::vector<HeadView>& views, bool fixture, const HeadState& start)
      : views_(views), fixture_(fixture), state_(start) {}

  const HeadState& state() const { return state_; }

  void linearize(NormalEquations* normal) override {
    *normal = NormalEquations();
    normal->views.resize(1);
    PoseBlock& block = normal->views[0];
    const Eigen::Vector3d n = state_.axesNormal();
    for (const HeadView& view : views_) {
      const Rigid pan_rotation = state_.panRotation(view.pan);
      const Rigid tilt_rotation = state_.tiltRotation(view.tilt);
      const Eigen::Matrix3d on_tilted = state_.device.R;
      const Eigen::Matrix3d on_tilt_base = on_tilted * tilt_rotation.R;
      const Eigen::Matrix3d on_panned = on_tilt_base * state_.tilt.R;
      const Eigen::Matrix3d on_pan_base = on_panned * pan_rotation.R;
      for (size_t i = 0; i < view.source.size(); ++i) {
        const Eigen::Vector3d x0 = state_.base * view.source[i];
        const Eigen::Vector3d x1 = pan_rotation.R * x0;
        const Eigen::Vector3d x2 = state_.tilt * x1;
        const Eigen::Vector3d x3 = tilt_rotation.R * x2;
        PixelDerivatives d;
        if (!projectWithDerivatives(view.lens, state_.device * x3, &d)) continue;
        ChainColumns c;
        for (int k = 0; k < 3; ++k) {
          const Eigen::Vector3d e = Eigen::Vector3d::Unit(k);
          c.pose.col(k) = on_pan_base * e.cross(x0);
          c.pose.col(3 + k) = on_pan_base * e;
          c.shared.col(kDeviceShiftX + k) = on_tilted * e;
        }
        if (fixture_) {
          c.pose.col(kPanOffsetSlot) = on_panned * (-state_.pan_scale * kAxisZ.cross(x1));
        }
        c.shared.col(kAxesTurn) = on_tilt_base * n.cross(x2);
        c.shared.col(kAxesShift) = on_tilt_base * n;
        c.shared.col(kDeviceTurnX) = on_tilted * Eigen::Vector3d::UnitX().cross(x3);
        c.shared.col(kDeviceTurnY) = on_tilted * Eigen::Vector3d::UnitY().cross(x3);
        c.shared.col(kTiltOffset) = on_tilted * (-state_.tilt_scale * kAxisZ.cross(x3));
        c.shared.col(kPanScale) = on_panned * ((view.pan - state_.pan_offset) * kAxisZ.cross(x1));
        c.shared.col(kTiltScale) =
            on_tilted * ((view.tilt - state_.tilt_offset) * kAxisZ.cross(x3));
        const Eigen::Map<const Eigen::Matrix<double, 2, 3, Eigen::RowMajor>> J(&d.d_point[0][0]);
        const Eigen::Matrix<double, 2, kIntrinsics> a = J * c.shared;
        const Eigen::Matrix<double, 2, kPoseParameters> p = J * c.pose;
        const Eigen::Vector2d r = d.pixel - view.image[i];
        normal->U.noalias() += a.transpose() * a;
        normal->u.noalias() += a.transpose() * r;
        block.V.noalias() += p.transpose() * p;
        block.W.noalias() += a.transpose() * p;
        block.v.noalias() += p.transpose() * r;
        normal->cost += r.squaredNorm();
      }
    }
  }

  double trialCost(const Step& step) const override {
    return cost(stepped(state_, step, fixture_));
  }
  void accept(const Step& step) override { state_ = stepped(state_, step, fixture_); }

  // |r|^2 over every corner; +infinity when one is not in front of the camera.
  double cost(const HeadState& s) const {
    double sum = 0.0;
    for (const HeadView& view : views_) {
      for (const double e : errors(s, view)) sum += e * e;
    }
    return sum;
  }

  // The reprojection error of each corner of a view, pixels; +infinity for
  // one behind the camera.
  static std::vector<double> errors(const HeadState& s, const HeadView& view) {
    const Rigid camera_from_source = s.cameraFromPanBase(view.pan, view.tilt) * s.base;
    std::vector<double> out;
    for (size_t i = 0; i < view.source.size(); ++i) {
      Eigen::Vector2d pixel;
      out.push_back(projectPoint(view.lens, camera_from_source * view.source[i], &pixel)
                        ? (pixel - view.image[i]).norm()
                        : std::numeric_limits<double>::infinity());
    }
    return out;
  }

 private:
  const std::vector<HeadView>& views_;
  bool fixture_;
  HeadState state_;
};

// What each fitted parameter is called, in which unit it is shown and the
// factor from the fit's unit to that one.
struct ParameterLabel {
  const char* name;
  const char* unit;
  double factor;
};

constexpr ParameterLabel kTurn{"", "deg", kDegreesPerRadian};

std::vector<ParameterLabel> sharedLabels() {
  return {
      {"T turn about the axes' common normal", "deg", kDegreesPerRadian},
      {"T shift along the axes' common normal", "mm", kMillimetresPerMetre},
      {"D turn about the tilt-rotated x axis", "deg", kDegreesPerRadian},
      {"D turn about the tilt-rotated y axis", "deg", kDegreesPerRadian},
      {"D shift along the tilt-rotated x axis", "mm", kMillimetresPerMetre},
      {"D shift along the tilt-rotated y axis", "mm", kMillimetresPerMetre},
      {"D shift along the tilt axis", "mm", kMillimetresPerMetre},
      {"tilt offset", "steps", 1.0},
      {"pan scale", "deg/step", kDegreesPerRadian},
      {"tilt scale", "deg/step", kDegreesPerRadian},
  };
}

std::vector<ParameterLabel> poseLabels(bool fixture) {
  if (fixture) {
    return {{"P turn about the pan base's x axis", kTurn.unit, kTurn.factor},
            {"P turn about the pan base's y axis", kTurn.unit, kTurn.factor},
            {"pan offset", "steps", 1.0},
            {"P shift along the pan base's x axis", "mm", kMillimetresPerMetre},
            {"P shift along the pan base's y axis", "mm", kMillimetresPerMetre},
            {"P shift along the pan axis", "mm", kMillimetresPerMetre}};
  }
  return {{"board turn about the pan base's x axis", kTurn.unit, kTurn.factor},
          {"board turn about the pan base's y axis", kTurn.unit, kTurn.factor},
          {"board turn about the pan axis", kTurn.unit, kTurn.factor},
          {"board shift along the pan base's x axis", "mm", kMillimetresPerMetre},
          {"board shift along the pan base's y axis", "mm", kMillimetresPerMetre},
          {"board shift along the pan axis", "mm", kMillimetresPerMetre}};
}

// The fitted parameters' information matrix, the shared block's free slots
// then the pose block.
Eigen::MatrixXd information(const NormalEquations& normal, const std::vector<int>& free_slots) {
  const int m = static_cast<int>(free_slots.size());
  Eigen::MatrixXd A(m + kPoseParameters, m + kPoseParameters);
  const PoseBlock& block = normal.views[0];
  for (int i = 0; i < m; ++i) {
    for (int j = 0; j < m; ++j) A(i, j) = normal.U(free_slots[i], free_slots[j]);
    for (int j = 0; j < kPoseParameters; ++j) {
      A(i, m + j) = block.W(free_slots[i], j);
      A(m + j, i) = block.W(free_slots[i], j);
    }
  }
  A.bottomRightCorner<kPoseParameters, kPoseParameters>() = block.V;
  return A;
}

// The parameter the unseen directions of A lean on most, the head's
// parameters (the first `head_count`) before the board's pose, which takes
// a share of every motion of the head; -1 when every direction is seen.
int undeterminedParameter(const Eigen::MatrixXd& A, int head_count) {
  const Eigen::VectorXd scale = A.diagonal().cwiseMax(0.0).cwiseSqrt();
  for (Eigen::Index i = 0; i < scale.size(); ++i) {
    if (!(scale(i) > 0.0)) return static_cast<int>(i);
  }
  const Eigen::VectorXd inverse = scale.cwiseInverse();
  const Eigen::MatrixXd C = inverse.asDiagonal() * A * inverse.asDiagonal();
  const Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> eigen(C);
  if (eigen.info() != Eigen::Success) return 0;
  // Each parameter's share of the unseen directions.
  Eigen::VectorXd share = Eigen::VectorXd::Zero(C.rows());
  for (Eigen::Index k = 0; k < C.rows(); ++k) {
    if (eigen.eigenvalues()(k) < kUndeterminedEigenvalue) {
      share += eigen.eigenvectors().col(k).cwiseAbs2();
    }
  }
  if (!(share.sum() > 0.0)) return -1;
  Eigen::Index worst = 0;
  if (share.head(head_count).maxCoeff(&worst) >= kNamedShare) return static_cast<int>(worst);
  share.maxCoeff(&worst);
  return static_cast<int>(worst);
}

bool rigidTransform(const dravik::Matrix4d& M) {
  const Eigen::Matrix3d R = M.topLeftCorner<3, 3>();
  return M.allFinite() &&
         (R.transpose() * R - Eigen::Matrix3d::Identity()).norm() <= kRotationTolerance &&
         R.determinant() > 0.0 && M.row(3).isApprox(Eigen::RowVector4d(0, 0, 0, 1));
}

bool checkViews(const std::vector<PanTiltHeadView>& views) {
  if (views.size() < static_cast<size_t>(kMinimumHeadViews)) {
    DRAVIK_LOG(2, kTag) << "Pan/tilt head fit: " << views.size() << " views, at least "
                        << kMinimumHeadViews << " motor positions needed";
    return false;
  }
  for (size_t v = 0; v < views.size(); ++v) {
    const PanTiltHeadView& view = views[v];
    bool finite = true;
    for (const Eigen::Vector2d& p : view.image_points) finite = finite && p.allFinite();
    for (const Eigen::Vector3d& p : view.target_points) finite = finite && p.allFinite();
    if (view.image_points.size() != view.target_points.size() ||
        view.image_points.size() < static_cast<size_t>(kMinimumCorners) || !finite) {
      DRAVIK_LOG(2, kTag) << "Pan/tilt head fit: view " << v << " holds "
                          << view.image_points.size() << " image and " << view.target_points.size()
                          << " target points; at least 6 of each, as many, finite, are needed";
      return false;
    }
  }
  return true;
}

// The mean of rigid transforms: the rotation nearest the sum of the
// rotations, the mean translation.
Rigid meanRigid(const std::vector<Rigid>& samples) {
  Eigen::Matrix3d sum = Eigen::Matrix3d::Zero();
  Rigid mean;
  mean.t.setZero();
  for (const Rigid& s : samples) {
    sum += s.R;
    mean.t += s.t / static_cast<double>(samples.size());
  }
  const Eigen::JacobiSVD<Eigen::Matrix3d> svd(sum, Eigen::ComputeFullU | Eigen::ComputeFullV);
  Eigen::Matrix3d fix = Eigen::Matrix3d::Identity();
  fix(2, 2) = (svd.matrixU() * svd.matrixV().transpose()).determinant() < 0.0 ? -1.0 : 1.0;
  mean.R = svd.matrixU() * fix * svd.matrixV().transpose();
  return mean;
}

Eigen::Vector3d centroid(const std::vector<Eigen::Vector3d>& points) {
  Eigen::Vector3d c = Eigen::Vector3d::Zero();
  for (const Eigen::Vector3d& p : points) c += p;
  return c / static_cast<double>(points.size());
}

// The angle (degrees) and the pixels between a predicted and an observed
// camera point, appended.
void aimingError(const HeadView& view, const Eigen::Vector3d& predicted,
                 const Eigen::Vector3d& observed, std::vector<double>* degrees,
                 std::vector<double>* pixels) {
  degrees->push_back(kDegreesPerRadian *
                     std::atan2(predicted.cross(observed).norm(), predicted.dot(observed)));
  Eigen::Vector2d predicted_pixel, observed_pixel;
  const bool projected = projectPoint(view.lens, predicted, &predicted_pixel) &&
                         projectPoint(view.lens, observed, &observed_pixel);
  pixels->push_back(projected ? (predicted_pixel - observed_pixel).norm()
                              : std::numeric_limits<double>::infinity());
}

}  // namespace

bool calibratePanTiltHead(const PTZCameraParameters& ptz, const std::vector<PanTiltHeadView>& views,
                          const PanTiltHeadOptions& options, PanTiltHeadResult* result) {
  if (result == nullptr) {
    DRAVIK_LOG(2, kTag) << "Pan/tilt head fit: null result";
    return false;
  }
  const auto model = std::make_shared<PTZCameraModel>(ptz);
  if (!model->valid()) {
    DRAVIK_LOG(2, kTag) << "Pan/tilt head fit: the PTZ calibration cannot be read";
    return false;
  }
  if (!checkViews(views)) return false;
  const bool fixture = options.has_fixture;
  if (fixture && !rigidTransform(options.world_from_board)) {
    DRAVIK_LOG(2, kTag) << "Pan/tilt head fit: the fixture is not a rigid transform";
    return false;
  }
  const PanTiltSystemParameters& file = ptz.pan_tilt();
  HeadState start;
  const Rigid pan_base_from_world = rigidOf(file.pan_ext());
  start.tilt = rigidOf(file.tilt_ext());
  start.device = rigidOf(file.device_ext());
  start.pan_offset = file.pan_offset();
  start.tilt_offset = file.tilt_offset();
  start.pan_scale = file.pan_scale();
  start.tilt_scale = file.tilt_scale();
  const Rigid world_from_board{options.world_from_board.topLeftCorner<3, 3>(),
                               options.world_from_board.topRightCorner<3, 1>()};

  // Each view's lens and its own pose of the board, the start of the board's
  // pose in the pan base.
  std::map<int, Lens> lenses;
  std::vector<HeadView> fitted_views;
  std::vector<Rigid> camera_from_board, base_samples;
  for (size_t v = 0; v < views.size(); ++v) {
    const PanTiltHeadView& view = views[v];
    auto lens = lenses.find(view.zoom);
    if (lens == lenses.end()) {
      const PTZCameraModelConfiguration config(model, view.pan, view.tilt, view.zoom);
      lens = lenses.emplace(view.zoom, config.getLens()).first;
    }
    const std::vector<View> alone{View{view.image_points, view.target_points}};
    std::vector<Pose> pose(1);
    if (!planarTarget(view.target_points) ||
        !poseThroughLens(planeOf(view.target_points), alone[0], lens->second, &pose[0]) ||
        !matrixOf(pose[0]).allFinite() || !refinePosesThroughLens(lens->second, alone, &pose)) {
      DRAVIK_LOG(2, kTag) << "Pan/tilt head fit: the board's pose in view " << v
                          << " cannot be found through the lens of zoom " << view.zoom;
      return false;
    }
    camera_from_board.push_back(rigidOf(pose[0]));
    base_samples.push_back(start.cameraFromPanBase(view.pan, view.tilt).inverse() *
                           camera_from_board.back());
    HeadView held{intrinsicsOf(lens->second), double(view.pan), double(view.tilt),
                  view.image_points, view.target_points};
    if (fixture) {
      for (Eigen::Vector3d& p : held.source) p = world_from_board * p;
    }
    fitted_views.push_back(std::move(held));
  }
  start.base = fixture ? pan_base_from_world : meanRigid(base_samples);

  SolverOptions solver;
  solver.max_evaluations = kMaxEvaluations;
  solver.freedom.free.fill(false);
  for (int slot = kAxesTurn; slot <= kTiltOffset; ++slot) solver.freedom.free[slot] = true;
  solver.freedom.free[kPanScale] = solver.freedom.free[kTiltScale] = options.fit_scales;
  std::vector<int> free_slots;
  for (int slot = 0; slot < kIntrinsics; ++slot) {
    if (solver.freedom.free[slot]) free_slots.push_back(slot);
  }
  std::vector<ParameterLabel> labels;
  for (const int slot : free_slots) labels.push_back(sharedLabels()[slot]);
  for (const ParameterLabel& label : poseLabels(fixture)) labels.push_back(label);

  HeadProblem problem(fitted_views, fixture, start);
  NormalEquations normal;
  problem.linearize(&normal);
  const int unseen =
      undeterminedParameter(information(normal, free_slots), static_cast<int>(free_slots.size()));
  if (unseen >= 0) {
    DRAVIK_LOG(2, kTag) << "Pan/tilt head fit: the motor positions leave the "
                        << labels[unseen].name << " undetermined";
    return false;
  }
  const SolverSummary summary = minimize(&problem, solver);
  if (!std::isfinite(summary.cost)) {
    DRAVIK_LOG(2, kTag) << "Pan/tilt head fit: the fit did not settle";
    return false;
  }
  const HeadState& fit = problem.state();
  problem.linearize(&normal);
  const Eigen::MatrixXd A = information(normal, free_slots);
  const Eigen::LDLT<Eigen::MatrixXd> ldlt(A);
  if (ldlt.info() != Eigen::Success || !(ldlt.vectorD().array() > 0.0).all()) {
    DRAVIK_LOG(2, kTag) << "Pan/tilt head fit: the fitted parameters' information is singular";
    return false;
  }

  PanTiltHeadResult out;
  size_t corners = 0;
  double squares = 0.0;
  for (size_t v = 0; v < fitted_views.size(); ++v) {
    const HeadView& view = fitted_views[v];
    double sum = 0.0;
    for (const double e : HeadProblem::errors(fit, view)) sum += e * e;
    squares += sum;
    corners += view.source.size();
    out.view_rms.push_back(std::sqrt(sum / static_cast<double>(view.source.size())));
    // The board's centre as the fitted head and the file's predict it, and
    // as the view's own pose sees it. Without a fixture P is the file's, so
    // the fitted board in the pan base is where the file's head looks for it.
    const Eigen::Vector3d observed = camera_from_board[v] * centroid(views[v].target_points);
    const Eigen::Vector3d centre = centroid(view.source);
    aimingError(view, fit.cameraFromPanBase(view.pan, view.tilt) * fit.base * centre, observed,
                &out.aiming_error_deg, &out.aiming_error_px);
    aimingError(
        view,
        start.cameraFromPanBase(view.pan, view.tilt) * (fixture ? start.base : fit.base) * centre,
        observed, &out.aiming_error_before_deg, &out.aiming_error_before_px);
  }
  out.rms = std::sqrt(squares / static_cast<double>(corners));
  const double dof = 2.0 * static_cast<double>(corners) - static_cast<double>(A.rows());
  const double sigma2 = dof > 0.0 ? squares / dof : 0.0;
  out.covariance = sigma2 * ldlt.solve(Eigen::MatrixXd::Identity(A.rows(), A.cols()));

  // The change of each parameter of the head from the file's value (the
  // board's pose, without a fixture, has none: it shows as zero).
  Eigen::VectorXd change = Eigen::VectorXd::Zero(A.rows());
  {
    // The free slots are the first ones, in order.
    const int m = static_cast<int>(free_slots.size());
    change(kTiltOffset) = fit.tilt_offset - start.tilt_offset;
    if (options.fit_scales) {
      change(kPanScale) = fit.pan_scale - start.pan_scale;
      change(kTiltScale) = fit.tilt_scale - start.tilt_scale;
    }
    if (fixture) {
      // P moves on its left, in the pan base.
      const Rigid p_change = fit.base * start.base.inverse();
      const Eigen::AngleAxisd p_turn(p_change.R);
      const Eigen::Vector3d p_w = p_turn.angle() * p_turn.axis();
      change(m) = p_w.x();
      change(m + 1) = p_w.y();
      change(m + kPanOffsetSlot) = fit.pan_offset - start.pan_offset;
      change.segment<3>(m + 3) = p_change.t;
    }
    const Eigen::Vector3d n = fit.axesNormal();
    const Eigen::AngleAxisd axes_turn(fit.tilt.R * start.tilt.R.transpose());
    change(kAxesTurn) = axes_turn.angle() * axes_turn.axis().dot(n);
    change(kAxesShift) = (fit.tilt.t - fit.tilt.R * start.tilt.R.transpose() * start.tilt.t).dot(n);
    const Rigid device_change = start.device.inverse() * fit.device;
    const Eigen::AngleAxisd device_turn(device_change.R);
    const Eigen::Vector3d device_w = device_turn.angle() * device_turn.axis();
    change(kDeviceTurnX) = device_w.x();
    change(kDeviceTurnY) = device_w.y();
    for (int k = 0; k < 3; ++k) change(kDeviceShiftX + k) = device_change.t(k);
  }
  for (size_t i = 0; i < labels.size(); ++i) {
    const double sd = std::sqrt(std::max(0.0, out.covariance(i, i)));
    out.fitted.push_back(
        {labels[i].name, labels[i].unit, labels[i].factor * change(i), labels[i].factor * sd});
  }

  out.parameters = file;
  writeRigid(fit.tilt, out.parameters.mutable_tilt_ext());
  writeRigid(fit.device, out.parameters.mutable_device_ext());
  out.parameters.set_tilt_offset(static_cast<float>(fit.tilt_offset));
  if (fixture) {
    writeRigid(fit.base, out.parameters.mutable_pan_ext());
    out.parameters.set_pan_offset(static_cast<float>(fit.pan_offset));
  }
  if (options.fit_scales) {
    out.parameters.set_pan_scale(static_cast<float>(fit.pan_scale));
    out.parameters.set_tilt_scale(static_cast<float>(fit.tilt_scale));
  }
  const Rigid world_board = fixture ? world_from_board : pan_base_from_world.inverse() * fit.base;
  out.world_from_board.setIdentity();
  out.world_from_board.topLeftCorner<3, 3>() = world_board.R;
  out.world_from_board.topRightCorner<3, 1>() = world_board.t;
  out.iterations = summary.accepted_steps;
  out.converged = summary.converged;
  *result = std::move(out);
  return true;
}

}  // namespace calibration
}  // namespace dravik
