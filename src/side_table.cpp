#include "side_table.hpp"

namespace quenlith::side_table {

using bytes::load_u32;
using bytes::load_u64;

std::vector<KeyEntry> parse_key_entries(std::span<const std::uint8_t> bytes) {
  const std::size_t count = bytes.size() / kKeyEntryBytes;
  check_invariant(count * kKeyEntryBytes == bytes.size(), "side bytes are whole entries");
  std::vector<KeyEntry> out(count);
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t* p = bytes.data() + i * kKeyEntryBytes;
    out[i] = KeyEntry{load_u64(p), load_u32(p + 8)};
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<PairEntry> parse_pair_entries(std::span<const std::uint8_t> bytes) {
  const std::size_t count = bytes.size() / kPairEntryBytes;
  check_invariant(count * kPairEntryBytes == bytes.size(), "side bytes are whole entries");
  std::vector<PairEntry> out(count);
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t* p = bytes.data() + i * kPairEntryBytes;
    out[i] = PairEntry{load_u64(p), load_u64(p + 8), load_u32(p + 16)};
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::uint8_t> key_entry_bytes(std::span<const KeyEntry> entries) {
  std::vector<std::uint8_t> out;
  out.reserve(entries.size() * kKeyEntryBytes);
  for (const KeyEntry& e : entries) {
    bytes::put_u64(out, e.h1);
    bytes::put_u32(out, e.id);
  }
  return out;
}

std::vector<std::uint8_t> pair_entry_bytes(std::span<const PairEntry> entries) {
  std::vector<std::uint8_t> out;
  out.reserve(entries.size() * kPairEntryBytes);
  for (const PairEntry& e : entries) {
    bytes::put_u64(out, e.h1);
    bytes::put_u64(out, e.h2);
    bytes::put_u32(out, e.id);
  }
  return out;
}

}  // namespace quenlith::side_table
