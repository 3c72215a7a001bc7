// The Levenshtein automaton: matches every key within a given edit distance of a query.
//
// Distance counts Unicode scalar values: each insertion, deletion or substitution of one
// character costs 1. The automaton reads keys as bytes, so it is a deterministic automaton over
// UTF-8 built up front; a key that is not well-formed UTF-8 never matches.
#pragma once

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
    LevenshteinError(const std::string& text, std::size_t limit) : std::runtime_error(text), limit_(limit) {}

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
    // and fst::Error of kind FromUtf8 when `query` is not well-formed UTF-8. Construction costs O(states * 256) time and 1 KiB of memory a state.
    Levenshtein(std::string_view query, std::uint32_t distance);

    State start() const noexcept { return 0; }
    bool is_match(State s) const noexcept { return s != kDead && match_[s] != 0; }
    bool can_match(State s) const noexcept { return s != kDead; }
    State accept(State s, std::uint8_t b) const noexcept
    {
        return s == kDead ? kDead : next_[static_cast<std::size_t>(s) * 256 + b];
    }

    // The number of states the construction made, unreachable ones included; this is the count
    // the limit applies to.
    std::size_t state_count() const noexcept { return match_.size(); }

private:
    std::vector<State> next_;          // state * 256 + byte -> next state or kDead
    std::vector<std::uint8_t> match_;  // state -> 1 when it matches
};

}  // namespace fst::automaton
