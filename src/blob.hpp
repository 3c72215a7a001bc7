// Shared byte views, the blob framing's hashes, and the atomic file writer.
//
// Framing shared by every blob but the transducer map (all little-endian):
//
//   offset  size   content
//   0       4      magic: four ASCII bytes naming the format and its version
//   4       H - 8  the format's header fields, among them the 64-bit payload hash
//   H - 4   4      header check, u32: low 32 bits of mix(FNV-1a 64 over bytes 0 .. H-4)
//   H       rest   payload
//
// The payload hash (`BlockHasher`) absorbs the payload as little-endian 64-bit words, the last
// partial word zero-padded, and finishes with the SplitMix64 finaliser over the byte count XOR the
// state, so it depends only on the bytes, never on how they were split across updates.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "bytes.hpp"
#include "error.hpp"
#include "fileio.hpp"
#include "hash.hpp"
#include "pages.hpp"
#include "scratch.hpp"

namespace quenlith::blob {

// The framing messages every framed loader shares.
inline constexpr const char* kBadMagic = "bad magic or truncated header";
inline constexpr const char* kHeaderChecksum = "header checksum mismatch";
inline constexpr const char* kPayloadChecksum = "payload checksum mismatch";

// An immutable, cheaply copied view over reference-counted storage: owned, table-aligned bytes
// or a read-only memory map released when the last view goes. Any thread may read, copy and drop
// views at once.
class SharedBytes {
 public:
  enum class Kind : std::uint8_t { Owned, Mapped };

  // An empty owned view.
  SharedBytes();

  // Copies `bytes` into a fresh table (2 MiB aligned from 2 MiB up) and views all of it.
  static SharedBytes from_owned(std::span<const std::uint8_t> bytes);
  static SharedBytes from_owned(std::vector<std::uint8_t>&& bytes);
  // Takes over a table without copying it and views all of it.
  static SharedBytes from_pages(pages::Pages<std::uint8_t>&& table);
  // Maps the whole file read-only and shared. An empty file maps to an empty view.
  static SharedBytes map_file(const std::filesystem::path& path);

  std::span<const std::uint8_t> bytes() const noexcept { return {start_, len_}; }
  const std::uint8_t* data() const noexcept { return start_; }
  std::size_t size() const noexcept { return len_; }
  Kind kind() const noexcept { return kind_; }

  // A view of `len` bytes from `offset` sharing the storage; nullopt when the range does not lie
  // inside this view (overflow included).
  std::optional<SharedBytes> slice(std::uint64_t offset, std::uint64_t len) const;

 private:
  struct Storage;
  SharedBytes(std::shared_ptr<const Storage> storage, const std::uint8_t* start, std::size_t len,
              Kind kind)
      : storage_(std::move(storage)), start_(start), len_(len), kind_(kind) {}

  std::shared_ptr<const Storage> storage_;
  const std::uint8_t* start_;
  std::size_t len_;
  Kind kind_;
};

// The header check: the low 32 bits of mix(FNV-1a 64 over `header_before_check`).
std::uint32_t header_check(std::span<const std::uint8_t> header_before_check) noexcept;

// A header being written: its 4-byte `magic`, with room reserved for `bytes` bytes in all.
std::vector<std::uint8_t> begin_header(std::string_view magic, std::size_t bytes);

// The header `h` (every field written, up to its check) with its header check appended, as the
// fixed-size array a blob stores. Panics unless that makes exactly `N` bytes.
template <std::size_t N>
std::array<std::uint8_t, N> seal_header(std::vector<std::uint8_t>& h) {
  bytes::put_u32(h, header_check(h));
  check_invariant(h.size() == N, "a header is written to its drawn size");
  std::array<std::uint8_t, N> out;
  std::copy(h.begin(), h.end(), out.begin());
  return out;
}

// The streaming payload hash.
class BlockHasher {
 public:
  void update(std::span<const std::uint8_t> bytes) noexcept;
  std::uint64_t finish() const noexcept;

 private:
  static std::uint64_t absorb(std::uint64_t state, std::uint64_t word) noexcept {
    state = (state ^ word) * 0xBF58476D1CE4E5B9ULL;
    return state ^ (state >> 29);
  }

  std::uint64_t state_ = hash::G;
  std::uint8_t tail_[8] = {};
  std::uint64_t tail_len_ = 0;
  std::uint64_t total_ = 0;
};

// The payload hash of a whole slice, equal to `BlockHasher` fed the same bytes.
std::uint64_t hash_block(std::span<const std::uint8_t> bytes) noexcept;

// A writer that hashes what it writes.
template <class W>
class Hashed {
 public:
  explicit Hashed(W& inner) : inner_(inner) {}
  void write_all(std::span<const std::uint8_t> bytes) {
    inner_.write_all(bytes);  // an error leaves before anything is hashed
    hasher_.update(bytes);
  }
  std::uint64_t finish() const noexcept { return hasher_.finish(); }
  W& inner() noexcept { return inner_; }

 private:
  W& inner_;
  BlockHasher hasher_;
};

// Framing checks common to every framed loader, in order: at least 4 bytes, then (by the
// caller) its own refusals of older magics, then at least `header_size` bytes and the expected
// magic, then the header check. Throws `IndexError::Format` with the shared messages.
void check_frame(std::span<const std::uint8_t> blob, const char magic[4], std::size_t header_size);
// True when `blob` starts with `magic` (and has at least 4 bytes).
bool has_magic(std::span<const std::uint8_t> blob, const char magic[4]) noexcept;
// Throws `IndexError::Format` "payload checksum mismatch" unless `hash_block(payload)` equals the
// header's `stored` payload hash.
void check_payload(std::span<const std::uint8_t> payload, std::uint64_t stored);
// True when `blob` starts with the three letters of `family` and a version digit from `first` to
// `last`: one of several versions of a format, such as the older ones a loader refuses by name.
bool has_magic_version(std::span<const std::uint8_t> blob, const char family[3], char first,
                       char last) noexcept;

// Writes a blob to `target` atomically: a fresh temporary file beside it (named
// "<base>.<pid>.<seq>.tmp") receives the bytes through `write`, is synced and renamed over the
// target, and the directory is synced. On any failure the temporary file is removed and the
// target is untouched. The temporary takes the permission bits of the regular file at the target,
// if there is one. A target that is, or is a symbolic link leading to, a device node, a named pipe
// or a socket, and a link through a process's descriptor table (/dev/stdout), are refused before
// anything is created (`fileio::refuse_special_target`); a link to a directory is refused at the
// rename as the directory itself is (`fileio::rename_over`).
namespace detail {
class AtomicTemp {
 public:
  explicit AtomicTemp(const std::filesystem::path& target);
  AtomicTemp(const AtomicTemp&) = delete;
  AtomicTemp& operator=(const AtomicTemp&) = delete;
  ~AtomicTemp();  // removes the temporary unless committed
  fileio::File& file() noexcept { return file_; }
  const std::filesystem::path& path() const noexcept { return temp_; }
  // Sync, rename over the target, sync the directory, close.
  void commit();

 private:
  std::filesystem::path target_;
  std::filesystem::path dir_;
  std::filesystem::path temp_;
  fileio::File file_;
  scratch::Entry entry_;  // the temporary, until it is renamed over the target
  bool committed_ = false;
};
}  // namespace detail

// The temporary name the writer would use for `target` with sequence number `seq`.
std::filesystem::path temp_name(const std::filesystem::path& target, std::uint64_t seq);
// A scratch name beside `target`: its directory, its base name ("index" when the path does not
// end in a normal name), then ".<pid>.<seq>" and `suffix` (".tmp" for the temporary file).
std::filesystem::path sibling_name(const std::filesystem::path& target, std::uint64_t seq,
                                   std::string_view suffix);
// Takes the next number of the process-wide temporary-name counter.
std::uint64_t next_temp_seq() noexcept;

// A file created new beside `target`, its name and its entry in the scratch list.
struct NewSibling {
  std::filesystem::path path;
  fileio::File file;
  scratch::Entry entry;
};
// Creates `sibling_name(target, seq, suffix)` new (read-write, 0666 before the umask) for the
// first `seq` taken from `counter` that names no existing file, trying at most 128 numbers, and
// enters it in the scratch list (the caller removes it and drops the entry).
// Throws `IndexError::Io`: the creation's own error, or "entity already exists" when every name
// tried was taken.
NewSibling create_sibling(const std::filesystem::path& target, std::string_view suffix,
                          std::atomic<std::uint64_t>& counter);

template <class F>
auto write_atomically_with(const std::filesystem::path& target, F&& f) {
  detail::AtomicTemp temp(target);
  if constexpr (std::is_void_v<decltype(f(temp.file()))>) {
    f(temp.file());
    temp.commit();
  } else {
    auto value = f(temp.file());
    temp.commit();
    return value;
  }
}

// Writes `bytes` to `target` atomically.
void write_atomically(const std::filesystem::path& target, std::span<const std::uint8_t> bytes);

// A blob written piece by piece: `write(sink)` hands every piece of it, in order, to `sink`.
// `collect` gathers the pieces into one vector of `len` bytes reserved up front; `save_written`
// writes them to `target` through the atomic writer and an 8 KiB buffer.
template <class Write>
std::vector<std::uint8_t> collect(std::size_t len, Write&& write) {
  std::vector<std::uint8_t> out;
  out.reserve(len);
  write([&](std::span<const std::uint8_t> b) { out.insert(out.end(), b.begin(), b.end()); });
  return out;
}

template <class Write>
void save_written(const std::filesystem::path& target, Write&& write) {
  write_atomically_with(target, [&](fileio::File& file) {
    fileio::BufWriter w(file);
    write([&](std::span<const std::uint8_t> b) { w.write_all(b); });
    w.flush();
  });
}

}  // namespace quenlith::blob
