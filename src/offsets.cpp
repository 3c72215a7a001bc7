#include "offsets.hpp"

#include <bit>

namespace quenlith::offsets {

std::uint64_t packed_len(std::uint64_t count, unsigned w) {
  if (count == 0) return 0;
  return (count * w + 7) / 8 + 8;
}

namespace {
void put_bits(std::vector<std::uint8_t>& out, std::uint64_t i, unsigned w, std::uint64_t v) {
  if (w == 0) return;
  std::uint64_t bit = i * w;
  // At most 56 bits starting at bit % 8 <= 7: spread over at most 8 bytes.
  unsigned __int128 x = static_cast<unsigned __int128>(v) << (bit % 8);
  for (std::uint64_t b = bit / 8; x != 0; ++b, x >>= 8) out[b] |= static_cast<std::uint8_t>(x);
}
}  // namespace

std::vector<std::uint8_t> packed_pack(std::span<const std::uint64_t> values, unsigned w) {
  std::vector<std::uint8_t> out(packed_len(values.size(), w), 0);
  for (std::uint64_t i = 0; i < values.size(); ++i) put_bits(out, i, w, values[i]);
  return out;
}

Packed pack(std::span<const std::uint64_t> values, unsigned w) {
  Packed p;
  const std::uint64_t groups = (values.size() + 63) >> kShift;
  p.samples.reserve(groups * 8);
  for (std::uint64_t g = 0; g < groups; ++g) bytes::put_u64(p.samples, values[g << kShift]);
  p.deltas.assign(packed_len(values.size(), w), 0);
  for (std::uint64_t i = 0; i < values.size(); ++i)
    put_bits(p.deltas, i, w, values[i] - values[(i >> kShift) << kShift]);
  return p;
}

Offsets packed_offsets(std::span<const std::uint64_t> values) {
  std::uint64_t spread = 0;
  for (std::uint64_t i = 0; i < values.size(); ++i)
    spread = std::max(spread, values[i] - values[(i >> kShift) << kShift]);
  const auto w = static_cast<unsigned>(std::bit_width(spread));
  check_invariant(w <= kMaxWidth, "an offset spread fits 56 bits");
  Packed p = pack(values, w);
  return Offsets(blob::SharedBytes::from_owned(std::move(p.samples)),
                 blob::SharedBytes::from_owned(std::move(p.deltas)), w, kShift);
}

std::optional<std::uint64_t> arrays_len(std::uint64_t blocks, std::uint64_t micro_count,
                                        unsigned w_he, unsigned w_bo, unsigned w_mo,
                                        unsigned shift) {
  using u128 = unsigned __int128;
  const u128 groups =
      shift >= 64 ? (blocks ? 1 : 0) : ((u128{blocks} + ((u128{1} << shift) - 1)) >> shift);
  u128 total = 0;
  if (blocks != 0) {
    total += 2 * groups * 8;
    total += (u128{blocks} * w_he + 7) / 8 + 8;
    total += (u128{blocks} * w_bo + 7) / 8 + 8;
  }
  if (micro_count != 0) total += (u128{micro_count} * w_mo + 7) / 8 + 8;
  if (total > UINT64_MAX) return std::nullopt;
  return static_cast<std::uint64_t>(total);
}

}  // namespace quenlith::offsets
