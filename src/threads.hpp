// Scoped worker threads.
//
// `run_workers` starts n workers, joins every one of them before it returns, and rethrows in the
// caller the exception of the lowest-numbered worker that failed (an `IndexError`, a `Panic` or
// anything else), so no thread outlives the call and no failure is lost.
#pragma once

#include <exception>
#include <functional>
#include <thread>
#include <vector>

namespace quenlith::threads {

// The number of online processors, 1 when it cannot be read.
unsigned available();

// Calls f(i) for i in [0, n) on n threads (inline when n <= 1), joins them all, then rethrows the
// first failure in worker order.
void run_workers(unsigned n, const std::function<void(unsigned)>& f);

}  // namespace quenlith::threads
