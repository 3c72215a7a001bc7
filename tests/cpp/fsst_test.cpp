#include "fsst.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quenlith::fsst {
namespace {

std::vector<std::string> symbols_of(const Table& t) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < t.size(); ++i) {
    std::string s;
    for (unsigned k = 0; k < t.length(i); ++k)
      s.push_back(static_cast<char>(t.symbol(i) >> (8 * k)));
    out.push_back(s);
  }
  return out;
}

Table train(std::vector<std::string_view> pieces, std::uint64_t limit) {
  return Table::train_to(pieces, limit);
}

TEST(FsstTraining, WorkedVectors) {
  EXPECT_EQ(symbols_of(train({"abab"}, 255)), (std::vector<std::string>{"abab", "a", "b"}));
  EXPECT_EQ(symbols_of(train({"abab"}, 2)), (std::vector<std::string>{"abab", "a"}));
  EXPECT_EQ(symbols_of(train({"abcabcabc", "abcab"}, 255)),
            (std::vector<std::string>{"abca", "a", "b", "bcabc", "c"}));
  EXPECT_EQ(symbols_of(train({"a"}, 255)), (std::vector<std::string>{"a"}));
  EXPECT_EQ(train({}, 255).size(), 0u);
  EXPECT_EQ(train({"", ""}, 255).size(), 0u);
  EXPECT_EQ(train({"abc"}, 0).size(), 0u);
}

TEST(FsstTable, SerialisedFormAndItsRefusals) {
  const Table t = train({"hello world", "hello there"}, 255);
  std::vector<std::uint8_t> b;
  t.write_to(b);
  EXPECT_EQ(b.size(), t.serialized_len());
  EXPECT_EQ(Table::from_bytes(b), t);
  EXPECT_EQ(Table::from_bytes(std::vector<std::uint8_t>{0})->size(), 0u);
  using V = std::vector<std::uint8_t>;
  for (const V& bad : {V{}, V{1}, V{1, 0, 'a'}, V{1, 9, 1, 2, 3, 4, 5, 6, 7, 8, 9}, V{1, 2, 'a'},
                       V{1, 1, 'a', 'b'}, V{0, 0}})
    EXPECT_FALSE(Table::from_bytes(bad)) << bad.size();
  EXPECT_EQ(t.head(0).size(), 0u);
  EXPECT_EQ(t.head(1000), t);
  EXPECT_EQ(t.head(2).size(), 2u);
}

TEST(FsstEncoder, LookupRules) {
  const auto text = [](const char* s) { return reinterpret_cast<const std::uint8_t*>(s); };
  const Encoder empty = Table().encoder();
  for (std::size_t p = 0; p < 3; ++p) {
    const auto m = empty.find(text("xyz"), 3, p);
    EXPECT_EQ(m.code, kEscape);
    EXPECT_EQ(m.length, 1);
  }
  // A two-byte symbol is not used on the last byte alone.
  Table t;
  t.push('a' | ('b' << 8), 2);
  t.push('a', 1);
  const Encoder e = t.encoder();
  EXPECT_EQ(e.find(text("ab"), 2, 0).code, 0);
  EXPECT_EQ(e.find(text("aa"), 2, 1).code, 1);
  EXPECT_EQ(e.find(text("ac"), 2, 0).code, 1);
  // Two long symbols in one slot: the longer wins; the other still decodes by its code.
  Table s;
  s.push(0x636261, 3);    // "abc"
  s.push(0x64636261, 4);  // "abcd", same first three bytes, same slot
  const Encoder se = s.encoder();
  EXPECT_EQ(se.find(text("abcd"), 4, 0).code, 1);
  EXPECT_EQ(se.find(text("abcx"), 4, 0).code, kEscape);
  std::vector<std::uint8_t> out;
  se.encode(std::vector<std::uint8_t>{'a', 'b', 'c', 'd', 'z'}, out);
  EXPECT_EQ(out, (std::vector<std::uint8_t>{1, 255, 'z'}));
}

}  // namespace
}  // namespace quenlith::fsst
