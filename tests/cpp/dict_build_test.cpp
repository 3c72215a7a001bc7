// The bytes the build writes for small hand-worked runs, and the mining and alphabet rules at
// their stated edges.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "dict_index_internal.hpp"
#include "phrase.hpp"

namespace quenlith::dict_index {
namespace {

using Bytes = std::vector<std::uint8_t>;
using paircode::Pair;

// A collection whose entries have the given raw suffixes and no coded bytes.
Collected with_suffixes(const std::vector<std::string>& suffixes) {
  Collected c;
  for (const std::string& s : suffixes) {
    c.shared.push_back(0);
    c.bytes.insert(c.bytes.end(), s.begin(), s.end());
    c.byte_ends.push_back(c.bytes.size());
    c.coded_ends.push_back(0);
  }
  return c;
}

TEST(DictRunWriter, PairCodeWorkedExample) {
  // One run of (1, 3), (1, 3), (2, 3), (1, 3), (300, 4): tag 0 with widths (1, 1) and no header
  // bits; entry words 0, 0, 2, 0 and the escape 3, then the escaped pair as LEB128 values.
  const std::vector<Pair> run{{1, 3}, {1, 3}, {2, 3}, {1, 3}, {300, 4}};
  const std::span<const Pair> runs[] = {run};
  const paircode::Choice choice = paircode::choose_cost(runs);
  ASSERT_EQ(choice.code.tag, 0);
  const Collected c = with_suffixes({"", "", "", "", ""});
  Bytes out;
  write_run(choice.code, {}, Codec::of_table(fsst::Table()), c, run, 0, out);
  EXPECT_EQ(out, (Bytes{0x20, 0x03, 0xAC, 0x02, 0x04}));
  // No entries: not even a header word.
  out.clear();
  write_run(choice.code, {}, Codec::of_table(fsst::Table()), c, {}, 0, out);
  EXPECT_TRUE(out.empty());
}

TEST(DictRunWriter, PackedLiteralsAndEscapeAlignment) {
  // Three bits a unit, seven primary bytes a..g and the secondary byte h.
  const Codec packed = *Codec::read(Bytes{1, 3, 6, 1, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'});
  const Collected c = with_suffixes({"z", "a"});
  std::vector<Pair> pairs;
  c.pairs(packed, pairs);
  // A literal takes two all-ones units and ceil(8 / 3) = 3 units of its bits.
  ASSERT_EQ(pairs, (std::vector<Pair>{{0, 5}, {0, 1}}));
  pairs[1].shared = 300;  // wider than any pair table entry: escaped
  paircode::Code code;
  code.tag = 1;
  code.width = 1;
  code.table = {0x0005};
  std::vector<std::uint16_t> inverse(65536, 0xFFFF);
  inverse[0x0005] = 0;
  Bytes out;
  write_run(code, inverse, packed, c, pairs, 0, out);
  // Entry words 0 and the escape 1; 'z' (0x7A) as units 7, 7, 2, 7, 1 in 15 bits; the escape
  // closes the partial byte before 300 and 1 in LEB128; 'a' as one zero unit.
  EXPECT_EQ(out, (Bytes{0x02, 0xBF, 0x1E, 0xAC, 0x02, 0x01, 0x00}));
}

TEST(DictBuild, TrainingPiecesFollowTheShardStride) {
  // 70,000 keys in blocks of 256: a full first shard of 65,536 keys samples every 6th group of
  // 256 keys, the short second shard every group; heads give no piece.
  std::vector<std::string> keys;
  char buf[16];
  for (int i = 0; i < 70000; ++i) {
    std::snprintf(buf, sizeof buf, "k%06d", i);
    keys.emplace_back(buf);
  }
  const std::vector<std::string_view> views(keys.begin(), keys.end());
  const auto sampled = build_pieces(views, 256, 16, false);
  ASSERT_EQ(sampled.size(), 2u);
  EXPECT_EQ(sampled[0].size(), 43u * 255);
  EXPECT_EQ(sampled[1].size(), 4464u - 18);
  // A microblock's first key is cut against the previous restart, any other against its
  // predecessor; the next sampled group starts at the head 1,536.
  EXPECT_EQ(sampled[0][15], "16");
  EXPECT_EQ(sampled[0][16], "7");
  EXPECT_EQ(sampled[0][254], "5");
  EXPECT_EQ(sampled[0][255], "7");
  EXPECT_EQ(sampled[0][270], "52");
  const auto all = build_pieces(views, 256, 16, true);
  EXPECT_EQ(all[0].size(), 65536u - 256);
  // The streamed build's sampler, holding copies of the keys it cuts against, takes the same.
  PieceSampler<std::string> copying(keys.size(), 256, 16, false);
  std::vector<std::vector<std::string>> streamed(copying.shards());
  for (const std::string& k : keys) {
    std::string transient = k;  // gone before the next key, as a replayed key is
    if (const auto piece = copying.next(transient))
      streamed[piece->first].emplace_back(piece->second);
    transient.assign(transient.size(), '#');
  }
  ASSERT_EQ(streamed.size(), sampled.size());
  for (std::size_t s = 0; s < sampled.size(); ++s)
    EXPECT_TRUE(std::equal(streamed[s].begin(), streamed[s].end(), sampled[s].begin(),
                           sampled[s].end()))
        << s;
}

}  // namespace
}  // namespace quenlith::dict_index

namespace quenlith::phrase {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::uint64_t le(const char* s, unsigned n) {
  std::uint64_t v = 0;
  for (unsigned i = 0; i < n; ++i) v |= std::uint64_t{static_cast<std::uint8_t>(s[i])} << (8 * i);
  return v;
}

std::vector<std::pair<std::string, std::uint64_t>> counted(
    const std::vector<std::string_view>& p, const fsst::Table& table,
    const std::vector<std::string>& phrases = {}) {
  const Unit unit{p, &table};
  std::vector<CountMap> maps(1);
  round(std::span(&unit, 1), Trie::of(phrases), phrases.size(), 262144, maps);
  std::vector<std::pair<std::string, std::uint64_t>> out;
  maps[0].each([&](const CountMap::Entry& e) { out.emplace_back(std::string(e.bytes), e.gain); });
  std::sort(out.begin(), out.end());
  return out;
}

TEST(PhraseRound, CandidateRunsAndGains) {
  fsst::Table a;
  a.push('a', 1);
  a.push('b', 1);
  // A symbol and two escapes, three bytes: 1 + 2 + 2 - 2 = 3. Two one-byte symbols alone (two
  // bytes) are never a candidate.
  using Counts = std::vector<std::pair<std::string, std::uint64_t>>;
  EXPECT_EQ(counted({"acd"}, a), (Counts{{"acd", 3}}));
  EXPECT_TRUE(counted({"ab"}, a).empty());
  // Runs of up to three tokens: "abcd" parses a, b, c, d; the runs abc (1 + 1 + 2 - 2) and bcd
  // (1 + 2 + 2 - 2) are counted, and so is each again in the second piece.
  EXPECT_EQ(counted({"abcd", "abcd"}, a), (Counts{{"abc", 4}, {"bcd", 6}}));
  // A phrase token alone gains its symbol cost (31 escapes, 62 bytes) less its code's 2; a run
  // whose lengths pass 32 bytes stops extending, so the phrase, q and r is no candidate.
  const std::string p31(31, 'p');
  const std::string text = p31 + "qr";
  EXPECT_EQ(counted({text}, fsst::Table(), {p31}), (Counts{{p31, 60}, {p31 + "q", 2}}));
}

TEST(PhrasePackedOnly, ExaminesEveryThirdShard) {
  using Lists = std::vector<std::vector<std::string_view>>;
  // "ab" shards favour the alphabet under an empty table; a shard whose table covers its pieces
  // in one code does not.
  fsst::Table full;
  full.push(le("xyzwxyzw", 8), 8);
  const std::vector<std::string_view> wins{"abba", "baab"}, loses{"xyzwxyzw", "xyzwxyzw"};
  // Four shards: 0 and 2 are examined, so losing shards 1 and 3 do not matter.
  EXPECT_TRUE(packed_only(Lists{wins, loses, wins, loses},
                          std::vector<fsst::Table>{fsst::Table(), full, fsst::Table(), full}));
  EXPECT_FALSE(packed_only(Lists{wins, wins, loses, wins},
                           std::vector<fsst::Table>{fsst::Table(), fsst::Table(), full, {}}));
  // Seven shards: 0, 3 and 6.
  std::vector<std::vector<std::string_view>> seven(7, loses);
  std::vector<fsst::Table> tables(7, full);
  for (std::size_t s : {0, 3, 6}) seven[s] = wins, tables[s] = fsst::Table();
  EXPECT_TRUE(packed_only(seven, tables));
  seven[6] = loses, tables[6] = full;
  EXPECT_FALSE(packed_only(seven, tables));
}

TEST(PhraseDict, ThreeHundredPhrasesMakeTwoGroups) {
  std::vector<std::string> list;
  for (int i = 0; i < 300; ++i) list.push_back("ph" + std::to_string(1000 + i));
  const Dict d = Dict::of(list);
  ASSERT_EQ(d.offsets().size(), 514u);
  EXPECT_EQ(d.offsets()[257], 0);
  EXPECT_EQ(d.offsets()[301], 44 * 6);
  for (std::size_t k = 302; k < 514; ++k) EXPECT_EQ(d.offsets()[k], 0) << k;
  Bytes b;
  d.write_to(b);
  // The count, then the bases 0 and 256 x 6 bytes.
  EXPECT_EQ(bytes::load_u32(b.data()), 300u);
  EXPECT_EQ(bytes::load_u32(b.data() + 4), 0u);
  EXPECT_EQ(bytes::load_u32(b.data() + 8), 256u * 6);
  EXPECT_EQ(b.size(), 4 + 8 + 514 * 2 + 300u * 6);
}

}  // namespace
}  // namespace quenlith::phrase
