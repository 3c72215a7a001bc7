#include "hash.hpp"

#include <algorithm>

#include "bytes.hpp"

namespace quenlith::hash {

namespace {

constexpr std::uint64_t P0 = 0x243F6A8885A308D3ULL;
constexpr std::uint64_t P1 = 0x082EFA98EC4E6C89ULL;
constexpr std::uint64_t P2 = 0x452821E638D01377ULL;
constexpr std::uint64_t P3 = 0xC0AC29B7C97C50DDULL;
constexpr std::uint64_t P4 = 0x3F84D5B5B5470917ULL;
constexpr std::uint64_t P5 = 0x9216D5D98979FB1BULL;
constexpr std::uint64_t P6 = 0xD71577C1BD314B27ULL;
constexpr std::uint64_t P7 = 0xA15486AF7C72E993ULL;
constexpr std::uint64_t P8 = 0x24A19947B3916CF7ULL;
constexpr std::uint64_t P9 = 0xBA7C9045F12C7F99ULL;

// The high half of the full product XOR its low half.
inline std::uint64_t fold(std::uint64_t x, std::uint64_t y) noexcept {
  unsigned __int128 p = static_cast<unsigned __int128>(x) * y;
  return static_cast<std::uint64_t>(p >> 64) ^ static_cast<std::uint64_t>(p);
}

}  // namespace

Pair hash_pair(std::span<const std::uint8_t> key) noexcept {
  using bytes::load_u32;
  using bytes::load_u64;
  const std::uint8_t* k = key.data();
  const std::uint64_t n = key.size();
  std::uint64_t a = 0, b = 0, c = 0, d = 0;
  if (n == 0) {
  } else if (n <= 3) {
    a = std::uint64_t{k[0]} | (std::uint64_t{k[n / 2]} << 16) | (std::uint64_t{k[n - 1]} << 32);
  } else if (n <= 16) {
    const std::uint64_t o = (n >> 1) & 12;
    a = std::uint64_t{load_u32(k)} | (std::uint64_t{load_u32(k + o)} << 32);
    b = std::uint64_t{load_u32(k + n - 4)} | (std::uint64_t{load_u32(k + n - 4 - o)} << 32);
  } else if (n <= 32) {
    a = load_u64(k);
    b = load_u64(k + 8);
    c = load_u64(k + n - 16);
    d = load_u64(k + n - 8);
  } else {
    std::uint64_t s1 = P9, s2 = P8;
    std::uint64_t p = 0, r = n;
    // Every whole 32-byte block followed by at least one more byte; the final 32 bytes always
    // enter through a..d below, overlapping the last block when n is not a multiple of 32.
    while (r > 32) {
      s1 = fold(load_u64(k + p) ^ s1, load_u64(k + p + 8) ^ P0);
      s2 = fold(load_u64(k + p + 16) ^ s2, load_u64(k + p + 24) ^ P1);
      p += 32;
      r -= 32;
    }
    a = load_u64(k + n - 32) ^ s1;
    b = load_u64(k + n - 24);
    c = load_u64(k + n - 16) ^ s2;
    d = load_u64(k + n - 8);
  }
  const std::uint64_t x = fold(a ^ P0, b ^ P1);
  const std::uint64_t y = fold(c ^ P2, d ^ P3);
  return Pair{fold(n ^ P4 ^ x, y ^ P5), fold(x ^ (n << 32) ^ P6, y ^ P7)};
}

Collisions split_collisions(std::span<const std::uint64_t> hashes) {
  std::vector<std::pair<std::uint64_t, std::uint32_t>> pairs;
  pairs.reserve(hashes.size());
  for (std::size_t i = 0; i < hashes.size(); ++i)
    pairs.emplace_back(hashes[i], static_cast<std::uint32_t>(i));
  // Positions are distinct, so an unstable sort gives the one order.
  std::sort(pairs.begin(), pairs.end());
  Collisions out;
  out.distinct.reserve(hashes.size());
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    if (i > 0 && pairs[i].first == pairs[i - 1].first) {
      out.repeated.push_back(pairs[i]);
    } else {
      out.distinct.push_back(pairs[i].first);
    }
  }
  std::sort(out.repeated.begin(), out.repeated.end(),
            [](const auto& x, const auto& y) { return x.second < y.second; });
  return out;
}

}  // namespace quenlith::hash
