// The blob shape of the three hash indexes: a fixed header, the minimal-perfect-hash section, the
// index's own middle section (the key arena of "BMP8", the fingerprint table of "BCH8", nothing in
// "BCL2") and the side entries at the very end. All integers are little-endian.
//
// Here are the two header layouts with their one reader and one writer each, the section layout
// that the loaders and header inspection both derive from a header, and `BlobParts`, the
// serialiser of a blob held as its sections.
//
// The 36-byte header of "BMP8" and "BCL2" (`Header`):
//
//   offset  size  field
//   0       4     magic
//   4       8     n, number of keys
//   12      8     mph_len, bytes of the minimal-perfect-hash section
//   20      4     side_count, side entries at the end of the blob
//   24      8     payload hash of every byte from 36 to the end
//   32      4     header check over bytes 0..32
//
// The 40-byte header of "BCH8" (`FingerprintHeader`):
//
//   offset  size  field
//   0       4     magic
//   4       8     n, number of keys
//   12      4     bits, the fingerprint width
//   16      8     mph_len, bytes of the minimal-perfect-hash section
//   24      4     side_count, side entries at the end of the blob
//   28      8     payload hash of every byte from 40 to the end
//   36      4     header check over bytes 0..36
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

#include "fileio.hpp"

namespace quenlith::hash_blob {

// Reader messages shared by the three hash-index blobs.
inline constexpr const char* kMphLengthOutOfRange = "mph length out of range";
inline constexpr const char* kMphHeaderMismatch = "mph / header length mismatch";
inline constexpr const char* kMphArenaMismatch = "mph / arena length mismatch";

// The header of "BMP8" and "BCL2".
struct Header {
  static constexpr std::size_t kBytes = 36;
  static constexpr std::size_t kCheckAt = 32;

  std::uint64_t n = 0;
  std::uint64_t mph_len = 0;
  std::uint32_t side_count = 0;
  std::uint64_t payload = 0;

  // The fields of the first `kBytes` of `bytes` (magic and check are the framing's to test).
  // Throws `IndexError::Format` "bad magic or truncated header" for fewer bytes.
  static Header parse(std::span<const std::uint8_t> bytes);
  // The stored header under `magic`, check included.
  std::array<std::uint8_t, kBytes> write(const char magic[4]) const;
};
static_assert(Header::kCheckAt == 4 + 8 + 8 + 4 + 8 && Header::kBytes == Header::kCheckAt + 4);

// The header of "BCH8".
struct FingerprintHeader {
  static constexpr std::size_t kBytes = 40;
  static constexpr std::size_t kCheckAt = 36;

  std::uint64_t n = 0;
  std::uint32_t bits = 0;
  std::uint64_t mph_len = 0;
  std::uint32_t side_count = 0;
  std::uint64_t payload = 0;

  // As `Header::parse`.
  static FingerprintHeader parse(std::span<const std::uint8_t> bytes);
  std::array<std::uint8_t, kBytes> write(const char magic[4]) const;
};
static_assert(FingerprintHeader::kCheckAt == 4 + 8 + 4 + 8 + 4 + 8 &&
              FingerprintHeader::kBytes == FingerprintHeader::kCheckAt + 4);

// Where the sections of a blob lie: [header, mph_start) is the header, then the minimal perfect
// hash up to `middle_start`, the middle section up to `side_start`, the side entries to the end.
struct Sections {
  std::uint64_t mph_start = 0;
  std::uint64_t middle_start = 0;
  std::uint64_t side_start = 0;
  std::uint64_t end = 0;
  std::uint64_t mph_len() const noexcept { return middle_start - mph_start; }
  std::uint64_t middle_len() const noexcept { return side_start - middle_start; }
};

// The sections of a blob of `len` bytes whose header of `header_bytes` claims `mph_len` bytes of
// minimal perfect hash and `side_count` entries of `entry_bytes` each; nullopt when they do not
// fit in the blob (the middle section takes what is left).
std::optional<Sections> sections(std::uint64_t len, std::uint64_t header_bytes,
                                 std::uint64_t mph_len, std::uint64_t side_count,
                                 std::uint64_t entry_bytes) noexcept;

// The checks every hash-index loader applies once the header is read, in order: the side count
// must be below n (or both 0) and its entries must fit the blob ("side table length out of
// range"), then the sections must fit ("mph length out of range"). Throws `IndexError::Format`.
Sections check_sections(std::uint64_t len, std::uint64_t header_bytes, std::uint64_t n,
                        std::uint64_t mph_len, std::uint64_t side_count, std::uint64_t entry_bytes);

// A hash-index blob as its sections, in stored order: header, minimal perfect hash, the index's
// own section (the arena or the fingerprint table, borrowed from the index; empty for a closed
// index) and the side entries. The payload hash covers everything after the header.
struct BlobParts {
  std::vector<std::uint8_t> header;
  std::vector<std::uint8_t> mph;
  std::span<const std::uint8_t> middle;
  std::vector<std::uint8_t> side;

  // The sections after the header, to be hashed before the header is made.
  std::uint64_t payload_hash() const noexcept;
  // The whole blob.
  std::vector<std::uint8_t> concat() const;
  // Writes the whole blob through `out`.
  void write_to(fileio::BufWriter& out) const;
  // Writes the whole blob to `path` through the atomic writer.
  void save(const std::filesystem::path& path) const;
};

}  // namespace quenlith::hash_blob
