// The 128-bit key hash and the mixing primitives shared by the framing, the minimal perfect hash
// and its builds.
//
// Every hash-based blob depends on every bit of `hash_pair`: changing a constant or a step makes
// existing blobs unreadable.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

namespace quenlith::hash {

// SplitMix64's increment (the golden ratio).
inline constexpr std::uint64_t G = 0x9E3779B97F4A7C15ULL;

// The SplitMix64 finaliser.
inline constexpr std::uint64_t mix(std::uint64_t x) noexcept {
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

// The high 64 bits of the 128-bit product; mulhi(hash, B) is a hash's bucket among B.
inline constexpr std::uint64_t mulhi(std::uint64_t a, std::uint64_t b) noexcept {
  return static_cast<std::uint64_t>((static_cast<unsigned __int128>(a) * b) >> 64);
}

struct Pair {
  std::uint64_t h1;
  std::uint64_t h2;
  friend bool operator==(const Pair&, const Pair&) = default;
};

// The 128-bit hash of a key's bytes (any length). Pure; reads never pass the key's end.
Pair hash_pair(std::span<const std::uint8_t> key) noexcept;
inline Pair hash_pair(std::string_view key) noexcept {
  return hash_pair(
      std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(key.data()), key.size()));
}

struct Collisions {
  std::vector<std::uint64_t> distinct;  // ascending
  // Every occurrence of a repeated hash but its first, as (hash, position), by position.
  std::vector<std::pair<std::uint64_t, std::uint32_t>> repeated;
};

// Separates hashes into the distinct values and the later occurrences of repeated ones. At most
// 2^32 hashes (positions are 32-bit).
Collisions split_collisions(std::span<const std::uint64_t> hashes);

}  // namespace quenlith::hash
