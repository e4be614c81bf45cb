// camcal plot and camcal ptz plot: the SVG and PNG read back, and the refusals.
#include <expat.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "run_camcal.h"

namespace {

using namespace camcal_test;

// Whether an SVG is XML (by an XML parser), its <title> text and the number
// of its dashed strokes.
struct SvgSummary {
  bool parsed;
  std::string title;
  int dashed_strokes;
};
SvgSummary readSvg(const std::string& text) {
  XML_Parser parser = XML_ParserCreate(nullptr);
  const bool parsed = XML_Parse(parser, text.data(), int(text.size()), 1) == XML_STATUS_OK;
  XML_ParserFree(parser);
  std::smatch title;
  std::regex_search(text, title, std::regex("<title>([^<]*)</title>"));
  const std::regex dashes("stroke-dasharray");
  return {parsed, title[1],
          int(std::distance(std::sregex_iterator(text.begin(), text.end(), dashes), {}))};
}

// The SVG of a folding lens holds the edge of its sound region (the edge and
// its line in the legend, dashed); a sound lens's holds none. A size off the
// model's table is said so, and drawn from the full frame scaled. A PNG
// decodes to the width asked for.
TEST(CamcalPlot, ThePictureHoldsItsTitleAndTheEdgeOfTheSoundRegion) {
  ScratchDir scratch;
  const std::string wide = scratch.path("wide.svg"), navigation = scratch.path("navigation.svg"),
                    zoom = scratch.path("zoom.svg"), png = scratch.path("front.PNG");
  expectRuns({
      prints({"plot", "-c", kLensFaults, "wide", "1280x960", "-o", wide}, {}),
      prints({"plot", "-c", kRobotCal, "navigation", "800x600", "-o", navigation}, {},
             "note: 800x600 is not an image size of camera 'navigation'"),
      prints({"ptz", kPtzCal, "plot", "-o", zoom}, {}),
      prints({"plot", "-c", kRobotCal, "front", "1280x960", "-o", png, "--picture-width", "1200"},
             {}),
  });
  const auto expectSvg = [](const std::string& path, const std::string& title, int dashes) {
    const SvgSummary svg = readSvg(readFile(path));
    EXPECT_TRUE(svg.parsed && svg.title == title && svg.dashed_strokes == dashes)
        << path << ": " << svg.title << ", " << svg.dashed_strokes << " dashed strokes";
  };
  expectSvg(wide, "Lens of wide, generic-wide (generic camera), at 1280x960", 2);
  expectSvg(navigation, "Lens of navigation, kv007n (navigation camera), at 800x600", 0);
  expectSvg(zoom, "PTZ zoom table: " + kPtzCal + " (1920x1080, 9 samples)", 0);
  EXPECT_TRUE(pngSize(png).first == 1200 && pngSize(png).second > 600) << pngSize(png).second;
}

TEST(CamcalPlot, BadInputIsOneLineAndLeavesNoPicture) {
  ScratchDir scratch;
  const std::string out = scratch.path("out.svg"), jpg = scratch.path("out.jpg");
  expectRuns({
      fails(
          kUsage, {"plot", "navigation", "640x480", "-o", jpg},
          "cannot tell the picture format of '" + jpg + "': name the output NAME.svg or NAME.png"),
      fails(kUsage, {"plot", "navigation", "640x480", "-o", out, "--picture-width", "20"},
            "--picture-width"),
      fails(kFailed, {"ptz", kRobotCal, "plot", "-o", out}, "is a robot calibration, not a PTZ"),
  });
  EXPECT_FALSE(std::filesystem::exists(out) || std::filesystem::exists(jpg));
}

}  // namespace
