// The validating loader: a "BIX4" blob from a stranger is checked as a graph before any query
// may decode it.
//
// Nodes of the map, as the checks read them (addresses are offsets into the map; a node's
// address is that of its last byte, the state byte s; its other bytes lie below it, the lowest
// being its end; low = s & 63, and il = 1 when low = 0 and the byte is stored below s):
//
//   kind s >> 6             bytes, from the state byte downwards
//   3 one-transition-next   s, [input]                    target: the byte below the node
//   2 one-transition        s, [input], pack, delta(t), output(o)
//   0/1 any-transitions     s, [count], pack, [index 256], inputs(k), deltas(k*t), outputs(k*o),
//                           [final output(o)]             bit 6 of s: final
//
// pack holds t (high nibble, 1..8) and o (low nibble, 0..8); a stored count of 1 means 256; the
// 256-byte index of inputs is present when k > 32 (format versions 2 and 3). A delta d points at
// the node's end - d, and 0 at address 0, the empty final node, which has no bytes.
//
// Two passes, each decoding every reachable node once:
//  1. From the root downwards (every transition points below its node, so every node is seen
//     after all nodes that lead to it), each reached node is checked to fit before it is decoded,
//     and carries the set of UTF-8 automaton states it is reached in, one bit per state. A final
//     node must be reached only at a character boundary; every transition must be a valid step
//     from every state of its node.
//  2. Upwards over the reached nodes, each node's key count is computed from its targets', and
//     every transition's output must equal the number of keys before it in the node (the final
//     key first): that makes every key's value its rank.
// Memory: one byte an address, a bitset of the reached ones with prefix counts, and one count a
// reached node.
#include <bit>
#include <cstring>
#include <vector>

#include "bytes.hpp"
#include "fst/node.hpp"
#include "fst_bounds.hpp"
#include "string_index.hpp"
#include "utf8_automaton.hpp"

namespace quenlith::string_index {

namespace {

constexpr const char* kOutside = "fst node address is outside the blob";
constexpr const char* kNoFit = "fst node does not fit the blob";
constexpr const char* kSplitChar = "fst key ends inside a UTF-8 character";
constexpr const char* kNotBelow = "fst transition does not point below its own node";
constexpr const char* kNotUtf8 = "fst key is not UTF-8";
constexpr const char* kNotRank = "fst value is not the key's rank";
constexpr const char* kUnordered = "fst transitions are not in increasing byte order";
constexpr const char* kCountOverflow = "fst key count overflows";
constexpr const char* kCountMismatch = "fst holds a different number of keys than its header says";
constexpr const char* kPanicked = "fst node decoder panicked on this blob";

// Node bytes start after the map's 16-byte header.
constexpr std::uint64_t kAreaStart = 16;
constexpr std::uint64_t kIndexThreshold = 32;

// Checks that the node whose state byte is at `addr` (not 0) lies inside the node area with
// every field in range and every target inside the area, from its raw bytes.
void check_fits(const std::uint8_t* data, std::uint64_t len, std::uint64_t version,
                std::uint64_t addr) {
  const std::uint8_t s = data[addr];
  const unsigned low = s & 63;
  const std::uint64_t il = low == 0 ? 1 : 0;
  // True when `span` bytes ending at addr start at or above the node area; then `end` is the
  // node's lowest byte.
  const auto fits_area = [&](std::uint64_t span, std::uint64_t& end) {
    if (addr + 1 < kAreaStart + span) return false;
    end = addr + 1 - span;
    return true;
  };
  std::uint64_t end = 0;
  switch (s >> 6) {
    case 3:
      // Its target is the byte below the node, which must be a node byte too.
      if (!fits_area(1 + il, end) || end <= kAreaStart) throw IndexError::format(kNoFit);
      return;
    case 2: {
      if (addr < kAreaStart + 1 + il) throw IndexError::format(kNoFit);
      const std::uint8_t pack = data[addr - 1 - il];
      const unsigned t = pack >> 4, o = pack & 15;
      if (t == 0 || pack > 0x8F || o > 8 || !fits_area(2 + il + t + o, end))
        throw IndexError::format(kNoFit);
      if (!fst_bounds::deltas_fit(data, len, addr - 1 - il - t, 1, t, end - kAreaStart))
        throw IndexError::format(kNoFit);
      return;
    }
    default: {
      if (addr < kAreaStart + 1 + il) throw IndexError::format(kNoFit);
      std::uint64_t k = low;
      if (il) {
        k = data[addr - 1];
        if (k == 1) k = 256;
      }
      const std::uint8_t pack = data[addr - 1 - il];
      const unsigned t = pack >> 4, o = pack & 15;
      const bool final = (s & 0x40) != 0;
      if (o > 8) throw IndexError::format(kNoFit);
      if (k == 0) {
        if (!fits_area(2 + il + (final ? o : 0), end)) throw IndexError::format(kNoFit);
        return;
      }
      const std::uint64_t index = (k > kIndexThreshold && version >= 2) ? 256 : 0;
      if (t == 0 || pack > 0x8F ||
          !fits_area(2 + il + index + k * (1 + t + o) + (final ? o : 0), end))
        throw IndexError::format(kNoFit);
      const std::uint64_t base = addr - 1 - il - index;  // inputs end here, the index starts
      if (!fst_bounds::deltas_fit(data, len, base - k - t, k, t, end - kAreaStart))
        throw IndexError::format(kNoFit);
      if (index != 0) {
        // The index is part of the node: each entry names a transition whose input is its byte,
        // or, for a byte that no transition holds, no transition (a value >= k). A lookup by
        // input byte then neither misses a stored byte nor lands on another byte's transition.
        bool held[256] = {};
        for (std::uint64_t i = 0; i < k; ++i) held[data[base - 1 - i]] = true;
        for (unsigned b = 0; b < 256; ++b) {
          const std::uint8_t e = data[base + b];
          const bool ok = held[b] ? e < k && data[base - 1 - e] == b : e >= k;
          if (!ok) throw IndexError::format(kNoFit);
        }
      }
      return;
    }
  }
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
  const std::span<const std::uint8_t> bytes = map.as_bytes();
  const std::uint8_t* data = bytes.data();
  const std::uint64_t len = bytes.size();
  const std::uint64_t version = map.version();
  const std::uint64_t root = map.root_addr();
  if (len < 36 || root >= len) throw IndexError::format(kOutside);

  // Pass 1: fit, UTF-8 along every path, targets below their nodes.
  std::vector<std::uint8_t> mask(root + 1, 0);
  mask[root] = 1;  // the root is reached at a character boundary
  for (std::uint64_t addr = root + 1; addr-- > 0;) {
    const std::uint8_t states = mask[addr];
    if (states == 0) continue;
    if (addr != 0) check_fits(data, len, version, addr);
    const fst::Node node = map.node(addr);
    if (node.is_final() && states != 1) throw IndexError::format(kSplitChar);
    for (std::size_t i = 0; i < node.len(); ++i) {
      const fst::Transition t = node.transition(i);
      if (t.addr >= addr) throw IndexError::format(kNotBelow);
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
  // current address, counted along.
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

// The transducer library refuses, when it opens a map, a root that is not the last node or that
// does not decode, before the graph validation could look at it. For such a map the validation's
// own verdict on its root stands when it has one: an address at or past the end of the map, or a
// root whose bytes do not fit. `map` is the blob after its magic.
void check_root(std::span<const std::uint8_t> map) {
  const std::uint64_t len = map.size();
  if (len < 36) return;
  const std::uint64_t version = bytes::load_u64(map.data());
  if (version == 0 || version > fst::VERSION) return;
  const std::uint64_t end = version >= 3 ? len - 4 : len;
  const std::uint64_t root = bytes::load_u64(map.data() + end - 8);
  if (root == 0) return;
  if (root >= len) throw IndexError::format(kOutside);
  check_fits(map.data(), len, version, root);
}

// Opens the blob without verification; a map the library refuses for its root is refused with
// the validation's message for that root where there is one.
StringIndex open_unverified(const blob::SharedBytes& bytes) {
  try {
    return StringIndex::from_shared(bytes, false);
  } catch (const IndexError& e) {
    // Past the magic check (a `Format` error): the library refused the map.
    if (e.kind() == IndexError::Kind::Fst) check_root(bytes.bytes().subspan(kMagicBytes));
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
