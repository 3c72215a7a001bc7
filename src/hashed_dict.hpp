// `HashedDictIndex`: a minimal-perfect-hash sidecar beside a shared `DictIndex`.
//
// Keys hash with `hash_pair` into (h1, h2). A minimal perfect hash over the distinct h1 values
// gives each key a slot; the slot's rank-table entry holds (rank << f) | (h2 & (2^f - 1)), f the
// fingerprint width (0 to 32), each entry w = f + r bits (r = bit length of max(n, 2) - 1),
// packed least significant bit first. A key whose h1 repeats a lower-ranked key's goes to the
// side table of (h1, h2, rank), sorted. From one fingerprint bit up `id` touches the dictionary
// only for a key whose whole 128-bit hash another key shares (such keys can be made on purpose):
// the dictionary's exact search tells them apart. At zero bits the dictionary's exact search
// answers and the sidecar serves only the unchecked lookup.
//
// The "BHD1" blob (all integers little-endian):
//
//   offset  size  field
//   0       4     magic "BHD1"
//   4       8     n, key count, <= u32::MAX
//   12      4     fingerprint_bits, 0..=32
//   16      8     D, length of the embedded "BDX3" blob
//   24      8     M, length of the minimal-perfect-hash image; 0 exactly when n = 0
//   32      4     s, side count, below max(n, 1)
//   36      8     payload hash of every byte from 48 + D to the end
//   44      4     header check over bytes 0..44
//   48      D     the dictionary blob
//           M     the minimal perfect hash ("MPH3"; older images read)
//                 rank table, ceil((n - s) * w / 8) bytes
//           24 s  side entries: h1, h2, rank as u64 each
//
// Written and read: "BHD1".
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "blob.hpp"
#include "bytes.hpp"
#include "dict_index.hpp"
#include "hash.hpp"
#include "mphf.hpp"

namespace quenlith::hashed_dict {

// The 48-byte "BHD1" header drawn above, with its one reader and one writer, used by the loader,
// the writer and header inspection.
struct Header {
  static constexpr std::size_t kBytes = 48;
  static constexpr std::size_t kCheckAt = 44;

  std::uint64_t n = 0;
  std::uint32_t fingerprint_bits = 0;
  std::uint64_t dict_len = 0;
  std::uint64_t mph_len = 0;
  std::uint32_t side_count = 0;
  std::uint64_t payload = 0;

  // The fields of the first `kBytes` of `bytes` (magic and check are the framing's to test).
  // Throws `IndexError::Format` "bad magic or truncated header" for fewer bytes.
  static Header parse(std::span<const std::uint8_t> bytes);
  // The stored header, magic "BHD1" and check included.
  std::array<std::uint8_t, kBytes> write() const;
};
static_assert(Header::kCheckAt == 4 + 8 + 4 + 8 + 8 + 4 + 8 &&
              Header::kBytes == Header::kCheckAt + 4);

inline constexpr std::uint64_t kHeaderBytes = Header::kBytes;

struct SideEntry {
  std::uint64_t h1;
  std::uint64_t h2;
  std::uint64_t rank;
  friend bool operator==(const SideEntry&, const SideEntry&) = default;
  friend bool operator<(const SideEntry& a, const SideEntry& b) {
    if (a.h1 != b.h1) return a.h1 < b.h1;
    if (a.h2 != b.h2) return a.h2 < b.h2;
    return a.rank < b.rank;
  }
};

class HashedDictIndex {
 public:
  // Builds the sidecar of `dict` (shared, not copied) with `fingerprint_bits` (0..=32) on all
  // processors. Errors: "hashed-dict: fingerprint_bits must be in 0..=32" (checked first),
  // "hashed-dict: more than u32::MAX keys", "hashed-dict: the dictionary's walk ended before its
  // last key", "hashed-dict: construction was not minimal/perfect", and the perfect hash's own.
  static HashedDictIndex from_shared_dict(std::shared_ptr<const dict_index::DictIndex> dict,
                                          std::uint32_t fingerprint_bits);
  // The build from the keys' hash pairs in rank order, on `threads` workers; tests use it to
  // make keys collide.
  static HashedDictIndex from_pairs(std::shared_ptr<const dict_index::DictIndex> dict,
                                    std::uint32_t fingerprint_bits, std::vector<hash::Pair> pairs,
                                    unsigned threads);

  // Loads a "BHD1" blob borrowing `bytes`; `verify` adds the payload hash and is passed to the
  // dictionary's loader.
  static HashedDictIndex from_shared(blob::SharedBytes bytes, bool verify);
  static HashedDictIndex from_bytes(std::span<const std::uint8_t> bytes);
  static HashedDictIndex load(const std::filesystem::path& path);
  static HashedDictIndex load_mmap(const std::filesystem::path& path);
  static HashedDictIndex load_mmap_verified(const std::filesystem::path& path);

  std::uint64_t serialized_len() const;
  void write_to(const std::function<void(std::span<const std::uint8_t>)>& sink) const;
  std::vector<std::uint8_t> to_bytes() const;
  void save(const std::filesystem::path& path) const;

  // The checked lookup (`id`): the exact search at zero fingerprint bits, else the sidecar's.
  std::optional<std::uint64_t> id(std::string_view key) const;
  bool contains(std::string_view key) const { return id(key).has_value(); }
  // The dictionary's exact rank.
  std::optional<std::uint64_t> exact_id(std::string_view key) const;
  // The sidecar's checked lookup: side table, then slot, fingerprint and rank range. A member
  // always gets its own rank, also when another key has the same (h1, h2).
  std::optional<std::uint64_t> id_with_side(std::string_view key) const;
  // A rank below n for any key (0 when empty), exact for members.
  std::uint64_t unchecked_with_side(std::string_view key) const;
  std::vector<std::optional<std::uint64_t>> ids_of(std::span<const std::string_view> keys) const;
  // The checked lookup of keys key_at(0) .. key_at(n - 1), in order; `key_at` is called
  // directly, once per key.
  template <class KeyAt>
  std::vector<std::optional<std::uint64_t>> ids_of_with(std::uint64_t n, KeyAt&& key_at) const {
    if (fingerprint_bits_ == 0)
      return dict_->ids_of_with(n, [&](std::uint64_t i) { return bytes::as_bytes(key_at(i)); });
    std::vector<std::optional<std::uint64_t>> out(n);
    if (!mph_) return out;
    if (!side_.empty()) {
      for (std::uint64_t i = 0; i < n; ++i) out[i] = id_with_side(key_at(i));
      return out;
    }
    std::vector<std::uint64_t> h1(n), h2(n);
    for (std::uint64_t i = 0; i < n; ++i) {
      const hash::Pair p = hash::hash_pair(key_at(i));
      h1[i] = p.h1;
      h2[i] = p.h2;
    }
    match_hashed(h1, h2, out);
    return out;
  }

  // The lowest side-table rank for (h1, h2).
  std::optional<std::uint64_t> side_lookup(std::uint64_t h1, std::uint64_t h2) const;
  // The rank-table entry of `slot` read from the bytes that exist; 0 past the end.
  std::uint64_t value_at_the_end(std::uint64_t slot) const;

  const dict_index::DictIndex& dict() const noexcept { return *dict_; }
  const std::shared_ptr<const dict_index::DictIndex>& shared_dict() const noexcept { return dict_; }
  std::uint64_t size() const noexcept { return n_; }
  std::uint32_t fingerprint_bits() const noexcept { return fingerprint_bits_; }
  std::uint32_t entry_width() const noexcept { return width_; }
  std::uint64_t side_count() const noexcept { return side_.size(); }
  const std::vector<SideEntry>& side() const noexcept { return side_; }
  const blob::SharedBytes& rank_table() const noexcept { return ranks_; }

 private:
  // What the frame parse of a blob yields before the dictionary and the perfect hash are loaded.
  struct Frame {
    blob::SharedBytes ranks;      // a sub-view sharing the parsed view's storage
    std::vector<SideEntry> side;  // sorted
    std::uint64_t n;
    std::uint64_t dict_len;  // the dictionary starts at byte 48
    std::uint64_t mph_at;
    std::uint64_t mph_len;
    std::uint32_t fingerprint_bits;
    std::uint32_t width;
  };

  // The header and section checks of a blob, in their fixed order, and the side table read and
  // sorted; the dictionary and the perfect hash are left to `from_shared`.
  static Frame parse_frame(const blob::SharedBytes& view, bool verify);

  HashedDictIndex() = default;
  std::uint64_t entry(std::uint64_t slot) const noexcept;
  // The batched lookup of keys hashed to (h1, h2) when no side entry exists: their slots, then
  // each slot's fingerprint and rank.
  void match_hashed(const std::vector<std::uint64_t>& h1, const std::vector<std::uint64_t>& h2,
                    std::vector<std::optional<std::uint64_t>>& out) const;
  std::optional<std::uint64_t> checked_entry(std::uint64_t h1, std::uint64_t h2) const;
  // The side entries holding exactly (h1, h2), in rank order.
  std::span<const SideEntry> side_matches(std::uint64_t h1, std::uint64_t h2) const;
  // The rank of `key`, whose pair the side entries `hits` (not empty) hold: the entry's own when
  // no other key can share the pair, else the dictionary's exact rank (none for a non-member).
  std::optional<std::uint64_t> side_rank(std::string_view key,
                                         std::span<const SideEntry> hits) const;

  std::shared_ptr<const dict_index::DictIndex> dict_;
  std::optional<mphf::Mphf> mph_;
  blob::SharedBytes ranks_;
  std::vector<SideEntry> side_;
  std::uint64_t n_ = 0;
  std::uint32_t fingerprint_bits_ = 0;
  std::uint32_t width_ = 1;
};

// Rank bits for n keys: the bit length of max(n, 2) - 1.
std::uint32_t rank_bits(std::uint64_t n);

}  // namespace quenlith::hashed_dict
