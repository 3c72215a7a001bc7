// Run file (one version; written and read only within one build, all integers little-endian):
//
//   offset  size  content
//   0       8     u64 record count
//   8       ...   per record: u32 length L, then L bytes of UTF-8
//
// Records ascend in unsigned byte order. A spilled run holds no repeats; a run merged from a
// group of runs may repeat a key that two of its inputs held. Run files are named by their run
// number in decimal, without extension, inside the scratch directory
// "<output>.<pid>.<seq>.runs".
#include "extsort.hpp"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <utility>

#include "bytes.hpp"

namespace quenlith::extsort {

namespace {

// Names scratch directories; with the process id it keeps concurrent builds apart.
std::atomic<std::uint64_t> g_run_seq{0};

constexpr const char* kCorrupt = "extsort: a run file is corrupt";
constexpr const char* kKeyTooLong = "extsort: a key longer than 4 GiB";

IndexError corrupt() { return IndexError::io_message(IndexError::IoKind::InvalidData, kCorrupt); }

std::filesystem::path run_path(const std::filesystem::path& dir, std::uint64_t number) {
  return dir / std::to_string(number);
}

// Writes one run file: a placeholder count, the records, then the count in place.
class RunWriter {
 public:
  explicit RunWriter(const std::filesystem::path& path)
      : file_(fileio::File::create_new(path, 0666)), out_(file_, kIoBuffer) {
    const std::uint8_t zero[8] = {};
    out_.write_all(zero);
  }

  void add(std::string_view key) {
    if (key.size() > 0xFFFFFFFFULL) throw IndexError::format(kKeyTooLong);
    std::uint8_t len[4];
    bytes::store_u32(len, static_cast<std::uint32_t>(key.size()));
    out_.write_all(len);
    out_.write_all(bytes::as_bytes(key));
    ++count_;
  }

  void finish() {
    out_.flush();
    std::uint8_t count[8];
    bytes::store_u64(count, count_);
    file_.seek(0);
    file_.write_all(count);
    file_.close();
  }

 private:
  fileio::File file_;
  fileio::BufWriter out_;
  std::uint64_t count_ = 0;
};

}  // namespace

// ---- Run ----

Run::Run(std::uint64_t budget) : Run(budget, kMaxRunBytes) {}

Run::Run(std::uint64_t budget, std::uint64_t offset_limit)
    : budget_(budget), offset_limit_(offset_limit) {
  check_invariant(offset_limit <= kMaxRunBytes, "a run's offsets are 32-bit");
  if (budget > offset_limit) throw IndexError::format("extsort: a run budget of 4 GiB or more");
}

bool Run::full_for(std::uint64_t len) const noexcept {
  return pairs_.size() >= budget_ / 8 || bytes_.size() > budget_ || len > budget_ - bytes_.size();
}

void Run::push(std::string_view key) {
  if (key.size() > offset_limit_) throw IndexError::format(kKeyTooLong);
  const std::uint64_t offset = bytes_.size();
  if (offset > offset_limit_ || key.size() > offset_limit_ - offset)
    throw IndexError::format("extsort: a run of 4 GiB or more");
  if (pairs_.empty()) {
    bytes_.reserve(budget_);
    pairs_.reserve(budget_ / 8);
  }
  bytes_.insert(bytes_.end(), key.begin(), key.end());
  pairs_.push_back({static_cast<std::uint32_t>(offset), static_cast<std::uint32_t>(key.size())});
  sorted_ = pairs_.size() <= 1;
}

SortedKeys Run::sorted() {
  const char* base = bytes_.data();
  auto key = [base](const SortedKeys::Entry& e) {
    return std::string_view(base + e.offset, e.len);
  };
  if (!sorted_) {
    // std::string_view compares as unsigned bytes (char_traits<char>::compare is memcmp), and a
    // prefix sorts before its extensions.
    auto less = [&](const SortedKeys::Entry& a, const SortedKeys::Entry& b) {
      return key(a) < key(b);
    };
    if (pairs_.size() < 21) {
      for (std::size_t i = 1; i < pairs_.size(); ++i) {
        const SortedKeys::Entry e = pairs_[i];
        std::size_t j = i;
        for (; j > 0 && less(e, pairs_[j - 1]); --j) pairs_[j] = pairs_[j - 1];
        pairs_[j] = e;
      }
    } else {
      std::sort(pairs_.begin(), pairs_.end(), less);
    }
    auto last = std::unique(pairs_.begin(), pairs_.end(),
                            [&](const auto& a, const auto& b) { return key(a) == key(b); });
    pairs_.erase(last, pairs_.end());
    sorted_ = true;
  }
  return SortedKeys(pairs_, base);
}

void Run::clear() noexcept {
  bytes_.clear();
  pairs_.clear();
  sorted_ = true;
}

void Run::release() noexcept {
  std::vector<char>().swap(bytes_);
  std::vector<SortedKeys::Entry>().swap(pairs_);
  sorted_ = true;
}

// ---- RunReader ----

RunReader::RunReader(fileio::File file, std::uint64_t size, std::size_t buffer)
    : in_(std::move(file), buffer), size_(size) {}

RunReader RunReader::open(const std::filesystem::path& file) {
  fileio::File f = fileio::File::open_read(file);
  const std::uint64_t size = f.size();
  // No buffer larger than the file: a merge of many small runs stays small.
  const std::size_t buffer =
      static_cast<std::size_t>(std::clamp<std::uint64_t>(size, 4096, kIoBuffer));
  RunReader r(std::move(f), size, buffer);
  std::uint8_t count[8];
  r.in_.read_exact(count);
  r.remaining_ = bytes::load_u64(count);
  return r;
}

std::optional<std::string_view> RunReader::next() {
  if (remaining_ == 0) {
    if (consumed_ != size_) throw corrupt();  // a count that stops short of the records
    return std::nullopt;
  }
  std::uint8_t len_bytes[4];
  if (size_ - consumed_ < 4) throw fileio::unexpected_eof();
  in_.read_exact(len_bytes);
  consumed_ += 4;
  const std::uint32_t len = bytes::load_u32(len_bytes);
  // A damaged length must not make us allocate what the file cannot hold.
  if (len > size_ - consumed_) throw fileio::unexpected_eof();
  std::swap(key_, previous_);
  key_.resize(len);
  in_.read_exact(std::span<std::uint8_t>(reinterpret_cast<std::uint8_t*>(key_.data()), len));
  consumed_ += len;
  --remaining_;
  if (!bytes::is_utf8(bytes::as_bytes(key_))) throw corrupt();
  if (have_previous_ && key_ < previous_) throw corrupt();
  have_previous_ = true;
  return std::string_view(key_);
}

// ---- Merge ----

bool Merge::less(std::uint32_t a, std::uint32_t b) const {
  const int c = heads_[a]->compare(*heads_[b]);
  return c < 0 || (c == 0 && a < b);
}

void Merge::sift_down(std::size_t i) {
  const std::size_t n = heap_.size();
  const std::uint32_t item = heap_[i];
  for (;;) {
    std::size_t child = 2 * i + 1;
    if (child >= n) break;
    if (child + 1 < n && less(heap_[child + 1], heap_[child])) ++child;
    if (!less(heap_[child], item)) break;
    heap_[i] = heap_[child];
    i = child;
  }
  heap_[i] = item;
}

std::optional<std::string_view> Merge::next() {
  if (pending_) {
    // The key handed out last time is done with: advance its run.
    pending_ = false;
    const std::uint32_t top = heap_[0];
    try {
      heads_[top] = readers_[top].next();
    } catch (IndexError& e) {
      *cell_ = std::move(e);
      heap_.clear();
      return std::nullopt;
    }
    if (!heads_[top]) {
      heap_[0] = heap_.back();
      heap_.pop_back();
    }
    if (!heap_.empty()) sift_down(0);
  }
  if (heap_.empty()) return std::nullopt;
  pending_ = true;
  return heads_[heap_[0]];
}

Merge merge_runs(const std::filesystem::path& dir, std::span<const std::uint64_t> numbers,
                 ErrorCell& cell) {
  check_invariant(numbers.size() <= kMaxFanIn, "a merge reads at most 128 runs");
  Merge m(cell);
  // Heads view into the readers' buffers, so the readers must never move once opened.
  m.readers_.reserve(numbers.size());
  m.heads_.reserve(numbers.size());
  for (std::uint64_t number : numbers) {
    m.readers_.push_back(RunReader::open(run_path(dir, number)));
    m.heads_.push_back(m.readers_.back().next());
    if (m.heads_.back()) m.heap_.push_back(static_cast<std::uint32_t>(m.readers_.size() - 1));
  }
  // A sorted array is a valid min-heap.
  std::sort(m.heap_.begin(), m.heap_.end(),
            [&](std::uint32_t a, std::uint32_t b) { return m.less(a, b); });
  return m;
}

// ---- Runs ----

Runs::Runs(std::filesystem::path output) : output_(std::move(output)) {}

Runs::Runs(Runs&& other) noexcept = default;

Runs::~Runs() = default;

const std::filesystem::path& Runs::dir() {
  if (dir_.made()) return dir_.path();
  dir_ = scratch::Dir::make_runs(output_, g_run_seq.fetch_add(1, std::memory_order_relaxed));
  return dir_.path();
}

void Runs::spill(Run& run) {
  const std::filesystem::path& d = dir();
  RunWriter w(run_path(d, next_));
  for (std::string_view key : run.sorted()) w.add(key);
  w.finish();
  numbers_.push_back(next_++);
}

Merge Runs::merge(ErrorCell& cell) {
  while (numbers_.size() > kMaxFanIn) {
    const std::vector<std::uint64_t> pass = numbers_;
    std::vector<std::uint64_t> done;
    for (std::size_t start = 0; start < pass.size(); start += kMaxFanIn) {
      const std::size_t end = std::min(pass.size(), start + kMaxFanIn);
      const std::span<const std::uint64_t> group(pass.data() + start, end - start);
      if (group.size() == 1) {
        done.push_back(group[0]);
        continue;
      }
      const std::uint64_t number = next_;
      ErrorCell group_error;
      {
        Merge m = merge_runs(dir(), group, group_error);
        RunWriter w(run_path(dir_.path(), number));
        while (auto key = m.next()) w.add(*key);
        w.finish();
      }
      ++next_;
      if (group_error) throw std::move(*group_error);
      for (std::uint64_t old : group)
        if (::unlink(run_path(dir_.path(), old).c_str()) != 0) throw IndexError::last_os_error();
      // The list stays true at every step: the merged run stands where its group stood.
      done.push_back(number);
      numbers_ = done;
      numbers_.insert(numbers_.end(), pass.begin() + static_cast<std::ptrdiff_t>(end), pass.end());
    }
    numbers_ = std::move(done);
  }
  return merge_runs(dir_.path(), numbers_, cell);
}

// ---- Replays ----

void RunReplay::each(void* context, KeyCallback callback) {
  for (std::string_view key : run_.sorted()) callback(context, key);
}

void RunsReplay::each(void* context, KeyCallback callback) {
  ErrorCell cell;
  Merge m = runs_.merge(cell);
  bool first = true;
  while (auto key = m.next()) {
    if (!first && *key == previous_) continue;
    first = false;
    previous_.assign(*key);
    callback(context, *key);
  }
  if (cell) throw std::move(*cell);
}

// ---- The spill rule ----

void push_or_spill(Run& run, Runs& runs, std::string_view key, const char* too_long) {
  if (run.full_for(key.size())) {
    if (run.empty()) throw IndexError::format(too_long);
    runs.spill(run);
    run.clear();
  }
  // The key joins the emptied run without a second check: a key longer than the budget that
  // arrives after other keys stands alone in its run, past the budget by itself, and the next key
  // spills it. Run::push still refuses what a 32-bit field cannot hold.
  run.push(key);
}

Sorter::Sorter(std::filesystem::path output, std::uint64_t budget, const char* too_long)
    : run_(budget), runs_(std::move(output)), too_long_(too_long) {}

Replay& Sorter::finish() {
  check_invariant(!in_memory_ && !spilled_, "a sort is finished once");
  if (runs_.empty()) return in_memory_.emplace(run_);
  if (!run_.empty()) runs_.spill(run_);
  run_.release();
  return spilled_.emplace(runs_);
}

}  // namespace quenlith::extsort
