// camcal's helpers on known answers.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

#include "analysis/calibration_diff.h"
#include "cli/command_error.h"
#include "cli/options.h"
#include "plot/contour_lines.h"
#include "plot/plot_canvas.h"

namespace camcal {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// The field between nodes, bilinear: exact for fields linear in c and r.
double bilinear(const GridField& f, const Eigen::Vector2d& p) {
  const int c = std::min(int(p.x()), f.columns - 2), r = std::min(int(p.y()), f.rows - 2);
  const double x = p.x() - c, y = p.y() - r;
  return f.at(c, r) * (1 - x) * (1 - y) + f.at(c + 1, r) * x * (1 - y) +
         f.at(c + 1, r + 1) * x * y + f.at(c, r + 1) * (1 - x) * y;
}

// Every piece ends where the field equals the level, one piece per crossed
// cell (two in a saddle), none in a cell with an undefined corner.
TEST(ContourSegments, EndOnTheLevelInEveryCrossedCell) {
  const double nan = std::nan("");
  struct Row {
    const char* what;
    int columns, rows;
    std::function<double(int, int)> value;
    double level;
    size_t pieces;
  } rows[] = {
      {"linear in c", 4, 3, [](int c, int) { return c; }, 1.5, 2},
      {"diagonal", 4, 3, [](int c, int r) { return c + r; }, 2.5, 4},
      {"no ray at (1, 1)", 4, 3, [=](int c, int r) { return c == 1 && r == 1 ? nan : c; }, 1.5, 0},
      {"beside the hole", 4, 3, [=](int c, int r) { return c == 1 && r == 1 ? nan : c; }, 2.5, 2},
      {"above the field", 4, 3, [](int c, int) { return c; }, 9.0, 0},
      {"saddle", 2, 2, [](int c, int r) { return c == r ? 1.0 : 0.0; }, 0.5, 2},
  };
  for (const Row& row : rows) {
    GridField field{row.columns, row.rows, {}};
    for (int r = 0; r < row.rows; ++r)
      for (int c = 0; c < row.columns; ++c) field.values.push_back(row.value(c, r));
    const std::vector<Segment> pieces = contourSegments(field, row.level);
    EXPECT_EQ(pieces.size(), row.pieces) << row.what;
    for (const Segment& s : pieces) {
      EXPECT_NEAR(bilinear(field, s.from), row.level, 1e-12) << row.what;
      EXPECT_NEAR(bilinear(field, s.to), row.level, 1e-12) << row.what;
      // The saddle's centre lies above the level: its pieces cut off the low
      // corners (1, 0) and (0, 1), not the high ones.
      const Eigen::Vector2d mid = (s.from + s.to) / 2;
      if (row.columns == 2) {
        EXPECT_NEAR(std::abs(mid.x() - mid.y()), 0.5, 1e-12) << row.what;
      }
    }
  }
}

// Steps of 1, 2 or 5 times a power of ten, inside [lo, hi]; nothing for an
// empty range; an end even where the step is below the values' resolution.
TEST(NiceTicks, AreRoundStepsInsideTheRange) {
  struct Row {
    double lo, hi;
    int count;
    std::vector<double> ticks;
  } rows[] = {{0, 1000, 5, {0, 200, 400, 600, 800, 1000}},
              {0, 1, 10, {0, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9, 1}},
              {0.7, 1.3, 6, {0.7, 0.8, 0.9, 1.0, 1.1, 1.2, 1.3}},
              {-3, 7, 4, {0, 5}},
              {5, 5, 4, {}},
              {0, std::nan(""), 4, {}},
              {0, 10, 0, {}}};
  for (const Row& row : rows) {
    const std::vector<double> ticks = niceTicks(row.lo, row.hi, row.count);
    ASSERT_EQ(ticks.size(), row.ticks.size()) << row.lo << " " << row.hi;
    for (size_t i = 0; i < ticks.size(); ++i) EXPECT_NEAR(ticks[i], row.ticks[i], 1e-12);
  }
  const std::vector<double> tiny_step = niceTicks(1e17, 1e17 + 16, 6);
  EXPECT_LE(tiny_step.size(), 61u);
  for (double t : tiny_step) EXPECT_TRUE(t >= 1e17 && t <= 1e17 + 16) << t;
}

// Nearest rank: unseen rays (infinite) rank above every displacement.
TEST(Quantile, IsTheNearestRankOfTheSortedValues) {
  struct Row {
    std::vector<double> sorted;
    double q, value;
  } rows[] = {{{}, 0.5, 0},
              {{3}, 0.99, 3},
              {{1, 2, 3, 4}, 0.5, 2},
              {{1, 2, 3, 4}, 0.0, 1},
              {{1, 2, 3, 4}, 1.0, 4},
              {{1, 2, kInf}, 0.5, 2},
              {{1, 2, kInf}, 0.99, kInf}};
  for (const Row& row : rows) EXPECT_EQ(quantile(row.sorted, row.q), row.value) << row.q;
}

// Sizes read as written, leading zeros allowed, formatted back in one
// spelling; anything else a usage error, malformed or out of range (also
// beyond the range of int).
TEST(ParseImageSize, ReadsWidthByHeightAndFormatsItBack) {
  const auto parsed = [](const char* text) {
    try {
      return formatImageSize(parseImageSize(text));
    } catch (const CommandError& e) {
      EXPECT_EQ(e.status(), kExitUsage) << text;
      return std::string(e.what());
    }
  };
  for (const auto& [text, formatted] : {std::pair{"640x480", "640x480"},
                                        {"1280X720", "1280x720"},
                                        {"007x08", "7x8"},
                                        {"999999x1", "999999x1"}})
    EXPECT_EQ(parsed(text), formatted);
  const std::pair<const char*, std::vector<const char*>> refusals[] = {
      {"out of range",
       {"0x480", "1000000x1", "99999999999999999999x1", "640x99999999999999999999"}},
      {"malformed image size", {"x480", "640x480x3", "-640x480", " 640x480", ""}}};
  for (const auto& [refusal, texts] : refusals)
    for (const char* text : texts) EXPECT_NE(parsed(text).find(refusal), std::string::npos) << text;
}

}  // namespace
}  // namespace camcal
