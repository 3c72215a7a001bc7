#include "side_table.hpp"

namespace quenlith::side_table {

std::vector<KeyEntry> parse_key_entries(std::span<const std::uint8_t> bytes) {
  const std::size_t count = bytes.size() / kKeyEntryBytes;
  check_invariant(count * kKeyEntryBytes == bytes.size(), "side bytes are whole entries");
  std::vector<KeyEntry> out(count);
  bytes::Cursor c(bytes);
  for (KeyEntry& e : out) e = KeyEntry{c.u64(kLengthOutOfRange), c.u32(kLengthOutOfRange)};
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<PairEntry> parse_pair_entries(std::span<const std::uint8_t> bytes) {
  const std::size_t count = bytes.size() / kPairEntryBytes;
  check_invariant(count * kPairEntryBytes == bytes.size(), "side bytes are whole entries");
  std::vector<PairEntry> out(count);
  bytes::Cursor c(bytes);
  for (PairEntry& e : out)
    e = PairEntry{c.u64(kLengthOutOfRange), c.u64(kLengthOutOfRange), c.u32(kLengthOutOfRange)};
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
