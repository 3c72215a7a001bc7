// The minimal perfect hash over 64-bit key hashes.
//
// `Mphf` maps the hashes of n distinct keys (n at most 4,294,967,295) to the ids [0, n). It stores
// no keys and has no membership test: every 64-bit value gets some id, a member's id is its own,
// and no two members share one. Callers confirm membership themselves.
//
// Two layouts:
//  - `V2`, the one every builder makes: level 0 of n slots whose occupied slots are the ids, up to
//    15 later levels for the keys level 0 bumps, and a tail with a 16-bit seed per bucket for what
//    is left. Every slot of the later levels and the tail is sent to a free level-0 id by the
//    Elias–Fano `Remap`.
//  - `V1`, an older partitioned layout read from "MPH1" sections: read, queried and written back
//    byte for byte, never built.
//
// Placement (all arithmetic modulo 2^64; mulhi = high half of the 128-bit product; mix = the
// SplitMix64 finaliser; G = 0x9E3779B97F4A7C15): a level puts value x with seed byte b != 0 at
//   r = 8 * (b >> (8 - mode)), d = b & (2^(8 - mode) - 1), a = mulhi(slots, x),
//   pos = (((x >> r) + (d << shift)) & (part - 1)) + a, minus `slots` when it reaches `slots`.
// The bucket of x is mulhi(x, buckets); seed byte 0 means "bumped to the next stage".
//
// The section formats ("MPH3" written; "MPH2" and "MPH1" read) are drawn in mphf_section.cpp.
//
// Everything here is immutable once built or loaded: any number of threads may query one table.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "blob.hpp"
#include "error.hpp"
#include "hash.hpp"
#include "pages.hpp"

namespace quenlith::mphf {

using pages::Pages;

// The most keys a table holds; ids are 32-bit.
inline constexpr std::uint64_t kMaxKeys = 4294967295ULL;
// The most levels a table has, level 0 and 15 later ones: a section holds at most this many level
// records.
inline constexpr std::uint64_t kMaxLevels = 16;

// Throws `IndexError::Build` "minimal perfect hash: more than u32::MAX keys" when `count` is above
// `kMaxKeys`. `Mphf::build_with_threads` applies it to its input's length.
void refuse_too_many_keys(std::uint64_t count);

// The wrap of a window that runs past the end of a level: pos - slots.
inline constexpr std::uint64_t wrapped(std::uint64_t pos, std::uint64_t slots) noexcept {
  return pos - slots;
}

// One level of a `V2` table.
struct Level {
  Pages<std::uint8_t> seeds;  // one seed byte per bucket; 0 = bucket bumped
  std::uint64_t slots = 0;    // level 0 has n
  std::uint64_t buckets = 0;  // = seeds.size(), at least 1
  std::uint64_t part = 0;     // window width, a power of two, at most `slots`
  std::uint32_t shift = 0;    // derived from `part` and `mode`, never stored
  std::uint32_t mode = 0;     // rotation bits of a seed byte: 2 (built) or 0 (older images)

  // The shift of a level with this part and mode: log2(part) - 6 for mode 2 (part >= 64);
  // for other modes 0 below part 512 and 1 from 512 on.
  static std::uint32_t shift_for(std::uint64_t part, std::uint32_t mode) noexcept;

  std::uint64_t bucket(std::uint64_t x) const noexcept { return hash::mulhi(x, buckets); }
  std::uint8_t seed_of(std::uint64_t x) const noexcept { return seeds[bucket(x)]; }

  // The slot of x under seed byte b (b != 0), by the general rule. Below `slots`.
  std::uint64_t position(std::uint64_t x, std::uint8_t b) const noexcept {
    const unsigned r = 8u * (static_cast<unsigned>(b) >> (8 - mode));
    const std::uint64_t d = b & ((1u << (8 - mode)) - 1u);
    std::uint64_t pos = (((x >> r) + (d << shift)) & (part - 1)) + hash::mulhi(slots, x);
    if (pos >= slots) pos = wrapped(pos, slots);
    return pos;
  }

  // True for the geometry of level 0 of every built table of 32,768 keys or more: mode 2,
  // shift 4, part 1024, for which `position_fixed` gives the same slot.
  bool fixed_geometry() const noexcept { return mode == 2 && shift == 4 && part == 1024; }
};

// `Level::position` for the fixed geometry (mode 2, shift 4, part 1024): the rotation bits of b,
// shifted left by 4, fall outside the 10-bit window, so b need not be masked.
inline std::uint64_t position_fixed(std::uint64_t x, std::uint8_t b, std::uint64_t slots) noexcept {
  const unsigned r = 8u * (static_cast<unsigned>(b) >> 6);
  std::uint64_t pos = (((x >> r) + (std::uint64_t{b} << 4)) & 1023u) + hash::mulhi(slots, x);
  if (pos >= slots) pos = wrapped(pos, slots);
  return pos;
}

// The remap of a `V2`: a non-decreasing sequence of E ids below the universe U (the table's n),
// stored as an Elias–Fano sequence (w low bits per entry, high parts in unary) with a
// super-sample every 2,048 entries and a 16-bit sample every 64, so `get` is constant time.
class Remap {
 public:
  Pages<std::uint64_t> low;  // ceil(E*w/64) words
  Pages<std::uint64_t>
      high;  // ceil(t/64) words + 4 zero words, t = E + ((U-1) >> w); none when E = 0
  Pages<std::uint32_t> supers;   // ceil(E/2048)
  Pages<std::uint16_t> samples;  // ceil(E/64)
  std::uint64_t len = 0;         // E
  std::uint32_t width = 0;       // w, 0 to 63

  // Entry e's value; 0 for an entry past the samples (or past E). Never reads out of bounds.
  std::uint64_t get(std::uint64_t e) const noexcept;

  // The position of the set bit of rank `rank` counting from word `start` of `words[0, count)`,
  // 0 when the words run out.
  static std::uint64_t beyond(const std::uint64_t* words, std::uint64_t count, std::uint64_t start,
                              std::uint64_t rank) noexcept;

  // Encodes E non-decreasing values below U. Throws `IndexError::Format` "mphf: blob sections do
  // not fit in memory" or "mphf: a remap block outruns its super-sample".
  static Remap encode(std::span<const std::uint64_t> values, std::uint64_t universe);

  // True when the arrays are well formed for universe U and every value is below U.
  bool validate(std::uint64_t universe) const;

  // Converts the remap of an "MPH2" image (an occupancy bit per entry and an Elias–Fano list of
  // the H level-0 holes with w2 low bits) into a `Remap` with universe n. Throws
  // `IndexError::Format` with the section reader's messages.
  static Remap from_v2(std::span<const std::uint64_t> occupied, std::span<const std::uint64_t> low2,
                       std::span<const std::uint64_t> high2, std::uint64_t holes, std::uint32_t w2,
                       std::uint64_t entries, std::uint64_t n);
};

// A source of key hashes for `V2::build_from`, yielding them in ascending order. Hashes that do
// not ascend (by level-0 bucket) are a caller's fault and stop the build with a `Panic`.
class HashSource {
 public:
  virtual ~HashSource() = default;
  // Writes the next hashes into `out` (at most out.size(), at least one unless exhausted) and
  // returns how many; 0 means the source is exhausted. May throw; the build passes it on.
  virtual std::size_t next_batch(std::span<std::uint64_t> out) = 0;
};

// A `HashSource` over a callable returning std::optional<std::uint64_t> (none at the end).
template <class F>
class FnSource final : public HashSource {
 public:
  explicit FnSource(F f) : f_(std::move(f)) {}
  std::size_t next_batch(std::span<std::uint64_t> out) override {
    std::size_t i = 0;
    while (!done_ && i < out.size()) {
      std::optional<std::uint64_t> h = f_();
      if (!h) {
        done_ = true;
        break;
      }
      out[i++] = *h;
    }
    return i;
  }

 private:
  F f_;
  bool done_ = false;
};
template <class F>
FnSource<F> source_from(F f) {
  return FnSource<F>(std::move(f));
}

// What a build reads: a slice ordered by hash (or, for later levels, grouped by bucket), a source
// of ascending hashes, or a slice in any order. It borrows; the caller keeps the data alive for
// the build and the build never changes it.
class HashInput {
 public:
  enum class Kind : std::uint8_t { Ordered, Source, Unordered };

  static HashInput ordered(std::span<const std::uint64_t> hashes) noexcept {
    return HashInput(Kind::Ordered, hashes, nullptr);
  }
  static HashInput source(HashSource& source) noexcept {
    return HashInput(Kind::Source, {}, &source);
  }
  static HashInput unordered(std::span<const std::uint64_t> hashes) noexcept {
    return HashInput(Kind::Unordered, hashes, nullptr);
  }

  Kind kind() const noexcept { return kind_; }
  std::span<const std::uint64_t> slice() const noexcept { return slice_; }
  HashSource& hash_source() const noexcept { return *source_; }

 private:
  HashInput(Kind kind, std::span<const std::uint64_t> slice, HashSource* source) noexcept
      : kind_(kind), slice_(slice), source_(source) {}
  Kind kind_;
  std::span<const std::uint64_t> slice_;
  HashSource* source_;
};

// The current layout. Fields in the documented order; treat as read-only outside builders.
struct V2 {
  std::vector<Level> levels;        // later levels 1, 2, ... (0 to 15, only with level 0)
  Pages<std::uint16_t> tail_seeds;  // one per tail bucket
  std::uint64_t tail_keys = 0;      // keys placed in the tail (not used by the query)
  std::uint64_t tail_buckets = 0;   // 0 when there is no tail
  std::uint64_t tail_slots = 0;     // 0 when there is no tail
  std::uint64_t tail_seed = 0;      // rehashes keys for the tail
  Remap remap;                      // later-level and tail slots -> ids
  std::uint64_t n = 0;              // ids are [0, n)
  std::optional<Level> level0;      // n slots; absent when built for 256 keys or fewer
  std::uint8_t geometry = 2;        // every level's mode; built tables have 2

  // Builds over n distinct hashes read from `input` on `threads` worker threads (0 or 1: one).
  // The result depends only on the set of hashes, never on the thread count or input order.
  // Does not compare n with `kMaxKeys` (callers do). Throws `IndexError::Build`
  // "minimal perfect hash: the source yielded other than the promised number of keys" or
  // "minimal perfect hash: no seed placed every bucket" (equal hashes), or the remap's error.
  static V2 build_from(std::uint64_t n, HashInput input, unsigned threads);

  // The single-key query. Never fails, allocates nothing.
  std::uint64_t index(std::uint64_t h) const {
    if (level0) {
      const std::uint8_t b = level0->seed_of(h);
      if (b != 0)
        return level0->fixed_geometry() ? position_fixed(h, b, level0->slots)
                                        : level0->position(h, b);
    }
    return index_bumped(h);
  }
  // The query from the later levels on (for a hash whose level-0 seed byte is 0, or when there
  // is no level 0): later levels, tail, remap.
  std::uint64_t index_bumped(std::uint64_t h) const;

  // The remap entry of a hash that level 0 does not place (later level or tail slot, numbered
  // across them), or `kNoEntry` when no level places it and there is no tail.
  static constexpr std::uint64_t kNoEntry = ~std::uint64_t{0};
  std::uint64_t bumped_entry(std::uint64_t h) const;
};

// The older partitioned layout of "MPH1" sections.
struct V1 {
  std::vector<std::uint64_t> part_seeds;
  std::vector<std::uint8_t> pilots;
  std::vector<std::uint32_t> remap_bases;
  std::vector<std::uint16_t> remap_offsets;
  std::uint64_t n = 0;
  std::uint64_t total_slots = 0;
  std::uint64_t parts = 0;
  std::uint64_t buckets_per_part = 0;
  std::uint64_t slots_per_part = 0;
  std::uint64_t stride = 0;
  std::uint64_t skew = 0;
  std::uint64_t seed = 0;

  // The query; 0 for the empty table.
  std::uint64_t index(std::uint64_t h) const;
  // The "MPH1" image.
  std::vector<std::uint8_t> to_bytes() const;
};

// A minimal perfect hash of either layout.
class Mphf {
 public:
  explicit Mphf(V2 table) noexcept : table_(std::move(table)) {}
  explicit Mphf(V1 table) noexcept : table_(std::move(table)) {}
  Mphf(Mphf&&) noexcept = default;
  Mphf& operator=(Mphf&&) noexcept = default;

  // Builds over the distinct hashes in `hashes` (any order) on `threads` workers (0 or 1: one).
  // Throws `IndexError::Build` "minimal perfect hash: more than u32::MAX keys", or what
  // `V2::build_from` throws. Equal hashes make it fail with "no seed placed every bucket".
  static Mphf build_with_threads(std::span<const std::uint64_t> hashes, unsigned threads);

  // Reads an "MPH3", "MPH2" or "MPH1" image filling all of `bytes`; copies everything it keeps.
  // Throws `IndexError::Format` ("mphf: ...") for anything malformed; never reads out of bounds.
  static Mphf from_bytes(std::span<const std::uint8_t> bytes);

  // The id of hash h: a member's own id, some id in [0, n) for any other value (0 when n = 0).
  std::uint64_t index(std::uint64_t h) const {
    if (const V2* t = std::get_if<V2>(&table_)) return t->index(h);
    return std::get<V1>(table_).index(h);
  }

  // The ids of all `hashes`, in order; equal to `index` of each. Runs on the calling thread.
  std::vector<std::uint64_t> index_all(std::span<const std::uint64_t> hashes) const;

  // The image: "MPH3" for a V2 (also one read from "MPH2"), "MPH1" for a V1.
  std::vector<std::uint8_t> to_bytes() const;
  // Its length, without building it.
  std::uint64_t byte_len() const noexcept;
  // Writes the same bytes as `to_bytes` through a hashing writer, section by section, without a
  // second copy of the table. Passes on the writer's errors.
  template <class W>
  void write_into(blob::Hashed<W>& out) const {
    write_chunks([&out](std::span<const std::uint8_t> b) { out.write_all(b); });
  }
  // The image in consecutive pieces handed to `sink` (the bytes of `to_bytes`, in order).
  void write_chunks(const std::function<void(std::span<const std::uint8_t>)>& sink) const;

  // The key count.
  std::uint64_t n() const noexcept {
    if (const V2* t = std::get_if<V2>(&table_)) return t->n;
    return std::get<V1>(table_).n;
  }

  // The layout, for callers that inline the level-0 step; null for the other layout.
  const V2* v2() const noexcept { return std::get_if<V2>(&table_); }
  const V1* v1() const noexcept { return std::get_if<V1>(&table_); }

 private:
  std::variant<V2, V1> table_;
};

// ---- inline definitions of the hot paths ----

namespace detail {

// SELECT_IN_BYTE[j * 256 + v]: the position of the j-th set bit (from 0) of byte v, 0 when v has
// fewer than j + 1 set bits.
constexpr std::array<std::uint8_t, 2048> make_select_in_byte() {
  std::array<std::uint8_t, 2048> t{};
  for (unsigned j = 0; j < 8; ++j) {
    for (unsigned v = 0; v < 256; ++v) {
      unsigned seen = 0;
      for (unsigned b = 0; b < 8; ++b) {
        if ((v >> b) & 1u) {
          if (seen == j) {
            t[j * 256 + v] = static_cast<std::uint8_t>(b);
            break;
          }
          ++seen;
        }
      }
    }
  }
  return t;
}
inline constexpr std::array<std::uint8_t, 2048> kSelectInByte = make_select_in_byte();

// The position of the k-th set bit (from 0) of x, k below popcount(x): broadword byte counts
// locate the byte, a table finds the bit inside it. No branches.
inline unsigned select64(std::uint64_t x, std::uint64_t k) noexcept {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  std::uint64_t s = x - ((x >> 1) & 0x5555555555555555ULL);
  s = (s & 0x3333333333333333ULL) + ((s >> 2) & 0x3333333333333333ULL);
  s = (s + (s >> 4)) & 0x0F0F0F0F0F0F0F0FULL;
  std::uint64_t o =
      ((((((k * kOnes) | 0x8080808080808080ULL) - (s * kOnes)) >> 7) & kOnes) * kOnes >> 53) &
      0x7F8;
  if (o > 56) o = 56;
  const std::uint64_t kk = (k - ((s * 0x0101010101010100ULL) >> o)) & 7;
  return static_cast<unsigned>(o) + kSelectInByte[kk * 256 + ((x >> o) & 255)];
}

}  // namespace detail

inline std::uint64_t Remap::get(std::uint64_t e) const noexcept {
  if (e >= len || (e >> 11) >= supers.size() || (e >> 6) >= samples.size()) return 0;
  const std::uint64_t p = std::uint64_t{supers[e >> 11]} + samples[e >> 6];
  const std::uint64_t q = p >> 6;
  if (q + 4 > high.size()) return 0;
  const std::uint64_t r = e & 63;
  const std::uint64_t* h = high.data() + q;
  const std::uint64_t w0 = h[0] & (~std::uint64_t{0} << (p & 63));
  const std::uint64_t c0 = static_cast<std::uint64_t>(std::popcount(w0));
  const std::uint64_t c1 = static_cast<std::uint64_t>(std::popcount(h[1]));
  const std::uint64_t c2 = static_cast<std::uint64_t>(std::popcount(h[2]));
  const std::uint64_t c3 = static_cast<std::uint64_t>(std::popcount(h[3]));
  std::uint64_t pos;
  if (r < c0) {
    pos = 64 * q + detail::select64(w0, r);
  } else if (r < c0 + c1) {
    pos = 64 * (q + 1) + detail::select64(h[1], r - c0);
  } else if (r < c0 + c1 + c2) {
    pos = 64 * (q + 2) + detail::select64(h[2], r - c0 - c1);
  } else if (r < c0 + c1 + c2 + c3) {
    pos = 64 * (q + 3) + detail::select64(h[3], r - c0 - c1 - c2);
  } else {
    pos = beyond(high.data(), high.size(), q + 4, r - (c0 + c1 + c2 + c3));
  }
  const std::uint64_t hi = pos - e;
  if (width == 0) return hi;
  const std::uint64_t bit = e * width;
  const std::uint64_t word = bit >> 6;
  const unsigned off = static_cast<unsigned>(bit & 63);
  std::uint64_t lo = low[word] >> off;
  if (off + width > 64) lo |= low[word + 1] << (64 - off);
  lo &= (std::uint64_t{1} << width) - 1;
  return (hi << width) | lo;
}

}  // namespace quenlith::mphf
