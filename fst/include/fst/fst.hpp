// A map file opened over bytes the caller owns.
//
// Fst reads format versions 1 to 3 (the builder writes 3). Opening checks the header and the
// footer, and that the root node sits where the format puts it and decodes; it does not read
// the whole file (verify() does, for the checksum). Queries are const and safe from many
// threads at once.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "fst/check.hpp"
#include "fst/error.hpp"
#include "fst/node.hpp"

namespace fst {

// The format version the builder writes and the newest this library reads.
inline constexpr std::uint64_t VERSION = 3;

class Fst {
 public:
  // Opens the map in `bytes`, which must stay alive and unchanged while this Fst (or any Node
  // taken from it) is used. Checks, in order: at least 36 bytes, else Format; version 1..3,
  // else Version; then that the root address is where the format puts it (0 only for the
  // 36-byte map of the empty key with value 0 in version 3, otherwise the last node right
  // before the footer) and that the root node decodes, else Format. The type field is
  // stored, not checked.
  explicit Fst(std::span<const std::uint8_t> bytes);

  std::uint64_t version() const noexcept { return version_; }
  std::uint64_t fst_type() const noexcept { return type_; }
  // The key count stored in the footer.
  std::uint64_t len() const noexcept { return len_; }
  bool is_empty() const noexcept { return len_ == 0; }
  CompiledAddr root_addr() const noexcept { return root_.addr(); }
  // The whole file.
  std::span<const std::uint8_t> as_bytes() const noexcept { return bytes_; }
  std::uint64_t size() const noexcept { return bytes_.size(); }

  // The value of `key`, or nullopt if the map lacks it. Throws Error (Format) only for a
  // malformed file.
  std::optional<std::uint64_t> get(std::span<const std::uint8_t> key) const;
  std::optional<std::uint64_t> get(std::string_view key) const;

  // Checks the stored checksum against the file's bytes. Throws ChecksumMissing for
  // versions 1 and 2, ChecksumMismatch {expected: stored, got: computed} when they differ.
  void verify() const;

  // The root node, and the node at any address a transition of this map gave.
  // node() throws Error (Format) for an address outside the node area or a node that does
  // not decode.
  Node root() const noexcept { return root_; }
  Node node(CompiledAddr addr) const;
  // A reader of this map's nodes, for a walk that decodes many of them (see NodeReader).
  NodeReader reader() const noexcept;

  // For a map from an untrusted source: checks the node at `addr` as a whole before it is
  // decoded, as check_node() (check.hpp) does. Never throws.
  NodeCheck check_node(CompiledAddr addr) const noexcept;

 private:
  friend class NodeReader;

  std::span<const std::uint8_t> bytes_;
  std::uint64_t version_ = 0;
  std::uint64_t type_ = 0;
  std::uint64_t len_ = 0;
  std::uint64_t area_end_ = 0;  // nodes lie in [16, area_end_)
  Node root_;
};

[[gnu::always_inline]] inline Node Fst::node(CompiledAddr addr) const {
  Node n;
  n.decode(bytes_.data(), bytes_.size(), area_end_, version_, addr);
  return n;
}

inline NodeReader::NodeReader(const Fst& fst) noexcept
    : data_(fst.bytes_.data()),
      size_(fst.bytes_.size()),
      area_end_(fst.area_end_),
      version_(fst.version_) {}

inline NodeReader Fst::reader() const noexcept { return NodeReader(*this); }

inline NodeCheck Fst::check_node(CompiledAddr addr) const noexcept {
  return fst::check_node(bytes_, version_, addr);
}

}  // namespace fst
