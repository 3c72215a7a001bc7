// Structural checks of single nodes over the raw bytes (the encodings are drawn in node.cpp).
// check_stored_root() is in fst.cpp, beside the reading of the footer.
//
// Each check reads a field only after establishing that it lies inside the file, with every
// sum and product checked for overflow, so that any bytes at all give a verdict.
#include "fst/check.hpp"

#include "fst/node.hpp"

namespace fst {

namespace {

using detail::kAreaStart;

// True when `count` little-endian fields of `width` (1..8) bytes, the first starting at byte
// `pos` and each further one `width` bytes lower, all lie inside [0, len) and each holds a value
// not above `bound`. `count` is at least 1.
bool deltas_fit(const std::uint8_t* data, std::uint64_t len, std::uint64_t pos,
                std::uint64_t count, unsigned width, std::uint64_t bound) noexcept {
  // The lowest field starts (count - 1) * width bytes below the first; the first ends at
  // pos + width. Both ends are checked without overflow.
  std::uint64_t span;
  if (__builtin_mul_overflow(count - 1, std::uint64_t{width}, &span) || span > pos) return false;
  if (pos > len || width > len - pos) return false;
  for (std::uint64_t i = 0; i < count; ++i) {
    if (detail::unpack_uint(data + pos - i * width, width) > bound) return false;
  }
  return true;
}

// Whether the 256-byte input index at `base` of a node with `k` inputs (input i at
// base - 1 - i) names, for each byte, the transition holding it, or none (a value >= k) for a
// byte that no transition holds.
bool index_agrees(const std::uint8_t* data, std::uint64_t base, std::uint64_t k) noexcept {
  bool held[256] = {};
  for (std::uint64_t i = 0; i < k; ++i) held[data[base - 1 - i]] = true;
  for (unsigned b = 0; b < 256; ++b) {
    const std::uint8_t e = data[base + b];
    const bool ok = held[b] ? e < k && data[base - 1 - e] == b : e >= k;
    if (!ok) return false;
  }
  return true;
}

// The node at `addr` (16 <= addr < len; not checked here) fits: see check_node().
bool node_fits(const std::uint8_t* data, std::uint64_t len, std::uint64_t version,
               std::uint64_t addr) noexcept {
  const std::uint8_t s = data[addr];
  const unsigned low = s & 63;
  const std::uint64_t il = low == 0 ? 1 : 0;  // the input or count is stored below s
  // True when `span` bytes ending at addr start at or above the node area; then `end` is the
  // node's lowest byte.
  std::uint64_t end = 0;
  const auto fits_area = [&](std::uint64_t span) {
    if (addr + 1 < kAreaStart + span) return false;
    end = addr + 1 - span;
    return true;
  };
  switch (s >> 6) {
    case 3:  // OneTransNext: its target is the byte below the node, a node byte too
      return fits_area(1 + il) && end > kAreaStart;
    case 2: {  // OneTrans
      if (addr < kAreaStart + 1 + il) return false;
      const std::uint8_t pack = data[addr - 1 - il];
      const unsigned t = pack >> 4, o = pack & 15;
      if (t == 0 || pack > 0x8F || o > 8 || !fits_area(2 + il + t + o)) return false;
      return deltas_fit(data, len, addr - 1 - il - t, 1, t, end - kAreaStart);
    }
    default: {  // AnyTrans
      if (addr < kAreaStart + 1 + il) return false;
      std::uint64_t k = low;
      if (il) {
        k = data[addr - 1];
        if (k == 1) k = 256;
      }
      const std::uint8_t pack = data[addr - 1 - il];
      const unsigned t = pack >> 4, o = pack & 15;
      const bool final = (s & 0x40) != 0;
      if (o > 8) return false;
      if (k == 0) return fits_area(2 + il + (final ? o : 0));
      const std::uint64_t index = (k > detail::kIndexThreshold && version >= 2) ? 256 : 0;
      if (t == 0 || pack > 0x8F || !fits_area(2 + il + index + k * (1 + t + o) + (final ? o : 0)))
        return false;
      const std::uint64_t base = addr - 1 - il - index;  // inputs end here, the index starts
      if (!deltas_fit(data, len, base - k - t, k, t, end - kAreaStart)) return false;
      return index == 0 || index_agrees(data, base, k);
    }
  }
}

}  // namespace

NodeCheck check_node(std::span<const std::uint8_t> file, std::uint64_t version,
                     CompiledAddr addr) noexcept {
  if (addr == EMPTY_ADDRESS) return NodeCheck::Sound;
  if (addr >= file.size()) return NodeCheck::Outside;
  return node_fits(file.data(), file.size(), version, addr) ? NodeCheck::Sound : NodeCheck::NoFit;
}

}  // namespace fst
