#include "fp_table.hpp"

#include <atomic>

#include "bytes.hpp"
#include "error.hpp"

namespace quenlith::fp_table {

void write(std::span<std::uint8_t> table, std::uint64_t slot, std::uint32_t bits,
           std::uint64_t value) {
  if (bits % 8 == 0) {
    const std::uint64_t k = bits / 8;
    const std::uint64_t at = slot * k;
    check_invariant(bytes::fits(at, k, table.size()), "a fingerprint lies inside its table");
    std::uint8_t* p = table.data() + at;
    switch (k) {
      case 1:
        *p = static_cast<std::uint8_t>(value);
        break;
      case 2:
        bytes::store_u16(p, static_cast<std::uint16_t>(value));
        break;
      case 4:
        bytes::store_u32(p, static_cast<std::uint32_t>(value));
        break;
      default:
        bytes::store_uint(p, value, static_cast<unsigned>(k));
        break;
    }
    return;
  }
  const std::uint64_t pos = slot * bits;
  const std::uint64_t byte = pos / 8;
  const unsigned shift = static_cast<unsigned>(pos % 8);
  const std::uint64_t lo = value << shift;
  for (unsigned i = 0; i < 8; ++i) {
    if (byte + i >= table.size()) break;
    table[byte + i] |= static_cast<std::uint8_t>(lo >> (8 * i));
  }
  if (shift > 0 && shift + bits > 64) {
    check_invariant(byte + 8 < table.size(), "a fingerprint lies inside its table");
    table[byte + 8] |= static_cast<std::uint8_t>(value >> (64 - shift));
  }
}

bool matches(std::span<const std::uint8_t> table, std::uint32_t bits, std::uint64_t slot,
             std::uint64_t h2) noexcept {
  const std::uint64_t want = h2 & mask(bits);
  const std::uint64_t len = table.size();
  const std::uint8_t* t = table.data();
  if (bits % 8 == 0) {
    const unsigned k = bits / 8;
    if (k == 1 || k == 2 || k == 4 || k == 8) {
      const auto at = bytes::checked_mul(slot, k);
      if (!at || !bytes::fits(*at, k, len)) return false;
      switch (k) {
        case 1:
          return t[*at] == want;
        case 2:
          return bytes::load_u16(t + *at) == want;
        case 4:
          return bytes::load_u32(t + *at) == want;
        default:
          return bytes::load_u64(t + *at) == want;
      }
    }
  }
  const auto pos = bytes::checked_mul(slot, bits);
  if (!pos) return false;
  const std::uint64_t byte = *pos / 8;
  const unsigned shift = static_cast<unsigned>(*pos % 8);
  // The last byte holding a bit of the fingerprint; pos + bits - 1 cannot overflow once pos is
  // inside a table, which the tests below establish before it matters.
  if (byte >= len) return false;
  std::uint64_t value;
  if (len - byte >= 8) {
    value = bytes::load_u64(t + byte) >> shift;
    if (shift + bits > 64) {
      if (byte + 8 >= len) return false;
      value |= std::uint64_t{t[byte + 8]} << (64 - shift);
    }
  } else {
    const std::uint64_t last = (*pos + bits - 1) / 8;
    if (last >= len) return false;
    std::uint64_t gathered = 0;
    for (std::uint64_t i = byte; i <= last; ++i)
      gathered |= std::uint64_t{t[i]} << (8 * (i - byte));
    value = gathered >> shift;
  }
  return (value & mask(bits)) == want;
}

void or_shared(std::span<std::uint8_t> table, std::uint64_t slot, std::uint32_t bits,
               std::uint64_t value) {
  const std::uint64_t pos = slot * bits;
  const std::uint64_t byte = pos / 8;
  const unsigned shift = static_cast<unsigned>(pos % 8);
  const unsigned len = (shift + bits + 7) / 8;  // at most 9
  check_invariant(bytes::fits(byte, len, table.size()), "a fingerprint lies inside its table");
  const std::uint64_t lo = value << shift;
  const std::uint64_t hi = shift > 0 ? value >> (64 - shift) : 0;
  for (unsigned i = 0; i < len; ++i) {
    const auto v = static_cast<std::uint8_t>(i < 8 ? lo >> (8 * i) : hi);
    if (v != 0)
      std::atomic_ref<std::uint8_t>(table[byte + i]).fetch_or(v, std::memory_order_relaxed);
  }
}

}  // namespace quenlith::fp_table
