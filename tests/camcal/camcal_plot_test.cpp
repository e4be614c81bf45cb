// camcal plot and camcal ptz plot: the SVG and PNG read back, and the refusals.
#include <expat.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "run_camcal.h"
#include "support/ptz_models.h"

namespace {

using namespace camcal_test;
using dravik::testing::ptzExamplePath;

const std::string robot = fixture("robot_calibration.txt");
const std::string lens_faults = fixture("robot_calibration_lens_faults.txt");

// The text of the <title> element and the number of dashed strokes of an SVG,
// read with an XML parser; parsed is false when the file is not XML.
struct SvgSummary {
  bool parsed = false;
  std::string title;
  int dashed_strokes = 0;
};

SvgSummary readSvg(const std::string& text) {
  struct State {
    SvgSummary summary;
    bool in_title = false;
  } state;
  XML_Parser parser = XML_ParserCreate(nullptr);
  XML_SetUserData(parser, &state);
  XML_SetElementHandler(
      parser,
      [](void* data, const XML_Char* name, const XML_Char** attributes) {
        auto* s = static_cast<State*>(data);
        s->in_title = std::string(name) == "title";
        for (int i = 0; attributes[i]; i += 2) {
          const std::string key = attributes[i], value = attributes[i + 1];
          if (key == "stroke-dasharray" ||
              (key == "style" && value.find("stroke-dasharray") != std::string::npos))
            ++s->summary.dashed_strokes;
        }
      },
      [](void* data, const XML_Char*) { static_cast<State*>(data)->in_title = false; });
  XML_SetCharacterDataHandler(parser, [](void* data, const XML_Char* chars, int length) {
    auto* s = static_cast<State*>(data);
    if (s->in_title) s->summary.title.append(chars, length);
  });
  state.summary.parsed =
      XML_Parse(parser, text.data(), static_cast<int>(text.size()), 1) == XML_STATUS_OK;
  XML_ParserFree(parser);
  return state.summary;
}

TEST(CamcalPlot, TheSvgOfAFoldingLensHoldsItsTitleAndTheEdgeOfItsSoundRegion) {
  ScratchDir scratch;
  const std::string wide = scratch.path("wide.svg"), navigation = scratch.path("navigation.svg");
  ASSERT_EQ(runCamcal({"plot", "-c", lens_faults, "wide", "1280x960", "-o", wide}).status, 0);
  ASSERT_EQ(runCamcal({"plot", "-c", robot, "navigation", "640x480", "-o", navigation}).status, 0);
  const SvgSummary folding = readSvg(readFile(wide));
  EXPECT_TRUE(folding.parsed);
  EXPECT_EQ(folding.title, "Lens of wide, generic-wide (generic camera), at 1280x960");
  // The edge itself and its line in the legend.
  EXPECT_EQ(folding.dashed_strokes, 2);
  const SvgSummary sound = readSvg(readFile(navigation));
  EXPECT_TRUE(sound.parsed);
  EXPECT_EQ(sound.title, "Lens of navigation, kv007n (navigation camera), at 640x480");
  EXPECT_EQ(sound.dashed_strokes, 0);
}

TEST(CamcalPlot, ThePngDecodesToTheRequestedWidth) {
  ScratchDir scratch;
  const std::string png = scratch.path("front.PNG"), ptz = scratch.path("zoom.png");
  ASSERT_EQ(
      runCamcal({"plot", "-c", robot, "front", "1280x960", "-o", png, "--picture-width", "1200"})
          .status,
      0);
  const auto [width, height] = pngSize(png);
  EXPECT_EQ(width, 1200);
  EXPECT_GT(height, 600);
  ASSERT_EQ(
      runCamcal({"ptz", ptzExamplePath(), "plot", "-o", ptz, "--picture-width", "480"}).status, 0);
  EXPECT_EQ(pngSize(ptz).first, 480);
  const std::string svg = scratch.path("zoom.svg");
  ASSERT_EQ(runCamcal({"ptz", ptzExamplePath(), "plot", "-o", svg}).status, 0);
  EXPECT_EQ(readSvg(readFile(svg)).title,
            "PTZ zoom table: " + ptzExamplePath() + " (1920x1080, 9 samples)");
}

TEST(CamcalPlot, BadInputIsOneLineAndLeavesNoPicture) {
  ScratchDir scratch;
  const std::string out = scratch.path("out.svg");
  const std::string jpg = scratch.path("out.jpg");
  expectRuns({
      fails(
          kUsage, {"plot", "navigation", "640x480", "-o", jpg},
          "cannot tell the picture format of '" + jpg + "': name the output NAME.svg or NAME.png"),
      fails(kUsage, {"plot", "navigation", "640x480"}, "--output is required"),
      fails(kFailed, {"plot", "-c", robot, "wrist", "640x480", "-o", out},
            "unknown camera 'wrist' in " + robot + " (cameras: navigation, front, rear)"),
      fails(kFailed, {"plot", "navigation", "640x480", "-o", fixture("no/out.png")},
            fixture("no/out.png") + ": cannot write: No such file or directory"),
      fails(kUsage, {"plot", "navigation", "640x480", "-o", out, "--picture-width", "20"},
            "--picture-width"),
      fails(kFailed, {"ptz", robot, "plot", "-o", out}, "is a robot calibration, not a PTZ"),
  });
  EXPECT_FALSE(std::filesystem::exists(out));
  // A size off the model's table: said so, and drawn from the full frame scaled.
  expectRuns({prints({"plot", "navigation", "800x600", "-o", out}, {},
                     "note: 800x600 is not an image size of camera 'navigation'")});
  EXPECT_TRUE(readSvg(readFile(out)).parsed);
}

}  // namespace
