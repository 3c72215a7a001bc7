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

std::uint64_t ceil_div(std::uint64_t a, std::uint64_t b) { return a / b + (a % b != 0); }

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

Remap Remap::encode(std::span<const std::uint64_t> values, std::uint64_t universe) {
  Remap m;
  const std::uint64_t e_count = values.size();
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
    const std::uint64_t v = values[k];
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
  if (supers.size() != ceil_div(e_count, 2048) || samples.size() != ceil_div(e_count, 64)) return false;
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
  // Decode the ascending hole list.
  std::vector<std::uint64_t> hole_list;
  hole_list.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(holes, 1u << 20)));
  std::uint64_t k = 0;
  for (std::uint64_t i = 0; i < high2.size(); ++i) {
    std::uint64_t x = high2[i];
    while (x != 0) {
      const std::uint64_t p = 64 * i + static_cast<std::uint64_t>(std::countr_zero(x));
      x &= x - 1;
      if (k >= holes || p < k) throw IndexError::format(kEntryOutside);
      std::uint64_t hole = p - k;
      if (w2 != 0) {
        // The low bits of hole k lie inside `low2` (sized ceil(H * w2 / 64) by the reader).
        if (w2 > 63 || (k * w2 + w2 + 63) / 64 > low2.size()) throw IndexError::format(kEntryOutside);
        hole = read_bits(low2.data(), k * w2, w2) | (hole << w2);
      }
      if (hole >= n) throw IndexError::format(kEntryOutside);
      if (!hole_list.empty() && hole < hole_list.back()) throw IndexError::format(kRunsBackwards);
      hole_list.push_back(hole);
      ++k;
    }
  }
  if (k != holes) throw IndexError::format(kEntryOutside);
  // Assign: an occupied entry takes the next hole, a free one repeats the last hole taken.
  std::vector<std::uint64_t> values(static_cast<std::size_t>(entries));
  std::uint64_t cur = 0, next = 0;
  for (std::uint64_t i = 0; i < entries; ++i) {
    const bool occ = (i >> 6) < occupied.size() && ((occupied[i >> 6] >> (i & 63)) & 1u);
    if (occ) {
      if (next >= hole_list.size()) throw IndexError::format(kHoleCount);
      cur = hole_list[next++];
    }
    values[i] = cur;
  }
  if (next != hole_list.size()) throw IndexError::format(kHoleCount);
  return encode(values, n);
}

// ---- single-key queries ----

std::uint64_t V2::bumped_entry(std::uint64_t h) const noexcept {
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
  if (bucket >= tail_seeds.size()) panic("index out of bounds: a tail bucket below the tail's length");
  const std::uint64_t s = tail_seeds[bucket];
  return offset + mulhi(mix(t + G + s * G), tail_slots);
}

std::uint64_t V2::index_bumped(std::uint64_t h) const noexcept {
  const std::uint64_t e = bumped_entry(h);
  return e == kNoEntry ? 0 : remap.get(e);
}

std::uint64_t V1::index(std::uint64_t h) const noexcept {
  constexpr std::uint64_t M[4] = {0x6A09E667F3BCC909ULL, 0xBB67AE8584CAA73BULL, 0x3C6EF372FE94F82BULL,
                                  0xA54FF53A5F1D36F1ULL};
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
  if (p >= part_seeds.size() || b >= pilots.size()) panic("index out of bounds: a pilot of the table");
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
template <bool Fixed, bool Short>
void answer_block(const Level& l0, const std::uint64_t* block, std::uint64_t m, const std::uint64_t* ahead,
                  std::uint64_t k, std::uint64_t base, std::uint64_t* ring, std::uint64_t* out,
                  std::uint64_t out_len, std::vector<Bumped>& bumped) {
  constexpr std::uint64_t D = Short ? 56 : 64;
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
void answer_bumped(const V2& t, const std::uint64_t* block, std::uint64_t* out, std::vector<Bumped>& bumped) {
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
  const bool is_short = l0.buckets >= 16777216;
  const std::uint64_t D = is_short ? 56 : 64;
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
      if (is_short)
        answer_block<true, true>(l0, block, m, ahead, k, base, ring, res, m, bumped);
      else
        answer_block<true, false>(l0, block, m, ahead, k, base, ring, res, m, bumped);
    } else {
      if (is_short)
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
      if (!std::is_sorted(hashes.begin() + lo, hashes.begin() + hi)) unsorted.store(true, std::memory_order_relaxed);
    });
    sorted = !unsorted.load();
  }
  const HashInput input = sorted ? HashInput::ordered(hashes) : HashInput::unordered(hashes);
  return Mphf(V2::build_from(n, input, t));
}

}  // namespace quenlith::mphf
