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
// right after it in the same run.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <functional>
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

const std::vector<Picture>& pictures() {
  static const std::vector<Picture> kPictures = [] {
    dravik::calibration::CameraParametersSet cameras;
    cameras.loadFromFile(std::string(CAMERA_PARAMETERS_SOURCE_DIR) +
                         "/tests/camcal/data/robot_calibration.txt");
    const dravik::calibration::Lens lens = cameras.getCamera("navigation")->getLens(1280, 960);
    const dravik::testing::BoardRenderer renderer(lens, 2);
    const double distance = 1.4 * (kBoard.columns + 1) * kBoard.square * lens.K(0, 0) / lens.width;
    const std::vector<Eigen::Matrix4d> poses =
        dravik::testing::calibrationPoses(lens, kBoard, distance, 15, false);
    std::vector<Picture> result;
    for (size_t k = 0; k < poses.size(); ++k) {
      const std::vector<double> shading =
          renderer.renderPattern(dravik::testing::ChessboardPattern{kBoard}, poses[k]);
      result.push_back({dravik::testing::takePicture(shading, lens.width, lens.height,
                                                     imagingOf(int(k)), unsigned(k + 1)),
                        dravik::testing::boardCorners(lens, kBoard, poses[k])});
    }
    return result;
  }();
  return kPictures;
}

// A detector: the corners of the board on a picture, or false.
using Detector = std::function<bool(const cv::Mat&, std::vector<Eigen::Vector2d>*)>;

// The boards found and the errors of their corners against the truth (in
// the detector's order or reversed: a chessboard's corners may be found from
// either end).
void reportAccuracy(benchmark::State& state, const Detector& detect) {
  std::vector<double> errors;
  int found = 0;
  for (const Picture& picture : pictures()) {
    std::vector<Eigen::Vector2d> corners;
    if (!detect(picture.gray, &corners) || corners.size() != picture.truth.size()) continue;
    ++found;
    std::vector<double> forward, backward;
    double sum_forward = 0.0, sum_backward = 0.0;
    for (size_t i = 0; i < corners.size(); ++i) {
      forward.push_back((corners[i] - picture.truth[i]).norm());
      backward.push_back((corners[i] - picture.truth[corners.size() - 1 - i]).norm());
      sum_forward += forward.back(), sum_backward += backward.back();
    }
    const std::vector<double>& chosen = sum_forward <= sum_backward ? forward : backward;
    errors.insert(errors.end(), chosen.begin(), chosen.end());
  }
  double squares = 0.0;
  for (const double e : errors) squares += e * e;
  std::sort(errors.begin(), errors.end());
  state.counters["images"] = double(pictures().size());
  state.counters["found"] = found;
  state.counters["rms_px"] = errors.empty() ? 0.0 : std::sqrt(squares / double(errors.size()));
  state.counters["p99_px"] =
      errors.empty() ? 0.0 : errors[size_t(0.99 * double(errors.size() - 1))];
}

bool camcalStrategy(const cv::Mat& gray, std::vector<Eigen::Vector2d>* corners) {
  camcal::Board board;
  board.columns = kBoard.columns, board.rows = kBoard.rows, board.square_m = kBoard.square;
  camcal::ImageCorners found;
  if (!camcal::findBoard(gray, board, &found)) return false;
  *corners = found.image_points;
  return true;
}

Detector openCvDetector(bool sector_based, int flags) {
  return [sector_based, flags](const cv::Mat& gray, std::vector<Eigen::Vector2d>* corners) {
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

void timePerPicture(benchmark::State& state, const Detector& detect) {
  std::vector<Eigen::Vector2d> corners;
  size_t k = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(detect(pictures()[k].gray, &corners));
    k = (k + 1) % pictures().size();
  }
}

void BM_CamcalStrategy(benchmark::State& state) {
  cv::setNumThreads(0);
  reportAccuracy(state, camcalStrategy);
  const double begin = dravik::bench::threadCpuSeconds();
  timePerPicture(state, camcalStrategy);
  const double elapsed = dravik::bench::threadCpuSeconds() - begin;
  const double ours = elapsed / double(state.iterations());
  const Detector peer = openCvDetector(true, cv::CALIB_CB_ACCURACY);
  std::vector<Eigen::Vector2d> corners;
  size_t k = 0;
  state.counters["vs_opencv"] = ours / dravik::bench::peerSecondsPerItem(1, elapsed, [&] {
                                  peer(pictures()[k].gray, &corners);
                                  k = (k + 1) % pictures().size();
                                });
}
BENCHMARK(BM_CamcalStrategy)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_OpenCv(benchmark::State& state, bool sector_based, int flags) {
  cv::setNumThreads(0);
  const Detector detect = openCvDetector(sector_based, flags);
  reportAccuracy(state, detect);
  timePerPicture(state, detect);
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

}  // namespace
