// `StringIndex`: the ordered string <-> id index stored as a finite-state transducer map.
//
// Every key maps to its rank: the keys in ascending unsigned byte order carry the values 0 to
// n - 1, so a key's id is its value and every ordered question about keys is one about ranks.
// Keys are distinct UTF-8 strings (a proper prefix sorts before its extensions).
//
// The "BIX4" blob (little-endian):
//
//   offset  size  field
//   0       4     magic "BIX4" (u32 0x34584942)
//   4       L     the transducer map exactly as the fst library writes it (format version 3,
//                 map type 0; versions 1 to 3 are read); its own CRC-32C covers it, so the blob
//                 has no hash of its own. Its layout is the library's (fst/src/fst.cpp).
//
// An index is immutable once built or loaded: every query is const, takes no lock and may run on
// any number of threads at once. A loaded index borrows the caller's `SharedBytes` (owned pages
// or a read-only mapping) and keeps its storage alive. Copying an index shares its bytes.
//
// Queries never fail on an index built here or loaded by the validating loader. On a blob loaded
// without validation whose nodes do not decode, a query throws `Panic`.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "blob.hpp"
#include "error.hpp"
#include "extsort.hpp"
#include "fst/automaton.hpp"
#include "fst/error.hpp"
#include "fst/fst.hpp"
#include "fst/levenshtein.hpp"
#include "fst/stream.hpp"
#include "key_source.hpp"
#include "subsequence.hpp"

namespace quenlith::string_index {

inline constexpr char kMagic[4] = {'B', 'I', 'X', '4'};
inline constexpr std::uint64_t kMagicBytes = 4;

// The external-sort run of `build_to_file`: the external sort's own budget.
using extsort::kRunBudget;

inline constexpr const char* kNotRanks = "string-index: FST values are not the sorted ranks";
inline constexpr const char* kKeyTooLong = "string-index: a key longer than the run budget";
inline constexpr const char* kSourceFailed =
    "string-index: the input iterable raised before it ended";

// A (key, id) result of a listing query.
struct Entry {
  std::string key;
  std::uint64_t id;
  friend bool operator==(const Entry&, const Entry&) = default;
};

// The key whose value is `rank` in `map`, found by one descent from the root with a binary search
// over each node's transitions; nullopt for a rank at or beyond n, when an output sum would
// overflow 64 bits, or when the key's bytes are not UTF-8. Throws fst::Error (Format) for a node
// that does not decode.
std::optional<std::string> rank_walk(const fst::Fst& map, std::uint64_t rank);

// Decodes key bytes as UTF-8, each ill-formed sequence replaced by U+FFFD.
std::string lossy_utf8(std::span<const std::uint8_t> bytes);

// A lazy listing: the (key, id) pairs of a stream over the index, in ascending key order. It
// borrows the index, which must outlive it and stay where it is. One thread at a time.
template <fst::Automaton A>
class MatchIter {
 public:
  // The next pair, its key decoded lossily; nullopt at the end.
  std::optional<Entry> next();
  // As next(), with the key's raw bytes (valid until the next call).
  std::optional<typename fst::Stream<A>::Item> next_raw();

 private:
  friend class StringIndex;
  explicit MatchIter(fst::Stream<A> stream) : stream_(std::move(stream)) {}
  fst::Stream<A> stream_;
};

// Collects at most `limit` pairs of `it` (all when nullopt); a limit of 0 pulls nothing.
template <fst::Automaton A>
std::vector<Entry> drain(MatchIter<A>& it, std::optional<std::uint64_t> limit);

using PrefixAutomaton = fst::automaton::StartsWith<fst::automaton::Str>;

class StringIndex {
 public:
  // An index with no keys.
  StringIndex();

  // --- building ------------------------------------------------------------------------------

  // Builds from keys in any order, repeats allowed; each distinct key gets its rank. Sorts
  // references to the keys, not copies. Throws `IndexError::Fst` for a builder error.
  static StringIndex build(std::span<const std::string_view> keys);
  static StringIndex build(std::span<const std::string> keys);

  // Builds from keys already in ascending byte order (repeats skipped), read in one pass of
  // `keys` on the calling thread, straight into the transducer, holding none of them. A key below
  // the previous one is the library's out-of-order error (`IndexError::Fst`); `Format`
  // kSourceFailed when the source failed. The index equals `build(keys)`.
  static StringIndex from_sorted(key_source::KeySource& keys);

  // Streams keys in any order, read in one pass of `keys` on the calling thread, into a "BIX4"
  // file at `path` through an external sort: runs of at
  // most kRunBudget key bytes (or kRunBudget / 8 keys) are sorted, deduplicated and spilled
  // beside the output, then merged into the transducer writer. Returns the number of distinct
  // keys. The file appears by an atomic rename; on any failure the output is left as it was and
  // no temporary or run file stays. Errors: `Format` kKeyTooLong for a first key longer than the
  // budget (a later one stands alone in its run), `Format` kSourceFailed when the source failed,
  // `Io` for every file failure, `Fst` for a transducer error. Bytes equal those of
  // `build(keys).to_bytes()`.
  static std::uint64_t build_to_file(key_source::KeySource& keys,
                                     const std::filesystem::path& path);
  // Streams keys already in ascending byte order (repeats skipped) straight into the writer.
  // A key below the previous one is the library's out-of-order error (`IndexError::Fst`).
  // Otherwise as `build_to_file`.
  static std::uint64_t build_sorted_to_file(key_source::KeySource& keys,
                                            const std::filesystem::path& path);

  // --- loading -------------------------------------------------------------------------------

  // Copies `data` into owned pages and loads it by `from_shared` with verification.
  static StringIndex from_bytes(std::span<const std::uint8_t> data);
  // Loads a "BIX4" blob, borrowing `bytes`. Checks the magic ("bad magic or truncated header")
  // and opens the map (its errors as `IndexError::Fst`); with `verify` also the map's checksum
  // (`Fst`) and `verify_ranks`. Without `verify`, damaged bytes that still open are accepted.
  // The checksum is public: only the untrusted loader refuses crafted bytes.
  static StringIndex from_shared(blob::SharedBytes bytes, bool verify);
  // Copies `data` and loads it by `from_shared_untrusted`.
  static StringIndex from_untrusted_bytes(std::span<const std::uint8_t> data);
  // Validates the map as a graph before accepting it: every reachable node fits the blob, every
  // transition points below its node, every key is UTF-8, the values are exactly the ranks and
  // the key count is the stored one; then the checksum. Arbitrary bytes give an `IndexError`
  // ("fst ..." `Format` messages, or the `Fst` errors of opening and of the checksum), never a
  // crash; time is linear in the blob.
  static StringIndex from_shared_untrusted(blob::SharedBytes bytes);

  // File loaders: `load` reads the file into owned bytes and verifies; `load_mmap` maps it and
  // does not; `load_mmap_verified` maps and verifies; `load_untrusted` reads and validates;
  // `load_mmap_untrusted` maps and validates. File failures are `IndexError::Io`.
  static StringIndex load(const std::filesystem::path& path);
  static StringIndex load_mmap(const std::filesystem::path& path);
  static StringIndex load_mmap_verified(const std::filesystem::path& path);
  static StringIndex load_untrusted(const std::filesystem::path& path);
  static StringIndex load_mmap_untrusted(const std::filesystem::path& path);

  // The cheap rank check of the verified loads: the first key's value is 0 and some key has
  // rank n - 1. Throws `IndexError::Format` kNotRanks.
  void verify_ranks() const;

  // --- serialising ---------------------------------------------------------------------------

  // "BIX4" followed by the transducer bytes.
  std::vector<std::uint8_t> to_bytes() const;
  // The length of `to_bytes()`, without copying.
  std::uint64_t serialized_len() const noexcept { return kMagicBytes + map_.size(); }
  // Writes `to_bytes()` to `path` atomically. Throws `IndexError::Io`.
  void save(const std::filesystem::path& path) const;

  // The transducer (the blob after its magic) and the view holding it.
  const fst::Fst& map() const noexcept { return map_; }
  std::span<const std::uint8_t> transducer_bytes() const noexcept { return bytes_.bytes(); }
  const blob::SharedBytes& shared_bytes() const noexcept { return bytes_; }

  // The key count n.
  std::uint64_t len() const noexcept { return map_.len(); }
  bool is_empty() const noexcept { return map_.len() == 0; }

  // --- exact lookups -------------------------------------------------------------------------

  // The key's id, or nullopt when it is not stored.
  std::optional<std::uint64_t> id(std::string_view key) const;
  bool contains(std::string_view key) const { return id(key).has_value(); }
  // The key of `id` (`rank_walk`), or nullopt for an id at or beyond n.
  std::optional<std::string> key(std::uint64_t id) const;
  // `key` of each id, aligned with `ids`.
  std::vector<std::optional<std::string>> keys_of(std::span<const std::uint64_t> ids) const;

  // --- ordered queries -----------------------------------------------------------------------

  // The number of keys sorting below `query`: the id of the first key not below it, in [0, n].
  std::uint64_t rank_of_first_ge(std::string_view query) const;
  std::uint64_t lower_bound(std::string_view query) const { return rank_of_first_ge(query); }
  // The number of keys with lo <= key < hi (0 when lo is above hi).
  std::uint64_t range_count(std::string_view lo, std::string_view hi) const;
  // The pairs with lo <= key < hi, at most `limit`.
  std::vector<Entry> range(std::string_view lo, std::string_view hi,
                           std::optional<std::uint64_t> limit = std::nullopt) const;
  // The half-open id range of the keys starting with `prefix`; (start, start) when none does.
  std::pair<std::uint64_t, std::uint64_t> prefix_id_range(std::string_view prefix) const;
  std::uint64_t prefix_count(std::string_view prefix) const;
  // The pairs whose key starts with `prefix`, lazily, then drained to at most `limit`.
  MatchIter<PrefixAutomaton> prefix_iter(std::string_view prefix) const;
  std::vector<Entry> prefix(std::string_view prefix,
                            std::optional<std::uint64_t> limit = std::nullopt) const;
  // The smallest key >= query, and the largest key <= query.
  std::optional<Entry> successor(std::string_view query) const;
  std::optional<Entry> predecessor(std::string_view query) const;

  // --- prefix matching -----------------------------------------------------------------------

  // Every stored key that is a prefix of `query`, shortest first (the empty key first when
  // stored), each copied from the query.
  std::vector<Entry> common_prefix(std::string_view query) const;
  // The longest stored key that is a prefix of `query`.
  std::optional<Entry> longest_prefix(std::string_view query) const;

  // --- approximate queries -------------------------------------------------------------------

  // The pairs whose key lies within `max_distance` character edits (insertions, deletions,
  // substitutions of Unicode scalar values) of `query`, at most `limit`. The automaton is built
  // before the limit is read: `IndexError::Automaton` "Levenshtein automaton exceeds size limit
  // of 10000 states" also with a limit of 0.
  MatchIter<fst::automaton::Levenshtein> fuzzy_iter(std::string_view query,
                                                    std::uint32_t max_distance) const;
  std::vector<Entry> fuzzy(std::string_view query, std::uint32_t max_distance,
                           std::optional<std::uint64_t> limit = std::nullopt) const;
  // The pairs whose key contains `query` as a subsequence (a multi-byte character of the query
  // only where the key holds that character), at most `limit`. The iterator borrows `query`.
  MatchIter<subsequence::Subsequence> subsequence_iter(std::string_view query) const;
  std::vector<Entry> subsequence(std::string_view query,
                                 std::optional<std::uint64_t> limit = std::nullopt) const;

  // Every pair in key order, or those strictly after `after`: what a dump or a key iterator
  // resumes from.
  MatchIter<fst::automaton::AlwaysMatch> stream_after(
      std::optional<std::string_view> after = std::nullopt) const;

  // A stream over the keys that `aut` matches, from `lo` (inclusive, when given) to `hi`
  // (exclusive, when given). The building block of the listings above.
  template <fst::Automaton A>
  MatchIter<A> search(A aut, std::optional<std::string_view> lo = std::nullopt,
                      std::optional<std::string_view> hi = std::nullopt) const;

 private:
  StringIndex(blob::SharedBytes bytes, fst::Fst map) : bytes_(std::move(bytes)), map_(map) {}
  static StringIndex open(blob::SharedBytes bytes);

  blob::SharedBytes bytes_;  // the transducer: the blob after its magic
  fst::Fst map_;             // reads bytes_, whose storage does not move with the index
};

namespace detail {

// The run limits of `build_to_file`, smaller in tests: the run budget, and the offset limit
// standing in for the 4 GiB a run's 32-bit offsets can address.
struct RunLimits {
  std::uint64_t budget = kRunBudget;
  std::uint64_t offset_limit = extsort::kMaxRunBytes;
};
std::uint64_t build_to_file_with(key_source::KeySource& keys,
                                 const std::filesystem::path& path, RunLimits limits);

// Throws the `Panic` of a query that met a node that does not decode.
[[noreturn]] void undecodable(const fst::Error& e);

}  // namespace detail

// ---------------------------------------------------------------------------------------------

template <fst::Automaton A>
std::optional<typename fst::Stream<A>::Item> MatchIter<A>::next_raw() {
  try {
    return stream_.next();
  } catch (const fst::Error& e) {
    detail::undecodable(e);
  }
}

template <fst::Automaton A>
std::optional<Entry> MatchIter<A>::next() {
  auto item = next_raw();
  if (!item) return std::nullopt;
  return Entry{lossy_utf8(item->key), item->value};
}

template <fst::Automaton A>
std::vector<Entry> drain(MatchIter<A>& it, std::optional<std::uint64_t> limit) {
  std::vector<Entry> out;
  if (limit && *limit == 0) return out;
  while (auto e = it.next()) {
    out.push_back(std::move(*e));
    if (limit && out.size() >= *limit) break;
  }
  return out;
}

template <fst::Automaton A>
MatchIter<A> StringIndex::search(A aut, std::optional<std::string_view> lo,
                                 std::optional<std::string_view> hi) const {
  try {
    auto b = fst::search(map_, std::move(aut));
    if (lo) b.ge(*lo);
    if (hi) b.lt(*hi);
    return MatchIter<A>(std::move(b).into_stream());
  } catch (const fst::Error& e) {
    detail::undecodable(e);
  }
}

}  // namespace quenlith::string_index
