// The planner's pure logic: candidates, the cost model, ranking, and the plan text.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "estimate.hpp"

using namespace quenlith::estimate;

namespace {

Estimate est(Kind kind, std::uint64_t bytes, std::optional<std::uint64_t> block = std::nullopt,
             bool measured = true) {
  return {kind, block, bytes, measured};
}

std::string names(const std::vector<Candidate>& cs) {
  std::string out;
  for (const Candidate& c : cs) {
    if (!out.empty()) out += ",";
    out += kind_name(c.kind);
    if (c.block) {
      out += '/';
      out += std::to_string(*c.block);
    }
  }
  return out;
}

Objective workload(Workload w) { return Objective::weighted(w); }

}  // namespace

// ---- Candidates ----

TEST(Vocabulary, ObjectiveAndOperationNames) {
  EXPECT_EQ(objective_named("memory"), Objective::memory());
  EXPECT_EQ(objective_named("latency"), Objective::latency());
  EXPECT_EQ(objective_named("balanced"), Objective::balanced());
  for (const char* other : {"", "Memory", "size", "hits", "balanced "})
    EXPECT_FALSE(objective_named(other)) << other;
  // Each operation sets its own weight and no other.
  Workload w;
  const char* ops[] = {"hits", "misses", "reverse", "prefix", "common_prefix", "longest_prefix"};
  for (std::size_t i = 0; i < std::size(ops); ++i) *workload_weight(w, ops[i]) = i + 1;
  EXPECT_EQ(w, (Workload{1, 2, 3, 4, 5, 6, 0}));
  for (const char* other : {"batch", "", "hit", "Hits"}) EXPECT_EQ(workload_weight(w, other), nullptr);
}

TEST(Candidates, EveryCombinationOfNeeds) {
  const std::string ordered = "StringIndex,DictIndex/32,DictIndex/256,DictIndex/1024";
  for (unsigned bits = 0; bits < 32; ++bits) {
    const Needs needs{(bits & 1) != 0, (bits & 2) != 0, (bits & 4) != 0, (bits & 8) != 0,
                      (bits & 16) != 0};
    const std::string got = names(candidates(needs));
    SCOPED_TRACE("needs bits " + std::to_string(bits));
    if (needs.fuzzy) {
      EXPECT_EQ(got, "StringIndex");
    } else if (bits == 0) {
      EXPECT_EQ(got, "CompactHashIndex,ClosedHashIndex,PerfectHashIndex," + ordered);
    } else if (needs.ordered || needs.prefix) {
      EXPECT_EQ(got, ordered);  // no hash index at all
    } else {
      EXPECT_EQ(got, "PerfectHashIndex," + ordered);  // reverse or exact, no probabilistic kind
    }
  }
}

TEST(Candidates, WorkloadsWidenTheNeeds) {
  const Needs none;
  EXPECT_EQ(widen(none, workload({.reverse = 1})), (Needs{.reverse = true}));
  EXPECT_EQ(widen(none, workload({.longest_prefix = 5})), (Needs{.prefix = true}));
  EXPECT_EQ(widen(none, workload({.common_prefix = 1})), (Needs{.prefix = true}));
  EXPECT_EQ(widen(none, workload({.prefix = 2})), (Needs{.prefix = true}));
  EXPECT_EQ(widen(none, workload({.hits = 9, .misses = 1})), none);
  EXPECT_EQ(widen(none, workload({.batch = 64})), none);
  // Other objectives leave the needs alone; widening never clears a need.
  const Needs all{true, true, true, true, true};
  EXPECT_EQ(widen(all, Objective::latency()), all);
  EXPECT_EQ(widen(all, workload({})), all);
  EXPECT_EQ(candidates(widen(none, workload({.reverse = 1}))), candidates(Needs{.reverse = true}));
}

// ---- Cost model ----

TEST(CostModel, TermsAtTheTableRows) {
  const Objective lat = Objective::latency();
  // L = log2(8 blocks of 64 KiB) = 3, K = 10.
  EXPECT_DOUBLE_EQ(nanos_of(lat, est(Kind::CompactHashIndex, 524288), 100000, 10.0),
                   43.1 + 16.1 * 3 + 10 * 0.095);
  // Below the floor: L = 3.3; K is at least 4.89.
  EXPECT_DOUBLE_EQ(nanos_of(lat, est(Kind::PerfectHashIndex, 0), 5, 2.0), -7.7 + 22.55 * 3.3);
  // A corpus of 1,000 keys is scaled up 100 times: L = log2(100).
  EXPECT_DOUBLE_EQ(nanos_of(lat, est(Kind::StringIndex, 65536), 1000, 12.0), 350.24006530480494);
  // Memory and Balanced cost the same lookup as Latency.
  const Estimate e = est(Kind::ClosedHashIndex, 1 << 20);
  EXPECT_EQ(nanos_of(Objective::memory(), e, 100000, 8), nanos_of(lat, e, 100000, 8));
  EXPECT_EQ(nanos_of(Objective::balanced(), e, 100000, 8), nanos_of(lat, e, 100000, 8));
}

TEST(CostModel, CorpusScaling) {
  const Objective lat = Objective::latency();
  const Estimate e = est(Kind::CompactHashIndex, 1 << 20);
  // n = 0 and n = 1 both scale by 100,000; 100,000 keys and more do not scale.
  EXPECT_EQ(nanos_of(lat, e, 0, 10), nanos_of(lat, e, 1, 10));
  EXPECT_EQ(nanos_of(lat, e, 100000, 10), nanos_of(lat, e, 5000000, 10));
  EXPECT_GT(nanos_of(lat, e, 1, 10), nanos_of(lat, e, 100000, 10));
}

TEST(CostModel, DictRowsAndInterpolation) {
  const Objective lat = Objective::latency();
  auto dict = [&](std::optional<std::uint64_t> block) {
    return nanos_of(lat, est(Kind::DictIndex, 0, block), 100000, 10.0);
  };
  // At a row: that row exactly (bytes 0 puts L on the row's floor).
  EXPECT_EQ(dict(32), 147.3 + 34.02 * 0.86 + 10 * (0.358 * 0.86));
  EXPECT_EQ(dict(128), 191.1 + 27.69 * 0.65 + 10 * (0.395 * 0.65));
  EXPECT_EQ(dict(256), 222 + 22.85 * 0.63 + 10 * (0.419 * 0.63));
  EXPECT_EQ(dict(1024), 289.2 + 18.6 * 0.49 + 10 * (0.428 * 0.49));
  // No block is 256; below 32 and past 1024 the end rows.
  EXPECT_EQ(dict(std::nullopt), dict(256));
  EXPECT_EQ(dict(1), dict(32));
  EXPECT_EQ(dict(2048), dict(1024));
  // Between rows, in log2 of the block: 512 is halfway from 256 to 1024, 64 from 32 to 128.
  EXPECT_NEAR(dict(512), 269.5776, 1e-9);
  EXPECT_NEAR(dict(64), 195.3381, 1e-9);
  // The size floor is interpolated too: a blob below it costs the same as an empty one.
  EXPECT_EQ(nanos_of(lat, est(Kind::DictIndex, 100, 512), 100000, 10.0), dict(512));
}

TEST(CostModel, Workloads) {
  const Estimate e = est(Kind::StringIndex, 3 << 20);
  const std::uint64_t n = 200000;
  const double K = 9.5;
  const double L = std::log2(48.0);
  auto term = [&](double a, double b, double c, double d) { return a + b * L + K * (c + d * L); };
  const double lookup = term(152.2, 15.3, 0, 1.209);
  const double hits = term(150.1, 18.16, 0, 1.185);
  const double misses = term(142, 15.55, 0, 1.206);
  const double b16 = term(143.2, 18.03, 0, 1.191);
  const double b1024 = term(138.9, 18.45, 0, 1.186);
  auto cost = [&](Workload w) { return nanos_of(workload(w), e, n, K); };

  EXPECT_DOUBLE_EQ(cost({}), lookup);
  EXPECT_DOUBLE_EQ(cost({.batch = 1}), lookup);
  EXPECT_DOUBLE_EQ(cost({.batch = 16}), b16);
  EXPECT_DOUBLE_EQ(cost({.batch = 1024}), b1024);
  EXPECT_DOUBLE_EQ(cost({.batch = 4096}), b1024);
  EXPECT_DOUBLE_EQ(cost({.batch = 4}), lookup + (b16 - lookup) / 2);
  EXPECT_DOUBLE_EQ(cost({.batch = 128}), b16 + (b1024 - b16) / 2);
  EXPECT_DOUBLE_EQ(cost({.hits = 1}), hits);
  EXPECT_DOUBLE_EQ(cost({.hits = 1, .misses = 1}), (hits + misses) / 2);
  EXPECT_DOUBLE_EQ(cost({.hits = 3, .misses = 1}), (3 * hits + misses) / 4);
  // Batching scales the lookups by batched / lookup, never the queries.
  const double reverse = term(251.3, 22.94, 10.942, 1.541);
  EXPECT_DOUBLE_EQ(cost({.hits = 1, .reverse = 1, .batch = 16}),
                   (hits * b16 / lookup + reverse) / 2);
  // Huge weights do not wrap when summed.
  EXPECT_DOUBLE_EQ(cost({.hits = UINT64_MAX, .misses = UINT64_MAX}), (hits + misses) / 2);
}

TEST(CostModel, AbsentOperations) {
  const Estimate compact = est(Kind::CompactHashIndex, 1 << 20);
  EXPECT_EQ(nanos_of(workload({.hits = 1, .reverse = 1}), compact, 100000, 8), INFINITY);
  EXPECT_EQ(nanos_of(workload({.prefix = 1}), est(Kind::PerfectHashIndex, 1 << 20), 100000, 8),
            INFINITY);
  // Weight 0 adds nothing, even for an absent operation.
  EXPECT_TRUE(std::isfinite(nanos_of(workload({.hits = 1}), compact, 100000, 8)));
}

// ---- Ranking ----

TEST(Rank, MemoryIsStableOnEqualBytes) {
  std::vector<Estimate> es = {est(Kind::StringIndex, 500), est(Kind::DictIndex, 300, 32),
                              est(Kind::DictIndex, 300, 256), est(Kind::PerfectHashIndex, 100)};
  rank(es, Objective::memory(), 1000, 8);
  EXPECT_EQ(es[0].kind, Kind::PerfectHashIndex);
  EXPECT_EQ(es[1].block, 32u);
  EXPECT_EQ(es[2].block, 256u);
  EXPECT_EQ(es[3].kind, Kind::StringIndex);
}

TEST(Rank, LatencyBreaksTiesBySize) {
  // Both below the DictIndex floor: equal modelled times, so the smaller blob first.
  std::vector<Estimate> es = {est(Kind::DictIndex, 50, 32), est(Kind::DictIndex, 40, 32)};
  rank(es, Objective::latency(), 100000, 8);
  EXPECT_EQ(es[0].bytes, 40u);
  // Hash lookups model faster than ordered ones.
  es = {est(Kind::StringIndex, 1000), est(Kind::DictIndex, 500, 256),
        est(Kind::CompactHashIndex, 2000)};
  rank(es, Objective::latency(), 100000, 8);
  EXPECT_EQ(es[0].kind, Kind::CompactHashIndex);
}

TEST(Rank, WorkloadPutsUnanswerableLast) {
  std::vector<Estimate> es = {est(Kind::CompactHashIndex, 10), est(Kind::StringIndex, 1 << 30),
                              est(Kind::ClosedHashIndex, 10)};
  rank(es, workload({.reverse = 1}), 100000, 8);
  EXPECT_EQ(es[0].kind, Kind::StringIndex);
  // The two infinite ones keep their order among themselves.
  EXPECT_EQ(es[1].kind, Kind::CompactHashIndex);
  EXPECT_EQ(es[2].kind, Kind::ClosedHashIndex);
}

TEST(Rank, BalancedWeighsTheWorseAxis) {
  const std::uint64_t n = 100000;
  const double K = 8;
  const Objective bal = Objective::balanced();
  // A: small but slow; B: 1.5x the bytes and fast; C: 3x the bytes.
  const Estimate a = est(Kind::DictIndex, 1000000, 1024);
  const Estimate b = est(Kind::PerfectHashIndex, 1500000);
  const Estimate c = est(Kind::StringIndex, 3000000);
  std::vector<Estimate> es = {a, b, c};
  rank(es, bal, n, K);
  const double min_nanos =
      std::min({nanos_of(bal, a, n, K), nanos_of(bal, b, n, K), nanos_of(bal, c, n, K)});
  auto score = [&](const Estimate& e) {
    return std::max(static_cast<double>(e.bytes) / 1e6, nanos_of(bal, e, n, K) / min_nanos);
  };
  EXPECT_LE(score(es[0]), score(es[1]));
  EXPECT_LE(score(es[1]), score(es[2]));
  EXPECT_EQ(es[0].kind, Kind::PerfectHashIndex);  // 1.5 on bytes beats ~9x on time
  // Zero bytes count as one when dividing.
  es = {est(Kind::ClosedHashIndex, 0), est(Kind::CompactHashIndex, 0)};
  rank(es, bal, 0, 0);
  EXPECT_EQ(es[0].kind, Kind::ClosedHashIndex);
}

TEST(Rank, CloseAndThin) {
  EXPECT_TRUE(close(std::vector{est(Kind::StringIndex, 100), est(Kind::DictIndex, 130, 32)}));
  EXPECT_FALSE(close(std::vector{est(Kind::StringIndex, 100), est(Kind::DictIndex, 131, 32)}));
  // One kind alone is never close, DictIndex block sizes included.
  EXPECT_FALSE(close(std::vector{est(Kind::StringIndex, 100)}));
  EXPECT_FALSE(close(std::vector{est(Kind::DictIndex, 100, 32), est(Kind::DictIndex, 100, 256),
                                 est(Kind::DictIndex, 101, 1024)}));
  // The smallest is found whatever the ranking, and compared with the smallest of another kind.
  EXPECT_TRUE(close(std::vector{est(Kind::PerfectHashIndex, 5000), est(Kind::DictIndex, 100, 32),
                                est(Kind::DictIndex, 110, 256), est(Kind::StringIndex, 125)}));

  Plan plan;
  plan.mean_length = 7;
  plan.mean_lcp = 5.5;
  plan.estimates = {est(Kind::StringIndex, 10, std::nullopt, false)};
  EXPECT_TRUE(plan.thin());
  plan.estimates[0].measured = true;  // a built best is never thin
  EXPECT_FALSE(plan.thin());
  plan.estimates[0].measured = false;
  plan.mean_lcp = 5;  // a suffix of exactly 2 bytes is enough
  EXPECT_FALSE(plan.thin());
}

// ---- The plan text ----

TEST(PlanText, ExactLines) {
  Plan plan;
  plan.objective = Objective::memory();
  plan.n = 8;
  plan.mean_length = 0.25;  // a tie: rounds to the even digit
  plan.mean_lcp = 0.35;     // just below 0.35 in binary
  plan.estimates = {est(Kind::ClosedHashIndex, 1), est(Kind::PerfectHashIndex, 123456789012345),
                    est(Kind::DictIndex, 100, 1024, false)};
  const std::string lines = plan.text();
  const double ns0 = nanos_of(plan.objective, plan.estimates[0], 8, 0.25);
  char expect_ns0[16];
  std::snprintf(expect_ns0, sizeof expect_ns0, "%5.0f", ns0);
  const std::string first = std::string("* ClosedHashIndex              1 bytes   0.12 B/key  ") +
                            expect_ns0 + " ns  built\n";
  EXPECT_EQ(lines.substr(0, lines.find('\n') + 1),
            "8 keys, mean length 0.2, mean shared prefix 0.3, ranked by size\n");
  EXPECT_NE(lines.find(first), std::string::npos) << lines;
  // A field wider than its width is printed whole.
  EXPECT_NE(lines.find("  PerfectHashIndex  123456789012345 bytes  15432098626543.12 B/key"),
            std::string::npos)
      << lines;
  EXPECT_NE(lines.find("  DictIndex                  100 bytes  12.50 B/key"), std::string::npos);
  EXPECT_NE(lines.find(" ns  estimated at block 1024\n"), std::string::npos);
  EXPECT_NE(lines.find("the nanoseconds are a model of this library's own machine, not a "
                       "measurement of yours\n"),
            std::string::npos);
  EXPECT_EQ(lines.find("the two cheapest"), std::string::npos);
  EXPECT_EQ(lines.back(), '\n');
}

TEST(PlanText, WholeTextGolden) {
  // Blobs below every size floor put L on the floor, so each time is a hand-computed figure:
  // ClosedHashIndex 47.4 + 10 * 0.06 = 48.0; CompactHashIndex 43.1 + 16.1 * 0.92 + 10 * 0.095 =
  // 58.862; DictIndex at 256: 222 + 22.85 * 0.63 + 10 * 0.419 * 0.63 = 239.0352.
  Plan plan;
  plan.objective = Objective::latency();
  plan.n = 100000;
  plan.mean_length = 10.0;
  plan.mean_lcp = 9.0;
  plan.estimates = {est(Kind::ClosedHashIndex, 0, std::nullopt, false),
                    est(Kind::CompactHashIndex, 0, std::nullopt, false),
                    est(Kind::DictIndex, 1234, 256, true)};
  EXPECT_EQ(plan.text(),
            "100000 keys, mean length 10.0, mean shared prefix 9.0, ranked by latency\n"
            "* ClosedHashIndex              0 bytes   0.00 B/key     48 ns  estimated\n"
            "  CompactHashIndex             0 bytes   0.00 B/key     59 ns  estimated\n"
            "  DictIndex                 1234 bytes   0.01 B/key    239 ns  built at block 256\n"
            "the nanoseconds are a model of this library's own machine, not a measurement of "
            "yours\n"
            "the two cheapest are within 1.3x, which is inside what an estimate can separate: "
            "build both\n"
            "the mean suffix is 1.0 bytes, too short for a sampled compression ratio to carry: "
            "build rather than quote\n");
}

TEST(PlanText, Rounding) {
  Plan plan;
  plan.estimates = {est(Kind::StringIndex, 1)};
  auto header = [&](double len, double lcp) {
    plan.mean_length = len;
    plan.mean_lcp = lcp;
    const std::string t = plan.text();
    return t.substr(0, t.find('\n'));
  };
  EXPECT_EQ(header(0.125, 0.375),
            "0 keys, mean length 0.1, mean shared prefix 0.4, ranked by size");
  EXPECT_EQ(header(2.25, 0.45), "0 keys, mean length 2.2, mean shared prefix 0.5, ranked by size");
  EXPECT_EQ(header(9.95, 99.96),
            "0 keys, mean length 9.9, mean shared prefix 100.0, ranked by size");
  // Two decimals: 0.125 and 0.375 are exact ties.
  plan.n = 8;
  plan.estimates = {est(Kind::StringIndex, 1), est(Kind::DictIndex, 3, 32)};
  const std::string t = plan.text();
  EXPECT_NE(t.find("1 bytes   0.12 B/key"), std::string::npos) << t;
  EXPECT_NE(t.find("3 bytes   0.38 B/key"), std::string::npos) << t;
  // No keys: 0 bytes a key.
  plan.n = 0;
  EXPECT_NE(plan.text().find("1 bytes   0.00 B/key"), std::string::npos);
}

TEST(PlanText, InfiniteNanosAndWarnings) {
  Plan plan;
  plan.objective = workload({.reverse = 2});
  plan.n = 200000;
  plan.mean_length = 3.0;
  plan.mean_lcp = 1.25;
  plan.estimates = {est(Kind::StringIndex, 1000, std::nullopt, false),
                    est(Kind::CompactHashIndex, 1200, std::nullopt, false)};
  const std::string t = plan.text();
  EXPECT_NE(t.find("ranked by workload (reverse 2)\n"), std::string::npos) << t;
  EXPECT_NE(t.find(" B/key    inf ns  estimated\n"), std::string::npos) << t;
  EXPECT_NE(t.find("the two cheapest are within 1.3x, which is inside what an estimate can "
                   "separate: build both\n"),
            std::string::npos);
  EXPECT_TRUE(
      t.ends_with("the mean suffix is 1.8 bytes, too short for a sampled compression ratio "
                  "to carry: build rather than quote\n"))
      << t;
  // The mark follows kind and block, on the first line only.
  EXPECT_EQ(t.find("* StringIndex"), t.find('\n') + 1);
  EXPECT_EQ(t.find("* ", t.find('\n') + 3), std::string::npos);
}

TEST(PlanText, ObjectiveWords) {
  auto words = [](const Objective& o) {
    Plan plan;
    plan.objective = o;
    plan.estimates = {est(Kind::StringIndex, 1)};
    const std::string t = plan.text();
    const std::size_t at = t.find("ranked by ") + 10;
    return t.substr(at, t.find('\n') - at);
  };
  EXPECT_EQ(words(Objective::memory()), "size");
  EXPECT_EQ(words(Objective::latency()), "latency");
  EXPECT_EQ(words(Objective::balanced()), "balanced");
  EXPECT_EQ(words(workload({})), "latency");
  EXPECT_EQ(words(workload({.batch = 1})), "latency");
  EXPECT_EQ(words(workload({.batch = 64})), "latency (batch 64)");
  EXPECT_EQ(words(workload({.hits = 9, .misses = 1})), "workload (hits 9, misses 1)");
  EXPECT_EQ(words(workload({.hits = 9, .misses = 1, .batch = 64})),
            "workload (hits 9, misses 1, batch 64)");
  EXPECT_EQ(words(workload({.hits = 1,
                            .misses = 2,
                            .reverse = 3,
                            .prefix = 4,
                            .common_prefix = 5,
                            .longest_prefix = 18446744073709551615u,
                            .batch = 4294967295u})),
            "workload (hits 1, misses 2, reverse 3, prefix 4, common_prefix 5, longest_prefix "
            "18446744073709551615, batch 4294967295)");
}
