#include "compact_hash_runs.hpp"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <queue>

#include "bytes.hpp"
#include "compact_hash.hpp"
#include "threads.hpp"

namespace quenlith::compact_hash {

namespace {

// Names scratch directories; with the process id it keeps concurrent builds apart.
std::atomic<std::uint64_t> g_scratch_seq{0};

constexpr std::size_t kMiB = 1048576;
// Each merge worker reads every run through a window of this size.
constexpr std::size_t kSliceWindow = 65536;
// Pairs copied into the staging block of a spill at a time (one 64 KiB block).
constexpr std::size_t kStagePairs = 4096;

void store_pair(std::uint8_t* p, const Pair& pair) {
  bytes::store_u64(p, pair.h1);
  bytes::store_u64(p + 8, pair.h2);
}
Pair load_pair(const std::uint8_t* p) { return Pair{bytes::load_u64(p), bytes::load_u64(p + 8)}; }

// Reads up to out.size() bytes at `offset`, stopping early only at the end of the file.
std::size_t read_at(fileio::File& file, std::span<std::uint8_t> out, std::uint64_t offset) {
  std::size_t done = 0;
  while (done < out.size()) {
    const std::size_t want = std::min<std::size_t>(out.size() - done, 0x7FFFFFFF);
    const ssize_t n =
        ::pread(file.fd(), out.data() + done, want, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      throw IndexError::last_os_error();
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

// Reads from the file position until `out` is full or the file ends.
std::size_t read_full(fileio::File& file, std::span<std::uint8_t> out) {
  std::size_t done = 0;
  while (done < out.size()) {
    const std::size_t n =
        file.read_some(out.subspan(done, std::min<std::size_t>(out.size() - done, 0x7FFFFFFF)));
    if (n == 0) break;
    done += n;
  }
  return done;
}

// One run's records of the range being merged, read through a window of the worker's buffer.
struct Slice {
  fileio::File* file;
  std::span<std::uint8_t> window;
  std::uint64_t offset;  // next file offset to read
  std::size_t pos = 0;
  std::size_t len = 0;
  std::uint64_t left;  // records of the range not yet taken

  std::optional<Pair> next() {
    if (left == 0) return std::nullopt;
    if (len - pos < kPairBytes) {
      std::memmove(window.data(), window.data() + pos, len - pos);
      len -= pos;
      pos = 0;
      // The bytes of the range still in the file: every record not taken, less those buffered.
      const std::uint64_t in_file = left * kPairBytes - len;
      const std::size_t want =
          static_cast<std::size_t>(std::min<std::uint64_t>(window.size() - len, in_file));
      const std::size_t got = read_at(*file, window.subspan(len, want), offset);
      offset += got;
      len += got;
      if (len < kPairBytes) throw torn_scratch();
    }
    const Pair p = load_pair(window.data() + pos);
    pos += kPairBytes;
    --left;
    return p;
  }
};

struct Head {
  Pair pair;
  std::uint32_t run;
  // A min-heap by (pair, run) through std::priority_queue, which keeps the largest on top.
  friend bool operator<(const Head& a, const Head& b) {
    if (a.pair.h1 != b.pair.h1) return a.pair.h1 > b.pair.h1;
    if (a.pair.h2 != b.pair.h2) return a.pair.h2 > b.pair.h2;
    return a.run > b.run;
  }
};

}  // namespace

std::string numbered(char letter, std::uint64_t i) {
  std::string name(1, letter);
  name += std::to_string(i);
  return name;
}

IndexError torn_scratch() {
  return IndexError::io_message(IndexError::IoKind::UnexpectedEof,
                                "compact-hash: a scratch file is torn");
}

Scratch::Scratch(std::filesystem::path output, unsigned threads)
    : output_(std::move(output)), threads_(std::max(threads, 1u)) {}

Scratch::~Scratch() = default;

const std::filesystem::path& Scratch::dir() {
  if (!dir_.made())
    dir_ = scratch::Dir::make_runs(output_, g_scratch_seq.fetch_add(1, std::memory_order_relaxed));
  return dir_.path();
}

void Scratch::spill(std::vector<Pair>& run) {
  sort_unique_in_memory(run, threads_);
  std::vector<std::uint64_t> table(kRunBuckets + 1, 0);
  for (const Pair& p : run) ++table[run_bucket(p.h1) + 1];
  for (std::size_t b = 1; b <= kRunBuckets; ++b) table[b] += table[b - 1];

  fileio::File file = fileio::File::create_new(dir() / std::to_string(runs_), 0666);
  fileio::BufWriter out(file, kMiB);
  std::vector<std::uint8_t> stage(kStagePairs * kPairBytes);
  for (std::size_t i = 0; i < run.size(); i += kStagePairs) {
    const std::size_t count = std::min(kStagePairs, run.size() - i);
    for (std::size_t j = 0; j < count; ++j) store_pair(stage.data() + j * kPairBytes, run[i + j]);
    out.write_all(std::span<const std::uint8_t>(stage.data(), count * kPairBytes));
  }
  out.flush();
  tables_.push_back(std::move(table));
  run.clear();
  ++runs_;
}

// The ranges are cut where the running total of pairs over all runs first reaches each of
// N * k / T, at bucket boundaries (a stretch of equal h1 never spans two buckets), so the
// merged files together hold exactly the distinct pairs in order and a worker's repeats count
// only within its own ranges.
Scratch::Merged Scratch::merge() {
  std::vector<std::uint64_t> total(kRunBuckets + 1, 0);
  for (std::size_t b = 0; b < kRunBuckets; ++b) {
    std::uint64_t sum = 0;
    for (const auto& t : tables_) sum += t[b + 1] - t[b];
    total[b + 1] = total[b] + sum;
  }
  const std::uint64_t n = total[kRunBuckets];
  const std::uint64_t d = threads_;
  std::vector<std::uint64_t> cuts = {0};
  for (std::uint64_t k = 1; k < d; ++k) {
    const std::uint64_t target =
        static_cast<std::uint64_t>(static_cast<unsigned __int128>(n) * k / d);
    const std::uint64_t c = static_cast<std::uint64_t>(
        std::lower_bound(total.begin(), total.end(), target) - total.begin());
    if (c > cuts.back()) cuts.push_back(std::min<std::uint64_t>(c, kRunBuckets));
  }
  if (cuts.back() != kRunBuckets) cuts.push_back(kRunBuckets);
  const std::size_t ranges = cuts.size() - 1;

  std::vector<fileio::File> files;
  files.reserve(runs_);
  for (std::uint64_t r = 0; r < runs_; ++r)
    files.push_back(fileio::File::open_read(dir() / std::to_string(r)));
  Merged merged;
  for (std::size_t i = 0; i < ranges; ++i) merged.files.push_back(dir() / numbered('m', i));

  std::vector<std::uint64_t> range_pairs(ranges, 0);
  std::vector<std::uint64_t> range_repeats(ranges, 0);
  std::atomic<std::size_t> next_range{0};
  const std::size_t piece = kMiB + files.size() * kSliceWindow;
  threads::run_workers(static_cast<unsigned>(d), [&](unsigned) {
    std::vector<std::uint8_t> buf;  // made when the worker takes its first range
    std::vector<Slice> slices;
    std::priority_queue<Head> heap;
    for (std::size_t i = next_range.fetch_add(1); i < ranges; i = next_range.fetch_add(1)) {
      if (buf.empty()) buf.assign(piece, 0);
      const std::span<std::uint8_t> out_buf(buf.data(), kMiB);
      const std::uint64_t lo = cuts[i];
      const std::uint64_t hi = cuts[i + 1];
      slices.clear();
      for (std::size_t r = 0; r < files.size(); ++r) {
        const auto& t = tables_[r];
        slices.push_back(Slice{
            &files[r], std::span<std::uint8_t>(buf.data() + kMiB + r * kSliceWindow, kSliceWindow),
            kPairBytes * t[lo], 0, 0, t[hi] - t[lo]});
      }
      fileio::File out = fileio::File::create_new(merged.files[i], 0666);
      for (std::size_t r = 0; r < slices.size(); ++r)
        if (auto p = slices[r].next()) heap.push(Head{*p, static_cast<std::uint32_t>(r)});
      std::size_t used = 0;
      std::uint64_t pairs = 0;
      std::uint64_t repeats = 0;
      Pair last{};
      while (!heap.empty()) {
        const Head top = heap.top();
        heap.pop();
        if (auto p = slices[top.run].next()) heap.push(Head{*p, top.run});
        if (pairs > 0 && top.pair == last) continue;
        if (used == out_buf.size()) {
          out.write_all(out_buf);
          used = 0;
        }
        store_pair(out_buf.data() + used, top.pair);
        used += kPairBytes;
        if (pairs > 0 && top.pair.h1 == last.h1) ++repeats;
        ++pairs;
        last = top.pair;
      }
      out.write_all(out_buf.first(used));
      range_pairs[i] = pairs;
      range_repeats[i] = repeats;
    }
  });
  for (std::size_t i = 0; i < ranges; ++i) {
    merged.pairs += range_pairs[i];
    merged.repeats += range_repeats[i];
  }
  return merged;
}

Segments::Segments(std::vector<std::filesystem::path> paths, fileio::File file)
    : paths_(std::move(paths)), next_path_(1), file_(std::move(file)), buf_(kMiB) {}

Segments Segments::open(std::span<const std::filesystem::path> paths) {
  check_invariant(!paths.empty(), "the merge wrote a file per range");
  fileio::File first = fileio::File::open_read(paths[0]);
  return Segments(std::vector<std::filesystem::path>(paths.begin(), paths.end()), std::move(first));
}

bool Segments::fill(std::vector<Pair>& out) {
  out.clear();
  for (;;) {
    len_ += read_full(file_, std::span<std::uint8_t>(buf_).subspan(len_));
    const std::size_t whole = len_ / kPairBytes;
    if (whole > 0) {
      for (std::size_t i = 0; i < whole; ++i)
        out.push_back(load_pair(buf_.data() + i * kPairBytes));
      const std::size_t rest = len_ - whole * kPairBytes;
      std::memmove(buf_.data(), buf_.data() + whole * kPairBytes, rest);
      len_ = rest;
      return true;
    }
    if (len_ > 0) throw torn_scratch();
    if (next_path_ == paths_.size()) return false;
    file_ = fileio::File::open_read(paths_[next_path_++]);
  }
}

Source::Source(const Pairs& pairs) {
  if (const auto* memory = std::get_if<std::vector<Pair>>(&pairs)) {
    memory_ = *memory;
  } else {
    segments_ = Segments::open(std::get<std::vector<std::filesystem::path>>(pairs));
    buffer_.reserve(kSourcePairs);
  }
}

Source::Source(std::span<const std::filesystem::path> files) : segments_(Segments::open(files)) {
  buffer_.reserve(kSourcePairs);
}

std::span<const Pair> Source::next() {
  if (!segments_) {
    const std::size_t count = std::min(kSourcePairs, memory_.size() - at_);
    const std::span<const Pair> out = memory_.subspan(at_, count);
    at_ += count;
    return out;
  }
  if (!segments_->fill(buffer_)) buffer_.clear();
  return buffer_;
}

std::size_t Reps::next_batch(std::span<std::uint64_t> out) {
  std::size_t i = 0;
  while (i < out.size() && !ended_) {
    if (pending_.empty()) {
      try {
        pending_ = source_.next();
      } catch (const IndexError& e) {
        error = e;
        pending_ = {};
      }
      if (pending_.empty()) {
        ended_ = true;
        break;
      }
    }
    std::size_t j = 0;
    for (; j < pending_.size() && i < out.size(); ++j) {
      const std::uint64_t h1 = pending_[j].h1;
      if (last_ && *last_ == h1) continue;
      out[i++] = h1;
      last_ = h1;
    }
    pending_ = pending_.subspan(j);
  }
  return i;
}

std::uint64_t sort_unique_in_memory(std::vector<Pair>& pairs, unsigned threads) {
  sort_run(pairs, threads);
  pairs.erase(std::unique(pairs.begin(), pairs.end()), pairs.end());
  std::uint64_t repeats = 0;
  for (std::size_t i = 1; i < pairs.size(); ++i) repeats += pairs[i].h1 == pairs[i - 1].h1;
  return repeats;
}

Collected collect_pairs(key_source::KeySource& keys, Scratch& scratch, std::uint64_t run_pairs,
                        unsigned threads, hash::Pair (*hash)(std::string_view),
                        const char* failed) {
  std::vector<Pair> run;
  {
    std::unique_ptr<key_source::KeyStream> pass = keys.open_pass();
    key_source::KeyBatch batch;
    while (pass->next_batch(batch)) {
      for (std::size_t i = 0; i < batch.size(); ++i) {
        if (run.capacity() == 0) run.reserve(run_pairs);
        run.push_back(hash(batch[i]));
        if (run.size() == run_pairs) scratch.spill(run);
      }
    }
  }
  // A source that ended early would otherwise give the index of a truncated corpus.
  if (keys.failed()) throw IndexError::format(failed);

  Collected out;
  if (scratch.runs() == 0) {
    out.repeats = sort_unique_in_memory(run, threads);
    out.total = run.size();
    out.pairs = std::move(run);
  } else {
    if (!run.empty()) scratch.spill(run);
    std::vector<Pair>().swap(run);
    Scratch::Merged merged = scratch.merge();
    out.total = merged.pairs;
    out.repeats = merged.repeats;
    out.pairs = std::move(merged.files);
  }
  return out;
}

std::optional<mphf::Mphf> build_rep_mphf(const Pairs& pairs, std::uint64_t m, unsigned threads) {
  std::optional<mphf::Mphf> mph;
  if (m > 0) {
    Source source(pairs);
    Reps reps(source);
    try {
      mph.emplace(mphf::V2::build_from(m, mphf::HashInput::source(reps), threads));
    } catch (const IndexError&) {
      if (reps.error) throw *reps.error;
      throw;
    }
    if (reps.error) throw *reps.error;
  }
  return mph;
}

}  // namespace quenlith::compact_hash
