// Board corners on image files: every file checked first, then the board
// searched on each image of the common size, one image per thread.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <exception>
#include <functional>
#include <map>
#include <mutex>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <thread>

#include "board_finder.h"
#include "calibrate_corners.h"
#include "cli/command_error.h"
#include "cli/options.h"
#include "image/image_codec.h"
#include "inputs/calibration_input.h"

namespace camcal {

namespace {

// The image of a file, or why it cannot be used (empty when it can).
std::string decodeFile(const std::string& path, Image* image) {
  try {
    const InputFile input = readInput(path);
    std::string reason;
    if (!decodeImage(input.data, WantedSize{}, image, &reason)) return path + ": " + reason;
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

// The gray image, sharing the pixels of a gray one.
cv::Mat grayOf(const Image& image) {
  const int type = image.channels == 1 ? CV_8UC1 : image.channels == 3 ? CV_8UC3 : CV_8UC4;
  // The pixels are only read: the header shares them without a copy.
  const cv::Mat view(image.height, image.width, type,
                     const_cast<std::uint8_t*>(image.pixels.data()));
  if (image.channels == 1) return view;
  cv::Mat gray;
  cv::cvtColor(view, gray, image.channels == 3 ? cv::COLOR_RGB2GRAY : cv::COLOR_RGBA2GRAY);
  return gray;
}

// Runs work(i) for i in [0, count) on up to `threads` threads, the calling
// one included; `finished(k)` after each, k of count done, under a lock.
void forEachImage(int count, int threads, const std::function<void(int)>& work,
                  const std::function<void(int)>& finished) {
  std::atomic<int> next{0};
  std::atomic<int> done{0};
  std::mutex finished_mutex;
  const auto worker = [&] {
    for (int i = next++; i < count; i = next++) {
      work(i);
      const int k = ++done;
      const std::lock_guard<std::mutex> lock(finished_mutex);
      finished(k);
    }
  };
  std::vector<std::thread> workers;
  const int worker_count = std::max(1, std::min(threads, count));
  for (int t = 1; t < worker_count; ++t) workers.emplace_back(worker);
  worker();
  for (std::thread& w : workers) w.join();
}

// Image sizes in order, for counting them.
struct SizeOrder {
  bool operator()(const ImageSize& a, const ImageSize& b) const {
    return a.width != b.width ? a.width < b.width : a.height < b.height;
  }
};
using SizeCounts = std::map<ImageSize, int, SizeOrder>;

// The size most images have; an operation error when two sizes tie.
ImageSize commonSize(const std::vector<ImageSize>& sizes, const std::vector<std::string>& paths,
                     SizeCounts* counts) {
  for (const ImageSize& size : sizes) ++(*counts)[size];
  ImageSize common{0, 0};
  int most = 0, sizes_with_most = 0;
  for (const auto& [size, count] : *counts) {
    if (count > most) common = size, most = count, sizes_with_most = 0;
    if (count == most) ++sizes_with_most;
  }
  if (sizes_with_most == 1) return common;
  for (size_t i = 0; i < sizes.size(); ++i) {
    if (sizes[i].width != sizes[0].width || sizes[i].height != sizes[0].height) {
      throw operationError(paths[i] + ": the image is " +
                           formatImageSize(sizes[i].width, sizes[i].height) + ", not " +
                           formatImageSize(sizes[0].width, sizes[0].height) + " as " + paths[0] +
                           " is, and no size is the most common (" + std::to_string(most) +
                           " images of each of " + std::to_string(sizes_with_most) + " sizes)");
    }
  }
  return common;
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

  // Every file first: one that cannot be used stops the command before any
  // board is searched, and the error names them all.
  std::vector<std::string> errors(paths.size());
  std::vector<ImageSize> sizes(paths.size());
  forEachImage(
      count, threads,
      [&](int i) {
        Image image;
        errors[size_t(i)] = decodeFile(paths[size_t(i)], &image);
        sizes[size_t(i)] = {image.width, image.height};
      },
      [](int) {});
  std::string unusable;
  int unusable_count = 0;
  for (const std::string& error : errors) {
    if (error.empty()) continue;
    unusable += (unusable.empty() ? "" : "; ") + error;
    ++unusable_count;
  }
  if (unusable_count == 1) throw operationError(unusable);
  if (unusable_count > 1) {
    throw operationError(std::to_string(unusable_count) + " images cannot be used: " + unusable);
  }

  SizeCounts counts;
  const ImageSize common = commonSize(sizes, paths, &counts);
  CornerSet corners;
  corners.width = common.width;
  corners.height = common.height;
  corners.images.resize(paths.size());
  forEachImage(
      count, threads,
      [&](int i) {
        ImageCorners& image_corners = corners.images[size_t(i)];
        image_corners.name = paths[size_t(i)];
        const ImageSize& size = sizes[size_t(i)];
        if (size.width != common.width || size.height != common.height) {
          image_corners.reason = formatImageSize(size.width, size.height) + ", not the " +
                                 formatImageSize(common.width, common.height) + " of " +
                                 std::to_string(counts[common]) + " other image" +
                                 (counts[common] == 1 ? "" : "s");
          return;
        }
        Image image;
        const std::string error = decodeFile(paths[size_t(i)], &image);
        if (!error.empty()) {
          // Changed since it was checked: the image is skipped.
          image_corners.reason = error;
          return;
        }
        image_corners.found = findBoard(grayOf(image), board, &image_corners);
      },
      [&](int finished) {
        if (!progress) return;
        std::fprintf(stderr, "\rdetected %d/%d", finished, count);
        std::fflush(stderr);
      });
  if (progress && count > 0) std::fputc('\n', stderr);
  return corners;
}

}  // namespace camcal
