// The mutable state of the iterator classes and `Overlay`: a value behind a mutex that is never
// waited for while the interpreter lock is held, and that a panic poisons for good.
//
// Lock order: the interpreter lock first, then the mutex. `lock` tries the mutex without blocking;
// when it is busy it releases the interpreter lock, waits, and retakes the interpreter lock once
// the mutex is held. A thread that holds the mutex may release and retake the interpreter lock
// (`without_gil`) but releases the mutex last, so the two locks cannot deadlock.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <utility>

#include "error.hpp"
#include "py.hpp"

namespace quenlith::python {

template <class State>
class Guarded {
 public:
  // `poisoned_message` is the panic every call makes once the state is poisoned, word for word.
  // The state is made in place from `args`.
  template <class... Args>
  explicit Guarded(const char* poisoned_message, Args&&... args)
      : state_(std::forward<Args>(args)...), poisoned_message_(poisoned_message) {}
  Guarded(const Guarded&) = delete;
  Guarded& operator=(const Guarded&) = delete;

  // Runs `body(state)` with the mutex held (the interpreter lock held on entry and on exit) and
  // returns its result. A `Panic`, an allocation failure or any other escape but a Python
  // exception already set or an `IndexError` poisons the state before the mutex is released.
  template <class F>
  decltype(auto) with(F&& body) {
    if (!mutex_.try_lock()) without_gil([&] { mutex_.lock(); });
    std::unique_lock held(mutex_, std::adopt_lock);
    if (poisoned_.load(std::memory_order_relaxed))
      throw Panic(poisoned_message_);
    try {
      return std::forward<F>(body)(state_);
    } catch (const ErrorAlreadySet&) {
      throw;
    } catch (const IndexError&) {
      throw;
    } catch (...) {
      poisoned_.store(true, std::memory_order_relaxed);
      throw;
    }
  }

 private:
  std::mutex mutex_;
  std::atomic<bool> poisoned_{false};
  State state_;
  const char* poisoned_message_;
};

}  // namespace quenlith::python
