// A benchmark's time per item over a peer's (OpenCV's), measured in the same
// run on the same data: the peer runs right after the benchmark's own loop,
// for about as long, so that both see the same state of the machine. The
// ratio is reported as the counter "vs_opencv" (below 1 where this library
// is faster) and aggregated over repetitions like the times.
#pragma once

#include <benchmark/benchmark.h>
#include <time.h>

#include <cstdint>
#include <type_traits>

namespace dravik {
namespace bench {

// CPU seconds spent by the calling thread.
inline double threadCpuSeconds() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return double(now.tv_sec) + 1e-9 * double(now.tv_nsec);
}

// The CPU time per item of run(), which processes `items` items a call,
// called until at least `min_seconds` have passed.
template <typename Run>
double peerSecondsPerItem(int64_t items, double min_seconds, Run run) {
  const double begin = threadCpuSeconds();
  int64_t calls = 0;
  double elapsed = 0.0;
  do {
    run();
    ++calls;
    elapsed = threadCpuSeconds() - begin;
  } while (elapsed < min_seconds);
  return elapsed / double(calls * items);
}

// No peer: the benchmark runs alone (a build without OpenCV).
struct NoPeer {};

// Runs the benchmark loop body(), which processes `items` items an
// iteration. With a peer (a default-constructible callable that processes
// peer.items() items a call), runs the peer right after for as long as the
// loop took, and sets the counter "vs_opencv" to the loop's time per item
// over the peer's.
template <typename Peer, typename Body>
void runBesidePeer(benchmark::State& state, int64_t items, Body body) {
  if constexpr (std::is_same_v<Peer, NoPeer>) {
    for (auto _ : state) body();
  } else {
    Peer peer;
    const double begin = threadCpuSeconds();
    for (auto _ : state) body();
    const double elapsed = threadCpuSeconds() - begin;
    const double ours = elapsed / double(int64_t(state.iterations()) * items);
    state.counters["vs_opencv"] = ours / peerSecondsPerItem(peer.items(), elapsed, [&] { peer(); });
  }
}

}  // namespace bench
}  // namespace dravik
