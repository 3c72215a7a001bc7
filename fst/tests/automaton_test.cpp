#include "fst/automaton.hpp"

#include <gtest/gtest.h>

#include "fst/builder.hpp"
#include "fst/fst.hpp"
#include "fst/stream.hpp"

namespace {

using fst::automaton::Str;

template <fst::Automaton A>
bool run(const A& a, std::string_view input) {
  auto s = a.start();
  for (unsigned char b : input) s = a.accept(s, b);
  return a.is_match(s);
}

template <fst::Automaton A>
bool alive_after(const A& a, std::string_view input) {
  auto s = a.start();
  for (unsigned char b : input) s = a.accept(s, b);
  return fst::can_match(a, s);
}

TEST(Str, MatchesExactlyItsString) {
  const Str abc("abc");
  EXPECT_TRUE(run(abc, "abc"));
  for (const char* other : {"", "a", "ab", "abcd", "abd", "xbc", "ABC"})
    EXPECT_FALSE(run(abc, other)) << other;
  EXPECT_TRUE(alive_after(abc, "ab"));
  EXPECT_TRUE(alive_after(abc, "abc"));
  EXPECT_FALSE(alive_after(abc, "abcd"));  // running past the end is dead, not a match
  EXPECT_FALSE(alive_after(abc, "ax"));
  EXPECT_FALSE(fst::will_always_match(abc, abc.start()));

  const Str empty("");
  EXPECT_TRUE(run(empty, ""));
  EXPECT_FALSE(run(empty, "a"));

  const Str binary(std::string_view("\x00\xff", 2));
  EXPECT_TRUE(run(binary, std::string_view("\x00\xff", 2)));
  EXPECT_FALSE(run(binary, std::string_view("\x00", 1)));
}

TEST(StartsWith, MatchesEveryExtensionOfAMatch) {
  const auto pre = fst::automaton::starts_with(Str("ab"));
  for (const char* yes : {"ab", "abc", "ab\xff", "abab"}) EXPECT_TRUE(run(pre, yes)) << yes;
  for (const char* no : {"", "a", "b", "ba", "aab"}) EXPECT_FALSE(run(pre, no)) << no;
  EXPECT_FALSE(alive_after(pre, "ac"));
  EXPECT_TRUE(alive_after(pre, "a"));
  auto s = pre.start();
  s = pre.accept(pre.accept(s, 'a'), 'b');
  EXPECT_TRUE(fst::will_always_match(pre, s));

  // The empty string is a prefix of everything, the empty key included.
  const auto all = fst::automaton::starts_with(Str(""));
  EXPECT_TRUE(run(all, ""));
  EXPECT_TRUE(run(all, "anything"));
  EXPECT_TRUE(fst::will_always_match(all, all.start()));
}

// An automaton written against the interface alone, the way the index library writes its own:
// it matches keys that contain the bytes of `needle` in order (a subsequence), leaves out the
// optional members, and relies on the defaults.
struct Subsequence {
  using State = std::size_t;
  std::string_view needle;
  State start() const { return 0; }
  bool is_match(State s) const { return s == needle.size(); }
  State accept(State s, std::uint8_t b) const {
    return s < needle.size() && static_cast<std::uint8_t>(needle[s]) == b ? s + 1 : s;
  }
};
static_assert(fst::Automaton<Subsequence>);
static_assert(fst::Automaton<Str>);
static_assert(fst::Automaton<fst::automaton::StartsWith<Str>>);

std::vector<std::uint8_t> build(const std::vector<std::string>& keys) {
  auto b = fst::MapBuilder::memory();
  for (std::size_t i = 0; i < keys.size(); ++i) b.insert(keys[i], i);
  return b.into_inner();
}

std::vector<std::string> keys_of(auto stream) {
  std::vector<std::string> out;
  while (auto item = stream.next()) out.emplace_back(item->key.begin(), item->key.end());
  return out;
}

TEST(AutomatonInterface, DefaultsDriveAStream) {
  const Subsequence a{"ace"};
  EXPECT_TRUE(fst::can_match(a, a.start()));
  EXPECT_FALSE(fst::will_always_match(a, a.start()));
  EXPECT_FALSE(fst::accept_eof(a, a.start()).has_value());

  const auto bytes = build({"abcde", "ace", "aec", "bace", "ca", "race", "zzz"});
  const fst::Fst map(bytes);
  EXPECT_EQ(keys_of(fst::search(map, a).into_stream()),
            (std::vector<std::string>{"abcde", "ace", "bace", "race"}));
  EXPECT_EQ(keys_of(fst::search(map, a).gt("ace").lt("race").into_stream()),
            (std::vector<std::string>{"bace"}));
}

// An end-of-input step decides the match at final nodes: here a key matches when its length,
// counted by the automaton, is even, and only accept_eof knows the key has ended.
struct EvenLengthAtEof {
  struct State {
    std::size_t len = 0;
    bool ended = false;
  };
  State start() const { return {}; }
  bool is_match(const State& s) const { return s.ended && s.len % 2 == 0; }
  State accept(const State& s, std::uint8_t) const { return {s.len + 1, false}; }
  std::optional<State> accept_eof(const State& s) const { return State{s.len, true}; }
};

TEST(AutomatonInterface, EndOfInputStepDecidesFinalNodes) {
  const auto bytes = build({"", "a", "ab", "abc", "abcd", "b", "bc"});
  const fst::Fst map(bytes);
  // The empty key is judged by the start state alone, which has not seen the end.
  EXPECT_EQ(keys_of(fst::search(map, EvenLengthAtEof{}).into_stream()),
            (std::vector<std::string>{"ab", "abcd", "bc"}));
}

// can_match prunes: a dead state stops the walk below it, so an automaton that is dead from the
// start costs one step per transition out of the root at most.
TEST(AutomatonInterface, CanMatchPrunesTheWalk) {
  struct DeadAfterOneByte {
    using State = int;
    std::size_t* steps;
    State start() const { return 0; }
    bool is_match(State) const { return true; }
    bool can_match(State s) const { return s == 0; }
    State accept(State s, std::uint8_t) const {
      ++*steps;
      return s + 1;
    }
  };
  std::vector<std::string> keys;
  for (char c = 'a'; c <= 'z'; ++c) {
    for (char d = 'a'; d <= 'z'; ++d) keys.push_back(std::string{c, d, 'x'});
  }
  const auto bytes = build(keys);
  const fst::Fst map(bytes);
  std::size_t steps = 0;
  EXPECT_TRUE(keys_of(fst::search(map, DeadAfterOneByte{&steps}).into_stream()).empty());
  EXPECT_EQ(steps, 26u);
}

}  // namespace
