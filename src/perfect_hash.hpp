// `PerfectHashIndex`: the exact string -> dense id map of the hash family, with reverse lookup.
//
// A minimal perfect hash over the first key-hash half `h1` proposes a slot; the key arena, which
// stores every key under its id (optionally with one fingerprint byte a key, the low byte of
// `h2`), confirms it; keys whose `h1` repeats another key's take the tail ids and are found
// through the side table. So `id(key)` has no false positives and `key(id)` gives the key back.
//
// The "BMP8" blob (all integers little-endian):
//
//   offset          size        field
//   0               4           magic "BMP8"
//   4               8           n, number of keys, <= u32::MAX
//   12              8           mph length, bytes of the minimal-perfect-hash section; 0 when n = 0
//   20              4           side count s
//   24              8           payload hash of every byte from 36 to the end
//   32              4           header check over bytes 0..32
//   36              mph length  minimal-perfect-hash section ("MPH3"; "MPH2"/"MPH1" read)
//   36 + mph length A           key arena image, the n keys in id order (fingerprints inside)
//   L - 12*s        12*s        side entries (h1 u64, id u32), ids exactly [n - s, n)
//
// The arena's length A is not stored: it is what lies between the two other sections.
// Written: "BMP8". Refused with a message asking for a rebuild: "BMP2" to "BMP7".
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "arena.hpp"
#include "blob.hpp"
#include "bytes.hpp"
#include "fileio.hpp"
#include "hash.hpp"
#include "hash_blob.hpp"
#include "key_source.hpp"
#include "mphf.hpp"
#include "pages.hpp"
#include "scratch.hpp"
#include "side_table.hpp"

namespace quenlith::perfect_hash {

using hash::Pair;
using side_table::KeyEntry;

// The blob header: its layout and codec are shared with the other hash indexes.
using Header = hash_blob::Header;
inline constexpr std::uint64_t kHeaderBytes = Header::kBytes;

class PerfectHashIndex;

// The window of the streamed build: key bytes filled into the output one window at a time.
inline constexpr std::uint64_t kWindowBytes = 33554432;  // 32 MiB

// The refusals of both builds, in memory and streamed.
inline constexpr const char* kTooMany = "perfect-hash: more than u32::MAX keys; ids are u32";
inline constexpr const char* kKeyTooLong = "perfect-hash: a key is longer than u32::MAX bytes";
inline constexpr const char* kNotMinimal = "perfect-hash: construction was not minimal/perfect";

namespace detail {
// `build_with_threads` keyed on `hash` instead of `hash_pair`, so that tests can make distinct
// keys collide. Such an index answers only through the `*_hashed` queries given `hash`'s pairs.
PerfectHashIndex build_with_hash(std::span<const std::string_view> keys, bool fingerprints,
                                 unsigned threads, hash::Pair (*hash)(std::string_view));
// `PerfectHashIndex::build_to_file_windowed` on `threads` threads, keyed on `hash`.
std::uint64_t build_to_file_hashed(key_source::KeySource& source, const std::filesystem::path& path,
                                   bool fingerprints, std::uint64_t window, unsigned threads,
                                   hash::Pair (*hash)(std::string_view));
}  // namespace detail

// The spill file of the streamed build's windowed layout, beside the output:
// "<base>.<pid>.<seq>.spill". Removed (and closed) when the value goes, whatever happened.
class Spill {
 public:
  // Creates the file new (read-write, 0666 before the umask), trying at most 128 sequence
  // numbers that name no existing file. Throws `IndexError::Io`.
  static Spill create(const std::filesystem::path& output);
  Spill(Spill&& other) noexcept
      : path_(std::exchange(other.path_, {})),
        file_(std::move(other.file_)),
        entry_(std::move(other.entry_)) {}
  Spill& operator=(Spill&&) = delete;
  Spill(const Spill&) = delete;
  Spill& operator=(const Spill&) = delete;
  ~Spill();

  const std::filesystem::path& path() const noexcept { return path_; }
  fileio::File& file() noexcept { return file_; }

 private:
  Spill(std::filesystem::path path, fileio::File file, scratch::Entry entry)
      : path_(std::move(path)), file_(std::move(file)), entry_(std::move(entry)) {}
  std::filesystem::path path_;
  fileio::File file_;
  scratch::Entry entry_;
};

// The 36 header bytes of a "BMP8" blob, check included.
std::array<std::uint8_t, kHeaderBytes> header_bytes(std::uint64_t n, std::uint64_t mph_len,
                                                    std::uint32_t side_count,
                                                    std::uint64_t payload);

// Immutable once built or loaded: every query is const, takes no lock and may run on any number
// of threads at once. Move-only (the minimal perfect hash owns its tables). A loaded index keeps
// the blob's storage (a mapping, for `load_mmap`) alive through its arena.
class PerfectHashIndex {
 public:
  using Parts = hash_blob::BlobParts;

  // An empty index without fingerprints.
  PerfectHashIndex();

  // Builds from `keys` in any order, repeats allowed (equal keys are one key), with one
  // fingerprint byte a key when `fingerprints` is set. Uses the online processors. A key's id is
  // its slot, not its rank; among keys whose `h1` collides the byte-wise smallest keeps the slot
  // and the others take the tail ids in byte-wise order. Throws `IndexError::Format`
  // "perfect-hash: more than u32::MAX keys; ids are u32", "perfect-hash: a key is longer than
  // u32::MAX bytes", "perfect-hash: construction was not minimal/perfect", or the
  // minimal-perfect-hash build's error.
  static PerfectHashIndex build_with(std::span<const std::string_view> keys, bool fingerprints);
  // `build_with` without fingerprints.
  static PerfectHashIndex build(std::span<const std::string_view> keys);
  // `build_with` on a given number of threads; the result is identical for every count.
  static PerfectHashIndex build_with_threads(std::span<const std::string_view> keys,
                                             bool fingerprints, unsigned threads);

  // The build from hashed keys whose `h1` values need not be distinct: `keys` sorted and
  // distinct, `hashes[i]` the `h1` of key i, `fingerprints` (when given) the fingerprint byte of
  // key i, `total` the keys' byte count (a hint only: the build measures the keys itself). The
  // representative of a group of equal `h1` is its first key; the other keys get the tail ids in
  // key order. Same errors as `build_with`. The hashes are the caller's own, so synthetic hashes
  // exercise the collision paths.
  static PerfectHashIndex build_with_collisions(
      std::span<const std::string_view> keys, std::span<const std::uint64_t> hashes,
      std::optional<std::span<const std::uint8_t>> fingerprints, std::uint64_t total,
      unsigned threads);

  // Writes the blob of the keys of `source` to `path` without holding them: pass 1 hashes every
  // key and computes every section but the key bytes, pass 2 reads the keys again and copies
  // each into the output, mapped read-write. When the key bytes are more than `window` bytes,
  // pass 2 groups them by window of the output through a spill file first and fills one window
  // at a time. The file is the blob `build_with(keys, fingerprints)` followed by `save` writes,
  // except that among keys whose `h1` collides the first in source order keeps the slot and the
  // others take the tail ids in source order. Returns the number of keys. The source is opened
  // once when it has no key, else twice, and must give the same keys in the same order both
  // times, every key once. Throws `IndexError::Format` "perfect-hash: a key is longer than
  // u32::MAX bytes", "perfect-hash: the source raised before it ended" (after either pass, when
  // `source.failed()`), "perfect-hash: more than u32::MAX keys; ids are u32", "perfect-hash:
  // construction was not minimal/perfect"; `IndexError::Build` "perfect-hash: the source did not
  // replay the same keys in the same order" or "perfect-hash: build_to_file needs distinct keys
  // and the source repeated one"; the minimal-perfect-hash build's errors; `IndexError::Io`. On
  // any failure the target is untouched and no temporary or spill file remains. Runs on the
  // calling thread but for the minimal-perfect-hash build, which uses the online processors.
  static std::uint64_t build_to_file_windowed(key_source::KeySource& source,
                                              const std::filesystem::path& path, bool fingerprints,
                                              std::uint64_t window);
  // `build_to_file_windowed` without fingerprints and with 32 MiB windows.
  static std::uint64_t build_to_file(key_source::KeySource& source,
                                     const std::filesystem::path& path);

  // The key's id, or nullopt when it is not a member. Never fails.
  std::optional<std::uint32_t> id(std::string_view key) const {
    return id_hashed(key, hash::hash_pair(key));
  }
  // `id` for a key whose hash pair the caller already has.
  std::optional<std::uint32_t> id_hashed(std::string_view key, Pair hp) const;
  // The full lookup: slot first, side table second.
  std::optional<std::uint32_t> id_with_side(std::string_view key) const {
    return id_with_side_hashed(key, hash::hash_pair(key));
  }
  std::optional<std::uint32_t> id_with_side_hashed(std::string_view key, Pair hp) const;
  // The side-table half alone: the first entry of `h1` whose stored key equals `key`.
  std::optional<std::uint32_t> side_lookup(std::uint64_t h1, std::string_view key) const noexcept;
  bool contains(std::string_view key) const { return id(key).has_value(); }
  bool contains_hashed(std::string_view key, Pair hp) const {
    return id_hashed(key, hp).has_value();
  }
  // No membership test: a member's own id; any other string some id below n - side (0 when
  // empty).
  std::uint32_t id_unchecked(std::string_view key) const {
    return id_unchecked_hashed(key, hash::hash_pair(key));
  }
  std::uint32_t id_unchecked_hashed(std::string_view key, Pair hp) const;
  // The key stored under `id`, borrowed from the arena; nullopt for id >= n or a stored entry
  // that cannot be read or is not UTF-8.
  std::optional<std::string_view> key(std::uint32_t id) const noexcept;

  // Batched lookup of `count` keys, `key_at(i)` giving the bytes of key i: the ids aligned with
  // the keys. Equal to `id` of each key; hashes all keys, asks the minimal perfect hash for all
  // slots at once, then reads the arena in one sweep.
  template <class KeyAt>
  std::vector<std::optional<std::uint32_t>> ids_of_with(std::size_t count, KeyAt&& key_at) const {
    if (!mph_) return std::vector<std::optional<std::uint32_t>>(count);
    std::vector<Pair> pairs(count);
    for (std::size_t i = 0; i < count; ++i) pairs[i] = hash::hash_pair(std::string_view(key_at(i)));
    return ids_of_hashed_with(count, key_at, pairs);
  }
  std::vector<std::optional<std::uint32_t>> ids_of(std::span<const std::string_view> keys) const {
    return ids_of_with(keys.size(), [&](std::size_t i) { return keys[i]; });
  }
  // The batch for keys whose hash pairs the caller already has (`pairs[i]` of key i).
  template <class KeyAt>
  std::vector<std::optional<std::uint32_t>> ids_of_hashed_with(std::size_t count, KeyAt&& key_at,
                                                               std::span<const Pair> pairs) const;

  // Number of keys.
  std::uint64_t len() const noexcept { return n_; }
  bool has_fingerprints() const noexcept { return arena_.has_fingerprints(); }
  const arena::StringArena& arena() const noexcept { return arena_; }
  std::span<const KeyEntry> side() const noexcept { return side_; }
  const std::optional<mphf::Mphf>& mph() const noexcept { return mph_; }

  // The blob's length: 36 + mph section + arena image + 12 * side entries.
  std::uint64_t serialized_len() const noexcept;
  Parts serialised_parts() const;
  std::vector<std::uint8_t> to_bytes() const;
  // Writes the blob through the atomic writer. Throws `IndexError::Io`; the target is untouched
  // on failure.
  void save(const std::filesystem::path& path) const;

  // Loads a blob held in `view`, checking it in a fixed order (see the .cpp); the arena borrows
  // the view's storage. `verify` compares the payload hash. Throws `IndexError::Format`.
  static PerfectHashIndex from_shared(blob::SharedBytes view, bool verify);
  // Copies `bytes` into owned storage and loads them, verifying the payload.
  static PerfectHashIndex from_bytes(std::span<const std::uint8_t> bytes);
  // Reads the whole file into owned storage; verifies the payload.
  static PerfectHashIndex load(const std::filesystem::path& path);
  // Maps the file read-only and borrows the keys from the mapping; the payload is not verified
  // (the structural checks still apply). The file must not change while mapped.
  static PerfectHashIndex load_mmap(const std::filesystem::path& path);
  // Maps the file and verifies the payload with one pass over the mapping.
  static PerfectHashIndex load_mmap_verified(const std::filesystem::path& path);

 private:
  // The keys of a build grouped by `h1`: the distinct values ascending, one representative
  // (h1, key position) for each, in any order, and the collisions (h1, key position) in the order
  // that gives them the tail ids.
  struct Split {
    pages::Pages<std::uint64_t> distinct;
    pages::Pages<Pair> reps;
    std::vector<Pair> collisions;
  };
  template <class Hash>
  static PerfectHashIndex build_keyed(std::span<const std::string_view> keys, bool fingerprints,
                                      unsigned threads, Hash&& hash);
  friend PerfectHashIndex detail::build_with_hash(std::span<const std::string_view>, bool, unsigned,
                                                  hash::Pair (*)(std::string_view));
  static PerfectHashIndex finish(std::span<const std::string_view> keys, Split split,
                                 std::optional<std::span<const std::uint8_t>> fingerprints,
                                 unsigned threads);

  PerfectHashIndex(arena::StringArena arena, std::optional<mphf::Mphf> mph,
                   std::vector<KeyEntry> side, std::uint64_t n)
      : arena_(std::move(arena)), mph_(std::move(mph)), side_(std::move(side)), n_(n) {}

  // The stored bytes equal `key`: lengths first, then one memcmp (string_view's own comparison
  // is an out-of-line call around it that orders, where only equality is asked).
  static bool same_bytes(std::span<const std::uint8_t> stored, std::string_view key) noexcept {
    return stored.size() == key.size() &&
           (key.empty() || std::memcmp(stored.data(), key.data(), key.size()) == 0);
  }
  // The stored key of `id` equals `key` (an unreadable entry is a mismatch).
  bool stored_equals(std::uint64_t id, std::string_view key) const noexcept {
    const auto e = arena_.entry(id);
    return e && same_bytes(*e, key);
  }
  // The slot path: `s` is a candidate for `key` (slot in range, fingerprint, stored bytes).
  bool slot_matches(std::uint64_t s, std::string_view key, std::uint64_t h2) const noexcept {
    if (s >= n_) return false;
    if (arena_.has_fingerprints() && arena_.fingerprint(s) != static_cast<std::uint8_t>(h2))
      return false;
    return stored_equals(s, key);
  }

  arena::StringArena arena_;
  std::optional<mphf::Mphf> mph_;
  std::vector<KeyEntry> side_;
  std::uint64_t n_ = 0;
};

template <class KeyAt>
std::vector<std::optional<std::uint32_t>> PerfectHashIndex::ids_of_hashed_with(
    std::size_t count, KeyAt&& key_at, std::span<const Pair> pairs) const {
  std::vector<std::optional<std::uint32_t>> out(count);
  if (!mph_) return out;
  std::vector<std::uint64_t> h1(count);
  for (std::size_t i = 0; i < count; ++i) h1[i] = pairs[i].h1;
  const std::vector<std::uint64_t> slots = mph_->index_all(h1);
  // Span pass: the stored bytes of every candidate slot, read in one sweep over the arena with
  // the offsets of the slot kAhead keys on already on their way; the compare pass likewise asks
  // for the stored bytes kAhead keys ahead. Both sweeps hide most of their cache misses.
  constexpr std::size_t kAhead = 16;
  std::vector<std::optional<std::span<const std::uint8_t>>> stored(count);
  const bool fps = arena_.has_fingerprints();
  for (std::size_t i = 0; i < count; ++i) {
    if (i + kAhead < count) arena_.prefetch_offsets(slots[i + kAhead]);
    const std::uint64_t s = slots[i];
    if (s >= n_) continue;
    if (fps && arena_.fingerprint(s) != static_cast<std::uint8_t>(pairs[i].h2)) continue;
    stored[i] = arena_.entry(s);
  }
  // Compare pass.
  for (std::size_t i = 0; i < count; ++i) {
    if (i + kAhead < count && stored[i + kAhead]) __builtin_prefetch(stored[i + kAhead]->data());
    const std::string_view key(key_at(i));
    if (stored[i] && same_bytes(*stored[i], key))
      out[i] = static_cast<std::uint32_t>(slots[i]);
    else if (!side_.empty())
      out[i] = side_lookup(pairs[i].h1, key);
  }
  return out;
}

}  // namespace quenlith::perfect_hash
