#include "closed_hash.hpp"

#include <cstring>

#include "blob.hpp"
#include "bytes.hpp"
#include "pair_sort.hpp"
#include "threads.hpp"

namespace quenlith::closed_hash {

namespace {

constexpr char kMagic[4] = {'B', 'C', 'L', '2'};
constexpr const char* kOldVersion =
    "closed-hash: blob written by quenlith < 4.0, keyed on a hash this version no longer computes; "
    "the keys are not stored, so it cannot be converted - rebuild the index from its keys";
constexpr const char* kTooManyInHeader = "closed-hash: header claims more than u32::MAX keys";
constexpr const char* kSideIds = "closed-hash: side-table ids are not the tail id range";

}  // namespace

std::array<std::uint8_t, kHeaderBytes> header_bytes(std::uint64_t n, std::uint64_t mph_len,
                                                    std::uint32_t side_count,
                                                    std::uint64_t payload) {
  return Header{n, mph_len, side_count, payload}.write(kMagic);
}

ClosedHashIndex ClosedHashIndex::build_from_pairs(std::vector<Pair> pairs) {
  return build_from_pairs_with_threads(std::move(pairs), threads::available());
}

ClosedHashIndex ClosedHashIndex::build_from_pairs_with_threads(std::vector<Pair> pairs,
                                                               unsigned threads) {
  compact_hash::PairBuild b =
      compact_hash::build_pairs(std::move(pairs), threads, {kTooMany, kNotMinimal}, /*fp_bits=*/0);
  return ClosedHashIndex(std::move(b.side), std::move(b.mph), b.n);
}

ClosedHashIndex ClosedHashIndex::build(std::span<const std::string_view> keys) {
  return build_from_pairs(pair_sort::hash_keys(keys, threads::available()));
}

std::vector<std::uint32_t> ClosedHashIndex::narrow(const std::vector<std::uint64_t>& ids) {
  std::vector<std::uint32_t> out(ids.size());
  for (std::size_t i = 0; i < ids.size(); ++i) out[i] = static_cast<std::uint32_t>(ids[i]);
  return out;
}

std::vector<std::uint32_t> ClosedHashIndex::ids_of_hashed(std::span<const Pair> pairs) const {
  if (!mph_) return std::vector<std::uint32_t>(pairs.size(), 0);
  if (side_.empty()) {
    std::vector<std::uint64_t> h1(pairs.size());
    for (std::size_t i = 0; i < pairs.size(); ++i) h1[i] = pairs[i].h1;
    return narrow(mph_->index_all(h1));
  }
  std::vector<std::uint32_t> out(pairs.size());
  for (std::size_t i = 0; i < pairs.size(); ++i) out[i] = id_with_side_hashed(pairs[i]);
  return out;
}

std::uint64_t ClosedHashIndex::serialized_len() const noexcept {
  return kHeaderBytes + (mph_ ? mph_->byte_len() : 0) + side_table::kPairEntryBytes * side_.size();
}

ClosedHashIndex::Parts ClosedHashIndex::serialised_parts() const {
  Parts parts;
  if (mph_) parts.mph = mph_->to_bytes();
  parts.side = side_table::pair_entry_bytes(side_);
  const auto h = header_bytes(n_, parts.mph.size(), static_cast<std::uint32_t>(side_.size()),
                              parts.payload_hash());
  parts.header.assign(h.begin(), h.end());
  return parts;
}

std::vector<std::uint8_t> ClosedHashIndex::to_bytes() const { return serialised_parts().concat(); }

void ClosedHashIndex::write_to(fileio::BufWriter& out) const { serialised_parts().write_to(out); }

void ClosedHashIndex::save(const std::filesystem::path& path) const {
  serialised_parts().save(path);
}

// The frame parse, each check only after the previous ones passed:
//   1. fewer than 4 bytes                          bad magic or truncated header
//   2. magic "BCL1"                                the older-version message
//   3. fewer than 36 bytes or another magic; 4. header check   framing messages
//   5. payload hash (always)
//   6. n > u32::MAX
//   7. side count not below n (unless both 0), or 20*s > L
//   8. 36 + mph_len overflows or does not end exactly where the side entries begin
//   9. side ids not exactly the tail range
ClosedHashIndex::Frame ClosedHashIndex::parse_frame(std::span<const std::uint8_t> b) {
  if (b.size() < 4) throw IndexError::format(blob::kBadMagic);
  if (blob::has_magic_version(b, "BCL", '1', '1')) throw IndexError::format(kOldVersion);
  blob::check_frame(b, kMagic, kHeaderBytes);
  const Header h = Header::parse(b);
  blob::check_payload(b.subspan(kHeaderBytes), h.payload);
  if (h.n > 0xFFFFFFFFull) throw IndexError::format(kTooManyInHeader);
  const hash_blob::Sections at = hash_blob::check_sections(
      b.size(), kHeaderBytes, h.n, h.mph_len, h.side_count, side_table::kPairEntryBytes);
  // Nothing lies between the two sections of a closed blob.
  if (at.middle_len() != 0) throw IndexError::format(hash_blob::kMphLengthOutOfRange);
  Frame f{h.n, b.subspan(at.mph_start, at.mph_len()),
          side_table::parse_pair_entries(b.subspan(at.side_start))};
  if (!side_table::ids_are_tail_range<PairEntry>(f.side, h.n)) throw IndexError::format(kSideIds);
  return f;
}

ClosedHashIndex ClosedHashIndex::from_bytes(std::span<const std::uint8_t> bytes) {
  Frame f = parse_frame(bytes);
  std::optional<mphf::Mphf> mph;
  if (f.n > 0) {
    mph = mphf::Mphf::from_bytes(f.mph);
    if (mph->n() != f.n - f.side.size()) throw IndexError::format(hash_blob::kMphHeaderMismatch);
  }
  return ClosedHashIndex(std::move(f.side), std::move(mph), f.n);
}

ClosedHashIndex ClosedHashIndex::load(const std::filesystem::path& path) {
  return from_bytes(fileio::read_file(path));
}

}  // namespace quenlith::closed_hash
