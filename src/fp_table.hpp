// Packed tables of fixed-width entries: entry i of a `bits`-wide table occupies bits
// i*bits .. i*bits + bits - 1 of one little-endian bit stream (bit k of the stream is bit k mod 8
// of byte k / 8), without padding. The compact hash index stores its fingerprints this way and
// the hashed dictionary sidecar its (rank, fingerprint) entries; both tables start zeroed and
// are filled one entry per slot.
#pragma once

#include <cstdint>
#include <span>

namespace quenlith::fp_table {

// The mask of a `bits`-wide entry (1..=64).
inline constexpr std::uint64_t mask(std::uint32_t bits) noexcept {
  return ~std::uint64_t{0} >> (64 - bits);
}

// Stores `value` (already reduced to `bits` bits, 1..=64) as the entry of `slot` of a zeroed
// table. Panics when a whole-byte entry would lie outside the table.
void write(std::span<std::uint8_t> table, std::uint64_t slot, std::uint32_t bits,
           std::uint64_t value);

// As `write`, for a table that other threads fill at the same time: entries of a width that is
// not a whole number of bytes share bytes with their neighbours, so every byte is ORed in
// atomically. Panics when any byte of the entry would lie outside the table.
void or_shared(std::span<std::uint8_t> table, std::uint64_t slot, std::uint32_t bits,
               std::uint64_t value);

// Whether `table` holds the low `bits` bits (1..=64) of `h2` at `slot`. False whenever any bit of
// the entry would lie outside the table, so a short (corrupt) table never reads out of bounds.
bool matches(std::span<const std::uint8_t> table, std::uint32_t bits, std::uint64_t slot,
             std::uint64_t h2) noexcept;

}  // namespace quenlith::fp_table
