#include "threads.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <string>
#include <vector>

#include "error.hpp"

namespace quenlith::threads {
namespace {

// Every worker runs and is joined before the call returns, and of several failures the caller
// sees the lowest-numbered worker's, whatever order they happened in.
TEST(RunWorkers, JoinsEveryWorkerAndRethrowsTheFirstFailureInWorkerOrder) {
  for (const unsigned n : {1u, 2u, 8u}) {
    std::atomic<unsigned> ran{0};
    try {
      run_workers(n, [&](unsigned i) {
        ++ran;
        if (i == n - 1) throw IndexError::automaton("worker " + std::to_string(i));
        if (i == n / 2 && n > 2) throw Panic("worker " + std::to_string(i));
      });
      FAIL() << "no failure came back";
    } catch (const Panic& e) {
      EXPECT_GT(n, 2u);
      EXPECT_STREQ(e.what(), ("worker " + std::to_string(n / 2)).c_str());
    } catch (const IndexError& e) {
      EXPECT_LE(n, 2u);
      EXPECT_EQ(e.message(), "worker " + std::to_string(n - 1));
    }
    EXPECT_EQ(ran.load(), n);
  }
}

TEST(RunWorkers, RangesCoverEveryItemOnceForAnyThreadCount) {
  for (const std::uint64_t n : {0ull, 1ull, 131071ull, 131072ull, 1000003ull}) {
    for (const unsigned threads : {0u, 1u, 3u, 16u}) {
      std::vector<std::uint8_t> seen(n, 0);
      for_ranges(n, threads, [&](std::uint64_t lo, std::uint64_t hi, unsigned) {
        for (std::uint64_t i = lo; i < hi; ++i) ++seen[i];
      });
      EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), static_cast<std::ptrdiff_t>(n))
          << n << " items on " << threads << " threads";
    }
    for (const std::uint64_t parts : {1ull, 7ull}) {
      std::uint64_t next = 0;
      for (std::uint64_t r = 0; r < parts; ++r) {
        const auto [lo, hi] = part(n, parts, r);
        EXPECT_EQ(lo, next);
        EXPECT_LE(hi - lo, n / parts + 1);
        next = hi;
      }
      EXPECT_EQ(next, n);
    }
  }
}

// A worker's panic is raised again under the caller's message; a thread that could not start
// keeps its own text, and an `IndexError` passes as it is.
TEST(RunWorkersOrPanic, RewrapsOnlyTheWorkersOwnPanics) {
  const auto failure_of = [](auto thrown) -> std::string {
    try {
      run_workers_or_panic(4, "this work cannot panic", [&](unsigned i) {
        if (i == 2) throw thrown;
      });
    } catch (const IndexError& e) {
      return "IndexError: " + e.display();
    } catch (const Panic& e) {
      return std::string("Panic: ") + e.what();
    }
    return "none";
  };
  EXPECT_EQ(failure_of(Panic("an invariant")), "Panic: this work cannot panic");
  EXPECT_EQ(failure_of(SpawnFailed()), "Panic: failed to spawn thread");
  EXPECT_EQ(failure_of(IndexError::format("bad bytes")), "IndexError: format error: bad bytes");
}

// The system refuses a thread when its stack does not fit the address space left: in a child
// process whose address-space limit leaves less than a stack's room, starting workers is the
// spawn panic, after the call has joined whatever did start.
TEST(RunWorkers, AThreadTheSystemRefusesIsTheSpawnPanic) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers' shadow memory does not fit under an address-space limit";
#endif
  const pid_t child = ::fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    std::uint64_t vm_kib = 0;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
      if (line.starts_with("VmSize:")) vm_kib = std::stoull(line.substr(7));
    const rlim_t cap = (vm_kib << 10) + (1 << 20);
    const struct rlimit limit = {cap, RLIM_INFINITY};
    if (vm_kib == 0 || ::setrlimit(RLIMIT_AS, &limit) != 0) ::_exit(3);
    try {
      // More workers than the C library keeps freed stacks for reuse: some need a new stack.
      run_workers(64, [](unsigned) {});
    } catch (const SpawnFailed& e) {
      ::_exit(std::string(e.what()) == "failed to spawn thread" ? 0 : 4);
    } catch (...) {
      ::_exit(5);
    }
    ::_exit(6);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "3: no limit set, 4: another text, 5: another failure, "
                                       "6: every thread started";
}

}  // namespace
}  // namespace quenlith::threads
