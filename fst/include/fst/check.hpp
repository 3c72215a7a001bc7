// Structural checks of a map file from an untrusted source, made before its nodes are decoded.
//
// Node decoding checks every read it makes, so damaged bytes make a query throw fst::Error
// rather than read out of bounds. A reader that must refuse a damaged file at once, before any
// query meets the damage, checks each node it is about to decode with check_node(): the node
// as a whole fits above the header, its field widths are in range, every transition's target
// lies in the node area below the node, and an input index agrees with the node's inputs (so
// that a lookup by input byte neither misses a stored byte nor lands on another byte's
// transition). These checks read only the bytes they are given and never throw.
//
// They leave to a caller walking the graph what it reads from the decoded nodes: that each
// node's inputs ascend, what the outputs sum to, and that the footer's key count is the graph's.
#pragma once

#include <cstdint>
#include <span>

#include "fst/node.hpp"

namespace fst {

enum class NodeCheck : std::uint8_t {
  Sound,    // the node is sound, or is the empty final node (address 0, no bytes)
  Outside,  // the address lies at or past the end of the file
  NoFit,    // the node's bytes, a field width, a target or the input index are out of place
};

// Checks the node whose state byte is at `addr` in `file`, a map of format `version`. The file's
// footer is not consulted: a node is checked against the header below it and the file's end.
NodeCheck check_node(std::span<const std::uint8_t> file, std::uint64_t version,
                     CompiledAddr addr) noexcept;

// For a file that Fst refuses to open: check_node() over the root address stored in its footer.
// Sound when there is no such root to check: a file too short for a header and a footer, of a
// version this library does not read, or whose stored root is the empty final node.
NodeCheck check_stored_root(std::span<const std::uint8_t> file) noexcept;

}  // namespace fst
