#include "inspect.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>

#include "blob.hpp"
#include "bytes.hpp"
#include "dict_index.hpp"
#include "hash_blob.hpp"
#include "hashed_dict.hpp"
#include "overlay.hpp"
#include "side_table.hpp"

namespace quenlith::inspect {

namespace {

using bytes::checked_add;

[[noreturn]] void truncated() { throw IndexError::format(kTruncated); }

// Sums and products of header fields: an overflow means a length runs past the end.
std::uint64_t add(std::uint64_t a, std::uint64_t b) { return bytes::add_or_fail(a, b, kTruncated); }
std::uint64_t mul(std::uint64_t a, std::uint64_t b) { return bytes::mul_or_fail(a, b, kTruncated); }

using bytes::ceil_div;

// The first `size` bytes of the window, a fixed header to decode.
std::vector<std::uint8_t> header_of(const Window& w, std::uint64_t size) {
  if (w.len() < size) truncated();
  return w.read(0, size);
}

BlobInfo info(BlobKind kind, std::string format, std::uint64_t bytes) {
  BlobInfo i;
  i.kind = kind;
  i.format = std::move(format);
  i.bytes = bytes;
  return i;
}

// "BIX4": the transducer follows the magic; its version word and its footer's key count.
BlobInfo string_index(const Window& w, std::string format) {
  const std::uint64_t len = w.len();
  const std::uint64_t version = w.u64(4);
  const std::uint64_t footer = version >= 3 ? 20 : 16;  // version 3 adds a 4-byte checksum
  if (len < footer) truncated();
  BlobInfo i = info(BlobKind::StringIndex, std::move(format), len);
  i.keys = w.u64(len - footer);
  return i;
}

// The sections of a hash-index blob, each of which must fit in it.
hash_blob::Sections hash_sections(std::uint64_t len, std::uint64_t header_bytes,
                                  std::uint64_t mph_len, std::uint64_t side_count,
                                  std::uint64_t entry_bytes) {
  const auto at = hash_blob::sections(len, header_bytes, mph_len, side_count, entry_bytes);
  if (!at) truncated();
  return *at;
}

// The hash-index blobs share one shape: header, minimal perfect hash, the index's own section
// (the key arena, the fingerprint table, nothing for a closed index), side entries of
// `entry_bytes` each.
template <class H>
BlobInfo hash_index(const Window& w, std::string format, BlobKind kind, std::uint64_t entry_bytes) {
  const H h = H::parse(header_of(w, H::kBytes));
  const auto at = hash_sections(w.len(), H::kBytes, h.mph_len, h.side_count, entry_bytes);
  BlobInfo i = info(kind, std::move(format), w.len());
  i.keys = h.n;
  if constexpr (requires { h.bits; }) i.fingerprint_bits = h.bits;
  i.mph_bytes = h.mph_len;
  if (kind != BlobKind::ClosedHashIndex) i.arena_bytes = at.middle_len();
  i.side_entries = h.side_count;
  return i;
}

BlobInfo hashed_dict(const Window& w, std::string format) {
  const std::uint64_t len = w.len();
  const auto h = hashed_dict::Header::parse(header_of(w, hashed_dict::Header::kBytes));
  constexpr std::uint64_t head = hashed_dict::Header::kBytes;
  const std::uint64_t dict = h.dict_len;
  const std::uint64_t mph = h.mph_len;
  const std::uint64_t side = h.side_count;
  if (dict > len - head || mph > len - head - dict || 24 * side > len - head - dict - mph)
    truncated();
  BlobInfo i = info(BlobKind::HashedDictIndex, std::move(format), len);
  i.keys = h.n;
  i.fingerprint_bits = h.fingerprint_bits;
  i.mph_bytes = mph;
  i.arena_bytes = len - head - dict - mph - 24 * side;
  i.side_entries = side;
  return i;
}

// Bytes of a sampled offset table of `n` values at `width` bits with sample shift `shift`:
// bit-packed values plus 8 bytes of slack (none when empty), then one u64 sample per 2^shift.
std::uint64_t sampled_table(std::uint64_t n, std::uint64_t width, unsigned shift) {
  const std::uint64_t samples = (n >> shift) + ((n & ((std::uint64_t{1} << shift) - 1)) != 0);
  if (samples >= (std::uint64_t{1} << 61)) truncated();
  std::uint64_t packed = 0;
  if (n != 0) packed = add(ceil_div(mul(n, width), 8), 8);
  return add(packed, 8 * samples);
}

// "BDX1" / "BDX2" / "BDX3": the section lengths must fit in the blob; only the heads and block
// data are reported, as the arena.
BlobInfo dict_index(const Window& w, std::string format, int version) {
  const std::uint64_t len = w.len();
  const std::uint64_t header_len = version == 1 ? 48 : version == 2 ? 56 : 72;
  // "BDX1" and "BDX2" put the fields read here where "BDX3" puts them, in a shorter header: it is
  // read through the "BDX3" codec, zero-padded to that header's size.
  std::vector<std::uint8_t> head = header_of(w, header_len);
  head.resize(dict_index::Header::kBytes, 0);
  const auto h = dict_index::Header::parse(head);
  const std::uint64_t keys = h.n;
  const std::uint64_t block = h.block;
  const std::uint64_t heads = h.heads_len;
  const std::uint64_t data = h.data_len;
  const std::uint64_t tables = h.tables_len;
  const std::uint64_t arena = add(heads, data);
  const std::uint64_t blocks = block == 0 ? 0 : ceil_div(keys, block);

  std::uint64_t offsets = 0;
  std::uint64_t header_codes = 0;
  std::uint64_t phrases = 0;
  if (version == 1) {
    offsets = mul(20, blocks);
  } else {
    const unsigned head_width = h.head_ends_width;
    const unsigned offset_width = h.block_offsets_width;
    const unsigned shift = h.shift;
    const unsigned micro_width = h.micro_width;
    if (shift >= 32) truncated();
    const std::uint64_t micro = h.micro;
    std::uint64_t micros = 0;
    if (blocks > 0 && micro > 0 && micro < block) {
      // Every block but the last holds `block` keys; the last holds the rest (at least one).
      const std::uint64_t full = blocks - 1;
      const std::uint64_t last = keys - block * full;  // blocks = ceil(keys / block): no overflow
      micros = add(mul(full, ceil_div(block, micro)), ceil_div(last, micro));
    }
    std::uint64_t micro_table = 0;
    if (micros != 0) {
      micro_table = version == 2 ? sampled_table(micros, micro_width, shift)
                                 : add(ceil_div(mul(micros, micro_width), 8), 8);
    }
    offsets =
        add(sampled_table(blocks, head_width, shift), sampled_table(blocks, offset_width, shift));
    offsets = add(offsets, micro_table);
    if (version == 3) {
      header_codes = h.codes_len;
      phrases = h.phrases_len;
    }
  }

  // Each section must fit in what the ones before it leave.
  if (tables > len - header_len) truncated();
  std::uint64_t rest = len - header_len - tables;
  for (std::uint64_t section : {arena, header_codes, phrases, offsets}) {
    if (section > rest) truncated();
    rest -= section;
  }
  BlobInfo i = info(BlobKind::DictIndex, std::move(format), len);
  i.keys = keys;
  i.arena_bytes = arena;
  return i;
}

BlobInfo mphf(const Window& w, std::string format) {
  BlobInfo i = info(BlobKind::Mphf, std::move(format), w.len());
  i.keys = w.u64(8);
  i.mph_bytes = w.len();
  return i;
}

BlobInfo overlay_v2(const Window& w, std::string format, bool nested) {
  if (nested) throw IndexError::format(kNestedOverlay);
  const std::uint64_t len = w.len();
  const auto h = overlay::HeaderV2::parse(header_of(w, overlay::HeaderV2::kBytes));
  constexpr std::uint64_t head = overlay::HeaderV2::kBytes;
  if (h.base_len > len - head || h.addition_bytes > len - head - h.base_len) truncated();
  // Every addition needs at least its 4-byte length word.
  if (h.additions >= (std::uint64_t{1} << 62) || 4 * h.additions > h.addition_bytes)
    throw IndexError::format(kOverlayCounts);
  if (h.tombstone_words >= (std::uint64_t{1} << 61)) truncated();
  if (len - head - h.base_len - h.addition_bytes != 8 * h.tombstone_words)
    throw IndexError::format(kOverlayTombstones);
  const std::uint64_t retired =
      popcount(w, head + h.base_len + h.addition_bytes, h.tombstone_words);
  return overlay(w, std::move(format), len, h.tag, head, h.base_len, h.additions, retired);
}

BlobInfo overlay_v1(const Window& w, std::string format, bool nested) {
  if (nested) throw IndexError::format(kNestedOverlay);
  const std::uint64_t len = w.len();
  const auto h = overlay::HeaderV1::parse(header_of(w, overlay::HeaderV1::kBytes));
  constexpr std::uint64_t head = overlay::HeaderV1::kBytes;
  // Walk the additions by their length words only. Each step advances by at least 4 bytes and
  // must stay inside the blob, so the walk ends after at most len / 4 reads whatever the count.
  std::uint64_t p = add(head, h.base_len);
  for (std::uint64_t k = 0; k < h.additions; ++k) {
    const std::uint64_t key_len = w.u32(p);
    p = add(p, 4 + key_len);
  }
  const std::uint64_t words = w.u64(p);
  if (p > len || len - p < 8 || words >= (std::uint64_t{1} << 61)) truncated();
  if (len - p - 8 != 8 * words) throw IndexError::format(kOverlayTombstones);
  const std::uint64_t retired = popcount(w, p + 8, words);
  return overlay(w, std::move(format), len, h.tag, head, h.base_len, h.additions, retired);
}

}  // namespace

std::vector<std::uint8_t> SliceSource::read(std::uint64_t offset, std::uint64_t count) {
  if (!bytes::fits(offset, count, bytes_.size())) truncated();
  const std::uint8_t* p = bytes_.data() + offset;
  return std::vector<std::uint8_t>(p, p + count);
}

FileSource::FileSource(const std::filesystem::path& path)
    : file_(fileio::File::open_read(path)), len_(file_.size()) {}

std::vector<std::uint8_t> FileSource::read(std::uint64_t offset, std::uint64_t count) {
  std::vector<std::uint8_t> out(count);
  file_.pread_exact(out, offset);
  return out;
}

Window::Window(Source& source, std::uint64_t start, std::uint64_t len)
    : source_(&source), start_(start), len_(len) {
  check_invariant(bytes::fits(start, len, source.len()), "a window lies inside its source");
}

std::vector<std::uint8_t> Window::read(std::uint64_t offset, std::uint64_t count) const {
  if (!bytes::fits(offset, count, len_)) truncated();
  return source_->read(start_ + offset, count);
}

std::uint32_t Window::u32(std::uint64_t offset) const {
  return bytes::load_u32(read(offset, 4).data());
}

std::uint64_t Window::u64(std::uint64_t offset) const {
  return bytes::load_u64(read(offset, 8).data());
}

Window Window::sub(std::uint64_t offset, std::uint64_t len) const {
  if (!bytes::fits(offset, len, len_)) truncated();
  return Window(*source_, start_ + offset, len);
}

std::string_view kind_name(BlobKind kind) noexcept {
  switch (kind) {
    case BlobKind::StringIndex:
      return "StringIndex";
    case BlobKind::PerfectHashIndex:
      return "PerfectHashIndex";
    case BlobKind::CompactHashIndex:
      return "CompactHashIndex";
    case BlobKind::ClosedHashIndex:
      return "ClosedHashIndex";
    case BlobKind::DictIndex:
      return "DictIndex";
    case BlobKind::Mphf:
      return "Mphf";
    case BlobKind::Overlay:
      return "Overlay";
    case BlobKind::HashedDictIndex:
      return "HashedDictIndex";
  }
  return "Unknown";
}

BlobInfo parse(const Window& w, bool nested) {
  if (w.len() < 4) throw IndexError::format(kShorterThanMagic);
  std::vector<std::uint8_t> magic;
  try {
    magic = w.read(0, 4);
  } catch (const IndexError&) {
    throw IndexError::format(kShorterThanMagic);
  }
  auto is = [&](const char* m) { return std::memcmp(magic.data(), m, 4) == 0; };
  // Every magic matched below is ASCII, so its text is the bytes themselves.
  std::string format(magic.begin(), magic.end());

  if (is("BIX4")) return string_index(w, std::move(format));
  if (is("BMP8"))
    return hash_index<hash_blob::Header>(w, std::move(format), BlobKind::PerfectHashIndex,
                                         side_table::kKeyEntryBytes);
  if (blob::has_magic_version(magic, "BMP", '1', '7')) throw IndexError::format(kOldPerfectHash);
  if (is("BCH8"))
    return hash_index<hash_blob::FingerprintHeader>(
        w, std::move(format), BlobKind::CompactHashIndex, side_table::kPairEntryBytes);
  if (blob::has_magic_version(magic, "BCH", '1', '7')) throw IndexError::format(kOldCompactHash);
  if (is("BCL2"))
    return hash_index<hash_blob::Header>(w, std::move(format), BlobKind::ClosedHashIndex,
                                         side_table::kPairEntryBytes);
  if (blob::has_magic_version(magic, "BCL", '1', '1')) throw IndexError::format(kOldClosedHash);
  if (is("BHD1")) return hashed_dict(w, std::move(format));
  if (blob::has_magic_version(magic, "BDX", '1', '3'))
    return dict_index(w, std::move(format), magic[3] - '0');
  if (blob::has_magic_version(magic, "MPH", '1', '3')) return mphf(w, std::move(format));
  if (is("OVL2")) return overlay_v2(w, std::move(format), nested);
  if (is("OVL1")) return overlay_v1(w, std::move(format), nested);
  throw IndexError::format(kUnknownMagic);
}

BlobInfo inspect_bytes(std::span<const std::uint8_t> blob) {
  SliceSource source(blob);
  return parse(Window::whole(source), false);
}

BlobInfo inspect_file(const std::filesystem::path& path) {
  FileSource source(path);
  return parse(Window::whole(source), false);
}

BlobInfo overlay(const Window& w, std::string format, std::uint64_t bytes, std::uint8_t base_tag,
                 std::uint64_t header_len, std::uint64_t base_len, std::uint64_t additions,
                 std::uint64_t retired) {
  BlobInfo i = info(BlobKind::Overlay, std::move(format), bytes);
  OverlayInfo o;
  o.base_tag = base_tag;
  o.additions = additions;
  o.retired = retired;
  // Tags 1, 2 and 3 name the three base kinds; whether the region's magic agrees is not checked.
  if (base_tag >= 1 && base_tag <= 3) {
    const std::uint64_t end = add(header_len, base_len);
    if (end > bytes) truncated();
    BlobInfo base = parse(w.sub(header_len, base_len), true);
    if (base.keys) {
      const auto ids = checked_add(*base.keys, additions);
      if (!ids || *ids < retired) throw IndexError::format(kOverlayCounts);
      i.keys = *ids - retired;
    }
    o.base = std::make_unique<BlobInfo>(std::move(base));
  }
  i.overlay = std::move(o);
  return i;
}

std::uint64_t popcount(const Window& w, std::uint64_t offset, std::uint64_t words) {
  constexpr std::uint64_t kChunkWords = 8192;  // 64 KiB a read
  std::uint64_t total = 0;
  for (std::uint64_t done = 0; done < words;) {
    const std::uint64_t chunk = std::min(words - done, kChunkWords);
    const std::uint64_t at = add(offset, mul(8, done));
    if (!bytes::fits(at, 8 * chunk, w.len())) truncated();
    const std::vector<std::uint8_t> buf = w.read(at, 8 * chunk);
    for (std::uint64_t k = 0; k < chunk; ++k) total += std::popcount(bytes::load_u64(&buf[8 * k]));
    done += chunk;
  }
  return total;
}

}  // namespace quenlith::inspect
