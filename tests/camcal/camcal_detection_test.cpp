// Board detection of camcal calibrate on pictures rendered under realistic
// imaging, ChArUco boards (and what their cut views give at the image's
// corners against a chessboard's), images of an odd size, camcal board, and
// the board specifications camcal refuses.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <opencv2/aruco/charuco.hpp>
#include <opencv2/imgcodecs.hpp>

#include "board_finder.h"
#include "calibration_common/camera_parameters.h"
#include "calibration_utils/camera_calibration.h"
#include "run_camcal.h"
#include "support/board_imaging.h"
#include "support/log_capture.h"

namespace {

using namespace camcal_test;
using dravik::calibration::Lens;
using dravik::testing::boardCorners;
using dravik::testing::boardPose;
using dravik::testing::BoardRenderer;
using dravik::testing::CharucoPattern;
using dravik::testing::Chessboard;
using dravik::testing::ChessboardPattern;
using dravik::testing::Imaging;
using nlohmann::json;

constexpr char kCharuco[] = "charuco:9x7:0.03:0.022:DICT_5X5_100";

Lens navigationLens(int width, int height) {
  dravik::calibration::CameraParametersSet set;
  EXPECT_TRUE(set.loadFromFile(kRobotCal));
  return set.getCamera("navigation")->getLens(width, height);
}

camcal::Board charucoBoard() { return camcal::parseBoard(kCharuco, ""); }

CharucoPattern charucoPattern(const camcal::Board& board) {
  return {board.squares_x, board.squares_y, board.square_m, board.marker_m, board.dictionary_id};
}

struct DetectionCase {
  const char* name;
  bool charuco;
  Imaging imaging;
  Eigen::Vector2d centre;  // the board's centre, pixel of the image
  bool found;
  std::string reason = "";  // part of it, when not found
  int size = 1;             // the image, 640 x 480 times this
  int over_corner = -1;     // else the board of that view over the image's corners, 1280 x 960
};

TEST(CamcalDetection, FindsBoardsUnderEachImagingEffectAndOnlyWhereTheyAre) {
  const BoardRenderer renderers[] = {{navigationLens(640, 480), 2}, {navigationLens(1280, 960), 2}};
  const Chessboard chessboard{9, 6, 0.03};
  const camcal::Board charuco = charucoBoard();
  const CharucoPattern pattern = charucoPattern(charuco);
  const Imaging plain{}, ordinary = dravik::testing::ordinaryImaging();
  const Eigen::Vector2d middle(320, 240);
  const auto over_corners =
      dravik::testing::imageCornerPoses(renderers[1].lens(), pattern.corners(), 0.236, 2);
  const std::vector<DetectionCase> cases = {
      {"plain", false, plain, middle, true},
      {"ordinary photograph", false, ordinary, middle, true},
      {"defocus", false, {0, 0, 2.0, 1.0, 0}, middle, true},
      {"sensor noise", false, {0, 0, 0.5, 8.0, 0}, middle, true},
      {"JPEG at quality 40", false, {0, 0, 0.5, 1.0, 40}, middle, true},
      {"uneven lighting and vignetting", false, {0.8, 0.6, 0.5, 1.0, 0}, middle, true},
      {"chessboard cut by the edge", false, plain, {600, 240}, false, "no 9x6 board found"},
      {"no board", false, plain, {2500, 240}, false, "no 9x6 board found"},
      {"ChArUco, ordinary photograph", true, ordinary, middle, true},
      // At 640 x 480 the markers by the edge are too small to be read.
      {"ChArUco cut by the edge, 1280 x 960", true, plain, {1220, 500}, true, "", 2},
      {"ChArUco over the image's corner, its cells squeezed", true, ordinary, {}, true, "", 2, 5},
      {"ChArUco, a few markers", true, plain, {850, 700}, false, "6 corners needed"},
  };
  for (const DetectionCase& c : cases) {
    SCOPED_TRACE(c.name);
    const BoardRenderer& renderer = renderers[c.size - 1];
    const Lens& lens = renderer.lens();
    const Chessboard corners = c.charuco ? pattern.corners() : chessboard;
    // Tilted a little; a ChArUco board facing the camera and nearer, for its markers.
    const double tilt = c.charuco ? 0.0 : 0.2;
    const Eigen::Matrix4d pose =
        c.over_corner >= 0
            ? over_corners[size_t(c.over_corner)]
            : boardPose(lens, corners, c.centre, c.charuco ? 0.25 : 0.35, tilt, -tilt);
    const std::vector<double> shading =
        c.charuco ? renderer.renderPattern(pattern, pose)
                  : renderer.renderPattern(ChessboardPattern{corners}, pose);
    const cv::Mat picture =
        dravik::testing::takePicture(shading, lens.width(), lens.height(), c.imaging, 3);
    const camcal::Board board = c.charuco ? charuco : camcal::parseBoard("9x6", "0.03");
    camcal::ImageCorners found;
    ASSERT_EQ(camcal::findBoard(picture, board, &found), c.found) << found.reason;
    if (!c.found) {
      EXPECT_NE(found.reason.find(c.reason), std::string::npos) << found.reason;
      EXPECT_TRUE(found.image_points.empty());
      continue;
    }
    const std::vector<Eigen::Vector2d> truth = boardCorners(lens, corners, pose);
    ASSERT_EQ(found.image_points.size(), found.target_points.size());
    double worst = 0.0;
    for (size_t k = 0; k < found.image_points.size(); ++k) {
      // A chessboard's corners may come from either end; ChArUco's by id.
      const size_t id = c.charuco ? size_t(found.corner_ids[k]) : k;
      const double forward = (found.image_points[k] - truth[id]).norm();
      const double backward = (found.image_points[k] - truth[truth.size() - 1 - id]).norm();
      worst = std::max(worst, c.charuco ? forward : std::min(forward, backward));
      if (c.charuco) {
        EXPECT_EQ(found.target_points[k],
                  Eigen::Vector3d((id % corners.columns) * corners.square,
                                  double(id / corners.columns) * corners.square, 0.0));
      }
    }
    EXPECT_LT(worst, 0.5);
  }
}

// The navigation camera's full frame, a chessboard held low at the left
// where its squares are sheared and several times the size of those at its
// far end: the search on the downscaled copy puts the board's corner there
// 9 pixels off, which a window sized by the smallest square cannot mend.
// Each corner is refined in a window of its own squares, or dropped.
TEST(CamcalDetection, RefinesEachCornerInAWindowItsOwnSquaresBound) {
  const Lens lens = navigationLens(1280, 960);
  const Chessboard chessboard{9, 6, 0.045};
  const std::vector<Eigen::Matrix4d> poses = dravik::testing::calibrationPoses(
      lens, chessboard,
      dravik::testing::viewingDistance(lens, (chessboard.columns + 1) * chessboard.square, false),
      20, false);
  const BoardRenderer renderer(lens, 3);
  const Eigen::Matrix4d& pose = poses[6];
  const cv::Mat picture = dravik::testing::takePicture(
      renderer.renderPattern(ChessboardPattern{chessboard}, pose), lens.width(), lens.height(),
      dravik::testing::ordinaryImaging(), 7);
  camcal::ImageCorners found;
  ASSERT_TRUE(camcal::findBoard(picture, camcal::parseBoard("9x6", "0.045"), &found))
      << found.reason;
  const std::vector<Eigen::Vector2d> truth = boardCorners(lens, chessboard, pose);
  ASSERT_GE(found.image_points.size(), truth.size() - 2);
  for (size_t k = 0; k < found.image_points.size(); ++k) {
    const Eigen::Vector3d& t = found.target_points[k];
    const size_t id = size_t(std::lround(t.x() / chessboard.square) +
                             chessboard.columns * std::lround(t.y() / chessboard.square));
    const double error = std::min((found.image_points[k] - truth[id]).norm(),
                                  (found.image_points[k] - truth[truth.size() - 1 - id]).norm());
    EXPECT_LT(error, 0.5) << "corner " << id;
  }
}

TEST(CamcalDetection, SkipsImagesOfAnOddSizeAndNamesEveryUnreadableImageAtOnce) {
  const Lens lens = navigationLens(640, 480);
  const BoardRenderer renderer(lens, 1);
  const Chessboard board{9, 6, 0.03};
  const ScratchDir scratch;
  Args images;
  const auto poses = dravik::testing::calibrationPoses(lens, board, 0.3, 9, false);
  for (size_t k = 0; k < poses.size(); ++k) {
    images.push_back(scratch.path("board" + std::to_string(k) + ".png"));
    cv::imwrite(images.back(),
                dravik::testing::takePicture(
                    renderer.renderPattern(ChessboardPattern{board}, poses[k]), 640, 480, {}, 1));
  }
  // A resave one pixel larger: listed with the reason, skipped.
  const std::string odd = scratch.path("resaved.png");
  cv::imwrite(odd, cv::Mat(481, 641, CV_8UC1, cv::Scalar(128)));
  images.insert(images.begin() + 2, odd);
  const Args calibrate = {"calibrate", "--board", "9x6", "--square", "0.03", "--format", "json"};
  const camcal_test::Run run =
      runCamcal(cat(cat(calibrate, images), {"--save-corners", scratch.path("corners.json")}));
  ASSERT_EQ(run.status, 0) << run.err;
  const json report = json::parse(run.out);
  EXPECT_EQ(report["image_width"], 640);
  EXPECT_EQ(report["images"][2]["found"], false);
  EXPECT_EQ(report["images"][2]["reason"], "641x481, not the 640x480 of 9 other images");
  EXPECT_NE(report["images"][0]["detector"].get<std::string>().find("findChessboardCorners"),
            std::string::npos);
  // The corners file carries the detector (it reads back: CamcalCalibrate.RecoversTheLens).
  const json saved = json::parse(readFile(scratch.path("corners.json")));
  EXPECT_EQ(saved["views"][0]["detector"], report["images"][0]["detector"]);

  // Two files that cannot be used: one line names both, before any search.
  const std::string missing = scratch.path("missing.png");
  const std::string broken = scratch.write("broken.png", "not an image");
  const camcal_test::Run failed = runCamcal(cat(calibrate, {images[0], missing, broken}));
  EXPECT_EQ(failed.status, kFailed);
  EXPECT_NE(failed.err.find("2 images cannot be used: " + missing), std::string::npos)
      << failed.err;
  EXPECT_NE(failed.err.find(broken + ": not a PNG or JPEG image"), std::string::npos) << failed.err;
}

// What a calibration says at the image's four corner pixels: how far the
// nearest kept corner lies, how far the fitted lens sees the true ray of
// the pixel from it, and the fit's projection uncertainty there.
struct AtImageCorners {
  double nearest_corner_px = 0.0, ray_error_px = 0.0, uncertainty_px = 0.0;  // worst of four
};

AtImageCorners calibrateAndMeasure(const Lens& truth, const BoardRenderer& renderer,
                                   const camcal::Board& board, const CharucoPattern& charuco,
                                   const std::vector<Eigen::Matrix4d>& poses) {
  std::vector<dravik::calibration::TargetView> views;
  const Chessboard inner = charuco.corners();
  for (size_t k = 0; k < poses.size(); ++k) {
    // A chessboard with a corner outside the image is never found; its
    // finder's fallbacks would spend seconds on it.
    bool whole = true;
    for (const Eigen::Vector2d& p : boardCorners(truth, inner, poses[k]))
      whole = whole && p.x() >= 0 && p.y() >= 0 && p.x() <= truth.width() - 1 &&
              p.y() <= truth.height() - 1;
    if (!board.charuco && !whole) continue;
    const std::vector<double> shading =
        board.charuco ? renderer.renderPattern(charuco, poses[k])
                      : renderer.renderPattern(ChessboardPattern{inner}, poses[k]);
    const cv::Mat picture = dravik::testing::takePicture(shading, truth.width(), truth.height(),
                                                         {0, 0, 0.7, 1.0, 0}, unsigned(k));
    camcal::ImageCorners found;
    if (camcal::findBoard(picture, board, &found)) {
      views.push_back({found.image_points, found.target_points});
    }
  }
  dravik::calibration::CameraFit fit;
  const dravik::testing::LogCapture quiet;  // the chessboard's undetermined lens terms
  EXPECT_TRUE(dravik::calibration::calibrateCamera(views, truth.width(), truth.height(), {}, &fit));
  constexpr int kStep = 8;
  std::vector<float> sigma;
  EXPECT_TRUE(dravik::calibration::projectionUncertainty(fit, kStep, &sigma));
  const int columns = truth.width() / kStep, rows = truth.height() / kStep;
  AtImageCorners worst;
  for (const auto& [i, j] :
       {std::pair{0, 0}, {columns - 1, 0}, {0, rows - 1}, {columns - 1, rows - 1}}) {
    const Eigen::Vector2d pixel(i * kStep + kStep / 2, j * kStep + kStep / 2);
    double nearest = 1e30;
    for (const auto& view : views)
      for (const Eigen::Vector2d& p : view.image_points)
        nearest = std::min(nearest, (p - pixel).norm());
    const Eigen::Vector2d ray = truth.normalize(pixel).point;
    const double error = (fit.lens.project({ray.x(), ray.y(), 1.0}) - pixel).norm();
    worst.nearest_corner_px = std::max(worst.nearest_corner_px, nearest);
    worst.ray_error_px = std::max(worst.ray_error_px, error);
    worst.uncertainty_px = std::max(worst.uncertainty_px, double(sigma[size_t(j * columns + i)]));
  }
  return worst;
}

// One camera of a strong lens, boards held near it out to and past the
// image's edges and over each of its corners, the same poses for a ChArUco
// board and for the chessboard of its squares: the chessboard is found only
// where it is whole, the ChArUco board also where the edge cuts it. The
// pictures are antialiased, since a corner's error at the image's corners
// is what the fit extrapolates there.
TEST(CamcalDetection, CharucoBoardsCutByTheEdgeCalibrateTheImageCornersThatChessboardsMiss) {
  Lens truth;
  dravik::Matrix3f K;
  K << 650, 0, 639.5, 0, 650, 479.5, 0, 0, 1;
  ASSERT_TRUE(Lens::fromIntrinsics(K, {-0.2f, 0.03f, 0, 0, -0.0015f, 0, 0, 0}, 1280, 960, &truth));
  ASSERT_TRUE(truth.isSoundOverImage());
  const BoardRenderer renderer(truth, 2);
  const camcal::Board charuco = camcal::parseBoard("charuco:11x8:0.04:0.03:DICT_5X5_100", "");
  const camcal::Board chessboard = camcal::parseBoard("10x7", "0.04");
  const CharucoPattern pattern = charucoPattern(charuco);
  const double distance = 1.4 * 0.44 * truth.K()(0, 0) / truth.width();
  std::vector<Eigen::Matrix4d> poses =
      dravik::testing::calibrationPoses(truth, pattern.corners(), distance, 12, true);
  const auto cut = dravik::testing::imageCornerPoses(truth, pattern.corners(), distance, 3);
  poses.insert(poses.end(), cut.begin(), cut.end());
  const AtImageCorners with_charuco = calibrateAndMeasure(truth, renderer, charuco, pattern, poses);
  const AtImageCorners with_chessboard =
      calibrateAndMeasure(truth, renderer, chessboard, pattern, poses);
  // The chessboard is found whole in few views, its corners far from the
  // image's corners, where its lens is free to bend; the cut ChArUco boards
  // bring corners within reach of them and hold the lens there.
  EXPECT_LT(with_charuco.nearest_corner_px, 0.25 * with_chessboard.nearest_corner_px);
  EXPECT_GE(with_chessboard.ray_error_px, 10.0);
  EXPECT_LE(with_charuco.ray_error_px, 1.0);
  EXPECT_LT(with_charuco.uncertainty_px, 5.0);
  EXPECT_GT(with_chessboard.uncertainty_px, 20.0 * with_charuco.uncertainty_px);
}

TEST(CamcalBoard, WritesACharucoBoardThatOpenCvReadsBackAtTrueScale) {
  const ScratchDir scratch;
  const std::string png = scratch.path("board.png"), pdf = scratch.path("board.pdf");
  ASSERT_EQ(runCamcal({"board", "--board", kCharuco, "--dpi", "100", "-o", png}).status, 0);
  ASSERT_EQ(runCamcal({"board", "--board", kCharuco, "-o", pdf}).status, 0);
  EXPECT_EQ(readFile(pdf).rfind("%PDF", 0), 0u);
  const cv::Mat picture = cv::imread(png, cv::IMREAD_GRAYSCALE);
  const camcal::Board board = charucoBoard();
  const auto dictionary = cv::aruco::getPredefinedDictionary(board.dictionary_id);
  std::vector<std::vector<cv::Point2f>> markers;
  std::vector<int> ids;
  cv::aruco::detectMarkers(picture, dictionary, markers, ids);
  EXPECT_EQ(ids.size(), size_t(board.squares_x * board.squares_y / 2));
  std::vector<cv::Point2f> corners;
  std::vector<int> corner_ids;
  cv::aruco::interpolateCornersCharuco(
      markers, ids, picture,
      cv::aruco::CharucoBoard::create(board.squares_x, board.squares_y, float(board.square_m),
                                      float(board.marker_m), dictionary),
      corners, corner_ids);
  ASSERT_EQ(corners.size(), size_t(board.columns * board.rows));
  // Neighbouring corners one square apart at 100 dots per inch.
  EXPECT_NEAR(cv::norm(corners[1] - corners[0]), board.square_m / 0.0254 * 100, 0.5);
}

TEST(CamcalBoard, RefusesMalformedBoardsWithOneLineAndWritesNothing) {
  const ScratchDir scratch;
  const std::string out = scratch.path("board.png");
  const Args board = {"board", "-o", out, "--board"};
  const Args calibrate = {"calibrate", "some.png", "--board"};
  std::vector<Expected> runs;
  for (const Args& command : {board, calibrate}) {
    runs.push_back(fails(kUsage, cat(command, {"charuco:9x7:0.03"}), "malformed ChArUco board"));
    runs.push_back(fails(kUsage, cat(command, {"charuco:9x7:0.03:0.03:DICT_5X5_100"}),
                         "must be smaller than its square"));
    runs.push_back(fails(kUsage, cat(command, {"charuco:9x7:0.03:0.02:DICT_5X5_7"}),
                         "unknown ArUco dictionary 'DICT_5X5_7'"));
    runs.push_back(fails(kUsage, cat(command, {"charuco:12x10:0.03:0.02:DICT_4X4_50"}),
                         "its 60 markers are more than DICT_4X4_50 holds (50)"));
    runs.push_back(fails(kUsage, cat(command, {kCharuco, "--square", "0.025"}),
                         "--square 0.025 disagrees with the square"));
  }
  runs.push_back(fails(kUsage, {"board", "--board", kCharuco, "-o", scratch.path("b.svg")},
                       "name the output NAME.png or NAME.pdf"));
  expectRuns(runs);
  EXPECT_FALSE(std::filesystem::exists(out));
}

TEST(CamcalDetection, ACornersFileWithANumberTooLargeNamesItsLineAndColumn) {
  const ScratchDir scratch;
  const std::string file =
      scratch.write("overflow.json",
                    "{\"image_width\": 640, \"image_height\": 480,\n"
                    " \"views\": [{\"image_points\": [[1e999, 2]], \"target_points\": [[0, 0]]}]}");
  expectRuns({fails(kFailed, {"calibrate", "--corners", file},
                    file + ": not a corners file (JSON, line 2, column 31: number overflow "
                           "parsing '1e999')")});
}

}  // namespace
