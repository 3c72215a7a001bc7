// Candidates, the cost model, ranking and the plan text.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <string>

#include "dict_index.hpp"
#include "estimate.hpp"

namespace quenlith::estimate {

// ---- Candidates ----

std::optional<Objective> objective_named(std::string_view name) {
  if (name == "memory") return Objective::memory();
  if (name == "latency") return Objective::latency();
  if (name == "balanced") return Objective::balanced();
  return std::nullopt;
}

std::uint64_t* workload_weight(Workload& w, std::string_view op) {
  if (op == "hits") return &w.hits;
  if (op == "misses") return &w.misses;
  if (op == "reverse") return &w.reverse;
  if (op == "prefix") return &w.prefix;
  if (op == "common_prefix") return &w.common_prefix;
  if (op == "longest_prefix") return &w.longest_prefix;
  return nullptr;
}

const char* kind_name(Kind kind) noexcept {
  switch (kind) {
    case Kind::CompactHashIndex:
      return "CompactHashIndex";
    case Kind::ClosedHashIndex:
      return "ClosedHashIndex";
    case Kind::PerfectHashIndex:
      return "PerfectHashIndex";
    case Kind::StringIndex:
      return "StringIndex";
    case Kind::DictIndex:
      return "DictIndex";
  }
  return "?";
}

std::vector<Candidate> candidates(const Needs& needs) {
  // The three block sizes are the ones the command line calls fast, balanced and compact.
  const std::vector<Candidate> ordered = {
      {Kind::StringIndex, std::nullopt},
      {Kind::DictIndex, dict_index::named_block("fast")},
      {Kind::DictIndex, dict_index::named_block("balanced")},
      {Kind::DictIndex, dict_index::named_block("compact")},
  };
  auto with = [&](std::initializer_list<Candidate> front) {
    std::vector<Candidate> out(front);
    out.insert(out.end(), ordered.begin(), ordered.end());
    return out;
  };
  // Only the transducer answers fuzzy and subsequence queries.
  if (needs.fuzzy) return {{Kind::StringIndex, std::nullopt}};
  if (needs.reverse) {
    if (needs.ordered || needs.prefix) return ordered;
    return with({{Kind::PerfectHashIndex, std::nullopt}});
  }
  if (needs.ordered || needs.prefix) return ordered;
  if (needs.exact) return with({{Kind::PerfectHashIndex, std::nullopt}});
  return with({{Kind::CompactHashIndex, std::nullopt},
               {Kind::ClosedHashIndex, std::nullopt},
               {Kind::PerfectHashIndex, std::nullopt}});
}

Needs widen(Needs needs, const Objective& objective) noexcept {
  if (objective.kind != Objective::Kind::Workload) return needs;
  const Workload& w = objective.workload;
  needs.reverse = needs.reverse || w.reverse != 0;
  needs.prefix = needs.prefix || w.prefix != 0 || w.common_prefix != 0 || w.longest_prefix != 0;
  return needs;
}

// ---- Cost model ----
//
// Each operation of an index kind costs a + b*L + K*(c + d*L) nanoseconds, L being the log2 of the
// blob's size in 64 KiB units and K the mean key length. The coefficients were fitted on one
// reference machine; they model, they do not measure.

namespace {

struct CostTerm {
  double a, b, c, d;
  double cost(double L, double K) const noexcept { return a + b * L + K * (c + d * L); }
};

struct CostRow {
  std::uint64_t key;  // the block size of a DictIndex row; the kind code otherwise
  std::optional<CostTerm> reverse;
  std::optional<CostTerm> prefix;
  std::optional<CostTerm> common_prefix;
  std::optional<CostTerm> longest_prefix;
  double size_floor;
  CostTerm lookup;
  CostTerm hits;
  CostTerm misses;
  CostTerm batch16;
  CostTerm batch1024;
};

constexpr std::nullopt_t absent = std::nullopt;

const CostRow kCompactRow = {0,
                             absent,
                             absent,
                             absent,
                             absent,
                             0.92,
                             {43.1, 16.1, 0.095, 0},
                             {37.5, 15.9, 0.11, 0},
                             {26.6, 15.13, 0.103, 0.01},
                             {39, 3.06, 0.09, 0},
                             {33.7, 1.45, 0.07, 0}};
const CostRow kClosedRow = {1,
                            absent,
                            absent,
                            absent,
                            absent,
                            0,
                            {47.4, 8.87, 0.06, 0},
                            {47.5, 8.47, 0.062, 0},
                            {45.3, 8.78, 0.068, 0},
                            {34.1, 1.98, 0.073, 0},
                            {31.9, 0.78, 0.063, 0}};
// The negative intercepts are as fitted: with the floor of 3.3 on L every term stays positive.
const CostRow kPerfectRow = {2,
                             CostTerm{-4.7, 21.27, 0.042, 0},
                             absent,
                             absent,
                             absent,
                             3.3,
                             {-7.7, 22.55, 0, 0},
                             {-23.3, 27.28, 0, 0},
                             {-21.6, 16.27, 0, 0},
                             {36.9, 5.38, 0.028, 0},
                             {35.6, 2.62, 0.066, 0}};
const CostRow kStringRow = {3,
                            CostTerm{251.3, 22.94, 10.942, 1.541},
                            CostTerm{365.8, 88.14, 1.537, 0},
                            CostTerm{347.8, 0, 0, 1.149},
                            CostTerm{212.7, 17.36, 0, 0.968},
                            0,
                            {152.2, 15.3, 0, 1.209},
                            {150.1, 18.16, 0, 1.185},
                            {142, 15.55, 0, 1.206},
                            {143.2, 18.03, 0, 1.191},
                            {138.9, 18.45, 0, 1.186}};
// DictIndex rows by ascending block size: the interpolation keys.
const std::array<CostRow, 4> kDictRows = {{
    {32,
     CostTerm{151.8, 20.66, 0, 0.319},
     CostTerm{270.8, 0, 0, 0},
     CostTerm{1158.8, 56.94, 44.316, 4.957},
     CostTerm{513.8, 40.82, 0, 0.478},
     0.86,
     {147.3, 34.02, 0, 0.358},
     {130.4, 40.33, 0, 0.325},
     {130, 39.71, 0, 0.339},
     {223.9, 23.65, 0, 0.31},
     {211.4, 23.94, 0, 0.308}},
    {128,
     CostTerm{189.4, 18.28, 0.024, 0.43},
     CostTerm{274.1, 0, 0, 0},
     CostTerm{1222.8, 48.86, 54.566, 4.425},
     CostTerm{592.7, 32.15, 0, 0.49},
     0.65,
     {191.1, 27.69, 0, 0.395},
     {177.7, 32.61, 0, 0.373},
     {174.3, 32.61, 0, 0.38},
     {238.5, 24.68, 0, 0.345},
     {223.8, 25.77, 0, 0.34}},
    {256,
     CostTerm{209.9, 16.45, 0.591, 0.382},
     CostTerm{282.5, 0, 0, 0},
     CostTerm{1191.7, 56.7, 65.209, 3.793},
     CostTerm{634.6, 28.12, 0, 0.525},
     0.63,
     {222, 22.85, 0, 0.419},
     {210.7, 27.38, 0, 0.392},
     {206.3, 27.4, 0, 0.4},
     {257.7, 24.13, 0, 0.355},
     {243.9, 24.82, 0, 0.351}},
    {1024,
     CostTerm{267.1, 18.74, 1.136, 0.406},
     CostTerm{352.2, 0, 0, 0},
     CostTerm{1232.7, 81.44, 92.909, 2.122},
     CostTerm{744.2, 26.8, 0.849, 0.432},
     0.49,
     {289.2, 18.6, 0, 0.428},
     {280.2, 21.96, 0, 0.416},
     {274, 21.96, 0, 0.417},
     {317.5, 22.11, 0, 0.383},
     {303.6, 22.25, 0, 0.38}},
}};

// lo + f*(hi - lo), with f = 1 giving hi itself (a block equal to a row's gives that row).
double lerp(double lo, double hi, double f) noexcept { return f == 1.0 ? hi : lo + f * (hi - lo); }

CostTerm lerp(const CostTerm& lo, const CostTerm& hi, double f) noexcept {
  return {lerp(lo.a, hi.a, f), lerp(lo.b, hi.b, f), lerp(lo.c, hi.c, f), lerp(lo.d, hi.d, f)};
}

std::optional<CostTerm> lerp(const std::optional<CostTerm>& lo, const std::optional<CostTerm>& hi,
                             double f) {
  if (!lo || !hi) return std::nullopt;
  return lerp(*lo, *hi, f);
}

// The DictIndex row of a block size: a table row up to 32 and past 1024, else the rows around it
// interpolated in log2 of the block.
CostRow dict_row(std::uint64_t block) {
  std::size_t r = 0;
  while (r < kDictRows.size() && kDictRows[r].key < block) ++r;
  if (r == 0) return kDictRows.front();
  if (r == kDictRows.size()) return kDictRows.back();
  const CostRow& lo = kDictRows[r - 1];
  const CostRow& hi = kDictRows[r];
  const double f =
      (std::log2(static_cast<double>(block)) - std::log2(static_cast<double>(lo.key))) /
      (std::log2(static_cast<double>(hi.key)) - std::log2(static_cast<double>(lo.key)));
  return {block,
          lerp(lo.reverse, hi.reverse, f),
          lerp(lo.prefix, hi.prefix, f),
          lerp(lo.common_prefix, hi.common_prefix, f),
          lerp(lo.longest_prefix, hi.longest_prefix, f),
          lerp(lo.size_floor, hi.size_floor, f),
          lerp(lo.lookup, hi.lookup, f),
          lerp(lo.hits, hi.hits, f),
          lerp(lo.misses, hi.misses, f),
          lerp(lo.batch16, hi.batch16, f),
          lerp(lo.batch1024, hi.batch1024, f)};
}

CostRow row_of(const Estimate& e) {
  switch (e.kind) {
    case Kind::CompactHashIndex:
      return kCompactRow;
    case Kind::ClosedHashIndex:
      return kClosedRow;
    case Kind::PerfectHashIndex:
      return kPerfectRow;
    case Kind::StringIndex:
      return kStringRow;
    case Kind::DictIndex:
      break;
  }
  return dict_row(e.block.value_or(dict_index::kDefaultBlock));
}

// The cost of `w.<op>` operations of a term that may be absent: nothing for weight 0, +infinity
// for an operation the kind cannot answer.
double weighted(const std::optional<CostTerm>& term, std::uint64_t weight, double L, double K,
                double scale = 1.0) {
  if (weight == 0) return 0;
  if (!term) return INFINITY;
  return term->cost(L, K) * static_cast<double>(weight) * scale;
}

// f64's total order: -NaN < -inf < ... < -0 < +0 < ... < +inf < +NaN.
int total_cmp(double a, double b) noexcept {
  auto key = [](double x) {
    std::int64_t bits = std::bit_cast<std::int64_t>(x);
    return bits ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
  };
  const std::int64_t ka = key(a), kb = key(b);
  return ka < kb ? -1 : (ka > kb ? 1 : 0);
}

// f64 max with a NaN operand giving the other one.
double max_num(double a, double b) noexcept {
  if (std::isnan(a)) return b;
  if (std::isnan(b)) return a;
  return a > b ? a : b;
}

}  // namespace

double nanos_of(const Objective& objective, const Estimate& estimate, std::uint64_t n,
                double mean_length) noexcept {
  const CostRow row = row_of(estimate);
  // A corpus of fewer than 100,000 keys is scaled up as if it held 100,000 at the same bytes a
  // key; log2(0) is -inf, which the floor lifts.
  const double s = std::max(100000.0 / static_cast<double>(std::max<std::uint64_t>(n, 1)), 1.0);
  double L = std::log2(s * static_cast<double>(estimate.bytes) * 0x1p-16);
  if (!(L >= row.size_floor)) L = row.size_floor;
  const double K = std::max(mean_length, 4.89);
  const double base = row.lookup.cost(L, K);
  if (objective.kind != Objective::Kind::Workload) return base;

  const Workload& w = objective.workload;
  const double t =
      std::min(std::log2(static_cast<double>(std::max<std::uint32_t>(w.batch, 1))), 10.0);
  const double b16 = row.batch16.cost(L, K);
  const double batched =
      t <= 4 ? base + (b16 - base) * t / 4 : b16 + (row.batch1024.cost(L, K) - b16) * (t - 4) / 6;
  // Summed as f64: a sum of u64 weights could wrap.
  const double W = static_cast<double>(w.hits) + static_cast<double>(w.misses) +
                   static_cast<double>(w.reverse) + static_cast<double>(w.prefix) +
                   static_cast<double>(w.common_prefix) + static_cast<double>(w.longest_prefix);
  if (W == 0) return batched;
  // Batching scales only the two lookups; queries are never batched.
  const double ratio = batched / base;
  double sum = 0;
  sum += weighted(row.hits, w.hits, L, K, ratio);
  sum += weighted(row.misses, w.misses, L, K, ratio);
  sum += weighted(row.reverse, w.reverse, L, K);
  sum += weighted(row.prefix, w.prefix, L, K);
  sum += weighted(row.common_prefix, w.common_prefix, L, K);
  sum += weighted(row.longest_prefix, w.longest_prefix, L, K);
  return sum / W;
}

// ---- Ranking ----

void rank(std::vector<Estimate>& estimates, const Objective& objective, std::uint64_t n,
          double mean_length) {
  if (estimates.size() < 2) return;
  auto nanos = [&](const Estimate& e) { return nanos_of(objective, e, n, mean_length); };
  switch (objective.kind) {
    case Objective::Kind::Memory:
      std::stable_sort(estimates.begin(), estimates.end(),
                       [](const Estimate& a, const Estimate& b) { return a.bytes < b.bytes; });
      return;
    case Objective::Kind::Latency:
    case Objective::Kind::Workload:
      std::stable_sort(estimates.begin(), estimates.end(),
                       [&](const Estimate& a, const Estimate& b) {
                         const int c = total_cmp(nanos(a), nanos(b));
                         return c != 0 ? c < 0 : a.bytes < b.bytes;
                       });
      return;
    case Objective::Kind::Balanced:
      break;
  }
  // Balanced: how many times worse than the plan's best an estimate is on its worse axis.
  std::uint64_t least_bytes = UINT64_MAX;
  double least_nanos = NAN;
  for (const Estimate& e : estimates) {
    least_bytes = std::min(least_bytes, e.bytes);
    const double t = nanos(e);
    if (!std::isnan(t) && (std::isnan(least_nanos) || t < least_nanos)) least_nanos = t;
  }
  const double min_bytes = least_bytes == 0 ? 1.0 : static_cast<double>(least_bytes);
  const double min_nanos = std::isnan(least_nanos) || least_nanos < 1.0 ? 1.0 : least_nanos;
  auto score = [&](const Estimate& e) {
    return max_num(static_cast<double>(e.bytes) / min_bytes, nanos(e) / min_nanos);
  };
  std::stable_sort(estimates.begin(), estimates.end(), [&](const Estimate& a, const Estimate& b) {
    const int c = total_cmp(score(a), score(b));
    return c != 0 ? c < 0 : a.bytes < b.bytes;
  });
}

bool close(std::span<const Estimate> ranked) {
  if (ranked.empty()) return false;
  const Estimate* smallest = &ranked.front();
  for (const Estimate& e : ranked)
    if (e.bytes < smallest->bytes) smallest = &e;
  std::optional<std::uint64_t> other;
  for (const Estimate& e : ranked)
    if (e.kind != smallest->kind && (!other || e.bytes < *other)) other = e.bytes;
  return other &&
         static_cast<double>(smallest->bytes) * kCloseFactor >= static_cast<double>(*other);
}

bool Plan::thin() const noexcept {
  return mean_length - mean_lcp < 2.0 && !estimates.empty() && !estimates.front().measured;
}

// ---- The plan text ----

namespace {

// printf into a string. glibc prints the exact binary value rounded to the precision asked,
// ties to even, which is the rounding the plan text promises.
template <class... Args>
void appendf(std::string& out, const char* format, Args... args) {
  char buf[128];
  const int len = std::snprintf(buf, sizeof buf, format, args...);
  if (len < 0) return;
  if (static_cast<std::size_t>(len) < sizeof buf) {
    out.append(buf, static_cast<std::size_t>(len));
    return;
  }
  std::string big(static_cast<std::size_t>(len) + 1, '\0');
  std::snprintf(big.data(), big.size(), format, args...);
  out.append(big.data(), static_cast<std::size_t>(len));
}

// A float with `precision` decimals, right-aligned in `width`; NaN is spelled "NaN".
void append_fixed(std::string& out, double v, int width, int precision) {
  if (std::isnan(v)) {
    appendf(out, "%*s", width, "NaN");
    return;
  }
  appendf(out, "%*.*f", width, precision, v);
}

std::string objective_words(const Objective& objective) {
  switch (objective.kind) {
    case Objective::Kind::Memory:
      return "size";
    case Objective::Kind::Latency:
      return "latency";
    case Objective::Kind::Balanced:
      return "balanced";
    case Objective::Kind::Workload:
      break;
  }
  const Workload& w = objective.workload;
  const std::pair<const char*, std::uint64_t> ops[] = {
      {"hits", w.hits},
      {"misses", w.misses},
      {"reverse", w.reverse},
      {"prefix", w.prefix},
      {"common_prefix", w.common_prefix},
      {"longest_prefix", w.longest_prefix},
  };
  std::vector<std::string> parts;
  for (const auto& [name, weight] : ops)
    if (weight != 0) parts.push_back(std::string(name) + " " + std::to_string(weight));
  // A workload that weighs no operation ranks by the (possibly batched) lookup alone.
  std::string word = parts.empty() ? "latency" : "workload";
  if (w.batch >= 2) parts.push_back("batch " + std::to_string(w.batch));
  if (parts.empty()) return word;
  word += " (";
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) word += ", ";
    word += parts[i];
  }
  return word + ")";
}

}  // namespace

std::string Plan::text() const {
  std::string out = std::to_string(n) + " keys, mean length ";
  append_fixed(out, mean_length, 0, 1);
  out += ", mean shared prefix ";
  append_fixed(out, mean_lcp, 0, 1);
  out += ", ranked by " + objective_words(objective) + "\n";
  for (const Estimate& e : estimates) {
    const Estimate& best = estimates.front();
    out += e.kind == best.kind && e.block == best.block ? "* " : "  ";
    appendf(out, "%-17s %12llu bytes  ", kind_name(e.kind),
            static_cast<unsigned long long>(e.bytes));
    append_fixed(out, n == 0 ? 0.0 : static_cast<double>(e.bytes) / static_cast<double>(n), 5, 2);
    out += " B/key  ";
    append_fixed(out, nanos_of(objective, e, n, mean_length), 5, 0);
    out += " ns  ";
    out += e.measured ? "built" : "estimated";
    if (e.block) out += " at block " + std::to_string(*e.block);
    out += "\n";
  }
  out += "the nanoseconds are a model of this library's own machine, not a measurement of yours\n";
  if (close()) {
    out += "the two cheapest are within ";
    append_fixed(out, kCloseFactor, 0, 1);
    out += "x, which is inside what an estimate can separate: build both\n";
  }
  if (thin()) {
    out += "the mean suffix is ";
    append_fixed(out, mean_length - mean_lcp, 0, 1);
    out += " bytes, too short for a sampled compression ratio to carry: build rather than quote\n";
  }
  return out;
}

}  // namespace quenlith::estimate
