// camcal's plotting: the colour scale against the published viridis table,
// and the calibration pictures drawn from their plain inputs, read back.
#include <cairo.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <iterator>
#include <limits>
#include <sstream>

#include "plot/calibration_plots.h"
#include "plot/colour_map.h"
#include "plot/image_frame.h"

namespace camcal {
namespace {

// The table's entries are written with six decimals.
constexpr double kTableTolerance = 1e-9;

struct Entry {
  int index;
  double r, g, b;
};
constexpr Entry kPublished[] = {
    {0, 0.267004, 0.004874, 0.329415},   {1, 0.268510, 0.009605, 0.335427},
    {64, 0.229739, 0.322361, 0.545706},  {128, 0.127568, 0.566949, 0.550556},
    {192, 0.369214, 0.788888, 0.382914}, {254, 0.983868, 0.904867, 0.136897},
    {255, 0.993248, 0.906157, 0.143936},
};

void expectColour(const Colour& c, const Entry& e, const std::string& what) {
  EXPECT_NEAR(c.r, e.r, kTableTolerance) << what;
  EXPECT_NEAR(c.g, e.g, kTableTolerance) << what;
  EXPECT_NEAR(c.b, e.b, kTableTolerance) << what;
}

// Entry k at t = k / 255, the mean of two neighbours half way between them,
// and the ends outside [0, 1].
TEST(ColourOnScale, IsThePublishedTableInterpolatedLinearly) {
  for (const Entry& e : kPublished) expectColour(colourOnScale(e.index / 255.0), e, "entry");
  const Entry &first = kPublished[0], &second = kPublished[1];
  const Entry mean{0, (first.r + second.r) / 2, (first.g + second.g) / 2, (first.b + second.b) / 2};
  expectColour(colourOnScale(0.5 / 255.0), mean, "half way");
  for (const double t : {-1.0, -0.0, std::numeric_limits<double>::quiet_NaN(), 1.5,
                         std::numeric_limits<double>::infinity()}) {
    expectColour(colourOnScale(t), t < 1 || std::isnan(t) ? first : std::end(kPublished)[-1],
                 std::to_string(t));
  }
}

cairo_status_t readFrom(void* closure, unsigned char* data, unsigned int length) {
  auto& in = *static_cast<std::istringstream*>(closure);
  return in.read(reinterpret_cast<char*>(data), length) ? CAIRO_STATUS_SUCCESS
                                                        : CAIRO_STATUS_READ_ERROR;
}

// The grid's cells lie where the data puts them, row-major from the top
// left: a cell without a kept corner shaded red, a covered one bare.
TEST(PlotCoverage, ShadesTheCellsTheGridLeavesUncovered) {
  // A 760 x 560 image is drawn one point per pixel from the frame's corner.
  CoveragePlot plot{760, 560, "", 0, {}, {4, 3, std::vector<bool>(12, true)}};
  plot.grid.covered[1 * 4 + 3] = plot.grid.covered[2 * 4 + 0] = false;
  std::istringstream png(plotCoverage(plot));
  cairo_surface_t* picture = cairo_image_surface_create_from_png_stream(readFrom, &png);
  ASSERT_EQ(cairo_surface_status(picture), CAIRO_STATUS_SUCCESS);
  const unsigned char* data = cairo_image_surface_get_data(picture);
  for (int row = 0; row < 3; ++row) {
    for (int column = 0; column < 4; ++column) {
      const int x = int(kFrameLeft + 190.0 * (column + 0.5));
      const int y = int(kFrameTop + 560.0 / 3 * (row + 0.5));
      const uint32_t pixel =
          reinterpret_cast<const uint32_t*>(data + y * cairo_image_surface_get_stride(picture))[x];
      const int red_over_green = int(pixel >> 16 & 0xff) - int(pixel >> 8 & 0xff);
      EXPECT_EQ(red_over_green > 30, !plot.grid.covered[size_t(row * 4 + column)])
          << column << ", " << row << ": " << red_over_green;
    }
  }
  cairo_surface_destroy(picture);
}

}  // namespace
}  // namespace camcal
