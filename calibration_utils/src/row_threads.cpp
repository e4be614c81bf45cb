#include "row_threads.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace dravik {
namespace calibration {

namespace {

constexpr int kRangesPerThread = 8;

// Tasks of every caller in one queue, run by the first free worker; one lock
// for all, held only to take a task or to count one done.
class WorkerPool {
 public:
  struct Call {
    int remaining = 0;
  };
  struct Task {
    std::function<void()> run;
    Call* call;
  };

  ~WorkerPool() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    ready_.notify_all();
    for (std::thread& worker : workers_) worker.join();
  }

  // Runs tasks[1..] on `threads` - 1 workers and tasks[0] here, then
  // whatever of this call's tasks is still waiting, and returns when all are
  // done.
  void run(std::vector<std::function<void()>>& tasks, int threads) {
    Call call;
    call.remaining = int(tasks.size()) - 1;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      while (int(workers_.size()) + 1 < threads) workers_.emplace_back([this] { work(); });
      for (size_t i = 1; i < tasks.size(); ++i) queue_.push_back({std::move(tasks[i]), &call});
    }
    ready_.notify_all();
    tasks[0]();
    std::unique_lock<std::mutex> lock(mutex_);
    while (call.remaining > 0) {
      const auto mine = std::find_if(queue_.begin(), queue_.end(),
                                     [&](const Task& task) { return task.call == &call; });
      if (mine == queue_.end()) {
        done_.wait(lock);
        continue;
      }
      Task task = std::move(*mine);
      queue_.erase(mine);
      lock.unlock();
      task.run();
      lock.lock();
      --call.remaining;
    }
  }

 private:
  void work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      ready_.wait(lock, [this] { return stop_ || !queue_.empty(); });
      if (queue_.empty()) return;  // stopping
      Task task = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      task.run();
      lock.lock();
      --task.call->remaining;
      done_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable ready_, done_;
  std::deque<Task> queue_;
  std::vector<std::thread> workers_;
  bool stop_ = false;
};

}  // namespace

int everyCoreThreadCount() { return std::max(1, int(std::thread::hardware_concurrency())); }

void forRowRanges(int rows, int threads, const std::function<void(int begin, int end)>& work) {
  threads = std::max(1, std::min(threads, rows));
  if (threads == 1) {
    work(0, rows);
    return;
  }
  // Several ranges a thread, taken by whichever thread is free: a thread
  // that the scheduler holds back (another process on its core) leaves its
  // share to the others instead of holding up the frame.
  const int parts = std::min(rows, threads * kRangesPerThread);
  std::vector<std::function<void()>> tasks;
  for (int p = 0; p < parts; ++p) {
    const int begin = int(std::int64_t(rows) * p / parts);
    const int end = int(std::int64_t(rows) * (p + 1) / parts);
    tasks.emplace_back([&work, begin, end] { work(begin, end); });
  }
  static WorkerPool pool;
  pool.run(tasks, threads);
}

}  // namespace calibration
}  // namespace dravik
