// Internals of the minimal-perfect-hash build, shared by its source files and its tests: the
// transposed occupancy map, the bucket seed search, the seeding of a run of buckets, the grouping
// of unordered hashes by chunk, and the parallel build of one level.
//
// Nothing here is part of the library's interface: the builders are `Mphf::build_with_threads`
// and `V2::build_from` (mphf.hpp).
#pragma once

#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <span>
#include <utility>
#include <vector>

#include "mphf.hpp"

namespace quenlith::mphf {

// ---- occupancy map ----

// The bit table of occupied slots of a level, of a window of a level, or of the tail. Stored
// transposed: 2^shift rows, row r holding the slots s with s mod 2^shift = r, slot s at column
// s >> shift of its row (bit c mod 64 of word c / 64). The 64 slots that the displacements of one
// seed byte give a key are then 64 neighbouring bits of one row. A map of a window addresses
// slots relative to its first slot, a multiple of 64 << shift.
struct Map {
  Pages<std::uint64_t> words;  // row after row, `stride` words each
  std::uint64_t stride = 0;
  std::uint32_t shift = 0;

  // A zeroed map of 2^shift rows of `stride` words.
  static Map zeroed(std::uint64_t stride, std::uint32_t shift);
  // The map of a whole level of `slots` slots: ((slots >> shift) >> 6) + 3 words a row.
  static Map for_level(std::uint64_t slots, std::uint32_t shift) {
    return zeroed(((slots >> shift) >> 6) + 3, shift);
  }

  std::uint64_t word_index(std::uint64_t slot) const noexcept {
    const std::uint64_t row = slot & ((std::uint64_t{1} << shift) - 1);
    return row * stride + ((slot >> shift) >> 6);
  }
  bool test(std::uint64_t slot) const noexcept {
    return (words[word_index(slot)] >> ((slot >> shift) & 63)) & 1u;
  }
  void set(std::uint64_t slot) noexcept {
    words[word_index(slot)] |= std::uint64_t{1} << ((slot >> shift) & 63);
  }
  void clear(std::uint64_t slot) noexcept {
    words[word_index(slot)] &= ~(std::uint64_t{1} << ((slot >> shift) & 63));
  }

  // ORs every row of `src` into the same row of `dst`, source word j going to destination word
  // `offset` + j; words that fall outside the destination row are skipped. Same shift required.
  static void merge(Map& dst, const Map& src, std::int64_t offset);
  // The free slots below n, ascending.
  static std::vector<std::uint64_t> holes(const Map& map, std::uint64_t n);
};

// ---- seed search ----

// The process-wide weight table: entry i (0 to 4,095) is log2(i) * 65,536 rounded half away from
// zero, entries 0 and 1 being 0. Filled once, on first use, thread-safely.
const std::uint32_t* log2_table();

// The geometry of the level a search places keys on, and where its map starts.
struct SearchContext {
  const std::uint32_t* weights;  // log2_table() + 95: weight of in-part offset o
  std::uint64_t slots;           // S
  std::uint64_t origin;          // the map's first slot, a multiple of `part`
  std::uint64_t part;            // P
  std::uint64_t span;            // S - origin
  std::uint32_t shift;           // log2(P / 64)
};

// Scratch of the search, owned by one run: zeroed when the run starts, reused bucket to bucket.
struct SearchScratch {
  std::uint32_t stamps[1024];
  std::uint32_t epoch;
};

// The specialised search for a bucket of N (1 to 16) keys on a level of mode 2 with P >> shift
// = 64 and P <= 1024. Returns (false, 0), changing nothing, when a key's window reaches past the
// level's end (the caller then runs `seed_bucket`); otherwise (true, choice) with choice 0 when no
// seed fits, or cost * 256 + seed byte, the chosen slots already set in the map.
template <unsigned N>
std::pair<bool, std::uint64_t> seed_bucket_lanes(const SearchContext& cx, const std::uint64_t* keys,
                                                 Map& map, SearchScratch& scratch);
// The same search dispatched on the key count (1 to 16).
std::pair<bool, std::uint64_t> seed_bucket_lanes_n(const SearchContext& cx,
                                                   std::span<const std::uint64_t> keys, Map& map,
                                                   SearchScratch& scratch);

// The general search, for any key count and windows that run past the level's end (then only
// with origin 0). Returns the seed byte (0: bumped; always 0 for more than 64 keys) and sets the
// chosen slots in the map. Chooses exactly what `seed_bucket_lanes` chooses.
std::uint8_t seed_bucket(const Level& level, std::span<const std::uint64_t> keys, Map& map,
                         std::uint64_t origin);

// ---- runs and chunks ----

// Seeds a run of consecutive buckets against `map` (whose region starts at `origin`), bucket i
// holding keys[bounds[i], bounds[i + 1]). Larger buckets go ahead of the smaller ones around
// them. Every seed byte is written (0 for an empty or bumped bucket); the map gains every seeded
// key's slot.
void seed_run(const Level& level, std::span<const std::uint64_t> keys,
              std::span<const std::uint32_t> bounds, std::span<std::uint8_t> seeds, Map& map,
              std::uint64_t origin);

// The bounds of a chunk's keys (grouped by bucket) among `buckets` buckets, the chunk starting at
// bucket `first`: bounds[0] = 0 and bucket x of the chunk holds keys [bounds[x], bounds[x + 1]).
// `bounds` has the chunk's bucket count + 1 entries. Keys outside the chunk or not grouped by
// ascending bucket are a caller's fault (a source that does not ascend) and panic.
void bucket_ends(std::span<const std::uint64_t> keys, std::uint64_t buckets, std::uint64_t first,
                 std::span<std::uint32_t> bounds);

// Appends the keys of every bucket of the run whose seed byte is 0, in bucket order.
void bumped_keys(std::span<const std::uint64_t> keys, std::span<const std::uint32_t> bounds,
                 std::span<const std::uint8_t> seeds, std::vector<std::uint64_t>& out);

// The shape of a level of k keys.
struct LevelShape {
  std::uint64_t keys = 0;
  std::uint64_t buckets = 0;
  std::uint64_t part = 0;
  std::uint32_t shift = 0;
  std::vector<std::uint64_t> starts;  // first bucket of each chunk, ascending, from 0
  std::uint64_t largest = 0;          // buckets of the largest chunk
  std::uint64_t seam = 0;             // w
};
LevelShape level_shape(std::uint64_t k, bool later);

// Unordered hashes grouped by chunk on demand (the level-0 feed of an unordered slice).
class Grouped {
 public:
  Grouped(std::span<const std::uint64_t> hashes, std::uint64_t buckets,
          std::span<const std::uint64_t> starts, unsigned threads);
  Grouped(const Grouped&) = delete;
  Grouped& operator=(const Grouped&) = delete;

  // Hands out the next chunk and its keys ordered by bucket (into `out`, using `counters` as
  // scratch); false when every chunk has been handed out. Any thread may call it.
  bool claim(std::uint64_t& chunk, std::vector<std::uint64_t>& out,
             std::vector<std::uint64_t>& counters);
  // The most keys any chunk holds.
  std::uint64_t largest_chunk_keys() const noexcept { return largest_keys_; }
  std::uint32_t groups() const noexcept { return groups_; }
  std::uint32_t group_of(std::uint64_t chunk) const noexcept { return chunk_group_[chunk]; }

 private:
  void copy_group(std::uint32_t group);
  std::uint64_t chunk_of(std::uint64_t h) const noexcept;

  std::span<const std::uint64_t> hashes_;
  std::uint64_t buckets_;
  std::vector<std::uint64_t> starts_;  // chunk starts, then B
  std::uint64_t chunks_;
  unsigned threads_;
  std::uint32_t block_shift_ = 16;
  std::vector<std::uint32_t> block_chunk_;
  std::uint32_t groups_ = 1;
  std::vector<std::uint32_t> chunk_group_;
  std::vector<std::uint64_t> group_first_;  // first chunk of each group, then C
  std::uint64_t range_len_ = 0;
  std::uint64_t ranges_ = 0;
  std::vector<std::uint32_t> counts_;  // range-major: counts_[r * C + chunk]
  Pages<std::uint64_t> markers_;       // 2 bits a hash: its group (only with C >= 2)
  std::uint64_t largest_keys_ = 0;
  std::vector<std::uint64_t> buffer_;        // the buffered group's keys, chunk after chunk
  std::vector<std::uint64_t> chunk_offset_;  // per chunk: first place in buffer_ (buffered group)

  std::mutex claim_mu_;
  std::uint64_t next_chunk_ = 0;
  std::int64_t buffered_ = -1;
  std::shared_mutex group_mu_;
};

// One built level: its occupancy, the keys (level hashes) it bumped in chunk, gap, end-seam
// order, the level, and how many hashes it read.
struct LevelBuild {
  Map map;
  std::vector<std::uint64_t> bumped;
  Level level;
  std::uint64_t read = 0;
};

// Builds one level over k keys from `input` on up to `threads` workers; `later` selects the
// chunking of levels after level 0. The result depends only on the keys.
LevelBuild build_level(std::uint64_t k, HashInput input, unsigned threads, bool later);

// Places the tail over its hashes; throws "minimal perfect hash: no seed placed every bucket".
struct Tail {
  Pages<std::uint16_t> seeds;
  std::uint64_t keys = 0, buckets = 0, slots = 0, seed = 0;
  std::vector<std::uint64_t> bitmap;
};
Tail build_tail(std::span<const std::uint64_t> hashes);

}  // namespace quenlith::mphf
