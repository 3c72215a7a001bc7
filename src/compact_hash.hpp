// `CompactHashIndex`: a minimal perfect hash over the first key-hash half `h1` and a packed table
// of 1 to 64 fingerprint bits a key taken from the second half `h2`. No key is stored: membership
// is probabilistic (a non-member is accepted with probability 2^-bits) and there is no reverse
// lookup. Keys whose `h1` collides are kept exactly, by their (h1, h2) pair, in the side table.
//
// Also here: the pair sort entry of the pair builds, the slot assignment rule and the build step
// that the compact and closed builds share.
//
// The "BCH8" blob (all integers little-endian; the 64-bit fields at 4 and 28 are unaligned):
//
//   offset        size          field
//   0             4             magic "BCH8"
//   4             8             n, number of keys (distinct hash pairs), <= u32::MAX
//   12            4             bits, the fingerprint width b, 1..=64
//   16            8             mph_len, bytes of the minimal-perfect-hash section
//   24            4             side_count s
//   28            8             payload hash of every byte from 40 to the end
//   36            4             header check over bytes 0..36
//   40            mph_len       minimal-perfect-hash section ("MPH3"; "MPH2"/"MPH1" read); empty
//                               when n = 0
//   40 + mph_len  ceil(m*b/8)   fingerprint table, m = n - s: a little-endian bit stream, the
//                               fingerprint of slot i in bits i*b .. i*b + b - 1
//   L - 20*s      20*s          side entries (h1 u64, h2 u64, id u32), ids exactly [m, n)
//
// Written: "BCH8". Refused with a message asking for a rebuild: "BCH1" to "BCH7".
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "blob.hpp"
#include "hash.hpp"
#include "hash_blob.hpp"
#include "key_source.hpp"
#include "mphf.hpp"
#include "pages.hpp"
#include "pair_sort.hpp"
#include "side_table.hpp"

namespace quenlith::compact_hash {

using hash::Pair;
using side_table::PairEntry;

// Throws `IndexError::Format` "compact-hash: fingerprint_bits must be in 1..=64" for a
// fingerprint width outside 1..=64.
void check_width(std::uint32_t bits);

// The first half of a pair after `slots_in_place` when its `h1` repeats the previous pair's.
inline constexpr std::uint64_t kRepeated = ~std::uint64_t{0};

// Sorts `pairs` ascending by (h1, h2) in place, allocating nothing as large as the slice;
// duplicates stay. With 2 or more threads (0 means 1, more than 256 means 256) and at least
// threads * 4096 pairs, the pairs are first distributed in place into one contiguous range of
// h1 per thread, each range then sorted on its own scoped worker thread; otherwise the calling
// thread sorts them. The result is the same for every count.
void sort_run(std::span<Pair> pairs, unsigned threads);

// Replaces the `h1` of every pair of a sorted, duplicate-free slice by its slot in `mph`, and by
// `kRepeated` for a pair whose `h1` equals the previous pair's. `h2` is untouched. Workers own
// disjoint chunks; the result does not depend on `threads`.
void slots_in_place(std::span<Pair> pairs, const mphf::Mphf& mph, unsigned threads);

// The hash pairs of `keys`, in order, computed on up to `threads` threads.
using pair_sort::hash_keys;

// What a lookup found: `id` means something only when `matched` is set.
struct Match {
  std::uint64_t id;
  bool matched;
};

// The refusals of both builds, in memory and streamed.
inline constexpr const char* kTooMany = "compact-hash: more than u32::MAX keys; ids are u32";
inline constexpr const char* kNotMinimal = "compact-hash: construction was not minimal/perfect";

// The blob header: its layout and codec are shared with the other hash indexes.
using Header = hash_blob::FingerprintHeader;
inline constexpr std::uint64_t kHeaderBytes = Header::kBytes;

// The 40 header bytes of a "BCH8" blob, check included.
std::array<std::uint8_t, kHeaderBytes> header_bytes(std::uint64_t n, std::uint32_t bits,
                                                    std::uint64_t mph_len, std::uint32_t side_count,
                                                    std::uint64_t payload);

// The settings of one external build. Every caller uses the values given here; tests shrink
// them so that every road of the build runs on small data.
struct BuildLimits {
  // Byte budget of the run buffer: it holds max(run_bytes / 16, 1) pairs.
  std::uint64_t run_bytes = 268435456;
  // The largest fingerprint table held whole in memory.
  std::uint64_t table_bytes = 268435456;
  // Slots per fingerprint range when the table is not held in memory; a multiple of 8.
  std::uint64_t range_slots = 16777216;
  // The fingerprint width, 1 to 64.
  std::uint32_t bits = 8;
};

class CompactHashIndex;
namespace detail {
// `CompactHashIndex::build_to_file_with` on `threads` threads, keys hashed by `hash` (tests make
// distinct keys share an h1 with it).
std::uint64_t build_to_file_threads(key_source::KeySource& keys, const std::filesystem::path& path,
                                    const BuildLimits& limits, unsigned threads,
                                    hash::Pair (*hash)(std::string_view) = hash::hash_pair);
}  // namespace detail

// Immutable once built or loaded: every query is const, takes no lock and may run on any number
// of threads at once. Move-only (the minimal perfect hash owns its tables).
class CompactHashIndex {
 public:
  using Parts = hash_blob::BlobParts;

  // An empty index of width 8.
  CompactHashIndex();

  // Builds from (h1, h2) pairs in any order, repeats allowed; equal pairs are one key. Uses the
  // online processors. Throws `IndexError::Format` "compact-hash: fingerprint_bits must be in
  // 1..=64" (checked first), "compact-hash: more than u32::MAX keys; ids are u32",
  // "compact-hash: construction was not minimal/perfect", or the minimal-perfect-hash build's
  // error. While sorting, the build holds a second table as large as `pairs`.
  static CompactHashIndex build_from_pairs(std::vector<Pair> pairs, std::uint32_t bits);
  // The same with a given thread count; the result is identical for every count.
  static CompactHashIndex build_from_pairs_with_threads(std::vector<Pair> pairs, std::uint32_t bits,
                                                        unsigned threads);
  // Hashes every key and builds with 8 fingerprint bits. Equal keys are one key.
  static CompactHashIndex build(std::span<const std::string_view> keys);

  // Writes the blob of one pass of `keys` (any order, repeats allowed) to `path` without holding
  // the keys, their pairs or the fingerprint table whole: the pairs are sorted in runs spilled
  // beside the output and merged on worker threads, the minimal perfect hash is built from the
  // distinct h1 values streamed from them, and a fingerprint table larger than
  // `limits.table_bytes` is gathered in per-range scratch files. The file equals what
  // `build_from_pairs` of the keys' pairs and `save` write. Returns the number of distinct keys.
  // Throws `IndexError::Format` "compact-hash: fingerprint_bits must be in 1..=64" (before any
  // key is read), "compact-hash: the input iterable raised before it ended" (when
  // `keys.failed()` once the keys end, or before the header is written), "compact-hash: more
  // than u32::MAX keys; ids are u32"; the minimal-perfect-hash build's errors; `IndexError::Io`,
  // "compact-hash: a scratch file is torn" among them. On any failure the target is untouched
  // and the scratch directory is gone. Uses the online processors.
  static std::uint64_t build_to_file_with(key_source::KeySource& keys,
                                          const std::filesystem::path& path,
                                          const BuildLimits& limits);
  // `build_to_file_with` with 8 fingerprint bits and the standard limits.
  static std::uint64_t build_bits_to_file(key_source::KeySource& keys,
                                          const std::filesystem::path& path);

  // Single lookup: a side-table hit is exact (matched, its id); otherwise the slot of `h1` and
  // whether its fingerprint equals the key's. An empty index never matches.
  Match id_with_side(std::string_view key) const {
    return id_with_side_hashed(hash::hash_pair(key));
  }
  // The same for a key whose hash pair the caller already has.
  Match id_with_side_hashed(Pair hp) const;
  // The matched flag of `id_with_side`.
  bool contains(std::string_view key) const {
    return contains_hashed(hash::hash_pair(key));
  }
  bool contains_hashed(Pair hp) const;
  // The id when matched.
  std::optional<std::uint32_t> id(std::string_view key) const {
    const Match m = id_with_side(key);
    return m.matched ? std::optional<std::uint32_t>(static_cast<std::uint32_t>(m.id))
                     : std::nullopt;
  }
  // No fingerprint test: a member's own id; any other string some id below n - side (0 when
  // the index is empty).
  std::uint32_t id_unchecked(std::string_view key) const {
    return id_unchecked_hashed(hash::hash_pair(key));
  }
  std::uint32_t id_unchecked_hashed(Pair hp) const;

  // The id of the side entry holding exactly (h1, h2).
  static std::optional<std::uint32_t> side_lookup(std::span<const PairEntry> side, std::uint64_t h1,
                                                  std::uint64_t h2) noexcept {
    return side_table::find_pair(side, h1, h2);
  }

  // Batched lookup of `count` keys, `key_at(i)` giving the bytes of key i: the ids aligned with
  // the keys, absent where not matched. Equal to `id` applied to each key.
  template <class KeyAt>
  std::vector<std::optional<std::uint32_t>> ids_of_with(std::size_t count, KeyAt&& key_at) const {
    if (!mph_) return std::vector<std::optional<std::uint32_t>>(count);
    std::vector<Pair> pairs(count);
    for (std::size_t i = 0; i < count; ++i) pairs[i] = hash::hash_pair(std::string_view(key_at(i)));
    return ids_of_hashed(pairs);
  }
  std::vector<std::optional<std::uint32_t>> ids_of(std::span<const std::string_view> keys) const {
    return ids_of_with(keys.size(), [&](std::size_t i) { return keys[i]; });
  }
  // Batched lookup of hash pairs.
  std::vector<std::optional<std::uint32_t>> ids_of_hashed(std::span<const Pair> pairs) const;

  // Number of keys.
  std::uint64_t len() const noexcept { return n_; }
  std::uint32_t bits() const noexcept { return bits_; }
  std::span<const PairEntry> side() const noexcept { return side_; }
  const std::optional<mphf::Mphf>& mph() const noexcept { return mph_; }
  std::span<const std::uint8_t> fingerprint_table() const noexcept { return fingerprints_.bytes(); }

  // The blob's length: 40 + mph section + fingerprint table + 20 * side entries.
  std::uint64_t serialized_len() const noexcept;
  Parts serialised_parts() const;
  std::vector<std::uint8_t> to_bytes() const;
  // Writes the blob through the atomic writer. Throws `IndexError::Io`; the target is untouched
  // on failure.
  void save(const std::filesystem::path& path) const;

  // Loads a blob held in `view`; the fingerprint table borrows the view's storage. `verify`
  // compares the payload hash. Throws `IndexError::Format`.
  static CompactHashIndex from_shared(blob::SharedBytes view, bool verify);
  // Copies `bytes` into owned storage and loads them, verifying the payload.
  static CompactHashIndex from_bytes(std::span<const std::uint8_t> bytes);
  // Reads the whole file into owned storage; verifies the payload.
  static CompactHashIndex load(const std::filesystem::path& path);
  // Maps the file read-only and borrows the fingerprint table from the mapping; the payload is
  // not verified (the structural checks still apply). The file must not change while mapped.
  static CompactHashIndex load_mmap(const std::filesystem::path& path);
  // Maps the file and verifies the payload with one pass over the mapping.
  static CompactHashIndex load_mmap_verified(const std::filesystem::path& path);

 private:
  // What the frame parse of a blob yields before the minimal perfect hash is decoded.
  struct Frame {
    std::uint64_t n;
    std::uint32_t bits;
    std::span<const std::uint8_t> mph;  // inside the parsed view
    blob::SharedBytes fingerprints;     // a sub-view sharing the parsed view's storage
    std::vector<PairEntry> side;        // sorted
  };

  // The checks of a blob up to the minimal perfect hash, in their fixed order (see the .cpp).
  static Frame parse_frame(const blob::SharedBytes& view, bool verify);

  CompactHashIndex(std::optional<mphf::Mphf> mph, blob::SharedBytes fingerprints,
                   std::uint32_t bits, std::vector<PairEntry> side, std::uint64_t n);

  bool fp_matches(std::uint64_t slot, std::uint64_t h2) const noexcept;

  std::optional<mphf::Mphf> mph_;
  blob::SharedBytes fingerprints_;
  std::uint32_t bits_;
  std::vector<PairEntry> side_;
  std::uint64_t n_;
};

// The build step that the compact and closed builds share: the pairs sorted and freed of
// repeats, the side table of the repeated `h1` values, the minimal perfect hash of the distinct
// ones with its minimality verified, and, when `fp_bits` is 1..=64, the fingerprint table of
// `fp_bits` bits a slot (0: none). Runs on up to `threads` workers; the result does not depend on
// their number. The sort takes a scratch table as large as `pairs`. `messages` supplies each
// kind's own texts: `too_many` for more than u32::MAX keys, `not_minimal` for a minimal perfect
// hash that is not.
struct PairBuildMessages {
  const char* too_many;
  const char* not_minimal;
};
struct PairBuild {
  pages::Pages<std::uint8_t> fingerprints;  // empty when not asked for or without keys
  std::vector<PairEntry> side;
  std::optional<mphf::Mphf> mph;  // absent when there are no keys
  std::uint64_t n = 0;
  std::uint64_t m = 0;  // keys of the minimal perfect hash
};
PairBuild build_pairs(std::vector<Pair> pairs, unsigned threads, const PairBuildMessages& messages,
                      std::uint32_t fp_bits);

}  // namespace quenlith::compact_hash
