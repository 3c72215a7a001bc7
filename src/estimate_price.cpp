// Pricing candidates in bytes: by building them on a small corpus, by a model on a large one.
//
// The model pays each index the way its blob is laid out. Only what no corpus statistic gives is
// measured on the draws: the bytes each hash index spends a key (a straight line through two
// builds), the bytes a transducer spends a key, and what a DictIndex's symbol tables and phrases
// make of a suffix byte together with its per-entry, per-block and per-shard costs.
#include <algorithm>
#include <cmath>

#include "closed_hash.hpp"
#include "compact_hash.hpp"
#include "error.hpp"
#include "estimate.hpp"
#include "perfect_hash.hpp"
#include "string_index.hpp"

namespace quenlith::estimate {

namespace {

// The fingerprint width the planner prices a CompactHashIndex at.
constexpr std::uint32_t kCompactBits = 8;

std::uint64_t compact_bytes(std::span<const std::string_view> keys) {
  if (keys.empty())
    return compact_hash::CompactHashIndex::build_from_pairs({}, kCompactBits).serialized_len();
  return compact_hash::CompactHashIndex::build(keys).serialized_len();
}

std::uint64_t closed_bytes(std::span<const std::string_view> keys) {
  return closed_hash::ClosedHashIndex::build(keys).serialized_len();
}

std::uint64_t perfect_bytes(std::span<const std::string_view> keys) {
  return perfect_hash::PerfectHashIndex::build(keys).serialized_len();
}

[[noreturn]] void not_wired(Kind kind) {
  panic(std::string("the planner cannot price a ") + kind_name(kind) + " in this build");
}

// The magic and the transducer map.
std::uint64_t string_bytes(std::span<const std::string_view> keys) {
  return string_index::StringIndex::build(keys).serialized_len();
}

std::uint64_t dict_bytes(std::span<const std::string_view>, std::uint64_t block) {
  if (block < 1 || block > 1024) throw IndexError::format("dict: block must be in 1..=1024");
  not_wired(Kind::DictIndex);
}

// The microblock size of a block size: a divisor of `block` near its square root.
std::uint64_t micro_for(std::uint64_t block) {
  std::uint64_t s = 0;
  while ((s + 1) * (s + 1) <= block) ++s;
  if (s <= 31)
    for (std::uint64_t d = std::max<std::uint64_t>(s, 16); d <= 31; ++d)
      if (block % d == 0) return d;
  for (std::uint64_t d = 32; d >= 3; --d)
    if (block % d == 0) return d;
  return block % 2 == 0 ? 2 : block;
}

std::uint64_t div_ceil(std::uint64_t a, std::uint64_t b) { return a / b + (a % b != 0); }

// Symbol-table shards of K blocks at `block` keys a block: a shard holds 65,536 / block blocks.
double shards(std::uint64_t blocks, std::uint64_t block) {
  const std::uint64_t per_shard = block > 65536 ? 1 : std::min<std::uint64_t>(65536 / block, 65535);
  return static_cast<double>(std::max<std::uint64_t>(div_ceil(blocks, per_shard), 1));
}

// A price in whole bytes: negative or NaN is 0, truncated toward zero, saturating.
std::uint64_t to_bytes(double price) {
  if (!(price > 0)) return 0;
  if (price >= 18446744073709551616.0) return UINT64_MAX;
  return static_cast<std::uint64_t>(price);
}

bool prices(std::span<const Candidate> candidates, Kind kind) {
  return std::any_of(candidates.begin(), candidates.end(),
                     [&](const Candidate& c) { return c.kind == kind; });
}

bool prices_hash(std::span<const Candidate> candidates) {
  return prices(candidates, Kind::CompactHashIndex) || prices(candidates, Kind::ClosedHashIndex) ||
         prices(candidates, Kind::PerfectHashIndex);
}

// The line through the sizes measured on the first half and on all of the hash draw.
Line line_through(double half, double full, std::uint64_t n_h) {
  const double delta = static_cast<double>(std::max<std::uint64_t>(n_h - n_h / 2, 1));
  const double slope = (full - half) / delta;
  return {full - slope * static_cast<double>(n_h), slope};
}

}  // namespace

std::vector<Estimate> weigh(std::span<const std::string_view> keys,
                            std::span<const Candidate> candidates) {
  std::vector<Estimate> out;
  out.reserve(candidates.size());
  for (const Candidate& c : candidates) {
    std::uint64_t bytes = 0;
    switch (c.kind) {
      case Kind::CompactHashIndex:
        bytes = compact_bytes(keys);
        break;
      case Kind::ClosedHashIndex:
        bytes = closed_bytes(keys);
        break;
      case Kind::PerfectHashIndex:
        bytes = perfect_bytes(keys);
        break;
      case Kind::StringIndex:
        bytes = string_bytes(keys);
        break;
      case Kind::DictIndex:
        bytes = dict_bytes(keys, c.block.value_or(256));
        break;
    }
    out.push_back(
        {c.kind, c.kind == Kind::DictIndex ? c.block.value_or(256) : c.block, bytes, true});
  }
  return out;
}

HashFit hash_fits(std::span<const std::string_view> keys) {
  double key_bytes = 0;
  for (std::string_view k : keys) key_bytes += static_cast<double>(k.size());
  HashFit fit;
  fit.compact = static_cast<double>(compact_bytes(keys));
  fit.closed = static_cast<double>(closed_bytes(keys));
  fit.perfect = static_cast<double>(perfect_bytes(keys)) - key_bytes;
  return fit;
}

Sample Sample::of(std::span<const std::string_view> hash_draw,
                  std::span<const std::string_view> run_draw, std::uint64_t n,
                  std::span<const Candidate> priced) {
  (void)n;
  Sample sample;
  const std::uint64_t n_h = hash_draw.size();
  const std::uint64_t n_r = run_draw.size();
  if (prices(priced, Kind::StringIndex)) {
    const std::uint64_t f = string_bytes(run_draw);
    sample.string_rate =
        static_cast<double>(f) / static_cast<double>(std::max<std::uint64_t>(n_r, 1));
  }
  if (prices(priced, Kind::DictIndex)) not_wired(Kind::DictIndex);
  if (prices_hash(priced)) {
    const HashFit half = hash_fits(hash_draw.first(n_h / 2));
    const HashFit full = hash_fits(hash_draw);
    sample.compact = line_through(half.compact, full.compact, n_h);
    sample.closed = line_through(half.closed, full.closed, n_h);
    sample.perfect = line_through(half.perfect, full.perfect, n_h);
  }
  return sample;
}

double dict_price(const Shape& shape, const Rates& r, std::uint64_t block) {
  check_invariant(block != 0, "a DictIndex block holds at least one key");
  const double n = static_cast<double>(shape.count);
  const double l = shape.mean_length();
  const double p = shape.mean_lcp();
  const double s = shape.mean_restart_suffix();
  const std::uint64_t micro = micro_for(block);
  const std::uint64_t blocks = div_ceil(shape.count, block);
  const double K = static_cast<double>(blocks);
  // Every microblock after a block's first opens with a restart.
  const double R = K * static_cast<double>(div_ceil(block, micro) - 1);
  const double S = shards(blocks, block);
  return 72 + r.per_shard * S + r.per_key * n + l * K + r.per_entry * (n - K) +
         r.ratio * ((n - K - R) * (l - p) + R * s) + r.per_block * K;
}

std::vector<Estimate> model(const Shape& shape, const Sample& sample,
                            std::span<const Candidate> candidates) {
  const double n = static_cast<double>(shape.count);
  std::vector<Estimate> out;
  out.reserve(candidates.size());
  for (const Candidate& c : candidates) {
    double price = 0;
    std::optional<std::uint64_t> block = c.block;
    switch (c.kind) {
      case Kind::CompactHashIndex:
        price = sample.compact.intercept + sample.compact.slope * n;
        break;
      case Kind::ClosedHashIndex:
        price = sample.closed.intercept + sample.closed.slope * n;
        break;
      case Kind::PerfectHashIndex:
        // The keys are stored whole.
        price = sample.perfect.intercept + sample.perfect.slope * n +
                static_cast<double>(shape.total_len);
        break;
      case Kind::StringIndex:
        price = sample.string_rate * n;
        break;
      case Kind::DictIndex: {
        const std::uint64_t b = c.block.value_or(256);
        block = b;
        // The rate set of the nearest measured block; ties go to the smaller block.
        const auto dist = [b](std::uint64_t m) { return b > m ? b - m : m - b; };
        const RateSet& set = std::min(dist(32), dist(256)) > dist(1024) ? sample.sets[2]
                             : dist(32) > dist(256)                     ? sample.sets[1]
                                                                        : sample.sets[0];
        price = dict_price(shape, set.rates, b);
        break;
      }
    }
    out.push_back({c.kind, block, to_bytes(price), false});
  }
  return out;
}

}  // namespace quenlith::estimate
