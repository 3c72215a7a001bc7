// Building a map file from keys in strictly increasing byte order.
//
// The builder writes format version 3, byte for byte what the reference writer produces for
// the same keys and values. Memory stays bounded by the longest key and a fixed node cache
// (about 20,000 cached nodes), whatever the number of keys. One builder is used by one thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "fst/error.hpp"

namespace fst {

class MapBuilder {
 public:
  // A builder whose file is kept in memory; into_inner() hands it over.
  static MapBuilder memory();
  // Receives the file's bytes in order, in chunks of about 64 KiB.
  using Writer = std::function<void(std::span<const std::uint8_t>)>;

  // A builder handing the file's bytes to `writer`, which may put them anywhere (behind bytes
  // of the caller's own, for instance: node addresses count from the map's first byte, not the
  // writer's). An exception thrown by the writer leaves through the insert() or finish() that
  // flushed, unchanged; the builder may then only be destroyed.
  static MapBuilder to_writer(Writer writer);
  // A builder writing through a buffer to the file at `path` (created or truncated).
  // Throws Error (Io) when the file cannot be opened.
  static MapBuilder create(const std::filesystem::path& path);

  MapBuilder(MapBuilder&&) noexcept;
  MapBuilder& operator=(MapBuilder&&) noexcept;
  ~MapBuilder();  // closes the file (a file builder not finished leaves an incomplete file)

  // Adds `key` with `value`. `key` must sort strictly after the previous accepted key
  // (byte-wise; a proper prefix sorts first). Throws DuplicateKey for a key equal to the
  // previous one, OutOfOrder for a smaller one; then nothing changed and building can go on.
  // Throws Io when a file write fails; after that every call throws that error again.
  void insert(std::span<const std::uint8_t> key, std::uint64_t value);
  void insert(std::string_view key, std::uint64_t value);

  // Writes the remaining nodes and the footer (key count, root address, checksum) and, for a
  // file, flushes and closes it. Throws Io on a write failure. Calling it twice, or insert()
  // after it, is a logic_error.
  void finish();

  // Memory builders only: finishes if not yet finished and returns the file's bytes; the
  // builder is spent afterwards. logic_error on a file builder.
  std::vector<std::uint8_t> into_inner();

  // Keys accepted so far.
  std::uint64_t len() const noexcept;
  // Bytes of the file produced so far (written or buffered).
  std::uint64_t bytes_written() const noexcept;

 private:
  struct Impl;
  explicit MapBuilder(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace fst
