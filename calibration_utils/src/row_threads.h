// Work over the rows of an image split among threads: contiguous ranges of
// rows, several per thread, taken by the calling thread and by worker
// threads kept for the life of the process (started when first needed), so
// that a frame does not pay for starting threads.
#pragma once

#include <functional>

namespace dravik {
namespace calibration {

// The threads "every core" stands for: the processor's hardware threads, at least 1.
int everyCoreThreadCount();

// Calls work(begin, end) for contiguous ranges covering [0, rows), on
// `threads` threads in parallel (the calling thread one of them), and
// returns when every range is done. The ranges depend on rows and threads
// only. The caller runs the first range and, while it waits, any range no
// worker has taken yet, so the call finishes even where the workers cannot
// run (a process forked from one that had them).
void forRowRanges(int rows, int threads, const std::function<void(int begin, int end)>& work);

}  // namespace calibration
}  // namespace dravik
