// `Overlay`: a mutable layer of added keys and retired ids over an immutable base index, its
// "OVL2" blob, and compaction into a fresh base.
//
// Id space. The base keeps its ids [0, n_b); addition i takes id n_b + i; the id space is n_b plus
// the number of additions. A removed key's id is retired by a tombstone bit and comes back
// unchanged when the key is added again: an id, once issued, is never issued again and never
// changes. Only compaction renumbers, by building a new base from the live keys.
//
// Bases: `StringIndex`, `PerfectHashIndex` and `CompactHashIndex`, held by a handle that is the
// index itself or a `std::shared_ptr<const Index>` (shared, never copied, never changed). What
// the overlay asks of a base is bound at compile time through overloads in this namespace:
//   `base_id(handle, key)`     the key's id in the base, or nullopt (`OverlayBase`: all bases;
//                              probabilistic over a `CompactHashIndex`);
//   `base_len(handle)`         the base's key count n_b;
//   `base_key(handle, id)`     the key of a base id (bases that store their keys);
//   `rebuild_like(ptr, keys)`  a fresh base of the same kind and settings built from `keys`
//                              (`OverlayKeys`: shared `StringIndex` and `PerfectHashIndex` only).
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
#pragma once

#include <array>
#include <bit>
#include <concepts>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "blob.hpp"
#include "bytes.hpp"
#include "compact_hash.hpp"
#include "error.hpp"
#include "fileio.hpp"
#include "perfect_hash.hpp"
#include "string_index.hpp"

namespace quenlith::overlay {

using compact_hash::CompactHashIndex;
using perfect_hash::PerfectHashIndex;
using string_index::StringIndex;

// The 49-byte "OVL2" header drawn above, with its one reader and one writer, used by the blob
// loader and writer and by header inspection.
struct HeaderV2 {
  static constexpr std::size_t kBytes = 49;
  // The check covers the header up to the check field itself.
  static constexpr std::size_t kCheckAt = 45;

  std::uint8_t tag = 0;  // as stored: a file may hold any value
  std::uint64_t base_len = 0;
  std::uint64_t additions = 0;
  std::uint64_t addition_bytes = 0;
  std::uint64_t tombstone_words = 0;
  std::uint64_t payload = 0;
  std::uint32_t check = 0;  // as stored; the reader compares it with the bytes' own check

  // The fields of the first `kBytes` of `bytes` (the magic and the check are the reader's to
  // test). Throws `IndexError::Format` "bad overlay magic or truncated header" for fewer bytes.
  static HeaderV2 parse(std::span<const std::uint8_t> bytes);
  // The stored header, magic "OVL2" and check included (`check` is not read).
  std::array<std::uint8_t, kBytes> write() const;
};
static_assert(HeaderV2::kCheckAt == 4 + 1 + 8 + 8 + 8 + 8 + 8 &&
              HeaderV2::kBytes == HeaderV2::kCheckAt + 4);

// The 21-byte "OVL1" header: magic, tag @4, B @5, N @13; no check, no payload hash. Read only.
struct HeaderV1 {
  static constexpr std::size_t kBytes = 21;

  std::uint8_t tag = 0;
  std::uint64_t base_len = 0;
  std::uint64_t additions = 0;

  // As `HeaderV2::parse`.
  static HeaderV1 parse(std::span<const std::uint8_t> bytes);
};
static_assert(HeaderV1::kBytes == 4 + 1 + 8 + 8);

inline constexpr std::size_t kHeaderV2 = HeaderV2::kBytes;
inline constexpr std::size_t kHeaderV1 = HeaderV1::kBytes;
inline constexpr std::size_t kCheckAt = HeaderV2::kCheckAt;

// The one-byte tag naming the base kind in a blob.
enum class BaseTag : std::uint8_t { StringIndex = 1, PerfectHash = 2, CompactHash = 3 };

// Messages of the blob reader, in the order of its checks.
inline constexpr const char* kBadMagic = "bad overlay magic or truncated header";
inline constexpr const char* kHeaderChecksum = "overlay header checksum mismatch";
inline constexpr const char* kOtherBase = "overlay blob was written over a different base index";
inline constexpr const char* kBaseRange = "overlay base blob out of range";
inline constexpr const char* kAdditionRegion = "overlay addition region out of range";
inline constexpr const char* kTombstoneCount = "overlay tombstone count out of range";
inline constexpr const char* kTombstoneLength = "overlay tombstone length mismatch";
inline constexpr const char* kPayloadChecksum = "overlay payload checksum mismatch";
inline constexpr const char* kAdditionsTruncated = "overlay additions truncated";
inline constexpr const char* kAdditionRange = "overlay addition out of range";
inline constexpr const char* kAdditionUtf8 = "overlay addition is not UTF-8";
inline constexpr const char* kDuplicatesBase = "overlay addition duplicates a base key";
inline constexpr const char* kDuplicateAddition = "duplicate key among overlay additions";
inline constexpr const char* kRegionLonger = "overlay addition region is longer than its additions";
inline constexpr const char* kTombstoneOutside = "overlay tombstone outside the id space";
inline constexpr const char* kTombstonesTruncated = "overlay tombstones truncated";
// A blob whose additions pass the limits of `push_added` (more than u32::MAX of them, or an
// offset past 4 GiB): refused rather than let the push panic on bytes from a file.
inline constexpr const char* kTooManyAdditions = "overlay additions exceed what an overlay holds";
// Compaction of an overlay whose base cannot give back the key of a live id (a stored key that
// is not UTF-8, in a base loaded without validation): the key would be lost.
inline constexpr const char* kKeyLost =
    "overlay: a live base id has no readable key, so compaction would lose it";

// The hard limits of `push_added`. The defaults are the record's own (u32 indexes and offsets);
// tests lower them to reach the limits without gigabytes of data.
struct Limits {
  // Additions held at most: the count never exceeds it.
  std::uint64_t additions = 0xFFFFFFFFULL;
  // The largest byte offset a new addition may start at.
  std::uint64_t offset = 0xFFFFFFFFULL;
  // The longest added key.
  std::uint64_t key_len = 0xFFFFFFFFULL;
};

// The hasher of the additions map: the identity, since its keys are 64-bit key hashes already
// mixed by the SplitMix64 finaliser of `hash_block`.
struct PreHashed {
  std::size_t operator()(std::uint64_t key_hash) const noexcept { return key_hash; }
};

// The additions of an overlay: every added key once, in the order added, with the map from a
// key's 64-bit hash to its addition. Not thread-safe for writes; const reads may run at once.
class Additions {
 public:
  Additions();

  // Number of additions.
  std::uint64_t count() const noexcept { return offsets_.size(); }
  // The stored form: each addition as a u32 length and its bytes, back to back.
  std::span<const std::uint8_t> bytes() const noexcept { return bytes_; }

  // The addition index of `key`, or nullopt. Hashes the key once (`hash_block`), looks the hash
  // up in the map and compares the stored bytes; a hash shared by several additions is resolved
  // through the spill list.
  std::optional<std::uint32_t> find(std::string_view key) const noexcept;
  // Appends `key` as the next addition without looking it up. Panics, before anything changes,
  // with "an Overlay holds at most u32::MAX additions", "an Overlay holds at most 4 GiB of added
  // keys" or "an added key is at most 4 GiB long".
  void push(std::string_view key);
  // The refusal `push(key)` would panic with, or nullptr when it would succeed.
  const char* limit_refusal(std::uint64_t key_len) const noexcept;
  // The text of addition `i`. Panics for i >= count(), or when the bytes are not UTF-8 (they
  // were when pushed).
  std::string_view get(std::uint64_t i) const;

  // Reserves room for `bytes` stored bytes and `count` additions.
  void reserve(std::uint64_t bytes, std::uint64_t count);
  // Lowers the limits (never above the defaults).
  void set_limits(const Limits& limits) noexcept;

 private:
  // `by_hash`: open addressing keyed by the key hash itself (`PreHashed`: its low bits index the
  // table directly), linear probing, 16 bytes a slot. A slot whose index is kEmpty is free; real
  // indexes stay below it by the additions limit.
  struct Slot {
    std::uint64_t hash;
    std::uint32_t index;
    std::uint32_t offset;
  };
  static_assert(sizeof(Slot) == 16);
  static constexpr std::uint32_t kEmpty = 0xFFFFFFFFU;
  // A later addition whose hash was already in the map.
  struct Spill {
    std::uint64_t hash;
    std::uint32_t index;
    std::uint32_t offset;
  };

  bool stored_equals(std::uint32_t offset, std::string_view key) const noexcept;
  const Slot* lookup(std::uint64_t hash) const noexcept;
  // Inserts unless the hash is present; false when it was.
  bool insert(std::uint64_t hash, std::uint32_t index, std::uint32_t offset);
  void grow(std::size_t capacity);

  std::vector<std::uint8_t> bytes_;
  std::vector<std::uint32_t> offsets_;
  std::vector<Slot> slots_;
  std::size_t used_ = 0;
  std::vector<Spill> spill_;
  Limits limits_;
};

// Tombstone bits: id x is retired when bit x mod 64 of word x / 64 is set; a word past the end
// counts as zero. Grows only up to the word a retired id needs.
class Tombstones {
 public:
  Tombstones() = default;
  // Takes the little-endian words of a blob as they are (trailing zero words kept).
  static Tombstones from_le_bytes(std::span<const std::uint8_t> bytes);

  bool is_set(std::uint64_t id) const noexcept {
    const std::uint64_t w = id / 64;
    return w < words_.size() && (words_[w] >> (id % 64) & 1) != 0;
  }
  // Sets the bit of `id`, growing the words as needed; false when it was already set.
  bool set(std::uint64_t id);
  // Clears the bit of `id` (nothing when the word does not exist).
  void clear(std::uint64_t id) noexcept;
  // Number of set bits.
  std::uint64_t count() const noexcept;
  // True when no bit at or beyond `id_space` is set.
  bool within(std::uint64_t id_space) const noexcept;
  std::span<const std::uint64_t> words() const noexcept { return words_; }

 private:
  std::vector<std::uint64_t> words_;
};

// ---- Bases -------------------------------------------------------------------------------------

// The index behind a handle: the handle itself, or what a shared pointer points to.
template <class H>
struct HandleTraits {
  using Index = H;
  static const H& get(const H& h) noexcept { return h; }
};
template <class T>
struct HandleTraits<std::shared_ptr<const T>> {
  using Index = T;
  static const T& get(const std::shared_ptr<const T>& h) noexcept { return *h; }
};
template <class H>
using IndexOf = typename HandleTraits<H>::Index;

// StringIndex: the transducer's exact lookup, whose value is the key's rank; the rank walk for
// the key of an id; a rebuild by sorting the keys afresh. A blob loaded without validation whose
// nodes do not decode makes these throw `Panic`.
inline std::optional<std::uint64_t> base_id(const StringIndex& b, std::string_view key) {
  return b.id(key);
}
inline std::uint64_t base_len(const StringIndex& b) noexcept { return b.len(); }
inline std::optional<std::string> base_key(const StringIndex& b, std::uint64_t id) {
  return b.key(id);
}
// Builds a `StringIndex` over `keys` (any order, repeats dropped) on the calling thread. Throws
// `IndexError::Fst`.
std::shared_ptr<const StringIndex> rebuild_like(const std::shared_ptr<const StringIndex>& old,
                                                std::span<const std::string_view> keys);

// PerfectHashIndex: exact lookup (slot, fingerprint, stored bytes; the side table when it has
// entries), its key of an id, and a rebuild with the same fingerprint flag.
inline std::optional<std::uint64_t> base_id(const PerfectHashIndex& b,
                                            std::string_view key) {
  const auto id = b.id(key);
  return id ? std::optional<std::uint64_t>(*id) : std::nullopt;
}
inline std::uint64_t base_len(const PerfectHashIndex& b) noexcept { return b.len(); }
inline std::optional<std::string> base_key(const PerfectHashIndex& b, std::uint64_t id) {
  if (id > 0xFFFFFFFFULL) return std::nullopt;
  const auto k = b.key(static_cast<std::uint32_t>(id));
  return k ? std::optional<std::string>(std::string(*k)) : std::nullopt;
}
// Builds a `PerfectHashIndex` over `keys` (any order, repeats dropped) on the online
// processors, keeping fingerprints when `old` keeps them. Throws the build's `IndexError`.
std::shared_ptr<const PerfectHashIndex> rebuild_like(
    const std::shared_ptr<const PerfectHashIndex>& old, std::span<const std::string_view> keys);

// CompactHashIndex, shared only: the slot of the key's hash when its fingerprint matches (or an
// exact side-table hit). A key the base never held is answered with some base id at a rate of
// about 2^-bits.
inline std::optional<std::uint64_t> base_id(const std::shared_ptr<const CompactHashIndex>& b,
                                            std::string_view key) {
  const compact_hash::Match m = b->id_with_side(key);
  return m.matched ? std::optional<std::uint64_t>(m.id) : std::nullopt;
}
inline std::uint64_t base_len(const std::shared_ptr<const CompactHashIndex>& b) noexcept {
  return b->len();
}

// A shared handle answers as its index.
template <class T>
requires requires(const T& t, std::string_view k) { base_id(t, k); }
std::optional<std::uint64_t> base_id(const std::shared_ptr<const T>& b,
                                     std::string_view key) {
  return base_id(*b, key);
}
template <class T>
requires requires(const T& t) { base_len(t); }
std::uint64_t base_len(const std::shared_ptr<const T>& b) noexcept { return base_len(*b); }
template <class T>
requires requires(const T& t, std::uint64_t id) { base_key(t, id); }
std::optional<std::string> base_key(const std::shared_ptr<const T>& b, std::uint64_t id) {
  return base_key(*b, id);
}

// What every base answers.
template <class H>
concept OverlayBase = requires(const H& h, std::string_view key) {
  { base_id(h, key) } -> std::same_as<std::optional<std::uint64_t>>;
  { base_len(h) } -> std::same_as<std::uint64_t>;
};
// A base whose keys can be read back by id.
template <class H>
concept KeyedBase = OverlayBase<H> && requires(const H& h, std::uint64_t id) {
  { base_key(h, id) } -> std::same_as<std::optional<std::string>>;
};
// A base that can be rebuilt from keys: what compaction needs.
template <class H>
concept OverlayKeys = KeyedBase<H> && requires(const H& h, std::span<const std::string_view> keys) {
  { rebuild_like(h, keys) } -> std::same_as<std::shared_ptr<const IndexOf<H>>>;
};

// Serialisation of each base kind: its tag, its blob's length, writing its blob, loading one.
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
  // Whether the loaded base holds `key`, for the loader's check of each addition. A node that
  // does not decode is `IndexError::Fst` with the transducer library's text, the error the
  // StringIndex's own loaders and its dump give, instead of the panic of a query.
  static bool holds(const StringIndex& b, std::string_view key);
};
template <>
struct BaseBlob<PerfectHashIndex> {
  static constexpr BaseTag kTag = BaseTag::PerfectHash;
  static std::uint64_t serialized_len(const PerfectHashIndex& b) { return b.serialized_len(); }
  template <class W>
  static void write(const PerfectHashIndex& b, W& out) {
    write_parts(b.serialised_parts(), out);
  }
  // The loader checks everything whatever `untrusted` says.
  static PerfectHashIndex load(std::span<const std::uint8_t> bytes, bool) {
    return PerfectHashIndex::from_bytes(bytes);
  }
  static bool holds(const PerfectHashIndex& b, std::string_view key) {
    return b.id(key).has_value();
  }
  template <class W>
  static void write_parts(const PerfectHashIndex::Parts& parts, W& out) {
    out.write_all(parts.header);
    out.write_all(parts.mph);
    out.write_all(parts.middle);
    out.write_all(parts.side);
  }
};
template <>
struct BaseBlob<CompactHashIndex> {
  static constexpr BaseTag kTag = BaseTag::CompactHash;
  static std::uint64_t serialized_len(const CompactHashIndex& b) { return b.serialized_len(); }
  template <class W>
  static void write(const CompactHashIndex& b, W& out) {
    BaseBlob<PerfectHashIndex>::write_parts(b.serialised_parts(), out);
  }
  static CompactHashIndex load(std::span<const std::uint8_t> bytes, bool) {
    return CompactHashIndex::from_bytes(bytes);
  }
  // Its lookup is probabilistic: an addition equal to a base key is not refused.
  static bool holds(const CompactHashIndex&, std::string_view) { return false; }
};

// ---- The overlay record ------------------------------------------------------------------------

namespace detail {
struct Loader;
}

// Not safe to change from two threads at once; const members may run concurrently with each
// other. The owner serialises access (the Python class keeps it behind a mutex). Copying an
// overlay over a shared base shares the base and copies everything else.
template <OverlayBase H>
class Overlay {
 public:
  using Handle = H;

  // An empty overlay: no additions, no tombstones, `len` = n_b.
  explicit Overlay(H base) : base_(std::move(base)), n_b_(overlay::base_len(base_)), live_(n_b_) {}

  const H& base() const noexcept { return base_; }
  // n_b, the base's key count.
  std::uint64_t base_len() const noexcept { return n_b_; }
  // Ids issued and not retired.
  std::uint64_t len() const noexcept { return live_; }
  bool is_empty() const noexcept { return live_ == 0; }
  // Ids ever issued: n_b plus the number of additions.
  std::uint64_t id_space() const noexcept { return n_b_ + added_.count(); }
  const Additions& additions() const noexcept { return added_; }
  const Tombstones& tombstones() const noexcept { return tomb_; }
  // Whether `id` carries a tombstone (an id never issued carries none).
  bool retired(std::uint64_t id) const noexcept { return tomb_.is_set(id); }

  // The key's id when it is present and live.
  std::optional<std::uint64_t> id(std::string_view key) const {
    // The base answers first, inline; the additions only when it does not.
    if (const auto b = base_id(base_, key); b && *b < n_b_) [[likely]]
      return tomb_.is_set(*b) ? std::nullopt : b;
    return added_id(key);
  }
  bool contains(std::string_view key) const { return id(key).has_value(); }

  // The key's id: its live id, its old id revived, or a new id after every id issued. Panics at
  // the limits of `push_added` before anything changes.
  std::uint64_t add(std::string_view key) {
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
  // True when the key was live and its id is now retired.
  bool remove(std::string_view key) {
    const auto x = find(key);
    if (!x || tomb_.is_set(*x)) return false;
    return retire_id(*x);
  }
  // True when `id` was live and is now retired; false, changing nothing, for an id never issued
  // or already retired.
  bool retire_id(std::uint64_t id) {
    if (id >= id_space()) return false;
    if (!tomb_.set(id)) return false;
    --live_;
    return true;
  }

  // The key of a live id, or nullopt (retired, never issued, or a base id the base cannot give
  // back).
  std::optional<std::string> key(std::uint64_t id) const requires KeyedBase<H> {
    if (tomb_.is_set(id)) return std::nullopt;
    if (id < n_b_) return base_key(base_, id);
    if (id - n_b_ < added_.count()) return std::string(added_.get(id - n_b_));
    return std::nullopt;
  }
  // Every live key in id order: base keys first, then additions in the order added; a base id
  // whose key the base cannot give back is skipped, as `key` gives none for it.
  std::vector<std::string> keys() const requires KeyedBase<H>;

  // The raw record operations the loader and the owner build on.
  void push_added(std::string_view key) { added_.push(key); }
  std::optional<std::uint32_t> added_index(std::string_view key) const noexcept {
    return added_.find(key);
  }
  std::string_view added_key(std::uint64_t i) const { return added_.get(i); }

  // A copy sharing the base (for a shared handle).
  Overlay clone() const requires std::copy_constructible<H> { return *this; }

  // Lowers the hard limits of `push_added`; see `Limits`.
  void set_limits(const Limits& limits) noexcept { added_.set_limits(limits); }

 private:
  friend struct detail::Loader;
  Overlay(H base, Additions added, Tombstones tomb, std::uint64_t live)
      : base_(std::move(base)),
        n_b_(overlay::base_len(base_)),
        added_(std::move(added)),
        tomb_(std::move(tomb)),
        live_(live) {}

  // The key's id, retired or not: the base answers first; the additions only when it does not.
  std::optional<std::uint64_t> find(std::string_view key) const {
    if (const auto b = base_id(base_, key); b && *b < n_b_) return b;
    if (const auto i = added_.find(key)) return n_b_ + *i;
    return std::nullopt;
  }
  // The live id of an added key, for `id` once the base has not answered.
  [[gnu::noinline]] std::optional<std::uint64_t> added_id(std::string_view key) const {
    const auto i = added_.find(key);
    if (!i || tomb_.is_set(n_b_ + *i)) return std::nullopt;
    return n_b_ + *i;
  }

  H base_;
  std::uint64_t n_b_;
  Additions added_;
  Tombstones tomb_;
  std::uint64_t live_;
};

// ---- Writing -----------------------------------------------------------------------------------

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

// The 49-byte "OVL2" header for these fields, check included.
std::array<std::uint8_t, kHeaderV2> header_v2(BaseTag tag, std::uint64_t base_len, std::uint64_t n,
                                              std::uint64_t a, std::uint64_t t,
                                              std::uint64_t payload);

// Writes the base region, the additions and the tombstone words to `out` (which already holds
// the header's 49 bytes of room) and returns the finished header. Throws the base serialiser's
// `IndexError` or the writer's `IndexError::Io`.
template <class H, class W>
std::array<std::uint8_t, kHeaderV2> write_sections(const Overlay<H>& ov, W& out) {
  using Blob = BaseBlob<IndexOf<H>>;
  Counting<W> w(out);
  Blob::write(HandleTraits<H>::get(ov.base()), w);
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

// The blob's length: 49 + the base's blob + the additions + 8 a tombstone word.
template <class H>
std::uint64_t serialized_len(const Overlay<H>& ov) {
  return kHeaderV2 + BaseBlob<IndexOf<H>>::serialized_len(HandleTraits<H>::get(ov.base())) +
         ov.additions().bytes().size() + 8 * ov.tombstones().words().size();
}

// The "OVL2" blob, whatever format the overlay was read from.
template <class H>
std::vector<std::uint8_t> to_bytes(const Overlay<H>& ov) {
  std::vector<std::uint8_t> out;
  out.reserve(serialized_len(ov));
  out.resize(kHeaderV2);
  VecWriter w{out};
  const auto header = write_sections(ov, w);
  std::copy(header.begin(), header.end(), out.begin());
  return out;
}

// Writes the blob of `to_bytes` to `path` through the atomic writer, streaming through an 8 KiB
// buffer and patching the header last. Throws `IndexError::Io` (the target untouched) or the base
// serialiser's error.
template <class H>
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

// A blob split into its sections, before the base is loaded.
struct Sections {
  std::span<const std::uint8_t> base;
  std::span<const std::uint8_t> additions;
  std::span<const std::uint8_t> tombstones;
  std::uint64_t n = 0;
};

// The checks of a blob up to the base loader, in order: length and magic, the "OVL2" header
// check, the tag against `expected`, the base range, then the sections of each format ("OVL2":
// additions range, tombstone count and length, payload hash; "OVL1": the additions' framing and
// UTF-8, then the tombstone count and length). Throws `IndexError::Format`.
Sections split_sections(std::span<const std::uint8_t> blob, BaseTag expected);
// "OVL2": the sections after a base ending at `base_end`, from the blob's header `h`.
Sections v2_sections(std::span<const std::uint8_t> blob, const HeaderV2& h, std::uint64_t base_end);
// "OVL1": the sections after a base ending at `base_end`, walking the additions to find T.
Sections v1_sections(std::span<const std::uint8_t> blob, std::uint64_t base_end, std::uint64_t n);

namespace detail {
// One step of the additions walk: the key at `cur`, framing and UTF-8 checked.
std::string_view next_addition(bytes::Cursor& cur);

struct Loader {
  template <class T, class InBase>
  static Overlay<std::shared_ptr<const T>> assemble(std::shared_ptr<const T> base,
                                                    const Sections& s, InBase&& in_base) {
    Additions added;
    added.reserve(s.additions.size(), s.n);
    bytes::Cursor cur(s.additions);
    for (std::uint64_t i = 0; i < s.n; ++i) {
      const std::string_view key = next_addition(cur);
      if (in_base(*base, key)) throw IndexError::format(kDuplicatesBase);
      if (added.find(key)) throw IndexError::format(kDuplicateAddition);
      if (added.limit_refusal(key.size())) throw IndexError::format(kTooManyAdditions);
      added.push(key);
    }
    if (cur.remaining() != 0) throw IndexError::format(kRegionLonger);
    Tombstones tomb = Tombstones::from_le_bytes(s.tombstones);
    const std::uint64_t n_b = overlay::base_len(base);
    // An id space past 2^64 cannot be issued; every bit then lies inside it.
    const auto id_space = bytes::checked_add(n_b, s.n);
    if (id_space && !tomb.within(*id_space)) throw IndexError::format(kTombstoneOutside);
    const std::uint64_t live = (id_space ? *id_space : ~std::uint64_t{0}) - tomb.count();
    return Overlay<std::shared_ptr<const T>>(std::move(base), std::move(added), std::move(tomb),
                                             live);
  }
};
}  // namespace detail

// Reads an overlay blob ("OVL2" or "OVL1") written over a base of kind `T`, checking it in the
// order of `split_sections`, then loading the base region with its own loader (a `StringIndex`
// through the untrusted loader when `untrusted` is set, else the verified trusted one; the hash
// indexes through their one loader), then each addition ("overlay addition duplicates a base key"
// over bases that store keys, "duplicate key among overlay additions"), the additions' end and
// the tombstones. The base is copied into memory of its own. Throws `IndexError`; nothing is kept
// from a failed load.
template <class T>
Overlay<std::shared_ptr<const T>> load_blob(std::span<const std::uint8_t> blob, bool untrusted) {
  const Sections s = split_sections(blob, BaseBlob<T>::kTag);
  auto base = std::make_shared<const T>(BaseBlob<T>::load(s.base, untrusted));
  return detail::Loader::assemble(std::move(base), s, &BaseBlob<T>::holds);
}

// An overlay over any of the three shared bases.
using AnyOverlay = std::variant<Overlay<std::shared_ptr<const StringIndex>>,
                                Overlay<std::shared_ptr<const PerfectHashIndex>>,
                                Overlay<std::shared_ptr<const CompactHashIndex>>>;

// `load_blob` for the base kind named by `tag`.
AnyOverlay load_blob(std::span<const std::uint8_t> blob, BaseTag tag, bool untrusted);

// ---- Compaction --------------------------------------------------------------------------------

namespace detail {
// Calls f(id, key) for every live id in increasing id order. A live base id whose key the base
// cannot give back is `IndexError::Format` kKeyLost when `kStrict`, else skipped. A
// `StringIndex` base is read in one ordered stream over its transducer (its ids are the stream's
// positions) instead of one rank walk an id; should the stored values not follow the stream, it
// starts over by rank walks. Either way `f` may see an id again and takes the later call.
template <bool kStrict = true, KeyedBase H, class F>
void for_each_live_key(const Overlay<H>& ov, F&& f) {
  const std::uint64_t n_b = ov.base_len();
  bool streamed = false;
  if constexpr (std::is_same_v<IndexOf<H>, StringIndex>) {
    auto it = HandleTraits<H>::get(ov.base()).stream_after(std::nullopt);
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
  if constexpr (std::is_same_v<IndexOf<H>, PerfectHashIndex>) {
    // The arena's own bytes, borrowed: no copy an id.
    const PerfectHashIndex& b = HandleTraits<H>::get(ov.base());
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
      const auto k = base_key(ov.base(), x);
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
}  // namespace detail

template <OverlayBase H>
std::vector<std::string> Overlay<H>::keys() const requires KeyedBase<H> {
  std::vector<std::string> out;
  out.reserve(live_);
  std::uint64_t last = 0;
  detail::for_each_live_key<false>(*this, [&](std::uint64_t x, std::string_view k) {
    if (!out.empty() && x <= last) out.clear();  // started over
    last = x;
    out.emplace_back(k);
  });
  return out;
}

// A new, empty overlay over a base of the same kind built from the live keys. Ids are renumbered
// by the new base (ranks for a `StringIndex`, slots for a `PerfectHashIndex`). `ov` is unchanged.
// Throws `IndexError`: kKeyLost, or the rebuild's error.
template <OverlayKeys H>
Overlay<H> compact(const Overlay<H>& ov) {
  const detail::LiveKeys live = detail::live_keys_strict(ov);
  return Overlay<H>(rebuild_like(ov.base(), live.keys));
}

// The value of a retired id in a remap.
inline constexpr std::uint64_t kRetired = ~std::uint64_t{0};

// `compact`, with the new id of every id `ov` issued, indexed by old id (`kRetired` for a retired
// one). Panics "the rebuilt base holds every key it was built from" should the new base miss a
// live key.
template <OverlayKeys H>
std::pair<Overlay<H>, std::vector<std::uint64_t>> compact_with_remap(const Overlay<H>& ov) {
  Overlay<H> fresh = compact(ov);
  const std::uint64_t space = ov.id_space();
  std::vector<std::uint64_t> remap(space, kRetired);
  detail::for_each_live_key(ov, [&](std::uint64_t x, std::string_view k) {
    const auto y = fresh.id(k);
    check_invariant(y.has_value(), "the rebuilt base holds every key it was built from");
    remap[x] = *y;
  });
  return {std::move(fresh), std::move(remap)};
}

// Writes the blob of a base rebuilt from the live keys (a base blob, not an overlay blob) to
// `path` through the atomic writer with an 8 KiB buffer; returns its key count. `ov` is
// unchanged; on failure `path` is untouched and no temporary file is left.
template <OverlayKeys H>
std::uint64_t compact_to_file(const Overlay<H>& ov, const std::filesystem::path& path) {
  using T = IndexOf<H>;
  const std::shared_ptr<const T> fresh = [&] {
    const detail::LiveKeys live = detail::live_keys_strict(ov);
    return rebuild_like(ov.base(), live.keys);
  }();
  blob::write_atomically_with(path, [&](fileio::File& file) {
    fileio::BufWriter w(file, 8192);
    BaseBlob<T>::write(*fresh, w);
    w.flush();
  });
  return base_len(*fresh);
}

}  // namespace quenlith::overlay
