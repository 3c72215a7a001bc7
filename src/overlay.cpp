// The overlay's additions and tombstones, the reader's section checks and the rebuilds of the
// bases. The blob layout is drawn in overlay.hpp.
#include "overlay.hpp"

#include <algorithm>
#include <cstring>

namespace quenlith::overlay {

namespace {

std::uint64_t key_hash(std::string_view key) noexcept {
  return blob::hash_block(bytes::as_bytes(key));
}

// The map starts at this many slots and doubles when it would pass 3/4 full: linear probing
// stays short at that load.
constexpr std::size_t kMinSlots = 16;

// Reservations made from counts read in a blob stop here; past it the arrays grow as additions
// are pushed, so a crafted count cannot make the loader allocate more than the bytes justify.
constexpr std::uint64_t kMaxReserve = 65536;

}  // namespace

// ---- Additions ---------------------------------------------------------------------------------

Additions::Additions() = default;

void Additions::set_limits(const Limits& limits) noexcept {
  const Limits d;
  limits_.additions = std::min(limits.additions, d.additions);
  limits_.offset = std::min(limits.offset, d.offset);
  limits_.key_len = std::min(limits.key_len, d.key_len);
}

void Additions::reserve(std::uint64_t bytes, std::uint64_t count) {
  // `bytes` is a region of a blob held in memory, so it is already backed by memory.
  bytes_.reserve(bytes);
  const std::uint64_t c = std::min(count, kMaxReserve);
  offsets_.reserve(c);
  if (c > 0) grow(std::bit_ceil(std::max<std::size_t>(kMinSlots, c + c / 2 + 1)));
}

const char* Additions::limit_refusal(std::uint64_t key_len) const noexcept {
  // The count after the push must stay within the limit: an index equal to u32::MAX would not
  // fit the map's slot (where it marks a free slot) and would pass the documented bound.
  if (count() >= limits_.additions) return "an Overlay holds at most u32::MAX additions";
  if (bytes_.size() > limits_.offset) return "an Overlay holds at most 4 GiB of added keys";
  if (key_len > limits_.key_len) return "an added key is at most 4 GiB long";
  return nullptr;
}

void Additions::push(std::string_view key) {
  if (const char* refusal = limit_refusal(key.size())) panic(refusal);
  const auto index = static_cast<std::uint32_t>(count());
  const auto offset = static_cast<std::uint32_t>(bytes_.size());
  const std::uint64_t h = key_hash(key);
  if ((used_ + 1) * 4 > slots_.size() * 3)
    grow(std::max<std::size_t>(kMinSlots, slots_.size() * 2));
  offsets_.push_back(offset);
  bytes::put_u32(bytes_, static_cast<std::uint32_t>(key.size()));
  bytes::put_bytes(bytes_, bytes::as_bytes(key));
  if (!insert(h, index, offset)) spill_.push_back(Spill{h, index, offset});
}

std::string_view Additions::get(std::uint64_t i) const {
  check_invariant(i < count(), "an addition index is below the number of additions");
  const std::uint32_t at = offsets_[i];
  const std::uint32_t len = bytes::load_u32(bytes_.data() + at);
  const std::span<const std::uint8_t> key(bytes_.data() + at + 4, len);
  check_invariant(bytes::is_utf8(key), "every overlay addition was UTF-8 when it was pushed");
  return bytes::as_chars(key);
}

bool Additions::stored_equals(std::uint32_t offset, std::string_view key) const noexcept {
  const std::uint8_t* p = bytes_.data() + offset;
  return bytes::load_u32(p) == key.size() &&
         (key.empty() || std::memcmp(p + 4, key.data(), key.size()) == 0);
}

const Additions::Slot* Additions::lookup(std::uint64_t hash) const noexcept {
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = PreHashed{}(hash)&mask;; i = (i + 1) & mask) {
    const Slot& s = slots_[i];
    if (s.index == kEmpty) return nullptr;
    if (s.hash == hash) return &s;
  }
}

bool Additions::insert(std::uint64_t hash, std::uint32_t index, std::uint32_t offset) {
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = PreHashed{}(hash)&mask;; i = (i + 1) & mask) {
    Slot& s = slots_[i];
    if (s.index == kEmpty) {
      s = Slot{hash, index, offset};
      ++used_;
      return true;
    }
    if (s.hash == hash) return false;
  }
}

void Additions::grow(std::size_t capacity) {
  if (capacity <= slots_.size()) return;
  std::vector<Slot> old(capacity, Slot{0, kEmpty, 0});
  old.swap(slots_);
  used_ = 0;
  for (const Slot& s : old)
    if (s.index != kEmpty) insert(s.hash, s.index, s.offset);
}

std::optional<std::uint32_t> Additions::find(std::string_view key) const noexcept {
  if (used_ == 0) return std::nullopt;
  const std::uint64_t h = key_hash(key);
  const Slot* s = lookup(h);
  if (!s) return std::nullopt;  // the spill list holds only hashes the map holds
  if (stored_equals(s->offset, key)) return s->index;
  for (const Spill& e : spill_)
    if (e.hash == h && stored_equals(e.offset, key)) return e.index;
  return std::nullopt;
}

// ---- Tombstones --------------------------------------------------------------------------------

Tombstones Tombstones::from_le_bytes(std::span<const std::uint8_t> bytes) {
  Tombstones t;
  t.words_.resize(bytes.size() / 8);
  for (std::size_t i = 0; i < t.words_.size(); ++i)
    t.words_[i] = bytes::load_u64(bytes.data() + 8 * i);
  return t;
}

bool Tombstones::set(std::uint64_t id) {
  const std::uint64_t w = id / 64;
  const std::uint64_t bit = std::uint64_t{1} << (id % 64);
  if (w >= words_.size()) words_.resize(w + 1, 0);
  if (words_[w] & bit) return false;
  words_[w] |= bit;
  return true;
}

void Tombstones::clear(std::uint64_t id) noexcept {
  const std::uint64_t w = id / 64;
  if (w < words_.size()) words_[w] &= ~(std::uint64_t{1} << (id % 64));
}

std::uint64_t Tombstones::count() const noexcept {
  std::uint64_t c = 0;
  for (const std::uint64_t w : words_) c += static_cast<std::uint64_t>(std::popcount(w));
  return c;
}

bool Tombstones::within(std::uint64_t id_space) const noexcept {
  const std::uint64_t w = id_space / 64;
  for (std::uint64_t i = w + 1; i < words_.size(); ++i)
    if (words_[i] != 0) return false;
  if (w < words_.size()) {
    const std::uint64_t below = (std::uint64_t{1} << (id_space % 64)) - 1;
    if ((words_[w] & ~below) != 0) return false;
  }
  return true;
}

// ---- Writing -----------------------------------------------------------------------------------

HeaderV2 HeaderV2::parse(std::span<const std::uint8_t> bytes) {
  bytes::Cursor c(bytes);
  c.skip(4, kBadMagic);
  HeaderV2 h;
  h.tag = c.u8(kBadMagic);
  h.base_len = c.u64(kBadMagic);
  h.additions = c.u64(kBadMagic);
  h.addition_bytes = c.u64(kBadMagic);
  h.tombstone_words = c.u64(kBadMagic);
  h.payload = c.u64(kBadMagic);
  h.check = c.u32(kBadMagic);
  return h;
}

std::array<std::uint8_t, HeaderV2::kBytes> HeaderV2::write() const {
  std::vector<std::uint8_t> h = blob::begin_header("OVL2", kBytes);
  bytes::put_u8(h, tag);
  bytes::put_u64(h, base_len);
  bytes::put_u64(h, additions);
  bytes::put_u64(h, addition_bytes);
  bytes::put_u64(h, tombstone_words);
  bytes::put_u64(h, payload);
  return blob::seal_header<kBytes>(h);
}

HeaderV1 HeaderV1::parse(std::span<const std::uint8_t> bytes) {
  bytes::Cursor c(bytes);
  c.skip(4, kBadMagic);
  HeaderV1 h;
  h.tag = c.u8(kBadMagic);
  h.base_len = c.u64(kBadMagic);
  h.additions = c.u64(kBadMagic);
  return h;
}

std::array<std::uint8_t, kHeaderV2> header_v2(BaseTag tag, std::uint64_t base_len, std::uint64_t n,
                                              std::uint64_t a, std::uint64_t t,
                                              std::uint64_t payload) {
  HeaderV2 h;
  h.tag = static_cast<std::uint8_t>(tag);
  h.base_len = base_len;
  h.additions = n;
  h.addition_bytes = a;
  h.tombstone_words = t;
  h.payload = payload;
  return h.write();
}

// ---- Reading -----------------------------------------------------------------------------------

namespace detail {

std::string_view next_addition(bytes::Cursor& cur) {
  const std::uint32_t len = cur.u32(kAdditionsTruncated);
  const auto key = cur.take(len, kAdditionRange);
  if (!bytes::is_utf8(key)) throw IndexError::format(kAdditionUtf8);
  return bytes::as_chars(key);
}

}  // namespace detail

namespace {

// T words of 8 bytes each must be countable in 64 bits.
constexpr std::uint64_t kMaxWords = std::uint64_t{1} << 61;

}  // namespace

Sections v2_sections(std::span<const std::uint8_t> blob, const HeaderV2& h,
                     std::uint64_t base_end) {
  const std::uint64_t len = blob.size();
  const auto additions_end = bytes::checked_add(base_end, h.addition_bytes);
  if (!additions_end || *additions_end > len) throw IndexError::format(kAdditionRegion);
  const std::uint64_t t = h.tombstone_words;
  if (t >= kMaxWords) throw IndexError::format(kTombstoneCount);
  if (len - *additions_end != 8 * t) throw IndexError::format(kTombstoneLength);
  if (blob::hash_block(blob.subspan(kHeaderV2)) != h.payload)
    throw IndexError::format(kPayloadChecksum);
  return Sections{blob.subspan(kHeaderV2, base_end - kHeaderV2),
                  blob.subspan(base_end, *additions_end - base_end), blob.subspan(*additions_end),
                  h.additions};
}

Sections v1_sections(std::span<const std::uint8_t> blob, std::uint64_t base_end, std::uint64_t n) {
  bytes::Cursor cur(blob, base_end);
  for (std::uint64_t i = 0; i < n; ++i) detail::next_addition(cur);
  const std::size_t additions_end = cur.pos();
  const std::uint64_t t = cur.u64(kTombstonesTruncated);
  if (t >= kMaxWords) throw IndexError::format(kTombstoneCount);
  if (cur.remaining() != 8 * t) throw IndexError::format(kTombstoneLength);
  return Sections{blob.subspan(kHeaderV1, base_end - kHeaderV1),
                  blob.subspan(base_end, additions_end - base_end), blob.subspan(cur.pos()), n};
}

Sections split_sections(std::span<const std::uint8_t> blob, BaseTag expected) {
  const std::uint64_t len = blob.size();
  if (len < 4) throw IndexError::format(kBadMagic);
  const bool v1 = blob::has_magic(blob, "OVL1");
  const std::size_t header = v1 ? kHeaderV1 : kHeaderV2;
  if (len < header) throw IndexError::format(kBadMagic);
  if (!v1 && !blob::has_magic(blob, "OVL2")) throw IndexError::format(kBadMagic);
  // Both headers store the tag and B first; they are checked alike once the header is framed.
  const auto base_end = [&](std::uint8_t tag, std::uint64_t base_len) {
    if (tag != static_cast<std::uint8_t>(expected)) throw IndexError::format(kOtherBase);
    const auto end = bytes::checked_add(header, base_len);
    if (!end || *end > len) throw IndexError::format(kBaseRange);
    return *end;
  };
  if (v1) {
    const HeaderV1 h = HeaderV1::parse(blob);
    return v1_sections(blob, base_end(h.tag, h.base_len), h.additions);
  }
  const HeaderV2 h = HeaderV2::parse(blob);
  if (blob::header_check(blob.first(HeaderV2::kCheckAt)) != h.check)
    throw IndexError::format(kHeaderChecksum);
  return v2_sections(blob, h, base_end(h.tag, h.base_len));
}

AnyOverlay load_blob(std::span<const std::uint8_t> blob, BaseTag tag, bool untrusted) {
  switch (tag) {
    case BaseTag::StringIndex:
      return load_blob<StringIndex>(blob, untrusted);
    case BaseTag::PerfectHash:
      return load_blob<PerfectHashIndex>(blob, untrusted);
    case BaseTag::CompactHash:
      return load_blob<CompactHashIndex>(blob, untrusted);
  }
  panic("a base tag names one of the three bases");
}

bool BaseBlob<StringIndex>::holds(const StringIndex& b, std::string_view key) {
  try {
    return b.map().get(key).has_value();
  } catch (const fst::Error& e) {
    throw IndexError::fst(e.what());
  }
}

// ---- Rebuilds ----------------------------------------------------------------------------------

std::shared_ptr<const StringIndex> rebuild_like(const std::shared_ptr<const StringIndex>&,
                                                std::span<const std::string_view> keys) {
  return std::make_shared<const StringIndex>(StringIndex::build(keys));
}

std::shared_ptr<const PerfectHashIndex> rebuild_like(
    const std::shared_ptr<const PerfectHashIndex>& old, std::span<const std::string_view> keys) {
  return std::make_shared<const PerfectHashIndex>(
      PerfectHashIndex::build_with(keys, old->has_fingerprints()));
}

}  // namespace quenlith::overlay
