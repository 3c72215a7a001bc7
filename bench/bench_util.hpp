// Timing helpers shared by the benchmarks.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>

namespace bench {

using Clock = std::chrono::steady_clock;

// Keeps results alive so the optimiser cannot drop the measured work.
inline volatile std::uint64_t g_sink;

// The best wall time of `reps` runs of `f`, in seconds.
template <class F>
double best_of(int reps, F&& f) {
  double best = 1e30;
  for (int r = 0; r < reps; ++r) {
    const auto t0 = Clock::now();
    f();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count());
  }
  return best;
}

}  // namespace bench
