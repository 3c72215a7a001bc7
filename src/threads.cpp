#include "threads.hpp"

#include <unistd.h>

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
    } catch (...) {
      spawn_failure = std::current_exception();
      break;
    }
  }
  for (auto& w : workers) w.join();
  for (auto& e : failures)
    if (e) std::rethrow_exception(e);
  if (spawn_failure) std::rethrow_exception(spawn_failure);
}

}  // namespace quenlith::threads
