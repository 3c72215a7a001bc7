#include "fst/stream.hpp"

namespace fst::detail {

std::size_t first_transition_above(const Node& node, std::uint8_t b) {
  // Inputs are in ascending order; nodes hold at most 256 transitions, so a scan is enough
  // for a step taken once per stream.
  const std::size_t n = node.len();
  for (std::size_t i = 0; i < n; ++i) {
    if (node.transition_input(i) > b) return i;
  }
  return n;
}

}  // namespace fst::detail
