// `Overlay`: a mutable layer of added keys and retired ids over an immutable base index, its
// "OVL2" blob (drawn in overlay.cpp), and compaction into a fresh base.
//
// Id space. The base keeps its ids [0, n_b); addition i takes id n_b + i; the id space is n_b plus
// the number of additions. A removed key's id is retired by a tombstone bit and comes back
// unchanged when the key is added again: an id, once issued, is never issued again and never
// changes. Only compaction renumbers, by building a new base from the live keys.
//
// Bases: `StringIndex`, `PerfectHashIndex` and `CompactHashIndex`, each held by a
// `std::shared_ptr<const Index>` (shared, never copied, never changed). The overlay is defined in
// overlay.cpp for exactly these three handles.
#pragma once

#include <array>
#include <concepts>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "compact_hash.hpp"
#include "perfect_hash.hpp"
#include "string_index.hpp"

namespace quenlith::overlay {

using compact_hash::CompactHashIndex;
using perfect_hash::PerfectHashIndex;
using string_index::StringIndex;

// The 49-byte "OVL2" header, with its one reader and one writer, used by the blob loader and
// writer and by header inspection.
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
  // `slots_`: open addressing keyed by the key hash itself (its low bits index the table
  // directly), linear probing, 16 bytes a slot. A slot whose index is kEmpty is free; real
  // indexes stay below it by the additions limit. `spill_`: a later addition whose hash was
  // already in the map.
  struct Slot {
    std::uint64_t hash;
    std::uint32_t index;
    std::uint32_t offset;
  };
  static_assert(sizeof(Slot) == 16);
  static constexpr std::uint32_t kEmpty = 0xFFFFFFFFU;

  bool stored_equals(std::uint32_t offset, std::string_view key) const noexcept;
  const Slot* lookup(std::uint64_t hash) const noexcept;
  // Inserts unless the hash is present; false when it was.
  bool insert(std::uint64_t hash, std::uint32_t index, std::uint32_t offset);
  void grow(std::size_t capacity);

  std::vector<std::uint8_t> bytes_;
  std::vector<std::uint32_t> offsets_;
  std::vector<Slot> slots_;
  std::size_t used_ = 0;
  std::vector<Slot> spill_;
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

// The three handles an overlay is defined for.
template <class H>
concept OverlayBase = std::same_as<H, std::shared_ptr<const StringIndex>> ||
                      std::same_as<H, std::shared_ptr<const PerfectHashIndex>> ||
                      std::same_as<H, std::shared_ptr<const CompactHashIndex>>;
// A base whose keys can be read back by id and rebuilt: all but a `CompactHashIndex`, which
// stores no keys.
template <class H>
concept KeyedBase = OverlayBase<H> && !std::same_as<H, std::shared_ptr<const CompactHashIndex>>;
// A base that can be rebuilt from keys: what compaction needs.
template <class H>
concept OverlayKeys = KeyedBase<H>;
// The index behind a handle.
template <OverlayBase H>
using IndexOf = std::remove_const_t<typename H::element_type>;

// The key's id in the base, or nullopt. A `StringIndex` answers with the transducer's exact
// lookup (a blob loaded without validation whose nodes do not decode makes it throw `Panic`); a
// `PerfectHashIndex` with slot, fingerprint and stored bytes (the side table when it has
// entries); a `CompactHashIndex` with the slot of the key's hash when its fingerprint matches
// (or an exact side-table hit), so a key it never held is answered with some base id at a rate
// of about 2^-bits.
std::optional<std::uint64_t> base_id(const std::shared_ptr<const StringIndex>& b,
                                     std::string_view key);
std::optional<std::uint64_t> base_id(const std::shared_ptr<const PerfectHashIndex>& b,
                                     std::string_view key);
std::optional<std::uint64_t> base_id(const std::shared_ptr<const CompactHashIndex>& b,
                                     std::string_view key);

// ---- The overlay record ------------------------------------------------------------------------

namespace detail {
struct Loader;
}

// Not safe to change from two threads at once; const members may run concurrently with each
// other. The owner serialises access (the Python class keeps it behind a mutex). Copying an
// overlay shares the base and copies everything else.
template <OverlayBase H>
class Overlay {
 public:
  using Handle = H;

  // An empty overlay: no additions, no tombstones, `len` = n_b.
  explicit Overlay(H base);

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

  // The key's id when it is present and live. The base answers first; the additions only when
  // it does not. A base lookup's panic passes through.
  std::optional<std::uint64_t> id(std::string_view key) const;
  bool contains(std::string_view key) const { return id(key).has_value(); }

  // The key's id: its live id, its old id revived, or a new id after every id issued. Panics at
  // the limits of `push_added` before anything changes.
  std::uint64_t add(std::string_view key);
  // True when the key was live and its id is now retired.
  bool remove(std::string_view key);
  // True when `id` was live and is now retired; false, changing nothing, for an id never issued
  // or already retired.
  bool retire_id(std::uint64_t id);

  // The key of a live id, or nullopt (retired, never issued, or a base id the base cannot give
  // back).
  std::optional<std::string> key(std::uint64_t id) const requires KeyedBase<H>;
  // Every live key in id order: base keys first, then additions in the order added; a base id
  // whose key the base cannot give back is skipped, as `key` gives none for it.
  std::vector<std::string> keys() const requires KeyedBase<H>;

  // The raw record operations the loader and the owner build on.
  void push_added(std::string_view key) { added_.push(key); }
  std::optional<std::uint32_t> added_index(std::string_view key) const noexcept {
    return added_.find(key);
  }
  std::string_view added_key(std::uint64_t i) const { return added_.get(i); }

  // Lowers the hard limits of `push_added`; see `Limits`.
  void set_limits(const Limits& limits) noexcept { added_.set_limits(limits); }

 private:
  friend struct detail::Loader;
  Overlay(H base, Additions added, Tombstones tomb, std::uint64_t live);

  // The key's id, retired or not.
  std::optional<std::uint64_t> find(std::string_view key) const;
  // The live id of an added key, for `id` once the base has not answered.
  std::optional<std::uint64_t> added_id(std::string_view key) const;

  H base_;
  std::uint64_t n_b_;
  Additions added_;
  Tombstones tomb_;
  std::uint64_t live_;
};

// ---- Writing -----------------------------------------------------------------------------------

// The 49-byte "OVL2" header for these fields, check included.
std::array<std::uint8_t, kHeaderV2> header_v2(BaseTag tag, std::uint64_t base_len, std::uint64_t n,
                                              std::uint64_t a, std::uint64_t t,
                                              std::uint64_t payload);

// The blob's length: 49 + the base's blob + the additions + 8 a tombstone word.
template <OverlayBase H>
std::uint64_t serialized_len(const Overlay<H>& ov);

// The "OVL2" blob, whatever format the overlay was read from. Throws the base serialiser's
// `IndexError`.
template <OverlayBase H>
std::vector<std::uint8_t> to_bytes(const Overlay<H>& ov);

// Writes the blob of `to_bytes` to `path` through the atomic writer, streaming through an 8 KiB
// buffer and patching the header last. Throws `IndexError::Io` (the target untouched) or the base
// serialiser's error.
template <OverlayBase H>
void save(const Overlay<H>& ov, const std::filesystem::path& path);

// ---- Reading -----------------------------------------------------------------------------------

// Reads an overlay blob ("OVL2" or "OVL1") written over a base of kind `T`: length and magic, the
// "OVL2" header check, the tag, the base range, then the sections of each format ("OVL2":
// additions range, tombstone count and length, payload hash; "OVL1": the additions' framing and
// UTF-8, then the tombstone count and length); then the base region with its own loader (a
// `StringIndex` through the untrusted loader when `untrusted` is set, else the verified trusted
// one; the hash indexes through their one loader), then each addition ("overlay addition
// duplicates a base key" over bases that store keys, where a `StringIndex` node that does not
// decode is the transducer library's `IndexError::Fst`; "duplicate key among overlay
// additions"), the additions' end and the tombstones. The base is copied into memory of its own.
// Throws `IndexError`; nothing is kept from a failed load.
template <class T>
Overlay<std::shared_ptr<const T>> load_blob(std::span<const std::uint8_t> blob, bool untrusted);

// An overlay over any of the three shared bases.
using AnyOverlay = std::variant<Overlay<std::shared_ptr<const StringIndex>>,
                                Overlay<std::shared_ptr<const PerfectHashIndex>>,
                                Overlay<std::shared_ptr<const CompactHashIndex>>>;

// `load_blob` for the base kind named by `tag`.
AnyOverlay load_blob(std::span<const std::uint8_t> blob, BaseTag tag, bool untrusted);

// ---- Compaction --------------------------------------------------------------------------------

// A new, empty overlay over a base of the same kind built from the live keys. Ids are renumbered
// by the new base (ranks for a `StringIndex`, slots for a `PerfectHashIndex`). `ov` is unchanged.
// Throws `IndexError`: kKeyLost, or the rebuild's error.
template <OverlayKeys H>
Overlay<H> compact(const Overlay<H>& ov);

// The value of a retired id in a remap.
inline constexpr std::uint64_t kRetired = ~std::uint64_t{0};

// `compact`, with the new id of every id `ov` issued, indexed by old id (`kRetired` for a retired
// one). Panics "the rebuilt base holds every key it was built from" should the new base miss a
// live key.
template <OverlayKeys H>
std::pair<Overlay<H>, std::vector<std::uint64_t>> compact_with_remap(const Overlay<H>& ov);

// Writes the blob of a base rebuilt from the live keys (a base blob, not an overlay blob) to
// `path` through the atomic writer with an 8 KiB buffer; returns its key count. `ov` is
// unchanged; on failure `path` is untouched and no temporary file is left.
template <OverlayKeys H>
std::uint64_t compact_to_file(const Overlay<H>& ov, const std::filesystem::path& path);

}  // namespace quenlith::overlay
