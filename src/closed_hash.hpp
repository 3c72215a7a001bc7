// `ClosedHashIndex`: the minimal perfect hash alone, for a closed vocabulary. A member gets its own
// id in [0, n); any other string gets some id in [0, n) too (0 from an empty index), since
// nothing is stored to reject it. Keys whose first hash half `h1` collides are kept by their
// (h1, h2) pair in the side table so that two members never share an id.
//
// The "BCL2" blob (all integers little-endian), exactly 36 + mph_len + 20*s bytes:
//
//   offset        size      field
//   0             4         magic "BCL2"
//   4             8         n, number of keys (distinct hash pairs), <= u32::MAX
//   12            8         mph_len, bytes of the minimal-perfect-hash section
//   20            4         side_count s
//   24            8         payload hash of every byte from 36 to the end
//   32            4         header check over bytes 0..32
//   36            mph_len   minimal-perfect-hash section ("MPH3"; "MPH2"/"MPH1" read); empty when
//                           n = 0
//   36 + mph_len  20*s      side entries (h1 u64, h2 u64, id u32), ids exactly [n - s, n)
//
// Written: "BCL2". Refused with a message asking for a rebuild: "BCL1". Every load verifies the
// payload hash and copies what it keeps: the whole blob is the table, so there is nothing to
// borrow from a mapping.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "compact_hash.hpp"
#include "fileio.hpp"
#include "hash.hpp"
#include "hash_blob.hpp"
#include "key_source.hpp"
#include "mphf.hpp"
#include "side_table.hpp"

namespace quenlith::closed_hash {

using hash::Pair;
using side_table::PairEntry;

// The refusals of both builds, in memory and streamed.
inline constexpr const char* kTooMany = "closed-hash: more than u32::MAX keys; ids are u32";
inline constexpr const char* kNotMinimal = "closed-hash: construction was not minimal/perfect";

// The blob header: its layout and codec are shared with the other hash indexes.
using Header = hash_blob::Header;
inline constexpr std::uint64_t kHeaderBytes = Header::kBytes;

// The 36 header bytes of a "BCL2" blob, check included.
std::array<std::uint8_t, kHeaderBytes> header_bytes(std::uint64_t n, std::uint64_t mph_len,
                                                    std::uint32_t side_count,
                                                    std::uint64_t payload);

// The slot of `h1`, or 0 without a minimal perfect hash.
inline std::uint64_t slot_for(const std::optional<mphf::Mphf>& mph, std::uint64_t h1) {
  return mph ? mph->index(h1) : 0;
}

namespace detail {
// `ClosedHashIndex::build_to_file` with a run buffer of `run_pairs` pairs, on `threads` threads,
// keys hashed by `hash` (tests make distinct keys share an h1 with it).
std::uint64_t build_to_file_limits(key_source::KeySource& keys, const std::filesystem::path& path,
                                   std::uint64_t run_pairs, unsigned threads,
                                   hash::Pair (*hash)(std::string_view) = hash::hash_pair);
}  // namespace detail

// Immutable once built or loaded: every query is const, takes no lock and may run on any number
// of threads at once. Move-only (the minimal perfect hash owns its tables).
class ClosedHashIndex {
 public:
  using Parts = hash_blob::BlobParts;

  // An empty index.
  ClosedHashIndex() = default;

  // Builds from (h1, h2) pairs in any order, repeats allowed; equal pairs are one key. Uses the
  // online processors. Throws `IndexError::Format` "closed-hash: more than u32::MAX keys; ids
  // are u32", "closed-hash: construction was not minimal/perfect", or the minimal-perfect-hash
  // build's error. While sorting, the build holds a second table as large as `pairs`.
  static ClosedHashIndex build_from_pairs(std::vector<Pair> pairs);
  // The same with a given thread count; the result is identical for every count.
  static ClosedHashIndex build_from_pairs_with_threads(std::vector<Pair> pairs, unsigned threads);
  // Hashes every key, then `build_from_pairs`.
  static ClosedHashIndex build(std::span<const std::string_view> keys);

  // Writes the blob of one pass of `keys` (any order, repeats allowed) to `path`, holding only
  // their hash pairs, in a run buffer of 16,777,216 pairs (256 MiB) spilled beside the output
  // when full and merged on worker threads. The file equals what `build_from_pairs` of the keys'
  // pairs and `save` write. Returns the number of distinct keys. Throws `IndexError::Format`
  // "closed-hash: the key source failed before it ended" (when `keys.failed()` once the keys
  // end), "closed-hash: more than u32::MAX keys; ids are u32", "closed-hash: construction was
  // not minimal/perfect"; the minimal-perfect-hash build's errors; `IndexError::Io`. On any
  // failure the target is untouched and the scratch directory is gone. Uses the online
  // processors.
  static std::uint64_t build_to_file(key_source::KeySource& keys,
                                     const std::filesystem::path& path);

  // The key's id: exact for members, some id in [0, n) for anything else, 0 when empty. Never
  // fails.
  std::uint32_t id_with_side(std::string_view key) const {
    if (side_.empty()) return static_cast<std::uint32_t>(slot_for(mph_, hash::hash_pair(key).h1));
    return id_with_side_hashed(hash::hash_pair(key));
  }
  std::uint32_t id(std::string_view key) const { return id_with_side(key); }
  // The same for a key whose hash pair the caller already has.
  std::uint32_t id_with_side_hashed(Pair hp) const {
    if (auto id = side_table::find_pair(side_, hp.h1, hp.h2)) return *id;
    return static_cast<std::uint32_t>(slot_for(mph_, hp.h1));
  }

  // Batched lookup of `count` keys, `key_at(i)` giving the bytes of key i; equal to `id` of each.
  template <class KeyAt>
  std::vector<std::uint32_t> ids_of_with(std::size_t count, KeyAt&& key_at) const {
    if (!mph_) return std::vector<std::uint32_t>(count, 0);
    if (side_.empty()) {
      // Only the first hash half is needed; all slots come from one batched call.
      std::vector<std::uint64_t> h1(count);
      for (std::size_t i = 0; i < count; ++i)
        h1[i] = hash::hash_pair(std::string_view(key_at(i))).h1;
      return narrow(mph_->index_all(h1));
    }
    std::vector<std::uint32_t> out(count);
    for (std::size_t i = 0; i < count; ++i)
      out[i] = id_with_side_hashed(hash::hash_pair(std::string_view(key_at(i))));
    return out;
  }
  std::vector<std::uint32_t> ids_of(std::span<const std::string_view> keys) const {
    return ids_of_with(keys.size(), [&](std::size_t i) { return keys[i]; });
  }
  // Batched lookup of hash pairs.
  std::vector<std::uint32_t> ids_of_hashed(std::span<const Pair> pairs) const;

  std::uint64_t len() const noexcept { return n_; }
  std::span<const PairEntry> side() const noexcept { return side_; }
  const std::optional<mphf::Mphf>& mph() const noexcept { return mph_; }

  // The blob's length: 36 + mph section + 20 * side entries.
  std::uint64_t serialized_len() const noexcept;
  Parts serialised_parts() const;
  std::vector<std::uint8_t> to_bytes() const;
  // Writes header, mph bytes and side bytes through `out`; does not flush. Throws the writer's
  // `IndexError::Io`.
  void write_to(fileio::BufWriter& out) const;
  // Writes the blob through the atomic writer; the target is untouched on failure.
  void save(const std::filesystem::path& path) const;

  // Loads a blob, always verifying its payload hash; the index owns everything it keeps.
  // Throws `IndexError::Format`.
  static ClosedHashIndex from_bytes(std::span<const std::uint8_t> bytes);
  // Reads the whole file and loads it.
  static ClosedHashIndex load(const std::filesystem::path& path);

 private:
  // What the frame parse of a blob yields before the minimal perfect hash is decoded.
  struct Frame {
    std::uint64_t n;
    std::span<const std::uint8_t> mph;  // inside the parsed bytes
    std::vector<PairEntry> side;        // sorted
  };
  // The checks of a blob up to the minimal perfect hash, in their fixed order (see the .cpp).
  static Frame parse_frame(std::span<const std::uint8_t> bytes);

  ClosedHashIndex(std::vector<PairEntry> side, std::optional<mphf::Mphf> mph, std::uint64_t n)
      : side_(std::move(side)), mph_(std::move(mph)), n_(n) {}

  static std::vector<std::uint32_t> narrow(const std::vector<std::uint64_t>& ids);

  std::vector<PairEntry> side_;
  std::optional<mphf::Mphf> mph_;
  std::uint64_t n_ = 0;
};

}  // namespace quenlith::closed_hash
