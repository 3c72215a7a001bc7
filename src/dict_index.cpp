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

std::uint64_t common_head(std::span<const std::uint8_t> first, std::span<const std::uint8_t> last) {
  return std::min<std::uint64_t>(bytes::common_prefix(first, last), 65535);
}

namespace {

// Runs of all blocks but the restart runs: M of the drawing. Throws kBlockCount on overflow.
std::uint64_t micro_count_of(const Header& h) {
  const std::uint64_t nblocks = ceil_div(h.n, h.block);
  const std::uint64_t mpb = ceil_div(h.block, h.micro);
  if (nblocks == 0 || mpb == 1) return 0;
  const std::uint64_t last = h.n - (nblocks - 1) * h.block;
  const unsigned __int128 m =
      static_cast<unsigned __int128>(nblocks - 1) * mpb + ceil_div(last, h.micro);
  if (m > UINT64_MAX) throw IndexError::format(kBlockCount);
  return static_cast<std::uint64_t>(m);
}

// The header's own ranges, in the order the loader checks them.
void check_fields(const Header& h) {
  if (h.block == 0 || h.block > kMaxBlock) throw IndexError::format(kBlockRange);
  if (h.shift > 31 || h.head_ends_width > offsets::kMaxWidth ||
      h.block_offsets_width > offsets::kMaxWidth || h.micro_width > offsets::kMaxWidth)
    throw IndexError::format(kWidths);
  if (h.micro == 0 || h.micro > h.block) throw IndexError::format(kMicroRange);
  if (h.blocks_per_shard == 0) throw IndexError::format(kShardRange);
}

// The codec records of the tables section, one a shard. Records are parsed one by one, never
// reserved by the claimed count: a record takes at least 6 bytes, so a short section ends the
// loop long before memory is at stake.
std::vector<Codec> read_codecs(std::span<const std::uint8_t> t, std::uint64_t shards) {
  std::vector<Codec> out;
  std::uint64_t pos = 0;
  for (std::uint64_t s = 0; s < shards; ++s) {
    if (t.size() - pos < 4) throw IndexError::format(kBadTables);
    const std::uint64_t len = bytes::load_u32(t.data() + pos);
    if (t.size() - pos - 4 < len) throw IndexError::format(kBadTables);
    auto codec = Codec::read(t.subspan(pos + 4, len));
    if (!codec) throw IndexError::format(kBadTables);
    out.push_back(std::move(*codec));
    pos += 4 + len;
  }
  if (pos != t.size()) throw IndexError::format(kBadTables);
  return out;
}

// The (entry, restart) pair codes of the header codes section, one pair a shard.
std::vector<std::pair<paircode::Code, paircode::Code>> read_codes(std::span<const std::uint8_t> c,
                                                                  std::uint64_t shards) {
  std::vector<std::pair<paircode::Code, paircode::Code>> out;
  for (std::uint64_t s = 0; s < shards; ++s) {
    auto entry = paircode::Code::read(c);
    if (!entry) throw IndexError::format(kBadCodes);
    c = c.subspan(entry->second);
    auto restart = paircode::Code::read(c);
    if (!restart) throw IndexError::format(kBadCodes);
    c = c.subspan(restart->second);
    out.emplace_back(std::move(entry->first), std::move(restart->first));
  }
  if (!c.empty()) throw IndexError::format(kBadCodes);
  return out;
}

// One sample a block; an inconsistent head span reads as empty.
std::vector<std::uint64_t> samples_of(std::span<const std::uint8_t> heads,
                                      const offsets::Offsets& head_ends, std::uint64_t blocks,
                                      std::uint64_t head_prefix) {
  std::vector<std::uint64_t> out(blocks);
  std::uint64_t start = 0;
  for (std::uint64_t i = 0; i < blocks; ++i) {
    const std::uint64_t end = head_ends.get(i);
    if (start <= end && end <= heads.size())
      out[i] = sample_of(heads.subspan(start, end - start), head_prefix);
    start = end;
  }
  return out;
}

// Bytes of a packed array of `count` values of `w` bits, once `offsets::arrays_len` has found
// the arrays' sum to fit 64 bits.
std::uint64_t packed_bytes(std::uint64_t count, unsigned w) {
  if (count == 0) return 0;
  return static_cast<std::uint64_t>((static_cast<unsigned __int128>(count) * w + 7) / 8 + 8);
}

}  // namespace

BySection<std::uint64_t> section_lens(const Header& h) {
  const std::uint64_t nblocks = ceil_div(h.n, h.block);
  const std::uint64_t micro_count = micro_count_of(h);
  if (!offsets::arrays_len(nblocks, micro_count, h.head_ends_width, h.block_offsets_width,
                           h.micro_width, h.shift))
    throw IndexError::format(kBlockCount);
  const std::uint64_t samples = nblocks == 0 ? 0 : 8 * (((nblocks - 1) >> h.shift) + 1);
  BySection<std::uint64_t> lens{};
  for_each_section([&](Section s) {
    std::uint64_t& len = lens[at(s)];
    switch (s) {
      case Section::Heads: len = h.heads_len; break;
      case Section::HeadEndsSamples: len = samples; break;
      case Section::HeadEndsDeltas: len = packed_bytes(nblocks, h.head_ends_width); break;
      case Section::BlockData: len = h.data_len; break;
      case Section::Tables: len = h.tables_len; break;
      case Section::HeaderCodes: len = h.codes_len; break;
      case Section::Phrases: len = h.phrases_len; break;
      case Section::BlockOffsetsSamples: len = samples; break;
      case Section::BlockOffsetsDeltas: len = packed_bytes(nblocks, h.block_offsets_width); break;
      case Section::MicroOffsets: len = packed_bytes(micro_count, h.micro_width); break;
    }
  });
  return lens;
}

DictIndex DictIndex::from_shared(blob::SharedBytes view, bool verify) {
  const auto b = view.bytes();
  if (b.size() < 4) throw IndexError::format(blob::kBadMagic);
  if (blob::has_magic_version(b, "BDX", '1', '1')) throw IndexError::format(kV1);
  if (blob::has_magic_version(b, "BDX", '2', '2')) throw IndexError::format(kV2);
  blob::check_frame(b, kMagic, kHeaderBytes);
  const Header h = Header::parse(b);
  if (verify) blob::check_payload(b.subspan(kHeaderBytes), h.payload);
  check_fields(h);
  const BySection<std::uint64_t> lens = section_lens(h);
  std::optional<std::uint64_t> total = kHeaderBytes;
  for (std::uint64_t len : lens)
    if (total) total = bytes::checked_add(*total, len);
  if (!total || *total != b.size()) throw IndexError::format(kLengths);
  // Keys are distinct, so only the first head can be empty: a blob claiming more blocks than
  // head bytes plus one is not a dictionary, and its samples must not be allocated by the claim.
  const std::uint64_t nblocks = ceil_div(h.n, h.block);
  if (nblocks > h.heads_len + 1) throw IndexError::format(kTooManyBlocks);

  BySection<blob::SharedBytes> cut;
  std::uint64_t pos = kHeaderBytes;
  for_each_section([&](Section s) {
    auto slice = view.slice(pos, lens[at(s)]);
    check_invariant(slice.has_value(), "the sections add up to the blob");
    cut[at(s)] = std::move(*slice);
    pos += lens[at(s)];
  });
  const auto take = [&](Section s) { return std::move(cut[at(s)]); };
  DictIndex index;
  index.keys_ = h.n;
  index.block_ = h.block;
  index.micro_ = h.micro;
  index.micro_per_block_ = ceil_div(h.block, h.micro);
  index.blocks_per_shard_ = h.blocks_per_shard;
  index.head_prefix_ = h.head_prefix;
  index.heads_ = take(Section::Heads);
  index.head_ends_ = offsets::Offsets(take(Section::HeadEndsSamples),
                                      take(Section::HeadEndsDeltas), h.head_ends_width, h.shift);
  index.block_data_ = take(Section::BlockData);
  index.block_offsets_ =
      offsets::Offsets(take(Section::BlockOffsetsSamples), take(Section::BlockOffsetsDeltas),
                       h.block_offsets_width, h.shift);
  index.micro_offsets_ = take(Section::MicroOffsets);
  index.micro_width_ = h.micro_width;
  index.samples_ = samples_of(index.heads_.bytes(), index.head_ends_, nblocks, h.head_prefix);
  const std::uint64_t shards = std::max<std::uint64_t>(ceil_div(nblocks, h.blocks_per_shard), 1);
  index.tables_ = read_codecs(cut[at(Section::Tables)].bytes(), shards);
  index.header_codes_ = read_codes(cut[at(Section::HeaderCodes)].bytes(), shards);
  auto phrases = phrase::Dict::read(cut[at(Section::Phrases)].bytes());
  if (!phrases) throw IndexError::format(kBadPhrases);
  index.phrases_ = std::move(*phrases);
  if (verify) index.check_layout();
  return index;
}

// The layout walk of a verified load.
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
  if (common_head(head(0), head(nblocks - 1)) < head_prefix_)
    throw IndexError::format(kHeadPrefix);
}

DictIndex::DictIndex(DictIndex&&) noexcept = default;
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

SmallSections small_sections(std::span<const Codec> codecs,
                             std::span<const std::pair<paircode::Code, paircode::Code>> codes,
                             const phrase::Dict& phrases) {
  SmallSections out;
  write_codecs(codecs, out.tables);
  for (const auto& [entry, restart] : codes) {
    entry.write_to(out.codes);
    restart.write_to(out.codes);
  }
  phrases.write_to(out.phrases);
  for (const auto* section : {&out.tables, &out.codes, &out.phrases})
    if (section->size() > UINT32_MAX) throw IndexError::build(kSectionTooLong);
  return out;
}

// The header of this index but its payload hash.
Header DictIndex::fields() const {
  std::uint64_t tables_len = 0, codes_len = 0;
  for (const Codec& c : tables_) tables_len += 4 + c.record_len();
  for (const auto& [entry, restart] : header_codes_)
    codes_len += entry.serialized_len() + restart.serialized_len();
  const std::uint64_t phrases_len = phrases_.serialized_len();
  // Written again, a loaded section is never longer than it was stored.
  check_invariant(tables_len <= UINT32_MAX && codes_len <= UINT32_MAX && phrases_len <= UINT32_MAX,
                  "an index's small sections fit their length fields");
  Header h;
  h.n = keys_;
  h.block = static_cast<std::uint32_t>(block_);
  h.heads_len = heads_.size();
  h.data_len = block_data_.size();
  h.tables_len = static_cast<std::uint32_t>(tables_len);
  h.head_ends_width = static_cast<std::uint8_t>(head_ends_.width());
  h.block_offsets_width = static_cast<std::uint8_t>(block_offsets_.width());
  h.shift = static_cast<std::uint8_t>(head_ends_.shift());
  h.micro_width = static_cast<std::uint8_t>(micro_width_);
  h.micro = static_cast<std::uint16_t>(micro_);
  h.blocks_per_shard = static_cast<std::uint16_t>(blocks_per_shard_);
  h.codes_len = static_cast<std::uint32_t>(codes_len);
  h.head_prefix = static_cast<std::uint16_t>(head_prefix_);
  h.phrases_len = static_cast<std::uint32_t>(phrases_len);
  return h;
}

std::uint64_t DictIndex::serialized_len() const {
  std::uint64_t total = kHeaderBytes;
  for (std::uint64_t len : section_lens(fields())) total += len;
  return total;
}

void DictIndex::write_to(const std::function<void(std::span<const std::uint8_t>)>& sink) const {
  const SmallSections small = small_sections(tables_, header_codes_, phrases_);
  BySection<std::span<const std::uint8_t>> bytes;
  for_each_section([&](Section s) {
    std::span<const std::uint8_t>& b = bytes[at(s)];
    switch (s) {
      case Section::Heads: b = heads_.bytes(); break;
      case Section::HeadEndsSamples: b = head_ends_.samples().bytes(); break;
      case Section::HeadEndsDeltas: b = head_ends_.deltas().bytes(); break;
      case Section::BlockData: b = block_data_.bytes(); break;
      case Section::Tables: b = small.tables; break;
      case Section::HeaderCodes: b = small.codes; break;
      case Section::Phrases: b = small.phrases; break;
      case Section::BlockOffsetsSamples: b = block_offsets_.samples().bytes(); break;
      case Section::BlockOffsetsDeltas: b = block_offsets_.deltas().bytes(); break;
      case Section::MicroOffsets: b = micro_offsets_.bytes(); break;
    }
  });
  Header h = fields();
  blob::BlockHasher hasher;
  for (const auto& b : bytes) hasher.update(b);
  h.payload = hasher.finish();
  sink(h.write());
  for (const auto& b : bytes) sink(b);
}

PackedOffsets PackedOffsets::of(std::span<const std::uint64_t> values) {
  std::uint64_t spread = 0;
  for (std::uint64_t i = 0; i < values.size(); ++i)
    spread = std::max(spread, values[i] - values[(i >> offsets::kShift) << offsets::kShift]);
  const unsigned width = paircode::bitlen(spread);
  return {offsets::pack(values, width), width};
}

Lead Lead::of(std::uint64_t keys, std::uint64_t block, std::uint64_t micro,
              std::vector<std::uint8_t> heads, std::span<const std::uint64_t> ends) {
  Lead lead;
  lead.keys = keys;
  lead.block = block;
  lead.micro = micro;
  lead.micro_per_block = ceil_div(block, micro);
  lead.blocks_per_shard = blocks_per_shard_for(block);
  if (!ends.empty()) {
    const std::span<const std::uint8_t> all(heads);
    const std::uint64_t last = ends.size() > 1 ? ends[ends.size() - 2] : 0;
    lead.head_prefix = common_head(all.first(ends.front()), all.subspan(last, ends.back() - last));
  }
  lead.heads = std::move(heads);
  lead.head_ends = PackedOffsets::of(ends);
  return lead;
}

namespace {

// The sections after the block data, made from what the shards wrote.
struct Tail {
  SmallSections small;
  std::uint64_t data_len = 0;
  PackedOffsets block_offsets;
  std::vector<std::uint8_t> micro_offsets;
  unsigned micro_width = 0;

  static Tail of(Written&& written, const Lead& lead, const phrase::Dict& phrases) {
    Tail t;
    bool phrased = false;
    for (const Codec& c : written.codecs) phrased = phrased || c.kind() == Codec::Kind::Phrased;
    t.small = small_sections(written.codecs, written.header_codes,
                             phrased ? phrases : phrase::Dict());
    t.data_len = written.data_len;
    const auto& bo = written.block_offsets;
    t.block_offsets = PackedOffsets::of(bo);
    if (lead.micro_per_block > 1) {
      // Run starts count from their block's start.
      auto& mo = written.micro_offsets;
      std::uint64_t largest = 0;
      for (std::uint64_t k = 0; k < mo.size(); ++k) {
        mo[k] -= bo[k / lead.micro_per_block];
        largest = std::max(largest, mo[k]);
      }
      t.micro_width = paircode::bitlen(largest);
      t.micro_offsets = offsets::packed_pack(mo, t.micro_width);
    }
    return t;
  }
};

}  // namespace

Header write_blob(const Sink& out, const Lead& lead, const phrase::Dict& phrases,
                  const std::function<Written(const Sink& emit)>& encode) {
  blob::BlockHasher hasher;
  const Sink put = [&](std::span<const std::uint8_t> b) {
    out(b);  // an error leaves before anything is hashed
    hasher.update(b);
  };
  std::optional<Tail> tail;
  for_each_section([&](Section s) {
    check_invariant(tail.has_value() == (s > Section::BlockData), "the tail follows the blocks");
    switch (s) {
      case Section::Heads: put(lead.heads); break;
      case Section::HeadEndsSamples: put(lead.head_ends.packed.samples); break;
      case Section::HeadEndsDeltas: put(lead.head_ends.packed.deltas); break;
      case Section::BlockData: tail = Tail::of(encode(put), lead, phrases); break;
      case Section::Tables: put(tail->small.tables); break;
      case Section::HeaderCodes: put(tail->small.codes); break;
      case Section::Phrases: put(tail->small.phrases); break;
      case Section::BlockOffsetsSamples: put(tail->block_offsets.packed.samples); break;
      case Section::BlockOffsetsDeltas: put(tail->block_offsets.packed.deltas); break;
      case Section::MicroOffsets: put(tail->micro_offsets); break;
    }
  });
  Header h;
  h.n = lead.keys;
  h.block = static_cast<std::uint32_t>(lead.block);
  h.heads_len = lead.heads.size();
  h.data_len = tail->data_len;
  h.tables_len = static_cast<std::uint32_t>(tail->small.tables.size());
  h.payload = hasher.finish();
  h.head_ends_width = static_cast<std::uint8_t>(lead.head_ends.width);
  h.block_offsets_width = static_cast<std::uint8_t>(tail->block_offsets.width);
  h.shift = static_cast<std::uint8_t>(offsets::kShift);
  h.micro_width = static_cast<std::uint8_t>(tail->micro_width);
  h.micro = static_cast<std::uint16_t>(lead.micro);
  h.blocks_per_shard = static_cast<std::uint16_t>(lead.blocks_per_shard);
  h.codes_len = static_cast<std::uint32_t>(tail->small.codes.size());
  h.head_prefix = static_cast<std::uint16_t>(lead.head_prefix);
  h.phrases_len = static_cast<std::uint32_t>(tail->small.phrases.size());
  return h;
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
  const BySection<std::uint64_t> lens = section_lens(fields());
  for_each_section([&](Section section) {
    std::uint64_t* row = nullptr;
    switch (section) {
      case Section::Heads: row = &s.heads; break;
      case Section::HeadEndsSamples:
      case Section::HeadEndsDeltas: row = &s.head_ends; break;
      case Section::BlockData: break;  // split by the run walks below
      case Section::Tables: row = &s.tables; break;
      case Section::HeaderCodes: row = &s.header_codes; break;
      case Section::Phrases: row = &s.phrases; break;
      case Section::BlockOffsetsSamples:
      case Section::BlockOffsetsDeltas: row = &s.block_offsets; break;
      case Section::MicroOffsets: row = &s.micro_offsets; break;
    }
    if (row) *row += lens[at(section)];
  });
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
