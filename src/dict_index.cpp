// The "BDX3" blob: header, loader, layout check, writer and byte split.
//
// The "BDX3" blob (all integers little-endian, no padding between sections):
//
//   offset  size  field
//   0       4     magic "BDX3"
//   4       8     n, key count
//   12      4     block, keys per block (1..=1024)
//   16      8     heads length
//   24      8     block data length
//   32      4     tables length
//   36      8     payload hash of every byte from 72 to the end
//   44      1     w_he, bit width of the head_ends deltas (<= 56)
//   45      1     w_bo, bit width of the block_offsets deltas (<= 56)
//   46      1     s, sample shift of both sampled arrays (<= 31; written 6)
//   47      1     w_mo, bit width of micro_offsets (<= 56)
//   48      2     micro, keys per microblock (1..=block)
//   50      2     blocks_per_shard (written min(65536 / block, 65535))
//   52      4     header codes length
//   56      2     head prefix, bytes every head shares
//   58      4     phrases length (>= 4)
//   62      6     reserved, 0
//   68      4     header check over bytes 0..68
//
//   sections from 72, with B = ceil(n / block), S = ceil(B / blocks_per_shard),
//   mpb = ceil(block / micro), M = 0 when B = 0 or mpb = 1, else (B - 1) * mpb +
//   ceil(last block's keys / micro), C = ceil(B / 2^s):
//
//   1   heads                 every block's head, concatenated
//   2   head_ends samples     8 * C
//   3   head_ends deltas      ceil(B * w_he / 8) + 8, 0 when B = 0
//   4   block data            the encoded blocks
//   5   tables                max(S, 1) codec records, each u32 length + record
//   6   header codes          max(S, 1) pairs of pair codes: entry code, restart code
//   7   phrases               the phrase dictionary (src/phrase)
//   8   block_offsets samples 8 * C
//   9   block_offsets deltas  ceil(B * w_bo / 8) + 8, 0 when B = 0
//   10  micro_offsets         ceil(M * w_mo / 8) + 8, 0 when M = 0: run starts from the block's
//                             start, mpb a block (the last block ceil(keys / micro))
//
// Codec records: kind 0 = u8 0 + symbol table; kind 1 = u8 1, u8 b (1..=8), u8 P - 1, u8 S,
// P primary bytes, S secondary bytes; kind 2 = u8 2, u8 slots (1..=254), u8 leads
// (<= 255 - slots) + symbol table of at most `slots` symbols.
//
// Written: "BDX3". Refused with a message asking for a rebuild: "BDX1", "BDX2".
#include <algorithm>

#include "bytes.hpp"
#include "dict_index_internal.hpp"
#include "fileio.hpp"

namespace quenlith::dict_index {

namespace {

constexpr char kMagic[4] = {'B', 'D', 'X', '3'};

constexpr const char* kV1 =
    "dict: blob written by quenlith 2.0 or 2.1, whose blocks interleaved an entry's header with "
    "its suffix; rebuild the index from its keys";
constexpr const char* kV2 =
    "dict: blob written by quenlith 2.2 or 3.x, which spent a byte on every entry's header; "
    "rebuild the index from its keys";
constexpr const char* kBlockRange = "dict: block size out of range";
constexpr const char* kWidths = "dict: offset widths out of range";
constexpr const char* kMicroRange = "dict: microblock size out of range";
constexpr const char* kShardRange = "dict: symbol-table shard out of range";
constexpr const char* kBlockCount = "dict: block count out of range";
constexpr const char* kLengths = "dict: the section lengths do not add up to the blob";
constexpr const char* kTooManyBlocks = "dict: more blocks than the heads section can hold";
constexpr const char* kBadTables = "dict: bad symbol table";
constexpr const char* kBadCodes = "dict: bad header code";
constexpr const char* kBadPhrases = "dict: bad phrase dictionary";
constexpr const char* kEmptyWithBytes = "dict: an empty index with key bytes";
constexpr const char* kHeadOrder = "dict: head table out of order";
constexpr const char* kHeadCover = "dict: head table does not cover the head bytes";
constexpr const char* kBlockOrder = "dict: block table out of order";
constexpr const char* kHeadPrefix = "dict: the head prefix is longer than the heads share";
constexpr const char* kSectionTooLong =
    "dict: a section of the index is longer than its 32-bit length field";

static_assert(kHeaderBytes == 72);

using bytes::ceil_div;

}  // namespace

Header Header::parse(std::span<const std::uint8_t> bytes) {
  bytes::Cursor c(bytes);
  c.skip(4, blob::kBadMagic);
  Header h;
  h.n = c.u64(blob::kBadMagic);
  h.block = c.u32(blob::kBadMagic);
  h.heads_len = c.u64(blob::kBadMagic);
  h.data_len = c.u64(blob::kBadMagic);
  h.tables_len = c.u32(blob::kBadMagic);
  h.payload = c.u64(blob::kBadMagic);
  h.head_ends_width = c.u8(blob::kBadMagic);
  h.block_offsets_width = c.u8(blob::kBadMagic);
  h.shift = c.u8(blob::kBadMagic);
  h.micro_width = c.u8(blob::kBadMagic);
  h.micro = c.u16(blob::kBadMagic);
  h.blocks_per_shard = c.u16(blob::kBadMagic);
  h.codes_len = c.u32(blob::kBadMagic);
  h.head_prefix = c.u16(blob::kBadMagic);
  h.phrases_len = c.u32(blob::kBadMagic);
  c.skip(6 + 4, blob::kBadMagic);  // reserved, then the check
  return h;
}

std::array<std::uint8_t, Header::kBytes> Header::write() const {
  std::vector<std::uint8_t> h = blob::begin_header(std::string_view(kMagic, 4), kBytes);
  bytes::put_u64(h, n);
  bytes::put_u32(h, block);
  bytes::put_u64(h, heads_len);
  bytes::put_u64(h, data_len);
  bytes::put_u32(h, tables_len);
  bytes::put_u64(h, payload);
  bytes::put_u8(h, head_ends_width);
  bytes::put_u8(h, block_offsets_width);
  bytes::put_u8(h, shift);
  bytes::put_u8(h, micro_width);
  bytes::put_u16(h, micro);
  bytes::put_u16(h, blocks_per_shard);
  bytes::put_u32(h, codes_len);
  bytes::put_u16(h, head_prefix);
  bytes::put_u32(h, phrases_len);
  h.resize(kCheckAt, 0);  // the reserved bytes
  return blob::seal_header<kBytes>(h);
}

std::uint64_t Sections::total_bytes() const noexcept {
  return header + tables + header_codes + phrases + heads + head_ends + block_offsets +
         micro_offsets + restart_headers + restart_wide + restart_codes + entry_headers +
         entry_wide + entry_codes;
}

std::uint64_t common_head(std::span<const std::uint8_t> heads, const offsets::Offsets& head_ends,
                          std::uint64_t blocks) {
  if (blocks == 0) return 0;
  auto span_of = [&](std::uint64_t b) -> std::span<const std::uint8_t> {
    const std::uint64_t start = b ? head_ends.get(b - 1) : 0, end = head_ends.get(b);
    if (start > end || end > heads.size()) return {};
    return heads.subspan(start, end - start);
  };
  const auto a = span_of(0), z = span_of(blocks - 1);
  std::size_t i = 0;
  const std::size_t n = std::min(a.size(), z.size());
  while (i < n && a[i] == z[i]) ++i;
  return std::min<std::uint64_t>(i, 65535);
}

DictIndex DictIndex::from_shared(blob::SharedBytes view, bool verify) {
  const auto b = view.bytes();
  if (b.size() < 4) throw IndexError::format(blob::kBadMagic);
  if (blob::has_magic_version(b, "BDX", '1', '1')) throw IndexError::format(kV1);
  if (blob::has_magic_version(b, "BDX", '2', '2')) throw IndexError::format(kV2);
  blob::check_frame(b, kMagic, kHeaderBytes);
  const Header h = Header::parse(b);
  if (verify) blob::check_payload(b.subspan(kHeaderBytes), h.payload);
  const std::uint64_t n = h.n;
  const std::uint64_t block = h.block;
  const std::uint64_t heads_len = h.heads_len;
  const std::uint64_t data_len = h.data_len;
  const std::uint64_t tables_len = h.tables_len;
  const unsigned w_he = h.head_ends_width, w_bo = h.block_offsets_width, shift = h.shift,
                 w_mo = h.micro_width;
  const std::uint64_t micro = h.micro;
  const std::uint64_t spb = h.blocks_per_shard;
  const std::uint64_t codes_len = h.codes_len;
  const std::uint64_t head_prefix = h.head_prefix;
  const std::uint64_t phrases_len = h.phrases_len;

  if (block == 0 || block > kMaxBlock) throw IndexError::format(kBlockRange);
  if (shift > 31 || w_he > offsets::kMaxWidth || w_bo > offsets::kMaxWidth ||
      w_mo > offsets::kMaxWidth)
    throw IndexError::format(kWidths);
  if (micro == 0 || micro > block) throw IndexError::format(kMicroRange);
  if (spb == 0) throw IndexError::format(kShardRange);

  const std::uint64_t nblocks = ceil_div(n, block);
  const std::uint64_t mpb = ceil_div(block, micro);
  std::uint64_t micro_count = 0;
  if (nblocks > 0 && mpb > 1) {
    const std::uint64_t last = n - (nblocks - 1) * block;
    const unsigned __int128 m =
        static_cast<unsigned __int128>(nblocks - 1) * mpb + ceil_div(last, micro);
    if (m > UINT64_MAX) throw IndexError::format(kBlockCount);
    micro_count = static_cast<std::uint64_t>(m);
  }
  const auto arrays = offsets::arrays_len(nblocks, micro_count, w_he, w_bo, w_mo, shift);
  if (!arrays) throw IndexError::format(kBlockCount);
  std::optional<std::uint64_t> total = kHeaderBytes;
  for (std::uint64_t part : {tables_len, heads_len, *arrays, data_len, codes_len, phrases_len})
    if (total) total = bytes::checked_add(*total, part);
  if (!total || *total != b.size()) throw IndexError::format(kLengths);
  // Keys are distinct, so only the first head can be empty: a blob claiming more blocks than
  // head bytes plus one is not a dictionary, and its samples must not be allocated by the claim.
  if (nblocks > heads_len + 1) throw IndexError::format(kTooManyBlocks);

  const std::uint64_t samples_per = nblocks == 0 ? 0 : ((nblocks - 1) >> shift) + 1;
  auto cut = [&, pos = kHeaderBytes](std::uint64_t len) mutable {
    auto s = view.slice(pos, len);
    check_invariant(s.has_value(), "the sections add up to the blob");
    pos += len;
    return std::move(*s);
  };
  DictIndex index;
  index.heads_ = cut(heads_len);
  auto he_samples = cut(8 * samples_per);
  auto he_deltas = cut(nblocks == 0 ? 0 : (nblocks * w_he + 7) / 8 + 8);
  index.block_data_ = cut(data_len);
  const auto tables = cut(tables_len);
  const auto codes = cut(codes_len);
  const auto phrases = cut(phrases_len);
  auto bo_samples = cut(8 * samples_per);
  auto bo_deltas = cut(nblocks == 0 ? 0 : (nblocks * w_bo + 7) / 8 + 8);
  index.micro_offsets_ = cut(micro_count == 0 ? 0 : (micro_count * w_mo + 7) / 8 + 8);
  index.micro_width_ = w_mo;
  index.head_ends_ = offsets::Offsets(std::move(he_samples), std::move(he_deltas), w_he, shift);
  index.block_offsets_ = offsets::Offsets(std::move(bo_samples), std::move(bo_deltas), w_bo, shift);

  // Samples, one per block; an inconsistent head span reads as empty.
  index.samples_.resize(nblocks);
  {
    const auto hb = index.heads_.bytes();
    std::uint64_t start = 0;
    for (std::uint64_t i = 0; i < nblocks; ++i) {
      const std::uint64_t end = index.head_ends_.get(i);
      std::uint64_t v = 0;
      if (start <= end && end <= hb.size()) {
        for (unsigned k = 0; k < 8; ++k) {
          const std::uint64_t at = start + head_prefix + k;
          v = v << 8 | (at < end ? hb[at] : 0);
        }
      }
      index.samples_[i] = v;
      start = end;
    }
  }

  const std::uint64_t shards = std::max<std::uint64_t>(ceil_div(nblocks, spb), 1);
  {
    const auto t = tables.bytes();
    std::uint64_t pos = 0;
    // Records are parsed one by one, never reserved by the claimed count: a record takes at least
    // 6 bytes, so a short section ends the loop long before memory is at stake.
    for (std::uint64_t s = 0; s < shards; ++s) {
      if (t.size() - pos < 4) throw IndexError::format(kBadTables);
      const std::uint64_t len = bytes::load_u32(t.data() + pos);
      if (t.size() - pos - 4 < len) throw IndexError::format(kBadTables);
      auto codec = Codec::read(t.subspan(pos + 4, len));
      if (!codec) throw IndexError::format(kBadTables);
      index.tables_.push_back(std::move(*codec));
      pos += 4 + len;
    }
    if (pos != t.size()) throw IndexError::format(kBadTables);
  }
  {
    auto c = codes.bytes();
    for (std::uint64_t s = 0; s < shards; ++s) {
      auto entry = paircode::Code::read(c);
      if (!entry) throw IndexError::format(kBadCodes);
      c = c.subspan(entry->second);
      auto restart = paircode::Code::read(c);
      if (!restart) throw IndexError::format(kBadCodes);
      c = c.subspan(restart->second);
      index.header_codes_.emplace_back(std::move(entry->first), std::move(restart->first));
    }
    if (!c.empty()) throw IndexError::format(kBadCodes);
  }
  {
    auto dict = phrase::Dict::read(phrases.bytes());
    if (!dict) throw IndexError::format(kBadPhrases);
    index.phrases_ = std::move(*dict);
  }
  index.block_ = block;
  index.micro_ = micro;
  index.micro_per_block_ = mpb;
  index.keys_ = n;
  index.blocks_per_shard_ = spb;
  index.head_prefix_ = head_prefix;
  if (verify) index.check_layout();
  return index;
}

void DictIndex::check_layout() const {
  const std::uint64_t nblocks = blocks();
  if (nblocks == 0) {
    if (heads_.size() != 0 || block_data_.size() != 0) throw IndexError::format(kEmptyWithBytes);
    return;
  }
  std::uint64_t prev = 0;
  for (std::uint64_t i = 0; i < nblocks; ++i) {
    const std::uint64_t v = head_ends_.get(i);
    if (v < prev || v > heads_.size()) throw IndexError::format(kHeadOrder);
    prev = v;
  }
  if (prev != heads_.size()) throw IndexError::format(kHeadCover);
  for (std::uint64_t i = 0; i < nblocks; ++i) {
    const std::uint64_t start = block_offsets_.get(i);
    const std::uint64_t end = i + 1 < nblocks ? block_offsets_.get(i + 1) : block_data_.size();
    std::uint64_t last = start;
    if (micro_per_block_ != 1) {
      const std::uint64_t m = micros_in_block(i);
      for (std::uint64_t j = 0; j < m; ++j) {
        const auto at = bytes::checked_add(start, micro_offset(i * micro_per_block_ + j));
        if (!at || *at < last) throw IndexError::format(kBlockOrder);
        last = *at;
      }
    }
    if (last > end) throw IndexError::format(kBlockOrder);
  }
  if (block_offsets_.get(0) != 0) throw IndexError::format(kBlockOrder);
  if (common_head(heads_.bytes(), head_ends_, nblocks) < head_prefix_)
    throw IndexError::format(kHeadPrefix);
}

DictIndex::DictIndex(const DictIndex&) = default;
DictIndex::DictIndex(DictIndex&&) noexcept = default;
DictIndex& DictIndex::operator=(const DictIndex&) = default;
DictIndex& DictIndex::operator=(DictIndex&&) noexcept = default;
DictIndex::~DictIndex() = default;

DictIndex DictIndex::from_bytes(std::span<const std::uint8_t> bytes) {
  return from_shared(blob::SharedBytes::from_owned(bytes), true);
}
DictIndex DictIndex::load(const std::filesystem::path& path) {
  return from_shared(blob::SharedBytes::from_owned(fileio::read_file(path)), true);
}
DictIndex DictIndex::load_mmap(const std::filesystem::path& path) {
  return from_shared(blob::SharedBytes::map_file(path), false);
}
DictIndex DictIndex::load_mmap_verified(const std::filesystem::path& path) {
  return from_shared(blob::SharedBytes::map_file(path), true);
}

std::vector<std::uint8_t> DictIndex::small_sections(std::uint64_t& tables_len,
                                                    std::uint64_t& codes_len,
                                                    std::uint64_t& phrases_len) const {
  std::vector<std::uint8_t> out;
  write_codecs(tables_, out);
  tables_len = out.size();
  for (const auto& [entry, restart] : header_codes_) {
    entry.write_to(out);
    restart.write_to(out);
  }
  codes_len = out.size() - tables_len;
  phrases_.write_to(out);
  phrases_len = out.size() - tables_len - codes_len;
  return out;
}

std::uint64_t DictIndex::serialized_len() const {
  std::uint64_t total = kHeaderBytes;
  for (const Codec& c : tables_) total += 4 + c.record_len();
  for (const auto& [entry, restart] : header_codes_)
    total += entry.serialized_len() + restart.serialized_len();
  total += phrases_.serialized_len();
  total += heads_.size() + head_ends_.samples().size() + head_ends_.deltas().size();
  total += block_data_.size() + block_offsets_.samples().size() + block_offsets_.deltas().size();
  total += micro_offsets_.size();
  return total;
}

std::array<std::uint8_t, kHeaderBytes> DictIndex::header() const {
  std::uint64_t tables_len, codes_len, phrases_len;
  const auto small = small_sections(tables_len, codes_len, phrases_len);
  for (std::uint64_t len : {tables_len, codes_len, phrases_len})
    if (len > UINT32_MAX) throw IndexError::build(kSectionTooLong);
  blob::BlockHasher hasher;
  hasher.update(heads_.bytes());
  hasher.update(head_ends_.samples().bytes());
  hasher.update(head_ends_.deltas().bytes());
  hasher.update(block_data_.bytes());
  hasher.update(small);
  hasher.update(block_offsets_.samples().bytes());
  hasher.update(block_offsets_.deltas().bytes());
  hasher.update(micro_offsets_.bytes());
  Header h;
  h.n = keys_;
  h.block = static_cast<std::uint32_t>(block_);
  h.heads_len = heads_.size();
  h.data_len = block_data_.size();
  h.tables_len = static_cast<std::uint32_t>(tables_len);
  h.payload = hasher.finish();
  h.head_ends_width = static_cast<std::uint8_t>(head_ends_.width());
  h.block_offsets_width = static_cast<std::uint8_t>(block_offsets_.width());
  h.shift = static_cast<std::uint8_t>(head_ends_.shift());
  h.micro_width = static_cast<std::uint8_t>(micro_width_);
  h.micro = static_cast<std::uint16_t>(micro_);
  h.blocks_per_shard = static_cast<std::uint16_t>(blocks_per_shard_);
  h.codes_len = static_cast<std::uint32_t>(codes_len);
  h.head_prefix = static_cast<std::uint16_t>(head_prefix_);
  h.phrases_len = static_cast<std::uint32_t>(phrases_len);
  return h.write();
}

void DictIndex::write_to(const std::function<void(std::span<const std::uint8_t>)>& sink) const {
  const auto h = header();
  std::uint64_t tables_len, codes_len, phrases_len;
  const auto small = small_sections(tables_len, codes_len, phrases_len);
  sink(h);
  sink(heads_.bytes());
  sink(head_ends_.samples().bytes());
  sink(head_ends_.deltas().bytes());
  sink(block_data_.bytes());
  sink(small);
  sink(block_offsets_.samples().bytes());
  sink(block_offsets_.deltas().bytes());
  sink(micro_offsets_.bytes());
}

std::vector<std::uint8_t> DictIndex::to_bytes() const {
  return blob::collect(serialized_len(), [&](const auto& sink) { write_to(sink); });
}

void DictIndex::save(const std::filesystem::path& path) const {
  blob::save_written(path, [&](const auto& sink) { write_to(sink); });
}

Sections DictIndex::sections() const {
  Sections s;
  s.header = kHeaderBytes;
  for (const Codec& c : tables_) s.tables += 4 + c.record_len();
  for (const auto& [entry, restart] : header_codes_)
    s.header_codes += entry.serialized_len() + restart.serialized_len();
  s.phrases = phrases_.serialized_len();
  s.heads = heads_.size();
  s.head_ends = head_ends_.samples().size() + head_ends_.deltas().size();
  s.block_offsets = block_offsets_.samples().size() + block_offsets_.deltas().size();
  s.micro_offsets = micro_offsets_.size();
  auto split = [&](const RunView& v, std::uint64_t& headers, std::uint64_t& wide,
                   std::uint64_t& codes, std::uint64_t& count) {
    if (v.covered < 2) return;
    RunWalk walk(v);
    if (!walk.valid()) return;
    paircode::Pair p;
    std::uint64_t start;
    while (walk.next_pair(p, start)) {}
    const std::uint64_t h = walk.packed_len();
    headers += h;
    wide += walk.wide_bytes();
    const std::uint64_t rest = v.bytes.size() - h;
    codes += rest > walk.wide_bytes() ? rest - walk.wide_bytes() : 0;
    count += walk.entry();
    s.wide += walk.escapes();
  };
  for (std::uint64_t b = 0; b < blocks(); ++b) {
    if (micros_in_block(b) >= 2)
      split(restart_run(b), s.restart_headers, s.restart_wide, s.restart_codes, s.restarts);
    for (std::uint64_t j = 0; j < micros_in_block(b); ++j)
      split(micro_run(b, j), s.entry_headers, s.entry_wide, s.entry_codes, s.entries);
  }
  return s;
}

}  // namespace quenlith::dict_index
