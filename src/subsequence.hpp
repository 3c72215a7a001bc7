// `Subsequence`: the automaton that matches every key containing a query as a subsequence.
//
// The state is the number of query bytes matched so far. ASCII query bytes match anywhere later
// in the key, in order; a multi-byte character of the query matches only where its bytes stand
// one after another, that is, where the key holds that same character. A partial match of a
// character that breaks off falls back to the character's first byte, and the breaking byte is
// not compared again: in a UTF-8 key it is a continuation byte, which no character starts with,
// so no match is lost. No branch is ever pruned.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quenlith::subsequence {

class Subsequence {
 public:
  using State = std::size_t;

  // Borrows `query`, which must outlive the automaton.
  explicit Subsequence(std::string_view query) noexcept : q_(query) {}

  State start() const noexcept { return 0; }
  bool is_match(State s) const noexcept { return s == q_.size(); }
  bool can_match(State) const noexcept { return true; }
  State accept(State s, std::uint8_t b) const noexcept {
    if (s == q_.size()) return s;
    if (static_cast<std::uint8_t>(q_[s]) == b) return s + 1;
    // Back to the start of the character holding position s (unchanged on a boundary).
    while (s > 0 && (static_cast<std::uint8_t>(q_[s]) & 0xC0) == 0x80) --s;
    return s;
  }

 private:
  std::string_view q_;
};

}  // namespace quenlith::subsequence
