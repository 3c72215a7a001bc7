// The Levenshtein automaton: matches every key within a given edit distance of a query.
//
// Distance counts Unicode scalar values: each insertion, deletion or substitution of one
// character costs 1. The automaton reads keys as bytes, so it is a deterministic automaton over
// UTF-8 built up front; a key that is not well-formed UTF-8 never matches.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace fst::automaton {

// The error of a Levenshtein automaton that cannot be built because it would exceed its state
// limit. A separate type from fst::Error: it comes from the caller's query, not from a map.
class LevenshteinError : public std::runtime_error {
 public:
  // "Levenshtein automaton exceeds size limit of {limit} states".
  static LevenshteinError too_many_states(std::size_t limit);

  std::size_t limit() const noexcept { return limit_; }

 private:
  LevenshteinError(const std::string& text, std::size_t limit)
      : std::runtime_error(text), limit_(limit) {}

  std::size_t limit_;
};

class Levenshtein {
 public:
  // A state is an index into the automaton's transition table, or kDead.
  using State = std::uint32_t;
  static constexpr State kDead = 0xFFFFFFFF;
  // The most states an automaton may have; construction beyond it is refused.
  static constexpr std::size_t kStateLimit = 10000;

  // Builds the automaton for `query` (UTF-8) and `distance`.
  // Throws LevenshteinError "Levenshtein automaton exceeds size limit of 10000 states" when the
  // automaton would need more than kStateLimit states (a long query with a large distance),
  // and fst::Error of kind FromUtf8 when `query` is not well-formed UTF-8. Bytes are grouped in
  // classes that every state treats alike (each byte of the query's encoding on its own, the
  // others by their role in UTF-8: at most 13 + distinct query bytes classes), so construction
  // costs O(states * classes) time and 2 bytes a state and class.
  Levenshtein(std::string_view query, std::uint32_t distance);

  State start() const noexcept { return 0; }
  bool is_match(State s) const noexcept { return s != kDead && match_[s] != 0; }
  bool can_match(State s) const noexcept { return s != kDead; }
  State accept(State s, std::uint8_t b) const noexcept {
    if (s == kDead) return kDead;
    // Entries are 16 bits with 0xFFFF for "no transition"; states stay below 0x8000, so
    // widening through int16_t maps exactly that entry to kDead.
    const auto e =
        static_cast<std::int16_t>(next_[static_cast<std::size_t>(s) * classes_ + class_of_[b]]);
    return static_cast<State>(static_cast<std::int32_t>(e));
  }

  // The number of states the construction made, unreachable ones included; this is the count
  // the limit applies to.
  std::size_t state_count() const noexcept { return match_.size(); }

 private:
  static_assert(kStateLimit < 0x7FFF, "state numbers must fit a 16-bit table entry");

  std::vector<std::uint16_t> next_;  // state * classes_ + class -> next state, 0xFFFF for none
  std::vector<std::uint8_t> match_;  // state -> 1 when it matches
  std::array<std::uint8_t, 256> class_of_{};  // byte -> class
  std::uint32_t classes_ = 0;
};

}  // namespace fst::automaton
