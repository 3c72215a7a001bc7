// Collision side tables of the hash indexes.
//
// The minimal perfect hash of every hash index is keyed on the first half `h1` of a key's 128-bit
// hash and accepts only distinct values. When several keys share one `h1`, exactly one of them
// (the representative) goes into the minimal perfect hash and owns a slot in [0, u); every other
// one (a collision) takes an id from the tail range [u, n), u being the number of distinct `h1`
// values, and is recorded here. The table is a plain vector sorted by `h1`: a lookup is a binary
// search for the first entry of its `h1` and a short forward walk. Collisions of a 64-bit hash are
// rare, so the table is normally empty and the lookups test that first.
//
// Stored entries, little-endian, packed without padding, at the very end of their blob:
//
//   key entry (perfect-hash index, whose arena holds the key itself), 12 bytes:
//     offset 0  u64  h1
//     offset 8  u32  id
//
//   pair entry (compact- and closed-hash indexes, which store no key), 20 bytes:
//     offset 0   u64  h1
//     offset 8   u64  h2   (tells the members of one `h1` group apart)
//     offset 16  u32  id
//
// Readers sort what they parse, so the order in a blob does not matter, but the ids must be
// exactly the tail range [n - side, n).
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "bytes.hpp"
#include "error.hpp"

namespace quenlith::side_table {

// A side count that is not below the key count, or entries that do not fit the blob.
inline constexpr const char* kLengthOutOfRange = "side table length out of range";

// A collision of the perfect-hash index.
struct KeyEntry {
  std::uint64_t h1;
  std::uint32_t id;
  friend auto operator<=>(const KeyEntry&, const KeyEntry&) = default;
};

// A collision of the compact- and closed-hash indexes.
struct PairEntry {
  std::uint64_t h1;
  std::uint64_t h2;
  std::uint32_t id;
  friend auto operator<=>(const PairEntry&, const PairEntry&) = default;
};

inline constexpr std::uint64_t kKeyEntryBytes = 12;
inline constexpr std::uint64_t kPairEntryBytes = 20;

// The position of the first entry whose `h1` is not below `h1` (entries sorted by `h1`).
template <class Entry>
inline std::size_t lower_bound(std::span<const Entry> entries, std::uint64_t h1) noexcept {
  std::size_t base = 0;
  std::size_t size = entries.size();
  if (size == 0) return 0;
  // Halve the range while it holds more than one entry, moving the base to the midpoint when the
  // midpoint is still below the target; then step past the base if it is below too.
  while (size > 1) {
    const std::size_t half = size / 2;
    const std::size_t mid = base + half;
    if (entries[mid].h1 < h1) base = mid;
    size -= half;
  }
  return base + (entries[base].h1 < h1 ? 1 : 0);
}

// The id of the entry holding exactly (h1, h2), or nullopt.
inline std::optional<std::uint32_t> find_pair(std::span<const PairEntry> entries, std::uint64_t h1,
                                              std::uint64_t h2) noexcept {
  if (entries.empty()) return std::nullopt;
  for (std::size_t i = lower_bound(entries, h1); i < entries.size() && entries[i].h1 == h1; ++i)
    if (entries[i].h2 == h2) return entries[i].id;
  return std::nullopt;
}

// The id of the first entry of `h1` (in table order) for which `matches(id)` holds, or nullopt.
// The perfect-hash index passes a test that compares the key stored under the id.
template <class Match>
inline std::optional<std::uint32_t> find_key(std::span<const KeyEntry> entries, std::uint64_t h1,
                                             Match&& matches) {
  if (entries.empty()) return std::nullopt;
  for (std::size_t i = lower_bound(entries, h1); i < entries.size() && entries[i].h1 == h1; ++i)
    if (matches(entries[i].id)) return entries[i].id;
  return std::nullopt;
}

// The count checks every reader applies, in order, before it looks at the entries: the side
// count must be below n (or both 0), and the entries must fit in a blob of `blob_len` bytes.
// Throws `IndexError::Format` "side table length out of range".
inline void check_count(std::uint64_t n, std::uint64_t side, std::uint64_t blob_len,
                        std::uint64_t entry_bytes) {
  if (side > n || (side == n && n != 0)) throw IndexError::format(kLengthOutOfRange);
  if (side * entry_bytes > blob_len) throw IndexError::format(kLengthOutOfRange);  // side < 2^32
}

// Parses `count` key entries from exactly `count * 12` bytes and sorts them by (h1, id).
std::vector<KeyEntry> parse_key_entries(std::span<const std::uint8_t> bytes);
// Parses `count` pair entries from exactly `count * 20` bytes and sorts them by (h1, h2, id).
std::vector<PairEntry> parse_pair_entries(std::span<const std::uint8_t> bytes);

// True when the ids of `entries`, sorted, are exactly n - side, ..., n - 1 as 32-bit values.
template <class Entry>
bool ids_are_tail_range(std::span<const Entry> entries, std::uint64_t n) {
  std::vector<std::uint32_t> ids;
  ids.reserve(entries.size());
  for (const Entry& e : entries) ids.push_back(e.id);
  std::sort(ids.begin(), ids.end());
  const std::uint64_t first = n - ids.size();  // side <= n was checked before
  for (std::size_t i = 0; i < ids.size(); ++i)
    if (std::uint64_t{ids[i]} != first + i) return false;
  return true;
}

// The stored form of a table, entries in the given order.
std::vector<std::uint8_t> key_entry_bytes(std::span<const KeyEntry> entries);
std::vector<std::uint8_t> pair_entry_bytes(std::span<const PairEntry> entries);

}  // namespace quenlith::side_table
