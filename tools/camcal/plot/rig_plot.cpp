#include "plot/rig_plot.h"

#include <Eigen/Geometry>
#include <algorithm>
#include <cmath>

#include "plot/palette.h"
#include "plot/plot_canvas.h"

namespace camcal {

namespace {

using namespace palette;

constexpr double kLeft = 78, kRight = 40, kTop = 74, kGap = 64, kBottom = 56;
constexpr double kMaxWidth = 820, kMaxPanelHeight = 330;

// One panel: the robot frame's axes `horizontal` and `vertical` (0 x, 1 y,
// 2 z) drawn at `scale` points per metre, value ranges lo..hi.
struct Panel {
  int horizontal, vertical;
  double lo_h, hi_h, lo_v, hi_v;
  double left, top, scale;
  double width() const { return (hi_h - lo_h) * scale; }
  double height() const { return (hi_v - lo_v) * scale; }
  Eigen::Vector2d at(const Eigen::Vector3d& robot) const {
    return {left + (robot(horizontal) - lo_h) * scale, top + (hi_v - robot(vertical)) * scale};
  }
};

const char* axisTitle(int axis) {
  static const char* const kTitles[3] = {"x forward (m)", "y left (m)", "z up (m)"};
  return kTitles[axis];
}

void line(cairo_t* cr, const Eigen::Vector2d& from, const Eigen::Vector2d& to) {
  cairo_move_to(cr, from.x(), from.y());
  cairo_line_to(cr, to.x(), to.y());
  cairo_stroke(cr);
}

void drawFrame(PlotCanvas& canvas, const Panel& panel, const std::string& title) {
  cairo_t* cr = canvas.cr();
  canvas.setColour(kPanel);
  cairo_rectangle(cr, panel.left, panel.top, panel.width(), panel.height());
  cairo_fill(cr);
  cairo_set_line_width(cr, 1.0);
  const auto x = [&](double t) { return panel.left + (t - panel.lo_h) * panel.scale; };
  const auto y = [&](double t) { return panel.top + (panel.hi_v - t) * panel.scale; };
  const std::vector<double> along = niceTicks(panel.lo_h, panel.hi_h, 8);
  const std::vector<double> up = niceTicks(panel.lo_v, panel.hi_v, 5);
  canvas.setColour(kGrid);
  for (double t : along) line(cr, {x(t), panel.top}, {x(t), panel.top + panel.height()});
  canvas.setColour(kInk);
  drawTicks(canvas, along, x, TickSide::kBelow, panel.top + panel.height());
  canvas.setColour(kGrid);
  for (double t : up) line(cr, {panel.left, y(t)}, {panel.left + panel.width(), y(t)});
  canvas.setColour(kInk);
  drawTicks(canvas, up, y, TickSide::kLeft, panel.left);
  cairo_set_line_width(cr, 1.5);
  cairo_rectangle(cr, panel.left, panel.top, panel.width(), panel.height());
  cairo_stroke(cr);
  canvas.text(panel.left + panel.width() / 2, panel.top + panel.height() + 36,
              axisTitle(panel.horizontal), 13, Anchor::kCentre);
  canvas.text(panel.left - 50, panel.top + panel.height() / 2, axisTitle(panel.vertical), 13,
              Anchor::kCentre, M_PI / 2);
  canvas.text(panel.left + 8, panel.top + 12, title, 13, Anchor::kLeft, 0.0, true);
}

void drawBoards(PlotCanvas& canvas, const Panel& panel, const RigPlot& rig) {
  cairo_t* cr = canvas.cr();
  cairo_set_line_width(cr, 1.2);
  for (const Eigen::Matrix4d& robot_from_board : rig.robot_from_board) {
    for (size_t i = 0; i < rig.board_outline.size(); ++i) {
      const Eigen::Vector3d p = (robot_from_board * rig.board_outline[i].homogeneous()).head<3>();
      const Eigen::Vector2d at = panel.at(p);
      if (i == 0) {
        cairo_move_to(cr, at.x(), at.y());
      } else {
        cairo_line_to(cr, at.x(), at.y());
      }
    }
    cairo_close_path(cr);
    canvas.setColour(kBoard, 0.12);
    cairo_fill_preserve(cr);
    canvas.setColour(kBoard, 0.8);
    cairo_stroke(cr);
  }
}

// The camera's centre, its three axes `length` metres long (the optical
// axis twice as long) and its name, the k-th camera's a line higher than the
// one before, so that the names of cameras side by side stay apart.
void drawCamera(PlotCanvas& canvas, const Panel& panel, const RigPlotCamera& camera, size_t k,
                double length) {
  cairo_t* cr = canvas.cr();
  const Eigen::Matrix3d robot_from_camera =
      camera.camera_from_robot.topLeftCorner<3, 3>().transpose();
  const Eigen::Vector3d centre =
      -robot_from_camera * camera.camera_from_robot.topRightCorner<3, 1>();
  const Eigen::Vector2d at = panel.at(centre);
  cairo_set_line_width(cr, 2.0);
  for (int axis = 0; axis < 3; ++axis) {
    canvas.setColour(kAxisColours[axis]);
    line(cr, at, panel.at(centre + (axis == 2 ? 2.0 : 1.0) * length * robot_from_camera.col(axis)));
  }
  canvas.setColour(kInk);
  cairo_new_sub_path(cr);
  cairo_arc(cr, at.x(), at.y(), camera.reference ? 4.5 : 3.0, 0, 2 * M_PI);
  cairo_fill(cr);
  const Eigen::Vector2d label = at + Eigen::Vector2d(18.0, -20.0 - 16.0 * double(k));
  canvas.setColour(kInk, 0.5);
  cairo_set_line_width(cr, 0.8);
  line(cr, at, label);
  canvas.setColour(kInk);
  canvas.text(label.x() + 3, label.y(), camera.name + (camera.reference ? " (reference)" : ""), 11,
              Anchor::kLeft);
}

// The robot frame's origin and its x, y, z axes.
void drawRobotOrigin(PlotCanvas& canvas, const Panel& panel, double length) {
  cairo_t* cr = canvas.cr();
  const Eigen::Vector2d at = panel.at(Eigen::Vector3d::Zero());
  cairo_set_line_width(cr, 1.2);
  canvas.setColour(kInk, 0.7);
  for (int axis = 0; axis < 3; ++axis) {
    line(cr, at, panel.at(length * Eigen::Vector3d::Unit(axis)));
  }
  canvas.text(at.x() + 4, at.y() + 12, "robot", 11, Anchor::kLeft);
}

}  // namespace

std::string plotRig(const RigPlot& rig) {
  // Everything drawn, to fit the panels around.
  std::vector<Eigen::Vector3d> points = {Eigen::Vector3d::Zero()};
  double reach = 0.0;
  for (const RigPlotCamera& camera : rig.cameras) {
    const Eigen::Matrix3d R = camera.camera_from_robot.topLeftCorner<3, 3>();
    points.push_back(-R.transpose() * camera.camera_from_robot.topRightCorner<3, 1>());
  }
  for (const Eigen::Matrix4d& pose : rig.robot_from_board) {
    for (const Eigen::Vector3d& corner : rig.board_outline) {
      points.push_back((pose * corner.homogeneous()).head<3>());
    }
  }
  Eigen::Vector3d lo = points.front(), hi = points.front();
  for (const Eigen::Vector3d& p : points) {
    lo = lo.cwiseMin(p);
    hi = hi.cwiseMax(p);
  }
  reach = std::max(0.1, (hi - lo).maxCoeff());
  const double margin = 0.08 * reach;
  lo.array() -= margin;
  hi.array() += margin;
  const double scale = std::min({kMaxWidth / (hi.x() - lo.x()), kMaxPanelHeight / (hi.y() - lo.y()),
                                 kMaxPanelHeight / (hi.z() - lo.z())});
  Panel above{0, 1, lo.x(), hi.x(), lo.y(), hi.y(), kLeft, kTop, scale};
  Panel side{0, 2, lo.x(), hi.x(), lo.z(), hi.z(), kLeft, kTop + above.height() + kGap, scale};
  const int width = int(std::ceil(kLeft + above.width() + kRight));
  const int height = int(std::ceil(side.top + side.height() + kBottom));
  PlotCanvas canvas(std::max(width, 560), height, PictureFormat::kPng,
                    "The rig's cameras and the board's poses");
  canvas.setColour(kInk);
  canvas.text(canvas.width() / 2.0, 26,
              "The rig: " + std::to_string(rig.cameras.size()) + " cameras and the board at " +
                  std::to_string(rig.robot_from_board.size()) + " moments, in the robot frame",
              17, Anchor::kCentre, 0.0, true);
  canvas.text(canvas.width() / 2.0, 50,
              "camera axes: x red, y green, optical axis blue (drawn twice as long); boards grey",
              12, Anchor::kCentre);
  const double length = 0.06 * reach;
  const std::pair<const Panel*, const char*> panels[2] = {{&above, "seen from above"},
                                                          {&side, "seen from the right side"}};
  for (const auto& [panel, title] : panels) {
    drawFrame(canvas, *panel, title);
    cairo_save(canvas.cr());
    cairo_rectangle(canvas.cr(), panel->left, panel->top, panel->width(), panel->height());
    cairo_clip(canvas.cr());
    drawBoards(canvas, *panel, rig);
    drawRobotOrigin(canvas, *panel, length);
    for (size_t k = 0; k < rig.cameras.size(); ++k) {
      drawCamera(canvas, *panel, rig.cameras[k], k, length);
    }
    cairo_restore(canvas.cr());
  }
  return canvas.finish();
}

}  // namespace camcal
