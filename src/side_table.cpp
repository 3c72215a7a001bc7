#include "side_table.hpp"

#include <cstring>

#include "blob.hpp"

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

std::array<std::uint8_t, 36> header36(const char magic[4], std::uint64_t n, std::uint64_t mph_len,
                                      std::uint32_t side_count, std::uint64_t payload) {
  std::array<std::uint8_t, 36> h{};
  std::memcpy(h.data(), magic, 4);
  bytes::store_u64(h.data() + 4, n);
  bytes::store_u64(h.data() + 12, mph_len);
  bytes::store_u32(h.data() + 20, side_count);
  bytes::store_u64(h.data() + 24, payload);
  bytes::store_u32(h.data() + 32, blob::header_check(std::span(h).first(32)));
  return h;
}

std::uint64_t BlobParts::payload_hash() const noexcept {
  blob::BlockHasher hasher;
  hasher.update(mph);
  hasher.update(middle);
  hasher.update(side);
  return hasher.finish();
}

std::vector<std::uint8_t> BlobParts::concat() const {
  std::vector<std::uint8_t> out;
  out.reserve(header.size() + mph.size() + middle.size() + side.size());
  bytes::put_bytes(out, header);
  bytes::put_bytes(out, mph);
  bytes::put_bytes(out, middle);
  bytes::put_bytes(out, side);
  return out;
}

void BlobParts::write_to(fileio::BufWriter& out) const {
  out.write_all(header);
  out.write_all(mph);
  out.write_all(middle);
  out.write_all(side);
}

void BlobParts::save(const std::filesystem::path& path) const {
  blob::write_atomically_with(path, [&](fileio::File& file) {
    fileio::BufWriter w(file);
    write_to(w);
    w.flush();
  });
}

}  // namespace quenlith::side_table
