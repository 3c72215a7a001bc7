// The overlay record, its blob's writer and reader, and compaction, defined for the three shared
// base handles (instantiated at the end of this file).
//
// The "OVL2" blob (little-endian; B base region length, N additions, A additions bytes, T
// tombstone words):
//
//   offset        size    field
//   0             4       magic "OVL2"
//   4             1       base tag: 1 StringIndex ("BIX4"), 2 PerfectHashIndex ("BMP8"),
//                         3 CompactHashIndex ("BCH8")
//   5             8       B, u64
//   13            8       N, u64
//   21            8       A, u64
//   29            8       T, u64
//   37            8       payload hash, u64: hash_block over bytes [49, end)
//   45            4       header check, u32, over bytes [0, 45)
//   49            B       base region: the base's own blob, byte for byte
//   49 + B        A       additions in order, each a u32 length then that many UTF-8 bytes
//   49 + B + A    8 * T   tombstone words, word 0 first; bit x mod 64 of word x / 64 retires id x
//
// The blob ends exactly after the last tombstone word. Written: "OVL2". Also read: "OVL1", with a
// 21-byte header (magic, tag @4, B @5, N @13), no header check and no payload hash, the base
// region at 21, the N additions after it, then T as a u64 and the T tombstone words.
#include "overlay.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "blob.hpp"
#include "bytes.hpp"
#include "error.hpp"
#include "fileio.hpp"

namespace quenlith::overlay {

namespace {

using SI = std::shared_ptr<const StringIndex>;
using PH = std::shared_ptr<const PerfectHashIndex>;
using CH = std::shared_ptr<const CompactHashIndex>;

// The key hash of the additions map: its 64 bits are already mixed by the SplitMix64 finaliser of
// `hash_block`, so the map indexes its slots with the hash's low bits directly.
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
  if (!insert(h, index, offset)) spill_.push_back(Slot{h, index, offset});
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
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    const Slot& s = slots_[i];
    if (s.index == kEmpty) return nullptr;
    if (s.hash == hash) return &s;
  }
}

bool Additions::insert(std::uint64_t hash, std::uint32_t index, std::uint32_t offset) {
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
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
  for (const Slot& e : spill_)
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

// ---- Headers -----------------------------------------------------------------------------------

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

// ---- Bases -------------------------------------------------------------------------------------

namespace {

// What the overlay asks of each base kind beyond its lookup: its tag, its blob's length, writing
// its blob, loading one, whether a loaded base holds a key (the loader's duplicate check), the
// key of an id (bases that store their keys) and a fresh base of the same kind and settings built
// from keys (compaction).
template <class T>
struct BaseBlob;

template <>
struct BaseBlob<StringIndex> {
  static constexpr BaseTag kTag = BaseTag::StringIndex;
  static std::uint64_t serialized_len(const StringIndex& b) { return b.serialized_len(); }
  template <class W>
  static void write(const StringIndex& b, W& out) {
    out.write_all(std::span<const std::uint8_t>(
        reinterpret_cast<const std::uint8_t*>(string_index::kMagic), string_index::kMagicBytes));
    out.write_all(b.transducer_bytes());
  }
  // Bytes from an untrusted source are validated as a graph first; otherwise the verified
  // trusted load (checksum and rank check).
  static StringIndex load(std::span<const std::uint8_t> bytes, bool untrusted) {
    return untrusted ? StringIndex::from_untrusted_bytes(bytes) : StringIndex::from_bytes(bytes);
  }
  // A node that does not decode is `IndexError::Fst` with the transducer library's text, the
  // error the StringIndex's own loaders and its dump give, instead of the panic of a query.
  static bool holds(const StringIndex& b, std::string_view key) {
    try {
      return b.map().get(key).has_value();
    } catch (const fst::Error& e) {
      throw IndexError::fst(e.what());
    }
  }
  // The rank walk; nullopt for a key that is not UTF-8. Throws the query's `Panic`.
  static std::optional<std::string> key(const StringIndex& b, std::uint64_t id) {
    return b.key(id);
  }
  // Sorts the keys afresh on the calling thread (repeats dropped). Throws `IndexError::Fst`.
  static SI rebuild(const StringIndex&, std::span<const std::string_view> keys) {
    return std::make_shared<const StringIndex>(StringIndex::build(keys));
  }
};

template <class W>
void write_hash_parts(const PerfectHashIndex::Parts& parts, W& out) {
  out.write_all(parts.header);
  out.write_all(parts.mph);
  out.write_all(parts.middle);
  out.write_all(parts.side);
}

template <>
struct BaseBlob<PerfectHashIndex> {
  static constexpr BaseTag kTag = BaseTag::PerfectHash;
  static std::uint64_t serialized_len(const PerfectHashIndex& b) { return b.serialized_len(); }
  template <class W>
  static void write(const PerfectHashIndex& b, W& out) {
    write_hash_parts(b.serialised_parts(), out);
  }
  // The loader checks everything whatever `untrusted` says.
  static PerfectHashIndex load(std::span<const std::uint8_t> bytes, bool) {
    return PerfectHashIndex::from_bytes(bytes);
  }
  static bool holds(const PerfectHashIndex& b, std::string_view key) {
    return b.id(key).has_value();
  }
  static std::optional<std::string> key(const PerfectHashIndex& b, std::uint64_t id) {
    if (id > 0xFFFFFFFFULL) return std::nullopt;
    const auto k = b.key(static_cast<std::uint32_t>(id));
    return k ? std::optional<std::string>(std::string(*k)) : std::nullopt;
  }
  // Builds on the online processors (repeats dropped), keeping fingerprints when `old` keeps
  // them. Throws the build's `IndexError`.
  static PH rebuild(const PerfectHashIndex& old, std::span<const std::string_view> keys) {
    return std::make_shared<const PerfectHashIndex>(
        PerfectHashIndex::build_with(keys, old.has_fingerprints()));
  }
};

template <>
struct BaseBlob<CompactHashIndex> {
  static constexpr BaseTag kTag = BaseTag::CompactHash;
  static std::uint64_t serialized_len(const CompactHashIndex& b) { return b.serialized_len(); }
  template <class W>
  static void write(const CompactHashIndex& b, W& out) {
    write_hash_parts(b.serialised_parts(), out);
  }
  static CompactHashIndex load(std::span<const std::uint8_t> bytes, bool) {
    return CompactHashIndex::from_bytes(bytes);
  }
  // Its lookup is probabilistic: an addition equal to a base key is not refused.
  static bool holds(const CompactHashIndex&, std::string_view) { return false; }
};

}  // namespace

std::optional<std::uint64_t> base_id(const SI& b, std::string_view key) { return b->id(key); }

std::optional<std::uint64_t> base_id(const PH& b, std::string_view key) {
  const auto id = b->id(key);
  return id ? std::optional<std::uint64_t>(*id) : std::nullopt;
}

std::optional<std::uint64_t> base_id(const CH& b, std::string_view key) {
  const compact_hash::Match m = b->id_with_side(key);
  return m.matched ? std::optional<std::uint64_t>(m.id) : std::nullopt;
}

// ---- The overlay record ------------------------------------------------------------------------

template <OverlayBase H>
Overlay<H>::Overlay(H base) : base_(std::move(base)), n_b_(base_->len()), live_(n_b_) {}

template <OverlayBase H>
Overlay<H>::Overlay(H base, Additions added, Tombstones tomb, std::uint64_t live)
    : base_(std::move(base)),
      n_b_(base_->len()),
      added_(std::move(added)),
      tomb_(std::move(tomb)),
      live_(live) {}

template <OverlayBase H>
std::optional<std::uint64_t> Overlay<H>::id(std::string_view key) const {
  // The base answers first, inline; the additions only when it does not.
  if (const auto b = base_id(base_, key); b && *b < n_b_) [[likely]]
    return tomb_.is_set(*b) ? std::nullopt : b;
  return added_id(key);
}

template <OverlayBase H>
std::optional<std::uint64_t> Overlay<H>::find(std::string_view key) const {
  if (const auto b = base_id(base_, key); b && *b < n_b_) return b;
  if (const auto i = added_.find(key)) return n_b_ + *i;
  return std::nullopt;
}

template <OverlayBase H>
[[gnu::noinline]] std::optional<std::uint64_t> Overlay<H>::added_id(std::string_view key) const {
  const auto i = added_.find(key);
  if (!i || tomb_.is_set(n_b_ + *i)) return std::nullopt;
  return n_b_ + *i;
}

template <OverlayBase H>
std::uint64_t Overlay<H>::add(std::string_view key) {
  if (const auto x = find(key)) {
    if (tomb_.is_set(*x)) {
      tomb_.clear(*x);
      ++live_;
    }
    return *x;
  }
  const std::uint64_t x = id_space();
  added_.push(key);
  ++live_;
  return x;
}

template <OverlayBase H>
bool Overlay<H>::remove(std::string_view key) {
  const auto x = find(key);
  if (!x || tomb_.is_set(*x)) return false;
  return retire_id(*x);
}

template <OverlayBase H>
bool Overlay<H>::retire_id(std::uint64_t id) {
  if (id >= id_space()) return false;
  if (!tomb_.set(id)) return false;
  --live_;
  return true;
}

template <OverlayBase H>
std::optional<std::string> Overlay<H>::key(std::uint64_t id) const requires KeyedBase<H> {
  if (tomb_.is_set(id)) return std::nullopt;
  if (id < n_b_) return BaseBlob<IndexOf<H>>::key(*base_, id);
  if (id - n_b_ < added_.count()) return std::string(added_.get(id - n_b_));
  return std::nullopt;
}

// ---- Writing -----------------------------------------------------------------------------------

namespace {

// A writer adapter that counts and hashes every byte the inner writer accepts, so that the
// payload hash is ready when the last section is written.
template <class W>
class Counting {
 public:
  explicit Counting(W& inner) : inner_(inner) {}
  // Writes all of `bytes`; the inner writer's error is returned as is (its writes retry
  // interrupted calls and fail on a write that accepts nothing).
  void write_all(std::span<const std::uint8_t> bytes) {
    inner_.write_all(bytes);
    hasher_.update(bytes);
    count_ += bytes.size();
  }
  std::uint64_t count() const noexcept { return count_; }
  std::uint64_t finish() const noexcept { return hasher_.finish(); }

 private:
  W& inner_;
  blob::BlockHasher hasher_;
  std::uint64_t count_ = 0;
};

// A writer appending to a byte vector.
struct VecWriter {
  std::vector<std::uint8_t>& out;
  void write_all(std::span<const std::uint8_t> bytes) { bytes::put_bytes(out, bytes); }
};

// Writes the base region, the additions and the tombstone words to `out` (which already holds
// the header's 49 bytes of room) and returns the finished header. Throws the base serialiser's
// `IndexError` or the writer's `IndexError::Io`.
template <class H, class W>
std::array<std::uint8_t, kHeaderV2> write_sections(const Overlay<H>& ov, W& out) {
  using Blob = BaseBlob<IndexOf<H>>;
  Counting<W> w(out);
  Blob::write(*ov.base(), w);
  const std::uint64_t base_len = w.count();
  w.write_all(ov.additions().bytes());
  const auto words = ov.tombstones().words();
  std::array<std::uint8_t, 8 * 64> chunk;  // words go out 64 at a time
  for (std::size_t i = 0; i < words.size(); i += 64) {
    const std::size_t k = std::min<std::size_t>(64, words.size() - i);
    for (std::size_t j = 0; j < k; ++j) bytes::store_u64(chunk.data() + 8 * j, words[i + j]);
    w.write_all(std::span(chunk).first(8 * k));
  }
  return header_v2(Blob::kTag, base_len, ov.additions().count(), ov.additions().bytes().size(),
                   words.size(), w.finish());
}

}  // namespace

template <OverlayBase H>
std::uint64_t serialized_len(const Overlay<H>& ov) {
  return kHeaderV2 + BaseBlob<IndexOf<H>>::serialized_len(*ov.base()) +
         ov.additions().bytes().size() + 8 * ov.tombstones().words().size();
}

template <OverlayBase H>
std::vector<std::uint8_t> to_bytes(const Overlay<H>& ov) {
  std::vector<std::uint8_t> out;
  out.reserve(serialized_len(ov));
  out.resize(kHeaderV2);
  VecWriter w{out};
  const auto header = write_sections(ov, w);
  std::copy(header.begin(), header.end(), out.begin());
  return out;
}

template <OverlayBase H>
void save(const Overlay<H>& ov, const std::filesystem::path& path) {
  blob::write_atomically_with(path, [&](fileio::File& file) {
    fileio::BufWriter w(file, 8192);
    const std::array<std::uint8_t, kHeaderV2> zeros{};
    w.write_all(zeros);
    const auto header = write_sections(ov, w);
    w.flush();
    w.seek(0);
    w.write_all(header);
    w.flush();
  });
}

// ---- Reading -----------------------------------------------------------------------------------

namespace {

// A blob split into its sections, before the base is loaded.
struct Sections {
  std::span<const std::uint8_t> base;
  std::span<const std::uint8_t> additions;
  std::span<const std::uint8_t> tombstones;
  std::uint64_t n = 0;
};

// One step of the additions walk: the key at `cur`, framing and UTF-8 checked.
std::string_view next_addition(bytes::Cursor& cur) {
  const std::uint32_t len = cur.u32(kAdditionsTruncated);
  const auto key = cur.take(len, kAdditionRange);
  if (!bytes::is_utf8(key)) throw IndexError::format(kAdditionUtf8);
  return bytes::as_chars(key);
}

// T words of 8 bytes each must be countable in 64 bits.
constexpr std::uint64_t kMaxWords = std::uint64_t{1} << 61;

// "OVL2": the sections after a base ending at `base_end`, from the blob's header `h`.
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

// "OVL1": the sections after a base ending at `base_end`, walking the additions to find T.
Sections v1_sections(std::span<const std::uint8_t> blob, std::uint64_t base_end, std::uint64_t n) {
  bytes::Cursor cur(blob, base_end);
  for (std::uint64_t i = 0; i < n; ++i) next_addition(cur);
  const std::size_t additions_end = cur.pos();
  const std::uint64_t t = cur.u64(kTombstonesTruncated);
  if (t >= kMaxWords) throw IndexError::format(kTombstoneCount);
  if (cur.remaining() != 8 * t) throw IndexError::format(kTombstoneLength);
  return Sections{blob.subspan(kHeaderV1, base_end - kHeaderV1),
                  blob.subspan(base_end, additions_end - base_end), blob.subspan(cur.pos()), n};
}

// The checks of a blob up to the base loader, in the order `load_blob` states. Throws
// `IndexError::Format`.
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

}  // namespace

namespace detail {

struct Loader {
  template <class T>
  static Overlay<std::shared_ptr<const T>> assemble(std::shared_ptr<const T> base,
                                                    const Sections& s) {
    Additions added;
    added.reserve(s.additions.size(), s.n);
    bytes::Cursor cur(s.additions);
    for (std::uint64_t i = 0; i < s.n; ++i) {
      const std::string_view key = next_addition(cur);
      if (BaseBlob<T>::holds(*base, key)) throw IndexError::format(kDuplicatesBase);
      if (added.find(key)) throw IndexError::format(kDuplicateAddition);
      if (added.limit_refusal(key.size())) throw IndexError::format(kTooManyAdditions);
      added.push(key);
    }
    if (cur.remaining() != 0) throw IndexError::format(kRegionLonger);
    Tombstones tomb = Tombstones::from_le_bytes(s.tombstones);
    const std::uint64_t n_b = base->len();
    // An id space past 2^64 cannot be issued; every bit then lies inside it.
    const auto id_space = bytes::checked_add(n_b, s.n);
    if (id_space && !tomb.within(*id_space)) throw IndexError::format(kTombstoneOutside);
    const std::uint64_t live = (id_space ? *id_space : ~std::uint64_t{0}) - tomb.count();
    return Overlay<std::shared_ptr<const T>>(std::move(base), std::move(added), std::move(tomb),
                                             live);
  }
};

}  // namespace detail

template <class T>
Overlay<std::shared_ptr<const T>> load_blob(std::span<const std::uint8_t> blob, bool untrusted) {
  const Sections s = split_sections(blob, BaseBlob<T>::kTag);
  return detail::Loader::assemble(std::make_shared<const T>(BaseBlob<T>::load(s.base, untrusted)),
                                  s);
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

// ---- Compaction --------------------------------------------------------------------------------

namespace {

// Calls f(id, key) for every live id in increasing id order. A live base id whose key the base
// cannot give back is `IndexError::Format` kKeyLost when `kStrict`, else skipped. A
// `StringIndex` base is read in one ordered stream over its transducer (its ids are the stream's
// positions) instead of one rank walk an id; should the stored values not follow the stream, it
// starts over by rank walks. Either way `f` may see an id again and takes the later call.
template <bool kStrict = true, KeyedBase H, class F>
void for_each_live_key(const Overlay<H>& ov, F&& f) {
  using T = IndexOf<H>;
  const T& b = *ov.base();
  const std::uint64_t n_b = ov.base_len();
  bool streamed = false;
  if constexpr (std::is_same_v<T, StringIndex>) {
    auto it = b.stream_after(std::nullopt);
    std::uint64_t x = 0;
    for (auto item = it.next_raw(); item && item->value == x; item = it.next_raw(), ++x) {
      if (ov.retired(x)) continue;
      if (bytes::is_utf8(item->key))
        f(x, bytes::as_chars(item->key));
      else if (kStrict)
        throw IndexError::format(kKeyLost);
    }
    streamed = x == n_b;
  }
  if constexpr (std::is_same_v<T, PerfectHashIndex>) {
    // The arena's own bytes, borrowed: no copy an id.
    for (std::uint64_t x = 0; x < n_b; ++x) {
      if (ov.retired(x)) continue;
      const auto k = x <= 0xFFFFFFFFULL ? b.key(static_cast<std::uint32_t>(x)) : std::nullopt;
      if (k)
        f(x, *k);
      else if (kStrict)
        throw IndexError::format(kKeyLost);
    }
  } else if (!streamed) {
    for (std::uint64_t x = 0; x < n_b; ++x) {
      if (ov.retired(x)) continue;
      const auto k = BaseBlob<T>::key(b, x);
      if (k)
        f(x, std::string_view(*k));
      else if (kStrict)
        throw IndexError::format(kKeyLost);
    }
  }
  const std::uint64_t a = ov.additions().count();
  for (std::uint64_t i = 0; i < a; ++i)
    if (!ov.retired(n_b + i)) f(n_b + i, ov.additions().get(i));
}

// The live keys in id order, as `for_each_live_key` finds them, copied back to back into one
// buffer: one copy a key and no allocation a key.
struct LiveKeys {
  std::string bytes;
  std::vector<std::string_view> keys;
};
template <KeyedBase H>
LiveKeys live_keys_strict(const Overlay<H>& ov) {
  LiveKeys out;
  std::vector<std::uint64_t> ends;
  ends.reserve(ov.len());
  std::uint64_t last = 0;
  for_each_live_key(ov, [&](std::uint64_t x, std::string_view k) {
    if (!ends.empty() && x <= last) {  // started over
      ends.clear();
      out.bytes.clear();
    }
    last = x;
    out.bytes.append(k);
    ends.push_back(out.bytes.size());
  });
  out.keys.reserve(ends.size());
  std::uint64_t start = 0;
  for (const std::uint64_t end : ends) {
    out.keys.emplace_back(out.bytes.data() + start, end - start);
    start = end;
  }
  return out;
}

// The base a compaction of `ov` builds: one of the same kind over the live keys.
template <OverlayKeys H>
H rebuilt_base(const Overlay<H>& ov) {
  const LiveKeys live = live_keys_strict(ov);
  return BaseBlob<IndexOf<H>>::rebuild(*ov.base(), live.keys);
}

}  // namespace

template <OverlayBase H>
std::vector<std::string> Overlay<H>::keys() const requires KeyedBase<H> {
  std::vector<std::string> out;
  out.reserve(live_);
  std::uint64_t last = 0;
  for_each_live_key<false>(*this, [&](std::uint64_t x, std::string_view k) {
    if (!out.empty() && x <= last) out.clear();  // started over
    last = x;
    out.emplace_back(k);
  });
  return out;
}

template <OverlayKeys H>
Overlay<H> compact(const Overlay<H>& ov) {
  return Overlay<H>(rebuilt_base(ov));
}

template <OverlayKeys H>
std::pair<Overlay<H>, std::vector<std::uint64_t>> compact_with_remap(const Overlay<H>& ov) {
  Overlay<H> fresh = compact(ov);
  const std::uint64_t space = ov.id_space();
  std::vector<std::uint64_t> remap(space, kRetired);
  for_each_live_key(ov, [&](std::uint64_t x, std::string_view k) {
    const auto y = fresh.id(k);
    check_invariant(y.has_value(), "the rebuilt base holds every key it was built from");
    remap[x] = *y;
  });
  return {std::move(fresh), std::move(remap)};
}

template <OverlayKeys H>
std::uint64_t compact_to_file(const Overlay<H>& ov, const std::filesystem::path& path) {
  const H fresh = rebuilt_base(ov);
  blob::write_atomically_with(path, [&](fileio::File& file) {
    fileio::BufWriter w(file, 8192);
    BaseBlob<IndexOf<H>>::write(*fresh, w);
    w.flush();
  });
  return fresh->len();
}

// ---- The three bases ---------------------------------------------------------------------------

// Members constrained to keyed bases are instantiated only for them.
template class Overlay<SI>;
template class Overlay<PH>;
template class Overlay<CH>;

template Overlay<SI> load_blob<StringIndex>(std::span<const std::uint8_t>, bool);
template Overlay<PH> load_blob<PerfectHashIndex>(std::span<const std::uint8_t>, bool);
template Overlay<CH> load_blob<CompactHashIndex>(std::span<const std::uint8_t>, bool);

template std::uint64_t serialized_len(const Overlay<SI>&);
template std::uint64_t serialized_len(const Overlay<PH>&);
template std::uint64_t serialized_len(const Overlay<CH>&);
template std::vector<std::uint8_t> to_bytes(const Overlay<SI>&);
template std::vector<std::uint8_t> to_bytes(const Overlay<PH>&);
template std::vector<std::uint8_t> to_bytes(const Overlay<CH>&);
template void save(const Overlay<SI>&, const std::filesystem::path&);
template void save(const Overlay<PH>&, const std::filesystem::path&);
template void save(const Overlay<CH>&, const std::filesystem::path&);

template Overlay<SI> compact(const Overlay<SI>&);
template Overlay<PH> compact(const Overlay<PH>&);
template std::pair<Overlay<SI>, std::vector<std::uint64_t>> compact_with_remap(const Overlay<SI>&);
template std::pair<Overlay<PH>, std::vector<std::uint64_t>> compact_with_remap(const Overlay<PH>&);
template std::uint64_t compact_to_file(const Overlay<SI>&, const std::filesystem::path&);
template std::uint64_t compact_to_file(const Overlay<PH>&, const std::filesystem::path&);

}  // namespace quenlith::overlay
