#include "scratch.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <map>
#include <mutex>
#include <string>
#include <system_error>

#include "error.hpp"
#include "fileio.hpp"

namespace quenlith::scratch {

namespace {

struct Item {
  std::filesystem::path path;
  Kind kind;
};

// The process-wide list. Entries are numbered from 1 in the order they are made; the clean-up
// removes them in the reverse order.
struct Registry {
  std::mutex lock;
  std::map<std::uint64_t, Item> items;
  std::uint64_t next = 1;
};

Registry& registry() {
  static Registry r;
  return r;
}

void remove_item(const Item& item) noexcept {
  if (item.kind == Kind::File) {
    ::unlink(item.path.c_str());
    return;
  }
  // A worker may still be adding a file to the tree while it is removed, which makes the final
  // rmdir fail: try again a few times.
  for (int attempt = 0; attempt < 4; ++attempt) {
    std::error_code ignored;
    std::filesystem::remove_all(item.path, ignored);
    if (!ignored) return;
  }
}

// Removes what each entry names, newest first; the caller holds the list's lock.
void remove_entries(const Registry& r, const std::function<void()>& after_each) {
  for (auto at = r.items.rbegin(); at != r.items.rend(); ++at) {
    remove_item(at->second);
    if (after_each) after_each();
  }
}

// ---- Signals ----

constexpr std::array<int, 3> kSignals = {SIGINT, SIGTERM, SIGHUP};

// The watcher's pipe, made once and never closed, so a handler that read the descriptor can never
// write into a descriptor reused for something else. Both ends are non-blocking.
std::atomic<int> g_write_fd{-1};
int g_read_fd = -1;
std::mutex g_pipe_lock;
std::array<struct sigaction, kSignals.size()> g_old{};

// The handler only wakes the watcher: writing one byte to a pipe is async-signal-safe, and the
// clean-up itself then runs on an ordinary thread. A full pipe already holds a wake-up.
extern "C" void on_signal(int signal) {
  const int saved = errno;
  const int fd = g_write_fd.load(std::memory_order_relaxed);
  if (fd >= 0) {
    const auto byte = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
  }
  errno = saved;
}

// A descriptor at 3 or above for `fd`: a process started with a standard stream closed must not
// find the watcher's pipe in that stream's place. -1 when none can be had.
int above_standard(int fd) {
  if (fd < 0 || fd > 2) return fd;
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  ::close(fd);
  return moved;
}

// Makes the pipe unless it is there; false when it cannot be made (errno says why).
bool make_pipe() {
  std::lock_guard guard(g_pipe_lock);
  if (g_read_fd >= 0) return true;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  const int read_fd = above_standard(fds[0]);
  const int write_fd = above_standard(fds[1]);
  if (read_fd < 0 || write_fd < 0) {
    const int error = errno;
    if (read_fd >= 0) ::close(read_fd);
    if (write_fd >= 0) ::close(write_fd);
    errno = error;
    return false;
  }
  // The status flags (non-blocking) belong to the open pipe, so the moved descriptors keep them.
  g_read_fd = read_fd;
  g_write_fd.store(write_fd, std::memory_order_relaxed);
  return true;
}

// Reads what the pipe holds now: the first signal number found, 0 for none; `stop` is set when a
// stop byte (0) was among them.
int drain(bool& stop) {
  int signal = 0;
  unsigned char bytes[64];
  for (;;) {
    const ssize_t n = ::read(g_read_fd, bytes, sizeof bytes);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return signal;
    for (ssize_t i = 0; i < n; ++i) {
      if (bytes[i] == 0)
        stop = true;
      else if (signal == 0)
        signal = bytes[i];
    }
  }
}

// Removes every entry and ends the process of `signal`. The list stays locked until the process
// is gone, so no thread makes a new scratch file after the clean-up.
[[noreturn]] void die_of(int signal) {
  Registry& r = registry();
  r.lock.lock();
  remove_entries(r, {});
  struct sigaction dfl{};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  ::sigaction(signal, &dfl, nullptr);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal);
  ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  ::raise(signal);
  ::_exit(128 + signal);  // not reached: the default action of these signals ends the process
}

// The watcher: waits for a byte; a signal number ends the process, the stop byte ends the watch.
void watch() {
  for (;;) {
    pollfd p{g_read_fd, POLLIN, 0};
    if (::poll(&p, 1, -1) < 0 && errno != EINTR) continue;
    bool stop = false;
    const int signal = drain(stop);
    if (signal != 0) die_of(signal);
    if (stop) return;
  }
}

}  // namespace

Entry& Entry::operator=(Entry&& other) noexcept {
  if (this != &other) {
    release();
    id_ = std::exchange(other.id_, 0);
  }
  return *this;
}

void Entry::release() noexcept {
  if (id_ == 0) return;
  Registry& r = registry();
  std::lock_guard guard(r.lock);
  r.items.erase(std::exchange(id_, 0));
}

Entry track(std::filesystem::path path, Kind kind) {
  Registry& r = registry();
  std::lock_guard guard(r.lock);
  const std::uint64_t id = r.next++;
  r.items.emplace(id, Item{std::move(path), kind});
  return Entry(id);
}

Entry create(std::filesystem::path path, Kind kind, const std::function<void()>& make) {
  Registry& r = registry();
  std::lock_guard guard(r.lock);
  // The entry is in place before the file exists, so that entering it cannot fail after the
  // file was made.
  const std::uint64_t id = r.next++;
  auto [at, added] = r.items.emplace(id, Item{std::move(path), kind});
  try {
    make();
  } catch (...) {
    r.items.erase(at);
    throw;
  }
  return Entry(id);
}

void remove_listed(const std::function<void()>& after_each) {
  Registry& r = registry();
  std::lock_guard guard(r.lock);
  remove_entries(r, after_each);
}

Dir& Dir::operator=(Dir&& other) noexcept {
  if (this != &other) {
    remove();
    path_ = std::exchange(other.path_, {});
    entry_ = std::move(other.entry_);
  }
  return *this;
}

Dir Dir::make(std::filesystem::path path) {
  fileio::refuse_nul(path);  // a NUL would make mkdir, and later the removal, act on another name
  Dir dir;
  dir.entry_ = create(path, Kind::Tree, [&] {
    if (::mkdir(path.c_str(), 0777) != 0) throw IndexError::last_os_error();
  });
  dir.path_ = std::move(path);
  return dir;
}

Dir Dir::make_runs(const std::filesystem::path& output, std::uint64_t seq) {
  return make(output.native() + "." + std::to_string(static_cast<std::uint32_t>(::getpid())) + "." +
              std::to_string(seq) + ".runs");
}

void Dir::remove() noexcept {
  if (path_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
  entry_.release();
  path_.clear();
}

RemoveOnSignal::RemoveOnSignal() {
  if (!make_pipe()) throw IndexError::last_os_error();
  bool stop = false;
  (void)drain(stop);  // a wake-up left from an earlier value's last moments
  watcher_ = std::thread(watch);
  for (std::size_t i = 0; i < kSignals.size(); ++i) {
    struct sigaction found{};
    if (::sigaction(kSignals[i], nullptr, &found) != 0) continue;
    if (!(found.sa_flags & SA_SIGINFO) && found.sa_handler == SIG_IGN) continue;
    struct sigaction mine{};
    mine.sa_handler = on_signal;
    mine.sa_flags = SA_RESTART;
    sigemptyset(&mine.sa_mask);
    for (int s : kSignals) sigaddset(&mine.sa_mask, s);
    if (::sigaction(kSignals[i], &mine, &g_old[i]) != 0) continue;
    taken_ |= static_cast<std::uint8_t>(1u << i);
  }
}

RemoveOnSignal::~RemoveOnSignal() {
  for (std::size_t i = 0; i < kSignals.size(); ++i)
    if (taken_ & (1u << i)) ::sigaction(kSignals[i], &g_old[i], nullptr);
  const unsigned char stop = 0;
  const int fd = g_write_fd.load(std::memory_order_relaxed);
  while (::write(fd, &stop, 1) != 1) {
    pollfd p{fd, POLLOUT, 0};
    ::poll(&p, 1, 100);
  }
  watcher_.join();
  // A signal whose handler ran as the dispositions were put back: handed to the disposition now
  // in force.
  bool stopped = false;
  if (const int signal = drain(stopped); signal != 0) ::kill(::getpid(), signal);
}

}  // namespace quenlith::scratch
