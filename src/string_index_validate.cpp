// The validating loader: a "BIX4" blob from a stranger is checked as a graph before any query
// may decode it. The transducer library checks each node's structure before it is decoded
// (fst/check.hpp); this file adds what the index requires of the keys and values.
//
// Two passes, each decoding every reachable node once:
//  1. From the root downwards (every transition points below its node, so every node is seen
//     after all nodes that lead to it), each reached node is checked by the library before it is
//     decoded, and carries the set of UTF-8 automaton states it is reached in, one bit per
//     state. A final node must be reached only at a character boundary; every transition must
//     be a valid step from every state of its node.
//  2. Upwards over the reached nodes, each node's key count is computed from its targets', and
//     every transition's output must equal the number of keys before it in the node (the final
//     key first): that makes every key's value its rank.
// Memory: one byte an address, a bitset of the reached ones with prefix counts, and one count a
// reached node.
#include <bit>
#include <cstring>
#include <new>
#include <vector>

#include "bytes.hpp"
#include "fst/check.hpp"
#include "string_index.hpp"
#include "utf8_automaton.hpp"

namespace quenlith::string_index {

namespace {

constexpr const char* kOutside = "fst node address is outside the blob";
constexpr const char* kNoFit = "fst node does not fit the blob";
constexpr const char* kSplitChar = "fst key ends inside a UTF-8 character";
constexpr const char* kNotUtf8 = "fst key is not UTF-8";
constexpr const char* kNotRank = "fst value is not the key's rank";
constexpr const char* kUnordered = "fst transitions are not in increasing byte order";
constexpr const char* kCountOverflow = "fst key count overflows";
constexpr const char* kCountMismatch = "fst holds a different number of keys than its header says";
constexpr const char* kPanicked = "fst node decoder panicked on this blob";

// The validation's message for the library's verdict on a node.
void check(fst::NodeCheck verdict) {
  switch (verdict) {
    case fst::NodeCheck::Sound:
      return;
    case fst::NodeCheck::Outside:
      throw IndexError::format(kOutside);
    case fst::NodeCheck::NoFit:
      throw IndexError::format(kNoFit);
  }
  panic("a node verdict is one of the three");
}

// The number of set bits of `words` below position p; prefix[i] counts the bits of words [0, i).
std::uint64_t bitset_rank(std::span<const std::uint64_t> words,
                          std::span<const std::uint64_t> prefix, std::uint64_t p) {
  const std::uint64_t w = p / 64;
  check_invariant(w < words.size() && w < prefix.size(), "a ranked position lies in the bitset");
  const std::uint64_t below = (std::uint64_t{1} << (p % 64)) - 1;
  return prefix[w] + static_cast<std::uint64_t>(std::popcount(words[w] & below));
}

void validate(const fst::Fst& map) {
  const std::uint64_t root = map.root_addr();
  check(map.check_node(root));

  // Pass 1: each node's structure, UTF-8 along every path.
  std::vector<std::uint8_t> mask(root + 1, 0);
  mask[root] = 1;  // the root is reached at a character boundary
  for (std::uint64_t addr = root + 1; addr-- > 0;) {
    const std::uint8_t states = mask[addr];
    if (states == 0) continue;
    check(map.check_node(addr));
    const fst::Node node = map.node(addr);
    if (node.is_final() && states != 1) throw IndexError::format(kSplitChar);
    for (std::size_t i = 0; i < node.len(); ++i) {
      const fst::Transition t = node.transition(i);
      check_invariant(t.addr < addr, "a checked node's targets lie below it");
      std::uint8_t reached = 0;
      for (unsigned bits = states; bits != 0; bits &= bits - 1) {
        const int next = utf8::kStepTable.next[std::countr_zero(bits)][t.inp];
        if (next == utf8::kInvalid) throw IndexError::format(kNotUtf8);
        reached |= static_cast<std::uint8_t>(1u << next);
      }
      mask[t.addr] |= reached;
    }
  }

  // The reached addresses as a bitset with prefix counts, for a dense table of their counts.
  const std::uint64_t nwords = root / 64 + 1;
  std::vector<std::uint64_t> words(nwords, 0);
  for (std::uint64_t addr = 0; addr <= root; ++addr) {
    if (mask[addr] != 0) words[addr / 64] |= std::uint64_t{1} << (addr % 64);
  }
  std::vector<std::uint8_t>().swap(mask);
  std::vector<std::uint64_t> prefix(nwords + 1, 0);
  for (std::uint64_t w = 0; w < nwords; ++w)
    prefix[w + 1] = prefix[w] + static_cast<std::uint64_t>(std::popcount(words[w]));
  std::vector<std::uint64_t> counts(prefix[nwords], 0);

  // Pass 2, upwards: targets before the nodes that lead to them. `rank` is the rank of the
  // current address, counted along. Each transition's input is checked to ascend here, beside
  // its output, so that of two faults the one met first names the refusal.
  std::uint64_t rank = 0;
  for (std::uint64_t w = 0; w < nwords; ++w) {
    for (std::uint64_t bits = words[w]; bits != 0; bits &= bits - 1, ++rank) {
      const std::uint64_t addr = w * 64 + static_cast<std::uint64_t>(std::countr_zero(bits));
      const fst::Node node = map.node(addr);
      if (node.final_output().value() != 0) throw IndexError::format(kNotRank);
      std::uint64_t running = node.is_final() ? 1 : 0;
      for (std::size_t i = 0; i < node.len(); ++i) {
        const fst::Transition t = node.transition(i);
        if (i > 0 && t.inp <= node.transition_input(i - 1)) throw IndexError::format(kUnordered);
        if (t.out.value() != running) throw IndexError::format(kNotRank);
        const std::uint64_t below = counts[bitset_rank(words, prefix, t.addr)];
        running = bytes::add_or_fail(running, below, kCountOverflow);
      }
      counts[rank] = running;
    }
  }
  if (counts[bitset_rank(words, prefix, root)] != map.len())
    throw IndexError::format(kCountMismatch);
}

// Opens the blob without verification; a map the library refuses for its root is refused with
// the validation's message for that root where there is one.
StringIndex open_unverified(const blob::SharedBytes& bytes) {
  try {
    return StringIndex::from_shared(bytes, false);
  } catch (const IndexError& e) {
    // Past the magic check (a `Format` error): the library refused the map.
    // The library refuses, when it opens a map, a root that is not the last node or that does
    // not decode, before the graph validation could look at it. The validation's own verdict on
    // such a root stands when it has one.
    if (e.kind() == IndexError::Kind::Fst)
      check(fst::check_stored_root(bytes.bytes().subspan(kMagicBytes)));
    throw;
  }
}

}  // namespace

StringIndex StringIndex::from_shared_untrusted(blob::SharedBytes bytes) {
  StringIndex index = open_unverified(bytes);
  try {
    validate(index.map_);
  } catch (const IndexError&) {
    throw;
  } catch (const std::bad_alloc&) {
    throw;  // memory ran out: the bytes are not at fault
  } catch (const std::exception&) {
    // The node decoder's refusals (fst::Error), a panic of our own, or a logic error: the bytes
    // are not a map this index can read.
    throw IndexError::format(kPanicked);
  }
  try {
    index.map_.verify();
  } catch (const fst::Error& e) {
    throw IndexError::fst(e.what());
  }
  return index;
}

}  // namespace quenlith::string_index
