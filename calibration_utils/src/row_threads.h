// Work over the rows of an image split among threads: contiguous ranges of
// rows, one per thread, the first on the calling thread and the others on
// worker threads kept for the life of the process (started when first
// needed), so that a frame does not pay for starting threads.
#pragma once

#include <functional>

namespace dravik {
namespace calibration {

// The threads "every core" stands for: the processor's hardware threads, at least 1.
int everyCoreThreadCount();

// Calls work(begin, end) for `parts` contiguous ranges covering [0, rows),
// in parallel, and returns when every range is done. The ranges depend on
// rows and parts only. The caller runs the first range and, while it waits,
// any range no worker has taken yet, so the call finishes even where the
// workers cannot run (a process forked from one that had them).
void forRowRanges(int rows, int parts, const std::function<void(int begin, int end)>& work);

}  // namespace calibration
}  // namespace dravik
