// External sorting of keys: in-memory runs under a byte budget, spilled runs in a scratch
// directory beside the output, and the replay of the merged, deduplicated sequence.
//
// A builder pushes keys through the spill rule (`push_or_spill`, or `Sorter` which also ends the
// input), then replays the distinct keys in ascending byte order through `Replay::each`, once or
// twice; whether anything was spilled is invisible to it. The run file format is drawn at the
// top of extsort.cpp. Everything runs on the calling thread; a run, a set of runs, a merge and a
// replay each belong to one thread at a time.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "error.hpp"
#include "fileio.hpp"
#include "scratch.hpp"

namespace quenlith::extsort {

// At most this many runs are merged at once; more runs are merged in groups first.
inline constexpr std::size_t kMaxFanIn = 128;
// The read and write buffer of a run file.
inline constexpr std::size_t kIoBuffer = 1048576;
// The largest budget and run a `Run` can address: its offsets and lengths are 32-bit.
inline constexpr std::uint64_t kMaxRunBytes = 0xFFFFFFFFULL;
// The budget of every run the builds and the planner sort keys in: 256 MiB of key bytes (and so
// at most 32 Mi keys, one eighth as many).
inline constexpr std::uint64_t kRunBudget = 268435456;

// The one I/O error a merge may hold back until its keys have been delivered.
using ErrorCell = std::optional<IndexError>;

// The distinct keys of a sorted run, in ascending byte order; views into the run's bytes, valid
// until the run changes.
class SortedKeys {
 public:
  struct Entry {
    std::uint32_t offset;
    std::uint32_t len;
  };
  class iterator {
   public:
    using value_type = std::string_view;
    using difference_type = std::ptrdiff_t;
    iterator() = default;
    iterator(const Entry* at, const char* base) : at_(at), base_(base) {}
    std::string_view operator*() const { return {base_ + at_->offset, at_->len}; }
    iterator& operator++() {
      ++at_;
      return *this;
    }
    iterator operator++(int) {
      iterator old = *this;
      ++at_;
      return old;
    }
    friend bool operator==(const iterator& a, const iterator& b) { return a.at_ == b.at_; }

   private:
    const Entry* at_ = nullptr;
    const char* base_ = nullptr;
  };

  SortedKeys(std::span<const Entry> entries, const char* base) : entries_(entries), base_(base) {}
  iterator begin() const { return {entries_.data(), base_}; }
  iterator end() const { return {entries_.data() + entries_.size(), base_}; }
  std::size_t size() const { return entries_.size(); }

 private:
  std::span<const Entry> entries_;
  const char* base_;
};

// An in-memory run: keys packed back to back with an (offset, length) pair each, both 32-bit.
class Run {
 public:
  // A run under `budget` bytes. Throws `IndexError::Format` "extsort: a run budget of 4 GiB or
  // more" when the budget passes what 32-bit offsets can address (kMaxRunBytes).
  explicit Run(std::uint64_t budget);
  // As above with a smaller offset limit standing in for the 32-bit one, so that tests can reach
  // it without gigabytes of keys. `offset_limit` must not exceed kMaxRunBytes.
  Run(std::uint64_t budget, std::uint64_t offset_limit);

  // True when a key of `len` bytes must not join the run: its bytes would pass the budget, or
  // the run already holds budget / 8 keys (8 bytes of bookkeeping a key stay within the budget).
  bool full_for(std::uint64_t len) const noexcept;

  // Appends a key (UTF-8). The first push into an empty run reserves the whole budget and
  // budget / 8 pairs. Throws `IndexError::Format` "extsort: a key longer than 4 GiB" for a key
  // whose length, and "extsort: a run of 4 GiB or more" for a key whose end, a 32-bit field
  // cannot hold; the run is unchanged then. Under the spill rule only the first can happen (a
  // key past 4 GiB arriving after other keys), as the spill of such a key would refuse it too.
  void push(std::string_view key);

  // Sorts the keys by unsigned bytes (a prefix before its extensions), drops repeats, and
  // returns the distinct keys. The run keeps them sorted, so a second call is cheap.
  SortedKeys sorted();

  // Empties the run, keeping its memory for the next run.
  void clear() noexcept;
  // Empties the run and gives its memory back.
  void release() noexcept;

  std::size_t len() const noexcept { return pairs_.size(); }
  bool empty() const noexcept { return pairs_.empty(); }
  std::uint64_t byte_len() const noexcept { return bytes_.size(); }
  std::uint64_t budget() const noexcept { return budget_; }

 private:
  std::vector<char> bytes_;
  std::vector<SortedKeys::Entry> pairs_;
  std::uint64_t budget_;
  std::uint64_t offset_limit_;
  bool sorted_ = true;
};

// Reads one run file sequentially.
class RunReader {
 public:
  // Opens a run file and reads its record count. Throws `IndexError::Io`.
  static RunReader open(const std::filesystem::path& file);

  // The next key (a view valid until the next call), or nullopt at the end. Throws
  // `IndexError::Io`: the read's own error for a short or failed read (a length that runs past
  // the file is a short read), and "extsort: a run file is corrupt" for a key that is not UTF-8,
  // keys out of order, or bytes left after the last record.
  std::optional<std::string_view> next();

 private:
  RunReader(fileio::File file, std::uint64_t size, std::size_t buffer);
  fileio::BufReader in_;
  std::uint64_t size_;
  std::uint64_t consumed_ = 8;
  std::uint64_t remaining_ = 0;
  std::string key_;
  std::string previous_;
  bool have_previous_ = false;
};

// The k-way merge of up to kMaxFanIn runs: keys in ascending byte order, equal keys by the
// position of their run in the list. Duplicates across runs are kept.
class Merge {
 public:
  // The next key (a view valid until the next call), or nullopt when the merge has ended. A read
  // failure is stored in the error cell and ends the merge after the key already taken.
  std::optional<std::string_view> next();

 private:
  friend Merge merge_runs(const std::filesystem::path&, std::span<const std::uint64_t>, ErrorCell&);
  explicit Merge(ErrorCell& cell) : cell_(&cell) {}
  bool less(std::uint32_t a, std::uint32_t b) const;
  void sift_down(std::size_t i);

  std::vector<RunReader> readers_;
  std::vector<std::optional<std::string_view>> heads_;
  std::vector<std::uint32_t> heap_;  // a min-heap of reader positions, by (head, position)
  bool pending_ = false;             // the top's key was handed out and must be advanced
  ErrorCell* cell_;
};

// Opens the merge of the runs `numbers` (at most kMaxFanIn) in `dir`, reading each run's first
// key. Throws `IndexError::Io` when a run cannot be opened or its first key read; later failures
// go to `cell`.
Merge merge_runs(const std::filesystem::path& dir, std::span<const std::uint64_t> numbers,
                 ErrorCell& cell);

// Spilled runs: numbered run files in a scratch directory named after the output,
// "<output>.<pid>.<seq>.runs", made at the first spill and removed with everything in it when the
// value is destroyed, whether the build succeeded or failed.
class Runs {
 public:
  explicit Runs(std::filesystem::path output);
  Runs(Runs&& other) noexcept;
  Runs& operator=(Runs&&) = delete;
  Runs(const Runs&) = delete;
  Runs& operator=(const Runs&) = delete;
  ~Runs();

  // The scratch directory, created (mode 0777 before the umask) on first use. Throws
  // `IndexError::Io`.
  const std::filesystem::path& dir();
  // Where the scratch directory is or will be; empty until `dir` first runs.
  const std::filesystem::path& dir_path() const noexcept { return dir_.path(); }

  // Writes the run's distinct sorted keys as the next run file (created new, 0666) and records
  // it. Throws `IndexError::Io`; a half-written file stays until the directory goes.
  void spill(Run& run);

  // Merges groups of kMaxFanIn runs into new run files until at most kMaxFanIn remain (a group
  // of one stays as it is; merged inputs are removed), then opens the final merge, whose late
  // read failures go to `cell`. Throws `IndexError::Io`, or the error a group's merge held.
  Merge merge(ErrorCell& cell);

  // The run numbers making up the sorted runs, in creation order (merged runs take the place of
  // their group).
  std::span<const std::uint64_t> numbers() const noexcept { return numbers_; }
  bool empty() const noexcept { return numbers_.empty(); }

 private:
  std::filesystem::path output_;
  scratch::Dir dir_;
  std::vector<std::uint64_t> numbers_;
  std::uint64_t next_ = 0;
};

// The callback of `Replay::each`: receives the context and one key; a failure is thrown.
using KeyCallback = void (*)(void* context, std::string_view key);

// The distinct keys of a sort, in ascending byte order, as many times as a build asks.
class Replay {
 public:
  virtual ~Replay() = default;
  // Calls `callback(context, key)` for every distinct key in ascending byte order. An exception
  // of the callback propagates at once. Spilled runs are read afresh on every call; a read
  // failure ends the keys early and is then thrown as `IndexError::Io`.
  virtual void each(void* context, KeyCallback callback) = 0;

  // `each` with any callable taking a std::string_view.
  template <class F>
  void for_each(F&& f) {
    using Fn = std::remove_reference_t<F>;
    each(const_cast<void*>(static_cast<const void*>(&f)),
         [](void* context, std::string_view key) { (*static_cast<Fn*>(context))(key); });
  }
};

// The keys of one in-memory run.
class RunReplay final : public Replay {
 public:
  explicit RunReplay(Run& run) : run_(run) {}
  void each(void* context, KeyCallback callback) override;

 private:
  Run& run_;
};

// The keys of spilled runs, merged with repeats removed.
class RunsReplay final : public Replay {
 public:
  explicit RunsReplay(Runs& runs) : runs_(runs) {}
  void each(void* context, KeyCallback callback) override;

 private:
  Runs& runs_;
  std::string previous_;
};

// The spill rule every streamed builder follows. Before `key` joins `run`: if it does not fit,
// a key meeting an empty run is refused with `IndexError::Format(too_long)`, the caller's own
// message (e.g. "dict: a key longer than the run budget"; a static string); otherwise the run is
// sorted, spilled to `runs` and emptied, and the key joins it whatever its length (so a key
// longer than the budget is refused only as the first key of the input; later it stands alone
// in its run). A key longer than 4 GiB is refused by `Run::push` either way.
void push_or_spill(Run& run, Runs& runs, std::string_view key, const char* too_long);

// A whole external sort: push keys under the spill rule, then `finish` once and replay the
// distinct keys as often as needed. Nothing touches the disk unless a run fills up.
class Sorter {
 public:
  // `output` names the scratch directory's place; `too_long` is the caller's refusal of a key
  // longer than the budget. Throws like `Run(budget)`.
  Sorter(std::filesystem::path output, std::uint64_t budget, const char* too_long);
  Sorter(const Sorter&) = delete;
  Sorter& operator=(const Sorter&) = delete;

  void push(std::string_view key) { push_or_spill(run_, runs_, key, too_long_); }
  // Ends the input: the last run is kept in memory when nothing was spilled, else spilled too.
  // Returns the replay, owned by the sorter. Call once, after the last push.
  Replay& finish();
  bool spilled() const noexcept { return !runs_.empty(); }
  const Runs& runs() const noexcept { return runs_; }

 private:
  Run run_;
  Runs runs_;
  const char* too_long_;
  std::optional<RunReplay> in_memory_;
  std::optional<RunsReplay> spilled_;
};

}  // namespace quenlith::extsort
