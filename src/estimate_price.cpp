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
#include "dict_index.hpp"
#include "error.hpp"
#include "estimate.hpp"
#include "perfect_hash.hpp"
#include "threads.hpp"
#include "string_index.hpp"

namespace quenlith::estimate {

namespace {

using dict_index::kDefaultBlock;

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

// The magic and the transducer map.
std::uint64_t string_bytes(std::span<const std::string_view> keys) {
  return string_index::StringIndex::build(keys).serialized_len();
}

std::uint64_t dict_bytes(std::span<const std::string_view> keys, std::uint64_t block) {
  return dict_index::DictIndex::build_with_block(keys, block).serialized_len();
}

std::uint64_t div_ceil(std::uint64_t a, std::uint64_t b) { return a / b + (a % b != 0); }

// Symbol-table shards over `blocks` blocks of `block` keys (at least one).
double shards(std::uint64_t blocks, std::uint64_t block) {
  const std::uint64_t per_shard = dict_index::blocks_per_shard_for(block);
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

// The three block sizes whose rates are measured: the candidates' own.
constexpr std::array<std::uint64_t, 3> kRateBlocks = {32, 256, 1024};

// The dictionaries measured on the draws: one over the hash draw at block 256 for what coding
// makes of a suffix byte and what phrases cost, one over the run draw per block size for the
// layout costs, which depend on neighbouring keys.
std::array<RateSet, 3> dict_rates(std::span<const std::string_view> hash_draw,
                                  std::span<const std::string_view> run_draw, std::uint64_t n) {
  using dict_index::DictIndex;
  const unsigned cpus = threads::available();
  const unsigned train = std::min(cpus, 21u);
  const Shape shape_h = Shape::of(hash_draw);
  const Shape shape_r = Shape::of(run_draw);
  const std::uint64_t n_h = hash_draw.size();
  const auto pieces = dict_index::build_pieces(hash_draw, 256, 16, true);
  const auto tables = dict_index::train_shards(pieces, train);
  // The phrases are mined once, for a corpus of all n keys, and shared by every dictionary.
  const dict_index::Phrases phrases = dict_index::mine_phrases(pieces, tables, n, train);
  const unsigned workers = static_cast<unsigned>(
      std::max<std::uint64_t>(std::min<std::uint64_t>(cpus, (n_h + 255) >> 14), 1));
  const DictIndex by_hash =
      DictIndex::from_vocabulary(hash_draw, 256, 16, workers, tables, phrases);
  const std::vector<DictIndex> by_run = DictIndex::plan_builds(run_draw, kRateBlocks, phrases);
  if (by_run.size() < kRateBlocks.size())
    panic("internal error: entered unreachable code: one fit a priced block");
  const Rates rh = Rates::read(by_hash, shape_h, n);
  std::array<RateSet, 3> sets{};
  for (std::size_t i = 0; i < kRateBlocks.size(); ++i) {
    const Rates rr = Rates::read(by_run[i], shape_r, shape_r.count);
    sets[i] = {kRateBlocks[i], {rh.ratio, rr.per_entry, rr.per_block, rr.per_shard, rh.per_key}};
  }
  return sets;
}

}  // namespace

Rates Rates::read(const dict_index::DictIndex& dict, const Shape& shape, std::uint64_t count) {
  const dict_index::Sections sec = dict.sections();
  const std::uint64_t block = dict.block();
  check_invariant(block != 0, "a DictIndex block holds at least one key");
  const double l = shape.mean_length();
  const double raw = static_cast<double>(sec.entries) * (l - shape.mean_lcp()) +
                     static_cast<double>(sec.restarts) * shape.mean_restart_suffix();
  const std::uint64_t coded = sec.restarts + sec.entries;
  const std::uint64_t blocks = div_ceil(shape.count, block);
  Rates r;
  r.ratio = raw > 0 ? static_cast<double>(sec.restart_codes + sec.entry_codes) / raw : 1.0;
  r.per_entry = coded == 0 ? 0.0
                           : static_cast<double>(sec.restart_headers + sec.restart_wide +
                                                 sec.entry_headers + sec.entry_wide) /
                                 static_cast<double>(coded);
  r.per_block = static_cast<double>(sec.head_ends + sec.block_offsets + sec.micro_offsets) /
                static_cast<double>(std::max<std::uint64_t>(blocks, 1));
  r.per_shard = static_cast<double>(sec.tables + sec.header_codes) / shards(blocks, block);
  r.per_key =
      static_cast<double>(sec.phrases) / static_cast<double>(std::max<std::uint64_t>(count, 1));
  return r;
}

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
        bytes = dict_bytes(keys, c.block.value_or(kDefaultBlock));
        break;
    }
    out.push_back({c.kind, c.kind == Kind::DictIndex ? c.block.value_or(kDefaultBlock) : c.block,
                   bytes, true});
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
  Sample sample;
  const std::uint64_t n_h = hash_draw.size();
  const std::uint64_t n_r = run_draw.size();
  if (prices(priced, Kind::StringIndex)) {
    const std::uint64_t f = string_bytes(run_draw);
    sample.string_rate =
        static_cast<double>(f) / static_cast<double>(std::max<std::uint64_t>(n_r, 1));
  }
  if (prices(priced, Kind::DictIndex)) sample.sets = dict_rates(hash_draw, run_draw, n);
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
  const std::uint64_t micro = dict_index::micro_for(block);
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
        const std::uint64_t b = c.block.value_or(kDefaultBlock);
        block = b;
        // The rate set of the nearest measured block; ties go to the smaller block.
        const auto dist = [b](std::uint64_t m) { return b > m ? b - m : m - b; };
        const std::uint64_t d0 = dist(kRateBlocks[0]), d1 = dist(kRateBlocks[1]),
                            d2 = dist(kRateBlocks[2]);
        const RateSet& set = std::min(d0, d1) > d2 ? sample.sets[2]
                             : d0 > d1             ? sample.sets[1]
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
