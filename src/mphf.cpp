// The minimal perfect hash's queries (single and batched), its Elias–Fano remap, and the
// top-level in-memory build entry point.
#include "mphf.hpp"

#include <algorithm>
#include <atomic>
#include <bit>

#include "bytes.hpp"
#include "threads.hpp"

namespace quenlith::mphf {

using hash::G;
using hash::mix;
using hash::mulhi;

namespace {

const char* const kSectionsTooLarge = "mphf: blob sections do not fit in memory";
const char* const kBlockOutruns = "mphf: a remap block outruns its super-sample";
const char* const kEntryOutside = "mphf: a remap entry points outside the image";
const char* const kRunsBackwards = "mphf: a remap's entries run backwards";
const char* const kHoleCount = "mphf: occupied values disagree with the hole count";

using bytes::ceil_div;

// The `width` bits at bit `bit` of a little-endian bit array of words (width 1 to 63); the caller
// guarantees they lie inside the array.
std::uint64_t read_bits(const std::uint64_t* words, std::uint64_t bit, unsigned width) {
  const std::uint64_t word = bit >> 6;
  const unsigned off = static_cast<unsigned>(bit & 63);
  std::uint64_t v = words[word] >> off;
  if (off + width > 64) v |= words[word + 1] << (64 - off);
  return v & ((std::uint64_t{1} << width) - 1);
}

void write_bits(std::uint64_t* words, std::uint64_t bit, unsigned width, std::uint64_t value) {
  const std::uint64_t word = bit >> 6;
  const unsigned off = static_cast<unsigned>(bit & 63);
  value &= (std::uint64_t{1} << width) - 1;
  words[word] |= value << off;
  if (off + width > 64) words[word + 1] |= value >> (64 - off);
}

template <class T>
Pages<T> zeroed(std::uint64_t n) {
  Pages<T> p = Pages<T>::allocate(n);
  std::fill(p.begin(), p.end(), T{0});
  return p;
}

}  // namespace

void refuse_too_many_keys(std::uint64_t count) {
  if (count > kMaxKeys) throw IndexError::build("minimal perfect hash: more than u32::MAX keys");
}

std::uint32_t Level::shift_for(std::uint64_t part, std::uint32_t mode) noexcept {
  if (mode == 2) {
    const unsigned log = static_cast<unsigned>(std::bit_width(part)) - 1;
    return log >= 6 ? log - 6 : 0;
  }
  return part < 512 ? 0 : 1;
}

// ---- Remap ----

std::uint64_t Remap::beyond(const std::uint64_t* words, std::uint64_t count, std::uint64_t start,
                            std::uint64_t rank) noexcept {
  for (std::uint64_t i = start; i < count; ++i) {
    const std::uint64_t c = static_cast<std::uint64_t>(std::popcount(words[i]));
    if (rank < c) return 64 * i + detail::select64(words[i], rank);
    rank -= c;
  }
  return 0;
}

namespace {

// Encodes E values handed out one by one, in order, by `next()` (non-decreasing, below U), so a
// caller that derives them need not hold them all.
template <class Next>
Remap encode_values(std::uint64_t e_count, std::uint64_t universe, Next&& next) {
  Remap m;
  if (e_count == 0) return m;
  const std::uint64_t ratio = std::max<std::uint64_t>(universe / e_count, 1);
  const unsigned w = static_cast<unsigned>(std::bit_width(ratio)) - 1;
  const std::uint64_t top = universe == 0 ? 0 : (universe - 1) >> w;
  if (top > ~std::uint64_t{0} - e_count) throw IndexError::format(kSectionsTooLarge);
  const std::uint64_t t = top + e_count;
  m.high = zeroed<std::uint64_t>(ceil_div(t, 64) + 4);
  // E*w fits: w <= log2(U / E), so E*w < E * 64 with E*w bits no more than 64 * U.
  m.low = zeroed<std::uint64_t>(ceil_div(e_count * w, 64));
  m.supers = zeroed<std::uint32_t>(ceil_div(e_count, 2048));
  m.samples = zeroed<std::uint16_t>(ceil_div(e_count, 64));
  for (std::uint64_t k = 0; k < e_count; ++k) {
    const std::uint64_t v = next();
    if (w != 0) write_bits(m.low.data(), k * w, w, v);
    const std::uint64_t p = k + (v >> w);
    m.high[p >> 6] |= std::uint64_t{1} << (p & 63);
    if ((k & 2047) == 0) {
      if (p > 0xFFFFFFFFULL) throw IndexError::format(kSectionsTooLarge);
      m.supers[k >> 11] = static_cast<std::uint32_t>(p);
    }
    if ((k & 63) == 0) {
      const std::uint64_t d = p - m.supers[k >> 11];
      if (d > 0xFFFF) throw IndexError::format(kBlockOutruns);
      m.samples[k >> 6] = static_cast<std::uint16_t>(d);
    }
  }
  m.len = e_count;
  m.width = w;
  return m;
}

// The ascending hole list of an older remap, decoded one hole at a time from its Elias–Fano
// words: the k-th set bit of `high` at position p gives ((p - k) << w2) | the k-th w2 low bits.
class HoleCursor {
 public:
  HoleCursor(std::span<const std::uint64_t> high, std::span<const std::uint64_t> low,
             std::uint32_t w2)
      : high_(high), low_(low), w2_(w2) {}

  // The position of the next set bit of `high` and its rank k, or false when none is left.
  bool next_bit(std::uint64_t& p, std::uint64_t& k) {
    while (word_ == 0) {
      if (index_ >= high_.size()) return false;
      word_ = high_[index_++];
    }
    p = 64 * (index_ - 1) + static_cast<std::uint64_t>(std::countr_zero(word_));
    word_ &= word_ - 1;
    k = rank_++;
    return true;
  }
  // Hole k at high-bit position p (p >= k); false when its low bits lie outside `low`.
  bool hole(std::uint64_t p, std::uint64_t k, std::uint64_t& out) const {
    out = p - k;
    if (w2_ == 0) return true;
    // The low bits of hole k lie inside `low` (sized ceil(H * w2 / 64) by the reader).
    if (w2_ > 63 || (k * w2_ + w2_ + 63) / 64 > low_.size()) return false;
    out = read_bits(low_.data(), k * w2_, w2_) | (out << w2_);
    return true;
  }

 private:
  std::span<const std::uint64_t> high_;
  std::span<const std::uint64_t> low_;
  std::uint32_t w2_;
  std::uint64_t index_ = 0;
  std::uint64_t word_ = 0;
  std::uint64_t rank_ = 0;
};

}  // namespace

Remap Remap::encode(std::span<const std::uint64_t> values, std::uint64_t universe) {
  std::size_t i = 0;
  return encode_values(values.size(), universe, [&] { return values[i++]; });
}

bool Remap::validate(std::uint64_t universe) const {
  const std::uint64_t e_count = len;
  if (width > 63) return false;
  const auto low_bits = bytes::checked_mul(e_count, width);
  if (!low_bits || low.size() != ceil_div(*low_bits, 64)) return false;
  if (e_count > 0) {
    const std::uint64_t top = universe == 0 ? 0 : (universe - 1) >> width;
    if (top > ~std::uint64_t{0} - e_count) return false;
    if (high.size() != ceil_div(top + e_count, 64) + 4) return false;
  } else if (!high.empty()) {
    return false;
  }
  if (supers.size() != ceil_div(e_count, 2048) || samples.size() != ceil_div(e_count, 64))
    return false;
  const std::uint64_t words = high.size();
  for (std::uint64_t i = words - std::min<std::uint64_t>(words, 4); i < words; ++i)
    if (high[i] != 0) return false;
  if (words >= 5) {
    std::uint64_t k = 0;
    for (std::uint64_t i = 0; i + 4 < words; ++i) {
      std::uint64_t x = high[i];
      while (x != 0) {
        const std::uint64_t p = 64 * i + static_cast<std::uint64_t>(std::countr_zero(x));
        x &= x - 1;
        if (k >= e_count || p < k) return false;
        if ((k & 2047) == 0 && supers[k >> 11] != p) return false;
        if ((k & 63) == 0 && std::uint64_t{supers[k >> 11]} + samples[k >> 6] != p) return false;
        ++k;
      }
    }
    if (k != e_count) return false;
  } else if (e_count != 0) {
    return false;
  }
  for (std::uint64_t e = 0; e < e_count; ++e)
    if (get(e) >= universe) return false;
  return true;
}

Remap Remap::from_v2(std::span<const std::uint64_t> occupied, std::span<const std::uint64_t> low2,
                     std::span<const std::uint64_t> high2, std::uint64_t holes, std::uint32_t w2,
                     std::uint64_t entries, std::uint64_t n) {
  // Neither the holes nor the values are materialised: an image can declare far more entries
  // than it has bytes (eight per occupancy byte), so the conversion streams both. The hole list
  // is checked whole first, then the count of occupied entries, and only then are the values
  // derived, while encoding, so every failure keeps its place in the order of the checks.
  std::uint64_t found = 0;
  {
    HoleCursor cursor(high2, low2, w2);
    std::uint64_t p = 0, k = 0, hole = 0, previous = 0;
    while (cursor.next_bit(p, k)) {
      if (k >= holes || p < k || !cursor.hole(p, k, hole) || hole >= n)
        throw IndexError::format(kEntryOutside);
      if (k > 0 && hole < previous) throw IndexError::format(kRunsBackwards);
      previous = hole;
      found = k + 1;
    }
  }
  if (found != holes) throw IndexError::format(kEntryOutside);

  // An occupied entry takes the next hole and a free one repeats the last hole taken, so the
  // holes and the occupied entries must be as many (bits past the words count as free).
  auto occupied_at = [&](std::uint64_t i) {
    return (i >> 6) < occupied.size() && ((occupied[i >> 6] >> (i & 63)) & 1u);
  };
  std::uint64_t taken = 0;
  const std::uint64_t full_words = std::min<std::uint64_t>(entries / 64, occupied.size());
  for (std::uint64_t j = 0; j < full_words; ++j)
    taken += static_cast<std::uint64_t>(std::popcount(occupied[j]));
  for (std::uint64_t i = 64 * full_words; i < entries && (i >> 6) < occupied.size(); ++i)
    taken += occupied_at(i);
  if (taken != holes) throw IndexError::format(kHoleCount);

  HoleCursor cursor(high2, low2, w2);
  std::uint64_t cur = 0, i = 0;
  return encode_values(entries, n, [&] {
    if (occupied_at(i++)) {
      std::uint64_t p = 0, k = 0;
      const bool more = cursor.next_bit(p, k) && cursor.hole(p, k, cur);
      check_invariant(more, "an occupied entry per hole");
    }
    return cur;
  });
}

// ---- single-key queries ----

std::uint64_t V2::bumped_entry(std::uint64_t h) const {
  std::uint64_t offset = 0;
  std::uint64_t i = 1;
  for (const Level& level : levels) {
    const std::uint64_t x = mix(((G * i) ^ h) + G);
    const std::uint8_t b = level.seed_of(x);
    if (b != 0) return offset + level.position(x, b);
    offset += level.slots;
    ++i;
  }
  if (tail_buckets == 0) return kNoEntry;
  const std::uint64_t t = mix((tail_seed ^ h) + G);
  const std::uint64_t bucket = mulhi(t, tail_buckets);
  if (bucket >= tail_seeds.size())
    panic("index out of bounds: a tail bucket below the tail's length");
  const std::uint64_t s = tail_seeds[bucket];
  return offset + mulhi(mix(t + G + s * G), tail_slots);
}

std::uint64_t V2::index_bumped(std::uint64_t h) const {
  const std::uint64_t e = bumped_entry(h);
  return e == kNoEntry ? 0 : remap.get(e);
}

std::uint64_t V1::index(std::uint64_t h) const {
  constexpr std::uint64_t M[4] = {0x6A09E667F3BCC909ULL, 0xBB67AE8584CAA73BULL,
                                  0x3C6EF372FE94F82BULL, 0xA54FF53A5F1D36F1ULL};
  constexpr std::uint64_t T = 0x9999999999999999ULL;
  if (n == 0 || parts == 0) return 0;
  const std::uint64_t x = (seed ^ h) * M[0];
  const std::uint64_t p = mulhi(x, parts);
  std::uint64_t q;
  if (skew != 0) {
    q = std::rotr(x, 47) < T ? mulhi(skew, std::rotr(x, 24))
                             : skew + mulhi(buckets_per_part - skew, std::rotr(x, 24));
  } else {
    q = mulhi(std::rotr(x, 47), buckets_per_part);
  }
  const std::uint64_t b = buckets_per_part * p + q;
  if (p >= part_seeds.size() || b >= pilots.size())
    panic("index out of bounds: a pilot of the table");
  const std::uint8_t pilot = pilots[b];
  const std::uint64_t slot =
      (pilot & 63u) + stride * p + mulhi(M[pilot >> 6] * (part_seeds[p] ^ h), slots_per_part);
  if (slot < n) return slot;
  const std::uint64_t k = slot - n;
  if (k >= remap_offsets.size() || (k >> 8) >= remap_bases.size())
    panic("index out of bounds: a remap entry of the table");
  return std::uint64_t{remap_bases[k >> 8]} + remap_offsets[k];
}

// ---- batched query ----

namespace {

constexpr std::uint64_t kBlock = 1024;
constexpr std::uint64_t kRing = 64;

struct Bumped {
  std::uint32_t pos;    // within the block
  std::uint64_t entry;  // remap entry, or V2::kNoEntry
};

// The level-0 step of one block. The bucket of the hash at global position g sits in
// ring[g % 64], computed D positions earlier, so consecutive seed loads do not wait on one
// another. `ahead` starts D hashes past the block's start; k of them get their bucket computed.
template <bool Fixed, bool ShortLookahead>
void answer_block(const Level& l0, const std::uint64_t* block, std::uint64_t m,
                  const std::uint64_t* ahead, std::uint64_t k, std::uint64_t base,
                  std::uint64_t* ring, std::uint64_t* out, std::uint64_t out_len,
                  std::vector<Bumped>& bumped) {
  constexpr std::uint64_t D = ShortLookahead ? 56 : 64;
  const std::uint8_t* seeds = l0.seeds.data();
  const std::uint64_t buckets = l0.buckets;
  const std::uint64_t slots = l0.slots;
  if (k > m || k > out_len) panic("a look-ahead within the block");
  for (std::uint64_t i = 0; i < m; ++i) {
    const std::uint64_t h = block[i];
    const std::uint64_t bucket = ring[(base + i) % kRing];
    if (i < k) {
      const std::uint64_t next = mulhi(ahead[i], buckets);
      ring[(base + i + D) % kRing] = next;
      __builtin_prefetch(seeds + next);
    }
    const std::uint8_t b = seeds[bucket];
    // Seed byte 0 gives the provisional position of rotation 0, displacement 0, which the
    // bumped pass overwrites.
    if constexpr (Fixed) {
      out[i] = position_fixed(h, b, slots);
    } else {
      out[i] = l0.position(h, b);
    }
    if (b == 0) bumped.push_back({static_cast<std::uint32_t>(i), V2::kNoEntry});
  }
}

// Answers the keys a block bumped past level 0: their later-level or tail entries first (with
// the remap's sample words fetched ahead), then the remap.
void answer_bumped(const V2& t, const std::uint64_t* block, std::uint64_t* out,
                   std::vector<Bumped>& bumped) {
  const Remap& r = t.remap;
  for (Bumped& b : bumped) {
    b.entry = t.bumped_entry(block[b.pos]);
    if (b.entry != V2::kNoEntry && (b.entry >> 6) < r.samples.size()) {
      __builtin_prefetch(r.samples.data() + (b.entry >> 6));
      __builtin_prefetch(r.supers.data() + (b.entry >> 11));
    }
  }
  for (const Bumped& b : bumped) out[b.pos] = b.entry == V2::kNoEntry ? 0 : r.get(b.entry);
}

}  // namespace

std::vector<std::uint64_t> Mphf::index_all(std::span<const std::uint64_t> hashes) const {
  const std::uint64_t c = hashes.size();
  std::vector<std::uint64_t> out(static_cast<std::size_t>(c), 0);
  const V2* t = v2();
  if (t == nullptr || !t->level0 || t->level0->buckets < 262144) {
    for (std::uint64_t i = 0; i < c; ++i) out[i] = index(hashes[i]);
    return out;
  }
  const Level& l0 = *t->level0;
  const bool fixed = l0.fixed_geometry();
  // Tables of 2^24 buckets or more look 56 hashes ahead instead of 64.
  const bool short_lookahead = l0.buckets >= 16777216;
  const std::uint64_t D = short_lookahead ? 56 : 64;
  std::uint64_t ring[kRing];
  for (std::uint64_t i = 0; i < std::min(c, D); ++i) ring[i] = mulhi(hashes[i], l0.buckets);
  std::vector<Bumped> bumped;
  bumped.reserve(kBlock);
  for (std::uint64_t base = 0; base < c; base += kBlock) {
    const std::uint64_t m = std::min(kBlock, c - base);
    bumped.clear();
    std::uint64_t k = c > base + D ? c - (base + D) : 0;
    k = std::min(k, m);
    const std::uint64_t* block = hashes.data() + base;
    const std::uint64_t* ahead = hashes.data() + std::min(c, base + D);
    std::uint64_t* res = out.data() + base;
    if (fixed) {
      if (short_lookahead)
        answer_block<true, true>(l0, block, m, ahead, k, base, ring, res, m, bumped);
      else
        answer_block<true, false>(l0, block, m, ahead, k, base, ring, res, m, bumped);
    } else {
      if (short_lookahead)
        answer_block<false, true>(l0, block, m, ahead, k, base, ring, res, m, bumped);
      else
        answer_block<false, false>(l0, block, m, ahead, k, base, ring, res, m, bumped);
    }
    if (!bumped.empty()) answer_bumped(*t, block, res, bumped);
  }
  return out;
}

// ---- in-memory build ----

Mphf Mphf::build_with_threads(std::span<const std::uint64_t> hashes, unsigned threads) {
  refuse_too_many_keys(hashes.size());
  const std::uint64_t n = hashes.size();
  const unsigned t = threads < 2 ? 1 : threads;
  const std::uint64_t c = ceil_div(n, t);
  bool sorted = true;
  if (t < 2 || c < (std::uint64_t{1} << 20)) {
    sorted = std::is_sorted(hashes.begin(), hashes.end());
  } else {
    const unsigned runs = static_cast<unsigned>(ceil_div(n, c));
    std::atomic<bool> unsorted{false};
    threads::run_workers(runs, [&](unsigned i) {
      const std::uint64_t lo = i * c;
      const std::uint64_t hi = std::min(n, lo + c);
      if (i > 0 && hashes[lo - 1] > hashes[lo]) {
        unsorted.store(true, std::memory_order_relaxed);
        return;
      }
      if (!std::is_sorted(hashes.begin() + lo, hashes.begin() + hi))
        unsorted.store(true, std::memory_order_relaxed);
    });
    sorted = !unsorted.load();
  }
  const HashInput input = sorted ? HashInput::ordered(hashes) : HashInput::unordered(hashes);
  return Mphf(V2::build_from(n, input, t));
}

}  // namespace quenlith::mphf
