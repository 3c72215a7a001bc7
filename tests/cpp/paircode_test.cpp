#include "paircode.hpp"

#include <gtest/gtest.h>

#include <random>

namespace quenlith::paircode {
namespace {

using Bytes = std::vector<std::uint8_t>;

Choice choose(std::vector<std::vector<Pair>> runs) {
  std::vector<std::span<const Pair>> spans(runs.begin(), runs.end());
  return choose_cost(spans);
}

Bytes serial(const Code& c) {
  Bytes b;
  c.write_to(b);
  return b;
}

TEST(PairCode, WorkedExample) {
  const std::vector<Pair> run{{1, 3}, {1, 3}, {2, 3}, {1, 3}, {300, 4}};
  FitScratch scratch;
  const RunFit f = fit_run(run, scratch);
  EXPECT_EQ(f.min_shared, 1u);
  EXPECT_EQ(f.min_length, 3u);
  EXPECT_EQ(f.ws, 1u);
  EXPECT_EQ(f.wl, 1u);
  EXPECT_EQ(f.escape_bytes, 3u);
  const Choice c = choose({run});
  EXPECT_EQ(c.code.tag, 0);
  EXPECT_EQ(c.price, 11u);
  EXPECT_EQ(serial(c.code), (Bytes{0x00, 0x01, 0x03, 0x11, 0x00, 0x00, 0x00}));
}

TEST(PairCode, NoPairsAndEqualPairs) {
  const Choice none = choose({{}, {}});
  EXPECT_EQ(none.price, 0u);
  EXPECT_EQ(serial(none.code), Bytes(7, 0));
  EXPECT_EQ(Code::read(Bytes(7, 0))->first, none.code);
  // n equal pairs: the only candidate widths are (0, 0), where every entry is the escape word;
  // a one-entry pair table is far cheaper.
  const std::vector<Pair> same(20, Pair{5, 9});
  FitScratch scratch;
  const RunFit f = fit_run(same, scratch);
  EXPECT_EQ(f.ws, 0u);
  EXPECT_EQ(f.wl, 0u);
  EXPECT_EQ(f.escape_bytes, 40u);
  const Choice c = choose({same});
  EXPECT_EQ(c.code.tag, 1);
  EXPECT_EQ(c.code.width, 1u);
  EXPECT_EQ(c.code.table, (std::vector<std::uint16_t>{5 << 8 | 9}));
  EXPECT_EQ(c.price, 4u + 2 + 3);
  // All pairs wide: tag 1 has an empty table yet still competes.
  const Choice wide = choose({{{300, 400}, {301, 400}}});
  EXPECT_TRUE(wide.code.tag == 0 || wide.code.table.empty());
}

TEST(PairCode, ReaderRefusals) {
  EXPECT_FALSE(Code::read(Bytes{}));
  EXPECT_FALSE(Code::read(Bytes{2}));
  EXPECT_FALSE(Code::read(Bytes{1, 0, 0, 0}));
  EXPECT_FALSE(Code::read(Bytes{1, 11, 0, 0}));
  EXPECT_FALSE(Code::read(Bytes{1, 1, 2, 0, 0, 0, 0, 0}));    // count 2 = 2^w
  EXPECT_FALSE(Code::read(Bytes{1, 2, 1, 0, 0}));             // table cut short
  EXPECT_FALSE(Code::read(Bytes{0, 0, 0, 0, 33, 0, 0}));      // w1 = 33
  EXPECT_FALSE(Code::read(Bytes{0, 0, 0, 0, 32, 15, 0x55}));  // 57 bits
  EXPECT_TRUE(Code::read(Bytes{0, 0, 0, 0, 32, 14, 0x55}));   // 56 bits
  EXPECT_FALSE(Code::read(Bytes{0, 0x80, 0, 0, 0, 0}));       // truncated
  const auto t = Code::read(Bytes{1, 10, 0xFF, 0x03, 0, 0});
  EXPECT_FALSE(t);  // 1023 entries claimed, 1 present
  const auto ok = Code::read(Bytes{1, 2, 1, 0, 0x03, 0x01, 0xAA});
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->second, 6u);
  EXPECT_EQ(ok->first.table, (std::vector<std::uint16_t>{0x0103}));
}

TEST(PairCode, VarintsAndTailWords) {
  Bytes b;
  put_varint(b, ~std::uint64_t{0});
  EXPECT_EQ(b.size(), 10u);
  EXPECT_EQ(b.back(), 1);
  EXPECT_EQ(get_varint(b)->first, ~std::uint64_t{0});
  b.back() = 2;
  EXPECT_FALSE(get_varint(b));
  EXPECT_FALSE(get_varint(Bytes{0x80}));
  EXPECT_EQ(get_varint(Bytes{0xAC, 0x02, 9})->first, 300u);
  const Bytes w{1, 2, 3};
  EXPECT_EQ(tail_word(w.data(), w.size(), 1), 0x0302u);
  EXPECT_EQ(tail_word(w.data(), w.size(), 3), 0u);
}

// The fit's cost equals a brute-force count of code and escape bytes at its widths, and no
// candidate width pair is cheaper.
TEST(PairCode, FitIsTheCheapestCandidate) {
  std::mt19937 rng(4);
  FitScratch scratch;
  for (int round = 0; round < 300; ++round) {
    std::vector<Pair> run(1 + rng() % 40);
    for (auto& p : run) p = {rng() % (1u << (rng() % 12)), rng() % (1u << (rng() % 10))};
    const RunFit f = fit_run(run, scratch);
    auto cost = [&](unsigned ws, unsigned wl, std::uint64_t& esc) {
      esc = 0;
      for (const Pair& p : run) {
        const std::uint64_t ds = p.shared - f.min_shared, dl = p.length - f.min_length;
        if (ds > mask(ws) || dl > mask(wl) || (ds == mask(ws) && dl == mask(wl)))
          esc += leb_len(p.shared) + leb_len(p.length);
      }
      return ((ws + wl) * run.size() + 7) / 8 + esc;
    };
    std::uint64_t esc;
    const std::uint64_t best = cost(f.ws, f.wl, esc);
    EXPECT_EQ(esc, f.escape_bytes);
    unsigned maxs = 0, maxl = 0;
    for (const Pair& p : run) {
      maxs = std::max(maxs, bitlen(p.shared - f.min_shared));
      maxl = std::max(maxl, bitlen(p.length - f.min_length));
    }
    for (unsigned ws = 0; ws <= std::min(maxs, 14u); ++ws)
      for (unsigned wl = 0; wl <= std::min(maxl, 14u); ++wl) {
        std::uint64_t e;
        EXPECT_GE(cost(ws, wl, e), best);
      }
  }
}

}  // namespace
}  // namespace quenlith::paircode
