// Scratch files and directories, known to the process for as long as they exist.
//
// Every scratch file or directory a build makes beside its output (the atomic writer's temporary,
// run directories, spill files, the streamed route's partial output, a copy of keys that could be
// read only once) is entered in one process-wide list when it is made and leaves the list when it
// is removed or renamed into place. The list is what `RemoveOnSignal` removes when a terminating
// signal arrives, before the process dies of that signal, so an interrupted command leaves nothing
// beside its output. A file is made and entered under the list's lock, so the clean-up never falls
// between the two; removing or renaming first and leaving the list after is safe, since the
// clean-up ignores a name that is already gone.
//
// The clean-up removes the entries newest first. A scratch name that a rename brings into being
// (the streamed route's partial output, which the atomic writer's temporary becomes) is entered
// before the rename's source is made, so wherever the rename lands among the removals, either its
// source is removed before it or its target after it: nothing survives.
//
// The list holds paths only: every owner still removes its own files when it ends or fails, and
// nothing here removes anything unless a signal arrives while `RemoveOnSignal` is in force.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <thread>
#include <utility>

namespace quenlith::scratch {

// How an entry is removed: a file is unlinked, a tree is removed with everything in it.
enum class Kind : std::uint8_t { File, Tree };

// One entry of the list. Dropping it (the destructor or `release`) takes the path off the list,
// not off the disk. Any thread may make and drop entries.
class Entry {
 public:
  Entry() noexcept = default;
  Entry(Entry&& other) noexcept : id_(std::exchange(other.id_, 0)) {}
  Entry& operator=(Entry&& other) noexcept;
  Entry(const Entry&) = delete;
  Entry& operator=(const Entry&) = delete;
  ~Entry() { release(); }

  void release() noexcept;

 private:
  friend Entry track(std::filesystem::path path, Kind kind);
  friend Entry create(std::filesystem::path path, Kind kind, const std::function<void()>& make);
  explicit Entry(std::uint64_t id) noexcept : id_(id) {}

  std::uint64_t id_ = 0;  // 0: no entry
};

// Enters `path`, a name that the caller is about to give a file or tree by a step of its own (a
// rename into that name). Throws only on allocation failure.
Entry track(std::filesystem::path path, Kind kind);

// Runs `make`, which creates the file or directory at `path`, with the list locked, and enters
// `path` when `make` returns; when it throws, nothing is entered and its exception goes on.
// `make` must not make or drop entries itself.
Entry create(std::filesystem::path path, Kind kind, const std::function<void()>& make);

// Removes what every entry names, newest first, with the list locked, as the clean-up on a signal
// does, and calls `after_each` (when set) after each removal: the seam through which a test puts
// another thread's step between two removals. The entries stay listed until their owners drop
// them. `after_each` must not make or drop entries.
void remove_listed(const std::function<void()>& after_each);

// A scratch directory made new and removed, with everything in it, when the value goes; a failure
// to remove it is ignored. An empty value (default-made or moved from) owns nothing.
class Dir {
 public:
  Dir() noexcept = default;
  Dir(Dir&& other) noexcept
      : path_(std::exchange(other.path_, {})), entry_(std::move(other.entry_)) {}
  Dir& operator=(Dir&& other) noexcept;
  Dir(const Dir&) = delete;
  Dir& operator=(const Dir&) = delete;
  ~Dir() { remove(); }

  // Makes the directory `path` (mode 0777 before the umask), which must not exist, and enters
  // it. Throws `IndexError::Io` with the system's error (or for a NUL byte in the path).
  static Dir make(std::filesystem::path path);
  // `make` of a run directory named after a build's output: "<output>.<pid>.<seq>.runs".
  static Dir make_runs(const std::filesystem::path& output, std::uint64_t seq);

  bool made() const noexcept { return !path_.empty(); }
  const std::filesystem::path& path() const noexcept { return path_; }

 private:
  void remove() noexcept;

  std::filesystem::path path_;
  Entry entry_;
};

// While a value lives, SIGINT, SIGTERM and SIGHUP (each one the process does not ignore) end the
// process within moments: a watcher thread removes every entry of the list, then the process dies
// of the signal with its default action, so its parent sees the signal as the cause (a shell shows
// status 128 + its number). Once the clean-up has begun, making or dropping an entry on any other
// thread waits until the process is gone, so nothing new appears beside the output. The
// dispositions found when the value was made are put back when it goes; a signal ignored then (as
// under `nohup`) stays ignored throughout. For a program's own run of a command: a library call
// takes over no signal. One value at a time in a process; the thread that made it drops it.
class RemoveOnSignal {
 public:
  // Throws `IndexError::Io` when the watcher's pipe cannot be made; `std::system_error` when its
  // thread cannot be started.
  RemoveOnSignal();
  RemoveOnSignal(const RemoveOnSignal&) = delete;
  RemoveOnSignal& operator=(const RemoveOnSignal&) = delete;
  ~RemoveOnSignal();

 private:
  std::thread watcher_;
  std::uint8_t taken_ = 0;  // a bit for each signal whose disposition was replaced
};

}  // namespace quenlith::scratch
