// Header-only blob inspection: what a blob is, from its magic and header alone.
//
// Reads the magic, the fixed header, a transducer blob's footer word, and for an overlay its
// tombstone words (to count retired ids) and, in the older overlay format, the length word of
// each addition. Nothing is decoded and nothing is verified: header checks, payload hashes and
// transducer checksums are not computed, so a blob that inspects cleanly may still fail to load.
// The sizes reported are what the header claims, checked only so far as every length must fit
// inside the blob. Every read goes through a bounds-checked `Window`, so arbitrary bytes yield an
// `IndexError::Format`, never an out-of-bounds read.
//
// Magics recognised (the byte layouts belong to each format's own module; the hash-index headers
// are decoded by their one codec in `hash_blob`, and the offsets read here for the others must
// stay in step with their modules):
//
//   "BIX4"               StringIndex       no header; u64 transducer version at 4, key count in
//                                          the footer (u64 at L-20 for version >= 3, else L-16)
//   "BMP8"               PerfectHashIndex  36-byte header: u64 keys @4, u64 mph @12, u32 side @20
//   "BCH8"               CompactHashIndex  40-byte header: u64 keys @4, u32 bits @12,
//                                          u64 mph @16, u32 side @24
//   "BCL2"               ClosedHashIndex   36-byte header: u64 keys @4, u64 mph @12, u32 side @20
//   "BHD1"               HashedDictIndex   48-byte header: u64 keys @4, u32 bits @12,
//                                          u64 dict @16, u64 mph @24, u32 side @32
//   "BDX1" "BDX2" "BDX3" DictIndex         48/56/72-byte header: u64 keys @4, u32 block @12,
//                                          u64 heads @16, u64 block data @24, u32 tables @32,
//                                          (BDX2/3) u8 widths and shift @44..47, u16 micro @48,
//                                          (BDX3) u32 header codes @52, u32 phrases @58
//   "MPH1" "MPH2" "MPH3" Mphf              u64 keys @8
//   "OVL2"               Overlay           49-byte header: u8 tag @4, u64 base length @5,
//                                          u64 additions @13, u64 additions bytes @21,
//                                          u64 tombstone words @29
//   "OVL1"               Overlay           21-byte header: u8 tag @4, u64 base length @5,
//                                          u64 additions @13; additions, u64 word count, words
//
// The older hash-index magics "BMP1".."BMP7", "BCH1".."BCH7" and "BCL1" are refused with a
// message that says to rebuild the index from its keys.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "fileio.hpp"

namespace quenlith::inspect {

// The `IndexError::Format` messages of inspection.
inline constexpr const char* kShorterThanMagic = "not a quenlith blob: shorter than a magic";
inline constexpr const char* kUnknownMagic = "not a quenlith blob: unknown magic";
inline constexpr const char* kTruncated =
    "blob truncated: a length in the header runs past the end";
inline constexpr const char* kOverlayCounts =
    "overlay header is inconsistent: its counts do not add up";
inline constexpr const char* kOverlayTombstones =
    "overlay tombstone length disagrees with the blob";
inline constexpr const char* kNestedOverlay =
    "an overlay's base region is itself an overlay, which nothing in this library writes";
inline constexpr const char* kOldPerfectHash =
    "a PerfectHashIndex blob from quenlith < 4.0, keyed on a hash this version no longer "
    "computes; rebuild it from its keys with PerfectHashIndex::build";
inline constexpr const char* kOldCompactHash =
    "a CompactHashIndex blob from quenlith < 4.0, keyed on a hash this version no longer "
    "computes, and which stores no keys; rebuild it from its keys with CompactHashIndex::build";
inline constexpr const char* kOldClosedHash =
    "a ClosedHashIndex blob from quenlith < 4.0, keyed on a hash this version no longer "
    "computes, and which stores no keys; rebuild it from its keys with ClosedHashIndex::build";

// A readable blob.
class Source {
 public:
  virtual ~Source() = default;
  // The blob's length in bytes.
  virtual std::uint64_t len() const = 0;
  // Exactly `count` bytes from `offset`, freshly owned. Throws `IndexError`.
  virtual std::vector<std::uint8_t> read(std::uint64_t offset, std::uint64_t count) = 0;
};

// A borrowed byte slice (owned bytes or a memory mapping alike). A range that overflows or ends
// past the slice throws `IndexError::Format` `kTruncated`. The slice must outlive the source.
class SliceSource final : public Source {
 public:
  explicit SliceSource(std::span<const std::uint8_t> bytes) noexcept : bytes_(bytes) {}
  std::uint64_t len() const override { return bytes_.size(); }
  std::vector<std::uint8_t> read(std::uint64_t offset, std::uint64_t count) override;

 private:
  std::span<const std::uint8_t> bytes_;
};

// An open, read-only file and the size it had when opened. `read` is a positioned read of exactly
// `count` bytes; an end of file before them (the file shrank) or any other OS failure throws
// `IndexError::Io`. It does not compare the range with the length itself: every caller (a
// `Window`) has done so.
class FileSource final : public Source {
 public:
  // Opens `path` read-only and takes its size from the open descriptor. Throws `IndexError::Io`.
  explicit FileSource(const std::filesystem::path& path);
  std::uint64_t len() const override { return len_; }
  std::vector<std::uint8_t> read(std::uint64_t offset, std::uint64_t count) override;

 private:
  fileio::File file_;
  std::uint64_t len_;
};

// The region being inspected: a borrowed source, a start offset and a length. The whole blob is
// `Window::whole(source)`; an overlay's base region is a window inside it. Offsets given to a
// window are relative to its start, and every read is checked against its length.
class Window {
 public:
  // A window over [start, start + len) of `source`; the range must lie inside the source.
  Window(Source& source, std::uint64_t start, std::uint64_t len);
  static Window whole(Source& source) { return Window(source, 0, source.len()); }

  std::uint64_t len() const noexcept { return len_; }
  // Exactly `count` bytes at `offset`: `kTruncated` if the range overflows or passes the window's
  // end; the source's own error (unchanged) if the read fails.
  std::vector<std::uint8_t> read(std::uint64_t offset, std::uint64_t count) const;
  // Little-endian unsigned integers at `offset`, with `read`'s errors.
  std::uint32_t u32(std::uint64_t offset) const;
  std::uint64_t u64(std::uint64_t offset) const;
  // The window of `len` bytes at `offset` of this one: `kTruncated` unless it lies inside.
  Window sub(std::uint64_t offset, std::uint64_t len) const;

 private:
  Source* source_;
  std::uint64_t start_;
  std::uint64_t len_;
};

// The kinds recognised, in their defined order.
enum class BlobKind : std::uint8_t {
  StringIndex,
  PerfectHashIndex,
  CompactHashIndex,
  ClosedHashIndex,
  DictIndex,
  Mphf,
  Overlay,
  HashedDictIndex,
};

// The display text of a kind: its name ("StringIndex", ..., "Mphf", ...).
std::string_view kind_name(BlobKind kind) noexcept;

struct BlobInfo;

// What an overlay's header tells of it.
struct OverlayInfo {
  std::uint8_t base_tag = 0;  // as stored: 1 StringIndex, 2 PerfectHashIndex, 3 CompactHashIndex
  std::uint64_t additions = 0;
  std::uint64_t retired = 0;       // set tombstone bits
  std::unique_ptr<BlobInfo> base;  // the base region's own info; null unless the tag is 1 to 3
};

// What a blob is. Optional fields are absent where the kind has no such figure.
struct BlobInfo {
  BlobKind kind = BlobKind::StringIndex;
  std::string format;  // the magic as text ("BDX3", "OVL1", ...)
  std::uint64_t bytes = 0;
  std::optional<std::uint64_t> keys;  // for an overlay: its live keys
  std::optional<std::uint32_t> fingerprint_bits;
  std::optional<std::uint64_t> mph_bytes;
  std::optional<std::uint64_t> arena_bytes;  // bytes left for keys or fingerprints
  std::optional<std::uint64_t> side_entries;
  std::optional<OverlayInfo> overlay;
};

// Inspects the blob in `window`. `nested` is true only for an overlay's base region, where an
// overlay is refused. Throws `IndexError` (Format for every refusal, the source's own error for a
// failed read). Reads a handful of small ranges whatever the blob's size, except an overlay's
// tombstone words (and one length word per addition of an "OVL1" blob). Any thread may call it;
// a source serves one inspection at a time.
BlobInfo parse(const Window& window, bool nested);

// Inspects a blob held in memory (owned or mapped).
BlobInfo inspect_bytes(std::span<const std::uint8_t> blob);

// Opens the file read-only, inspects it through a `FileSource` and closes it on every path out.
// A failure to open it, take its size or read it throws `IndexError::Io`.
BlobInfo inspect_file(const std::filesystem::path& path);

// An overlay's info once its header has been read and its tombstones counted: parses the base
// region [header_len, header_len + base_len) when `base_tag` names a base kind, and derives the
// live key count from the base's. Throws `IndexError::Format`.
BlobInfo overlay(const Window& window, std::string format, std::uint64_t bytes,
                 std::uint8_t base_tag, std::uint64_t header_len, std::uint64_t base_len,
                 std::uint64_t additions, std::uint64_t retired);

// The number of set bits in `words` little-endian u64 words at `offset` of the window, read in
// chunks of at most 8,192 words. `kTruncated` if the words pass the window's end.
std::uint64_t popcount(const Window& window, std::uint64_t offset, std::uint64_t words);

}  // namespace quenlith::inspect
