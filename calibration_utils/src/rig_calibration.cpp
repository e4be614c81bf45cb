#define DRAVIK_LOG_FILE "calibration_utils/rig_calibration"

#include "calibration_utils/rig_calibration.h"

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <string>

#include "dravik/logging.h"
#include "levenberg_marquardt.h"
#include "planar_homography.h"
#include "reprojection_problem.h"
#include "view_geometry.h"

namespace dravik {
namespace calibration {

namespace {

constexpr char kTag[] = "calibration_utils";
// The solver's budget, and its floor per point (an error of 1e-9 pixels).
constexpr int kMaxEvaluations = 200;
constexpr double kCostFloorPerPoint = 1e-18;
constexpr int kMaxOutlierRounds = 20;
// A fixture pose whose rotation part is off a rotation by more than this
// (|R'R - I|) is not a rigid transform.
constexpr double kRotationTolerance = 1e-6;
constexpr double kDegreesPerRadian = 57.29577951308232;
constexpr double kMillimetresPerMetre = 1000.0;

using Matrix6 = Eigen::Matrix<double, 6, 6>;
using Vector6 = Eigen::Matrix<double, 6, 1>;
// The solver's shared block of the rig: six pose parameters per camera but
// the reference, as many as the rig has.
constexpr int kRigBlock = Eigen::Dynamic;
using RigNormalEquations = NormalEquationsOf<kRigBlock>;
using RigStep = StepOf<kRigBlock>;
using RigFreedom = FreedomOf<kRigBlock>;

// A camera's view at one moment as the fit holds it: the kept points.
struct Observation {
  size_t camera = 0;
  size_t moment = 0;  // index in the caller's moments
  size_t source = 0;  // index in the moment's views
  View points;
};

Pose compose(const Pose& a_from_b, const Pose& b_from_c) {
  Pose out;
  out.camera_from_target_rotation =
      a_from_b.camera_from_target_rotation * b_from_c.camera_from_target_rotation;
  out.translation =
      a_from_b.camera_from_target_rotation * b_from_c.translation + a_from_b.translation;
  return out;
}

Pose inverse(const Pose& pose) {
  Pose out;
  out.camera_from_target_rotation = pose.camera_from_target_rotation.transpose();
  out.translation = -(out.camera_from_target_rotation * pose.translation);
  return out;
}

Eigen::Matrix3d skew(const Eigen::Vector3d& v) {
  Eigen::Matrix3d S;
  S << 0.0, -v.z(), v.y(), v.z(), 0.0, -v.x(), -v.y(), v.x(), 0.0;
  return S;
}

// The rotation vector of R (its axis times its angle).
Eigen::Vector3d rotationVector(const Eigen::Matrix3d& R) {
  const Eigen::AngleAxisd axis_angle(R);
  return axis_angle.angle() * axis_angle.axis();
}

bool usableLens(const Lens& lens) {
  return lens.width() > 0 && lens.height() > 0 && lens.K().allFinite() && lens.K()(0, 0) > 0.0f &&
         lens.K()(1, 1) > 0.0f && lens.K()(0, 1) == 0.0f && lens.K()(1, 0) == 0.0f &&
         lens.K()(2, 0) == 0.0f && lens.K()(2, 1) == 0.0f && lens.K()(2, 2) == 1.0f &&
         std::all_of(lens.distortion().begin(), lens.distortion().end(),
                     [](float k) { return std::isfinite(k); });
}

bool rigidTransform(const Eigen::Matrix4d& M) {
  const Eigen::Matrix3d R = M.topLeftCorner<3, 3>();
  return M.allFinite() && M.row(3).isApprox(Eigen::RowVector4d(0, 0, 0, 1), 0.0) &&
         (R.transpose() * R - Eigen::Matrix3d::Identity()).norm() <= kRotationTolerance &&
         R.determinant() > 0.0;
}

// Checks what the fit needs of its input; logs the first problem found.
bool checkInput(const std::vector<Lens>& cameras, const std::vector<RigMoment>& moments,
                const RigCalibrationOptions& options, const RigCalibration* result) {
  if (result == nullptr) {
    DRAVIK_LOG(2, kTag) << "No rig calibration to fill";
    return false;
  }
  if (cameras.empty()) {
    DRAVIK_LOG(2, kTag) << "A rig of no cameras";
    return false;
  }
  if (options.reference >= cameras.size()) {
    DRAVIK_LOG(2, kTag) << "Reference camera " << options.reference << " of " << cameras.size()
                        << " cameras";
    return false;
  }
  if (!std::isfinite(options.outlier_sigma) || options.outlier_sigma < 0.0) {
    DRAVIK_LOG(2, kTag) << "Outlier threshold " << options.outlier_sigma
                        << " not a non-negative number";
    return false;
  }
  if (!rigidTransform(options.reference_from_robot)) {
    DRAVIK_LOG(2, kTag) << "The reference's pose in the robot frame is not a rigid transform";
    return false;
  }
  for (size_t c = 0; c < cameras.size(); ++c) {
    if (!usableLens(cameras[c])) {
      DRAVIK_LOG(2, kTag) << "Camera " << c
                          << ": lens not usable (a size, fx, fy not positive, skew, or not eight "
                             "finite coefficients)";
      return false;
    }
  }
  std::vector<size_t> seen(cameras.size(), 0);
  for (size_t m = 0; m < moments.size(); ++m) {
    std::vector<bool> here(cameras.size(), false);
    for (const RigView& view : moments[m].views) {
      const RigView& points = view;
      if (view.camera >= cameras.size() || here[view.camera]) {
        DRAVIK_LOG(2, kTag) << "Moment " << m << ": a view of camera " << view.camera
                            << ", which is not a camera of the rig or is seen twice";
        return false;
      }
      here[view.camera] = true;
      ++seen[view.camera];
      const std::string where =
          "Moment " + std::to_string(m) + ", camera " + std::to_string(view.camera) + ": ";
      if (points.image_points.size() != points.target_points.size()) {
        DRAVIK_LOG(2, kTag) << where << "image and target points differ in number: "
                            << points.image_points.size() << " vs. " << points.target_points.size();
        return false;
      }
      if (points.image_points.size() < kMinimumPointsPerView) {
        DRAVIK_LOG(2, kTag) << where << "too few points: " << points.image_points.size()
                            << ", at least " << kMinimumPointsPerView;
        return false;
      }
      if (!allFinite(points)) {
        DRAVIK_LOG(2, kTag) << where << "points not finite";
        return false;
      }
      if (!planarTarget(points.target_points)) {
        DRAVIK_LOG(2, kTag) << where << "the target's points do not span a plane";
        return false;
      }
    }
  }
  for (size_t c = 0; c < cameras.size(); ++c) {
    if (seen[c] < kMinimumRigViews) {
      DRAVIK_LOG(2, kTag) << "Camera " << c << " sees the target at " << seen[c]
                          << " moments, at least " << kMinimumRigViews;
      return false;
    }
  }
  for (const FixtureMoment& fixture : options.fixture) {
    if (fixture.moment >= moments.size() || moments[fixture.moment].views.empty()) {
      DRAVIK_LOG(2, kTag) << "Fixture moment " << fixture.moment
                          << " is not a moment at which a camera sees the target";
      return false;
    }
    if (!rigidTransform(fixture.robot_from_target)) {
      DRAVIK_LOG(2, kTag) << "Fixture moment " << fixture.moment
                          << ": the target's pose is not a rigid transform";
      return false;
    }
  }
  return true;
}

// The poses of one camera's views through its lens, refined by
// Levenberg-Marquardt with the lens fixed. False (logged) when a view's pose
// cannot be found or puts target points behind the camera.
bool posesThroughLens(size_t camera, const Lens& lens, const std::vector<View>& views,
                      std::vector<Pose>* poses) {
  std::vector<Pose> found;
  for (const View& view : views) {
    Pose pose;
    if (!poseThroughLens(planeOf(view.target), view, lens, &pose) || !matrixOf(pose).allFinite()) {
      DRAVIK_LOG(2, kTag) << "Camera " << camera
                          << ": a view's pose cannot be found through its lens";
      return false;
    }
    found.push_back(pose);
  }
  if (!refinePosesThroughLens(lens, views, &found)) {
    DRAVIK_LOG(2, kTag) << "Camera " << camera
                        << ": a view's pose through its lens puts target points behind it";
    return false;
  }
  *poses = found;
  return true;
}

// The robust average of relative poses: the rotation of the sample nearest
// to all others (the medoid by angle), the componentwise median translation.
Pose robustAverage(const std::vector<Pose>& samples) {
  size_t best = 0;
  double best_sum = std::numeric_limits<double>::infinity();
  for (size_t i = 0; i < samples.size(); ++i) {
    double sum = 0.0;
    for (const Pose& other : samples) {
      sum += Eigen::AngleAxisd(samples[i].camera_from_target_rotation *
                               other.camera_from_target_rotation.transpose())
                 .angle();
    }
    if (sum < best_sum) best_sum = sum, best = i;
  }
  Pose average;
  average.camera_from_target_rotation = samples[best].camera_from_target_rotation;
  for (int axis = 0; axis < 3; ++axis) {
    std::vector<double> values;
    for (const Pose& sample : samples) values.push_back(sample.translation(axis));
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    average.translation(axis) =
        n % 2 == 1 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
  }
  return average;
}

// The rig's unknowns: each camera's pose relative to the reference (the
// reference's the identity) and the target's pose in the reference's frame
// at each moment.
struct RigState {
  std::vector<Pose> camera_from_reference;
  std::vector<Pose> reference_from_target;
};

// The reprojection residuals of every kept point of every moment through its
// camera's lens and the pose camera_from_reference * reference_from_target.
// The solver's shared block holds the six pose parameters of each camera but
// the reference (slot 6 k for the k-th), its views the target's pose at each
// moment. Both move as the views' poses of ReprojectionProblem do: R(w) R0,
// t + dt.
class RigProblem : public LeastSquaresProblemOf<kRigBlock> {
 public:
  RigProblem(const std::vector<IntrinsicVector>& intrinsics, size_t reference,
             const std::vector<std::vector<Observation>>& moments, const RigState& start)
      : intrinsics_(intrinsics), moments_(moments), state_(start), slot_(intrinsics.size(), -1) {
    int next = 0;
    for (size_t c = 0; c < intrinsics.size(); ++c) {
      if (c == reference) continue;
      slot_[c] = next;
      next += kPoseParameters;
    }
    shared_ = next;
    freedom_.free.assign(static_cast<size_t>(next), true);
  }

  const RigState& state() const { return state_; }
  const RigFreedom& freedom() const { return freedom_; }
  // The shared block's row of camera c's pose, -1 for the reference.
  int slot(size_t c) const { return slot_[c]; }

  void linearize(RigNormalEquations* normal) override {
    normal->U.setZero(shared_, shared_);
    normal->u.setZero(shared_);
    normal->views.assign(moments_.size(), PoseBlockOf<kRigBlock>(shared_));
    normal->cost = 0.0;
    for (size_t m = 0; m < moments_.size(); ++m) {
      PoseBlockOf<kRigBlock>& block = normal->views[m];
      const Pose& board = state_.reference_from_target[m];
      for (const Observation& observation : moments_[m]) {
        const size_t c = observation.camera;
        const Pose& camera = state_.camera_from_reference[c];
        const Eigen::Matrix3d& Rc = camera.camera_from_target_rotation;
        const int slot = slot_[c];
        for (size_t i = 0; i < observation.points.image.size(); ++i) {
          const Eigen::Vector3d q_board =
              board.camera_from_target_rotation * observation.points.target[i];
          const Eigen::Vector3d q_camera = Rc * (q_board + board.translation);
          PixelDerivatives d;
          if (!projectWithDerivatives(intrinsics_[c], q_camera + camera.translation, &d)) {
            normal->cost = std::numeric_limits<double>::infinity();
            continue;
          }
          Eigen::Matrix<double, 2, 3> D;
          D << d.d_point[0][0], d.d_point[0][1], d.d_point[0][2], d.d_point[1][0], d.d_point[1][1],
              d.d_point[1][2];
          const Eigen::Vector2d e = d.pixel - observation.points.image[i];
          // dX/dw_k = e_k x q = -[q]x e_k, dX/dt = I; the target's through Rc.
          Eigen::Matrix<double, 2, 6> J_board;
          const Eigen::Matrix<double, 2, 3> DR = D * Rc;
          J_board.leftCols<3>() = -DR * skew(q_board);
          J_board.rightCols<3>() = DR;
          block.V += J_board.transpose() * J_board;
          block.v += J_board.transpose() * e;
          normal->cost += e.squaredNorm();
          if (slot < 0) continue;
          Eigen::Matrix<double, 2, 6> J_camera;
          J_camera.leftCols<3>() = -D * skew(q_camera);
          J_camera.rightCols<3>() = D;
          normal->U.block<6, 6>(slot, slot) += J_camera.transpose() * J_camera;
          normal->u.segment<6>(slot) += J_camera.transpose() * e;
          block.W.block<6, 6>(slot, 0) += J_camera.transpose() * J_board;
        }
      }
    }
  }

  double trialCost(const RigStep& step) const override { return cost(stepped(step)); }
  void accept(const RigStep& step) override { state_ = stepped(step); }

  // |r|^2 through the state; +infinity when a point is behind its camera.
  double cost(const RigState& state) const {
    double sum = 0.0;
    for (const std::vector<double>& errors : pointErrors(state)) {
      for (const double e : errors) sum += e * e;
    }
    return sum;
  }

  // The reprojection error of every point, observation by observation in
  // the order of the moments (+infinity behind the camera).
  std::vector<std::vector<double>> pointErrors(const RigState& state) const {
    std::vector<std::vector<double>> errors;
    for (size_t m = 0; m < moments_.size(); ++m) {
      for (const Observation& observation : moments_[m]) {
        const Pose pose = compose(state.camera_from_reference[observation.camera],
                                  state.reference_from_target[m]);
        std::vector<double> view_errors;
        for (size_t i = 0; i < observation.points.image.size(); ++i) {
          Eigen::Vector2d pixel;
          const Eigen::Vector3d X =
              pose.camera_from_target_rotation * observation.points.target[i] + pose.translation;
          view_errors.push_back(projectPoint(intrinsics_[observation.camera], X, &pixel)
                                    ? (pixel - observation.points.image[i]).norm()
                                    : std::numeric_limits<double>::infinity());
        }
        errors.push_back(std::move(view_errors));
      }
    }
    return errors;
  }

 private:
  RigState stepped(const RigStep& step) const {
    RigState out = state_;
    CameraState cameras;
    Step camera_step;
    for (size_t c = 0; c < slot_.size(); ++c) {
      if (slot_[c] < 0) continue;
      cameras.poses.push_back(state_.camera_from_reference[c]);
      camera_step.poses.push_back(step.intrinsics.segment<kPoseParameters>(slot_[c]));
    }
    cameras = calibration::stepped(cameras, camera_step);
    size_t k = 0;
    for (size_t c = 0; c < slot_.size(); ++c) {
      if (slot_[c] >= 0) out.camera_from_reference[c] = cameras.poses[k++];
    }
    CameraState boards;
    boards.poses = state_.reference_from_target;
    Step board_step;
    board_step.poses = step.poses;
    out.reference_from_target = calibration::stepped(boards, board_step).poses;
    return out;
  }

  const std::vector<IntrinsicVector>& intrinsics_;
  const std::vector<std::vector<Observation>>& moments_;
  RigState state_;
  std::vector<int> slot_;
  int shared_ = 0;
  RigFreedom freedom_;
};

size_t pointCount(const std::vector<std::vector<Observation>>& moments) {
  size_t n = 0;
  for (const std::vector<Observation>& moment : moments) {
    for (const Observation& observation : moment) n += observation.points.image.size();
  }
  return n;
}

// The kept points of every view, per moment at which a camera sees the
// target (a moment seen by none has no pose to fit).
std::vector<std::vector<Observation>> keptObservations(
    const std::vector<RigMoment>& moments,
    const std::vector<std::vector<std::vector<std::uint8_t>>>& kept) {
  std::vector<std::vector<Observation>> out;
  for (size_t m = 0; m < moments.size(); ++m) {
    if (moments[m].views.empty()) continue;
    out.emplace_back();
    for (size_t k = 0; k < moments[m].views.size(); ++k) {
      const RigView& view = moments[m].views[k];
      Observation observation;
      observation.camera = view.camera;
      observation.moment = m;
      observation.source = k;
      for (size_t i = 0; i < view.image_points.size(); ++i) {
        if (!kept[m][k][i]) continue;
        observation.points.image.push_back(view.image_points[i]);
        observation.points.target.push_back(view.target_points[i]);
      }
      out.back().push_back(std::move(observation));
    }
  }
  return out;
}

// The start: each view's pose through its lens, the cameras joined to the
// reference along the pairs sharing the most moments (each pair's relative
// pose the robust average of its moments'), and each moment's target pose
// from the view of most points. False (logged) when a pose cannot be found
// or a camera is not connected to the reference.
bool startOf(const std::vector<Lens>& cameras, size_t reference,
             const std::vector<std::vector<Observation>>& moments, RigState* state) {
  const size_t C = cameras.size();
  // Per camera and moment, the view's pose (camera_from_target), if seen.
  std::vector<std::vector<const Pose*>> seen(C, std::vector<const Pose*>(moments.size(), nullptr));
  std::vector<std::vector<Pose>> poses(C);
  std::vector<std::vector<size_t>> moment_of(C);
  for (size_t c = 0; c < C; ++c) {
    std::vector<View> views;
    for (size_t m = 0; m < moments.size(); ++m) {
      for (const Observation& observation : moments[m]) {
        if (observation.camera != c) continue;
        views.push_back(observation.points);
        moment_of[c].push_back(m);
      }
    }
    if (!posesThroughLens(c, cameras[c], views, &poses[c])) return false;
    for (size_t k = 0; k < poses[c].size(); ++k) seen[c][moment_of[c][k]] = &poses[c][k];
  }
  const auto shared = [&](size_t a, size_t b) {
    size_t n = 0;
    for (size_t m = 0; m < moments.size(); ++m) n += seen[a][m] && seen[b][m];
    return n;
  };
  // Prim's tree from the reference, by the most shared moments.
  state->camera_from_reference.assign(C, Pose());
  std::vector<bool> joined(C, false);
  joined[reference] = true;
  for (size_t round = 1; round < C; ++round) {
    size_t best_parent = C, best_child = C, best_shared = 0;
    for (size_t p = 0; p < C; ++p) {
      for (size_t c = 0; c < C && joined[p]; ++c) {
        if (joined[c]) continue;
        const size_t n = shared(p, c);
        if (n > best_shared) best_shared = n, best_parent = p, best_child = c;
      }
    }
    if (best_shared == 0) {
      std::string missing;
      for (size_t c = 0; c < C; ++c) {
        if (!joined[c]) missing += (missing.empty() ? "" : ", ") + std::to_string(c);
      }
      DRAVIK_LOG(2, kTag) << "Cameras not connected to the reference camera " << reference
                          << " by shared moments: " << missing;
      return false;
    }
    std::vector<Pose> samples;  // child_from_parent
    for (size_t m = 0; m < moments.size(); ++m) {
      if (seen[best_parent][m] && seen[best_child][m]) {
        samples.push_back(compose(*seen[best_child][m], inverse(*seen[best_parent][m])));
      }
    }
    state->camera_from_reference[best_child] =
        compose(robustAverage(samples), state->camera_from_reference[best_parent]);
    joined[best_child] = true;
  }
  state->reference_from_target.assign(moments.size(), Pose());
  for (size_t m = 0; m < moments.size(); ++m) {
    const Observation* best = nullptr;
    for (const Observation& observation : moments[m]) {
      if (!best || observation.points.image.size() > best->points.image.size()) {
        best = &observation;
      }
    }
    if (best == nullptr) continue;
    state->reference_from_target[m] =
        compose(inverse(state->camera_from_reference[best->camera]), *seen[best->camera][m]);
  }
  return true;
}

struct RigFit {
  RigState state;
  int iterations = 0;
  bool converged = true;
};

// The rig fitted from `start`; false (logged) when the start puts points
// behind a camera.
bool fitRig(const std::vector<IntrinsicVector>& intrinsics, size_t reference,
            const std::vector<std::vector<Observation>>& moments, const RigState& start,
            RigFit* fit) {
  RigProblem problem(intrinsics, reference, moments, start);
  if (!std::isfinite(problem.cost(start))) {
    DRAVIK_LOG(2, kTag) << "The start of the rig fit puts target points behind a camera";
    return false;
  }
  SolverOptionsOf<kRigBlock> solver;
  solver.freedom = problem.freedom();
  solver.max_evaluations = kMaxEvaluations;
  solver.absolute_cost_tolerance = kCostFloorPerPoint * static_cast<double>(pointCount(moments));
  const SolverSummary summary = minimize(&problem, solver);
  fit->state = problem.state();
  fit->iterations += summary.accepted_steps;
  fit->converged = summary.converged;
  return true;
}

// Each camera's K and lens terms fitted to its views, the target poses of the
// rig the start, kept sound over its image by the penalties calibrateCamera
// uses; a lens that does not end sound is kept as it was.
void refineIntrinsics(const std::vector<Lens>& cameras,
                      const std::vector<std::vector<Observation>>& moments, const RigState& state,
                      std::vector<IntrinsicVector>* intrinsics) {
  for (size_t c = 0; c < cameras.size(); ++c) {
    std::vector<View> views;
    CameraState start;
    start.intrinsics = (*intrinsics)[c];
    for (size_t m = 0; m < moments.size(); ++m) {
      for (const Observation& observation : moments[m]) {
        if (observation.camera != c) continue;
        views.push_back(observation.points);
        start.poses.push_back(
            compose(state.camera_from_reference[c], state.reference_from_target[m]));
      }
    }
    const int width = cameras[c].width(), height = cameras[c].height();
    ReprojectionProblem problem(views, width, height, start, kViewsPenaltyWeight);
    problem.setPenalties(true);
    // First K alone, which the start's error lies in most, then every term.
    SolverOptions solver;
    solver.max_evaluations = 2 * kMaxEvaluations;
    solver.freedom.free.fill(false);
    for (const int i : {kFx, kFy, kCx, kCy}) solver.freedom.free[i] = true;
    minimize(&problem, solver);
    solver.freedom.free.fill(true);
    minimize(&problem, solver);
    if (lensIsSoundOverImage(problem.state().intrinsics, width, height)) {
      (*intrinsics)[c] = problem.state().intrinsics;
    } else {
      DRAVIK_LOG(3, kTag) << "Camera " << c
                          << ": the refined lens is not sound over the image; kept as given";
    }
  }
}

// The covariance of a pose's left perturbation (w, dt) of camera_from_frame
// (R(w) R, t + dt) as the covariance of the camera's orientation (in the
// frame's axes) and centre c = -R' t: d(orientation) = -R' w,
// dc = -R' dt - R' [t]x w.
PoseCovariance centreCovariance(const Pose& camera_from_frame, const Matrix6& left) {
  const Eigen::Matrix3d Rt = camera_from_frame.camera_from_target_rotation.transpose();
  Matrix6 J = Matrix6::Zero();
  J.topLeftCorner<3, 3>() = -Rt;
  J.bottomLeftCorner<3, 3>() = -Rt * skew(camera_from_frame.translation);
  J.bottomRightCorner<3, 3>() = -Rt;
  return J * left * J.transpose();
}

void sigmasOf(const PoseCovariance& covariance, Eigen::Vector3d* rotation_deg,
              Eigen::Vector3d* centre_mm) {
  for (int i = 0; i < 3; ++i) {
    (*rotation_deg)(i) = kDegreesPerRadian * std::sqrt(std::max(0.0, covariance(i, i)));
    (*centre_mm)(i) = kMillimetresPerMetre * std::sqrt(std::max(0.0, covariance(3 + i, 3 + i)));
  }
}

// The joint covariance of the shared block (the cameras' poses) and the
// target poses of the listed moments, sigma^2 times the inverse of the
// normal equations: with S the Schur complement,
//   Cov(T) = S^-1, Cov(T, B_m) = -S^-1 W_m V_m^-1,
//   Cov(B_m, B_n) = [m = n] V_m^-1 + V_m^-1 W_m' S^-1 W_n V_n^-1.
// Rows: those of the shared block, then six per listed moment. False when
// the information is singular.
bool jointCovariance(const RigNormalEquations& normal, const RigFreedom& freedom, double sigma2,
                     const std::vector<size_t>& listed, Eigen::MatrixXd* covariance) {
  Eigen::MatrixXd S, S_inverse;
  int free_count = 0;
  if (!marginalInformation(normal, freedom, &S, &free_count)) return false;
  const Eigen::Index shared = S.rows();
  if (free_count > 0 && !invertSymmetric(S, freedom.free, &S_inverse)) return false;
  if (free_count == 0) S_inverse.setZero(shared, shared);
  const Eigen::Index n = shared + kPoseParameters * static_cast<Eigen::Index>(listed.size());
  covariance->setZero(n, n);
  covariance->topLeftCorner(shared, shared) = S_inverse;
  std::vector<Eigen::MatrixXd> cross;  // S^-1 W V^-1
  std::vector<Matrix6> V_inverse;
  for (const size_t m : listed) {
    const Eigen::LDLT<Matrix6> V(normal.views[m].V);
    if (V.info() != Eigen::Success || !(V.vectorD().array() > 0.0).all()) return false;
    V_inverse.push_back(V.solve(Matrix6::Identity()));
    cross.push_back(S_inverse * normal.views[m].W * V_inverse.back());
  }
  for (size_t a = 0; a < listed.size(); ++a) {
    const Eigen::Index ra = shared + kPoseParameters * static_cast<Eigen::Index>(a);
    covariance->block(0, ra, shared, 6) = -cross[a];
    covariance->block(ra, 0, 6, shared) = -cross[a].transpose();
    for (size_t b = 0; b < listed.size(); ++b) {
      const Eigen::Index rb = shared + kPoseParameters * static_cast<Eigen::Index>(b);
      Matrix6 block = V_inverse[a] * normal.views[listed[a]].W.transpose() * cross[b];
      if (a == b) block += V_inverse[a];
      covariance->block<6, 6>(ra, rb) = block;
    }
  }
  *covariance *= sigma2;
  return true;
}

// The reference's pose in the robot frame X from the fixture moments'
// target poses B_m = X G_m (G_m = robot_from_target), by generalised least
// squares with their joint covariance Sigma: a perturbation dX moves B_m by
// A_m dX, A_m = [I 0; -[R_X t_G]x I]; dX = (A' Sigma^-1 A)^-1 A' Sigma^-1 r.
// *gain is that estimator's derivative in the stacked target poses.
bool fixturePose(const std::vector<FixtureMoment>& fixture, const RigState& state,
                 const Eigen::MatrixXd& sigma, Pose* reference_from_robot, Eigen::MatrixXd* gain) {
  const Eigen::Index n = kPoseParameters * static_cast<Eigen::Index>(fixture.size());
  const Eigen::LDLT<Eigen::MatrixXd> Sigma(sigma);
  if (Sigma.info() != Eigen::Success || !(Sigma.vectorD().array() > 0.0).all()) return false;
  const Eigen::MatrixXd Sigma_inverse = Sigma.solve(Eigen::MatrixXd::Identity(n, n));
  Pose X = compose(state.reference_from_target[fixture.front().moment],
                   inverse(poseOf(fixture.front().robot_from_target)));
  for (int iteration = 0; iteration < 5; ++iteration) {
    Eigen::MatrixXd A(n, kPoseParameters);
    Eigen::VectorXd r(n);
    for (size_t f = 0; f < fixture.size(); ++f) {
      const Pose G = poseOf(fixture[f].robot_from_target);
      const Pose predicted = compose(X, G);
      const Pose& measured = state.reference_from_target[fixture[f].moment];
      const Eigen::Index row = kPoseParameters * static_cast<Eigen::Index>(f);
      A.block<6, 6>(row, 0).setIdentity();
      A.block<3, 3>(row + 3, 0) = -skew(X.camera_from_target_rotation * G.translation);
      r.segment<3>(row) = rotationVector(measured.camera_from_target_rotation *
                                         predicted.camera_from_target_rotation.transpose());
      r.segment<3>(row + 3) = measured.translation - predicted.translation;
    }
    const Matrix6 information = A.transpose() * Sigma_inverse * A;
    const Eigen::LDLT<Matrix6> solver(information);
    *gain = solver.solve(A.transpose() * Sigma_inverse);
    const Vector6 dx = *gain * r;
    if (!dx.allFinite()) return false;
    CameraState moved;
    moved.poses = {X};
    Step step;
    step.poses = {dx};
    X = stepped(moved, step).poses.front();
  }
  *reference_from_robot = X;
  return true;
}

}  // namespace

bool calibrateRig(const std::vector<Lens>& cameras, const std::vector<RigMoment>& moments,
                  const RigCalibrationOptions& options, RigCalibration* result) {
  if (!checkInput(cameras, moments, options, result)) return false;
  const size_t C = cameras.size();
  const size_t reference = options.reference;

  std::vector<std::vector<std::vector<std::uint8_t>>> kept(moments.size());
  for (size_t m = 0; m < moments.size(); ++m) {
    for (const RigView& view : moments[m].views) {
      kept[m].emplace_back(view.image_points.size(), 1);
    }
  }
  std::vector<std::vector<Observation>> observations = keptObservations(moments, kept);
  std::vector<IntrinsicVector> intrinsics;
  for (const Lens& lens : cameras) intrinsics.push_back(intrinsicsOf(lens));

  RigState start;
  if (!startOf(cameras, reference, observations, &start)) return false;
  RigFit fit;
  if (!fitRig(intrinsics, reference, observations, start, &fit)) return false;
  if (options.refine_intrinsics) {
    // Each camera's refined lens is kept where it lowers the rig's cost at
    // the rig's poses, and the whole kept only where the rig fitted again
    // through them ends lower: a lens refined with its views' poses free
    // may fit those poses better than the rig's.
    const std::vector<IntrinsicVector> given = intrinsics;
    std::vector<IntrinsicVector> refined = intrinsics;
    refineIntrinsics(cameras, observations, fit.state, &refined);
    const auto cost = [&](const std::vector<IntrinsicVector>& k, const RigState& state) {
      return RigProblem(k, reference, observations, state).cost(state);
    };
    for (size_t c = 0; c < C; ++c) {
      std::vector<IntrinsicVector> trial = intrinsics;
      trial[c] = refined[c];
      if (cost(trial, fit.state) < cost(intrinsics, fit.state)) intrinsics = trial;
    }
    RigFit refit = fit;
    if (!fitRig(intrinsics, reference, observations, fit.state, &refit)) return false;
    if (cost(intrinsics, refit.state) < cost(given, fit.state)) {
      fit = refit;
    } else {
      intrinsics = given;
    }
  }

  // Outliers: points beyond outlier_sigma x the rms are dropped, a view
  // keeping at least kMinimumPointsPerView, and the fit repeated.
  for (int round = 0; options.outlier_sigma > 0.0 && round < kMaxOutlierRounds; ++round) {
    const RigProblem problem(intrinsics, reference, observations, fit.state);
    const std::vector<std::vector<double>> errors = problem.pointErrors(fit.state);
    const double threshold =
        options.outlier_sigma *
        std::sqrt(problem.cost(fit.state) / static_cast<double>(pointCount(observations)));
    bool dropped = false;
    size_t o = 0;  // index of the observation among all
    for (const std::vector<Observation>& moment : observations) {
      for (const Observation& observation : moment) {
        std::vector<std::uint8_t>& mask = kept[observation.moment][observation.source];
        size_t remaining = observation.points.image.size();
        size_t k = 0;
        for (size_t i = 0; i < mask.size(); ++i) {
          if (!mask[i]) continue;
          if (errors[o][k] > threshold && remaining > kMinimumPointsPerView) {
            mask[i] = 0;
            --remaining;
            dropped = true;
          }
          ++k;
        }
        ++o;
      }
    }
    if (!dropped) break;
    observations = keptObservations(moments, kept);
    const RigState from = fit.state;
    if (!fitRig(intrinsics, reference, observations, from, &fit)) return false;
  }
  if (!fit.converged) {
    DRAVIK_LOG(3, kTag) << "The rig calibration stopped before converging, after " << fit.iterations
                        << " steps";
  }

  // Errors, per view and per camera.
  RigProblem problem(intrinsics, reference, observations, fit.state);
  const std::vector<std::vector<double>> errors = problem.pointErrors(fit.state);
  RigCalibration out;
  out.cameras.assign(C, RigCameraPose());
  out.view_rms_px.resize(moments.size());
  std::vector<double> camera_sum(C, 0.0);
  std::vector<size_t> camera_points(C, 0);
  double total = 0.0;
  for (size_t m = 0; m < moments.size(); ++m) {
    out.view_rms_px[m].assign(moments[m].views.size(), 0.0);
  }
  size_t o = 0;
  for (const std::vector<Observation>& moment : observations) {
    for (const Observation& observation : moment) {
      double sum = 0.0;
      for (const double e : errors[o]) sum += e * e;
      out.view_rms_px[observation.moment][observation.source] =
          std::sqrt(sum / static_cast<double>(errors[o].size()));
      camera_sum[observation.camera] += sum;
      camera_points[observation.camera] += errors[o].size();
      ++out.cameras[observation.camera].moments;
      total += sum;
      ++o;
    }
  }
  const size_t points = pointCount(observations);
  out.rms_px = std::sqrt(total / static_cast<double>(points));

  // Covariances.
  RigNormalEquations normal;
  problem.linearize(&normal);
  const double dof = 2.0 * static_cast<double>(points) -
                     static_cast<double>(kPoseParameters * (C - 1 + observations.size()));
  const double sigma2 = dof > 0.0 ? normal.cost / dof : 0.0;
  // The fixture's moments among the fitted ones, and the fixture with them.
  std::vector<size_t> listed;
  std::vector<FixtureMoment> fixture = options.fixture;
  for (FixtureMoment& known : fixture) {
    for (size_t k = 0; k < observations.size(); ++k) {
      if (observations[k].front().moment != known.moment) continue;
      known.moment = k;
      listed.push_back(k);
      break;
    }
  }
  Eigen::MatrixXd joint;
  if (!jointCovariance(normal, problem.freedom(), sigma2, listed, &joint)) {
    DRAVIK_LOG(2, kTag) << "The moments do not determine the rig's poses (singular information)";
    return false;
  }

  // The reference's pose in the robot frame, and how the fixture's estimate
  // of it follows the stacked target poses.
  Pose reference_from_robot = poseOf(options.reference_from_robot);
  Eigen::MatrixXd gain;  // 6 x (6 fixture moments)
  Eigen::MatrixXd X_covariance = Eigen::MatrixXd::Zero(6, 6);
  const Eigen::Index shared = normal.U.rows();
  Eigen::MatrixXd T_X_covariance = Eigen::MatrixXd::Zero(shared, 6);
  if (!fixture.empty()) {
    const Eigen::Index n = kPoseParameters * static_cast<Eigen::Index>(listed.size());
    const Eigen::MatrixXd sigma = joint.bottomRightCorner(n, n);
    if (!fixturePose(fixture, fit.state, sigma, &reference_from_robot, &gain)) {
      DRAVIK_LOG(2, kTag) << "The fixture moments do not determine the reference's pose";
      return false;
    }
    X_covariance = gain * sigma * gain.transpose();
    T_X_covariance = joint.topRightCorner(shared, n) * gain.transpose();
  }

  for (size_t c = 0; c < C; ++c) {
    RigCameraPose& camera = out.cameras[c];
    const Pose& T = fit.state.camera_from_reference[c];
    const int slot = problem.slot(c);
    Matrix6 T_covariance = Matrix6::Zero();
    Eigen::Matrix<double, 6, 6> T_X = Matrix6::Zero();
    if (slot >= 0) {
      T_covariance = joint.block<6, 6>(slot, slot);
      T_X = T_X_covariance.block<6, 6>(slot, 0);
    }
    camera.camera_from_reference = matrixOf(T);
    camera.covariance = centreCovariance(T, T_covariance);
    sigmasOf(camera.covariance, &camera.rotation_sigma_deg, &camera.centre_sigma_mm);
    // camera_from_robot = T X: (w, dt) = [w_T + R_T w_X; dt_T - [R_T t_X]x w_T + R_T dt_X].
    const Pose absolute = compose(T, reference_from_robot);
    Eigen::Matrix<double, 6, 12> L = Eigen::Matrix<double, 6, 12>::Zero();
    const Eigen::Matrix3d& R_T = T.camera_from_target_rotation;
    L.block<3, 3>(0, 0).setIdentity();
    L.block<3, 3>(0, 6) = R_T;
    L.block<3, 3>(3, 0) = -skew(R_T * reference_from_robot.translation);
    L.block<3, 3>(3, 3).setIdentity();
    L.block<3, 3>(3, 9) = R_T;
    Eigen::Matrix<double, 12, 12> Z;
    Z << T_covariance, T_X, T_X.transpose(), X_covariance;
    camera.camera_from_robot = matrixOf(absolute);
    camera.robot_covariance = centreCovariance(absolute, L * Z * L.transpose());
    sigmasOf(camera.robot_covariance, &camera.robot_rotation_sigma_deg,
             &camera.robot_centre_sigma_mm);
    camera.lens = storedLens(intrinsics[c], cameras[c].width(), cameras[c].height());
    camera.rms_px = camera_points[c] > 0
                        ? std::sqrt(camera_sum[c] / static_cast<double>(camera_points[c]))
                        : 0.0;
  }
  if (!options.refine_intrinsics) {
    for (size_t c = 0; c < C; ++c) out.cameras[c].lens = cameras[c];
  }
  out.reference_from_target.assign(moments.size(), Eigen::Matrix4d::Identity());
  for (size_t k = 0; k < observations.size(); ++k) {
    out.reference_from_target[observations[k].front().moment] =
        matrixOf(fit.state.reference_from_target[k]);
  }
  out.kept = std::move(kept);
  out.iterations = fit.iterations;
  out.converged = fit.converged;
  *result = std::move(out);
  return true;
}

}  // namespace calibration
}  // namespace dravik
