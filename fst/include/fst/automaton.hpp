// Automata that drive a stream over a map.
//
// A stream walks the map's keys in ascending byte order and feeds each key, byte by byte, to an
// automaton; it yields the keys the automaton matches and skips every branch below a state that
// can no longer lead to a match. An automaton is any type satisfying the `fst::Automaton` concept:
//
//   struct MyAutomaton {
//       using State = ...;                                  // copyable, cheap to copy
//       State start() const;                                // the state before any byte
//       bool is_match(const State& s) const;                // does the input so far match?
//       State accept(const State& s, std::uint8_t b) const; // the state after one more byte
//       // optional, with the defaults shown:
//       bool can_match(const State& s) const;               // true:  may a longer input match?
//       bool will_always_match(const State& s) const;       // false: does every extension match?
//       std::optional<State> accept_eof(const State& s) const;  // none: a step at end of input
//   };
//
// The stream calls these through the free functions `fst::can_match`, `fst::will_always_match`
// and `fst::accept_eof`, which supply the defaults when the automaton leaves a member out.
// Dispatch is static (the stream is a template over the automaton type), so no call is virtual.
// An automaton must be usable through a const reference from one thread at a time per stream;
// the automata here are immutable after construction and may be shared by any number of threads.
//
// `can_match` is a pruning hint: returning true for a dead state is always correct, only slower.
// `start()` must return the same state every time it is called.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace fst {

template <class A>
concept Automaton = std::copyable<typename A::State> &&
    requires(const A& a, const typename A::State& s, std::uint8_t b) {
  { a.start() } -> std::convertible_to<typename A::State>;
  { a.is_match(s) } -> std::convertible_to<bool>;
  { a.accept(s, b) } -> std::convertible_to<typename A::State>;
};

// May a longer input still reach a match from `s`? Defaults to true.
template <Automaton A>
bool can_match(const A& a, const typename A::State& s) {
  if constexpr (requires {
                  { a.can_match(s) } -> std::convertible_to<bool>;
                }) {
    return a.can_match(s);
  } else {
    return true;
  }
}

// Does every extension of the input from `s` match? Defaults to false.
template <Automaton A>
bool will_always_match(const A& a, const typename A::State& s) {
  if constexpr (requires {
                  { a.will_always_match(s) } -> std::convertible_to<bool>;
                }) {
    return a.will_always_match(s);
  } else {
    return false;
  }
}

// The state reached by an end-of-input step from `s`, if the automaton defines one. A stream
// asks it at each final node and, when a state is given, decides the match by that state instead.
template <Automaton A>
std::optional<typename A::State> accept_eof(const A& a, const typename A::State& s) {
  if constexpr (requires {
                  { a.accept_eof(s) } -> std::convertible_to<std::optional<typename A::State>>;
                }) {
    return a.accept_eof(s);
  } else {
    return std::nullopt;
  }
}

namespace automaton {

// Matches every key. The automaton of a stream opened without one.
struct AlwaysMatch {
  struct State {
    friend bool operator==(State, State) = default;
  };
  State start() const noexcept { return {}; }
  bool is_match(State) const noexcept { return true; }
  bool can_match(State) const noexcept { return true; }
  bool will_always_match(State) const noexcept { return true; }
  State accept(State, std::uint8_t) const noexcept { return {}; }
};

// Matches exactly one byte string. The state is the number of bytes matched so far, or kDead
// once a byte differed or the input ran past the end of the string.
class Str {
 public:
  using State = std::size_t;
  static constexpr State kDead = static_cast<State>(-1);

  // Copies `s`; the automaton does not borrow it.
  explicit Str(std::string_view s) : s_(s) {}

  State start() const noexcept { return 0; }
  bool is_match(State pos) const noexcept { return pos == s_.size(); }
  bool can_match(State pos) const noexcept { return pos != kDead; }
  bool will_always_match(State) const noexcept { return false; }
  State accept(State pos, std::uint8_t b) const noexcept {
    if (pos < s_.size() && static_cast<std::uint8_t>(s_[pos]) == b) return pos + 1;
    return kDead;
  }

  const std::string& string() const noexcept { return s_; }

 private:
  std::string s_;
};

// Matches every input that has a prefix the inner automaton matches (the inner automaton's
// "starts with" closure). Once the inner automaton has matched, the state is Done and every
// further byte keeps it so; before that, it runs the inner automaton.
template <Automaton A>
class StartsWith {
 public:
  struct State {
    bool done = false;
    typename A::State inner{};  // meaningful only while !done
  };

  explicit StartsWith(A inner) : inner_(std::move(inner)) {}

  State start() const {
    auto s = inner_.start();
    if (inner_.is_match(s)) return State{true, {}};
    return State{false, std::move(s)};
  }
  bool is_match(const State& s) const noexcept { return s.done; }
  bool can_match(const State& s) const { return s.done || fst::can_match(inner_, s.inner); }
  bool will_always_match(const State& s) const noexcept { return s.done; }
  State accept(const State& s, std::uint8_t b) const {
    if (s.done) return s;
    auto next = inner_.accept(s.inner, b);
    if (inner_.is_match(next)) return State{true, {}};
    return State{false, std::move(next)};
  }

  const A& inner() const noexcept { return inner_; }

 private:
  A inner_;
};

// `StartsWith` over `a`, taking ownership of it.
template <Automaton A>
StartsWith<A> starts_with(A a) {
  return StartsWith<A>(std::move(a));
}

}  // namespace automaton
}  // namespace fst
