#include "threads.hpp"

#include <unistd.h>

#include <system_error>

namespace quenlith::threads {

unsigned available() {
  long n = ::sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<unsigned>(n) : 1u;
}

void run_workers(unsigned n, const std::function<void(unsigned)>& f) {
  if (n <= 1) {
    f(0);
    return;
  }
  std::vector<std::exception_ptr> failures(n);
  std::vector<std::thread> workers;
  workers.reserve(n);
  std::exception_ptr spawn_failure;
  for (unsigned i = 0; i < n; ++i) {
    try {
      workers.emplace_back([&, i] {
        try {
          f(i);
        } catch (...) {
          failures[i] = std::current_exception();
        }
      });
    } catch (const std::system_error&) {
      spawn_failure = std::make_exception_ptr(SpawnFailed());
      break;
    } catch (...) {
      spawn_failure = std::current_exception();  // the thread's state could not be allocated
      break;
    }
  }
  for (auto& w : workers) w.join();
  for (auto& e : failures)
    if (e) std::rethrow_exception(e);
  if (spawn_failure) std::rethrow_exception(spawn_failure);
}

void run_workers_or_panic(unsigned n, const char* message,
                          const std::function<void(unsigned)>& f) {
  try {
    run_workers(n, f);
  } catch (const SpawnFailed&) {
    throw;
  } catch (const Panic&) {
    panic(message);
  }
}

void for_ranges(std::uint64_t n, unsigned threads,
                const std::function<void(std::uint64_t, std::uint64_t, unsigned)>& f) {
  // A thread is worth starting for this many items of per-item work, not fewer.
  constexpr std::uint64_t kMinPerThread = 65536;
  std::uint64_t t = std::max(threads, 1u);
  t = std::min<std::uint64_t>(t, std::max<std::uint64_t>(n / kMinPerThread, 1));
  if (t == 1) {
    f(0, n, 0);
    return;
  }
  const std::uint64_t chunk = (n + t - 1) / t;
  run_workers(static_cast<unsigned>(t), [&](unsigned i) {
    const std::uint64_t lo = std::min(n, i * chunk);
    f(lo, std::min(n, lo + chunk), i);
  });
}

}  // namespace quenlith::threads
