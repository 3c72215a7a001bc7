// The planner: which index type should hold a corpus.
//
// A caller states its needs (what the index must answer) and an objective (what the ranking
// weighs). Every index kind that answers the needs is priced in bytes on the corpus, by building
// it when the corpus holds at most 100,000 distinct keys and from a model fed by two small draws
// of the corpus beyond that. The priced candidates are then ranked under the objective with a
// fixed cost model of lookup times, and the plan is explained in a short text.
//
// Everything here is called from one thread at a time per plan. The trial builds, and the sort,
// count and draws of a large corpus held in memory, start worker threads of their own and join
// them before they return; no result depends on how many there are. The library never prints:
// the plan text is returned.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quenlith::dict_index {
class DictIndex;
}

namespace quenlith::estimate {

// ---- Needs, objectives and candidates ----

// What the index must answer besides id(key), in the order of the command-line flags and of the
// keyword arguments of the Python plan().
struct Needs {
  bool reverse = false;  // key(id)
  bool ordered = false;  // ids in lexicographic order, in-order iteration
  bool prefix = false;   // prefix and range queries
  bool fuzzy = false;    // Levenshtein and subsequence queries
  bool exact = false;    // a non-member answered as one: no probabilistic index
  friend bool operator==(const Needs&, const Needs&) = default;
};

// A weighted mix of operations. Weights are relative; 0 means the operation does not occur.
// `batch` is the number of keys one batched lookup holds (0 and 1: unbatched).
struct Workload {
  std::uint64_t hits = 0;
  std::uint64_t misses = 0;
  std::uint64_t reverse = 0;
  std::uint64_t prefix = 0;
  std::uint64_t common_prefix = 0;
  std::uint64_t longest_prefix = 0;
  std::uint32_t batch = 0;
  friend bool operator==(const Workload&, const Workload&) = default;
};

// What the ranking weighs. `workload` is read only when `kind` is Workload.
struct Objective {
  enum class Kind : std::uint8_t { Memory = 0, Latency = 1, Balanced = 2, Workload = 3 };
  Kind kind = Kind::Memory;
  Workload workload;

  static Objective memory() { return {}; }
  static Objective latency() { return {Kind::Latency, {}}; }
  static Objective balanced() { return {Kind::Balanced, {}}; }
  static Objective weighted(const Workload& w) { return {Kind::Workload, w}; }
  friend bool operator==(const Objective&, const Objective&) = default;
};

// The objective a name gives: "memory", "latency" or "balanced"; nullopt for any other name.
std::optional<Objective> objective_named(std::string_view name);
// The weight of `w` an operation name sets: "hits", "misses", "reverse", "prefix",
// "common_prefix" or "longest_prefix"; nullptr for any other name ("batch", a batch size and not
// a weight, among them).
std::uint64_t* workload_weight(Workload& w, std::string_view op);

// The index kinds the planner prices, by code.
enum class Kind : std::uint8_t {
  CompactHashIndex = 0,
  ClosedHashIndex = 1,
  PerfectHashIndex = 2,
  StringIndex = 3,
  DictIndex = 4,
};

// "CompactHashIndex", "ClosedHashIndex", ...: the name the plan text and the Python result print.
const char* kind_name(Kind kind) noexcept;

// One thing to price. `block` (keys per block) is present exactly for DictIndex.
struct Candidate {
  Kind kind;
  std::optional<std::uint64_t> block;
  friend bool operator==(const Candidate&, const Candidate&) = default;
};

// One priced candidate. `bytes` is the blob's size: built from the whole corpus when `measured`,
// predicted by the model otherwise. Times are derived on demand (`nanos_of`), so one estimate
// ranks and prints under any objective.
struct Estimate {
  Kind kind;
  std::optional<std::uint64_t> block;
  std::uint64_t bytes = 0;
  bool measured = false;
  friend bool operator==(const Estimate&, const Estimate&) = default;
};

// The candidates that answer every need, in the order that breaks ranking ties. Never empty, at
// most seven. The caller widens the needs by the objective first (`widen`).
std::vector<Candidate> candidates(const Needs& needs);

// The needs with those a workload's weighted operations ask for: a non-zero reverse weight adds
// reverse; a non-zero prefix, common_prefix or longest_prefix weight adds prefix. Any other
// objective leaves the needs as they are.
Needs widen(Needs needs, const Objective& objective) noexcept;

// ---- Corpus shape and samples ----

// Five counters over sorted distinct keys.
struct Shape {
  std::uint64_t count = 0;         // keys
  std::uint64_t total_len = 0;     // key bytes
  std::uint64_t lcp_prev = 0;      // prefix shared with the key before, summed
  std::uint64_t lcp_back32 = 0;    // prefix shared with the key 32 places before, summed
  std::uint64_t pairs_back32 = 0;  // keys counted in lcp_back32: max(count - 32, 0)

  // The shape of sorted distinct keys (byte order), counted on worker threads for a large corpus.
  // No keys: all zeros.
  static Shape of(std::span<const std::string_view> keys);

  // total_len / max(count, 1).
  double mean_length() const noexcept;
  // lcp_prev / (max(count, 2) - 1).
  double mean_lcp() const noexcept;
  // The mean suffix of a key coded against the key 32 places before it: mean_length minus the
  // mean prefix shared over that distance (the neighbour's when fewer than 33 keys).
  double mean_restart_suffix() const noexcept;

  friend bool operator==(const Shape&, const Shape&) = default;
};

// The accumulator of a Shape: the counters and a ring of the last 32 keys.
class ShapeWalk {
 public:
  // Adds the next key; keys arrive in byte order without repeats.
  void push(std::string_view key);
  const Shape& shape() const noexcept { return shape_; }

 private:
  Shape shape_;
  std::vector<std::string> ring_;  // slot p mod 32 holds the key at position p
};

// The hash that picks keys for both draws: FNV-1a 64 over the bytes, then the SplitMix64
// finaliser, all 64 bits kept. Unrelated to the index key hash.
std::uint64_t sample_hash(std::string_view key) noexcept;

// The keys of smallest sample hash, a uniform draw blind to key order. `Key` is std::string_view
// for keys the caller keeps alive, std::string for streamed keys the sample must own.
template <class Key>
class HashSample {
 public:
  explicit HashSample(std::size_t k = 100000) : k_(k) {}

  // Considers the next key.
  void offer(std::string_view key);
  // Keeps the k entries of smallest hash.
  void trim();
  // Takes in the sample of another stretch of the same corpus: the result holds the k smallest
  // hashes of both stretches, as if one sample had been offered every key.
  void absorb(HashSample&& other);
  // The kept keys in byte order.
  std::vector<Key> finish() &&;

 private:
  std::vector<std::pair<std::uint64_t, Key>> entries_;
  std::size_t k_;
  std::uint64_t threshold_ = UINT64_MAX;
};

// Runs of consecutive keys whose first key has the smallest sample hash: a draw that keeps the
// local order front coding depends on.
template <class Key>
class RunSample {
 public:
  explicit RunSample(std::size_t k = 24, std::uint64_t run_len = 4096) : k_(k), run_len_(run_len) {}

  void offer(std::string_view key);
  void trim();
  // Takes in the sample of a later stretch of the same corpus that starts at a multiple of
  // run_len: the result holds the k runs of smallest first hash of both, as if one sample had
  // been offered every key.
  void absorb(RunSample&& other);
  // The keys of the kept runs, in byte order.
  std::vector<Key> finish() &&;

 private:
  std::optional<std::uint64_t> pending_;
  std::optional<std::size_t> open_;
  std::vector<std::pair<std::uint64_t, std::vector<Key>>> runs_;
  std::size_t k_;
  std::uint64_t run_len_;
  std::uint64_t threshold_ = UINT64_MAX;
  std::uint64_t seen_ = 0;
};

// The hash draw (up to 100,000 keys) and the run draw (up to 24 runs of 4,096 keys) of sorted
// distinct keys, both sorted, both viewing the caller's keys. A large corpus is sampled in
// stretches on worker threads, whose samples are then absorbed in order: the draws are the same
// for any thread count.
std::pair<std::vector<std::string_view>, std::vector<std::string_view>> draws(
    std::span<const std::string_view> keys);

// ---- Pricing ----

// The corpus size up to which every candidate is built and weighed.
inline constexpr std::uint64_t kMeasuringLimit = 100000;

// Builds every candidate on all `keys` (sorted, distinct) and returns the exact blob sizes, in
// candidate order, `measured` set. Throws the first build's `IndexError`; a DictIndex block
// outside 1..=1024 is the Format error "dict: block must be in 1..=1024".
std::vector<Estimate> weigh(std::span<const std::string_view> keys,
                            std::span<const Candidate> candidates);

// What a DictIndex pays, read from one built from a draw.
struct Rates {
  double ratio = 0;      // coded suffix bytes per raw suffix byte
  double per_entry = 0;  // header and wide bytes per coded entry
  double per_block = 0;  // offset-array bytes per block
  double per_shard = 0;  // symbol-table and header-code bytes per shard
  double per_key = 0;    // phrase-dictionary bytes per corpus key

  // The rates of `dict`, built from keys of shape `shape`; `count` is the number of keys the
  // phrase bytes are spread over.
  static Rates read(const dict_index::DictIndex& dict, const Shape& shape, std::uint64_t count);
};

struct RateSet {
  std::uint64_t block = 0;
  Rates rates;
};

// A straight line of blob bytes over keys.
struct Line {
  double intercept = 0;
  double slope = 0;
};

// The sizes of the three hash indexes built over some keys (PerfectHashIndex without the key
// bytes it stores).
struct HashFit {
  double compact = 0;
  double closed = 0;
  double perfect = 0;
};

// Builds the three hash indexes over `keys` and returns their sizes. Throws a build's
// `IndexError`.
HashFit hash_fits(std::span<const std::string_view> keys);

// The figures measured on the two draws, from which `model` prices the whole corpus.
struct Sample {
  std::array<RateSet, 3> sets{};  // blocks 32, 256 and 1024
  Line compact;
  Line closed;
  Line perfect;            // without the key bytes
  double string_rate = 0;  // StringIndex bytes per key

  // Measures the draws (both sorted) of a corpus of `n` keys. Only what pricing `priced` needs is
  // built: the hash lines for hash kinds, the transducer for StringIndex, the dictionaries for
  // DictIndex; every candidate list yields the same figures for the kinds it holds. Throws the
  // first build's `IndexError`.
  static Sample of(std::span<const std::string_view> hash_draw,
                   std::span<const std::string_view> run_draw, std::uint64_t n,
                   std::span<const Candidate> priced);
};

// Prices every candidate for the corpus of `shape` from the sample's figures; `measured` clear.
// A price that comes out negative or not a number is 0 bytes. Plain arithmetic; cannot fail.
std::vector<Estimate> model(const Shape& shape, const Sample& sample,
                            std::span<const Candidate> candidates);

// The DictIndex model price at `block` from a rate set, for the corpus of `shape`.
double dict_price(const Shape& shape, const Rates& rates, std::uint64_t block);

// ---- Cost model and ranking ----

// The modelled nanoseconds of one operation of the objective's mix on the estimate's index, for a
// corpus of `n` keys of mean length `mean_length`. A coefficient table of one reference machine,
// never a measurement. Pure.
double nanos_of(const Objective& objective, const Estimate& estimate, std::uint64_t n,
                double mean_length) noexcept;

// Sorts the estimates best first under the objective; stable, so ties keep candidate order.
void rank(std::vector<Estimate>& estimates, const Objective& objective, std::uint64_t n,
          double mean_length);

// The factor within which two sizes are too close to call.
inline constexpr double kCloseFactor = 1.3;

// Whether the smallest estimate and the smallest of another kind (DictIndex block sizes are one
// kind) lie within kCloseFactor of each other. At least one estimate.
bool close(std::span<const Estimate> ranked);

// ---- Planning ----

struct Plan {
  Objective objective;
  std::vector<Estimate> estimates;  // ranked, at least one; the first is the pick
  std::uint64_t n = 0;              // distinct keys
  double mean_length = 0;
  double mean_lcp = 0;
  Needs needs;  // the caller's needs widened by the objective

  // The two cheapest kinds are too close for an estimate to separate.
  bool close() const { return estimate::close(estimates); }
  // The mean suffix is under 2 bytes and the pick was modelled, not built: a sampled compression
  // ratio cannot be trusted on such a corpus.
  bool thin() const noexcept;

  // The plan text: a header line, one line per estimate, the note on the nanoseconds and up to
  // two warnings; every line ends in a line feed.
  std::string text() const;

  friend bool operator==(const Plan&, const Plan&) = default;
};

// Plans keys held in memory: any order, repeats allowed; only borrowed. Throws the `IndexError`
// of a trial build.
Plan plan_for(std::span<const std::string> keys, const Needs& needs, const Objective& objective);

// `plan_for` over borrowed keys.
Plan plan_for_views(std::span<const std::string_view> keys, const Needs& needs,
                    const Objective& objective);

// Plans the keys of a keys file (one per line, any order, possibly larger than memory), read
// once and sorted externally in runs spilled to a directory beside the file, which is removed on
// every way out. A line ends at a line feed; one line feed and then one carriage return are
// dropped; empty lines are skipped but numbered. Throws `IndexError`:
// - Io "<path>: <os message>" (the failure's kind) when the file cannot be opened;
// - Io "<path>:<line>: not UTF-8" (InvalidData) for a line that is not UTF-8;
// - Format "plan: a key longer than the run budget" for a key longer than the 256 MiB budget;
// - another read error, a spill or merge failure, or a trial build's error, as it is.
Plan plan_file(const std::filesystem::path& path, const Needs& needs, const Objective& objective);

// Plans the bytes of a keys file held in memory exactly as `plan_file` plans a file holding
// them, failing as it does with `shown` in place of the path: for a keys file that could be read
// only once.
Plan plan_keys_file_bytes(std::span<const char> bytes, const std::string& shown,
                          const Needs& needs, const Objective& objective);

// `plan_file` over `path` with its messages naming `shown` in place of the path: for a copy that
// stands in for a keys file that could be read only once.
Plan plan_file_as(const std::filesystem::path& path, const std::string& shown, const Needs& needs,
                  const Objective& objective);

namespace detail {
// The steps of planning keys in memory with the number of worker stretches given (at least 1) in
// place of one a processor, so that tests can show the results do not depend on it.
void sort_distinct(std::vector<std::string_view>& keys, unsigned parts);
Shape shape_of(std::span<const std::string_view> keys, unsigned parts);
std::pair<std::vector<std::string_view>, std::vector<std::string_view>> draws(
    std::span<const std::string_view> keys, unsigned parts);

// What one pass over a keys file's sorted distinct keys leaves: the shape, and every key when
// there are at most kMeasuringLimit of them, else the two draws (both sorted).
struct FileCorpus {
  Shape shape;
  std::optional<std::vector<std::string>> kept;
  std::vector<std::string> hash_draw;
  std::vector<std::string> run_draw;
};
// Reads, sorts and replays a keys file as `plan_file` does, with a run budget of `budget` key
// bytes (and budget / 8 keys). Throws as `plan_file` does before pricing.
FileCorpus read_corpus(const std::filesystem::path& path, std::uint64_t budget);
FileCorpus read_corpus(const std::filesystem::path& path, const std::string& shown,
                       std::uint64_t budget);

// `plan_file` with a run budget of `budget` key bytes (and budget / 8 keys) in place of 256 MiB,
// so that tests can make the sort spill.
Plan plan_file_with_budget(const std::filesystem::path& path, const Needs& needs,
                           const Objective& objective, std::uint64_t budget);
Plan plan_file_with_budget(const std::filesystem::path& path, const std::string& shown,
                           const Needs& needs, const Objective& objective, std::uint64_t budget);
}  // namespace detail

}  // namespace quenlith::estimate
