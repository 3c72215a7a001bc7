#include "phrase.hpp"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

namespace quenlith::phrase {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes serial(const Dict& d) {
  Bytes b;
  d.write_to(b);
  return b;
}

std::string phrase_of(const Dict& d, std::uint64_t id) {
  const auto p = d.phrase(id);
  return p ? std::string(reinterpret_cast<const char*>(p->first), p->second) : "<none>";
}

TEST(PhraseDict, EmptyAndGroups) {
  const Dict empty;
  EXPECT_EQ(serial(empty), Bytes(4, 0));
  EXPECT_EQ(Dict::read(Bytes(4, 0))->bytes().size(), kPad);
  EXPECT_FALSE(Dict::read(Bytes(3, 0)));
  EXPECT_EQ(Dict::read(Bytes{0, 0, 0, 0, 'x', 'y'})->count(), 0u);

  std::vector<std::string> p256, p257;
// GCC 12 reports a false -Wrestrict inside std::string's operator+(const char*, std::string&&)
// (GCC bug 105651); the strings never overlap.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
  for (int i = 0; i < 257; ++i) (i < 256 ? p256 : p257).push_back("p" + std::to_string(i));
#pragma GCC diagnostic pop
  p257.insert(p257.begin(), p256.begin(), p256.end());
  const Dict d256 = Dict::of(p256), d257 = Dict::of(p257);
  EXPECT_EQ(d256.offsets().size(), 257u);
  EXPECT_NE(d256.offsets().back(), 0);
  EXPECT_EQ(d257.offsets().size(), 514u);
  for (std::size_t k = 259; k < 514; ++k) EXPECT_EQ(d257.offsets()[k], 0);
  const auto again = Dict::read(serial(d257));
  ASSERT_TRUE(again);
  EXPECT_EQ(*again, d257);
  EXPECT_EQ(phrase_of(*again, 256), "p256");
  EXPECT_EQ(phrase_of(*again, 3), "p3");
  EXPECT_EQ(phrase_of(*again, 257), "<none>");
  // One byte short of the groups' bases and offsets.
  Bytes cut = serial(d257);
  cut.resize(4 + 518 * 2 - 1);
  EXPECT_FALSE(Dict::read(cut));
}

TEST(PhraseDict, PhraseLengthLimits) {
  EXPECT_TRUE(Dict::read(serial(Dict::of(std::vector<std::string>{std::string(32, 'a')}))));
  EXPECT_FALSE(Dict::read(serial(Dict::of(std::vector<std::string>{std::string(33, 'a')}))));
  Bytes zero = serial(Dict::of(std::vector<std::string>{"ab"}));
  zero[4 + 4 + 2] = 0;  // phrase 0 ends where it starts
  EXPECT_FALSE(Dict::read(zero));
  Bytes past = serial(Dict::of(std::vector<std::string>{"ab"}));
  past.pop_back();  // its end passes the data
  EXPECT_FALSE(Dict::read(past));
}

TEST(PhraseTrie, WalksReportEveryPrefixMatch) {
  EXPECT_EQ(Trie::of({}).cells(), Trie::empty().cells());
  const std::vector<std::string> list{"ab", "abc", "x", "ab"};
  const Trie t = Trie::of(list);
  std::vector<std::pair<std::size_t, std::uint32_t>> got;
  const std::string text = "abcz";
  t.walk(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(),
         [&](std::size_t len, std::uint32_t v) { got.emplace_back(len, v); });
  // The repeated "ab" keeps the later id (3), so its value is 4.
  EXPECT_EQ(got, (std::vector<std::pair<std::size_t, std::uint32_t>>{{2, 4}, {3, 2}}));
  got.clear();
  t.walk(reinterpret_cast<const std::uint8_t*>("qab"), 3,
         [&](std::size_t len, std::uint32_t v) { got.emplace_back(len, v); });
  EXPECT_TRUE(got.empty());
  // Every cell's candidate children stay inside the cells.
  std::uint32_t max_base = 0;
  for (const Cell& c : t.cells()) max_base = std::max(max_base, c.base);
  EXPECT_GE(t.cells().size(), std::size_t{max_base} + 256);
}

}  // namespace
}  // namespace quenlith::phrase

#include "dict_index.hpp"
#include "dict_testing.hpp"

namespace quenlith::phrase {
namespace {

std::span<const std::uint8_t> B(std::string_view s) { return bytes::as_bytes(s); }

TEST(PhraseParse, CostRulesAndTies) {
  Scratch scratch;
  const fsst::Encoder none = fsst::Table().encoder();
  EXPECT_EQ(parse(B(""), none, Trie::empty(), Params::off(), scratch), 0u);
  tokens(0, scratch);
  EXPECT_TRUE(scratch.tokens.empty());
  EXPECT_EQ(parse(B("xyz"), none, Trie::empty(), Params::mining(), scratch), 48u);
  EXPECT_EQ(scratch.choice[0], 5u);
  // The phrase abc against the symbols ab and c: 16 bits either way, the symbols win.
  fsst::Table t;
  t.push('a' | 'b' << 8, 2);
  t.push('c', 1);
  const fsst::Encoder e = t.encoder();
  const std::vector<std::string> list{"abc"};
  const Trie trie = Trie::of(list);
  EXPECT_EQ(parse(B("abc"), e, trie, {true, 1, 1}, scratch), 16u);
  tokens(3, scratch);
  ASSERT_EQ(scratch.tokens.size(), 2u);
  EXPECT_EQ(scratch.tokens[0].kind, kSymbol);
  EXPECT_EQ(scratch.tokens[0].length, 2u);
  EXPECT_EQ(scratch.tokens[1].value, 1u);
  // Without symbols the phrase wins: 16 bits as a two-byte id, 24 past them, unusable past
  // the usable count.
  EXPECT_EQ(parse(B("abc"), none, trie, {true, 1, 1}, scratch), 16u);
  tokens(3, scratch);
  EXPECT_EQ(scratch.tokens[0].kind, kPhrase);
  EXPECT_EQ(parse(B("abc"), none, trie, {true, 0, 1}, scratch), 24u);
  EXPECT_EQ(parse(B("abc"), none, trie, {true, 1, 0}, scratch), 48u);
}

TEST(PhraseParse, MemoPricesEqualParses) {
  const auto keys = dict_testing::path_keys(300, 5);
  std::vector<std::string_view> pieces(keys.begin(), keys.end());
  const fsst::Table table = fsst::Table::train_to(pieces, 255);
  const fsst::Table head = table.head(127);
  const fsst::Encoder full = table.encoder(), cut = head.encoder();
  const std::vector<std::string> list{"/usr/", "share/doc/", "package/", "changelog", "lib1"};
  const Trie trie = Trie::of(list);
  const fsst::Encoder* rows[] = {&full, &cut};
  Memo memo;
  Scratch scratch;
  std::vector<std::uint32_t> cost;
  for (const auto& k : keys) {
    memo.fill(B(k), rows, trie);
    for (std::size_t r = 0; r < 2; ++r)
      for (const Params& p :
           {Params::off(), Params::split(127, 0), Params::split(254, 1), Params{true, 2, 4}})
        ASSERT_EQ(memo.price(r, p, cost), parse(B(k), *rows[r], trie, p, scratch)) << k;
  }
}

TEST(PhraseParse, SymbolsAloneEqualThePlainParse) {
  // Every suffix of every key, so that matches near the end read fewer than eight bytes.
  const auto keys = dict_testing::path_keys(200, 11);
  std::vector<std::string_view> pieces(keys.begin(), keys.end());
  const fsst::Encoder enc = fsst::Table::train_to(pieces, 255).encoder();
  Scratch scratch;
  std::vector<std::uint32_t> plain;
  for (std::string_view k : pieces)
    for (std::size_t from = 0; from <= k.size(); ++from) {
      const auto text = B(k.substr(from));
      ASSERT_EQ(parse(text, enc, Trie::empty(), Params::off(), scratch),
                parse_plain(text, enc, plain))
          << k.substr(from);
    }
}

// The entries of a map as (bytes, gain), sorted.
std::vector<std::pair<std::string, std::uint64_t>> entries(const CountMap& map) {
  std::vector<std::pair<std::string, std::uint64_t>> out;
  map.each([&](const CountMap::Entry& e) { out.emplace_back(std::string(e.bytes), e.gain); });
  std::sort(out.begin(), out.end());
  return out;
}

TEST(PhraseCountMap, AddsAndDropsLikeAnOrderedMap) {
  // Small tables crowd their keys into runs that wrap around the end; dropping must leave every
  // survivor findable, and growing past the room given must keep every entry.
  for (std::uint64_t seed = 0; seed < 40; ++seed) {
    std::mt19937_64 rng(seed);
    CountMap map(seed % 3 == 0 ? 0 : 20);
    std::map<std::uint64_t, std::uint64_t> model;
    const std::string names = "abcdefghijklmnopqrstuvwxyz";
    for (int step = 0; step < 400; ++step) {
      const std::uint64_t key = rng() % 60 * 0x9E3779B97F4A7C15ULL;
      const std::uint64_t gain = 1 + rng() % 5;
      if (step % 50 == 49) {
        map.drop_at_most(3);
        std::erase_if(model, [](const auto& e) { return e.second <= 3; });
      } else {
        map.add(key, gain, std::string_view(names).substr(key % 26, 1));
        model[key] += gain;
      }
      ASSERT_EQ(map.size(), model.size()) << seed << " " << step;
    }
    std::map<std::uint64_t, std::uint64_t> seen;
    map.each([&](const CountMap::Entry& e) { seen[e.key] = e.gain; });
    EXPECT_EQ(seen, model) << seed;
  }
}

TEST(PhraseRound, PrunesAtTheMedianOverAllMaps) {
  fsst::Table a;
  a.push('a', 1);
  a.push('b', 1);
  // abcd twice counts abc 4 and bcd 6: two entries, at the limit. acd then brings a third (gain
  // 3): the median of 3, 4, 6 is 4, and only bcd stays, however the keys split among the maps.
  const std::vector<std::string_view> pieces{"abcd", "abcd", "acd"};
  const Unit unit{pieces, &a};
  for (std::size_t m : {1u, 2u, 5u}) {
    std::vector<CountMap> maps(m);
    round(std::span(&unit, 1), Trie::empty(), 0, 2, maps);
    std::vector<std::pair<std::string, std::uint64_t>> all;
    for (const CountMap& map : maps)
      for (auto& e : entries(map)) all.push_back(e);
    EXPECT_EQ(all, (std::vector<std::pair<std::string, std::uint64_t>>{{"bcd", 6}})) << m;
  }
  // Every entry at the same gain: pruning empties the maps.
  const std::vector<std::string_view> same{"acd", "bcd"};
  const Unit twin{same, &a};
  std::vector<CountMap> one(1);
  round(std::span(&twin, 1), Trie::empty(), 0, 1, one);
  EXPECT_TRUE(one[0].empty());
}

TEST(PhraseMerge, SumsKeysAndKeepsTheLargestMapsBytes) {
  // Key 1 is in all three maps under different bytes: the largest map (the second) keeps its
  // bytes. Key 2 is in the first and third: the first, earlier, keeps its bytes.
  std::vector<CountMap> maps(3);
  maps[0].add(1, 5, "one-a");
  maps[0].add(2, 1, "two-a");
  maps[1].add(1, 5, "one-b");
  maps[1].add(3, 2, "three");
  maps[1].add(4, 9, "four");
  maps[2].add(1, 5, "one-c");
  maps[2].add(2, 1, "two-c");
  auto all = merge(maps, 10);
  std::sort(all.begin(), all.end(), rank);
  ASSERT_EQ(all.size(), 4u);
  EXPECT_EQ(all[0].bytes, "one-b");
  EXPECT_EQ(all[0].gain, 15u);
  EXPECT_EQ(all[1].bytes, "four");
  EXPECT_EQ(all[2].bytes, "three");
  EXPECT_EQ(all[3].bytes, "two-a");
  EXPECT_EQ(all[3].gain, 2u);
  // At equal sizes the later map is the accumulator.
  std::vector<CountMap> tied(2);
  tied[0].add(7, 1, "first");
  tied[1].add(7, 1, "second");
  EXPECT_EQ(merge(std::move(tied), 1)[0].bytes, "second");
  // The cap keeps the best under `rank`.
  const auto top = merge(std::move(maps), 2);
  EXPECT_EQ(top.size(), 2u);
}

TEST(PhraseSettle, SplitCandidates) {
  using V = std::vector<std::pair<unsigned, unsigned>>;
  EXPECT_EQ(split_candidates(300), (V{{127, 0}, {191, 0}, {223, 0}, {239, 0}, {254, 0}, {254, 1}}));
  EXPECT_EQ(split_candidates(256), (V{{127, 0}, {191, 0}, {223, 0}, {239, 0}, {254, 0}}));
  const V big = split_candidates(10000000);
  for (auto c : V{{127, 128}, {191, 64}, {223, 32}, {239, 16}, {254, 1}})
    EXPECT_NE(std::find(big.begin(), big.end(), c), big.end()) << c.first;
  EXPECT_EQ(big.size(), 10u);
}

TEST(PhraseMine, ListDoesNotDependOnThreads) {
  const auto keys = dict_testing::path_keys(40000, 9);
  std::vector<std::string_view> v(keys.begin(), keys.end());
  std::sort(v.begin(), v.end());
  v.erase(std::unique(v.begin(), v.end()), v.end());
  const auto pieces = dict_index::build_pieces(v, 32, 16, false);
  const auto tables = dict_index::train_shards(pieces, 1);
  const auto one = mine(pieces, tables, v.size(), 4096, 1);
  EXPECT_FALSE(one.empty());
  for (unsigned t : {2u, 8u, 21u}) EXPECT_EQ(mine(pieces, tables, v.size(), 4096, t), one) << t;
  // The list is best first: the phrases that pay get the two-byte ids.
  for (const auto& p : one) {
    EXPECT_GE(p.size(), 1u);
    EXPECT_LE(p.size(), 32u);
  }
}

TEST(PhraseMine, NothingToMine) {
  const std::vector<std::vector<std::string_view>> empty(3);
  const std::vector<fsst::Table> tables(3);
  EXPECT_TRUE(mine(empty, tables, 100000, 4096, 4).empty());
  const std::vector<Unit> none;
  EXPECT_FALSE(worth(none, std::vector<std::string>{"abc"}));
}

}  // namespace
}  // namespace quenlith::phrase

namespace quenlith::phrase {
namespace {

TEST(PhrasePackedOnly, AlphabetAgainstTable) {
  using Lists = std::vector<std::vector<std::string_view>>;
  const std::vector<fsst::Table> none(3);
  // Two byte values: one bit a byte beats a table without symbols (16 bits a byte).
  const Lists binary{{"abba", "baab"}, {}, {"aaab"}};
  EXPECT_TRUE(packed_only(binary, none));
  // No pieces at all, or only empty ones: no alphabet to weigh.
  EXPECT_FALSE(packed_only(Lists(3), none));
  EXPECT_FALSE(packed_only(Lists{{"", ""}}, std::vector<fsst::Table>(1)));
  // A table whose symbols cover the pieces in few codes wins over the alphabet.
  const std::vector<std::string_view> text{"abcdefgh", "abcdefgh", "abcdefgh"};
  fsst::Table t;
  t.push(bytes::load_u64(reinterpret_cast<const std::uint8_t*>("abcdefgh")), 8);
  EXPECT_FALSE(packed_only(Lists{text}, std::vector<fsst::Table>{t}));
}

}  // namespace
}  // namespace quenlith::phrase
