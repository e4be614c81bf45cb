// Board corners on images: OpenCV's chessboard detector, one image per
// thread.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <exception>
#include <mutex>
#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <thread>

#include "calibrate_corners.h"
#include "cli/command_error.h"
#include "cli/options.h"
#include "image/image_codec.h"
#include "inputs/calibration_input.h"

namespace camcal {

namespace {

// What one worker learnt about one image.
struct Detection {
  ImageCorners corners;
  int width = 0, height = 0;
  std::string error;  // the image could not be read: the whole command fails
};

// The board's inner corners on the gray image, sub-pixel, row by row.
bool findBoard(const Image& image, const Board& board, std::vector<Eigen::Vector2d>* points) {
  const int type = image.channels == 1 ? CV_8UC1 : image.channels == 3 ? CV_8UC3 : CV_8UC4;
  // The pixels are only read: the header shares them without a copy.
  const cv::Mat view(image.height, image.width, type,
                     const_cast<std::uint8_t*>(image.pixels.data()));
  cv::Mat gray;
  if (image.channels == 1) {
    gray = view;
  } else {
    cv::cvtColor(view, gray, image.channels == 3 ? cv::COLOR_RGB2GRAY : cv::COLOR_RGBA2GRAY);
  }
  std::vector<cv::Point2f> found;
  const int flags = cv::CALIB_CB_NORMALIZE_IMAGE | cv::CALIB_CB_ACCURACY;
  if (!cv::findChessboardCornersSB(gray, cv::Size(board.columns, board.rows), found, flags)) {
    return false;
  }
  for (const cv::Point2f& p : found) points->emplace_back(p.x, p.y);
  return true;
}

Detection detect(const std::string& path, const Board& board) {
  Detection result;
  result.corners.name = path;
  Image image;
  try {
    const InputFile input = readInput(path);
    std::string reason;
    if (!decodeImage(input.data, WantedSize{}, &image, &reason)) {
      result.error = path + ": " + reason;
      return result;
    }
  } catch (const std::exception& e) {
    result.error = e.what();
    return result;
  }
  result.width = image.width;
  result.height = image.height;
  try {
    result.corners.found = findBoard(image, board, &result.corners.image_points);
  } catch (const cv::Exception& e) {
    result.corners.found = false;
  }
  if (!result.corners.found) {
    result.corners.image_points.clear();
    result.corners.reason =
        "no " + std::to_string(board.columns) + "x" + std::to_string(board.rows) + " board found";
    return result;
  }
  for (int r = 0; r < board.rows; ++r) {
    for (int c = 0; c < board.columns; ++c) {
      result.corners.target_points.emplace_back(c * board.square_m, r * board.square_m, 0.0);
    }
  }
  return result;
}

}  // namespace

int detectionThreads() {
  return std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
}

CornerSet detectBoardCorners(const std::vector<std::string>& paths, const Board& board, int threads,
                             bool progress) {
  // The detector's own threads would only compete with ours.
  cv::setNumThreads(0);
  const int count = static_cast<int>(paths.size());
  std::vector<Detection> detections(paths.size());
  std::atomic<int> next{0};
  std::atomic<int> done{0};
  std::mutex progress_mutex;
  const auto work = [&] {
    for (int i = next++; i < count; i = next++) {
      detections[size_t(i)] = detect(paths[size_t(i)], board);
      const int finished = ++done;
      if (progress) {
        const std::lock_guard<std::mutex> lock(progress_mutex);
        std::fprintf(stderr, "\rdetected %d/%d", finished, count);
        std::fflush(stderr);
      }
    }
  };
  std::vector<std::thread> workers;
  const int worker_count = std::max(1, std::min(threads, count));
  for (int t = 1; t < worker_count; ++t) workers.emplace_back(work);
  work();
  for (std::thread& worker : workers) worker.join();
  if (progress && count > 0) std::fputc('\n', stderr);

  CornerSet corners;
  for (size_t i = 0; i < detections.size(); ++i) {
    Detection& detection = detections[i];
    if (!detection.error.empty()) throw operationError(detection.error);
    if (i == 0) {
      corners.width = detection.width;
      corners.height = detection.height;
    } else if (detection.width != corners.width || detection.height != corners.height) {
      throw operationError(
          paths[i] + ": the image is " + formatImageSize(detection.width, detection.height) +
          ", not " + formatImageSize(corners.width, corners.height) + " as " + paths[0] + " is");
    }
    corners.images.push_back(std::move(detection.corners));
  }
  return corners;
}

}  // namespace camcal
