// Board detection: camcal's strategy (find on a downscaled copy through a
// sequence of OpenCV's detectors, refine at full resolution) against each
// OpenCV detector and flag set alone, on the same rendered 1280 x 960
// pictures of a 9 x 6 chessboard seen through the navigation camera's lens
// (strong barrel distortion), under realistic imaging: defocus, noise, JPEG,
// uneven lighting and vignetting. The true corners are known: each
// benchmark reports the boards it found ("found", of "images") and the
// corner error against the truth over them ("rms_px", "p99_px"); time is
// per image, one thread. The strategy also reports its time over
// findChessboardCornersSB with CALIB_CB_ACCURACY ("vs_opencv"), measured
// right after it in the same run. ChArUco boards cut by the image's edges
// likewise, at the end.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <opencv2/aruco/charuco.hpp>
#include <opencv2/calib3d.hpp>

#include "board_finder.h"
#include "calibration_common/camera_parameters.h"
#include "peer_ratio.h"
#include "support/board_imaging.h"

namespace {

using dravik::testing::Chessboard;

struct Picture {
  cv::Mat gray;
  std::vector<Eigen::Vector2d> truth;
};

const Chessboard kBoard{9, 6, 0.045};

// The realistic imaging of each picture, in turn.
dravik::testing::Imaging imagingOf(int k) {
  dravik::testing::Imaging imaging = dravik::testing::ordinaryImaging();
  switch (k % 5) {
    case 1:
      imaging.blur_px = 2.5;  // out of focus
      break;
    case 2:
      imaging.noise = 6.0;  // dim light, high gain
      break;
    case 3:
      imaging.jpeg_quality = 50;
      break;
    case 4:
      imaging.lighting = 0.8, imaging.vignetting = 0.6;
      break;
    default:
      break;
  }
  return imaging;
}

dravik::calibration::Lens navigationLens() {
  dravik::calibration::CameraParametersSet cameras;
  cameras.loadFromFile(std::string(CAMERA_PARAMETERS_SOURCE_DIR) +
                       "/tests/camcal/data/robot_calibration.txt");
  return cameras.getCamera("navigation")->getLens(1280, 960);
}

const dravik::testing::BoardRenderer& renderer() {
  static const dravik::testing::BoardRenderer kRenderer(navigationLens(), 2);
  return kRenderer;
}

// The pictures of `pattern` at `poses`, each under imagingOf(k), with the
// true corners of `corners`.
template <class Pattern>
std::vector<Picture> render(const Pattern& pattern, const Chessboard& corners,
                            const std::vector<Eigen::Matrix4d>& poses) {
  const dravik::calibration::Lens& lens = renderer().lens();
  std::vector<Picture> result;
  for (size_t k = 0; k < poses.size(); ++k) {
    result.push_back(
        {dravik::testing::takePicture(renderer().renderPattern(pattern, poses[k]), lens.width(),
                                      lens.height(), imagingOf(int(k)), unsigned(k + 1)),
         dravik::testing::boardCorners(lens, corners, poses[k])});
  }
  return result;
}

const std::vector<Picture>& pictures() {
  static const std::vector<Picture> kPictures = [] {
    const dravik::calibration::Lens& lens = renderer().lens();
    const double distance =
        dravik::testing::viewingDistance(lens, (kBoard.columns + 1) * kBoard.square, false);
    return render(dravik::testing::ChessboardPattern{kBoard}, kBoard,
                  dravik::testing::calibrationPoses(lens, kBoard, distance, 15, false));
  }();
  return kPictures;
}

// A detector: the corners of the board on a picture, with their ids for a
// ChArUco board, or false.
using Detector =
    std::function<bool(const cv::Mat&, std::vector<Eigen::Vector2d>*, std::vector<int>*)>;

// The rms and the 99th percentile of the corner errors, pixels.
void setErrorCounters(benchmark::State& state, std::vector<double>* errors) {
  double squares = 0.0;
  for (const double e : *errors) squares += e * e;
  std::sort(errors->begin(), errors->end());
  state.counters["rms_px"] = errors->empty() ? 0.0 : std::sqrt(squares / double(errors->size()));
  state.counters["p99_px"] =
      errors->empty() ? 0.0 : (*errors)[size_t(0.99 * double(errors->size() - 1))];
}

// The boards found and the errors of their corners against the truth (in
// the detector's order or reversed: a chessboard's corners may be found from
// either end).
void reportAccuracy(benchmark::State& state, const Detector& detect) {
  std::vector<double> errors;
  int found = 0;
  for (const Picture& picture : pictures()) {
    std::vector<Eigen::Vector2d> corners;
    std::vector<int> ids;
    if (!detect(picture.gray, &corners, &ids)) continue;
    // Without ids, every corner in the board's order.
    if (ids.empty() && corners.size() != picture.truth.size()) continue;
    ++found;
    const size_t n = picture.truth.size();
    std::vector<double> forward, backward;
    double sum_forward = 0.0, sum_backward = 0.0;
    for (size_t i = 0; i < corners.size(); ++i) {
      const size_t at = ids.empty() ? i : size_t(ids[i]);
      forward.push_back((corners[i] - picture.truth[at]).norm());
      backward.push_back((corners[i] - picture.truth[n - 1 - at]).norm());
      sum_forward += forward.back(), sum_backward += backward.back();
    }
    const std::vector<double>& chosen = sum_forward <= sum_backward ? forward : backward;
    errors.insert(errors.end(), chosen.begin(), chosen.end());
  }
  state.counters["images"] = double(pictures().size());
  state.counters["found"] = found;
  setErrorCounters(state, &errors);
}

// camcal's corners with their places on the board (corners that did not
// converge in refinement are dropped) as ids in the board's order.
bool camcalStrategy(const cv::Mat& gray, std::vector<Eigen::Vector2d>* corners,
                    std::vector<int>* ids) {
  camcal::Board board;
  board.columns = kBoard.columns, board.rows = kBoard.rows, board.square_m = kBoard.square;
  camcal::ImageCorners found;
  if (!camcal::findBoard(gray, board, &found)) return false;
  *corners = found.image_points;
  ids->clear();
  for (const Eigen::Vector3d& t : found.target_points) {
    ids->push_back(int(std::lround(t.x() / kBoard.square)) +
                   kBoard.columns * int(std::lround(t.y() / kBoard.square)));
  }
  return true;
}

Detector openCvDetector(bool sector_based, int flags) {
  return [sector_based, flags](const cv::Mat& gray, std::vector<Eigen::Vector2d>* corners,
                               std::vector<int>*) {
    std::vector<cv::Point2f> found;
    const cv::Size pattern(kBoard.columns, kBoard.rows);
    const bool ok = sector_based ? cv::findChessboardCornersSB(gray, pattern, found, flags)
                                 : cv::findChessboardCorners(gray, pattern, found, flags);
    if (!ok) return false;
    if (!sector_based) {
      // The classic detector's own refinement, as OpenCV's samples call it.
      cv::cornerSubPix(gray, found, cv::Size(11, 11), cv::Size(-1, -1),
                       cv::TermCriteria(cv::TermCriteria::EPS + cv::TermCriteria::COUNT, 30, 0.01));
    }
    corners->clear();
    for (const cv::Point2f& p : found) corners->emplace_back(p.x, p.y);
    return true;
  };
}

// The benchmark's loop: the pictures in turn.
void timePerPicture(benchmark::State& state, const std::vector<Picture>& pictures,
                    const Detector& detect) {
  std::vector<Eigen::Vector2d> corners;
  std::vector<int> ids;
  size_t k = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(detect(pictures[k].gray, &corners, &ids));
    k = (k + 1) % pictures.size();
  }
}

// The loop of `ours`, then the OpenCV `peer` on the same pictures for as
// long, their ratio of times per picture as "vs_opencv".
void timeBesidePeer(benchmark::State& state, const std::vector<Picture>& pictures,
                    const Detector& ours, const Detector& peer) {
  const double begin = dravik::bench::threadCpuSeconds();
  timePerPicture(state, pictures, ours);
  const double elapsed = dravik::bench::threadCpuSeconds() - begin;
  std::vector<Eigen::Vector2d> corners;
  std::vector<int> ids;
  size_t k = 0;
  state.counters["vs_opencv"] =
      elapsed / double(state.iterations()) / dravik::bench::peerSecondsPerItem(1, elapsed, [&] {
        peer(pictures[k].gray, &corners, &ids);
        k = (k + 1) % pictures.size();
      });
}

void BM_CamcalStrategy(benchmark::State& state) {
  cv::setNumThreads(0);
  reportAccuracy(state, camcalStrategy);
  timeBesidePeer(state, pictures(), camcalStrategy, openCvDetector(true, cv::CALIB_CB_ACCURACY));
}
BENCHMARK(BM_CamcalStrategy)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_OpenCv(benchmark::State& state, bool sector_based, int flags) {
  cv::setNumThreads(0);
  const Detector detect = openCvDetector(sector_based, flags);
  reportAccuracy(state, detect);
  timePerPicture(state, pictures(), detect);
}
BENCHMARK_CAPTURE(BM_OpenCv, SB_ACCURACY, true, cv::CALIB_CB_ACCURACY)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_OpenCv, SB_NORMALIZE_ACCURACY, true,
                  cv::CALIB_CB_NORMALIZE_IMAGE | cv::CALIB_CB_ACCURACY)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_OpenCv, SB_none, true, 0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_OpenCv, SB_EXHAUSTIVE_ACCURACY, true,
                  cv::CALIB_CB_EXHAUSTIVE | cv::CALIB_CB_ACCURACY)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_OpenCv, classic_ADAPTIVE_THRESH_cornerSubPix, false,
                  cv::CALIB_CB_ADAPTIVE_THRESH | cv::CALIB_CB_NORMALIZE_IMAGE)
    ->Unit(benchmark::kMillisecond);

// ChArUco: the board of the README's example, its outer views pushed past
// the image's edges and corners, under the same imaging; camcal's finder
// against OpenCV's markers and interpolation alone, at full resolution.
// "corners" counts the corners found of the "visible" ones (inside the
// image); the errors are by corner id.
const camcal::Board& charucoBoard() {
  static const camcal::Board kCharuco =
      camcal::parseBoard("charuco:11x8:0.04:0.03:DICT_5X5_100", "");
  return kCharuco;
}

const std::vector<Picture>& charucoPictures() {
  static const std::vector<Picture> kPictures = [] {
    const camcal::Board& board = charucoBoard();
    const dravik::testing::CharucoPattern pattern(board.squares_x, board.squares_y, board.square_m,
                                                  board.marker_m, board.dictionary_id);
    const dravik::calibration::Lens& lens = renderer().lens();
    const double distance =
        dravik::testing::viewingDistance(lens, board.squares_x * board.square_m, true);
    return render(pattern, pattern.corners(),
                  dravik::testing::calibrationPoses(lens, pattern.corners(), distance, 15, true));
  }();
  return kPictures;
}

bool camcalCharuco(const cv::Mat& gray, std::vector<Eigen::Vector2d>* corners,
                   std::vector<int>* ids) {
  camcal::ImageCorners found;
  if (!camcal::findBoard(gray, charucoBoard(), &found)) return false;
  *corners = found.image_points;
  *ids = found.corner_ids;
  return true;
}

bool openCvCharuco(const cv::Mat& gray, std::vector<Eigen::Vector2d>* corners,
                   std::vector<int>* ids) {
  const camcal::Board& b = charucoBoard();
  const auto dictionary = cv::aruco::getPredefinedDictionary(b.dictionary_id);
  const auto board = cv::aruco::CharucoBoard::create(b.squares_x, b.squares_y, float(b.square_m),
                                                     float(b.marker_m), dictionary);
  std::vector<std::vector<cv::Point2f>> markers;
  std::vector<int> marker_ids;
  cv::aruco::detectMarkers(gray, dictionary, markers, marker_ids);
  std::vector<cv::Point2f> found;
  ids->clear();
  if (!marker_ids.empty()) {
    cv::aruco::interpolateCornersCharuco(markers, marker_ids, gray, board, found, *ids);
  }
  corners->clear();
  for (const cv::Point2f& p : found) corners->emplace_back(p.x, p.y);
  return ids->size() >= size_t(camcal::kLeastCharucoCorners);
}

void reportCharucoAccuracy(benchmark::State& state, const Detector& detect) {
  std::vector<double> errors;
  int found = 0, visible = 0;
  for (const Picture& picture : charucoPictures()) {
    for (const Eigen::Vector2d& p : picture.truth) {
      visible += p.x() >= 0 && p.y() >= 0 && p.x() <= 1279 && p.y() <= 959;
    }
    std::vector<Eigen::Vector2d> corners;
    std::vector<int> ids;
    if (!detect(picture.gray, &corners, &ids)) continue;
    ++found;
    for (size_t i = 0; i < corners.size(); ++i) {
      errors.push_back((corners[i] - picture.truth[size_t(ids[i])]).norm());
    }
  }
  state.counters["images"] = double(charucoPictures().size());
  state.counters["found"] = found;
  state.counters["corners"] = double(errors.size());
  state.counters["visible"] = visible;
  setErrorCounters(state, &errors);
}

void BM_CamcalCharucoCut(benchmark::State& state) {
  cv::setNumThreads(0);
  reportCharucoAccuracy(state, camcalCharuco);
  timeBesidePeer(state, charucoPictures(), camcalCharuco, openCvCharuco);
}
BENCHMARK(BM_CamcalCharucoCut)->Unit(benchmark::kMillisecond);

void BM_OpenCvCharucoCut(benchmark::State& state) {
  cv::setNumThreads(0);
  reportCharucoAccuracy(state, openCvCharuco);
  timePerPicture(state, charucoPictures(), openCvCharuco);
}
BENCHMARK(BM_OpenCvCharucoCut)->Unit(benchmark::kMillisecond);

}  // namespace
