// Scoped worker threads.
//
// `run_workers` starts n workers, joins every one of them before it returns, and rethrows in the
// caller the exception of the lowest-numbered worker that failed (an `IndexError`, a `Panic` or
// anything else), so no thread outlives the call and no failure is lost. The helpers below cut
// work into ranges for it; none of them lets a result depend on the number of workers.
//
// A worker thread that the system refuses to start (a process or memory limit) is the fatal
// error `SpawnFailed`, "failed to spawn thread": it ranks in worker order at the first worker
// that did not start, after the failures of the workers started before it, which are joined first.
#pragma once

#include <algorithm>
#include <cstdint>
#include <exception>
#include <functional>
#include <thread>
#include <utility>
#include <vector>

#include "error.hpp"

namespace quenlith::threads {

// The panic of a worker thread that could not be started.
class SpawnFailed : public Panic {
 public:
  SpawnFailed() : Panic("failed to spawn thread") {}
};

// The number of online processors, 1 when it cannot be read.
unsigned available();

// Calls f(i) for i in [0, n) on n threads (inline when n <= 1), joins them all, then rethrows the
// first failure in worker order.
void run_workers(unsigned n, const std::function<void(unsigned)>& f);

// `run_workers`, with a worker's panic raised again as the panic `message`, for work whose
// workers cannot panic unless an invariant broke. A thread that could not be started stays
// `SpawnFailed`: its text says what went wrong, and the work itself is not at fault.
void run_workers_or_panic(unsigned n, const char* message,
                          const std::function<void(unsigned)>& f);

// Range r of `parts` near-equal consecutive ranges covering [0, n): the first n % parts ranges
// hold one item more than the others. `parts` must be at least 1 and r below it.
inline std::pair<std::uint64_t, std::uint64_t> part(std::uint64_t n, std::uint64_t parts,
                                                    std::uint64_t r) noexcept {
  const std::uint64_t q = n / parts;
  const std::uint64_t rem = n % parts;
  const std::uint64_t lo = r * q + std::min(r, rem);
  return {lo, lo + q + (r < rem ? 1 : 0)};
}

// How many workers share `n` items: `threads` (0 counts as 1), but never so many that one gets
// fewer than `min_per_worker` items, and always at least 1.
inline unsigned workers_for(std::uint64_t n, unsigned threads,
                            std::uint64_t min_per_worker) noexcept {
  return static_cast<unsigned>(std::max<std::uint64_t>(
      1, std::min<std::uint64_t>(std::max(threads, 1u), n / min_per_worker)));
}

// Runs f(lo, hi, r) over consecutive ranges r = 0, 1, ... (at most max(threads, 1) of them)
// covering [0, n): on the calling thread for fewer than 131,072 items or one thread, else one
// range of at least 65,536 items per worker thread. For per-item work whose result does not
// depend on how the range is cut.
void for_ranges(std::uint64_t n, unsigned threads,
                const std::function<void(std::uint64_t, std::uint64_t, unsigned)>& f);

}  // namespace quenlith::threads
