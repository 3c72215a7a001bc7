#include "fst/levenshtein.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "fst/error.hpp"
#include "fst/utf8.hpp"
#include "vectors.hpp"

namespace {

using fst_test::true_distance;

std::string text(const fst_test::Bytes& b) { return {b.begin(), b.end()}; }
std::string hex_of(std::string_view s) {
  return fst_test::to_hex(fst_test::Bytes(s.begin(), s.end()));
}

using fst::automaton::Levenshtein;
using fst::automaton::LevenshteinError;

// Runs the automaton over `key`; also checks that can_match never gives up on a prefix of a key
// that matches.
bool run(const Levenshtein& a, std::string_view key) {
  auto s = a.start();
  for (unsigned char b : key) s = a.accept(s, b);
  return a.is_match(s);
}

// Edit distance in scalars, or nothing when either side is not UTF-8.

bool within(std::string_view query, std::string_view key, std::uint32_t d) {
  const auto dist = true_distance(query, key);
  return dist && *dist <= d;
}

TEST(LevenshteinConstruction, StateCountsAndRefusalsMatchVectors) {
  for (const auto& v : fst_test::load_jsonl("levenshtein_dfa.jsonl")) {
    const std::string query = text(fst_test::hex(v["query_hex"].get<std::string>()));
    const auto d = v["distance"].get<std::uint32_t>();
    const auto states = v["dfa_states"].get<std::size_t>();
    if (v["new_error"].is_null()) {
      const Levenshtein a(query, d);
      EXPECT_EQ(a.state_count(), states) << v.dump();
    } else {
      try {
        Levenshtein a(query, d);
        ADD_FAILURE() << "built " << a.state_count() << " states for " << v.dump();
      } catch (const LevenshteinError& e) {
        EXPECT_EQ(std::string(e.what()), v["new_error"].get<std::string>());
        EXPECT_EQ(e.limit(), 10000u);
      }
    }
  }
  for (const auto& v : fst_test::load_jsonl("errors.jsonl")) {
    if (v["op"] != "levenshtein_new") continue;
    EXPECT_THROW(
        {
          try {
            Levenshtein(v["query"].get<std::string>(), v["distance"].get<std::uint32_t>());
          } catch (const LevenshteinError& e) {
            EXPECT_EQ(std::string(e.what()), v["display"].get<std::string>());
            throw;
          }
        },
        LevenshteinError);
  }
}

TEST(LevenshteinConstruction, HugeQueryOrDistanceIsRefusedQuickly) {
  EXPECT_THROW(Levenshtein(std::string(20000, 'a'), 0), LevenshteinError);
  EXPECT_THROW(Levenshtein(std::string(5000, 'a'), 1), LevenshteinError);
  EXPECT_THROW(Levenshtein("abc", 0xFFFFFFFF), LevenshteinError);
  const Levenshtein ok(std::string(9999, 'x'), 0);
  EXPECT_TRUE(run(ok, std::string(9999, 'x')));
  EXPECT_FALSE(run(ok, std::string(9998, 'x')));
}

TEST(LevenshteinConstruction, InvalidQueryIsRefused) {
  try {
    Levenshtein("a\xC3", 1);
    ADD_FAILURE() << "accepted a cut-off query";
  } catch (const fst::Error& e) {
    EXPECT_EQ(e.kind(), fst::ErrorKind::FromUtf8);
    EXPECT_STREQ(e.what(), "incomplete utf-8 byte sequence from index 1");
  }
  EXPECT_THROW(Levenshtein("a\xFF", 0), fst::Error);
}

// The cases where a lead-byte collision used to lose characters.
TEST(LevenshteinMatch, NonAsciiCharactersSharingLeadBytes) {
  const Levenshtein nihon("日本", 1);
  EXPECT_TRUE(run(nihon, "日本"));
  EXPECT_TRUE(run(nihon, "本"));
  EXPECT_TRUE(run(nihon, "日"));
  EXPECT_TRUE(run(nihon, "日本語"));
  EXPECT_TRUE(run(nihon, "月本"));
  EXPECT_FALSE(run(nihon, "月曜"));

  const Levenshtein e_acute("é", 1);
  EXPECT_TRUE(run(e_acute, "è"));
  EXPECT_TRUE(run(e_acute, "e"));
  EXPECT_TRUE(run(e_acute, ""));
  EXPECT_FALSE(run(e_acute, "èè"));

  const Levenshtein grin("😀", 1);
  EXPECT_TRUE(run(grin, "😁"));
  EXPECT_TRUE(run(grin, "😀x"));

  const Levenshtein exact("éè", 0);
  EXPECT_TRUE(run(exact, "éè"));
  EXPECT_FALSE(run(exact, "èé"));
}

TEST(LevenshteinMatch, KeysThatAreNotUtf8NeverMatch) {
  const Levenshtein a("é", 2);
  for (const char* key :
       {"\xC3", "\xC3\xC3", "a\x80", "\xFF", "\xED\xA0\x80", "\xC0\xA9", "\xF4\x90\x80\x80"}) {
    EXPECT_FALSE(run(a, key)) << hex_of(key);
  }
  const Levenshtein any("", 3);
  EXPECT_TRUE(run(any, "\xF4\x8F\xBF\xBF"));
  EXPECT_FALSE(run(any, "\xF4\x8F\xBF"));
}

// Random queries and keys over an alphabet whose characters share lead bytes, against the
// edit distance computed directly; also every prefix of a matching key keeps can_match true.
TEST(LevenshteinMatch, AgreesWithTrueDistanceOnMixedAlphabet) {
  const std::vector<std::string> alphabet = {"a",  "b",  "z",  "é", "è", "ß",
                                             "日", "本", "月", "😀", "😁"};
  std::mt19937 rng(7);
  const std::uint32_t seed = 7;
  auto random_word = [&](std::size_t max_len) {
    std::string w;
    const std::size_t len = rng() % (max_len + 1);
    for (std::size_t i = 0; i < len; ++i) w += alphabet[rng() % alphabet.size()];
    return w;
  };
  std::vector<std::string> keys = {""};
  for (const auto& x : alphabet) {
    keys.push_back(x);
    for (const auto& y : alphabet) keys.push_back(x + y);
  }
  for (int i = 0; i < 600; ++i) keys.push_back(random_word(6));
  for (int i = 0; i < 100; ++i) {
    std::string w = random_word(4);
    if (!w.empty()) w.erase(rng() % w.size(), 1);  // often cuts a character in half
    keys.push_back(w);
  }
  for (int q = 0; q < 40; ++q) {
    const std::string query = random_word(5);
    for (std::uint32_t d = 0; d <= 2; ++d) {
      const Levenshtein a(query, d);
      for (const auto& key : keys) {
        const bool want = within(query, key, d);
        ASSERT_EQ(run(a, key), want)
            << "seed " << seed << " query " << query << " d " << d << " key " << hex_of(key);
        if (want) {
          auto s = a.start();
          for (unsigned char b : key) {
            ASSERT_TRUE(a.can_match(s));
            s = a.accept(s, b);
          }
        }
      }
    }
  }
}

}  // namespace
