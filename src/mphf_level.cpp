// The parallel build of one level of the minimal perfect hash.
//
// A level's buckets are cut into chunks that workers claim in order. A chunk's keys reach slots
// up to one window (P slots) past the chunk's last base, so the last w buckets of each chunk are
// held back: the chunk's own run [start, next - w) is seeded against a private map, and the gap
// [next - w, next) is seeded once both chunks beside it are done, against the union of their
// maps. The level's end seam, whose windows may wrap to the first slots, is seeded last, against
// the whole level. Every chunk, gap and seam is seeded from inputs that do not depend on timing,
// and bumped keys are gathered in chunk order, then gap order, then the end seam, so the level is
// the same for any thread count.
#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <memory>
#include <optional>

#include "mphf_build.hpp"
#include "threads.hpp"
#include "bytes.hpp"

namespace quenlith::mphf {

using hash::mulhi;

namespace {

using bytes::ceil_div;

// floor(a * b / c) without overflow (c > 0).
std::uint64_t mul_div(std::uint64_t a, std::uint64_t b, std::uint64_t c) {
  return static_cast<std::uint64_t>(static_cast<unsigned __int128>(a) * b / c);
}

// The leads of the size classes at part 1024, in 1/1024 of a bucket: how far ahead of its place
// a bucket of 1, 2, ..., 15, 16+ keys is seeded. Larger buckets go first so that they find room;
// single keys trail, filling what is left.
constexpr std::int64_t kLeadMultipliers[16] = {-50137, 65904,  111782, 139890, 159029, 175922,
                                               186995, 198068, 209141, 220214, 231287, 242360,
                                               253433, 264506, 275579, 286652};

// Reservation threshold: floor(0.966 * 2^52).
constexpr std::uint64_t kReserve = 4350477240039899ULL;

// The schedule of a run: each size class's rank and bucket delay, so that bucket i of class k is
// searched at position 16 * (i + delay_k) + rank_k of a bitmap. This orders buckets by
// 1024 * i - lead_k, ties by index.
struct Schedule {
  std::uint32_t rank[16];
  std::uint32_t class_of_rank[16];
  std::uint64_t delay[16];
  std::uint64_t max_delay = 0;

  explicit Schedule(std::uint64_t part) {
    std::int64_t lead[16], u[16], f[16];
    std::int64_t umin = 0;
    for (unsigned k = 0; k < 16; ++k) {
      lead[k] = static_cast<std::int64_t>(part) * kLeadMultipliers[k] / 1024;
      const std::int64_t neg = -lead[k];
      u[k] = neg >= 0 ? neg / 1024 : -((-neg + 1023) / 1024);
      f[k] = neg - 1024 * u[k];
      umin = k == 0 ? u[k] : std::min(umin, u[k]);
    }
    // Rank of each lead among the 16 (ascending, equal leads by class index).
    unsigned lead_rank[16];
    for (unsigned k = 0; k < 16; ++k) {
      unsigned rk = 0;
      for (unsigned j = 0; j < 16; ++j)
        if (lead[j] < lead[k] || (lead[j] == lead[k] && j < k)) ++rk;
      lead_rank[k] = rk;
    }
    unsigned order[16];
    for (unsigned k = 0; k < 16; ++k) order[k] = k;
    std::sort(order, order + 16, [&](unsigned x, unsigned y) {
      if (f[x] != f[y]) return f[x] < f[y];
      return lead_rank[x] < lead_rank[y];
    });
    for (unsigned i = 0; i < 16; ++i) {
      rank[order[i]] = i;
      class_of_rank[i] = order[i];
    }
    for (unsigned k = 0; k < 16; ++k) {
      delay[k] = static_cast<std::uint64_t>(u[k] - umin);
      max_delay = std::max(max_delay, delay[k]);
    }
  }
};

}  // namespace

// ---- runs ----

void seed_run(const Level& level, std::span<const std::uint64_t> keys,
              std::span<const std::uint32_t> bounds, std::span<std::uint8_t> seeds, Map& map,
              std::uint64_t origin) {
  const std::uint64_t count = seeds.size();
  check_invariant(bounds.size() == count + 1, "a run has one bound more than buckets");
  if (count == 0) return;
  check_invariant(bounds[count] <= keys.size(), "a run's bounds lie inside its keys");
  const Schedule sched(level.part);
  const bool lanes = level.mode == 2 && level.part <= 1024 && (level.part >> level.shift) == 64;
  SearchContext cx{};
  if (lanes)
    cx = SearchContext{log2_table() + 95, level.slots,          origin,
                       level.part,        level.slots - origin, level.shift};
  auto scratch = std::make_unique<SearchScratch>();
  std::fill(std::begin(scratch->stamps), std::end(scratch->stamps), 0);
  scratch->epoch = 0;

  // The schedule bitmap: bit 16 * (i + delay) + rank for every non-empty bucket i.
  std::vector<std::uint64_t> bits(
      static_cast<std::size_t>(ceil_div(16 * (count + sched.max_delay + 1), 64)), 0);
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint32_t size = bounds[i + 1] - bounds[i];
    if (size == 0) continue;
    const unsigned k = std::min<std::uint32_t>(size, 16) - 1;
    const std::uint64_t bit = 16 * (i + sched.delay[k]) + sched.rank[k];
    bits[bit >> 6] |= std::uint64_t{1} << (bit & 63);
  }
  for (std::uint64_t w = 0; w < bits.size(); ++w) {
    std::uint64_t word = bits[w];
    while (word != 0) {
      const std::uint64_t bit = 64 * w + static_cast<std::uint64_t>(std::countr_zero(word));
      word &= word - 1;
      const unsigned k = sched.class_of_rank[bit & 15];
      const std::uint64_t i = (bit >> 4) - sched.delay[k];
      const std::span<const std::uint64_t> bucket =
          keys.subspan(bounds[i], bounds[i + 1] - bounds[i]);
      std::uint8_t seed = 0;
      bool done = false;
      if (lanes && bucket.size() <= 16) {
        const auto [handled, choice] = seed_bucket_lanes_n(cx, bucket, map, *scratch);
        if (handled) {
          seed = static_cast<std::uint8_t>(choice & 255);
          done = true;
        }
      }
      if (!done) seed = seed_bucket(level, bucket, map, origin);
      seeds[i] = seed;
    }
  }
}

void bucket_ends(std::span<const std::uint64_t> keys, std::uint64_t buckets, std::uint64_t first,
                 std::span<std::uint32_t> bounds) {
  check_invariant(!bounds.empty(), "a chunk's bounds have room for its buckets");
  const std::uint64_t count = bounds.size() - 1;
  std::fill(bounds.begin(), bounds.end(), 0);
  std::uint64_t last = first;
  for (std::uint64_t j = 0; j < keys.size(); ++j) {
    const std::uint64_t b = mulhi(keys[j], buckets);
    // Keys arrive grouped by ascending bucket, inside their chunk; anything else is a source
    // that broke its promise to ascend.
    if (b < last || b - first >= count) panic("a source yields its hashes in ascending order");
    last = b;
    bounds[b - first + 1] = static_cast<std::uint32_t>(j + 1);
  }
  for (std::uint64_t x = 1; x <= count; ++x) bounds[x] = std::max(bounds[x], bounds[x - 1]);
}

void bumped_keys(std::span<const std::uint64_t> keys, std::span<const std::uint32_t> bounds,
                 std::span<const std::uint8_t> seeds, std::vector<std::uint64_t>& out) {
  for (std::uint64_t i = 0; i < seeds.size(); ++i)
    if (seeds[i] == 0)
      out.insert(out.end(), keys.begin() + bounds[i], keys.begin() + bounds[i + 1]);
}

LevelShape level_shape(std::uint64_t k, bool later) {
  LevelShape sh;
  sh.keys = k;
  sh.buckets = std::max<std::uint64_t>(
      static_cast<std::uint64_t>((static_cast<unsigned __int128>(2) * k + 8) / 9), 1);
  sh.part = k < 4096 ? 256 : k < 32768 ? 512 : 1024;
  sh.shift = static_cast<std::uint32_t>(std::bit_width(sh.part) - 1) - 6;
  const std::uint64_t B = sh.buckets;
  sh.starts.push_back(0);
  if (!later && B >= 262144) {
    const std::uint64_t q = (B - 196608) / 65536;
    for (std::uint64_t i = 1; i <= q + 1; ++i) sh.starts.push_back(i * 65536);
    const std::uint64_t base = (q + 1) * 65536;
    const std::uint64_t rest = B - base;
    for (std::uint64_t j = 1; j <= (rest - 32768) / 16384 + 1; ++j)
      sh.starts.push_back(base + 16384 * j);
  } else {
    const std::uint64_t s =
        std::min<std::uint64_t>(std::max<std::uint64_t>(B / 8, later ? 4096 : 16384), 65536);
    while (B - sh.starts.back() >= 2 * s) sh.starts.push_back(sh.starts.back() + s);
  }
  for (std::size_t i = 0; i < sh.starts.size(); ++i) {
    const std::uint64_t next = i + 1 < sh.starts.size() ? sh.starts[i + 1] : B;
    sh.largest = std::max(sh.largest, next - sh.starts[i]);
  }
  sh.seam = std::min(B / 2, static_cast<std::uint64_t>(
                                (static_cast<unsigned __int128>(sh.part + 2) * B + k - 1) / k) +
                                1);
  return sh;
}

// ---- grouping of unordered hashes ----

Grouped::Grouped(std::span<const std::uint64_t> hashes, std::uint64_t buckets,
                 std::span<const std::uint64_t> starts, unsigned threads)
    : hashes_(hashes),
      buckets_(buckets),
      starts_(starts.begin(), starts.end()),
      chunks_(starts.size()),
      threads_(threads < 2 ? 1 : threads) {
  starts_.push_back(buckets);
  const std::uint64_t C = chunks_;
  const std::uint64_t n = hashes.size();
  for (std::uint64_t i = 1; i < C; ++i)
    block_shift_ = std::min<std::uint32_t>(
        block_shift_, static_cast<std::uint32_t>(std::countr_zero(starts_[i])));
  block_chunk_.resize(
      static_cast<std::size_t>(ceil_div(buckets, std::uint64_t{1} << block_shift_)));
  for (std::uint64_t c = 0, x = 0; x < block_chunk_.size(); ++x) {
    while (c + 1 < C && (x << block_shift_) >= starts_[c + 1]) ++c;
    block_chunk_[x] = static_cast<std::uint32_t>(c);
  }
  groups_ = static_cast<std::uint32_t>(std::min<std::uint64_t>(C, 4));
  chunk_group_.resize(C);
  group_first_.assign(groups_ + 1, C);
  for (std::uint64_t c = C; c-- > 0;) {
    chunk_group_[c] = static_cast<std::uint32_t>(mul_div(starts_[c], groups_, buckets));
    group_first_[chunk_group_[c]] = c;
  }
  for (std::uint32_t g = groups_; g-- > 0;)
    group_first_[g] = std::min(group_first_[g], group_first_[g + 1]);

  range_len_ = std::max<std::uint64_t>(ceil_div(ceil_div(n, threads_), 32) * 32, 65536);
  ranges_ = std::max<std::uint64_t>(ceil_div(n, range_len_), 1);
  counts_.assign(static_cast<std::size_t>(ranges_ * C), 0);
  const bool marked = C >= 2;
  if (marked) markers_ = Pages<std::uint64_t>::allocate(ceil_div(n, 32));
  threads::run_workers(static_cast<unsigned>(ranges_), [&](unsigned r) {
    const std::uint64_t lo = r * range_len_;
    const std::uint64_t hi = std::min(n, lo + range_len_);
    std::uint32_t* counts = counts_.data() + r * C;
    for (std::uint64_t block = lo; block < hi; block += 32) {
      const std::uint64_t end = std::min(hi, block + 32);
      std::uint64_t marker = 0;
      for (std::uint64_t j = block; j < end; ++j) {
        const std::uint64_t c = chunk_of(hashes_[j]);
        ++counts[c];
        marker |= std::uint64_t{chunk_group_[c]} << (2 * (j - block));
      }
      if (marked) {
        if (block / 32 >= markers_.size()) panic("a word every 32 keys");
        markers_[block / 32] = marker;
      }
    }
  });
  std::uint64_t largest_group = 0;
  for (std::uint32_t g = 0; g < groups_; ++g) {
    std::uint64_t total = 0;
    for (std::uint64_t c = group_first_[g]; c < group_first_[g + 1]; ++c) {
      std::uint64_t keys = 0;
      for (std::uint64_t r = 0; r < ranges_; ++r) keys += counts_[r * C + c];
      largest_keys_ = std::max(largest_keys_, keys);
      total += keys;
    }
    largest_group = std::max(largest_group, total);
  }
  buffer_.resize(static_cast<std::size_t>(largest_group));
  chunk_offset_.assign(C + 1, 0);
  copy_group(0);
  buffered_ = 0;
}

std::uint64_t Grouped::chunk_of(std::uint64_t h) const noexcept {
  return block_chunk_[mulhi(h, buckets_) >> block_shift_];
}

void Grouped::copy_group(std::uint32_t group) {
  const std::uint64_t C = chunks_;
  const std::uint64_t c0 = group_first_[group];
  const std::uint64_t c1 = group_first_[group + 1];
  const std::uint64_t n = hashes_.size();
  // Places: chunk after chunk, and within a chunk range after range.
  std::vector<std::uint64_t> place(static_cast<std::size_t>(ranges_ * (c1 - c0)));
  std::uint64_t at = 0;
  for (std::uint64_t c = c0; c < c1; ++c) {
    chunk_offset_[c] = at;
    for (std::uint64_t r = 0; r < ranges_; ++r) {
      place[r * (c1 - c0) + (c - c0)] = at;
      at += counts_[r * C + c];
    }
  }
  chunk_offset_[c1] = at;
  const bool marked = C >= 2;
  // The 2-bit pattern of `group` repeated over a word: a marker word XOR it has a zero pair
  // exactly where a hash belongs to the group.
  const std::uint64_t pattern = std::uint64_t{group} * 0x5555555555555555ULL;
  threads::run_workers(static_cast<unsigned>(ranges_), [&](unsigned r) {
    const std::uint64_t lo = r * range_len_;
    const std::uint64_t hi = std::min(n, lo + range_len_);
    std::uint64_t* places = place.data() + r * (c1 - c0);
    for (std::uint64_t block = lo; block < hi; block += 32) {
      const std::uint64_t len = std::min<std::uint64_t>(hi - block, 32);
      std::uint64_t select;
      if (marked) {
        const std::uint64_t x = markers_[block / 32] ^ pattern;
        select = ~(x | (x >> 1)) & 0x5555555555555555ULL;
        if (len < 32) select &= (std::uint64_t{1} << (2 * len)) - 1;
      } else {
        select = len == 32 ? 0x5555555555555555ULL
                           : (0x5555555555555555ULL & ((std::uint64_t{1} << (2 * len)) - 1));
      }
      while (select != 0) {
        const std::uint64_t j = block + static_cast<std::uint64_t>(std::countr_zero(select)) / 2;
        select &= select - 1;
        const std::uint64_t h = hashes_[j];
        const std::uint64_t c = chunk_of(h);
        if (c < c0 || c >= c1) continue;
        buffer_[places[c - c0]++] = h;
      }
    }
  });
}

bool Grouped::claim(std::uint64_t& chunk, std::vector<std::uint64_t>& out,
                    std::vector<std::uint64_t>& counters) {
  std::unique_lock<std::mutex> claim(claim_mu_);
  if (next_chunk_ == chunks_) return false;
  chunk = next_chunk_++;
  const std::uint32_t group = chunk_group_[chunk];
  if (static_cast<std::int64_t>(group) != buffered_) {
    std::unique_lock<std::shared_mutex> write(group_mu_);
    copy_group(group);
    buffered_ = group;
  }
  // Take the read side before giving up the claim, so no later claim can replace the group
  // buffer under this one.
  std::shared_lock<std::shared_mutex> read(group_mu_);
  claim.unlock();
  const std::uint64_t first = starts_[chunk];
  const std::uint64_t nb = starts_[chunk + 1] - first;
  const std::uint64_t* keys = buffer_.data() + chunk_offset_[chunk];
  const std::uint64_t count = chunk_offset_[chunk + 1] - chunk_offset_[chunk];
  counters.assign(static_cast<std::size_t>(nb + 1), 0);
  for (std::uint64_t j = 0; j < count; ++j) ++counters[mulhi(keys[j], buckets_) - first + 1];
  for (std::uint64_t x = 1; x <= nb; ++x) counters[x] += counters[x - 1];
  out.resize(static_cast<std::size_t>(count));
  for (std::uint64_t j = 0; j < count; ++j)
    out[counters[mulhi(keys[j], buckets_) - first]++] = keys[j];
  return true;
}

// ---- level build ----

namespace {

// What a chunk hands on: its map (reserved slots free again), the map's first slot, and the keys
// and bounds of its last w buckets (the gap after it, or the level's end seam).
struct Piece {
  Map map;
  std::uint64_t origin = 0;
  std::vector<std::uint64_t> gap_keys;
  std::vector<std::uint32_t> gap_bounds;
};

template <class T>
struct Slot {
  std::mutex mu;
  std::optional<T> value;
};

// The reader of an ascending source, shared by the workers; chunks are claimed and read under
// one lock, so source order and chunk order agree.
// Where a level's chunks come from, in one of the three kinds of input. Workers call `next` at
// once; it hands out chunk numbers in ascending order, each once, with the chunk's keys (in the
// worker's `keys`, or a view of the input), and false once none is left.
class ChunkFeed {
 public:
  virtual ~ChunkFeed() = default;
  // Keys a worker's buffer should have room for.
  virtual std::uint64_t buffer_keys() const { return 0; }
  virtual bool next(std::uint64_t& c, std::vector<std::uint64_t>& keys,
                    std::vector<std::uint64_t>& counters,
                    std::span<const std::uint64_t>& chunk_keys) = 0;
  // Hashes read from the input so far.
  virtual std::uint64_t read() const = 0;
};

// Ascending hashes in memory: a chunk is the slice's run of keys whose buckets it covers, found
// by binary search up front.
class OrderedFeed final : public ChunkFeed {
 public:
  OrderedFeed(std::span<const std::uint64_t> slice, const LevelShape& shape) : slice_(slice) {
    const std::uint64_t B = shape.buckets;
    const std::uint64_t C = shape.starts.size();
    offsets_.resize(C + 1);
    for (std::uint64_t c = 0; c < C; ++c) {
      const std::uint64_t s = shape.starts[c];
      offsets_[c] = static_cast<std::uint64_t>(
          std::partition_point(slice.begin(), slice.end(),
                               [&](std::uint64_t h) { return mulhi(h, B) < s; }) -
          slice.begin());
    }
    offsets_[C] = slice.size();
  }
  bool next(std::uint64_t& c, std::vector<std::uint64_t>&, std::vector<std::uint64_t>&,
            std::span<const std::uint64_t>& chunk_keys) override {
    c = next_chunk_.fetch_add(1, std::memory_order_relaxed);
    if (c + 1 >= offsets_.size()) return false;
    chunk_keys = slice_.subspan(offsets_[c], offsets_[c + 1] - offsets_[c]);
    return true;
  }
  std::uint64_t read() const override { return slice_.size(); }

 private:
  std::span<const std::uint64_t> slice_;
  std::vector<std::uint64_t> offsets_;
  std::atomic<std::uint64_t> next_chunk_{0};
};

// Ascending hashes from a source, read once under a lock: a chunk takes the hashes up to its
// last bucket, the last chunk whatever is left.
class SourceFeed final : public ChunkFeed {
 public:
  SourceFeed(HashSource& source, const LevelShape& shape, std::uint64_t k)
      : source_(&source), shape_(&shape), buffer_(4096) {
    const std::uint64_t guess = mul_div(k, shape.largest, shape.buckets);
    reserve_ = guess + 4 * static_cast<std::uint64_t>(std::sqrt(static_cast<double>(guess)));
  }
  std::uint64_t buffer_keys() const override { return reserve_; }
  bool next(std::uint64_t& c, std::vector<std::uint64_t>& keys, std::vector<std::uint64_t>&,
            std::span<const std::uint64_t>& chunk_keys) override {
    std::lock_guard<std::mutex> g(mu_);
    const std::uint64_t C = shape_->starts.size();
    if (next_chunk_ == C) return false;
    c = next_chunk_++;
    const bool last = c + 1 == C;
    const std::uint64_t limit = last ? shape_->buckets : shape_->starts[c + 1];
    keys.clear();
    for (;;) {
      if (pos_ == end_ && !refill()) break;
      const std::uint64_t h = buffer_[pos_];
      if (!last && mulhi(h, shape_->buckets) >= limit) break;
      keys.push_back(h);
      ++pos_;
    }
    read_ += keys.size();
    chunk_keys = keys;
    return true;
  }
  std::uint64_t read() const override { return read_; }

 private:
  bool refill() {
    if (exhausted_) return false;
    pos_ = 0;
    end_ = source_->next_batch(buffer_);
    if (end_ > buffer_.size()) panic("a source writes no more hashes than asked");
    if (end_ == 0) exhausted_ = true;
    return end_ != 0;
  }

  std::mutex mu_;
  HashSource* source_;
  const LevelShape* shape_;
  std::vector<std::uint64_t> buffer_;  // read ahead, [pos_, end_) not yet handed out
  std::size_t pos_ = 0, end_ = 0;
  bool exhausted_ = false;
  std::uint64_t next_chunk_ = 0;
  std::uint64_t read_ = 0;
  std::uint64_t reserve_ = 0;
};

// Unordered hashes in memory, grouped by chunk on demand.
class GroupedFeed final : public ChunkFeed {
 public:
  GroupedFeed(std::span<const std::uint64_t> slice, const LevelShape& shape, unsigned threads)
      : grouped_(slice, shape.buckets, shape.starts, threads), read_(slice.size()) {}
  std::uint64_t buffer_keys() const override { return grouped_.largest_chunk_keys(); }
  bool next(std::uint64_t& c, std::vector<std::uint64_t>& keys,
            std::vector<std::uint64_t>& counters,
            std::span<const std::uint64_t>& chunk_keys) override {
    if (!grouped_.claim(c, keys, counters)) return false;
    chunk_keys = keys;
    return true;
  }
  std::uint64_t read() const override { return read_; }

 private:
  Grouped grouped_;
  std::uint64_t read_;
};

std::unique_ptr<ChunkFeed> feed_for(HashInput& input, const LevelShape& shape, std::uint64_t k,
                                    unsigned threads) {
  switch (input.kind()) {
    case HashInput::Kind::Ordered:
      return std::make_unique<OrderedFeed>(input.slice(), shape);
    case HashInput::Kind::Source:
      return std::make_unique<SourceFeed>(input.hash_source(), shape, k);
    case HashInput::Kind::Unordered:
      return std::make_unique<GroupedFeed>(input.slice(), shape, threads);
  }
  panic("a hash input is of one of three kinds");
}

struct LevelState {
  const LevelShape& shape;
  Level& level;
  std::uint64_t chunks;
  std::vector<Slot<Piece>> pieces;
  std::vector<Slot<std::vector<std::uint64_t>>> bumped_slots;
  std::mutex flush_mu;
  std::uint64_t next_flush = 0;
  std::vector<std::uint64_t> bumped;
  std::vector<Slot<std::vector<std::uint64_t>>> gap_results;
  Slot<std::pair<std::vector<std::uint64_t>, std::vector<std::uint32_t>>> end_slot;
  std::vector<std::atomic<std::uint8_t>> placed;
  std::vector<std::atomic<std::uint8_t>> gap_taken;
  std::vector<std::atomic<std::uint32_t>> neighbours;
  std::mutex seeds_mu;
  std::mutex map_mu;
  Map level_map;
  std::atomic<bool> failed{false};

  LevelState(const LevelShape& sh, Level& lv)
      : shape(sh),
        level(lv),
        chunks(sh.starts.size()),
        pieces(chunks),
        bumped_slots(chunks),
        gap_results(chunks > 0 ? chunks - 1 : 0),
        placed(chunks),
        gap_taken(chunks),
        neighbours(chunks) {
    for (std::uint64_t i = 0; i < chunks; ++i) {
      placed[i].store(0);
      gap_taken[i].store(0);
      neighbours[i].store((i > 0 ? 1u : 0u) + (i + 1 < chunks ? 1u : 0u));
    }
    bumped.reserve(static_cast<std::size_t>(sh.keys / 32));
    level_map = Map::for_level(sh.keys, sh.shift);
  }

  std::uint64_t start(std::uint64_t c) const {
    return c < chunks ? shape.starts[c] : shape.buckets;
  }

  void copy_seeds(std::uint64_t first, std::span<const std::uint8_t> seeds) {
    std::lock_guard<std::mutex> g(seeds_mu);
    std::copy(seeds.begin(), seeds.end(), level.seeds.data() + first);
  }

  void merge_into_level(const Map& map, std::uint64_t origin) {
    std::lock_guard<std::mutex> g(map_mu);
    Map::merge(level_map, map, static_cast<std::int64_t>((origin >> shape.shift) / 64));
  }

  // Merges a chunk's piece into the level map once every gap beside it is placed.
  void release(std::uint64_t c) {
    std::optional<Piece> piece;
    {
      std::lock_guard<std::mutex> g(pieces[c].mu);
      if (!pieces[c].value) panic("a chunk is released once, after it is placed");
      piece = std::move(pieces[c].value);
      pieces[c].value.reset();
    }
    merge_into_level(piece->map, piece->origin);
    if (c + 1 == chunks) {
      std::lock_guard<std::mutex> g(end_slot.mu);
      if (end_slot.value) panic("one chunk ends the level");
      end_slot.value.emplace(std::move(piece->gap_keys), std::move(piece->gap_bounds));
    }
  }

  void flush_bumped(std::uint64_t c, std::vector<std::uint64_t>&& keys) {
    {
      std::lock_guard<std::mutex> g(bumped_slots[c].mu);
      bumped_slots[c].value = std::move(keys);
    }
    std::lock_guard<std::mutex> f(flush_mu);
    while (next_flush < chunks) {
      std::lock_guard<std::mutex> g(bumped_slots[next_flush].mu);
      if (!bumped_slots[next_flush].value) break;
      bumped.insert(bumped.end(), bumped_slots[next_flush].value->begin(),
                    bumped_slots[next_flush].value->end());
      bumped_slots[next_flush].value.reset();
      ++next_flush;
    }
  }

  // A map over the slot window [floor(S * lo / B) rounded down to P, end).
  std::pair<Map, std::uint64_t> window_map(std::uint64_t lo_bucket, std::uint64_t end) const {
    const std::uint64_t S = shape.keys;
    const std::uint64_t first = mul_div(S, lo_bucket, shape.buckets) / shape.part * shape.part;
    const std::uint64_t stride = (((end > first ? end - first : 0) >> shape.shift) >> 6) + 3;
    return {Map::zeroed(stride, shape.shift), first};
  }

  void place_gap(std::uint64_t g) {
    const std::uint64_t S = shape.keys;
    const std::uint64_t w = shape.seam;
    const std::uint64_t hi = start(g + 1);
    const std::uint64_t lo = hi - w;
    auto [map, origin] = window_map(lo, mul_div(S, hi, shape.buckets) + shape.part);
    std::vector<std::uint8_t> seeds(static_cast<std::size_t>(w), 0);
    std::vector<std::uint64_t> gap_bumped;
    {
      std::lock_guard<std::mutex> a(pieces[g].mu);
      std::lock_guard<std::mutex> b(pieces[g + 1].mu);
      if (!pieces[g].value || !pieces[g + 1].value) panic("done follows set");
      for (const Piece* p : {&*pieces[g].value, &*pieces[g + 1].value}) {
        const std::int64_t off = static_cast<std::int64_t>((p->origin >> shape.shift) / 64) -
                                 static_cast<std::int64_t>((origin >> shape.shift) / 64);
        Map::merge(map, p->map, off);
      }
      const Piece& left = *pieces[g].value;
      seed_run(level, left.gap_keys, left.gap_bounds, seeds, map, origin);
      bumped_keys(left.gap_keys, left.gap_bounds, seeds, gap_bumped);
    }
    copy_seeds(lo, seeds);
    {
      std::lock_guard<std::mutex> r(gap_results[g].mu);
      if (gap_results[g].value) panic("a gap is placed once");
      gap_results[g].value = std::move(gap_bumped);
    }
    merge_into_level(map, origin);
    for (std::uint64_t c : {g, g + 1})
      if (neighbours[c].fetch_sub(1, std::memory_order_acq_rel) == 1) release(c);
  }

  // Seeds chunk c's run over its keys (grouped by bucket) and hands the piece on.
  void place_chunk(std::uint64_t c, std::span<const std::uint64_t> keys,
                   std::vector<std::uint32_t>& bounds) {
    const std::uint64_t S = shape.keys;
    const std::uint64_t B = shape.buckets;
    const std::uint64_t P = shape.part;
    const std::uint64_t first = start(c);
    const std::uint64_t next = start(c + 1);
    const std::uint64_t nb = next - first;
    check_invariant(shape.seam <= nb, "a chunk is wider than its seam");
    const std::uint64_t run_end = next - shape.seam;
    const std::uint64_t run = run_end - first;
    bounds.resize(static_cast<std::size_t>(nb + 1));
    bucket_ends(keys, B, first, std::span<std::uint32_t>(bounds.data(), nb + 1));

    auto [map, origin] = window_map(first, std::min(S, mul_div(S, run_end, B) + P));
    // Hold back slots at the chunk's start, densest at its first base, for the gap before it
    // (and, for chunk 0, the end seam's wrapping windows); they are freed after the run.
    const std::uint64_t b0 = mul_div(S, first, B);
    std::vector<std::uint64_t> reserved;
    const std::uint64_t reach = std::min(S - b0, P);
    for (std::uint64_t j = 0; j < reach; ++j) {
      std::uint64_t x = (j ^ (first << 20) ^ hash::G) + hash::G;
      x ^= x >> 30;
      x *= 0xBF58476D1CE4E5B9ULL;
      x ^= x >> 27;
      x *= 0x94D049BB133111EBULL;
      const std::uint64_t v = (x >> 43) ^ (x >> 12);
      if (v < (P - j) * kReserve / P) {
        map.set(b0 + j - origin);
        reserved.push_back(b0 + j - origin);
      }
    }
    std::vector<std::uint8_t> seeds(static_cast<std::size_t>(run), 0);
    const std::span<const std::uint32_t> run_bounds(bounds.data(), run + 1);
    seed_run(level, keys, run_bounds, seeds, map, origin);
    for (std::uint64_t slot : reserved) map.clear(slot);
    std::vector<std::uint64_t> chunk_bumped;
    bumped_keys(keys, run_bounds, seeds, chunk_bumped);

    Piece piece;
    const std::uint32_t gap_from = bounds[run];
    piece.gap_keys.assign(keys.begin() + gap_from, keys.begin() + bounds[nb]);
    piece.gap_bounds.resize(static_cast<std::size_t>(nb - run + 1));
    for (std::uint64_t j = 0; j <= nb - run; ++j) piece.gap_bounds[j] = bounds[run + j] - gap_from;
    piece.map = std::move(map);
    piece.origin = origin;

    copy_seeds(first, seeds);
    flush_bumped(c, std::move(chunk_bumped));
    {
      std::lock_guard<std::mutex> g(pieces[c].mu);
      pieces[c].value = std::move(piece);
    }
    placed[c].store(1, std::memory_order_release);
    // A chunk with no gap beside it (a level of one chunk) is released now; any other is released
    // by the placing of its last gap, which may already be under way on another worker.
    if (chunks == 1) release(c);
    for (std::uint64_t g = c == 0 ? 0 : c - 1; g <= c && g + 1 < chunks; ++g) {
      if (placed[g].load(std::memory_order_acquire) &&
          placed[g + 1].load(std::memory_order_acquire) &&
          gap_taken[g].exchange(1, std::memory_order_acq_rel) == 0)
        place_gap(g);
    }
  }
};

}  // namespace

LevelBuild build_level(std::uint64_t k, HashInput input, unsigned threads, bool later) {
  check_invariant(k >= 1, "a level holds at least one key");
  const unsigned t = threads < 2 ? 1 : threads;
  const LevelShape shape = level_shape(k, later);
  const std::uint64_t B = shape.buckets;
  const std::uint64_t C = shape.starts.size();

  LevelBuild out;
  out.level.slots = k;
  out.level.buckets = B;
  out.level.part = shape.part;
  out.level.shift = shape.shift;
  out.level.mode = 2;
  out.level.seeds = Pages<std::uint8_t>::allocate(B);
  std::fill(out.level.seeds.begin(), out.level.seeds.end(), 0);

  LevelState st(shape, out.level);
  const std::unique_ptr<ChunkFeed> feed = feed_for(input, shape, k, t);
  const unsigned workers = static_cast<unsigned>(std::min<std::uint64_t>(t, C));
  threads::run_workers(workers, [&](unsigned) {
    std::vector<std::uint32_t> bounds;
    bounds.reserve(static_cast<std::size_t>(shape.largest + 2));
    std::vector<std::uint64_t> keys;
    std::vector<std::uint64_t> counters;
    keys.reserve(static_cast<std::size_t>(feed->buffer_keys()));
    try {
      std::uint64_t c = 0;
      std::span<const std::uint64_t> chunk_keys;
      while (!st.failed.load(std::memory_order_relaxed) &&
             feed->next(c, keys, counters, chunk_keys))
        st.place_chunk(c, chunk_keys, bounds);
    } catch (...) {
      st.failed.store(true);
      throw;
    }
  });
  out.read = feed->read();

  if (!st.end_slot.value) panic("the last chunk ends the level");
  for (auto& gap : st.gap_results)
    if (!gap.value) panic("every gap was placed");
  for (auto& gap : st.gap_results)
    st.bumped.insert(st.bumped.end(), gap.value->begin(), gap.value->end());
  // The end seam, against the whole level: its windows may wrap to the first slots.
  const std::uint64_t w = shape.seam;
  std::vector<std::uint8_t> seeds(static_cast<std::size_t>(w), 0);
  const auto& [end_keys, end_bounds] = *st.end_slot.value;
  seed_run(out.level, end_keys, end_bounds, seeds, st.level_map, 0);
  std::copy(seeds.begin(), seeds.end(), out.level.seeds.data() + (B - w));
  bumped_keys(end_keys, end_bounds, seeds, st.bumped);
  out.map = std::move(st.level_map);
  out.bumped = std::move(st.bumped);
  return out;
}

}  // namespace quenlith::mphf
