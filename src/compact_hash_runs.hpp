// External sorting of key-hash pairs, for the streamed compact and closed builds: every distinct
// (h1, h2) pair of a corpus in ascending order, for a corpus whose pairs do not fit in memory.
//
// A build collects pairs into a run buffer and hands each full buffer to `Scratch::spill`, which
// sorts it, drops repeats and writes it as a run file in a scratch directory beside the output.
// `Scratch::merge` then merges all runs on worker threads, one merged file per range of buckets
// (a pair's bucket is the top 10 bits of its h1), so reading the merged files in range order
// gives the whole distinct ascending sequence. `Source` reads the pairs, in memory or merged,
// in blocks; `Reps` streams the distinct h1 values to the minimal-perfect-hash build.
//
// Scratch directory: "<output>.<pid>.<seq>.runs", removed with everything in it when the
// `Scratch` goes. Files in it, all records 16 bytes (h1 u64 LE, then h2 u64 LE), no header:
//   "0", "1", ...   run files, each the ascending distinct pairs of one spilled run
//   "m0", "m1", ... merged files, one per range of buckets, ascending and distinct
//   "r0", "r1", ... fingerprint range files of the compact build (compact_hash_stream.cpp)
// A run's bucket table (1,025 entries, entry b the number of its pairs in buckets below b) is
// kept in memory, never written: it lets every merge worker start each run at its range.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "error.hpp"
#include "fileio.hpp"
#include "hash.hpp"
#include "key_source.hpp"
#include "mphf.hpp"
#include "scratch.hpp"

namespace quenlith::compact_hash {

using hash::Pair;

inline constexpr std::size_t kRunBuckets = 1024;
// Bytes of one pair record in run, merged and in-memory form alike.
inline constexpr std::size_t kPairBytes = 16;
// Pairs a `Source` hands out at a time.
inline constexpr std::size_t kSourcePairs = 65536;

// The bucket of a pair in the run files: the top 10 bits of h1.
inline std::size_t run_bucket(std::uint64_t h1) noexcept {
  return static_cast<std::size_t>(h1 >> 54);
}

// A scratch file's name: `letter` then `i` in decimal ("m0", "r12").
std::string numbered(char letter, std::uint64_t i);

// The error of a scratch file that ends inside a record or before the records it should hold.
IndexError torn_scratch();

// The scratch directory of one build and the runs spilled into it.
class Scratch {
 public:
  // `output` is the build's target path; `threads` (at least 1) the build's worker count.
  Scratch(std::filesystem::path output, unsigned threads);
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  // Removes the directory and everything in it, if it was made; a failure is ignored.
  ~Scratch();

  // The directory, made (mode 0777 before the umask, not recursively) on the first call. Throws
  // `IndexError::Io`; a directory of that name left by an earlier process is such an error.
  const std::filesystem::path& dir();

  // Sorts and deduplicates `run` (not empty) on the build's threads, records its bucket table,
  // writes it as the next run file and empties it. Throws `IndexError::Io`.
  void spill(std::vector<Pair>& run);

  // What a merge wrote.
  struct Merged {
    std::vector<std::filesystem::path> files;  // "m0", "m1", ... in range order
    std::uint64_t pairs = 0;                   // distinct pairs written
    std::uint64_t repeats = 0;                 // those whose h1 equals the previous pair's
  };
  // Merges every run into one merged file per range of buckets, on up to `threads` workers; the
  // ranges are cut at bucket boundaries to hold about the same number of pairs. Throws the first
  // worker's `IndexError::Io` in worker order, "compact-hash: a scratch file is torn" for a run
  // shorter than its table says.
  Merged merge();

  std::uint64_t runs() const noexcept { return runs_; }
  unsigned threads() const noexcept { return threads_; }

 private:
  std::filesystem::path output_;
  scratch::Dir dir_;
  std::vector<std::vector<std::uint64_t>> tables_;
  std::uint64_t runs_ = 0;
  unsigned threads_;
};

// Reads merged files in order, 1 MiB at a time.
class Segments {
 public:
  // Opens the first of `paths` (which must not be empty). Throws `IndexError::Io`.
  static Segments open(std::span<const std::filesystem::path> paths);

  // Replaces the content of `out` with the next pairs (as many whole records as the buffer
  // holds); false at the end of the last file. Empty files are passed over. Throws
  // `IndexError::Io`, and "compact-hash: a scratch file is torn" for a file that ends inside a
  // record.
  bool fill(std::vector<Pair>& out);

 private:
  Segments(std::vector<std::filesystem::path> paths, fileio::File file);
  std::vector<std::filesystem::path> paths_;
  std::size_t next_path_;
  fileio::File file_;
  std::vector<std::uint8_t> buf_;
  std::size_t len_ = 0;
};

// The sorted distinct pairs of a build: the run buffer itself, or the merged files.
using Pairs = std::variant<std::vector<Pair>, std::vector<std::filesystem::path>>;

// One reader over `Pairs`, from the start, handing out at most `kSourcePairs` pairs at a time.
class Source {
 public:
  // Opens the first merged file when the pairs are in files. Throws `IndexError::Io`.
  explicit Source(const Pairs& pairs);
  // A source over the given merged files only.
  explicit Source(std::span<const std::filesystem::path> files);

  // The next pairs, or an empty span at the end; valid until the next call. Throws
  // `IndexError::Io`.
  std::span<const Pair> next();

 private:
  std::span<const Pair> memory_;
  std::size_t at_ = 0;
  std::optional<Segments> segments_;
  std::vector<Pair> buffer_;
};

// The distinct h1 values of a `Source`'s pairs, ascending, as the minimal-perfect-hash build
// reads them. A read failure ends the sequence and is kept in `error` for the build's owner.
class Reps final : public mphf::HashSource {
 public:
  explicit Reps(Source& source) : source_(source) {}
  std::size_t next_batch(std::span<std::uint64_t> out) override;
  std::optional<IndexError> error;

 private:
  Source& source_;
  std::span<const Pair> pending_;
  std::optional<std::uint64_t> last_;
  bool ended_ = false;
};

// Sorts `pairs`, drops repeated pairs and counts the pairs whose h1 repeats the previous one's.
std::uint64_t sort_unique_in_memory(std::vector<Pair>& pairs, unsigned threads);

// The sorted distinct pairs of a corpus and what collecting them counted.
struct Collected {
  Pairs pairs;
  std::uint64_t total = 0;    // distinct pairs
  std::uint64_t repeats = 0;  // those whose h1 equals the previous pair's
};

// One pass over `keys`: each key's pair from `hash` goes into a run buffer of `run_pairs` (at
// least 1) pairs, spilled into `scratch` whenever it is full. Then the sorted distinct pairs: the
// run buffer sorted on `threads` threads when nothing was spilled, else every run (the last one
// spilled too) merged into files. Throws `IndexError::format(failed)` when the key source reports
// a failure once the pass has ended, and what `Scratch` throws.
Collected collect_pairs(key_source::KeySource& keys, Scratch& scratch, std::uint64_t run_pairs,
                        unsigned threads, hash::Pair (*hash)(std::string_view), const char* failed);

// The minimal perfect hash over the `m` distinct h1 values of `pairs`, built on `threads`
// threads; none when `m` is 0. A read failure of the pairs is thrown rather than the build error
// it caused.
std::optional<mphf::Mphf> build_rep_mphf(const Pairs& pairs, std::uint64_t m, unsigned threads);

}  // namespace quenlith::compact_hash
