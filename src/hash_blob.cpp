#include "hash_blob.hpp"

#include <algorithm>

#include "blob.hpp"
#include "bytes.hpp"
#include "side_table.hpp"

namespace quenlith::hash_blob {

Header Header::parse(std::span<const std::uint8_t> bytes) {
  bytes::Cursor c(bytes);
  c.skip(4, blob::kBadMagic);
  Header h;
  h.n = c.u64(blob::kBadMagic);
  h.mph_len = c.u64(blob::kBadMagic);
  h.side_count = c.u32(blob::kBadMagic);
  h.payload = c.u64(blob::kBadMagic);
  c.skip(4, blob::kBadMagic);
  return h;
}

std::array<std::uint8_t, Header::kBytes> Header::write(const char magic[4]) const {
  std::vector<std::uint8_t> h = blob::begin_header(std::string_view(magic, 4), kBytes);
  bytes::put_u64(h, n);
  bytes::put_u64(h, mph_len);
  bytes::put_u32(h, side_count);
  bytes::put_u64(h, payload);
  return blob::seal_header<kBytes>(h);
}

FingerprintHeader FingerprintHeader::parse(std::span<const std::uint8_t> bytes) {
  bytes::Cursor c(bytes);
  c.skip(4, blob::kBadMagic);
  FingerprintHeader h;
  h.n = c.u64(blob::kBadMagic);
  h.bits = c.u32(blob::kBadMagic);
  h.mph_len = c.u64(blob::kBadMagic);
  h.side_count = c.u32(blob::kBadMagic);
  h.payload = c.u64(blob::kBadMagic);
  c.skip(4, blob::kBadMagic);
  return h;
}

std::array<std::uint8_t, FingerprintHeader::kBytes> FingerprintHeader::write(
    const char magic[4]) const {
  std::vector<std::uint8_t> h = blob::begin_header(std::string_view(magic, 4), kBytes);
  bytes::put_u64(h, n);
  bytes::put_u32(h, bits);
  bytes::put_u64(h, mph_len);
  bytes::put_u32(h, side_count);
  bytes::put_u64(h, payload);
  return blob::seal_header<kBytes>(h);
}

std::optional<Sections> sections(std::uint64_t len, std::uint64_t header_bytes,
                                 std::uint64_t mph_len, std::uint64_t side_count,
                                 std::uint64_t entry_bytes) noexcept {
  const auto side_len = bytes::checked_mul(side_count, entry_bytes);
  if (header_bytes > len || !side_len || *side_len > len - header_bytes) return std::nullopt;
  const std::uint64_t side_start = len - *side_len;
  if (mph_len > side_start - header_bytes) return std::nullopt;
  return Sections{header_bytes, header_bytes + mph_len, side_start, len};
}

Sections check_sections(std::uint64_t len, std::uint64_t header_bytes, std::uint64_t n,
                        std::uint64_t mph_len, std::uint64_t side_count,
                        std::uint64_t entry_bytes) {
  side_table::check_count(n, side_count, len, entry_bytes);
  const std::optional<Sections> s = sections(len, header_bytes, mph_len, side_count, entry_bytes);
  if (!s) throw IndexError::format(kMphLengthOutOfRange);
  return *s;
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

}  // namespace quenlith::hash_blob
