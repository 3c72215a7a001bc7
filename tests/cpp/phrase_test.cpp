#include "phrase.hpp"

#include <gtest/gtest.h>

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
  for (int i = 0; i < 257; ++i) (i < 256 ? p256 : p257).push_back("p" + std::to_string(i));
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
